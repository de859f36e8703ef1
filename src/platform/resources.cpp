#include "platform/resources.h"

namespace tivra::platform {

namespace detail {
// Defined in the sources generated from resources/ (cmake/resources.cmake).
extern const std::span<const std::uint8_t> kResource_default_png;
extern const std::span<const std::uint8_t> kResource_logo_png;
extern const std::span<const std::uint8_t> kResource_cross_png;
extern const std::span<const std::uint8_t> kResource_sample_picture_png;
extern const std::span<const std::uint8_t> kResource_sample_tile_png;
extern const std::span<const std::uint8_t> kResource_TivraCar_kmz;
extern const std::span<const std::uint8_t> kResource_sat_kmz;
extern const std::span<const std::uint8_t> kResource_demo_nmea;

namespace {

struct ResourceEntry {
  ResourceType type;
  int id;
  // A pointer, not a copy: another unit's span is not a constant expression, its address is.
  const std::span<const std::uint8_t>* bytes;
};

constexpr ResourceEntry kResources[] = {
    {ResourceType::Png, kResourceDefaultTile, &kResource_default_png},
    {ResourceType::Png, kResourceLogo, &kResource_logo_png},
    {ResourceType::Png, kResourceCross, &kResource_cross_png},
    {ResourceType::Png, kResourceSamplePicture, &kResource_sample_picture_png},
    {ResourceType::Png, kResourceSampleTile, &kResource_sample_tile_png},
    {ResourceType::Kmz, kResourceCarModel, &kResource_TivraCar_kmz},
    {ResourceType::Kmz, kResourceSatelliteModel, &kResource_sat_kmz},
    {ResourceType::Nmea, kResourceDemoRecording, &kResource_demo_nmea},
};

}  // namespace
}  // namespace detail

std::span<const std::uint8_t> findResource(ResourceType type, int id) {
  for (const auto& entry : detail::kResources) {
    if (entry.type == type && entry.id == id) return *entry.bytes;
  }
  return {};
}

}  // namespace tivra::platform
