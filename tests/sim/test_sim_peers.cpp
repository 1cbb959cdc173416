// The simulator as independent masters see it: mbpoll on a pty and on Modbus TCP,
// libmodbus's RTU and TCP masters, pymodbus's RTU framer over TCP, and hand-built RTU
// frames checked with a CRC of the test's own.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <map>
#include <regex>

#include "sim_harness.h"

using namespace simtest;

namespace {

// "[1024]: \t0x0003" lines of mbpoll -t 4:hex, or "[1024]: \t230715" of -t 4 and 4:int.
std::map<int, long long> mbpoll_values(const std::string& out) {
  std::map<int, long long> v;
  static const std::regex line(R"(\[(\d+)\]:\s+(0x[0-9A-Fa-f]+|-?\d+))");
  for (auto it = std::sregex_iterator(out.begin(), out.end(), line); it != std::sregex_iterator();
       ++it) {
    v[std::stoi((*it)[1])] = std::stoll((*it)[2], nullptr, 0);
  }
  return v;
}

}  // namespace

TEST(SimPeers, MbpollOnThePtyAndOnModbusTcp) {
  SimProcess sim({"--serial", "--tcp", "0", "--slave", "9"});
  const std::string pty = sim.endpoint("serial");
  const uint16_t port = sim.port("tcp");
  ASSERT_TRUE(!pty.empty() && port != 0) << sim.err();
  struct Link { const char* name; std::vector<std::string> opts; std::string where; int mask0; };
  const Link links[] = {
      {"rtu", {"-m", "rtu", "-b", "9600", "-P", "none"}, pty, 0x1234},
      {"tcp", {"-m", "tcp", "-p", std::to_string(port)}, "127.0.0.1", 0x5678},
  };
  for (const Link& l : links) {
    SCOPED_TRACE(l.name);
    auto mbpoll = [&](std::vector<std::string> opts, std::vector<std::string> values = {}) {
      std::vector<std::string> a = {"mbpoll"};
      a.insert(a.end(), l.opts.begin(), l.opts.end());
      a.insert(a.end(), {"-a", "9", "-0", "-1", "-o", "2"});
      a.insert(a.end(), opts.begin(), opts.end());
      a.push_back(l.where);
      a.insert(a.end(), values.begin(), values.end());
      return run_command(a, 15s);
    };
    // mbpoll's own 32-bit decoding, high word first, as the screen reads them.
    auto r = mbpoll({"-t", "4:int", "-B", "-r", "1024", "-c", "25"});
    ASSERT_EQ(r.exit_code, 0) << r.output;
    auto v = mbpoll_values(r.output);
    ASSERT_EQ(v.size(), 25u) << r.output;
    for (int k = 0; k < 3; ++k) {
      EXPECT_NEAR(v.at(1024 + 2 * k) / 1000.0, 230.0, 8.0) << "V L" << k + 1;
      EXPECT_GT(v.at(1030 + 2 * k), 500) << "I L" << k + 1;
      EXPECT_NEAR(v.at(1040 + 2 * k) / 1000.0, 398.4, 14.0) << "U L-L " << k + 1;
    }
    for (int total : {1056, 1064, 1072}) {  // P, S and Q totals are the sums of the phases
      EXPECT_EQ(v.at(total), v.at(total - 6) + v.at(total - 4) + v.at(total - 2)) << total;
    }

    r = mbpoll({"-t", "4", "-r", "1074", "-c", "8"});
    v = mbpoll_values(r.output);
    ASSERT_EQ(v.size(), 8u) << r.output;
    EXPECT_NEAR(v.at(1077) / 10.0, 50.0, 0.11) << "frequency";
    for (int reg = 1078; reg <= 1081; ++reg) {
      EXPECT_TRUE(v.at(reg) > 700 && v.at(reg) <= 1000) << "power factor " << reg;
    }

    r = mbpoll({"-t", "4:hex", "-r", "4096", "-c", "30"});
    v = mbpoll_values(r.output);
    ASSERT_EQ(v.size(), 30u) << r.output;
    EXPECT_EQ(v.at(4099), 9);
    EXPECT_TRUE(v.at(4110) == 1 || v.at(4110) == 2) << "stop bits";
    // The BCD clock: year, month, day, hour, minute, second.
    struct Field { int reg, shift, lo, hi; };
    const Field fields[] = {{4103, 0, 0, 99}, {4104, 8, 1, 12}, {4104, 0, 1, 31},
                            {4105, 0, 0, 23}, {4106, 8, 0, 59}, {4106, 0, 0, 59}};
    for (const Field& f : fields) {
      const auto b = static_cast<uint8_t>(v.at(f.reg) >> f.shift);
      EXPECT_TRUE(bcd_valid(b) && bcd(b) >= f.lo && bcd(b) <= f.hi) << f.reg << " " << int(b);
    }

    // The display screen's save, read back: word 4 keeps no bits 3 to 7.
    r = mbpoll({"-t", "4", "-r", "4128"}, {std::to_string(l.mask0), "1", "2", "3", "65535"});
    ASSERT_EQ(r.exit_code, 0) << r.output;
    r = mbpoll({"-t", "4:hex", "-r", "4128", "-c", "5"});
    EXPECT_EQ(mbpoll_values(r.output),
              (std::map<int, long long>{{4128, l.mask0}, {4129, 1}, {4130, 2}, {4131, 3}, {4132, 0xFF07}}))
        << r.output;

    // A gap in the map, and a write to a measurement: exception 2.
    r = mbpoll({"-t", "4", "-r", "4126", "-c", "2"});
    EXPECT_NE(r.output.find("Illegal data address"), std::string::npos) << r.output;
    r = mbpoll({"-t", "4", "-r", "1024"}, {"1"});
    EXPECT_NE(r.output.find("Illegal data address"), std::string::npos) << r.output;
  }
  EXPECT_EQ(sim.stop(), 0) << sim.err();
}

