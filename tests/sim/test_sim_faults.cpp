// Each fault option, seen on the wire of every link kind it applies to and counted in the
// summary the simulator prints on exit; and garbage from a broken master survived.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <functional>
#include <random>

#include "sim_harness.h"

using namespace simtest;

namespace {

// One link of a running simulator, as a raw byte stream.
struct Link {
  SimProcess& sim;
  std::string kind;  // "serial", "tcp" or "rtu-over-tcp"
  int fd = -1;
  Link(SimProcess& s, std::string k) : sim(s), kind(std::move(k)) { reopen(); }
  ~Link() {
    if (fd >= 0) ::close(fd);
  }
  bool reopen() {
    if (fd >= 0) ::close(fd);
    fd = kind == "serial" ? open_serial_raw(sim.endpoint(kind)) : ConnectTcp(sim.port(kind));
    return fd >= 0;
  }
  bool rtu() const { return kind != "tcp"; }
  std::size_t fn_at() const { return rtu() ? 1 : 7; }  // offset of the function code
  // Length of the normal answer to a read of count registers.
  std::size_t answer_size(uint16_t count) const { return (rtu() ? 5u : 9u) + 2u * count; }
  bool send_read(uint16_t address, uint16_t count, uint16_t tid = 1) {
    return WriteAll(fd, rtu() ? rtu_read(address, count)
                              : Bytes{uint8_t(tid >> 8), uint8_t(tid), 0, 0, 0, 6, 1, 3,
                                      uint8_t(address >> 8), uint8_t(address), 0, uint8_t(count)});
  }
};

std::vector<std::string> all_links(std::vector<std::string> faults) {
  faults.insert(faults.begin(), {"--serial", "--tcp", "0", "--rtu-over-tcp", "0"});
  return faults;
}
const std::vector<const char*> kAll = {"serial", "tcp", "rtu-over-tcp"};

void silent(Link& l) {
  ASSERT_TRUE(l.send_read(4096, 30));
  const Received r = recv_for(l.fd, 1, 500ms);
  EXPECT_TRUE(r.bytes.empty() && !r.closed) << "silent, not gone";
}

void delayed(Link& l) {
  const auto t0 = Clock::now();
  ASSERT_TRUE(l.send_read(4096, 30));
  EXPECT_EQ(recv_for(l.fd, l.answer_size(30), 5s).bytes.size(), l.answer_size(30));
  EXPECT_TRUE(SecondsSince(t0) >= 0.295 && SecondsSince(t0) < 2.0) << SecondsSince(t0);
}

void corrupt(Link& l) {
  ASSERT_TRUE(l.send_read(4099, 1, 0x1234));
  const Bytes b = recv_for(l.fd, l.answer_size(1), 3s).bytes;
  if (l.rtu()) {  // only the CRC is touched
    EXPECT_TRUE(b.size() == 7 && !CrcOk(b) && Bytes(b.begin(), b.end() - 2) == Hex("0103020001"))
        << ToHex(b);
  } else {  // Modbus TCP has no CRC: the last data byte is inverted
    EXPECT_EQ(b, Hex("1234 0000 0005 01 03 02 00FE"));
  }
}

void exception_at(Link& l) {  // --exception-at 4130,4127-4129,4099
  // 4099 itself and next to it; the configuration screen's block read touches 4099, the
  // display mask read 4130; inside 4127-4129; not in the map comes first.
  struct Case {
    uint16_t address, count;
    int exception;
  } const cases[] = {{4099, 1, 4}, {4100, 3, 0}, {4096, 30, 4},
                     {4128, 5, 4}, {4128, 2, 4}, {4127, 1, 2}};
  for (const Case& c : cases) {
    ASSERT_TRUE(l.send_read(c.address, c.count));
    const std::size_t want = c.exception ? l.answer_size(0) : l.answer_size(c.count);
    const Bytes b = recv_for(l.fd, want, 3s).bytes;
    ASSERT_EQ(b.size(), want) << c.address;
    EXPECT_EQ(b[l.fn_at()], c.exception ? 0x83 : 0x03) << c.address;
    EXPECT_EQ(c.exception ? b[l.fn_at() + 1] : 0, c.exception) << c.address;
    EXPECT_TRUE(!l.rtu() || CrcOk(b)) << c.address;
  }
  if (l.kind == "tcp") {  // writes too, as libmodbus sees them
    Master m(l.sim.port("tcp"));
    EXPECT_FALSE(m.write(4128, {0, 0, 0, 0, 0}));
    EXPECT_EQ(errno, EMBXSFAIL);
    EXPECT_TRUE(m.write(4113, {5})) << modbus_strerror(errno);
  }
}

void split(Link& l) {  // --split-pause 200
  ASSERT_TRUE(l.send_read(1024, 50));
  // Each read returns what has arrived: the first half, then the rest 200 ms later.
  const Received all = recv_for(l.fd, l.answer_size(50), 3s);
  ASSERT_EQ(all.bytes.size(), l.answer_size(50));
  ASSERT_GE(all.reads.size(), 2u) << "one data-ready event per segment";
  EXPECT_EQ(all.reads.front(), l.answer_size(50) / 2);
  EXPECT_TRUE(!l.rtu() || CrcOk(all.bytes));
}

void drop_after_3(Link& l) {  // a TCP connection is closed, the serial line falls silent
  for (uint16_t k = 0; k < 3; ++k) {
    ASSERT_TRUE(l.send_read(4099, 1, k));
    EXPECT_EQ(recv_for(l.fd, l.answer_size(1), 3s).bytes.size(), l.answer_size(1)) << k;
  }
  l.send_read(4099, 1);  // may already fail: the link is going away
  const Received r = recv_for(l.fd, 1, l.kind == "serial" ? 500ms : 3s);
  EXPECT_TRUE(r.bytes.empty());
  EXPECT_EQ(r.closed, l.kind != "serial");
}

}  // namespace

