// The traffic log: decoding, its bound, and the frames the engine notes on each link kind
// against the simulator (a read and a time-out).
#include <gtest/gtest.h>

#include <memory>

#include "link/engine.h"
#include "link/traffic_log.h"
#include "link/transport.h"
#include "platform/ui.h"
#include "sim_harness.h"

using namespace vtest;

namespace {

traffic::Frame Made(traffic::Direction d, traffic::Link link, const Bytes& bytes) {
  traffic::Frame f;
  f.direction = d;
  f.link = link;
  f.size = static_cast<std::uint16_t>(bytes.size());
  std::copy(bytes.begin(), bytes.end(), f.bytes);
  return f;
}

TEST(TrafficLog, DecodesRequestsAnswersAndExceptions) {
  using D = traffic::Direction;
  using L = traffic::Link;
  struct Row {
    D d;
    L link;
    Bytes bytes;
    const char* summary;
  } rows[] = {
      {D::kSent, L::kSerialRtu, WithCrc(Hex("01 06 1000 0005")),
       "slave 1, fn 6, address 4096, value 5"},
      {D::kSent, L::kSerialRtu, WithCrc(Hex("01 10 100A 0001 02 0000")),
       "slave 1, fn 16, address 4106, count 1, bytes 2"},
      {D::kReceived, L::kSerialRtu, WithCrc(Hex("01 10 100A 0001")),
       "slave 1, fn 16, address 4106, count 1"},
      {D::kReceived, L::kModbusTcp, Hex("0005 0000 0003 01 90 04"),
       "tid 5, slave 1, fn 16, exception 04: slave device failure"},
      {D::kReceived, L::kSerialRtu, Hex("01 03 02 0001 0000"),
       "slave 1, fn 3, bytes 2, values 1, CRC error"},
      {D::kReceived, L::kModbusTcp, Hex("0001 0000 0000 01 03"), "incomplete frame"},  // length 0
  };
  for (const Row& r : rows)
    EXPECT_EQ(traffic::Summary(Made(r.d, r.link, r.bytes)), r.summary) << ToHex(r.bytes);
  EXPECT_EQ(traffic::ResultText(-4), "time-out");
  EXPECT_EQ(traffic::ResultText(-7), "link error -7");
}

TEST(TrafficLog, KeepsTheLastTenThousandFrames) {
  traffic::Clear();
  const std::uint64_t before = traffic::Total();
  const Bytes frame = WithCrc(Hex("01 03 0400 0002"));
  for (std::size_t i = 0; i < traffic::kCapacity + 5; ++i)
    traffic::Record(traffic::Direction::kSent, traffic::Link::kSerialRtu, frame.data(),
                    frame.size());
  EXPECT_EQ(traffic::Count(), traffic::kCapacity);
  EXPECT_EQ(traffic::At(0).number, before + 6);  // the five oldest went
  EXPECT_EQ(traffic::At(traffic::kCapacity - 1).number, before + traffic::kCapacity + 5);
  const std::string csv = traffic::ExportCsv(';');
  EXPECT_EQ(std::count(csv.begin(), csv.end(), '\n'), 1 + static_cast<long>(traffic::kCapacity));
  traffic::Clear();
  EXPECT_EQ(traffic::Count(), 0u);
}

// Each link kind against the simulator (slave 1; a silent one for the Modbus TCP time-out).
TEST(TrafficLog, EngineNotesEveryFrameWithItsResult) {
  static char arg0[] = "test_traffic_log";
  static char* argv[] = {arg0, nullptr};
  ASSERT_EQ(InitUIRuntime(nullptr, argv, nullptr), 1);
  simtest::SimProcess sim({"--serial", "--tcp", "0", "--rtu-over-tcp", "0"});
  simtest::SimProcess silent({"--silent", "--tcp", "0"});
  const std::string pty = sim.endpoint("serial");
  ASSERT_FALSE(pty.empty()) << sim.err();
  ComEnv com(4, pty);
  struct Link {
    const char* name;
    int port, tcpPort, silentTcpPort;
  } links[] = {{"serial", 4, 0, 0},
               {"modbus tcp", 100, sim.port("tcp"), silent.port("tcp")},
               {"rtu over tcp", 101, sim.port("rtu-over-tcp"), 0}};
  traffic::SetOn(true);
  for (const Link& l : links) {
    for (const bool timeout : {false, true}) {  // slave 9 is nobody: no answer
      SCOPED_TRACE(std::string(l.name) + (timeout ? ": time-out" : ": read"));
      const int tcpPort = timeout && l.silentTcpPort != 0 ? l.silentTcpPort : l.tcpPort;
      ASSERT_EQ(Orba_Abrir_Puerto(l.port, 9600, 8, 0, 1, static_cast<std::uint16_t>(tcpPort),
                                  "127.0.0.1"),
                0);
      traffic::Clear();
      unsigned char frame[kTramaSize] = {std::uint8_t(timeout ? 9 : 1), 3, 4, 0, 0, 2};
      unsigned char answer[kAnswerBufferSize] = {};
      const int rc =
          Orba_Transmitir_Modbus(l.port, frame, 6, answer, 8, 0, Telefono, tcpPort, "127.0.0.1");
      Orba_Cerrar_Puerto(l.port);
      const int want = !timeout ? 1 : l.port == 4 ? kModbusNoAnswer : kModbusTcpTimeout;
      EXPECT_EQ(rc, want);
      ASSERT_EQ(traffic::Count(), timeout ? 1u : 2u);
      const std::string tid = l.port == 100 ? "tid 1, " : "";
      EXPECT_EQ(traffic::Summary(traffic::At(0)),
                tid + "slave " + (timeout ? "9" : "1") + ", fn 3, address 1024, count 2");
      if (!timeout) {
        EXPECT_EQ(traffic::Summary(traffic::At(1)), tid + "slave 1, fn 3, bytes 4, values 2");
      }
      for (std::size_t i = 0; i < traffic::Count(); ++i)
        EXPECT_EQ(traffic::ResultText(traffic::At(i).result), traffic::ResultText(want));
    }
  }
  traffic::SetOn(false);
}

}  // namespace
