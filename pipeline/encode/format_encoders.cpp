#include "pipeline/encode/format_encoders.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <csetjmp>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <string_view>
#include <thread>
#include <tuple>

#include <jpeglib.h>
#include <libdeflate.h>
#include <openjpeg.h>
#include <png.h>
#include <tiffio.h>
#include <zlib.h>

#include <opencv2/imgproc.hpp>

namespace ambrel::pipeline {

namespace {

using Bytes = std::vector<std::uint8_t>;

EncodedFile failure(std::string text)
{
    return {{}, std::move(text), {}};
}

// The empty string when the encoders can take the picture: BGR or BGRA, or
// with `grey` a single channel.
std::string checkPicture(const cv::Mat& image, bool sixteenBit, bool grey = false)
{
    if (image.empty() || image.dims != 2)
        return "the picture is empty";
    if (grey && image.channels() != 1)
        return "the picture is not grey";
    if (!grey && image.channels() != 3 && image.channels() != 4)
        return "the picture is not BGR or BGRA";
    if (image.depth() != CV_8U && !(sixteenBit && image.depth() == CV_16U))
        return sixteenBit ? "the picture is not 8-bit or 16-bit" : "the picture is not 8-bit";
    return {};
}

// Rows first..first+count of the picture in RGB(A) order (a grey picture as
// it is), contiguous.
cv::Mat rgbRows(const cv::Mat& image, int first, int count)
{
    cv::Mat rows;
    if (image.channels() == 1) {
        image.rowRange(first, first + count).copyTo(rows);
        return rows;
    }
    cv::cvtColor(image.rowRange(first, first + count), rows,
                 image.channels() == 4 ? cv::COLOR_BGRA2RGBA : cv::COLOR_BGR2RGB);
    return rows;
}

// The XMP packet as libraries that take C strings need it: up to the first
// NUL (a packet is text; a trailing NUL is common).
std::string xmpText(const Bytes& xmp)
{
    const auto end = std::find(xmp.begin(), xmp.end(), std::uint8_t(0));
    return std::string(xmp.begin(), end);
}

// ---------------------------------------------------------------- PNG

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
bool writePngHeader(png_structp png, png_infop info, cv::Size size, int type, const ImageMetadata& metadata,
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

struct DeflaterFree
{
    void operator()(libdeflate_compressor* compressor) const { libdeflate_free_compressor(compressor); }
};

// Runs `work` on one thread per core, this one included, but on no more
// threads than there are `tasks`; each run takes its tasks from a counter of
// its own and must not throw. When threads cannot be started, fewer runs take
// the same tasks.
template <typename Work>
void runOnEveryCore(std::size_t tasks, const Work& work)
{
    const std::size_t threads = std::min<std::size_t>(std::max(1u, std::thread::hardware_concurrency()), tasks);
    std::vector<std::thread> helpers;
    try {
        for (std::size_t i = 1; i < threads; ++i)
            helpers.emplace_back(work);
    } catch (const std::exception&) {
        // Fewer threads: this one takes what the others would have.
    }
    work();
    for (std::thread& helper : helpers)
        helper.join();
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

// The IDAT chunks and IEND after the header; each band's data is let go
// once written.
// ---------------------------------------------------------------- TIFF

// A growing in-memory file for libtiff's client procedures.
struct MemoryFile
{
    Bytes data;
    std::uint64_t position = 0;
    std::string error;
};

tsize_t tiffRead(thandle_t handle, tdata_t buffer, tsize_t size)
{
    auto* file = static_cast<MemoryFile*>(handle);
    if (size < 0 || file->position >= file->data.size())
        return 0;
    const auto count = std::min<std::uint64_t>(static_cast<std::uint64_t>(size), file->data.size() - file->position);
    std::memcpy(buffer, file->data.data() + file->position, count);
    file->position += count;
    return static_cast<tsize_t>(count);
}

tsize_t tiffWrite(thandle_t handle, tdata_t buffer, tsize_t size)
{
    auto* file = static_cast<MemoryFile*>(handle);
    if (size < 0)
        return -1;
    const auto count = static_cast<std::uint64_t>(size);
    try {
        if (file->position + count > file->data.size())
            file->data.resize(file->position + count);
    } catch (const std::bad_alloc&) {
        return -1;
    }
    std::memcpy(file->data.data() + file->position, buffer, count);
    file->position += count;
    return size;
}

toff_t tiffSeek(thandle_t handle, toff_t offset, int whence)
{
    auto* file = static_cast<MemoryFile*>(handle);
    std::uint64_t base = 0;
    if (whence == SEEK_CUR)
        base = file->position;
    else if (whence == SEEK_END)
        base = file->data.size();
    // libtiff keeps classic TIFF offsets below 4 GiB itself; a seek past
    // that cannot be meant.
    if (offset > std::numeric_limits<std::uint32_t>::max() || base + offset > std::numeric_limits<std::uint32_t>::max())
        return static_cast<toff_t>(-1);
    file->position = base + offset;
    return file->position;
}

int tiffClose(thandle_t)
{
    return 0;
}

toff_t tiffSize(thandle_t handle)
{
    return static_cast<MemoryFile*>(handle)->data.size();
}

int tiffMap(thandle_t, tdata_t*, toff_t*)
{
    return 0;
}

void tiffUnmap(thandle_t, tdata_t, toff_t) {}

int tiffError(TIFF*, void* user, const char* module, const char* format, va_list arguments)
{
    auto* file = static_cast<MemoryFile*>(user);
    if (file->error.empty()) {
        char text[512];
        std::vsnprintf(text, sizeof text, format, arguments);
        file->error = std::string(module ? module : "libtiff") + ": " + text;
    }
    return 1;  // handled: not passed on to the process-wide handler
}

int tiffWarning(TIFF*, void*, const char*, const char*, va_list)
{
    return 1;
}

struct TiffCloser
{
    void operator()(TIFF* tif) const { TIFFClose(tif); }
};

struct TiffOptionsFree
{
    void operator()(TIFFOpenOptions* options) const { TIFFOpenOptionsFree(options); }
};

// --- carrying an EXIF block into a TIFF file ---
//
// libtiff can write an EXIF directory only tag by tag, each with the calling
// convention of its own field definition. A TIFF file already is the EXIF
// block's structure, so instead the block's Exif and GPS directories are
// copied as they are (entries, their out-of-line values, the Interoperability
// directory) behind what libtiff wrote, and the main directory's pointers to
// them are filled in. The file is written in the block's byte order, so no
// value needs swapping. Text tags of the block's first directory (camera
// make, model, date...) go into the main directory through libtiff.

constexpr std::uint16_t kExifIfdTag = 0x8769;
constexpr std::uint16_t kGpsIfdTag = 0x8825;
constexpr std::uint16_t kInteropIfdTag = 0xa005;
constexpr std::uint32_t kMaxIfdEntries = 1000;

// Reads 16- and 32-bit values of a TIFF structure in its byte order, each
// access checked against the end. Holds the vector, not its data, so that it
// stays valid while the vector grows.
class TiffBytes
{
public:
    TiffBytes(const Bytes& bytes, bool bigEndian) : mBytes(bytes), mBig(bigEndian) {}

    bool get16(std::uint64_t at, std::uint16_t& value) const
    {
        if (at + 2 > mBytes.size())
            return false;
        value = mBig ? static_cast<std::uint16_t>((mBytes[at] << 8) | mBytes[at + 1])
                     : static_cast<std::uint16_t>(mBytes[at] | (mBytes[at + 1] << 8));
        return true;
    }
    bool get32(std::uint64_t at, std::uint32_t& value) const
    {
        std::uint16_t a = 0, b = 0;
        if (!get16(at, a) || !get16(at + 2, b))
            return false;
        value = mBig ? (std::uint32_t(a) << 16) | b : (std::uint32_t(b) << 16) | a;
        return true;
    }

private:
    const Bytes& mBytes;
    bool mBig;
};

// Writes a 32-bit value at `at` (which the caller has checked) in the byte order.
void setTiff32(Bytes& bytes, bool bigEndian, std::uint64_t at, std::uint32_t value)
{
    for (int i = 0; i < 4; ++i) {
        const int shift = bigEndian ? 24 - 8 * i : 8 * i;
        bytes[at + i] = static_cast<std::uint8_t>(value >> shift);
    }
}

// Bytes per value of each TIFF field type; 0 for an unknown type.
std::uint32_t tiffTypeSize(std::uint16_t type)
{
    switch (type) {
    case 1:
    case 2:
    case 6:
    case 7: return 1;  // BYTE, ASCII, SBYTE, UNDEFINED
    case 3:
    case 8: return 2;  // SHORT, SSHORT
    case 4:
    case 9:
    case 11:
    case 13: return 4;  // LONG, SLONG, FLOAT, IFD
    case 5:
    case 10:
    case 12: return 8;  // RATIONAL, SRATIONAL, DOUBLE
    default: return 0;
    }
}

struct ExifLayout
{
    bool bigEndian = false;
    std::uint32_t exifIfd = 0;  // offsets in the block, 0 when absent
    std::uint32_t gpsIfd = 0;
    std::vector<std::pair<std::uint16_t, std::string>> texts;  // first-directory text tags for the main directory
    // Entries and directories of the block that cannot be read, left out.
    unsigned leftOut = 0;
    bool unreadable = false;  // no directory of the block can be read: none is carried
};

// The tags of the first directory that describe the capture, not the pixels.
bool isCaptureTextTag(std::uint16_t tag)
{
    switch (tag) {
    case 0x010e:
    case 0x010f:
    case 0x0110:
    case 0x0131:
    case 0x0132:
    case 0x013b:
    case 0x8298: return true;
    default: return false;
    }
}

// What of the block's first directory the TIFF file takes: its text tags
// and the Exif and GPS pointers. Whatever cannot be read is left out and
// counted; a block whose header or first directory cannot be read gives
// nothing (`unreadable`).
void readExifLayout(const Bytes& block, ExifLayout& layout)
{
    layout.unreadable = true;
    if (block.size() < 8)
        return;
    if (block[0] == 'M' && block[1] == 'M')
        layout.bigEndian = true;
    else if (!(block[0] == 'I' && block[1] == 'I'))
        return;
    const TiffBytes in(block, layout.bigEndian);
    std::uint16_t magic = 0, count = 0;
    std::uint32_t ifd = 0;
    if (!in.get16(2, magic) || magic != 42 || !in.get32(4, ifd) || !in.get16(ifd, count) || count > kMaxIfdEntries)
        return;
    layout.unreadable = false;
    for (std::uint32_t i = 0; i < count; ++i) {
        const std::uint64_t entry = std::uint64_t(ifd) + 2 + 12 * i;
        std::uint16_t tag = 0, type = 0;
        std::uint32_t n = 0, value = 0;
        if (!in.get16(entry, tag) || !in.get16(entry + 2, type) || !in.get32(entry + 4, n) ||
            !in.get32(entry + 8, value)) {
            layout.leftOut += count - i;  // the directory runs past the block
            return;
        }
        const bool pointer = (type == 4 || type == 13) && n == 1;
        if (tag == kExifIfdTag || tag == kGpsIfdTag) {
            if (!pointer || value == 0)
                ++layout.leftOut;
            else
                (tag == kExifIfdTag ? layout.exifIfd : layout.gpsIfd) = value;
        } else if (isCaptureTextTag(tag) && type == 2 && n > 1) {
            const std::uint64_t at = n <= 4 ? entry + 8 : value;
            if (at + n > block.size()) {
                ++layout.leftOut;
                continue;
            }
            std::string text(block.begin() + static_cast<std::ptrdiff_t>(at),
                             block.begin() + static_cast<std::ptrdiff_t>(at + n));
            text.resize(std::strlen(text.c_str()));
            if (!text.empty())
                layout.texts.emplace_back(tag, std::move(text));
        }
    }
}

// Copies the directory at `offset` of the block to the end of `out`, with
// its out-of-line values and (depth allowing) its Interoperability
// directory, placed before it; sets `copied` to where it starts. Entries that
// cannot be read are left out and counted in `leftOut`: a value outside the
// block, a type TIFF does not define, a sub-directory pointer that is not one
// readable directory, more bytes than `budget` leaves (it bounds the bytes
// copied, so that entries pointing many times at one large value cannot blow
// the file up). False, with nothing copied that is referenced, when the
// directory cannot be read (outside the block, more than kMaxIfdEntries
// entries) or keeps no entry: an empty directory is not carried.
bool copyIfd(const Bytes& block, bool bigEndian, std::uint32_t offset, Bytes& out, int depth, std::uint64_t& budget,
             std::uint32_t& copied, unsigned& leftOut)
{
    const TiffBytes in(block, bigEndian);
    std::uint16_t count = 0;
    if (!in.get16(offset, count) || count > kMaxIfdEntries ||
        offset + 2 + 12 * std::uint64_t(count) + 4 > block.size()) {
        ++leftOut;
        return false;
    }
    const std::size_t mark = out.size();
    struct Kept
    {
        std::uint64_t source;  // the entry in the block
        std::uint32_t value;   // its value field as copied
    };
    std::vector<Kept> kept;
    for (std::uint32_t i = 0; i < count; ++i) {
        const std::uint64_t entry = offset + 2 + 12 * std::uint64_t(i);
        std::uint16_t tag = 0, type = 0;
        std::uint32_t n = 0, value = 0;
        in.get16(entry, tag);
        in.get16(entry + 2, type);
        in.get32(entry + 4, n);
        in.get32(entry + 8, value);
        if (tag == kInteropIfdTag || tag == kExifIfdTag || tag == kGpsIfdTag) {
            // A pointer is carried only as the directory it points at.
            std::uint32_t sub = 0;
            if (tag == kInteropIfdTag && depth > 0 && (type == 4 || type == 13) && n == 1 &&
                copyIfd(block, bigEndian, value, out, depth - 1, budget, sub, leftOut))
                kept.push_back({entry, sub});
            else
                ++leftOut;
            continue;
        }
        const std::uint64_t size = std::uint64_t(tiffTypeSize(type)) * n;
        if (tiffTypeSize(type) == 0 || (size > 4 && (value + size > block.size() || size > budget))) {
            ++leftOut;
            continue;
        }
        if (size <= 4) {
            kept.push_back({entry, value});
            continue;
        }
        budget -= size;
        if (out.size() % 2)
            out.push_back(0);
        if (out.size() + size > std::numeric_limits<std::uint32_t>::max()) {
            ++leftOut;
            continue;
        }
        kept.push_back({entry, static_cast<std::uint32_t>(out.size())});
        out.insert(out.end(), block.begin() + value, block.begin() + static_cast<std::ptrdiff_t>(value + size));
    }
    const std::uint64_t ifdSize = 2 + 12 * std::uint64_t(kept.size()) + 4;
    if (out.size() % 2)
        out.push_back(0);
    if (kept.empty() || ifdSize > budget || out.size() + ifdSize > std::numeric_limits<std::uint32_t>::max()) {
        out.resize(mark);
        return false;
    }
    budget -= ifdSize;
    const std::uint64_t start = out.size();
    out.push_back(0);
    out.push_back(0);
    for (const Kept& k : kept) {
        const std::uint64_t at = out.size();
        out.insert(out.end(), block.begin() + static_cast<std::ptrdiff_t>(k.source),
                   block.begin() + static_cast<std::ptrdiff_t>(k.source + 12));
        setTiff32(out, bigEndian, at + 8, k.value);
    }
    out.insert(out.end(), 4, 0);  // no next directory
    const auto entries = static_cast<std::uint16_t>(kept.size());
    out[start] = static_cast<std::uint8_t>(bigEndian ? entries >> 8 : entries & 0xff);
    out[start + 1] = static_cast<std::uint8_t>(bigEndian ? entries & 0xff : entries >> 8);
    copied = static_cast<std::uint32_t>(start);
    return true;
}

// The block's Exif and GPS directories copied to the end of `out`: where
// each starts (0 for one not carried), and what of them was left out.
struct CopiedDirectories
{
    std::uint32_t exifIfd = 0;
    std::uint32_t gpsIfd = 0;
    unsigned leftOut = 0;
};

CopiedDirectories copyExifDirectories(const Bytes& block, const ExifLayout& layout, Bytes& out)
{
    CopiedDirectories result;
    std::uint64_t budget = 2 * std::uint64_t(block.size()) + 4096;
    if (layout.exifIfd)
        copyIfd(block, layout.bigEndian, layout.exifIfd, out, 1, budget, result.exifIfd, result.leftOut);
    if (layout.gpsIfd)
        copyIfd(block, layout.bigEndian, layout.gpsIfd, out, 0, budget, result.gpsIfd, result.leftOut);
    return result;
}

// One strip as stored with Adobe deflate and the horizontal predictor: every
// sample less the one a pixel before it (modulo its size), 16-bit samples in
// the file's byte order, deflated as a zlib stream. `rows` are contiguous
// RGB(A) or grey; `predicted` is the thread's buffer.
bool deflateTiffStrip(const cv::Mat& rows, bool bigEndian, libdeflate_compressor* compressor, Bytes& predicted,
                      Bytes& out)
{
    const auto channels = static_cast<std::size_t>(rows.channels());
    const std::size_t samples = static_cast<std::size_t>(rows.cols) * channels;
    predicted.resize(rows.total() * rows.elemSize());
    for (int y = 0; y < rows.rows; ++y) {
        if (rows.depth() == CV_16U) {
            const auto* in = rows.ptr<std::uint16_t>(y);
            std::uint8_t* row = predicted.data() + std::size_t(y) * samples * 2;
            for (std::size_t i = 0; i < samples; ++i) {
                const auto value = static_cast<std::uint16_t>(i < channels ? in[i] : in[i] - in[i - channels]);
                row[2 * i + (bigEndian ? 1 : 0)] = static_cast<std::uint8_t>(value);
                row[2 * i + (bigEndian ? 0 : 1)] = static_cast<std::uint8_t>(value >> 8);
            }
        } else {
            const std::uint8_t* in = rows.ptr<std::uint8_t>(y);
            std::uint8_t* row = predicted.data() + std::size_t(y) * samples;
            std::copy_n(in, std::min(channels, samples), row);
            for (std::size_t i = channels; i < samples; ++i)
                row[i] = static_cast<std::uint8_t>(in[i] - in[i - channels]);
        }
    }
    out.resize(libdeflate_zlib_compress_bound(compressor, predicted.size()));
    const std::size_t size =
        libdeflate_zlib_compress(compressor, predicted.data(), predicted.size(), out.data(), out.size());
    out.resize(size);
    return size != 0;
}

// Fills in the value of `tag` in the first directory of the TIFF file.
bool patchFirstIfd(Bytes& file, bool bigEndian, std::uint16_t tag, std::uint32_t value)
{
    const TiffBytes io(file, bigEndian);
    std::uint32_t ifd = 0;
    std::uint16_t count = 0;
    if (!io.get32(4, ifd) || !io.get16(ifd, count))
        return false;
    for (std::uint32_t i = 0; i < count; ++i) {
        const std::uint64_t entry = std::uint64_t(ifd) + 2 + 12 * i;
        std::uint16_t entryTag = 0;
        if (!io.get16(entry, entryTag) || entry + 12 > file.size())
            return false;
        if (entryTag == tag) {
            setTiff32(file, bigEndian, entry + 8, value);
            return true;
        }
    }
    return false;
}

// ---------------------------------------------------------------- JPEG 2000

struct OpjSink
{
    Bytes data;
    std::uint64_t position = 0;
};

OPJ_SIZE_T opjWrite(void* buffer, OPJ_SIZE_T size, void* user)
{
    auto* sink = static_cast<OpjSink*>(user);
    try {
        if (sink->position + size > sink->data.size())
            sink->data.resize(sink->position + size);
    } catch (const std::bad_alloc&) {
        return static_cast<OPJ_SIZE_T>(-1);
    }
    std::memcpy(sink->data.data() + sink->position, buffer, size);
    sink->position += size;
    return size;
}

OPJ_OFF_T opjSkip(OPJ_OFF_T count, void* user)
{
    auto* sink = static_cast<OpjSink*>(user);
    if (count < 0 && static_cast<std::uint64_t>(-count) > sink->position)
        return -1;
    sink->position = static_cast<std::uint64_t>(static_cast<OPJ_OFF_T>(sink->position) + count);
    return count;
}

OPJ_BOOL opjSeek(OPJ_OFF_T position, void* user)
{
    if (position < 0)
        return OPJ_FALSE;
    static_cast<OpjSink*>(user)->position = static_cast<std::uint64_t>(position);
    return OPJ_TRUE;
}

void opjError(const char* message, void* user)
{
    auto* text = static_cast<std::string*>(user);
    if (text->empty()) {
        *text = message;
        while (!text->empty() && (text->back() == '\n' || text->back() == ' '))
            text->pop_back();
    }
}

void opjQuiet(const char*, void*) {}

struct OpjCodecFree
{
    void operator()(opj_codec_t* codec) const { opj_destroy_codec(codec); }
};
struct OpjStreamFree
{
    void operator()(opj_stream_t* stream) const { opj_stream_destroy(stream); }
};
struct OpjImageFree
{
    void operator()(opj_image_t* image) const { opj_image_destroy(image); }
};

void appendBigEndian32(Bytes& out, std::uint32_t value)
{
    out.push_back(static_cast<std::uint8_t>(value >> 24));
    out.push_back(static_cast<std::uint8_t>(value >> 16));
    out.push_back(static_cast<std::uint8_t>(value >> 8));
    out.push_back(static_cast<std::uint8_t>(value));
}

// A JP2 'uuid' box: EXIF and XMP have no box of their own in JP2; these two
// identifiers are the ones readers look for.
bool appendUuidBox(Bytes& file, const std::array<std::uint8_t, 16>& uuid, const Bytes& payload)
{
    const std::uint64_t size = 8 + uuid.size() + payload.size();
    if (size > std::numeric_limits<std::uint32_t>::max())
        return false;
    appendBigEndian32(file, static_cast<std::uint32_t>(size));
    file.insert(file.end(), {'u', 'u', 'i', 'd'});
    file.insert(file.end(), uuid.begin(), uuid.end());
    file.insert(file.end(), payload.begin(), payload.end());
    return true;
}

std::uint32_t readBigEndian32(const Bytes& bytes, std::size_t at)
{
    return (std::uint32_t(bytes[at]) << 24) | (std::uint32_t(bytes[at + 1]) << 16) |
           (std::uint32_t(bytes[at + 2]) << 8) | std::uint32_t(bytes[at + 3]);
}

// Puts the ICC profile into the JP2 header box in place of the enumerated
// colour space OpenJPEG wrote. OpenJPEG's own route (the image's
// icc_profile_buf) fails an assertion in its encoder, so the header is
// rewritten here: the JP2 'colr' box (ISO/IEC 15444-1) becomes method 2 (a
// restricted ICC profile, the JP2 form) and the header box grows by the
// difference. Nothing in a JP2 file points at absolute offsets, so the boxes
// after it need no change. False when the file has no such header.
bool putJp2Profile(Bytes& file, const Bytes& icc)
{
    std::size_t at = 0;
    while (at + 8 <= file.size()) {
        const std::uint32_t size = readBigEndian32(file, at);
        if (size < 8 || at + size > file.size())
            return false;
        if (std::memcmp(&file[at + 4], "jp2h", 4) == 0) {
            Bytes header;
            for (std::size_t child = at + 8; child + 8 <= at + size;) {
                const std::uint32_t childSize = readBigEndian32(file, child);
                if (childSize < 8 || child + childSize > at + size)
                    return false;
                if (std::memcmp(&file[child + 4], "colr", 4) == 0) {
                    appendBigEndian32(header, static_cast<std::uint32_t>(8 + 3 + icc.size()));
                    header.insert(header.end(), {'c', 'o', 'l', 'r', 2, 0, 0});  // method, precedence, approximation
                    header.insert(header.end(), icc.begin(), icc.end());
                } else {
                    header.insert(header.end(), file.begin() + static_cast<std::ptrdiff_t>(child),
                                  file.begin() + static_cast<std::ptrdiff_t>(child + childSize));
                }
                child += childSize;
            }
            if (8 + header.size() > std::numeric_limits<std::uint32_t>::max())
                return false;
            Bytes box;
            appendBigEndian32(box, static_cast<std::uint32_t>(8 + header.size()));
            box.insert(box.end(), {'j', 'p', '2', 'h'});
            box.insert(box.end(), header.begin(), header.end());
            file.erase(file.begin() + static_cast<std::ptrdiff_t>(at),
                       file.begin() + static_cast<std::ptrdiff_t>(at + size));
            file.insert(file.begin() + static_cast<std::ptrdiff_t>(at), box.begin(), box.end());
            return true;
        }
        at += size;
    }
    return false;
}

// "JpgTiffExif->JP2"
constexpr std::array<std::uint8_t, 16> kExifUuid = {0x4a, 0x70, 0x67, 0x54, 0x69, 0x66, 0x66, 0x45,
                                                    0x78, 0x69, 0x66, 0x2d, 0x3e, 0x4a, 0x50, 0x32};
// BE7ACFCB-97A9-42E8-9C71-999491E3AFAC
constexpr std::array<std::uint8_t, 16> kXmpUuid = {0xbe, 0x7a, 0xcf, 0xcb, 0x97, 0xa9, 0x42, 0xe8,
                                                   0x9c, 0x71, 0x99, 0x94, 0x91, 0xe3, 0xaf, 0xac};

// ---------------------------------------------------------------- BMP

void appendLittle16(Bytes& out, std::uint16_t value)
{
    out.push_back(static_cast<std::uint8_t>(value));
    out.push_back(static_cast<std::uint8_t>(value >> 8));
}

void appendLittle32(Bytes& out, std::uint32_t value)
{
    appendLittle16(out, static_cast<std::uint16_t>(value));
    appendLittle16(out, static_cast<std::uint16_t>(value >> 16));
}

constexpr std::uint32_t kBmpFileHeaderSize = 14;
constexpr std::uint32_t kBmpV5HeaderSize = 124;
constexpr std::uint32_t kBiRgb = 0;
constexpr std::uint32_t kBiBitfields = 3;
constexpr std::uint32_t kLcsSrgb = 0x73524742;          // 'sRGB'
constexpr std::uint32_t kProfileEmbedded = 0x4d424544;  // 'MBED'
constexpr std::uint32_t kLcsGmImages = 4;               // perceptual
constexpr std::uint32_t kPixelsPerMetre = 2835;         // 72 dpi
constexpr std::uint32_t kBmpGreyPaletteBytes = 256 * 4;

}  // namespace

// ---------------------------------------------------------------- PNG

namespace {

// How libpng refuses an sRGB profile it knows to be faulty (published with
// wrong data, such as the 3144-byte HP/Microsoft profile).
constexpr std::string_view kFaultySrgbProfile = "known incorrect sRGB profile";

// The signature and the chunks before the pixels, as libpng writes them.
EncodedFile pngHeader(cv::Size size, int type, const ImageMetadata& metadata, const std::string& xmp)
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

}  // namespace

namespace {

// The file up to its pixel data, or why not.
EncodedFile pngStart(cv::Size size, int type, const ImageMetadata& metadata)
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
        ImageMetadata withoutProfile = metadata;
        withoutProfile.icc.clear();
        withoutProfile.srgb = file.error.find(kFaultySrgbProfile) != std::string::npos;
        EncodedFile retry = pngHeader(size, type, withoutProfile, xmp);
        if (retry.ok())
            retry.warning = "the colour profile was left out (" + file.error + ")";
        file = std::move(retry);
    }
    return file;
}

EncodedFile pngFile(const cv::Mat& image, const ImageMetadata& metadata, int deflateLevel, bool grey)
{
    if (std::string problem = checkPicture(image, true, grey); !problem.empty())
        return failure("PNG: " + problem);
    LosslessBandWriter writer(LosslessBandWriter::Format::Png, image.size(), image.type(), metadata, deflateLevel);
    writer.writeRows(image);
    return writer.finish();
}

}  // namespace

EncodedFile encodePng(const cv::Mat& image, const ImageMetadata& metadata, int deflateLevel)
{
    return pngFile(image, metadata, deflateLevel, false);
}

EncodedFile encodeGreyPng(const cv::Mat& image, int deflateLevel)
{
    return pngFile(image, {}, deflateLevel, true);
}

// ---------------------------------------------------------------- TIFF

namespace {

// Room for a file of as many bytes as the picture's samples, so that the
// file rarely moves while it grows: pages never written cost nothing.
void reserveForPicture(Bytes& file, cv::Size size, int type)
{
    try {
        file.reserve(file.size() + std::size_t(size.width) * std::size_t(size.height) * CV_ELEM_SIZE(type));
    } catch (const std::exception&) {
        // Grown as it comes.
    }
}

// A TIFF file in memory, its strips given in order: started with the
// picture's size, type and metadata, then strips of rowsPerStrip() rows (the
// last one shorter), each predicted and deflated on every core, a group at a
// time, and handed to libtiff as stored.
class TiffWriter
{
public:
    // The empty string when started, else why not.
    std::string start(cv::Size size, int type, const ImageMetadata& metadata, int deflateLevel)
    {
        if (metadata.icc.size() > std::numeric_limits<std::uint32_t>::max() / 2 ||
            metadata.xmp.size() > std::numeric_limits<std::uint32_t>::max() / 2)
            return "the metadata is too large";
        if (!metadata.exif.empty()) {
            readExifLayout(metadata.exif, mExif);
            // Which directories are carried, and what is left out of them:
            // copied once here, and again behind the finished file.
            Bytes scratch;
            mDirectories = copyExifDirectories(metadata.exif, mExif, scratch);
            if (mExif.unreadable)
                mWarning = "the EXIF block cannot be read and was left out";
            else if (const unsigned leftOut = mExif.leftOut + mDirectories.leftOut; leftOut > 0)
                mWarning = std::to_string(leftOut) +
                           (leftOut == 1 ? " EXIF entry or directory" : " EXIF entries or directories") +
                           " that cannot be read were left out";
        }
        mExifBlock = metadata.exif;
        mSize = size;
        mLevel = std::clamp(deflateLevel, 1, 12);
        reserveForPicture(mFile.data, size, type);

        std::unique_ptr<TIFFOpenOptions, TiffOptionsFree> options(TIFFOpenOptionsAlloc());
        if (!options)
            return "libtiff could not start";
        TIFFOpenOptionsSetErrorHandlerExtR(options.get(), tiffError, &mFile);
        TIFFOpenOptionsSetWarningHandlerExtR(options.get(), tiffWarning, &mFile);
        // Classic TIFF, which every reader takes (libtiff refuses to pass 4
        // GiB, and the refusal comes back as an error here), in the EXIF
        // block's byte order.
        const char* mode = mExif.bigEndian ? "wb" : "wl";
        mTif.reset(TIFFClientOpenExt("memory", mode, &mFile, tiffRead, tiffWrite, tiffSeek, tiffClose, tiffSize,
                                     tiffMap, tiffUnmap, options.get()));
        if (!mTif)
            return mFile.error.empty() ? std::string("libtiff could not start") : mFile.error;

        const int channels = CV_MAT_CN(type);
        const int bits = CV_MAT_DEPTH(type) == CV_16U ? 16 : 8;
        const std::size_t rowBytes = std::size_t(size.width) * CV_ELEM_SIZE(type);
        mRowsPerStrip = static_cast<int>(
            std::clamp<std::size_t>((std::size_t(256) << 10) / std::max<std::size_t>(rowBytes, 1), 1, size.height));
        TIFF* t = mTif.get();
        bool set = TIFFSetField(t, TIFFTAG_IMAGEWIDTH, static_cast<std::uint32_t>(size.width)) &&
                   TIFFSetField(t, TIFFTAG_IMAGELENGTH, static_cast<std::uint32_t>(size.height)) &&
                   TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, static_cast<std::uint16_t>(bits)) &&
                   TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, static_cast<std::uint16_t>(channels)) &&
                   TIFFSetField(t, TIFFTAG_PHOTOMETRIC, channels == 1 ? PHOTOMETRIC_MINISBLACK : PHOTOMETRIC_RGB) &&
                   TIFFSetField(t, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG) &&
                   TIFFSetField(t, TIFFTAG_ORIENTATION, ORIENTATION_TOPLEFT) &&
                   TIFFSetField(t, TIFFTAG_COMPRESSION, COMPRESSION_ADOBE_DEFLATE) &&
                   TIFFSetField(t, TIFFTAG_PREDICTOR, PREDICTOR_HORIZONTAL) &&
                   TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, static_cast<std::uint32_t>(mRowsPerStrip));
        if (set && channels == 4) {
            const std::uint16_t extra[] = {EXTRASAMPLE_UNASSALPHA};
            set = TIFFSetField(t, TIFFTAG_EXTRASAMPLES, static_cast<std::uint16_t>(1), extra);
        }
        const jpegmeta::Resolution& resolution = metadata.resolution;
        if (set)
            set = TIFFSetField(t, TIFFTAG_XRESOLUTION, resolution.x) &&
                  TIFFSetField(t, TIFFTAG_YRESOLUTION, resolution.y) &&
                  TIFFSetField(t, TIFFTAG_RESOLUTIONUNIT, resolution.unit);
        if (set && !metadata.icc.empty())
            set = TIFFSetField(t, TIFFTAG_ICCPROFILE, static_cast<std::uint32_t>(metadata.icc.size()),
                               metadata.icc.data());
        if (set && !metadata.xmp.empty())
            set = TIFFSetField(t, TIFFTAG_XMLPACKET, static_cast<std::uint32_t>(metadata.xmp.size()),
                               metadata.xmp.data());
        for (const auto& [tag, text] : mExif.texts) {
            if (set)
                set = TIFFSetField(t, tag, text.c_str());
        }
        // Placeholders, filled in once the directories are copied behind the file.
        if (set && mDirectories.exifIfd)
            set = TIFFSetField(t, TIFFTAG_EXIFIFD, std::uint64_t(0));
        if (set && mDirectories.gpsIfd)
            set = TIFFSetField(t, TIFFTAG_GPSIFD, std::uint64_t(0));
        if (!set)
            return mFile.error.empty() ? std::string("a tag was refused") : mFile.error;
        return {};
    }

    int rowsPerStrip() const { return mRowsPerStrip; }

    // The next whole strips (and, at the picture's end, the last one): rows
    // of the picture as encodeTiff takes them. The empty string when written.
    std::string writeStrips(const cv::Mat& rows)
    {
        const auto strips = static_cast<std::size_t>((rows.rows + mRowsPerStrip - 1) / mRowsPerStrip);
        const std::size_t group = 4 * std::max(1u, std::thread::hardware_concurrency());
        std::vector<Bytes> compressed(std::min(group, strips));
        for (std::size_t start = 0; start < strips; start += group) {
            const std::size_t count = std::min(group, strips - start);
            std::atomic<std::size_t> next{0};
            std::atomic<bool> failed{false};
            runOnEveryCore(count, [&]() noexcept {
                try {
                    std::unique_ptr<libdeflate_compressor, DeflaterFree> compressor(
                        libdeflate_alloc_compressor(mLevel));
                    Bytes predicted;
                    for (std::size_t i = next++; compressor && i < count; i = next++) {
                        const auto first = static_cast<int>((start + i) * std::size_t(mRowsPerStrip));
                        const int n = std::min(mRowsPerStrip, rows.rows - first);
                        if (!deflateTiffStrip(rgbRows(rows, first, n), mExif.bigEndian, compressor.get(), predicted,
                                              compressed[i]))
                            failed = true;
                    }
                    if (!compressor)
                        failed = true;
                } catch (const std::exception&) {
                    failed = true;
                }
            });
            if (failed)
                return "out of memory while compressing";
            for (std::size_t i = 0; i < count; ++i) {
                if (TIFFWriteRawStrip(mTif.get(), mNextStrip++, compressed[i].data(),
                                      static_cast<tmsize_t>(compressed[i].size())) < 0)
                    return mFile.error.empty() ? std::string("writing failed") : mFile.error;
            }
        }
        return {};
    }

    // Ends the file: its directory, then the EXIF and GPS directories copied
    // behind it.
    EncodedFile finish()
    {
        if (!TIFFWriteDirectory(mTif.get()) || !mFile.error.empty())
            return failure("TIFF: " + (mFile.error.empty() ? std::string("writing failed") : mFile.error));
        mTif.reset();
        if (!mFile.error.empty())
            return failure("TIFF: " + mFile.error);
        if (mDirectories.exifIfd || mDirectories.gpsIfd) {
            const CopiedDirectories copied = copyExifDirectories(mExifBlock, mExif, mFile.data);
            for (const auto& [tag, planned, offset] : {std::tuple{kExifIfdTag, mDirectories.exifIfd, copied.exifIfd},
                                                       std::tuple{kGpsIfdTag, mDirectories.gpsIfd, copied.gpsIfd}}) {
                if (planned && (!offset || !patchFirstIfd(mFile.data, mExif.bigEndian, tag, offset)))
                    return failure("TIFF: the EXIF directories cannot be written");
            }
        }
        return {std::move(mFile.data), {}, std::move(mWarning)};
    }

