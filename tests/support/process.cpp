#include "support/process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>

extern char** environ;

namespace tivra::test {

Process::Process(const std::filesystem::path& program, const std::vector<std::string>& args,
                 const std::vector<std::string>& extraEnv, const std::filesystem::path& stderrFile,
                 const std::filesystem::path& workingDirectory) {
  std::vector<std::string> argStore{program.string()};
  argStore.insert(argStore.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : argStore) argv.push_back(a.data());
  argv.push_back(nullptr);

  // An extra entry replaces the inherited one of the same name: getenv finds the first.
  const auto overridden = [&](std::string_view entry) {
    const std::string_view name = entry.substr(0, entry.find('=') + 1);
    return std::any_of(extraEnv.begin(), extraEnv.end(),
                       [&](const std::string& e) { return e.starts_with(name); });
  };
  std::vector<std::string> envStore;
  for (char** e = environ; *e != nullptr; ++e)
    if (!overridden(*e)) envStore.emplace_back(*e);
  envStore.insert(envStore.end(), extraEnv.begin(), extraEnv.end());
  std::vector<char*> envp;
  for (auto& e : envStore) envp.push_back(e.data());
  envp.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 2, stderrFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0644);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  if (!workingDirectory.empty())
    posix_spawn_file_actions_addchdir_np(&actions, workingDirectory.c_str());
  // The child must not inherit a blocked-signal mask from a test thread.
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK);
  const int rc = ::posix_spawn(&m_pid, program.c_str(), &actions, &attr, argv.data(), envp.data());
  posix_spawnattr_destroy(&attr);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0)
    throw std::system_error(rc, std::generic_category(), "posix_spawn " + program.string());
}

Process::~Process() {
  if (!m_reaped && m_pid > 0) {
    ::kill(m_pid, SIGKILL);
    ::waitpid(m_pid, &m_status, 0);
  }
}

void Process::signal(int sig) const {
  if (!m_reaped) ::kill(m_pid, sig);
}

bool Process::running() {
  if (m_reaped) return false;
  const pid_t r = ::waitpid(m_pid, &m_status, WNOHANG);
  if (r == m_pid) m_reaped = true;
  return !m_reaped;
}

std::optional<int> Process::wait(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (running()) {
    if (std::chrono::steady_clock::now() > deadline) return std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  if (WIFEXITED(m_status)) return WEXITSTATUS(m_status);
  return std::nullopt;
}

std::string readFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

std::optional<long> residentKiB(pid_t pid, std::string_view field) {
  const std::string status = readFile("/proc/" + std::to_string(pid) + "/status");
  const auto at = status.find("\n" + std::string(field) + ":");
  if (at == std::string::npos) return std::nullopt;
  return std::strtol(status.c_str() + at + field.size() + 2, nullptr, 10);
}

}  // namespace tivra::test
