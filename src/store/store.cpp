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
// Block numbers stay where both the block map offset and the data offset fit 31 bits of index.
constexpr std::int64_t kMaxBlocks = (std::int64_t{1} << 29) - 1;
constexpr std::int64_t kMaxRecords = (std::int64_t{1} << 31) - 1;
// Held writes beyond this make the next operation end with a checkpoint: memory stays bounded
// however much is written between the timed checkpoints.
constexpr std::size_t kMaxHeldBytes = std::size_t{16} << 20;
// Units cached per channel when the index is kept in memory: every unit a read touched stays,
// up to 2^31 bytes of channel at the smallest page size.
constexpr std::size_t kMemoryIndexUnits = std::size_t{1} << 23;

using detail::Corrupt;
using detail::IoFailure;
using detail::Key;

void readRecord(Store& s, int channel, std::int64_t n, std::size_t size, std::uint8_t* out) {
  channel_seek(*s.index, channel, static_cast<std::uint64_t>(n) * size);
  channel_read(*s.index, channel, std::span<std::uint8_t>(out, size));
}

void writeRecord(Store& s, int channel, std::int64_t n, std::size_t size, const std::uint8_t* in) {
  if (n < 0 || n > kMaxRecords) throw Corrupt("record number out of range");
  s.changed = true;
  channel_seek(*s.index, channel, static_cast<std::uint64_t>(n) * size);
  if (channel_write(*s.index, channel, std::span<const std::uint8_t>(in, size)) < 0)
    throw Corrupt("index channel full");
}

void checkRange(const Store& s, int channel, std::size_t size, std::int64_t n, const char* what) {
  if (n < 0 || n >= detail::recordCount(s, channel, size)) throw Corrupt(what);
}

// `count` consecutive records from record n on (n in range: its first record was checked).
void readRecordsAt(Store& s, int channel, std::int64_t n, std::size_t size, std::uint8_t* out,
                   std::size_t count) {
  checkRange(s, channel, size, n, "record number out of range");
  channel_seek(*s.index, channel, static_cast<std::uint64_t>(n) * size);
  channel_read(*s.index, channel, std::span<std::uint8_t>(out, size * count));
}

Node decodeNode(const std::uint8_t* b) {
  Node n;
  n.descriptor = getLe16(b);
  n.bit = static_cast<std::int16_t>(getLe16(b + 2));
  n.name = getLe32(b + 4);
  n.left = static_cast<std::int32_t>(getLe32(b + 8));
  n.right = static_cast<std::int32_t>(getLe32(b + 12));
  return n;
}

Node rawNode(Store& s, std::int64_t n) {
  std::uint8_t b[kNodeSize];
  readRecord(s, kTreeChannel, n, kNodeSize, b);
  return decodeNode(b);
}

void writeNode(Store& s, std::int64_t n, const Node& node) {
  std::uint8_t b[kNodeSize];
  putLe16(b, node.descriptor);
  putLe16(b + 2, static_cast<std::uint16_t>(node.bit));
  putLe32(b + 4, node.name);
  putLe32(b + 8, static_cast<std::uint32_t>(node.left));
  putLe32(b + 12, static_cast<std::uint32_t>(node.right));
  writeRecord(s, kTreeChannel, n, kNodeSize, b);
}

Chunk rawChunk(Store& s, std::int64_t n) {
  std::uint8_t b[kChunkSize];
  readRecord(s, kChunkChannel, n, kChunkSize, b);
  Chunk c;
  c.link = getLe32(b);
  std::memcpy(c.text, b + 4, kChunkText);
  return c;
}

void writeChunk(Store& s, std::int64_t n, const Chunk& c) {
  std::uint8_t b[kChunkSize];
  putLe32(b, c.link);
  std::memcpy(b + 4, c.text, kChunkText);
  writeRecord(s, kChunkChannel, n, kChunkSize, b);
}

