// Decoder of the icon files the link indicator ships: the first image of an ICO file when it
// is a 32-bit uncompressed bitmap with its own alpha, the kind veldix-mkicons writes. Decoding
// these here spares the start-up Qt's image-format plugins (a directory scan, the ICO plugin
// and the probing of the others); any other kind of file is left to them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace ico {

struct Image {
  int width = 0;
  int height = 0;
  std::vector<std::uint32_t> pixels;  // 0xAARRGGBB, not premultiplied, top row first
};

// True and *out filled when `data` (size bytes of a whole file) is an ICO file whose first
// image this decoder reads; false, *out untouched, for anything else, damaged or hostile
// files included: every offset and length is checked against size before it is used.
bool Decode(const unsigned char* data, std::size_t size, Image* out);

}  // namespace ico
