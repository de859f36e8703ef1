#include "globe/sim_globe.h"

#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <deque>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include "globe/globe_render.h"

namespace tivra::globe {

namespace detail {

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kMaxLinkDepth = 8;  // links fetched through links, deeper ones stay unfetched
constexpr std::size_t kMaxDocuments = 256;
constexpr std::size_t kMaxTotalFeatures = 500000;
constexpr std::size_t kMaxImages = 4096;
constexpr double kMinRange = 1.0;
constexpr double kMaxRange = 1.0e8;
constexpr double kInstantSpeed = 5.0;
constexpr auto kIdleSlice = std::chrono::milliseconds(20);
constexpr auto kMaxWorkerSleep = std::chrono::milliseconds(500);

using NodeList = std::vector<std::unique_ptr<KmlNode>>;

struct LoadedDocument {
  std::string path;
  NodeList features;
};

struct ImageEntry {
  enum class State { Queued, InFlight, Ready, Failed };
  State state = State::Queued;
  FetchPurpose purpose = FetchPurpose::Image;
  std::shared_ptr<const RgbaImage> image;
};

struct Job {
  std::uint64_t serial = 0;  // the link's node; 0 for images and models
  std::string url;
  FetchPurpose purpose = FetchPurpose::Link;
};

struct FetchOutcome {
  HttpAnswer answer;
  std::string error;  // empty when usable
  std::optional<ParsedKml> kml;
  std::shared_ptr<const RgbaImage> image;
};

Clock::duration seconds(double s) {
  if (!std::isfinite(s) || s < 0.0) s = 0.0;
  s = std::min(s, 86400.0);
  return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(s));
}

bool isHttpUrl(std::string_view url) {
  return url.starts_with("http://") || url.starts_with("https://");
}

double smoothStep(double t) {
  return t * t * (3.0 - 2.0 * t);
}

// Pre-order visit of every node with its depth and effective visibility.
template <typename F>
void visitNodes(const NodeList& list, int depth, bool visible, F& f) {
  for (auto& n : list) {
    const bool shown = visible && n->visibility;
    f(*n, depth, shown);
    visitNodes(n->children, depth + 1, shown, f);
  }
}

KmlNode* findInList(NodeList& list, const auto& pred) {
  for (auto& n : list) {
    if (pred(*n)) return n.get();
    if (KmlNode* c = findInList(n->children, pred)) return c;
  }
  return nullptr;
}

bool removeFromList(NodeList& list, std::string_view id) {
  for (auto it = list.begin(); it != list.end(); ++it) {
    if ((*it)->id == id) {
      list.erase(it);
      return true;
    }
    if (removeFromList((*it)->children, id)) return true;
  }
  return false;
}

std::size_t countNodes(const NodeList& list) {
  std::size_t n = list.size();
  for (const auto& c : list) n += countNodes(c->children);
  return n;
}

struct Bounds {
  double west = 1e9, south = 1e9, east = -1e9, north = -1e9;
  bool empty() const { return west > east; }
  void add(double lon, double lat) {
    west = std::min(west, lon);
    east = std::max(east, lon);
    south = std::min(south, lat);
    north = std::max(north, lat);
  }
};

void addBounds(const KmlNode& n, Bounds& b) {
  for (const GeoPoint& p : n.points) b.add(p.lon, p.lat);
  for (const auto& line : n.lines) {
    for (const GeoPoint& p : line) b.add(p.lon, p.lat);
  }
  if (n.box) {
    b.add(n.box->west, n.box->south);
    b.add(n.box->east, n.box->north);
  }
  if (n.model && n.model->location) b.add(n.model->location->lon, n.model->location->lat);
  for (const auto& c : n.children) addBounds(*c, b);
}

FeatureInfo makeInfo(const KmlNode& n, int depth) {
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
  i.lastLinkUrl = n.linkState.lastUrl;
  i.childCount = n.children.size();
  return i;
}

}  // namespace

