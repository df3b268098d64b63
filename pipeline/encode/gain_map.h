// The HDR gain map of a photo: which kind the file holds, and the
// ISO 21496-1 metadata that says how a viewer applies it.
//
// Three kinds are read:
//   - Apple's auxiliary image (urn:com:apple:photo:2020:aux:hdrgainmap),
//     recognised by the HDRGainMapVersion property of its own XMP. Apple
//     applies it as HDR = SDR * (1 + (H - 1) * g), g the code decoded through
//     the Rec. 709 transfer curve and H the headroom, from the maker note
//     (tags 0x0021 and 0x0030) or the XMP's HDRGainMapHeadroom. Its codes are
//     re-encoded (appleCodeTable) so that the standard formula gives the same
//     boost;
//   - a 'tmap' derived item (ISO/IEC 23008-12): a version byte and the
//     ISO 21496-1 metadata, copied one to one;
//   - Samsung's auxiliary image (urn:com:samsung:photo:2024:aux:hdrgainmap),
//     with its 'tmap' item when there is one, else the hdrgm properties of
//     its own XMP.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace ambrel::pipeline {

struct GainMapSource;

enum class GainMapKind {
    None,
    Apple,
    Iso,
    Samsung,
};

// "apple", "iso", "samsung"; "" for None.
[[nodiscard]] const char* gainMapKindName(GainMapKind kind);

// A value of the ISO 21496-1 metadata as it is stored: a numerator (signed
// or unsigned 32 bits by the field) and a denominator that is never 0.
struct GainMapFraction
{
    std::int64_t numerator = 0;
    std::uint32_t denominator = 1;

    [[nodiscard]] double value() const { return double(numerator) / double(denominator); }
    bool operator==(const GainMapFraction&) const = default;
};

// The fraction of denominator 10^6 (less for large values) nearest to the
// value, within the range of a signed or unsigned field.
[[nodiscard]] GainMapFraction gainMapFraction(double value, bool isSigned);

// ISO 21496-1 metadata of a one-channel gain map. Headrooms, the gain map's
// range and the offsets as the standard has them (log2 for headrooms and
// the range); gamma as a plain factor.
struct GainMapMetadata
{
    bool useBaseColourSpace = true;
    GainMapFraction baseHeadroom;
    GainMapFraction alternateHeadroom;
    GainMapFraction gainMapMin;
    GainMapFraction gainMapMax;
    GainMapFraction gamma{1, 1};
    GainMapFraction baseOffset;
    GainMapFraction alternateOffset;
    bool operator==(const GainMapMetadata&) const = default;
};

// Parses the ISO 21496-1 metadata (from its minimum version on, no HEIF
// version byte before it). Nullopt, with the reason in `why`, for an unknown
// minimum version, a zero denominator, data cut short, several channels or
// a base headroom not below the alternate one (an HDR base picture).
[[nodiscard]] std::optional<GainMapMetadata> parseGainMapMetadata(std::span<const std::uint8_t> data, std::string& why);
// The same for a 'tmap' item's data: version 0, then the metadata.
[[nodiscard]] std::optional<GainMapMetadata> parseToneMapItem(std::span<const std::uint8_t> data, std::string& why);

// The full ISO 21496-1 block: versions 0, flags (0x40 when the base colour
// space is used, nothing else), every value with its own denominator.
[[nodiscard]] std::vector<std::uint8_t> gainMapMetadataBlock(const GainMapMetadata& metadata);

// Apple's headroom in stops from the maker note of an Exif block ("Exif"
// 00 00 ...): tags 0x0021 and 0x0030 (signed rationals), a missing one
// counted as 0. Nullopt when the block has no Apple maker note or neither tag.
[[nodiscard]] std::optional<double> appleHeadroomStops(std::span<const std::uint8_t> exif);

// The table that turns Apple's codes into standard ones for a headroom of
// `headroom` (linear, above 1): code' = round(255 log2(1 + (H - 1) g) / log2 H),
// g the code decoded through the inverse of the Rec. 709 transfer curve.
[[nodiscard]] std::array<std::uint8_t, 256> appleCodeTable(double headroom);

// What the conversion carries of a file's gain map.
struct GainMapPlan
{
    GainMapKind kind = GainMapKind::None;  // None: nothing to carry
    GainMapMetadata metadata;
    bool appleCodes = false;  // re-encode the codes through appleCodeTable(headroom)
    double headroom = 1.0;    // linear, the alternate rendition's
    // Why a gain map the file has is not carried (a broken or unsupported
    // 'tmap' item, unreadable metadata); empty otherwise.
    std::string warning;
};

// Decides from what extraction found. Apple's gain map counts only with the
// version property in its own XMP, never by the maker-note tags alone.
[[nodiscard]] GainMapPlan planGainMap(const GainMapSource& source);

// A file's gain map as a front end shows it ("HDR gain map: Apple, 2016 x
// 1512, headroom 2.3 stops").
struct GainMapDescription
{
    GainMapKind kind = GainMapKind::None;
    std::uint32_t width = 0;  // the gain map's size, before its transforms
    std::uint32_t height = 0;
    double headroomStops = 0.0;  // log2 of the alternate rendition's headroom
    std::string warning;         // why it would not be carried; empty when it would
};

// The primary's gain map; nullopt when the file has none that counts (or
// cannot be read). Kind None with a warning for one that would not be
// carried. For ambrel-heifinfo and the application.
[[nodiscard]] std::optional<GainMapDescription> describeGainMap(const std::uint8_t* bytes, std::size_t length);

}  // namespace ambrel::pipeline
