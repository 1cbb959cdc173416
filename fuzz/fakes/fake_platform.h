// Stand-ins for the platform layer under the transaction engine, for the fuzz targets: a
// serial line and a TCP connection that serve scripted bytes, a tray that records the
// indicator's images, and a Delay that only adds up the pauses asked for. No sockets, no
// devices, no Qt, no sleeping: an exchange costs microseconds.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace fake {

using Bytes = std::vector<std::uint8_t>;

// Aborts with a message: the fuzz targets' way of reporting a broken invariant.
[[noreturn]] void Fail(const char* what);
inline void Check(bool ok, const char* what) {
  if (!ok) Fail(what);
}

// ---- indicator and pauses, reset per exchange

// Images shown since ResetIndicator, one letter each (trffc_a.ico -> 'a').
const std::string& Images();
void ResetIndicator();
// Seconds of pause requested through Delay since ResetIndicator.
double Paused();

// ---- serial line

// What the meter does for one exchange on the serial line.
struct SerialScript {
  // ComWrt: -1 writes everything; otherwise the count it claims (may be short, or a
  // negative runtime code).
  int writeResult = -1;
  // Per ComRd call (in order): -1 delivers what is asked for as far as the line holds it;
  // 0..count caps the read (a time-out in mid-answer); a negative runtime code fails the read.
  int readPlan[2] = {-1, -1};
  // The bytes the meter sends after the request.
  const std::uint8_t* line = nullptr;
  std::size_t lineSize = 0;
};

void SetSerialScript(const SerialScript& s);
// Frames written with ComWrt since SetSerialScript, and the bytes handed out by ComRd.
const std::vector<Bytes>& SerialWrites();
const Bytes& SerialDelivered();
int SerialReads();
// The time-out in force when ComRd was last called.
double SerialTimeoutAtLastRead();

// ---- TCP connection

// Record types of a TCP event script; see the engine TCP target for the byte layout.
struct TcpScript {
  // ClientTCPWrite: -1 writes everything; otherwise the result it returns.
  int writeResult = -1;
  const std::uint8_t* events = nullptr;
  std::size_t eventsSize = 0;
};

void SetTcpScript(const TcpScript& s);
const std::vector<Bytes>& TcpWrites();
// Bytes of the most recent successful ClientTCPRead.
const Bytes& TcpLastRead();
// Every negative code a ClientTCPRead returned since SetTcpScript.
const std::vector<int>& TcpReadErrors();
// ProcessTCPEvents calls since SetTcpScript.
long TcpPolls();
bool TcpConnected();

}  // namespace fake
