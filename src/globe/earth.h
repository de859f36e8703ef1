#pragma once

// The globe the program drives: the operations of Google Earth's automation interface as a C++
// interface. Every caller that needs the globe (main window, connection threads, the flight
// thread) holds an instance of its own; all instances reach the same globe.

#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>

namespace tivra::globe {

// The automation interface's "COM error": every failed globe call throws this.
class EarthError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The camera object. Field names are the automation interface's property names.
struct Camera {
  double FocusPointLatitude = 0.0;   // degrees
  double FocusPointLongitude = 0.0;  // degrees
  double FocusPointAltitude = 0.0;   // metres
  int FocusPointAltitudeMode = 1;    // passed through unchanged (2 = absolute)
  double Range = 0.0;                // metres from the focus point
  double Tilt = 0.0;                 // degrees from straight down
  double Azimuth = 0.0;              // degrees clockwise from north
};

// A point on the terrain, read only.
struct TerrainPoint {
  double Latitude = 0.0;
  double Longitude = 0.0;
  double Altitude = 0.0;
};

// SetCamera and SetFeatureView at this speed or faster jump without a flight.
inline constexpr double kInstantSpeed = 5.0;

// A feature found by name. The handle stays valid as a value; when the feature itself is gone
// from the globe (a network link replaced it), its calls throw EarthError.
class Feature {
 public:
  virtual ~Feature() = default;
  virtual bool Visibility() const = 0;
  virtual void putVisibility(bool visible) = 0;
  virtual std::string Name() const = 0;
};

class Earth {
 public:
  virtual ~Earth() = default;

  virtual bool IsInitialized() = 0;
  virtual int VersionMajor() = 0;
  virtual int VersionMinor() = 0;
  virtual int VersionBuild() = 0;
  virtual bool IsOnline() = 0;

  // Loads the KML file; the file may be deleted as soon as this returns.
  virtual void OpenKmlFile(std::string_view path, bool suppressMessages) = 0;
  // Null when no feature has that name.
  virtual std::unique_ptr<Feature> GetFeatureByName(std::string_view name) = 0;
  virtual void SetFeatureView(const Feature& feature, double speed) = 0;

  virtual Camera GetCamera(bool considerTerrain) = 0;
  virtual void SetCamera(const Camera& camera, double speed) = 0;
  virtual double AutoPilotSpeed() = 0;
  virtual void putAutoPilotSpeed(double speed) = 0;

  // x, y in -1..1, (0, 0) the view centre, (-1, -1) the lower left corner.
  virtual TerrainPoint GetPointOnTerrainFromScreenCoords(double x, double y) = 0;
  virtual std::uintptr_t GetRenderHwnd() = 0;
};

// Makes a new instance for the calling thread; throws EarthError when the globe cannot be
// reached.
using EarthFactory = std::function<std::unique_ptr<Earth>()>;

}  // namespace tivra::globe
