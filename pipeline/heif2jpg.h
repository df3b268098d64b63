// The conversion entry: the bytes of one HEIC file in, the bytes of one
// image file (or a result text) out.
//
// Stages: extraction of the image from the HEIF container, one HEVC
// elementary stream assembled and decoded in memory by FFmpeg's HEVC decoder
// straight into the mosaic (no file is written), the alpha plane beside it,
// the image's crop, rotation and mirror, the user's scale, and encoding with
// the ICC profile, the EXIF block and the XMP packet carried over. A JPEG
// that needs no pixel work after the mosaic but a scale by a power of two
// is encoded band by band while its lower tiles are still being decoded,
// and only the rows of tiles in flight are held in memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include <opencv2/core.hpp>

#include "pipeline/output_format.h"

namespace ambrel::pipeline {

// Result texts; every one is shorter than 1024 bytes.
inline constexpr std::string_view kHeif2JpgReadHeif = "HUD_ERR heif2jpg read_heif";
inline constexpr std::string_view kHeif2JpgWriteStream = "HUD_ERR heif2jpg write_hevc_bitstream";
inline constexpr std::string_view kHeif2JpgDecode = "HUD_ERR heif2jpg read_hevc_bitstream_to_mat_vector";
inline constexpr std::string_view kHeif2JpgUnknown = "HUD_ERR heif2jpg unknown";
inline constexpr std::string_view kHeif2JpgImencode = "HUD_ERR heif2jpg imencode";
inline constexpr std::string_view kHeif2JpgBufferTooSmall = "HUD_ERR heif2jpg buffer to small";

struct ConversionSettings
{
    OutputFormat format = OutputFormat::Jpg;
    // JPEG quality (clamped to 0..100); the rate of JPEG 2000 (100 is
    // lossless, see jp2RatioForQuality); WebP's quality (100 is lossless).
    // PNG, TIFF and BMP are lossless and do not use it.
    int quality = 100;
    float scale = 1.0f;  // both axes; 1 keeps the size
    // When above 0, the scale is lowered where needed so that the longer side
    // of the displayed picture is at most this many pixels (never raised).
    std::uint32_t maxSide = 0;
    // Carry the EXIF block and the XMP packet. Without them the pixels are
    // always turned upright; the ICC profile is carried either way.
    bool keepExif = true;
    // 16: PNG and TIFF with 16-bit samples (10- and 12-bit sources keep their
    // precision, 8-bit ones are widened), JPEG 2000 at the source's precision.
    // JPEG, BMP and WebP hold 8 bits whatever this says.
    int depth = 8;
    // When above 0, the conversion also gives a screen-sized picture: the
    // converted picture as it displays, its longer side at most this many
    // pixels (never enlarged).
    std::uint32_t previewSide = 0;
    // The screen-sized picture is made only for an encoded picture of more
    // pixels than this (small ones are quick to show from their file).
    std::uint64_t previewMinPixels = 0;
    // The image converted: 0 the primary, else that image item. An
    // auxiliary image (depth map, gain map, alpha plane...) becomes a grey
    // picture of its own, turned like the image it belongs to; its data of
    // more than 8 bits keeps 16 in PNG and TIFF (JPEG 2000: its precision).
    std::uint32_t itemId = 0;
    // >= 0: that frame, in presentation order, of the image sequence track
    // (whatever itemId says). A file with no primary image but with a
    // sequence converts its first frame.
    std::int64_t frame = -1;
    // JPEG of the primary: carry its HDR gain map (Apple's, a 'tmap' item's,
    // Samsung's) as a gain-map JPEG (Ultra HDR and ISO 21496-1) that HDR
    // screens show in HDR and others as the same picture. Other formats write
    // the picture alone and say so in the warning.
    bool keepHdr = true;
};

struct ConvertedFile
{
    bool ok = false;
    std::vector<std::uint8_t> bytes;  // the file when ok
    std::uint32_t width = 0;          // when ok, the encoded picture's size
    std::uint32_t height = 0;
    std::string message;  // the result text when not ok
    std::string detail;   // when not ok, the cause in plain English (see Heif2JpgResult)
    // When ok, what of the image could not be carried, in plain English
    // ("the alpha plane cannot be decoded: ..."); empty when nothing was lost.
    std::string warning;
    // When ok: "apple", "iso" or "samsung" when the JPEG carries the file's
    // HDR gain map of that kind; empty otherwise.
    std::string hdr;
    // When ok and ConversionSettings::previewSide asked for it: the picture
    // as it displays (every rotation, mirror and clean aperture applied,
    // whatever the file keeps in EXIF), 8-bit BGR with an alpha plane shown
    // over white, scaled down by area averaging so that its longer side is
    // at most previewSide.
    cv::Mat preview;
};

// Converts the HEIC file in input[0 .. length) as convertHeifToJpeg does, into
// the format of `settings`:
//   JPEG       as convertHeifToJpeg, the XMP packet in an APP1 segment besides;
//   PNG        iCCP (or the sRGB chunk), eXIf, iTXt XMP;
//   TIFF       ICC profile, EXIF and GPS directories, XMP;
//   JPEG 2000  the profile in the JP2 colour box, EXIF and XMP in uuid boxes;
//   BMP        the profile in a version-5 header;
//   WebP       ICCP, EXIF and XMP chunks.
// Every format other than JPEG is encoded from pixels turned upright (the
// carried EXIF and XMP then say Orientation 1). An image without an ICC
// profile whose 'nclx' colours are not sRGB gets the standard profile of its
// primaries and transfer function. An alpha plane becomes the alpha channel
// of PNG, TIFF, JPEG 2000 and WebP (premultiplied colours are divided out); JPEG
// and BMP show the picture over white.
[[nodiscard]] ConvertedFile convertHeif(const std::uint8_t* input, std::size_t length,
                                        const ConversionSettings& settings);

struct Heif2JpgResult
{
    bool ok = false;
    std::vector<std::uint8_t> jpeg;  // the JPEG file when ok
    std::string message;             // the result text when not ok
    // When not ok, the cause in plain English: what the reader found wrong
    // with the file, the limit that was exceeded, what the decoder or the
    // encoder could not do ("not a HEIF file", "the image is 300000000
    // pixels (20000 x 15000), more than the limit of 268435456", ...).
    std::string detail;
};

// Converts the HEIC file in input[0 .. length) into a JPEG of any size.
//
// The image converted is the primary item: a grid, an 'hvc1' coded image, or
// an 'iden' item over one of those. A file without a primary, or whose
// primary is missing or of another kind, is refused with
// "HUD_ERR heif2jpg read_heif"; no other image of the file stands in for it.
// The clean aperture always applies; the rotations and mirrors apply unless
// `keepExif` is set and the Exif block's Orientation tag already says the
// same, in which case the pixels keep their stored orientation. When the
// pixels are turned, an Orientation tag in the carried block is set to 1, so
// the JPEG displays upright either way. The image's ICC profile, if any, is
// carried in APP2 segments.
//
// Images beyond heif::limits::kMaxImagePixels or kMaxGridTiles are refused
// with "HUD_ERR heif2jpg read_heif" before anything is decoded.
//
// Writes no file. Sets the diagnostic log level of heiclib to 0 (errors only).
[[nodiscard]] Heif2JpgResult convertHeifToJpeg(const std::uint8_t* input, std::size_t length, int quality, float scale,
                                               bool keepExif);

// The picture that convertHeifToJpeg encodes, before any scale: the same
// image chosen and decoded the same way into 8-bit BGR, cropped to its output
// size and clean aperture, with its rotations and mirrors applied, so it
// displays upright. Empty, with the result text in `message` and its cause
// in `detail` when given, when the conversion would fail before encoding.
[[nodiscard]] cv::Mat decodeHeifPicture(const std::uint8_t* input, std::size_t length, std::string* message = nullptr,
                                        std::string* detail = nullptr);

// The application's entry. On success fills `output` with the JPEG followed by
// zeros up to `outputCapacity` and sets *outputLength to the JPEG's length; a
// JPEG longer than `outputCapacity` gives "HUD_ERR heif2jpg buffer to small".
// A result text is written the same way when it fits (without a terminator of
// its own); when it does not, `output` and *outputLength stay as they were.
// `tempPath` is not used: the stream is decoded in memory and no file is
// written (it is kept so that callers of the entry need not change).
void heif2jpg(const std::uint8_t* input, std::int32_t inputLength, std::int32_t quality, std::uint8_t* output,
              std::int32_t outputCapacity, const char* tempPath, float scale, std::int32_t* outputLength,
              bool keepExif);

}  // namespace ambrel::pipeline
