#include "platform/serial_port.h"

#include <fcntl.h>
#include <glob.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <set>

namespace tivra::platform {

namespace {

std::string errorText(int code) {
  char buffer[256];
  // GNU strerror_r returns the text, which may not be in buffer.
  return strerror_r(code, buffer, sizeof buffer);
}

speed_t speedFor(int baud) {
  switch (baud) {
    case 50:
      return B50;
    case 75:
      return B75;
    case 110:
      return B110;
    case 134:
      return B134;
    case 150:
      return B150;
    case 200:
      return B200;
    case 300:
      return B300;
    case 600:
      return B600;
    case 1200:
      return B1200;
    case 1800:
      return B1800;
    case 2400:
      return B2400;
    case 4800:
      return B4800;
    case 9600:
      return B9600;
    case 19200:
      return B19200;
    case 38400:
      return B38400;
    case 57600:
      return B57600;
    case 115200:
      return B115200;
    case 230400:
      return B230400;
    case 460800:
      return B460800;
    case 500000:
      return B500000;
    case 576000:
      return B576000;
    case 921600:
      return B921600;
    case 1000000:
      return B1000000;
    case 1152000:
      return B1152000;
    case 1500000:
      return B1500000;
    case 2000000:
      return B2000000;
    case 2500000:
      return B2500000;
    case 3000000:
      return B3000000;
    case 3500000:
      return B3500000;
    case 4000000:
      return B4000000;
    default:
      throw SerialError(EINVAL);
  }
}

void applySettings(termios& tio, const SerialSettings& settings) {
  cfmakeraw(&tio);
  tio.c_cflag |= CLOCAL | CREAD;
  const speed_t speed = speedFor(settings.baud);
  cfsetispeed(&tio, speed);
  cfsetospeed(&tio, speed);

  tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE);
  switch (settings.dataBits) {
    case 5:
      tio.c_cflag |= CS5;
      break;
    case 6:
      tio.c_cflag |= CS6;
      break;
    case 7:
      tio.c_cflag |= CS7;
      break;
    case 8:
      tio.c_cflag |= CS8;
      break;
    default:
      throw SerialError(EINVAL);
  }

  tio.c_cflag &= ~static_cast<tcflag_t>(PARENB | PARODD | CMSPAR);
  switch (settings.parity) {
    case Parity::None:
      break;
    case Parity::Even:
      tio.c_cflag |= PARENB;
      break;
    case Parity::Odd:
      tio.c_cflag |= PARENB | PARODD;
      break;
    case Parity::Mark:
      tio.c_cflag |= PARENB | CMSPAR | PARODD;
      break;
    case Parity::Space:
      tio.c_cflag |= PARENB | CMSPAR;
      break;
  }

  switch (settings.stopBits) {
    case StopBits::One:
      tio.c_cflag &= ~static_cast<tcflag_t>(CSTOPB);
      break;
    case StopBits::Two:
      tio.c_cflag |= CSTOPB;
      break;
    case StopBits::OneAndHalf:
      throw SerialError(EINVAL);
  }

  tio.c_cflag &= ~static_cast<tcflag_t>(CRTSCTS);
  tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
  switch (settings.flow) {
    case FlowControl::None:
      break;
    case FlowControl::CtsRts:
      tio.c_cflag |= CRTSCTS;
      break;
    case FlowControl::XonXoff:
      tio.c_iflag |= IXON | IXOFF;
      tio.c_cc[VSTART] = 17;
      tio.c_cc[VSTOP] = 19;
      break;
    // Linux has no DTR/DSR handshake.
    case FlowControl::CtsDtr:
    case FlowControl::DsrRts:
    case FlowControl::DsrDtr:
      throw SerialError(EINVAL);
  }
  // Polling: a read returns at once with whatever is waiting.
  tio.c_cc[VMIN] = 0;
  tio.c_cc[VTIME] = 0;
}

}  // namespace

SerialError::SerialError(int code)
    : std::runtime_error(errorText(code != 0 ? code : errno)), m_code(code != 0 ? code : errno) {}

