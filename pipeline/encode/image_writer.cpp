#include "pipeline/encode/image_writer.h"

#include <array>

#include "pipeline/encode/jpeg_metadata.h"
#include "pipeline/encode/writer_support.h"

namespace ambrel::pipeline {

namespace {

constexpr std::size_t kNoExif = 0;

// clang-format off
// format, name, extension, alpha, 16 bits, JPEG planes, grey, largest EXIF, ICC, XMP, resolution, gain map,
// keeps the stored orientation, quality, streams, EXIF fitting.
const std::array<FormatInfo, 6> kOutputFormats = {{
    {OutputFormat::Jpg, "jpg", ".jpg", false, false, true, true, jpegmeta::kMaxApp1Payload, true, true, true, true,
     true, true, true, fitJpegExif},
    {OutputFormat::Png, "png", ".png", true, true, false, true, kMaxCarriedExif, true, true, true, false, false, false,
     true},
    {OutputFormat::Bmp, "bmp", ".bmp", false, false, false, true, kNoExif, true, false, false, false, false, false,
     true},
    {OutputFormat::Jpeg2000, "jpeg2000", ".jp2", true, true, false, true, kMaxCarriedExif, true, true, false, false,
     false, true, false},
    {OutputFormat::Tiff, "tiff", ".tif", true, true, false, true, kMaxCarriedExif, true, true, true, false, false,
     false, true},
    {OutputFormat::Webp, "webp", ".webp", true, false, false, false, kMaxCarriedExif, true, true, false, false, false,
     true, false},
}};
// clang-format on

}  // namespace

PixelLayout PixelLayout::ofType(int type)
{
    const int bits = CV_MAT_DEPTH(type) == CV_16U ? 16 : 8;
    switch (CV_MAT_CN(type)) {
    case 1: return {Channels::Grey, bits};
    case 4: return {Channels::Bgra, bits};
    default: return {Channels::Bgr, bits};
    }
}

int PixelLayout::cvType() const
{
    const int depth = bits == 16 ? CV_16U : CV_8U;
    switch (channels) {
    case Channels::Grey: return CV_MAKETYPE(depth, 1);
    case Channels::Bgra: return CV_MAKETYPE(depth, 4);
    case Channels::Bgr: return CV_MAKETYPE(depth, 3);
    case Channels::JpegPlanes: return CV_8UC1;
    }
    return CV_8UC3;
}

std::span<const FormatInfo> outputFormats()
{
    return kOutputFormats;
}

const FormatInfo& formatInfo(OutputFormat format)
{
    for (const FormatInfo& info : kOutputFormats) {
        if (info.format == format) {
            return info;
        }
    }
    return kOutputFormats.front();
}

void ImageWriter::writePlanes(const cv::Mat&, const cv::Mat&, const cv::Mat&) {}

std::unique_ptr<ImageWriter> makeWriter(OutputFormat format, const WriterOptions& options)
{
    switch (format) {
    case OutputFormat::Jpg: return makeJpegWriter(options);
    case OutputFormat::Png: return makePngWriter(options);
    case OutputFormat::Bmp: return makeBmpWriter(options);
    case OutputFormat::Jpeg2000: return makeJp2Writer(options);
    case OutputFormat::Tiff: return makeTiffWriter(options);
    case OutputFormat::Webp: return makeWebpWriter(options);
    }
    return makeJpegWriter(options);
}

EncodedFile writeImage(OutputFormat format, const cv::Mat& image, const WriterMetadata& metadata,
                       const WriterOptions& options)
{
    if (image.empty() || image.dims != 2) {
        return writing::failure("the picture is empty");
    }
    const std::unique_ptr<ImageWriter> writer = makeWriter(format, options);
    writer->begin(image.size(), PixelLayout::ofType(image.type()), metadata);
    writer->writeRows(image);
    return writer->finish();
}

}  // namespace ambrel::pipeline
