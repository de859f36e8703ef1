#include "web/page_endpoint.h"

#include <array>
#include <cmath>

#include "globe/view_format.h"
#include "platform/http_response.h"
#include "platform/text.h"
#include "server/request.h"
#include "web/browser_globe.h"

namespace tivra::web {

namespace {

// The endpoint words a page may ask for below the prefix, as Google Earth does at the root.
constexpr std::array<std::string_view, 6> kEndpointWords = {
    "KmlServer", "ImageServer", "KmzServer", "SatUpdateServer", "PosUpdateServer", "GPSServer",
};

std::string_view method(std::string_view request) {
  return platform::Tokenizer(server::firstLine(request), " ").next();
}

bool startsWith(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

// An endpoint's answer as the page needs it: a bare body gets an envelope, and redirects back
// to this server stay below the prefix (and so on the page's own origin).
void wrapForPage(const PageContext& context, std::string_view inner, bool head, std::string& out) {
  if (!startsWith(inner, "HTTP/")) {
    appendPageResponse(out, "200 OK", "application/vnd.google-earth.kml+xml", inner, {}, head);
    return;
  }
  const std::string base = platform::localBaseUrl(context.port) + "/";
  const auto headEnd = inner.find("\r\n\r\n");
  std::string_view header =
      inner.substr(0, headEnd == std::string_view::npos ? inner.size() : headEnd + 4);
  std::string rewritten;
  for (std::size_t at = header.find(base); at != std::string_view::npos; at = header.find(base)) {
    rewritten.append(header.substr(0, at)).append(kPagePrefix);
    header = header.substr(at + base.size());
  }
  rewritten.append(header);
  out.append(rewritten);
  if (!head && headEnd != std::string_view::npos) out.append(inner.substr(headEnd + 4));
}

void forwardToEndpoint(const PageContext& context, std::string_view verb, std::string_view rest,
                       std::string& out) {
  std::string target(rest);
  if (startsWith(rest, "KmlServer")) {
    const auto question = rest.find('?');
    if (question != std::string_view::npos)
      target = std::string(rest.substr(0, question + 1))
                   .append(googleEarthViewQuery(rest.substr(question + 1)));
  }
  // Only the request line travels on: the page's headers must not steer the routing.
  const std::string inner = "GET /" + target + " HTTP/1.1\r\n\r\n";
  std::string answer;
  if (context.route) context.route(inner, answer);
  wrapForPage(context, answer, verb == "HEAD", out);
}

}  // namespace

std::string googleEarthViewQuery(std::string_view pageQuery) {
  const std::string query = percentDecode(pageQuery).value_or(std::string(pageQuery));
  const auto eq = query.find('=');
  const std::size_t start = eq == std::string::npos ? 0 : eq + 1;
  std::string out = query.substr(0, start);
  std::string_view values = std::string_view(query).substr(start);
  for (std::size_t index = 0; index < 64; ++index) {
    const auto comma = values.find(',');
    const std::string_view value = values.substr(0, comma);
    if (index > 0) out.push_back(',');
    if (index == globe::index(globe::ViewValue::LookatTilt) && !value.empty()) {
      platform::appendFormat(out, "%.6f", std::clamp(platform::parseReal(value) + 90.0, 0.0, 90.0));
    } else if (index == globe::index(globe::ViewValue::LookatHeading) && !value.empty()) {
      double heading = std::fmod(platform::parseReal(value), 360.0);
      if (heading < 0) heading += 360.0;
      platform::appendFormat(out, "%.6f", heading);
    } else {
      out.append(value);
    }
    if (comma == std::string_view::npos) break;
    values = values.substr(comma + 1);
  }
  return out;
}

void PageEndpoint(const PageContext& context, std::string_view request, std::string& out) {
  const std::string_view verb = method(request);
  std::string_view path = server::requestUrl(request);
  if (!startsWith(path, kPagePrefix)) {
    appendPageResponse(out, "404 Not Found", "text/plain", "not found\n");
    return;
  }
  path.remove_prefix(kPagePrefix.size());
  if (startsWith(path, "api/")) {
    if (!context.globe) {
      appendPageResponse(out, "503 Service Unavailable", "text/plain", "no globe\n");
      return;
    }
    context.globe->handleApi(verb, path.substr(4), out);
    return;
  }
  if (path == "entry.kml" || startsWith(path, "entry.kml?")) {
    const std::string document = context.entryDocument ? context.entryDocument() : std::string();
    appendPageResponse(out, "200 OK", "application/vnd.google-earth.kml+xml", document,
                       "Cache-Control: no-cache\r\n", verb == "HEAD");
    return;
  }
  for (const std::string_view word : kEndpointWords) {
    if (startsWith(path, word)) {
      if (verb != "GET" && verb != "HEAD") break;
      forwardToEndpoint(context, verb, path, out);
      return;
    }
  }
  if (startsWith(path, kLibraryPrefix)) {
    serveFile(context.root.library, verb, path.substr(kLibraryPrefix.size()), true, out);
    return;
  }
  serveFile(context.root.page, verb, path, false, out);
}

}  // namespace tivra::web
