// Link-status icon without a notification area (offscreen): the image shows on the panels.
#include <gtest/gtest.h>

#include <QApplication>
#include <QFile>
#include <QImage>
#include <QLabel>
#include <QPixmap>
#include <QTemporaryDir>
#include <QWidget>
#include <string>
#include <vector>

#include "platform/testing/tray_testing.h"
#include "platform/testing/ui_testing.h"
#include "platform/tray.h"
#include "platform/ui.h"

namespace {

std::vector<std::string> g_seen;  // images reported to the observer

QLabel* Indicator(int panel) {
  return static_cast<QWidget*>(ui::PanelWidget(panel))->findChild<QLabel*>("linkIndicator");
}
QImage Shown(int panel) { return Indicator(panel)->pixmap().toImage(); }

TEST(Tray, ImagesShowOnPanelsAndBadFilesKeepThePreviousOne) {
  ASSERT_EQ(InitUIRuntime(nullptr, nullptr, nullptr), 1);
  ui::SetProjectDirOverride(VELDIX_BIN_DIR);  // where the build lays the four images
  tray::SetObserver([](const char* file) { g_seen.emplace_back(file); });
  const int panel = NewPanel(0, "p", 10, 10, 100, 100);
  DisplayPanel(panel);

  int icon = -1;
  EXPECT_EQ(WT_InstallSysTrayIcon("no-such.ico", "VELDIX-MID v1.0", nullptr, &icon), -2);
  ASSERT_EQ(WT_InstallSysTrayIcon("trffc_a.ico", "VELDIX-MID v1.0", nullptr, &icon), 0);
  EXPECT_STREQ(tray::CurrentImage(), "trffc_a.ico");
  ASSERT_TRUE(Indicator(panel)->isVisible());
  const QImage idle = Shown(panel);
  EXPECT_FALSE(idle.isNull());
  EXPECT_EQ(Indicator(panel)->accessibleName(), "trffc_a.ico") << "no catalogue text: its name";
  SetTextSource(
      [](int n) -> const char* { return n == 25 ? "No answer from the meter" : nullptr; });

  EXPECT_EQ(WT_SetTrayIconAttr(icon, ATTR_TRAY_IMAGE_FILE, "trffc_d.ico"), 0);
  const QImage error = Shown(panel);
  EXPECT_NE(error, idle);
  EXPECT_EQ(Indicator(panel)->accessibleName(), "No answer from the meter");

  // A file that cannot be loaded leaves the error image in place.
  EXPECT_EQ(WT_SetTrayIconAttr(icon, ATTR_TRAY_IMAGE_FILE, "missing.ico"), -2);
  EXPECT_STREQ(tray::CurrentImage(), "trffc_d.ico");
  EXPECT_EQ(Shown(panel), error);
  EXPECT_EQ(WT_SetTrayIconAttr(icon + 99, ATTR_TRAY_IMAGE_FILE, "trffc_a.ico"), -1);

  // A panel created later shows the current image too.
  const int later = NewPanel(0, "q", 10, 10, 100, 100);
  DisplayPanel(later);
  EXPECT_TRUE(Indicator(later)->isVisible());
  EXPECT_EQ(Shown(later), error);
  EXPECT_EQ(Indicator(later)->accessibleName(), "No answer from the meter");
  SetTextSource(nullptr);

  EXPECT_EQ(g_seen, (std::vector<std::string>{"trffc_a.ico", "trffc_d.ico"}));
  EXPECT_EQ(WT_RemoveSysTrayIcon(icon), 0);
  EXPECT_FALSE(Indicator(panel)->isVisible());
  EXPECT_STREQ(tray::CurrentImage(), "");
  EXPECT_EQ(WT_RemoveSysTrayIcon(icon), -1);
  tray::SetObserver(nullptr);
  DiscardPanel(panel);
  DiscardPanel(later);
  ui::SetProjectDirOverride(nullptr);
}

// Decoded images are reused only while their file is unchanged: a rewritten file shows its
// new picture, a removed one leaves the picture on screen.
TEST(Tray, ARewrittenImageShowsAnewAndARemovedOneKeepsThePicture) {
  ASSERT_EQ(InitUIRuntime(nullptr, nullptr, nullptr), 1);
  QTemporaryDir dir;
  const QString path = dir.path() + "/trffc_a.ico";
  const std::string file = path.toStdString();
  auto write = [&](Qt::GlobalColor colour, int side) {
    QImage img(side, side, QImage::Format_ARGB32);
    img.fill(colour);
    return img.save(path, "ICO");
  };
  const int panel = NewPanel(0, "p", 10, 10, 100, 100);
  DisplayPanel(panel);
  int icon = -1;
  ASSERT_TRUE(write(Qt::red, 16));
  ASSERT_EQ(WT_InstallSysTrayIcon(file.c_str(), "VELDIX-MID v1.0", nullptr, &icon), 0);
  EXPECT_EQ(Shown(panel).pixelColor(0, 0), QColor(Qt::red));
  ASSERT_TRUE(write(Qt::green, 32));
  EXPECT_EQ(WT_SetTrayIconAttr(icon, ATTR_TRAY_IMAGE_FILE, file.c_str()), 0);
  EXPECT_EQ(Shown(panel).pixelColor(0, 0), QColor(Qt::green));
  ASSERT_TRUE(QFile::remove(path));
  EXPECT_EQ(WT_SetTrayIconAttr(icon, ATTR_TRAY_IMAGE_FILE, file.c_str()), -2);
  EXPECT_EQ(Shown(panel).pixelColor(0, 0), QColor(Qt::green));
  EXPECT_EQ(WT_RemoveSysTrayIcon(icon), 0);
  DiscardPanel(panel);
}

}  // namespace
