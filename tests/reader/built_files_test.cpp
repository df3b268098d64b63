// The reader on files built by the fixture writer: the meta context, item
// data in its forms, the root walk, and image sequence tracks.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <sstream>

#include "heiclib/boxes/file_meta_boxes.h"
#include "heiclib/boxes/item_location_boxes.h"
#include "heiclib/ids.h"
#include "heiclib/log.h"
#include "heiclib/model/image_model.h"
#include "heiclib/reader/hevc_image_file_reader.h"
#include "tests/box/test_bytes.h"
#include "tests/fixtures/heif_builder.h"
#include "tests/fixtures/heif_samples.h"

using namespace ambrel::heif;

using fixture::Bytes;
using fixture::HeifBuilder;
using fixture::ItemDescription;

namespace {

// NAL unit headers: type in bits 1..6 of the first byte.
const Bytes kVps{0x40, 0x01, 0x0C};
const Bytes kSps{0x42, 0x01, 0x01, 0x60};
const Bytes kPps{0x44, 0x01, 0xC1};
const Bytes kSlice{0x26, 0x01, 0xAF, 0x1D, 0x80};  // an IDR slice

HevcDecoderConfigRecord fakeConfig()
{
    HevcDecoderConfigRecord record;
    record.setLengthSizeMinusOne(3);
    record.addNalUnit(kVps, 32, 1);
    record.addNalUnit(kSps, 33, 1);
    record.addNalUnit(kPps, 34, 1);
    return record;
}

// NAL units behind 4-byte lengths, as HEIF stores coded data.
Bytes lengthPrefixed(const std::vector<Bytes>& units)
{
    Bytes out;
    for (const auto& unit : units) {
        const auto n = static_cast<std::uint32_t>(unit.size());
        out.insert(out.end(), {std::uint8_t(n >> 24), std::uint8_t(n >> 16), std::uint8_t(n >> 8), std::uint8_t(n)});
        out.insert(out.end(), unit.begin(), unit.end());
    }
    return out;
}

Bytes startCode4(const Bytes& unit)
{
    Bytes out{0, 0, 0, 1};
    out.insert(out.end(), unit.begin(), unit.end());
    return out;
}

Bytes concat(std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (const auto& part : parts) {
        out.insert(out.end(), part.begin(), part.end());
    }
    return out;
}

ItemDescription coded(std::uint32_t id, Bytes data = lengthPrefixed({kSlice}), bool hidden = false)
{
    ItemDescription item;
    item.id = id;
    item.type = "hvc1";
    item.data = std::move(data);
    item.hidden = hidden;
    return item;
}

ItemDescription gridItem(std::uint32_t id, Bytes payload)
{
    ItemDescription item;
    item.id = id;
    item.type = "grid";
    item.data = std::move(payload);
    return item;
}

// A grid of four tiles (2 x 2) and a thumbnail of the grid.
HeifBuilder gridWithThumbnail(bool hiddenTiles)
{
    HeifBuilder b;
    b.addItem(gridItem(1, fixture::gridPayload(1, 1, 128, 128)));
    for (std::uint32_t id = 2; id <= 5; ++id) {
        b.addItem(coded(id, lengthPrefixed({kSlice}), hiddenTiles));
        b.ispe(id, 64, 64);
    }
    b.addItem(coded(6));
    b.hvcC({2, 3, 4, 5}, fakeConfig());
    b.hvcC({6}, fakeConfig());
    b.ispe(1, 128, 128);
    b.ispe(6, 32, 32);
    b.addReference("dimg", 1, {2, 3, 4, 5});
    b.addReference("thmb", 6, {1});
    b.setPrimary(1);
    return b;
}

// A reader of its own on a file; the stream lives as long as the reader.
struct OwnReader
{
    explicit OwnReader(const Bytes& file,
                       HevcImageFileReader::ImageCodings codings = HevcImageFileReader::ImageCodings::HevcFamily)
        : in(std::string(file.begin(), file.end()))
    {
        reader.setImageCodings(codings);
        reader.initialize(in);
    }
    std::stringstream in;
    HevcImageFileReader reader;
};

class BuiltFileTest : public ::testing::Test
{
protected:
    void SetUp() override { ambrel::log::setLevel(ambrel::log::Error); }
    void TearDown() override { ambrel::log::setLevel(ambrel::log::Warning); }

    ContextId open(const Bytes& bytes)
    {
        mStream.str(std::string(bytes.begin(), bytes.end()));
        reader.initialize(mStream);
        return reader.getFileInformation().rootMetaBoxInformation.contextId;
    }

    static std::int32_t codeOf(const std::function<void()>& call)
    {
        try {
            call();
        } catch (const FileReaderException& e) {
            return e.getStatusCode();
        }
        return -100;
    }

    static std::string messageOf(const std::function<void()>& call)
    {
        try {
            call();
        } catch (const std::exception& e) {
            return e.what();
        }
        return "(no exception)";
    }

