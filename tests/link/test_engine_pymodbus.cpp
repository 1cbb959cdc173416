// The engine against pymodbus playing the meter: serial RTU (behind a pty), Modbus TCP and
// RTU over TCP. Reads and writes are checked byte for byte against what the register map
// of the peer must give.
#include "engine_fixture.h"

using namespace vtest;

namespace {

struct PeerCase {
  Kind kind;
  const char* mode;  // argument of pymodbus_meter.py
};

class EnginePymodbus : public ::testing::TestWithParam<PeerCase> {
 protected:
  void SetUp() override {
    EngineEnvironment::Get();
    const PeerCase c = GetParam();
    peer_ = std::make_unique<Child>(std::vector<std::string>{
        SystemPython(), VELDIX_TEST_DATA "/peers/pymodbus_meter.py", c.mode});
    const std::string line = peer_->ReadLine(Ms(20000));
    ASSERT_EQ(line.rfind("READY ", 0), 0u) << "pymodbus peer did not start: '" << line << "'";
    const std::string where = line.substr(6);
    if (c.kind == Kind::Serial) {
      env_ = std::make_unique<ComEnv>(kSerialPort, where);
      port_ = kSerialPort;
      ASSERT_EQ(Orba_Abrir_Puerto(port_, 19200, 8, 0, 1, 0, ""), 0)
          << GetRS232ErrorString(kRtErrUnknown);
    } else {
      tcpPort_ = std::stoi(where);
      port_ = c.kind == Kind::ModbusTcp ? 100 : 101;
      ASSERT_EQ(Orba_Abrir_Puerto(port_, 0, 8, 0, 1, static_cast<unsigned short>(tcpPort_),
                                  "127.0.0.1"),
                0);
    }
  }
  void TearDown() override { Orba_Cerrar_Puerto(port_); }

  int Exchange(const Bytes& request, AnswerBuf& ans) {
    std::copy(request.begin(), request.end(), Trama_Peticion);
    return Orba_Transmitir_Modbus(port_, Trama_Peticion, static_cast<int>(request.size()),
                                  ans.data(), 0, 0, Telefono, tcpPort_, "127.0.0.1");
  }
  // The answer as this link stores it: RTU whole with its CRC, Modbus TCP without header.
  Bytes Stored(const Bytes& pdu) const {
    return GetParam().kind == Kind::ModbusTcp ? pdu : WithCrc(pdu);
  }

  static constexpr int kSerialPort = 2;
  std::unique_ptr<Child> peer_;
  std::unique_ptr<ComEnv> env_;
  int port_ = 0;
  int tcpPort_ = 0;
};

TEST_P(EnginePymodbus, ReadFiftyWriteEightReadThemBack) {
  AnswerBuf read;
  ASSERT_EQ(Exchange(ReadRequest(1024, 50), read), 1);
  Bytes want{1, 3, 100};
  const Bytes d = RegisterData(1024, 50);
  want.insert(want.end(), d.begin(), d.end());
  want = Stored(want);
  EXPECT_EQ(ToHex(read.Head(want.size())), ToHex(want));
  EXPECT_TRUE(read.CanaryIntact());

  const std::vector<std::uint16_t> values{0x07E8, 0x0601, 0x0C1E, 0x0000,
                                          0xFFFF, 0x8000, 0x1234, 0x00FF};
  AnswerBuf write;
  ASSERT_EQ(Exchange(WriteRequest(4096, values), write), 1);
  const Bytes ack = Stored(Hex("01 10 10 00 00 08"));
  EXPECT_EQ(ToHex(write.Head(ack.size())), ToHex(ack));

  AnswerBuf back;
  ASSERT_EQ(Exchange(ReadRequest(4096, 8), back), 1);
  Bytes echo{1, 3, 16};
  for (auto v : values) {
    echo.push_back(static_cast<std::uint8_t>(v >> 8));
    echo.push_back(static_cast<std::uint8_t>(v & 0xFF));
  }
  echo = Stored(echo);
  EXPECT_EQ(ToHex(back.Head(echo.size())), ToHex(echo));
}

// pymodbus answers a read of more than 125 registers with exception 3 (illegal value).
TEST_P(EnginePymodbus, ExceptionFromTheMeterIsMinusThree) {
  AnswerBuf ans;
  EXPECT_EQ(Exchange(ReadRequest(0, 200), ans), -3);
  const Bytes want = Stored(Hex("01 83 03"));
  EXPECT_EQ(ToHex(ans.Head(want.size())), ToHex(want));
  AnswerBuf again;
  EXPECT_EQ(Exchange(ReadRequest(4099, 1), again), 1);
}

INSTANTIATE_TEST_SUITE_P(Peers, EnginePymodbus,
                         ::testing::Values(PeerCase{Kind::Serial, "serial"},
                                           PeerCase{Kind::ModbusTcp, "tcp"},
                                           PeerCase{Kind::RtuTcp, "rtu-over-tcp"}),
                         [](const auto& info) { return std::string(KindName(info.param.kind)); });

}  // namespace
