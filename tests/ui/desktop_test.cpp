// What a desktop user sees of the window beyond its pages: Qt's texts in Chinese, the error
// icon, the status line, choices kept between runs and a second start raising the first.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QLineEdit>
#include <QLocalSocket>
#include <QMessageBox>
#include <QRadioButton>
#include <QTabWidget>
#include <atomic>
#include <fstream>
#include <thread>

#include "gui_hub.h"
#include "support/app_harness.h"
#include "support/fake_tile_server.h"
#include "support/process.h"
#include "support/test_http_get.h"
#include "ui/gps_page.h"
#include "ui/main_frame.h"
#include "ui/map_page.h"
#include "ui/qt_translations.h"
#include "ui/status_line.h"
#include "ui/window_raise.h"

namespace tivra::ui {
namespace {

using namespace std::chrono_literals;
using test::processUntil;

QMessageBox* shownBox() {
  for (QWidget* w : QApplication::topLevelWidgets())
    if (auto* b = qobject_cast<QMessageBox*>(w); b && b->isVisible()) return b;
  return nullptr;
}

TEST(DesktopTest, ErrorBoxShowsTheErrorIconAndQtsButtonsInChinese) {
  const ChineseQtTexts texts;
  GuiFrontend frontend;
  std::thread([&] { frontend.errorBox("无法使用数据目录 /nowhere", "Tivra"); }).join();
  ASSERT_TRUE(processUntil([] { return shownBox() != nullptr; }, 5s));
  QMessageBox* box = shownBox();
  EXPECT_EQ(box->icon(), QMessageBox::Critical);
  EXPECT_EQ(box->text(), "无法使用数据目录 /nowhere");
  box->close();
  processUntil([] { return shownBox() == nullptr; }, 5s);
  if (!texts.loaded()) GTEST_SKIP() << "Qt's translations (qt6-translations-l10n) are missing";
  QMessageBox question(QMessageBox::Question, "Tivra", "?", QMessageBox::Yes | QMessageBox::No);
  EXPECT_TRUE(question.button(QMessageBox::Yes)->text().startsWith("是"))
      << question.button(QMessageBox::Yes)->text().toStdString();
}

struct StatusCase {
  const char* name;
  const char* settings;  // [settings] lines; {fake} is the fake tile service
  bool online;
  std::vector<const char*> requests;  // paths after ImageServer/
  const char* source;                 // in the second line of the status
  const char* counts;                 // its third line
};

void PrintTo(const StatusCase& c, std::ostream* os) {
  *os << c.name;
}

class StatusLineTest : public testing::TestWithParam<StatusCase> {};

TEST_P(StatusLineTest, CountsTheTilesAskedFor) {
  const StatusCase& c = GetParam();
  test::FakeTileServer fake;
  test::TempDir dir;
  std::string settings = c.settings;
  if (const auto at = settings.find("{fake}"); at != std::string::npos)
    settings.replace(at, 6, fake.url(""));
  std::ofstream(dir / "Tivra.ini") << "[settings]\r\nTcpPort=" << test::freePort() << "\r\n"
                                   << settings;
  test::GuiHub hub(false, {}, {}, dir.path());
  hub.window().setOnline(c.online);
  MainFrame frame(hub.window(), hub.frontend());
  const std::string base =
      "http://127.0.0.1:" + std::to_string(hub.window().listeningPort()) + "/ImageServer/";
  std::atomic<bool> done{false};
  std::thread client([&] {
    for (const char* request : c.requests) test::testHttpGet(base + request);
    done = true;
  });
  const bool answered = processUntil([&] { return done.load(); }, 20s);
  client.join();
  ASSERT_TRUE(answered);
  frame.statusLine()->refresh();
  const QStringList lines = frame.statusLine()->text().split('\n');
  ASSERT_EQ(lines.size(), 3) << frame.statusLine()->text().toStdString();
  EXPECT_EQ(
      lines[0],
      QString("端口 %1  %2").arg(hub.window().listeningPort()).arg(c.online ? "在线" : "离线"));
  QString source = c.source;
  source.replace("{fake}", QString::fromStdString(fake.url("")));
  EXPECT_EQ(lines[1].toStdString(), source.toStdString());
  EXPECT_EQ(lines[2].toStdString(), c.counts);
}

INSTANTIATE_TEST_SUITE_P(
    Sources, StatusLineTest,
    testing::Values(StatusCase{"Template",
                               "TileUrl={fake}/xyz/{z}/{x}/{y}.png\r\n",
                               true,
                               {"F00/x=1&y=1&zoom=2", "F00/x=1&y=1&zoom=2", "F00/no-tile-here"},
                               "瓦片来源 {fake}/xyz/{z}/{x}/{y}.png",
                               "已送出 2  已保存 1  缺失 1"},
                    StatusCase{"NoneSetOffline",
                               "",
                               false,
                               {"F00/x=1&y=1&zoom=2", "T00/x=2&y=1&zoom=2"},
                               "未设置瓦片来源：在 Tivra.ini 中设置 TileUrl 或 TileHost",
                               "已送出 0  已保存 0  缺失 2"}),
    [](const testing::TestParamInfo<StatusCase>& p) { return std::string(p.param.name); });

TEST(DesktopTest, PageAndGpsChoicesComeBackAfterARestart) {
  test::TempDir dir;
  const std::filesystem::path track = dir / "drive.plt";
  {
    test::GuiHub hub(true, {}, {}, dir.path());
    MainFrame frame(hub.window(), hub.frontend());
    ASSERT_NE(frame.gpsPage(), nullptr);
    EXPECT_EQ(frame.tabs()->currentWidget(), static_cast<QWidget*>(frame.mapPage()));
    GpsPage& gps = *frame.gpsPage();
    gps.fileEdit()->setText(QString::fromStdString(track.string()));
    gps.timeBox()->setValue(2.5);
    gps.fileRadio()->click();
    frame.tabs()->setCurrentWidget(&gps);
  }
  const std::string ini = test::readFile(dir / "Tivra.ini");
  EXPECT_NE(ini.find("[window]\r\nPage=gps\r\nGpsKind=2\r\n"), std::string::npos) << ini;
  test::GuiHub hub(true, {}, {}, dir.path());
  MainFrame frame(hub.window(), hub.frontend());
  ASSERT_NE(frame.gpsPage(), nullptr);
  EXPECT_EQ(frame.tabs()->currentWidget(), static_cast<QWidget*>(frame.gpsPage()));
  EXPECT_TRUE(frame.gpsPage()->fileRadio()->isChecked());
  EXPECT_EQ(frame.gpsPage()->fileEdit()->text().toStdString(), track.string());
  EXPECT_DOUBLE_EQ(frame.gpsPage()->timeBox()->value(), 2.5);
  EXPECT_TRUE(frame.gpsPage()->fileEdit()->isEnabled());
}

TEST(DesktopTest, SecondStartRaisesTheRunningWindow) {
  test::GuiHub hub(false);
  MainFrame frame(hub.window(), hub.frontend());
  frame.place();
  const std::filesystem::path socket = raiseSocketPath(hub.dir() / "Tivra");
  EXPECT_FALSE(askToRaise(socket, 200ms));  // nobody listens yet: the caller shows its box
  RaiseListener listener(socket, [&] { frame.bringForward(); });
  ASSERT_TRUE(listener.listening());

  // Anything but the request is dropped without raising.
  QLocalSocket stranger;
  stranger.connectToServer(QString::fromStdString(socket.string()));
  ASSERT_TRUE(stranger.waitForConnected(2000));
  stranger.write("show yourself\n");
  stranger.flush();
  processUntil([&] { return stranger.state() == QLocalSocket::UnconnectedState; }, 5s);
  EXPECT_FALSE(frame.isVisible());

  std::atomic<int> asked{-1};
  std::thread second([&] { asked = askToRaise(socket, 5000ms) ? 1 : 0; });
  const bool shown = processUntil([&] { return frame.isVisible() && asked >= 0; }, 10s);
  second.join();
  EXPECT_TRUE(shown);
  EXPECT_EQ(asked, 1);
}

}  // namespace
}  // namespace tivra::ui
