// The referee's table: every file it runs through our pipeline and through
// libheif's programs, each row named after what it holds.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "tests/fixtures/hevc_encoder.h"

namespace referee {

// A file that libheif's encoder writes from a PNG of the test's own.
struct EncoderFile
{
    unsigned width = 64;
    unsigned height = 64;
    std::string chroma = "420";  // "420", "422", "444" or "mono" (a grey PNG)
    unsigned bits = 8;           // 10 and 12 come from a 16-bit PNG
    bool alpha = false;
    bool lossless = false;
    std::optional<int> matrix;  // --matrix_coefficients
    bool fullRange = true;
    unsigned thumbnail = 0;  // -t, the thumbnail's longest side; 0: none
    bool avif = false;       // -A: AV1 (libaom) instead of HEVC
};

struct Row
{
    std::string name;      // the gtest row name
    std::string category;  // for the summary's counts
    // Exactly one of these says where the file comes from.
    std::optional<EncoderFile> encoder;
    std::function<fixture::Bytes()> writer;  // built by our fixture writer
    std::string corpusFile;                  // a file of the shared corpus, by name

    // A deliberately broken file: libheif may refuse it, and then we must too.
    bool broken = false;

    // Why our pipeline is known to differ from libheif on this row; the row
    // then expects a difference and fails once there is none, so that the
    // mark is removed with the fix.
    std::string knownDifference;
};

// Every row, in a fixed order.
std::vector<Row> allRows();

// The test picture, as floats in [0, 1]: colour gradients across and down of
// less than a level a pixel, with a texture on top that changes luma only (the
// same amount added to red, green and blue), so that a column or tile out of
// place shows while chroma stays smooth enough for any upsampling to agree.
struct Sample
{
    double r, g, b, a;
};
Sample samplePixel(unsigned x, unsigned y);
// The same picture as 8-bit RGB, for the fixture writer's encoder.
fixture::RgbImage samplePicture(unsigned width, unsigned height);

}  // namespace referee
