// The start-up floor of the tool's own first panel: a plain Qt Widgets program, none of the
// tool's code and no file read, that puts on screen what the tool's main panel shows in
// Spanish (resource 6 of VELDIXMID.uir, with the language file's texts): a 600 x 350 panel
// in a scroll area under a menu bar of four menus, the same kinds of widget at the same
// places and sizes with the same texts and values, and the 32 x 32 link indicator. It is
// shown and painted the way bench/minimal_qt is (let the window system expose it, then
// paint at once), then prints "shown" and runs the event loop.
//
// What the tool spends beyond this program is the tool's own; what this program spends
// beyond minimal_qt is Qt's price for the panel's content. Built twice: same_panel_qt
// links Qt Widgets only; same_panel_qt_serial (VELDIX_SAME_PANEL_SERIAL) also links Qt
// SerialPort, and through it libudev, as the tool does, without enumerating the ports.
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QElapsedTimer>
#include <QFrame>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPainter>
#include <QPixmap>
#include <QProxyStyle>
#include <QPushButton>
#include <QScrollArea>
#include <QSpinBox>
#include <QStyleOption>
#include <QTimer>
#include <QVBoxLayout>
#include <QWidget>
#include <QWindow>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#ifdef VELDIX_SAME_PANEL_SERIAL
#include <QSerialPortInfo>
#endif

namespace {

// The menu bar's extension-button arrow drawn by the style, as the tool's windows draw it:
// the stock icon is a PNG resource whose reading loads and probes every image-format plugin
// before the first paint, a cost the tool does not pay and this floor must not either.
class ArrowStyle : public QProxyStyle {
 public:
  using QProxyStyle::QProxyStyle;
  QIcon standardIcon(StandardPixmap icon, const QStyleOption* option,
                     const QWidget* widget) const override {
    if (icon != SP_ToolBarHorizontalExtensionButton && icon != SP_ToolBarVerticalExtensionButton)
      return QProxyStyle::standardIcon(icon, option, widget);
    QPixmap pm(16, 16);
    pm.fill(Qt::transparent);
    QPainter painter(&pm);
    QStyleOption arrow;
    arrow.rect = pm.rect();
    arrow.palette = QApplication::palette();
    arrow.state = State_Enabled;
    drawPrimitive(icon == SP_ToolBarHorizontalExtensionButton ? PE_IndicatorArrowRight
                                                              : PE_IndicatorArrowDown,
                  &arrow, &painter, widget);
    return QIcon(pm);
  }
};

// The label above an input control: as wide as its text, its bottom 2 px above the control.
void LabelAbove(QWidget* content, const QWidget* control, const QString& text) {
  auto* label = new QLabel(text, content);
  label->adjustSize();
  const QRect g = control->geometry();
  label->move(g.left(), std::max(0, g.top() - label->height() - 2));
}

QSpinBox* Numeric(QWidget* content, int left, int top, int width, int lo, int hi, int value,
                  const QString& label) {
  auto* sb = new QSpinBox(content);
  sb->setRange(lo, hi);
  sb->setValue(value);
  sb->setKeyboardTracking(false);
  sb->setAlignment(Qt::AlignRight);
  sb->setGeometry(left, top, width, 24);
  LabelAbove(content, sb, label);
  return sb;
}

QComboBox* Ring(QWidget* content, int left, int top, int width, const QStringList& items,
                int current, const QString& label) {
  auto* cb = new QComboBox(content);
  for (qsizetype i = 0; i < items.size(); ++i) cb->addItem(items[i], items[i].toInt());
  cb->setGeometry(left, top, width, 24);
  if (current >= 0) cb->setCurrentIndex(current);
  LabelAbove(content, cb, label);
  return cb;
}

// A button's text too wide for it is broken in two lines at the space nearest the middle.
QPushButton* Button(QWidget* content, int left, int top, int width, int height, const QString& text,
                    bool enabled) {
  auto* pb = new QPushButton(content);
  pb->setAutoDefault(false);
  pb->setGeometry(left, top, width, height);
  QString shown = text;
  if (pb->fontMetrics().horizontalAdvance(text) > width - 12) {
    qsizetype best = -1;
    const qsizetype mid = text.size() / 2;
    for (qsizetype i = 0; i < text.size(); ++i)
      if (text[i] == QLatin1Char(' ') && (best < 0 || std::abs(i - mid) < std::abs(best - mid)))
        best = i;
    if (best >= 0) shown[best] = QLatin1Char('\n');
  }
  pb->setText(shown);
  pb->setEnabled(enabled);
  return pb;
}

QLabel* TextMessage(QWidget* content, int left, int top, int width, int height,
                    const QString& text) {
  auto* lb = new QLabel(text, content);
  lb->setWordWrap(true);
  lb->setGeometry(left, top, width, height);
  return lb;
}

}  // namespace

