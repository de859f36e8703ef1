#pragma once

// The simulated globe's borrowed parts, taken from the program's own libraries: HTTP over
// libcurl, image decoding and PNG writing over the image codecs.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <vector>

#include "globe/earth.h"
#include "globe/globe_deps.h"
#include "globe/sim_globe.h"

namespace tivra::app {

using globe::HttpAnswer;
using globe::HttpGet;
using globe::RgbaImage;
using globe::SimGlobeDeps;

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

struct BuiltInGlobeOptions {
  globe::SimGlobeOptions globe{};
  GlobeWiringOptions wiring{};
  // Wraps the globe's HTTP access (tests record what it asks for); empty: used as it is.
  std::function<HttpGet(HttpGet)> wrapHttpGet;
};

// The simulated globe the program runs, made from our HTTP client and codecs. It starts with the
// first handle asked for, so a run without the globe never starts it. Thread-safe.
class BuiltInGlobe {
 public:
  explicit BuiltInGlobe(BuiltInGlobeOptions options = {});
  ~BuiltInGlobe();
  BuiltInGlobe(const BuiltInGlobe&) = delete;
  BuiltInGlobe& operator=(const BuiltInGlobe&) = delete;

  // Hands out handles to the one globe; valid while this object lives.
  globe::EarthFactory factory();
  // Null until the first handle was made, and after release().
  globe::SimGlobe* globe() const;
  // Ends the globe: its destructor waits for its fetches, which are bounded. Every handle must
  // be gone.
  void release();

 private:
  BuiltInGlobeOptions m_options;
  mutable std::mutex m_mutex;
  std::unique_ptr<globe::SimGlobe> m_globe;
};

}  // namespace tivra::app
