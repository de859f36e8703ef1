// Store files from the input: the first two bytes (little-endian) give the index file's share
// of the rest, the remainder is the data file. Opens the store with 256-byte pages (small
// inputs still reach every channel), walks and reads every entry, changes a few, closes.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "store/file_io.h"
#include "store/store.h"
#include "store/store_inspect.h"

namespace {

// One scratch directory per process, removed at exit.
class WorkDir {
 public:
  WorkDir() {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "tivra-store-fuzz-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) std::abort();
    m_path = pattern;
  }
  ~WorkDir() {
    std::error_code ec;
    std::filesystem::remove_all(m_path, ec);
  }
  WorkDir(const WorkDir&) = delete;
  WorkDir& operator=(const WorkDir&) = delete;
  const std::filesystem::path& path() const { return m_path; }

 private:
  std::filesystem::path m_path;
};

// The real files without their fdatasync: durability is not what is fuzzed here, and a sync per
// checkpoint held the campaign to a few dozen inputs a second.
class NoSyncFileSystem final : public tivra::store::FileSystem {
 public:
  std::unique_ptr<tivra::store::File> open(const std::filesystem::path& path,
                                           tivra::store::OpenMode mode) const override {
    auto file = real().open(path, mode);
    if (!file) return nullptr;
    return std::make_unique<NoSyncFile>(std::move(file));
  }
  bool exists(const std::filesystem::path& path) const override { return real().exists(path); }
  bool remove(const std::filesystem::path& path) const override { return real().remove(path); }

 private:
  class NoSyncFile final : public tivra::store::File {
   public:
    explicit NoSyncFile(std::unique_ptr<tivra::store::File> file) : m_file(std::move(file)) {}
    std::int64_t readAt(std::uint64_t offset, std::span<std::uint8_t> out) override {
      return m_file->readAt(offset, out);
    }
    bool writeAt(std::uint64_t offset, std::span<const std::uint8_t> data) override {
      return m_file->writeAt(offset, data);
    }
    bool truncate(std::uint64_t size) override { return m_file->truncate(size); }
    bool flush() override { return true; }
    std::int64_t size() override { return m_file->size(); }

   private:
    std::unique_ptr<tivra::store::File> m_file;
  };
  static const tivra::store::FileSystem& real() { return tivra::store::defaultFileSystem(); }
};

const std::filesystem::path& workDir() {
  static const WorkDir dir;
  return dir.path();
}

void writeFile(const std::filesystem::path& p, const std::uint8_t* data, std::size_t size) {
  std::ofstream out(p, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace tivra::store;
  if (size < 2) return 0;
  const std::size_t rest = size - 2;
  const std::size_t split = rest == 0 ? 0 : (data[0] | (data[1] << 8)) % (rest + 1);
  const auto base = workDir() / "S";
  writeFile(workDir() / "S.idx", data + 2, split);
  writeFile(workDir() / "S.dat", data + 2 + split, rest - split);
  std::filesystem::remove(workDir() / "S.lck");

  static const NoSyncFileSystem files;
  StorePtr s = store_open(base, kModeReadWrite, {&files, 256});
  if (!s) return 0;
  std::vector<std::uint8_t> buf(8192);
  const auto entries = list_entries(s.get());
  for (const EntryInfo& e : entries) {
    entry_exists(s.get(), e.name);
    const int h = entry_open(s.get(), e.name, kOpenReadWrite);
    if (h < 0) continue;
    for (int i = 0; i < 8 && entry_read(s.get(), h, buf) > 0; ++i) {
    }
    entry_close(s.get(), h);
  }
  if (!entries.empty()) {
    const std::string& first = entries.front().name;
    entry_link(s.get(), first, "fuzz-link");
    const int h = entry_create(s.get(), entries.back().name);
    if (h >= 0) {
      entry_write(s.get(), h, std::vector<std::uint8_t>(700, 0x5A));
      entry_close(s.get(), h);
    }
    entry_remove(s.get(), first);
  }
  const int h = entry_create(s.get(), "fuzz-new");
  if (h >= 0) entry_close(s.get(), h);
  store_close(std::move(s));
  return 0;
}