private:
    MemoryFile mFile;
    std::unique_ptr<TIFF, TiffCloser> mTif;
    ExifLayout mExif;
    CopiedDirectories mDirectories;  // as planned when started
    Bytes mExifBlock;
    std::string mWarning;
    cv::Size mSize;
    int mLevel = 1;
    int mRowsPerStrip = 1;
    std::uint32_t mNextStrip = 0;
};

EncodedFile tiffFile(const cv::Mat& image, const ImageMetadata& metadata, int deflateLevel, bool grey)
{
    if (std::string problem = checkPicture(image, true, grey); !problem.empty())
        return failure("TIFF: " + problem);
    TiffWriter writer;
    if (std::string problem = writer.start(image.size(), image.type(), metadata, deflateLevel); !problem.empty())
        return failure("TIFF: " + problem);
    if (std::string problem = writer.writeStrips(image); !problem.empty())
        return failure("TIFF: " + problem);
    return writer.finish();
}

}  // namespace

EncodedFile encodeTiff(const cv::Mat& image, const ImageMetadata& metadata, int deflateLevel)
{
    return tiffFile(image, metadata, deflateLevel, false);
}

EncodedFile encodeGreyTiff(const cv::Mat& image, int deflateLevel)
{
    return tiffFile(image, {}, deflateLevel, true);
}

