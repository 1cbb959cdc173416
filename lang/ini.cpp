// INI reader. The contract, file format and escape rules are in ini.h.
#include "lang/ini.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/safe_file.h"

namespace {

constexpr std::size_t kChunkSize = 2048;          // the file is read in blocks of this many bytes
constexpr std::size_t kMaxLineLength = 255;       // bytes kept of a line; the rest is dropped
constexpr std::size_t kMaxFileBytes = 64u << 20;  // read at most this much of a file
constexpr std::size_t kScratchGranule = 1024;     // the scratch buffer is sized in these steps
constexpr char kSectionStart = '[';
constexpr char kSectionEnd = ']';
constexpr char kSeparator = '=';
constexpr char kComment = ';';
constexpr std::string_view kLineMarker = "Line";
// Largest line number of a multi-line item: a Windows long, on every platform, so that a
// file reads the same everywhere.
constexpr long kMaxLineNumber = 2147483647L;

struct Item {
  std::string name;
  std::string value;  // quotes already removed, escapes not yet processed
  bool quoted = false;
};

struct Section {
  std::string name;
  std::vector<Item> items;
  // Case-folded item name -> position of the first item so named. Built at the first lookup
  // (the catalogue looks up every item of its section, which a linear search made quadratic);
  // items never change once their read has ended, so it stays valid.
  std::unordered_map<std::string, std::size_t> index;
  bool indexed = false;
};

bool isSpace(unsigned char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool isLineEnd(unsigned char c) { return c == '\n' || c == '\r' || c == '\0'; }

bool onlySpace(std::string_view s) {
  for (char c : s)
    if (!isSpace(static_cast<unsigned char>(c))) return false;
  return true;
}

std::string_view trimLeft(std::string_view s) {
  while (!s.empty() && isSpace(static_cast<unsigned char>(s.front()))) s.remove_prefix(1);
  return s;
}

std::string_view trimRight(std::string_view s) {
  while (!s.empty() && isSpace(static_cast<unsigned char>(s.back()))) s.remove_suffix(1);
  return s;
}

// Lower case of a Windows-1252 byte: ASCII letters, the accented letters C0..DE (except the
// multiplication sign D7) and the four capitals that Windows-1252 puts in 80..9F.
unsigned char foldCase(unsigned char c) {
  if ((c >= 'A' && c <= 'Z') || (c >= 0xC0 && c <= 0xDE && c != 0xD7))
    return static_cast<unsigned char>(c + 0x20);
  switch (c) {
    case 0x8A: return 0x9A;  // Š
    case 0x8C: return 0x9C;  // Œ
    case 0x8E: return 0x9E;  // Ž
    case 0x9F: return 0xFF;  // Ÿ
    default: return c;
  }
}

std::string foldedName(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = static_cast<char>(foldCase(static_cast<unsigned char>(c)));
  return out;
}

bool sameName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (foldCase(static_cast<unsigned char>(a[i])) != foldCase(static_cast<unsigned char>(b[i])))
      return false;
  return true;
}

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Hands out the lines of a file that hold more than white space, reading it in chunks.
class LineSource {
 public:
  explicit LineSource(std::FILE* file) : file_(file) {}

  // 1 and the next line (at most kMaxLineLength bytes, no line end), 0 at the end of the
  // file, INI_ERR_READ when reading failed.
  int next(std::string& line) {
    for (;;) {
      line.clear();
      bool atStart = true;
      bool consumed = false;
      bool ended = false;
      while (!ended) {
        if (pos_ == len_) {
          const int r = fill();
          if (r <= 0) {
            if (r < 0) return r;
            break;
          }
        }
        const unsigned char c = chunk_[pos_++];
        // The second half of CRLF or LFCR: a line end that opens a line and differs
        // from the one that closed the previous line. The file's first byte counts as
        // opening a line after "no line end", so a leading line end is skipped too.
        if (atStart) {
          atStart = false;
          if (isLineEnd(c) && c != lastEnd_) continue;
        }
        consumed = true;
        if (isLineEnd(c)) {
          lastEnd_ = c;
          ended = true;
        } else if (line.size() < kMaxLineLength) {
          line.push_back(static_cast<char>(c));
        }
      }
      if (!consumed) return 0;
      if (!onlySpace(line)) return 1;
      if (!ended) return 0;
    }
  }

