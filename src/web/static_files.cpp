#include "web/static_files.h"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <system_error>
#include <utility>

#include "platform/read_file.h"
#include "platform/text.h"

namespace tivra::web {

namespace {

constexpr std::array<std::pair<std::string_view, std::string_view>, 13> kTypes = {{
    {".html", "text/html; charset=utf-8"},
    {".js", "text/javascript; charset=utf-8"},
    {".mjs", "text/javascript; charset=utf-8"},
    {".css", "text/css; charset=utf-8"},
    {".json", "application/json"},
    {".png", "image/png"},
    {".jpg", "image/jpeg"},
    {".jpeg", "image/jpeg"},
    {".xml", "application/xml"},
    {".wasm", "application/wasm"},
    {".glb", "model/gltf-binary"},
    {".svg", "image/svg+xml"},
    {".kml", "application/vnd.google-earth.kml+xml"},
}};

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::filesystem::path programDirectory() {
  std::array<char, 4096> buffer{};
  const ssize_t n = ::readlink("/proc/self/exe", buffer.data(), buffer.size() - 1);
  if (n <= 0) return {};
  return std::filesystem::path(std::string(buffer.data(), static_cast<std::size_t>(n)))
      .parent_path();
}

}  // namespace

WebRoot defaultWebRoot() {
  std::error_code ec;
  const std::filesystem::path installed = programDirectory() / ".." / "share" / "tivra" / "web";
  if (std::filesystem::is_regular_file(installed / "index.html", ec))
    return {installed, installed / "cesium"};
  const std::filesystem::path source = TIVRA_WEB_SOURCE_DIR;
  return {source / "page", source / "node_modules" / "cesium" / "Build" / "Cesium"};
}

std::string_view contentType(std::string_view name) {
  const auto dot = name.rfind('.');
  if (dot != std::string_view::npos) {
    const std::string_view extension = name.substr(dot);
    for (const auto& [ext, type] : kTypes)
      if (platform::equalsIgnoreCase(ext, extension)) return type;
  }
  return "application/octet-stream";
}

std::optional<std::string> percentDecode(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '%') {
      if (i + 2 >= text.size()) return std::nullopt;
      const int high = hexDigit(text[i + 1]);
      const int low = hexDigit(text[i + 2]);
      if (high < 0 || low < 0) return std::nullopt;
      c = static_cast<char>(high * 16 + low);
      i += 2;
    }
    if (c == '\0') return std::nullopt;
    out.push_back(c);
  }
  return out;
}

std::optional<std::filesystem::path> resolveInside(const std::filesystem::path& root,
                                                   std::string_view relative) {
  const auto decoded = percentDecode(relative);
  if (!decoded) return std::nullopt;
  std::filesystem::path path = root;
  platform::Tokenizer segments(*decoded, "/");
  // Every segment is a plain name: no "..", no hidden files, no backslash tricks.
  for (std::string_view segment = segments.next(); !segment.empty(); segment = segments.next()) {
    if (segment.front() == '.' || segment.find('\\') != std::string_view::npos) return std::nullopt;
    path /= std::string(segment);
  }
  std::error_code ec;
  const auto realRoot = std::filesystem::canonical(root, ec);
  if (ec) return std::nullopt;
  const auto real = std::filesystem::canonical(path, ec);
  if (ec) return std::nullopt;
  // A symbolic link inside the tree may still lead out of it.
  const auto [rootEnd, realIt] =
      std::mismatch(realRoot.begin(), realRoot.end(), real.begin(), real.end());
  if (rootEnd != realRoot.end()) return std::nullopt;
  return real;
}

void appendPageResponse(std::string& out, std::string_view status, std::string_view type,
                        std::string_view body, std::string_view extraHeaders, bool head) {
  out.append("HTTP/1.1 ").append(status).append("\r\n");
  if (!type.empty()) out.append("Content-Type: ").append(type).append("\r\n");
  platform::appendFormat(out, "Content-Length: %zu\r\n", body.size());
  out.append("Connection: close\r\n").append(extraHeaders).append("\r\n");
  if (!head) out.append(body);
}

void serveFile(const std::filesystem::path& root, std::string_view method,
               std::string_view relative, bool longCache, std::string& out) {
  const bool head = method == "HEAD";
  if (method != "GET" && !head) {
    appendPageResponse(out, "405 Method Not Allowed", "text/plain", "method not allowed\n",
                       "Allow: GET, HEAD\r\n");
    return;
  }
  const auto query = relative.find_first_of("?#");
  if (query != std::string_view::npos) relative = relative.substr(0, query);
  if (relative.empty() || relative.back() == '/') {
    static constexpr std::string_view kIndex = "index.html";
    serveFile(root, method, std::string(relative).append(kIndex), longCache, out);
    return;
  }
  const auto path = resolveInside(root, relative);
  std::optional<std::vector<std::uint8_t>> bytes;
  if (path) bytes = platform::readRegularFile(*path, kMaxStaticFile);
  if (!bytes) {
    appendPageResponse(out, "404 Not Found", "text/plain", "not found\n", {}, head);
    return;
  }
  const std::string_view body(reinterpret_cast<const char*>(bytes->data()), bytes->size());
  // The library is pinned, so its files never change under one URL.
  appendPageResponse(out, "200 OK", contentType(path->filename().string()), body,
                     longCache ? "Cache-Control: public, max-age=31536000, immutable\r\n"
                               : "Cache-Control: no-cache\r\n",
                     head);
}

}  // namespace tivra::web
