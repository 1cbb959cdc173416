// The engine on a real pty and loopback TCP against our scripted meter, which misbehaves on
// demand (pymodbus meets the engine in tests/app and tests/meter): result codes, bytes on the
// wire, answer buffer bounds, the traffic log and the link indicator (timed in bench/).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>

#include "link/engine.h"
#include "link/frames.h"
#include "link/traffic_log.h"
#include "link/transport.h"
#include "platform/rs232.h"
#include "platform/testing/tray_testing.h"
#include "platform/testing/ui_testing.h"
#include "platform/ui.h"
#include "scripted_meter.h"
#include "test_support.h"

using namespace vtest;

namespace {

// The indicator's changes as letters of trffc_X.ico: a idle, b receiving, c sending, d error.
std::string g_shown;
void Observe(const char* file) {
  const char letter = file != nullptr && std::strlen(file) > 6 ? file[6] : '?';
  if (g_shown.empty() || g_shown.back() != letter) g_shown += letter;
}

// One application for the program, the indicator installed on the shipped icons.
void InstallIndicator() {
  static const bool installed = [] {
    static char arg0[] = "test_engine";
    static char* argv[] = {arg0, nullptr};
    if (InitUIRuntime(nullptr, argv, nullptr) != 1) return false;
    ui::SetProjectDirOverride(VELDIX_BIN_DIR);
    const bool ok = Orba_GEN_Presenta_iconos_comunicaciones_solo_semaforo() == 0;
    tray::SetObserver(Observe);
    return ok;
  }();
  ASSERT_TRUE(installed) << "no Qt application or no link indicator";
}

// An answer buffer of `size` usable bytes followed by canary bytes that must survive.
struct AnswerBuf {
  explicit AnswerBuf(int n = kAnswerBufferSize) : size(n), mem(std::size_t(n) + 32, 0xCC) {}
  unsigned char* data() { return mem.data(); }
  Bytes Head(std::size_t n) const { return Bytes(mem.begin(), mem.begin() + std::ptrdiff_t(n)); }
  bool CanaryIntact() const {
    return std::all_of(mem.begin() + size, mem.end(), [](std::uint8_t b) { return b == 0xCC; });
  }
  int size;
  Bytes mem;
};

// Requests as PDUs (slave first, no CRC, no header); fresh meters hold InitialRegister(a).
const Bytes kRead50 = Hex("01 03 0400 0032");  // 50 registers at 1024
Bytes GoodRead50(std::uint8_t slave = 1) {
  Bytes a{slave, 3, 100};
  for (int r = 1024; r < 1074; ++r)
    a.insert(a.end(), {std::uint8_t(InitialRegister(r) >> 8), std::uint8_t(InitialRegister(r))});
  return a;
}

enum class Kind { Serial, ModbusTcp, RtuTcp };

class Link {
 public:
  explicit Link(Kind kind, int port = 0, bool tcp502 = false) : kind_(kind), tcp502_(tcp502) {
    port_ = port ? port : kind == Kind::Serial ? 4 : kind == Kind::ModbusTcp ? 100 : 101;
    if (kind == Kind::Serial) {
      env_ = std::make_unique<ComEnv>(port_, pty_.path());
      meter_ = std::make_unique<ScriptedMeter>(pty_);
    } else {
      meter_ = std::make_unique<ScriptedMeter>(kind == Kind::RtuTcp ? Framing::Rtu : Framing::Mbap);
      tcpPort_ = meter_->port();
    }
    Open();
  }
  ~Link() { Orba_Cerrar_Puerto(port_); }

  void Open() {
    const int rc = Orba_Abrir_Puerto(port_, 19200, 8, 0, 1, std::uint16_t(tcpPort_), "127.0.0.1");
    if (rc != 0) throw std::runtime_error(std::string("open failed: ") + GetRS232ErrorString(rc));
  }
  ScriptedMeter& meter() { return *meter_; }
  // One exchange of `request` (without CRC) as the screens make it.
  int Exchange(const Bytes& request, AnswerBuf& answer, int expected = 0,
               const char* host = "127.0.0.1") {
    unsigned char frame[kTramaSize] = {};
    std::copy(request.begin(), request.end(), frame);
    return Orba_Transmitir_Modbus(port_, frame, static_cast<int>(request.size()), answer.data(),
                                  expected, 0, Telefono, tcp502_ ? 502 : tcpPort_, host,
                                  answer.size);
  }
  // An exchange that gives `code` and stores `pdu` in this link's framing, nothing beyond.
  void Expect(const Bytes& request, int code, const Bytes& pdu) {
    AnswerBuf ans;
    ASSERT_EQ(Exchange(request, ans), code);
    const Bytes want = kind_ == Kind::ModbusTcp ? pdu : WithCrc(pdu);  // as the engine stores it
    EXPECT_EQ(ToHex(ans.Head(want.size())), ToHex(want));
    EXPECT_TRUE(ans.CanaryIntact());
  }
  void ExpectGoodRead() { Expect(kRead50, 1, GoodRead50()); }

