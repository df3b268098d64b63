// Real files made by other tools.
#include <gtest/gtest.h>

#include "heiclib/reader/hevc_image_file_reader.h"
#include "pipeline/decode/extraction.h"
#include "pipeline/encode/jpeg_metadata.h"
#include "tests/pipeline/pipeline_support.h"

using namespace ambrel::heif;
using namespace ambrel::pipeline;

namespace {

using namespace pipetest;

struct GoodFile
{
    const char* name;
    int width;
    int height;
};

class CorpusConversion : public PipelineTest, public ::testing::WithParamInterface<GoodFile>
{};

TEST_P(CorpusConversion, ConvertsAtItsSize)
{
    const GoodFile& expected = GetParam();
    const Bytes file = corpusBytes(expected.name);
    for (const bool keepExif : {false, true}) {
        SCOPED_TRACE(keepExif);
        const cv::Mat image = convertToImage(file, keepExif);
        EXPECT_EQ(image.cols, expected.width);
        EXPECT_EQ(image.rows, expected.height);
    }
    const cv::Mat half = convertToImage(file, false, 0.5f);
    EXPECT_NEAR(half.cols, expected.width / 2.0, 1.0);
    EXPECT_NEAR(half.rows, expected.height / 2.0, 1.0);
}

INSTANTIATE_TEST_SUITE_P(Corpus, CorpusConversion,
                         ::testing::Values(GoodFile{"RGB_10__29x100.heif", 29, 100},
                                           GoodFile{"L_xmp_latin1.heic", 16, 16}, GoodFile{"empty_icc.heic", 1025, 900},
                                           GoodFile{"invalid_id.heic", 1197, 1227},
                                           GoodFile{"RGB_8_chroma444.heif", 29, 100},
                                           GoodFile{"RGBA_8__128x128.heif", 128, 128}, GoodFile{"zPug_3.heic", 64, 64},
                                           GoodFile{"L_exif_xmp_iptc.heic", 64, 64}),
                         [](const auto& info) {
                             std::string name = info.param.name;
                             for (char& c : name) {
                                 if (!std::isalnum(static_cast<unsigned char>(c))) {
                                     c = '_';
                                 }
                             }
                             return name;
                         });

class CorpusMetadata : public PipelineTest
{
protected:
    // With `size`, its pixel dimensions set to that size, as a converted file's are.
    static Bytes exifBlockOfItem(const std::string& name, ItemId item, cv::Size size = {})
    {
        HevcImageFileReader reader;
        reader.initialize(corpusPath(name));
        DataVector data;
        reader.getItemData(reader.getFileInformation().rootMetaBoxInformation.contextId, item, data);
        Bytes block = ambrel::pipeline::jpegmeta::exifBlockFromItem(data).value_or(Bytes{});
        if (!size.empty())
            ambrel::pipeline::jpegmeta::writePixelDimensions(block, size.width, size.height);
        return block;
    }
};

TEST_F(CorpusMetadata, ExifAndProfileOfThePrimaryAreCarried)
{
    // Two different Exif items; item 3 describes the primary grid, item 6 the other image.
    const Heif2JpgResult withIcc = convert(corpusBytes("empty_icc.heic"), true);
    ASSERT_TRUE(withIcc.ok) << withIcc.message;
    const Bytes primaryExif = exifBlockOfItem("empty_icc.heic", 3, {1025, 900});
    ASSERT_FALSE(primaryExif.empty());
    ASSERT_NE(primaryExif, exifBlockOfItem("empty_icc.heic", 6));
    EXPECT_EQ(app1Payload(withIcc.jpeg), primaryExif);
    EXPECT_EQ(iccFromJpeg(withIcc.jpeg).size(), 548u);

    // A 40 960-byte Exif item fits one segment whole.
    const Heif2JpgResult large = convert(corpusBytes("L_exif_xmp_iptc.heic"), true);
    ASSERT_TRUE(large.ok) << large.message;
    EXPECT_EQ(app1Payload(large.jpeg), exifBlockOfItem("L_exif_xmp_iptc.heic", 2, {64, 64}));

    // No Exif item: an empty segment.
    const Heif2JpgResult none = convert(corpusBytes("L_xmp_latin1.heic"), true);
    ASSERT_TRUE(none.ok);
    EXPECT_EQ(app1Payload(none.jpeg), Bytes{});
}

TEST_F(CorpusMetadata, AlphaPlaneBitDepthAndXmpAreExtracted)
{
    // An 'hvc1' image with an alpha plane (id 2, 'auxl' to 1), not a tile.
    const Bytes rgba = corpusBytes("RGBA_8__128x128.heif");
    const HeifImageData withAlpha = extractHeifImage(rgba.data(), rgba.size(), false);
    EXPECT_EQ(withAlpha.tiles.size(), 1u);
    EXPECT_EQ(withAlpha.bitDepth, 8);
    ASSERT_TRUE(withAlpha.alpha);
    EXPECT_EQ(withAlpha.alpha->imageId, 2u);
    EXPECT_EQ(withAlpha.alpha->width, 128u);
    EXPECT_EQ(withAlpha.alpha->height, 128u);
    ASSERT_EQ(withAlpha.alpha->tiles.size(), 1u);
    EXPECT_FALSE(withAlpha.alpha->tiles[0].empty());
    EXPECT_FALSE(withAlpha.alphaPremultiplied);

    // A grid of one 10-bit tile.
    const Bytes tenBit = corpusBytes("RGB_10__29x100.heif");
    const HeifImageData deep = extractHeifImage(tenBit.data(), tenBit.size(), false);
    EXPECT_EQ(deep.bitDepth, 10);
    EXPECT_FALSE(deep.alpha);

    // XMP items of other tools, taken with the EXIF.
    for (const char* name : {"L_xmp_latin1.heic", "L_exif_xmp_iptc.heic"}) {
        SCOPED_TRACE(name);
        const Bytes file = corpusBytes(name);
        const HeifImageData data = extractHeifImage(file.data(), file.size(), true);
        const std::string packet(data.xmp.begin(), data.xmp.end());
        EXPECT_NE(packet.find("<x:xmpmeta"), std::string::npos) << packet;
        EXPECT_TRUE(extractHeifImage(file.data(), file.size(), false).xmp.empty());
    }
}

TEST_F(CorpusMetadata, BrokenFilesFailWithAResultText)
{
    // Cut short (the primary's own data is whole in truncated.heic, but the
    // file ends inside its last box), without recognised brands, and empty.
    for (const char* name : {"truncated.heic", "corrupted.hif", "corrupted.heic", "empty.heic"}) {
        SCOPED_TRACE(name);
        const Heif2JpgResult result = convert(corpusBytes(name), true);
        EXPECT_FALSE(result.ok);
        EXPECT_EQ(result.message, "HUD_ERR heif2jpg read_heif");
    }
}

}  // namespace
