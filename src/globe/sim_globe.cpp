#include "globe/sim_globe.h"

#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <deque>
#include <filesystem>
#include <fstream>
#include <mutex>

#include "globe/camera_flight.h"
#include "globe/globe_render.h"
#include "globe/link_scheduler.h"
#include "globe/scene.h"

namespace tivra::globe {

namespace detail {

namespace {

constexpr auto kIdleSlice = std::chrono::milliseconds(20);
constexpr auto kMaxWorkerSleep = std::chrono::milliseconds(500);

FeatureInfo makeInfo(const KmlNode& n, int depth, const NodeState& state) {
  FeatureInfo i;
  i.kind = n.kind;
  i.name = n.name;
  i.id = n.id;
  i.visibility = n.visibility;
  i.depth = depth;
  i.lookAt = n.lookAt;
  i.points = n.points;
  i.lines = n.lines;
  i.model = n.model;
  i.iconHref = n.iconHref;
  i.box = n.box;
  i.color = n.color;
  if (n.link) i.linkHref = n.link->href;
  i.lastLinkUrl = state.link.lastUrl;
  i.childCount = n.children.size();
  return i;
}

}  // namespace

// The globe behind every handle: one lock over the scene, the camera, the link schedule and
// the fetch queue. Worker threads take fetches from the queue and run them without the lock.
class GlobeCore {
 public:
  GlobeCore(SimGlobeDeps deps, SimGlobeOptions options)
      : m_deps(std::move(deps)),
        m_opt(std::move(options)),
        m_created(Clock::now()),
        m_flight(m_opt.initialCamera, m_created),
        m_links(m_scene, m_opt.minRefreshPeriod) {
    m_online = m_opt.online;
    m_autoPilotSpeed = m_opt.autoPilotSpeed;
    try {
      m_workers.start(std::clamp(m_opt.fetchThreads, 1, 8), [this] { workerLoop(); });
    } catch (...) {
      stop();  // the threads already started must not outlive a failed construction
      throw;
    }
  }

  ~GlobeCore() { stop(); }
  GlobeCore(const GlobeCore&) = delete;
  GlobeCore& operator=(const GlobeCore&) = delete;

  void stop() {
    FetchWorkers workers;
    {
      std::lock_guard lk(m_mutex);
      m_stopped = true;
      std::swap(workers, m_workers);
    }
    m_cv.notify_all();
    workers.join();  // each in-flight fetch ends within HttpGet's own time-out
  }

  // --- Earth operations, called through handles -------------------------------------------

  std::unique_lock<std::mutex> lockLive() const {
    std::unique_lock lk(m_mutex);
    if (m_stopped) throw EarthError("the globe is not running");
    return lk;
  }

  bool isInitialized() const {
    auto lk = lockLive();
    return Clock::now() - m_created >= m_opt.initializeDelay;
  }
  int version(int which) const {
    auto lk = lockLive();
    return which == 0 ? m_opt.versionMajor : which == 1 ? m_opt.versionMinor : m_opt.versionBuild;
  }
  bool isOnline() const {
    auto lk = lockLive();
    return m_online;
  }
  void setOnline(bool online) {
    std::lock_guard lk(m_mutex);
    m_online = online;
  }

  void openKmlFile(std::string_view path) {
    { auto lk = lockLive(); }
    const std::string text = readFile(path);
    ParsedKml parsed;
    try {
      parsed = parseKml(text, "");
    } catch (const KmlParseError& e) {
      throw EarthError("cannot load " + std::string(path) + ": " + e.what());
    }
    auto lk = lockLive();
    // Opening a path again replaces what it loaded before (the program reuses its file names).
    m_fetches.queueResources(m_scene.load(std::string(path), std::move(parsed.features)));
    for (KmlUpdate& u : parsed.updates) applyUpdate(u);
    ++m_stats.documentsLoaded;
    m_fetches.keepOnlyUsed(m_scene);
    m_cv.notify_all();
  }

  std::optional<std::uint64_t> findByName(std::string_view name) {
    auto lk = lockLive();
    const KmlNode* n = m_scene.find([&](const KmlNode& k) { return k.name == name; });
    if (!n) return std::nullopt;
    return m_scene.state(*n).serial;
  }

  KmlNode& nodeBySerial(std::uint64_t serial) {
    KmlNode* n = m_scene.bySerial(serial);
    if (!n) throw EarthError("the feature no longer exists");
    return *n;
  }

  bool visibility(std::uint64_t serial) {
    auto lk = lockLive();
    return nodeBySerial(serial).visibility;
  }
  void putVisibility(std::uint64_t serial, bool visible) {
    auto lk = lockLive();
    nodeBySerial(serial).visibility = visible;
    m_cv.notify_all();
  }
  std::string name(std::uint64_t serial) {
    auto lk = lockLive();
    return nodeBySerial(serial).name;
  }