// ---------------------------------------------------------------- band by band

namespace {

// Where the pixels of a BMP file lie: after the headers (and the grey
// table), the rows from the bottom up, each padded to four bytes; the
// profile follows them.
struct BmpLayout
{
    std::size_t rowBytes = 0;
    std::size_t stride = 0;
    std::size_t pixelOffset = 0;
    std::size_t pixelBytes = 0;
};

// The file's headers for a picture of the size and channels (1, 3 or 4, 8
// bits each) into `out`; false when the file would be too large for BMP.
bool bmpHeader(cv::Size size, int channels, const ImageMetadata& metadata, Bytes& out, BmpLayout& layout);

// Puts rows first .. first + rows.rows - 1 of a picture `height` rows high
// where they belong in the file (room for all of its pixels, the padding
// zero).
void putBmpRows(const cv::Mat& rows, int first, int height, const BmpLayout& layout, Bytes& file);

}  // namespace

struct LosslessBandWriter::State
{
    Format format = Format::Png;
    cv::Size size;
    int type = 0;
    int level = 1;
    std::string error;
    std::string warning;
    int done = 0;     // picture rows compressed
    cv::Mat pending;  // rows not yet compressed; for PNG, the row above them first (when done > 0)
    // PNG: the file so far, the rows of a band, and the Adler-32 of the
    // filtered rows so far.
    Bytes png;
    int bandRows = 1;
    uLong adler = adler32(0L, Z_NULL, 0);
    TiffWriter tiff;
    // BMP: the whole file, each row put in its place as it comes (`done`
    // counts them), the profile added at the end.
    Bytes bmp;
    BmpLayout bmpLayout;
    Bytes icc;

