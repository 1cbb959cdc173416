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
  // The text of a value read into 300 bytes, or "<code N>" when the read fails.
  static std::string ReadText(const char* name, RegRoot root = kLM, const char* path = kKey) {
    unsigned char buf[300] = {};
    unsigned size = 0;
    const int rc = WT_RegReadString(root, path, name, buf, sizeof buf, &size);
    if (rc != 0) return "<code " + std::to_string(rc) + ">";
    EXPECT_EQ(size, std::strlen(reinterpret_cast<char*>(buf)) + 1) << "size with the NUL";
    return reinterpret_cast<char*>(buf);
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
  const struct {
    RegRoot root;
    const char *path, *name;
    std::string expected;
  } cases[] = {
      {kLM, "SOFTWARE\\VELDIX-MID v1.0\\LANGUAGE", "language", "2"},  // names ignore case
      {kRegCurrentUser, kKey, "Language", "<code -15>"},
      {kLM, kKey, "Missing", "<code -13>"},
      {kLM, kKey, "Number", "<code -14>"},
      {kLM, kKey, "Long", std::string(299, 'x')},  // 299 + NUL fit exactly
      {kLM, kKey, "TooLong", "<code -2>"},
      {kLM, nullptr, "Language", "<code -1>"},
  };
  for (const auto& c : cases) EXPECT_EQ(ReadText(c.name, c.root, c.path), c.expected) << c.name;
  unsigned size = 0;
  EXPECT_EQ(WT_RegReadString(kLM, kKey, "TooLong", nullptr, 0, &size), 0) << "the size only";
  EXPECT_EQ(size, 301u);
  EXPECT_EQ(WT_RegReadString(kLM, kKey, "Language", nullptr, 0, nullptr), -1) << "no size output";
}

TEST_F(RegistryStore, WriteArgumentsAndRoundTrip) {
  EXPECT_EQ(WT_RegWriteString(kLM, nullptr, "a", "b"), -1);
  EXPECT_EQ(WT_RegWriteString(kLM, kKey, "a", nullptr), -1);
  // Names and texts the file format must escape survive unchanged ("" is the default value).
  for (const char* t : {"", "back\\slash", "\\x41 stays", "ends in \\", "\\x4", "line\nbreak\r\n",
                        "Espa\xF1ol", "[odd]=name"}) {
    ASSERT_EQ(Write(t, t), 0);
    EXPECT_EQ(ReadText(t), t);
  }
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
  EXPECT_EQ(ReadText("New"), "1") << "written to the link's target";

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
