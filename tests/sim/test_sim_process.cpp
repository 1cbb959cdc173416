// The simulator as a process: exit codes and what it says, the state file (parsed in-process
// and carried across runs, whatever sits at its path).
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <regex>

#include "sim/state_file.h"
#include "sim_harness.h"

using namespace simtest;
using namespace veldix::sim;
namespace fs = std::filesystem;

// Option errors exit with 2 and a hint, failures to open a link with 1; the end of its input
// ends it only when asked.
TEST(SimProcess, CommandLineErrorsHelpAndEndOfInput) {
  Pty pty;  // a named device, as a real serial port
  Listener busy;
  const std::string taken = std::to_string(busy.port());
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
      {{"--tcp", "0", "--frobnicate"}, 2, "unknown option '--frobnicate'"},
      {{"--help"}, 0, "--exit-on-stdin-eof"},
      {{"--serial", "/nonexistent/tty"}, 1, "cannot open /nonexistent/tty"},
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
      {"", "empty file"},
      {edit("end", ""), "cut short"},
      {edit("slave-address", "slave-address 4x\n"), "slave-address is not"},
      {edit("slave-address", "slave-address 248\n"), "outside the meter's range"},
      {edit("clock-offset", ""), "'clock-offset' missing"},
      {edit("password", "colour blue\n"), "unknown key 'colour'"},
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

// Settings, mask, clock and energy survive a restart and the clock runs in real time; the
// command line's link settings win over the stored ones. A FIFO at the path is refused at
// once and left as it is; a damaged file is kept under a number (other kinds and the
// numbering are the platform's tests); a link is written through; the temporary file of a
// killed run is cleared.
TEST(SimProcess, StateFileCarriesSettingsAcrossRuns) {
  const fs::path dir = fs::temp_directory_path() / ("veldix-sim-" + std::to_string(getpid()));
  fs::remove_all(dir);
  fs::create_directories(dir);
  const std::string fifo = dir / "fifo", file = dir / "meter.state", link = dir / "link.state";
  ::mkfifo(fifo.c_str(), 0600);
  SimProcess refused({"--tcp", "0", "--state", fifo});
  EXPECT_EQ(refused.stop(0, 4s), 2) << refused.err();
  EXPECT_NE(refused.err().find("is a FIFO"), std::string::npos) << refused.err();
  EXPECT_TRUE(fs::is_fifo(fifo));
  fs::create_symlink("meter.state", link);
  std::ofstream(file) << "damage\n";
  std::ofstream(file + ".tmp.4194305") << "left by a killed run";  // beyond any pid
  const Words ratios = {1, 100, 0, 400, 0, 20000}, mask = {0x0F0F, 0, 0xFFFF, 1, 0x0100};
  Words energy;
  {
    SimProcess sim({"--tcp", "0", "--state", link});
    Master m(sim.port("tcp"));
    ASSERT_TRUE(m.write(4099, {7}) && m.write(4112, {2, 4321}) && m.write(4118, ratios) &&
                m.write(4128, mask) && m.write(4103, {0x0025, 0x0315, 0x0009, 0x3045}))
        << sim.err();
    EXPECT_EQ(load_state(file).state.settings.slave_address, 7) << "saved at the write";
    energy = m.read(270, 2);
    EXPECT_EQ(sim.stop(), 0) << sim.err();
  }
  EXPECT_EQ(fs::file_size(file + ".corrupt.1"), 7u) << "the damaged file, kept";
  EXPECT_TRUE(fs::is_symlink(link));
  EXPECT_FALSE(fs::exists(file + ".tmp.4194305"));
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
  fs::remove_all(dir);
}
