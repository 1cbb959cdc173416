#include "engine.h"

#include <algorithm>
#include <chrono>
#include <cstring>

#include "frames.h"
#include "rs232.h"
#include "tcp.h"
#include "transport.h"
#include "tray.h"
#include "ui.h"

unsigned char Trama_Peticion[kTramaSize] = {};
unsigned char Trama_Respuesta[kTramaSize] = {};
int icono_comunicaciones_barra_tareas = 0;

namespace {

constexpr double kSerialTimeoutS = 2.0;     // write and reads, every function but 1
constexpr double kSerialTimeoutFn1S = 5.0;  // both reads of a function-1 request
constexpr double kClosingPauseS = 0.15;     // after every exchange; also the error hold
constexpr double kAfterTcpWriteS = 0.15;    // Modbus TCP: between write and count check
constexpr int kPolls = 1000;                // TCP answer wait: 1000 polls ...
constexpr double kPollS = 0.01;             // ... of 0.01 s each
// Stale TCP events discarded before a request, at most (each is up to 255 bytes).
constexpr int kMaxDrainRounds = 64;

constexpr int kFirstTcpPort = 99;
constexpr int kModbusTcpPortNumber = 100;
constexpr int kModbusTcpService = 502;

constexpr int kMinRequest = 2;    // slave and function at least
constexpr int kMaxRequest = 253;  // an RTU frame is at most 256 bytes with its CRC
constexpr int kHeadBytes = 3;     // slave, function, byte count (or exception code)
constexpr int kCrcBytes = 2;
constexpr int kMbapBytes = 6;     // Modbus TCP header: transaction, protocol, length

constexpr unsigned char kExceptionBit = 0x80;

void Show(const char* image) {
  // A file that cannot be loaded leaves the previous image; the exchange goes on regardless.
  WT_SetTrayIconAttr(icono_comunicaciones_barra_tareas, ATTR_TRAY_IMAGE_FILE, image);
}

// When the last exchange ended and how: the main panel's status line tells them.
std::chrono::steady_clock::time_point g_lastGood{};
bool g_anyGood = false, g_lastFailed = false;

int FailureEnding(int code) {
  g_lastFailed = true;
  Show(kIconError);
  Delay(kClosingPauseS);
  Show(kIconIdle);
  return code;
}

int SuccessEnding() {
  g_lastGood = std::chrono::steady_clock::now();
  g_anyGood = true;
  g_lastFailed = false;
  Delay(kClosingPauseS);
  Show(kIconIdle);
  return kModbusOk;
}

// ---------------------------------------------------------------- serial RTU

// Bytes still to read after the 3-byte head, from the answer's function byte. May be
// negative or huge for a bad expected length; the caller checks it against the buffer.
long long RestAfterHead(const unsigned char* answer, int expectedLength) {
  const unsigned char fn = answer[1];
  if ((fn & kExceptionBit) != 0) return 2;  // exception code is byte 2; CRC follows
  switch (fn) {
    case 5:
    case 6:
    case 16:
      return 5;  // 8 in all: slave, function, register hi, lo, value hi, lo, CRC lo, hi
    case 14:
      return static_cast<long long>(expectedLength) - kHeadBytes;
    case 20:
      return static_cast<long long>(expectedLength) + 4;
    default:
      return static_cast<long long>(answer[2]) + kCrcBytes;  // N data bytes, CRC
  }
}

// A failed attempt: error image for the closing pause, then idle.
void FailedAttempt() {
  Show(kIconError);
  Delay(kClosingPauseS);
  Show(kIconIdle);
}

// No answer (or no complete head): leave the port clean for the next exchange; the error
// image is then shown twice, 0.3 s in all.
int SerialNoAnswer(int port) {
  FlushInQ(port);
  FlushOutQ(port);
  SetComTime(port, kSerialTimeoutS);
  FailedAttempt();
  return FailureEnding(kModbusNoAnswer);
}

int SerialBadAnswer(int port) {
  FlushInQ(port);
  FlushOutQ(port);
  SetComTime(port, kSerialTimeoutS);
  return FailureEnding(kModbusBadAnswer);
}

int SerialRtu(int port, unsigned char* request, int length, unsigned char* answer,
              int expectedLength, int answerSize) {
  Orba_CalculoCRC_2(request, length);
  FlushOutQ(port);
  FlushInQ(port);
  SetComTime(port, kSerialTimeoutS);

  Show(kIconSending);
  const int frameLength = length + kCrcBytes;
  if (ComWrt(port, reinterpret_cast<const char*>(request), frameLength) != frameLength) {
    FailedAttempt();
    return FailureEnding(kModbusNoAnswer);
  }
  SetComTime(port, kSerialTimeoutFn1S);

  auto* head = reinterpret_cast<char*>(answer);
  long long rest = 0;
  if (request[1] == 1) {
    // A head of 1 or 2 bytes is no answer either: byte 2 would be left over from before.
    if (ComRd(port, head, kHeadBytes) != kHeadBytes) return SerialNoAnswer(port);
    rest = static_cast<long long>(answer[2]) + kCrcBytes;
  } else {
    SetComTime(port, kSerialTimeoutS);
    if (ComRd(port, head, kHeadBytes) != kHeadBytes) return SerialNoAnswer(port);
    rest = RestAfterHead(answer, expectedLength);
  }
  Show(kIconReceiving);

  // The frame and the two bytes the CRC check writes after it must fit the buffer.
  if (rest < 0 || kHeadBytes + rest + kCrcBytes > answerSize) return SerialBadAnswer(port);
  const int wanted = static_cast<int>(rest);
  const int got = ComRd(port, head + kHeadBytes, wanted);
  if (got < 0) return SerialBadAnswer(port);  // a runtime error, not a length
  const int received = got + kHeadBytes;

  if ((answer[1] & kExceptionBit) != 0) return FailureEnding(kModbusException);
  // A short answer fails here, not by luck of the CRC: the echo of a request whose byte 2
  // promises more than arrived would otherwise pass the check as a frame of its own.
  if (got != wanted) return FailureEnding(kModbusBadAnswer);
  Orba_CalculoCRC_2(answer, received);
  if (answer[received] == 0 && answer[received + 1] == 0) return SuccessEnding();
  return FailureEnding(kModbusBadAnswer);
}

// ---------------------------------------------------------------- TCP links

// Discards events left over from an earlier exchange (the tail of a split answer, bytes
// after an answer), so they are never taken as the answer to this request. True when the
// server has closed the connection meanwhile: that close is reported once only, so the
// wait that follows must not expect it again.
bool DrainStaleEvents() {
  for (int round = 0; round < kMaxDrainRounds; ++round) {
    TCP_Rx_Status = 0;
    ProcessTCPEvents();
    if (TCP_Rx_Status == 2) return true;
    if (TCP_Rx_Status == 0) break;
  }
  return false;
}

// Polls for the answer: each poll waits 0.01 s, then lets the runtime deliver TCP events.
// 1 when data arrived, otherwise the failure code.
int AwaitAnswer() {
  int count = kPolls;
  do {
    Delay(kPollS);
    --count;
    ProcessTCPEvents();
  } while (TCP_Rx_Status == 0 && count > 0);
  // Tested first: an answer that arrives in the very last poll is a time-out too.
  if (count == 0) return kModbusTcpTimeout;
  if (TCP_Rx_Status < 0) return TCP_Rx_Status;
  if (TCP_Rx_Status == 2) return kModbusTcpClosed;
  return TCP_Rx_Status == 1 ? kModbusOk : kModbusBadAnswer;
}

// Bytes of the data-ready event, kept within what one event can carry.
int ReceivedBytes() { return std::clamp(TCP_Bytes_Rx, 0, static_cast<int>(kTcpReadMax)); }

// Is the answer (slave first, CRC not counted) as long as its own layout says?
bool LayoutComplete(const unsigned char* a, int n, int expectedLength) {
  if (n < 2) return false;
  const unsigned char fn = a[1];
  if ((fn & kExceptionBit) != 0) return n >= 3;  // slave, function, exception code
  switch (fn) {
    case 5:
    case 6:
    case 16:
      return n >= 6;  // slave, function, register hi, lo, value/count hi, lo
    case 14:
      return n >= static_cast<long long>(expectedLength) - kCrcBytes;
    case 20:
      return n >= static_cast<long long>(expectedLength) + 7 - kCrcBytes;
    default:
      return n >= kHeadBytes && n >= kHeadBytes + a[2];  // slave, function, N, N bytes
  }
}

// Verdict on an answer of n bytes stored at `answer` (no CRC check on TCP links).
int JudgeTcpAnswer(const unsigned char* answer, int n, int expectedLength) {
  if (n >= 2 && (answer[1] & kExceptionBit) != 0 && n >= 3)
    return FailureEnding(kModbusException);
  if (!LayoutComplete(answer, n, expectedLength)) return FailureEnding(kModbusBadAnswer);
  return SuccessEnding();
}

int ModbusTcp(const unsigned char* request, int length, unsigned char* answer,
              int expectedLength, int answerSize) {
  const bool closedBefore = DrainStaleEvents();
  const unsigned tid = static_cast<unsigned>(Contador_TCP);
  Contador_TCP = static_cast<int>((tid + 1u) & 0x7FFFFFFFu);

  unsigned char frame[kMbapBytes + kMaxRequest];
  frame[0] = static_cast<unsigned char>((tid >> 8) & 0xFFu);  // transaction, high first
  frame[1] = static_cast<unsigned char>(tid & 0xFFu);
  frame[2] = 0;  // protocol identifier: Modbus
  frame[3] = 0;
  frame[4] = static_cast<unsigned char>((length >> 8) & 0xFF);  // bytes that follow
  frame[5] = static_cast<unsigned char>(length & 0xFF);
  std::memcpy(frame + kMbapBytes, request, static_cast<std::size_t>(length));

  Show(kIconSending);
  TCP_Rx_Status = closedBefore ? 2 : 0;
  const int frameLength = length + kMbapBytes;
  const int written = ClientTCPWrite(TCP_handle, frame, static_cast<std::size_t>(frameLength), 0);
  Delay(kAfterTcpWriteS);
  if (written != frameLength) return FailureEnding(kModbusNoAnswer);

  Show(kIconReceiving);
  const int status = AwaitAnswer();
  if (status != kModbusOk) return FailureEnding(status);

  // The answer is the header, then slave and function at least.
  const int bytes = ReceivedBytes();
  if (bytes < kMbapBytes + 2) return FailureEnding(kModbusBadAnswer);
  const int pdu = bytes - kMbapBytes;
  if (pdu > answerSize) return FailureEnding(kModbusBadAnswer);
  CopyBytes(answer, 0, Buffer_TCP_Rx, kMbapBytes, static_cast<std::size_t>(pdu));
  return JudgeTcpAnswer(answer, pdu, expectedLength);
}

int RtuOverTcp(unsigned char* request, int length, unsigned char* answer, int expectedLength,
               int answerSize) {
  Orba_CalculoCRC_2(request, length);
  const int frameLength = length + kCrcBytes;
  unsigned char frame[kMaxRequest + kCrcBytes];
  std::memcpy(frame, request, static_cast<std::size_t>(frameLength));
  const bool closedBefore = DrainStaleEvents();

  Show(kIconSending);
  TCP_Rx_Status = closedBefore ? 2 : 0;
  const int written = ClientTCPWrite(TCP_handle, frame, static_cast<std::size_t>(frameLength), 0);
  if (written != frameLength) return FailureEnding(kModbusNoAnswer);

  Show(kIconReceiving);
  const int status = AwaitAnswer();
  if (status != kModbusOk) return FailureEnding(status);

  // The CRC is not verified on this link; its two bytes are not required either.
  const int bytes = ReceivedBytes();
  if (bytes > answerSize) return FailureEnding(kModbusBadAnswer);
  CopyBytes(answer, 0, Buffer_TCP_Rx, 0, static_cast<std::size_t>(bytes));
  return JudgeTcpAnswer(answer, bytes, expectedLength);
}

}  // namespace

