// The Windows platform files at work under Wine: the registry store on Wine's registry
// (advapi32), and the transaction engine over Win32 COM ports and over Winsock against the
// native simulator that scripts/windows/test.sh starts:
//   COM<VELDIX_WINE_COM>         the simulator's pty (exception 4 at register 4128)
//   COM<VELDIX_WINE_SILENT_COM>  a second simulator that never answers
//   VELDIX_WINE_TCP, VELDIX_WINE_RTU_TCP  its Modbus TCP and RTU-over-TCP ports on 127.0.0.1
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "lang/language.h"
#include "link/engine.h"
#include "link/frames.h"
#include "link/transport.h"
#include "platform/registry.h"
#include "platform/rs232.h"
#include "platform/testing/registry_testing.h"
#include "platform/ui.h"
#include "test_bytes.h"

using namespace vtest;

namespace {

int EnvInt(const char* name) {
  const char* v = std::getenv(name);
  return v != nullptr ? std::atoi(v) : 0;
}

// ---- paths: the executable's folder with backslashes, before and after the runtime is up
// (the two come from different places)

void ExpectNativeLanguagePath() {
  char dir[1024] = {}, file[1100] = {};
  ASSERT_EQ(GetProjectDir(dir), 0);
  LanguageFilePath(file, sizeof file);
  EXPECT_EQ(PathSeparator(), '\\');
  EXPECT_EQ(std::string(dir).find('/'), std::string::npos) << dir;
  EXPECT_EQ(std::string(dir).substr(1, 2), ":\\") << dir;
  EXPECT_NE(std::string(dir).back(), '\\') << "no trailing separator";
  EXPECT_EQ(std::string(file), std::string(dir) + "\\language.ini");
}

TEST(WinePaths, BeforeTheRuntime) { ExpectNativeLanguagePath(); }

// ---- registry

constexpr const char* kKey = "SOFTWARE\\VELDIX-MID wine test";

TEST(WineRegistry, ReadResultCodesOnTheRealRegistry) {
  ASSERT_EQ(WT_RegWriteString(kRegLocalMachine, kKey, "Language", "2"), 0);
  ASSERT_EQ(registry::WriteDword(kRegLocalMachine, kKey, "Number", 2), 0);
  ASSERT_EQ(WT_RegWriteString(kRegLocalMachine, kKey, "Long", std::string(299, 'x').c_str()), 0);
  ASSERT_EQ(WT_RegWriteString(kRegLocalMachine, kKey, "TooLong", std::string(300, 'x').c_str()), 0);
  const struct {
    RegRoot root;
    const char *path, *name;
    int expected;
    unsigned size;  // checked on success and on -2
  } cases[] = {
      {kRegLocalMachine, kKey, "Language", 0, 2},
      {kRegLocalMachine, "SOFTWARE\\VELDIX-MID WINE TEST", "language", 0, 2},  // no case
      {kRegCurrentUser, kKey, "Language", -15, 0},
      {kRegLocalMachine, kKey, "Missing", -13, 0},
      {kRegLocalMachine, kKey, "Number", -14, 0},
      {kRegLocalMachine, kKey, "Long", 0, 300},
      {kRegLocalMachine, kKey, "TooLong", -2, 301},
      {kRegLocalMachine, nullptr, "Language", -1, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.path ? c.path : "(null)") + " / " + c.name);
    unsigned char buf[300];
    std::memset(buf, 0xAA, sizeof buf);
    unsigned size = 0;
    EXPECT_EQ(WT_RegReadString(c.root, c.path, c.name, buf, sizeof buf, &size), c.expected);
    EXPECT_EQ(c.expected == 0 || c.expected == -2 ? size : c.size, c.size);
    EXPECT_TRUE(c.expected != 0 || buf[0] == (c.size == 2 ? '2' : 'x'));
    EXPECT_TRUE(c.expected != -2 || buf[0] == 0xAA) << "nothing copied into a short buffer";
  }
  EXPECT_EQ(WT_RegWriteString(kRegLocalMachine, kKey, nullptr, "x"), -1);
}

// A user without administrator rights: HKEY_LOCAL_MACHINE denies the write, the value goes
// to HKEY_CURRENT_USER, and reads of HKEY_LOCAL_MACHINE find it there before the machine's.
TEST(WineRegistry, DeniedMachineWritesGoToTheUser) {
  constexpr const char* key = "SOFTWARE\\VELDIX-MID wine user";
  ASSERT_EQ(WT_RegWriteString(kRegLocalMachine, key, "Speed", "9600"), 0);
  ASSERT_EQ(WT_RegWriteString(kRegLocalMachine, key, "Port", "1"), 0);
  registry::DenyMachineWrites(true);
  EXPECT_EQ(WT_RegWriteString(kRegLocalMachine, key, "Port", "5"), 0);
  EXPECT_EQ(WT_RegWriteString(kRegLocalMachine, key, "Language", "2"), 0);
  registry::DenyMachineWrites(false);
  const struct {
    RegRoot root;
    const char *name, *expected;
  } cases[] = {
      {kRegLocalMachine, "Port", "5"},      // the user's own value wins
      {kRegLocalMachine, "Speed", "9600"},  // the machine's where the user has none
      {kRegLocalMachine, "Language", "2"},
      {kRegCurrentUser, "Language", "2"},   // written under the user's hive
      {kRegCurrentUser, "Speed", nullptr},  // -13: never copied there
  };
  for (const auto& c : cases) {
    unsigned char buf[16] = {};
    unsigned size = 0;
    const int rc = WT_RegReadString(c.root, key, c.name, buf, sizeof buf, &size);
    EXPECT_EQ(rc, c.expected ? 0 : -13) << c.name;
    EXPECT_STREQ(c.expected ? reinterpret_cast<char*>(buf) : nullptr, c.expected) << c.name;
  }
}

