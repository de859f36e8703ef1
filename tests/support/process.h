#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace tivra::test {

// A child process with its standard error captured in a file.
class Process {
 public:
  // Starts program with args; extraEnv entries are "NAME=value" added to the environment. A
  // non-empty workingDirectory is the child's current directory.
  Process(const std::filesystem::path& program, const std::vector<std::string>& args,
          const std::vector<std::string>& extraEnv, const std::filesystem::path& stderrFile,
          const std::filesystem::path& workingDirectory = {});
  ~Process();  // kills the child if it still runs
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  void signal(int sig) const;
  pid_t pid() const { return m_pid; }
  // The exit status, or nullopt when it has not ended within the timeout (or died by a signal).
  std::optional<int> wait(std::chrono::milliseconds timeout);
  bool running();

 private:
  pid_t m_pid = -1;
  bool m_reaped = false;
  int m_status = 0;
};

std::string readFile(const std::filesystem::path& path);

// A memory figure of a process in KiB from /proc/PID/status ("VmRSS": all resident memory,
// "RssAnon": its anonymous part, without mapped files); nullopt when it cannot be read.
std::optional<long> residentKiB(pid_t pid, std::string_view field = "VmRSS");

// Polls until predicate holds or the timeout passes; returns the predicate's last value.
template <typename Predicate>
bool eventually(Predicate predicate, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!predicate()) {
    if (std::chrono::steady_clock::now() > deadline) return predicate();
    struct timespec ts {
      0, 10'000'000
    };
    nanosleep(&ts, nullptr);
  }
  return true;
}

}  // namespace tivra::test
