#include "store/data_file.h"

#include <algorithm>
#include <cstring>

#include "store/store_fault.h"

namespace tivra::store {
namespace {

// Reads the run of missing blocks starting at window block k (at most `limit` of them).
void loadRun(DataFile& d, std::size_t k, std::size_t limit) {
  std::size_t end = k;
  while (end < kWindowBlocks && end - k < limit && !d.loaded[end]) ++end;
  if (end == k) return;
  const std::span<std::uint8_t> out(d.window.data() + k * kBlockSize, (end - k) * kBlockSize);
  const std::int64_t got = d.file->readAt(d.start + k * kBlockSize, out);
  if (got < 0) throw detail::IoFailure("cannot read data file " + d.path.string());
  // Past the end of the file the window reads as zeros, never as another block's old bytes.
  std::fill(out.begin() + got, out.end(), std::uint8_t{0});
  for (std::size_t i = k; i < end; ++i) d.loaded.set(i);
}

bool writeWindow(DataFile& d) {
  for (std::size_t k = 0; k < kWindowBlocks; ++k) {
    if (!d.loaded[k]) loadRun(d, k, kWindowBlocks);
  }
  if (!d.file->writeAt(d.start, d.window)) return false;
  d.clean = true;
  return true;
}

std::unique_ptr<DataFile> makeData(std::unique_ptr<File> file, const std::filesystem::path& path) {
  if (!file) return nullptr;
  auto d = std::make_unique<DataFile>();
  d->file = std::move(file);
  d->file->readMostly();  // tiles are read at random, whole, again and again
  d->path = path;
  d->window.assign(kWindowSize, 0);
  return d;
}

// Moves the window so that it holds the block at byte offset b; returns the block's index in it.
std::size_t cover(DataFile& d, std::uint64_t b) {
  const std::uint64_t blockNo = b / kBlockSize;
  if (blockNo < d.start / kBlockSize || blockNo >= (d.start + kWindowSize) / kBlockSize) {
    if (!d.clean && !writeWindow(d))
      throw detail::IoFailure("cannot write data file " + d.path.string());
    d.start = b;
    d.loaded.reset();
    d.clean = true;
  }
  return static_cast<std::size_t>((b - d.start) / kBlockSize);
}

}  // namespace

std::unique_ptr<DataFile> data_create(const FileSystem& fs, const std::filesystem::path& path) {
  return makeData(fs.open(path, OpenMode::kCreate), path);
}

std::unique_ptr<DataFile> data_open(const FileSystem& fs, const std::filesystem::path& path,
                                    bool writable) {
  return makeData(fs.open(path, writable ? OpenMode::kReadWrite : OpenMode::kRead), path);
}

std::unique_ptr<DataFile> data_attach(std::unique_ptr<File> file,
                                      const std::filesystem::path& path) {
  return makeData(std::move(file), path);
}

bool data_sync(DataFile& d) {
  try {
    return d.clean || writeWindow(d);
  } catch (const detail::IoFailure&) {
    return false;
  }
}

int block_read(DataFile& d, std::int64_t block, std::span<std::uint8_t, kBlockSize> out) {
  if (block < 0) return -1;
  const std::size_t k = cover(d, static_cast<std::uint64_t>(block) * kBlockSize);
  if (!d.loaded[k]) loadRun(d, k, 1);
  std::memcpy(out.data(), d.window.data() + k * kBlockSize, kBlockSize);
  return 0;
}

int data_read(DataFile& d, std::int64_t block, std::size_t at, std::span<std::uint8_t> out) {
  if (block < 0 || at >= kBlockSize) return -1;
  std::uint64_t pos = static_cast<std::uint64_t>(block) * kBlockSize + at;
  std::size_t done = 0;
  while (done < out.size()) {
    const std::size_t k = cover(d, pos - pos % kBlockSize);
    const auto inBlock = static_cast<std::size_t>(pos % kBlockSize);
    std::size_t n = 0;
    if (d.loaded[k]) {
      // The window's copy may hold writes the file has not seen yet.
      n = std::min(kBlockSize - inBlock, out.size() - done);
      std::memcpy(out.data() + done, d.window.data() + k * kBlockSize + inBlock, n);
    } else {
      // The blocks up to the next loaded one or the window's end: the window stays where it is.
      std::size_t end = k + 1;
      while (end < kWindowBlocks && !d.loaded[end] &&
             (end - k) * kBlockSize - inBlock < out.size() - done)
        ++end;
      n = std::min((end - k) * kBlockSize - inBlock, out.size() - done);
      const std::span<std::uint8_t> part = out.subspan(done, n);
      const std::int64_t got = d.file->readAt(pos, part);
      if (got < 0) throw detail::IoFailure("cannot read data file " + d.path.string());
      std::fill(part.begin() + got, part.end(), std::uint8_t{0});
    }
    done += n;
    pos += n;
  }
  return 0;
}

int block_write(DataFile& d, std::int64_t block, std::span<const std::uint8_t, kBlockSize> in) {
  if (block < 0) return -1;
  const std::size_t k = cover(d, static_cast<std::uint64_t>(block) * kBlockSize);
  std::memcpy(d.window.data() + k * kBlockSize, in.data(), kBlockSize);
  d.loaded.set(k);
  d.clean = false;
  return 0;
}

std::int64_t data_size(DataFile& d) {
  const std::int64_t size = d.file->size();
  if (d.clean) return size;
  return std::max<std::int64_t>(size, static_cast<std::int64_t>(d.start + kWindowSize));
}

bool data_close(std::unique_ptr<DataFile> d) {
  if (!d) return false;
  bool ok = true;
  try {
    ok = d->clean || writeWindow(*d);
  } catch (const detail::IoFailure&) {
    ok = false;
  }
  ok = d->file->flush() && ok;
  return ok;
}

}  // namespace tivra::store
