#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <span>

namespace tivra::store {

// One open file of the store. Offsets are absolute; there is no shared file position, so the
// index container, the data window and the lock file never disturb each other.
class File {
 public:
  virtual ~File() = default;
  // Reads up to out.size() bytes at offset. Returns the bytes read (fewer at the end of the
  // file), or -1 on an error.
  virtual std::int64_t readAt(std::uint64_t offset, std::span<std::uint8_t> out) = 0;
  // Writes every byte or reports false.
  virtual bool writeAt(std::uint64_t offset, std::span<const std::uint8_t> data) = 0;
  virtual bool truncate(std::uint64_t size) = 0;
  // Makes the written bytes durable (fdatasync); false when that failed.
  virtual bool flush() = 0;
  // The file's size in bytes, or -1 when it cannot be told.
  virtual std::int64_t size() = 0;
  // A hint that reads will be many, scattered and large: the file may serve them from a
  // read-only memory mapping (file-backed, no memory of the process's own). Reads still see
  // every write made through this object, and never reach past the file's end.
  virtual void readMostly() {}
};

enum class OpenMode {
  kRead,       // existing file, reading only ("rb")
  kReadWrite,  // existing file for update ("r+b")
  kCreate,     // created or emptied, for update ("w+b")
};

// Where the store's files come from. Tests substitute a version that fails on purpose.
class FileSystem {
 public:
  virtual ~FileSystem() = default;
  // Null when the file cannot be opened (or created).
  virtual std::unique_ptr<File> open(const std::filesystem::path& path, OpenMode mode) const = 0;
  virtual bool exists(const std::filesystem::path& path) const = 0;
  virtual bool remove(const std::filesystem::path& path) const = 0;
};

// The real file system (POSIX descriptors, pread/pwrite).
const FileSystem& defaultFileSystem();

}  // namespace tivra::store
