// The simulator as a process: endpoints on stdout, clean exits, the command line's exit
// codes, the state file across runs, and the clock running in real time.
#include <gtest/gtest.h>
#include <modbus/modbus.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <sstream>

#include "sim/state_file.h"
#include "sim_harness.h"

using namespace simtest;
using veldix::sim::load_state;

namespace {

using Clock = std::chrono::steady_clock;

std::string temp_dir() {
  char tmpl[] = "/tmp/veldix-sim-run-XXXXXX";
  const char* d = mkdtemp(tmpl);
  return d ? d : "/tmp";
}

std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

struct Master {
  modbus_t* ctx = nullptr;
  explicit Master(uint16_t port, int unit = 1) {
    ctx = modbus_new_tcp("127.0.0.1", port);
    if (!ctx) return;
    modbus_set_slave(ctx, unit);
    modbus_set_response_timeout(ctx, 2, 0);
    if (modbus_connect(ctx) != 0) {
      modbus_free(ctx);
      ctx = nullptr;
    }
  }
  ~Master() {
    if (ctx) {
      modbus_close(ctx);
      modbus_free(ctx);
    }
  }
  std::vector<uint16_t> read(int address, int count) {
    std::vector<uint16_t> v(count);
    if (!ctx || modbus_read_registers(ctx, address, count, v.data()) != count) return {};
    return v;
  }
  bool write(int address, std::vector<uint16_t> v) {
    return ctx && modbus_write_registers(ctx, address, static_cast<int>(v.size()), v.data()) ==
                      static_cast<int>(v.size());
  }
};

// Meter clock fields as seconds of the day (date checked separately).
int seconds_of_day(const std::vector<uint16_t>& c) {
  return bcd(c[2] & 0xFF) * 3600 + bcd(c[3] >> 8) * 60 + bcd(c[3] & 0xFF);
}

}  // namespace

TEST(SimProcess, PrintsEndpointsSerialFirstAndExitsCleanlyOnSignals) {
  for (int sig : {SIGTERM, SIGINT}) {
    SimProcess sim({"--tcp", "0", "--rtu-over-tcp", "0", "--serial"});
    ASSERT_NE(sim.port("rtu-over-tcp"), 0) << sim.err();
    ASSERT_NE(sim.port("tcp"), 0);
    const auto& lines = sim.out_lines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0].rfind("serial: /dev/pts/", 0), 0u) << lines[0];
    struct stat st{};
    EXPECT_EQ(stat(sim.endpoint("serial").c_str(), &st), 0);
    EXPECT_EQ(lines[1].rfind("tcp: 127.0.0.1:", 0), 0u) << lines[1];
    EXPECT_EQ(lines[2].rfind("rtu-over-tcp: 127.0.0.1:", 0), 0u) << lines[2];
    // A connection is open while the signal comes: the exit does not wait for it.
    const int fd = ConnectTcp(sim.port("tcp"));
    EXPECT_GE(fd, 0);
    EXPECT_EQ(sim.stop(sig, 5s), 0) << "signal " << sig << ": " << sim.err();
    EXPECT_NE(sim.err().find("served: requests=0"), std::string::npos) << sim.err();
    EXPECT_NE(sim.err().find("faults: seed="), std::string::npos) << sim.err();
    if (fd >= 0) ::close(fd);
  }
}

TEST(SimProcess, ExitsOnStdinEndOnlyWhenAsked) {
  {
    SimProcess sim({"--tcp", "0", "--exit-on-stdin-eof"});
    ASSERT_NE(sim.port("tcp"), 0) << sim.err();
    sim.close_stdin();
    EXPECT_EQ(sim.wait_exit(5s), 0) << sim.err();
  }
  {
    SimProcess sim({"--tcp", "0"});
    const uint16_t port = sim.port("tcp");
    ASSERT_NE(port, 0) << sim.err();
    sim.close_stdin();
    Master m(port);  // still serving
    EXPECT_EQ(m.read(4099, 1), std::vector<uint16_t>{1});
    EXPECT_EQ(sim.stop(), 0);
  }
}

