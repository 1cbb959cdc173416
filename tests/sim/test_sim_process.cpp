// The simulator's command line and state file, parsed in-process and then seen from the
// running process: endpoints, exits, the state file across runs, the clock, the pty.
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <regex>
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
  return std::regex_replace(text, std::regex("(^|\n)" + key + "[^\n]*\n"),
                            line.empty() ? "$1" : "$1" + line + "\n");
}

}  // namespace

// A FIFO at the --state path is refused at once and left as it is (other kinds are the
// platform's tests); a damaged file is kept under a number of its own, the next one beside
// it; a symbolic link is written through; temporary files of a killed run are cleared.
TEST(SimProcess, StatePathsOfEveryKind) {
  TempDir dir;
  const std::string fifo = dir.path / "fifo", target = dir.path / "target.state",
                    link = dir.path / "link.state";
  ::mkfifo(fifo.c_str(), 0600);
  SimProcess refused({"--tcp", "0", "--state", fifo});
  EXPECT_EQ(refused.stop(0, 4s), 2) << refused.err();
  EXPECT_NE(refused.err().find("is a FIFO"), std::string::npos) << refused.err();
  EXPECT_TRUE(fs::is_fifo(fifo));
  fs::create_symlink("target.state", link);
  std::ofstream(target + ".tmp.4194305") << "left by a killed run";  // beyond any pid
  for (const char* damage : {"first damage\n", ""}) {
    std::ofstream(target) << damage;
    SimProcess sim({"--tcp", "0", "--state", link});
    ASSERT_NE(sim.port("tcp"), 0) << sim.err();
    EXPECT_EQ(sim.stop(), 0) << sim.err();
  }
  std::stringstream first;
  first << std::ifstream(target + ".corrupt.1").rdbuf();
  EXPECT_EQ(first.str(), "first damage\n");
  EXPECT_TRUE(fs::exists(target + ".corrupt.2")) << "an empty file is kept too";
  EXPECT_TRUE(fs::is_symlink(link));
  EXPECT_EQ(load_state(target).status, StateLoad::Status::loaded);
  EXPECT_FALSE(fs::exists(target + ".tmp.4194305"));
}

TEST(StateFile, DamageOfEveryKindIsRefusedOtherNoiseIsNot) {
  const std::string good = format_state(sample_state());
  const struct {
    std::string what, text, message;
  } cases[] = {
      {"no end", edit(good, "end", ""), "cut short"},
      {"not a number", edit(good, "slave-address", "slave-address 4x"), "slave-address is not"},
      {"refused by the meter", edit(good, "slave-address", "slave-address 248"),
       "outside the meter's range"},
      {"twice", good.substr(0, good.find("end\n")) + "parity 1\nend\n", "'parity' given twice"},
      {"missing", edit(good, "clock-offset", ""), "'clock-offset' missing"},
      {"unknown key", edit(good, "password", "colour blue"), "unknown key 'colour'"},
      {"short mask", edit(good, "display-mask", "display-mask 1 2 3 4"), "needs 5 words"},
      {"energy below zero", edit(good, "energy export", "energy export -5"), "out of range"},
      {"binary", std::string("veldixmid-sim-state 1\n\0\xff\xfe", 25), "binary data"},
      {"huge", std::string(100000, 'x'), "too large"},
  };
  for (const auto& c : cases) {
    const StateLoad r = parse_state(c.text);
    EXPECT_EQ(r.status, StateLoad::Status::corrupt) << c.what;
    EXPECT_NE(r.message.find(c.message), std::string::npos) << c.what << ": " << r.message;
  }
  // Comments, blank lines and CRLF are fine.
  std::string crlf = std::regex_replace(good, std::regex("\n"), "\r\n");
  crlf.insert(crlf.find('\n') + 1, "# note\r\n\r\n");
  EXPECT_EQ(parse_state(crlf).state, sample_state()) << parse_state(crlf).message;
  // Bits 3 to 7 of mask word 4 show nothing: cleared, not refused.
  const StateLoad r = parse_state(edit(good, "display-mask", "display-mask 1 2 3 4 65535"));
  EXPECT_EQ(r.state.display_mask[4], 0xFF07) << r.message;
}

TEST(Options, BadCommandLinesSayWhy) {
  const struct {
    std::vector<std::string> args;
    std::string message;
  } cases[] = {
      {{}, "nothing to serve"},
      {{"--tcp"}, "--tcp needs a PORT"},
      {{"--rtu-over-tcp", "70000"}, "not a port number"},
      {{"--tcp", "0", "--tcp", "1"}, "--tcp given twice"},
      {{"--tcp", "5020", "--rtu-over-tcp", "5020"}, "cannot share port 5020"},
      {{"--tcp", "0", "--slave", "0"}, "1..247"},
      {{"--tcp", "0", "--slave", "248"}, "1..247"},
      {{"--tcp", "0", "--baud", "9601"}, "--baud needs"},
      {{"--tcp", "0", "--parity", "mark"}, "none, odd or even"},
      {{"--tcp", "0", "--corrupt-crc", "1.5"}, "from 0 to 1"},
      {{"--tcp", "0", "--exception-at", "4106-4103"}, "--exception-at needs"},
      {{"--tcp", "0", "--frobnicate"}, "unknown option '--frobnicate'"},
  };
  for (const auto& c : cases) {
    const std::string error = parse_options(c.args).error;
    EXPECT_NE(error.find(c.message), std::string::npos) << c.message << ": " << error;
  }
}