class GlobeCore {
 public:
  GlobeCore(SimGlobeDeps deps, SimGlobeOptions options)
      : m_deps(std::move(deps)), m_opt(std::move(options)), m_created(Clock::now()) {
    m_online = m_opt.online;
    m_autoPilotSpeed = m_opt.autoPilotSpeed;
    m_from = m_to = normalised(m_opt.initialCamera);
    m_flightStart = m_flightEnd = m_created;
    const int threads = std::clamp(m_opt.fetchThreads, 1, 8);
    try {
      for (int i = 0; i < threads; ++i) m_workers.emplace_back([this] { workerLoop(); });
    } catch (...) {
      stop();  // the threads already started must not outlive a failed construction
      throw;
    }
  }

  ~GlobeCore() { stop(); }
  GlobeCore(const GlobeCore&) = delete;
  GlobeCore& operator=(const GlobeCore&) = delete;

  void stop() {
    std::vector<std::jthread> workers;
    {
      std::lock_guard lk(m_mutex);
      m_stopped = true;
      workers.swap(m_workers);
    }
    m_cv.notify_all();
    workers.clear();  // joins; each in-flight fetch ends within HttpGet's own time-out
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
    auto it = std::find_if(m_docs.begin(), m_docs.end(),
                           [&](const LoadedDocument& d) { return d.path == path; });
    const std::size_t replaced = it != m_docs.end() ? countNodes(it->features) : 0;
    if (m_featureCount - replaced + countNodes(parsed.features) > kMaxTotalFeatures) {
      throw EarthError("too many features loaded");
    }
    if (it != m_docs.end()) m_docs.erase(it);
    if (m_docs.size() >= kMaxDocuments) m_docs.erase(m_docs.begin());
    prepareNodes(parsed.features, 0);
    queueResources(parsed.features);
    m_docs.push_back(LoadedDocument{std::string(path), std::move(parsed.features)});
    for (KmlUpdate& u : parsed.updates) applyUpdate(u);
    ++m_stats.documentsLoaded;
    treeChanged();
    m_cv.notify_all();
  }

  std::optional<std::uint64_t> findByName(std::string_view name) {
    auto lk = lockLive();
    const KmlNode* n = findNode([&](const KmlNode& k) { return k.name == name; });
    if (!n) return std::nullopt;
    return n->serial;
  }

  KmlNode& nodeBySerial(std::uint64_t serial) {
    KmlNode* n = findNode([&](const KmlNode& k) { return k.serial == serial; });
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
    const KmlNode& n = nodeBySerial(serial);
    Camera target;
    if (n.lookAt) {
      target.FocusPointLongitude = n.lookAt->longitude;
      target.FocusPointLatitude = n.lookAt->latitude;
      target.FocusPointAltitude = n.lookAt->altitude;
      target.Range = n.lookAt->range;
      target.Tilt = n.lookAt->tilt;
      target.Azimuth = n.lookAt->heading;
    } else {
      Bounds b;
      addBounds(n, b);
      if (b.empty()) throw EarthError("the feature has no view");
      const ViewGeometry unit =
          makeViewGeometry(Camera{(b.north + b.south) / 2, 0, 0, 1, 1.0, 0, 0}, m_opt.viewWidth,
                           m_opt.viewHeight, m_opt.horizFovDeg);
      // Fit the box with a margin; a single point is seen from 1000 m.
      const double fit = std::max((b.north - b.south) / (2 * unit.halfHeightDeg),
                                  (b.east - b.west) / (2 * unit.halfWidthDeg));
      target.FocusPointLongitude = (b.east + b.west) / 2;
      target.FocusPointLatitude = (b.north + b.south) / 2;
      target.Range = std::max(1000.0, fit * 1.1);
    }
    startFlight(target, speed);
  }

