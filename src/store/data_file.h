#pragma once

// The data file: an array of 512-byte blocks; block n is bytes n*512 .. n*512+511. It is read
// and written through one 65,536-byte window that moves to the block it must hold and is
// written back whole when it moves or at close if it was changed.

#include <bitset>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <span>
#include <vector>

#include "store/file_io.h"

namespace tivra::store {

inline constexpr std::size_t kBlockSize = 512;
inline constexpr std::size_t kWindowSize = 65536;
inline constexpr std::size_t kWindowBlocks = kWindowSize / kBlockSize;

// The window's blocks are read from the file when first needed (a run of them at a time) and
// completed before it is written back whole, so the file sees the same bytes as if the window
// had been read whole when it moved.
struct DataFile {
  std::unique_ptr<File> file;
  std::filesystem::path path;
  std::vector<std::uint8_t> window;   // kWindowSize bytes
  std::uint64_t start = 0;            // file offset of the window, a multiple of kBlockSize
  std::bitset<kWindowBlocks> loaded;  // blocks of the window that hold the file's bytes
  bool clean = true;
};

// Null when the file cannot be created / opened (or its first window not read).
std::unique_ptr<DataFile> data_create(const FileSystem& fs, const std::filesystem::path& path);
std::unique_ptr<DataFile> data_open(const FileSystem& fs, const std::filesystem::path& path,
                                    bool writable);
// The data file over an open file (null when file is null).
std::unique_ptr<DataFile> data_attach(std::unique_ptr<File> file,
                                      const std::filesystem::path& path);
// Writes the window back if changed, keeping it. False when it could not be written.
bool data_sync(DataFile& d);
// -1 for a negative block number, else 0. File errors throw detail::IoFailure.
int block_read(DataFile& d, std::int64_t block, std::span<std::uint8_t, kBlockSize> out);
// Copies out.size() bytes from the blocks block, block+1, ... of the file, starting `at` bytes
// into the first (at < kBlockSize). The window moves exactly as block_read of each block would
// move it, so the file's bytes do not depend on which of the two was used; blocks the window
// has not loaded go straight from the file into out, a run of them in one read. -1 for a
// negative block number, else 0. File errors throw detail::IoFailure.
int data_read(DataFile& d, std::int64_t block, std::size_t at, std::span<std::uint8_t> out);
int block_write(DataFile& d, std::int64_t block, std::span<const std::uint8_t, kBlockSize> in);
// The data file's length as the store sees it: the window, once written back whole, reaches
// past the file's end when it holds writes the file has not seen yet.
std::int64_t data_size(DataFile& d);
// Writes the window back if changed. False when it could not be written.
bool data_close(std::unique_ptr<DataFile> d);

}  // namespace tivra::store
