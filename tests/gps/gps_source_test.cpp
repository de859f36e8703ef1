#include "gps/gps_source.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <string>

#include "gps/gps_controller.h"
#include "support/nmea_text.h"
#include "support/process.h"
#include "support/temp_dir.h"
#include "support/test_pty.h"

namespace tivra::gps {
namespace {

using namespace std::chrono_literals;

class RecordingEvents final : public GpsEvents {
 public:
  void dataStarted() override { add('S'); }
  void dataStopped() override { add('E'); }
  // True once the events so far begin with sequence (more may follow before the wait wakes).
  bool waitFor(const std::string& sequence, std::chrono::milliseconds limit = 5s) {
    std::unique_lock lock(m_mutex);
    return m_changed.wait_for(lock, limit, [&] { return m_log.starts_with(sequence); });
  }
  std::string log() {
    std::lock_guard lock(m_mutex);
    return m_log;
  }

 private:
  void add(char c) {
    std::lock_guard lock(m_mutex);
    m_log.push_back(c);
    m_changed.notify_all();
  }
  std::mutex m_mutex;
  std::condition_variable m_changed;
  std::string m_log;
};

const char* const kEpochs[] = {
    "$GPGGA,083259.000,2445.4970,N,12057.4576,E,1,08,1.0,38.2,M,,,,*36",
    "$GPGGA,083300.000,2445.4980,N,12057.4576,E,1,08,1.0,38.2,M,,,,*34",
    "$GPGGA,083301.000,2445.4990,N,12057.4576,E,1,08,1.0,38.2,M,,,,*34",
    "$GPGGA,083302.000,2445.5000,N,12057.4576,E,1,08,1.0,38.2,M,,,,*36",
};

std::string recording(std::string_view terminator) {
  std::string text = "# a comment line" + std::string(terminator);
  for (const char* line : kEpochs) text += line + std::string(terminator);
  return text;
}

class FileSource : public ::testing::TestWithParam<const char*> {};

TEST_P(FileSource, PlaysTheFileAndReportsItsEnd) {
  test::TempDir dir;
  const auto path = dir / "track.nmea";
  std::ofstream(path, std::ios::binary) << recording(GetParam());
  RecordingEvents events;
  auto source = GpsSource::openFile(path, 0.0, events);
  ASSERT_TRUE(source);
  ASSERT_TRUE(events.waitFor("SE"));
  std::lock_guard lock(source->data().lock);
  ASSERT_EQ(source->data().history.size(), 3u);  // the last fix is never appended
  EXPECT_NEAR(source->data().history[2].latitude.get(), 24.758317, 1e-6);
}

INSTANTIATE_TEST_SUITE_P(LineEnds, FileSource, ::testing::Values("\r\n", "\n", "\r"));

// Twelve epochs of a receiver that sends UBX frames before each GGA, one GGA damaged by a NUL
// byte in its altitude: read up to the NUL it would say 3 m.
std::string binaryAndNmea() {
  std::string stream;
  for (int s = 0; s < 12; ++s) {
    char body[96];
    std::snprintf(body, sizeof body, "GPGGA,0833%02d.000,2445.4970,N,12057.4576,E,1,08,1.0,38.2,M",
                  s);
    std::string gga = test::nmeaSentence(body);
    if (s == 5) gga.insert(gga.find("38.2") + 1, 1, '\0');
    stream += test::ubxFrame() + gga;
  }
  return stream;
}

class BinaryBeforeSentences : public ::testing::TestWithParam<SourceType> {};

TEST_P(BinaryBeforeSentences, EveryWholeSentenceIsReadAndTheDamagedOneDropped) {
  test::TempDir dir;
  RecordingEvents events;
  std::shared_ptr<GpsSource> source;
  std::unique_ptr<test::TestPty> receiver;
  if (GetParam() == SourceType::File) {
    std::ofstream(dir / "ubx.nmea", std::ios::binary) << binaryAndNmea();
    source = GpsSource::openFile(dir / "ubx.nmea", 0.0, events);
    ASSERT_TRUE(events.waitFor("SE"));
  } else {
    receiver = std::make_unique<test::TestPty>();
    source = GpsSource::openSerial(receiver->slavePath(), 4800, events);
    receiver->write(binaryAndNmea());
    test::eventually(
        [&] {
          std::lock_guard lock(source->data().lock);
          return source->data().history.size() >= 10;
        },
        5s);
  }
  source->stop();
  // Eleven whole epochs, the last never appended.
  ASSERT_EQ(source->data().history.size(), 10u);
  for (const GpsFix& fix : source->data().history) {
    EXPECT_NEAR(fix.longitude.get(), 120.957627, 1e-6);
    EXPECT_DOUBLE_EQ(fix.altitude.get(), 38.2);
  }
}

INSTANTIATE_TEST_SUITE_P(Sources, BinaryBeforeSentences,
                         ::testing::Values(SourceType::File, SourceType::Serial),
                         [](const auto& param) {
                           return param.param == SourceType::File ? "File" : "Serial";
                         });

TEST(FileSourceChoice, ParserFollowsTheNameAndMissingFilesFail) {
  test::TempDir dir;
  const std::string plt =
      "OziExplorer Track Point File Version 2.1\nWGS 84\nAltitude is in Feet\nReserved 3\n"
      "0,2,255,t,0,0,2,0\n2\n58.8,42.6,0,500,40230.5\n58.9,42.6,0,500,40230.6\n"
      "59.0,42.6,0,500,40230.7\n";
  std::ofstream(dir / "a.PLT") << plt;
  std::ofstream(dir / "a.txt") << plt;
  RecordingEvents pltEvents, txtEvents;
  auto pltSource = GpsSource::openFile(dir / "a.PLT", 0, pltEvents);
  auto txtSource = GpsSource::openFile(dir / "a.txt", 0, txtEvents);
  ASSERT_TRUE(pltEvents.waitFor("SE"));
  ASSERT_TRUE(txtEvents.waitFor("SE"));
  EXPECT_EQ(pltSource->data().history.size(), 2u);
  EXPECT_TRUE(txtSource->data().history.empty());
  RecordingEvents none;
  EXPECT_FALSE(GpsSource::openFile(dir / "missing.nmea", 0, none));
}

TEST(FileSourceStop, EndsAPacingSleepAtOnce) {
  test::TempDir dir;
  // An hour's gap between the second and third fix, played in real time.
  std::ofstream(dir / "gap.nmea") << kEpochs[0] << "\n"
                                  << kEpochs[1] << "\n"
                                  << "$GPGGA,093300.000,2445.4980,N,12057.4576,E,1,08,1,1,M\n"
                                  << kEpochs[3] << "\n";
  RecordingEvents events;
  auto source = GpsSource::openFile(dir / "gap.nmea", 1.0, events);
  ASSERT_TRUE(events.waitFor("S"));
  std::this_thread::sleep_for(1200ms);  // into the long sleep
  const auto before = std::chrono::steady_clock::now();
  source->stop();
  EXPECT_LT(std::chrono::steady_clock::now() - before, 1s);
  EXPECT_EQ(events.log(), "SE");
}

GpsControllerOptions fastController(std::string patterns) {
  GpsControllerOptions options;
  options.serialPatterns = std::move(patterns);
  options.probeSteps = 5;
  options.probeStep = 20ms;
  options.source.serial = SerialReaderOptions{10ms, 5, 50ms};
  return options;
}

TEST(GpsController, ProbesFindTheTalkingPortAndSilenceComesAndGoes) {
  test::TestPty silent, talking;
  RecordingEvents events;
  GpsController controller(events, fastController(silent.slavePath() + " " + talking.slavePath()));
  std::atomic<bool> talk = true;
  std::thread receiver([&] {
    while (talk) {
      talking.write(std::string(kEpochs[0]) + "\r\n");
      std::this_thread::sleep_for(5ms);
    }
  });
  EXPECT_THROW(controller.probePort(silent.slavePath()), NoGPSDetectedException);
  EXPECT_FALSE(controller.activeSource());
  EXPECT_EQ(controller.autoDetect(), talking.slavePath());
  EXPECT_TRUE(controller.isReceiving());
  EXPECT_EQ(controller.ports().size(), 2u);
  EXPECT_THROW(controller.autoDetect(), PortAlreadyOpenException);
  EXPECT_THROW(controller.openFile("/dev/null", 1.0), PortAlreadyOpenException);
  talk = false;
  receiver.join();
  ASSERT_TRUE(events.waitFor("SE"));  // silent after the idle limit
  talking.write(std::string(kEpochs[1]) + "\r\n");
  ASSERT_TRUE(events.waitFor("SES"));  // the same source receives again
  controller.stop();
  EXPECT_EQ(events.log(), "SESE");
}

TEST(GpsController, RefusesBadArgumentsAndMissingPorts) {
  RecordingEvents events;
  GpsController controller(events, fastController("/dev/ttyNoSuch*"));
  EXPECT_THROW(controller.openSerial("/dev/ttyNoSuch0", 0), std::invalid_argument);
  EXPECT_THROW(controller.openSerial("/dev/ttyNoSuch0", 4800), NoGPSDetectedException);
  EXPECT_THROW(controller.autoDetect(), GPSAutoDetectException);
  EXPECT_TRUE(controller.ports().empty());
  EXPECT_FALSE(controller.openFile("/nonexistent/track.nmea", 1.0));
}

}  // namespace
}  // namespace tivra::gps