  Camera getCamera() const {
    auto lk = lockLive();
    return currentCamera(Clock::now());
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
    const ViewGeometry v = viewAt(Clock::now());
    RgbaImage canvas = makeCanvas(v.widthPx, v.heightPx, kBackground);
    std::vector<const KmlNode*> shown;
    auto collect = [&](KmlNode& n, int, bool visible) {
      if (visible) shown.push_back(&n);
    };
    for (const auto& d : m_docs) visitNodes(d.features, 0, true, collect);
    for (const KmlNode* n : shown) {
      if (n->kind != FeatureKind::GroundOverlay || !n->box) continue;
      auto it = m_images.find(n->iconHref);
      if (it == m_images.end() || !it->second.image) continue;
      drawGroundOverlay(canvas, v, *n->box, *it->second.image, n->color);
    }
    for (const KmlNode* n : shown) {
      for (const auto& line : n->lines) drawPolyline(canvas, v, line, kLineColour);
    }
    for (const KmlNode* n : shown) {
      for (const GeoPoint& p : n->points) drawMarker(canvas, v, p, 2, kPointColour);
      if (n->model && n->model->location)
        drawMarker(canvas, v, *n->model->location, 3, kModelColour);
    }
    for (const KmlNode* n : shown) {
      if (n->kind != FeatureKind::ScreenOverlay) continue;
      auto it = m_images.find(n->iconHref);
      if (it == m_images.end() || !it->second.image) continue;
      drawScreenOverlay(canvas, n->screen.value_or(ScreenPlacementData{}), *it->second.image,
                        n->color);
    }
    return canvas;
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
    auto add = [&](KmlNode& n, int depth, bool) { out.push_back(makeInfo(n, depth)); };
    for (const auto& d : m_docs) visitNodes(d.features, 0, true, add);
    return out;
  }
  template <typename Pred>
  std::optional<FeatureInfo> featureWhere(Pred pred) const {
    std::lock_guard lk(m_mutex);
    std::optional<FeatureInfo> out;
    auto find = [&](KmlNode& n, int depth, bool) {
      if (!out && pred(n)) out = makeInfo(n, depth);
    };
    for (const auto& d : m_docs) visitNodes(d.features, 0, true, find);
    return out;
  }

 private:
  // --- camera ------------------------------------------------------------------------------

  static Camera normalised(Camera c) {
    c.FocusPointLatitude = std::clamp(c.FocusPointLatitude, -90.0, 90.0);
    c.FocusPointLongitude = wrapDegrees(c.FocusPointLongitude);
    c.Range = std::clamp(c.Range, kMinRange, kMaxRange);
    c.Tilt = std::clamp(c.Tilt, 0.0, 90.0);
    c.Azimuth = std::fmod(c.Azimuth, 360.0);
    if (c.Azimuth < 0) c.Azimuth += 360.0;
    return c;
  }

  Camera currentCamera(Clock::time_point now) const {
    if (now >= m_flightEnd) return m_to;
    const double total = std::chrono::duration<double>(m_flightEnd - m_flightStart).count();
    const double t = smoothStep(
        std::clamp(std::chrono::duration<double>(now - m_flightStart).count() / total, 0.0, 1.0));
    auto lerp = [t](double a, double b) { return a + (b - a) * t; };
    Camera c = m_to;
    c.FocusPointLatitude = lerp(m_from.FocusPointLatitude, m_to.FocusPointLatitude);
    c.FocusPointLongitude =
        wrapDegrees(m_from.FocusPointLongitude +
                    wrapDegrees(m_to.FocusPointLongitude - m_from.FocusPointLongitude) * t);
    c.FocusPointAltitude = lerp(m_from.FocusPointAltitude, m_to.FocusPointAltitude);
    c.Range = lerp(m_from.Range, m_to.Range);
    c.Tilt = lerp(m_from.Tilt, m_to.Tilt);
    c.Azimuth =
        std::fmod(m_from.Azimuth + wrapDegrees(m_to.Azimuth - m_from.Azimuth) * t + 360.0, 360.0);
    return c;
  }

