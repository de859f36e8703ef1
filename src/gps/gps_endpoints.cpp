#include "gps/gps_endpoints.h"

#include <algorithm>
#include <cmath>
#include <ctime>
#include <mutex>

#include "gps/gps_kml.h"
#include "platform/http_response.h"

namespace tivra::gps {

namespace {

GpsDocumentContext documentContext(const GpsEndpointContext& context) {
  return GpsDocumentContext{platform::localBaseUrl(context.port),
                            context.documentName ? context.documentName() : std::string(),
                            context.iconHost};
}

void frame(std::string& out, std::string_view document) {
  platform::appendFullResponse(out, platform::kKmlContentType, document);
}

struct CameraStep {
  double carScale = 2.0;
};

// The camera part of an update: read the camera, scale the car by its range and, with
// auto-track, tune the autopilot speed and move the camera after the newest delivered fix. Any
// globe error ends the step with the values read so far.
CameraStep followCar(const GpsEndpointContext& context, GpsData& data) {
  CameraStep step;
  GpsFix s, p;
  {
    std::lock_guard lock(data.lock);
    const int n = static_cast<int>(data.history.size());
    const int sent = std::clamp(data.sentCount, 0, n);
    if (sent < 1) return step;
    s = data.history[static_cast<std::size_t>(sent - 1)];
    p = data.history[static_cast<std::size_t>(std::min(n, sent + 20) - 1)];
  }
  if (!context.earthFactory) return step;
  const FollowOptions follow = context.follow ? context.follow() : FollowOptions{};
  try {
    const std::unique_ptr<globe::Earth> earth = context.earthFactory();
    if (!earth) return step;
    globe::Camera camera = earth->GetCamera(true);
    step.carScale = std::max(camera.Range * 0.01, 2.0);
    if (!follow.autoTrack) return step;
    const globe::TerrainPoint centre = earth->GetPointOnTerrainFromScreenCoords(0, 0);
    const double dLon = std::fabs(centre.Longitude - s.longitude.get());
    const double dLat = std::fabs(centre.Latitude - s.latitude.get());
    if (dLon > 0.001 || dLat > 0.001) {
      earth->putAutoPilotSpeed(std::min(earth->AutoPilotSpeed() * 1.05, 5.0));
    } else if (dLon <= 0.00005 && dLat <= 0.00005) {
      earth->putAutoPilotSpeed(std::max(earth->AutoPilotSpeed() * 0.9523809523809523, 0.1));
    }
    if (std::fabs(p.longitude.get() - s.longitude.get()) > 0.0003 ||
        std::fabs(p.latitude.get() - s.latitude.get()) > 0.0003) {
      // An unset altitude or course (-999) would put the focus under the ground or turn the
      // view to -999 degrees: the camera keeps its own value instead.
      if (p.altitude.has()) camera.FocusPointAltitude = p.altitude.get();
      camera.FocusPointLongitude = p.longitude.get();
      camera.FocusPointLatitude = p.latitude.get();
      if (follow.heading && p.course.has()) camera.Azimuth = p.course.get();
      if (follow.height) camera.Range = 200.0;
      if (follow.angle) camera.Tilt = 66.0;
      camera.FocusPointAltitudeMode = 2;
      earth->SetCamera(camera, earth->AutoPilotSpeed());
    }
  } catch (const globe::EarthError&) {
    // The update is answered all the same.
  }
  return step;
}

}  // namespace

void GPSServer(const GpsEndpointContext& context, std::string_view, std::string& out) {
  const auto source = context.activeSource ? context.activeSource() : nullptr;
  if (!source) {
    out.append(platform::kEmptyKmlDocument);
    return;
  }
  frame(out,
        buildGpsDocument(*source, documentContext(context), formatCreated(std::time(nullptr))));
}

void SatUpdateServer(const GpsEndpointContext& context, std::string_view, std::string& out) {
  const auto source = context.activeSource ? context.activeSource() : nullptr;
  if (!source) {
    out.append(platform::kEmptyKmlDocument);
    return;
  }
  frame(out, buildSatellitesDocument(*source, documentContext(context)));
}

void PosUpdateServer(const GpsEndpointContext& context, std::string_view, std::string& out) {
  const auto source = context.activeSource ? context.activeSource() : nullptr;
  if (!source) {
    out.append(platform::kEmptyKmlDocument);
    return;
  }
  try {
    const CameraStep step = followCar(context, *source);
    frame(out, buildUpdateDocument(*source, documentContext(context), step.carScale));
  } catch (const std::exception&) {
    out.clear();
    out.append(platform::kEmptyKmlDocument);
  }
}

}  // namespace tivra::gps
