#pragma once

#include <cstdint>
#include <span>

namespace tivra::platform {

// The custom resource types of the program: the names "PNG", "KMZ" and "NMEA".
enum class ResourceType { Png, Kmz, Nmea };

// Resource ids of the built-in items.
inline constexpr int kResourceSamplePicture = 135;   // 200 x 201 RGB, preview background
inline constexpr int kResourceSampleTile = 136;      // 200 x 200 RGB, preview map tile
inline constexpr int kResourceLogo = 150;            // logo.png, 75 x 18 RGBA
inline constexpr int kResourceDefaultTile = 151;     // default.png, 200 x 200 RGB
inline constexpr int kResourceCross = 155;           // cross.png, 32 x 32 RGBA
inline constexpr int kResourceCarModel = 156;        // TivraCar.kmz
inline constexpr int kResourceSatelliteModel = 158;  // sat.kmz
inline constexpr int kResourceDemoRecording = 160;   // demo.nmea

// The bytes of a built-in resource by type and id, compiled into the program from the files
// under resources/; an empty span if there is no such resource. The bytes live for the whole
// run of the program.
std::span<const std::uint8_t> findResource(ResourceType type, int id);

}  // namespace tivra::platform