  void setFeatureView(std::uint64_t serial, double speed) {
    auto lk = lockLive();
    const auto target =
        featureCamera(nodeBySerial(serial), m_opt.viewWidth, m_opt.viewHeight, m_opt.horizFovDeg);
    if (!target) throw EarthError("the feature has no view");
    startFlight(*target, speed);
  }

  Camera getCamera() const {
    auto lk = lockLive();
    return m_flight.at(Clock::now());
  }
  void setCamera(const Camera& camera, double speed) {
    auto lk = lockLive();
    startFlight(camera, speed);
  }
  double autoPilotSpeed() const {
    auto lk = lockLive();
    return m_autoPilotSpeed;
  }
  void putAutoPilotSpeed(double speed) {
    if (!std::isfinite(speed)) throw EarthError("autopilot speed must be finite");
    auto lk = lockLive();
    m_autoPilotSpeed = speed;
  }

  TerrainPoint pointOnTerrain(double x, double y) const {
    auto lk = lockLive();
    const auto p = terrainPointAt(viewAt(Clock::now()), x, y);
    if (!p) throw EarthError("no terrain at those screen coordinates");
    return *p;
  }

  // --- Observation -------------------------------------------------------------------------

  bool waitIdle(std::chrono::milliseconds timeout) const {
    const auto deadline = Clock::now() + timeout;
    std::unique_lock lk(m_mutex);
    while (!idle(Clock::now())) {
      if (m_stopped) return false;
      const auto now = Clock::now();
      if (now >= deadline) return false;
      m_cv.wait_until(lk, std::min(deadline, now + kIdleSlice));
    }
    return true;
  }

  template <typename Pred>
  bool waitFor(std::chrono::milliseconds timeout, Pred pred) const {
    std::unique_lock lk(m_mutex);
    return m_cv.wait_for(lk, timeout, [&] { return m_stopped || pred(); }) && !m_stopped;
  }
  std::uint64_t cameraStopsLocked() const { return m_stats.cameraStops; }
  std::uint64_t fetchesLocked() const { return m_stats.fetches; }

  ViewGeometry view() const {
    std::lock_guard lk(m_mutex);
    return viewAt(Clock::now());
  }

  RgbaImage render() const {
    std::lock_guard lk(m_mutex);
    return renderScene(m_scene, viewAt(Clock::now()),
                       [&](std::string_view href) { return m_fetches.image(href); });
  }

  const SimGlobeDeps& deps() const { return m_deps; }

  GlobeStats stats() const {
    std::lock_guard lk(m_mutex);
    return m_stats;
  }
  std::vector<FetchRecord> fetchLog() const {
    std::lock_guard lk(m_mutex);
    return {m_fetchLog.begin(), m_fetchLog.end()};
  }
  std::vector<FeatureInfo> features() const {
    std::lock_guard lk(m_mutex);
    std::vector<FeatureInfo> out;
    m_scene.forEachNode(
        [&](KmlNode& n, int depth, bool) { out.push_back(makeInfo(n, depth, m_scene.state(n))); });
    return out;
  }
  template <typename Pred>
  std::optional<FeatureInfo> featureWhere(Pred pred) const {
    std::lock_guard lk(m_mutex);
    std::optional<FeatureInfo> out;
    m_scene.forEachNode([&](KmlNode& n, int depth, bool) {
      if (pred(n)) out = makeInfo(n, depth, m_scene.state(n));
      return out.has_value();
    });
    return out;
  }

 private:
  ViewGeometry viewAt(Clock::time_point now) const {
    return makeViewGeometry(m_flight.at(now), m_opt.viewWidth, m_opt.viewHeight, m_opt.horizFovDeg);
  }

  void startFlight(const Camera& target, double speed) {
    m_flight.flyTo(target, speed, FlightTiming{m_opt.flightBase, m_opt.maxFlight}, Clock::now());
    m_links.cameraMoved();
    m_cv.notify_all();
  }

  void applyUpdate(KmlUpdate& update) {
    const UpdateCounts counts = m_scene.applyUpdate(
        update, [&](const NodeList& added) { m_fetches.queueResources(added); },
        [&](KmlNode& changed) {
          if (changed.model) m_fetches.queueResource(changed.model->href, FetchPurpose::Model);
          m_fetches.queueResource(changed.iconHref, FetchPurpose::Image);
        });
    m_stats.updateOpsApplied += counts.applied;
    m_stats.updateOpsIgnored += counts.ignored;
  }

  bool idle(Clock::time_point now) const {
    return !m_flight.moving(now) && m_flight.stopTaken() && !m_fetches.busy() && !m_links.pending();
  }

