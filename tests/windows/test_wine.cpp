// The Windows platform files under Wine: the registry store on Wine's registry, the engine over
// Win32 COM ports and Winsock against the native simulators scripts/windows/test.sh starts:
// COM<VELDIX_WINE_COM> (exception 4 at register 4128), COM<VELDIX_WINE_SILENT_COM> (silent),
// and Modbus TCP and RTU-over-TCP ports VELDIX_WINE_TCP, VELDIX_WINE_RTU_TCP on 127.0.0.1.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>

#include "lang/language.h"
#include "link/engine.h"
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

constexpr RegRoot kLM = kRegLocalMachine, kCU = kRegCurrentUser;
constexpr const char* kKey = "SOFTWARE\\VELDIX-MID wine test";

// The text of a value read into 300 bytes, or "<code N>" (with the size asked for on -2).
std::string Read(RegRoot root, const char* path, const char* name) {
  unsigned char buf[300];
  std::memset(buf, 0xAA, sizeof buf);
  unsigned size = 0;
  const int rc = WT_RegReadString(root, path, name, buf, sizeof buf, &size);
  EXPECT_TRUE(rc != -2 || buf[0] == 0xAA) << "nothing copied into a short buffer";
  if (rc != 0)
    return "<code " + std::to_string(rc) + (rc == -2 ? " " + std::to_string(size) : "") + ">";
  EXPECT_EQ(size, std::strlen(reinterpret_cast<char*>(buf)) + 1) << name;
  return reinterpret_cast<char*>(buf);
}

TEST(WineRegistry, ReadResultCodesOnTheRealRegistry) {
  ASSERT_EQ(WT_RegWriteString(kLM, kKey, "Language", "2"), 0);
  ASSERT_EQ(registry::WriteDword(kLM, kKey, "Number", 2), 0);
  ASSERT_EQ(WT_RegWriteString(kLM, kKey, "Long", std::string(299, 'x').c_str()), 0);
  ASSERT_EQ(WT_RegWriteString(kLM, kKey, "TooLong", std::string(300, 'x').c_str()), 0);
  const struct {
    RegRoot root;
    const char *path, *name;
    std::string expected;
  } cases[] = {
      {kLM, "SOFTWARE\\VELDIX-MID WINE TEST", "language", "2"},  // names ignore case
      {kCU, kKey, "Language", "<code -15>"},
      {kLM, kKey, "Missing", "<code -13>"},
      {kLM, kKey, "Number", "<code -14>"},
      {kLM, kKey, "Long", std::string(299, 'x')},  // 299 + NUL fit exactly
      {kLM, kKey, "TooLong", "<code -2 301>"},
      {kLM, nullptr, "Language", "<code -1>"},
  };
  for (const auto& c : cases) EXPECT_EQ(Read(c.root, c.path, c.name), c.expected) << c.name;
  EXPECT_EQ(WT_RegWriteString(kLM, kKey, nullptr, "x"), -1);
}

// A user without administrator rights: HKEY_LOCAL_MACHINE denies the write, the value goes
// to HKEY_CURRENT_USER, and reads of HKEY_LOCAL_MACHINE find it there before the machine's.
TEST(WineRegistry, DeniedMachineWritesGoToTheUser) {
  constexpr const char* key = "SOFTWARE\\VELDIX-MID wine user";
  ASSERT_EQ(WT_RegWriteString(kLM, key, "Speed", "9600"), 0);
  ASSERT_EQ(WT_RegWriteString(kLM, key, "Port", "1"), 0);
  registry::DenyMachineWrites(true);
  EXPECT_EQ(WT_RegWriteString(kLM, key, "Port", "5"), 0);
  EXPECT_EQ(WT_RegWriteString(kLM, key, "Language", "2"), 0);
  registry::DenyMachineWrites(false);
  const struct {
    RegRoot root;
    const char *name, *expected;
  } cases[] = {
      {kLM, "Port", "5"},            // the user's own value wins
      {kLM, "Speed", "9600"},        // the machine's where the user has none
      {kCU, "Language", "2"},        // written under the user's hive
      {kCU, "Speed", "<code -13>"},  // never copied there
  };
  for (const auto& c : cases) EXPECT_EQ(Read(c.root, key, c.name), c.expected) << c.name;
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
  int open_ = 0, tcpPort_ = 0;
  unsigned char answer_[kAnswerBufferSize] = {};
  double seconds_ = 0;
};

TEST_F(WineEngine, PathsWithTheRuntime) { ExpectNativeLanguagePath(); }

// The two exchanges of the screens: 50 registers read at 1024 (the measurements), 8 zero
// registers written at 1582 (a reset of the partial counters); then an exception, after which
// the line is clean. Every link stores the answer from the slave address on.
TEST_F(WineEngine, ReadWriteAndExceptionOverComPortsAndWinsock) {
  const Bytes read50 = Hex("01 03 0400 0032"), readMask = Hex("01 03 1020 0005");
  Bytes write8 = Hex("01 10 062E 0008 10");
  write8.resize(write8.size() + 16);  // eight zero registers
  // A Wine COM port, Modbus TCP, RTU frames over TCP.
  const std::pair<int, int> links[] = {{EnvInt("VELDIX_WINE_COM"), 0},
                                       {100, EnvInt("VELDIX_WINE_TCP")},
                                       {99, EnvInt("VELDIX_WINE_RTU_TCP")}};
  for (const auto& [port, tcpPort] : links) {
    SCOPED_TRACE(port);
    ASSERT_NO_FATAL_FAILURE(Open(port, tcpPort));
    ASSERT_EQ(Exchange(read50), kModbusOk);
    EXPECT_EQ(answer_[1], 3);
    EXPECT_EQ(answer_[2], 100) << "byte count of 50 registers";
    ASSERT_EQ(Exchange(write8), kModbusOk);
    EXPECT_EQ(answer_[1], 16);
    EXPECT_EQ(answer_[5], 8) << "registers written";
    EXPECT_EQ(Exchange(readMask), kModbusException);
    EXPECT_EQ(answer_[1], 0x83);
    EXPECT_EQ(Exchange(read50), kModbusOk) << "the line is clean after an exception";
  }
}

TEST_F(WineEngine, SilentMeterOnAComPortTimesOutAfterTwoSeconds) {
  Open(EnvInt("VELDIX_WINE_SILENT_COM"));
  EXPECT_EQ(Exchange(Hex("01 03 0400 0032")), kModbusNoAnswer);
  EXPECT_GE(seconds_, 1.95);
  EXPECT_LT(seconds_, 4.0);
}

}  // namespace