Descriptor rawDescriptor(Store& s, std::int64_t n) {
  std::uint8_t b[kDescriptorSize];
  readRecord(s, kDescriptorChannel, n, kDescriptorSize, b);
  Descriptor d;
  d.links = static_cast<std::int32_t>(getLe32(b));
  d.size = static_cast<std::int32_t>(getLe32(b + 4));
  d.firstBlock = static_cast<std::int32_t>(getLe32(b + 8));
  d.spare = getLe32(b + 12);
  return d;
}

void writeDescriptor(Store& s, std::int64_t n, const Descriptor& d) {
  std::uint8_t b[kDescriptorSize];
  putLe32(b, static_cast<std::uint32_t>(d.links));
  putLe32(b + 4, static_cast<std::uint32_t>(d.size));
  putLe32(b + 8, static_cast<std::uint32_t>(d.firstBlock));
  putLe32(b + 12, d.spare);
  writeRecord(s, kDescriptorChannel, n, kDescriptorSize, b);
}

std::int32_t rawMap(Store& s, std::int64_t block) {
  std::uint8_t b[kMapEntrySize];
  readRecord(s, kBlockMapChannel, block, kMapEntrySize, b);
  return static_cast<std::int32_t>(getLe32(b));
}

void writeMap(Store& s, std::int64_t block, std::int32_t value) {
  std::uint8_t b[kMapEntrySize];
  putLe32(b, static_cast<std::uint32_t>(value));
  writeRecord(s, kBlockMapChannel, block, kMapEntrySize, b);
}

std::int64_t blockCount(const Store& s) {
  return detail::recordCount(s, kBlockMapChannel, kMapEntrySize);
}

bool validBlock(const Store& s, std::int64_t b) {
  return b >= 1 && b < blockCount(s);
}

// ---- free hints -------------------------------------------------------------------------

// Past the written part every record reads as zero, i.e. free, so these scans end there.
// The first record from `from` on (up to `last`) whose word at `field` makes inUse false; the
// records come in batches, as the open scans whole channels.
template <typename InUse>
std::int64_t nextFree(Store& s, int channel, std::size_t size, std::size_t field, std::int64_t from,
                      std::int64_t last, InUse inUse) {
  // The next record is usually free after an allocation: start small, grow on long runs.
  std::array<std::uint8_t, 256 * kChunkSize> batch;
  std::int64_t batchRecords = 4;
  while (from <= last) {
    const std::int64_t n =
        std::min({batchRecords, last - from + 1, static_cast<std::int64_t>(batch.size() / size)});
    batchRecords = std::min<std::int64_t>(batchRecords * 2, 256);
    channel_seek(*s.index, channel, static_cast<std::uint64_t>(from) * size);
    channel_read(*s.index, channel,
                 std::span<std::uint8_t>(batch.data(), static_cast<std::size_t>(n) * size));
    for (std::int64_t i = 0; i < n; ++i) {
      if (!inUse(getLe32(batch.data() + static_cast<std::size_t>(i) * size + field)))
        return from + i;
    }
    from += n;
  }
  return from;
}

std::int64_t nextFreeNode(Store& s, std::int64_t from) {
  return nextFree(s, kTreeChannel, kNodeSize, 4, from, kMaxRecords,
                  [](std::uint32_t name) { return (name & kInUse) != 0; });
}
std::int64_t nextFreeChunk(Store& s, std::int64_t from) {
  return nextFree(s, kChunkChannel, kChunkSize, 0, from, kMaxRecords,
                  [](std::uint32_t link) { return (link & kInUse) != 0; });
}
std::int64_t nextFreeDescriptor(Store& s, std::int64_t from) {
  return nextFree(s, kDescriptorChannel, kDescriptorSize, 0, from, kMaxDescriptors - 1,
                  [](std::uint32_t links) { return static_cast<std::int32_t>(links) > 0; });
}
std::int64_t nextFreeBlock(Store& s, std::int64_t from) {
  return nextFree(s, kBlockMapChannel, kMapEntrySize, 0, from, kMaxBlocks,
                  [](std::uint32_t next) { return next != 0; });
}

