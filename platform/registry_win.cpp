// Registry strings on Windows, through advapi32.
//
// The tool keeps its values under HKEY_LOCAL_MACHINE, which only administrators may write.
// As Windows' own registry virtualization does for older programs, a write that
// HKEY_LOCAL_MACHINE denies goes to the same key under HKEY_CURRENT_USER, and a read of
// HKEY_LOCAL_MACHINE looks there first: a user without those rights keeps the language and
// the link settings from one start to the next, and values an administrator stored still
// serve every user who has none of their own.
#include <windows.h>

#include <cstring>

#include "platform/registry.h"
#include "platform/testing/registry_testing.h"

namespace {
::HKEY Root(RegRoot root) { return reinterpret_cast<::HKEY>(root); }

bool g_denyMachine = false;  // tests: HKEY_LOCAL_MACHINE behaves as for a user without rights

int ReadString(RegRoot root, const char* path, const char* name, unsigned char* buffer,
               unsigned int size, unsigned int* outSize) {
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
          if (got < size)
            buffer[got] = '\0';
          else
            buffer[size - 1] = '\0';
        }
      }
    }
  }
  RegCloseKey(key);
  return rc;
}

// Stores one value; ERROR_SUCCESS or the failing call's code, *created false when the key
// could not be opened or created.
LONG WriteValue(RegRoot root, const char* path, const char* name, DWORD type, const void* data,
                DWORD bytes, bool* created) {
  *created = false;
  if (g_denyMachine && root == kRegLocalMachine) return ERROR_ACCESS_DENIED;
  ::HKEY key = nullptr;
  char cls[] = "DfltClass";
  const LONG open = RegCreateKeyExA(Root(root), path, 0, cls, REG_OPTION_NON_VOLATILE,
                                    KEY_SET_VALUE, nullptr, &key, nullptr);
  if (open != ERROR_SUCCESS) return open;
  *created = true;
  const LONG set = RegSetValueExA(key, name, 0, type, static_cast<const BYTE*>(data), bytes);
  RegCloseKey(key);
  return set;
}

// A write HKEY_LOCAL_MACHINE denies is made under HKEY_CURRENT_USER. 0, -10 or -11.
int Write(RegRoot root, const char* path, const char* name, DWORD type, const void* data,
          DWORD bytes) {
  bool created = false;
  LONG rc = WriteValue(root, path, name, type, data, bytes, &created);
  if (rc == ERROR_ACCESS_DENIED && root == kRegLocalMachine)
    rc = WriteValue(kRegCurrentUser, path, name, type, data, bytes, &created);
  if (rc == ERROR_SUCCESS) return 0;
  return created ? -11 : -10;
}
}  // namespace

int WT_RegReadString(RegRoot root, const char* path, const char* name, unsigned char* buffer,
                     unsigned int size, unsigned int* outSize) {
  if (!path || !name || !outSize) return -1;
  if (root == kRegLocalMachine) {  // the user's own value first, as written when denied
    const int user = ReadString(kRegCurrentUser, path, name, buffer, size, outSize);
    if (user != -15 && user != -13) return user;
  }
  return ReadString(root, path, name, buffer, size, outSize);
}

int WT_RegWriteString(RegRoot root, const char* path, const char* name, const char* text) {
  if (!path || !name || !text) return -1;
  return Write(root, path, name, REG_SZ, text, static_cast<DWORD>(std::strlen(text) + 1));
}

namespace registry {
int WriteDword(RegRoot root, const char* path, const char* name, std::uint32_t value) {
  if (!path || !name) return -1;
  const DWORD v = value;
  return Write(root, path, name, REG_DWORD, &v, sizeof v);
}
const char* StorePath() { return ""; }
void FailNextWritesBeforeRename(bool) {}
void DenyMachineWrites(bool deny) { g_denyMachine = deny; }
}  // namespace registry
