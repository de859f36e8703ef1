#include "globe/camera_flight.h"

#include <algorithm>
#include <cmath>
#include <initializer_list>

#include "globe/globe_view.h"

namespace tivra::globe {

namespace {

constexpr double kMinRange = 1.0;
constexpr double kMaxRange = 1.0e8;
constexpr double kMaxSeconds = 86400.0;

double smoothStep(double t) {
  return t * t * (3.0 - 2.0 * t);
}

}  // namespace

Clock::duration secondsToDuration(double seconds) {
  if (!std::isfinite(seconds) || seconds < 0.0) seconds = 0.0;
  seconds = std::min(seconds, kMaxSeconds);
  return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

Camera normalisedCamera(Camera c) {
  c.FocusPointLatitude = std::clamp(c.FocusPointLatitude, -90.0, 90.0);
  c.FocusPointLongitude = wrapDegrees(c.FocusPointLongitude);
  c.Range = std::clamp(c.Range, kMinRange, kMaxRange);
  c.Tilt = std::clamp(c.Tilt, 0.0, 90.0);
  c.Azimuth = std::fmod(c.Azimuth, 360.0);
  if (c.Azimuth < 0) c.Azimuth += 360.0;
  return c;
}

Clock::duration flightDuration(double speed, const FlightTiming& timing) {
  if (speed >= kInstantSpeed) return {};
  const double base = std::chrono::duration<double>(timing.base).count();
  const double maxSeconds = std::chrono::duration<double>(timing.max).count();
  return secondsToDuration(speed > 0.0 ? std::min(maxSeconds, base / speed) : maxSeconds);
}

CameraFlight::CameraFlight(const Camera& start, Clock::time_point now)
    : m_from(normalisedCamera(start)), m_to(m_from), m_start(now), m_end(now) {}

void CameraFlight::flyTo(const Camera& target, double speed, const FlightTiming& timing,
                         Clock::time_point now) {
  for (double v : {target.FocusPointLatitude, target.FocusPointLongitude, target.FocusPointAltitude,
                   target.Range, target.Tilt, target.Azimuth, speed}) {
    if (!std::isfinite(v)) throw EarthError("camera values must be finite");
  }
  m_from = at(now);
  m_to = normalisedCamera(target);
  m_start = now;
  m_end = now + flightDuration(speed, timing);
  m_stopTaken = false;
}

Camera CameraFlight::at(Clock::time_point now) const {
  if (now >= m_end) return m_to;
  const double total = std::chrono::duration<double>(m_end - m_start).count();
  const double t = smoothStep(
      std::clamp(std::chrono::duration<double>(now - m_start).count() / total, 0.0, 1.0));
  auto lerp = [t](double a, double b) { return a + (b - a) * t; };
  Camera c = m_to;
  c.FocusPointLatitude = lerp(m_from.FocusPointLatitude, m_to.FocusPointLatitude);
  c.FocusPointLongitude =
      wrapDegrees(m_from.FocusPointLongitude +
                  wrapDegrees(m_to.FocusPointLongitude - m_from.FocusPointLongitude) * t);
  c.FocusPointAltitude = lerp(m_from.FocusPointAltitude, m_to.FocusPointAltitude);
  c.Range = lerp(m_from.Range, m_to.Range);
  c.Tilt = lerp(m_from.Tilt, m_to.Tilt);
  c.Azimuth =
      std::fmod(m_from.Azimuth + wrapDegrees(m_to.Azimuth - m_from.Azimuth) * t + 360.0, 360.0);
  return c;
}

bool CameraFlight::takeStop(Clock::time_point now) {
  if (m_stopTaken || now < m_end) return false;
  m_stopTaken = true;
  return true;
}

}  // namespace tivra::globe
