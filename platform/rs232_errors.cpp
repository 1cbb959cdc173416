// The error list shared by the serial and TCP runtimes of every platform: the generic text
// of each code and the detailed text of the most recent failure.
#include <string>

#include "rs232.h"
#include "runtime_error.h"

namespace {
struct LastFailure {
  int code = 0;
  std::string text;
};
LastFailure g_last;
}  // namespace

namespace rt_internal {
int SetLastError(int code, const std::string& text) {
  g_last.code = code;
  g_last.text = text;
  return code;
}
}  // namespace rt_internal

const char* GetRS232ErrorString(int errorCode) {
  if (errorCode < 0 && errorCode == g_last.code && !g_last.text.empty())
    return g_last.text.c_str();
  switch (errorCode) {
    case 0: return "no error";
    case kRtErrUnknown: return "unknown error";
    case kRtErrBadPortNumber: return "port number outside 1 to 98";
    case kRtErrNotOpen: return "the port or connection is not open";
    case kRtErrNoSuchDevice: return "no such device";
    case kRtErrPermission: return "permission denied";
    case kRtErrDeviceBusy: return "device busy";
    case kRtErrConfigure: return "port settings refused";
    case kRtErrWrite: return "write failed";
    case kRtErrRead: return "read failed";
    case kRtErrTimeout: return "timed out";
    case kRtErrBadArgument: return "bad argument";
    case kRtErrHostNotFound: return "host not found";
    case kRtErrConnRefused: return "connection refused";
    case kRtErrConnTimeout: return "connection timed out";
    case kRtErrConnClosed: return "connection closed by the peer";
    case kRtErrNetUnreachable: return "network unreachable";
    case kRtErrBadHandle: return "no such connection handle";
    case kRtErrSocket: return "socket error";
    default: return "unknown error code";
  }
}
