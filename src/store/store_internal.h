#pragma once

// The open store's layout and the record helpers shared by the engine and its inspection
// tools. Not for use outside src/store.

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "store/data_file.h"
#include "store/index_container.h"
#include "store/journal.h"
#include "store/store.h"
#include "store/store_records.h"

namespace tivra::store {

struct OpenEntry {
  std::int32_t node = 0;
  std::uint16_t descriptor = 0;
  std::int32_t firstBlock = 0;
  std::int64_t position = 0;
  int flags = 0;
};

// Names a search found, each with the node that holds it. The search is a pure function of the
// tree and name channels, so its answer stands until one of them is written: every such write
// clears the table (writeRecord), and a repeated read of a name costs one lookup instead of a
// walk down the tree.
class FoundNames {
 public:
  // At most this many bytes of names (each counted with kEntryCost more for the table).
  static constexpr std::size_t kMaxBytes = std::size_t{8} << 20;
  static constexpr std::size_t kEntryCost = 64;
  static constexpr std::size_t kMaxName = 1024;  // longer names are not kept

  std::optional<std::int32_t> find(std::string_view name) const {
    const auto it = m_nodes.find(name);
    if (it == m_nodes.end()) return std::nullopt;
    return it->second;
  }
  void add(std::string_view name, std::int32_t node) {
    if (name.size() > kMaxName) return;
    if (m_bytes + name.size() + kEntryCost > kMaxBytes) clear();
    if (m_nodes.emplace(std::string(name), node).second) m_bytes += name.size() + kEntryCost;
  }
  void clear() {
    m_nodes.clear();
    m_bytes = 0;
  }

