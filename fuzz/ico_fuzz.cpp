// Fuzz target: the indicator's ICO decoder. The input is the file.
//
// Checked (besides the sanitizers' view of every read): an accepted file gives an image of 1
// to 256 pixels a side with one pixel per place and some alpha; a refused one leaves the
// output as it was.
#include <cstddef>
#include <cstdint>

#include "fuzz_check.h"
#include "platform/ico.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  ico::Image img;
  img.width = -7;
  if (!ico::Decode(data, size, &img)) {
    Check(img.width == -7 && img.pixels.empty(), "a refused file changed the output");
    return 0;
  }
  Check(img.width >= 1 && img.width <= 256 && img.height >= 1 && img.height <= 256,
        "image size out of range");
  Check(img.pixels.size() == static_cast<std::size_t>(img.width) * img.height,
        "pixel count differs from the size");
  bool alpha = false;
  for (std::uint32_t px : img.pixels) alpha |= (px >> 24) != 0;
  Check(alpha, "an image without alpha was accepted");
  return 0;
}
