#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tivra::platform {

// Cuts text into tokens at runs of any of the delimiter characters. Leading delimiters are
// skipped, so empty tokens never occur.
class Tokenizer {
 public:
  Tokenizer(std::string_view text, std::string_view delimiters)
      : m_rest(text), m_delimiters(delimiters) {}
  // The next token, or an empty view once the text is used up.
  std::string_view next();

 private:
  std::string_view m_rest;
  std::string_view m_delimiters;
};

// At most maxTokens tokens of text; further ones are ignored.
std::vector<std::string_view> tokenize(std::string_view text, std::string_view delimiters,
                                       std::size_t maxTokens);

// Decimal integer as a C runtime reads it: leading blanks, an optional sign, digits up to the
// first other character; 0 when there are none. Values beyond 32 bits saturate.
std::int32_t parseInt(std::string_view text);

// Decimal real: blanks, sign, digits, fraction, exponent, up to the first character that cannot
// continue the number; 0 when there is none. Only decimal notation is accepted ("nan", "inf" and
// hex floats read as 0); a magnitude too large for a double gives an infinity.
double parseReal(std::string_view text);

// printf into a std::string.
std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
// printf appended to out; one pass through a stack buffer for the short lines of documents.
void appendFormat(std::string& out, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
// The decimal digits of value, as %lld writes them, without printf's cost on hot paths.
void appendInteger(std::string& out, std::int64_t value);
// value as "%.6f" writes it, for the coordinates of documents.
void appendFixed6(std::string& out, double value);

// ASCII letters compared without regard to case; other bytes as they are.
bool equalsIgnoreCase(std::string_view a, std::string_view b);
bool startsWithIgnoreCase(std::string_view text, std::string_view prefix);

// Text without the blanks (space, tab, CR, LF) around it.
std::string_view trim(std::string_view text);

}  // namespace tivra::platform
