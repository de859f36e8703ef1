#include "gps/track_recorder.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <ctime>
#include <optional>

#include <pugixml.hpp>

#include "platform/gpx.h"

namespace tivra::gps {

namespace {

// The file as this recorder writes it:
//   <?xml ...?><gpx ... creator="Tivra" ...> <metadata>...</metadata>
//    <trk> <name>Tivra</name>
//     <trkseg> <trkpt .../> ... </trkseg>       one segment per recording
//    </trk>
//   </gpx>
constexpr std::string_view kSegmentOpen = "  <trkseg>\n";
constexpr std::string_view kTail = "  </trkseg>\n </trk>\n</gpx>\n";
constexpr std::string_view kTrackTail = " </trk>\n</gpx>\n";
constexpr std::string_view kTrackName = "Tivra";

std::string describeErrno(int error) {
  return std::strerror(error);
}

// UTC seconds of a fix: a time of day alone (no date heard yet) is put on today's date of the
// system clock, the day before when that would lie more than 12 hours ahead.
std::optional<std::int64_t> fixTime(const GpsFix& fix) {
  if (fix.time == 0) return std::nullopt;
  if (fix.time < 0 || fix.time >= 86400) return fix.time;
  const std::int64_t now = std::time(nullptr);
  std::int64_t t = now - now % 86400 + fix.time;
  if (t - now > 12 * 3600) t -= 86400;
  return t;
}

platform::GpxPoint pointOf(const GpsFix& fix) {
  platform::GpxPoint point;
  point.latitude = fix.latitude.get();
  point.longitude = fix.longitude.get();
  if (fix.altitude.has()) point.elevation = fix.altitude.get();
  point.time = fixTime(fix);
  point.milliseconds = fix.milliseconds >= 0 && fix.milliseconds <= 999 ? fix.milliseconds : 0;
  if (fix.speed.has()) point.speed = fix.speed.get() / 3.6;
  if (fix.course.has()) point.course = fix.course.get();
  return point;
}

// Whether text is a whole track this recorder wrote, ending in its closing tags.
bool isOurTrack(std::string_view text) {
  if (!text.ends_with(kTail)) return false;
  pugi::xml_document document;
  if (!document.load_buffer(text.data(), text.size(), pugi::parse_default, pugi::encoding_utf8))
    return false;
  const pugi::xml_node gpx = document.document_element();
  return std::string_view(gpx.name()) == "gpx" &&
         std::string_view(gpx.attribute("creator").value()) == "Tivra" &&
         std::string_view(gpx.last_child().name()) == "trk" &&
         std::string_view(gpx.last_child().last_child().name()) == "trkseg";
}

}  // namespace

TrackRecorder::TrackRecorder() = default;

TrackRecorder::~TrackRecorder() {
  {
    std::lock_guard lock(m_mutex);
    m_stopping = true;
  }
  m_wake.notify_all();
  if (m_syncer.joinable()) m_syncer.join();
  close();
}

bool TrackRecorder::isOpen() const {
  std::lock_guard lock(m_mutex);
  return m_file.valid();
}

std::string TrackRecorder::failure() const {
  std::lock_guard lock(m_mutex);
  return m_failure;
}

bool TrackRecorder::writeAt(std::uint64_t offset, std::string_view text) {
  while (!text.empty()) {
    const ssize_t n = ::pwrite(m_file.get(), text.data(), text.size(), static_cast<off_t>(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    text.remove_prefix(static_cast<std::size_t>(n));
    offset += static_cast<std::uint64_t>(n);
  }
  return true;
}

bool TrackRecorder::open(const std::filesystem::path& file, std::string& error) {
  close();
  // Only a page that records needs the thread; it then lives as long as the recorder.
  if (!m_syncer.joinable()) m_syncer = std::thread([this] { syncLoop(); });
  platform::UniqueFd fd(::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOCTTY, 0644));
  if (!fd) {
    error = "cannot open " + file.string() + ": " + describeErrno(errno);
    return false;
  }
  struct stat info {};
  if (::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode)) {
    error = file.string() + " is not a regular file";
    return false;
  }
  // Two recorders in one file would write over each other's points.
  if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
    error = file.string() + " is being recorded into by another program";
    return false;
  }
  const auto size = static_cast<std::uint64_t>(info.st_size);
  std::string text;
  std::uint64_t offset = 0;
  if (size == 0) {
    platform::appendGpxHead(text, "Tivra", "");
    text += " <trk>\n  <name>";
    text += kTrackName;
    text += "</name>\n";
  } else {
    if (size > kMaxExistingBytes) {
      error = file.string() + " is too large to add to; record into a new file";
      return false;
    }
    std::string existing(size, '\0');
    if (::pread(fd.get(), existing.data(), existing.size(), 0) != static_cast<ssize_t>(size)) {
      error = "cannot read " + file.string();
      return false;
    }
    if (!isOurTrack(existing)) {
      error = file.string() +
              " exists and is not a track recorded by Tivra; it is left as it is (choose another "
              "file)";
      return false;
    }
    offset = size - kTrackTail.size();
  }
  text += kSegmentOpen;
  const std::uint64_t tail = offset + text.size();
  text += kTail;
  std::lock_guard lock(m_mutex);
  m_file = std::move(fd);
  if (!writeAt(offset, text) || ::fdatasync(m_file.get()) != 0) {
    error = "cannot write " + file.string() + ": " + describeErrno(errno);
    m_file.reset();
    return false;
  }
  m_tailOffset = tail;
  m_dirty = false;
  m_lastSync = std::chrono::steady_clock::now();
  m_failure.clear();
  return true;
}

void TrackRecorder::close() {
  std::lock_guard lock(m_mutex);
  if (!m_file) return;
  if (m_dirty) ::fdatasync(m_file.get());
  m_file.reset();
  m_dirty = false;
}

void TrackRecorder::fixPublished(const GpsFix& fix) {
  if (!fix.hasPosition || !std::isfinite(fix.latitude.get()) ||
      !std::isfinite(fix.longitude.get()) || !onGlobe(fix.latitude.get(), fix.longitude.get()))
    return;
  std::string text;
  platform::appendGpxPoint(text, "trkpt", pointOf(fix), "   ");
  const std::size_t pointSize = text.size();
  text += kTail;
  std::lock_guard lock(m_mutex);
  if (!m_file) return;
  if (!writeAt(m_tailOffset, text)) {
    // The closing tags are shorter than what failed: try to put them back, and stop.
    m_failure = describeErrno(errno);
    if (writeAt(m_tailOffset, kTail))
      (void)::ftruncate(m_file.get(), static_cast<off_t>(m_tailOffset + kTail.size()));
    ::fdatasync(m_file.get());
    m_file.reset();
    return;
  }
  m_tailOffset += pointSize;
  m_dirty = true;
  const auto now = std::chrono::steady_clock::now();
  if (now - m_lastSync >= kSyncInterval) {
    ::fdatasync(m_file.get());
    m_dirty = false;
    m_lastSync = now;
  }
}

void TrackRecorder::syncLoop() {
  std::unique_lock lock(m_mutex);
  while (!m_stopping) {
    // Points that came just after a sync are synced by this loop when no further point
    // comes to do it.
    if (m_wake.wait_for(lock, std::chrono::seconds(1), [this] { return m_stopping; })) break;
    const auto now = std::chrono::steady_clock::now();
    if (m_file && m_dirty && now - m_lastSync >= kSyncInterval - std::chrono::seconds(1)) {
      ::fdatasync(m_file.get());
      m_dirty = false;
      m_lastSync = now;
    }
  }
}

}  // namespace tivra::gps
