// The running executable's directory, for GetProjectDir before the Qt runtime is up, in
// the ANSI code page like every other path the tool hands to the C runtime.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <string>

namespace ui::detail {
std::string ExecutableDir() {
  char path[MAX_PATH + 1] = {};
  const DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return ".";
  std::string dir(path, n);
  const auto cut = dir.find_last_of("\\/");
  return cut == std::string::npos ? std::string(".") : dir.substr(0, cut);
}
}  // namespace ui::detail
