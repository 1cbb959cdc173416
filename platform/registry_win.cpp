// Registry strings on Windows, through advapi32.
#include <windows.h>

#include <cstring>

#include "registry.h"
#include "testing/registry_testing.h"

namespace {
::HKEY Root(RegRoot root) { return reinterpret_cast<::HKEY>(root); }
}  // namespace

int WT_RegReadString(RegRoot root, const char* path, const char* name, unsigned char* buffer,
                     unsigned int size, unsigned int* outSize) {
  if (!path || !name || !outSize) return -1;
  ::HKEY key = nullptr;
  const LONG open = RegOpenKeyExA(Root(root), path, 0, KEY_QUERY_VALUE, &key);
  if (open != ERROR_SUCCESS) return open == ERROR_FILE_NOT_FOUND ? -15 : -10;
  DWORD type = 0, bytes = 0;
  LONG q = RegQueryValueExA(key, name, nullptr, &type, nullptr, &bytes);
  int rc = 0;
  if (q == ERROR_FILE_NOT_FOUND) {
    rc = -13;
  } else if (q != ERROR_SUCCESS) {
    rc = -12;
  } else if (type != REG_SZ && type != REG_EXPAND_SZ) {
    rc = -14;
  } else {
    *outSize = bytes;
    if (buffer) {
      if (bytes > size) {
        rc = -2;
      } else {
        DWORD got = size;
        q = RegQueryValueExA(key, name, nullptr, nullptr, buffer, &got);
        if (q != ERROR_SUCCESS) {
          rc = -12;
        } else {
          // A stored value need not carry its terminator.
          if (got < size) buffer[got] = '\0';
          else buffer[size - 1] = '\0';
        }
      }
    }
  }
  RegCloseKey(key);
  return rc;
}

int WT_RegWriteString(RegRoot root, const char* path, const char* name, const char* text) {
  if (!path || !name || !text) return -1;
  ::HKEY key = nullptr;
  char cls[] = "DfltClass";
  if (RegCreateKeyExA(Root(root), path, 0, cls, REG_OPTION_NON_VOLATILE, KEY_SET_VALUE, nullptr,
                      &key, nullptr) != ERROR_SUCCESS)
    return -10;
  const DWORD bytes = static_cast<DWORD>(std::strlen(text) + 1);
  const LONG set = RegSetValueExA(key, name, 0, REG_SZ,
                                  reinterpret_cast<const BYTE*>(text), bytes);
  RegCloseKey(key);
  return set == ERROR_SUCCESS ? 0 : -11;
}

namespace registry {
int WriteDword(RegRoot root, const char* path, const char* name, std::uint32_t value) {
  if (!path || !name) return -1;
  ::HKEY key = nullptr;
  if (RegCreateKeyExA(Root(root), path, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_SET_VALUE,
                      nullptr, &key, nullptr) != ERROR_SUCCESS)
    return -10;
  const DWORD v = value;
  const LONG set = RegSetValueExA(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&v),
                                  sizeof v);
  RegCloseKey(key);
  return set == ERROR_SUCCESS ? 0 : -11;
}
const char* StorePath() { return ""; }
void FailNextWritesBeforeRename(bool) {}
}  // namespace registry
