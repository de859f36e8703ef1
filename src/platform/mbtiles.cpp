#include "platform/mbtiles.h"

#include <fcntl.h>
#include <sqlite3.h>

#include <array>
#include <atomic>
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
// threads than this wait for a place to come free.
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
  // A place for one reader: taken by setting busy, so a read takes no lock and makes no call
  // into the kernel unless every place is taken.
  struct Place {
    std::atomic_flag busy;
    std::unique_ptr<Reader> reader;  // belongs to the thread holding busy; null until opened
  };

  std::filesystem::path path;
  std::array<Place, kMaxReaders> places;
  std::atomic<std::uint32_t> freed{0};  // counts places given back: waited on when all are taken

  Place& take() {
    for (;;) {
      const std::uint32_t seen = freed.load(std::memory_order_acquire);
      for (Place& place : places) {
        if (!place.busy.test_and_set(std::memory_order_acquire)) return place;
      }
      freed.wait(seen, std::memory_order_acquire);
    }
  }

  void give(Place& place) {
    place.busy.clear(std::memory_order_release);
    freed.fetch_add(1, std::memory_order_release);
    freed.notify_one();
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
  // The place is given back on every way out, a thrown allocation included.
  struct Held {
    Impl& impl;
    Impl::Place& place;
    ~Held() { impl.give(place); }
  } const held{impl, impl.take()};
  Impl::Place& place = held.place;
  if (!place.reader) place.reader = impl.open();
  if (!place.reader) return std::nullopt;
  sqlite3_stmt* query = place.reader->tileQuery.get();
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
  if (failed) impl.fail(place.reader->db.get(), "read");
  sqlite3_reset(query);
  // A busy file keeps its reader; a damaged one is opened afresh next time, so a repaired one is
  // read again.
  if (failed && rc != SQLITE_BUSY) place.reader.reset();
  return tile;
}

}  // namespace tivra::platform
