// Link-status icon: QSystemTrayIcon where a notification area exists, otherwise an image
// in the corner of every panel.
#include <QApplication>
#include <QFile>
#include <QFileInfo>
#include <QIcon>
#include <QImage>
#include <QPixmap>
#include <QSystemTrayIcon>
#include <map>
#include <memory>
#include <string>

#include "platform/ico.h"
#include "platform/safe_file.h"
#include "platform/testing/tray_testing.h"
#include "platform/tray.h"
#include "platform/ui.h"
#include "platform/ui_internal.h"

namespace {

struct TrayIcon {
  std::unique_ptr<QSystemTrayIcon> sys;  // null where the desktop has no notification area
  TrayIconCallbackPtr cb = nullptr;
  std::string image;
  qint64 shown = 0;  // cache key of the picture on screen
};

std::map<int, TrayIcon> g_icons;
int g_nextIcon = 1;
tray::Observer g_observer = nullptr;
std::string g_current;

// A bare or relative name is looked up beside the executable, where the images ship.
QString ResolveImage(const char* file) {
  const QString name = QString::fromLocal8Bit(file);
  if (QFileInfo(name).isAbsolute()) return name;
  char dir[4096];
  if (GetProjectDir(dir, sizeof dir) != 0) return name;
  return QString::fromLocal8Bit(dir) + QLatin1Char(PathSeparator()) + name;
}

// Images decoded before, by path, with the file's size and time when decoded: an exchange
// changes the image four times or more, and reading and decoding the file each time cost
// more than the rest of the exchange. A file changed on disk is decoded again; a file gone
// loads as nothing, as before.
struct Decoded {
  safe_file::Stamp stamp;
  QPixmap pixmap;
};
std::map<QString, Decoded> g_decoded;

// The shipped images are decoded here; anything else by Qt's image-format plugins.
QPixmap Decode(const QString& path, const std::string& localPath) {
  // An icon of 256 x 256 takes 320 KiB; a larger file is no icon of ours.
  const safe_file::Read file = safe_file::ReadFile(localPath, 1 << 20);
  ico::Image img;
  if (file.status == safe_file::Status::ok &&
      ico::Decode(reinterpret_cast<const unsigned char*>(file.data.data()), file.data.size(),
                  &img)) {
    const QImage view(reinterpret_cast<const uchar*>(img.pixels.data()), img.width, img.height,
                      img.width * 4, QImage::Format_ARGB32);
    return QPixmap::fromImage(view.copy());  // the view does not own the pixels
  }
  return QPixmap(path);
}

QPixmap LoadImage(const char* file) {
  if (!file || !*file) return {};
  const QString path = ResolveImage(file);
  const std::string localPath = QFile::encodeName(path).toStdString();
  safe_file::Stamp stamp;
  if (!safe_file::StampOf(localPath, &stamp)) return {};
  Decoded& d = g_decoded[path];
  if (!(d.stamp == stamp) || d.pixmap.isNull()) d = Decoded{stamp, Decode(path, localPath)};
  return d.pixmap;
}

// What each of the link's images means, said by screen readers of the panels' indicator:
// catalogue texts "Ready", "Waiting for the answer...", "Sending request...", "No answer
// from the meter"; the image's name where the catalogue has none.
QString StateText(const char* file) {
  static const std::pair<const char*, int> kStates[] = {
      {"trffc_a.ico", 172}, {"trffc_b.ico", 23}, {"trffc_c.ico", 22}, {"trffc_d.ico", 25}};
  const QString name = QFileInfo(QString::fromLocal8Bit(file)).fileName();
  for (const auto& [image, text] : kStates)
    if (name == QLatin1String(image)) return ui::detail::SourceText(text, name);
  return name;
}

void Show(TrayIcon& icon, const QPixmap& pm, const char* file) {
  // The same picture again (idle at the start of an exchange) changes nothing on screen.
  const bool same = icon.image == file && icon.shown == pm.cacheKey();
  icon.image = file;
  icon.shown = pm.cacheKey();
  g_current = file;
  if (!same) {
    if (icon.sys)
      icon.sys->setIcon(QIcon(pm));
    else
      ui::detail::SetPanelIndicator(&pm, StateText(file));
  }
  if (g_observer) g_observer(file);
}

}  // namespace

int WT_InstallSysTrayIcon(const char* iconFile, const char* tooltip, TrayIconCallbackPtr cb,
                          int* handle) {
  if (!iconFile || !handle || !QApplication::instance()) return -1;
  const QPixmap pm = LoadImage(iconFile);
  if (pm.isNull()) return -2;
  const int h = g_nextIcon++;
  TrayIcon& icon = g_icons[h];
  icon.cb = cb;
  if (QSystemTrayIcon::isSystemTrayAvailable()) {
    icon.sys = std::make_unique<QSystemTrayIcon>();
    // The notification area shows at most 63 characters of a tooltip.
    icon.sys->setToolTip(QString::fromLatin1(tooltip ? tooltip : "").left(63));
    QObject::connect(icon.sys.get(), &QSystemTrayIcon::activated, icon.sys.get(),
                     [h](QSystemTrayIcon::ActivationReason reason) {
                       auto it = g_icons.find(h);
                       if (it != g_icons.end() && it->second.cb)
                         it->second.cb(h, static_cast<int>(reason), 0);
                     });
  }
  Show(icon, pm, iconFile);
  if (icon.sys) icon.sys->show();
  *handle = h;
  return 0;
}

int WT_SetTrayIconAttr(int handle, int attribute, const char* value) {
  auto it = g_icons.find(handle);
  if (it == g_icons.end()) return -1;
  if (attribute != ATTR_TRAY_IMAGE_FILE) return -1;
  const QPixmap pm = LoadImage(value);
  if (pm.isNull()) return -2;  // the previous image stays
  Show(it->second, pm, value);
  return 0;
}

int WT_RemoveSysTrayIcon(int handle) {
  auto it = g_icons.find(handle);
  if (it == g_icons.end()) return -1;
  const bool inPanel = !it->second.sys;
  g_icons.erase(it);
  if (inPanel && QApplication::instance()) ui::detail::SetPanelIndicator(nullptr);
  if (g_icons.empty()) {
    g_current.clear();
    g_decoded.clear();  // no picture outlives the last icon (nor the application)
  }
  return 0;
}

namespace tray {
void SetObserver(Observer obs) { g_observer = obs; }
const char* CurrentImage() { return g_current.c_str(); }
}  // namespace tray
