// EXIF and ICC handling for the JPEG that heif2jpg writes. See jpeg_metadata.h.
#include "pipeline/encode/jpeg_metadata.h"

#include <algorithm>
#include <array>
#include <stdexcept>
#include <string>

namespace ambrel::pipeline {

namespace jpegmeta {

namespace {

constexpr std::array<std::uint8_t, 6> kExifId = {'E', 'x', 'i', 'f', 0, 0};
constexpr std::size_t kTiffHeaderSize = 8;
constexpr std::size_t kIfdEntrySize = 12;
// IFDs visited in one walk of an IFD tree; real files have at most five
// (IFD0, Exif, GPS, Interop, IFD1). Revisiting an IFD is skipped, so loops end.
constexpr std::size_t kMaxIfdsVisited = 32;

constexpr std::uint16_t kTagOrientation = 0x0112;
constexpr std::uint16_t kTagXResolution = 0x011A;
constexpr std::uint16_t kTagYResolution = 0x011B;
constexpr std::uint16_t kTagResolutionUnit = 0x0128;
constexpr std::uint16_t kTagPixelXDimension = 0xA002;
constexpr std::uint16_t kTagPixelYDimension = 0xA003;
constexpr std::uint16_t kTagStripOffsets = 0x0111;
constexpr std::uint16_t kTagStripByteCounts = 0x0117;
constexpr std::uint16_t kTagJpegOffset = 0x0201;  // JPEGInterchangeFormat
constexpr std::uint16_t kTagJpegLength = 0x0202;  // JPEGInterchangeFormatLength
constexpr std::uint16_t kTagExifIfd = 0x8769;
constexpr std::uint16_t kTagGpsIfd = 0x8825;
constexpr std::uint16_t kTagInteropIfd = 0xA005;

constexpr std::uint16_t kTypeShort = 3;
constexpr std::uint16_t kTypeLong = 4;
constexpr std::uint16_t kTypeRational = 5;
constexpr std::uint16_t kTypeIfd = 13;

// Bytes per value of a TIFF field type; 0 for a type TIFF 6 / EXIF does not define.
std::uint64_t typeSize(std::uint16_t type)
{
    switch (type) {
    case 1:
    case 2:
    case 6:
    case 7: return 1;  // BYTE ASCII SBYTE UNDEFINED
    case 3:
    case 8: return 2;  // SHORT SSHORT
    case 4:
    case 9:
    case 11:
    case 13: return 4;  // LONG SLONG FLOAT IFD
    case 5:
    case 10:
    case 12: return 8;  // RATIONAL SRATIONAL DOUBLE
    default: return 0;
    }
}

bool isTiffHeader(const std::uint8_t* p)
{
    return (p[0] == 'I' && p[1] == 'I' && p[2] == 0x2A && p[3] == 0x00) ||
           (p[0] == 'M' && p[1] == 'M' && p[2] == 0x00 && p[3] == 0x2A);
}

bool startsWithExifId(const Bytes& block)
{
    return block.size() >= kExifId.size() && std::equal(kExifId.begin(), kExifId.end(), block.begin());
}

struct Entry
{
    std::uint16_t tag = 0;
    std::uint16_t type = 0;
    std::uint32_t count = 0;
    std::uint64_t position = 0;  // of the 12-byte entry, in TIFF offsets
};

// A read-only view of the TIFF data of a block (the bytes after "Exif" 00 00).
// Offsets are TIFF offsets; all reads are bounds-checked in 64-bit arithmetic.
class TiffView
{
public:
    // nullopt unless the block starts with "Exif" 00 00 and an 8-byte TIFF header.
    static std::optional<TiffView> open(const Bytes& block)
    {
        if (!startsWithExifId(block) || block.size() < kExifId.size() + kTiffHeaderSize)
            return std::nullopt;
        const std::uint8_t* tiff = block.data() + kExifId.size();
        if (!isTiffHeader(tiff))
            return std::nullopt;
        return TiffView(tiff, block.size() - kExifId.size(), tiff[0] == 'I');
    }

    std::uint64_t size() const { return mSize; }
    bool littleEndian() const { return mLittle; }
    bool contains(std::uint64_t offset, std::uint64_t length) const
    {
        return offset <= mSize && length <= mSize - offset;
    }