// Exit codes and what it says; the end of its input ends it only when asked.
TEST(SimProcess, CommandLineErrorsHelpAndEndOfInput) {
  SimProcess first({"--tcp", "0"});
  const std::string taken = std::to_string(first.port("tcp"));
  ASSERT_NE(taken, "0");
  const struct {
    std::vector<std::string> args;
    int code;
    std::string text;
  } cases[] = {
      {{"--help"}, 0, "--exit-on-stdin-eof"},
      {{"--tcp", "0", "--bogus"}, 2, "Try 'veldixmid-sim --help'"},
      {{"--serial", "/nonexistent/tty"}, 1, "cannot open /nonexistent/tty"},
      {{"--tcp", "0", "--bind", "300.1.2.3"}, 1, "--bind 300.1.2.3"},
      {{"--tcp", taken}, 1, "cannot listen on 127.0.0.1:" + taken},
      {{"--rtu-over-tcp", "0", "--serial", "--tcp", "0", "--exit-on-stdin-eof"},
       0,
       "\nserial: /dev/pts/"},
  };
  for (const auto& c : cases) {
    SimProcess sim(c.args);
    sim.close_stdin();
    EXPECT_EQ(sim.stop(0), c.code) << sim.err();
    EXPECT_NE(sim.err().find(c.text), std::string::npos) << c.text << " in " << sim.err();
  }
  SimProcess sim({"--tcp", "0"});
  sim.close_stdin();
  EXPECT_EQ(sim.stop(0, 1s), -1) << "without --exit-on-stdin-eof it goes on serving";
}

// Settings, mask, clock and energy survive a restart; the clock runs in real time.
TEST(SimProcess, StateFileCarriesSettingsAcrossRuns) {
  TempDir dir;
  const std::string file = dir.path / "meter.state";
  const Words ratios = {1, 100, 0, 400, 0, 20000}, mask = {0x0F0F, 0, 0xFFFF, 1, 0x0100};
  Words energy_at_exit;
  {
    SimProcess sim({"--tcp", "0", "--state", file});
    Master m(sim.port("tcp"));
    ASSERT_TRUE(m.write(4099, {7}) && m.write(4112, {2, 4321}) && m.write(4118, ratios) &&
                m.write(4128, mask) && m.write(4103, {0x0025, 0x0315, 0x0009, 0x3045}))
        << sim.err();
    EXPECT_EQ(load_state(file).state.settings.slave_address, 7) << "saved at the write";
    energy_at_exit = m.read(270, 2);
    ASSERT_EQ(energy_at_exit.size(), 2u);
    EXPECT_EQ(sim.stop(), 0) << sim.err();
  }
  {
    // No --slave: the meter answers to the stored address now (another unit gets 0x0B).
    SimProcess sim({"--tcp", "0", "--state", file});
    Master m(sim.port("tcp"), 7);
    EXPECT_EQ(m.read(4112, 2), (Words{2, 4321}));
    EXPECT_EQ(m.read(4118, 6), ratios);
    EXPECT_EQ(m.read(4128, 5), mask);
    EXPECT_GE(m.read(270, 2), energy_at_exit) << "energy counters survive a restart";
    const Words clock = m.read(4103, 4);
    ASSERT_EQ(clock.size(), 4u);
    EXPECT_EQ(Words(clock.begin(), clock.end() - 1), (Words{0x0025, 0x0315, 0x0609}));
    EXPECT_TRUE(WaitUntil([&] { return m.read(4106, 1) != Words{clock[3]}; })) << "it runs";
    EXPECT_EQ(sim.stop(), 0) << sim.err();
  }
  SimProcess sim({"--tcp", "0", "--bind", "0.0.0.0", "--state", file, "--slave", "3"});
  EXPECT_EQ(Master(sim.port("tcp"), 3).read(4099, 1), Words{3}) << "the command line wins";
}

TEST(SimProcess, PtyDoesNotStayExclusiveAfterTheMasterCloses) {
  SimProcess sim({"--serial"});
  const std::string path = sim.endpoint("serial");
  // A serial port library sets TIOCEXCL on open; while the simulator holds the pty the flag
  // would outlive the close and make the next open fail with EBUSY. Root may open an
  // exclusive tty anyway, so look at the flag itself.
  const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_TRUE(fd >= 0 && ioctl(fd, TIOCEXCL) == 0) << sim.err();
  ::close(fd);
  int exclusive = 1;
  EXPECT_TRUE(WaitUntil([&] {
    const int probe = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (probe >= 0 && ioctl(probe, TIOCGEXCL, &exclusive) != 0) exclusive = -1;
    if (probe >= 0) ::close(probe);
    return exclusive == 0;
  }));
  EXPECT_EQ(sim.stop(), 0) << sim.err();
}
