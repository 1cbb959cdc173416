// Text, path and time helpers of the runtime: code-page conversion, Fmt, GetProjectDir,
// FileExists, Delay.
#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QString>
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/keep_alive.h"
#include "platform/testing/ui_testing.h"
#include "platform/ui.h"
#include "platform/ui_internal.h"

namespace {
// Windows-1252 differs from Latin-1 only in 0x80..0x9F; five of those are unassigned and
// are kept as the C1 control of the same number.
constexpr char16_t kCp1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

std::string g_projectDirOverride;
bool g_hasProjectDirOverride = false;

char EncodeCp1252(char16_t c) {
  if (c < 0x80 || (c >= 0xA0 && c <= 0xFF)) return static_cast<char>(c);
  for (int i = 0; i < 32; ++i)
    if (kCp1252High[i] == c) return static_cast<char>(0x80 + i);
  return '?';
}
}  // namespace

namespace ui::detail {

// The running executable's directory (exe_dir_posix.cpp, exe_dir_win.cpp).
std::string ExecutableDir();

QString FromCp1252(const char* text) {
  QString out;
  if (!text) return out;
  const std::size_t n = std::strlen(text);
  out.reserve(static_cast<qsizetype>(n));
  for (std::size_t i = 0; i < n; ++i) {
    const auto b = static_cast<unsigned char>(text[i]);
    out.append(QChar(b >= 0x80 && b < 0xA0 ? kCp1252High[b - 0x80] : char16_t(b)));
  }
  return out;
}

std::string ToCp1252(const QString& text) {
  std::string out;
  out.reserve(static_cast<std::size_t>(text.size()));
  for (QChar c : text) out.push_back(EncodeCp1252(c.unicode()));
  return out;
}

}  // namespace ui::detail

namespace ui {
std::string ToCp1252(const std::u16string& text) {
  std::string out;
  out.reserve(text.size());
  for (char16_t c : text) out.push_back(EncodeCp1252(c));
  return out;
}

std::string PathToCp1252(const std::string& path) {
  return ToCp1252(QString::fromStdString(path).toStdU16String());
}

LocalTime LocalTimeNow() {
  const QDateTime now = QDateTime::currentDateTime();
  const QDate d = now.date();
  const QTime t = now.time();
  return {d.year(),   d.month(),  d.day(),  t.hour(),
          t.minute(), t.second(), t.msec(), now.offsetFromUtc()};
}

std::string LocalTimeIso8601() {
  const LocalTime t = LocalTimeNow();
  const int minutes = (t.utcOffsetSeconds < 0 ? -t.utcOffsetSeconds : t.utcOffsetSeconds) / 60;
  char text[48];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03d%c%02d:%02d", t.year, t.month,
                t.day, t.hour, t.minute, t.second, t.millisecond,
                t.utcOffsetSeconds < 0 ? '-' : '+', minutes / 60, minutes % 60);
  return text;
}

void SetProjectDirOverride(const char* dir) {
  g_hasProjectDirOverride = dir != nullptr;
  g_projectDirOverride = dir ? dir : "";
}
}  // namespace ui

int Fmt(char* target, std::size_t size, const char* format, ...) {
  if (!target || size == 0 || !format) return -1;
  va_list args;
  va_start(args, format);
  const int n = std::vsnprintf(target, size, format, args);
  va_end(args);
  if (n < 0) target[0] = '\0';
  return n;
}

char PathSeparator(void) { return QDir::separator().toLatin1(); }

int GetProjectDir(char* buffer, std::size_t size) {
  if (!buffer || size == 0) return -1;
  std::string dir;
  if (g_hasProjectDirOverride) {
    dir = g_projectDirOverride;
  } else if (QCoreApplication::instance()) {
    // Qt gives forward slashes everywhere; the paths built from this one, and the messages
    // that show them, use the native separator. Local 8-bit like every other path handed
    // to the C runtime and read back with fromLocal8Bit.
    dir = QDir::toNativeSeparators(QCoreApplication::applicationDirPath())
              .toLocal8Bit()
              .toStdString();
  } else {
    dir = ui::detail::ExecutableDir();  // before the runtime is up
  }
  while (dir.size() > 1 && (dir.back() == '/' || dir.back() == '\\')) dir.pop_back();
  if (dir.size() + 1 > size) {
    buffer[0] = '\0';
    return -1;
  }
  std::memcpy(buffer, dir.c_str(), dir.size() + 1);
  return 0;
}

int FileExists(const char* path, long* size) {
  if (size) *size = -1;
  if (!path || !*path) return 0;
  QFileInfo info(QString::fromLocal8Bit(path));
  if (!info.exists() || !info.isFile()) return 0;
  if (size) *size = static_cast<long>(info.size());
  return 1;
}

void Delay(double seconds) {
  if (!(seconds > 0) || !std::isfinite(seconds)) return;
  // Sleep to an absolute deadline so an early wake-up cannot shorten the delay.
  const auto until = std::chrono::steady_clock::now() +
                     std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                         std::chrono::duration<double>(seconds));
  // The windows stay alive meanwhile: events are pumped at the start of every slice, inside
  // the wait, and never once the deadline is reached.
  for (;;) {
    if (std::chrono::steady_clock::now() >= until) return;
    ui::KeepAlive();
    ui::SleepUntil(std::min(until, std::chrono::steady_clock::now() +
                                       std::chrono::milliseconds(ui::kKeepAliveSliceMs)));
  }
}
