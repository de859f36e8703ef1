// The search handler, the navigation page and the flight against the simulated globe.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "platform/message_loop.h"
#include "platform/socket.h"
#include "platform/text.h"
#include "search/flight.h"
#include "search/kml_loader.h"
#include "search/nav_page.h"
#include "search/search_page.h"
#include "support/fake_services.h"
#include "support/process.h"
#include "support/recording_frontend.h"
#include "support/search_globe.h"
#include "support/temp_dir.h"

namespace tivra::search {
namespace {

using namespace std::chrono_literals;
constexpr auto kWait = 5s;  // upper bound only

const char* const kTwoHits =
    "<Result><Poi id=\"1\"><Na v=\"甲\"/><Geo lo=\"11640000\" la=\"3990000\"/></Poi>"
    "<Poi id=\"2\"><Na v=\"乙\"/><Geo lo=\"11641000\" la=\"3991000\"/></Poi></Result>";

class SearchPageTest : public ::testing::Test {
 protected:
  SearchPage page(std::filesystem::path temp) {
    return SearchPage(
        *m_earth, m_frontend,
        {serviceBase(m_service.host()), {"http://icons.test", "http://detail.test"}, nullptr},
        std::move(temp), 1ms);
  }
  test::FakeSearchService m_service;
  test::SearchGlobe m_globe;
  std::unique_ptr<globe::Earth> m_earth = m_globe.connect();
  test::RecordingFrontend m_frontend;
  test::TempDir m_temp;
};

TEST_F(SearchPageTest, HandsTheUtf8DocumentToTheGlobeAndDeletesIt) {
  m_service.setAnswer(kTwoHits);
  SearchPage p = page(m_temp.path());
  p.city = "北京";
  p.keyword = "a b";
  // Downloaded off this thread, loaded from this thread's queue.
  platform::MessageLoop loop;
  p.setPost([&](std::function<void()> task) { loop.post(std::move(task)); });
  std::optional<SearchResult> finished;
  p.onFinished = [&](SearchResult r) { finished = r; };
  ASSERT_EQ(p.OnSearch(), SearchResult::Pending);
  EXPECT_TRUE(p.searching());
  ASSERT_TRUE(test::eventually([&] { return loop.runOnce(1ms) && finished; }, kWait));
  ASSERT_EQ(finished, SearchResult::Loaded);
  EXPECT_FALSE(p.searching());
  ASSERT_EQ(m_globe.log().openedFiles.size(), 1u);
  EXPECT_EQ(m_globe.log().openedPaths[0], (m_temp / "srchtemp.kml").string());
  EXPECT_FALSE(std::filesystem::exists(m_temp / "srchtemp.kml"));
  const std::string& file = m_globe.log().openedFiles[0];
  EXPECT_TRUE(
      file.starts_with("<kml xmlns=\"http://earth.google.com/kml/2.1\">\n<Document>\n"
                       "<name>搜索结果(共2项)</name>\n"));
  EXPECT_TRUE(m_globe.sim().featureByName("1.甲"));
  EXPECT_EQ(m_service.targets().at(0),
            "/LocalSearch?LocalSearch&city=%B1%B1%BE%A9&words=a%20b&areaNum=1&showName=1"
            "&pagecap=100&radius=5000");
}

TEST_F(SearchPageTest, WithinViewAsksTheGlobeForCentreAndRange) {
  m_service.setAnswer(kTwoHits);
  SearchPage p = page(m_temp.path());
  p.withinView = true;
  ASSERT_EQ(p.OnSearch(), SearchResult::Loaded);
  const globe::TerrainPoint centre = m_earth->GetPointOnTerrainFromScreenCoords(0, 0);
  const PointE5 e5 = DegreesToE5(centre.Longitude, centre.Latitude);
  EXPECT_NE(m_service.targets().at(0).find(platform::format(
                "&area=POINT(%d%%20%d)&words=&showName=1&pagecap=100&radius=10000", e5.x, e5.y)),
            std::string::npos)
      << m_service.targets().at(0);
}

TEST_F(SearchPageTest, FailuresSendOrLoadNothing) {
  m_service.setAnswer("");
  SearchPage p = page(m_temp.path());
  EXPECT_EQ(p.OnSearch(), SearchResult::NoAnswer);  // silent
  // An error page is no answer, whatever it holds.
  m_service.setAnswer(kTwoHits, 500);
  EXPECT_EQ(p.OnSearch(), SearchResult::NoAnswer);
  EXPECT_TRUE(m_frontend.messages().empty());
  m_service.setAnswer(kTwoHits);
  SearchPage nowhere = page(m_temp / "missing");
  EXPECT_EQ(nowhere.OnSearch(), SearchResult::FileFailed);
  EXPECT_EQ(m_frontend.messages().size(), 1u);
  EXPECT_TRUE(m_globe.log().openedFiles.empty());
  const auto sent = m_service.targets().size();
  m_globe.sim().stop();
  p.withinView = true;
  EXPECT_EQ(p.OnSearch(), SearchResult::GlobeFailed);
  EXPECT_EQ(m_service.targets().size(), sent);  // no request without the view
}

// A flight over legs, the messages it posted recorded in order.
class FlightTest : public ::testing::Test {
 protected:
  void fly(std::vector<RouteLeg> legs) {
    FlightThread flight(
        m_globe.factory(), std::move(legs), m_state,
        [this](int message) {
          std::lock_guard lock(m_mutex);
          m_messages.push_back(message);
        },
        FlightTiming{5ms, 101});
    const bool ended = flight.waitEnded(kWait);
    if (!ended) {
      // Not left running over the fixture's globe.
      m_state->stopFlag.exchange(1);
      flight.waitEnded(kWait);
    }
    ASSERT_TRUE(ended);
  }
  std::vector<int> messages() {
    std::lock_guard lock(m_mutex);
    return m_messages;
  }
  test::SearchGlobe m_globe;
  std::shared_ptr<FlightState> m_state = std::make_shared<FlightState>();
  std::mutex m_mutex;
  std::vector<int> m_messages;
};

RouteLeg legOf(std::vector<RouteStep> steps) {
  RouteLeg leg;
  leg.steps = std::move(steps);
  return leg;
}

std::vector<RouteLeg> twoLegs() {
  return {legOf({{11640000, 3990000, "a"}, {11640500, 3990000, "b"}, {11640500, 3990500, "c"}}),
          legOf({{11640500, 3990500, "d"}, {11640000, 3990000, "e"}})};
}

TEST_F(FlightTest, ArrivesStepByStepWithTheSliders) {
  m_state->height = 3;
  m_state->angle = 30;
  fly(twoLegs());
  const auto& sent = m_globe.log().cameras;
  ASSERT_EQ(sent.size(), 5u);
  const double azimuths[] = {90, 90, 0, Heading({11640500, 3990500}, {11640000, 3990000}),
                             Heading({11640500, 3990500}, {11640000, 3990000})};
  const auto steps = twoLegs();
  const RouteStep* order[] = {&(*steps[0].steps)[0], &(*steps[0].steps)[1], &(*steps[0].steps)[2],
                              &(*steps[1].steps)[0], &(*steps[1].steps)[1]};
  for (std::size_t i = 0; i < sent.size(); ++i) {
    EXPECT_EQ(sent[i].camera.Range, 300);
    EXPECT_EQ(sent[i].camera.Tilt, 30);
    EXPECT_EQ(sent[i].speed, 0.25);
    EXPECT_DOUBLE_EQ(sent[i].camera.Azimuth, azimuths[i]);
    EXPECT_DOUBLE_EQ(sent[i].camera.FocusPointLongitude, order[i]->x * 0.00001);
    // Each step starts from the previous one: the flight waited for arrival.
    if (i > 0) {
      EXPECT_NEAR(sent[i].before.Longitude * 100000, order[i - 1]->x, 10);
      EXPECT_NEAR(sent[i].before.Latitude * 100000, order[i - 1]->y, 10);
    }
  }
  EXPECT_EQ(messages(), (std::vector<int>{1229, 1229, 1229, 1229, 1229, 1228}));
}

TEST_F(FlightTest, StopEndsBeforeTheNextPoll) {
  m_globe.log().onSetCamera = [this] { m_state->stopFlag.exchange(1); };
  fly(twoLegs());
  EXPECT_EQ(m_globe.log().cameras.size(), 1u);
  EXPECT_EQ(messages(), (std::vector<int>{1229, 1228}));
}

// A first step the globe never reaches: the flight gives it up after 101 readings and goes on,
// unless a stop comes during the wait, which ends the flight before the next reading.
struct UnreachableCase {
  const char* name;
  int stopAtReading;  // 0: no stop
  int readings;       // of the first step
  std::size_t cameras;
};
class UnreachableStepTest : public FlightTest,
                            public testing::WithParamInterface<UnreachableCase> {};

TEST_P(UnreachableStepTest, ReadingsOfTheFirstStep) {
  std::vector<int> readings;  // per step; both hooks run on the flight thread
  m_globe.log().onSetCamera = [&] { readings.push_back(0); };
  m_globe.log().onTerrainPoint = [&](globe::TerrainPoint& p) {
    if (readings.empty()) return;
    if (readings.size() == 1) p.Longitude += 1.0;  // a degree away from the step, always
    if (++readings.back() == GetParam().stopAtReading) m_state->stopFlag.exchange(1);
  };
  fly(twoLegs());
  ASSERT_EQ(m_globe.log().cameras.size(), GetParam().cameras);
  EXPECT_EQ(readings.at(0), GetParam().readings);
  for (std::size_t i = 1; i < readings.size(); ++i) EXPECT_LT(readings[i], 101) << i;
  EXPECT_EQ(messages().back(), 1228);
}

INSTANTIATE_TEST_SUITE_P(Flight, UnreachableStepTest,
                         testing::Values(UnreachableCase{"GivenUpAfter101Readings", 0, 101, 5},
                                         UnreachableCase{"StopDuringTheWait", 3, 3, 1}),
                         [](const auto& param) { return param.param.name; });

TEST_F(FlightTest, AFailingGlobeStillEndsWithFinished) {
  m_globe.log().onSetCamera = [this] { m_globe.sim().stop(); };
  fly(twoLegs());
  EXPECT_EQ(m_globe.log().cameras.size(), 1u);
  EXPECT_EQ(messages().back(), 1228);
}

TEST_F(FlightTest, ClosingSuppressesFinished) {
  m_globe.log().onSetCamera = [this] {
    m_state->closing = 1;
    m_state->stopFlag.exchange(1);
  };
  fly(twoLegs());
  EXPECT_EQ(messages(), (std::vector<int>{1229}));
}

TEST_F(FlightTest, NoLegsEndAtOnce) {
  fly({});
  EXPECT_TRUE(m_globe.log().cameras.empty());
  EXPECT_EQ(messages(), (std::vector<int>{1228}));
}

struct CoordsCase {
  int px, py;
  double x, y;
};
class PickCoordsTest : public ::testing::TestWithParam<CoordsCase> {};

TEST_P(PickCoordsTest, FifteenPixelsBelowAndRightOfThePointer) {
  const ScreenCoords c = pickCoords(GetParam().px, GetParam().py, {100, 50, 1124, 818});
  EXPECT_DOUBLE_EQ(c.x, GetParam().x);
  EXPECT_DOUBLE_EQ(c.y, GetParam().y);
}

INSTANTIATE_TEST_SUITE_P(Corners, PickCoordsTest,
                         ::testing::Values(CoordsCase{85, 35, -1, 1}, CoordsCase{1109, 803, 1, -1},
                                           CoordsCase{597, 419, 0, 0}));

// The route of four steps that the fake services answer for every leg.
std::string fourSteps() {
  return test::routeAnswer(
      "11640000,3990000,a;11640500,3990000,b;11640500,3990500,c;11641000,3990500,d;",
      "11640000,3990000;11641000,3990500;", "5", "1", "km");
}

// A route service that answers only when told: until then its requests wait unanswered.
class HeldRouteService {
 public:
  std::string host() const { return "127.0.0.1:" + std::to_string(m_listener->port()); }
  // Answers the waiting request with 200 and the answer's code page 936 bytes.
  bool answer(std::string_view utf8) {
    if (platform::waitReadable(m_listener->fd(), -1, kWait) != 1) return false;
    const platform::UniqueFd client = m_listener->accept();
    std::string request;
    char buffer[1024];
    while (request.find("\r\n\r\n") == std::string::npos) {
      if (platform::waitReadable(client.get(), -1, kWait) != 1) return false;
      const ssize_t n = ::read(client.get(), buffer, sizeof buffer);
      if (n <= 0) return false;
      request.append(buffer, static_cast<std::size_t>(n));
    }
    const std::string body = test::gbk(utf8);
    return platform::sendAll(client.get(),
                             "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) +
                                 "\r\nConnection: close\r\n\r\n" + body);
  }

