#include "sim/server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <modbus/modbus.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pty.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <list>
#include <mutex>
#include <thread>
#include <vector>

namespace veldix::sim {

namespace {

using Clock = std::chrono::steady_clock;

// Registers 0..4132 cover the whole map; libmodbus answers reads and writes from this
// table, which we fill from the model before each read.
constexpr int kMappingSize = 4133;
// Longest Modbus answer: a TCP header of 7 bytes and a PDU of 253.
constexpr int kMaxAdu = MODBUS_TCP_MAX_ADU_LENGTH;
// How long an answer may wait for room on the link before it is dropped.
constexpr int kWriteTimeoutMs = 2000;
// Concurrent TCP connections served; when all are taken, the one idle the longest is closed
// for the newcomer, so idle clients can never lock a master out.
constexpr std::size_t kMaxConnections = 64;
// A frame's bytes may be awaited this long once its first byte has arrived.
constexpr int kByteTimeoutMs = 500;
// The longest request kept whole: an RTU write of 255 data bytes (9 + 255 + 2) or a Modbus
// TCP one (7 + 6 + 255). Beyond the 123 registers a write may carry, yet still answered.
constexpr std::size_t kMaxRequest = 7 + 6 + 255;

std::mutex g_log_mutex;

std::string errno_text(int err) { return std::strerror(err); }

void set_nonblocking(int fd) {
  const int flags = fcntl(fd, F_GETFL);
  if (flags >= 0) fcntl(fd, F_SETFL, flags | O_NONBLOCK);
}

void set_cloexec(int fd) {
  const int flags = fcntl(fd, F_GETFD);
  if (flags >= 0) fcntl(fd, F_SETFD, flags | FD_CLOEXEC);
}

// Polls fd for events together with the stop signal. Returns the fd's revents, 0 on
// time-out, -1 when stop was raised.
int poll_with_stop(int fd, short events, int timeout_ms, const StopSignal& stop) {
  pollfd p[2] = {{fd, events, 0}, {stop.fd(), POLLIN, 0}};
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    int wait_ms = -1;
    if (timeout_ms >= 0) {
      wait_ms = static_cast<int>(
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count());
      if (wait_ms < 0) wait_ms = 0;
    }
    const int rc = ::poll(p, 2, wait_ms);
    if (rc < 0 && errno == EINTR) continue;
    if (rc < 0) return POLLERR;
    if (p[1].revents) return -1;
    if (rc == 0) return 0;
    return p[0].revents;
  }
}

// Writes all of buf, waiting for room at most kWriteTimeoutMs in all. False when the link
// failed, stayed full or stop was raised.
bool write_all(int fd, bool socket, const uint8_t* buf, std::size_t len, const StopSignal& stop) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(kWriteTimeoutMs);
  std::size_t done = 0;
  while (done < len) {
    const ssize_t n = socket ? ::send(fd, buf + done, len - done, MSG_NOSIGNAL | MSG_DONTWAIT)
                             : ::write(fd, buf + done, len - done);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      if (left <= 0) return false;
      const int ev = poll_with_stop(fd, POLLOUT, static_cast<int>(left), stop);
      if (ev < 0 || (ev & (POLLERR | POLLHUP | POLLNVAL))) return false;
      continue;
    }
    return false;
  }
  return true;
}

// Reads and discards what is waiting on fd right now (at most a few kilobytes), as an RTU
// slave waits for the line to fall silent after a broken frame.
void drain(int fd) {
  uint8_t junk[512];
  for (int k = 0; k < 16; ++k) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 0) <= 0 || !(p.revents & POLLIN)) return;
    const ssize_t n = ::read(fd, junk, sizeof junk);
    if (n <= 0) return;
  }
}

uint16_t crc16(const uint8_t* p, std::size_t n) {
  uint16_t crc = 0xFFFF;
  for (std::size_t i = 0; i < n; ++i) {
    crc ^= p[i];
    for (int b = 0; b < 8; ++b)
      crc = (crc & 1) ? static_cast<uint16_t>((crc >> 1) ^ 0xA001) : crc >> 1;
  }
  return crc;
}

