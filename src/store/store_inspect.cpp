#include "store/store_inspect.h"

#include <algorithm>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "store/byte_order.h"
#include "store/store_fault.h"
#include "store/store_internal.h"

namespace tivra::store {
namespace {

// Names longer than this are cut in listings; the tree only ever looks at the first 4096 bytes.
constexpr std::size_t kMaxListedName = 1 << 20;

std::string where(std::int32_t node, const std::string& name) {
  std::string w = "node " + std::to_string(node);
  if (!name.empty()) w += " (\"" + name.substr(0, 80) + (name.size() > 80 ? "...\")" : "\")");
  return w;
}

struct Walk {
  std::vector<EntryInfo> entries;
  std::vector<int> backLinks;  // by node number: the back links to it
  std::vector<std::string> problems;
};

// Every walk below keeps its tables by record number, sized by the channel's length: the open
// refused a header whose channels run past the end of the index file, so both the tables and
// the walks are bounded by the file.
Walk walkTree(Store& s) {
  Walk w;
  const std::int64_t limit = detail::recordCount(s, kTreeChannel, kNodeSize);
  w.backLinks.assign(static_cast<std::size_t>(std::max<std::int64_t>(limit, 1)), 0);
  Node header;
  try {
    header = detail::readNode(s, 0);
  } catch (const detail::Corrupt& e) {
    w.problems.push_back(std::string("header node: ") + e.what());
    return w;
  }
  std::vector<bool> seen(w.backLinks.size());
  seen[0] = true;
  std::vector<std::pair<std::int32_t, std::int16_t>> stack;  // node, parent's bit index
  if (header.right != 0) {
    stack.emplace_back(header.right, header.bit);
  } else {
    w.backLinks[0] += 1;
  }
  // Each node is taken once; the stack gets at most two links per node taken.
  while (!stack.empty()) {
    const auto [n, parentBit] = stack.back();
    stack.pop_back();
    if (n >= 0 && n < limit) {
      if (seen[static_cast<std::size_t>(n)]) {
        w.problems.push_back("node " + std::to_string(n) + ": reached twice by downward links");
        continue;
      }
      seen[static_cast<std::size_t>(n)] = true;
    }
    Node node;
    try {
      node = detail::readNode(s, n);
    } catch (const detail::Corrupt& e) {
      w.problems.push_back("node " + std::to_string(n) + ": " + e.what());
      continue;
    }
    EntryInfo info;
    info.node = n;
    info.descriptor = node.descriptor;
    try {
      info.name = detail::readName(s, node.firstChunk(), kMaxListedName);
    } catch (const detail::Corrupt& e) {
      w.problems.push_back(where(n, "") + ": name: " + e.what());
      continue;
    }
    if (node.bit <= parentBit)
      w.problems.push_back(where(n, info.name) + ": bit index " + std::to_string(node.bit) +
                           " not above its parent's " + std::to_string(parentBit));
    try {
      const Descriptor d = detail::readDescriptor(s, node.descriptor);
      if (detail::usableDescriptor(s, d)) {
        info.size = d.size;
        info.links = d.links;
      }
    } catch (const detail::Corrupt&) {
    }
    for (const std::int32_t link : {node.left, node.right}) {
      Node child;
      try {
        child = detail::readNode(s, link);
      } catch (const detail::Corrupt& e) {
        w.problems.push_back(where(n, info.name) + ": link " + std::to_string(link) + ": " +
                             e.what());
        continue;
      }
      if (child.bit > node.bit) {
        stack.emplace_back(link, node.bit);
      } else {
        w.backLinks[static_cast<std::size_t>(link)] += 1;
      }
    }
    w.entries.push_back(std::move(info));
  }
  return w;
}

// Calls f(number, bytes) for every record of a channel from `from` on, reading them in batches.
template <typename F>
void forEachRecord(Store& s, int channel, std::size_t size, std::int64_t from, F f) {
  constexpr std::size_t kBatchBytes = 64 * 1024;
  std::vector<std::uint8_t> batch(kBatchBytes);
  const std::int64_t count = detail::recordCount(s, channel, size);
  const auto perBatch = static_cast<std::int64_t>(kBatchBytes / size);
  for (std::int64_t n = from; n < count; n += perBatch) {
    const auto k = static_cast<std::size_t>(std::min(perBatch, count - n));
    detail::readRecordsAt(s, channel, n, size, batch.data(), k);
    for (std::size_t i = 0; i < k; ++i)
      f(n + static_cast<std::int64_t>(i), batch.data() + i * size);
  }
}

// The consistency check, one phase per structure; the sums of the contents last, and only when
// asked for (they cost a read of every content).
class Verifier {
 public:
  explicit Verifier(Store& s) : m_s(s) {}

