#include "store/data_file.h"

#include <algorithm>
#include <cstring>

#include "store/store_fault.h"

namespace tivra::store {
namespace {

void fillWindow(DataFile& d) {
  const std::int64_t got = d.file->readAt(d.start, d.window);
  if (got < 0) throw detail::IoFailure("cannot read data file " + d.path.string());
  // Past the end of the file the window reads as zeros, never as another block's old bytes.
  std::fill(d.window.begin() + got, d.window.end(), std::uint8_t{0});
  d.clean = true;
}

std::unique_ptr<DataFile> makeData(std::unique_ptr<File> file, const std::filesystem::path& path) {
  if (!file) return nullptr;
  auto d = std::make_unique<DataFile>();
  d->file = std::move(file);
  d->path = path;
  d->window.assign(kWindowSize, 0);
  try {
    fillWindow(*d);
  } catch (const detail::IoFailure&) {
    return nullptr;
  }
  return d;
}

// Moves the window so that it holds the block at byte offset b.
void cover(DataFile& d, std::uint64_t b) {
  const std::uint64_t blockNo = b / kBlockSize;
  if (blockNo >= d.start / kBlockSize && blockNo < (d.start + kWindowSize) / kBlockSize) return;
  if (!d.clean && !d.file->writeAt(d.start, d.window))
    throw detail::IoFailure("cannot write data file " + d.path.string());
  d.start = b;
  fillWindow(d);
}

}  // namespace

std::unique_ptr<DataFile> data_create(const FileSystem& fs, const std::filesystem::path& path) {
  return makeData(fs.open(path, OpenMode::kCreate), path);
}

std::unique_ptr<DataFile> data_open(const FileSystem& fs, const std::filesystem::path& path,
                                    bool writable) {
  return makeData(fs.open(path, writable ? OpenMode::kReadWrite : OpenMode::kRead), path);
}

int block_read(DataFile& d, std::int64_t block, std::span<std::uint8_t, kBlockSize> out) {
  if (block < 0) return -1;
  const std::uint64_t b = static_cast<std::uint64_t>(block) * kBlockSize;
  cover(d, b);
  std::memcpy(out.data(), d.window.data() + (b - d.start), kBlockSize);
  return 0;
}

int block_write(DataFile& d, std::int64_t block, std::span<const std::uint8_t, kBlockSize> in) {
  if (block < 0) return -1;
  const std::uint64_t b = static_cast<std::uint64_t>(block) * kBlockSize;
  cover(d, b);
  std::memcpy(d.window.data() + (b - d.start), in.data(), kBlockSize);
  d.clean = false;
  return 0;
}

bool data_close(std::unique_ptr<DataFile> d) {
  if (!d) return false;
  bool ok = d->clean || d->file->writeAt(d->start, d->window);
  ok = d->file->flush() && ok;
  return ok;
}

}  // namespace tivra::store
