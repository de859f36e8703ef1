#include "gps/gps_page.h"

#include <charconv>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <utility>

#include "gps/gps_kml.h"
#include "platform/resources.h"

namespace tivra::gps {

namespace {

bool writeFile(const std::filesystem::path& path, std::string_view bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(out.flush());
}

GpsControllerOptions withSink(GpsControllerOptions options, std::shared_ptr<FixSink> sink) {
  options.source.sink = std::move(sink);
  return options;
}

}  // namespace

GpsPage::GpsPage(GpsPageDeps deps)
    : m_deps(std::move(deps)),
      m_controller(std::make_unique<GpsController>(*this, withSink(m_deps.controller, m_recorder))),
      m_alive(std::make_shared<GpsPage*>(this)) {
  setStatus("就绪");
}

GpsPage::~GpsPage() {
  if (m_startTimer != 0) m_deps.loop.cancelTimer(m_startTimer);
  m_alive.reset();
  m_controller->stop();
}

void GpsPage::applyFollowOptions() {
  m_autoTrack = m_settings.autoTrack;
  m_heading = m_settings.heading;
  m_height = m_settings.height;
  m_angle = m_settings.angle;
}

FollowOptions GpsPage::followOptions() const {
  return FollowOptions{m_autoTrack.load(), m_heading.load(), m_height.load(), m_angle.load()};
}

std::string GpsPage::documentName() const {
  std::lock_guard lock(m_nameMutex);
  return m_documentName;
}

void GpsPage::setStatus(std::string_view text) {
  m_status = text;
  if (m_deps.onStatus) m_deps.onStatus(text);
  if (onStatusShown) onStatusShown(text);
}

bool GpsPage::startRecording(const std::filesystem::path& file, std::string& error) {
  return m_recorder->open(file, error);
}

void GpsPage::stop() {
  try {
    m_controller->stop();
  } catch (const std::exception&) {
    // The stopped notification sets the status.
  }
}

void GpsPage::start() {
  m_controller->stop();
  applyFollowOptions();
  if (m_startTimer != 0) {
    m_deps.loop.cancelTimer(m_startTimer);
    m_startTimer = 0;
  }
  if (!startSource()) return;
  // The wait for a first line runs on the loop instead of blocking it.
  m_startTimer = m_deps.loop.addTimer(
      m_deps.startWait,
      [this] {
        m_startTimer = 0;
        handOverEntryDocument();
      },
      false);
}

// False when Start ends here (a status or message box says why).
bool GpsPage::startSource() {
  if (m_settings.kind == SourceKind::File && m_settings.fileName.empty())
    m_settings.kind = SourceKind::Demo;
  try {
    switch (m_settings.kind) {
      case SourceKind::File:
        if (!m_controller->openFile(m_settings.fileName, m_settings.timeFactor)) {
          setStatus("打开文件失败!");
          return false;
        }
        break;
      case SourceKind::Demo: {
        const auto demo =
            platform::findResource(platform::ResourceType::Nmea, platform::kResourceDemoRecording);
        const std::string_view bytes(reinterpret_cast<const char*>(demo.data()), demo.size());
        if (demo.empty() || !writeFile(demoPath(), bytes)) {
          setStatus("暂无Demo数据!");
          return true;
        }
        if (!m_controller->openFile(demoPath(), m_settings.timeFactor)) {
          setStatus("打开文件失败!");
          return false;
        }
        break;
      }
      case SourceKind::Com:
        if (m_settings.port == kAutoChoice) {
          setStatus("自动检测GPS...");
          m_controller->autoDetect();
        } else if (m_settings.baud == kAutoChoice) {
          m_controller->probePort(m_settings.port);
        } else {
          int baud = 0;
          std::from_chars(m_settings.baud.data(), m_settings.baud.data() + m_settings.baud.size(),
                          baud);
          m_controller->openSerial(m_settings.port, baud);
        }
        setStatus("串口已打开，等待数据...");
        break;
      case SourceKind::Gpsd:
        m_controller->openGpsd(m_settings.gpsdHost, m_settings.gpsdPort);
        setStatus("串口已打开，等待数据...");
        break;
    }
  } catch (const std::exception&) {
    setStatus("就绪");
    m_deps.frontend.messageBox("获取数据源失败!", "Tivra");
    return false;
  }
  return true;
}

void GpsPage::handOverEntryDocument() {
  // A short file, or one played without pauses, may have ended within the wait: its track is
  // still shown.
  if (!m_controller->isReceiving() && !m_controller->hasFixes()) return;
  const std::string name = std::to_string(static_cast<long>(std::time(nullptr))) + ".kml";
  {
    std::lock_guard lock(m_nameMutex);
    m_documentName = name;
  }
  globe::Earth* earth = m_deps.earth ? m_deps.earth() : nullptr;
  if (earth == nullptr) return;
  const std::filesystem::path path = m_deps.tempDirectory / "tivragps.kml";
  if (!writeFile(path, buildGpsEntryDocument(m_deps.serverPort, name))) return;
  try {
    earth->OpenKmlFile(path.string(), true);
  } catch (const globe::EarthError&) {
    // The globe shows nothing new; the endpoints still answer.
  }
  m_deps.loop.addTimer(
      m_deps.openWait, [path] { std::filesystem::remove(path); }, false);
}

void GpsPage::post(void (GpsPage::*handler)()) {
  std::lock_guard lock(m_deps.stateLock);
  m_deps.loop.post([alive = std::weak_ptr<GpsPage*>(m_alive), handler] {
    if (auto page = alive.lock()) ((*page)->*handler)();
  });
}

void GpsPage::dataStarted() {
  post(&GpsPage::onDataStarted);
}
void GpsPage::dataStopped() {
  post(&GpsPage::onDataStopped);
}
void GpsPage::pointsRefused(std::size_t count) {
  std::lock_guard lock(m_deps.stateLock);
  m_deps.loop.post([alive = std::weak_ptr<GpsPage*>(m_alive), count] {
    if (auto page = alive.lock()) (*page)->m_refusedPoints = count;
  });
}

void GpsPage::onDataStarted() {
  if (globe::Earth* earth = m_deps.earth ? m_deps.earth() : nullptr) {
    try {
      if (auto feature = earth->GetFeatureByName("Position Update")) feature->putVisibility(true);
    } catch (const globe::EarthError&) {
    }
  }
  switch (m_settings.kind) {
    case SourceKind::Com:
    case SourceKind::Gpsd:
      setStatus("串口已打开.已接收到数据.");
      break;
    case SourceKind::Demo:
      setStatus("Demo模式.");
      break;
    case SourceKind::File:
      setStatus("正在读取数据.");
      break;
  }
}

void GpsPage::onDataStopped() {
  // Told just before this stop, by the same source.
  const std::size_t refused = std::exchange(m_refusedPoints, 0);
  switch (m_settings.kind) {
    case SourceKind::Com:
    case SourceKind::Gpsd:
      setStatus("GPS已断开或停止发送数据.");
      break;
    case SourceKind::File:
      // A file that ends with points refused must not read as a plain success.
      if (refused > 0)
        setStatus("读取数据文件结束. 已拒绝" + std::to_string(refused) + "个无效轨迹点.");
      else
        setStatus("读取数据文件结束.");
      break;
    case SourceKind::Demo:
      setStatus("Demo结束.");
      std::error_code ignored;
      std::filesystem::remove(demoPath(), ignored);
      break;
  }
}

}  // namespace tivra::gps

