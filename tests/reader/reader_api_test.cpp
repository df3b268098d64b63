// The reader's error model and life cycle.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <thread>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "heiclib/heif_limits.h"
#include "heiclib/ids.h"
#include "heiclib/log.h"
#include "heiclib/reader/hevc_image_file_reader.h"
#include "tests/fixtures/heif_builder.h"

using namespace ambrel::heif;

namespace {

std::string corpus(const std::string& name)
{
    return std::string(AMBREL_CORPUS_DIR) + "/" + name;
}

std::int32_t codeOf(const std::function<void()>& call)
{
    try {
        call();
    } catch (const FileReaderException& e) {
        return e.getStatusCode();
    }
    return -100;
}

TEST(FileReaderExceptionText, StandardTextsAndMessages)
{
    EXPECT_STREQ(FileReaderException(12).what(), "Unspecified error.");
    EXPECT_STREQ(FileReaderException(-1).what(), "Unspecified error.");
    EXPECT_STREQ(FileReaderException(10).what(), "The item is unaccessible because it is protected.");
    EXPECT_STREQ(FileReaderException(9).what(), "The item is unaccessible because it is protected.");
    EXPECT_STREQ(FileReaderException(11).what(), "Reader not initialized. Call initialize() first.");
    EXPECT_STREQ(FileReaderException(2).what(), "Error while reading file.");
    EXPECT_STREQ(FileReaderException(0).what(), "Unable to open input file.");
    EXPECT_STREQ(FileReaderException(2, "custom").what(), "custom");
    EXPECT_EQ(FileReaderException(7).getStatusCode(), 7);
}

// Every operation but the exempt ones refuses with code 11 on a reader that
// holds no file.
void expectAllRefuse(HevcImageFileReader& r)
{
    const ContextId c = 21000;
    DataVector data;
    IdVector ids;
    ParameterSetMap sets;
    std::map<Timestamp, ItemId> stamps;
    std::vector<Timestamp> times;
    std::vector<std::pair<ItemId, Timestamp>> order;
    const std::vector<std::pair<const char*, std::function<void()>>> calls = {
        {"getMajorBrand", [&] { r.getMajorBrand(); }},
        {"getMinorVersion", [&] { r.getMinorVersion(); }},
        {"getCompatibleBrands", [&] { r.getCompatibleBrands(); }},
        {"getDisplayWidth", [&] { r.getDisplayWidth(c); }},
        {"getDisplayHeight", [&] { r.getDisplayHeight(c); }},
        {"getWidth", [&] { r.getWidth(c, 1); }},
        {"getHeight", [&] { r.getHeight(c, 1); }},
        {"getPlaybackDurationInSecs", [&] { r.getPlaybackDurationInSecs(c); }},
        {"setForcedTimedPlayback", [&] { r.setForcedTimedPlayback(c, 1.0f); }},
        {"setForcedLoopPlayback", [&] { r.setForcedLoopPlayback(c, true); }},
        {"getItemListByType", [&] { r.getItemListByType(c, "master", ids); }},
        {"getItemType", [&] { r.getItemType(c, 1); }},
        {"getReferencedFromItemListByType", [&] { r.getReferencedFromItemListByType(c, 1, "dimg", ids); }},
        {"getReferencedToItemListByType", [&] { r.getReferencedToItemListByType(c, 1, "dimg", ids); }},
        {"getCoverImageItemId", [&] { r.getCoverImageItemId(c); }},
        {"getItemData", [&] { r.getItemData(c, 1, data); }},
        {"getItemIovl", [&] { r.getItemIovl(c, 1); }},
        {"getItemGrid", [&] { r.getItemGrid(c, 1); }},
        {"getPropertyImir", [&] { r.getPropertyImir(c, 0); }},
        {"getPropertyIrot", [&] { r.getPropertyIrot(c, 0); }},
        {"getPropertyAuxc", [&] { r.getPropertyAuxc(c, 0); }},
        {"getPropertyRloc", [&] { r.getPropertyRloc(c, 0); }},
        {"getPropertyLsel", [&] { r.getPropertyLsel(c, 0); }},
        {"getPropertyTols", [&] { r.getPropertyTols(c, 0); }},
        {"getPropertyClap", [&] { r.getPropertyClap(c, 0); }},
        {"getItemProperties", [&] { r.getItemProperties(c, 1); }},
        {"getItemDataWithDecoderParameters", [&] { r.getItemDataWithDecoderParameters(c, 1, data); }},
        {"getItemTimestamps", [&] { r.getItemTimestamps(c, stamps); }},
        {"getTimestampsOfItem", [&] { r.getTimestampsOfItem(c, 1, times); }},
        {"getItemsInDecodingOrder", [&] { r.getItemsInDecodingOrder(c, order); }},
        {"getItemDecodeDependencies", [&] { r.getItemDecodeDependencies(c, 1, ids); }},
        {"getDecoderCodeType", [&] { r.getDecoderCodeType(c, 1); }},
        {"getDecoderParameterSets", [&] { r.getDecoderParameterSets(c, 1, sets); }},
        {"getItemColourInformation", [&] { r.getItemColourInformation(c, 1); }},
        {"getItemMimeContent", [&] { r.getItemMimeContent(c, 1); }},
        {"getItemDeclaredLength", [&] { r.getItemDeclaredLength(c, 1); }},
        {"getItemLumaBitDepth", [&] { r.getItemLumaBitDepth(c, 1); }},
    };
    for (const auto& [name, call] : calls) {
        EXPECT_EQ(codeOf(call), FileReaderException::NotInitialized) << name;
    }
    EXPECT_NO_THROW(r.getFileInformation());
    EXPECT_NO_THROW(r.getMatrix());
}

TEST(ReaderLifeCycle, FreshReaderRefusesEveryQuery)
{
    HevcImageFileReader r;
    expectAllRefuse(r);
    // Not state-checked: with no context it is an unknown context id.
    EXPECT_EQ(codeOf([&] { r.getItemProtectionScheme(21000, 1); }), FileReaderException::InvalidContextId);
    const FileInformation& info = r.getFileInformation();
    EXPECT_TRUE(info.features.empty());
    EXPECT_TRUE(info.trackInformation.empty());
    EXPECT_TRUE(info.rootMetaBoxInformation.imageFeatures.empty());
}

TEST(ReaderLifeCycle, ClosedReaderRefusesAgainAndCanReopen)
{
    ambrel::log::setLevel(ambrel::log::Error);
    HevcImageFileReader r;
    r.initialize(corpus("zPug_3.heic"));
    const ContextId context = r.getFileInformation().rootMetaBoxInformation.contextId;
    EXPECT_EQ(r.getCoverImageItemId(context), 6u);
    r.close();
    expectAllRefuse(r);
    r.initialize(corpus("zPug_3.heic"));
    const ContextId second = r.getFileInformation().rootMetaBoxInformation.contextId;
    EXPECT_NE(second, context);
    EXPECT_EQ(r.getCoverImageItemId(second), 6u);
    ambrel::log::setLevel(ambrel::log::Warning);
}

TEST(ReaderLifeCycle, MissingFileIsCodeZeroWithItsName)
{
    HevcImageFileReader r;
    try {
        r.initialize("/nonexistent/x.heic");
        FAIL();
    } catch (const FileReaderException& e) {
        EXPECT_EQ(e.getStatusCode(), FileReaderException::OpenFailed);
        EXPECT_STREQ(e.what(), "Unable to open input file '/nonexistent/x.heic'");
    }
}

TEST(ReaderLifeCycle, FifoIsRefusedWithoutBeingOpened)
{
    // Opening a FIFO for reading waits for a writer. The helper plays that
    // writer only if the reader does open it (it then writes nothing, and an
    // empty input would open as a file without boxes).
    const std::string path = ::testing::TempDir() + "reader-fifo-" + std::to_string(::getpid());
    ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
    std::atomic<bool> done{false};
    std::thread writer([&] {
        while (!done) {
            const int fd = ::open(path.c_str(), O_WRONLY | O_NONBLOCK);
            if (fd >= 0) {
                ::close(fd);
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    });
    HevcImageFileReader r;
    bool refused = false;
    try {
        r.initialize(path);
    } catch (const FileReaderException& e) {
        refused = true;
        EXPECT_EQ(e.getStatusCode(), FileReaderException::OpenFailed);
        EXPECT_NE(std::string(e.what()).find("not a regular file"), std::string::npos) << e.what();
    }
    done = true;
    writer.join();
    ::unlink(path.c_str());
    EXPECT_TRUE(refused);
}

TEST(ReaderLifeCycle, RootBoxPastTheMemoryLimitIsRefused)
{
    // A sparse file whose 'meta' box claims all of it past the limit of a
    // root box read into memory: refused by its size, nothing allocated.
    const std::string path = ::testing::TempDir() + "reader-large-meta-" + std::to_string(::getpid());
    const std::uint64_t metaSize = ambrel::heif::limits::kMaxRootBoxBytes + 8;
    {
        std::vector<std::uint8_t> head = {0, 0, 0, 24, 'f', 't', 'y', 'p', 'h', 'e', 'i', 'c',
                                          0, 0, 0, 0,  'm', 'i', 'f', '1', 'h', 'e', 'i', 'c'};
        const std::uint8_t meta[] = {std::uint8_t(metaSize >> 24),
                                     std::uint8_t(metaSize >> 16),
                                     std::uint8_t(metaSize >> 8),
                                     std::uint8_t(metaSize),
                                     'm',
                                     'e',
                                     't',
                                     'a'};
        head.insert(head.end(), std::begin(meta), std::end(meta));
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(head.data()), std::streamsize(head.size()));
    }
    std::filesystem::resize_file(path, 24 + metaSize);
    HevcImageFileReader r;
    ambrel::log::setLevel(-1);
    try {
        r.initialize(path);
        ADD_FAILURE() << "the file was read";
    } catch (const FileReaderException& e) {
        EXPECT_NE(std::string(e.what()).find("more than the limit of " +
                                             std::to_string(ambrel::heif::limits::kMaxRootBoxBytes)),
                  std::string::npos)
            << e.what();
    }
    ambrel::log::setLevel(ambrel::log::Warning);
    std::filesystem::remove(path);
}

// A file of 'Exif' items that all name one run of `dataBytes` bytes in
// 'mdat' (construction method 0), or the same run of a 'meta' 'idat' (method 1).
std::string itemsSharingOneRun(std::uint32_t itemCount, std::uint32_t dataBytes, bool inIdat)
{
    auto u16 = [](std::string& out, std::uint32_t v) {
        out += char(v >> 8);
        out += char(v);
    };
    auto u32 = [&](std::string& out, std::uint32_t v) {
        u16(out, v >> 16);
        u16(out, v & 0xFFFF);
    };
    auto box = [&](const std::string& type, const std::string& payload) {
        std::string out;
        u32(out, std::uint32_t(8 + payload.size()));
        return out + type + payload;
    };
    auto fullBox = [&](const std::string& type, std::uint8_t version, const std::string& payload) {
        return box(type, std::string(1, char(version)) + std::string(3, '\0') + payload);
    };
    const std::string ftyp = box("ftyp", std::string("heic") + std::string(4, '\0') + "mif1heic");
    auto meta = [&](std::uint32_t offset) {
        std::string infes;
        for (std::uint32_t id = 1; id <= itemCount; ++id) {
            std::string infe;
            u16(infe, id);
            u16(infe, 0);
            infes += fullBox("infe", 2, infe + "Exif" + std::string(1, '\0'));
        }
        std::string iinf;
        u16(iinf, itemCount);
        std::string iloc = "\x44";
        iloc += '\0';
        u16(iloc, itemCount);
        for (std::uint32_t id = 1; id <= itemCount; ++id) {
            u16(iloc, id);
            u16(iloc, inIdat ? 1 : 0);
            u16(iloc, 0);
            u16(iloc, 1);
            u32(iloc, offset);
            u32(iloc, dataBytes);
        }
        std::string payload = fullBox("hdlr", 0, std::string(4, '\0') + "pict" + std::string(13, '\0')) +
                              fullBox("iinf", 0, iinf + infes) + fullBox("iloc", 1, iloc);
        if (inIdat) {
            payload += box("idat", std::string(dataBytes, 'x'));
        }
        return fullBox("meta", 0, payload);
    };
    if (inIdat) {
        return ftyp + meta(0);
    }
    const std::uint32_t offset = std::uint32_t(ftyp.size() + meta(0).size() + 8);
    return ftyp + meta(offset) + box("mdat", std::string(dataBytes, 'x'));
}

TEST(ReaderMemoryBudget, ItemDataReadOverAndOverIsBoundedPerFile)
{
    // 1,100 items naming the same MiB: each read alone is fine, all of them
    // together copy more than the file's whole budget. The reads past it are
    // refused, cheaply, instead of copying 1.1 GB out of a 1 MB file.
    const std::uint32_t items = 1100;
    std::stringstream stream(itemsSharingOneRun(items, 1u << 20, false));
    HevcImageFileReader r;
    ambrel::log::setLevel(-1);
    r.initialize(stream);
    const ContextId context = r.getFileInformation().rootMetaBoxInformation.contextId;
    std::uint32_t read = 0;
    std::string refusal;
    for (ItemId id = 1; id <= items; ++id) {
        try {
            DataVector data;
            r.getItemData(context, id, data);
            ASSERT_EQ(data.size(), 1u << 20);
            ++read;
        } catch (const FileReaderException& e) {
            refusal = e.what();
        }
    }
    ambrel::log::setLevel(ambrel::log::Warning);
    EXPECT_GT(read, 900u);
    EXPECT_LT(read, items);
    EXPECT_NE(refusal.find("more than the memory budget of 1073741824 bytes for this file"), std::string::npos)
        << refusal;
}

TEST(ReaderMemoryBudget, BoxCopiesAndIdatReadsAreCharged)
{
    // One 'idat' of 64 KiB: the meta box read into memory, its copy of the
    // 'idat', the 'idat' bytes kept, and then each item's read, all charged.
    const std::string file = itemsSharingOneRun(4, 1u << 16, true);
    ambrel::log::setLevel(-1);
    {
        // Enough for the root box, not for the copy of its 'idat' child.
        std::stringstream stream(file);
        HevcImageFileReader r;
        r.setMemoryBudget(file.size() + 1000);
        try {
            r.initialize(stream);
            ADD_FAILURE() << "the file was read";
        } catch (const FileReaderException& e) {
            EXPECT_NE(std::string(e.what()).find("box 'idat'"), std::string::npos) << e.what();
            EXPECT_NE(std::string(e.what()).find("memory budget of " + std::to_string(file.size() + 1000)),
                      std::string::npos)
                << e.what();
        }
    }
    {
        // Enough to open (about three times the 'idat') and read two items.
        std::stringstream stream(file);
        HevcImageFileReader r;
        r.setMemoryBudget(file.size() + (9u << 15));
        r.initialize(stream);
        const ContextId context = r.getFileInformation().rootMetaBoxInformation.contextId;
        DataVector data;
        r.getItemData(context, 1, data);
        r.getItemData(context, 2, data);
        EXPECT_EQ(data.size(), 1u << 16);
        EXPECT_THROW(r.getItemData(context, 3, data), FileReaderException);
        // The next file opened starts with nothing charged.
        std::stringstream again(file);
        r.initialize(again);
        r.getItemData(r.getFileInformation().rootMetaBoxInformation.contextId, 1, data);
    }
    ambrel::log::setLevel(ambrel::log::Warning);
}

TEST(ReaderLifeCycle, ContextIdsComeFromTheProcessCounter)
{
    ambrel::log::setLevel(ambrel::log::Error);
    resetIdCounter();
    HevcImageFileReader first;
    first.initialize(corpus("RGB_10__29x100.heif"));
    HevcImageFileReader second;
    second.initialize(corpus("L_xmp_latin1.heic"));
    EXPECT_EQ(first.getFileInformation().rootMetaBoxInformation.contextId, 21000u);
    EXPECT_EQ(first.getFileInformation().fileId, 21001u);
    EXPECT_EQ(second.getFileInformation().rootMetaBoxInformation.contextId, 22002u);
    ambrel::log::setLevel(ambrel::log::Warning);
}

TEST(ReaderLifeCycle, UnknownContextAndItemIds)
{
    ambrel::log::setLevel(ambrel::log::Error);
    HevcImageFileReader r;
    r.initialize(corpus("RGB_10__29x100.heif"));
    const ContextId context = r.getFileInformation().rootMetaBoxInformation.contextId;
    IdVector ids;
    DataVector data;
    EXPECT_EQ(codeOf([&] { r.getItemListByType(context + 7, "master", ids); }), FileReaderException::InvalidContextId);
    EXPECT_EQ(codeOf([&] { r.getDisplayWidth(context); }), FileReaderException::InvalidContextId);
    EXPECT_EQ(codeOf([&] { r.getItemType(context, 99); }), FileReaderException::InvalidItemId);
    EXPECT_EQ(codeOf([&] { r.getItemProperties(context, 99); }), FileReaderException::InvalidItemId);
    EXPECT_EQ(codeOf([&] { r.getDecoderCodeType(context, 99); }), FileReaderException::InvalidItemId);
    EXPECT_EQ(codeOf([&] { r.getItemGrid(context, 1); }), FileReaderException::InvalidItemId);
    EXPECT_EQ(codeOf([&] { r.getItemIovl(context, 2); }), FileReaderException::InvalidItemId);
    EXPECT_EQ(codeOf([&] { r.getItemProtectionScheme(context, 1); }), FileReaderException::ItemNotProtected);
    EXPECT_EQ(codeOf([&] { r.setForcedLoopPlayback(context + 7, true); }), FileReaderException::InvalidContextId);
    EXPECT_THROW(r.getWidth(context, 99), std::out_of_range);
    // A grid has no decoder configuration: its coded form is refused.
    EXPECT_EQ(r.getDecoderCodeType(context, 2), "not supported");
    EXPECT_EQ(codeOf([&] { r.getItemDataWithDecoderParameters(context, 2, data); }),
              FileReaderException::CodeTypeNotSupported);
    // Its raw descriptor bytes come back as stored.
    r.getItemData(context, 2, data);
    EXPECT_EQ(data.size(), 8u);
    ambrel::log::setLevel(ambrel::log::Warning);
}

// What the extraction asks about items besides their bytes: a 'mime'
// entry's content type and encoding, the length 'iloc' declares over every
// extent, and an 'hvcC's luma bit depth.
TEST(ReaderItemDetails, MimeContentDeclaredLengthAndBitDepth)
{
    fixture::HeifBuilder b;
    fixture::ItemDescription image;
    image.id = 1;
    image.data = {0, 0, 0, 1, 0x26};
    b.addItem(image);
    fixture::ItemDescription xmp;
    xmp.id = 2;
    xmp.type = "mime";
    xmp.contentType = "application/rdf+xml";
    xmp.contentEncoding = "deflate";
    xmp.data = fixture::Bytes(300, 'x');
    xmp.extentCount = 3;
    b.addItem(xmp);
    fixture::ItemDescription inIdat = xmp;
    inIdat.id = 3;
    inIdat.contentEncoding.clear();
    inIdat.storage = fixture::Storage::Idat;
    inIdat.extentCount = 1;
    inIdat.data.resize(17);
    b.addItem(inIdat);
    b.setPrimary(1);
    HevcDecoderConfigRecord record;
    record.setBitDepthLumaMinus8(2);
    b.hvcC({1}, record);
    const fixture::Bytes file = b.build();
    std::stringstream stream(std::string(file.begin(), file.end()));
    HevcImageFileReader r;
    ambrel::log::setLevel(ambrel::log::Error);
    r.initialize(stream);
    ambrel::log::setLevel(ambrel::log::Warning);
    const ContextId c = r.getFileInformation().rootMetaBoxInformation.contextId;

    EXPECT_EQ(r.getItemMimeContent(c, 2), (MimeContent{"application/rdf+xml", "deflate"}));
    EXPECT_EQ(r.getItemMimeContent(c, 3), (MimeContent{"application/rdf+xml", ""}));
    EXPECT_EQ(r.getItemMimeContent(c, 9), std::nullopt);
    EXPECT_EQ(r.getItemDeclaredLength(c, 2), 300u);
    EXPECT_EQ(r.getItemDeclaredLength(c, 3), 17u);
    EXPECT_EQ(r.getItemDeclaredLength(c, 9), std::nullopt);
    EXPECT_EQ(r.getItemLumaBitDepth(c, 1), 10);
    EXPECT_EQ(r.getItemLumaBitDepth(c, 2), std::nullopt);
}

TEST(ReaderColourInformation, NclxCodePointsOfEachItem)
{
    fixture::HeifBuilder b;
    for (std::uint32_t id = 1; id <= 4; ++id) {
        fixture::ItemDescription item;
        item.id = id;
        item.type = "hvc1";
        item.data = {0, 0, 0, 1, 0x26};
        b.addItem(item);
    }
    b.setPrimary(1);
    // Item 1: two sets of code points, the first counts.
    b.colr({1}, 12, 13, 6, true);
    b.colr({1}, 1, 1, 1, false);
    // Item 2: an ICC profile before its code points; item 4: the profile alone.
    const fixture::Bytes prof{'p', 'r', 'o', 'f', 1, 2, 3, 4, 5, 6};
    b.addRawProperty(fixture::makeBox("colr", prof), {2, 4}, false);
    b.colr({2}, 9, 16, 9, false);
    const fixture::Bytes file = b.build();
    std::stringstream stream(std::string(file.begin(), file.end()));
    HevcImageFileReader r;
    ambrel::log::setLevel(ambrel::log::Error);
    r.initialize(stream);
    ambrel::log::setLevel(ambrel::log::Warning);
    const ContextId c = r.getFileInformation().rootMetaBoxInformation.contextId;

    EXPECT_EQ(r.getItemColourInformation(c, 1), (NclxColour{12, 13, 6, true}));
    EXPECT_EQ(r.getItemColourInformation(c, 2), (NclxColour{9, 16, 9, false}));
    EXPECT_EQ(r.getItemIccProfile(c, 2), (DataVector{1, 2, 3, 4, 5, 6}));
    EXPECT_EQ(r.getItemColourInformation(c, 3), std::nullopt);
    EXPECT_EQ(r.getItemColourInformation(c, 4), std::nullopt);
    EXPECT_EQ(r.getItemIccProfile(c, 4), (DataVector{1, 2, 3, 4, 5, 6}));
    EXPECT_EQ(codeOf([&] { r.getItemColourInformation(c + 7, 1); }), FileReaderException::InvalidContextId);
}

TEST(ReaderTiming, ForcedFrameRateOverMasters)
{
    ambrel::log::setLevel(ambrel::log::Error);
    HevcImageFileReader r;
    r.initialize(corpus("zPug_3.heic"));
    const ContextId context = r.getFileInformation().rootMetaBoxInformation.contextId;
    std::map<Timestamp, ItemId> stamps;
    try {
        r.getItemTimestamps(context, stamps);
        FAIL();
    } catch (const FileReaderException& e) {
        EXPECT_EQ(e.getStatusCode(), FileReaderException::InvalidContextId);
        EXPECT_STREQ(e.what(), "getItemTimestamps: Forced FPS not set for meta context");
    }
    EXPECT_EQ(r.getPlaybackDurationInSecs(context), 0.0f);
    IdVector masters;
    r.getItemListByType(context, "master", masters);
    ASSERT_GE(masters.size(), 3u);
    r.setForcedTimedPlayback(context, 2.0f);
    EXPECT_FLOAT_EQ(r.getPlaybackDurationInSecs(context), static_cast<float>(masters.size()) / 2.0f);
    r.getItemTimestamps(context, stamps);
    ASSERT_EQ(stamps.size(), masters.size());
    EXPECT_EQ(stamps.at(0), masters[0]);
    EXPECT_EQ(stamps.at(500), masters[1]);
    EXPECT_EQ(stamps.at(1000), masters[2]);
    std::vector<Timestamp> times;
    r.getTimestampsOfItem(context, masters[1], times);
    EXPECT_EQ(times, std::vector<Timestamp>{500});
    // Thumbnails of a master share its time.
    IdVector thumbnails;
    r.getReferencedToItemListByType(context, masters[0], "thmb", thumbnails);
    std::vector<std::pair<ItemId, Timestamp>> order;
    r.getItemsInDecodingOrder(context, order);
    for (const auto& [id, time] : order) {
        if (std::find(thumbnails.begin(), thumbnails.end(), id) != thumbnails.end()) {
            EXPECT_EQ(time, 0);
        }
    }
    ambrel::log::setLevel(ambrel::log::Warning);
}

}  // namespace
