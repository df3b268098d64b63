// Uncompressed and JPEG-coded image items, built by the fixture writer,
// read back through the reader and decoded by their own decoders.
#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "pipeline/decode/jpeg_decoder.h"
#include "pipeline/decode/uncompressed.h"
#include "pipeline/heif2jpg.h"
#include "tests/fixtures/heif_builder.h"
#include "tests/pipeline/pipeline_support.h"

#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace {

using ambrel::heif::HevcImageFileReader;
using fixture::Bytes;
using namespace ambrel::pipeline;

struct Opened
{
    std::istringstream in;  // the reader reads from it while open
    HevcImageFileReader reader;
    ambrel::heif::ContextId context = 0;
    explicit Opened(const Bytes& file) : in(std::string(file.begin(), file.end()))
    {
        reader.setImageCodings(HevcImageFileReader::ImageCodings::All);
        reader.initialize(in);
        context = reader.getFileInformation().rootMetaBoxInformation.contextId;
    }
};

// 2 x 2 pixels, red, green, blue, alpha: (10 20 30 40) (50 60 70 80) / (90 ...) (130 ...).
const std::vector<int> kBgr{30, 20, 10, 70, 60, 50, 110, 100, 90, 150, 140, 130};
const Bytes kPixelRgb{10, 20, 30, 50, 60, 70, 90, 100, 110, 130, 140, 150};

struct UnciCase
{
    const char* name;
    std::vector<std::uint16_t> types;  // 'cmpd'; empty: 'uncC' version 1 of `profile`
    Bytes data;
    std::vector<int> expected;  // the picture's values, then the alpha plane's
    const char* error = "";
    struct Layout
    {
        ambrel::heif::UncompressedLayout layout{.profile = "rgb3", .interleaveType = 1};
        std::uint8_t depth = 8, format = 0, align = 0;
        const char* compression = "";  // compressed whole, or per row when `perRow`
        bool perRow = false;
    } layout;
};

// clang-format off
const UnciCase kUnciCases[] = {
    {"PixelRgb", {4, 5, 6}, kPixelRgb, kBgr},
    {"PlanarRgb", {4, 5, 6}, {10, 50, 90, 130, 20, 60, 100, 140, 30, 70, 110, 150}, kBgr, "", {.layout = {.interleaveType = 0}}},
    {"RowRgbAlignedRows", {4, 5, 6}, {10, 50, 0, 0, 20, 60, 0, 0, 30, 70, 0, 0, 90, 130, 0, 0, 100, 140, 0, 0, 110, 150}, kBgr, "", {.layout = {.interleaveType = 3, .rowAlignSize = 4}}},
    {"PaddedPixels", {4, 5, 6}, {10, 20, 30, 0, 50, 60, 70, 0, 90, 100, 110, 0, 130, 140, 150}, kBgr, "", {.layout = {.interleaveType = 1, .pixelSize = 4}}},
    {"PaddingComponent", {4, 12, 5, 6}, {10, 9, 20, 30, 50, 9, 60, 70, 90, 9, 100, 110, 130, 9, 140, 150}, kBgr},
    {"ProfileAbgr", {}, {40, 30, 20, 10, 80, 70, 60, 50, 120, 110, 100, 90, 160, 150, 140, 130}, {30, 20, 10, 70, 60, 50, 110, 100, 90, 150, 140, 130, 40, 80, 120, 160}, "", {.layout = {.profile = "abgr"}}},
    {"GreyAlphaPlanar", {0, 7}, {10, 50, 90, 130, 40, 80, 120, 160}, {10, 50, 90, 130, 40, 80, 120, 160}, "", {.layout = {.interleaveType = 0}}},
    {"Grey16LittleEndian", {0}, {0x34, 0x12, 0, 0, 0xFF, 0xFF, 1, 0}, {0x1234, 0, 0xFFFF, 1}, "", {.layout = {.interleaveType = 1, .componentsLittleEndian = true}, .depth = 16}},
    {"Grey10InTwoBytes", {0}, {0x03, 0xFF, 0, 0, 0x02, 0x00, 0xFC, 0x01}, {65535, 0, 32800, 64}, "", {.depth = 10, .align = 2}},
    {"TwoTiles", {4, 5, 6}, {10, 20, 30, 90, 100, 110, 50, 60, 70, 130, 140, 150}, kBgr, "", {.layout = {.interleaveType = 1, .numTileColsMinusOne = 1}}},
    {"Deflate", {4, 5, 6}, kPixelRgb, kBgr, "", {.compression = "defl"}},
    {"Brotli", {4, 5, 6}, kPixelRgb, kBgr, "", {.compression = "brot"}},
    {"ZlibPerRow", {4, 5, 6}, kPixelRgb, kBgr, "", {.compression = "zlib", .perRow = true}},
    // Refusals name the layout; faults of the data say what is wrong.
    {"Sampling420", {1, 2, 3}, kPixelRgb, {}, "uses sampling 4:2:0, which is not supported", {.layout = {.samplingType = 2}}},
    {"YCbCr", {1, 2, 3}, kPixelRgb, {}, "uses a Cb component, which is not supported"},
    {"Float", {4, 5, 6}, kPixelRgb, {}, "uses floating-point components", {.format = 1}},
    {"Packed10Bits", {0}, kPixelRgb, {}, "uses 10-bit components packed without alignment", {.depth = 10}},
    {"TwoReds", {4, 4, 6}, kPixelRgb, {}, "uses the components red, red, blue"},
    {"OtherProfile", {}, kPixelRgb, {}, "uses the profile 'yuv2'", {.layout = {.profile = "yuv2"}}},
    {"ShortData", {4, 5, 6}, Bytes(11, 1), {}, "holds 11 bytes of data, fewer than the 12 its layout needs"},
    {"UnevenTiles", {4, 5, 6}, kPixelRgb, {}, "cannot be cut into 3 x 1 equal tiles", {.layout = {.interleaveType = 1, .numTileColsMinusOne = 2}}},
    {"BadBrotli", {4, 5, 6}, kPixelRgb, {}, "brotli data", {.compression = "!brot"}},
    {"ShortZlib", {4, 5, 6}, Bytes(6, 1), {}, "decompresses to 6 bytes, fewer than the 12", {.compression = "zlib"}},
};

