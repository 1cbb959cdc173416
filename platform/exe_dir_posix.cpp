// The running executable's directory, for GetProjectDir before the Qt runtime is up.
#include <filesystem>
#include <string>

namespace ui::detail {
std::string ExecutableDir() {
  std::error_code ec;
  const auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
  return ec ? std::string(".") : exe.parent_path().string();
}
}  // namespace ui::detail
