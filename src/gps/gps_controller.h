#pragma once

#include <chrono>
#include <filesystem>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "gps/gps_source.h"
#include "platform/serial_port.h"

namespace tivra::gps {

// The GPS code's exceptions, caught at the page's boundary.
class GpsException : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};
class PortAlreadyOpenException : public GpsException {
 public:
  PortAlreadyOpenException() : GpsException("PortAlreadyOpenException") {}
};
class NoGPSDetectedException : public GpsException {
 public:
  NoGPSDetectedException() : GpsException("NoGPSDetectedException") {}
};
class GPSAutoDetectException : public GpsException {
 public:
  GPSAutoDetectException() : GpsException("GPSAutoDetectException") {}
};

struct GpsControllerOptions {
  // `SerialPorts`: the device patterns of the port list.
  std::string serialPatterns{platform::kDefaultSerialPatterns};
  // A probe waits this many steps for a first line (1.5 s).
  int probeSteps = 15;
  std::chrono::milliseconds probeStep{100};
  GpsSourceOptions source{};
};

// Holds the application's one active source. Main thread only, except activeSource() and
// isReceiving(), which connection threads call.
class GpsController {
 public:
  GpsController(GpsEvents& events, GpsControllerOptions options = {});
  ~GpsController();
  GpsController(const GpsController&) = delete;
  GpsController& operator=(const GpsController&) = delete;

  // False when the file cannot be opened. Throws PortAlreadyOpenException while a serial
  // source is active.
  bool openFile(const std::filesystem::path& file, double timeFactor);
  // Throws std::invalid_argument for a baud below 1, PortAlreadyOpenException while a serial
  // source is active, NoGPSDetectedException when the device cannot be opened.
  void openSerial(const std::string& device, int baud);
  // Opens the device at 4800 baud and waits for a first line; throws NoGPSDetectedException
  // (with nothing left open) when none comes.
  void probePort(const std::string& device);
  // Probes every listed port in order; the first that answers stays open and is returned.
  // Throws PortAlreadyOpenException or GPSAutoDetectException.
  std::string autoDetect();
  // A gpsd source. Throws PortAlreadyOpenException while a serial source is active,
  // NoGPSDetectedException when gpsd cannot be reached.
  void openGpsd(const std::string& host, std::uint16_t port);
  void stop();

  bool isReceiving() const;
  // The active source has put a fix into its history, even if it has ended since.
  bool hasFixes() const;
  std::shared_ptr<GpsSource> activeSource() const;
  const std::vector<std::string>& ports() const { return m_ports; }

 private:
  void setActive(std::shared_ptr<GpsSource> source);
  bool serialActive() const;

  GpsEvents& m_events;
  GpsControllerOptions m_options;
  mutable std::mutex m_mutex;  // guards m_active against the connection threads
  std::shared_ptr<GpsSource> m_active;
  std::vector<std::string> m_ports;
};

}  // namespace tivra::gps