 private:
  struct Hash {
    using is_transparent = void;
    std::size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
  };
  std::unordered_map<std::string, std::int32_t, Hash, std::equal_to<>> m_nodes;
  std::size_t m_bytes = 0;
};

struct Store {
  const FileSystem* fs = nullptr;
  // The store files as the engine sees them: writes held in memory until a checkpoint.
  std::unique_ptr<HoldingFileSystem> held;
  std::filesystem::path journal;
  // Set while checkpoints fail (a full disk): what is held stays held and readable, no write is
  // taken, and the next checkpoint tries again. kUnfinished: the journal on disk is complete
  // and only has to be applied.
  JournalOutcome stall = JournalOutcome::kDone;
  std::unique_ptr<Container> index;
  std::unique_ptr<DataFile> data;
  // Lowest record numbers that may be free.
  std::int64_t freeNode = 1;
  std::int64_t freeChunk = 1;
  std::int64_t freeDescriptor = 0;
  std::int64_t freeBlock = 1;
  std::vector<std::optional<OpenEntry>> handles;
  std::filesystem::path baseName;
  int mode = kModeRead;
  bool failed = false;   // a store file could not be read or written: refuse everything
  bool changed = false;  // something was written since the last checkpoint
  FoundNames found;
};

namespace detail {

// A name as the tree sees it: the bytes before the first zero.
struct Key {
  std::string_view bytes;
  explicit Key(std::string_view name) : bytes(name.substr(0, name.find('\0'))) {}
  int bit(int k) const {
    const auto byte = static_cast<std::size_t>(k) / 8;
    if (k < 0 || byte >= bytes.size()) return 0;
    return (static_cast<std::uint8_t>(bytes[byte]) >> (k % 8)) & 1;
  }
};

std::int64_t recordCount(const Store& s, int channel, std::size_t recordSize);
// Every read below throws Corrupt for a number outside the written part of its channel.
Node readNode(Store& s, std::int64_t n);
Chunk readChunk(Store& s, std::int64_t n);
Descriptor readDescriptor(Store& s, std::int64_t n);
std::int32_t readMap(Store& s, std::int64_t block);
// At most maxBytes bytes of the name whose chain starts at `chunk`.
std::string readName(Store& s, std::uint32_t chunk, std::size_t maxBytes);

struct SearchPath {
  std::int32_t g = 0, p = 0, x = 0;
};
SearchPath search(Store& s, const Key& key);
bool nameEquals(Store& s, const Node& node, const Key& key);
// The node holding the key (the search's candidate when its name is the key), or -1.
std::int32_t findName(Store& s, const Key& key);
// Why a walk along a block chain stopped.
enum class ChainEnd {
  kLimit,       // it walked as many blocks as asked
  kLast,        // the last block (map value -1)
  kBadFirst,    // the first block is outside the map
  kOutOfRange,  // a map value points outside the map
  kFree,        // a block inside the chain is marked free
  kCycle,       // a block came round again
};
struct ChainWalk {
  std::vector<std::int32_t> blocks;  // the distinct blocks walked, in chain order
  ChainEnd end = ChainEnd::kLimit;
  std::int32_t stop = 0;  // the offending block number or map value
};
// The one walk along a block chain: at most `limit` blocks (and never more than the map
// holds), every number checked, a loop noticed.
ChainWalk walkChain(Store& s, std::int32_t first, std::int64_t limit);
// Where and why the walk stopped, for messages.
std::string describe(const ChainWalk& w);

// A descriptor that a name may use: in use, with a first block that starts a chain.
bool usableDescriptor(Store& s, const Descriptor& d);

// ---- the engine's record and tree operations (store_tree.cpp), for the engine only ----------
// Raw reads trust a number the caller checked; writes go to the held files.
void checkRange(const Store& s, int channel, std::size_t size, std::int64_t n, const char* what);
// `count` consecutive records from record n on (n in range: its first record was checked).
void readRecordsAt(Store& s, int channel, std::int64_t n, std::size_t size, std::uint8_t* out,
                   std::size_t count);
Node rawNode(Store& s, std::int64_t n);
void writeNode(Store& s, std::int64_t n, const Node& node);
Chunk rawChunk(Store& s, std::int64_t n);
void writeChunk(Store& s, std::int64_t n, const Chunk& c);
Descriptor rawDescriptor(Store& s, std::int64_t n);
void writeDescriptor(Store& s, std::int64_t n, const Descriptor& d);
std::int32_t rawMap(Store& s, std::int64_t block);
void writeMap(Store& s, std::int64_t block, std::int32_t value);
std::int64_t blockCount(const Store& s);
bool validBlock(const Store& s, std::int64_t b);
std::int64_t nextFreeNode(Store& s, std::int64_t from);
std::int64_t nextFreeChunk(Store& s, std::int64_t from);
std::int64_t nextFreeDescriptor(Store& s, std::int64_t from);
std::int64_t nextFreeBlock(Store& s, std::int64_t from);
std::int32_t allocBlock(Store& s);
// Follows the chain from `first` to its last block; `length` gets the number of blocks.
std::int32_t lastBlock(Store& s, std::int32_t first, std::int64_t& length);
// The blocks holding chain positions from..to-1 (position 0 is `first`). Throws when the chain
// ends, leaves the block map or meets a block twice before `to`.
std::vector<std::int32_t> chainBlocks(Store& s, std::int32_t first, std::int64_t from,
                                      std::int64_t to);
// Frees the chain from b on, as far as it is sound.
void releaseChain(Store& s, std::int32_t b);
void cutChainAfter(Store& s, std::int32_t b);
std::int64_t allocDescriptor(Store& s);
void releaseDescriptor(Store& s, std::int64_t d);
std::int32_t& linkByBit(Node& n, const Key& key);
// Inserts the key; -1 when it is present or cannot be told apart from a stored name.
std::int32_t insertName(Store& s, const Key& key);
// Removes the key's node from the tree (the header never); false when it is absent. Every
// node is read and checked before the first write.
bool removeName(Store& s, const Key& key);

}  // namespace detail
}  // namespace tivra::store