TEST(SimFaults, EachOptionOnTheWireAndInTheSummary) {
  struct Case {
    std::vector<std::string> args;
    std::vector<const char*> kinds;
    std::function<void(Link&)> check;
    std::vector<std::pair<const char*, long>> counts;
  };
  const Case cases[] = {
      {all_links({"--silent"}), kAll, silent, {{"silent", 3}, {"answers", 0}}},
      {all_links({"--delay", "300"}), kAll, delayed, {{"delay", 3}, {"answers", 3}}},
      {all_links({"--corrupt-crc", "1"}), kAll, corrupt, {{"corrupt-crc", 3}}},
      {all_links({"--exception-at", "4130,4127-4129,4099"}),
       kAll,
       exception_at,
       {{"exception-at", 13}}},
      {{"--tcp", "0", "--rtu-over-tcp", "0", "--split-tcp", "--split-pause", "200"},
       {"tcp", "rtu-over-tcp"},
       split,
       {{"split-tcp", 2}}},
      // a fresh TCP connection gets three answers again
      {all_links({"--drop-after", "3"}),
       {"tcp", "rtu-over-tcp", "tcp", "serial"},
       drop_after_3,
       {{"drop-after", 4}, {"muted", 1}, {"answers", 12}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args.back());
    SimProcess sim(c.args);
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

TEST(SimFaults, CorruptionRateIsRepeatableWithASeed) {
  auto run = [](const std::string& seed) {
    SimProcess sim({"--rtu-over-tcp", "0", "--corrupt-crc", "0.5", "--seed", seed});
    Link l(sim, "rtu-over-tcp");
    std::vector<bool> bad;
    for (int k = 0; k < 40 && l.send_read(1074, 8); ++k) {
      const Received r = recv_for(l.fd, l.answer_size(8), 3s);
      if (r.bytes.size() != l.answer_size(8)) break;
      bad.push_back(!CrcOk(r.bytes));
    }
    sim.stop();
    return std::make_pair(bad, summary_count(sim.err(), "corrupt-crc"));
  };
  const auto [first, counted] = run("7");
  ASSERT_EQ(first.size(), 40u);
  const long spoilt = std::count(first.begin(), first.end(), true);
  EXPECT_TRUE(spoilt > 8 && spoilt < 32) << spoilt;
  EXPECT_EQ(counted, spoilt) << "the summary matches what the wire showed";
  EXPECT_EQ(run("7").first, first) << "same seed, same answers spoilt";
  EXPECT_NE(run("8").first, first) << "another seed, another draw";
}

// What a broken master sends must not break the meter: hostile headers and random bytes on
// every link, then a normal request is answered again within a bounded time.
TEST(SimRobustness, GarbageOnEveryLinkIsSurvived) {
  SimProcess sim(all_links({}));
  std::mt19937 rng(20240611);
  const Bytes hostile[] = {
      WithCrc(Hex("01 10 1020 007B F6")),           // 123 registers, no data
      WithCrc(Hex("01 10 FFFF 0002 04 01020304")),  // write past 65535
      WithCrc(Hex("01 03 FFFF FFFF")),              // read everything
      WithCrc(Hex("01 06 FFFF 1234")),
      WithCrc(Hex("01 10 1003 0001 FF")),          // byte count 255
      Hex("0001 0000 0000 01 03 1003 0001"),       // MBAP length 0
      Hex("0001 1234 FFFF 01 03 1003 0001"),       // MBAP length 65535
      Hex("0001 0000 0008 01 2B 0E 01 00000000"),  // unknown function
  };
  for (const char* kind : kAll) {
    SCOPED_TRACE(kind);
    Link l(sim, kind);
    ASSERT_GE(l.fd, 0) << sim.err();
    for (const auto& h : hostile) WriteAll(l.fd, h);
    for (int k = 0; k < 64; ++k) {
      Bytes junk(1 + rng() % 300);
      for (auto& b : junk) b = static_cast<uint8_t>(rng());
      if (!WriteAll(l.fd, junk)) break;  // the meter may close a TCP stream it cannot follow
    }
    // Answered again, reconnecting where the meter hung up; the answer is the last whole
    // frame of what arrived (the stream may need a moment to fall silent).
    const auto deadline = Clock::now() + 20s;
    bool answered = false;
    while (!answered && Clock::now() < deadline) {
      const Received r =
          l.send_read(4099, 1, 0x0101) ? recv_for(l.fd, 64, 700ms) : Received{{}, true, {}};
      if (r.closed) {
        ASSERT_TRUE(l.reopen());
        continue;
      }
      const std::size_t n = l.answer_size(1);
      if (r.bytes.size() < n) continue;
      const Bytes tail(r.bytes.end() - static_cast<long>(n), r.bytes.end());
      answered = l.rtu() ? CrcOk(tail) && tail[1] == 3 && tail[4] == 1
                         : tail[0] == 0x01 && tail[1] == 0x01 && tail[7] == 3 && tail[10] == 1;
    }
    EXPECT_TRUE(answered);
  }
  EXPECT_EQ(sim.stop(), 0) << sim.err();
  EXPECT_GT(summary_count(sim.err(), "bad-frames"), 0) << sim.err();
}

// Idle clients cannot lock a master out: with 100 connections open and silent, a new one is
// served at once (the ones idle the longest make room), and a silent connection is closed
// after the idle time-out.
TEST(SimRobustness, IdleConnectionsNeverLockANewMasterOut) {
  SimProcess sim({"--tcp", "0", "--idle-timeout", "3"});
  const uint16_t port = sim.port("tcp");
  ASSERT_NE(port, 0) << sim.err();
  std::vector<int> idle;
  for (int k = 0; k < 100; ++k) {
    const int fd = ConnectTcp(port);
    ASSERT_GE(fd, 0) << k;
    idle.push_back(fd);
  }
  const auto t0 = Clock::now();
  {
    Master m(port);
    EXPECT_EQ(m.read(4099, 1), std::vector<uint16_t>{1});
  }
  EXPECT_LT(SecondsSince(t0), 1.0);
  EXPECT_TRUE(recv_for(idle.front(), 1, 2s).closed) << "the oldest idle connection made room";
  // The newest of the idle ones is still served, then closed by the time-out.
  const int last = idle.back();
  EXPECT_TRUE(WriteAll(last, Hex("0001 0000 0006 01 03 1003 0001")));
  EXPECT_EQ(recv_for(last, 11, 2s).bytes, Hex("0001 0000 0005 01 03 02 0001"));
  const auto quiet = Clock::now();
  EXPECT_TRUE(recv_for(last, 1, 10s).closed);
  EXPECT_NEAR(SecondsSince(quiet), 3.0, 1.5);
  for (const int fd : idle) ::close(fd);
  EXPECT_EQ(sim.stop(), 0) << sim.err();
  EXPECT_NE(sim.err().find("closed for a new one"), std::string::npos) << sim.err();
  EXPECT_NE(sim.err().find("no request for 3 s, connection closed"), std::string::npos);
}
