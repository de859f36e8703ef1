#include "store/store.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <climits>
#include <cstring>
#include <map>
#include <set>
#include <string>

#include "store/byte_order.h"
#include "store/lock_file.h"
#include "store/store_fault.h"
#include "store/store_internal.h"

namespace tivra::store {
namespace {

// The mode of the most recent store_open; it applies to the whole process.
std::atomic<int> g_openMode{kModeRead};

constexpr std::size_t kInitialHandles = 32;
// Held writes beyond this make the next operation end with a checkpoint: memory stays bounded
// however much is written between the timed checkpoints.
constexpr std::size_t kMaxHeldBytes = std::size_t{16} << 20;
// Units cached per channel when the index is kept in memory: every unit a read touched stays,
// up to 2^31 bytes of channel at the smallest page size.
constexpr std::size_t kMemoryIndexUnits = std::size_t{1} << 23;

using detail::allocBlock;
using detail::allocDescriptor;
using detail::blockCount;
using detail::chainBlocks;
using detail::checkRange;
using detail::Corrupt;
using detail::cutChainAfter;
using detail::insertName;
using detail::IoFailure;
using detail::Key;
using detail::lastBlock;
using detail::linkByBit;
using detail::nextFreeBlock;
using detail::nextFreeChunk;
using detail::nextFreeDescriptor;
using detail::nextFreeNode;
using detail::rawChunk;
using detail::rawDescriptor;
using detail::rawMap;
using detail::rawNode;
using detail::readRecordsAt;
using detail::releaseChain;
using detail::releaseDescriptor;
using detail::removeName;
using detail::validBlock;
using detail::writeChunk;
using detail::writeDescriptor;
using detail::writeMap;
using detail::writeNode;

// ---- handles ----------------------------------------------------------------------------

int takeHandle(Store& s, const OpenEntry& e) {
  for (std::size_t i = 0; i < s.handles.size(); ++i) {
    if (!s.handles[i]) {
      s.handles[i] = e;
      return static_cast<int>(i);
    }
  }
  const std::size_t first = s.handles.size();
  if (first >= static_cast<std::size_t>(INT_MAX / 2)) return -1;
  s.handles.resize(first * 2);
  s.handles[first] = e;
  return static_cast<int>(first);
}

OpenEntry* handleOf(Store& s, int h) {
  if (h < 0 || static_cast<std::size_t>(h) >= s.handles.size() ||
      !s.handles[static_cast<std::size_t>(h)])
    return nullptr;
  return &*s.handles[static_cast<std::size_t>(h)];
}

// The descriptor behind an open handle, checked again on every use: the entry may have been
// removed or damaged since it was opened.
Descriptor handleDescriptor(Store& s, const OpenEntry& e) {
  const Descriptor d = detail::readDescriptor(s, e.descriptor);
  if (d.links <= 0 || d.firstBlock != e.firstBlock || d.size < 0)
    throw Corrupt("entry changed under its handle");
  return d;
}

// Opened for writing, and not held back by a checkpoint that failed.
bool writable(const Store& s) {
  return (s.mode & 2) != 0 && s.stall == JournalOutcome::kDone;
}

// Opens the entry named by node n; -1 when its descriptor is not usable.
int openNode(Store& s, std::int32_t n, int flags) {
  const Node node = detail::readNode(s, n);
  Descriptor d = detail::readDescriptor(s, node.descriptor);
  if (!detail::usableDescriptor(s, d)) return -1;
  if ((flags & kOpenAccessMask) != 0 && (flags & kOpenTruncate) != 0) {
    cutChainAfter(s, d.firstBlock);
    d.size = 0;
    writeDescriptor(s, node.descriptor, d);
  }
  return takeHandle(s, OpenEntry{n, node.descriptor, d.firstBlock, 0, flags});
}

// Sets the position and makes sure the chain has a block for every byte up to it.
void seekTo(Store& s, OpenEntry& e, Descriptor& d, std::int64_t pos) {
  e.position = pos;
  const std::int64_t have = std::max<std::int64_t>(1, (std::int64_t{d.size} + 511) / 512);
  const std::int64_t need = pos / 512 + 1;
  if (need > have) {
    std::int64_t length = 0;
    std::int32_t last = lastBlock(s, d.firstBlock, length);
    if (length < have) throw Corrupt("block chain shorter than its content");
    for (; length < need; ++length) {
      const std::int32_t b = allocBlock(s);
      writeMap(s, last, b);
      last = b;
    }
  }
  if (d.size <= pos) {
    d.size = static_cast<std::int32_t>(pos + 1);
    writeDescriptor(s, e.descriptor, d);
  }
}

HeldFile& heldIndex(Store& s) {
  return static_cast<HeldFile&>(*s.index->file);
}
HeldFile& heldData(Store& s) {
  return static_cast<HeldFile&>(*s.data->file);
}

// An index that holds no channels: a store whose first run ended before anything was made
// durable. It names nothing, so a fresh store takes its place.
bool emptyShell(HeldFile& index) {
  std::uint8_t head[8] = {};
  const std::int64_t n = index.readAt(0, head);
  if (n < 0) throw IoFailure("cannot read the index file");
  return n == 0 || (n == 8 && std::memcmp(head, "ABCD", 4) == 0 && getLe32(head + 4) == 0);
}

int checkpoint(Store& s) {
  if (s.failed) return -1;
  if ((s.mode & 2) == 0 || !s.changed) return 0;
  JournalOutcome outcome = JournalOutcome::kUnfinished;
  if (s.stall == JournalOutcome::kUnfinished) {
    // Nothing was written since: the complete journal on disk holds it all.
    outcome = journal_finish(*s.fs, s.journal, heldIndex(s), heldData(s));
  } else {
    bool ok = data_sync(*s.data);
    ok = container_sync(*s.index) && ok;
    if (!ok) {
      s.failed = true;
      return -1;
    }
    outcome = journal_commit(*s.fs, s.journal, heldIndex(s), heldData(s));
  }
  s.stall = outcome;
  if (outcome != JournalOutcome::kDone) return -1;
  s.changed = false;
  return 0;
}

// Runs one engine operation: -1 for a null store, a failed store, damage or a file error.
template <typename Op>
int guarded(Store* s, Op op) {
  if (s == nullptr || s->failed) return -1;
  try {
    const int r = op(*s);
    if (s->changed && s->stall == JournalOutcome::kDone &&
        heldIndex(*s).heldBytes() + heldData(*s).heldBytes() > kMaxHeldBytes && checkpoint(*s) != 0)
      return -1;
    return r;
  } catch (const Corrupt&) {
    return -1;
  } catch (const IoFailure&) {
    s->failed = true;
    return -1;
  }
}

int closeStore(Store* s) {
  bool ok = !s->failed;
  // After a file error the held writes may end half way through an operation: they are
  // dropped, and the files stay as the last checkpoint left them.
  const bool rw = (s->mode & 2) != 0;
  // A complete journal left by a failed checkpoint is applied before anything else is written.
  if (ok && rw && s->stall == JournalOutcome::kUnfinished) ok = checkpoint(*s) == 0;
  if (ok) {
    const bool cut = (g_openMode.load() & 2) != 0 && rw;
    ok = data_sync(*s->data) && ok;
    ok = container_finish(*s->index, cut) && ok;
    if (rw) {
      s->changed = true;
      ok = ok && checkpoint(*s) == 0;
      if (ok) s->fs->remove(s->journal);
    }
  }
  s->data.reset();
  s->index.reset();
  s->handles.clear();
  lock_release(*s->fs, s->baseName);
  return ok ? 0 : -1;
}

}  // namespace

// ---- open and close -----------------------------------------------------------------------

int processOpenMode() {
  return g_openMode.load();
}

void StoreCloser::operator()(Store* s) const noexcept {
  if (s == nullptr) return;
  try {
    closeStore(s);
  } catch (...) {
  }
  std::unique_ptr<Store> owned(s);
}

StorePtr store_open(const std::filesystem::path& baseName, int mode, const StoreOptions& options) {
  if (mode != kModeRead && mode != kModeReadWrite) return nullptr;
  g_openMode.store(mode);
  const FileSystem& fs = options.fileSystem != nullptr ? *options.fileSystem : defaultFileSystem();
  if (lock_check(fs, baseName, mode) != 1) return nullptr;
  const std::size_t pageSize = storePageSize(options.pageSize);
  auto idxPath = baseName;
  idxPath += ".idx";
  auto datPath = baseName;
  datPath += ".dat";

  auto s = std::make_unique<Store>();
  s->fs = &fs;
  s->held = std::make_unique<HoldingFileSystem>(fs);
  s->journal = journalPath(baseName);
  s->mode = mode;
  s->baseName = baseName;
  s->handles.resize(kInitialHandles);
  const bool rw = (mode & 2) != 0;
  try {
    bool fresh = !fs.exists(idxPath) || !fs.exists(datPath);
    if (!fresh) {
      // Files that exist but cannot be opened are never replaced.
      auto idxFile = s->held->open(idxPath, rw ? OpenMode::kReadWrite : OpenMode::kRead);
      auto datFile = s->held->open(datPath, rw ? OpenMode::kReadWrite : OpenMode::kRead);
      if (!idxFile || !datFile) return nullptr;
      auto& hi = static_cast<HeldFile&>(*idxFile);
      auto& hd = static_cast<HeldFile&>(*datFile);
      // The index is a few megabytes for tens of thousands of tiles: read from memory.
      if (options.memoryIndex && !hi.mirror()) return nullptr;
      // A checkpoint cut short by a kill is completed from its journal.
      const int replayed = journal_load(fs, s->journal, hi, hd);
      if (replayed < 0) return nullptr;
      // Applied as it stands: rewriting it first could lose it to a full disk.
      if (rw && replayed > 0 && journal_finish(fs, s->journal, hi, hd) != JournalOutcome::kDone) {
        s->stall = JournalOutcome::kUnfinished;
        s->changed = true;
      }
      fresh = rw && emptyShell(hi);
      if (!fresh) {
        s->index = container_open(std::move(idxFile), idxPath, rw, pageSize);
        if (!s->index || s->index->channels.size() < 4) return nullptr;
        if (heldIndex(*s).mirrored()) s->index->maxPages = kMemoryIndexUnits;
        s->data = data_attach(std::move(datFile), datPath);
        // A store without its header node and name is not a store.
        const Node header = rawNode(*s, 0);
        if (detail::recordCount(*s, kTreeChannel, kNodeSize) < 1 || !header.inUse()) return nullptr;
        s->freeNode = nextFreeNode(*s, 1);
        s->freeChunk = nextFreeChunk(*s, 1);
        s->freeDescriptor = nextFreeDescriptor(*s, 0);
        s->freeBlock = nextFreeBlock(*s, 1);
      }
    }
    if (fresh) {
      if (!rw) return nullptr;
      // An old journal must never be replayed over the new files.
      fs.remove(s->journal);
      s->stall = JournalOutcome::kDone;
      auto idxFile = s->held->open(idxPath, OpenMode::kCreate);
      if (!idxFile || (options.memoryIndex && !static_cast<HeldFile&>(*idxFile).mirror()))
        return nullptr;
      s->index = container_create(std::move(idxFile), idxPath, pageSize);
      if (!s->index) return nullptr;
      if (heldIndex(*s).mirrored()) s->index->maxPages = kMemoryIndexUnits;
      s->data = data_attach(s->held->open(datPath, OpenMode::kCreate), datPath);
      if (!s->data) return nullptr;
      for (const std::int32_t factor : kChannelFactors) {
        if (channel_add(*s->index, factor) < 0) return nullptr;
      }
      Node header;
      header.bit = -1;
      header.name = kInUse;
      writeNode(*s, 0, header);
      Chunk dot;
      dot.link = kInUse;
      dot.text[0] = '.';
      writeChunk(*s, 0, dot);
      // Durable from the first moment: a kill from here on leaves a store that opens.
      if (checkpoint(*s) != 0) return nullptr;
    }
  } catch (const detail::Corrupt&) {
    return nullptr;
  } catch (const detail::IoFailure&) {
    return nullptr;
  }
  lock_acquire(fs, baseName, mode);
  return StorePtr(s.release());
}

int store_checkpoint(Store* s) {
  if (s == nullptr) return -1;
  try {
    return checkpoint(*s);
  } catch (...) {
    s->failed = true;
    return -1;
  }
}

bool store_changed(const Store* s) {
  return s != nullptr && s->changed;
}

bool store_stalled(const Store* s) {
  return s != nullptr && !s->failed && s->stall != JournalOutcome::kDone;
}

int store_close(StorePtr store) {
  if (!store) return -1;
  Store* s = store.release();
  std::unique_ptr<Store> owned(s);
  try {
    return closeStore(s);
  } catch (...) {
    return -1;
  }
}

// ---- entries ------------------------------------------------------------------------------

int entry_exists(Store* s, std::string_view name) {
  const int r = guarded(s, [&](Store& st) { return detail::findName(st, Key(name)) >= 0 ? 1 : 0; });
  return r == 1 ? 1 : 0;
}

int entry_open(Store* s, std::string_view name, int flags) {
  return guarded(s, [&](Store& st) {
    if ((flags & kOpenAccessMask) != 0 && !writable(st)) return -1;
    const std::int32_t x = detail::findName(st, Key(name));
    // The header's name "." is in the tree but names no content of its own.
    if (x <= 0) return -1;
    return openNode(st, x, flags);
  });
}

int entry_create(Store* s, std::string_view name) {
  constexpr int kFlags = kOpenCreate | kOpenTruncate | kOpenReadWrite;
  return guarded(s, [&](Store& st) {
    if (!writable(st)) return -1;
    const Key key(name);
    const detail::SearchPath path = detail::search(st, key);
    if (detail::nameEquals(st, detail::readNode(st, path.x), key)) {
      if (path.x == 0) return -1;
      const int h = openNode(st, path.x, kFlags);
      if (h >= 0) return h;
      // The name is stored but its content is damaged: give the name a fresh, empty content.
      if (st.freeDescriptor >= kMaxDescriptors) return -1;
      Node node = detail::readNode(st, path.x);
      node.descriptor = static_cast<std::uint16_t>(allocDescriptor(st));
      Descriptor d = rawDescriptor(st, node.descriptor);
      d.firstBlock = allocBlock(st);
      writeDescriptor(st, node.descriptor, d);
      writeNode(st, path.x, node);
      return takeHandle(st, OpenEntry{path.x, node.descriptor, d.firstBlock, 0, kFlags});
    }
    // Refuse before touching the tree: the 16-bit descriptor number has no room left.
    if (st.freeDescriptor >= kMaxDescriptors) return -1;
    const std::int32_t n = insertName(st, key);
    if (n < 0) return -1;
    Node node = detail::readNode(st, n);
    node.descriptor = static_cast<std::uint16_t>(allocDescriptor(st));
    writeNode(st, n, node);
    Descriptor d = rawDescriptor(st, node.descriptor);
    d.firstBlock = allocBlock(st);
    writeDescriptor(st, node.descriptor, d);
    return takeHandle(st, OpenEntry{n, node.descriptor, d.firstBlock, 0, kFlags});
  });
}

int entry_close(Store* s, int handle) {
  if (s == nullptr) return -1;
  OpenEntry* e = handleOf(*s, handle);
  if (e == nullptr) return -1;
  s->handles[static_cast<std::size_t>(handle)].reset();
  return 0;
}

int entry_seek(Store* s, int handle, std::int64_t offset, int origin) {
  return guarded(s, [&](Store& st) {
    OpenEntry* e = handleOf(st, handle);
    if (e == nullptr) return -1;
    Descriptor d = handleDescriptor(st, *e);
    std::int64_t pos = offset;
    if (origin == kSeekCurrent)
      pos += e->position;
    else if (origin == kSeekEnd)
      pos += d.size;
    else if (origin != kSeekSet)
      return -1;
    if (pos < 0 || pos >= INT32_MAX) return -1;
    // Only a handle that may write grows the content to the new position.
    if ((e->flags & kOpenAccessMask) == 0 || !writable(st)) {
      e->position = pos;
      return 0;
    }
    seekTo(st, *e, d, pos);
    return 0;
  });
}

int entry_read(Store* s, int handle, std::span<std::uint8_t> buffer) {
  return guarded(s, [&](Store& st) {
    OpenEntry* e = handleOf(st, handle);
    if (e == nullptr) return -1;
    if (buffer.empty()) return 0;
    const Descriptor d = handleDescriptor(st, *e);
    const std::int64_t count = std::min<std::int64_t>(
        static_cast<std::int64_t>(std::min<std::size_t>(buffer.size(), INT_MAX)),
        std::int64_t{d.size} - e->position);
    if (count <= 0) return 0;
    const std::vector<std::int32_t> blocks =
        chainBlocks(st, d.firstBlock, e->position / 512, (e->position + count - 1) / 512 + 1);
    // One data_read per run of consecutive blocks: a content written in one go is one run.
    std::size_t at = static_cast<std::size_t>(e->position % 512);
    std::int64_t done = 0;
    for (std::size_t i = 0; i < blocks.size();) {
      std::size_t j = i + 1;
      while (j < blocks.size() && blocks[j] == blocks[j - 1] + 1) ++j;
      const auto n = static_cast<std::size_t>(std::min<std::int64_t>(
          static_cast<std::int64_t>((j - i) * kBlockSize - at), count - done));
      data_read(*st.data, blocks[i], at, buffer.subspan(static_cast<std::size_t>(done), n));
      done += static_cast<std::int64_t>(n);
      at = 0;
      i = j;
    }
    e->position += count;
    return static_cast<int>(count);
  });
}

std::int64_t entry_size(Store* s, int handle) {
  return guarded(s, [&](Store& st) {
    OpenEntry* e = handleOf(st, handle);
    return e == nullptr ? -1 : handleDescriptor(st, *e).size;
  });
}

int entry_write(Store* s, int handle, std::span<const std::uint8_t> data) {
  return guarded(s, [&](Store& st) {
    OpenEntry* e = handleOf(st, handle);
    if (e == nullptr || (e->flags & kOpenAccessMask) == 0 || !writable(st)) return -1;
    if (data.empty()) return 0;
    if (data.size() >= static_cast<std::size_t>(INT32_MAX)) return -1;
    Descriptor d = handleDescriptor(st, *e);
    if ((e->flags & kOpenAppend) != 0 && e->position < d.size) e->position = d.size;
    const std::int64_t a = e->position;
    const auto count = static_cast<std::int64_t>(data.size());
    if (a + count > INT32_MAX) return -1;
    st.changed = true;
    seekTo(st, *e, d, a + count - 1);
    seekTo(st, *e, d, a);
    const std::vector<std::int32_t> blocks =
        chainBlocks(st, d.firstBlock, a / 512, (a + count - 1) / 512 + 1);
    std::int64_t done = 0;
    std::uint8_t block[kBlockSize];
    for (const std::int32_t b : blocks) {
      const auto at = static_cast<std::size_t>((a + done) % 512);
      const auto n = static_cast<std::size_t>(
          std::min<std::int64_t>(512 - static_cast<std::int64_t>(at), count - done));
      if (at == 0 && n == kBlockSize) {
        block_write(*st.data, b,
                    std::span<const std::uint8_t, kBlockSize>(data.data() + done, kBlockSize));
      } else {
        block_read(*st.data, b, block);
        std::memcpy(block + at, data.data() + done, n);
        block_write(*st.data, b, block);
      }
      done += static_cast<std::int64_t>(n);
    }
    e->position = a + count;
    return static_cast<int>(count);
  });
}

int entry_link(Store* s, std::string_view existingName, std::string_view newName) {
  return guarded(s, [&](Store& st) {
    if (!writable(st)) return -1;
    const Key existing(existingName);
    const detail::SearchPath path = detail::search(st, existing);
    if (path.x == 0) return -1;
    const Node node = detail::readNode(st, path.x);
    if (!detail::nameEquals(st, node, existing)) return -1;
    Descriptor d = detail::readDescriptor(st, node.descriptor);
    if (!detail::usableDescriptor(st, d) || d.links == INT32_MAX) return -1;
    const std::int32_t n = insertName(st, Key(newName));
    if (n < 0) return -1;
    d.links += 1;
    writeDescriptor(st, node.descriptor, d);
    Node added = detail::readNode(st, n);
    added.descriptor = node.descriptor;
    writeNode(st, n, added);
    return 0;
  });
}

int entry_remove(Store* s, std::string_view name) {
  return guarded(s, [&](Store& st) {
    if (!writable(st)) return -1;
    const Key key(name);
    const detail::SearchPath path = detail::search(st, key);
    if (path.x == 0) return -1;  // the header node is never removed
    const Node node = detail::readNode(st, path.x);
    if (!detail::nameEquals(st, node, key)) return -1;
    const std::uint16_t dn = node.descriptor;
    Descriptor d = detail::readDescriptor(st, dn);
    const bool usable = detail::usableDescriptor(st, d);
    if (!removeName(st, key)) return -1;
    // A damaged content is left alone: only the name goes, so the entry reads as absent.
    if (!usable) return 0;
    d.links -= 1;
    if (d.links > 0) {
      writeDescriptor(st, dn, d);
      return 0;
    }
    releaseDescriptor(st, dn);
    releaseChain(st, d.firstBlock);
    return 0;
  });
}

}  // namespace tivra::store