    std::optional<std::uint16_t> u16(std::uint64_t offset) const
    {
        if (!contains(offset, 2))
            return std::nullopt;
        const std::uint8_t* p = mData + offset;
        return static_cast<std::uint16_t>(mLittle ? (p[0] | (p[1] << 8)) : ((p[0] << 8) | p[1]));
    }

    std::optional<std::uint32_t> u32(std::uint64_t offset) const
    {
        if (!contains(offset, 4))
            return std::nullopt;
        const std::uint8_t* p = mData + offset;
        std::uint32_t value = 0;
        for (int i = 0; i < 4; ++i) {
            const std::uint32_t byte = p[mLittle ? 3 - i : i];
            value = (value << 8) | byte;
        }
        return value;
    }

    std::optional<std::uint32_t> ifd0Offset() const { return u32(4); }

    // Number of entries an IFD declares; nullopt when the count is out of range.
    std::optional<std::uint16_t> entryCount(std::uint64_t ifdOffset) const { return u16(ifdOffset); }

    // Entry `index` of the IFD at `ifdOffset`; nullopt when it lies out of range.
    std::optional<Entry> entry(std::uint64_t ifdOffset, std::uint32_t index) const
    {
        const std::uint64_t position = ifdOffset + 2 + std::uint64_t{index} * kIfdEntrySize;
        if (!contains(position, kIfdEntrySize))
            return std::nullopt;
        return Entry{*u16(position), *u16(position + 2), *u32(position + 4), position};
    }

    // First entry with `tag` among the entries of the IFD that lie in range.
    std::optional<Entry> findEntry(std::uint64_t ifdOffset, std::uint16_t tag) const
    {
        const auto count = entryCount(ifdOffset);
        if (!count)
            return std::nullopt;
        for (std::uint32_t i = 0; i < *count; ++i) {
            const auto e = entry(ifdOffset, i);
            if (!e)
                return std::nullopt;
            if (e->tag == tag)
                return e;
        }
        return std::nullopt;
    }

    // Every entry with `tag` among the entries of the IFD that lie in range.
    std::vector<Entry> findEntries(std::uint64_t ifdOffset, std::uint16_t tag) const
    {
        std::vector<Entry> found;
        const auto count = entryCount(ifdOffset);
        for (std::uint32_t i = 0; count && i < *count; ++i) {
            const auto e = entry(ifdOffset, i);
            if (!e)
                break;
            if (e->tag == tag)
                found.push_back(*e);
        }
        return found;
    }

    // The IFD an IFD0 pointer entry (LONG or IFD, one value) names; nullopt without one.
    std::optional<std::uint32_t> subIfd(std::uint16_t tag) const
    {
        const auto ifd0 = ifd0Offset();
        const auto e = ifd0 ? findEntry(*ifd0, tag) : std::nullopt;
        if (!e || (e->type != kTypeLong && e->type != kTypeIfd))
            return std::nullopt;
        return unsignedValue(*e, 0);
    }

    // Size in bytes of an entry's values (count x type size; 0 for an unknown type).
    static std::uint64_t valueBytes(const Entry& e) { return std::uint64_t{e.count} * typeSize(e.type); }

    // Where an entry's values start: in the entry itself when they fit in 4
    // bytes, else at the offset the entry holds. nullopt when they lie out of range.
    std::optional<std::uint64_t> valuePosition(const Entry& e) const
    {
        const std::uint64_t bytes = valueBytes(e);
        const std::uint64_t position = bytes <= 4 ? e.position + 8 : std::uint64_t{*u32(e.position + 8)};
        if (!contains(position, bytes))
            return std::nullopt;
        return position;
    }

    // Value `index` of a SHORT, LONG or IFD entry.
    std::optional<std::uint32_t> unsignedValue(const Entry& e, std::uint32_t index) const
    {
        if (index >= e.count)
            return std::nullopt;
        const auto position = valuePosition(e);
        if (!position)
            return std::nullopt;
        switch (e.type) {
        case kTypeShort: return u16(*position + std::uint64_t{index} * 2);
        case kTypeLong:
        case kTypeIfd: return u32(*position + std::uint64_t{index} * 4);
        default: return std::nullopt;
        }
    }

private:
    TiffView(const std::uint8_t* data, std::uint64_t size, bool little) : mData(data), mSize(size), mLittle(little) {}

