// JPEG-coded image items ('jpeg'): the item's data is a JPEG stream, led by
// the markers its 'jpgC' keeps when it has one (the reader's
// getItemDataWithDecoderParameters gives the two together). Decoded with
// libjpeg-turbo into 8-bit BGR, or grey for a one-component stream.
#pragma once

#include <cstdint>
#include <span>

#include "heiclib/heif_limits.h"
#include "heiclib/memory_budget.h"
#include "pipeline/decode/decoded_picture.h"

namespace ambrel::pipeline {

// Decodes the stream. Its size is checked against `maxPixels` and, when
// given, the picture charged to `budget` before it is allocated. Data that
// libjpeg can still make a picture of (a stream cut short, a damaged segment)
// gives the picture with a warning; a stream it cannot read, or one of CMYK
// colours, gives an error.
[[nodiscard]] DecodedPicture decodeJpeg(std::span<const std::uint8_t> stream, heif::MemoryBudget* budget = nullptr,
                                        std::uint64_t maxPixels = heif::limits::kMaxImagePixels);

// What a conversion of a JPEG-coded primary asks for.
struct JpegCopyRequest
{
    bool jpegOutput = false;   // the output is a JPEG file
    int quality = 0;           // its quality
    bool scaled = false;       // the picture is resized
    bool transformed = false;  // a rotation, mirror or crop is applied to the pixels
    bool alpha = false;        // an alpha plane would be laid over a background
    std::uint32_t width = 0;   // the item's size ('ispe')
    std::uint32_t height = 0;
};

// Whether the item's stream can be written out as it is, instead of decoded
// and encoded again: JPEG output at quality 100 with nothing to do to the
// pixels, and a complete 8-bit grey or colour (not CMYK) stream of the item's
// size. The caller still adds the file's metadata around its segments.
[[nodiscard]] bool canCopyJpegStream(std::span<const std::uint8_t> stream, const JpegCopyRequest& request);

}  // namespace ambrel::pipeline
