// Uncompressed image items of ISO/IEC 23001-17 ('unci'): the samples are
// stored as they are, laid out as the item's 'uncC' says (which components,
// their depth and alignment, how they interleave, rows, pixels and tiles
// padded to which sizes), named by its 'cmpd', the whole optionally
// compressed by a generic compressor ('cmpC': deflate, zlib or brotli) in
// units that 'icef' locates.
//
// The layouts cameras and tools write are read: red, green and blue (with
// alpha) or grey (with alpha), each component 1 to 16 bits in whole bytes or
// in an aligned container, big or little endian, planar, pixel-interleaved or
// row-interleaved, in one tile or several. Anything else is refused with a
// reason that names the layout.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "heiclib/boxes/decoder_config_boxes.h"
#include "heiclib/heif_limits.h"
#include "heiclib/memory_budget.h"
#include "heiclib/reader/hevc_image_file_reader.h"
#include "pipeline/decode/decoded_picture.h"

namespace ambrel::pipeline {

// What the file says about one uncompressed image item.
struct UncompressedConfig
{
    bool hasLayout = false;  // an 'uncC' was found
    std::uint8_t layoutVersion = 0;
    heif::UncompressedLayout layout;
    bool hasComponents = false;  // a 'cmpd' was found
    std::vector<heif::ComponentDefinition> components;
    std::uint32_t width = 0;  // 'ispe'
    std::uint32_t height = 0;
    // 'cmpC', when the data is compressed.
    std::optional<heif::FourCCInt> compression;
    std::uint8_t compressedUnitType = 0;
    // 'icef': where the compressed units lie in the item's data.
    std::optional<std::vector<heif::CompressedUnitsInfoBox::Unit>> units;
};

// The configuration of an uncompressed image item, from its properties, as
// a reader that reads every coding (ImageCodings::All) gives them. Missing
// properties are left unset for decodeUncompressed to name.
[[nodiscard]] UncompressedConfig uncompressedConfigOf(const heif::HevcImageFileReader& reader, heif::ContextId context,
                                                      heif::ItemId item);

// Decodes the item's data (as stored: still compressed when 'cmpC' says so).
// Every size the configuration gives is checked against the data, against
// `maxPixels` and, when given, charged to `budget` before anything is
// allocated; a layout that is not supported or data that does not fit gives
// an error and no picture.
[[nodiscard]] DecodedPicture decodeUncompressed(const UncompressedConfig& config, std::span<const std::uint8_t> data,
                                                heif::MemoryBudget* budget = nullptr,
                                                std::uint64_t maxPixels = heif::limits::kMaxImagePixels);

}  // namespace ambrel::pipeline
