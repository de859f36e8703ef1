// Where the program keeps Tivra.ini and the tile store: --data-dir, else a Tivra.ini in the
// current directory, else the desktop's places; the real binary, as a user starts it.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "support/app_harness.h"
#include "support/process.h"
#include "support/raw_client.h"
#include "support/temp_dir.h"

namespace tivra::app {
namespace {

using namespace std::chrono_literals;

// The places a run may pick, under one temporary root.
enum class Place { kCwd, kDataDirArg, kXdg, kHome };

struct PlacesCase {
  const char* name;
  bool window;    // the window on Qt's offscreen platform, else --headless
  bool iniInCwd;  // the current directory holds a Tivra.ini
  bool dataDirArg;
  bool xdgSet;     // XDG_CONFIG_HOME and XDG_DATA_HOME set, else only HOME
  Place expected;  // where Tivra.ini and the store must land
};

class DataPlacesTest : public ::testing::TestWithParam<PlacesCase> {
 protected:
  std::filesystem::path settingsDir(Place p) const {
    switch (p) {
      case Place::kCwd:
        return root / "cwd";
      case Place::kDataDirArg:
        return root / "arg";
      case Place::kXdg:
        return root / "xdg-config" / "tivra";
      case Place::kHome:
        return root / "home" / ".config" / "tivra";
    }
    return {};
  }
  std::filesystem::path storeDir(Place p) const {
    switch (p) {
      case Place::kCwd:
        return root / "cwd";
      case Place::kDataDirArg:
        return root / "arg";
      // Not there yet, parents included: the program makes it.
      case Place::kXdg:
        return root / "xdg-data" / "deeper" / "tivra";
      case Place::kHome:
        return root / "home" / ".local" / "share" / "tivra";
    }
    return {};
  }
  std::vector<std::string> environment(bool xdgSet, bool window) const {
    std::vector<std::string> env = {"HOME=" + (root / "home").string(),
                                    "XDG_RUNTIME_DIR=" + root.path().string(),
                                    "XDG_CONFIG_HOME=", "XDG_DATA_HOME="};
    if (xdgSet) {
      env[2] += (root / "xdg-config").string();
      env[3] += (root / "xdg-data" / "deeper").string();
    }
    if (window) env.push_back("QT_QPA_PLATFORM=offscreen");
    return env;
  }

  test::TempDir root;
};

TEST_P(DataPlacesTest, SettingsAndStoreLandWhereTheRulesSay) {
  const PlacesCase& c = GetParam();
  const std::uint16_t port = test::freePort();
  ASSERT_NE(port, 0);
  std::filesystem::create_directories(root / "cwd");
  std::filesystem::create_directories(root / "home");
  // The expected place holds the port; a Tivra.ini in the current directory that must lose
  // holds no port, so a wrong pick shows as a server that never answers on it.
  std::filesystem::create_directories(settingsDir(c.expected));
  std::ofstream(settingsDir(c.expected) / "Tivra.ini")
      << "[settings]\r\nTcpPort=" << port << "\r\n";
  if (c.iniInCwd && c.expected != Place::kCwd)
    std::ofstream(root / "cwd" / "Tivra.ini") << "[settings]\r\n";

  std::vector<std::string> args = {"-WW"};
  if (!c.window) args.insert(args.begin(), "--headless");
  if (c.dataDirArg) args.insert(args.end(), {"--data-dir", (root / "arg").string()});
  test::Process tivra(TIVRA_BINARY, args, environment(c.xdgSet, c.window), root / "stderr.txt",
                      root / "cwd");
  const bool served = test::eventually(
      [&] {
        const auto answer = test::exchange(port, "GET /GPSServer HTTP/1.1\r\n\r\n", 2s);
        return answer && answer->find("<Document>") != std::string::npos;
      },
      20s);
  ASSERT_TRUE(served) << test::readFile(root / "stderr.txt");
  tivra.signal(SIGTERM);
  ASSERT_EQ(tivra.wait(20s), 0) << test::readFile(root / "stderr.txt");

  for (const Place p : {Place::kCwd, Place::kDataDirArg, Place::kXdg, Place::kHome}) {
    SCOPED_TRACE(settingsDir(p).string());
    // Written whole at shutdown: the camera keys show which file the run used.
    const bool written =
        test::readFile(settingsDir(p) / "Tivra.ini").find("CameraRange=") != std::string::npos;
    EXPECT_EQ(written, p == c.expected);
    EXPECT_EQ(std::filesystem::exists(storeDir(p) / "TivraCache.idx"), p == c.expected);
  }
  struct stat info {};
  ASSERT_EQ(::stat(storeDir(c.expected).c_str(), &info), 0);
  // A directory the program made is the user's alone.
  if (c.expected == Place::kXdg || c.expected == Place::kHome) {
    EXPECT_EQ(info.st_mode & 0777, 0700u);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Places, DataPlacesTest,
    ::testing::Values(PlacesCase{"WindowDesktopPlaces", true, false, false, true, Place::kXdg},
                      PlacesCase{"WindowHomeDefaults", true, false, false, false, Place::kHome},
                      PlacesCase{"WindowIniInCwd", true, true, false, true, Place::kCwd},
                      PlacesCase{"WindowDataDirWins", true, true, true, true, Place::kDataDirArg},
                      PlacesCase{"HeadlessDesktopPlaces", false, false, false, true, Place::kXdg},
                      PlacesCase{"HeadlessIniInCwd", false, true, false, false, Place::kCwd},
                      PlacesCase{"HeadlessDataDirWins", false, false, true, true,
                                 Place::kDataDirArg}),
    [](const auto& p) { return std::string(p.param.name); });

// A place that cannot be made ends the start with status 2 and names it.
TEST(DataPlacesFailure, UnusableStorePlaceIsReportedAndNothingRuns) {
  test::TempDir root;
  std::ofstream(root / "file") << "not a directory";
  test::Process tivra(
      TIVRA_BINARY, {"--headless", "-WW"},
      {"HOME=" + root.path().string(), "XDG_RUNTIME_DIR=" + root.path().string(),
       "XDG_CONFIG_HOME=" + root.path().string(), "XDG_DATA_HOME=" + (root / "file").string()},
      root / "stderr.txt", root.path());
  EXPECT_EQ(tivra.wait(20s), 2);
  EXPECT_NE(test::readFile(root / "stderr.txt")
                .find("tivra: cannot use data directory " + (root / "file" / "tivra").string()),
            std::string::npos);
}

}  // namespace
}  // namespace tivra::app
