// The artwork the windows of both platforms are built with: the icon file's 13 images and the
// banner bitmap, checked byte by byte, and the same files as the Qt window loads them.
#include <gtest/gtest.h>

#include <QIcon>
#include <QImage>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "tests/support/test_support.h"

namespace zolt {
namespace {

const std::string ResourceDir = ZOLT_RESOURCE_DIR;

uint16_t U16(const std::string& b, std::size_t at) {
    return static_cast<uint16_t>(static_cast<uint8_t>(b.at(at)) | static_cast<uint8_t>(b.at(at + 1))
                                                                      << 8);
}
uint32_t U32(const std::string& b, std::size_t at) {
    return U16(b, at) | static_cast<uint32_t>(U16(b, at + 2)) << 16;
}

TEST(Artwork, IconFileHoldsThirteenImagesOfTheListedSizesAndDepths) {
    const std::string ico = testing::ReadFile(ResourceDir + "/zolt.ico");
    ASSERT_GE(ico.size(), 6u);
    EXPECT_EQ(U16(ico, 0), 0);
    EXPECT_EQ(U16(ico, 2), 1);  // an icon, not a cursor
    ASSERT_EQ(U16(ico, 4), 13);

    struct Image {
        uint32_t size;
        uint16_t bits;
    };
    const std::vector<Image> expected{{48, 4},  {32, 4},  {24, 4}, {16, 4},   {48, 8},
                                      {32, 8},  {24, 8},  {16, 8}, {256, 32}, {48, 32},
                                      {32, 32}, {24, 32}, {16, 32}};
    uint32_t end = 6 + 16 * 13;
    for (std::size_t i = 0; i < expected.size(); ++i) {
        SCOPED_TRACE(i);
        const std::size_t e = 6 + 16 * i;
        const uint32_t width =
            static_cast<uint8_t>(ico.at(e)) == 0 ? 256 : static_cast<uint8_t>(ico.at(e));
        const uint32_t height =
            static_cast<uint8_t>(ico.at(e + 1)) == 0 ? 256 : static_cast<uint8_t>(ico.at(e + 1));
        EXPECT_EQ(width, expected[i].size);
        EXPECT_EQ(height, expected[i].size);
        EXPECT_EQ(static_cast<uint8_t>(ico.at(e + 2)), expected[i].bits == 4 ? 16 : 0);
        EXPECT_EQ(U16(ico, e + 4), 1);  // planes
        EXPECT_EQ(U16(ico, e + 6), expected[i].bits);
        const uint32_t length = U32(ico, e + 8);
        const uint32_t offset = U32(ico, e + 12);
        EXPECT_EQ(offset, end);  // images follow one another with no gap
        ASSERT_LE(static_cast<uint64_t>(offset) + length, ico.size());
        end = offset + length;

        const std::string image = ico.substr(offset, length);
        if (expected[i].size == 256) {
            EXPECT_EQ(image.substr(0, 8), std::string("\x89PNG\r\n\x1a\n", 8));
            QImage png;
            ASSERT_TRUE(png.loadFromData(reinterpret_cast<const uchar*>(image.data()),
                                         static_cast<int>(image.size()), "PNG"));
            EXPECT_EQ(png.size(), QSize(256, 256));
            continue;
        }
        // A device-independent bitmap: the header, the palette, the colour rows and the mask rows.
        ASSERT_GE(image.size(), 40u);
        EXPECT_EQ(U32(image, 0), 40u);
        EXPECT_EQ(U32(image, 4), expected[i].size);
        EXPECT_EQ(U32(image, 8), 2 * expected[i].size);  // colour image and mask together
        EXPECT_EQ(U16(image, 12), 1);
        EXPECT_EQ(U16(image, 14), expected[i].bits);
        EXPECT_EQ(U32(image, 16), 0u);  // uncompressed
        const uint32_t s = expected[i].size;
        const uint32_t palette = expected[i].bits <= 8 ? 4u << expected[i].bits : 0;
        const uint32_t colourRow = (s * expected[i].bits + 31) / 32 * 4;
        const uint32_t maskRow = (s + 31) / 32 * 4;
        EXPECT_EQ(image.size(), 40 + palette + s * colourRow + s * maskRow);
    }
    EXPECT_EQ(end, ico.size());
}

TEST(Artwork, BannerIsA24BitStripOfOneColour) {
    const std::string bmp = testing::ReadFile(ResourceDir + "/banner.bmp");
    ASSERT_GE(bmp.size(), 54u);
    EXPECT_EQ(bmp.substr(0, 2), "BM");
    EXPECT_EQ(U32(bmp, 2), bmp.size());
    EXPECT_EQ(U32(bmp, 18), 476u);
    EXPECT_EQ(U32(bmp, 22), 9u);
    EXPECT_EQ(U16(bmp, 28), 24);
    EXPECT_EQ(U32(bmp, 30), 0u);
    ASSERT_EQ(bmp.size(), 54u + 476 * 3 * 9);  // 1,428-byte rows need no padding
    for (std::size_t at = 54; at < bmp.size(); at += 3) {
        ASSERT_EQ(static_cast<uint8_t>(bmp[at]), 215) << at;  // blue, green, red
        ASSERT_EQ(static_cast<uint8_t>(bmp[at + 1]), 232) << at;
        ASSERT_EQ(static_cast<uint8_t>(bmp[at + 2]), 235) << at;
    }

    // The same strip as the window loads it from its built-in resources.
    const QImage banner(QStringLiteral(":/zolt/banner.bmp"));
    ASSERT_EQ(banner.size(), QSize(476, 9));
    EXPECT_EQ(banner.pixelColor(0, 0), QColor(235, 232, 215));
    EXPECT_EQ(banner.pixelColor(475, 8), QColor(235, 232, 215));
}

TEST(Artwork, ThemePngsComeAtTheirSizesWithTransparentCorners) {
    for (int size : {16, 24, 32, 48, 64, 128, 256}) {
        SCOPED_TRACE(size);
        const QImage file(
            QString::fromStdString(ResourceDir + "/zolt-" + std::to_string(size) + ".png"));
        ASSERT_EQ(file.size(), QSize(size, size));
        EXPECT_TRUE(file.hasAlphaChannel());
        EXPECT_EQ(file.pixelColor(0, 0).alpha(), 0);
        EXPECT_EQ(file.pixelColor(size / 2, size / 2).alpha(), 255);
        const QImage built(QStringLiteral(":/zolt/zolt-%1.png").arg(size));
        EXPECT_EQ(built, file);
    }
}

}  // namespace
}  // namespace zolt