std::string hex_bytes(const uint8_t* p, int n) {
  std::string s;
  char b[4];
  for (int k = 0; k < n; ++k) {
    std::snprintf(b, sizeof b, k ? " %02X" : "%02X", p[k]);
    s += b;
  }
  return s;
}

}  // namespace

FrameCut cut_frame(Framing framing, const uint8_t* data, std::size_t n, uint16_t slave) {
  if (framing == Framing::tcp) {
    // MBAP: transaction (2), protocol 0 (2), length of what follows (2), unit, PDU.
    if (n < 7) return {FrameCut::need_more, 0};
    const std::size_t follows = static_cast<std::size_t>(data[4] << 8 | data[5]);
    if (follows < 2 || 6 + follows > kMaxRequest) return {FrameCut::lost, 0};
    if (n < 6 + follows) return {FrameCut::need_more, 0};
    const bool modbus = data[2] == 0 && data[3] == 0;
    return {modbus ? FrameCut::frame : FrameCut::foreign, 6 + follows};
  }
  // RTU: no delimiter on a stream; the function code tells the request's length (address,
  // function, data, CRC): the public Modbus functions by their data, 15 and 16 with a byte
  // count in byte 6, 20 and 21 in byte 2, 23 in byte 10; any other function is taken with
  // no data, which is all a request for it needs to be refused.
  if (n < 2) return {FrameCut::need_more, 0};
  std::size_t len = 4;
  const uint8_t function = data[1];
  if ((function >= 1 && function <= 6) || function == 8) {
    len = 8;
  } else if (function == 22) {
    len = 10;
  } else if (function == 24) {
    len = 6;
  } else if (function == 43) {
    len = 7;  // MEI type, read device id code, object id
  } else if (function == 20 || function == 21) {
    if (n < 3) return {FrameCut::need_more, 0};
    len = 5 + data[2];
  } else if (function == 15 || function == 16) {
    if (n < 7) return {FrameCut::need_more, 0};
    len = 9 + data[6];
  } else if (function == 23) {
    if (n < 11) return {FrameCut::need_more, 0};
    len = 13 + data[10];
  }
  if (n < len) return {FrameCut::need_more, 0};
  // Over a whole frame, CRC included (low byte first), the CRC-16 is 0.
  if (crc16(data, len) != 0) return {FrameCut::bad, len};
  const bool ours = data[0] == slave || data[0] == 0;
  return {ours ? FrameCut::frame : FrameCut::foreign, len};
}

std::vector<uint8_t> exception_answer(Framing framing, const uint8_t* req, uint8_t code) {
  std::vector<uint8_t> a;
  if (framing == Framing::tcp) {
    // Same transaction, protocol 0, 3 bytes follow: unit, function with bit 7, code.
    a = {req[0], req[1], 0, 0, 0, 3, req[6], static_cast<uint8_t>(req[7] | 0x80), code};
  } else {
    a = {req[0], static_cast<uint8_t>(req[1] | 0x80), code};
    const uint16_t crc = crc16(a.data(), a.size());
    a.push_back(static_cast<uint8_t>(crc & 0xFF));
    a.push_back(static_cast<uint8_t>(crc >> 8));
  }
  return a;
}

namespace {

// Serves one byte stream with one framing until the peer leaves, the link is dropped,
// it stays idle too long or stop is raised.
class Session {
 public:
  Session(ServerContext& ctx, Framing framing, int fd, bool socket, std::string name)
      : ctx_(ctx), framing_(framing), fd_(fd), socket_(socket), name_(std::move(name)) {}

  ~Session() {
    if (tx_) modbus_free(tx_);
    if (map_) modbus_mapping_free(map_);
    for (int fd : cap_) {
      if (fd >= 0) ::close(fd);
    }
  }

  // Creates the answer context; false (with a logged reason) when that fails.
  bool init() {
    tx_ = framing_ == Framing::rtu ? modbus_new_rtu("link", 9600, 'N', 8, 1)
                                   : modbus_new_tcp("127.0.0.1", 502);
    map_ = modbus_mapping_new(0, 0, kMappingSize, kMappingSize);
    if (!tx_ || !map_ || ::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, cap_) != 0) {
      log_line(name_ + ": cannot set up the answer capture: " + errno_text(errno));
      return false;
    }
    modbus_set_socket(tx_, cap_[0]);
    // libmodbus pauses for the response time-out before some exception answers, to flush
    // the line; on the capture socket there is nothing to flush.
    modbus_set_response_timeout(tx_, 0, 1);
    return true;
  }

