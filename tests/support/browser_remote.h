#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

#include "platform/unique_fd.h"

namespace tivra::test {

// A headless chromium driven through tests/web/browser.mjs: each call sends one JSON line and
// reads the one JSON line that answers it.
class BrowserRemote {
 public:
  // Why no browser test can run here (no node, no chromium, no playwright-core), or nullopt.
  static std::optional<std::string> unavailable();

  BrowserRemote();
  ~BrowserRemote();  // closes the driver's input, which ends it
  BrowserRemote(const BrowserRemote&) = delete;
  BrowserRemote& operator=(const BrowserRemote&) = delete;

  // The reply line, or an empty string when none came within the timeout.
  std::string call(std::string_view json,
                   std::chrono::milliseconds timeout = std::chrono::seconds(90));

  // Shorthands: the reply's value as text (a JSON string's characters without quotes), or
  // nullopt with the reply in error when it failed.
  std::optional<std::string> value(std::string_view json, std::string& error,
                                   std::chrono::milliseconds timeout = std::chrono::seconds(90));

 private:
  pid_t m_pid = -1;
  platform::UniqueFd m_in;   // the driver's standard input
  platform::UniqueFd m_out;  // its standard output
  std::string m_pending;
};

// A JSON string literal of text.
std::string jsonString(std::string_view text);

}  // namespace tivra::test
