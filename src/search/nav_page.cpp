#include "search/nav_page.h"

#include "platform/log.h"
#include "platform/text.h"
#include "search/kml_loader.h"
#include "search/points.h"

namespace tivra::search {

ScreenCoords pickCoords(int px, int py, const ScreenRect& render) {
  const double width = static_cast<double>(render.right) - render.left;
  const double height = static_cast<double>(render.bottom) - render.top;
  return ScreenCoords{(px + 15.0 - render.left) / width * 2 - 1,
                      1 - (py + 15.0 - render.top) / height * 2};
}

NavPage::NavPage(globe::Earth& earth, platform::Frontend& frontend, NavPageOptions options)
    : m_earth(earth), m_frontend(frontend), m_options(std::move(options)) {}

NavPage::~NavPage() {
  m_flight->closing = 1;
  if (m_flightThread) {
    m_flight->stopFlag.exchange(1);
    m_flightThread->waitEnded(m_options.stopWait);
  }
  *m_alive = nullptr;
}

void NavPage::setSliders(int speed, int height, int angle) {
  m_flight->speed = speed;
  m_flight->height = height;
  m_flight->angle = angle;
}

void NavPage::changed() {
  if (onMembersChanged) onMembersChanged();
}

void NavPage::focusEdit(int controlId) {
  if (controlId >= 1001 && controlId <= 1003) pickMode = controlId - 1000;
}

void NavPage::pressPicker(const ScreenRect& render) {
  if (pickMode == kStart) {
    committedViaText.clear();
    viaText.clear();
    countLabel = "(0)";
  }
  dragging = true;
  m_renderRect = render;
  changed();
}

void NavPage::movePointer(int px, int py, bool overRender) {
  if (dragging) pick(px, py, overRender, false);
}

void NavPage::releasePointer(int px, int py, bool overRender) {
  if (!dragging) return;
  dragging = false;
  pick(px, py, overRender, true);
}

void NavPage::pick(int px, int py, bool overRender, bool final) {
  // An empty view rectangle has no screen coordinates.
  if (!overRender || m_renderRect.right <= m_renderRect.left ||
      m_renderRect.bottom <= m_renderRect.top)
    return;
  const ScreenCoords at = pickCoords(px, py, m_renderRect);
  globe::TerrainPoint point;
  try {
    point = m_earth.GetPointOnTerrainFromScreenCoords(at.x, at.y);
  } catch (const globe::EarthError& e) {
    platform::debugTrace(std::string("globe: pick: ") + e.what());
    return;
  }
  const std::string text = platform::format("%f,%f", point.Longitude, point.Latitude);
  if (pickMode == kStart) {
    startText = text;
  } else if (pickMode == kEnd) {
    endText = text;
  } else {
    viaText = committedViaText.empty() ? text : committedViaText + ";" + text;
    if (final) {
      committedViaText = viaText;
      countLabel = platform::format("(%d)", CountPoints(committedViaText));
    }
  }
  changed();
}

void NavPage::clearVia() {
  committedViaText.clear();
  viaText.clear();
  countLabel = "(0)";
  changed();
}

bool NavPage::navigate() {
  if (m_query || m_flying) return false;
  if (CountPoints(startText) != 1 || CountPoints(viaText) < 0 || CountPoints(endText) != 1)
    return false;
  auto route = std::make_shared<Route>(startText, viaText, endText, m_options.iconBase);
  std::weak_ptr<NavPage*> alive = m_alive;
  const auto onPage = [alive](auto&& run) {
    const auto page = alive.lock();
    if (page && *page != nullptr) run(**page);
  };
  // The query's thread owns the new route until its document reaches this thread.
  auto work = [route, service = m_options.service, onPage]() -> QueryThread::Task {
    std::string kml = WriteRouteKml(*route, service);
    return [route, kml = std::move(kml), onPage] {
      onPage([&](NavPage& page) { page.routeArrived(route, kml); });
    };
  };
  auto failed = [onPage] { onPage([](NavPage& page) { page.queryEnded(); }); };
  m_query = std::make_unique<QueryThread>(std::move(work), std::move(failed), m_options.post);
  navigateText = "取消";
  queryText = kQueryingText;
  flyEnabled = false;
  changed();
  return true;
}

void NavPage::cancelQuery() {
  if (!m_query) return;
  m_query->cancel();
  queryEnded();
}

void NavPage::queryEnded() {
  m_query.reset();
  navigateText = "导航";
  queryText.clear();
  flyEnabled = m_route != nullptr;
  changed();
}

void NavPage::routeArrived(std::shared_ptr<Route> route, const std::string& kml) {
  // A route the service refused loads nothing and keeps the one before; the page says why.
  if (route->failure) {
    const std::string why = "路线查询失败: " + *route->failure;
    queryEnded();
    queryText = why;
    changed();
    return;
  }
  m_route = std::move(route);
  LoadKmlIntoEarth(m_earth, kml, m_options.tempDirectory / kRouteDocumentName, m_frontend,
                   m_options.loadWait);
  queryEnded();
  if (m_route->totals) {
    queryText = tripTotalsText(*m_route->totals);
    changed();
  }
}

void NavPage::flyButton() {
  if (!m_route || m_query) return;
  if (m_flying) {
    stopFlight();
  } else {
    startFlight();
  }
}

void NavPage::startFlight() {
  m_flying = true;
  flyText = "停止";
  navigateEnabled = false;
  m_flight->stopFlag.exchange(0);
  changed();
  std::weak_ptr<NavPage*> alive = m_alive;
  auto post = [alive, post = m_options.post, lock = m_options.stateLock](int message) {
    std::unique_lock<std::mutex> held;
    if (lock != nullptr) held = std::unique_lock(*lock);
    post([alive, message] {
      const auto page = alive.lock();
      if (!page || *page == nullptr) return;
      if (message == kFlightFinishedMessage) {
        (*page)->onFlightFinished();
      } else if ((*page)->onReadControls) {
        (*page)->onReadControls();
      }
    });
  };
  m_flightThread = std::make_unique<FlightThread>(
      m_options.earthFactory, m_route->legs.value_or(std::vector<RouteLeg>{}), m_flight,
      std::move(post), m_options.flightTiming);
}

void NavPage::stopFlight() {
  if (!m_flightThread) return;
  m_flight->stopFlag.exchange(1);
  m_flightThread->waitEnded(m_options.stopWait);
}

void NavPage::onFlightFinished() {
  m_flying = false;
  flyText = "鸟瞰";
  navigateEnabled = true;
  m_flightThread.reset();
  changed();
}

}  // namespace tivra::search
