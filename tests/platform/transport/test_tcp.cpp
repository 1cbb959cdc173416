// TCP runtime against loopback listeners on ephemeral ports, the test playing the server.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QTimer>
#include <cstring>
#include <set>
#include <utility>

#include "link_test_support.h"
#include "rs232.h"
#include "tcp.h"

using namespace vtest;

namespace {

struct Event {
  unsigned handle;
  int type;
  int err;
  Bytes data;  // what the callback read on a data-ready event
};
std::vector<Event> g_events;
std::size_t g_readSize = 255;
bool g_disconnectInCallback = false;

int Record(unsigned handle, int type, int err, void*) {
  Event e{handle, type, err, {}};
  if (type == TCP_DATAREADY) {
    std::uint8_t buf[1024];
    const int n = ClientTCPRead(handle, buf, std::min(g_readSize, sizeof buf), 0);
    if (n > 0) e.data.assign(buf, buf + n);
    if (g_disconnectInCallback) DisconnectFromTCPServer(handle);
  }
  g_events.push_back(std::move(e));
  return 0;
}

int CountOf(int type) {
  int n = 0;
  for (const auto& e : g_events) n += e.type == type;
  return n;
}

// Runs ProcessTCPEvents until `done` holds (bounded).
template <class Pred>
bool PumpUntil(Pred done, Ms limit = Ms(3000)) {
  return WaitUntil(
      [&] {
        ProcessTCPEvents();
        return done();
      },
      limit);
}

class Tcp : public ::testing::Test {
 protected:
  void SetUp() override {
    g_events.clear();
    g_readSize = 255;
    g_disconnectInCallback = false;
    ASSERT_EQ(ConnectToTCPServer(&handle_, listener_.port(), "127.0.0.1", Record, nullptr, 0),
              0);
    server_ = listener_.Accept();
    ASSERT_GE(server_, 0);
  }
  void TearDown() override {
    DisconnectFromTCPServer(handle_);
    if (server_ >= 0) ::close(server_);
  }

