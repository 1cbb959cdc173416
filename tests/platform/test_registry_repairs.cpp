// Registry store repairs found by fuzzing: from the store as given, one write must read back
// exactly and leave every value that read before it.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/registry.h"

namespace fs = std::filesystem;

namespace {

constexpr const char* kKey = "SOFTWARE\\VELDIX-MID v1.0\\Language";
const std::string kHead =
    "; veldixmid registry store 1\n[HKEY_LOCAL_MACHINE\\" + std::string(kKey) + "]\n";
const std::string kValues = "Language=sz:2\nOther=sz:keep\nFlags=dword:00000001\n; end\n";

// The text of a value, or "<code N>" when the read fails.
std::string Read(const std::string& name) {
  unsigned char buf[512] = {};
  unsigned size = 0;
  const int rc = WT_RegReadString(kRegLocalMachine, kKey, name.c_str(), buf, sizeof buf, &size);
  return rc == 0 ? std::string(reinterpret_cast<char*>(buf)) : "<code " + std::to_string(rc) + ">";
}

// The value without a name is the key's default value; writing it used to leave a store that
// no longer parsed, so it and every other value read as missing.
TEST(RegistryRepair, WrittenValueReadsBackAndOthersSurvive) {
  struct Case {
    std::string store;                                      // file content before the write
    std::string text;                                       // written as the default value
    std::vector<std::pair<std::string, std::string>> keep;  // values of kKey that must survive
  } cases[] = {
      {kHead + kValues, "the key's default value", {{"Language", "2"}, {"Other", "keep"}}},
      {"", "x", {}},
      {kHead + "no separator\n" + kValues, "", {}},  // as the fuzzer found it
      {kHead + "=sz:old\nLanguage=sz:1\n; end\n", "new", {{"Language", "1"}}},  // by hand
  };
  const fs::path dir =
      fs::temp_directory_path() / ("veldix-reg-repair-" + std::to_string(::getpid()));
  fs::create_directories(dir);
  const std::string store = (dir / "registry").string();
  ::setenv("VELDIXMID_REGISTRY", store.c_str(), 1);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.store);
    std::ofstream(store, std::ios::binary) << c.store;
    ASSERT_EQ(WT_RegWriteString(kRegLocalMachine, kKey, "", c.text.c_str()), 0);
    EXPECT_EQ(Read(""), c.text);
    for (const auto& [name, text] : c.keep) EXPECT_EQ(Read(name), text) << name;
  }
  fs::remove_all(dir);
}

}  // namespace
