// Each fault option, seen on the wire of every link kind it applies to and counted in the
// summary the simulator prints on exit; idle connections that never lock a master out.
#include <gtest/gtest.h>
#include <unistd.h>

#include <functional>

#include "sim_harness.h"

using namespace simtest;

namespace {

// One link of a running simulator, as a raw byte stream.
struct Link {
  std::string kind;  // "serial", "tcp" or "rtu-over-tcp"
  int fd = -1;
  Link(SimProcess& sim, std::string k) : kind(std::move(k)) {
    fd = kind == "serial" ? ::open(sim.endpoint(kind).c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC)
                          : ConnectTcp(sim.port(kind));
  }
  ~Link() { ::close(fd); }
  bool rtu() const { return kind != "tcp"; }
  std::size_t fn_at() const { return rtu() ? 1 : 7; }  // offset of the function code
  // Length of the normal answer to a read of count registers.
  std::size_t answer_size(uint16_t count) const { return (rtu() ? 5u : 9u) + 2u * count; }
  // Sends a read and takes want bytes of its answer (0: a normal answer's), or what came.
  Received read(uint16_t address, uint16_t count, std::size_t want = 0, Ms limit = 3s) {
    WriteAll(fd, rtu() ? rtu_read(address, count)
                       : Bytes{0, 1, 0, 0, 0, 6, 1, 3, uint8_t(address >> 8), uint8_t(address), 0,
                               uint8_t(count)});
    return recv_for(fd, want ? want : answer_size(count), limit);
  }
};

void delayed(Link& l) {  // --delay 300
  const auto t0 = Clock::now();
  EXPECT_EQ(l.read(4096, 30).bytes.size(), l.answer_size(30));
  EXPECT_GE(SecondsSince(t0), 0.295);
}

void corrupt(Link& l) {  // RTU: the CRC's high byte; Modbus TCP: the last data byte
  EXPECT_EQ(l.read(4099, 1).bytes,
            l.rtu() ? Hex("01 03 02 0001 79 7B") : Hex("0001 0000 0005 01 03 02 00FE"));
}

void exception_at(Link& l) {  // --exception-at 4127-4129,4099
  // 4099 itself and next to it; the configuration screen's block read touches 4099; inside
  // 4127-4129; not in the map comes first.
  struct Case {
    uint16_t address, count;
    int exception;
  } const cases[] = {{4099, 1, 4}, {4100, 3, 0}, {4096, 30, 4}, {4128, 2, 4}, {4127, 1, 2}};
  for (const Case& c : cases) {
    const Bytes b = l.read(c.address, c.count, c.exception ? l.answer_size(0) : 0).bytes;
    ASSERT_EQ(b.size(), c.exception ? l.answer_size(0) : l.answer_size(c.count)) << c.address;
    EXPECT_EQ(b[l.fn_at()], c.exception ? 0x83 : 0x03) << c.address;
    EXPECT_EQ(c.exception ? b[l.fn_at() + 1] : 0, c.exception) << c.address;
    EXPECT_TRUE(!l.rtu() || CrcOk(b)) << c.address;
  }
}

void drop_after_3(Link& l) {  // a TCP connection is closed, the serial line falls silent
  for (uint16_t k = 0; k < 3; ++k) EXPECT_EQ(l.read(4099, 1).bytes.size(), l.answer_size(1)) << k;
  const Received r = l.read(4099, 1, 0, l.kind == "serial" ? 500ms : 3s);
  EXPECT_TRUE(r.bytes.empty());
  EXPECT_EQ(r.closed, l.kind != "serial");
}

}  // namespace

TEST(SimFaults, EachOptionOnTheWireAndInTheSummary) {
  const std::vector<const char*> all = {"serial", "tcp", "rtu-over-tcp"};
  const struct {
    std::vector<std::string> args;
    std::vector<const char*> kinds;
    std::function<void(Link&)> check;
    std::vector<std::pair<const char*, long>> counts;
  } cases[] = {
      {{"--delay", "300"}, all, delayed, {{"delay", 3}, {"answers", 3}}},
      {{"--corrupt-crc", "1"}, all, corrupt, {{"corrupt-crc", 3}}},
      {{"--exception-at", "4127-4129,4099"}, all, exception_at, {{"exception-at", 9}}},
      // a fresh TCP connection gets three answers again
      {{"--drop-after", "3"},
       {"tcp", "rtu-over-tcp", "tcp", "serial"},
       drop_after_3,
       {{"drop-after", 4}, {"muted", 1}, {"answers", 12}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args.front());
    std::vector<std::string> args = {"--serial", "--tcp", "0", "--rtu-over-tcp", "0"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    SimProcess sim(args);
    for (const char* kind : c.kinds) {
      SCOPED_TRACE(kind);
      Link l(sim, kind);
      ASSERT_GE(l.fd, 0) << sim.err();
      c.check(l);
    }
    EXPECT_EQ(sim.stop(), 0) << sim.err();
    for (const auto& [name, n] : c.counts) EXPECT_EQ(summary_count(sim.err(), name), n) << name;
  }
}

// The corruption draw follows the seed: the same seed spoils the same answers.
TEST(SimFaults, CorruptionRateIsRepeatableWithASeed) {
  auto run = [](const std::string& seed) {
    SimProcess sim({"--rtu-over-tcp", "0", "--corrupt-crc", "0.5", "--seed", seed});
    Link l(sim, "rtu-over-tcp");
    std::vector<bool> bad;
    for (int k = 0; k < 32; ++k) bad.push_back(!CrcOk(l.read(4099, 1).bytes));
    return bad;
  };
  const std::vector<bool> first = run("7");
  EXPECT_EQ(run("7"), first);
  EXPECT_NE(run("8"), first) << "another seed, another draw";
}

// Idle clients cannot lock a master out: with 100 connections open and silent, a new one is
// served at once (the one idle the longest makes room), a silent one is closed after the
// idle time-out, and the others do not hold up the exit.
TEST(SimRobustness, IdleConnectionsNeverLockANewMasterOut) {
  SimProcess sim({"--tcp", "0", "--idle-timeout", "3"});
  std::vector<int> idle;
  for (int k = 0; k < 100; ++k) idle.push_back(ConnectTcp(sim.port("tcp")));
  ASSERT_GE(idle.back(), 0) << sim.err();
  EXPECT_EQ(Master(sim.port("tcp")).read(4099, 1), std::vector<uint16_t>{1});
  EXPECT_TRUE(recv_for(idle.front(), 1, 2s).closed) << "the oldest idle connection made room";
  EXPECT_TRUE(recv_for(idle.back(), 1, 10s).closed) << "the idle time-out";
  EXPECT_EQ(sim.stop(), 0) << sim.err();
  EXPECT_NE(sim.err().find("no request for 3 s, connection closed"), std::string::npos);
  for (const int fd : idle) ::close(fd);
}
