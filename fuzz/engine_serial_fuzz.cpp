// Fuzz target: the transaction engine's serial RTU answer path, fed from a scripted line.
//
// Input layout (bytes past the end read as 0):
//   [0] request kind (BuildRequest); bit 7: an extreme expected length
//   [1] request parameter (register count, or raw request length)
//   [2] answer buffer size (AnswerSize)
//   [3..4] expected length, signed 16 bits high first (or, with bit 7 of [0], an extreme)
//   [5] what ComWrt reports (WritePlan)
//   [6], [7] plan of the first and second ComRd: 0xFF as much as the line holds,
//       0xF0..0xFE a runtime error, else a cap (a time-out part way)
//   [8] serial port 1..98
//   then the raw request bytes (kind 3 only), then the bytes the meter sends.
//
// Checked after every exchange: the canaries behind the answer and the request, the result
// is 1, -1, -2 or -3, the frame on the wire is the request with its CRC, a success holds
// exactly the bytes the line delivered with a CRC that checks, an exception answer has bit
// 7 of its function set, the indicator starts and ends idle and shows the error image
// exactly on failure, and the pauses asked for stay bounded.
#include <cstdint>
#include <cstring>

#include "engine_common.h"
#include "link/transport.h"

using namespace fuzzing;

namespace {

int ReadPlan(std::uint8_t b) {
  if (b == 0xFF) return -1;
  if (b >= 0xF0) {
    constexpr int kErrors[] = {-9, -15, -3, -10, -18, -1, -8, -4};
    return kErrors[b & 7];
  }
  return b;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Reader in(data, size);
  const std::uint8_t kind = in.Byte();
  const std::uint8_t param = in.Byte();
  const int answerSize = AnswerSize(in.Byte());
  const std::uint8_t pick = in.Byte();
  const int small = static_cast<std::int16_t>(static_cast<std::uint16_t>(pick << 8 | in.Byte()));
  const int expected = ExpectedLength((kind & 0x80) != 0, pick, small);
  const std::uint8_t writeByte = in.Byte();
  const int read0 = ReadPlan(in.Byte());
  const int read1 = ReadPlan(in.Byte());
  const int port = 1 + in.Byte() % 98;

  Request req = BuildRequest(kind, param, in);
  fake::SerialScript script;
  script.writeResult = WritePlan(writeByte, req.length + 2);
  script.readPlan[0] = read0;
  script.readPlan[1] = read1;
  script.line = in.Rest();
  script.lineSize = in.RestSize();
  fake::SetSerialScript(script);

  fake::Check(Orba_Abrir_Puerto(port, 9600, 8, 0, 1, 0, "") == 0, "serial open failed");
  Fenced answer(static_cast<std::size_t>(answerSize));
  fake::ResetIndicator();
  const int rc = Orba_Transmitir_Modbus(port, req.buf->data(), req.length, answer.data(), expected,
                                        0, Telefono, 0, "", answerSize);
  Orba_Cerrar_Puerto(port);

  fake::Check(answer.Intact(), "answer stored beyond its buffer");
  fake::Check(req.buf->Intact(), "request buffer written beyond its CRC");
  fake::Check(
      rc == kModbusOk || rc == kModbusNoAnswer || rc == kModbusBadAnswer || rc == kModbusException,
      "serial result is not one of 1, -1, -2, -3");
  CheckIndicator(rc);
  // At most two closing pauses (a serial no-answer shows the error image twice).
  fake::Check(fake::Paused() < 0.31, "serial exchange paused longer than two closing pauses");
  fake::Check(fake::SerialReads() <= 2, "more than two reads in one exchange");

  const auto& writes = fake::SerialWrites();
  if (!ValidLength(req.length)) {
    fake::Check(rc == kModbusNoAnswer && writes.empty(), "bad request length was not refused");
    return 0;
  }
  fake::Check(writes.size() == 1, "one exchange, one write");
  const fake::Bytes& wire = writes.front();
  fake::Check(
      wire.size() == static_cast<std::size_t>(req.length) + 2 &&
          std::memcmp(wire.data(), req.original, static_cast<std::size_t>(req.length)) == 0 &&
          Orba_CRC16(wire.data(), wire.size()) == 0,
      "frame on the wire is not the request with its CRC");
  if (fake::SerialReads() > 0) {
    const double want = req.original[1] == 1 ? 5.0 : 2.0;
    fake::Check(fake::SerialTimeoutAtLastRead() == want, "read under the wrong time-out");
  }

  const fake::Bytes& got = fake::SerialDelivered();
  if (rc == kModbusOk) {
    fake::Check(got.size() >= 3 && got.size() + 2 <= static_cast<std::size_t>(answerSize),
                "success with an answer of impossible length");
    fake::Check(std::memcmp(answer.data(), got.data(), got.size()) == 0,
                "answer buffer differs from the bytes received");
    fake::Check(Orba_CRC16(got.data(), got.size()) == 0, "success with a CRC that fails");
    fake::Check((answer.data()[1] & 0x80) == 0, "success on an exception answer");
    fake::Check((req.original[0] == 0 || answer.data()[0] == req.original[0]) &&
                    answer.data()[1] == req.original[1],
                "success on another slave's or function's answer");
  }
  if (rc == kModbusException) {
    fake::Check(got.size() >= 5 && (answer.data()[1] & 0x80) != 0 && Orba_CRC16(got.data(), 5) == 0,
                "exception result without an intact exception answer");
  }
  return 0;
}