// clang-format on

class Uncompressed : public ::testing::TestWithParam<UnciCase>
{};

TEST_P(Uncompressed, DecodesOrSaysWhy)
{
    const UnciCase& row = GetParam();
    const UnciCase::Layout& options = row.layout;
    fixture::HeifBuilder builder;
    fixture::ItemDescription item{.id = 1, .type = "unci", .data = row.data};
    std::vector<ambrel::heif::CompressedUnitsInfoBox::Unit> units;
    const std::string type = options.compression + (options.compression[0] == '!' ? 1 : 0);
    if (!type.empty()) {  // compressed whole or in two units; '!': garbage instead
        item.data.clear();
        const long unitBytes = long(row.data.size()) / (options.perRow ? 2 : 1);
        for (auto at = row.data.begin(); at != row.data.end(); at += unitBytes) {
            const Bytes unit =
                type != options.compression ? Bytes(3, 0xFF) : fixture::compressed(Bytes(at, at + unitBytes), type);
            units.push_back({item.data.size(), unit.size()});
            item.data.insert(item.data.end(), unit.begin(), unit.end());
        }
    }
    builder.addItem(item).setPrimary(1).ispe(1, 2, 2);
    ambrel::heif::UncompressedLayout layout = options.layout;
    for (std::uint16_t i = 0; i < row.types.size(); ++i) {
        layout.components.push_back({i, std::uint8_t(options.depth - 1), options.format, options.align});
    }
    builder.uncC({1}, layout, row.types.empty() ? 1 : 0);
    builder.cmpd({1}, row.types);  // ignored beside a version 1 'uncC'
    if (!type.empty()) {
        builder.compression({1}, type, options.perRow ? 3 : 0, options.perRow ? units : decltype(units){});
    }
    const Bytes bytes = builder.build();
    Opened file(bytes);
    Bytes data;
    file.reader.getItemData(file.context, 1, data);
    const DecodedPicture decoded = decodeUncompressed(uncompressedConfigOf(file.reader, file.context, 1), data);
    EXPECT_NE(decoded.error.find(row.error), std::string::npos) << decoded.error;
    // The conversion gives the decoder's picture, or its reason.
    const bool deep = decoded.picture.depth() == CV_16U;
    const ConvertedFile png =
        convertHeif(bytes.data(), bytes.size(), {.format = OutputFormat::Png, .depth = deep ? 16 : 8});
    ASSERT_EQ(png.ok, decoded.ok()) << png.detail;
    EXPECT_NE(png.detail.find(row.error), std::string::npos) << png.detail;
    EXPECT_EQ(png.warning.empty(), decoded.alpha.empty()) << png.warning;
    if (png.ok) {
        cv::Mat expected = decoded.picture;
        const cv::Mat out = cv::imdecode(png.bytes, cv::IMREAD_UNCHANGED);
        if (out.channels() != expected.channels()) {
            cv::cvtColor(decoded.picture, expected, cv::COLOR_GRAY2BGR);
        }
        EXPECT_EQ(cv::norm(out, expected, cv::NORM_INF), 0.0);
    }
    EXPECT_EQ(decoded.ok(), row.error[0] == '\0');
    std::vector<int> values;
    for (cv::Mat plane : {decoded.picture, decoded.alpha}) {
        plane.reshape(1, int(plane.total()) * plane.channels()).convertTo(plane, CV_32S);
        values.insert(values.end(), plane.begin<int>(), plane.end<int>());
    }
    EXPECT_EQ(values, row.expected);
}

