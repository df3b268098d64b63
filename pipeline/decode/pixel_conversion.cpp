#include "pipeline/decode/pixel_conversion.h"

#include "pipeline/decode/swscale_converter.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/mem.h>
#include <libavutil/pixdesc.h>
#include <libavutil/pixfmt.h>
}

#include <opencv2/core/hal/intrin.hpp>

namespace ambrel::pipeline {

namespace {

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

// Y'CbCr to 8-bit or 16-bit BGR, rounded to the nearest level, from the
// exact arithmetic of the matrix and range (16-bit levels are 8-bit ones
// times 257, so that 10 and 12-bit pictures keep their precision): limited
// range takes luma 16 to 235 and chroma 16 to 240 (times 2^(bits - 8)) as 0
// to 1 and -0.5 to 0.5, full range 0 to 2^bits - 1. Halved chroma is upsampled by linear
// interpolation between its samples, sited as the frame says (horizontally
// with the even luma samples and vertically between rows unless told
// otherwise). Writes exactly the target's pixels: the target may be the
// top left part of the frame (a tile cut to the picture), and its right and
// bottom edges are then the picture's, where the chroma's last samples
// repeat: nothing past them (the padding a tile carries beyond the picture)
// is interpolated into the picture.
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
        for (const auto& [top, coefficients] : {std::pair{255.0, &mEight}, std::pair{65535.0, &mSixteen}}) {
            Coefficients& c = *coefficients;
            // Chroma arrives as kChromaScale times its samples, offset included.
            const double chromaUnit = top / (chromaRange * kChromaScale);
            const double chromaOffset = double(1 << (layout.bits - 1)) * kChromaScale;
            c.luma = float(top / lumaRange);
            c.redFromCr = float(2.0 * (1.0 - weights.red) * chromaUnit);
            c.blueFromCb = float(2.0 * (1.0 - weights.blue) * chromaUnit);
            c.greenFromCr = float(-2.0 * (1.0 - weights.red) * weights.red / green * chromaUnit);
            c.greenFromCb = float(-2.0 * (1.0 - weights.blue) * weights.blue / green * chromaUnit);
            // All offsets in one constant per channel.
            const double base = -lumaOffset * top / lumaRange;
            c.blueBase = float(base - double(c.blueFromCb) * chromaOffset);
            c.greenBase = float(base - (double(c.greenFromCb) + double(c.greenFromCr)) * chromaOffset);
            c.redBase = float(base - double(c.redFromCr) * chromaOffset);
            if (colourspace == AVCOL_SPC_YCGCO) {
                // Cg in the first chroma plane, Co in the second: G = Y + Cg,
                // R = Y - Cg + Co, B = Y - Cg - Co.
                mFull = true;
                const auto unit = float(chromaUnit);
                c.greenFromCb = unit;
                c.greenFromCr = 0.0f;
                c.redFromCb = -unit;
                c.redFromCr = unit;
                c.blueFromCb = -unit;
                c.blueFromCr = -unit;
                c.blueBase = float(base - double(c.blueFromCb + c.blueFromCr) * chromaOffset);
                c.greenBase = float(base - double(c.greenFromCb) * chromaOffset);
                c.redBase = float(base - double(c.redFromCb + c.redFromCr) * chromaOffset);
            }
        }
        // Chroma sample positions relative to luma (the chroma sample
        // location types of H.273): "left" is horizontally with the even luma
        // samples, "top" vertically with the even rows.
        mCentredX = location == AVCHROMA_LOC_CENTER || location == AVCHROMA_LOC_TOP || location == AVCHROMA_LOC_BOTTOM;
        mCentredY = !(location == AVCHROMA_LOC_TOPLEFT || location == AVCHROMA_LOC_TOP);
    }

