// The tiles of the converted image go through one HEVC elementary stream:
// assembled in memory and decoded by FFmpeg's HEVC decoder (libavcodec, frame
// threads on every core) into one picture per tile: 8 or 16-bit BGR, or the
// luma alone as 8 or 16-bit grey. The stream can also be written to a file
// for callers that want it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <span>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "heiclib/heif_limits.h"
#include "pipeline/decode/heif_image_data.h"

namespace ambrel::pipeline {

// Parameter sets written in front of every tile may not add more than this to
// the stream (a hostile file could otherwise repeat a large 'hvcC' for
// thousands of tiles).
constexpr std::size_t kMaxRepeatedParameterSetBytes = std::size_t(64) << 20;

// Decoding stops, with no frames, once the frames (or the mosaic they are
// laid out in) hold more pixels than this.
constexpr std::uint64_t kMaxDecodedPixels = heif::limits::kMaxImagePixels;

// The stream in memory: for every tile in order, the record's parameter sets
// followed by the tile's bytes. False (and `stream` empty) when the stream
// would be unreasonably large or memory runs out.
[[nodiscard]] bool assembleHevcBitstream(const HeifImageData& data, std::vector<std::uint8_t>& stream);

// Writes an assembled stream, creating or truncating the file; false when it
// cannot be written completely.
[[nodiscard]] bool write_hevc_bitstream(const std::string& path, const std::vector<std::uint8_t>& stream);

// Writes, for every tile in order, the record's parameter sets followed by the
// tile's bytes, creating or truncating the file. False when the file cannot be
// written completely or the stream would be unreasonably large.
[[nodiscard]] bool write_hevc_bitstream(const std::string& path, const HeifImageData& data);

// Where decodeHevcStream puts a picture: called once per picture, in
// decoding order, with its index and size; returns the matrix of that size
// (a view into a larger image will do) that the picture is converted into,
// or an empty matrix to stop decoding there. A smaller matrix takes the
// picture's top left part alone, as a picture of its own: its right and
// bottom edges are the picture's edges (a tile cut to the image it belongs
// to), and no chroma is interpolated from beyond them. Its type says what
// the picture becomes:
// - CV_8UC3, CV_16UC3: BGR, 0 .. 255 or 0 .. 65535 (16-bit levels are the
//   8-bit conversion's exact values times 257, rounded: pictures of more than
//   8 bits keep their precision);
// - CV_8UC1, CV_16UC1: the samples of the first (luma) plane alone, with no
//   matrix and no range conversion, scaled from the picture's N bits:
//   round(v * 255 / (2^N - 1)) or round(v * 65535 / (2^N - 1)). This is how
//   an alpha plane or a depth map coded as a monochrome image is read.
// Any other type, or a larger size, throws std::logic_error. What the target
// throws ends the decoding and leaves decodeHevcStream.
using PictureTarget = std::function<cv::Mat(std::size_t index, int width, int height)>;

struct DecodeResult
{
    bool opened = false;       // the decoder could be set up
    std::size_t pictures = 0;  // pictures delivered to the target
    int bitDepth = 0;          // luma bit depth of the first picture delivered
};

// Decodes an Annex B HEVC stream held in memory. Pictures come out as the
// stream signals them: the BT.601 matrix unless the stream names another,
// limited or full range as signalled, any chroma format and bit depth,
// converted as the target's type says. Corrupt pictures are skipped; the
// pictures decoded before and after them still count. RGB pictures (the
// identity matrix) have each sample scaled by its depth and range alone. A
// picture that cannot be had in the target's type (a pixel format swscale
// cannot convert; for a single-channel target, one whose first plane is not
// a plane of samples) throws std::runtime_error.
// `converted`, when given, is called after each picture has been written
// into its target.
[[nodiscard]] DecodeResult decodeHevcStream(std::span<const std::uint8_t> bytes, const PictureTarget& target,
                                            const std::function<void(std::size_t index)>& converted = {});

// A picture as the planes of a JPEG file: 8-bit Y'CbCr with BT.601's
// matrix at full range (JFIF's), `luma` width x height, `cb` and `cr` half
// of that both ways, rounded up. Views into larger planes will do.
struct JpegPlanes
{
    cv::Mat luma;
    cv::Mat cb;
    cv::Mat cr;
};

// Where decodeHevcPlanes puts a picture, as PictureTarget does; an empty
// `luma` stops the decoding there.
using PlanesTarget = std::function<JpegPlanes(std::size_t index, int width, int height)>;

// Decodes as decodeHevcStream does, each picture into JPEG planes: the
// samples of 4:2:0 pictures with BT.601's matrix (or none named) are taken
// as they are, mapped to 8 bits and full range when they are not (the chroma
// keeps its siting). A picture of another kind is converted through BGR
// into the planes (as decodeHevcStream would give it, then to JFIF's Y'CbCr).
[[nodiscard]] DecodeResult decodeHevcPlanes(std::span<const std::uint8_t> bytes, const PlanesTarget& target,
                                            const std::function<void(std::size_t index)>& converted = {});

// Decodes the stream file into frames (each owning its pixels, 8-bit BGR),
// at most `maxFrames`. Empty on any failure, and when the frames would hold
// more than kMaxDecodedPixels; prints "cv::VideoCapture::isOpened returned false "
// when the file cannot be read or the decoder cannot be set up.
[[nodiscard]] std::vector<cv::Mat> read_hevc_bitstream_to_mat_vector(
    const std::string& path, std::size_t maxFrames = std::numeric_limits<std::size_t>::max());

// The frames of a stream held in memory, as read_hevc_bitstream_to_mat_vector
// gives them for a file.
[[nodiscard]] std::vector<cv::Mat> decodeHevcFrames(const std::vector<std::uint8_t>& stream,
                                                    std::size_t maxFrames = std::numeric_limits<std::size_t>::max());

}  // namespace ambrel::pipeline
