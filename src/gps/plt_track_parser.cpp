#include "gps/plt_track_parser.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>
#include <string>

namespace tivra::gps {

namespace {

constexpr double kDegreesToRadians = 0.017453292519943295;
constexpr double kEarthRadius = 6378137.0;

double atofView(std::string_view piece) {
  const std::string text(piece);
  return std::atof(text.c_str());
}

double zeroIfTiny(double value) {
  return std::fabs(value) < 1e-15 ? 0.0 : value;
}

}  // namespace

void setMotionFromStep(const GpsFix& prev, GpsFix& fix) {
  const double phi1 = prev.latitude.get() * kDegreesToRadians;
  const double lambda1 = prev.longitude.get() * kDegreesToRadians;
  const double phi2 = fix.latitude.get() * kDegreesToRadians;
  const double lambda2 = fix.longitude.get() * kDegreesToRadians;
  const double y = zeroIfTiny(std::cos(phi2) * std::sin(lambda1 - lambda2));
  const double x = zeroIfTiny(std::cos(phi1) * std::sin(phi2) -
                              std::cos(phi2) * std::cos(lambda1 - lambda2) * std::sin(phi1));
  double course = 360 - std::atan2(y, x) * 57.29577951308232;
  if (course >= 360) course -= 360;
  fix.course = course;

  const double sinLambda = std::sin((lambda1 - lambda2) / 2);
  const double sinPhi = std::sin((phi1 - phi2) / 2);
  const double root =
      std::sqrt(sinLambda * sinLambda * std::cos(phi1) * std::cos(phi2) + sinPhi * sinPhi);
  const double distance = 2 * std::asin(std::clamp(root, -1.0, 1.0)) * kEarthRadius;
  const double seconds =
      (fix.milliseconds - prev.milliseconds) * 0.001 + (static_cast<double>(fix.time) - prev.time);
  // Two points with one time stamp, or a point without one: the speed of the step before
  // stands (0 for the first).
  if (seconds != 0 && fix.time != 0 && prev.time != 0)
    fix.speed = distance / seconds * 3.6;
  else
    fix.speed = prev.speed.has() ? prev.speed.get() : 0.0;
}

PltTrackParser::PltTrackParser(GpsData& data, double timeFactor, PacingClock& clock)
    : m_publisher(data, timeFactor, clock) {}

const GpsFix* PltTrackParser::processLine(std::string_view line) {
  ++m_lineCount;
  const bool pointLine = m_headerSeen && m_lineCount >= 6;
  // A NUL byte means the line was damaged on its way: none of it is read.
  if (line.find('\0') != std::string_view::npos) {
    if (pointLine) ++m_refused;
  } else if (m_lineCount == 1 && line.find("Track Point") != std::string_view::npos) {
    m_headerSeen = true;
  } else if (pointLine && line.size() <= kMaxLineLength + 2) {
    parsePoint(line);
  }
  return m_publisher.publish(!m_hasPoint);
}

bool PltTrackParser::parsePoint(std::string_view line) {
  // Pieces between commas; consecutive commas count as one. The end of the line may stand for
  // the fifth piece, the date, which is then empty.
  std::array<std::string_view, 5> pieces;
  std::size_t taken = 0, pos = 0;
  while (taken < pieces.size()) {
    while (pos < line.size() && line[pos] == ',') ++pos;
    if (pos >= line.size()) break;
    const std::size_t end = std::min(line.find(',', pos), line.size());
    pieces[taken++] = line.substr(pos, end - pos);
    pos = end;
  }
  if (taken < pieces.size() - 1) return false;

  const double latitude = atofView(pieces[0]);
  const double longitude = atofView(pieces[1]);
  const double altitude = atofView(pieces[3]) * 0.3048;
  if (!onGlobe(latitude, longitude) || !std::isfinite(altitude)) {
    ++m_refused;
    return false;
  }
  GpsFix& fix = m_publisher.beginEpoch();
  fix.latitude = latitude;
  fix.longitude = longitude;
  fix.altitude = altitude;
  fix.hasPosition = true;
  m_hasPoint = true;
  // Days since 1899-12-30. A date of 0, blank or beyond the 32-bit time field leaves the point
  // without a time (0), which the documents and the pacing know.
  const double t = (atofView(pieces[4]) - 25569) * 86400;
  if (std::isfinite(t) && std::fabs(t) <= 2147483647.0) {
    const double whole = std::trunc(t);
    fix.time = static_cast<std::int32_t>(whole);
    fix.milliseconds = static_cast<std::int16_t>((t - whole) * 1000);
  }

  if (m_hasPreviousPoint) setMotionFromStep(m_previousPoint, fix);
  m_previousPoint = fix;
  m_hasPreviousPoint = true;
  return true;
}

}  // namespace tivra::gps
