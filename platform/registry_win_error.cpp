// The reason of a failed registry write on Windows, where the real registry holds the
// values: it gives a result code only, so the text names the place and the usual cause.
#include "registry.h"

namespace registry {

const char* LastWriteError() {
  return "HKEY_LOCAL_MACHINE refused the write (it needs administrator rights)";
}

}  // namespace registry
