#include "app/win/png_file.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace zolt::win {
namespace {

uint32_t BigEndian(const std::string& s, std::size_t at) {
    return (uint32_t{static_cast<uint8_t>(s[at])} << 24) |
           (uint32_t{static_cast<uint8_t>(s[at + 1])} << 16) |
           (uint32_t{static_cast<uint8_t>(s[at + 2])} << 8) |
           uint32_t{static_cast<uint8_t>(s[at + 3])};
}

uint32_t Crc(const std::string& s, std::size_t from, std::size_t length) {
    uint32_t c = 0xFFFFFFFFu;
    for (std::size_t i = from; i < from + length; ++i) {
        c ^= static_cast<uint8_t>(s[i]);
        for (int k = 0; k < 8; ++k) {
            c = (c & 1u) != 0 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        }
    }
    return ~c;
}

// Splits a PNG into its chunks, checking every CRC, and inflates the stored IDAT blocks.
struct Decoded {
    std::vector<std::string> types;
    std::string header;
    std::string raw;
};

Decoded Decode(const std::string& png) {
    Decoded d;
    EXPECT_EQ(png.substr(0, 8), std::string("\x89PNG\r\n\x1A\n", 8));
    std::string zlib;
    std::size_t at = 8;
    while (at + 12 <= png.size()) {
        const uint32_t length = BigEndian(png, at);
        const std::string type = png.substr(at + 4, 4);
        EXPECT_EQ(BigEndian(png, at + 8 + length), Crc(png, at + 4, length + 4)) << type;
        d.types.push_back(type);
        const std::string data = png.substr(at + 8, length);
        if (type == "IHDR") {
            d.header = data;
        } else if (type == "IDAT") {
            zlib += data;
        }
        at += 12 + length;
    }
    EXPECT_EQ(at, png.size());
    std::size_t p = 2;  // the zlib header
    bool last = false;
    while (!last && p + 5 <= zlib.size()) {
        last = (zlib[p] & 1) != 0;
        const std::size_t n =
            static_cast<uint8_t>(zlib[p + 1]) | (static_cast<uint8_t>(zlib[p + 2]) << 8);
        const std::size_t nn =
            static_cast<uint8_t>(zlib[p + 3]) | (static_cast<uint8_t>(zlib[p + 4]) << 8);
        EXPECT_EQ(n ^ 0xFFFFu, nn);
        d.raw += zlib.substr(p + 5, n);
        p += 5 + n;
    }
    EXPECT_TRUE(last);
    uint32_t a = 1, b = 0;
    for (char c : d.raw) {
        a = (a + static_cast<uint8_t>(c)) % 65'521u;
        b = (b + a) % 65'521u;
    }
    EXPECT_EQ(BigEndian(zlib, p), (b << 16) | a);
    return d;
}

TEST(Png, EncodesRowsWithTheirFilterByteAndValidChunks) {
    const std::vector<uint8_t> rgb = {255, 0, 0, 0, 255, 0, 0, 0, 255, 1, 2, 3};  // 2 x 2
    const Decoded d = Decode(EncodePng(2, 2, rgb));
    EXPECT_EQ(d.types, (std::vector<std::string>{"IHDR", "IDAT", "IEND"}));
    EXPECT_EQ(d.header, std::string("\0\0\0\2\0\0\0\2\x08\x02\0\0\0", 13));
    EXPECT_EQ(d.raw, std::string("\0\xFF\0\0\0\xFF\0\0\0\0\xFF\1\2\3", 14));
}

TEST(Png, SplitsLargePicturesIntoSeveralStoredBlocks) {
    const uint32_t w = 300, h = 200;  // 180,200 bytes of rows: three blocks
    std::vector<uint8_t> rgb(static_cast<std::size_t>(w) * h * 3);
    for (std::size_t i = 0; i < rgb.size(); ++i) {
        rgb[i] = static_cast<uint8_t>(i * 7);
    }
    const Decoded d = Decode(EncodePng(w, h, rgb));
    ASSERT_EQ(d.raw.size(), (w * 3 + 1) * h);
    for (uint32_t y = 0; y < h; ++y) {
        ASSERT_EQ(d.raw[y * (w * 3 + 1)], '\0');
        ASSERT_EQ(static_cast<uint8_t>(d.raw[y * (w * 3 + 1) + 1]), rgb[y * w * 3]);
    }
}

TEST(Png, RefusesSizesThatDoNotMatchThePixels) {
    EXPECT_TRUE(EncodePng(0, 1, {}).empty());
    EXPECT_TRUE(EncodePng(2, 2, std::vector<uint8_t>(11)).empty());
    EXPECT_TRUE(EncodePng(20'000, 1, std::vector<uint8_t>(60'000)).empty());
}

}  // namespace
}  // namespace zolt::win