    // Compresses the bands (PNG) or strips (TIFF) the pending rows complete,
    // once there are enough of them to keep every core busy, and all of
    // them at the end.
    void compress(bool end)
    {
        const int above = format == Format::Png && done > 0 ? 1 : 0;
        const int available = pending.rows - above;
        const int unit = format == Format::Png ? bandRows : tiff.rowsPerStrip();
        const int cores = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
        int rows = end ? available : available / unit * unit;
        if (rows <= 0 || (!end && rows < 2 * cores * unit))
            return;
        if (format == Format::Tiff) {
            if (std::string problem = tiff.writeStrips(pending.rowRange(0, rows)); !problem.empty()) {
                error = "TIFF: " + problem;
                return;
            }
        } else if (!deflateBands(pending.rowRange(0, above + rows), done - above)) {
            error = "PNG: out of memory";
            return;
        }
        done += rows;
        pending = pending.rowRange(above + rows - (format == Format::Png ? 1 : 0), pending.rows).clone();
    }

    bool deflateBands(const cv::Mat& rows, int base)
    {
        std::vector<PngBand> bands;
        for (int first = done; first < base + rows.rows; first += bandRows)
            bands.push_back(
                {first, std::min(bandRows, base + rows.rows - first), {}, adler32(0L, Z_NULL, 0), 0, false});
        std::atomic<std::size_t> next{0};
        runOnEveryCore(bands.size(), [&]() noexcept {
            try {
                std::unique_ptr<libdeflate_compressor, DeflaterFree> compressor(libdeflate_alloc_compressor(level));
                if (!compressor)
                    return;
                Bytes filtered, compressed;
                for (std::size_t i = next++; i < bands.size(); i = next++)
                    bands[i].ok = deflatePngBand(rows, base, bands[i].first + bands[i].count == size.height,
                                                 compressor.get(), level, filtered, compressed, bands[i]);
            } catch (const std::bad_alloc&) {
                // The band stays not ok.
            }
        });
        if (!std::all_of(bands.begin(), bands.end(), [](const PngBand& band) { return band.ok; }))
            return false;
        for (const PngBand& band : bands)
            adler = adler32_combine(adler, band.adler, static_cast<z_off_t>(band.length));
        if (bands.back().first + bands.back().count == size.height) {
            for (int shift = 24; shift >= 0; shift -= 8)
                bands.back().data.push_back(static_cast<std::uint8_t>(adler >> shift));
        }
        try {
            for (PngBand& band : bands) {
                for (std::size_t at = 0; at < band.data.size(); at += kPngChunkBytes)
                    appendPngChunk(png, "IDAT", band.data.data() + at, std::min(kPngChunkBytes, band.data.size() - at));
            }
        } catch (const std::bad_alloc&) {
            return false;
        }
        return true;
    }
};

