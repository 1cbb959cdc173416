// Command line of veldixmid-sim.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace veldix::sim {

// Faults the simulator injects into its answers, for testing a master's error paths.
struct FaultOptions {
  bool silent = false;                 // never answer
  int delay_ms = 0;                    // wait this long before each answer
  double corrupt_rate = 0;             // fraction of answers with a wrong CRC / data byte
  std::vector<uint16_t> exception_at;  // requests touching these registers: exception 4
  bool split_tcp = false;              // TCP answers in two segments
  int split_pause_ms = 50;             // pause between the two segments
  std::optional<uint64_t> drop_after;  // close / fall silent after this many answers
  std::optional<uint64_t> seed;        // for the corruption draw; random when not given
};

struct Options {
  bool help = false;
  bool version = false;

  bool serial = false;
  std::string serial_device;             // empty: create a pty pair
  std::optional<uint16_t> tcp_port;      // Modbus TCP, 0 = any free port
  std::optional<uint16_t> rtu_tcp_port;  // RTU frames over plain TCP, 0 = any free port
  std::string bind_address = "127.0.0.1";
  int idle_timeout_s = 60;  // TCP connections without a request this long close

  // Given on the command line (else the state file's value, else the default).
  std::optional<uint16_t> slave;
  std::optional<uint32_t> baud;
  std::optional<uint16_t> parity;  // 0 none, 1 odd, 2 even (register 4109 coding)
  std::optional<uint16_t> stop_bits;

  std::string state_file;
  bool exit_on_stdin_eof = false;
  bool verbose = false;

  FaultOptions faults;
};

struct ParseResult {
  Options options;
  std::string error;  // empty when the command line is good
};

// Parses the arguments after the program name.
ParseResult parse_options(const std::vector<std::string>& args);

// The --help text.
std::string help_text();

}  // namespace veldix::sim
