#include "platform/gpx.h"

#include <cmath>
#include <ctime>

#include "platform/text.h"

namespace tivra::platform {

namespace {

constexpr std::string_view kTrackPointExtension =
    "http://www.garmin.com/xmlschemas/TrackPointExtension/v2";

// Length of the valid UTF-8 sequence at the start of text, or 0 when it is not one.
std::size_t utf8Length(std::string_view text) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(0);
  std::size_t length = 0;
  std::uint32_t code = 0;
  if (lead < 0x80) return 1;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    code = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    code = lead & 0x0F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    code = lead & 0x07;
  } else {
    return 0;
  }
  if (text.size() < length) return 0;
  for (std::size_t i = 1; i < length; ++i) {
    if ((byte(i) & 0xC0) != 0x80) return 0;
    code = (code << 6) | (byte(i) & 0x3F);
  }
  // Overlong forms, surrogates, beyond U+10FFFF and the two non-characters XML forbids.
  if ((length == 3 && code < 0x800) || (length == 4 && code < 0x10000) || code > 0x10FFFF ||
      (code >= 0xD800 && code <= 0xDFFF) || code == 0xFFFE || code == 0xFFFF)
    return 0;
  return length;
}

void appendNumber(std::string& out, const char* format, double value) {
  appendFormat(out, format, value);
}

void appendElement(std::string& out, std::string_view indent, std::string_view name,
                   std::string_view text) {
  if (text.empty()) return;
  out += indent;
  out += '<';
  out += name;
  out += '>';
  appendXmlText(out, text);
  out += "</";
  out += name;
  out += ">\n";
}

}  // namespace

void appendXmlText(std::string& out, std::string_view text) {
  while (!text.empty()) {
    const char c = text.front();
    const std::size_t length = utf8Length(text);
    if (length == 0) {
      out += "\xEF\xBF\xBD";  // U+FFFD for a byte that begins no character
      text.remove_prefix(1);
      continue;
    }
    if (length == 1) {
      switch (c) {
        case '&':
          out += "&amp;";
          break;
        case '<':
          out += "&lt;";
          break;
        case '>':
          out += "&gt;";
          break;
        case '"':
          out += "&quot;";
          break;
        case '\'':
          out += "&apos;";
          break;
        default:
          if (static_cast<unsigned char>(c) >= 0x20 || c == '\t' || c == '\n' || c == '\r')
            out += c;
      }
    } else {
      out.append(text.substr(0, length));
    }
    text.remove_prefix(length);
  }
}

std::optional<std::string> xmlTime(std::int64_t seconds, int milliseconds) {
  // Years 1 to 9999: four digits, as the schema's dateTime is read everywhere.
  constexpr std::int64_t kFirst = -62135596800, kLast = 253402300799;
  if (seconds < kFirst || seconds > kLast || milliseconds < 0 || milliseconds > 999)
    return std::nullopt;
  const std::time_t t = static_cast<std::time_t>(seconds);
  std::tm parts{};
  if (::gmtime_r(&t, &parts) == nullptr) return std::nullopt;
  std::string out = format("%04d-%02d-%02dT%02d:%02d:%02d", parts.tm_year + 1900, parts.tm_mon + 1,
                           parts.tm_mday, parts.tm_hour, parts.tm_min, parts.tm_sec);
  if (milliseconds != 0) appendFormat(out, ".%03d", milliseconds);
  out += 'Z';
  return out;
}

