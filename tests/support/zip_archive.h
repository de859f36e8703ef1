#pragma once

// A read-only ZIP reader for tests: stored and deflated members, no ZIP64, no encryption.
// Little-endian throughout.
//
// End of central directory record (at the end, before an optional comment):
//   OFFSET SIZE DESCRIPTION
//        0    4 signature 0x06054b50
//        8    2 number of entries on this disk
//       10    2 total number of entries
//       12    4 size of the central directory
//       16    4 offset of the central directory
//       20    2 comment length
// Central directory entry:
//        0    4 signature 0x02014b50
//       10    2 compression method (0 stored, 8 deflate)
//       16    4 CRC-32
//       20    4 compressed size
//       24    4 uncompressed size
//       28    2 name length n
//       30    2 extra field length e
//       32    2 comment length c
//       42    4 offset of the local header
//       46    n name, then e extra bytes and c comment bytes
// Local header:
//        0    4 signature 0x04034b50
//       26    2 name length n
//       28    2 extra field length e
//       30      name, extra field, then the member's data

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tivra::test {

struct ZipMember {
  std::string name;
  std::uint16_t method = 0;
  std::uint32_t crc = 0;
  std::uint32_t compressedSize = 0;
  std::uint32_t size = 0;
  std::uint32_t localOffset = 0;
};

class ZipArchive {
 public:
  // Reads the central directory; throws std::runtime_error naming what is malformed.
  explicit ZipArchive(std::span<const std::uint8_t> bytes);

  const std::vector<ZipMember>& members() const { return m_members; }
  bool contains(std::string_view name) const;
  // The member's uncompressed bytes, CRC checked; throws if it is absent or damaged.
  std::vector<std::uint8_t> read(std::string_view name) const;
  std::string readText(std::string_view name) const;

 private:
  std::span<const std::uint8_t> m_bytes;
  std::vector<ZipMember> m_members;
};

}  // namespace tivra::test