TEST(SimProcess, CommandLineErrorsAndHelp) {
  struct Case { std::vector<std::string> args; int code; std::string text; };
  const std::vector<Case> cases = {
      {{"--help"}, 0, "--rtu-over-tcp PORT"},
      {{"--version"}, 0, "veldixmid-sim 1.0"},
      {{"--tcp", "0", "--bogus"}, 2, "Try 'veldixmid-sim --help'"},
      {{"--serial", "/nonexistent/tty"}, 1, "cannot open /nonexistent/tty"},
      {{"--tcp", "0", "--bind", "300.1.2.3"}, 1, "--bind 300.1.2.3"},
  };
  for (const Case& c : cases) {
    std::vector<std::string> argv = {sim_binary()};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    const CommandResult r = run_command(argv, 10s);
    EXPECT_EQ(r.exit_code, c.code) << r.output;
    EXPECT_NE(r.output.find(c.text), std::string::npos) << r.output;
  }
  // A port already taken.
  SimProcess first({"--tcp", "0"});
  const uint16_t port = first.port("tcp");
  ASSERT_NE(port, 0);
  const CommandResult r = run_command({sim_binary(), "--tcp", std::to_string(port)}, 10s);
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_NE(r.output.find("cannot listen on 127.0.0.1:" + std::to_string(port)), std::string::npos)
      << r.output;
}

TEST(SimProcess, StateFileCarriesSettingsAcrossRuns) {
  const std::string dir = temp_dir();
  const std::string file = dir + "/meter.state";
  uint32_t energy_at_exit = 0;
  {
    SimProcess sim({"--tcp", "0", "--state", file});
    Master m(sim.port("tcp"));
    ASSERT_NE(m.ctx, nullptr) << sim.err();
    ASSERT_TRUE(m.write(4099, {7}));
    ASSERT_TRUE(m.write(4112, {2, 4321}));
    ASSERT_TRUE(m.write(4118, {1, 100, 0, 400, 0, 20000}));
    ASSERT_TRUE(m.write(4128, {0x0F0F, 0, 0xFFFF, 1, 0x0100}));
    // Saved right after the write, before any exit.
    EXPECT_EQ(load_state(file).state.settings.slave_address, 7);
    // The link keeps the address it started with until the next start.
    EXPECT_EQ(m.read(4099, 1), std::vector<uint16_t>{7});
    const auto e = m.read(270, 2);
    ASSERT_EQ(e.size(), 2u);
    energy_at_exit = u32(e[0], e[1]);
    EXPECT_EQ(sim.stop(), 0) << sim.err();
  }
  {
    // No --slave: the stored address is the one the meter answers to now.
    SimProcess sim({"--rtu-over-tcp", "0", "--state", file});
    const int fd = ConnectTcp(sim.port("rtu-over-tcp"));
    ASSERT_GE(fd, 0) << sim.err();
    ASSERT_TRUE(WriteAll(fd, WithCrc({7, 3, 0x10, 0x03, 0, 1})));
    const Received r = recv_for(fd, 7, 3s);
    EXPECT_EQ(r.bytes.size(), 7u);
    EXPECT_TRUE(CrcOk(r.bytes));
    ::close(fd);
    EXPECT_EQ(sim.stop(), 0) << sim.err();
  }
  {
    SimProcess sim({"--tcp", "0", "--state", file, "--slave", "3"});
    Master m(sim.port("tcp"), 3);
    ASSERT_NE(m.ctx, nullptr) << sim.err();
    EXPECT_EQ(m.read(4099, 1), std::vector<uint16_t>{3}) << "the command line wins";
    EXPECT_EQ(m.read(4112, 2), (std::vector<uint16_t>{2, 4321}));
    EXPECT_EQ(m.read(4118, 6), (std::vector<uint16_t>{1, 100, 0, 400, 0, 20000}));
    EXPECT_EQ(m.read(4128, 5), (std::vector<uint16_t>{0x0F0F, 0, 0xFFFF, 1, 0x0100}));
    const auto e = m.read(270, 2);
    ASSERT_EQ(e.size(), 2u);
    EXPECT_GE(u32(e[0], e[1]), energy_at_exit) << "energy counters survive a restart";
    EXPECT_EQ(sim.stop(), 0) << sim.err();
  }
  std::remove(file.c_str());
  rmdir(dir.c_str());
}

