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
// More concurrent TCP connections than a configuration tool would ever open.
constexpr std::size_t kMaxConnections = 16;

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

std::string hex_bytes(const uint8_t* p, int n) {
  std::string s;
  char b[4];
  for (int k = 0; k < n; ++k) {
    std::snprintf(b, sizeof b, k ? " %02X" : "%02X", p[k]);
    s += b;
  }
  return s;
}

// Serves one byte stream with one framing until the peer leaves, the link is dropped or
// stop is raised.
class Session {
 public:
  // rx: a libmodbus context already bound to fd (serial device), or null to create one.
  Session(ServerContext& ctx, Framing framing, int fd, bool socket, std::string name,
          modbus_t* rx = nullptr)
      : ctx_(ctx), framing_(framing), fd_(fd), socket_(socket), name_(std::move(name)), rx_(rx) {}

  ~Session() {
    if (tx_) modbus_free(tx_);
    if (rx_ && !rx_connected_) modbus_free(rx_);
    if (map_) modbus_mapping_free(map_);
    for (int fd : cap_) {
      if (fd >= 0) ::close(fd);
    }
  }

  // Creates the contexts; false (with a logged reason) when that fails.
  bool init() {
    if (rx_) {
      rx_connected_ = true;
    } else {
      rx_ = new_context();
      if (!rx_) return false;
      modbus_set_socket(rx_, fd_);
    }
    if (framing_ == Framing::rtu) modbus_set_slave(rx_, ctx_.slave);
    // A frame is complete when the function code's lengths say so; a byte may be
    // awaited this long in the middle of one.
    modbus_set_byte_timeout(rx_, 0, 500000);
    modbus_set_indication_timeout(rx_, 1, 0);

    tx_ = new_context();
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

  void run() {
    uint8_t req[kMaxAdu];
    while (!ctx_.stop.raised()) {
      const int ev = poll_with_stop(fd_, POLLIN, idle_ ? idle_ms_ : -1, ctx_.stop);
      if (ev < 0) return;
      if (ev == 0) {
        if (idle_) idle_();
        continue;
      }
      if (ev & (POLLERR | POLLNVAL)) {
        if (!socket_) log_line(name_ + ": link error, no longer served");
        return;
      }
      if (!(ev & (POLLIN | POLLHUP))) continue;

      const int len = modbus_receive(rx_, req);
      if (len < 0) {
        const int err = errno;
        if (err == ECONNRESET || err == EBADF || err == EIO || err == EPIPE) {
          if (!socket_) log_line(name_ + ": link closed: " + modbus_strerror(err));
          return;
        }
        ctx_.faults.bad_frames++;
        if (ctx_.verbose) log_line(name_ + ": bad frame (" + modbus_strerror(err) + ")");
        if (framing_ == Framing::tcp && err == EMBBADDATA) return;  // stream out of step
        if (framing_ == Framing::rtu) drain(fd_);
        continue;
      }
      if (len == 0) {
        // A frame for another slave. On a shared bus that slave answers next; libmodbus
        // reads that answer as the next message and ignores it, so take it now.
        ctx_.faults.ignored++;
        if (ctx_.verbose) log_line(name_ + ": request for another address ignored");
        modbus_receive(rx_, req);
        continue;
      }
      if (framing_ == Framing::tcp) skip_rest_of_tcp_frame(req, len);
      if (!handle(req, len)) return;
    }
  }

 private:
  modbus_t* new_context() {
    modbus_t* m = framing_ == Framing::rtu ? modbus_new_rtu("link", 9600, 'N', 8, 1)
                                           : modbus_new_tcp("127.0.0.1", 502);
    if (!m) log_line(name_ + ": libmodbus context: " + modbus_strerror(errno));
    return m;
  }

  // libmodbus delimits a request by its function code; for a function it does not know
  // the MBAP header's length field tells how much more belongs to the frame.
  void skip_rest_of_tcp_frame(const uint8_t* req, int len) {
    const int announced = 6 + (req[4] << 8 | req[5]);
    if (announced <= len || announced > kMaxAdu) return;
    uint8_t junk[kMaxAdu];
    int left = announced - len;
    while (left > 0) {
      if (poll_with_stop(fd_, POLLIN, 500, ctx_.stop) <= 0) return;
      const ssize_t n = ::recv(fd_, junk, static_cast<std::size_t>(left), MSG_DONTWAIT);
      if (n <= 0) return;
      left -= static_cast<int>(n);
    }
  }

  // Decides and sends the answer to one request; false when the link must close.
  bool handle(const uint8_t* req, int len) {
    FaultInjector& faults = ctx_.faults;
    faults.requests++;
    const int off = modbus_get_header_length(rx_);  // 1 on RTU, 7 on Modbus TCP
    const uint8_t unit = req[off - 1];
    const uint8_t function = req[off];
    const int crc = framing_ == Framing::rtu ? 2 : 0;
    const int pdu_len = len - off - crc;  // function code and data
    auto u16 = [&](int at) { return static_cast<uint16_t>(req[off + at] << 8 | req[off + at + 1]); };

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
        if (pdu_len < 5) return true;
        const uint16_t address = u16(1);
        const uint16_t count = u16(3);
        std::snprintf(buf, sizeof buf, "fc %u read %u x%u", function, address, count);
        what = buf;
        if (broadcast) break;  // a read has no meaning as a broadcast
        if (count < 1 || count > MODBUS_MAX_READ_REGISTERS) {
          libmodbus_reply = true;  // exception 3, by libmodbus
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
        if (pdu_len < 5) return true;
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
        if (pdu_len < 6) return true;
        const uint16_t address = u16(1);
        const uint16_t count = u16(3);
        const int bytes = req[off + 5];
        std::snprintf(buf, sizeof buf, "fc 16 write %u x%u", address, count);
        what = buf;
        if (count < 1 || count > MODBUS_MAX_WRITE_REGISTERS || bytes != 2 * count ||
            pdu_len < 6 + bytes) {
          libmodbus_reply = true;  // exception 3, by libmodbus
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

  bool reply_exception(const uint8_t* req, ModbusException e, const std::string& what) {
    if (modbus_reply_exception(tx_, req, static_cast<unsigned>(e)) < 0) {
      log_line(name_ + ": libmodbus could not build the exception: " + modbus_strerror(errno));
      return true;
    }
    return send_captured(what);
  }

  // Takes the answer libmodbus wrote into the capture socket and sends it on the link,
  // with the wire faults. False when the link must close.
  bool send_captured(const std::string& what) {
    uint8_t ans[kMaxAdu + 8];
    const ssize_t n = ::recv(cap_[1], ans, sizeof ans, MSG_DONTWAIT);
    if (n <= 0) return true;  // nothing to send (libmodbus keeps quiet on broadcasts)
    const int len = static_cast<int>(n);
    FaultInjector& faults = ctx_.faults;
    const FaultOptions& o = faults.options();
    const int off = modbus_get_header_length(rx_);
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
      const int first = len / 2;
      sent = write_all(fd_, socket_, ans, first, ctx_.stop);
      if (sent) {
        faults.split++;
        tags += " [fault split-tcp]";
        if (ctx_.stop.wait_for(o.split_pause_ms)) return false;
        sent = write_all(fd_, socket_, ans + first, len - first, ctx_.stop);
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
  modbus_t* rx_ = nullptr;
  bool rx_connected_ = false;
  modbus_t* tx_ = nullptr;
  modbus_mapping_t* map_ = nullptr;
  int cap_[2] = {-1, -1};
  uint64_t answers_ = 0;
  bool muted_ = false;
  int idle_ms_ = -1;
  std::function<void()> idle_;
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
    session_ = std::make_unique<Session>(ctx_, Framing::rtu, fd, false, "serial", modbus_ctx_);
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
    if (::bind(listen_fd_, res->ai_addr, res->ai_addrlen) != 0 || ::listen(listen_fd_, 16) != 0) {
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
  struct Connection {
    std::thread thread;
    std::shared_ptr<std::atomic<bool>> done;
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
      if (connections_.size() >= kMaxConnections) {
        log_line(kind + ": too many connections, refused one");
        ::close(fd);
        continue;
      }
      const int one = 1;
      // Each answer (and each half of a split one) leaves at once.
      ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
      const std::string name = kind + " " + local_name(fd, true);
      if (ctx_.verbose) log_line(name + ": connected");
      auto done = std::make_shared<std::atomic<bool>>(false);
      connections_.push_back(Connection{
          std::thread([this, fd, name, done] {
            {
              Session s(ctx_, framing_, fd, true, name);
              if (s.init()) s.run();
            }
            ::shutdown(fd, SHUT_RDWR);
            ::close(fd);
            if (ctx_.verbose) log_line(name + ": closed");
            done->store(true);
          }),
          done});
    }
  }

  void reap() {
    for (auto it = connections_.begin(); it != connections_.end();) {
      if (it->done->load()) {
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

std::unique_ptr<Endpoint> open_serial(ServerContext& ctx, const std::string& device,
                                      uint32_t baud, uint16_t parity, uint16_t stop_bits,
                                      std::string& error) {
  auto ep = std::make_unique<SerialEndpoint>(ctx, device);
  const bool ok = device.empty() ? ep->open_pty(error)
                                 : ep->open_device(baud, parity, stop_bits, error);
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
