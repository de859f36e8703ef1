// The window's parts on Qt's offscreen platform, driven through their real signals and events.
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <QAction>
#include <QCheckBox>
#include <QDialog>
#include <QDialogButtonBox>
#include <QEventLoop>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSlider>
#include <QTabWidget>
#include <QTest>
#include <QTimer>
#include <QToolButton>
#include <algorithm>
#include <atomic>
#include <clocale>
#include <cmath>
#include <cstring>
#include <fstream>
#include <future>
#include <set>
#include <span>
#include <thread>

#include "globe/sim_globe.h"
#include "gui_hub.h"
#include "platform/image_codec.h"
#include "platform/resources.h"
#include "store/tile_cache.h"
#include "support/app_harness.h"
#include "support/png_reader.h"
#include "support/process.h"
#include "support/raw_client.h"
#include "ui/dialogs.h"
#include "ui/globe_view.h"
#include "ui/main_frame.h"
#include "ui/map_page.h"

namespace tivra::ui {
namespace {

using namespace std::chrono_literals;
using test::processUntil;

TEST(QtEventLoopTest, PostedWorkTimersAndWatchesRunOnTheGuiThread) {
  QtEventLoop loop;
  std::vector<int> order;
  std::atomic<bool> offThread{false};
  const auto gui = std::this_thread::get_id();
  std::thread poster([&] {
    for (int i = 0; i < 50; ++i)
      loop.post([&, i] {
        if (std::this_thread::get_id() != gui) offThread = true;
        order.push_back(i);
      });
  });
  poster.join();
  int once = 0, repeats = 0;
  loop.addTimer(
      5ms, [&] { ++once; }, false);
  platform::EventLoop::TimerId repeating = 0;
  repeating = loop.addTimer(
      5ms,
      [&] {
        if (++repeats == 3) loop.cancelTimer(repeating);
      },
      true);
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  short seen = 0;
  const auto watch = loop.watchFd(fds[0], POLLIN, [&](short revents) {
    seen = revents;
    char c;
    [[maybe_unused]] auto n = ::read(fds[0], &c, 1);
  });
  ASSERT_EQ(::write(fds[1], "x", 1), 1);
  EXPECT_TRUE(processUntil([&] { return order.size() == 50 && repeats == 3 && seen != 0; }, 5s));
  processUntil([] { return false; }, 50ms);
  EXPECT_FALSE(offThread);
  for (int i = 0; i < 50; ++i) EXPECT_EQ(order[static_cast<std::size_t>(i)], i);
  EXPECT_EQ(once, 1);
  EXPECT_EQ(repeats, 3);
  EXPECT_EQ(seen, POLLIN);
  loop.unwatchFd(watch);
  ::close(fds[0]);
  ::close(fds[1]);
}

TEST(QtEventLoopTest, RunEndsWithTheFirstQuitCode) {
  QtEventLoop loop;
  std::thread([&] {
    loop.quit(3);
    loop.quit(5);
  }).join();
  // The queued exit is spent by a loop before run(), as a start-up message box would.
  processUntil([] { return false; }, 20ms);
  EXPECT_EQ(loop.run(), 3);
  // Spent outside any loop, the exit stays pending in Qt and would end the next test's dialog
  // at once: an application loop of our own takes it back.
  QTimer::singleShot(0, [] { QCoreApplication::exit(0); });
  QCoreApplication::exec();
  QEventLoop next;
  QTimer::singleShot(0, &next, [&] { next.exit(7); });
  EXPECT_EQ(next.exec(), 7);
}

TEST(GuiFrontendTest, BoxAskedForByAnotherThreadShowsWithoutBlockingIt) {
  GuiFrontend frontend;
  std::thread([&] { frontend.messageBox("Socket Error. Unable to read data.", "Tivra"); }).join();
  QMessageBox* box = nullptr;
  EXPECT_TRUE(processUntil(
      [&] {
        for (QWidget* w : QApplication::topLevelWidgets())
          if (auto* b = qobject_cast<QMessageBox*>(w); b && b->isVisible()) box = b;
        return box != nullptr;
      },
      5s));
  ASSERT_NE(box, nullptr);
  EXPECT_EQ(box->text(), "Socket Error. Unable to read data.");
  EXPECT_EQ(box->windowTitle(), "Tivra");
  box->close();
}

class MapPageTest : public testing::Test {
 protected:
  MapPageTest() : hub(false, [this] { page.refresh(); }), page(hub.window(), hub.frontend()) {}
  test::GuiHub hub;
  MapPage page;
  tiles::MapValues& values() { return hub.window().mapValues(); }
};

TEST_F(MapPageTest, SpinClampsAtTheLimitAndClearsAuto) {
  values().xoff = 100000;
  values().autoOffset = true;
  page.refresh();
  ASSERT_TRUE(page.autoCheck()->isChecked());
  page.xBox()->stepUp();
  EXPECT_FALSE(page.autoCheck()->isChecked());
  EXPECT_EQ(values().xoff, 100000);
  EXPECT_EQ(page.xBox()->text(), "100000");
  EXPECT_FALSE(values().autoOffset);
  EXPECT_TRUE(values().offsetEdited);
  page.xBox()->stepDown();
  page.yBox()->stepDown();
  EXPECT_EQ(values().xoff, 99999);
  EXPECT_EQ(values().yoff, -1);
  for (int i = 0; i < 12; ++i) page.zoomBox()->stepUp();
  EXPECT_EQ(values().zoomLevel, 5);
  EXPECT_EQ(page.zoomBox()->text(), "5");
}

TEST_F(MapPageTest, ControlsStoreTheirValues) {
  values().offsetEdited = false;
  page.xBox()->selectAll();
  QTest::keyClicks(page.xBox(), "-250");
  EXPECT_EQ(values().xoff, -250);
  EXPECT_TRUE(values().offsetEdited);
  page.transparencySlider()->setValue(70);
  EXPECT_EQ(values().transParency, 70);
  EXPECT_TRUE(page.settingsButton()->isEnabled());
  page.enhancementCheck()->click();
  EXPECT_FALSE(values().imageEnhancement);
  EXPECT_FALSE(page.settingsButton()->isEnabled());
}

TEST_F(MapPageTest, RefreshMessageShowsWhatAHandlerWrote) {
  page.show();
  {
    const std::lock_guard lock(hub.window().stateLock());
    values().xoff = 1234;
    values().yoff = -567;
  }
  hub.window().postMapPageRefresh();
  hub.window().postMapPageRefresh();  // coalesced with the first
  EXPECT_TRUE(processUntil([&] { return page.yBox()->value() == -567; }, 5s));
  EXPECT_EQ(page.xBox()->text(), "1234");
}

TEST_F(MapPageTest, ImageDialogOkCopiesBackCancelDoesNot) {
  const auto answer = [](bool ok) {
    QTimer::singleShot(0, [ok] {
      auto* dialog = dynamic_cast<ImageAdvancedDialog*>(QApplication::activeModalWidget());
      ASSERT_NE(dialog, nullptr);
      dialog->rangeSlider()->setValue(47);  // snapped to 40
      dialog->colorBox()->stepUp();
      dialog->modeCheck()->click();
      ok ? dialog->accept() : dialog->reject();
    });
  };
  answer(false);
  page.settingsButton()->click();
  EXPECT_EQ(values().bkRange, 0);
  EXPECT_TRUE(values().transparentMode);
  answer(true);
  page.settingsButton()->click();
  EXPECT_EQ(values().bkRange, 40);
  EXPECT_EQ(values().colorNo, 1);
  EXPECT_FALSE(values().transparentMode);
}

// The default locale for the widgets made while it lives, as a user's desktop sets it.
class LocaleScope {
 public:
  explicit LocaleScope(const char* name) { QLocale::setDefault(QLocale(name)); }
  ~LocaleScope() { QLocale::setDefault(m_before); }
  LocaleScope(const LocaleScope&) = delete;
  LocaleScope& operator=(const LocaleScope&) = delete;

