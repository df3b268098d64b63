// How a coded image is coded: its codec and what its configuration says
// (profile, bit depth, chroma), from the decoder configuration the file
// stores beside it ('hvcC', 'av1C', 'jpgC', 'uncC' with 'cmpd' and 'cmpC').
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "heiclib/boxes/decoder_config_boxes.h"
#include "heiclib/reader/reader_types.h"

namespace ambrel::heif {

class HevcImageFileReader;

enum class Codec {
    None,          // a derived image: no coding of its own
    Hevc,          // 'hvc1' (and 'hev1' samples)
    Av1,           // 'av01'
    Jpeg,          // 'jpeg'
    Uncompressed,  // 'unci'
    Avc,           // 'avc1'
    LayeredHevc,   // 'lhv1'
    Other,         // a coding the model does not know, or a coded image without its configuration
};

// "HEVC", "AV1", "JPEG", "uncompressed", "AVC", "layered HEVC", "other", "none".
[[nodiscard]] const char* codecName(Codec codec);

struct ImageCoding
{
    Codec codec = Codec::None;
    // The reader's decoder code type ("hvc1", "av01", "jpeg", "unci"; "not
    // supported" for an item without a configuration); empty for derived images.
    std::string codeType;
    bool configured = false;  // its configuration was found and read
    std::string profile;      // "Main 10", "High", ...; empty when the coding has none
    std::string level;        // "4.1", "2.0", "max"; empty when it has none
    unsigned bitDepth = 0;    // luma bits; 0 when unknown
    std::string chroma;       // "4:2:0", "4:2:2", "4:4:4", "monochrome"; empty when unknown
    // Codec-specific details, in a fixed order, named in lower case with
    // underscores ("tier", "config_obus_size", "prefix_size", "components",
    // "bit_depths", "interleave", "compression").
    std::vector<std::pair<std::string, std::string>> details;
    // One line: "HEVC Main 10, 10-bit, 4:2:0", "AV1 High profile, level 2.0,
    // 10-bit, 4:4:4", "uncompressed RGB 8-bit interleaved, deflate
    // compressed as a whole", "JPEG".
    std::string summary;
};

// The coding of an image item of the reader's context; Codec::None for a
// derived image. Never throws: what cannot be read is left unknown.
[[nodiscard]] ImageCoding describeItemCoding(const HevcImageFileReader& reader, ContextId context, ItemId id,
                                             const std::string& itemType);
// The coding of a track's first sample, when the model knows its entry (AV1).
[[nodiscard]] std::optional<ImageCoding> describeSampleCoding(const HevcImageFileReader& reader, ContextId track,
                                                              ItemId sample);
// Profile, bit depth and chroma of a JPEG stream from its frame header
// (SOFn): "JPEG baseline, 8-bit, 4:2:0". Adds them to `coding` when the
// header is found in `stream` (the 'jpgC' prefix and the item's data).
void addJpegFrameHeader(std::span<const std::uint8_t> stream, ImageCoding& coding);

}  // namespace ambrel::heif
