#pragma once

#include <filesystem>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "platform/unique_fd.h"

namespace tivra::platform {

// A failed serial operation: the errno value and the system's text for it.
class SerialError : public std::runtime_error {
 public:
  // A code of 0 takes the calling thread's current errno.
  explicit SerialError(int code = 0);
  int code() const { return m_code; }

 private:
  int m_code;
};

enum class Parity { Even = 0, Mark = 1, None = 2, Odd = 3, Space = 4 };
enum class StopBits { One = 0, OneAndHalf = 1, Two = 2 };
enum class FlowControl { None = 0, CtsRts = 1, CtsDtr = 2, DsrRts = 3, DsrDtr = 4, XonXoff = 5 };

struct SerialSettings {
  int baud = 4800;
  Parity parity = Parity::None;
  int dataBits = 8;
  StopBits stopBits = StopBits::One;
  FlowControl flow = FlowControl::None;
};

// A serial device in raw mode, opened exclusively. What termios cannot do (a baud rate it has
// no constant for, 1.5 stop bits, DTR/DSR handshakes, data bits outside 5..8) is refused with
// EINVAL instead of being silently ignored. Reads never wait: they return what is there.
class SerialPort {
 public:
  SerialPort() = default;
  SerialPort(SerialPort&&) noexcept = default;
  SerialPort& operator=(SerialPort&&) noexcept = default;
  ~SerialPort() = default;

  // Throws SerialError; a port still open is closed first.
  void open(const std::string& device, const SerialSettings& settings);
  bool isOpen() const { return m_fd.valid(); }
  // Bytes read, 0 when nothing is waiting. A device that has gone away (hang-up, unplugged USB)
  // throws SerialError, as does any other read failure.
  std::size_t read(std::span<char> buffer);
  // Safe to call repeatedly.
  void close() { m_fd.reset(); }

 private:
  UniqueFd m_fd;
};

// Where udev names serial devices after their hardware.
inline constexpr std::string_view kSerialByIdDirectory = "/dev/serial/by-id";

// What tells one serial device from another when it is unplugged and plugged in again.
struct SerialDeviceIdentity {
  std::string byId;    // the name of its link in udev's by-id directory
  std::string usb;     // USB vendor, product and serial number from sysfs
  std::string number;  // device number, major:minor
  // Compared by the most telling name both have: a device whose by-id link has not been made
  // yet is still known by its USB serial number.
  bool sameDevice(const SerialDeviceIdentity& other) const;
};

// The identity of the character device at device (links followed); no number when there is
// none.
SerialDeviceIdentity serialDeviceIdentity(const std::string& device,
                                          const std::filesystem::path& byIdDirectory);

// The default device patterns of the port list.
inline constexpr std::string_view kDefaultSerialPatterns =
    "/dev/ttyS* /dev/ttyUSB* /dev/ttyACM* /dev/ttyAMA* /dev/rfcomm*";

// Serial devices matching the blank-separated glob patterns, sorted by name with numbers in
// numeric order (ttyS2 before ttyS10). A ttyS device without a UART behind it is left out.
std::vector<std::string> enumerateSerialPorts(std::string_view patterns = kDefaultSerialPatterns);

// Name order with digit runs compared as numbers.
bool naturalLess(std::string_view a, std::string_view b);

}  // namespace tivra::platform
