// The transaction engine against our own scripted meter on a pty and on loopback TCP:
// result codes, bytes on the wire, the answer buffer's bounds, and the link indicator.
#include "engine_fixture.h"

using namespace vtest;

namespace {

class Engine : public ::testing::Test {
 protected:
  void SetUp() override {
    EngineEnvironment::Get();
    StartRecording();
  }
};

// ------------------------------------------------------------------ good exchanges

TEST_F(Engine, ModbusTcpStripsTheHeaderAndCountsTransactions) {
  Link link(Kind::ModbusTcp);
  for (int i = 0; i < 3; ++i) {
    AnswerBuf ans;
    ASSERT_EQ(link.Exchange(ReadRequest(1024, 50), ans), 1);
    Bytes want{1, 3, 100};
    const Bytes d = RegisterData(1024, 50);
    want.insert(want.end(), d.begin(), d.end());
    EXPECT_EQ(ToHex(ans.Head(103)), ToHex(want));
  }
  link.Open();  // a new connection starts again at 1
  AnswerBuf ans;
  ASSERT_EQ(link.Exchange(WriteRequest(4128, {1, 2}), ans), 1);
  EXPECT_EQ(ToHex(ans.Head(6)), "01101020" "0002");

  const auto req = link.meter().Requests();
  ASSERT_EQ(req.size(), 4u);
  EXPECT_EQ(ToHex(req[0]), "000100000006" "010304000032");
  EXPECT_EQ(ToHex(Bytes(req[1].begin(), req[1].begin() + 2)), "0002");
  EXPECT_EQ(ToHex(Bytes(req[2].begin(), req[2].begin() + 2)), "0003");
  EXPECT_EQ(ToHex(req[3]), "00010000000b" "011010200002040001" "0002");
  EXPECT_EQ(link.meter().Accepted(), 2);
}

// Port 100 always means Modbus TCP; otherwise TCP port 502 does. The engine frames by
// these numbers alone, so a meter on an ephemeral port can stand in for 502.
TEST_F(Engine, LinkKindFollowsPortAndTcpPort) {
  struct Case {
    int port;
    bool tcp502;
    Framing framing;
  };
  for (const Case c : {Case{100, false, Framing::Mbap}, Case{101, false, Framing::Rtu},
                       Case{101, true, Framing::Mbap}, Case{99, true, Framing::Mbap},
                       Case{150, false, Framing::Rtu}}) {
    ScriptedMeter meter(c.framing);
    ASSERT_EQ(Orba_Abrir_Puerto(c.port, 0, 8, 0, 1, meter.port(), "127.0.0.1"), 0);
    unsigned char req[kTramaSize];
    Orba_Comando_Lectura(1, 3, 4099, 1, req);
    AnswerBuf ans;
    EXPECT_EQ(Orba_Transmitir_Modbus(c.port, req, 6, ans.data(), 2, 0, Telefono,
                                     c.tcp502 ? 502 : meter.port(), "127.0.0.1"),
              1)
        << "port " << c.port << (c.tcp502 ? " with TCP port 502" : "");
    Orba_Cerrar_Puerto(c.port);
  }
}

// ------------------------------------------------------------------ the fault table

using Make = std::function<Script(Kind)>;

struct Fault {
  const char* name;
  Kind kind;
  Bytes request;
  Make script;
  int expect;
  const char* images;  // indicator sequence
  int answerSize = kAnswerBufferSize;
  int expected = 0;    // expected-length argument
  bool reconnect = false;
  bool nextGood = true;
};

void PrintTo(const Fault& f, std::ostream* os) { *os << f.name; }

Script Corrupt(std::size_t at) {
  return [at](const Bytes&, const Bytes& good) {
    Bytes b = good;
    b.at(at) ^= 0x01;
    return Reply{{b}};
  };
}
Make Exception(std::uint8_t fn, std::uint8_t code) {
  return [=](Kind k) -> Script {
    return [=](const Bytes& req, const Bytes&) {
      return Reply{{Framed(k, req, {1, static_cast<std::uint8_t>(fn | 0x80), code})}};
    };
  };
}
Make Pdu(Bytes pdu) {
  return [pdu](Kind k) -> Script {
    return [=](const Bytes& req, const Bytes&) { return Reply{{Framed(k, req, pdu)}}; };
  };
}
// The answer in two TCP segments `gap` apart. Modbus TCP waits 0.15 s after its write
// before the first poll, so its split must be wider than that to give two events.
Script Split(std::size_t first, Ms gap) {
  return [first, gap](const Bytes&, const Bytes& good) {
    return Reply{{Bytes(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(first)),
                  Bytes(good.begin() + static_cast<std::ptrdiff_t>(first), good.end())},
                 gap};
  };
}
Make Fixed(Script s) {
  return [s](Kind) { return s; };
}
// A read answer whose byte count is n, with n data bytes and its CRC (RTU) or header.
Make ByteCount(int n, int sent) {
  return [=](Kind k) -> Script {
    return [=](const Bytes& req, const Bytes&) {
      Bytes pdu{1, 3, static_cast<std::uint8_t>(n)};
      pdu.resize(3 + static_cast<std::size_t>(sent), 0x42);
      return Reply{{Framed(k, req, pdu)}};
    };
  };
}

const Bytes kRead50 = ReadRequest(1024, 50);

std::vector<Fault> Faults() {
  const Make closes = Fixed([](const Bytes&, const Bytes&) { return Reply{{}, Ms(0), true}; });
  const Make echo = Fixed([](const Bytes& req, const Bytes& good) {
    Bytes b = req;
    b.insert(b.end(), good.begin(), good.end());
    return Reply{{b}};
  });
  const Make echoOnly = Fixed([](const Bytes& req, const Bytes&) { return Reply{{req}}; });
  const Make trailingGarbage = Fixed([](const Bytes&, const Bytes& good) {
    Bytes b = good;
    for (int i = 0; i < 20; ++i) b.push_back(0x99);
    return Reply{{b}};
  });
  const Make laterGarbage = Fixed([](const Bytes&, const Bytes& good) {
    return Reply{{good, Bytes(40, 0x99)}, Ms(250)};
  });
  // The line hangs up once the engine has the head and reads the rest (a pulled adapter):
  // the read of the rest gives the runtime's error, not a count.
  const Make hangUpAfterHead = Fixed([](const Bytes&, const Bytes&) {
    const int before = g_receivingShown.load();
    return Reply{{Hex("01 03 64")}, Ms(0), true,
                 [before] { WaitUntil([&] { return g_receivingShown.load() > before; }); }};
  });
  const Make shortHeadFn1 = Fixed(ScriptedMeter::Send(Hex("01 01")));
  // Functions 14 and 20 take their length from the caller; the line offers far more.
  auto lengthFromCaller = [](std::uint8_t fn) {
    Bytes b{1, fn};
    b.resize(1200, 0x33);
    return Fixed(ScriptedMeter::Send(b));
  };
  const Make fn14Head = lengthFromCaller(14);
  const Make fn20Head = lengthFromCaller(20);

  return {
      // serial, where the serial path is the subject
      {"serial_exception", Kind::Serial, kRead50, Exception(3, 2), -3, "acbda"},
      {"serial_corrupt_byte", Kind::Serial, kRead50, Fixed(Corrupt(40)), -2, "acbda"},
      {"serial_corrupt_crc", Kind::Serial, kRead50, Fixed(Corrupt(104)), -2, "acbda"},
      {"serial_garbage_after_answer", Kind::Serial, kRead50, trailingGarbage, 1, "acba"},
      {"serial_echo_then_answer", Kind::Serial, kRead50, echo, -2, "acbda"},
      {"serial_echo_of_silent_meter", Kind::Serial, ReadRequest(1024, 2), echoOnly, -2, "acbda"},
      {"serial_count_255_fits_262", Kind::Serial, kRead50, ByteCount(255, 255), 1, "acba"},
      {"serial_count_beyond_buffer", Kind::Serial, kRead50, ByteCount(200, 200), -2, "acbda",
       100},
      {"serial_fn14_beyond_buffer", Kind::Serial, kRead50, fn14Head, -2, "acbda",
       kAnswerBufferSize, 1000},
      {"serial_fn14_negative_rest", Kind::Serial, kRead50, fn14Head, -2, "acbda",
       kAnswerBufferSize, 1},
      {"serial_fn20_beyond_buffer", Kind::Serial, kRead50, fn20Head, -2, "acbda",
       kAnswerBufferSize, 300},
      {"serial_hang_up_after_head", Kind::Serial, kRead50, hangUpAfterHead, -2, "acbda",
       kAnswerBufferSize, 0, false, false},
      {"serial_fn1_head_of_two", Kind::Serial, ReadRequest(0, 8, 1), shortHeadFn1, -1, "acdada"},
      // Modbus TCP
      {"mtcp_exception", Kind::ModbusTcp, kRead50, Exception(3, 2), -3, "acbda"},
      {"mtcp_server_closes", Kind::ModbusTcp, kRead50, closes, -5, "acbda", kAnswerBufferSize,
       0, true},
      {"mtcp_split_answer", Kind::ModbusTcp, kRead50, Fixed(Split(40, Ms(250))), -2, "acbda"},
      {"mtcp_count_beyond_data", Kind::ModbusTcp, kRead50, ByteCount(200, 20), -2, "acbda"},
      {"mtcp_header_only", Kind::ModbusTcp, kRead50,
       Fixed(ScriptedMeter::Send(Hex("0001 0000 0000"))), -2, "acbda"},
      {"mtcp_header_and_slave", Kind::ModbusTcp, kRead50, Pdu({1}), -2, "acbda"},
      {"mtcp_short_exception", Kind::ModbusTcp, kRead50, Pdu({1, 0x83}), -2, "acbda"},
      {"mtcp_short_write_answer", Kind::ModbusTcp, WriteRequest(4096, {7}),
       Pdu({1, 16, 0x10, 0}), -2, "acbda"},
      {"mtcp_answer_beyond_buffer", Kind::ModbusTcp, kRead50, ByteCount(246, 246), -2, "acbda",
       100},
      {"mtcp_garbage_in_later_segment", Kind::ModbusTcp, kRead50, laterGarbage, 1, "acba"},
      // RTU over TCP
      {"rtcp_exception", Kind::RtuTcp, kRead50, Exception(3, 2), -3, "acbda"},
      {"rtcp_corrupt_byte_passes", Kind::RtuTcp, kRead50, Fixed(Corrupt(40)), 1, "acba"},
      {"rtcp_server_closes", Kind::RtuTcp, kRead50, closes, -5, "acbda", kAnswerBufferSize, 0,
       true},
      {"rtcp_split_answer", Kind::RtuTcp, kRead50, Fixed(Split(50, Ms(60))), -2, "acbda"},
      {"rtcp_count_beyond_data", Kind::RtuTcp, kRead50, ByteCount(120, 60), -2, "acbda"},
      {"rtcp_answer_beyond_buffer", Kind::RtuTcp, kRead50, ByteCount(250, 250), -2, "acbda",
       64},
      {"rtcp_garbage_in_same_segment", Kind::RtuTcp, kRead50, trailingGarbage, 1, "acba"},
  };
}

class EngineFault : public Engine, public ::testing::WithParamInterface<Fault> {};

TEST_P(EngineFault, GivesItsCodeAndTheNextExchangeSucceeds) {
  const Fault& f = GetParam();
  Link link(f.kind);
  link.meter().Next(f.script(f.kind));
  AnswerBuf ans(f.answerSize);
  StartRecording();
  const auto t0 = Clock::now();
  EXPECT_EQ(link.Exchange(f.request, ans, f.expected), f.expect);
  const double took = SecondsSince(t0);
  EXPECT_EQ(Sequence(), f.images);
  EXPECT_TRUE(ans.CanaryIntact()) << "answer written past its " << f.answerSize << " bytes";
  EXPECT_EQ(link.meter().RequestCount(), 1u);
  // Only silence may cost a time-out: 2 s serial (5 s for function 1); nothing else waits.
  const double limit = f.expect == -1 ? (f.request[1] == 1 ? 5.8 : 2.8)
                       : std::string(f.name) == "serial_echo_of_silent_meter" ? 2.8
                                                                              : 0.9;
  EXPECT_LT(took, limit);
  if (f.expect == -1) {
    EXPECT_GT(took, f.request[1] == 1 ? 5.0 : 2.0);
  }
  // The last image before idle returns (receiving on success, error on failure) stays for
  // the closing pause (plus one 0.01 s poll on TCP); Modbus TCP keeps the sending image
  // through the 0.15 s pause after its write.
  const std::size_t n = Changes().size();
  ASSERT_GE(n, 3u);
  EXPECT_GT(Hold(n - 2), 0.14);
  EXPECT_LT(Hold(n - 2), 0.23);
  if (f.kind == Kind::ModbusTcp) {
    EXPECT_GT(Hold(1), 0.14);
  }

  if (!f.nextGood) return;
  if (f.reconnect) link.Open();
  link.ExpectGoodRead();
}

INSTANTIATE_TEST_SUITE_P(Table, EngineFault, ::testing::ValuesIn(Faults()),
                         [](const auto& info) { return std::string(info.param.name); });

// ------------------------------------------------------------------ other failures

TEST_F(Engine, EmptyHostWritesNothingAndStaysIdle) {
  Link link(Kind::RtuTcp);
  AnswerBuf ans;
  StartRecording();
  EXPECT_EQ(link.Exchange(kRead50, ans, 0, ""), -3);
  EXPECT_EQ(link.Exchange(kRead50, ans, 0, nullptr), -3);
  EXPECT_EQ(Sequence(), "a");
  EXPECT_TRUE(WaitUntil([&] { return link.meter().RequestCount() == 0; }, Ms(100)));
  EXPECT_EQ(link.meter().RequestCount(), 0u);
  link.ExpectGoodRead();
}

// The peer resets the connection; the engine's write then fails with -1 (never SIGPIPE,
// which would end this test program).
TEST_F(Engine, WriteToAGonePeerIsMinusOne) {
  for (Kind k : {Kind::RtuTcp, Kind::ModbusTcp}) {
    Listener server;
    ASSERT_EQ(Orba_Abrir_Puerto(k == Kind::ModbusTcp ? 100 : 101, 0, 8, 0, 1, server.port(),
                                "127.0.0.1"),
              0);
    const int conn = server.Accept();
    ASSERT_GE(conn, 0);
    linger hard{1, 0};
    ::setsockopt(conn, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    ::close(conn);
    int rc = 0;
    for (int i = 0; i < 3 && rc != -1; ++i) {  // the first write may still be accepted
      AnswerBuf ans;
      StartRecording();
      unsigned char req[kTramaSize];
      Orba_Comando_Lectura(1, 3, 1024, 50, req);
      rc = Orba_Transmitir_Modbus(k == Kind::ModbusTcp ? 100 : 101, req, 6, ans.data(), 0, 0,
                                  Telefono, 1, "127.0.0.1");
    }
    EXPECT_EQ(rc, -1) << KindName(k);
    EXPECT_EQ(Sequence(), "acda") << KindName(k);
    // Modbus TCP holds the sending image through the 0.15 s pause after the write.
    if (k == Kind::ModbusTcp) {
      EXPECT_GT(Hold(1), 0.14);
    } else {
      EXPECT_LT(Hold(1), 0.1);
    }
    Orba_Cerrar_Puerto(101);
  }
}

TEST_F(Engine, RequestsOutsideTheFrameLimitsAreRefusedUnwritten) {
  Link link(Kind::RtuTcp);
  AnswerBuf ans;
  EXPECT_EQ(link.Exchange(Bytes{1}, ans), -1);
  EXPECT_EQ(link.Exchange(Bytes(254, 1), ans), -1);
  unsigned char req[kTramaSize] = {1, 3};
  EXPECT_EQ(Orba_Transmitir_Modbus(101, req, 6, nullptr, 0, 0, Telefono, 1, "127.0.0.1"), -1);
  EXPECT_EQ(Orba_Transmitir_Modbus(101, nullptr, 6, ans.data(), 0, 0, Telefono, 1, "h"), -1);
  EXPECT_EQ(link.meter().RequestCount(), 0u);
  link.ExpectGoodRead();
}

// 1000 polls of 0.01 s after the 0.15 s pause: about 10 s, then -4.
TEST_F(Engine, SilentTcpMeterTimesOutAfterAThousandPolls) {
  Link link(Kind::ModbusTcp);
  link.meter().Next(ScriptedMeter::Silent());
  AnswerBuf ans;
  StartRecording();
  const auto t0 = Clock::now();
  EXPECT_EQ(link.Exchange(kRead50, ans), -4);
  const double took = SecondsSince(t0);
  EXPECT_GT(took, 0.15 + 10.0);
  EXPECT_LT(took, 12.5);
  EXPECT_EQ(Sequence(), "acbda");
}

// ------------------------------------------------------------------ the indicator's timing

// Serial silence: error, idle, error, idle; each error held for the closing pause.
TEST_F(Engine, SerialSilenceShowsTheErrorTwice) {
  Link link(Kind::Serial);
  link.meter().Next(ScriptedMeter::Silent());
  AnswerBuf ans;
  StartRecording();
  ASSERT_EQ(link.Exchange(ReadRequest(4099, 1), ans), -1);
  ASSERT_EQ(Sequence(), "acdada");
  EXPECT_NEAR(Hold(1), 2.0, 0.3) << "sending until the 2 s read time-out";
  EXPECT_NEAR(Hold(2), 0.15, 0.06);
  EXPECT_LT(Hold(3), 0.05);
  EXPECT_NEAR(Hold(4), 0.15, 0.06);
  link.ExpectGoodRead();
}

// Without an image file the indicator keeps the image it shows; the exchange goes on.
TEST_F(Engine, MissingIconFileLeavesThePreviousImage) {
  auto& env = EngineEnvironment::Get();
  Link link(Kind::RtuTcp);
  env.SetIconPresent(kIconReceiving, false);
  AnswerBuf ans;
  StartRecording();
  EXPECT_EQ(link.Exchange(kRead50, ans), 1);
  env.SetIconPresent(kIconReceiving, true);
  EXPECT_EQ(Sequence(), "aca");
  EXPECT_NEAR(Hold(1), 0.16, 0.06) << "sending stays up through the wait and the pause";
  EXPECT_STREQ(tray::CurrentImage(), kIconIdle);
}

}  // namespace
