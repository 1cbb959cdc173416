// The simulator as independent masters see it: libmodbus's RTU and TCP masters (the
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
  uint16_t r[8];
  for (Master* m : {&rtu, &tcp}) {
    const uint16_t k = m == &tcp;  // distinct values, so each link's writes are its own
    SCOPED_TRACE(k ? "tcp" : "rtu");
    ASSERT_TRUE(m->write(4112, {1, static_cast<uint16_t>(555 + k)})) << modbus_strerror(errno);
    ASSERT_EQ(modbus_write_register(m->ctx, 4108, 30 + k), 1) << modbus_strerror(errno);
    EXPECT_EQ(m->read(4108, 6), (Words{uint16_t(30 + k), 0, 1, 8, 1, uint16_t(555 + k)}))
        << "demand period, parity, stop and data bits, password";
    EXPECT_TRUE(modbus_read_input_registers(m->ctx, 4099, 1, r) == 1 && r[0] == 4) << "function 4";
    EXPECT_EQ(refused(modbus_read_registers(m->ctx, 4127, 1, r)), EMBXILADD);
    EXPECT_EQ(refused(modbus_write_register(m->ctx, 4099, 0)), EMBXILVAL);
    EXPECT_EQ(refused(modbus_read_bits(m->ctx, 0, 8, reinterpret_cast<uint8_t*>(r))), EMBXILFUN);
  }
  // RTU: a broadcast write is carried out unanswered.
  modbus_set_slave(rtu.ctx, 0);
  rtu.write(4128, {1, 2, 3, 4, 5});
  EXPECT_TRUE(WaitUntil([&] { return tcp.read(4128, 5) == Words{1, 2, 3, 4, 5}; }));
  EXPECT_EQ(sim.stop(), 0) << sim.err();
  EXPECT_NE(sim.err().find(" ignored=1 "), std::string::npos) << sim.err();
}
