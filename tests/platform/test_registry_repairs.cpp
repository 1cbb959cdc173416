// Registry store: stores and writes found by fuzzing the file store. Each case starts from
// the store file as given, writes one value, and expects it to read back exactly with every
// other value that read before the write still there.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "registry.h"

namespace fs = std::filesystem;

namespace {

constexpr const char* kKey = "SOFTWARE\\VELDIX-MID v1.0\\Language";
const std::string kStore =
    "; veldixmid registry store 1\n"
    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\VELDIX-MID v1.0\\Language]\n"
    "Language=sz:2\n"
    "Other=sz:keep\n"
    "Flags=dword:00000001\n"
    "; end\n";

struct Case {
  const char* what;
  std::string store;  // file content before the write
  std::string path;
  std::string name;
  std::string text;
  std::vector<std::pair<std::string, std::string>> keep;  // values of kKey that must survive
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.what; }

std::vector<Case> Cases() {
  return {
      // The value without a name is the key's default value; writing it used to leave a
      // store that no longer parsed, so it and every other value read as missing.
      {"default value of a key", kStore, kKey, "", "the key's default value",
       {{"Language", "2"}, {"Other", "keep"}}},
      {"default value into an empty store", "", kKey, "", "x", {}},
      {"default value next to a corrupt line", kStore + "junk\n", kKey, "", "", {}},
      // The input as the fuzzer found it: a line without '=' before the values.
      {"fuzzer input",
       "; veldixmid registry store 1\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\VELDIX-MID v1.0\\Language]\n"
       "no separator\nLanguage=sz:2\nOther=sz:keep\nFlags=dword:00000001\n; end\n",
       kKey, "", "the key's default value", {}},
      // A store holding a default value already, written by hand.
      {"default value read and rewritten",
       "; veldixmid registry store 1\n[HKEY_LOCAL_MACHINE\\" + std::string(kKey) +
           "]\n=sz:old\nLanguage=sz:1\n; end\n",
       kKey, "", "new", {{"Language", "1"}}},
  };
}

class RegistryRepair : public ::testing::TestWithParam<Case> {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("veldix-reg-repair-" + std::to_string(::getpid()));
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    store_ = (dir_ / "registry").string();
    ::setenv("VELDIXMID_REGISTRY", store_.c_str(), 1);
  }
  void TearDown() override { fs::remove_all(dir_); }

  // The text of a value, or "<code N>" when the read fails.
  static std::string Read(const std::string& path, const std::string& name) {
    unsigned char buf[512] = {};
    unsigned size = 0;
    const int rc = WT_RegReadString(HKEY_LOCAL_MACHINE, path.c_str(), name.c_str(), buf, sizeof buf, &size);
    return rc == 0 ? std::string(reinterpret_cast<char*>(buf)) : "<code " + std::to_string(rc) + ">";
  }

  fs::path dir_;
  std::string store_;
};

TEST_P(RegistryRepair, WrittenValueReadsBackAndOthersSurvive) {
  const Case& c = GetParam();
  std::ofstream(store_, std::ios::binary) << c.store;
  ASSERT_EQ(WT_RegWriteString(HKEY_LOCAL_MACHINE, c.path.c_str(), c.name.c_str(), c.text.c_str()), 0);
  EXPECT_EQ(Read(c.path, c.name), c.text);
  for (const auto& [name, text] : c.keep) EXPECT_EQ(Read(kKey, name), text) << name;
}

INSTANTIATE_TEST_SUITE_P(Stores, RegistryRepair, ::testing::ValuesIn(Cases()),
                         [](const auto& info) { return "case" + std::to_string(info.index); });

}  // namespace
