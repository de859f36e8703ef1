#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "gps/line_parser.h"
#include "gps/line_splitter.h"

namespace tivra::gps {
namespace {

namespace fs = std::filesystem;

std::string readFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

class NoClock final : public PacingClock {
 public:
  std::int64_t nowMs() override { return 0; }
  void sleepMs(std::int64_t) override {}
};

// Feeds a whole file through the line splitter in reader-sized chunks, as a file source does.
FixHistory parseFile(const fs::path& path) {
  GpsData data;
  NoClock clock;
  auto parser = makeParser(path.filename().string(), data, 0, clock);
  LineSplitter splitter(4096, parser->sentenceStart());
  const std::string text = readFile(path);
  for (std::size_t pos = 0; pos < text.size(); pos += 99)
    splitter.append(std::string_view(text).substr(pos, 99),
                    [&](std::string_view line) { parser->processLine(line); });
  return data.history;
}

struct Reading {
  double latitude, longitude;
};

// Positions by second of the day from a unicsv file with Latitude, Longitude and Time columns.
void readReference(const fs::path& path, std::multimap<int, Reading>& out) {
  std::ifstream in(path);
  std::string line;
  if (!std::getline(in, line)) return;
  if (!line.empty() && line.back() == '\r') line.pop_back();
  std::vector<std::string> header;
  std::stringstream hs(line);
  for (std::string cell; std::getline(hs, cell, ',');) header.push_back(cell);
  const auto column = [&](std::string_view name) {
    return static_cast<std::size_t>(std::find(header.begin(), header.end(), name) - header.begin());
  };
  const std::size_t lat = column("Latitude"), lon = column("Longitude"), time = column("Time");
  if (time >= header.size()) return;
  while (std::getline(in, line)) {
    std::vector<std::string> cells;
    std::stringstream ls(line);
    for (std::string cell; std::getline(ls, cell, ',');) cells.push_back(cell);
    if (cells.size() <= time) continue;
    int h = 0, m = 0, s = 0;
    if (std::sscanf(cells[time].c_str(), "%d:%d:%d", &h, &m, &s) != 3) continue;
    out.emplace(h * 3600 + m * 60 + s, Reading{std::stod(cells[lat]), std::stod(cells[lon])});
  }
}

// Every fix with a position of its own (a GGA fix with a fix, or any fix of a receiver whose
// positions come from RMC) lies within 1e-6 degrees of a reading of the same second.
void checkAgainstReference(const fs::path& log, const fs::path& refDir) {
  const FixHistory history = parseFile(log);
  std::multimap<int, Reading> reference;
  const std::string name = log.filename().string();
  readReference(refDir / (name + ".rmc.csv"), reference);
  readReference(refDir / (name + ".gga.csv"), reference);
  if (reference.empty()) return;
  // A GGA fix has a quality; without any (none sent, or all refused) the RMC positions count.
  const bool ggaDriven = std::any_of(history.begin(), history.end(),
                                     [](const GpsFix& fix) { return fix.quality > 1; });
  int checked = 0;
  for (const GpsFix& fix : history) {
    if (ggaDriven && fix.quality <= 1) continue;
    const int second = ((fix.time % 86400) + 86400) % 86400;
    const auto [first, last] = reference.equal_range(second);
    bool found = false;
    for (auto it = first; it != last && !found; ++it)
      found = std::fabs(it->second.latitude - fix.latitude.get()) <= 1.0000001e-6 &&
              std::fabs(it->second.longitude - fix.longitude.get()) <= 1.0000001e-6;
    EXPECT_TRUE(found) << name << ": fix at " << second << " s " << fix.latitude.get() << ","
                       << fix.longitude.get();
    ++checked;
  }
  EXPECT_GT(checked, 0) << name;
}

TEST(RealLogs, FixesAgreeWithThePerSentenceReadings) {
  const fs::path dir = fs::path(TIVRA_TEST_DATA_DIR) / "gps";
  for (const char* name : {"bt451.log", "nmea-rtk.log", "beidou-bd.log", "garmin48.log"})
    checkAgainstReference(dir / name, dir);
}

TEST(RealLogs, EverySharedLogAndTrackParsesAndAgrees) {
  const fs::path shared = fs::path(TIVRA_SHARED_TEST_DATA_DIR) / "gps";
  if (!fs::is_directory(shared)) {
    GTEST_SKIP() << "no shared GPS test data at " << shared;
  }
  int logs = 0;
  for (const auto& entry : fs::directory_iterator(shared / "nmea")) {
    if (entry.path().extension() != ".log") continue;
    checkAgainstReference(entry.path(), shared / "ref");
    ++logs;
  }
  EXPECT_GT(logs, 20);
  for (const auto& entry : fs::directory_iterator(shared / "plt")) {
    if (entry.path().extension() != ".plt") continue;
    const FixHistory history = parseFile(entry.path());
    std::multimap<int, Reading> reference;
    readReference(shared / "ref" / (entry.path().filename().string() + ".csv"), reference);
    // The last point is never published; every other one is in the peer's reading, in order.
    if (reference.empty()) continue;
    EXPECT_EQ(history.size() + 1, reference.size()) << entry.path();
  }
}

}  // namespace
}  // namespace tivra::gps
