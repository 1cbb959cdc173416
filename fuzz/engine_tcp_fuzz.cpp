// Fuzz target: the transaction engine's two TCP answer paths (Modbus TCP and RTU frames over
// TCP), fed as data-ready and disconnect events by a scripted connection.
//
// Input layout (bytes past the end read as 0):
//   [0] bits 0-1 the link: 0 port 100 (Modbus TCP), 1 port 101 with TCP port 502 (Modbus
//       TCP), 2 port 101 (RTU over TCP), 3 port 99 (RTU over TCP); bits 2-4 all set: an
//       empty host; bits 5-6: 1..4 exchanges on the one connection
//   [1] request kind (BuildRequest); bit 7: an extreme expected length
//   [2] request parameter
//   [3] answer buffer size (AnswerSize)
//   [4..5] expected length, signed 16 bits high first (or an extreme)
//   [6] what ClientTCPWrite reports (WritePlan)
//   then the raw request bytes (kind 3 only), then the event script, one record per
//   ProcessTCPEvents call:
//     00..DF  n + 1 bytes arrive (they follow the record) and a data-ready event fires
//     E0 b    225 + b bytes arrive: more than one read of 255 takes; the rest stays
//             readable and fires again at the next call
//     E1..EE  nothing happens for (record - E0) calls
//     EF      the peer falls silent for longer than any wait
//     F0..F3  the server closes the connection
//     F4..FA  a data-ready event whose read fails with a runtime error code
//     FB..FE  the next 2..5 records are delivered in this one call
//     FF      nothing
//   Events are consumed from the drain before each request as well as from the wait.
//
// Checked after every exchange: canaries, the result is 1, -1 .. -5 or a read error the
// connection produced, the frame on the wire (header with the transaction counter, or the
// request with its CRC; nothing on a link known closed, which gives -5), a success holds an
// answer of the request's slave and function, -3 means an exception answer or an empty
// host, the indicator, the pauses and the number of polls stay bounded.
#include <algorithm>
#include <cstdint>
#include <cstring>

#include "engine_common.h"
#include "link/transport.h"

using namespace fuzzing;

