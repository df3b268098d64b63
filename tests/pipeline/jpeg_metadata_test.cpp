// jpegmeta: EXIF block lookup, Orientation, container transforms, fitting EXIF
// into one APP1 segment, the APP1 splice and ICC APP2 segments. Every TIFF is
// hand-built here, in both byte orders.
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "pipeline/encode/jpeg_metadata.h"

using namespace ambrel::pipeline;

using ambrel::pipeline::jpegmeta::Bytes;
using ambrel::pipeline::jpegmeta::Transform;
using ambrel::pipeline::jpegmeta::TransformKind;

namespace {

// --- a tiny real JPEG: 8x8 grey, baseline, as ffmpeg's encoder writes it
// (FF D8, 18-byte JFIF APP0, DQT, DHT, SOF0, SOS, data, EOI) ---
const Bytes kTinyJpeg = {
    0xff, 0xd8, 0xff, 0xe0, 0x00, 0x10, 0x4a, 0x46, 0x49, 0x46, 0x00, 0x01, 0x02, 0x00, 0x00, 0x01, 0x00, 0x01, 0x00,
    0x00, 0xff, 0xdb, 0x00, 0x43, 0x00, 0x08, 0x28, 0x28, 0x2f, 0x28, 0x2f, 0x37, 0x37, 0x37, 0x37, 0x37, 0x37, 0x41,
    0x3c, 0x41, 0x43, 0x43, 0x43, 0x41, 0x41, 0x41, 0x41, 0x43, 0x43, 0x43, 0x48, 0x48, 0x48, 0x55, 0x55, 0x55, 0x48,
    0x48, 0x48, 0x43, 0x43, 0x48, 0x48, 0x50, 0x50, 0x55, 0x55, 0x5c, 0x5f, 0x5c, 0x57, 0x57, 0x55, 0x57, 0x5f, 0x5f,
    0x64, 0x64, 0x64, 0x78, 0x78, 0x73, 0x73, 0x8c, 0x8c, 0x91, 0xac, 0xac, 0xcf, 0xff, 0xc4, 0x00, 0x4a, 0x00, 0x01,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0x01, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10, 0x01, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x11, 0x01, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xff, 0xc0, 0x00, 0x11, 0x08, 0x00,
    0x08, 0x00, 0x08, 0x03, 0x01, 0x12, 0x00, 0x02, 0x12, 0x00, 0x03, 0x12, 0x00, 0xff, 0xda, 0x00, 0x0c, 0x03, 0x01,
    0x00, 0x02, 0x11, 0x03, 0x11, 0x00, 0x3f, 0x00, 0x00, 0x0f, 0xff, 0xd9};

const Bytes kExifId = {'E', 'x', 'i', 'f', 0, 0};

Bytes concat(std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (const Bytes& p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

Bytes filler(std::size_t size, std::uint8_t seed)
{
    Bytes out(size);
    for (std::size_t i = 0; i < size; ++i)
        out[i] = static_cast<std::uint8_t>(seed + i * 7);
    return out;
}

// --- a TIFF writer for the tests ---

enum : std::uint16_t { kByte = 1, kAscii = 2, kShort = 3, kLong = 4, kRational = 5, kUndefined = 7 };

struct Field
{
    std::uint16_t tag;
    std::uint16_t type;
    std::uint32_t count;
    std::vector<std::uint32_t> numbers;  // SHORT, LONG; RATIONAL as numerator, denominator pairs
    Bytes bytes;                         // BYTE, ASCII, UNDEFINED
};

Field shortField(std::uint16_t tag, std::uint32_t value)
{
    return {tag, kShort, 1, {value}, {}};
}
Field longField(std::uint16_t tag, std::uint32_t value)
{
    return {tag, kLong, 1, {value}, {}};
}
Field asciiField(std::uint16_t tag, const std::string& text)
{
    Bytes bytes(text.begin(), text.end());
    bytes.push_back(0);
    return {tag, kAscii, static_cast<std::uint32_t>(bytes.size()), {}, bytes};
}
Field undefinedField(std::uint16_t tag, const Bytes& bytes)
{
    return {tag, kUndefined, static_cast<std::uint32_t>(bytes.size()), {}, bytes};
}
Field rationalField(std::uint16_t tag, std::vector<std::uint32_t> pairs)
{
    const auto count = static_cast<std::uint32_t>(pairs.size() / 2);
    return {tag, kRational, count, std::move(pairs), {}};
}

class TiffWriter
{
public:
    explicit TiffWriter(bool little) : mLittle(little)
    {
        mData = little ? Bytes{'I', 'I', 0x2A, 0x00} : Bytes{'M', 'M', 0x00, 0x2A};
        append32(0);  // IFD0 offset, set by setIfd0
    }

    bool little() const { return mLittle; }
    std::uint32_t size() const { return static_cast<std::uint32_t>(mData.size()); }
    void setIfd0(std::uint32_t offset) { put32(4, offset); }

    // Appends an IFD at the (even) end, followed by its values longer than 4 bytes.
    std::uint32_t addIfd(const std::vector<Field>& fields, std::uint32_t next = 0)
    {
        padToEven();
        const std::uint32_t ifd = size();
        append16(static_cast<std::uint16_t>(fields.size()));
        for (std::size_t i = 0; i < fields.size(); ++i) {
            append16(fields[i].tag);
            append16(fields[i].type);
            append32(fields[i].count);
            append32(0);
        }
        append32(next);
        for (std::size_t i = 0; i < fields.size(); ++i) {
            const Bytes value = encode(fields[i]);
            const std::uint32_t field = valueField(ifd, i);
            if (value.size() <= 4) {
                std::copy(value.begin(), value.end(), mData.begin() + field);
            } else {
                padToEven();
                put32(field, size());
                mData.insert(mData.end(), value.begin(), value.end());
            }
        }
        return ifd;
    }

    std::uint32_t appendRaw(const Bytes& bytes)
    {
        padToEven();
        const std::uint32_t at = size();
        mData.insert(mData.end(), bytes.begin(), bytes.end());
        return at;
    }

    static std::uint32_t valueField(std::uint32_t ifd, std::size_t index)
    {
        return ifd + 2 + 12 * static_cast<std::uint32_t>(index) + 8;
    }
    static std::uint32_t nextField(std::uint32_t ifd, std::size_t count)
    {
        return ifd + 2 + 12 * static_cast<std::uint32_t>(count);
    }

    void put16(std::size_t at, std::uint16_t v)
    {
        mData[at + (mLittle ? 0 : 1)] = static_cast<std::uint8_t>(v & 0xFF);
        mData[at + (mLittle ? 1 : 0)] = static_cast<std::uint8_t>(v >> 8);
    }
    void put32(std::size_t at, std::uint32_t v)
    {
        for (int i = 0; i < 4; ++i)
            mData[at + (mLittle ? i : 3 - i)] = static_cast<std::uint8_t>((v >> (8 * i)) & 0xFF);
    }

    Bytes block() const { return concat({kExifId, mData}); }

private:
    void padToEven()
    {
        if (mData.size() % 2)
            mData.push_back(0);
    }
    void append16(std::uint16_t v)
    {
        mData.resize(mData.size() + 2);
        put16(mData.size() - 2, v);
    }
    void append32(std::uint32_t v)
    {
        mData.resize(mData.size() + 4);
        put32(mData.size() - 4, v);
    }

    Bytes encode(const Field& f) const
    {
        TiffWriter scratch(mLittle);
        scratch.mData.clear();
        switch (f.type) {
        case kShort:
            for (auto n : f.numbers)
                scratch.append16(static_cast<std::uint16_t>(n));
            break;
        case kLong:
        case kRational:
            for (auto n : f.numbers)
                scratch.append32(n);
            break;
        default: scratch.mData = f.bytes; break;
        }
        return scratch.mData;
    }

    bool mLittle;
    Bytes mData;
};

// Test-side reading of a block: 16/32-bit values at TIFF offsets.
std::uint32_t tiffU32(const Bytes& block, std::size_t at, bool little)
{
    const std::uint8_t* p = block.data() + 6 + at;
    return little ? (p[0] | (p[1] << 8) | (p[2] << 16) | (std::uint32_t{p[3]} << 24))
                  : ((std::uint32_t{p[0]} << 24) | (p[1] << 16) | (p[2] << 8) | p[3]);
}
std::uint16_t tiffU16(const Bytes& block, std::size_t at, bool little)
{
    const std::uint8_t* p = block.data() + 6 + at;
    return static_cast<std::uint16_t>(little ? (p[0] | (p[1] << 8)) : ((p[0] << 8) | p[1]));
}

// IFD0 with Make, Model (out of line), Orientation, XResolution (rational).
Bytes simpleBlock(bool little, int orientation)
{
    TiffWriter w(little);
    w.setIfd0(w.addIfd({asciiField(0x010F, "Apple"), asciiField(0x0110, "iPhone 12 Pro"),
                        shortField(0x0112, static_cast<std::uint32_t>(orientation)), rationalField(0x011A, {72, 1})}));
    return w.block();
}

const bool kByteOrders[] = {true, false};

// ================= exifBlockFromItem =================

TEST(ExifBlockFromItem, BlockStartsAtTheIdentifierAfterTheOffsetField)
{
    const Bytes full = simpleBlock(true, 1);
    const Bytes tiff(full.begin() + 6, full.end());
    const Bytes item = concat({{0, 0, 0, 6}, kExifId, tiff});
    const auto block = ambrel::pipeline::jpegmeta::exifBlockFromItem(item);
    ASSERT_TRUE(block);
    EXPECT_EQ(*block, concat({kExifId, tiff}));
}

TEST(ExifBlockFromItem, BytesBeforeTheFirstIdentifierAreDropped)
{
    const Bytes item = concat({{0, 0, 0, 0, 'x', 'y'}, kExifId, {'M', 'M'}, kExifId, {1, 2}});
    const auto block = ambrel::pipeline::jpegmeta::exifBlockFromItem(item);
    ASSERT_TRUE(block);
    EXPECT_EQ(*block, concat({kExifId, {'M', 'M'}, kExifId, {1, 2}}));
}

TEST(ExifBlockFromItem, TiffHeaderAtTheOffsetWithoutIdentifier)
{
    for (bool little : kByteOrders) {
        SCOPED_TRACE(little ? "II" : "MM");
        const Bytes full = simpleBlock(little, 8);
        const Bytes tiff(full.begin() + 6, full.end());
        // offset 0: the TIFF header directly follows the offset field
        auto block = ambrel::pipeline::jpegmeta::exifBlockFromItem(concat({{0, 0, 0, 0}, tiff}));
        ASSERT_TRUE(block);
        EXPECT_EQ(*block, full);
        EXPECT_EQ(ambrel::pipeline::jpegmeta::readOrientation(*block), 8);
        // offset 3: three bytes of padding before it
        block = ambrel::pipeline::jpegmeta::exifBlockFromItem(concat({{0, 0, 0, 3, 0xAA, 0xBB, 0xCC}, tiff}));
        ASSERT_TRUE(block);
        EXPECT_EQ(*block, full);
    }
}

TEST(ExifBlockFromItem, NoneWithoutIdentifierOrTiffHeader)
{
    const Bytes full = simpleBlock(true, 1);
    const Bytes tiff(full.begin() + 6, full.end());
    EXPECT_FALSE(ambrel::pipeline::jpegmeta::exifBlockFromItem({}));
    EXPECT_FALSE(ambrel::pipeline::jpegmeta::exifBlockFromItem({0, 0, 0}));
    EXPECT_FALSE(ambrel::pipeline::jpegmeta::exifBlockFromItem({0, 0, 0, 0}));
    // offset points at junk
    EXPECT_FALSE(ambrel::pipeline::jpegmeta::exifBlockFromItem(concat({{0, 0, 0, 1}, tiff})));
    // offset past the end, and the largest offset (no overflow of 4 + offset)
    EXPECT_FALSE(ambrel::pipeline::jpegmeta::exifBlockFromItem(concat({{0, 0, 1, 0}, tiff})));
    EXPECT_FALSE(ambrel::pipeline::jpegmeta::exifBlockFromItem(concat({{0xFF, 0xFF, 0xFF, 0xFF}, tiff})));
    // a TIFF signature without the rest of the 8-byte header
    EXPECT_FALSE(ambrel::pipeline::jpegmeta::exifBlockFromItem({0, 0, 0, 0, 'I', 'I', 0x2A, 0x00, 8, 0}));
    // "Exif" followed by a single zero is not the identifier
    EXPECT_FALSE(ambrel::pipeline::jpegmeta::exifBlockFromItem({0, 0, 0, 9, 'E', 'x', 'i', 'f', 0, 'M', 'M'}));
}

// ================= Orientation =================

TEST(ExifOrientationTag, ReadInBothByteOrders)
{
    for (bool little : kByteOrders) {
        SCOPED_TRACE(little ? "II" : "MM");
        for (int o = 1; o <= 8; ++o)
            EXPECT_EQ(ambrel::pipeline::jpegmeta::readOrientation(simpleBlock(little, o)), o);
    }
}

TEST(ExifOrientationTag, AbsentOrUnreadableGivesZero)
{
    for (bool little : kByteOrders) {
        SCOPED_TRACE(little ? "II" : "MM");
        TiffWriter w(little);
        w.setIfd0(w.addIfd({asciiField(0x010F, "Apple")}));
        EXPECT_EQ(ambrel::pipeline::jpegmeta::readOrientation(w.block()), 0);

        // values outside 1..8
        EXPECT_EQ(ambrel::pipeline::jpegmeta::readOrientation(simpleBlock(little, 0)), 0);
        EXPECT_EQ(ambrel::pipeline::jpegmeta::readOrientation(simpleBlock(little, 9)), 0);

        // wrong type
        TiffWriter ascii(little);
        ascii.setIfd0(ascii.addIfd({asciiField(0x0112, "6")}));
        EXPECT_EQ(ambrel::pipeline::jpegmeta::readOrientation(ascii.block()), 0);
        TiffWriter two(little);  // two values: the first counts
        two.setIfd0(two.addIfd({{0x0112, kShort, 2, {6, 8}, {}}}));
        EXPECT_EQ(ambrel::pipeline::jpegmeta::readOrientation(two.block()), 6);

        // LONG is accepted
        TiffWriter asLong(little);
        asLong.setIfd0(asLong.addIfd({longField(0x0112, 3)}));
        EXPECT_EQ(ambrel::pipeline::jpegmeta::readOrientation(asLong.block()), 3);

        // Orientation in the Exif IFD only does not count
        TiffWriter sub(little);
        const auto exif = sub.addIfd({shortField(0x0112, 6)});
        sub.setIfd0(sub.addIfd({longField(0x8769, exif)}));
        EXPECT_EQ(ambrel::pipeline::jpegmeta::readOrientation(sub.block()), 0);
    }
    EXPECT_EQ(ambrel::pipeline::jpegmeta::readOrientation({}), 0);
    EXPECT_EQ(ambrel::pipeline::jpegmeta::readOrientation(kExifId), 0);
    Bytes noId = simpleBlock(true, 6);
    noId[4] = 'X';
    EXPECT_EQ(ambrel::pipeline::jpegmeta::readOrientation(noId), 0);
    Bytes badMagic = simpleBlock(true, 6);
    badMagic[8] = 0x2B;
    EXPECT_EQ(ambrel::pipeline::jpegmeta::readOrientation(badMagic), 0);
}

TEST(ExifOrientationTag, WriteInPlace)
{
    for (bool little : kByteOrders) {
        SCOPED_TRACE(little ? "II" : "MM");
        const Bytes before = simpleBlock(little, 6);
        Bytes block = before;
        ASSERT_TRUE(ambrel::pipeline::jpegmeta::writeOrientation(block, 3));
        EXPECT_EQ(ambrel::pipeline::jpegmeta::readOrientation(block), 3);
        ASSERT_EQ(block.size(), before.size());
        // exactly the two value bytes of the third IFD0 entry changed
        const std::size_t value = 6 + TiffWriter::valueField(8, 2);
        for (std::size_t i = 0; i < block.size(); ++i) {
            if (i == value || i == value + 1)
                continue;
            ASSERT_EQ(block[i], before[i]) << "byte " << i;
        }
        EXPECT_EQ(block[value], little ? 3 : 0);
        EXPECT_EQ(block[value + 1], little ? 0 : 3);

        // LONG keeps its 4-byte width
        TiffWriter asLong(little);
        asLong.setIfd0(asLong.addIfd({longField(0x0112, 1)}));
        Bytes longBlock = asLong.block();
        ASSERT_TRUE(ambrel::pipeline::jpegmeta::writeOrientation(longBlock, 8));
        EXPECT_EQ(ambrel::pipeline::jpegmeta::readOrientation(longBlock), 8);
        EXPECT_EQ(tiffU32(longBlock, TiffWriter::valueField(8, 0), little), 8u);
    }
}

TEST(ExifOrientationTag, WriteRefusedLeavesBlockUntouched)
{
    TiffWriter w(false);
    w.setIfd0(w.addIfd({asciiField(0x010F, "Apple")}));
    Bytes absent = w.block();
    const Bytes absentBefore = absent;
    EXPECT_FALSE(ambrel::pipeline::jpegmeta::writeOrientation(absent, 1));
    EXPECT_EQ(absent, absentBefore);

    Bytes block = simpleBlock(true, 6);
    const Bytes before = block;
    EXPECT_FALSE(ambrel::pipeline::jpegmeta::writeOrientation(block, 0));
    EXPECT_FALSE(ambrel::pipeline::jpegmeta::writeOrientation(block, 9));
    EXPECT_EQ(block, before);

    Bytes empty;
    EXPECT_FALSE(ambrel::pipeline::jpegmeta::writeOrientation(empty, 1));
    EXPECT_TRUE(empty.empty());
}

// ================= orientationForTransforms =================

Transform rot(int degrees)
{
    return {TransformKind::Rotate, degrees};
}
Transform mir(int axis)
{
    return {TransformKind::Mirror, axis};
}

TEST(OrientationForTransforms, AllEightOrientations)
{
    struct Case
    {
        const char* name;
        std::vector<Transform> transforms;
        int expected;
    };
    const std::vector<Case> cases = {
        {"none", {}, 1},
        {"irot 0", {rot(0)}, 1},
        {"imir 0 (left-right)", {mir(0)}, 2},
        {"irot 180", {rot(180)}, 3},
        {"imir 1 (top-bottom)", {mir(1)}, 4},
        {"imir 0 then irot 90", {mir(0), rot(90)}, 5},
        {"irot 270", {rot(270)}, 6},
        {"irot 90 then imir 0", {rot(90), mir(0)}, 7},
        {"irot 90", {rot(90)}, 8},
        // the same elements reached otherwise
        {"imir 1 then irot 270", {mir(1), rot(270)}, 5},
        {"irot 270 then imir 1", {rot(270), mir(1)}, 7},
        {"imir 1 then irot 90", {mir(1), rot(90)}, 7},
        {"irot 90 then imir 1", {rot(90), mir(1)}, 5},
        {"imir 0 then imir 1", {mir(0), mir(1)}, 3},
        {"imir 0 twice", {mir(0), mir(0)}, 1},
        {"irot 180 then imir 0", {rot(180), mir(0)}, 4},
        {"irot -90", {rot(-90)}, 6},
        {"irot 450", {rot(450)}, 8},
        {"irot 360", {rot(360)}, 1},
        {"irot 90 four times", {rot(90), rot(90), rot(90), rot(90)}, 1},
    };
    for (const Case& c : cases)
        EXPECT_EQ(ambrel::pipeline::jpegmeta::orientationForTransforms(c.transforms), c.expected) << c.name;
}

TEST(OrientationForTransforms, InvalidTransformsThrow)
{
    EXPECT_THROW(ambrel::pipeline::jpegmeta::orientationForTransforms({rot(45)}), std::invalid_argument);
    EXPECT_THROW(ambrel::pipeline::jpegmeta::orientationForTransforms({mir(2)}), std::invalid_argument);
    EXPECT_THROW(ambrel::pipeline::jpegmeta::orientationForTransforms({mir(-1)}), std::invalid_argument);
}

// An independent model: pixels of a small image moved by each operation's
// written definition, compared for every sequence of up to three transforms.
struct Image
{
    int w, h;
    std::vector<int> px;  // row-major
    int at(int x, int y) const { return px[static_cast<std::size_t>(y * w + x)]; }
    bool operator==(const Image&) const = default;
};

Image remap(const Image& s, int w, int h, const std::function<int(int, int)>& source)
{
    Image d{w, h, std::vector<int>(static_cast<std::size_t>(w * h))};
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            d.px[static_cast<std::size_t>(y * w + x)] = source(x, y);
    (void)s;
    return d;
}

// The container's operations.
Image applyTransform(const Image& s, const Transform& t)
{
    const int w = s.w, h = s.h;
    if (t.kind == TransformKind::Mirror)
        return t.value == 0 ? remap(s, w, h, [&](int x, int y) { return s.at(w - 1 - x, y); })
                            : remap(s, w, h, [&](int x, int y) { return s.at(x, h - 1 - y); });
    Image out = s;
    for (int i = 0; i < ((t.value / 90) % 4 + 4) % 4; ++i) {  // anticlockwise quarter turns
        const Image in = out;
        out = remap(in, in.h, in.w, [&](int x, int y) { return in.at(in.w - 1 - y, x); });
    }
    return out;
}

// EXIF Orientation as the EXIF standard words it ("the 0th row is the visual ...").
Image displayExif(const Image& s, int orientation)
{
    const int w = s.w, h = s.h;
    switch (orientation) {
    case 1: return s;
    case 2: return remap(s, w, h, [&](int x, int y) { return s.at(w - 1 - x, y); });  // row 0 top, column 0 right
    case 3:
        return remap(s, w, h,
                     [&](int x, int y) { return s.at(w - 1 - x, h - 1 - y); });       // row 0 bottom, column 0 right
    case 4: return remap(s, w, h, [&](int x, int y) { return s.at(x, h - 1 - y); });  // row 0 bottom, column 0 left
    case 5: return remap(s, h, w, [&](int x, int y) { return s.at(y, x); });          // row 0 left, column 0 top
    case 6: return remap(s, h, w, [&](int x, int y) { return s.at(y, h - 1 - x); });  // row 0 right, column 0 top
    case 7:
        return remap(s, h, w,
                     [&](int x, int y) { return s.at(w - 1 - y, h - 1 - x); });       // row 0 right, column 0 bottom
    case 8: return remap(s, h, w, [&](int x, int y) { return s.at(w - 1 - y, x); });  // row 0 left, column 0 bottom
    default: throw std::invalid_argument("orientation");
    }
}

TEST(OrientationForTransforms, AgreesWithPixelModelForAllShortSequences)
{
    const Image stored{3, 2, {1, 2, 3, 4, 5, 6}};
    const std::vector<Transform> all = {rot(0), rot(90), rot(180), rot(270), mir(0), mir(1)};
    std::vector<std::vector<Transform>> sequences = {{}};
    for (int length = 1; length <= 3; ++length) {
        std::vector<std::vector<Transform>> longer;
        for (const auto& s : sequences) {
            if (static_cast<int>(s.size()) != length - 1)
                continue;
            for (const Transform& t : all) {
                auto next = s;
                next.push_back(t);
                longer.push_back(next);
            }
        }
        sequences.insert(sequences.end(), longer.begin(), longer.end());
    }
    ASSERT_EQ(sequences.size(), 1u + 6 + 36 + 216);
    std::vector<bool> reached(9, false);
    for (const auto& seq : sequences) {
        Image expected = stored;
        for (const Transform& t : seq)
            expected = applyTransform(expected, t);
        const int o = ambrel::pipeline::jpegmeta::orientationForTransforms(seq);
        ASSERT_GE(o, 1);
        ASSERT_LE(o, 8);
        reached[static_cast<std::size_t>(o)] = true;
        EXPECT_EQ(displayExif(stored, o), expected) << "sequence of " << seq.size() << " gives " << o;
    }
    for (int o = 1; o <= 8; ++o)
        EXPECT_TRUE(reached[static_cast<std::size_t>(o)]) << o;
}

// ================= fitIntoApp1 =================

// A phone-like EXIF block: IFD0 (Make, Model, Orientation, XResolution, Exif
// and GPS pointers), Exif IFD (ExposureTime, UserComment, MakerNote, Interop
// pointer), GPS IFD, Interop IFD, then IFD1 with a JPEG thumbnail of
// `thumbnailSize` bytes at the end.
struct PhoneExif
{
    Bytes block;
    bool little;
    std::uint32_t ifd0 = 0, exifIfd = 0, gpsIfd = 0, interopIfd = 0, ifd1 = 0, thumbnail = 0;
    static constexpr std::size_t kIfd0Entries = 6;
};

PhoneExif phoneExif(bool little, std::size_t thumbnailSize, std::size_t makerNoteSize = 4000)
{
    PhoneExif p;
    p.little = little;
    TiffWriter w(little);
    p.ifd0 = w.addIfd({asciiField(0x010F, "Apple"), asciiField(0x0110, "iPhone 12 Pro"), shortField(0x0112, 6),
                       rationalField(0x011A, {72, 1}), longField(0x8769, 0), longField(0x8825, 0)});
    w.setIfd0(p.ifd0);
    p.exifIfd = w.addIfd({rationalField(0x829A, {1, 120}), undefinedField(0x9286, filler(200, 3)),
                          undefinedField(0x927C, filler(makerNoteSize, 9)), longField(0xA005, 0)});
    w.put32(TiffWriter::valueField(p.ifd0, 4), p.exifIfd);
    p.gpsIfd = w.addIfd({asciiField(0x0001, "N"), rationalField(0x0002, {48, 1, 51, 1, 2405, 100})});
    w.put32(TiffWriter::valueField(p.ifd0, 5), p.gpsIfd);
    p.interopIfd = w.addIfd({asciiField(0x0001, "R98")});
    w.put32(TiffWriter::valueField(p.exifIfd, 3), p.interopIfd);
    p.ifd1 = w.addIfd({shortField(0x0103, 6), rationalField(0x011A, {72, 1}), longField(0x0201, 0),
                       longField(0x0202, static_cast<std::uint32_t>(thumbnailSize))});
    w.put32(TiffWriter::nextField(p.ifd0, PhoneExif::kIfd0Entries), p.ifd1);
    Bytes thumb = filler(thumbnailSize, 0x40);
    if (thumbnailSize >= 4) {
        thumb[0] = 0xFF, thumb[1] = 0xD8;
        thumb[thumbnailSize - 2] = 0xFF, thumb[thumbnailSize - 1] = 0xD9;
    }
    p.thumbnail = w.appendRaw(thumb);
    w.put32(TiffWriter::valueField(p.ifd1, 2), p.thumbnail);
    p.block = w.block();
    return p;
}

TEST(FitIntoApp1, BlockThatFitsIsUnchanged)
{
    for (bool little : kByteOrders) {
        const PhoneExif p = phoneExif(little, 20000);
        ASSERT_LE(p.block.size(), ambrel::pipeline::jpegmeta::kMaxApp1Payload);
        Bytes block = p.block;
        EXPECT_TRUE(ambrel::pipeline::jpegmeta::fitIntoApp1(block));
        EXPECT_EQ(block, p.block);
    }
    // also blocks it could not parse, and the largest size that fits
    Bytes junk = filler(ambrel::pipeline::jpegmeta::kMaxApp1Payload, 1);
    const Bytes junkBefore = junk;
    EXPECT_TRUE(ambrel::pipeline::jpegmeta::fitIntoApp1(junk));
    EXPECT_EQ(junk, junkBefore);
    Bytes empty;
    EXPECT_TRUE(ambrel::pipeline::jpegmeta::fitIntoApp1(empty));
    EXPECT_TRUE(empty.empty());
}

TEST(FitIntoApp1, DropsA190KbThumbnail)
{
    for (bool little : kByteOrders) {
        SCOPED_TRACE(little ? "II" : "MM");
        const PhoneExif p = phoneExif(little, 190000);
        ASSERT_GT(p.block.size(), 190000u);
        Bytes block = p.block;
        ASSERT_TRUE(ambrel::pipeline::jpegmeta::fitIntoApp1(block));
        ASSERT_LE(block.size(), ambrel::pipeline::jpegmeta::kMaxApp1Payload);

        // cut right after the Interop IFD's data, where IFD1 began
        EXPECT_EQ(block.size(), 6u + p.ifd1);
        // IFD1 unlinked; everything else byte for byte as before
        const std::size_t next = 6 + TiffWriter::nextField(p.ifd0, PhoneExif::kIfd0Entries);
        EXPECT_EQ(tiffU32(block, next - 6, little), 0u);
        for (std::size_t i = 0; i < block.size(); ++i) {
            if (i >= next && i < next + 4)
                continue;
            ASSERT_EQ(block[i], p.block[i]) << "byte " << i;
        }
        // Orientation and the sub-IFDs' values still readable
        EXPECT_EQ(ambrel::pipeline::jpegmeta::readOrientation(block), 6);
        EXPECT_EQ(tiffU32(block, TiffWriter::valueField(p.ifd0, 4), little), p.exifIfd);
        const std::uint32_t makerNote = tiffU32(block, TiffWriter::valueField(p.exifIfd, 2), little);
        ASSERT_LE(6u + makerNote + 4000, block.size());
        EXPECT_EQ(Bytes(block.begin() + 6 + makerNote, block.begin() + 6 + makerNote + 4000), filler(4000, 9));
        const std::uint32_t latitude = tiffU32(block, TiffWriter::valueField(p.gpsIfd, 1), little);
        EXPECT_EQ(tiffU32(block, latitude + 16, little), 2405u);
        EXPECT_EQ(tiffU16(block, p.interopIfd, little), 1u);
        EXPECT_EQ(block[6 + TiffWriter::valueField(p.interopIfd, 0)], 'R');

        // and the APP1 splice takes it
        const Bytes jpeg = ambrel::pipeline::jpegmeta::insertExifSegment(kTinyJpeg, block);
        EXPECT_EQ(jpeg.size(), 6 + block.size() + kTinyJpeg.size() - 20);
    }
}

TEST(FitIntoApp1, TooBigWithoutThumbnailIsRefused)
{
    for (bool little : kByteOrders) {
        SCOPED_TRACE(little ? "II" : "MM");
        PhoneExif p = phoneExif(little, 1000, 70000);  // the MakerNote alone is too big
        // no IFD1 at all
        Bytes noIfd1 = p.block;
        const std::size_t next = 6 + TiffWriter::nextField(p.ifd0, PhoneExif::kIfd0Entries);
        std::fill(noIfd1.begin() + static_cast<std::ptrdiff_t>(next),
                  noIfd1.begin() + static_cast<std::ptrdiff_t>(next) + 4, 0);
        for (Bytes block : {p.block, noIfd1}) {
            const Bytes before = block;
            EXPECT_FALSE(ambrel::pipeline::jpegmeta::fitIntoApp1(block));
            EXPECT_EQ(block, before);
        }
    }
}

TEST(FitIntoApp1, ThumbnailBeforeTheIfdsIsRefused)
{
    for (bool little : kByteOrders) {
        TiffWriter w(little);
        const std::uint32_t thumb = w.appendRaw(filler(100000, 1));
        const std::uint32_t ifd1 =
            w.addIfd({shortField(0x0103, 6), longField(0x0201, thumb), longField(0x0202, 100000)});
        w.setIfd0(w.addIfd({shortField(0x0112, 3)}, ifd1));
        Bytes block = w.block();
        const Bytes before = block;
        EXPECT_FALSE(ambrel::pipeline::jpegmeta::fitIntoApp1(block));
        EXPECT_EQ(block, before);
    }
}

TEST(FitIntoApp1, UnreferencedTrailingBytesAreCut)
{
    TiffWriter w(true);
    w.setIfd0(w.addIfd({shortField(0x0112, 8), asciiField(0x010F, "Apple")}));
    const std::uint32_t end = w.size();
    w.appendRaw(filler(70000, 5));
    Bytes block = w.block();
    ASSERT_TRUE(ambrel::pipeline::jpegmeta::fitIntoApp1(block));
    EXPECT_EQ(block.size(), 6u + end);
    EXPECT_EQ(ambrel::pipeline::jpegmeta::readOrientation(block), 8);
}

TEST(FitIntoApp1, ThumbnailPointersInIfd0AreKept)
{
    // An IFD0 that points at JPEG data itself keeps it.
    TiffWriter w(false);
    const std::uint32_t ifd0 = w.addIfd({shortField(0x0112, 1), longField(0x0201, 0), longField(0x0202, 30000)});
    w.setIfd0(ifd0);
    const std::uint32_t data = w.appendRaw(filler(30000, 2));
    w.put32(TiffWriter::valueField(ifd0, 1), data);
    const std::uint32_t end = w.size();
    w.appendRaw(filler(40000, 3));
    Bytes block = w.block();
    ASSERT_TRUE(ambrel::pipeline::jpegmeta::fitIntoApp1(block));
    EXPECT_EQ(block.size(), 6u + end);
}

// ================= hostile TIFF =================

TEST(HostileTiff, IfdLoopsEnd)
{
    for (bool little : kByteOrders) {
        SCOPED_TRACE(little ? "II" : "MM");
        // IFD0 -> Exif IFD -> (Interop) back to IFD0, GPS pointing at itself, IFD1 = IFD0
        TiffWriter w(little);
        const std::uint32_t ifd0 = w.addIfd({shortField(0x0112, 5), longField(0x8769, 0), longField(0x8825, 0)});
        w.setIfd0(ifd0);
        const std::uint32_t exif = w.addIfd({longField(0xA005, ifd0), longField(0x8769, 0)});
        w.put32(TiffWriter::valueField(exif, 1), exif);
        w.put32(TiffWriter::valueField(ifd0, 1), exif);
        w.put32(TiffWriter::valueField(ifd0, 2), ifd0);
        w.put32(TiffWriter::nextField(ifd0, 3), ifd0);
        const std::uint32_t end = w.size();
        w.appendRaw(filler(80000, 4));
        Bytes block = w.block();
        EXPECT_EQ(ambrel::pipeline::jpegmeta::readOrientation(block), 5);
        ASSERT_TRUE(ambrel::pipeline::jpegmeta::fitIntoApp1(block));
        EXPECT_EQ(block.size(), 6u + end);
        EXPECT_EQ(tiffU32(block, TiffWriter::nextField(ifd0, 3), little), 0u);
    }
}

TEST(HostileTiff, LongChainOfSubIfdsIsRefused)
{
    // 100 distinct IFDs, each an Exif IFD pointer to the next: past the cap.
    TiffWriter w(true);
    std::vector<std::uint32_t> ifds;
    for (int i = 0; i < 100; ++i)
        ifds.push_back(w.addIfd({longField(0x8769, 0)}));
    for (std::size_t i = 0; i + 1 < ifds.size(); ++i)
        w.put32(TiffWriter::valueField(ifds[i], 0), ifds[i + 1]);
    w.setIfd0(ifds[0]);
    w.appendRaw(filler(70000, 1));
    Bytes block = w.block();
    EXPECT_FALSE(ambrel::pipeline::jpegmeta::fitIntoApp1(block));
}

TEST(HostileTiff, OffsetsAndCountsPastTheEnd)
{
    for (bool little : kByteOrders) {
        SCOPED_TRACE(little ? "II" : "MM");
        const auto big = [&](const std::function<void(TiffWriter&)>& build) {
            TiffWriter w(little);
            build(w);
            w.appendRaw(filler(70000, 6));
            return w.block();
        };
        std::vector<std::pair<const char*, Bytes>> blocks = {
            {"IFD0 offset past the end", big([](TiffWriter& w) { w.setIfd0(0xFFFFFFF0u); })},
            {"IFD0 offset at the last byte", big([](TiffWriter& w) { w.setIfd0(8 + 70000 - 1); })},
            {"entry count past the end", big([](TiffWriter& w) {
                 const auto ifd = w.addIfd({shortField(0x0112, 6)});
                 w.setIfd0(ifd);
                 w.put16(ifd, 0xFFFF);
             })},
            {"value offset past the end", big([](TiffWriter& w) {
                 const auto ifd = w.addIfd({shortField(0x0112, 6), asciiField(0x010F, "Apple")});
                 w.setIfd0(ifd);
                 w.put32(TiffWriter::valueField(ifd, 1), 0xFFFFFFFFu);
             })},
            {"huge count of rationals", big([](TiffWriter& w) {
                 w.setIfd0(w.addIfd({shortField(0x0112, 6), {0x011A, kRational, 0xFFFFFFFFu, {}, {}}}));
             })},
            {"Exif IFD pointer past the end", big([](TiffWriter& w) {
                 w.setIfd0(w.addIfd({shortField(0x0112, 6), longField(0x8769, 0x7FFFFFFFu)}));
             })},
            {"thumbnail pointers in IFD0 overflowing", big([](TiffWriter& w) {
                 w.setIfd0(w.addIfd({shortField(0x0112, 6), longField(0x0201, 0xFFFFFFF0u), longField(0x0202, 0x20)}));
             })},
            {"strips in IFD0 past the end", big([](TiffWriter& w) {
                 w.setIfd0(w.addIfd({shortField(0x0112, 6),
                                     {0x0111, kLong, 2, {8, 0xFFFFFF00u}, {}},
                                     {0x0117, kLong, 2, {4, 0x1000}, {}}}));
             })},
        };
        for (auto& [name, block] : blocks) {
            SCOPED_TRACE(name);
            const Bytes before = block;
            EXPECT_FALSE(ambrel::pipeline::jpegmeta::fitIntoApp1(block));
            EXPECT_EQ(block, before);
            (void)ambrel::pipeline::jpegmeta::readOrientation(block);
            Bytes copy = block;
            (void)ambrel::pipeline::jpegmeta::writeOrientation(copy, 2);
        }
        // readable parts still read: the Orientation entry precedes the broken one
        EXPECT_EQ(ambrel::pipeline::jpegmeta::readOrientation(blocks[3].second), 6);
        EXPECT_EQ(ambrel::pipeline::jpegmeta::readOrientation(blocks[0].second), 0);
        EXPECT_EQ(ambrel::pipeline::jpegmeta::readOrientation(blocks[2].second), 6);
    }
}

TEST(HostileTiff, TruncatedBlocks)
{
    const Bytes full = phoneExif(false, 100).block;
    for (std::size_t size = 0; size <= 200; ++size) {
        Bytes block(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(size));
        (void)ambrel::pipeline::jpegmeta::readOrientation(block);
        Bytes copy = block;
        (void)ambrel::pipeline::jpegmeta::writeOrientation(copy, 1);
        EXPECT_TRUE(ambrel::pipeline::jpegmeta::fitIntoApp1(copy));  // small blocks fit as they are
    }
}

TEST(HostileTiff, RandomCorruptionNeverReadsOutOfRange)
{
    // Meant to run under AddressSanitizer too; here it checks that every call
    // returns and that refusals leave the block untouched.
    std::mt19937 random(20240601);
    for (bool little : kByteOrders) {
        const PhoneExif p = phoneExif(little, 90000);
        Bytes block = p.block;
        for (int round = 0; round < 1500; ++round) {
            block = p.block;
            const int edits = 1 + static_cast<int>(random() % 8);
            for (int e = 0; e < edits; ++e) {
                const std::size_t at = random() % (6 + p.thumbnail);  // the structures, not the thumbnail
                block[at] = static_cast<std::uint8_t>(random());
            }
            const int o = ambrel::pipeline::jpegmeta::readOrientation(block);
            ASSERT_GE(o, 0);
            ASSERT_LE(o, 8);
            Bytes written = block;
            (void)ambrel::pipeline::jpegmeta::writeOrientation(written, 4);
            Bytes fitted = block;
            if (ambrel::pipeline::jpegmeta::fitIntoApp1(fitted))
                ASSERT_LE(fitted.size(), ambrel::pipeline::jpegmeta::kMaxApp1Payload);
            else
                ASSERT_EQ(fitted, block);
        }
    }
}

// ================= insertExifSegment =================

TEST(InsertExifSegment, EmptyBlockGivesEmptyApp1)
{
    const Bytes out = ambrel::pipeline::jpegmeta::insertExifSegment(kTinyJpeg, {});
    const Bytes expected =
        concat({{0xFF, 0xD8, 0xFF, 0xE1, 0x00, 0x02}, Bytes(kTinyJpeg.begin() + 20, kTinyJpeg.end())});
    EXPECT_EQ(out, expected);
}

TEST(InsertExifSegment, LengthBytesAndLayout)
{
    const Bytes exif = concat({kExifId, filler(2994, 1)});
    ASSERT_EQ(exif.size(), 3000u);
    const Bytes out = ambrel::pipeline::jpegmeta::insertExifSegment(kTinyJpeg, exif);
    ASSERT_EQ(out.size(), 6 + 3000 + kTinyJpeg.size() - 20);
    EXPECT_EQ(Bytes(out.begin(), out.begin() + 6), (Bytes{0xFF, 0xD8, 0xFF, 0xE1, 0x0B, 0xBA}));
    EXPECT_EQ(Bytes(out.begin() + 6, out.begin() + 3006), exif);
    EXPECT_EQ(Bytes(out.begin() + 3006, out.end()), Bytes(kTinyJpeg.begin() + 20, kTinyJpeg.end()));
}

TEST(InsertExifSegment, LargestBlockAndLimits)
{
    const Bytes largest(ambrel::pipeline::jpegmeta::kMaxApp1Payload, 0x11);
    const Bytes out = ambrel::pipeline::jpegmeta::insertExifSegment(kTinyJpeg, largest);
    EXPECT_EQ(out[4], 0xFF);
    EXPECT_EQ(out[5], 0xFF);
    EXPECT_THROW(ambrel::pipeline::jpegmeta::insertExifSegment(
                     kTinyJpeg, Bytes(ambrel::pipeline::jpegmeta::kMaxApp1Payload + 1, 0)),
                 std::length_error);
    EXPECT_THROW(ambrel::pipeline::jpegmeta::insertExifSegment(Bytes(kTinyJpeg.begin(), kTinyJpeg.begin() + 19), {}),
                 std::invalid_argument);
    // exactly the 20-byte header: nothing of the encoder's output is left
    EXPECT_EQ(ambrel::pipeline::jpegmeta::insertExifSegment(Bytes(kTinyJpeg.begin(), kTinyJpeg.begin() + 20), {}),
              (Bytes{0xFF, 0xD8, 0xFF, 0xE1, 0x00, 0x02}));
}

// ================= insertIccSegments =================

struct Segment
{
    std::uint8_t marker;
    std::size_t offset;
    Bytes payload;  // after the length field
};

// The segments from SOI up to and including SOS.
std::vector<Segment> headerSegments(const Bytes& jpeg)
{
    std::vector<Segment> out;
    EXPECT_TRUE(jpeg.size() >= 2 && jpeg[0] == 0xFF && jpeg[1] == 0xD8);
    std::size_t at = 2;
    while (at + 4 <= jpeg.size()) {
        EXPECT_EQ(jpeg[at], 0xFF) << "at " << at;
        const std::uint8_t marker = jpeg[at + 1];
        const std::size_t length = (std::size_t{jpeg[at + 2]} << 8) | jpeg[at + 3];
        EXPECT_GE(length, 2u);
        EXPECT_LE(at + 2 + length, jpeg.size());
        if (length < 2 || at + 2 + length > jpeg.size())
            break;
        out.push_back({marker, at, Bytes(jpeg.begin() + at + 4, jpeg.begin() + at + 2 + length)});
        if (marker == 0xDA)
            break;
        at += 2 + length;
    }
    return out;
}

const Bytes kIccId = {'I', 'C', 'C', '_', 'P', 'R', 'O', 'F', 'I', 'L', 'E', 0};

// The ICC profile reassembled from the APP2 segments, checking their numbering.
Bytes reassembleIcc(const Bytes& jpeg)
{
    Bytes icc;
    std::size_t expectedSeq = 1;
    std::size_t total = 0;
    for (const Segment& s : headerSegments(jpeg)) {
        if (s.marker != 0xE2)
            continue;
        EXPECT_EQ(Bytes(s.payload.begin(), s.payload.begin() + 12), kIccId);
        EXPECT_EQ(s.payload[12], expectedSeq);
        if (total == 0)
            total = s.payload[13];
        EXPECT_EQ(s.payload[13], total);
        icc.insert(icc.end(), s.payload.begin() + 14, s.payload.end());
        ++expectedSeq;
    }
    EXPECT_EQ(expectedSeq - 1, total);
    return icc;
}

std::vector<std::uint8_t> markers(const Bytes& jpeg)
{
    std::vector<std::uint8_t> out;
    for (const Segment& s : headerSegments(jpeg))
        out.push_back(s.marker);
    return out;
}

TEST(InsertIccSegments, EmptyProfileChangesNothing)
{
    EXPECT_EQ(ambrel::pipeline::jpegmeta::insertIccSegments(kTinyJpeg, {}), kTinyJpeg);
    const Bytes withExif = ambrel::pipeline::jpegmeta::insertExifSegment(kTinyJpeg, simpleBlock(true, 6));
    EXPECT_EQ(ambrel::pipeline::jpegmeta::insertIccSegments(withExif, {}), withExif);
}

TEST(InsertIccSegments, SmallProfileAfterJfif)
{
    const Bytes icc = filler(500, 0x20);
    const Bytes out = ambrel::pipeline::jpegmeta::insertIccSegments(kTinyJpeg, icc);
    const Bytes expected = concat({Bytes(kTinyJpeg.begin(), kTinyJpeg.begin() + 20),
                                   {0xFF, 0xE2, 0x02, 0x04},  // 500 + 16 = 516
                                   kIccId,
                                   {1, 1},
                                   icc,
                                   Bytes(kTinyJpeg.begin() + 20, kTinyJpeg.end())});
    EXPECT_EQ(out, expected);
    EXPECT_EQ(markers(out), (std::vector<std::uint8_t>{0xE0, 0xE2, 0xDB, 0xC4, 0xC0, 0xDA}));
    EXPECT_EQ(reassembleIcc(out), icc);
}

TEST(InsertIccSegments, SmallProfileAfterExif)
{
    const Bytes exif = simpleBlock(false, 6);
    const Bytes withExif = ambrel::pipeline::jpegmeta::insertExifSegment(kTinyJpeg, exif);
    const Bytes icc = filler(3000, 0x30);
    const Bytes out = ambrel::pipeline::jpegmeta::insertIccSegments(withExif, icc);
    EXPECT_EQ(markers(out), (std::vector<std::uint8_t>{0xE1, 0xE2, 0xDB, 0xC4, 0xC0, 0xDA}));
    const auto segments = headerSegments(out);
    EXPECT_EQ(segments[0].payload, exif);
    EXPECT_EQ(segments[1].offset, 6 + exif.size());
    EXPECT_EQ(reassembleIcc(out), icc);
    // the empty APP1 of an empty EXIF block is a segment too
    const Bytes emptyExif = ambrel::pipeline::jpegmeta::insertIccSegments(
        ambrel::pipeline::jpegmeta::insertExifSegment(kTinyJpeg, {}), icc);
    EXPECT_EQ(markers(emptyExif), (std::vector<std::uint8_t>{0xE1, 0xE2, 0xDB, 0xC4, 0xC0, 0xDA}));
    EXPECT_EQ(headerSegments(emptyExif)[1].offset, 6u);
}

TEST(InsertIccSegments, LargeProfileIsChunked)
{
    const Bytes icc = filler(150000, 0x55);
    const Bytes out = ambrel::pipeline::jpegmeta::insertIccSegments(kTinyJpeg, icc);
    EXPECT_EQ(markers(out), (std::vector<std::uint8_t>{0xE0, 0xE2, 0xE2, 0xE2, 0xDB, 0xC4, 0xC0, 0xDA}));
    const auto segments = headerSegments(out);
    EXPECT_EQ(segments[1].payload.size(), 14u + 65519);
    EXPECT_EQ(segments[2].payload.size(), 14u + 65519);
    EXPECT_EQ(segments[3].payload.size(), 14u + 150000 - 2 * 65519);
    EXPECT_EQ(out[segments[1].offset + 2], 0xFF);  // 65519 + 16 = 65535
    EXPECT_EQ(out[segments[1].offset + 3], 0xFF);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(segments[static_cast<std::size_t>(i) + 1].payload[12], i + 1);
        EXPECT_EQ(segments[static_cast<std::size_t>(i) + 1].payload[13], 3);
    }
    EXPECT_EQ(reassembleIcc(out), icc);
    EXPECT_EQ(Bytes(out.end() - static_cast<std::ptrdiff_t>(kTinyJpeg.size() - 20), out.end()),
              Bytes(kTinyJpeg.begin() + 20, kTinyJpeg.end()));
}

TEST(InsertIccSegments, ChunkBoundaries)
{
    EXPECT_EQ(markers(ambrel::pipeline::jpegmeta::insertIccSegments(kTinyJpeg, filler(65519, 1))).size(), 1u + 1 + 4);
    EXPECT_EQ(markers(ambrel::pipeline::jpegmeta::insertIccSegments(kTinyJpeg, filler(65520, 1))).size(), 1u + 2 + 4);
    EXPECT_EQ(reassembleIcc(ambrel::pipeline::jpegmeta::insertIccSegments(kTinyJpeg, filler(65520, 1))),
              filler(65520, 1));
    // 255 chunks is the most the one-byte count allows
    EXPECT_NO_THROW(ambrel::pipeline::jpegmeta::insertIccSegments(
        kTinyJpeg, Bytes(255 * ambrel::pipeline::jpegmeta::kMaxIccChunk, 0)));
    EXPECT_THROW(ambrel::pipeline::jpegmeta::insertIccSegments(
                     kTinyJpeg, Bytes(255 * ambrel::pipeline::jpegmeta::kMaxIccChunk + 1, 0)),
                 std::length_error);
}

TEST(InsertIccSegments, WithoutAppSegmentGoesRightAfterSoi)
{
    const Bytes noApp = concat({{0xFF, 0xD8}, Bytes(kTinyJpeg.begin() + 20, kTinyJpeg.end())});
    const Bytes icc = filler(100, 2);
    const Bytes out = ambrel::pipeline::jpegmeta::insertIccSegments(noApp, icc);
    EXPECT_EQ(markers(out), (std::vector<std::uint8_t>{0xE2, 0xDB, 0xC4, 0xC0, 0xDA}));
    EXPECT_EQ(headerSegments(out)[0].offset, 2u);
    EXPECT_EQ(reassembleIcc(out), icc);
}

TEST(InsertIccSegments, MalformedJpegThrows)
{
    const Bytes icc = filler(10, 1);
    EXPECT_THROW(ambrel::pipeline::jpegmeta::insertIccSegments({}, icc), std::invalid_argument);
    EXPECT_THROW(ambrel::pipeline::jpegmeta::insertIccSegments({0xFF, 0xD9}, icc), std::invalid_argument);
    EXPECT_THROW(ambrel::pipeline::jpegmeta::insertIccSegments({0xFF, 0xD8, 0xFF, 0xE0, 0x00}, icc),
                 std::invalid_argument);
    EXPECT_THROW(ambrel::pipeline::jpegmeta::insertIccSegments({0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x10, 0x4A}, icc),
                 std::invalid_argument);
    EXPECT_THROW(ambrel::pipeline::jpegmeta::insertIccSegments({0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x01}, icc),
                 std::invalid_argument);
    // SOI alone: the profile goes right after it
    EXPECT_EQ(ambrel::pipeline::jpegmeta::insertIccSegments({0xFF, 0xD8}, icc).size(), 2u + 4 + 14 + 10);
}

}  // namespace