std::optional<std::pair<std::int64_t, int>> parseXmlTime(std::string_view text) {
  // "2009-10-17T18:37:26Z", "2009-10-17T18:37:26.125+08:00"
  text = trim(text);
  const auto digits = [&](std::size_t at, std::size_t count) -> std::optional<int> {
    if (at + count > text.size()) return std::nullopt;
    int value = 0;
    for (std::size_t i = at; i < at + count; ++i) {
      if (text[i] < '0' || text[i] > '9') return std::nullopt;
      value = value * 10 + (text[i] - '0');
    }
    return value;
  };
  const auto year = digits(0, 4), month = digits(5, 2), day = digits(8, 2), hour = digits(11, 2),
             minute = digits(14, 2), second = digits(17, 2);
  if (!year || !month || !day || !hour || !minute || !second || text[4] != '-' || text[7] != '-' ||
      (text[10] != 'T' && text[10] != 't') || text[13] != ':' || text[16] != ':')
    return std::nullopt;
  if (*month < 1 || *month > 12 || *day < 1 || *day > 31 || *hour > 23 || *minute > 59 ||
      *second > 60)
    return std::nullopt;
  std::size_t at = 19;
  int milliseconds = 0;
  if (at < text.size() && text[at] == '.') {
    ++at;
    int scale = 100;
    const std::size_t first = at;
    // Any number of fraction digits; those past the millisecond are dropped.
    while (at < text.size() && text[at] >= '0' && text[at] <= '9' && at - first < 32) {
      milliseconds += (text[at] - '0') * scale;
      scale /= 10;
      ++at;
    }
    if (at == first) return std::nullopt;
  }
  std::int64_t offset = 0;
  if (at < text.size() && (text[at] == 'Z' || text[at] == 'z')) {
    ++at;
  } else if (at < text.size() && (text[at] == '+' || text[at] == '-')) {
    const auto oh = digits(at + 1, 2), om = digits(at + 4, 2);
    if (!oh || !om || text[at + 3] != ':' || *oh > 14 || *om > 59) return std::nullopt;
    offset = (text[at] == '+' ? 1 : -1) * (*oh * 3600 + *om * 60);
    at += 6;
  }
  // A time without a zone is read as UTC, as most tools do.
  if (at != text.size()) return std::nullopt;
  // Days from civil (proleptic Gregorian), H. Hinnant's algorithm.
  const int y = *year - (*month <= 2 ? 1 : 0);
  const int era = (y >= 0 ? y : y - 399) / 400;
  const int yoe = y - era * 400;
  const int mp = (*month + 9) % 12;
  const int doy = (153 * mp + 2) / 5 + *day - 1;
  const int doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  const std::int64_t days = static_cast<std::int64_t>(era) * 146097 + doe - 719468;
  const std::int64_t seconds = days * 86400 + *hour * 3600 + *minute * 60 + *second - offset;
  return std::pair{seconds, milliseconds};
}

void appendGpxHead(std::string& out, std::string_view name, std::string_view description) {
  out +=
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<gpx version=\"1.1\" creator=\"Tivra\" xmlns=\"";
  out += kGpxNamespace;
  out += "\" xmlns:gpxtpx=\"";
  out += kTrackPointExtension;
  out += "\">\n";
  if (name.empty() && description.empty()) return;
  out += " <metadata>\n";
  appendElement(out, "  ", "name", name);
  appendElement(out, "  ", "desc", description);
  out += " </metadata>\n";
}

void appendGpxPoint(std::string& out, std::string_view element, const GpxPoint& point,
                    std::string_view indent) {
  out += indent;
  out += '<';
  out += element;
  appendNumber(out, " lat=\"%.7f\"", point.latitude);
  appendNumber(out, " lon=\"%.7f\"", point.longitude);
  const bool empty = !point.elevation && !point.time && point.name.empty() &&
                     point.description.empty() && !point.speed && !point.course;
  if (empty) {
    out += "/>\n";
    return;
  }
  out += ">\n";
  const std::string inner = std::string(indent) + " ";
  if (point.elevation && std::isfinite(*point.elevation))
    appendNumber(out, (inner + "<ele>%.1f</ele>\n").c_str(), *point.elevation);
  if (point.time) {
    if (const auto text = xmlTime(*point.time, point.milliseconds))
      out += inner + "<time>" + *text + "</time>\n";
  }
  appendElement(out, inner, "name", point.name);
  appendElement(out, inner, "desc", point.description);
  const bool speed = point.speed && std::isfinite(*point.speed) && *point.speed >= 0;
  const bool course =
      point.course && std::isfinite(*point.course) && *point.course >= 0 && *point.course < 360;
  if (speed || course) {
    out += inner + "<extensions><gpxtpx:TrackPointExtension>";
    if (speed) appendNumber(out, "<gpxtpx:speed>%.2f</gpxtpx:speed>", *point.speed);
    if (course) appendNumber(out, "<gpxtpx:course>%.1f</gpxtpx:course>", *point.course);
    out += "</gpxtpx:TrackPointExtension></extensions>\n";
  }
  out += indent;
  out += "</";
  out += element;
  out += ">\n";
}

std::string writeGpx(const GpxDocument& document) {
  std::string out;
  appendGpxHead(out, document.name, document.description);
  for (const GpxPoint& point : document.waypoints) appendGpxPoint(out, "wpt", point, " ");
  for (const GpxRoute& route : document.routes) {
    out += " <rte>\n";
    appendElement(out, "  ", "name", route.name);
    appendElement(out, "  ", "desc", route.description);
    for (const GpxPoint& point : route.points) appendGpxPoint(out, "rtept", point, "  ");
    out += " </rte>\n";
  }
  for (const GpxTrack& track : document.tracks) {
    out += " <trk>\n";
    appendElement(out, "  ", "name", track.name);
    for (const auto& segment : track.segments) {
      out += "  <trkseg>\n";
      for (const GpxPoint& point : segment) appendGpxPoint(out, "trkpt", point, "   ");
      out += "  </trkseg>\n";
    }
    out += " </trk>\n";
  }
  out += "</gpx>\n";
  return out;
}

}  // namespace tivra::platform