    HevcImageFileReader reader;

private:
    std::stringstream mStream;
};

// --- the meta context ---

TEST_F(BuiltFileTest, GridWithThumbnailIsClassified)
{
    const ContextId c = open(gridWithThumbnail(true).build());
    IdVector masters;
    reader.getItemListByType(c, "master", masters);
    EXPECT_EQ(masters, (IdVector{2, 3, 4, 5}));  // hidden tiles are still masters
    EXPECT_EQ(reader.getItemType(c, 6), "hvc1");
    EXPECT_EQ(reader.getItemType(c, 1), "grid");
    EXPECT_EQ(reader.getCoverImageItemId(c), 1u);

    const MetaBoxInformation& meta = reader.getFileInformation().rootMetaBoxInformation;
    using F = ImageFeature;
    EXPECT_EQ(meta.imageFeatures.at(1),
              (std::set<F>{F::PrimaryImage, F::CoverImage, F::MasterImage, F::DerivedImage, F::HasThumbnails}));
    EXPECT_EQ(meta.imageFeatures.at(2), (std::set<F>{F::MasterImage, F::HasDerivedImages, F::HiddenImage}));
    EXPECT_EQ(meta.imageFeatures.at(6), (std::set<F>{F::Thumbnail}));
    using M = MetaBoxFeature;
    EXPECT_EQ(meta.features, (std::set<M>{M::IsImageCollection, M::HasMasterImages, M::HasThumbnails, M::HasCoverImage,
                                          M::HasDerivedImages, M::HasHiddenImages}));
    // The grid is an item too: it has item features (an empty set).
    EXPECT_EQ(meta.itemFeatures.count(1), 1u);
    EXPECT_EQ(meta.itemFeatures.count(2), 0u);
    // Four masters make a collection at file level.
    EXPECT_EQ(reader.getFileInformation().features,
              (std::set<FileFeature>{FileFeature::HasRootLevelMetaBox, FileFeature::HasCoverImage,
                                     FileFeature::HasImageCollection}));

    const GridItem grid = reader.getItemGrid(c, 1);
    EXPECT_EQ(grid.rowsMinusOne, 1);
    EXPECT_EQ(grid.columnsMinusOne, 1);
    EXPECT_EQ(grid.itemIds, (IdVector{2, 3, 4, 5}));
    IdVector from;
    reader.getReferencedToItemListByType(c, 1, "thmb", from);
    EXPECT_EQ(from, IdVector{6});
}

TEST_F(BuiltFileTest, SharedDecoderConfigurationSharesParameterSets)
{
    const ContextId c = open(gridWithThumbnail(false).build());
    ParameterSetMap sets;
    reader.getDecoderParameterSets(c, 3, sets);
    EXPECT_EQ(sets.at("VPS"), startCode4(kVps));
    EXPECT_EQ(sets.at("SPS"), startCode4(kSps));
    EXPECT_EQ(sets.at("PPS"), startCode4(kPps));
    EXPECT_EQ(reader.getDecoderCodeType(c, 3), "hvc1");
    EXPECT_EQ(reader.getDecoderCodeType(c, 1), "not supported");
    EXPECT_THROW(reader.getDecoderParameterSets(c, 1, sets), std::out_of_range);
}

// A property cut short fails only the image that cannot be shown without it.
TEST_F(BuiltFileTest, UnreadablePropertyFailsTheImageNotTheFile)
{
    const struct
    {
        Bytes property;
        bool essential;
        std::string failure;
    } rows[] = {
        {fixture::makeBox("hvcC", Bytes{1, 1}), false, "the 'hvcC' property of image 6 cannot be read: "},
        {fixture::makeBox("ispe", Bytes{0, 0, 0, 0, 0, 0}), false, "the 'ispe' property of image 6 cannot be read: "},
        {fixture::makeBox("irot", Bytes{}), true, "the 'irot' property of image 6 cannot be read: "},
        {fixture::makeBox("irot", Bytes{}), false, "(no exception)"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.failure);
        HeifBuilder b = gridWithThumbnail(false);
        b.addRawProperty(row.property, {6}, row.essential);
        OwnReader own(b.build());
        HevcImageFileReader& r = own.reader;
        const ContextId c = r.getFileInformation().rootMetaBoxInformation.contextId;
        DataVector data;
        const std::string message = messageOf([&] { r.getItemDataWithDecoderParameters(c, 6, data); });
        EXPECT_EQ(message.substr(0, row.failure.size()), row.failure);
        EXPECT_EQ(messageOf([&] { r.getItemDataWithDecoderParameters(c, 2, data); }), "(no exception)");
    }
}

// An AV1 still with its 'av1C', a JPEG image with its prefix, and two
// uncompressed ones (one whose compressed units cannot be read): a reader for
// HEVC callers lists them as other items by type; one for every coding makes
// them images with their configurations and raw data.
TEST_F(BuiltFileTest, OtherCodingsAreImagesOnlyWhenAskedFor)
{
    HeifBuilder b;
    const std::pair<const char*, Bytes> items[] = {
        {"av01", {0x12, 0x00, 0x32, 0x01}}, {"jpeg", {0xFF, 0xDA, 1}}, {"unci", {1, 2, 3}}, {"unci", {4}}};
    for (std::uint32_t id = 1; id <= 4; ++id) {
        ItemDescription item;
        item.id = id;
        item.type = items[id - 1].first;
        item.data = items[id - 1].second;
        b.addItem(item);
        b.ispe(id, 16, 16);
    }
    Av1CodecConfiguration av1;
    av1.seqProfile = 1;
    av1.configObus = {0x0A, 0x05};
    b.av1C({1}, av1);
    b.addRawProperty(testbytes::box("jpgC", testbytes::Bytes().u8(0xFF).u8(0xD8)), {2}, false);
    b.addRawProperty(testbytes::fullBox("uncC", 1, 0, testbytes::Bytes().str("rgb3")), {3, 4}, true);
    b.addRawProperty(testbytes::fullBox("icef", 0, 0, testbytes::Bytes().u8(0).u32(1u << 24)), {4}, true);
    b.setPrimary(1);
    b.setBrands("avif", {"mif1", "miaf", "avif"});
    const Bytes file = b.build();

    const OwnReader hevc(file);
    const ContextId h = hevc.reader.getFileInformation().rootMetaBoxInformation.contextId;
    EXPECT_EQ(hevc.reader.getMetaContexts().at(h).otherItems,
              (std::map<ItemId, std::string>{{1, "av01"}, {2, "jpeg"}, {3, "unci"}, {4, "unci"}}));
    EXPECT_EQ(codeOf([&] { hevc.reader.getCoverImageItemId(h); }),
              FileReaderException::InvalidContextId);  // no cover image

    OwnReader all(file, HevcImageFileReader::ImageCodings::All);
    const ContextId c = all.reader.getFileInformation().rootMetaBoxInformation.contextId;
    IdVector masters;
    all.reader.getItemListByType(c, "master", masters);
    EXPECT_EQ(masters, (IdVector{1, 2, 3, 4}));
    EXPECT_EQ(all.reader.getCoverImageItemId(c), 1u);
    EXPECT_EQ(all.reader.getDecoderCodeType(c, 1), "av01");
    EXPECT_EQ(all.reader.getDecoderCodeType(c, 2), "jpeg");
    EXPECT_EQ(all.reader.getDecoderCodeType(c, 3), "unci");
    ASSERT_TRUE(all.reader.getItemAv1Configuration(c, 1));
    EXPECT_EQ(all.reader.getItemAv1Configuration(c, 1)->configObus, (Bytes{0x0A, 0x05}));
    EXPECT_FALSE(all.reader.getItemAv1Configuration(c, 2));
    EXPECT_EQ(all.reader.getItemJpegPrefix(c, 2), (Bytes{0xFF, 0xD8}));
    for (std::uint32_t id = 1; id <= 3; ++id) {
        Bytes data;
        all.reader.getItemData(c, id, data);
        EXPECT_EQ(data, items[id - 1].second) << id;
    }
    Bytes data;
    all.reader.getItemDataWithDecoderParameters(c, 2, data);
    EXPECT_EQ(data, (Bytes{0xFF, 0xD8, 0xFF, 0xDA, 1}));  // the prefix, then the item's data
    EXPECT_EQ(codeOf([&] { all.reader.getItemDataWithDecoderParameters(c, 1, data); }),
              FileReaderException::CodeTypeNotSupported);
    EXPECT_NE(messageOf([&] { all.reader.getItemData(c, 4, data); }).find("kMaxCompressedUnits"), std::string::npos);
}

TEST_F(BuiltFileTest, ImageWithoutSpatialExtentsWarnsOnce)
{
    HeifBuilder b;
    b.addItem(coded(1));
    b.hvcC({1}, fakeConfig());
    b.setPrimary(1);
    testbytes::LogCapture log;
    const ContextId c = open(b.build());
    EXPECT_EQ(reader.getWidth(c, 1), 0u);
    EXPECT_EQ(reader.getHeight(c, 1), 0u);
    EXPECT_EQ(std::count_if(log.lines().begin(), log.lines().end(),
                            [](const auto& l) {
                                return l.first == 1 &&
                                       l.second == "No ImageSpatialExtentsPropertyIndex found for image item id 1";
                            }),
              1);
}

TEST_F(BuiltFileTest, GridDescriptorWidths)
{
    HeifBuilder b;
    b.addItem(gridItem(1, fixture::gridPayload(1, 2, 1024, 768)));
    b.addItem(gridItem(2, fixture::gridPayload(0, 0, 70000, 5)));
    b.setPrimary(1);
    const ContextId c = open(b.build());
    const GridItem narrow = reader.getItemGrid(c, 1);
    EXPECT_EQ(narrow.rowsMinusOne, 1);
    EXPECT_EQ(narrow.columnsMinusOne, 2);
    EXPECT_EQ(narrow.outputWidth, 1024u);
    EXPECT_EQ(narrow.outputHeight, 768u);
    const GridItem wide = reader.getItemGrid(c, 2);
    EXPECT_EQ(wide.outputWidth, 70000u);
    EXPECT_EQ(wide.outputHeight, 5u);
}

TEST_F(BuiltFileTest, ShortGridOrOverlayDescriptorFailsTheOpen)
{
    for (const std::string type : {"grid", "iovl"}) {
        HeifBuilder b;
        ItemDescription item = gridItem(1, Bytes{0, 1, 0, 0, 0x04});  // wide fields announced, 1 byte present
        item.type = type;
        b.addItem(item);
        HevcImageFileReader r;
        const Bytes file = b.build();
        std::stringstream s(std::string(file.begin(), file.end()));
        try {
            r.initialize(s);
            FAIL() << type;
        } catch (const FileReaderException& e) {
            EXPECT_EQ(e.getStatusCode(), FileReaderException::ReadFailed) << type;
        }
    }
}

TEST_F(BuiltFileTest, OverlayOffsetsAreSigned)
{
    HeifBuilder b;
    ItemDescription overlay;
    overlay.id = 1;
    overlay.type = "iovl";
    overlay.data = fixture::overlayPayload({1, 2, 3, 4}, 100, 50, {{-16, 5}, {20, -3}});
    b.addItem(overlay);
    b.addItem(coded(2));
    b.addItem(coded(3));
    b.addReference("dimg", 1, {3, 2});
    const ContextId c = open(b.build());
    const OverlayItem o = reader.getItemIovl(c, 1);
    EXPECT_EQ(o.canvasFillValue[0], 1);
    EXPECT_EQ(o.canvasFillValue[3], 4);
    EXPECT_EQ(o.outputWidth, 100u);
    EXPECT_EQ(o.itemIds, (IdVector{3, 2}));
    ASSERT_EQ(o.offsets.size(), 2u);
    EXPECT_EQ(o.offsets[0], (std::pair<std::int32_t, std::int32_t>{-16, 5}));
    EXPECT_EQ(o.offsets[1], (std::pair<std::int32_t, std::int32_t>{20, -3}));
}

TEST_F(BuiltFileTest, ProtectedGridIsNotReadAndRefused)
{
    HeifBuilder b = gridWithThumbnail(true);
    b.item(1).protectionIndex = 1;
    const ContextId c = open(b.build());
    EXPECT_EQ(codeOf([&] { reader.getItemGrid(c, 1); }), FileReaderException::ItemProtected);
    EXPECT_EQ(
        reader.getFileInformation().rootMetaBoxInformation.imageFeatures.at(1).count(ImageFeature::ProtectedImage), 1u);
    // No 'ipro' holds a scheme for it: a clear read failure, not a crash.
    EXPECT_EQ(codeOf([&] { reader.getItemProtectionScheme(c, 1); }), FileReaderException::ReadFailed);
    DataVector data;
    EXPECT_EQ(codeOf([&] { reader.getItemDataWithDecoderParameters(c, 1, data); }), FileReaderException::ItemProtected);
}

TEST_F(BuiltFileTest, AssociationsWithoutAPropertyAreSkipped)
{
    HeifBuilder b;
    b.addItem(coded(1));
    b.ispe(1, 10, 20);
    b.associate(40, {1}, true);  // no property at that position
    b.setPrimary(1);
    const ContextId c = open(b.build());
    const auto properties = reader.getItemProperties(c, 1);
    ASSERT_EQ(properties.size(), 1u);
    EXPECT_EQ(properties[0].type, ItemPropertyType::Ispe);
    EXPECT_EQ(reader.getWidth(c, 1), 10u);
    EXPECT_EQ(codeOf([&] { reader.getPropertyIrot(c, 39); }), FileReaderException::InvalidPropertyIndex);
}

// A phone photo: a grid of two tiles, a depth map and a gain map (auxiliary
// images of the grid), Exif and an XMP 'mime' item whose entry has no content
// encoding, with the metadata entries first in 'iinf'.
HeifBuilder phonePhoto()
{
    HeifBuilder b;
    b.addItem(gridItem(1, fixture::gridPayload(0, 1, 128, 64)));
    for (std::uint32_t id : {2u, 3u}) {
        b.addItem(coded(id, lengthPrefixed({kSlice}), true));
        b.ispe(id, 64, 64);
    }
    b.ispe(1, 128, 64);
    ItemDescription exif;
    exif.id = 4;
    exif.type = "Exif";
    exif.data = fixture::exifPayload(fixture::makeExifBlock(6));
    b.addItem(exif);
    ItemDescription xmp;
    xmp.id = 5;
    xmp.type = "mime";
    xmp.contentType = "application/rdf+xml";
    xmp.data = Bytes{'<', 'x', '/', '>'};
    xmp.omitContentEncoding = true;
    b.addItem(xmp);
    b.addItem(coded(6));  // depth map
    b.addItem(coded(7));  // gain map
    b.hvcC({2, 3, 6, 7}, fakeConfig());
    b.ispe(6, 32, 16);
    b.addReference("dimg", 1, {2, 3});
    b.addReference("cdsc", 4, {1});
    b.addReference("cdsc", 5, {1});
    b.addReference("auxl", 6, {1});
    b.addReference("auxl", 7, {1});
    b.setPrimary(1);
    b.setInfeOrder({5, 4, 1, 2, 3, 6, 7});
    return b;
}

TEST_F(BuiltFileTest, ItemEntriesAreReadByTheirOwnSize)
{
    struct Case
    {
        const char* label;
        std::function<void(HeifBuilder&)> change;
    };
    const std::vector<Case> cases = {
        {"XMP entry without content encoding, metadata first", [](HeifBuilder&) {}},
        {"XMP entry last",
         [](HeifBuilder& b) {
             b.setInfeOrder({1, 2, 3, 4, 6, 7, 5});
         }},
        {"entries with trailing bytes",
         [](HeifBuilder& b) {
             b.item(4).infeTrailingBytes = Bytes{0, 0, 0, 0x20, 'i', 'n', 'f', 'e'};
             b.item(1).infeTrailingBytes = Bytes{0x7F};
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        HeifBuilder b = phonePhoto();
        c.change(b);
        const Bytes file = b.build();
        const ContextId ctx = open(file);
        const MetaBoxInformation& meta = reader.getFileInformation().rootMetaBoxInformation;

        std::vector<ItemId> imageIds;
        for (const auto& [id, features] : meta.imageFeatures) {
            imageIds.push_back(id);
        }
        EXPECT_EQ(imageIds, (std::vector<ItemId>{1, 2, 3, 6, 7}));
        std::vector<ItemId> otherIds;
        for (const auto& [id, features] : meta.itemFeatures) {
            otherIds.push_back(id);
        }
        EXPECT_EQ(otherIds, (std::vector<ItemId>{1, 4, 5}));
        EXPECT_EQ(reader.getItemType(ctx, 4), "Exif");
        EXPECT_EQ(reader.getItemType(ctx, 5), "mime");
        EXPECT_EQ(reader.getItemType(ctx, 6), "hvc1");
        EXPECT_EQ(reader.getItemType(ctx, 7), "hvc1");
        EXPECT_EQ(meta.itemFeatures.at(4).count(ItemFeature::ExifItem), 1u);
        EXPECT_EQ(meta.itemFeatures.at(5).count(ItemFeature::MimeItem), 1u);
        EXPECT_EQ(reader.getCoverImageItemId(ctx), 1u);
        IdVector masters;
        reader.getItemListByType(ctx, "master", masters);
        EXPECT_EQ(masters, (IdVector{2, 3}));
        EXPECT_EQ(reader.getItemGrid(ctx, 1).itemIds, (IdVector{2, 3}));
        DataVector data;
        reader.getItemData(ctx, 4, data);
        EXPECT_EQ(data, b.item(4).data);
        reader.getItemData(ctx, 5, data);
        EXPECT_EQ(data, b.item(5).data);
    }
}

// --- item data ---

TEST_F(BuiltFileTest, StartCodesBeforeParameterSetsAndFirstUnit)
{
    HeifBuilder b;
    b.addItem(coded(1, lengthPrefixed({kVps, kSps, kPps, kSlice})));
    b.hvcC({1}, fakeConfig());
    b.addItem(coded(2, lengthPrefixed({kSlice, kSlice})));
    b.hvcC({2}, fakeConfig());
    const ContextId c = open(b.build());
    DataVector data;
    reader.getItemData(c, 1, data);
    const Bytes three{0, 0, 1};
    EXPECT_EQ(data, concat({startCode4(kVps), startCode4(kSps), startCode4(kPps), three, kSlice}));
    reader.getItemData(c, 2, data);
    EXPECT_EQ(data, concat({startCode4(kSlice), three, kSlice}));
    reader.getItemDataWithDecoderParameters(c, 2, data);
    EXPECT_EQ(data, concat({startCode4(kVps), startCode4(kSps), startCode4(kPps), three, kSlice, three, kSlice}));
}

TEST_F(BuiltFileTest, NalUnitLengthsUseTheSizeTheConfigurationDeclares)
{
    for (const unsigned lengthSize : {1u, 2u, 4u}) {
        SCOPED_TRACE("length size " + std::to_string(lengthSize));
        Bytes data;
        for (const Bytes& unit : {kSlice, kSlice}) {
            for (unsigned i = lengthSize; i > 0; --i) {
                data.push_back(static_cast<std::uint8_t>(unit.size() >> (8 * (i - 1))));
            }
            data.insert(data.end(), unit.begin(), unit.end());
        }
        HevcDecoderConfigRecord config = fakeConfig();
        config.setLengthSizeMinusOne(static_cast<std::uint8_t>(lengthSize - 1));
        HeifBuilder b;
        b.addItem(coded(1, data));
        b.hvcC({1}, config);
        const ContextId c = open(b.build());
        DataVector out;
        reader.getItemData(c, 1, out);
        const Bytes three{0, 0, 1};
        EXPECT_EQ(out, concat({startCode4(kSlice), three, kSlice}));
        reader.getItemDataWithDecoderParameters(c, 1, out);
        EXPECT_EQ(out, concat({startCode4(kVps), startCode4(kSps), startCode4(kPps), three, kSlice, three, kSlice}));
    }
}

TEST_F(BuiltFileTest, CodedItemWithoutConfigurationIsRefused)
{
    HeifBuilder b;
    b.addItem(coded(1));
    const ContextId c = open(b.build());
    DataVector data;
    EXPECT_EQ(reader.getDecoderCodeType(c, 1), "not supported");
    EXPECT_EQ(codeOf([&] { reader.getItemData(c, 1, data); }), FileReaderException::CodeTypeNotSupported);
}

TEST_F(BuiltFileTest, UnitLengthPastTheDataIsAnError)
{
    HeifBuilder b;
    Bytes broken = lengthPrefixed({kSlice});
    broken[3] = 200;  // claims 200 bytes
    b.addItem(coded(1, broken));
    b.hvcC({1}, fakeConfig());
    const ContextId c = open(b.build());
    DataVector data;
    EXPECT_THROW(reader.getItemData(c, 1, data), std::out_of_range);
}

TEST_F(BuiltFileTest, ExtentsAreReadInListOrder)
{
    Bytes payload(30);
    for (std::size_t i = 0; i < payload.size(); ++i) {
        payload[i] = static_cast<std::uint8_t>(i + 1);
    }
    for (const auto storage : {fixture::Storage::Mdat, fixture::Storage::Idat}) {
        for (const bool baseOffset : {false, true}) {
            HeifBuilder b;
            ItemDescription exif;
            exif.id = 7;
            exif.type = "Exif";
            exif.data = payload;
            exif.storage = storage;
            exif.extentCount = 3;
            exif.reverseExtentStorage = true;
            b.addItem(exif);
            b.setUseBaseOffset(baseOffset);
            b.setMdatPadding(5);
            HevcImageFileReader r;
            std::stringstream s;
            const Bytes file = b.build();
            s.str(std::string(file.begin(), file.end()));
            r.initialize(s);
            DataVector data;
            r.getItemData(r.getFileInformation().rootMetaBoxInformation.contextId, 7, data);
            EXPECT_EQ(data, payload) << "idat " << (storage == fixture::Storage::Idat) << " base " << baseOffset;
        }
    }
}

TEST_F(BuiltFileTest, ItemDataPastTheEndFailsBeforeAllocating)
{
    HeifBuilder b;
    ItemDescription exif;
    exif.id = 3;
    exif.type = "Exif";
    exif.data = Bytes(1000, 0xAB);
    b.addItem(exif);
    Bytes file = b.build();
    const auto placement = b.lastPlacement(3);
    ASSERT_EQ(placement.size(), 1u);
    file.resize(file.size() - 10);  // cut the item's last bytes (mdat is last)
    const ContextId c = open(file);
    DataVector data;
    EXPECT_EQ(messageOf([&] { reader.getItemData(c, 3, data); }),
              "Error while reading item data. Faulty offset in iloc, or damaged file?");
}

TEST_F(BuiltFileTest, WideIlocFieldsAreNeverCutTo32Bits)
{
    // 8-byte offset and length: a high word that is not zero names bytes
    // beyond 4 GiB, which this file does not hold.
    for (const int field : {0, 1}) {
        SCOPED_TRACE(field == 0 ? "offset" : "length");
        HeifBuilder b;
        ItemDescription exif;
        exif.id = 3;
        exif.type = "Exif";
        exif.data = Bytes(100, 0xAB);
        b.addItem(exif);
        b.setIlocFieldSizes(8, 8, 0);
        Bytes file = b.build();
        const auto placement = b.lastPlacement(3);
        ASSERT_EQ(placement.size(), 1u);
        testbytes::Bytes extent;
        extent.u64(placement[0].offset).u64(placement[0].length);
        const auto at = std::search(file.begin(), file.end(), extent.data().begin(), extent.data().end());
        ASSERT_NE(at, file.end());
        *(at + 8 * field + 3) = 1;  // high word 1
        const ContextId c = open(file);
        DataVector data;
        EXPECT_EQ(codeOf([&] { reader.getItemData(c, 3, data); }), FileReaderException::ReadFailed);
        EXPECT_EQ(messageOf([&] { reader.getItemData(c, 3, data); }),
                  "Error while reading item data. Faulty offset in iloc, or damaged file?");
    }
}

// Hand-assembled meta boxes for what the writer does not make: item offsets.
Bytes fileWithMeta(MetaBox& meta, const Bytes& mdatPayload = {})
{
    FileTypeBox ftyp;
    ftyp.setMajorBrand("heic");
    ftyp.addCompatibleBrand("mif1");
    ftyp.addCompatibleBrand("heic");
    BitStream out;
    ftyp.writeBox(out);
    meta.writeBox(out);
    Bytes file = out.getStorage();
    const Bytes mdat = fixture::makeBox("mdat", mdatPayload);
    file.insert(file.end(), mdat.begin(), mdat.end());
    return file;
}

void addInfe(MetaBox& meta, std::uint32_t id, const std::string& type)
{
    ItemInfoEntry entry;
    entry.setVersion(2);
    entry.setItemId(id);
    entry.setItemType(type);
    meta.getItemInfoBox().addItemInfoEntry(entry);
}

TEST_F(BuiltFileTest, ItemOffsetsFollowReferencesButNeverACycle)
{
    MetaBox meta;
    meta.setHandlerType("pict");
    addInfe(meta, 1, "mime");
    addInfe(meta, 2, "mime");
    addInfe(meta, 3, "mime");
    addInfe(meta, 4, "mime");
    ItemLocationBox& iloc = meta.getItemLocationBox();
    iloc.setVersion(1);
    const std::uint64_t idatOffset = meta.getItemDataBox().addData({10, 11, 12, 13, 14, 15, 16, 17});
    ItemLocation one;
    one.setItemId(1);
    one.setConstructionMethod(1);
    one.addExtent(ItemLocationExtent{0, idatOffset, 8});
    iloc.addItemLocation(one);
    // Item 2: bytes 2..4 of item 1.
    ItemLocation two;
    two.setItemId(2);
    two.setConstructionMethod(2);
    two.addExtent(ItemLocationExtent{0, 2, 3});
    iloc.addItemLocation(two);
    // Items 3 and 4 refer to each other.
    ItemLocation three;
    three.setItemId(3);
    three.setConstructionMethod(2);
    three.addExtent(ItemLocationExtent{0, 0, 0});
    iloc.addItemLocation(three);
    ItemLocation four = three;
    four.setItemId(4);
    iloc.addItemLocation(four);
    meta.getItemReferenceBox().add("iloc", 2, 1);
    meta.getItemReferenceBox().add("iloc", 3, 4);
    meta.getItemReferenceBox().add("iloc", 4, 3);

    const ContextId c = open(fileWithMeta(meta));
    DataVector data;
    reader.getItemData(c, 2, data);
    EXPECT_EQ(data, (DataVector{12, 13, 14}));
    EXPECT_EQ(codeOf([&] { reader.getItemData(c, 3, data); }), FileReaderException::ReadFailed);
}

TEST_F(BuiltFileTest, UnknownConstructionMethodAndMissingExtents)
{
    MetaBox meta;
    meta.setHandlerType("pict");
    addInfe(meta, 1, "mime");
    addInfe(meta, 2, "mime");
    ItemLocationBox& iloc = meta.getItemLocationBox();
    iloc.setVersion(1);
    ItemLocation odd;
    odd.setItemId(1);
    odd.setConstructionMethod(5);
    odd.addExtent(ItemLocationExtent{0, 0, 1});
    iloc.addItemLocation(odd);
    ItemLocation empty;
    empty.setItemId(2);
    iloc.addItemLocation(empty);
    ItemLocation unlisted;  // in 'iloc', not in 'iinf'
    unlisted.setItemId(3);
    unlisted.addExtent(ItemLocationExtent{0, 0, 1});
    iloc.addItemLocation(unlisted);
    const ContextId c = open(fileWithMeta(meta));
    DataVector data;
    EXPECT_EQ(codeOf([&] { reader.getItemData(c, 3, data); }), FileReaderException::InvalidItemId);
    EXPECT_EQ(messageOf([&] { reader.getItemData(c, 1, data); }),
              "Unknown ItemLocationBox version and/or construction method.");
    EXPECT_EQ(messageOf([&] { reader.getItemData(c, 2, data); }), "No extents given for an item.");
}

// --- the root walk ---

TEST_F(BuiltFileTest, RootBoxesAndBrands)
{
    testbytes::LogCapture log;
    HeifBuilder b = gridWithThumbnail(true);
    b.addRootBox(fixture::makeBox("skip", Bytes{1, 2, 3}), fixture::RootPosition::AfterFtyp);
    open(b.build());
    EXPECT_TRUE(log.has(1, "Skipping root level box of unknown type 'skip'"));
    EXPECT_TRUE(log.has(2, " [mif1/heic] HEVC image and image collection"));
    EXPECT_TRUE(log.has(2, "Compatible brands found:"));
}

TEST_F(BuiltFileTest, FilesWithoutAStructuralBrandAreRefused)
{
    const struct
    {
        std::vector<std::string> brands;
        bool accepted;
    } rows[] = {
        {{"heic"}, false}, {{"avif", "heic"}, false}, {{"mif1", "miaf"}, true}, {{"miaf"}, true}, {{"msf1"}, true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.brands.front());
        HeifBuilder b = gridWithThumbnail(true);
        b.setBrands("heic", row.brands);
        EXPECT_EQ(messageOf([&] { OwnReader own(b.build()); }),
                  row.accepted ? "(no exception)" : "No compatible brands in file");
    }
}

TEST_F(BuiltFileTest, SecondMetaBoxIsRefusedAfterTheFirstIsBuilt)
{
    Bytes file = gridWithThumbnail(true).build();
    // Copy the meta box to the end of the file.
    BitStream s(file);
    FourCCInt type;
    Bytes metaBytes;
    while (s.bytesRemaining() > 0) {
        BitStream box = s.readChildBox(type);
        if (type == FourCCInt("meta")) {
            metaBytes = box.getStorage();
        }
    }
    file.insert(file.end(), metaBytes.begin(), metaBytes.end());
    EXPECT_EQ(messageOf([&] { open(file); }), "Multiple meta boxes");
}

TEST_F(BuiltFileTest, ZeroSizeLastBoxRunsToTheEndAndTruncatedBoxFails)
{
    Bytes file = gridWithThumbnail(true).build();
    Bytes zeroSized = file;
    zeroSized.insert(zeroSized.end(), {0, 0, 0, 0, 'f', 'r', 'e', 'e', 1, 2, 3});
    EXPECT_NO_THROW(open(zeroSized));
    Bytes truncated = file;
    truncated.insert(truncated.end(), {0, 0, 1, 0, 's', 'k', 'i', 'p', 1, 2, 3});
    HevcImageFileReader r;
    std::stringstream s(std::string(truncated.begin(), truncated.end()));
    EXPECT_EQ(codeOf([&] { r.initialize(s); }), FileReaderException::ReadFailed);
    Bytes tiny = file;
    tiny.insert(tiny.end(), {0, 0, 0, 5, 'f', 'r', 'e', 'e'});
    HevcImageFileReader r2;
    std::stringstream s2(std::string(tiny.begin(), tiny.end()));
    EXPECT_EQ(codeOf([&] { r2.initialize(s2); }), FileReaderException::ReadFailed);
    // A 64-bit size of 2^32 + 24 on a 24-byte box is refused, not cut to 24.
    Bytes large = file;
    large.insert(large.end(), {0, 0, 0, 1, 'f', 'r', 'e', 'e', 0, 0, 0, 1, 0, 0, 0, 24, 1, 2, 3, 4, 5, 6, 7, 8});
    HevcImageFileReader r3;
    std::stringstream s3(std::string(large.begin(), large.end()));
    EXPECT_EQ(codeOf([&] { r3.initialize(s3); }), FileReaderException::ReadFailed);
    s3.clear();
    s3.seekg(0);
    EXPECT_EQ(messageOf([&] {
                  HevcImageFileReader r4;
                  r4.initialize(s3);
              }),
              "Box 'free' of 4294967320 bytes reaches past the end of the file (24 bytes left)");
}

TEST_F(BuiltFileTest, LargeSizeMdatIsSkipped)
{
    HeifBuilder b = gridWithThumbnail(true);
    const Bytes mdat64 = testbytes::Bytes().u32(1).str("mdat").u64(24).u64(0);
    b.addRootBox(mdat64, fixture::RootPosition::AtEnd);
    b.addRootBox(fixture::makeBox("skip", {}), fixture::RootPosition::AtEnd);
    testbytes::LogCapture log;
    const ContextId c = open(b.build());
    EXPECT_EQ(reader.getCoverImageItemId(c), 1u);
    EXPECT_TRUE(log.has(1, "Skipping root level box of unknown type 'skip'"));
}

TEST_F(BuiltFileTest, FtypAloneOpensWithNoFeatures)
{
    const Bytes ftyp = fixture::makeBox("ftyp", testbytes::Bytes().str("heic").u32(0).str("mif1").str("heic"));
    open(ftyp);
    EXPECT_TRUE(reader.getFileInformation().features.empty());
    EXPECT_EQ(reader.getCompatibleBrands(), (std::vector<std::string>{"mif1", "heic"}));
}

TEST_F(BuiltFileTest, BoxFailuresBecomeReaderExceptions)
{
    // An 'iinf' inside meta whose child claims more than the meta holds.
    const Bytes ftyp = fixture::makeBox("ftyp", testbytes::Bytes().str("heic").u32(0).str("mif1").str("heic"));
    const Bytes meta = fixture::makeFullBox("meta", 0, 0, testbytes::Bytes().u32(500).str("iinf").u32(0));
    Bytes file = ftyp;
    file.insert(file.end(), meta.begin(), meta.end());
    HevcImageFileReader r;
    std::stringstream s(std::string(file.begin(), file.end()));
    EXPECT_EQ(codeOf([&] { r.initialize(s); }), FileReaderException::ReadFailed);
}

// --- tracks ---

TEST_F(BuiltFileTest, ImageSequenceTrackSamplesAndTimes)
{
    fixture::SequenceOptions options;
    options.frames = 3;
    options.sampleDuration = 100;
    options.timescale = 1000;
    const Bytes file = fixture::makeImageSequence(options);
    open(file);
    const FileInformation& info = reader.getFileInformation();
    ASSERT_EQ(info.trackInformation.size(), 1u);
    const auto& [trackId, track] = *info.trackInformation.begin();
    EXPECT_EQ(track.sampleProperties.size(), 3u);
    EXPECT_EQ(track.features.count(TrackFeature::IsMasterImageSequence), 1u);
    EXPECT_EQ(info.features.count(FileFeature::HasImageSequence), 1u);
    EXPECT_EQ(reader.getDisplayWidth(trackId), options.width);
    EXPECT_EQ(reader.getDisplayHeight(trackId), options.height);

    std::map<Timestamp, ItemId> stamps;
    reader.getItemTimestamps(trackId, stamps);
    EXPECT_EQ(stamps, (std::map<Timestamp, ItemId>{{0, 0}, {100, 1}, {200, 2}}));
    IdVector display;
    reader.getItemListByType(trackId, "display", display);
    EXPECT_EQ(display, (IdVector{0, 1, 2}));
    IdVector samples;
    reader.getItemListByType(trackId, "samples", samples);
    EXPECT_EQ(samples, (IdVector{0, 1, 2}));
    EXPECT_EQ(codeOf([&] { reader.getItemListByType(trackId, "bogus", samples); }),
              FileReaderException::InvalidApiParameter);

    EXPECT_EQ(reader.getDecoderCodeType(trackId, 1), "hvc1");
    EXPECT_EQ(reader.getItemType(trackId, 1), "hvc1");
    DataVector data;
    reader.getItemDataWithDecoderParameters(trackId, 2, data);
    ASSERT_GT(data.size(), 5u);
    EXPECT_EQ((data[4] >> 1) & 0x3F, 32);  // VPS first
    EXPECT_EQ(messageOf([&] { reader.getItemData(trackId, 3, data); }), "Requested frame out of index");
    EXPECT_EQ(reader.getWidth(trackId, 0), options.width);
    IdVector deps;
    reader.getItemDecodeDependencies(trackId, 1, deps);
    EXPECT_EQ(deps, IdVector{1});
    // Meta-only operations refuse a track context.
    EXPECT_EQ(codeOf([&] { reader.getItemGrid(trackId, 0); }), FileReaderException::InvalidContextId);
    EXPECT_EQ(codeOf([&] { reader.getCoverImageItemId(trackId); }), FileReaderException::InvalidContextId);
    EXPECT_EQ(codeOf([&] { reader.getPropertyClap(trackId, 1); }), FileReaderException::InvalidSampleDescriptionIndex);

    // The same track with no samples ('stsz' counts none): its sample entry's
    // coding constraints still count.
    Bytes empty = file;
    const std::string stsz = "stsz";
    const auto at = std::search(empty.begin(), empty.end(), stsz.begin(), stsz.end()) - empty.begin();
    std::fill_n(empty.begin() + at + 12, 4, std::uint8_t{0});  // sample_count
    OwnReader noSamples(empty);
    const auto& emptyTrack = noSamples.reader.getFileInformation().trackInformation.at(trackId);
    EXPECT_TRUE(emptyTrack.sampleProperties.empty());
    EXPECT_EQ(emptyTrack.features.count(TrackFeature::HasCodingConstraints), 1u);
}

// Sample times count in the media's timescale, the edits' durations in the
// movie's; 'hev1' samples read as 'hvc1' ones.
TEST_F(BuiltFileTest, TrackTimesUseTheMediaTimescale)
{
    const struct
    {
        std::uint32_t mediaTimescale;
        std::uint32_t sampleDuration;
        bool editList;
        const char* entryType;
    } rows[] = {
        {10240, 512, true, "hvc1"},  // ffmpeg's defaults: 20 frames a second
        {10240, 512, false, "hev1"},
        {1000, 50, true, "hvc1"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.entryType + std::to_string(row.mediaTimescale));
        fixture::SequenceOptions options;
        options.mediaTimescale = row.mediaTimescale;
        options.sampleDuration = row.sampleDuration;
        options.editList = row.editList;
        options.sampleEntryType = row.entryType;
        OwnReader own(fixture::makeImageSequence(options));
        HevcImageFileReader& reader = own.reader;
        const ContextId trackId = reader.getFileInformation().trackInformation.begin()->first;
        std::map<Timestamp, ItemId> stamps;
        reader.getItemTimestamps(trackId, stamps);
        EXPECT_EQ(stamps, (std::map<Timestamp, ItemId>{{0, 0}, {50, 1}, {100, 2}}));
        EXPECT_FLOAT_EQ(reader.getPlaybackDurationInSecs(trackId), 0.15f);
        EXPECT_EQ(reader.getDecoderCodeType(trackId, 2), row.entryType);
        DataVector data;
        reader.getItemDataWithDecoderParameters(trackId, 2, data);
        EXPECT_EQ((data.at(4) >> 1) & 0x3F, 32);  // VPS first
    }
}

}  // namespace

// --- the image model ---

namespace {

// A coded image with its configuration and size; the model reads no data.
void addImage(HeifBuilder& b, std::uint32_t id, std::uint32_t width, std::uint32_t height, bool hidden = false)
{
    b.addItem(coded(id, lengthPrefixed({kSlice}), hidden));
    b.hvcC({id}, fakeConfig());
    b.ispe(id, width, height);
}

void addAuxC(HeifBuilder& b, std::uint32_t id, std::uint32_t owner, const std::string& type)
{
    b.addRawProperty(testbytes::fullBox("auxC", 0, 0, testbytes::Bytes().str(type).u8(0)), {id}, true);
    b.addReference("auxl", id, {owner});
}

ItemDescription typed(std::uint32_t id, const std::string& type, Bytes data = {0, 0, 0, 0})
{
    ItemDescription item;
    item.id = id;
    item.type = type;
    item.data = std::move(data);
    return item;
}

void addMetadata(HeifBuilder& b, std::uint32_t id, const std::string& type, std::vector<std::uint32_t> describes)
{
    ItemDescription item = typed(id, type);
    if (type == "mime") {
        item.contentType = "application/rdf+xml";
    }
    b.addItem(item);
    if (!describes.empty()) {
        b.addReference("cdsc", id, describes);
    }
}

struct ModelRow
{
    const char* name;
    std::function<HeifBuilder()> build;
    std::function<void(const ImageModel&)> check;
};

const ModelRow kModelRows[] = {
    {"grid with tiles and a thumbnail", [] { return gridWithThumbnail(true); },
     [](const ImageModel& m) {
         EXPECT_EQ(m.primary(), 1u);
         EXPECT_EQ(m.topLevelImages(), IdVector({1}));  // no tile, no thumbnail
         EXPECT_EQ(m.image(1)->kind, ImageKind::Grid);
         EXPECT_EQ(m.image(1)->coding.codec, Codec::None);
         EXPECT_EQ(m.image(1)->inputs, IdVector({2, 3, 4, 5}));
         EXPECT_EQ(m.image(3)->derivedBy, IdVector({1}));
         EXPECT_EQ(m.image(2)->coding.codec, Codec::Hevc);
         EXPECT_EQ(m.thumbnailsOf(1), IdVector({6}));
         EXPECT_EQ(m.image(6)->thumbnailOf, IdVector({1}));
     }},
    {"auxiliary images by kind, in reference order, and a 'tmap' gain map",
     [] {
         HeifBuilder b;
         addImage(b, 1, 64, 48);
         b.irot(1, 90);
         addImage(b, 4, 32, 24, true);
         addAuxC(b, 4, 1, fixture::kAuxGainMap);
         addImage(b, 3, 64, 48, true);
         addAuxC(b, 3, 1, fixture::kAuxAlpha);
         addImage(b, 5, 32, 24, true);
         addMetadata(b, 6, "tmap", {});
         b.addReference("dimg", 6, {1, 5});
         b.addReference("prem", 1, {3});
         b.setPrimary(1);
         return b;
     },
     [](const ImageModel& m) {
         EXPECT_EQ(m.image(1)->displayedWidth, 48u);
         EXPECT_EQ(m.image(1)->displayedHeight, 64u);
         const auto auxiliary = m.auxiliaryImagesOf(1);
         ASSERT_EQ(auxiliary.size(), 2u);
         EXPECT_EQ(auxiliary[0].id, 4u);
         EXPECT_EQ(auxiliary[0].kind, AuxiliaryKind::GainMap);
         EXPECT_EQ(auxiliary[1].kind, AuxiliaryKind::Alpha);
         EXPECT_EQ(m.ownerOfAuxiliary(3), 1u);
         EXPECT_EQ(m.image(1)->premultiplied, IdVector({3}));
         ASSERT_EQ(m.toneMaps().size(), 1u);
         EXPECT_EQ(m.toneMaps()[0].gainMap, 5u);
         EXPECT_EQ(m.toneMapGainMapsOf(1).at(0).type, "tmap");
         EXPECT_EQ(m.image(6)->kind, ImageKind::ToneMap);
         EXPECT_EQ(m.metadataItem(6), nullptr);
         EXPECT_EQ(m.topLevelImages(), IdVector({1}));
     }},
    {"'iden' over a turned image with a clean aperture; Exif and XMP by 'cdsc'",
     [] {
         HeifBuilder b;
         addImage(b, 2, 64, 48, true);
         b.addRawProperty(
             testbytes::box("clap", testbytes::Bytes().u32(40).u32(1).u32(30).u32(1).u32(0).u32(1).u32(0).u32(1)), {2},
             true);
         b.irot(2, 90);
         b.addItem(typed(3, "iden", {}));
         b.ispe(3, 30, 40);
         b.addReference("dimg", 3, {2});
         b.irot(3, 90);
         b.setPrimary(3);
         addImage(b, 7, 16, 16);
         addMetadata(b, 10, "Exif", {7});
         addMetadata(b, 11, "Exif", {});
         addMetadata(b, 12, "Exif", {2});
         addMetadata(b, 13, "mime", {3});
         return b;
     },
     [](const ImageModel& m) {
         EXPECT_EQ(m.image(3)->kind, ImageKind::Identity);
         EXPECT_EQ(m.image(2)->displayedWidth, 30u);
         EXPECT_EQ(m.image(3)->width, 30u);  // what its source shows
         EXPECT_EQ(m.image(3)->displayedWidth, 40u);
         EXPECT_EQ(m.topLevelImages(), IdVector({3, 7}));
         EXPECT_EQ(m.exifDescribing(2), 12u);
         EXPECT_EQ(m.exifDescribing(3), 0u);
         EXPECT_EQ(m.unattachedExif(), 11u);
         EXPECT_EQ(m.xmpDescribing(3), 13u);
         EXPECT_EQ(m.metadataItem(13)->kind, MetadataItem::Kind::Xmp);
     }},
    {"other codings are images with their coding",
     [] {
         HeifBuilder b;
         b.addItem(typed(1, "av01", {0x12, 0}));
         Av1CodecConfiguration av1;
         av1.seqProfile = 1;
         av1.highBitdepth = 1;
         b.av1C({1}, av1);
         b.ispe(1, 8, 8);
         b.addItem(typed(2, "jpeg", {0xFF, 0xD8}));
         b.ispe(2, 8, 8);
         b.setPrimary(1);
         return b;
     },
     [](const ImageModel& m) {
         EXPECT_EQ(m.image(1)->coding.codec, Codec::Av1);
         EXPECT_EQ(m.image(1)->coding.summary, "AV1 High profile, level 2.0, 10-bit, 4:4:4");
         EXPECT_EQ(m.image(2)->coding.codec, Codec::Jpeg);
         EXPECT_EQ(m.topLevelImages(), IdVector({1, 2}));
     }},
};

}  // namespace

TEST(ImageModelRows, KindsReferencesAndWhatDescribesWhat)
{
    for (const ModelRow& row : kModelRows) {
        SCOPED_TRACE(row.name);
        const OwnReader file(row.build().build(), HevcImageFileReader::ImageCodings::All);
        row.check(ImageModel(file.reader));
    }
}

TEST(ImageModelRows, SequenceFramesInPresentationOrder)
{
    fixture::SequenceOptions options;
    options.frames = 4;
    const OwnReader file(fixture::makeImageSequence(options), HevcImageFileReader::ImageCodings::All);
    const ImageModel model(file.reader);
    EXPECT_EQ(model.primary(), 0u);
    EXPECT_EQ(model.sequence().frames, IdVector({0, 1, 2, 3}));
    EXPECT_EQ(model.sequence().codeType, "hvc1");
}
