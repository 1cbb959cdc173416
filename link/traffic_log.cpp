#include "link/traffic_log.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <vector>

#include "link/frames.h"

namespace traffic {

namespace {

std::vector<Frame> g_ring;  // kCapacity slots once the log was first opened
std::size_t g_first = 0;    // index of the oldest frame
std::size_t g_count = 0;
std::uint64_t g_total = 0;
std::uint32_t g_exchange = 0;
bool g_running = false;  // an exchange has frames and no result yet
WordSource g_words = nullptr;

constexpr const char* kEnglish[] = {"slave",
                                    "fn",
                                    "address",
                                    "count",
                                    "bytes",
                                    "values",
                                    "value",
                                    "exception",
                                    "CRC error",
                                    "incomplete frame",
                                    "sent",
                                    "received",
                                    "OK",
                                    "no answer",
                                    "bad answer",
                                    "exception",
                                    "time-out",
                                    "link closed",
                                    "link error",
                                    "in progress",
                                    "illegal function",
                                    "illegal data address",
                                    "illegal data value",
                                    "slave device failure",
                                    "acknowledge",
                                    "slave device busy",
                                    "gateway path unavailable",
                                    "gateway target failed to respond",
                                    "time",
                                    "ms",
                                    "direction",
                                    "link",
                                    "bytes (hex)",
                                    "summary",
                                    "result"};
static_assert(sizeof kEnglish / sizeof kEnglish[0] == static_cast<std::size_t>(Word::kCount_));

std::int64_t Ms(std::chrono::nanoseconds d) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(d).count();
}

Frame& Slot(std::size_t i) { return g_ring[(g_first + i) % kCapacity]; }

void Append(std::string* out, const char* format, long long a) {
  char text[96];
  std::snprintf(text, sizeof text, format, a);
  *out += text;
}

// Reading of one Modbus PDU (function first), `n` bytes, of a request or an answer.
void DescribePdu(std::string* out, const unsigned char* p, std::size_t n, bool request) {
  if (n < 1) return;
  const unsigned fn = p[0];
  *out += ", ";
  *out += WordText(Word::kFunction);
  Append(out, " %lld", fn & 0x7Fu);
  if ((fn & 0x80u) != 0) {
    if (n < 2) return;
    const unsigned code = p[1];
    *out += ", ";
    *out += WordText(Word::kException);
    Append(out, " %02lld", code);
    const Word meanings[] = {Word::kMeaning1, Word::kMeaning2, Word::kMeaning3,
                             Word::kMeaning4, Word::kMeaning5, Word::kMeaning6};
    const char* meaning = nullptr;
    if (code >= 1 && code <= 6) meaning = WordText(meanings[code - 1]);
    if (code == 10) meaning = WordText(Word::kMeaning10);
    if (code == 11) meaning = WordText(Word::kMeaning11);
    if (meaning != nullptr) *out += std::string(": ") + meaning;
    return;
  }
  const auto word16 = [p](std::size_t at) {
    return static_cast<long long>(p[at] << 8 | p[at + 1]);
  };
  const auto field = [out](Word w, long long v) {
    *out += ", ";
    *out += WordText(w);
    Append(out, " %lld", v);
  };
  const bool read = fn >= 1 && fn <= 4;
  const bool writeOne = fn == 5 || fn == 6;
  const bool writeMany = fn == 15 || fn == 16;
  if (request && (read || writeOne || writeMany) && n >= 5) {
    field(Word::kAddress, word16(1));
    field(writeOne ? Word::kValue : Word::kCount, word16(3));
    if (writeMany && n >= 6) field(Word::kBytes, p[5]);
  } else if (!request && read && n >= 2) {
    field(Word::kBytes, p[1]);
    if (fn >= 3) field(Word::kValues, p[1] / 2);
  } else if (!request && (writeOne || writeMany) && n >= 5) {
    field(Word::kAddress, word16(1));
    field(writeOne ? Word::kValue : Word::kCount, word16(3));
  }
}

// A CSV field: quoted when it holds the separator, a quote or a line break.
std::string Field(const std::string& s, char separator) {
  if (s.find_first_of(std::string("\"\r\n") + separator) == std::string::npos) return s;
  std::string q = "\"";
  for (char c : s) q += c == '"' ? std::string("\"\"") : std::string(1, c);
  return q + "\"";
}

}  // namespace

void SetOn(bool on) {
  if (on && g_ring.empty()) g_ring.resize(kCapacity);
  detail::g_on = on;
}

void Record(Direction direction, Link link, const unsigned char* bytes, std::size_t size) {
  if (g_ring.empty()) g_ring.resize(kCapacity);
  if (direction == Direction::kSent) {
    ++g_exchange;
    g_running = true;
  }
  Frame* f = nullptr;
  if (g_count < kCapacity) {
    f = &Slot(g_count++);
  } else {
    f = &Slot(0);  // the oldest frame makes room
    g_first = (g_first + 1) % kCapacity;
  }
  f->number = ++g_total;
  f->monoMs = Ms(std::chrono::steady_clock::now().time_since_epoch());
  f->wallMs = Ms(std::chrono::system_clock::now().time_since_epoch());
  f->exchange = g_exchange;
  f->result = 0;
  f->direction = direction;
  f->link = link;
  f->size = static_cast<std::uint16_t>(size < 0xFFFF ? size : 0xFFFF);
  if (bytes != nullptr) std::memcpy(f->bytes, bytes, f->Kept());
}