  // Work to do whenever the link has been quiet for ms milliseconds.
  void set_idle(int ms, std::function<void()> idle) {
    idle_ms_ = ms;
    idle_ = std::move(idle);
  }

  // Where to note the time of the last request (for choosing which connection to close).
  void set_activity(std::atomic<int64_t>* last) { activity_ = last; }

  void run() {
    uint8_t chunk[512];
    auto last = Clock::now();
    while (!ctx_.stop.raised()) {
      // Within a frame: the byte time-out. Between frames: the serial link's quiet-time
      // work, or (TCP) what is left of the idle time-out.
      int wait_ms = -1;
      bool idle_limit = false;
      if (!in_.empty()) {
        wait_ms = kByteTimeoutMs;
      } else if (idle_) {
        wait_ms = idle_ms_;
      } else if (socket_ && ctx_.idle_timeout_ms > 0) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              last + std::chrono::milliseconds(ctx_.idle_timeout_ms) - Clock::now())
                              .count();
        wait_ms = left > 0 ? static_cast<int>(left) : 0;
        idle_limit = true;
      }
      const int ev = poll_with_stop(fd_, POLLIN, wait_ms, ctx_.stop);
      if (ev < 0) return;
      if (ev == 0) {
        if (!in_.empty()) {
          // A frame cut short: the line fell silent in the middle of it.
          ctx_.faults.bad_frames++;
          if (ctx_.verbose) log_line(name_ + ": frame cut short, dropped");
          in_.clear();
        } else if (idle_) {
          idle_();
        } else if (idle_limit) {
          log_line(name_ + ": no request for " + std::to_string(ctx_.idle_timeout_ms / 1000) +
                   " s, connection closed");
          return;
        }
        continue;
      }
      if (ev & (POLLERR | POLLNVAL)) {
        if (!socket_) log_line(name_ + ": link error, no longer served");
        return;
      }
      if (!(ev & (POLLIN | POLLHUP))) continue;
      const ssize_t n = ::read(fd_, chunk, sizeof chunk);
      if (n == 0) return;  // the peer closed
      if (n < 0) {
        if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) continue;
        if (!socket_) log_line(name_ + ": link closed: " + errno_text(errno));
        return;
      }
      last = Clock::now();
      if (activity_) activity_->store(last.time_since_epoch().count());
      if (!feed(chunk, static_cast<std::size_t>(n))) return;
    }
  }

  // Takes bytes as they came from the link and answers every whole frame among them;
  // false when the link must close.
  bool feed(const uint8_t* data, std::size_t n) {
    in_.insert(in_.end(), data, data + n);
    std::size_t used = 0;
    bool keep = true;
    while (keep && used < in_.size()) {
      const FrameCut cut = cut_frame(framing_, in_.data() + used, in_.size() - used, ctx_.slave);
      if (cut.kind == FrameCut::need_more) break;
      if (cut.kind == FrameCut::lost) {
        // A Modbus TCP length no request can have: the stream cannot be followed.
        ctx_.faults.bad_frames++;
        if (ctx_.verbose) log_line(name_ + ": malformed Modbus TCP header, connection closed");
        in_.clear();
        return false;
      }
      if (cut.kind == FrameCut::bad) {
        // Wrong CRC: as an RTU slave does, drop everything until the line is quiet.
        ctx_.faults.bad_frames++;
        if (ctx_.verbose) log_line(name_ + ": bad frame (CRC), dropped");
        in_.clear();
        drain(fd_);
        return true;
      }
      if (cut.kind == FrameCut::foreign) {
        // A frame for another slave (RTU) or of another protocol (MBAP): no answer, and
        // the frame after it is served as usual.
        ctx_.faults.ignored++;
        if (ctx_.verbose) log_line(name_ + ": frame for another address ignored");
      } else {
        keep = handle(in_.data() + used, static_cast<int>(cut.length));
      }
      used += cut.length;
    }
    in_.erase(in_.begin(), in_.begin() + static_cast<std::ptrdiff_t>(std::min(used, in_.size())));
    // Nothing waits this long for a frame: whatever is held is not one.
    if (in_.size() > kMaxRequest) in_.clear();
    return keep;
  }

 private:
  // Decides and sends the answer to one request; false when the link must close.
  bool handle(const uint8_t* req, int len) {
    FaultInjector& faults = ctx_.faults;
    faults.requests++;
    const int off = framing_ == Framing::rtu ? 1 : 7;  // address / MBAP header
    const uint8_t unit = req[off - 1];
    const uint8_t function = req[off];
    const int crc = framing_ == Framing::rtu ? 2 : 0;
    const int pdu_len = len - off - crc;  // function code and data
    auto u16 = [&](int at) {
      return static_cast<uint16_t>(req[off + at] << 8 | req[off + at + 1]);
    };

    if (faults.options().silent) {
      faults.silenced++;
      if (ctx_.verbose) log_line(name_ + ": fault silent: request not answered");
      return true;
    }
    if (muted_) {
      faults.muted++;
      return true;
    }
    const bool broadcast = framing_ == Framing::rtu && unit == 0;
    if (framing_ == Framing::tcp && unit != ctx_.slave && unit != 0 && unit != 255) {
      return reply_exception(req, ModbusException::gateway_target_failed, "unknown unit");
    }

    const auto now = Clock::now();
    ModbusException e = ModbusException::none;
    bool libmodbus_reply = false;  // let libmodbus build the normal (or count-error) answer
    bool wrote = false;
    std::string what;
    char buf[96];

    switch (function) {
      case 3:
      case 4: {
        if (pdu_len < 5) {
          e = ModbusException::illegal_data_value;  // a Modbus TCP frame too short for its function
          what = "fc " + std::to_string(function) + " cut short";
          break;
        }
        const uint16_t address = u16(1);
        const uint16_t count = u16(3);
        std::snprintf(buf, sizeof buf, "fc %u read %u x%u", function, address, count);
        what = buf;
        if (broadcast) break;  // a read has no meaning as a broadcast
        if (count < 1 || count > MODBUS_MAX_READ_REGISTERS) {
          e = ModbusException::illegal_data_value;
        } else if ((e = MeterModel::check_read(address, count)) != ModbusException::none) {
        } else if (faults.exception_at(address, count)) {
          e = ModbusException::device_failure;
          faults.injected_exceptions++;
          what += " [fault exception-at]";
        } else {
          uint16_t* table = function == 3 ? map_->tab_registers : map_->tab_input_registers;
          e = ctx_.model.read(address, count, table + address, now);
          libmodbus_reply = e == ModbusException::none;
        }
        break;
      }
      case 6: {
        if (pdu_len < 5) {
          e = ModbusException::illegal_data_value;
          what = "fc 6 cut short";
          break;
        }
        const uint16_t address = u16(1);
        const uint16_t value = u16(3);
        std::snprintf(buf, sizeof buf, "fc 6 write %u = %u", address, value);
        what = buf;
        if ((e = MeterModel::check_write(address, 1)) != ModbusException::none) {
        } else if (faults.exception_at(address, 1)) {
          e = ModbusException::device_failure;
          faults.injected_exceptions++;
          what += " [fault exception-at]";
        } else {
          const uint16_t values[1] = {value};
          e = ctx_.model.write(address, values, now);
          wrote = libmodbus_reply = e == ModbusException::none;
        }
        break;
      }
      case 16: {
        if (pdu_len < 6) {
          e = ModbusException::illegal_data_value;
          what = "fc 16 cut short";
          break;
        }
        const uint16_t address = u16(1);
        const uint16_t count = u16(3);
        const int bytes = req[off + 5];
        std::snprintf(buf, sizeof buf, "fc 16 write %u x%u", address, count);
        what = buf;
        if (count < 1 || count > MODBUS_MAX_WRITE_REGISTERS || bytes != 2 * count ||
            pdu_len < 6 + bytes) {
          e = ModbusException::illegal_data_value;
        } else if ((e = MeterModel::check_write(address, count)) != ModbusException::none) {
        } else if (faults.exception_at(address, count)) {
          e = ModbusException::device_failure;
          faults.injected_exceptions++;
          what += " [fault exception-at]";
        } else {
          std::vector<uint16_t> values(count);
          for (uint16_t k = 0; k < count; ++k) values[k] = u16(6 + 2 * k);
          e = ctx_.model.write(address, values, now);
          wrote = libmodbus_reply = e == ModbusException::none;
        }
        break;
      }
      default:
        std::snprintf(buf, sizeof buf, "fc %u", function);
        what = buf;
        e = ModbusException::illegal_function;
        break;
    }

    if (wrote && ctx_.after_write) ctx_.after_write();
    if (broadcast) {
      // Broadcast writes are carried out and never answered.
      faults.ignored++;
      if (ctx_.verbose) log_line(name_ + ": broadcast " + what + ", not answered");
      return true;
    }
    if (!libmodbus_reply) return reply_exception(req, e, what);

    const int rc = modbus_reply(tx_, req, len, map_);
    if (rc < 0) {
      log_line(name_ + ": libmodbus could not build the answer: " + modbus_strerror(errno));
      return true;
    }
    return send_captured(what);
  }

  // Built here rather than by libmodbus, which adds 0x80 to the function code and so
  // loses bit 7 of a function 0x80 or above; the answer keeps it set.
  bool reply_exception(const uint8_t* req, ModbusException e, const std::string& what) {
    const std::vector<uint8_t> a = exception_answer(framing_, req, static_cast<uint8_t>(e));
    uint8_t ans[kMaxAdu + 8];
    std::memcpy(ans, a.data(), a.size());
    return send_answer(ans, static_cast<int>(a.size()), what);
  }

  // Takes the answer libmodbus wrote into the capture socket and sends it.
  bool send_captured(const std::string& what) {
    uint8_t ans[kMaxAdu + 8];
    const ssize_t n = ::recv(cap_[1], ans, sizeof ans, MSG_DONTWAIT);
    if (n <= 0) return true;  // nothing to send (libmodbus keeps quiet on broadcasts)
    return send_answer(ans, static_cast<int>(n), what);
  }

  // Sends an answer on the link, with the wire faults. False when the link must close.
  bool send_answer(uint8_t* ans, int len, const std::string& what) {
    FaultInjector& faults = ctx_.faults;
    const FaultOptions& o = faults.options();
    const int off = framing_ == Framing::rtu ? 1 : 7;
    const bool exception = len > off && (ans[off] & 0x80);
    std::string tags;

    if (faults.draw_corrupt()) {
      // RTU: the last byte is the CRC's high byte. Modbus TCP has no CRC: the last byte
      // is the last data byte (or the exception code).
      ans[len - 1] ^= 0xFF;
      faults.corrupted++;
      tags += framing_ == Framing::rtu ? " [fault corrupt-crc]" : " [fault corrupt-data]";
    }
    if (o.delay_ms > 0) {
      faults.delayed++;
      if (ctx_.stop.wait_for(o.delay_ms)) return false;
    }
    bool sent;
    if (o.split_tcp && socket_ && len >= 2) {
      const auto first = static_cast<std::size_t>(len / 2);
      sent = write_all(fd_, socket_, ans, first, ctx_.stop);
      if (sent) {
        faults.split++;
        tags += " [fault split-tcp]";
        if (ctx_.stop.wait_for(o.split_pause_ms)) return false;
        sent =
            write_all(fd_, socket_, ans + first, static_cast<std::size_t>(len) - first, ctx_.stop);
      }
    } else {
      sent = write_all(fd_, socket_, ans, static_cast<std::size_t>(len), ctx_.stop);
    }
    if (!sent) {
      if (ctx_.verbose) log_line(name_ + ": " + what + ": answer could not be sent");
      return !socket_;
    }
    faults.answers++;
    if (exception) faults.exceptions++;
    ++answers_;
    if (ctx_.verbose) {
      log_line(name_ + ": " + what + " -> " + (exception ? "exception " : "") +
               hex_bytes(ans, std::min(len, 16)) + (len > 16 ? " ..." : "") + tags);
    }
    if (o.drop_after && answers_ >= *o.drop_after) {
      faults.dropped++;
      if (socket_) {
        if (ctx_.verbose) log_line(name_ + ": fault drop-after: connection closed");
        return false;
      }
      muted_ = true;
      log_line(name_ + ": fault drop-after: " + std::to_string(answers_) +
               " answers sent, the serial link falls silent");
    }
    return true;
  }

  ServerContext& ctx_;
  Framing framing_;
  int fd_;
  bool socket_;
  std::string name_;
  modbus_t* tx_ = nullptr;
  modbus_mapping_t* map_ = nullptr;
  int cap_[2] = {-1, -1};
  uint64_t answers_ = 0;
  bool muted_ = false;
  int idle_ms_ = -1;
  std::function<void()> idle_;
  std::atomic<int64_t>* activity_ = nullptr;
  std::vector<uint8_t> in_;  // bytes received, not yet a whole frame
};

