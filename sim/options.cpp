#include "sim/options.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdlib>

namespace veldix::sim {

namespace {

std::optional<uint64_t> to_uint(const std::string& s, uint64_t max) {
  uint64_t v = 0;
  const char* end = s.data() + s.size();
  auto [p, ec] = std::from_chars(s.data(), end, v, 10);
  if (s.empty() || ec != std::errc() || p != end || v > max) return std::nullopt;
  return v;
}

std::optional<double> to_double(const std::string& s) {
  if (s.empty() || s.size() > 32) return std::nullopt;
  char* end = nullptr;
  errno = 0;
  const double v = std::strtod(s.c_str(), &end);
  if (errno != 0 || end != s.c_str() + s.size() || !std::isfinite(v)) return std::nullopt;
  return v;
}

// "4099", "4099,4128" or ranges "4103-4106" (inclusive), at most 1000 registers in all.
std::optional<std::vector<uint16_t>> to_register_list(const std::string& s) {
  std::vector<uint16_t> regs;
  std::size_t pos = 0;
  while (pos <= s.size()) {
    const std::size_t comma = std::min(s.find(',', pos), s.size());
    const std::string item = s.substr(pos, comma - pos);
    const std::size_t dash = item.find('-');
    const auto first = to_uint(item.substr(0, dash), 0xFFFF);
    const auto last = dash == std::string::npos ? first : to_uint(item.substr(dash + 1), 0xFFFF);
    if (!first || !last || *last < *first) return std::nullopt;
    if (regs.size() + (*last - *first + 1) > 1000) return std::nullopt;
    for (uint64_t r = *first; r <= *last; ++r) regs.push_back(static_cast<uint16_t>(r));
    pos = comma + 1;
  }
  std::sort(regs.begin(), regs.end());
  regs.erase(std::unique(regs.begin(), regs.end()), regs.end());
  return regs;
}

}  // namespace

ParseResult parse_options(const std::vector<std::string>& args) {
  ParseResult r;
  Options& o = r.options;
  std::size_t i = 0;
  auto fail = [&](const std::string& msg) {
    r.error = msg;
    return r;
  };
  // The value of an option that needs one; nothing when the line ends.
  auto value = [&](const std::string& opt) -> std::optional<std::string> {
    if (i + 1 >= args.size()) return std::nullopt;
    (void)opt;
    return args[++i];
  };

  for (; i < args.size(); ++i) {
    const std::string a = args[i];
    if (a == "-h" || a == "--help") {
      o.help = true;
    } else if (a == "--version") {
      o.version = true;
    } else if (a == "--serial") {
      if (o.serial) return fail("--serial given twice");
      o.serial = true;
      // The device is optional: the next word is it unless it is another option.
      if (i + 1 < args.size() && args[i + 1].rfind("-", 0) != 0) o.serial_device = args[++i];
      if (i < args.size() && args[i].empty()) return fail("--serial: empty device name");
    } else if (a == "--tcp" || a == "--rtu-over-tcp") {
      const auto v = value(a);
      if (!v) return fail(a + " needs a PORT (0 picks a free one)");
      const auto port = to_uint(*v, 65535);
      if (!port) return fail(a + ": '" + *v + "' is not a port number 0..65535");
      auto& slot = a == "--tcp" ? o.tcp_port : o.rtu_tcp_port;
      if (slot) return fail(a + " given twice");
      slot = static_cast<uint16_t>(*port);
    } else if (a == "--bind") {
      const auto v = value(a);
      if (!v || v->empty()) return fail("--bind needs an address, e.g. 127.0.0.1");
      o.bind_address = *v;
    } else if (a == "--slave") {
      const auto v = value(a);
      const auto n = v ? to_uint(*v, 247) : std::nullopt;
      if (!n || *n < 1) return fail("--slave needs an address 1..247");
      o.slave = static_cast<uint16_t>(*n);
    } else if (a == "--baud") {
      const auto v = value(a);
      const auto n = v ? to_uint(*v, 115200) : std::nullopt;
      constexpr uint64_t kBauds[] = {1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200};
      if (!n || std::find(std::begin(kBauds), std::end(kBauds), *n) == std::end(kBauds)) {
        return fail("--baud needs one of 1200 2400 4800 9600 19200 38400 57600 115200");
      }
      o.baud = static_cast<uint32_t>(*n);
    } else if (a == "--parity") {
      const auto v = value(a);
      if (v == "none" || v == "N") {
        o.parity = 0;
      } else if (v == "odd" || v == "O") {
        o.parity = 1;
      } else if (v == "even" || v == "E") {
        o.parity = 2;
      } else {
        return fail("--parity needs none, odd or even");
      }
    } else if (a == "--stop-bits") {
      const auto v = value(a);
      if (v != "1" && v != "2") return fail("--stop-bits needs 1 or 2");
      o.stop_bits = static_cast<uint16_t>(*v == "1" ? 1 : 2);
    } else if (a == "--state") {
      const auto v = value(a);
      if (!v || v->empty()) return fail("--state needs a FILE");
      o.state_file = *v;
    } else if (a == "--idle-timeout") {
      const auto v = value(a);
      const auto n = v ? to_uint(*v, 86400) : std::nullopt;
      if (!n) return fail("--idle-timeout needs seconds 0..86400 (0: never)");
      o.idle_timeout_s = static_cast<int>(*n);
    } else if (a == "--exit-on-stdin-eof") {
      o.exit_on_stdin_eof = true;
    } else if (a == "--verbose" || a == "-v") {
      o.verbose = true;
    } else if (a == "--silent") {
      o.faults.silent = true;
    } else if (a == "--delay") {
      const auto v = value(a);
      const auto n = v ? to_uint(*v, 600000) : std::nullopt;
      if (!n) return fail("--delay needs milliseconds 0..600000");
      o.faults.delay_ms = static_cast<int>(*n);
    } else if (a == "--corrupt-crc") {
      const auto v = value(a);
      const auto d = v ? to_double(*v) : std::nullopt;
      if (!d || *d < 0 || *d > 1) return fail("--corrupt-crc needs a RATE from 0 to 1");
      o.faults.corrupt_rate = *d;
    } else if (a == "--exception-at") {
      const auto v = value(a);
      const auto regs = v ? to_register_list(*v) : std::nullopt;
      if (!regs) {
        return fail("--exception-at needs registers 0..65535, e.g. 4099 or 4099,4103-4106");
      }
      o.faults.exception_at.insert(o.faults.exception_at.end(), regs->begin(), regs->end());
    } else if (a == "--split-tcp") {
      o.faults.split_tcp = true;
    } else if (a == "--split-pause") {
      const auto v = value(a);
      const auto n = v ? to_uint(*v, 10000) : std::nullopt;
      if (!n || *n < 1) return fail("--split-pause needs milliseconds 1..10000");
      o.faults.split_pause_ms = static_cast<int>(*n);
    } else if (a == "--drop-after") {
      const auto v = value(a);
      const auto n = v ? to_uint(*v, UINT64_MAX) : std::nullopt;
      if (!n || *n < 1) return fail("--drop-after needs a count of answers, 1 or more");
      o.faults.drop_after = *n;
    } else if (a == "--seed") {
      const auto v = value(a);
      const auto n = v ? to_uint(*v, UINT64_MAX) : std::nullopt;
      if (!n) return fail("--seed needs a number");
      o.faults.seed = *n;
    } else {
      return fail("unknown option '" + a + "'");
    }
  }
  if (o.help || o.version) return r;
  if (!o.serial && !o.tcp_port && !o.rtu_tcp_port) {
    return fail("nothing to serve: give --serial, --tcp or --rtu-over-tcp");
  }
  if (o.tcp_port && o.rtu_tcp_port && *o.tcp_port != 0 && *o.tcp_port == *o.rtu_tcp_port) {
    return fail("--tcp and --rtu-over-tcp cannot share port " + std::to_string(*o.tcp_port));
  }
  std::sort(o.faults.exception_at.begin(), o.faults.exception_at.end());
  o.faults.exception_at.erase(
      std::unique(o.faults.exception_at.begin(), o.faults.exception_at.end()),
      o.faults.exception_at.end());
  return r;
}

std::string help_text() {
  return R"(Usage: veldixmid-sim [LINKS] [OPTIONS] [FAULTS]

A simulated VELDIX-MID three-phase electricity meter: a Modbus slave serving the
meter's measurements, energy counters, clock, settings and display mask.
Each endpoint is printed on its own line of standard output as soon as it is
ready, the serial one first:
  serial: /dev/pts/7
  tcp: 127.0.0.1:40123
  rtu-over-tcp: 127.0.0.1:40124

Links (one or more, served at the same time):
  --serial [DEVICE]      Modbus RTU on a serial DEVICE. Without DEVICE a pty pair
                         is created and its slave side is printed: open that path
                         in the master.
  --tcp PORT             Modbus TCP on PORT (0 = any free port).
  --rtu-over-tcp PORT    RTU frames (address, PDU, CRC) over a plain TCP
                         connection on PORT (0 = any free port).
  --bind ADDR            Numeric IPv4 or IPv6 address the TCP links listen on
                         (default 127.0.0.1; 0.0.0.0 for every interface).
  --idle-timeout S       Close a TCP connection that sent no request for S seconds
                         (default 60; 0 = never). Up to 64 connections are served;
                         when all are taken, the one idle the longest is closed
                         for a new one.

Meter:
  --slave N              Modbus address 1..247 (default 1, or the state file's).
                         RTU links ignore requests for other addresses; Modbus TCP
                         answers unit N, 0 and 255 and gives exception 11 to others.
  --baud B               Serial speed: 1200 2400 4800 9600 19200 38400 57600 115200
                         (default 9600, or the state file's).
  --parity P             none, odd or even (default none, or the state file's).
  --stop-bits S          1 or 2 (default 1, or the state file's).
  --state FILE           Keep settings, display mask, clock and energy counters in
                         FILE across runs (written atomically after each accepted
                         write and on exit, through a symbolic link). A corrupt FILE
                         is reported and kept as FILE.corrupt.N; a FILE that is not
                         a regular file (directory, FIFO, device) is refused.

Faults (on every link where they make sense):
  --silent               Never answer.
  --delay MS             Wait MS milliseconds before each answer.
  --corrupt-crc RATE     That fraction (0..1) of answers is spoilt: on RTU links the
                         CRC is wrong; on Modbus TCP, which has no CRC, the last data
                         byte is inverted.
  --exception-at LIST    Reads or writes touching any register of LIST (e.g.
                         4099,4103-4106) get exception 4 (slave device failure).
  --split-tcp            Send each TCP answer in two segments with a pause between,
                         so the master sees two data-ready events.
  --split-pause MS       The pause of --split-tcp (default 50 ms).
  --drop-after N         After N answers close the TCP connection (each connection
                         gets N); on the serial link fall silent for good.
  --seed N               Seed of the corruption draw, for repeatable runs (default:
                         random; the seed used is printed in the exit summary).

Other:
  --exit-on-stdin-eof    Exit when standard input is closed.
  -v, --verbose          Log every request and injected fault on standard error.
  -h, --help             This text.
  --version              Version.

SIGINT or SIGTERM ends the simulator cleanly (exit code 0); a summary of the
requests served and of the faults injected is printed on standard error.
Exit codes: 0 clean exit, 1 an endpoint could not be opened, 2 bad command line
or a --state path that is not a regular file.
See docs/register-map.md for the register map.
)";
}

}  // namespace veldix::sim
