// TCP runtime against loopback listeners on ephemeral ports, the test playing the server.
#include <gtest/gtest.h>

#include "platform/rs232.h"
#include "platform/tcp.h"
#include "test_support.h"

using namespace vtest;

namespace {

std::vector<int> g_events;  // event types, as delivered
bool g_disconnectInCallback = false;

int Record(unsigned handle, int type, int, void*) {
  std::uint8_t buf[255];
  if (type == TCP_DATAREADY) ClientTCPRead(handle, buf, sizeof buf, 0);
  g_events.push_back(type);
  if (type == TCP_DATAREADY && g_disconnectInCallback) DisconnectFromTCPServer(handle);
  return 0;
}

// Delivers events until `n` have come (bounded).
bool PumpUntil(std::size_t n) {
  return WaitUntil([n] {
    ProcessTCPEvents();
    return g_events.size() >= n;
  });
}

class Tcp : public ::testing::Test {
 protected:
  void SetUp() override {
    g_events.clear();
    g_disconnectInCallback = false;
    // A name, as a technician may type it: resolved, and the loopback listener found.
    ASSERT_EQ(ConnectToTCPServer(&handle_, listener_.port(), "localhost", Record, nullptr, 0), 0);
    ASSERT_GE(server_ = listener_.Accept(), 0);
  }
  void TearDown() override {
    DisconnectFromTCPServer(handle_);
    if (server_ >= 0) ::close(server_);
  }
  Listener listener_;
  unsigned handle_ = 0;
  int server_ = -1;
};

// A write to a peer that reset the connection is an error code, not SIGPIPE ending the program.
TEST_F(Tcp, WriteToAGonePeerFailsWithoutASignal) {
  linger hard{1, 0};
  ::setsockopt(server_, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
  ::close(server_);
  server_ = -1;
  int rc = 0;
  ASSERT_TRUE(WaitUntil([&] { return (rc = ClientTCPWrite(handle_, "0123456789", 10, 0)) < 0; }));
  EXPECT_EQ(rc, kRtErrConnClosed);
  EXPECT_EQ(std::string(GetRS232ErrorString(rc)),
            "connection to localhost:" + std::to_string(listener_.port()) + " closed by the peer");
}

TEST_F(Tcp, ReadWithNothingPendingEndsAtItsTimeout) {
  std::uint8_t buf[8];
  const auto t0 = Clock::now();
  const int rc = ClientTCPRead(handle_, buf, sizeof buf, 200);
  EXPECT_EQ(rc, kRtErrTimeout);
  EXPECT_GE(SecondsSince(t0), 0.15);
  EXPECT_LT(SecondsSince(t0), 1.0);
  EXPECT_EQ(std::string(GetRS232ErrorString(rc)),
            "read from localhost:" + std::to_string(listener_.port()) + " timed out");
}

TEST_F(Tcp, CallbackMayDisconnectDuringDelivery) {
  g_disconnectInCallback = true;
  ASSERT_TRUE(WriteAll(server_, Hex("aa")));
  ASSERT_TRUE(PumpUntil(1));
  EXPECT_EQ(ClientTCPWrite(handle_, "x", 1, 0), kRtErrBadHandle);
  EXPECT_EQ(DisconnectFromTCPServer(handle_), kRtErrBadHandle);
  for (int i = 0; i < 5; ++i) ProcessTCPEvents();
  EXPECT_EQ(g_events.size(), 1u);
}

TEST(TcpConnect, FailuresNameTheHost) {
  std::uint16_t port = Listener().port();  // free a moment ago, closed now
  const std::string p = std::to_string(port);
  struct Case {
    const char* host;
    int code;
    std::string text;
  };
  for (const Case& c :
       {Case{"127.0.0.1", kRtErrConnRefused, "connection refused by 127.0.0.1:" + p},
        Case{"meter.invalid", kRtErrHostNotFound, "host not found: meter.invalid"},
        Case{"", kRtErrHostNotFound, "host not found: (empty host name)"}}) {
    unsigned h = 12345;
    const int rc = ConnectToTCPServer(&h, port, c.host, Record, nullptr, 2000);
    EXPECT_EQ(rc, c.code) << c.host;
    EXPECT_EQ(h, 12345u) << "handle written on failure";
    EXPECT_EQ(GetRS232ErrorString(rc), c.text);
  }
}

// A full accept queue drops the handshake: the connect gives up at its time-out, not hanging.
TEST(TcpConnect, UnansweredHandshakeTimesOut) {
  Listener full(0);  // the queue holds one connection: the first filler's
  unsigned fillers[2] = {}, h = 0;
  for (unsigned& f : fillers)
    ConnectToTCPServer(&f, full.port(), "127.0.0.1", Record, nullptr, 300);
  const auto t0 = Clock::now();
  const int rc = ConnectToTCPServer(&h, full.port(), "127.0.0.1", Record, nullptr, 300);
  for (unsigned f : {fillers[0], fillers[1], h}) DisconnectFromTCPServer(f);
  if (rc == 0) GTEST_SKIP() << "this kernel accepted beyond the backlog";
  EXPECT_EQ(rc, kRtErrConnTimeout);
  EXPECT_LT(SecondsSince(t0), 1.0);
}

}  // namespace
