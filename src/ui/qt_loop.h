#pragma once

// The core's event loop on Qt's: posted work as queued calls, timers as QTimers, descriptor
// watches as QSocketNotifiers, so the core runs unchanged under the window. Also the GUI's
// Frontend: message boxes shown on the GUI thread whichever thread asks, never blocking it.

#include <QObject>
#include <QPointer>
#include <QWidget>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>

#include "platform/event_loop.h"
#include "platform/frontend.h"

class QSocketNotifier;
class QTimer;

namespace tivra::ui {

// Created and used on the GUI thread after the QApplication; post() and quit() from any thread.
class QtEventLoop final : public platform::EventLoop {
 public:
  QtEventLoop();
  ~QtEventLoop() override;
  QtEventLoop(const QtEventLoop&) = delete;
  QtEventLoop& operator=(const QtEventLoop&) = delete;

  void post(Task task) override;
  void quit(int code) override;
  TimerId addTimer(std::chrono::milliseconds interval, Task task, bool repeat) override;
  void cancelTimer(TimerId id) override;
  WatchId watchFd(int fd, short events, std::function<void(short revents)> handler) override;
  void unwatchFd(WatchId id) override;

  // Runs the application's event loop until quit(); returns the first quit code.
  int run();

 private:
  struct Watch {
    QSocketNotifier* read = nullptr;  // children of m_context
    QSocketNotifier* write = nullptr;
  };

  std::unique_ptr<QObject> m_context;  // receives the posted calls; parent of timers, notifiers
  std::mutex m_mutex;                  // guards m_alive, m_quitCode against other threads
  bool m_alive = true;
  std::optional<int> m_quitCode;

  // GUI thread only.
  std::uint64_t m_nextId = 1;
  std::map<TimerId, QTimer*> m_timers;
  std::map<WatchId, Watch> m_watches;
};

// Runs task on the GUI thread's event loop; callable from any thread while the application lives.
void postToGuiThread(std::function<void()> task);

// Created on the GUI thread after the QApplication. Message boxes of the running GUI: shown without
// blocking whoever asks (connection threads included); on the GUI thread before the event loop runs
// (start-up failures) they wait for the user, as there is nothing else to do.
class GuiFrontend final : public platform::Frontend {
 public:
  GuiFrontend();
  ~GuiFrontend() override;
  void messageBox(std::string_view text, std::string_view caption) override;
  void errorBox(std::string_view text, std::string_view caption) override;
  // Boxes open over this window once it exists.
  void setParentWindow(QWidget* window) { m_parent = window; }

 private:
  void ask(std::string_view text, std::string_view caption, int icon);
  void show(const QString& text, const QString& caption, int icon);

  std::unique_ptr<QObject> m_context;  // lives on the GUI thread; receives the queued boxes
  std::unique_ptr<QWidget> m_owner;    // owns the boxes shown before there is a window
  QPointer<QWidget> m_parent;          // GUI thread only
};

}  // namespace tivra::ui
