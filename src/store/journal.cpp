#include "store/journal.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>

#include "store/byte_order.h"

namespace tivra::store {
namespace {

constexpr std::uint8_t kMagic[4] = {'T', 'J', 'N', 'L'};
constexpr std::uint8_t kEnd = 0xFF;
constexpr std::uint64_t kNoCut = std::numeric_limits<std::uint64_t>::max();
// A journal larger than this was not written by us: ignore it rather than read it whole.
constexpr std::int64_t kMaxJournal = std::int64_t{1} << 30;

std::uint64_t fnv1a(std::span<const std::uint8_t> bytes) {
  std::uint64_t h = 0xcbf29ce484222325ull;
  for (const std::uint8_t b : bytes) {
    h ^= b;
    h *= 0x100000001b3ull;
  }
  return h;
}

void put64(std::vector<std::uint8_t>& out, std::uint64_t v) {
  for (int i = 0; i < 8; ++i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

std::uint64_t get64(const std::uint8_t* p) {
  std::uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}

}  // namespace

HeldFile::HeldFile(std::unique_ptr<File> real, std::uint64_t realSize)
    : m_real(std::move(real)), m_realSize(realSize), m_size(realSize), m_cut(kNoCut) {}

bool HeldFile::mirror() {
  if (m_mirrored || m_realSize > kMaxMirror) return true;
  std::vector<std::uint8_t> bytes(static_cast<std::size_t>(m_realSize));
  const std::int64_t n = m_real->readAt(0, bytes);
  if (n < 0) return false;
  bytes.resize(static_cast<std::size_t>(n));
  m_mirror = std::move(bytes);
  m_mirrored = true;
  return true;
}

bool HeldFile::readReal(std::uint64_t offset, std::span<std::uint8_t> out) {
  const std::uint64_t limit = std::min(m_cut, m_realSize);
  std::size_t got = 0;
  if (offset < limit) {
    const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(out.size(), limit - offset));
    if (m_mirrored) {
      got = offset < m_mirror.size()
                ? std::min<std::size_t>(want, m_mirror.size() - static_cast<std::size_t>(offset))
                : 0;
      std::memcpy(out.data(), m_mirror.data() + offset, got);
    } else {
      const std::int64_t n = m_real->readAt(offset, out.first(want));
      if (n < 0) return false;
      got = static_cast<std::size_t>(n);
    }
  }
  std::fill(out.begin() + static_cast<std::ptrdiff_t>(got), out.end(), std::uint8_t{0});
  return true;
}

std::int64_t HeldFile::readAt(std::uint64_t offset, std::span<std::uint8_t> out) {
  if (offset >= m_size) return 0;
  const auto count = static_cast<std::size_t>(std::min<std::uint64_t>(out.size(), m_size - offset));
  if (m_pieces.empty() && m_cut == kNoCut && m_size == m_realSize && !m_mirrored)
    return m_real->readAt(offset, out.first(count));  // nothing held: the file as it is
  std::size_t done = 0;
  while (done < count) {
    const std::uint64_t pos = offset + done;
    const std::uint64_t piece = pos / kPiece;
    const auto it = m_pieces.lower_bound(piece);
    if (it != m_pieces.end() && it->first == piece) {
      const auto at = static_cast<std::size_t>(pos % kPiece);
      const std::size_t n = std::min<std::size_t>(kPiece - at, count - done);
      std::memcpy(out.data() + done, it->second.data() + at, n);
      done += n;
      continue;
    }
    // A run of pieces that are not held: one read of the file.
    const std::uint64_t runEnd = it == m_pieces.end() ? offset + count : it->first * kPiece;
    const std::size_t n =
        static_cast<std::size_t>(std::min<std::uint64_t>(runEnd, offset + count) - pos);
    if (!readReal(pos, out.subspan(done, n))) return -1;
    done += n;
  }
  return static_cast<std::int64_t>(count);
}

bool HeldFile::writeAt(std::uint64_t offset, std::span<const std::uint8_t> data) {
  std::size_t done = 0;
  while (done < data.size()) {
    const std::uint64_t pos = offset + done;
    const std::uint64_t piece = pos / kPiece;
    const auto at = static_cast<std::size_t>(pos % kPiece);
    const std::size_t n = std::min<std::size_t>(kPiece - at, data.size() - done);
    auto it = m_pieces.find(piece);
    if (it == m_pieces.end()) {
      std::vector<std::uint8_t> bytes(kPiece);
      if (!(at == 0 && n == kPiece) && !readReal(piece * kPiece, bytes)) return false;
      it = m_pieces.emplace(piece, std::move(bytes)).first;
    }
    std::memcpy(it->second.data() + at, data.data() + done, n);
    done += n;
  }
  m_size = std::max<std::uint64_t>(m_size, offset + data.size());
  return true;
}

bool HeldFile::truncate(std::uint64_t size) {
  if (size < m_size) {
    const std::uint64_t firstGone = (size + kPiece - 1) / kPiece;
    m_pieces.erase(m_pieces.lower_bound(firstGone), m_pieces.end());
    if (size % kPiece != 0) {
      const auto it = m_pieces.find(size / kPiece);
      if (it != m_pieces.end())
        std::fill(it->second.begin() + static_cast<std::ptrdiff_t>(size % kPiece), it->second.end(),
                  std::uint8_t{0});
    }
    m_cut = std::min(m_cut, size);
  }
  m_size = size;
  return true;
}

void HeldFile::appendTo(std::vector<std::uint8_t>& journal, std::uint8_t id) const {
  journal.push_back(static_cast<std::uint8_t>(2 + id));
  put64(journal, m_cut);
  put64(journal, m_size);
  for (const auto& [piece, bytes] : m_pieces) {
    const std::uint64_t at = piece * kPiece;
    if (at >= m_size) break;
    const auto n = static_cast<std::uint32_t>(std::min<std::uint64_t>(kPiece, m_size - at));
    journal.push_back(id);
    put64(journal, at);
    journal.resize(journal.size() + 4);
    putLe32(&journal[journal.size() - 4], n);
    journal.insert(journal.end(), bytes.begin(), bytes.begin() + n);
  }
}

bool HeldFile::apply() {
  if (m_cut < m_realSize) {
    if (!m_real->truncate(m_cut)) return false;
    m_realSize = m_cut;
  }
  std::uint64_t end = m_realSize;
  for (const auto& [piece, bytes] : m_pieces) {
    const std::uint64_t at = piece * kPiece;
    if (at >= m_size) break;
    const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(kPiece, m_size - at));
    if (!m_real->writeAt(at, std::span<const std::uint8_t>(bytes.data(), n))) return false;
    end = std::max<std::uint64_t>(end, at + n);
  }
  if (end != m_size && !m_real->truncate(m_size)) return false;
  if (m_mirrored) {
    m_mirror.resize(static_cast<std::size_t>(std::min<std::uint64_t>(m_cut, m_mirror.size())));
    m_mirror.resize(static_cast<std::size_t>(m_size));
    for (const auto& [piece, bytes] : m_pieces) {
      const std::uint64_t at = piece * kPiece;
      if (at >= m_size) break;
      const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(kPiece, m_size - at));
      std::memcpy(m_mirror.data() + at, bytes.data(), n);
    }
  }
  m_realSize = m_size;
  m_cut = kNoCut;
  m_pieces.clear();
  return true;
}

