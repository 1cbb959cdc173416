// Serial runtime on ptys: the tool opens the slave through VELDIXMID_COM<N>, the test plays the
// master.
#include <gtest/gtest.h>
#include <sys/ioctl.h>

#include <QCoreApplication>
#include <atomic>

#include "platform/ports.h"
#include "platform/rs232.h"
#include "test_support.h"

using namespace vtest;

namespace {

constexpr int kPort = 5;

int Open(int port, long baud = 19200, int parity = 0, int dataBits = 8, int stopBits = 1) {
  static int argc = 1;
  static char name[] = "test_rs232";
  static char* argv[] = {name, nullptr};
  if (QCoreApplication::instance() == nullptr) new QCoreApplication(argc, argv);
  return OpenComConfig(port, "", baud, parity, dataBits, stopBits, 4096, 4096);
}

class Rs232 : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(Open(kPort), 0); }
  void TearDown() override { CloseCom(kPort); }
  Pty pty_;
  ComEnv env_{kPort, pty_.path()};
};

// Bytes cross both ways; a read never stores past its count and keeps the rest.
TEST_F(Rs232, BytesCrossThePtyAndReadsStopAtTheirCount) {
  const Bytes out = Hex("01 03 10 03 00 01 70 ca");
  ASSERT_EQ(ComWrt(kPort, reinterpret_cast<const char*>(out.data()), 8), 8);
  EXPECT_EQ(ReadExactly(pty_.master(), 8, Ms(1000)), out);

  ASSERT_TRUE(WriteAll(pty_.master(), Hex("00 11 22 33 44 55 66 77 88 99")));
  char buf[4 + 8];
  std::fill(std::begin(buf), std::end(buf), '\x5a');
  ASSERT_EQ(ComRd(kPort, buf, 4), 4);
  EXPECT_EQ(std::string(buf + 4, 8), std::string(8, '\x5a'));
  ASSERT_EQ(ComRd(kPort, buf, 6), 6);
  EXPECT_EQ(ToHex(Bytes(buf, buf + 6)), "445566778899");
}

// One deadline for the whole read: a byte every 100 ms must not keep a 0.35 s read going for a
// second.
TEST_F(Rs232, TimeoutIsOneDeadlineForTheWholeRead) {
  ASSERT_EQ(SetComTime(kPort, 0.35), 0);
  std::atomic<bool> stop{false};
  std::thread trickle([&] {
    for (int i = 0; i < 12 && !stop; ++i) {
      WriteAll(pty_.master(), Bytes{static_cast<std::uint8_t>(i)});
      WaitUntil([&] { return stop.load(); }, Ms(100));
    }
  });
  char buf[20];
  const auto t0 = Clock::now();
  const int n = ComRd(kPort, buf, 20);
  const double took = SecondsSince(t0);
  stop = true;
  trickle.join();
  // Some bytes, not all twelve: the read ended at its deadline, long before the trickle did.
  EXPECT_GE(n, 1);
  EXPECT_LT(n, 12);
  EXPECT_GE(took, 0.3);
  EXPECT_LT(took, 0.9);
}

// Bytes in the driver's queue and bytes already pulled into Qt's buffer are both discarded.
TEST_F(Rs232, FlushInQDiscardsEverythingReceived) {
  ASSERT_TRUE(WriteAll(pty_.master(), Hex("aa bb cc dd ee")));
  char buf[2];
  ASSERT_EQ(ComRd(kPort, buf, 2), 2);  // the rest may now sit in Qt's buffer
  ASSERT_TRUE(WriteAll(pty_.master(), Hex("ff ff ff")));
  ASSERT_TRUE(WaitUntil([&] {
    int queued = 0;
    ::ioctl(pty_.slave(), FIONREAD, &queued);
    return queued >= 3;
  }));
  ASSERT_EQ(FlushInQ(kPort), 0);
  ASSERT_TRUE(WriteAll(pty_.master(), Hex("5a")));
  ASSERT_EQ(ComRd(kPort, buf, 1), 1);
  EXPECT_EQ(buf[0], '\x5a');
}

