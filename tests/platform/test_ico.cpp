// The indicator's own ICO decoder: the shipped images against Qt's ICO plugin, and damaged
// or hostile files refused without reading outside them.
#include <gtest/gtest.h>

#include <QFile>
#include <QImage>
#include <cstring>
#include <string>
#include <vector>

#include "platform/ico.h"

namespace {

std::vector<unsigned char> ReadAll(const QString& path) {
  QFile f(path);
  if (!f.open(QIODevice::ReadOnly)) return {};
  const QByteArray b = f.readAll();
  return {b.begin(), b.end()};
}

void Put32(std::vector<unsigned char>& v, std::size_t at, std::uint32_t x) {
  for (int i = 0; i < 4; ++i) v[at + static_cast<std::size_t>(i)] = (x >> (8 * i)) & 0xFF;
}

TEST(Ico, ShippedImagesDecodeAsQtDecodesThem) {
  for (const char* name : {"trffc_a.ico", "trffc_b.ico", "trffc_c.ico", "trffc_d.ico"}) {
    const QString path = QStringLiteral(VELDIX_BIN_DIR "/") + QLatin1String(name);
    const std::vector<unsigned char> bytes = ReadAll(path);
    ico::Image img;
    ASSERT_TRUE(ico::Decode(bytes.data(), bytes.size(), &img)) << name;
    const QImage ours = QImage(reinterpret_cast<const uchar*>(img.pixels.data()), img.width,
                               img.height, img.width * 4, QImage::Format_ARGB32)
                            .copy();
    const QImage qt = QImage(path).convertToFormat(QImage::Format_ARGB32);
    ASSERT_FALSE(qt.isNull()) << name;
    EXPECT_EQ(ours, qt) << name;
  }
}

TEST(Ico, DamagedFilesAreRefused) {
  const std::vector<unsigned char> good = ReadAll(QStringLiteral(VELDIX_BIN_DIR "/trffc_a.ico"));
  ASSERT_GT(good.size(), 62u);
  ico::Image img;
  // Every truncation: the colour rows and the mask must be there whole.
  for (std::size_t n = 0; n < good.size(); ++n)
    ASSERT_FALSE(ico::Decode(good.data(), n, &img)) << "cut to " << n;
  EXPECT_EQ(img.width, 0);

  struct Edit {
    const char* what;
    std::size_t at;
    std::uint32_t value;
    int bytes;
  } const edits[] = {
      {"not an icon (type 2)", 2, 2, 2},
      {"no images", 4, 0, 2},
      {"data past the end", 18, 0xFFFFFFF0u, 4},
      {"length past the end", 14, 0xFFFFFFFFu, 4},
      {"header of 108 bytes", 22, 108, 4},
      {"width 257", 26, 257, 4},
      {"top-down rows", 30, 0xFFFFFFC0u, 4},
      {"height past the data", 30, 512, 4},
      {"24 bits", 36, 24, 2},
      {"bit fields", 38, 3, 4},
  };
  for (const Edit& e : edits) {
    std::vector<unsigned char> bad = good;
    if (e.bytes == 2) {
      bad[e.at] = e.value & 0xFF;
      bad[e.at + 1] = (e.value >> 8) & 0xFF;
    } else {
      Put32(bad, e.at, e.value);
    }
    EXPECT_FALSE(ico::Decode(bad.data(), bad.size(), &img)) << e.what;
  }
  // Alpha all zero: the AND mask holds the transparency, which Qt's plugin applies.
  std::vector<unsigned char> opaque = good;
  for (std::size_t i = 22 + 40 + 3; i < 22 + 40 + 32 * 32 * 4; i += 4) opaque[i] = 0;
  EXPECT_FALSE(ico::Decode(opaque.data(), opaque.size(), &img));
  EXPECT_TRUE(ico::Decode(good.data(), good.size(), &img));
  EXPECT_EQ(img.width, 32);
}

}  // namespace
