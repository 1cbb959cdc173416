// The simulator as independent masters see it: mbpoll on a pty and on Modbus TCP,
// libmodbus's RTU and TCP masters, pymodbus's RTU framer over TCP, and hand-built RTU
// frames over TCP checked with a CRC of the test's own.
#include <gtest/gtest.h>
#include <modbus/modbus.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>

#include <cerrno>
#include <cmath>
#include <map>
#include <regex>

#include "sim_harness.h"

using namespace simtest;

namespace {

using Clock = std::chrono::steady_clock;

// "[1024]: \t0x0003" lines of mbpoll -t 4:hex, or "[1024]: \t230715" of -t 4:int.
std::map<int, long long> mbpoll_values(const std::string& out) {
  std::map<int, long long> v;
  static const std::regex line(R"(\[(\d+)\]:\s+(0x[0-9A-Fa-f]+|-?\d+))");
  for (auto it = std::sregex_iterator(out.begin(), out.end(), line); it != std::sregex_iterator();
       ++it) {
    v[std::stoi((*it)[1])] = std::stoll((*it)[2], nullptr, 0);
  }
  return v;
}

// mbpoll command lines: options, then the device or host, then values to write.
std::vector<std::string> mbpoll_cmd(const std::vector<std::string>& link, const std::string& where,
                                    const std::vector<std::string>& opts,
                                    const std::vector<std::string>& values = {}) {
  std::vector<std::string> a = {"mbpoll"};
  a.insert(a.end(), link.begin(), link.end());
  a.insert(a.end(), {"-a", "1", "-0", "-1", "-o", "2"});
  a.insert(a.end(), opts.begin(), opts.end());
  a.push_back(where);
  a.insert(a.end(), values.begin(), values.end());
  return a;
}

void expect_plausible_measurements(const std::map<int, long long>& w, const std::string& link) {
  // 32-bit values, high word first.
  auto v32 = [&](int reg) { return s32(static_cast<uint16_t>(w.at(reg)), static_cast<uint16_t>(w.at(reg + 1))); };
  for (int k = 0; k < 3; ++k) {
    EXPECT_NEAR(v32(1024 + 2 * k) / 1000.0, 230.0, 8.0) << link << " V L" << k + 1;
    EXPECT_GT(v32(1030 + 2 * k) / 1000.0, 0.5) << link << " I L" << k + 1;
    EXPECT_NEAR(v32(1040 + 2 * k) / 1000.0, 398.4, 14.0) << link << " U L-L";
  }
  EXPECT_EQ(v32(1056), v32(1050) + v32(1052) + v32(1054)) << link << " P total";
}

void expect_valid_config(const std::map<int, long long>& w, int slave, const std::string& link) {
  EXPECT_EQ(w.at(4099), slave) << link;
  const auto y = static_cast<uint8_t>(w.at(4103) & 0xFF);
  const auto mo = static_cast<uint8_t>(w.at(4104) >> 8);
  const auto d = static_cast<uint8_t>(w.at(4104) & 0xFF);
  const auto h = static_cast<uint8_t>(w.at(4105) & 0xFF);
  const auto mi = static_cast<uint8_t>(w.at(4106) >> 8);
  const auto s = static_cast<uint8_t>(w.at(4106) & 0xFF);
  for (uint8_t b : {y, mo, d, h, mi, s}) EXPECT_TRUE(bcd_valid(b)) << link << std::hex << int(b);
  EXPECT_GE(bcd(mo), 1);
  EXPECT_LE(bcd(mo), 12);
  EXPECT_GE(bcd(d), 1);
  EXPECT_LE(bcd(d), 31);
  EXPECT_LE(bcd(h), 23);
  EXPECT_LE(bcd(mi), 59);
  EXPECT_LE(bcd(s), 59);
  EXPECT_EQ(w.at(4110) == 1 || w.at(4110) == 2, true) << link;
}

struct Master {
  modbus_t* ctx = nullptr;
  ~Master() {
    if (ctx) {
      modbus_close(ctx);
      modbus_free(ctx);
    }
  }
};

bool connect_tcp_master(Master& m, uint16_t port, int unit = 1) {
  m.ctx = modbus_new_tcp("127.0.0.1", port);
  if (!m.ctx) return false;
  modbus_set_slave(m.ctx, unit);
  modbus_set_response_timeout(m.ctx, 2, 0);
  return modbus_connect(m.ctx) == 0;
}

}  // namespace