  void run(bool contents) {
    checkHeader();
    m_walk = walkTree(m_s);
    m_out.insert(m_out.end(), m_walk.problems.begin(), m_walk.problems.end());
    checkBackLinks();
    checkNames();
    checkContents();
    checkUnreferenced();
    if (contents) checkSums();
  }
  void report(std::string text) { m_out.push_back(std::move(text)); }
  std::vector<std::string> take() { return std::move(m_out); }

 private:
  void checkHeader() {
    const Node header = detail::readNode(m_s, 0);
    if (header.bit != -1 || header.firstChunk() != 0)
      report("header node: bit index " + std::to_string(header.bit) + ", name chunk " +
             std::to_string(header.firstChunk()));
    if (detail::readName(m_s, 0, 2) != ".") report("chunk 0: header name is not \".\"");
  }

  // Every node is the target of exactly one back link.
  void checkBackLinks() {
    m_inTree.assign(m_walk.backLinks.size(), false);
    m_inTree[0] = true;
    for (const EntryInfo& e : m_walk.entries) m_inTree[static_cast<std::size_t>(e.node)] = true;
    for (std::size_t n = 0; n < m_inTree.size(); ++n) {
      const int count = m_walk.backLinks[n];
      if (m_inTree[n] && count != 1)
        report("node " + std::to_string(n) + ": target of " + std::to_string(count) +
               " back links");
      if (!m_inTree[n] && count > 0)
        report("node " + std::to_string(n) + ": back link target outside the tree");
    }
  }

  // A search for each name ends at its node, and its chunks belong to it alone.
  void checkNames() {
    const std::int64_t chunkLimit = detail::recordCount(m_s, kChunkChannel, kChunkSize);
    m_chunkOwner.assign(static_cast<std::size_t>(std::max<std::int64_t>(chunkLimit, 1)), -1);
    m_chunkOwner[0] = 0;
    m_names.assign(static_cast<std::size_t>(kMaxDescriptors), 0);
    m_namedBy.assign(static_cast<std::size_t>(kMaxDescriptors), -1);
    for (std::size_t i = 0; i < m_walk.entries.size(); ++i) {
      const EntryInfo& e = m_walk.entries[i];
      // Built only for a report: the check runs at every open.
      const auto at = [&] { return where(e.node, e.name); };
      if (e.name.size() < kMaxListedName) {
        const detail::SearchPath path = detail::search(m_s, detail::Key(e.name));
        if (path.x != e.node)
          report(at() + ": a search for its name ends at node " + std::to_string(path.x));
      }
      std::uint32_t c = detail::readNode(m_s, e.node).firstChunk();
      std::int64_t chunks = 0;
      while (chunks <= chunkLimit) {
        ++chunks;
        if (static_cast<std::int64_t>(c) >= chunkLimit) break;  // the name walk reported it
        std::int32_t& owner = m_chunkOwner[c];
        if (owner >= 0) {
          report(at() + ": chunk " + std::to_string(c) + " also used by node " +
                 std::to_string(owner));
          break;
        }
        owner = e.node;
        const Chunk chunk = detail::readChunk(m_s, c);
        if (chunk.next() == 0) break;
        c = chunk.next();
      }
      if (e.name.size() < kMaxListedName &&
          chunks != static_cast<std::int64_t>(e.name.size() / kChunkText + 1))
        report(at() + ": " + std::to_string(chunks) + " name chunks for " +
               std::to_string(e.name.size()) + " bytes");
      m_names[e.descriptor] += 1;
      if (m_namedBy[e.descriptor] < 0) m_namedBy[e.descriptor] = static_cast<std::int32_t>(i);
    }
  }