class SerialEndpoint : public Endpoint {
 public:
  SerialEndpoint(ServerContext& ctx, std::string path) : ctx_(ctx), path_(std::move(path)) {}
  ~SerialEndpoint() override {
    join();
    session_.reset();
    if (modbus_ctx_) {
      modbus_close(modbus_ctx_);  // restores the device's settings
      modbus_free(modbus_ctx_);
    }
    if (pty_master_ >= 0) ::close(pty_master_);
    if (pty_slave_ >= 0) ::close(pty_slave_);
  }

  // A pty pair: we serve the master side, the master program opens the slave path. We
  // keep the slave open too, so reads on the master never fail while no program has it.
  bool open_pty(std::string& error) {
    termios tio{};
    cfmakeraw(&tio);
    cfsetispeed(&tio, B9600);
    cfsetospeed(&tio, B9600);
    tio.c_cflag |= CLOCAL | CREAD;
    if (::openpty(&pty_master_, &pty_slave_, nullptr, &tio, nullptr) != 0) {
      error = "cannot create a pty pair: " + errno_text(errno);
      return false;
    }
    set_cloexec(pty_master_);
    set_cloexec(pty_slave_);
    set_nonblocking(pty_master_);
    char name[256];
    if (::ttyname_r(pty_slave_, name, sizeof name) != 0) {
      error = "cannot name the pty: " + errno_text(errno);
      return false;
    }
    path_ = name;
    session_ = std::make_unique<Session>(ctx_, Framing::rtu, pty_master_, false, "serial");
    // Serial port libraries (Qt's among them) put the tty in exclusive mode (TIOCEXCL) on
    // open. The mode outlives their close while we hold the pty, and would refuse their
    // next open with EBUSY; clear it whenever the line is quiet.
    const int slave = pty_slave_;
    session_->set_idle(100, [slave] { ::ioctl(slave, TIOCNXCL); });
    return session_->init();
  }

