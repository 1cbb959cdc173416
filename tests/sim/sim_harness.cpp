#include "sim_harness.h"

#include <spawn.h>

extern char** environ;

namespace simtest {

SimProcess::SimProcess(const std::vector<std::string>& args) {
  int out[2], err[2], in[2];
  if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0 || ::pipe2(in, O_CLOEXEC) != 0)
    return;
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_adddup2(&fa, in[0], STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&fa, out[1], STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&fa, err[1], STDERR_FILENO);
  std::vector<std::string> all = {std::string(VELDIX_BIN_DIR) + "/veldixmid-sim"};
  all.insert(all.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : all) argv.push_back(a.data());
  argv.push_back(nullptr);
  if (posix_spawn(&pid_, argv[0], &fa, nullptr, argv.data(), environ) != 0) pid_ = -1;
  posix_spawn_file_actions_destroy(&fa);
  for (int fd : {out[1], err[1], in[0]}) ::close(fd);
  out_fd_ = out[0], err_fd_ = err[0], in_fd_ = in[1];
  SetNonBlocking(out_fd_);
  SetNonBlocking(err_fd_);
}

SimProcess::~SimProcess() {
  if (pid_ > 0 && !exited_) stop(SIGKILL, 5s);
  for (int fd : {out_fd_, err_fd_, in_fd_})
    if (fd >= 0) ::close(fd);
}

void SimProcess::pump(int timeout_ms) {
  pollfd p[2] = {{out_fd_, POLLIN, 0}, {err_fd_, POLLIN, 0}};
  if (::poll(p, 2, timeout_ms) <= 0) return;
  // Appends what is there; at end of file the descriptor is closed and set to -1.
  auto take = [](int& fd, std::string& into) {
    char buf[4096];
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n > 0) into.append(buf, static_cast<std::size_t>(n));
    if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) ::close(std::exchange(fd, -1));
  };
  if (p[0].revents && out_fd_ >= 0) take(out_fd_, out_partial_);
  if (p[1].revents && err_fd_ >= 0) take(err_fd_, err_);
  for (std::size_t nl; (nl = out_partial_.find('\n')) != std::string::npos;) {
    lines_.push_back(out_partial_.substr(0, nl));
    out_partial_.erase(0, nl + 1);
  }
}

std::string SimProcess::endpoint(const std::string& kind, Ms timeout) {
  const auto deadline = Clock::now() + timeout;
  const std::string prefix = kind + ": ";
  for (;;) {
    for (const auto& l : lines_)
      if (l.rfind(prefix, 0) == 0) return l.substr(prefix.size());
    if (pid_ <= 0 || Clock::now() >= deadline || (out_fd_ < 0 && err_fd_ < 0)) return {};
    pump(std::min(MsLeft(deadline), 50));
  }
}

uint16_t SimProcess::port(const std::string& kind, Ms timeout) {
  const std::string where = endpoint(kind, timeout);
  const auto colon = where.rfind(':');
  return colon == std::string::npos ? 0 : static_cast<uint16_t>(std::stoi(where.substr(colon + 1)));
}

int SimProcess::stop(int sig, Ms timeout) {
  if (exited_ || pid_ <= 0) return exit_code_;
  if (sig != 0) ::kill(pid_, sig);
  const auto deadline = Clock::now() + timeout;
  int status = 0;
  while (::waitpid(pid_, &status, WNOHANG) != pid_) {
    if (Clock::now() >= deadline) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, &status, 0);
      exited_ = true;
      return exit_code_ = -1;
    }
    pump(10);
  }
  exited_ = true;
  exit_code_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  // Collect the rest of its output: the pipes reach end of file now.
  const auto drain_deadline = Clock::now() + 2s;
  while ((out_fd_ >= 0 || err_fd_ >= 0) && Clock::now() < drain_deadline) pump(20);
  return exit_code_;
}

void SimProcess::close_stdin() {
  if (in_fd_ >= 0) ::close(std::exchange(in_fd_, -1));
}

long summary_count(const std::string& err, const std::string& name) {
  const auto at = err.find(" " + name + "=");
  return at == std::string::npos ? -1 : std::stol(err.substr(at + name.size() + 2));
}

Received recv_for(int fd, std::size_t want, Ms timeout) {
  Received r;
  const auto deadline = Clock::now() + timeout;
  while (r.bytes.size() < want) {
    pollfd p{fd, POLLIN, 0};
    const int rc = ::poll(&p, 1, MsLeft(deadline));
    if (rc < 0 && errno == EINTR) continue;
    if (rc <= 0) break;
    uint8_t buf[512];
    const ssize_t n = ::read(fd, buf, std::min(sizeof buf, want - r.bytes.size()));
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n <= 0) {
      r.closed = true;
      break;
    }
    r.bytes.insert(r.bytes.end(), buf, buf + n);
    r.reads.push_back(static_cast<std::size_t>(n));
  }
  return r;
}

int open_serial_raw(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  termios tio{};
  if (fd >= 0 && ::tcgetattr(fd, &tio) == 0) {
    ::cfmakeraw(&tio);
    ::cfsetspeed(&tio, B9600);
    ::tcsetattr(fd, TCSANOW, &tio);
  }
  return fd;
}

}  // namespace simtest
