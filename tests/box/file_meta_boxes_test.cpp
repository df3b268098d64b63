#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "heiclib/boxes/file_meta_boxes.h"
#include "heiclib/heif_limits.h"
#include "heiclib/memory_budget.h"
#include "tests/box/test_bytes.h"

using namespace ambrel::heif;

using testbytes::box;
using testbytes::Bytes;
using testbytes::fullBox;
using testbytes::LogCapture;
using testbytes::parsed;
using testbytes::written;

namespace {

Bytes handlerPayload(const std::string& type, const std::string& name)
{
    return Bytes().u32(0).str(type).zeros(12).cstr(name);
}

// An 'iinf' of version 0 with one 'infe' of version 2 (item id, protection index, type, name).
Bytes itemInfo(std::uint16_t itemId, const std::string& type)
{
    return fullBox("iinf", 0, 0,
                   Bytes().u16(1).add(fullBox("infe", 2, 0, Bytes().u16(itemId).u16(0).str(type).cstr(""))));
}

// An 'iloc' of version 0, sizes 4/4/0, one item with one extent.
Bytes itemLocation(std::uint16_t itemId, std::uint32_t offset, std::uint32_t length)
{
    return fullBox("iloc", 0, 0, Bytes{0x44, 0x00}.u16(1).u16(itemId).u16(0).u16(1).u32(offset).u32(length));
}

TEST(FileTypeBox, BrandsAndStrayBytes)
{
    const auto ftyp = parsed<FileTypeBox>(box("ftyp", Bytes().str("heic").u32(0).str("mif1").str("heic").u16(0)));
    EXPECT_EQ(ftyp.getMajorBrand(), "heic");
    EXPECT_EQ(ftyp.getMinorVersion(), 0u);
    EXPECT_EQ(ftyp.getCompatibleBrands(), (std::vector<std::string>{"mif1", "heic"}));
    EXPECT_TRUE(ftyp.checkCompatibleBrand("mif1"));
    EXPECT_FALSE(ftyp.checkCompatibleBrand("hei"));
    EXPECT_FALSE(ftyp.checkCompatibleBrand("msf1"));
}

TEST(FileTypeBox, BrandsPastTheLimitAreIgnored)
{
    // A file type box may run to the end of a large file; only the first
    // kMaxCompatibleBrands of its "brands" are kept.
    Bytes payload;
    payload.str("heic").u32(0);
    for (std::uint32_t i = 0; i < ambrel::heif::limits::kMaxCompatibleBrands; ++i) {
        payload.str("mif1");
    }
    payload.str("msf1").str("hevc");
    const auto ftyp = parsed<FileTypeBox>(box("ftyp", payload));
    EXPECT_EQ(ftyp.getCompatibleBrands().size(), ambrel::heif::limits::kMaxCompatibleBrands);
    EXPECT_TRUE(ftyp.checkCompatibleBrand("mif1"));
    EXPECT_FALSE(ftyp.checkCompatibleBrand("msf1"));
}

TEST(FileTypeBox, MajorBrandIsNotCompatibleBrand)
{
    const auto ftyp = parsed<FileTypeBox>(box("ftyp", Bytes().str("heic").u32(7)));
    EXPECT_EQ(ftyp.getMinorVersion(), 7u);
    EXPECT_TRUE(ftyp.getCompatibleBrands().empty());
    EXPECT_FALSE(ftyp.checkCompatibleBrand("heic"));
}

TEST(FileTypeBox, CutShortThrows)
{
    EXPECT_THROW(parsed<FileTypeBox>(box("ftyp", Bytes().str("hei"))), std::out_of_range);
    EXPECT_THROW(parsed<FileTypeBox>(box("ftyp", Bytes().str("heic").u16(0))), std::out_of_range);
}

TEST(HandlerBox, PictIsQuiet)
{
    LogCapture log;
    const auto hdlr = parsed<HandlerBox>(fullBox("hdlr", 0, 0, handlerPayload("pict", "images")));
    EXPECT_EQ(hdlr.getHandlerType(), "pict");
    EXPECT_EQ(hdlr.getName(), "images");
    EXPECT_TRUE(log.lines().empty());
}

TEST(HandlerBox, PaddingAfterTheNameIsWrittenBack)
{
    const Bytes bytes = fullBox("hdlr", 0, 0, handlerPayload("pict", "images").u8(0));
    auto hdlr = parsed<HandlerBox>(bytes);
    EXPECT_EQ(hdlr.getName(), "images");
    EXPECT_EQ(written(hdlr), bytes.data());
}

TEST(HandlerBox, OtherTypeIsLoggedAndKept)
{
    LogCapture log;
    const auto hdlr = parsed<HandlerBox>(fullBox("hdlr", 0, 0, handlerPayload("vide", "")));
    EXPECT_EQ(hdlr.getHandlerType(), "vide");
    EXPECT_TRUE(log.has(ambrel::log::Warning, "Unknown media handler in track: vide"));
}

TEST(HandlerBox, NameWithoutTerminatorThrows)
{
    EXPECT_THROW(parsed<HandlerBox>(fullBox("hdlr", 0, 0, Bytes().u32(0).str("pict").zeros(12).str("ab"))),
                 std::out_of_range);
}

TEST(PrimaryItemBox, IdWidthFollowsVersion)
{
    EXPECT_EQ(parsed<PrimaryItemBox>(fullBox("pitm", 0, 0, Bytes().u16(0x1234))).getItemId(), 0x1234u);
    EXPECT_EQ(parsed<PrimaryItemBox>(fullBox("pitm", 1, 0, Bytes().u32(0x12345678))).getItemId(), 0x12345678u);
    EXPECT_THROW(parsed<PrimaryItemBox>(fullBox("pitm", 1, 0, Bytes().u16(1))), std::out_of_range);
}

TEST(PrimaryItemBox, LargeIdSurvivesWriting)
{
    PrimaryItemBox out;
    out.setItemId(0x10000);
    const auto in = parsed<PrimaryItemBox>(Bytes().add(written(out)));
    EXPECT_EQ(in.getVersion(), 1);
    EXPECT_EQ(in.getItemId(), 0x10000u);
}

TEST(DataReference, UrlAndUrnEntries)
{
    const auto dinf = parsed<DataInformationBox>(
        box("dinf", fullBox("dref", 0, 0,
                            Bytes()
                                .u32(3)
                                .add(fullBox("url ", 0, 1))  // in this file: no location
                                .add(fullBox("url ", 0, 0, Bytes().cstr("http://x/y")))
                                .add(fullBox("urn ", 0, 0, Bytes().cstr("name").cstr("where"))))));
    const auto& entries = dinf.getDataReferenceBox().getEntries();
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_EQ(entries[0]->getType(), FourCCInt("url "));
    EXPECT_EQ(entries[0]->getLocation(), "");
    EXPECT_EQ(entries[1]->getLocation(), "http://x/y");
    const auto urn = std::dynamic_pointer_cast<DataEntryUrnBox>(entries[2]);
    ASSERT_TRUE(urn);
    EXPECT_EQ(urn->getName(), "name");
    EXPECT_EQ(urn->getLocation(), "where");
}

TEST(DataReference, ChildOfAnyTypeIsReadAsDref)
{
    const auto dinf =
        parsed<DataInformationBox>(box("dinf", fullBox("xref", 0, 0, Bytes().u32(1).add(fullBox("url ", 0, 1)))));
    EXPECT_EQ(dinf.getDataReferenceBox().getEntries().size(), 1u);
}

TEST(DataReference, Failures)
{
    try {
        parsed<DataReferenceBox>(fullBox("dref", 0, 0, Bytes().u32(1).add(box("alis"))));
        FAIL() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "An unknown box inside dref");
    }
    struct Case
    {
        const char* name;
        Bytes bytes;
    };
    const std::vector<Case> cases = {
        {"entry count 4 billion", fullBox("dref", 0, 0, Bytes().u32(0xFFFFFFFFu).add(fullBox("url ", 0, 1)))},
        {"entry count past the entries", fullBox("dref", 0, 0, Bytes().u32(2).add(fullBox("url ", 0, 1)))},
        {"url location without terminator",
         fullBox("dref", 0, 0, Bytes().u32(1).add(fullBox("url ", 0, 0, Bytes().str("ab"))))},
        {"urn without location", fullBox("dref", 0, 0, Bytes().u32(1).add(fullBox("urn ", 0, 0, Bytes().cstr("n"))))},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_THROW(parsed<DataReferenceBox>(c.bytes), std::out_of_range);
    }
}