  ViewGeometry viewAt(Clock::time_point now) const {
    return makeViewGeometry(currentCamera(now), m_opt.viewWidth, m_opt.viewHeight,
                            m_opt.horizFovDeg);
  }

  void startFlight(const Camera& target, double speed) {
    for (double v : {target.FocusPointLatitude, target.FocusPointLongitude,
                     target.FocusPointAltitude, target.Range, target.Tilt, target.Azimuth, speed}) {
      if (!std::isfinite(v)) throw EarthError("camera values must be finite");
    }
    const auto now = Clock::now();
    Clock::duration duration{};
    if (speed < kInstantSpeed) {
      const double base = std::chrono::duration<double>(m_opt.flightBase).count();
      const double maxS = std::chrono::duration<double>(m_opt.maxFlight).count();
      duration = seconds(speed > 0.0 ? std::min(maxS, base / speed) : maxS);
    }
    m_from = currentCamera(now);
    m_to = normalised(target);
    m_flightStart = now;
    m_flightEnd = now + duration;
    m_stopHandled = false;
    // Moving the camera restarts the wait of view-based links.
    auto cancel = [](KmlNode& n, int, bool) { n.linkState.viewDue = Clock::time_point::max(); };
    for (auto& d : m_docs) visitNodes(d.features, 0, true, cancel);
    m_cv.notify_all();
  }

  // --- tree --------------------------------------------------------------------------------

  template <typename Pred>
  KmlNode* findNode(Pred pred) {
    for (auto& d : m_docs) {
      if (KmlNode* n = findInList(d.features, pred)) return n;
    }
    return nullptr;
  }

  void prepareNodes(NodeList& list, int linkDepth) {
    for (auto& n : list) {
      n->serial = m_nextSerial++;
      n->linkState = LinkState{};
      n->linkState.depth = linkDepth;
      n->linkState.initialDue =
          n->kind == FeatureKind::NetworkLink && n->link && linkDepth <= kMaxLinkDepth;
      prepareNodes(n->children, linkDepth);
    }
  }

  void treeChanged() {
    std::size_t count = 0;
    for (const auto& d : m_docs) count += countNodes(d.features);
    m_featureCount = count;
    collectGarbageImages();
  }

  void queueHref(const std::string& href, FetchPurpose purpose) {
    if (href.empty()) return;
    auto it = m_images.find(href);
    if (it == m_images.end()) {
      if (m_images.size() >= kMaxImages) return;
      it = m_images.emplace(href, ImageEntry{}).first;
    } else if (it->second.state != ImageEntry::State::Failed) {
      return;  // fetched once for this href already, or on its way
    }
    it->second.state = ImageEntry::State::Queued;
    it->second.purpose = purpose;
    m_jobs.push_back(Job{0, href, purpose});
  }

  void queueResources(NodeList& list) {
    auto q = [&](KmlNode& n, int, bool) {
      queueHref(n.iconHref, FetchPurpose::Image);
      for (const std::string& h : n.styleHrefs) queueHref(h, FetchPurpose::Image);
      if (n.model) queueHref(n.model->href, FetchPurpose::Model);
    };
    visitNodes(list, 0, true, q);
  }

  void collectGarbageImages() {
    std::set<std::string, std::less<>> used;
    auto mark = [&](KmlNode& n, int, bool) {
      used.insert(n.iconHref);
      used.insert(n.styleHrefs.begin(), n.styleHrefs.end());
      if (n.model) used.insert(n.model->href);
    };
    for (auto& d : m_docs) visitNodes(d.features, 0, true, mark);
    std::erase_if(m_images, [&](const auto& kv) { return !used.contains(kv.first); });
  }