  // True when something happened that others may wait for.
  bool processTimers(Clock::time_point now) {
    bool changed = false;
    if (m_flight.takeStop(now)) {
      changed = true;
      ++m_stats.cameraStops;
      m_links.cameraStopped(m_flight.end());
    }
    for (LinkFetch& due : m_links.takeDue(now, viewAt(now))) {
      m_fetches.queueLink(due.serial, std::move(due.url));
      changed = true;
    }
    return changed;
  }

  Clock::time_point nextDeadline(Clock::time_point now) const {
    Clock::time_point next = now + kMaxWorkerSleep;
    if (!m_flight.stopTaken()) next = std::min(next, m_flight.end());
    return m_links.nextDue(next);
  }

  void workerLoop() {
    std::unique_lock lk(m_mutex);
    while (!m_stopped) {
      const auto now = Clock::now();
      if (processTimers(now)) m_cv.notify_all();
      if (m_fetches.empty()) {
        m_cv.wait_until(lk, nextDeadline(now));
        continue;
      }
      const std::optional<FetchJob> job = m_fetches.take();
      if (!job) continue;
      const FetchLimits limits{m_opt.maxDocumentBytes, m_opt.maxImagePixels};
      lk.unlock();
      FetchOutcome outcome = fetchResource(*job, m_deps, limits);
      lk.lock();
      try {
        complete(*job, std::move(outcome));
      } catch (const std::exception&) {
        // A result that cannot be applied (out of memory, say) is dropped; the worker goes on.
        ++m_stats.documentFailures;
      }
      m_cv.notify_all();
    }
  }

  void record(const FetchJob& job, const FetchOutcome& outcome) {
    ++m_stats.fetches;
    m_fetchLog.push_back(FetchRecord{job.url, job.purpose, outcome.answer.status,
                                     outcome.error.empty(), outcome.error});
    while (m_fetchLog.size() > SimGlobe::kFetchLogSize) m_fetchLog.pop_front();
  }

  void complete(const FetchJob& job, FetchOutcome outcome) {
    const std::optional<bool> resourceOk = m_fetches.finished(job, outcome);
    record(job, outcome);
    if (m_stopped) return;
    if (job.purpose != FetchPurpose::Link) {
      if (resourceOk && job.purpose == FetchPurpose::Image) {
        ++(*resourceOk ? m_stats.imagesDecoded : m_stats.imagesFailed);
      }
      return;
    }

    KmlNode* link = m_scene.bySerial(job.serial);
    if (!link || !link->link) return;  // replaced while the fetch ran
    m_links.fetched(*link, job.url, Clock::now());
    if (!outcome.error.empty() || !outcome.kml) {
      ++m_stats.documentFailures;
      return;
    }
    ParsedKml& kml = *outcome.kml;
    // A link that flies to its view goes to the look-at of the fetched document's first feature.
    std::optional<Camera> flyTo;
    if (link->flyToView && !kml.features.empty() && kml.features.front()->lookAt) {
      const LookAtData& l = *kml.features.front()->lookAt;
      flyTo = Camera{l.latitude, l.longitude, l.altitude, 1, l.range, l.tilt, l.heading};
    }
    if (!m_scene.replaceChildren(*link, std::move(kml.features))) {
      ++m_stats.documentFailures;
      return;
    }
    m_fetches.queueResources(link->children);
    ++m_stats.documentsLoaded;
    m_fetches.keepOnlyUsed(m_scene);
    for (KmlUpdate& u : kml.updates) applyUpdate(u);
    m_fetches.keepOnlyUsed(m_scene);
    if (flyTo) startFlight(*flyTo, m_autoPilotSpeed);
  }

  std::string readFile(std::string_view path) const {
    const std::filesystem::path p{std::string(path)};
    std::error_code ec;
    const auto size = std::filesystem::file_size(p, ec);
    if (ec) throw EarthError("cannot open " + std::string(path));
    if (size > m_opt.maxDocumentBytes) throw EarthError("file too large: " + std::string(path));
    std::ifstream in(p, std::ios::binary);
    if (!in) throw EarthError("cannot open " + std::string(path));
    std::string text(static_cast<std::size_t>(size), '\0');
    in.read(text.data(), static_cast<std::streamsize>(text.size()));
    text.resize(static_cast<std::size_t>(in.gcount()));
    return text;
  }

  // Members below are guarded by m_mutex, except m_deps and m_opt (immutable).
  const SimGlobeDeps m_deps;
  const SimGlobeOptions m_opt;
  const Clock::time_point m_created;
  mutable std::mutex m_mutex;
  mutable std::condition_variable m_cv;
  bool m_stopped = false;
  bool m_online = true;
  double m_autoPilotSpeed = 1.0;
  CameraFlight m_flight;
  Scene m_scene;
  LinkScheduler m_links;
  FetchQueue m_fetches;
  GlobeStats m_stats;
  std::deque<FetchRecord> m_fetchLog;
  FetchWorkers m_workers;  // last: started after every other member exists
};

namespace {

class SimFeature final : public Feature {
 public:
  SimFeature(std::shared_ptr<GlobeCore> core, std::uint64_t serial)
      : m_core(std::move(core)), m_serial(serial) {}
  bool Visibility() const override { return m_core->visibility(m_serial); }
  void putVisibility(bool visible) override { m_core->putVisibility(m_serial, visible); }
  std::string Name() const override { return m_core->name(m_serial); }

