// Reading and querying a 1 MB language file: our INI reader against inih (the Debian
// library) reading the same file in the same run.
//
// The file is generated here, the same bytes on every run: many language sections of items
// "0000".."0199" with texts like the tool's (accented Windows-1252 letters, quoted texts,
// \n \t \xHH and \\ escapes, ';' and '=' inside values), comment lines, blank lines and
// multi-line help items (<base>Line1, Line2, ...). Every line stays within inih's 200-byte
// line limit, no value holds " ;" (inih's inline comment) and no line starts with white
// space (inih's continuation line), so both readers see the same sections and items.
//
// One run of ours:  Ini_New, Ini_ReadFromFile, Ini_GetStringCopy (and free) of every item
//                   "0000".."0199" of four sections, Ini_Dispose.
// One run of inih:  ini_parse with a handler that stores each value in a std::map keyed by
//                   section and name (first one kept, as ours), the same lookups copying
//                   the value out, the map destroyed.
// Ours does more per item (multi-line joining at the end of the read, escape processing on
// lookup, names compared without regard to case); inih's handler does none of that.
// Runs alternate between the two; the medians are printed on one line. Usage:
//   ini_vs_inih [--runs N] [--keep FILE]
#include <ini.h>  // inih

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "lang/ini.h"  // ours: the same base name as inih's header

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t kTargetBytes = 1 << 20;
constexpr int kItemsPerSection = 200;
constexpr int kLookupSections = 4;

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  const std::size_t n = v.size();
  return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2.0;
}

// ---------------------------------------------------------------- the file

// xorshift32: the same sequence on every compiler and library.
struct Rng {
  std::uint32_t x = 0x9E3779B9u;
  std::uint32_t Next() {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    return x;
  }
  std::size_t Below(std::size_t n) { return Next() % n; }
};

// Words of the tool's texts, Windows-1252 (\xF3 ó, \xE9 é, \xED í, \xE1 á, \xF1 ñ, \xFA ú).
const char* const kWords[] = {
    "Tensi\xF3n",
    "corriente",
    "potencia",
    "activa",
    "reactiva",
    "aparente",
    "energ\xED"
    "a",
    "tarifa",
    "contador",
    "configuraci\xF3n",
    "del",
    "de",
    "la",
    "el",
    "equipo",
    "pantalla",
    "medida",
    "fase",
    "neutro",
    "frecuencia",
    "factor",
    "conexi\xF3n",
    "puerto",
    "velocidad",
    "paridad",
    "direcci\xF3n",
    "esclavo",
    "respuesta",
    "petici\xF3n",
    "error",
    "valor",
    "m\xE1ximo",
    "m\xEDnimo",
    "relaci\xF3n",
    "transformador",
    "primario",
    "secundario",
    "fecha",
    "hora",
    "parcial",
    "total",
    "importada",
    "exportada",
    "inductiva",
    "capacitiva",
    "se\xF1"
    "al",
    "n\xFAmero",
    "versi\xF3n",
    "Voltage",
    "current",
    "power",
    "meter",
    "settings",
    "display",
    "clock",
    "tariff",
    "reset",
    "partial",
    "counter",
    "address",
    "speed",
    "answer",
    "(kWh)",
    "(V)",
    "(A)",
    "L1-N",
    "L2-N",
    "L3-N",
    "L1;L2;L3",
    "P=V\xB7I",
    "50/5",
    "100%",
};

std::string Text(Rng& r, std::size_t maxBytes) {
  std::string t;
  const std::size_t words = 2 + r.Below(9);
  for (std::size_t w = 0; w < words; ++w) {
    const std::string word = kWords[r.Below(sizeof kWords / sizeof kWords[0])];
    if (t.size() + word.size() + 8 > maxBytes) break;
    if (!t.empty()) t += ' ';
    t += word;
    // Escapes of the language file: line break, tab, a byte by code, a backslash.
    switch (r.Below(24)) {
      case 0: t += "\\n"; break;
      case 1: t += "\\t"; break;
      case 2: t += "\\x41"; break;
      case 3: t += "\\\\"; break;
      default: break;
    }
  }
  if (t.empty()) t = "Valor";
  return t;
}

