// GPX tracks: played through the real file source, paced by their times, and recorded.
#include <gtest/gtest.h>

#include <condition_variable>
#include <fstream>
#include <mutex>
#include <pugixml.hpp>

#include "gps/gps_source.h"
#include "gps/gpx_track_parser.h"
#include "gps/track_recorder.h"
#include "support/process.h"
#include "support/temp_dir.h"

namespace tivra::gps {
namespace {

using namespace std::chrono_literals;

class EndEvents final : public GpsEvents {
 public:
  void dataStarted() override {}
  void dataStopped() override {
    std::lock_guard lock(m_mutex);
    m_ended = true;
    m_changed.notify_all();
  }
  void pointsRefused(std::size_t count) override { m_refused = count; }
  bool waitForEnd() {
    std::unique_lock lock(m_mutex);
    return m_changed.wait_for(lock, 10s, [&] { return m_ended; });
  }
  std::size_t refused() const { return m_refused; }

 private:
  std::mutex m_mutex;
  std::condition_variable m_changed;
  bool m_ended = false;
  std::atomic<std::size_t> m_refused = 0;
};

std::string gpx(std::string_view points) {
  return "<?xml version=\"1.0\"?>\n<gpx version=\"1.1\" creator=\"x\" "
         "xmlns=\"http://www.topografix.com/GPX/1/1\">\n<trk><trkseg>\n" +
         std::string(points) + "\n</trkseg></trk></gpx>\n";
}

// The last point of a file never enters the history (a fix is published when the next begins),
// so every case ends with this one.
constexpr std::string_view kLast = "<trkpt lat=\"1\" lon=\"1\"/>";

struct PlaybackCase {
  const char* name;
  std::string points;
  // "lat,lon,time,ms,altitude" of each fix in the history; altitude -999 when unset.
  std::vector<std::string> history;
  std::size_t refused;
};

class GpxPlayback : public ::testing::TestWithParam<PlaybackCase> {};

TEST_P(GpxPlayback, HistoryHoldsTheGoodPointsAndTheBadAreCounted) {
  test::TempDir dir;
  std::ofstream(dir / "t.GPX", std::ios::binary) << gpx(GetParam().points + std::string(kLast));
  EndEvents events;
  auto source = GpsSource::openFile(dir / "t.GPX", 0.0, events);
  ASSERT_TRUE(source);
  ASSERT_TRUE(events.waitForEnd());
  std::vector<std::string> history;
  for (const GpsFix& fix : source->data().history) {
    char line[160];
    std::snprintf(line, sizeof line, "%.6f,%.6f,%d,%d,%.1f", fix.latitude.get(),
                  fix.longitude.get(), fix.time, fix.milliseconds, fix.altitude.get());
    history.emplace_back(line);
  }
  EXPECT_EQ(history, GetParam().history);
  EXPECT_EQ(events.refused(), GetParam().refused);
}

INSTANTIATE_TEST_SUITE_P(
    Files, GpxPlayback,
    ::testing::Values(
        PlaybackCase{
            "TimesElevationsAndOffsets",
            "<trkpt lat=\"39.9\" lon=\"116.4\"><ele>44.5</ele>"
            "<time>2009-10-17T18:37:26Z</time></trkpt>\n"
            "<trkpt lon=\"-116.4\" lat=\"-39.9\">\n <time>2009-10-18T02:37:27.25+08:00</time>"
            "<extensions><x:speed>3</x:speed></extensions></trkpt>",
            {"39.900000,116.400000,1255804646,0,44.5",
             "-39.900000,-116.400000,1255804647,250,-999.0"},
            0},
        PlaybackCase{"WithoutTimeShownWithoutOne",
                     "<trkpt lat=\"10\" lon=\"20\"/><trkpt lat=\"11\" lon=\"20\">"
                     "<time>yesterday</time></trkpt>",
                     {"10.000000,20.000000,0,0,-999.0", "11.000000,20.000000,0,0,-999.0"},
                     0},
        PlaybackCase{"HostileValuesRefused",
                     "<trkpt lat=\"nan\" lon=\"1\"/><trkpt lat=\"95\" lon=\"1\"/>"
                     "<trkpt lat=\"1\" lon=\"1e999\"/><trkpt lat=\"1\"/>"
                     "<trkpt lat=\"1x\" lon=\"2\"/><trkpt lat=\"1\" lon=\"2\"><ele>high</ele>"
                     "</trkpt><trkpt lat=\"1\" lon=\"2\"><ele>1</ele</trkpt>"
                     "<trkpt lat=\"2\" lon=\"3\"><time>9999-12-31T23:59:59Z</time></trkpt>",
                     {"2.000000,3.000000,0,0,-999.0"},
                     7},
        PlaybackCase{"OnlyTrackPointsAreATrack",
                     "<wpt lat=\"5\" lon=\"5\"/><rte><rtept lat=\"6\" lon=\"6\"/></rte>"
                     "<trkptx lat=\"7\" lon=\"7\"/><!-- --><trkpt\tlat=\"8\" lon=\"8\"/>",
                     {"8.000000,8.000000,0,0,-999.0"},
                     0},
        PlaybackCase{"AnEndlessPointIsCutAtItsBound",
                     "<trkpt lat=\"9\" lon=\"9\"><desc>" + std::string(70000, 'x') +
                         "</desc></trkpt><trkpt lat=\"8\" lon=\"8\"/>",
                     {"8.000000,8.000000,0,0,-999.0"},
                     1}),
    [](const auto& param) { return std::string(param.param.name); });

class RecordingClock final : public PacingClock {
 public:
  std::int64_t nowMs() override { return m_now; }
  void sleepMs(std::int64_t ms) override {
    sleeps.push_back(ms);
    m_now += ms;
  }
  std::vector<std::int64_t> sleeps;

