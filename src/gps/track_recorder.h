#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>

#include "gps/gps_fix.h"
#include "platform/unique_fd.h"

namespace tivra::gps {

// Writes every fix it is told as a GPX 1.1 track point, so that the file is a whole GPX
// document at every instant: each point goes out together with the closing tags behind it, at
// the offset where the previous closing tags began (one pwrite). The file is synced at least
// every kSyncInterval, so a crash or a power cut loses at most that much of the track.
//
// A file that exists and is not empty is never overwritten: when it is a track this recorder
// wrote, the new points go into a new trkseg; anything else is refused.
//
// Threads: open() and close() on the main thread; fixPublished() on any source's reader thread;
// the sync thread syncs. All under m_mutex.
class TrackRecorder final : public FixSink {
 public:
  static constexpr std::chrono::seconds kSyncInterval{5};
  // A file we would have to read whole to append to it.
  static constexpr std::uintmax_t kMaxExistingBytes = 512ull << 20;

  TrackRecorder();
  ~TrackRecorder() override;
  TrackRecorder(const TrackRecorder&) = delete;
  TrackRecorder& operator=(const TrackRecorder&) = delete;

  // Starts recording into file (closing any file before). False with a message for the user
  // in error when the file cannot be created, is taken by another recorder, or is not ours.
  bool open(const std::filesystem::path& file, std::string& error);
  // Syncs and closes; the file stays a whole document.
  void close();
  bool isOpen() const;
  // The first write error since open(), which ended the recording; empty while there is none.
  std::string failure() const;

  void fixPublished(const GpsFix& fix) override;

 private:
  void syncLoop();
  bool writeAt(std::uint64_t offset, std::string_view text);

  mutable std::mutex m_mutex;
  platform::UniqueFd m_file;
  std::uint64_t m_tailOffset = 0;  // where the closing tags begin
  bool m_dirty = false;
  std::chrono::steady_clock::time_point m_lastSync;
  std::string m_failure;
  bool m_stopping = false;
  std::condition_variable m_wake;
  std::thread m_syncer;  // started by the first open(), joined by the destructor
};

}  // namespace tivra::gps