TEST(SimPeers, LibmodbusRtuMasterOnThePty) {
  SimProcess sim({"--serial", "--slave", "4"});
  const std::string pty = sim.endpoint("serial");
  ASSERT_FALSE(pty.empty()) << sim.err();
  Master m(modbus_new_rtu(pty.c_str(), 9600, 'N', 8, 1), 4);
  ASSERT_NE(m.ctx, nullptr) << modbus_strerror(errno);

  ASSERT_TRUE(m.write(4112, {1, 555})) << modbus_strerror(errno);
  ASSERT_EQ(modbus_write_register(m.ctx, 4108, 30), 1) << modbus_strerror(errno);
  EXPECT_EQ(m.read(4108, 6), (std::vector<uint16_t>{30, 0, 1, 8, 1, 555}));
  uint16_t r[1];
  ASSERT_EQ(modbus_read_input_registers(m.ctx, 4099, 1, r), 1) << "function 4, same map";
  EXPECT_EQ(r[0], 4);
  EXPECT_EQ(modbus_read_registers(m.ctx, 4127, 1, r), -1);
  EXPECT_EQ(errno, EMBXILADD);
  uint8_t bits[8];
  EXPECT_EQ(modbus_read_bits(m.ctx, 0, 8, bits), -1);
  EXPECT_EQ(errno, EMBXILFUN);

  // Another address: no answer. The simulator then listens half a second for that
  // slave's answer, as on a shared bus, so the master waits longer than that.
  modbus_set_slave(m.ctx, 5);
  modbus_set_response_timeout(m.ctx, 1, 200000);
  EXPECT_EQ(modbus_read_registers(m.ctx, 4099, 1, r), -1);
  EXPECT_EQ(errno, ETIMEDOUT);
  // A broadcast write is carried out without an answer.
  modbus_set_slave(m.ctx, 0);
  m.write(4128, {1, 2, 3, 4, 5});
  modbus_set_slave(m.ctx, 4);
  modbus_set_response_timeout(m.ctx, 2, 0);
  EXPECT_EQ(m.read(4128, 5), (std::vector<uint16_t>{1, 2, 3, 4, 5}));
  EXPECT_EQ(sim.stop(), 0) << sim.err();
  EXPECT_EQ(summary_count(sim.err(), "ignored"), 2) << sim.err();
}

