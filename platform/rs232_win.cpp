// Serial-port runtime on the Win32 communications API. Port N is the device \\.\COMN (the
// prefix lets COM10 and above open too) unless VELDIXMID_COM<N> names another device. Every
// call blocks on the calling thread and is bounded by the port's time-out (SetComTime),
// kept through the driver's total time-outs (SetCommTimeouts). A read waits in slices of
// ui::kKeepAliveSliceMs and keeps the windows alive between them (keep_alive.h).
#ifndef NOMINMAX
#define NOMINMAX
#endif
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/keep_alive.h"
#include "platform/rs232.h"
#include "platform/runtime_error.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kFirstPort = 1;
constexpr int kLastPort = 98;  // 99 and above select a TCP link in the transport
// Time-out of a port until SetComTime is called, in seconds.
constexpr double kDefaultTimeoutSeconds = 5.0;
// SetComTime refuses anything longer: a wait of a day is a caller's mistake, not a setting.
constexpr double kMaxTimeoutSeconds = 3600.0;

struct OpenPort {
  HANDLE handle = INVALID_HANDLE_VALUE;
  std::string path;
  double timeoutSeconds = kDefaultTimeoutSeconds;
  DWORD appliedMs = 0;  // total time-out now set in the driver; 0: none set yet
  bool open() const { return handle != INVALID_HANDLE_VALUE; }
};

std::array<OpenPort, kLastPort + 1> g_ports;  // index = port number; [0] unused

bool ValidPort(int port) { return port >= kFirstPort && port <= kLastPort; }

std::string DefaultDevice(int port) {
  char var[32];
  std::snprintf(var, sizeof var, "VELDIXMID_COM%d", port);
  if (const char* env = std::getenv(var); env != nullptr && *env != '\0') return env;
  return "COM" + std::to_string(port);
}

using namespace rt_internal;

int Fail(int code, Text text, std::initializer_list<std::string> args = {}) {
  return rt_internal::SetLastError(code, text, args);
}

std::string SystemText(DWORD err) {
  char buf[256] = {};
  FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, err, 0, buf,
                 sizeof buf, nullptr);
  std::string s(buf);
  while (!s.empty() && (s.back() == '\n' || s.back() == '\r' || s.back() == '.')) s.pop_back();
  return s.empty() ? "error " + std::to_string(err) : s;
}

int BadPort(int port) {
  return Fail(kRtErrBadPortNumber, kTextBadPort,
              {std::to_string(port), std::to_string(kFirstPort), std::to_string(kLastPort)});
}

OpenPort* Lookup(int port, int* err) {
  if (!ValidPort(port)) {
    *err = BadPort(port);
    return nullptr;
  }
  OpenPort& p = g_ports[static_cast<std::size_t>(port)];
  if (!p.open()) {
    *err = Fail(kRtErrNotOpen, kTextPortNotOpen, {std::to_string(port), DefaultDevice(port)});
    return nullptr;
  }
  return &p;
}

// Milliseconds left until the deadline, rounded up so a wait never ends early; 0 when due.
DWORD MsLeft(Clock::time_point deadline) {
  const auto left = deadline - Clock::now();
  if (left <= Clock::duration::zero()) return 0;
  const auto us = std::chrono::duration_cast<std::chrono::microseconds>(left).count();
  return static_cast<DWORD>(std::min<long long>((us + 999) / 1000, 24LL * 3600 * 1000));
}

Clock::time_point DeadlineAfter(double seconds) {
  return Clock::now() + std::chrono::microseconds(static_cast<long long>(seconds * 1e6));
}

// One total time-out for the next ReadFile and WriteFile. A read returns when all its bytes
// have come or `ms` has passed, whatever arrived by then; 0 means "only what is already
// queued" (an interval of MAXDWORD with no total), never "wait for ever".
bool ApplyTimeout(OpenPort& p, DWORD ms) {
  if (p.appliedMs == ms + 1) return true;
  COMMTIMEOUTS t{};
  if (ms == 0) {
    t.ReadIntervalTimeout = MAXDWORD;
  } else {
    t.ReadTotalTimeoutConstant = ms;
    t.WriteTotalTimeoutConstant = ms;
  }
  if (!SetCommTimeouts(p.handle, &t)) return false;
  p.appliedMs = ms + 1;
  return true;
}

