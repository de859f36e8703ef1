#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "globe/earth.h"
#include "gps/gps_controller.h"
#include "gps/track_recorder.h"
#include "platform/event_loop.h"
#include "platform/frontend.h"

namespace tivra::gps {

// Gpsd is not on the page's radio buttons; it reads as COM in the status texts.
enum class SourceKind { Com = 0, Demo = 1, File = 2, Gpsd = 3 };

inline constexpr std::string_view kAutoChoice = "<自动>";

// The page's dialog data. Port is a device path or "<自动>"; baud a number or "<自动>".
struct GpsPageSettings {
  SourceKind kind = SourceKind::Demo;
  std::string port{kAutoChoice};
  std::string baud{kAutoChoice};
  std::string fileName;
  double timeFactor = 1.0;
  std::string gpsdHost = "127.0.0.1";
  std::uint16_t gpsdPort = 2947;
  bool autoTrack = true;
  bool heading = true;
  bool height = true;
  bool angle = true;
};

// The auto-track options, read by the connection threads at every update request.
struct FollowOptions {
  bool autoTrack = true;
  bool heading = true;
  bool height = true;
  bool angle = true;
};

struct GpsPageDeps {
  platform::EventLoop& loop;
  platform::Frontend& frontend;
  std::mutex& stateLock;  // `StateLock`: the started/stopped notifications are posted under it
  // The globe for the entry document and the "Position Update" feature; null without one.
  std::function<globe::Earth*()> earth;
  std::filesystem::path tempDirectory;  // holds demo.nmea and tivragps.kml
  int serverPort = 11000;
  // Every status text, as the page's status line shows it.
  std::function<void(std::string_view)> onStatus;
  std::chrono::milliseconds startWait{1500};
  std::chrono::milliseconds openWait{300};
  GpsControllerOptions controller{};
};

// What the GPS page does, without its widgets: Start and Stop, the status texts, the started and
// stopped notifications and the hand-over of the entry document to the globe. Main thread only,
// except followOptions() and documentName(), which connection threads read.
class GpsPage final : public GpsEvents {
 public:
  explicit GpsPage(GpsPageDeps deps);
  ~GpsPage() override;
  GpsPage(const GpsPage&) = delete;
  GpsPage& operator=(const GpsPage&) = delete;

  GpsPageSettings& settings() { return m_settings; }
  // Takes the check boxes into the values the endpoints read.
  void applyFollowOptions();
  void start();
  void stop();

  const std::string& status() const { return m_status; }
  // The window's status line: told every status text after deps.onStatus.
  std::function<void(std::string_view)> onStatusShown;
  GpsController& controller() { return *m_controller; }
  // "记录轨迹": every fix with a position of any source, from now on, into a GPX file. False
  // with the message for the user in error (the file is then left as it was).
  bool startRecording(const std::filesystem::path& file, std::string& error);
  void stopRecording() { m_recorder->close(); }
  bool recording() const { return m_recorder->isOpen(); }
  FollowOptions followOptions() const;
  std::string documentName() const;

 private:
  void dataStarted() override;
  void dataStopped() override;
  void pointsRefused(std::size_t count) override;
  void post(void (GpsPage::*handler)());
  void onDataStarted();
  void onDataStopped();
  void setStatus(std::string_view text);
  bool startSource();
  void handOverEntryDocument();
  std::filesystem::path demoPath() const { return m_deps.tempDirectory / "demo.nmea"; }

  GpsPageDeps m_deps;
  GpsPageSettings m_settings;
  std::string m_status;
  std::size_t m_refusedPoints = 0;  // told by a file ending, taken by the stop that follows
  // Before the controller, whose sources are handed it.
  std::shared_ptr<TrackRecorder> m_recorder = std::make_shared<TrackRecorder>();
  std::unique_ptr<GpsController> m_controller;
  std::atomic<bool> m_autoTrack = true, m_heading = true, m_height = true, m_angle = true;
  mutable std::mutex m_nameMutex;
  std::string m_documentName;
  // Posted handlers run only while the page lives.
  std::shared_ptr<GpsPage*> m_alive;
  platform::EventLoop::TimerId m_startTimer = 0;
};

}  // namespace tivra::gps

namespace tivra::gps {

// The headless form of the page's choices. SOURCE: "demo", "file:PATH", "serial" (auto-detect),
// "serial:DEVICE" (probe at 4800), "serial:DEVICE:BAUD" or "gpsd[:HOST[:PORT]]". False with a
// message in error.
bool parseGpsSource(std::string_view source, GpsPageSettings& settings, std::string& error);
// LIST: a comma list of "heading", "height" and "angle"; auto-track on, the others off.
bool parseFollowList(std::string_view list, GpsPageSettings& settings, std::string& error);

}  // namespace tivra::gps
