// The meter's Modbus links: serial RTU (a device or a pty pair we create), Modbus TCP, and
// RTU frames over a plain TCP connection, all served by libmodbus's slave code.
//
// How a request travels:
//   1. The bytes read from the link are cut into frames (cut_frame): by the MBAP length on
//      Modbus TCP, by the lengths the function code implies on RTU, where the CRC and the
//      address are checked too. A frame for another address is skipped, and the frame
//      after it served as usual.
//   2. We check it against the meter's map and the injected faults, read or write the
//      model, and let libmodbus build the normal answer (modbus_reply) into a capture
//      socket instead of the link; exception answers are built here.
//   3. The answer bytes, now in our hands, get the faults that act on the wire (delay,
//      corruption, split segments, dropped connection) and go out on the link.
// RTU over TCP is RTU framing on the accepted TCP socket.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

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
  uint16_t slave = 1;  // the address the links answer to
  bool verbose = false;
  std::function<void()> after_write;  // called after every accepted write
  int idle_timeout_ms = 60000;  // a TCP connection with no request this long is closed; 0: never
};

// How the start of a received byte stream splits into frames.
struct FrameCut {
  enum Kind {
    need_more,  // not yet a whole frame
    frame,      // a request for this meter, length bytes
    foreign,    // a whole frame for another RTU address or another MBAP protocol: skipped
    bad,        // RTU frame with a wrong CRC
    lost,       // MBAP length no request can have: the stream cannot be followed
  } kind;
  std::size_t length;
};
// Modbus TCP: by the MBAP length. RTU (serial or over TCP): by the lengths the function code
// implies, then the CRC and the address (slave or 0, the broadcast).
FrameCut cut_frame(Framing framing, const uint8_t* data, std::size_t n, uint16_t slave);

// The exception answer to a request (a whole frame as cut_frame gives it): the function
// code with bit 7 set, whatever the function, and the code; RTU with its CRC.
std::vector<uint8_t> exception_answer(Framing framing, const uint8_t* req, uint8_t code);

// Serves bytes as if they had arrived on one link of the given framing, in one piece, and
// returns what the link sent back. The request handling of every link, without a socket to
// wait on; for tests and the fuzz target.
std::vector<uint8_t> serve_bytes(ServerContext& ctx, Framing framing, const uint8_t* data,
                                 std::size_t n);

// An open link: printed as "<kind>: <where>" and served by threads of its own.
class Endpoint {
 public:
  virtual ~Endpoint() = default;
  virtual std::string line() const = 0;  // e.g. "serial: /dev/pts/7", "tcp: 127.0.0.1:502"
  virtual void start() = 0;
  virtual void join() = 0;  // after stop was raised
};

// Serial RTU. An empty device creates a pty pair and serves its master side; its slave
// path is what line() shows. Returns nothing and sets error when the link cannot be opened.
std::unique_ptr<Endpoint> open_serial(ServerContext& ctx, const std::string& device, uint32_t baud,
                                      uint16_t parity, uint16_t stop_bits, std::string& error);

// A TCP listener on address:port (port 0: any free one) with the given framing:
// Framing::tcp is Modbus TCP, Framing::rtu is RTU frames over the TCP stream.
std::unique_ptr<Endpoint> open_tcp(ServerContext& ctx, Framing framing, const std::string& address,
                                   uint16_t port, std::string& error);

}  // namespace veldix::sim
