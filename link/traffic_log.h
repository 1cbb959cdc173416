// Traffic log of the meter link: the last frames sent and received on any link kind, with
// when they went, and the result of the exchange they belong to, for a technician who must
// tell a time-out from a CRC error from the meter's refusal.
//
// Off by default. While off, the engine pays one test of a flag per frame; while on, each
// frame is copied into a bounded ring (the oldest frame goes first). Single-threaded, like
// the engine.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace traffic {

constexpr std::size_t kCapacity = 10000;  // frames kept
// Bytes kept of one frame: the longest Modbus TCP frame (6-byte header, 258-byte PDU) and
// the longest RTU frame (260) both fit; a longer burst is cut, its full size still noted.
constexpr std::size_t kMaxFrameBytes = 264;

enum class Direction : unsigned char { kSent, kReceived };
enum class Link : unsigned char { kSerialRtu, kModbusTcp, kRtuOverTcp };

struct Frame {
  std::uint64_t number = 0;    // 1 for the first frame since start-up or Clear
  std::int64_t monoMs = 0;     // steady clock, ms: for intervals between frames
  std::int64_t wallMs = 0;     // ms since 1970 UTC: for display
  std::uint32_t exchange = 0;  // frames of one exchange share it
  int result = 0;              // the engine's result code; 0 while the exchange runs
  Direction direction = Direction::kSent;
  Link link = Link::kSerialRtu;
  std::uint16_t size = 0;  // bytes on the wire; at most kMaxFrameBytes of them are kept
  unsigned char bytes[kMaxFrameBytes] = {};
  std::size_t Kept() const { return size < kMaxFrameBytes ? size : kMaxFrameBytes; }
};

namespace detail {
inline bool g_on = false;
}
// The engine's test before recording: true while the log is open.
inline bool On() { return detail::g_on; }
void SetOn(bool on);

// Notes one frame. A sent frame starts a new exchange.
void Record(Direction direction, Link link, const unsigned char* bytes, std::size_t size);
// The exchange ended with the engine's result code: its frames get it.
void Finish(int result);

std::size_t Count();
// Frame i, oldest first (i < Count()).
const Frame& At(std::size_t i);
// Frames recorded since start-up, including those the bound has dropped: tells a reader
// what is new since it last looked.
std::uint64_t Total();
void Clear();

// Words of the summaries and exports, in the chosen language. English when none is given.
enum class Word {
  kSlave,
  kFunction,
  kAddress,
  kCount,
  kBytes,
  kValues,
  kValue,
  kException,
  kCrcError,
  kIncomplete,
  kSent,
  kReceived,
  kOk,
  kNoAnswer,
  kBadAnswer,
  kExceptionResult,
  kTimeout,
  kLinkClosed,
  kLinkError,
  kRunning,
  kMeaning1,
  kMeaning2,
  kMeaning3,
  kMeaning4,
  kMeaning5,
  kMeaning6,
  kMeaning10,
  kMeaning11,
  kColumnTime,
  kColumnMs,
  kColumnDirection,
  kColumnLink,
  kColumnBytes,
  kColumnSummary,
  kColumnResult,
  kCount_  // number of words
};
using WordSource = const char* (*)(Word word);
void SetWords(WordSource source);
const char* WordText(Word word);

// One-line reading of a frame: slave, function, address and count of a request, byte
// count of a read answer, echo of a write answer, or an exception code and its meaning.
std::string Summary(const Frame& f);
// The engine's result code in words: "OK", "time-out", "link closed", ...
std::string ResultText(int result);
const char* LinkName(Link link);
// Hex bytes, space-separated: "01 03 04 00 ...".
std::string Hex(const Frame& f);
// Local wall-clock time of the frame: "2026-12-06 21:40:05.123".
std::string Timestamp(const Frame& f);

// Every frame, one per line (text), or a header and one row per frame with `separator`
// between fields (CSV; fields quoted where they must be). Texts are as the words give them.
std::string ExportText();
std::string ExportCsv(char separator);

}  // namespace traffic
