// PNG: libpng writes the signature and the chunks before the pixels (iCCP
// with the profile, named, or sRGB; pHYs; eXIf; iTXt "XML:com.adobe.xmp");
// the pixel data is filtered and deflated here by libdeflate, in bands on
// every core as enough rows arrive, so the whole picture is never held.
// Grey pictures are stored grey, 16-bit samples as 16 bits.
#include <algorithm>
#include <atomic>
#include <cmath>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <limits>
#include <optional>
#include <string_view>

#include <libdeflate.h>
#include <png.h>
#include <zlib.h>

#include "pipeline/encode/writer_support.h"

namespace ambrel::pipeline {

namespace {

using namespace writing;

// What libpng is given of the metadata: the EXIF block's TIFF data.
struct PngMetadata
{
    Bytes icc;
    Bytes exif;
    Bytes xmp;
    bool srgb = false;
    jpegmeta::Resolution resolution;
};

struct PngState
{
    Bytes* out = nullptr;
    char message[256] = {};
};

void pngWrite(png_structp png, png_bytep data, png_size_t length)
{
    auto* state = static_cast<PngState*>(png_get_io_ptr(png));
    bool stored = true;
    try {
        state->out->insert(state->out->end(), data, data + length);
    } catch (const std::bad_alloc&) {
        stored = false;  // png_error jumps: not from inside the handler
    }
    if (!stored)
        png_error(png, "out of memory");
}

void pngFlush(png_structp) {}

void pngError(png_structp png, png_const_charp message)
{
    auto* state = static_cast<PngState*>(png_get_error_ptr(png));
    std::snprintf(state->message, sizeof state->message, "%s", message);
    // Back to the setjmp in writePngHeader; were this to return, libpng would
    // print the message to standard error before jumping.
    png_longjmp(png, 1);
}

void pngWarning(png_structp, png_const_charp) {}

// libpng reports errors by longjmp to the setjmp here; every object this
// function uses was made by the caller, so the jump skips no destructor.
// libpng writes the signature and the chunks before the pixels (IHDR, sRGB or
// iCCP, eXIf, iTXt); the pixel data is compressed and written by
// LosslessBandWriter, not by libpng.
bool writePngHeader(png_structp png, png_infop info, cv::Size size, int type, const PngMetadata& metadata,
                    const std::string& xmp)
{
    if (setjmp(png_jmpbuf(png)))
        return false;
    const int colourType = CV_MAT_CN(type) == 1   ? PNG_COLOR_TYPE_GRAY
                           : CV_MAT_CN(type) == 4 ? PNG_COLOR_TYPE_RGB_ALPHA
                                                  : PNG_COLOR_TYPE_RGB;
    const int bitDepth = CV_MAT_DEPTH(type) == CV_16U ? 16 : 8;
    png_set_IHDR(png, info, static_cast<png_uint_32>(size.width), static_cast<png_uint_32>(size.height), bitDepth,
                 colourType, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    if (metadata.icc.empty() && metadata.srgb)
        png_set_sRGB(png, info, PNG_sRGB_INTENT_PERCEPTUAL);
    if (!metadata.icc.empty())
        png_set_iCCP(png, info, "ICC profile", PNG_COMPRESSION_TYPE_BASE, metadata.icc.data(),
                     static_cast<png_uint_32>(metadata.icc.size()));
    // The resolution in pixels a metre, or (no unit) as the aspect ratio.
    const jpegmeta::Resolution& resolution = metadata.resolution;
    const double perMetre = resolution.unit == 2 ? 1.0 / 0.0254 : resolution.unit == 3 ? 100.0 : 1.0;
    png_set_pHYs(png, info, static_cast<png_uint_32>(std::lround(resolution.x * perMetre)),
                 static_cast<png_uint_32>(std::lround(resolution.y * perMetre)),
                 resolution.unit == 1 ? PNG_RESOLUTION_UNKNOWN : PNG_RESOLUTION_METER);
    if (!metadata.exif.empty())
        png_set_eXIf_1(png, info, static_cast<png_uint_32>(metadata.exif.size()),
                       const_cast<png_bytep>(metadata.exif.data()));
    if (!xmp.empty()) {
        png_text text{};
        text.compression = PNG_ITXT_COMPRESSION_NONE;
        text.key = const_cast<png_charp>("XML:com.adobe.xmp");
        text.text = const_cast<png_charp>(xmp.c_str());
        text.itxt_length = xmp.size();
        png_set_text(png, info, &text, 1);
    }
    png_write_info(png, info);
    return true;
}

// --- the pixel data ---
//
// The rows are deflated in bands on every core with libdeflate (several times
// faster than zlib for smaller output), and the bands are joined into the one
// zlib stream PNG wants: each band is a complete raw deflate stream, and all
// but the last are made to continue (their final block marked not final and an
// empty stored block appended, as zlib's sync flush would end them), so that
// one follows the other behind the zlib header; the Adler-32 checksums of the
// bands are combined.
//
// A row gets PNG's Up filter (each byte less the one above it) unless Paeth
// leaves clearly smaller residuals. Decoded HEIC pictures favour Up: their
// chroma was upsampled from half the rows, and the repeated vertical
// structure gives deflate long matches that Paeth and libpng's adaptive
// choice (least sum of absolute residuals) break up.

// Raw bytes in a band of rows: many bands per core, so that the cores stay
// busy to the end even when some parts of the picture compress slower.
constexpr std::size_t kPngBandBytes = std::size_t(1) << 20;
// The largest IDAT chunk written.
constexpr std::size_t kPngChunkBytes = std::size_t(1) << 20;

constexpr std::uint8_t kPngFilterUp = 2;
constexpr std::uint8_t kPngFilterPaeth = 4;

struct PngBand
{
    int first = 0;
    int count = 0;
    Bytes data;                            // the band's deflate data (band 0 starts with the zlib header)
    uLong adler = adler32(0L, Z_NULL, 0);  // of the band's filtered bytes
    std::uint64_t length = 0;              // filtered bytes
    bool ok = false;
};

// Row y of the picture in PNG's order: R, G, B (, A) or grey, 16-bit samples
// big-endian.
void pngRowOrder(const cv::Mat& image, int y, std::uint8_t* out)
{
    const int channels = image.channels();
    const int cols = image.cols;
    if (image.depth() == CV_16U) {
        const std::uint16_t* in = image.ptr<std::uint16_t>(y);
        for (int x = 0; x < cols; ++x, in += channels) {
            for (int c = 0; c < channels; ++c) {
                const std::uint16_t v = channels == 1 ? in[0] : in[c < 3 ? 2 - c : 3];
                *out++ = static_cast<std::uint8_t>(v >> 8);
                *out++ = static_cast<std::uint8_t>(v);
            }
        }
    } else if (channels == 1) {
        std::memcpy(out, image.ptr<std::uint8_t>(y), static_cast<std::size_t>(cols));
    } else if (channels == 3) {
        const std::uint8_t* in = image.ptr<std::uint8_t>(y);
        for (int x = 0; x < cols; ++x, in += 3, out += 3) {
            out[0] = in[2];
            out[1] = in[1];
            out[2] = in[0];
        }
    } else {
        const std::uint8_t* in = image.ptr<std::uint8_t>(y);
        for (int x = 0; x < cols; ++x, in += 4, out += 4) {
            out[0] = in[2];
            out[1] = in[1];
            out[2] = in[0];
            out[3] = in[3];
        }
    }
}

// The size of a residual, as the filter heuristic measures it: the absolute
// value of the byte read as signed.
inline unsigned residual(std::uint8_t value)
{
    return value < 128 ? value : 256U - value;
}

// The Paeth residual of byte i of `row`; i >= bpp.
inline std::uint8_t paethResidual(const std::uint8_t* row, const std::uint8_t* above, std::size_t i, std::size_t bpp)
{
    const int a = row[i - bpp];
    const int b = above[i];
    const int c = above[i - bpp];
    const int pa = std::abs(b - c);
    const int pb = std::abs(a - c);
    const int pc = std::abs(a + b - 2 * c);
    const int predicted = pa <= pb && pa <= pc ? a : pb <= pc ? b : c;
    return static_cast<std::uint8_t>(row[i] - predicted);
}

// Bytes in a stretch of a row the filter choice samples, and how often one is
// sampled: Paeth's residuals are measured on a quarter of the row.
constexpr std::size_t kFilterSampleBytes = 64;
constexpr std::size_t kFilterSampleEvery = 4;

// Filters `row` against `above` (both `size` bytes, `bpp` bytes a pixel)
// into `out`: the filter type, then the residuals. Returns the filter used.
std::uint8_t filterPngRow(const std::uint8_t* row, const std::uint8_t* above, std::size_t size, std::size_t bpp,
                          std::uint8_t* out)
{
    std::uint8_t* residuals = out + 1;
    for (std::size_t i = 0; i < size; ++i)
        residuals[i] = static_cast<std::uint8_t>(row[i] - above[i]);
    // Both filters' residuals on the sampled stretches (from the second
    // pixel on, where Paeth has a left neighbour).
    std::uint64_t upSum = 0, paethSum = 0;
    const std::size_t stride = kFilterSampleBytes * kFilterSampleEvery;
    for (std::size_t start = bpp; start < size; start += stride) {
        const std::size_t end = std::min(size, start + kFilterSampleBytes);
        for (std::size_t i = start; i < end; ++i) {
            upSum += residual(residuals[i]);
            paethSum += residual(paethResidual(row, above, i, bpp));
        }
    }
    // Up's matches are worth more than its residuals say: Paeth must leave
    // less than 60 % of them.
    if (paethSum * 5 >= upSum * 3) {
        out[0] = kPngFilterUp;
        return out[0];
    }
    for (std::size_t i = bpp; i < size; ++i)
        residuals[i] = paethResidual(row, above, i, bpp);  // the first pixel's: as Up's
    out[0] = kPngFilterPaeth;
    return out[0];
}

// Makes the complete raw deflate stream `data` continue: clears the
// final block's BFINAL bit and appends an empty stored block (three zero bits,
// the rest of the byte, LEN 0, NLEN 0xffff), after which the next stream
// starts on a byte boundary. zlib's inflate finds the final block's header
// and the bits left over in the last byte; false when the data is not one
// complete stream.
bool continueDeflateStream(Bytes& data)
{
    z_stream inflater{};
    if (inflateInit2(&inflater, -15) != Z_OK)
        return false;
    std::array<std::uint8_t, 32768> sink;
    inflater.next_in = data.data();
    inflater.avail_in = static_cast<uInt>(data.size());
    std::uint64_t finalHeaderBit = 0;  // the first block's, unless another follows
    int unusedBits = -1;               // after the final block's end code
    int result = Z_OK;
    while (result == Z_OK) {
        inflater.next_out = sink.data();
        inflater.avail_out = static_cast<uInt>(sink.size());
        result = inflate(&inflater, Z_BLOCK);
        // At the end of a block: before the next one's header, or after the
        // final one (whose leftover bits inflate drops on the next call).
        if (result == Z_OK && (inflater.data_type & 128)) {
            if (inflater.data_type & 64)
                unusedBits = inflater.data_type & 7;
            else
                finalHeaderBit = std::uint64_t(inflater.total_in) * 8 - (inflater.data_type & 7);
        }
    }
    const bool complete = result == Z_STREAM_END && inflater.avail_in == 0;
    inflateEnd(&inflater);
    const std::size_t headerByte = finalHeaderBit / 8;
    const auto finalBit = static_cast<std::uint8_t>(1U << (finalHeaderBit % 8));
    if (!complete || unusedBits < 0 || headerByte >= data.size() || !(data[headerByte] & finalBit))
        return false;
    data[headerByte] &= static_cast<std::uint8_t>(~finalBit);
    data.back() &= static_cast<std::uint8_t>(0xff >> unusedBits);  // the unused bits: zero
    if (unusedBits < 3)
        data.push_back(0);  // the stored block's header runs into this byte
    data.insert(data.end(), {0x00, 0x00, 0xff, 0xff});
    return true;
}

// Filters and deflates one band; every band but the last is made to continue.
// Row 0 of `image` is row `base` of the picture, and the row above the band
// is among its rows. `filtered` and `compressed` are the thread's buffers.
bool deflatePngBand(const cv::Mat& image, int base, bool last, libdeflate_compressor* compressor, int level,
                    Bytes& filtered, Bytes& compressed, PngBand& band)
{
    const std::size_t rowBytes = image.cols * image.elemSize();
    const std::size_t bpp = image.elemSize();
    Bytes above(rowBytes, 0), current(rowBytes);
    if (band.first > 0)
        pngRowOrder(image, band.first - 1 - base, above.data());
    filtered.resize(static_cast<std::size_t>(band.count) * (rowBytes + 1));
    for (int y = 0; y < band.count; ++y) {
        pngRowOrder(image, band.first + y - base, current.data());
        filterPngRow(current.data(), above.data(), rowBytes, bpp, filtered.data() + y * (rowBytes + 1));
        above.swap(current);
    }
    band.adler = adler32_z(band.adler, filtered.data(), filtered.size());
    band.length = filtered.size();

    compressed.resize(libdeflate_deflate_compress_bound(compressor, filtered.size()));
    const std::size_t size =
        libdeflate_deflate_compress(compressor, filtered.data(), filtered.size(), compressed.data(), compressed.size());
    if (size == 0)
        return false;
    compressed.resize(size);
    if (!last && !continueDeflateStream(compressed))
        return false;
    if (band.first == 0) {
        // The zlib header: deflate with a 32 KiB window, no dictionary, and
        // the level's class in the check bits.
        const std::uint8_t flags = level <= 1 ? 0x01 : level <= 5 ? 0x5e : level == 6 ? 0x9c : 0xda;
        band.data.reserve(2 + compressed.size() + 4);
        band.data = {0x78, flags};
    }
    band.data.insert(band.data.end(), compressed.begin(), compressed.end());
    return true;
}

void appendPngChunk(Bytes& out, const char* type, const std::uint8_t* data, std::size_t size)
{
    for (int shift = 24; shift >= 0; shift -= 8)
        out.push_back(static_cast<std::uint8_t>(size >> shift));
    const std::size_t typeAt = out.size();
    out.insert(out.end(), type, type + 4);
    out.insert(out.end(), data, data + size);
    const uLong crc = crc32(0L, out.data() + typeAt, static_cast<uInt>(4 + size));
    for (int shift = 24; shift >= 0; shift -= 8)
        out.push_back(static_cast<std::uint8_t>(crc >> shift));
}

// How libpng refuses an sRGB profile it knows to be faulty (published with
// wrong data, such as the 3144-byte HP/Microsoft profile).
constexpr std::string_view kFaultySrgbProfile = "known incorrect sRGB profile";

// The signature and the chunks before the pixels, as libpng writes them.
EncodedFile pngHeader(cv::Size size, int type, const PngMetadata& metadata, const std::string& xmp)
{
    Bytes out;
    PngState state;
    state.out = &out;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, &state, pngError, pngWarning);
    if (!png)
        return failure("PNG: libpng could not start");
    png_infop info = png_create_info_struct(png);
    if (!info) {
        png_destroy_write_struct(&png, nullptr);
        return failure("PNG: libpng could not start");
    }
    png_set_write_fn(png, &state, pngWrite, pngFlush);
    const bool written = writePngHeader(png, info, size, type, metadata, xmp);
    png_destroy_write_struct(&png, &info);
    if (!written)
        return failure(std::string("PNG: ") + (state.message[0] ? state.message : "libpng failed"));
    return {std::move(out), {}, {}};
}

// The file up to its pixel data, or why not.
EncodedFile pngStart(cv::Size size, int type, const PngMetadata& metadata)
{
    if (metadata.icc.size() > std::numeric_limits<png_uint_32>::max() / 2 ||
        metadata.exif.size() > std::numeric_limits<png_uint_32>::max() / 2)
        return failure("PNG: the metadata is too large");
    const std::string xmp = xmpText(metadata.xmp);
    EncodedFile file = pngHeader(size, type, metadata, xmp);
    if (!file.ok() && !metadata.icc.empty()) {
        // libpng checks the profile against the picture and refuses one that
        // does not fit (a grey or CMYK profile, a length that disagrees with
        // the data); the picture is still worth writing, without it. A
        // profile it knows as a faulty sRGB profile still means sRGB, and
        // the sRGB chunk says so.
        PngMetadata withoutProfile = metadata;
        withoutProfile.icc.clear();
        withoutProfile.srgb = file.error.find(kFaultySrgbProfile) != std::string::npos;
        EncodedFile retry = pngHeader(size, type, withoutProfile, xmp);
        if (retry.ok())
            retry.warning = "the colour profile was left out (" + file.error + ")";
        file = std::move(retry);
    }
    return file;
}

class PngWriter final : public ImageWriter
{
public:
    explicit PngWriter(const WriterOptions& options)
        : mLevel(std::clamp(options.deflateLevel == 0 ? kPngDeflateLevel : options.deflateLevel, 1, 12))
    {}

