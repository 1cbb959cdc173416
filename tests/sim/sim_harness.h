// Helpers for tests that run veldixmid-sim as a separate process and talk to it as a
// Modbus master would: the process itself, external commands with a time-out, and reads
// that keep each data-ready event apart. Ptys, sockets and the CRC are the shared ones.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <csignal>
#include <cstdint>
#include <string>
#include <vector>

#include "test_support.h"

namespace simtest {

using namespace std::chrono_literals;
using namespace vtest;

std::string sim_binary();

// A running simulator with its standard streams captured.
class SimProcess {
 public:
  explicit SimProcess(const std::vector<std::string>& args);
  ~SimProcess();
  SimProcess(const SimProcess&) = delete;
  SimProcess& operator=(const SimProcess&) = delete;

  // The text after "<kind>: " of the endpoint line, waiting for it up to timeout; empty
  // when it never came.
  std::string endpoint(const std::string& kind, Ms timeout = 10s);
  // The port of a "tcp" or "rtu-over-tcp" endpoint, 0 when there is none.
  uint16_t port(const std::string& kind, Ms timeout = 10s);

  // Sends sig and waits for the exit: the exit code, or -1 when it did not exit in time
  // (then it is killed) or died of a signal.
  int stop(int sig = SIGTERM, Ms timeout = 10s);
  // Waits for an exit that something else caused; same result as stop.
  int wait_exit(Ms timeout);
  void close_stdin();

  // Standard error so far; complete once the process has exited.
  const std::string& err() const { return err_; }
  const std::vector<std::string>& out_lines() const { return lines_; }

 private:
  void pump(int timeout_ms);
  pid_t pid_ = -1;
  int out_fd_ = -1;
  int err_fd_ = -1;
  int in_fd_ = -1;
  std::string out_partial_;
  std::string err_;
  std::vector<std::string> lines_;
  bool exited_ = false;
  int exit_code_ = -1;
};

struct CommandResult {
  int exit_code = -1;   // -1: killed at the time-out or by a signal
  bool timed_out = false;
  std::string output;   // standard output and error, interleaved
};

// Runs argv[0] (searched on PATH) and waits at most timeout.
CommandResult run_command(const std::vector<std::string>& argv, Ms timeout);

struct Received {
  std::vector<uint8_t> bytes;
  bool closed = false;             // the peer closed (or reset) the connection
  std::vector<std::size_t> reads;  // size of each read: one per data-ready event
};
// Reads until want bytes arrived, the peer closed, or timeout passed.
Received recv_for(int fd, std::size_t want, Ms timeout);

// Opens a pty slave path as the master program would (raw, non-blocking); -1 on failure.
int open_serial_raw(const std::string& path);

// Decoders of register words.
inline int32_t s32(uint16_t hi, uint16_t lo) {
  return static_cast<int32_t>(static_cast<uint32_t>(hi) << 16 | lo);
}
inline uint32_t u32(uint16_t hi, uint16_t lo) { return static_cast<uint32_t>(hi) << 16 | lo; }
inline int bcd(uint8_t b) { return (b >> 4) * 10 + (b & 0x0F); }
inline bool bcd_valid(uint8_t b) { return (b >> 4) <= 9 && (b & 0x0F) <= 9; }

}  // namespace simtest
