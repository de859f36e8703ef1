// A source fed by the real gpsd, which gpsfake starts on a free port and feeds from a receiver
// log: the sentences gpsd relays become the same fixes as the log read directly.
#include <gtest/gtest.h>
#include <signal.h>

#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "gps/gps_source.h"
#include "gps/line_splitter.h"
#include "support/app_harness.h"
#include "support/process.h"
#include "support/temp_dir.h"

namespace tivra::gps {
namespace {

using namespace std::chrono_literals;

class Events final : public GpsEvents {
 public:
  void dataStarted() override { ++started; }
  void dataStopped() override { ++stopped; }
  std::atomic<int> started = 0, stopped = 0;
};

class NoClock final : public PacingClock {
 public:
  std::int64_t nowMs() override { return 0; }
  void sleepMs(std::int64_t) override {}
};

FixHistory readDirectly(const std::filesystem::path& log) {
  std::ifstream in(log, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  GpsData data;
  NoClock clock;
  NmeaParser parser(data, 0, clock);
  LineSplitter splitter;
  splitter.append(text.str(), [&](std::string_view line) { parser.processLine(line); });
  return data.history;
}

TEST(Gpsd, RelaysTheReceiverOnceGpsdIsUp) {
  if (std::system("command -v gpsfake >/dev/null 2>&1 && command -v gpsd >/dev/null 2>&1") != 0) {
    GTEST_SKIP() << "gpsd and gpsfake are not installed (Debian packages gpsd, gpsd-clients)";
  }
  test::TempDir dir;
  const std::uint16_t port = test::freePort();
  GpsSourceOptions options;
  options.gpsd.pollInterval = 20ms;
  options.gpsd.reconnectInterval = 100ms;
  options.gpsd.idleLimit = 10;
  Events events;
  // While gpsd is away there is no source, as for a serial port that cannot be opened.
  EXPECT_FALSE(GpsSource::openGpsd("127.0.0.1", port, events, options));
  EXPECT_EQ(events.started, 0);

  const auto log = std::filesystem::path(TIVRA_TEST_DATA_DIR) / "gps" / "nmea-rtk.log";
  test::Process gpsfake(
      "/bin/sh",
      {"-c", "exec gpsfake -q -1 -c 0.02 -P " + std::to_string(port) + " " + log.string()}, {},
      dir / "gpsfake.err");
  std::shared_ptr<GpsSource> source;
  ASSERT_TRUE(test::eventually(
      [&] { return (source = GpsSource::openGpsd("127.0.0.1", port, events, options)) != nullptr; },
      30s))
      << test::readFile(dir / "gpsfake.err");
  const auto fixes = [&] {
    std::lock_guard lock(source->data().lock);
    return source->data().history.size();
  };
  EXPECT_TRUE(test::eventually([&] { return fixes() >= 10; }, 60s))
      << test::readFile(dir / "gpsfake.err");
  EXPECT_GE(events.started, 1);
  // gpsd goes away: the source falls silent and keeps trying to reconnect.
  gpsfake.signal(SIGINT);  // gpsfake ends its gpsd on an interrupt, not on SIGTERM
  gpsfake.wait(20s);
  EXPECT_TRUE(test::eventually([&] { return events.stopped >= 1; }, 10s));
  source->stop();

  const FixHistory direct = readDirectly(log);
  std::lock_guard lock(source->data().lock);
  for (const GpsFix& fix : source->data().history) {
    const bool known = std::any_of(direct.begin(), direct.end(), [&](const GpsFix& d) {
      // gpsd may relay from mid-stream, before the first date: compare the time of day.
      return d.time % 86400 == fix.time % 86400 && d.milliseconds == fix.milliseconds &&
             d.latitude.get() == fix.latitude.get() && d.longitude.get() == fix.longitude.get();
    });
    EXPECT_TRUE(known) << fix.time << " " << fix.latitude.get() << "," << fix.longitude.get();
  }
}

}  // namespace
}  // namespace tivra::gps
