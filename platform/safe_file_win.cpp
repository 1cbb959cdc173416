// safe_file on Windows. There are no FIFOs to hang an open here, but device names (NUL,
// CON, COM1) and directories open as files do: the handle's type must be a disk file and
// not a directory before anything is read.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>

#include "platform/safe_file.h"

namespace safe_file {
namespace {

namespace fs = std::filesystem;

std::wstring Wide(const std::string& s) {
  if (s.empty()) return {};
  const int n = MultiByteToWideChar(CP_ACP, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
  std::wstring w(static_cast<std::size_t>(n), L'\0');
  MultiByteToWideChar(CP_ACP, 0, s.data(), static_cast<int>(s.size()), w.data(), n);
  return w;
}

std::string SystemText(DWORD code) {
  return std::system_category().message(static_cast<int>(code));
}

bool WriteAll(int fd, const std::string& data) {
  std::size_t done = 0;
  while (done < data.size()) {
    const unsigned chunk =
        static_cast<unsigned>(std::min<std::size_t>(data.size() - done, 1 << 20));
    const int n = _write(fd, data.data() + done, chunk);
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace

int OpenForReading(const std::string& path, Status* status, std::string* reason) {
  Status s = Status::ok;
  std::string why;
  HANDLE h = CreateFileW(Wide(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                         nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    const DWORD err = GetLastError();
    const bool missing = err == ERROR_FILE_NOT_FOUND || err == ERROR_PATH_NOT_FOUND;
    s = missing ? Status::missing : Status::unreadable;
    why = missing ? "does not exist" : "cannot be opened: " + SystemText(err);
  } else if (GetFileType(h) != FILE_TYPE_DISK) {
    s = Status::not_regular;
    why = "is a device, not a regular file";
  } else {
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(h, &info)) {
      s = Status::unreadable;
      why = "cannot be opened: " + SystemText(GetLastError());
    } else if (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      s = Status::not_regular;
      why = "is a directory";
    }
  }
  if (s != Status::ok) {
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
    if (status) *status = s;
    if (reason) *reason = why;
    return -1;
  }
  const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), _O_RDONLY | _O_BINARY);
  if (fd < 0) {
    CloseHandle(h);
    if (status) *status = Status::unreadable;
    if (reason) *reason = "cannot be opened";
    return -1;
  }
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
    const int n = _read(fd, buf, sizeof buf);
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
  _close(fd);
  return r;
}

bool StampOf(const std::string& path, Stamp* out) {
  if (!out) return false;
  // Opened without access rights, which follows links and reads no data.
  HANDLE h =
      CreateFileW(Wide(path).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                  nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION info{};
  const bool ok = GetFileInformationByHandle(h, &info) && GetFileType(h) == FILE_TYPE_DISK &&
                  !(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY);
  CloseHandle(h);
  if (!ok) return false;
  out->size = static_cast<long long>(static_cast<unsigned long long>(info.nFileSizeHigh) << 32 |
                                     info.nFileSizeLow);
  out->modified = static_cast<long long>(
      static_cast<unsigned long long>(info.ftLastWriteTime.dwHighDateTime) << 32 |
      info.ftLastWriteTime.dwLowDateTime);
  return true;
}

Status Check(const std::string& path, std::string* reason) {
  Status s = Status::ok;
  const int fd = OpenForReading(path, &s, reason);
  if (fd >= 0) _close(fd);
  return s;
}

std::string WriteTarget(const std::string& path) {
  std::error_code ec;
  fs::path p(path);
  for (int depth = 0; depth < 40 && fs::is_symlink(p, ec); ++depth) {
    const fs::path to = fs::read_symlink(p, ec);
    if (ec) break;
    p = to.is_absolute() ? to : p.parent_path() / to;
  }
  return p.string();
}

std::string WriteAtomically(const std::string& path, const std::string& data, unsigned mode) {
  const std::string target = WriteTarget(path);
  std::string why;
  if (Check(target, &why) == Status::not_regular) return target + " " + why;
  std::error_code ec;
  const fs::path parent = fs::path(target).parent_path();
  if (!parent.empty()) fs::create_directories(parent, ec);
  const std::string tmp = target + ".tmp." + std::to_string(GetCurrentProcessId());
  const int fd = _open(tmp.c_str(), _O_WRONLY | _O_CREAT | _O_TRUNC | _O_BINARY,
                       static_cast<int>(mode & 0600));
  if (fd < 0) return "cannot create " + tmp + ": " + std::strerror(errno);
  const bool ok = WriteAll(fd, data) && _commit(fd) == 0;
  const int err = errno;
  _close(fd);
  if (!ok) {
    _unlink(tmp.c_str());
    return "cannot write " + tmp + ": " + std::strerror(err);
  }
  if (!MoveFileExW(Wide(tmp).c_str(), Wide(target).c_str(),
                   MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    const DWORD code = GetLastError();
    _unlink(tmp.c_str());
    return "cannot replace " + target + ": " + SystemText(code);
  }
  return {};
}

std::string KeepNumberedCopy(const std::string& path, const std::string& suffix,
                             const std::string& data, std::string* error) {
  const std::string target = WriteTarget(path);
  for (int n = 1; n < 10000; ++n) {
    const std::string name = target + suffix + "." + std::to_string(n);
    const int fd = _open(name.c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY, 0600);
    if (fd < 0 && errno == EEXIST) continue;
    if (fd < 0) {
      if (error) *error = "cannot create " + name + ": " + std::strerror(errno);
      return {};
    }
    const bool ok = WriteAll(fd, data);
    _close(fd);
    if (!ok) {
      _unlink(name.c_str());
      if (error) *error = "cannot write " + name;
      return {};
    }
    return name;
  }
  if (error) *error = "no free backup name beside " + target;
  return {};
}

int RemoveStaleTemporaries(const std::string& path) {
  const fs::path target(WriteTarget(path));
  const std::string prefix = target.filename().string() + ".tmp.";
  std::error_code ec;
  int removed = 0;
  for (const auto& e :
       fs::directory_iterator(target.parent_path().empty() ? "." : target.parent_path(), ec)) {
    const std::string name = e.path().filename().string();
    if (name.size() <= prefix.size() || name.compare(0, prefix.size(), prefix) != 0) continue;
    const std::string digits = name.substr(prefix.size());
    if (digits.size() > 9 || digits.find_first_not_of("0123456789") != std::string::npos) continue;
    const DWORD pid = static_cast<DWORD>(std::stoul(digits));
    if (pid == GetCurrentProcessId()) continue;
    HANDLE h = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
    if (h) {
      CloseHandle(h);
      continue;
    }
    if (GetLastError() != ERROR_INVALID_PARAMETER) continue;  // exists, not ours to ask
    if (fs::remove(e.path(), ec)) ++removed;
  }
  return removed;
}

}  // namespace safe_file