TEST(SimPeers, MbpollOnThePtyReadsAndWrites) {
  SimProcess sim({"--serial"});
  const std::string pty = sim.endpoint("serial");
  ASSERT_FALSE(pty.empty()) << sim.err();
  const std::vector<std::string> rtu = {"-m", "rtu", "-b", "9600", "-P", "none"};

  const auto a = run_command(mbpoll_cmd(rtu, pty, {"-t", "4:hex", "-r", "1024", "-c", "50"}), 15s);
  ASSERT_EQ(a.exit_code, 0) << a.output;
  const auto meas = mbpoll_values(a.output);
  ASSERT_EQ(meas.size(), 50u) << a.output;
  expect_plausible_measurements(meas, "rtu");

  const auto b = run_command(mbpoll_cmd(rtu, pty, {"-t", "4", "-r", "1074", "-c", "8"}), 15s);
  ASSERT_EQ(b.exit_code, 0) << b.output;
  const auto narrow = mbpoll_values(b.output);
  ASSERT_EQ(narrow.size(), 8u) << b.output;
  EXPECT_NEAR(narrow.at(1077) / 10.0, 50.0, 0.11) << "frequency";
  for (int r = 1078; r <= 1081; ++r) {
    EXPECT_GT(narrow.at(r), 700) << "power factor " << r;
    EXPECT_LE(narrow.at(r), 1000) << "power factor " << r;
  }

  const auto c = run_command(mbpoll_cmd(rtu, pty, {"-t", "4:hex", "-r", "4096", "-c", "30"}), 15s);
  ASSERT_EQ(c.exit_code, 0) << c.output;
  expect_valid_config(mbpoll_values(c.output), 1, "rtu");

  // The display screen's save: five words; word 4 keeps no bits 3 to 7.
  const auto w = run_command(
      mbpoll_cmd(rtu, pty, {"-t", "4", "-r", "4128"}, {"4660", "1", "2", "3", "65535"}), 15s);
  ASSERT_EQ(w.exit_code, 0) << w.output;
  const auto r = run_command(mbpoll_cmd(rtu, pty, {"-t", "4:hex", "-r", "4128", "-c", "5"}), 15s);
  ASSERT_EQ(r.exit_code, 0) << r.output;
  const auto mask = mbpoll_values(r.output);
  EXPECT_EQ(mask, (std::map<int, long long>{
                      {4128, 0x1234}, {4129, 1}, {4130, 2}, {4131, 3}, {4132, 0xFF07}}));
  EXPECT_EQ(sim.stop(), 0) << sim.err();
}

