// Private to the serial and TCP runtimes: the record of the most recent failure, whose text
// GetRS232ErrorString gives for that code. Owned by rs232_errors.cpp.
#pragma once

#include <initializer_list>
#include <string>

#include "platform/rs232.h"

namespace rt_internal {

// Message texts of the runtimes, in the order of the English table in rs232_errors.cpp and
// of the translated texts (SetRS232TextSource). %1, %2, %3 stand for the arguments: the
// device or host first, the system's own reason last.
enum Text {
  kTextOfCode = 0,  // 0..18: the generic text of code -id
  kTextUnknownCode = 19,
  kTextBadPort,          // port, first, last
  kTextPortNotOpen,      // port, device
  kTextNoDevice,         // device
  kTextBusyOther,        // device
  kTextBusyAsk,          // device
  kTextPermission,       // device
  kTextBusyWhy,          // device, reason
  kTextNotSerial,        // device, reason
  kTextCannotOpen,       // device, reason
  kTextBadSpeed,         // device, bit/s
  kTextBadParity,        // device, parity
  kTextBadDataBits,      // device, data bits
  kTextBadStopBits,      // device, stop bits
  kTextBadQueue,         // device
  kTextSettingsRefused,  // device, bit/s, framing, reason
  kTextQueuesRefused,    // device, bit/s, framing, reason
  kTextSettingsUnread,   // device, bit/s, framing, reason
  kTextBadTimeout,       // device
  kTextBadComWrite,      // device
  kTextWriteFailed,      // device, reason
  kTextWriteUnsent,      // device, bytes unsent, bytes asked
  kTextBadComRead,       // device
  kTextReadFailed,       // device, reason
  kTextBadHandle,        // handle
  kTextConnRefused,      // host:port
  kTextConnTimeout,      // host:port, ms
  kTextNetUnreachable,   // host:port
  kTextCannotConnect,    // host:port, reason
  kTextNoHost,
  kTextEmptyHost,
  kTextPortZero,  // host
  kTextNoWinsock,
  kTextHostNotFound,     // host
  kTextCannotResolve,    // host, reason
  kTextBadTcpWrite,      // host:port
  kTextPeerClosed,       // host:port
  kTextTcpWriteFailed,   // host:port, reason
  kTextTcpWriteTimeout,  // host:port
  kTextBadTcpRead,       // host:port
  kTextTcpReadTimeout,   // host:port
  kTextPeerReset,        // host:port
  kTextTcpReadFailed,    // host:port, reason
  kTextEnd
};
static_assert(kTextEnd == kRtTextCount);

// Records a failure: its code, the message text and the message's arguments. Returns code.
int SetLastError(int code, Text text, std::initializer_list<std::string> args = {});

// "8N1": data bits, parity letter, stop bits, the same in every language.
std::string FramingText(int parity, int dataBits, int stopBits);

}  // namespace rt_internal
