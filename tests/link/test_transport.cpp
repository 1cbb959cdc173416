// Opening and closing the link, and the TCP event callback, on real ptys and sockets.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <cstring>

#include "link_test_support.h"
#include "rs232.h"
#include "tcp.h"
#include "transport.h"

using namespace vtest;

namespace {

void EnsureQtCore() {
  static int argc = 1;
  static char name[] = "test_transport";
  static char* argv[] = {name, nullptr};
  if (QCoreApplication::instance() == nullptr) new QCoreApplication(argc, argv);
}

class Transport : public ::testing::Test {
 protected:
  void SetUp() override {
    EnsureQtCore();
    TCP_Rx_Status = 0;
    TCP_Bytes_Rx = 0;
    std::memset(Buffer_TCP_Rx, 0xEE, sizeof Buffer_TCP_Rx);
  }
  void TearDown() override {
    Orba_Cerrar_Puerto(99);
    Orba_Cerrar_Puerto(98);
  }
};

// Data bits come before parity in this call and after it in the runtime's: 8 data bits,
// odd parity and 2 stop bits must reach the line as exactly that.
TEST_F(Transport, Port98OpensTheSerialLineWithTheGivenFraming) {
  Pty pty;
  ComEnv env(98, pty.path());
  ASSERT_EQ(Orba_Abrir_Puerto(98, 9600, 8, 1, 2, 502, "127.0.0.1"), 0)
      << GetRS232ErrorString(kRtErrConfigure);
  const termios t = pty.Termios();
  EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B9600));
  EXPECT_NE(t.c_cflag & PARODD, 0u);
  EXPECT_NE(t.c_cflag & CSTOPB, 0u);
  EXPECT_EQ(TCP_handle, 0u) << "a serial open made a TCP connection";
  EXPECT_EQ(ComWrt(98, "ok", 2), 2);
  EXPECT_EQ(ReadExactly(pty.master(), 2, Ms(1000)), Hex("6f6b"));
}

TEST_F(Transport, Port99ConnectsAndResetsTheTransactionCounter) {
  Listener server;
  Contador_TCP = 41;
  ASSERT_EQ(Orba_Abrir_Puerto(99, 9600, 8, 0, 1, server.port(), "127.0.0.1"), 0);
  EXPECT_EQ(Contador_TCP, 1);
  EXPECT_NE(TCP_handle, 0u);
  const int conn = server.Accept();
  ASSERT_GE(conn, 0);
  EXPECT_EQ(ClientTCPWrite(TCP_handle, "hi", 2, 0), 2);
  EXPECT_EQ(ReadExactly(conn, 2, Ms(1000)), Hex("6869"));
  ::close(conn);
}

// A second open of an open link releases the first: the earlier server sees its
// connection end, and an open of the serial kind releases a TCP link too.
TEST_F(Transport, ASecondOpenClosesTheFirstLink) {
  Listener first, second;
  ASSERT_EQ(Orba_Abrir_Puerto(100, 0, 8, 0, 1, first.port(), "127.0.0.1"), 0);
  const int a = first.Accept();
  ASSERT_GE(a, 0);
  ASSERT_EQ(Orba_Abrir_Puerto(100, 0, 8, 0, 1, second.port(), "127.0.0.1"), 0);
  const int b = second.Accept();
  ASSERT_GE(b, 0);
  std::uint8_t x;
  EXPECT_TRUE(WaitUntil([&] { return ::recv(a, &x, 1, MSG_DONTWAIT) == 0; }))
      << "first connection left open";

  Pty pty;
  ComEnv env(3, pty.path());
  ASSERT_EQ(Orba_Abrir_Puerto(3, 19200, 8, 0, 1, 0, ""), 0);
  EXPECT_TRUE(WaitUntil([&] { return ::recv(b, &x, 1, MSG_DONTWAIT) == 0; }))
      << "TCP link left open by a serial open";
  EXPECT_EQ(TCP_handle, 0u);
  ::close(a);
  ::close(b);
  Orba_Cerrar_Puerto(3);
  EXPECT_EQ(ComWrt(3, "x", 1), kRtErrNotOpen);
}