void SerialPort::open(const std::string& device, const SerialSettings& settings) {
  close();
  UniqueFd fd(::open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
  if (!fd) throw SerialError();
  if (!isatty(fd.get())) throw SerialError(ENOTTY);
  // No sharing: a second opener of the same device is refused, as another program holding it.
  if (flock(fd.get(), LOCK_EX | LOCK_NB) != 0) throw SerialError(errno == EWOULDBLOCK ? EBUSY : 0);
  termios tio{};
  if (tcgetattr(fd.get(), &tio) != 0) throw SerialError();
  applySettings(tio, settings);
  if (tcsetattr(fd.get(), TCSANOW, &tio) != 0) throw SerialError();
  ioctl(fd.get(), TIOCEXCL);
  m_fd = std::move(fd);
}

std::size_t SerialPort::read(std::span<char> buffer) {
  if (!m_fd) throw SerialError(EBADF);
  pollfd pfd{m_fd.get(), POLLIN, 0};
  const int ready = ::poll(&pfd, 1, 0);
  if (ready < 0) throw SerialError();
  if (ready == 0) return 0;
  if (!(pfd.revents & POLLIN)) throw SerialError(EIO);  // hang-up or error without data
  const ssize_t n = ::read(m_fd.get(), buffer.data(), buffer.size());
  if (n < 0) {
    if (errno == EAGAIN || errno == EINTR) return 0;
    throw SerialError();
  }
  // Readable but nothing to read: the other end has hung up.
  if (n == 0 && !buffer.empty()) throw SerialError(EIO);
  return static_cast<std::size_t>(n);
}

namespace {

// The first line of a small sysfs attribute file; empty when there is none.
std::string attribute(const std::filesystem::path& file) {
  std::ifstream in(file);
  std::string value;
  std::getline(in, value);
  return value.substr(0, 256);
}

}  // namespace

bool SerialDeviceIdentity::sameDevice(const SerialDeviceIdentity& other) const {
  if (number.empty() || other.number.empty()) return false;
  if (!byId.empty() && !other.byId.empty()) return byId == other.byId;
  if (!usb.empty() && !other.usb.empty()) return usb == other.usb;
  return number == other.number;
}

SerialDeviceIdentity serialDeviceIdentity(const std::string& device,
                                          const std::filesystem::path& byIdDirectory) {
  namespace fs = std::filesystem;
  SerialDeviceIdentity identity;
  struct stat node {};
  if (::stat(device.c_str(), &node) != 0 || !S_ISCHR(node.st_mode)) return identity;
  identity.number = std::to_string(major(node.st_rdev)) + ":" + std::to_string(minor(node.st_rdev));

  std::error_code ec;
  constexpr int kMaxLinks = 1024;
  int seen = 0;
  for (fs::directory_iterator it(byIdDirectory, ec), end; !ec && it != end && seen < kMaxLinks;
       it.increment(ec), ++seen) {
    struct stat target {};
    const std::string name = it->path().filename().string();
    if (::stat(it->path().c_str(), &target) == 0 && S_ISCHR(target.st_mode) &&
        target.st_rdev == node.st_rdev && (identity.byId.empty() || name < identity.byId))
      identity.byId = name;
  }

  // /sys/dev/char/MAJOR:MINOR leads to the tty inside its USB interface; the USB device holding
  // the vendor, product and serial number is a few levels up.
  fs::path dir = fs::canonical(fs::path("/sys/dev/char") / identity.number, ec);
  for (int level = 0; !ec && level < 16 && dir.has_relative_path(); ++level) {
    if (fs::exists(dir / "idVendor", ec)) {
      identity.usb = attribute(dir / "idVendor") + ":" + attribute(dir / "idProduct") + ":" +
                     attribute(dir / "serial");
      break;
    }
    dir = dir.parent_path();
  }
  return identity;
}

bool naturalLess(std::string_view a, std::string_view b) {
  const auto isDigit = [](char c) { return c >= '0' && c <= '9'; };
  std::size_t i = 0, j = 0;
  while (i < a.size() && j < b.size()) {
    if (isDigit(a[i]) && isDigit(b[j])) {
      std::size_t ie = i, je = j;
      while (ie < a.size() && isDigit(a[ie])) ++ie;
      while (je < b.size() && isDigit(b[je])) ++je;
      std::string_view na = a.substr(i, ie - i), nb = b.substr(j, je - j);
      while (na.size() > 1 && na.front() == '0') na.remove_prefix(1);
      while (nb.size() > 1 && nb.front() == '0') nb.remove_prefix(1);
      if (na.size() != nb.size()) return na.size() < nb.size();
      if (na != nb) return na < nb;
      i = ie;
      j = je;
    } else {
      if (a[i] != b[j]) return a[i] < b[j];
      ++i;
      ++j;
    }
  }
  return a.size() - i < b.size() - j;
}

std::vector<std::string> enumerateSerialPorts(std::string_view patterns) {
  std::set<std::string> found;
  std::size_t pos = 0;
  while (pos < patterns.size()) {
    const std::size_t start = patterns.find_first_not_of(" \t", pos);
    if (start == std::string_view::npos) break;
    const std::size_t end = std::min(patterns.find_first_of(" \t", start), patterns.size());
    const std::string pattern(patterns.substr(start, end - start));
    pos = end;
    glob_t matches{};
    if (glob(pattern.c_str(), 0, nullptr, &matches) == 0)
      for (std::size_t i = 0; i < matches.gl_pathc; ++i) found.insert(matches.gl_pathv[i]);
    globfree(&matches);
  }
  std::vector<std::string> ports;
  for (const std::string& path : found) {
    // Every possible ttyS has a device node; only those with a UART type are real ports.
    if (path.rfind("/dev/ttyS", 0) == 0) {
      UniqueFd fd(::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
      serial_struct info{};
      if (!fd || ioctl(fd.get(), TIOCGSERIAL, &info) != 0 || info.type == PORT_UNKNOWN) continue;
    }
    ports.push_back(path);
  }
  std::sort(ports.begin(), ports.end(), naturalLess);
  return ports;
}

}  // namespace tivra::platform
