// safe_file on POSIX systems: open(O_NONBLOCK) so that a FIFO without a writer cannot hold
// the open, then fstat on the very descriptor opened (no window between check and use).
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/safe_file.h"

namespace safe_file {
namespace {

// Symbolic links followed at most this deep, as the kernel does (ELOOP beyond).
constexpr int kMaxLinkDepth = 40;

std::string KindText(mode_t mode) {
  if (S_ISDIR(mode)) return "is a directory";
  if (S_ISFIFO(mode)) return "is a FIFO, not a regular file";
  if (S_ISCHR(mode) || S_ISBLK(mode)) return "is a device, not a regular file";
  if (S_ISSOCK(mode)) return "is a socket, not a regular file";
  return "is not a regular file";
}

std::string ErrnoText(int err) {
  if (err == ENOENT) return "does not exist";
  return std::string("cannot be opened: ") + std::strerror(err);
}

std::string Directory(const std::string& path) {
  const auto slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string Base(const std::string& path) {
  const auto slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool WriteAll(int fd, const std::string& data) {
  std::size_t done = 0;
  while (done < data.size()) {
    const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = EIO;
      return false;
    }
    done += static_cast<std::size_t>(n);
  }
  return true;
}

// Creates the missing directories above path (mode 0700).
void MakeParents(const std::string& path) {
  const std::string dir = Directory(path);
  if (dir == "." || dir == "/") return;
  struct stat st {};
  if (::stat(dir.c_str(), &st) == 0) return;
  MakeParents(dir);
  ::mkdir(dir.c_str(), 0700);
}

void SyncDirectory(const std::string& path) {
  const int dfd = ::open(Directory(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dfd < 0) return;
  ::fsync(dfd);
  ::close(dfd);
}

}  // namespace

int OpenForReading(const std::string& path, Status* status, std::string* reason) {
  Status s = Status::ok;
  std::string why;
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  struct stat st {};
  if (fd < 0) {
    const int err = errno;
    s = err == ENOENT ? Status::missing : Status::unreadable;
    why = ErrnoText(err);
  } else if (::fstat(fd, &st) != 0) {
    s = Status::unreadable;
    why = ErrnoText(errno);
  } else if (!S_ISREG(st.st_mode)) {
    s = Status::not_regular;
    why = KindText(st.st_mode);
  }
  if (s != Status::ok) {
    if (fd >= 0) ::close(fd);
    if (status) *status = s;
    if (reason) *reason = why;
    return -1;
  }
  // A regular file never blocks; blocking mode again for stdio on it.
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags >= 0) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
  if (status) *status = Status::ok;
  if (reason) reason->clear();
  return fd;
}

Read ReadFile(const std::string& path, std::size_t max_bytes) {
  Read r;
  const int fd = OpenForReading(path, &r.status, &r.reason);
  if (fd < 0) return r;
  char buf[8192];
  for (;;) {
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      r.status = Status::unreadable;
      r.reason = std::string("cannot be read: ") + std::strerror(errno);
      break;
    }
    if (n == 0) break;
    const std::size_t room = max_bytes - r.data.size();
    if (static_cast<std::size_t>(n) > room) {
      r.data.append(buf, room);
      r.status = Status::too_large;
      r.reason = "is larger than " + std::to_string(max_bytes) + " bytes";
      break;
    }
    r.data.append(buf, static_cast<std::size_t>(n));
  }
  ::close(fd);
  return r;
}

Status Check(const std::string& path, std::string* reason) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) {
    const int err = errno;
    if (reason) *reason = ErrnoText(err);
    return err == ENOENT ? Status::missing : Status::unreadable;
  }
  if (!S_ISREG(st.st_mode)) {
    if (reason) *reason = KindText(st.st_mode);
    return Status::not_regular;
  }
  if (reason) reason->clear();
  return Status::ok;
}

