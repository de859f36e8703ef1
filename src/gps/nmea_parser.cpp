#include "gps/nmea_parser.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <utility>

namespace tivra::gps {

namespace {

constexpr double kKnotsToKmh = 1.852;

// Reads fields the way sscanf reads its conversions: numbers skip leading blanks, characters do
// not, and after the first mismatch every later read fails and leaves its target as it was.
class FieldScanner {
 public:
  explicit FieldScanner(std::string_view text) : m_text(text) {}

  bool literal(char c) {
    if (m_failed || m_pos >= m_text.size() || m_text[m_pos] != c) return fail();
    ++m_pos;
    return true;
  }
  bool character(char& out) {
    if (m_failed || m_pos >= m_text.size()) return fail();
    out = m_text[m_pos++];
    return true;
  }
  bool real(double& out) {
    if (!startNumber()) return false;
    double value = 0;
    const char* begin = m_text.data() + m_pos;
    auto [end, ec] = std::from_chars(begin, m_text.data() + m_text.size(), value);
    // Infinities and NaN would turn every later conversion into undefined behaviour.
    if (ec != std::errc() || !std::isfinite(value)) return fail();
    m_pos += static_cast<std::size_t>(end - begin);
    out = m_negative ? -value : value;
    return true;
  }
  // "%f": the value passes through a float, as the sentence's own precision was read.
  bool realFloat(double& out) {
    double value = 0;
    if (!real(value)) return false;
    out = static_cast<double>(static_cast<float>(value));
    return true;
  }
  bool integer(long long& out) {
    if (!startNumber()) return false;
    long long value = 0;
    const char* begin = m_text.data() + m_pos;
    auto [end, ec] = std::from_chars(begin, m_text.data() + m_text.size(), value);
    if (ec != std::errc()) return fail();
    m_pos += static_cast<std::size_t>(end - begin);
    out = m_negative ? -value : value;
    return true;
  }
  bool integer(int& out) {
    long long value = 0;
    if (!integer(value)) return false;
    if (value < INT32_MIN || value > INT32_MAX) return fail();
    out = static_cast<int>(value);
    return true;
  }

 private:
  bool fail() {
    m_failed = true;
    return false;
  }
  // Blanks, then one optional sign; from_chars takes neither.
  bool startNumber() {
    if (m_failed) return false;
    while (m_pos < m_text.size() &&
           (m_text[m_pos] == ' ' || (m_text[m_pos] >= '\t' && m_text[m_pos] <= '\r')))
      ++m_pos;
    m_negative = false;
    if (m_pos < m_text.size() && (m_text[m_pos] == '+' || m_text[m_pos] == '-')) {
      m_negative = m_text[m_pos] == '-';
      ++m_pos;
      if (m_pos < m_text.size() && (m_text[m_pos] == '+' || m_text[m_pos] == '-')) return fail();
    }
    return true;
  }

