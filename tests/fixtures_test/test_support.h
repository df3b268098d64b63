// Helpers shared by the fixture writer's tests: running libheif's and
// ffmpeg's command-line programs as independent judges of the files we write.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>

#include "tests/fixtures/hevc_encoder.h"

namespace fixture::testing {

// Skips the current test with a message when a program is not installed.
#define FIXTURE_REQUIRE_PROGRAM(name)                                                                      \
    do {                                                                                                   \
        if (!::fixture::programAvailable(name)) {                                                          \
            GTEST_SKIP() << name << " is not installed (Debian: apt-get install ffmpeg libheif-examples)"; \
        }                                                                                                  \
    } while (0)

struct Size
{
    unsigned width = 0;
    unsigned height = 0;
};

// Width and height from a PNG file's IHDR chunk; nullopt when it is not a PNG.
inline std::optional<Size> pngSize(const std::string& path)
{
    const Bytes bytes = readFileBytes(path);
    static const std::uint8_t signature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
    if (bytes.size() < 24 || !std::equal(signature, signature + 8, bytes.begin()) || bytes[12] != 'I' ||
        bytes[13] != 'H' || bytes[14] != 'D' || bytes[15] != 'R') {
        return std::nullopt;
    }
    auto be32 = [&](std::size_t at) {
        return (unsigned(bytes[at]) << 24) | (unsigned(bytes[at + 1]) << 16) | (unsigned(bytes[at + 2]) << 8) |
               unsigned(bytes[at + 3]);
    };
    return Size{be32(16), be32(20)};
}

// Runs heif-info on the file; returns its exit status and fills the output.
inline int heifInfo(const std::string& path, std::string& output)
{
    return runCommand("heif-info " + shellQuote(path), output);
}

// Decodes the file's primary image with heif-convert into a PNG and that
// into RGB pixels with ffmpeg. Fails the test (and returns nullopt) when a
// step fails.
inline std::optional<RgbImage> decodeWithLibheif(const std::string& heifPath)
{
    TempFile png(".png");
    std::string output;
    const int status = runCommand("heif-convert " + shellQuote(heifPath) + " " + shellQuote(png.path()), output);
    if (status != 0) {
        ADD_FAILURE() << "heif-convert failed (" << status << "):\n" << output;
        return std::nullopt;
    }
    const auto size = pngSize(png.path());
    if (!size) {
        ADD_FAILURE() << "heif-convert did not write a PNG";
        return std::nullopt;
    }
    TempFile raw(".rgb");
    if (runCommand("ffmpeg -hide_banner -loglevel error -nostdin -y -i " + shellQuote(png.path()) +
                       " -f rawvideo -pix_fmt rgb24 " + shellQuote(raw.path()),
                   output) != 0) {
        ADD_FAILURE() << "ffmpeg could not read the PNG:\n" << output;
        return std::nullopt;
    }
    RgbImage image{size->width, size->height, readFileBytes(raw.path())};
    if (image.pixels.size() != std::size_t(image.width) * image.height * 3) {
        ADD_FAILURE() << "ffmpeg wrote " << image.pixels.size() << " bytes for a " << image.width << "x" << image.height
                      << " PNG";
        return std::nullopt;
    }
    return image;
}

// Lossy coding moves colours a little; the palette colours are far apart.
inline bool near(Rgb a, Rgb b, int tolerance = 16)
{
    auto close = [&](int x, int y) { return std::abs(x - y) <= tolerance; };
    return close(a.r, b.r) && close(a.g, b.g) && close(a.b, b.b);
}

inline std::string describe(Rgb c)
{
    return "(" + std::to_string(c.r) + "," + std::to_string(c.g) + "," + std::to_string(c.b) + ")";
}

}  // namespace fixture::testing
