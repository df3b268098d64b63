#include <gtest/gtest.h>

#include <chrono>
#include <stdexcept>
#include <string>
#include <vector>

#include "heiclib/boxes/item_info_boxes.h"
#include "heiclib/ids.h"
#include "tests/box/test_bytes.h"

using namespace ambrel::heif;

using testbytes::box;
using testbytes::Bytes;
using testbytes::fullBox;
using testbytes::parsed;
using testbytes::written;

namespace {

// An 'infe' of version 2: 16-bit id, protection index, item type, name.
Bytes infeV2(std::uint32_t id, const std::string& type, const std::string& name = "", std::uint32_t flags = 0)
{
    return fullBox("infe", 2, flags, Bytes().u16(id).u16(0).str(type).cstr(name));
}

// ---------------------------------------------------------------------------
// ItemInfoEntry layouts by version

TEST(ItemInfoEntry, Version0ReadsContentTypeAndEncoding)
{
    const auto e = parsed<ItemInfoEntry>(
        fullBox("infe", 0, 0, Bytes().u16(7).u16(2).cstr("name").cstr("text/plain").cstr("gzip")));
    EXPECT_EQ(e.getItemId(), 7u);
    EXPECT_EQ(e.getProtectionIndex(), 2u);
    EXPECT_EQ(e.getItemName(), "name");
    EXPECT_EQ(e.getContentType(), "text/plain");
    EXPECT_EQ(e.getContentEncoding(), "gzip");
    EXPECT_EQ(e.getItemType(), "");
    EXPECT_EQ(e.getItemInfoExtension(), nullptr);
}

TEST(ItemInfoEntry, Version1ReadsTheFileDeliveryExtensionWhateverItsType)
{
    const Bytes payload = Bytes()
                              .u16(3)
                              .u16(0)
                              .cstr("n")
                              .cstr("ct")
                              .cstr("")
                              .str("xxxx")  // not 'fdel', read as such anyway
                              .cstr("http://x")
                              .cstr("md5")
                              .u64(0x100000002ull)
                              .u64(5)
                              .u8(2)
                              .u32(11)
                              .u32(12);
    const auto e = parsed<ItemInfoEntry>(fullBox("infe", 1, 0, payload));
    EXPECT_EQ(e.getExtensionType(), "xxxx");
    const auto* fd = dynamic_cast<const FDItemInfoExtension*>(e.getItemInfoExtension());
    ASSERT_NE(fd, nullptr);
    EXPECT_EQ(fd->getContentLocation(), "http://x");
    EXPECT_EQ(fd->getContentMD5(), "md5");
    EXPECT_EQ(fd->getContentLength(), 0x100000002ull);
    EXPECT_EQ(fd->getTransferLength(), 5u);
    EXPECT_EQ(fd->getGroupIds(), (std::vector<std::uint32_t>{11, 12}));

    // A copy owns its own extension.
    const ItemInfoEntry copy = e;
    ASSERT_NE(copy.getItemInfoExtension(), nullptr);
    EXPECT_NE(copy.getItemInfoExtension(), e.getItemInfoExtension());
    EXPECT_EQ(dynamic_cast<const FDItemInfoExtension*>(copy.getItemInfoExtension())->getGroupIds(), fd->getGroupIds());
}

TEST(ItemInfoEntry, GroupIdCountLargerThanTheDataThrows)
{
    const Bytes payload =
        Bytes().u16(3).u16(0).cstr("").cstr("").cstr("").str("fdel").cstr("").cstr("").u64(0).u64(0).u8(200);
    EXPECT_THROW(parsed<ItemInfoEntry>(fullBox("infe", 1, 0, payload)), std::out_of_range);
}

struct LaterVersionCase
{
    const char* label;
    Bytes bytes;
    std::uint32_t id;
    std::string type, name, contentType, contentEncoding, uriType;
};

TEST(ItemInfoEntry, LaterVersionsReadByItemType)
{
    const std::vector<LaterVersionCase> cases = {
        {"v2 grid reads only the name", infeV2(5, "grid", "g"), 5, "grid", "g", "", "", ""},
        {"v2 mime", fullBox("infe", 2, 0, Bytes().u16(6).u16(0).str("mime").cstr("m").cstr("app/x").cstr("deflate")), 6,
         "mime", "m", "app/x", "deflate", ""},
        {"v2 uri", fullBox("infe", 2, 0, Bytes().u16(8).u16(0).str("uri ").cstr("u").cstr("urn:a")), 8, "uri ", "u", "",
         "", "urn:a"},
        {"v3 32-bit id", fullBox("infe", 3, 0, Bytes().u32(0x12345678).u16(0).str("hvc1").cstr("")), 0x12345678, "hvc1",
         "", "", "", ""},
        {"v4 has no id", fullBox("infe", 4, 0, Bytes().u16(0).str("Exif").cstr("e")), 0, "Exif", "e", "", "", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        auto s = testbytes::stream(c.bytes);
        ItemInfoEntry e;
        e.parseBox(s);
        EXPECT_EQ(s.bytesRemaining(), 0);
        EXPECT_EQ(e.getItemId(), c.id);
        EXPECT_EQ(e.getItemType(), c.type);
        EXPECT_EQ(e.getItemName(), c.name);
        EXPECT_EQ(e.getContentType(), c.contentType);
        EXPECT_EQ(e.getContentEncoding(), c.contentEncoding);
        EXPECT_EQ(e.getItemUriType(), c.uriType);
    }
}

TEST(ItemInfoEntry, Version1RoundTrip)
{
    ItemInfoEntry e;
    e.setVersion(1);
    e.setFlags(1);
    e.setItemId(9);
    e.setItemName("name");
    e.setContentType("image/jpeg");
    e.setExtensionType("fdel");
    auto fd = std::make_unique<FDItemInfoExtension>();
    fd->setContentLength(1ull << 40);
    fd->setGroupIds({1, 2, 3});
    e.setItemInfoExtension(std::move(fd));
    const auto back = parsed<ItemInfoEntry>(Bytes().add(written(e)));
    EXPECT_EQ(back.getFlags(), 1u);
    EXPECT_EQ(back.getItemId(), 9u);
    EXPECT_EQ(back.getContentType(), "image/jpeg");
    const auto* ext = dynamic_cast<const FDItemInfoExtension*>(back.getItemInfoExtension());
    ASSERT_NE(ext, nullptr);
    EXPECT_EQ(ext->getContentLength(), 1ull << 40);
    EXPECT_EQ(ext->getGroupIds(), (std::vector<std::uint32_t>{1, 2, 3}));
}

// ---------------------------------------------------------------------------
// ItemInfoBox

TEST(ItemInfoBox, IdsAscendRegardlessOfFileOrder)
{
    const auto iinf = parsed<ItemInfoBox>(fullBox(
        "iinf", 0, 0, Bytes().u16(3).add(infeV2(5, "Exif")).add(infeV2(2, "hvc1", "", 1)).add(infeV2(3, "hvc1"))));
    EXPECT_EQ(iinf.getItemIds(), (std::vector<std::uint32_t>{2, 3, 5}));
    EXPECT_EQ(iinf.getEntryCount(), 3u);
    EXPECT_EQ(iinf.getItemById(5).getItemType(), "Exif");
    EXPECT_EQ(iinf.getItemById(2).getFlags(), 1u);  // hidden
    EXPECT_EQ(iinf.countItemsOfType("hvc1"), 2u);
    EXPECT_EQ(iinf.countItemsOfType("grid"), 0u);
    const auto hvc = iinf.getItemsOfType("hvc1");
    ASSERT_EQ(hvc.size(), 2u);
    EXPECT_EQ(hvc[1].getItemId(), 3u);
    ASSERT_NE(iinf.getItemOfType("hvc1", 1), nullptr);
    EXPECT_EQ(iinf.getItemOfType("hvc1", 1)->getItemId(), 3u);
    EXPECT_EQ(iinf.getItemOfType("hvc1", 2), nullptr);
}

TEST(ItemInfoBox, AbsentIdThrowsNamedError)
{
    const auto iinf = parsed<ItemInfoBox>(fullBox("iinf", 0, 0, Bytes().u16(1).add(infeV2(1, "hvc1"))));
    try {
        iinf.getItemById(2);
        FAIL() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Requested ItemInfoEntry not found.");
    }
}

// An 'infe' of version 2 of type "mime" as phones write it: content type, and
// no content encoding at all (not even its zero byte).
Bytes mimeWithoutEncoding(std::uint32_t id)
{
    return fullBox("infe", 2, 0, Bytes().u16(id).u16(0).str("mime").cstr("XMP").cstr("application/rdf+xml"));
}

TEST(ItemInfoBox, MimeEntryWithoutContentEncodingKeepsTheNextEntriesExact)
{
    const Bytes bytes = fullBox("iinf", 0, 0,
                                Bytes()
                                    .u16(4)
                                    .add(mimeWithoutEncoding(1))
                                    .add(infeV2(2, "Exif"))
                                    .add(infeV2(3, "hvc1"))
                                    .add(mimeWithoutEncoding(4)));
    const auto iinf = parsed<ItemInfoBox>(bytes);
    EXPECT_EQ(iinf.getItemIds(), (std::vector<std::uint32_t>{1, 2, 3, 4}));
    EXPECT_EQ(iinf.getItemById(1).getItemType(), "mime");
    EXPECT_EQ(iinf.getItemById(1).getContentType(), "application/rdf+xml");
    EXPECT_EQ(iinf.getItemById(1).getContentEncoding(), "");
    EXPECT_EQ(iinf.getItemById(2).getItemType(), "Exif");
    EXPECT_EQ(iinf.getItemById(3).getItemType(), "hvc1");
    EXPECT_EQ(iinf.getItemById(4).getContentType(), "application/rdf+xml");
    auto copy = iinf;  // the absent encoding stays absent
    EXPECT_EQ(written(copy), bytes.data());
}

TEST(ItemInfoBox, EntryTrailingBytesAreSkipped)
{
    // Bytes after an entry's last field belong to that entry, not to the next.
    Bytes padded = fullBox("infe", 2, 0, Bytes().u16(1).u16(0).str("hvc1").cstr("a").u8(0x41).u8(0x42).u8(0));
    const Bytes version0 = fullBox("infe", 0, 0, Bytes().u16(5).u16(0).cstr("n").cstr("text/plain"));
    const auto iinf =
        parsed<ItemInfoBox>(fullBox("iinf", 1, 0, Bytes().u32(3).add(padded).add(version0).add(infeV2(4, "grid"))));
    EXPECT_EQ(iinf.getItemIds(), (std::vector<std::uint32_t>{1, 4, 5}));
    EXPECT_EQ(iinf.getItemById(1).getItemName(), "a");
    EXPECT_EQ(iinf.getItemById(4).getItemType(), "grid");
    EXPECT_EQ(iinf.getItemById(5).getContentType(), "text/plain");
    EXPECT_EQ(iinf.getItemById(5).getContentEncoding(), "");
}

TEST(ItemInfoBox, EntryWhoseFieldsRunPastItsSizeIsDroppedAlone)
{
    // The first entry's size ends inside its name; the second is still read.
    Bytes first = infeV2(1, "hvc1", "abc");
    Bytes cut = Bytes().u32(static_cast<std::uint32_t>(first.size() - 2));
    for (std::size_t i = 4; i < first.size() - 2; ++i) {
        cut.u8(first.data()[i]);
    }
    const auto iinf = parsed<ItemInfoBox>(fullBox("iinf", 1, 0, Bytes().u32(2).add(cut).add(infeV2(4, "grid"))));
    EXPECT_EQ(iinf.getItemIds(), (std::vector<std::uint32_t>{4}));
}

TEST(ItemInfoBox, EntryCutShortIsDropped)
{
    const Bytes twoEntries = Bytes().add(infeV2(1, "hvc1")).add(infeV2(2, "hvc1"));
    const struct
    {
        const char* label;
        Bytes tail;
    } cases[] = {
        {"count says 3, data holds 2", Bytes()},
        {"third entry header cut", Bytes().u32(20).str("in")},
        {"third entry name unterminated", fullBox("infe", 2, 0, Bytes().u16(3).u16(0).str("hvc1").str("abc"))},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        const auto iinf = parsed<ItemInfoBox>(fullBox("iinf", 0, 0, Bytes().u16(3).add(twoEntries).add(c.tail)));
        EXPECT_EQ(iinf.getItemIds(), (std::vector<std::uint32_t>{1, 2}));
    }
}

TEST(ItemInfoBox, HugeCountEndsWithTheData)
{
    const auto start = std::chrono::steady_clock::now();
    const auto iinf = parsed<ItemInfoBox>(fullBox("iinf", 1, 0, Bytes().u32(0xFFFFFFFF).add(infeV2(1, "hvc1"))));
    EXPECT_EQ(iinf.getEntryCount(), 1u);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
}

TEST(ItemInfoBox, DuplicateIdKeepsFirstEntry)
{
    const auto iinf = parsed<ItemInfoBox>(
        fullBox("iinf", 0, 0, Bytes().u16(2).add(infeV2(1, "hvc1", "first")).add(infeV2(1, "grid", "second"))));
    EXPECT_EQ(iinf.getEntryCount(), 1u);
    EXPECT_EQ(iinf.getItemById(1).getItemName(), "first");
}

TEST(ItemInfoBox, MissingCountIsNotCaught)
{
    EXPECT_THROW(parsed<ItemInfoBox>(fullBox("iinf", 1, 0, Bytes().u16(0))), std::out_of_range);
}

TEST(ItemInfoBox, RoundTripKeepsCountWidthByVersion)
{
    for (const std::uint8_t version : {std::uint8_t(0), std::uint8_t(1)}) {
        SCOPED_TRACE(int(version));
        ItemInfoBox iinf(version);
        ItemInfoEntry e;
        e.setVersion(2);
        e.setItemId(4);
        e.setItemType("mime");
        e.setContentType("application/rdf+xml");
        iinf.addItemInfoEntry(e);
        const auto bytes = written(iinf);
        EXPECT_EQ(bytes.size(), 12u + (version == 0 ? 2u : 4u) + (12u + 2 + 2 + 4 + 1 + 20 + 1));
        const auto back = parsed<ItemInfoBox>(Bytes().add(bytes));
        EXPECT_EQ(back.getItemById(4).getContentType(), "application/rdf+xml");
    }
}

// ---------------------------------------------------------------------------
// ItemReferenceBox

TEST(ItemReferenceBox, Version0Reads16BitIds)
{
    const auto iref = parsed<ItemReferenceBox>(fullBox(
        "iref", 0, 0,
        box("dimg", Bytes().u16(1).u16(3).u16(2).u16(3).u16(4)).add(box("thmb", Bytes().u16(5).u16(1).u16(1)))));
    ASSERT_EQ(iref.getReferences().size(), 2u);
    const auto dimg = iref.getReferencesOfType("dimg");
    ASSERT_EQ(dimg.size(), 1u);
    EXPECT_EQ(dimg[0].getReferenceType(), FourCCInt("dimg"));
    EXPECT_EQ(dimg[0].getFromItemId(), 1u);
    EXPECT_EQ(dimg[0].getToItemIds(), (std::vector<std::uint32_t>{2, 3, 4}));
    EXPECT_TRUE(iref.getReferencesOfType("cdsc").empty());
}

TEST(ItemReferenceBox, Version1Reads32BitIdsAndDoesNotMerge)
{
    const auto iref = parsed<ItemReferenceBox>(fullBox(
        "iref", 1, 0,
        box("cdsc", Bytes().u32(0x10001).u16(1).u32(0x20002)).add(box("cdsc", Bytes().u32(0x10001).u16(1).u32(7)))));
    const auto cdsc = iref.getReferencesOfType("cdsc");
    ASSERT_EQ(cdsc.size(), 2u);
    EXPECT_EQ(cdsc[0].getFromItemId(), 0x10001u);
    EXPECT_EQ(cdsc[0].getToItemIds(), (std::vector<std::uint32_t>{0x20002}));
    EXPECT_EQ(cdsc[1].getToItemIds(), (std::vector<std::uint32_t>{7}));
}

TEST(ItemReferenceBox, EachReferenceIsBoundedByItsSize)
{
    // Bytes after a reference's last id are skipped; the next reference starts
    // where the size says.
    const auto iref = parsed<ItemReferenceBox>(
        fullBox("iref", 0, 0,
                box("cdsc", Bytes().u16(2).u16(1).u16(1).u16(0xBEEF)).add(box("thmb", Bytes().u16(3).u16(1).u16(1)))));
    ASSERT_EQ(iref.getReferences().size(), 2u);
    EXPECT_EQ(iref.getReferences()[0].getToItemIds(), (std::vector<std::uint32_t>{1}));
    EXPECT_EQ(iref.getReferences()[1].getReferenceType(), FourCCInt("thmb"));
    EXPECT_EQ(iref.getReferences()[1].getFromItemId(), 3u);

    // A size of 0 bounds nothing and is refused.
    EXPECT_THROW(parsed<ItemReferenceBox>(fullBox("iref", 0, 0, Bytes().u32(0).str("auxl").u16(2).u16(1).u16(1))),
                 std::out_of_range);
}

TEST(ItemReferenceBox, HostileOrShortReferencesThrow)
{
    const struct
    {
        const char* label;
        Bytes payload;
    } cases[] = {
        {"count far beyond the data", box("dimg", Bytes().u16(1).u16(0xFFFF).u16(2))},
        {"from id cut short", Bytes().u32(9).str("dimg").u8(1)},
        {"last to id cut short", box("dimg", Bytes().u16(1).u16(2).u16(2).u8(3))},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        EXPECT_THROW(parsed<ItemReferenceBox>(fullBox("iref", 0, 0, c.payload)), std::out_of_range);
    }
}

TEST(ItemReferenceBox, AddMergesAndRefusesLargeIdsInVersion0)
{
    ItemReferenceBox iref;
    iref.add("dimg", 1, 2);
    iref.add("dimg", 1, 3);
    iref.add("thmb", 4, 1);
    ASSERT_EQ(iref.getReferences().size(), 2u);
    EXPECT_EQ(iref.getReferences()[0].getToItemIds(), (std::vector<std::uint32_t>{2, 3}));
    for (const auto& ids : {std::pair<std::uint32_t, std::uint32_t>{0x10000, 1}, {1, 0x10000}}) {
        try {
            iref.add("dimg", ids.first, ids.second);
            FAIL() << "no exception";
        } catch (const std::runtime_error& e) {
            EXPECT_STREQ(e.what(), "ItemReferenceBox::add can not add large item IDs to box version 0");
        }
    }
    ItemReferenceBox large(1);
    large.add("dimg", 0x10000, 0x20000);
    const auto back = parsed<ItemReferenceBox>(Bytes().add(written(large)));
    ASSERT_EQ(back.getReferences().size(), 1u);
    EXPECT_EQ(back.getReferences()[0].getToItemIds(), (std::vector<std::uint32_t>{0x20000}));
}

TEST(ItemReferenceBox, EmptyBoxWritesNothing)
{
    ItemReferenceBox iref;
    EXPECT_TRUE(written(iref).empty());
    iref.add("auxl", 2, 1);
    EXPECT_EQ(Bytes().add(written(iref)).data(),
              fullBox("iref", 0, 0, box("auxl", Bytes().u16(2).u16(1).u16(1))).data());
}

// ---------------------------------------------------------------------------
// GroupsListBox and EntityToGroupBox

TEST(GroupsListBox, EachChildIsAGroupOfItsType)
{
    const auto grpl = parsed<GroupsListBox>(box("grpl", fullBox("altr", 0, 0, Bytes().u32(100).u32(2).u32(1).u32(2))
                                                            .add(fullBox("ster", 0, 0, Bytes().u32(101).u32(0)))));
    const auto& groups = grpl.getEntityGroups();
    ASSERT_EQ(groups.size(), 2u);
    EXPECT_EQ(groups[0].getGroupingType(), FourCCInt("altr"));
    EXPECT_EQ(groups[0].getGroupId(), 100u);
    EXPECT_EQ(groups[0].getEntityIds(), (std::vector<std::uint32_t>{1, 2}));
    EXPECT_EQ(groups[1].getGroupingType(), FourCCInt("ster"));
    EXPECT_TRUE(groups[1].getEntityIds().empty());
}

TEST(EntityToGroupBox, NewGroupTakesItsIdFromTheCounter)
{
    resetIdCounter();
    EntityToGroupBox first;
    EntityToGroupBox second("ster");
    EXPECT_EQ(first.getGroupingType(), FourCCInt("altr"));
    EXPECT_EQ(first.getGroupId(), 20000u);
    EXPECT_EQ(second.getGroupId(), 20001u);
    resetIdCounter();
}

TEST(EntityToGroupBox, HugeEntityCountThrows)
{
    const auto start = std::chrono::steady_clock::now();
    EXPECT_THROW(parsed<EntityToGroupBox>(fullBox("altr", 0, 0, Bytes().u32(1).u32(0xFFFFFFFF).u32(5))),
                 std::out_of_range);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
}

// ---------------------------------------------------------------------------
// ItemProtectionBox

TEST(ItemProtectionBox, StoresWholeSchemeBoxes)
{
    const Bytes sinf1 = box("sinf", box("frma", Bytes().str("hvc1")));
    const Bytes sinf2 = box("sinf");
    const auto ipro = parsed<ItemProtectionBox>(fullBox("ipro", 0, 0, Bytes().u16(2).add(sinf1).add(sinf2)));
    EXPECT_EQ(ipro.getProtectionCount(), 2u);
    EXPECT_EQ(ipro.getProtectionScheme(0), sinf1.data());
    EXPECT_EQ(ipro.getProtectionScheme(1), sinf2.data());
    EXPECT_THROW(ipro.getProtectionScheme(2), std::out_of_range);
}

TEST(ItemProtectionBox, HostileCountOrChildThrows)
{
    EXPECT_THROW(parsed<ItemProtectionBox>(fullBox("ipro", 0, 0, Bytes().u16(0xFFFF).add(box("sinf")))),
                 std::out_of_range);
    // A child reaching past the parent.
    EXPECT_THROW(parsed<ItemProtectionBox>(fullBox("ipro", 0, 0, Bytes().u16(1).u32(40).str("sinf"))),
                 std::out_of_range);
}

TEST(ItemProtectionBox, RoundTrip)
{
    ItemProtectionBox ipro;
    const std::vector<std::uint8_t> scheme = box("sinf", Bytes().u32(7));
    EXPECT_EQ(ipro.addProtectionScheme(scheme), 0u);
    EXPECT_EQ(ipro.addProtectionScheme(scheme), 1u);
    const auto back = parsed<ItemProtectionBox>(Bytes().add(written(ipro)));
    EXPECT_EQ(back.getProtectionCount(), 2u);
    EXPECT_EQ(back.getProtectionScheme(1), scheme);
}

}  // namespace
