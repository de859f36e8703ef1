// A closed-loop load generator for one-request-per-connection servers: each thread connects,
// sends one GET, reads until the server closes, checks the answer and starts again. Unlike wrk it
// accepts answers without a status line (the bare KML documents), and it checks every answer.
//   conn_load PORT PATH SECONDS THREADS EXPECTED_BODY_FILE
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "platform/socket.h"

int main(int argc, char** argv) {
  if (argc != 6) {
    std::fprintf(stderr, "usage: %s PORT PATH SECONDS THREADS EXPECTED_BODY_FILE\n", argv[0]);
    return 2;
  }
  const auto port = static_cast<std::uint16_t>(std::atoi(argv[1]));
  const std::string request =
      std::string("GET ") + argv[2] + " HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n\r\n";
  const auto duration = std::chrono::seconds(std::atoi(argv[3]));
  const int threads = std::atoi(argv[4]);
  std::ifstream in(argv[5], std::ios::binary);
  const std::string expected((std::istreambuf_iterator<char>(in)),
                             std::istreambuf_iterator<char>());

  std::atomic<long> done{0}, failed{0};
  std::atomic<bool> stop{false};
  std::vector<std::thread> workers;
  for (int t = 0; t < threads; ++t)
    workers.emplace_back([&] {
      char buffer[65536];
      std::string answer;
      while (!stop.load(std::memory_order_relaxed)) {
        tivra::platform::UniqueFd fd = tivra::platform::connectLoopback(port);
        if (!fd || !tivra::platform::sendAll(fd.get(), request)) {
          ++failed;
          continue;
        }
        answer.clear();
        for (;;) {
          const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
          if (n <= 0) break;
          answer.append(buffer, static_cast<std::size_t>(n));
        }
        // The body is the answer's tail: bare answers are the body itself.
        const bool ok =
            answer.size() >= expected.size() &&
            answer.compare(answer.size() - expected.size(), expected.size(), expected) == 0;
        ++(ok ? done : failed);
      }
    });
  const auto start = std::chrono::steady_clock::now();
  std::this_thread::sleep_for(duration);
  stop = true;
  for (auto& w : workers) w.join();
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("%.0f requests/s (%ld answers, %ld failures, %.1f s)\n", done / seconds, done.load(),
              failed.load(), seconds);
  return failed.load() == 0 ? 0 : 1;
}
