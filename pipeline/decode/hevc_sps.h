// What an HEVC sequence parameter set says of the pictures the decoder will
// give, read before anything is decoded: chroma format, bit depth, the size
// after the conformance window, and the colour description of its VUI (the
// matrix the decoder converts with). ITU-T H.265, 7.3.2.2 and E.2.1.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

namespace ambrel::pipeline {

struct SpsFacts
{
    std::uint32_t chromaFormat = 1;  // 0 grey, 1 4:2:0, 2 4:2:2, 3 4:4:4
    std::uint32_t bitDepth = 8;      // luma
    std::uint32_t width = 0;         // the decoded picture, its conformance window applied
    std::uint32_t height = 0;
    // The VUI's matrix_coeffs; 2 (unspecified) without a colour description.
    std::uint32_t matrix = 2;
    bool fullRange = false;
};

// The facts of the first SPS among `paramSets` (NAL units each behind a start
// code); none when there is no SPS or it is cut short or malformed.
[[nodiscard]] std::optional<SpsFacts> readSpsFacts(std::span<const std::uint8_t> paramSets);

}  // namespace ambrel::pipeline
