// What the extraction copies out of a HEIF file for the later stages of
// heif2jpg: the converted image's geometry and transforms, the coded tiles,
// the parameter sets, its alpha plane, and the metadata to carry into the
// output.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "heiclib/heif_limits.h"
#include "heiclib/reader/reader_types.h"

namespace ambrel::pipeline {

// How the image's tiles are coded.
enum class Codec {
    Hevc,          // 'hvc1' items and samples, 'hvcC'
    Av1,           // 'av01' items and samples, 'av1C'
    Jpeg,          // 'jpeg' items: a JPEG stream each, led by its 'jpgC' prefix
    Uncompressed,  // 'unci' items: samples laid out as their 'uncC' says
};

struct UncompressedConfig;

// One transformative property of the converted image, in association order.
struct ImageTransform
{
    enum class Kind {
        CleanAperture,  // 'clap': crop to the clean aperture
        Rotate,         // 'irot': anticlockwise degrees in `value`
        Mirror,         // 'imir': axis bit in `value` (0: top and bottom swap, 1: left and right swap)
    };

    Kind kind = Kind::Rotate;
    std::uint32_t value = 0;
    heif::CleanApertureInfo aperture;  // for Kind::CleanAperture
};

struct HeifImageData
{
    // The image's output size: a grid's output size, or a coded image's 'ispe'.
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::uint32_t rows = 0;      // tile rows (1 for a coded image)
    std::uint32_t columns = 0;   // tile columns (1 for a coded image)
    std::uint32_t rotation = 0;  // the first 'irot' in degrees anticlockwise, 0 without one
    // Coded data of every tile in grid order (row by row), as stored: HEVC
    // NAL units each behind a big-endian length of `nalLengthSize` bytes, an
    // AV1 temporal unit of OBUs, a JPEG stream (its 'jpgC' prefix, then the
    // item's data) or an uncompressed item's data as stored.
    std::vector<std::vector<std::uint8_t>> tiles;
    // HEVC: VPS, SPS and PPS of the first tile, each behind 00 00 00 01.
    std::vector<std::uint8_t> paramSets;
    // HEVC: for each tile whose parameter sets differ from the first tile's,
    // its own (as `paramSets`); empty for the others, and empty altogether
    // when every tile shares the first's.
    std::vector<std::vector<std::uint8_t>> tileParamSets;
    std::uint8_t nalLengthSize = 4;  // HEVC: 1, 2 or 4
    Codec codec = Codec::Hevc;
    // AV1: the first tile's 'av1C' record (its four bytes, then configOBUs).
    std::vector<std::uint8_t> av1Config;
    // Uncompressed: each tile's configuration, in `tiles` order.
    std::shared_ptr<std::vector<UncompressedConfig>> uncompressed;
    // The Exif block, starting "Exif" 00 00; empty unless asked for and found.
    std::vector<std::uint8_t> exif;

    heif::ItemId imageId = 0;   // the converted image item
    bool isGrid = false;        // a 'grid' item, else a single coded image
    heif::IdVector identities;  // 'iden' items over imageId, innermost first; the last is the primary
    heif::IdVector tileIds;     // the items behind `tiles`
    // 'clap', 'irot', 'imir' in association order: the image's, then each
    // 'iden' item's in `identities` order.
    std::vector<ImageTransform> transforms;
    std::vector<std::uint8_t> iccProfile;  // empty without one
    // The colour code points, when the image (or a grid's first tile) has them.
    std::optional<heif::NclxColour> nclx;
    // Pixels the decoded mosaic may hold: the pixel limit, or less when the
    // file's memory budget has less left (see MemoryBudget).
    std::uint64_t maxCanvasPixels = heif::limits::kMaxImagePixels;
    heif::ItemId exifItemId = 0;  // the Exif item read, 0 when none was found

    // Luma bit depth of the coded tiles, from the first tile's 'hvcC' or
    // 'av1C' decoder configuration record (8 for JPEG, the deepest component
    // for uncompressed tiles, which count as 4:4:4); 8 when unknown.
    std::uint8_t bitDepth = 8;
    // Chroma format of the coded tiles (0 grey, 1 4:2:0, 2 4:2:2, 3 4:4:4), from the same record;
    // 1 when unknown, the common case the decoder is asked to confirm.
    std::uint8_t chromaFormat = 1;
    // The first tile's size from its 'ispe'; 0 when unknown.
    std::uint32_t tileWidth = 0;
    std::uint32_t tileHeight = 0;
    // The XMP packet (RDF/XML text) that describes the image; empty unless
    // asked for (it travels with the EXIF) and found.
    std::vector<std::uint8_t> xmp;

    // The image's alpha plane: an auxiliary image ('auxl' reference to the image) whose 'auxC' type is
    // "urn:mpeg:hevc:2015:auxid:1" or "urn:mpeg:mpegB:cicp:systems:auxiliary:alpha", an 'hvc1' image or
    // a grid of them; null when there is none or it cannot be used. Its record holds geometry, parameter
    // sets, tiles and bit depth only: no metadata, and no transforms of its own (the colour image's
    // transforms apply to both). Its output size is the image's.
    std::shared_ptr<HeifImageData> alpha;
    bool alphaPremultiplied = false;  // a 'prem' reference from the image to the alpha plane

    // An auxiliary image (depth map, gain map, alpha plane...) converted on its own: its luma plane
    // alone is decoded, into a grey picture, and it carries no colour profile and no metadata. Its
    // transforms are its own, else those of the image it belongs to (a clean aperture scaled to its
    // size).
    bool greyPicture = false;
    // Pictures of the stream that come out before the converted one: the earlier frames of an image
    // sequence that the converted frame is predicted from. They are decoded and dropped.
    std::size_t skippedPictures = 0;
    // What the extraction or the decoder noticed that still gives a picture
    // ("; "-separated); empty when nothing.
    std::string warning;
};

}  // namespace ambrel::pipeline
