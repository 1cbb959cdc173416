// TCP client runtime on Winsock 2. Same contract as the POSIX runtime: non-blocking sockets,
// every wait bounded by a deadline, events delivered only from inside ProcessTCPEvents on
// the calling thread. Windows raises no SIGPIPE, so plain send() is safe on a gone peer.
//
// A connect is awaited with select(), not WSAPoll: WSAPoll on older Windows 10 releases
// never reports a refused connect, which would turn every refusal into a time-out.
//
// Single-threaded by contract: all calls come from the user-interface thread.
#ifndef _WIN32_WINNT
#define _WIN32_WINNT 0x0601  // WSAPoll needs Vista or later; the tool targets Windows 7+
#endif
#define NOMINMAX
#define WIN32_LEAN_AND_MEAN
#include <winsock2.h>
#include <ws2tcpip.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "platform/keep_alive.h"
#include "platform/rs232.h"
#include "platform/runtime_error.h"
#include "platform/tcp.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr unsigned kDefaultTimeoutMs = 5000;

struct Connection {
  SOCKET sock = INVALID_SOCKET;
  tcpFuncPtr callback = nullptr;
  void* callbackData = nullptr;
  std::string peer;
  bool closed = false;
};

std::map<unsigned, Connection> g_conns;
unsigned g_nextHandle = 1;
bool g_dispatching = false;

using namespace rt_internal;

int Fail(int code, Text text, std::initializer_list<std::string> args = {}) {
  return rt_internal::SetLastError(code, text, args);
}

// Winsock is started once, on first use, and left running until the process ends.
bool WinsockReady() {
  static const bool ready = [] {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  return ready;
}

std::string WsaText(int err) {
  char buf[256] = {};
  FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                 static_cast<DWORD>(err), 0, buf, sizeof buf, nullptr);
  std::string s(buf);
  while (!s.empty() && (s.back() == '\n' || s.back() == '\r' || s.back() == '.')) s.pop_back();
  return s.empty() ? "error " + std::to_string(err) : s;
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

// WSAPoll on one socket within the deadline, in slices that keep the windows alive:
// revents, 0 at the deadline, -1 on error.
int WaitFor(SOCKET s, short events, Clock::time_point deadline) {
  for (bool first = true;; first = false) {
    if (!first) ui::KeepAlive();  // between slices: a ready socket costs no pumping
    const int left = MsLeft(deadline);
    WSAPOLLFD p{};
    p.fd = s;
    p.events = events;
    const int rc = WSAPoll(&p, 1, std::min(left, ui::kKeepAliveSliceMs));
    if (rc > 0) return p.revents;
    if (rc < 0) return -1;
    if (left <= ui::kKeepAliveSliceMs) return 0;
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
    case WSAECONNREFUSED: return Fail(kRtErrConnRefused, kTextConnRefused, {peer});
    case WSAETIMEDOUT:
      return Fail(kRtErrConnTimeout, kTextConnTimeout, {peer, std::to_string(timeoutMs)});
    case WSAENETUNREACH:
    case WSAEHOSTUNREACH: return Fail(kRtErrNetUnreachable, kTextNetUnreachable, {peer});
    default: return Fail(kRtErrSocket, kTextCannotConnect, {peer, WsaText(err)});
  }
}

bool IsGone(int err) {
  return err == WSAECONNRESET || err == WSAECONNABORTED || err == WSAESHUTDOWN ||
         err == WSAENOTCONN;
}

SOCKET ConnectOne(const addrinfo& ai, Clock::time_point deadline, int* err) {
  SOCKET s = socket(ai.ai_family, ai.ai_socktype, ai.ai_protocol);
  if (s == INVALID_SOCKET) {
    *err = WSAGetLastError();
    return INVALID_SOCKET;
  }
  u_long nonBlocking = 1;
  // FIONBIO is an unsigned command code with its top bit set; ioctlsocket takes a long.
  if (ioctlsocket(s, static_cast<long>(FIONBIO), &nonBlocking) != 0) {
    *err = WSAGetLastError();
    closesocket(s);
    return INVALID_SOCKET;
  }
  if (connect(s, ai.ai_addr, static_cast<int>(ai.ai_addrlen)) == 0) return s;
  const int started = WSAGetLastError();
  if (started != WSAEWOULDBLOCK) {
    *err = started;
    closesocket(s);
    return INVALID_SOCKET;
  }
  fd_set writable, failed;
  FD_ZERO(&writable);
  FD_ZERO(&failed);
  FD_SET(s, &writable);
  FD_SET(s, &failed);
  const int ms = MsLeft(deadline);
  timeval tv{ms / 1000, (ms % 1000) * 1000};
  const int rc = select(0, nullptr, &writable, &failed, &tv);
  if (rc <= 0) {
    *err = rc == 0 ? WSAETIMEDOUT : WSAGetLastError();
    closesocket(s);
    return INVALID_SOCKET;
  }
  int soError = 0;
  int len = sizeof soError;
  if (getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&soError), &len) != 0)
    soError = WSAGetLastError();
  if (soError != 0 || FD_ISSET(s, &failed)) {
    *err = soError != 0 ? soError : WSAECONNREFUSED;
    closesocket(s);
    return INVALID_SOCKET;
  }
  return s;
}

}  // namespace

