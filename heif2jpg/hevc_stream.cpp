#include "heif2jpg/hevc_stream.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <fstream>
#include <limits>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <span>
#include <stdexcept>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
#include <libavutil/log.h>
#include <libavutil/mem.h>
#include <libavutil/pixdesc.h>
#include <libavutil/pixfmt.h>
#include <libswscale/swscale.h>
}

#include <opencv2/core/hal/intrin.hpp>

#include "heiclib/log.h"

namespace ambrel::pipeline {

namespace {

constexpr std::size_t kReservedFrames = 48;
// Failed pictures reported one after the other before decoding gives up.
constexpr int kMaxErrorsInARow = 64;

}  // namespace

bool assembleHevcBitstream(const HeifImageData& data, std::vector<std::uint8_t>& stream)
{
    stream.clear();
    try {
        const std::size_t tileCount = data.tiles.size();
        if (tileCount != 0 && data.paramSets.size() > kMaxRepeatedParameterSetBytes / tileCount) {
            return false;
        }
        std::size_t total = data.paramSets.size() * tileCount;
        for (const auto& tile : data.tiles) {
            total += tile.size();
        }
        stream.reserve(total);
        for (const auto& tile : data.tiles) {
            stream.insert(stream.end(), data.paramSets.begin(), data.paramSets.end());
            stream.insert(stream.end(), tile.begin(), tile.end());
        }
    } catch (...) {
        stream.clear();
        return false;
    }
    return true;
}

bool write_hevc_bitstream(const std::string& path, const std::vector<std::uint8_t>& stream)
{
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    if (!file) {
        return false;
    }
    file.write(reinterpret_cast<const char*>(stream.data()), static_cast<std::streamsize>(stream.size()));
    file.close();
    return !file.fail();
}

bool write_hevc_bitstream(const std::string& path, const HeifImageData& data)
{
    std::vector<std::uint8_t> stream;
    return assembleHevcBitstream(data, stream) && write_hevc_bitstream(path, stream);
}

namespace {

struct CodecContextFree
{
    void operator()(AVCodecContext* context) const { avcodec_free_context(&context); }
};
struct ParserClose
{
    void operator()(AVCodecParserContext* parser) const { av_parser_close(parser); }
};
struct PacketFree
{
    void operator()(AVPacket* packet) const { av_packet_free(&packet); }
};
struct FrameFree
{
    void operator()(AVFrame* frame) const { av_frame_free(&frame); }
};
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

class ScalerConverter
{
public:
    // Converts the frame into `target` (8-bit BGR of the frame's size).
    // swscale writes into a scratch picture of the converter's own, with
    // aligned and padded rows, and only the picture's pixels are copied into
    // `target`: nothing FFmpeg does reaches past them (into a neighbouring
    // tile of the mosaic, or past the end of an allocation).
    void convert(const AVFrame& frame, cv::Mat& target)
    {
        const int colourspace = swsColourspace(frame.colorspace);
        bool fullRange = frame.color_range == AVCOL_RANGE_JPEG;
        const AVPixelFormat format = withoutRangeInName(frame.format, fullRange);
        if (!mScaler || frame.width != mWidth || frame.height != mHeight || frame.format != mFormat ||
            colourspace != mColourspace || fullRange != mFullRange) {
            mScaler.reset();
            mWidth = 0;
            allocateScratch(frame.width, frame.height);
            mScaler.reset(sws_getContext(frame.width, frame.height, format, frame.width, frame.height, AV_PIX_FMT_BGR24,
                                         kScalerFlags, nullptr, nullptr, nullptr));
            if (!mScaler) {
                throw std::runtime_error("swscale cannot convert pixel format " + std::to_string(frame.format));
            }
            const int gain = fullRangeGain(format, fullRange);
            if (sws_setColorspaceDetails(mScaler.get(), sws_getCoefficients(colourspace), fullRange ? 1 : 0,
                                         sws_getCoefficients(SWS_CS_DEFAULT), 1, 0, gain, gain) < 0) {
                mScaler.reset();
                throw std::runtime_error("swscale cannot convert from colour space " + std::to_string(colourspace));
            }
            mWidth = frame.width;
            mHeight = frame.height;
            mFormat = frame.format;
            mColourspace = colourspace;
            mFullRange = fullRange;
        }
        std::uint8_t* destination[4] = {mScratch.get(), nullptr, nullptr, nullptr};
        int strides[4] = {static_cast<int>(mScratchStride), 0, 0, 0};
        if (sws_scale(mScaler.get(), frame.data, frame.linesize, 0, frame.height, destination, strides) !=
            frame.height) {
            throw std::runtime_error("swscale did not convert the whole picture");
        }
        const cv::Mat converted(frame.height, frame.width, CV_8UC3, mScratch.get(), mScratchStride);
        converted.copyTo(target);
    }

private:
    struct BytesFree
    {
        void operator()(std::uint8_t* bytes) const { av_free(bytes); }
    };

