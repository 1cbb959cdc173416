// INI reader: every fixtures/ini/<case>.ini read and dumped must give <case>.expected; then block
// boundaries, appending reads, the scratch buffer and the shipped language file.
#include "lang/ini.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct IniDeleter {
  void operator()(IniTextRec* ini) const { Ini_Dispose(ini); }
};
using IniPtr = std::unique_ptr<IniTextRec, IniDeleter>;

const std::string kFixtures = VELDIX_TEST_DATA "/fixtures/ini/";

std::string fileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// A file in the temporary directory, removed when the test ends.
struct TempFile {
  explicit TempFile(const std::string& bytes)
      : path((std::filesystem::temp_directory_path() /
              ("test_ini_" + std::to_string(std::random_device()())))
                 .string()) {
    std::ofstream(path, std::ios::binary) << bytes;
  }
  ~TempFile() { std::remove(path.c_str()); }
  std::string path;
};

// Control and 8-bit bytes as C escapes, so that the expected dumps are plain ASCII.
std::string escaped(const std::string& s) {
  std::string out;
  for (unsigned char c : s) {
    const char* named = c == '\n'   ? "\\n"
                        : c == '\r' ? "\\r"
                        : c == '\t' ? "\\t"
                        : c == '\\' ? "\\\\"
                        : c == '"'  ? "\\\""
                                    : nullptr;
    char hex[8];
    std::snprintf(hex, sizeof hex, "\\x%02X", c);
    out += named ? named : (c < 0x20 || c >= 0x7F) ? hex : std::string(1, static_cast<char>(c));
  }
  return out;
}

// What a caller sees: sections by position, items and values by name (pointer and copy agree).
std::string dump(IniText ini, int result) {
  std::ostringstream out;
  out << "result=" << result << "\nsections=" << Ini_NumberOfSections(ini) << "\n";
  char* name = nullptr;
  for (int n = 1; Ini_NthSectionName(ini, n, &name) == 1; ++n) {
    const std::string section = name;
    out << "[" << escaped(section) << "] items=" << Ini_NumberOfItems(ini, section.c_str()) << "\n";
    char* item = nullptr;
    for (int k = 1; Ini_NthItemName(ini, section.c_str(), k, &item) == 1; ++k) {
      char *text = nullptr, *copy = nullptr;
      const int r = Ini_GetPointerToString(ini, section.c_str(), item, &text);
      const std::string value = text ? text : "<missing>";
      const int rc = Ini_GetStringCopy(ini, section.c_str(), item, &copy);
      out << escaped(item) << " = \"" << escaped(value) << "\""
          << (r == 1 && rc == 1 && value == copy ? "" : " <differs>") << "\n";
      std::free(copy);
    }
  }
  return out.str();
}

std::string readAndDump(const std::string& path) {
  IniPtr ini(Ini_New(0));
  const int rc = Ini_ReadFromFile(ini.get(), path.c_str());
  return dump(ini.get(), rc);
}

std::vector<std::string> fixtureCases() {
  std::vector<std::string> cases;
  for (const auto& e : std::filesystem::directory_iterator(kFixtures))
    if (e.path().extension() == ".expected") cases.push_back(e.path().stem().string());
  std::sort(cases.begin(), cases.end());
  return cases;
}

class IniFixture : public testing::TestWithParam<std::string> {};

// missing.expected has no .ini beside it: the open fails.
TEST_P(IniFixture, DumpMatchesExpected) {
  EXPECT_EQ(readAndDump(kFixtures + GetParam() + ".ini"),
            fileBytes(kFixtures + GetParam() + ".expected"));
}
INSTANTIATE_TEST_SUITE_P(Files, IniFixture, testing::ValuesIn(fixtureCases()),
                         [](const auto& info) { return info.param; });

// Lines, their ends and a line longer than a 2048-byte block read the same wherever blocks end.
TEST(IniLineSource, LinesStraddlingBlockBoundaries) {
  const std::string value(100, 'v'), huge(5000, 'h');
  for (const std::string lineEnd : {"\n", "\r\n", "\n\r", "\r", "NUL"}) {
    for (std::size_t start = 1930; start <= 2050; ++start) {
      const std::string eol = lineEnd == "NUL" ? std::string(1, '\0') : lineEnd;
      const std::size_t padding = start - 3 - 2 * eol.size();  // "[S]", comment, line ends
      TempFile file("[S]" + eol + ";" + std::string(padding - 1, 'p') + eol + "key = " + value +
                    eol + "huge = " + huge + eol + "tail = end");
      IniPtr ini(Ini_New(0));
      ASSERT_EQ(Ini_ReadFromFile(ini.get(), file.path.c_str()), 0);
      EXPECT_EQ(dump(ini.get(), 0), "result=0\nsections=1\n[S] items=3\nkey = \"" + value +
                                        "\"\nhuge = \"" + huge.substr(0, 255 - 7) +
                                        "\"\ntail = \"end\"\n")
          << "line end " << escaped(eol) << ", item at byte " << start;
    }
  }
}