  // Each descriptor's link count matches its names, and its chain holds its content alone,
  // inside the data file.
  void checkContents() {
    const std::int64_t blocks = detail::recordCount(m_s, kBlockMapChannel, kMapEntrySize);
    const std::int64_t dataSize = data_size(*m_s.data);
    m_blockOwner.assign(static_cast<std::size_t>(std::max<std::int64_t>(blocks, 1)), -1);
    for (std::int32_t dn = 0; dn < static_cast<std::int32_t>(m_names.size()); ++dn) {
      const int count = m_names[static_cast<std::size_t>(dn)];
      if (count == 0) continue;
      const auto at = [dn] { return "descriptor " + std::to_string(dn); };
      Descriptor d;
      try {
        d = detail::readDescriptor(m_s, dn);
      } catch (const detail::Corrupt& e) {
        report(at() + ": " + e.what());
        continue;
      }
      if (d.links != count)
        report(at() + ": link count " + std::to_string(d.links) + " but " + std::to_string(count) +
               " names");
      if (d.size < 0) report(at() + ": negative size " + std::to_string(d.size));
      const detail::ChainWalk w = detail::walkChain(m_s, d.firstBlock, blocks);
      if (w.end != detail::ChainEnd::kLast) report(at() + ": " + detail::describe(w));
      for (const std::int32_t b : w.blocks) {
        std::int32_t& owner = m_blockOwner[static_cast<std::size_t>(b)];
        if (owner >= 0) {
          report(at() + ": block " + std::to_string(b) + " also in descriptor " +
                 std::to_string(owner));
          break;
        }
        owner = dn;
      }
      const std::int64_t size = std::max<std::int64_t>(d.size, 0);
      const std::int64_t need = std::max<std::int64_t>(1, (size + 511) / 512);
      if (static_cast<std::int64_t>(w.blocks.size()) < need)
        report(at() + ": " + std::to_string(w.blocks.size()) + " blocks for " +
               std::to_string(d.size) + " bytes");
      // The bytes of the content must be in the data file: a block past its end reads as zeros.
      for (std::size_t i = 0; i < w.blocks.size(); ++i) {
        const std::int64_t used =
            std::min<std::int64_t>(512, size - static_cast<std::int64_t>(i) * 512);
        if (used <= 0) break;
        if (std::int64_t{w.blocks[i]} * 512 + used > dataSize) {
          report(at() + ": block " + std::to_string(w.blocks[i]) +
                 " lies past the end of the data file (" + std::to_string(dataSize) + " bytes)");
          break;
        }
      }
      if (w.end == detail::ChainEnd::kLast && static_cast<std::int64_t>(w.blocks.size()) >= need)
        m_readable.push_back(dn);
    }
  }

  // Records in use that nothing refers to.
  void checkUnreferenced() {
    forEachRecord(m_s, kTreeChannel, kNodeSize, 1, [&](std::int64_t n, const std::uint8_t* r) {
      if ((getLe32(r + 4) & kInUse) != 0 && !m_inTree[static_cast<std::size_t>(n)])
        report("node " + std::to_string(n) + ": in use but not in the tree");
    });
    forEachRecord(m_s, kChunkChannel, kChunkSize, 1, [&](std::int64_t c, const std::uint8_t* r) {
      if ((getLe32(r) & kInUse) != 0 && m_chunkOwner[static_cast<std::size_t>(c)] < 0)
        report("chunk " + std::to_string(c) + ": in use but no name holds it");
    });
    forEachRecord(
        m_s, kDescriptorChannel, kDescriptorSize, 0, [&](std::int64_t d, const std::uint8_t* r) {
          if (d<kMaxDescriptors&& static_cast<std::int32_t>(getLe32(r))> 0 &&
              m_names[static_cast<std::size_t>(d)] == 0)
            report("descriptor " + std::to_string(d) + ": in use but no name refers to it");
        });
    forEachRecord(m_s, kBlockMapChannel, kMapEntrySize, 1,
                  [&](std::int64_t b, const std::uint8_t* r) {
                    if (getLe32(r) != 0 && m_blockOwner[static_cast<std::size_t>(b)] < 0)
                      report("block " + std::to_string(b) + ": in use but in no chain");
                  });
  }