struct GeneratedFile {
  std::vector<std::string> sections;  // in file order
  std::size_t bytes = 0;
  std::size_t items = 0;  // item lines, before multi-line joining
};

GeneratedFile Generate(const std::string& path) {
  Rng r;
  GeneratedFile g;
  std::string out;
  out.reserve(kTargetBytes + 64 * 1024);
  out +=
      "; VELDIX-MID language file, generated for the INI benchmark.\r\n"
      "; Code page: Windows-1252. \\n in a text is a line break.\r\n\r\n";
  for (int s = 1; out.size() < kTargetBytes; ++s) {
    char name[64];
    std::snprintf(name, sizeof name, s % 2 ? "Espa\xF1ol %03d" : "English %03d", s);
    g.sections.push_back(name);
    out += '[';
    out += name;
    out += "]\r\n";
    for (int i = 0; i < kItemsPerSection; ++i) {
      if (i % 10 == 0) {
        char c[96];
        std::snprintf(c, sizeof c, "\r\n; %04d-%04d %s\r\n", i, i + 9, Text(r, 60).c_str());
        out += c;
      }
      char item[8];
      std::snprintf(item, sizeof item, "%04d", i);
      out += item;
      out += " = ";
      const std::string t = Text(r, 150);
      if (r.Below(6) == 0) {  // a quoted text keeps its outer blanks
        out += "\" ";
        out += t;
        out += " \"";
      } else {
        out += t;
      }
      out += "\r\n";
      ++g.items;
    }
    // Help texts too long for one line, joined by the reader: HelpNNLine1, Line2, ...
    out += "\r\n; Help texts\r\n";
    for (int h = 1; h <= 5; ++h) {
      const int lines = 2 + static_cast<int>(r.Below(4));
      for (int l = 1; l <= lines; ++l) {
        char n[32];
        std::snprintf(n, sizeof n, "Help%02dLine%d = ", h, l);
        out += n;
        out += Text(r, 150);
        out += "\\n\r\n";
        ++g.items;
      }
    }
    out += "\r\n";
  }
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (!f || std::fwrite(out.data(), 1, out.size(), f) != out.size() || std::fclose(f) != 0) {
    std::fprintf(stderr, "cannot write %s\n", path.c_str());
    std::exit(1);
  }
  g.bytes = out.size();
  return g;
}

// ---------------------------------------------------------------- the two readers

struct Lookups {
  std::vector<std::string> sections;
  std::vector<std::string> items;
};

struct Timing {
  double readMs;
  double lookupMs;
  double totalMs;
  int found;
};

Timing RunOurs(const std::string& path, const Lookups& q) {
  const auto t0 = Clock::now();
  IniText ini = Ini_New(0);
  if (Ini_ReadFromFile(ini, path.c_str()) != 0) {
    std::fprintf(stderr, "Ini_ReadFromFile failed\n");
    std::exit(1);
  }
  const auto t1 = Clock::now();
  int found = 0;
  for (const std::string& s : q.sections)
    for (const std::string& i : q.items) {
      char* copy = nullptr;
      if (Ini_GetStringCopy(ini, s.c_str(), i.c_str(), &copy) == 1) ++found;
      std::free(copy);
    }
  const auto t2 = Clock::now();
  Ini_Dispose(ini);
  const auto t3 = Clock::now();
  return {Ms(t1 - t0), Ms(t2 - t1), Ms(t3 - t0), found};
}

using InihMap = std::map<std::string, std::string>;

std::string Key(const char* section, const char* name) {
  std::string k;
  k.reserve(std::strlen(section) + std::strlen(name) + 1);
  k += section;
  k += '\x1f';  // never part of a section name or an item name here
  k += name;
  return k;
}

