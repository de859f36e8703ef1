#pragma once

// The index file: a paged container of growable byte arrays ("iio channels").
//
// Page 0 (P bytes, P = system page size, at least 256), little-endian:
//   OFFSET   SIZE  DESCRIPTION
//   0        4     magic "ABCD"
//   4        4     channel count N (only the low 16 bits are read back)
//   8+8i     4     factor F(i): pages channel i owns in each stripe
//   12+8i    4     length L(i): one past the highest byte ever written to channel i
//   8+8N     ...   unused
// Pages 1.. hold stripes of S = F(0)+...+F(N-1) pages; logical page a of channel i is file page
//   1 + (a mod F(i)) + (F(0)+...+F(i-1)) + (a div F(i)) * S.
// Bytes never written (or past the end of the file) read as zero. The header is rewritten at
// every checkpoint and at close; a length whose last byte lies past the end of the file only
// comes from damage.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <span>
#include <vector>

#include "store/file_io.h"

namespace tivra::store {

// At most this many cache units per channel stay in memory.
inline constexpr std::size_t kMaxCachePages = 8;
// Factors beyond this are refused when opening: they only come from a damaged header.
inline constexpr std::int32_t kMaxChannelFactor = 64;

// One cached unit: the F pages a channel owns in one stripe. Its pages are read from the file
// when first touched and only changed pages are written back; the file ends up with the same
// bytes as if whole units moved, at a fraction of the copying.
struct CachePage {
  std::vector<std::uint8_t> bytes;  // F*P bytes of one unit
  std::uint64_t loaded = 0;         // bit k: page k of the unit holds the file's bytes
  std::uint64_t dirty = 0;          // bit k: page k changed since it was read (clean when 0)
  std::uint64_t unit = 0;           // unit number; the channel byte offset is unit*F*P
  std::uint64_t stamp = 0;          // access counter at the last use
  bool valid = false;               // holds a unit
  bool clean() const { return dirty == 0; }
};

struct Channel {
  std::int32_t factor = 1;
  std::int64_t length = 0;  // kept below 2^31: it is stored as a signed 32-bit value
  std::uint64_t position = 0;
  std::vector<CachePage> pages;    // at most Container::maxPages
  std::vector<std::int32_t> slot;  // unit -> index in pages, -1 when not cached
};

struct Container {
  std::unique_ptr<File> file;
  std::filesystem::path path;
  std::size_t pageSize = 4096;
  bool writable = true;  // false: opened for reading only; close writes nothing
  // Units cached per channel. A store whose index lives in memory keeps every unit it touched.
  std::size_t maxPages = kMaxCachePages;
  std::vector<Channel> channels;
};

// The access counter shared by every container of the process (stamps for displacement).
std::uint64_t accessCounter();

// The page size the store uses: sysconf's value raised to 256 (or `requested` when not 0).
std::size_t storePageSize(std::size_t requested = 0);

// Creates the file afresh and writes a header without channels. Null when it cannot be created.
std::unique_ptr<Container> container_create(const FileSystem& fs, const std::filesystem::path& path,
                                            std::size_t pageSize);
std::unique_ptr<Container> container_create(std::unique_ptr<File> file,
                                            const std::filesystem::path& path,
                                            std::size_t pageSize);
// Null when the file cannot be opened, its magic is wrong or its header is not plausible (a
// channel longer than the file holds included).
std::unique_ptr<Container> container_open(const FileSystem& fs, const std::filesystem::path& path,
                                          bool writable, std::size_t pageSize);
std::unique_ptr<Container> container_open(std::unique_ptr<File> file,
                                          const std::filesystem::path& path, bool writable,
                                          std::size_t pageSize);
// The new channel's number, or -1 when the header page has no room for it.
int channel_add(Container& c, std::int32_t factor);
// The offset, or -1 for a bad channel.
std::int64_t channel_seek(Container& c, int channel, std::uint64_t offset);
// Both return the count, or -1 for a bad channel or a write past 2^31 bytes. File errors throw
// detail::IoFailure.
std::int64_t channel_read(Container& c, int channel, std::span<std::uint8_t> out);
std::int64_t channel_write(Container& c, int channel, std::span<const std::uint8_t> data);
// Writes back every changed page and the header, keeping the pages cached. False when
// something could not be written.
bool container_sync(Container& c);
// Writes back changed pages and the header; with cutToSize the file is cut to its used size.
// False when something could not be written (everything possible is still attempted).
bool container_close(std::unique_ptr<Container> c, bool cutToSize);
// container_close without letting go of the container.
bool container_finish(Container& c, bool cutToSize);
// Lets go of every cached unit that holds no change: after a walk over the whole index, the
// cache keeps only what later reads bring in.
void container_forget(Container& c);

}  // namespace tivra::store
