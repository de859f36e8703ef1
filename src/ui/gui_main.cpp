#include "ui/gui_main.h"

#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <QApplication>
#include <QIcon>
#include <QPainter>
#include <QScreen>
#include <QTabWidget>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <memory>

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
#include "ui/search_page.h"
#include "web/browser_globe.h"

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

// The window and the globe view side by side, as one picture.
QImage composeSnapshot(QWidget& frame, QWidget& view) {
  const QPixmap left = frame.grab();
  const QPixmap right = view.grab();
  QImage canvas(left.width() + right.width(), std::max(left.height(), right.height()),
                QImage::Format_RGB32);
  canvas.fill(QColor(240, 240, 240));
  QPainter p(&canvas);
  p.drawPixmap(0, 0, left);
  p.drawPixmap(left.width(), 0, right);
  return canvas;
}

std::int64_t epochMillis() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
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
  QApplication app(argc, argv);
  // Qt took the locale from the environment; every number a peer reads keeps its point.
  std::setlocale(LC_NUMERIC, "C");
  QApplication::setApplicationName("Tivra");
  QApplication::setDesktopFileName("tivra");
  QApplication::setWindowIcon(QIcon::fromTheme("tivra"));
  QApplication::setQuitOnLastWindowClosed(false);

  // A snapshot has nobody to answer a message box: its messages go to standard error.
  GuiFrontend guiFrontend;
  platform::HeadlessFrontend lineFrontend;
  platform::Frontend& frontend =
      cl.uiSnapshot ? static_cast<platform::Frontend&>(lineFrontend) : guiFrontend;

  const auto instance = platform::InstanceLock::acquire("Tivra");
  if (instance.outcome == platform::LockOutcome::kHeldByAnother) {
    frontend.messageBox("Tivra已经在运行！", "Tivra");
    return cl.uiSnapshot ? app::kSnapshotFailed : 0;
  }
  if (!instance.lock) {
    // Not another instance: a lock that cannot be taken at all is its own failure.
    std::fprintf(stderr, "tivra: cannot take the single-instance lock %s\n",
                 instance.error.c_str());
    return cl.uiSnapshot ? app::kSnapshotFailed : 2;
  }
  std::string error;
  const auto places = app::findDataPlaces(cl.dataDirectory, error);
  if (!places || !app::makeDataPlaces(*places, error)) {
    std::fprintf(stderr, "tivra: %s\n", error.c_str());
    return 2;
  }
  platform::SignalWatch signals({SIGINT, SIGTERM, SIGHUP});
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

  frame = std::make_unique<MainFrame>(window, frontend);
  guiFrontend.setParentWindow(frame.get());
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
  frame->show();
  frame->place();
  if (view) {
    placeBeside(*view, *frame);
    view->show();
  }

  // Start-up figures for --verbose (the start benchmark reads them): wall-clock milliseconds.
  loop.post([] { platform::debugTrace("ui: window shown at " + std::to_string(epochMillis())); });

  UiSnapshot snapshot;
  bool takeSnapshot = false;
  if (cl.uiSnapshot) {
    snapshot.file = *cl.uiSnapshot;
    QWidget* page = nullptr;
    if (cl.page == "map") page = frame->mapPage();
    if (cl.page == "nav") page = frame->navPage();
    if (cl.page == "search") page = frame->searchPage();
    if (cl.page == "gps") page = frame->gpsPage();
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
  view.reset();
  frame.reset();
  browserGlobe.close();
  window.shutdown();
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
