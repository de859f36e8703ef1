// Start-up and shutdown against a globe that fails at a chosen step: the program neither
// crashes nor hangs, and goes on as far as each failure allows.
#include <gtest/gtest.h>

#include <cmath>
#include <mutex>

#include "support/app_harness.h"
#include "support/process.h"

namespace tivra::app {
namespace {

using namespace tivra::globe;

// What the scripted globe does; failAt names the operation that throws EarthError every time.
struct Script {
  std::string failAt;
  bool ready = true;
  int build = 2416;
  bool online = true;
  bool nanCamera = false;
  bool noFeatures = false;
};

struct CallLog {
  std::mutex mutex;
  std::vector<std::string> calls;
  std::string openedText;  // the file's content when OpenKmlFile was called
  void add(std::string call) {
    std::lock_guard lock(mutex);
    calls.push_back(std::move(call));
  }
};

class ScriptedFeature final : public Feature {
 public:
  ScriptedFeature(std::string name, const Script& script, CallLog& log)
      : m_name(std::move(name)), m_script(script), m_log(log) {}
  bool Visibility() const override { return m_visible; }
  void putVisibility(bool visible) override {
    m_log.add("putVisibility(" + m_name + "," + std::to_string(visible) + ")");
    if (m_script.failAt == "putVisibility") throw EarthError("scripted");
    m_visible = visible;
  }
  std::string Name() const override { return m_name; }

 private:
  std::string m_name;
  const Script& m_script;
  CallLog& m_log;
  bool m_visible = false;
};

class ScriptedEarth final : public Earth {
 public:
  ScriptedEarth(Script script, std::shared_ptr<CallLog> log)
      : m_script(std::move(script)), m_log(std::move(log)) {}

  bool IsInitialized() override { return step("IsInitialized"), m_script.ready; }
  int VersionMajor() override { return step("VersionMajor"), 4; }
  int VersionMinor() override { return step("VersionMinor"), 0; }
  int VersionBuild() override { return step("VersionBuild"), m_script.build; }
  bool IsOnline() override { return step("IsOnline"), m_script.online; }
  void OpenKmlFile(std::string_view path, bool) override {
    m_log->openedText = test::readFile(std::string(path));
    step("OpenKmlFile");
  }
  std::unique_ptr<Feature> GetFeatureByName(std::string_view name) override {
    step("GetFeatureByName(" + std::string(name) + ")", "GetFeatureByName");
    if (m_script.noFeatures) return nullptr;
    return std::make_unique<ScriptedFeature>(std::string(name), m_script, *m_log);
  }
  void SetFeatureView(const Feature& feature, double speed) override {
    step("SetFeatureView(" + feature.Name() + "," + std::to_string(speed).substr(0, 3) + ")",
         "SetFeatureView");
  }
  Camera GetCamera(bool) override {
    step("GetCamera");
    Camera c;
    c.FocusPointLongitude = m_script.nanCamera ? std::nan("") : 121.5;
    c.FocusPointLatitude = 31.25;
    c.Range = 9999;
    return c;
  }
  void SetCamera(const Camera&, double) override { step("SetCamera"); }
  double AutoPilotSpeed() override { return 1.0; }
  void putAutoPilotSpeed(double) override {}
  TerrainPoint GetPointOnTerrainFromScreenCoords(double, double) override { return {}; }
  std::uintptr_t GetRenderHwnd() override { return 0; }

