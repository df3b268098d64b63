// The segments of a gain-map JPEG (Ultra HDR 1.0 with Adobe's hdrgm XMP, and
// ISO 21496-1): the primary picture as any JPEG, with
//   - its XMP packet holding an hdrgm:Version description and a
//     Container:Directory that lists the primary and the gain map;
//   - an APP2 segment "urn:iso:std:iso:ts:21496:-1" with the metadata's
//     versions only;
//   - an APP2 MPF segment (CIPA DC-007) indexing the two pictures, written
//     with a fixed size before the picture and filled in once its length is
//     known;
// and after its end the gain-map JPEG: SOI, its own XMP with every hdrgm
// property written out, the full ISO 21496-1 block, then a grey JPEG's
// tables and scan.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "pipeline/encode/gain_map.h"

namespace ambrel::pipeline {

// A gain-map JPEG made for a picture, and the XMP packet that describes it.
struct GainMapSegments
{
    std::vector<std::uint8_t> xmp;                             // the picture's packet with the gain map's description
    std::shared_ptr<const std::vector<std::uint8_t>> gainMap;  // null when none came out
    GainMapKind kind = GainMapKind::None;
    std::string warning;  // why none came out, when the file has one
};

// The identifier of the ISO 21496-1 APP2 segment, its terminating 0 included.
inline constexpr char kIsoGainMapNamespace[] = "urn:iso:std:iso:ts:21496:-1";

// The MPF segment's payload: "MPF" 00, a big-endian header, an index
// directory of three entries and two picture entries.
inline constexpr std::size_t kMpfPayloadSize = 86;

// The gain map's XMP packet.
[[nodiscard]] std::vector<std::uint8_t> gainMapXmp(const GainMapMetadata& metadata);

// The gain-map JPEG that follows the primary: SOI, APP1 XMP, APP2 ISO 21496-1,
// then the segments of `greyJpeg` but its APPn ones, and its scan. Throws
// std::invalid_argument when `greyJpeg` is not a JPEG.
[[nodiscard]] std::vector<std::uint8_t> gainMapImage(std::span<const std::uint8_t> greyJpeg,
                                                     const GainMapMetadata& metadata);

// Adds the primary's description (hdrgm:Version and the container directory,
// the gain map `gainMapLength` bytes) to the XMP packet, before the end of
// its rdf:RDF; an empty packet becomes one holding only that. False, with
// the packet unchanged, when it has no rdf:RDF to add to.
[[nodiscard]] bool addGainMapDirectory(std::vector<std::uint8_t>& packet, std::size_t gainMapLength);

// The primary's ISO 21496-1 segment payload: the identifier and versions 0.
[[nodiscard]] std::vector<std::uint8_t> isoVersionPayload();

// The MPF payload for a primary of `primarySize` bytes whose MPF segment
// starts (at its FF) at `segmentAt`, followed by a gain map of `gainMapSize`
// bytes.
[[nodiscard]] std::vector<std::uint8_t> mpfPayload(std::size_t primarySize, std::size_t segmentAt,
                                                   std::size_t gainMapSize);

}  // namespace ambrel::pipeline