namespace {

struct LinkChoice {
  int port;
  int tcpPort;
  bool mbap;
};

constexpr LinkChoice kLinks[] = {
    {100, 1502, true}, {101, 502, true}, {101, 1502, false}, {99, 4001, false}};

// Polls one exchange may make: the drain before the request (bounded by 64 KiB, one byte
// per event at worst), then the wait.
constexpr long kMaxPolls = 64 * 1024 + 1000 + 1;
// Pauses one exchange may ask for: after a Modbus TCP write, the poll waits, the closing one.
constexpr double kMaxPause = 0.15 + 1000 * 0.01 + 0.15 + 1e-6;

bool IsReadError(int rc) {
  const auto& e = fake::TcpReadErrors();
  return std::find(e.begin(), e.end(), rc) != e.end();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Reader in(data, size);
  const std::uint8_t linkByte = in.Byte();
  const LinkChoice link = kLinks[linkByte & 3];
  const bool emptyHost = ((linkByte >> 2) & 7) == 7;
  const int exchanges = 1 + ((linkByte >> 5) & 3);
  const std::uint8_t kind = in.Byte();
  const std::uint8_t param = in.Byte();
  const int answerSize = AnswerSize(in.Byte());
  const std::uint8_t pick = in.Byte();
  const int small = static_cast<std::int16_t>(static_cast<std::uint16_t>(pick << 8 | in.Byte()));
  const int expected = ExpectedLength((kind & 0x80) != 0, pick, small);
  const std::uint8_t writeByte = in.Byte();

  Request req = BuildRequest(kind, param, in);
  const int frameLength = req.length + (link.mbap ? 6 : 2);
  fake::TcpScript script;
  script.writeResult = WritePlan(writeByte, frameLength);
  script.events = in.Rest();
  script.eventsSize = in.RestSize();
  fake::SetTcpScript(script);

  fake::Check(Orba_Abrir_Puerto(link.port, 0, 8, 0, 1, static_cast<unsigned short>(link.tcpPort),
                                "127.0.0.1") == 0,
              "connect failed");
  fake::Check(Contador_TCP == 1, "a new connection must start at transaction 1");
  const char* host = emptyHost ? "" : "127.0.0.1";

  for (int x = 0; x < exchanges; ++x) {
    // The engine writes the CRC into the request; start each exchange from the original.
    std::memcpy(req.buf->data(), req.original, static_cast<std::size_t>(req.length));
    Fenced answer(static_cast<std::size_t>(answerSize));
    const std::size_t writesBefore = fake::TcpWrites().size();
    const long pollsBefore = fake::TcpPolls();
    const int counterBefore = Contador_TCP;
    fake::ResetIndicator();

    const int rc = Orba_Transmitir_Modbus(link.port, req.buf->data(), req.length, answer.data(),
                                          expected, 0, Telefono, link.tcpPort, host, answerSize);

    fake::Check(answer.Intact(), "answer stored beyond its buffer");
    fake::Check(req.buf->Intact(), "request buffer written beyond its CRC");
    fake::Check(
        (rc == kModbusOk || (rc <= kModbusNoAnswer && rc >= kModbusTcpClosed)) || IsReadError(rc),
        "TCP result is none of 1, -1 .. -5 or a read error of the connection");
    fake::Check(fake::Paused() <= kMaxPause, "TCP exchange paused beyond its bounds");
    fake::Check(fake::TcpPolls() - pollsBefore <= kMaxPolls,
                "TCP exchange polled beyond its bounds");

    const auto& writes = fake::TcpWrites();
    if (!ValidLength(req.length)) {
      fake::Check(rc == kModbusNoAnswer && writes.size() == writesBefore,
                  "bad request length was not refused");
      CheckIndicator(rc);
      continue;
    }
    if (emptyHost) {
      fake::Check(rc == kModbusException && fake::Images() == "a" &&
                      writes.size() == writesBefore && Contador_TCP == counterBefore,
                  "empty host: -3 with nothing written and the indicator idle");
      continue;
    }
    CheckIndicator(rc);
    if (writes.size() == writesBefore) {
      fake::Check(rc == kModbusTcpClosed && fake::Images() == "ada",
                  "nothing written: only a link known closed, failing at once");
      continue;
    }
    fake::Check(writes.size() == writesBefore + 1, "one exchange, one write");
    const fake::Bytes& wire = writes.back();
    fake::Check(wire.size() == static_cast<std::size_t>(frameLength), "frame length on the wire");
    if (link.mbap) {
      const unsigned tid = static_cast<unsigned>(counterBefore);
      const std::uint8_t head[6] = {static_cast<std::uint8_t>((tid >> 8) & 0xFF),
                                    static_cast<std::uint8_t>(tid & 0xFF),
                                    0,
                                    0,
                                    static_cast<std::uint8_t>(req.length >> 8),
                                    static_cast<std::uint8_t>(req.length & 0xFF)};
      fake::Check(std::memcmp(wire.data(), head, 6) == 0, "Modbus TCP header on the wire");
      fake::Check(
          std::memcmp(wire.data() + 6, req.original, static_cast<std::size_t>(req.length)) == 0,
          "Modbus TCP request on the wire");
      fake::Check(Contador_TCP == ((counterBefore + 1) & 0x7FFFFFFF), "transaction counter step");
    } else {
      fake::Check(
          std::memcmp(wire.data(), req.original, static_cast<std::size_t>(req.length)) == 0 &&
              Orba_CRC16(wire.data(), wire.size()) == 0,
          "RTU over TCP frame on the wire is not the request with its CRC");
    }

    if (rc == kModbusOk) {
      // Gathered from one or more events: the request's own slave (any for a broadcast) and
      // function, never an exception.
      fake::Check(req.original[0] == 0 || answer.data()[0] == req.original[0],
                  "success on another slave's answer");
      fake::Check(answer.data()[1] == req.original[1], "success on another function's answer");
    }
    if (rc == kModbusException)
      fake::Check((answer.data()[1] & 0x80) != 0, "-3 without an exception answer");
  }

  Orba_Cerrar_Puerto(link.port);
  fake::Check(!fake::TcpConnected(), "close left the connection open");
  return 0;
}
