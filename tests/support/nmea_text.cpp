#include "support/nmea_text.h"

#include <cstdio>

namespace tivra::test {

std::string nmeaSentence(std::string_view body) {
  unsigned sum = 0;
  for (char c : body) sum ^= static_cast<unsigned char>(c);
  char tail[8];
  std::snprintf(tail, sizeof tail, "*%02X\r\n", sum);
  return "$" + std::string(body) + tail;
}

}  // namespace tivra::test
