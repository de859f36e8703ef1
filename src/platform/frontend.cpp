#include "platform/frontend.h"

#include <cstdio>
#include <mutex>
#include <string>

namespace tivra::platform {

namespace {
std::mutex g_stderrLock;  // keeps lines from several threads whole
}

void HeadlessFrontend::messageBox(std::string_view text, std::string_view caption) {
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.remove_suffix(1);
  std::string line;
  line.reserve(caption.size() + text.size() + 3);
  line.append(caption).append(": ").append(text).push_back('\n');
  std::lock_guard lock(g_stderrLock);
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fflush(stderr);
}

}  // namespace tivra::platform
