// INI reader: one fixture file per parser edge case, compared with its expected dump; the
// chunked line source at block boundaries; the scratch buffer; memory shortage; and the
// language file that ships with the tool.
#include "ini.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <new>
#include <random>
#include <sstream>
#include <string>
#include <vector>

// --- allocation that fails on demand -------------------------------------------------
// The process's operator new and delete: while g_allocationsLeft >= 0 each allocation counts
// it down, and the one that finds it at 0 throws, as on a machine short of memory. The
// nothrow and array forms are replaced too, so that under the sanitizers every block that
// reaches this delete came from this new. Not inlined: GCC would flag the free() inside a
// delete-expression as a mismatch.
static long g_allocationsLeft = -1;

[[gnu::noinline]] void *operator new(std::size_t size)
{
    if (g_allocationsLeft >= 0 && g_allocationsLeft-- == 0)
        throw std::bad_alloc();
    if (void *p = std::malloc(size ? size : 1))
        return p;
    throw std::bad_alloc();
}
[[gnu::noinline]] void *operator new(std::size_t size, const std::nothrow_t &) noexcept
{
    try {
        return ::operator new(size);
    } catch (const std::bad_alloc &) {
        return nullptr;
    }
}
[[gnu::noinline]] void *operator new[](std::size_t size) { return ::operator new(size); }
[[gnu::noinline]] void operator delete(void *p) noexcept { std::free(p); }
[[gnu::noinline]] void operator delete(void *p, std::size_t) noexcept { std::free(p); }
[[gnu::noinline]] void operator delete[](void *p) noexcept { std::free(p); }
[[gnu::noinline]] void operator delete[](void *p, std::size_t) noexcept { std::free(p); }

