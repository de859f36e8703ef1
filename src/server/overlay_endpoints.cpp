#include "server/overlay_endpoints.h"

#include <algorithm>
#include <chrono>
#include <vector>

#include "platform/http_response.h"
#include "platform/text.h"
#include "server/request.h"
#include "tiles/geometry.h"
#include "tiles/offset.h"

namespace tivra::server {

using platform::format;

namespace {

constexpr std::size_t kMaxQueryTokens = 20;

// The comma-separated view values after the first "=" of the URL; missing ones are empty.
std::vector<std::string_view> viewValues(std::string_view request) {
  auto tokens = platform::tokenize(queryValue(requestUrl(request)), ",", kMaxQueryTokens);
  tokens.resize(kMaxQueryTokens);
  return tokens;
}

tiles::OffsetContext offsetContext(const EndpointContext& context) {
  return {context.mapValues, context.stateLock, &context.tileCache.locationMap(),
          context.postMapPageRefresh, context.offsetModel};
}

void appendBox(std::string& out, const tiles::LatLonBox& box) {
  platform::appendFormat(out,
                         "<LatLonBox>\n<north>%f</north>\n<south>%f</south>\n<east>%f</east>\n"
                         "<west>%f</west>\n</LatLonBox>\n",
                         box.north, box.south, box.east, box.west);
}

}  // namespace

std::string tileHrefPrefix(const EndpointContext& context) {
  const tiles::MapValues& v = context.mapValues;
  if (!v.imageEnhancement) return context.tileSourceBase;
  if (!v.transparentMode) return format("http://localhost:%d/ImageServer/F00/", context.port);
  // The two mode digits must stay single digits or the tile endpoint misreads the path.
  const int colour = std::clamp<int>(v.colorNo, 0, 7);
  const int range = std::clamp<int>(v.bkRange / 20, 0, 5);
  return format("http://localhost:%d/ImageServer/T%d%d/", context.port, colour, range);
}

void KmlServer(const EndpointContext& context, std::string_view request, std::string& out) {
  const auto values = viewValues(request);
  const tiles::PointE5 centre{tiles::toE5(platform::parseReal(values[4])),
                              tiles::toE5(platform::parseReal(values[5]))};
  const double range = platform::parseReal(values[6]);
  const std::int32_t height = platform::parseInt(values[12]);
  const int z = 17 - tiles::zoomNumber(range, height, context.mapValues.zoomLevel);

  const tiles::PointE5 offset =
      tiles::correctOffset(offsetContext(context), centre, std::chrono::milliseconds(1));
  const tiles::TileXY tile =
      tiles::TileIndex(std::int64_t{centre.x} - offset.x, std::int64_t{centre.y} - offset.y, z);

  const std::string prefix = tileHrefPrefix(context);
  // Opacity in percent; kept within 0..100 so the colour stays two hex digits.
  const int percent = std::clamp<int>(context.mapValues.transParency, 0, 100);
  const std::string colour =
      format("<color>%02xffffff</color>\n", static_cast<int>(percent * 2.555));

  out.append(platform::kXmlDeclaration).append(platform::kKml20Root);
  out.append("<visibility>1</visibility>\n<Folder>\n<name>Map</name>\n");
  if (!context.mapValues.autoOffset) {
    // A cross-hair at the screen centre for aligning the map by hand.
    out.append("<ScreenOverlay>\n<name>Cross</name>\n<Icon>\n");
    out.append(
        format("<href>http://localhost:%d/ImageServer/F00/cross.png</href>\n", context.port));
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
      platform::appendFormat(out, "<GroundOverlay>\n<name>Map %d/%d/%d</name>\n", i, j, z);
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
  const auto values = viewValues(request);
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