// ---- blocks -----------------------------------------------------------------------------

std::int32_t allocBlock(Store& s) {
  const std::int64_t b = s.freeBlock;
  if (b < 1 || b > kMaxBlocks) throw Corrupt("data file full");
  writeMap(s, b, -1);
  s.freeBlock = nextFreeBlock(s, b + 1);
  return static_cast<std::int32_t>(b);
}

// Follows the chain from `first` to its last block; `length` gets the number of blocks.
std::int32_t lastBlock(Store& s, std::int32_t first, std::int64_t& length) {
  const detail::ChainWalk w = detail::walkChain(s, first, blockCount(s));
  if (w.end != detail::ChainEnd::kLast) throw Corrupt(detail::describe(w));
  length = static_cast<std::int64_t>(w.blocks.size());
  return w.blocks.back();
}

// The blocks holding chain positions from..to-1 (position 0 is `first`). Throws when the chain
// ends, leaves the block map or meets a block twice before `to`.
std::vector<std::int32_t> chainBlocks(Store& s, std::int32_t first, std::int64_t from,
                                      std::int64_t to) {
  // More blocks than the map has cannot be distinct.
  if (to > blockCount(s)) throw Corrupt("content longer than the block map");
  detail::ChainWalk w = detail::walkChain(s, first, to);
  if (static_cast<std::int64_t>(w.blocks.size()) < to) throw Corrupt(detail::describe(w));
  return std::vector<std::int32_t>(w.blocks.begin() + from, w.blocks.end());
}

// Frees the chain from b on, as far as it is sound.
void releaseChain(Store& s, std::int32_t b) {
  if (!validBlock(s, b)) return;
  for (const std::int32_t block : detail::walkChain(s, b, blockCount(s)).blocks) {
    writeMap(s, block, 0);
    s.freeBlock = std::min<std::int64_t>(s.freeBlock, block);
  }
}

void cutChainAfter(Store& s, std::int32_t b) {
  const std::int32_t next = detail::readMap(s, b);
  writeMap(s, b, -1);
  if (next != -1) releaseChain(s, next);
}

// ---- descriptors ------------------------------------------------------------------------

std::int64_t allocDescriptor(Store& s) {
  const std::int64_t d = s.freeDescriptor;
  if (d < 0 || d >= kMaxDescriptors) throw Corrupt("no free descriptor");
  Descriptor desc = rawDescriptor(s, d);  // the spare word keeps its value
  desc.links = 1;
  desc.size = 0;
  desc.firstBlock = 0;
  writeDescriptor(s, d, desc);
  s.freeDescriptor = nextFreeDescriptor(s, d + 1);
  return d;
}

void releaseDescriptor(Store& s, std::int64_t d) {
  Descriptor desc = rawDescriptor(s, d);
  desc.links = 0;
  desc.size = 0;
  desc.firstBlock = 0;
  writeDescriptor(s, d, desc);
  s.freeDescriptor = std::min(s.freeDescriptor, d);
}

// ---- names ------------------------------------------------------------------------------

void releaseChunks(Store& s, std::uint32_t c) {
  const std::int64_t limit = detail::recordCount(s, kChunkChannel, kChunkSize);
  for (std::int64_t steps = 0; c != 0 && steps <= limit; ++steps) {
    if (static_cast<std::int64_t>(c) >= limit) return;
    const Chunk chunk = rawChunk(s, c);
    writeChunk(s, c, Chunk{});
    s.freeChunk = std::min<std::int64_t>(s.freeChunk, c);
    if (!chunk.inUse()) return;
    c = chunk.next();
  }
}

