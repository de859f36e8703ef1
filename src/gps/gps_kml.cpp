#include "gps/gps_kml.h"

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <mutex>

#include "platform/http_response.h"

namespace tivra::gps {

namespace {

constexpr std::string_view kCarIcon = "/mapfiles/kml/pal4/icon62.png";
constexpr std::string_view kUsedSatelliteIcon = "/mapfiles/kml/pal3/icon44.png";
constexpr std::string_view kSatelliteIcon = "/mapfiles/kml/pal3/icon45.png";

std::string format(const char* pattern, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char* pattern, ...) {
  char small[512];
  va_list args;
  va_start(args, pattern);
  const int n = std::vsnprintf(small, sizeof small, pattern, args);
  va_end(args);
  if (n < 0) return {};
  if (static_cast<std::size_t>(n) < sizeof small)
    return std::string(small, static_cast<std::size_t>(n));
  std::string out(static_cast<std::size_t>(n) + 1, '\0');
  va_start(args, pattern);
  std::vsnprintf(out.data(), out.size(), pattern, args);
  va_end(args);
  out.pop_back();
  return out;
}

// One element per line, two spaces per nesting level. An opening line ("<Document>") nests the
// lines after it until its closing line; a line with its own closing tag or "/>" does not.
// Lines whose second character is "!" (comments, CDATA openers) are never indented.
class KmlText {
 public:
  void raw(std::string_view text) { m_out.append(text); }
  void line(std::string_view text) {
    const bool closing = text.starts_with("</");
    if (closing && m_level > 0) --m_level;
    if (!(text.size() > 1 && text[1] == '!'))
      m_out.append(static_cast<std::size_t>(m_level) * 2, ' ');
    m_out.append(text);
    m_out.push_back('\n');
    if (!closing && text.starts_with('<') && !text.starts_with("<!--") &&
        text.find("</") == std::string_view::npos && !text.ends_with("/>"))
      ++m_level;
  }
  // "<%s>%s</%s>", left out when the text is empty.
  void simple(std::string_view tag, std::string_view text) {
    if (text.empty()) return;
    line(format("<%.*s>%.*s</%.*s>", static_cast<int>(tag.size()), tag.data(),
                static_cast<int>(text.size()), text.data(), static_cast<int>(tag.size()),
                tag.data()));
  }
  std::string take() { return std::move(m_out); }

