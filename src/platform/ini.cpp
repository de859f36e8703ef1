#include "platform/ini.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "platform/read_file.h"
#include "platform/text.h"
#include "platform/unique_fd.h"

namespace tivra::platform {

namespace {

constexpr std::size_t kMaxValue = 127;
constexpr std::size_t kMaxFileSize = 1 << 20;  // a settings file is tiny; refuse anything huge

// The file's text; an empty text when it does not exist; nullopt (with the reason) when it
// exists but cannot be read, is not a regular file (a FIFO would block for ever), or is too
// large to be a settings file.
std::optional<std::string> loadFile(const std::filesystem::path& path, std::string* why = nullptr) {
  const auto fail = [&](std::string reason) -> std::optional<std::string> {
    if (why != nullptr) *why = path.string() + ": " + std::move(reason);
    return std::nullopt;
  };
  RegularFile file = openRegularFile(path, O_RDONLY);
  if (!file.fd) {
    if (file.errorNumber == ENOENT) return std::string();
    return fail(std::move(file.error));
  }
  const UniqueFd fd = std::move(file.fd);
  std::string text;
  char buffer[4096];
  for (;;) {
    const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return fail(std::strerror(errno));
    if (n == 0) return text;
    text.append(buffer, static_cast<std::size_t>(n));
    if (text.size() > kMaxFileSize) return fail("larger than a settings file can be");
  }
}

bool writeAll(int fd, std::string_view data) {
  while (!data.empty()) {
    const ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

std::vector<std::string_view> splitLines(std::string_view text) {
  std::vector<std::string_view> lines;
  while (!text.empty()) {
    const auto end = text.find('\n');
    lines.push_back(text.substr(0, end));
    if (end == std::string_view::npos) break;
    text.remove_prefix(end + 1);
  }
  return lines;
}

// "[name]" gives name; any other line gives nullopt.
std::optional<std::string_view> sectionName(std::string_view line) {
  line = trim(line);
  if (line.size() < 2 || line.front() != '[') return std::nullopt;
  const auto close = line.find(']');
  if (close == std::string_view::npos) return std::nullopt;
  return trim(line.substr(1, close - 1));
}

struct KeyLine {
  std::string_view key;
  std::string_view value;
};

std::optional<KeyLine> keyLine(std::string_view line) {
  const auto eq = line.find('=');
  if (eq == std::string_view::npos) return std::nullopt;
  return KeyLine{trim(line.substr(0, eq)), trim(line.substr(eq + 1))};
}

}  // namespace

std::optional<std::string> IniFile::read(std::string_view section, std::string_view key) const {
  const auto text = loadFile(m_path);
  if (!text || text->empty()) return std::nullopt;
  bool inSection = false;
  for (const std::string_view line : splitLines(*text)) {
    if (const auto name = sectionName(line)) {
      inSection = equalsIgnoreCase(*name, section);
      continue;
    }
    if (!inSection) continue;
    const auto kv = keyLine(line);
    if (!kv || !equalsIgnoreCase(kv->key, key)) continue;
    std::string_view value = kv->value;
    if (value.size() >= 2 && value.front() == '"' && value.back() == '"')
      value = value.substr(1, value.size() - 2);
    return std::string(value.substr(0, kMaxValue));
  }
  return std::nullopt;
}

std::string IniFile::readString(std::string_view section, std::string_view key,
                                std::string_view fallback) const {
  auto value = read(section, key);
  return value ? std::move(*value) : std::string(fallback.substr(0, kMaxValue));
}

namespace {

// The text with one key set: replaced in place, or appended at the end of its section (the
// section appended when missing). Lines come out with CRLF ends.
std::string withKey(std::string_view text, std::string_view section, std::string_view key,
                    std::string_view value) {
  const std::vector<std::string_view> lines = splitLines(text);
  std::string newLine;
  newLine.append(key).append("=").append(value).append("\r\n");

  std::string out;
  out.reserve(text.size() + newLine.size() + section.size() + 4);
  bool inSection = false;
  bool sectionSeen = false;
  bool done = false;
  std::size_t insertAt = std::string::npos;  // after the last non-blank line of the section
  for (const std::string_view line : lines) {
    if (const auto name = sectionName(line)) {
      inSection = !done && equalsIgnoreCase(*name, section);
      sectionSeen = sectionSeen || inSection;
    } else if (inSection && !done) {
      const auto kv = keyLine(line);
      if (kv && equalsIgnoreCase(kv->key, key)) {
        out.append(newLine);
        done = true;
        continue;
      }
    }
    std::string_view body = line;
    if (!body.empty() && body.back() == '\r') body.remove_suffix(1);
    out.append(body).append("\r\n");
    if (inSection && !done && !trim(line).empty()) insertAt = out.size();
  }
  if (!done) {
    if (sectionSeen && insertAt != std::string::npos) {
      out.insert(insertAt, newLine);
    } else {
      out.append("[").append(section).append("]\r\n").append(newLine);
    }
  }
  return out;
}

}  // namespace

bool IniFile::write(std::string_view section, std::string_view key, std::string_view value) const {
  const std::pair<std::string, std::string> entry{std::string(key), std::string(value)};
  return write(section, std::span(&entry, 1));
}

bool IniFile::write(std::string_view section,
                    std::span<const std::pair<std::string, std::string>> entries,
                    std::string* error) const {
  const auto fail = [&](std::string why) {
    if (error != nullptr) *error = std::move(why);
    return false;
  };
  // A file that exists but cannot be read is left as it is, never replaced by our keys alone.
  std::string why;
  auto text = loadFile(m_path, &why);
  if (!text) return fail(why);
  std::string out = std::move(*text);
  for (const auto& [key, value] : entries) out = withKey(out, section, key, value);

  const std::filesystem::path target = linkTarget(m_path);
  std::filesystem::path temp = target;
  temp += ".tmp";
  {
    // A temporary file left by a run that was killed, or anything else under its name, goes:
    // the new one is created afresh and is never a FIFO or a link planted there.
    std::error_code ec;
    std::filesystem::remove(temp, ec);
    RegularFile file = openRegularFile(temp, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW);
    if (!file.fd) return fail(temp.string() + ": " + file.error);
    // On disk before the rename: a power cut then leaves the old file or the new one, whole.
    const bool written = writeAll(file.fd.get(), out) && ::fsync(file.fd.get()) == 0;
    const int cause = errno;
    if (!written || !file.fd.close()) {
      const int reason = written ? errno : cause;
      std::filesystem::remove(temp, ec);
      return fail(temp.string() + ": " + std::strerror(reason));
    }
  }
  if (::rename(temp.c_str(), target.c_str()) != 0) {
    const int reason = errno;
    std::error_code ec;
    std::filesystem::remove(temp, ec);
    return fail(target.string() + ": " + std::strerror(reason));
  }
  // The rename itself is made durable with its directory.
  std::filesystem::path directory = target.parent_path();
  if (directory.empty()) directory = ".";
  if (UniqueFd dir{::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)})
    ::fsync(dir.get());
  return true;
}

std::optional<std::string> IniFile::unreadable() const {
  std::string why;
  if (loadFile(m_path, &why)) return std::nullopt;
  return why;
}

}  // namespace tivra::platform
