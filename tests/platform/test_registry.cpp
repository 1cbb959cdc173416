// Registry store: result codes of the read, round trips, what sits at its path, interrupted writes.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "platform/registry.h"
#include "platform/testing/registry_testing.h"

namespace fs = std::filesystem;

namespace {

constexpr const char* kKey = "SOFTWARE\\VELDIX-MID v1.0\\Language";
constexpr RegRoot kLM = kRegLocalMachine;

class RegistryStore : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("veldix-reg-" + std::to_string(::getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    store_ = (dir_ / "sub" / "registry").string();  // the store creates its own directory
    ::setenv("VELDIXMID_REGISTRY", store_.c_str(), 1);
  }
  void TearDown() override {
    registry::FailNextWritesBeforeRename(false);
    fs::remove_all(dir_);
  }
  static int Write(const char* name, const std::string& text) {
    return WT_RegWriteString(kLM, kKey, name, text.c_str());
  }
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
      {kLM, kKey, "Missing", true, -13, 0},
      {kLM, kKey, "Number", true, -14, 0},
      {kLM, kKey, "Long", true, 0, 300},      // 299 + NUL fits exactly
      {kLM, kKey, "TooLong", true, -2, 301},  // one byte too many
      {kLM, nullptr, "Language", true, -1, 0},
      {kLM, kKey, "Language", false, -1, 0},
  };
  unsigned char buf[300];
  unsigned size = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.path ? c.path : "(null)") + " / " + (c.name ? c.name : "(null)"));
    std::memset(buf, 0xAA, sizeof buf);
    size = 0;
    EXPECT_EQ(
        WT_RegReadString(c.root, c.path, c.name, buf, sizeof buf, c.withOut ? &size : nullptr),
        c.expected);
    if (c.expected == 0 || c.expected == -2) {
      EXPECT_EQ(size, c.expectedSize);
    }
    if (c.expected == -2) {
      EXPECT_EQ(buf[0], 0xAA) << "nothing is copied into a short buffer";
    }
  }
  EXPECT_EQ(WT_RegReadString(kLM, kKey, "TooLong", nullptr, 0, &size), 0)
      << "only the size asked for";
  EXPECT_EQ(size, 301u);
}

TEST_F(RegistryStore, WriteArgumentsAndRoundTrip) {
  EXPECT_EQ(WT_RegWriteString(kLM, nullptr, "a", "b"), -1);
  EXPECT_EQ(WT_RegWriteString(kLM, kKey, "a", nullptr), -1);
  // Texts the file format must escape survive unchanged, and so does the empty text.
  for (const char* t :
       {"", "back\\slash", "\\x41 stays", "ends in \\", "\\x4", "line\nbreak\r\n", "Espa\xF1ol"}) {
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

// Whatever sits at the store's path: a FIFO is never read (no hang) nor replaced, and the
// write says why; a link is written through; a huge store is read up to its bound and kept
// whole as the backup. Lines may end in CR LF.
TEST_F(RegistryStore, StorePathsOfEveryKind) {
  fs::create_directories(fs::path(store_).parent_path());
  ASSERT_EQ(::mkfifo(store_.c_str(), 0600), 0);
  EXPECT_EQ(ReadText("Language"), "<code -10>");
  EXPECT_EQ(Write("New", "1"), -10);
  EXPECT_TRUE(fs::is_fifo(store_));
  const std::string error = registry::LastWriteError();
  EXPECT_NE(error.find(store_ + " is a FIFO"), std::string::npos) << error;
  fs::remove(store_);

  const std::string sound = "; veldixmid registry store 1\r\n[HKEY_LOCAL_MACHINE\\" +
                            std::string(kKey) + "]\r\nLanguage=sz:2\r\n";
  const std::string target = (dir_ / "target").string();
  std::ofstream(target, std::ios::binary) << sound + "; end\r\n";
  fs::create_symlink(target, store_);
  EXPECT_EQ(ReadText("Language"), "2");
  ASSERT_EQ(Write("New", "1"), 0);
  EXPECT_TRUE(fs::is_symlink(store_));
  EXPECT_EQ(ReadText("New"), "1");
  std::ifstream in(target, std::ios::binary);
  EXPECT_NE(std::string(std::istreambuf_iterator<char>(in), {}).find("New=sz:1"),
            std::string::npos);

  fs::remove(store_);
  WriteFile(sound + "Pad=sz:" + std::string((1 << 20) + 100, 'p') + "\n; end\n");
  EXPECT_EQ(ReadText("Language"), "2");
  ASSERT_EQ(Write("New", "1"), 0);
  EXPECT_EQ(ReadText("New"), "1");
  EXPECT_GT(fs::file_size(store_ + ".bad.1"), 1u << 20);
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
