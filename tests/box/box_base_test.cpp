#include <gtest/gtest.h>

#include <sstream>
#include <stdexcept>

#include "heiclib/box.h"
#include "heiclib/fourcc.h"
#include "tests/box/test_bytes.h"

using namespace ambrel::heif;

using testbytes::Bytes;

namespace {

TEST(FourCC, FromTextAndBack)
{
    FourCCInt code("hvc1");
    EXPECT_EQ(code.getUInt32(), 1752589105u);
    EXPECT_EQ(code.getString(), "hvc1");
    EXPECT_EQ(FourCCInt("ftyp").getUInt32(), 0x66747970u);
    std::ostringstream out;
    out << FourCCInt(0x6D657461u);
    EXPECT_EQ(out.str(), "meta");
    EXPECT_EQ(FourCCInt(0x00610062u).getString(), std::string("\0a\0b", 4));
}

TEST(FourCC, WrongLengthThrows)
{
    try {
        FourCCInt code(std::string("abc"));
        FAIL() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "FourCCInt given an String argument not exactly 4 characters long");
    }
    EXPECT_THROW(FourCCInt(std::string("abcde")), std::runtime_error);
    EXPECT_THROW(FourCCInt(std::string()), std::runtime_error);
}

TEST(FourCC, HighBytesAreUnsigned)
{
    FourCCInt code(std::string("\xA9too"));
    EXPECT_EQ(code.getUInt32() >> 24, 0xA9u);
}

// A minimal concrete box for the base-class behaviour.
class TestFullBox : public FullBox
{
public:
    TestFullBox() : FullBox("test", 0, 0) {}
    std::uint32_t payload = 0;
    void parseBox(BitStream& in) override
    {
        parseFullHeader(in);
        payload = in.readUInt32();
    }
    void writeBox(BitStream& out) override
    {
        writeFullHeader(out);
        out.writeUInt32(payload);
        finalizeSize(out);
    }
};

class TestBox : public Box
{
public:
    TestBox() : Box("tbox") {}
    void parseBox(BitStream& in) override { parseHeader(in); }
    void writeBox(BitStream& out) override
    {
        writeHeader(out);
        finalizeSize(out);
    }
};

TEST(BoxHeader, ConstructedSizes)
{
    TestBox plain;
    EXPECT_EQ(plain.getSize(), 8u);
    TestFullBox full;
    EXPECT_EQ(full.getSize(), 12u);
    EXPECT_EQ(full.getVersion(), 0u);
    EXPECT_EQ(full.getFlags(), 0u);
    EXPECT_EQ(full.getLargeSize(), 0u);
}

TEST(BoxHeader, LargeSizeIsStoredAsTwoWords)
{
    auto s = testbytes::stream(Bytes().u32(1).str("ftyp").u64(0x0000000200000010ull));
    TestBox b;
    b.parseBox(s);
    EXPECT_EQ(b.getSize(), 1u);
    EXPECT_EQ(b.getType(), FourCCInt("ftyp"));
    EXPECT_EQ(b.getLargeSizeWords()[0], 2u);
    EXPECT_EQ(b.getLargeSizeWords()[1], 16u);
}

TEST(BoxHeader, UuidUserType)
{
    Bytes user;
    for (int i = 0; i < 16; ++i) {
        user.u8(static_cast<std::uint32_t>(i + 1));
    }
    auto s = testbytes::stream(Bytes().u32(24).str("uuid").add(user));
    TestBox b;
    b.parseBox(s);
    EXPECT_EQ(b.getUserType()[0], 1u);
    EXPECT_EQ(b.getUserType()[15], 16u);
    // cut short
    auto shortStream = testbytes::stream(Bytes().u32(24).str("uuid").zeros(15));
    TestBox c;
    EXPECT_THROW(c.parseBox(shortStream), std::out_of_range);
}

TEST(BoxHeader, FullHeaderVersionAndFlags)
{
    auto s = testbytes::stream(testbytes::fullBox("test", 3, 0xABCDEF, Bytes().u32(42)));
    TestFullBox b;
    b.parseBox(s);
    EXPECT_EQ(b.getVersion(), 3u);
    EXPECT_EQ(b.getFlags(), 0xABCDEFu);
    EXPECT_EQ(b.payload, 42u);
    EXPECT_EQ(b.getSize(), 16u);
}

TEST(BoxHeader, HeaderCutShortThrows)
{
    auto s = testbytes::stream(Bytes().u32(8).str("te"));
    TestBox b;
    EXPECT_THROW(b.parseBox(s), std::out_of_range);
    auto f = testbytes::stream(Bytes().u32(12).str("test").u8(0));
    TestFullBox fb;
    EXPECT_THROW(fb.parseBox(f), std::out_of_range);
}

TEST(BoxWrite, FinalizeSizePatchesAtTheBoxStart)
{
    BitStream out;
    out.writeUInt32(0xCAFEBABE);  // something before the box
    TestFullBox b;
    b.setVersion(1);
    b.setFlags(0x1000001);  // flags keep 24 bits
    b.payload = 7;
    b.writeBox(out);
    const Bytes expected = Bytes().u32(0xCAFEBABE).add(testbytes::fullBox("test", 1, 1, Bytes().u32(7)));
    EXPECT_EQ(out.getStorage(), expected.data());
    EXPECT_EQ(b.getSize(), 16u);
}

}  // namespace
