#include <gtest/gtest.h>

#include <fcntl.h>
#include <pty.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>

#include "gps/serial_gps_reader.h"
#include "platform/serial_port.h"
#include "support/test_pty.h"

namespace tivra::gps {
namespace {

using namespace std::chrono_literals;
using platform::SerialError;
using platform::SerialPort;
using platform::SerialSettings;
using test::TestPty;

int openError(const std::string& device, const SerialSettings& settings) {
  SerialPort port;
  try {
    port.open(device, settings);
  } catch (const SerialError& e) {
    EXPECT_NE(std::string(e.what()), "");
    return e.code();
  }
  return 0;
}

struct ModeCase {
  const char* name;
  SerialSettings settings;
  int error;
};

class SerialModes : public ::testing::TestWithParam<ModeCase> {};

TEST_P(SerialModes, OpenOrRefuse) {
  TestPty pty;
  EXPECT_EQ(openError(pty.slavePath(), GetParam().settings), GetParam().error);
}

using platform::FlowControl;
using platform::Parity;
using platform::StopBits;
INSTANTIATE_TEST_SUITE_P(
    Table, SerialModes,
    ::testing::Values(
        ModeCase{"Default", {}, 0}, ModeCase{"Fast", {.baud = 115200}, 0},
        ModeCase{"Even", {.parity = Parity::Even}, 0}, ModeCase{"Odd", {.parity = Parity::Odd}, 0},
        ModeCase{"Mark", {.parity = Parity::Mark}, 0},
        ModeCase{"Space", {.parity = Parity::Space}, 0}, ModeCase{"SevenBits", {.dataBits = 7}, 0},
        ModeCase{"TwoStop", {.stopBits = StopBits::Two}, 0},
        ModeCase{"RtsCts", {.flow = FlowControl::CtsRts}, 0},
        ModeCase{"XonXoff", {.flow = FlowControl::XonXoff}, 0},
        ModeCase{"OddBaud", {.baud = 12345}, EINVAL}, ModeCase{"ZeroBaud", {.baud = 0}, EINVAL},
        ModeCase{"NineBits", {.dataBits = 9}, EINVAL},
        ModeCase{"OneAndHalfStop", {.stopBits = StopBits::OneAndHalf}, EINVAL},
        ModeCase{"DsrDtr", {.flow = FlowControl::DsrDtr}, EINVAL},
        ModeCase{"CtsDtr", {.flow = FlowControl::CtsDtr}, EINVAL}),
    [](const auto& param) { return std::string(param.param.name); });

TEST(SerialPort, MissingBusyAndNonTerminalDevicesAreRefused) {
  EXPECT_EQ(openError("/dev/ttyNoSuchPort7", {}), ENOENT);
  EXPECT_EQ(openError("/dev/null", {}), ENOTTY);
  TestPty pty;
  SerialPort first;
  first.open(pty.slavePath(), {});
  EXPECT_EQ(openError(pty.slavePath(), {}), EBUSY);
}

TEST(SerialPortList, ListsMatchingDevicesInNumericOrder) {
  TestPty a, b;
  const auto ports = platform::enumerateSerialPorts(b.slavePath() + "  /dev/ttyNoSuch* " +
                                                    a.slavePath() + " " + a.slavePath());
  auto expected = std::vector<std::string>{a.slavePath(), b.slavePath()};
  std::sort(expected.begin(), expected.end(), platform::naturalLess);
  EXPECT_EQ(ports, expected);
  EXPECT_TRUE(platform::enumerateSerialPorts("/dev/ttyNoSuch*").empty());
  EXPECT_TRUE(platform::naturalLess("/dev/ttyS2", "/dev/ttyS10"));
  EXPECT_TRUE(platform::naturalLess("/dev/ttyACM9", "/dev/ttyS0"));
  EXPECT_FALSE(platform::naturalLess("/dev/ttyUSB10", "/dev/ttyUSB10"));
  EXPECT_TRUE(platform::naturalLess("/dev/ttyUSB1", "/dev/ttyUSB01a"));
}

class RecordingSink final : public ReaderSink {
 public:
  void textReceived(std::string_view text) override {
    std::lock_guard lock(m_mutex);
    m_text += text;
    ++m_chunks;
    m_changed.notify_all();
  }
  void silence() override {
    std::lock_guard lock(m_mutex);
    ++m_silences;
    m_changed.notify_all();
  }
  template <class Predicate>
  bool waitFor(Predicate done, std::chrono::milliseconds limit = 5s) {
    std::unique_lock lock(m_mutex);
    return m_changed.wait_for(lock, limit, [&] { return done(*this); });
  }
  std::string text() {
    std::lock_guard lock(m_mutex);
    return m_text;
  }
  int silences() {
    std::lock_guard lock(m_mutex);
    return m_silences;
  }