 private:
  std::string m_out;
  int m_level = 0;
};

void documentStart(KmlText& kml) {
  kml.raw(platform::kXmlDeclaration);
  kml.raw(platform::kKml21Root);
}

std::string formatTime(std::int32_t time) {
  const auto seconds = static_cast<std::time_t>(time);
  std::tm utc{};
  gmtime_r(&seconds, &utc);
  return format("%02d-%02d-%02dT%02d:%02d:%02dZ", utc.tm_year + 1900, utc.tm_mon + 1, utc.tm_mday,
                utc.tm_hour, utc.tm_min, utc.tm_sec);
}

void iconHref(KmlText& kml, const GpsDocumentContext& context, std::string_view path) {
  kml.line("<href>" + context.iconHost + std::string(path) + "</href>");
}

void descriptionTable(KmlText& kml, std::string_view label, const GpsFix& fix) {
  kml.line("<description>");
  kml.line("<![CDATA[<table>");
  kml.line("<tr><td><b>Description</b> " + std::string(label) + " </td></tr>");
  kml.line(format("<tr><td><b>longitude</b> %f </td></tr>", fix.longitude.get()));
  kml.line(format("<tr><td><b>latitude</b> %f </td></tr>", fix.latitude.get()));
  kml.line(format("<tr><td><b>altitude</b> %f </td></tr>", fix.altitude.get()));
  kml.line(format("<tr><td><b>Heading</b> %f </td></tr>", fix.course.get()));
  kml.line(format("<tr><td><b>Speed(km/h)</b> %f </td></tr>", fix.speed.get()));
  kml.line("</table>]]>");
  kml.line("</description>");
}

void pointPlacemark(KmlText& kml, int index, const GpsFix& fix, bool extrude) {
  const std::string label = format("Point%d", index);
  kml.line(format("<Placemark id=\"%s\">", label.c_str()));
  kml.line(format("<name>%s</name>", label.c_str()));
  kml.line("<Snippet/>");
  descriptionTable(kml, label, fix);
  if (fix.time != 0) kml.line("<TimeStamp><when>" + formatTime(fix.time) + "</when></TimeStamp>");
  kml.line("<styleUrl>#waypoint62</styleUrl>");
  kml.line("<Point>");
  if (extrude) kml.line("<extrude>1</extrude>");
  kml.line(format("<coordinates>%f,%f,%f</coordinates>", fix.longitude.get(), fix.latitude.get(),
                  fix.altitude.get()));
  kml.line("</Point>");
  kml.line("</Placemark>");
}

// Fixes a-1 (0 when a is 0) through b-1: consecutive segments share a point.
void trackLine(KmlText& kml, const FixHistory& history, int a, int b) {
  kml.line("<styleUrl>#lineStyle</styleUrl>");
  kml.line("<LineString>");
  kml.line("<altitudeMode>clampedToGround</altitudeMode>");
  kml.line("<extrude>0</extrude>");
  kml.line("<tessellate>1</tessellate>");
  kml.line("<coordinates>");
  const int last = std::min(b, static_cast<int>(history.size()));
  for (int i = std::max(a - 1, 0); i < last; ++i) {
    const GpsFix& fix = history[static_cast<std::size_t>(i)];
    kml.line(format("%f,%f,%f", fix.longitude.get(), fix.latitude.get(), fix.altitude.get()));
  }
  kml.line("</coordinates>");
  kml.line("</LineString>");
}

void segment(KmlText& kml, std::string_view idAttribute, const FixHistory& history, int k, int a,
             int b) {
  kml.line(format("<Placemark %.*s=\"Path%d\">", static_cast<int>(idAttribute.size()),
                  idAttribute.data(), k));
  kml.line(format("<name>Path%d</name>", k));
  trackLine(kml, history, a, b);
  kml.line("</Placemark>");
}

void modelLocation(KmlText& kml, double longitude, double latitude, double altitude) {
  kml.line("<Location>");
  kml.line(format("<longitude>%f</longitude>", longitude));
  kml.line(format("<latitude>%f</latitude>", latitude));
  kml.line(format("<altitude>%f</altitude>", altitude));
  kml.line("</Location>");
}

void waypointStyle(KmlText& kml, const GpsDocumentContext& context) {
  constexpr const char* id = "waypoint62";
  kml.line(format("<!-- %s %s style -->", "Normal", id));
  kml.line(format("<Style id=\"%s_%c\">", id, 'n'));
  kml.line("<IconStyle>");
  kml.line("<Icon>");
  iconHref(kml, context, kCarIcon);
  kml.line("</Icon>");
  kml.line("</IconStyle>");
  kml.line("</Style>");
  kml.line(format("<!-- %s %s style -->", "Highlighted", id));
  kml.line(format("<Style id=\"%s_%c\">", id, 'h'));
  kml.line("<IconStyle>");
  kml.line("<scale>1.2</scale>");
  kml.line("<Icon>");
  iconHref(kml, context, kCarIcon);
  kml.line("</Icon>");
  kml.line("</IconStyle>");
  kml.line("</Style>");
  kml.line(format("<StyleMap id=\"%s\">", id));
  kml.line("<Pair>");
  kml.line("<key>normal</key>");
  kml.line(format("<styleUrl>#%s_%c</styleUrl>", id, 'n'));
  kml.line("</Pair>");
  kml.line("<Pair>");
  kml.line("<key>highlight</key>");
  kml.line(format("<styleUrl>#%s_%c</styleUrl>", id, 'h'));
  kml.line("</Pair>");
  kml.line("</StyleMap>");
}

// Where the car stands and where it heads, as both the car and its updates give it.
void carPlacement(KmlText& kml, const GpsFix& fix) {
  kml.line("<altitudeMode>clampToGround</altitudeMode>");
  modelLocation(kml, fix.longitude.get(), fix.latitude.get(), fix.altitude.get());
  kml.line("<Orientation>");
  kml.line(format("<heading>%f</heading>", fix.course.get()));
  kml.line("<tilt>0</tilt>");
  kml.line("<roll>0</roll>");
  kml.line("</Orientation>");
}

void carPlacemark(KmlText& kml, const GpsDocumentContext& context, const GpsFix& fix) {
  kml.line("<Placemark id=\"Car\">");
  kml.simple("name", "TivraCar");
  kml.line("<Snippet/>");
  descriptionTable(kml, "TivraCar", fix);
  kml.line("<Style>");
  kml.line("<IconStyle>");
  kml.line("<Icon>");
  iconHref(kml, context, kCarIcon);
  kml.line("</Icon>");
  kml.line("</IconStyle>");
  kml.line("</Style>");
  kml.line("<Model>");
  carPlacement(kml, fix);
  kml.line("<Scale>");
  kml.line("<x>1.0</x>");
  kml.line("<y>1.0</y>");
  kml.line("<z>1.0</z>");
  kml.line("</Scale>");
  kml.line("<Link>");
  kml.line("<href>" + context.baseUrl + "/KmzServer/TivraCar.kmz/models/TivraCar.dae</href>");
  kml.line("</Link>");
  kml.line("</Model>");
  kml.line("</Placemark>");
}

void carChange(KmlText& kml, const GpsFix& fix, double scale) {
  kml.line("<Change>");
  kml.line("<Placemark targetId=\"Car\">");
  descriptionTable(kml, "TivraCar", fix);
  kml.line("<Model>");
  carPlacement(kml, fix);
  kml.line("<Scale>");
  kml.line(format("<x>%f</x>", scale));
  kml.line(format("<y>%f</y>", scale));
  kml.line(format("<z>%f</z>", scale));
  kml.line("</Scale>");
  kml.line("</Model>");
  kml.line("</Placemark>");
  kml.line("</Change>");
}

void createSegment(KmlText& kml, const FixHistory& history, int k, int a, int b) {
  kml.line("<Create>");
  kml.line("<Folder targetId=\"TrackSegments\">");
  segment(kml, "id", history, k, a, b);
  kml.line("</Folder>");
  kml.line("</Create>");
}

void satellitePlacemark(KmlText& kml, const GpsDocumentContext& context, const GpsSatellite& sat,
                        const GpsFix& observer) {
  kml.line("<Placemark>");
  kml.line(format("<name>PRN%02d</name>", sat.prn));
  std::string bar;
  if (sat.snr > 0 && sat.snr <= 100)
    bar.assign(static_cast<std::size_t>((sat.snr + 1) / 2), sat.usedInFix ? '|' : '!');
  kml.line("<Snippet>" + bar + "</Snippet>");
  kml.line("<description>");
  kml.line("<![CDATA[<table>");
  kml.line(format("<tr><td><b>Description</b> PRN%02d </td></tr>", sat.prn));
  kml.line(format("<tr><td><b>Azimuth</b> %f </td></tr>", sat.azimuth.get()));
  kml.line(format("<tr><td><b>Elevation</b> %f </td></tr>", sat.elevation.get()));
  kml.line(format("<tr><td><b>SNR</b> %d </td></tr>", sat.snr));
  kml.line(format("<tr><td><b>UsedInFix</b> %s </td></tr>", sat.usedInFix ? "yes" : "no"));
  kml.line("</table>]]>");
  kml.line("</description>");
  const SkyPosition q = satellitePosition(observer.latitude.get(), observer.longitude.get(),
                                          sat.elevation.get(), sat.azimuth.get());
  kml.line("<Style>");
  kml.line("<IconStyle>");
  kml.line("<Icon>");
  iconHref(kml, context, sat.usedInFix ? kUsedSatelliteIcon : kSatelliteIcon);
  kml.line("</Icon>");
  kml.line("</IconStyle>");
  kml.line("</Style>");
  kml.line("<LookAt>");
  kml.line(format("<longitude>%f</longitude>", q.longitude));
  kml.line(format("<latitude>%f</latitude>", q.latitude));
  kml.line(format("<altitude>%f</altitude>", q.altitude));
  kml.line("<range>21000000</range>");
  kml.line("</LookAt>");
  kml.line("<Model>");
  kml.line("<altitudeMode>relativeToGround</altitudeMode>");
  modelLocation(kml, q.longitude, q.latitude, q.altitude);
  kml.line("<Orientation>");
  kml.line(format("<heading>%f</heading>", sat.azimuth.get()));
  kml.line(format("<tilt>%f</tilt>", 90 - sat.elevation.get()));
  kml.line("<roll>0</roll>");
  kml.line("</Orientation>");
  kml.line("<Scale>");
  kml.line("<x>10000.0</x>");
  kml.line("<y>10000.0</y>");
  kml.line("<z>10000.0</z>");
  kml.line("</Scale>");
  kml.line("<Link>");
  kml.line("<href>" + context.baseUrl + "/KmzServer/sat.kmz/models/sat.dae</href>");
  kml.line("</Link>");
  kml.line("</Model>");
  kml.line("</Placemark>");
}

}  // namespace

std::string buildGpsEntryDocument(int port, std::string_view documentName) {
  std::string out;
  out.append(platform::kXmlDeclaration).append(platform::kKml21Root);
  out.append("<NetworkLink>\n<flyToView>1</flyToView>\n<name>Tivra GPS</name>\n<Link>\n");
  out.append(format("<href>http://localhost:%d/GPSServer/", port))
      .append(documentName)
      .append("</href>\n");
  out.append("</Link>\n</NetworkLink>\n").append(platform::kKmlEnd);
  return out;
}

std::string formatCreated(std::time_t now) {
  std::tm local{};
  localtime_r(&now, &local);
  char text[128];
  const std::size_t n = std::strftime(text, sizeof text, "%c", &local);
  return std::string(text, n);
}

std::string buildGpsDocument(GpsData& data, const GpsDocumentContext& context,
                             std::string_view created) {
  std::lock_guard lock(data.lock);
  const FixHistory& history = data.history;
  const int n = static_cast<int>(std::min<std::size_t>(history.size(), 1'000'000'000));
  const int s = std::min(n, 20);
  data.sentCount = s;
  KmlText kml;
  documentStart(kml);
  kml.line("<Document>");
  if (n >= 1) {
    const GpsFix& p = history[static_cast<std::size_t>(s - 1)];
    kml.line("<LookAt>");
    kml.line(format("<longitude>%f</longitude>", p.longitude.get()));
    kml.line(format("<latitude>%f</latitude>", p.latitude.get()));
    kml.line("<range>300</range>");
    kml.line("<altitudeMode>relativeToGround</altitudeMode>");
    kml.line("</LookAt>");
  }
  kml.line("<name>Tivra GPS</name>");
  kml.line("<Snippet>Created " + std::string(created) + "</Snippet>");
  waypointStyle(kml, context);
  kml.line("<Style id=\"lineStyle\">");
  kml.line("<LineStyle>");
  kml.line(format("<color>%s</color>", "64ee17ee"));
  kml.line("<width>5</width>");
  kml.line("</LineStyle>");
  kml.line("</Style>");
  if (n > 0) {
    kml.line("<TimeSpan id=\"TimeSpan\">");
    kml.line("<begin>" + formatTime(history[0].time) + "</begin>");
    kml.line("<end>" + formatTime(history[static_cast<std::size_t>(s - 1)].time) + "</end>");
    kml.line("</TimeSpan>");
  }
  kml.line("<Folder id=\"TrackPoints\">");
  kml.line("<name>Track Points</name>");
  for (int i = 0; i < s; ++i) pointPlacemark(kml, i, history[static_cast<std::size_t>(i)], true);
  kml.line("</Folder>");
  kml.line("<Folder id=\"TrackSegments\">");
  kml.line("<name>Tracks</name>");
  for (int k = 0; k < s / 100; ++k) segment(kml, "id", history, k, 100 * k, 100 * k + 100);
  segment(kml, "id", history, s / 100, 100 * (s / 100), s);
  kml.line("</Folder>");
  if (s > 0) carPlacemark(kml, context, history[static_cast<std::size_t>(s - 1)]);
  kml.line("<NetworkLink id=\"SatelliteLink\">");
  kml.line("<name>Satellites Update</name>");
  kml.line("<open>1</open>");
  kml.line("<Link>");
  kml.line("<href>" + context.baseUrl + "/SatUpdateServer/SatellitesUpdate.kml</href>");
  kml.line("<refreshMode>onInterval</refreshMode>");
  kml.line("<refreshInterval>60</refreshInterval>");
  kml.line("</Link>");
  kml.line("</NetworkLink>");
  kml.line("<NetworkLink id=\"NetUpdate\">");
  kml.line("<name>Position Update</name>");
  kml.line("<flyToView id=\"FlyToView\">0</flyToView>");
  kml.line("<Link>");
  kml.line("<href>" + context.baseUrl + "/PosUpdateServer/Update.kml</href>");
  kml.line("<refreshMode>onInterval</refreshMode>");
  kml.line("<refreshInterval>2</refreshInterval>");
  kml.line("</Link>");
  kml.line("</NetworkLink>");
  kml.line("</Document>");
  kml.raw(platform::kKmlEnd);
  return kml.take();
}

std::string buildUpdateDocument(GpsData& data, const GpsDocumentContext& context, double carScale) {
  std::lock_guard lock(data.lock);
  const FixHistory& history = data.history;
  const int n = static_cast<int>(std::min<std::size_t>(history.size(), 1'000'000'000));
  const int b = std::clamp(data.sentCount, 0, n);
  const int bigN = std::min(n, b + 20);
  KmlText kml;
  documentStart(kml);
  kml.line("<NetworkLinkControl>");
  kml.line("<Update>");
  kml.line("<targetHref>" + context.baseUrl + "/GPSServer/" + context.documentName +
           "</targetHref>");
  if (bigN > 0) {
    for (int i = b; i < bigN; ++i) {
      kml.line("<Create>");
      kml.line("<Folder targetId=\"TrackPoints\">");
      pointPlacemark(kml, i, history[static_cast<std::size_t>(i)], false);
      kml.line("</Folder>");
      kml.line("</Create>");
    }
    carChange(kml, history[static_cast<std::size_t>(bigN - 1)], carScale);
    const int e = bigN / 100, j = b / 100;
    const auto changeSegment = [&](int k, int a, int to) {
      kml.line("<Change>");
      segment(kml, "targetId", history, k, a, to);
      kml.line("</Change>");
    };
    if (e == j) {
      changeSegment(j, 100 * j, bigN);
    } else {
      int c = 100 * j + 100;
      if (b % 100 != 0) changeSegment(j, 100 * j, c);
      for (int k = j + 1; k <= e - 1; ++k, c += 100) createSegment(kml, history, k, c, c + 100);
      createSegment(kml, history, e, 100 * e, bigN);
    }
    data.sentCount = bigN;
  }
  kml.line("</Update>");
  kml.line("</NetworkLinkControl>");
  kml.raw(platform::kKmlEnd);
  return kml.take();
}

std::string buildSatellitesDocument(GpsData& data, const GpsDocumentContext& context) {
  std::lock_guard lock(data.lock);
  KmlText kml;
  documentStart(kml);
  kml.line("<Folder id=\"Satellites\">");
  kml.line("<name>Satellites</name>");
  if (!data.history.empty())
    for (const GpsSatellite& sat : data.satellites)
      satellitePlacemark(kml, context, sat, data.history.back());
  kml.line("</Folder>");
  kml.raw(platform::kKmlEnd);
  return kml.take();
}

SkyPosition satellitePosition(double latitude, double longitude, double elevation, double azimuth) {
  constexpr double kToRadians = 0.017453292519444445;
  constexpr double kToDegrees = 57.29577951471995;
  constexpr double kHalfPi = 1.57079632675;
  constexpr double kPi = 3.1415926535;
  const double e = elevation * kToRadians;
  const double a = kPi - azimuth * kToRadians;
  const double phi = latitude * kToRadians;
  const double lambda = longitude * kToRadians;
  const double nadir = std::asin(6.3e6 / (2.65e7 / std::sin(e + kHalfPi)));
  const double central = (kHalfPi - e) - nadir;
  const double rho = std::sqrt(7.4194e14 - 3.339e14 * std::cos(central));
  const double north = rho * std::cos(e) * std::cos(a);
  const double east = rho * std::cos(e) * std::sin(a);
  const double up = rho * std::sin(e);
  const double theta = kHalfPi - phi;
  const double h = up * std::sin(theta) + north * std::cos(theta);
  const double x =
      h * std::cos(lambda) - east * std::sin(lambda) + 6.3e6 * std::cos(phi) * std::cos(lambda);
  const double y =
      h * std::sin(lambda) + east * std::cos(lambda) + 6.3e6 * std::cos(phi) * std::sin(lambda);
  const double z = up * std::cos(theta) - north * std::sin(theta) + 6.3e6 * std::sin(phi);
  double lon = std::atan(y / x);
  if (x < 0 && y > 0) lon += kPi;
  if (x < 0 && y <= 0) lon -= kPi;
  return SkyPosition{lon * kToDegrees, std::asin(z * 3.7735849056603774e-8) * kToDegrees, 2.02e7};
}

}  // namespace tivra::gps
