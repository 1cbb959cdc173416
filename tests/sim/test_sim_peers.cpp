// The simulator as independent masters see it: libmodbus's RTU and TCP masters, and
// hand-built RTU frames on a pty and over TCP checked with a CRC of the test's own (the
// engine's tests meet pymodbus).
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>

#include "sim_harness.h"

using namespace simtest;

TEST(SimPeers, LibmodbusMastersOnThePtyAndOnModbusTcp) {
  SimProcess sim({"--serial", "--tcp", "0", "--slave", "4"});
  const std::string pty = sim.endpoint("serial");
  Master rtu(modbus_new_rtu(pty.c_str(), 9600, 'N', 8, 1), 4), tcp(sim.port("tcp"), 4);
  ASSERT_TRUE(rtu.ctx && tcp.ctx) << sim.err();
  auto refused = [](int rc) { return rc == -1 ? errno : 0; };  // the exception as errno
  uint16_t r[125];
  uint8_t bits[8] = {};
  for (Master* m : {&rtu, &tcp}) {
    const uint16_t k = m == &tcp;  // distinct values, so each link's writes are its own
    SCOPED_TRACE(k ? "tcp" : "rtu");
    ASSERT_TRUE(m->write(4112, {1, static_cast<uint16_t>(555 + k)})) << modbus_strerror(errno);
    ASSERT_EQ(modbus_write_register(m->ctx, 4108, 30 + k), 1) << modbus_strerror(errno);
    const std::vector<uint16_t> want = {uint16_t(30 + k), 0, 1, 8, 1, uint16_t(555 + k)};
    EXPECT_EQ(m->read(4108, 6), want) << "demand period, parity, stop and data bits, password";
    ASSERT_EQ(modbus_read_input_registers(m->ctx, 4099, 1, r), 1) << "function 4, same map";
    EXPECT_EQ(r[0], 4);
    // A gap, a read past 1081, a refused value, and functions the meter does not have.
    EXPECT_EQ(refused(modbus_read_registers(m->ctx, 4127, 1, r)), EMBXILADD);
    EXPECT_EQ(refused(modbus_read_registers(m->ctx, 1024, 125, r)), EMBXILADD);
    EXPECT_EQ(refused(modbus_write_register(m->ctx, 4099, 0)), EMBXILVAL);
    EXPECT_EQ(refused(modbus_read_bits(m->ctx, 0, 8, bits)), EMBXILFUN);
    EXPECT_EQ(refused(modbus_write_bit(m->ctx, 0, 1)), EMBXILFUN);
    EXPECT_EQ(refused(modbus_mask_write_register(m->ctx, 4113, 0xFF, 0)), EMBXILFUN);
    EXPECT_EQ(refused(modbus_write_and_read_registers(m->ctx, 4112, 1, r, 4112, 1, r)), EMBXILFUN);
    // A count of 0 in a raw request: exception 3.
    const uint8_t raw[] = {4, 3, 0x10, 0x03, 0x00, 0x00};
    ASSERT_GT(modbus_send_raw_request(m->ctx, raw, sizeof raw), 0);
    uint8_t rsp[MODBUS_TCP_MAX_ADU_LENGTH];
    const int at = modbus_get_header_length(m->ctx);
    ASSERT_GT(modbus_receive_confirmation(m->ctx, rsp), at + 1);
    EXPECT_EQ(rsp[at], 0x83);
    EXPECT_EQ(rsp[at + 1], 3);
  }

  // RTU: another address gets no answer; a broadcast write is carried out unanswered.
  modbus_set_slave(rtu.ctx, 5);
  modbus_set_response_timeout(rtu.ctx, 1, 200000);
  EXPECT_EQ(refused(modbus_read_registers(rtu.ctx, 4099, 1, r)), ETIMEDOUT);
  modbus_set_slave(rtu.ctx, 0);
  rtu.write(4128, {1, 2, 3, 4, 5});
  EXPECT_TRUE(WaitUntil([&] { return tcp.read(4128, 5) == std::vector<uint16_t>{1, 2, 3, 4, 5}; }));
  // Modbus TCP: units 0 and 255 are this meter too; another gets exception 11.
  for (const int unit : {0, 255, 7}) {
    modbus_set_slave(tcp.ctx, unit);
    EXPECT_EQ(refused(modbus_read_registers(tcp.ctx, 4099, 1, r)), unit == 7 ? EMBXGTAR : 0);
  }
  modbus_set_slave(tcp.ctx, 4);

  EXPECT_EQ(sim.stop(), 0) << sim.err();
  EXPECT_EQ(summary_count(sim.err(), "ignored"), 2) << sim.err();
}

TEST(SimPeers, HandBuiltRtuFramesOnANamedDeviceAndOverTcp) {
  // The test holds the master side of its own pty, as it would a real serial line.
  Pty pty;
  SimProcess sim({"--serial", pty.path(), "--baud", "19200", "--parity", "even", "--stop-bits", "2",
                  "--rtu-over-tcp", "0"});
  ASSERT_EQ(sim.endpoint("serial"), pty.path()) << sim.err();
  const int tcp = ConnectTcp(sim.port("rtu-over-tcp"));
  ASSERT_GE(tcp, 0) << sim.err();
  // The tool's connection test, byte for byte; answers are checked with the test's CRC.
  const Bytes test_req = rtu_read(4099, 1);
  ASSERT_EQ(test_req, Hex("01 03 10 03 00 01 70 CA"));
  Bytes bad = test_req;
  bad.back() ^= 0x55;
  for (const int fd : {pty.master(), tcp}) {
    SCOPED_TRACE(fd == tcp ? "rtu-over-tcp" : "serial");
    auto exchange = [&](const Bytes& request, std::size_t want, Ms wait) {
      EXPECT_TRUE(WriteAll(fd, request));
      return recv_for(fd, want, wait).bytes;
    };
    EXPECT_EQ(exchange(test_req, 7, 3s), WithCrc(Hex("01 03 02 0001")));
    EXPECT_EQ(exchange(rtu_read(4107, 4), 13, 3s), WithCrc(Hex("01 03 08 00C0 000F 0002 0002")))
        << "the command line's speed / 100, even parity and two stop bits";
    // A wrong CRC: no answer. Another address's request with its own right behind it, in
    // one write: only its own is answered, and nothing of it is lost.
    EXPECT_TRUE(exchange(bad, 1, 300ms).empty());
    Bytes two = rtu_read(4099, 1, 2);
    two.insert(two.end(), test_req.begin(), test_req.end());
    EXPECT_EQ(exchange(two, 8, 1s), WithCrc(Hex("01 03 02 0001")));
  }
  ::close(tcp);
  EXPECT_EQ(sim.stop(), 0) << sim.err();
  EXPECT_EQ(summary_count(sim.err(), "bad-frames"), 2) << sim.err();
  EXPECT_EQ(summary_count(sim.err(), "ignored"), 2) << sim.err();
}
