// Scripted serial line, TCP connection, recording tray and counting Delay (see the header).
#include "fake_platform.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>

#include "platform/rs232.h"
#include "platform/tcp.h"
#include "platform/tray.h"
#include "platform/ui.h"

namespace fake {

void Fail(const char* what) {
  std::fprintf(stderr, "fuzz invariant broken: %s\n", what);
  std::abort();
}

namespace {

std::string g_images;
double g_paused = 0.0;

// ---- serial
constexpr int kMaxPort = 98;
bool g_open[kMaxPort + 1] = {};
SerialScript g_serial;
std::size_t g_linePos = 0;
bool g_written = false;
double g_timeout = 5.0;
double g_timeoutAtRead = 0.0;
int g_reads = 0;
std::vector<Bytes> g_serialWrites;
Bytes g_delivered;

bool PortOpen(int port) { return port >= 1 && port <= kMaxPort && g_open[port]; }

// ---- TCP
constexpr unsigned kHandle = 7;  // whatever the runtime hands out; the engine must use it
bool g_connected = false;
bool g_peerClosed = false;
tcpFuncPtr g_callback = nullptr;
void* g_callbackData = nullptr;
TcpScript g_tcp;
std::size_t g_eventPos = 0;
long g_idle = 0;
std::deque<std::uint8_t> g_socket;  // bytes that arrived and were not read yet
int g_failNextRead = 0;             // the code the next read gives, 0 for none
std::vector<Bytes> g_tcpWrites;
Bytes g_lastRead;
std::vector<int> g_readErrors;
long g_polls = 0;

// What a failed read reports; none of them collides with the engine's own -1 .. -5.
constexpr int kReadErrors[] = {kRtErrRead,          kRtErrConnClosed, kRtErrBadHandle,
                               kRtErrBadArgument,   kRtErrSocket,     kRtErrTimeout,
                               kRtErrNetUnreachable};

void Deliver(int event) {
  if (g_callback != nullptr) g_callback(kHandle, event, 0, g_callbackData);
}

// Consumes one record of the event script and delivers what it stands for. False when the
// script has nothing more to say.
bool PlayRecord() {
  if (g_eventPos >= g_tcp.eventsSize) return false;
  const std::uint8_t r = g_tcp.events[g_eventPos++];
  const auto takeSegment = [](std::size_t n) {
    n = std::min(n, g_tcp.eventsSize - g_eventPos);
    g_socket.insert(g_socket.end(), g_tcp.events + g_eventPos, g_tcp.events + g_eventPos + n);
    g_eventPos += n;
    if (!g_socket.empty()) Deliver(TCP_DATAREADY);
  };
  if (r <= 0xDF) {
    takeSegment(static_cast<std::size_t>(r) + 1);
  } else if (r == 0xE0) {
    const std::size_t extra = g_eventPos < g_tcp.eventsSize ? g_tcp.events[g_eventPos++] : 0;
    takeSegment(225 + extra);  // more than one read may take
  } else if (r <= 0xEE) {
    g_idle = r - 0xE0 - 1;  // this poll and the next ones see nothing
  } else if (r == 0xEF) {
    g_idle = 2000;  // the meter falls silent for longer than any wait
  } else if (r <= 0xF3) {
    g_peerClosed = true;
    Deliver(TCP_DISCONNECT);
  } else if (r <= 0xFA) {
    g_failNextRead = kReadErrors[r - 0xF4];
    Deliver(TCP_DATAREADY);
  } else if (r <= 0xFE) {
    // Several events in one call, as a runtime that drains all it has may deliver them.
    const int n = r - 0xF9;
    for (int i = 0; i < n && !g_peerClosed; ++i)
      if (!PlayRecord()) break;
  }
  return true;
}

}  // namespace

const std::string& Images() { return g_images; }
void ResetIndicator() {
  g_images.clear();
  g_paused = 0.0;
}
double Paused() { return g_paused; }

void SetSerialScript(const SerialScript& s) {
  g_serial = s;
  g_linePos = 0;
  g_written = false;
  g_reads = 0;
  g_timeoutAtRead = 0.0;
  g_serialWrites.clear();
  g_delivered.clear();
}
const std::vector<Bytes>& SerialWrites() { return g_serialWrites; }
const Bytes& SerialDelivered() { return g_delivered; }
int SerialReads() { return g_reads; }
double SerialTimeoutAtLastRead() { return g_timeoutAtRead; }

void SetTcpScript(const TcpScript& s) {
  g_tcp = s;
  g_eventPos = 0;
  g_idle = 0;
  g_socket.clear();
  g_failNextRead = 0;
  g_tcpWrites.clear();
  g_lastRead.clear();
  g_readErrors.clear();
  g_polls = 0;
  g_peerClosed = false;
}
const std::vector<Bytes>& TcpWrites() { return g_tcpWrites; }
const Bytes& TcpLastRead() { return g_lastRead; }
const std::vector<int>& TcpReadErrors() { return g_readErrors; }
long TcpPolls() { return g_polls; }
bool TcpConnected() { return g_connected; }

}  // namespace fake

using namespace fake;

// ------------------------------------------------------------------ pauses and indicator

void Delay(double seconds) {
  Check(seconds >= 0.0 && seconds < 1.0, "Delay asked for a pause outside 0..1 s");
  g_paused += seconds;
}

int WT_InstallSysTrayIcon(const char* iconFile, const char*, TrayIconCallbackPtr, int* handle) {
  if (iconFile == nullptr || handle == nullptr) return -1;
  *handle = 1;
  return 0;
}

