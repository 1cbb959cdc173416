// Registry store: result codes of the read, round trips, corrupt and interrupted stores.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "registry.h"

namespace fs = std::filesystem;

namespace {

constexpr const char* kKey = "SOFTWARE\\VELDIX-MID v1.0\\Language";

class RegistryStore : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("veldix-reg-" + std::to_string(::getpid()) + "-" +
                                        ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    store_ = (dir_ / "sub" / "registry").string();
    ::setenv("VELDIXMID_REGISTRY", store_.c_str(), 1);
  }
  void TearDown() override {
    registry::FailNextWritesBeforeRename(false);
    fs::remove_all(dir_);
  }
  int Read(const char* name, unsigned char* buf, unsigned size, unsigned* out) {
    return WT_RegReadString(HKEY_LOCAL_MACHINE, kKey, name, buf, size, out);
  }
  std::string ReadText(const char* name) {
    unsigned char buf[300] = {};
    unsigned size = 0;
    return Read(name, buf, sizeof buf, &size) == 0 ? reinterpret_cast<char*>(buf) : "<missing>";
  }
  void WriteFile(const std::string& bytes) {
    fs::create_directories(fs::path(store_).parent_path());
    std::ofstream(store_, std::ios::binary) << bytes;
  }
  fs::path dir_;
  std::string store_;
};

TEST_F(RegistryStore, ReadResultCodes) {
  unsigned char buf[300];
  unsigned size = 0;
  // No store at all: the key does not exist.
  EXPECT_EQ(Read("Language", buf, sizeof buf, &size), -15);

  ASSERT_EQ(WT_RegWriteString(HKEY_LOCAL_MACHINE, kKey, "Language", "2"), 0);
  ASSERT_EQ(registry::WriteDword(HKEY_LOCAL_MACHINE, kKey, "Number", 2), 0);
  ASSERT_EQ(WT_RegWriteString(HKEY_LOCAL_MACHINE, kKey, "Long", std::string(299, 'x').c_str()), 0);
  ASSERT_EQ(WT_RegWriteString(HKEY_LOCAL_MACHINE, kKey, "TooLong", std::string(300, 'x').c_str()), 0);

  struct Case {
    HKEY root;
    const char* path;
    const char* name;
    bool withOut;
    int expected;
    unsigned expectedSize;
  } cases[] = {
      {HKEY_LOCAL_MACHINE, kKey, "Language", true, 0, 2},
      {HKEY_LOCAL_MACHINE, "SOFTWARE\\VELDIX-MID v1.0\\LANGUAGE", "language", true, 0, 2},
      {HKEY_CURRENT_USER, kKey, "Language", true, -15, 0},
      {HKEY_LOCAL_MACHINE, "SOFTWARE\\Other", "Language", true, -15, 0},
      {HKEY_LOCAL_MACHINE, kKey, "Missing", true, -13, 0},
      {HKEY_LOCAL_MACHINE, kKey, "Number", true, -14, 0},
      {HKEY_LOCAL_MACHINE, kKey, "Long", true, 0, 300},      // 299 + NUL fits exactly
      {HKEY_LOCAL_MACHINE, kKey, "TooLong", true, -2, 301},  // one byte too many
      {HKEY_LOCAL_MACHINE, nullptr, "Language", true, -1, 0},
      {HKEY_LOCAL_MACHINE, kKey, nullptr, true, -1, 0},
      {HKEY_LOCAL_MACHINE, kKey, "Language", false, -1, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.path ? c.path : "(null)") + " / " + (c.name ? c.name : "(null)"));
    std::memset(buf, 0xAA, sizeof buf);
    size = 0;
    EXPECT_EQ(WT_RegReadString(c.root, c.path, c.name, buf, sizeof buf, c.withOut ? &size : nullptr),
              c.expected);
    if (c.expected == 0 || c.expected == -2) {
      EXPECT_EQ(size, c.expectedSize);
    }
    if (c.expected == -2) {
      EXPECT_EQ(buf[0], 0xAA) << "nothing is copied into a short buffer";
    }
  }
  // Only the size is asked for.
  EXPECT_EQ(Read("TooLong", nullptr, 0, &size), 0);
  EXPECT_EQ(size, 301u);
}