TEST(MetaBox, ConstructedEmpty)
{
    MetaBox meta;
    EXPECT_EQ(meta.getType(), FourCCInt("meta"));
    EXPECT_EQ(meta.getItemInfoBox().getVersion(), 2);
    EXPECT_EQ(meta.getPrimaryItemBox().getItemId(), 0u);
    EXPECT_EQ(meta.getHandlerType(), "");
    EXPECT_THROW(meta.getProtectionScheme(0), std::out_of_range);
}

TEST(MetaBox, ChildrenInAnyOrderUnknownSkipped)
{
    LogCapture log;
    const auto meta = parsed<MetaBox>(fullBox("meta", 0, 0,
                                              Bytes()
                                                  .add(fullBox("pitm", 0, 0, Bytes().u16(1)))
                                                  .add(itemInfo(1, "hvc1"))
                                                  .add(box("xml ", Bytes().cstr("<x/>")))
                                                  .add(itemLocation(1, 40, 2))
                                                  .add(fullBox("hdlr", 0, 0, handlerPayload("pict", "")))
                                                  .add(box("idat", Bytes{0xAA, 0xBB}))
                                                  .add(box("dinf"))));
    EXPECT_EQ(meta.getHandlerType(), "pict");
    EXPECT_EQ(meta.getPrimaryItemBox().getItemId(), 1u);
    EXPECT_EQ(meta.getItemInfoBox().getItemIds(), (std::vector<std::uint32_t>{1}));
    EXPECT_EQ(meta.getItemInfoBox().getItemById(1).getItemType(), "hvc1");
    EXPECT_EQ(meta.getItemLocationBox().getItemLocationForID(1).getExtent(0).extentOffset, 40u);
    EXPECT_EQ(meta.getItemDataBox().getData(), (std::vector<std::uint8_t>{0xAA, 0xBB}));
    // The empty 'dinf' is reported and the parse goes on.
    EXPECT_TRUE(log.has(ambrel::log::Error, "Read an empty dinf box."));
    EXPECT_TRUE(meta.getDataInformationBox().getDataReferenceBox().getEntries().empty());
}

