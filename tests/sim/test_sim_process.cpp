// The simulator as a process: exit codes and what it says, the state file (parsed in-process
// and carried across runs, whatever sits at its path), the pty.
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

#include "sim/state_file.h"
#include "sim_harness.h"

using namespace simtest;
using namespace veldix::sim;
namespace fs = std::filesystem;
using Words = std::vector<uint16_t>;

namespace {

// A fresh directory, removed with what is in it.
struct TempDir {
  fs::path path = fs::temp_directory_path() / ("veldix-sim-state-" + std::to_string(getpid()));
  TempDir() { fs::create_directories(path); }
  ~TempDir() {
    std::error_code ec;
    fs::remove_all(path, ec);
  }
};

}  // namespace

// Option errors exit with 2 and a hint, failures to open a link with 1; the end of its input
// ends it only when asked.
TEST(SimProcess, CommandLineErrorsHelpAndEndOfInput) {
  Pty pty;  // a named device, as a real serial port
  SimProcess first({"--tcp", "0"});
  const std::string taken = std::to_string(first.port("tcp"));
  ASSERT_NE(taken, "0");
  const struct {
    std::vector<std::string> args;
    int code;
    std::string text;
  } cases[] = {
      {{}, 2, "nothing to serve"},
      {{"--rtu-over-tcp", "70000"}, 2, "not a port number"},
      {{"--tcp", "5020", "--rtu-over-tcp", "5020"}, 2, "cannot share port 5020"},
      {{"--tcp", "0", "--slave", "248"}, 2, "1..247"},
      {{"--tcp", "0", "--baud", "9601"}, 2, "--baud needs"},
      {{"--tcp", "0", "--corrupt-crc", "1.5"}, 2, "from 0 to 1"},
      {{"--tcp", "0", "--exception-at", "4106-4103"}, 2, "--exception-at needs"},
      {{"--tcp", "0", "--frobnicate"}, 2, "unknown option '--frobnicate'"},
      {{"--help"}, 0, "--exit-on-stdin-eof"},
      {{"--serial", "/nonexistent/tty"}, 1, "cannot open /nonexistent/tty"},
      {{"--tcp", "0", "--bind", "300.1.2.3"}, 1, "--bind 300.1.2.3"},
      {{"--tcp", taken}, 1, "cannot listen on 127.0.0.1:" + taken},
      {{"--serial", "--tcp", "0", "--exit-on-stdin-eof"}, 0, "\nserial: /dev/pts/"},
      {{"--serial", pty.path(), "--exit-on-stdin-eof"}, 0, "\nserial: " + pty.path() + "\n"},
  };
  for (const auto& c : cases) {
    SimProcess sim(c.args);
    sim.close_stdin();
    EXPECT_EQ(sim.stop(0, 5s), c.code) << sim.err();
    EXPECT_NE(sim.err().find(c.text), std::string::npos) << c.text << " in " << sim.err();
    EXPECT_TRUE(c.code != 2 || sim.err().find("Try 'veldixmid-sim --help'") != std::string::npos);
  }
  SimProcess sim({"--tcp", "0"});
  sim.close_stdin();
  EXPECT_EQ(sim.stop(0, 1s), -1) << "without --exit-on-stdin-eof it goes on serving";
}

