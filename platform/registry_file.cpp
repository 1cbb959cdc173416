// File-backed registry store (every platform but Windows).
//
// The store is one text file:
//   ; veldixmid registry store 1
//   [HKEY_LOCAL_MACHINE\SOFTWARE\VELDIX-MID v1.0\Language]
//   Language=sz:2
//   Flags=dword:00000001
//   ; end
// Key and value names are matched without regard to case, as in the Windows registry.
// Control bytes (and, in names, '=', '[' and ']') are written as \xHH. Lines may end in LF or
// CR LF. A store that does not parse completely (a line edited by hand, a missing end line
// after a truncated copy, more than 1 MiB) keeps every value that does parse: reads find
// them, and the next write first keeps the file as it was as "<store>.bad.N" (the first free
// N, never replacing an earlier one), then writes the repaired store. Only a regular file is
// read; a directory, FIFO or device at the path fails reads and writes with the reason kept
// for LastWriteError. Every write goes to a temporary file beside the store (the target of a
// symbolic link: the link stays) that is then renamed over it, so a crash or a full disk
// leaves either the old or the new store, never half of one.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "platform/registry.h"
#include "platform/safe_file.h"
#include "platform/testing/registry_testing.h"

namespace {

constexpr const char* kHeader = "; veldixmid registry store 1";
constexpr const char* kTrailer = "; end";
constexpr std::size_t kMaxStoreBytes = 1 << 20;  // far beyond any real store

enum class Type { Sz, Dword };

struct Value {
  std::string name;
  Type type = Type::Sz;
  std::string data;  // Sz: the text; Dword: 4 bytes little-endian
};

struct Key {
  std::string path;  // root name + '\' + path
  std::vector<Value> values;
};

struct Store {
  std::vector<Key> keys;
};

std::string g_storePath;
bool g_failBeforeRename = false;
std::string g_lastWriteError;

bool EqualNoCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i])))
      return false;
  return true;
}

const char* RootName(RegRoot root) {
  switch (root) {
    case kRegClassesRoot: return "HKEY_CLASSES_ROOT";
    case kRegCurrentUser: return "HKEY_CURRENT_USER";
    case kRegLocalMachine: return "HKEY_LOCAL_MACHINE";
    case kRegUsers: return "HKEY_USERS";
    default: return nullptr;
  }
}

// Control bytes, a backslash that would read as the start of \xHH, and in names the
// characters of the format itself are written as \xHH; everything else, key paths' own
// backslashes included, is written as it is, so the file stays readable and editable.
std::string Escape(const std::string& s, bool name) {
  std::string out;
  for (std::size_t i = 0; i < s.size(); ++i) {
    const auto c = static_cast<unsigned char>(s[i]);
    const bool escapeLike = c == '\\' && i + 1 < s.size() && s[i + 1] == 'x';
    if (c < 0x20 || c == 0x7F || escapeLike || (name && (c == '=' || c == ']' || c == '['))) {
      char hex[5];
      std::snprintf(hex, sizeof hex, "\\x%02X", c);
      out += hex;
    } else {
      out.push_back(static_cast<char>(c));
    }
  }
  return out;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// \xHH with two hexadecimal digits is that byte; any other backslash is itself.
std::string Unescape(const std::string& s) {
  std::string out;
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '\\' && i + 3 < s.size() && s[i + 1] == 'x' && HexDigit(s[i + 2]) >= 0 &&
        HexDigit(s[i + 3]) >= 0) {
      out.push_back(static_cast<char>(HexDigit(s[i + 2]) * 16 + HexDigit(s[i + 3])));
      i += 3;
    } else {
      out.push_back(s[i]);
    }
  }
  return out;
}

