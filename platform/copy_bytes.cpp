// The TCP runtime's byte copy, the same on every platform.
#include <cstring>

#include "platform/tcp.h"

void CopyBytes(void* target, std::size_t targetIndex, const void* source, std::size_t sourceIndex,
               std::size_t count) {
  if (count == 0 || target == nullptr || source == nullptr) return;
  std::memmove(static_cast<unsigned char*>(target) + targetIndex,
               static_cast<const unsigned char*>(source) + sourceIndex, count);
}
