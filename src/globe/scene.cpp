#include "globe/scene.h"

#include <algorithm>

namespace tivra::globe {

namespace {

bool removeFromList(NodeList& list, std::string_view id) {
  for (auto it = list.begin(); it != list.end(); ++it) {
    if ((*it)->id == id) {
      list.erase(it);
      return true;
    }
    if (removeFromList((*it)->children, id)) return true;
  }
  return false;
}

struct Bounds {
  double west = 1e9, south = 1e9, east = -1e9, north = -1e9;
  bool empty() const { return west > east; }
  void add(double lon, double lat) {
    west = std::min(west, lon);
    east = std::max(east, lon);
    south = std::min(south, lat);
    north = std::max(north, lat);
  }
  void add(const KmlNode& n) {
    for (const GeoPoint& p : n.points) add(p.lon, p.lat);
    for (const auto& line : n.lines) {
      for (const GeoPoint& p : line) add(p.lon, p.lat);
    }
    if (n.box) {
      add(n.box->west, n.box->south);
      add(n.box->east, n.box->north);
    }
    if (n.model && n.model->location) add(n.model->location->lon, n.model->location->lat);
  }
};

}  // namespace

std::size_t countNodes(const NodeList& list) {
  std::size_t count = 0;
  auto one = [&](KmlNode&, int, bool) { ++count; };
  forEachNodeIn(list, 0, true, one);
  return count;
}

KmlNode* Scene::bySerial(std::uint64_t serial) const {
  return find([&](const KmlNode& node) { return state(node).serial == serial; });
}

const NodeList& Scene::load(std::string path, NodeList features) {
  auto it = std::find_if(m_documents.begin(), m_documents.end(),
                         [&](const Document& d) { return d.path == path; });
  const std::size_t replaced = it != m_documents.end() ? countNodes(it->features) : 0;
  if (m_featureCount - replaced + countNodes(features) > kMaxTotalFeatures) {
    throw EarthError("too many features loaded");
  }
  if (it != m_documents.end()) m_documents.erase(it);
  if (m_documents.size() >= kMaxDocuments) m_documents.erase(m_documents.begin());
  adopt(features, 0);
  m_documents.push_back(Document{std::move(path), std::move(features)});
  treeChanged();
  return m_documents.back().features;
}

bool Scene::replaceChildren(KmlNode& link, NodeList features) {
  if (m_featureCount - countNodes(link.children) + countNodes(features) > kMaxTotalFeatures) {
    return false;
  }
  adopt(features, state(link).link.depth + 1);
  link.children = std::move(features);
  treeChanged();
  return true;
}

UpdateCounts Scene::applyUpdate(KmlUpdate& update,
                                const std::function<void(const NodeList&)>& onAdded,
                                const std::function<void(KmlNode&)>& onChanged) {
  std::vector<KmlNode*> scopes;
  forEachNode([&](KmlNode& n, int, bool) {
    if (n.link && !update.targetHref.empty() &&
        (n.link->href == update.targetHref || state(n).link.lastUrl == update.targetHref)) {
      scopes.push_back(&n);
    }
  });

  UpdateCounts counts;
  for (UpdateOp& op : update.ops) {
    KmlNode* target = nullptr;
    KmlNode* owner = nullptr;
    for (KmlNode* scope : scopes) {
      target = findNodeIn(scope->children, [&](const KmlNode& k) { return k.id == op.targetId; });
      if (target) {
        owner = scope;
        break;
      }
    }
    if (!target || op.targetId.empty()) {
      ++counts.ignored;
      continue;
    }
    switch (op.kind) {
      case UpdateKind::Create:
        if ((target->kind != FeatureKind::Folder && target->kind != FeatureKind::Document) ||
            m_featureCount + countNodes(op.payload) > kMaxTotalFeatures) {
          ++counts.ignored;
          continue;
        }
        adopt(op.payload, state(*owner).link.depth + 1);
        onAdded(op.payload);
        m_featureCount += countNodes(op.payload);
        for (auto& p : op.payload) target->children.push_back(std::move(p));
        op.payload.clear();
        break;
      case UpdateKind::Change:
        if (op.payload.empty() || op.payload.front()->kind != target->kind) {
          ++counts.ignored;
          continue;
        }
        applyChange(*target, std::move(*op.payload.front()));
        onChanged(*target);
        break;
      case UpdateKind::Delete:
        removeFromList(owner->children, op.targetId);
        break;
    }
    ++counts.applied;
  }
  treeChanged();
  return counts;
}

bool Scene::liveLink(const KmlNode& node) const {
  return node.kind == FeatureKind::NetworkLink && node.link &&
         state(node).link.depth <= kMaxLinkDepth;
}

void Scene::adopt(const NodeList& nodes, int linkDepth) {
  auto fresh = [&](KmlNode& n, int, bool) {
    NodeState& s = m_states[&n];
    s = NodeState{};
    s.serial = m_nextSerial++;
    s.link.depth = linkDepth;
    s.link.initialDue = n.kind == FeatureKind::NetworkLink && n.link && linkDepth <= kMaxLinkDepth;
  };
  forEachNodeIn(nodes, 0, true, fresh);
}

void Scene::treeChanged() {
  std::unordered_map<const KmlNode*, NodeState> live;
  live.reserve(m_states.size());
  forEachNode([&](KmlNode& n, int, bool) { live.emplace(&n, std::move(m_states.at(&n))); });
  m_featureCount = live.size();
  m_states.swap(live);
}

std::optional<Camera> featureCamera(const KmlNode& node, int widthPx, int heightPx,
                                    double horizFovDeg) {
  Camera target;
  if (node.lookAt) {
    target.FocusPointLongitude = node.lookAt->longitude;
    target.FocusPointLatitude = node.lookAt->latitude;
    target.FocusPointAltitude = node.lookAt->altitude;
    target.Range = node.lookAt->range;
    target.Tilt = node.lookAt->tilt;
    target.Azimuth = node.lookAt->heading;
    return target;
  }
  Bounds b;
  b.add(node);
  auto add = [&](KmlNode& n, int, bool) { b.add(n); };
  forEachNodeIn(node.children, 0, true, add);
  if (b.empty()) return std::nullopt;
  const ViewGeometry unit = makeViewGeometry(Camera{(b.north + b.south) / 2, 0, 0, 1, 1.0, 0, 0},
                                             widthPx, heightPx, horizFovDeg);
  // Fit the box with a margin; a single point is seen from 1000 m.
  const double fit = std::max((b.north - b.south) / (2 * unit.halfHeightDeg),
                              (b.east - b.west) / (2 * unit.halfWidthDeg));
  target.FocusPointLongitude = (b.east + b.west) / 2;
  target.FocusPointLatitude = (b.north + b.south) / 2;
  target.Range = std::max(1000.0, fit * 1.1);
  return target;
}

}  // namespace tivra::globe