// Parses the store, keeping every value it can: lines may end in LF or CR LF; a line that is
// not a key, a value or the format's own (a value before any key, a raw NUL, an unknown
// type) is skipped. *complete is false when anything was skipped, the header or the end
// line is missing, or text follows the end line: such a store is backed up before the next
// write replaces it.
Store Parse(const std::string& text, bool* complete) {
  Store st;
  bool ok = true;
  bool ended = false;
  bool first = true;
  std::size_t at = 0;
  while (at < text.size()) {
    std::size_t eol = text.find('\n', at);
    if (eol == std::string::npos) eol = text.size();
    std::string line = text.substr(at, eol - at);
    at = eol + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (first) {
      first = false;
      if (line == kHeader) continue;
      ok = false;  // not our header: read on, keep what parses
    }
    if (ended) ok = false;  // nothing may follow the end line
    if (line == kTrailer) {
      ended = true;
      continue;
    }
    if (line.find('\0') != std::string::npos) {
      ok = false;
      continue;
    }
    if (line.size() >= 2 && line.front() == '[' && line.back() == ']') {
      const std::string path = Unescape(line.substr(1, line.size() - 2));
      if (path.empty()) {
        ok = false;
        continue;
      }
      st.keys.push_back({path, {}});
      continue;
    }
    const auto eq = line.find('=');
    // A line starting with '=' is the value without a name: the key's default value.
    if (st.keys.empty() || eq == std::string::npos) {
      ok = false;
      continue;
    }
    const std::string rest = line.substr(eq + 1);
    Value v;
    v.name = Unescape(line.substr(0, eq));
    bool valueOk = true;
    if (rest.rfind("sz:", 0) == 0) {
      v.type = Type::Sz;
      v.data = Unescape(rest.substr(3));
    } else if (rest.rfind("dword:", 0) == 0 && rest.size() == 14) {
      std::uint32_t n = 0;
      for (std::size_t i = 6; i < 14 && valueOk; ++i) {
        const int d = HexDigit(rest[i]);
        if (d < 0) valueOk = false;
        n = n * 16 + static_cast<std::uint32_t>(d < 0 ? 0 : d);
      }
      v.type = Type::Dword;
      v.data.assign(4, '\0');
      for (int i = 0; i < 4; ++i)
        v.data[static_cast<std::size_t>(i)] = static_cast<char>((n >> (8 * i)) & 0xFF);
    } else {
      valueOk = false;
    }
    if (!valueOk) {
      ok = false;
      continue;
    }
    st.keys.back().values.push_back(std::move(v));
  }
  if (!ended) ok = false;  // truncated
  *complete = ok;
  return st;
}

std::string Serialize(const Store& st) {
  std::string out = std::string(kHeader) + "\n";
  for (const Key& k : st.keys) {
    out += '[';
    out += Escape(k.path, true);
    out += "]\n";
    for (const Value& v : k.values) {
      out += Escape(v.name, true) + "=";
      if (v.type == Type::Sz) {
        out += "sz:" + Escape(v.data, false);
      } else {
        std::uint32_t n = 0;
        for (int i = 3; i >= 0; --i)
          n = n * 256 + static_cast<unsigned char>(v.data[static_cast<std::size_t>(i)]);
        char hex[16];
        std::snprintf(hex, sizeof hex, "dword:%08X", n);
        out += hex;
      }
      out += "\n";
    }
  }
  out += std::string(kTrailer) + "\n";
  return out;
}

enum class LoadResult { Ok, Missing, Unreadable, Partial };

struct Loaded {
  LoadResult result = LoadResult::Missing;
  std::string text;    // the bytes read (at most kMaxStoreBytes)
  std::string reason;  // Unreadable: what is wrong with the path
};

// Reads and parses the store. A store that does not parse completely (or is larger than the
// bound, whose first kMaxStoreBytes are parsed) is Partial: its values are in *st all the same.
Loaded Load(Store* st) {
  Loaded l;
  const safe_file::Read file = safe_file::ReadFile(registry::StorePath(), kMaxStoreBytes);
  switch (file.status) {
    case safe_file::Status::missing: l.result = LoadResult::Missing; return l;
    case safe_file::Status::not_regular:
    case safe_file::Status::unreadable:
      l.result = LoadResult::Unreadable;
      l.reason = file.reason;
      return l;
    case safe_file::Status::ok:
    case safe_file::Status::too_large: break;
  }
  l.text = file.data;
  std::string text = file.data;
  // Cut short at the bound: the last line is probably cut too, and is left out.
  if (file.status == safe_file::Status::too_large) text.erase(text.rfind('\n') + 1);
  bool complete = false;
  *st = Parse(text, &complete);
  l.result =
      complete && file.status == safe_file::Status::ok ? LoadResult::Ok : LoadResult::Partial;
  return l;
}

void SetWriteError(const std::string& text) { g_lastWriteError = text; }