 private:
  QLocale m_before;
};

// Keys typed into an offset box (after selecting its text), then Return, arrow keys and
// wheel notches.
struct TypedOffsetCase {
  const char* name;
  const char* locale;
  const char* typed;
  int upKeys;
  int wheelNotches;
  int stored;
};

class TypedOffsetTest : public testing::TestWithParam<TypedOffsetCase> {};

TEST_P(TypedOffsetTest, TheBoxStoresWhatItShowsAndTheLocationMapGetsIt) {
  const auto& c = GetParam();
  const LocaleScope locale(c.locale);
  test::GuiHub hub(false);
  MapPage page(hub.window(), hub.frontend());
  page.show();
  NumberBox* box = page.xBox();
  if (page.autoCheck()->isChecked()) page.autoCheck()->click();  // a typed offset is a fixed one
  box->selectAll();
  QTest::keyClicks(box, c.typed);
  QTest::keyClick(box, Qt::Key_Return);
  for (int i = 0; i < c.upKeys; ++i) QTest::keyClick(box, Qt::Key_Up);
  for (int i = 0; i < std::abs(c.wheelNotches); ++i) {
    const QPoint centre = box->rect().center();
    QWheelEvent wheel(centre, box->mapToGlobal(centre), QPoint(),
                      QPoint(0, c.wheelNotches > 0 ? 120 : -120), Qt::NoButton, Qt::NoModifier,
                      Qt::NoScrollPhase, false);
    QCoreApplication::sendEvent(box, &wheel);
  }
  // What the user sees, read in the user's locale, is what the page stored.
  bool ok = false;
  EXPECT_EQ(QLocale().toInt(box->text(), &ok), c.stored) << box->text().toStdString();
  EXPECT_TRUE(ok) << box->text().toStdString();
  EXPECT_EQ(hub.window().mapValues().xoff, c.stored);

  // The next overlay request stores the edited offset in the location map.
  auto answer = std::async(std::launch::async, [port = hub.window().listeningPort()] {
    return test::exchange(
        port, "GET /KmlServer?BBOX=0,0,0,0,116.39,39.9,3000,0,0,60,40,1024,768 HTTP/1.1\r\n\r\n");
  });
  ASSERT_TRUE(processUntil([&] { return answer.wait_for(0s) == std::future_status::ready; }, 20s));
  ASSERT_TRUE(answer.get());
  const std::string stored = std::to_string(c.stored) + ",0";
  const auto pairs = hub.window().tileCache().locationMap().pairs();
  ASSERT_FALSE(pairs.empty());
  for (const auto& [key, value] : pairs) EXPECT_EQ(value, stored) << key;
}

INSTANTIATE_TEST_SUITE_P(
    Locales, TypedOffsetTest,
    testing::Values(TypedOffsetCase{"ChineseThousands", "zh_CN", "2,500", 0, 0, 2500},
                    TypedOffsetCase{"GermanThousands", "de_DE", "1.000", 0, 0, 1000},
                    TypedOffsetCase{"GermanNegative", "de_DE", "-2.500", 0, 0, -2500},
                    TypedOffsetCase{"SixthDigitRefused", "zh_CN", "123456", 0, 0, 12345},
                    TypedOffsetCase{"ArrowKeysStopAtTheLimit", "de_DE", "99999", 3, 0, 100000},
                    TypedOffsetCase{"WheelStopsAtTheLimit", "zh_CN", "-99998", 0, -3, -100000},
                    TypedOffsetCase{"WheelUp", "de_DE", "7", 0, 2, 9}),
    [](const auto& param) { return param.param.name; });

// The image dialog's boxes: what is typed out of range is refused or corrected, and OK copies
// back what the boxes show.
struct DialogNumberCase {
  const char* name;
  const char* locale;
  const char* cacheTyped;
  const char* colorTyped;
  int cache;
  int color;
};

class DialogNumberTest : public testing::TestWithParam<DialogNumberCase> {};

TEST_P(DialogNumberTest, OkCopiesWhatTheBoxesShow) {
  const auto& c = GetParam();
  const LocaleScope locale(c.locale);
  test::GuiHub hub(false);
  MapPage page(hub.window(), hub.frontend());
  QString cacheShown, colorShown;
  QTimer::singleShot(0, [&] {
    auto* dialog = dynamic_cast<ImageAdvancedDialog*>(QApplication::activeModalWidget());
    ASSERT_NE(dialog, nullptr);
    dialog->cacheBox()->selectAll();
    QTest::keyClicks(dialog->cacheBox(), c.cacheTyped);
    dialog->colorBox()->selectAll();
    QTest::keyClicks(dialog->colorBox(), c.colorTyped);
    dialog->findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Ok)->click();
    cacheShown = dialog->cacheBox()->text();
    colorShown = dialog->colorBox()->text();
  });
  page.settingsButton()->click();
  EXPECT_EQ(page.cacheSize(), c.cache);
  EXPECT_EQ(hub.window().mapValues().colorNo, c.color);
  EXPECT_EQ(QLocale().toInt(cacheShown), c.cache) << cacheShown.toStdString();
  EXPECT_EQ(QLocale().toInt(colorShown), c.color) << colorShown.toStdString();
}

INSTANTIATE_TEST_SUITE_P(
    Locales, DialogNumberTest,
    testing::Values(DialogNumberCase{"BelowTheRangeCorrected", "zh_CN", "2", "3", 5, 3},
                    DialogNumberCase{"AboveTheRangeRefused", "de_DE", "2000", "9", 200, 0},
                    DialogNumberCase{"GermanThousand", "de_DE", "1.000", "7", 1000, 7}),
    [](const auto& param) { return param.param.name; });

TEST(ImageAdvancedDialogTest, PreviewFollowsTheFormulaAndTheModeEnablesControls) {
  ImageAdvancedDialog dialog({true, 40, 3, 500}, 80);
  EXPECT_EQ(dialog.rangeNumber()->text(), "2");
  const auto decode = [](int id) {
    return *platform::decodeImage(platform::findResource(platform::ResourceType::Png, id));
  };
  const platform::Image tile = decode(platform::kResourceSampleTile);
  const platform::Image picture = decode(platform::kResourceSamplePicture);
  const auto pixel = [](const platform::Image& image, int x, int y) {
    const std::uint8_t* p = image.bgra.data() + (static_cast<std::size_t>(y) * image.width + x) * 4;
    return Rgb8{p[2], p[1], p[0]};
  };
  const auto check = [&](const PreviewValues& v) {
    ASSERT_EQ(dialog.preview().width(), static_cast<int>(tile.width));
    for (const auto& [x, y] : {std::pair{0, 0}, {57, 120}, {199, 199}, {100, 13}}) {
      const Rgb8 want = previewPixel(pixel(tile, x, y), pixel(picture, x, y), v);
      const QRgb got = dialog.preview().pixel(x, y);
      EXPECT_EQ(Rgb8(qRed(got), qGreen(got), qBlue(got)), want) << x << "," << y;
    }
  };
  check({80, true, 40, 3});
  dialog.modeCheck()->click();
  EXPECT_FALSE(dialog.rangeSlider()->isEnabled());
  EXPECT_FALSE(dialog.colorBox()->isEnabled());
  EXPECT_TRUE(dialog.cacheBox()->isEnabled());
  check({80, false, 40, 3});
}

TEST(DataShareDialogTest, ExportAndImportThroughTheButtons) {
  test::GuiHub hub(false);
  store::LocationMap& map = hub.window().tileCache().locationMap();
  map.insert("1,2", "3,4", true);
  std::filesystem::path next;
  DataShareDialog dialog(hub.window().tileCache(), hub.frontend(),
                         [&](bool) { return std::optional(next); });
  EXPECT_EQ(dialog.cacheText()->toPlainText(), "文件名:Cache\n信息数:1\n");

  next = hub.dir() / "share";
  dialog.exportButton()->click();
  const auto written = hub.dir() / "share.tds";
  ASSERT_TRUE(std::filesystem::exists(written));
  EXPECT_EQ(dialog.fileText()->toPlainText(),
            QString::fromStdString("文件名:" + written.string() + "\n信息数:1\n"));

  store::LocationMap other;
  other.insert("1,2", "9,9", true);
  other.insert("5,6", "7,8", true);
  const auto bytes = other.serialize();
  next = hub.dir() / "other.tds";
  std::ofstream(next, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()),
             static_cast<std::streamsize>(bytes.size()));
  dialog.importButton()->click();
  EXPECT_EQ(dialog.fileText()->toPlainText(),
            QString::fromStdString("文件名:" + next.string() + "\n信息数:2\n"));
  EXPECT_EQ(dialog.cacheText()->toPlainText(), "文件名:Cache\n原始信息数:1\n导入后总信息数:2\n");
  EXPECT_EQ(map.size(), 2u);
  EXPECT_TRUE(hub.frontend().messages().empty());