  const GlobeCore* core() const { return m_core.get(); }
  std::uint64_t serial() const { return m_serial; }

 private:
  std::shared_ptr<GlobeCore> m_core;
  std::uint64_t m_serial;
};

class SimEarth final : public Earth {
 public:
  explicit SimEarth(std::shared_ptr<GlobeCore> core) : m_core(std::move(core)) {}

  bool IsInitialized() override { return m_core->isInitialized(); }
  int VersionMajor() override { return m_core->version(0); }
  int VersionMinor() override { return m_core->version(1); }
  int VersionBuild() override { return m_core->version(2); }
  bool IsOnline() override { return m_core->isOnline(); }
  void OpenKmlFile(std::string_view path, bool /*suppressMessages*/) override {
    m_core->openKmlFile(path);
  }
  std::unique_ptr<Feature> GetFeatureByName(std::string_view name) override {
    const auto serial = m_core->findByName(name);
    if (!serial) return nullptr;
    return std::make_unique<SimFeature>(m_core, *serial);
  }
  void SetFeatureView(const Feature& feature, double speed) override {
    const auto* f = dynamic_cast<const SimFeature*>(&feature);
    if (!f || f->core() != m_core.get()) throw EarthError("the feature is not on this globe");
    m_core->setFeatureView(f->serial(), speed);
  }
  Camera GetCamera(bool /*considerTerrain: the simulated terrain is flat*/) override {
    return m_core->getCamera();
  }
  void SetCamera(const Camera& camera, double speed) override { m_core->setCamera(camera, speed); }
  double AutoPilotSpeed() override { return m_core->autoPilotSpeed(); }
  void putAutoPilotSpeed(double speed) override { m_core->putAutoPilotSpeed(speed); }
  TerrainPoint GetPointOnTerrainFromScreenCoords(double x, double y) override {
    return m_core->pointOnTerrain(x, y);
  }
  std::uintptr_t GetRenderHwnd() override {
    m_core->isOnline();  // throws when stopped
    return reinterpret_cast<std::uintptr_t>(m_core.get());
  }

 private:
  std::shared_ptr<GlobeCore> m_core;
};

}  // namespace

}  // namespace detail

SimGlobe::SimGlobe(SimGlobeDeps deps, SimGlobeOptions options)
    : m_core(std::make_shared<detail::GlobeCore>(std::move(deps), std::move(options))) {}

SimGlobe::~SimGlobe() {
  m_core->stop();
}

std::unique_ptr<Earth> SimGlobe::connect() {
  m_core->isOnline();  // creating a handle on a stopped globe fails like any call
  return std::make_unique<detail::SimEarth>(m_core);
}
void SimGlobe::stop() {
  m_core->stop();
}
void SimGlobe::setOnline(bool online) {
  m_core->setOnline(online);
}

bool SimGlobe::waitIdle(std::chrono::milliseconds timeout) const {
  return m_core->waitIdle(timeout);
}
bool SimGlobe::waitCameraStops(std::uint64_t count, std::chrono::milliseconds timeout) const {
  return m_core->waitFor(timeout, [&] { return m_core->cameraStopsLocked() >= count; });
}
bool SimGlobe::waitFetches(std::uint64_t count, std::chrono::milliseconds timeout) const {
  return m_core->waitFor(timeout, [&] { return m_core->fetchesLocked() >= count; });
}

ViewGeometry SimGlobe::view() const {
  return m_core->view();
}
RgbaImage SimGlobe::render() const {
  return m_core->render();
}
std::vector<std::uint8_t> SimGlobe::renderPng() const {
  if (!m_core->deps().encodePng) throw EarthError("no PNG encoder");
  return m_core->deps().encodePng(m_core->render());
}

GlobeStats SimGlobe::stats() const {
  return m_core->stats();
}
std::vector<FetchRecord> SimGlobe::fetchLog() const {
  return m_core->fetchLog();
}
std::vector<FeatureInfo> SimGlobe::features() const {
  return m_core->features();
}
std::optional<FeatureInfo> SimGlobe::featureById(std::string_view id) const {
  return m_core->featureWhere([&](const KmlNode& n) { return n.id == id; });
}
std::optional<FeatureInfo> SimGlobe::featureByName(std::string_view name) const {
  return m_core->featureWhere([&](const KmlNode& n) { return n.name == name; });
}

}  // namespace tivra::globe
