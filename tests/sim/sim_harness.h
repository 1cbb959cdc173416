// Runs veldixmid-sim as a process and talks to it as a Modbus master would. Ptys, sockets
// and the RTU CRC are the shared ones of test_support.h.
#pragma once

#include <modbus/modbus.h>

#include <regex>
#include <utility>

#include "test_support.h"

namespace simtest {

using namespace std::chrono_literals;
using namespace vtest;
using Words = std::vector<uint16_t>;

// A running simulator. Its standard output and error share one pipe: endpoint lines read
// "<kind>: <where>", its log lines start with "veldixmid-sim: ".
class SimProcess {
 public:
  explicit SimProcess(std::vector<std::string> args) {
    int out[2], in[2];
    if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(in, O_CLOEXEC) != 0)
      throw std::runtime_error("pipe failed");
    args.insert(args.begin(), std::string(VELDIX_BIN_DIR) + "/veldixmid-sim");
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_ = ::fork();
    if (pid_ == 0) {
      ::dup2(in[0], STDIN_FILENO);
      ::dup2(out[1], STDOUT_FILENO);
      ::dup2(out[1], STDERR_FILENO);
      ::execv(argv[0], argv.data());
      ::_exit(127);
    }
    ::close(in[0]);
    ::close(out[1]);
    in_ = in[1];
    out_ = out[0];
  }
  ~SimProcess() {
    stop(SIGKILL, 5s);
    close_stdin();
    if (out_ >= 0) ::close(out_);
  }

  // The text after "<kind>: " of the endpoint line; empty when it did not come in time.
  std::string endpoint(const std::string& kind) {
    const auto deadline = Clock::now() + 10s;
    std::smatch m;
    while (!std::regex_search(out_text_, m, std::regex("\n" + kind + ": (.*)\n")))
      if (!pump(deadline)) return {};
    return m[1];
  }
  // The port of a "tcp" or "rtu-over-tcp" endpoint, 0 when there is none.
  uint16_t port(const std::string& kind) {
    const std::string where = endpoint(kind);
    return where.empty() ? 0 : static_cast<uint16_t>(std::stoi(where.substr(where.rfind(':') + 1)));
  }
  // Sends sig (0: none) and waits for the exit: its code, or -1 when it died of a signal or
  // did not exit in time (then it is killed). The output is complete afterwards.
  int stop(int sig = SIGTERM, Ms limit = 10s) {
    if (pid_ <= 0) return code_;
    if (sig != 0) ::kill(pid_, sig);
    const auto deadline = Clock::now() + limit;
    while (pump(deadline)) continue;  // until the end of its output
    int status = 0;
    if (!WaitUntil([&] { return ::waitpid(pid_, &status, WNOHANG) == pid_; }, 2s)) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, &status, 0);
    }
    pid_ = -1;
    return code_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  void close_stdin() {
    if (in_ >= 0) ::close(std::exchange(in_, -1));
  }
  // All it wrote to standard output and error.
  const std::string& err() const { return out_text_; }

 private:
  // Takes what arrived by the deadline; false at the end of the output or the deadline.
  bool pump(Clock::time_point deadline) {
    pollfd p{out_, POLLIN, 0};
    if (out_ < 0 || ::poll(&p, 1, MsLeft(deadline)) <= 0) return false;
    char buf[4096];
    const ssize_t n = ::read(out_, buf, sizeof buf);
    if (n > 0) out_text_.append(buf, static_cast<std::size_t>(n));
    if (n <= 0) ::close(std::exchange(out_, -1));
    return n > 0;
  }
  pid_t pid_ = -1;
  int in_ = -1, out_ = -1, code_ = -1;
  std::string out_text_ = "\n";  // a line break before the first line eases the search
};

// A libmodbus master that owns its context; ctx is null when it cannot connect.
struct Master {
  modbus_t* ctx;
  explicit Master(modbus_t* c, int unit = 1) : ctx(c) {
    if (!ctx) return;
    modbus_set_slave(ctx, unit);
    modbus_set_response_timeout(ctx, 2, 0);
    if (modbus_connect(ctx) != 0) modbus_free(std::exchange(ctx, nullptr));
  }
  explicit Master(uint16_t tcp_port, int unit = 1)
      : Master(modbus_new_tcp("127.0.0.1", tcp_port), unit) {}
  ~Master() {
    if (ctx) modbus_close(ctx), modbus_free(ctx);
  }
  // The registers read, or empty on any failure.
  std::vector<uint16_t> read(int address, int count) {
    std::vector<uint16_t> v(static_cast<std::size_t>(count));
    if (!ctx || modbus_read_registers(ctx, address, count, v.data()) != count) v.clear();
    return v;
  }
  bool write(int address, std::vector<uint16_t> v) {
    const int n = static_cast<int>(v.size());
    return ctx && modbus_write_registers(ctx, address, n, v.data()) == n;
  }
};

}  // namespace simtest
