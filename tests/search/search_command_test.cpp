// `tivra search` and `tivra route` as processes against the fake services.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <fstream>

#include "platform/text.h"
#include "search/local_search.h"
#include "search/result_kml.h"
#include "search/route.h"
#include "store/store.h"
#include "store/tile_cache.h"
#include "support/fake_services.h"
#include "support/golden.h"
#include "support/process.h"
#include "support/temp_dir.h"
#include "tiles/gcj02.h"
#include "tiles/offset.h"

namespace tivra::search {
namespace {

using namespace std::chrono_literals;

const char* const kAnswer =
    "<Poi id=\"1\"><Na v=\"A&B\"/><Geo lo=\"11640000\" la=\"3990000\"/></Poi>";
const char* const kRouteAnswer =
    "var r=[\"11640000,3990000,go;\",\"11640000,3990000;\",\"5\",\"1\",\"km\"]";

class CommandTest : public ::testing::Test {
 protected:
  CommandTest() {
    m_search.setAnswer(kAnswer);
    m_route.setDefaultAnswer(kRouteAnswer);
    std::ofstream(m_dir / "Tivra.ini", std::ios::binary)
        << "[settings]\r\nSearchHost=" << m_search.host() << "\r\nRouteHost=" << m_route.host()
        << "\r\nDetailHost=detail.test\r\nIconHost=http://icons.test\r\n"
        << "CameraLongitude=116.5\r\nCameraLatitude=39.8\r\nCameraRange=2500\r\n";
  }
  // Runs tivra with args and the data directory; the exit status. With smallFiles no file it
  // writes may grow beyond 512 bytes (the write fails instead).
  int run(std::vector<std::string> args, bool smallFiles = false) {
    args.insert(args.end(), {"--data-dir", m_dir.path().string()});
    if (smallFiles) {
      args.insert(args.begin(),
                  {"-c", "ulimit -f 1 && trap '' XFSZ && exec \"$0\" \"$@\"", TIVRA_BINARY});
    }
    test::Process p(smallFiles ? "/bin/sh" : TIVRA_BINARY, args, {}, m_dir / "stderr.txt");
    return p.wait(60s).value_or(-1);
  }
  void addSetting(std::string_view line) {
    std::ofstream(m_dir / "Tivra.ini", std::ios::binary | std::ios::app) << line << "\r\n";
  }
  std::string err() const { return test::readFile(m_dir / "stderr.txt"); }