INSTANTIATE_TEST_SUITE_P(Layouts, Uncompressed, ::testing::ValuesIn(kUnciCases),
                         [](const auto& info) { return std::string(info.param.name); });

// Uncompressed tiles of a grid convert when they share their layout.
TEST(Uncompressed, GridTilesShareTheirLayout)
{
    for (const bool alike : {true, false}) {
        fixture::HeifBuilder builder;
        for (const std::uint32_t id : {1u, 2u}) {
            builder.addItem({.id = id, .type = "unci", .data = kPixelRgb}).ispe(id, 2, 2);
            ambrel::heif::UncompressedLayout layout{.profile = "rgb3", .interleaveType = 1};
            for (std::uint16_t i = 0; i < 3; ++i) {
                layout.components.push_back({i, 7, 0, 0});
            }
            builder.uncC({id}, layout, 0);
            builder.cmpd({id},
                         alike || id == 1 ? std::vector<std::uint16_t>{4, 5, 6} : std::vector<std::uint16_t>{6, 5, 4});
        }
        builder.addItem({.id = 3, .type = "grid", .data = fixture::gridPayload(0, 1, 4, 2)}).ispe(3, 4, 2);
        const Bytes file = builder.addReference("dimg", 3, {1, 2}).setPrimary(3).build();
        const ConvertedFile png = convertHeif(file.data(), file.size(), {.format = OutputFormat::Png});
        ASSERT_EQ(png.ok, alike) << png.detail;
        if (alike) {
            const cv::Mat expected = (cv::Mat_<cv::Vec3b>(2, 4) << cv::Vec3b(30, 20, 10), cv::Vec3b(70, 60, 50),
                                      cv::Vec3b(30, 20, 10), cv::Vec3b(70, 60, 50), cv::Vec3b(110, 100, 90),
                                      cv::Vec3b(150, 140, 130), cv::Vec3b(110, 100, 90), cv::Vec3b(150, 140, 130));
            EXPECT_EQ(cv::norm(cv::imdecode(png.bytes, cv::IMREAD_COLOR), expected, cv::NORM_INF), 0.0);
        } else {
            EXPECT_NE(png.detail.find("not all laid out alike"), std::string::npos) << png.detail;
        }
    }
}

// Sizes are checked before anything is allocated.
TEST(Uncompressed, PixelLimitAndBudgetComeFirst)
{
    UncompressedConfig config{
        .hasLayout = true, .layoutVersion = 1, .layout = {.profile = "rgb3"}, .width = 65536, .height = 65536};
    EXPECT_NE(decodeUncompressed(config, kPixelRgb).error.find("more than the limit of"), std::string::npos);
    config.width = config.height = 2;
    ambrel::heif::MemoryBudget budget(8);
    EXPECT_NE(decodeUncompressed(config, kPixelRgb, &budget).error.find("memory budget"), std::string::npos);
}

// A JPEG-coded item of 24 x 16 random pixels: its 'jpgC' prefix (the
// markers before the scan) and data make the stream again; `cut` bytes short.
Bytes jpegItemStream(bool grey, cv::Mat& expected, long cut = 0)
{
    cv::Mat picture(16, 24, grey ? CV_8UC1 : CV_8UC3);
    cv::randu(picture, 0, 255);
    Bytes jpeg;
    cv::imencode(".jpg", picture, jpeg, {cv::IMWRITE_JPEG_QUALITY, 95});
    expected = cv::imdecode(jpeg, grey ? cv::IMREAD_GRAYSCALE : cv::IMREAD_COLOR);
    const Bytes sos{0xFF, 0xDA};
    const auto scan = std::search(jpeg.begin(), jpeg.end(), sos.begin(), sos.end());
    fixture::HeifBuilder builder;
    builder.addItem({.id = 1, .type = "jpeg", .data = Bytes(scan, jpeg.end() - cut)}).setPrimary(1).ispe(1, 24, 16);
    builder.jpgC({1}, Bytes(jpeg.begin(), scan));
    Opened file(builder.build());
    Bytes stream;
    file.reader.getItemDataWithDecoderParameters(file.context, 1, stream);
    return stream;
}

