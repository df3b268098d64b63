// The image's HEVC tiles as one elementary stream file (start codes, every
// tile led by its parameter sets), and such a file decoded back into frames:
// for callers that want the stream itself. Conversions never go through it;
// they hand the tiles to the decoder one packet each (picture_decoder.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "pipeline/decode/heif_image_data.h"
#include "pipeline/decode/picture_decoder.h"

namespace ambrel::pipeline {

// Parameter sets written in front of every tile may not add more than this to
// the stream (a hostile file could otherwise repeat a large 'hvcC' for
// thousands of tiles).
constexpr std::size_t kMaxRepeatedParameterSetBytes = std::size_t(64) << 20;

// Writes, for every tile in order, its parameter sets followed by its NAL
// units, each behind 00 00 00 01, creating or truncating the file. False
// when the file cannot be written completely, the stream would be
// unreasonably large, or the image is not HEVC.
[[nodiscard]] bool write_hevc_bitstream(const std::string& path, const HeifImageData& data);

// Decodes the stream file into frames (each owning its pixels, 8-bit BGR),
// at most `maxFrames`. Empty on any failure, and when the frames would hold
// more than kMaxDecodedPixels; prints "cv::VideoCapture::isOpened returned false "
// when the file cannot be read or the decoder cannot be set up.
[[nodiscard]] std::vector<cv::Mat> read_hevc_bitstream_to_mat_vector(
    const std::string& path, std::size_t maxFrames = std::numeric_limits<std::size_t>::max());

}  // namespace ambrel::pipeline
