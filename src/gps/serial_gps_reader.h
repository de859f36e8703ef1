#pragma once

#include <chrono>
#include <filesystem>
#include <string>
#include <string_view>

#include "gps/poll_worker.h"
#include "platform/serial_port.h"

namespace tivra::gps {

struct SerialReaderOptions {
  std::chrono::milliseconds pollInterval{100};
  // Silence is reported after more than this many consecutive empty polls (5.1 s).
  int idleLimit = 50;
  // A device whose reads fail (an unplugged USB receiver) is closed and reopened on its path
  // this often, so that plugging it back in resumes the track; zero turns reopening off. Only
  // the same device is reopened: another that took its name is left alone.
  std::chrono::milliseconds reopenInterval{2000};
  // Where the names that identify a device are found (platform::serialDeviceIdentity).
  std::filesystem::path byIdDirectory{platform::kSerialByIdDirectory};
};

// Polls an open serial device on a worker thread of its own. Every poll reads all that is
// waiting, in chunks of up to 4096 bytes, so a fast receiver never overflows the driver's
// buffer. Chunks are handed on whole, binary data and NUL bytes included: the line handling
// finds the sentences in them. The worker is the only thread that touches the port; start() and
// stop() run on the owner's thread.
class SerialGpsReader {
 public:
  SerialGpsReader(ReaderSink& sink, SerialReaderOptions options = {});
  ~SerialGpsReader();
  SerialGpsReader(const SerialGpsReader&) = delete;
  SerialGpsReader& operator=(const SerialGpsReader&) = delete;

  // Opens the device at (baud, no parity, dataBits, one stop bit, no flow control) and starts
  // the worker. Throws platform::SerialError when the device cannot be opened or configured.
  void start(const std::string& device, int dataBits, int baud);
  // Returns once the worker has left its loop (at most one poll's reads); the port is closed
  // after that.
  void stop();

  const std::string& device() const { return m_device; }
  int baud() const { return m_settings.baud; }

 private:
  void poll(std::string& received);
  // Reads all that is waiting; false when the device failed.
  bool drain(std::string& received);

  SerialReaderOptions m_options;
  std::string m_device;
  platform::SerialDeviceIdentity m_identity;  // of the device first opened; worker only
  platform::SerialSettings m_settings;
  platform::SerialPort m_port;                         // worker only, once started
  std::chrono::steady_clock::time_point m_nextReopen;  // worker only
  PollWorker m_worker;                                 // last: it stops before the port goes
};

}  // namespace tivra::gps
