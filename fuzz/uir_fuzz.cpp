// Fuzz target: the resource file loader (platform/ui_loader.cpp), as LoadPanel reads it: a
// file put in a memfd and read back by path. Byte 0 picks the mode: odd, the rest of the
// input is the file as it is; even, the rest is a recipe for a well-formed JSON document of
// panels, menus and controls with members of every type and odd values (JSON the mutator
// would seldom write by itself, since the JSON parser beneath is not instrumented). The
// panel asked for is one of the real resources 1 to 6 or an absent one.
//
// Checked, beyond the sanitizers: the result is 0, UI_ERR_BAD_FILE_FORMAT or
// UI_ERR_RESOURCE_NOT_FOUND, and a failure always says why; a panel that loads is the one
// asked for, has a positive size, control numbers that are positive and distinct, menu
// item numbers that are positive and distinct, and numeric ranges with min <= max.
#include <sys/mman.h>
#include <unistd.h>

#include <QString>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>

#include "fuzz_check.h"
#include "platform/ui.h"
#include "platform/ui_internal.h"

namespace {

struct MemFile {
  MemFile() {
    fd = ::memfd_create("veldix-uir-fuzz", 0);
    if (fd < 0) Broken("memfd_create failed");
    path = QStringLiteral("/proc/self/fd/%1").arg(fd);
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
  QString path;
};

// Reads the recipe a byte at a time (0 once it is used up).
struct Recipe {
  const std::uint8_t* p;
  std::size_t n;
  std::uint8_t Next() {
    if (n == 0) return 0;
    --n;
    return *p++;
  }
  bool Done() const { return n == 0; }
};

// A JSON value of any type, leaning to the edges of what the loader checks.
std::string AnyValue(Recipe& r, int depth = 0) {
  static const char* kNumbers[] = {"0",      "1",          "-1",         "2.5",         "1e10",
                                   "-1e10",  "2147483647", "2147483648", "-2147483649", "1e300",
                                   "0.0001", "15",         "16",         "255"};
  static const char* kStrings[] = {"\"\"",        "\"int\"",     "\"double\"", "\"x\"",
                                   "\"numeric\"", "\"\\u00e9\"", "\"Record\""};
  switch (r.Next() % 7) {
    case 0: return kNumbers[r.Next() % (sizeof kNumbers / sizeof *kNumbers)];
    case 1: return std::to_string(static_cast<int>(r.Next()) - 64);
    case 2: return kStrings[r.Next() % (sizeof kStrings / sizeof *kStrings)];
    case 3: return r.Next() & 1 ? "true" : "false";
    case 4: return "null";
    case 5: {
      if (depth > 2) return "[]";
      std::string a = "[";
      const int k = r.Next() % 4;
      for (int i = 0; i < k; ++i) a += (i ? "," : "") + AnyValue(r, depth + 1);
      return a + "]";
    }
    default: return "{}";
  }
}

std::string Member(Recipe& r, const char* name, const std::string& good) {
  const std::uint8_t b = r.Next();
  if (b < 16) return "";  // absent
  return std::string("\"") + name + "\": " + (b < 200 ? good : AnyValue(r)) + ",";
}

std::string Control(Recipe& r) {
  static const char* kKinds[] = {"numeric",  "string", "textmsg", "ring", "switch",
                                 "checkbox", "button", "timer",   "list", "dial"};
  const std::string kind = kKinds[r.Next() % (sizeof kKinds / sizeof *kKinds)];
  std::string c = "{";
  c += Member(r, "id", std::to_string(r.Next() % 12));
  c += Member(r, "kind", "\"" + kind + "\"");
  c += Member(r, "label", "\"L\"");
  c += Member(r, "top", std::to_string(r.Next()));
  c += Member(r, "width", std::to_string(static_cast<int>(r.Next()) - 8));
  c += Member(r, "type", r.Next() & 1 ? "\"double\"" : "\"int\"");
  c += Member(r, "min", std::to_string(static_cast<int>(r.Next()) - 100));
  c += Member(r, "max", std::to_string(static_cast<int>(r.Next()) - 100));
  c += Member(r, "precision", std::to_string(r.Next() % 20));
  c += Member(r, "maxlength", std::to_string(r.Next() % 4));
  c += Member(r, "dimmed", "true");
  c += Member(r, "interval", r.Next() & 1 ? "0.5" : "0");
  c += Member(r, "items", r.Next() & 1 ? "[[\"a\", 1], [\"b\", 2]]" : "[[\"a\"], 3]");
  c += Member(r, "callback", "\"Record\"");
  c += Member(r, "value", AnyValue(r));
  if (c.back() == ',') c.pop_back();
  return c + "}";
}

std::string Document(Recipe& r) {
  std::string d = "{\"panels\": [";
  const int panels = 1 + r.Next() % 3;
  for (int p = 0; p < panels; ++p) {
    if (p) d += ",";
    d += "{";
    d += Member(r, "resource", std::to_string(r.Next() % 8));
    d += Member(r, "title", "\"T\"");
    d += Member(r, "width", std::to_string(static_cast<int>(r.Next()) - 8));
    d += Member(r, "height", "50");
    d += Member(r, "callback", "\"Record\"");
    if (r.Next() & 1) {
      d += "\"menubar\": [";
      const int menus = r.Next() % 3;
      for (int m = 0; m < menus; ++m) {
        d += std::string(m ? "," : "") + "{" + Member(r, "label", "\"M\"") + "\"items\": [";
        const int items = r.Next() % 3;
        for (int i = 0; i < items; ++i) {
          std::string item = "{" + Member(r, "id", std::to_string(r.Next() % 4)) +
                             Member(r, "label", "\"I\"") + Member(r, "callback", "\"Record\"");
          if (item.back() == ',') item.pop_back();
          d += (i ? "," : "") + item + "}";
        }
        d += "]}";
      }
      d += "],";
    }
    d += "\"controls\": [";
    const int controls = r.Next() % 6;
    for (int c = 0; c < controls && !r.Done(); ++c) d += (c ? "," : "") + Control(r);
    d += "]}";
  }
  return d + "]}";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static MemFile* file = new MemFile;
  if (size == 0) return 0;
  if (data[0] & 1) {
    file->Set(data + 1, size - 1);
  } else {
    Recipe r{data + 1, size - 1};
    const std::string doc = Document(r);
    file->Set(reinterpret_cast<const std::uint8_t*>(doc.data()), doc.size());
  }
  static constexpr int kResources[] = {1, 2, 3, 4, 5, 6, 77};
  {
    const int resource = kResources[(size >> 1) % 7];
    ui::detail::PanelSpec loaded;
    QString error;
    const int rc = ui::detail::LoadPanelSpec(file->path, resource, &loaded, &error);
    Check(rc == 0 || rc == UI_ERR_BAD_FILE_FORMAT || rc == UI_ERR_RESOURCE_NOT_FOUND,
          "unexpected result code");
    if (rc != 0) {
      Check(!error.isEmpty(), "a failure without a reason");
      return 0;
    }
    Check(loaded.resource == resource, "another panel than the one asked for");
    Check(loaded.width > 0 && loaded.height > 0, "panel without a positive size");
    std::set<int> ids;
    for (const auto& c : loaded.controls) {
      Check(c.id > 0, "control number not positive");
      Check(ids.insert(c.id).second, "control number repeated");
      if (c.kind == ui::detail::Kind::Numeric) Check(c.min <= c.max, "numeric range inverted");
    }
    std::set<int> items;
    for (const auto& m : loaded.menus)
      for (const auto& i : m.items) {
        Check(i.id > 0, "menu item number not positive");
        Check(items.insert(i.id).second, "menu item number repeated");
      }
  }
  return 0;
}
