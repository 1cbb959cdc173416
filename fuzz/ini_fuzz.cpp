// Fuzz target: the INI reader. The input is the file. Every section and item is walked
// through the public calls and every value fetched both as a pointer and as a copy; then (inputs
// of odd size) the file is read a second time into the same object, which appends the same
// sections again.
//
// Checked: both reads succeed and the second doubles the sections; every position up to
// the count answers and the one past it does not; a section's or item's name holds no line
// end and keeps within a line; an item found by position is found by name, and its copy
// equals the pointer's text; a missing item gives 0 and a null text.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fuzz_check.h"
#include "lang/ini.h"

namespace {

// One in-memory file for the whole run, rewritten per input; opened again by path.
struct MemFile {
  MemFile() {
    fd = ::memfd_create("veldix-ini-fuzz", 0);
    if (fd < 0) Broken("memfd_create failed");
    std::snprintf(path, sizeof path, "/proc/self/fd/%d", fd);
  }
  void Set(const std::uint8_t* data, std::size_t size) {
    if (::ftruncate(fd, 0) != 0) Broken("ftruncate failed");
    std::size_t done = 0;
    while (done < size) {
      const ssize_t w = ::pwrite(fd, data + done, size - done, static_cast<off_t>(done));
      if (w <= 0) Broken("pwrite failed");
      done += static_cast<std::size_t>(w);
    }
  }
  int fd = -1;
  char path[64] = {};
};

bool PlainName(const char* s) {
  const std::size_t n = std::strlen(s);
  if (n > 255) return false;
  for (std::size_t i = 0; i < n; ++i)
    if (s[i] == '\n' || s[i] == '\r') return false;
  return true;
}

void Walk(IniText ini) {
  const int sections = Ini_NumberOfSections(ini);
  char* none = nullptr;
  Check(Ini_NthSectionName(ini, 0, &none) == 0 &&
            Ini_NthSectionName(ini, sections + 1, &none) == 0 && none == nullptr,
        "a section position outside 1..count answered");
  for (int s = 1; s <= sections; ++s) {
    char* section = nullptr;
    Check(Ini_NthSectionName(ini, s, &section) == 1 && section != nullptr, "section by position");
    Check(*section != '\0' && PlainName(section), "section name empty or not one line");
    const std::string sectionName = section;  // the pointer is the object's; keep a copy

    const int items = Ini_NumberOfItems(ini, sectionName.c_str());
    Check(items >= 0, "negative item count");
    char* item = nullptr;
    Check(Ini_NthItemName(ini, sectionName.c_str(), items + 1, &item) == 0 && item == nullptr,
          "an item position past the count answered");
    for (int i = 1; i <= items; ++i) {
      Check(Ini_NthItemName(ini, sectionName.c_str(), i, &item) == 1 && item != nullptr,
            "item by position");
      Check(PlainName(item) && std::strchr(item, '=') == nullptr,
            "item name holds a line end or the separator");
      const std::string itemName = item;

      char* text = nullptr;
      Check(Ini_GetPointerToString(ini, sectionName.c_str(), itemName.c_str(), &text) == 1 &&
                text != nullptr,
            "item found by position but not by name");
      const std::string value = text;
      char* copy = nullptr;
      Check(Ini_GetStringCopy(ini, sectionName.c_str(), itemName.c_str(), &copy) == 1 &&
                copy != nullptr,
            "copy of an item that exists");
      Check(value == copy, "copy differs from the pointer's text");
      std::free(copy);
    }
    char* missing = reinterpret_cast<char*>(&none);
    Check(Ini_GetPointerToString(ini, sectionName.c_str(), "\x01no such item", &missing) == 0 &&
              missing == nullptr,
          "a missing item answered");
  }
  // A section that is not there, and null arguments: answered, never dereferenced.
  char* text = nullptr;
  Check(Ini_NumberOfItems(ini, "\x01no such section") == 0, "a missing section has items");
  Check(Ini_GetStringCopy(ini, "\x01no such section", "x", &text) == 0 && text == nullptr,
        "a missing section gave a copy");
  Check(Ini_GetPointerToString(ini, nullptr, "x", &text) == 0, "null section answered");
  Check(Ini_NumberOfItems(ini, nullptr) == 0, "null section has items");
  if (sections > 0) {
    char* first = nullptr;
    Ini_NthSectionName(ini, 1, &first);
    const std::string name = first;
    Check(Ini_NthItemName(ini, name.c_str(), 1, nullptr) == 0 &&
              Ini_GetPointerToString(ini, name.c_str(), "x", nullptr) == 0 &&
              Ini_GetStringCopy(ini, name.c_str(), "x", nullptr) == 0,
          "a null result pointer was not refused");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static MemFile file;
  file.Set(data, size);

  IniText ini = Ini_New(0);
  Check(ini != nullptr, "Ini_New failed");
  Check(Ini_ReadFromFile(ini, file.path) == 0, "reading the file failed");
  const int once = Ini_NumberOfSections(ini);
  Walk(ini);
  // The second read only on odd-sized inputs: it doubles the cost, and half the inputs are
  // enough to keep the appending path covered.
  if (size % 2 == 0) {
    Ini_Dispose(ini);
    return 0;
  }
  Check(Ini_ReadFromFile(ini, file.path) == 0, "reading the file again failed");
  Check(Ini_NumberOfSections(ini) == 2 * once, "a second read did not append the same sections");
  // Lookups by name find the first of equal names, so the values were all seen above; the
  // appended half must repeat the names in order.
  for (int s = 1; s <= once; ++s) {
    char* first = nullptr;
    char* again = nullptr;
    Check(Ini_NthSectionName(ini, s, &first) == 1 &&
              Ini_NthSectionName(ini, once + s, &again) == 1 && std::strcmp(first, again) == 0,
          "the appended sections differ from the first read's");
  }
  Ini_Dispose(ini);
  return 0;
}
