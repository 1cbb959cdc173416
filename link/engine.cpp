#include "link/engine.h"

#include <algorithm>
#include <chrono>
#include <cstring>

#include "link/frames.h"
#include "link/traffic_log.h"
#include "link/transport.h"
#include "panels/panels.h"
#include "platform/rs232.h"
#include "platform/tcp.h"
#include "platform/tray.h"
#include "platform/ui.h"

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
// Stale bytes discarded before a request, at most: far more than any late answer.
constexpr long long kMaxDrainBytes = 64 * 1024;

constexpr int kModbusTcpPortNumber = 100;
constexpr int kModbusTcpService = 502;

constexpr int kMinRequest = 2;    // slave and function at least
constexpr int kMaxRequest = 253;  // an RTU frame is at most 256 bytes with its CRC
constexpr int kHeadBytes = 3;     // slave, function, byte count (or exception code)
constexpr int kCrcBytes = 2;
constexpr int kMbapBytes = 6;      // Modbus TCP header: transaction, protocol, length
constexpr int kMaxRtuFrame = 260;  // slave, function, byte count 255, 255 data bytes, CRC
constexpr int kMaxPdu = kMaxRtuFrame - kCrcBytes;
// Room to gather one answer: the longest Modbus TCP frame, and one more event beyond it.
constexpr int kGatherSize = kMbapBytes + kMaxPdu + 256;

constexpr unsigned char kExceptionBit = 0x80;

void Show(const char* image) {
  // A file that cannot be loaded leaves the previous image; the exchange goes on regardless.
  WT_SetTrayIconAttr(icono_comunicaciones_barra_tareas, ATTR_TRAY_IMAGE_FILE, image);
}

// When the last exchange ended and how: the main panel's status line tells them.
std::chrono::steady_clock::time_point g_lastGood{};
bool g_anyGood = false, g_lastFailed = false;

// The traffic log, when open: one test of a flag per frame otherwise.
void Logged(traffic::Direction d, traffic::Link link, const unsigned char* bytes, int n) {
  if (traffic::On() && n > 0) traffic::Record(d, link, bytes, static_cast<std::size_t>(n));
}
void Ended(int code) {
  if (traffic::On()) traffic::Finish(code);
}

int FailureEnding(int code) {
  Ended(code);
  g_lastFailed = true;
  Show(kIconError);
  Delay(kClosingPauseS);
  Show(kIconIdle);
  return code;
}

int SuccessEnding() {
  Ended(kModbusOk);
  g_lastGood = std::chrono::steady_clock::now();
  g_anyGood = true;
  g_lastFailed = false;
  Delay(kClosingPauseS);
  Show(kIconIdle);
  return kModbusOk;
}

// ---------------------------------------------------------------- answer layout

// Length of the RTU answer (slave first, CRC included) that its own layout announces, read
// from the first n bytes at hand; 0 while too few are in to tell. Shared by every link kind:
// the serial path reads exactly this much, the TCP paths gather segments until it is in.
// May be below the 5-byte minimum or huge for a bad expected length; callers bound it.
long long AnswerLength(const unsigned char* a, int n, int expectedLength) {
  if (n < 2) return 0;
  const unsigned char fn = a[1];
  if ((fn & kExceptionBit) != 0) return 5;  // slave, function, exception code, CRC
  switch (fn) {
    case 5:
    case 6:
    case 16: return 8;  // slave, function, register hi, lo, value or count hi, lo, CRC
    case 14: return expectedLength;
    case 20: return static_cast<long long>(expectedLength) + 7;
    default:
      if (n < kHeadBytes) return 0;
      return kHeadBytes + static_cast<long long>(a[2]) + kCrcBytes;  // N data bytes
  }
}

// Is this the answer of that request's slave and function (bit 7 set for an exception)?
// A broadcast (slave 0) gets no answer of its own, so any slave is taken there.
bool AnswersRequest(const unsigned char* answer, const unsigned char* request) {
  if (request[0] != 0 && answer[0] != request[0]) return false;
  return answer[1] == request[1] || answer[1] == (request[1] | kExceptionBit);
}

