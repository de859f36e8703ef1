#pragma once

#include <cstdint>
#include <span>

namespace tivra::tiles {

// Whether bytes hold one whole image of a format the program knows, walked by its structure
// (no pixel is decoded), so that an error page or a body cut short is never kept as a tile:
//
// format  whole when
// ------  -----------------------------------------------------------------------------------
// PNG     the signature, then chunks (4-byte big-endian length, type, data, CRC) beginning
//         with IHDR and reaching an IEND chunk of length 0 within the bytes
// JPEG    SOI (FF D8), then marker segments; after each SOS the entropy-coded data up to the
//         next marker; EOI (FF D9) reached within the bytes
// GIF     "GIF87a"/"GIF89a", the screen descriptor and its colour table, then image
//         descriptors and extensions with their data sub-blocks, up to the trailer (3B)
// BMP     "BM" and a declared file size (bytes 2..5, little-endian) that is at least a
//         header's size and no more than the bytes received
//
// Bytes after the end of the image are allowed; they do not make a cut image whole.
bool isWholeImage(std::span<const std::uint8_t> bytes);

}  // namespace tivra::tiles