TEST(IniObject, SecondReadAppendsAndFailedReadsKeepWhatWasRead) {
  TempFile first("[A]\na = 1\n"), second("[B]\nb = 2\n");
  IniPtr ini(Ini_New(0));
  EXPECT_EQ(Ini_ReadFromFile(ini.get(), first.path.c_str()), 0);
  EXPECT_EQ(Ini_ReadFromFile(ini.get(), second.path.c_str()), 0);
  // Only a regular file is opened: a folder, a FIFO or a device would fail, block or never end.
  const std::string missing = kFixtures + "missing.ini";
  for (const char* path :
       {missing.c_str(), VELDIX_TEST_DATA, "/dev/zero", static_cast<const char*>(nullptr)})
    EXPECT_EQ(Ini_ReadFromFile(ini.get(), path), INI_ERR_OPEN) << (path ? path : "null");
  EXPECT_EQ(dump(ini.get(), 0),
            "result=0\nsections=2\n[A] items=1\na = \"1\"\n[B] items=1\nb = \"2\"\n");
  EXPECT_EQ(Ini_ReadFromFile(nullptr, first.path.c_str()), INI_ERR_NO_MEMORY);
  EXPECT_EQ(dump(nullptr, 0), "result=0\nsections=0\n");
}

// Values joined from Line items, of lengths around the 1024-byte steps of the scratch buffer
// (a buffer one byte short shows under AddressSanitizer), taken large, small, large again.
TEST(IniScratch, LongJoinedValuesAndPointerLifetime) {
  const std::size_t lengths[] = {1, 1022, 1023, 1024, 1025, 2048, 4000};
  std::string file = "[S]\n";
  std::vector<std::string> values(std::size(lengths));
  for (std::size_t i = 0; i < std::size(lengths); ++i) {
    for (std::size_t line = 1; values[i].size() < lengths[i]; ++line) {
      const std::string part(std::min<std::size_t>(200, lengths[i] - values[i].size()),
                             static_cast<char>('a' + line));
      file += "v" + std::to_string(i) + "Line" + std::to_string(line) + " = " + part + "\n";
      values[i] += part;
    }
  }
  TempFile temp(file);
  IniPtr ini(Ini_New(0));
  ASSERT_EQ(Ini_ReadFromFile(ini.get(), temp.path.c_str()), 0);
  for (std::size_t i : {6, 0, 3, 2, 4, 1, 5}) {
    char *text = nullptr, *other = nullptr;
    ASSERT_EQ(Ini_GetPointerToString(ini.get(), "s", ("V" + std::to_string(i)).c_str(), &text), 1);
    // Lookups that take no value leave the pointer valid.
    EXPECT_EQ(Ini_NumberOfItems(ini.get(), "S"), 7);
    EXPECT_EQ(Ini_NthSectionName(ini.get(), 1, &other), 1);
    EXPECT_EQ(text, values[i]) << "value " << i;
  }
}

// The shipped file: Spanish then English, 0000..0465 non-empty in both, no line over 255 bytes,
// no control bytes but CR and LF, and no UTF-8.
TEST(LanguageFile, ShippedCatalogueIsCompleteAndWindows1252) {
  const std::string path = VELDIX_SOURCE_DIR "/resources/language.ini", bytes = fileBytes(path);
  IniPtr ini(Ini_New(0));
  ASSERT_EQ(Ini_ReadFromFile(ini.get(), path.c_str()), 0);
  ASSERT_EQ(Ini_NumberOfSections(ini.get()), 2);
  const char* names[] = {"Espa\xF1ol", "English"};
  for (int n = 1; n <= 2; ++n) {
    char *section = nullptr, *text = nullptr;
    ASSERT_EQ(Ini_NthSectionName(ini.get(), n, &section), 1);
    EXPECT_STREQ(section, names[n - 1]);
    EXPECT_EQ(Ini_NumberOfItems(ini.get(), section), 466) << section;  // no extras, no duplicates
    for (int i = 0; i <= 465; ++i) {
      char item[8];
      std::snprintf(item, sizeof item, "%04d", i);
      text = nullptr;
      Ini_GetPointerToString(ini.get(), section, item, &text);
      EXPECT_TRUE(text && *text) << section << " " << item;
    }
  }
  std::size_t column = 0;
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    const auto c = static_cast<unsigned char>(bytes[i]);
    const auto next = static_cast<unsigned char>(i + 1 < bytes.size() ? bytes[i + 1] : 0);
    column = c == '\r' || c == '\n' ? 0 : column + 1;
    EXPECT_LE(column, 255u) << "byte " << i;
    EXPECT_TRUE(c >= 0x20 || c == '\r' || c == '\n') << "control byte at " << i;
    EXPECT_FALSE(c >= 0xC2 && c <= 0xF4 && next >= 0x80 && next <= 0xBF)
        << "UTF-8 sequence at byte " << i;
  }
}

}  // namespace
