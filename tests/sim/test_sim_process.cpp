// The simulator's command line and state file, parsed in-process and then seen from the
// running process: endpoints, exits, the state file across runs, the clock, the pty.
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>

#include "sim/options.h"
#include "sim/state_file.h"
#include "sim_harness.h"

using namespace simtest;
using namespace veldix::sim;
namespace fs = std::filesystem;
using Words = std::vector<uint16_t>;

namespace {

MeterState sample_state() {
  MeterState s = MeterState::factory(-5400);
  s.settings = {42, 1152, 15, 2, 2, 3, 9999, 5, 230, 50000, 500000};
  s.display_mask = {0xFFFF, 0, 0x1234, 0x8001, 0xFF07};
  s.clock_offset_s = -1234567.25;
  for (std::size_t c = 0; c < kCounterCount; ++c) s.energy[c] = 1000.0 * c + 0.5;
  return s;
}

// A fresh directory, removed with what is in it.
struct TempDir {
  fs::path path = fs::temp_directory_path() / ("veldix-sim-state-" + std::to_string(getpid()));
  TempDir() { fs::create_directories(path); }
  ~TempDir() {
    std::error_code ec;
    fs::remove_all(path, ec);
  }
};

// The text with the line starting with key replaced by line (removed when line is empty).
std::string edit(const std::string& text, const std::string& key, const std::string& line) {
  std::istringstream in(text);
  std::string out;
  for (std::string l; std::getline(in, l);) {
    if (l.rfind(key, 0) != 0)
      out += l + "\n";
    else if (!line.empty())
      out += line + "\n";
  }
  return out;
}

std::string content(const std::string& p) {
  std::stringstream ss;
  ss << std::ifstream(p).rdbuf();
  return ss.str();
}

}  // namespace

// Whatever sits at the --state path: the simulator never hangs, never moves or replaces
// what is not a regular file, keeps every damaged file under a name of its own, writes
// through a symbolic link and clears temporary files of a killed run.
TEST(SimProcess, StatePathsOfEveryKind) {
  TempDir dir;
  struct Case {
    std::string what;
    std::function<void(const std::string&)> make;
    int exit;             // 0: it runs (and is stopped), 2: refused at once
    std::string message;  // in standard error
    bool kept;            // PATH.corrupt.1 exists afterwards
  };
  const std::vector<Case> cases = {
      {"FIFO", [](const std::string& p) { mkfifo(p.c_str(), 0600); }, 2, "is a FIFO", false},
      {"directory with contents",
       [](const std::string& p) {
         fs::create_directory(p);
         std::ofstream(p + "/keep") << "x";
       },
       2, "is a directory", false},
      {"link to /dev/zero", [](const std::string& p) { fs::create_symlink("/dev/zero", p); }, 2,
       "is a device", false},
      {"symbolic link loop", [](const std::string& p) { fs::create_symlink(p, p); }, 2,
       "cannot be opened", false},
      {"empty", [](const std::string& p) { std::ofstream{p}; }, 0, "empty file", true},
      {"no file yet", [](const std::string&) {}, 0, "not found", false},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string path = dir.path / ("s" + std::to_string(++n));
    c.make(path);
    const auto before = fs::symlink_status(path).type();
    const auto t0 = Clock::now();
    SimProcess sim({"--tcp", "0", "--state", path});
    EXPECT_TRUE(c.exit != 0 || sim.port("tcp") != 0) << sim.err();
    EXPECT_EQ(sim.stop(c.exit == 0 ? SIGTERM : 0, 5s), c.exit) << sim.err();
    EXPECT_LT(SecondsSince(t0), 4.0);
    EXPECT_NE(sim.err().find(c.message), std::string::npos) << sim.err();
    EXPECT_EQ(fs::exists(path + ".corrupt.1"), c.kept);
    EXPECT_TRUE(c.exit == 0 || fs::symlink_status(path).type() == before) << "left as it was";
    EXPECT_TRUE(c.exit != 0 || load_state(path).status == StateLoad::Status::loaded) << "saved";
  }
  EXPECT_TRUE(fs::is_directory(dir.path / "s2") && fs::exists(dir.path / "s2/keep"));

  // A second damaged file never replaces the first one kept; a link stays a link.
  const std::string target = dir.path / "target.state", link = dir.path / "link.state";
  std::ofstream(target) << "first damage\n";
  fs::create_symlink("target.state", link);
  std::ofstream(target + ".tmp.4194305") << "left by a killed run";  // beyond any pid
  for (const char* damage : {"first damage\n", "second damage\n"}) {
    std::ofstream(target) << damage;
    SimProcess sim({"--tcp", "0", "--state", link});
    ASSERT_NE(sim.port("tcp"), 0) << sim.err();
    EXPECT_EQ(sim.stop(), 0) << sim.err();
  }
  EXPECT_EQ(content(target + ".corrupt.1"), "first damage\n");
  EXPECT_EQ(content(target + ".corrupt.2"), "second damage\n");
  EXPECT_TRUE(fs::is_symlink(link));
  EXPECT_EQ(load_state(target).status, StateLoad::Status::loaded);
  EXPECT_FALSE(fs::exists(target + ".tmp.4194305"));
}

