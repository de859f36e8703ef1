#pragma once

// The simulated globe's borrowed parts, taken from the program's own libraries: HTTP over
// libcurl, image decoding and PNG writing over the image codecs.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "app/globe_deps.h"

namespace tivra::app {

struct GlobeWiringOptions {
  // The globe's destructor joins its fetch workers: every fetch must end soon.
  std::chrono::milliseconds connectTimeout{2'000};
  std::chrono::milliseconds totalTimeout{10'000};
  std::size_t maxBodyBytes = 32u << 20;
};

inline constexpr int kMaxRedirects = 5;

// GET with the given bounds, following up to kMaxRedirects redirects (the time-outs cover all
// hops). Answers without a status line (our own KmlServer and GPS
// documents are sent bare) count as status 200; a body over the bound is a failure.
HttpGet makeHttpGet(const GlobeWiringOptions& options = {});

// PNG, JPEG, GIF or BMP into RGBA rows; nullopt for anything undecodable.
std::optional<RgbaImage> decodeRgba(std::span<const std::uint8_t> bytes);

// An 8-bit RGBA PNG; empty when the image cannot be written (bad size, out of memory).
std::vector<std::uint8_t> encodeRgbaPng(const RgbaImage& image);

SimGlobeDeps makeGlobeDeps(const GlobeWiringOptions& options = {});

}  // namespace tivra::app
