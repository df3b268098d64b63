#include "pipeline/decode/swscale_converter.h"

#include <cmath>
#include <limits>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/mem.h>
#include <libavutil/pixdesc.h>
#include <libswscale/swscale.h>
}

namespace ambrel::pipeline {

namespace {

struct ScalerFree
{
    void operator()(SwsContext* scaler) const { sws_freeContext(scaler); }
};

// The YUV-to-RGB coefficients swscale uses for a frame's matrix; BT.601
// when the stream names none (or one swscale has no table for).
int swsColourspace(AVColorSpace colourspace)
{
    switch (colourspace) {
    case AVCOL_SPC_BT709: return SWS_CS_ITU709;
    case AVCOL_SPC_FCC: return SWS_CS_FCC;
    case AVCOL_SPC_SMPTE240M: return SWS_CS_SMPTE240M;
    case AVCOL_SPC_BT2020_NCL:
    case AVCOL_SPC_BT2020_CL: return SWS_CS_BT2020;
    default: return SWS_CS_ITU601;
    }
}

// swscale reads full-range samples of more than 8 bits as if their top level
// were 2^bits - 2^(bits - 8) (1020 at 10 bits) instead of 2^bits - 1: left
// alone, bright and saturated colours come out up to 3/4 of a level too
// strong. The factor that undoes it, in 16.16 fixed point, for the luma
// contrast and the chroma saturation alike.
int fullRangeGain(AVPixelFormat format, bool fullRange)
{
    const AVPixFmtDescriptor* descriptor = av_pix_fmt_desc_get(format);
    const int bits = descriptor != nullptr ? descriptor->comp[0].depth : 8;
    if (!fullRange || bits <= 8 || bits > 16) {
        return 1 << 16;
    }
    const double top = double((1 << bits) - 1);
    const double assumed = double((1 << bits) - (1 << (bits - 8)));
    return static_cast<int>(std::lround(65536.0 * assumed / top));
}

// swscale's fast special converters (8-bit 4:2:0 and 4:2:2 to 24-bit RGB)
// work in blocks of 16 pixels: they write up to 8 pixels past the end of a
// row whose width is 8 to 14 more than a multiple of 16, leave the last
// pixels of one 2 to 6 more unwritten, and come out 1 to 2 levels dark.
// Accurate rounding keeps swscale on its generic path, which writes whole
// rows and rounds right; full chroma interpolation upsamples the chroma for
// every pixel instead of repeating it.
constexpr int kScalerFlags = SWS_BICUBIC | SWS_ACCURATE_RND | SWS_FULL_CHR_H_INT;

// Alignment and slack of the rows swscale writes into: vector code may store
// whole vectors of up to 64 bytes at the end of a row.
constexpr std::size_t kScratchAlign = 64;
constexpr std::size_t kScratchSlack = 64;

// swscale writes 16-bit RGB from Y'CbCr as if white were 255 x 256 (limited
// range) or the top code shifted up to 16 bits (1023 x 64 at 10 bits, full
// range) instead of 65535: up to 255 levels dark. The factor that undoes it,
// in 16.16 fixed point.
int wideOutputGain(AVPixelFormat format, bool fullRange)
{
    const AVPixFmtDescriptor* descriptor = av_pix_fmt_desc_get(format);
    const int bits = descriptor != nullptr ? descriptor->comp[0].depth : 8;
    if (descriptor == nullptr || (descriptor->flags & AV_PIX_FMT_FLAG_RGB) != 0 || bits < 8 || bits > 16) {
        return 1 << 16;
    }
    const double white = fullRange ? double((1 << bits) - 1) * double(1 << (16 - bits)) : 255.0 * 256.0;
    return static_cast<int>(std::lround(65536.0 * 65535.0 / white));
}

class ScalerConverter
{
public:
    // Converts the frame into `target` (8 or 16-bit BGR of the frame's size).
    // swscale writes into a scratch picture of the converter's own, with
    // aligned and padded rows, and only the picture's pixels are copied into
    // `target`: nothing FFmpeg does reaches past them (into a neighbouring
    // tile of the mosaic, or past the end of an allocation).
    void convert(const AVFrame& frame, cv::Mat& target)
    {
        const int colourspace = swsColourspace(frame.colorspace);
        bool fullRange = frame.color_range == AVCOL_RANGE_JPEG;
        const AVPixelFormat format = withoutRangeInName(frame.format, fullRange);
        const bool sixteen = target.depth() == CV_16U;
        const AVPixelFormat output = sixteen ? AV_PIX_FMT_BGR48 : AV_PIX_FMT_BGR24;
        if (!mScaler || frame.width != mWidth || frame.height != mHeight || frame.format != mFormat ||
            output != mOutput || colourspace != mColourspace || fullRange != mFullRange) {
            mScaler.reset();
            mWidth = 0;
            allocateScratch(frame.width, frame.height, sixteen ? 6 : 3);
            mScaler.reset(sws_getContext(frame.width, frame.height, format, frame.width, frame.height, output,
                                         kScalerFlags, nullptr, nullptr, nullptr));
            if (!mScaler) {
                throw std::runtime_error("swscale cannot convert pixel format " + std::to_string(frame.format) +
                                         " into " + std::to_string(output));
            }
            const int gain = sixteen ? wideOutputGain(format, fullRange) : fullRangeGain(format, fullRange);
            if (sws_setColorspaceDetails(mScaler.get(), sws_getCoefficients(colourspace), fullRange ? 1 : 0,
                                         sws_getCoefficients(SWS_CS_DEFAULT), 1, 0, gain, gain) < 0) {
                mScaler.reset();
                throw std::runtime_error("swscale cannot convert from colour space " + std::to_string(colourspace));
            }
            mWidth = frame.width;
            mHeight = frame.height;
            mFormat = frame.format;
            mOutput = output;
            mColourspace = colourspace;
            mFullRange = fullRange;
        }
        std::uint8_t* destination[4] = {mScratch.get(), nullptr, nullptr, nullptr};
        int strides[4] = {static_cast<int>(mScratchStride), 0, 0, 0};
        if (sws_scale(mScaler.get(), frame.data, frame.linesize, 0, frame.height, destination, strides) !=
            frame.height) {
            throw std::runtime_error("swscale did not convert the whole picture");
        }
        const cv::Mat converted(frame.height, frame.width, target.type(), mScratch.get(), mScratchStride);
        converted(cv::Rect(0, 0, target.cols, target.rows)).copyTo(target);
    }

private:
    struct BytesFree
    {
        void operator()(std::uint8_t* bytes) const { av_free(bytes); }
    };

