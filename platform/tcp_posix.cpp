// TCP client runtime on BSD sockets and poll(). Every socket is non-blocking; every wait is
// one poll() against a deadline. Events are found by ProcessTCPEvents with a zero time-out
// and handed to the connection's callback on the calling thread; nothing else (in
// particular no user-interface event) is dispatched there.
//
// Single-threaded by contract: all calls come from the user-interface thread.
#include "platform/keep_alive.h"
#include "platform/rs232.h"
#include "platform/runtime_error.h"
#include "platform/tcp.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#ifndef MSG_NOSIGNAL
#define MSG_NOSIGNAL 0  // platforms without it get SO_NOSIGPIPE on the socket instead
#endif

namespace {

using Clock = std::chrono::steady_clock;

constexpr unsigned kDefaultTimeoutMs = 5000;

struct Connection {
  int fd = -1;
  tcpFuncPtr callback = nullptr;
  void* callbackData = nullptr;
  std::string peer;     // "host:port" as the caller named it, for messages
  bool closed = false;  // the server's close was seen and reported once
};

std::map<unsigned, Connection> g_conns;
unsigned g_nextHandle = 1;
bool g_dispatching = false;

using namespace rt_internal;

int Fail(int code, Text text, std::initializer_list<std::string> args = {}) {
  return rt_internal::SetLastError(code, text, args);
}

Clock::time_point DeadlineAfterMs(unsigned ms) {
  return Clock::now() + std::chrono::milliseconds(ms == 0 ? kDefaultTimeoutMs : ms);
}

int MsLeft(Clock::time_point deadline) {
  const auto left = deadline - Clock::now();
  if (left <= Clock::duration::zero()) return 0;
  const auto us = std::chrono::duration_cast<std::chrono::microseconds>(left).count();
  return static_cast<int>(std::min<long long>((us + 999) / 1000, INT_MAX));
}

// poll() on one descriptor, restarted after signals, bounded by the deadline, in slices
// that keep the windows alive. The revents, or 0 when the deadline passed, or -1 on a poll
// error.
int WaitFor(int fd, short events, Clock::time_point deadline) {
  for (bool first = true;; first = false) {
    if (!first) ui::KeepAlive();  // between slices: a ready socket costs no pumping
    const int left = MsLeft(deadline);
    pollfd p{fd, events, 0};
    const int rc = ::poll(&p, 1, std::min(left, ui::kKeepAliveSliceMs));
    if (rc > 0) return p.revents;
    if (rc == 0 && left <= ui::kKeepAliveSliceMs) return 0;
    if (rc < 0 && errno != EINTR) return -1;
  }
}

Connection* Lookup(unsigned handle) {
  auto it = g_conns.find(handle);
  return it == g_conns.end() ? nullptr : &it->second;
}

int BadHandle(unsigned handle) {
  return Fail(kRtErrBadHandle, kTextBadHandle, {std::to_string(handle)});
}

int ConnectError(int err, const std::string& peer, unsigned timeoutMs) {
  switch (err) {
    case ECONNREFUSED: return Fail(kRtErrConnRefused, kTextConnRefused, {peer});
    case ETIMEDOUT:
      return Fail(kRtErrConnTimeout, kTextConnTimeout, {peer, std::to_string(timeoutMs)});
    case ENETUNREACH:
    case EHOSTUNREACH: return Fail(kRtErrNetUnreachable, kTextNetUnreachable, {peer});
    default: return Fail(kRtErrSocket, kTextCannotConnect, {peer, std::strerror(err)});
  }
}

bool SetNonBlocking(int fd) {
  const int flags = ::fcntl(fd, F_GETFL, 0);
  return flags >= 0 && ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0 &&
         ::fcntl(fd, F_SETFD, FD_CLOEXEC) == 0;
}

// One connect attempt to one address within the deadline: the connected descriptor, or -1
// with *err set.
int ConnectOne(const addrinfo& ai, Clock::time_point deadline, int* err) {
  const int fd = ::socket(ai.ai_family, ai.ai_socktype, ai.ai_protocol);
  if (fd < 0) {
    *err = errno;
    return -1;
  }
  if (!SetNonBlocking(fd)) {
    *err = errno;
    ::close(fd);
    return -1;
  }
  if (::connect(fd, ai.ai_addr, ai.ai_addrlen) == 0) return fd;
  if (errno != EINPROGRESS && errno != EINTR) {
    *err = errno;
    ::close(fd);
    return -1;
  }
  const int ready = WaitFor(fd, POLLOUT, deadline);
  if (ready <= 0) {
    *err = ready == 0 ? ETIMEDOUT : errno;
    ::close(fd);
    return -1;
  }
  int soError = 0;
  socklen_t len = sizeof soError;
  if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &soError, &len) != 0) soError = errno;
  if (soError != 0) {
    *err = soError;
    ::close(fd);
    return -1;
  }
  return fd;
}

}  // namespace