TEST(StateFile, DamageOfEveryKindIsRefusedOtherNoiseIsNot) {
  const std::string good = format_state(sample_state());
  struct Case {
    std::string what, text, message;
  };
  const std::vector<Case> cases = {
      {"empty", "", "empty file"},
      {"cut in half", good.substr(0, good.size() / 2), "line "},
      {"no end", edit(good, "end", ""), "cut short"},
      {"not a number", edit(good, "slave-address", "slave-address 4x"), "slave-address is not"},
      {"too wide", edit(good, "ct-primary", "ct-primary 99999999999"), "ct-primary is not"},
      {"refused by the meter", edit(good, "slave-address", "slave-address 248"),
       "outside the meter's range"},
      {"twice", good.substr(0, good.find("end\n")) + "parity 1\nend\n", "'parity' given twice"},
      {"missing", edit(good, "clock-offset", ""), "'clock-offset' missing"},
      {"unknown key", edit(good, "password", "colour blue"), "unknown key 'colour'"},
      {"short mask", edit(good, "display-mask", "display-mask 1 2 3 4"), "needs 5 words"},
      {"energy below zero", edit(good, "energy export", "energy export -5"), "out of range"},
      {"unknown counter", edit(good, "energy export", "energy exports 5"), "unknown counter"},
      {"binary", std::string("veldixmid-sim-state 1\n\0\xff\xfe", 25), "binary data"},
      {"huge", std::string(100000, 'x'), "too large"},
  };
  EXPECT_EQ(parse_state(good).state, sample_state());
  for (const Case& c : cases) {
    const StateLoad r = parse_state(c.text);
    EXPECT_EQ(r.status, StateLoad::Status::corrupt) << c.what;
    EXPECT_NE(r.message.find(c.message), std::string::npos) << c.what << ": " << r.message;
  }
  // Comments, blank lines, CRLF and any order are fine: header, then the rest reversed.
  std::istringstream in(good);
  std::vector<std::string> lines;
  for (std::string l; std::getline(in, l);) lines.push_back(l);
  std::string shuffled = lines.front() + "\r\n# note\r\n\r\n";
  for (auto it = lines.rbegin() + 1; it + 1 != lines.rend(); ++it) shuffled += *it + "\r\n";
  const StateLoad ok = parse_state(shuffled + "end\r\n");
  EXPECT_EQ(ok.state, sample_state()) << ok.message;
  // Bits 3 to 7 of mask word 4 show nothing: cleared, not refused.
  const StateLoad r = parse_state(edit(good, "display-mask", "display-mask 1 2 3 4 65535"));
  EXPECT_EQ(r.state.display_mask[4], 0xFF07) << r.message;
}

