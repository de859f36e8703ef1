#include "search/kml_text.h"

#include <array>

namespace tivra::search {

namespace {

bool forbiddenControl(char c) {
  const auto u = static_cast<unsigned char>(c);
  return u < 0x20 && c != '\t' && c != '\n' && c != '\r';
}

bool isDigit(char c) {
  return c >= '0' && c <= '9';
}
bool isHexDigit(char c) {
  return isDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

bool validCodePoint(unsigned long cp) {
  return cp == 0x9 || cp == 0xA || cp == 0xD || (cp >= 0x20 && cp <= 0xD7FF) ||
         (cp >= 0xE000 && cp <= 0xFFFD) || (cp >= 0x10000 && cp <= 0x10FFFF);
}

// Length of the reference at text[0] == '&' that a KML reader resolves, or 0.
std::size_t referenceLength(std::string_view text) {
  static constexpr std::array<std::string_view, 5> kNamed = {"&lt;", "&gt;", "&amp;", "&apos;",
                                                             "&quot;"};
  for (const std::string_view named : kNamed) {
    if (text.starts_with(named)) return named.size();
  }
  if (text.size() < 4 || text[1] != '#') return 0;
  const bool hex = text[2] == 'x';
  std::size_t i = hex ? 3 : 2;
  unsigned long cp = 0;
  const std::size_t first = i;
  for (; i < text.size() && (hex ? isHexDigit(text[i]) : isDigit(text[i])); ++i) {
    if (i - first >= 8) return 0;  // longer than any code point
    const char c = text[i];
    const unsigned digit = isDigit(c) ? c - '0' : (c | 0x20) - 'a' + 10;
    cp = cp * (hex ? 16 : 10) + digit;
  }
  if (i == first || i >= text.size() || text[i] != ';' || !validCodePoint(cp)) return 0;
  return i + 1;
}

// A reference the text already holds is kept; a bare '&' is escaped. Returns the bytes of the
// text taken past its '&'.
std::size_t appendAmpersand(std::string& out, std::string_view fromAmpersand) {
  const std::size_t length = referenceLength(fromAmpersand);
  if (length == 0) {
    out += "&amp;";
    return 0;
  }
  out.append(fromAmpersand.substr(0, length));
  return length - 1;
}

void appendUtf8(std::string& out, unsigned long cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

}  // namespace

std::string resolveReferences(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const std::size_t length = text[i] == '&' ? referenceLength(text.substr(i)) : 0;
    if (length == 0) {
      out += text[i];
      continue;
    }
    const std::string_view reference = text.substr(i + 1, length - 2);
    if (reference[0] == '#') {
      const bool hex = reference[1] == 'x';
      appendUtf8(out,
                 std::stoul(std::string(reference.substr(hex ? 2 : 1)), nullptr, hex ? 16 : 10));
    } else {
      out += reference == "lt"     ? '<'
             : reference == "gt"   ? '>'
             : reference == "amp"  ? '&'
             : reference == "apos" ? '\''
                                   : '"';
    }
    i += length - 1;
  }
  return out;
}

void appendElementText(std::string& out, std::string_view text) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (forbiddenControl(c)) continue;
    if (c == '<') {
      out += "&lt;";
    } else if (c == '&') {
      i += appendAmpersand(out, text.substr(i));
    } else if (c == '>' && out.ends_with("]]")) {
      out += "&gt;";
    } else {
      out.push_back(c);
    }
  }
}

void appendCdataText(std::string& out, std::string_view text) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (forbiddenControl(c)) continue;
    if (c == '>' && out.ends_with("]]")) {
      out += "]]><![CDATA[>";
    } else {
      out.push_back(c);
    }
  }
}

void appendBalloonText(std::string& out, std::string_view text) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (forbiddenControl(c)) continue;
    switch (c) {
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
        out += "&#39;";
        break;
      case '&':
        i += appendAmpersand(out, text.substr(i));
        break;
      default:
        out.push_back(c);
    }
  }
}

void appendBalloonElementText(std::string& out, std::string_view text) {
  std::string html;
  appendBalloonText(html, text);
  // Only "&" is left to escape: the HTML text holds no "<" or ">".
  for (const char c : html) {
    if (c == '&') {
      out += "&amp;";
    } else {
      out.push_back(c);
    }
  }
}

}  // namespace tivra::search
