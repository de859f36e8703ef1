#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

#include "gps/serial_gps_reader.h"

namespace tivra::gps {

struct GpsdReaderOptions {
  std::chrono::milliseconds pollInterval{100};
  int idleLimit = 50;  // silence after more empty polls than this, as for a serial receiver
  std::chrono::milliseconds reconnectInterval{2000};
  std::chrono::milliseconds connectTimeout{1000};
};

// Reads the NMEA that gpsd relays from the receiver it owns: connects, asks with
// ?WATCH={"enable":true,"nmea":true}; and hands on the text; reconnects every 2 s while gpsd
// is away. gpsd's own JSON reports are left out, so only receiver sentences count as data.
class GpsdReader {
 public:
  GpsdReader(ReaderSink& sink, GpsdReaderOptions options = {});
  ~GpsdReader();
  GpsdReader(const GpsdReader&) = delete;
  GpsdReader& operator=(const GpsdReader&) = delete;

  void start(const std::string& host, std::uint16_t port);
  void stop();

 private:
  void run(std::stop_token stop);

  ReaderSink& m_sink;
  GpsdReaderOptions m_options;
  std::string m_host;
  std::uint16_t m_port = 0;
  std::mutex m_wakeMutex;
  std::condition_variable_any m_wake;
  std::jthread m_worker;
};

}  // namespace tivra::gps