TEST(SimPeers, MbpollOnModbusTcpDecodes32BitValuesAndSeesExceptions) {
  SimProcess sim({"--tcp", "0", "--slave", "9"});
  const uint16_t port = sim.port("tcp");
  ASSERT_NE(port, 0) << sim.err();
  const std::vector<std::string> tcp = {"-m", "tcp", "-p", std::to_string(port)};
  auto cmd = [&](std::vector<std::string> opts, std::vector<std::string> values = {}) {
    auto a = mbpoll_cmd(tcp, "127.0.0.1", opts, values);
    a[std::find(a.begin(), a.end(), "-a") - a.begin() + 1] = "9";
    return a;
  };

  // mbpoll's own 32-bit decoding (big-endian word order): signed values as the screen
  // reads them.
  const auto a = run_command(cmd({"-t", "4:int", "-B", "-r", "1024", "-c", "25"}), 15s);
  ASSERT_EQ(a.exit_code, 0) << a.output;
  const auto v = mbpoll_values(a.output);
  ASSERT_EQ(v.size(), 25u) << a.output;
  for (int k = 0; k < 3; ++k) EXPECT_NEAR(v.at(1024 + 2 * k) / 1000.0, 230.0, 8.0);
  EXPECT_EQ(v.at(1056), v.at(1050) + v.at(1052) + v.at(1054)) << "P total";
  EXPECT_EQ(v.at(1064), v.at(1058) + v.at(1060) + v.at(1062)) << "S total";
  EXPECT_EQ(v.at(1072), v.at(1066) + v.at(1068) + v.at(1070)) << "Q total";

  const auto c = run_command(cmd({"-t", "4:hex", "-r", "4096", "-c", "30"}), 15s);
  ASSERT_EQ(c.exit_code, 0) << c.output;
  expect_valid_config(mbpoll_values(c.output), 9, "tcp");

  // Settings written by mbpoll read back.
  const auto w = run_command(cmd({"-t", "4", "-r", "4112"}, {"2", "4321"}), 15s);
  ASSERT_EQ(w.exit_code, 0) << w.output;
  const auto r = run_command(cmd({"-t", "4", "-r", "4112", "-c", "2"}), 15s);
  EXPECT_EQ(mbpoll_values(r.output), (std::map<int, long long>{{4112, 2}, {4113, 4321}}));

  const auto gap = run_command(cmd({"-t", "4", "-r", "4126", "-c", "2"}), 15s);
  EXPECT_NE(gap.output.find("Illegal data address"), std::string::npos) << gap.output;
  const auto ro = run_command(cmd({"-t", "4", "-r", "1024"}, {"1"}), 15s);
  EXPECT_NE(ro.output.find("Illegal data address"), std::string::npos) << ro.output;
  EXPECT_EQ(sim.stop(), 0) << sim.err();
}

TEST(SimPeers, LibmodbusRtuMasterOnThePty) {
  SimProcess sim({"--serial", "--slave", "4"});
  const std::string pty = sim.endpoint("serial");
  ASSERT_FALSE(pty.empty()) << sim.err();
  Master m;
  m.ctx = modbus_new_rtu(pty.c_str(), 9600, 'N', 8, 1);
  ASSERT_NE(m.ctx, nullptr);
  modbus_set_slave(m.ctx, 4);
  modbus_set_response_timeout(m.ctx, 2, 0);
  ASSERT_EQ(modbus_connect(m.ctx), 0) << modbus_strerror(errno);

  uint16_t r[30];
  ASSERT_EQ(modbus_read_registers(m.ctx, 4099, 1, r), 1) << modbus_strerror(errno);
  EXPECT_EQ(r[0], 4);
  const uint16_t cfg[2] = {1, 555};
  ASSERT_EQ(modbus_write_registers(m.ctx, 4112, 2, cfg), 2) << modbus_strerror(errno);
  ASSERT_EQ(modbus_write_register(m.ctx, 4108, 30), 1) << modbus_strerror(errno);
  ASSERT_EQ(modbus_read_registers(m.ctx, 4108, 6, r), 6);
  EXPECT_EQ(r[0], 30);
  EXPECT_EQ(r[4], 1);
  EXPECT_EQ(r[5], 555);
  // Function 4 reads the same map.
  ASSERT_EQ(modbus_read_input_registers(m.ctx, 4099, 1, r), 1);
  EXPECT_EQ(r[0], 4);

  EXPECT_EQ(modbus_read_registers(m.ctx, 4127, 1, r), -1);
  EXPECT_EQ(errno, EMBXILADD);
  uint8_t bits[8];
  EXPECT_EQ(modbus_read_bits(m.ctx, 0, 8, bits), -1);
  EXPECT_EQ(errno, EMBXILFUN);

  // Another address: no answer. The simulator then listens for that slave's answer for
  // half a second, as on a shared bus, so the master waits longer than that.
  modbus_set_slave(m.ctx, 5);
  modbus_set_response_timeout(m.ctx, 1, 200000);
  EXPECT_EQ(modbus_read_registers(m.ctx, 4099, 1, r), -1);
  EXPECT_EQ(errno, ETIMEDOUT);
  // A broadcast write is carried out without an answer.
  modbus_set_slave(m.ctx, 0);
  const uint16_t mask[5] = {1, 2, 3, 4, 5};
  modbus_write_registers(m.ctx, 4128, 5, mask);
  modbus_set_slave(m.ctx, 4);
  modbus_set_response_timeout(m.ctx, 2, 0);
  ASSERT_EQ(modbus_read_registers(m.ctx, 4128, 5, r), 5) << modbus_strerror(errno);
  EXPECT_EQ(std::vector<uint16_t>(r, r + 5), (std::vector<uint16_t>{1, 2, 3, 4, 5}));
  EXPECT_EQ(sim.stop(), 0) << sim.err();
  EXPECT_NE(sim.err().find("ignored=2"), std::string::npos) << sim.err();
}