namespace {

struct FailAfter {
    explicit FailAfter(long n) { g_allocationsLeft = n; }
    ~FailAfter() { g_allocationsLeft = -1; }
};

struct IniDeleter {
    void operator()(IniTextRec *ini) const { Ini_Dispose(ini); }
};
using IniPtr = std::unique_ptr<IniTextRec, IniDeleter>;

std::string fixture(const std::string &name) { return VELDIX_TEST_DATA "/fixtures/ini/" + name; }

std::string fileBytes(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// A file in the temporary directory that is removed when the test ends.
class TempFile {
public:
    explicit TempFile(const std::string &bytes)
    {
        std::random_device rd;
        path_ = (std::filesystem::temp_directory_path() / ("test_ini_" + std::to_string(rd()) + ".ini")).string();
        std::ofstream(path_, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    }
    ~TempFile() { std::remove(path_.c_str()); }
    const char *path() const { return path_.c_str(); }

private:
    std::string path_;
};

// Control and 8-bit bytes written as C escapes, so that expected dumps are plain ASCII.
std::string escaped(const std::string &s)
{
    std::string out;
    for (unsigned char c : s) {
        switch (c) {
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        case '\\': out += "\\\\"; break;
        case '"': out += "\\\""; break;
        default:
            if (c < 0x20 || c >= 0x7F) {
                char hex[8];
                std::snprintf(hex, sizeof hex, "\\x%02X", c);
                out += hex;
            } else {
                out += static_cast<char>(c);
            }
        }
    }
    return out;
}

// What a caller sees through the API: every section by position, every item of the section
// found by that name, every value found by that item name (pointer and copy must agree).
std::string dump(IniText ini, int result)
{
    std::ostringstream out;
    const int sections = Ini_NumberOfSections(ini);
    out << "result=" << result << "\nsections=" << sections << "\n";
    for (int n = 1; n <= sections; ++n) {
        char *name = nullptr;
        if (Ini_NthSectionName(ini, n, &name) != 1) {
            out << "<section " << n << " missing>\n";
            continue;
        }
        const std::string section = name;
        const int items = Ini_NumberOfItems(ini, section.c_str());
        out << "[" << escaped(section) << "] items=" << items << "\n";
        for (int k = 1; k <= items; ++k) {
            char *item = nullptr;
            if (Ini_NthItemName(ini, section.c_str(), k, &item) != 1) {
                out << "<item " << k << " missing>\n";
                continue;
            }
            char *text = nullptr;
            const int r = Ini_GetPointerToString(ini, section.c_str(), item, &text);
            const std::string value = text ? text : "";
            char *copy = nullptr;
            const int rc = Ini_GetStringCopy(ini, section.c_str(), item, &copy);
            out << escaped(item) << " = \"" << escaped(value) << "\"";
            if (r != 1)
                out << " <result " << r << ">";
            if (rc != 1 || !copy || value != copy)
                out << " <copy differs>";
            std::free(copy);
            out << "\n";
        }
    }
    return out.str();
}

std::string readAndDump(const char *path)
{
    IniPtr ini(Ini_New(0));
    const int rc = Ini_ReadFromFile(ini.get(), path);
    return dump(ini.get(), rc);
}

// --- one fixture per edge case ------------------------------------------------------------

struct FixtureCase {
    const char *file;
    const char *expected;
};

void PrintTo(const FixtureCase &c, std::ostream *os) { *os << c.file; }

class IniFixture : public testing::TestWithParam<FixtureCase> {};

TEST_P(IniFixture, DumpMatchesExpected)
{
    const FixtureCase c = GetParam();
    EXPECT_EQ(readAndDump(fixture(c.file).c_str()), fileBytes(fixture(c.expected)));
}

const FixtureCase kFixtures[] = {
    {"header_spaces.ini", "header_spaces.expected"},
    {"header_comment.ini", "header_comment.expected"},
    {"header_malformed.ini", "header_malformed.expected"},
    {"items_before_header.ini", "items_before_header.expected"},
    {"remark_in_value.ini", "remark_in_value.expected"},
    {"empty_value.ini", "empty_value.expected"},
    {"quotes_empty.ini", "quotes_empty.expected"},
    {"quotes_unbalanced.ini", "quotes_unbalanced.expected"},
    {"quotes_inner_spaces.ini", "quotes_inner_spaces.expected"},
    {"escape_hex.ini", "escape_hex.expected"},
    {"escape_bad_hex.ini", "escape_bad_hex.expected"},
    {"escape_chars.ini", "escape_chars.expected"},
    {"eol_lf.ini", "eol.expected"},
    {"eol_crlf.ini", "eol.expected"},
    {"eol_cr.ini", "eol.expected"},
    {"eol_lfcr.ini", "eol.expected"},
    {"eol_mixed.ini", "eol.expected"},
    {"long_line.ini", "long_line.expected"},
    {"bom.ini", "bom.expected"},
    {"multiline.ini", "multiline.expected"},
    {"case_sections.ini", "case_sections.expected"},
    {"nul_byte.ini", "nul_byte.expected"},
    {"no_final_eol.ini", "no_final_eol.expected"},
    {"blank_lines.ini", "blank_lines.expected"},
    {"empty.ini", "empty.expected"},
    {"missing.ini", "missing.expected"},
};

INSTANTIATE_TEST_SUITE_P(Files, IniFixture, testing::ValuesIn(kFixtures),
                         [](const testing::TestParamInfo<FixtureCase> &info) {
                             std::string name = info.param.file;
                             name = name.substr(0, name.find('.'));
                             return name;
                         });

// --- the chunked line source ----------------------------------------------------------------

// The file is read in 2048-byte blocks: an item line, its line end (one or two bytes) and a
// line longer than a block must read the same wherever the block boundaries fall.
TEST(IniLineSource, LinesStraddlingBlockBoundaries)
{
    const std::string value(100, 'v');
    const std::string huge(5000, 'h');
    const std::string lineEnds[] = {"\n", "\r\n", "\n\r", "\r", std::string(1, '\0')};
    for (const std::string &eol : lineEnds) {
        for (std::size_t start = 1930; start <= 2050; ++start) {
            // "[S]" + eol, then a comment that pushes the item line to `start`.
            const std::size_t padding = start - 3 - 2 * eol.size();
            const std::string bytes = "[S]" + eol + ";" + std::string(padding - 1, 'p') + eol + "key = " + value + eol +
                                      "huge = " + huge + eol + "tail = end";
            ASSERT_EQ(bytes.find("key"), start);
            TempFile file(bytes);
            IniPtr ini(Ini_New(0));
            ASSERT_EQ(Ini_ReadFromFile(ini.get(), file.path()), 0);
            SCOPED_TRACE("line end " + escaped(eol) + ", item at byte " + std::to_string(start));
            ASSERT_EQ(Ini_NumberOfItems(ini.get(), "S"), 3);
            char *text = nullptr;
            ASSERT_EQ(Ini_GetPointerToString(ini.get(), "S", "key", &text), 1);
            EXPECT_EQ(std::string(text), value);
            ASSERT_EQ(Ini_GetPointerToString(ini.get(), "S", "huge", &text), 1);
            EXPECT_EQ(std::string(text), huge.substr(0, 255 - 7)); // "huge = " counts in the 255
            ASSERT_EQ(Ini_GetPointerToString(ini.get(), "S", "tail", &text), 1);
            EXPECT_STREQ(text, "end");
        }
    }
}

// --- the object across reads and failures --------------------------------------------------

TEST(IniObject, SecondReadAppendsAndFailuresKeepWhatWasRead)
{
    TempFile first("[A]\na = 1\n[B]\nb = 2\n");
    TempFile second("orphan = 3\n[C]\nc = 4\n[a]\nx = 5\n");
    IniPtr ini(Ini_New(0));
    ASSERT_EQ(Ini_ReadFromFile(ini.get(), first.path()), 0);
    ASSERT_EQ(Ini_ReadFromFile(ini.get(), second.path()), 0);
    ASSERT_EQ(Ini_ReadFromFile(ini.get(), fixture("missing.ini").c_str()), INI_ERR_OPEN);
    // The second file's item above its first header does not join the first file's last
    // section; its "[a]" comes after "[A]", so lookups by that name still find the first.
    EXPECT_EQ(dump(ini.get(), 0), "result=0\nsections=4\n"
                                  "[A] items=1\na = \"1\"\n"
                                  "[B] items=1\nb = \"2\"\n"
                                  "[C] items=1\nc = \"4\"\n"
                                  "[a] items=1\na = \"1\"\n");

    // Reading a folder fails after the open on Linux: a read error, not a success.
    if (std::FILE *f = std::fopen(VELDIX_TEST_DATA, "rb")) {
        std::fclose(f);
        EXPECT_EQ(Ini_ReadFromFile(ini.get(), VELDIX_TEST_DATA), INI_ERR_READ);
        EXPECT_EQ(Ini_NumberOfSections(ini.get()), 4);
    }
}

TEST(IniObject, NullArgumentsAnswerNothing)
{
    char *out = nullptr;
    EXPECT_EQ(Ini_ReadFromFile(nullptr, fixture("eol_lf.ini").c_str()), INI_ERR_NO_MEMORY);
    EXPECT_EQ(Ini_NumberOfSections(nullptr), 0);
    EXPECT_EQ(Ini_NthSectionName(nullptr, 1, &out), 0);
    EXPECT_EQ(Ini_NumberOfItems(nullptr, "One"), 0);
    EXPECT_EQ(Ini_GetStringCopy(nullptr, "One", "a", &out), 0);
    EXPECT_EQ(out, nullptr);
    Ini_Dispose(nullptr);

    IniPtr ini(Ini_New(0));
    EXPECT_EQ(Ini_ReadFromFile(ini.get(), nullptr), INI_ERR_OPEN);
    ASSERT_EQ(Ini_ReadFromFile(ini.get(), fixture("eol_lf.ini").c_str()), 0);
    EXPECT_EQ(Ini_NthSectionName(ini.get(), 0, &out), 0);
    EXPECT_EQ(Ini_NthSectionName(ini.get(), 3, &out), 0);
    EXPECT_EQ(Ini_NthSectionName(ini.get(), 1, nullptr), 0);
    EXPECT_EQ(Ini_NumberOfItems(ini.get(), nullptr), 0);
    EXPECT_EQ(Ini_GetPointerToString(ini.get(), "One", nullptr, &out), 0);
    EXPECT_EQ(Ini_GetPointerToString(ini.get(), "One", "a", nullptr), 0);
    EXPECT_EQ(Ini_GetStringCopy(ini.get(), "One", "a", nullptr), 0);
    EXPECT_EQ(Ini_GetStringCopy(ini.get(), "Nowhere", "a", &out), 0);
    EXPECT_EQ(out, nullptr);
}

// --- the scratch buffer -----------------------------------------------------------------

// Values built from Line items, of lengths around the 1024-byte steps of the scratch buffer
// (a buffer one byte short shows under AddressSanitizer).
TEST(IniScratch, LongJoinedValuesAndPointerLifetime)
{
    const std::size_t lengths[] = {1, 1022, 1023, 1024, 1025, 2047, 2048, 4000};
    std::string file = "[S]\n";
    std::vector<std::string> values;
    for (std::size_t i = 0; i < std::size(lengths); ++i) {
        std::string v;
        for (std::size_t line = 1; v.size() < lengths[i]; ++line) {
            const std::string part(std::min<std::size_t>(200, lengths[i] - v.size()), static_cast<char>('a' + line % 26));
            file += "v" + std::to_string(i) + "Line" + std::to_string(line) + " = " + part + "\n";
            v += part;
        }
        values.push_back(v);
    }
    TempFile temp(file);
    IniPtr ini(Ini_New(0));
    ASSERT_EQ(Ini_ReadFromFile(ini.get(), temp.path()), 0);
    ASSERT_EQ(Ini_NumberOfItems(ini.get(), "S"), static_cast<int>(values.size()));

    // Large, small, large again: the buffer is resized both ways.
    for (std::size_t i : {7u, 0u, 3u, 2u, 4u, 1u, 6u, 5u}) {
        const std::string name = "v" + std::to_string(i);
        char *text = nullptr;
        ASSERT_EQ(Ini_GetPointerToString(ini.get(), "s", name.c_str(), &text), 1);
        // Lookups that take no value leave the pointer alone.
        char *other = nullptr;
        EXPECT_EQ(Ini_NumberOfItems(ini.get(), "S"), 8);
        EXPECT_EQ(Ini_NthSectionName(ini.get(), 1, &other), 1);
        EXPECT_EQ(Ini_NthItemName(ini.get(), "S", 1, &other), 1);
        EXPECT_EQ(std::string(text), values[i]) << name;
    }

    // A copy belongs to the caller and outlives the object.
    char *copy = nullptr;
    ASSERT_EQ(Ini_GetStringCopy(ini.get(), "S", "v7", &copy), 1);
    ini.reset();
    EXPECT_EQ(std::string(copy), values[7]);
    std::free(copy);
}

// --- memory shortage ----------------------------------------------------------------------

// Allocation number n of a read fails, for every n: the read reports -12 and keeps the
// sections it had read (a prefix of the full result), and the object stays usable.
TEST(IniMemory, ShortageDuringReadKeepsWhatWasRead)
{
    const std::string path = fixture("case_sections.ini");
    const std::string full = readAndDump(path.c_str());
    std::vector<std::string> fullNames;
    {
        IniPtr ini(Ini_New(0));
        ASSERT_EQ(Ini_ReadFromFile(ini.get(), path.c_str()), 0);
        for (int n = 1; n <= Ini_NumberOfSections(ini.get()); ++n) {
            char *name = nullptr;
            Ini_NthSectionName(ini.get(), n, &name);
            fullNames.emplace_back(name);
        }
    }
    bool succeeded = false;
    for (long n = 0; n < 1000 && !succeeded; ++n) {
        IniPtr ini(Ini_New(0));
        int rc;
        {
            FailAfter fail(n);
            rc = Ini_ReadFromFile(ini.get(), path.c_str());
        }
        if (rc == 0) {
            succeeded = true;
            EXPECT_EQ(dump(ini.get(), rc), full);
            continue;
        }
        ASSERT_EQ(rc, INI_ERR_NO_MEMORY) << "allocation " << n;
        const int sections = Ini_NumberOfSections(ini.get());
        ASSERT_LE(static_cast<std::size_t>(sections), fullNames.size());
        for (int k = 1; k <= sections; ++k) {
            char *name = nullptr;
            ASSERT_EQ(Ini_NthSectionName(ini.get(), k, &name), 1);
            EXPECT_EQ(name, fullNames[static_cast<std::size_t>(k) - 1]) << "allocation " << n;
        }
        dump(ini.get(), rc); // every lookup on the partial object must be safe
    }
    EXPECT_TRUE(succeeded);
}

TEST(IniMemory, ShortageWhenTakingValues)
{
    {
        FailAfter fail(0);
        EXPECT_EQ(Ini_New(0), nullptr);
    }
    TempFile temp("[S]\nsmall = x\nbigLine1 = " + std::string(200, 'b') + "\n" +
                  [] {
                      std::string more;
                      for (int i = 2; i <= 6; ++i)
                          more += "bigLine" + std::to_string(i) + " = " + std::string(200, 'b') + "\n";
                      return more;
                  }());
    IniPtr ini(Ini_New(0));
    ASSERT_EQ(Ini_ReadFromFile(ini.get(), temp.path()), 0);
    char *text = nullptr;
    ASSERT_EQ(Ini_GetPointerToString(ini.get(), "S", "small", &text), 1);
    {
        // The 1200-byte value needs a larger scratch buffer, which cannot be had.
        FailAfter fail(0);
        EXPECT_EQ(Ini_GetPointerToString(ini.get(), "S", "big", &text), INI_ERR_NO_MEMORY);
        EXPECT_EQ(text, nullptr);
    }
    {
        FailAfter fail(0);
        char *copy = reinterpret_cast<char *>(1);
        EXPECT_EQ(Ini_GetStringCopy(ini.get(), "S", "big", &copy), INI_ERR_NO_MEMORY);
        EXPECT_EQ(copy, nullptr);
    }
    ASSERT_EQ(Ini_GetPointerToString(ini.get(), "S", "big", &text), 1);
    EXPECT_EQ(std::strlen(text), 1200u);
}

// --- the shipped language file ------------------------------------------------------------

TEST(LanguageFile, ShippedCatalogueIsCompleteAndWindows1252)
{
    const std::string path = VELDIX_SOURCE_DIR "/resources/language.ini";
    const std::string bytes = fileBytes(path);
    ASSERT_FALSE(bytes.empty()) << path;

    IniPtr ini(Ini_New(0));
    ASSERT_EQ(Ini_ReadFromFile(ini.get(), path.c_str()), 0);
    ASSERT_EQ(Ini_NumberOfSections(ini.get()), 2);
    const char *expectedNames[] = {"Espa\xF1ol", "English"}; // Spanish first: section 1
    for (int n = 1; n <= 2; ++n) {
        char *section = nullptr;
        ASSERT_EQ(Ini_NthSectionName(ini.get(), n, &section), 1);
        EXPECT_STREQ(section, expectedNames[n - 1]);
        EXPECT_EQ(Ini_NumberOfItems(ini.get(), section), 201) << section; // 0000..0200, no extras
        for (int i = 0; i <= 200; ++i) {
            char item[8];
            std::snprintf(item, sizeof item, "%04d", i);
            char *text = nullptr;
            ASSERT_EQ(Ini_GetStringCopy(ini.get(), section, item, &text), 1) << section << " " << item;
            EXPECT_GT(std::strlen(text), 0u) << section << " " << item;
            std::free(text);
        }
    }

    // Byte-level checks: no line the reader would cut, only CR and LF as control bytes, and
    // every byte above 127 a printable Windows-1252 character, not part of a UTF-8 sequence.
    std::size_t lineLength = 0;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        const auto c = static_cast<unsigned char>(bytes[i]);
        const auto next = i + 1 < bytes.size() ? static_cast<unsigned char>(bytes[i + 1]) : 0;
        if (c == '\r' || c == '\n') {
            lineLength = 0;
            continue;
        }
        EXPECT_LE(++lineLength, 255u) << "byte " << i;
        EXPECT_GE(c, 0x20) << "control byte at " << i;
        EXPECT_NE(c, 0x7F) << "byte " << i;
        const bool unassigned = c == 0x81 || c == 0x8D || c == 0x8F || c == 0x90 || c == 0x9D;
        const bool invisible = c == 0xA0 || c == 0xAD; // no-break space, soft hyphen
        EXPECT_FALSE(unassigned || invisible) << "byte " << i;
        EXPECT_FALSE(c >= 0xC2 && c <= 0xF4 && next >= 0x80 && next <= 0xBF) << "UTF-8 sequence at byte " << i;
    }
}

} // namespace
