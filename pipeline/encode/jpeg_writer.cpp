// JPEG: colour pictures go to the JpegEncoder (libjpeg-turbo, set up as
// OpenCV's imencode sets it up) row band by row band, or as the planes the
// decoder made; it writes the EXIF, XMP and ICC segments and the gain-map
// JPEG. Grey pictures are held and written as a JPEG of one component at
// finish(). The 64 KB limit of a JPEG segment is this format's alone:
// fitJpegExif shrinks an EXIF block to it (or gives it up) before the
// picture is decoded, since whether the EXIF is carried decides whether the
// pixels are turned.
#include <csetjmp>
#include <cstdlib>
#include <optional>
#include <stdexcept>

#include <jpeglib.h>

#include <opencv2/imgproc.hpp>

#include "pipeline/encode/jpeg_encoder.h"
#include "pipeline/encode/writer_support.h"

namespace ambrel::pipeline {

namespace {

using namespace writing;

struct GreyJpegError
{
    jpeg_error_mgr manager{};
    std::jmp_buf jump{};
    char message[JMSG_LENGTH_MAX] = {};
};

void greyJpegFail(j_common_ptr info)
{
    auto* error = reinterpret_cast<GreyJpegError*>(info->err);
    (*info->err->format_message)(info, error->message);
    std::longjmp(error->jump, 1);
}

void greyJpegQuiet(j_common_ptr, int) {}

// Compresses the rows into `memory`; false with the library's message in
// `error` when it gives up. Kept apart from encodeGreyJpeg so that nothing
// with a destructor lives across the jump.
bool compressGrey(const cv::Mat& image, int quality, unsigned char*& memory, unsigned long& size, GreyJpegError& error)
{
    jpeg_compress_struct info{};
    info.err = jpeg_std_error(&error.manager);
    error.manager.error_exit = greyJpegFail;
    error.manager.emit_message = greyJpegQuiet;
    if (setjmp(error.jump)) {
        jpeg_destroy_compress(&info);
        return false;
    }
    jpeg_create_compress(&info);
    jpeg_mem_dest(&info, &memory, &size);
    info.image_width = static_cast<JDIMENSION>(image.cols);
    info.image_height = static_cast<JDIMENSION>(image.rows);
    info.input_components = 1;
    info.in_color_space = JCS_GRAYSCALE;
    jpeg_set_defaults(&info);
    jpeg_set_quality(&info, std::clamp(quality, 0, 100), TRUE);
    info.optimize_coding = TRUE;
    jpeg_start_compress(&info, TRUE);
    while (info.next_scanline < info.image_height) {
        JSAMPROW row = const_cast<JSAMPROW>(image.ptr<std::uint8_t>(static_cast<int>(info.next_scanline)));
        jpeg_write_scanlines(&info, &row, 1);
    }
    jpeg_finish_compress(&info);
    jpeg_destroy_compress(&info);
    return true;
}

// The segments a colour JPEG carries: the EXIF segment in place of the JFIF
// segment when the EXIF is carried (even empty), else the JFIF segment with
// the resolution as its density.
JpegSegments segmentsFor(const WriterMetadata& metadata)
{
    JpegSegments segments;
    segments.exifSegment = metadata.carryExif;
    segments.exif = metadata.exif;
    segments.xmp = metadata.xmp;
    segments.icc = metadata.icc;
    segments.density = metadata.resolution;
    segments.gainMap = metadata.gainMap;
    return segments;
}

class JpegWriter final : public ImageWriter
{
public:
    explicit JpegWriter(const WriterOptions& options) : mQuality(options.quality) {}

    void begin(cv::Size size, PixelLayout layout, const WriterMetadata& metadata) override
    {
        mLayout = layout;
        mSize = size;
        if (size.width <= 0 || size.height <= 0) {
            mError = "JPEG: the picture has no pixels";
            return;
        }
        if (layout.channels == Channels::Grey) {
            if (size.width > 65535 || size.height > 65535) {
                mError = "JPEG: the picture is larger than 65535 pixels a side";
                return;
            }
            mGrey.start(size, CV_8UC1);
            return;
        }
        try {
            mEncoder.emplace(size.width, size.height, mQuality, segmentsFor(metadata),
                             layout.channels == Channels::JpegPlanes ? JpegInput::Planes : JpegInput::Bgr);
        } catch (const std::exception& error) {
            mError = std::string("JPEG: ") + error.what();
        }
    }

    void writeRows(const cv::Mat& rows) override
    {
        if (!mError.empty() || mLayout.channels == Channels::JpegPlanes)
            return;
        if (std::string problem = checkRows(rows, mSize.width, mLayout); !problem.empty()) {
            mError = problem;
            return;
        }
        cv::Mat narrow = eightBitRows(rows);
        if (mLayout.channels == Channels::Grey) {
            if (std::string problem = mGrey.add(narrow); !problem.empty())
                mError = "JPEG: " + problem;
            return;
        }
        if (narrow.channels() == 4) {
            cv::cvtColor(narrow, narrow, cv::COLOR_BGRA2BGR);
        }
        if (mEncoder) {
            mEncoder->writeRows(narrow);
        }
    }

    void writePlanes(const cv::Mat& luma, const cv::Mat& cb, const cv::Mat& cr) override
    {
        if (mEncoder && mLayout.channels == Channels::JpegPlanes) {
            mEncoder->writePlanes(luma, cb, cr);
        }
    }

    EncodedFile finish() override
    {
        if (!mError.empty())
            return failure(mError);
        if (mLayout.channels == Channels::Grey)
            return finishGrey();
        if (!mEncoder)
            return failure("JPEG: the picture was not started");
        std::vector<std::uint8_t> bytes = mEncoder->finish();
        if (bytes.empty())
            return failure("the JPEG encoder cannot encode a picture of " + std::to_string(mSize.width) + " x " +
                           std::to_string(mSize.height) + " pixels");
        return {std::move(bytes), {}, mEncoder->warning()};
    }

private:
    EncodedFile finishGrey()
    {
        if (!mGrey.complete())
            return failure("not every row was given");
        unsigned char* memory = nullptr;
        unsigned long size = 0;
        GreyJpegError error;
        const bool done = compressGrey(mGrey.picture(), mQuality, memory, size, error);
        std::unique_ptr<unsigned char, decltype(&std::free)> owned(memory, &std::free);
        if (!done)
            return failure(std::string("JPEG: ") + error.message);
        return {Bytes(memory, memory + size), {}, {}};
    }

    int mQuality;
    PixelLayout mLayout;
    cv::Size mSize;
    std::optional<JpegEncoder> mEncoder;
    HeldPicture mGrey;
    std::string mError;
};

}  // namespace

bool fitJpegExif(std::vector<std::uint8_t>& block)
{
    return jpegmeta::fitIntoApp1(block);
}

std::unique_ptr<ImageWriter> makeJpegWriter(const WriterOptions& options)
{
    return std::make_unique<JpegWriter>(options);
}

}  // namespace ambrel::pipeline
