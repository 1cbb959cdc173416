// Request builders and CRC against a table pymodbus makes at test time (peers/rtu_vectors.py),
// so a frame both sides got wrong the same way cannot pass, plus the tool's own truncations.
#include <gtest/gtest.h>

#include <map>
#include <sstream>

#include "link/frames.h"
#include "test_support.h"

using namespace vtest;

namespace {

Bytes Read(unsigned char slave, unsigned char fn, int start, int count) {
  Bytes f(6, 0xEE);
  Orba_Comando_Lectura(slave, fn, start, count, f.data());
  return f;
}

// Out-of-range values keep their low bits: 16 of the start, 8 of the count.
TEST(Frames, ReadBuilderKeepsTheLowBits) {
  EXPECT_EQ(ToHex(Read(7, 3, 0x12345, 2)), "070323450002");
  EXPECT_EQ(ToHex(Read(1, 4, 0, 0x1FF)), "0104000000ff");
}

// Byte 6 carries the byte count in 8 bits: 128 registers (256 bytes) cannot be told, and are
// refused without touching the frame or the length (other hostile inputs: fuzz/).
TEST(Frames, BuilderRefusesWhatTheFrameCannotCarry) {
  const Bytes data(300, 0x11);
  Bytes frame(300, 0xA5);
  int length = 256;
  EXPECT_EQ(Orba_Comando_16(1, 0, 128, data.data(), frame.data(), &length), -1);
  EXPECT_EQ(length, 256);
  EXPECT_EQ(frame, Bytes(300, 0xA5));
}

TEST(Frames, CrcAndBuildersMatchPymodbus) {
  Child peer({SystemPython(), VELDIX_TEST_DATA "/peers/rtu_vectors.py"});
  std::map<std::string, int> seen;
  for (std::string line; !(line = peer.ReadLine(Ms(20000))).empty();) {
    std::istringstream in(line);
    std::string kind, data, want;
    int slave = 0, fn = 16, start = 0, count = 0;
    in >> kind;
    ++seen[kind];
    if (kind == "crc") {
      in >> data >> want;
      const Bytes p = data == "-" ? Bytes{} : Hex(data);
      EXPECT_EQ(Orba_CRC16(p.data(), p.size()), std::stoul(want, nullptr, 16)) << line;
      continue;
    }
    Bytes ours(300);
    int length = 6;
    if (kind == "read") {
      in >> slave >> fn >> start >> count >> want;
      Orba_Comando_Lectura(std::uint8_t(slave), std::uint8_t(fn), start, count, ours.data());
    } else {
      in >> slave >> start >> count >> data >> want;
      const Bytes d = Hex(data);
      length = static_cast<int>(d.size());
      ASSERT_EQ(Orba_Comando_16(std::uint8_t(slave), start, count, d.data(), ours.data(), &length),
                0);
      ASSERT_EQ(length, static_cast<int>(7 + d.size()));
    }
    Orba_CalculoCRC_2(ours.data(), length);
    ours.resize(static_cast<std::size_t>(length) + 2);
    EXPECT_EQ(ToHex(ours), want) << line;
  }
  EXPECT_GT(seen["crc"], 60) << "is " << SystemPython() << " able to import pymodbus?";
  EXPECT_GT(seen["read"], 40);
  EXPECT_GT(seen["write"], 30);
}

}  // namespace
