#pragma once

// The tile store engine: named entries of any length in two files, an index file (a PATRICIA
// name tree, name text, entry descriptors and a block map, see store_records.h) and a data
// file of 512-byte blocks, guarded by a lock file. Plain functions over an open store that
// report failure with -1 or a null store, as every caller of the engine expects.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <span>
#include <string_view>

#include "store/file_io.h"

namespace tivra::store {

struct Store;  // an open store; its layout is private to the engine

// Open modes.
inline constexpr int kModeRead = 1;
inline constexpr int kModeReadWrite = 3;

// Open flags (the customary open-flag values).
inline constexpr int kOpenReadOnly = 0;
inline constexpr int kOpenWriteOnly = 1;
inline constexpr int kOpenReadWrite = 2;
inline constexpr int kOpenAccessMask = 3;
inline constexpr int kOpenAppend = 0x8;
inline constexpr int kOpenCreate = 0x100;
inline constexpr int kOpenTruncate = 0x200;

// Origins of entry_seek.
inline constexpr int kSeekSet = 0;
inline constexpr int kSeekCurrent = 1;
inline constexpr int kSeekEnd = 2;

// A store holds at most this many descriptors: their number is 16 bits wide in a tree node.
inline constexpr std::int64_t kMaxDescriptors = 65536;
// Two names must differ within this many leading bytes: the bit index is a signed 16-bit value.
inline constexpr std::size_t kDistinctPrefix = 4096;

struct StoreOptions {
  const FileSystem* fileSystem = nullptr;  // null: the real one
  std::size_t pageSize = 0;                // 0: the system's page size (at least 256)
  // Keep the whole index file in memory (up to 256 MiB) and read it from there.
  bool memoryIndex = true;
};

// Closes the store when its owner lets go of it (errors are swallowed; use store_close to see
// them).
struct StoreCloser {
  void operator()(Store* s) const noexcept;
};
using StorePtr = std::unique_ptr<Store, StoreCloser>;

// Opens (mode 1 or 3) or, in mode 3, creates the store `baseName`.idx/.dat under the lock
// file `baseName`.lck. Null when the lock refuses, the files are missing in mode 1, a file
// cannot be created or opened, or the index file is not a store.
StorePtr store_open(const std::filesystem::path& baseName, int mode,
                    const StoreOptions& options = {});
// Writes back every cached page and the header, cuts the index file to its used size, frees
// the handles and releases the lock. 0, or -1 when a store file could not be written. A store
// that failed (a file could not be read or written) writes nothing: its files stay as they
// were at the last checkpoint.
int store_close(StorePtr store);
// Makes everything written so far durable (see journal.h): a kill after it loses nothing
// written before it. 0 (also when nothing changed or the store is read-only), or -1 with errno
// telling why. When only writing failed (a full disk) the store is stalled: it keeps serving
// every entry, refuses writes, and the next checkpoint tries again; a store file that could not
// be read fails the store for good.
int store_checkpoint(Store* s);
// True when something was written since the last checkpoint.
bool store_changed(const Store* s);
// True while the store is stalled (above): reads work, writes are refused until a checkpoint
// gets through.
bool store_stalled(const Store* s);

// The process-wide open mode: the mode of the most recent store_open.
int processOpenMode();

int entry_exists(Store* s, std::string_view name);
int entry_open(Store* s, std::string_view name, int flags);
int entry_create(Store* s, std::string_view name);
int entry_close(Store* s, int handle);
int entry_seek(Store* s, int handle, std::int64_t offset, int origin);
int entry_read(Store* s, int handle, std::span<std::uint8_t> buffer);
int entry_write(Store* s, int handle, std::span<const std::uint8_t> data);
// The content size of the open entry, or -1: lets a reader size its buffer before reading.
std::int64_t entry_size(Store* s, int handle);
int entry_link(Store* s, std::string_view existingName, std::string_view newName);
int entry_remove(Store* s, std::string_view name);

}  // namespace tivra::store
