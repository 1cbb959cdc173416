// Serial-port runtime: Qt SerialPort on Linux (rs232_qt.cpp), the Win32 communications API
// on Windows (rs232_win.cpp). Port N is COMN on Windows; on Linux /dev/ttyS<N-1>. On both,
// the environment variable VELDIXMID_COM<N> may name another device (/dev/ttyUSB0, a pty,
// COM12). Every call is blocking and bounded by the port's time-out (SetComTime).
#pragma once

// Error codes shared by the serial and TCP runtimes (negative). GetRS232ErrorString turns
// any of them into a text; for the most recent failure the text names the device or host
// and the reason.
enum {
  kRtErrUnknown = -1,
  kRtErrBadPortNumber = -2,  // port outside 1..98
  kRtErrNotOpen = -3,        // the port or connection is not open
  kRtErrNoSuchDevice = -4,
  kRtErrPermission = -5,
  kRtErrDeviceBusy = -6,
  kRtErrConfigure = -7,  // speed, parity, data or stop bits refused
  kRtErrWrite = -8,
  kRtErrRead = -9,
  kRtErrTimeout = -10,
  kRtErrBadArgument = -11,
  kRtErrHostNotFound = -12,
  kRtErrConnRefused = -13,
  kRtErrConnTimeout = -14,
  kRtErrConnClosed = -15,  // the peer has closed the connection
  kRtErrNetUnreachable = -16,
  kRtErrBadHandle = -17,
  kRtErrSocket = -18,
};

// parity: 0 none, 1 odd, 2 even; dataBits 5..8; stopBits 1 or 2. An already open port is
// closed first. 0 or a negative code.
int OpenComConfig(int port, const char* deviceName, long baudRate, int parity, int dataBits,
                  int stopBits, int inputQueueSize, int outputQueueSize);
int CloseCom(int port);
int FlushInQ(int port);
int FlushOutQ(int port);
// Time-out of later reads and writes, in seconds.
int SetComTime(int port, double timeoutSeconds);
// Writes count bytes; returns the number written (count on success) or a negative code.
int ComWrt(int port, const char* buffer, int count);
// Waits until count bytes have arrived or the time-out passes; returns the number read
// (0..count) or a negative code. Never writes more than count bytes into buffer.
int ComRd(int port, char* buffer, int count);
// Text for a code of either runtime, in the language of the text source; never null. Valid
// until the next call.
const char* GetRS232ErrorString(int errorCode);
// Where the runtime's texts come from: source(id) gives message id (0 .. kRtTextCount - 1,
// the generic text of code -id for ids below 19, detailed messages after) in the operator's
// language, with %1, %2, ... standing for the device or host and the reason; null or an
// empty text keeps the English one. Null source: English throughout.
inline constexpr int kRtTextCount = 62;
using RtTextSource = const char* (*)(int id);
void SetRS232TextSource(RtTextSource source);
// Device path used for port N (for messages and tests).
const char* ComDeviceName(int port);
