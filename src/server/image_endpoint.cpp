#include "server/image_endpoint.h"

#include "platform/http_response.h"
#include "platform/resources.h"
#include "platform/text.h"
#include "server/request.h"
#include "server/tile_flights.h"
#include "tiles/fetch_url.h"
#include "tiles/tile_url.h"
#include "tiles/transparency.h"
#include "tiles/whole_image.h"

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

namespace {

TileBytes share(std::optional<std::vector<std::uint8_t>> bytes) {
  if (!bytes) return nullptr;
  return std::make_shared<const std::vector<std::uint8_t>>(std::move(*bytes));
}

// The store and the built-in images, then (when download is set) the tile source.
TileFlights::Outcome fetchTile(const EndpointContext& context, std::string_view key,
                               bool download) {
  if (auto stored = context.tileCache.ReadTileEntry(key)) return {share(std::move(stored)), true};
  if (auto builtIn = builtInImage(context, key)) return {share(std::move(builtIn)), false};
  if (!key.starts_with(context.tileSourceBase)) return {};
  const std::string_view query = key.substr(context.tileSourceBase.size());
  const tiles::TileSource* source = context.tileSource;
  const bool templated = source != nullptr && source->kind() != tiles::TileSource::Kind::Query;
  // Tiles on this machine are read where they are, online or not, and never copied into the
  // store; a tile they lack stays unstored so that one added later is found. A tile read is
  // shared on like a stored one while an answer still sends it: the file's bytes of just now.
  if (templated && source->local()) return {share(source->readLocal(query)), true};
  // Only a tile of the query grammar is asked of a source: any other name (a path, a cut
  // query) would be fetched from a URL no source answers, and kept under that name.
  if (!download || !context.online.load() || !tiles::isTileQuery(query)) return {};
  tiles::FetchOptions options;
  options.stop = context.stop;
  tiles::FetchResult fetched =
      templated ? source->download(query, context.stop) : tiles::fetch_url(key, options);
  if (!fetched.body || fetched.body->empty()) return {};
  // Only a whole image is kept: an error page or a body cut short is passed on this once.
  const bool whole = tiles::isWholeImage(*fetched.body);
  TileBytes bytes = share(std::move(fetched.body));
  // Only the tile source's own grammar redirects missing tiles to one image; services of today
  // redirect real tiles too (to a mirror), so theirs are stored each under its own key.
  if (fetched.status == kHttpFound && !templated) {
    // The source's own not-found image, shared by every tile it redirects (the one stored
    // first stays: these bytes are not shared on as the store's).
    if (whole) context.tileCache.StoreMissingTile(key, *bytes);
    return {bytes, false};
  }
  const bool kept =
      whole && worthStoring(fetched.status) && context.tileCache.StoreTile(key, *bytes) == 0;
  if (kept && context.counts != nullptr) ++context.counts->stored;
  return {bytes, kept};
}

TileBytes fetchShared(const EndpointContext& context, std::string_view key, bool download) {
  if (!download || context.flights == nullptr) return fetchTile(context, key, download).bytes;
  return context.flights->fetch(key, context.stop,
                                [&] { return fetchTile(context, key, download); });
}

}  // namespace

TileBytes FetchTile(const EndpointContext& context, std::string_view key) {
  return fetchShared(context, key, true);
}

void ImageServer(const EndpointContext& context, std::string_view request, std::string& out) {
  Response response;
  response.text.swap(out);
  ImageServer(context, request, response);
  out.swap(response.text);
  if (response.body) out.append(response.body->begin(), response.body->end());
}

void ImageServer(const EndpointContext& context, std::string_view request, Response& out) {
  const std::string path = decodeImagePath(endpointRemainder(requestUrl(request), "ImageServer/"));
  // MODE and "/" must be there before a query can follow; a shorter path names no tile.
  const bool wellFormed = path.size() > 4;
  const char letter = path.size() > 0 ? path[0] : 'F';
  const int colourDigit = path.size() > 1 ? path[1] - '0' : 0;
  const int rangeDigit = path.size() > 2 ? path[2] - '0' : 0;

  // A request line without its end may have been cut inside the tile's name: what it names is
  // looked up, never downloaded.
  const std::string_view line = firstLine(request);
  const bool lineEnded =
      !line.empty() && line.data() + line.size() < request.data() + request.size();
  TileBytes bytes;
  std::string key;
  if (wellFormed) {
    key = context.tileSourceBase + path.substr(4);
    bytes = fetchShared(context, key, lineEnded);
  }
  // A tile that cannot be decoded for processing (an error page passed on) gets the
  // placeholder too, rather than bytes no image viewer can show.
  if (bytes && letter == 'T') {
    bytes = context.transparentTiles != nullptr
                ? context.transparentTiles->get(key, *bytes, rangeDigit, colourDigit)
                : share(tiles::MakeTransparentTile(*bytes, rangeDigit, colourDigit));
  }
  if (context.counts != nullptr) ++(bytes ? context.counts->served : context.counts->missed);
  if (!bytes) {
    // The placeholder's mode follows the current setting, not the request's letter.
    if (context.mapValues.transparentMode) {
      platform::appendPlaceholderRedirect(out.text, context.port, colourDigit, rangeDigit);
    } else {
      platform::appendPlaceholderRedirect(out.text, context.port);
    }
    return;
  }
  // The envelope of a full response, as appendFullResponse writes it, with the bytes after it.
  out.text.append(platform::kStatusOk);
  platform::appendFormat(out.text, "Content-Length:%ld\r\n", static_cast<long>(bytes->size()));
  out.text.append(platform::kPngContentType);
  out.body = std::move(bytes);
}

}  // namespace tivra::server