    void begin(cv::Size size, PixelLayout layout, const WriterMetadata& metadata) override
    {
        mLayout = layout;
        mSize = size;
        if (std::string problem = checkStart(size, layout); !problem.empty()) {
            mError = "PNG: " + problem;
            return;
        }
        const std::size_t rowBytes = std::size_t(size.width) * CV_ELEM_SIZE(layout.cvType());
        mBandRows = static_cast<int>(
            std::clamp<std::size_t>(kPngBandBytes / std::max<std::size_t>(rowBytes, 1), 1, size.height));
        mBands.emplace(size.height, mBandRows, 1);
        const PngMetadata png{metadata.icc, tiffData(metadata.exif), metadata.xmp, metadata.srgb, metadata.resolution};
        EncodedFile header = pngStart(size, layout.cvType(), png);
        mError = header.error;
        mWarning = header.warning;
        mFile = std::move(header.bytes);
        reserveForPicture(mFile, size, layout.cvType());
    }

    void writeRows(const cv::Mat& rows) override
    {
        if (!mError.empty() || !mBands)
            return;
        if (std::string problem = checkRows(rows, mSize.width, mLayout); !problem.empty()) {
            mError = problem;
            return;
        }
        if (std::string problem = mBands->add(rows, compress()); !problem.empty())
            mError = "PNG: " + problem;
    }