// Writes the store atomically (through a symbolic link, to its target). false, with the
// reason noted, when it could not be written.
bool Save(const Store& st) {
  const std::string path = registry::StorePath();
  safe_file::RemoveStaleTemporaries(path);
  const std::string text = Serialize(st);
  if (g_failBeforeRename) {
    // As a crash between writing the temporary file and renaming it would leave things.
    const std::string tmp = safe_file::WriteTarget(path) + ".tmp." + std::to_string(::getpid());
    std::FILE* f = std::fopen(tmp.c_str(), "wb");
    if (f) {
      std::fwrite(text.data(), 1, text.size(), f);
      std::fclose(f);
    }
    SetWriteError(path + ": interrupted before the rename (test)");
    return false;
  }
  const std::string err = safe_file::WriteAtomically(path, text, 0600);
  if (!err.empty()) {
    SetWriteError(err);
    return false;
  }
  return true;
}

Key* FindKey(Store& st, const std::string& path) {
  for (Key& k : st.keys)
    if (EqualNoCase(k.path, path)) return &k;
  return nullptr;
}

Value* FindValue(Key& k, const std::string& name) {
  for (Value& v : k.values)
    if (EqualNoCase(v.name, name)) return &v;
  return nullptr;
}

int WriteValue(RegRoot root, const char* path, const char* name, Type type, std::string data) {
  const char* rootName = RootName(root);
  if (!rootName) return -10;
  Store st;
  const Loaded loaded = Load(&st);
  if (loaded.result == LoadResult::Unreadable) {
    SetWriteError(std::string(registry::StorePath()) + " " + loaded.reason);
    return -10;
  }
  if (loaded.result == LoadResult::Partial) {
    // What did not parse is kept, byte for byte, beside the store before it is rewritten
    // from what did; without that copy nothing is written.
    std::string why;
    if (safe_file::KeepNumberedCopy(registry::StorePath(), ".bad", loaded.text, &why).empty()) {
      SetWriteError(std::string(registry::StorePath()) + " is damaged and " + why);
      return -11;
    }
  }
  const std::string full = std::string(rootName) + "\\" + path;
  Key* k = FindKey(st, full);
  if (!k) {
    st.keys.push_back({full, {}});
    k = &st.keys.back();
  }
  Value* v = FindValue(*k, name);
  if (!v) {
    k->values.push_back({name, type, {}});
    v = &k->values.back();
  }
  v->type = type;
  v->data = std::move(data);
  return Save(st) ? 0 : -11;
}

}  // namespace

int WT_RegReadString(RegRoot root, const char* path, const char* name, unsigned char* buffer,
                     unsigned int size, unsigned int* outSize) {
  if (!path || !name || !outSize) return -1;
  const char* rootName = RootName(root);
  if (!rootName) return -10;
  Store st;
  switch (Load(&st).result) {
    case LoadResult::Ok:
    case LoadResult::Partial: break;  // what parsed is read
    case LoadResult::Missing: return -15;
    case LoadResult::Unreadable: return -10;
  }
  Key* k = FindKey(st, std::string(rootName) + "\\" + path);
  if (!k) return -15;
  Value* v = FindValue(*k, name);
  if (!v) return -13;
  if (v->type != Type::Sz) return -14;
  // The stored text ends at an embedded NUL, as a string value does.
  const std::string text = v->data.substr(0, v->data.find('\0'));
  const std::size_t needed = text.size() + 1;
  if (needed > 0xFFFFFFFFu) return -12;
  *outSize = static_cast<unsigned int>(needed);
  if (buffer) {
    if (needed > size) return -2;
    std::memcpy(buffer, text.c_str(), needed);
  }
  return 0;
}

int WT_RegWriteString(RegRoot root, const char* path, const char* name, const char* text) {
  if (!path || !name || !text) return -1;
  return WriteValue(root, path, name, Type::Sz, text);
}

namespace registry {

int WriteDword(RegRoot root, const char* path, const char* name, std::uint32_t value) {
  if (!path || !name) return -1;
  std::string data(4, '\0');
  for (int i = 0; i < 4; ++i)
    data[static_cast<std::size_t>(i)] = static_cast<char>((value >> (8 * i)) & 0xFF);
  return WriteValue(root, path, name, Type::Dword, std::move(data));
}

const char* StorePath() {
  if (const char* env = std::getenv("VELDIXMID_REGISTRY"); env && *env) {
    g_storePath = env;
  } else if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg && *xdg) {
    g_storePath = std::string(xdg) + "/veldixmid/registry";
  } else {
    const char* home = std::getenv("HOME");
    g_storePath = std::string(home && *home ? home : ".") + "/.config/veldixmid/registry";
  }
  return g_storePath.c_str();
}

void FailNextWritesBeforeRename(bool fail) { g_failBeforeRename = fail; }

const char* LastWriteError() { return g_lastWriteError.c_str(); }

}  // namespace registry