 private:
  std::optional<platform::TcpListener> m_listener =
      platform::TcpListener::listen("127.0.0.1", 0, 4);
};

class NavPageTest : public ::testing::Test {
 protected:
  NavPageTest() {
    m_route.setDefaultAnswer(fourSteps());
    m_page = pageFor(m_route.host());
  }
  std::unique_ptr<NavPage> pageFor(const std::string& routeHost,
                                   std::optional<RouteService> service = std::nullopt) {
    NavPageOptions o;
    o.earthFactory = m_globe.factory();
    o.service = service.value_or(RouteService{serviceBase(routeHost), nullptr});
    o.iconBase = "http://icons.test";
    o.tempDirectory = m_temp.path();
    o.post = [this](std::function<void()> task) { m_loop.post(std::move(task)); };
    o.stateLock = &m_stateLock;
    o.flightTiming = FlightTiming{5ms, 101};
    o.loadWait = 1ms;
    return std::make_unique<NavPage>(*m_earth, m_frontend, std::move(o));
  }
  // Navigate, and the route's document reaching the page through its queue.
  bool navigateAndWait(NavPage& page) {
    return page.navigate() &&
           test::eventually([&] { return m_loop.runOnce(1ms) && !page.querying(); }, kWait);
  }
  // The query's thread has ended, and what it posted has run.
  void settle() {
    ASSERT_TRUE(test::eventually([] { return QueryThread::liveCount() == 0; }, kWait));
    m_loop.runOnce(0ms);
  }
  // A whole drag from the picker to (px, py) on the view.
  void dragTo(int px, int py, bool overRender = true) {
    m_page->pressPicker(kRender);
    m_page->movePointer(px - 40, py - 40, true);
    m_page->releasePointer(px, py, overRender);
  }
  std::string pointAt(int px, int py) {
    const ScreenCoords c = pickCoords(px, py, kRender);
    const auto p = m_earth->GetPointOnTerrainFromScreenCoords(c.x, c.y);
    return platform::format("%f,%f", p.Longitude, p.Latitude);
  }

