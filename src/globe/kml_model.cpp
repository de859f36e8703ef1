#include "globe/kml_model.h"

#include <charconv>
#include <cmath>
#include <cstring>
#include <pugixml.hpp>

#include "globe/url.h"

namespace tivra::globe {

namespace {

constexpr int kMaxGeometryDepth = 16;

std::string_view localName(const pugi::xml_node& node) {
  std::string_view name = node.name();
  const std::size_t colon = name.find(':');
  return colon == std::string_view::npos ? name : name.substr(colon + 1);
}

pugi::xml_node child(const pugi::xml_node& node, std::string_view name) {
  for (pugi::xml_node c = node.first_child(); c; c = c.next_sibling()) {
    if (c.type() == pugi::node_element && localName(c) == name) return c;
  }
  return {};
}

std::string_view trim(std::string_view s) {
  const char* ws = " \t\r\n";
  const std::size_t b = s.find_first_not_of(ws);
  if (b == std::string_view::npos) return {};
  return s.substr(b, s.find_last_not_of(ws) - b + 1);
}

std::string_view textOf(const pugi::xml_node& node) {
  return trim(node.text().get());
}

std::optional<double> parseReal(std::string_view s) {
  s = trim(s);
  if (!s.empty() && s.front() == '+') s.remove_prefix(1);
  double value = 0.0;
  const auto [ptr, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
  if (ec != std::errc() || ptr == s.data() || !std::isfinite(value)) return std::nullopt;
  return value;
}

std::optional<double> realChild(const pugi::xml_node& node, std::string_view name) {
  const pugi::xml_node c = child(node, name);
  if (!c) return std::nullopt;
  return parseReal(textOf(c));
}

std::optional<FeatureKind> featureKindOf(std::string_view name) {
  if (name == "Document") return FeatureKind::Document;
  if (name == "Folder") return FeatureKind::Folder;
  if (name == "Placemark") return FeatureKind::Placemark;
  if (name == "GroundOverlay") return FeatureKind::GroundOverlay;
  if (name == "ScreenOverlay") return FeatureKind::ScreenOverlay;
  if (name == "NetworkLink") return FeatureKind::NetworkLink;
  return std::nullopt;
}

struct ParseContext {
  std::string_view baseUrl;
  std::size_t features = 0;
  std::size_t skipped = 0;
};

LookAtData parseLookAt(const pugi::xml_node& el) {
  LookAtData l;
  l.longitude = realChild(el, "longitude").value_or(0.0);
  l.latitude = realChild(el, "latitude").value_or(0.0);
  l.altitude = realChild(el, "altitude").value_or(0.0);
  l.range = realChild(el, "range").value_or(1000.0);
  l.tilt = realChild(el, "tilt").value_or(0.0);
  l.heading = realChild(el, "heading").value_or(0.0);
  return l;
}

ModelData parseModel(const pugi::xml_node& el, const ParseContext& ctx) {
  ModelData m;
  if (const pugi::xml_node loc = child(el, "Location")) {
    m.location = GeoPoint{realChild(loc, "longitude").value_or(0.0),
                          realChild(loc, "latitude").value_or(0.0),
                          realChild(loc, "altitude").value_or(0.0)};
  }
  if (const pugi::xml_node o = child(el, "Orientation")) {
    m.heading = realChild(o, "heading");
    m.tilt = realChild(o, "tilt");
    m.roll = realChild(o, "roll");
  }
  if (const pugi::xml_node s = child(el, "Scale")) {
    m.scale = GeoPoint{realChild(s, "x").value_or(1.0), realChild(s, "y").value_or(1.0),
                       realChild(s, "z").value_or(1.0)};
  }
  if (const pugi::xml_node link = child(el, "Link")) {
    m.href = resolveHref(ctx.baseUrl, textOf(child(link, "href")));
  }
  return m;
}

void parseGeometry(const pugi::xml_node& el, KmlNode& node, const ParseContext& ctx, int depth) {
  if (depth > kMaxGeometryDepth) return;
  const std::string_view name = localName(el);
  if (name == "Point") {
    for (const GeoPoint& p : parseCoordinates(textOf(child(el, "coordinates")), 1)) {
      node.points.push_back(p);
    }
    node.fields |= kFieldPoints;
  } else if (name == "LineString" || name == "LinearRing") {
    node.lines.push_back(
        parseCoordinates(textOf(child(el, "coordinates")), kMaxCoordinatesPerLine));
    node.fields |= kFieldLines;
  } else if (name == "Polygon") {
    if (const pugi::xml_node outer = child(el, "outerBoundaryIs")) {
      if (const pugi::xml_node ring = child(outer, "LinearRing")) {
        parseGeometry(ring, node, ctx, depth + 1);
      }
    }
  } else if (name == "MultiGeometry") {
    for (pugi::xml_node c = el.first_child(); c; c = c.next_sibling()) {
      if (c.type() == pugi::node_element) parseGeometry(c, node, ctx, depth + 1);
    }
  } else if (name == "Model") {
    node.model = parseModel(el, ctx);
    node.fields |= kFieldModel;
  }
}

// Icon hrefs of a style (Style or StyleMap with inline styles).
void collectStyleHrefs(const pugi::xml_node& style, const ParseContext& ctx,
                       std::vector<std::string>& out, int depth = 0) {
  if (depth > kMaxGeometryDepth) return;
  for (pugi::xml_node c = style.first_child(); c; c = c.next_sibling()) {
    if (c.type() != pugi::node_element) continue;
    if (localName(c) == "href") {
      std::string href = resolveHref(ctx.baseUrl, textOf(c));
      if (!href.empty() && out.size() < 1024) out.push_back(std::move(href));
    } else {
      collectStyleHrefs(c, ctx, out, depth + 1);
    }
  }
}

ScreenUnits parseUnits(std::string_view text) {
  if (text == "pixels") return ScreenUnits::Pixels;
  if (text == "insetPixels") return ScreenUnits::InsetPixels;
  return ScreenUnits::Fraction;
}

ScreenVec parseScreenVec(const pugi::xml_node& el) {
  ScreenVec v;
  v.x = parseReal(el.attribute("x").value()).value_or(0.0);
  v.y = parseReal(el.attribute("y").value()).value_or(0.0);
  v.xunits = parseUnits(trim(el.attribute("xunits").value()));
  v.yunits = parseUnits(trim(el.attribute("yunits").value()));
  return v;
}

LinkData parseLink(const pugi::xml_node& el, const ParseContext& ctx) {
  LinkData l;
  l.href = resolveHref(ctx.baseUrl, textOf(child(el, "href")));
  const std::string_view refresh = textOf(child(el, "refreshMode"));
  if (refresh == "onInterval") l.refreshMode = RefreshMode::OnInterval;
  if (refresh == "onExpire") l.refreshMode = RefreshMode::OnExpire;
  l.refreshInterval = realChild(el, "refreshInterval").value_or(4.0);
  const std::string_view view = textOf(child(el, "viewRefreshMode"));
  if (view == "onStop") l.viewRefreshMode = ViewRefreshMode::OnStop;
  if (view == "onRequest") l.viewRefreshMode = ViewRefreshMode::OnRequest;
  if (view == "onRegion") l.viewRefreshMode = ViewRefreshMode::OnRegion;
  l.viewRefreshTime = realChild(el, "viewRefreshTime").value_or(4.0);
  if (const pugi::xml_node f = child(el, "viewFormat")) l.viewFormat = std::string(textOf(f));
  l.httpQuery = std::string(textOf(child(el, "httpQuery")));
  return l;
}

std::unique_ptr<KmlNode> parseFeature(const pugi::xml_node& el, FeatureKind kind, ParseContext& ctx,
                                      int depth);

void parseChildren(const pugi::xml_node& el, KmlNode& parent, ParseContext& ctx, int depth) {
  for (pugi::xml_node c = el.first_child(); c; c = c.next_sibling()) {
    if (c.type() != pugi::node_element) continue;
    if (const auto kind = featureKindOf(localName(c))) {
      if (auto f = parseFeature(c, *kind, ctx, depth + 1)) parent.children.push_back(std::move(f));
    }
  }
}

std::unique_ptr<KmlNode> parseFeature(const pugi::xml_node& el, FeatureKind kind, ParseContext& ctx,
                                      int depth) {
  if (depth > kMaxFeatureDepth || ctx.features >= kMaxFeaturesPerDocument) {
    ++ctx.skipped;
    return nullptr;
  }
  ++ctx.features;
  auto node = std::make_unique<KmlNode>();
  node->kind = kind;
  node->id = el.attribute("id").value();

  for (pugi::xml_node c = el.first_child(); c; c = c.next_sibling()) {
    if (c.type() != pugi::node_element) continue;
    const std::string_view name = localName(c);
    if (name == "name") {
      node->name = std::string(textOf(c));
      node->fields |= kFieldName;
    } else if (name == "visibility") {
      node->visibility = parseReal(textOf(c)).value_or(1.0) != 0.0;
      node->fields |= kFieldVisibility;
    } else if (name == "description") {
      node->description = std::string(textOf(c));
      node->fields |= kFieldDescription;
    } else if (name == "flyToView") {
      node->flyToView = parseReal(textOf(c)).value_or(0.0) != 0.0;
    } else if (name == "LookAt") {
      node->lookAt = parseLookAt(c);
      node->fields |= kFieldLookAt;
    } else if (name == "Style" || name == "StyleMap") {
      if (kind == FeatureKind::Placemark && name == "Style") {
        std::vector<std::string> hrefs;
        collectStyleHrefs(c, ctx, hrefs);
        if (!hrefs.empty()) {
          node->iconHref = hrefs.front();
          node->fields |= kFieldIcon;
        }
      } else {
        collectStyleHrefs(c, ctx, node->styleHrefs);
      }
    } else if (name == "Icon" &&
               (kind == FeatureKind::GroundOverlay || kind == FeatureKind::ScreenOverlay)) {
      node->iconHref = resolveHref(ctx.baseUrl, textOf(child(c, "href")));
      node->fields |= kFieldIcon;
    } else if ((name == "overlayXY" || name == "screenXY" || name == "size") &&
               kind == FeatureKind::ScreenOverlay) {
      if (!node->screen) node->screen = ScreenPlacementData{};
      ScreenVec& v = name == "overlayXY"  ? node->screen->overlayXY
                     : name == "screenXY" ? node->screen->screenXY
                                          : node->screen->size;
      v = parseScreenVec(c);
    } else if (name == "color" &&
               (kind == FeatureKind::GroundOverlay || kind == FeatureKind::ScreenOverlay)) {
      node->color = parseKmlColor(textOf(c));
      node->fields |= kFieldColor;
    } else if (name == "LatLonBox" && kind == FeatureKind::GroundOverlay) {
      node->box =
          LatLonBoxData{realChild(c, "north").value_or(0.0), realChild(c, "south").value_or(0.0),
                        realChild(c, "east").value_or(0.0), realChild(c, "west").value_or(0.0),
                        realChild(c, "rotation").value_or(0.0)};
      node->fields |= kFieldBox;
    } else if ((name == "Url" || name == "Link") && kind == FeatureKind::NetworkLink) {
      node->link = parseLink(c, ctx);
      node->fields |= kFieldLink;
    } else if (kind == FeatureKind::Placemark) {
      parseGeometry(c, *node, ctx, 0);
    }
  }
  if (kind == FeatureKind::Document || kind == FeatureKind::Folder) {
    parseChildren(el, *node, ctx, depth);
  }
  return node;
}

void parseUpdate(const pugi::xml_node& update, ParseContext& ctx, ParsedKml& out) {
  KmlUpdate u;
  u.targetHref = resolveHref(ctx.baseUrl, textOf(child(update, "targetHref")));
  for (pugi::xml_node op = update.first_child(); op; op = op.next_sibling()) {
    if (op.type() != pugi::node_element) continue;
    const std::string_view opName = localName(op);
    for (pugi::xml_node target = op.first_child(); target; target = target.next_sibling()) {
      if (target.type() != pugi::node_element) continue;
      const auto kind = featureKindOf(localName(target));
      if (!kind) continue;
      UpdateOp o;
      o.targetId = target.attribute("targetId").value();
      if (opName == "Create") {
        o.kind = UpdateKind::Create;
        KmlNode holder;
        parseChildren(target, holder, ctx, 1);
        o.payload = std::move(holder.children);
      } else if (opName == "Change") {
        o.kind = UpdateKind::Change;
        if (auto f = parseFeature(target, *kind, ctx, 1)) o.payload.push_back(std::move(f));
      } else if (opName == "Delete") {
        o.kind = UpdateKind::Delete;
      } else {
        continue;
      }
      u.ops.push_back(std::move(o));
    }
  }
  out.updates.push_back(std::move(u));
}

}  // namespace

std::string_view featureKindName(FeatureKind kind) {
  switch (kind) {
    case FeatureKind::Document:
      return "Document";
    case FeatureKind::Folder:
      return "Folder";
    case FeatureKind::Placemark:
      return "Placemark";
    case FeatureKind::GroundOverlay:
      return "GroundOverlay";
    case FeatureKind::ScreenOverlay:
      return "ScreenOverlay";
    case FeatureKind::NetworkLink:
      return "NetworkLink";
  }
  return "?";
}

std::uint32_t parseKmlColor(std::string_view text) {
  text = trim(text);
  if (!text.empty() && text.front() == '#') text.remove_prefix(1);
  if (text.size() != 8) return 0xffffffffu;
  std::uint32_t value = 0;
  const auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), value, 16);
  if (ec != std::errc() || ptr != text.data() + text.size()) return 0xffffffffu;
  return value;
}