TEST_F(Transport, ClosingWhatIsNotOpenReturnsZero) {
  EXPECT_EQ(Orba_Cerrar_Puerto(7), 0);
  EXPECT_EQ(Orba_Cerrar_Puerto(99), 0);
  EXPECT_EQ(Orba_Cerrar_Puerto(0), 0);
  EXPECT_EQ(Orba_Cerrar_Puerto(-5), 0);
}

TEST_F(Transport, AFailedConnectLeavesNoHandle) {
  std::uint16_t port;
  {
    Listener gone;
    port = gone.port();
  }
  const int rc = Orba_Abrir_Puerto(101, 0, 8, 0, 1, port, "127.0.0.1");
  EXPECT_EQ(rc, kRtErrConnRefused);
  EXPECT_EQ(TCP_handle, 0u);
  EXPECT_EQ(std::string(GetRS232ErrorString(rc)),
            "connection refused by 127.0.0.1:" + std::to_string(port));
  EXPECT_EQ(Orba_Abrir_Puerto(101, 0, 8, 0, 1, port, ""), kRtErrHostNotFound);
}

class Callback : public Transport {
 protected:
  void SetUp() override {
    Transport::SetUp();
    ASSERT_EQ(Orba_Abrir_Puerto(101, 0, 8, 0, 1, server_.port(), "127.0.0.1"), 0);
    conn_ = server_.Accept();
    ASSERT_GE(conn_, 0);
  }
  void TearDown() override {
    if (conn_ >= 0) ::close(conn_);
    Transport::TearDown();
  }
  bool Pump() {
    return WaitUntil([] {
      ProcessTCPEvents();
      return TCP_Rx_Status != 0;
    });
  }
  Listener server_;
  int conn_ = -1;
};

// One event is one read of at most 255 bytes; Buffer_TCP_Rx's last byte is never written;
// the rest waits for the next event.
TEST_F(Callback, OneEventTakesAtMost255Bytes) {
  Bytes big(300);
  for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<std::uint8_t>(i);
  ASSERT_TRUE(WriteAll(conn_, big));
  ASSERT_TRUE(Pump());
  EXPECT_EQ(TCP_Rx_Status, 1);
  ASSERT_EQ(TCP_Bytes_Rx, 255);
  EXPECT_EQ(Bytes(Buffer_TCP_Rx, Buffer_TCP_Rx + 255), Bytes(big.begin(), big.begin() + 255));
  EXPECT_EQ(Buffer_TCP_Rx[255], 0xEE);

  TCP_Rx_Status = 0;
  ASSERT_TRUE(Pump());
  EXPECT_EQ(TCP_Bytes_Rx, 45);
  EXPECT_EQ(Buffer_TCP_Rx[0], 255);
}

TEST_F(Callback, ServerCloseSetsStatus2) {
  ::close(conn_);
  conn_ = -1;
  ASSERT_TRUE(Pump());
  EXPECT_EQ(TCP_Rx_Status, 2);
}

// The callback reads the link's own connection whatever handle it is called with, and a
// read error lands in TCP_Rx_Status as the runtime's code.
TEST_F(Callback, ReadsTheLinkConnectionAndReportsReadErrors) {
  ASSERT_TRUE(WriteAll(conn_, Hex("01 02")));
  ASSERT_TRUE(WaitUntil([&] {
    Orba_TCP_Cliente(9999, TCP_DATAREADY, 0, nullptr);
    return TCP_Rx_Status == 1;
  }));
  EXPECT_EQ(TCP_Bytes_Rx, 2);

  const unsigned saved = TCP_handle;
  TCP_handle = 9999;
  Orba_TCP_Cliente(saved, TCP_DATAREADY, 0, nullptr);
  EXPECT_EQ(TCP_Rx_Status, kRtErrBadHandle);
  TCP_handle = saved;

  TCP_Rx_Status = 7;
  Orba_TCP_Cliente(saved, 1, 0, nullptr);  // other events are ignored
  EXPECT_EQ(TCP_Rx_Status, 7);
}

}  // namespace
