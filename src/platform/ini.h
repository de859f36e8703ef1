#pragma once

#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>

namespace tivra::platform {

// A settings file in the private-profile format: "[section]" lines and "key=value" lines.
// Sections and keys match without regard to case; values are trimmed of surrounding blanks and
// cut to 127 bytes, as the 128-byte read buffer of the original format allows. Lines end in CRLF
// so that files stay interchangeable with the Windows build; LF alone is read as well.
class IniFile {
 public:
  explicit IniFile(std::filesystem::path path) : m_path(std::move(path)) {}

  const std::filesystem::path& path() const { return m_path; }

  // The value, or nullopt when the file, the section or the key is missing.
  std::optional<std::string> read(std::string_view section, std::string_view key) const;
  std::string readString(std::string_view section, std::string_view key,
                         std::string_view fallback) const;
  // The reason when the file exists but cannot be read or is not a regular file; nullopt when it
  // reads (or is absent).
  std::optional<std::string> unreadable() const;

  // Replaces the key's value in place, or appends the key at the end of its section (the section
  // is appended when missing). The file is replaced atomically and synced first, so a crash, a
  // power cut or a full disk never leaves it half written; a symbolic link is written through.
  // Returns false when the file cannot be written, or exists but cannot be read or is not a
  // regular file (it is then left untouched).
  bool write(std::string_view section, std::string_view key, std::string_view value) const;
  // Several keys in one read and one rewrite of the file, set in the order given: all of them
  // reach the file or none does. `error`, when given, says why a write failed.
  bool write(std::string_view section, std::span<const std::pair<std::string, std::string>> entries,
             std::string* error = nullptr) const;

 private:
  std::filesystem::path m_path;
};

}  // namespace tivra::platform
