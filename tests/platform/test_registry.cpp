// Registry store: result codes of the read, round trips, corrupt and interrupted stores.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "registry.h"
#include "testing/registry_testing.h"

namespace fs = std::filesystem;

namespace {

constexpr const char* kKey = "SOFTWARE\\VELDIX-MID v1.0\\Language";
constexpr RegRoot kLM = kRegLocalMachine;

class RegistryStore : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("veldix-reg-" + std::to_string(::getpid()) + "-" +
                                        ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    store_ = (dir_ / "sub" / "registry").string();  // the store creates its own directory
    ::setenv("VELDIXMID_REGISTRY", store_.c_str(), 1);
  }
  void TearDown() override {
    registry::FailNextWritesBeforeRename(false);
    fs::remove_all(dir_);
  }
  static int Write(const char* name, const std::string& text) { return WT_RegWriteString(kLM, kKey, name, text.c_str()); }
  // The text of a value, or "<code N>" when the read fails.
  static std::string ReadText(const char* name) {
    unsigned char buf[300] = {};
    unsigned size = 0;
    const int rc = WT_RegReadString(kLM, kKey, name, buf, sizeof buf, &size);
    return rc == 0 ? reinterpret_cast<char*>(buf) : "<code " + std::to_string(rc) + ">";
  }
  void WriteFile(const std::string& bytes) {
    fs::create_directories(fs::path(store_).parent_path());
    std::ofstream(store_, std::ios::binary) << bytes;
  }
  fs::path dir_;
  std::string store_;
};

TEST_F(RegistryStore, ReadResultCodes) {
  EXPECT_EQ(ReadText("Language"), "<code -15>") << "no store at all";
  ASSERT_EQ(Write("Language", "2"), 0);
  ASSERT_EQ(registry::WriteDword(kLM, kKey, "Number", 2), 0);
  ASSERT_EQ(Write("Long", std::string(299, 'x')), 0);
  ASSERT_EQ(Write("TooLong", std::string(300, 'x')), 0);
  struct Case {
    RegRoot root;
    const char *path, *name;
    bool withOut;  // a size output is passed
    int expected;
    unsigned expectedSize;  // checked when the text fits (0) or not (-2)
  } cases[] = {
      {kLM, kKey, "Language", true, 0, 2},
      {kLM, "SOFTWARE\\VELDIX-MID v1.0\\LANGUAGE", "language", true, 0, 2},  // names ignore case
      {kRegCurrentUser, kKey, "Language", true, -15, 0},
      {kLM, "SOFTWARE\\Other", "Language", true, -15, 0},
      {kLM, kKey, "Missing", true, -13, 0},
      {kLM, kKey, "Number", true, -14, 0},
      {kLM, kKey, "Long", true, 0, 300},      // 299 + NUL fits exactly
      {kLM, kKey, "TooLong", true, -2, 301},  // one byte too many
      {kLM, nullptr, "Language", true, -1, 0},
      {kLM, kKey, nullptr, true, -1, 0},
      {kLM, kKey, "Language", false, -1, 0},
  };
  unsigned char buf[300];
  unsigned size = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.path ? c.path : "(null)") + " / " + (c.name ? c.name : "(null)"));
    std::memset(buf, 0xAA, sizeof buf);
    size = 0;
    EXPECT_EQ(WT_RegReadString(c.root, c.path, c.name, buf, sizeof buf, c.withOut ? &size : nullptr), c.expected);
    if (c.expected == 0 || c.expected == -2) {
      EXPECT_EQ(size, c.expectedSize);
    }
    if (c.expected == -2) {
      EXPECT_EQ(buf[0], 0xAA) << "nothing is copied into a short buffer";
    }
  }
  EXPECT_EQ(WT_RegReadString(kLM, kKey, "TooLong", nullptr, 0, &size), 0) << "only the size asked for";
  EXPECT_EQ(size, 301u);
}