// Does a complete, non-exception answer of `n` bytes (CRC not counted) have the shape that
// its request asks for: the byte count of the registers or bits read, or the echo of the
// write? A frame of another request of the same function (a late answer) fails here.
bool FitsRequest(const unsigned char* answer, int n, const unsigned char* request, int length) {
  const int fn = request[1];
  const int count = length >= 6 ? request[4] << 8 | request[5] : -1;
  switch (fn) {
    case 1:
    case 2: return n >= kHeadBytes && answer[2] == (count + 7) / 8;
    case 3:
    case 4: return n >= kHeadBytes && answer[2] == 2 * count;
    case 5:
    case 6:
    case 16: return n >= 6 && length >= 6 && std::memcmp(answer + 2, request + 2, 4) == 0;
    default: return true;
  }
}

// ---------------------------------------------------------------- serial RTU

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
  Logged(traffic::Direction::kSent, traffic::Link::kSerialRtu, request, frameLength);
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
    rest = AnswerLength(answer, kHeadBytes, expectedLength) - kHeadBytes;
  }
  Show(kIconReceiving);
  // Another slave's or another function's frame is not this request's answer; the flush
  // drops whatever of it is still on the line.
  if (!AnswersRequest(answer, request)) {
    Logged(traffic::Direction::kReceived, traffic::Link::kSerialRtu, answer, kHeadBytes);
    return SerialBadAnswer(port);
  }

  // The frame and the two bytes the CRC check writes after it must fit the buffer.
  if (rest < 0 || kHeadBytes + rest + kCrcBytes > answerSize) return SerialBadAnswer(port);
  const int wanted = static_cast<int>(rest);
  const int got = ComRd(port, head + kHeadBytes, wanted);
  if (got < 0) return SerialBadAnswer(port);  // a runtime error, not a length
  const int received = got + kHeadBytes;
  Logged(traffic::Direction::kReceived, traffic::Link::kSerialRtu, answer, received);

  if ((answer[1] & kExceptionBit) != 0) {
    // Noise that sets bit 7 must not pass for the meter's refusal: an exception is 5 bytes
    // with a CRC of their own.
    constexpr int kExceptionLength = 5;
    if (received >= kExceptionLength && Orba_CRC16(answer, kExceptionLength) == 0)
      return FailureEnding(kModbusException);
    return FailureEnding(kModbusBadAnswer);
  }
  // A short answer fails here, not by luck of the CRC: the echo of a request whose byte 2
  // promises more than arrived would otherwise pass the check as a frame of its own.
  if (got != wanted) return FailureEnding(kModbusBadAnswer);
  Orba_CalculoCRC_2(answer, received);
  if (answer[received] != 0 || answer[received + 1] != 0) return FailureEnding(kModbusBadAnswer);
  if (!FitsRequest(answer, received - kCrcBytes, request, length))
    return FailureEnding(kModbusBadAnswer);
  return SuccessEnding();
}

// ---------------------------------------------------------------- TCP links

// A link whose server has gone (or that is not open at all) cannot answer: fail at once
// instead of writing into it and sitting out the whole poll budget.
bool LinkClosed() { return TCP_Link_Closed != 0 || TCP_handle == 0; }
int ClosedLink() { return FailureEnding(kModbusTcpClosed); }

// Discards bytes left over from an earlier exchange (the tail of a late or split answer,
// bytes after an answer), so they are never taken as the answer to this request. Bounded by
// bytes, not by events: a peer that keeps streaming cannot hold the exchange up for long.
void DrainStaleEvents() {
  long long drained = 0;
  while (drained < kMaxDrainBytes && !TCP_Link_Closed) {
    TCP_Rx_Status = 0;
    ProcessTCPEvents();
    if (TCP_Rx_Status != 1) break;
    drained += std::max(TCP_Bytes_Rx, 1);
  }
  TCP_Rx_Status = 0;
}

// Bytes gathered from successive data events until one answer is complete. A gateway may
// deliver an answer in many segments; one event is never taken for one answer.
struct Gathered {
  unsigned char bytes[kGatherSize];
  int n = 0;
  // Appends the bytes of the last data-ready event; false when they would not fit (no
  // answer of this size exists).
  bool TakeEvent() {
    const int got = std::clamp(TCP_Bytes_Rx, 0, static_cast<int>(kTcpReadMax));
    if (n + got > static_cast<int>(sizeof bytes)) return false;
    CopyBytes(bytes, static_cast<std::size_t>(n), Buffer_TCP_Rx, 0, static_cast<std::size_t>(got));
    n += got;
    return true;
  }
  void Drop(int count) {
    std::memmove(bytes, bytes + count, static_cast<std::size_t>(n - count));
    n -= count;
  }
};