LosslessBandWriter::LosslessBandWriter(Format format, cv::Size size, int type, const ImageMetadata& metadata,
                                       int deflateLevel)
    : mState(std::make_unique<State>())
{
    State& state = *mState;
    state.format = format;
    state.size = size;
    state.type = type;
    const char* name = format == Format::Png ? "PNG: " : format == Format::Tiff ? "TIFF: " : "BMP: ";
    if (size.width <= 0 || size.height <= 0 || (CV_MAT_DEPTH(type) != CV_8U && CV_MAT_DEPTH(type) != CV_16U) ||
        (CV_MAT_CN(type) != 1 && CV_MAT_CN(type) != 3 && CV_MAT_CN(type) != 4)) {
        state.error = std::string(name) + "the picture is not grey, BGR or BGRA of 8 or 16 bits";
        return;
    }
    if (format == Format::Bmp) {
        if (CV_MAT_DEPTH(type) != CV_8U) {
            state.error = "BMP: the picture is not of 8 bits";
        } else if (!bmpHeader(size, CV_MAT_CN(type), metadata, state.bmp, state.bmpLayout)) {
            state.error = "BMP: the picture is too large for a BMP file";
        } else {
            state.bmp.resize(state.bmpLayout.pixelOffset + state.bmpLayout.pixelBytes);
            state.icc = metadata.icc;
        }
        return;
    }
    if (deflateLevel == 0)
        deflateLevel = format == Format::Png ? kPngDeflateLevel : kLosslessDeflateLevel;
    if (format == Format::Tiff) {
        if (std::string problem = state.tiff.start(size, type, metadata, deflateLevel); !problem.empty())
            state.error = name + problem;
        return;
    }
    state.level = std::clamp(deflateLevel, 1, 12);
    const std::size_t rowBytes = std::size_t(size.width) * CV_ELEM_SIZE(type);
    state.bandRows =
        static_cast<int>(std::clamp<std::size_t>(kPngBandBytes / std::max<std::size_t>(rowBytes, 1), 1, size.height));
    EncodedFile header = pngStart(size, type, metadata);
    state.error = header.error;
    state.warning = header.warning;
    state.png = std::move(header.bytes);
    reserveForPicture(state.png, size, type);
}