    const std::uint8_t* mData;
    std::uint64_t mSize;
    bool mLittle;
};

// The Orientation entries of IFD0.
std::vector<Entry> orientationEntries(const TiffView& tiff)
{
    const auto ifd0 = tiff.ifd0Offset();
    return ifd0 ? tiff.findEntries(*ifd0, kTagOrientation) : std::vector<Entry>{};
}

// A RATIONAL entry's first value; nullopt unless readable with a non-zero denominator.
std::optional<double> rationalValue(const TiffView& tiff, const Entry& e)
{
    if (e.type != kTypeRational || e.count == 0)
        return std::nullopt;
    const auto position = tiff.valuePosition(e);
    const auto numerator = position ? tiff.u32(*position) : std::nullopt;
    const auto denominator = position ? tiff.u32(*position + 4) : std::nullopt;
    if (!numerator || !denominator || *denominator == 0)
        return std::nullopt;
    return double(*numerator) / double(*denominator);
}

// Walks IFD0, its sub-IFDs and everything they reference, and records the end
// of the last referenced byte. Fails on anything out of range.
class ReferenceWalk
{
public:
    explicit ReferenceWalk(const TiffView& tiff) : mTiff(tiff) {}

    // Walks the IFD at `offset`; false when the tree is malformed.
    bool walk(std::uint32_t offset)
    {
        if (std::find(mVisited.begin(), mVisited.end(), offset) != mVisited.end())
            return true;  // a loop: its bytes are already kept
        if (mVisited.size() >= kMaxIfdsVisited)
            return false;
        mVisited.push_back(offset);

        const auto count = mTiff.entryCount(offset);
        if (!count)
            return false;
        const std::uint64_t nextPointer = std::uint64_t{offset} + 2 + std::uint64_t{*count} * kIfdEntrySize;
        if (!keep(offset, nextPointer + 4 - offset))
            return false;
        if (mVisited.size() == 1)
            mIfd0NextPointer = nextPointer;

        std::optional<Entry> jpegOffset, jpegLength, stripOffsets, stripByteCounts;
        for (std::uint32_t i = 0; i < *count; ++i) {
            const Entry e = *mTiff.entry(offset, i);  // in range: the whole table is
            if (typeSize(e.type) == 0)
                continue;  // no reader can interpret it, so it references nothing
            const auto position = mTiff.valuePosition(e);
            if (!position || !keep(*position, TiffView::valueBytes(e)))
                return false;
            switch (e.tag) {
            case kTagExifIfd:
            case kTagGpsIfd:
            case kTagInteropIfd:
                if (e.type == kTypeLong || e.type == kTypeIfd) {
                    const auto target = mTiff.unsignedValue(e, 0);
                    if (target && *target != 0 && !walk(*target))
                        return false;
                }
                break;
            case kTagJpegOffset: jpegOffset = e; break;
            case kTagJpegLength: jpegLength = e; break;
            case kTagStripOffsets: stripOffsets = e; break;
            case kTagStripByteCounts: stripByteCounts = e; break;
            default: break;
            }
        }
        // Image data an IFD of the kept tree points at (never the case in a
        // normal EXIF IFD0, but then it has to stay).
        if (jpegOffset && jpegLength && !keepData(*jpegOffset, *jpegLength))
            return false;
        if (stripOffsets && stripByteCounts && !keepData(*stripOffsets, *stripByteCounts))
            return false;
        return true;
    }

    std::uint64_t end() const { return mEnd; }
    std::uint64_t ifd0NextPointer() const { return mIfd0NextPointer; }

private:
    bool keep(std::uint64_t offset, std::uint64_t length)
    {
        if (!mTiff.contains(offset, length))
            return false;
        mEnd = std::max(mEnd, offset + length);
        return true;
    }

    // Keeps the ranges (offsets[i], lengths[i]) of an offsets/lengths pair of entries.
    bool keepData(const Entry& offsets, const Entry& lengths)
    {
        const std::uint32_t n = std::min(offsets.count, lengths.count);
        for (std::uint32_t i = 0; i < n; ++i) {
            const auto offset = mTiff.unsignedValue(offsets, i);
            const auto length = mTiff.unsignedValue(lengths, i);
            if (!offset || !length || !keep(*offset, *length))
                return false;
        }
        return true;
    }

