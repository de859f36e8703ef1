#pragma once

// Helpers shared by the store tests: file bytes, a file system that counts and fails on
// demand, and a frontend that records message boxes.

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/frontend.h"
#include "store/file_io.h"

namespace tivra::store::test {

inline std::vector<std::uint8_t> fileBytes(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline void writeFileBytes(const std::filesystem::path& p, const std::vector<std::uint8_t>& bytes) {
  std::ofstream out(p, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
}

inline std::vector<std::uint8_t> bytesOf(std::string_view s) {
  return {s.begin(), s.end()};
}

struct WriteRecord {
  std::string file;  // file name only
  std::uint64_t offset;
  std::size_t size;
};

// Passes every call to the real file system; records writes and can make them fail.
class FaultFileSystem final : public FileSystem {
 public:
  // Writes succeed while this is positive (each write lowers it); negative: no limit.
  std::atomic<long> writesLeft{-1};
  // A failing write first writes half of its bytes.
  bool shortWrites = false;
  std::atomic<bool> failReads{false};
  // Reads succeed while this is positive (each read lowers it); negative: no limit.
  std::atomic<long> readsLeft{-1};

  std::vector<WriteRecord> writes() const {
    std::lock_guard g(m_mutex);
    return m_writes;
  }
  void clearWrites() {
    std::lock_guard g(m_mutex);
    m_writes.clear();
  }

  std::unique_ptr<File> open(const std::filesystem::path& path, OpenMode mode) const override {
    auto real = defaultFileSystem().open(path, mode);
    if (!real) return nullptr;
    return std::make_unique<FaultFile>(const_cast<FaultFileSystem&>(*this), std::move(real),
                                       path.filename().string());
  }
  bool exists(const std::filesystem::path& path) const override {
    return defaultFileSystem().exists(path);
  }
  bool remove(const std::filesystem::path& path) const override {
    return defaultFileSystem().remove(path);
  }

 private:
  class FaultFile final : public File {
   public:
    FaultFile(FaultFileSystem& fs, std::unique_ptr<File> real, std::string name)
        : m_fs(fs), m_real(std::move(real)), m_name(std::move(name)) {}
    std::int64_t readAt(std::uint64_t offset, std::span<std::uint8_t> out) override {
      if (m_fs.failReads) return -1;
      const long left = m_fs.readsLeft.load();
      if (left == 0) return -1;
      if (left > 0) m_fs.readsLeft.fetch_sub(1);
      return m_real->readAt(offset, out);
    }
    bool writeAt(std::uint64_t offset, std::span<const std::uint8_t> data) override {
      {
        std::lock_guard g(m_fs.m_mutex);
        m_fs.m_writes.push_back({m_name, offset, data.size()});
      }
      const long left = m_fs.writesLeft.load();
      if (left == 0) {
        if (m_fs.shortWrites) m_real->writeAt(offset, data.first(data.size() / 2));
        return full();
      }
      if (left > 0) m_fs.writesLeft.fetch_sub(1);
      return m_real->writeAt(offset, data);
    }
    bool truncate(std::uint64_t size) override {
      return m_fs.writesLeft.load() != 0 ? m_real->truncate(size) : full();
    }
    bool flush() override { return m_fs.writesLeft.load() != 0 ? m_real->flush() : full(); }
    std::int64_t size() override { return m_real->size(); }
    void readMostly() override { m_real->readMostly(); }

   private:
    // A refused write looks like one on a full disk.
    static bool full() {
      errno = ENOSPC;
      return false;
    }

    FaultFileSystem& m_fs;
    std::unique_ptr<File> m_real;
    std::string m_name;
  };

  mutable std::mutex m_mutex;
  std::vector<WriteRecord> m_writes;
};

class RecordingFrontend final : public platform::Frontend {
 public:
  void messageBox(std::string_view text, std::string_view caption) override {
    std::lock_guard g(m_mutex);
    m_boxes.emplace_back(std::string(text), std::string(caption));
  }
  std::vector<std::pair<std::string, std::string>> boxes() const {
    std::lock_guard g(m_mutex);
    return m_boxes;
  }

 private:
  mutable std::mutex m_mutex;
  std::vector<std::pair<std::string, std::string>> m_boxes;
};

}  // namespace tivra::store::test