int OpenFailure(DWORD err, const std::string& path) {
  switch (err) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND: return Fail(kRtErrNoSuchDevice, kTextNoDevice, {path});
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
      // A COM port is opened exclusively: "access denied" means another program holds it.
      return Fail(kRtErrDeviceBusy, kTextBusyAsk, {path});
    default: return Fail(kRtErrUnknown, kTextCannotOpen, {path, SystemText(err)});
  }
}

}  // namespace

int OpenComConfig(int port, const char* deviceName, long baudRate, int parity, int dataBits,
                  int stopBits, int inputQueueSize, int outputQueueSize) {
  if (!ValidPort(port)) return BadPort(port);
  const std::string path =
      (deviceName != nullptr && *deviceName != '\0') ? deviceName : DefaultDevice(port);
  if (baudRate <= 0 || baudRate > 4000000)
    return Fail(kRtErrBadArgument, kTextBadSpeed, {path, std::to_string(baudRate)});
  if (parity < 0 || parity > 2)
    return Fail(kRtErrBadArgument, kTextBadParity, {path, std::to_string(parity)});
  if (dataBits < 5 || dataBits > 8)
    return Fail(kRtErrBadArgument, kTextBadDataBits, {path, std::to_string(dataBits)});
  if (stopBits < 1 || stopBits > 2)
    return Fail(kRtErrBadArgument, kTextBadStopBits, {path, std::to_string(stopBits)});
  if (inputQueueSize < 0 || outputQueueSize < 0)
    return Fail(kRtErrBadArgument, kTextBadQueue, {path});

  CloseCom(port);  // a second open of an open port starts from a closed one

  // "\\.\" opens the device namespace directly; without it COM10 and above do not open.
  const std::string device = path.rfind("\\\\.\\", 0) == 0 ? path : "\\\\.\\" + path;
  HANDLE h = CreateFileA(device.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                         nullptr);
  if (h == INVALID_HANDLE_VALUE) return OpenFailure(GetLastError(), path);

  auto refuse = [&](Text what) {
    const std::string why = SystemText(GetLastError());
    CloseHandle(h);
    return Fail(kRtErrConfigure, what,
                {path, std::to_string(baudRate), FramingText(parity, dataBits, stopBits), why});
  };
  // The driver's queues; a size of 0 keeps the driver's own.
  if (inputQueueSize > 0 && outputQueueSize > 0 &&
      !SetupComm(h, static_cast<DWORD>(inputQueueSize), static_cast<DWORD>(outputQueueSize)))
    return refuse(kTextQueuesRefused);

  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  if (!GetCommState(h, &dcb)) return refuse(kTextSettingsUnread);
  static constexpr BYTE kParity[] = {NOPARITY, ODDPARITY, EVENPARITY};
  dcb.BaudRate = static_cast<DWORD>(baudRate);
  dcb.ByteSize = static_cast<BYTE>(dataBits);
  dcb.Parity = kParity[parity];
  dcb.StopBits = stopBits == 2 ? TWOSTOPBITS : ONESTOPBIT;
  dcb.fBinary = TRUE;
  dcb.fParity = parity != 0;
  // No flow control of any kind: a Modbus line has no handshake, and a meter that never
  // raises CTS must not stall our writes. DTR and RTS stay up to power port-powered
  // converters.
  dcb.fOutxCtsFlow = FALSE;
  dcb.fOutxDsrFlow = FALSE;
  dcb.fDsrSensitivity = FALSE;
  dcb.fDtrControl = DTR_CONTROL_ENABLE;
  dcb.fRtsControl = RTS_CONTROL_ENABLE;
  dcb.fOutX = FALSE;
  dcb.fInX = FALSE;
  dcb.fErrorChar = FALSE;
  dcb.fNull = FALSE;  // 0x00 is a data byte in Modbus, never to be dropped
  dcb.fAbortOnError = FALSE;
  if (!SetCommState(h, &dcb)) return refuse(kTextSettingsRefused);
  PurgeComm(h, PURGE_RXABORT | PURGE_RXCLEAR | PURGE_TXABORT | PURGE_TXCLEAR);

  OpenPort& p = g_ports[static_cast<std::size_t>(port)];
  p.handle = h;
  p.path = path;
  p.timeoutSeconds = kDefaultTimeoutSeconds;
  p.appliedMs = 0;
  return 0;
}

int CloseCom(int port) {
  int err = 0;
  OpenPort* p = Lookup(port, &err);
  if (p == nullptr) return err;
  CloseHandle(p->handle);
  p->handle = INVALID_HANDLE_VALUE;
  p->path.clear();
  return 0;
}

