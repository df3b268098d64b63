// Which image is converted, which items are its tiles, how the decoded
// tiles are laid out and cut to the image's output size, and which alpha
// plane goes with the image.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "heiclib/boxes/image_property_boxes.h"
#include "heiclib/log.h"
#include "pipeline/decode/extraction.h"
#include "pipeline/decode/mosaic.h"
#include "tests/pipeline/pipeline_support.h"

using namespace ambrel::heif;
using namespace ambrel::pipeline;

namespace {

using namespace pipetest;
using fixture::paletteColour;

class GridTest : public PipelineTest
{
protected:
    // Checks the centre of every tile of a rows x columns layout of
    // tileWidth x tileHeight tiles, as far as it lies inside the image.
    void expectTileColours(const cv::Mat& image, unsigned rows, unsigned columns, unsigned tileWidth,
                           unsigned tileHeight, const std::vector<Rgb>& colours)
    {
        for (unsigned r = 0; r < rows; ++r) {
            for (unsigned c = 0; c < columns; ++c) {
                const int x = std::min<int>(int(c * tileWidth + tileWidth / 2), image.cols - 2);
                const int y = std::min<int>(int(r * tileHeight + tileHeight / 2), image.rows - 2);
                EXPECT_TRUE(colourNear(image, x, y, colours[r * columns + c])) << "tile " << r << "," << c;
            }
        }
    }
};

TEST_F(GridTest, PhoneSizedGridIsCutToItsOutputSize)
{
    // 8 x 6 tiles of 512 x 512 make a 4096 x 3072 mosaic; the image is 4032 x 3024.
    fixture::GridOptions options;
    options.rows = 6;
    options.columns = 8;
    options.tileWidth = 512;
    options.tileHeight = 512;
    options.outputWidth = 4032;
    options.outputHeight = 3024;
    const fixture::SampleFile file = fixture::makeGridHeic(options);

    const cv::Mat image = convertToImage(file.bytes());
    ASSERT_EQ(image.cols, 4032);
    ASSERT_EQ(image.rows, 3024);
    expectTileColours(image, 6, 8, 512, 512, file.tileColours);
    // The last column and row are cut, not squeezed: their tiles' colours
    // reach the image edge.
    EXPECT_TRUE(colourNear(image, 4031, 3023, file.tileColours.back()));
    EXPECT_TRUE(colourNear(image, 3600, 2580, file.tileColours.back()));
}

TEST_F(GridTest, TilesOfAPictureReassembleIt)
{
    // A 2 x 3 grid whose tiles are cut from one gradient picture, output
    // smaller than the tiles: the reassembled image matches the picture.
    const fixture::RgbImage picture = fixture::gradientImage(192, 128);
    fixture::HeifBuilder builder;
    std::vector<std::uint32_t> tiles;
    for (unsigned r = 0; r < 2; ++r) {
        for (unsigned c = 0; c < 3; ++c) {
            fixture::RgbImage tile = fixture::solidImage(64, 64, {});
            for (unsigned y = 0; y < 64; ++y) {
                for (unsigned x = 0; x < 64; ++x) {
                    tile.set(x, y, picture.at(c * 64 + x, r * 64 + y));
                }
            }
            const std::uint32_t id = 10 + r * 3 + c;
            addCodedImage(builder, id, tile);
            tiles.push_back(id);
        }
    }
    addGrid(builder, 1, 2, 3, 180, 120, tiles);
    builder.setPrimary(1);

    const cv::Mat image = convertToImage(builder.build());
    ASSERT_EQ(image.cols, 180);
    ASSERT_EQ(image.rows, 120);
    fixture::RgbImage expected = fixture::solidImage(180, 120, {});
    for (unsigned y = 0; y < 120; ++y) {
        for (unsigned x = 0; x < 180; ++x) {
            expected.set(x, y, picture.at(x, y));
        }
    }
    EXPECT_GT(psnr(expected, image), 35.0);
}

TEST_F(GridTest, SingleRowColumnAndTileGridsConvert)
{
    struct Layout
    {
        unsigned rows, columns, outputWidth, outputHeight;
    };
    for (const Layout layout : {Layout{1, 3, 150, 64}, Layout{3, 1, 64, 170}, Layout{1, 1, 50, 40}}) {
        SCOPED_TRACE(std::to_string(layout.rows) + " x " + std::to_string(layout.columns));
        fixture::GridOptions options;
        options.rows = layout.rows;
        options.columns = layout.columns;
        options.outputWidth = layout.outputWidth;
        options.outputHeight = layout.outputHeight;
        options.firstColour = 2;
        const fixture::SampleFile file = fixture::makeGridHeic(options);
        const cv::Mat image = convertToImage(file.bytes());
        ASSERT_EQ(image.cols, int(layout.outputWidth));
        ASSERT_EQ(image.rows, int(layout.outputHeight));
        expectTileColours(image, layout.rows, layout.columns, 64, 64, file.tileColours);
    }
}

TEST_F(GridTest, SingleCodedImageConvertsAtItsSize)
{
    fixture::SingleImageOptions options;
    options.width = 96;
    options.height = 48;
    const fixture::SampleFile file = fixture::makeSingleImageHeic(options);
    const cv::Mat image = convertToImage(file.bytes());
    ASSERT_EQ(image.cols, 96);
    ASSERT_EQ(image.rows, 48);
    EXPECT_TRUE(colourNear(image, 8, 8, file.tileColours[0]));
    EXPECT_TRUE(colourNear(image, 88, 8, file.tileColours[1]));
    EXPECT_TRUE(colourNear(image, 8, 40, file.tileColours[2]));
    EXPECT_TRUE(colourNear(image, 88, 40, file.tileColours[3]));

    fixture::SingleImageOptions gradient;
    gradient.picture = fixture::gradientImage(64, 64);
    EXPECT_GT(psnr(*gradient.picture, convertToImage(fixture::makeSingleImageHeic(gradient).bytes())), 38.0);
}

// The largest difference in any channel between the decoded image and the
// picture, over columns [fromColumn, width), with where it is.
::testing::AssertionResult matchesPicture(const cv::Mat& image, const fixture::RgbImage& picture, int tolerance,
                                          unsigned fromColumn = 0)
{
    if (image.cols != int(picture.width) || image.rows != int(picture.height)) {
        return ::testing::AssertionFailure() << "the image is " << image.cols << " x " << image.rows;
    }
    for (unsigned y = 0; y < picture.height; ++y) {
        for (unsigned x = fromColumn; x < picture.width; ++x) {
            const Rgb e = picture.at(x, y);
            const Rgb a = pixel(image, int(x), int(y));
            if (std::abs(e.r - a.r) > tolerance || std::abs(e.g - a.g) > tolerance || std::abs(e.b - a.b) > tolerance) {
                return ::testing::AssertionFailure()
                       << "pixel (" << x << "," << y << ") is " << describe(a) << ", the picture's " << describe(e);
            }
        }
    }
    return ::testing::AssertionSuccess();
}

// A rows x columns grid of tiles cut from one gradient picture, output the
// whole picture.
fixture::Bytes gradientGrid(const fixture::RgbImage& picture, unsigned rows, unsigned columns,
                            const fixture::EncodeOptions& encode)
{
    const unsigned tileWidth = picture.width / columns;
    const unsigned tileHeight = picture.height / rows;
    fixture::HeifBuilder builder;
    std::vector<std::uint32_t> tiles;
    for (unsigned r = 0; r < rows; ++r) {
        for (unsigned c = 0; c < columns; ++c) {
            fixture::RgbImage tile = fixture::solidImage(tileWidth, tileHeight, {});
            for (unsigned y = 0; y < tileHeight; ++y) {
                for (unsigned x = 0; x < tileWidth; ++x) {
                    tile.set(x, y, picture.at(c * tileWidth + x, r * tileHeight + y));
                }
            }
            const std::uint32_t id = 10 + r * columns + c;
            fixture::addCodedItem(builder, id, fixture::encodeImage(tile, encode));
            tiles.push_back(id);
        }
    }
    addGrid(builder, 1, rows, columns, picture.width, picture.height, tiles);
    builder.setPrimary(1);
    return builder.build();
}

TEST_F(GridTest, EveryPixelOfPicturesOfAnyWidthIsThePictures)
{
    // Widths that are not a multiple of 16 (72: 8 more, 1026: 2 more, 1284:
    // 4 more...) once made the colour conversion write past the end of each
    // row (into the next tile, or past the canvas) or leave the last columns
    // unwritten. A bright picture of the widest size goes first, so that
    // unwritten columns could show its leftovers as well as black.
    fixture::SingleImageOptions first;
    first.picture = fixture::solidImage(1284, 16, {250, 250, 250});
    ASSERT_TRUE(convert(fixture::makeSingleImageHeic(first).bytes()).ok);

    fixture::EncodeOptions lossless;
    lossless.lossless = true;
    struct Size
    {
        unsigned width, height;
    };
    for (const Size size : {Size{72, 72}, Size{72, 96}, Size{72, 160}, Size{168, 168}, Size{88, 40}, Size{1026, 16},
                            Size{1170, 16}, Size{1284, 16}, Size{828, 16}, Size{1284, 18}}) {
        const std::string what = std::to_string(size.width) + " x " + std::to_string(size.height);
        fixture::SingleImageOptions options;
        options.picture = fixture::gradientImage(size.width, size.height);
        options.encode = lossless;
        const cv::Mat image =
            decodeStored(convert(fixture::makeSingleImageHeic(options).bytes(), false, 1.0f, 100).jpeg);
        EXPECT_TRUE(matchesPicture(image, *options.picture, 12)) << what;
        EXPECT_TRUE(matchesPicture(image, *options.picture, 12, size.width - 8)) << what << ", last columns";
    }
    // Tiles side by side: a row written too long lands in the next tile.
    for (const Size tile : {Size{72, 72}, Size{168, 40}, Size{88, 24}}) {
        const std::string what = "2 x 3 tiles of " + std::to_string(tile.width) + " x " + std::to_string(tile.height);
        const fixture::RgbImage picture = fixture::gradientImage(3 * tile.width, 2 * tile.height);
        const cv::Mat image = decodeStored(convert(gradientGrid(picture, 2, 3, lossless), false, 1.0f, 100).jpeg);
        EXPECT_TRUE(matchesPicture(image, picture, 12)) << what;
    }
}

TEST_F(GridTest, MosaicsOfSixteenBitAndSingleChannelCellsHoldTheTilesInPlace)
{
    // 10-bit tiles 72 pixels wide (the conversion's last 8 pixels of a row
    // go one by one), decoded straight into canvases of each cell type. The
    // 16-bit images are the 8-bit ones at 257 times the scale, in every
    // pixel, and keep the finer levels; the crop, turns and scaling keep
    // the type.
    fixture::EncodeOptions encode;
    encode.format = fixture::PixelFormat::Yuv420_10bit;
    const fixture::RgbImage picture = fixture::gradientImage(3 * 72, 2 * 40);
    const fixture::Bytes file = gradientGrid(picture, 2, 3, encode);
    HeifImageData data = ambrel::pipeline::extractHeifImage(file.data(), file.size(), false);
    ASSERT_EQ(data.rows, 2u);
    ASSERT_EQ(data.columns, 3u);
    const std::uint32_t width = picture.width - 5;
    const std::uint32_t height = picture.height - 3;

    std::map<int, cv::Mat> images;
    for (const int type : {CV_8UC3, CV_16UC3, CV_8UC1, CV_16UC1}) {
        SCOPED_TRACE(type);
        MosaicCanvas canvas(2, 3, kMaxDecodedPixels, type);
        const DecodeResult result = decodeTiles(data, [&](std::size_t index, int tileWidth, int tileHeight) {
            return canvas.cell(index, tileWidth, tileHeight);
        });
        ASSERT_EQ(result.pictures, 6u);
        EXPECT_EQ(result.bitDepth, 10);
        const cv::Mat image = canvas.output(width, height).clone();
        ASSERT_EQ(image.type(), type);
        ASSERT_EQ(image.size(), cv::Size(int(width), int(height)));
        images[type] = image;

        cv::Mat turned = image.clone();
        ImageTransform rotate;
        rotate.kind = ImageTransform::Kind::Rotate;
        rotate.value = 90;
        ImageTransform mirror;
        mirror.kind = ImageTransform::Kind::Mirror;
        mirror.value = 0;
        ambrel::pipeline::applyTransforms(turned, {rotate, mirror}, false);
        ASSERT_EQ(turned.size(), cv::Size(int(height), int(width)));
        // Anticlockwise, then top and bottom swapped: transposed.
        EXPECT_EQ(cv::norm(turned.row(0), image.col(0).t(), cv::NORM_INF), 0.0);
        const cv::Mat scaled = ambrel::pipeline::scaleImage(image, 0.5f);
        EXPECT_EQ(scaled.type(), type);
        EXPECT_EQ(scaled.size(), cv::Size(cvRound(width * 0.5), cvRound(height * 0.5)));
    }
    for (const auto& [wide, narrow] : {std::pair{CV_16UC3, CV_8UC3}, std::pair{CV_16UC1, CV_8UC1}}) {
        SCOPED_TRACE(wide);
        cv::Mat levels;
        images[wide].convertTo(levels, CV_64F, 1.0 / 257);
        cv::Mat eight;
        images[narrow].convertTo(eight, CV_64F);
        // Both rounded from one exact value: at most half an 8-bit level
        // and half a 16-bit one apart.
        EXPECT_LE(cv::norm(levels, eight, cv::NORM_INF), 0.5 + 0.5 / 257 + 1e-6);
        cv::Mat fraction = cv::abs(levels - eight);
        EXPECT_GT(cv::countNonZero(fraction.reshape(1) > 0.1), int(images[wide].total()) / 4)
            << "the 16-bit image lacks the 10-bit pictures' finer levels";
    }
}

// A file with a second image whose tiles have the lowest ids, so that they
// lead the list of master images, and a primary grid whose 'dimg' lists its
// tiles out of id order.
fixture::HeifBuilder twoImageFile(bool withPrimary, bool withPrimaryGrid = true)
{
    fixture::HeifBuilder builder;
    for (std::uint32_t id = 1; id <= 4; ++id) {
        addCodedImage(builder, id, fixture::solidImage(64, 64, paletteColour(8)));
    }
    addGrid(builder, 5, 2, 2, 128, 128, {1, 2, 3, 4});
    if (withPrimaryGrid) {
        for (std::uint32_t id = 6; id <= 9; ++id) {
            addCodedImage(builder, id, fixture::solidImage(64, 64, paletteColour(id - 6)));
        }
        addGrid(builder, 10, 2, 2, 128, 128, {9, 8, 7, 6});
        if (withPrimary) {
            builder.setPrimary(10);
        }
    }
    return builder;
}

TEST_F(GridTest, TilesAreTheGridsOwnReferencesInTheirOrder)
{
    const cv::Mat image = convertToImage(twoImageFile(true).build());
    ASSERT_EQ(image.cols, 128);
    expectTileColours(image, 2, 2, 64, 64, {paletteColour(3), paletteColour(2), paletteColour(1), paletteColour(0)});
}

TEST_F(GridTest, OnlyThePrimaryImageIsConverted)
{
    // No other image stands in for a primary that is absent, missing or of a
    // kind that cannot be converted: that would be the wrong picture.
    const auto expectRefused = [&](const Bytes& file, const std::string& detail) {
        const Heif2JpgResult result = convert(file);
        EXPECT_FALSE(result.ok);
        EXPECT_EQ(result.message, "HUD_ERR heif2jpg read_heif");
        EXPECT_EQ(result.detail, detail);
    };
    {
        SCOPED_TRACE("no 'pitm', grids in the file");
        expectRefused(twoImageFile(false).build(), "the file names no primary image (it has no 'pitm' box)");
    }
    {
        SCOPED_TRACE("no 'pitm', coded images only");
        fixture::HeifBuilder builder;
        addCodedImage(builder, 3, fixture::solidImage(32, 32, paletteColour(5)), false);
        addCodedImage(builder, 4, fixture::solidImage(32, 32, paletteColour(6)), false);
        expectRefused(builder.build(), "the file names no primary image (it has no 'pitm' box)");
    }
    {
        SCOPED_TRACE("'pitm' names an item the file does not hold");
        fixture::HeifBuilder builder = twoImageFile(false);
        builder.setPrimary(42);
        expectRefused(builder.build(), "the primary item 42 does not exist");
    }
    {
        SCOPED_TRACE("'pitm' names an overlay");
        fixture::HeifBuilder builder = twoImageFile(false);
        fixture::ItemDescription overlay;
        overlay.id = 11;
        overlay.type = "iovl";
        overlay.data = fixture::overlayPayload({0, 0, 0, 0xFFFF}, 128, 128, {{0, 0}, {64, 64}});
        overlay.storage = fixture::Storage::Idat;
        builder.addItem(std::move(overlay));
        builder.addReference("dimg", 11, {1, 2});
        builder.ispe(11, 128, 128);
        builder.setPrimary(11);
        expectRefused(builder.build(), "the primary image 11 is an overlay ('iovl'), which cannot be converted");
    }
    {
        SCOPED_TRACE("'pitm' names the Exif item");
        fixture::HeifBuilder builder = twoImageFile(false);
        addExifItem(builder, 12, fixture::makeExifBlock(1));
        builder.setPrimary(12);
        expectRefused(builder.build(), "the primary item 12 is of type 'Exif', which cannot be converted");
    }
    {
        SCOPED_TRACE("an AVIF file: structural brands only, the primary coded as 'av01' without its 'av1C'");
        fixture::HeifBuilder builder = twoImageFile(false);
        fixture::ItemDescription av1;
        av1.id = 13;
        av1.type = "av01";
        av1.data = {0x12, 0x00};
        builder.addItem(std::move(av1));
        builder.setPrimary(13);
        builder.setBrands("avif", {"mif1", "miaf", "avif"});
        expectRefused(builder.build(), "the primary image 13 has no decoder configuration");
    }
    for (const auto& [type, name] : {std::pair{"jpeg", "JPEG"}, std::pair{"unci", "uncompressed"}}) {
        SCOPED_TRACE(std::string("the primary coded as '") + type + "' with garbage data");
        fixture::HeifBuilder builder = twoImageFile(false);
        fixture::ItemDescription item;
        item.id = 14;
        item.type = type;
        item.data = {0xFF, 0xD8};
        builder.addItem(std::move(item));
        builder.ispe(14, 8, 8);
        builder.setPrimary(14);
        const Heif2JpgResult result = convert(builder.build());
        EXPECT_FALSE(result.ok);
        EXPECT_EQ(result.detail.rfind(std::string("the ") + name + " image", 0), 0u) << result.detail;
    }

    // A coded primary image wins over the grids of the file.
    fixture::HeifBuilder withCodedPrimary = twoImageFile(false, false);
    addCodedImage(withCodedPrimary, 20, fixture::solidImage(48, 32, paletteColour(4)), false);
    withCodedPrimary.setPrimary(20);
    const cv::Mat image = convertToImage(withCodedPrimary.build());
    ASSERT_EQ(image.cols, 48);
    EXPECT_TRUE(colourNear(image, 24, 16, paletteColour(4)));
}

TEST_F(GridTest, FewerFramesThanTilesFails)
{
    fixture::HeifBuilder builder;
    for (std::uint32_t id = 2; id <= 4; ++id) {
        addCodedImage(builder, id, fixture::solidImage(64, 64, paletteColour(id)));
    }
    addGrid(builder, 1, 2, 2, 128, 128, {2, 3, 4});
    builder.setPrimary(1);
    EXPECT_EQ(convert(builder.build()).message, "HUD_ERR heif2jpg unknown");
}

TEST_F(GridTest, UnreadableTileIsReported)
{
    fixture::SampleFile file = fixture::makeGridHeic();
    file.builder.item(file.tileIds[2]).omitLocation = true;
    ::testing::internal::CaptureStdout();
    const Heif2JpgResult result = convert(file.bytes());
    const std::string printed = ::testing::internal::GetCapturedStdout();
    EXPECT_NE(printed.find("get_heif_tiles returned false \n"), std::string::npos) << printed;
    EXPECT_EQ(result.message, "HUD_ERR heif2jpg unknown");
}

TEST_F(GridTest, DiagnosticLinesGoThroughTheLogSink)
{
    fixture::SampleFile file = fixture::makeGridHeic();
    file.builder.item(file.tileIds[2]).omitLocation = true;
    std::vector<std::pair<int, std::string>> logged;
    ambrel::log::setSink([&](int channel, const std::string& text) { logged.emplace_back(channel, text); });
    ::testing::internal::CaptureStdout();
    const Heif2JpgResult result = convert(file.bytes());
    const std::string printed = ::testing::internal::GetCapturedStdout();
    ambrel::log::setSink({});
    // Whatever level the conversion sets for the reader.
    const std::pair<int, std::string> line{ambrel::log::Warning, "get_heif_tiles returned false "};
    EXPECT_NE(std::find(logged.begin(), logged.end(), line), logged.end());
    EXPECT_EQ(printed, "");
    EXPECT_EQ(result.message, "HUD_ERR heif2jpg unknown");
}

TEST_F(GridTest, ExtractionRecord)
{
    fixture::GridOptions options;
    options.rows = 2;
    options.columns = 3;
    options.outputWidth = 150;
    options.outputHeight = 100;
    options.rotation = 270;
    options.mirrorAxis = 1;
    options.exifOrientation = 1;
    const Bytes file = fixture::makeGridHeic(options).bytes();

    const HeifImageData data = ambrel::pipeline::extractHeifImage(file.data(), file.size(), true);
    EXPECT_TRUE(data.isGrid);
    EXPECT_EQ(data.imageId, 1u);
    EXPECT_EQ(data.width, 150u);
    EXPECT_EQ(data.height, 100u);
    EXPECT_EQ(data.rows, 2u);
    EXPECT_EQ(data.columns, 3u);
    EXPECT_EQ(data.rotation, 270u);
    ASSERT_EQ(data.transforms.size(), 2u);
    EXPECT_EQ(data.transforms[0].kind, ImageTransform::Kind::Rotate);
    EXPECT_EQ(data.transforms[1].kind, ImageTransform::Kind::Mirror);
    EXPECT_EQ(data.transforms[1].value, 1u);
    EXPECT_EQ(data.tileIds, (IdVector{2, 3, 4, 5, 6, 7}));
    ASSERT_EQ(data.tiles.size(), 6u);
    for (const auto& tile : data.tiles) {
        // As stored: NAL units behind 4-byte lengths, no parameter sets.
        ASSERT_GT(tile.size(), 5u);
        EXPECT_LE((std::size_t(tile[2]) << 8 | tile[3]) + 4, tile.size());
        EXPECT_NE((tile[4] >> 1) & 0x3F, 32);
    }
    // VPS, SPS, PPS, each behind 00 00 00 01.
    unsigned startCodes = 0;
    for (std::size_t i = 0; i + 4 <= data.paramSets.size(); ++i) {
        if (data.paramSets[i] == 0 && data.paramSets[i + 1] == 0 && data.paramSets[i + 2] == 0 &&
            data.paramSets[i + 3] == 1) {
            ++startCodes;
        }
    }
    EXPECT_EQ(startCodes, 3u);
    ASSERT_GE(data.exif.size(), 6u);
    EXPECT_EQ(Bytes(data.exif.begin(), data.exif.begin() + 6), (Bytes{'E', 'x', 'i', 'f', 0, 0}));

    // Without keepExif the Exif item is not read.
    EXPECT_TRUE(ambrel::pipeline::extractHeifImage(file.data(), file.size(), false).exif.empty());
}

// Adds an alpha plane over `owner`: a monochrome 'hvc1' image (id `id`) of
// the size given, or a rows x columns grid (id `id`, tiles from id + 1) of
// such images, with the 'auxC' type given and an 'auxl' reference to `owner`.
void addAlphaPlane(fixture::HeifBuilder& builder, std::uint32_t id, std::uint32_t owner, unsigned width,
                   unsigned height, unsigned rows = 1, unsigned columns = 1,
                   const std::string& auxType = "urn:mpeg:mpegB:cicp:systems:auxiliary:alpha")
{
    fixture::EncodeOptions gray;
    gray.format = fixture::PixelFormat::Gray;
    const fixture::EncodedImage plane =
        fixture::encodeImage(fixture::solidImage(width / columns, height / rows, Rgb{200, 200, 200}), gray);
    if (rows * columns == 1) {
        fixture::addCodedItem(builder, id, plane);
    } else {
        std::vector<std::uint32_t> tiles;
        for (std::uint32_t i = 1; i <= rows * columns; ++i) {
            fixture::addCodedItem(builder, id + i, plane);
            tiles.push_back(id + i);
        }
        addGrid(builder, id, rows, columns, width, height, tiles);
        builder.item(id).hidden = true;
    }
    auto auxC = std::make_shared<AuxiliaryTypeProperty>();
    auxC->setAuxType(auxType);
    builder.addProperty(auxC, {id}, true);
    builder.addReference("auxl", id, {owner});
}

TEST_F(GridTest, AlphaPlaneIsExtractedWithTheImage)
{
    // A premultiplied alpha grid of 2 x 2 tiles over a 2 x 2 colour grid;
    // the plane's own rotation is not its to apply.
    fixture::GridOptions options;
    options.rotation = 90;
    options.encode.format = fixture::PixelFormat::Yuv420_10bit;
    fixture::SampleFile file = fixture::makeGridHeic(options);
    addAlphaPlane(file.builder, 20, file.primaryId, 128, 128, 2, 2);
    file.builder.irot(20, 180);
    file.builder.addReference("prem", file.primaryId, {20});
    const Bytes bytes = file.bytes();
    const HeifImageData data = extractHeifImage(bytes.data(), bytes.size(), false);
    EXPECT_EQ(data.bitDepth, 10);
    EXPECT_EQ(data.tiles.size(), 4u);
    ASSERT_TRUE(data.alpha);
    const HeifImageData& alpha = *data.alpha;
    EXPECT_EQ(alpha.imageId, 20u);
    EXPECT_TRUE(alpha.isGrid);
    EXPECT_EQ(alpha.width, 128u);
    EXPECT_EQ(alpha.height, 128u);
    EXPECT_EQ(alpha.rows, 2u);
    EXPECT_EQ(alpha.columns, 2u);
    EXPECT_EQ(alpha.tileIds, (IdVector{21, 22, 23, 24}));
    ASSERT_EQ(alpha.tiles.size(), 4u);
    for (const auto& tile : alpha.tiles) {
        EXPECT_GT(tile.size(), 5u);
    }
    EXPECT_FALSE(alpha.paramSets.empty());
    EXPECT_EQ(alpha.bitDepth, 8);
    EXPECT_EQ(alpha.rotation, 0u);
    EXPECT_TRUE(alpha.transforms.empty());
    EXPECT_FALSE(alpha.alpha);
    EXPECT_TRUE(data.alphaPremultiplied);
    // The image keeps its own transforms.
    ASSERT_EQ(data.transforms.size(), 1u);
    EXPECT_EQ(data.rotation, 90u);

    // An alpha plane of a primary 'iden' item, with the HEVC name of the
    // alpha type; not premultiplied.
    fixture::SampleFile derived = fixture::makeSingleImageHeic();
    fixture::ItemDescription iden;
    iden.id = 8;
    iden.type = "iden";
    derived.builder.addItem(iden);
    derived.builder.addReference("dimg", 8, {derived.primaryId});
    derived.builder.setPrimary(8);
    addAlphaPlane(derived.builder, 9, 8, 64, 64, 1, 1, "urn:mpeg:hevc:2015:auxid:1");
    const Bytes derivedBytes = derived.bytes();
    const HeifImageData fromIden = extractHeifImage(derivedBytes.data(), derivedBytes.size(), false);
    ASSERT_TRUE(fromIden.alpha);
    EXPECT_EQ(fromIden.alpha->imageId, 9u);
    EXPECT_FALSE(fromIden.alpha->isGrid);
    EXPECT_EQ(fromIden.alpha->tiles.size(), 1u);
    EXPECT_FALSE(fromIden.alphaPremultiplied);
    EXPECT_EQ(fromIden.bitDepth, 8);
}

TEST_F(GridTest, AlphaPlaneThatDoesNotFitIsLeftOut)
{
    struct Case
    {
        const char* what;
        fixture::SampleFile file;
        std::string line;  // how the diagnostic line begins; empty for none
    };
    std::vector<Case> cases;
    {
        fixture::SampleFile file = fixture::makeSingleImageHeic();
        addAlphaPlane(file.builder, 9, file.primaryId, 32, 32);
        cases.push_back({"another size", std::move(file),
                         "the alpha plane 9 is left out: it is 32 x 32 pixels, the image 64 x 64"});
    }
    {
        fixture::SampleFile file = fixture::makeSingleImageHeic();
        addAlphaPlane(file.builder, 9, file.primaryId, 64, 64);
        file.builder.item(9).omitLocation = true;
        cases.push_back({"unreadable", std::move(file), "the alpha plane 9 is left out: its tiles cannot be read"});
    }
    {
        fixture::SampleFile file = fixture::makeSingleImageHeic();
        addAlphaPlane(file.builder, 9, file.primaryId, 64, 64, 1, 1, "urn:mpeg:hevc:2015:auxid:2");
        cases.push_back({"a depth map", std::move(file), ""});
    }
    {
        // 32 x 32 cells naming one tile padded to 40 KB by a filler unit:
        // more tile data than the file's tile budget allows.
        fixture::SingleImageOptions options;
        options.width = 512;
        options.height = 512;
        fixture::SampleFile file = fixture::makeSingleImageHeic(options);
        fixture::EncodeOptions gray;
        gray.format = fixture::PixelFormat::Gray;
        fixture::addCodedItem(file.builder, 9,
                              fixture::encodeImage(fixture::solidImage(16, 16, Rgb{200, 200, 200}), gray));
        Bytes& tile = file.builder.item(9).data;
        const std::uint32_t filler = 40000;
        const Bytes header = {0, 0, std::uint8_t(filler >> 8), std::uint8_t(filler), 38 << 1, 1};
        tile.insert(tile.end(), header.begin(), header.end());
        tile.insert(tile.end(), filler - 2, 0xFF);
        addGrid(file.builder, 30, 32, 32, 512, 512, std::vector<std::uint32_t>(32 * 32, 9));
        auto auxC = std::make_shared<AuxiliaryTypeProperty>();
        auxC->setAuxType("urn:mpeg:mpegB:cicp:systems:auxiliary:alpha");
        file.builder.addProperty(auxC, {30}, true);
        file.builder.addReference("auxl", 30, {file.primaryId});
        cases.push_back({"tiles past the budget", std::move(file), "the alpha plane 30 is left out: the tiles of"});
    }
    for (Case& c : cases) {
        SCOPED_TRACE(c.what);
        const Bytes bytes = c.file.bytes();
        std::vector<std::string> logged;
        ambrel::log::setSink([&](int, const std::string& text) { logged.push_back(text); });
        const HeifImageData data = extractHeifImage(bytes.data(), bytes.size(), false);
        ambrel::log::setSink({});
        EXPECT_FALSE(data.alpha);
        EXPECT_EQ(data.tiles.size(), 1u);
        if (c.line.empty()) {
            EXPECT_TRUE(logged.empty());
        } else {
            EXPECT_TRUE(std::any_of(logged.begin(), logged.end(), [&](const std::string& line) {
                return line.rfind(c.line, 0) == 0;
            })) << ::testing::PrintToString(logged);
        }
        // The conversion goes on without it.
        EXPECT_TRUE(convert(bytes).ok);
    }
}

}  // namespace
