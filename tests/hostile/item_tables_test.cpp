// Item tables that point nowhere, in circles or beyond the limits: 'iloc'
// extents, item-offset construction, 'ipma' indices, and the item, extent
// and association limits.
#include "tests/hostile/hostile_support.h"

#include "heiclib/heif_limits.h"
#include "pipeline/decode/jpeg_decoder.h"
#include "pipeline/decode/uncompressed.h"

using namespace ambrel::heif;
using namespace ambrel::pipeline;

namespace {

using namespace hostile;

class ItemTableTest : public HostileTest
{};

TEST_F(ItemTableTest, ExtentsPastTheEndOfTheFile)
{
    fixture::SampleFile sample = fixture::makeGridHeic();
    Bytes file = sample.bytes();
    // The 'iloc' of the fixture writer: version 1 or 2 with 4-byte offsets and
    // lengths; move the first tile's extent far past the end.
    const auto placement = sample.builder.lastPlacement(sample.tileIds.front());
    ASSERT_EQ(placement.size(), 1u);
    const std::size_t iloc = boxAt(file, "iloc");
    bool moved = false;
    for (std::size_t at = iloc; at + 8 <= iloc + get32(file, iloc); ++at) {
        if (get32(file, at) == placement[0].offset && get32(file, at + 4) == placement[0].length) {
            put32(file, at, 0xFFFFFF00u);
            moved = true;
            break;
        }
    }
    ASSERT_TRUE(moved);
    // The first tile cannot be read, so none is: no picture to decode.
    EXPECT_EQ(outcome(file), "HUD_ERR heif2jpg read_hevc_bitstream_to_mat_vector");
}

TEST_F(ItemTableTest, ExtentsSummingPast4GiB)
{
    fixture::SampleFile sample = fixture::makeGridHeic();
    sample.builder.setIlocFieldSizes(8, 8, 0);
    fixture::ItemDescription& tile = sample.builder.item(sample.tileIds.back());
    tile.extentCount = 3;
    Bytes file = sample.bytes();
    const auto placement = sample.builder.lastPlacement(sample.tileIds.back());
    ASSERT_EQ(placement.size(), 3u);
    const std::size_t iloc = boxAt(file, "iloc");
    int patched = 0;
    for (std::size_t at = iloc; at + 16 <= iloc + get32(file, iloc) && patched < 3; ++at) {
        const std::uint64_t length = (std::uint64_t(get32(file, at + 8)) << 32) | get32(file, at + 12);
        const std::uint64_t offset = (std::uint64_t(get32(file, at)) << 32) | get32(file, at + 4);
        if (offset == placement[std::size_t(patched)].offset && length == placement[std::size_t(patched)].length) {
            // Each extent 2 GiB long: together past 4 GiB, and past the file.
            put32(file, at + 8, 0);
            put32(file, at + 12, 0x80000000u);
            ++patched;
            at += 15;
        }
    }
    ASSERT_EQ(patched, 3);
    EXPECT_EQ(outcome(file), "HUD_ERR heif2jpg unknown");
}

TEST_F(ItemTableTest, ItemOffsetCyclesEnd)
{
    // Two items located by offsets into each other ('iloc' construction
    // method 2), and one into itself, as the grid's tiles.
    // The fixture writer knows methods 0 and 1 only: the construction method
    // of three tiles is patched to 2 in the written 'iloc'.
    fixture::SampleFile sample = fixture::makeGridHeic();
    sample.builder.setIlocVersion(1);
    sample.builder.addReference("iloc", sample.tileIds[0], {sample.tileIds[1]});
    sample.builder.addReference("iloc", sample.tileIds[1], {sample.tileIds[0]});
    sample.builder.addReference("iloc", sample.tileIds[2], {sample.tileIds[2]});
    Bytes file = sample.bytes();
    const std::size_t iloc = boxAt(file, "iloc");
    // Version 1 entries: item id (16), reserved + method (16), data reference
    // index (16), base offset, extent count (16), extents.
    int patched = 0;
    for (std::uint32_t id : {sample.tileIds[0], sample.tileIds[1], sample.tileIds[2]}) {
        for (std::size_t at = iloc + 16; at + 4 <= iloc + get32(file, iloc); ++at) {
            if (file[at] == 0 && file[at + 1] == id && file[at + 2] == 0 && file[at + 3] == 0) {
                file[at + 3] = 2;  // construction method 2
                ++patched;
                break;
            }
        }
    }
    ASSERT_EQ(patched, 3);
    // The first tile cannot be read, so none is: no picture to decode.
    EXPECT_EQ(outcome(file), "HUD_ERR heif2jpg read_hevc_bitstream_to_mat_vector");
}

TEST_F(ItemTableTest, ItemOffsetsNamingOneSourceManyTimesAreBounded)
{
    // Items 100 -> 101 -> 102 -> 103, each of the first three made of 256
    // extents that all name the whole of the next: item 100 would be
    // 256^3 x 256 bytes (4 GiB) from a file of a few kilobytes. Item 100 is
    // the picture's Exif item.
    fixture::SampleFile sample = fixture::makeGridHeic();
    sample.builder.setIlocVersion(1);
    for (std::uint32_t id = 100; id <= 103; ++id) {
        fixture::ItemDescription item;
        item.id = id;
        item.type = id == 100 ? "Exif" : "mime";
        item.contentType = id == 100 ? "" : "text/plain";
        item.data.assign(256, 'x');
        item.extentCount = id == 103 ? 1 : 256;
        sample.builder.addItem(std::move(item));
        if (id != 103) {
            sample.builder.addReference("iloc", id, {id + 1});
        }
    }
    sample.builder.addReference("cdsc", 100, {sample.primaryId});
    Bytes file = sample.bytes();
    const std::size_t iloc = boxAt(file, "iloc");
    const std::size_t end = iloc + get32(file, iloc);
    for (std::uint32_t id = 100; id <= 102; ++id) {
        // Construction method 2 ...
        bool found = false;
        for (std::size_t at = iloc + 16; at + 4 <= end && !found; ++at) {
            if (file[at] == 0 && file[at + 1] == id && file[at + 2] == 0 && file[at + 3] == 0) {
                file[at + 3] = 2;
                found = true;
            }
        }
        ASSERT_TRUE(found) << id;
        // ... and every extent the whole source: offset 0, length 0.
        int patched = 0;
        for (const auto& placement : sample.builder.lastPlacement(id)) {
            for (std::size_t at = iloc + 16; at + 8 <= end; ++at) {
                if (get32(file, at) == placement.offset && get32(file, at + 4) == placement.length) {
                    put32(file, at, 0);
                    put32(file, at + 4, 0);
                    ++patched;
                    break;
                }
            }
        }
        ASSERT_EQ(patched, 256) << id;
    }

    std::stringstream stream(std::string(file.begin(), file.end()));
    HevcImageFileReader reader;
    reader.initialize(stream);
    const ContextId context = reader.getFileInformation().rootMetaBoxInformation.contextId;
    DataVector data;
    reader.getItemData(context, 102, data);  // 256 x 256 bytes: inside the budget
    EXPECT_EQ(data.size(), 65536u);
    EXPECT_THROW(reader.getItemData(context, 100, data), FileReaderException);
    EXPECT_THROW(reader.getItemData(context, 101, data), FileReaderException);
    reader.getItemData(context, 103, data);  // the budget is per item
    EXPECT_EQ(data.size(), 256u);

    // The conversion goes on without the Exif block.
    const Heif2JpgResult result = convert(file);
    ASSERT_TRUE(result.ok) << result.message;
    EXPECT_EQ(picture.size(), cv::Size(128, 128));
    EXPECT_FALSE(result.jpeg[3] == 0xE1 && result.jpeg[6] == 'E');
}

TEST_F(ItemTableTest, PropertyIndicesZeroAndPastTheContainer)
{
    fixture::SampleFile sample = fixture::makeGridHeic();
    Bytes file = sample.bytes();
    const std::size_t ipma = boxAt(file, "ipma");
    const std::size_t end = ipma + get32(file, ipma);
    // ipma v0, flags 0: entry count (32), then per item: id (16), count (8),
    // count x (essential bit + 7-bit index).
    Bytes zero = file;
    Bytes past = file;
    std::size_t at = ipma + 16;
    while (at + 3 <= end) {
        const std::uint8_t count = file[at + 2];
        for (std::size_t i = 0; i < count; ++i) {
            zero[at + 3 + i] = static_cast<std::uint8_t>(file[at + 3 + i] & 0x80);  // index 0
            past[at + 3 + i] = static_cast<std::uint8_t>(file[at + 3 + i] | 0x7F);  // index 127
        }
        at += 3 + count;
    }
    // The reader takes such an association as no property at all. Without
    // their 'hvcC' the tiles have no parameter sets, so nothing decodes.
    for (const Bytes& variant : {zero, past}) {
        EXPECT_TRUE(readerOpens(variant));
        EXPECT_EQ(outcome(variant), "HUD_ERR heif2jpg read_hevc_bitstream_to_mat_vector");
    }
}

// Configurations of the other codings that break their limits or their
// layout: an uncompressed item's component and unit counts, an 'av1C' without
// its marker bit on the HEVC primary itself. They are refused where they are
// read and cost the HEVC picture nothing.
TEST_F(ItemTableTest, HostileConfigurationsOfOtherCodings)
{
    fixture::SampleFile sample = fixture::makeGridHeic();
    fixture::ItemDescription unci;
    unci.id = 50;
    unci.type = "unci";
    unci.data = {1, 2, 3};
    sample.builder.addItem(unci);
    const Bytes payloads[] = {
        fixture::makeFullBox("uncC", 0, 0, {0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF}),
        fixture::makeBox("cmpd", {0x7F, 0xFF, 0xFF, 0xFF}),
        fixture::makeFullBox("icef", 0, 0, {0x00, 0xFF, 0xFF, 0xFF, 0xFF}),
    };
    for (const Bytes& property : payloads) {
        sample.builder.addRawProperty(property, {50}, true);
    }
    sample.builder.addRawProperty(fixture::makeBox("av1C", {0x01, 0, 0, 0}), {sample.primaryId}, false);
    const Bytes file = sample.bytes();
    EXPECT_TRUE(readerOpens(file));
    EXPECT_EQ(outcome(file), "ok");
}

struct BrokenItem
{
    const char* name;
    std::function<Bytes()> file;
    // What the item's decoder says, in part ("": it decodes; null: no
    // decoder is called here).
    const char* reason;
    const char* detail;  // the conversion's reason, in part; "": it converts
};

const char* const kUnci = "the uncompressed image cannot be decoded: ";
const char* const kJpeg = "the JPEG image data cannot be decoded: ";
// Until AV1 decodes, an AV1 primary is refused before its data is read;
// then these rows expect a reason that names AV1 and what is wrong.
const char* const kAv1 = "the AV1 image data cannot be decoded";

// clang-format off
const BrokenItem kBrokenItems[] = {
    // Uncompressed items: sizes beyond the pixel limit, layouts whose pixels,
    // rows and tiles are padded to gigabytes, data that inflates far past the
    // layout (decoded, the rest ignored), units outside the item.
    {"UnciBeyondThePixelLimit", [] { return unciFile(pixelLayout(), 65535, 65535, Bytes(48)); },
     "is 65535 x 65535, more than the limit", "(65535 x 65535), more than the limit"},
    {"UnciPaddedToGigabytes", [] { return unciFile(pixelLayout(0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF, 16383), 16384, 16384, Bytes(48)); },
     "holds 48 bytes of data, fewer than the 1152921500043444228", kUnci},
    {"UnciPromisingMoreThanItsData", [] { return unciFile(pixelLayout(), 4, 4, Bytes(47)); },
     "holds 47 bytes of data, fewer than the 48", kUnci},
    {"UnciCompressedToGigabytes", [] { return unciFile(pixelLayout(), 16384, 16384, Bytes(48), "defl"); },
     "needs 805306368 bytes decompressed, more than the memory budget", kUnci},
    {"DeflateBomb", [] { return unciFile(pixelLayout(), 4, 4, Bytes(std::size_t(16) << 20), "defl"); }, "", ""},
    {"BrotliBomb", [] { return unciFile(pixelLayout(), 4, 4, Bytes(std::size_t(16) << 20), "brot"); }, "", ""},
    {"UnitOutsideTheItem", [] { return unciFile(pixelLayout(), 4, 4, Bytes(48), "zlib", {{0, 8}, {1000, 10}}); },
     "has a compressed unit at 1000 of 10 bytes, beyond its 12 bytes", kUnci},
    {"UnitPastFourGigabytes", [] { return unciFile(pixelLayout(), 4, 4, Bytes(48), "zlib", {{0xFFFFFFF0, 0x20}}); },
     "has a compressed unit at 4294967280 of 32 bytes", kUnci},
    // JPEG-coded items: frame headers of 65535 x 65535 (beyond libjpeg) and
    // 65500 x 65500 (beyond the pixel limit), a stream cut inside its scan
    // (decoded, with a warning) and one cut before it.
    {"JpegClaiming65535Squared", [] { return jpegFile([](Bytes& jpeg) { put32(jpeg, sofAt(jpeg) + 5, 0xFFFFFFFF); }); },
     "cannot be read: Maximum supported image dimension", kJpeg},
    {"JpegClaiming65500Squared", [] { return jpegFile([](Bytes& jpeg) { put32(jpeg, sofAt(jpeg) + 5, 0xFFDCFFDC); }); },
     "is 65500 x 65500, more than the limit", kJpeg},
    // A progressive stream of 4096 x 4096 whose picture fits the budget but
    // whose coefficients, kept for the whole image, would not.
    {"JpegProgressiveBeyondTheBudget", [] { return jpegFile([](Bytes& jpeg) { put32(jpeg, sofAt(jpeg) + 5, 0x10001000); }, true); },
     "needs more memory to decode than the memory budget allows", ""},
    // A progressive stream whose first scan is repeated 2000 times.
    {"JpegOfManyScans", [] { return jpegFile([](Bytes& jpeg) {
         const Bytes sos{0xFF, 0xDA};
         const auto first = std::search(jpeg.begin(), jpeg.end(), sos.begin(), sos.end());
         const Bytes scan(first, std::search(first + 2, jpeg.end(), sos.begin(), sos.end()));
         Bytes scans;
         for (int i = 0; i < 2000; ++i) {
             scans.insert(scans.end(), scan.begin(), scan.end());
         }
         jpeg.insert(first, scans.begin(), scans.end()); }, true); },
     "cannot be decoded: more than 1000 scans", kJpeg},
    {"JpegCutInItsScan", [] { return jpegFile([](Bytes& jpeg) { jpeg.resize(jpeg.size() - 8); }); },
     "is damaged: Premature end of JPEG file", ""},
    {"JpegCutBeforeItsScan", [] { return jpegFile([](Bytes& jpeg) { jpeg.resize(100); }); },
     "cannot be read: JPEG datastream contains no image", kJpeg},
    // AV1 items whose data is garbage or cut short.
    {"Av1Garbage", [] { return av1File([](Bytes& data) { std::fill(data.begin(), data.end(), 0xA5); }); }, nullptr, kAv1},
    {"Av1CutShort", [] { return av1File([](Bytes& data) { data.resize(data.size() / 2); }); }, nullptr, kAv1},
};
// clang-format on

class BrokenItemTest : public HostileTest, public ::testing::WithParamInterface<BrokenItem>
{};

// Each decoder says what is wrong within a small budget, and converting the
// file ends in a result text with a reason that names the coding.
TEST_P(BrokenItemTest, SaysWhatIsWrongWithinItsBudget)
{
    const BrokenItem& row = GetParam();
    const Bytes file = row.file();
    if (file.empty()) {
        GTEST_SKIP() << "avifenc is not installed";
    }
    if (row.reason != nullptr) {
        std::istringstream in(std::string(file.begin(), file.end()));
        HevcImageFileReader reader;
        reader.setImageCodings(HevcImageFileReader::ImageCodings::All);
        reader.initialize(in);
        const ContextId context = reader.getFileInformation().rootMetaBoxInformation.contextId;
        MemoryBudget budget(std::uint64_t(64) << 20);
        Bytes data;
        DecodedPicture decoded;
        if (reader.getDecoderCodeType(context, 1) == "unci") {
            reader.getItemData(context, 1, data);
            decoded = decodeUncompressed(uncompressedConfigOf(reader, context, 1), data, &budget);
        } else {
            reader.getItemDataWithDecoderParameters(context, 1, data);
            decoded = decodeJpeg(data, &budget);
        }
        if (row.reason[0] == '\0') {
            EXPECT_TRUE(decoded.ok()) << decoded.error;
        }
        EXPECT_NE((decoded.error + decoded.warning).find(row.reason), std::string::npos)
            << decoded.error << decoded.warning;
        // Nothing large is charged, but for a picture whose decoding then
        // needs more than the budget has left.
        if (std::string_view(row.reason).find("memory budget") == std::string_view::npos) {
            EXPECT_LE(budget.charged(), std::uint64_t(1) << 20);
        }
    }
    // What still decodes (bombs decoded as far as the layout needs, a
    // damaged stream, a progressive one within the conversion's larger budget) converts.
    const Heif2JpgResult result = convert(file);
    EXPECT_EQ(result.ok, row.detail[0] == '\0') << result.detail;
    EXPECT_NE(result.detail.find(row.detail), std::string::npos) << result.detail;
}

INSTANTIATE_TEST_SUITE_P(OtherCodings, BrokenItemTest, ::testing::ValuesIn(kBrokenItems),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(ItemTableTest, LimitsOfItemsExtentsAndAssociations)
{
    // More items than kMaxItems: metadata items of a few bytes each.
    {
        fixture::SampleFile sample = fixture::makeGridHeic();
        for (std::uint32_t i = 0; i < ambrel::heif::limits::kMaxItems; ++i) {
            fixture::ItemDescription item;
            item.id = 100 + i;
            item.type = "mime";
            item.contentType = "text/plain";
            item.data = {'x'};
            sample.builder.addItem(std::move(item));
        }
        const Bytes file = sample.bytes();
        EXPECT_EQ(outcome(file), "HUD_ERR heif2jpg read_heif");
        EXPECT_FALSE(readerOpens(file));
    }
    // More extents for one item than kMaxExtentsPerItem.
    {
        fixture::SampleFile sample = fixture::makeGridHeic();
        fixture::ItemDescription item;
        item.id = 100;
        item.type = "mime";
        item.contentType = "text/plain";
        item.data.assign(ambrel::heif::limits::kMaxExtentsPerItem + 1, 'x');
        item.extentCount = ambrel::heif::limits::kMaxExtentsPerItem + 1;
        sample.builder.addItem(std::move(item));
        const Bytes file = sample.bytes();
        EXPECT_EQ(outcome(file), "HUD_ERR heif2jpg read_heif");
        EXPECT_FALSE(readerOpens(file));
        // One fewer is fine.
        sample.builder.item(100).extentCount = ambrel::heif::limits::kMaxExtentsPerItem;
        EXPECT_EQ(outcome(sample.bytes()), "ok");
    }
    // More associations than kMaxPropertyAssociations: one property
    // associated 255 times over with each of many items.
    {
        fixture::SampleFile sample = fixture::makeGridHeic();
        const std::uint32_t items = ambrel::heif::limits::kMaxPropertyAssociations / 200 + 1;
        std::vector<std::uint32_t> ids;
        for (std::uint32_t i = 0; i < items; ++i) {
            fixture::ItemDescription item;
            item.id = 100 + i;
            item.type = "mime";
            item.contentType = "text/plain";
            item.data = {'x'};
            sample.builder.addItem(std::move(item));
            ids.push_back(100 + i);
        }
        const std::uint32_t property = sample.builder.addRawProperty(fixture::makeBox("free", {}), ids, false);
        for (int repeat = 1; repeat < 200; ++repeat) {
            sample.builder.associate(property, ids, false);
        }
        const Bytes file = sample.bytes();
        EXPECT_EQ(outcome(file), "HUD_ERR heif2jpg read_heif");
        EXPECT_FALSE(readerOpens(file));
    }
    // More item reference targets than kMaxReferenceTargets: metadata items
    // describing the grid over and over (a reference box holds at most 65,535).
    {
        fixture::SampleFile sample = fixture::makeGridHeic();
        const std::uint32_t perItem = 60000;
        for (std::uint32_t i = 0; i <= ambrel::heif::limits::kMaxReferenceTargets / perItem; ++i) {
            fixture::ItemDescription item;
            item.id = 100 + i;
            item.type = "mime";
            item.contentType = "text/plain";
            item.data = {'x'};
            sample.builder.addItem(std::move(item));
            sample.builder.addReference("cdsc", 100 + i, std::vector<std::uint32_t>(perItem, sample.primaryId));
        }
        const Bytes file = sample.bytes();
        const Heif2JpgResult result = convert(file);
        EXPECT_EQ(result.message, "HUD_ERR heif2jpg read_heif");
        EXPECT_NE(result.detail.find("item reference targets"), std::string::npos) << result.detail;
        EXPECT_FALSE(readerOpens(file));
    }
}

}  // namespace