int FlushInQ(int port) {
  int err = 0;
  OpenPort* p = Lookup(port, &err);
  if (p == nullptr) return err;
  PurgeComm(p->handle, PURGE_RXABORT | PURGE_RXCLEAR);
  return 0;
}

int FlushOutQ(int port) {
  int err = 0;
  OpenPort* p = Lookup(port, &err);
  if (p == nullptr) return err;
  PurgeComm(p->handle, PURGE_TXABORT | PURGE_TXCLEAR);
  return 0;
}

int SetComTime(int port, double timeoutSeconds) {
  int err = 0;
  OpenPort* p = Lookup(port, &err);
  if (p == nullptr) return err;
  if (!(timeoutSeconds >= 0.0 && timeoutSeconds <= kMaxTimeoutSeconds))
    return Fail(kRtErrBadArgument, kTextBadTimeout, {p->path});
  p->timeoutSeconds = timeoutSeconds;
  return 0;
}

int ComWrt(int port, const char* buffer, int count) {
  int err = 0;
  OpenPort* p = Lookup(port, &err);
  if (p == nullptr) return err;
  if (count < 0 || (count > 0 && buffer == nullptr))
    return Fail(kRtErrBadArgument, kTextBadComWrite, {p->path});
  if (count == 0) return 0;

  // One write for the whole frame, not slices: a gap between two parts of it longer than
  // 3.5 characters would end the frame at the meter. A frame takes at most a few tenths of
  // a second at 9600 bit/s; the windows are kept alive before it starts.
  ui::KeepAlive();
  const auto deadline = DeadlineAfter(p->timeoutSeconds);
  int sent = 0;
  while (sent < count) {
    const DWORD ms = MsLeft(deadline);
    if (ms == 0 || !ApplyTimeout(*p, ms)) break;
    DWORD n = 0;
    if (!WriteFile(p->handle, buffer + sent, static_cast<DWORD>(count - sent), &n, nullptr)) {
      const std::string why = SystemText(GetLastError());
      PurgeComm(p->handle, PURGE_TXABORT | PURGE_TXCLEAR);
      return Fail(kRtErrWrite, kTextWriteFailed, {p->path, why});
    }
    if (n == 0) break;  // the total time-out passed
    sent += static_cast<int>(n);
  }
  if (sent < count) {
    // Time-out: the rest of the frame must not trickle out later and reach the meter glued
    // to the next request.
    PurgeComm(p->handle, PURGE_TXABORT | PURGE_TXCLEAR);
    Fail(kRtErrTimeout, kTextWriteUnsent,
         {p->path, std::to_string(count - sent), std::to_string(count)});
  }
  return sent;
}

int ComRd(int port, char* buffer, int count) {
  int err = 0;
  OpenPort* p = Lookup(port, &err);
  if (p == nullptr) return err;
  if (count < 0 || (count > 0 && buffer == nullptr))
    return Fail(kRtErrBadArgument, kTextBadComRead, {p->path});

  // The wait goes in slices of the driver's total time-out, keeping the windows alive
  // between them; the bytes queue in the driver meanwhile, so nothing is lost.
  const auto deadline = DeadlineAfter(p->timeoutSeconds);
  int got = 0;
  bool first = true;
  while (got < count) {
    ui::KeepAlive();
    // The first pass runs even with a time-out of 0, to take what is already queued.
    const DWORD ms = MsLeft(deadline);
    if (ms == 0 && !first) break;
    first = false;
    if (!ApplyTimeout(*p, std::min<DWORD>(ms, ui::kKeepAliveSliceMs))) break;
    DWORD n = 0;
    if (!ReadFile(p->handle, buffer + got, static_cast<DWORD>(count - got), &n, nullptr)) {
      // The device went away (unplugged adapter). What arrived before still counts; with
      // nothing at all the caller gets the reason.
      const std::string why = SystemText(GetLastError());
      if (got > 0) return got;
      return Fail(kRtErrRead, kTextReadFailed, {p->path, why});
    }
    got += static_cast<int>(n);
  }
  return got;
}

const char* ComDeviceName(int port) {
  static thread_local std::string name;
  if (ValidPort(port) && g_ports[static_cast<std::size_t>(port)].open())
    name = g_ports[static_cast<std::size_t>(port)].path;
  else
    name = ValidPort(port) ? DefaultDevice(port) : std::string();
  return name.c_str();
}
