// File-backed registry store (every platform but Windows).
//
// The store is one text file:
//   ; veldixmid registry store 1
//   [HKEY_LOCAL_MACHINE\SOFTWARE\VELDIX-MID v1.0\Language]
//   Language=sz:2
//   Flags=dword:00000001
//   ; end
// Key and value names are matched without regard to case, as in the Windows registry.
// Control bytes (and, in names, '=', '[' and ']') are written as \xHH. A file that does not parse
// completely, or lacks its end line (a truncated write), is treated as empty: reads find
// nothing and the next write replaces it with a sound file. Every write goes to a temporary
// file in the same directory that is then renamed over the store, so a crash or a full disk
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

#include "registry.h"
#include "testing/registry_testing.h"

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

// Parses the whole store; nullopt when anything in it is not as written by Serialize.
std::optional<Store> Parse(const std::string& text) {
  Store st;
  std::istringstream in(text);
  std::string line;
  if (!std::getline(in, line) || line != kHeader) return std::nullopt;
  bool ended = false;
  while (std::getline(in, line)) {
    if (ended) return std::nullopt;  // nothing may follow the end line
    if (line == kTrailer) {
      ended = true;
      continue;
    }
    if (line.size() >= 2 && line.front() == '[' && line.back() == ']') {
      const std::string path = Unescape(line.substr(1, line.size() - 2));
      if (path.empty()) return std::nullopt;
      st.keys.push_back({path, {}});
      continue;
    }
    const auto eq = line.find('=');
    // A line starting with '=' is the value without a name: the key's default value.
    if (st.keys.empty() || eq == std::string::npos) return std::nullopt;
    const std::string rest = line.substr(eq + 1);
    Value v;
    v.name = Unescape(line.substr(0, eq));
    if (rest.rfind("sz:", 0) == 0) {
      v.type = Type::Sz;
      v.data = Unescape(rest.substr(3));
    } else if (rest.rfind("dword:", 0) == 0 && rest.size() == 14) {
      std::uint32_t n = 0;
      for (std::size_t i = 6; i < 14; ++i) {
        const int d = HexDigit(rest[i]);
        if (d < 0) return std::nullopt;
        n = n * 16 + static_cast<std::uint32_t>(d);
      }
      v.type = Type::Dword;
      v.data.assign(4, '\0');
      for (int i = 0; i < 4; ++i) v.data[static_cast<std::size_t>(i)] = static_cast<char>((n >> (8 * i)) & 0xFF);
    } else {
      return std::nullopt;
    }
    st.keys.back().values.push_back(std::move(v));
  }
  if (!ended) return std::nullopt;  // truncated
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
        for (int i = 3; i >= 0; --i) n = n * 256 + static_cast<unsigned char>(v.data[static_cast<std::size_t>(i)]);
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

enum class LoadResult { Ok, Missing, Unreadable, Corrupt };

LoadResult Load(Store* st) {
  const char* path = registry::StorePath();
  std::FILE* f = std::fopen(path, "rb");
  if (!f) return errno == ENOENT ? LoadResult::Missing : LoadResult::Unreadable;
  std::string text;
  char buf[4096];
  std::size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) {
    text.append(buf, n);
    if (text.size() > kMaxStoreBytes) break;
  }
  const bool readError = std::ferror(f) != 0;
  std::fclose(f);
  if (readError) return LoadResult::Unreadable;
  if (text.size() > kMaxStoreBytes || text.find('\0') != std::string::npos)
    return LoadResult::Corrupt;
  auto parsed = Parse(text);
  if (!parsed) return LoadResult::Corrupt;
  *st = std::move(*parsed);
  return LoadResult::Ok;
}

// Writes the store atomically. false when the file could not be written or renamed.
bool Save(const Store& st) {
  const std::filesystem::path path(registry::StorePath());
  std::error_code ec;
  if (path.has_parent_path()) std::filesystem::create_directories(path.parent_path(), ec);
  const std::string tmp = path.string() + ".tmp." + std::to_string(::getpid());
  const std::string text = Serialize(st);
  const int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t w = ::write(fd, text.data() + done, text.size() - done);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) break;
    done += static_cast<std::size_t>(w);
  }
  const bool ok = done == text.size() && ::fsync(fd) == 0;
  ::close(fd);
  if (!ok || g_failBeforeRename) {
    if (!g_failBeforeRename) ::unlink(tmp.c_str());
    return false;
  }
  if (std::rename(tmp.c_str(), path.c_str()) != 0) {
    ::unlink(tmp.c_str());
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
  // A store that cannot be parsed is replaced: the write repairs it.
  if (Load(&st) == LoadResult::Unreadable) return -10;
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
  switch (Load(&st)) {
    case LoadResult::Ok: break;
    case LoadResult::Missing:
    case LoadResult::Corrupt: return -15;  // nothing trustworthy is stored
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
  for (int i = 0; i < 4; ++i) data[static_cast<std::size_t>(i)] = static_cast<char>((value >> (8 * i)) & 0xFF);
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

}  // namespace registry