  // Every content that keeps a sum still matches it.
  void checkSums() {
    for (const std::int32_t dn : m_readable) {
      const Descriptor d = detail::readDescriptor(m_s, dn);
      const auto sum = m_s.sums.sumOf(dn, d.size);
      if (!sum) continue;
      std::string problem;
      try {
        if (detail::contentCrc(m_s, d, 0, 0) != *sum) problem = "content does not match its sum";
      } catch (const detail::Corrupt& e) {
        problem = e.what();
      }
      if (problem.empty()) continue;
      const EntryInfo& e =
          m_walk.entries[static_cast<std::size_t>(m_namedBy[static_cast<std::size_t>(dn)])];
      report("descriptor " + std::to_string(dn) + " of " + where(e.node, e.name) + ": " + problem);
    }
  }

  Store& m_s;
  std::vector<std::string> m_out;
  Walk m_walk;
  std::vector<bool> m_inTree;              // by node
  std::vector<std::int32_t> m_chunkOwner;  // by chunk: the node whose name holds it, or -1
  std::vector<int> m_names;                // by descriptor: the names referring to it
  std::vector<std::int32_t> m_namedBy;     // by descriptor: its first entry in m_walk, or -1
  std::vector<std::int32_t> m_blockOwner;  // by block: the descriptor whose chain holds it, or -1
  std::vector<std::int32_t> m_readable;    // descriptors whose chain holds their content
};

}  // namespace

std::vector<EntryInfo> list_entries(Store* s, std::vector<std::string>* problems) {
  if (s == nullptr || s->failed) return {};
  try {
    Walk w = walkTree(*s);
    if (problems != nullptr)
      problems->insert(problems->end(), w.problems.begin(), w.problems.end());
    return std::move(w.entries);
  } catch (const detail::IoFailure& e) {
    s->failed = true;
    if (problems != nullptr) problems->push_back(e.what());
  }
  return {};
}

std::vector<std::string> verify_store(Store* s) {
  if (s == nullptr) return {"no store"};
  if (s->failed) return {"store files could not be read"};
  Verifier v(*s);
  try {
    v.run(true);
  } catch (const detail::Corrupt& e) {
    v.report(std::string("walk stopped: ") + e.what());
  } catch (const detail::IoFailure& e) {
    s->failed = true;
    v.report(e.what());
  }
  return v.take();
}

}  // namespace tivra::store

namespace tivra::store {

std::optional<std::vector<std::uint8_t>> read_content(Store* s, std::int32_t descriptor) {
  if (s == nullptr || s->failed) return std::nullopt;
  try {
    const Descriptor d = detail::readDescriptor(*s, descriptor);
    // A content larger than the data file is damage: never allocate for it.
    if (!detail::usableDescriptor(*s, d) || d.size > data_size(*s->data)) return std::nullopt;
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(d.size));
    if (!bytes.empty()) detail::copyContent(*s, d, 0, bytes);
    const auto sum = s->sums.sumOf(descriptor, d.size);
    if (sum && crc32Update(0, bytes) != *sum) return std::nullopt;
    return bytes;
  } catch (const detail::Corrupt&) {
  } catch (const detail::IoFailure&) {
    s->failed = true;
  }
  return std::nullopt;
}

}  // namespace tivra::store

namespace tivra::store::detail {

bool structureSound(Store& s) {
  Verifier v(s);
  try {
    v.run(false);
  } catch (const Corrupt&) {
    return false;
  }
  return v.take().empty();
}

}  // namespace tivra::store::detail