 private:
  // 1 when bytes are ready, 0 at the end of the file, INI_ERR_READ after a failed read.
  // Bytes that arrived before a failure are handed out first.
  int fill() {
    if (failed_) return INI_ERR_READ;
    if (atEof_) return 0;
    pos_ = 0;
    if (total_ >= kMaxFileBytes) {
      // Far beyond any language file: what was read stays, the rest is an error.
      failed_ = true;
      return INI_ERR_READ;
    }
    len_ = std::fread(chunk_, 1, sizeof chunk_, file_);
    total_ += len_;
    if (len_ < sizeof chunk_) {
      if (std::ferror(file_))
        failed_ = true;
      else
        atEof_ = true;
    }
    if (len_ > 0) return 1;
    return failed_ ? INI_ERR_READ : 0;
  }

  std::FILE* file_;
  unsigned char chunk_[kChunkSize];
  std::size_t pos_ = 0;
  std::size_t len_ = 0;
  std::size_t total_ = 0;
  bool atEof_ = false;
  bool failed_ = false;
  int lastEnd_ = -1;  // the byte that ended the previous line; none yet at the start
};

enum class LineKind { Ignored, Header, Item };

struct Classified {
  LineKind kind = LineKind::Ignored;
  std::string_view name;
  std::string_view value;
};

Classified classify(std::string_view line) {
  const std::string_view rest = trimLeft(line);
  if (rest.empty() || rest.front() == kComment) return {};
  if (rest.front() == kSectionStart) {
    const std::string_view inner = trimLeft(rest.substr(1));
    const std::size_t close = inner.rfind(kSectionEnd);
    if (close == std::string_view::npos || !onlySpace(inner.substr(close + 1))) return {};
    const std::string_view name = trimRight(inner.substr(0, close));
    if (name.empty()) return {};
    return {LineKind::Header, name, {}};
  }
  const std::size_t sep = rest.find(kSeparator);
  if (sep == std::string_view::npos) return {};
  const std::string_view name = trimRight(rest.substr(0, sep));
  const std::string_view value = trimRight(trimLeft(rest.substr(sep + 1)));
  if (name.empty() || value.empty()) return {};
  return {LineKind::Item, name, value};
}

// Line number of a multi-line item ("<base>Line<digits>"), with *baseLength the length of
// <base>; -1 when the name is not one.
long multiLineNumber(std::string_view name, std::size_t* baseLength) {
  const std::size_t at = name.find(kLineMarker);
  if (at == std::string_view::npos) return -1;
  const std::string_view digits = name.substr(at + kLineMarker.size());
  if (digits.empty()) return -1;
  long number = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return -1;
    const int d = c - '0';
    if (number > (kMaxLineNumber - d) / 10) return -1;  // too large for a long: an ordinary name
    number = number * 10 + d;
  }
  *baseLength = at;
  return number;
}

// Joins each run "<base>Line1", then lines numbered other than 1, into one item "<base>".
void joinMultiLineItems(Section& section) {
  std::vector<Item>& items = section.items;
  for (std::size_t i = 0; i < items.size(); ++i) {
    std::size_t baseLength = 0;
    if (multiLineNumber(items[i].name, &baseLength) != 1) continue;
    std::size_t end = i + 1;
    std::size_t total = items[i].value.size();
    for (std::size_t unused = 0; end < items.size(); ++end) {
      const long n = multiLineNumber(items[end].name, &unused);
      if (n < 0 || n == 1) break;
      total += items[end].value.size();
    }
    std::string joined;
    joined.reserve(total);
    for (std::size_t k = i; k < end; ++k) joined += items[k].value;
    // Nothing below allocates: a shortage above leaves the run as it was.
    items[i].value.swap(joined);
    items[i].name.resize(baseLength);
    items.erase(items.begin() + static_cast<std::ptrdiff_t>(i + 1),
                items.begin() + static_cast<std::ptrdiff_t>(end));
  }
}

