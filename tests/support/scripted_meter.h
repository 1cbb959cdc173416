// A meter of our own on a pty's master side or a loopback TCP server, in its own thread: it
// answers like a meter unless a script takes over the answer to the next request.
#pragma once

#include <poll.h>
#include <unistd.h>

#include <deque>
#include <functional>
#include <memory>
#include <mutex>

#include "test_support.h"

namespace vtest {

enum class Framing { Rtu, Mbap };

// The reply to one request: chunks `gap` apart, then optionally a closed connection or a
// hung-up pty (which discards what the line still holds).
struct Reply {
  std::vector<Bytes> chunks;
  Ms gap{0};
  bool close = false;
};

// Decides the reply from the request as received and the framed answer a good meter gives.
using Script = std::function<Reply(const Bytes& request, const Bytes& goodAnswer)>;

// Holding register a of a fresh meter (the pymodbus peer starts the same way).
inline std::uint16_t InitialRegister(int a) {
  return static_cast<std::uint16_t>((a * 7 + 3) & 0xFFFF);
}

class ScriptedMeter {
 public:
  // RTU on `pty`'s master side; `pty` must outlive it.
  explicit ScriptedMeter(Pty& pty) : framing_(Framing::Rtu), pty_(&pty) { Init(); }
  explicit ScriptedMeter(Framing framing)
      : framing_(framing), listener_(std::make_unique<Listener>()) {
    Init();
  }
  ~ScriptedMeter() {
    const char x = 'q';
    [[maybe_unused]] auto w = ::write(wake_[1], &x, 1);
    thread_.join();
    if (conn_ >= 0 && pty_ == nullptr) ::close(conn_);
    for (int fd : wake_) ::close(fd);
  }
  ScriptedMeter(const ScriptedMeter&) = delete;
  ScriptedMeter& operator=(const ScriptedMeter&) = delete;

  std::uint16_t port() const { return listener_ ? listener_->port() : 0; }

  // Scripts answer the next requests in turn.
  void Next(Script s) {
    std::lock_guard<std::mutex> lock(mu_);
    scripts_.push_back(std::move(s));
  }
  std::vector<Bytes> Requests() const {
    std::lock_guard<std::mutex> lock(mu_);
    return requests_;
  }
  std::size_t RequestCount() const { return Requests().size(); }
  int Accepted() const {
    std::lock_guard<std::mutex> lock(mu_);
    return accepted_;
  }
  static Script Silent() {
    return [](const Bytes&, const Bytes&) { return Reply{}; };
  }
  static Script Send(Bytes b) {
    return [b](const Bytes&, const Bytes&) { return Reply{{b}}; };
  }

 private:
  void Init() {
    for (int a = 0; a < 65536; ++a) regs_[static_cast<std::size_t>(a)] = InitialRegister(a);
    if (::pipe(wake_) != 0) throw std::runtime_error("pipe failed");
    if (pty_ != nullptr) conn_ = pty_->master();
    thread_ = std::thread([this] { Run(); });
  }

  // Length of the complete request at the front of rx_, 0 when more is needed.
  std::size_t CompleteRequest() const {
    std::size_t n = rx_.size();  // a request we do not know: all of it
    if (framing_ == Framing::Mbap)
      n = rx_.size() < 6 ? 7 : 6 + (std::size_t(rx_[4]) << 8 | rx_[5]);
    else if (rx_.size() < 2)
      n = 2;
    else if (rx_[1] >= 1 && rx_[1] <= 6)
      n = 8;
    else if (rx_[1] == 16)
      n = rx_.size() < 7 ? 7 : 9u + rx_[6];
    return rx_.size() >= n ? n : 0;
  }

  // The answer of a good meter to one request PDU (slave first, no CRC, no header).
  Bytes Answer(const Bytes& pdu) {
    if (pdu.size() < 2) return {};
    const std::uint8_t slave = pdu[0], fn = pdu[1];
    auto exception = [&](std::uint8_t code) {
      return Bytes{slave, static_cast<std::uint8_t>(fn | 0x80), code};
    };
    if (pdu.size() < 6) return exception(3);
    const int start = pdu[2] << 8 | pdu[3];
    const int count = pdu[4] << 8 | pdu[5];
    switch (fn) {
      case 3:
      case 4: {
        if (count < 1 || count > 125) return exception(3);
        Bytes a{slave, fn, static_cast<std::uint8_t>(2 * count)};
        for (int i = 0; i < count; ++i)
          for (int shift : {8, 0}) a.push_back(std::uint8_t(regs_[(start + i) & 0xFFFF] >> shift));
        return a;
      }
      case 16: {
        if (pdu.size() < 7u + 2u * static_cast<std::size_t>(count)) return exception(3);
        for (int i = 0; i < count; ++i)
          regs_[static_cast<std::size_t>((start + i) & 0xFFFF)] =
              static_cast<std::uint16_t>(pdu[7 + 2 * i] << 8 | pdu[8 + 2 * i]);
        return Bytes(pdu.begin(), pdu.begin() + 6);
      }
      default: return exception(1);
    }
  }

