// Real parts for the tests and benches (POSIX): pty pairs, loopback sockets, child processes.
#pragma once

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cstdlib>
#include <stdexcept>

#include "test_bytes.h"

namespace vtest {

// Exactly n bytes from a non-blocking descriptor, or what arrived by the deadline.
inline Bytes ReadExactly(int fd, std::size_t n, Ms limit) {
  Bytes out(n);
  std::size_t got = 0;
  const auto deadline = Clock::now() + limit;
  for (pollfd p{fd, POLLIN, 0}; got<n&& ::poll(&p, 1, MsLeft(deadline))> 0;) {
    const ssize_t r = ::read(fd, out.data() + got, n - got);
    if (r == 0 || (r < 0 && errno != EAGAIN && errno != EINTR)) break;
    if (r > 0) got += static_cast<std::size_t>(r);
  }
  out.resize(got);
  return out;
}

// Writes all bytes to a socket or a pty master (never raising SIGPIPE), within 3 s.
inline bool WriteAll(int fd, const Bytes& b) {
  const auto deadline = Clock::now() + Ms(3000);
  for (std::size_t done = 0; done < b.size();) {
    ssize_t w = ::send(fd, b.data() + done, b.size() - done, MSG_NOSIGNAL);
    if (w < 0 && errno == ENOTSOCK) w = ::write(fd, b.data() + done, b.size() - done);
    if (w > 0) done += static_cast<std::size_t>(w);
    pollfd q{fd, POLLOUT, 0};
    if (w <= 0 && ((errno != EAGAIN && errno != EINTR) || ::poll(&q, 1, MsLeft(deadline)) <= 0))
      return false;
  }
  return true;
}

inline void SetNonBlocking(int fd) { ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK); }

// The tool opens path(), the test plays the line on master(); the test's own slave end shows
// the tool's termios and spares the master a hang-up while the tool reopens. Raw mode.
class Pty {
 public:
  Pty() {
    char name[128];
    if (::openpty(&master_, &slave_, name, nullptr, nullptr) != 0)
      throw std::runtime_error("openpty failed");
    path_ = name;
    ::fcntl(master_, F_SETFD, FD_CLOEXEC);  // children get the path, never our ends
    ::fcntl(slave_, F_SETFD, FD_CLOEXEC);
    termios t = Termios();
    ::cfmakeraw(&t);
    ::tcsetattr(slave_, TCSANOW, &t);
    SetNonBlocking(master_);
  }
  ~Pty() { HangUp(); }
  Pty(const Pty&) = delete;
  Pty& operator=(const Pty&) = delete;

  int master() const { return master_; }
  int slave() const { return slave_; }
  const std::string& path() const { return path_; }
  termios Termios() const {
    termios t{};
    ::tcgetattr(slave_, &t);
    return t;
  }
  void HangUp() {
    for (int fd : {master_, slave_})
      if (fd >= 0) ::close(fd);
    master_ = slave_ = -1;
  }

 private:
  int master_ = -1, slave_ = -1;
  std::string path_;
};

// Serial port `port` is `device` (VELDIXMID_COM<port>) for the object's lifetime.
class ComEnv {
 public:
  ComEnv(int port, const std::string& device) : name_("VELDIXMID_COM" + std::to_string(port)) {
    ::setenv(name_.c_str(), device.c_str(), 1);
  }
  ~ComEnv() { ::unsetenv(name_.c_str()); }

 private:
  std::string name_;
};

inline sockaddr_in Loopback(std::uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return a;
}
inline int NoDelay(int fd) {
  const int one = 1;
  if (fd >= 0) ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  return fd;
}

// A listening socket on 127.0.0.1, ephemeral port.
class Listener {
 public:
  explicit Listener(int backlog = 8) : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    sockaddr_in a = Loopback(0);
    socklen_t len = sizeof a;
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&a), len) != 0 || ::listen(fd_, backlog) != 0)
      throw std::runtime_error("listen failed");
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
  }
  ~Listener() { ::close(fd_); }
  Listener(const Listener&) = delete;
  Listener& operator=(const Listener&) = delete;

  std::uint16_t port() const { return port_; }
  int fd() const { return fd_; }
  // A connected non-blocking descriptor with TCP_NODELAY, or -1 when none came in time.
  int Accept(Ms limit = Ms(3000)) {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(limit.count())) <= 0) return -1;
    return NoDelay(::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
  }

 private:
  int fd_ = -1;
  std::uint16_t port_ = 0;
};

// A blocking TCP connection to 127.0.0.1:port with TCP_NODELAY, or -1.
inline int ConnectTcp(std::uint16_t port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const sockaddr_in a = Loopback(port);
  if (fd >= 0 && ::connect(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0)
    return NoDelay(fd);
  if (fd >= 0) ::close(fd);
  return -1;
}

// A child on pipes; ended by closing its stdin, then SIGTERM, SIGKILL after 2 s.
class Child {
 public:
  explicit Child(const std::vector<std::string>& argv) {
    ::signal(SIGPIPE, SIG_IGN);  // a peer that died makes WriteLine fail, not the test
    int in[2], out[2];
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0)
      throw std::runtime_error("pipe failed");
    pid_ = ::fork();
    if (pid_ == 0) {
      ::dup2(in[0], 0);
      ::dup2(out[1], 1);
      std::vector<char*> args;
      for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
      args.push_back(nullptr);
      ::execv(args[0], args.data());
      ::_exit(127);
    }
    ::close(in[0]);
    ::close(out[1]);
    stdin_ = in[1];
    stdout_ = out[0];
    SetNonBlocking(stdout_);
  }
  ~Child() {
    ::close(stdin_);
    ::kill(pid_, SIGTERM);
    int status = 0;
    if (!WaitUntil([&] { return ::waitpid(pid_, &status, WNOHANG) != 0; }, Ms(2000))) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, &status, 0);
    }
    ::close(stdout_);
  }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  bool WriteLine(const std::string& line) {
    const std::string all = line + "\n";
    return WriteAll(stdin_, Bytes(all.begin(), all.end()));
  }
  // One line of output without its newline; "" when none came in time.
  std::string ReadLine(Ms limit) {
    const auto deadline = Clock::now() + limit;
    for (auto nl = pending_.find('\n'); nl == std::string::npos; nl = pending_.find('\n')) {
      pollfd p{stdout_, POLLIN, 0};
      char buf[4096];
      if (::poll(&p, 1, MsLeft(deadline)) <= 0) return {};
      const ssize_t r = ::read(stdout_, buf, sizeof buf);
      if (r <= 0) return {};
      pending_.append(buf, static_cast<std::size_t>(r));
    }
    const auto nl = pending_.find('\n');
    std::string line = pending_.substr(0, nl);
    pending_.erase(0, nl + 1);
    return line;
  }

 private:
  pid_t pid_ = -1;
  int stdin_ = -1, stdout_ = -1;
  std::string pending_;
};

// The interpreter that sees Debian's pymodbus (not whatever python3 comes first on PATH).
inline const char* SystemPython() { return "/usr/bin/python3"; }

}  // namespace vtest