TEST(SimPeers, LibmodbusTcpMasterUnitsExceptionsAndLiveValues) {
  SimProcess sim({"--tcp", "0"});
  const uint16_t port = sim.port("tcp");
  ASSERT_NE(port, 0) << sim.err();
  Master m;
  ASSERT_TRUE(connect_tcp_master(m, port)) << modbus_strerror(errno);
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

  // (The whole map is checked on the model; here the answers on the wire.)
  EXPECT_EQ(modbus_read_registers(m.ctx, 1024, 125, r), -1) << "runs past 1081";
  EXPECT_EQ(errno, EMBXILADD);
  EXPECT_EQ(modbus_read_registers(m.ctx, 4127, 1, r), -1);
  EXPECT_EQ(errno, EMBXILADD);
  EXPECT_EQ(modbus_write_register(m.ctx, 1024, 1), -1) << "measurements are read only";
  EXPECT_EQ(errno, EMBXILADD);
  EXPECT_EQ(modbus_write_register(m.ctx, 4099, 0), -1);
  EXPECT_EQ(errno, EMBXILVAL);

  // Functions the meter does not have.
  uint8_t bits[16];
  const uint16_t two[2] = {1, 2};
  struct Fn { const char* name; int rc; };
  const Fn fns[] = {
      {"read coils", modbus_read_bits(m.ctx, 0, 8, bits)},
      {"read inputs", modbus_read_input_bits(m.ctx, 0, 8, bits)},
      {"write coil", modbus_write_bit(m.ctx, 0, 1)},
      {"write coils", modbus_write_bits(m.ctx, 0, 8, bits)},
      {"mask write", modbus_mask_write_register(m.ctx, 4113, 0xFF, 0)},
      {"write and read", modbus_write_and_read_registers(m.ctx, 4112, 2, two, 4112, 2, r)},
  };
  for (const Fn& f : fns) EXPECT_EQ(f.rc, -1) << f.name;
  // A count of 0 in a raw request: exception 3.
  const uint8_t raw[] = {1, 3, 0x10, 0x03, 0x00, 0x00};
  ASSERT_GT(modbus_send_raw_request(m.ctx, raw, sizeof raw), 0);
  uint8_t rsp[MODBUS_TCP_MAX_ADU_LENGTH];
  EXPECT_EQ(modbus_receive_confirmation(m.ctx, rsp), 9);
  EXPECT_EQ(rsp[7], 0x83);
  EXPECT_EQ(rsp[8], 3);

  // Live values: one read of each block, then energy that follows the power. A large CT
  // ratio makes the counters move fast enough to measure in a few seconds.
  ASSERT_EQ(modbus_write_register(m.ctx, 4121, 5000), 1);  // CT primary 5000 A / 5 A
  ASSERT_EQ(modbus_read_registers(m.ctx, 1024, 50, r), 50);
  for (int k = 0; k < 3; ++k) {
    const double v = s32(r[2 * k], r[2 * k + 1]) / 1000.0;
    const double i = s32(r[6 + 2 * k], r[7 + 2 * k]) / 1000.0;
    const double s = s32(r[34 + 2 * k], r[35 + 2 * k]);
    EXPECT_NEAR(s, v * i, 0.002 * s + 1) << "S = V*I";
  }
  auto total_power = [&] {
    uint16_t p[2] = {0, 0};
    EXPECT_EQ(modbus_read_registers(m.ctx, 1056, 2, p), 2);
    return static_cast<double>(s32(p[0], p[1]));
  };
  auto import_units = [&] {
    uint16_t e[2] = {0, 0};
    EXPECT_EQ(modbus_read_registers(m.ctx, 270, 2, e), 2);
    return u32(e[0], e[1]);
  };
  const uint32_t e0 = import_units();
  const auto t0 = Clock::now();
  double p_sum = total_power();
  int samples = 1;
  while (Clock::now() - t0 < 3s) {  // sample the power while the energy accumulates
    p_sum += total_power();
    ++samples;
    ::poll(nullptr, 0, 100);
  }
  const uint32_t e1 = import_units();
  const double hours = std::chrono::duration<double>(Clock::now() - t0).count() / 3600.0;
  const double expected_wh = p_sum / samples * hours;
  EXPECT_GT(expected_wh, 500.0);
  EXPECT_NEAR((e1 - e0) * 10.0, expected_wh, 0.1 * expected_wh + 20.0);

  EXPECT_EQ(sim.stop(), 0) << sim.err();
}

