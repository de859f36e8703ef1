// The real window under a real window manager: a virtual X display (Xvfb) with openbox, the
// program on Qt's xcb platform, the pointer moved by xdotool. Skipped where they are missing.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <sstream>
#include <thread>

#include "support/app_harness.h"
#include "support/process.h"
#include "support/temp_dir.h"

namespace tivra::test {
namespace {

using namespace std::chrono_literals;

std::optional<std::filesystem::path> onPath(const char* program) {
  const char* path = std::getenv("PATH");
  std::istringstream dirs(path != nullptr ? path : "/usr/bin:/bin");
  for (std::string dir; std::getline(dirs, dir, ':');) {
    const std::filesystem::path candidate = std::filesystem::path(dir) / program;
    if (::access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return std::nullopt;
}

// A command's standard output (the command is ours, its arguments numbers).
std::string output(const std::string& command) {
  std::string out;
  const std::unique_ptr<FILE, int (*)(FILE*)> pipe(::popen(command.c_str(), "r"), ::pclose);
  if (!pipe) return out;
  std::array<char, 256> buffer{};
  while (std::fgets(buffer.data(), buffer.size(), pipe.get()) != nullptr) out += buffer.data();
  return out;
}

struct Position {
  int x = 0;
  int y = 0;
};

class WindowManagerTest : public testing::Test {
 protected:
  void SetUp() override {
    const auto xvfb = onPath("Xvfb");
    const auto openbox = onPath("openbox");
    if (!xvfb || !openbox || !onPath("xdotool") || !onPath("xprop") || !onPath("xwininfo"))
      GTEST_SKIP() << "Xvfb, openbox, xdotool or x11-utils missing (scripts/install-deps.sh)";
    // Xvfb picks a free display and writes its number to descriptor 3.
    const auto number = dir / "display";
    m_xvfb = std::make_unique<Process>(
        "/bin/sh",
        std::vector<std::string>{"-c", "exec '" + xvfb->string() +
                                           "' -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp "
                                           "3>'" +
                                           number.string() + "'"},
        std::vector<std::string>{}, dir / "xvfb.err");
    ASSERT_TRUE(eventually([&] { return readFile(number).find('\n') != std::string::npos; }, 10s))
        << readFile(dir / "xvfb.err");
    display = ":" + readFile(number).substr(0, readFile(number).find('\n'));
    // openbox gives up at once on a display that does not answer yet: started again then.
    const auto startOpenbox = [&] {
      m_openbox = std::make_unique<Process>(*openbox, std::vector<std::string>{},
                                            std::vector<std::string>{"DISPLAY=" + display},
                                            dir / "openbox.err");
    };
    startOpenbox();
    ASSERT_TRUE(eventually(
        [&] {
          if (!m_openbox->running()) startOpenbox();
          return x("xprop -root _NET_SUPPORTING_WM_CHECK").find("window id") != std::string::npos;
        },
        10s))
        << readFile(dir / "openbox.err");
  }

  std::string x(const std::string& command) {
    return output("DISPLAY=" + display + " " + command + " 2>/dev/null");
  }
  // The top-left corner of the program's window (inside openbox's frame) as the X server has it.
  std::optional<Position> window() {
    const std::string found = x("xdotool search --onlyvisible --name '^Tivra$'");
    if (found.empty()) return std::nullopt;
    const std::string info = x("xwininfo -id " + found.substr(0, found.find('\n')));
    const auto x0 = info.find("Absolute upper-left X:");
    const auto y0 = info.find("Absolute upper-left Y:");
    Position p;
    if (x0 == std::string::npos || y0 == std::string::npos ||
        std::sscanf(info.c_str() + x0, "Absolute upper-left X: %d", &p.x) != 1 ||
        std::sscanf(info.c_str() + y0, "Absolute upper-left Y: %d", &p.y) != 1)
      return std::nullopt;
    return p;
  }
  bool windowIs(const std::function<bool(Position)>& predicate, std::chrono::milliseconds timeout) {
    return eventually(
        [&] {
          const auto p = window();
          return p && predicate(*p);
        },
        timeout);
  }

  TempDir dir;
  std::string display;
  std::unique_ptr<Process> m_xvfb;
  std::unique_ptr<Process> m_openbox;
};

// Where the window starts docked, and where the pointer finds what shows of it once slid out.
struct EdgeCase {
  const char* name;
  int xPos, yPos;
  bool top;
};

class WindowManagerEdgeTest : public WindowManagerTest,
                              public testing::WithParamInterface<EdgeCase> {};

TEST_P(WindowManagerEdgeTest, SlidingOutAndInKeepsTheWindowDocked) {
  const EdgeCase& c = GetParam();
  std::ofstream(dir / "Tivra.ini") << "[settings]\r\nTcpPort=" << freePort()
                                   << "\r\nXPos=" << c.xPos << "\r\nYPos=" << c.yPos << "\r\n";
  x("xdotool mousemove 700 600");
  Process tivra(
      TIVRA_BINARY, {"-WW", "--data-dir", dir.path().string()},
      {"DISPLAY=" + display, "QT_QPA_PLATFORM=xcb", "XDG_RUNTIME_DIR=" + dir.path().string(),
       // Under the address sanitizer: the session bus library's own leak at exit is not ours.
       std::string("LSAN_OPTIONS=suppressions=") + TIVRA_TEST_DATA_DIR + "/lsan.supp"},
      dir / "tivra.err");
  const auto hidden = [&](Position p) { return (c.top ? p.y : p.x) < -100; };
  const auto shown = [&](Position p) {
    const int edge = c.top ? p.y : p.x;
    return edge >= 0 && edge < 40;  // the client inside openbox's frame
  };
  const auto where = [&] {
    const auto p = window();
    return p ? std::to_string(p->x) + "," + std::to_string(p->y) : std::string("none");
  };
  // The pointer away: after a second the window slides out, and openbox stops it short of the
  // asked position with part of it showing.
  ASSERT_TRUE(windowIs(hidden, 20s)) << where() << " " << readFile(dir / "tivra.err");
  const Position out = *window();
  // The manager's answer, taken as the user's move, would undock the window 5 pixels inside.
  std::this_thread::sleep_for(500ms);
  EXPECT_TRUE(windowIs([&](Position p) { return p.x == out.x && p.y == out.y; }, 0ms)) << where();
  // The pointer over what shows of it: it slides in, and out again once the pointer leaves.
  x(c.top ? "xdotool mousemove " + std::to_string(out.x + 60) + " 4"
          : "xdotool mousemove 4 " + std::to_string(out.y + 60));
  EXPECT_TRUE(windowIs(shown, 5s)) << where();
  x("xdotool mousemove 700 600");
  EXPECT_TRUE(windowIs(hidden, 5s)) << where();
  tivra.signal(SIGTERM);
  EXPECT_EQ(tivra.wait(20s), 0) << readFile(dir / "tivra.err");
}

INSTANTIATE_TEST_SUITE_P(Edges, WindowManagerEdgeTest,
                         testing::Values(EdgeCase{"Left", 0, 300, false},
                                         EdgeCase{"Top", 500, 0, true}),
                         [](const auto& param) { return param.param.name; });

}  // namespace
}  // namespace tivra::test