    // `target` is CV_8UC3 or CV_16UC3.
    void convert(const AVFrame& frame, cv::Mat& target)
    {
        const bool sixteen = target.depth() == CV_16U;
        const int width = target.cols;
        mWidth = width;
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
        for (int y = 0; y < target.rows; ++y) {
            Weights w{mNeutral.data(), mNeutral.data(), mNeutral.data(), mNeutral.data(), 4.0f, 0.0f};
            if (mLayout.chroma) {
                int near = y;
                int far = y;
                if (mLayout.chromaShiftY != 0) {
                    const int chromaHeight = AV_CEIL_RSHIFT(target.rows, 1);
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
            const auto* wideLuma = reinterpret_cast<const std::uint16_t*>(luma);
            if (sixteen) {
                std::uint16_t* out = target.ptr<std::uint16_t>(y);
                if (mLayout.wide) {
                    pixelsOf(wideLuma, out, width, w, mSixteen);
                } else {
                    pixelsOf(luma, out, width, w, mSixteen);
                }
            } else {
                std::uint8_t* out = target.ptr<std::uint8_t>(y);
                if (mLayout.wide) {
                    pixelsOf(wideLuma, out, width, w, mEight);
                } else {
                    pixelsOf(luma, out, width, w, mEight);
                }
            }
        }
    }

private:
    // Chroma is carried at kChromaScale times its sample values: exact for
    // the interpolation weights (quarters in each direction).
    static constexpr int kChromaScale = 16;

    // The conversion to one output scale (255 or 65535): luma factor, the
    // chroma factors of each channel and one offset per channel.
    struct Coefficients
    {
        float luma = 0;
        float redFromCr = 0;
        float blueFromCb = 0;
        float greenFromCr = 0;
        float greenFromCb = 0;
        float blueBase = 0;
        float greenBase = 0;
        float redBase = 0;
        float redFromCb = 0;   // YCgCo alone
        float blueFromCr = 0;  // YCgCo alone
    };

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

    template <typename Sample, typename Out>
    void pixelsOf(const Sample* luma, Out* out, int width, const Weights& w, const Coefficients& c) const
    {
        if (mFull) {
            pixels<true>(luma, out, width, w, c);
        } else {
            pixels<false>(luma, out, width, w, c);
        }
    }

    // `Full`: red takes Cb and blue Cr as well (YCgCo).
    template <bool Full, typename Sample, typename Out>
    static void pixels(const Sample* luma, Out* out, int width, const Weights& w, const Coefficients& c)
    {
        const float k = c.luma;
        int x = 0;
#if CV_SIMD128
        const cv::v_float32x4 vk = cv::v_setall_f32(k);
        const cv::v_float32x4 vNear = cv::v_setall_f32(w.near);
        const cv::v_float32x4 vFar = cv::v_setall_f32(w.far);
        const cv::v_float32x4 bu = cv::v_setall_f32(c.blueFromCb);
        const cv::v_float32x4 gu = cv::v_setall_f32(c.greenFromCb);
        const cv::v_float32x4 gv = cv::v_setall_f32(c.greenFromCr);
        const cv::v_float32x4 rv = cv::v_setall_f32(c.redFromCr);
        const cv::v_float32x4 b0 = cv::v_setall_f32(c.blueBase);
        const cv::v_float32x4 g0 = cv::v_setall_f32(c.greenBase);
        const cv::v_float32x4 r0 = cv::v_setall_f32(c.redBase);
        const cv::v_float32x4 ru = cv::v_setall_f32(c.redFromCb);
        const cv::v_float32x4 bv = cv::v_setall_f32(c.blueFromCr);
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
                if constexpr (Full) {
                    b[i] = cv::v_round(cv::v_fma(u, bu, cv::v_fma(v, bv, y + b0)));
                    r[i] = cv::v_round(cv::v_fma(v, rv, cv::v_fma(u, ru, y + r0)));
                } else {
                    b[i] = cv::v_round(cv::v_fma(u, bu, y + b0));
                    r[i] = cv::v_round(cv::v_fma(v, rv, y + r0));
                }
                g[i] = cv::v_round(cv::v_fma(u, gu, cv::v_fma(v, gv, y + g0)));
            }
            if constexpr (std::is_same_v<Out, std::uint8_t>) {
                // Packing saturates to 0 .. 255.
                const cv::v_uint8x16 blue = cv::v_pack_u(cv::v_pack(b[0], b[1]), cv::v_pack(b[2], b[3]));
                const cv::v_uint8x16 green = cv::v_pack_u(cv::v_pack(g[0], g[1]), cv::v_pack(g[2], g[3]));
                const cv::v_uint8x16 red = cv::v_pack_u(cv::v_pack(r[0], r[1]), cv::v_pack(r[2], r[3]));
                cv::v_store_interleave(out + 3 * x, blue, green, red);
            } else {
                // Packing saturates to 0 .. 65535.
                cv::v_store_interleave(out + 3 * x, cv::v_pack_u(b[0], b[1]), cv::v_pack_u(g[0], g[1]),
                                       cv::v_pack_u(r[0], r[1]));
                cv::v_store_interleave(out + 3 * x + 24, cv::v_pack_u(b[2], b[3]), cv::v_pack_u(g[2], g[3]),
                                       cv::v_pack_u(r[2], r[3]));
            }
        }
#endif
        for (; x < width; ++x) {
            const float u = w.cbNear[x] * w.near + w.cbFar[x] * w.far;
            const float v = w.crNear[x] * w.near + w.crFar[x] * w.far;
            const float y = float(luma[x]) * k;
            const float extraBlue = Full ? v * c.blueFromCr : 0.0f;
            const float extraRed = Full ? u * c.redFromCb : 0.0f;
            out[3 * x] = cv::saturate_cast<Out>(y + u * c.blueFromCb + extraBlue + c.blueBase);
            out[3 * x + 1] = cv::saturate_cast<Out>(y + u * c.greenFromCb + v * c.greenFromCr + c.greenBase);
            out[3 * x + 2] = cv::saturate_cast<Out>(y + v * c.redFromCr + extraRed + c.redBase);
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
        const int width = mWidth;
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
    Coefficients mEight;
    Coefficients mSixteen;
    bool mFull = false;  // YCgCo
    bool mCentredX = false;
    bool mCentredY = true;
    int mWidth = 0;  // of the target being converted
    std::array<Cached, 3> mCache;
    std::size_t mNext = 0;
    std::vector<float> mNeutral;
    std::vector<float> mColumn;
};

std::string pixelFormatName(int format)
{
    const char* name = av_get_pix_fmt_name(static_cast<AVPixelFormat>(format));
    return name != nullptr ? std::string(name) : std::to_string(format);
}

// Where one component's samples lie: a plane of one native-endian integer
// per pixel (8 or 16-bit storage), the value `shift` bits up.
struct SamplePlane
{
    int plane = 0;
    int bits = 0;
    int shift = 0;
    bool wide = false;
};

bool samplePlane(const AVPixFmtDescriptor& descriptor, const AVComponentDescriptor& component, SamplePlane& out)
{
    if ((descriptor.flags & (AV_PIX_FMT_FLAG_BE | AV_PIX_FMT_FLAG_PAL | AV_PIX_FMT_FLAG_BITSTREAM |
                             AV_PIX_FMT_FLAG_HWACCEL | AV_PIX_FMT_FLAG_FLOAT)) != 0 ||
        component.depth < 1 || component.offset != 0) {
        return false;
    }
    const int step = component.depth + component.shift > 8 ? 2 : 1;
    if (component.step != step || component.depth + component.shift > 8 * step) {
        return false;
    }
    // No other component may share the plane (packed samples).
    for (int i = 0; i < descriptor.nb_components; ++i) {
        if (&descriptor.comp[i] != &component && descriptor.comp[i].plane == component.plane) {
            return false;
        }
    }
    out.plane = component.plane;
    out.bits = component.depth;
    out.shift = component.shift;
    out.wide = step == 2;
    return true;
}

// A table from every stored sample to its level on a 0 .. top scale:
// round(v * top / (2^N - 1)), or for limited range
// round((v - 16 * 2^(N - 8)) * top / (219 * 2^(N - 8))), saturated.
class SampleLevels
{
public:
    void prepare(const SamplePlane& samples, bool sixteen, bool limited)
    {
        if (samples.bits == mBits && samples.shift == mShift && samples.wide == mWide && sixteen == mSixteen &&
            limited == mLimited && !mLevels.empty()) {
            return;
        }
        const double top = sixteen ? 65535.0 : 255.0;
        const int bits = samples.bits;
        const double black = limited && bits >= 8 ? 16.0 * double(1 << (bits - 8)) : 0.0;
        const double range = limited && bits >= 8 ? 219.0 * double(1 << (bits - 8)) : double((1 << bits) - 1);
        mLevels.resize(samples.wide ? 65536 : 256);
        for (std::size_t stored = 0; stored < mLevels.size(); ++stored) {
            const double v = double(stored >> samples.shift);
            // Halves do not occur for full range: 2^N - 1 is odd.
            mLevels[stored] =
                static_cast<std::uint16_t>(std::clamp(std::floor((v - black) * top / range + 0.5), 0.0, top));
        }
        mBits = bits;
        mShift = samples.shift;
        mWide = samples.wide;
        mSixteen = sixteen;
        mLimited = limited;
    }

    // The first `width` samples of row y of a plane, every `stride`th
    // output sample from `out`.
    template <typename Out>
    void row(const AVFrame& frame, int plane, int y, int width, Out* out, int stride) const
    {
        const std::uint8_t* in = frame.data[plane] + std::ptrdiff_t(y) * frame.linesize[plane];
        const std::uint16_t* levels = mLevels.data();
        if (mWide) {
            const auto* samples = reinterpret_cast<const std::uint16_t*>(in);
            for (int x = 0; x < width; ++x) {
                out[std::ptrdiff_t(x) * stride] = static_cast<Out>(levels[samples[x]]);
            }
        } else {
            for (int x = 0; x < width; ++x) {
                out[std::ptrdiff_t(x) * stride] = static_cast<Out>(levels[in[x]]);
            }
        }
    }

private:
    std::vector<std::uint16_t> mLevels;
    int mBits = 0;
    int mShift = 0;
    bool mWide = false;
    bool mSixteen = false;
    bool mLimited = false;
};

// The samples of a frame's first plane (the luma, or the only plane of a
// monochrome picture such as an alpha plane or a depth map) into an 8-bit or
// 16-bit single-channel target, with no matrix and no range conversion:
// v of N bits becomes round(v * top / (2^N - 1)), top being 255 or 65535.
class FirstPlane
{
public:
    // False, with the target untouched, when the first plane is not a plain
    // plane of samples of one component.
    bool convert(const AVFrame& frame, cv::Mat& target)
    {
        const AVPixFmtDescriptor* descriptor = av_pix_fmt_desc_get(static_cast<AVPixelFormat>(frame.format));
        if (descriptor == nullptr) {
            return false;
        }
        SamplePlane samples;
        bool found = false;
        for (int i = 0; i < descriptor->nb_components && !found; ++i) {
            found = descriptor->comp[i].plane == 0 && samplePlane(*descriptor, descriptor->comp[i], samples);
        }
        if (!found) {
            return false;
        }
        const bool sixteen = target.depth() == CV_16U;
        mLevels.prepare(samples, sixteen, false);
        for (int y = 0; y < target.rows; ++y) {
            if (sixteen) {
                mLevels.row(frame, 0, y, target.cols, target.ptr<std::uint16_t>(y), 1);
            } else {
                mLevels.row(frame, 0, y, target.cols, target.ptr<std::uint8_t>(y), 1);
            }
        }
        return true;
    }

private:
    SampleLevels mLevels;
};

// Planar G'B'R' (the identity matrix: an RGB picture coded as HEVC) into 8 or
// 16-bit BGR, each sample scaled from its bit depth and range alone.
class PlanarRgb
{
public:
    // False, with the target untouched, for a format that is not planar RGB
    // of three components of one depth.
    bool convert(const AVFrame& frame, cv::Mat& target, bool fullRange)
    {
        const AVPixFmtDescriptor* descriptor = av_pix_fmt_desc_get(static_cast<AVPixelFormat>(frame.format));
        if (descriptor == nullptr || (descriptor->flags & AV_PIX_FMT_FLAG_RGB) == 0 ||
            (descriptor->flags & AV_PIX_FMT_FLAG_PLANAR) == 0 || descriptor->nb_components != 3) {
            return false;
        }
        // Components 0, 1, 2 are red, green and blue.
        SamplePlane planes[3];
        for (int i = 0; i < 3; ++i) {
            if (!samplePlane(*descriptor, descriptor->comp[i], planes[i]) || planes[i].bits != planes[0].bits ||
                planes[i].shift != planes[0].shift) {
                return false;
            }
        }
        const bool sixteen = target.depth() == CV_16U;
        mLevels.prepare(planes[0], sixteen, !fullRange);
        for (int y = 0; y < target.rows; ++y) {
            if (sixteen) {
                rgbRow(frame, planes, y, target.cols, target.ptr<std::uint16_t>(y));
            } else {
                rgbRow(frame, planes, y, target.cols, target.ptr<std::uint8_t>(y));
            }
        }
        return true;
    }

private:
    template <typename Out>
    void rgbRow(const AVFrame& frame, const SamplePlane (&planes)[3], int y, int width, Out* out) const
    {
        mLevels.row(frame, planes[2].plane, y, width, out, 3);      // blue
        mLevels.row(frame, planes[1].plane, y, width, out + 1, 3);  // green
        mLevels.row(frame, planes[0].plane, y, width, out + 2, 3);  // red
    }

    SampleLevels mLevels;
};

// Converts decoded pictures into their targets: 8 or 16-bit BGR from the
// planar Y'CbCr formats with the converter above, 8 or 16-bit grey from the
// first plane; anything else (RGB, alpha, unusual subsampling, packed
// samples) with swscale.
class FrameConverter
{
public:
    void convert(const AVFrame& frame, cv::Mat& target)
    {
        if (target.channels() == 1) {
            if (!mFirstPlane.convert(frame, target)) {
                throw std::runtime_error("the first plane of pixel format " + pixelFormatName(frame.format) +
                                         " is not a plane of samples");
            }
            return;
        }
        bool fullRange = frame.color_range == AVCOL_RANGE_JPEG;
        const AVPixelFormat format = withoutRangeInName(frame.format, fullRange);
        PlanarLayout layout;
        if (!planarLayout(format, layout)) {
            // RGB pictures say "limited" only when they mean it.
            if (!mRgb.convert(frame, target, frame.color_range != AVCOL_RANGE_MPEG)) {
                mScaler.convert(frame, target);
            }
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
    FirstPlane mFirstPlane;
    PlanarRgb mRgb;
    SwscaleConverter mScaler;
};

// Copies 8-bit Y'CbCr 4:2:0 pictures of BT.601's matrix into JPEG planes as
// they are, and maps the samples of limited range or more bits into JFIF's
// full-range 8-bit ones through a table: the values YuvToBgr's arithmetic
// stands for, rounded. Other pictures it does not accept.
class PlanesFromFrame
{
public:
    [[nodiscard]] static bool accepts(const AVFrame& frame)
    {
        bool fullRange = frame.color_range == AVCOL_RANGE_JPEG;
        PlanarLayout layout;
        const LumaWeights weights = lumaWeights(frame.colorspace);
        return planarLayout(withoutRangeInName(frame.format, fullRange), layout) && layout.chroma &&
               layout.chromaShiftX == 1 && layout.chromaShiftY == 1 && frame.colorspace != AVCOL_SPC_RGB &&
               frame.colorspace != AVCOL_SPC_YCGCO && weights.red == 0.299 && weights.blue == 0.114;
    }

    void convert(const AVFrame& frame, JpegPlanes& target)
    {
        bool fullRange = frame.color_range == AVCOL_RANGE_JPEG;
        PlanarLayout layout;
        static_cast<void>(planarLayout(withoutRangeInName(frame.format, fullRange), layout));
        const int chromaWidth = AV_CEIL_RSHIFT(frame.width, 1);
        const int chromaHeight = AV_CEIL_RSHIFT(frame.height, 1);
        if (!layout.wide && fullRange) {
            copyPlane(frame, 0, frame.width, frame.height, target.luma);
            copyPlane(frame, 1, chromaWidth, chromaHeight, target.cb);
            copyPlane(frame, 2, chromaWidth, chromaHeight, target.cr);
            return;
        }
        if (layout.bits != mBits || fullRange != mFullRange) {
            makeTables(layout.bits, fullRange);
        }
        if (layout.wide) {
            mapPlane<std::uint16_t>(frame, 0, frame.width, frame.height, mLuma, target.luma);
            mapPlane<std::uint16_t>(frame, 1, chromaWidth, chromaHeight, mChroma, target.cb);
            mapPlane<std::uint16_t>(frame, 2, chromaWidth, chromaHeight, mChroma, target.cr);
        } else {
            mapPlane<std::uint8_t>(frame, 0, frame.width, frame.height, mLuma, target.luma);
            mapPlane<std::uint8_t>(frame, 1, chromaWidth, chromaHeight, mChroma, target.cb);
            mapPlane<std::uint8_t>(frame, 2, chromaWidth, chromaHeight, mChroma, target.cr);
        }
    }

private:
    static void copyPlane(const AVFrame& frame, int plane, int width, int height, cv::Mat& target)
    {
        for (int y = 0; y < height; ++y) {
            std::memcpy(target.ptr<std::uint8_t>(y), frame.data[plane] + std::ptrdiff_t(y) * frame.linesize[plane],
                        std::size_t(width));
        }
    }

    template <typename Sample>
    static void mapPlane(const AVFrame& frame, int plane, int width, int height, const std::vector<std::uint8_t>& table,
                         cv::Mat& target)
    {
        const std::size_t mask = table.size() - 1;
        for (int y = 0; y < height; ++y) {
            const auto* in =
                reinterpret_cast<const Sample*>(frame.data[plane] + std::ptrdiff_t(y) * frame.linesize[plane]);
            std::uint8_t* out = target.ptr<std::uint8_t>(y);
            for (int x = 0; x < width; ++x) {
                out[x] = table[std::size_t(in[x]) & mask];
            }
        }
    }

    void makeTables(int bits, bool fullRange)
    {
        const double scale = double(1 << (bits - 8));
        const double top = double((1 << bits) - 1);
        const double lumaRange = fullRange ? top : 219.0 * scale;
        const double chromaRange = fullRange ? top : 224.0 * scale;
        const double lumaOffset = fullRange ? 0.0 : 16.0 * scale;
        const double chromaOffset = double(1 << (bits - 1));
        mLuma.resize(std::size_t(1) << bits);
        mChroma.resize(mLuma.size());
        for (std::size_t v = 0; v < mLuma.size(); ++v) {
            const double luma = (double(v) - lumaOffset) * 255.0 / lumaRange;
            const double chroma = 128.0 + (double(v) - chromaOffset) * 255.0 / chromaRange;
            mLuma[v] = cv::saturate_cast<std::uint8_t>(luma);
            mChroma[v] = cv::saturate_cast<std::uint8_t>(chroma);
        }
        mBits = bits;
        mFullRange = fullRange;
    }

    int mBits = 0;
    bool mFullRange = false;
    std::vector<std::uint8_t> mLuma;
    std::vector<std::uint8_t> mChroma;
};

}  // namespace

struct PictureConverter::Impl
{
    FrameConverter converter;
};

PictureConverter::PictureConverter() : mImpl(std::make_unique<Impl>()) {}
PictureConverter::~PictureConverter() = default;

void PictureConverter::convert(const AVFrame& frame, cv::Mat& target)
{
    mImpl->converter.convert(frame, target);
}

struct JpegPlanesConverter::Impl
{
    PlanesFromFrame converter;
};

JpegPlanesConverter::JpegPlanesConverter() : mImpl(std::make_unique<Impl>()) {}
JpegPlanesConverter::~JpegPlanesConverter() = default;

bool JpegPlanesConverter::accepts(const AVFrame& frame)
{
    return PlanesFromFrame::accepts(frame);
}

void JpegPlanesConverter::convert(const AVFrame& frame, JpegPlanes& target)
{
    mImpl->converter.convert(frame, target);
}

}  // namespace ambrel::pipeline
