// The metadata a written file carries, prepared once for a conversion and
// then cut to what each format holds.
//
// From what the HEIF file gives (the EXIF block, the XMP packet, the ICC
// profile or 'nclx' colours, the container's turns) prepareMetadata makes:
// the EXIF block with every Orientation entry saying how the written pixels
// display (the stored orientation where the format may keep it and the
// block already says so, else 1), the XMP packet without a gain map's
// description and with the same orientation, the ICC profile (the image's,
// else the standard profile of its 'nclx' colours, else the sRGB mark), and
// the resolution. forFormat then leaves out what the format's table row says
// it cannot hold. Sizes are the writer's business: the JPEG writer alone
// applies its segment limits.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "heiclib/reader/reader_types.h"
#include "pipeline/encode/jpeg_metadata.h"
#include "pipeline/output_format.h"

namespace ambrel::pipeline {

// What a writer is handed. Any member may be empty.
struct WriterMetadata
{
    // The EXIF block: "Exif" 00 00, then the TIFF data ("II*\0" or "MM\0*" on).
    std::vector<std::uint8_t> exif;
    // Whether the EXIF is carried at all: a JPEG then writes its EXIF segment
    // in place of the JFIF segment, even for an empty block.
    bool carryExif = false;
    std::vector<std::uint8_t> xmp;  // an XMP packet (UTF-8 XML)
    std::vector<std::uint8_t> icc;  // an ICC profile
    // No profile, and the colours are sRGB's: formats with such a mark (PNG) say so.
    bool srgb = false;
    // The EXIF block's, 72 pixels an inch without one.
    jpegmeta::Resolution resolution{};
    // A JPEG's gain-map JPEG (gain_map_jpeg.h), whose description `xmp`
    // already holds; null for none.
    std::shared_ptr<const std::vector<std::uint8_t>> gainMap{};
};

// What the file gives.
struct SourceMetadata
{
    std::vector<std::uint8_t> exif;  // "Exif" 00 00 and the TIFF data; empty for none
    std::vector<std::uint8_t> xmp;
    std::vector<std::uint8_t> icc;
    std::optional<heif::NclxColour> nclx;
    int containerOrientation = 1;  // the EXIF orientation the container's turns amount to
};

// The prepared metadata and what it decided.
struct PreparedMetadata
{
    WriterMetadata metadata;
    // The pixels keep their stored orientation (the EXIF block says how to
    // turn them); false: the writer is given them turned upright.
    bool keepOrientation = false;
    // Why the EXIF block cannot be carried; the conversion reports it where
    // the pixels would have to be turned.
    std::string failure;
    std::string warning;  // what of the metadata is left out, and why
};

// EXIF blocks larger than this are left out: every output holds a copy or
// two while it is written. Real blocks are a few hundred kilobytes at most,
// with a maker note and a thumbnail.
constexpr std::size_t kMaxCarriedExif = std::size_t(16) << 20;

// Without `keepExif`, neither EXIF nor XMP is carried (the ICC profile is).
[[nodiscard]] PreparedMetadata prepareMetadata(SourceMetadata source, OutputFormat format, bool keepExif);

// What of `metadata` the format holds (its table row), for a picture of
// width x height: the EXIF block's pixel dimensions say that size.
[[nodiscard]] WriterMetadata forFormat(const WriterMetadata& metadata, OutputFormat format, std::uint32_t width,
                                       std::uint32_t height);

// The TIFF data of an EXIF block (without "Exif" 00 00); empty without any.
[[nodiscard]] std::vector<std::uint8_t> tiffData(const std::vector<std::uint8_t>& exif);

}  // namespace ambrel::pipeline