// Escape processing of value into out, which holds at least value.size() + 1 bytes (the
// result is never longer than the value).
void unescape(std::string_view value, char* out) {
  std::size_t i = 0;
  while (i < value.size()) {
    const char c = value[i++];
    if (c != '\\') {
      *out++ = c;
      continue;
    }
    if (i == value.size()) break;  // a backslash at the very end is dropped
    const char e = value[i++];
    switch (e) {
      case 'n': *out++ = '\n'; break;
      case 'r': *out++ = '\r'; break;
      case 't': *out++ = '\t'; break;
      case 'x': {
        const int hi = i < value.size() ? hexDigit(value[i]) : -1;
        const int lo = i + 1 < value.size() ? hexDigit(value[i + 1]) : -1;
        if (hi >= 0 && lo >= 0) {
          *out++ = static_cast<char>(hi * 16 + lo);
          i += 2;
        } else {
          *out++ = 'x';  // no byte escape: an escaped 'x', what follows is plain text
        }
        break;
      }
      default: *out++ = e; break;
    }
  }
  *out = '\0';
}

}  // namespace

struct IniTextRec {
  // unique_ptr keeps section names at a fixed address while later reads append sections.
  std::vector<std::unique_ptr<Section>> sections;
  Section* lastFound = nullptr;  // the section last found by name
  std::vector<char> scratch;     // the value last taken, escapes processed
};

namespace {

Section* findSection(IniText ini, const char* name) {
  if (!ini || !name) return nullptr;
  if (ini->lastFound && sameName(ini->lastFound->name, name)) return ini->lastFound;
  for (const auto& s : ini->sections) {
    if (sameName(s->name, name)) {
      ini->lastFound = s.get();
      return s.get();
    }
  }
  return nullptr;
}

const Item* findItem(IniText ini, const char* section, const char* item) {
  Section* s = findSection(ini, section);
  if (!s || !item) return nullptr;
  try {
    if (!s->indexed) {
      s->index.reserve(s->items.size());
      for (std::size_t i = 0; i < s->items.size(); ++i)
        s->index.try_emplace(foldedName(s->items[i].name), i);  // the first of a name stays
      s->indexed = true;
    }
    const auto found = s->index.find(foldedName(item));
    return found == s->index.end() ? nullptr : &s->items[found->second];
  } catch (const std::bad_alloc&) {
    // Memory short for the index: the search it saves finds the same item.
    if (!s->indexed) s->index.clear();
    const std::string_view name = item;
    for (const Item& it : s->items)
      if (sameName(it.name, name)) return &it;
    return nullptr;
  }
}

// 1 with *text in the scratch buffer, 0 when missing, INI_ERR_NO_MEMORY.
int takeValue(IniText ini, const char* section, const char* item, char** text) {
  *text = nullptr;
  const Item* it = findItem(ini, section, item);
  if (!it) return 0;
  // Smallest multiple of the granule that exceeds the value's length plus its NUL.
  const std::size_t size =
      (it->value.size() + 1) / kScratchGranule * kScratchGranule + kScratchGranule;
  if (ini->scratch.size() != size) {
    try {
      std::vector<char> fresh(size);
      ini->scratch.swap(fresh);
    } catch (const std::bad_alloc&) {
      return INI_ERR_NO_MEMORY;
    }
  }
  unescape(it->value, ini->scratch.data());
  *text = ini->scratch.data();
  return 1;
}

}  // namespace

