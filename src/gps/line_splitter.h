#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

namespace tivra::gps {

// Cuts received text into lines: at the first "\n", or at the first "\r" when there is no "\n";
// each line keeps its terminator. Text without a terminator waits for more. A line that grows
// beyond maxPending without one is thrown away up to its terminator, so a peer that never ends
// a line cannot grow the buffer without bound.
//
// With a sentence start byte (NMEA's "$"), a line begins at the last such byte before its
// terminator, and bytes before it are dropped as they arrive: binary data between sentences
// costs only itself, never the sentence after it.
class LineSplitter {
 public:
  explicit LineSplitter(std::size_t maxPending = 4096, char sentenceStart = 0)
      : m_maxPending(maxPending), m_sentenceStart(sentenceStart) {}

  void append(std::string_view chunk, const std::function<void(std::string_view)>& onLine);

 private:
  std::string m_pending;
  std::size_t m_maxPending;
  char m_sentenceStart;
  bool m_discarding = false;
};

}  // namespace tivra::gps
