#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

#include "gps/gps_fix.h"

namespace tivra::gps {

// The clock that paces file playback. Sources hand in one whose sleep ends early when they are
// stopped; tests hand in one that records the sleeps.
class PacingClock {
 public:
  virtual ~PacingClock() = default;
  virtual std::int64_t nowMs() = 0;
  virtual void sleepMs(std::int64_t ms) = 0;
};

// A steady clock and a plain sleep.
class SteadyPacingClock final : public PacingClock {
 public:
  std::int64_t nowMs() override;
  void sleepMs(std::int64_t ms) override;
};

// Paces publication so that consecutive fixes come their recorded time apart divided by the
// time factor. The reference instant is taken after each sleep: taken before it, every second
// sleep would be cancelled by the one before and playback would run at about twice the speed.
class Pacer {
 public:
  Pacer(double timeFactor, PacingClock& clock) : m_factor(timeFactor), m_clock(clock) {}
  bool active() const { return m_factor > 0; }
  void pace(const GpsFix& previous, const GpsFix& current);

 private:
  double m_factor;
  PacingClock& m_clock;
  bool m_hasReference = false;
  std::int64_t m_referenceMs = 0;
};

// One line parser per source, fed one line at a time (terminator included) by its reader thread.
class LineParser {
 public:
  virtual ~LineParser() = default;
  // The fix that has just become current when this line opened a new epoch, else null.
  virtual const GpsFix* processLine(std::string_view line) = 0;
  // The byte every line of this format begins with, or 0: bytes before it are not part of a
  // line, so a reader can find the next line after binary data.
  virtual char sentenceStart() const { return 0; }
  // Lines that had the shape of a point but could not be shown (damaged, or a position that is
  // no place on the globe).
  virtual std::size_t refusedPoints() const { return 0; }
  // True when processLine() takes the bytes as they were read rather than cut into lines.
  virtual bool readsBytes() const { return false; }
};

// Longest line either parser accepts; a longer one is refused whole.
inline constexpr std::size_t kMaxLineLength = 1023;

// Publication, shared by both parsers: a fix reaches the history only when the next epoch
// begins, so the last fix of a source is never appended, and only when it has a position.
class FixPublisher {
 public:
  FixPublisher(GpsData& data, double timeFactor, PacingClock& clock)
      : m_data(data), m_pacer(timeFactor, clock) {}

  GpsFix& current() { return m_current; }
  bool hasCurrent() const { return m_hasCurrent; }
  // Makes a fresh fix current; the one before it, once published, becomes the previous fix.
  GpsFix& beginEpoch();
  // keyIsZero: the time of the last sentence is 0, which publishes nothing.
  const GpsFix* publish(bool keyIsZero);

 private:
  GpsData& m_data;
  Pacer m_pacer;
  GpsFix m_current;
  GpsFix m_previous;
  bool m_hasCurrent = false;
  bool m_hasPrevious = false;
  bool m_currentPublished = false;
};

// A parser for a source: the track-file parsers for names ending in "plt" or "gpx" (any case),
// else NMEA.
std::unique_ptr<LineParser> makeParser(std::string_view fileName, GpsData& data, double timeFactor,
                                       PacingClock& clock);

}  // namespace tivra::gps