std::unique_ptr<File> HoldingFileSystem::open(const std::filesystem::path& path,
                                              OpenMode mode) const {
  auto file = m_real.open(path, mode);
  if (!file) return nullptr;
  const std::int64_t size = file->size();
  if (size < 0) return nullptr;
  return std::make_unique<HeldFile>(std::move(file), static_cast<std::uint64_t>(size));
}

std::filesystem::path journalPath(const std::filesystem::path& baseName) {
  std::filesystem::path p = baseName;
  p += ".jnl";
  return p;
}

namespace {

JournalOutcome finish(File& journal, HeldFile& index, HeldFile& data) {
  bool ok = index.apply();
  ok = data.apply() && ok;
  ok = index.real().flush() && ok;
  ok = data.real().flush() && ok;
  if (!ok) return JournalOutcome::kUnfinished;
  return journal.truncate(0) && journal.flush() ? JournalOutcome::kDone
                                                : JournalOutcome::kUnfinished;
}

}  // namespace

JournalOutcome journal_commit(const FileSystem& fs, const std::filesystem::path& journal,
                              HeldFile& index, HeldFile& data) {
  if (!index.pending() && !data.pending()) return JournalOutcome::kDone;
  std::vector<std::uint8_t> image(kMagic, kMagic + 4);
  image.reserve(64 + (index.heldBytes() + data.heldBytes()) * 1025 / 1024);
  index.appendTo(image, 0);
  data.appendTo(image, 1);
  const std::uint64_t hash = fnv1a(image);
  image.push_back(kEnd);
  put64(image, hash);

  auto file = fs.open(journal, OpenMode::kCreate);
  if (!file || !file->writeAt(0, image) || !file->flush()) {
    // A journal cut short is never replayed: it would only keep the space it took.
    const int cause = errno;
    file.reset();
    fs.remove(journal);
    errno = cause;
    return JournalOutcome::kNoJournal;
  }
  // From here on the journal completes the files whatever happens.
  return finish(*file, index, data);
}