  static constexpr ScreenRect kRender{0, 0, 1024, 768};
  test::FakeRouteService m_route;
  test::SearchGlobe m_globe;
  std::unique_ptr<globe::Earth> m_earth = m_globe.connect();
  test::RecordingFrontend m_frontend;
  test::TempDir m_temp;
  platform::MessageLoop m_loop;  // the page's queue, run by the test
  std::mutex m_stateLock;
  std::unique_ptr<NavPage> m_page;
};

TEST_F(NavPageTest, ViaPicksAddUpAndAStartPressBeginsANewTrip) {
  m_page->focusEdit(1002);
  dragTo(300, 300);
  dragTo(600, 400);
  EXPECT_EQ(m_page->viaText, pointAt(300, 300) + ";" + pointAt(600, 400));
  EXPECT_EQ(m_page->committedViaText, m_page->viaText);
  EXPECT_EQ(m_page->countLabel, "(2)");
  m_page->clearVia();
  EXPECT_EQ(m_page->viaText, "");
  EXPECT_EQ(m_page->countLabel, "(0)");
  dragTo(500, 500);
  m_page->focusEdit(1001);
  m_page->pressPicker(kRender);  // before anything is picked
  EXPECT_EQ(m_page->viaText, "");
  EXPECT_EQ(m_page->committedViaText, "");
  EXPECT_EQ(m_page->countLabel, "(0)");
  m_page->releasePointer(100, 100, true);
  EXPECT_EQ(m_page->startText, pointAt(100, 100));
}

TEST_F(NavPageTest, ADropOutsideTheViewCommitsNothing) {
  m_page->focusEdit(1002);
  dragTo(300, 300, false);
  EXPECT_EQ(m_page->viaText, pointAt(260, 260));  // the live value stays shown
  EXPECT_EQ(m_page->committedViaText, "");
  EXPECT_EQ(m_page->countLabel, "(0)");
  dragTo(400, 400);
  EXPECT_EQ(m_page->viaText, pointAt(400, 400));  // the live point was replaced
}

TEST_F(NavPageTest, NavigateNeedsStartAndEnd) {
  m_page->startText = "116.4,39.9";
  EXPECT_FALSE(m_page->navigate());
  m_page->endText = "116.41,39.905";
  m_page->viaText = "1,2;";
  EXPECT_FALSE(m_page->navigate());
  EXPECT_TRUE(m_route.targets().empty());
  EXPECT_FALSE(m_page->flyEnabled);
}

TEST_F(NavPageTest, NavigateShowsTheRouteAndTheFlightRunsToItsEnd) {
  m_page->startText = "116.4,39.9";
  m_page->endText = "116.41,39.905";
  ASSERT_TRUE(m_page->navigate());
  EXPECT_EQ(m_page->queryText, "正在查询…");
  EXPECT_EQ(m_page->navigateText, "取消");
  // The legs come on the query's thread; their document goes to the globe from the page's queue.
  ASSERT_TRUE(test::eventually([] { return QueryThread::liveCount() == 0; }, kWait));
  EXPECT_TRUE(m_globe.log().openedPaths.empty());
  m_loop.runOnce(0ms);
  EXPECT_FALSE(m_page->querying());
  EXPECT_EQ(m_page->queryText, "");
  EXPECT_EQ(m_page->navigateText, "导航");
  EXPECT_EQ(m_route.targets().size(), 1u);
  ASSERT_EQ(m_globe.log().openedPaths.size(), 1u);
  EXPECT_EQ(m_globe.log().openedPaths[0], (m_temp / "navtemp.kml").string());
  EXPECT_TRUE(m_globe.sim().featureByName("Navigate"));
  EXPECT_TRUE(m_page->flyEnabled);

  int controlReads = 0;
  m_page->onReadControls = [&] { ++controlReads; };
  m_page->flyButton();
  EXPECT_EQ(m_page->flyText, "停止");
  EXPECT_FALSE(m_page->navigateEnabled);
  ASSERT_TRUE(test::eventually([&] { return m_loop.runOnce(0ms) && !m_page->flying(); }, kWait));
  EXPECT_EQ(m_page->flyText, "鸟瞰");
  EXPECT_TRUE(m_page->navigateEnabled);
  EXPECT_EQ(controlReads, 4);
  EXPECT_EQ(m_globe.log().cameras.size(), 4u);
}

TEST_F(NavPageTest, AServiceOfTodayShowsItsTotalsOrWhyItGaveNoRoute) {
  test::FakeJsonService osrm;
  osrm.setAnswer(R"({"code":"NoRoute","message":"Impossible route between points"})", 400);
  auto page = pageFor("", RouteService{osrm.base(), nullptr, ServiceApi::Osrm, nullptr});
  page->startText = "116.397500,39.908700";
  page->endText = "116.405000,39.912000";
  ASSERT_TRUE(navigateAndWait(*page));
  EXPECT_EQ(page->queryText, "路线查询失败: NoRoute: Impossible route between points");
  EXPECT_TRUE(m_globe.log().openedPaths.empty());
  EXPECT_FALSE(page->flyEnabled);
  osrm.setAnswer(
      R"({"code":"Ok","routes":[{"distance":1006.7,"duration":155.6,"legs":[{"distance":1006.7,)"
      R"("duration":155.6,"steps":[{"name":"长安街","maneuver":{"type":"depart",)"
      R"("location":[116.3975,39.9087]}},{"name":"","maneuver":{"type":"arrive",)"
      R"("location":[116.405,39.912]}}]}]}]})");
  ASSERT_TRUE(navigateAndWait(*page));
  EXPECT_EQ(page->queryText, "全程1.0公里，约3分钟");
  EXPECT_EQ(m_globe.log().openedPaths.size(), 1u);
  EXPECT_TRUE(page->flyEnabled);
  ASSERT_TRUE(page->route() && page->route()->legs);
  EXPECT_EQ(page->route()->legs->front().steps->front().text, "沿长安街出发");
}

TEST_F(NavPageTest, ACancelledQueryLeavesThePageAsItWasAndItsAnswerUnused) {
  HeldRouteService held;
  std::unique_ptr<NavPage> page = pageFor(held.host());
  page->startText = "116.4,39.9";
  page->endText = "116.41,39.905";
  ASSERT_TRUE(page->navigate());
  ASSERT_TRUE(held.answer(fourSteps()));
  ASSERT_TRUE(test::eventually([&] { return m_loop.runOnce(1ms) && !page->querying(); }, kWait));
  const Route* first = page->route();
  ASSERT_NE(first, nullptr);
  ASSERT_TRUE(page->flyEnabled);

  ASSERT_TRUE(page->navigate());
  EXPECT_FALSE(page->navigate());  // one query at a time
  EXPECT_FALSE(page->flyEnabled);
  page->cancelQuery();  // at once, with the request still unanswered
  EXPECT_FALSE(page->querying());
  EXPECT_EQ(page->navigateText, "导航");
  EXPECT_EQ(page->queryText, "");
  EXPECT_TRUE(page->flyEnabled);
  ASSERT_TRUE(held.answer(fourSteps()));  // too late: dropped
  settle();
  EXPECT_EQ(page->route(), first);
  EXPECT_EQ(m_globe.log().openedPaths.size(), 1u);
}

TEST_F(NavPageTest, ASecondPressStopsTheFlight) {
  m_page->startText = "116.4,39.9";
  m_page->endText = "116.41,39.905";
  ASSERT_TRUE(navigateAndWait(*m_page));
  m_page->flyButton();
  m_page->flyButton();                 // waits for the thread's end
  EXPECT_EQ(m_page->flyText, "停止");  // until 1228 arrives
  m_loop.runOnce(0ms);
  EXPECT_FALSE(m_page->flying());
  EXPECT_EQ(m_page->flyText, "鸟瞰");
  EXPECT_LT(m_globe.log().cameras.size(), 4u);
}

TEST_F(NavPageTest, DestroyingThePageDuringAFlightEndsIt) {
  m_page->startText = "116.4,39.9";
  m_page->endText = "116.41,39.905";
  ASSERT_TRUE(navigateAndWait(*m_page));
  m_page->flyButton();
  m_page.reset();
  m_loop.runOnce(0ms);  // what the flight posted finds no page and does nothing
  const auto sent = m_globe.log().cameras.size();
  EXPECT_LT(sent, 4u);
}

}  // namespace
}  // namespace tivra::search
