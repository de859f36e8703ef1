#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

namespace tivra::gps {

// A value with a has-value flag; an unset value reads as -999.0, which is what the documents
// show for it.
class OptionalDouble {
 public:
  static constexpr double kUnset = -999.0;
  OptionalDouble() = default;
  explicit OptionalDouble(double value) : m_value(value), m_set(true) {}
  OptionalDouble& operator=(double value) {
    m_value = value;
    m_set = true;
    return *this;
  }
  bool has() const { return m_set; }
  double get() const { return m_set ? m_value : kUnset; }

 private:
  double m_value = 0.0;
  bool m_set = false;
};

// Fix quality: 1 no fix, 2 2D, 3 3D, 4 differential 2D, 5 differential 3D, 6 PPS.
struct GpsFix {
  int quality = 1;
  double hdop = -1.0;
  int satellitesInView = 0;
  int satellitesUsed = 0;
  double pdop = -1.0;
  double vdop = -1.0;
  // UTC seconds since 1970 once a date is known, else seconds since midnight UTC.
  std::int32_t time = 0;
  std::int16_t milliseconds = 0;
  OptionalDouble altitude;       // metres above mean sea level
  OptionalDouble latitude{0.0};  // degrees, north positive
  OptionalDouble longitude;      // degrees, east positive
  OptionalDouble speed;          // km/h
  OptionalDouble course;         // degrees true
  // Set only by a sentence or track point that carried a usable position (a GGA with a fix, an
  // RMC or GLL of status A, a track point, each with both coordinates within ±90/±180). A fix
  // without one still counts for time, pacing and satellites, but never enters the history.
  bool hasPosition = false;
};

// Whether latitude and longitude (degrees) are a place on the globe.
inline bool onGlobe(double latitude, double longitude) {
  return latitude >= -90.0 && latitude <= 90.0 && longitude >= -180.0 && longitude <= 180.0;
}

// Two letters of the sentence that reported a satellite ("GP", "GL", ...).
using Talker = std::array<char, 2>;
inline constexpr Talker kGpsTalker = {'G', 'P'};

struct GpsSatellite {
  int prn = 0;
  OptionalDouble elevation;
  OptionalDouble azimuth;
  int snr = -999;  // 0 when the field was empty
  bool usedInFix = false;
  Talker talker = kGpsTalker;
};

// Every completed fix, in order; appended by the reader thread under the source lock.
using FixHistory = std::vector<GpsFix>;
// The satellites of the latest complete GSV cycle of each talker, in the order they arrived.
using SatelliteTable = std::vector<GpsSatellite>;

// Told every fix that enters a history, on the reader thread that appended it, after the
// source lock was released.
class FixSink {
 public:
  virtual ~FixSink() = default;
  virtual void fixPublished(const GpsFix& fix) = 0;
};

// What a source shares between its reader thread (the parser appends) and the connection
// threads (the documents read): the history, the satellite table and the count of fixes
// already delivered to the globe, all guarded by the source lock.
struct GpsData {
  std::mutex lock;  // the source lock
  FixHistory history;
  SatelliteTable satellites;
  int sentCount = 0;
  // Set before the reader starts and never changed: the recorder of every source.
  std::shared_ptr<FixSink> sink;
};

}  // namespace tivra::gps
