#include "support/zip_archive.h"

#include <zlib.h>

#include <algorithm>
#include <stdexcept>

namespace tivra::test {

namespace {

constexpr std::uint32_t kEndSignature = 0x06054b50;
constexpr std::uint32_t kCentralSignature = 0x02014b50;
constexpr std::uint32_t kLocalSignature = 0x04034b50;
constexpr std::size_t kEndSize = 22;
constexpr std::size_t kCentralSize = 46;
constexpr std::size_t kLocalSize = 30;
// Members of our archives are small; a larger claim means a damaged size field.
constexpr std::uint32_t kMaxMemberSize = 64u << 20;

std::uint16_t le16(std::span<const std::uint8_t> b, std::size_t at) {
  if (at + 2 > b.size()) throw std::runtime_error("zip: field past the end of the data");
  return static_cast<std::uint16_t>(b[at] | (b[at + 1] << 8));
}

std::uint32_t le32(std::span<const std::uint8_t> b, std::size_t at) {
  return le16(b, at) | (static_cast<std::uint32_t>(le16(b, at + 2)) << 16);
}

}  // namespace

ZipArchive::ZipArchive(std::span<const std::uint8_t> bytes) : m_bytes(bytes) {
  if (bytes.size() < kEndSize) throw std::runtime_error("zip: too short for an end record");
  // The end record sits before a comment of at most 65535 bytes.
  std::size_t end = bytes.size() - kEndSize;
  const std::size_t lowest = end > 0xFFFF ? end - 0xFFFF : 0;
  while (le32(bytes, end) != kEndSignature) {
    if (end == lowest) throw std::runtime_error("zip: no end of central directory record");
    --end;
  }
  const std::uint16_t count = le16(bytes, end + 10);
  const std::uint32_t dirSize = le32(bytes, end + 12);
  const std::uint32_t dirOffset = le32(bytes, end + 16);
  if (le16(bytes, end + 8) != count) throw std::runtime_error("zip: multi-disk archive");
  if (static_cast<std::size_t>(dirOffset) + dirSize > end) {
    throw std::runtime_error("zip: central directory overlaps the end record");
  }

  std::size_t at = dirOffset;
  for (std::uint16_t i = 0; i < count; ++i) {
    if (at + kCentralSize > dirOffset + static_cast<std::size_t>(dirSize) ||
        le32(bytes, at) != kCentralSignature) {
      throw std::runtime_error("zip: bad central directory entry " + std::to_string(i));
    }
    ZipMember m;
    m.method = le16(bytes, at + 10);
    m.crc = le32(bytes, at + 16);
    m.compressedSize = le32(bytes, at + 20);
    m.size = le32(bytes, at + 24);
    const std::uint16_t nameLen = le16(bytes, at + 28);
    const std::size_t skip =
        static_cast<std::size_t>(nameLen) + le16(bytes, at + 30) + le16(bytes, at + 32);
    m.localOffset = le32(bytes, at + 42);
    if (at + kCentralSize + skip > dirOffset + static_cast<std::size_t>(dirSize)) {
      throw std::runtime_error("zip: central directory entry runs past the directory");
    }
    m.name.assign(reinterpret_cast<const char*>(bytes.data() + at + kCentralSize), nameLen);
    m_members.push_back(std::move(m));
    at += kCentralSize + skip;
  }
}

bool ZipArchive::contains(std::string_view name) const {
  return std::any_of(m_members.begin(), m_members.end(),
                     [&](const ZipMember& m) { return m.name == name; });
}

std::vector<std::uint8_t> ZipArchive::read(std::string_view name) const {
  const auto it = std::find_if(m_members.begin(), m_members.end(),
                               [&](const ZipMember& m) { return m.name == name; });
  if (it == m_members.end()) throw std::runtime_error("zip: no member " + std::string(name));
  const ZipMember& m = *it;
  if (m.size > kMaxMemberSize) throw std::runtime_error("zip: member too large");
  if (le32(m_bytes, m.localOffset) != kLocalSignature) {
    throw std::runtime_error("zip: bad local header of " + m.name);
  }
  const std::size_t data = static_cast<std::size_t>(m.localOffset) + kLocalSize +
                           le16(m_bytes, m.localOffset + 26) + le16(m_bytes, m.localOffset + 28);
  if (data + m.compressedSize > m_bytes.size()) {
    throw std::runtime_error("zip: data of " + m.name + " runs past the archive");
  }
  const auto packed = m_bytes.subspan(data, m.compressedSize);

  std::vector<std::uint8_t> out(m.size);
  if (m.method == 0) {
    if (m.compressedSize != m.size) throw std::runtime_error("zip: stored sizes differ");
    std::copy(packed.begin(), packed.end(), out.begin());
  } else if (m.method == 8) {
    z_stream zs{};
    if (inflateInit2(&zs, -MAX_WBITS) != Z_OK) throw std::runtime_error("zip: inflateInit2");
    zs.next_in = const_cast<Bytef*>(packed.data());
    zs.avail_in = static_cast<uInt>(packed.size());
    // One spare byte shows whether the stream holds more than the stated size.
    out.resize(static_cast<std::size_t>(m.size) + 1);
    zs.next_out = out.data();
    zs.avail_out = static_cast<uInt>(out.size());
    const int rc = inflate(&zs, Z_FINISH);
    const auto produced = zs.total_out;
    inflateEnd(&zs);
    if (rc != Z_STREAM_END || produced != m.size) {
      throw std::runtime_error("zip: deflate data of " + m.name + " is damaged");
    }
    out.resize(m.size);
  } else {
    throw std::runtime_error("zip: unsupported method of " + m.name);
  }
  const auto crc = crc32(0L, out.data(), static_cast<uInt>(out.size()));
  if (crc != m.crc) throw std::runtime_error("zip: CRC mismatch in " + m.name);
  return out;
}

std::string ZipArchive::readText(std::string_view name) const {
  const auto bytes = read(name);
  return {bytes.begin(), bytes.end()};
}

}  // namespace tivra::test
