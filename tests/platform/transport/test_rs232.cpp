// Serial runtime on pseudo-terminals: the tool's side opens the pty's slave device through
// VELDIXMID_COM<N>, the test plays the line on the master.
#include <gtest/gtest.h>
#include <sys/ioctl.h>

#include <QCoreApplication>
#include <atomic>
#include <filesystem>
#include <fstream>

#include "link_test_support.h"
#include "rs232.h"

using namespace vtest;

namespace {

constexpr int kPort = 5;

void EnsureQtCore() {
  static int argc = 1;
  static char name[] = "test_rs232";
  static char* argv[] = {name, nullptr};
  if (QCoreApplication::instance() == nullptr) new QCoreApplication(argc, argv);
}

// Descriptors of this process that point at `path`.
int OpenDescriptorsOf(const std::string& path) {
  int n = 0;
  for (const auto& e : std::filesystem::directory_iterator("/proc/self/fd")) {
    std::error_code ec;
    if (std::filesystem::read_symlink(e.path(), ec) == path) ++n;
  }
  return n;
}

class Rs232 : public ::testing::Test {
 protected:
  void SetUp() override {
    EnsureQtCore();
    ASSERT_EQ(OpenComConfig(kPort, "", 19200, 0, 8, 1, 4096, 4096), 0)
        << GetRS232ErrorString(kRtErrUnknown);
  }
  void TearDown() override { CloseCom(kPort); }

