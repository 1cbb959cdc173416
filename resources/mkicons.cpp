// Draws the four traffic-light images of the link indicator and writes them as .ico files:
//   trffc_a.ico idle (all lamps dark), trffc_b.ico receiving (green),
//   trffc_c.ico sending (amber), trffc_d.ico error (red).
// Usage: veldix-mkicons OUTPUT_DIR. Deterministic: the same pixels on every build.
#include <QColor>
#include <QGuiApplication>
#include <QImage>
#include <QImageWriter>
#include <QPainter>
#include <cstdio>

namespace {

QImage Draw(int size, int lit) {  // lit: -1 none, 0 red, 1 amber, 2 green
  QImage img(size, size, QImage::Format_ARGB32);
  img.fill(Qt::transparent);
  QPainter p(&img);
  p.setRenderHint(QPainter::Antialiasing);
  const double s = size / 32.0;
  p.setPen(Qt::NoPen);
  p.setBrush(QColor(40, 40, 40));
  p.drawRoundedRect(QRectF(8 * s, 1 * s, 16 * s, 30 * s), 4 * s, 4 * s);
  const QColor on[3] = {QColor(230, 30, 30), QColor(255, 176, 0), QColor(30, 200, 60)};
  const QColor off[3] = {QColor(90, 30, 30), QColor(95, 75, 20), QColor(25, 80, 35)};
  for (int i = 0; i < 3; ++i) {
    p.setBrush(i == lit ? on[i] : off[i]);
    p.drawEllipse(QPointF(16 * s, (6 + 10 * i) * s), 4 * s, 4 * s);
  }
  return img;
}

}  // namespace

int main(int argc, char* argv[]) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s OUTPUT_DIR\n", argv[0]);
    return 2;
  }
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QGuiApplication app(argc, argv);
  const struct {
    const char* name;
    int lit;
  } icons[] = {{"trffc_a.ico", -1}, {"trffc_b.ico", 2}, {"trffc_c.ico", 1}, {"trffc_d.ico", 0}};
  for (const auto& icon : icons) {
    const QString path = QString::fromLocal8Bit(argv[1]) + QLatin1Char('/') + icon.name;
    QImageWriter w(path, "ico");
    if (!w.write(Draw(32, icon.lit))) {
      std::fprintf(stderr, "%s: %s\n", qPrintable(path), qPrintable(w.errorString()));
      return 1;
    }
  }
  // The same picture as a PNG for the desktop entry.
  const QString png = QString::fromLocal8Bit(argv[1]) + QStringLiteral("/veldixmid.png");
  if (!Draw(48, 2).save(png, "PNG")) return 1;
  return 0;
}
