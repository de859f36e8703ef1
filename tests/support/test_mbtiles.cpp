#include "support/test_mbtiles.h"

#include <sqlite3.h>

#include <memory>
#include <stdexcept>
#include <string>

namespace tivra::test {

namespace {

struct Closer {
  void operator()(sqlite3* db) const { sqlite3_close(db); }
  void operator()(sqlite3_stmt* statement) const { sqlite3_finalize(statement); }
};

void check(int rc, sqlite3* db, const char* step) {
  if (rc != SQLITE_OK && rc != SQLITE_DONE) {
    throw std::runtime_error(std::string("mbtiles ") + step + ": " + sqlite3_errmsg(db));
  }
}

}  // namespace

void writeMbtiles(const std::filesystem::path& path, const std::vector<MbtilesRow>& rows) {
  sqlite3* raw = nullptr;
  const int opened = sqlite3_open(path.c_str(), &raw);
  const std::unique_ptr<sqlite3, Closer> db(raw);
  check(opened, db.get(), "open");
  check(sqlite3_exec(db.get(),
                     "CREATE TABLE IF NOT EXISTS metadata (name text, value text);"
                     "CREATE TABLE IF NOT EXISTS tiles (zoom_level integer, tile_column integer,"
                     " tile_row integer, tile_data blob);"
                     "CREATE UNIQUE INDEX IF NOT EXISTS tile_index ON tiles"
                     " (zoom_level, tile_column, tile_row);"
                     "INSERT INTO metadata VALUES ('format', 'png');",
                     nullptr, nullptr, nullptr),
        db.get(), "schema");
  sqlite3_stmt* insert = nullptr;
  check(sqlite3_prepare_v2(db.get(), "INSERT OR REPLACE INTO tiles VALUES (?1, ?2, ?3, ?4)", -1,
                           &insert, nullptr),
        db.get(), "prepare");
  const std::unique_ptr<sqlite3_stmt, Closer> statement(insert);
  for (const MbtilesRow& row : rows) {
    sqlite3_bind_int(insert, 1, row.zoom);
    sqlite3_bind_int64(insert, 2, row.column);
    sqlite3_bind_int64(insert, 3, row.tmsRow);
    sqlite3_bind_blob(insert, 4, row.data.data(), static_cast<int>(row.data.size()),
                      SQLITE_TRANSIENT);
    check(sqlite3_step(insert), db.get(), "insert");
    sqlite3_reset(insert);
  }
}

}  // namespace tivra::test
