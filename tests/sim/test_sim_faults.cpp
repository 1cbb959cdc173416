// Each fault option, observed on the wire of every link kind it applies to, and counted
// in the summary the simulator prints on exit.
#include <gtest/gtest.h>
#include <modbus/modbus.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <random>

#include "sim_harness.h"

using namespace simtest;

namespace {

using Clock = std::chrono::steady_clock;

std::vector<uint8_t> tcp_read(uint16_t tid, uint16_t address, uint16_t count, uint8_t unit = 1) {
  return {static_cast<uint8_t>(tid >> 8), static_cast<uint8_t>(tid), 0, 0, 0, 6, unit, 3,
          static_cast<uint8_t>(address >> 8), static_cast<uint8_t>(address),
          static_cast<uint8_t>(count >> 8), static_cast<uint8_t>(count)};
}

std::vector<uint8_t> rtu_read(uint16_t address, uint16_t count, uint8_t unit = 1) {
  return WithCrc({unit, 3, static_cast<uint8_t>(address >> 8), static_cast<uint8_t>(address),
                   static_cast<uint8_t>(count >> 8), static_cast<uint8_t>(count)});
}

// One link of a running simulator, as a raw byte stream.
struct Link {
  std::string kind;  // "tcp", "rtu-over-tcp", "serial"
  int fd = -1;
  ~Link() {
    if (fd >= 0) ::close(fd);
  }
  bool rtu() const { return kind != "tcp"; }
  std::vector<uint8_t> read_request(uint16_t address, uint16_t count, uint16_t tid = 1) const {
    return rtu() ? rtu_read(address, count) : tcp_read(tid, address, count);
  }
  // Length of the normal answer to a read of count registers.
  std::size_t answer_size(uint16_t count) const { return rtu() ? 5u + 2 * count : 9u + 2 * count; }
};

bool open_link(SimProcess& sim, Link& link) {
  if (link.kind == "serial") {
    const std::string path = sim.endpoint("serial");
    link.fd = path.empty() ? -1 : open_serial_raw(path);
  } else {
    const uint16_t port = sim.port(link.kind);
    link.fd = port ? ConnectTcp(port) : -1;
  }
  return link.fd >= 0;
}

// The number after "name=" in the simulator's exit summary.
long summary_count(const std::string& err, const std::string& name) {
  const auto at = err.find(" " + name + "=");
  if (at == std::string::npos) return -1;
  return std::stol(err.substr(at + name.size() + 2));
}

const std::vector<std::string> kAllLinks = {"--serial", "--tcp", "0", "--rtu-over-tcp", "0"};

std::vector<std::string> with_links(std::vector<std::string> faults) {
  std::vector<std::string> a = kAllLinks;
  a.insert(a.end(), faults.begin(), faults.end());
  return a;
}

}  // namespace

TEST(SimFaults, SilentNeverAnswers) {
  SimProcess sim(with_links({"--silent"}));
  for (const char* kind : {"serial", "tcp", "rtu-over-tcp"}) {
    Link l{kind};
    ASSERT_TRUE(open_link(sim, l)) << kind << sim.err();
    ASSERT_TRUE(WriteAll(l.fd, l.read_request(4099, 1)));
    const Received r = recv_for(l.fd, 1, 500ms);
    EXPECT_TRUE(r.bytes.empty()) << kind;
    EXPECT_FALSE(r.closed) << kind << ": silent, not gone";
  }
  EXPECT_EQ(sim.stop(), 0);
  EXPECT_EQ(summary_count(sim.err(), "silent"), 3) << sim.err();
  EXPECT_EQ(summary_count(sim.err(), "answers"), 0) << sim.err();
}

