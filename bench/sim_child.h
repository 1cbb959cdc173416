// veldixmid-sim as a child process of a benchmark, with the endpoints it opened.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>

namespace bench {

struct Endpoints {
  std::string serial;  // pty slave path
  int tcp = 0;         // Modbus TCP port on 127.0.0.1
  int rtuOverTcp = 0;  // RTU-over-TCP port on 127.0.0.1
};

// veldixmid-sim as a child process. It ends when we close its standard input
// (--exit-on-stdin-eof), so it never outlives a benchmark that dies.
class Simulator {
 public:
  bool Start(const std::string& path, bool verbose) {
    int in[2], out[2];
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) return false;
    pid_ = ::fork();
    if (pid_ < 0) return false;
    if (pid_ == 0) {
      ::dup2(in[0], STDIN_FILENO);
      ::dup2(out[1], STDOUT_FILENO);
      if (!verbose) {
        const int null = ::open("/dev/null", O_WRONLY);
        if (null >= 0) ::dup2(null, STDERR_FILENO);
      }
      const char* argv[] = {path.c_str(),          "--serial", "--tcp", "0", "--rtu-over-tcp", "0",
                            "--exit-on-stdin-eof", nullptr};
      ::execv(path.c_str(), const_cast<char* const*>(argv));
      ::_exit(127);
    }
    ::close(in[0]);
    ::close(out[1]);
    stdin_ = in[1];
    stdout_ = out[0];
    return ReadEndpoints();
  }

  ~Simulator() {
    if (pid_ <= 0) return;
    ::close(stdin_);  // the simulator's cue to finish
    ::kill(pid_, SIGTERM);
    int status = 0;
    ::waitpid(pid_, &status, 0);
    ::close(stdout_);
  }

  const Endpoints& endpoints() const { return ep_; }

 private:
  // The simulator prints one line per endpoint as soon as it is ready, serial first.
  bool ReadEndpoints() {
    std::string text;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (ep_.serial.empty() || ep_.tcp == 0 || ep_.rtuOverTcp == 0) {
      const int left = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                            deadline - std::chrono::steady_clock::now())
                                            .count());
      if (left <= 0) return false;
      pollfd p{stdout_, POLLIN, 0};
      if (::poll(&p, 1, left) <= 0) continue;
      char buf[256];
      const ssize_t n = ::read(stdout_, buf, sizeof buf);
      if (n <= 0) return false;  // it exited: bad path, or an endpoint could not be opened
      text.append(buf, static_cast<std::size_t>(n));
      std::size_t eol;
      while ((eol = text.find('\n')) != std::string::npos) {
        const std::string line = text.substr(0, eol);
        text.erase(0, eol + 1);
        Parse(line);
      }
    }
    return true;
  }

  void Parse(const std::string& line) {
    auto port = [](const std::string& s) {
      const std::size_t colon = s.rfind(':');
      return colon == std::string::npos ? 0 : std::atoi(s.c_str() + colon + 1);
    };
    if (line.rfind("serial: ", 0) == 0)
      ep_.serial = line.substr(8);
    else if (line.rfind("tcp: ", 0) == 0)
      ep_.tcp = port(line);
    else if (line.rfind("rtu-over-tcp: ", 0) == 0)
      ep_.rtuOverTcp = port(line);
  }

  pid_t pid_ = -1;
  int stdin_ = -1;
  int stdout_ = -1;
  Endpoints ep_;
};

// The simulator built beside the calling benchmark: ../bin/veldixmid-sim.
inline std::string DefaultSimPath() {
  std::error_code ec;
  const auto self = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (ec) return "veldixmid-sim";
  return (self.parent_path().parent_path() / "bin" / "veldixmid-sim").string();
}

}  // namespace bench
