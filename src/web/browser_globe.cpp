#include "web/browser_globe.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <vector>

#include "platform/read_file.h"
#include "platform/text.h"
#include "web/static_files.h"

namespace tivra::web {

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t kMaxIdLength = 64;
// Goodbyes remembered: a page's last poll arrives within moments of its goodbye.
constexpr std::size_t kDepartedKept = 64;
constexpr std::size_t kMaxNameLength = 256;

// The value of key in a query "a=1&b=2", escapes decoded; nullopt when absent or broken.
std::optional<std::string> queryParam(std::string_view query, std::string_view key) {
  platform::Tokenizer pairs(query, "&");
  for (std::string_view pair = pairs.next(); !pair.empty(); pair = pairs.next()) {
    const auto eq = pair.find('=');
    if (pair.substr(0, eq) != key) continue;
    if (eq == std::string_view::npos) return std::string();
    std::string value(pair.substr(eq + 1));
    std::replace(value.begin(), value.end(), '+', ' ');
    return percentDecode(value);
  }
  return std::nullopt;
}

// count finite reals separated by ","; nullopt when there are fewer or one is not a number.
template <std::size_t N>
std::optional<std::array<double, N>> realList(std::string_view text) {
  std::array<double, N> out{};
  platform::Tokenizer tokens(text, ",");
  for (double& value : out) {
    const std::string token(tokens.next());
    if (token.empty()) return std::nullopt;
    char* end = nullptr;
    value = std::strtod(token.c_str(), &end);
    if (end != token.c_str() + token.size() || !std::isfinite(value)) return std::nullopt;
  }
  return out;
}

void appendJsonString(std::string& out, std::string_view text) {
  out.push_back('"');
  for (const char c : text) {
    const auto u = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out.push_back('\\');
      out.push_back(c);
    } else if (u < 0x20) {
      platform::appendFormat(out, "\\u%04x", u);
    } else {
      out.push_back(c);
    }
  }
  out.push_back('"');
}

std::string xmlEscaped(std::string_view text) {
  std::string out;
  for (const char c : text) {
    switch (c) {
      case '&':
        out.append("&amp;");
        break;
      case '<':
        out.append("&lt;");
        break;
      case '>':
        out.append("&gt;");
        break;
      default:
        out.push_back(c);
    }
  }
  return out;
}

struct Vec3 {
  double x = 0, y = 0, z = 0;
};
Vec3 operator+(Vec3 a, Vec3 b) {
  return {a.x + b.x, a.y + b.y, a.z + b.z};
}
Vec3 operator*(Vec3 a, double s) {
  return {a.x * s, a.y * s, a.z * s};
}
double dot(Vec3 a, Vec3 b) {
  return a.x * b.x + a.y * b.y + a.z * b.z;
}

// WGS84, as the page's globe uses.
constexpr double kRadiusA = 6378137.0;
constexpr double kRadiusB = 6356752.3142451793;

}  // namespace

namespace detail {

// What the driving page last reported: its camera as the automation interface names it, and
// its view geometry in earth-centred metres for screen-to-globe picks.
struct PageView {
  globe::Camera camera;
  Vec3 position, direction, up, right;
  double fovy = 1.0;
  double aspect = 1.0;
};

class PageHub {
 public:
  explicit PageHub(BrowserGlobeOptions options) : m_options(std::move(options)) {}

  // ---- the page's side
  void poll(std::string_view query, std::string& out);
  void state(std::string_view query);
  void bye(std::string_view query);
  std::optional<std::string> document(std::string_view query);
  void close();
  void setEntryDocument(std::string text) {
    std::lock_guard lock(m_mutex);
    m_entryDocument = std::move(text);
  }
  void setPickHandler(std::function<void(const PagePick&)> handler) {
    std::lock_guard lock(m_mutex);
    m_pickHandler = std::move(handler);
  }
  void pick(std::string_view query);
  bool attached();
  bool waitAttached(std::chrono::milliseconds timeout);

  // ---- the program's side
  void requireDriver();
  globe::Camera camera();
  globe::TerrainPoint pick(double x, double y);
  void setCamera(const globe::Camera& camera, double speed);
  void openKml(std::string_view path);
  bool hasFeature(std::string_view name);
  bool visibility(std::string_view name);
  void setVisibility(std::string_view name, bool visible);
  void featureView(std::string_view name, double speed);
  double autoPilotSpeed();
  void setAutoPilotSpeed(double speed);
  bool online();
  std::array<int, 3> version();