// Critical bit of the stored name and the key: byte index * 8 + lowest differing bit of the
// first byte where they differ. Empty when they agree in their first kDistinctPrefix bytes.
std::optional<int> criticalBit(Store& s, const Node& node, const Key& key) {
  const std::string stored = detail::readName(s, node.firstChunk(), kDistinctPrefix);
  for (std::size_t j = 0; j < kDistinctPrefix; ++j) {
    const auto a = static_cast<std::uint8_t>(j < stored.size() ? stored[j] : 0);
    const auto b = static_cast<std::uint8_t>(j < key.bytes.size() ? key.bytes[j] : 0);
    if (a != b) {
      const unsigned diff = a ^ b;
      int bit = 0;
      while (((diff >> bit) & 1) == 0) ++bit;
      return static_cast<int>(j * 8) + bit;
    }
    if (a == 0) return std::nullopt;  // equal names
  }
  return std::nullopt;
}

std::int32_t& linkByBit(Node& n, const Key& key) {
  if (n.bit < 0 || key.bit(n.bit) != 0) return n.right;
  return n.left;
}

// Stores the key's text in a fresh chunk chain and a fresh node; returns the node number.
std::int32_t allocNode(Store& s, const Key& key, int bit) {
  const std::size_t count = key.bytes.size() / kChunkText + 1;
  std::vector<std::int64_t> chunks;
  chunks.reserve(count);
  for (std::size_t i = 0; i < count; ++i) {
    if (s.freeChunk < 1 || s.freeChunk > static_cast<std::int64_t>(~kInUse))
      throw Corrupt("no free chunk");
    chunks.push_back(s.freeChunk);
    s.freeChunk = nextFreeChunk(s, s.freeChunk + 1);
  }
  for (std::size_t i = 0; i < count; ++i) {
    Chunk c;
    c.link = kInUse | (i + 1 < count ? static_cast<std::uint32_t>(chunks[i + 1]) : 0u);
    const std::size_t from = i * kChunkText;
    const std::size_t n = std::min(kChunkText, key.bytes.size() - std::min(from, key.bytes.size()));
    if (n > 0) std::memcpy(c.text, key.bytes.data() + from, n);
    writeChunk(s, chunks[i], c);
  }
  const std::int64_t n = s.freeNode;
  if (n < 1 || n > kMaxRecords) throw Corrupt("no free node");
  Node node;
  node.bit = static_cast<std::int16_t>(bit);
  node.name = kInUse | static_cast<std::uint32_t>(chunks.front());
  writeNode(s, n, node);
  s.freeNode = nextFreeNode(s, n + 1);
  return static_cast<std::int32_t>(n);
}

// Inserts the key; -1 when it is present or cannot be told apart from a stored name.
std::int32_t insertName(Store& s, const Key& key) {
  const detail::SearchPath found = detail::search(s, key);
  const Node xFound = detail::readNode(s, found.x);
  if (detail::nameEquals(s, xFound, key)) return -1;
  const std::optional<int> crit = criticalBit(s, xFound, key);
  if (!crit || *crit > SHRT_MAX) return -1;
  const int i = *crit;

  std::int32_t p = 0;
  Node pn = detail::readNode(s, 0);
  std::int32_t x = pn.right;
  Node xn = detail::readNode(s, x);
  while (pn.bit < xn.bit && xn.bit < i) {
    p = x;
    pn = xn;
    x = linkByBit(xn, key);
    xn = detail::readNode(s, x);
  }
  const std::int32_t n = allocNode(s, key, i);
  Node nn = detail::readNode(s, n);
  if (key.bit(i) == 0) {
    nn.left = n;
    nn.right = x;
  } else {
    nn.left = x;
    nn.right = n;
  }
  writeNode(s, n, nn);
  pn = detail::readNode(s, p);
  linkByBit(pn, key) = n;
  writeNode(s, p, pn);
  return n;
}

