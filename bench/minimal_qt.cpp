// The floor of the start-up measurement: the least a Qt Widgets program does to put one
// window on screen. A QApplication, one window holding a label, shown and painted the way
// the tool's runtime paints a panel it displays (let the window system expose it, then
// paint at once), then "shown" on standard output and the event loop, like the tool.
#include <QApplication>
#include <QElapsedTimer>
#include <QLabel>
#include <QVBoxLayout>
#include <QWidget>
#include <QWindow>
#include <cstdio>

int main(int argc, char* argv[]) {
  QApplication app(argc, argv);
  QWidget window;
  window.setWindowTitle(QStringLiteral("minimal"));
  auto* layout = new QVBoxLayout(&window);
  layout->addWidget(new QLabel(QStringLiteral("VELDIX-MID"), &window));
  window.show();

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