JournalOutcome journal_finish(const FileSystem& fs, const std::filesystem::path& journal,
                              HeldFile& index, HeldFile& data) {
  // Gone (removed by hand): everything is still held, so a new journal can take its place.
  if (!fs.exists(journal)) return journal_commit(fs, journal, index, data);
  auto file = fs.open(journal, OpenMode::kReadWrite);
  if (!file) return JournalOutcome::kUnfinished;
  return finish(*file, index, data);
}

int journal_load(const FileSystem& fs, const std::filesystem::path& journal, HeldFile& index,
                 HeldFile& data) {
  if (!fs.exists(journal)) return 0;
  auto file = fs.open(journal, OpenMode::kRead);
  if (!file) return 0;
  const std::int64_t size = file->size();
  if (size < 4 + 9 || size > kMaxJournal) return 0;
  std::vector<std::uint8_t> image(static_cast<std::size_t>(size));
  if (file->readAt(0, image) != size || std::memcmp(image.data(), kMagic, 4) != 0) return 0;
  // Check the whole journal before using any of it.
  const std::size_t endAt = image.size() - 9;
  if (image[endAt] != kEnd || get64(&image[endAt + 1]) != fnv1a(std::span(image).first(endAt)))
    return 0;
  struct Piece {
    std::uint8_t id;
    std::uint64_t offset;
    std::span<const std::uint8_t> bytes;
  };
  std::vector<Piece> pieces;
  std::uint64_t cut[2] = {kNoCut, kNoCut}, finalSize[2] = {0, 0};
  bool sized[2] = {false, false};
  std::size_t at = 4;
  while (at < endAt) {
    const std::uint8_t kind = image[at++];
    if ((kind == 2 || kind == 3) && endAt - at >= 16) {
      cut[kind - 2] = get64(&image[at]);
      finalSize[kind - 2] = get64(&image[at + 8]);
      sized[kind - 2] = true;
      at += 16;
    } else if (kind <= 1 && endAt - at >= 12) {
      const std::uint64_t offset = get64(&image[at]);
      const std::uint32_t n = getLe32(&image[at + 8]);
      at += 12;
      if (n > endAt - at || offset > (std::uint64_t{1} << 40)) return 0;
      pieces.push_back({kind, offset, std::span<const std::uint8_t>(&image[at], n)});
      at += n;
    } else {
      return 0;
    }
  }
  HeldFile* files[2] = {&index, &data};
  for (int i = 0; i < 2; ++i) {
    if (sized[i] && cut[i] < static_cast<std::uint64_t>(files[i]->size()))
      files[i]->truncate(cut[i]);
  }
  for (const Piece& p : pieces) {
    if (!files[p.id]->writeAt(p.offset, p.bytes)) return -1;
  }
  for (int i = 0; i < 2; ++i) {
    if (sized[i]) files[i]->truncate(finalSize[i]);
  }
  return 1;
}

}  // namespace tivra::store
