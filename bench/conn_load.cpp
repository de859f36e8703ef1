// A closed-loop load generator for one-request-per-connection servers, as light as wrk: one
// thread keeps CONNECTIONS non-blocking connections busy through epoll; each connects, sends one
// GET with "Connection: close", reads until the server closes, checks the answer and starts
// again. Unlike wrk it accepts answers without a status line (the bare KML documents), and it
// checks every answer's bytes: the whole answer is the expected body, or a "200" status line and
// header followed by exactly that body.
// With MAX_ANSWERS it stops after that many answers (a burst).
//   conn_load PORT PATH SECONDS CONNECTIONS EXPECTED_BODY_FILE [MAX_ANSWERS]
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include "platform/unique_fd.h"

namespace {

using tivra::platform::UniqueFd;

struct Connection {
  UniqueFd fd;
  std::size_t sent = 0;
  std::string answer;
};

bool answerMatches(std::string_view answer, std::string_view body) {
  if (answer.size() < body.size() || answer.substr(answer.size() - body.size()) != body)
    return false;
  const std::string_view header = answer.substr(0, answer.size() - body.size());
  if (header.empty()) return true;
  return (header.starts_with("HTTP/1.1 200 ") || header.starts_with("HTTP/1.0 200 ")) &&
         header.ends_with("\r\n\r\n") && header.find("\r\n\r\n") == header.size() - 4;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 6 && argc != 7) {
    std::fprintf(stderr,
                 "usage: %s PORT PATH SECONDS CONNECTIONS EXPECTED_BODY_FILE [MAX_ANSWERS]\n",
                 argv[0]);
    return 2;
  }
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<std::uint16_t>(std::atoi(argv[1])));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const std::string request =
      std::string("GET ") + argv[2] + " HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n\r\n";
  const auto duration = std::chrono::seconds(std::atoi(argv[3]));
  const int count = std::atoi(argv[4]);
  const long maxAnswers = argc == 7 ? std::atol(argv[6]) : -1;
  if (count < 1 || count > 1000) return 2;
  std::ifstream in(argv[5], std::ios::binary);
  const std::string expected((std::istreambuf_iterator<char>(in)),
                             std::istreambuf_iterator<char>());

  UniqueFd epoll(::epoll_create1(EPOLL_CLOEXEC));
  std::vector<Connection> connections(static_cast<std::size_t>(count));
  long done = 0, failed = 0;
  const auto open = [&](std::size_t i) {
    Connection& c = connections[i];
    c.fd = UniqueFd(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    c.sent = 0;
    c.answer.clear();
    if (!c.fd) return false;
    if (::connect(c.fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 &&
        errno != EINPROGRESS)
      return false;
    epoll_event event{};
    event.events = EPOLLOUT | EPOLLIN;
    event.data.u64 = i;
    return ::epoll_ctl(epoll.get(), EPOLL_CTL_ADD, c.fd.get(), &event) == 0;
  };
  for (std::size_t i = 0; i < connections.size(); ++i)
    if (!open(i)) return std::perror("connect"), 1;

  const auto start = std::chrono::steady_clock::now();
  const auto end = start + duration;
  std::vector<epoll_event> events(connections.size());
  char buffer[65536];
  while (std::chrono::steady_clock::now() < end && (maxAnswers < 0 || done < maxAnswers)) {
    const int ready =
        ::epoll_wait(epoll.get(), events.data(), static_cast<int>(events.size()), 100);
    for (int e = 0; e < ready; ++e) {
      const std::size_t i = events[static_cast<std::size_t>(e)].data.u64;
      Connection& c = connections[i];
      bool over = false, ok = false;
      if (c.sent < request.size()) {
        const ssize_t n =
            ::send(c.fd.get(), request.data() + c.sent, request.size() - c.sent, MSG_NOSIGNAL);
        if (n > 0)
          c.sent += static_cast<std::size_t>(n);
        else if (errno != EAGAIN)
          over = true;
        if (!over && c.sent == request.size()) {
          epoll_event event{};
          event.events = EPOLLIN;
          event.data.u64 = i;
          ::epoll_ctl(epoll.get(), EPOLL_CTL_MOD, c.fd.get(), &event);
        }
      } else {
        for (;;) {
          const ssize_t n = ::recv(c.fd.get(), buffer, sizeof buffer, 0);
          if (n > 0) {
            c.answer.append(buffer, static_cast<std::size_t>(n));
            continue;
          }
          if (n < 0 && errno == EAGAIN) break;
          over = true;
          ok = n == 0 && answerMatches(c.answer, expected);
          break;
        }
      }
      if (!over) continue;
      ++(ok ? done : failed);
      c.fd.reset();  // closing removes it from the epoll set
      if (!open(i)) ++failed;
    }
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("%.0f requests/s (%ld answers, %ld failures, %.1f s)\n", done / seconds, done, failed,
              seconds);
  return failed == 0 && done > 0 ? 0 : 1;
}
