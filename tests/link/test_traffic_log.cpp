// The traffic log: decoding and its bound (the frames the engine notes: test_engine.cpp).
#include <gtest/gtest.h>

#include <algorithm>

#include "link/traffic_log.h"
#include "test_bytes.h"

using namespace vtest;

namespace {

traffic::Frame Made(traffic::Direction d, traffic::Link link, const Bytes& bytes) {
  traffic::Frame f{.direction = d, .link = link, .size = std::uint16_t(bytes.size())};
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
      {D::kSent, L::kSerialRtu, WithCrc(Hex("01 03 0400 0002")),
       "slave 1, fn 3, address 1024, count 2"},
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

}  // namespace