std::vector<GeoPoint> parseCoordinates(std::string_view text, std::size_t limit) {
  std::vector<GeoPoint> out;
  std::size_t pos = 0;
  while (pos < text.size() && out.size() < limit) {
    const std::size_t start = text.find_first_not_of(" \t\r\n", pos);
    if (start == std::string_view::npos) break;
    std::size_t end = text.find_first_of(" \t\r\n", start);
    if (end == std::string_view::npos) end = text.size();
    const std::string_view tuple = text.substr(start, end - start);
    pos = end;

    double values[3] = {0.0, 0.0, 0.0};
    std::size_t count = 0;
    bool good = true;
    std::size_t p = 0;
    while (p <= tuple.size() && count < 3) {
      std::size_t comma = tuple.find(',', p);
      if (comma == std::string_view::npos) comma = tuple.size();
      const auto v = parseReal(tuple.substr(p, comma - p));
      if (!v) {
        good = false;
        break;
      }
      values[count++] = *v;
      p = comma + 1;
    }
    if (good && count >= 2) out.push_back(GeoPoint{values[0], values[1], values[2]});
  }
  return out;
}

ParsedKml parseKml(std::string_view text, std::string_view baseUrl) {
  pugi::xml_document doc;
  const pugi::xml_parse_result result =
      doc.load_buffer(text.data(), text.size(), pugi::parse_default, pugi::encoding_auto);
  if (!result) throw KmlParseError(std::string("not XML: ") + result.description());
  const pugi::xml_node root = doc.document_element();
  if (!root) throw KmlParseError("no root element");

  ParseContext ctx{baseUrl, 0, 0};
  ParsedKml out;
  if (const auto kind = featureKindOf(localName(root))) {
    if (auto f = parseFeature(root, *kind, ctx, 1)) out.features.push_back(std::move(f));
  } else if (localName(root) == "kml") {
    for (pugi::xml_node c = root.first_child(); c; c = c.next_sibling()) {
      if (c.type() != pugi::node_element) continue;
      const std::string_view name = localName(c);
      if (const auto childKind = featureKindOf(name)) {
        if (auto f = parseFeature(c, *childKind, ctx, 1)) out.features.push_back(std::move(f));
      } else if (name == "NetworkLinkControl") {
        if (const pugi::xml_node update = child(c, "Update")) parseUpdate(update, ctx, out);
      }
    }
  } else {
    throw KmlParseError("not a KML document: root element " + std::string(localName(root)));
  }
  out.skippedElements = ctx.skipped;
  return out;
}

