// Search and routes from the JSON services of today: polylines, instructions, fake Nominatim,
// Photon and OSRM services over real sockets, and the commands' failure exits.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <optional>
#include <vector>

#include "search/osrm_route.h"
#include "search/place_search.h"
#include "search/polyline.h"
#include "search/route_kml.h"
#include "search/search_page.h"
#include "store/location_map.h"
#include "support/fake_services.h"
#include "support/golden.h"
#include "support/process.h"
#include "support/temp_dir.h"
#include "tiles/offset.h"

namespace tivra::search {
namespace {

using namespace std::chrono_literals;
using Points = std::vector<PointE6>;

std::string dataFile(std::string_view name) {
  return test::readFile(std::filesystem::path(TIVRA_TEST_DATA_DIR) / "search" / name);
}

struct PolylineCase {
  const char* name;
  const char* text;
  std::optional<Points> points;
};
class PolylineTest : public ::testing::TestWithParam<PolylineCase> {};

TEST_P(PolylineTest, DecodesOrRefuses) {
  EXPECT_EQ(decodePolyline6(GetParam().text), GetParam().points);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PolylineTest,
    ::testing::Values(
        PolylineCase{"Empty", "", Points{}},
        // OSRM's documented example: (38.5, -120.2), (40.7, -120.95), (43.252, -126.453).
        PolylineCase{
            "Documented", "_izlhA~rlgdF_{geC~ywl@_kwzCn`{nI",
            Points{{-120200000, 38500000}, {-120950000, 40700000}, {-126453000, 43252000}}},
        PolylineCase{"SmallNegative", "??@A", Points{{0, 0}, {1, -1}}},
        PolylineCase{"LargeDeltas", "|fdtjD|niivI{niivI{~ssmT",
                     Points{{-179999999, -89999999}, {179999999, 89999999}}},
        PolylineCase{"ByteBelowRange", "?!", std::nullopt},
        PolylineCase{"ByteAboveRange", "?\x7f", std::nullopt},
        PolylineCase{"ValueCutOff", "??_", std::nullopt},
        PolylineCase{"LatitudeAlone", "???", std::nullopt},
        PolylineCase{"OffTheGlobe", "agdtjD?", std::nullopt},
        PolylineCase{"MoreThan32Bits", "_______??", std::nullopt}),
    [](const auto& param) { return std::string(param.param.name); });

TEST(PolylineTest, StopsAtItsPointLimit) {
  EXPECT_EQ(decodePolyline6("????", 2), (Points{{0, 0}, {0, 0}}));
  EXPECT_EQ(decodePolyline6("??????", 2), std::nullopt);
}

struct InstructionCase {
  const char* type;
  const char* modifier;
  const char* road;
  int exit;
  const char* text;
};
class InstructionTest : public ::testing::TestWithParam<InstructionCase> {};

TEST_P(InstructionTest, SaysTheManoeuvreInChinese) {
  const InstructionCase& c = GetParam();
  EXPECT_EQ(instructionText(c.type, c.modifier, c.road, c.exit), c.text)
      << c.type << " / " << c.modifier;
}

INSTANTIATE_TEST_SUITE_P(
    Table, InstructionTest,
    ::testing::Values(
        InstructionCase{"turn", "left", "长安街", 0, "左转进入长安街"},
        InstructionCase{"turn", "right", "", 0, "右转"},
        InstructionCase{"turn", "sharp left", "", 0, "向左急转"},
        InstructionCase{"turn", "sharp right", "", 0, "向右急转"},
        InstructionCase{"turn", "slight left", "", 0, "稍向左转"},
        InstructionCase{"turn", "slight right", "", 0, "稍向右转"},
        InstructionCase{"turn", "uturn", "", 0, "掉头"},
        InstructionCase{"turn", "straight", "", 0, "直行"},
        InstructionCase{"continue", "straight", "长安街", 0, "继续直行进入长安街"},
        InstructionCase{"continue", "", "", 0, "继续直行"},
        InstructionCase{"continue", "left", "", 0, "左转"},
        InstructionCase{"new name", "straight", "长安街", 0, "继续行驶进入长安街"},
        InstructionCase{"notification", "", "", 0, "继续行驶"},
        InstructionCase{"depart", "", "长安街", 0, "沿长安街出发"},
        InstructionCase{"depart", "right", "", 0, "出发"},
        InstructionCase{"arrive", "", "", 0, "到达目的地"},
        InstructionCase{"arrive", "left", "", 0, "到达目的地，在左侧"},
        InstructionCase{"arrive", "slight right", "", 0, "到达目的地，在右侧"},
        InstructionCase{"arrive", "straight", "", 0, "到达目的地"},
        InstructionCase{"end of road", "right", "长安街", 0, "在道路尽头右转进入长安街"},
        InstructionCase{"merge", "slight left", "京通快速路", 0, "向左并入京通快速路"},
        InstructionCase{"merge", "", "", 0, "并入主路"},
        InstructionCase{"on ramp", "right", "京藏高速", 0, "右转进入匝道，前往京藏高速"},
        InstructionCase{"on ramp", "straight", "", 0, "进入匝道"},
        InstructionCase{"off ramp", "slight right", "西三环", 0, "稍向右转驶出匝道，进入西三环"},
        InstructionCase{"off ramp", "", "", 0, "驶出匝道"},
        InstructionCase{"fork", "slight left", "G6", 0, "在岔路口靠左进入G6"},
        InstructionCase{"fork", "right", "", 0, "在岔路口靠右"},
        InstructionCase{"fork", "straight", "", 0, "在岔路口直行"},
        InstructionCase{"roundabout", "right", "长安街", 2, "进入环岛，从第2出口驶出进入长安街"},
        InstructionCase{"rotary", "left", "", 0, "进入环岛"},
        InstructionCase{"roundabout turn", "left", "", 0, "在环岛左转"},
        InstructionCase{"exit roundabout", "right", "长安街", 0, "驶出环岛进入长安街"},
        InstructionCase{"exit rotary", "", "", 0, "驶出环岛"},
        InstructionCase{"use lane", "straight", "", 0, "直行"},
        InstructionCase{"use lane", "left", "", 0, "左转"},
        InstructionCase{"teleport", "", "", 0, "继续行驶"}));

// An offset stored where the hits lie and the shifted frame's model: a service of today must
// use neither.
class ShiftedStore {
 protected:
  ShiftedStore() {
    tiles::StoreOffset(m_map, PointE5{11640000, 3990000}, PointE5{-600, 130}, true);
  }
  Offsets offsets() const { return Offsets{&m_map, tiles::OffsetModel::Gcj02}; }
  store::LocationMap m_map;
};

struct PlaceCase {
  const char* name;
  ServiceApi api;
  std::string answer;
  int status;
  const char* golden;   // the document, or nullptr when the search fails
  const char* failure;  // how it fails
  std::size_t refused;
};
class PlaceSearchTest : public ShiftedStore, public ::testing::TestWithParam<PlaceCase> {};

TEST_P(PlaceSearchTest, HitsBecomeTheResultDocumentOrAClearFailure) {
  const PlaceCase& c = GetParam();
  test::FakeJsonService service;
  service.setAnswer(c.answer, c.status);
  const SearchServices services{service.base(),
                                {"http://icons.test", "http://detail.test"},
                                offsets(),
                                c.api,
                                std::make_shared<RequestPacer>()};
  const auto outcome = runSearch(SearchQuery{"北京", "天安门", std::nullopt}, services);
  ASSERT_TRUE(outcome.has_value());
  if (c.golden == nullptr) {
    EXPECT_FALSE(outcome->document.has_value());
    EXPECT_EQ(outcome->failure.value_or("(none)"), c.failure);
    return;
  }
  ASSERT_TRUE(outcome->document.has_value()) << outcome->failure.value_or("");
  EXPECT_TRUE(test::matchesGolden(*outcome->document, c.golden));
  EXPECT_EQ(outcome->notes.refused, c.refused);
}

INSTANTIATE_TEST_SUITE_P(
    Answers, PlaceSearchTest,
    ::testing::Values(
        PlaceCase{"NominatimHits", ServiceApi::Nominatim, dataFile("nominatim_answer.json"), 200,
                  "search/nominatim.kml", "", 2},
        PlaceCase{"PhotonHits", ServiceApi::Photon, dataFile("photon_answer.json"), 200,
                  "search/photon.kml", "", 1},
        PlaceCase{"NominatimEmpty", ServiceApi::Nominatim, "[]", 200, "search/no_hits.kml", "", 0},
        PlaceCase{"PhotonEmpty", ServiceApi::Photon,
                  R"({"features":[],"type":"FeatureCollection"})", 200, "search/no_hits.kml", "",
                  0},
        PlaceCase{"ServerError", ServiceApi::Nominatim, "[]", 500, nullptr, "HTTP status 500", 0},
        PlaceCase{"NotJson", ServiceApi::Photon, "<html>busy</html>", 200, nullptr,
                  "the answer is not JSON", 0},
        PlaceCase{"EmptyBody", ServiceApi::Nominatim, "", 200, nullptr, "the answer is not JSON",
                  0},
        PlaceCase{"HugeNumber", ServiceApi::Nominatim, R"([{"lat":"1","lon":"2","x":1e400}])", 200,
                  nullptr, "the answer is not JSON", 0},
        PlaceCase{"ServiceError", ServiceApi::Nominatim,
                  R"({"error":{"code":400,"message":"Nothing to search for."}})", 200, nullptr,
                  "the service says: Nothing to search for.", 0},
        PlaceCase{"NotAFeatureCollection", ServiceApi::Photon, "[]", 200, nullptr,
                  "the answer is not the expected JSON (a feature collection)", 0},
        PlaceCase{"TooDeep", ServiceApi::Nominatim, std::string(40, '[') + std::string(40, ']'),
                  200, nullptr, "the answer nests deeper than any answer of the service", 0}),
    [](const auto& param) { return std::string(param.param.name); });

TEST(PlaceSearchUrlTest, CityBoxOrViewBoxInEachApisOrder) {
  test::FakeJsonService service;
  service.setAnswer("[]");
  SearchServices services{service.base(), {}, {}, ServiceApi::Nominatim, nullptr};
  ASSERT_TRUE(runSearch(SearchQuery{"北京", "咖啡 & 茶", std::nullopt}, services));
  services.api = ServiceApi::Photon;
  service.setAnswer(R"({"features":[]})");
  ASSERT_TRUE(runSearch(SearchQuery{"北京", "x", SearchView{116.5, 39.8, 2500.0}}, services));
  EXPECT_EQ(service.targets(),
            (std::vector<std::string>{
                "/search?q=%E5%92%96%E5%95%A1%20%26%20%E8%8C%B6&format=jsonv2&limit=100&"
                "addressdetails=1&viewbox=115.931620,40.259324,116.868380,39.540676&bounded=1",
                "/api?q=x&limit=100&bbox=116.470769,39.777542,116.529231,39.822458"}));
  EXPECT_NE(service.lastRequestHead().find("\r\nUser-Agent: Tivra/"), std::string::npos)
      << service.lastRequestHead();
}

TEST(PlaceSearchUrlTest, EveryCityHasABoxAroundItsCentre) {
  for (const std::string_view city : kSearchCities) {
    const auto box = cityBox(city);
    ASSERT_TRUE(box.has_value()) << city;
    EXPECT_LT(box->west, box->east);
    EXPECT_LT(box->south, box->north);
    // Every one of them lies in China's part of the globe.
    EXPECT_TRUE(box->west > 73 && box->east < 136 && box->south > 18 && box->north < 54) << city;
  }
  EXPECT_FALSE(cityBox("纽约").has_value());
}

// Twice our limit: the rest is dropped while reading. (A million real hits pass the download's
// size limit and are refused before they are read.)
TEST(PlaceAnswerTest, HitsPastOurLimitAreCut) {
  std::string answer = "[";
  for (std::size_t i = 0; i < 2 * kMaxRecords; ++i) answer += R"({"lat":"1","lon":"2"},)";
  answer.back() = ']';
  const PlaceAnswer a = parseNominatimAnswer(answer);
  EXPECT_FALSE(a.failure.has_value());
  EXPECT_EQ(a.records.size(), kMaxRecords);
  EXPECT_TRUE(a.notes.cut);
  EXPECT_EQ(a.records.back().id, static_cast<std::int32_t>(kMaxRecords));
}

TEST(RequestPacerTest, OneRequestPerGap) {
  RequestPacer pacer(100ms);
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(pacer.wait());
  // The first goes at once, each later one a gap after the one before.
  EXPECT_GE(std::chrono::steady_clock::now() - start, 200ms);
  std::stop_source stop;
  stop.request_stop();
  EXPECT_FALSE(pacer.wait(stop.get_token()));
}

constexpr const char* kStart = "116.397500,39.908700";
constexpr const char* kVia = "116.400000,39.908700;116.400000,39.912000";
constexpr const char* kEnd = "116.405000,39.912000";

class OsrmRouteTest : public ShiftedStore, public ::testing::Test {
 protected:
  RouteService service() const {
    return RouteService{m_service.base(), offsets(), ServiceApi::Osrm,
                        std::make_shared<RequestPacer>()};
  }
  test::FakeJsonService m_service;
};

TEST_F(OsrmRouteTest, ThreeLegsInOneRequestWithTheirTotals) {
  m_service.setAnswer(dataFile("osrm_three_legs.json"));
  Route route(kStart, kVia, kEnd, "http://icons.test");
  const std::string kml = WriteRouteKml(route, service());
  EXPECT_EQ(m_service.targets(),
            (std::vector<std::string>{
                "/route/v1/driving/116.397500,39.908700;116.400000,39.908700;116.400000,"
                "39.912000;116.405000,39.912000?steps=true&overview=full&geometries=polyline6"}));
  ASSERT_FALSE(route.failure.has_value()) << *route.failure;
  ASSERT_TRUE(route.legs && route.totals);
  EXPECT_EQ(route.legs->size(), 3u);
  EXPECT_DOUBLE_EQ(route.totals->metres, 1006.7);
  EXPECT_EQ(tripTotalsText(*route.totals), "全程1.0公里，约3分钟");
  EXPECT_TRUE(test::matchesGolden(kml, "search/osrm_route.kml"));
}

struct RouteFailure {
  const char* name;
  std::string answer;
  int status;
  const char* failure;
};
class OsrmFailureTest : public OsrmRouteTest, public ::testing::WithParamInterface<RouteFailure> {};

TEST_P(OsrmFailureTest, NoDocumentAndTheReason) {
  m_service.setAnswer(GetParam().answer, GetParam().status);
  Route route(kStart, kVia, kEnd, "http://icons.test");
  EXPECT_EQ(WriteRouteKml(route, service()), "");
  EXPECT_EQ(route.failure.value_or("(none)"), GetParam().failure);
  EXPECT_FALSE(route.legs.has_value());
}

INSTANTIATE_TEST_SUITE_P(
    Answers, OsrmFailureTest,
    ::testing::Values(
        RouteFailure{"NoRoute", R"({"code":"NoRoute","message":"Impossible route between points"})",
                     400, "NoRoute: Impossible route between points"},
        RouteFailure{"NoRouteWith200", R"({"code":"NoRoute"})", 200, "NoRoute"},
        RouteFailure{"ServerError", "oops", 500, "HTTP status 500"},
        RouteFailure{"NotJson", "<html></html>", 200, "the answer is not JSON"},
        RouteFailure{"NoCode", "{}", 200, "the answer is not the expected JSON (no code)"},
        RouteFailure{"LegsMissing",
                     R"({"code":"Ok","routes":[{"distance":1,"duration":1,"legs":[]}]})", 200,
                     "the answer is not the expected JSON (not one leg per pair of trip points)"},
        RouteFailure{"HugeDistance",
                     R"({"code":"Ok","routes":[{"distance":1e300,"duration":1,"legs":[]}]})", 200,
                     "the answer is not the expected JSON (the trip's distance or duration)"},
        RouteFailure{"BrokenGeometry",
                     R"({"code":"Ok","routes":[{"distance":1,"duration":1,"geometry":"!!"}]})", 200,
                     "the answer is not the expected JSON (the route's geometry is no polyline)"}),
    [](const auto& param) { return std::string(param.param.name); });

// The real binary with the services of today set.
class ServiceCommandTest : public ::testing::Test {
 protected:
  ServiceCommandTest() {
    std::ofstream(m_dir / "Tivra.ini", std::ios::binary)
        << "[settings]\r\nSearchService=nominatim:" << m_places.base()
        << "/\r\nRouteService=osrm:" << m_routes.base()
        << "\r\nDetailHost=detail.test\r\nIconHost=http://icons.test\r\n";
  }
  int run(std::vector<std::string> args) {
    args.insert(args.end(), {"--data-dir", m_dir.path().string(), "-o", out().string()});
    test::Process p(TIVRA_BINARY, args, {}, m_dir / "stderr.txt");
    return p.wait(60s).value_or(-1);
  }
  std::filesystem::path out() const { return m_dir / "out.kml"; }
  std::string err() const { return test::readFile(m_dir / "stderr.txt"); }