TEST_F(RegistryStore, WriteArgumentsAndRoundTrip) {
  EXPECT_EQ(WT_RegWriteString(HKEY_LOCAL_MACHINE, nullptr, "a", "b"), -1);
  EXPECT_EQ(WT_RegWriteString(HKEY_LOCAL_MACHINE, kKey, nullptr, "b"), -1);
  EXPECT_EQ(WT_RegWriteString(HKEY_LOCAL_MACHINE, kKey, "a", nullptr), -1);

  // Texts that the file format must escape survive unchanged, and so does the empty text.
  const char* texts[] = {"", "1", "back\\slash", "\\x41 stays", "ends in \\", "\\x4", "line\nbreak\r\n", "a=b [c]",
                         "Espa\xF1ol \xBFs\xED?", "; not a comment", "sz:dword:00000001"};
  for (const char* t : texts) {
    ASSERT_EQ(WT_RegWriteString(HKEY_LOCAL_MACHINE, kKey, "Value", t), 0);
    EXPECT_EQ(ReadText("Value"), t);
  }
  // Names that look like format syntax are values like any other.
  ASSERT_EQ(WT_RegWriteString(HKEY_LOCAL_MACHINE, kKey, "[odd]=name", "x"), 0);
  EXPECT_EQ(ReadText("[odd]=name"), "x");
  // A string written over a number value makes it a string again.
  ASSERT_EQ(registry::WriteDword(HKEY_LOCAL_MACHINE, kKey, "Value", 7), 0);
  EXPECT_EQ(ReadText("Value"), "<missing>");
  ASSERT_EQ(WT_RegWriteString(HKEY_LOCAL_MACHINE, kKey, "Value", "3"), 0);
  EXPECT_EQ(ReadText("Value"), "3");
}

TEST_F(RegistryStore, CorruptOrTruncatedStoreReadsAsMissingAndNextWriteRepairs) {
  ASSERT_EQ(WT_RegWriteString(HKEY_LOCAL_MACHINE, kKey, "Language", "2"), 0);
  ASSERT_EQ(WT_RegWriteString(HKEY_LOCAL_MACHINE, kKey, "Other", "keep"), 0);
  std::string sound;
  {
    std::ifstream in(store_, std::ios::binary);
    sound.assign(std::istreambuf_iterator<char>(in), {});
  }
  const std::string corrupt[] = {
      sound.substr(0, sound.size() - 4),                    // cut inside the end line
      sound.substr(0, sound.find("Language=sz:2") + 12),    // cut inside a value
      std::string("\x00\x01\x02garbage", 10),               // binary junk
      sound + "Extra=sz:1\n",                               // something after the end line
      std::string(sound).replace(sound.find("sz:2"), 4, "qq:2"),  // unknown type
      std::string(sound).insert(sound.find("Language"), "no separator\n"),  // not a value
      std::string(),                                        // empty file
  };
  for (const std::string& bytes : corrupt) {
    SCOPED_TRACE(::testing::PrintToString(bytes));
    WriteFile(bytes);
    unsigned char buf[300];
    unsigned size = 0;
    EXPECT_EQ(Read("Language", buf, sizeof buf, &size), -15);
    ASSERT_EQ(WT_RegWriteString(HKEY_LOCAL_MACHINE, kKey, "Language", "1"), 0);
    EXPECT_EQ(ReadText("Language"), "1");
  }
}

TEST_F(RegistryStore, HandWrittenStoreReads) {
  // What a technician would type to preset the language: key paths with plain backslashes.
  WriteFile("; veldixmid registry store 1\n"
            "[HKEY_LOCAL_MACHINE\\SOFTWARE\\VELDIX-MID v1.0\\Language]\n"
            "Language=sz:2\n"
            "; end\n");
  EXPECT_EQ(ReadText("Language"), "2");
}

TEST_F(RegistryStore, WriteInterruptedBeforeRenameKeepsOldValue) {
  ASSERT_EQ(WT_RegWriteString(HKEY_LOCAL_MACHINE, kKey, "Language", "1"), 0);
  registry::FailNextWritesBeforeRename(true);
  EXPECT_EQ(WT_RegWriteString(HKEY_LOCAL_MACHINE, kKey, "Language", "2"), -11);
  registry::FailNextWritesBeforeRename(false);
  EXPECT_EQ(ReadText("Language"), "1");
  // The next write goes through and leaves no stray temporary file behind it to confuse it.
  ASSERT_EQ(WT_RegWriteString(HKEY_LOCAL_MACHINE, kKey, "Language", "2"), 0);
  EXPECT_EQ(ReadText("Language"), "2");
}

TEST_F(RegistryStore, UnwritableLocationFailsCleanly) {
  // The store's directory is a file: nothing can be created there.
  WriteFile("");
  ::setenv("VELDIXMID_REGISTRY", (store_ + "/registry").c_str(), 1);
  EXPECT_LT(WT_RegWriteString(HKEY_LOCAL_MACHINE, kKey, "Language", "1"), 0);
  unsigned size = 0;
  unsigned char buf[8];
  EXPECT_LT(Read("Language", buf, sizeof buf, &size), 0);
}

}  // namespace