  bool open_device(uint32_t baud, uint16_t parity, uint16_t stop_bits, std::string& error) {
    const char p = parity == 1 ? 'O' : parity == 2 ? 'E' : 'N';
    modbus_ctx_ = modbus_new_rtu(path_.c_str(), static_cast<int>(baud), p, 8, stop_bits);
    if (!modbus_ctx_) {
      error = "cannot use " + path_ + ": " + modbus_strerror(errno);
      return false;
    }
    if (modbus_connect(modbus_ctx_) != 0) {
      error = "cannot open " + path_ + ": " + modbus_strerror(errno);
      modbus_free(modbus_ctx_);
      modbus_ctx_ = nullptr;
      return false;
    }
    const int fd = modbus_get_socket(modbus_ctx_);
    set_nonblocking(fd);
    session_ = std::make_unique<Session>(ctx_, Framing::rtu, fd, false, "serial");
    return session_->init();
  }

  std::string line() const override { return "serial: " + path_; }
  void start() override {
    thread_ = std::thread([this] { session_->run(); });
  }
  void join() override {
    if (thread_.joinable()) thread_.join();
  }

 private:
  ServerContext& ctx_;
  std::string path_;
  int pty_master_ = -1;
  int pty_slave_ = -1;
  modbus_t* modbus_ctx_ = nullptr;
  std::unique_ptr<Session> session_;
  std::thread thread_;
};

