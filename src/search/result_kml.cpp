#include "search/result_kml.h"

#include "platform/http_response.h"
#include "platform/text.h"
#include "search/kml_text.h"

namespace tivra::search {

namespace {

constexpr std::string_view kIcon13 = "/mapfiles/kml/pal2/icon13.png";
constexpr std::string_view kIcon5 = "/mapfiles/kml/pal2/icon5.png";

void appendPlacemark(std::string& out, const PoiRecord& r, const DocumentHosts& hosts,
                     std::string_view styleMapRef) {
  const double lon = r.lon * 0.00001;
  const double lat = r.lat * 0.00001;
  out += "<Placemark>\n<name>";
  platform::appendFormat(out, "%d.", r.id);
  appendElementText(out, r.name);
  out += "</name>\n<Snippet/>\n<description><![CDATA[";
  const std::string& detail = !r.lside.empty() ? r.lside : r.lsidn;
  if (!detail.empty()) {
    out += "<A href=\"";
    appendCdataText(out, hosts.detailBase);
    out += "/html/";
    appendBalloonText(out, detail);
    out += ".html\">";
  }
  appendBalloonText(out, r.name);
  if (!r.address.empty()) {
    out += "<dt>地址:</dt><dd>";
    appendBalloonText(out, r.address);
    out += "</dd>\n";
  }
  if (!r.phone.empty()) {
    out += "<dt>电话:</dt><dd>";
    appendBalloonText(out, r.phone);
    out += "</dd>\n";
  }
  out += "<dt>行政区:</dt><dd>";
  appendBalloonText(out, r.province);
  out += ",";
  appendBalloonText(out, r.city);
  out += ",";
  appendBalloonText(out, r.district);
  out += "</dd>\n<dt>类别:</dt><dd>";
  appendBalloonText(out, r.class1);
  out += "->";
  appendBalloonText(out, r.class2);
  out += "->";
  appendBalloonText(out, r.class3);
  out += "</dd>\n</A>]]></description>\n<open>1</open>\n";
  platform::appendFormat(out, "<address>%f,%f</address>\n", lon, lat);
  out += "<LookAt>\n";
  platform::appendFormat(out, "\t<longitude>%f</longitude>\n\t<latitude>%f</latitude>\n", lon, lat);
  out +=
      "\t<altitude>0</altitude>\n\t<range>800</range>\n\t<tilt>0</tilt>\n"
      "\t<heading>0</heading>\n</LookAt>\n<styleUrl>#";
  out += styleMapRef;
  out += "</styleUrl>\n<Point>\n";
  platform::appendFormat(out, "\t<coordinates>%f,%f,0</coordinates>\n", lon, lat);
  out += "</Point>\n</Placemark>\n";
}

}  // namespace

std::string styleId(std::string_view iconUrl) {
  return "default+icon=" + std::string(iconUrl);
}

std::string styleMapId(std::string_view normalUrl, std::string_view highlightUrl) {
  return "default+nicon=" + std::string(normalUrl) + "+hicon=" + std::string(highlightUrl);
}

void appendStyle(std::string& out, std::string_view iconUrl, bool scaled) {
  out += "\t<Style id=\"";
  out += styleId(iconUrl);
  out += "\">\n\t\t<IconStyle>\n";
  if (scaled) out += "\t\t\t<scale>1.1</scale>\n";
  out += "\t\t\t<Icon>\n\t\t\t\t<href>";
  out += iconUrl;
  out += "</href>\n\t\t\t</Icon>\n\t\t</IconStyle>\n";
  if (scaled) out += "\t\t<LabelStyle>\n\t\t\t<scale>1.1</scale>\n\t\t</LabelStyle>\n";
  out += "\t</Style>\n";
}

void appendStyleMap(std::string& out, std::string_view normalUrl, std::string_view highlightUrl) {
  out += "\t<StyleMap id=\"";
  out += styleMapId(normalUrl, highlightUrl);
  out += "\">\n\t\t<Pair>\n\t\t\t<key>normal</key>\n\t\t\t<styleUrl>#";
  out += styleId(normalUrl);
  out += "</styleUrl>\n\t\t</Pair>\n\t\t<Pair>\n\t\t\t<key>highlight</key>\n\t\t\t<styleUrl>#";
  out += styleId(highlightUrl);
  out += "</styleUrl>\n\t\t</Pair>\n\t</StyleMap>\n";
}

std::string BuildResultKml(std::span<const PoiRecord> records, const DocumentHosts& hosts,
                           bool cut) {
  const std::string i13 = hosts.iconBase + std::string(kIcon13);
  const std::string i5 = hosts.iconBase + std::string(kIcon5);
  const std::string map = styleMapId(i13, i5);
  std::string out(platform::kKml21Root);
  out += "<Document>\n";
  platform::appendFormat(out, "<name>搜索结果(共%d项)</name>\n", static_cast<int>(records.size()));
  if (cut) {
    platform::appendFormat(out, "<description>搜索结果超过%zu项，只列出了前%zu项</description>\n",
                           kMaxRecords, kMaxRecords);
  }
  appendStyleMap(out, i13, i5);
  appendStyle(out, i13, true);
  appendStyle(out, i5, true);
  for (const PoiRecord& r : records) appendPlacemark(out, r, hosts, map);
  out += "</Document>\n</kml>\n";
  return out;
}

}  // namespace tivra::search
