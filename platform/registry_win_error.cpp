// The reason of a failed registry write on Windows, where the real registry holds the
// values: it gives a result code only, so the text names the place and the usual cause.
#include "platform/registry.h"

namespace registry {

const char* LastWriteError() {
  return "neither HKEY_LOCAL_MACHINE nor HKEY_CURRENT_USER took the write";
}

}  // namespace registry
