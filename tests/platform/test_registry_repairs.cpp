// Damaged registry stores: what parses is read, the damaged file is kept byte for byte as a
// numbered backup (a second damage gets the next number), and the write repairs the store.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "platform/registry.h"

namespace fs = std::filesystem;

namespace {

constexpr const char* kKey = "SOFTWARE\\VELDIX-MID v1.0\\Language";

// The text of a value, or "<code N>" when the read fails.
std::string Read(const char* name) {
  unsigned char buf[64] = {};
  unsigned size = 0;
  const int rc = WT_RegReadString(kRegLocalMachine, kKey, name, buf, sizeof buf, &size);
  return rc == 0 ? reinterpret_cast<char*>(buf) : "<code " + std::to_string(rc) + ">";
}

// The value written is the one without a name, the key's default value: writing it once left a
// store that no longer parsed, so it and every other value read as missing.
TEST(RegistryRepair, DamagedStoreKeepsWhatParsesAndIsBackedUpBeforeTheRepair) {
  // What a technician would type to preset the language: key paths with plain backslashes.
  const std::string head =
      "; veldixmid registry store 1\n[HKEY_LOCAL_MACHINE\\" + std::string(kKey) + "]\n";
  const std::string sound = head + "Language=sz:2\nOther=sz:keep\n; end\n";
  const struct {
    const char* what;
    std::string bytes;
    const char *language, *other;  // read before the write
    bool damaged;                  // backed up before the write
  } cases[] = {
      // clang-format off
      {"sound, with a default value", head + "=sz:old\nLanguage=sz:2\n; end\n", "2", "<code -13>", false},
      {"cut inside the end line", sound.substr(0, sound.size() - 4), "2", "keep", true},
      {"binary junk", std::string("\x00\x01\x02garbage", 10), "<code -15>", "<code -15>", true},
      {"a line that is no value", std::string(sound).insert(sound.find("Other"), "no separator\n"), "2", "keep", true},
      // clang-format on
  };
  const fs::path dir = fs::temp_directory_path() / ("veldix-repair-" + std::to_string(::getpid()));
  fs::remove_all(dir);
  fs::create_directories(dir);
  const std::string store = (dir / "registry").string();
  ::setenv("VELDIXMID_REGISTRY", store.c_str(), 1);
  int backups = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::ofstream(store, std::ios::binary) << c.bytes;
    EXPECT_EQ(Read("Language"), c.language);
    EXPECT_EQ(Read("Other"), c.other);
    // The second write finds the repaired store sound: no further backup.
    for (int w = 0; w < 2; ++w) ASSERT_EQ(WT_RegWriteString(kRegLocalMachine, kKey, "", "new"), 0);
    if (c.damaged) {
      std::ifstream in(store + ".bad." + std::to_string(++backups), std::ios::binary);
      EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), c.bytes) << backups;
    }
    EXPECT_FALSE(fs::exists(store + ".bad." + std::to_string(backups + 1)));
    EXPECT_EQ(Read(""), "new");
    // Kept across the repair (a value of a key that did not exist is one of a key that does now).
    auto after = [](const std::string& v) { return v == "<code -15>" ? "<code -13>" : v; };
    EXPECT_EQ(Read("Language"), after(c.language));
    EXPECT_EQ(Read("Other"), after(c.other));
  }
  fs::remove_all(dir);
}

}  // namespace
