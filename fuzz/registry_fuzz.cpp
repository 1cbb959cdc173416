// Fuzz target: the file-backed registry store. The input is the store file as found on
// disk; optionally, after NUL bytes, the value name, the text and the key path of the write
// (store NUL name NUL text [NUL path]). Without NULs the write comes from a fixed table.
//
// Each input: reads of a few values with a large buffer, a small one and none (size query);
// then one write, which must succeed whatever the store held (a store that does not parse
// completely is first kept as a backup, byte for byte) and read back exactly; values that
// read before the write read the same after it.
//
// The store lives in /dev/shm (no disk in the loop); VELDIXMID_REGISTRY points at it.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_check.h"
#include "platform/registry.h"

namespace {

constexpr const char* kKey = "SOFTWARE\\VELDIX-MID v1.0\\Language";

struct StoreFile {
  StoreFile() {
    dir = "/dev/shm/veldix-registry-fuzz-" + std::to_string(::getpid());
    ::mkdir(dir.c_str(), 0700);
    path = dir + "/registry";
    ::setenv("VELDIXMID_REGISTRY", path.c_str(), 1);
  }
  ~StoreFile() {
    ::unlink(path.c_str());
    ::rmdir(dir.c_str());
  }
  void Remove() { ::unlink(path.c_str()); }
  // The backup a write made of a store that did not parse completely ("" when none), and
  // the backups removed so that the next input starts without any.
  std::string TakeBackup() {
    const std::string bad = path + ".bad.1";
    std::string text;
    if (std::FILE* f = std::fopen(bad.c_str(), "rb")) {
      char buf[65536];
      std::size_t n;
      while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) text.append(buf, n);
      std::fclose(f);
      text.insert(0, 1, '+');  // marks that a backup exists, even an empty one
    }
    for (int k = 1; k < 4; ++k) ::unlink((path + ".bad." + std::to_string(k)).c_str());
    return text;
  }
  void Set(const std::uint8_t* data, std::size_t size) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) Broken("cannot create the store file");
    std::size_t done = 0;
    while (done < size) {
      const ssize_t w = ::write(fd, data + done, size - done);
      if (w <= 0) Broken("cannot write the store file");
      done += static_cast<std::size_t>(w);
    }
    ::close(fd);
  }
  std::string dir;
  std::string path;
};

struct WriteCase {
  std::string path;
  std::string name;
  std::string text;
};

const WriteCase kTable[] = {
    {kKey, "Language", "2"},
    {kKey, "Language", ""},
    {kKey, "", "the key's default value"},
    {kKey, "[odd]=name", "x"},
    {kKey, "Value", "back\\slash \\x41 \\x4 ends in \\"},
    {"SOFTWARE\\Other", "Language", "line\nbreak\r\n\x7f"},
    {kKey, "LANGUAGE", "Espa\xF1ol \xBFs\xED?"},
    {"", "Name", "value of a key at the root"},
    {kKey, "Flags", std::string(300, 'x')},
    {"SOFTWARE\\xyz\\", "sz:1", "; end"},
};

struct ReadResult {
  int rc = 0;
  unsigned size = 0;
  std::string text;
};

// One read with a buffer large enough for any value of the test inputs.
ReadResult ReadOne(RegRoot root, const char* path, const char* name,
                   std::vector<unsigned char>& buf) {
  ReadResult big;
  buf.assign(4096, 0xAA);
  big.rc =
      WT_RegReadString(root, path, name, buf.data(), static_cast<unsigned>(buf.size()), &big.size);
  Check(big.rc == 0 || big.rc == -2 || big.rc == -13 || big.rc == -14 || big.rc == -15,
        "read result is not one of the documented codes");
  if (big.rc == 0) {
    Check(big.size >= 1 && big.size <= buf.size() && buf[big.size - 1] == 0 &&
              std::strlen(reinterpret_cast<char*>(buf.data())) + 1 == big.size,
          "read size disagrees with the text");
    big.text.assign(reinterpret_cast<char*>(buf.data()), big.size - 1);
  }
  return big;
}

ReadResult ReadOne(RegRoot root, const char* path, const char* name) {
  std::vector<unsigned char> buf;
  return ReadOne(root, path, name, buf);
}

