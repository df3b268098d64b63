// The HEIF builder on synthetic item data: the files are read back with
// heiclib's own box parsers, and every item's bytes are gathered through
// 'iloc' exactly as a reader would, so wrong offsets show up without any
// external program.
#include <gtest/gtest.h>

#include <numeric>

#include "heiclib/boxes/file_meta_boxes.h"
#include "tests/fixtures/heif_builder.h"

using namespace ambrel::heif;

namespace fixture {
namespace {

struct RootBox
{
    FourCCInt type;
    std::uint32_t offset = 0;
    BitStream stream;
};

std::vector<RootBox> rootBoxes(const Bytes& file)
{
    BitStream input(file);
    std::vector<RootBox> boxes;
    while (input.bytesRemaining() > 0) {
        RootBox box;
        box.offset = input.getBytePosition();
        box.stream = input.readChildBox(box.type);
        boxes.push_back(std::move(box));
    }
    return boxes;
}

std::vector<std::string> rootTypes(const Bytes& file)
{
    std::vector<std::string> types;
    for (const auto& box : rootBoxes(file)) {
        types.push_back(box.type.getString());
    }
    return types;
}

MetaBox parseMeta(const Bytes& file)
{
    for (auto& box : rootBoxes(file)) {
        if (box.type == FourCCInt("meta")) {
            MetaBox meta;
            meta.parseBox(box.stream);
            return meta;
        }
    }
    throw std::runtime_error("no meta box");
}

// The item's bytes, gathered through its 'iloc' record.
Bytes itemBytes(const Bytes& file, const MetaBox& meta, std::uint32_t id)
{
    const ItemLocation location = meta.getItemLocationBox().getItemLocationForID(id);
    Bytes out;
    for (const auto& extent : location.getExtentList()) {
        const std::uint64_t offset = location.getBaseOffset() + extent.extentOffset;
        if (location.getConstructionMethod() == 1) {
            meta.getItemDataBox().readData(out, offset, extent.extentLength);
        } else {
            EXPECT_EQ(location.getConstructionMethod(), 0u);
            EXPECT_LE(offset + extent.extentLength, file.size());
            out.insert(out.end(), file.begin() + static_cast<std::ptrdiff_t>(offset),
                       file.begin() + static_cast<std::ptrdiff_t>(offset + extent.extentLength));
        }
    }
    return out;
}

Bytes pattern(std::size_t size, std::uint8_t seed)
{
    Bytes bytes(size);
    for (std::size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<std::uint8_t>(seed + i * 7 + i / 251);
    }
    return bytes;
}

ItemDescription item(std::uint32_t id, const std::string& type, Bytes data)
{
    ItemDescription desc;
    desc.id = id;
    desc.type = type;
    desc.data = std::move(data);
    return desc;
}

HeifBuilder threeItems()
{
    HeifBuilder builder;
    builder.addItem(item(1, "hvc1", pattern(300, 1)));
    ItemDescription exif = item(2, "Exif", exifPayload(makeExifBlock(6)));
    builder.addItem(exif);
    ItemDescription xmp = item(3, "mime", pattern(50, 9));
    xmp.contentType = "application/rdf+xml";
    xmp.hidden = true;
    xmp.name = "XMP";
    builder.addItem(xmp);
    builder.setPrimary(1);
    builder.addReference("cdsc", 2, {1});
    builder.addReference("cdsc", 3, {1});
    builder.ispe(1, 64, 48);
    return builder;
}

TEST(HeifBuilder, DefaultFileHasFtypMetaMdat)
{
    const HeifBuilder builder = threeItems();
    const Bytes file = builder.build();
    EXPECT_EQ(rootTypes(file), (std::vector<std::string>{"ftyp", "meta", "mdat"}));

    BitStream ftypStream = rootBoxes(file)[0].stream;
    FileTypeBox ftyp;
    ftyp.parseBox(ftypStream);
    EXPECT_EQ(ftyp.getMajorBrand(), "heic");
    EXPECT_EQ(ftyp.getMinorVersion(), 0u);
    EXPECT_EQ(ftyp.getCompatibleBrands(), (std::vector<std::string>{"mif1", "heic"}));

    const MetaBox meta = parseMeta(file);
    EXPECT_EQ(meta.getHandlerType(), "pict");
    EXPECT_EQ(meta.getPrimaryItemBox().getItemId(), 1u);
    EXPECT_EQ(meta.getItemInfoBox().getVersion(), 0);
    EXPECT_EQ(meta.getItemInfoBox().getItemIds(), (std::vector<std::uint32_t>{1, 2, 3}));
    EXPECT_EQ(meta.getItemLocationBox().getVersion(), 0);
    EXPECT_EQ(meta.getDataInformationBox().getDataReferenceBox().getEntries().size(), 1u);

    const ItemInfoEntry xmp = meta.getItemInfoBox().getItemById(3);
    EXPECT_EQ(xmp.getVersion(), 2);
    EXPECT_EQ(xmp.getFlags(), 1u);
    EXPECT_EQ(xmp.getItemType(), "mime");
    EXPECT_EQ(xmp.getItemName(), "XMP");
    EXPECT_EQ(xmp.getContentType(), "application/rdf+xml");
    EXPECT_EQ(meta.getItemInfoBox().getItemById(1).getFlags(), 0u);

    const auto cdsc = meta.getItemReferenceBox().getReferencesOfType(FourCCInt("cdsc"));
    ASSERT_EQ(cdsc.size(), 2u);
    EXPECT_EQ(cdsc[0].getFromItemId(), 2u);
    EXPECT_EQ(cdsc[0].getToItemIds(), (std::vector<std::uint32_t>{1}));

    for (const auto& desc : builder.items()) {
        EXPECT_EQ(itemBytes(file, meta, desc.id), desc.data) << "item " << desc.id;
    }
}

TEST(HeifBuilder, ItemBytesSurviveEveryLayout)
{
    struct Layout
    {
        const char* name;
        unsigned extents;
        bool reverse;
        bool baseOffset;
        bool mdatFirst;
        std::uint32_t padding;
        std::uint8_t fieldSize;
        bool extraRootBoxes;
    };
    const Layout layouts[] = {
        {"plain", 1, false, false, false, 0, 4, false},
        {"three extents", 3, false, false, false, 0, 4, false},
        {"three extents stored backwards", 3, true, false, false, 0, 4, false},
        {"base offset", 2, true, true, false, 0, 4, false},
        {"mdat first", 2, false, false, true, 0, 4, false},
        {"mdat first with base offset", 2, true, true, true, 0, 4, false},
        {"padding and extra root boxes", 1, false, false, false, 77, 4, true},
        {"8-byte fields", 4, true, true, false, 5, 8, true},
    };
    for (const auto& layout : layouts) {
        SCOPED_TRACE(layout.name);
        HeifBuilder builder = threeItems();
        builder.item(1).extentCount = layout.extents;
        builder.item(1).reverseExtentStorage = layout.reverse;
        builder.item(3).extentCount = layout.extents;
        builder.setUseBaseOffset(layout.baseOffset);
        builder.setMdatFirst(layout.mdatFirst);
        builder.setMdatPadding(layout.padding);
        builder.setIlocFieldSizes(layout.fieldSize, layout.fieldSize, layout.fieldSize);
        if (layout.extraRootBoxes) {
            builder.addRootBox(makeBox("free", Bytes(13)), RootPosition::AfterFtyp);
            builder.addRootBox(makeBox("abcd", Bytes(3)), RootPosition::AfterMeta);
            builder.addRootBox(makeBox("skip", Bytes(1)), RootPosition::AtEnd);
        }
        const Bytes file = builder.build();
        const MetaBox meta = parseMeta(file);
        const ItemLocation location = meta.getItemLocationBox().getItemLocationForID(1);
        EXPECT_EQ(location.getExtentCount(), layout.extents);
        EXPECT_EQ(location.getBaseOffset() != 0, layout.baseOffset);
        EXPECT_EQ(meta.getItemLocationBox().getOffsetSize(), layout.fieldSize);
        for (const auto& desc : builder.items()) {
            EXPECT_EQ(itemBytes(file, meta, desc.id), desc.data) << "item " << desc.id;
        }
        // The placement report agrees with the file.
        const auto placement = builder.lastPlacement(1);
        ASSERT_EQ(placement.size(), layout.extents);
        if (layout.reverse && layout.extents > 1) {
            EXPECT_GT(placement[0].offset, placement[1].offset);
        }
        std::uint64_t total = 0;
        for (const auto& extent : placement) {
            total += extent.length;
        }
        EXPECT_EQ(total, builder.items()[0].data.size());
    }
}

TEST(HeifBuilder, RootBoxOrder)
{
    HeifBuilder builder = threeItems();
    builder.addRootBox(makeBox("free", {}), RootPosition::AfterFtyp);
    builder.addRootBox(makeBox("zzzz", {1}), RootPosition::AfterMeta);
    builder.addRootBox(makeFullBox("meta", 0, 0, {}), RootPosition::AtEnd);
    EXPECT_EQ(rootTypes(builder.build()), (std::vector<std::string>{"ftyp", "free", "meta", "zzzz", "mdat", "meta"}));
    builder.setMdatFirst(true);
    EXPECT_EQ(rootTypes(builder.build()), (std::vector<std::string>{"ftyp", "free", "mdat", "meta", "zzzz", "meta"}));
}

TEST(HeifBuilder, IdatItemsUseConstructionMethodOne)
{
    HeifBuilder builder = threeItems();
    builder.item(2).storage = Storage::Idat;
    builder.item(3).storage = Storage::Idat;
    builder.item(3).extentCount = 2;
    const Bytes file = builder.build();
    const MetaBox meta = parseMeta(file);
    EXPECT_EQ(meta.getItemLocationBox().getVersion(), 1);
    EXPECT_EQ(meta.getItemLocationBox().getItemLocationForID(1).getConstructionMethod(), 0u);
    EXPECT_EQ(meta.getItemLocationBox().getItemLocationForID(2).getConstructionMethod(), 1u);
    EXPECT_EQ(meta.getItemDataBox().getData().size(), builder.items()[1].data.size() + builder.items()[2].data.size());
    for (const auto& desc : builder.items()) {
        EXPECT_EQ(itemBytes(file, meta, desc.id), desc.data) << "item " << desc.id;
    }
}

TEST(HeifBuilder, OnlyIdatItemsWriteNoMdat)
{
    HeifBuilder builder;
    ItemDescription grid = item(1, "grid", gridPayload(0, 1, 100, 50));
    grid.storage = Storage::Idat;
    builder.addItem(grid).setPrimary(1);
    const Bytes file = builder.build();
    EXPECT_EQ(rootTypes(file), (std::vector<std::string>{"ftyp", "meta"}));
    EXPECT_EQ(itemBytes(file, parseMeta(file), 1), grid.data);
}

TEST(HeifBuilder, LargeIdsWidenEveryIdField)
{
    HeifBuilder builder;
    builder.addItem(item(70000, "hvc1", pattern(40, 3)));
    builder.addItem(item(70001, "Exif", exifPayload(makeExifBlock(1))));
    builder.setPrimary(70000);
    builder.addReference("cdsc", 70001, {70000});
    builder.ispe(70000, 8, 8);
    const Bytes file = builder.build();
    const MetaBox meta = parseMeta(file);
    EXPECT_EQ(meta.getPrimaryItemBox().getVersion(), 1);
    EXPECT_EQ(meta.getPrimaryItemBox().getItemId(), 70000u);
    EXPECT_EQ(meta.getItemInfoBox().getItemById(70000).getVersion(), 3);
    EXPECT_EQ(meta.getItemLocationBox().getVersion(), 2);
    EXPECT_EQ(meta.getItemReferenceBox().getVersion(), 1);
    const auto cdsc = meta.getItemReferenceBox().getReferencesOfType(FourCCInt("cdsc"));
    ASSERT_EQ(cdsc.size(), 1u);
    EXPECT_EQ(cdsc[0].getFromItemId(), 70001u);
    EXPECT_EQ(cdsc[0].getToItemIds(), (std::vector<std::uint32_t>{70000}));
    EXPECT_EQ(meta.getItemPropertiesBox().getItemPropertyAssociation().getVersion(), 1);
    EXPECT_EQ(meta.getItemPropertiesBox().getItemProperties(70000).size(), 1u);
    EXPECT_EQ(itemBytes(file, meta, 70000), pattern(40, 3));
}

TEST(HeifBuilder, ForcedVersions)
{
    HeifBuilder builder = threeItems();
    builder.setIinfVersion(1).setIlocVersion(2).setIrefVersion(1);
    builder.item(1).infeVersion = 3;
    const Bytes file = builder.build();
    const MetaBox meta = parseMeta(file);
    EXPECT_EQ(meta.getItemInfoBox().getVersion(), 1);
    EXPECT_EQ(meta.getItemInfoBox().getItemById(1).getVersion(), 3);
    EXPECT_EQ(meta.getItemLocationBox().getVersion(), 2);
    EXPECT_EQ(meta.getItemReferenceBox().getVersion(), 1);
    EXPECT_EQ(meta.getItemReferenceBox().getReferencesOfType(FourCCInt("cdsc")).size(), 2u);
    EXPECT_EQ(itemBytes(file, meta, 1), builder.items()[0].data);
}

TEST(HeifBuilder, PropertiesKeepTheirPositions)
{
    HeifBuilder builder;
    builder.addItem(item(1, "hvc1", pattern(10, 0)));
    builder.addItem(item(2, "hvc1", pattern(10, 1)));
    builder.setPrimary(1);
    HevcDecoderConfigRecord record;
    record.setGeneralProfileIdc(1);
    record.setLengthSizeMinusOne(3);
    record.addNalUnit({0x40, 0x01, 0x0c}, 32, 1);
    EXPECT_EQ(builder.hvcC({1, 2}, record), 0u);
    EXPECT_EQ(builder.ispe(1, 64, 64), 1u);
    EXPECT_EQ(builder.ispe(2, 64, 64), 1u) << "an equal ispe is shared";
    EXPECT_EQ(builder.colr({1}, 1, 13, 6, true), 2u);
    EXPECT_EQ(builder.irot(1, 270), 3u);
    EXPECT_EQ(builder.imir(1, 1), 4u);
    EXPECT_EQ(builder.clap(2, {32, 1}, {30, 1}, {0, 1}, {0, 1}), 5u);
    const std::uint32_t raw = builder.addRawProperty(makeFullBox("pixi", 0, 0, {3, 8, 8, 8}), {2}, false);
    EXPECT_EQ(raw, 6u);
    builder.associate(raw, {1}, false);

    const MetaBox meta = parseMeta(builder.build());
    const ItemPropertiesBox& properties = meta.getItemPropertiesBox();
    EXPECT_EQ(properties.getItemPropertyContainer().getPropertyCount(), 7u);
    const auto first = properties.getItemProperties(1);
    ASSERT_EQ(first.size(), 6u);
    EXPECT_EQ(first[0].type, ItemPropertyType::Hvcc);
    EXPECT_TRUE(first[0].essential);
    EXPECT_EQ(first[1].type, ItemPropertyType::Ispe);
    EXPECT_FALSE(first[1].essential);
    EXPECT_EQ(first[2].type, ItemPropertyType::Raw);  // colr
    EXPECT_EQ(first[3].type, ItemPropertyType::Irot);
    EXPECT_TRUE(first[3].essential);
    EXPECT_EQ(first[4].type, ItemPropertyType::Imir);
    EXPECT_EQ(first[5].index, 6u);
    const auto second = properties.getItemProperties(2);
    ASSERT_EQ(second.size(), 4u);
    EXPECT_EQ(second[2].type, ItemPropertyType::Clap);

    auto rotation = std::dynamic_pointer_cast<ImageRotation>(properties.getPropertyByIndex(3));
    ASSERT_TRUE(rotation);
    EXPECT_EQ(rotation->getAngle(), 270);
    auto mirror = std::dynamic_pointer_cast<ImageMirror>(properties.getPropertyByIndex(4));
    ASSERT_TRUE(mirror);
    EXPECT_TRUE(mirror->getAxis());
    auto config = std::dynamic_pointer_cast<HevcConfigurationBox>(properties.getPropertyByIndex(0));
    ASSERT_TRUE(config);
    EXPECT_EQ(config->getConfiguration().getGeneralProfileIdc(), 1);
    EXPECT_EQ(config->getConfiguration().getNalUnitArrays().size(), 1u);
}

TEST(HeifBuilder, MimeEntryWithoutContentEncoding)
{
    HeifBuilder last;
    auto build = [&last](bool omit) {
        HeifBuilder builder;
        ItemDescription xmp;
        xmp.id = 1;
        xmp.type = "mime";
        xmp.contentType = "application/rdf+xml";
        xmp.omitContentEncoding = omit;
        xmp.data = {'<', 'x', '/', '>'};
        builder.addItem(xmp);
        ItemDescription exif;
        exif.id = 2;
        exif.type = "Exif";
        exif.data = {0, 0, 0, 0, 'E', 'x', 'i', 'f', 0, 0};
        builder.addItem(exif);
        Bytes file = builder.build();
        last = builder;
        return file;
    };
    const Bytes with = build(false);
    const Bytes without = build(true);
    ASSERT_EQ(without.size() + 1, with.size());
    // The content type's terminator is followed directly by the next 'infe'.
    const std::string text(without.begin(), without.end());
    const auto type = text.find("application/rdf+xml");
    ASSERT_NE(type, std::string::npos);
    EXPECT_EQ(text.substr(type + 20 + 4, 4), "infe");
    // The items' bytes are where the placement (and so 'iloc') says,
    // although the meta box before them shrank.
    for (std::uint32_t id : {1u, 2u}) {
        const auto placement = last.lastPlacement(id);
        ASSERT_EQ(placement.size(), 1u);
        const auto begin = without.begin() + static_cast<std::ptrdiff_t>(placement[0].offset);
        EXPECT_EQ(Bytes(begin, begin + static_cast<std::ptrdiff_t>(placement[0].length)), last.item(id).data);
    }
}

TEST(HeifBuilder, RefusesDuplicateAndZeroIds)
{
    HeifBuilder builder;
    builder.addItem(item(1, "hvc1", {1}));
    EXPECT_THROW(builder.addItem(item(1, "hvc1", {1})), std::invalid_argument);
    EXPECT_THROW(builder.addItem(item(0, "hvc1", {1})), std::invalid_argument);
    builder.item(1).extentCount = 2;  // one byte cannot be two extents
    EXPECT_THROW(builder.build(), std::invalid_argument);
}

TEST(Payloads, Grid)
{
    EXPECT_EQ(gridPayload(1, 2, 300, 200), (Bytes{0, 0, 1, 2, 0x01, 0x2c, 0x00, 0xc8}));
    EXPECT_EQ(gridPayload(0, 0, 70000, 10), (Bytes{0, 1, 0, 0, 0, 0x01, 0x11, 0x70, 0, 0, 0, 10}));
}

TEST(Payloads, Overlay)
{
    EXPECT_EQ(overlayPayload({1, 2, 3, 0xFFFF}, 100, 50, {{10, -2}}),
              (Bytes{0, 0, 0, 1, 0, 2, 0, 3, 0xFF, 0xFF, 0, 100, 0, 50, 0, 10, 0xFF, 0xFE}));
    const Bytes large = overlayPayload({0, 0, 0, 0}, 10, 10, {{70000, 0}});
    EXPECT_EQ(large[1], 1);
    EXPECT_EQ(large.size(), 2u + 8u + 8u + 8u);
}

TEST(Payloads, ExifBlockHoldsOrientation)
{
    const Bytes big = makeExifBlock(6);
    EXPECT_EQ(big, (Bytes{'M', 'M', 0, 42, 0, 0, 0, 8, 0, 1, 0x01, 0x12, 0, 3, 0, 0, 0, 1, 0, 6, 0, 0, 0, 0, 0, 0}));
    const Bytes little = makeExifBlock(8, true);
    EXPECT_EQ(little, (Bytes{'I', 'I', 42, 0, 8, 0, 0, 0, 1, 0, 0x12, 0x01, 3, 0, 1, 0, 0, 0, 8, 0, 0, 0, 0, 0, 0, 0}));

    const Bytes item = exifPayload(big);
    EXPECT_EQ(Bytes(item.begin(), item.begin() + 10), (Bytes{0, 0, 0, 6, 'E', 'x', 'i', 'f', 0, 0}));
    EXPECT_EQ(Bytes(item.begin() + 10, item.end()), big);
    const Bytes bare = exifPayload(big, false);
    EXPECT_EQ(Bytes(bare.begin(), bare.begin() + 6), (Bytes{0, 0, 0, 0, 'M', 'M'}));
}

TEST(Payloads, Boxes)
{
    EXPECT_EQ(makeBox("free", {7}), (Bytes{0, 0, 0, 9, 'f', 'r', 'e', 'e', 7}));
    EXPECT_EQ(makeFullBox("pixi", 1, 0x010203, {}), (Bytes{0, 0, 0, 12, 'p', 'i', 'x', 'i', 1, 1, 2, 3}));
    EXPECT_EQ(colrNclx(1, 13, 6, true),
              (Bytes{0, 0, 0, 19, 'c', 'o', 'l', 'r', 'n', 'c', 'l', 'x', 0, 1, 0, 13, 0, 6, 0x80}));
    EXPECT_THROW(makeBox("toolong", {}), std::invalid_argument);
    EXPECT_THROW(RawBox(Bytes{0, 0, 0}), std::invalid_argument);
}

}  // namespace
}  // namespace fixture