int WT_SetTrayIconAttr(int, int attribute, const char* value) {
  Check(attribute == ATTR_TRAY_IMAGE_FILE, "indicator: unknown attribute");
  Check(value != nullptr, "indicator: null image name");
  // "trffc_X.ico": the letter is the state.
  Check(std::strlen(value) == 11 && std::strncmp(value, "trffc_", 6) == 0 &&
            std::strcmp(value + 7, ".ico") == 0,
        "indicator: not one of the four images");
  g_images.push_back(value[6]);
  return 0;
}

int WT_RemoveSysTrayIcon(int) { return 0; }

// ------------------------------------------------------------------ serial runtime

int OpenComConfig(int port, const char*, long, int, int, int, int, int) {
  if (port < 1 || port > kMaxPort) return kRtErrBadPortNumber;
  g_open[port] = true;
  g_timeout = 5.0;
  return 0;
}

int CloseCom(int port) {
  if (!PortOpen(port)) return kRtErrNotOpen;
  g_open[port] = false;
  return 0;
}

int FlushInQ(int port) {
  if (!PortOpen(port)) return kRtErrNotOpen;
  // Whatever the meter sent has arrived by now; before the request it has sent nothing.
  if (g_written) g_linePos = g_serial.lineSize;
  return 0;
}

int FlushOutQ(int port) { return PortOpen(port) ? 0 : kRtErrNotOpen; }

int SetComTime(int port, double timeoutSeconds) {
  if (!PortOpen(port)) return kRtErrNotOpen;
  Check(timeoutSeconds > 0.0 && timeoutSeconds <= 10.0, "serial time-out outside 0..10 s");
  g_timeout = timeoutSeconds;
  return 0;
}

int ComWrt(int port, const char* buffer, int count) {
  if (!PortOpen(port)) return kRtErrNotOpen;
  if (count < 0 || (count > 0 && buffer == nullptr)) return kRtErrBadArgument;
  const auto* b = reinterpret_cast<const std::uint8_t*>(buffer);
  g_serialWrites.emplace_back(b, b + count);
  g_written = true;
  return g_serial.writeResult == -1 ? count : g_serial.writeResult;
}

int ComRd(int port, char* buffer, int count) {
  if (!PortOpen(port)) return kRtErrNotOpen;
  if (count < 0 || (count > 0 && buffer == nullptr)) return kRtErrBadArgument;
  const int plan = g_reads < 2 ? g_serial.readPlan[g_reads] : -1;
  ++g_reads;
  g_timeoutAtRead = g_timeout;
  if (plan < -1) return plan;  // the runtime's error: nothing was read
  std::size_t n = std::min(static_cast<std::size_t>(count), g_serial.lineSize - g_linePos);
  if (plan >= 0) n = std::min(n, static_cast<std::size_t>(plan));
  if (n > 0) std::memcpy(buffer, g_serial.line + g_linePos, n);
  g_delivered.insert(g_delivered.end(), g_serial.line + g_linePos, g_serial.line + g_linePos + n);
  g_linePos += n;
  return static_cast<int>(n);
}

const char* GetRS232ErrorString(int errorCode) {
  return errorCode < 0 ? "fake runtime error" : "no error";
}

const char* ComDeviceName(int) { return "/dev/null"; }

// ------------------------------------------------------------------ TCP runtime

int ConnectToTCPServer(unsigned* handle, unsigned short, const char* host, tcpFuncPtr callback,
                       void* callbackData, unsigned) {
  if (handle == nullptr || host == nullptr || *host == '\0') return kRtErrBadArgument;
  Check(!g_connected, "connect while a connection is still open");
  g_connected = true;
  g_peerClosed = false;
  g_callback = callback;
  g_callbackData = callbackData;
  *handle = kHandle;
  return 0;
}

int DisconnectFromTCPServer(unsigned handle) {
  if (!g_connected || handle != kHandle) return kRtErrBadHandle;
  g_connected = false;
  g_callback = nullptr;
  return 0;
}

int ClientTCPWrite(unsigned handle, const void* data, std::size_t size, unsigned) {
  if (!g_connected || handle != kHandle) return kRtErrBadHandle;
  if (data == nullptr && size > 0) return kRtErrBadArgument;
  const auto* b = static_cast<const std::uint8_t*>(data);
  g_tcpWrites.emplace_back(b, b + size);
  if (g_peerClosed) return kRtErrConnClosed;
  return g_tcp.writeResult == -1 ? static_cast<int>(size) : g_tcp.writeResult;
}

int ClientTCPRead(unsigned handle, void* buffer, std::size_t size, unsigned) {
  if (!g_connected || handle != kHandle) return kRtErrBadHandle;
  if (buffer == nullptr || size == 0) return kRtErrBadArgument;
  if (g_failNextRead != 0) {
    const int code = g_failNextRead;
    g_failNextRead = 0;
    g_readErrors.push_back(code);
    return code;
  }
  Check(!g_socket.empty(), "read without a data-ready event");
  const std::size_t n = std::min(size, g_socket.size());
  auto* out = static_cast<std::uint8_t*>(buffer);
  g_lastRead.assign(g_socket.begin(), g_socket.begin() + static_cast<std::ptrdiff_t>(n));
  std::copy(g_lastRead.begin(), g_lastRead.end(), out);
  g_socket.erase(g_socket.begin(), g_socket.begin() + static_cast<std::ptrdiff_t>(n));
  return static_cast<int>(n);
}

int ProcessTCPEvents(void) {
  ++g_polls;
  if (!g_connected || g_peerClosed) return 0;
  if (!g_socket.empty()) {  // bytes still unread: the socket stays readable
    Deliver(TCP_DATAREADY);
    return 0;
  }
  if (g_idle > 0) {
    --g_idle;
    return 0;
  }
  PlayRecord();
  return 0;
}
