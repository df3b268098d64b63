// Encoders for the lossless and JPEG 2000 output formats, working from the
// decoded picture rather than from a JPEG, so that nothing is lost twice and
// the picture's colour profile, EXIF and XMP travel with it:
//
//   PNG       libpng: iCCP (the profile, named), eXIf, iTXt "XML:com.adobe.xmp"
//   TIFF      libtiff in memory: deflate with the horizontal predictor,
//             ICC profile and XMP packet tags, the EXIF block's Exif and GPS
//             directories (Orientation is always top-left: the pixels are
//             stored as they are to be shown)
//   JPEG 2000 OpenJPEG, JP2 container: ICC profile in the colour
//             specification box, EXIF and XMP in their uuid boxes
//   BMP       written here: BITMAPV5HEADER with the embedded profile
//
// Every encoder takes 8-bit BGR or BGRA; PNG, TIFF and JPEG 2000 also take
// 16-bit BGR and BGRA. Each returns the whole file, or an error text; none throws.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

namespace ambrel::pipeline {

// What a picture carries besides its pixels. Any member may be empty.
struct ImageMetadata
{
    std::vector<std::uint8_t> icc;   // an ICC profile, as stored in the HEIF colr box
    std::vector<std::uint8_t> exif;  // a TIFF block from its header on ("II*\0" or "MM\0*"), no "Exif\0\0"
    std::vector<std::uint8_t> xmp;   // an XMP packet (UTF-8 XML)
    // No profile, and the colours are sRGB's: PNG says so in its sRGB chunk.
    bool srgb = false;
};

struct EncodedFile
{
    std::vector<std::uint8_t> bytes;  // the file, empty on failure
    std::string error;                // why it failed, empty on success
    std::string warning;              // what of the metadata was left out, and why; empty when nothing was

    [[nodiscard]] bool ok() const { return error.empty(); }
};

// zlib level of the PNG and TIFF encoders, chosen for speed. Measured on a
// 12 MP photograph-like picture (4032 x 3024, upscaled photo plus sensor-like
// noise / without the noise), against libpng's defaults (level 6, adaptive
// filters): PNG at level 1 with the Paeth filter and zlib's run-length
// strategy takes 0.52 s / 0.35 s for 19.9 MB / 8.1 MB where the defaults take
// 2.9 s / 2.3 s for 18.9 MB / 7.3 MB. TIFF (deflate, horizontal predictor):
// level 1 0.50 s, 22.7 MB; level 6 1.40 s, 22.1 MB. Levels above 3 use zlib's
// default strategy with libpng's adaptive filters, for size.
constexpr int kLosslessDeflateLevel = 1;

// libpng refuses a profile that does not fit the picture (a grey or CMYK
// profile, a length that disagrees with its data); the PNG is then written
// without it, and the warning says so.
[[nodiscard]] EncodedFile encodePng(const cv::Mat& image, const ImageMetadata& metadata,
                                    int deflateLevel = kLosslessDeflateLevel);

[[nodiscard]] EncodedFile encodeTiff(const cv::Mat& image, const ImageMetadata& metadata,
                                     int deflateLevel = kLosslessDeflateLevel);

// Quality 100 is lossless (the reversible 5/3 wavelet); lower qualities use
// the irreversible 9/7 wavelet at the compression ratio jp2RatioForQuality
// gives. Pictures smaller than 32 pixels a side get fewer resolution levels.
// A 16-bit picture is written with `precision` bits a sample (9 to 16; its
// samples scaled from the full 16-bit range), so that a 10-bit source makes a
// 10-bit file; 8-bit pictures are written with 8.
[[nodiscard]] EncodedFile encodeJp2(const cv::Mat& image, const ImageMetadata& metadata, int quality = 100,
                                    int precision = 16);

// Compression ratio for a JPEG 2000 quality below 100 (clamped to 1..99):
// 2 at 99, doubling every 10 steps down.
[[nodiscard]] double jp2RatioForQuality(int quality);

// The number of wavelet resolution levels used for a width x height picture:
// six, fewer for a side below 32 pixels (each level halves the picture).
[[nodiscard]] int jp2ResolutionLevels(int width, int height);

// BMP keeps only the profile (EXIF and XMP have no place in it). 8-bit only.
[[nodiscard]] EncodedFile encodeBmp(const cv::Mat& image, const ImageMetadata& metadata);

}  // namespace ambrel::pipeline