 private:
  std::int64_t m_now = 0;
};

// Bytes one at a time, as a slow pipe might give them: the same points, paced by their times.
TEST(GpxPacing, RecordedGapsDividedByTheTimeFactorInAnyCutting) {
  const std::string text =
      gpx("<trkpt lat=\"1\" lon=\"1\"><time>2020-01-01T00:00:00Z</time></trkpt>"
          "<trkpt lat=\"2\" lon=\"1\"><time>2020-01-01T00:00:02Z</time></trkpt>"
          "<trkpt lat=\"3\" lon=\"1\"><time>2020-01-01T00:00:03.5Z</time></trkpt>");
  GpsData data;
  RecordingClock clock;
  GpxTrackParser parser(data, 2.0, clock);
  for (const char c : text) parser.processLine(std::string_view(&c, 1));
  EXPECT_EQ(clock.sleeps, (std::vector<std::int64_t>{1000, 750}));
  EXPECT_EQ(data.history.size(), 2u);
  EXPECT_EQ(parser.refusedPoints(), 0u);
}

GpsFix fixAt(double latitude, double longitude, std::int32_t time) {
  GpsFix fix;
  fix.latitude = latitude;
  fix.longitude = longitude;
  fix.time = time;
  fix.altitude = 12.5;
  fix.speed = 36.0;
  fix.course = 90.0;
  fix.hasPosition = true;
  return fix;
}

struct ExistingCase {
  const char* name;
  const char* existing;  // nullptr: no file; "ours": a track recorded before
  bool opens;
  std::size_t segments;
};

class RecordInto : public ::testing::TestWithParam<ExistingCase> {};

TEST_P(RecordInto, NeverDestroysAnExistingFile) {
  test::TempDir dir;
  const auto file = dir / "track.gpx";
  const ExistingCase& c = GetParam();
  if (c.existing != nullptr && std::string_view(c.existing) == "ours") {
    TrackRecorder before;
    std::string error;
    ASSERT_TRUE(before.open(file, error)) << error;
    before.fixPublished(fixAt(1, 2, 1600000000));
  } else if (c.existing != nullptr) {
    std::ofstream(file, std::ios::binary) << c.existing;
  }
  const std::string old = std::filesystem::exists(file) ? test::readFile(file) : "";
  TrackRecorder recorder;
  std::string error;
  ASSERT_EQ(recorder.open(file, error), c.opens) << error;
  recorder.fixPublished(fixAt(3, 4, 1600000001));
  GpsFix noPosition = fixAt(5, 6, 1600000002);
  noPosition.hasPosition = false;
  recorder.fixPublished(noPosition);
  recorder.close();
  if (!c.opens) {
    EXPECT_NE(error.find("not a track recorded by Tivra"), std::string::npos) << error;
    EXPECT_EQ(test::readFile(file), old);
    return;
  }
  pugi::xml_document document;
  ASSERT_TRUE(document.load_file(file.c_str()));
  EXPECT_EQ(document.select_nodes("/gpx/trk/trkseg").size(), c.segments);
  const auto last = document.select_node("/gpx/trk/trkseg[last()]/trkpt").node();
  EXPECT_EQ(last.attribute("lat").as_double(), 3.0);
  EXPECT_STREQ(last.child_value("time"), "2020-09-13T12:26:41Z");
  EXPECT_STREQ(last.child_value("ele"), "12.5");
  EXPECT_STREQ(
      last.child("extensions").child("gpxtpx:TrackPointExtension").child_value("gpxtpx:speed"),
      "10.00");
  EXPECT_EQ(document.select_nodes("//trkpt").size(), c.segments);
}

INSTANTIATE_TEST_SUITE_P(Files, RecordInto,
                         ::testing::Values(ExistingCase{"NewFile", nullptr, true, 1},
                                           ExistingCase{"EmptyFile", "", true, 1},
                                           ExistingCase{"OurTrackGetsASegment", "ours", true, 2},
                                           ExistingCase{
                                               "ForeignGpx",
                                               "<gpx version=\"1.1\" creator=\"x\"><trk><trkseg>"
                                               "</trkseg></trk></gpx>\n",
                                               false, 0},
                                           ExistingCase{"Text", "notes\n", false, 0}),
                         [](const auto& param) { return std::string(param.param.name); });

}  // namespace
}  // namespace tivra::gps
