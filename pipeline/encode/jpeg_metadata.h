// The EXIF block at the byte level, as the metadata module prepares it for
// every format (orientation, resolution, pixel dimensions), and the JPEG
// segments that carry it and the ICC profile (the JPEG writer's limits).
//
// Pure byte-level functions: no image library, no I/O. The EXIF "block" is
// what a JPEG APP1 EXIF segment carries: the six bytes "Exif" 00 00 followed
// by TIFF data (header "II*\0" or "MM\0*", then IFD0, its sub-IFDs, IFD1...).
// TIFF offsets count from the TIFF header, i.e. from byte 6 of the block.
//
// Every TIFF read is bounds-checked; a hostile offset, count or IFD loop makes
// a function report "unreadable" (0, false, nullopt), never read out of range
// or loop without end.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace ambrel::pipeline {

namespace jpegmeta {

using Bytes = std::vector<std::uint8_t>;

// The EXIF block of an Exif item's data, starting at "Exif" 00 00; nullopt when none.
// 1. The data from the first occurrence of "Exif" 00 00 to the end.
// 2. Failing that, when the item starts with its 4-byte big-endian
//    exif_tiff_header_offset and an 8-byte TIFF header ("II*\0" or "MM\0*")
//    lies at byte 4 + offset: "Exif" 00 00 followed by the data from there to the end.
// 3. Otherwise nullopt (the caller prints "can not find \"EXIF\" ").
std::optional<Bytes> exifBlockFromItem(const Bytes& itemData);

// Orientation (tag 0x0112) in IFD0 of a block starting "Exif\0\0": the
// first value of the first Orientation entry (SHORT or LONG) that reads 1..8;
// 0 when there is none or the block is unreadable. Both byte orders.
int readOrientation(const Bytes& block);

// Sets every Orientation entry of IFD0 to `orientation`, in place and in the
// block's byte order: each becomes one value (SHORT, or LONG where it was
// LONG) held in the entry itself, so that a repeated tag or one with several
// values cannot say two things. False, with the block untouched, when there
// is no such entry, the block is unreadable or `orientation` is outside 1..8.
bool writeOrientation(Bytes& block, int orientation);

// The resolution of IFD0: XResolution and YResolution (0x011A, 0x011B,
// RATIONAL) in units of ResolutionUnit (0x0128: 1 none, 2 inch, 3 centimetre;
// inch when absent). Without a block, or without both values readable and
// positive, 72 pixels an inch.
struct Resolution
{
    double x = 72.0;
    double y = 72.0;
    int unit = 2;
    bool operator==(const Resolution&) const = default;
};
Resolution readResolution(const Bytes& block);

// Sets PixelXDimension and PixelYDimension (0xA002, 0xA003) of the Exif
// directory to the picture's size, in place: each becomes one value, SHORT
// where it was SHORT and the size fits, else LONG. False when the block has
// neither entry or is unreadable.
bool writePixelDimensions(Bytes& block, std::uint32_t width, std::uint32_t height);

enum class TransformKind { Rotate, Mirror };
// Rotate: anticlockwise degrees (a multiple of 90, negative allowed);
// Mirror: axis 0 (about the vertical axis: left-right) or 1 (about the horizontal axis: top-bottom).
struct Transform
{
    TransformKind kind;
    int value;
};

// The EXIF orientation (1..8) that displays a stored image the way the
// container's transforms ('irot', 'imir'), applied in order, do. An empty list
// gives 1. Throws std::invalid_argument for a rotation that is not a multiple
// of 90 or a mirror axis other than 0 and 1.
int orientationForTransforms(const std::vector<Transform>& transforms);

// Largest EXIF block one APP1 segment holds: 65535 minus the 2 bytes of the length field.
constexpr std::size_t kMaxApp1Payload = 65533;

// Makes the block fit one APP1 segment; false when it cannot (leave EXIF out).
// A block that fits is left unchanged, and so is a block for which it returns false.
// Otherwise it unlinks IFD1 (IFD0's next-IFD offset set to 0) and cuts the TIFF
// data after the last byte still referenced by IFD0, its sub-IFDs (Exif 0x8769,
// GPS 0x8825, Interop 0xA005) and their out-of-line values; this succeeds when
// the thumbnail (and anything else unreferenced) lies at the end. A malformed
// IFD0 tree (offsets or values out of range) gives false.
bool fitIntoApp1(Bytes& block);

// Replaces the encoder's 20-byte JFIF header (FF D8 + 18-byte APP0) by FF D8,
// FF E1, 16-bit big-endian length (exif size + 2), exif; the rest of `jpeg`
// follows byte for byte. An empty block gives FF D8 FF E1 00 02.
// Throws std::length_error when exif.size() > kMaxApp1Payload and
// std::invalid_argument when `jpeg` is shorter than 20 bytes.
Bytes insertExifSegment(const Bytes& jpeg, const Bytes& exif);

// Largest ICC chunk one APP2 segment holds: 65535 - 2 (length) - 12 ("ICC_PROFILE\0") - 2 (sequence, count).
constexpr std::size_t kMaxIccChunk = 65519;

// Inserts APP2 segments "ICC_PROFILE\0" + sequence number (1-based) + count +
// chunk after the first APPn segment following SOI (or right after SOI when
// none follows). Empty profile: returns `jpeg` unchanged. Throws
// std::length_error when the profile needs more than 255 chunks and
// std::invalid_argument when `jpeg` does not start with SOI or its first APPn
// segment runs past the end.
Bytes insertIccSegments(const Bytes& jpeg, const Bytes& icc);

}  // namespace jpegmeta

}  // namespace ambrel::pipeline
