#include "platform/mbtiles.h"

#include <fcntl.h>
#include <sqlite3.h>

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

constexpr const char* kTileQuery =
    "SELECT tile_data FROM tiles WHERE zoom_level = ?1 AND tile_column = ?2 AND tile_row = ?3";

}  // namespace

struct MbtilesFile::Impl {
  std::filesystem::path path;
  std::mutex mutex;  // guards the connection and the statement
  Database db;       // declared before the statement: finalised first, closed last
  Statement tileQuery;

  bool open() {
    if (tileQuery) return true;
    // SQLite opens the name as it is and would wait for ever on a FIFO: look first.
    if (RegularFile file = openRegularFile(path, O_RDONLY); !file.fd) {
      debugTrace("mbtiles " + path.string() + ": " + file.error);
      return false;
    }
    sqlite3* raw = nullptr;
    const int rc =
        sqlite3_open_v2(path.c_str(), &raw, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX, nullptr);
    Database opened(raw);
    if (rc != SQLITE_OK) return fail(opened.get(), "open");
    sqlite3_busy_timeout(opened.get(), kBusyTimeoutMs);
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(opened.get(), kTileQuery, -1, &statement, nullptr) != SQLITE_OK) {
      return fail(opened.get(), "prepare");
    }
    db = std::move(opened);
    tileQuery.reset(statement);
    return true;
  }

  bool fail(sqlite3* handle, const char* step) {
    if (debugLogEnabled()) {
      debugTrace("mbtiles " + path.string() + ": " + step + ": " +
                 (handle != nullptr ? sqlite3_errmsg(handle) : "out of memory"));
    }
    return false;
  }

  void close() {
    tileQuery.reset();
    db.reset();
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
  const std::lock_guard lock(impl.mutex);
  if (!impl.open()) return std::nullopt;
  sqlite3_stmt* query = impl.tileQuery.get();
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
      tile.emplace(bytes, bytes + size);
    }
  }
  const bool failed = rc != SQLITE_ROW && rc != SQLITE_DONE;
  if (failed) impl.fail(impl.db.get(), "read");
  sqlite3_reset(query);
  sqlite3_clear_bindings(query);
  // A busy or damaged file is opened afresh next time, so a repaired one is read again.
  if (failed && rc != SQLITE_BUSY) impl.close();
  return tile;
}

}  // namespace tivra::platform
