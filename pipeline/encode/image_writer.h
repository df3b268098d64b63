// One interface for every output format: a table of what each format can
// hold, and a writer per format that takes the picture band by band.
//
// A conversion looks its format up in the table (formatInfo) to decide what
// to decode (8 or 16 bits, BGR or JPEG planes, with alpha or flattened over
// white, turned upright or kept in the stored orientation), prepares the
// metadata once (metadata.h) and hands the writer what the row says it
// holds. A writer is made by makeWriter, started with begin(), given the
// rows top to bottom (writeRows, or writePlanes for a JPEG of planes) and
// closed with finish(), which gives the whole file or the reason there is
// none, and what of the metadata was left out. No writer throws out of
// begin, writeRows, writePlanes or finish: a failure is kept and reported by
// finish().
//
// Adding a format: one file behind ImageWriter, one row in kOutputFormats
// (image_writer.cpp) and a case in makeWriter.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <opencv2/core.hpp>

#include "pipeline/encode/metadata.h"
#include "pipeline/output_format.h"

namespace ambrel::pipeline {

// The samples a writer is given.
enum class Channels {
    Grey,        // one channel: auxiliary images (depth, gain map, alpha...) and monochrome pictures
    Bgr,         // three channels
    Bgra,        // four, the colours straight (not premultiplied)
    JpegPlanes,  // 8-bit Y'CbCr planes as a JPEG stores them (chroma halved both ways): writePlanes
};

struct PixelLayout
{
    Channels channels = Channels::Bgr;
    int bits = 8;  // 8 or 16 (JpegPlanes: 8)

    // The layout of an OpenCV picture type (CV_8UC1 ... CV_16UC4); Bgr 8 for others.
    [[nodiscard]] static PixelLayout ofType(int type);
    // The OpenCV type of the rows writeRows takes (CV_8UC1 for JpegPlanes' luma).
    [[nodiscard]] int cvType() const;
    bool operator==(const PixelLayout&) const = default;
};

// What a format can hold. A writer takes every layout but JpegPlanes; what
// the format cannot hold is converted on the way in (16 bits narrowed, grey
// widened to colour where the format has no grey), never refused, and the
// conversion decides from this row whether to decode it at all.
struct FormatInfo
{
    OutputFormat format;
    std::string_view name;        // lower case, as the command line takes it ("jpg", "webp")
    std::string_view extension;   // with its dot (".jpg", ".webp")
    bool alpha;                   // an alpha channel; without it the picture is shown over white
    bool sixteenBits;             // 16-bit samples
    bool jpegPlanes;              // takes JpegPlanes (writePlanes)
    bool grey;                    // stores a grey picture as grey
    std::size_t maxExif;          // the largest EXIF block ("Exif" 00 00 and TIFF data) it holds; 0 none
    bool icc;                     // an ICC profile
    bool xmp;                     // an XMP packet
    bool resolution;              // the pixel density
    bool gainMap;                 // an HDR gain map beside the picture
    bool keepsStoredOrientation;  // may keep the stored orientation, its EXIF saying how to turn it
    bool quality;                 // uses ConversionSettings::quality
    bool streams;                 // writes band by band; false: holds the picture until finish()
    // Makes an EXIF block larger than maxExif fit, in place; false when it
    // cannot (the EXIF is then left out). Null: such a block is left out.
    bool (*fitExif)(std::vector<std::uint8_t>& block) = nullptr;
};

// Every output format, in the order the front ends list them.
[[nodiscard]] std::span<const FormatInfo> outputFormats();
// The row of `format`.
[[nodiscard]] const FormatInfo& formatInfo(OutputFormat format);

// The file a writer made, or why there is none.
struct EncodedFile
{
    std::vector<std::uint8_t> bytes;  // the file, empty on failure
    std::string error;                // why it failed, empty on success
    std::string warning;              // what of the metadata was left out, and why; empty when nothing was

    [[nodiscard]] bool ok() const { return error.empty(); }
};

// How a writer encodes, besides the pixels and the metadata.
struct WriterOptions
{
    int quality = 100;     // JPEG quality; JPEG 2000 and WebP: 100 lossless, below lossy
    int precision = 16;    // JPEG 2000: the bits a 16-bit sample keeps (9 to 16)
    int deflateLevel = 0;  // PNG and TIFF: the level; 0 the format's default
};

class ImageWriter
{
public:
    virtual ~ImageWriter() = default;
    ImageWriter(const ImageWriter&) = delete;
    ImageWriter& operator=(const ImageWriter&) = delete;

    // Starts a picture of `size` (both sides above 0) of `layout`, with the
    // metadata (as prepared for this format: forFormat). Called once, first.
    virtual void begin(cv::Size size, PixelLayout layout, const WriterMetadata& metadata) = 0;
    // The next rows, top to bottom, of the picture's width and layout (a
    // view into a larger picture will do); rows past its height are ignored.
    virtual void writeRows(const cv::Mat& rows) = 0;
    // JpegPlanes only: the next rows as planes (see JpegEncoder::writePlanes).
    virtual void writePlanes(const cv::Mat& luma, const cv::Mat& cb, const cv::Mat& cr);
    // The file, or why there is none (a failure on the way, rows missing).
    [[nodiscard]] virtual EncodedFile finish() = 0;

protected:
    ImageWriter() = default;
};

// The writer of `format`.
[[nodiscard]] std::unique_ptr<ImageWriter> makeWriter(OutputFormat format, const WriterOptions& options = {});

// The whole picture through the format's writer: begin, one band, finish.
[[nodiscard]] EncodedFile writeImage(OutputFormat format, const cv::Mat& image, const WriterMetadata& metadata,
                                     const WriterOptions& options = {});

}  // namespace ambrel::pipeline
