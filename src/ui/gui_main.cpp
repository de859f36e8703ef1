#include "ui/gui_main.h"

#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <QApplication>
#include <QIcon>
#include <QPainter>
#include <QPixmap>
#include <QScreen>
#include <QTabWidget>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <span>

#include "app/data_places.h"
#include "app/globe_wiring.h"
#include "app/main_window.h"
#include "app/snapshot.h"
#include "globe/sim_globe.h"
#include "platform/instance_lock.h"
#include "platform/log.h"
#include "platform/signal_watch.h"
#include "search/query_thread.h"
#include "ui/globe_view.h"
#include "ui/gps_page.h"
#include "ui/main_frame.h"
#include "ui/map_page.h"
#include "ui/nav_page.h"
#include "ui/qt_loop.h"
#include "ui/qt_translations.h"
#include "ui/search_page.h"
#include "ui/window_raise.h"
#include "web/browser_globe.h"

namespace tivra::platform::detail {
extern const std::span<const std::uint8_t> kResource_tivra_png;
}

namespace tivra::ui {

namespace {

bool envSet(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != '\0';
}

// Beside the main window: to its right when the screen has room, else to its left.
void placeBeside(QWidget& view, const QWidget& frame) {
  const QRect f = frame.frameGeometry();
  const QScreen* screen = frame.screen();
  const int screenRight = screen != nullptr ? screen->geometry().right() : f.right();
  int left = f.right() + 8;
  if (left + view.width() > screenRight && f.left() - 8 - view.width() >= 0)
    left = f.left() - 8 - view.width();
  view.move(left, f.top());
}

// The window and the globe view side by side, as one picture at the screen's device pixel ratio.
QImage composeSnapshot(QWidget& frame, QWidget& view) {
  const QPixmap left = frame.grab();
  const QPixmap right = view.grab();
  const QSize l = left.deviceIndependentSize().toSize();
  const QSize r = right.deviceIndependentSize().toSize();
  const qreal ratio = std::max(left.devicePixelRatio(), right.devicePixelRatio());
  QImage canvas(QSize(l.width() + r.width(), std::max(l.height(), r.height())) * ratio,
                QImage::Format_RGB32);
  canvas.setDevicePixelRatio(ratio);
  canvas.fill(QColor(240, 240, 240));
  QPainter p(&canvas);
  p.drawPixmap(0, 0, left);
  p.drawPixmap(l.width(), 0, right);
  return canvas;
}

std::int64_t epochMillis() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

// The theme's icon when the program is installed, else the one compiled in.
QIcon programIcon() {
  const std::span<const std::uint8_t> bytes = platform::detail::kResource_tivra_png;
  QPixmap builtIn;
  builtIn.loadFromData(bytes.data(), static_cast<uint>(bytes.size()), "PNG");
  return QIcon::fromTheme("tivra", QIcon(builtIn));
}

struct UiSnapshot {
  std::filesystem::path file;
  int code = app::kSnapshotFailed;
  std::string reason = "interrupted before the snapshot was written";
};

}  // namespace

bool displayAvailable() {
  return envSet("DISPLAY") || envSet("WAYLAND_DISPLAY") || envSet("QT_QPA_PLATFORM");
}

int runGui(const app::CommandLine& cl, int argc, char** argv) {
  if (!displayAvailable()) {
    std::fputs(
        "tivra: no display (DISPLAY and WAYLAND_DISPLAY are unset); use --headless to run "
        "the map server without a window\n",
        stderr);
    return 2;
  }
  if (cl.snapshot) {
    std::fputs("tivra: --snapshot runs with --headless; --ui-snapshot draws the window\n", stderr);
    return 2;
  }
  platform::setDebugLog(cl.verbose);
  // Blocked before Qt starts its threads (xcb reads events on one), so that no thread of ours
  // takes a stop signal's default action and the window's loop ends in order.
  platform::SignalWatch signals({SIGINT, SIGTERM, SIGHUP});
  QApplication app(argc, argv);
  // Qt took the locale from the environment; every number a peer reads keeps its point.
  std::setlocale(LC_NUMERIC, "C");
  QApplication::setApplicationName("Tivra");
  QApplication::setDesktopFileName("tivra");
  QApplication::setWindowIcon(programIcon());
  const ChineseQtTexts qtTexts;
  QApplication::setQuitOnLastWindowClosed(false);

  // A snapshot has nobody to answer a message box: its messages go to standard error.
  GuiFrontend guiFrontend;
  platform::HeadlessFrontend lineFrontend;
  platform::Frontend& frontend =
      cl.uiSnapshot ? static_cast<platform::Frontend&>(lineFrontend) : guiFrontend;

  // A failure before the window: said on standard error, and in a box where someone sees it.
  const auto startFailed = [&](const std::string& line, const std::string& box) {
    std::fprintf(stderr, "tivra: %s\n", line.c_str());
    if (!cl.uiSnapshot) guiFrontend.errorBox(box, "Tivra");
  };
  const std::filesystem::path raiseSocket =
      raiseSocketPath(platform::InstanceLock::lockPath("Tivra"));
  const auto instance = platform::InstanceLock::acquire("Tivra");
  if (instance.outcome == platform::LockOutcome::kHeldByAnother) {
    // The running window comes forward; the box only when it does not answer.
    if (!cl.uiSnapshot && askToRaise(raiseSocket, std::chrono::milliseconds(2000))) return 0;
    frontend.messageBox("Tivra已经在运行！", "Tivra");
    return cl.uiSnapshot ? app::kSnapshotFailed : 0;
  }
  if (!instance.lock) {
    // Not another instance: a lock that cannot be taken at all is its own failure.
    startFailed("cannot take the single-instance lock " + instance.error,
                "无法创建单实例锁 " + instance.error);
    return cl.uiSnapshot ? app::kSnapshotFailed : 2;
  }
  std::string error;
  const auto places = app::findDataPlaces(cl.dataDirectory, error);
  if (!places || !app::makeDataPlaces(*places, error)) {
    startFailed(error, "无法使用数据目录：" + error);
    return 2;
  }
  ::signal(SIGPIPE, SIG_IGN);

  QtEventLoop loop;
  app::BuiltInGlobe builtInGlobe;
  web::BrowserGlobe browserGlobe;
  std::unique_ptr<MainFrame> frame;
  app::MainWindowOptions options;
  options.dataDirectory = places->storeDirectory;
  options.settingsFile = places->settingsFile;
  options.useEarth = cl.useEarth;
  options.earthFactory = cl.webGlobe ? browserGlobe.factory() : builtInGlobe.factory();
  if (cl.webGlobe) options.browserGlobe = &browserGlobe;
  // A snapshot shows what its command line asks for, and changes nothing for the next run.
  options.rememberChoices = !cl.uiSnapshot;
  // The window shows during the wait after the entry document is handed to the globe.
  options.earthWaits.afterOpenByTimer = true;
  options.mapPageRefresh = [&frame] {
    if (frame && frame->mapPage()->isVisible()) frame->mapPage()->refresh();
  };
  app::MainWindow window(loop, frontend, options);
  if (const auto failed = window.initialise()) {
    window.shutdown();
    builtInGlobe.release();
    return *failed;
  }
  loop.watchFd(signals.fd(), POLLIN, [&](short) {
    if (signals.take() != 0) loop.quit(0);
  });
  if (cl.record) {
    if (!window.gpsPage().startRecording(*cl.record, error)) {
      std::fprintf(stderr, "tivra: %s\n", error.c_str());
      window.shutdown();
      builtInGlobe.release();
      return 2;
    }
  }

  frame = std::make_unique<MainFrame>(window, frontend);
  guiFrontend.setParentWindow(frame.get());
  std::optional<RaiseListener> raiser;
  if (!cl.uiSnapshot)
    raiser.emplace(raiseSocket, [&frame] {
      if (frame) frame->bringForward();
    });
  frame->setCloseHandler([&] {
    // Held polls of the page end first, so the connection threads can.
    browserGlobe.close();
    window.close();
    loop.quit(0);
  });
  if (cl.webGlobe) {
    const std::string url = app::globePageUrl(window.listeningPort());
    std::printf("Open %s in a browser\n", url.c_str());
    std::fflush(stdout);
    frame->addBrowserButton(QString::fromStdString(url));
  }
  std::unique_ptr<GlobeView> view;
  globe::SimGlobe* globe = builtInGlobe.globe();
  if (globe != nullptr && window.earth() != nullptr)
    view = std::make_unique<GlobeView>(*globe, *window.earth());
  // Placed before it is shown, so that the window manager maps it where the program asks.
  frame->place();
  frame->show();
  if (view) {
    placeBeside(*view, *frame);
    view->show();
    frame->addRenderViewAction(view.get());
  }

  // Start-up figures for --verbose (the start benchmark reads them): wall-clock milliseconds.
  loop.post([] { platform::debugTrace("ui: window shown at " + std::to_string(epochMillis())); });

  UiSnapshot snapshot;
  bool takeSnapshot = false;
  if (cl.uiSnapshot) {
    snapshot.file = *cl.uiSnapshot;
    QWidget* page = frame->page(cl.page);
    if (page == nullptr) {
      snapshot.reason = "the page " + cl.page + " is not in this window";
      loop.quit(app::kSnapshotFailed);
    } else if (!view) {
      snapshot.reason = "the globe is not running";
      loop.quit(app::kSnapshotFailed);
    } else {
      frame->tabs()->setCurrentWidget(page);
      takeSnapshot = true;
    }
  }
  // The globe view's first full view: the start view's overlay and every image of it fetched or
  // failed, within a bound.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  bool firstViewDone = !view;
  platform::EventLoop::TimerId firstView = 0;
  const auto onFirstView = [&] {
    if (firstViewDone) return;
    // The entry view's flight starts when the wait after the entry document has passed.
    if (window.entryViewPending() || !globe->waitIdle(std::chrono::milliseconds(0))) {
      if (std::chrono::steady_clock::now() < deadline) return;
      firstViewDone = true;
      loop.cancelTimer(firstView);
      snapshot.reason = "the globe's view was not complete within 60 s";
      if (cl.uiSnapshot) loop.quit(app::kSnapshotFailed);
      return;
    }
    firstViewDone = true;
    loop.cancelTimer(firstView);
    view->redraw(true);
    platform::debugTrace("ui: globe view complete at " + std::to_string(epochMillis()));
    if (!takeSnapshot) return;
    const QImage picture = composeSnapshot(*frame, *view);
    if (!picture.save(QString::fromStdString(snapshot.file.string()), "PNG")) {
      snapshot.reason = "cannot write " + snapshot.file.string();
      loop.quit(app::kSnapshotFailed);
      return;
    }
    snapshot.code = 0;
    window.close();
    loop.quit(0);
  };
  if (view) firstView = loop.addTimer(std::chrono::milliseconds(50), onFirstView, true);

  int code = loop.run();
  if (cl.uiSnapshot) {
    if (snapshot.code != 0) {
      std::fprintf(stderr, "tivra: %s\n", snapshot.reason.c_str());
      code = app::kSnapshotFailed;
    }
  }
  // The view holds the window's globe handle; the pages, the window.
  raiser.reset();
  view.reset();
  frame.reset();
  guiFrontend.setParentWindow(nullptr);
  browserGlobe.close();
  window.shutdown();
  if (!window.settingsNotSaved().empty() && !cl.uiSnapshot)
    guiFrontend.errorBox(std::string("设置未能保存（") + app::kSettingsFile +
                             " 保持原来的内容）：" + window.settingsNotSaved(),
                         "Tivra");
  app::exitIfConnectionsStuck(code);
  // A search or route query still downloading (cancelled or not) reads the window's location
  // map when its download ends: the process ends before the window goes.
  if (search::QueryThread::liveCount() > 0) {
    std::fflush(nullptr);
    ::_exit(code);
  }
  builtInGlobe.release();
  return code;
}

}  // namespace tivra::ui
