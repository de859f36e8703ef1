// NMEA parsing speed: a log of at least 100 MB (the demo recording repeated with rising times)
// through NmeaParser with its history, and the same file through gpsbabel when it is installed.
// Reports MB/s and sentences/s for both, their ratio, and the memory the history holds per fix.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "gps/line_splitter.h"
#include "gps/nmea_parser.h"
#include "platform/resources.h"

namespace {

using namespace tivra;

class NoClock final : public gps::PacingClock {
 public:
  std::int64_t nowMs() override { return 0; }
  void sleepMs(std::int64_t) override {}
};

std::string withChecksum(const std::string& body) {
  unsigned sum = 0;
  for (char c : body) sum ^= static_cast<unsigned char>(c);
  char tail[8];
  std::snprintf(tail, sizeof tail, "*%02X\r\n", sum);
  return "$" + body + tail;
}

// The demo's sentences, each copy shifted by whole hours so times keep rising; the date rolls
// with the hour count so the file never repeats a time.
struct BigLog {
  std::filesystem::path path;
  std::size_t bytes = 0;
  std::size_t sentences = 0;
};

BigLog makeBigLog(std::size_t minBytes) {
  const auto demo =
      platform::findResource(platform::ResourceType::Nmea, platform::kResourceDemoRecording);
  std::vector<std::string> lines;
  std::istringstream in(std::string(reinterpret_cast<const char*>(demo.data()), demo.size()));
  for (std::string line; std::getline(in, line);) {
    while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.pop_back();
    if (line.size() > 1 && line[0] == '$') lines.push_back(line.substr(1, line.find('*') - 1));
  }
  BigLog log;
  log.path = std::filesystem::temp_directory_path() / "tivra-nmea-bench.nmea";
  std::ofstream out(log.path, std::ios::binary);
  for (int copy = 0; log.bytes < minBytes; ++copy) {
    const int hour = copy % 24;
    const int day = 1 + (copy / 24) % 28;
    const int month = 1 + (copy / (24 * 28)) % 12;
    char date[32];
    std::snprintf(date, sizeof date, "%02d%02d%02d", day, month,
                  (10 + copy / (24 * 28 * 12)) % 100);
    for (std::string body : lines) {
      // hhmmss after the first comma of GGA and RMC; the recording starts at 02:15.
      if (body.compare(2, 3, "GGA") == 0 || body.compare(2, 3, "RMC") == 0) {
        char hh[16];
        std::snprintf(hh, sizeof hh, "%02d", hour);
        body.replace(body.find(',') + 1, 2, hh);
      }
      if (body.compare(2, 3, "RMC") == 0) {
        std::size_t at = 0;
        for (int i = 0; i < 9; ++i) at = body.find(',', at) + 1;
        body.replace(at, 6, date);
      }
      const std::string line = withChecksum(body);
      out << line;
      log.bytes += line.size();
      ++log.sentences;
    }
  }
  return log;
}

// MB/s of each side, for the ratio printed at the end.
double g_parserRate = 0;
double g_gpsbabelRate = 0;

double elapsedSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

const BigLog& bigLog() {
  static const BigLog log = makeBigLog(100u << 20);
  return log;
}

void BM_NmeaParser(benchmark::State& state) {
  const BigLog& log = bigLog();
  std::ifstream in(log.path, std::ios::binary);
  const std::string text((std::istreambuf_iterator<char>(in)), {});
  std::size_t fixes = 0;
  const auto start = std::chrono::steady_clock::now();
  for (auto _ : state) {
    gps::GpsData data;
    NoClock clock;
    gps::NmeaParser parser(data, 0.0, clock);
    gps::LineSplitter splitter;
    for (std::size_t pos = 0; pos < text.size(); pos += 4096)
      splitter.append(std::string_view(text).substr(pos, 4096),
                      [&](std::string_view line) { parser.processLine(line); });
    fixes = data.history.size();
    state.counters["history_bytes_per_fix"] =
        static_cast<double>(data.history.capacity() * sizeof(gps::GpsFix)) /
        static_cast<double>(std::max<std::size_t>(fixes, 1));
  }
  state.counters["MB/s"] = benchmark::Counter(
      static_cast<double>(log.bytes) / 1e6 * static_cast<double>(state.iterations()),
      benchmark::Counter::kIsRate);
  state.counters["sentences/s"] = benchmark::Counter(
      static_cast<double>(log.sentences * state.iterations()), benchmark::Counter::kIsRate);
  g_parserRate = static_cast<double>(log.bytes) / 1e6 * static_cast<double>(state.iterations()) /
                 elapsedSince(start);
  state.counters["fixes"] = static_cast<double>(fixes);
  state.counters["sizeof_GpsFix"] = sizeof(gps::GpsFix);
}
BENCHMARK(BM_NmeaParser)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

// gpsbabel reads the same file into its own waypoint list (Debian package gpsbabel).
void BM_Gpsbabel(benchmark::State& state) {
  if (std::system("command -v gpsbabel >/dev/null 2>&1") != 0) {
    state.SkipWithError("gpsbabel is not installed");
    return;
  }
  const BigLog& log = bigLog();
  const std::string command =
      "gpsbabel -i nmea -f " + log.path.string() + " -o unicsv -F /dev/null 2>/dev/null";
  const auto start = std::chrono::steady_clock::now();
  for (auto _ : state) {
    if (std::system(command.c_str()) != 0) state.SkipWithError("gpsbabel failed");
  }
  g_gpsbabelRate = static_cast<double>(log.bytes) / 1e6 * static_cast<double>(state.iterations()) /
                   elapsedSince(start);
  state.counters["MB/s"] = benchmark::Counter(
      static_cast<double>(log.bytes) / 1e6 * static_cast<double>(state.iterations()),
      benchmark::Counter::kIsRate);
  state.counters["sentences/s"] = benchmark::Counter(
      static_cast<double>(log.sentences * state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_Gpsbabel)->Unit(benchmark::kMillisecond)->Iterations(1)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  std::printf("log: %zu bytes, %zu sentences\n", bigLog().bytes, bigLog().sentences);
  if (g_parserRate > 0 && g_gpsbabelRate > 0)
    std::printf("NmeaParser %.1f MB/s, gpsbabel %.1f MB/s: %.1f times gpsbabel's speed\n",
                g_parserRate, g_gpsbabelRate, g_parserRate / g_gpsbabelRate);
  benchmark::Shutdown();
  std::filesystem::remove(bigLog().path);
  return 0;
}
