#include "store/store_inspect.h"

#include <algorithm>
#include <map>
#include <set>
#include <string>
#include <vector>

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
  std::map<std::int32_t, int> backLinks;  // target node -> number of back links to it
  std::vector<std::string> problems;
};

Walk walkTree(Store& s) {
  Walk w;
  Node header;
  try {
    header = detail::readNode(s, 0);
  } catch (const detail::Corrupt& e) {
    w.problems.push_back(std::string("header node: ") + e.what());
    return w;
  }
  std::set<std::int32_t> seen{0};
  std::vector<std::pair<std::int32_t, std::int16_t>> stack;  // node, parent's bit index
  if (header.right != 0) {
    stack.emplace_back(header.right, header.bit);
  } else {
    w.backLinks[0] += 1;
  }
  const std::int64_t limit = detail::recordCount(s, kTreeChannel, kNodeSize);
  while (!stack.empty()) {
    const auto [n, parentBit] = stack.back();
    stack.pop_back();
    if (!seen.insert(n).second) {
      w.problems.push_back("node " + std::to_string(n) + ": reached twice by downward links");
      continue;
    }
    if (static_cast<std::int64_t>(seen.size()) > limit + 1) break;
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
        w.backLinks[link] += 1;
      }
    }
    w.entries.push_back(std::move(info));
  }
  return w;
}

// The consistency check, one phase per structure. The open already refused a header whose
// channels run past the end of the index file, so every scan here is bounded by the file.
class Verifier {
 public:
  explicit Verifier(Store& s) : m_s(s) {}

  void run() {
    checkHeader();
    m_walk = walkTree(m_s);
    m_out.insert(m_out.end(), m_walk.problems.begin(), m_walk.problems.end());
    checkBackLinks();
    checkNames();
    checkContents();
    checkUnreferenced();
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
    m_inTree.insert(0);
    for (const EntryInfo& e : m_walk.entries) m_inTree.insert(e.node);
    for (const std::int32_t n : m_inTree) {
      const auto it = m_walk.backLinks.find(n);
      const int count = it == m_walk.backLinks.end() ? 0 : it->second;
      if (count != 1)
        report("node " + std::to_string(n) + ": target of " + std::to_string(count) +
               " back links");
    }
    for (const auto& [n, count] : m_walk.backLinks) {
      if (!m_inTree.count(n))
        report("node " + std::to_string(n) + ": back link target outside the tree");
    }
  }

  // A search for each name ends at its node, and its chunks belong to it alone.
  void checkNames() {
    m_chunkOwner[0] = 0;
    const std::int64_t chunkLimit = detail::recordCount(m_s, kChunkChannel, kChunkSize);
    for (const EntryInfo& e : m_walk.entries) {
      const std::string at = where(e.node, e.name);
      if (e.name.size() < kMaxListedName) {
        const detail::SearchPath path = detail::search(m_s, detail::Key(e.name));
        if (path.x != e.node)
          report(at + ": a search for its name ends at node " + std::to_string(path.x));
      }
      std::uint32_t c = detail::readNode(m_s, e.node).firstChunk();
      std::int64_t chunks = 0;
      while (chunks <= chunkLimit) {
        ++chunks;
        const auto [it, fresh] = m_chunkOwner.emplace(c, e.node);
        if (!fresh) {
          report(at + ": chunk " + std::to_string(c) + " also used by node " +
                 std::to_string(it->second));
          break;
        }
        const Chunk chunk = detail::readChunk(m_s, c);
        if (chunk.next() == 0) break;
        c = chunk.next();
      }
      if (e.name.size() < kMaxListedName &&
          chunks != static_cast<std::int64_t>(e.name.size() / kChunkText + 1))
        report(at + ": " + std::to_string(chunks) + " name chunks for " +
               std::to_string(e.name.size()) + " bytes");
      m_names[e.descriptor] += 1;
    }
  }

