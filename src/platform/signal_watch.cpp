#include "platform/signal_watch.h"

#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <stdexcept>

namespace tivra::platform {

SignalWatch::SignalWatch(std::initializer_list<int> signals) {
  sigset_t set;
  sigemptyset(&set);
  for (const int sig : signals) sigaddset(&set, sig);
  if (::pthread_sigmask(SIG_BLOCK, &set, nullptr) != 0)
    throw std::runtime_error("cannot block signals");
  m_fd.reset(::signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC));
  if (!m_fd) throw std::runtime_error("signalfd failed");
}

int SignalWatch::take() {
  signalfd_siginfo info{};
  const ssize_t n = ::read(m_fd.get(), &info, sizeof info);
  return n == static_cast<ssize_t>(sizeof info) ? static_cast<int>(info.ssi_signo) : 0;
}

}  // namespace tivra::platform
