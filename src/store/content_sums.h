#pragma once

// The sum file beside the index and data files (base name + ".sum"): the CRC-32 of every
// entry's content, so that damage to the data file is noticed when the entry is read. It goes
// through the same checkpoints as the other two files (it is the journal's third file), so at
// every instant its sums describe the contents the other two files hold. Little-endian:
//   OFFSET   SIZE  DESCRIPTION
//   0        4     magic "TSUM"
//   4        4     0, reserved
//   8+8d     4     bit 31: a sum is kept for descriptor d; bits 0-30: the content size it covers
//   12+8d    4     CRC-32 (the polynomial of zlib and PNG) of descriptor d's content
// A record that is zero, lies past the end of the file, or covers another size than the
// descriptor's keeps no sum: the content was written by a program that keeps none (an older
// store, or one without the file) and is read unchecked, as before.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <vector>

#include "store/file_io.h"

namespace tivra::store {

std::filesystem::path sumPath(const std::filesystem::path& baseName);

// The largest sum file there is: the header and a record for each of the 65,536 descriptors.
// A larger one was not written by a store and is not read.
inline constexpr std::int64_t kMaxSumFileSize = 8 + 8 * 65536;

// CRC-32 of `bytes` continued from `crc` (0 for the first piece).
std::uint32_t crc32Update(std::uint32_t crc, std::span<const std::uint8_t> bytes);

// The records of an open sum file. Without a file (a read-only store that has none) no sum is
// kept and nothing is written. File errors throw detail::IoFailure.
class ContentSums {
 public:
  // Takes the file as found: one without the magic keeps no sums until the first set(), which
  // starts it afresh (a writer's file only). Null: no sums at all.
  void attach(File* file);

  // The sum kept for descriptor d's content of `size` bytes, if any.
  std::optional<std::uint32_t> sumOf(std::int64_t d, std::int64_t size);
  void set(std::int64_t d, std::int64_t size, std::uint32_t crc);
  // Forgets d's sum (the content is about to change).
  void clear(std::int64_t d);

  // A content read whole and found to match its sum (or to keep none) is not summed again on
  // every read: its bytes can only change through this store, and every change forgets it.
  bool known(std::int64_t d) const;
  void markKnown(std::int64_t d);

 private:
  void forget(std::int64_t d);

  File* m_file = nullptr;
  bool m_valid = false;       // the file starts with the magic
  std::vector<bool> m_known;  // by descriptor
};

}  // namespace tivra::store