  std::string_view m_text;
  std::size_t m_pos = 0;
  bool m_failed = false;
  bool m_negative = false;
};

// ddmm.mmmm or dddmm.mmmm to signed decimal degrees.
double toDegrees(double value, char hemisphere) {
  if (hemisphere == 'S' || hemisphere == 'W') value = -value;
  const double w = value * 0.01;
  const double d = std::trunc(w);
  return d + (w - d) * 100 * (1.0 / 60);
}

// Both coordinates were read (an empty field reads as 0 but leaves its hemisphere letter 0) and
// lie on the globe.
bool usablePosition(char ns, char ew, double latitude, double longitude) {
  return (ns == 'N' || ns == 'S') && (ew == 'E' || ew == 'W') && onGlobe(latitude, longitude);
}

// Days from 1970-01-01 to a proleptic Gregorian date (month 1..12).
std::int64_t daysFromCivil(std::int64_t year, int month, int day) {
  year -= month <= 2;
  const std::int64_t era = (year >= 0 ? year : year - 399) / 400;
  const auto yoe = static_cast<unsigned>(year - era * 400);
  const unsigned doy = (153 * static_cast<unsigned>(month + (month > 2 ? -3 : 9)) + 2) / 5 +
                       static_cast<unsigned>(day) - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

constexpr std::array<Talker, 7> kTalkers = {
    {{'G', 'P'}, {'G', 'N'}, {'G', 'L'}, {'G', 'A'}, {'G', 'B'}, {'B', 'D'}, {'G', 'Q'}}};

// Trims, checks the checksum and writes every empty field as 0 into out; false drops the line.
bool prepareLine(std::string_view line, std::string& out) {
  // A NUL byte means the line was damaged on its way: what surrounds it cannot be trusted.
  if (line.find('\0') != std::string_view::npos) return false;
  while (!line.empty() && static_cast<unsigned char>(line.back()) <= 32) line.remove_suffix(1);
  while (!line.empty() && static_cast<unsigned char>(line.front()) <= 32) line.remove_prefix(1);
  if (line.size() > kMaxLineLength) return false;
  if (line.empty() || line.front() != '$') return false;

  const auto star = line.rfind('*');
  if (star != std::string_view::npos) {
    unsigned char sum = 0;
    for (std::size_t i = 1; i < star; ++i) sum ^= static_cast<unsigned char>(line[i]);
    // "%2X": blanks, then one or two hexadecimal digits.
    std::size_t pos = star + 1;
    while (pos < line.size() && line[pos] == ' ') ++pos;
    unsigned value = 0;
    const char* begin = line.data() + pos;
    const char* last = line.data() + std::min(line.size(), pos + 2);
    auto [end, ec] = std::from_chars(begin, last, value, 16);
    if (ec != std::errc() || end == begin || value != sum) return false;
  }

  out.clear();
  for (std::size_t i = 0; i < line.size(); ++i) {
    out.push_back(line[i]);
    if (line[i] == ',' && i + 1 < line.size() && line[i + 1] == ',') out.push_back('0');
  }
  // An empty last field reads as 0 too. The "*" stays: were it replaced by a comma, its checksum
  // digits would read as one more field (a phantom satellite in a GSV).
  if (const auto pos = out.find(",*"); pos != std::string::npos) out.insert(pos + 1, 1, '0');
  return true;
}

}  // namespace

NmeaParser::NmeaParser(GpsData& data, double timeFactor, PacingClock& clock, NmeaOptions options)
    : m_data(data), m_publisher(data, timeFactor, clock), m_options(options) {
  m_work.reserve(kMaxLineLength + 64);
}

const GpsFix* NmeaParser::processLine(std::string_view line) {
  if (prepareLine(line, m_work)) dispatch(m_work);
  return m_publisher.publish(m_lastSentenceTime == 0.0);
}

void NmeaParser::dispatch(std::string_view sentence) {
  if (sentence.size() < 7 || sentence[6] != ',') {
    m_lastWasGsa = false;
    return;
  }
  const Talker talker = {sentence[1], sentence[2]};
  const bool known = m_options.allTalkers
                         ? std::find(kTalkers.begin(), kTalkers.end(), talker) != kTalkers.end()
                         : talker == kGpsTalker;
  const std::string_view type = sentence.substr(3, 3);
  const std::string_view fields = sentence.substr(7);
  const bool wasGsa = std::exchange(m_lastWasGsa, false);
  if (!known) return;
  if (type == "GGA") {
    m_driving = Driving::Gga;
    parseGga(fields);
  } else if (type == "RMC") {
    if (m_driving != Driving::Gga) m_driving = Driving::Rmc;
    parseRmc(fields);
  } else if (type == "GLL") {
    if (m_driving == Driving::None) parseGll(fields);
  } else if (type == "VTG") {
    parseVtg(fields);
  } else if (type == "GSA") {
    m_lastWasGsa = wasGsa;
    parseGsa(sentence, fields);
    m_lastWasGsa = true;
  } else if (type == "GSV") {
    parseGsv(talker, fields);
  }
}

GpsFix& NmeaParser::epochFor(double sentenceTime) {
  const bool differs = sentenceTime != m_lastSentenceTime;
  m_lastSentenceTime = sentenceTime;
  if (differs || !m_publisher.hasCurrent()) return m_publisher.beginEpoch();
  return m_publisher.current();
}

void NmeaParser::setTimeParts(double hhmmss) {
  const double whole = std::trunc(hhmmss);
  m_seconds = static_cast<int>(std::fmod(whole, 100));
  m_minutes = static_cast<int>(std::fmod(std::trunc(hhmmss / 100), 100));
  m_hours = static_cast<int>(std::fmod(std::trunc(hhmmss / 10000), 100));
  m_milliseconds = static_cast<int>((hhmmss - whole) * 1000);
}

std::int32_t NmeaParser::fixTime() const {
  const std::int64_t clock = m_hours * 3600LL + m_minutes * 60LL + m_seconds;
  if (m_years == 0) return static_cast<std::int32_t>(clock);
  // timegm's normalisation: a month or day out of range carries into the next field.
  const int month = ((m_month % 12) + 12) % 12;
  const std::int64_t year = 1900LL + m_years + (m_month - month) / 12;
  const std::int64_t days = daysFromCivil(year, month + 1, 1) + m_day - 1;
  return static_cast<std::int32_t>(days * 86400 + clock);
}

// $GPGGA,083259.000,2445.4970,N,12057.4576,E,1,08,1.0,38.2,M,16.3,M,,0000*5F
//        time       latitude    longitude   quality sats HDOP altitude unit
void NmeaParser::parseGga(std::string_view fields) {
  double time = 0, latitude = 0, longitude = 0, hdop = 0, altitude = 0;
  char ns = 0, ew = 0, unit = 0;
  int quality = 0, satellites = 0;
  FieldScanner s(fields);
  s.real(time) && s.literal(',') && s.real(latitude) && s.literal(',') && s.character(ns) &&
      s.literal(',') && s.real(longitude) && s.literal(',') && s.character(ew) && s.literal(',') &&
      s.integer(quality) && s.literal(',') && s.integer(satellites) && s.literal(',') &&
      s.real(hdop) && s.literal(',') && s.real(altitude) && s.literal(',') && s.character(unit);

  GpsFix& fix = epochFor(time);
  setTimeParts(time);
  fix.time = fixTime();
  fix.milliseconds = static_cast<std::int16_t>(m_milliseconds);
  fix.latitude = toDegrees(latitude, ns);
  fix.longitude = toDegrees(longitude, ew);
  fix.hasPosition = quality > 0 && usablePosition(ns, ew, fix.latitude.get(), fix.longitude.get());
  fix.altitude = altitude;
  fix.satellitesUsed = satellites;
  fix.hdop = hdop;
  switch (quality) {
    case 0:
      fix.quality = 1;
      break;
    case 1:
      fix.quality = satellites > 3 ? 3 : 2;
      break;
    case 2:
      fix.quality = satellites > 3 ? 5 : 4;
      break;
    case 3:
      fix.quality = 6;
      break;
    default:
      break;
  }
}

// $GPRMC,083259.000,A,2445.4970,N,12057.4576,E,0.00,31.78,180406,,,A*51
//        time       status position          knots course date
void NmeaParser::parseRmc(std::string_view fields) {
  double time = 0, latitude = 0, longitude = 0, knots = 0, course = 0;
  char status = 0, ns = 0, ew = 0;
  long long date = 0;
  FieldScanner s(fields);
  s.real(time) && s.literal(',') && s.character(status) && s.literal(',') && s.real(latitude) &&
      s.literal(',') && s.character(ns) && s.literal(',') && s.real(longitude) && s.literal(',') &&
      s.character(ew) && s.literal(',') && s.real(knots) && s.literal(',') && s.real(course) &&
      s.literal(',') && s.integer(date);
  if (status != 'A') return;
  // "%u" wraps like an unsigned int.
  const auto udate = static_cast<std::uint32_t>(date);
  setTimeParts(time);
  m_day = static_cast<int>(udate / 10000);
  m_month = static_cast<int>((udate / 100) % 100) - 1;
  m_years = static_cast<int>(udate % 100) + 100;

  if (m_driving == Driving::Gga && time == m_lastSentenceTime) {
    if (!m_publisher.hasCurrent()) return;
    GpsFix& fix = m_publisher.current();
    if (!(fix.speed.get() > 0)) fix.speed = knots * kKnotsToKmh;
    if (!(fix.course.get() > 0)) fix.course = course;
    fix.time = fixTime();
    fix.milliseconds = static_cast<std::int16_t>(m_milliseconds);
    // The GGA's position stands; one that it lacked comes from here.
    const double lat = toDegrees(latitude, ns), lon = toDegrees(longitude, ew);
    if (!fix.hasPosition && usablePosition(ns, ew, lat, lon)) {
      fix.latitude = lat;
      fix.longitude = lon;
      fix.hasPosition = true;
    }
    return;
  }
  GpsFix& fix = epochFor(time);
  fix.speed = knots * kKnotsToKmh;
  fix.course = course;
  fix.time = fixTime();
  fix.milliseconds = static_cast<std::int16_t>(m_milliseconds);
  fix.latitude = toDegrees(latitude, ns);
  fix.longitude = toDegrees(longitude, ew);
  fix.hasPosition = usablePosition(ns, ew, fix.latitude.get(), fix.longitude.get());
}

// $GPGLL,2445.4970,N,12057.4576,E,083259.000,A,A*5D
//        latitude    longitude    time       status
// The time is read as a real: read as an integer, a time with fractional seconds would stop the
// scan before the status and every such sentence would be dropped. Its epoch key is the whole
// hhmmss.sss, as for GGA and RMC, so a GLL-only receiver gives one fix per sentence.
void NmeaParser::parseGll(std::string_view fields) {
  double latitude = 0, longitude = 0, time = 0;
  char ns = 0, ew = 0, status = 0;
  FieldScanner s(fields);
  s.real(latitude) && s.literal(',') && s.character(ns) && s.literal(',') && s.real(longitude) &&
      s.literal(',') && s.character(ew) && s.literal(',') && s.real(time) && s.literal(',') &&
      s.character(status);
  if (status != 'A') return;
  setTimeParts(time);
  GpsFix& fix = epochFor(time);
  fix.time = fixTime();
  fix.milliseconds = static_cast<std::int16_t>(m_milliseconds);
  fix.latitude = toDegrees(latitude, ns);
  fix.longitude = toDegrees(longitude, ew);
  fix.hasPosition = usablePosition(ns, ew, fix.latitude.get(), fix.longitude.get());
}

// $GPVTG,31.78,T,,M,0.00,N,0.00,K,A*29
//        track    magnetic knots  km/h
void NmeaParser::parseVtg(std::string_view fields) {
  double track = 0, magnetic = 0, knots = 0, kmh = 0;
  char t = 0, m = 0, n = 0, k = 0;
  FieldScanner s(fields);
  s.realFloat(track) && s.literal(',') && s.character(t) && s.literal(',') &&
      s.realFloat(magnetic) && s.literal(',') && s.character(m) && s.literal(',') &&
      s.real(knots) && s.literal(',') && s.character(n) && s.literal(',') && s.real(kmh) &&
      s.literal(',') && s.character(k);
  if (!m_publisher.hasCurrent()) return;
  GpsFix& fix = m_publisher.current();
  fix.course = track;
  fix.speed = kmh > 0 ? kmh : knots * kKnotsToKmh;
}

// $GPGSA,A,3,05,02,26,27,09,04,15,,,,,,1.8,1.0,1.5*33
//        mode fix-type 12 PRN slots       PDOP HDOP VDOP
void NmeaParser::parseGsa(std::string_view sentence, std::string_view fields) {
  char mode = 0, fixType = 0;
  std::array<int, 12> slots;
  slots.fill(-1);
  FieldScanner s(fields);
  bool going = s.character(mode) && s.literal(',') && s.character(fixType);
  for (int& slot : slots) going = going && s.literal(',') && s.integer(slot);

  double pdop = 0, hdop = 0, vdop = 0;
  std::size_t commas = 0, pos = 0;
  while (commas < 15 && (pos = sentence.find(',', pos)) != std::string_view::npos) {
    ++commas;
    ++pos;
  }
  if (commas == 15) {
    FieldScanner dops(sentence.substr(pos));
    dops.realFloat(pdop) && dops.literal(',') && dops.realFloat(hdop) && dops.literal(',') &&
        dops.realFloat(vdop);
  }
  if (!m_publisher.hasCurrent()) return;
  GpsFix& fix = m_publisher.current();
  if (fix.quality != 4 && fix.quality != 5) {
    if (fixType == '3') fix.quality = 3;
    if (fixType == '2') fix.quality = 2;
  }
  fix.pdop = pdop;
  fix.hdop = hdop;
  fix.vdop = vdop;
  // Consecutive GSA lines of one epoch (one per constellation) together list the used PRNs.
  if (!(m_options.allTalkers && m_lastWasGsa)) m_usedPrns.clear();
  const std::size_t before = m_usedPrns.size();
  for (int slot : slots)
    if (slot > 0) m_usedPrns.push_back(slot);
  if (fix.satellitesUsed <= 0) fix.satellitesUsed = static_cast<int>(m_usedPrns.size() - before);
}

// $GPGSV,3,1,12,05,58,310,45,02,40,068,43,26,35,181,40,27,31,244,38*7B
//        pages page in-view then four groups of PRN, elevation, azimuth, SNR
// $GPGSV,3,3,09,07,05,100,,1*hh
//        NMEA 4.10 and later: a signal ID follows the groups
void NmeaParser::parseGsv(Talker talker, std::string_view fields) {
  // Three fields and whole groups of four, plus one: that one is the signal ID, not the PRN of
  // a satellite.
  const std::size_t end = std::min(fields.find('*'), fields.size());
  const auto count = static_cast<int>(std::count(fields.begin(), fields.begin() + end, ',')) + 1;
  const int usable = count > 3 && (count - 3) % 4 == 1 ? count - 1 : count;
  std::array<int, 19> values{};
  int read = 0;
  FieldScanner s(fields);
  for (int& value : values) {
    if (read >= usable) break;
    if (read > 0 && !s.literal(',')) break;
    if (!s.integer(value)) break;
    ++read;
  }
  TalkerCycle& cycle = m_cycles[talker];
  cycle.inView = values[2];
  if (m_publisher.hasCurrent()) {
    int inView = 0;
    for (const auto& [key, each] : m_cycles) inView += each.inView;
    m_publisher.current().satellitesInView = m_options.allTalkers ? inView : values[2];
  }

  const int maxPrn = talker == kGpsTalker ? 36 : 255;
  std::lock_guard lock(m_data.lock);
  for (int group = 0; group < 4 && read > 3 + group * 4; ++group) {
    const int* g = &values[3 + group * 4];
    const int prn = g[0];
    if (prn < 1 || prn > maxPrn) continue;
    if (std::any_of(cycle.building.begin(), cycle.building.end(),
                    [prn](const GpsSatellite& sat) { return sat.prn == prn; }))
      continue;
    GpsSatellite satellite;
    satellite.prn = prn;
    satellite.elevation = g[1];
    satellite.azimuth = g[2];
    satellite.snr = g[3];
    satellite.talker = talker;
    cycle.building.push_back(satellite);
  }
  if (values[1] != values[0]) return;
  for (GpsSatellite& satellite : cycle.building)
    satellite.usedInFix =
        std::find(m_usedPrns.begin(), m_usedPrns.end(), satellite.prn) != m_usedPrns.end();
  auto& table = m_data.satellites;
  std::erase_if(table, [talker](const GpsSatellite& sat) { return sat.talker == talker; });
  table.insert(table.end(), cycle.building.begin(), cycle.building.end());
  cycle.building.clear();
}

}  // namespace tivra::gps
