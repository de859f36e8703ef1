#pragma once

// The globe page driven as an Earth. The program cannot wait for a page's answer on the main
// thread (the main thread accepts the connections that would bring it), so the page reports
// its state on its own (camera, view geometry, online state, version) and the program's calls
// read that report; what the program asks the page to do travels as commands on the page's
// long poll, which the server holds open until a command comes.
//
// Pages: the first page alive drives (its reports count), later ones watch and follow its
// camera. A page that has not polled for a while, or said goodbye, is gone; with no page the
// globe is "not running" and every call that needs it throws EarthError.

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "globe/earth.h"

namespace tivra::web {

namespace detail {
class PageHub;
}

struct BrowserGlobeOptions {
  // A poll is answered empty after this long without a command.
  std::chrono::milliseconds pollHold{10'000};
  // A page that has not polled for this long after its last poll ended is gone (one that closes
  // says goodbye at once).
  std::chrono::milliseconds pageGone{10'000};
  // A camera move at autopilot speed s takes flightBase / s, at most maxFlight; s >= 5 jumps.
  std::chrono::milliseconds flightBase{1000};
  std::chrono::milliseconds maxFlight{5000};
  std::size_t maxDocumentBytes = 16u << 20;
  std::size_t maxDocuments = 64;
  std::size_t maxPages = 16;
  std::size_t maxQueuedCommands = 512;
  // The library's version, reported until a page tells its own.
  int versionMajor = 1;
  int versionMinor = 145;
  int versionBuild = 0;
};

// A pick on the driving page in its pick mode: a press, moves and a release of the pointer at
// (x, y) pixels of a view width x height.
struct PagePick {
  enum class Phase { Press, Move, Release };
  Phase phase = Phase::Press;
  int x = 0;
  int y = 0;
  int width = 0;
  int height = 0;
};

class BrowserGlobe {
 public:
  explicit BrowserGlobe(BrowserGlobeOptions options = {});
  ~BrowserGlobe();
  BrowserGlobe(const BrowserGlobe&) = delete;
  BrowserGlobe& operator=(const BrowserGlobe&) = delete;

  // A handle for the calling thread; handles may outlive this object and then throw.
  std::unique_ptr<globe::Earth> connect();
  globe::EarthFactory factory();
  // The document the page opens by itself; its names are features too.
  void setEntryDocument(std::string text);
  // Where the driving page's picks go (on a connection thread); empty: nowhere.
  void setPickHandler(std::function<void(const PagePick&)> handler);

  // The page's requests below /globe/api/ (target without that prefix): "poll", "state",
  // "bye", "doc". Runs on connection threads; a poll blocks until a command or the hold ends.
  void handleApi(std::string_view method, std::string_view target, std::string& out);

  // Shutdown: every poll is answered at once and later ones too, so no connection thread
  // waits on a page. The last reports stay readable (the camera is saved at shutdown).
  void close();

  // True while a page drives.
  bool attached() const;
  bool waitAttached(std::chrono::milliseconds timeout) const;

 private:
  std::shared_ptr<detail::PageHub> m_hub;
};

}  // namespace tivra::web
