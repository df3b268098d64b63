#include <gtest/gtest.h>

#include <stdexcept>

#include "heiclib/bitstream.h"
#include "tests/box/test_bytes.h"

using namespace ambrel::heif;

using testbytes::Bytes;

namespace {

BitStream bits(std::initializer_list<std::uint8_t> bytes)
{
    return BitStream(std::vector<std::uint8_t>(bytes));
}

TEST(BitStreamIntegers, BigEndianWidths)
{
    auto s = bits({0x01, 0x02, 0x03, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0xAB, 0xCD, 0xFE});
    EXPECT_EQ(s.readUInt24(), 66051u);
    EXPECT_EQ(s.readUInt64(), 4294967296ull);
    EXPECT_EQ(s.readUInt16(), 0xABCDu);
    EXPECT_EQ(s.readUInt8(), 0xFEu);
    EXPECT_EQ(s.bytesRemaining(), 0);
    EXPECT_THROW(s.readUInt8(), std::out_of_range);
}

TEST(BitStreamIntegers, ShortReadThrowsAndDoesNotRestore)
{
    auto s = bits({0x01, 0x02, 0x03});
    EXPECT_THROW(s.readUInt32(), std::out_of_range);
    EXPECT_EQ(s.getBytePosition(), 3u);
}

TEST(BitStreamBitFields, NibblesAlign)
{
    auto s = bits({0xA5, 0x11});
    EXPECT_EQ(s.readBitField(4), 10u);
    EXPECT_FALSE(s.atByteBoundary());
    EXPECT_EQ(s.readBitField(4), 5u);
    EXPECT_TRUE(s.atByteBoundary());
    EXPECT_EQ(s.getBytePosition(), 1u);
}

TEST(BitStreamBitFields, FieldAcrossBytes)
{
    auto s = bits({0xAB, 0xCD});
    EXPECT_EQ(s.readBitField(12), 0xABCu);
    EXPECT_EQ(s.getBytePosition(), 1u);
    EXPECT_FALSE(s.atByteBoundary());
    EXPECT_EQ(s.readBitField(4), 0xDu);
    EXPECT_TRUE(s.atByteBoundary());
    EXPECT_EQ(s.getBytePosition(), 2u);
}

TEST(BitStreamBitFields, ZeroAndThirtyTwoBits)
{
    auto s = bits({0x80, 0x00, 0x00, 0x01, 0xF0});
    EXPECT_EQ(s.readBitField(0), 0u);
    EXPECT_EQ(s.getBytePosition(), 0u);
    EXPECT_EQ(s.readBitField(1), 1u);
    EXPECT_EQ(s.readBitField(32), 0x00000003u);  // 31 bits of 0x80000001 shifted, then the top bit of 0xF0
    EXPECT_EQ(s.readBitField(7), 0x70u);
    EXPECT_TRUE(s.atByteBoundary());
}

TEST(BitStreamBitFields, PastEndThrows)
{
    auto s = bits({0xFF});
    EXPECT_EQ(s.readBitField(4), 0xFu);
    EXPECT_THROW(s.readBitField(8), std::out_of_range);
}

TEST(BitStreamExpGolomb, UnsignedAndSigned)
{
    // bits: 1 | 010 | 00111 | 010 | 011 -> 0, 1, 6, se=+1, se=-1
    // 1010 0011 1010 0110 -> 0xA3 0xA6 (padding after)
    auto s = bits({0xA3, 0xA6, 0x00});
    EXPECT_EQ(s.readUnsignedExpGolomb(), 0u);
    EXPECT_EQ(s.readUnsignedExpGolomb(), 1u);
    EXPECT_EQ(s.readUnsignedExpGolomb(), 6u);
    EXPECT_EQ(s.readSignedExpGolomb(), 1);
    EXPECT_EQ(s.readSignedExpGolomb(), -1);
}

TEST(BitStreamExpGolomb, AllZerosIsAnErrorNotAHang)
{
    BitStream s(std::vector<std::uint8_t>(64, 0));
    EXPECT_ANY_THROW(s.readUnsignedExpGolomb());
}

TEST(BitStreamStrings, CStringAndFixedString)
{
    auto s = testbytes::stream(Bytes().cstr("ab").u8('x').u8(0).u8('y').str("zz"));
    std::string text = "old";
    s.readCString(text);
    EXPECT_EQ(text, "ab");
    EXPECT_EQ(s.getBytePosition(), 3u);
    s.readFixedString(text, 3);
    EXPECT_EQ(text, std::string("x\0y", 3));
    EXPECT_THROW(s.readFixedString(text, 3), std::out_of_range);
}

TEST(BitStreamStrings, CStringWithoutTerminatorThrows)
{
    auto s = bits({'a', 'b'});
    std::string text;
    EXPECT_THROW(s.readCString(text), std::out_of_range);
}

TEST(BitStreamBytes, ReadBytesAppendsAndChecks)
{
    auto s = bits({1, 2, 3});
    std::vector<std::uint8_t> out{9};
    s.readBytes(out, 2);
    EXPECT_EQ(out, (std::vector<std::uint8_t>{9, 1, 2}));
    EXPECT_THROW(s.readBytes(out, 2), std::out_of_range);
}

TEST(BitStreamBytes, PeekPatchCopyRange)
{
    auto s = bits({1, 2, 3, 4});
    EXPECT_EQ(s.peekByte(3), 4u);
    EXPECT_THROW(s.peekByte(4), std::out_of_range);
    s.patchByte(0, 7);
    EXPECT_THROW(s.patchByte(4, 0), std::out_of_range);
    BitStream dest = bits({9, 9, 9, 9, 9});
    dest.readUInt16();
    s.copyRange(0, 2, dest);
    EXPECT_EQ(dest.getStorage(), (std::vector<std::uint8_t>{7, 2}));
    EXPECT_EQ(dest.getBytePosition(), 0u);
    EXPECT_THROW(s.copyRange(2, 5, dest), std::out_of_range);
    EXPECT_THROW(s.copyRange(3, 2, dest), std::out_of_range);
}

TEST(BitStreamBytes, RequireEntriesRefusesCountsTheDataCannotHold)
{
    auto s = bits({0, 0, 0, 0, 0, 0, 0, 0});
    EXPECT_NO_THROW(s.requireEntries(2, 4, "test"));
    EXPECT_THROW(s.requireEntries(3, 4, "test"), std::out_of_range);
    EXPECT_THROW(s.requireEntries(0xFFFFFFFFu, 0xFFFFFFFFu, "test"), std::out_of_range);
    s.seekBytePosition(100);  // seeking is unchecked; nothing is left
    EXPECT_THROW(s.requireEntries(1, 1, "test"), std::out_of_range);
    EXPECT_NO_THROW(s.requireEntries(0, 1, "test"));
}

// --- readChildBox: the gate every container goes through ---

TEST(BitStreamChildBox, CutsWholeBoxAndAdvances)
{
    auto parent = testbytes::stream(Bytes().add(testbytes::box("free", Bytes().u32(7))).add(testbytes::box("skip")));
    FourCCInt type;
    BitStream child = parent.readChildBox(type);
    EXPECT_EQ(type, FourCCInt("free"));
    EXPECT_EQ(child.byteCount(), 12u);
    EXPECT_EQ(child.getBytePosition(), 0u);
    EXPECT_EQ(child.readUInt32(), 12u);  // the header is read again by the child
    EXPECT_EQ(parent.getBytePosition(), 12u);
    BitStream second = parent.readChildBox(type);
    EXPECT_EQ(type, FourCCInt("skip"));
    EXPECT_EQ(second.byteCount(), 8u);
    EXPECT_EQ(parent.bytesRemaining(), 0);
}

TEST(BitStreamChildBox, LargeSize)
{
    auto parent = testbytes::stream(Bytes().u32(1).str("free").u64(24).u64(0xDEADBEEF).u8(0xEE));
    FourCCInt type;
    BitStream child = parent.readChildBox(type);
    EXPECT_EQ(child.byteCount(), 24u);
    EXPECT_EQ(parent.getBytePosition(), 24u);
    EXPECT_EQ(child.peekByte(15), 24u);
}

struct BadChild
{
    const char* name;
    Bytes bytes;
};

class BitStreamHostileChild : public ::testing::TestWithParam<BadChild>
{};

TEST_P(BitStreamHostileChild, FailsWithOutOfRangeAndNeverLoops)
{
    BitStream parent(GetParam().bytes.data());
    FourCCInt type;
    EXPECT_THROW(parent.readChildBox(type), std::out_of_range) << GetParam().name;
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, BitStreamHostileChild,
    ::testing::Values(BadChild{"size0", Bytes().u32(0).str("free").u32(0)},
                      BadChild{"size1_short", Bytes().u32(1).str("free").u32(0)},
                      BadChild{"size4", Bytes().u32(4).str("free").u32(0)},
                      BadChild{"size7", Bytes().u32(7).str("free").u32(0)},
                      BadChild{"large_below_16", Bytes().u32(1).str("free").u64(15).u64(0)},
                      BadChild{"large_low_word_0", Bytes().u32(1).str("free").u64(0x100000000ull).u64(0)},
                      // 2^32 + 24 with 24 bytes present: never cut to 32 bits.
                      BadChild{"large_high_word_set", Bytes().u32(1).str("free").u64(0x100000018ull).u64(0)},
                      BadChild{"past_parent", Bytes().u32(100).str("free").u32(0)},
                      BadChild{"uuid_below_header", Bytes().u32(20).str("uuid").zeros(16)},
                      BadChild{"header_cut", Bytes().u32(8).str("fr")}, BadChild{"empty", Bytes()}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(BitStreamChildBox, ContainerLoopOverZeroSizeChildEnds)
{
    // A container loop of the usual shape must end on a size-0 child.
    auto parent = testbytes::stream(Bytes().add(testbytes::box("free")).u32(0).str("free"));
    FourCCInt type;
    int children = 0;
    EXPECT_THROW(
        {
            while (parent.bytesRemaining() > 0) {
                parent.readChildBox(type);
                ASSERT_LT(++children, 3);
            }
        },
        std::out_of_range);
    EXPECT_EQ(children, 1);
}

// --- writing ---

TEST(BitStreamWrite, IntegersAndStrings)
{
    BitStream s;
    s.writeUInt8(1);
    s.writeUInt16(0x0203);
    s.writeUInt24(0x040506);
    s.writeUInt32(0x0708090A);
    s.writeUInt64(0x0B0C0D0E0F101112ull);
    s.writeString("ab");
    s.writeCString("c");
    s.writeBytes({9, 8, 7, 6}, 2, 1);
    EXPECT_EQ(s.getStorage(), (std::vector<std::uint8_t>{1,  2,  3,  4,  5,  6,  7,   8,   9,   10, 11, 12,
                                                         13, 14, 15, 16, 17, 18, 'a', 'b', 'c', 0,  8,  7}));
}

TEST(BitStreamWrite, EmptyStringWarns)
{
    testbytes::LogCapture log;
    BitStream s;
    s.writeString("");
    EXPECT_EQ(s.byteCount(), 0u);
    EXPECT_TRUE(log.has(1, "BitStream::writeString called for zero-length string."));
}

TEST(BitStreamWrite, BitFieldsPackMostSignificantFirst)
{
    BitStream s;
    s.writeBitField(0xA, 4);
    EXPECT_EQ(s.byteCount(), 0u);  // a partial byte is not appended yet
    s.writeBitField(0x5, 4);
    s.writeBitField(0x1, 1);
    s.writeBitField(0x7F, 7);
    s.writeBitField(0xABC, 12);
    s.writeBitField(0xD, 4);
    s.writeBitField(0xDEADBEEF, 32);
    EXPECT_EQ(s.getStorage(), (std::vector<std::uint8_t>{0xA5, 0xFF, 0xAB, 0xCD, 0xDE, 0xAD, 0xBE, 0xEF}));
    // and back
    BitStream r(s.getStorage());
    EXPECT_EQ(r.readBitField(4), 0xAu);
    EXPECT_EQ(r.readBitField(4), 0x5u);
    EXPECT_EQ(r.readBitField(1), 1u);
    EXPECT_EQ(r.readBitField(7), 0x7Fu);
    EXPECT_EQ(r.readBitField(12), 0xABCu);
    EXPECT_EQ(r.readBitField(4), 0xDu);
    EXPECT_EQ(r.readBitField(32), 0xDEADBEEFu);
}

}  // namespace
