// tivra: the map server beside the globe, with its window or (--headless) with message boxes
// as lines on stderr.
// With --snapshot it draws the globe's view into a PNG file and ends.
#include <malloc.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <exception>
#include <filesystem>
#include <span>
#include <string>

#include "app/command_line.h"
#include "app/data_places.h"
#include "app/globe_wiring.h"
#include "app/main_window.h"
#include "app/search_command.h"
#include "app/snapshot.h"
#include "platform/frontend.h"
#include "platform/instance_lock.h"
#include "platform/log.h"
#include "platform/message_loop.h"
#include "platform/signal_watch.h"
#include "ui/gui_main.h"
#include "web/browser_globe.h"

using namespace tivra;

namespace {
// An exception escaped the main loop (EX_SOFTWARE).
constexpr int kUnexpectedFailure = 70;
}  // namespace

int main(int argc, char** argv) {
#ifdef __GLIBC__
  // Large blocks (tile answers of a burst, downloads) each get a mapping of their own that goes
  // back to the system when freed; the adaptive threshold would move them into the heaps for
  // good after the first one is freed.
  mallopt(M_MMAP_THRESHOLD, 256 * 1024);
#endif
  const std::span<const char* const> args(argv, argc);
  if (app::isSearchCommand(args)) return app::runSearchCommand(args, stdout, stderr);
  std::string error;
  const auto cl = app::parseCommandLine(std::span<const char* const>(argv, argc), error);
  if (!cl) {
    std::fprintf(stderr, "tivra: %s\n%s", error.c_str(), app::usageText().c_str());
    return 2;
  }
  if (cl->help) {
    std::fputs(app::usageText().c_str(), stdout);
    return 0;
  }
  if (cl->version) {
    std::fputs(app::versionText().c_str(), stdout);
    return 0;
  }
  if (!cl->headless) return ui::runGui(*cl, argc, argv);
  platform::setDebugLog(cl->verbose);
  platform::HeadlessFrontend frontend;

  const auto instance = platform::InstanceLock::acquire("Tivra");
  if (instance.outcome == platform::LockOutcome::kHeldByAnother) {
    frontend.messageBox("Tivra已经在运行！", "Tivra");
    // A snapshot that was not taken is not a success.
    return cl->snapshot ? app::kSnapshotFailed : 0;
  }
  if (!instance.lock) {
    // Not another instance: a lock that cannot be taken at all is its own failure.
    std::fprintf(stderr, "tivra: cannot take the single-instance lock %s\n",
                 instance.error.c_str());
    return cl->snapshot ? app::kSnapshotFailed : 2;
  }

  const auto places = app::findDataPlaces(cl->dataDirectory, error);
  if (!places || !app::makeDataPlaces(*places, error)) {
    std::fprintf(stderr, "tivra: %s\n", error.c_str());
    return 2;
  }

  // Before any thread starts, so that every thread inherits the blocked signals.
  platform::SignalWatch signals({SIGINT, SIGTERM, SIGHUP});
  ::signal(SIGPIPE, SIG_IGN);

  platform::MessageLoop loop;
  // Outlives the window, which holds a handle to it until shutdown.
  app::BuiltInGlobe builtInGlobe;
  web::BrowserGlobe browserGlobe;
  app::MainWindowOptions options;
  options.dataDirectory = places->storeDirectory;
  options.settingsFile = places->settingsFile;
  options.useEarth = cl->useEarth;
  options.earthFactory = cl->webGlobe ? browserGlobe.factory() : builtInGlobe.factory();
  if (cl->webGlobe) options.browserGlobe = &browserGlobe;
  if (cl->gps) {
    options.gpsStatus = [](std::string_view text) {
      std::fprintf(stderr, "GPS: %.*s\n", static_cast<int>(text.size()), text.data());
    };
  }
  int code = 0;
  {
    app::MainWindow window(loop, frontend, options);
    if (const auto failed = window.initialise()) {
      window.shutdown();
      builtInGlobe.release();
      return *failed;
    }
    loop.watchFd(signals.fd(), POLLIN, [&](short) {
      if (signals.take() != 0) loop.quit(0);
    });
    if (cl->record) {
      std::string recordError;
      if (!window.gpsPage().startRecording(*cl->record, recordError)) {
        std::fprintf(stderr, "tivra: %s\n", recordError.c_str());
        window.shutdown();
        builtInGlobe.release();
        return 2;
      }
    }
    platform::debugTrace("tivra: listening on port " + std::to_string(window.listeningPort()));
    if (cl->webGlobe) {
      std::printf("Open %s in a browser\n", app::globePageUrl(window.listeningPort()).c_str());
      std::fflush(stdout);
    }
    if (cl->gps) {
      window.gpsPage().settings() = *cl->gps;
      window.gpsPage().start();
    }
    bool snapshotDone = false;
    if (cl->snapshot) {
      app::SnapshotRequest request;
      request.file = *cl->snapshot;
      request.camera = app::snapshotCamera(window.settings(), cl->lookAt);
      app::startSnapshot(builtInGlobe.globe(), window.earth(), loop, std::move(request),
                         [&](int result, const std::string& message) {
                           if (result != 0) std::fprintf(stderr, "tivra: %s\n", message.c_str());
                           snapshotDone = true;
                           loop.quit(result);
                         });
    }
    try {
      code = loop.run();
    } catch (const std::exception& e) {
      // The steps of an orderly shutdown still run: settings written, store closed.
      std::fprintf(stderr, "tivra: unexpected failure: %s\n", e.what());
      code = kUnexpectedFailure;
    }
    if (cl->snapshot && !snapshotDone) {
      std::fputs("tivra: interrupted before the snapshot was written\n", stderr);
      code = app::kSnapshotFailed;
    }
    // Held polls of the page end first, so the connection threads can.
    browserGlobe.close();
    window.shutdown();
    app::exitIfConnectionsStuck(code);
    builtInGlobe.release();
  }
  return code;
}
