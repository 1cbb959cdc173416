// The error list shared by the serial and TCP runtimes of every platform: the generic text
// of each code and the detailed text of the most recent failure, in the operator's language
// where the application gives one.
#include <string>
#include <vector>

#include "platform/rs232.h"
#include "platform/runtime_error.h"

namespace {

using rt_internal::Text;

// English, the texts of last resort; indexed by rt_internal::Text.
constexpr const char* kEnglish[] = {
    "no error",
    "unknown error",
    "port number outside 1 to 98",
    "the port or connection is not open",
    "no such device",
    "permission denied",
    "device busy",
    "port settings refused",
    "write failed",
    "read failed",
    "timed out",
    "bad argument",
    "host not found",
    "connection refused",
    "connection timed out",
    "connection closed by the peer",
    "network unreachable",
    "no such connection handle",
    "socket error",
    "unknown error code",
    "serial port %1: port numbers run from %2 to %3",
    "serial port %1 (%2) is not open",
    "%1: no such device",
    "%1: device busy: another program is using it",
    "%1: device busy: is another program using it?",
    "%1: permission denied: is the user in the dialout group?",
    "%1: device busy: %2",
    "%1: not a serial device: %2",
    "%1: cannot open: %2",
    "%1: bad speed %2 bit/s",
    "%1: bad parity %2 (0 none, 1 odd, 2 even)",
    "%1: bad number of data bits %2 (5 to 8)",
    "%1: bad number of stop bits %2 (1 or 2)",
    "%1: negative queue size",
    "%1: settings refused (%2 bit/s, %3): %4",
    "%1: queue sizes refused (%2 bit/s, %3): %4",
    "%1: settings unreadable (%2 bit/s, %3): %4",
    "%1: bad time-out (0 to 3600 s)",
    "%1: bad write buffer or count",
    "%1: write failed: %2",
    "%1: write timed out with %2 of %3 bytes unsent",
    "%1: bad read buffer or count",
    "%1: read failed: %2",
    "no TCP connection with handle %1",
    "connection refused by %1",
    "connection to %1 timed out after %2 ms",
    "network unreachable: %1",
    "cannot connect to %1: %2",
    "connect: no handle or host given",
    "host not found: (empty host name)",
    "connect to %1: port 0",
    "Winsock could not be started",
    "host not found: %1",
    "cannot resolve %1: %2",
    "%1: bad write buffer or size",
    "connection to %1 closed by the peer",
    "write to %1 failed: %2",
    "write to %1 timed out",
    "%1: bad read buffer or size",
    "read from %1 timed out",
    "connection to %1 reset by the peer",
    "read from %1 failed: %2",
};
static_assert(sizeof kEnglish / sizeof *kEnglish == kRtTextCount);

struct LastFailure {
  int code = 0;
  Text text = rt_internal::kTextUnknownCode;
  std::vector<std::string> args;
};
LastFailure g_last;
RtTextSource g_source = nullptr;
std::string g_shown;  // the text GetRS232ErrorString returned last

const char* Template(int id) {
  const char* translated = g_source ? g_source(id) : nullptr;
  return translated && *translated ? translated : kEnglish[id];
}

// %1..%9 become the arguments (empty when missing); anything else stays as written, so a
// translated text can never read beyond what was recorded.
std::string Expand(const char* pattern, const std::vector<std::string>& args) {
  std::string out;
  for (const char* p = pattern; *p; ++p) {
    if (p[0] == '%' && p[1] >= '1' && p[1] <= '9') {
      const auto n = static_cast<std::size_t>(p[1] - '1');
      if (n < args.size()) out += args[n];
      ++p;
    } else {
      out += *p;
    }
  }
  return out;
}

}  // namespace

namespace rt_internal {
int SetLastError(int code, Text text, std::initializer_list<std::string> args) {
  g_last.code = code;
  g_last.text = text;
  g_last.args.assign(args);
  return code;
}

std::string FramingText(int parity, int dataBits, int stopBits) {
  const char letter = parity == 1 ? 'O' : parity == 2 ? 'E' : 'N';
  return std::to_string(dataBits) + letter + std::to_string(stopBits);
}
}  // namespace rt_internal

void SetRS232TextSource(RtTextSource source) { g_source = source; }

const char* GetRS232ErrorString(int errorCode) {
  if (errorCode < 0 && errorCode == g_last.code)
    g_shown = Expand(Template(g_last.text), g_last.args);
  else if (errorCode <= 0 && errorCode > -rt_internal::kTextUnknownCode)
    g_shown = Template(rt_internal::kTextOfCode - errorCode);
  else
    g_shown = Template(rt_internal::kTextUnknownCode);
  return g_shown.c_str();
}
