// The simulator as a process: endpoints on stdout, clean exits, the command line's exit
// codes, the state file across runs, the clock in real time, and the pty it leaves usable.
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "sim/state_file.h"
#include "sim_harness.h"

using namespace simtest;
using veldix::sim::load_state;

namespace {

// A fresh directory for a state file, removed with what is in it.
struct TempDir {
  std::string path;
  TempDir() {
    char tmpl[] = "/tmp/veldix-sim-run-XXXXXX";
    path = mkdtemp(tmpl) ? tmpl : "";
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
  }
};

// Meter clock fields as seconds of the day.
int seconds_of_day(const std::vector<uint16_t>& c) {
  return bcd(c[2] & 0xFF) * 3600 + bcd(c[3] >> 8) * 60 + bcd(c[3] & 0xFF);
}

}  // namespace

TEST(SimProcess, PrintsEndpointsSerialFirstAndExitsCleanlyOnSignals) {
  for (int sig : {SIGTERM, SIGINT}) {
    SimProcess sim({"--tcp", "0", "--rtu-over-tcp", "0", "--serial"});
    ASSERT_NE(sim.port("rtu-over-tcp"), 0) << sim.err();
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
  for (const bool asked : {true, false}) {
    SimProcess sim(asked ? std::vector<std::string>{"--tcp", "0", "--exit-on-stdin-eof"}
                         : std::vector<std::string>{"--tcp", "0"});
    const uint16_t port = sim.port("tcp");
    ASSERT_NE(port, 0) << sim.err();
    sim.close_stdin();
    if (asked) {
      EXPECT_EQ(sim.wait_exit(5s), 0) << sim.err();
    } else {
      EXPECT_EQ(Master(port).read(4099, 1), std::vector<uint16_t>{1}) << "still serving";
      EXPECT_EQ(sim.stop(), 0);
    }
  }
}

TEST(SimProcess, CommandLineErrorsAndHelp) {
  SimProcess first({"--tcp", "0"});
  const std::string taken = std::to_string(first.port("tcp"));
  ASSERT_NE(taken, "0");
  struct Case { std::vector<std::string> args; int code; std::string text; };
  const std::vector<Case> cases = {
      {{"--help"}, 0, "--rtu-over-tcp PORT"},
      {{"--version"}, 0, "veldixmid-sim 1.0"},
      {{"--tcp", "0", "--bogus"}, 2, "Try 'veldixmid-sim --help'"},
      {{"--serial", "/nonexistent/tty"}, 1, "cannot open /nonexistent/tty"},
      {{"--tcp", "0", "--bind", "300.1.2.3"}, 1, "--bind 300.1.2.3"},
      {{"--tcp", taken}, 1, "cannot listen on 127.0.0.1:" + taken},
  };
  for (const Case& c : cases) {
    std::vector<std::string> argv = {sim_binary()};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    const CommandResult r = run_command(argv, 10s);
    EXPECT_EQ(r.exit_code, c.code) << r.output;
    EXPECT_NE(r.output.find(c.text), std::string::npos) << r.output;
  }
}

TEST(SimProcess, StateFileCarriesSettingsAcrossRuns) {
  TempDir dir;
  const std::string file = dir.path + "/meter.state";
  const std::vector<uint16_t> ratios = {1, 100, 0, 400, 0, 20000};
  const std::vector<uint16_t> mask = {0x0F0F, 0, 0xFFFF, 1, 0x0100};
  uint32_t energy_at_exit = 0;
  {
    SimProcess sim({"--tcp", "0", "--state", file});
    Master m(sim.port("tcp"));
    ASSERT_TRUE(m.write(4099, {7}) && m.write(4112, {2, 4321}) && m.write(4118, ratios) &&
                m.write(4128, mask))
        << sim.err();
    EXPECT_EQ(load_state(file).state.settings.slave_address, 7) << "saved at the write";
    EXPECT_EQ(m.read(4099, 1), std::vector<uint16_t>{7});
    const auto e = m.read(270, 2);
    ASSERT_EQ(e.size(), 2u);
    energy_at_exit = u32(e[0], e[1]);
    EXPECT_EQ(sim.stop(), 0) << sim.err();
  }
  {
    // No --slave: the meter answers to the stored address now.
    SimProcess sim({"--rtu-over-tcp", "0", "--state", file});
    const int fd = ConnectTcp(sim.port("rtu-over-tcp"));
    ASSERT_GE(fd, 0) << sim.err();
    ASSERT_TRUE(WriteAll(fd, rtu_read(4099, 1, 7)));
    const Received r = recv_for(fd, 7, 3s);
    ::close(fd);
    EXPECT_EQ(r.bytes.size(), 7u);
    EXPECT_TRUE(CrcOk(r.bytes));
    EXPECT_EQ(sim.stop(), 0) << sim.err();
  }
  SimProcess sim({"--tcp", "0", "--state", file, "--slave", "3"});
  Master m(sim.port("tcp"), 3);
  ASSERT_NE(m.ctx, nullptr) << sim.err();
  EXPECT_EQ(m.read(4099, 1), std::vector<uint16_t>{3}) << "the command line wins";
  EXPECT_EQ(m.read(4112, 2), (std::vector<uint16_t>{2, 4321}));
  EXPECT_EQ(m.read(4118, 6), ratios);
  EXPECT_EQ(m.read(4128, 5), mask);
  const auto e = m.read(270, 2);
  ASSERT_EQ(e.size(), 2u);
  EXPECT_GE(u32(e[0], e[1]), energy_at_exit) << "energy counters survive a restart";
  EXPECT_EQ(sim.stop(), 0) << sim.err();
}

TEST(SimProcess, CorruptStateFileIsReportedKeptAndReplaced) {
  TempDir dir;
  const std::string file = dir.path + "/meter.state";
  const std::string garbage = "veldixmid-sim-state 1\nslave-address banana\n";
  std::ofstream(file) << garbage;
  SimProcess sim({"--tcp", "0", "--state", file});
  EXPECT_EQ(Master(sim.port("tcp")).read(4099, 1), std::vector<uint16_t>{1}) << "factory";
  EXPECT_EQ(sim.stop(), 0) << sim.err();
  EXPECT_NE(sim.err().find("is unusable (line 2: slave-address is not"), std::string::npos)
      << sim.err();
  std::stringstream aside;
  aside << std::ifstream(file + ".corrupt").rdbuf();
  EXPECT_EQ(aside.str(), garbage) << "the damaged file is kept aside";
  EXPECT_EQ(load_state(file).status, veldix::sim::StateLoad::Status::loaded);
}

TEST(SimProcess, ClockSetThroughAWriteKeepsRunning) {
  SimProcess sim({"--tcp", "0"});
  Master m(sim.port("tcp"));
  // Saturday 2025-03-15 09:30:45, as the configuration screen writes it.
  const std::vector<uint16_t> set = {0x0025, 0x0315, 0x0009, 0x3045};
  ASSERT_TRUE(m.write(4103, set)) << sim.err();
  const auto t0 = Clock::now();
  std::vector<uint16_t> now = m.read(4103, 4);
  ASSERT_EQ(now.size(), 4u);
  EXPECT_LE(seconds_of_day(now) - seconds_of_day(set), 1);
  // Wait (bounded) until the meter shows at least three seconds more.
  while (seconds_of_day(now) - seconds_of_day(set) < 3 && SecondsSince(t0) < 10) {
    ::poll(nullptr, 0, 100);
    now = m.read(4103, 4);
    ASSERT_EQ(now.size(), 4u);
  }
  const int advanced = seconds_of_day(now) - seconds_of_day(set);
  EXPECT_GE(advanced, 3);
  EXPECT_NEAR(advanced, SecondsSince(t0), 1.2) << "the clock runs at wall-clock speed";
  // Same date; the weekday byte (Saturday) is the meter's own; every field BCD.
  EXPECT_EQ(now[0], 0x0025);
  EXPECT_EQ(now[1], 0x0315);
  EXPECT_EQ(now[2] >> 8, 0x06);
  for (uint16_t w : now) EXPECT_TRUE(bcd_valid(w & 0xFF) && bcd_valid(w >> 8)) << std::hex << w;
  EXPECT_EQ(sim.stop(), 0);
}

TEST(SimProcess, PtyDoesNotStayExclusiveAfterTheMasterCloses) {
  SimProcess sim({"--serial"});
  const std::string path = sim.endpoint("serial");
  ASSERT_FALSE(path.empty()) << sim.err();
  // What a Qt serial port does on open; it would outlive the close while the simulator
  // holds the pty, and make the next open fail with EBUSY.
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