TEST(JpegCoded, DecodedAsLibjpegDoesAndCopiedOnlyWhenNothingChanges)
{
    cv::Mat expected;
    for (const bool grey : {false, true}) {
        const DecodedPicture decoded = decodeJpeg(jpegItemStream(grey, expected));
        ASSERT_TRUE(decoded.ok() && decoded.warning.empty()) << decoded.error << decoded.warning;
        ASSERT_EQ(decoded.picture.type(), expected.type());
        EXPECT_LE(cv::norm(decoded.picture, expected, cv::NORM_INF), 1.0);
    }
    const Bytes whole = jpegItemStream(false, expected);
    const Bytes cut = jpegItemStream(false, expected, 200);
    EXPECT_NE(decodeJpeg(cut).warning.find("is damaged"), std::string::npos);
    EXPECT_NE(decodeJpeg(Bytes{0xFF, 0xD8, 1, 2}).error.find("cannot be read"), std::string::npos);
    EXPECT_NE(decodeJpeg(whole, nullptr, 100).error.find("more than the limit"), std::string::npos);

    const JpegCopyRequest copy{.jpegOutput = true, .quality = 100, .width = 24, .height = 16};
    EXPECT_TRUE(canCopyJpegStream(whole, copy));
    EXPECT_FALSE(canCopyJpegStream(cut, copy));
    for (auto change : std::initializer_list<void (*)(JpegCopyRequest&)>{
             [](JpegCopyRequest& r) { r.jpegOutput = false; }, [](JpegCopyRequest& r) { r.quality = 99; },
             [](JpegCopyRequest& r) { r.scaled = true; }, [](JpegCopyRequest& r) { r.transformed = true; },
             [](JpegCopyRequest& r) { r.alpha = true; }, [](JpegCopyRequest& r) { r.width = 23; }}) {
        JpegCopyRequest request = copy;
        change(request);
        EXPECT_FALSE(canCopyJpegStream(whole, request));
    }
}

// JPEG-coded items convert alone and as the tiles of a grid, as libjpeg
// decodes their streams.
TEST(JpegCoded, ConvertsAloneAndAsGridTiles)
{
    std::vector<cv::Mat> pictures;
    Bytes first;
    fixture::HeifBuilder builder;
    for (const std::uint32_t id : {1u, 2u}) {
        cv::Mat picture(16, 24, CV_8UC3);
        cv::randu(picture, 0, 255);
        Bytes jpeg;
        cv::imencode(".jpg", picture, jpeg, {cv::IMWRITE_JPEG_QUALITY, 95});
        pictures.push_back(cv::imdecode(jpeg, cv::IMREAD_COLOR));
        first = first.empty() ? jpeg : first;
        builder.addItem({.id = id, .type = "jpeg", .data = jpeg}).ispe(id, 24, 16);
    }
    builder.addItem({.id = 3, .type = "grid", .data = fixture::gridPayload(0, 1, 48, 16)}).ispe(3, 48, 16);
    builder.addReference("dimg", 3, {1, 2});
    cv::Mat grid;
    cv::hconcat(pictures, grid);
    for (const std::uint32_t primary : {1u, 3u}) {
        const Bytes file = builder.setPrimary(primary).build();
        const ConvertedFile png = convertHeif(file.data(), file.size(), {.format = OutputFormat::Png});
        ASSERT_TRUE(png.ok) << png.detail;
        EXPECT_LE(cv::norm(cv::imdecode(png.bytes, cv::IMREAD_COLOR), primary == 1 ? pictures[0] : grid, cv::NORM_INF),
                  1.0);
    }
    // At quality 100 with nothing to change, the stored stream is copied: its
    // scan ends the file, the item's EXIF leads it in place of the JFIF segment.
    pipetest::addExifItem(builder, 9, fixture::makeExifBlock(1));
    builder.addReference("cdsc", 9, {1});
    const Bytes file = builder.setPrimary(1).build();
    const ConvertedFile copy = convertHeif(file.data(), file.size(), {.format = OutputFormat::Jpg, .quality = 100});
    const Bytes sos{0xFF, 0xDA};
    const Bytes scan(std::search(first.begin(), first.end(), sos.begin(), sos.end()), first.end());
    ASSERT_TRUE(copy.ok && copy.bytes.size() > scan.size()) << copy.detail;
    EXPECT_TRUE(std::equal(scan.rbegin(), scan.rend(), copy.bytes.rbegin()));
    EXPECT_EQ(Bytes(copy.bytes.begin() + 2, copy.bytes.begin() + 4), Bytes({0xFF, 0xE1}));
    EXPECT_EQ(std::string(copy.bytes.begin() + 6, copy.bytes.begin() + 10), "Exif");
    EXPECT_EQ(std::search(copy.bytes.begin(), copy.bytes.end(), first.begin() + 2, first.begin() + 11),
              copy.bytes.end());
}

}  // namespace