TEST(SimPeers, LibmodbusTcpMasterUnitsExceptionsAndEnergy) {
  SimProcess sim({"--tcp", "0"});
  Master m(sim.port("tcp"));
  ASSERT_NE(m.ctx, nullptr) << sim.err();
  uint16_t r[125];

  // Units 1, 0 and 255 are this meter; others get exception 11.
  for (int unit : {1, 0, 255}) {
    modbus_set_slave(m.ctx, unit);
    EXPECT_EQ(modbus_read_registers(m.ctx, 4099, 1, r), 1) << "unit " << unit;
  }
  modbus_set_slave(m.ctx, 7);
  EXPECT_EQ(modbus_read_registers(m.ctx, 4099, 1, r), -1);
  EXPECT_EQ(errno, EMBXGTAR);
  modbus_set_slave(m.ctx, 1);

  EXPECT_EQ(modbus_read_registers(m.ctx, 1024, 125, r), -1) << "runs past 1081";
  EXPECT_EQ(errno, EMBXILADD);
  EXPECT_EQ(modbus_write_register(m.ctx, 4099, 0), -1);
  EXPECT_EQ(errno, EMBXILVAL);
  // Functions the meter does not have.
  uint8_t bits[16] = {};
  const uint16_t two[2] = {1, 2};
  EXPECT_EQ(modbus_read_bits(m.ctx, 0, 8, bits), -1);
  EXPECT_EQ(modbus_read_input_bits(m.ctx, 0, 8, bits), -1);
  EXPECT_EQ(modbus_write_bit(m.ctx, 0, 1), -1);
  EXPECT_EQ(modbus_write_bits(m.ctx, 0, 8, bits), -1);
  EXPECT_EQ(modbus_mask_write_register(m.ctx, 4113, 0xFF, 0), -1);
  EXPECT_EQ(modbus_write_and_read_registers(m.ctx, 4112, 2, two, 4112, 2, r), -1);
  // A count of 0 in a raw request: exception 3.
  const uint8_t raw[] = {1, 3, 0x10, 0x03, 0x00, 0x00};
  ASSERT_GT(modbus_send_raw_request(m.ctx, raw, sizeof raw), 0);
  uint8_t rsp[MODBUS_TCP_MAX_ADU_LENGTH];
  EXPECT_EQ(modbus_receive_confirmation(m.ctx, rsp), 9);
  EXPECT_EQ(rsp[7], 0x83);
  EXPECT_EQ(rsp[8], 3);

  // Energy follows the power in wall-clock time; CT 5000 A / 5 A makes it fast to see.
  ASSERT_TRUE(m.write(4120, {0, 5000}));
  auto import_units = [&] {
    const auto e = m.read(270, 2);
    return e.size() == 2 ? u32(e[0], e[1]) : 0u;
  };
  const uint32_t e0 = import_units();
  const auto t0 = Clock::now();
  double p_sum = 0;
  int samples = 0;
  while (samples == 0 || SecondsSince(t0) < 3.0) {  // sample the power while energy grows
    const auto p = m.read(1056, 2);
    ASSERT_EQ(p.size(), 2u);
    p_sum += s32(p[0], p[1]);
    ++samples;
    ::poll(nullptr, 0, 100);
  }
  const uint32_t e1 = import_units();
  const double expected_wh = p_sum / samples * SecondsSince(t0) / 3600.0;
  EXPECT_GT(expected_wh, 500.0);
  EXPECT_NEAR((e1 - e0) * 10.0, expected_wh, 0.1 * expected_wh + 20.0);
  EXPECT_EQ(sim.stop(), 0) << sim.err();
}

