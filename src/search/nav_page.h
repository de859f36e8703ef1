#pragma once

// What the navigation page does, without its widgets: point picking on the globe's view, the
// via count, navigate, and starting and stopping the flight.
//
// Threads: every method runs on the page's thread. The flight thread and the route query reach
// the page only through the post function handed in, whose tasks run on the page's thread.

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "globe/earth.h"
#include "platform/frontend.h"
#include "search/flight.h"
#include "search/query_thread.h"
#include "search/route_kml.h"

namespace tivra::search {

// A rectangle in screen pixels.
struct ScreenRect {
  int left = 0;
  int top = 0;
  int right = 0;
  int bottom = 0;
};

// The globe's screen coordinates (-1..1) of a place 15 pixels right of and below (px, py).
struct ScreenCoords {
  double x = 0.0;
  double y = 0.0;
};
ScreenCoords pickCoords(int px, int py, const ScreenRect& render);

struct NavPageOptions {
  globe::EarthFactory earthFactory;  // a globe handle for the flight thread
  RouteService service;
  std::string iconBase;
  std::filesystem::path tempDirectory;
  // Runs a task on the page's thread (the page's message queue); callable from any thread.
  std::function<void(std::function<void()>)> post;
  std::mutex* stateLock = nullptr;  // `StateLock`, held while the flight posts
  FlightTiming flightTiming{};
  std::chrono::milliseconds loadWait{300};
  std::chrono::milliseconds stopWait{3000};
};

class NavPage {
 public:
  enum PickMode { kStart = 1, kVia = 2, kEnd = 3 };

  NavPage(globe::Earth& earth, platform::Frontend& frontend, NavPageOptions options);
  // Closing: stops a running flight (waiting at most stopWait) without its 1228 reaching us.
  ~NavPage();
  NavPage(const NavPage&) = delete;
  NavPage& operator=(const NavPage&) = delete;

  // The members bound to the controls.
  std::string startText, viaText, endText;
  std::string committedViaText;
  int pickMode = kStart;
  bool dragging = false;
  std::string countLabel = "(0)";
  std::string flyText = "鸟瞰";
  bool flyEnabled = false;
  std::string navigateText = "导航";  // "取消" while the route is queried
  bool navigateEnabled = true;
  // kQueryingText while the route is queried; then the trip's totals, or why the service gave
  // no route, when a service of today answered.
  std::string queryText;
  const FlightState& flight() const { return *m_flight; }
  // The sliders; the flight reads them while it runs.
  void setSliders(int speed, int height, int angle);

  // Called for the page's "write the members into the controls" and for message 1229 (the UI
  // reads its sliders through setSliders).
  std::function<void()> onMembersChanged;
  std::function<void()> onReadControls;

  // Edit box 1001, 1002 or 1003 got the focus.
  void focusEdit(int controlId);
  // A left press on the picker starts a pick drag over the globe's view at render.
  void pressPicker(const ScreenRect& render);
  // The pointer moved (live pick) or was released (final pick) at (px, py); overRender tells
  // whether the globe's view is the window under it.
  void movePointer(int px, int py, bool overRender);
  void releasePointer(int px, int py, bool overRender);
  // Button 1023.
  void clearVia();
  // Button 1009: false when the points are incomplete and nothing happened. Otherwise the legs
  // are queried off this thread; once they have come, the document goes to the globe here and
  // the fly button is enabled. The previous route stays until then.
  bool navigate();
  // Button 1009 during the query: drops it; the page is idle again at once.
  void cancelQuery();
  bool querying() const { return m_query != nullptr; }
  // Button 1010: StartFlight or StopFlight.
  void flyButton();
  bool flying() const { return m_flying; }
  const Route* route() const { return m_route.get(); }

 private:
  void pick(int px, int py, bool overRender, bool final);
  void queryEnded();
  void routeArrived(std::shared_ptr<Route> route, const std::string& kml);
  void changed();
  void onFlightFinished();
  void startFlight();
  void stopFlight();

  globe::Earth& m_earth;
  platform::Frontend& m_frontend;
  NavPageOptions m_options;
  ScreenRect m_renderRect;
  std::shared_ptr<const Route> m_route;
  std::unique_ptr<QueryThread> m_query;
  std::shared_ptr<FlightState> m_flight = std::make_shared<FlightState>();
  std::unique_ptr<FlightThread> m_flightThread;
  bool m_flying = false;
  // Tasks posted by a flight check this before touching the page, which may be gone by then.
  std::shared_ptr<NavPage*> m_alive = std::make_shared<NavPage*>(this);
};

}  // namespace tivra::search
