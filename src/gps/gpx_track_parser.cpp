#include "gps/gpx_track_parser.h"

#include <charconv>
#include <cmath>
#include <optional>

#include <pugixml.hpp>

#include "gps/plt_track_parser.h"
#include "platform/gpx.h"
#include "platform/text.h"

namespace tivra::gps {

namespace {

constexpr std::string_view kOpen = "<trkpt";
constexpr std::string_view kClose = "</trkpt";

// A number as XML Schema writes a decimal: the whole text (blanks around it aside), nothing
// after it, finite.
std::optional<double> decimal(std::string_view text) {
  text = platform::trim(text);
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  double value = 0.0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || ec != std::errc() || end != text.data() + text.size() ||
      !std::isfinite(value))
    return std::nullopt;
  return value;
}

// "<trkpt" followed by what may follow an element's name, so "<trkptx" is not taken.
bool opensPoint(std::string_view text, std::size_t at) {
  const std::size_t after = at + kOpen.size();
  if (after >= text.size()) return true;  // undecided until more comes
  const char c = text[after];
  return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '>' || c == '/';
}

// Where the element that starts at 0 ends (one past its last byte), or npos when it has not
// ended yet.
std::size_t pointEnd(std::string_view text) {
  const std::size_t tagEnd = text.find('>');
  if (tagEnd == std::string_view::npos) return tagEnd;
  if (text[tagEnd - 1] == '/') return tagEnd + 1;
  const std::size_t close = text.find(kClose, tagEnd);
  if (close == std::string_view::npos) return close;
  const std::size_t closeEnd = text.find('>', close);
  return closeEnd == std::string_view::npos ? closeEnd : closeEnd + 1;
}

}  // namespace

GpxTrackParser::GpxTrackParser(GpsData& data, double timeFactor, PacingClock& clock)
    : m_publisher(data, timeFactor, clock) {}

const GpsFix* GpxTrackParser::processLine(std::string_view bytes) {
  const GpsFix* published = nullptr;
  while (!bytes.empty()) {
    // Take in at most what one point may hold beyond what is pending, so the buffer stays
    // bounded however the file is cut.
    const std::size_t take = std::min(bytes.size(), kMaxPointBytes);
    m_pending.append(bytes.substr(0, take));
    bytes.remove_prefix(take);
    while (true) {
      const std::string_view pending = m_pending;
      std::size_t start = pending.find(kOpen);
      while (start != std::string_view::npos && !opensPoint(pending, start))
        start = pending.find(kOpen, start + 1);
      if (start == std::string_view::npos) {
        // Keep a tail that may be the beginning of "<trkpt".
        const std::size_t keep = std::min(pending.size(), kOpen.size() - 1);
        m_pending.erase(0, pending.size() - keep);
        break;
      }
      const std::string_view element = pending.substr(start);
      const std::size_t end = pointEnd(element);
      if (end == std::string_view::npos) {
        m_pending.erase(0, start);
        if (m_pending.size() <= kMaxPointBytes) break;
        // A point that never ends within the bound: refused, and the search goes on after
        // its opening.
        ++m_refused;
        m_pending.erase(0, kOpen.size());
        continue;
      }
      if (end > kMaxPointBytes) {
        ++m_refused;
      } else {
        parsePoint(element.substr(0, end));
        if (const GpsFix* fix = m_publisher.publish(false)) published = fix;
      }
      m_pending.erase(0, start + end);
    }
  }
  return published;
}

void GpxTrackParser::parsePoint(std::string_view element) {
  pugi::xml_document document;
  // Entities and character references as any XML reader resolves them; no DOCTYPE is read.
  const pugi::xml_parse_result parsed = document.load_buffer(
      element.data(), element.size(), pugi::parse_default, pugi::encoding_utf8);
  const pugi::xml_node point = document.first_child();
  if (!parsed || std::string_view(point.name()) != "trkpt") {
    ++m_refused;
    return;
  }
  const auto latitude = decimal(point.attribute("lat").value());
  const auto longitude = decimal(point.attribute("lon").value());
  if (!latitude || !longitude || !onGlobe(*latitude, *longitude)) {
    ++m_refused;
    return;
  }
  std::optional<double> altitude;
  if (const pugi::xml_node ele = point.child("ele")) {
    altitude = decimal(ele.child_value());
    if (!altitude) {
      ++m_refused;
      return;
    }
  }
  GpsFix& fix = m_publisher.beginEpoch();
  fix.latitude = *latitude;
  fix.longitude = *longitude;
  if (altitude) fix.altitude = *altitude;
  fix.hasPosition = true;
  // A time beyond the 32-bit time field, or none, leaves the point without one (0).
  if (const auto time = platform::parseXmlTime(point.child("time").child_value());
      time && time->first != 0 && time->first >= -2147483647LL && time->first <= 2147483647LL) {
    fix.time = static_cast<std::int32_t>(time->first);
    fix.milliseconds = static_cast<std::int16_t>(time->second);
  }
  if (m_hasPreviousPoint) setMotionFromStep(m_previousPoint, fix);
  m_previousPoint = fix;
  m_hasPreviousPoint = true;
}

}  // namespace tivra::gps