 private:
  struct Page {
    std::string id;
    Clock::time_point lastSeen;
    int polls = 0;  // polls now held open
    std::deque<std::string> queue;
  };
  struct Document {
    std::uint64_t id = 0;
    std::string key;
    std::string text;
  };

  void pruneLocked(Clock::time_point now);
  Page* driverLocked();
  Page* findLocked(std::string_view id);
  // Starts a command object with its sequence number; the caller closes it with "}".
  std::string commandLocked(std::string_view op);
  void pushLocked(const std::string& command, bool watchersToo = true);
  void pushToLocked(Page& page, std::string command);
  double durationLocked(double speed) const;

  BrowserGlobeOptions m_options;
  std::mutex m_mutex;
  std::condition_variable m_changed;
  std::vector<Page> m_pages;           // in order of attaching: the first alive drives
  std::deque<std::string> m_departed;  // the latest pages that said goodbye
  std::vector<Document> m_documents;
  std::map<std::string, bool, std::less<>> m_visibility;
  std::optional<PageView> m_view;
  std::uint64_t m_nextSeq = 1;
  std::uint64_t m_nextDocument = 1;
  // Reports of a page that has not yet carried out the last jump are older than the jump.
  std::uint64_t m_lastJump = 0;
  double m_autoPilotSpeed = 1.0;
  bool m_online = true;
  std::optional<std::array<int, 3>> m_version;
  bool m_closing = false;
  std::string m_entryDocument;
  std::function<void(const PagePick&)> m_pickHandler;
};

void PageHub::pick(std::string_view query) {
  const std::string id = queryParam(query, "page").value_or("");
  const std::string phase = queryParam(query, "phase").value_or("");
  const auto at = realList<4>(queryParam(query, "at").value_or(""));
  if (!at || (*at)[2] < 1 || (*at)[3] < 1 || (*at)[2] > 100000 || (*at)[3] > 100000) return;
  PagePick pick;
  if (phase == "press")
    pick.phase = PagePick::Phase::Press;
  else if (phase == "move")
    pick.phase = PagePick::Phase::Move;
  else if (phase == "release")
    pick.phase = PagePick::Phase::Release;
  else
    return;
  pick.x = static_cast<int>(std::clamp((*at)[0], -1.0, 100000.0));
  pick.y = static_cast<int>(std::clamp((*at)[1], -1.0, 100000.0));
  pick.width = static_cast<int>((*at)[2]);
  pick.height = static_cast<int>((*at)[3]);
  std::function<void(const PagePick&)> handler;
  {
    std::lock_guard lock(m_mutex);
    Page* driver = driverLocked();
    if (!driver || driver->id != id) return;  // watching pages do not pick
    handler = m_pickHandler;
  }
  if (handler) handler(pick);
}

void PageHub::pruneLocked(Clock::time_point now) {
  std::erase_if(m_pages, [&](const Page& page) {
    return page.polls == 0 && now - page.lastSeen > m_options.pageGone;
  });
}

PageHub::Page* PageHub::driverLocked() {
  pruneLocked(Clock::now());
  return m_pages.empty() ? nullptr : &m_pages.front();
}

PageHub::Page* PageHub::findLocked(std::string_view id) {
  for (Page& page : m_pages)
    if (page.id == id) return &page;
  return nullptr;
}

std::string PageHub::commandLocked(std::string_view op) {
  std::string command =
      platform::format("{\"seq\":%llu,\"op\":", static_cast<unsigned long long>(m_nextSeq++));
  appendJsonString(command, op);
  return command;
}

void PageHub::pushToLocked(Page& page, std::string command) {
  // A page that does not poll loses its oldest commands rather than the program its memory.
  if (page.queue.size() >= m_options.maxQueuedCommands) page.queue.pop_front();
  page.queue.push_back(std::move(command));
}

void PageHub::pushLocked(const std::string& command, bool watchersToo) {
  for (std::size_t i = 0; i < m_pages.size(); ++i)
    if (i == 0 || watchersToo) pushToLocked(m_pages[i], command);
  m_changed.notify_all();
}

void PageHub::poll(std::string_view query, std::string& out) {
  const std::string id = queryParam(query, "page").value_or("");
  if (id.empty() || id.size() > kMaxIdLength) {
    appendPageResponse(out, "400 Bad Request", "text/plain", "no page\n");
    return;
  }
  std::unique_lock lock(m_mutex);
  const auto now = Clock::now();
  pruneLocked(now);
  Page* page = findLocked(id);
  // A new page hears its role at once, and any page as soon as its role changes.
  const bool fresh = page == nullptr;
  const bool droveAtStart = page != nullptr && page == &m_pages.front();
  // A poll sent just before the page left can arrive after its goodbye: it is answered "gone"
  // at once and must not bring the page back, or a closed page would drive until it timed out.
  const bool departed = std::find(m_departed.begin(), m_departed.end(), id) != m_departed.end();
  if (!page && !departed) {
    if (m_pages.size() >= m_options.maxPages) {
      lock.unlock();
      appendPageResponse(out, "503 Service Unavailable", "text/plain", "too many pages\n");
      return;
    }
    Page added{id, now, 0, {}};
    // A new page is shown what the program has loaded so far.
    for (const Document& document : m_documents) {
      std::string command = commandLocked("load");
      platform::appendFormat(
          command, ",\"doc\":%llu,\"key\":", static_cast<unsigned long long>(document.id));
      appendJsonString(command, document.key);
      added.queue.push_back(command + "}");
    }
    for (const auto& [name, visible] : m_visibility) {
      std::string command = commandLocked("show");
      command.append(",\"name\":");
      appendJsonString(command, name);
      command.append(visible ? ",\"visible\":true}" : ",\"visible\":false}");
      added.queue.push_back(std::move(command));
    }
    m_pages.push_back(std::move(added));
    m_changed.notify_all();
  }
  const auto deadline = now + m_options.pollHold;
  const auto ready = [&] {
    Page* p = findLocked(id);
    return fresh || m_closing || !p || !p->queue.empty() || (p == &m_pages.front()) != droveAtStart;
  };
  if (Page* p = findLocked(id)) ++p->polls;
  m_changed.wait_until(lock, deadline, ready);
  std::string body = "{\"role\":";
  Page* p = findLocked(id);
  body.append(!p ? "\"gone\"" : (p == &m_pages.front() ? "\"drive\"" : "\"watch\""));
  body.append(m_closing ? ",\"closing\":true" : ",\"closing\":false");
  body.append(",\"commands\":[");
  if (p) {
    --p->polls;
    p->lastSeen = Clock::now();
    for (std::size_t i = 0; !p->queue.empty(); ++i) {
      if (i > 0) body.push_back(',');
      body.append(p->queue.front());
      p->queue.pop_front();
    }
  }
  body.append("]}");
  lock.unlock();
  appendPageResponse(out, "200 OK", "application/json", body, "Cache-Control: no-store\r\n");
}

void PageHub::state(std::string_view query) {
  const std::string id = queryParam(query, "page").value_or("");
  const auto cam = realList<6>(queryParam(query, "cam").value_or(""));
  const auto pose = realList<14>(queryParam(query, "pose").value_or(""));
  const auto done = platform::parseReal(queryParam(query, "done").value_or("0"));
  const auto online = queryParam(query, "online");
  const auto version = realList<3>(queryParam(query, "version").value_or(""));
  std::lock_guard lock(m_mutex);
  Page* page = driverLocked();
  if (!page || page->id != id) return;  // watchers follow, they do not report
  page->lastSeen = Clock::now();
  if (online) m_online = *online != "0";
  if (version)
    m_version = std::array<int, 3>{static_cast<int>((*version)[0]), static_cast<int>((*version)[1]),
                                   static_cast<int>((*version)[2])};
  if (!cam || !pose || done < static_cast<double>(m_lastJump)) return;
  PageView view;
  view.camera.FocusPointLatitude = (*cam)[0];
  view.camera.FocusPointLongitude = (*cam)[1];
  view.camera.FocusPointAltitude = (*cam)[2];
  view.camera.Range = (*cam)[3];
  view.camera.Tilt = (*cam)[4];
  view.camera.Azimuth = (*cam)[5];
  const auto& v = *pose;
  view.position = {v[0], v[1], v[2]};
  view.direction = {v[3], v[4], v[5]};
  view.up = {v[6], v[7], v[8]};
  view.right = {v[9], v[10], v[11]};
  view.fovy = v[12];
  view.aspect = v[13];
  m_view = view;
  // Watching pages follow the driver's camera.
  if (m_pages.size() > 1) {
    std::string command = commandLocked("fly");
    platform::appendFormat(command,
                           ",\"lat\":%.10f,\"lon\":%.10f,\"alt\":%.3f,\"range\":%.3f,"
                           "\"tilt\":%.6f,\"heading\":%.6f,\"duration\":0}",
                           (*cam)[0], (*cam)[1], (*cam)[2], (*cam)[3], (*cam)[4], (*cam)[5]);
    for (std::size_t i = 1; i < m_pages.size(); ++i) pushToLocked(m_pages[i], command);
    m_changed.notify_all();
  }
}

void PageHub::bye(std::string_view query) {
  const std::string id = queryParam(query, "page").value_or("");
  if (id.empty() || id.size() > kMaxIdLength) return;
  std::lock_guard lock(m_mutex);
  std::erase_if(m_pages, [&](const Page& page) { return page.id == id; });
  if (m_departed.size() >= kDepartedKept) m_departed.pop_front();
  m_departed.push_back(id);
  m_changed.notify_all();
}

std::optional<std::string> PageHub::document(std::string_view query) {
  const auto id =
      static_cast<std::uint64_t>(platform::parseReal(queryParam(query, "id").value_or("0")));
  std::lock_guard lock(m_mutex);
  for (const Document& document : m_documents)
    if (document.id == id) return document.text;
  return std::nullopt;
}

void PageHub::close() {
  std::lock_guard lock(m_mutex);
  m_closing = true;
  m_changed.notify_all();
}

bool PageHub::attached() {
  std::lock_guard lock(m_mutex);
  return driverLocked() != nullptr;
}

bool PageHub::waitAttached(std::chrono::milliseconds timeout) {
  std::unique_lock lock(m_mutex);
  return m_changed.wait_for(lock, timeout, [&] { return driverLocked() != nullptr; });
}

void PageHub::requireDriver() {
  std::lock_guard lock(m_mutex);
  if (!driverLocked()) throw globe::EarthError("the globe page is not open");
}

globe::Camera PageHub::camera() {
  std::lock_guard lock(m_mutex);
  if (!driverLocked()) throw globe::EarthError("the globe page is not open");
  if (!m_view) throw globe::EarthError("the globe page has not shown its camera yet");
  return m_view->camera;
}

globe::TerrainPoint PageHub::pick(double x, double y) {
  PageView view;
  {
    std::lock_guard lock(m_mutex);
    if (!driverLocked()) throw globe::EarthError("the globe page is not open");
    if (!m_view) throw globe::EarthError("the globe page has not shown its camera yet");
    view = *m_view;
  }
  // The ray through the screen point, as the page's globe casts it for a pick.
  const double tanPhi = std::tan(view.fovy * 0.5);
  const double tanTheta = view.aspect * tanPhi;
  Vec3 dir = view.direction + view.right * (x * tanTheta) + view.up * (y * tanPhi);
  dir = dir * (1.0 / std::sqrt(dot(dir, dir)));
  // In coordinates where the ellipsoid is the unit sphere.
  const Vec3 q{view.position.x / kRadiusA, view.position.y / kRadiusA, view.position.z / kRadiusB};
  const Vec3 w{dir.x / kRadiusA, dir.y / kRadiusA, dir.z / kRadiusB};
  const double a = dot(w, w);
  const double b = 2.0 * dot(q, w);
  const double c = dot(q, q) - 1.0;
  const double disc = b * b - 4.0 * a * c;
  if (disc < 0.0 || a == 0.0) throw globe::EarthError("no point of the globe there");
  const double t = (-b - std::sqrt(disc)) / (2.0 * a);
  if (t < 0.0) throw globe::EarthError("no point of the globe there");
  const Vec3 p = view.position + dir * t;
  const Vec3 normal{p.x / (kRadiusA * kRadiusA), p.y / (kRadiusA * kRadiusA),
                    p.z / (kRadiusB * kRadiusB)};
  constexpr double kDegrees = 180.0 / 3.14159265358979323846;
  globe::TerrainPoint point;
  point.Longitude = std::atan2(p.y, p.x) * kDegrees;
  point.Latitude =
      std::asin(std::clamp(normal.z / std::sqrt(dot(normal, normal)), -1.0, 1.0)) * kDegrees;
  point.Altitude = 0.0;
  return point;
}

double PageHub::durationLocked(double speed) const {
  if (!(speed > 0.0) || speed >= globe::kInstantSpeed) return 0.0;
  const double seconds = m_options.flightBase.count() / 1000.0 / speed;
  return std::min(seconds, m_options.maxFlight.count() / 1000.0);
}

void PageHub::setCamera(const globe::Camera& camera, double speed) {
  std::lock_guard lock(m_mutex);
  if (!driverLocked()) throw globe::EarthError("the globe page is not open");
  const double duration = durationLocked(speed);
  std::string command = commandLocked("fly");
  platform::appendFormat(command,
                         ",\"lat\":%.10f,\"lon\":%.10f,\"alt\":%.3f,\"range\":%.3f,"
                         "\"tilt\":%.6f,\"heading\":%.6f,\"duration\":%.3f}",
                         camera.FocusPointLatitude, camera.FocusPointLongitude,
                         camera.FocusPointAltitude, camera.Range, camera.Tilt, camera.Azimuth,
                         duration);
  if (duration == 0.0) {
    // A jump is read back at once, as from Google Earth; the page's older reports no longer
    // count.
    m_lastJump = m_nextSeq - 1;
    if (m_view) m_view->camera = camera;
  }
  pushLocked(command);
}

void PageHub::openKml(std::string_view path) {
  auto bytes = platform::readRegularFile(std::filesystem::path(path), m_options.maxDocumentBytes);
  if (!bytes) throw globe::EarthError("cannot read " + std::string(path));
  std::lock_guard lock(m_mutex);
  if (!driverLocked()) throw globe::EarthError("the globe page is not open");
  // The same file loaded again replaces what it showed before.
  std::erase_if(m_documents, [&](const Document& d) { return d.key == path; });
  if (m_documents.size() >= m_options.maxDocuments) m_documents.erase(m_documents.begin());
  Document document{m_nextDocument++, std::string(path), std::string(bytes->begin(), bytes->end())};
  std::string command = commandLocked("load");
  platform::appendFormat(command,
                         ",\"doc\":%llu,\"key\":", static_cast<unsigned long long>(document.id));
  appendJsonString(command, document.key);
  command.push_back('}');
  m_documents.push_back(std::move(document));
  pushLocked(command);
}

bool PageHub::hasFeature(std::string_view name) {
  if (name.size() > kMaxNameLength) return false;
  const std::string tag = "<name>" + xmlEscaped(name) + "</name>";
  std::lock_guard lock(m_mutex);
  if (!driverLocked()) throw globe::EarthError("the globe page is not open");
  if (m_entryDocument.find(tag) != std::string::npos) return true;
  return std::any_of(m_documents.begin(), m_documents.end(),
                     [&](const Document& d) { return d.text.find(tag) != std::string::npos; });
}

bool PageHub::visibility(std::string_view name) {
  std::lock_guard lock(m_mutex);
  const auto found = m_visibility.find(name);
  return found == m_visibility.end() || found->second;
}

void PageHub::setVisibility(std::string_view name, bool visible) {
  std::lock_guard lock(m_mutex);
  if (!driverLocked()) throw globe::EarthError("the globe page is not open");
  m_visibility.insert_or_assign(std::string(name), visible);
  std::string command = commandLocked("show");
  command.append(",\"name\":");
  appendJsonString(command, name);
  command.append(visible ? ",\"visible\":true}" : ",\"visible\":false}");
  pushLocked(command);
}

void PageHub::featureView(std::string_view name, double speed) {
  std::lock_guard lock(m_mutex);
  if (!driverLocked()) throw globe::EarthError("the globe page is not open");
  std::string command = commandLocked("view");
  command.append(",\"name\":");
  appendJsonString(command, name);
  platform::appendFormat(command, ",\"duration\":%.3f}", durationLocked(speed));
  pushLocked(command);
}

double PageHub::autoPilotSpeed() {
  std::lock_guard lock(m_mutex);
  return m_autoPilotSpeed;
}

void PageHub::setAutoPilotSpeed(double speed) {
  std::lock_guard lock(m_mutex);
  m_autoPilotSpeed = speed;
}

bool PageHub::online() {
  std::lock_guard lock(m_mutex);
  return m_online;
}

std::array<int, 3> PageHub::version() {
  std::lock_guard lock(m_mutex);
  return m_version.value_or(
      std::array<int, 3>{m_options.versionMajor, m_options.versionMinor, m_options.versionBuild});
}

}  // namespace detail

