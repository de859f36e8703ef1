#include "platform/text.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <limits>

namespace tivra::platform {

std::string_view Tokenizer::next() {
  const auto start = m_rest.find_first_not_of(m_delimiters);
  if (start == std::string_view::npos) {
    m_rest = {};
    return {};
  }
  m_rest.remove_prefix(start);
  const auto end = m_rest.find_first_of(m_delimiters);
  const std::string_view token = m_rest.substr(0, end);
  m_rest.remove_prefix(end == std::string_view::npos ? m_rest.size() : end + 1);
  return token;
}

std::vector<std::string_view> tokenize(std::string_view text, std::string_view delimiters,
                                       std::size_t maxTokens) {
  std::vector<std::string_view> tokens;
  Tokenizer tokenizer(text, delimiters);
  while (tokens.size() < maxTokens) {
    const std::string_view token = tokenizer.next();
    if (token.empty()) break;
    tokens.push_back(token);
  }
  return tokens;
}

namespace {

bool isBlank(char c) {
  return c == ' ' || (c >= '\t' && c <= '\r');
}
bool isDigit(char c) {
  return c >= '0' && c <= '9';
}

}  // namespace

std::int32_t parseInt(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && isBlank(text[i])) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  std::int64_t value = 0;
  constexpr std::int64_t kLimit = std::int64_t{std::numeric_limits<std::int32_t>::max()} + 1;
  for (; i < text.size() && isDigit(text[i]); ++i) {
    value = value * 10 + (text[i] - '0');
    if (value > kLimit) value = kLimit;  // saturate; further digits cannot lower it
  }
  if (negative) value = -value;
  if (value > std::numeric_limits<std::int32_t>::max())
    value = std::numeric_limits<std::int32_t>::max();
  return static_cast<std::int32_t>(value);
}

double parseReal(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && isBlank(text[i])) ++i;
  const std::size_t start = i;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
  std::size_t digits = 0;
  while (i < text.size() && isDigit(text[i])) ++i, ++digits;
  if (i < text.size() && text[i] == '.') {
    ++i;
    while (i < text.size() && isDigit(text[i])) ++i, ++digits;
  }
  if (digits == 0) return 0.0;
  if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
    std::size_t j = i + 1;
    if (j < text.size() && (text[j] == '+' || text[j] == '-')) ++j;
    if (j < text.size() && isDigit(text[j])) {
      while (j < text.size() && isDigit(text[j])) ++j;
      i = j;
    }
  }
  // The prefix is plain decimal text, so strtod cannot wander into "inf", "nan" or hex.
  const std::string number(text.substr(start, i - start));
  return std::strtod(number.c_str(), nullptr);
}

std::string format(const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  va_list copy;
  va_copy(copy, args);
  const int length = std::vsnprintf(nullptr, 0, fmt, copy);
  va_end(copy);
  std::string out;
  if (length > 0) {
    out.resize(static_cast<std::size_t>(length));
    std::vsnprintf(out.data(), out.size() + 1, fmt, args);
  }
  va_end(args);
  return out;
}

void appendFormat(std::string& out, const char* fmt, ...) {
  char buffer[256];
  va_list args;
  va_start(args, fmt);
  va_list copy;
  va_copy(copy, args);
  const int length = std::vsnprintf(buffer, sizeof buffer, fmt, args);
  va_end(args);
  if (length > 0 && static_cast<std::size_t>(length) < sizeof buffer) {
    out.append(buffer, static_cast<std::size_t>(length));
  } else if (length > 0) {
    const std::size_t start = out.size();
    out.resize(start + static_cast<std::size_t>(length));
    std::vsnprintf(out.data() + start, static_cast<std::size_t>(length) + 1, fmt, copy);
  }
  va_end(copy);
}

void appendInteger(std::string& out, std::int64_t value) {
  std::array<char, 24> digits;
  const auto result = std::to_chars(digits.data(), digits.data() + digits.size(), value);
  out.append(digits.data(), result.ptr);
}

void appendFixed6(std::string& out, double value) {
  // Coordinates are small: their millionths are a whole number a double holds exactly, and
  // the product's rounding error (from fma) tells whether the nearest one is certain. Values
  // further out, and those next to a rounding tie, go the general way.
  const double magnitude = std::fabs(value);
  if (magnitude < 1e7) {
    const double scaled = magnitude * 1e6;
    const double error = std::fma(magnitude, 1e6, -scaled);
    const double whole = std::nearbyint(scaled);
    if (std::fabs(scaled - whole + error) < 0.49) {
      const auto millionths = static_cast<std::int64_t>(whole);
      if (std::signbit(value)) out.push_back('-');
      appendInteger(out, millionths / 1000000);
      std::array<char, 7> fraction{'.'};
      std::int64_t rest = millionths % 1000000;
      for (std::size_t i = 6; i >= 1; --i, rest /= 10)
        fraction[i] = static_cast<char>('0' + rest % 10);
      out.append(fraction.data(), fraction.size());
      return;
    }
  }
  std::array<char, 512> buffer;  // %f of the largest double needs 316 characters
  const auto result = std::to_chars(buffer.data(), buffer.data() + buffer.size(), value,
                                    std::chars_format::fixed, 6);
  out.append(buffer.data(), result.ptr);
}

bool equalsIgnoreCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

bool startsWithIgnoreCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && equalsIgnoreCase(text.substr(0, prefix.size()), prefix);
}

std::string_view trim(std::string_view text) {
  constexpr std::string_view kBlanks = " \t\r\n";
  const std::size_t first = text.find_first_not_of(kBlanks);
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(kBlanks) - first + 1);
}

}  // namespace tivra::platform
