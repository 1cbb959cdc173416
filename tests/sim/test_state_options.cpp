// The state file (round trip, atomic save, every kind of damage refused) and the command
// line (good lines, bad lines with their messages, the help text).
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <sstream>

#include "sim/options.h"
#include "sim/state_file.h"

using namespace veldix::sim;
namespace fs = std::filesystem;

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
    if (l.rfind(key, 0) != 0) out += l + "\n";
    else if (!line.empty()) out += line + "\n";
  }
  return out;
}

}  // namespace

TEST(StateFile, RoundTripsThroughTextAndDisk) {
  const MeterState s = sample_state();
  const StateLoad parsed = parse_state(format_state(s));
  ASSERT_EQ(parsed.status, StateLoad::Status::loaded) << parsed.message;
  EXPECT_EQ(parsed.state, s);

  TempDir dir;
  const std::string path = dir.path / "meter.state";
  ASSERT_EQ(save_state(path, s), "");
  const StateLoad loaded = load_state(path);
  ASSERT_EQ(loaded.status, StateLoad::Status::loaded) << loaded.message;
  EXPECT_EQ(loaded.state, s);
  // Saved again over the old one: still one file, no temporary left behind.
  MeterState t = s;
  t.settings.slave_address = 7;
  ASSERT_EQ(save_state(path, t), "");
  EXPECT_EQ(load_state(path).state.settings.slave_address, 7);
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.path), fs::directory_iterator()), 1);
}

TEST(StateFile, MissingUnreadableAndUnwritable) {
  TempDir dir;
  EXPECT_EQ(load_state(dir.path / "none").status, StateLoad::Status::missing);
  // A directory opens but does not read; a FIFO with no writer would block a plain open.
  const std::string fifo = dir.path / "fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  for (const std::string& odd : {dir.path.string(), fifo}) {
    const StateLoad r = load_state(odd);
    EXPECT_EQ(r.status, StateLoad::Status::corrupt) << odd;
    EXPECT_NE(r.message.find("not a regular file"), std::string::npos) << r.message;
  }
  const std::string err = save_state(dir.path / "no/such/dir/meter.state", sample_state());
  EXPECT_NE(err.find("cannot create"), std::string::npos) << err;
}

TEST(StateFile, DamageOfEveryKindIsReportedNotUsed) {
  const std::string good = format_state(sample_state());
  struct Case { std::string what, text, message; };
  const std::vector<Case> cases = {
      {"empty", "", "empty file"},
      {"foreign", "hello world\n", "line 1: not a veldixmid-sim state file"},
      {"cut in half", good.substr(0, good.size() / 2), "line "},
      {"no end", edit(good, "end", ""), "cut short"},
      {"text after end", good + "slave-address 3\n", "after 'end'"},
      {"not a number", edit(good, "slave-address", "slave-address 4x"), "slave-address is not"},
      {"negative", edit(good, "password", "password -1"), "password is not"},
      {"too wide", edit(good, "ct-primary", "ct-primary 99999999999"), "ct-primary is not"},
      {"refused by the meter", edit(good, "slave-address", "slave-address 248"),
       "outside the meter's range"},
      {"bad speed", edit(good, "baud-div100", "baud-div100 95"), "outside the meter's range"},
      {"twice", good.substr(0, good.find("end\n")) + "parity 1\nend\n", "'parity' given twice"},
      {"missing", edit(good, "clock-offset", ""), "'clock-offset' missing"},
      {"missing counter", edit(good, "energy apparent", ""), "'energy apparent' missing"},
      {"unknown key", edit(good, "password", "colour blue"), "unknown key 'colour'"},
      {"short mask", edit(good, "display-mask", "display-mask 1 2 3 4"), "needs 5 words"},
      {"wide mask", edit(good, "display-mask", "display-mask 1 2 3 4 70000"), "0..65535"},
      {"energy below zero", edit(good, "energy export", "energy export -5"), "out of range"},
      {"energy nan", edit(good, "energy export", "energy export nan"), "out of range"},
      {"unknown counter", edit(good, "energy export", "energy exports 5"), "unknown counter"},
      {"offset absurd", edit(good, "clock-offset", "clock-offset 1e300"), "clock-offset"},
      {"binary", std::string("veldixmid-sim-state 1\n\0\xff\xfe", 25), "binary data"},
      {"huge", std::string(100000, 'x'), "too large"},
  };
  for (const Case& c : cases) {
    const StateLoad r = parse_state(c.text);
    EXPECT_EQ(r.status, StateLoad::Status::corrupt) << c.what;
    EXPECT_NE(r.message.find(c.message), std::string::npos) << c.what << ": " << r.message;
  }
}

TEST(StateFile, CommentsCrlfAnyOrderAndMeaninglessMaskBitsAreFine) {
  const std::string good = format_state(sample_state());
  // Header first, then comments, blank lines and the items in reverse order, with CRLF.
  std::istringstream in(good);
  std::vector<std::string> lines;
  for (std::string l; std::getline(in, l);) lines.push_back(l);
  std::string shuffled = lines.front() + "\r\n# note\r\n\r\n";
  for (auto it = lines.rbegin() + 1; it + 1 != lines.rend(); ++it) shuffled += *it + "\r\n";
  const StateLoad ok = parse_state(shuffled + "end\r\n");
  EXPECT_EQ(ok.status, StateLoad::Status::loaded) << ok.message;
  EXPECT_EQ(ok.state, sample_state());
  // Bits 3 to 7 of mask word 4 show nothing: cleared, not refused.
  const StateLoad r = parse_state(edit(good, "display-mask", "display-mask 1 2 3 4 65535"));
  ASSERT_EQ(r.status, StateLoad::Status::loaded) << r.message;
  EXPECT_EQ(r.state.display_mask[4], 0xFF07);
}