// Reads one value three ways (large buffer, size query, small buffer) and checks they
// agree; returns the large buffer's result.
ReadResult ReadAll(RegRoot root, const char* path, const char* name) {
  std::vector<unsigned char> buf;
  const ReadResult big = ReadOne(root, path, name, buf);

  unsigned querySize = 0;
  const int query = WT_RegReadString(root, path, name, nullptr, 0, &querySize);
  Check(query == (big.rc == -2 ? 0 : big.rc), "size query disagrees with the read");
  if (big.rc == 0 || big.rc == -2) Check(querySize == big.size, "size query gives another size");

  unsigned char small[4];
  std::memset(small, 0xAA, sizeof small);
  unsigned smallSize = 0;
  const int rcSmall = WT_RegReadString(root, path, name, small, sizeof small, &smallSize);
  if (big.rc == 0) {
    if (big.size <= sizeof small) {
      Check(rcSmall == 0 && std::memcmp(small, buf.data(), big.size) == 0, "small buffer read");
    } else {
      Check(rcSmall == -2 && smallSize == big.size && small[0] == 0xAA,
            "a text too long for the buffer must give -2 and copy nothing");
    }
  } else if (big.rc != -2) {
    Check(rcSmall == big.rc, "small buffer read disagrees");
  }
  return big;
}

bool SameNameNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static StoreFile store;

  // Split at NULs: store, then the write's name, text and key path.
  std::vector<std::string_view> parts;
  std::string_view all(reinterpret_cast<const char*>(data), size);
  for (std::size_t start = 0;;) {
    const std::size_t nul = all.find('\0', start);
    parts.push_back(
        all.substr(start, nul == std::string_view::npos ? std::string_view::npos : nul - start));
    if (nul == std::string_view::npos) break;
    start = nul + 1;
  }
  WriteCase w;
  std::string_view content = all;
  if (parts.size() >= 3 && parts.size() <= 4) {
    content = parts[0];
    w.name = parts[1];
    w.text = parts[2];
    w.path = parts.size() == 4 ? std::string(parts[3]) : kKey;
  } else {
    w = kTable[size % (sizeof kTable / sizeof kTable[0])];  // a store with NULs stays whole
  }
  // An empty input stands for no store at all.
  if (size == 0)
    store.Remove();
  else
    store.Set(reinterpret_cast<const std::uint8_t*>(content.data()), content.size());

  const char* names[] = {"Language", "Flags", "Value", ""};
  ReadResult before[4];
  before[0] = ReadAll(kRegLocalMachine, kKey, names[0]);
  for (int i = 1; i < 4; ++i) before[i] = ReadOne(kRegLocalMachine, kKey, names[i]);
  if (size % 3 == 0) ReadOne(kRegCurrentUser, kKey, "Language");
  ReadOne(kRegLocalMachine, w.path.c_str(), w.name.c_str());

  Check(WT_RegWriteString(kRegLocalMachine, w.path.c_str(), w.name.c_str(), w.text.c_str()) == 0,
        "write failed");
  // A store that was backed up is kept byte for byte, and only one backup was made.
  const std::string backup = store.TakeBackup();
  if (!backup.empty()) Check(backup.substr(1) == content, "the backup differs from the store");
  const ReadResult back = ReadAll(kRegLocalMachine, w.path.c_str(), w.name.c_str());
  Check(back.rc == 0, "a value just written does not read back");
  Check(back.text == std::string(w.text.c_str()), "a value just written reads back changed");

  // Now and then a number value: it reads as "not a string" and the string stays.
  if (size % 5 == 0 && !SameNameNoCase(w.name, "\x01number")) {
    Check(registry::WriteDword(kRegLocalMachine, kKey, "\x01number",
                               static_cast<std::uint32_t>(size)) == 0,
          "number write failed");
    Check(ReadOne(kRegLocalMachine, kKey, "\x01number").rc == -14, "a number read as a string");
    const ReadResult again = ReadOne(kRegLocalMachine, w.path.c_str(), w.name.c_str());
    Check(again.rc == 0 && again.text == back.text, "a number write changed another value");
  }

  // The write loses nothing else that could be read before it.
  for (int i = 0; i < 4; ++i) {
    if (before[i].rc != 0) continue;
    if (SameNameNoCase(w.path, kKey) && SameNameNoCase(w.name, names[i])) continue;
    const ReadResult after = ReadOne(kRegLocalMachine, kKey, names[i]);
    Check(after.rc == 0 && after.text == before[i].text, "a write lost another value");
  }
  return 0;
}