  std::string m_text;
  int m_chunks = 0;
  int m_silences = 0;

 private:
  std::mutex m_mutex;
  std::condition_variable m_changed;
};

constexpr SerialReaderOptions kFast{.pollInterval = 10ms, .idleLimit = 5, .reopenInterval = 50ms};

TEST(SerialGpsReader, TextFlowsThenSilenceThenTextAgain) {
  TestPty pty;
  RecordingSink sink;
  SerialGpsReader reader(sink, kFast);
  reader.start(pty.slavePath(), 8, 4800);
  pty.write("$GPGGA,1\r\n$GP");
  ASSERT_TRUE(sink.waitFor([](auto& s) { return s.m_text == "$GPGGA,1\r\n$GP"; }));
  ASSERT_TRUE(sink.waitFor([](auto& s) { return s.m_silences >= 1; }));
  EXPECT_EQ(sink.text(), "$GPGGA,1\r\n$GP");
  pty.write("RMC\r\n");
  EXPECT_TRUE(sink.waitFor([](auto& s) { return s.m_text.ends_with("$GPRMC\r\n"); }));
}

TEST(SerialGpsReader, DrainsAFastReceiverInFewPolls) {
  TestPty pty;
  RecordingSink sink;
  SerialGpsReader reader(sink, SerialReaderOptions{.pollInterval = 20ms});
  reader.start(pty.slavePath(), 8, 115200);
  const std::string burst(40000, 'x');
  std::thread writer([&] { pty.write(burst); });
  EXPECT_TRUE(sink.waitFor([&](auto& s) { return s.m_text.size() == burst.size(); }, 20s));
  writer.join();
  // 99 bytes a poll would need over 400 polls.
  EXPECT_LT(sink.m_chunks, 100);
}

TEST(SerialGpsReader, StopReturnsWhileTheReceiverKeepsSending) {
  TestPty pty;
  RecordingSink sink;
  SerialGpsReader reader(sink);
  reader.start(pty.slavePath(), 8, 4800);
  std::atomic<bool> sending = true;
  std::thread writer([&] {
    while (sending) {
      pty.write("$GPGGA,1\r\n");
      std::this_thread::sleep_for(1ms);
    }
  });
  ASSERT_TRUE(sink.waitFor([](auto& s) { return !s.m_text.empty(); }));
  const auto before = std::chrono::steady_clock::now();
  reader.stop();
  const auto took = std::chrono::steady_clock::now() - before;
  sending = false;
  writer.join();
  // One poll's reads plus the 100 ms wait at most; a generous margin for a loaded machine.
  EXPECT_LT(took, 1s);
}

TEST(SerialGpsReader, UnpluggedDeviceIsReopenedOnItsPath) {
  const auto link =
      std::filesystem::temp_directory_path() / ("tivra-gps-" + std::to_string(getpid()));
  std::filesystem::remove(link);
  auto pty = std::make_unique<TestPty>();
  std::filesystem::create_symlink(pty->slavePath(), link);
  RecordingSink sink;
  SerialGpsReader reader(sink, kFast);
  reader.start(link.string(), 8, 4800);
  pty->write("one\n");
  ASSERT_TRUE(sink.waitFor([](auto& s) { return s.m_text == "one\n"; }));
  pty.reset();  // unplugged: the device hangs up and its node goes away
  std::filesystem::remove(link);
  ASSERT_TRUE(sink.waitFor([](auto& s) { return s.m_silences >= 1; }));
  pty = std::make_unique<TestPty>();
  std::filesystem::create_symlink(pty->slavePath(), link);
  // Plugged in again: text resumes without a new start once the path is reopened.
  bool got = false;
  for (int i = 0; i < 100 && !got; ++i) {
    pty->write("two\n");
    got = sink.waitFor([](auto& s) { return s.m_text.find("two\n") != std::string::npos; }, 50ms);
  }
  EXPECT_TRUE(got);
  reader.stop();
  std::filesystem::remove(link);
}

}  // namespace
}  // namespace tivra::gps