  void applyUpdate(KmlUpdate& update) {
    std::vector<KmlNode*> scopes;
    auto scope = [&](KmlNode& n, int, bool) {
      if (n.link && !update.targetHref.empty() &&
          (n.link->href == update.targetHref || n.linkState.lastUrl == update.targetHref)) {
        scopes.push_back(&n);
      }
    };
    for (auto& d : m_docs) visitNodes(d.features, 0, true, scope);

    for (UpdateOp& op : update.ops) {
      KmlNode* target = nullptr;
      KmlNode* owner = nullptr;
      for (KmlNode* s : scopes) {
        target = findInList(s->children, [&](const KmlNode& k) { return k.id == op.targetId; });
        if (target) {
          owner = s;
          break;
        }
      }
      if (!target || op.targetId.empty()) {
        ++m_stats.updateOpsIgnored;
        continue;
      }
      switch (op.kind) {
        case UpdateKind::Create:
          if ((target->kind != FeatureKind::Folder && target->kind != FeatureKind::Document) ||
              m_featureCount + countNodes(op.payload) > kMaxTotalFeatures) {
            ++m_stats.updateOpsIgnored;
            continue;
          }
          prepareNodes(op.payload, owner->linkState.depth + 1);
          queueResources(op.payload);
          m_featureCount += countNodes(op.payload);
          for (auto& p : op.payload) target->children.push_back(std::move(p));
          op.payload.clear();
          break;
        case UpdateKind::Change:
          if (op.payload.empty() || op.payload.front()->kind != target->kind) {
            ++m_stats.updateOpsIgnored;
            continue;
          }
          applyChange(*target, std::move(*op.payload.front()));
          if (target->model) queueHref(target->model->href, FetchPurpose::Model);
          queueHref(target->iconHref, FetchPurpose::Image);
          break;
        case UpdateKind::Delete:
          removeFromList(owner->children, op.targetId);
          break;
      }
      ++m_stats.updateOpsApplied;
    }
  }

  // --- worker ------------------------------------------------------------------------------

  bool linkLive(const KmlNode& n) const {
    return n.kind == FeatureKind::NetworkLink && n.link && n.linkState.depth <= kMaxLinkDepth;
  }

  Clock::duration atLeastMin(double s) const {
    return std::max<Clock::duration>(seconds(s), m_opt.minRefreshPeriod);
  }

  std::string linkUrl(const KmlNode& n, Clock::time_point now) const {
    const LinkData& l = *n.link;
    std::string url = l.href;
    std::optional<std::string> format = l.viewFormat;
    if (!format && l.viewRefreshMode == ViewRefreshMode::OnStop) {
      format = "BBOX=[bboxWest],[bboxSouth],[bboxEast],[bboxNorth]";
    }
    if (format && !format->empty()) url = appendQuery(url, fillViewFormat(*format, viewAt(now)));
    if (!l.httpQuery.empty()) url = appendQuery(url, l.httpQuery);
    return url;
  }

  // True when something happened that others may wait for.
  bool processTimers(Clock::time_point now) {
    bool changed = false;
    if (!m_stopHandled && now >= m_flightEnd) {
      changed = true;
      m_stopHandled = true;
      ++m_stats.cameraStops;
      auto arm = [&](KmlNode& n, int, bool) {
        if (linkLive(n) && n.link->viewRefreshMode == ViewRefreshMode::OnStop) {
          n.linkState.viewDue = m_flightEnd + atLeastMin(n.link->viewRefreshTime);
        }
      };
      for (auto& d : m_docs) visitNodes(d.features, 0, true, arm);
    }
    auto due = [&](KmlNode& n, int, bool visible) {
      if (!linkLive(n) || n.linkState.inFlight) return;
      LinkState& s = n.linkState;
      const bool intervalDue = s.intervalDue <= now;
      if (!(s.initialDue || s.viewDue <= now || intervalDue)) return;
      if (!visible) {
        // Hidden links are not refreshed; the interval keeps its rhythm.
        s.viewDue = Clock::time_point::max();
        if (intervalDue) s.intervalDue = now + atLeastMin(n.link->refreshInterval);
        return;
      }
      s.initialDue = false;
      s.viewDue = Clock::time_point::max();
      s.intervalDue = Clock::time_point::max();
      s.inFlight = true;
      m_jobs.push_back(Job{n.serial, linkUrl(n, now), FetchPurpose::Link});
      changed = true;
    };
    for (auto& d : m_docs) visitNodes(d.features, 0, true, due);
    return changed;
  }