    void allocateScratch(int width, int height)
    {
        mScratch.reset();
        const std::size_t row = std::size_t(width) * 3;
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
    int mColourspace = -1;
    bool mFullRange = false;
};

// The Y'CbCr-to-R'G'B' matrix of a frame: luma weights of red and blue.
// BT.601 when the stream names none, or one without such weights.
struct LumaWeights
{
    double red;
    double blue;
};

LumaWeights lumaWeights(AVColorSpace colourspace)
{
    switch (colourspace) {
    case AVCOL_SPC_BT709: return {0.2126, 0.0722};
    case AVCOL_SPC_FCC: return {0.30, 0.11};
    case AVCOL_SPC_SMPTE240M: return {0.212, 0.087};
    case AVCOL_SPC_BT2020_NCL:
    case AVCOL_SPC_BT2020_CL: return {0.2627, 0.0593};
    default: return {0.299, 0.114};
    }
}

// Planar Y'CbCr (or luma only) of 8 to 16 bits, native byte order, chroma
// halved in either direction or not at all: the formats FFmpeg's HEVC
// decoder gives for its pictures, which YuvToBgr converts itself.
struct PlanarLayout
{
    int bits = 0;
    bool wide = false;  // two bytes per sample
    bool chroma = false;
    int chromaShiftX = 0;
    int chromaShiftY = 0;
};

bool planarLayout(int format, PlanarLayout& layout)
{
    const AVPixFmtDescriptor* descriptor = av_pix_fmt_desc_get(static_cast<AVPixelFormat>(format));
    if (descriptor == nullptr ||
        (descriptor->flags &
         (AV_PIX_FMT_FLAG_BE | AV_PIX_FMT_FLAG_RGB | AV_PIX_FMT_FLAG_PAL | AV_PIX_FMT_FLAG_BITSTREAM |
          AV_PIX_FMT_FLAG_HWACCEL | AV_PIX_FMT_FLAG_FLOAT | AV_PIX_FMT_FLAG_ALPHA)) != 0 ||
        (descriptor->nb_components != 1 && descriptor->nb_components != 3) || descriptor->log2_chroma_w > 1 ||
        descriptor->log2_chroma_h > 1) {
        return false;
    }
    const int bits = descriptor->comp[0].depth;
    if (bits < 8 || bits > 16) {
        return false;
    }
    const int step = bits > 8 ? 2 : 1;
    for (int i = 0; i < descriptor->nb_components; ++i) {
        const AVComponentDescriptor& component = descriptor->comp[i];
        if (component.plane != i || component.step != step || component.offset != 0 || component.shift != 0 ||
            component.depth != bits) {
            return false;
        }
    }
    layout.bits = bits;
    layout.wide = step == 2;
    layout.chroma = descriptor->nb_components == 3;
    layout.chromaShiftX = descriptor->log2_chroma_w;
    layout.chromaShiftY = descriptor->log2_chroma_h;
    return true;
}

// Y'CbCr to 8-bit BGR, rounded to the nearest level, from the
// exact arithmetic of the matrix and range: limited range takes luma 16 to
// 235 and chroma 16 to 240 (times 2^(bits - 8)) as 0 to 1 and -0.5 to 0.5,
// full range 0 to 2^bits - 1. Halved chroma is upsampled by linear
// interpolation between its samples, sited as the frame says (horizontally
// with the even luma samples and vertically between rows unless told
// otherwise). Writes exactly the target's pixels.
class YuvToBgr
{
public:
    YuvToBgr(const PlanarLayout& layout, AVColorSpace colourspace, bool fullRange, AVChromaLocation location)
        : mLayout(layout)
    {
        const LumaWeights weights = lumaWeights(colourspace);
        const double green = 1.0 - weights.red - weights.blue;
        const double scale = double(1 << (layout.bits - 8));
        const double lumaRange = fullRange ? double((1 << layout.bits) - 1) : 219.0 * scale;
        const double chromaRange = fullRange ? double((1 << layout.bits) - 1) : 224.0 * scale;
        const double lumaOffset = fullRange ? 0.0 : 16.0 * scale;
        // Chroma arrives as kChromaScale times its samples, offset included.
        const double chromaUnit = 255.0 / (chromaRange * kChromaScale);
        const double chromaOffset = double(1 << (layout.bits - 1)) * kChromaScale;
        mLuma = float(255.0 / lumaRange);
        mRedFromCr = float(2.0 * (1.0 - weights.red) * chromaUnit);
        mBlueFromCb = float(2.0 * (1.0 - weights.blue) * chromaUnit);
        mGreenFromCr = float(-2.0 * (1.0 - weights.red) * weights.red / green * chromaUnit);
        mGreenFromCb = float(-2.0 * (1.0 - weights.blue) * weights.blue / green * chromaUnit);
        // All offsets in one constant per channel.
        const double base = -lumaOffset * 255.0 / lumaRange;
        mBlueBase = float(base - double(mBlueFromCb) * chromaOffset);
        mGreenBase = float(base - (double(mGreenFromCb) + double(mGreenFromCr)) * chromaOffset);
        mRedBase = float(base - double(mRedFromCr) * chromaOffset);
        // Chroma sample positions relative to luma (the chroma sample
        // location types of H.273): "left" is horizontally with the even luma
        // samples, "top" vertically with the even rows.
        mCentredX = location == AVCHROMA_LOC_CENTER || location == AVCHROMA_LOC_TOP || location == AVCHROMA_LOC_BOTTOM;
        mCentredY = !(location == AVCHROMA_LOC_TOPLEFT || location == AVCHROMA_LOC_TOP);
    }