IniText Ini_New(int automaticSorting) {
  (void)automaticSorting;  // file order is always kept
  return new (std::nothrow) IniTextRec;
}

void Ini_Dispose(IniText ini) { delete ini; }

int Ini_ReadFromFile(IniText ini, const char* path) {
  if (!ini) return INI_ERR_NO_MEMORY;
  if (!path) return INI_ERR_OPEN;
  // Only a regular file: a FIFO or a device (/dev/zero) would block the open or never end.
  int fd = -1;
  try {
    fd = safe_file::OpenForReading(path, nullptr, nullptr);
  } catch (const std::bad_alloc&) {
    return INI_ERR_NO_MEMORY;
  }
  if (fd < 0) return INI_ERR_OPEN;
  std::FILE* file = fdopen(fd, "rb");
  if (!file) {
    close(fd);
    return INI_ERR_OPEN;
  }

  const std::size_t firstNew = ini->sections.size();
  int result = 0;
  try {
    auto source = std::make_unique<LineSource>(file);
    std::string line;
    line.reserve(kMaxLineLength);
    Section* current = nullptr;  // items before the file's first header have none
    int r;
    while ((r = source->next(line)) > 0) {
      const Classified c = classify(line);
      if (c.kind == LineKind::Header) {
        auto section = std::make_unique<Section>();
        section->name.assign(c.name);
        ini->sections.push_back(std::move(section));
        current = ini->sections.back().get();
      } else if (c.kind == LineKind::Item && current) {
        Item item;
        item.name.assign(c.name);
        std::string_view value = c.value;
        if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
          value = value.substr(1, value.size() - 2);
          item.quoted = true;
        }
        item.value.assign(value);
        current->items.push_back(std::move(item));
      }
    }
    result = r;
  } catch (const std::bad_alloc&) {
    result = INI_ERR_NO_MEMORY;
  }
  std::fclose(file);

  // Sections of earlier reads were joined then; the joined names hold no "Line<digits>".
  try {
    for (std::size_t i = firstNew; i < ini->sections.size(); ++i)
      joinMultiLineItems(*ini->sections[i]);
  } catch (const std::bad_alloc&) {
    result = INI_ERR_NO_MEMORY;
  }
  return result;
}

int Ini_NumberOfSections(IniText ini) { return ini ? static_cast<int>(ini->sections.size()) : 0; }

int Ini_NthSectionName(IniText ini, int n, char** name) {
  if (!ini || !name || n < 1 || static_cast<std::size_t>(n) > ini->sections.size()) return 0;
  *name = ini->sections[static_cast<std::size_t>(n) - 1]->name.data();
  return 1;
}

int Ini_NumberOfItems(IniText ini, const char* section) {
  const Section* s = findSection(ini, section);
  return s ? static_cast<int>(s->items.size()) : 0;
}

int Ini_NthItemName(IniText ini, const char* section, int n, char** itemName) {
  if (!itemName) return 0;
  const Section* s = findSection(ini, section);
  if (!s || n < 1 || static_cast<std::size_t>(n) > s->items.size()) return 0;
  // The object owns the name; the C signature has no const.
  *itemName = const_cast<char*>(s->items[static_cast<std::size_t>(n) - 1].name.c_str());
  return 1;
}

int Ini_GetPointerToString(IniText ini, const char* section, const char* item, char** text) {
  if (!text) return 0;
  return takeValue(ini, section, item, text);
}

int Ini_GetStringCopy(IniText ini, const char* section, const char* item, char** copy) {
  if (!copy) return 0;
  char* text = nullptr;
  const int r = takeValue(ini, section, item, &text);
  *copy = nullptr;
  if (r != 1) return r;
  const std::size_t length = std::strlen(text);
  char* dup = static_cast<char*>(std::malloc(length + 1));
  if (!dup) return INI_ERR_NO_MEMORY;
  std::memcpy(dup, text, length + 1);
  *copy = dup;
  return 1;
}