TEST(Options, GoodCommandLine) {
  const auto r = parse_options({"--serial", "--rtu-over-tcp", "0", "--bind", "0.0.0.0",
                                "--slave", "5", "--baud", "19200", "--parity", "even",
                                "--stop-bits", "2", "--exception-at", "4106,4099,4103-4106",
                                "--corrupt-crc", "0.25", "--drop-after", "3", "--seed", "42"});
  ASSERT_EQ(r.error, "");
  const Options& o = r.options;
  EXPECT_TRUE(o.serial);
  EXPECT_EQ(o.serial_device, "") << "--serial takes no device when an option follows";
  EXPECT_EQ(o.rtu_tcp_port, 0);
  EXPECT_FALSE(o.tcp_port);
  EXPECT_EQ(o.bind_address, "0.0.0.0");
  EXPECT_TRUE(o.slave == 5 && o.baud == 19200u && o.parity == 2 && o.stop_bits == 2);
  EXPECT_EQ(o.faults.exception_at, (std::vector<uint16_t>{4099, 4103, 4104, 4105, 4106}));
  EXPECT_DOUBLE_EQ(o.faults.corrupt_rate, 0.25);
  EXPECT_TRUE(o.faults.drop_after == 3u && o.faults.seed == 42u);
  EXPECT_EQ(parse_options({"--serial", "/dev/ttyUSB0"}).options.serial_device, "/dev/ttyUSB0");
}

TEST(Options, BadCommandLinesSayWhy) {
  struct Case { std::vector<std::string> args; std::string message; };
  const std::vector<Case> cases = {
      {{}, "nothing to serve"},
      {{"--tcp"}, "--tcp needs a PORT"},
      {{"--tcp", "70000"}, "not a port number"},
      {{"--tcp", "-1"}, "not a port number"},
      {{"--rtu-over-tcp", "12x"}, "not a port number"},
      {{"--tcp", "0", "--tcp", "1"}, "--tcp given twice"},
      {{"--serial", "--serial"}, "--serial given twice"},
      {{"--serial", ""}, "empty device"},
      {{"--tcp", "5020", "--rtu-over-tcp", "5020"}, "cannot share port 5020"},
      {{"--tcp", "0", "--slave", "0"}, "1..247"},
      {{"--tcp", "0", "--slave", "248"}, "1..247"},
      {{"--tcp", "0", "--slave"}, "1..247"},
      {{"--tcp", "0", "--baud", "9601"}, "--baud needs"},
      {{"--tcp", "0", "--parity", "mark"}, "none, odd or even"},
      {{"--tcp", "0", "--stop-bits", "3"}, "1 or 2"},
      {{"--tcp", "0", "--bind"}, "--bind needs"},
      {{"--tcp", "0", "--delay", "-5"}, "--delay needs"},
      {{"--tcp", "0", "--delay", "600001"}, "--delay needs"},
      {{"--tcp", "0", "--corrupt-crc", "1.5"}, "from 0 to 1"},
      {{"--tcp", "0", "--corrupt-crc", "-0.1"}, "from 0 to 1"},
      {{"--tcp", "0", "--corrupt-crc", "nan"}, "from 0 to 1"},
      {{"--tcp", "0", "--exception-at", "4106-4103"}, "--exception-at needs"},
      {{"--tcp", "0", "--exception-at", ""}, "--exception-at needs"},
      {{"--tcp", "0", "--exception-at", "70000"}, "--exception-at needs"},
      {{"--tcp", "0", "--exception-at", "1,,2"}, "--exception-at needs"},
      {{"--tcp", "0", "--exception-at", "0-65535"}, "--exception-at needs"},
      {{"--tcp", "0", "--drop-after", "0"}, "--drop-after needs"},
      {{"--tcp", "0", "--split-pause", "0"}, "--split-pause needs"},
      {{"--tcp", "0", "--seed", "x"}, "--seed needs"},
      {{"--tcp", "0", "--state"}, "--state needs"},
      {{"--tcp", "0", "--frobnicate"}, "unknown option '--frobnicate'"},
  };
  for (const Case& c : cases) {
    const ParseResult r = parse_options(c.args);
    std::string line;
    for (const auto& a : c.args) line += a + " ";
    EXPECT_NE(r.error.find(c.message), std::string::npos) << line << "-> '" << r.error << "'";
  }
}

TEST(Options, HelpDocumentsEveryOption) {
  for (const char* opt :
       {"--serial", "--tcp", "--rtu-over-tcp", "--bind", "--slave", "--baud", "--parity",
        "--stop-bits", "--state", "--silent", "--delay", "--corrupt-crc", "--exception-at",
        "--split-tcp", "--split-pause", "--drop-after", "--seed", "--exit-on-stdin-eof",
        "--verbose", "--help", "--version"}) {
    EXPECT_NE(help_text().find(opt), std::string::npos) << opt;
  }
}
