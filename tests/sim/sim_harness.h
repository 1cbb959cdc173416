// Runs veldixmid-sim as a process and talks to it as a Modbus master would. Ptys, sockets
// and the RTU CRC are the shared ones of test_support.h.
#pragma once

#include <modbus/modbus.h>

#include <csignal>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "test_support.h"

namespace simtest {

using namespace std::chrono_literals;
using namespace vtest;

// A running simulator with its standard streams captured.
class SimProcess {
 public:
  explicit SimProcess(const std::vector<std::string>& args);
  ~SimProcess();
  SimProcess(const SimProcess&) = delete;
  SimProcess& operator=(const SimProcess&) = delete;

  // The text after "<kind>: " of the endpoint line; empty when it did not come in time.
  std::string endpoint(const std::string& kind, Ms timeout = 10s);
  // The port of a "tcp" or "rtu-over-tcp" endpoint, 0 when there is none.
  uint16_t port(const std::string& kind, Ms timeout = 10s);
  // Sends sig (0: none) and waits for the exit: its code, or -1 when it died of a signal or
  // did not exit in time (then it is killed). Output is complete afterwards.
  int stop(int sig = SIGTERM, Ms timeout = 10s);
  void close_stdin();
  const std::string& err() const { return err_; }
  const std::vector<std::string>& out_lines() const { return lines_; }

 private:
  void pump(int timeout_ms);
  pid_t pid_ = -1;
  int out_fd_ = -1, err_fd_ = -1, in_fd_ = -1;
  std::string out_partial_, err_;
  std::vector<std::string> lines_;
  bool exited_ = false;
  int exit_code_ = -1;
};

// The number after " name=" in the simulator's exit summary, -1 when absent.
long summary_count(const std::string& err, const std::string& name);

struct Received {
  Bytes bytes;
  bool closed = false;             // the peer closed (or reset) the connection
  std::vector<std::size_t> reads;  // size of each read: one per data-ready event
};
// Reads until want bytes arrived, the peer closed, or timeout passed.
Received recv_for(int fd, std::size_t want, Ms timeout);

// Opens a pty slave path as a master program would (raw, non-blocking); -1 on failure.
int open_serial_raw(const std::string& path);

// An RTU read request (function 3) with its CRC.
inline Bytes rtu_read(uint16_t address, uint16_t count, uint8_t unit = 1) {
  return WithCrc({unit, 3, static_cast<uint8_t>(address >> 8), static_cast<uint8_t>(address),
                  static_cast<uint8_t>(count >> 8), static_cast<uint8_t>(count)});
}

// A libmodbus master that owns its context; ctx is null when it cannot connect.
struct Master {
  modbus_t* ctx;
  explicit Master(modbus_t* c, int unit = 1) : ctx(c) {
    if (!ctx) return;
    modbus_set_slave(ctx, unit);
    modbus_set_response_timeout(ctx, 2, 0);
    if (modbus_connect(ctx) != 0) modbus_free(std::exchange(ctx, nullptr));
  }
  explicit Master(uint16_t tcp_port, int unit = 1)
      : Master(modbus_new_tcp("127.0.0.1", tcp_port), unit) {}
  ~Master() {
    if (ctx) modbus_close(ctx), modbus_free(ctx);
  }
  Master(const Master&) = delete;
  Master& operator=(const Master&) = delete;
  // The registers read, or empty on any failure.
  std::vector<uint16_t> read(int address, int count) {
    std::vector<uint16_t> v(static_cast<std::size_t>(count));
    if (!ctx || modbus_read_registers(ctx, address, count, v.data()) != count) v.clear();
    return v;
  }
  bool write(int address, std::vector<uint16_t> v) {
    const int n = static_cast<int>(v.size());
    return ctx && modbus_write_registers(ctx, address, n, v.data()) == n;
  }
};

inline uint32_t u32(uint16_t hi, uint16_t lo) { return static_cast<uint32_t>(hi) << 16 | lo; }

}  // namespace simtest