TEST(SimPeers, RtuOverTcpHandBuiltFrames) {
  SimProcess sim({"--rtu-over-tcp", "0"});
  const int fd = ConnectTcp(sim.port("rtu-over-tcp"));
  ASSERT_GE(fd, 0) << sim.err();
  // The tool's connection test, byte for byte.
  const Bytes test_req = rtu_read(4099, 1);
  ASSERT_EQ(test_req, Hex("01 03 10 03 00 01 70 CA"));
  ASSERT_TRUE(WriteAll(fd, test_req));
  auto a = recv_for(fd, 7, 3s);
  ASSERT_EQ(a.bytes.size(), 7u);
  EXPECT_TRUE(CrcOk(a.bytes));
  EXPECT_EQ(Bytes(a.bytes.begin(), a.bytes.begin() + 5), Hex("01 03 02 00 01"));

  // The display screen's save frame; the answer echoes start and count.
  ASSERT_TRUE(WriteAll(fd, WithCrc(Hex("01 10 1020 0005 0A FFFF 0000 8000 0001 FF07"))));
  a = recv_for(fd, 8, 3s);
  ASSERT_EQ(a.bytes.size(), 8u);
  EXPECT_TRUE(CrcOk(a.bytes));
  EXPECT_EQ(Bytes(a.bytes.begin(), a.bytes.begin() + 6), Hex("01 10 1020 0005"));

  // A wrong CRC, then another address: no answer at all (the second wait also covers the
  // half second a bus slave leaves for the other's answer); then its own address again.
  Bytes bad = test_req;
  bad.back() ^= 0x55;
  ASSERT_TRUE(WriteAll(fd, bad));
  EXPECT_TRUE(recv_for(fd, 1, 300ms).bytes.empty());
  ASSERT_TRUE(WriteAll(fd, rtu_read(4099, 1, 2)));
  EXPECT_TRUE(recv_for(fd, 1, 1000ms).bytes.empty());
  ASSERT_TRUE(WriteAll(fd, test_req));
  a = recv_for(fd, 7, 3s);
  EXPECT_EQ(a.bytes.size(), 7u);
  EXPECT_TRUE(CrcOk(a.bytes));
  ::close(fd);
  EXPECT_EQ(sim.stop(), 0) << sim.err();
  EXPECT_EQ(summary_count(sim.err(), "bad-frames"), 1) << sim.err();
  EXPECT_EQ(summary_count(sim.err(), "ignored"), 1) << sim.err();
}

TEST(SimPeers, PymodbusRtuFramerOverTcp) {
  SimProcess sim({"--rtu-over-tcp", "0", "--slave", "3"});
  const uint16_t port = sim.port("rtu-over-tcp");
  ASSERT_NE(port, 0) << sim.err();
  // pymodbus's own client and RTU framer, with its own CRC check of every answer.
  const char* script = R"(
import sys
from pymodbus.client import ModbusTcpClient
from pymodbus.transaction import ModbusRtuFramer
c = ModbusTcpClient("127.0.0.1", port=int(sys.argv[1]), framer=ModbusRtuFramer, timeout=3)
assert c.connect(), "connect"
a = c.read_holding_registers(4099, 1, slave=3)
m = c.read_holding_registers(1024, 50, slave=3)
w = c.write_registers(4112, [4, 2468], slave=3)
s = c.read_holding_registers(4112, 2, slave=3)
assert not any(r.isError() for r in (a, m, w, s)), (a, m, w, s)
e = c.read_holding_registers(4127, 1, slave=3)
print("slave", a.registers[0], "settings", *s.registers, "exception", e.exception_code)
print("voltage", (m.registers[0] << 16 | m.registers[1]) / 1000.0)
)";
  const auto res = run_command({SystemPython(), "-c", script, std::to_string(port)}, 30s);
  ASSERT_EQ(res.exit_code, 0) << res.output;
  EXPECT_NE(res.output.find("slave 3 settings 4 2468 exception 2"), std::string::npos)
      << res.output;
  std::smatch mv;
  ASSERT_TRUE(std::regex_search(res.output, mv, std::regex(R"(voltage ([0-9.]+))"))) << res.output;
  EXPECT_NEAR(std::stod(mv[1]), 230.0, 8.0);
  EXPECT_EQ(sim.stop(), 0) << sim.err();
}

TEST(SimPeers, SerialDeviceAndLineSettingsFromTheCommandLine) {
  // The test holds the master side of its own pty, as it would a real serial line.
  Pty pty;
  SimProcess sim({"--serial", pty.path(), "--baud", "19200", "--parity", "even", "--stop-bits",
                  "2", "--slave", "12"});
  ASSERT_EQ(sim.endpoint("serial"), pty.path()) << sim.err();
  ASSERT_TRUE(WriteAll(pty.master(), rtu_read(4107, 4, 12)));
  const Received r = recv_for(pty.master(), 13, 3s);
  ASSERT_EQ(r.bytes.size(), 13u) << sim.err();
  EXPECT_TRUE(CrcOk(r.bytes));
  // Speed / 100, demand period, even parity, two stop bits.
  EXPECT_EQ(Bytes(r.bytes.begin(), r.bytes.end() - 2), Hex("0C 03 08 00C0 000F 0002 0002"));
  EXPECT_EQ(sim.stop(), 0) << sim.err();
}
