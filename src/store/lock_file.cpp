#include "store/lock_file.h"

#include <cstdint>

#include "store/byte_order.h"

namespace tivra::store {
namespace {

std::uint32_t readWord(File& f, std::uint64_t offset, std::uint32_t fallback) {
  std::uint8_t b[4];
  if (f.readAt(offset, b) != 4) return fallback;
  return getLe32(b);
}

void writeWord(File& f, std::uint64_t offset, std::uint32_t value) {
  std::uint8_t b[4];
  putLe32(b, value);
  f.writeAt(offset, b);
}

}  // namespace

std::filesystem::path lockPath(const std::filesystem::path& baseName) {
  std::filesystem::path p = baseName;
  p += ".lck";
  return p;
}

int lock_check(const FileSystem& fs, const std::filesystem::path& baseName, int mode) {
  const auto path = lockPath(baseName);
  if (!fs.exists(path)) return 1;
  auto f = fs.open(path, OpenMode::kRead);
  if (!f) return 0;
  // An unreadable word counts as a writer: refuse.
  const std::uint32_t holders = readWord(*f, 0, 2);
  return (holders & 1) != 0 && (holders & 2) == 0 && mode == 1 ? 1 : 0;
}

void lock_acquire(const FileSystem& fs, const std::filesystem::path& baseName, int mode) {
  const auto path = lockPath(baseName);
  auto f = fs.open(path, OpenMode::kReadWrite);
  if (!f) {
    f = fs.open(path, OpenMode::kCreate);
    if (!f) return;
    std::uint8_t b[8];
    putLe32(b, static_cast<std::uint32_t>(mode));
    putLe32(b + 4, 1);
    f->writeAt(0, b);
    return;
  }
  writeWord(*f, 0, static_cast<std::uint32_t>(mode));
  const std::uint32_t count = readWord(*f, 4, 0);
  writeWord(*f, 4, count + 1);
}

void lock_release(const FileSystem& fs, const std::filesystem::path& baseName) {
  const auto path = lockPath(baseName);
  std::int32_t count = 0;
  {
    auto f = fs.open(path, OpenMode::kReadWrite);
    if (!f) return;
    count = static_cast<std::int32_t>(readWord(*f, 4, 0)) - 1;
    writeWord(*f, 4, static_cast<std::uint32_t>(count));
  }
  if (count <= 0) fs.remove(path);
}

void lock_clear_stale(const FileSystem& fs, const std::filesystem::path& baseName, int heldMode) {
  const auto path = lockPath(baseName);
  if (!fs.exists(path)) return;
  if ((heldMode & 2) == 0) {
    auto f = fs.open(path, OpenMode::kRead);
    // Readers only: they may be running beside this one.
    if (f && (readWord(*f, 0, 2) & 2) == 0) return;
  }
  fs.remove(path);
}

}  // namespace tivra::store

namespace tivra::store {

platform::FileLockResult lock_writer(const std::filesystem::path& baseName, int mode) {
  std::filesystem::path directory = baseName.parent_path();
  if (directory.empty()) directory = ".";
  const auto kind =
      (mode & 2) != 0 ? platform::FileLock::Kind::kExclusive : platform::FileLock::Kind::kShared;
  return platform::FileLock::take(directory, kind, false);
}

}  // namespace tivra::store
