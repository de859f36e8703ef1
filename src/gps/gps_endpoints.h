#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "globe/earth.h"
#include "gps/gps_page.h"
#include "gps/gps_source.h"

namespace tivra::gps {

// What the three GPS endpoints read; every member is safe to call from connection threads.
struct GpsEndpointContext {
  int port = 11000;
  std::string iconHost;  // `IconHost`
  // The active source's data (kept alive while a request reads it); null without a source.
  std::function<std::shared_ptr<GpsData>()> activeSource;
  std::function<std::string()> documentName;
  std::function<FollowOptions()> follow;
  // A globe handle per request; empty, or a factory that throws, means camera follow fails
  // quietly.
  globe::EarthFactory earthFactory;
};

// The routing table's GPS handlers. Without an active source each answers the hidden empty
// document without headers, so a globe polling after Stop sees the GPS layers go invisible.
void GPSServer(const GpsEndpointContext& context, std::string_view request, std::string& out);
void SatUpdateServer(const GpsEndpointContext& context, std::string_view request, std::string& out);
// Also steers the globe's camera after the car (auto-track) once a fix was delivered.
void PosUpdateServer(const GpsEndpointContext& context, std::string_view request, std::string& out);

}  // namespace tivra::gps
