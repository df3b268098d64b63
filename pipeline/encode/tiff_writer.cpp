// TIFF: libtiff in memory, deflate with the horizontal predictor, strips
// compressed on every core as enough rows arrive; the resolution, the ICC
// profile and the XMP packet as tags, and of the EXIF block the Exif and GPS
// directories: what of them can be read, and only directories that keep an
// entry (Orientation is always top-left: the pixels are stored as they are
// to be shown). Grey pictures are stored grey, 16-bit samples as 16 bits.
#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <limits>
#include <optional>
#include <tuple>

#include <libdeflate.h>
#include <tiffio.h>

#include "pipeline/encode/writer_support.h"

namespace ambrel::pipeline {

namespace {

using namespace writing;

// What the TIFF file is given of the metadata: the EXIF block's TIFF data.
struct TiffMetadata
{
    Bytes icc;
    Bytes exif;
    Bytes xmp;
    jpegmeta::Resolution resolution;
};

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

// A TIFF file in memory, its strips given in order: started with the
// picture's size, type and metadata, then strips of rowsPerStrip() rows (the
// last one shorter), each predicted and deflated on every core, a group at a
// time, and handed to libtiff as stored.
class TiffFile
{
public:
    // The empty string when started, else why not.
    std::string start(cv::Size size, int type, const TiffMetadata& metadata, int deflateLevel)
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

class TiffWriter final : public ImageWriter
{
public:
    explicit TiffWriter(const WriterOptions& options)
        : mLevel(options.deflateLevel == 0 ? kTiffDeflateLevel : options.deflateLevel)
    {}

    void begin(cv::Size size, PixelLayout layout, const WriterMetadata& metadata) override
    {
        mLayout = layout;
        mSize = size;
        if (std::string problem = checkStart(size, layout); !problem.empty()) {
            mError = "TIFF: " + problem;
            return;
        }
        const TiffMetadata tiff{metadata.icc, tiffData(metadata.exif), metadata.xmp, metadata.resolution};
        if (std::string problem = mFile.start(size, layout.cvType(), tiff, mLevel); !problem.empty()) {
            mError = "TIFF: " + problem;
            return;
        }
        mStrips.emplace(size.height, mFile.rowsPerStrip(), 0);
    }

    void writeRows(const cv::Mat& rows) override
    {
        if (!mError.empty() || !mStrips)
            return;
        if (std::string problem = checkRows(rows, mSize.width, mLayout); !problem.empty()) {
            mError = problem;
            return;
        }
        if (std::string problem = mStrips->add(rows, compress()); !problem.empty())
            mError = "TIFF: " + problem;
    }

    EncodedFile finish() override
    {
        if (mError.empty() && !mStrips)
            mError = "TIFF: the picture was not started";
        if (mError.empty()) {
            if (std::string problem = mStrips->finish(compress()); !problem.empty())
                mError = problem == "not every row was given" ? problem : "TIFF: " + problem;
        }
        if (!mError.empty())
            return failure(mError);
        return mFile.finish();
    }

private:
    BandGatherer::Compress compress()
    {
        return [this](const cv::Mat& rows, int) { return mFile.writeStrips(rows); };
    }

    int mLevel;
    PixelLayout mLayout;
    cv::Size mSize;
    TiffFile mFile;
    std::optional<BandGatherer> mStrips;
    std::string mError;
};

}  // namespace

std::unique_ptr<ImageWriter> makeTiffWriter(const WriterOptions& options)
{
    return std::make_unique<TiffWriter>(options);
}

}  // namespace ambrel::pipeline