  Listener listener_;
  unsigned handle_ = 0;
  int server_ = -1;
};

TEST_F(Tcp, WriteReachesTheServerAndDataComesBackAsOneEvent) {
  const Bytes req = Hex("00 01 00 00 00 06 01 03 10 03 00 01");
  EXPECT_EQ(ClientTCPWrite(handle_, req.data(), req.size(), 0), 12);
  EXPECT_EQ(ReadExactly(server_, 12, Ms(1000)), req);

  const Bytes ans = Hex("00 01 00 00 00 05 01 03 02 00 2a");
  ASSERT_TRUE(WriteAll(server_, ans));
  ASSERT_TRUE(PumpUntil([] { return CountOf(TCP_DATAREADY) > 0; }));
  ASSERT_EQ(g_events.size(), 1u);
  EXPECT_EQ(g_events[0].handle, handle_);
  EXPECT_EQ(g_events[0].data, ans);
}

// Bytes sent just before an orderly close are delivered first; the close is reported once.
TEST_F(Tcp, ServerCloseIsReportedOnceAfterItsData) {
  ASSERT_TRUE(WriteAll(server_, Hex("01 02 03")));
  ::close(server_);
  server_ = -1;
  ASSERT_TRUE(PumpUntil([] { return CountOf(TCP_DISCONNECT) > 0; }));
  for (int i = 0; i < 20; ++i) ProcessTCPEvents();
  ASSERT_EQ(g_events.size(), 2u);
  EXPECT_EQ(g_events[0].type, TCP_DATAREADY);
  EXPECT_EQ(g_events[0].data, Hex("01 02 03"));
  EXPECT_EQ(g_events[1].type, TCP_DISCONNECT);
}

// A write to a peer that has gone is an error code, not SIGPIPE (which would end this
// test executable).
TEST_F(Tcp, WriteToAGonePeerFailsWithoutASignal) {
  linger hard{1, 0};  // close with a reset
  ::setsockopt(server_, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
  ::close(server_);
  server_ = -1;
  const Bytes req(12, 0x11);
  int rc = 0;
  ASSERT_TRUE(WaitUntil([&] {
    rc = ClientTCPWrite(handle_, req.data(), req.size(), 0);
    return rc < 0;
  }));
  EXPECT_EQ(rc, kRtErrConnClosed);
  EXPECT_NE(std::string(GetRS232ErrorString(rc)).find("127.0.0.1:"), std::string::npos);
}

// 300 bytes pending, a read of 255: 255 come, nothing is written past them, 45 remain.
TEST_F(Tcp, OneReadTakesAtMostItsSize) {
  Bytes big(300);
  for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<std::uint8_t>(i);
  ASSERT_TRUE(WriteAll(server_, big));  // on loopback, in our receive queue on return
  std::uint8_t buf[300 + 4];
  std::memset(buf, 0xEE, sizeof buf);
  ASSERT_EQ(ClientTCPRead(handle_, buf, 255, 1000), 255);
  for (std::size_t i = 255; i < sizeof buf; ++i) ASSERT_EQ(buf[i], 0xEE) << i;
  EXPECT_EQ(Bytes(buf, buf + 255), Bytes(big.begin(), big.begin() + 255));
  EXPECT_EQ(ClientTCPRead(handle_, buf, 255, 1000), 45);
  EXPECT_EQ(buf[0], 255);
}

TEST_F(Tcp, ReadWithNothingPendingTimesOutWithinItsTimeout) {
  std::uint8_t buf[8];
  const auto t0 = Clock::now();
  EXPECT_EQ(ClientTCPRead(handle_, buf, sizeof buf, 200), kRtErrTimeout);
  EXPECT_NEAR(SecondsSince(t0), 0.2, 0.15);
}

// A callback that closes its own connection while events are being delivered.
TEST_F(Tcp, CallbackMayDisconnectDuringDelivery) {
  g_disconnectInCallback = true;
  ASSERT_TRUE(WriteAll(server_, Hex("aa")));
  ASSERT_TRUE(PumpUntil([] { return CountOf(TCP_DATAREADY) > 0; }));
  EXPECT_EQ(ClientTCPWrite(handle_, "x", 1, 0), kRtErrBadHandle);
  for (int i = 0; i < 5; ++i) ProcessTCPEvents();
  EXPECT_EQ(g_events.size(), 1u);
  handle_ = 0;
}

// Waiting for TCP events must never run the user interface's events: the engine would be
// re-entered from a timer callback.
TEST_F(Tcp, ProcessTCPEventsDispatchesNoQtEvent) {
  static int argc = 1;
  static char name[] = "test_tcp";
  static char* argv[] = {name, nullptr};
  if (QCoreApplication::instance() == nullptr) new QCoreApplication(argc, argv);
  bool ran = false;
  QTimer::singleShot(0, [&] { ran = true; });
  ASSERT_TRUE(WriteAll(server_, Hex("01")));
  ASSERT_TRUE(PumpUntil([] { return CountOf(TCP_DATAREADY) > 0; }));
  EXPECT_FALSE(ran);
  ASSERT_TRUE(WaitUntil([&] {
    QCoreApplication::processEvents();
    return ran;
  }));
}

TEST(TcpConnect, HandlesAreSmallDistinctAndChecked) {
  Listener l;
  unsigned a = 0, b = 0;
  ASSERT_EQ(ConnectToTCPServer(&a, l.port(), "127.0.0.1", Record, nullptr, 0), 0);
  ASSERT_EQ(ConnectToTCPServer(&b, l.port(), "localhost", Record, nullptr, 0), 0);
  EXPECT_GE(a, 1u);
  EXPECT_NE(a, b);
  EXPECT_LT(std::max(a, b), 1000u);
  EXPECT_EQ(DisconnectFromTCPServer(a), 0);
  EXPECT_EQ(DisconnectFromTCPServer(a), kRtErrBadHandle);
  EXPECT_EQ(ClientTCPWrite(a, "x", 1, 0), kRtErrBadHandle);
  std::uint8_t buf[4];
  EXPECT_EQ(ClientTCPRead(a, buf, 4, 0), kRtErrBadHandle);
  EXPECT_EQ(DisconnectFromTCPServer(b), 0);
}

struct ConnectFailure {
  const char* what;
  const char* host;
  int code;
  const char* text;  // %d stands for the port
};
class TcpConnectFails : public ::testing::TestWithParam<ConnectFailure> {};

TEST_P(TcpConnectFails, WithTheHostInTheText) {
  const ConnectFailure f = GetParam();
  std::uint16_t port = 0;
  {
    Listener gone;  // a port that was free a moment ago and is closed now
    port = gone.port();
  }
  unsigned h = 12345;
  const int rc = ConnectToTCPServer(&h, port, f.host, Record, nullptr, 2000);
  EXPECT_EQ(rc, f.code);
  EXPECT_EQ(h, 12345u) << "handle written on failure";
  char expected[128];
  std::snprintf(expected, sizeof expected, f.text, port);
  EXPECT_STREQ(GetRS232ErrorString(rc), expected);
}

INSTANTIATE_TEST_SUITE_P(
    Table, TcpConnectFails,
    ::testing::Values(
        ConnectFailure{"refused", "127.0.0.1", kRtErrConnRefused,
                       "connection refused by 127.0.0.1:%d"},
        ConnectFailure{"unknown_host", "meter.invalid", kRtErrHostNotFound,
                       "host not found: meter.invalid"},
        ConnectFailure{"empty_host", "", kRtErrHostNotFound,
                       "host not found: (empty host name)"}),
    [](const auto& info) { return std::string(info.param.what); });

// A server whose accept queue is full drops the handshake: the connect gives up at its
// time-out instead of hanging.
TEST(TcpConnect, UnansweredHandshakeTimesOut) {
  Listener full(0);
  std::vector<int> fillers;
  for (int i = 0; i < 3; ++i) {
    const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(full.port());
    ::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
    fillers.push_back(s);
  }
  unsigned h = 0;
  const auto t0 = Clock::now();
  const int rc = ConnectToTCPServer(&h, full.port(), "127.0.0.1", Record, nullptr, 300);
  const double took = SecondsSince(t0);
  for (int s : fillers) ::close(s);
  if (rc == 0) {
    DisconnectFromTCPServer(h);
    GTEST_SKIP() << "this kernel accepted beyond the backlog";
  }
  EXPECT_EQ(rc, kRtErrConnTimeout);
  EXPECT_NEAR(took, 0.3, 0.2);
  EXPECT_NE(std::string(GetRS232ErrorString(rc)).find("timed out"), std::string::npos);
}

TEST(TcpCopyBytes, CopiesTheRangeOnly) {
  std::uint8_t src[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  std::uint8_t dst[8] = {};
  CopyBytes(dst, 2, src, 3, 4);
  EXPECT_EQ(Bytes(dst, dst + 8), Hex("00 00 04 05 06 07 00 00"));
}

}  // namespace
