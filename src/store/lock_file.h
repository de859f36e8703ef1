#pragma once

// The lock file (base name + ".lck"), present while the store is open, little-endian:
//   OFFSET  SIZE  DESCRIPTION
//   0       4     open mode of the most recent opener (1 read-only, 3 read-write)
//   4       4     number of current openers

#include <filesystem>

#include "platform/file_lock.h"
#include "store/file_io.h"
#include "store/store.h"

namespace tivra::store {

std::filesystem::path lockPath(const std::filesystem::path& baseName);

// 1 when the store may be opened in `mode`: no lock file, or only read-only holders and a
// read-only request.
int lock_check(const FileSystem& fs, const std::filesystem::path& baseName, int mode);
void lock_acquire(const FileSystem& fs, const std::filesystem::path& baseName, int mode);
void lock_release(const FileSystem& fs, const std::filesystem::path& baseName);
// Removes a lock file that a killed process left behind. Only the kernel's lock (lock_writer
// below) tells: while the caller holds it exclusively (heldMode 3) nobody else has the store
// open, and while it holds it shared (heldMode 1) no writer has, so a lock file naming a writer
// is stale.
void lock_clear_stale(const FileSystem& fs, const std::filesystem::path& baseName, int heldMode);

// The kernel's side of the lock: an flock on the directory holding the store, exclusive for a
// writer (mode 3), shared for readers (mode 1). Held for as long as the store is open, it
// refuses a second writer whatever the lock file says: the lock file is removed when stale and
// recreated, so a lock on the file itself would not survive that. Released by the kernel when
// the process dies.
platform::FileLockResult lock_writer(const std::filesystem::path& baseName,
                                     int mode = kModeReadWrite);

}  // namespace tivra::store