void Finish(int result) {
  if (!g_running) return;
  g_running = false;
  for (std::size_t i = g_count; i > 0 && Slot(i - 1).exchange == g_exchange; --i)
    Slot(i - 1).result = result;
}

std::size_t Count() { return g_count; }
const Frame& At(std::size_t i) { return Slot(i); }
std::uint64_t Total() { return g_total; }

void Clear() {
  g_first = 0;
  g_count = 0;
  g_running = false;
}

void SetWords(WordSource source) { g_words = source; }

const char* WordText(Word word) {
  const auto i = static_cast<std::size_t>(word);
  const char* text = g_words != nullptr ? g_words(word) : nullptr;
  return text != nullptr && *text != '\0' ? text : kEnglish[i];
}

std::string Summary(const Frame& f) {
  const unsigned char* b = f.bytes;
  std::size_t n = f.Kept();
  const bool request = f.direction == Direction::kSent;
  std::string out;
  bool crcBad = false;
  if (f.link == Link::kModbusTcp) {
    // Header: transaction, protocol, length of what follows (unit identifier onwards).
    if (n < 8) return WordText(Word::kIncomplete);
    Append(&out, "tid %lld, ", b[0] << 8 | b[1]);
    const std::size_t announced = static_cast<std::size_t>(b[4] << 8 | b[5]);
    b += 6;
    n -= 6;
    if (announced < n) n = announced;
  } else {
    // RTU: slave, PDU, CRC (low byte first); the CRC over the whole frame is 0 when intact.
    if (n < 4) return WordText(Word::kIncomplete);
    crcBad = Orba_CRC16(b, n) != 0;
    n -= 2;
  }
  if (n < 2) return WordText(Word::kIncomplete);  // slave and function at least
  out += WordText(Word::kSlave);
  Append(&out, " %lld", b[0]);
  DescribePdu(&out, b + 1, n - 1, request);
  if (crcBad) out += std::string(", ") + WordText(Word::kCrcError);
  return out;
}

std::string ResultText(int result) {
  switch (result) {
    case 0: return WordText(Word::kRunning);
    case 1: return WordText(Word::kOk);
    case -1: return WordText(Word::kNoAnswer);
    case -2: return WordText(Word::kBadAnswer);
    case -3: return WordText(Word::kExceptionResult);
    case -4: return WordText(Word::kTimeout);
    case -5: return WordText(Word::kLinkClosed);
    default: break;
  }
  std::string out = WordText(Word::kLinkError);
  Append(&out, " %lld", result);
  return out;
}

const char* LinkName(Link link) {
  switch (link) {
    case Link::kSerialRtu: return "RTU";
    case Link::kModbusTcp: return "Modbus TCP";
    case Link::kRtuOverTcp: return "RTU/TCP";
  }
  return "";
}

std::string Hex(const Frame& f) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(3 * f.Kept());
  for (std::size_t i = 0; i < f.Kept(); ++i) {
    if (i > 0) out += ' ';
    out += kDigits[f.bytes[i] >> 4];
    out += kDigits[f.bytes[i] & 0x0F];
  }
  return out;
}

std::string Timestamp(const Frame& f) {
  const std::time_t seconds = static_cast<std::time_t>(f.wallMs / 1000);
  const std::tm* local = std::localtime(&seconds);
  char text[48] = "";
  if (local != nullptr) std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", local);
  char ms[8];
  std::snprintf(ms, sizeof ms, ".%03d", static_cast<int>(f.wallMs % 1000));
  return std::string(text) + ms;
}

std::string ExportText() {
  std::string out;
  for (std::size_t i = 0; i < g_count; ++i) {
    const Frame& f = At(i);
    out += Timestamp(f) + "  " +
           WordText(f.direction == Direction::kSent ? Word::kSent : Word::kReceived) + "  " +
           LinkName(f.link) + "  " + Hex(f) + "  | " + Summary(f) + " | " + ResultText(f.result) +
           "\r\n";
  }
  return out;
}

std::string ExportCsv(char separator) {
  const std::string sep(1, separator);
  std::string out;
  for (Word w = Word::kColumnTime; w <= Word::kColumnResult;
       w = static_cast<Word>(static_cast<int>(w) + 1))
    out += Field(WordText(w), separator) + (w == Word::kColumnResult ? "\r\n" : sep);
  for (std::size_t i = 0; i < g_count; ++i) {
    const Frame& f = At(i);
    out += Field(Timestamp(f), separator) + sep + std::to_string(f.monoMs) + sep +
           Field(WordText(f.direction == Direction::kSent ? Word::kSent : Word::kReceived),
                 separator) +
           sep + LinkName(f.link) + sep + Hex(f) + sep + Field(Summary(f), separator) + sep +
           Field(ResultText(f.result), separator) + "\r\n";
  }
  return out;
}

}  // namespace traffic
