#pragma once

// The simulated globe's camera: where it is at any moment of a flight between two cameras.
// Pure: the caller passes the time, so a flight can be checked without threads or clocks.

#include <chrono>

#include "globe/earth.h"

namespace tivra::globe {

using Clock = std::chrono::steady_clock;

// Seconds read from a document as a duration; negative or not a number gives 0, at most a day.
Clock::duration secondsToDuration(double seconds);

// The camera kept within the globe: latitude -90..90, longitude wrapped into -180..180, range
// 1 m..1e8 m, tilt 0..90, azimuth 0..360.
Camera normalisedCamera(Camera camera);

struct FlightTiming {
  // A flight at autopilot speed s takes base / s, at most max; s >= kInstantSpeed is instant.
  std::chrono::milliseconds base{1000};
  std::chrono::milliseconds max{5000};
};

Clock::duration flightDuration(double speed, const FlightTiming& timing);

class CameraFlight {
 public:
  CameraFlight(const Camera& start, Clock::time_point now);

  // Flies from wherever the camera is at `now` to the target; EarthError for values that are
  // not finite.
  void flyTo(const Camera& target, double speed, const FlightTiming& timing, Clock::time_point now);

  // Eased between the two cameras: longitude and azimuth take the short way round.
  Camera at(Clock::time_point now) const;
  Clock::time_point end() const { return m_end; }
  bool moving(Clock::time_point now) const { return now < m_end; }

  // True once for each flight, at the first call after it has ended: the camera stopped.
  bool takeStop(Clock::time_point now);
  // The last stop has been taken.
  bool stopTaken() const { return m_stopTaken; }

 private:
  Camera m_from;
  Camera m_to;
  Clock::time_point m_start;
  Clock::time_point m_end;
  bool m_stopTaken = true;
};

}  // namespace tivra::globe