TEST(MetaBox, UnknownChildrenKeptAsBytesAreChargedToTheBudget)
{
    // 1000 empty unknown boxes: 8000 bytes of file, but each kept box costs
    // an object and a slot besides its 8 bytes.
    Bytes children;
    for (int i = 0; i < 1000; ++i) {
        children.add(box("xtra"));
    }
    const Bytes file = fullBox("meta", 0, 0, children);
    MemoryBudget budget(3 * file.data().size());
    BitStream input(file.data());
    input.setMemoryBudget(&budget);
    MetaBox meta;
    EXPECT_THROW(meta.parseBox(input), MemoryBudgetExceeded);
}

TEST(MetaBox, ProtectionSchemesByIndex)
{
    const Bytes sinf = box("sinf", Bytes{1, 2, 3});
    const auto meta = parsed<MetaBox>(fullBox("meta", 0, 0, fullBox("ipro", 0, 0, Bytes().u16(1).add(sinf))));
    EXPECT_EQ(meta.getProtectionScheme(0), sinf.data());
    EXPECT_THROW(meta.getProtectionScheme(1), std::out_of_range);
}

TEST(MetaBox, ChildFailuresEndTheParse)
{
    const Bytes badDref = box("dinf", fullBox("dref", 0, 0, Bytes().u32(1).add(box("alis"))));
    EXPECT_THROW(parsed<MetaBox>(fullBox("meta", 0, 0, badDref)), std::runtime_error);
    // A child whose declared size runs past the meta box.
    EXPECT_THROW(parsed<MetaBox>(fullBox("meta", 0, 0, Bytes().u32(64).str("iloc").u32(0))), std::out_of_range);
}

TEST(MetaBox, RoundTrip)
{
    MetaBox out;
    out.setHandlerType("pict");
    out.getPrimaryItemBox().setItemId(2);
    ItemLocation loc;
    loc.setItemId(2);
    loc.setConstructionMethod(1);
    loc.addExtent({0, 1, 2});
    out.getItemLocationBox().addItemLocation(loc);
    out.getItemDataBox().addData({5, 6, 7});
    auto url = std::make_shared<DataEntryUrlBox>();
    url->setFlags(1);
    out.getDataInformationBox().getDataReferenceBox().addEntry(url);

    const auto bytes = written(out);
    EXPECT_EQ(bytes.size(), out.getSize());
    const auto in = parsed<MetaBox>(Bytes().add(bytes));
    EXPECT_EQ(in.getHandlerType(), "pict");
    EXPECT_EQ(in.getPrimaryItemBox().getItemId(), 2u);
    EXPECT_EQ(in.getItemLocationBox().getVersion(), 1);
    const ItemLocation back = in.getItemLocationBox().getItemLocationForID(2);
    EXPECT_EQ(back.getConstructionMethod(), 1u);
    std::vector<std::uint8_t> item;
    in.getItemDataBox().readData(item, back.getExtent(0).extentOffset, back.getExtent(0).extentLength);
    EXPECT_EQ(item, (std::vector<std::uint8_t>{6, 7}));
    EXPECT_EQ(in.getDataInformationBox().getDataReferenceBox().getEntries().size(), 1u);

    // A 'pitm' and an 'idat' set on a parsed box that had neither are written.
    auto bare = parsed<MetaBox>(fullBox("meta", 0, 0, fullBox("hdlr", 0, 0, handlerPayload("pict", ""))));
    bare.getPrimaryItemBox().setItemId(2);
    bare.getItemDataBox().addData({5, 6, 7});
    const auto again = parsed<MetaBox>(Bytes().add(written(bare)));
    EXPECT_TRUE(again.hasPrimaryItemBox());
    EXPECT_EQ(again.getItemDataBox().getData(), (std::vector<std::uint8_t>{5, 6, 7}));
}

}  // namespace
