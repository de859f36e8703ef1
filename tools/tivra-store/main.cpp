// tivra-store: look into and repair-check a Tivra tile store from the command line. It takes
// the same lock as the program: reading commands open the store read-only (mode 1), changing
// commands read-write (mode 3), so it never works on a store the program has open for writing.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "store/data_share.h"
#include "store/location_map.h"
#include "store/lock_file.h"
#include "store/store.h"
#include "store/store_inspect.h"
#include "store/tile_cache.h"

namespace {

using namespace tivra::store;

constexpr const char* kUsage =
    "usage: tivra-store COMMAND DIR [ARGS]\n"
    "  ls DIR                 list the entries (size and name)\n"
    "  cat DIR NAME           write an entry's content to standard output\n"
    "  put DIR NAME FILE      store FILE (\"-\": standard input) as NAME\n"
    "  rm DIR NAME            remove the name NAME\n"
    "  verify DIR             check the whole store; exit 0 only if it is sound\n"
    "  export-tds DIR FILE    write the location map to a data-share file\n"
    "  import-tds DIR FILE    merge a data-share file into the location map\n"
    "DIR is the directory holding TivraCache.idx, TivraCache.dat and TivraCache.lck.\n";

int fail(const std::string& message) {
  std::cerr << "tivra-store: " << message << "\n";
  return 1;
}

StorePtr openStore(const std::string& dir, int mode) {
  if ((mode & 2) != 0) {
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);  // a new store may go into a new directory
  }
  const std::filesystem::path base = std::filesystem::path(dir) / kStoreBaseName;
  StorePtr s = store_open(base, mode);
  if (!s) {
    std::cerr << "tivra-store: cannot open the store in " << dir << " ("
              << (std::filesystem::exists(lockPath(base)) ? "it is in use"
                                                          : "missing, unreadable or damaged")
              << ")\n";
  }
  return s;
}