TEST(SimProcess, CorruptStateFileIsReportedKeptAndReplaced) {
  const std::string dir = temp_dir();
  const std::string file = dir + "/meter.state";
  const std::string garbage = "veldixmid-sim-state 1\nslave-address banana\n";
  { std::ofstream(file) << garbage; }
  SimProcess sim({"--tcp", "0", "--state", file});
  Master m(sim.port("tcp"));
  ASSERT_NE(m.ctx, nullptr) << sim.err();
  EXPECT_EQ(m.read(4099, 1), std::vector<uint16_t>{1}) << "factory settings";
  EXPECT_EQ(sim.stop(), 0) << sim.err();
  EXPECT_NE(sim.err().find("is unusable (line 2: slave-address is not"), std::string::npos)
      << sim.err();
  EXPECT_EQ(slurp(file + ".corrupt"), garbage) << "the damaged file is kept aside";
  EXPECT_EQ(load_state(file).status, veldix::sim::StateLoad::Status::loaded);
  std::remove(file.c_str());
  std::remove((file + ".corrupt").c_str());
  rmdir(dir.c_str());
}

TEST(SimProcess, ClockSetThroughAWriteKeepsRunning) {
  SimProcess sim({"--tcp", "0"});
  Master m(sim.port("tcp"));
  ASSERT_NE(m.ctx, nullptr) << sim.err();
  // Saturday 2025-03-15 09:30:45, as the configuration screen writes it.
  const std::vector<uint16_t> set = {0x0025, 0x0315, 0x0009, 0x3045};
  ASSERT_TRUE(m.write(4103, set));
  const auto t0 = Clock::now();
  const auto first = m.read(4103, 4);
  ASSERT_EQ(first.size(), 4u);
  EXPECT_LE(seconds_of_day(first) - seconds_of_day(set), 1);

  // Wait (bounded) until the meter shows at least three seconds more.
  std::vector<uint16_t> later;
  while (Clock::now() - t0 < 10s) {
    later = m.read(4103, 4);
    ASSERT_EQ(later.size(), 4u);
    if (seconds_of_day(later) - seconds_of_day(set) >= 3) break;
    ::poll(nullptr, 0, 100);
  }
  const double elapsed = std::chrono::duration<double>(Clock::now() - t0).count();
  const int advanced = seconds_of_day(later) - seconds_of_day(set);
  EXPECT_GE(advanced, 3);
  EXPECT_NEAR(advanced, elapsed, 1.2) << "the clock runs at wall-clock speed";
  EXPECT_EQ(later[0], 0x0025);
  EXPECT_EQ(later[1], 0x0315);
  EXPECT_EQ(later[2] >> 8, 0x06) << "weekday byte: Saturday";
  for (uint16_t w : later) {
    EXPECT_TRUE(bcd_valid(w & 0xFF) && bcd_valid(w >> 8)) << std::hex << w;
  }
  EXPECT_EQ(sim.stop(), 0);
}

TEST(SimProcess, PtyDoesNotStayExclusiveAfterTheMasterCloses) {
  SimProcess sim({"--serial"});
  const std::string path = sim.endpoint("serial");
  ASSERT_FALSE(path.empty()) << sim.err();
  // What a Qt serial port does on open; it stays set after the close while the
  // simulator holds the pty, and would make the next open fail with EBUSY.
  const int fd = open_serial_raw(path);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(ioctl(fd, TIOCEXCL), 0);
  ::close(fd);
  // Root may open an exclusive tty anyway, so look at the flag itself.
  int exclusive = 1;
  const auto deadline = Clock::now() + 5s;
  while (exclusive && Clock::now() < deadline) {
    const int probe = open_serial_raw(path);  // fails with EBUSY for other users
    if (probe >= 0) {
      ASSERT_EQ(ioctl(probe, TIOCGEXCL, &exclusive), 0);
      ::close(probe);
    }
    if (exclusive) ::poll(nullptr, 0, 20);
  }
  EXPECT_EQ(exclusive, 0);
  EXPECT_EQ(sim.stop(), 0) << sim.err();
}