// Removes the key's node from the tree (the header never); false when it is absent. Every
// node is read and checked before the first write.
bool removeName(Store& s, const Key& key) {
  const detail::SearchPath path = detail::search(s, key);
  if (path.x == 0 || path.p == 0) return false;
  std::map<std::int32_t, Node> nodes;  // nodes to write back; one copy per number
  auto node = [&](std::int32_t n) -> Node& {
    auto it = nodes.find(n);
    if (it == nodes.end()) it = nodes.emplace(n, detail::readNode(s, n)).first;
    return it->second;
  };
  const std::int32_t x = path.x, p = path.p, g = path.g;
  if (!detail::nameEquals(s, node(x), key)) return false;
  const std::uint32_t removedChunks = node(x).firstChunk();
  const Node pOld = node(p);

  if (x != p) {
    node(x).descriptor = pOld.descriptor;
    node(x).name = pOld.name;
  }
  const std::int16_t pBit = pOld.bit;
  const bool downward =
      detail::readNode(s, pOld.left).bit > pBit || detail::readNode(s, pOld.right).bit > pBit;
  if (downward) {
    if (x != p) {
      // Find the back link that pointed at p (p's name now lives in x) and aim it at x.
      const std::string pText = detail::readName(s, pOld.firstChunk(), kDistinctPrefix);
      const Key pName(pText);
      std::int32_t parent = p;
      Node parentNode = pOld;
      std::int32_t cur = pOld.bit < 0 ? pOld.right : linkByBit(parentNode, pName);
      Node curNode = detail::readNode(s, cur);
      while (parentNode.bit < curNode.bit) {
        parent = cur;
        parentNode = curNode;
        cur = linkByBit(curNode, pName);
        curNode = detail::readNode(s, cur);
      }
      if (cur != p) throw Corrupt("name tree back link lost");
      linkByBit(node(parent), pName) = x;
    }
    if (g != p) {
      const std::int32_t y = (pBit < 0 || key.bit(pBit) == 1) ? pOld.left : pOld.right;
      linkByBit(node(g), key) = y;
    }
  } else if (g != p) {
    std::int32_t y = pOld.left != p ? pOld.left : pOld.right;
    if (pOld.left == pOld.right) y = pOld.left == p ? g : pOld.left;
    linkByBit(node(g), key) = y;
  }
  Node released;
  released.left = p;
  released.right = p;
  nodes[p] = released;
  for (const auto& [n, value] : nodes) writeNode(s, n, value);
  s.freeNode = std::min<std::int64_t>(s.freeNode, p);
  releaseChunks(s, removedChunks);
  return true;
}

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

bool writable(const Store& s) {
  return (s.mode & 2) != 0;
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
  if (!writable(s) || !s.changed) return 0;
  bool ok = data_sync(*s.data);
  ok = container_sync(*s.index) && ok;
  ok = ok && journal_commit(*s.fs, s.journal, heldIndex(s), heldData(s));
  if (!ok) {
    s.failed = true;
    return -1;
  }
  s.changed = false;
  return 0;
}