int Orba_Transmitir_Modbus(int port, unsigned char* request, int length, unsigned char* answer,
                           int expectedLength, int /*report*/, const char* /*telephone*/,
                           int tcpPort, const char* host, int answerSize) {
  Show(kIconIdle);
  if (request == nullptr || answer == nullptr || length < kMinRequest ||
      length > kMaxRequest || answerSize < kHeadBytes + kCrcBytes)
    return FailureEnding(kModbusNoAnswer);

  if (port < kFirstTcpPort)
    return SerialRtu(port, request, length, answer, expectedLength, answerSize);
  if (host == nullptr || *host == '\0') return kModbusException;  // nothing is written
  if (tcpPort == kModbusTcpService || port == kModbusTcpPortNumber)
    return ModbusTcp(request, length, answer, expectedLength, answerSize);
  return RtuOverTcp(request, length, answer, expectedLength, answerSize);
}

int Orba_GEN_Presenta_iconos_comunicaciones_solo_semaforo(void) {
  return WT_InstallSysTrayIcon(kIconIdle, "VELDIX-MID v1.0", Hace_nada_con_el_icono_de_tareas,
                               &icono_comunicaciones_barra_tareas);
}

int Hace_nada_con_el_icono_de_tareas(int /*iconHandle*/, int /*event*/, int /*eventData*/) {
  return 0;
}

double SecondsSinceGoodAnswer(bool* lastFailed) {
  if (lastFailed) *lastFailed = g_lastFailed;
  if (!g_anyGood) return -1;
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - g_lastGood).count();
}
