#include "gps/gps_controller.h"

#include <thread>

namespace tivra::gps {

GpsController::GpsController(GpsEvents& events, GpsControllerOptions options)
    : m_events(events), m_options(std::move(options)) {}

GpsController::~GpsController() {
  stop();
}

void GpsController::setActive(std::shared_ptr<GpsSource> source) {
  std::shared_ptr<GpsSource> old;
  {
    std::lock_guard lock(m_mutex);
    old = std::exchange(m_active, std::move(source));
  }
  if (old) old->stop();
}

bool GpsController::serialActive() const {
  const auto source = activeSource();
  return source && source->hasSerialReader();
}

std::shared_ptr<GpsSource> GpsController::activeSource() const {
  std::lock_guard lock(m_mutex);
  return m_active;
}

bool GpsController::isReceiving() const {
  const auto source = activeSource();
  return source && source->isReceiving();
}

bool GpsController::hasFixes() const {
  const auto source = activeSource();
  return source && source->hasFixes();
}

void GpsController::stop() {
  setActive(nullptr);
}

bool GpsController::openFile(const std::filesystem::path& file, double timeFactor) {
  if (serialActive()) throw PortAlreadyOpenException();
  auto source = GpsSource::openFile(file, timeFactor, m_events, m_options.source);
  if (!source) return false;
  setActive(std::move(source));
  return true;
}

void GpsController::openSerial(const std::string& device, int baud) {
  if (baud < 1) throw std::invalid_argument("baud");
  if (serialActive()) throw PortAlreadyOpenException();
  try {
    setActive(GpsSource::openSerial(device, baud, m_events, m_options.source));
  } catch (const platform::SerialError&) {
    throw NoGPSDetectedException();
  }
}

void GpsController::openGpsd(const std::string& host, std::uint16_t port) {
  if (serialActive()) throw PortAlreadyOpenException();
  auto source = GpsSource::openGpsd(host, port, m_events, m_options.source);
  if (!source) throw NoGPSDetectedException();
  setActive(std::move(source));
}

void GpsController::probePort(const std::string& device) {
  openSerial(device, 4800);
  for (int i = 0; i < m_options.probeSteps; ++i) {
    if (isReceiving()) return;
    std::this_thread::sleep_for(m_options.probeStep);
  }
  stop();
  throw NoGPSDetectedException();
}

std::string GpsController::autoDetect() {
  if (serialActive()) throw PortAlreadyOpenException();
  m_ports = platform::enumerateSerialPorts(m_options.serialPatterns);
  for (const std::string& port : m_ports) {
    try {
      probePort(port);
      return port;
    } catch (const GpsException&) {
      // The next port.
    }
  }
  throw GPSAutoDetectException();
}

}  // namespace tivra::gps
