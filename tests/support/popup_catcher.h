// Dismisses every message popup of the UI runtime as an operator would, recording its title
// and text. Header-only; needs Qt Widgets and a running QApplication.
#pragma once

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QString>
#include <QTimer>
#include <vector>

namespace vtest {

// Polls every 10 ms for a message box that is the active modal widget and presses its OK.
struct PopupCatcher {
  struct Popup {
    QString title, text;
  };
  QTimer timer;
  std::vector<Popup> seen;
  PopupCatcher() {
    timer.setInterval(10);
    QObject::connect(&timer, &QTimer::timeout, [this] {
      if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
        seen.push_back({box->windowTitle(), box->text()});
        box->button(QMessageBox::Ok)->click();
      }
    });
    timer.start();
  }
};

}  // namespace vtest