int ConnectToTCPServer(unsigned* handle, unsigned short port, const char* host, tcpFuncPtr callback,
                       void* callbackData, unsigned timeoutMs) {
  if (handle == nullptr || host == nullptr) return Fail(kRtErrBadArgument, kTextNoHost);
  if (*host == '\0') return Fail(kRtErrHostNotFound, kTextEmptyHost);
  if (port == 0) return Fail(kRtErrBadArgument, kTextPortZero, {host});
  const std::string peer = std::string(host) + ":" + std::to_string(port);
  const unsigned effectiveMs = timeoutMs == 0 ? kDefaultTimeoutMs : timeoutMs;

  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  addrinfo* list = nullptr;
  // Name resolution is bounded by the resolver's own time-outs (resolv.conf).
  const int gai = ::getaddrinfo(host, std::to_string(port).c_str(), &hints, &list);
  if (gai != 0) {
    if (gai == EAI_NONAME || gai == EAI_AGAIN || gai == EAI_FAIL
#ifdef EAI_NODATA
        || gai == EAI_NODATA
#endif
    )
      return Fail(kRtErrHostNotFound, kTextHostNotFound, {host});
    return Fail(kRtErrSocket, kTextCannotResolve, {host, gai_strerror(gai)});
  }

  const auto deadline = DeadlineAfterMs(timeoutMs);
  int fd = -1;
  int err = ETIMEDOUT;
  for (const addrinfo* ai = list; ai != nullptr && fd < 0; ai = ai->ai_next) {
    if (MsLeft(deadline) == 0) {
      err = ETIMEDOUT;
      break;
    }
    fd = ConnectOne(*ai, deadline, &err);
  }
  ::freeaddrinfo(list);
  if (fd < 0) return ConnectError(err, peer, effectiveMs);

  // Requests are small and answered at once: send each as soon as it is written.
  const int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
#ifdef SO_NOSIGPIPE
  ::setsockopt(fd, SOL_SOCKET, SO_NOSIGPIPE, &one, sizeof one);
#endif

  while (g_nextHandle == 0 || g_conns.count(g_nextHandle) != 0) ++g_nextHandle;
  const unsigned h = g_nextHandle++;
  g_conns[h] = Connection{fd, callback, callbackData, peer, false};
  *handle = h;
  return 0;
}

int DisconnectFromTCPServer(unsigned handle) {
  auto it = g_conns.find(handle);
  if (it == g_conns.end()) return BadHandle(handle);
  ::close(it->second.fd);
  g_conns.erase(it);
  return 0;
}

