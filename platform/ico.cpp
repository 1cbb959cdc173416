// ICO decoder for 32-bit BI_RGB images. Layout (all little-endian):
//   ICONDIR       6 bytes: reserved 0, type 1 (icon), image count
//   ICONDIRENTRY 16 bytes per image: width, height (0 = 256), colours, reserved, planes,
//                bit count, byte count of the image data, offset of the image data
//   image data:  BITMAPINFOHEADER (40 bytes; its height counts the colour rows and the mask
//                rows), then the colour rows bottom-up, 4 bytes B G R A per pixel, then the
//                1-bit AND mask rows bottom-up, each padded to 4 bytes.
#include "platform/ico.h"

namespace ico {
namespace {

constexpr std::size_t kDirBytes = 6;
constexpr std::size_t kEntryBytes = 16;
constexpr std::size_t kInfoBytes = 40;
constexpr std::int64_t kMaxSide = 256;  // the format's own limit

std::uint32_t U16(const unsigned char* p) {
  return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8;
}
std::uint32_t U32(const unsigned char* p) { return U16(p) | U16(p + 2) << 16; }
std::int64_t S32(const unsigned char* p) {
  return static_cast<std::int64_t>(static_cast<std::int32_t>(U32(p)));
}

}  // namespace

bool Decode(const unsigned char* data, std::size_t size, Image* out) {
  if (!data || !out || size < kDirBytes + kEntryBytes) return false;
  if (U16(data) != 0 || U16(data + 2) != 1 || U16(data + 4) == 0) return false;
  const unsigned char* entry = data + kDirBytes;
  const std::uint64_t length = U32(entry + 8), offset = U32(entry + 12);
  if (offset > size || length > size - offset || length < kInfoBytes) return false;

  const unsigned char* info = data + offset;
  const std::int64_t width = S32(info + 4), doubled = S32(info + 8);
  if (U32(info) != kInfoBytes || U16(info + 12) != 1 || U16(info + 14) != 32 || U32(info + 16) != 0)
    return false;  // another header, bit depth or a compression: Qt's plugins read those
  // Only bottom-up images; the height covers the colour rows and the mask rows.
  if (width < 1 || width > kMaxSide || doubled < 2 || doubled > 2 * kMaxSide || doubled % 2 != 0)
    return false;
  const std::int64_t height = doubled / 2;
  const std::int64_t colourRow = width * 4, maskRow = (width + 31) / 32 * 4;
  const std::int64_t needed =
      static_cast<std::int64_t>(kInfoBytes) + (colourRow + maskRow) * height;
  if (static_cast<std::uint64_t>(needed) > length) return false;

  const unsigned char* colours = info + kInfoBytes;
  Image img;
  img.width = static_cast<int>(width);
  img.height = static_cast<int>(height);
  img.pixels.resize(static_cast<std::size_t>(width * height));
  bool anyAlpha = false;
  for (std::int64_t y = 0; y < height; ++y) {
    const unsigned char* row = colours + (height - 1 - y) * colourRow;
    std::uint32_t* dst = img.pixels.data() + y * width;
    for (std::int64_t x = 0; x < width; ++x) {
      const unsigned char* px = row + x * 4;
      dst[x] = U32(px);  // B G R A in memory is 0xAARRGGBB read little-endian
      anyAlpha |= px[3] != 0;
    }
  }
  // A 32-bit image whose alpha is all zero means its AND mask instead: left to Qt.
  if (!anyAlpha) return false;
  *out = std::move(img);
  return true;
}

}  // namespace ico