namespace {

class PageFeature final : public globe::Feature {
 public:
  PageFeature(std::shared_ptr<detail::PageHub> hub, std::string name)
      : m_hub(std::move(hub)), m_name(std::move(name)) {}
  bool Visibility() const override { return m_hub->visibility(m_name); }
  void putVisibility(bool visible) override { m_hub->setVisibility(m_name, visible); }
  std::string Name() const override { return m_name; }

 private:
  std::shared_ptr<detail::PageHub> m_hub;
  std::string m_name;
};

class PageEarth final : public globe::Earth {
 public:
  explicit PageEarth(std::shared_ptr<detail::PageHub> hub) : m_hub(std::move(hub)) {}

  // The program's side is ready at once; whether a page is open shows in the calls below.
  bool IsInitialized() override { return true; }
  int VersionMajor() override { return m_hub->version()[0]; }
  int VersionMinor() override { return m_hub->version()[1]; }
  int VersionBuild() override { return m_hub->version()[2]; }
  bool IsOnline() override { return m_hub->online(); }

  void OpenKmlFile(std::string_view path, bool) override { m_hub->openKml(path); }
  std::unique_ptr<globe::Feature> GetFeatureByName(std::string_view name) override {
    if (!m_hub->hasFeature(name)) return nullptr;
    return std::make_unique<PageFeature>(m_hub, std::string(name));
  }
  void SetFeatureView(const globe::Feature& feature, double speed) override {
    m_hub->featureView(feature.Name(), speed);
  }
  globe::Camera GetCamera(bool) override { return m_hub->camera(); }
  void SetCamera(const globe::Camera& camera, double speed) override {
    m_hub->setCamera(camera, speed);
  }
  double AutoPilotSpeed() override { return m_hub->autoPilotSpeed(); }
  void putAutoPilotSpeed(double speed) override { m_hub->setAutoPilotSpeed(speed); }
  globe::TerrainPoint GetPointOnTerrainFromScreenCoords(double x, double y) override {
    return m_hub->pick(x, y);
  }
  std::uintptr_t GetRenderHwnd() override { return 0; }