  test::FakeSearchService m_search;
  test::FakeRouteService m_route;
  test::TempDir m_dir;
};

TEST_F(CommandTest, SearchWritesTheDocumentTheGlobeWouldGet) {
  ASSERT_EQ(run({"search", "北京", "咖啡 馆", "-o", (m_dir / "out.kml").string()}), 0) << err();
  EXPECT_EQ(test::readFile(m_dir / "out.kml"),
            BuildResultKml(parseSearchAnswer(test::gbk(kAnswer), nullptr),
                           {"http://icons.test", "http://detail.test"}));
  EXPECT_EQ(m_search.targets(),
            (std::vector<std::string>{"/LocalSearch?LocalSearch&city=%B1%B1%BE%A9&words=%BF%A7%B7%"
                                      "C8%20%B9%DD&areaNum=1&showName=1&pagecap=100&radius=5000"}));
  ASSERT_EQ(run({"search", "上海", "x", "--within-view", "-o", (m_dir / "out.kml").string()}), 0);
  EXPECT_NE(m_search.targets().back().find("&area=POINT(11650000%203979999)&words=x&showName=1"
                                           "&pagecap=100&radius=2500"),
            std::string::npos)
      << m_search.targets().back();
}

TEST_F(CommandTest, RouteUsesTheStoredOffsetsAndRefusesALockedStore) {
  {
    store::StorePtr s = store::store_open(m_dir / "TivraCache", store::kModeReadWrite);
    ASSERT_TRUE(s);
    store::LocationMap map;
    tiles::StoreOffset(map, PointE5{11640000, 3990000}, PointE5{-100, 200}, true);
    ASSERT_EQ(store::saveLocationEntry(s.get(), map.serialize()), 1);
    // A running Tivra holds the store for writing: its offsets cannot be read.
    EXPECT_EQ(run({"route", "116.4,39.9", "116.41,39.905"}), 1);
    EXPECT_NE(err().find("cannot open the tile store"), std::string::npos) << err();
    EXPECT_TRUE(m_route.targets().empty());
    ASSERT_EQ(store::store_close(std::move(s)), 0);
  }
  ASSERT_EQ(run({"route", "116.4,39.9", "116.41,39.905", "--via", "116.405,39.902", "-o",
                 (m_dir / "route.kml").string()}),
            0)
      << err();
  ASSERT_EQ(m_route.targets().size(), 2u);
  EXPECT_NE(m_route.targets()[0].find("&p1=11640100,3989800&"), std::string::npos)
      << m_route.targets()[0];
  EXPECT_TRUE(
      test::readFile(m_dir / "route.kml")
          .starts_with(
              "<kml xmlns=\"http://earth.google.com/kml/2.1\">\n<Document>\n<name>Navigate</name>\n"
              "<description>&lt;i&gt; 从116.4,39.9到116.41,39.905&lt;/i&gt;</description>\n"));
}

// 65 characters of two bytes each in code page 936: 130 bytes.
std::string longKeyword() {
  std::string k;
  for (int i = 0; i < 65; ++i) k += "字";
  return k;
}

struct BadCase {
  const char* name;
  std::vector<std::string> args;
  int status;
  const char* message;
};
class CommandFailureTest : public CommandTest, public ::testing::WithParamInterface<BadCase> {};

TEST_P(CommandFailureTest, ExitsWithAStatusAndOneReason) {
  m_search.setAnswer("");
  m_route.setDefaultAnswer("not var");
  EXPECT_EQ(run(GetParam().args), GetParam().status);
  EXPECT_NE(err().find(GetParam().message), std::string::npos) << err();
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CommandFailureTest,
    ::testing::Values(
        BadCase{"UnknownCity", {"search", "纽约", "x"}, 2, "unknown city"},
        BadCase{"LongKeyword", {"search", "北京", longKeyword()}, 2, "128 bytes"},
        BadCase{"NoGbkForm", {"search", "北京", "\xF0\x9F\x98\x80"}, 2, "code page 936"},
        BadCase{"MissingKeyword", {"search", "北京"}, 2, "CITY and KEYWORD"},
        BadCase{"EmptyAnswer", {"search", "北京", "x"}, 1, ": an empty answer"},
        BadCase{"BadStart", {"route", "116.4", "1,2"}, 2, "START must be"},
        // Decimal degrees only: what the check accepts is what the route reads.
        BadCase{"HexStart", {"route", "0x10,20", "1,2"}, 2, "START must be"},
        BadCase{"ExponentEnd", {"route", "1,2", "1e1,2"}, 2, "END must be"},
        BadCase{"BlankInVia", {"route", "1,2", "3,4", "--via", " 1,2"}, 2, "--via must be"},
        BadCase{"BadVia", {"route", "1,2", "3,4", "--via", "1,2;"}, 2, "--via must be"},
        BadCase{"RouteRefused",
                {"route", "1,2", "3,4"},
                1,
                "leg 1 of 1 (1,2 to 3,4) failed: answer does not begin with var"},
        BadCase{"UnknownOption", {"route", "1,2", "3,4", "--fast"}, 2, "unknown option"},
        BadCase{"UnknownFormat",
                {"search", "北京", "x", "--format", "kmz"},
                2,
                "unknown format \"kmz\""}),
    [](const auto& param) { return std::string(param.param.name); });

struct ServiceFailure {
  const char* name;
  int status;
  const char* body;
  const char* reason;
};
class SearchServiceFailureTest : public CommandTest,
                                 public ::testing::WithParamInterface<ServiceFailure> {};

// An error page is a failed download, never zero hits; nothing is written.
TEST_P(SearchServiceFailureTest, ExitsNamingTheHostAndWhy) {
  m_search.setAnswer(GetParam().body, GetParam().status);
  EXPECT_EQ(run({"search", "北京", "x", "-o", (m_dir / "out.kml").string()}), 1);
  EXPECT_EQ(err(),
            "tivra: the search service at " + m_search.host() + ": " + GetParam().reason + "\n");
  EXPECT_FALSE(std::filesystem::exists(m_dir / "out.kml"));
}

INSTANTIATE_TEST_SUITE_P(Answers, SearchServiceFailureTest,
                         ::testing::Values(ServiceFailure{"ServerError", 500, kAnswer,
                                                          "HTTP status 500"},
                                           ServiceFailure{"NotFound", 404, "", "HTTP status 404"},
                                           ServiceFailure{"Nothing", 0, "", "no answer"}),
                         [](const auto& param) { return std::string(param.param.name); });

TEST_F(CommandTest, RouteWritesTheLegsThatCameAndNamesThoseThatFailed) {
  m_route.setLegAnswer(
      "999,1999", "2999,3999",
      test::routeAnswer("999,1999,a;2999,3999,b;", "999,1999;2999,3999;", "5", "1", "km"));
  m_route.setLegAnswer("2999,3999", "5000,5999", "not var");
  m_route.setLegAnswer("5000,5999", "7000,7999", kRouteAnswer, 500);
  m_route.setLegAnswer("7000,7999", "9000,10000", "", 0);
  const auto out = m_dir / "route.kml";
  ASSERT_EQ(run({"route", "0.01,0.02", "0.09,0.10", "--via", "0.03,0.04;0.05,0.06;0.07,0.08", "-o",
                 out.string()}),
            1);
  const std::string leg = "tivra: the route service at " + m_route.host() + ": leg ";
  EXPECT_EQ(err(), leg +
                       "2 of 4 (0.03,0.04 to 0.05,0.06) failed: answer does not begin with var\n" +
                       leg + "3 of 4 (0.05,0.06 to 0.07,0.08) failed: HTTP status 500\n" + leg +
                       "4 of 4 (0.07,0.08 to 0.09,0.10) failed: no answer\n");
  // The document of the first leg, as the navigation page would load it.
  EXPECT_TRUE(test::matchesGolden(test::readFile(out), "search/route_partial.kml"));
}

TEST_F(CommandTest, TheOffsetModelShiftsRequestsAndResultsAsTheOverlay) {
  addSetting("OffsetModel=gcj02");
  const auto out = m_dir / "out.kml";
  const auto coordinates = [](PointE5 map) {
    const PointE5 off = tiles::gcj02Offset(map);
    return platform::format("<coordinates>%f,%f,0</coordinates>", (map.x + off.x) * 0.00001,
                            (map.y + off.y) * 0.00001);
  };
  ASSERT_EQ(run({"search", "北京", "x", "--within-view", "-o", out.string()}), 0) << err();
  const PointE5 centre = DegreesToE5(116.5, 39.8);
  const PointE5 off = tiles::gcj02Offset(centre);
  EXPECT_NE(m_search.targets().back().find(
                platform::format("&area=POINT(%d%%20%d)&", centre.x - off.x, centre.y - off.y)),
            std::string::npos)
      << m_search.targets().back();
  EXPECT_NE(test::readFile(out).find(coordinates({11640000, 3990000})), std::string::npos);

  ASSERT_EQ(run({"route", "116.4,39.9", "116.41,39.905", "-o", out.string()}), 0) << err();
  const PointE5 start = DegreesToE5(116.4, 39.9);
  const PointE5 startOff = tiles::gcj02Offset(start);
  EXPECT_NE(m_route.targets().back().find(
                platform::format("&p1=%d,%d&", start.x - startOff.x, start.y - startOff.y)),
            std::string::npos)
      << m_route.targets().back();
  EXPECT_NE(test::readFile(out).find(coordinates({11640000, 3990000})), std::string::npos);
}

TEST_F(CommandTest, AnswersCutByOurLimitsAreReported) {
  std::string hits;
  for (std::size_t i = 0; i <= kMaxRecords; ++i) hits += "<Poi id=\"1\"></Poi>";
  m_search.setAnswer(hits);
  const auto out = m_dir / "out.kml";
  ASSERT_EQ(run({"search", "北京", "x", "-o", out.string()}), 0) << err();
  EXPECT_EQ(err(),
            "tivra: the answer holds more than 10000 hits; only the first 10000 are written\n");
  EXPECT_NE(test::readFile(out).find("<description>搜索结果超过10000项"), std::string::npos);

  std::string steps;
  for (std::size_t i = 0; i <= kMaxRouteSteps; ++i) steps += "11640000,3990000,a;";
  m_route.setDefaultAnswer(test::routeAnswer(steps, "", "5", "1", "km"));
  ASSERT_EQ(run({"route", "116.4,39.9", "116.41,39.905", "-o", out.string()}), 0) << err();
  EXPECT_EQ(err(),
            "tivra: leg 1 of 1 (116.4,39.9 to 116.41,39.905) has more than 65536 steps; only the "
            "first 65536 are written\n");
  EXPECT_NE(test::readFile(out).find("部分路段超过65536步"), std::string::npos);
}

// Where -o FILE points, and whether the write fails midway (the file size limit).
struct OutputCase {
  const char* name;
  bool link;    // FILE is a symbolic link to real.kml
  bool exists;  // the file written (real.kml, or FILE itself) exists beforehand
  bool fails;
};
class OutputTest : public CommandTest, public ::testing::WithParamInterface<OutputCase> {};

// What the user had is replaced only by a whole document, and a link stays a link.
TEST_P(OutputTest, ReplacesTheFileOnlyWhenComplete) {
  const OutputCase& c = GetParam();
  const auto file = m_dir / "out.kml";
  const auto target = c.link ? m_dir / "real.kml" : file;
  if (c.link) std::filesystem::create_symlink("real.kml", file);
  if (c.exists) {
    std::ofstream(target, std::ios::binary) << "precious\n";
    ASSERT_EQ(::chmod(target.c_str(), 0640), 0);
  }
  const int status = run({"search", "北京", "x", "-o", file.string()}, c.fails);
  EXPECT_EQ(status, c.fails ? 1 : 0) << err();
  EXPECT_EQ(std::filesystem::is_symlink(file), c.link);
  if (c.fails) {
    EXPECT_NE(err().find("cannot write " + file.string()), std::string::npos) << err();
    EXPECT_EQ(std::filesystem::exists(target), c.exists);
    if (c.exists) {
      EXPECT_EQ(test::readFile(target), "precious\n");
    }
  } else {
    EXPECT_EQ(test::readFile(target), BuildResultKml(parseSearchAnswer(test::gbk(kAnswer), nullptr),
                                                     {"http://icons.test", "http://detail.test"}));
    struct stat st {};
    ASSERT_EQ(::stat(target.c_str(), &st), 0);
    if (c.exists) {
      EXPECT_EQ(st.st_mode & 07777, 0640u);
    }
  }
  // No temporary file is left beside it.
  std::vector<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(m_dir.path()))
    names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  const bool written = c.exists || !c.fails;
  std::vector<std::string> expected{"Tivra.ini"};
  if (c.link || written) expected.push_back("out.kml");
  if (c.link && written) expected.push_back("real.kml");
  expected.push_back("stderr.txt");
  EXPECT_EQ(names, expected);
}

INSTANTIATE_TEST_SUITE_P(Files, OutputTest,
                         ::testing::Values(OutputCase{"NewFile", false, false, false},
                                           OutputCase{"NewFileFails", false, false, true},
                                           OutputCase{"File", false, true, false},
                                           OutputCase{"FileFails", false, true, true},
                                           OutputCase{"Link", true, true, false},
                                           OutputCase{"LinkFails", true, true, true},
                                           OutputCase{"DanglingLink", true, false, false}),
                         [](const auto& param) { return std::string(param.param.name); });

}  // namespace
}  // namespace tivra::search