int ConnectToTCPServer(unsigned* handle, unsigned short port, const char* host, tcpFuncPtr callback,
                       void* callbackData, unsigned timeoutMs) {
  if (handle == nullptr || host == nullptr) return Fail(kRtErrBadArgument, kTextNoHost);
  if (*host == '\0') return Fail(kRtErrHostNotFound, kTextEmptyHost);
  if (port == 0) return Fail(kRtErrBadArgument, kTextPortZero, {host});
  if (!WinsockReady()) return Fail(kRtErrSocket, kTextNoWinsock);
  const std::string peer = std::string(host) + ":" + std::to_string(port);
  const unsigned effectiveMs = timeoutMs == 0 ? kDefaultTimeoutMs : timeoutMs;

  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  addrinfo* list = nullptr;
  const int gai = getaddrinfo(host, std::to_string(port).c_str(), &hints, &list);
  if (gai != 0) {
    if (gai == WSAHOST_NOT_FOUND || gai == WSATRY_AGAIN || gai == WSANO_RECOVERY ||
        gai == WSANO_DATA)
      return Fail(kRtErrHostNotFound, kTextHostNotFound, {host});
    return Fail(kRtErrSocket, kTextCannotResolve, {host, WsaText(gai)});
  }

  const auto deadline = DeadlineAfterMs(timeoutMs);
  SOCKET s = INVALID_SOCKET;
  int err = WSAETIMEDOUT;
  for (const addrinfo* ai = list; ai != nullptr && s == INVALID_SOCKET; ai = ai->ai_next) {
    if (MsLeft(deadline) == 0) {
      err = WSAETIMEDOUT;
      break;
    }
    s = ConnectOne(*ai, deadline, &err);
  }
  freeaddrinfo(list);
  if (s == INVALID_SOCKET) return ConnectError(err, peer, effectiveMs);

  // Requests are small and answered at once: send each as soon as it is written.
  const BOOL one = TRUE;
  setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);

  while (g_nextHandle == 0 || g_conns.count(g_nextHandle) != 0) ++g_nextHandle;
  const unsigned h = g_nextHandle++;
  g_conns[h] = Connection{s, callback, callbackData, peer, false};
  *handle = h;
  return 0;
}

int DisconnectFromTCPServer(unsigned handle) {
  auto it = g_conns.find(handle);
  if (it == g_conns.end()) return BadHandle(handle);
  closesocket(it->second.sock);
  g_conns.erase(it);
  return 0;
}

int ClientTCPWrite(unsigned handle, const void* data, std::size_t size, unsigned timeoutMs) {
  Connection* c = Lookup(handle);
  if (c == nullptr) return BadHandle(handle);
  if (size == 0) return 0;
  if (data == nullptr || size > static_cast<std::size_t>(INT_MAX))
    return Fail(kRtErrBadArgument, kTextBadTcpWrite, {c->peer});

  const char* bytes = static_cast<const char*>(data);
  const auto deadline = DeadlineAfterMs(timeoutMs);
  std::size_t sent = 0;
  while (sent < size) {
    const int n = send(c->sock, bytes + sent, static_cast<int>(size - sent), 0);
    if (n > 0) {
      sent += static_cast<std::size_t>(n);
      continue;
    }
    const int e = WSAGetLastError();
    if (e == WSAEWOULDBLOCK) {
      const int ready = WaitFor(c->sock, POLLWRNORM, deadline);
      if (ready == 0 || MsLeft(deadline) == 0) break;
      continue;
    }
    if (IsGone(e)) return Fail(kRtErrConnClosed, kTextPeerClosed, {c->peer});
    return Fail(kRtErrWrite, kTextTcpWriteFailed, {c->peer, WsaText(e)});
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
  const int want = static_cast<int>(std::min<std::size_t>(size, INT_MAX));

  const auto deadline = DeadlineAfterMs(timeoutMs);
  for (;;) {
    const int n = recv(c->sock, static_cast<char*>(buffer), want, 0);
    if (n > 0) return n;
    if (n == 0) return Fail(kRtErrConnClosed, kTextPeerClosed, {c->peer});
    const int e = WSAGetLastError();
    if (e == WSAEWOULDBLOCK) {
      if (WaitFor(c->sock, POLLRDNORM, deadline) == 0)
        return Fail(kRtErrTimeout, kTextTcpReadTimeout, {c->peer});
      continue;
    }
    if (IsGone(e)) return Fail(kRtErrConnClosed, kTextPeerReset, {c->peer});
    return Fail(kRtErrRead, kTextTcpReadFailed, {c->peer, WsaText(e)});
  }
}

int ProcessTCPEvents(void) {
  if (g_dispatching) return 0;  // a callback calling us again: the outer call delivers
  g_dispatching = true;

  std::vector<unsigned> handles;
  std::vector<WSAPOLLFD> fds;
  for (const auto& [h, c] : g_conns) {
    if (c.closed) continue;
    handles.push_back(h);
    WSAPOLLFD p{};
    p.fd = c.sock;
    p.events = POLLRDNORM;
    fds.push_back(p);
  }
  const int ready = fds.empty() ? 0 : WSAPoll(fds.data(), static_cast<ULONG>(fds.size()), 0);

  for (std::size_t i = 0; ready > 0 && i < fds.size(); ++i) {
    if (fds[i].revents == 0) continue;
    Connection* c = Lookup(handles[i]);
    if (c == nullptr || c->closed || c->sock != fds[i].fd) continue;

    // Peek to tell data from an orderly close; data sent before a close comes first.
    char probe;
    const int n = recv(c->sock, &probe, 1, MSG_PEEK);
    int event = 0;
    int errCode = 0;
    if (n > 0) {
      event = TCP_DATAREADY;
    } else if (n == 0) {
      event = TCP_DISCONNECT;
    } else if (WSAGetLastError() != WSAEWOULDBLOCK) {
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
