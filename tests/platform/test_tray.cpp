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
#include <utility>

#include "platform/testing/ui_testing.h"
#include "platform/tray.h"
#include "platform/ui.h"

namespace {

QLabel* Indicator(int panel) {
  return static_cast<QWidget*>(ui::PanelWidget(panel))->findChild<QLabel*>("linkIndicator");
}
QImage Shown(int panel) { return Indicator(panel)->pixmap().toImage(); }

// A file that cannot be loaded keeps the previous image; a rewritten file shows its new
// picture (decoded images are reused only while their file is unchanged).
TEST(Tray, ImagesShowOnPanelsAndBadFilesKeepThePreviousOne) {
  ASSERT_EQ(InitUIRuntime(nullptr, nullptr, nullptr), 1);
  ui::SetProjectDirOverride(VELDIX_BIN_DIR);  // where the build lays the four images
  const int panel = NewPanel(0, "p", 10, 10, 100, 100);
  DisplayPanel(panel);
  int icon = -1;
  EXPECT_EQ(WT_InstallSysTrayIcon("no-such.ico", "VELDIX-MID v1.0", nullptr, &icon), -2);
  ASSERT_EQ(WT_InstallSysTrayIcon("trffc_a.ico", "VELDIX-MID v1.0", nullptr, &icon), 0);
  ASSERT_TRUE(Indicator(panel)->isVisible());
  const QImage idle = Shown(panel);
  EXPECT_EQ(WT_SetTrayIconAttr(icon, ATTR_TRAY_IMAGE_FILE, "trffc_d.ico"), 0);
  const QImage error = Shown(panel);
  EXPECT_NE(error, idle);
  EXPECT_EQ(WT_SetTrayIconAttr(icon, ATTR_TRAY_IMAGE_FILE, "missing.ico"), -2);
  EXPECT_EQ(WT_SetTrayIconAttr(icon + 99, ATTR_TRAY_IMAGE_FILE, "trffc_a.ico"), -1);
  // A panel created later shows the current image too.
  const int later = NewPanel(0, "q", 10, 10, 100, 100);
  DisplayPanel(later);
  for (int p : {panel, later}) EXPECT_EQ(Shown(p), error);

  QTemporaryDir dir;
  const QString path = dir.path() + "/trffc_a.ico";
  for (const auto& [colour, side] : {std::pair{Qt::red, 16}, std::pair{Qt::green, 32}}) {
    QImage img(side, side, QImage::Format_ARGB32);
    img.fill(colour);
    ASSERT_TRUE(img.save(path, "ICO"));
    EXPECT_EQ(WT_SetTrayIconAttr(icon, ATTR_TRAY_IMAGE_FILE, path.toLocal8Bit()), 0);
    EXPECT_EQ(Shown(panel).pixelColor(0, 0), QColor(colour));
  }
  ASSERT_TRUE(QFile::remove(path));
  EXPECT_EQ(WT_SetTrayIconAttr(icon, ATTR_TRAY_IMAGE_FILE, path.toLocal8Bit()), -2);
  EXPECT_EQ(Shown(panel).pixelColor(0, 0), QColor(Qt::green));

  EXPECT_EQ(WT_RemoveSysTrayIcon(icon), 0);
  EXPECT_FALSE(Indicator(panel)->isVisible());
  EXPECT_EQ(WT_RemoveSysTrayIcon(icon), -1);
  DiscardPanel(panel);
  DiscardPanel(later);
  ui::SetProjectDirOverride(nullptr);
}

}  // namespace