void applyChange(KmlNode& target, KmlNode&& change) {
  const std::uint32_t f = change.fields;
  if (f & kFieldName) target.name = std::move(change.name);
  if (f & kFieldVisibility) target.visibility = change.visibility;
  if (f & kFieldDescription) target.description = std::move(change.description);
  if (f & kFieldLookAt) target.lookAt = change.lookAt;
  if (f & kFieldPoints) target.points = std::move(change.points);
  if (f & kFieldLines) target.lines = std::move(change.lines);
  if (f & kFieldIcon) target.iconHref = std::move(change.iconHref);
  if (f & kFieldBox) target.box = change.box;
  if (f & kFieldColor) target.color = change.color;
  if (f & kFieldLink) target.link = std::move(change.link);
  if ((f & kFieldModel) && change.model) {
    if (!target.model) target.model = ModelData{};
    ModelData& m = *target.model;
    const ModelData& c = *change.model;
    if (c.location) m.location = c.location;
    if (c.heading) m.heading = c.heading;
    if (c.tilt) m.tilt = c.tilt;
    if (c.roll) m.roll = c.roll;
    if (c.scale) m.scale = c.scale;
    if (!c.href.empty()) m.href = c.href;
  }
  target.fields |= f;
}

}  // namespace tivra::globe
