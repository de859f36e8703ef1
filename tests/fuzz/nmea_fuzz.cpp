// Receiver text and track files are outside input: every line through both parsers, cut the way
// a reader cuts it, with the documents built from whatever they published.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "gps/gps_kml.h"
#include "gps/line_splitter.h"
#include "gps/nmea_parser.h"
#include "gps/plt_track_parser.h"

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
  GpsData nmeaData, pltData;
  // A time factor makes the pacing arithmetic run; the clock never sleeps.
  NmeaParser nmea(nmeaData, 1.0, clock);
  PltTrackParser plt(pltData, 1.0, clock);
  // Each parser with the splitter its source gives it.
  LineSplitter nmeaLines(2048, nmea.sentenceStart()), pltLines(2048, plt.sentenceStart());
  nmeaLines.append(text, [&](std::string_view line) { nmea.processLine(line); });
  pltLines.append(text, [&](std::string_view line) { plt.processLine(line); });
  const GpsDocumentContext context{"http://localhost:11000", "1.kml", "http://icons"};
  for (GpsData* each : {&nmeaData, &pltData}) {
    (void)buildGpsDocument(*each, context, "now");
    (void)buildUpdateDocument(*each, context, 2.0);
    (void)buildSatellitesDocument(*each, context);
  }
  return 0;
}
