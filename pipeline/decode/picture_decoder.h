// A decoder per image: opened once with the codec's configuration, handed
// the image's coded tiles (or a sequence's samples) one packet each, and
// putting the pictures that come out where the canvas says, converted as it
// asks (see pixel_conversion.h). HEVC and AV1 are decoded by libavcodec
// (AV1 through libdav1d), with frame threads on every core.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include <opencv2/core.hpp>

#include "heiclib/heif_limits.h"
#include "heiclib/reader/reader_types.h"
#include "pipeline/decode/heif_image_data.h"
#include "pipeline/decode/pixel_conversion.h"
#include "pipeline/decode/uncompressed.h"

namespace ambrel::pipeline {

// Decoding stops, with no frames, once the frames (or the mosaic they are
// laid out in) hold more pixels than this.
constexpr std::uint64_t kMaxDecodedPixels = heif::limits::kMaxImagePixels;

// Where a decoder puts a picture: called once per picture, in decoding
// order, with its index and size; returns the matrix of that size (a view
// into a larger image will do) that the picture is converted into (see
// PictureConverter for what its type asks), or an empty matrix to stop
// decoding there. A smaller matrix takes the picture's top left part alone.
// Any other type, or a larger size, throws std::logic_error. What the target
// throws ends the decoding and leaves the decoder's send() or finish().
using PictureTarget = std::function<cv::Mat(std::size_t index, int width, int height)>;

// The same for JPEG planes; an empty `luma` stops the decoding there.
using PlanesTarget = std::function<JpegPlanes(std::size_t index, int width, int height)>;

// Called after each picture has been written into its target.
using ConvertedCallback = std::function<void(std::size_t index)>;

struct DecodeResult
{
    std::size_t pictures = 0;  // pictures delivered to the target
    int bitDepth = 0;          // luma bit depth of the first picture delivered
    // Why an image coded whole (JPEG, uncompressed) gave no picture; empty
    // when it did, or when the decoder cannot say.
    std::string error;
    // What was wrong with data that still gave a picture; empty when nothing.
    std::string warning;
};

// What a decoder is opened with.
struct CodecSetup
{
    Codec codec = Codec::Hevc;
    // HEVC: the VPS, SPS and PPS the tiles share, each behind 00 00 00 01.
    std::span<const std::uint8_t> parameterSets;
    // HEVC: the bytes of the big-endian length before each NAL unit of a
    // tile (1, 2 or 4); 0 for tiles in start-code form (Annex B), which then
    // carry their parameter sets themselves.
    unsigned nalLengthSize = 4;
    // AV1: the 'av1C' record, its configOBUs included.
    std::span<const std::uint8_t> av1Config;
    // AV1: the colour code points of the item, for the matrix its sequence
    // header leaves unspecified.
    std::optional<heif::NclxColour> colour;
    // Uncompressed: each tile's configuration, in the order they are sent.
    std::span<const UncompressedConfig> uncompressed;
};

// The decoder's configuration for the image's tiles (views into `data`).
[[nodiscard]] CodecSetup codecSetupOf(const HeifImageData& data);

// "HEVC", "AV1", "JPEG" or "uncompressed", for messages.
[[nodiscard]] const char* codecName(Codec codec);

class PictureDecoder
{
public:
    virtual ~PictureDecoder() = default;

    // Hands one tile to the decoder as a packet of its own, led by
    // `parameterSets` (as CodecSetup's) when its sets differ from the
    // configuration's, and delivers the pictures that are ready. A tile the
    // decoder refuses is skipped; the next one may decode. False once the
    // target has stopped the decoding.
    [[nodiscard]] virtual bool send(std::span<const std::uint8_t> tile,
                                    std::span<const std::uint8_t> parameterSets = {}) = 0;
    // The input has ended: delivers the pictures the decoder still holds.
    virtual void finish() = 0;
    [[nodiscard]] virtual DecodeResult result() const = 0;
};

// The decoder of the setup's codec, converting its pictures into the
// target's matrices; null, with `why` set, when there is no decoder for the
// codec or it cannot be opened.
[[nodiscard]] std::unique_ptr<PictureDecoder> openPictureDecoder(const CodecSetup& setup, PictureTarget target,
                                                                 ConvertedCallback converted, std::string& why);

// The same, into JPEG planes: pictures the planes take as they are coded
// (see JpegPlanesConverter) are copied or mapped; any other (its SPS
// disagreeing with what the plan read from the file) is converted through
// BGR into JFIF's Y'CbCr, its chroma averaged over 2 x 2 samples.
[[nodiscard]] std::unique_ptr<PictureDecoder> openPlanesDecoder(const CodecSetup& setup, PlanesTarget target,
                                                                ConvertedCallback converted, std::string& why);

// A BGR picture (CV_8UC3) into JPEG planes of its size: JFIF's Y'CbCr, the
// chroma averaged over 2 x 2 samples.
void bgrIntoPlanes(const cv::Mat& bgr, JpegPlanes& target);

// The NAL units of a stream in start-code form, without their start codes
// (and without the zero bytes that trail them).
[[nodiscard]] std::vector<std::span<const std::uint8_t>> nalUnitsOf(std::span<const std::uint8_t> stream);

}  // namespace ambrel::pipeline
