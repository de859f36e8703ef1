#include "gps/line_parser.h"

#include <cctype>
#include <cmath>
#include <thread>

#include "gps/gpx_track_parser.h"
#include "gps/nmea_parser.h"
#include "gps/plt_track_parser.h"

namespace tivra::gps {

std::int64_t SteadyPacingClock::nowMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

void SteadyPacingClock::sleepMs(std::int64_t ms) {
  std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

void Pacer::pace(const GpsFix& previous, const GpsFix& current) {
  if (!m_hasReference) {
    m_referenceMs = m_clock.nowMs();
    m_hasReference = true;
  }
  const std::int64_t now = m_clock.nowMs();
  // A fix without a time (a track point without a date) gives no gap to wait for.
  if (previous.time == 0 || current.time == 0) {
    m_referenceMs = now;
    return;
  }
  const double recorded = (static_cast<double>(current.time) - previous.time) * 1000 +
                          current.milliseconds - previous.milliseconds;
  const double wanted = std::trunc(recorded / m_factor);
  const double sleep = wanted - static_cast<double>(now - m_referenceMs);
  // A gap of more than a day in a recording is not worth waiting for.
  constexpr double kLongestSleepMs = 86'400'000.0;
  if (sleep > 0) m_clock.sleepMs(static_cast<std::int64_t>(std::min(sleep, kLongestSleepMs)));
  m_referenceMs = m_clock.nowMs();
}

GpsFix& FixPublisher::beginEpoch() {
  if (m_hasCurrent && m_currentPublished) {
    m_previous = m_current;
    m_hasPrevious = true;
  }
  m_current = GpsFix{};
  m_hasCurrent = true;
  m_currentPublished = false;
  return m_current;
}

const GpsFix* FixPublisher::publish(bool keyIsZero) {
  if (keyIsZero || !m_hasCurrent || m_currentPublished) return nullptr;
  if (m_hasPrevious) {
    {
      std::lock_guard lock(m_data.lock);
      if (m_previous.hasPosition) m_data.history.push_back(m_previous);
    }
    if (m_previous.hasPosition && m_data.sink) m_data.sink->fixPublished(m_previous);
    if (m_pacer.active()) m_pacer.pace(m_previous, m_current);
  }
  m_currentPublished = true;
  return &m_current;
}

std::unique_ptr<LineParser> makeParser(std::string_view fileName, GpsData& data, double timeFactor,
                                       PacingClock& clock) {
  const auto lower = [](char c) {
    return static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  };
  const auto endsWith = [&](std::string_view suffix) {
    if (fileName.size() < suffix.size()) return false;
    for (std::size_t i = 0; i < suffix.size(); ++i) {
      if (lower(fileName[fileName.size() - suffix.size() + i]) != suffix[i]) return false;
    }
    return true;
  };
  if (endsWith("plt")) return std::make_unique<PltTrackParser>(data, timeFactor, clock);
  if (endsWith("gpx")) return std::make_unique<GpxTrackParser>(data, timeFactor, clock);
  return std::make_unique<NmeaParser>(data, timeFactor, clock);
}

}  // namespace tivra::gps