  next = hub.dir() / "broken.tds";
  std::ofstream(next) << "\x05";
  dialog.importButton()->click();
  ASSERT_EQ(hub.frontend().messages().size(), 1u);
  EXPECT_EQ(map.size(), 2u);
}

class GlobeViewTest : public testing::Test {
 protected:
  GlobeViewTest() : hub(true), view(*hub.globe(), *hub.window().earth()) {
    view.setGeometry(300, 100, 400, 300);
    view.show();
  }
  globe::Camera camera() { return hub.window().earth()->GetCamera(false); }
  // Close enough that a drag over the view stays within the offsets' limit of 100000.
  void zoomIn() {
    globe::Camera close = camera();
    close.Range /= 40;
    hub.window().earth()->SetCamera(close, 5.0);
    ASSERT_TRUE(processUntil([&] { return hub.globe()->waitIdle(0ms); }, 20s));
    ASSERT_LT(hub.globe()->view().halfWidthDeg, 1.5);
  }
  void send(QWidget* to, QEvent::Type type, QPoint global) {
    QMouseEvent e(type, to->mapFromGlobal(global), global, Qt::LeftButton,
                  type == QEvent::MouseButtonRelease ? Qt::NoButton : Qt::LeftButton,
                  Qt::NoModifier);
    QCoreApplication::sendEvent(to, &e);
  }
  test::GuiHub hub;
  GlobeView view;
};

