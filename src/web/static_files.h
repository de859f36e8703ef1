#pragma once

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace tivra::web {

// The page's files and the globe library's files, served under /globe/ and /globe/cesium/.
struct WebRoot {
  std::filesystem::path page;
  std::filesystem::path library;
};

// The installed root beside the program (share/tivra/web), else the source tree's web/.
WebRoot defaultWebRoot();

// Files larger than this are refused rather than read into memory.
inline constexpr std::size_t kMaxStaticFile = 64u << 20;

// The content type of a file name by its extension; application/octet-stream when unknown.
std::string_view contentType(std::string_view name);

// A URL path with its %XX escapes decoded; nullopt for a broken escape or a NUL byte.
std::optional<std::string> percentDecode(std::string_view text);

// The file that a relative URL path names inside root, or nullopt when the path is refused:
// "..", a NUL, a broken escape, a name starting with a dot, or a symbolic link leading out.
std::optional<std::filesystem::path> resolveInside(const std::filesystem::path& root,
                                                   std::string_view relative);

// A page response: status line, Content-Type, Content-Length, Connection: close, the extra
// header lines (each ending in "\r\n"), a blank line and the body unless head is set.
void appendPageResponse(std::string& out, std::string_view status, std::string_view type,
                        std::string_view body, std::string_view extraHeaders = {},
                        bool head = false);

// Answers GET and HEAD for the file at relative inside root: 404 when missing or refused,
// 405 for any other method. longCache adds a caching header (the library's pinned files).
void serveFile(const std::filesystem::path& root, std::string_view method,
               std::string_view relative, bool longCache, std::string& out);

}  // namespace tivra::web
