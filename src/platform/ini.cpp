#include "platform/ini.h"

#include <cstdio>
#include <fstream>
#include <iterator>
#include <vector>

#include "platform/text.h"

namespace tivra::platform {

namespace {

constexpr std::size_t kMaxValue = 127;
constexpr std::size_t kMaxFileSize = 1 << 20;  // a settings file is tiny; refuse anything huge

std::optional<std::string> loadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::string text;
  char buffer[4096];
  while (in.read(buffer, sizeof buffer) || in.gcount() > 0) {
    text.append(buffer, static_cast<std::size_t>(in.gcount()));
    if (text.size() > kMaxFileSize) return std::nullopt;
  }
  return text;
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
  if (!text) return std::nullopt;
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
                    std::span<const std::pair<std::string, std::string>> entries) const {
  std::string out = loadFile(m_path).value_or(std::string());
  for (const auto& [key, value] : entries) out = withKey(out, section, key, value);

  std::filesystem::path temp = m_path;
  temp += ".tmp";
  {
    std::ofstream file(temp, std::ios::binary | std::ios::trunc);
    if (!file) return false;
    file.write(out.data(), static_cast<std::streamsize>(out.size()));
    file.flush();
    if (!file) return false;
  }
  std::error_code ec;
  std::filesystem::rename(temp, m_path, ec);
  if (ec) {
    std::filesystem::remove(temp, ec);
    return false;
  }
  return true;
}

}  // namespace tivra::platform
