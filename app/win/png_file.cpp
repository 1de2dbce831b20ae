#include "app/win/png_file.h"

#include <array>
#include <fstream>

namespace zolt::win {

namespace {

const std::array<uint32_t, 256>& CrcTable() {
    static const std::array<uint32_t, 256> table = [] {
        std::array<uint32_t, 256> t{};
        for (uint32_t n = 0; n < 256; ++n) {
            uint32_t c = n;
            for (int k = 0; k < 8; ++k) {
                c = (c & 1u) != 0 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            }
            t[n] = c;
        }
        return t;
    }();
    return table;
}

uint32_t Crc32(const std::string& bytes, std::size_t from) {
    uint32_t c = 0xFFFFFFFFu;
    for (std::size_t i = from; i < bytes.size(); ++i) {
        c = CrcTable()[(c ^ static_cast<uint8_t>(bytes[i])) & 0xFFu] ^ (c >> 8);
    }
    return c ^ 0xFFFFFFFFu;
}

void PutBigEndian(std::string& out, uint32_t value) {
    for (int shift = 24; shift >= 0; shift -= 8) {
        out.push_back(static_cast<char>((value >> shift) & 0xFFu));
    }
}

void PutChunk(std::string& out, const char* type, const std::string& data) {
    PutBigEndian(out, static_cast<uint32_t>(data.size()));
    const std::size_t start = out.size();
    out.append(type, 4);
    out += data;
    PutBigEndian(out, Crc32(out, start));
}

// A zlib stream of stored (uncompressed) deflate blocks.
std::string StoredZlib(const std::string& raw) {
    std::string out("\x78\x01", 2);
    std::size_t done = 0;
    do {
        const std::size_t n = std::min<std::size_t>(raw.size() - done, 65'535);
        const bool last = done + n == raw.size();
        out.push_back(static_cast<char>(last ? 1 : 0));
        out.push_back(static_cast<char>(n & 0xFFu));
        out.push_back(static_cast<char>(n >> 8));
        out.push_back(static_cast<char>(~n & 0xFFu));
        out.push_back(static_cast<char>((~n >> 8) & 0xFFu));
        out.append(raw, done, n);
        done += n;
    } while (done < raw.size());
    uint32_t a = 1;
    uint32_t b = 0;
    for (char c : raw) {
        a = (a + static_cast<uint8_t>(c)) % 65'521u;
        b = (b + a) % 65'521u;
    }
    PutBigEndian(out, (b << 16) | a);
    return out;
}

}  // namespace

std::string EncodePng(uint32_t width, uint32_t height, const std::vector<uint8_t>& rgb) {
    constexpr uint32_t MaxSide = 16'384;
    if (width == 0 || height == 0 || width > MaxSide || height > MaxSide ||
        rgb.size() != static_cast<std::size_t>(width) * height * 3) {
        return {};
    }
    std::string raw;
    raw.reserve((static_cast<std::size_t>(width) * 3 + 1) * height);
    for (uint32_t y = 0; y < height; ++y) {
        raw.push_back('\0');  // filter: none
        const auto* row = rgb.data() + static_cast<std::size_t>(y) * width * 3;
        raw.append(reinterpret_cast<const char*>(row), static_cast<std::size_t>(width) * 3);
    }
    std::string header;
    PutBigEndian(header, width);
    PutBigEndian(header, height);
    header +=
        std::string("\x08\x02\x00\x00\x00", 5);  // 8 bits, RGB, deflate, no filter, no interlace

    std::string png("\x89PNG\r\n\x1A\n", 8);
    PutChunk(png, "IHDR", header);
    PutChunk(png, "IDAT", StoredZlib(raw));
    PutChunk(png, "IEND", {});
    return png;
}

bool WritePngFile(const std::filesystem::path& path, uint32_t width, uint32_t height,
                  const std::vector<uint8_t>& rgb) {
    const std::string png = EncodePng(width, height, rgb);
    if (png.empty()) {
        return false;
    }
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(png.data(), static_cast<std::streamsize>(png.size()));
    return static_cast<bool>(out);
}

}  // namespace zolt::win
