#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

#include "platform/serial_port.h"

namespace tivra::gps {

struct SerialReaderOptions {
  std::chrono::milliseconds pollInterval{100};
  // Silence is reported after more than this many consecutive empty polls (5.1 s).
  int idleLimit = 50;
  // A device whose reads fail (an unplugged USB receiver) is closed and reopened on its path
  // this often, so that plugging it back in resumes the track; zero turns reopening off.
  std::chrono::milliseconds reopenInterval{2000};
};

// What a reader hands its owner, on the reader's own thread.
class ReaderSink {
 public:
  virtual ~ReaderSink() = default;
  virtual void textReceived(std::string_view text) = 0;
  virtual void silence() = 0;
};

// Polls an open serial device on a worker thread of its own. Every poll reads all that is
// waiting, in chunks of up to 4096 bytes, so a fast receiver never overflows the driver's
// buffer. The worker is the only thread that touches the port; start() and stop() run on the
// owner's thread.
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
  void run(std::stop_token stop);
  // Reads all that is waiting; false when the device failed.
  bool drain(std::string& received);

  ReaderSink& m_sink;
  SerialReaderOptions m_options;
  std::string m_device;
  platform::SerialSettings m_settings;
  platform::SerialPort m_port;  // worker only, once started
  std::mutex m_wakeMutex;
  std::condition_variable_any m_wake;
  std::jthread m_worker;
};

}  // namespace tivra::gps