LosslessBandWriter::~LosslessBandWriter() = default;

void LosslessBandWriter::writeRows(const cv::Mat& rows)
{
    State& state = *mState;
    if (!state.error.empty())
        return;
    if (rows.type() != state.type || rows.cols != state.size.width) {
        state.error = "the rows do not fit the picture";
        return;
    }
    if (state.format == Format::Bmp) {
        const int count = std::clamp(rows.rows, 0, state.size.height - state.done);
        putBmpRows(rows.rowRange(0, count), state.done, state.size.height, state.bmpLayout, state.bmp);
        state.done += count;
        return;
    }
    const int above = state.format == Format::Png && state.done > 0 ? 1 : 0;
    const int room = state.size.height - state.done - (state.pending.rows - above);
    const cv::Mat taken = rows.rowRange(0, std::clamp(rows.rows, 0, room));
    if (taken.empty())
        return;
    try {
        // The caller's rows are compressed where they are; only what is left
        // over is copied.
        const bool copied = !state.pending.empty();
        if (copied)
            cv::vconcat(state.pending, taken, state.pending);
        else
            state.pending = taken;
        const int before = state.done;
        state.compress(false);
        if (!copied && state.done == before)
            state.pending = state.pending.clone();
    } catch (const cv::Exception&) {
        state.error = "out of memory";
    }
}

