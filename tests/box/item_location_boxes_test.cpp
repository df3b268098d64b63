#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include "heiclib/boxes/item_location_boxes.h"
#include "tests/box/test_bytes.h"

using namespace ambrel::heif;

using testbytes::Bytes;
using testbytes::fullBox;
using testbytes::parsed;
using testbytes::written;

namespace {

template <typename Fn>
std::string runtimeErrorText(Fn&& fn)
{
    try {
        fn();
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return "<no exception>";
}

// Extent as a tuple for compact comparisons.
std::vector<std::uint64_t> flat(const ItemLocationExtent& e)
{
    return {e.extentIndex, e.extentOffset, e.extentLength};
}

TEST(ItemLocationParse, Version0TwoExtents)
{
    // offset size 4, length size 4, base offset size 0, reserved nibble 0
    const auto box = parsed<ItemLocationBox>(fullBox("iloc", 0, 0,
                                                     Bytes{0x44, 0x00}
                                                         .u16(1)  // item count
                                                         .u16(7)  // item id
                                                         .u16(0)  // data reference index
                                                         .u16(2)  // extent count
                                                         .u32(100)
                                                         .u32(10)  // extent 1
                                                         .u32(300)
                                                         .u32(30)));
    EXPECT_EQ(box.getVersion(), 0);
    EXPECT_EQ(box.getOffsetSize(), 4);
    EXPECT_EQ(box.getLengthSize(), 4);
    EXPECT_EQ(box.getBaseOffsetSize(), 0);
    EXPECT_EQ(box.getIndexSize(), 0);
    ASSERT_EQ(box.getItemCount(), 1u);
    const ItemLocation loc = box.getItemLocationForID(7);
    EXPECT_EQ(loc.getConstructionMethod(), 0u);
    EXPECT_EQ(loc.getBaseOffset(), 0u);
    ASSERT_EQ(loc.getExtentCount(), 2);
    EXPECT_EQ(flat(loc.getExtent(0)), (std::vector<std::uint64_t>{0, 100, 10}));
    EXPECT_EQ(flat(loc.getExtent(1)), (std::vector<std::uint64_t>{0, 300, 30}));
}

TEST(ItemLocationParse, Version0DropsIndexNibble)
{
    // The fourth nibble is an index size only for versions 1 and 2.
    const auto box =
        parsed<ItemLocationBox>(fullBox("iloc", 0, 0, Bytes{0x44, 0x04}.u16(1).u16(1).u16(0).u16(1).u32(5).u32(6)));
    EXPECT_EQ(box.getIndexSize(), 0);
    EXPECT_EQ(flat(box.getItemLocations()[0].getExtent(0)), (std::vector<std::uint64_t>{0, 5, 6}));
}

TEST(ItemLocationParse, Version1MethodBaseOffsetAndIndex)
{
    // offset 4, length 2, base offset 4, index size 1
    const auto box = parsed<ItemLocationBox>(fullBox("iloc", 1, 0,
                                                     Bytes{0x42, 0x41}
                                                         .u16(1)
                                                         .u16(3)       // item id
                                                         .u16(0x0001)  // reserved 12 bits, construction method 1
                                                         .u16(2)       // data reference index
                                                         .u32(1000)    // base offset
                                                         .u16(1)
                                                         .u8(9)
                                                         .u32(20)
                                                         .u16(40)));
    EXPECT_EQ(box.getVersion(), 1);
    EXPECT_EQ(box.getIndexSize(), 1);
    const ItemLocation loc = box.getItemLocationForID(3);
    EXPECT_EQ(loc.getConstructionMethod(), 1u);
    EXPECT_EQ(loc.getDataReferenceIndex(), 2);
    EXPECT_EQ(loc.getBaseOffset(), 1000u);
    EXPECT_EQ(flat(loc.getExtent(0)), (std::vector<std::uint64_t>{9, 20, 40}));
}

TEST(ItemLocationParse, Version2ReadsEveryItemIdWith32Bits)
{
    const auto box = parsed<ItemLocationBox>(fullBox("iloc", 2, 0,
                                                     Bytes{0x44, 0x00}
                                                         .u32(2)
                                                         .u32(0x10001)
                                                         .u16(1)
                                                         .u16(0)
                                                         .u16(1)
                                                         .u32(4)
                                                         .u32(8)
                                                         .u32(0x20002)
                                                         .u16(0)
                                                         .u16(0)
                                                         .u16(1)
                                                         .u32(12)
                                                         .u32(16)));
    EXPECT_EQ(box.getVersion(), 2);
    ASSERT_EQ(box.getItemCount(), 2u);
    EXPECT_EQ(box.getItemLocations()[0].getItemId(), 0x10001u);
    EXPECT_EQ(box.getItemLocations()[0].getConstructionMethod(), 1u);
    EXPECT_EQ(box.getItemLocations()[1].getItemId(), 0x20002u);
    EXPECT_EQ(flat(box.getItemLocations()[1].getExtent(0)), (std::vector<std::uint64_t>{0, 12, 16}));
}

TEST(ItemLocationParse, UnknownVersionStopsAfterSizes)
{
    // Whatever follows the sizes is not read.
    const auto box = parsed<ItemLocationBox>(fullBox("iloc", 3, 0, Bytes{0x84, 0x42, 0xFF, 0xFF}));
    EXPECT_EQ(box.getVersion(), 3);
    EXPECT_EQ(box.getItemCount(), 0u);
    EXPECT_EQ(box.getOffsetSize(), 8);
    EXPECT_EQ(box.getIndexSize(), 0);
}

// Fields of any width from 0 to 15 bytes; a value never loses its high bits
// (one wider than 64 bits reads as the largest value).
TEST(ItemLocationParse, FieldWidths)
{
    struct Case
    {
        std::uint8_t offsetSize;
        Bytes offsetBytes;
        std::uint64_t expected;
    };
    const std::vector<Case> cases = {
        {0, Bytes{}, 0},
        {1, Bytes{0xAB}, 0xAB},
        {3, Bytes{0x01, 0x02, 0x03}, 0x010203},
        {4, Bytes{}.u32(0xFFFFFFFFu), 0xFFFFFFFFu},
        {8, Bytes{0, 0, 0, 1, 0, 0, 0, 0x10}, 0x100000010ull},
        {8, Bytes{}.u64(0xFFFFFFFFFFFFFFFFull), 0xFFFFFFFFFFFFFFFFull},
        {15, Bytes{}.zeros(7).u64(0x0123456789ABCDEFull), 0x0123456789ABCDEFull},
        {15, Bytes{}.u8(0xFF).zeros(10).u32(0x12345678), std::numeric_limits<std::uint64_t>::max()},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("offset size " + std::to_string(c.offsetSize));
        // length size 0: every extent length is 0
        const auto box = parsed<ItemLocationBox>(fullBox(
            "iloc", 0, 0,
            Bytes{static_cast<std::uint8_t>(c.offsetSize << 4), 0x00}.u16(1).u16(1).u16(0).u16(1).add(c.offsetBytes)));
        const auto& extent = box.getItemLocations().at(0).getExtent(0);
        EXPECT_EQ(extent.extentOffset, c.expected);
        EXPECT_EQ(extent.extentLength, 0u);
    }
}

TEST(ItemLocationParse, ZeroWidthExtentAtEndOfBox)
{
    // All sizes 0: an extent takes no bytes, and the last item may still declare one.
    const auto box = parsed<ItemLocationBox>(fullBox("iloc", 0, 0, Bytes{0x00, 0x00}.u16(1).u16(5).u16(0).u16(1)));
    ASSERT_EQ(box.getItemLocationForID(5).getExtentCount(), 1);
    EXPECT_EQ(flat(box.getItemLocationForID(5).getExtent(0)), (std::vector<std::uint64_t>{0, 0, 0}));
}

TEST(ItemLocationParse, TruncatedOrHostileCountsThrowOutOfRange)
{
    struct Case
    {
        const char* name;
        Bytes bytes;
    };
    // 200 zero-width extents per item: each item alone fits the box size, all 40 together do not.
    Bytes zeroWidth = Bytes{0x00, 0x00}.u16(40);
    for (int i = 0; i < 40; ++i) {
        zeroWidth.u16(static_cast<std::uint32_t>(i)).u16(0).u16(200);
    }
    const std::vector<Case> cases = {
        {"version 2 item count 4 billion", fullBox("iloc", 2, 0, Bytes{0x44, 0x00}.u32(0xFFFFFFFFu).zeros(8))},
        {"item count past the data", fullBox("iloc", 0, 0, Bytes{0x44, 0x00}.u16(2).u16(1).u16(0).u16(0))},
        {"extent count past the data",
         fullBox("iloc", 0, 0, Bytes{0x44, 0x00}.u16(1).u16(1).u16(0).u16(0xFFFF).u32(1))},
        {"extent length cut short", fullBox("iloc", 0, 0, Bytes{0x44, 0x00}.u16(1).u16(1).u16(0).u16(1).u32(1).u16(0))},
        {"base offset cut short", fullBox("iloc", 1, 0, Bytes{0x44, 0x80}.u16(1).u16(1).u16(0).u16(0).u32(1))},
        {"zero-width extents flood", fullBox("iloc", 0, 0, zeroWidth)},
        {"sizes missing", fullBox("iloc", 1, 0, Bytes{0x44})},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_THROW(parsed<ItemLocationBox>(c.bytes), std::out_of_range);
    }
}

TEST(ItemLocationAccess, LookupErrorsAndFirstMatchWins)
{
    const auto box = parsed<ItemLocationBox>(fullBox(
        "iloc", 0, 0, Bytes{0x44, 0x00}.u16(2).u16(4).u16(0).u16(1).u32(1).u32(2).u16(4).u16(0).u16(1).u32(3).u32(4)));
    EXPECT_TRUE(box.hasItemLocation(4));
    EXPECT_FALSE(box.hasItemLocation(5));
    EXPECT_EQ(box.getItemLocationForID(4).getExtent(0).extentOffset, 1u);
    EXPECT_EQ(runtimeErrorText([&] { box.getItemLocationForID(5); }),
              "ItemLocationBox::getItemLocationForID: invalid item ID");
    EXPECT_EQ(runtimeErrorText([&] { box.getItemLocationForID(4).getExtent(1); }),
              "ItemLocationBox::getExtent: invalid extent ID");
}

TEST(ItemLocationAccess, AddItemLocationRaisesVersion0Only)
{
    ItemLocation method1;
    method1.setItemId(1);
    method1.setConstructionMethod(1);
    ItemLocation method0;
    method0.setItemId(2);

    ItemLocationBox v0;
    v0.addItemLocation(method0);
    EXPECT_EQ(v0.getVersion(), 0);
    v0.addItemLocation(method1);
    EXPECT_EQ(v0.getVersion(), 1);

    ItemLocationBox v2;
    v2.setVersion(2);
    v2.addItemLocation(method1);
    EXPECT_EQ(v2.getVersion(), 2);
}

TEST(ItemLocationAccess, AddExtentByItemId)
{
    ItemLocationBox box;
    ItemLocation loc;
    loc.setItemId(9);
    box.addItemLocation(loc);
    box.addExtent(9, ItemLocationExtent{0, 50, 60});
    EXPECT_EQ(box.getItemLocationForID(9).getExtentCount(), 1);
    EXPECT_EQ(runtimeErrorText([&] { box.addExtent(10, ItemLocationExtent{}); }),
              "ItemLocationBox::addExtent() invalid item id");
}

TEST(ItemLocationRoundTrip, Version1WithIndicesAndWideFields)
{
    ItemLocationBox out;
    out.setOffsetSize(8);
    out.setLengthSize(2);
    out.setBaseOffsetSize(8);
    out.setIndexSize(4);
    ItemLocation a;
    a.setItemId(0xFFFF);
    a.setConstructionMethod(2);
    a.setDataReferenceIndex(3);
    a.setBaseOffset(0x89ABCDEFu);
    a.addExtent({2, 0x7000, 0x1234});
    a.addExtent({1, 0, 0});
    out.addItemLocation(a);  // raises the box to version 1
    ItemLocation b;
    b.setItemId(1);
    out.addItemLocation(b);

    const auto bytes = written(out);
    EXPECT_EQ(bytes.size(), out.getSize());
    const auto in = parsed<ItemLocationBox>(Bytes().add(bytes));
    EXPECT_EQ(in.getVersion(), 1);
    EXPECT_EQ(in.getIndexSize(), 4);
    ASSERT_EQ(in.getItemCount(), 2u);
    const ItemLocation back = in.getItemLocationForID(0xFFFF);
    EXPECT_EQ(back.getConstructionMethod(), 2u);
    EXPECT_EQ(back.getDataReferenceIndex(), 3);
    EXPECT_EQ(back.getBaseOffset(), 0x89ABCDEFu);
    ASSERT_EQ(back.getExtentCount(), 2);
    EXPECT_EQ(flat(back.getExtent(0)), (std::vector<std::uint64_t>{2, 0x7000, 0x1234}));
    EXPECT_EQ(flat(back.getExtent(1)), (std::vector<std::uint64_t>{1, 0, 0}));
    EXPECT_EQ(in.getItemLocationForID(1).getExtentCount(), 0);
}

TEST(ItemData, ParseKeepsAllBytes)
{
    EXPECT_TRUE(parsed<ItemDataBox>(testbytes::box("idat")).getData().empty());
    const auto box = parsed<ItemDataBox>(testbytes::box("idat", Bytes{1, 2, 3, 4, 5}));
    EXPECT_EQ(box.getData(), (std::vector<std::uint8_t>{1, 2, 3, 4, 5}));
}

TEST(ItemData, ReadDataRanges)
{
    const auto box = parsed<ItemDataBox>(testbytes::box("idat", Bytes{1, 2, 3, 4, 5}));
    constexpr auto kMax = std::numeric_limits<std::uint64_t>::max();
    struct Case
    {
        std::uint64_t offset;
        std::uint64_t length;
        bool ok;
        std::vector<std::uint8_t> expected;  // appended after the marker byte
    };
    const std::vector<Case> cases = {
        {0, 5, true, {1, 2, 3, 4, 5}},
        {1, 2, true, {2, 3}},
        {5, 0, true, {}},
        {4, 2, false, {}},
        {6, 0, false, {}},
        {1, kMax, false, {}},  // offset + length wraps around in 64 bits
        {kMax, 2, false, {}},
        {0x100000000ull, 1, false, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("offset " + std::to_string(c.offset) + " length " + std::to_string(c.length));
        std::vector<std::uint8_t> destination{0xEE};
        if (c.ok) {
            box.readData(destination, c.offset, c.length);
            std::vector<std::uint8_t> expected{0xEE};
            expected.insert(expected.end(), c.expected.begin(), c.expected.end());
            EXPECT_EQ(destination, expected);
        } else {
            EXPECT_THROW(box.readData(destination, c.offset, c.length), std::out_of_range);
        }
    }
}

TEST(ItemData, AddDataReturnsOffsetAndRoundTrips)
{
    ItemDataBox out;
    EXPECT_EQ(out.addData({9, 8}), 0u);
    EXPECT_EQ(out.addData({7}), 2u);
    const auto bytes = written(out);
    EXPECT_EQ(bytes, testbytes::box("idat", Bytes{9, 8, 7}).data());
}

}  // namespace