    void convert(const AVFrame& frame, cv::Mat& target)
    {
        const int width = frame.width;
        // Pixels are done 16 at a time; the rows of chroma have room for the
        // last group.
        const std::size_t padded = (std::size_t(width) + 15) / 16 * 16;
        if (!mLayout.chroma) {
            // Neutral chroma: the bases then hold the offsets alone.
            mNeutral.assign(padded, float(1 << (mLayout.bits - 1)) * kChromaScale / 4.0f);
        }
        for (Cached& cached : mCache) {
            cached.row = -1;
            cached.cb.resize(padded);
            cached.cr.resize(padded);
        }
        mColumn.resize(std::size_t(AV_CEIL_RSHIFT(width, mLayout.chromaShiftX)));
        for (int y = 0; y < frame.height; ++y) {
            Weights w{mNeutral.data(), mNeutral.data(), mNeutral.data(), mNeutral.data(), 4.0f, 0.0f};
            if (mLayout.chroma) {
                int near = y;
                int far = y;
                if (mLayout.chromaShiftY != 0) {
                    const int chromaHeight = AV_CEIL_RSHIFT(frame.height, 1);
                    near = y >> 1;
                    if (mCentredY) {
                        far = (y & 1) != 0 ? near + 1 : near - 1;
                        w.near = 3.0f;
                    } else {
                        far = near + 1;
                        w.near = (y & 1) != 0 ? 2.0f : 4.0f;
                    }
                    far = std::clamp(far, 0, chromaHeight - 1);
                }
                w.far = 4.0f - w.near;
                const Cached& a = chromaRow(frame, near);
                const Cached& b = chromaRow(frame, far);
                w.cbNear = a.cb.data();
                w.crNear = a.cr.data();
                w.cbFar = b.cb.data();
                w.crFar = b.cr.data();
            }
            const std::uint8_t* luma = frame.data[0] + std::ptrdiff_t(y) * frame.linesize[0];
            std::uint8_t* out = target.ptr<std::uint8_t>(y);
            if (mLayout.wide) {
                pixels(reinterpret_cast<const std::uint16_t*>(luma), out, width, w);
            } else {
                pixels(luma, out, width, w);
            }
        }
    }

private:
    // Chroma is carried at kChromaScale times its sample values: exact for
    // the interpolation weights (quarters in each direction).
    static constexpr int kChromaScale = 16;

