// tivra-store: look into, check and repair a Tivra tile store from the command line. It takes
// the same lock as the program: reading commands open the store read-only (mode 1), changing
// commands read-write (mode 3), so it never works on a store the program has open for writing.
// A store left by a killed program is opened as the program opens it: the stale lock file goes
// and a journal cut short is completed.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <map>
#include <optional>
#include <set>
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
    "  repair DIR             copy every entry that checks out into a new store; the old\n"
    "                         files stay beside it with the suffix .damaged\n"
    "  export-tds DIR FILE    write the location map to a data-share file\n"
    "  import-tds DIR FILE    merge a data-share file into the location map\n"
    "DIR is the directory holding TivraCache.idx, TivraCache.dat, TivraCache.sum and\n"
    "TivraCache.lck.\n";

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
  } else if (store_damaged(s.get())) {
    std::cerr << "tivra-store: the store in " << dir << " is damaged and is not changed; "
              << "\"tivra-store repair " << dir << "\" copies what checks out into a new store\n";
    store_close(std::move(s));
    return nullptr;
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
  if (!problems.empty())
    std::cerr << "tivra-store: \"tivra-store repair " << dir
              << "\" copies every entry that checks out into a new store\n";
  return closeStore(std::move(s), problems.empty() ? 0 : 1);
}

// The files of the store `base` (index, data, sums, journal), in the order a repair replaces
// them: a store is only used when both its index and data file exist.
std::vector<std::filesystem::path> storeFiles(const std::filesystem::path& base) {
  std::vector<std::filesystem::path> files;
  for (const char* ext : {".jnl", ".sum", ".idx", ".dat"}) {
    std::filesystem::path p = base;
    p += ext;
    files.push_back(p);
  }
  return files;
}

std::filesystem::path withSuffix(std::filesystem::path p, const char* suffix) {
  p += suffix;
  return p;
}

struct RepairCounts {
  std::size_t names = 0;    // names listed in the damaged store
  std::size_t copied = 0;   // names copied with their content
  std::size_t linked = 0;   // names that share a content copied under another name
  std::size_t dropped = 0;  // names whose content does not check out
  std::size_t twice = 0;    // names the damaged tree holds more than once (copied once)
  std::uint64_t bytes = 0;  // bytes of content copied
};

// Copies every entry of `from` whose content checks out into `to`; names that shared a content
// share it again.
RepairCounts copyEntries(Store* from, Store* to) {
  RepairCounts c;
  std::map<std::int32_t, std::string> copiedAs;  // descriptor -> the name its content went to
  std::set<std::string> seen;
  for (const EntryInfo& e : list_entries(from)) {
    ++c.names;
    if (!seen.insert(e.name).second) {
      ++c.twice;
      continue;
    }
    if (const auto it = copiedAs.find(e.descriptor); it != copiedAs.end()) {
      if (entry_link(to, it->second, e.name) == 0) {
        ++c.linked;
      } else {
        ++c.dropped;
      }
      continue;
    }
    // Read through the descriptor the tree walk found: a search may end elsewhere in a damaged
    // tree.
    const auto content = e.size < 0 ? std::nullopt : read_content(from, e.descriptor);
    const int h = content ? entry_create(to, e.name) : -1;
    const int n = h >= 0 ? entry_write(to, h, *content) : -1;
    if (h >= 0) entry_close(to, h);
    if (h >= 0 && n == static_cast<int>(content->size())) {
      copiedAs.emplace(e.descriptor, e.name);
      ++c.copied;
      c.bytes += content->size();
    } else {
      if (h >= 0) entry_remove(to, e.name);
      ++c.dropped;
    }
  }
  return c;
}

int cmdRepair(const std::string& dir) {
  const std::filesystem::path base = std::filesystem::path(dir) / kStoreBaseName;
  const std::filesystem::path fresh = std::filesystem::path(dir) / "TivraCache.repair";
  if (!std::filesystem::exists(withSuffix(base, ".idx")))
    return fail("there is no store in " + dir);
  // An index that does not open at all holds nothing to copy: its files still step aside.
  StorePtr old = store_open(base, kModeRead);
  if (!old) std::cerr << "tivra-store: the store in " << dir << " does not open; nothing to copy\n";
  std::error_code ec;
  for (const auto& p : storeFiles(fresh)) std::filesystem::remove(p, ec);
  std::filesystem::remove(lockPath(fresh), ec);
  StorePtr out = store_open(fresh, kModeReadWrite);
  if (!out) return fail("cannot create a new store in " + dir);
  const RepairCounts c = old ? copyEntries(old.get(), out.get()) : RepairCounts{};
  if (old) store_close(std::move(old));
  if (store_close(std::move(out)) != 0) {
    for (const auto& p : storeFiles(fresh)) std::filesystem::remove(p, ec);
    return fail("the new store could not be written; nothing was changed");
  }
  // The old files step aside, the new ones take their names.
  for (const auto& p : storeFiles(base)) {
    if (std::filesystem::exists(p)) std::filesystem::rename(p, withSuffix(p, ".damaged"), ec);
    if (ec) return fail("cannot rename " + p.string() + ": " + ec.message());
  }
  const auto from = storeFiles(fresh), to = storeFiles(base);
  for (std::size_t i = 0; i < from.size(); ++i) {
    if (std::filesystem::exists(from[i])) std::filesystem::rename(from[i], to[i], ec);
    if (ec) return fail("cannot rename " + from[i].string() + ": " + ec.message());
  }
  std::cout << "repaired: " << c.copied + c.linked << " of " << c.names << " names copied ("
            << c.copied << " contents, " << c.bytes << " bytes), " << c.dropped
            << " dropped as damaged";
  if (c.twice > 0) std::cout << ", " << c.twice << " found twice";
  std::cout << "; the old files are kept as " << kStoreBaseName << ".idx.damaged and "
            << kStoreBaseName << ".dat.damaged\n";
  return 0;
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
  const bool writes = cmd == "put" || cmd == "rm" || cmd == "import-tds" || cmd == "repair";
  if (writes && cmd != "repair" && args.size() >= 2) {
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
    // With the kernel's lock held, a lock file it contradicts was left by a kill.
    lock_clear_stale(defaultFileSystem(), std::filesystem::path(args[1]) / kStoreBaseName,
                     writes ? kModeReadWrite : kModeRead);
  }
  if (cmd == "ls" && need(1)) return cmdLs(args[1]);
  if (cmd == "cat" && need(2)) return cmdCat(args[1], args[2]);
  if (cmd == "put" && need(3)) return cmdPut(args[1], args[2], args[3]);
  if (cmd == "rm" && need(2)) return cmdRm(args[1], args[2]);
  if (cmd == "verify" && need(1)) return cmdVerify(args[1]);
  if (cmd == "repair" && need(1)) return cmdRepair(args[1]);
  if (cmd == "export-tds" && need(2)) return cmdExport(args[1], args[2]);
  if (cmd == "import-tds" && need(2)) return cmdImport(args[1], args[2]);
  std::cerr << "tivra-store: unknown command or wrong number of arguments: " << cmd << "\n"
            << kUsage;
  return 2;
}
