// Request builders and CRC against fixed vectors and against a table pymodbus produces at
// test time (peers/rtu_vectors.py): a frame both sides got wrong the same way cannot pass.
#include <gtest/gtest.h>

#include <sstream>

#include "frames.h"
#include "test_support.h"

using namespace vtest;

namespace {

Bytes Closed(Bytes frame) {
  const auto n = static_cast<int>(frame.size());
  frame.resize(frame.size() + 2);
  EXPECT_EQ(Orba_CalculoCRC_2(frame.data(), n), 0);
  return frame;
}

Bytes Read(unsigned char slave, unsigned char fn, int start, int count) {
  Bytes f(6, 0xEE);
  Orba_Comando_Lectura(slave, fn, start, count, f.data());
  return f;
}

struct Fixed {
  const char* what;
  Bytes got;
  const char* want;
};

TEST(Frames, FixedVectors) {
  Bytes w(8 + 23);
  const Bytes data = Hex("20 24 06 01 12 30 00 00 00 01 00 02 00 03 ff ff");
  int length = 16;
  ASSERT_EQ(Orba_Comando_16(1, 4096, 8, data.data(), w.data(), &length), 0);
  EXPECT_EQ(length, 23);
  w.resize(23);

  const Fixed cases[] = {
      {"crc of an empty frame", Closed({}), "ff ff"},
      {"connection test request", Closed(Read(1, 3, 4099, 1)), "01 03 10 03 00 01 70 ca"},
      {"read 50 at 1024", Read(1, 3, 1024, 50), "01 03 04 00 00 32"},
      {"start above 0xffff keeps its low 16 bits", Read(7, 3, 0x12345, 2), "07 03 23 45 00 02"},
      {"negative start is its low 16 bits too", Read(1, 3, -1, 1), "01 03 ff ff 00 01"},
      {"count above 255 keeps its low 8 bits", Read(1, 4, 0, 0x1FF), "01 04 00 00 00 ff"},
      {"write of 8 registers", w,
       "01 10 10 00 00 08 10 20 24 06 01 12 30 00 00 00 01 00 02 00 03 ff ff"},
  };
  for (const auto& c : cases) EXPECT_EQ(ToHex(c.got), ToHex(Hex(c.want))) << c.what;

  const std::string digits = "123456789";
  EXPECT_EQ(Orba_CRC16(reinterpret_cast<const unsigned char*>(digits.data()), 9), 0x4B37);
}

// The byte count of byte 6 is 8 bits: counts above 127 cannot be told, and are refused
// without touching the frame or the length.
TEST(Frames, WriteBuilderRefusesWhatByte6CannotCarry) {
  const Bytes data(300, 0x11);
  struct Bad {
    int count;
    int n;
  };
  for (const Bad b : {Bad{128, 256}, Bad{-1, 0}, Bad{8, -1}, Bad{8, 255}}) {
    Bytes frame(300, 0xA5);
    int length = b.n;
    EXPECT_EQ(Orba_Comando_16(1, 0, b.count, data.data(), frame.data(), &length), -1)
        << b.count << " registers, " << b.n << " bytes";
    EXPECT_EQ(length, b.n);
    EXPECT_EQ(frame, Bytes(300, 0xA5));
  }
  int length = 0;
  EXPECT_EQ(Orba_Comando_16(1, 0, 1, data.data(), nullptr, &length), -1);
  EXPECT_EQ(Orba_CalculoCRC_2(nullptr, 0), -1);
  Bytes f(4, 0xA5);
  EXPECT_EQ(Orba_CalculoCRC_2(f.data(), -1), -1);
  EXPECT_EQ(f, Bytes(4, 0xA5));
}

// ---- the table made by pymodbus

std::vector<std::string> PymodbusVectors() {
  Child peer({SystemPython(), VELDIX_TEST_DATA "/peers/rtu_vectors.py"});
  std::vector<std::string> lines;
  for (;;) {
    std::string line = peer.ReadLine(Ms(20000));
    if (line.empty()) break;
    lines.push_back(line);
  }
  return lines;
}

TEST(FramesAgainstPymodbus, CrcAndBuildersMatchTheIndependentTable) {
  const auto lines = PymodbusVectors();
  ASSERT_GT(lines.size(), 150u) << "pymodbus produced no table: is " << SystemPython()
                                << " able to import pymodbus?";
  int crcs = 0, reads = 0, writes = 0;
  for (const auto& line : lines) {
    std::istringstream in(line);
    std::string kind;
    in >> kind;
    if (kind == "crc") {
      std::string hex, crc;
      in >> hex >> crc;
      const Bytes p = hex == "-" ? Bytes{} : Hex(hex);
      EXPECT_EQ(Orba_CRC16(p.data(), p.size()), std::stoul(crc, nullptr, 16)) << line;
      ++crcs;
    } else if (kind == "read") {
      int slave, fn, start, count;
      std::string frame;
      in >> slave >> fn >> start >> count >> frame;
      Bytes ours(8);
      Orba_Comando_Lectura(static_cast<unsigned char>(slave), static_cast<unsigned char>(fn),
                           start, count, ours.data());
      Orba_CalculoCRC_2(ours.data(), 6);
      EXPECT_EQ(ToHex(ours), frame) << line;
      ++reads;
    } else if (kind == "write") {
      int slave, start, count;
      std::string data, frame;
      in >> slave >> start >> count >> data >> frame;
      const Bytes d = Hex(data);
      Bytes ours(7 + d.size() + 2);
      int length = static_cast<int>(d.size());
      ASSERT_EQ(Orba_Comando_16(static_cast<unsigned char>(slave), start, count, d.data(),
                                ours.data(), &length),
                0);
      ASSERT_EQ(length, static_cast<int>(7 + d.size()));
      Orba_CalculoCRC_2(ours.data(), length);
      EXPECT_EQ(ToHex(ours), frame) << line;
      ++writes;
    }
  }
  EXPECT_GT(crcs, 60);
  EXPECT_GT(reads, 40);
  EXPECT_GT(writes, 30);
}

}  // namespace