  test::FakeJsonService m_places;
  test::FakeJsonService m_routes;
  test::TempDir m_dir;
};

TEST_F(ServiceCommandTest, WritesTheDocumentsOfTheServices) {
  m_places.setAnswer(dataFile("nominatim_answer.json"));
  ASSERT_EQ(run({"search", "北京", "天安门"}), 0) << err();
  EXPECT_TRUE(test::matchesGolden(test::readFile(out()), "search/nominatim.kml"));
  EXPECT_EQ(err(), "tivra: 2 hits with a position off the globe are left out\n");
  m_routes.setAnswer(dataFile("osrm_three_legs.json"));
  ASSERT_EQ(run({"route", kStart, kEnd, "--via", kVia}), 0) << err();
  EXPECT_TRUE(test::matchesGolden(test::readFile(out()), "search/osrm_route.kml"));
}

TEST_F(ServiceCommandTest, FailuresExitWithTheServicesWordAndWriteNothing) {
  m_places.setAnswer("[]", 500);
  EXPECT_EQ(run({"search", "北京", "x"}), 1);
  EXPECT_EQ(err(), "tivra: the search service at " + m_places.base() + ": HTTP status 500\n");
  m_routes.setAnswer(R"({"code":"NoRoute","message":"Impossible route between points"})", 400);
  EXPECT_EQ(run({"route", kStart, kEnd}), 1);
  EXPECT_EQ(err(), "tivra: the route service at " + m_routes.base() +
                       ": NoRoute: Impossible route between points\n");
  EXPECT_FALSE(std::filesystem::exists(out()));
}

}  // namespace
}  // namespace tivra::search