int StoreItem(void* user, const char* section, const char* name, const char* value) {
  static_cast<InihMap*>(user)->emplace(Key(section, name), value);
  return 1;
}

Timing RunInih(const std::string& path, const Lookups& q) {
  const auto t0 = Clock::now();
  auto* map = new InihMap;
  if (ini_parse(path.c_str(), StoreItem, map) != 0) {
    std::fprintf(stderr, "ini_parse failed\n");
    std::exit(1);
  }
  const auto t1 = Clock::now();
  int found = 0;
  for (const std::string& s : q.sections)
    for (const std::string& i : q.items) {
      const auto it = map->find(Key(s.c_str(), i.c_str()));
      if (it == map->end()) continue;
      std::string copy = it->second;
      asm volatile("" : : "g"(copy.data()) : "memory");
      ++found;
    }
  const auto t2 = Clock::now();
  delete map;
  const auto t3 = Clock::now();
  return {Ms(t1 - t0), Ms(t2 - t1), Ms(t3 - t0), found};
}

}  // namespace

int main(int argc, char* argv[]) {
  int runs = 15;
  std::string keep;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--runs" && i + 1 < argc)
      runs = std::max(1, std::atoi(argv[++i]));
    else if (a == "--keep" && i + 1 < argc)
      keep = argv[++i];
    else {
      std::fprintf(stderr, "usage: ini_vs_inih [--runs N] [--keep FILE]\n");
      return 2;
    }
  }
  const std::string path = keep.empty()
                               ? (std::filesystem::temp_directory_path() /
                                  ("veldix-bench-language-" + std::to_string(::getpid()) + ".ini"))
                                     .string()
                               : keep;
  const GeneratedFile g = Generate(path);

  Lookups q;
  const std::size_t n = g.sections.size();
  for (std::size_t k = 0; k < kLookupSections; ++k)
    q.sections.push_back(g.sections[k * (n - 1) / (kLookupSections - 1)]);
  for (int i = 0; i < kItemsPerSection; ++i) {
    char item[8];
    std::snprintf(item, sizeof item, "%04d", i);
    q.items.push_back(item);
  }
  const int expected = static_cast<int>(q.sections.size() * q.items.size());

  // One untimed run of each warms the file cache and the allocator.
  RunOurs(path, q);
  RunInih(path, q);
  std::vector<double> oursRead, oursLook, oursTotal, inihRead, inihLook, inihTotal;
  for (int r = 0; r < runs; ++r) {
    const Timing a = RunOurs(path, q);
    const Timing b = RunInih(path, q);
    if (a.found != expected || b.found != expected) {
      std::fprintf(stderr, "lookups found: ours %d, inih %d, of %d\n", a.found, b.found, expected);
      return 1;
    }
    oursRead.push_back(a.readMs);
    oursLook.push_back(a.lookupMs);
    oursTotal.push_back(a.totalMs);
    inihRead.push_back(b.readMs);
    inihLook.push_back(b.lookupMs);
    inihTotal.push_back(b.totalMs);
  }
  if (keep.empty()) std::remove(path.c_str());

  const double ours = Median(oursTotal);
  const double inih = Median(inihTotal);
  std::printf(
      "INI reader vs inih, %.2f MB language file (%zu sections, %zu item lines), %d lookups, "
      "median of %d runs: ours %.2f ms (read %.2f, lookups %.2f), inih %.2f ms (parse %.2f, "
      "lookups %.2f), ours/inih %.2f (target <= 1: %s)\n",
      g.bytes / 1048576.0, g.sections.size(), g.items, expected, runs, ours, Median(oursRead),
      Median(oursLook), inih, Median(inihRead), Median(inihLook), ours / inih,
      ours <= inih ? "met" : "NOT met");
  return 0;
}
