// Fault options on the wire of every link kind and in the summary printed on exit (what
// each does to an answer is in the request table of the model test); idle connections that
// never lock a master out.
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "sim_harness.h"

using namespace simtest;

namespace {

// What the peer does next within the limit: 1 it sends data, 0 it closes fd, -1 nothing.
int next_event(int fd, Ms limit) {
  pollfd p{fd, POLLIN, 0};
  char c = 0;
  if (::poll(&p, 1, static_cast<int>(limit.count())) != 1) return -1;
  return ::read(fd, &c, 1) > 0 ? 1 : 0;
}

}  // namespace

// Each answer held back; after two answers a TCP connection is closed and the serial line
// falls silent; the pty opened in exclusive mode is free again after the close.
TEST(SimFaults, DelayAndDropAfterOnEveryLink) {
  SimProcess sim(
      {"--serial", "--tcp", "0", "--rtu-over-tcp", "0", "--delay", "300", "--drop-after", "2"});
  for (const std::string kind : {"serial", "tcp", "rtu-over-tcp"}) {
    SCOPED_TRACE(kind);
    const bool rtu = kind != "tcp", serial = kind == "serial";
    const int fd = serial ? ::open(sim.endpoint(kind).c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC)
                          : ConnectTcp(sim.port(kind));
    ASSERT_GE(fd, 0) << sim.err();
    ASSERT_TRUE(!serial || ioctl(fd, TIOCEXCL) == 0);  // as a serial port library opens it
    SetNonBlocking(fd);
    const Bytes request =
        rtu ? WithCrc(Hex("01 03 1003 0001")) : Hex("0001 0000 0006 01 03 1003 0001");
    const Bytes answer = rtu ? WithCrc(Hex("01 03 02 0001")) : Hex("0001 0000 0005 01 03 02 0001");
    for (int k = 0; k < 2; ++k) {
      const auto t0 = Clock::now();
      ASSERT_TRUE(WriteAll(fd, request));
      EXPECT_EQ(ReadExactly(fd, answer.size(), 3s), answer);
      EXPECT_GE(SecondsSince(t0), 0.295);
    }
    WriteAll(fd, request);  // may fail: the link is going away
    EXPECT_EQ(next_event(fd, serial ? 1s : 3s), serial ? -1 : 0);
    ::close(fd);
  }
  // While the simulator holds the pty, TIOCEXCL would outlive the close and make the next
  // open fail with EBUSY (root may open an exclusive tty anyway: look at the flag).
  EXPECT_TRUE(WaitUntil([&] {
    int exclusive = 1;
    const int probe = ::open(sim.endpoint("serial").c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    const bool free = probe >= 0 && ioctl(probe, TIOCGEXCL, &exclusive) == 0 && exclusive == 0;
    ::close(probe);
    return free;
  })) << "the pty stays exclusive";
  EXPECT_EQ(sim.stop(), 0) << sim.err();
  for (const char* count : {" answers=6 ", " delay=6 ", " drop-after=3 ", " muted=1"})
    EXPECT_NE(sim.err().find(count), std::string::npos) << count << " in " << sim.err();
}

// With 100 connections open and silent, a new one is served at once (the one idle the
// longest makes room), a silent one is closed after the idle time-out, and the others do
// not hold up the exit.
TEST(SimRobustness, IdleConnectionsNeverLockANewMasterOut) {
  SimProcess sim({"--tcp", "0", "--idle-timeout", "3"});
  std::vector<int> idle;
  for (int k = 0; k < 100; ++k) idle.push_back(ConnectTcp(sim.port("tcp")));
  ASSERT_GE(idle.back(), 0) << sim.err();
  EXPECT_EQ(Master(sim.port("tcp")).read(4099, 1), std::vector<uint16_t>{1});
  EXPECT_EQ(next_event(idle.front(), 2s), 0) << "the oldest idle connection made room";
  EXPECT_EQ(next_event(idle.back(), 10s), 0) << "the idle time-out";
  EXPECT_EQ(sim.stop(), 0) << sim.err();
  EXPECT_NE(sim.err().find("no request for 3 s, connection closed"), std::string::npos);
  for (const int fd : idle) ::close(fd);
}