 private:
  std::shared_ptr<detail::PageHub> m_hub;
};

}  // namespace

BrowserGlobe::BrowserGlobe(BrowserGlobeOptions options)
    : m_hub(std::make_shared<detail::PageHub>(std::move(options))) {}

BrowserGlobe::~BrowserGlobe() {
  m_hub->close();
}

std::unique_ptr<globe::Earth> BrowserGlobe::connect() {
  return std::make_unique<PageEarth>(m_hub);
}

globe::EarthFactory BrowserGlobe::factory() {
  return
      [hub = m_hub]() -> std::unique_ptr<globe::Earth> { return std::make_unique<PageEarth>(hub); };
}

void BrowserGlobe::setEntryDocument(std::string text) {
  m_hub->setEntryDocument(std::move(text));
}

void BrowserGlobe::setPickHandler(std::function<void(const PagePick&)> handler) {
  m_hub->setPickHandler(std::move(handler));
}

void BrowserGlobe::handleApi(std::string_view method, std::string_view target, std::string& out) {
  const auto question = target.find('?');
  const std::string_view name = target.substr(0, question);
  const std::string_view query =
      question == std::string_view::npos ? std::string_view() : target.substr(question + 1);
  // The goodbye comes as a beacon, which is a POST.
  if (method != "GET" && !(method == "POST" && name == "bye")) {
    appendPageResponse(out, "405 Method Not Allowed", "text/plain", "method not allowed\n",
                       "Allow: GET\r\n");
    return;
  }
  if (name == "poll") {
    m_hub->poll(query, out);
  } else if (name == "state") {
    m_hub->state(query);
    appendPageResponse(out, "204 No Content", {}, {});
  } else if (name == "pick") {
    m_hub->pick(query);
    appendPageResponse(out, "204 No Content", {}, {});
  } else if (name == "bye") {
    m_hub->bye(query);
    appendPageResponse(out, "204 No Content", {}, {});
  } else if (name == "doc") {
    if (const auto text = m_hub->document(query))
      appendPageResponse(out, "200 OK", "application/vnd.google-earth.kml+xml", *text,
                         "Cache-Control: no-store\r\n");
    else
      appendPageResponse(out, "404 Not Found", "text/plain", "not found\n");
  } else {
    appendPageResponse(out, "404 Not Found", "text/plain", "not found\n");
  }
}

void BrowserGlobe::close() {
  m_hub->close();
}

bool BrowserGlobe::attached() const {
  return m_hub->attached();
}

bool BrowserGlobe::waitAttached(std::chrono::milliseconds timeout) const {
  return m_hub->waitAttached(timeout);
}

}  // namespace tivra::web
