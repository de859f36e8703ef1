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
// Leak scans stop here: a damaged header can claim channels far longer than the file.
constexpr std::int64_t kMaxScan = std::int64_t{1} << 24;

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
  std::vector<std::string> out;
  try {
    Store& st = *s;
    const Node header = detail::readNode(st, 0);
    if (header.bit != -1 || header.firstChunk() != 0)
      out.push_back("header node: bit index " + std::to_string(header.bit) + ", name chunk " +
                    std::to_string(header.firstChunk()));
    if (detail::readName(st, 0, 2) != ".") out.push_back("chunk 0: header name is not \".\"");

    Walk w = walkTree(st);
    out.insert(out.end(), w.problems.begin(), w.problems.end());

    // Every node is the target of exactly one back link.
    std::set<std::int32_t> inTree{0};
    for (const EntryInfo& e : w.entries) inTree.insert(e.node);
    for (const std::int32_t n : inTree) {
      const auto it = w.backLinks.find(n);
      const int count = it == w.backLinks.end() ? 0 : it->second;
      if (count != 1)
        out.push_back("node " + std::to_string(n) + ": target of " + std::to_string(count) +
                      " back links");
    }
    for (const auto& [n, count] : w.backLinks) {
      if (!inTree.count(n))
        out.push_back("node " + std::to_string(n) + ": back link target outside the tree");
    }

    std::map<std::int64_t, std::int32_t> chunkOwner;
    std::map<std::int32_t, int> names;  // descriptor -> names referring to it
    std::map<std::int64_t, std::int32_t> blockOwner;
    chunkOwner[0] = 0;
    const std::int64_t chunkLimit = detail::recordCount(st, kChunkChannel, kChunkSize);
    for (const EntryInfo& e : w.entries) {
      const std::string at = where(e.node, e.name);
      // The search must lead to the node that holds the name.
      if (e.name.size() < kMaxListedName) {
        const detail::SearchPath path = detail::search(st, detail::Key(e.name));
        if (path.x != e.node)
          out.push_back(at + ": a search for its name ends at node " + std::to_string(path.x));
      }
      const Node node = detail::readNode(st, e.node);
      std::uint32_t c = node.firstChunk();
      std::int64_t chunks = 0;
      while (chunks <= chunkLimit) {
        ++chunks;
        const auto [it, fresh] = chunkOwner.emplace(c, e.node);
        if (!fresh) {
          out.push_back(at + ": chunk " + std::to_string(c) + " also used by node " +
                        std::to_string(it->second));
          break;
        }
        const Chunk chunk = detail::readChunk(st, c);
        if (chunk.next() == 0) break;
        c = chunk.next();
      }
      if (e.name.size() < kMaxListedName &&
          chunks != static_cast<std::int64_t>(e.name.size() / kChunkText + 1))
        out.push_back(at + ": " + std::to_string(chunks) + " name chunks for " +
                      std::to_string(e.name.size()) + " bytes");
      names[e.descriptor] += 1;
    }
    for (const auto& [dn, count] : names) {
      const std::string at = "descriptor " + std::to_string(dn);
      Descriptor d;
      try {
        d = detail::readDescriptor(st, dn);
      } catch (const detail::Corrupt& e) {
        out.push_back(at + ": " + e.what());
        continue;
      }
      if (d.links != count)
        out.push_back(at + ": link count " + std::to_string(d.links) + " but " +
                      std::to_string(count) + " names");
      if (d.size < 0) out.push_back(at + ": negative size " + std::to_string(d.size));
      const std::int64_t blocks = detail::recordCount(st, kBlockMapChannel, kMapEntrySize);
      std::int64_t b = d.firstBlock;
      std::int64_t length = 0;
      while (true) {
        if (b < 1 || b >= blocks) {
          out.push_back(at + ": block " + std::to_string(b) + " out of range after " +
                        std::to_string(length) + " blocks");
          break;
        }
        const auto [it, fresh] = blockOwner.emplace(b, dn);
        if (!fresh) {
          out.push_back(at + ": block " + std::to_string(b) +
                        (it->second == dn ? " repeats (cycle)"
                                          : " also in descriptor " + std::to_string(it->second)));
          break;
        }
        ++length;
        const std::int32_t next = detail::readMap(st, b);
        if (next == -1) break;
        if (next == 0) {
          out.push_back(at + ": block " + std::to_string(b) + " marked free inside a chain");
          break;
        }
        b = next;
      }
      const std::int64_t need =
          std::max<std::int64_t>(1, (std::int64_t{std::max(d.size, 0)} + 511) / 512);
      if (length < need)
        out.push_back(at + ": " + std::to_string(length) + " blocks for " + std::to_string(d.size) +
                      " bytes");
    }

    // Records in use that nothing refers to.
    const std::int64_t nodes = std::min(detail::recordCount(st, kTreeChannel, kNodeSize), kMaxScan);
    for (std::int64_t n = 1; n < nodes; ++n) {
      const Node node = [&] {
        try {
          return detail::readNode(st, n);
        } catch (const detail::Corrupt&) {
          return Node{};
        }
      }();
      if (node.inUse() && !inTree.count(static_cast<std::int32_t>(n)))
        out.push_back("node " + std::to_string(n) + ": in use but not in the tree");
    }
    for (std::int64_t c = 1; c < std::min(chunkLimit, kMaxScan); ++c) {
      if (detail::readChunk(st, c).inUse() && !chunkOwner.count(c))
        out.push_back("chunk " + std::to_string(c) + ": in use but no name holds it");
    }
    const std::int64_t descriptors = std::min<std::int64_t>(
        detail::recordCount(st, kDescriptorChannel, kDescriptorSize), kMaxDescriptors);
    for (std::int64_t d = 0; d < descriptors; ++d) {
      if (detail::readDescriptor(st, d).links > 0 && !names.count(static_cast<std::int32_t>(d)))
        out.push_back("descriptor " + std::to_string(d) + ": in use but no name refers to it");
    }
    const std::int64_t blocks =
        std::min(detail::recordCount(st, kBlockMapChannel, kMapEntrySize), kMaxScan);
    for (std::int64_t b = 1; b < blocks; ++b) {
      if (detail::readMap(st, b) != 0 && !blockOwner.count(b))
        out.push_back("block " + std::to_string(b) + ": in use but in no chain");
    }
  } catch (const detail::Corrupt& e) {
    out.push_back(std::string("walk stopped: ") + e.what());
  } catch (const detail::IoFailure& e) {
    s->failed = true;
    out.push_back(e.what());
  }
  return out;
}

}  // namespace tivra::store