class TcpEndpoint : public Endpoint {
 public:
  TcpEndpoint(ServerContext& ctx, Framing framing) : ctx_(ctx), framing_(framing) {}
  ~TcpEndpoint() override {
    join();
    if (listen_fd_ >= 0) ::close(listen_fd_);
  }

  bool listen_on(const std::string& address, uint16_t port, std::string& error) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICHOST | AI_NUMERICSERV;  // no name lookups
    addrinfo* res = nullptr;
    const std::string service = std::to_string(port);
    const int gai = ::getaddrinfo(address.c_str(), service.c_str(), &hints, &res);
    if (gai != 0 || !res) {
      error = "--bind " + address + ": " + ::gai_strerror(gai);
      return false;
    }
    listen_fd_ = ::socket(res->ai_family, res->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (listen_fd_ < 0) {
      error = "socket: " + errno_text(errno);
      ::freeaddrinfo(res);
      return false;
    }
    const int one = 1;
    ::setsockopt(listen_fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (::bind(listen_fd_, res->ai_addr, res->ai_addrlen) != 0 || ::listen(listen_fd_, 128) != 0) {
      error = "cannot listen on " + address + ":" + service + ": " + errno_text(errno);
      ::freeaddrinfo(res);
      return false;
    }
    ::freeaddrinfo(res);
    where_ = local_name(listen_fd_);
    return true;
  }

  std::string line() const override {
    return std::string(framing_ == Framing::tcp ? "tcp: " : "rtu-over-tcp: ") + where_;
  }

  void start() override {
    acceptor_ = std::thread([this] { accept_loop(); });
  }

  void join() override {
    if (acceptor_.joinable()) acceptor_.join();
    for (Connection& c : connections_) {
      if (c.thread.joinable()) c.thread.join();
    }
    connections_.clear();
  }

 private:
  // What the acceptor and a connection's thread share. The thread closes the socket under
  // the lock, so the acceptor never shuts down a descriptor number already reused.
  struct Link {
    std::mutex lock;
    int fd = -1;
    bool closed = false;
    std::atomic<bool> done{false};
    std::atomic<int64_t> last_active{0};  // steady clock ticks of the last request
    bool evicted = false;                 // shut down to make room; its thread is ending
  };
  struct Connection {
    std::thread thread;
    std::shared_ptr<Link> link;
  };

  static std::string local_name(int fd, bool peer = false) {
    sockaddr_storage ss{};
    socklen_t sl = sizeof ss;
    const int rc = peer ? ::getpeername(fd, reinterpret_cast<sockaddr*>(&ss), &sl)
                        : ::getsockname(fd, reinterpret_cast<sockaddr*>(&ss), &sl);
    if (rc != 0) return "?";
    char host[INET6_ADDRSTRLEN] = "?";
    if (ss.ss_family == AF_INET) {
      const auto* a = reinterpret_cast<const sockaddr_in*>(&ss);
      ::inet_ntop(AF_INET, &a->sin_addr, host, sizeof host);
      return std::string(host) + ":" + std::to_string(ntohs(a->sin_port));
    }
    const auto* a = reinterpret_cast<const sockaddr_in6*>(&ss);
    ::inet_ntop(AF_INET6, &a->sin6_addr, host, sizeof host);
    std::string text = "[";
    text += host;
    text += "]:";
    return text + std::to_string(ntohs(a->sin6_port));
  }

  void accept_loop() {
    const std::string kind = framing_ == Framing::tcp ? "tcp" : "rtu-over-tcp";
    while (!ctx_.stop.raised()) {
      const int ev = poll_with_stop(listen_fd_, POLLIN, -1, ctx_.stop);
      if (ev < 0) break;
      const int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
      if (fd < 0) {
        // Out of descriptors and the like: wait a little instead of spinning.
        if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
          if (ctx_.stop.wait_for(100)) break;
        }
        continue;
      }
      reap();
      if (connections_.size() >= kMaxConnections) close_longest_idle(kind);
      const int one = 1;
      // Each answer (and each half of a split one) leaves at once.
      ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
      const std::string name = kind + " " + local_name(fd, true);
      if (ctx_.verbose) log_line(name + ": connected");
      auto link = std::make_shared<Link>();
      link->fd = fd;
      link->last_active.store(Clock::now().time_since_epoch().count());
      connections_.push_back(Connection{std::thread([this, fd, name, link] {
                                          {
                                            Session s(ctx_, framing_, fd, true, name);
                                            s.set_activity(&link->last_active);
                                            if (s.init()) s.run();
                                          }
                                          {
                                            std::lock_guard hold(link->lock);
                                            ::shutdown(fd, SHUT_RDWR);
                                            ::close(fd);
                                            link->closed = true;
                                          }
                                          if (ctx_.verbose) log_line(name + ": closed");
                                          link->done.store(true);
                                        }),
                                        link});
    }
  }