  Clock::time_point nextDeadline(Clock::time_point now) {
    Clock::time_point next = now + kMaxWorkerSleep;
    if (!m_stopHandled) next = std::min(next, m_flightEnd);
    auto scan = [&](KmlNode& n, int, bool) {
      if (!linkLive(n) || n.linkState.inFlight) return;
      next = std::min({next, n.linkState.viewDue, n.linkState.intervalDue});
    };
    for (auto& d : m_docs) visitNodes(d.features, 0, true, scan);
    return next;
  }

  bool idle(Clock::time_point now) const {
    if (now < m_flightEnd || !m_stopHandled || !m_jobs.empty() || m_inFlight != 0) return false;
    bool pending = false;
    auto scan = [&](KmlNode& n, int, bool visible) {
      if (visible && linkLive(n) &&
          (n.linkState.initialDue || n.linkState.inFlight ||
           n.linkState.viewDue != Clock::time_point::max())) {
        pending = true;
      }
    };
    for (const auto& d : m_docs) visitNodes(d.features, 0, true, scan);
    if (pending) return false;
    return std::none_of(m_images.begin(), m_images.end(), [](const auto& kv) {
      return kv.second.state == ImageEntry::State::Queued ||
             kv.second.state == ImageEntry::State::InFlight;
    });
  }

  void workerLoop() {
    std::unique_lock lk(m_mutex);
    while (!m_stopped) {
      const auto now = Clock::now();
      if (processTimers(now)) m_cv.notify_all();
      if (m_jobs.empty()) {
        m_cv.wait_until(lk, nextDeadline(now));
        continue;
      }
      Job job = std::move(m_jobs.front());
      m_jobs.pop_front();
      if (job.purpose != FetchPurpose::Link) {
        auto it = m_images.find(job.url);
        if (it == m_images.end() || it->second.state != ImageEntry::State::Queued) continue;
        it->second.state = ImageEntry::State::InFlight;
      }
      ++m_inFlight;
      const std::size_t maxBytes = m_opt.maxDocumentBytes;
      const std::size_t maxPixels = m_opt.maxImagePixels;
      lk.unlock();
      FetchOutcome outcome = fetch(job, maxBytes, maxPixels);
      lk.lock();
      --m_inFlight;
      try {
        complete(job, std::move(outcome));
      } catch (const std::exception&) {
        // A result that cannot be applied (out of memory, say) is dropped; the worker goes on.
        ++m_stats.documentFailures;
      }
      m_cv.notify_all();
    }
  }

  // Runs without the lock: the fetched server may call back into the globe.
  FetchOutcome fetch(const Job& job, std::size_t maxBytes, std::size_t maxPixels) const {
    FetchOutcome out;
    if (!isHttpUrl(job.url)) {
      out.error = "unsupported URL";
      return out;
    }
    if (!m_deps.httpGet) {
      out.error = "no HTTP client";
      return out;
    }
    try {
      out.answer = m_deps.httpGet(job.url);
    } catch (const std::exception& e) {
      out.error = std::string("fetch failed: ") + e.what();
      return out;
    }
    if (!out.answer.ok) {
      out.error = "no answer";
    } else if (out.answer.status < 200 || out.answer.status > 299) {
      out.error = "HTTP status " + std::to_string(out.answer.status);
    } else if (out.answer.body.size() > maxBytes) {
      out.error = "too large";
    }
    if (!out.error.empty()) return out;

    const std::vector<std::uint8_t>& body = out.answer.body;
    try {
      if (job.purpose == FetchPurpose::Link) {
        out.kml = parseKml(
            std::string_view(reinterpret_cast<const char*>(body.data()), body.size()), job.url);
      } else if (job.purpose == FetchPurpose::Image) {
        std::optional<RgbaImage> img;
        if (m_deps.decodeImage) img = m_deps.decodeImage(body);
        if (!img || img->width <= 0 || img->height <= 0 ||
            static_cast<std::size_t>(img->width) * img->height > maxPixels ||
            img->rgba.size() != static_cast<std::size_t>(img->width) * img->height * 4) {
          out.error = "image does not decode";
        } else {
          out.image = std::make_shared<const RgbaImage>(std::move(*img));
        }
      }
    } catch (const std::exception& e) {
      out.error = e.what();
    }
    return out;
  }

