#include "server/overlay_endpoints.h"

#include <algorithm>
#include <chrono>
#include <vector>

#include "globe/view_format.h"
#include "platform/http_response.h"
#include "platform/text.h"
#include "server/request.h"
#include "tiles/geometry.h"
#include "tiles/offset.h"

namespace tivra::server {

namespace {

constexpr std::size_t kMaxQueryTokens = 20;

// The comma-separated values after the first "=" of the URL; missing ones are empty.
std::vector<std::string_view> queryValues(std::string_view request) {
  auto tokens = platform::tokenize(queryValue(requestUrl(request)), ",", kMaxQueryTokens);
  tokens.resize(kMaxQueryTokens);
  return tokens;
}

// The overlay link's view values, read by name.
class ViewValues {
 public:
  explicit ViewValues(std::string_view request) : m_values(queryValues(request)) {}
  double real(globe::ViewValue v) const { return platform::parseReal(m_values[globe::index(v)]); }
  std::int32_t integer(globe::ViewValue v) const {
    return platform::parseInt(m_values[globe::index(v)]);
  }

 private:
  std::vector<std::string_view> m_values;
};

static_assert(globe::kViewValueCount <= kMaxQueryTokens);

tiles::OffsetContext offsetContext(const EndpointContext& context) {
  return {context.mapValues, context.stateLock, &context.tileCache.locationMap(),
          context.postMapPageRefresh, context.offsetModel};
}

void appendBox(std::string& out, const tiles::LatLonBox& box) {
  out.append("<LatLonBox>\n<north>");
  platform::appendFixed6(out, box.north);
  out.append("</north>\n<south>");
  platform::appendFixed6(out, box.south);
  out.append("</south>\n<east>");
  platform::appendFixed6(out, box.east);
  out.append("</east>\n<west>");
  platform::appendFixed6(out, box.west);
  out.append("</west>\n</LatLonBox>\n");
}

}  // namespace

std::string tileHrefPrefix(const EndpointContext& context) {
  const tiles::MapValues& v = context.mapValues;
  if (!v.imageEnhancement) return context.tileSourceBase;
  const std::string base = platform::localBaseUrl(context.port);
  if (!v.transparentMode) return base + "/ImageServer/F00/";
  // The two mode digits must stay single digits or the tile endpoint misreads the path.
  const int colour = std::clamp<int>(v.colorNo, 0, 9);
  const int range = std::clamp<int>(v.bkRange / 20, 0, 5);
  std::string prefix = base + "/ImageServer/T";
  prefix.push_back(static_cast<char>('0' + colour));
  prefix.push_back(static_cast<char>('0' + range));
  prefix.push_back('/');
  return prefix;
}

void KmlServer(const EndpointContext& context, std::string_view request, std::string& out) {
  using globe::ViewValue;
  const ViewValues view(request);
  const tiles::PointE5 centre{tiles::toE5(view.real(ViewValue::LookatLon)),
                              tiles::toE5(view.real(ViewValue::LookatLat))};
  const double range = view.real(ViewValue::LookatRange);
  const std::int32_t height = view.integer(ViewValue::VertPixels);
  const int z = 17 - tiles::zoomNumber(range, height, context.mapValues.zoomLevel);

  const tiles::PointE5 offset =
      tiles::correctOffset(offsetContext(context), centre, std::chrono::milliseconds(1));
  const tiles::TileXY tile =
      tiles::TileIndex(std::int64_t{centre.x} - offset.x, std::int64_t{centre.y} - offset.y, z);

  const std::string prefix = tileHrefPrefix(context);
  // Opacity in percent; kept within 0..100 so the colour stays two hex digits.
  const int percent = std::clamp<int>(context.mapValues.transParency, 0, 100);
  const int alpha = static_cast<int>(percent * 2.555);
  constexpr std::string_view kHex = "0123456789abcdef";
  std::string colour = "<color>00ffffff</color>\n";
  colour[7] = kHex[alpha >> 4];
  colour[8] = kHex[alpha & 15];

  out.append(platform::kXmlDeclaration).append(platform::kKml20Root);
  out.append("<visibility>1</visibility>\n<Folder>\n<name>Map</name>\n");
  if (!context.mapValues.autoOffset) {
    // A cross-hair at the screen centre for aligning the map by hand.
    out.append("<ScreenOverlay>\n<name>Cross</name>\n<Icon>\n");
    out.append("<href>").append(platform::localBaseUrl(context.port));
    out.append("/ImageServer/F00/cross.png</href>\n");
    out.append("</Icon>\n");
    out.append("<overlayXY x=\"0.5\" y=\"0.5\" xunits=\"fraction\" yunits=\"fraction\"/>\n");
    out.append("<screenXY x=\"0.5\" y=\"0.5\" xunits=\"fraction\" yunits=\"fraction\"/>\n");
    out.append("<rotation>0</rotation>\n");
    out.append(" <size x=\"0\" y=\"0\" xunits=\"pixels\" yunits=\"pixels\"/>\n");
    out.append("</ScreenOverlay>\n");
  }
  const double shiftX = offset.x * 0.00001;
  const double shiftY = offset.y * 0.00001;
  for (int i = 1; i <= 5; ++i) {
    for (int j = 4; j >= 2; --j) {
      const std::int64_t column = tile.x - 3 + i;
      const std::int64_t row = tile.y + j - 3;
      out.append("<GroundOverlay>\n<name>Map ");
      platform::appendInteger(out, i);
      out.push_back('/');
      platform::appendInteger(out, j);
      out.push_back('/');
      platform::appendInteger(out, z);
      out.append("</name>\n");
      out.append(colour);
      out.append("<Icon>\n<href>").append(prefix);
      tiles::appendTileQuery(out, column, row, z);
      out.append("</href>\n</Icon>\n");
      tiles::LatLonBox box = tiles::mercatorTileBox(column, row, z);
      box.north += shiftY;
      box.south += shiftY;
      box.east += shiftX;
      box.west += shiftX;
      appendBox(out, box);
      out.append("</GroundOverlay>\n");
    }
  }
  out.append("</Folder>\n").append(platform::kKmlEnd);
}

void DefaultEndpoint(const EndpointContext& context, std::string_view request, std::string& out) {
  // "lon,lat,level"
  const auto values = queryValues(request);
  const tiles::PointE5 position{tiles::toE5(platform::parseReal(values[0])),
                                tiles::toE5(platform::parseReal(values[1]))};
  const int level = std::clamp<std::int32_t>(platform::parseInt(values[2]), 0, 14);

  const tiles::PointE5 offset =
      tiles::correctOffset(offsetContext(context), position, std::chrono::milliseconds(10));
  const tiles::TileXY tile = tiles::linearTile(std::int64_t{position.x} - offset.x,
                                               std::int64_t{position.y} - offset.y, level);

  std::string body;
  body.append("<GroundOverlay>\n<Icon>\n<href>").append(tileHrefPrefix(context));
  body.append(tiles::LinearTilePath(tile.x, tile.y, level)).append("</href>\n</Icon>\n");
  appendBox(body, tiles::linearTileBox(tile.x, tile.y, level, offset));
  body.append("</GroundOverlay>\n");
  platform::appendFullResponse(out, platform::kKmlContentType, body);
}

}  // namespace tivra::server
