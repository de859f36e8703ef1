#pragma once

// GPX 1.1 text: the document head and tail, waypoints, routes, tracks and their points, with
// the XML care of the globe's documents (every text escaped, control characters dropped,
// broken UTF-8 replaced), so any GPS or map tool reads what we write.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tivra::platform {

inline constexpr std::string_view kGpxNamespace = "http://www.topografix.com/GPX/1/1";

// One point of any kind (wpt, rtept, trkpt): degrees in WGS-84; the optional parts are written
// in the schema's order (ele, time, name, desc, extensions).
struct GpxPoint {
  double latitude = 0.0;
  double longitude = 0.0;
  std::optional<double> elevation;  // metres
  // UTC: seconds since 1970 and milliseconds.
  std::optional<std::int64_t> time;
  int milliseconds = 0;
  std::string name;
  std::string description;
  // In Garmin's TrackPointExtension v2, which GPS tools read: metres per second, degrees true.
  std::optional<double> speed;
  std::optional<double> course;
};

struct GpxRoute {
  std::string name;
  std::string description;
  std::vector<GpxPoint> points;
};

struct GpxTrack {
  std::string name;
  std::vector<std::vector<GpxPoint>> segments;
};

// A whole document; the parts come out in the schema's order: metadata, wpt, rte, trk.
struct GpxDocument {
  std::string name;
  std::string description;
  std::vector<GpxPoint> waypoints;
  std::vector<GpxRoute> routes;
  std::vector<GpxTrack> tracks;
};

std::string writeGpx(const GpxDocument& document);

// The pieces, for writers that stream (the track recorder).
// The XML declaration and the opening gpx element with its metadata.
void appendGpxHead(std::string& out, std::string_view name, std::string_view description);
// element is "wpt", "rtept" or "trkpt"; indent the leading blanks.
void appendGpxPoint(std::string& out, std::string_view element, const GpxPoint& point,
                    std::string_view indent);
// Text for an element or attribute: "&", "<", ">", quotes as references.
void appendXmlText(std::string& out, std::string_view text);
// "2026-12-09T01:02:03Z", or with milliseconds "...03.250Z"; nullopt beyond year 9999 or
// before year 1.
std::optional<std::string> xmlTime(std::int64_t seconds, int milliseconds);
// Reads the xmlTime form (also with an offset "+08:00", or any fraction) back into seconds and
// milliseconds since 1970; nullopt for anything else.
std::optional<std::pair<std::int64_t, int>> parseXmlTime(std::string_view text);

}  // namespace tivra::platform