bool readInput(const std::string& path, std::vector<std::uint8_t>& out) {
  if (path == "-") {
    out.assign(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
    return !std::cin.bad();
  }
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return !in.bad();
}

int closeStore(StorePtr s, int rc) {
  if (store_close(std::move(s)) != 0)
    return fail("the store files could not be written completely");
  return rc;
}

int cmdLs(const std::string& dir) {
  StorePtr s = openStore(dir, kModeRead);
  if (!s) return 1;
  std::vector<std::string> problems;
  const auto entries = list_entries(s.get(), &problems);
  for (const EntryInfo& e : entries) {
    if (e.size < 0) {
      std::cout << "damaged\t" << e.name << "\n";
    } else {
      std::cout << e.size << "\t" << e.name << "\n";
    }
  }
  for (const std::string& p : problems) std::cerr << "tivra-store: damaged: " << p << "\n";
  return closeStore(std::move(s), problems.empty() ? 0 : 1);
}

int cmdCat(const std::string& dir, const std::string& name) {
  StorePtr s = openStore(dir, kModeRead);
  if (!s) return 1;
  const int h = entry_open(s.get(), name, kOpenReadOnly);
  if (h < 0) return closeStore(std::move(s), fail("no entry named \"" + name + "\""));
  std::vector<std::uint8_t> buf(65536);
  int n = 0;
  while ((n = entry_read(s.get(), h, buf)) > 0)
    std::cout.write(reinterpret_cast<const char*>(buf.data()), n);
  entry_close(s.get(), h);
  std::cout.flush();
  if (n < 0) return closeStore(std::move(s), fail("entry \"" + name + "\" is damaged"));
  return closeStore(std::move(s), 0);
}

int cmdPut(const std::string& dir, const std::string& name, const std::string& file) {
  std::vector<std::uint8_t> data;
  if (!readInput(file, data)) return fail("cannot read " + file + ": " + std::strerror(errno));
  StorePtr s = openStore(dir, kModeReadWrite);
  if (!s) return 1;
  const int h = entry_create(s.get(), name);
  if (h < 0)
    return closeStore(std::move(s), fail("cannot create \"" + name +
                                         "\" (store full, name too alike another, or damaged)"));
  const int n = entry_write(s.get(), h, data);
  entry_close(s.get(), h);
  if (n != static_cast<int>(data.size()))
    return closeStore(std::move(s), fail("cannot write \"" + name + "\""));
  return closeStore(std::move(s), 0);
}

int cmdRm(const std::string& dir, const std::string& name) {
  StorePtr s = openStore(dir, kModeReadWrite);
  if (!s) return 1;
  if (entry_remove(s.get(), name) != 0)
    return closeStore(std::move(s), fail("no entry named \"" + name + "\""));
  return closeStore(std::move(s), 0);
}

int cmdVerify(const std::string& dir) {
  StorePtr s = openStore(dir, kModeRead);
  if (!s) return 1;
  const auto problems = verify_store(s.get());
  const auto entries = list_entries(s.get());
  for (const std::string& p : problems) std::cout << "inconsistent: " << p << "\n";
  if (problems.empty()) std::cout << "sound: " << entries.size() << " names\n";
  return closeStore(std::move(s), problems.empty() ? 0 : 1);
}

bool loadMap(Store* s, LocationMap& map) {
  const auto stored = readLocationEntry(s);
  return !stored || map.parse(*stored);  // no entry yet: an empty map
}

int cmdExport(const std::string& dir, const std::string& file) {
  StorePtr s = openStore(dir, kModeRead);
  if (!s) return 1;
  LocationMap map;
  if (!loadMap(s.get(), map))
    return closeStore(std::move(s), fail("the stored location map is damaged"));
  const ExportResult r = exportDataShare(map, file);
  if (!r.ok) return closeStore(std::move(s), fail(r.error));
  std::cout << "wrote " << r.pairs << " pairs to " << r.path.string() << "\n";
  return closeStore(std::move(s), 0);
}

int cmdImport(const std::string& dir, const std::string& file) {
  std::vector<std::uint8_t> bytes;
  if (!readInput(file, bytes)) return fail("cannot read " + file + ": " + std::strerror(errno));
  LocationMap incoming;
  if (!incoming.parse(bytes)) return fail(file + " is truncated or not a Tivra data-share file");
  StorePtr s = openStore(dir, kModeReadWrite);
  if (!s) return 1;
  LocationMap map;
  if (!loadMap(s.get(), map))
    return closeStore(std::move(s), fail("the stored location map is damaged"));
  const std::size_t before = map.size();
  map.merge(incoming.pairs());
  if (saveLocationEntry(s.get(), map.serialize()) != 1)
    return closeStore(std::move(s), fail("cannot save the location map"));
  std::cout << "read " << incoming.size() << " pairs; " << before << " before, " << map.size()
            << " after\n";
  return closeStore(std::move(s), 0);
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  if (args.empty() || args[0] == "-h" || args[0] == "--help") {
    std::fputs(kUsage, args.empty() ? stderr : stdout);
    return args.empty() ? 2 : 0;
  }
  const std::string& cmd = args[0];
  auto need = [&](std::size_t n) { return args.size() == n + 1; };
  // The store's kernel lock, held until the tool ends: a running program (or another tool)
  // that writes the store refuses this one, and the other way round.
  std::optional<tivra::platform::FileLock> held;
  const bool writes = cmd == "put" || cmd == "rm" || cmd == "import-tds";
  if (writes && args.size() >= 2) {
    std::error_code ec;
    std::filesystem::create_directories(args[1], ec);  // a new store may go into a new directory
  }
  if (args.size() >= 2 && std::filesystem::is_directory(args[1])) {
    auto lock = lock_writer(std::filesystem::path(args[1]) / kStoreBaseName,
                            writes ? kModeReadWrite : kModeRead);
    if (!lock.lock) {
      return fail(lock.outcome == tivra::platform::LockOutcome::kHeldByAnother
                      ? "cannot open the store in " + args[1] + " (it is in use)"
                      : "cannot lock the store: " + lock.error);
    }
    held = std::move(lock.lock);
  }
  if (cmd == "ls" && need(1)) return cmdLs(args[1]);
  if (cmd == "cat" && need(2)) return cmdCat(args[1], args[2]);
  if (cmd == "put" && need(3)) return cmdPut(args[1], args[2], args[3]);
  if (cmd == "rm" && need(2)) return cmdRm(args[1], args[2]);
  if (cmd == "verify" && need(1)) return cmdVerify(args[1]);
  if (cmd == "export-tds" && need(2)) return cmdExport(args[1], args[2]);
  if (cmd == "import-tds" && need(2)) return cmdImport(args[1], args[2]);
  std::cerr << "tivra-store: unknown command or wrong number of arguments: " << cmd << "\n"
            << kUsage;
  return 2;
}