TEST_F(GlobeViewTest, DragPansAndWheelZoomsTheCamera) {
  ASSERT_TRUE(processUntil([&] { return view.redraw(true); }, 5s));
  EXPECT_FALSE(view.picture().isNull());
  const globe::Camera before = camera();
  const double halfWidth = hub.globe()->view().halfWidthDeg;
  send(&view, QEvent::MouseButtonPress, view.mapToGlobal(QPoint(200, 150)));
  send(&view, QEvent::MouseMove, view.mapToGlobal(QPoint(300, 150)));
  send(&view, QEvent::MouseButtonRelease, view.mapToGlobal(QPoint(300, 150)));
  // A quarter of the view's width to the right moves the focus half its half width west.
  EXPECT_NEAR(camera().FocusPointLongitude, before.FocusPointLongitude - halfWidth / 2, 1e-9);
  QWheelEvent wheel(QPointF(200, 150), view.mapToGlobal(QPointF(200, 150)), QPoint(),
                    QPoint(0, 120), Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
  QCoreApplication::sendEvent(&view, &wheel);
  EXPECT_NEAR(camera().Range, before.Range * 0.8, 1e-6);
}

TEST_F(GlobeViewTest, DragOffsetOverTheViewAndReleaseElsewhere) {
  MapPage page(hub.window(), hub.frontend());
  page.show();
  const Rect viewRect{300, 100, 700, 400};
  page.setRenderViewLocator([&](Point p) -> std::optional<Rect> {
    // The real lookup must agree with the window's place.
    const auto found = findRenderView(p);
    if (found) {
      EXPECT_EQ(found->width(), viewRect.width());
    }
    return p.x >= 300 && p.x < 700 && p.y >= 100 && p.y < 400 ? std::optional(viewRect)
                                                              : std::nullopt;
  });
  hub.window().mapValues().xoff = 100;
  hub.window().mapValues().yoff = 200;
  hub.window().mapValues().autoOffset = true;
  page.refresh();
  ASSERT_TRUE(page.autoCheck()->isChecked());
  // The flight to the start view has ended and its overlay was served (on this thread).
  ASSERT_TRUE(processUntil([&] { return hub.globe()->waitIdle(0ms); }, 20s));
  zoomIn();
  const double halfWidth = hub.globe()->view().halfWidthDeg;
  const double halfHeight = hub.globe()->view().halfHeightDeg;
  QLabel* icon = page.dragIcon();
  send(icon, QEvent::MouseButtonPress, icon->mapToGlobal(QPoint(2, 2)));
  EXPECT_TRUE(page.dragging());
  EXPECT_FALSE(hub.window().mapValues().autoOffset);
  EXPECT_FALSE(page.autoCheck()->isChecked());
  // x' = (593 + 7 - 300) / 400 * 2 - 1 = 0.5; y' = 1 - (168 + 7 - 100) / 300 * 2 = 0.5
  send(icon, QEvent::MouseMove, QPoint(593, 168));
  send(icon, QEvent::MouseButtonRelease, QPoint(593, 168));
  EXPECT_FALSE(page.dragging());
  // Within one unit: the globe's own rounding of the two terrain points may differ.
  EXPECT_NEAR(hub.window().mapValues().xoff, 100 + std::trunc(halfWidth * 0.5 * 100000), 1);
  EXPECT_NEAR(hub.window().mapValues().yoff, 200 + std::trunc(halfHeight * 0.5 * 100000), 1);
  EXPECT_GT(hub.window().mapValues().xoff, 1000);
  EXPECT_TRUE(hub.window().mapValues().offsetEdited);

  const std::int32_t x = hub.window().mapValues().xoff;
  send(icon, QEvent::MouseButtonPress, icon->mapToGlobal(QPoint(2, 2)));
  send(icon, QEvent::MouseButtonRelease, QPoint(900, 700));
  EXPECT_EQ(hub.window().mapValues().xoff, x);
}

TEST_F(GlobeViewTest, ClosedRenderComesBackFromTheWindowMenuAndTheDragOffsetWorksAgain) {
  MainFrame frame(hub.window(), hub.frontend());
  frame.addRenderViewAction(&view);
  MapPage page(hub.window(), hub.frontend());  // finds the view as the program does
  page.show();
  ASSERT_TRUE(processUntil([&] { return hub.globe()->waitIdle(0ms); }, 20s));
  const Point over{593, 168};
  ASSERT_TRUE(findRenderView(over));
  view.close();
  EXPECT_FALSE(view.isVisible());
  EXPECT_FALSE(findRenderView(over));

  QAction* show = frame.actions().back();
  EXPECT_EQ(show->text(), "显示三维视图(&R)");
  show->trigger();
  EXPECT_TRUE(view.isVisible());
  const auto found = findRenderView(over);
  ASSERT_TRUE(found);
  EXPECT_EQ(*found, (Rect{300, 100, 700, 400}));
  QLabel* icon = page.dragIcon();
  const auto drag = [&] {
    send(icon, QEvent::MouseButtonPress, icon->mapToGlobal(QPoint(2, 2)));
    send(icon, QEvent::MouseMove, QPoint(over.x, over.y));
    send(icon, QEvent::MouseButtonRelease, QPoint(over.x, over.y));
  };
  // The whole globe in view: a quarter of it is more than the boxes hold, and they hold it all.
  drag();
  EXPECT_EQ(hub.window().mapValues().xoff, 100000);
  EXPECT_EQ(page.xBox()->value(), 100000);
  zoomIn();
  hub.window().mapValues().xoff = 0;
  drag();
  const double halfWidth = hub.globe()->view().halfWidthDeg;
  EXPECT_NEAR(hub.window().mapValues().xoff, std::trunc(halfWidth * 0.5 * 100000), 1);
  EXPECT_EQ(page.xBox()->value(), hub.window().mapValues().xoff);
}

// The export's file dialog: a name typed without extension is asked about as the ".tds" file
// that the export would replace.
TEST(DataShareFileTest, TheReplaceQuestionNamesTheTdsFile) {
  test::TempDir dir;
  std::ofstream(dir / "share.tds") << "kept";
  QString question;
  QTimer::singleShot(0, [&] {
    auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
    ASSERT_NE(dialog, nullptr);
    dialog->setDirectory(QString::fromStdString(dir.path().string()));
    dialog->selectFile("share");
    QTimer::singleShot(0, [&] {
      auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
      ASSERT_NE(box, nullptr);
      question = box->text();
      for (QAbstractButton* b : box->buttons())
        if (box->buttonRole(b) == QMessageBox::YesRole) b->click();
    });
    static_cast<QDialog*>(dialog)->accept();  // as the dialog's Save button does
  });
  const auto chosen = chooseDataShareFile(nullptr, true);
  EXPECT_TRUE(question.contains("share.tds")) << question.toStdString();
  ASSERT_TRUE(chosen);
  EXPECT_EQ(chosen->filename(), "share.tds");
}

TEST(MainFrameTest, DocksOnPlacementSnapsSlidesAndCloses) {
  test::GuiHub hub(false);
  hub.window().setWindowPosition(3, 200);
  MainFrame frame(hub.window(), hub.frontend());
  Point cursor{900, 500};
  frame.setCursorSource([&] { return cursor; });
  bool closed = false;
  frame.setCloseHandler([&] { closed = true; });
  frame.show();
  frame.place();
  const auto left = [&] { return frame.frameGeometry().left(); };
  EXPECT_TRUE(processUntil([&] { return left() == 0; }, 5s));
  EXPECT_EQ(frame.dockState(), DockState::Left);
  EXPECT_EQ(frame.slideTimer().interval(), 1000);

  frame.onSlideTimer(cursor);  // the cursor is away: slide out, 3 pixels stay
  EXPECT_TRUE(processUntil([&] { return left() == 3 - frame.frameGeometry().width(); }, 5s));
  EXPECT_FALSE(frame.slideTimer().isActive());
  frame.onPointerOver();
  EXPECT_TRUE(processUntil([&] { return left() == 0; }, 5s));
  EXPECT_TRUE(frame.slideTimer().isActive());

  cursor = {400, 300};  // moved out past the right edge: free at x = 5
  frame.onMoved(cursor);
  EXPECT_EQ(frame.dockState(), DockState::Free);
  EXPECT_TRUE(processUntil([&] { return left() == 5; }, 5s));
  // A move the window system reports, within 4 pixels of the left edge: recorded, then snapped.
  frame.move(4, 300);
  EXPECT_TRUE(processUntil([&] { return frame.dockState() == DockState::Left; }, 5s));
  EXPECT_TRUE(processUntil([&] { return left() == 0; }, 5s));
  EXPECT_EQ(hub.window().settings().xPos, 4);
  frame.close();
  EXPECT_TRUE(closed);
}

TEST(MainFrameTest, AboutFromTheWindowMenu) {
  test::GuiHub hub(false);
  MainFrame frame(hub.window(), hub.frontend());
  ASSERT_EQ(frame.actions().size(), 1);
  QString title, text;
  QTimer::singleShot(0, [&] {
    QWidget* about = QApplication::activeModalWidget();
    ASSERT_NE(about, nullptr);
    title = about->windowTitle();
    for (const QLabel* label : about->findChildren<QLabel*>()) text += label->text() + "\n";
    static_cast<QDialog*>(about)->accept();
  });
  frame.actions().front()->trigger();
  EXPECT_EQ(frame.actions().front()->text(), "关于 Tivra(&A)...");
  EXPECT_EQ(title, "关于 Tivra");
  EXPECT_TRUE(text.contains("Tivra Version 4.0")) << text.toStdString();
  EXPECT_EQ(frame.windowTitle(), "Tivra");
  EXPECT_EQ(frame.tabs()->count(), 1);
  EXPECT_EQ(frame.tabs()->tabText(0), "地图");
}

TEST(ProgramTest, WithoutDisplayNamesHeadlessAndExits2) {
  test::TempDir dir;
  ::unsetenv("DISPLAY");
  ::unsetenv("WAYLAND_DISPLAY");
  const QByteArray platform = qgetenv("QT_QPA_PLATFORM");
  ::unsetenv("QT_QPA_PLATFORM");
  test::Process tivra(TIVRA_BINARY, {"--data-dir", dir.path().string()},
                      {"XDG_RUNTIME_DIR=" + dir.path().string()}, dir / "err");
  qputenv("QT_QPA_PLATFORM", platform);
  EXPECT_EQ(tivra.wait(30s), 2);
  const std::string err = test::readFile(dir / "err");
  EXPECT_NE(err.find("--headless"), std::string::npos) << err;
  EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
}

TEST(ProgramTest, UiSnapshotHoldsTheWindowAndTheGlobeView) {
  test::TempDir dir;
  std::ofstream(dir / "Tivra.ini") << "[settings]\r\nTcpPort=" << test::freePort() << "\r\n";
  const auto png = dir / "ui.png";
  test::Process tivra(
      TIVRA_BINARY, {"--ui-snapshot", png.string(), "--data-dir", dir.path().string()},
      {"QT_QPA_PLATFORM=offscreen", "XDG_RUNTIME_DIR=" + dir.path().string()}, dir / "err");
  ASSERT_EQ(tivra.wait(120s), 0) << test::readFile(dir / "err");
  const std::string bytes = test::readFile(png);
  const auto image =
      test::readPng(std::span(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()));
  // The globe view is half the globe's 1024 x 768 picture; the main window stands left of it.
  ASSERT_GT(image.width, 512u + 100u);
  ASSERT_GE(image.height, 384u);
  const auto colours = [&](std::uint32_t x0, std::uint32_t x1) {
    std::set<std::uint32_t> seen;
    for (std::uint32_t y = 0; y < 384; y += 3)
      for (std::uint32_t x = x0; x < x1; x += 3) {
        const std::uint8_t* p = image.at(x, y);
        seen.insert(p[0] << 16 | p[1] << 8 | p[2]);
      }
    return seen.size();
  };
  EXPECT_GT(colours(0, image.width - 512), 5u);
  EXPECT_GT(colours(image.width - 512, image.width), 5u);

  // Another page: the same window size, its own picture on the left.
  const auto navPng = dir / "nav.png";
  test::Process other(
      TIVRA_BINARY,
      {"--ui-snapshot", navPng.string(), "--page", "nav", "--data-dir", dir.path().string()},
      {"QT_QPA_PLATFORM=offscreen", "XDG_RUNTIME_DIR=" + dir.path().string()}, dir / "err2");
  ASSERT_EQ(other.wait(120s), 0) << test::readFile(dir / "err2");
  const std::string navBytes = test::readFile(navPng);
  const auto nav = test::readPng(
      std::span(reinterpret_cast<const std::uint8_t*>(navBytes.data()), navBytes.size()));
  ASSERT_EQ(nav.width, image.width);
  ASSERT_EQ(nav.height, image.height);
  std::size_t differing = 0;
  for (std::uint32_t y = 0; y < 384; y += 3)
    for (std::uint32_t x = 0; x < image.width - 512; x += 3)
      differing += std::memcmp(nav.at(x, y), image.at(x, y), 3) != 0 ? 1 : 0;
  EXPECT_GT(differing, 100u);

  // At twice the scale: the same window at twice the pixels, drawn, not a grey field.
  const auto scaledPng = dir / "scaled.png";
  test::Process scaled(
      TIVRA_BINARY, {"--ui-snapshot", scaledPng.string(), "--data-dir", dir.path().string()},
      {"QT_QPA_PLATFORM=offscreen", "QT_SCALE_FACTOR=2", "XDG_RUNTIME_DIR=" + dir.path().string()},
      dir / "err3");
  ASSERT_EQ(scaled.wait(120s), 0) << test::readFile(dir / "err3");
  const std::string scaledBytes = test::readFile(scaledPng);
  const auto big = test::readPng(
      std::span(reinterpret_cast<const std::uint8_t*>(scaledBytes.data()), scaledBytes.size()));
  EXPECT_EQ(big.width, 2 * image.width);
  EXPECT_EQ(big.height, 2 * image.height);
  // The globe view fills its place at twice the size: each sampled pixel as in the first
  // picture, not the picture shrunk into a corner of a grey field.
  ASSERT_EQ(big.width, 2 * image.width);
  const std::uint32_t viewLeft = image.width - 512;
  int samples = 0, alike = 0;
  for (std::uint32_t y = 0; y < 384; y += 7)
    for (std::uint32_t x = 0; x < 512; x += 7) {
      const std::uint8_t* a = image.at(viewLeft + x, y);
      const std::uint8_t* b = big.at(2 * (viewLeft + x), 2 * y);
      ++samples;
      alike +=
          std::abs(a[0] - b[0]) < 24 && std::abs(a[1] - b[1]) < 24 && std::abs(a[2] - b[2]) < 24
              ? 1
              : 0;
    }
  EXPECT_GT(alike, samples * 3 / 4) << alike << " of " << samples;
}

TEST(ProgramTest, DecimalCommaLocaleKeepsThePointInWhatPeersRead) {
  if (std::setlocale(LC_ALL, "de_DE.UTF-8") == nullptr)
    GTEST_SKIP() << "locale de_DE.UTF-8 is not installed (scripts/install-deps.sh makes it)";
  std::setlocale(LC_ALL, "C");
  test::TempDir dir;
  std::ofstream(dir / "Tivra.ini") << "[settings]\r\nTcpPort=" << test::freePort()
                                   << "\r\nCameraLongitude=116.3904\r\nCameraLatitude=39.9\r\n"
                                   << "CameraRange=30000\r\n";
  // The entry document, the globe's BBOX values and the settings written at the end all pass
  // through "%f" and its readers; the snapshot needs the overlay of the right view.
  test::Process tivra(
      TIVRA_BINARY, {"--ui-snapshot", (dir / "ui.png").string(), "--data-dir", dir.path().string()},
      {"QT_QPA_PLATFORM=offscreen", "XDG_RUNTIME_DIR=" + dir.path().string(), "LC_ALL=de_DE.UTF-8",
       "LANG=de_DE.UTF-8"},
      dir / "err");
  ASSERT_EQ(tivra.wait(120s), 0) << test::readFile(dir / "err");
  const std::string ini = test::readFile(dir / "Tivra.ini");
  EXPECT_NE(ini.find("CameraLongitude=116.390400"), std::string::npos) << ini;
  EXPECT_NE(ini.find("CameraRange=30000.000000"), std::string::npos) << ini;
}

}  // namespace
}  // namespace tivra::ui
