// The navigation, search and GPS pages on Qt's offscreen platform, driven through their widgets
// and bound to the hub's page cores.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QFocusEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPushButton>
#include <QRadioButton>
#include <QSlider>
#include <QTabWidget>
#include <QTest>
#include <QToolButton>
#include <cstdio>
#include <fstream>
#include <future>
#include <memory>

#include "globe/sim_globe.h"
#include "gui_hub.h"
#include "platform/gbk.h"
#include "platform/socket.h"
#include "platform/text.h"
#include "search/nav_page.h"
#include "search/points.h"
#include "search/query_thread.h"
#include "support/fake_services.h"
#include "support/process.h"
#include "support/raw_client.h"
#include "tiles/gcj02.h"
#include "tiles/offset.h"
#include "ui/globe_view.h"
#include "ui/gps_page.h"
#include "ui/main_frame.h"
#include "ui/nav_page.h"
#include "ui/search_page.h"

namespace tivra::ui {
namespace {

using namespace std::chrono_literals;
using test::processUntil;

TEST(PagesTest, TabsInTheirOrderWithTheGlobe) {
  test::GuiHub hub(true);
  MainFrame frame(hub.window(), hub.frontend());
  ASSERT_EQ(frame.tabs()->count(), 4);
  const char* names[] = {"地图", "导航", "搜索", "GPS"};
  for (int i = 0; i < 4; ++i) EXPECT_EQ(frame.tabs()->tabText(i), names[i]) << i;
  EXPECT_EQ(frame.tabs()->widget(1), frame.navPage());
  EXPECT_EQ(frame.tabs()->widget(2), frame.searchPage());
  EXPECT_EQ(frame.tabs()->widget(3), frame.gpsPage());
}

// The source kind radio buttons and what each enables.
struct KindCase {
  const char* name;
  const char* radio;
  bool time, file, serial;
};

class GpsKindTest : public testing::TestWithParam<KindCase> {};

TEST_P(GpsKindTest, RadioEnablesItsControls) {
  test::GuiHub hub(false);
  GpsPage page(hub.window().gpsPage(), {"/dev/ttyUSB0"});
  QRadioButton* radios[] = {page.comRadio(), page.demoRadio(), page.fileRadio()};
  for (QRadioButton* r : radios) {
    if (r->text() == GetParam().radio) r->click();
  }
  EXPECT_EQ(page.timeLabel()->isEnabled(), GetParam().time);
  EXPECT_EQ(page.timeBox()->isEnabled(), GetParam().time);
  EXPECT_EQ(page.fileEdit()->isEnabled(), GetParam().file);
  EXPECT_EQ(page.browseButton()->isEnabled(), GetParam().file);
  EXPECT_EQ(page.portBox()->isEnabled(), GetParam().serial);
  EXPECT_EQ(page.baudBox()->isEnabled(), GetParam().serial);
  EXPECT_EQ(static_cast<int>(hub.window().gpsPage().settings().kind),
            page.comRadio()->isChecked()    ? 0
            : page.demoRadio()->isChecked() ? 1
                                            : 2);
}

INSTANTIATE_TEST_SUITE_P(Kinds, GpsKindTest,
                         testing::Values(KindCase{"Com", "COM", false, false, true},
                                         KindCase{"Demo", "Demo", true, false, false},
                                         KindCase{"File", "文件输入", true, true, false}),
                         [](const auto& param) { return param.param.name; });

TEST(GpsPageTest, StartsWithItsDefaultsAndAutoTrackGatesItsOptions) {
  test::GuiHub hub(false);
  GpsPage page(hub.window().gpsPage(), {"/dev/ttyUSB0"});
  EXPECT_TRUE(page.demoRadio()->isChecked());
  EXPECT_EQ(page.portBox()->count(), 2);
  EXPECT_EQ(page.portBox()->currentText(), "<自动>");
  EXPECT_EQ(page.baudBox()->count(), 5);
  EXPECT_EQ(page.baudBox()->currentText(), "<自动>");
  EXPECT_EQ(page.statusLabel()->text(), "就绪");
  page.headingCheck()->click();
  EXPECT_FALSE(hub.window().gpsPage().followOptions().heading);
  page.autoTrackCheck()->click();
  EXPECT_FALSE(hub.window().gpsPage().followOptions().autoTrack);
  for (QCheckBox* c : {page.headingCheck(), page.heightCheck(), page.angleCheck()})
    EXPECT_FALSE(c->isEnabled()) << c->text().toStdString();
  page.autoTrackCheck()->click();
  EXPECT_TRUE(page.angleCheck()->isEnabled());
  EXPECT_TRUE(hub.window().gpsPage().followOptions().autoTrack);
}

struct TimeFactorCase {
  const char* name;
  const char* locale;
  const char* typed;
  double factor;
};

class TimeFactorTest : public testing::TestWithParam<TimeFactorCase> {};

TEST_P(TimeFactorTest, ReadAsShownInTheUsersLocale) {
  const QLocale before;
  QLocale::setDefault(QLocale(GetParam().locale));
  test::GuiHub hub(false);
  {
    GpsPage page(hub.window().gpsPage(), {});
    page.timeBox()->selectAll();
    QTest::keyClicks(page.timeBox(), GetParam().typed);
    page.demoRadio()->click();  // the page reads its controls
    EXPECT_DOUBLE_EQ(hub.window().gpsPage().settings().timeFactor, GetParam().factor);
    EXPECT_DOUBLE_EQ(QLocale().toDouble(page.timeBox()->text()), GetParam().factor)
        << page.timeBox()->text().toStdString();
  }
  QLocale::setDefault(before);
}

INSTANTIATE_TEST_SUITE_P(Locales, TimeFactorTest,
                         testing::Values(TimeFactorCase{"GermanComma", "de_DE", "0,5", 0.5},
                                         TimeFactorCase{"ChinesePoint", "zh_CN", "0.25", 0.25},
                                         TimeFactorCase{"AboveTheLimitRefused", "de_DE", "2000",
                                                        200.0}),
                         [](const auto& param) { return param.param.name; });

// "$" + body + "*" + its checksum + CR LF.
std::string sentence(std::string_view body) {
  unsigned sum = 0;
  for (char c : body) sum ^= static_cast<unsigned char>(c);
  char tail[8];
  std::snprintf(tail, sizeof tail, "*%02X\r\n", sum);
  return "$" + std::string(body) + tail;
}

TEST(GpsPageTest, TheTimeFactorReachesThePlayback) {
  test::GuiHub hub(false);
  GpsPage page(hub.window().gpsPage(), {});
  // Fixes an hour apart: played at the default factor 1, the file would last hours.
  const auto file = hub.dir() / "hours.nmea";
  std::ofstream(file) << sentence("GPRMC,010000.00,A,3954.000,N,11624.000,E,0.0,0.0,010124,,,A")
                      << sentence("GPRMC,020000.00,A,3954.100,N,11624.100,E,0.0,0.0,010124,,,A")
                      << sentence("GPRMC,030000.00,A,3954.200,N,11624.200,E,0.0,0.0,010124,,,A");
  page.fileRadio()->click();
  page.fileEdit()->setText(QString::fromStdString(file.string()));
  page.timeBox()->setValue(0);
  page.startButton()->click();
  EXPECT_EQ(hub.window().gpsPage().settings().timeFactor, 0.0);
  EXPECT_TRUE(processUntil([&] { return page.statusLabel()->text() == "读取数据文件结束."; }, 20s))
      << page.statusLabel()->text().toStdString();
}

TEST(GpsPageTest, FileKindWithoutANameStartsTheDemoAndStopEndsIt) {
  test::GuiHub hub(false);
  GpsPage page(hub.window().gpsPage(), {});
  page.fileRadio()->click();
  page.startButton()->click();
  EXPECT_TRUE(page.demoRadio()->isChecked());
  EXPECT_TRUE(processUntil([&] { return page.statusLabel()->text() == "Demo模式."; }, 10s))
      << page.statusLabel()->text().toStdString();
  page.stopButton()->click();
  EXPECT_TRUE(processUntil([&] { return page.statusLabel()->text() == "Demo结束."; }, 10s))
      << page.statusLabel()->text().toStdString();
}

// "记录轨迹" records into the chosen file, ".gpx" added; unticked, it stops.
TEST(GpsPageTest, RecordBoxRecordsIntoTheChosenFile) {
  test::GuiHub hub(false);
  GpsPage page(hub.window().gpsPage(), {});
  EXPECT_FALSE(page.recordCheck()->isChecked());
  page.setRecordFileChooser([&] { return std::optional(hub.dir() / "track"); });
  page.recordCheck()->click();
  EXPECT_TRUE(hub.window().gpsPage().recording());
  EXPECT_NE(test::readFile(hub.dir() / "track.gpx").find("<trkseg>"), std::string::npos);
  page.recordCheck()->click();
  EXPECT_FALSE(hub.window().gpsPage().recording());
}

// One hub with the globe for the search page's cases.
class SearchPageTest : public testing::Test {
 protected:
  static void SetUpTestSuite() { s_hub = std::make_unique<test::GuiHub>(true); }
  static void TearDownTestSuite() { s_hub.reset(); }
  static std::unique_ptr<test::GuiHub> s_hub;
};
std::unique_ptr<test::GuiHub> SearchPageTest::s_hub;

TEST_F(SearchPageTest, CitiesInCodePage936OrderWithBeijingSelected) {
  ASSERT_NE(s_hub->window().searchPage(), nullptr);
  SearchPage page(*s_hub->window().searchPage());
  QComboBox* cities = page.cityBox();
  ASSERT_EQ(cities->count(), 69);
  EXPECT_EQ(cities->currentIndex(), 2);
  EXPECT_EQ(cities->currentText(), "北京");
  EXPECT_EQ(cities->itemText(0), "保定");
  for (int i = 1; i < cities->count(); ++i) {
    const auto a = platform::utf8ToGbk(cities->itemText(i - 1).toStdString());
    const auto b = platform::utf8ToGbk(cities->itemText(i).toStdString());
    ASSERT_TRUE(a && b);
    EXPECT_LT(*a, *b) << i;  // std::string compares its bytes unsigned
  }
  EXPECT_FALSE(page.withinViewCheck()->isChecked());
}

// The page's box and inputs reach the query; the hits come back shifted by the stored offset
// where one is stored and by the offset model elsewhere, as the overlay's tiles are.
TEST(SearchOffsetsTest, WithinViewBoxAndOffsetsReachTheQueryAndTheHits) {
  test::FakeSearchService service;
  test::GuiHub hub(true, {}, "SearchHost=" + service.host() + "\r\nOffsetModel=gcj02\r\n");
  ASSERT_NE(hub.window().searchPage(), nullptr);
  ASSERT_TRUE(processUntil([&] { return hub.globe()->waitIdle(0ms); }, 20s));
  const globe::TerrainPoint view = hub.window().earth()->GetPointOnTerrainFromScreenCoords(0, 0);
  const tiles::PointE5 centre = search::DegreesToE5(view.Longitude, view.Latitude);
  tiles::StoreOffset(hub.window().tileCache().locationMap(), centre, {-600, 130}, true);
  const tiles::PointE5 shanghai{12147370, 3123040};  // no stored offset there
  const tiles::PointE5 model = tiles::gcj02Offset(shanghai);
  service.setAnswer(platform::format(
      "<Poi id=\"1\"><Na v=\"近\"/><Geo lo=\"%d\" la=\"%d\"/></Poi><Poi id=\"2\"><Na v=\"远\"/>"
      "<Geo lo=\"%d\" la=\"%d\"/></Poi>",
      centre.x, centre.y, shanghai.x, shanghai.y));

  SearchPage page(*hub.window().searchPage());
  page.keywordEdit()->setText("咖啡");
  page.withinViewCheck()->setChecked(true);
  page.searchButton()->click();
  // The query runs off the window's thread.
  ASSERT_TRUE(processUntil([&] { return !service.targets().empty(); }, 20s));
  ASSERT_EQ(service.targets().size(), 1u);
  EXPECT_NE(service.targets()[0].find(platform::format(
                "city=%%B1%%B1%%BE%%A9&area=POINT(%d%%20%d)&words=%%BF%%A7%%B7%%C8&showName=1",
                centre.x + 600, centre.y - 130)),
            std::string::npos)
      << service.targets()[0];

  const auto at = [&](const char* name) -> std::optional<globe::GeoPoint> {
    const auto feature = hub.globe()->featureByName(name);
    if (!feature || feature->points.empty()) return std::nullopt;
    return feature->points[0];
  };
  ASSERT_TRUE(processUntil([&] { return at("2.远").has_value(); }, 20s));
  EXPECT_NEAR(at("1.近")->lon, (centre.x - 600) * 0.00001, 1e-6);
  EXPECT_NEAR(at("1.近")->lat, (centre.y + 130) * 0.00001, 1e-6);
  EXPECT_NEAR(at("2.远")->lon, (shanghai.x + model.x) * 0.00001, 1e-6);
  EXPECT_NEAR(at("2.远")->lat, (shanghai.y + model.y) * 0.00001, 1e-6);

  // "导出GPX…" writes the same hits, where the globe shows them.
  ASSERT_TRUE(processUntil([&] { return page.exportButton()->isEnabled(); }, 20s));
  const auto gpx = hub.dir() / "hits.gpx";
  page.setGpxFileChooser([&] { return std::optional(gpx); });
  page.exportButton()->click();
  EXPECT_NE(test::readFile(gpx).find(
                platform::format("<wpt lat=\"%.7f\" lon=\"%.7f\">\n  <name>近</name>",
                                 (centre.y + 130) * 0.00001, (centre.x - 600) * 0.00001)),
            std::string::npos)
      << test::readFile(gpx);
}

// What the keyword box keeps of text typed into it: at most 128 bytes in code page 936.
struct KeywordCase {
  const char* name;
  std::string typed;
  bool kept;
};

class KeywordLimitTest : public SearchPageTest, public testing::WithParamInterface<KeywordCase> {};

std::string repeat(std::string_view unit, int times) {
  std::string s;
  for (int i = 0; i < times; ++i) s += unit;
  return s;
}

TEST_P(KeywordLimitTest, KeepsAtMost128Bytes) {
  SearchPage page(*s_hub->window().searchPage());
  page.keywordEdit()->insert(QString::fromStdString(GetParam().typed));  // as typed or pasted
  EXPECT_EQ(page.keywordEdit()->text().toStdString(), GetParam().kept ? GetParam().typed : "");
}

INSTANTIATE_TEST_SUITE_P(
    Lengths, KeywordLimitTest,
    testing::Values(KeywordCase{"Ascii128", repeat("a", 128), true},
                    KeywordCase{"Ascii129", repeat("a", 129), false},
                    KeywordCase{"Hanzi64", repeat("饭", 64), true},
                    KeywordCase{"Hanzi64Ascii1", repeat("饭", 64) + "a", false},
                    KeywordCase{"Hanzi63Ascii2", repeat("饭", 63) + "ab", true}),
    [](const auto& param) { return param.param.name; });

class NavPageTest : public testing::Test {
 protected:
  NavPageTest() : hub(true), view(*hub.globe(), *hub.window().earth()) {
    view.setGeometry(300, 100, 400, 300);
    view.show();
  }
  void send(QWidget* to, QEvent::Type type, QPoint global) {
    QMouseEvent e(type, to->mapFromGlobal(global), global, Qt::LeftButton,
                  type == QEvent::MouseButtonRelease ? Qt::NoButton : Qt::LeftButton,
                  Qt::NoModifier);
    QCoreApplication::sendEvent(to, &e);
  }
  void focus(QWidget* edit) {
    QFocusEvent e(QEvent::FocusIn, Qt::MouseFocusReason);
    QCoreApplication::sendEvent(edit, &e);
  }
  // Presses the picker, moves over the view to at and releases there.
  void pick(NavPage& page, QPoint at) {
    QLabel* picker = page.picker();
    send(picker, QEvent::MouseButtonPress, picker->mapToGlobal(QPoint(2, 2)));
    send(picker, QEvent::MouseMove, at);
    send(picker, QEvent::MouseButtonRelease, at);
  }
  test::GuiHub hub;
  GlobeView view;
};

TEST_F(NavPageTest, PicksOnTheGlobeViewFillTheBoxes) {
  ASSERT_NE(hub.window().navPage(), nullptr);
  NavPage page(*hub.window().navPage());
  page.show();
  EXPECT_EQ(page.speedSlider()->value(), 5);
  EXPECT_EQ(page.heightSlider()->value(), 8);
  EXPECT_EQ(page.angleSlider()->value(), 45);
  EXPECT_FALSE(page.flyButton()->isEnabled());
  EXPECT_EQ(page.countLabel()->text(), "(0)");
  ASSERT_TRUE(processUntil([&] { return hub.globe()->waitIdle(0ms); }, 20s));
  // (585 + 15 - 300) / 400 * 2 - 1 = 0.5; 1 - (160 + 15 - 100) / 300 * 2 = 0.5
  const QPoint at(585, 160);
  const globe::TerrainPoint p = hub.window().earth()->GetPointOnTerrainFromScreenCoords(0.5, 0.5);
  const QString text = QString::fromStdString(platform::format("%f,%f", p.Longitude, p.Latitude));

  pick(page, at);
  EXPECT_EQ(page.startEdit()->text(), text);
  EXPECT_TRUE(page.viaEdit()->text().isEmpty());

  focus(page.viaEdit());
  pick(page, at);
  pick(page, at);
  EXPECT_EQ(page.viaEdit()->text(), text + ";" + text);
  EXPECT_EQ(page.countLabel()->text(), "(2)");
  EXPECT_EQ(page.startEdit()->text(), text);

  // A drop outside the view commits nothing.
  pick(page, QPoint(900, 700));
  EXPECT_EQ(page.countLabel()->text(), "(2)");
  page.clearButton()->click();
  EXPECT_TRUE(page.viaEdit()->text().isEmpty());
  EXPECT_EQ(page.countLabel()->text(), "(0)");
}

TEST_F(NavPageTest, ShowingThePageFocusesTheBoxOfItsPickMode) {
  NavPage page(*hub.window().navPage());
  QLineEdit* edits[] = {page.startEdit(), page.viaEdit(), page.endEdit()};
  for (const int mode : {2, 3, 1}) {
    focus(edits[mode - 1]);
    page.hide();
    if (QWidget* focused = page.focusWidget()) focused->clearFocus();
    ASSERT_EQ(page.focusWidget(), nullptr);
    page.show();
    EXPECT_EQ(page.focusWidget(), edits[mode - 1]) << mode;
  }
}

TEST(NavFlightTest, NavigateAndFlyWithTheFlightMessagesOnTheGuiThread) {
  test::FakeRouteService route;
  route.setDefaultAnswer(test::routeAnswer(
      "11640000,3990000,a;11640500,3990000,b;11640500,3990500,c;11641000,3990500,d;",
      "11640000,3990000;11641000,3990500;", "5", "1", "km"));
  test::GuiHub hub(true, {}, "RouteHost=" + route.host() + "\r\n");
  search::NavPage& core = *hub.window().navPage();
  NavPage page(core);
  core.startText = "116.4,39.9";
  core.endText = "116.41,39.905";
  page.navigateButton()->click();
  ASSERT_TRUE(processUntil([&] { return page.flyButton()->isEnabled(); }, 20s));
  EXPECT_EQ(route.targets().size(), 1u);
  EXPECT_TRUE(hub.globe()->featureByName("Navigate"));
  // "导出GPX…" writes the route on the globe.
  const auto gpx = hub.dir() / "route.gpx";
  page.setGpxFileChooser([&] { return std::optional(gpx); });
  page.exportButton()->click();
  EXPECT_NE(test::readFile(gpx).find("<rtept lat=\"39.9000000\" lon=\"116.4050000\">\n   "
                                     "<name>b</name>"),
            std::string::npos)
      << test::readFile(gpx);

  page.flyButton()->click();
  EXPECT_EQ(page.flyButton()->text(), "停止");
  EXPECT_FALSE(page.navigateButton()->isEnabled());
  // Read by message 1229, which the flight posts as it goes.
  page.heightSlider()->setValue(20);
  // Message 1228 ends the flight on this thread.
  EXPECT_TRUE(processUntil([&] { return page.navigateButton()->isEnabled(); }, 20s));
  EXPECT_EQ(page.flyButton()->text(), "鸟瞰");
  EXPECT_FALSE(core.flying());
  EXPECT_EQ(core.flight().height, 20);
}

// A route or search service that never answers: it takes connections into its backlog and reads
// nothing. Closing it resets every connection still waiting.
struct DeadServiceCase {
  const char* name;
  const char* hostSetting;
  bool navigation;  // else the search page
};

class DeadServiceTest : public testing::TestWithParam<DeadServiceCase> {};

TEST_P(DeadServiceTest, TheServerAnswersTheGlobeMeanwhileAndCancelEndsTheQuery) {
  auto dead = platform::TcpListener::listen("127.0.0.1", 0, 8);
  ASSERT_TRUE(dead);
  test::GuiHub hub(
      true, {},
      std::string(GetParam().hostSetting) + "=127.0.0.1:" + std::to_string(dead->port()) + "\r\n");
  // Whichever way the test ends, no query outlives the hub: the service goes first.
  const std::shared_ptr<void> closeServiceFirst(nullptr, [&](void*) {
    dead.reset();
    processUntil([] { return search::QueryThread::liveCount() == 0; }, 20s);
  });
  ASSERT_NE(hub.window().navPage(), nullptr);
  std::unique_ptr<QWidget> page;
  QPushButton* button = nullptr;
  QLabel* state = nullptr;
  if (GetParam().navigation) {
    hub.window().navPage()->startText = "116.4,39.9";
    hub.window().navPage()->endText = "116.41,39.905";
    auto nav = std::make_unique<NavPage>(*hub.window().navPage());
    button = nav->navigateButton();
    state = nav->queryLabel();
    page = std::move(nav);
  } else {
    auto search = std::make_unique<SearchPage>(*hub.window().searchPage());
    search->keywordEdit()->setText("饭");
    button = search->searchButton();
    state = search->queryLabel();
    page = std::move(search);
  }
  // Once the query's request has reached the service, which keeps it, the globe asks for its
  // overlay; the query's download lasts far longer than this request may wait.
  auto overlay = std::async(std::launch::async, [&dead, port = hub.window().listeningPort()] {
    std::optional<std::string> answer;
    if (platform::waitReadable(dead->fd(), -1, 20s) == 1) {
      answer = test::exchange(
          port, "GET /KmlServer?BBOX=0,0,0,0,116.39,39.9,3000,0,0,60,40,1024,768 HTTP/1.1\r\n\r\n",
          10s);
    }
    return answer;
  });
  const QString idle = button->text();
  button->click();
  EXPECT_EQ(state->text(), "正在查询…");
  EXPECT_EQ(button->text(), "取消");
  ASSERT_TRUE(processUntil([&] { return overlay.wait_for(0s) == std::future_status::ready; }, 40s));
  const auto answer = overlay.get();
  ASSERT_TRUE(answer);
  EXPECT_NE(answer->find("<GroundOverlay>"), std::string::npos) << *answer;
  EXPECT_EQ(state->text(), "正在查询…");  // the query still waits

  button->click();  // cancel: idle at once
  EXPECT_EQ(state->text(), "");
  EXPECT_EQ(button->text(), idle);
  // The waiting request fails; the cancelled query ends and changes nothing.
  dead.reset();
  ASSERT_TRUE(processUntil([] { return search::QueryThread::liveCount() == 0; }, 20s));
  QCoreApplication::processEvents();
  EXPECT_EQ(state->text(), "");
  EXPECT_FALSE(hub.globe()->featureByName("Navigate"));
  if (auto* nav = dynamic_cast<NavPage*>(page.get())) {
    EXPECT_FALSE(nav->flyButton()->isEnabled());
  }
}

INSTANTIATE_TEST_SUITE_P(Pages, DeadServiceTest,
                         testing::Values(DeadServiceCase{"Route", "RouteHost", true},
                                         DeadServiceCase{"Search", "SearchHost", false}),
                         [](const auto& param) { return param.param.name; });

}  // namespace
}  // namespace tivra::ui
