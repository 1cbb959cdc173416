// The meter's non-volatile memory: settings, display mask, clock offset and energy
// counters, kept in a small text file between runs.
//
// Format, one item per line, every key exactly once, in any order:
//   veldixmid-sim-state 1          first line, format version
//   slave-address 1                settings by name (see Settings), decimal
//   display-mask 7623 1984 990 112 10501
//   clock-offset 3600.000          meter clock minus UTC, seconds
//   energy import-t1 8421530.000   one line per counter, Wh / varh / VAh
//   end                            last line: a file cut short is recognised
// Lines starting with '#' and blank lines are skipped.
#pragma once

#include <optional>
#include <string>

#include "sim/meter_model.h"

namespace veldix::sim {

struct StateLoad {
  // refused: something other than a regular file sits at the path (a directory, a FIFO, a
  // device), or it cannot be read; the simulator will not start on it, nor replace it.
  enum class Status { loaded, missing, corrupt, refused };
  Status status = Status::missing;
  MeterState state;     // valid when loaded
  std::string message;  // why it is missing, corrupt or refused, with the line number
  std::string text;     // corrupt: the bytes read, for the backup where no hard link can be made
};

// Reads the file (a regular file or a symbolic link to one; never blocks). A missing file
// is not an error (first run); anything incomplete or out of range makes the whole file
// corrupt, and nothing of it is used.
StateLoad load_state(const std::string& path);

// The text that save_state writes.
std::string format_state(const MeterState& state);

// Parses text as load_state would (for tests and for load_state itself).
StateLoad parse_state(const std::string& text);

// Writes the file atomically: a temporary file beside it, flushed to disk, then renamed
// over the old one, so a crash leaves either the old or the new file, never half of one.
// A symbolic link stays: its target is what is replaced. Returns an empty string on success, else
// the reason.
std::string save_state(const std::string& path, const MeterState& state);

}  // namespace veldix::sim
