// The files the tool and the simulator read and rewrite: the resource file, the language
// file, the registry store, the simulator's state file. Whatever sits at the path (a FIFO, a
// device such as /dev/zero, a directory, a huge file) neither blocks nor exhausts memory:
// only a regular file, or a symbolic link to one, is opened; the open does not wait for a
// writer; reads stop at a bound.
//
// Rewrites go to the target of a symbolic link (the link stays), through a temporary file
// beside it that is flushed and renamed over it, so a crash leaves the old or the new file.
// No Qt here: the simulator uses it too.
#pragma once

#include <cstddef>
#include <string>

namespace safe_file {

enum class Status {
  ok,
  missing,      // nothing at the path (or a dangling symbolic link)
  not_regular,  // a directory, FIFO, device or socket
  unreadable,   // permission refused or another open / read error
  too_large,    // more bytes than the bound
};

struct Read {
  Status status = Status::missing;
  std::string data;  // ok: the whole file; too_large: its first max_bytes
  std::string
      reason;  // not ok: what is wrong, e.g. "is a directory", "is larger than 1048576 bytes"
};

// Reads a regular file of at most max_bytes.
Read ReadFile(const std::string& path, std::size_t max_bytes);

// Opens a regular file for reading: a descriptor (the caller closes it), or -1 with status
// and reason set. The descriptor is in blocking mode again, ready for fdopen.
int OpenForReading(const std::string& path, Status* status, std::string* reason);

// What sits at path, following symbolic links: ok (a regular file), missing, or
// not_regular / unreadable with the reason.
Status Check(const std::string& path, std::string* reason);

// Size and last write time of a regular file: what tells a rewritten file from the one read
// before. The time's unit is the system's own (ns on POSIX, 100 ns on Windows).
struct Stamp {
  long long size = -1;
  long long modified = 0;
  bool operator==(const Stamp&) const = default;
};

// The stamp of the regular file at path (symbolic links followed); false when there is none.
// One stat, no time-zone work: the link indicator asks it at every image change.
bool StampOf(const std::string& path, Stamp* out);

// The file a write to path must replace: path itself, or the end of its chain of symbolic
// links (relative links taken from their own directory), which may not exist yet.
std::string WriteTarget(const std::string& path);

// Replaces the file at WriteTarget(path) with data, atomically, creating missing parent
// directories (mode 0700) and the file with mode `mode`. An existing directory, FIFO or
// device at the target is refused, not replaced. Empty on success, else the reason.
std::string WriteAtomically(const std::string& path, const std::string& data, unsigned mode);

// Keeps the file now at WriteTarget(path) as "<target><suffix>.N" with the first N from 1
// that is free, never replacing an earlier one (a hard link where the file system allows,
// else a new file holding `data`, the bytes that were read). The name given, or empty with
// *error set.
std::string KeepNumberedCopy(const std::string& path, const std::string& suffix,
                             const std::string& data, std::string* error);

// Removes "<target>.tmp.<pid>" files beside WriteTarget(path) left by processes that no
// longer run (a crash between writing and renaming). Returns how many were removed.
int RemoveStaleTemporaries(const std::string& path);

}  // namespace safe_file