namespace tivra::gps {

bool parseGpsSource(std::string_view source, GpsPageSettings& settings, std::string& error) {
  if (source == "demo") {
    settings.kind = SourceKind::Demo;
    return true;
  }
  if (source.starts_with("file:") && source.size() > 5) {
    settings.kind = SourceKind::File;
    settings.fileName = source.substr(5);
    return true;
  }
  if (source == "serial") {
    settings.kind = SourceKind::Com;
    settings.port = kAutoChoice;
    settings.baud = kAutoChoice;
    return true;
  }
  if (source.starts_with("serial:") && source.size() > 7) {
    std::string_view device = source.substr(7);
    std::string baud{kAutoChoice};
    if (const auto colon = device.rfind(':'); colon != std::string_view::npos) {
      const std::string_view digits = device.substr(colon + 1);
      int value = 0;
      const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
      if (ec != std::errc() || end != digits.data() + digits.size() || value < 1) {
        error = "--gps serial:DEVICE:BAUD needs a positive baud rate: " + std::string(source);
        return false;
      }
      baud = digits;
      device = device.substr(0, colon);
    }
    settings.kind = SourceKind::Com;
    settings.port = device;
    settings.baud = baud;
    return !device.empty() || (error = "--gps serial: needs a device", false);
  }
  if (source == "gpsd" || source.starts_with("gpsd:")) {
    settings.kind = SourceKind::Gpsd;
    settings.gpsdHost = "127.0.0.1";
    settings.gpsdPort = 2947;
    std::string_view rest = source.size() > 5 ? source.substr(5) : std::string_view();
    const auto colon = rest.find(':');
    if (colon != std::string_view::npos) {
      const std::string_view digits = rest.substr(colon + 1);
      unsigned value = 0;
      const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
      if (ec != std::errc() || end != digits.data() + digits.size() || value < 1 || value > 65535) {
        error = "--gps gpsd:HOST:PORT needs a port number: " + std::string(source);
        return false;
      }
      settings.gpsdPort = static_cast<std::uint16_t>(value);
      rest = rest.substr(0, colon);
    }
    if (!rest.empty()) settings.gpsdHost = rest;
    return true;
  }
  error =
      "--gps needs demo, file:PATH, serial, serial:DEVICE, serial:DEVICE:BAUD or "
      "gpsd[:HOST[:PORT]]: " +
      std::string(source);
  return false;
}

bool parseFollowList(std::string_view list, GpsPageSettings& settings, std::string& error) {
  settings.autoTrack = true;
  settings.heading = settings.height = settings.angle = false;
  while (!list.empty()) {
    const auto comma = list.find(',');
    const std::string_view item = list.substr(0, comma);
    if (item == "heading")
      settings.heading = true;
    else if (item == "height")
      settings.height = true;
    else if (item == "angle")
      settings.angle = true;
    else {
      error = "--follow takes heading, height and angle: " + std::string(item);
      return false;
    }
    list = comma == std::string_view::npos ? std::string_view() : list.substr(comma + 1);
  }
  return true;
}

}  // namespace tivra::gps
