#pragma once

// The lock file (base name + ".lck"), present while the store is open, little-endian:
//   OFFSET  SIZE  DESCRIPTION
//   0       4     open mode of the most recent opener (1 read-only, 3 read-write)
//   4       4     number of current openers

#include <filesystem>

#include "store/file_io.h"

namespace tivra::store {

std::filesystem::path lockPath(const std::filesystem::path& baseName);

// 1 when the store may be opened in `mode`: no lock file, or only read-only holders and a
// read-only request.
int lock_check(const FileSystem& fs, const std::filesystem::path& baseName, int mode);
void lock_acquire(const FileSystem& fs, const std::filesystem::path& baseName, int mode);
void lock_release(const FileSystem& fs, const std::filesystem::path& baseName);

}  // namespace tivra::store
