#pragma once

// Which network links are due: once when loaded, after each camera stop for view-based links
// (after their view refresh time), and on their interval. Works on the scene's link state;
// not thread-safe: the globe calls it under its lock.

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "globe/scene.h"

namespace tivra::globe {

struct LinkFetch {
  std::uint64_t serial = 0;  // the link's node
  std::string url;
};

class LinkScheduler {
 public:
  // Refresh intervals and view refresh times read from documents are at least minPeriod.
  LinkScheduler(Scene& scene, std::chrono::milliseconds minPeriod)
      : m_scene(scene), m_minPeriod(minPeriod) {}

  // The camera started moving: view-based links wait for the next stop.
  void cameraMoved();
  // The camera stopped at `when`: view-based links fall due their refresh time later.
  void cameraStopped(Clock::time_point when);

  // The visible links due at `now`, marked in flight. Hidden links that fall due are not
  // fetched; their interval keeps its rhythm.
  std::vector<LinkFetch> takeDue(Clock::time_point now, const ViewGeometry& view);
  // The earliest time a link falls due, or `limit` when that is sooner.
  Clock::time_point nextDue(Clock::time_point limit) const;
  // A visible link waits for its first fetch, a camera stop or its fetch to end.
  bool pending() const;

  // A link's fetch of `url` has ended; an interval link falls due again after its interval.
  void fetched(KmlNode& link, std::string_view url, Clock::time_point now);

  // The URL of a link seen from the view: its href with the view format and HTTP query.
  static std::string linkUrl(const LinkData& link, const ViewGeometry& view);

 private:
  Clock::duration period(double seconds) const;

  Scene& m_scene;
  const std::chrono::milliseconds m_minPeriod;
};

}  // namespace tivra::globe
