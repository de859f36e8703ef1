#include "ui/qt_loop.h"

#include <poll.h>

#include <QApplication>
#include <QMessageBox>
#include <QSocketNotifier>
#include <QThread>
#include <QTimer>

namespace tivra::ui {

QtEventLoop::QtEventLoop() : m_context(std::make_unique<QObject>()) {}

QtEventLoop::~QtEventLoop() {
  const std::lock_guard lock(m_mutex);
  m_alive = false;
}

void QtEventLoop::post(Task task) {
  const std::lock_guard lock(m_mutex);
  // Late posts (a thread ending after the loop) have nobody to run them.
  if (!m_alive) return;
  // Queued calls to one receiver run in the order posted.
  QMetaObject::invokeMethod(m_context.get(), std::move(task), Qt::QueuedConnection);
}

void QtEventLoop::quit(int code) {
  {
    const std::lock_guard lock(m_mutex);
    if (!m_quitCode) m_quitCode = code;
  }
  post([this] {
    int first = 0;
    {
      const std::lock_guard lock(m_mutex);
      first = m_quitCode.value_or(0);
    }
    QCoreApplication::exit(first);
  });
}

int QtEventLoop::run() {
  {
    // A quit() before this point may have had its exit spent already by a loop of its own (a
    // message box at start-up), and Qt forgets an exit while no loop runs: end here.
    const std::lock_guard lock(m_mutex);
    if (m_quitCode) return *m_quitCode;
  }
  const int code = QApplication::exec();
  const std::lock_guard lock(m_mutex);
  return m_quitCode.value_or(code);
}

platform::EventLoop::TimerId QtEventLoop::addTimer(std::chrono::milliseconds interval, Task task,
                                                   bool repeat) {
  const TimerId id = m_nextId++;
  auto* timer = new QTimer(m_context.get());
  timer->setSingleShot(!repeat);
  timer->setInterval(interval);
  QObject::connect(timer, &QTimer::timeout, m_context.get(),
                   [this, id, repeat, work = std::move(task)] {
                     if (!repeat) cancelTimer(id);
                     // A copy: the task may cancel its own timer.
                     Task run = work;
                     run();
                   });
  m_timers.emplace(id, timer);
  timer->start();
  return id;
}

void QtEventLoop::cancelTimer(TimerId id) {
  const auto it = m_timers.find(id);
  if (it == m_timers.end()) return;
  it->second->stop();
  // Not deleted under its own timeout handler.
  it->second->deleteLater();
  m_timers.erase(it);
}

platform::EventLoop::WatchId QtEventLoop::watchFd(int fd, short events,
                                                  std::function<void(short)> handler) {
  const WatchId id = m_nextId++;
  Watch watch;
  auto shared = std::make_shared<std::function<void(short)>>(std::move(handler));
  const auto make = [&](QSocketNotifier::Type type, short revents) {
    auto* notifier = new QSocketNotifier(static_cast<qintptr>(fd), type, m_context.get());
    QObject::connect(notifier, &QSocketNotifier::activated, m_context.get(),
                     [shared, revents] { (*shared)(revents); });
    return notifier;
  };
  if (events & POLLIN) watch.read = make(QSocketNotifier::Read, POLLIN);
  if (events & POLLOUT) watch.write = make(QSocketNotifier::Write, POLLOUT);
  m_watches.emplace(id, watch);
  return id;
}

void QtEventLoop::unwatchFd(WatchId id) {
  const auto it = m_watches.find(id);
  if (it == m_watches.end()) return;
  for (QSocketNotifier* notifier : {it->second.read, it->second.write}) {
    if (notifier == nullptr) continue;
    notifier->setEnabled(false);
    notifier->deleteLater();
  }
  m_watches.erase(it);
}

void postToGuiThread(std::function<void()> task) {
  if (QCoreApplication* app = QCoreApplication::instance())
    QMetaObject::invokeMethod(app, std::move(task), Qt::QueuedConnection);
}

GuiFrontend::GuiFrontend()
    : m_context(std::make_unique<QObject>()), m_owner(std::make_unique<QWidget>()) {}

GuiFrontend::~GuiFrontend() = default;

void GuiFrontend::messageBox(std::string_view text, std::string_view caption) {
  ask(text, caption, QMessageBox::Information);
}

void GuiFrontend::errorBox(std::string_view text, std::string_view caption) {
  ask(text, caption, QMessageBox::Critical);
}

void GuiFrontend::ask(std::string_view text, std::string_view caption, int icon) {
  const QString qtext = QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
  const QString qcaption =
      QString::fromUtf8(caption.data(), static_cast<qsizetype>(caption.size()));
  const bool guiThread = QThread::currentThread() == m_context->thread();
  if (guiThread && QThread::currentThread()->loopLevel() == 0) {
    QMessageBox box(static_cast<QMessageBox::Icon>(icon), qcaption, qtext, QMessageBox::Ok,
                    m_parent.data());
    box.exec();
    return;
  }
  // Queued even on the GUI thread: a box must not run a nested loop under a handler.
  QMetaObject::invokeMethod(
      m_context.get(), [this, qtext, qcaption, icon] { show(qtext, qcaption, icon); },
      Qt::QueuedConnection);
}

void GuiFrontend::show(const QString& text, const QString& caption, int icon) {
  QWidget* parent = m_parent ? m_parent.data() : m_owner.get();
  auto* box =
      new QMessageBox(static_cast<QMessageBox::Icon>(icon), caption, text, QMessageBox::Ok, parent);
  box->setAttribute(Qt::WA_DeleteOnClose);
  box->setObjectName("tivraMessageBox");
  box->open();
}

}  // namespace tivra::ui