 private:
  void step(const std::string& call, const std::string& op = "") {
    m_log->add(call);
    if (m_script.failAt == (op.empty() ? call : op)) throw EarthError("scripted");
  }
  Script m_script;
  std::shared_ptr<CallLog> m_log;
};

constexpr const char* kCannotStart =
    "Tivra|无法启动Google Earth,请确认正常安装GE4.0.2091以上版本！";
constexpr const char* kUpgrade = "Tivra|GE4.0.2416以下版本部分重要功能无法使将用，建议升级！";

struct FaultCase {
  const char* name;
  Script script;
  std::optional<int> exitCode;  // nullopt: the program runs
  bool online;
  std::vector<std::string> messages;
  bool cameraWritten;
};

void PrintTo(const FaultCase& c, std::ostream* os) {
  *os << c.name;
}

std::unique_ptr<test::AppHarness> startWith(const Script& script, std::shared_ptr<CallLog> log,
                                            bool& started) {
  auto app = std::make_unique<test::AppHarness>(std::string(), true);
  app->options().earthWaits.maxInitializePolls = 5;
  app->options().earthFactory = [script, log]() -> std::unique_ptr<Earth> {
    log->add("create");
    if (script.failAt == "create") throw EarthError("scripted");
    return std::make_unique<ScriptedEarth>(script, log);
  };
  started = app->start();
  return app;
}

class GlobeFaultTest : public ::testing::TestWithParam<FaultCase> {};

TEST_P(GlobeFaultTest, StartAndShutdownGoOnAsFarAsTheFailureAllows) {
  const FaultCase& c = GetParam();
  auto log = std::make_shared<CallLog>();
  bool started = false;
  auto app = startWith(c.script, log, started);
  if (c.exitCode) {
    EXPECT_FALSE(started);
    EXPECT_EQ(app->exitCode(), *c.exitCode);
  } else {
    ASSERT_TRUE(started);
    EXPECT_TRUE(app->window().earthStarted());
  }
  EXPECT_EQ(app->window().online(), c.online);
  EXPECT_EQ(app->frontend().messages(), c.messages);
  const auto entryFile = app->window().entryFile();
  app->stop();
  const std::string ini = test::readFile(app->dataDir() / "Tivra.ini");
  if (c.cameraWritten) {
    EXPECT_NE(ini.find("CameraLongitude=121.500000\r\nCameraLatitude=31.250000\r\n"
                       "CameraRange=9999.000000\r\n"),
              std::string::npos)
        << ini;
  } else {
    EXPECT_NE(ini.find("CameraLongitude=111.200000\r\nCameraLatitude=32.600000\r\n"
                       "CameraRange=4750000.000000\r\n"),
              std::string::npos)
        << ini;
  }
  if (!entryFile.empty()) {
    EXPECT_FALSE(std::filesystem::exists(entryFile));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Steps, GlobeFaultTest,
    ::testing::Values(
        FaultCase{"AllWell", {}, std::nullopt, true, {}, true},
        FaultCase{"CannotCreate", {.failAt = "create"}, 3, true, {kCannotStart}, false},
        FaultCase{"InitialisedFails", {.failAt = "IsInitialized"}, 3, true, {kCannotStart}, false},
        FaultCase{"NeverReady", {.failAt = {}, .ready = false}, 3, true, {kCannotStart}, false},
        FaultCase{"OpenFails", {.failAt = "OpenKmlFile"}, std::nullopt, true, {}, true},
        FaultCase{"NoFeatures", {.failAt = {}, .noFeatures = true}, std::nullopt, true, {}, true},
        FaultCase{
            "FeatureLookupFails", {.failAt = "GetFeatureByName"}, std::nullopt, true, {}, false},
        FaultCase{"VisibilityFails", {.failAt = "putVisibility"}, std::nullopt, true, {}, false},
        FaultCase{"FlightFails", {.failAt = "SetFeatureView"}, std::nullopt, true, {}, true},
        FaultCase{"OnlineStateFails", {.failAt = "IsOnline"}, std::nullopt, true, {}, true},
        FaultCase{"VersionFails", {.failAt = "VersionBuild"}, std::nullopt, true, {}, true},
        FaultCase{"CameraFails", {.failAt = "GetCamera"}, std::nullopt, true, {}, false},
        FaultCase{
            "CameraNotANumber", {.failAt = {}, .nanCamera = true}, std::nullopt, true, {}, false},
        FaultCase{"Offline", {.failAt = {}, .online = false}, std::nullopt, false, {}, true},
        FaultCase{
            "OldVersion", {.failAt = {}, .build = 2091}, std::nullopt, true, {kUpgrade}, true},
        FaultCase{"OldVersionOffline",
                  {.failAt = {}, .build = 2091, .online = false},
                  std::nullopt,
                  false,
                  {},
                  true}),
    [](const auto& tpi) { return std::string(tpi.param.name); });

TEST(GlobeOrderTest, StartAndShutdownTalkToTheGlobeInOrder) {
  auto log = std::make_shared<CallLog>();
  bool started = false;
  auto app = startWith(Script{}, log, started);
  ASSERT_TRUE(started);
  const std::string entry = app->window().entryDocument();
  app->stop();
  EXPECT_EQ(log->openedText, entry);
  const std::vector<std::string> expected = {
      "create",
      "IsInitialized",
      "OpenKmlFile",
      "GetFeatureByName(Tivra)",
      "putVisibility(Tivra,1)",
      "SetFeatureView(Tivra,0.1)",
      "IsOnline",
      "VersionMajor",
      "VersionMinor",
      "VersionBuild",
      "GetFeatureByName(Tivra Overlay)",
      "putVisibility(Tivra Overlay,0)",
      "GetFeatureByName(Tivra GPS)",
      "putVisibility(Tivra GPS,0)",
      "GetCamera",
  };
  EXPECT_EQ(log->calls, expected);
}

TEST(GlobeOrderTest, WithoutTheGlobeNothingIsCreatedAndTilesMayBeDownloaded) {
  auto log = std::make_shared<CallLog>();
  test::AppHarness app(std::string(), false);
  app.options().earthFactory = [log]() -> std::unique_ptr<Earth> {
    log->add("create");
    return nullptr;
  };
  ASSERT_TRUE(app.start());
  EXPECT_FALSE(app.window().earthStarted());
  EXPECT_TRUE(app.window().online());
  app.stop();
  EXPECT_TRUE(log->calls.empty());
}

}  // namespace
}  // namespace tivra::app