bool StampOf(const std::string& path, Stamp* out) {
  struct stat st {};
  if (!out || ::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  out->size = static_cast<long long>(st.st_size);
  out->modified = static_cast<long long>(st.st_mtim.tv_sec) * 1'000'000'000 + st.st_mtim.tv_nsec;
  return true;
}

std::string WriteTarget(const std::string& path) {
  std::string p = path;
  for (int depth = 0; depth < kMaxLinkDepth; ++depth) {
    struct stat st {};
    if (::lstat(p.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return p;
    char link[4096];
    const ssize_t n = ::readlink(p.c_str(), link, sizeof link - 1);
    if (n <= 0) return p;
    const std::string to(link, static_cast<std::size_t>(n));
    p = to.front() == '/' ? to : Directory(p) + "/" + to;
  }
  return p;  // a loop: the write fails on it with the system's reason
}

std::string WriteAtomically(const std::string& path, const std::string& data, unsigned mode) {
  const std::string target = WriteTarget(path);
  std::string why;
  const Status s = Check(target, &why);
  if (s == Status::not_regular) return target + " " + why;
  MakeParents(target);
  const std::string tmp = target + ".tmp." + std::to_string(::getpid());
  const int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW,
                        static_cast<mode_t>(mode));
  if (fd < 0) return "cannot create " + tmp + ": " + std::strerror(errno);
  if (!WriteAll(fd, data) || ::fsync(fd) != 0) {
    const int err = errno;
    ::close(fd);
    ::unlink(tmp.c_str());
    return "cannot write " + tmp + ": " + std::strerror(err);
  }
  if (::close(fd) != 0) {
    const int err = errno;
    ::unlink(tmp.c_str());
    return "cannot write " + tmp + ": " + std::strerror(err);
  }
  if (::rename(tmp.c_str(), target.c_str()) != 0) {
    const int err = errno;
    ::unlink(tmp.c_str());
    return "cannot replace " + target + ": " + std::strerror(err);
  }
  SyncDirectory(target);
  return {};
}

std::string KeepNumberedCopy(const std::string& path, const std::string& suffix,
                             const std::string& data, std::string* error) {
  const std::string target = WriteTarget(path);
  for (int n = 1; n < 10000; ++n) {
    const std::string name = target + suffix + "." + std::to_string(n);
    // A hard link keeps every byte of the file, however large; it never replaces a name.
    if (::link(target.c_str(), name.c_str()) == 0) return name;
    if (errno == EEXIST) continue;
    // No hard links here (or the file vanished): a new file with the bytes that were read.
    const int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0 && errno == EEXIST) continue;
    if (fd < 0) {
      if (error) *error = "cannot create " + name + ": " + std::strerror(errno);
      return {};
    }
    const bool ok = WriteAll(fd, data) && ::fsync(fd) == 0;
    const int err = errno;
    ::close(fd);
    if (!ok) {
      ::unlink(name.c_str());
      if (error) *error = "cannot write " + name + ": " + std::strerror(err);
      return {};
    }
    return name;
  }
  if (error) *error = "no free backup name beside " + target;
  return {};
}

int RemoveStaleTemporaries(const std::string& path) {
  const std::string target = WriteTarget(path);
  const std::string prefix = Base(target) + ".tmp.";
  const std::string dir = Directory(target);
  DIR* d = ::opendir(dir.c_str());
  if (!d) return 0;
  int removed = 0;
  while (const dirent* e = ::readdir(d)) {
    const std::string name = e->d_name;
    if (name.size() <= prefix.size() || name.compare(0, prefix.size(), prefix) != 0) continue;
    const std::string digits = name.substr(prefix.size());
    if (digits.size() > 9 || digits.find_first_not_of("0123456789") != std::string::npos) continue;
    const long pid = std::strtol(digits.c_str(), nullptr, 10);
    if (pid <= 0 || pid == ::getpid()) continue;
    // Signal 0 only asks whether the process exists (EPERM: it does, under another user).
    if (::kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH) continue;
    const std::string full = dir + "/" + name;
    struct stat st {};
    if (::lstat(full.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::unlink(full.c_str()) == 0)
      ++removed;
  }
  ::closedir(d);
  return removed;
}

}  // namespace safe_file
