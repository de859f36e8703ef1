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
#include "support/temp_dir.h"
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

const SerialReaderOptions kFast{.pollInterval = 10ms, .idleLimit = 5, .reopenInterval = 50ms};

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

struct IdentityCase {
  const char* name;
  platform::SerialDeviceIdentity before, now;
  bool same;
};

class DeviceIdentity : public ::testing::TestWithParam<IdentityCase> {};

TEST_P(DeviceIdentity, ComparesTheMostTellingNameBothHave) {
  EXPECT_EQ(GetParam().before.sameDevice(GetParam().now), GetParam().same);
}

INSTANTIATE_TEST_SUITE_P(
    Table, DeviceIdentity,
    ::testing::Values(
        IdentityCase{"SameLinkNewNumber", {"usb-A", "", "188:0"}, {"usb-A", "", "188:1"}, true},
        IdentityCase{"OtherLinkSameNumber", {"usb-A", "", "188:0"}, {"usb-B", "", "188:0"}, false},
        IdentityCase{"LinkNotMadeYet",
                     {"usb-A", "0403:6001:X1", "188:0"},
                     {"", "0403:6001:X1", "188:0"},
                     true},
        IdentityCase{"OtherSerialSameNumber",
                     {"usb-A", "0403:6001:X1", "188:0"},
                     {"", "0403:6001:X2", "188:0"},
                     false},
        IdentityCase{"NumberOnly", {"", "", "4:64"}, {"", "", "4:64"}, true},
        IdentityCase{"Gone", {"", "", "4:64"}, {}, false}),
    [](const auto& param) { return std::string(param.param.name); });

// A device on a path of its own (as udev links /dev/gps0), named in a by-id directory the
// way udev names it after its USB vendor, product and serial number.
struct PluggedDevice {
  test::TempDir dir;
  void plug(const TestPty& pty, const std::string& byIdName) {
    unplug();
    std::filesystem::create_directory(dir / "by-id");
    std::filesystem::create_symlink(pty.slavePath(), path());
    std::filesystem::create_symlink(pty.slavePath(), dir / "by-id" / byIdName);
  }
  void unplug() {
    std::filesystem::remove(path());
    std::filesystem::remove_all(dir / "by-id");
  }
  std::filesystem::path path() const { return dir / "gps0"; }
};

TEST(SerialGpsReader, AfterAnUnplugOnlyTheSameDeviceIsReopened) {
  PluggedDevice device;
  auto receiver = std::make_unique<TestPty>();
  device.plug(*receiver, "usb-Acme_GPS_A1B2-if00-port0");
  RecordingSink sink;
  SerialReaderOptions options = kFast;
  options.byIdDirectory = device.dir / "by-id";
  SerialGpsReader reader(sink, options);
  reader.start(device.path().string(), 8, 4800);
  receiver->write("one\n");
  ASSERT_TRUE(sink.waitFor([](auto& s) { return s.m_text == "one\n"; }));
  receiver.reset();  // unplugged: the device hangs up and its node goes away
  device.unplug();
  ASSERT_TRUE(sink.waitFor([](auto& s) { return s.m_silences >= 1; }));

  // Another device takes the name: it is never opened, over many reopen intervals.
  TestPty other;
  device.plug(other, "usb-Other_Modem_77-if00-port0");
  other.write("other\n");
  std::this_thread::sleep_for(20 * options.reopenInterval);
  EXPECT_EQ(sink.text(), "one\n");

  // The receiver comes back, on a new node: text resumes without a new start.
  receiver = std::make_unique<TestPty>();
  device.plug(*receiver, "usb-Acme_GPS_A1B2-if00-port0");
  bool got = false;
  for (int i = 0; i < 100 && !got; ++i) {
    receiver->write("two\n");
    got = sink.waitFor([](auto& s) { return s.m_text.find("two\n") != std::string::npos; }, 50ms);
  }
  EXPECT_TRUE(got);
  EXPECT_EQ(sink.text().find("other"), std::string::npos);
}

}  // namespace
}  // namespace tivra::gps