    // One chroma row upsampled to the luma width (times 4: horizontal
    // quarters), both planes.
    struct Cached
    {
        int row = -1;
        std::vector<float> cb;
        std::vector<float> cr;
    };

    // The two chroma rows a luma row blends and their weights in quarters.
    struct Weights
    {
        const float* cbNear;
        const float* crNear;
        const float* cbFar;
        const float* crFar;
        float near;
        float far;
    };

    template <typename Sample>
    void pixels(const Sample* luma, std::uint8_t* out, int width, const Weights& w) const
    {
        const float k = mLuma;
        int x = 0;
#if CV_SIMD128
        const cv::v_float32x4 vk = cv::v_setall_f32(k);
        const cv::v_float32x4 vNear = cv::v_setall_f32(w.near);
        const cv::v_float32x4 vFar = cv::v_setall_f32(w.far);
        const cv::v_float32x4 bu = cv::v_setall_f32(mBlueFromCb);
        const cv::v_float32x4 gu = cv::v_setall_f32(mGreenFromCb);
        const cv::v_float32x4 gv = cv::v_setall_f32(mGreenFromCr);
        const cv::v_float32x4 rv = cv::v_setall_f32(mRedFromCr);
        const cv::v_float32x4 b0 = cv::v_setall_f32(mBlueBase);
        const cv::v_float32x4 g0 = cv::v_setall_f32(mGreenBase);
        const cv::v_float32x4 r0 = cv::v_setall_f32(mRedBase);
        for (; x + 16 <= width; x += 16) {
            cv::v_float32x4 l[4];
            loadLuma(luma + x, l);
            cv::v_int32x4 b[4];
            cv::v_int32x4 g[4];
            cv::v_int32x4 r[4];
            for (int i = 0; i < 4; ++i) {
                const int at = x + 4 * i;
                const cv::v_float32x4 u = cv::v_fma(cv::v_load(w.cbNear + at), vNear, cv::v_load(w.cbFar + at) * vFar);
                const cv::v_float32x4 v = cv::v_fma(cv::v_load(w.crNear + at), vNear, cv::v_load(w.crFar + at) * vFar);
                const cv::v_float32x4 y = l[i] * vk;
                b[i] = cv::v_round(cv::v_fma(u, bu, y + b0));
                g[i] = cv::v_round(cv::v_fma(u, gu, cv::v_fma(v, gv, y + g0)));
                r[i] = cv::v_round(cv::v_fma(v, rv, y + r0));
            }
            // Packing saturates to 0 .. 255.
            const cv::v_uint8x16 blue = cv::v_pack_u(cv::v_pack(b[0], b[1]), cv::v_pack(b[2], b[3]));
            const cv::v_uint8x16 green = cv::v_pack_u(cv::v_pack(g[0], g[1]), cv::v_pack(g[2], g[3]));
            const cv::v_uint8x16 red = cv::v_pack_u(cv::v_pack(r[0], r[1]), cv::v_pack(r[2], r[3]));
            cv::v_store_interleave(out + 3 * x, blue, green, red);
        }
#endif
        for (; x < width; ++x) {
            const float u = w.cbNear[x] * w.near + w.cbFar[x] * w.far;
            const float v = w.crNear[x] * w.near + w.crFar[x] * w.far;
            const float y = float(luma[x]) * k;
            out[3 * x] = cv::saturate_cast<std::uint8_t>(y + u * mBlueFromCb + mBlueBase);
            out[3 * x + 1] = cv::saturate_cast<std::uint8_t>(y + u * mGreenFromCb + v * mGreenFromCr + mGreenBase);
            out[3 * x + 2] = cv::saturate_cast<std::uint8_t>(y + v * mRedFromCr + mRedBase);
        }
    }

#if CV_SIMD128
    static void loadLuma(const std::uint8_t* luma, cv::v_float32x4 (&l)[4])
    {
        cv::v_uint16x8 low;
        cv::v_uint16x8 high;
        cv::v_expand(cv::v_load(luma), low, high);
        loadLuma16(low, l[0], l[1]);
        loadLuma16(high, l[2], l[3]);
    }