  // All connections taken: the one whose last request is the oldest makes room. Its thread
  // sees the shut-down socket at once and ends.
  void close_longest_idle(const std::string& kind) {
    Connection* oldest = nullptr;
    std::size_t live = 0;
    for (Connection& c : connections_) {
      if (c.link->evicted || c.link->done.load()) continue;
      ++live;
      if (!oldest || c.link->last_active.load() < oldest->link->last_active.load()) oldest = &c;
    }
    if (!oldest || live < kMaxConnections) return;
    {
      std::lock_guard hold(oldest->link->lock);
      if (!oldest->link->closed) ::shutdown(oldest->link->fd, SHUT_RDWR);
    }
    oldest->link->evicted = true;  // reaped once its thread has ended
    log_line(kind + ": " + std::to_string(kMaxConnections) +
             " connections open, the one idle the longest closed for a new one");
  }

  void reap() {
    for (auto it = connections_.begin(); it != connections_.end();) {
      if (it->link->done.load()) {
        it->thread.join();
        it = connections_.erase(it);
      } else {
        ++it;
      }
    }
  }

  ServerContext& ctx_;
  Framing framing_;
  int listen_fd_ = -1;
  std::string where_;
  std::thread acceptor_;
  std::list<Connection> connections_;
};

}  // namespace