// Runs one engine operation: -1 for a null store, a failed store, damage or a file error.
template <typename Op>
int guarded(Store* s, Op op) {
  if (s == nullptr || s->failed) return -1;
  try {
    const int r = op(*s);
    if (s->changed && heldIndex(*s).heldBytes() + heldData(*s).heldBytes() > kMaxHeldBytes &&
        checkpoint(*s) != 0)
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
  if (ok) {
    const bool cut = (g_openMode.load() & 2) != 0 && writable(*s);
    ok = data_sync(*s->data) && ok;
    ok = container_finish(*s->index, cut) && ok;
    if (writable(*s)) {
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

// ---- shared helpers -----------------------------------------------------------------------
namespace detail {

std::int64_t recordCount(const Store& s, int channel, std::size_t recordSize) {
  return s.index->channels[static_cast<std::size_t>(channel)].length /
         static_cast<std::int64_t>(recordSize);
}

Node readNode(Store& s, std::int64_t n) {
  checkRange(s, kTreeChannel, kNodeSize, n, "node number out of range");
  const Node node = rawNode(s, n);
  if (!node.inUse()) throw Corrupt("link to a free node");
  return node;
}

Chunk readChunk(Store& s, std::int64_t n) {
  checkRange(s, kChunkChannel, kChunkSize, n, "chunk number out of range");
  return rawChunk(s, n);
}

Descriptor readDescriptor(Store& s, std::int64_t n) {
  checkRange(s, kDescriptorChannel, kDescriptorSize, n, "descriptor number out of range");
  return rawDescriptor(s, n);
}

std::int32_t readMap(Store& s, std::int64_t block) {
  checkRange(s, kBlockMapChannel, kMapEntrySize, block, "block number out of range");
  return rawMap(s, block);
}

std::string readName(Store& s, std::uint32_t chunk, std::size_t maxBytes) {
  std::string name;
  const std::int64_t limit = recordCount(s, kChunkChannel, kChunkSize);
  for (std::int64_t steps = 0; steps <= limit; ++steps) {
    const Chunk c = readChunk(s, chunk);
    if (!c.inUse()) throw Corrupt("name chain through a free chunk");
    const auto* text = reinterpret_cast<const char*>(c.text);
    const auto* zero = static_cast<const char*>(std::memchr(text, 0, kChunkText));
    const std::size_t len =
        std::min<std::size_t>(zero != nullptr ? static_cast<std::size_t>(zero - text) : kChunkText,
                              maxBytes - name.size());
    name.append(text, len);
    if (zero != nullptr || name.size() >= maxBytes) return name;
    chunk = c.next();
    if (chunk == 0) return name;  // a full last chunk: the name ends with it
  }
  throw Corrupt("cycle in name chain");
}

SearchPath search(Store& s, const Key& key) {
  // Bit indices grow strictly along the way down, so the walk takes at most 32,768 steps.
  SearchPath path;
  Node pn = readNode(s, 0);
  path.x = pn.right;
  Node xn = readNode(s, path.x);
  while (pn.bit < xn.bit) {
    path.g = path.p;
    path.p = path.x;
    pn = xn;
    path.x = linkByBit(xn, key);
    xn = readNode(s, path.x);
  }
  return path;
}

bool nameEquals(Store& s, const Node& node, const Key& key) {
  return readName(s, node.firstChunk(), key.bytes.size() + 1) == key.bytes;
}

ChainWalk walkChain(Store& s, std::int32_t first, std::int64_t limit) {
  ChainWalk w;
  const std::int64_t blocks = blockCount(s);
  if (!validBlock(s, first)) {
    w.end = ChainEnd::kBadFirst;
    w.stop = first;
    return w;
  }
  limit = std::min(limit, blocks);
  w.blocks.reserve(static_cast<std::size_t>(std::max<std::int64_t>(limit, 1)));
  w.blocks.push_back(first);
  // Brent's check notices a loop after a few times its length, without memory.
  std::int32_t saved = first;
  std::int64_t power = 1, steps = 0;
  // A content's blocks usually follow each other: their map entries come in one read.
  std::uint8_t batch[128 * kMapEntrySize];
  while (static_cast<std::int64_t>(w.blocks.size()) < limit) {
    const std::int32_t cur = w.blocks.back();
    const auto want = static_cast<std::size_t>(std::min<std::int64_t>(
        {limit - static_cast<std::int64_t>(w.blocks.size()) + 1, 128, blocks - cur}));
    readRecordsAt(s, kBlockMapChannel, cur, kMapEntrySize, batch, want);
    for (std::size_t j = 0; j < want; ++j) {
      const auto next = static_cast<std::int32_t>(getLe32(batch + j * kMapEntrySize));
      if (next == -1) {
        w.end = ChainEnd::kLast;
        return w;
      }
      if (next == 0 || !validBlock(s, next)) {
        w.end = next == 0 ? ChainEnd::kFree : ChainEnd::kOutOfRange;
        w.stop = next;
        return w;
      }
      if (next == saved) {
        w.end = ChainEnd::kCycle;
        w.stop = next;
        break;
      }
      if (++steps == power) {
        saved = next;
        power *= 2;
        steps = 0;
      }
      if (static_cast<std::int64_t>(w.blocks.size()) >= limit) return w;
      w.blocks.push_back(next);
      if (next != cur + static_cast<std::int32_t>(j) + 1) break;
    }
    if (w.end == ChainEnd::kCycle) break;
  }
  // Brent's check may see a loop late, and not at all within the limit: the blocks walked must
  // be distinct. Keep those before the first repeat.
  std::vector<std::int32_t> sorted = w.blocks;
  std::sort(sorted.begin(), sorted.end());
  if (w.end == ChainEnd::kCycle ||
      std::adjacent_find(sorted.begin(), sorted.end()) != sorted.end()) {
    std::set<std::int32_t> seen;
    std::size_t i = 0;
    while (i < w.blocks.size() && seen.insert(w.blocks[i]).second) ++i;
    if (i < w.blocks.size()) w.stop = w.blocks[i];
    w.blocks.resize(i);
    w.end = ChainEnd::kCycle;
  }
  return w;
}

std::string describe(const ChainWalk& w) {
  const std::string after = " after " + std::to_string(w.blocks.size()) + " blocks";
  switch (w.end) {
    case ChainEnd::kLast:
      return "chain ends" + after;
    case ChainEnd::kLimit:
      return "chain goes on" + after;
    case ChainEnd::kBadFirst:
      return "first block " + std::to_string(w.stop) + " out of range";
    case ChainEnd::kOutOfRange:
      return "block " + std::to_string(w.stop) + " out of range" + after;
    case ChainEnd::kFree:
      return "block " + std::to_string(w.blocks.back()) + " marked free inside a chain" + after;
    case ChainEnd::kCycle:
      return "block " + std::to_string(w.stop) + " repeats (cycle)" + after;
  }
  return "chain";
}

bool usableDescriptor(Store& s, const Descriptor& d) {
  return d.links > 0 && d.size >= 0 && validBlock(s, d.firstBlock) && readMap(s, d.firstBlock) != 0;
}

}  // namespace detail

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
      if (rw && replayed > 0 && !journal_commit(fs, s->journal, hi, hd)) return nullptr;
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
  const int r = guarded(s, [&](Store& st) {
    const Key key(name);
    const detail::SearchPath path = detail::search(st, key);
    return detail::nameEquals(st, detail::readNode(st, path.x), key) ? 1 : 0;
  });
  return r == 1 ? 1 : 0;
}

int entry_open(Store* s, std::string_view name, int flags) {
  return guarded(s, [&](Store& st) {
    if ((flags & kOpenAccessMask) != 0 && !writable(st)) return -1;
    const Key key(name);
    const detail::SearchPath path = detail::search(st, key);
    // The header's name "." is in the tree but names no content of its own.
    if (path.x == 0 || !detail::nameEquals(st, detail::readNode(st, path.x), key)) return -1;
    return openNode(st, path.x, flags);
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
    // following[i]: how many of the next blocks continue block i's run in the data file.
    std::vector<std::size_t> following(blocks.size(), 0);
    for (std::size_t i = blocks.size() - 1; i-- > 0;)
      following[i] = blocks[i + 1] == blocks[i] + 1 ? following[i + 1] + 1 : 0;
    std::int64_t done = 0;
    std::uint8_t block[kBlockSize];
    for (std::size_t i = 0; i < blocks.size(); ++i) {
      const std::int32_t b = blocks[i];
      const auto at = static_cast<std::size_t>((e->position + done) % 512);
      const auto n = static_cast<std::size_t>(
          std::min<std::int64_t>(512 - static_cast<std::int64_t>(at), count - done));
      if (at == 0 && n == kBlockSize) {
        block_read(*st.data, b,
                   std::span<std::uint8_t, kBlockSize>(buffer.data() + done, kBlockSize),
                   following[i]);
      } else {
        block_read(*st.data, b, block, following[i]);
        std::memcpy(buffer.data() + done, block + at, n);
      }
      done += static_cast<std::int64_t>(n);
    }
    e->position += count;
    return static_cast<int>(count);
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
        block_read(*st.data, b, block, 0);
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
