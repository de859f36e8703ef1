#include "platform/mbtiles.h"

#include <fcntl.h>
#include <sqlite3.h>

#include <condition_variable>
#include <mutex>
#include <string>

#include "platform/log.h"
#include "platform/read_file.h"

namespace tivra::platform {

namespace {

struct DatabaseCloser {
  void operator()(sqlite3* db) const { sqlite3_close_v2(db); }
};
using Database = std::unique_ptr<sqlite3, DatabaseCloser>;

struct StatementFinalizer {
  void operator()(sqlite3_stmt* statement) const { sqlite3_finalize(statement); }
};
using Statement = std::unique_ptr<sqlite3_stmt, StatementFinalizer>;

// A writer holding the file (a tool adding tiles) is waited for this long, then the tile counts
// as missing for this request.
constexpr int kBusyTimeoutMs = 1000;

// Readers at once: each has its own connection and statement, so reads run side by side; more
// threads than this wait for one to come back.
constexpr std::size_t kMaxReaders = 8;

// The file is read through a memory map up to this size, sparing a copy and a call per page.
constexpr const char* kMapPragma = "PRAGMA mmap_size = 268435456";

constexpr const char* kTileQuery =
    "SELECT tile_data FROM tiles WHERE zoom_level = ?1 AND tile_column = ?2 AND tile_row = ?3";

}  // namespace

// One connection and its prepared statement, used by one thread at a time.
struct MbtilesFile::Reader {
  Database db;  // declared before the statement: finalised first, closed last
  Statement tileQuery;
};

struct MbtilesFile::Impl {
  std::filesystem::path path;
  std::mutex mutex;  // guards the fields below
  std::condition_variable returned;
  std::vector<std::unique_ptr<Reader>> idle;
  std::size_t readers = 0;  // idle ones and those lent out

  // An idle reader, a new one while fewer than kMaxReaders exist, else one handed back by
  // another thread; null when the file cannot be opened.
  std::unique_ptr<Reader> take() {
    std::unique_lock lock(mutex);
    returned.wait(lock, [&] { return !idle.empty() || readers < kMaxReaders; });
    if (!idle.empty()) {
      std::unique_ptr<Reader> reader = std::move(idle.back());
      idle.pop_back();
      return reader;
    }
    ++readers;
    lock.unlock();
    // Opened outside the lock: a slow open does not hold up readers of the open file.
    std::unique_ptr<Reader> reader = open();
    if (!reader) {
      lock.lock();
      --readers;
      returned.notify_one();
    }
    return reader;
  }

  // A reader back for the next thread, or (after a failure) dropped, so that the file is opened
  // afresh and a repaired one is read again.
  void give(std::unique_ptr<Reader> reader, bool keep) {
    std::unique_ptr<Reader> dropped;  // closed outside the lock
    {
      const std::lock_guard lock(mutex);
      if (keep) {
        idle.push_back(std::move(reader));
      } else {
        dropped = std::move(reader);
        --readers;
      }
    }
    returned.notify_one();
  }

  std::unique_ptr<Reader> open() {
    // SQLite opens the name as it is and would wait for ever on a FIFO: look first.
    if (RegularFile file = openRegularFile(path, O_RDONLY); !file.fd) {
      debugTrace("mbtiles " + path.string() + ": " + file.error);
      return nullptr;
    }
    sqlite3* raw = nullptr;
    // Not immutable and not without locks: a tool may add tiles while we read, and they are
    // to be seen by the next read.
    const int rc =
        sqlite3_open_v2(path.c_str(), &raw, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX, nullptr);
    Database opened(raw);
    if (rc != SQLITE_OK) return fail(opened.get(), "open");
    sqlite3_busy_timeout(opened.get(), kBusyTimeoutMs);
    sqlite3_exec(opened.get(), kMapPragma, nullptr, nullptr, nullptr);  // a hint only
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v3(opened.get(), kTileQuery, -1, SQLITE_PREPARE_PERSISTENT, &statement,
                           nullptr) != SQLITE_OK) {
      return fail(opened.get(), "prepare");
    }
    auto reader = std::make_unique<Reader>();
    reader->db = std::move(opened);
    reader->tileQuery.reset(statement);
    return reader;
  }

  std::unique_ptr<Reader> fail(sqlite3* handle, const char* step) const {
    if (debugLogEnabled()) {
      debugTrace("mbtiles " + path.string() + ": " + step + ": " +
                 (handle != nullptr ? sqlite3_errmsg(handle) : "out of memory"));
    }
    return nullptr;
  }
};

MbtilesFile::MbtilesFile(std::filesystem::path path) : m_impl(std::make_unique<Impl>()) {
  m_impl->path = std::filesystem::absolute(path);
}

MbtilesFile::~MbtilesFile() = default;

std::optional<std::vector<std::uint8_t>> MbtilesFile::readTile(int zoom, std::int64_t column,
                                                               std::int64_t tmsRow,
                                                               std::size_t maxBytes) {
  Impl& impl = *m_impl;
  std::unique_ptr<Reader> reader = impl.take();
  if (!reader) return std::nullopt;
  sqlite3_stmt* query = reader->tileQuery.get();
  sqlite3_bind_int(query, 1, zoom);
  sqlite3_bind_int64(query, 2, column);
  sqlite3_bind_int64(query, 3, tmsRow);
  std::optional<std::vector<std::uint8_t>> tile;
  const int rc = sqlite3_step(query);
  if (rc == SQLITE_ROW) {
    const void* data = sqlite3_column_blob(query, 0);
    const int size = sqlite3_column_bytes(query, 0);
    if (data != nullptr && size > 0 && static_cast<std::size_t>(size) <= maxBytes) {
      const auto* bytes = static_cast<const std::uint8_t*>(data);
      try {
        tile.emplace(bytes, bytes + size);
      } catch (const std::bad_alloc&) {
        tile.reset();
      }
    }
  }
  const bool failed = rc != SQLITE_ROW && rc != SQLITE_DONE;
  if (failed) impl.fail(reader->db.get(), "read");
  sqlite3_reset(query);
  sqlite3_clear_bindings(query);
  // A busy file keeps its reader; a damaged one is opened afresh next time.
  impl.give(std::move(reader), !failed || rc == SQLITE_BUSY);
  return tile;
}

}  // namespace tivra::platform
