// Private to the serial and TCP runtimes: the record of the most recent failure, whose text
// GetRS232ErrorString gives for that code. Owned by rs232_errors.cpp.
#pragma once

#include <string>

namespace rt_internal {
// Records the detailed text of a failure (device or host, and why). Returns code.
int SetLastError(int code, const std::string& text);
}  // namespace rt_internal
