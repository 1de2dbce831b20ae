// Writes pictures as PNG files (8-bit RGB, no compression), for the window's screenshots.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace zolt::win {

// `rgb` holds width * height pixels, 3 bytes each (red, green, blue), rows from the top.
// Returns the file's bytes, or nothing when the sizes do not fit.
std::string EncodePng(uint32_t width, uint32_t height, const std::vector<uint8_t>& rgb);

bool WritePngFile(const std::filesystem::path& path, uint32_t width, uint32_t height,
                  const std::vector<uint8_t>& rgb);

}  // namespace zolt::win