    EncodedFile finish() override
    {
        if (mError.empty() && !mBands)
            mError = "PNG: the picture was not started";
        if (mError.empty()) {
            if (std::string problem = mBands->finish(compress()); !problem.empty())
                mError = problem == "not every row was given" ? problem : "PNG: " + problem;
        }
        if (!mError.empty())
            return failure(mError);
        try {
            appendPngChunk(mFile, "IEND", nullptr, 0);
        } catch (const std::bad_alloc&) {
            return failure("PNG: out of memory");
        }
        return {std::move(mFile), {}, std::move(mWarning)};
    }

private:
    BandGatherer::Compress compress()
    {
        return [this](const cv::Mat& rows, int first) -> std::string {
            return deflateBands(rows, first, first > 0 ? first - 1 : 0) ? std::string() : "out of memory";
        };
    }

    // Deflates the bands of `rows` from picture row `first` on; `base` is
    // the picture row of rows' first row (the row above `first`, but for the
    // first band).
    bool deflateBands(const cv::Mat& rows, int first, int base)
    {
        std::vector<PngBand> bands;
        for (int at = first; at < base + rows.rows; at += mBandRows)
            bands.push_back({at, std::min(mBandRows, base + rows.rows - at), {}, adler32(0L, Z_NULL, 0), 0, false});
        std::atomic<std::size_t> next{0};
        runOnEveryCore(bands.size(), [&]() noexcept {
            try {
                std::unique_ptr<libdeflate_compressor, DeflaterFree> compressor(libdeflate_alloc_compressor(mLevel));
                if (!compressor)
                    return;
                Bytes filtered, compressed;
                for (std::size_t i = next++; i < bands.size(); i = next++)
                    bands[i].ok = deflatePngBand(rows, base, bands[i].first + bands[i].count == mSize.height,
                                                 compressor.get(), mLevel, filtered, compressed, bands[i]);
            } catch (const std::bad_alloc&) {
                // The band stays not ok.
            }
        });
        if (!std::all_of(bands.begin(), bands.end(), [](const PngBand& band) { return band.ok; }))
            return false;
        for (const PngBand& band : bands)
            mAdler = adler32_combine(mAdler, band.adler, static_cast<z_off_t>(band.length));
        if (bands.back().first + bands.back().count == mSize.height) {
            for (int shift = 24; shift >= 0; shift -= 8)
                bands.back().data.push_back(static_cast<std::uint8_t>(mAdler >> shift));
        }
        try {
            for (PngBand& band : bands) {
                for (std::size_t at = 0; at < band.data.size(); at += kPngChunkBytes)
                    appendPngChunk(mFile, "IDAT", band.data.data() + at,
                                   std::min(kPngChunkBytes, band.data.size() - at));
            }
        } catch (const std::bad_alloc&) {
            return false;
        }
        return true;
    }

    int mLevel;
    PixelLayout mLayout;
    cv::Size mSize;
    std::optional<BandGatherer> mBands;
    int mBandRows = 1;
    uLong mAdler = adler32(0L, Z_NULL, 0);
    Bytes mFile;
    std::string mError;
    std::string mWarning;
};

}  // namespace

std::unique_ptr<ImageWriter> makePngWriter(const WriterOptions& options)
{
    return std::make_unique<PngWriter>(options);
}

}  // namespace ambrel::pipeline
