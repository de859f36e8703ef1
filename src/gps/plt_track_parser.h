#pragma once

#include <string_view>

#include "gps/gps_fix.h"
#include "gps/line_parser.h"

namespace tivra::gps {

// Reads the track points of an OziExplorer ".plt" track file:
//   line 1      "OziExplorer Track Point File Version 2.1" (must contain "Track Point")
//   lines 2-5   datum, units, reserved, track header
//   line 6      point count
//   line 7...   "  58.821140,  42.627060,1,  549.2,40230.3722801, 21-Feb-10, 8:56:05"
//               latitude, longitude, code, altitude in feet, days since 1899-12-30, ...
// Course and speed come from the step between consecutive points. A point whose date is 0,
// blank or missing is shown without a time. One whose position is no place on the globe, or
// whose altitude is not a number, is refused and counted.
// Course and speed of fix from the step since previous (a great circle): the speed of the step
// before stands when the two have one time stamp or either has none.
void setMotionFromStep(const GpsFix& previous, GpsFix& fix);

class PltTrackParser final : public LineParser {
 public:
  PltTrackParser(GpsData& data, double timeFactor, PacingClock& clock);
  const GpsFix* processLine(std::string_view line) override;
  std::size_t refusedPoints() const override { return m_refused; }

 private:
  // False when the line is not a point at all; a refused point is counted.
  bool parsePoint(std::string_view line);

  FixPublisher m_publisher;
  long long m_lineCount = 0;
  bool m_headerSeen = false;
  bool m_hasPoint = false;
  std::size_t m_refused = 0;
  GpsFix m_previousPoint;
  bool m_hasPreviousPoint = false;
};

}  // namespace tivra::gps