EncodedFile LosslessBandWriter::finish()
{
    State& state = *mState;
    const int above = state.format == Format::Png && state.done > 0 ? 1 : 0;
    if (state.error.empty() && state.done + state.pending.rows - above != state.size.height)
        state.error = "not every row was given";
    if (state.error.empty() && state.format != Format::Bmp)
        state.compress(true);
    if (!state.error.empty())
        return failure(state.error);
    if (state.format == Format::Tiff)
        return state.tiff.finish();
    if (state.format == Format::Bmp) {
        try {
            state.bmp.insert(state.bmp.end(), state.icc.begin(), state.icc.end());
        } catch (const std::bad_alloc&) {
            return failure("BMP: out of memory");
        }
        return {std::move(state.bmp), {}, {}};
    }
    try {
        appendPngChunk(state.png, "IEND", nullptr, 0);
    } catch (const std::bad_alloc&) {
        return failure("PNG: out of memory");
    }
    return {std::move(state.png), {}, std::move(state.warning)};
}

// ---------------------------------------------------------------- JPEG 2000

double jp2RatioForQuality(int quality)
{
    const int q = std::clamp(quality, 1, 99);
    return 2.0 * std::pow(2.0, (99 - q) / 10.0);
}

int jp2ResolutionLevels(int width, int height)
{
    // Each level below the full picture halves it; OpenJPEG wants at least
    // one pixel a side in the smallest.
    int levels = 1;
    const int side = std::max(1, std::min(width, height));
    while (levels < 6 && (side >> levels) > 0)
        ++levels;
    return levels;
}

namespace {

// The side of the tiles a JPEG 2000 file is coded in: OpenJPEG takes the
// picture a tile at a time and holds no more than a tile in its own form
// (four bytes a sample, and as much again for the wavelet), and a tile's
// wavelet stays in the caches.
constexpr int kJp2TileSide = 1024;

// Hands the picture to the encoder tile by tile, in order: each tile's
// components one after the other, R, G, B (, A) or grey, a byte a sample
// at 8 bits and two (native order) above, 16-bit samples brought to `bits`
// bits, rounded.
bool writeJp2Tiles(const cv::Mat& image, int bits, int tileWidth, int tileHeight, opj_codec_t* codec,
                   opj_stream_t* stream)
{
    const int channels = image.channels();
    const bool wide = image.depth() == CV_16U;
    std::vector<std::uint16_t> levels;
    if (wide) {
        levels.resize(65536);
        const double narrowing = double((1 << bits) - 1) / 65535.0;
        for (std::size_t v = 0; v < levels.size(); ++v)
            levels[v] = static_cast<std::uint16_t>(std::lround(double(v) * narrowing));
    }
    // BGR(A) to the components R, G, B (, A).
    constexpr int kOrder[] = {2, 1, 0, 3};
    std::vector<std::uint8_t> samples;
    OPJ_UINT32 index = 0;
    for (int top = 0; top < image.rows; top += tileHeight) {
        for (int left = 0; left < image.cols; left += tileWidth, ++index) {
            const cv::Mat tile = image(
                cv::Rect(left, top, std::min(tileWidth, image.cols - left), std::min(tileHeight, image.rows - top)));
            const std::size_t plane = tile.total();
            samples.resize(plane * std::size_t(channels) * (wide ? 2 : 1));
            for (int c = 0; c < channels; ++c) {
                const int source = channels == 1 ? 0 : kOrder[c];
                for (int y = 0; y < tile.rows; ++y) {
                    const std::size_t at = std::size_t(c) * plane + std::size_t(y) * std::size_t(tile.cols);
                    if (wide) {
                        const std::uint16_t* row = tile.ptr<std::uint16_t>(y) + source;
                        auto* out = reinterpret_cast<std::uint16_t*>(samples.data()) + at;
                        for (int x = 0; x < tile.cols; ++x)
                            out[x] = levels[row[std::ptrdiff_t(x) * channels]];
                    } else {
                        const std::uint8_t* row = tile.ptr<std::uint8_t>(y) + source;
                        std::uint8_t* out = samples.data() + at;
                        for (int x = 0; x < tile.cols; ++x)
                            out[x] = row[std::ptrdiff_t(x) * channels];
                    }
                }
            }
            if (!opj_write_tile(codec, index, samples.data(), static_cast<OPJ_UINT32>(samples.size()), stream))
                return false;
        }
    }
    return true;
}

EncodedFile jp2File(const cv::Mat& image, const ImageMetadata& metadata, int quality, int precision, bool grey)
{
    if (std::string problem = checkPicture(image, true, grey); !problem.empty())
        return failure("JPEG 2000: " + problem);
    if (metadata.icc.size() > std::numeric_limits<std::uint32_t>::max() / 2)
        return failure("JPEG 2000: the profile is too large");

    const int channels = image.channels();
    const auto width = static_cast<OPJ_UINT32>(image.cols);
    const auto height = static_cast<OPJ_UINT32>(image.rows);
    const int bits = image.depth() == CV_16U ? std::clamp(precision, 9, 16) : 8;
    std::array<opj_image_cmptparm_t, 4> components{};
    for (int c = 0; c < channels; ++c) {
        components[c].dx = 1;
        components[c].dy = 1;
        components[c].w = width;
        components[c].h = height;
        components[c].prec = static_cast<OPJ_UINT32>(bits);
        components[c].sgnd = 0;
    }
    // The picture's description alone: the samples go to the encoder a
    // tile at a time.
    std::unique_ptr<opj_image_t, OpjImageFree> picture(opj_image_tile_create(
        static_cast<OPJ_UINT32>(channels), components.data(), channels == 1 ? OPJ_CLRSPC_GRAY : OPJ_CLRSPC_SRGB));
    if (!picture)
        return failure("JPEG 2000: out of memory");
    picture->x0 = 0;
    picture->y0 = 0;
    picture->x1 = width;
    picture->y1 = height;
    if (channels == 4)
        picture->comps[3].alpha = 1;
    const int tileWidth = std::min(image.cols, kJp2TileSide);
    const int tileHeight = std::min(image.rows, kJp2TileSide);
    opj_cparameters_t parameters;
    opj_set_default_encoder_parameters(&parameters);
    parameters.tile_size_on = OPJ_TRUE;
    parameters.cp_tx0 = 0;
    parameters.cp_ty0 = 0;
    parameters.cp_tdx = tileWidth;
    parameters.cp_tdy = tileHeight;
    parameters.tcp_numlayers = 1;
    parameters.cp_disto_alloc = 1;
    if (quality >= 100) {
        parameters.irreversible = 0;
        parameters.tcp_rates[0] = 0;  // no rate limit: lossless
    } else {
        parameters.irreversible = 1;
        parameters.tcp_rates[0] = static_cast<float>(jp2RatioForQuality(quality));
    }
    parameters.tcp_mct = channels >= 3 ? 1 : 0;  // the colour transform over R, G, B
    parameters.numresolution = jp2ResolutionLevels(tileWidth, tileHeight);

    std::string error;
    std::unique_ptr<opj_codec_t, OpjCodecFree> codec(opj_create_compress(OPJ_CODEC_JP2));
    if (!codec)
        return failure("JPEG 2000: OpenJPEG could not start");
    opj_set_error_handler(codec.get(), opjError, &error);
    opj_set_warning_handler(codec.get(), opjQuiet, nullptr);
    opj_set_info_handler(codec.get(), opjQuiet, nullptr);
    if (!opj_setup_encoder(codec.get(), &parameters, picture.get()))
        return failure("JPEG 2000: " + (error.empty() ? std::string("the encoder refused the settings") : error));
    // The code blocks are coded on every core (the wavelet transform too);
    // without thread support OpenJPEG works on this one.
    if (opj_has_thread_support())
        opj_codec_set_threads(codec.get(), static_cast<int>(std::max(1u, std::thread::hardware_concurrency())));

    OpjSink sink;
    std::unique_ptr<opj_stream_t, OpjStreamFree> stream(opj_stream_create(OPJ_J2K_STREAM_CHUNK_SIZE, OPJ_FALSE));
    if (!stream)
        return failure("JPEG 2000: out of memory");
    opj_stream_set_user_data(stream.get(), &sink, nullptr);
    opj_stream_set_write_function(stream.get(), opjWrite);
    opj_stream_set_skip_function(stream.get(), opjSkip);
    opj_stream_set_seek_function(stream.get(), opjSeek);
    if (!opj_start_compress(codec.get(), picture.get(), stream.get()) ||
        !writeJp2Tiles(image, bits, tileWidth, tileHeight, codec.get(), stream.get()) ||
        !opj_end_compress(codec.get(), stream.get()))
        return failure("JPEG 2000: " + (error.empty() ? std::string("encoding failed") : error));
    stream.reset();  // flushes what is buffered into the sink

    Bytes file = std::move(sink.data);
    if (!metadata.icc.empty() && !putJp2Profile(file, metadata.icc))
        return failure("JPEG 2000: the encoder's JP2 header was not as expected");
    if (!metadata.exif.empty() && !appendUuidBox(file, kExifUuid, metadata.exif))
        return failure("JPEG 2000: the EXIF block is too large");
    if (!metadata.xmp.empty() && !appendUuidBox(file, kXmpUuid, metadata.xmp))
        return failure("JPEG 2000: the XMP packet is too large");
    return {std::move(file), {}, {}};
}

}  // namespace