TEST(SimFaults, DelayHoldsEveryAnswerBack) {
  SimProcess sim(with_links({"--delay", "300"}));
  for (const char* kind : {"serial", "tcp", "rtu-over-tcp"}) {
    Link l{kind};
    ASSERT_TRUE(open_link(sim, l)) << kind << sim.err();
    const auto t0 = Clock::now();
    ASSERT_TRUE(WriteAll(l.fd, l.read_request(4096, 30)));
    const Received r = recv_for(l.fd, l.answer_size(30), 5s);
    const auto took = std::chrono::duration_cast<Ms>(Clock::now() - t0);
    ASSERT_EQ(r.bytes.size(), l.answer_size(30)) << kind;
    EXPECT_GE(took.count(), 295) << kind;
    EXPECT_LT(took.count(), 2000) << kind;
  }
  EXPECT_EQ(sim.stop(), 0);
  EXPECT_EQ(summary_count(sim.err(), "delay"), 3) << sim.err();
}

TEST(SimFaults, CorruptCrcSpoilsRtuCrcAndTcpData) {
  SimProcess sim(with_links({"--corrupt-crc", "1"}));
  for (const char* kind : {"serial", "rtu-over-tcp"}) {
    Link l{kind};
    ASSERT_TRUE(open_link(sim, l)) << kind << sim.err();
    ASSERT_TRUE(WriteAll(l.fd, l.read_request(4099, 1)));
    const Received r = recv_for(l.fd, 7, 3s);
    ASSERT_EQ(r.bytes.size(), 7u) << kind;
    EXPECT_FALSE(CrcOk(r.bytes)) << kind;
    // Only the CRC was touched: the data are right.
    EXPECT_EQ(std::vector<uint8_t>(r.bytes.begin(), r.bytes.begin() + 5),
              (std::vector<uint8_t>{1, 3, 2, 0, 1}))
        << kind;
  }
  // Modbus TCP has no CRC: the last data byte is inverted (slave address 1 reads 0x00FE).
  Link t{"tcp"};
  ASSERT_TRUE(open_link(sim, t));
  ASSERT_TRUE(WriteAll(t.fd, t.read_request(4099, 1, 0x1234)));
  const Received r = recv_for(t.fd, 11, 3s);
  ASSERT_EQ(r.bytes.size(), 11u);
  EXPECT_EQ(r.bytes, (std::vector<uint8_t>{0x12, 0x34, 0, 0, 0, 5, 1, 3, 2, 0x00, 0xFE}));
  EXPECT_EQ(sim.stop(), 0);
  EXPECT_EQ(summary_count(sim.err(), "corrupt-crc"), 3) << sim.err();
}

