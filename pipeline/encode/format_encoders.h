// Encoders for the lossless and JPEG 2000 output formats, working from the
// decoded picture rather than from a JPEG, so that nothing is lost twice and
// the picture's colour profile, EXIF and XMP travel with it:
//
//   PNG       libpng: iCCP (the profile, named) or sRGB, pHYs, eXIf, iTXt "XML:com.adobe.xmp";
//             the pixel data deflated by libdeflate in bands on every core
//   TIFF      libtiff in memory: deflate with the horizontal predictor,
//             resolution, ICC profile and XMP packet tags, the EXIF block's
//             Exif and GPS directories: what of them can be read, and only
//             directories that keep an entry (Orientation is always top-left:
//             the pixels are stored as they are to be shown)
//   JPEG 2000 OpenJPEG, JP2 container: ICC profile in the 'colr' box
//             (ISO/IEC 15444-1), EXIF and XMP in their uuid boxes
//   BMP       written here: BITMAPV5HEADER with the embedded profile
//
// Every encoder takes 8-bit BGR or BGRA; PNG, TIFF and JPEG 2000 also take
// 16-bit BGR and BGRA. Grey pictures (single-channel: auxiliary images such
// as depth maps and gain maps) have encoders of their own, below. Each returns the whole file, or an error text; none throws.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "pipeline/encode/image_writer.h"
#include "pipeline/encode/jpeg_metadata.h"

namespace ambrel::pipeline {

// What a picture carries besides its pixels. Any member may be empty.
struct ImageMetadata
{
    std::vector<std::uint8_t> icc;   // an ICC profile, as stored in the HEIF colr box
    std::vector<std::uint8_t> exif;  // a TIFF block from its header on ("II*\0" or "MM\0*"), no "Exif\0\0"
    std::vector<std::uint8_t> xmp;   // an XMP packet (UTF-8 XML)
    // No profile, and the colours are sRGB's: PNG says so in its sRGB chunk.
    bool srgb = false;
    // TIFF's XResolution, YResolution and ResolutionUnit; PNG's pHYs (in
    // pixels a metre). Usually the EXIF block's (jpegmeta::readResolution).
    jpegmeta::Resolution resolution{};
};


// zlib level of the TIFF encoder, chosen for speed. Measured on a 12 MP
// photograph-like picture (4032 x 3024, upscaled photo plus sensor-like
// noise): deflate with the horizontal predictor at level 1 takes 0.50 s for
// 22.7 MB, at level 6 1.40 s for 22.1 MB.
constexpr int kLosslessDeflateLevel = 1;

// libdeflate level (1 to 12) of the PNG encoder, whose rows are filtered
// (Up, or Paeth where it clearly suits a row) and deflated in bands on every
// core. Measured on the benchmark's phone-like files (whole conversions with
// ambrel-convert and libheif's heif-convert, on a busy 2-core machine):
//   12 MP, 4032 x 3024: 1.2 s for 15.0 MB, where heif-convert takes 3.7 s for
//     15.6 MB (before: zlib level 1, Paeth, run-length matching, 0.8 s for
//     20.7 MB). The encoding alone: 0.9 s of CPU time at level 5; level 2
//     takes 0.4 s of libdeflate's time for 15.3 MB, level 6 0.8 s for 14.9 MB.
//   48 MP, 8064 x 6048: 4.6 s for 58.6 MB, where heif-convert takes 14.6 s
//     for 61.1 MB (before: 3.5 s for 82.7 MB).
//   200 MP, 16320 x 12240, whole conversions (the decoding takes some 3.5 s
//     of CPU time of each): level 5 15.7 s of CPU time for 235.5 MB, level 3
//     12.4 s for 238.6 MB, level 2 11.6 s for 239.7 MB, level 1 9.8 s for
//     249.9 MB.
// Level 2 takes a third less of the encoding's time than level 5 (lazy
// matching, which noise rewards) for files 2 % larger, still smaller than
// heif-convert's.
constexpr int kPngDeflateLevel = 2;

// libpng refuses a profile that does not fit the picture (a grey or CMYK
// profile, a length that disagrees with its data) or that it knows as a
// faulty sRGB profile; the PNG is then written without it (with the sRGB
// chunk for the faulty sRGB profile), and the warning says so.
[[nodiscard]] EncodedFile encodePng(const cv::Mat& image, const ImageMetadata& metadata,
                                    int deflateLevel = kPngDeflateLevel);

// EXIF entries and directories that cannot be read (values outside the
// block, unknown types, directories of more than 1000 entries or outside the
// block) are left out, with a warning; the picture is written all the same.
[[nodiscard]] EncodedFile encodeTiff(const cv::Mat& image, const ImageMetadata& metadata,
                                     int deflateLevel = kLosslessDeflateLevel);

// A PNG or TIFF file written band by band, top to bottom: rows of the
// picture as the encoders take them (8 or 16-bit BGR or BGRA, or grey),
// compressed on every core as enough of them arrive, so that the whole
// picture is never held. The bytes are those encodePng / encodeTiff give
// for the whole picture at the same level (0: each format's default).
// A BMP (8 bits) is the whole file from the start, each row put where it
// belongs (BMP stores them bottom up) as it arrives: the bytes encodeBmp
// gives, without a second copy of the picture.
class LosslessBandWriter
{
public:
    enum class Format {
        Png,
        Tiff,
        Bmp,
    };
    LosslessBandWriter(Format format, cv::Size size, int type, const ImageMetadata& metadata, int deflateLevel = 0);
    ~LosslessBandWriter();
    LosslessBandWriter(const LosslessBandWriter&) = delete;
    LosslessBandWriter& operator=(const LosslessBandWriter&) = delete;

    // The next rows; rows past the picture's height are ignored.
    void writeRows(const cv::Mat& rows);
    // The file, or why there is none (a failure on the way, or rows missing).
    [[nodiscard]] EncodedFile finish();

private:
    struct State;
    std::unique_ptr<State> mState;
};

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

// Grey pictures, without metadata: a single-channel picture (anything else
// is refused) as a grey PNG or TIFF (8 or 16 bits), a JPEG 2000 of one
// component (8 bits, or `precision` bits from 16), a BMP of 8 bits a pixel
// into a table of the 256 greys, or a JPEG of one component (8-bit only).
[[nodiscard]] EncodedFile encodeGreyPng(const cv::Mat& image, int deflateLevel = kPngDeflateLevel);
[[nodiscard]] EncodedFile encodeGreyTiff(const cv::Mat& image, int deflateLevel = kLosslessDeflateLevel);
[[nodiscard]] EncodedFile encodeGreyJp2(const cv::Mat& image, int quality = 100, int precision = 16);
[[nodiscard]] EncodedFile encodeGreyBmp(const cv::Mat& image);
[[nodiscard]] EncodedFile encodeGreyJpeg(const cv::Mat& image, int quality);

}  // namespace ambrel::pipeline
