#include "globe/link_scheduler.h"

#include <algorithm>

#include "globe/url.h"

namespace tivra::globe {

void LinkScheduler::cameraMoved() {
  m_scene.forEachNode([&](KmlNode& n, int, bool) {
    if (n.kind == FeatureKind::NetworkLink)
      m_scene.state(n).link.viewDue = Clock::time_point::max();
  });
}

void LinkScheduler::cameraStopped(Clock::time_point when) {
  m_scene.forEachNode([&](KmlNode& n, int, bool) {
    if (m_scene.liveLink(n) && n.link->viewRefreshMode == ViewRefreshMode::OnStop) {
      m_scene.state(n).link.viewDue = when + period(n.link->viewRefreshTime);
    }
  });
}

std::vector<LinkFetch> LinkScheduler::takeDue(Clock::time_point now, const ViewGeometry& view) {
  std::vector<LinkFetch> due;
  m_scene.forEachNode([&](KmlNode& n, int, bool visible) {
    if (!m_scene.liveLink(n)) return;
    LinkState& s = m_scene.state(n).link;
    if (s.inFlight) return;
    const bool intervalDue = s.intervalDue <= now;
    if (!(s.initialDue || s.viewDue <= now || intervalDue)) return;
    if (!visible) {
      s.viewDue = Clock::time_point::max();
      if (intervalDue) s.intervalDue = now + period(n.link->refreshInterval);
      return;
    }
    s.initialDue = false;
    s.viewDue = Clock::time_point::max();
    s.intervalDue = Clock::time_point::max();
    s.inFlight = true;
    due.push_back(LinkFetch{m_scene.state(n).serial, linkUrl(*n.link, view)});
  });
  return due;
}

Clock::time_point LinkScheduler::nextDue(Clock::time_point limit) const {
  Clock::time_point next = limit;
  m_scene.forEachNode([&](KmlNode& n, int, bool) {
    if (!m_scene.liveLink(n)) return;
    const LinkState& s = m_scene.state(n).link;
    if (!s.inFlight) next = std::min({next, s.viewDue, s.intervalDue});
  });
  return next;
}

bool LinkScheduler::pending() const {
  bool pending = false;
  m_scene.forEachNode([&](KmlNode& n, int, bool visible) {
    if (!visible || !m_scene.liveLink(n)) return false;
    const LinkState& s = m_scene.state(n).link;
    pending = s.initialDue || s.inFlight || s.viewDue != Clock::time_point::max();
    return pending;
  });
  return pending;
}

void LinkScheduler::fetched(KmlNode& link, std::string_view url, Clock::time_point now) {
  LinkState& s = m_scene.state(link).link;
  s.inFlight = false;
  s.lastUrl = url;
  if (link.link->refreshMode == RefreshMode::OnInterval) {
    s.intervalDue = now + period(link.link->refreshInterval);
  }
}

std::string LinkScheduler::linkUrl(const LinkData& link, const ViewGeometry& view) {
  std::string url = link.href;
  std::optional<std::string> format = link.viewFormat;
  if (!format && link.viewRefreshMode == ViewRefreshMode::OnStop) {
    format = "BBOX=[bboxWest],[bboxSouth],[bboxEast],[bboxNorth]";
  }
  if (format && !format->empty()) url = appendQuery(url, fillViewFormat(*format, view));
  if (!link.httpQuery.empty()) url = appendQuery(url, link.httpQuery);
  return url;
}

Clock::duration LinkScheduler::period(double seconds) const {
  return std::max<Clock::duration>(secondsToDuration(seconds), m_minPeriod);
}

}  // namespace tivra::globe