TEST(SimPeers, RtuOverTcpHandBuiltFrames) {
  SimProcess sim({"--rtu-over-tcp", "0"});
  const uint16_t port = sim.port("rtu-over-tcp");
  ASSERT_NE(port, 0) << sim.err();
  const int fd = ConnectTcp(port);
  ASSERT_GE(fd, 0);

  // The connection test's request, exactly as documented for the tool.
  const auto test_req = WithCrc({0x01, 0x03, 0x10, 0x03, 0x00, 0x01});
  ASSERT_EQ(test_req, (std::vector<uint8_t>{0x01, 0x03, 0x10, 0x03, 0x00, 0x01, 0x70, 0xCA}));
  ASSERT_TRUE(WriteAll(fd, test_req));
  auto a = recv_for(fd, 7, 3s);
  ASSERT_EQ(a.bytes.size(), 7u);
  EXPECT_TRUE(CrcOk(a.bytes));
  EXPECT_EQ(std::vector<uint8_t>(a.bytes.begin(), a.bytes.begin() + 5),
            (std::vector<uint8_t>{0x01, 0x03, 0x02, 0x00, 0x01}));

  // Request A of the measurements screen: 105 bytes back.
  ASSERT_TRUE(WriteAll(fd, WithCrc({0x01, 0x03, 0x04, 0x00, 0x00, 0x32})));
  a = recv_for(fd, 105, 3s);
  ASSERT_EQ(a.bytes.size(), 105u);
  EXPECT_TRUE(CrcOk(a.bytes));
  EXPECT_EQ(a.bytes[2], 100);
  const double v1 = s32(a.bytes[3] << 8 | a.bytes[4], a.bytes[5] << 8 | a.bytes[6]) / 1000.0;
  EXPECT_NEAR(v1, 230.0, 8.0);

  // The display screen's save frame; the answer echoes start and count.
  std::vector<uint8_t> save = {0x01, 0x10, 0x10, 0x20, 0x00, 0x05, 0x0A,
                               0xFF, 0xFF, 0x00, 0x00, 0x80, 0x00, 0x00, 0x01, 0xFF, 0x07};
  ASSERT_TRUE(WriteAll(fd, WithCrc(save)));
  a = recv_for(fd, 8, 3s);
  ASSERT_EQ(a.bytes.size(), 8u);
  EXPECT_TRUE(CrcOk(a.bytes));
  EXPECT_EQ(std::vector<uint8_t>(a.bytes.begin(), a.bytes.begin() + 6),
            (std::vector<uint8_t>{0x01, 0x10, 0x10, 0x20, 0x00, 0x05}));

  // Outside the map: the five-byte exception answer.
  ASSERT_TRUE(WriteAll(fd, WithCrc({0x01, 0x03, 0x10, 0x1F, 0x00, 0x01})));
  a = recv_for(fd, 5, 3s);
  ASSERT_EQ(a.bytes.size(), 5u);
  EXPECT_TRUE(CrcOk(a.bytes));
  EXPECT_EQ(a.bytes[1], 0x83);
  EXPECT_EQ(a.bytes[2], 0x02);

  // A frame with a wrong CRC, and a frame for another address: no answer at all (the
  // second wait also covers the half second a bus slave leaves for the other's answer).
  auto bad = WithCrc({0x01, 0x03, 0x10, 0x03, 0x00, 0x01});
  bad.back() ^= 0x55;
  ASSERT_TRUE(WriteAll(fd, bad));
  EXPECT_TRUE(recv_for(fd, 1, 300ms).bytes.empty());
  ASSERT_TRUE(WriteAll(fd, WithCrc({0x02, 0x03, 0x10, 0x03, 0x00, 0x01})));
  EXPECT_TRUE(recv_for(fd, 1, 1000ms).bytes.empty());
  // And the meter still answers its own address afterwards.
  ASSERT_TRUE(WriteAll(fd, test_req));
  a = recv_for(fd, 7, 3s);
  EXPECT_EQ(a.bytes.size(), 7u);
  EXPECT_TRUE(CrcOk(a.bytes));
  ::close(fd);
  EXPECT_EQ(sim.stop(), 0) << sim.err();
  EXPECT_NE(sim.err().find("bad-frames=1"), std::string::npos) << sim.err();
  EXPECT_NE(sim.err().find("ignored=1"), std::string::npos) << sim.err();
}

