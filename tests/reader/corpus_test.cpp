// The reader against real files made by other tools.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <set>
#include <sstream>
#include <thread>

#include "heiclib/log.h"
#include "heiclib/model/image_model.h"
#include "heiclib/reader/hevc_image_file_reader.h"
#include "tests/fixtures/heif_samples.h"

using namespace ambrel::heif;

namespace {

std::string corpus(const std::string& name)
{
    return std::string(AMBREL_CORPUS_DIR) + "/" + name;
}

class CorpusTest : public ::testing::Test
{
protected:
    void SetUp() override { ambrel::log::setLevel(ambrel::log::Error); }
    void TearDown() override { ambrel::log::setLevel(ambrel::log::Warning); }

    HevcImageFileReader reader;

    ContextId open(const std::string& name)
    {
        reader.initialize(corpus(name));
        return reader.getFileInformation().rootMetaBoxInformation.contextId;
    }
};

struct GridExpectation
{
    const char* file;
    ItemId primary;
    std::uint32_t width;
    std::uint32_t height;
    IdVector tiles;
};

class CorpusGridFiles : public CorpusTest, public ::testing::WithParamInterface<GridExpectation>
{};

TEST_P(CorpusGridFiles, PrimaryIsAOneByOneGridWithReadableTiles)
{
    const auto& expected = GetParam();
    const ContextId context = open(expected.file);
    ASSERT_EQ(reader.getCoverImageItemId(context), expected.primary);
    EXPECT_EQ(reader.getItemType(context, expected.primary), "grid");
    const GridItem grid = reader.getItemGrid(context, expected.primary);
    EXPECT_EQ(grid.rowsMinusOne, 0);
    EXPECT_EQ(grid.columnsMinusOne, 0);
    EXPECT_EQ(grid.outputWidth, expected.width);
    EXPECT_EQ(grid.outputHeight, expected.height);
    EXPECT_EQ(grid.itemIds, expected.tiles);
    for (const ItemId tile : grid.itemIds) {
        EXPECT_EQ(reader.getDecoderCodeType(context, tile), "hvc1");
        DataVector data;
        reader.getItemDataWithDecoderParameters(context, tile, data);
        ASSERT_GT(data.size(), 4u);
        // VPS first, behind a 4-byte start code.
        EXPECT_EQ(data[0], 0);
        EXPECT_EQ(data[1], 0);
        EXPECT_EQ(data[2], 0);
        EXPECT_EQ(data[3], 1);
        EXPECT_EQ((data[4] >> 1) & 0x3F, 32);
    }
}

INSTANTIATE_TEST_SUITE_P(Corpus, CorpusGridFiles,
                         ::testing::Values(GridExpectation{"RGB_10__29x100.heif", 2, 29, 100, {1}},
                                           GridExpectation{"L_xmp_latin1.heic", 2, 16, 16, {1}},
                                           GridExpectation{"empty_icc.heic", 2, 1025, 900, {1}},
                                           GridExpectation{"invalid_id.heic", 2, 1197, 1227, {1}}),
                         [](const auto& info) {
                             std::string name = info.param.file;
                             std::replace_if(
                                 name.begin(), name.end(), [](char c) { return !std::isalnum(c); }, '_');
                             return name;
                         });

// The image model of corpus files: the primary, the top-level images, the
// displayed size of the primary, its Exif item, its auxiliary images, and
// the thumbnails of an image.
struct ModelExpectation
{
    const char* file;
    ItemId primary;
    IdVector topLevel;
    std::uint32_t displayedWidth;
    ItemId exif;
    IdVector auxiliary;
    ItemId thumbnailed;
    IdVector thumbnails;
};

TEST_F(CorpusTest, ImageModelOfEachFile)
{
    const ModelExpectation rows[] = {
        {"empty_icc.heic", 2, {2, 5}, 1025, 3, {}, 5, {8}},   {"RGB_8_chroma444.heif", 1, {1}, 29, 0, {}, 1, {}},
        {"RGBA_8__128x128.heif", 1, {1}, 128, 0, {2}, 1, {}}, {"zPug_3.heic", 6, {6, 1, 9}, 64, 0, {}, 1, {3, 5}},
        {"invalid_id.heic", 2, {2, 3}, 1197, 0, {}, 3, {2}},
    };
    for (const ModelExpectation& row : rows) {
        SCOPED_TRACE(row.file);
        reader.setImageCodings(HevcImageFileReader::ImageCodings::All);
        open(row.file);
        const ImageModel model(reader);
        EXPECT_EQ(model.primary(), row.primary);
        EXPECT_EQ(model.topLevelImages(), row.topLevel);
        EXPECT_EQ(model.image(row.primary)->displayedWidth, row.displayedWidth);
        EXPECT_EQ(model.exifDescribing(row.primary), row.exif);
        IdVector auxiliary;
        for (const AuxiliaryImage& image : model.auxiliaryImagesOf(row.primary)) {
            auxiliary.push_back(image.id);
        }
        EXPECT_EQ(auxiliary, row.auxiliary);
        EXPECT_EQ(model.thumbnailsOf(row.thumbnailed), row.thumbnails);
        reader.close();
    }
}

TEST_F(CorpusTest, TenBitGridMastersAreTheTiles)
{
    const ContextId context = open("RGB_10__29x100.heif");
    IdVector masters;
    reader.getItemListByType(context, "master", masters);
    EXPECT_EQ(masters, IdVector{1});
    IdVector grids;
    reader.getItemListByType(context, "grid", grids);
    EXPECT_EQ(grids, IdVector{2});
    EXPECT_EQ(reader.getWidth(context, 1), 64u);
    EXPECT_EQ(reader.getHeight(context, 1), 100u);
    EXPECT_EQ(reader.getMajorBrand(), "heic");
}

TEST_F(CorpusTest, ExifOfThePrimaryIsTheOneItsCdscPointsAt)
{
    const ContextId context = open("empty_icc.heic");
    IdVector exifFor;
    reader.getReferencedToItemListByType(context, 2, "cdsc", exifFor);
    ASSERT_FALSE(exifFor.empty());
    EXPECT_EQ(reader.getItemType(context, 3), "Exif");
    EXPECT_NE(std::find(exifFor.begin(), exifFor.end(), 3u), exifFor.end());
    // The second image has its own Exif item.
    IdVector exifForSecond;
    reader.getReferencedToItemListByType(context, 5, "cdsc", exifForSecond);
    EXPECT_NE(std::find(exifForSecond.begin(), exifForSecond.end(), 6u), exifForSecond.end());
    EXPECT_EQ(reader.getWidth(context, 5), 932u);
    EXPECT_EQ(reader.getHeight(context, 5), 1044u);
    // The thumbnail keeps its coded type.
    EXPECT_EQ(reader.getItemType(context, 8), "hvc1");
    const auto& features = reader.getFileInformation().rootMetaBoxInformation.imageFeatures.at(8);
    EXPECT_EQ(features.count(ImageFeature::Thumbnail), 1u);
}

TEST_F(CorpusTest, ExifItemComesBackByteForByte)
{
    const ContextId context = open("L_exif_xmp_iptc.heic");
    DataVector exif;
    reader.getItemData(context, 2, exif);
    ASSERT_EQ(exif.size(), 40960u);
    // Compare with the bytes in the file found through its own extents: the
    // block starts with the TIFF header offset, then "Exif\0\0".
    const std::string marker(exif.begin() + 4, exif.begin() + 8);
    EXPECT_EQ(marker, "Exif");
    std::ifstream file(corpus("L_exif_xmp_iptc.heic"), std::ios::binary);
    const std::string whole((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    EXPECT_NE(whole.find(std::string(exif.begin(), exif.end())), std::string::npos);
}

TEST_F(CorpusTest, SingleImagesAreNotGrids)
{
    struct Case
    {
        const char* file;
        ItemId primary;
        std::uint32_t width;
        std::uint32_t height;
    };
    for (const Case& c : {Case{"RGB_8_chroma444.heif", 1, 64, 100}, Case{"RGBA_8__128x128.heif", 1, 128, 128},
                          Case{"zPug_3.heic", 6, 64, 64}, Case{"L_exif_xmp_iptc.heic", 1, 64, 64}}) {
        HevcImageFileReader r;
        r.initialize(corpus(c.file));
        const ContextId context = r.getFileInformation().rootMetaBoxInformation.contextId;
        EXPECT_EQ(r.getCoverImageItemId(context), c.primary) << c.file;
        EXPECT_EQ(r.getItemType(context, c.primary), "master") << c.file;
        EXPECT_EQ(r.getWidth(context, c.primary), c.width) << c.file;
        EXPECT_EQ(r.getHeight(context, c.primary), c.height) << c.file;
        EXPECT_THROW(r.getItemGrid(context, c.primary), FileReaderException) << c.file;
    }
}

TEST_F(CorpusTest, AlphaPlaneIsAnAuxiliaryImageNotAMaster)
{
    const ContextId context = open("RGBA_8__128x128.heif");
    IdVector masters;
    reader.getItemListByType(context, "master", masters);
    EXPECT_EQ(masters, IdVector{1});
    EXPECT_EQ(reader.getItemType(context, 2), "hvc1");
    const auto properties = reader.getItemProperties(context, 2);
    const auto auxc = std::find_if(properties.begin(), properties.end(),
                                   [](const ItemPropertyInfo& p) { return p.type == ItemPropertyType::Auxc; });
    ASSERT_NE(auxc, properties.end());
    const AuxiliaryTypeInfo info = reader.getPropertyAuxc(context, auxc->index);
    EXPECT_EQ(info.auxType, "urn:mpeg:hevc:2015:auxid:1");  // auxiliary id 1: alpha
}

TEST_F(CorpusTest, CleanApertureOfAChroma444Image)
{
    const ContextId context = open("RGB_8_chroma444.heif");
    const auto properties = reader.getItemProperties(context, 1);
    const auto clap = std::find_if(properties.begin(), properties.end(),
                                   [](const ItemPropertyInfo& p) { return p.type == ItemPropertyType::Clap; });
    ASSERT_NE(clap, properties.end());
    const CleanApertureInfo info = reader.getPropertyClap(context, clap->index);
    EXPECT_EQ(info.widthN / std::max(info.widthD, 1u), 29u);
    EXPECT_EQ(info.heightN / std::max(info.heightD, 1u), 100u);
    // Asking for the wrong kind at that index is refused.
    try {
        reader.getPropertyIrot(context, clap->index);
        FAIL();
    } catch (const FileReaderException& e) {
        EXPECT_EQ(e.getStatusCode(), FileReaderException::InvalidPropertyIndex);
    }
}

TEST_F(CorpusTest, GridCountedAsThumbnailStillHasItsGrid)
{
    const ContextId context = open("invalid_id.heic");
    const auto& features = reader.getFileInformation().rootMetaBoxInformation.imageFeatures.at(2);
    EXPECT_EQ(features.count(ImageFeature::Thumbnail), 1u);
    EXPECT_EQ(features.count(ImageFeature::PrimaryImage), 1u);
    EXPECT_EQ(reader.getCoverImageItemId(context), 2u);
}

TEST_F(CorpusTest, BrokenFilesFailClearly)
{
    {
        HevcImageFileReader r;
        try {
            r.initialize(corpus("corrupted.heic"));
            FAIL() << "corrupted.heic opened";
        } catch (const FileReaderException& e) {
            EXPECT_EQ(e.getStatusCode(), FileReaderException::ReadFailed);
            // Its brands say HEIF ('mif1'); what follows the 'ftyp' is not a box.
            EXPECT_STREQ(
                e.what(),
                "Box '\\x00\\x00\\x00\\x00' of 7627008 bytes reaches past the end of the file (4749 bytes left)");
        }
    }
    for (const char* name : {"truncated.heic", "corrupted.hif"}) {
        HevcImageFileReader r;
        r.initialize(corpus(name));
        const ContextId context = r.getFileInformation().rootMetaBoxInformation.contextId;
        IdVector masters;
        r.getItemListByType(context, "master", masters);
        ASSERT_FALSE(masters.empty());
        bool failed = false;
        for (const ItemId id : masters) {
            DataVector data;
            try {
                r.getItemDataWithDecoderParameters(context, id, data);
            } catch (const FileReaderException& e) {
                EXPECT_EQ(e.getStatusCode(), FileReaderException::ReadFailed) << name;
                failed = true;
            }
        }
        EXPECT_TRUE(failed) << name << ": some tile data lies past the end of the file";
    }
}

TEST_F(CorpusTest, EmptyFileOpensWithNothingInIt)
{
    reader.initialize(corpus("empty.heic"));
    const FileInformation& info = reader.getFileInformation();
    EXPECT_TRUE(info.features.empty());
    EXPECT_TRUE(info.trackInformation.empty());
    EXPECT_EQ(reader.getMajorBrand(), "");
    EXPECT_THROW(reader.getCoverImageItemId(info.rootMetaBoxInformation.contextId), FileReaderException);
}

TEST_F(CorpusTest, StreamAndFileNameGiveTheSameAnswers)
{
    std::ifstream file(corpus("zPug_3.heic"), std::ios::binary);
    std::stringstream memory;
    memory << file.rdbuf();
    HevcImageFileReader fromStream;
    fromStream.initialize(memory);
    const ContextId streamContext = fromStream.getFileInformation().rootMetaBoxInformation.contextId;
    const ContextId fileContext = open("zPug_3.heic");
    EXPECT_EQ(fromStream.getCoverImageItemId(streamContext), reader.getCoverImageItemId(fileContext));
    DataVector a;
    DataVector b;
    fromStream.getItemData(streamContext, 9, a);
    reader.getItemData(fileContext, 9, b);
    EXPECT_EQ(a, b);
    EXPECT_FALSE(a.empty());
}

TEST_F(CorpusTest, EveryCorpusFileOpensOrFailsWithTheReadersException)
{
    for (const char* name : {"L_exif_xmp_iptc.heic", "L_xmp_latin1.heic", "RGBA_8__128x128.heif", "RGB_10__29x100.heif",
                             "RGB_8_chroma444.heif", "corrupted.heic", "corrupted.hif", "empty.heic", "empty_icc.heic",
                             "invalid_id.heic", "truncated.heic", "zPug_3.heic"}) {
        HevcImageFileReader r;
        try {
            r.initialize(corpus(name));
        } catch (const FileReaderException&) {
            continue;
        } catch (const std::exception& e) {
            ADD_FAILURE() << name << " failed with a non-reader exception: " << e.what();
        }
    }
}

// What a caller learns from one file: brands, items, types, sizes, grids,
// and the size of every item's data; or the error that opening gave.
std::string describe(const std::vector<std::uint8_t>& bytes)
{
    std::ostringstream out;
    std::stringstream input(std::string(bytes.begin(), bytes.end()));
    HevcImageFileReader reader;
    try {
        reader.initialize(input);
        const FileInformation& info = reader.getFileInformation();
        out << "tracks " << info.trackInformation.size() << "; features " << info.features.size() << "\n";
        if (info.features.count(FileFeature::HasRootLevelMetaBox) == 0) {
            return out.str();
        }
        const ContextId context = info.rootMetaBoxInformation.contextId;
        std::vector<ItemId> ids;
        for (const auto& [id, features] : info.rootMetaBoxInformation.imageFeatures) {
            ids.push_back(id);
            out << "image " << id << " " << reader.getItemType(context, id) << " " << reader.getWidth(context, id)
                << "x" << reader.getHeight(context, id) << " features " << features.size() << "\n";
        }
        for (const auto& [id, features] : info.rootMetaBoxInformation.itemFeatures) {
            ids.push_back(id);
            out << "item " << id << " " << reader.getItemType(context, id) << "\n";
        }
        IdVector grids;
        reader.getItemListByType(context, "grid", grids);
        for (const ItemId grid : grids) {
            for (const ItemId tile : reader.getItemGrid(context, grid).itemIds) {
                out << "grid " << grid << " tile " << tile << "\n";
            }
        }
        for (const ItemId id : ids) {
            DataVector data;
            try {
                reader.getItemData(context, id, data);
                out << "data " << id << " " << data.size() << "\n";
            } catch (const std::exception& e) {
                out << "data " << id << " error " << e.what() << "\n";
            }
        }
    } catch (const std::exception& e) {
        out << "error " << e.what() << "\n";
    }
    return out.str();
}

// Readers on several threads at once (as the converter runs them) give each
// file the same answer as one reader alone, and the ids they draw from the
// process-wide counter never collide.
TEST(ConcurrentReaders, GiveTheSameAnswersAsOneThread)
{
    ambrel::log::setLevel(ambrel::log::Error);
    std::vector<std::vector<std::uint8_t>> files;
    for (const char* name : {"RGB_10__29x100.heif", "L_xmp_latin1.heic", "empty_icc.heic", "invalid_id.heic",
                             "RGB_8_chroma444.heif", "RGBA_8__128x128.heif", "zPug_3.heic", "L_exif_xmp_iptc.heic",
                             "truncated.heic", "corrupted.heic", "empty.heic"}) {
        std::ifstream in(corpus(name), std::ios::binary);
        ASSERT_TRUE(in) << name;
        files.emplace_back(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    fixture::GridOptions grid;
    grid.exifOrientation = 6;
    grid.thumbnail = fixture::ThumbnailOptions{};
    files.push_back(fixture::makeGridHeic(grid).bytes());
    files.push_back(fixture::makeImageSequence(fixture::SequenceOptions{}));

    std::vector<std::string> expected;
    for (const auto& file : files) {
        expected.push_back(describe(file));
    }

    constexpr unsigned kThreads = 8;
    constexpr unsigned kRounds = 3;
    std::vector<std::vector<std::string>> answers(kThreads);
    std::vector<std::vector<ContextId>> ids(kThreads);
    std::vector<std::thread> threads;
    for (unsigned t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (unsigned round = 0; round < kRounds; ++round) {
                for (std::size_t i = 0; i < files.size(); ++i) {
                    // Each thread starts at another file.
                    const std::size_t f = (i + t) % files.size();
                    answers[t].push_back(describe(files[f]));
                    std::stringstream input(std::string(files[f].begin(), files[f].end()));
                    HevcImageFileReader reader;
                    try {
                        reader.initialize(input);
                        ids[t].push_back(reader.getFileInformation().fileId);
                    } catch (const std::exception&) {
                    }
                }
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    ambrel::log::setLevel(ambrel::log::Warning);

    std::set<ContextId> distinct;
    std::size_t idCount = 0;
    for (unsigned t = 0; t < kThreads; ++t) {
        ASSERT_EQ(answers[t].size(), kRounds * files.size());
        for (std::size_t k = 0; k < answers[t].size(); ++k) {
            const std::size_t f = (k % files.size() + t) % files.size();
            EXPECT_EQ(answers[t][k], expected[f]) << "thread " << t << ", file " << f;
        }
        distinct.insert(ids[t].begin(), ids[t].end());
        idCount += ids[t].size();
    }
    EXPECT_GT(idCount, 0u);
    EXPECT_EQ(distinct.size(), idCount);
}

}  // namespace
