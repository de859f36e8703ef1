#pragma once

// The simulated globe's scene: the loaded documents as parsed, and beside them, keyed by node,
// what the globe keeps at run time (a node's handle serial and its network link's schedule).
// Not thread-safe: the globe guards it with its lock.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <unordered_map>
#include <vector>

#include "globe/camera_flight.h"
#include "globe/globe_view.h"
#include "globe/kml_model.h"

namespace tivra::globe {

using NodeList = std::vector<std::unique_ptr<KmlNode>>;

// Run-time state of a network link.
struct LinkState {
  bool initialDue = true;
  bool inFlight = false;
  Clock::time_point viewDue = Clock::time_point::max();
  Clock::time_point intervalDue = Clock::time_point::max();
  std::string lastUrl;
  int depth = 0;  // nesting of links fetched through links
};

struct NodeState {
  std::uint64_t serial = 0;  // handle identity; never reused
  LinkState link;
};

// Pre-order walk of a node list with each node's depth and effective visibility (its own and
// its ancestors'). The visitor returns void, or bool: true ends the walk; then so does this.
template <typename Visitor>
bool forEachNodeIn(const NodeList& list, int depth, bool visible, Visitor& visit) {
  for (const auto& node : list) {
    const bool shown = visible && node->visibility;
    if constexpr (std::is_same_v<std::invoke_result_t<Visitor&, KmlNode&, int, bool>, bool>) {
      if (visit(*node, depth, shown)) return true;
    } else {
      visit(*node, depth, shown);
    }
    if (forEachNodeIn(node->children, depth + 1, shown, visit)) return true;
  }
  return false;
}

// Nodes in the list and below it.
std::size_t countNodes(const NodeList& list);

// The first node in the list or below it that matches.
template <typename Pred>
KmlNode* findNodeIn(const NodeList& list, Pred pred) {
  KmlNode* found = nullptr;
  auto match = [&](KmlNode& node, int, bool) {
    if (pred(node)) found = &node;
    return found != nullptr;
  };
  forEachNodeIn(list, 0, true, match);
  return found;
}

struct UpdateCounts {
  std::uint64_t applied = 0;
  std::uint64_t ignored = 0;
};

class Scene {
 public:
  static constexpr int kMaxLinkDepth = 8;  // links fetched through links; deeper stay unfetched
  static constexpr std::size_t kMaxDocuments = 256;
  static constexpr std::size_t kMaxTotalFeatures = 500000;

  // Every node of every loaded document, in document order.
  template <typename Visitor>
  void forEachNode(Visitor&& visit) const {
    for (const Document& document : m_documents) {
      if (forEachNodeIn(document.features, 0, true, visit)) return;
    }
  }

  template <typename Pred>
  KmlNode* find(Pred pred) const {
    KmlNode* found = nullptr;
    forEachNode([&](KmlNode& node, int, bool) {
      if (pred(node)) found = &node;
      return found != nullptr;
    });
    return found;
  }

  KmlNode* bySerial(std::uint64_t serial) const;

  // Loads a document's features under a path, replacing what was loaded before from the same
  // path; the oldest document goes when there are too many. EarthError, and nothing changed,
  // when the scene would grow past its limit. Returns the features as loaded.
  const NodeList& load(std::string path, NodeList features);

  // Replaces a link's children by the features of the document it fetched. False, and nothing
  // changed, when the scene would grow past its limit.
  bool replaceChildren(KmlNode& link, NodeList features);

  // Applies a NetworkLinkControl update to the links it targets. New features are adopted
  // and handed to onAdded, changed ones to onChanged.
  UpdateCounts applyUpdate(KmlUpdate& update, const std::function<void(const NodeList&)>& onAdded,
                           const std::function<void(KmlNode&)>& onChanged);

  NodeState& state(const KmlNode& node) { return m_states.at(&node); }
  const NodeState& state(const KmlNode& node) const { return m_states.at(&node); }

  // A network link the globe fetches: a link within the nesting limit.
  bool liveLink(const KmlNode& node) const;

  std::size_t featureCount() const { return m_featureCount; }

 private:
  struct Document {
    std::string path;
    NodeList features;
  };

  // Gives new nodes their serials and fresh run-time state before they join the scene;
  // linkDepth is the nesting of the link that fetched them (0 for opened files).
  void adopt(const NodeList& nodes, int linkDepth);
  // After nodes have gone: recounts and drops the state of nodes no longer in the scene.
  void treeChanged();

  std::vector<Document> m_documents;
  std::unordered_map<const KmlNode*, NodeState> m_states;
  std::uint64_t m_nextSerial = 1;
  std::size_t m_featureCount = 0;
};

// The camera that shows a feature: its own LookAt, else its geometry fitted into a view of
// that size; nullopt when it has neither.
std::optional<Camera> featureCamera(const KmlNode& node, int widthPx, int heightPx,
                                    double horizFovDeg);

}  // namespace tivra::globe