  // The framed good answer to a framed request ({} when a real meter would stay silent).
  Bytes GoodAnswer(const Bytes& req) {
    if (framing_ == Framing::Mbap) {
      const Bytes pdu = Answer(Bytes(req.begin() + 6, req.end()));
      Bytes a{req[0], req[1], 0, 0, 0, static_cast<std::uint8_t>(pdu.size())};  // PDU < 256
      a.insert(a.end(), pdu.begin(), pdu.end());
      return a;
    }
    if (req.size() < 4 || WithCrc(Bytes(req.begin(), req.end() - 2)) != req) return {};
    return WithCrc(Answer(Bytes(req.begin(), req.end() - 2)));
  }

  void Serve(const Bytes& req) {
    std::unique_lock<std::mutex> lock(mu_);
    requests_.push_back(req);
    const Bytes good = GoodAnswer(req);
    Script script = scripts_.empty() ? Script() : std::move(scripts_.front());
    if (!scripts_.empty()) scripts_.pop_front();
    lock.unlock();
    const Reply r = script ? script(req, good) : Reply{{good}};
    for (std::size_t i = 0; i < r.chunks.size(); ++i) {
      if (i > 0 && r.gap.count() > 0) {
        pollfd p{wake_[0], POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(r.gap.count())) > 0) return;  // stopping
      }
      if (!r.chunks[i].empty()) WriteAll(conn_, r.chunks[i]);
    }
    if (r.close) Drop(true);
  }

  void Drop(bool byUs) {
    if (pty_ != nullptr && byUs) pty_->HangUp();
    if (pty_ == nullptr && conn_ >= 0 && byUs) ::shutdown(conn_, SHUT_RDWR);
    if (pty_ == nullptr && conn_ >= 0) ::close(conn_);
    conn_ = -1;
    rx_.clear();
  }

  void Run() {
    for (;;) {
      std::vector<pollfd> fds{{wake_[0], POLLIN, 0}};
      if (listener_) fds.push_back({listener_->fd(), POLLIN, 0});
      const std::size_t connIndex = fds.size();
      if (conn_ >= 0) fds.push_back({conn_, POLLIN, 0});
      if (::poll(fds.data(), fds.size(), -1) < 0) continue;
      if (fds[0].revents != 0) return;
      if (listener_ && fds[1].revents != 0) {
        if (const int c = listener_->Accept(Ms(0)); c >= 0) {
          if (conn_ >= 0) ::close(conn_);
          conn_ = c;
          rx_.clear();
          std::lock_guard<std::mutex> lock(mu_);
          ++accepted_;
        }
        continue;
      }
      if (conn_ < 0 || connIndex >= fds.size() || fds[connIndex].revents == 0) continue;
      std::uint8_t buf[1024];
      const ssize_t n = ::read(conn_, buf, sizeof buf);
      if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR))
        Drop(false);  // a pty that fails to read is gone for good: stop serving it
      if (n <= 0) continue;
      rx_.insert(rx_.end(), buf, buf + n);
      for (std::size_t len; conn_ >= 0 && (len = CompleteRequest()) != 0;) {
        const Bytes req(rx_.begin(), rx_.begin() + static_cast<std::ptrdiff_t>(len));
        rx_.erase(rx_.begin(), rx_.begin() + static_cast<std::ptrdiff_t>(len));
        Serve(req);
      }
    }
  }

  Framing framing_;
  Pty* pty_ = nullptr;
  std::unique_ptr<Listener> listener_;
  int conn_ = -1;
  int wake_[2] = {-1, -1};
  Bytes rx_;
  std::array<std::uint16_t, 65536> regs_{};
  mutable std::mutex mu_;
  std::deque<Script> scripts_;
  std::vector<Bytes> requests_;
  int accepted_ = 0;
  std::thread thread_;
};

}  // namespace vtest