// ---- the engine

class WineEngine : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    static char arg0[] = "test_wine";
    static char* argv[] = {arg0, nullptr};
    ASSERT_EQ(InitUIRuntime(nullptr, argv, nullptr), 1);
  }
  void TearDown() override {
    if (open_ != 0) Orba_Cerrar_Puerto(open_);
  }
  // Opens `port` (serial 9600 8N1, or TCP to 127.0.0.1:tcpPort) for the exchanges.
  void Open(int port, int tcpPort = 0) {
    ASSERT_NE(port, 0) << "test.sh sets the VELDIX_WINE_* variables";
    tcpPort_ = tcpPort;
    const int rc =
        Orba_Abrir_Puerto(port, 9600, 8, 0, 1, static_cast<unsigned short>(tcpPort), "127.0.0.1");
    ASSERT_EQ(rc, 0) << GetRS232ErrorString(rc);
    open_ = port;
  }
  // One exchange of `request`; the result code, the answer in answer_, its time in seconds_.
  int Exchange(Bytes request) {
    request.resize(request.size() + 2);  // room for the CRC on RTU links
    std::memset(answer_, 0, sizeof answer_);
    const auto t0 = Clock::now();
    const int rc =
        Orba_Transmitir_Modbus(open_, request.data(), static_cast<int>(request.size() - 2), answer_,
                               0, 0, "", tcpPort_, "127.0.0.1");
    seconds_ = SecondsSince(t0);
    return rc;
  }
  static Bytes Read(int start, int count) {
    Bytes f(6);
    Orba_Comando_Lectura(1, 3, start, count, f.data());
    return f;
  }
  static Bytes WriteZeros(int start, int count) {
    const Bytes zeros(static_cast<std::size_t>(count) * 2, 0);
    Bytes f(300);
    int length = static_cast<int>(zeros.size());
    EXPECT_EQ(Orba_Comando_16(1, start, count, zeros.data(), f.data(), &length), 0);
    f.resize(static_cast<std::size_t>(length));
    return f;
  }
  // The two exchanges of the screens: 50 registers read at 1024 (the measurements), 8 zero
  // registers written at 1582 (a reset of the partial counters); then an exception, after
  // which the line is clean. Every link stores the answer from the slave address on.
  void ReadWriteAndException() {
    ASSERT_EQ(Exchange(Read(1024, 50)), kModbusOk);
    EXPECT_EQ(answer_[1], 3);
    EXPECT_EQ(answer_[2], 100) << "byte count of 50 registers";
    ASSERT_EQ(Exchange(WriteZeros(1582, 8)), kModbusOk);
    EXPECT_EQ(answer_[1], 16);
    EXPECT_EQ(answer_[5], 8) << "registers written";
    EXPECT_EQ(Exchange(Read(4128, 5)), kModbusException);
    EXPECT_EQ(answer_[1], 0x83);
    EXPECT_EQ(Exchange(Read(1024, 50)), kModbusOk) << "the line is clean after an exception";
  }

  int open_ = 0, tcpPort_ = 0;
  unsigned char answer_[kAnswerBufferSize] = {};
  double seconds_ = 0;
};

TEST_F(WineEngine, PathsWithTheRuntime) { ExpectNativeLanguagePath(); }

TEST_F(WineEngine, SerialThroughAWineComPort) {
  Open(EnvInt("VELDIX_WINE_COM"));
  ReadWriteAndException();
}

TEST_F(WineEngine, SilentMeterOnAComPortTimesOutAfterTwoSeconds) {
  Open(EnvInt("VELDIX_WINE_SILENT_COM"));
  EXPECT_EQ(Exchange(Read(1024, 50)), kModbusNoAnswer);
  EXPECT_GE(seconds_, 1.95);
  EXPECT_LT(seconds_, 4.0);
}

TEST_F(WineEngine, ModbusTcpOverWinsock) {
  Open(100, EnvInt("VELDIX_WINE_TCP"));
  ReadWriteAndException();
}

TEST_F(WineEngine, RtuOverTcpOverWinsock) {
  Open(99, EnvInt("VELDIX_WINE_RTU_TCP"));
  ReadWriteAndException();
}

}  // namespace