TEST_F(RegistryStore, WriteArgumentsAndRoundTrip) {
  EXPECT_EQ(WT_RegWriteString(kLM, nullptr, "a", "b"), -1);
  EXPECT_EQ(WT_RegWriteString(kLM, kKey, nullptr, "b"), -1);
  EXPECT_EQ(WT_RegWriteString(kLM, kKey, "a", nullptr), -1);
  // Texts the file format must escape survive unchanged, and so does the empty text.
  for (const char* t : {"", "1", "back\\slash", "\\x41 stays", "ends in \\", "\\x4", "line\nbreak\r\n", "a=b [c]",
                        "Espa\xF1ol \xBFs\xED?", "; not a comment", "sz:dword:00000001"}) {
    ASSERT_EQ(Write("Value", t), 0);
    EXPECT_EQ(ReadText("Value"), t);
  }
  ASSERT_EQ(Write("[odd]=name", "x"), 0);  // names that look like format syntax
  EXPECT_EQ(ReadText("[odd]=name"), "x");
  // A string written over a number value makes it a string again.
  ASSERT_EQ(registry::WriteDword(kLM, kKey, "Value", 7), 0);
  EXPECT_EQ(ReadText("Value"), "<code -14>");
  ASSERT_EQ(Write("Value", "3"), 0);
  EXPECT_EQ(ReadText("Value"), "3");
}

TEST_F(RegistryStore, CorruptOrTruncatedStoreReadsAsMissingAndNextWriteRepairs) {
  // What a technician would type to preset the language: key paths with plain backslashes.
  WriteFile("; veldixmid registry store 1\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\VELDIX-MID v1.0\\Language]\n"
            "Language=sz:2\n; end\n");
  EXPECT_EQ(ReadText("Language"), "2");
  ASSERT_EQ(Write("Other", "keep"), 0);
  std::string sound;
  {
    std::ifstream in(store_, std::ios::binary);
    sound.assign(std::istreambuf_iterator<char>(in), {});
  }
  for (const std::string& bytes : {
           sound.substr(0, sound.size() - 4),                                  // cut inside the end line
           sound.substr(0, sound.find("Language=sz:2") + 12),                  // cut inside a value
           std::string("\x00\x01\x02garbage", 10),                             // binary junk
           sound + "Extra=sz:1\n",                                             // something after the end line
           std::string(sound).replace(sound.find("sz:2"), 4, "qq:2"),          // unknown type
           std::string(sound).insert(sound.find("Language"), "no separator\n"),  // not a value
           std::string(),                                                      // empty file
       }) {
    SCOPED_TRACE(::testing::PrintToString(bytes));
    WriteFile(bytes);
    EXPECT_EQ(ReadText("Language"), "<code -15>");
    ASSERT_EQ(Write("Language", "1"), 0);
    EXPECT_EQ(ReadText("Language"), "1");
  }
}

TEST_F(RegistryStore, WriteInterruptedBeforeRenameKeepsOldValue) {
  ASSERT_EQ(Write("Language", "1"), 0);
  registry::FailNextWritesBeforeRename(true);
  EXPECT_EQ(Write("Language", "2"), -11);
  registry::FailNextWritesBeforeRename(false);
  EXPECT_EQ(ReadText("Language"), "1");
  // The next write goes through; no stray temporary file is left behind to confuse it.
  ASSERT_EQ(Write("Language", "2"), 0);
  EXPECT_EQ(ReadText("Language"), "2");
}

TEST_F(RegistryStore, UnwritableLocationFailsCleanly) {
  WriteFile("");  // the store's directory is a file: nothing can be created there
  ::setenv("VELDIXMID_REGISTRY", (store_ + "/registry").c_str(), 1);
  EXPECT_LT(Write("Language", "1"), 0);
  EXPECT_EQ(ReadText("Language").rfind("<code -", 0), 0u) << "a read there fails too";
}

}  // namespace
