#pragma once

// The built-in globe: a KML client with a camera, standing in for Google Earth. It loads the
// documents it is given, fetches network links (on load, after each camera stop for view-based
// links, on their interval), applies NetworkLinkControl updates, fetches overlay and icon
// images, and can draw its current view.
//
// Threads: callers reach it through Earth handles from connect(), from any thread. Fetching
// runs on the globe's own worker threads; no globe lock is held while a fetch is in progress,
// so a fetched server may itself call back into the globe.

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "globe/earth.h"
#include "globe/fetcher.h"
#include "globe/globe_deps.h"
#include "globe/globe_view.h"
#include "globe/kml_model.h"

namespace tivra::globe {

namespace detail {
class GlobeCore;
}

struct SimGlobeOptions {
  int viewWidth = 1024;
  int viewHeight = 768;
  double horizFovDeg = 60.0;
  // A flight at autopilot speed s takes flightBase / s, at most maxFlight; s >= 5 is instant.
  std::chrono::milliseconds flightBase{1000};
  std::chrono::milliseconds maxFlight{5000};
  // Floor for refresh intervals and view refresh times read from documents.
  std::chrono::milliseconds minRefreshPeriod{50};
  std::chrono::milliseconds initializeDelay{0};  // IsInitialized is false until then
  Camera initialCamera{35.0, 105.0, 0.0, 1, 5000000.0, 0.0, 0.0};
  double autoPilotSpeed = 1.0;
  int versionMajor = 4;
  int versionMinor = 0;
  int versionBuild = 2416;
  bool online = true;
  int fetchThreads = 2;
  std::size_t maxDocumentBytes = 16u << 20;
  std::size_t maxImagePixels = 4096u * 4096u;
};

struct GlobeStats {
  std::uint64_t fetches = 0;
  std::uint64_t documentsLoaded = 0;
  std::uint64_t documentFailures = 0;
  std::uint64_t updateOpsApplied = 0;
  std::uint64_t updateOpsIgnored = 0;
  std::uint64_t imagesDecoded = 0;
  std::uint64_t imagesFailed = 0;
  std::uint64_t cameraStops = 0;
};

// A copy of one feature's state, for tests and diagnostics.
struct FeatureInfo {
  FeatureKind kind = FeatureKind::Folder;
  std::string name;
  std::string id;
  bool visibility = true;
  int depth = 0;  // 0 for a loaded document's top features
  std::optional<LookAtData> lookAt;
  std::vector<GeoPoint> points;
  std::vector<std::vector<GeoPoint>> lines;
  std::optional<ModelData> model;
  std::string iconHref;
  std::optional<LatLonBoxData> box;
  std::uint32_t color = 0xffffffffu;
  std::optional<std::string> linkHref;
  std::string lastLinkUrl;
  std::size_t childCount = 0;
};

class SimGlobe {
 public:
  explicit SimGlobe(SimGlobeDeps deps, SimGlobeOptions options = {});
  ~SimGlobe();  // stops and joins the workers; fetches are bounded by HttpGet's time-outs
  SimGlobe(const SimGlobe&) = delete;
  SimGlobe& operator=(const SimGlobe&) = delete;

  // A new handle on this globe; handles may outlive the globe and then throw EarthError, as
  // does connect() itself once the globe has stopped.
  std::unique_ptr<Earth> connect();
  // Stops the globe early: every later handle call throws EarthError.
  void stop();

  void setOnline(bool online);

  // True once the camera has settled, no fetch is due or running and every image of the
  // current documents has been fetched or has failed. Interval polls do not count as due.
  bool waitIdle(std::chrono::milliseconds timeout) const;
  // Waits until the camera has stopped `count` times in all.
  bool waitCameraStops(std::uint64_t count, std::chrono::milliseconds timeout) const;
  // Waits until at least `count` fetches (of any kind) have completed.
  bool waitFetches(std::uint64_t count, std::chrono::milliseconds timeout) const;

  ViewGeometry view() const;
  RgbaImage render() const;
  // The picture as PNG through the injected encoder; EarthError without one.
  std::vector<std::uint8_t> renderPng() const;

  GlobeStats stats() const;
  std::vector<FetchRecord> fetchLog() const;  // oldest first, the last kFetchLogSize only
  std::vector<FeatureInfo> features() const;  // pre-order over all loaded documents
  std::optional<FeatureInfo> featureById(std::string_view id) const;
  std::optional<FeatureInfo> featureByName(std::string_view name) const;

  static constexpr std::size_t kFetchLogSize = 4096;

 private:
  std::shared_ptr<detail::GlobeCore> m_core;
};

}  // namespace tivra::globe