struct Exchange {
  const unsigned char* request;
  int length;
  int expectedLength;
  int answerSize;
  unsigned tid;          // Modbus TCP only
  int answerLength = 0;  // set when an answer is complete: the frame is at the front
};

// Verdict on what has been gathered so far: 0 while the answer is incomplete, 1 when it is
// complete, else a failure code.
using Assess = int (*)(Gathered& g, Exchange& x);

// Lets the runtime deliver TCP events once; a data event is added to what was gathered and
// assessed. The verdict, 0 while the answer is incomplete.
int CheckForAnswer(Gathered& g, Assess assess, Exchange& x) {
  TCP_Rx_Status = 0;
  ProcessTCPEvents();
  if (TCP_Rx_Status != 1) return 0;
  return g.TakeEvent() ? assess(g, x) : kModbusBadAnswer;
}

// Polls for the answer: each poll waits 0.01 s, then checks. An answer already in when the
// polling starts (Modbus TCP has waited 0.15 s since its write) is taken by a check before
// the first poll's wait; that check is not one of the 1000 polls, which keep their waits.
// 1 when a complete answer is in, otherwise the failure code.
int AwaitAnswer(Gathered& g, Assess assess, Exchange& x) {
  int count = kPolls;
  int verdict = CheckForAnswer(g, assess, x);
  while (verdict == 0 && TCP_Rx_Status >= 0 && TCP_Rx_Status != 2 && count > 0) {
    Delay(kPollS);
    --count;
    verdict = CheckForAnswer(g, assess, x);
  }
  // Tested first: an answer that completes in the very last poll is a time-out too.
  if (count == 0) return kModbusTcpTimeout;
  if (verdict != 0) return verdict;
  if (TCP_Rx_Status < 0) return TCP_Rx_Status;
  return kModbusTcpClosed;
}

// Modbus TCP: the header's transaction and protocol identifiers must be this request's. A
// frame with others (a late answer to an earlier request) is skipped whole and the wait goes
// on; the header's length says where the frame ends.
int AssessMbap(Gathered& g, Exchange& x) {
  while (g.n >= kMbapBytes) {
    const int pdu = g.bytes[4] << 8 | g.bytes[5];
    const bool ours = g.bytes[0] == ((x.tid >> 8) & 0xFFu) && g.bytes[1] == (x.tid & 0xFFu) &&
                      g.bytes[2] == 0 && g.bytes[3] == 0;
    if (!ours) {
      if (kMbapBytes + pdu > static_cast<int>(sizeof g.bytes)) {
        g.n = 0;  // no frame is that long: nothing gathered can be trusted
        return 0;
      }
      if (g.n < kMbapBytes + pdu) return 0;  // the rest of the foreign frame, to skip it
      g.Drop(kMbapBytes + pdu);
      continue;
    }
    // Slave and function at least; and the answer must fit its buffer.
    if (pdu < 2 || pdu > x.answerSize || pdu > kMaxPdu) return kModbusBadAnswer;
    if (g.n < kMbapBytes + pdu) return 0;
    x.answerLength = pdu;
    return kModbusOk;
  }
  return 0;
}

// RTU over TCP: the frame's own layout says when it is complete (CRC included, though the
// CRC is not verified on this kind of link). Another slave or function fails at once.
int AssessRtu(Gathered& g, Exchange& x) {
  if (g.n < 2) return 0;
  if (!AnswersRequest(g.bytes, x.request)) return kModbusBadAnswer;
  const long long total = AnswerLength(g.bytes, g.n, x.expectedLength);
  if (total == 0) return 0;
  if (total < kHeadBytes + kCrcBytes || total > x.answerSize || total > kMaxRtuFrame)
    return kModbusBadAnswer;
  if (g.n < total) return 0;
  x.answerLength = static_cast<int>(total);
  return kModbusOk;
}

