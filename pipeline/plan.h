// The plan of a conversion, made before any byte of the image is decoded.
//
// Everything that decides how the pixels travel is known from the container
// alone: the output size and the tile layout, the chroma format and bit depth
// of the coded tiles, the matrix their colours are coded with, the turns,
// mirrors and crop, the alpha plane, and what the carried EXIF says of the
// orientation. planFor turns those facts and the user's settings into the
// one way the converter then follows: how the decoder delivers the pictures,
// whether they are encoded while the lower tiles are still being decoded,
// whether the pixels are turned or keep their stored orientation, the scale,
// and the metadata that goes with them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <vector>

#include "pipeline/decode/heif_image_data.h"
#include "pipeline/encode/image_writer.h"
#include "pipeline/heif2jpg.h"

namespace ambrel::pipeline {

// A side whose length the container does not give (a coded image without
// 'ispe'): all of the decoded picture.
inline constexpr std::uint32_t kUnknownSide = std::numeric_limits<std::uint32_t>::max();

// What is known of the converted image before it is decoded.
struct ImageFacts
{
    // The region of the mosaic that is the image before its transforms.
    std::uint32_t width = kUnknownSide;
    std::uint32_t height = kUnknownSide;
    std::uint32_t rows = 1;  // tiles down and across (1 for a coded image)
    std::uint32_t columns = 1;
    std::uint32_t tileWidth = 0;  // the first tile's size; 0 when unknown
    std::uint32_t tileHeight = 0;
    // Of the coded tiles: 0 grey, 1 4:2:0, 2 4:2:2, 3 4:4:4; and the luma bit depth.
    std::uint8_t chromaFormat = 1;
    std::uint8_t bitDepth = 8;
    // The matrix coefficients the coded pictures name (their SPS's colour
    // description), which the decoder converts with; none when unknown.
    std::optional<std::uint16_t> matrix;
    std::vector<ImageTransform> transforms;
    bool alpha = false;
    bool alphaPremultiplied = false;
    bool greyPicture = false;  // an auxiliary image converted on its own
    std::size_t skippedPictures = 0;
    // The carried EXIF says the orientation the container's turns amount to,
    // so a format that honours it may keep the pixels as stored.
    bool exifShowsTurns = false;
    // The carried metadata could be prepared (else the conversion fails once
    // the pixels are decoded).
    bool metadataReady = true;
};

// How the decoder delivers the pictures into the mosaic.
enum class DecodedLayout {
    JpegPlanes,  // 8-bit Y'CbCr planes as a JPEG holds them, the chroma halved both ways
    Bgr8,
    Bgr16,
    Grey8,  // the luma alone
    Grey16,
};

// How the decoded mosaic reaches the writer.
enum class PixelRoute {
    // Band by band while the lower tiles are still being decoded; only the
    // rows of tiles in flight are held.
    Streamed,
    // A whole mosaic of JPEG planes, turned and encoded band by band.
    TurnedPlanes,
    // A whole picture, turned and scaled band by band into the writer.
    TransformedBands,
    // A whole picture turned, scaled and encoded at once.
    Whole,
};

struct ConversionPlan
{
    OutputFormat format = OutputFormat::Jpg;
    const FormatInfo* writer = nullptr;  // the format's row of the writers' table
    DecodedLayout layout = DecodedLayout::Bgr8;
    PixelRoute route = PixelRoute::Whole;
    // The pixels keep their stored orientation and the EXIF says it.
    bool keepOrientation = false;
    bool crop = false;              // a clean aperture cuts the picture
    float scale = 1.0f;             // after the bound on the longer side
    std::uint32_t previewSide = 0;  // 0: no screen-sized picture
    bool alpha = false;             // the alpha plane is decoded beside the picture
    bool flattenAlpha = false;      // and shown over white: the format holds no alpha
    bool carryExif = false;         // the EXIF block and the XMP packet go
    bool tryHdr = false;            // the primary's HDR gain map is looked for
};

// The plan for converting an image of these facts with these settings. Pure:
// the same facts and settings always give the same plan.
[[nodiscard]] ConversionPlan planFor(const ImageFacts& facts, const ConversionSettings& settings);

// The settings with the scale lowered so that the longer side, `longer`
// pixels before scaling, is at most maxSide after it; never raised.
[[nodiscard]] ConversionSettings boundedBySide(const ConversionSettings& settings, std::uint32_t longer);

}  // namespace ambrel::pipeline
