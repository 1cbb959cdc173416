// Shared set-up of the meter-screen tests: real panels from the tool's resource file (with a
// stand-in main panel whose four buttons carry the screens' opening callbacks), the UI loop
// run until a condition or a deadline, a catcher of message popups, and an independent
// Modbus TCP peer (pymodbus, tests/meter/peer.py) on 127.0.0.1 that serves chosen register
// values and logs the requests it receives.
#pragma once

#include <gtest/gtest.h>

#include <QString>
#include <QTimer>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "test_support.h"

namespace mtest {

using vtest::Bytes;
using vtest::Clock;
using vtest::Hex;

// Seconds on the clock the peer stamps its log with (CLOCK_MONOTONIC).
double Now();

// One request as the peer received it: a Modbus TCP frame (6-byte header, then the
// request from the slave address on).
struct Request {
  double t = 0;  // arrival, seconds (Now() clock)
  Bytes frame;
  // The request without its TCP header: slave, function, data.
  Bytes Pdu() const;
  int Function() const;
  int Start() const;  // first register
};

class Peer {
 public:
  // Starts /usr/bin/python3 peer.py and waits for its port. Empty, or why it failed.
  std::string Start();
  int Port() const { return port_; }
  // One command; its one-line answer ("" on time-out).
  std::string Command(const std::string& line);
  void Set(int address, const std::vector<int>& words);
  std::vector<int> Get(int address, int count);
  // mode: exception, silent, short or off; for requests touching first..last.
  void Fault(int first, int last, const char* mode);
  void Reset();
  std::vector<Request> Log();
  // Requests of one function code only.
  std::vector<Request> Log(int function);

 private:
  std::unique_ptr<vtest::Child> process_;
  int port_ = 0;
};

// A measured interval against the expected one. A loaded machine runs late, never early,
// so the tolerance allows more lateness than haste.
::testing::AssertionResult Within(double measured, double expected, double early, double late);

// Runs the UI loop (RunUserInterface) until `done` holds or `seconds` pass; the final
// verdict of `done`.
bool RunUntil(const std::function<bool()>& done, double seconds);
// Runs the UI loop for `seconds`: for checks that something does NOT happen meanwhile.
void RunFor(double seconds);

// Dismisses every message popup as soon as it is the active modal widget, recording its
// title and text.
class PopupCatcher {
 public:
  struct Popup {
    QString title, text;
  };
  PopupCatcher();
  const std::vector<Popup>& Seen() const { return seen_; }
  void Clear() { seen_.clear(); }

 private:
  QTimer timer_;
  std::vector<Popup> seen_;
};

// Catalogue text n of the language loaded for the tests (8-bit Windows-1252).
QString Catalogue(int n);

// A test with the UI runtime, the four screens' callbacks, the resource file, a peer and
// the link open to it (Modbus TCP on port number 100, slave 1), and a stand-in main panel
// recorded in Panel_Puerto.
class ScreenTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite();
  static void TearDownTestSuite();
  void SetUp() override;
  void TearDown() override;

  // Clicks main-panel button 2 (measurements), 3 (energy), 4 (device), 5 (display); the
  // handle of the screen panel it opened, or -1.
  int Open(int button);
  void Click(int panel, int control);
  // Presses the panel's close box.
  void CloseBox(int panel);
  bool Visible(int panel);
  bool Exists(int panel);
  double Double(int panel, int control);
  int Int(int panel, int control);
  // The value a double control shows for `value`: rounded to its precision.
  double Shown(int panel, int control, double value);

  static Peer* peer;
  static std::string dir;         // project folder with the test's VELDIXMID.uir
  static std::string emptyDir;    // project folder whose resource file has no screens
  int main = -1;
  PopupCatcher popups;
};

}  // namespace mtest
