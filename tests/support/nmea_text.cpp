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

std::string ubxFrame() {
  constexpr int kPayload = 92;
  std::string frame = "\xB5\x62\x01\x07";
  frame += static_cast<char>(kPayload);
  frame += '\0';
  for (int i = 0; i < kPayload; ++i) frame += static_cast<char>(i);
  unsigned a = 0, b = 0;
  for (std::size_t i = 2; i < frame.size(); ++i) {
    a = (a + static_cast<unsigned char>(frame[i])) & 0xFF;
    b = (b + a) & 0xFF;
  }
  frame += static_cast<char>(a);
  frame += static_cast<char>(b);
  return frame;
}

}  // namespace tivra::test