// Verdict on a complete answer of n bytes at `answer` (CRC not counted; none is checked on
// TCP links).
int JudgeTcpAnswer(const unsigned char* answer, int n, const Exchange& x) {
  if (!AnswersRequest(answer, x.request)) return FailureEnding(kModbusBadAnswer);
  if ((answer[1] & kExceptionBit) != 0)
    return FailureEnding(n >= kHeadBytes ? kModbusException : kModbusBadAnswer);
  const long long layout = AnswerLength(answer, n, x.expectedLength) - kCrcBytes;
  if (layout <= 0 || n < layout) return FailureEnding(kModbusBadAnswer);
  if (!FitsRequest(answer, n, x.request, x.length)) return FailureEnding(kModbusBadAnswer);
  return SuccessEnding();
}

// Marks the link closed when a write found the server gone.
void NoteWriteResult(int written) {
  if (written == kRtErrConnClosed) TCP_Link_Closed = 1;
}

int ModbusTcp(const unsigned char* request, int length, unsigned char* answer, int expectedLength,
              int answerSize) {
  DrainStaleEvents();
  if (LinkClosed()) return ClosedLink();
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
  TCP_Rx_Status = 0;
  const int frameLength = length + kMbapBytes;
  Logged(traffic::Direction::kSent, traffic::Link::kModbusTcp, frame, frameLength);
  const int written = ClientTCPWrite(TCP_handle, frame, static_cast<std::size_t>(frameLength), 0);
  NoteWriteResult(written);
  Delay(kAfterTcpWriteS);
  if (written != frameLength) return FailureEnding(kModbusNoAnswer);

  Show(kIconReceiving);
  Exchange x{request, length, expectedLength, answerSize, tid & 0xFFFFu};
  Gathered g;
  const int status = AwaitAnswer(g, AssessMbap, x);
  Logged(traffic::Direction::kReceived, traffic::Link::kModbusTcp, g.bytes, g.n);
  if (status != kModbusOk) return FailureEnding(status);
  CopyBytes(answer, 0, g.bytes, kMbapBytes, static_cast<std::size_t>(x.answerLength));
  return JudgeTcpAnswer(answer, x.answerLength, x);
}

int RtuOverTcp(unsigned char* request, int length, unsigned char* answer, int expectedLength,
               int answerSize) {
  Orba_CalculoCRC_2(request, length);
  const int frameLength = length + kCrcBytes;
  unsigned char frame[kMaxRequest + kCrcBytes];
  std::memcpy(frame, request, static_cast<std::size_t>(frameLength));
  DrainStaleEvents();
  if (LinkClosed()) return ClosedLink();

  Show(kIconSending);
  TCP_Rx_Status = 0;
  Logged(traffic::Direction::kSent, traffic::Link::kRtuOverTcp, frame, frameLength);
  const int written = ClientTCPWrite(TCP_handle, frame, static_cast<std::size_t>(frameLength), 0);
  NoteWriteResult(written);
  if (written != frameLength) return FailureEnding(kModbusNoAnswer);

  Show(kIconReceiving);
  Exchange x{request, length, expectedLength, answerSize, 0};
  Gathered g;
  const int status = AwaitAnswer(g, AssessRtu, x);
  Logged(traffic::Direction::kReceived, traffic::Link::kRtuOverTcp, g.bytes, g.n);
  if (status != kModbusOk) return FailureEnding(status);
  CopyBytes(answer, 0, g.bytes, 0, static_cast<std::size_t>(x.answerLength));
  return JudgeTcpAnswer(answer, x.answerLength - kCrcBytes, x);
}

}  // namespace

int Orba_Transmitir_Modbus(int port, unsigned char* request, int length, unsigned char* answer,
                           int expectedLength, int /*report*/, const char* /*telephone*/,
                           int tcpPort, const char* host, int answerSize) {
  Show(kIconIdle);
  if (request == nullptr || answer == nullptr || length < kMinRequest || length > kMaxRequest ||
      answerSize < kHeadBytes + kCrcBytes)
    return FailureEnding(kModbusNoAnswer);

  if (port < kFirstTcpPort)
    return SerialRtu(port, request, length, answer, expectedLength, answerSize);
  if (host == nullptr || *host == '\0') return kModbusException;  // nothing is written
  if (tcpPort == kModbusTcpService || port == kModbusTcpPortNumber)
    return ModbusTcp(request, length, answer, expectedLength, answerSize);
  return RtuOverTcp(request, length, answer, expectedLength, answerSize);
}

int Orba_GEN_Presenta_iconos_comunicaciones_solo_semaforo(void) {
  return WT_InstallSysTrayIcon(kIconIdle, kAppTitle, Hace_nada_con_el_icono_de_tareas,
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
