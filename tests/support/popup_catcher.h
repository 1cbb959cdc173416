// Dismisses every message popup as an operator would (OK, polled every 10 ms), recording its
// title and text. Needs Qt Widgets and a running QApplication.
#pragma once

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QString>
#include <QTimer>
#include <vector>

namespace vtest {

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