  // Each descriptor's link count matches its names, and its chain holds its content alone.
  void checkContents() {
    const std::int64_t blocks = detail::recordCount(m_s, kBlockMapChannel, kMapEntrySize);
    for (const auto& [dn, count] : m_names) {
      const std::string at = "descriptor " + std::to_string(dn);
      Descriptor d;
      try {
        d = detail::readDescriptor(m_s, dn);
      } catch (const detail::Corrupt& e) {
        report(at + ": " + e.what());
        continue;
      }
      if (d.links != count)
        report(at + ": link count " + std::to_string(d.links) + " but " + std::to_string(count) +
               " names");
      if (d.size < 0) report(at + ": negative size " + std::to_string(d.size));
      const detail::ChainWalk w = detail::walkChain(m_s, d.firstBlock, blocks);
      if (w.end != detail::ChainEnd::kLast) report(at + ": " + detail::describe(w));
      for (const std::int32_t b : w.blocks) {
        const auto [it, fresh] = m_blockOwner.emplace(b, dn);
        if (!fresh) {
          report(at + ": block " + std::to_string(b) + " also in descriptor " +
                 std::to_string(it->second));
          break;
        }
      }
      const std::int64_t need =
          std::max<std::int64_t>(1, (std::int64_t{std::max(d.size, 0)} + 511) / 512);
      if (static_cast<std::int64_t>(w.blocks.size()) < need)
        report(at + ": " + std::to_string(w.blocks.size()) + " blocks for " +
               std::to_string(d.size) + " bytes");
    }
  }

  // Records in use that nothing refers to.
  void checkUnreferenced() {
    const std::int64_t nodes = detail::recordCount(m_s, kTreeChannel, kNodeSize);
    for (std::int64_t n = 1; n < nodes; ++n) {
      const Node node = [&] {
        try {
          return detail::readNode(m_s, n);
        } catch (const detail::Corrupt&) {
          return Node{};
        }
      }();
      if (node.inUse() && !m_inTree.count(static_cast<std::int32_t>(n)))
        report("node " + std::to_string(n) + ": in use but not in the tree");
    }
    const std::int64_t chunks = detail::recordCount(m_s, kChunkChannel, kChunkSize);
    for (std::int64_t c = 1; c < chunks; ++c) {
      if (detail::readChunk(m_s, c).inUse() && !m_chunkOwner.count(c))
        report("chunk " + std::to_string(c) + ": in use but no name holds it");
    }
    const std::int64_t descriptors = std::min<std::int64_t>(
        detail::recordCount(m_s, kDescriptorChannel, kDescriptorSize), kMaxDescriptors);
    for (std::int64_t d = 0; d < descriptors; ++d) {
      if (detail::readDescriptor(m_s, d).links > 0 && !m_names.count(static_cast<std::int32_t>(d)))
        report("descriptor " + std::to_string(d) + ": in use but no name refers to it");
    }
    const std::int64_t blocks = detail::recordCount(m_s, kBlockMapChannel, kMapEntrySize);
    for (std::int64_t b = 1; b < blocks; ++b) {
      if (detail::readMap(m_s, b) != 0 && !m_blockOwner.count(static_cast<std::int32_t>(b)))
        report("block " + std::to_string(b) + ": in use but in no chain");
    }
  }

  Store& m_s;
  std::vector<std::string> m_out;
  Walk m_walk;
  std::set<std::int32_t> m_inTree;
  std::map<std::int64_t, std::int32_t> m_chunkOwner;
  std::map<std::int32_t, int> m_names;  // descriptor -> names referring to it
  std::map<std::int32_t, std::int32_t> m_blockOwner;
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
    v.run();
  } catch (const detail::Corrupt& e) {
    v.report(std::string("walk stopped: ") + e.what());
  } catch (const detail::IoFailure& e) {
    s->failed = true;
    v.report(e.what());
  }
  return v.take();
}

}  // namespace tivra::store
