#include "gps/line_splitter.h"

namespace tivra::gps {

void LineSplitter::append(std::string_view chunk,
                          const std::function<void(std::string_view)>& onLine) {
  m_pending.append(chunk);
  std::size_t start = 0;
  while (start < m_pending.size()) {
    const std::string_view rest = std::string_view(m_pending).substr(start);
    std::size_t cut = rest.find('\n');
    if (cut == std::string_view::npos) cut = rest.find('\r');
    if (cut == std::string_view::npos) break;
    std::string_view line = rest.substr(0, cut + 1);
    if (m_sentenceStart != 0) {
      if (const auto begin = line.rfind(m_sentenceStart); begin != std::string_view::npos) {
        // The sentence starts here, so none of it was thrown away.
        line.remove_prefix(begin);
        m_discarding = false;
      }
    }
    if (!m_discarding) onLine(line);
    m_discarding = false;
    start += cut + 1;
  }
  m_pending.erase(0, start);
  if (m_sentenceStart != 0) {
    if (const auto begin = m_pending.rfind(m_sentenceStart);
        begin != std::string::npos && begin > 0) {
      m_pending.erase(0, begin);
      m_discarding = false;
    }
  }
  if (m_pending.size() > m_maxPending) {
    m_pending.clear();
    m_discarding = true;
  }
}

}  // namespace tivra::gps