 private:
  Kind kind_;
  bool tcp502_;
  Pty pty_;  // the serial line
  std::unique_ptr<ComEnv> env_;
  std::unique_ptr<ScriptedMeter> meter_;
  int port_ = 0;
  int tcpPort_ = 0;
};

class Engine : public ::testing::Test {
 protected:
  void SetUp() override {
    InstallIndicator();
    g_shown.clear();
  }
};

TEST_F(Engine, ModbusTcpStripsTheHeaderAndCountsTransactions) {
  Link link(Kind::ModbusTcp);
  for (int i = 0; i < 3; ++i) link.ExpectGoodRead();
  link.Open();  // a new connection starts again at 1
  link.Expect(Hex("01 10 1020 0002 04 0001 0002"), 1, Hex("01 10 1020 0002"));

  const auto req = link.meter().Requests();
  ASSERT_EQ(req.size(), 4u);
  EXPECT_EQ(ToHex(req[0]), "000100000006010304000032");
  for (int i : {1, 2}) EXPECT_EQ(req[std::size_t(i)][1], i + 1) << "transaction id";
  EXPECT_EQ(ToHex(req[3]), "00010000000b0110102000020400010002");
  EXPECT_EQ(link.meter().Accepted(), 2);
}

struct Options {
  Bytes request = kRead50;
  int answerSize = kAnswerBufferSize;
  int expected = 0;        // expected-length argument (functions 14 and 20)
  double wait = 0;         // seconds of silence the engine must sit out (generous bound above it)
  bool reconnect = false;  // the server closed: later exchanges fail at once until reopened
  int port = 0;            // other than the kind's own (4, 100, 101)
  bool tcp502 = false;     // the exchange names TCP port 502 (the meter's is ephemeral)
};
struct Fault {
  const char* name;
  Kind kind;
  Script script;
  int expect;
  const char* images;
  Options o = {};
};
void PrintTo(const Fault& f, std::ostream* os) { *os << f.name; }

// The good answer with bits `mask` of byte `at` flipped.
Script Corrupt(std::size_t at, std::uint8_t mask = 0x01) {
  return [at, mask](const Bytes&, const Bytes& good) {
    Bytes b = good;
    b.at(at) ^= mask;
    return Reply{{b}};
  };
}
// `pdu` framed for link kind k.
Script Pdu(Kind k, Bytes pdu) {
  return [=](const Bytes& req, const Bytes&) {
    Bytes a{req[0], req[1], 0, 0, std::uint8_t(pdu.size() >> 8), std::uint8_t(pdu.size())};
    a.insert(a.end(), pdu.begin(), pdu.end());
    return Reply{{k == Kind::ModbusTcp ? a : WithCrc(pdu)}};
  };
}
// A read answer whose byte count says n but which carries `sent` data bytes.
Script ByteCount(Kind k, int n, int sent, std::uint8_t fn = 3) {
  Bytes pdu{1, fn, std::uint8_t(n)};
  pdu.resize(3 + std::size_t(sent), 0x42);
  return Pdu(k, pdu);
}
// The answer in two TCP segments `gap` apart; Modbus TCP polls only from 0.15 s after its
// write, so its gap must be wider to give two events.
Script Split(std::size_t first, Ms gap) {
  return [first, gap](const Bytes&, const Bytes& good) {
    const auto mid = good.begin() + std::ptrdiff_t(first);
    return Reply{{Bytes(good.begin(), mid), Bytes(mid, good.end())}, gap};
  };
}
// A frame of another transaction (or protocol) with other data, then the good answer.
Script ForeignFrameFirst(std::uint8_t tidLow, std::uint8_t protocol) {
  return [=](const Bytes&, const Bytes& good) {
    Bytes foreign = good;
    foreign[1] = tidLow;
    foreign[3] = protocol;
    std::fill(foreign.begin() + 9, foreign.end(), 0xEE);
    return Reply{{foreign, good}, Ms(40)};
  };
}

std::vector<Fault> Faults() {
  const Kind S = Kind::Serial, M = Kind::ModbusTcp, R = Kind::RtuTcp;
  const Script silent = ScriptedMeter::Silent();
  const Script closes = [](const Bytes&, const Bytes&) { return Reply{{}, Ms(0), true}; };
  const Script answersAndCloses = [](const Bytes&, const Bytes& good) {
    return Reply{{good}, Ms(0), true};
  };
  const Script echoOnly = [](const Bytes& req, const Bytes&) { return Reply{{req}}; };
  const Script garbageAfter = [](const Bytes&, const Bytes& good) {
    Bytes b = good;
    b.resize(b.size() + 20, 0x99);
    return Reply{{b}};
  };
  const Script laterGarbage = [](const Bytes&, const Bytes& good) {
    return Reply{{good, Bytes(40, 0x99)}, Ms(250)};
  };
  Bytes fn14{1, 14};  // functions 14 and 20 take their length from the caller
  fn14.resize(1200, 0x33);

  const Bytes write1 = Hex("01 10 1000 0001 02 0007");
  // clang-format off
  return {
      // serial: 2 s read time-out (5 s for function 1); the error image is shown twice on silence
      {"serial_silent", S, silent, -1, "acdada", {.wait = 2.0}},
      {"serial_exception", S, Pdu(S, {1, 0x83, 2}), -3, "acbda"},
      {"serial_corrupt_byte", S, Corrupt(40), -2, "acbda"},
      {"serial_garbage_after_answer", S, garbageAfter, 1, "acba"},
      // the echo's byte count promises more than arrives: it must not pass as a frame
      {"serial_echo_of_silent_meter", S, echoOnly, -2, "acbda", {.request = Hex("01 03 0400 0002"), .wait = 2.0}},
      {"serial_count_255_fits_262", S, ByteCount(S, 255, 255, 1), 1, "acba", {.request = Hex("01 01 0000 07F8")}},
      {"serial_count_beyond_buffer", S, ByteCount(S, 200, 200), -2, "acbda", {.answerSize = 100}},
      {"serial_fn14_negative_rest", S, ScriptedMeter::Send(fn14), -2, "acbda", {.expected = 1}},
      // an answer belongs to its request; noise that sets bit 7 is no exception
      {"serial_exception_bad_crc", S, ScriptedMeter::Send(Hex("01 83 02 c0 f0")), -2, "acbda"},
      {"serial_other_slave", S, Pdu(S, GoodRead50(2)), -2, "acbda"},
      {"serial_fn1_head_of_two", S, ScriptedMeter::Send(Hex("01 01")), -1, "acdada", {.request = Hex("01 01 0000 0008"), .wait = 5.0}},
      // port 99 is the first TCP one; besides port 100, TCP port 502 means Modbus TCP
      {"tcp_port_502_on_port_99", M, {}, 1, "acba", {.port = 99, .tcp502 = true}},
      // Modbus TCP: 1000 polls of 0.01 s after the 0.15 s pause, then -4
      {"mtcp_silent", M, silent, -4, "acbda", {.wait = 10.15}},
      {"mtcp_exception", M, Pdu(M, {1, 0x83, 2}), -3, "acbda"},
      {"mtcp_server_closes", M, closes, -5, "acbda", {.reconnect = true}},
      {"mtcp_closes_after_answer", M, answersAndCloses, 1, "acba", {.reconnect = true}},
      {"mtcp_header_and_body_apart", M, Split(6, Ms(250)), 1, "acba"},
      // a late answer to an earlier request: skipped by its transaction id, or refused by its shape
      {"mtcp_other_transaction_skipped", M, ForeignFrameFirst(0x77, 0), 1, "acba"},
      {"mtcp_other_protocol_skipped", M, ForeignFrameFirst(0x01, 1), 1, "acba"},
      {"mtcp_other_slave", M, Pdu(M, GoodRead50(2)), -2, "acbda"},
      {"mtcp_other_byte_count", M, ByteCount(M, 16, 16), -2, "acbda"},
      {"mtcp_count_beyond_data", M, ByteCount(M, 200, 20), -2, "acbda"},
      {"mtcp_header_only", M, ScriptedMeter::Send(Hex("0001 0000 0000")), -2, "acbda"},
      {"mtcp_short_exception", M, Pdu(M, {1, 0x83}), -2, "acbda"},
      {"mtcp_short_write_answer", M, Pdu(M, {1, 16, 0x10, 0}), -2, "acbda", {.request = write1}},
      {"mtcp_answer_beyond_buffer", M, ByteCount(M, 246, 246), -2, "acbda", {.answerSize = 100}},
      {"mtcp_garbage_in_later_segment", M, laterGarbage, 1, "acba"},
      // RTU over TCP: no CRC check on this link
      {"rtcp_exception", R, Pdu(R, {1, 0x83, 2}), -3, "acbda"},
      {"rtcp_corrupt_byte_passes", R, Corrupt(40), 1, "acba"},
      {"rtcp_server_closes", R, closes, -5, "acbda", {.reconnect = true}},
      {"rtcp_closes_after_answer", R, answersAndCloses, 1, "acba", {.reconnect = true}},
      {"rtcp_split_answer", R, Split(40, Ms(50)), 1, "acba"},
      {"rtcp_write_answer_split", R, Split(3, Ms(50)), 1, "acba", {.request = write1}},
      {"rtcp_other_function", R, ByteCount(R, 100, 100, 4), -2, "acbda"},
      {"rtcp_answer_beyond_buffer", R, ByteCount(R, 250, 250), -2, "acbda", {.answerSize = 64}},
      {"rtcp_garbage_in_same_segment", R, garbageAfter, 1, "acba"},
  };
  // clang-format on
}

class EngineFault : public Engine, public ::testing::WithParamInterface<Fault> {};

// Each row: the code, the images, nothing stored past the buffer, one request on the wire and
// in the traffic log (then what came back, if anything, each with the code), time spent only
// on silence, and the next exchange succeeds (after a reopen if closed).
TEST_P(EngineFault, GivesItsCodeAndTheNextExchangeSucceeds) {
  const Fault& f = GetParam();
  Link link(f.kind, f.o.port, f.o.tcp502);
  if (f.script) link.meter().Next(f.script);
  AnswerBuf ans(f.o.answerSize);
  g_shown.clear();
  traffic::SetOn(true);
  traffic::Clear();
  const auto t0 = Clock::now();
  EXPECT_EQ(link.Exchange(f.o.request, ans, f.o.expected), f.expect);
  const double took = SecondsSince(t0);
  traffic::SetOn(false);
  ASSERT_TRUE(traffic::Count() == 1 || traffic::Count() == 2) << traffic::Count();
  EXPECT_EQ(traffic::At(0).size, f.o.request.size() + (f.kind == Kind::ModbusTcp ? 6 : 2));
  for (std::size_t i = 0; i < traffic::Count(); ++i) {
    EXPECT_EQ(traffic::At(i).direction == traffic::Direction::kSent, i == 0);
    EXPECT_EQ(traffic::At(i).link, traffic::Link(int(f.kind)));
    EXPECT_EQ(traffic::At(i).result, f.expect);
  }
  EXPECT_EQ(g_shown, f.images);
  EXPECT_TRUE(ans.CanaryIntact()) << "answer written past its " << ans.size << " bytes";
  EXPECT_EQ(link.meter().RequestCount(), 1u);
  EXPECT_GT(took, f.o.wait);
  EXPECT_LT(took, 1.5 * f.o.wait + 1.5);

  if (f.o.reconnect) {
    g_shown.clear();
    const auto t1 = Clock::now();
    EXPECT_EQ(link.Exchange(kRead50, ans), -5) << "a closed link";
    EXPECT_LT(SecondsSince(t1), 2.0);  // not the 10 s poll budget
    EXPECT_EQ(g_shown, "ada");
    EXPECT_EQ(link.meter().RequestCount(), 1u) << "nothing written into a closed link";
    link.Open();
  }
  link.ExpectGoodRead();
}

INSTANTIATE_TEST_SUITE_P(Table, EngineFault, ::testing::ValuesIn(Faults()),
                         [](const auto& info) { return std::string(info.param.name); });

// An empty host (-3, idle only) and requests outside the frame limits (-1) write nothing
// (null buffers and other hostile input: fuzz/).
TEST_F(Engine, RefusedRequestsWriteNothing) {
  Link link(Kind::RtuTcp);
  AnswerBuf ans;
  EXPECT_EQ(link.Exchange(kRead50, ans, 0, ""), -3);
  EXPECT_EQ(g_shown, "a");
  EXPECT_EQ(link.Exchange(Bytes{1}, ans), -1);
  EXPECT_EQ(link.Exchange(Bytes(254, 1), ans), -1);
  link.ExpectGoodRead();
  EXPECT_EQ(link.meter().RequestCount(), 1u) << "only the good read reached the meter";
}

}  // namespace