int ClientTCPWrite(unsigned handle, const void* data, std::size_t size, unsigned timeoutMs) {
  Connection* c = Lookup(handle);
  if (c == nullptr) return BadHandle(handle);
  if (size == 0) return 0;
  if (data == nullptr || size > static_cast<std::size_t>(INT_MAX))
    return Fail(kRtErrBadArgument, kTextBadTcpWrite, {c->peer});

  const auto* bytes = static_cast<const unsigned char*>(data);
  const auto deadline = DeadlineAfterMs(timeoutMs);
  std::size_t sent = 0;
  while (sent < size) {
    const ssize_t n = ::send(c->fd, bytes + sent, size - sent, MSG_NOSIGNAL);
    if (n > 0) {
      sent += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      const int ready = WaitFor(c->fd, POLLOUT, deadline);
      if (ready == 0) break;  // time-out
      if (ready > 0 && (ready & POLLOUT) != 0) continue;
      // POLLERR/POLLHUP without room to write: let send() report the reason next turn,
      // unless the deadline is gone.
      if (MsLeft(deadline) == 0) break;
      continue;
    }
    const int e = errno;
    if (e == EPIPE || e == ECONNRESET || e == ENOTCONN)
      return Fail(kRtErrConnClosed, kTextPeerClosed, {c->peer});
    return Fail(kRtErrWrite, kTextTcpWriteFailed, {c->peer, std::strerror(e)});
  }
  if (sent < size) {
    Fail(kRtErrTimeout, kTextTcpWriteTimeout, {c->peer});
    return sent == 0 ? kRtErrTimeout : static_cast<int>(sent);
  }
  return static_cast<int>(sent);
}

int ClientTCPRead(unsigned handle, void* buffer, std::size_t size, unsigned timeoutMs) {
  Connection* c = Lookup(handle);
  if (c == nullptr) return BadHandle(handle);
  if (buffer == nullptr || size == 0) return Fail(kRtErrBadArgument, kTextBadTcpRead, {c->peer});
  size = std::min<std::size_t>(size, INT_MAX);

  const auto deadline = DeadlineAfterMs(timeoutMs);
  for (;;) {
    const ssize_t n = ::recv(c->fd, buffer, size, 0);
    if (n > 0) return static_cast<int>(n);
    if (n == 0) return Fail(kRtErrConnClosed, kTextPeerClosed, {c->peer});
    const int e = errno;
    if (e == EINTR) continue;
    if (e == EAGAIN || e == EWOULDBLOCK) {
      const int ready = WaitFor(c->fd, POLLIN, deadline);
      if (ready == 0) return Fail(kRtErrTimeout, kTextTcpReadTimeout, {c->peer});
      continue;
    }
    if (e == ECONNRESET) return Fail(kRtErrConnClosed, kTextPeerReset, {c->peer});
    return Fail(kRtErrRead, kTextTcpReadFailed, {c->peer, std::strerror(e)});
  }
}

int ProcessTCPEvents(void) {
  // A callback that calls us again would see the same events twice; the outer call delivers.
  if (g_dispatching) return 0;
  g_dispatching = true;

  // Kept between calls: an exchange checks for events up to 1000 times and allocates nothing.
  static std::vector<unsigned> handles;
  static std::vector<pollfd> fds;
  handles.clear();
  fds.clear();
  for (const auto& [h, c] : g_conns) {
    if (c.closed) continue;
    handles.push_back(h);
    fds.push_back(pollfd{c.fd, POLLIN, 0});
  }
  int ready = 0;
  if (!fds.empty()) {
    do {
      ready = ::poll(fds.data(), fds.size(), 0);
    } while (ready < 0 && errno == EINTR);
  }

  for (std::size_t i = 0; ready > 0 && i < fds.size(); ++i) {
    if (fds[i].revents == 0) continue;
    // The callback of an earlier connection may have closed this one.
    Connection* c = Lookup(handles[i]);
    if (c == nullptr || c->closed || c->fd != fds[i].fd) continue;

    // Peek to tell data from an orderly close: bytes that arrived before the close are
    // delivered first, the close after them, once.
    unsigned char probe;
    ssize_t n;
    do {
      n = ::recv(c->fd, &probe, 1, MSG_PEEK | MSG_DONTWAIT);
    } while (n < 0 && errno == EINTR);
    int event = 0;
    int errCode = 0;
    if (n > 0) {
      event = TCP_DATAREADY;
    } else if (n == 0) {
      event = TCP_DISCONNECT;
    } else if (errno != EAGAIN && errno != EWOULDBLOCK) {
      event = TCP_DISCONNECT;
      errCode = kRtErrConnClosed;
    }
    if (event == 0) continue;
    if (event == TCP_DISCONNECT) c->closed = true;
    const tcpFuncPtr cb = c->callback;
    void* data = c->callbackData;
    if (cb != nullptr) cb(handles[i], event, errCode, data);
  }

  g_dispatching = false;
  return 0;
}