  void record(const Job& job, const FetchOutcome& outcome) {
    ++m_stats.fetches;
    m_fetchLog.push_back(FetchRecord{job.url, job.purpose, outcome.answer.status,
                                     outcome.error.empty(), outcome.error});
    while (m_fetchLog.size() > SimGlobe::kFetchLogSize) m_fetchLog.pop_front();
  }

  void complete(const Job& job, FetchOutcome outcome) {
    record(job, outcome);
    if (m_stopped) return;
    const auto now = Clock::now();
    if (job.purpose != FetchPurpose::Link) {
      auto it = m_images.find(job.url);
      if (it == m_images.end()) return;  // no longer referenced
      const bool ok = outcome.error.empty();
      it->second.state = ok ? ImageEntry::State::Ready : ImageEntry::State::Failed;
      it->second.image = std::move(outcome.image);
      if (job.purpose == FetchPurpose::Image) ++(ok ? m_stats.imagesDecoded : m_stats.imagesFailed);
      return;
    }

    KmlNode* link = findNode([&](const KmlNode& k) { return k.serial == job.serial; });
    if (!link || !link->link) return;  // replaced while the fetch ran
    LinkState& s = link->linkState;
    s.inFlight = false;
    s.lastUrl = job.url;
    if (link->link->refreshMode == RefreshMode::OnInterval) {
      s.intervalDue = now + atLeastMin(link->link->refreshInterval);
    }
    if (!outcome.error.empty() || !outcome.kml) {
      ++m_stats.documentFailures;
      return;
    }
    ParsedKml& kml = *outcome.kml;
    if (m_featureCount - countNodes(link->children) + countNodes(kml.features) >
        kMaxTotalFeatures) {
      ++m_stats.documentFailures;
      return;
    }
    prepareNodes(kml.features, s.depth + 1);
    queueResources(kml.features);
    // A link that flies to its view goes to the look-at of the fetched document's first feature.
    bool fly = false;
    Camera flyTo;
    if (link->flyToView && !kml.features.empty() && kml.features.front()->lookAt) {
      const LookAtData& l = *kml.features.front()->lookAt;
      fly = true;
      flyTo = Camera{l.latitude, l.longitude, l.altitude, 1, l.range, l.tilt, l.heading};
    }
    link->children = std::move(kml.features);
    ++m_stats.documentsLoaded;
    treeChanged();
    for (KmlUpdate& u : kml.updates) applyUpdate(u);
    treeChanged();
    if (fly) {
      startFlight(flyTo, m_autoPilotSpeed);
    }
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
  Camera m_from, m_to;
  Clock::time_point m_flightStart, m_flightEnd;
  bool m_stopHandled = true;
  std::uint64_t m_nextSerial = 1;
  std::vector<LoadedDocument> m_docs;
  std::size_t m_featureCount = 0;
  std::map<std::string, ImageEntry, std::less<>> m_images;
  std::deque<Job> m_jobs;
  int m_inFlight = 0;
  GlobeStats m_stats;
  std::deque<FetchRecord> m_fetchLog;
  std::vector<std::jthread> m_workers;  // last: started after every other member exists
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