    static void loadLuma(const std::uint16_t* luma, cv::v_float32x4 (&l)[4])
    {
        loadLuma16(cv::v_load(luma), l[0], l[1]);
        loadLuma16(cv::v_load(luma + 8), l[2], l[3]);
    }

    static void loadLuma16(const cv::v_uint16x8& samples, cv::v_float32x4& low, cv::v_float32x4& high)
    {
        cv::v_uint32x4 a;
        cv::v_uint32x4 b;
        cv::v_expand(samples, a, b);
        low = cv::v_cvt_f32(cv::v_reinterpret_as_s32(a));
        high = cv::v_cvt_f32(cv::v_reinterpret_as_s32(b));
    }
#endif

    // Chroma row `row` upsampled horizontally, from the cache when one of the
    // last rows asked for.
    const Cached& chromaRow(const AVFrame& frame, int row)
    {
        for (const Cached& cached : mCache) {
            if (cached.row == row) {
                return cached;
            }
        }
        Cached& slot = mCache[mNext];
        mNext = (mNext + 1) % mCache.size();
        slot.row = row;
        if (mLayout.wide) {
            upsample<std::uint16_t>(frame, 1, row, slot.cb.data());
            upsample<std::uint16_t>(frame, 2, row, slot.cr.data());
        } else {
            upsample<std::uint8_t>(frame, 1, row, slot.cb.data());
            upsample<std::uint8_t>(frame, 2, row, slot.cr.data());
        }
        return slot;
    }

    template <typename Sample>
    void upsample(const AVFrame& frame, int plane, int row, float* out)
    {
        const int width = frame.width;
        const auto* samples =
            reinterpret_cast<const Sample*>(frame.data[plane] + std::ptrdiff_t(row) * frame.linesize[plane]);
        if (mLayout.chromaShiftX == 0) {
            for (int x = 0; x < width; ++x) {
                out[x] = 4.0f * float(samples[x]);
            }
            return;
        }
        const int chromaWidth = AV_CEIL_RSHIFT(width, 1);
        float* column = mColumn.data();
        for (int i = 0; i < chromaWidth; ++i) {
            column[i] = float(samples[i]);
        }
        // In quarters; the edges repeat.
        const int pairs = width / 2;
        if (mCentredX) {
            for (int i = 0; i < pairs; ++i) {
                const float here = column[i];
                out[2 * i] = 3.0f * here + column[i > 0 ? i - 1 : 0];
                out[2 * i + 1] = 3.0f * here + column[i + 1 < chromaWidth ? i + 1 : i];
            }
            if ((width & 1) != 0) {
                out[width - 1] = 3.0f * column[pairs] + column[pairs > 0 ? pairs - 1 : 0];
            }
        } else {
            for (int i = 0; i < pairs; ++i) {
                const float here = column[i];
                out[2 * i] = 4.0f * here;
                out[2 * i + 1] = 2.0f * (here + column[i + 1 < chromaWidth ? i + 1 : i]);
            }
            if ((width & 1) != 0) {
                out[width - 1] = 4.0f * column[pairs];
            }
        }
    }

