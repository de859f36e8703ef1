#pragma once

#include <string>
#include <string_view>

#include "gps/gps_fix.h"
#include "gps/line_parser.h"

namespace tivra::gps {

// Reads the track points of a GPX file as they stream in, in any cutting of its bytes:
//   <trkpt lat="39.9" lon="116.4"><ele>44.2</ele><time>2009-10-17T18:37:26Z</time></trkpt>
//   lat, lon    degrees, attributes, required
//   ele         metres, optional
//   time        UTC (an offset is honoured), optional: a point without one is shown without
//               a time, as a .plt point without a date is
// Every trkpt element is read wherever it stands; waypoints and route points are not a track.
// Course and speed come from the step between consecutive points. A point that is not well
// formed, longer than kMaxPointBytes, off the globe or whose elevation is not a number is
// refused and counted.
class GpxTrackParser final : public LineParser {
 public:
  static constexpr std::size_t kMaxPointBytes = 64 * 1024;

  GpxTrackParser(GpsData& data, double timeFactor, PacingClock& clock);
  // Any piece of the file: points are cut out of the stream, not out of lines.
  const GpsFix* processLine(std::string_view bytes) override;
  bool readsBytes() const override { return true; }
  std::size_t refusedPoints() const override { return m_refused; }

 private:
  void parsePoint(std::string_view element);

  FixPublisher m_publisher;
  std::string m_pending;  // the bytes from the start of an unfinished point on
  std::size_t m_refused = 0;
  GpsFix m_previousPoint;
  bool m_hasPreviousPoint = false;
};

}  // namespace tivra::gps
