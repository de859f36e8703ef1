#include "support/search_globe.h"

#include "support/process.h"

namespace tivra::test {

using namespace std::chrono_literals;

RecordingEarth::RecordingEarth(std::unique_ptr<globe::Earth> inner, std::shared_ptr<GlobeLog> log)
    : m_inner(std::move(inner)), m_log(std::move(log)) {}

void RecordingEarth::OpenKmlFile(std::string_view path, bool suppressMessages) {
  {
    std::lock_guard lock(m_log->mutex);
    m_log->openedPaths.emplace_back(path);
    m_log->openedFiles.push_back(readFile(std::string(path)));
  }
  m_inner->OpenKmlFile(path, suppressMessages);
}

void RecordingEarth::SetCamera(const globe::Camera& camera, double speed) {
  const globe::TerrainPoint before = m_inner->GetPointOnTerrainFromScreenCoords(0.0, 0.0);
  m_inner->SetCamera(camera, speed);
  std::function<void()> hook;
  {
    std::lock_guard lock(m_log->mutex);
    m_log->cameras.push_back({camera, speed, before});
    hook = m_log->onSetCamera;
  }
  if (hook) hook();
}

globe::TerrainPoint RecordingEarth::GetPointOnTerrainFromScreenCoords(double x, double y) {
  globe::TerrainPoint point = m_inner->GetPointOnTerrainFromScreenCoords(x, y);
  std::function<void(globe::TerrainPoint&)> hook;
  {
    std::lock_guard lock(m_log->mutex);
    hook = m_log->onTerrainPoint;
  }
  if (hook) hook(point);
  return point;
}

SearchGlobe::SearchGlobe() {
  globe::SimGlobeOptions o;
  o.flightBase = 10ms;
  o.maxFlight = 200ms;
  o.initialCamera = cameraAt(116.4, 39.9, 10000.0);
  m_globe = std::make_unique<globe::SimGlobe>(
      globe::SimGlobeDeps{testHttpGet, decodeTestImage, nullptr}, o);
}

std::unique_ptr<globe::Earth> SearchGlobe::connect() {
  return std::make_unique<RecordingEarth>(m_globe->connect(), m_log);
}

globe::EarthFactory SearchGlobe::factory() {
  return [this]() -> std::unique_ptr<globe::Earth> { return connect(); };
}

}  // namespace tivra::test