    PlanarLayout mLayout;
    float mLuma = 0;
    float mRedFromCr = 0;
    float mBlueFromCb = 0;
    float mGreenFromCr = 0;
    float mGreenFromCb = 0;
    float mBlueBase = 0;
    float mGreenBase = 0;
    float mRedBase = 0;
    bool mCentredX = false;
    bool mCentredY = true;
    std::array<Cached, 3> mCache;
    std::size_t mNext = 0;
    std::vector<float> mNeutral;
    std::vector<float> mColumn;
};

// Converts decoded pictures to 8-bit BGR: the planar Y'CbCr formats with the
// converter above, anything else (RGB, alpha, unusual subsampling) with
// swscale.
class PictureConverter
{
public:
    void convert(const AVFrame& frame, cv::Mat& target)
    {
        bool fullRange = frame.color_range == AVCOL_RANGE_JPEG;
        const AVPixelFormat format = withoutRangeInName(frame.format, fullRange);
        PlanarLayout layout;
        if (!planarLayout(format, layout)) {
            mScaler.convert(frame, target);
            return;
        }
        if (!mOwn || format != mFormat || frame.colorspace != mColourspace || fullRange != mFullRange ||
            frame.chroma_location != mLocation) {
            mOwn.emplace(layout, frame.colorspace, fullRange, frame.chroma_location);
            mFormat = format;
            mColourspace = frame.colorspace;
            mFullRange = fullRange;
            mLocation = frame.chroma_location;
        }
        mOwn->convert(frame, target);
    }

private:
    std::optional<YuvToBgr> mOwn;
    AVPixelFormat mFormat = AV_PIX_FMT_NONE;
    AVColorSpace mColourspace = AVCOL_SPC_UNSPECIFIED;
    bool mFullRange = false;
    AVChromaLocation mLocation = AVCHROMA_LOC_UNSPECIFIED;
    ScalerConverter mScaler;
};

void quietenLibav()
{
    static std::once_flag once;
    // Errors in broken streams still reach standard error; the rest is noise.
    std::call_once(once, [] { av_log_set_level(AV_LOG_ERROR); });
}

// FFmpeg's HEVC decoder with the parser that cuts an Annex B stream into the
// units it takes. Owns the FFmpeg objects; one decoder per stream.
class HevcDecoder
{
public:
    enum class Sent {
        Taken,
        Full,     // not taken: the decoder's pictures must be received first
        Refused,  // not taken, and offering it again will not help
    };
    enum class Received {
        Picture,  // picture() holds it until the next receive()
        None,     // nothing ready before more input (or ever, after flush())
        Failed,   // a picture that failed to decode; the next one may not
    };

    // Sets the decoder up; false when FFmpeg has no HEVC decoder or it
    // cannot be opened.
    [[nodiscard]] bool open()
    {
        quietenLibav();
        const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_HEVC);
        if (codec == nullptr) {
            return false;
        }
        mContext.reset(avcodec_alloc_context3(codec));
        mParser.reset(av_parser_init(AV_CODEC_ID_HEVC));
        mPacket.reset(av_packet_alloc());
        mFrame.reset(av_frame_alloc());
        if (!mContext || !mParser || !mPacket || !mFrame) {
            return false;
        }
        // Tiles are independent pictures: frame threads decode several at once.
        mContext->thread_count = 0;
        mContext->thread_type = FF_THREAD_FRAME | FF_THREAD_SLICE;
        return avcodec_open2(mContext.get(), codec, nullptr) >= 0;
    }

    // The stream that nextUnit() cuts up; the bytes must outlive the decoder.
    void setInput(std::span<const std::uint8_t> stream)
    {
        mStream = stream.data() == nullptr ? std::span<const std::uint8_t>() : stream;
        mRest = mStream;
        mInputEnded = false;
    }

    // The next unit of the input for send(): empty when the parser needs more
    // bytes first; none once the input is used up or cannot be parsed. A
    // unit stays valid until the next call.
    [[nodiscard]] std::optional<std::span<const std::uint8_t>> nextUnit()
    {
        if (mInputEnded) {
            return std::nullopt;
        }
        const int chunk = static_cast<int>(std::min<std::size_t>(mRest.size(), std::size_t(1) << 30));
        std::uint8_t* unit = nullptr;
        int unitSize = 0;
        const int used = av_parser_parse2(mParser.get(), mContext.get(), &unit, &unitSize, mRest.data(), chunk,
                                          AV_NOPTS_VALUE, AV_NOPTS_VALUE, 0);
        if (used < 0 || (used == 0 && unitSize == 0 && chunk > 0)) {
            mInputEnded = true;
            return std::nullopt;
        }
        mRest = mRest.subspan(static_cast<std::size_t>(used));
        // After an empty chunk the parser has handed out its last unit.
        mInputEnded = chunk == 0;
        if (unitSize <= 0) {
            return mInputEnded ? std::nullopt : std::optional(std::span<const std::uint8_t>());
        }
        return padded(std::span<const std::uint8_t>(unit, static_cast<std::size_t>(unitSize)));
    }

