#pragma once

// Crash safety of an open store. Between checkpoints no byte reaches the index or the data file:
// every write is held in memory by a HeldFile. A checkpoint first writes everything held to the
// journal (base name + ".jnl") and makes it durable, then writes it in place, makes both store
// files durable and empties the journal. A kill therefore leaves the store files as they were
// at the last checkpoint, or a complete journal that the next open replays; a journal cut short
// by the kill was never applied and is ignored. A checkpoint that a full disk stops keeps
// everything held, so that a later one can write it all (see JournalOutcome).
//
// The journal, little-endian: "TJNL", then records, each starting with a kind byte:
//   KIND      FOLLOWED BY                      MEANING
//   0, 1      8 offset, 4 count n, n bytes     bytes of the index (0) or data (1) file
//   2, 3      8 cut, 8 size                    the index (2) or data (3) file is cut to `cut`
//                                              before the bytes are written, then set to `size`
//   0xFF      8 FNV-1a hash of every byte      the end; nothing may follow
//             before this record

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <span>
#include <vector>

#include "store/file_io.h"

namespace tivra::store {

// A store file whose writes stay in memory until apply(). Reads see the held bytes.
class HeldFile final : public File {
 public:
  static constexpr std::uint64_t kPiece = 4096;

  HeldFile(std::unique_ptr<File> real, std::uint64_t realSize);

  std::int64_t readAt(std::uint64_t offset, std::span<std::uint8_t> out) override;
  bool writeAt(std::uint64_t offset, std::span<const std::uint8_t> data) override;
  bool truncate(std::uint64_t size) override;
  bool flush() override { return true; }  // durability comes with the checkpoint
  std::int64_t size() override { return static_cast<std::int64_t>(m_size); }
  void readMostly() override { m_real->readMostly(); }

  // Keeps a copy of the whole file in memory and reads from it from now on (files up to
  // kMaxMirror bytes; larger ones are read from the file as before). False when the file could
  // not be read.
  static constexpr std::uint64_t kMaxMirror = std::uint64_t{256} << 20;
  bool mirror();
  bool mirrored() const { return m_mirrored; }

  bool pending() const { return !m_pieces.empty() || m_cut < m_realSize || m_size != m_realSize; }
  std::size_t heldBytes() const { return m_pieces.size() * kPiece; }
  // Adds this file's held writes to a journal image as records of file `id` (0 or 1).
  void appendTo(std::vector<std::uint8_t>& journal, std::uint8_t id) const;
  // Writes the held bytes in place and forgets them. False when the file refused a write.
  bool apply();
  File& real() { return *m_real; }

 private:
  // Real bytes at [offset, offset + out.size()), zero where the file ends or was cut.
  bool readReal(std::uint64_t offset, std::span<std::uint8_t> out);

  std::unique_ptr<File> m_real;
  std::uint64_t m_realSize;
  std::uint64_t m_size;                                         // the size as the store sees it
  std::uint64_t m_cut;                                          // real bytes from here read as 0
  std::map<std::uint64_t, std::vector<std::uint8_t>> m_pieces;  // piece number -> kPiece bytes
  bool m_mirrored = false;
  std::vector<std::uint8_t> m_mirror;  // the real file's bytes while m_mirrored
};

// Opens files through `real` and wraps each in a HeldFile.
class HoldingFileSystem final : public FileSystem {
 public:
  explicit HoldingFileSystem(const FileSystem& real) : m_real(real) {}
  std::unique_ptr<File> open(const std::filesystem::path& path, OpenMode mode) const override;
  bool exists(const std::filesystem::path& path) const override { return m_real.exists(path); }
  bool remove(const std::filesystem::path& path) const override { return m_real.remove(path); }

 private:
  const FileSystem& m_real;
};

std::filesystem::path journalPath(const std::filesystem::path& baseName);

// What became of a commit.
enum class JournalOutcome {
  kDone,        // everything held is in the files; the journal is empty
  kNoJournal,   // the journal could not be completed (a full disk): it was removed, and the
                // files are as they were; everything is still held
  kUnfinished,  // the journal is complete but the files could not all be written: the journal
                // stays to complete them (journal_finish, or the next open); everything is held
};

// Writes the held bytes of both files through the journal (nothing when nothing is held).
// On a failure errno tells why.
JournalOutcome journal_commit(const FileSystem& fs, const std::filesystem::path& journal,
                              HeldFile& index, HeldFile& data);
// Writes the held bytes in place when the journal on disk already holds them all (after
// journal_load, or a commit that ended kUnfinished), then empties the journal. The journal is
// never rewritten, so a failure here leaves it as complete as it was.
JournalOutcome journal_finish(const FileSystem& fs, const std::filesystem::path& journal,
                              HeldFile& index, HeldFile& data);
// Loads a complete journal into the held bytes of both files: 1, or 0 when there is none (or
// only a cut-short one), -1 when a store file could not be read.
int journal_load(const FileSystem& fs, const std::filesystem::path& journal, HeldFile& index,
                 HeldFile& data);

}  // namespace tivra::store
