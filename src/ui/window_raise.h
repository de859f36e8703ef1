#pragma once

// A second start brings the running window forward: the window listens on a local socket of
// this user beside the instance lock, and a later start connects and says "raise".

#include <QLocalServer>
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>

namespace tivra::ui {

// The socket's path for the instance lock at lockPath.
std::filesystem::path raiseSocketPath(const std::filesystem::path& lockPath);

class RaiseListener {
 public:
  // Only the holder of the instance lock listens: a socket file left there is a dead one's.
  RaiseListener(const std::filesystem::path& socket, std::function<void()> onRaise);
  ~RaiseListener();
  RaiseListener(const RaiseListener&) = delete;
  RaiseListener& operator=(const RaiseListener&) = delete;
  bool listening() const { return m_server->isListening(); }

 private:
  void accept();

  std::unique_ptr<QLocalServer> m_server;
  std::function<void()> m_onRaise;
};

// From the second start (any thread, no event loop needed): true once the running window has
// answered within wait.
bool askToRaise(const std::filesystem::path& socket, std::chrono::milliseconds wait);

}  // namespace tivra::ui
