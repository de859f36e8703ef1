#pragma once

// The simulated globe for the search tests, with a handle that records what the search code
// asks of it: the bytes of every document it was handed (read while the file exists) and
// every camera sent.

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "globe/sim_globe.h"
#include "support/globe_helpers.h"
#include "support/test_http_get.h"
#include "support/test_image.h"

namespace tivra::test {

struct SentCamera {
  globe::Camera camera;
  double speed = 0.0;
  globe::TerrainPoint before;  // the view centre when it was sent
};

struct GlobeLog {
  std::mutex mutex;
  std::vector<std::string> openedFiles;  // the bytes of each opened document
  std::vector<std::string> openedPaths;
  std::vector<SentCamera> cameras;
  std::function<void()> onSetCamera;  // called after each recorded SetCamera
  // Sees, and may change, every terrain point read through a recording handle.
  std::function<void(globe::TerrainPoint&)> onTerrainPoint;
};

class RecordingEarth final : public globe::Earth {
 public:
  RecordingEarth(std::unique_ptr<globe::Earth> inner, std::shared_ptr<GlobeLog> log);
  bool IsInitialized() override { return m_inner->IsInitialized(); }
  int VersionMajor() override { return m_inner->VersionMajor(); }
  int VersionMinor() override { return m_inner->VersionMinor(); }
  int VersionBuild() override { return m_inner->VersionBuild(); }
  bool IsOnline() override { return m_inner->IsOnline(); }
  void OpenKmlFile(std::string_view path, bool suppressMessages) override;
  std::unique_ptr<globe::Feature> GetFeatureByName(std::string_view name) override {
    return m_inner->GetFeatureByName(name);
  }
  void SetFeatureView(const globe::Feature& f, double speed) override {
    m_inner->SetFeatureView(f, speed);
  }
  globe::Camera GetCamera(bool considerTerrain) override {
    return m_inner->GetCamera(considerTerrain);
  }
  void SetCamera(const globe::Camera& camera, double speed) override;
  double AutoPilotSpeed() override { return m_inner->AutoPilotSpeed(); }
  void putAutoPilotSpeed(double speed) override { m_inner->putAutoPilotSpeed(speed); }
  globe::TerrainPoint GetPointOnTerrainFromScreenCoords(double x, double y) override;
  std::uintptr_t GetRenderHwnd() override { return m_inner->GetRenderHwnd(); }

 private:
  std::unique_ptr<globe::Earth> m_inner;
  std::shared_ptr<GlobeLog> m_log;
};

// A globe looking straight down at Beijing, with short flights: speed 0.25 flies 40 ms.
class SearchGlobe {
 public:
  SearchGlobe();
  globe::SimGlobe& sim() { return *m_globe; }
  std::unique_ptr<globe::Earth> connect();
  globe::EarthFactory factory();
  GlobeLog& log() { return *m_log; }

 private:
  std::unique_ptr<globe::SimGlobe> m_globe;
  std::shared_ptr<GlobeLog> m_log = std::make_shared<GlobeLog>();
};

}  // namespace tivra::test