TEST(StateFile, DamageOfEveryKindIsRefusedOtherNoiseIsNot) {
  const MeterState state = MeterState::factory(-5400);
  const std::string good = format_state(state);
  // good with the line of key replaced by line (removed when line is empty)
  auto edit = [&](const std::string& key, const std::string& line) {
    return std::regex_replace(good, std::regex("\n" + key + "[^\n]*\n"), "\n" + line);
  };
  const struct {
    std::string text, message;
  } cases[] = {
      {edit("end", ""), "cut short"},
      {edit("slave-address", "slave-address 4x\n"), "slave-address is not"},
      {edit("slave-address", "slave-address 248\n"), "outside the meter's range"},
      {good.substr(0, good.find("end\n")) + "parity 1\nend\n", "'parity' given twice"},
      {edit("clock-offset", ""), "'clock-offset' missing"},
      {edit("password", "colour blue\n"), "unknown key 'colour'"},
      {std::string("veldixmid-sim-state 1\n\0\xff\xfe", 25), "binary data"},
      {std::string(100000, 'x'), "too large"},
  };
  for (const auto& c : cases) {
    const StateLoad r = parse_state(c.text);
    EXPECT_EQ(r.status, StateLoad::Status::corrupt) << c.message;
    EXPECT_NE(r.message.find(c.message), std::string::npos) << c.message << ": " << r.message;
  }
  // Comments, blank lines and CRLF are fine; bits 3 to 7 of mask word 4 are cleared.
  std::string crlf = std::regex_replace(good, std::regex("\n"), "\r\n");
  crlf.insert(crlf.find('\n') + 1, "# note\r\n\r\n");
  EXPECT_EQ(parse_state(crlf).state, state) << parse_state(crlf).message;
  const StateLoad r = parse_state(edit("display-mask", "display-mask 1 2 3 4 65535\n"));
  EXPECT_EQ(r.state.display_mask[4], 0xFF07) << r.message;
}

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

// Settings, mask, clock and energy survive a restart and the clock runs in real time; the
// command line's link settings win over the stored ones.
TEST(SimProcess, StateFileCarriesSettingsAcrossRuns) {
  TempDir dir;
  const std::string file = dir.path / "meter.state";
  const Words ratios = {1, 100, 0, 400, 0, 20000}, mask = {0x0F0F, 0, 0xFFFF, 1, 0x0100};
  Words energy;
  {
    SimProcess sim({"--tcp", "0", "--state", file});
    Master m(sim.port("tcp"));
    ASSERT_TRUE(m.write(4099, {7}) && m.write(4112, {2, 4321}) && m.write(4118, ratios) &&
                m.write(4128, mask) && m.write(4103, {0x0025, 0x0315, 0x0009, 0x3045}))
        << sim.err();
    EXPECT_EQ(load_state(file).state.settings.slave_address, 7) << "saved at the write";
    energy = m.read(270, 2);
    EXPECT_EQ(sim.stop(), 0) << sim.err();
  }
  {
    SimProcess sim({"--tcp", "0", "--state", file});
    Master m(sim.port("tcp"), 7);  // another unit would get exception 11
    EXPECT_EQ(m.read(4112, 2), (Words{2, 4321}));
    EXPECT_EQ(m.read(4118, 6), ratios);
    EXPECT_EQ(m.read(4128, 5), mask);
    EXPECT_TRUE(energy.size() == 2 && m.read(270, 2) >= energy) << "energy survives a restart";
    const Words clock = m.read(4103, 4);
    ASSERT_EQ(clock.size(), 4u);
    EXPECT_EQ(Words(clock.begin(), clock.end() - 1), (Words{0x0025, 0x0315, 0x0609}));
    EXPECT_TRUE(WaitUntil([&] { return m.read(4106, 1) != Words{clock[3]}; })) << "it runs";
  }
  SimProcess sim({"--tcp", "0", "--bind", "0.0.0.0", "--state", file, "--slave", "3", "--baud",
                  "19200", "--parity", "even", "--stop-bits", "2"});
  Master m(sim.port("tcp"), 3);
  EXPECT_EQ(m.read(4099, 1), Words{3});
  EXPECT_EQ(m.read(4107, 4), (Words{192, 15, 2, 2})) << "speed / 100, demand, parity, stop bits";
}

// A serial port library sets TIOCEXCL on open; while the simulator holds the pty the flag
// would outlive the close and make the next open fail with EBUSY. Root may open an exclusive
// tty anyway, so the test looks at the flag itself.
TEST(SimProcess, PtyDoesNotStayExclusiveAfterTheMasterCloses) {
  SimProcess sim({"--serial"});
  const std::string path = sim.endpoint("serial");
  const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_TRUE(fd >= 0 && ioctl(fd, TIOCEXCL) == 0) << sim.err();
  ::close(fd);
  EXPECT_TRUE(WaitUntil([&] {
    int exclusive = 1;
    const int probe = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    const bool free = probe >= 0 && ioctl(probe, TIOCGEXCL, &exclusive) == 0 && exclusive == 0;
    ::close(probe);
    return free;
  }));
}
