#include "support/browser_remote.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <stdexcept>
#include <vector>

#include "platform/text.h"

extern char** environ;

namespace tivra::test {

namespace {

constexpr const char* kNode = "/usr/bin/node";

std::string chromium() {
  const char* named = std::getenv("CHROMIUM");
  return named != nullptr ? named : "/usr/bin/chromium";
}

std::filesystem::path driverScript() {
  return std::filesystem::path(TIVRA_SOURCE_DIR) / "tests" / "web" / "browser.mjs";
}

}  // namespace

std::optional<std::string> BrowserRemote::unavailable() {
  std::error_code ec;
  if (!std::filesystem::exists(kNode, ec)) return std::string("no node at ") + kNode;
  if (!std::filesystem::exists(chromium(), ec)) return "no chromium at " + chromium();
  const auto driver = std::filesystem::path(TIVRA_SOURCE_DIR) / "web" / "node_modules" /
                      "playwright-core" / "package.json";
  if (!std::filesystem::exists(driver, ec)) return "no playwright-core (scripts/install-deps.sh)";
  return std::nullopt;
}

BrowserRemote::BrowserRemote() {
  int in[2];
  int out[2];
  if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0)
    throw std::runtime_error("pipe failed");
  platform::UniqueFd childIn(in[0]);
  platform::UniqueFd childOut(out[1]);
  m_in = platform::UniqueFd(in[1]);
  m_out = platform::UniqueFd(out[0]);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, childIn.get(), 0);
  posix_spawn_file_actions_adddup2(&actions, childOut.get(), 1);
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK);
  std::string script = driverScript().string();
  std::string node = kNode;
  std::vector<char*> argv{node.data(), script.data(), nullptr};
  const int rc = ::posix_spawn(&m_pid, kNode, &actions, &attr, argv.data(), environ);
  posix_spawnattr_destroy(&attr);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) throw std::runtime_error("cannot start node");
}

BrowserRemote::~BrowserRemote() {
  m_in.reset();
  // The driver closes its browser when its input ends; a stuck one is killed.
  for (int i = 0; i < 100; ++i) {
    if (::waitpid(m_pid, nullptr, WNOHANG) == m_pid) return;
    ::usleep(50'000);
  }
  ::kill(m_pid, SIGKILL);
  ::waitpid(m_pid, nullptr, 0);
}

std::string BrowserRemote::call(std::string_view json, std::chrono::milliseconds timeout) {
  std::string line(json);
  line.push_back('\n');
  for (std::size_t sent = 0; sent < line.size();) {
    const ssize_t n = ::write(m_in.get(), line.data() + sent, line.size() - sent);
    if (n <= 0) return {};
    sent += static_cast<std::size_t>(n);
  }
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    if (const auto end = m_pending.find('\n'); end != std::string::npos) {
      std::string reply = m_pending.substr(0, end);
      m_pending.erase(0, end + 1);
      return reply;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return {};
    pollfd p{m_out.get(), POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
    char buffer[65536];
    const ssize_t n = ::read(m_out.get(), buffer, sizeof buffer);
    if (n <= 0) return {};
    m_pending.append(buffer, static_cast<std::size_t>(n));
  }
}

std::optional<std::string> BrowserRemote::value(std::string_view json, std::string& error,
                                                std::chrono::milliseconds timeout) {
  const std::string reply = call(json, timeout);
  static constexpr std::string_view kOk = "{\"ok\":true,\"value\":";
  if (!reply.starts_with(kOk) || reply.back() != '}') {
    error = reply.empty() ? "no reply to " + std::string(json) : reply;
    return std::nullopt;
  }
  std::string_view raw(reply);
  raw = raw.substr(kOk.size(), raw.size() - kOk.size() - 1);
  if (raw.size() < 2 || raw.front() != '"') return std::string(raw);
  std::string text;
  for (std::size_t i = 1; i + 1 < raw.size(); ++i) {
    if (raw[i] != '\\' || i + 2 >= raw.size()) {
      text.push_back(raw[i]);
      continue;
    }
    const char e = raw[++i];
    if (e == 'n')
      text.push_back('\n');
    else if (e == 't')
      text.push_back('\t');
    else if (e == 'u' && i + 4 < raw.size()) {
      text.push_back(static_cast<char>(std::stoi(std::string(raw.substr(i + 1, 4)), nullptr, 16)));
      i += 4;
    } else
      text.push_back(e);
  }
  return text;
}

std::string jsonString(std::string_view text) {
  std::string out = "\"";
  for (const char c : text) {
    if (c == '"' || c == '\\') out.push_back('\\');
    if (c == '\n') {
      out.append("\\n");
      continue;
    }
    out.push_back(c);
  }
  out.push_back('"');
  return out;
}

}  // namespace tivra::test
