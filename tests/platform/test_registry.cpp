// Registry store: result codes of the read, round trips, damaged, hostile and interrupted stores.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
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
  EXPECT_EQ(WT_RegWriteString(kLM, kKey, nullptr, "b"), -1);
  EXPECT_EQ(WT_RegWriteString(kLM, kKey, "a", nullptr), -1);
  // Texts the file format must escape survive unchanged, and so does the empty text.
  for (const char* t :
       {"", "1", "back\\slash", "\\x41 stays", "ends in \\", "\\x4", "line\nbreak\r\n", "a=b [c]",
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

// A damaged store loses nothing: what parses is read, the damaged file is kept byte for byte
// as a numbered backup (a second damage gets the next number), the write repairs the store.
TEST_F(RegistryStore, DamagedStoreKeepsWhatParsesAndIsBackedUpBeforeTheRepair) {
  // What a technician would type to preset the language: key paths with plain backslashes.
  const std::string sound =
      "; veldixmid registry store 1\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\VELDIX-MID v1.0\\Language]\n"
      "Language=sz:2\nOther=sz:keep\n; end\n";
  const struct {
    const char* what;
    std::string bytes;
    const char *language, *other;  // read before the write
  } cases[] = {
      // clang-format off
      {"cut inside the end line", sound.substr(0, sound.size() - 4), "2", "keep"},
      {"cut inside a value", sound.substr(0, sound.find("Other=") + 8), "2", "<code -13>"},
      {"binary junk", std::string("\x00\x01\x02garbage", 10), "<code -15>", "<code -15>"},
      {"text after the end line", sound + "Extra=sz:1\n", "2", "keep"},
      {"unknown type", std::string(sound).replace(sound.find("sz:2"), 4, "qq:2"), "<code -13>", "keep"},
      {"a line that is no value", std::string(sound).insert(sound.find("Other"), "no separator\n"), "2", "keep"},
      {"no header", sound.substr(sound.find('\n') + 1), "2", "keep"},
      // clang-format on
  };
  int backups = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    WriteFile(c.bytes);
    EXPECT_EQ(ReadText("Language"), c.language);
    EXPECT_EQ(ReadText("Other"), c.other);
    ASSERT_EQ(Write("New", "1"), 0);
    const std::string backup = store_ + ".bad." + std::to_string(++backups);
    std::ifstream in(backup, std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), c.bytes) << backup;
    EXPECT_EQ(ReadText("New"), "1");
    // Kept across the repair (a value of a key that did not exist is one of a key that does now).
    auto after = [](const std::string& v) {
      return v == "<code -15>" ? std::string("<code -13>") : v;
    };
    EXPECT_EQ(ReadText("Language"), after(c.language));
    EXPECT_EQ(ReadText("Other"), after(c.other));
    ASSERT_EQ(Write("New", "2"), 0);  // the repaired store is sound: no further backup
    EXPECT_FALSE(fs::exists(store_ + ".bad." + std::to_string(backups + 1)));
  }
  // Every backup still holds its own damage: none replaced another.
  for (int k = 1; k <= backups; ++k) {
    std::ifstream in(store_ + ".bad." + std::to_string(k), std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), cases[k - 1].bytes) << k;
  }
}

// Whatever sits at the store's path: no hang, no unbounded read; what is not a regular file
// is never replaced, and the write says why; a link is written through.
TEST_F(RegistryStore, StorePathsOfEveryKind) {
  fs::create_directories(fs::path(store_).parent_path());
  const std::string sound =
      "; veldixmid registry store 1\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\VELDIX-MID "
      "v1.0\\Language]\r\n"
      "Language=sz:2\r\n; end\r\n";
  const std::string target = (dir_ / "target").string();
  const std::string huge = sound.substr(0, sound.find("; end")) +
                           "Pad=sz:" + std::string((1 << 20) + 100, 'p') + "\n; end\n";
  const struct {
    const char* what;
    std::function<void()> make;
    const char* read;   // "Language" before the write
    int write;          // result of writing "New"
    const char* error;  // in LastWriteError after a failed write
  } cases[] = {
      // clang-format off
      {"FIFO", [&] { ::mkfifo(store_.c_str(), 0600); }, "<code -10>", -10, "is a FIFO"},
      {"directory", [&] { fs::create_directory(store_); }, "<code -10>", -10, "is a directory"},
      {"link to /dev/zero", [&] { fs::create_symlink("/dev/zero", store_); }, "<code -10>", -10, "is a device"},
      {"link loop", [&] { fs::create_symlink(store_, store_); }, "<code -10>", -10, "cannot be opened"},
      {"CRLF", [&] { WriteFile(sound); }, "2", 0, ""},
      {"link to a store", [&] { std::ofstream(target) << sound; fs::create_symlink(target, store_); }, "2", 0, ""},
      {"huge, values first", [&] { WriteFile(huge); }, "2", 0, ""},
      // clang-format on
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    fs::remove_all(store_);
    for (const auto& e : fs::directory_iterator(fs::path(store_).parent_path()))
      fs::remove_all(e.path());
    c.make();
    const auto type = fs::symlink_status(store_).type();
    EXPECT_EQ(ReadText("Language"), c.read);
    EXPECT_EQ(Write("New", "1"), c.write);
    EXPECT_EQ(fs::symlink_status(store_).type(), type) << "the path keeps its kind";
    if (c.write != 0) {
      const std::string error = registry::LastWriteError();
      EXPECT_NE(error.find(store_), std::string::npos) << error;
      EXPECT_NE(error.find(c.error), std::string::npos) << error;
      continue;
    }
    EXPECT_EQ(ReadText("New"), "1");
    EXPECT_EQ(ReadText("Language"), "2");
  }
  // The link's target took the writes; the huge store was kept whole, hard-linked.
  std::ifstream in(target, std::ios::binary);
  EXPECT_NE(std::string(std::istreambuf_iterator<char>(in), {}).find("New=sz:1"),
            std::string::npos);
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