    // Offers one unit of the stream to the decoder.
    [[nodiscard]] Sent send(std::span<const std::uint8_t> unit)
    {
        mPacket->data = const_cast<std::uint8_t*>(unit.data());
        mPacket->size = static_cast<int>(unit.size());
        return sentStatus(avcodec_send_packet(mContext.get(), mPacket.get()));
    }

    // Says the stream has ended: the frame threads give out what they hold.
    [[nodiscard]] Sent flush() { return sentStatus(avcodec_send_packet(mContext.get(), nullptr)); }

    [[nodiscard]] Received receive()
    {
        av_frame_unref(mFrame.get());
        const int received = avcodec_receive_frame(mContext.get(), mFrame.get());
        if (received == AVERROR(EAGAIN) || received == AVERROR_EOF) {
            return Received::None;
        }
        return received < 0 ? Received::Failed : Received::Picture;
    }

    [[nodiscard]] const AVFrame& picture() const { return *mFrame; }

private:
    static Sent sentStatus(int sent)
    {
        if (sent == AVERROR(EAGAIN)) {
            return Sent::Full;
        }
        return sent < 0 ? Sent::Refused : Sent::Taken;
    }

    // The decoder's bitstream readers may read up to
    // AV_INPUT_BUFFER_PADDING_SIZE bytes past a packet: a unit in the input
    // that ends too close to its end is read from a padded copy. (Units of
    // the parser's own buffer are padded.)
    std::span<const std::uint8_t> padded(std::span<const std::uint8_t> unit)
    {
        const auto at = reinterpret_cast<std::uintptr_t>(unit.data());
        const auto begin = reinterpret_cast<std::uintptr_t>(mStream.data());
        const std::size_t length = mStream.size();
        if (mStream.data() == nullptr || at < begin || at >= begin + length ||
            begin + length - (at + std::uintptr_t(unit.size())) >= AV_INPUT_BUFFER_PADDING_SIZE) {
            return unit;
        }
        mPadded.assign(unit.begin(), unit.end());
        mPadded.resize(mPadded.size() + AV_INPUT_BUFFER_PADDING_SIZE, 0);
        return std::span<const std::uint8_t>(mPadded.data(), unit.size());
    }

    std::unique_ptr<AVCodecContext, CodecContextFree> mContext;
    std::unique_ptr<AVCodecParserContext, ParserClose> mParser;
    std::unique_ptr<AVPacket, PacketFree> mPacket;
    std::unique_ptr<AVFrame, FrameFree> mFrame;
    std::span<const std::uint8_t> mStream;
    std::span<const std::uint8_t> mRest;
    bool mInputEnded = true;
    std::vector<std::uint8_t> mPadded;
};

// Takes the decoded pictures to their targets, converted.
class PictureDelivery
{
public:
    PictureDelivery(HevcDecoder& decoder, const PictureTarget& target,
                    const std::function<void(std::size_t index)>& converted)
        : mDecoder(decoder), mTarget(target), mConverted(converted)
    {}

    // Offers a unit of the stream (none: its end), receiving pictures when
    // the decoder is full. A unit the decoder refuses is skipped; the next
    // one may decode. False once the target has stopped the decoding.
    [[nodiscard]] bool feed(std::optional<std::span<const std::uint8_t>> unit)
    {
        for (int attempt = 0; attempt < 2; ++attempt) {
            const HevcDecoder::Sent sent = unit ? mDecoder.send(*unit) : mDecoder.flush();
            if (!receiveReady()) {
                return false;
            }
            if (sent != HevcDecoder::Sent::Full) {
                break;
            }
        }
        return true;
    }

