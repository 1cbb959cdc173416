// veldixmid-sim: a simulated VELDIX-MID meter (Modbus slave) for the configuration tool,
// its tests and its demo. See --help and docs/register-map.md.
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/safe_file.h"
#include "sim/faults.h"
#include "sim/meter_model.h"
#include "sim/options.h"
#include "sim/server.h"
#include "sim/state_file.h"

using namespace veldix::sim;

namespace {

double utc_now() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// The PC's local-time offset from UTC now: a new meter's clock shows local time.
double local_utc_offset() {
  const time_t now = time(nullptr);
  tm local{};
  if (!localtime_r(&now, &local)) return 0;
  return static_cast<double>(local.tm_gmtoff);
}

// Blocks the signals that end the simulator in every thread; main reads them from a
// signalfd so that no handler runs in the middle of a server thread.
int block_exit_signals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  return signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK);
}

// Waits for SIGINT/SIGTERM/SIGHUP, or for the end of standard input when asked to.
void wait_for_exit(int sig_fd, bool watch_stdin) {
  for (;;) {
    pollfd p[2] = {{sig_fd, POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
    const int rc = poll(p, watch_stdin ? 2 : 1, -1);
    if (rc < 0) continue;  // EINTR
    if (p[0].revents) {
      signalfd_siginfo info{};
      if (read(sig_fd, &info, sizeof info) == sizeof info && info.ssi_signo != 0) return;
    }
    if (watch_stdin && p[1].revents) {
      // Whatever is typed is discarded; the end of the input (or a closed fd) ends us.
      char buf[256];
      const ssize_t n = read(STDIN_FILENO, buf, sizeof buf);
      if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN)) return;
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  const ParseResult parsed = parse_options(args);
  if (!parsed.error.empty()) {
    std::fprintf(stderr, "veldixmid-sim: %s\nTry 'veldixmid-sim --help'.\n", parsed.error.c_str());
    return 2;
  }
  const Options& opt = parsed.options;
  if (opt.help) {
    std::fputs(help_text().c_str(), stdout);
    return 0;
  }
  if (opt.version) {
    std::puts("veldixmid-sim 1.0");
    return 0;
  }

  signal(SIGPIPE, SIG_IGN);
  const int sig_fd = block_exit_signals();
  if (sig_fd < 0) {
    log_line("cannot watch signals");
    return 1;
  }

  MeterState initial = MeterState::factory(local_utc_offset());
  if (!opt.state_file.empty()) {
    // Temporary files of an earlier run killed between writing and renaming.
    safe_file::RemoveStaleTemporaries(opt.state_file);
    const StateLoad loaded = load_state(opt.state_file);
    switch (loaded.status) {
      case StateLoad::Status::loaded: initial = loaded.state; break;
      case StateLoad::Status::missing:
        log_line("state file " + opt.state_file + " not found: starting as a new meter");
        break;
      case StateLoad::Status::corrupt: {
        // Keep the bad file for inspection, beside earlier ones (.corrupt.1, .2 ...); the
        // next save writes a fresh one.
        std::string why;
        const std::string kept =
            safe_file::KeepNumberedCopy(opt.state_file, ".corrupt", loaded.text, &why);
        log_line("state file " + opt.state_file + " is unusable (" + loaded.message +
                 "): ignored, starting as a new meter" +
                 (kept.empty() ? "; it could not be kept: " + why : "; it was kept as " + kept));
        break;
      }
      case StateLoad::Status::refused:
        log_line("--state " + opt.state_file + ": " + loaded.message +
                 "; give a regular file or a new name");
        return 2;
    }
  }
  // Link settings given on the command line win over the stored ones: they are what the
  // meter answers on, and the registers show them.
  Settings& s = initial.settings;
  if (opt.slave) s.slave_address = *opt.slave;
  if (opt.baud) s.baud_div100 = static_cast<uint16_t>(*opt.baud / 100);
  if (opt.parity) s.parity = *opt.parity;
  if (opt.stop_bits) s.stop_bits = *opt.stop_bits;

  MeterModel model(initial, MeterModel::Clock::now(), utc_now());
  FaultInjector faults(opt.faults);
  StopSignal stop;

  std::mutex save_mutex;
  auto persist = [&] {
    if (opt.state_file.empty()) return;
    std::lock_guard lock(save_mutex);
    const std::string err = save_state(opt.state_file, model.state(MeterModel::Clock::now()));
    if (!err.empty()) log_line("state file not saved: " + err);
  };

  ServerContext ctx{model, faults, stop, s.slave_address, opt.verbose, persist};
  ctx.idle_timeout_ms = opt.idle_timeout_s * 1000;

  std::vector<std::unique_ptr<Endpoint>> endpoints;
  std::string error;
  if (opt.serial) {
    auto ep = open_serial(ctx, opt.serial_device, static_cast<uint32_t>(s.baud_div100) * 100,
                          s.parity, s.stop_bits, error);
    if (!ep) {
      log_line(error);
      return 1;
    }
    endpoints.push_back(std::move(ep));
  }
  if (opt.tcp_port) {
    auto ep = open_tcp(ctx, Framing::tcp, opt.bind_address, *opt.tcp_port, error);
    if (!ep) {
      log_line(error);
      return 1;
    }
    endpoints.push_back(std::move(ep));
  }
  if (opt.rtu_tcp_port) {
    auto ep = open_tcp(ctx, Framing::rtu, opt.bind_address, *opt.rtu_tcp_port, error);
    if (!ep) {
      log_line(error);
      return 1;
    }
    endpoints.push_back(std::move(ep));
  }

  // Everything is listening: tell the caller where, one line each, at once.
  for (const auto& ep : endpoints) {
    std::printf("%s\n", ep->line().c_str());
    std::fflush(stdout);
  }
  for (const auto& ep : endpoints) ep->start();

  wait_for_exit(sig_fd, opt.exit_on_stdin_eof);

  stop.raise();
  for (const auto& ep : endpoints) ep->join();
  endpoints.clear();
  persist();
  const std::string summary = faults.summary();
  for (std::size_t at = 0; at < summary.size();) {
    const std::size_t nl = summary.find('\n', at);
    log_line(summary.substr(at, nl - at));
    at = nl == std::string::npos ? summary.size() : nl + 1;
  }
  close(sig_fd);
  return 0;
}
