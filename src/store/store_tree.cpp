// The engine's records and name tree: reading and writing the fixed-size records of the index
// channels, free-record hints, block chains, descriptors and the PATRICIA tree of names.
#include "store/store_internal.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <set>
#include <string>

#include "store/byte_order.h"
#include "store/store_fault.h"

namespace tivra::store::detail {

namespace {

// Block numbers stay where both the block map offset and the data offset fit 31 bits of index.
constexpr std::int64_t kMaxBlocks = (std::int64_t{1} << 29) - 1;
constexpr std::int64_t kMaxRecords = (std::int64_t{1} << 31) - 1;

}  // namespace

void readRecord(Store& s, int channel, std::int64_t n, std::size_t size, std::uint8_t* out) {
  channel_seek(*s.index, channel, static_cast<std::uint64_t>(n) * size);
  channel_read(*s.index, channel, std::span<std::uint8_t>(out, size));
}

void writeRecord(Store& s, int channel, std::int64_t n, std::size_t size, const std::uint8_t* in) {
  if (n < 0 || n > kMaxRecords) throw Corrupt("record number out of range");
  s.changed = true;
  if (channel == kTreeChannel || channel == kChunkChannel) s.found.clear();
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
  s.sums.clear(d);
  s.freeDescriptor = nextFreeDescriptor(s, d + 1);
  return d;
}

void releaseDescriptor(Store& s, std::int64_t d) {
  Descriptor desc = rawDescriptor(s, d);
  desc.links = 0;
  desc.size = 0;
  desc.firstBlock = 0;
  writeDescriptor(s, d, desc);
  s.sums.clear(d);
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

std::int32_t findName(Store& s, const Key& key) {
  if (const std::optional<std::int32_t> known = s.found.find(key.bytes)) return *known;
  const SearchPath path = search(s, key);
  if (!nameEquals(s, readNode(s, path.x), key)) return -1;
  s.found.add(key.bytes, path.x);
  return path.x;
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
  // A walk to the chain's end passes the whole map as its limit: reserve for a usual content.
  w.blocks.reserve(static_cast<std::size_t>(std::clamp<std::int64_t>(limit, 1, 1024)));
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
  // be distinct (as they are when they only go up, the usual case). Keep those before the first
  // repeat.
  bool repeats = w.end == ChainEnd::kCycle;
  if (!repeats && std::adjacent_find(w.blocks.begin(), w.blocks.end(), std::greater_equal<>()) !=
                      w.blocks.end()) {
    std::vector<std::int32_t> sorted = w.blocks;
    std::sort(sorted.begin(), sorted.end());
    repeats = std::adjacent_find(sorted.begin(), sorted.end()) != sorted.end();
  }
  if (repeats) {
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

}  // namespace tivra::store::detail
