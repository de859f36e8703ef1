#include "server/image_endpoint.h"

#include "platform/http_response.h"
#include "platform/resources.h"
#include "server/request.h"
#include "tiles/fetch_url.h"
#include "tiles/transparency.h"

namespace tivra::server {

namespace {

std::string replaceAll(std::string_view text, std::string_view from, std::string_view to) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t at = text.find(from); at != std::string_view::npos; at = text.find(from)) {
    out.append(text.substr(0, at)).append(to);
    text.remove_prefix(at + from.size());
  }
  return out.append(text);
}

constexpr int kHttpFound = 302;

// A source that is overloaded or failing answers with an error page: pass it on this once, but
// never keep it as the tile.
bool worthStoring(int status) {
  return status != 429 && (status < 500 || status > 599);
}

// The built-in images by their name after `TileSourceBase`: served from the program itself when
// the store does not hold them, never downloaded from the tile source.
std::optional<std::vector<std::uint8_t>> builtInImage(const EndpointContext& context,
                                                      std::string_view key) {
  if (!key.starts_with(context.tileSourceBase)) return std::nullopt;
  const std::string_view name = key.substr(context.tileSourceBase.size());
  int id = 0;
  if (name == "default.png") {
    id = platform::kResourceDefaultTile;
  } else if (name == "logo.png") {
    id = platform::kResourceLogo;
  } else if (name == "cross.png") {
    id = platform::kResourceCross;
  } else {
    return std::nullopt;
  }
  const auto bytes = platform::findResource(platform::ResourceType::Png, id);
  if (bytes.empty()) return std::nullopt;
  return std::vector<std::uint8_t>(bytes.begin(), bytes.end());
}

}  // namespace

std::string decodeImagePath(std::string_view path) {
  return replaceAll(replaceAll(path, "%3D", "="), "%26", "&");
}

std::optional<std::vector<std::uint8_t>> FetchTile(const EndpointContext& context,
                                                   std::string_view key) {
  if (auto stored = context.tileCache.ReadTileEntry(key)) return stored;
  if (auto builtIn = builtInImage(context, key)) return builtIn;
  const tiles::TileSource* source = context.tileSource;
  const bool templated = source != nullptr && source->kind() != tiles::TileSource::Kind::Query;
  std::string_view query = key;
  if (query.starts_with(context.tileSourceBase)) query.remove_prefix(context.tileSourceBase.size());
  // Tiles on this machine are read where they are, online or not, and never copied into the
  // store; a tile they lack stays unstored so that one added later is found.
  if (templated && source->local()) return source->readLocal(query);
  if (!context.online.load()) return std::nullopt;
  tiles::FetchResult download = templated ? source->download(query) : tiles::fetch_url(key);
  // Only the tile source's own grammar redirects missing tiles to one image; services of today
  // redirect real tiles too (to a mirror), so theirs are stored each under its own key.
  if (download.status == kHttpFound && !templated) {
    // The source's own not-found image, shared by every tile it redirects. A redirect whose
    // target gave nothing leaves nothing to store.
    if (!download.body || download.body->empty()) return std::nullopt;
    context.tileCache.StoreMissingTile(key, *download.body);
    return download.body;
  }
  if (!download.body || download.body->empty()) return std::nullopt;
  if (worthStoring(download.status)) context.tileCache.StoreTile(key, *download.body);
  return download.body;
}

void ImageServer(const EndpointContext& context, std::string_view request, std::string& out) {
  const std::string path = decodeImagePath(endpointRemainder(requestUrl(request), "ImageServer/"));
  // MODE and "/" must be there before a query can follow; a shorter path names no tile.
  const bool wellFormed = path.size() > 4;
  const char letter = path.size() > 0 ? path[0] : 'F';
  const int colourDigit = path.size() > 1 ? path[1] - '0' : 0;
  const int rangeDigit = path.size() > 2 ? path[2] - '0' : 0;

  std::optional<std::vector<std::uint8_t>> bytes;
  if (wellFormed) bytes = FetchTile(context, context.tileSourceBase + path.substr(4));
  // A tile that cannot be decoded for processing (often an error page stored as a tile) gets
  // the placeholder too, rather than bytes no image viewer can show.
  if (bytes && letter == 'T') bytes = tiles::MakeTransparentTile(*bytes, rangeDigit, colourDigit);
  if (!bytes) {
    // The placeholder's mode follows the current setting, not the request's letter.
    if (context.mapValues.transparentMode) {
      platform::appendPlaceholderRedirect(out, context.port, colourDigit, rangeDigit);
    } else {
      platform::appendPlaceholderRedirect(out, context.port);
    }
    return;
  }
  out.reserve(bytes->size() + 96);
  platform::appendFullResponse(out, platform::kPngContentType, std::span(*bytes));
}

}  // namespace tivra::server