// Speed, parity and stop bits reach the line; a refused open says why and leaves the port
// closed. A pty clears PARENB and forces 8 bits (EINVAL from the C library) but keeps PARODD
// and CSTOPB: even parity and 7 bits must still be accepted.
TEST(Rs232Open, SettingsReachTheLineAndRefusalsSayWhy) {
  Pty pty, locked;
  ComEnv e4(4, pty.path()), e3(3, "/dev/ttyUSB_veldix_absent"), e2(2, locked.path());
  ASSERT_EQ(::chmod(locked.path().c_str(), 0), 0);
  struct Case {
    int port;
    long baud;
    int parity, dataBits, stopBits, code;
    std::string text;   // why it was refused; about port 4, after its device
    speed_t speed = 0;  // on the line after an open
  };
  std::vector<Case> cases = {
      {4, 19200, 1, 8, 1, 0, "", B19200},
      {4, 115200, 2, 7, 2, 0, "", B115200},
      {4, 9600, 0, 8, 1, 0, "", B9600},
      {0, 9600, 0, 8, 1, kRtErrBadPortNumber, "serial port 0: port numbers run from 1 to 98"},
      {99, 9600, 0, 8, 1, kRtErrBadPortNumber, "serial port 99: port numbers run from 1 to 98"},
      {4, 9600, 3, 8, 1, kRtErrBadArgument, ": bad parity 3 (0 none, 1 odd, 2 even)"},
      {4, 9600, 0, 9, 1, kRtErrBadArgument, ": bad number of data bits 9 (5 to 8)"},
      {4, 9600, 0, 8, 3, kRtErrBadArgument, ": bad number of stop bits 3 (1 or 2)"},
      {4, 0, 0, 8, 1, kRtErrBadArgument, ": bad speed 0 bit/s"},
      {3, 9600, 0, 8, 1, kRtErrNoSuchDevice, "/dev/ttyUSB_veldix_absent: no such device"},
  };
  if (::geteuid() != 0)  // root opens any device
    cases.push_back({2, 9600, 0, 8, 1, kRtErrPermission,
                     locked.path() + ": permission denied: is the user in the dialout group?"});
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "port " << c.port << " at " << c.baud << " " << c.text);
    const int rc = Open(c.port, c.baud, c.parity, c.dataBits, c.stopBits);
    EXPECT_EQ(rc, c.code) << GetRS232ErrorString(rc);
    if (rc == 0) {
      const termios t = pty.Termios();
      EXPECT_EQ(cfgetospeed(&t), c.speed);
      EXPECT_EQ((t.c_cflag & PARODD) != 0, c.parity == 1);
      EXPECT_EQ((t.c_cflag & CSTOPB) != 0, c.stopBits == 2);
      CloseCom(c.port);
      continue;
    }
    EXPECT_EQ(GetRS232ErrorString(rc), (c.port == 4 ? pty.path() : "") + c.text);
    EXPECT_LT(ComWrt(c.port, "x", 1), 0) << "port left open after a refused open";
  }
}

// The port picker's numbers: /dev/ttyS<k> is port k+1 (up to 19), a device some
// VELDIXMID_COM<N> names keeps N, any other takes the first free number from 20 (and that
// variable, for the runtime).
TEST(Rs232Ports, DevicesPresentGetNumbersTheRuntimeOpens) {
  for (int n = 1; n <= 98; ++n) ::unsetenv(("VELDIXMID_COM" + std::to_string(n)).c_str());
  ComEnv taken(21, "/dev/other"), named(7, "/dev/ttyUSB5");
  const char* devices[] = {"/dev/ttyS0",   "/dev/ttyUSB0", "/dev/ttyS3",
                           "/dev/ttyACM0", "/dev/ttyUSB5", "/dev/ttyS25"};
  std::vector<int> ports(std::size(devices), -1);
  NumberComPorts(devices, static_cast<int>(ports.size()), ports.data());
  EXPECT_EQ(ports, (std::vector<int>{1, 20, 4, 22, 7, 23}));
  for (std::size_t i = 0; i < ports.size(); ++i)
    EXPECT_STREQ(ComDeviceName(ports[i]), devices[i]) << "port " << ports[i];
  for (int n : {20, 22, 23}) ::unsetenv(("VELDIXMID_COM" + std::to_string(n)).c_str());
}

}  // namespace
