// Fuzz target: the resource file loader (platform/ui_loader.cpp), as LoadPanel reads it:
// the input is the file, put in a memfd and read back by path. The panel asked for is one of
// the real resources 1 to 6 or an absent one, chosen by the input's length.
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

#include "ui.h"
#include "ui_internal.h"

namespace {

[[noreturn]] void Broken(const char* what) {
  std::fprintf(stderr, "fuzz invariant broken: %s\n", what);
  std::abort();
}
void Check(bool ok, const char* what) {
  if (!ok) Broken(what);
}

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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static MemFile* file = new MemFile;
  file->Set(data, size);
  static constexpr int kResources[] = {1, 2, 3, 4, 5, 6, 77};
  {
    const int resource = kResources[size % 7];
    ui::detail::PanelSpec spec;
    QString error;
    const int rc = ui::detail::LoadPanelSpec(file->path, resource, &spec, &error);
    Check(rc == 0 || rc == UI_ERR_BAD_FILE_FORMAT || rc == UI_ERR_RESOURCE_NOT_FOUND,
          "unexpected result code");
    if (rc != 0) {
      Check(!error.isEmpty(), "a failure without a reason");
      return 0;
    }
    Check(spec.resource == resource, "another panel than the one asked for");
    Check(spec.width > 0 && spec.height > 0, "panel without a positive size");
    std::set<int> ids;
    for (const auto& c : spec.controls) {
      Check(c.id > 0, "control number not positive");
      Check(ids.insert(c.id).second, "control number repeated");
      if (c.kind == ui::detail::Kind::Numeric) Check(c.min <= c.max, "numeric range inverted");
    }
    std::set<int> items;
    for (const auto& m : spec.menus)
      for (const auto& i : m.items) {
        Check(i.id > 0, "menu item number not positive");
        Check(items.insert(i.id).second, "menu item number repeated");
      }
  }
  return 0;
}
