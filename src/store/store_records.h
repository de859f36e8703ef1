#pragma once

// Records of the index file's four channels, all little-endian.
//
// Channel 0, factor 4: name-tree nodes, 16 bytes (node 0 is the header node: descriptor 0,
// bit -1, name chunk 0 in use, both links 0; its right link is the root).
//   OFFSET  SIZE  DESCRIPTION
//   0       2     descriptor number (unsigned)
//   2       2     bit index tested here (signed; -1 for the header)
//   4       4     bit 31: in use; bits 0-30: first name chunk
//   8       4     left link (key bit 0), signed
//   12      4     right link (key bit 1, and always from a negative bit index), signed
// Channel 1, factor 8: name chunks, 64 bytes (chunk 0 holds the header's name ".")
//   0       4     bit 31: in use; bits 0-30: next chunk, 0 for the last
//   4       60    the next 60 bytes of the name, zero-padded (a name of n bytes takes n/60+1)
// Channel 2, factor 1: entry descriptors, 16 bytes
//   0       4     link count (0 or less: free)
//   4       4     content size in bytes
//   8       4     first data block
//   12      4     spare, kept as found
// Channel 3, factor 4: block map, 4 bytes per data block: 0 free, -1 last of chain, else next.
// Bit k of a name is bit (k mod 8), from the least significant, of byte (k div 8); bytes past
// the terminating zero are 0.

#include <cstddef>
#include <cstdint>

namespace tivra::store {

inline constexpr int kTreeChannel = 0;
inline constexpr int kChunkChannel = 1;
inline constexpr int kDescriptorChannel = 2;
inline constexpr int kBlockMapChannel = 3;
inline constexpr std::int32_t kChannelFactors[4] = {4, 8, 1, 4};

inline constexpr std::size_t kNodeSize = 16;
inline constexpr std::size_t kChunkSize = 64;
inline constexpr std::size_t kChunkText = 60;
inline constexpr std::size_t kDescriptorSize = 16;
inline constexpr std::size_t kMapEntrySize = 4;
inline constexpr std::uint32_t kInUse = 0x80000000u;

struct Node {
  std::uint16_t descriptor = 0;
  std::int16_t bit = 0;
  std::uint32_t name = 0;
  std::int32_t left = 0;
  std::int32_t right = 0;

  bool inUse() const { return (name & kInUse) != 0; }
  std::uint32_t firstChunk() const { return name & ~kInUse; }
};

struct Chunk {
  std::uint32_t link = 0;
  std::uint8_t text[kChunkText] = {};

  bool inUse() const { return (link & kInUse) != 0; }
  std::uint32_t next() const { return link & ~kInUse; }
};

struct Descriptor {
  std::int32_t links = 0;
  std::int32_t size = 0;
  std::int32_t firstBlock = 0;
  std::uint32_t spare = 0;
};

}  // namespace tivra::store