    const TiffView& mTiff;
    std::vector<std::uint32_t> mVisited;
    std::uint64_t mEnd = kTiffHeaderSize;
    std::uint64_t mIfd0NextPointer = 0;
};

void putUnsigned(std::uint8_t* p, std::uint32_t value, int bytes, bool little)
{
    for (int i = 0; i < bytes; ++i) {
        const int shift = 8 * (little ? i : bytes - 1 - i);
        p[i] = static_cast<std::uint8_t>((value >> shift) & 0xFF);
    }
}

// --- orientation as the dihedral group of the square ---
// An element is the 2x2 integer matrix that moves a pixel's position, in
// coordinates centred on the image with x to the right and y upwards, from
// the stored image to the displayed one.
struct Matrix
{
    int a, b, c, d;  // [a b; c d]
    bool operator==(const Matrix&) const = default;
};

Matrix operator*(const Matrix& m, const Matrix& n)
{
    return {m.a * n.a + m.b * n.c, m.a * n.b + m.b * n.d, m.c * n.a + m.d * n.c, m.c * n.b + m.d * n.d};
}

constexpr Matrix kIdentity{1, 0, 0, 1};
constexpr Matrix kRotateAnticlockwise90{0, -1, 1, 0};
constexpr Matrix kMirrorLeftRight{-1, 0, 0, 1};  // about the vertical axis
constexpr Matrix kMirrorTopBottom{1, 0, 0, -1};  // about the horizontal axis

// EXIF Orientation value v (1..8) is the transform at index v - 1: what to do
// to the stored image to display it.
constexpr std::array<Matrix, 8> kOrientations = {{
    {1, 0, 0, 1},    // 1 normal
    {-1, 0, 0, 1},   // 2 mirror left-right
    {-1, 0, 0, -1},  // 3 rotate 180
    {1, 0, 0, -1},   // 4 mirror top-bottom
    {0, -1, -1, 0},  // 5 transpose: about the top-left to bottom-right diagonal (y = -x)
    {0, 1, -1, 0},   // 6 rotate 90 clockwise
    {0, 1, 1, 0},    // 7 transverse: about the top-right to bottom-left diagonal (y = x)
    {0, -1, 1, 0},   // 8 rotate 90 anticlockwise
}};

Matrix matrixFor(const Transform& t)
{
    switch (t.kind) {
    case TransformKind::Rotate: {
        if (t.value % 90 != 0)
            throw std::invalid_argument("jpegmeta::orientationForTransforms: rotation " + std::to_string(t.value) +
                                        " is not a multiple of 90");
        const int quarterTurns = ((t.value / 90) % 4 + 4) % 4;
        Matrix m = kIdentity;
        for (int i = 0; i < quarterTurns; ++i)
            m = kRotateAnticlockwise90 * m;
        return m;
    }
    case TransformKind::Mirror:
        if (t.value == 0)
            return kMirrorLeftRight;
        if (t.value == 1)
            return kMirrorTopBottom;
        throw std::invalid_argument("jpegmeta::orientationForTransforms: mirror axis " + std::to_string(t.value) +
                                    " is neither 0 nor 1");
    }
    throw std::invalid_argument("jpegmeta::orientationForTransforms: unknown transform kind");
}

}  // namespace

std::optional<Bytes> exifBlockFromItem(const Bytes& itemData)
{
    const auto found = std::search(itemData.begin(), itemData.end(), kExifId.begin(), kExifId.end());
    if (found != itemData.end())
        return Bytes(found, itemData.end());

    if (itemData.size() < 4)
        return std::nullopt;
    const std::uint64_t offset = (std::uint64_t{itemData[0]} << 24) | (std::uint64_t{itemData[1]} << 16) |
                                 (std::uint64_t{itemData[2]} << 8) | itemData[3];
    const std::uint64_t header = 4 + offset;
    if (header > itemData.size() || itemData.size() - header < kTiffHeaderSize || !isTiffHeader(&itemData[header]))
        return std::nullopt;
    Bytes block(kExifId.begin(), kExifId.end());
    block.insert(block.end(), itemData.begin() + static_cast<std::ptrdiff_t>(header), itemData.end());
    return block;
}

int readOrientation(const Bytes& block)
{
    const auto tiff = TiffView::open(block);
    if (!tiff)
        return 0;
    for (const Entry& e : orientationEntries(*tiff)) {
        const auto value = tiff->unsignedValue(e, 0);
        if (value && *value >= 1 && *value <= 8)
            return static_cast<int>(*value);
    }
    return 0;
}

namespace {

// Makes an entry one value held in the entry itself: its type, a count of
// 1 and the value, the rest of the value field cleared. The values it had
// elsewhere in the block stay where they were, referenced by nothing.
void putSingleValue(Bytes& block, const Entry& e, std::uint16_t type, std::uint32_t value, bool little)
{
    std::uint8_t* field = block.data() + kExifId.size() + static_cast<std::size_t>(e.position);
    putUnsigned(field + 2, type, 2, little);
    putUnsigned(field + 4, 1, 4, little);
    putUnsigned(field + 8, 0, 4, little);
    putUnsigned(field + 8, value, type == kTypeShort ? 2 : 4, little);
}

}  // namespace

bool writeOrientation(Bytes& block, int orientation)
{
    if (orientation < 1 || orientation > 8)
        return false;
    const auto tiff = TiffView::open(block);
    if (!tiff)
        return false;
    const std::vector<Entry> entries = orientationEntries(*tiff);
    for (const Entry& e : entries) {
        putSingleValue(block, e, e.type == kTypeLong ? kTypeLong : kTypeShort, static_cast<std::uint32_t>(orientation),
                       tiff->littleEndian());
    }
    return !entries.empty();
}

Resolution readResolution(const Bytes& block)
{
    const Resolution standard;
    const auto tiff = TiffView::open(block);
    const auto ifd0 = tiff ? tiff->ifd0Offset() : std::nullopt;
    if (!ifd0)
        return standard;
    const auto xEntry = tiff->findEntry(*ifd0, kTagXResolution);
    const auto yEntry = tiff->findEntry(*ifd0, kTagYResolution);
    const auto x = xEntry ? rationalValue(*tiff, *xEntry) : std::nullopt;
    const auto y = yEntry ? rationalValue(*tiff, *yEntry) : std::nullopt;
    // Beyond this no picture is printed; it would not fit a JFIF density either.
    constexpr double kMostPerUnit = 65535.0;
    if (!x || !y || !(*x >= 1.0 && *x <= kMostPerUnit) || !(*y >= 1.0 && *y <= kMostPerUnit))
        return standard;
    Resolution resolution{*x, *y, standard.unit};
    if (const auto unitEntry = tiff->findEntry(*ifd0, kTagResolutionUnit)) {
        const auto unit = tiff->unsignedValue(*unitEntry, 0);
        if (!unit || *unit < 1 || *unit > 3)
            return standard;
        resolution.unit = static_cast<int>(*unit);
    }
    return resolution;
}

bool writePixelDimensions(Bytes& block, std::uint32_t width, std::uint32_t height)
{
    const auto tiff = TiffView::open(block);
    const auto exifIfd = tiff ? tiff->subIfd(kTagExifIfd) : std::nullopt;
    if (!exifIfd)
        return false;
    bool written = false;
    for (const auto& [tag, value] : {std::pair{kTagPixelXDimension, width}, std::pair{kTagPixelYDimension, height}}) {
        for (const Entry& e : tiff->findEntries(*exifIfd, tag)) {
            const bool fitsShort = e.type == kTypeShort && value <= 0xFFFF;
            putSingleValue(block, e, fitsShort ? kTypeShort : kTypeLong, value, tiff->littleEndian());
            written = true;
        }
    }
    return written;
}

int orientationForTransforms(const std::vector<Transform>& transforms)
{
    Matrix m = kIdentity;
    for (const Transform& t : transforms)
        m = matrixFor(t) * m;  // each transform acts on the result of the previous ones
    const auto found = std::find(kOrientations.begin(), kOrientations.end(), m);
    // The group is closed: every product is one of the eight.
    return static_cast<int>(found - kOrientations.begin()) + 1;
}

bool fitIntoApp1(Bytes& block)
{
    if (block.size() <= kMaxApp1Payload)
        return true;
    const auto tiff = TiffView::open(block);
    if (!tiff)
        return false;
    const auto ifd0 = tiff->ifd0Offset();
    ReferenceWalk walk(*tiff);
    if (!ifd0 || !walk.walk(*ifd0))
        return false;
    const std::uint64_t newSize = kExifId.size() + walk.end();
    if (newSize > kMaxApp1Payload)
        return false;
    Bytes shortened(block.begin(), block.begin() + static_cast<std::ptrdiff_t>(newSize));
    putUnsigned(shortened.data() + kExifId.size() + walk.ifd0NextPointer(), 0, 4, tiff->littleEndian());
    block = std::move(shortened);
    return true;
}

Bytes insertExifSegment(const Bytes& jpeg, const Bytes& exif)
{
    constexpr std::size_t kJfifHeaderSize = 20;
    if (exif.size() > kMaxApp1Payload)
        throw std::length_error("jpegmeta::insertExifSegment: EXIF block of " + std::to_string(exif.size()) +
                                " bytes exceeds the APP1 maximum of " + std::to_string(kMaxApp1Payload));
    if (jpeg.size() < kJfifHeaderSize)
        throw std::invalid_argument("jpegmeta::insertExifSegment: JPEG of " + std::to_string(jpeg.size()) +
                                    " bytes is shorter than its 20-byte JFIF header");
    const std::size_t length = exif.size() + 2;
    Bytes out;
    out.reserve(6 + exif.size() + jpeg.size() - kJfifHeaderSize);
    out.insert(out.end(), {0xFF, 0xD8, 0xFF, 0xE1, static_cast<std::uint8_t>((length >> 8) & 0xFF),
                           static_cast<std::uint8_t>(length & 0xFF)});
    out.insert(out.end(), exif.begin(), exif.end());
    out.insert(out.end(), jpeg.begin() + kJfifHeaderSize, jpeg.end());
    return out;
}

Bytes insertIccSegments(const Bytes& jpeg, const Bytes& icc)
{
    if (icc.empty())
        return jpeg;
    const std::size_t chunks = (icc.size() + kMaxIccChunk - 1) / kMaxIccChunk;
    if (chunks > 255)
        throw std::length_error("jpegmeta::insertIccSegments: ICC profile of " + std::to_string(icc.size()) +
                                " bytes needs " + std::to_string(chunks) + " APP2 segments, more than 255");
    if (jpeg.size() < 2 || jpeg[0] != 0xFF || jpeg[1] != 0xD8)
        throw std::invalid_argument("jpegmeta::insertIccSegments: JPEG does not start with SOI (FF D8)");

    std::size_t insertAt = 2;
    if (jpeg.size() >= 4 && jpeg[2] == 0xFF && jpeg[3] >= 0xE0 && jpeg[3] <= 0xEF) {
        if (jpeg.size() < 6)
            throw std::invalid_argument("jpegmeta::insertIccSegments: APPn segment after SOI has no length field");
        const std::size_t length = (std::size_t{jpeg[4]} << 8) | jpeg[5];
        if (length < 2 || 4 + length > jpeg.size())
            throw std::invalid_argument("jpegmeta::insertIccSegments: APPn segment after SOI declares length " +
                                        std::to_string(length) + ", past the end of a " + std::to_string(jpeg.size()) +
                                        "-byte JPEG");
        insertAt = 4 + length;
    }

    static constexpr char kIccId[] = "ICC_PROFILE";  // 11 characters + its terminating 0
    Bytes out;
    out.reserve(jpeg.size() + icc.size() + chunks * 18);
    out.insert(out.end(), jpeg.begin(), jpeg.begin() + static_cast<std::ptrdiff_t>(insertAt));
    for (std::size_t i = 0; i < chunks; ++i) {
        const std::size_t begin = i * kMaxIccChunk;
        const std::size_t size = std::min(kMaxIccChunk, icc.size() - begin);
        const std::size_t length = 2 + sizeof(kIccId) + 2 + size;
        out.insert(out.end(),
                   {0xFF, 0xE2, static_cast<std::uint8_t>(length >> 8), static_cast<std::uint8_t>(length & 0xFF)});
        out.insert(out.end(), kIccId, kIccId + sizeof(kIccId));
        out.push_back(static_cast<std::uint8_t>(i + 1));
        out.push_back(static_cast<std::uint8_t>(chunks));
        out.insert(out.end(), icc.begin() + static_cast<std::ptrdiff_t>(begin),
                   icc.begin() + static_cast<std::ptrdiff_t>(begin + size));
    }
    out.insert(out.end(), jpeg.begin() + static_cast<std::ptrdiff_t>(insertAt), jpeg.end());
    return out;
}

}  // namespace jpegmeta

}  // namespace ambrel::pipeline