TEST(SimFaults, CorruptionRateIsRepeatableWithASeed) {
  auto run = [](const std::string& seed) {
    SimProcess sim({"--rtu-over-tcp", "0", "--corrupt-crc", "0.5", "--seed", seed});
    Link l{"rtu-over-tcp"};
    std::vector<bool> bad;
    if (!open_link(sim, l)) return std::make_pair(bad, -1L);
    for (int k = 0; k < 40; ++k) {
      if (!WriteAll(l.fd, l.read_request(1074, 8))) break;
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
  EXPECT_GT(spoilt, 8);
  EXPECT_LT(spoilt, 32);
  EXPECT_EQ(counted, spoilt) << "the summary matches what the wire showed";
  EXPECT_EQ(run("7").first, first) << "same seed, same answers spoilt";
  EXPECT_NE(run("8").first, first) << "another seed, another draw";
}

TEST(SimFaults, ExceptionAtAnswersSlaveDeviceFailure) {
  SimProcess sim(with_links({"--exception-at", "4099,4127,4130"}));
  struct Case { uint16_t address; uint16_t count; int exception; };
  const Case cases[] = {
      {4099, 1, 4},
      {4096, 30, 4},   // the configuration screen's block read touches 4099
      {4100, 3, 0},    // next to it: fine
      {4128, 5, 4},    // the display mask read touches 4130
      {4127, 1, 2},    // not in the map: that comes first
  };
  for (const char* kind : {"serial", "tcp", "rtu-over-tcp"}) {
    Link l{kind};
    ASSERT_TRUE(open_link(sim, l)) << kind << sim.err();
    for (const Case& c : cases) {
      ASSERT_TRUE(WriteAll(l.fd, l.read_request(c.address, c.count)));
      const std::size_t want = c.exception ? (l.rtu() ? 5u : 9u) : l.answer_size(c.count);
      const Received r = recv_for(l.fd, want, 3s);
      ASSERT_EQ(r.bytes.size(), want) << kind << " " << c.address;
      const std::size_t fn = l.rtu() ? 1 : 7;
      if (c.exception) {
        EXPECT_EQ(r.bytes[fn], 0x83) << kind << " " << c.address;
        EXPECT_EQ(r.bytes[fn + 1], c.exception) << kind << " " << c.address;
      } else {
        EXPECT_EQ(r.bytes[fn], 0x03) << kind << " " << c.address;
      }
      if (l.rtu()) {
        EXPECT_TRUE(CrcOk(r.bytes)) << kind;
      }
    }
  }
  // Writes too, through libmodbus: errno is the exception.
  modbus_t* m = modbus_new_tcp("127.0.0.1", sim.port("tcp"));
  ASSERT_NE(m, nullptr);
  modbus_set_slave(m, 1);
  ASSERT_EQ(modbus_connect(m), 0);
  const uint16_t mask[5] = {0, 0, 0, 0, 0};
  EXPECT_EQ(modbus_write_registers(m, 4128, 5, mask), -1);
  EXPECT_EQ(errno, EMBXSFAIL);
  EXPECT_EQ(modbus_write_register(m, 4113, 5), 1) << modbus_strerror(errno);
  modbus_close(m);
  modbus_free(m);
  EXPECT_EQ(sim.stop(), 0);
  EXPECT_EQ(summary_count(sim.err(), "exception-at"), 10) << sim.err();
}

TEST(SimFaults, SplitTcpSendsTwoSegments) {
  SimProcess sim({"--tcp", "0", "--rtu-over-tcp", "0", "--split-tcp", "--split-pause", "200"});
  for (const char* kind : {"tcp", "rtu-over-tcp"}) {
    Link l{kind};
    ASSERT_TRUE(open_link(sim, l)) << kind << sim.err();
    ASSERT_TRUE(WriteAll(l.fd, l.read_request(1024, 50)));
    const std::size_t total = l.answer_size(50);
    // Each read returns what has arrived: the first half, then the rest 200 ms later.
    const Received all = recv_for(l.fd, total, 3s);
    ASSERT_EQ(all.bytes.size(), total) << kind;
    ASSERT_GE(all.reads.size(), 2u) << kind << ": one data-ready event per segment";
    EXPECT_EQ(all.reads.front(), total / 2) << kind;
    if (l.rtu()) {
      EXPECT_TRUE(CrcOk(all.bytes));
    }
  }
  EXPECT_EQ(sim.stop(), 0);
  EXPECT_EQ(summary_count(sim.err(), "split-tcp"), 2) << sim.err();
}

TEST(SimFaults, DropAfterClosesTcpAndMutesSerial) {
  SimProcess sim(with_links({"--drop-after", "3"}));
  for (const char* kind : {"tcp", "rtu-over-tcp", "tcp"}) {  // a fresh connection gets 3 again
    Link l{kind};
    ASSERT_TRUE(open_link(sim, l)) << kind << sim.err();
    for (int k = 0; k < 3; ++k) {
      ASSERT_TRUE(WriteAll(l.fd, l.read_request(4099, 1, static_cast<uint16_t>(k))));
      EXPECT_EQ(recv_for(l.fd, l.answer_size(1), 3s).bytes.size(), l.answer_size(1)) << kind << k;
    }
    WriteAll(l.fd, l.read_request(4099, 1));  // may already fail: the link is going away
    const Received r = recv_for(l.fd, 1, 3s);
    EXPECT_TRUE(r.bytes.empty()) << kind;
    EXPECT_TRUE(r.closed) << kind << ": connection closed after 3 answers";
  }
  Link s{"serial"};
  ASSERT_TRUE(open_link(sim, s));
  for (int k = 0; k < 3; ++k) {
    ASSERT_TRUE(WriteAll(s.fd, s.read_request(4099, 1)));
    EXPECT_EQ(recv_for(s.fd, 7, 3s).bytes.size(), 7u) << "serial " << k;
  }
  ASSERT_TRUE(WriteAll(s.fd, s.read_request(4099, 1)));
  EXPECT_TRUE(recv_for(s.fd, 1, 500ms).bytes.empty()) << "serial falls silent";
  EXPECT_EQ(sim.stop(), 0);
  EXPECT_EQ(summary_count(sim.err(), "drop-after"), 4) << sim.err();
  EXPECT_EQ(summary_count(sim.err(), "muted"), 1) << sim.err();
  EXPECT_EQ(summary_count(sim.err(), "answers"), 12) << sim.err();
}

// Not an option but the same question: what a broken master sends must not break the
// meter. Random bytes and hostile headers on every link, then a normal request is
// answered again (the stream may need a moment to fall silent), and the exit is clean.
TEST(SimRobustness, GarbageOnEveryLinkIsSurvived) {
  SimProcess sim(kAllLinks);
  std::mt19937 rng(20240611);
  const std::vector<std::vector<uint8_t>> hostile = {
      WithCrc({1, 16, 0x10, 0x20, 0x00, 0x7B, 0xF6}),                // 123 registers, no data
      WithCrc({1, 16, 0xFF, 0xFF, 0x00, 0x02, 0x04, 1, 2, 3, 4}),    // write past 65535
      WithCrc({1, 3, 0xFF, 0xFF, 0xFF, 0xFF}),                       // read everything
      WithCrc({1, 6, 0xFF, 0xFF, 0x12, 0x34}),
      WithCrc({1, 16, 0x10, 0x03, 0x00, 0x01, 0xFF}),                // byte count 255
      {0, 1, 0, 0, 0, 0, 1, 3, 0x10, 0x03, 0, 1},                     // MBAP length 0
      {0, 1, 0x12, 0x34, 0xFF, 0xFF, 1, 3, 0x10, 0x03, 0, 1},         // MBAP length 65535
      {0, 1, 0, 0, 0, 8, 1, 0x2B, 0x0E, 1, 0, 0, 0, 0},               // unknown function
  };
  for (const char* kind : {"serial", "tcp", "rtu-over-tcp"}) {
    Link l{kind};
    ASSERT_TRUE(open_link(sim, l)) << kind << sim.err();
    for (const auto& h : hostile) WriteAll(l.fd, h);
    for (int k = 0; k < 64; ++k) {
      std::vector<uint8_t> junk(1 + rng() % 300);
      for (auto& b : junk) b = static_cast<uint8_t>(rng());
      if (!WriteAll(l.fd, junk)) break;  // the meter may close a TCP stream it cannot follow
    }
    // Answered again within a bounded time, reconnecting where the meter hung up.
    const auto deadline = Clock::now() + 20s;
    bool answered = false;
    while (!answered && Clock::now() < deadline) {
      if (!WriteAll(l.fd, l.read_request(4099, 1, 0x0101))) {
        ::close(l.fd);
        ASSERT_TRUE(open_link(sim, l)) << kind;
        continue;
      }
      const Received r = recv_for(l.fd, 64, 700ms);
      if (r.closed) {
        ::close(l.fd);
        ASSERT_TRUE(open_link(sim, l)) << kind;
        continue;
      }
      // The answer is the last whole frame of what arrived.
      const std::size_t n = l.answer_size(1);
      if (r.bytes.size() >= n) {
        const std::vector<uint8_t> tail(r.bytes.end() - static_cast<long>(n), r.bytes.end());
        answered = l.rtu() ? CrcOk(tail) && tail[1] == 3 && tail[4] == 1
                           : tail[0] == 0x01 && tail[1] == 0x01 && tail[7] == 3 && tail[10] == 1;
      }
    }
    EXPECT_TRUE(answered) << kind;
  }
  EXPECT_EQ(sim.stop(), 0) << sim.err();
  EXPECT_GT(summary_count(sim.err(), "bad-frames"), 0) << sim.err();
}