  Pty pty_;
  ComEnv env_{kPort, pty_.path()};
};

TEST_F(Rs232, BytesCrossThePtyBothWays) {
  EXPECT_EQ(std::string(ComDeviceName(kPort)), pty_.path());
  const Bytes out = Hex("01 03 10 03 00 01 70 ca");
  ASSERT_EQ(ComWrt(kPort, reinterpret_cast<const char*>(out.data()), 8), 8);
  EXPECT_EQ(ReadExactly(pty_.master(), 8, Ms(1000)), out);

  const Bytes in = Hex("01 03 02 00 2a 38 5b 00 ff");
  ASSERT_TRUE(WriteAll(pty_.master(), in));
  char buf[16] = {};
  ASSERT_EQ(SetComTime(kPort, 1.0), 0);
  ASSERT_EQ(ComRd(kPort, buf, 9), 9);
  EXPECT_EQ(Bytes(buf, buf + 9), in);
}

TEST_F(Rs232, ReadStopsAtCountAndKeepsTheRest) {
  const Bytes in = Hex("00 11 22 33 44 55 66 77 88 99");
  ASSERT_TRUE(WriteAll(pty_.master(), in));
  char buf[4 + 8];
  std::fill(std::begin(buf), std::end(buf), '\x5a');
  ASSERT_EQ(ComRd(kPort, buf, 4), 4);
  for (int i = 4; i < 12; ++i) EXPECT_EQ(buf[i], '\x5a') << "byte " << i << " overwritten";
  char rest[6];
  ASSERT_EQ(ComRd(kPort, rest, 6), 6);
  EXPECT_EQ(Bytes(rest, rest + 6), Bytes(in.begin() + 4, in.end()));
}

// The time-out bounds the whole read, not each chunk: a line that trickles one byte every
// 100 ms must not keep a 0.35 s read going for a second.
TEST_F(Rs232, TimeoutIsOneDeadlineForTheWholeRead) {
  ASSERT_EQ(SetComTime(kPort, 0.35), 0);
  std::atomic<bool> stop{false};
  std::thread trickle([&] {
    for (int i = 0; i < 12 && !stop; ++i) {
      const std::uint8_t b = static_cast<std::uint8_t>(i);
      WriteAll(pty_.master(), &b, 1);
      WaitUntil([&] { return stop.load(); }, Ms(100));
    }
  });
  char buf[20];
  const auto t0 = Clock::now();
  const int n = ComRd(kPort, buf, 20);
  const double took = SecondsSince(t0);
  stop = true;
  trickle.join();
  EXPECT_GE(n, 2);
  EXPECT_LE(n, 6);
  EXPECT_GE(took, 0.33);
  EXPECT_LT(took, 0.6);
}

TEST_F(Rs232, SilentLineTimesOutWithZero) {
  ASSERT_EQ(SetComTime(kPort, 0.2), 0);
  char buf[3];
  const auto t0 = Clock::now();
  EXPECT_EQ(ComRd(kPort, buf, 3), 0);
  EXPECT_NEAR(SecondsSince(t0), 0.2, 0.1);
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
  ASSERT_EQ(SetComTime(kPort, 1.0), 0);
  char one[1];
  ASSERT_EQ(ComRd(kPort, one, 1), 1);
  EXPECT_EQ(one[0], '\x5a');
}

TEST_F(Rs232, SecondOpenReleasesTheFirstDevice) {
  Pty other;
  const int before = OpenDescriptorsOf(pty_.path());
  {
    ComEnv moved(kPort, other.path());
    ASSERT_EQ(OpenComConfig(kPort, "", 9600, 0, 8, 1, 4096, 4096), 0);
  }
  EXPECT_EQ(OpenDescriptorsOf(pty_.path()), before - 1) << "the first device stayed open";
  ASSERT_EQ(ComWrt(kPort, "x", 1), 1);
  EXPECT_EQ(ReadExactly(other.master(), 1, Ms(1000)), Hex("78"));
}

// parity (0 none, 1 odd, 2 even), stop bits and speed reach the line discipline. A pty
// keeps PARODD and CSTOPB but always clears PARENB (and forces 8 bits), so odd parity is
// what can be seen; even parity and 7 bits must still be accepted on it.
struct LineSettings {
  long baud;
  speed_t speed;
  int parity;
  int stopBits;
  int dataBits = 8;
};
class Rs232Settings : public ::testing::TestWithParam<LineSettings> {};

TEST_P(Rs232Settings, ReachTheLine) {
  EnsureQtCore();
  const LineSettings s = GetParam();
  Pty pty;
  ComEnv env(kPort, pty.path());
  ASSERT_EQ(OpenComConfig(kPort, "", s.baud, s.parity, s.dataBits, s.stopBits, 4096, 4096), 0)
      << GetRS232ErrorString(kRtErrConfigure);
  const termios t = pty.Termios();
  EXPECT_EQ(cfgetospeed(&t), s.speed);
  EXPECT_EQ((t.c_cflag & PARODD) != 0, s.parity == 1);
  EXPECT_EQ((t.c_cflag & CSTOPB) != 0, s.stopBits == 2);
  EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
  CloseCom(kPort);
}

INSTANTIATE_TEST_SUITE_P(Table, Rs232Settings,
                         ::testing::Values(LineSettings{9600, B9600, 0, 1},
                                           LineSettings{19200, B19200, 1, 1},
                                           LineSettings{38400, B38400, 2, 1},
                                           LineSettings{115200, B115200, 0, 2},
                                           LineSettings{4800, B4800, 1, 2},
                                           LineSettings{1200, B1200, 2, 2, 7}));

struct BadOpen {
  const char* what;
  int port;
  long baud;
  int parity;
  int dataBits;
  int stopBits;
  int code;
  const char* textPart;
};
class Rs232BadOpen : public ::testing::TestWithParam<BadOpen> {};

TEST_P(Rs232BadOpen, IsRefusedWithAReason) {
  EnsureQtCore();
  const BadOpen b = GetParam();
  Pty pty;
  ComEnv env(b.port, pty.path());
  const int rc = OpenComConfig(b.port, "", b.baud, b.parity, b.dataBits, b.stopBits, 4096, 4096);
  EXPECT_EQ(rc, b.code);
  EXPECT_NE(std::string(GetRS232ErrorString(rc)).find(b.textPart), std::string::npos)
      << GetRS232ErrorString(rc);
  EXPECT_EQ(ComWrt(b.port, "x", 1), b.port >= 1 && b.port <= 98 ? kRtErrNotOpen
                                                                  : kRtErrBadPortNumber);
}

INSTANTIATE_TEST_SUITE_P(
    Table, Rs232BadOpen,
    ::testing::Values(BadOpen{"port0", 0, 9600, 0, 8, 1, kRtErrBadPortNumber, "1 to 98"},
                      BadOpen{"port99", 99, 9600, 0, 8, 1, kRtErrBadPortNumber, "port 99"},
                      BadOpen{"parity3", 4, 9600, 3, 8, 1, kRtErrBadArgument, "parity 3"},
                      // parity and data bits swapped, as a caller mixing up the order would
                      BadOpen{"swapped", 4, 9600, 8, 0, 1, kRtErrBadArgument, "parity 8"},
                      BadOpen{"bits9", 4, 9600, 0, 9, 1, kRtErrBadArgument, "data bits 9"},
                      BadOpen{"stop3", 4, 9600, 0, 8, 3, kRtErrBadArgument, "stop bits 3"},
                      BadOpen{"baud0", 4, 0, 0, 8, 1, kRtErrBadArgument, "speed 0"}),
    [](const auto& info) { return std::string(info.param.what); });

TEST(Rs232Errors, MissingDeviceIsNamedInTheText) {
  EnsureQtCore();
  ComEnv env(3, "/dev/ttyUSB_veldix_absent");
  const int rc = OpenComConfig(3, "", 9600, 0, 8, 1, 4096, 4096);
  EXPECT_EQ(rc, kRtErrNoSuchDevice);
  EXPECT_STREQ(GetRS232ErrorString(rc), "/dev/ttyUSB_veldix_absent: no such device");
}

TEST(Rs232Errors, DefaultDeviceOfPortN) {
  ::unsetenv("VELDIXMID_COM1");
  ::unsetenv("VELDIXMID_COM12");
  EXPECT_STREQ(ComDeviceName(1), "/dev/ttyS0");
  EXPECT_STREQ(ComDeviceName(12), "/dev/ttyS11");
}

TEST(Rs232Errors, PermissionDeniedNamesTheDialoutGroup) {
  if (::geteuid() == 0) GTEST_SKIP() << "root opens any device";
  EnsureQtCore();
  Pty pty;
  ASSERT_EQ(::chmod(pty.path().c_str(), 0), 0);
  ComEnv env(3, pty.path());
  const int rc = OpenComConfig(3, "", 9600, 0, 8, 1, 4096, 4096);
  EXPECT_EQ(rc, kRtErrPermission);
  EXPECT_EQ(std::string(GetRS232ErrorString(rc)),
            pty.path() + ": permission denied: is the user in the dialout group?");
}

TEST(Rs232Errors, AFileThatIsNoTerminalIsRefused) {
  EnsureQtCore();
  const auto file = std::filesystem::temp_directory_path() / "veldix_not_a_tty";
  std::ofstream(file) << "x";
  ComEnv env(3, file.string());
  const int rc = OpenComConfig(3, "", 9600, 0, 8, 1, 4096, 4096);
  EXPECT_LT(rc, 0);
  EXPECT_NE(std::string(GetRS232ErrorString(rc)).find(file.string()), std::string::npos);
  CloseCom(3);
  std::filesystem::remove(file);
}

TEST(Rs232Errors, CallsOnAClosedPortFailCleanly) {
  char buf[4];
  EXPECT_EQ(ComRd(7, buf, 4), kRtErrNotOpen);
  EXPECT_EQ(FlushInQ(7), kRtErrNotOpen);
  EXPECT_EQ(SetComTime(7, 1.0), kRtErrNotOpen);
  EXPECT_EQ(CloseCom(7), kRtErrNotOpen);
  EXPECT_NE(std::string(GetRS232ErrorString(kRtErrNotOpen)).find("serial port 7"),
            std::string::npos);
}

TEST(Rs232Errors, EveryCodeHasAText) {
  for (int code = kRtErrSocket; code <= 0; ++code) {
    const char* text = GetRS232ErrorString(code);
    ASSERT_NE(text, nullptr);
    EXPECT_GT(std::strlen(text), 3u) << code;
  }
  EXPECT_STREQ(GetRS232ErrorString(-999), "unknown error code");
}

// A line that hangs up (adapter pulled, pty master gone) ends a read early with an error or
// nothing, within its time-out, and never crashes.
TEST(Rs232Errors, HangUpDuringAReadIsBounded) {
  EnsureQtCore();
  auto* pty = new Pty;
  ComEnv env(6, pty->path());
  ASSERT_EQ(OpenComConfig(6, "", 9600, 0, 8, 1, 4096, 4096), 0);
  ASSERT_EQ(SetComTime(6, 0.5), 0);
  delete pty;  // both ends of the test go; the tool's descriptor now sees a hang-up
  char buf[8];
  const auto t0 = Clock::now();
  EXPECT_LE(ComRd(6, buf, 8), 0);
  EXPECT_LT(SecondsSince(t0), 0.8);
  CloseCom(6);
}

}  // namespace
