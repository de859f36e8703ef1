// GPX track files are outside input: the bytes through the track parser, cut in two at a point
// the input chooses, and each fix it published written back as a recorded point.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "gps/gpx_track_parser.h"
#include "platform/gpx.h"

namespace {

class NoClock final : public tivra::gps::PacingClock {
 public:
  std::int64_t nowMs() override { return 0; }
  void sleepMs(std::int64_t) override {}
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace tivra::gps;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  NoClock clock;
  GpsData track;
  // A time factor makes the pacing arithmetic run; the clock never sleeps.
  GpxTrackParser parser(track, 1.0, clock);
  const std::size_t cut = size == 0 ? 0 : data[0] % size;
  parser.processLine(text.substr(0, cut));
  parser.processLine(text.substr(cut));
  std::string out;
  for (const GpsFix& fix : track.history) {
    tivra::platform::GpxPoint point;
    point.latitude = fix.latitude.get();
    point.longitude = fix.longitude.get();
    if (fix.altitude.has()) point.elevation = fix.altitude.get();
    if (fix.time != 0) point.time = fix.time;
    point.milliseconds = fix.milliseconds;
    tivra::platform::appendGpxPoint(out, "trkpt", point, " ");
  }
  (void)tivra::platform::parseXmlTime(text);
  return 0;
}