int main(int argc, char* argv[]) {
  QApplication app(argc, argv);
  QApplication::setStyle(new ArrowStyle(QApplication::style()->name()));
#ifdef VELDIX_SAME_PANEL_SERIAL
  // Only the library's presence: an empty port description enumerates nothing.
  const QSerialPortInfo noPort;
  if (!noPort.isNull()) return 1;
#endif
  constexpr int kWidth = 600, kHeight = 350;
  QWidget window;
  window.setWindowTitle(QStringLiteral("VELDIX-MID v1.0"));
  auto* layout = new QVBoxLayout(&window);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(0);
  auto* scroll = new QScrollArea(&window);
  scroll->setFrameShape(QFrame::NoFrame);
  scroll->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  auto* content = new QWidget;
  content->setFixedSize(kWidth, kHeight);
  scroll->setWidget(content);
  layout->addWidget(scroll);

  // The link indicator: the idle traffic light, a 32 x 32 image with alpha.
  auto* indicator = new QLabel(content);
  indicator->setGeometry(20, 252, 32, 32);
  indicator->setScaledContents(true);
  QImage light(32, 32, QImage::Format_ARGB32);
  light.fill(QColor(40, 40, 40));
  indicator->setPixmap(QPixmap::fromImage(light));

  auto* bar = new QMenuBar(&window);
  bar->setNativeMenuBar(false);
  layout->insertWidget(0, bar);
  const struct {
    const char* menu;
    const char* items[2];
  } kMenus[] = {{"&Archivo", {"&Salir", nullptr}},
                {"&Idioma", {"&Español", "&Inglés"}},
                {"&Ver", {"&Tráfico del enlace...", nullptr}},
                {"&Ayuda", {"&Acerca de VELDIX-MID...", nullptr}}};
  for (const auto& m : kMenus) {
    QMenu* menu = bar->addMenu(QString::fromUtf8(m.menu));
    for (const char* item : m.items)
      if (item) menu->addAction(QString::fromUtf8(item));
  }

  // The controls in the resource file's order, with the catalogue's Spanish texts.
  Numeric(content, 20, 40, 110, 1, 999, 1, QStringLiteral("Puerto serie"));
  Ring(content, 180, 40, 130,
       {QStringLiteral("1200"), QStringLiteral("2400"), QStringLiteral("4800"),
        QStringLiteral("9600"), QStringLiteral("19200"), QStringLiteral("38400"),
        QStringLiteral("57600"), QStringLiteral("115200")},
       3, QStringLiteral("Velocidad (baudios)"));
  Ring(content, 360, 40, 110,
       {QStringLiteral("8N1"), QStringLiteral("8O1"), QStringLiteral("8E1"), QStringLiteral("8N2")},
       0, QStringLiteral("Formato (datos, paridad, parada)"));
  Numeric(content, 20, 95, 110, 1, 247, 1, QString::fromUtf8("Dirección del esclavo"));
  auto* host = new QLineEdit(content);
  host->setMaxLength(15);
  host->setText(QStringLiteral("127.0.0.1"));
  host->setGeometry(180, 95, 130, 24);
  LabelAbove(content, host, QString::fromUtf8("Dirección IP"));
  Numeric(content, 360, 95, 110, 0, 65535, 502, QStringLiteral("Puerto TCP"));
  auto* connect = new QCheckBox(content);
  connect->setGeometry(510, 95, 24, 24);
  LabelAbove(content, connect, QStringLiteral("Conectar"));
  TextMessage(content, 20, 135, 560, 34,
              QString::fromUtf8("Puerto 1-98: línea serie (Modbus RTU). Puerto 99 o mayor: "
                                "enlace TCP; con el puerto 100 o el puerto TCP 502 se usa "
                                "Modbus TCP, si no tramas RTU sobre TCP."));
  Button(content, 20, 185, 130, 40, QStringLiteral("Medidas"), false);
  Button(content, 165, 185, 130, 40, QString::fromUtf8("Energías y tarifas"), false);
  Button(content, 310, 185, 130, 40, QString::fromUtf8("Configuración del equipo"), false);
  Button(content, 455, 185, 130, 40, QString::fromUtf8("Configuración del display"), false);
  TextMessage(content, 60, 250, 420, 40, QString());
  // The link-state timer runs from the moment the panel is built (once a second).
  auto* tick = new QTimer(content);
  tick->setTimerType(Qt::PreciseTimer);
  tick->setInterval(1000);
  tick->start();
  Ring(content, 20, 312, 460, {}, -1, QStringLiteral("Puertos serie presentes"));
  Button(content, 495, 250, 90, 28, QStringLiteral("Salir"), true);
  indicator->raise();

  // As large as the panel and its menu bar, never larger.
  const QSize size(kWidth, kHeight + bar->sizeHint().height());
  window.setMaximumSize(size);
  window.resize(size);
  window.show();
  window.raise();
  window.activateWindow();

  QElapsedTimer t;
  t.start();
  for (;;) {
    QCoreApplication::sendPostedEvents();
    QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents |
                                    QEventLoop::ExcludeSocketNotifiers);
    if ((window.windowHandle() && window.windowHandle()->isExposed()) || t.elapsed() > 200) break;
  }
  window.repaint();
  std::printf("shown\n");
  std::fflush(stdout);
  return app.exec();
}
