#pragma once

#include <atomic>
#include <cstdint>

namespace tivra::tiles {

// The map page's values, read by the request handlers on every overlay and tile request. The
// offsets and the offset-edited flag are written under StateLock (by the handlers and by the
// page); everything may be read without it, so every field is atomic.
struct MapValues {
  std::atomic<std::int32_t> xoff{0};           // `Xoff`, E5 units
  std::atomic<std::int32_t> yoff{0};           // `Yoff`, E5 units
  std::atomic<bool> autoOffset{true};          // `AutoOffset`
  std::atomic<std::int32_t> zoomLevel{1};      // `ZoomLevel`, -5..5
  std::atomic<std::int32_t> transParency{50};  // `TransParency`, percent opacity
  std::atomic<bool> transparentMode{true};     // `TransparentMode`
  std::atomic<std::int32_t> bkRange{0};        // `BKRange`, a multiple of 20, 0..100
  std::atomic<std::int32_t> colorNo{0};        // `ColorNo`, channel inversion mask; 0..9 is a digit
  std::atomic<bool> imageEnhancement{true};    // the page's "图像增强" switch, not stored
  std::atomic<bool> offsetEdited{false};  // set by a hand edit of Xoff/Yoff, cleared once stored
};

}  // namespace tivra::tiles