    void allocateScratch(int width, int height, int bytesPerPixel)
    {
        mScratch.reset();
        const std::size_t row = std::size_t(width) * std::size_t(bytesPerPixel);
        const std::size_t stride = (row + kScratchSlack + kScratchAlign - 1) / kScratchAlign * kScratchAlign;
        if (width <= 0 || height <= 0 || stride > std::size_t(std::numeric_limits<int>::max())) {
            throw std::runtime_error("no picture of " + std::to_string(width) + " x " + std::to_string(height) +
                                     " can be converted");
        }
        // A spare row after the last as well.
        mScratch.reset(static_cast<std::uint8_t*>(av_malloc(stride * (std::size_t(height) + 1))));
        if (!mScratch) {
            throw std::bad_alloc();
        }
        mScratchStride = stride;
    }

    std::unique_ptr<SwsContext, ScalerFree> mScaler;
    std::unique_ptr<std::uint8_t, BytesFree> mScratch;
    std::size_t mScratchStride = 0;
    int mWidth = 0;
    int mHeight = 0;
    int mFormat = -1;
    AVPixelFormat mOutput = AV_PIX_FMT_NONE;
    int mColourspace = -1;
    bool mFullRange = false;
};

}  // namespace

// The "J" formats are their plain counterparts with full range said by the
// name; swscale is given the plain format and told the range.
AVPixelFormat withoutRangeInName(int format, bool& fullRange)
{
    switch (format) {
    case AV_PIX_FMT_YUVJ420P: fullRange = true; return AV_PIX_FMT_YUV420P;
    case AV_PIX_FMT_YUVJ422P: fullRange = true; return AV_PIX_FMT_YUV422P;
    case AV_PIX_FMT_YUVJ444P: fullRange = true; return AV_PIX_FMT_YUV444P;
    case AV_PIX_FMT_YUVJ440P: fullRange = true; return AV_PIX_FMT_YUV440P;
    case AV_PIX_FMT_YUVJ411P: fullRange = true; return AV_PIX_FMT_YUV411P;
    default: return static_cast<AVPixelFormat>(format);
    }
}

struct SwscaleConverter::Impl
{
    ScalerConverter converter;
};

SwscaleConverter::SwscaleConverter() : mImpl(std::make_unique<Impl>()) {}
SwscaleConverter::~SwscaleConverter() = default;

void SwscaleConverter::convert(const AVFrame& frame, cv::Mat& target)
{
    mImpl->converter.convert(frame, target);
}

}  // namespace ambrel::pipeline