TEST(SimPeers, PymodbusRtuFramerOverTcp) {
  SimProcess sim({"--rtu-over-tcp", "0", "--slave", "3"});
  const uint16_t port = sim.port("rtu-over-tcp");
  ASSERT_NE(port, 0) << sim.err();
  // pymodbus's own client and RTU framer, and its own CRC check of every answer.
  const char* script = R"(
import sys
from pymodbus.client import ModbusTcpClient
from pymodbus.transaction import ModbusRtuFramer
c = ModbusTcpClient("127.0.0.1", port=int(sys.argv[1]), framer=ModbusRtuFramer, timeout=3)
assert c.connect(), "connect"
r = c.read_holding_registers(4099, 1, slave=3)
assert not r.isError(), r
print("slave", r.registers[0])
r = c.read_holding_registers(1024, 50, slave=3)
assert not r.isError(), r
v = (r.registers[0] << 16 | r.registers[1]) / 1000.0
print("voltage", v)
w = c.write_registers(4112, [4, 2468], slave=3)
assert not w.isError(), w
r = c.read_holding_registers(4112, 2, slave=3)
print("settings", r.registers[0], r.registers[1])
r = c.read_holding_registers(4127, 1, slave=3)
print("exception", r.exception_code if r.isError() else "none")
c.close()
)";
  const auto res = run_command({"/usr/bin/python3", "-c", script, std::to_string(port)}, 30s);
  ASSERT_EQ(res.exit_code, 0) << res.output;
  EXPECT_NE(res.output.find("slave 3"), std::string::npos) << res.output;
  EXPECT_NE(res.output.find("settings 4 2468"), std::string::npos) << res.output;
  EXPECT_NE(res.output.find("exception 2"), std::string::npos) << res.output;
  std::smatch mv;
  ASSERT_TRUE(std::regex_search(res.output, mv, std::regex(R"(voltage ([0-9.]+))"))) << res.output;
  EXPECT_NEAR(std::stod(mv[1]), 230.0, 8.0);
  EXPECT_EQ(sim.stop(), 0) << sim.err();
}

TEST(SimPeers, SerialDeviceNamedOnTheCommandLine) {
  // The test holds the master side of its own pty and hands the slave path to the
  // simulator, as it would a real serial device.
  Pty pty;
  SimProcess sim({"--serial", pty.path(), "--baud", "19200", "--parity", "even", "--stop-bits",
                  "2", "--slave", "12"});
  ASSERT_EQ(sim.endpoint("serial"), pty.path()) << sim.err();
  ASSERT_TRUE(WriteAll(pty.master(), WithCrc({12, 3, 0x10, 0x03, 0x00, 0x0C})));  // 4099-4110
  const Received r = recv_for(pty.master(), 29, 3s);
  ASSERT_EQ(r.bytes.size(), 29u) << sim.err();
  EXPECT_TRUE(CrcOk(r.bytes));
  auto reg = [&](int n) { return r.bytes[3 + 2 * (n - 4099)] << 8 | r.bytes[4 + 2 * (n - 4099)]; };
  EXPECT_EQ(reg(4099), 12);
  EXPECT_EQ(reg(4107), 192) << "speed / 100";
  EXPECT_EQ(reg(4109), 2) << "even parity";
  EXPECT_EQ(reg(4110), 2) << "two stop bits";
  EXPECT_EQ(sim.stop(), 0) << sim.err();
}