EncodedFile encodeJp2(const cv::Mat& image, const ImageMetadata& metadata, int quality, int precision)
{
    return jp2File(image, metadata, quality, precision, false);
}

EncodedFile encodeGreyJp2(const cv::Mat& image, int quality, int precision)
{
    return jp2File(image, {}, quality, precision, true);
}

// ---------------------------------------------------------------- BMP

namespace {

bool bmpHeader(cv::Size size, int channels, const ImageMetadata& metadata, Bytes& out, BmpLayout& layout)
{
    const std::uint64_t stride = (static_cast<std::uint64_t>(size.width) * channels + 3) & ~std::uint64_t(3);
    const std::uint64_t pixelBytes = stride * static_cast<std::uint64_t>(size.height);
    // A grey picture is stored with 8 bits a pixel, indices into a table of the 256 greys.
    const std::uint32_t paletteBytes = channels == 1 ? kBmpGreyPaletteBytes : 0;
    const std::uint64_t pixelOffset = kBmpFileHeaderSize + kBmpV5HeaderSize + paletteBytes;
    const std::uint64_t fileSize = pixelOffset + pixelBytes + metadata.icc.size();
    if (fileSize > std::numeric_limits<std::int32_t>::max())
        return false;
    layout.rowBytes = static_cast<std::size_t>(size.width) * channels;
    layout.stride = static_cast<std::size_t>(stride);
    layout.pixelOffset = static_cast<std::size_t>(pixelOffset);
    layout.pixelBytes = static_cast<std::size_t>(pixelBytes);

    out.reserve(static_cast<std::size_t>(fileSize));
    // BITMAPFILEHEADER
    out.insert(out.end(), {'B', 'M'});
    appendLittle32(out, static_cast<std::uint32_t>(fileSize));
    appendLittle32(out, 0);
    appendLittle32(out, static_cast<std::uint32_t>(pixelOffset));
    // BITMAPV5HEADER
    appendLittle32(out, kBmpV5HeaderSize);
    appendLittle32(out, static_cast<std::uint32_t>(size.width));
    appendLittle32(out, static_cast<std::uint32_t>(size.height));  // positive: bottom row first
    appendLittle16(out, 1);                                        // planes
    appendLittle16(out, static_cast<std::uint16_t>(channels * 8));
    appendLittle32(out, channels == 4 ? kBiBitfields : kBiRgb);
    appendLittle32(out, static_cast<std::uint32_t>(pixelBytes));
    appendLittle32(out, kPixelsPerMetre);
    appendLittle32(out, kPixelsPerMetre);
    appendLittle32(out, channels == 1 ? 256 : 0);  // colours used
    appendLittle32(out, 0);                        // colours important
    // Channel masks: read only with BI_BITFIELDS, where they say B, G, R, A
    // from the lowest byte up, as the rows are stored.
    appendLittle32(out, channels == 4 ? 0x00ff0000U : 0);
    appendLittle32(out, channels == 4 ? 0x0000ff00U : 0);
    appendLittle32(out, channels == 4 ? 0x000000ffU : 0);
    appendLittle32(out, channels == 4 ? 0xff000000U : 0);
    appendLittle32(out, metadata.icc.empty() ? kLcsSrgb : kProfileEmbedded);
    out.insert(out.end(), 36 + 12, 0);  // endpoints and gammas: unused for these colour spaces
    appendLittle32(out, kLcsGmImages);
    // The profile follows the pixels; its offset counts from this header.
    appendLittle32(out,
                   metadata.icc.empty() ? 0 : static_cast<std::uint32_t>(kBmpV5HeaderSize + paletteBytes + pixelBytes));
    appendLittle32(out, static_cast<std::uint32_t>(metadata.icc.size()));
    appendLittle32(out, 0);  // reserved
    if (channels == 1) {
        for (unsigned grey = 0; grey < 256; ++grey) {
            const auto level = static_cast<std::uint8_t>(grey);
            out.insert(out.end(), {level, level, level, 0});  // blue, green, red, reserved
        }
    }
    return true;
}

void putBmpRows(const cv::Mat& rows, int first, int height, const BmpLayout& layout, Bytes& file)
{
    for (int y = 0; y < rows.rows; ++y) {
        const std::size_t row = static_cast<std::size_t>(height - 1 - (first + y));
        // BMP stores B, G, R (, A): OpenCV's order.
        std::memcpy(file.data() + layout.pixelOffset + row * layout.stride, rows.ptr<std::uint8_t>(y), layout.rowBytes);
    }
}

EncodedFile bmpFile(const cv::Mat& image, const ImageMetadata& metadata, bool grey)
{
    if (std::string problem = checkPicture(image, false, grey); !problem.empty())
        return failure("BMP: " + problem);
    Bytes out;
    BmpLayout layout;
    if (!bmpHeader(image.size(), image.channels(), metadata, out, layout))
        return failure("BMP: the picture is too large for a BMP file");
    out.resize(layout.pixelOffset + layout.pixelBytes);
    putBmpRows(image, 0, image.rows, layout, out);
    out.insert(out.end(), metadata.icc.begin(), metadata.icc.end());
    return {std::move(out), {}, {}};
}

}  // namespace

EncodedFile encodeBmp(const cv::Mat& image, const ImageMetadata& metadata)
{
    return bmpFile(image, metadata, false);
}

EncodedFile encodeGreyBmp(const cv::Mat& image)
{
    return bmpFile(image, {}, true);
}

// ---------------------------------------------------------------- grey JPEG

namespace {

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

}  // namespace

EncodedFile encodeGreyJpeg(const cv::Mat& image, int quality)
{
    if (image.empty() || image.dims != 2 || image.type() != CV_8UC1)
        return failure("JPEG: the picture is not 8-bit grey");
    if (image.cols > 65535 || image.rows > 65535)
        return failure("JPEG: the picture is larger than 65535 pixels a side");
    unsigned char* memory = nullptr;
    unsigned long size = 0;
    GreyJpegError error;
    const bool done = compressGrey(image, quality, memory, size, error);
    std::unique_ptr<unsigned char, decltype(&std::free)> owned(memory, &std::free);
    if (!done)
        return failure(std::string("JPEG: ") + error.message);
    return {Bytes(memory, memory + size), {}, {}};
}

}  // namespace ambrel::pipeline
