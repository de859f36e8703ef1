#pragma once

#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "gps/gps_fix.h"
#include "gps/line_parser.h"

namespace tivra::gps {

struct NmeaOptions {
  // Accept the talkers of today's multi-constellation receivers (GN, GL, GA, GB, BD, GQ) like
  // GP; off, only "$GP" sentences are read.
  bool allTalkers = true;
};

// Reads NMEA 0183 sentences: GGA, RMC, GLL, VTG, GSA and GSV. Runs on its source's reader
// thread only; the history append and the satellite table swap happen under the source lock.
class NmeaParser final : public LineParser {
 public:
  NmeaParser(GpsData& data, double timeFactor, PacingClock& clock, NmeaOptions options = {});
  const GpsFix* processLine(std::string_view line) override;
  char sentenceStart() const override { return '$'; }

 private:
  enum class Driving { None, Gga, Rmc };
  struct TalkerCycle {
    std::vector<GpsSatellite> building;  // satellites of the pages seen so far, first PRN wins
    int inView = 0;
  };

  void dispatch(std::string_view sentence);
  void parseGga(std::string_view fields);
  void parseRmc(std::string_view fields);
  void parseGll(std::string_view fields);
  void parseVtg(std::string_view fields);
  void parseGsa(std::string_view sentence, std::string_view fields);
  void parseGsv(Talker talker, std::string_view fields);
  // Applies the new-epoch rule for a sentence time and stores it as the last sentence time.
  GpsFix& epochFor(double sentenceTime);
  void setTimeParts(double hhmmss);
  std::int32_t fixTime() const;

  GpsData& m_data;
  FixPublisher m_publisher;
  NmeaOptions m_options;
  std::string m_work;  // the line being prepared

  double m_lastSentenceTime = 0.0;
  int m_seconds = 0, m_minutes = 0, m_hours = 0;
  int m_day = 0, m_month = 0, m_years = 0;  // years since 1900; 0 until an RMC gives a date
  int m_milliseconds = 0;
  Driving m_driving = Driving::None;
  std::map<Talker, TalkerCycle> m_cycles;
  std::vector<int> m_usedPrns;
  bool m_lastWasGsa = false;
};

}  // namespace tivra::gps
