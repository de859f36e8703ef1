#include "platform/log.h"

#include <atomic>
#include <cstdio>
#include <string>

namespace tivra::platform {

namespace {
std::atomic<bool> g_debugLog{false};
}

void setDebugLog(bool enabled) {
  g_debugLog.store(enabled, std::memory_order_relaxed);
}

bool debugLogEnabled() {
  return g_debugLog.load(std::memory_order_relaxed);
}

namespace {

void writeLine(std::string_view text) {
  std::string line(text);
  if (line.empty() || line.back() != '\n') line.push_back('\n');
  std::fwrite(line.data(), 1, line.size(), stderr);
}

}  // namespace

void debugTrace(std::string_view text) {
  if (debugLogEnabled()) writeLine(text);
}

void warn(std::string_view text) {
  writeLine(text);
}

}  // namespace tivra::platform
