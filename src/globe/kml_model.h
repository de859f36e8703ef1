#pragma once

// The simulated globe's feature tree and the KML reader that builds it. Only what the globe
// shows or acts on is kept; unknown elements are skipped.

#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace tivra::globe {

enum class FeatureKind { Document, Folder, Placemark, GroundOverlay, ScreenOverlay, NetworkLink };

std::string_view featureKindName(FeatureKind kind);

struct GeoPoint {
  double lon = 0.0;
  double lat = 0.0;
  double alt = 0.0;
};

struct LookAtData {
  double longitude = 0.0;
  double latitude = 0.0;
  double altitude = 0.0;
  double range = 1000.0;
  double tilt = 0.0;
  double heading = 0.0;
};

struct LatLonBoxData {
  double north = 0.0;
  double south = 0.0;
  double east = 0.0;
  double west = 0.0;
  double rotation = 0.0;  // read, not drawn
};

// A screen overlay's placement. Screen and image coordinates start at the lower left; units
// other than "pixels" and "insetPixels" count as fractions, the KML default.
enum class ScreenUnits { Fraction, Pixels, InsetPixels };

struct ScreenVec {
  double x = 0.0;
  double y = 0.0;
  ScreenUnits xunits = ScreenUnits::Fraction;
  ScreenUnits yunits = ScreenUnits::Fraction;
};

struct ScreenPlacementData {
  ScreenVec overlayXY;
  ScreenVec screenXY;
  ScreenVec size;  // 0 or -1 keeps the image's own size
};

struct ModelData {
  std::optional<GeoPoint> location;
  std::optional<double> heading;
  std::optional<double> tilt;
  std::optional<double> roll;
  std::optional<GeoPoint> scale;  // x, y, z kept as lon, lat, alt
  std::string href;
};

enum class RefreshMode { OnChange, OnInterval, OnExpire };
enum class ViewRefreshMode { Never, OnStop, OnRequest, OnRegion };

struct LinkData {
  std::string href;  // resolved against the document it came from
  RefreshMode refreshMode = RefreshMode::OnChange;
  double refreshInterval = 4.0;  // seconds
  ViewRefreshMode viewRefreshMode = ViewRefreshMode::Never;
  double viewRefreshTime = 4.0;  // seconds
  std::optional<std::string> viewFormat;
  std::string httpQuery;
};

// Which fields an element carried: a Change applies exactly these.
enum FieldBit : std::uint32_t {
  kFieldName = 1u << 0,
  kFieldVisibility = 1u << 1,
  kFieldLookAt = 1u << 2,
  kFieldPoints = 1u << 3,
  kFieldLines = 1u << 4,
  kFieldModel = 1u << 5,
  kFieldIcon = 1u << 6,
  kFieldBox = 1u << 7,
  kFieldColor = 1u << 8,
  kFieldLink = 1u << 9,
  kFieldDescription = 1u << 10,
};

struct KmlNode {
  FeatureKind kind = FeatureKind::Folder;
  std::string name;
  std::string id;
  std::string description;
  bool visibility = true;
  bool flyToView = false;
  std::optional<LookAtData> lookAt;
  std::vector<GeoPoint> points;
  std::vector<std::vector<GeoPoint>> lines;
  std::optional<ModelData> model;
  std::string iconHref;                 // overlay image or inline placemark icon
  std::vector<std::string> styleHrefs;  // icons of shared styles declared here
  std::optional<LatLonBoxData> box;
  std::optional<ScreenPlacementData> screen;
  std::uint32_t color = 0xffffffffu;  // aabbggrr
  std::optional<LinkData> link;
  std::uint32_t fields = 0;  // FieldBit set
  std::vector<std::unique_ptr<KmlNode>> children;
};

enum class UpdateKind { Create, Change, Delete };

struct UpdateOp {
  UpdateKind kind = UpdateKind::Change;
  std::string targetId;
  // Create: the new features; Change: one partial feature; Delete: nothing (targetId names it).
  std::vector<std::unique_ptr<KmlNode>> payload;
};

struct KmlUpdate {
  std::string targetHref;
  std::vector<UpdateOp> ops;
};

struct ParsedKml {
  std::vector<std::unique_ptr<KmlNode>> features;
  std::vector<KmlUpdate> updates;
  std::size_t skippedElements = 0;  // features cut by the depth or count limits
};

class KmlParseError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

inline constexpr int kMaxFeatureDepth = 64;
inline constexpr std::size_t kMaxFeaturesPerDocument = 200000;
inline constexpr std::size_t kMaxCoordinatesPerLine = 100000;

// Reads a KML text; throws KmlParseError when it is not XML or not KML at all. Hrefs are
// resolved against baseUrl.
ParsedKml parseKml(std::string_view text, std::string_view baseUrl);

// Applies the fields of a Change payload to a feature.
void applyChange(KmlNode& target, KmlNode&& change);

// aabbggrr hex, an optional leading '#'; malformed text gives opaque white.
std::uint32_t parseKmlColor(std::string_view text);

// "lon,lat[,alt]" tuples separated by white space; malformed tuples are skipped.
std::vector<GeoPoint> parseCoordinates(std::string_view text, std::size_t limit);

}  // namespace tivra::globe