std::vector<uint8_t> serve_bytes(ServerContext& ctx, Framing framing, const uint8_t* data,
                                 std::size_t n) {
  std::vector<uint8_t> out;
  int sv[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) return out;
  {
    Session s(ctx, framing, sv[0], true, "bytes");
    if (s.init()) s.feed(data, n);
  }
  ::shutdown(sv[0], SHUT_WR);
  uint8_t buf[4096];
  for (;;) {
    const ssize_t got = ::recv(sv[1], buf, sizeof buf, MSG_DONTWAIT);
    if (got <= 0) break;
    out.insert(out.end(), buf, buf + got);
  }
  ::close(sv[0]);
  ::close(sv[1]);
  return out;
}

StopSignal::StopSignal() : fd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

StopSignal::~StopSignal() {
  if (fd_ >= 0) ::close(fd_);
}

void StopSignal::raise() {
  const uint64_t one = 1;
  // The counter stays non-zero: the fd stays readable for every waiter.
  [[maybe_unused]] const ssize_t n = ::write(fd_, &one, sizeof one);
}

bool StopSignal::raised() const {
  pollfd p{fd_, POLLIN, 0};
  return ::poll(&p, 1, 0) > 0 && (p.revents & POLLIN);
}

bool StopSignal::wait_for(int ms) const {
  const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
  for (;;) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    pollfd p{fd_, POLLIN, 0};
    const int rc = ::poll(&p, 1, left > 0 ? static_cast<int>(left) : 0);
    if (rc > 0) return true;
    if (rc < 0 && errno == EINTR) continue;
    if (Clock::now() >= deadline) return false;
  }
}

void log_line(const std::string& text) {
  std::lock_guard lock(g_log_mutex);
  std::fprintf(stderr, "veldixmid-sim: %s\n", text.c_str());
  std::fflush(stderr);
}

std::unique_ptr<Endpoint> open_serial(ServerContext& ctx, const std::string& device, uint32_t baud,
                                      uint16_t parity, uint16_t stop_bits, std::string& error) {
  auto ep = std::make_unique<SerialEndpoint>(ctx, device);
  const bool ok =
      device.empty() ? ep->open_pty(error) : ep->open_device(baud, parity, stop_bits, error);
  if (!ok) {
    if (error.empty()) error = "cannot serve the serial link";
    return nullptr;
  }
  return ep;
}

std::unique_ptr<Endpoint> open_tcp(ServerContext& ctx, Framing framing, const std::string& address,
                                   uint16_t port, std::string& error) {
  auto ep = std::make_unique<TcpEndpoint>(ctx, framing);
  if (!ep->listen_on(address, port, error)) return nullptr;
  return ep;
}

}  // namespace veldix::sim