    [[nodiscard]] std::size_t delivered() const { return mDelivered; }

private:
    // Delivers every picture that is ready; false when the target stopped.
    bool receiveReady()
    {
        int errorsInARow = 0;
        for (;;) {
            switch (mDecoder.receive()) {
            case HevcDecoder::Received::None: return true;
            case HevcDecoder::Received::Failed:
                if (++errorsInARow > kMaxErrorsInARow) {
                    return true;
                }
                continue;
            case HevcDecoder::Received::Picture:
                errorsInARow = 0;
                if (!deliver(mDecoder.picture())) {
                    return false;
                }
                break;
            }
        }
    }

    bool deliver(const AVFrame& frame)
    {
        if (frame.width <= 0 || frame.height <= 0) {
            return true;
        }
        cv::Mat destination = mTarget(mDelivered, frame.width, frame.height);
        if (destination.empty()) {
            return false;
        }
        if (destination.cols != frame.width || destination.rows != frame.height || destination.type() != CV_8UC3) {
            throw std::logic_error("decodeHevcStream: the target does not fit the picture");
        }
        mConverter.convert(frame, destination);
        if (mConverted) {
            mConverted(mDelivered);
        }
        ++mDelivered;
        return true;
    }

    HevcDecoder& mDecoder;
    const PictureTarget& mTarget;
    const std::function<void(std::size_t index)>& mConverted;
    PictureConverter mConverter;
    std::size_t mDelivered = 0;
};

void reportNotOpened()
{
    log::report(log::Warning, "cv::VideoCapture::isOpened returned false ");
}

}  // namespace

DecodeResult decodeHevcStream(std::span<const std::uint8_t> bytes, const PictureTarget& target,
                              const std::function<void(std::size_t index)>& converted)
{
    DecodeResult result;
    HevcDecoder decoder;
    if (!decoder.open()) {
        return result;
    }
    result.opened = true;
    decoder.setInput(bytes);
    PictureDelivery delivery(decoder, target, converted);
    // A stopped target ends the decoding with the pictures it has taken.
    const auto feed = [&](std::optional<std::span<const std::uint8_t>> unit) {
        const bool more = delivery.feed(unit);
        result.pictures = delivery.delivered();
        return more;
    };
    while (const auto unit = decoder.nextUnit()) {
        if (!unit->empty() && !feed(*unit)) {
            return result;
        }
    }
    static_cast<void>(feed(std::nullopt));  // drain the frame threads
    return result;
}

std::vector<cv::Mat> decodeHevcFrames(const std::vector<std::uint8_t>& stream, std::size_t maxFrames)
{
    std::vector<cv::Mat> frames;
    try {
        frames.reserve(std::min(maxFrames, kReservedFrames));
        std::uint64_t pixels = 0;
        bool tooLarge = false;
        const DecodeResult result = decodeHevcStream(stream, [&](std::size_t index, int width, int height) {
            pixels += std::uint64_t(width) * std::uint64_t(height);
            if (index >= maxFrames || pixels > kMaxDecodedPixels) {
                tooLarge = index < maxFrames;
                return cv::Mat();
            }
            // Initialised, so that every pixel is the picture's or black.
            frames.push_back(cv::Mat::zeros(height, width, CV_8UC3));
            return frames.back();
        });
        if (!result.opened) {
            reportNotOpened();
        }
        if (tooLarge) {
            frames.clear();
        }
    } catch (...) {
        frames.clear();
    }
    return frames;
}

std::vector<cv::Mat> read_hevc_bitstream_to_mat_vector(const std::string& path, std::size_t maxFrames)
{
    std::vector<std::uint8_t> stream;
    try {
        std::ifstream file(path, std::ios::binary | std::ios::ate);
        if (!file) {
            reportNotOpened();
            return {};
        }
        const std::streamoff size = file.tellg();
        file.seekg(0);
        stream.resize(static_cast<std::size_t>(std::max<std::streamoff>(size, 0)));
        file.read(reinterpret_cast<char*>(stream.data()), static_cast<std::streamsize>(stream.size()));
        if (!file) {
            reportNotOpened();
            return {};
        }
    } catch (...) {
        return {};
    }
    return decodeHevcFrames(stream, maxFrames);
}

}  // namespace ambrel::pipeline
