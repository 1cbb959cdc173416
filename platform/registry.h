// Registry strings. On Windows the real registry; elsewhere a file-backed store with typed
// values, at $VELDIXMID_REGISTRY, else $XDG_CONFIG_HOME/veldixmid/registry, else
// ~/.config/veldixmid/registry, rewritten atomically (temporary file + rename) on every write.
#pragma once

#include <cstdint>

using RegRoot = std::uintptr_t;
inline constexpr RegRoot kRegClassesRoot = 0x80000000u;
inline constexpr RegRoot kRegCurrentUser = 0x80000001u;
inline constexpr RegRoot kRegLocalMachine = 0x80000002u;
inline constexpr RegRoot kRegUsers = 0x80000003u;

// Reads string value `name` of key `path` into buffer (size bytes, NUL included).
//  0 success; *outSize = bytes of the value including its NUL
// -1 path, name or outSize missing
// -10 key could not be opened   -15 key does not exist
// -12 query or read failed      -13 value does not exist   -14 value is not a string
// -2  value (with its NUL) larger than the buffer
int WT_RegReadString(RegRoot root, const char* path, const char* name, unsigned char* buffer,
                     unsigned int size, unsigned int* outSize);
// Writes `text` as a string value, creating the key. 0; -1 bad arguments; -10 key could
// not be created; -11 value could not be stored.
int WT_RegWriteString(RegRoot root, const char* path, const char* name, const char* text);

namespace registry {
// A 32-bit number value (REG_DWORD); lets tests and tools store a value that is not a string.
int WriteDword(RegRoot root, const char* path, const char* name, std::uint32_t value);
// Where the store lives (file store only; empty on Windows).
const char* StorePath();
// Why the last write failed, naming the store and what is wrong with it ("... is a
// directory"); empty before any failure.
const char* LastWriteError();
}  // namespace registry