TEST(Options, BadCommandLinesSayWhy) {
  // Cases that do not start with a link option are tried after "--tcp 0".
  struct Case {
    std::vector<std::string> args;
    std::string message;
  };
  const std::vector<Case> cases = {
      {{}, "nothing to serve"},
      {{"--tcp"}, "--tcp needs a PORT"},
      {{"--tcp", "70000"}, "not a port number"},
      {{"--rtu-over-tcp", "12x"}, "not a port number"},
      {{"--tcp", "0", "--tcp", "1"}, "--tcp given twice"},
      {{"--serial", "--serial"}, "--serial given twice"},
      {{"--serial", ""}, "empty device"},
      {{"--tcp", "5020", "--rtu-over-tcp", "5020"}, "cannot share port 5020"},
      {{"--slave", "0"}, "1..247"},
      {{"--slave", "248"}, "1..247"},
      {{"--baud", "9601"}, "--baud needs"},
      {{"--parity", "mark"}, "none, odd or even"},
      {{"--corrupt-crc", "1.5"}, "from 0 to 1"},
      {{"--corrupt-crc", "-0.1"}, "from 0 to 1"},
      {{"--exception-at", "4106-4103"}, "--exception-at needs"},
      {{"--exception-at", "0-65535"}, "--exception-at needs"},
      {{"--split-pause", "0"}, "--split-pause needs"},
      {{"--state"}, "--state needs"},
      {{"--frobnicate"}, "unknown option '--frobnicate'"},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args = c.args;
    const std::string first = args.empty() ? "--tcp" : args[0];
    if (first != "--tcp" && first != "--rtu-over-tcp" && first != "--serial")
      args.insert(args.begin(), {"--tcp", "0"});
    const std::string error = parse_options(args).error;
    EXPECT_NE(error.find(c.message), std::string::npos) << args.size() << args.back() << error;
  }
}

TEST(SimProcess, PrintsEndpointsSerialFirstAndExitsCleanly) {
  // SIGTERM and SIGINT end it; the end of stdin only when asked, else it goes on serving.
  // --verbose logs to stderr: stdout still holds just the endpoints.
  for (const int sig : {SIGTERM, SIGINT, 0}) {
    SimProcess sim({"--tcp", "0", "--rtu-over-tcp", "0", "--serial",
                    sig ? "--verbose" : "--exit-on-stdin-eof"});
    ASSERT_NE(sim.port("rtu-over-tcp"), 0) << sim.err();
    const auto& lines = sim.out_lines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0].rfind("serial: /dev/pts/", 0), 0u) << lines[0];
    EXPECT_EQ(::access(sim.endpoint("serial").c_str(), R_OK | W_OK), 0);
    EXPECT_EQ(lines[1].rfind("tcp: 127.0.0.1:", 0), 0u) << lines[1];
    EXPECT_EQ(lines[2].rfind("rtu-over-tcp: 127.0.0.1:", 0), 0u) << lines[2];
    // A connection is open while it ends: the exit does not wait for it.
    const int fd = ConnectTcp(sim.port("tcp"));
    EXPECT_GE(fd, 0);
    sim.close_stdin();
    if (sig) {
      EXPECT_EQ(Master(sim.port("tcp")).read(4099, 1), Words{1}) << "serving";
      EXPECT_EQ(sim.stop(sig, 5s), 0) << "signal " << sig << ": " << sim.err();
    } else {
      EXPECT_EQ(sim.stop(0, 5s), 0) << sim.err();
    }
    EXPECT_NE(sim.err().find("served: requests="), std::string::npos) << sim.err();
    EXPECT_NE(sim.err().find("faults: seed="), std::string::npos) << sim.err();
    if (fd >= 0) ::close(fd);
  }
}

TEST(SimProcess, CommandLineErrorsAndHelp) {
  SimProcess first({"--tcp", "0"});
  const std::string taken = std::to_string(first.port("tcp"));
  ASSERT_NE(taken, "0");
  struct Case {
    std::vector<std::string> args;
    int code;
    std::vector<std::string> texts;
  };
  const std::vector<Case> cases = {
      {{"--help"}, 0, {"--rtu-over-tcp PORT", "--exception-at", "--exit-on-stdin-eof"}},
      {{"--version"}, 0, {"veldixmid-sim 1.0"}},
      {{"--tcp", "0", "--bogus"}, 2, {"Try 'veldixmid-sim --help'"}},
      {{"--serial", "/nonexistent/tty"}, 1, {"cannot open /nonexistent/tty"}},
      {{"--tcp", "0", "--bind", "300.1.2.3"}, 1, {"--bind 300.1.2.3"}},
      {{"--tcp", taken}, 1, {"cannot listen on 127.0.0.1:" + taken}},
  };
  for (const Case& c : cases) {
    SimProcess sim(c.args);
    EXPECT_EQ(sim.stop(0, 10s), c.code) << sim.err();
    std::string all = sim.err();
    for (const auto& l : sim.out_lines()) all += l + "\n";
    for (const auto& t : c.texts) EXPECT_NE(all.find(t), std::string::npos) << t << " in " << all;
  }
}

