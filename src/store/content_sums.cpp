#include "store/content_sums.h"

#include <isa-l/crc.h>

#include <algorithm>
#include <cstring>

#include "store/byte_order.h"
#include "store/store.h"
#include "store/store_fault.h"

namespace tivra::store {
namespace {

constexpr std::uint8_t kMagic[4] = {'T', 'S', 'U', 'M'};
constexpr std::uint64_t kHeader = 8;
constexpr std::uint64_t kRecord = 8;
constexpr std::uint32_t kKept = 0x80000000u;

std::uint64_t recordAt(std::int64_t d) {
  return kHeader + kRecord * static_cast<std::uint64_t>(d);
}

}  // namespace

std::filesystem::path sumPath(const std::filesystem::path& baseName) {
  std::filesystem::path p = baseName;
  p += ".sum";
  return p;
}

std::uint32_t crc32Update(std::uint32_t crc, std::span<const std::uint8_t> bytes) {
  // ISA-L folds with carry-less multiplies: a few times zlib's speed, the same values.
  return crc32_gzip_refl(crc, bytes.data(), bytes.size());
}

void ContentSums::attach(File* file) {
  m_file = file;
  m_valid = false;
  m_known.assign(static_cast<std::size_t>(kMaxDescriptors), false);
  if (m_file == nullptr) return;
  std::uint8_t head[kHeader] = {};
  const std::int64_t n = m_file->readAt(0, head);
  if (n < 0) throw detail::IoFailure("cannot read the sum file");
  m_valid = n == static_cast<std::int64_t>(kHeader) && std::memcmp(head, kMagic, 4) == 0;
}

std::optional<std::uint32_t> ContentSums::sumOf(std::int64_t d, std::int64_t size) {
  if (!m_valid || d < 0 || d >= kMaxDescriptors) return std::nullopt;
  std::uint8_t r[kRecord];
  const std::int64_t n = m_file->readAt(recordAt(d), r);
  if (n < 0) throw detail::IoFailure("cannot read the sum file");
  if (n != static_cast<std::int64_t>(kRecord)) return std::nullopt;
  const std::uint32_t tag = getLe32(r);
  if ((tag & kKept) == 0 || std::int64_t{tag & ~kKept} != size) return std::nullopt;
  return getLe32(r + 4);
}

void ContentSums::set(std::int64_t d, std::int64_t size, std::uint32_t crc) {
  if (m_file == nullptr || d < 0 || d >= kMaxDescriptors || size < 0 || size > INT32_MAX) return;
  if (!m_valid) {
    // A file without the magic holds nothing of use: start it afresh.
    std::uint8_t head[kHeader] = {};
    std::memcpy(head, kMagic, 4);
    if (!m_file->truncate(0) || !m_file->writeAt(0, head))
      throw detail::IoFailure("cannot write the sum file");
    m_valid = true;
  }
  std::uint8_t r[kRecord];
  putLe32(r, kKept | static_cast<std::uint32_t>(size));
  putLe32(r + 4, crc);
  if (!m_file->writeAt(recordAt(d), r)) throw detail::IoFailure("cannot write the sum file");
  forget(d);
}

bool ContentSums::known(std::int64_t d) const {
  return d >= 0 && static_cast<std::size_t>(d) < m_known.size() &&
         m_known[static_cast<std::size_t>(d)];
}

void ContentSums::markKnown(std::int64_t d) {
  if (d >= 0 && static_cast<std::size_t>(d) < m_known.size())
    m_known[static_cast<std::size_t>(d)] = true;
}

void ContentSums::forget(std::int64_t d) {
  if (d >= 0 && static_cast<std::size_t>(d) < m_known.size())
    m_known[static_cast<std::size_t>(d)] = false;
}

void ContentSums::clear(std::int64_t d) {
  forget(d);
  if (!m_valid || d < 0 || d >= kMaxDescriptors) return;
  std::uint8_t r[kRecord] = {};
  const std::int64_t n = m_file->readAt(recordAt(d), r);
  if (n < 0) throw detail::IoFailure("cannot read the sum file");
  if (std::all_of(r, r + kRecord, [](std::uint8_t b) { return b == 0; })) return;
  std::fill(r, r + kRecord, std::uint8_t{0});
  if (!m_file->writeAt(recordAt(d), r)) throw detail::IoFailure("cannot write the sum file");
}

}  // namespace tivra::store
