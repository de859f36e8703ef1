#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "platform/frontend.h"

namespace tivra::test {

// Keeps every message box as "caption|text" for assertions.
class RecordingFrontend final : public platform::Frontend {
 public:
  void messageBox(std::string_view text, std::string_view caption) override {
    std::lock_guard lock(m_mutex);
    m_messages.push_back(std::string(caption) + "|" + std::string(text));
  }
  std::vector<std::string> messages() const {
    std::lock_guard lock(m_mutex);
    return m_messages;
  }

 private:
  mutable std::mutex m_mutex;
  std::vector<std::string> m_messages;
};

}  // namespace tivra::test