TEST(SimProcess, StateFileCarriesSettingsAcrossRuns) {
  TempDir dir;
  const std::string file = dir.path / "meter.state";
  const Words ratios = {1, 100, 0, 400, 0, 20000}, mask = {0x0F0F, 0, 0xFFFF, 1, 0x0100};
  uint32_t energy_at_exit = 0;
  {
    SimProcess sim({"--tcp", "0", "--state", file});
    Master m(sim.port("tcp"));
    ASSERT_TRUE(m.write(4099, {7}) && m.write(4112, {2, 4321}) && m.write(4118, ratios) &&
                m.write(4128, mask))
        << sim.err();
    EXPECT_EQ(load_state(file).state.settings.slave_address, 7) << "saved at the write";
    const auto e = m.read(270, 2);
    ASSERT_EQ(e.size(), 2u);
    energy_at_exit = u32(e[0], e[1]);
    EXPECT_EQ(sim.stop(), 0) << sim.err();
  }
  {
    // No --slave: the meter answers to the stored address now, on RTU as on Modbus TCP.
    SimProcess sim({"--rtu-over-tcp", "0", "--tcp", "0", "--state", file});
    const int fd = ConnectTcp(sim.port("rtu-over-tcp"));
    ASSERT_TRUE(fd >= 0 && WriteAll(fd, rtu_read(4099, 1, 7))) << sim.err();
    EXPECT_EQ(recv_for(fd, 7, 3s).bytes, WithCrc(Hex("07 03 02 0007")));
    ::close(fd);
    Master m(sim.port("tcp"), 7);
    EXPECT_EQ(m.read(4112, 2), (Words{2, 4321}));
    EXPECT_EQ(m.read(4118, 6), ratios);
    EXPECT_EQ(m.read(4128, 5), mask);
    const auto e = m.read(270, 2);
    ASSERT_EQ(e.size(), 2u);
    EXPECT_GE(u32(e[0], e[1]), energy_at_exit) << "energy counters survive a restart";
    EXPECT_EQ(sim.stop(), 0) << sim.err();
  }
  SimProcess sim({"--tcp", "0", "--state", file, "--slave", "3"});
  EXPECT_EQ(Master(sim.port("tcp"), 3).read(4099, 1), Words{3}) << "the command line wins";
}

TEST(SimProcess, ClockSetThroughAWriteRunsInRealTime) {
  SimProcess sim({"--tcp", "0", "--bind", "0.0.0.0"});
  Master m(sim.port("tcp"));
  ASSERT_TRUE(m.write(4103, {0x0025, 0x0315, 0x0009, 0x3045})) << sim.err();  // 09:30:45
  const auto t0 = Clock::now();
  auto advanced = [&] {  // seconds past 09:30:45 from the BCD hour, minute and second
    const Words c = m.read(4103, 4);
    auto bcd = [](int b) { return (b >> 4) * 10 + (b & 15); };
    return c.size() != 4 ? -1
                         : bcd(c[2] & 0xFF) * 3600 + bcd(c[3] >> 8) * 60 + bcd(c[3] & 0xFF) -
                               (9 * 3600 + 30 * 60 + 45);
  };
  EXPECT_TRUE(advanced() >= 0 && advanced() <= 1);
  ASSERT_TRUE(WaitUntil([&] { return advanced() >= 3; }, 10s));
  EXPECT_NEAR(advanced(), SecondsSince(t0), 1.2) << "the clock runs at wall-clock speed";
  EXPECT_EQ(sim.stop(), 0);
}

TEST(SimProcess, PtyDoesNotStayExclusiveAfterTheMasterCloses) {
  SimProcess sim({"--serial"});
  const std::string path = sim.endpoint("serial");
  ASSERT_FALSE(path.empty()) << sim.err();
  // A serial port library sets TIOCEXCL on open; while the simulator holds the pty the flag
  // would outlive the close and make the next open fail with EBUSY. Root may open an
  // exclusive tty anyway, so look at the flag itself.
  const int fd = open_serial_raw(path);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(ioctl(fd, TIOCEXCL), 0);
  ::close(fd);
  int exclusive = 1;
  EXPECT_TRUE(WaitUntil([&] {
    const int probe = open_serial_raw(path);  // fails with EBUSY for other users
    if (probe >= 0 && ioctl(probe, TIOCGEXCL, &exclusive) != 0) exclusive = -1;
    if (probe >= 0) ::close(probe);
    return exclusive == 0;
  })) << "TIOCEXCL still set: "
      << exclusive;
  EXPECT_EQ(sim.stop(), 0) << sim.err();
}
