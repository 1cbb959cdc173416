// The meter's Modbus links: serial RTU (a device or a pty pair we create), Modbus TCP, and
// RTU frames over a plain TCP connection, all served by libmodbus's slave code.
//
// How a request travels:
//   1. libmodbus receives it on the link (modbus_receive): it assembles the frame from
//      the lengths the function code implies, checks the CRC on RTU framing and, on RTU,
//      drops frames for other addresses.
//   2. We check it against the meter's map and the injected faults, read or write the
//      model, and let libmodbus build the answer (modbus_reply / modbus_reply_exception)
//      into a capture socket instead of the link.
//   3. The answer bytes, now in our hands, get the faults that act on the wire (delay,
//      corruption, split segments, dropped connection) and go out on the link.
// RTU over TCP needs no framing code of its own: an RTU context of libmodbus reads and
// writes whatever descriptor it is given, so it is handed the accepted TCP socket.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "sim/faults.h"
#include "sim/meter_model.h"

namespace veldix::sim {

enum class Framing { rtu, tcp };

// Raised once when the simulator must stop; every wait of the servers watches it.
class StopSignal {
 public:
  StopSignal();
  ~StopSignal();
  StopSignal(const StopSignal&) = delete;
  StopSignal& operator=(const StopSignal&) = delete;

  void raise();
  bool raised() const;
  int fd() const { return fd_; }  // readable once raised
  // Waits up to ms milliseconds; true when stop was raised meanwhile.
  bool wait_for(int ms) const;

 private:
  int fd_ = -1;
};

// Logs a line on standard error, prefixed with the program name.
void log_line(const std::string& text);

// What all links share.
struct ServerContext {
  MeterModel& model;
  FaultInjector& faults;
  StopSignal& stop;
  uint16_t slave = 1;                 // the address the links answer to
  bool verbose = false;
  std::function<void()> after_write;  // called after every accepted write
};

// An open link: printed as "<kind>: <where>" and served by threads of its own.
class Endpoint {
 public:
  virtual ~Endpoint() = default;
  virtual std::string line() const = 0;  // e.g. "serial: /dev/pts/7", "tcp: 127.0.0.1:502"
  virtual void start() = 0;
  virtual void join() = 0;                // after stop was raised
};

// Serial RTU. An empty device creates a pty pair and serves its master side; its slave
// path is what line() shows. Returns nothing and sets error when the link cannot be opened.
std::unique_ptr<Endpoint> open_serial(ServerContext& ctx, const std::string& device,
                                      uint32_t baud, uint16_t parity, uint16_t stop_bits,
                                      std::string& error);

// A TCP listener on address:port (port 0: any free one) with the given framing:
// Framing::tcp is Modbus TCP, Framing::rtu is RTU frames over the TCP stream.
std::unique_ptr<Endpoint> open_tcp(ServerContext& ctx, Framing framing, const std::string& address,
                                   uint16_t port, std::string& error);

}  // namespace veldix::sim
