// Opening and closing the link, and the TCP event callback, on real ptys and sockets (the
// serial framing each choice gives the line: tests/app/test_connection.cpp).
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <cstring>
#include <numeric>

#include "link/transport.h"
#include "platform/rs232.h"
#include "platform/tcp.h"
#include "test_support.h"

using namespace vtest;

namespace {

class Transport : public ::testing::Test {
 protected:
  void SetUp() override {
    static int argc = 1;
    static char name[] = "test_transport";
    static char* argv[] = {name, nullptr};
    if (QCoreApplication::instance() == nullptr) new QCoreApplication(argc, argv);
    TCP_Rx_Status = 0;
    std::memset(Buffer_TCP_Rx, 0xEE, sizeof Buffer_TCP_Rx);
  }
  void TearDown() override { Orba_Cerrar_Puerto(99); }
};

// A second open releases the first link, TCP or serial; a failed connect leaves no handle.
TEST_F(Transport, ASecondOpenClosesTheFirstLink) {
  Listener server;
  ASSERT_EQ(Orba_Abrir_Puerto(100, 0, 8, 0, 1, server.port(), "127.0.0.1"), 0);
  const int conn = server.Accept();
  ASSERT_GE(conn, 0);
  Pty pty;
  ComEnv env(3, pty.path());
  ASSERT_EQ(Orba_Abrir_Puerto(3, 19200, 8, 0, 1, 0, ""), 0);
  std::uint8_t x;
  EXPECT_TRUE(WaitUntil([&] { return ::recv(conn, &x, 1, MSG_DONTWAIT) == 0; }))
      << "TCP link left open by a serial open";
  EXPECT_EQ(TCP_handle, 0u);
  ::close(conn);

  EXPECT_EQ(Orba_Abrir_Puerto(101, 0, 8, 0, 1, 9, ""), kRtErrHostNotFound);
  EXPECT_EQ(TCP_handle, 0u);
  EXPECT_EQ(ComWrt(3, "x", 1), kRtErrNotOpen) << "serial link left open by a TCP open";
}

// A data-ready event is one read of at most 255 bytes on the link's own connection, whatever
// handle the callback is given; the server's close is status 2.
TEST_F(Transport, TcpEvents) {
  Listener server;
  ASSERT_EQ(Orba_Abrir_Puerto(101, 0, 8, 0, 1, server.port(), "127.0.0.1"), 0);
  const int conn = server.Accept();
  ASSERT_GE(conn, 0);
  auto pump = [](unsigned handle) {  // 0: as the runtime delivers them
    TCP_Rx_Status = 0;
    return WaitUntil([=] {
      handle != 0 ? void(Orba_TCP_Cliente(handle, TCP_DATAREADY, 0, nullptr))
                  : void(ProcessTCPEvents());
      return TCP_Rx_Status != 0;
    });
  };
  Bytes big(300);
  std::iota(big.begin(), big.end(), 0);
  ASSERT_TRUE(WriteAll(conn, big));
  ASSERT_TRUE(pump(9999));
  EXPECT_EQ(TCP_Rx_Status, 1);
  ASSERT_EQ(TCP_Bytes_Rx, 255);
  EXPECT_EQ(Bytes(Buffer_TCP_Rx, Buffer_TCP_Rx + 255), Bytes(big.begin(), big.begin() + 255));
  EXPECT_EQ(Buffer_TCP_Rx[255], 0xEE);
  ASSERT_TRUE(pump(0));
  EXPECT_EQ(TCP_Bytes_Rx, 45);
  ::close(conn);
  ASSERT_TRUE(pump(0));
  EXPECT_EQ(TCP_Rx_Status, 2);
}

}  // namespace
