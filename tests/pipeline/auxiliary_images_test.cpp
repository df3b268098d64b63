// Images other than the primary: auxiliary images (depth maps, gain maps,
// alpha planes) converted as grey pictures, the other top-level images of a
// file, and the frames of an image sequence.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "heiclib/reader/hevc_image_file_reader.h"
#include "pipeline/decode/extraction.h"
#include "pipeline/encode/gain_map.h"
#include "pipeline/encode/image_writer.h"
#include "pipeline/heif2jpg.h"
#include "tests/fixtures/heif_samples.h"
#include "tests/pipeline/pipeline_support.h"

namespace {

using ambrel::pipeline::AuxiliaryKind;
using ambrel::pipeline::ConversionSettings;
using ambrel::pipeline::ConvertedFile;
using ambrel::pipeline::OutputFormat;
using fixture::Bytes;
using fixture::Rgb;

constexpr std::uint32_t kDepthId = 10;
constexpr std::array<std::uint8_t, 3> kStartCode = {0, 0, 1};
constexpr std::uint32_t kGainMapId = 11;

// A phone-like photograph: a 64 x 48 picture stored turned (a quarter turn
// anticlockwise shows it 48 x 64), with a 32 x 24 depth map and a 32 x 24
// HDR gain map, both grey quadrants, without transforms of their own.
fixture::SampleFile phoneLikeFile(fixture::PixelFormat depthFormat = fixture::PixelFormat::Gray)
{
    fixture::SingleImageOptions options;
    options.width = 64;
    options.height = 48;
    options.rotation = 90;
    fixture::SampleFile file = fixture::makeSingleImageHeic(options);
    fixture::addAuxiliaryItem(file.builder, kDepthId, file.primaryId, fixture::kAuxDepth,
                              fixture::greyQuadrants(32, 24), depthFormat);
    fixture::addAuxiliaryItem(file.builder, kGainMapId, file.primaryId, fixture::kAuxGainMap,
                              fixture::greyQuadrants(32, 24));
    return file;
}

ConvertedFile convertItem(const Bytes& file, std::uint32_t itemId, OutputFormat format, std::int64_t frame = -1,
                          bool keepHdr = true)
{
    ConversionSettings settings;
    settings.keepHdr = keepHdr;
    settings.format = format;
    settings.quality = 95;
    settings.itemId = itemId;
    settings.frame = frame;
    return ambrel::pipeline::convertHeif(file.data(), file.size(), settings);
}

cv::Mat decodeAny(const Bytes& bytes)
{
    cv::Mat image = cv::imdecode(bytes, cv::IMREAD_UNCHANGED);
    EXPECT_FALSE(image.empty()) << "the file does not decode";
    return image;
}

int greyAt(const cv::Mat& image, int x, int y)
{
    if (image.channels() == 1) {
        return image.depth() == CV_16U ? image.at<std::uint16_t>(y, x) / 257 : image.at<std::uint8_t>(y, x);
    }
    return image.at<cv::Vec3b>(y, x)[1];
}

// The four quadrants' levels, sampled at their centres: top left, top
// right, bottom left, bottom right.
std::vector<int> quadrantLevels(const cv::Mat& image)
{
    const int w = image.cols;
    const int h = image.rows;
    return {greyAt(image, w / 4, h / 4), greyAt(image, 3 * w / 4, h / 4), greyAt(image, w / 4, 3 * h / 4),
            greyAt(image, 3 * w / 4, 3 * h / 4)};
}

void expectLevels(const std::vector<int>& actual, const std::vector<int>& expected)
{
    ASSERT_EQ(actual.size(), expected.size());
    for (std::size_t i = 0; i < actual.size(); ++i) {
        EXPECT_NEAR(actual[i], expected[i], 6) << "quadrant " << i;
    }
}

// A grey ramp whose every pixel differs from its neighbours.
cv::Mat greyRamp(int depth)
{
    cv::Mat image(37, 53, CV_MAKETYPE(depth, 1));
    for (int y = 0; y < image.rows; ++y) {
        for (int x = 0; x < image.cols; ++x) {
            const int level = (x * 5 + y * 7) % 256;
            if (depth == CV_16U) {
                image.at<std::uint16_t>(y, x) = static_cast<std::uint16_t>(level * 257 + x);
            } else {
                image.at<std::uint8_t>(y, x) = static_cast<std::uint8_t>(level);
            }
        }
    }
    return image;
}

// Every writer that stores grey gives back every level in one channel (JPEG
// close to it), at 8 bits and, where the format holds them, 16.
TEST(GreyEncoders, KeepEveryLevelInOneChannel)
{
    using namespace ambrel::pipeline;
    for (const FormatInfo& info : outputFormats()) {
        for (const int depth : {CV_8U, CV_16U}) {
            if (!info.grey || (depth == CV_16U && !info.sixteenBits)) {
                continue;
            }
            SCOPED_TRACE(std::string(info.name) + " " + std::to_string(depth));
            const cv::Mat ramp = greyRamp(depth);
            const EncodedFile file = writeImage(info.format, ramp, {});
            ASSERT_TRUE(file.ok()) << file.error;
            const cv::Mat back = cv::imdecode(file.bytes, cv::IMREAD_UNCHANGED);
            ASSERT_FALSE(back.empty());
            EXPECT_EQ(back.type(), ramp.type());
            EXPECT_LE(cv::norm(back, ramp, cv::NORM_INF), info.format == OutputFormat::Jpg ? 8.0 : 0.0);
        }
        EXPECT_FALSE(writeImage(info.format, cv::Mat(4, 4, CV_32FC1, cv::Scalar(0)), {}).ok());
    }
}

TEST(ImageInventory, PhoneLikeFileListsItsDepthMapAndGainMapWithTheDisplayedSize)
{
    const Bytes file = phoneLikeFile().bytes();
    const auto inventory = ambrel::pipeline::listImages(file.data(), file.size());
    EXPECT_EQ(inventory.primary, 1u);
    ASSERT_EQ(inventory.images.size(), 1u);  // the auxiliary images are no images of their own
    const auto& primary = inventory.images.front();
    EXPECT_EQ(primary.id, 1u);
    EXPECT_EQ(primary.width, 48u);  // turned a quarter
    EXPECT_EQ(primary.height, 64u);
    ASSERT_EQ(primary.auxiliary.size(), 2u);
    EXPECT_EQ(primary.auxiliary[0].id, kDepthId);
    EXPECT_EQ(primary.auxiliary[0].kind, AuxiliaryKind::Depth);
    EXPECT_EQ(primary.auxiliary[1].id, kGainMapId);
    EXPECT_EQ(primary.auxiliary[1].kind, AuxiliaryKind::GainMap);
    EXPECT_EQ(primary.auxiliary[1].type, fixture::kAuxGainMap);
    EXPECT_EQ(inventory.frames, 0u);
}

TEST(AuxiliaryKinds, EveryTypeNameGivesItsKind)
{
    using ambrel::pipeline::auxiliaryKindOf;
    EXPECT_EQ(auxiliaryKindOf("urn:mpeg:hevc:2015:auxid:1"), AuxiliaryKind::Alpha);
    EXPECT_EQ(auxiliaryKindOf("urn:mpeg:mpegB:cicp:systems:auxiliary:alpha"), AuxiliaryKind::Alpha);
    EXPECT_EQ(auxiliaryKindOf("urn:mpeg:hevc:2015:auxid:2"), AuxiliaryKind::Depth);
    EXPECT_EQ(auxiliaryKindOf(std::string("urn:mpeg:mpegB:cicp:systems:auxiliary:depth\0", 44)), AuxiliaryKind::Depth);
    EXPECT_EQ(auxiliaryKindOf("urn:mpeg:mpegB:cicp:systems:auxiliary:disparity"), AuxiliaryKind::Disparity);
    EXPECT_EQ(auxiliaryKindOf("urn:com:apple:photo:2020:aux:hdrgainmap"), AuxiliaryKind::GainMap);
    EXPECT_EQ(auxiliaryKindOf("urn:com:apple:photo:2018:aux:portraiteffectsmatte"), AuxiliaryKind::Other);
}

// The depth map turns with its image: the quadrant stored top right shows
// top left after a quarter turn anticlockwise.
TEST(AuxiliaryImages, DepthMapIsAGreyPictureTurnedLikeItsImageInEveryFormat)
{
    const Bytes file = phoneLikeFile().bytes();
    for (const OutputFormat format :
         {OutputFormat::Png, OutputFormat::Tiff, OutputFormat::Jpeg2000, OutputFormat::Bmp, OutputFormat::Jpg}) {
        SCOPED_TRACE(static_cast<int>(format));
        const ConvertedFile converted = convertItem(file, kDepthId, format);
        ASSERT_TRUE(converted.ok) << converted.detail;
        EXPECT_EQ(converted.width, 24u);
        EXPECT_EQ(converted.height, 32u);
        const cv::Mat image = decodeAny(converted.bytes);
        ASSERT_FALSE(image.empty());
        EXPECT_EQ(image.cols, 24);
        EXPECT_EQ(image.rows, 32);
        if (format != OutputFormat::Bmp) {
            EXPECT_EQ(image.channels(), 1);  // one grey component, not three
        }
        expectLevels(quadrantLevels(image), {100, 220, 40, 160});
    }
}

// Writers that turn the auxiliary image as well give it the same 'irot':
// it is turned once, by its own.
TEST(AuxiliaryImages, DepthMapWithItsOwnRotationIsTurnedOnce)
{
    fixture::SampleFile sample = phoneLikeFile();
    sample.builder.irot(kDepthId, 90);
    const ConvertedFile converted = convertItem(sample.bytes(), kDepthId, OutputFormat::Png);
    ASSERT_TRUE(converted.ok) << converted.detail;
    const cv::Mat image = decodeAny(converted.bytes);
    ASSERT_EQ(image.cols, 24);
    ASSERT_EQ(image.rows, 32);
    expectLevels(quadrantLevels(image), {100, 220, 40, 160});
}

// The image's clean aperture, the middle half each way, cuts the middle half
// of a depth map of half its size.
TEST(AuxiliaryImages, DepthMapTakesTheCleanApertureAtItsOwnScale)
{
    fixture::SingleImageOptions options;
    options.width = 64;
    options.height = 48;
    fixture::SampleFile sample = fixture::makeSingleImageHeic(options);
    sample.builder.clap(sample.primaryId, {32, 1}, {24, 1}, {0, 1}, {0, 1});
    fixture::addAuxiliaryItem(sample.builder, kDepthId, sample.primaryId, fixture::kAuxDepth,
                              fixture::greyQuadrants(32, 24));
    const ConvertedFile converted = convertItem(sample.bytes(), kDepthId, OutputFormat::Png);
    ASSERT_TRUE(converted.ok) << converted.detail;
    const cv::Mat image = decodeAny(converted.bytes);
    ASSERT_EQ(image.cols, 16);
    ASSERT_EQ(image.rows, 12);
    expectLevels(quadrantLevels(image), {40, 100, 160, 220});
}

TEST(AuxiliaryImages, TenBitDepthMapKeepsSixteenBitsInPng)
{
    const Bytes file = phoneLikeFile(fixture::PixelFormat::Gray_10bit).bytes();
    const ConvertedFile converted = convertItem(file, kDepthId, OutputFormat::Png);
    ASSERT_TRUE(converted.ok) << converted.detail;
    const cv::Mat image = decodeAny(converted.bytes);
    ASSERT_FALSE(image.empty());
    EXPECT_EQ(image.type(), CV_16UC1);
    expectLevels(quadrantLevels(image), {100, 220, 40, 160});
}

TEST(AuxiliaryImages, ThePrimaryStaysTheDefault)
{
    const Bytes file = phoneLikeFile().bytes();
    const ConvertedFile converted = convertItem(file, 0, OutputFormat::Png);
    ASSERT_TRUE(converted.ok) << converted.detail;
    EXPECT_EQ(converted.width, 48u);
    EXPECT_EQ(converted.height, 64u);
    EXPECT_EQ(decodeAny(converted.bytes).channels(), 3);
}

TEST(AuxiliaryImages, AnItemTheFileDoesNotHoldIsRefused)
{
    const Bytes file = phoneLikeFile().bytes();
    const ConvertedFile converted = convertItem(file, 99, OutputFormat::Png);
    EXPECT_FALSE(converted.ok);
    EXPECT_NE(converted.detail.find("no image item 99"), std::string::npos) << converted.detail;
}

// The corpus file's alpha plane (item 2) converts as a grey picture of the
// image's size.
TEST(AuxiliaryImages, CorpusAlphaPlaneIsListedAndConverts)
{
    const Bytes file = pipetest::corpusBytes("RGBA_8__128x128.heif");
    const auto inventory = ambrel::pipeline::listImages(file.data(), file.size());
    ASSERT_EQ(inventory.images.size(), 1u);
    ASSERT_EQ(inventory.images.front().auxiliary.size(), 1u);
    EXPECT_EQ(inventory.images.front().auxiliary.front().id, 2u);
    EXPECT_EQ(inventory.images.front().auxiliary.front().kind, AuxiliaryKind::Alpha);
    const ConvertedFile converted = convertItem(file, 2, OutputFormat::Png);
    ASSERT_TRUE(converted.ok) << converted.detail;
    const cv::Mat image = decodeAny(converted.bytes);
    EXPECT_EQ(image.type(), CV_8UC1);
    EXPECT_EQ(image.cols, 128);
    EXPECT_EQ(image.rows, 128);
}

// An ISO gain map: the second input of a 'tmap' item over the primary is
// listed as the primary's gain map and converts as the picture it is.
TEST(ImageInventory, ToneMapGainMapIsListedWithItsBaseImage)
{
    fixture::SampleFile sample = fixture::makeSingleImageHeic();
    fixture::addToneMapItem(sample.builder, 3, 2, sample.primaryId, fixture::solidImage(32, 16, Rgb{90, 90, 90}));
    const Bytes file = sample.bytes();
    const auto inventory = ambrel::pipeline::listImages(file.data(), file.size());
    ASSERT_EQ(inventory.images.size(), 1u);  // the gain map image is an input, no image of its own
    ASSERT_EQ(inventory.images.front().auxiliary.size(), 1u);
    const auto& gainMap = inventory.images.front().auxiliary.front();
    EXPECT_EQ(gainMap.id, 2u);
    EXPECT_EQ(gainMap.kind, AuxiliaryKind::GainMap);
    EXPECT_EQ(gainMap.type, "tmap");
    const ConvertedFile converted = convertItem(file, 2, OutputFormat::Png);
    ASSERT_TRUE(converted.ok) << converted.detail;
    EXPECT_EQ(converted.width, 32u);
    EXPECT_EQ(converted.height, 16u);
}

// Samsung's gain map is an auxiliary image and the input of a 'tmap' item:
// one gain map, listed (and so written) once.
TEST(ImageInventory, AuxiliaryGainMapThatATmapItemTakesIsListedOnce)
{
    fixture::SampleFile sample = fixture::makeSingleImageHeic();
    fixture::addAuxiliaryItem(sample.builder, kGainMapId, sample.primaryId, "urn:com:samsung:photo:2024:aux:hdrgainmap",
                              fixture::greyQuadrants(32, 24));
    fixture::ItemDescription tmap;
    tmap.id = 12;
    tmap.type = "tmap";
    sample.builder.addItem(std::move(tmap));
    sample.builder.addReference("dimg", 12, {sample.primaryId, kGainMapId});
    const Bytes file = sample.bytes();
    const auto inventory = ambrel::pipeline::listImages(file.data(), file.size());
    ASSERT_EQ(inventory.images.size(), 1u);
    ASSERT_EQ(inventory.images.front().auxiliary.size(), 1u);
    EXPECT_EQ(inventory.images.front().auxiliary.front().id, kGainMapId);
    EXPECT_EQ(inventory.images.front().auxiliary.front().kind, AuxiliaryKind::GainMap);
}

// A "spatial photo": two images shown side by side in a viewer, both top-level.
TEST(OtherImages, SecondTopLevelImageIsListedAndConverts)
{
    fixture::SampleFile sample = fixture::makeSingleImageHeic();
    fixture::addCodedItem(sample.builder, 2, fixture::encodeImage(fixture::solidImage(32, 16, Rgb{220, 30, 30})),
                          false);
    const Bytes file = sample.bytes();
    const auto inventory = ambrel::pipeline::listImages(file.data(), file.size());
    ASSERT_EQ(inventory.images.size(), 2u);
    EXPECT_EQ(inventory.images[0].id, 1u);
    EXPECT_EQ(inventory.images[1].id, 2u);
    EXPECT_EQ(inventory.images[1].width, 32u);
    EXPECT_EQ(inventory.images[1].height, 16u);

    const ConvertedFile converted = convertItem(file, 2, OutputFormat::Png);
    ASSERT_TRUE(converted.ok) << converted.detail;
    const cv::Mat image = decodeAny(converted.bytes);
    ASSERT_EQ(image.cols, 32);
    ASSERT_EQ(image.rows, 16);
    EXPECT_TRUE(pipetest::colourNear(image, 16, 8, Rgb{220, 30, 30}));
}

// The corpus files' top-level images: the primary first, then item order;
// libheif's heif-info, run as a black box, lists the same ones (but for a
// primary that is a thumbnail as well).
TEST(OtherImages, CorpusTopLevelImagesAreTheOnesHeifInfoLists)
{
    struct Row
    {
        const char* file;
        std::vector<std::array<std::uint32_t, 3>> images;  // id, displayed width and height
        // heif-info leaves out a primary that is also a thumbnail, which is
        // still the file's picture here.
        bool refereed = true;
    };
    const std::vector<Row> rows = {
        {"zPug_3.heic", {{6, 64, 64}, {1, 64, 64}, {9, 96, 64}}},
        {"empty_icc.heic", {{2, 1025, 900}, {5, 932, 1044}}},
        {"invalid_id.heic", {{2, 1197, 1227}, {3, 564, 870}}, false},
        {"RGB_8_chroma444.heif", {{1, 29, 100}}},
        {"RGBA_8__128x128.heif", {{1, 128, 128}}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.file);
        const Bytes file = pipetest::corpusBytes(row.file);
        const auto inventory = ambrel::pipeline::listImages(file.data(), file.size());
        std::vector<std::array<std::uint32_t, 3>> listed;
        for (const auto& image : inventory.images) {
            listed.push_back({image.id, image.width, image.height});
        }
        EXPECT_EQ(listed, row.images);
        if (!row.refereed || !fixture::programAvailable("heif-info")) {
            continue;
        }
        std::string referee;
        ASSERT_EQ(fixture::runCommand("heif-info " + fixture::shellQuote(pipetest::corpusPath(row.file)), referee), 0);
        std::size_t shown = 0;
        for (std::size_t at = referee.find("\nimage: "); at != std::string::npos;
             at = referee.find("\nimage: ", at + 1)) {
            ++shown;
        }
        EXPECT_EQ(shown, row.images.size()) << referee;
        for (const auto& [id, width, height] : row.images) {
            const std::string line =
                "image: " + std::to_string(width) + "x" + std::to_string(height) + " (id=" + std::to_string(id) + ")";
            EXPECT_NE(referee.find(line), std::string::npos) << line << "\n" << referee;
        }
    }
}

// Frames come out in presentation order, whether each is coded on its own
// (decoded alone, from its own IDR picture) or predicted from its
// predecessors (decoded from the first).
TEST(Sequences, EveryFrameConvertsInOrder)
{
    for (const bool intraOnly : {false, true}) {
        SCOPED_TRACE(intraOnly);
        fixture::SequenceOptions options;
        options.frames = 3;
        options.intraOnly = intraOnly;
        const Bytes file = fixture::makeImageSequence(options);
        const auto inventory = ambrel::pipeline::listImages(file.data(), file.size());
        EXPECT_EQ(inventory.primary, 0u);
        EXPECT_EQ(inventory.frames, 3u);
        for (int frame = 0; frame < 3; ++frame) {
            SCOPED_TRACE(frame);
            const ConvertedFile converted = convertItem(file, 0, OutputFormat::Png, frame);
            ASSERT_TRUE(converted.ok) << converted.detail;
            const cv::Mat image = decodeAny(converted.bytes);
            ASSERT_EQ(image.cols, 64);
            EXPECT_TRUE(pipetest::colourNear(image, 32, 32, fixture::paletteColour(unsigned(frame))));
        }
        const ConvertedFile past = convertItem(file, 0, OutputFormat::Png, 3);
        EXPECT_FALSE(past.ok);
        EXPECT_NE(past.detail.find("3 frames"), std::string::npos) << past.detail;
    }
}

// A frame whose picture never comes out of the decoder fails; the frame
// before it does not stand in for it.
TEST(Sequences, FrameThatDoesNotDecodeIsRefused)
{
    fixture::SequenceOptions options;
    options.frames = 3;
    options.intraOnly = false;
    Bytes file = fixture::makeImageSequence(options);
    // The second sample's slice, found by its first bytes, is given a
    // reserved unit type that decoders skip.
    std::istringstream in(std::string(file.begin(), file.end()));
    ambrel::heif::HevcImageFileReader reader;
    reader.initialize(in);
    const auto track = reader.getFileInformation().trackInformation.begin()->first;
    Bytes sample;
    reader.getItemData(track, 1, sample);
    ASSERT_GT(sample.size(), 24u);
    // The Annex B form: 00 00 01, then the slice's header and data as stored.
    const auto slice = std::search(sample.begin(), sample.end(), kStartCode.begin(), kStartCode.end()) + 3;
    const Bytes pattern(slice, slice + 16);
    const auto at = std::search(file.begin(), file.end(), pattern.begin(), pattern.end());
    ASSERT_NE(at, file.end());
    *at = static_cast<std::uint8_t>((45u << 1) | (*at & 0x81u));

    const ConvertedFile first = convertItem(file, 0, OutputFormat::Png, 0);
    ASSERT_TRUE(first.ok) << first.detail;
    const ConvertedFile second = convertItem(file, 0, OutputFormat::Png, 1);
    EXPECT_FALSE(second.ok);
    EXPECT_NE(second.detail.find("cannot be decoded"), std::string::npos) << second.detail;
}

TEST(Sequences, FileWithoutPrimaryConvertsItsFirstFrame)
{
    const Bytes file = fixture::makeImageSequence();
    const ConvertedFile converted = convertItem(file, 0, OutputFormat::Jpg);
    ASSERT_TRUE(converted.ok) << converted.detail;
    const cv::Mat image = pipetest::decodeStored(converted.bytes);
    EXPECT_TRUE(pipetest::colourNear(image, 32, 32, fixture::paletteColour(0)));
}

// libheif's heif-convert --with-aux, run as a black box, writes the depth map
// of the same file unturned; turned back by a quarter, ours matches it.
TEST(AuxiliaryImages, DepthMapMatchesHeifConvert)
{
    if (!fixture::programAvailable("heif-convert")) {
        GTEST_SKIP() << "heif-convert is not installed";
    }
    const std::filesystem::path folder =
        std::filesystem::temp_directory_path() / ("ambrel-aux-referee-" + std::to_string(::getpid()));
    std::filesystem::create_directories(folder);
    const std::string input = (folder / "phone.heic").string();
    fixture::writeFileBytes(input, phoneLikeFile().bytes());
    std::string output;
    const int status = fixture::runCommand(
        "cd " + fixture::shellQuote(folder.string()) + " && heif-convert --with-aux --no-colons phone.heic out.png",
        output);
    ASSERT_EQ(status, 0) << output;
    cv::Mat reference;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        const std::string name = entry.path().filename().string();
        if (name.find("auxid_2") != std::string::npos || name.find("depth") != std::string::npos) {
            reference = cv::imread(entry.path().string(), cv::IMREAD_GRAYSCALE);
        }
    }
    std::filesystem::remove_all(folder);
    ASSERT_FALSE(reference.empty()) << "heif-convert wrote no depth image: " << output;

    const ConvertedFile converted = convertItem(phoneLikeFile().bytes(), kDepthId, OutputFormat::Png);
    ASSERT_TRUE(converted.ok) << converted.detail;
    cv::Mat ours = decodeAny(converted.bytes);
    cv::rotate(ours, ours, cv::ROTATE_90_CLOCKWISE);  // undo the image's turn
    ASSERT_EQ(ours.size(), reference.size());
    cv::Mat difference;
    cv::absdiff(ours, reference, difference);
    double largest = 0;
    cv::minMaxLoc(difference, nullptr, &largest);
    EXPECT_LE(largest, 1.0);
}

// --- HDR gain maps ---

enum class HdrStyle { Apple, ToneMap, Samsung };
constexpr std::uint32_t kHdrMapId = 20;
constexpr double kAppleStops = 3.0 - 70.0 * 0.005;  // Apple's formula for maker-note values 1.2 and 0.005

// A smooth ramp over every level, darkest top left.
fixture::RgbImage gainRamp(unsigned width, unsigned height)
{
    fixture::RgbImage image = fixture::solidImage(width, height, Rgb{0, 0, 0});
    for (unsigned y = 0; y < height; ++y) {
        for (unsigned x = 0; x < width; ++x) {
            const auto level = static_cast<std::uint8_t>(255 * (x + y) / (width + height - 2));
            image.set(x, y, Rgb{level, level, level});
        }
    }
    return image;
}

std::string xmpOf(const std::string& attributes)
{
    return "<x:xmpmeta xmlns:x=\"adobe:ns:meta/\"><rdf:RDF xmlns:rdf=\"http://www.w3.org/1999/02/22-rdf-syntax-ns#\">"
           "<rdf:Description rdf:about=\"\" " +
           attributes + "/></rdf:RDF></x:xmpmeta>";
}

// A 128 x 96 photo stored turned, with a 64 x 48 gain map as phones write it.
Bytes hdrFile(HdrStyle style, Bytes toneMap = {}, bool appleVersion = true, std::size_t primaryXmp = 0)
{
    fixture::SingleImageOptions options;
    options.width = 128;
    options.height = 96;
    options.rotation = 90;
    fixture::SampleFile file = fixture::makeSingleImageHeic(options);
    if (style == HdrStyle::ToneMap) {
        if (toneMap.empty()) {
            ambrel::pipeline::GainMapMetadata iso;
            iso.alternateHeadroom = iso.gainMapMax = {2, 1};
            iso.baseOffset = iso.alternateOffset = {1, 64};
            toneMap = ambrel::pipeline::gainMapMetadataBlock(iso);
            toneMap.insert(toneMap.begin(), 0);
        }
        fixture::addToneMapItem(file.builder, 23, kHdrMapId, file.primaryId, gainRamp(64, 48), toneMap);
        return file.bytes();
    }
    const bool apple = style == HdrStyle::Apple;
    fixture::addAuxiliaryItem(file.builder, kHdrMapId, file.primaryId,
                              apple ? fixture::kAuxGainMap : "urn:com:samsung:photo:2024:aux:hdrgainmap",
                              gainRamp(64, 48));
    fixture::addXmpItem(file.builder, 21, kHdrMapId,
                        xmpOf(apple ? (appleVersion ? "xmlns:HDRGainMap=\"http://ns.apple.com/HDRGainMap/1.0/\" "
                                                      "HDRGainMap:HDRGainMapVersion=\"65536\""
                                                    : "")
                                    : "xmlns:hdrgm=\"http://ns.adobe.com/hdr-gain-map/1.0/\" hdrgm:Version=\"1.0\" "
                                      "hdrgm:GainMapMax=\"2.5\" hdrgm:HDRCapacityMax=\"2.5\""));
    if (primaryXmp != 0) {  // a packet of this many bytes, padded
        const std::string packet = xmpOf("");
        fixture::addXmpItem(file.builder, 24, file.primaryId, packet + std::string(primaryXmp - packet.size(), ' '));
    }
    fixture::ItemDescription exif;
    exif.id = 22;
    exif.type = "Exif";
    exif.data = fixture::exifPayload(fixture::appleMakerNoteTiff(1.2, 0.005));
    file.builder.addItem(std::move(exif));
    file.builder.addReference("cdsc", 22, {file.primaryId});
    return file.bytes();
}

std::uint32_t bigEndian(const Bytes& b, std::size_t at, int bytes)
{
    std::uint32_t value = 0;
    for (int i = 0; i < bytes; ++i) {
        value = (value << 8) | b.at(at + std::size_t(i));
    }
    return value;
}

// The payloads of the segments before the first scan whose payload starts with `id`.
std::vector<std::string> segmentsOf(const Bytes& jpeg, std::size_t start, const std::string& id)
{
    std::vector<std::string> found;
    for (std::size_t at = start + 2; at + 4 < jpeg.size() && jpeg[at + 1] != 0xDA;) {
        const std::size_t length = bigEndian(jpeg, at + 2, 2);
        const std::string payload(jpeg.begin() + std::ptrdiff_t(at + 4),
                                  jpeg.begin() + std::ptrdiff_t(at + 2 + length));
        if (payload.rfind(id, 0) == 0) {
            found.push_back(payload.substr(id.size()));
        }
        at += 2 + length;
    }
    return found;
}

double xmpValue(const std::string& xmp, const std::string& name)
{
    const std::size_t at = xmp.find("hdrgm:" + name + "=\"");
    EXPECT_NE(at, std::string::npos) << name;
    return at == std::string::npos ? 0.0 : std::stod(xmp.substr(at + name.size() + 8));
}

// Checks the gain-map JPEG's structure; its gain map image and metadata.
std::pair<Bytes, ambrel::pipeline::GainMapMetadata> gainMapOf(const Bytes& jpeg)
{
    const std::vector<std::string> xmp = segmentsOf(jpeg, 0, std::string("http://ns.adobe.com/xap/1.0/\0", 29));
    const std::vector<std::string> mpf = segmentsOf(jpeg, 0, std::string("MPF\0", 4));
    EXPECT_EQ(segmentsOf(jpeg, 0, std::string("urn:iso:std:iso:ts:21496:-1\0", 28)).size(), 1u);
    if (mpf.size() != 1 || xmp.size() != 1) {
        ADD_FAILURE() << "no MPF or XMP segment";
        return {};
    }
    const Bytes index(mpf[0].begin(), mpf[0].end());
    const std::size_t origin = std::search(jpeg.begin(), jpeg.end(), index.begin(), index.end()) - jpeg.begin();
    std::size_t entries = 0;
    for (std::uint32_t i = 0, count = bigEndian(index, 8, 2); i < count; ++i) {
        if (bigEndian(index, 10 + 12 * i, 2) == 0xB002) {
            entries = bigEndian(index, 10 + 12 * i + 8, 4);
        }
    }
    const std::uint32_t size = bigEndian(index, entries + 20, 4);
    const std::size_t offset = origin + bigEndian(index, entries + 24, 4);
    EXPECT_EQ(offset, std::size_t(bigEndian(index, entries + 4, 4)));  // the primary's end
    EXPECT_EQ(offset + size, jpeg.size());
    EXPECT_EQ(bigEndian(jpeg, offset, 2), 0xFFD8u);
    EXPECT_NE(xmp[0].find("Item:Length=\"" + std::to_string(size) + "\""), std::string::npos);
    EXPECT_NE(xmp[0].find("hdrgm:Version=\"1.0\""), std::string::npos);
    const Bytes gainMap(jpeg.begin() + std::ptrdiff_t(offset), jpeg.end());
    const std::vector<std::string> iso = segmentsOf(gainMap, 0, std::string("urn:iso:std:iso:ts:21496:-1\0", 28));
    const std::vector<std::string> own = segmentsOf(gainMap, 0, std::string("http://ns.adobe.com/xap/1.0/\0", 29));
    std::string why;
    const auto metadata = ambrel::pipeline::parseGainMapMetadata(Bytes(iso.at(0).begin(), iso.at(0).end()), why);
    if (own.size() != 1 || !metadata) {
        ADD_FAILURE() << "the gain map has no XMP or ISO block: " << why;
        return {};
    }
    const auto& m = *metadata;
    for (const auto& [name, value] : {std::pair{"GainMapMin", m.gainMapMin},
                                      {"GainMapMax", m.gainMapMax},
                                      {"Gamma", m.gamma},
                                      {"OffsetSDR", m.baseOffset},
                                      {"OffsetHDR", m.alternateOffset},
                                      {"HDRCapacityMin", m.baseHeadroom},
                                      {"HDRCapacityMax", m.alternateHeadroom}}) {
        EXPECT_NEAR(xmpValue(own[0], name), value.value(), 1e-6) << name;
    }
    return {gainMap, *metadata};
}

// Each kind becomes a gain-map JPEG whose primary is the plain conversion's
// picture, and whose gain map is turned like it; exiftool reads it all.
TEST(HdrGainMap, EachKindBecomesAGainMapJpegAroundTheSamePicture)
{
    const std::pair<HdrStyle, const char*> rows[] = {
        {HdrStyle::Apple, "apple"}, {HdrStyle::ToneMap, "iso"}, {HdrStyle::Samsung, "samsung"}};
    for (const auto& [style, kind] : rows) {
        SCOPED_TRACE(kind);
        const Bytes file = hdrFile(style);
        const ConvertedFile hdr = convertItem(file, 0, OutputFormat::Jpg, -1, true);
        const ConvertedFile plain = convertItem(file, 0, OutputFormat::Jpg, -1, false);
        ASSERT_TRUE(hdr.ok && plain.ok) << hdr.detail;
        EXPECT_EQ(hdr.hdr, kind);
        EXPECT_EQ(hdr.warning, "");
        EXPECT_EQ(cv::norm(pipetest::decodeStored(hdr.bytes), pipetest::decodeStored(plain.bytes), cv::NORM_INF), 0.0);
        const auto [gainMap, metadata] = gainMapOf(hdr.bytes);
        const cv::Mat grey = cv::imdecode(gainMap, cv::IMREAD_UNCHANGED);
        EXPECT_EQ(grey.size(), cv::Size(48, 64));  // its own resolution, turned with the picture
        EXPECT_GT(greyAt(grey, 47, 0), 200);       // turned a quarter anticlockwise: the brightest corner top right
        EXPECT_LT(greyAt(grey, 0, 63), 50);
        if (style == HdrStyle::ToneMap) {
            EXPECT_EQ(metadata.gainMapMax.value(), 2.0);  // copied one to one
            EXPECT_EQ(metadata.baseOffset, (ambrel::pipeline::GainMapFraction{1, 64}));
        }
        if (!fixture::programAvailable("exiftool")) {
            continue;
        }
        const std::string path = (std::filesystem::temp_directory_path() /
                                  ("ambrel-hdr-" + std::to_string(::getpid()) + "-" + kind + ".jpg"))
                                     .string();
        fixture::writeFileBytes(path, hdr.bytes);
        std::string out;
        ASSERT_EQ(
            fixture::runCommand("exiftool -a -G1 -s -warning -MPF:all -XMP:all " + fixture::shellQuote(path), out), 0);
        std::filesystem::remove(path);
        EXPECT_EQ(out.find("Warning"), std::string::npos) << out;
        EXPECT_NE(out.find("NumberOfImages                  : 2"), std::string::npos) << out;
        EXPECT_NE(out.find("[XMP-hdrgm]"), std::string::npos) << out;
        EXPECT_NE(out.find("DirectoryItemLength             : " + std::to_string(gainMap.size())), std::string::npos)
            << out;
    }
}

// The HDR boost the output gives with the standard formula matches the one
// Apple's formula gives from the source's codes (heif-convert decodes them).
TEST(HdrGainMap, AppleBoostIsKeptWithinAFiftiethOfAStop)
{
    if (!fixture::programAvailable("heif-convert")) {
        GTEST_SKIP() << "heif-convert is not installed";
    }
    const std::filesystem::path folder =
        std::filesystem::temp_directory_path() / ("ambrel-hdr-referee-" + std::to_string(::getpid()));
    std::filesystem::create_directories(folder);
    fixture::writeFileBytes((folder / "apple.heic").string(), hdrFile(HdrStyle::Apple));
    std::string output;
    ASSERT_EQ(fixture::runCommand("cd " + fixture::shellQuote(folder.string()) +
                                      " && heif-convert --with-aux --no-colons apple.heic out.png",
                                  output),
              0)
        << output;
    cv::Mat source;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        if (entry.path().filename().string().find("hdrgainmap") != std::string::npos) {
            source = cv::imread(entry.path().string(), cv::IMREAD_GRAYSCALE);
        }
    }
    std::filesystem::remove_all(folder);
    ASSERT_FALSE(source.empty()) << output;
    cv::rotate(source, source, cv::ROTATE_90_COUNTERCLOCKWISE);  // as the picture displays

    const ConvertedFile hdr = convertItem(hdrFile(HdrStyle::Apple), 0, OutputFormat::Jpg, -1, true);
    ASSERT_TRUE(hdr.ok) << hdr.detail;
    const auto [gainMap, metadata] = gainMapOf(hdr.bytes);
    const cv::Mat ours = cv::imdecode(gainMap, cv::IMREAD_GRAYSCALE);
    EXPECT_NEAR(metadata.alternateHeadroom.value(), kAppleStops, 1e-6);
    const double headroom = std::exp2(kAppleStops);
    cv::Mat sourceUp;
    cv::Mat oursUp;
    cv::resize(source, sourceUp, cv::Size(96, 128), 0, 0, cv::INTER_LINEAR);
    cv::resize(ours, oursUp, cv::Size(96, 128), 0, 0, cv::INTER_LINEAR);
    std::vector<double> errors;
    std::vector<double> copiedErrors;
    for (int y = 0; y < sourceUp.rows; ++y) {
        for (int x = 0; x < sourceUp.cols; ++x) {
            const double v = sourceUp.at<std::uint8_t>(y, x) / 255.0;
            const double linear = v < 0.081 ? v / 4.5 : std::pow((v + 0.099) / 1.099, 1.0 / 0.45);
            const double apple = std::log2(1.0 + (headroom - 1.0) * linear);
            const double g = std::pow(oursUp.at<std::uint8_t>(y, x) / 255.0, 1.0 / metadata.gamma.value());
            const double standard = metadata.gainMapMin.value() * (1 - g) + metadata.gainMapMax.value() * g;
            errors.push_back(std::abs(standard - apple));
            copiedErrors.push_back(std::abs(kAppleStops * v - apple));  // Apple's codes copied unchanged
        }
    }
    std::sort(errors.begin(), errors.end());
    std::sort(copiedErrors.begin(), copiedErrors.end());
    const auto p99 = [](const std::vector<double>& list) { return list[list.size() * 99 / 100]; };
    EXPECT_LE(p99(errors), 0.02);
    EXPECT_LE(errors.back(), 0.06);
    EXPECT_GT(p99(copiedErrors), 0.02);
}

// A gain map that cannot be carried leaves the plain JPEG, byte for byte,
// with one warning at most; other formats say the HDR rendition is not kept.
TEST(HdrGainMap, WhatCannotBeCarriedLeavesThePlainPicture)
{
    ambrel::pipeline::GainMapMetadata iso;
    iso.alternateHeadroom = iso.gainMapMax = {2, 1};
    Bytes valid = ambrel::pipeline::gainMapMetadataBlock(iso);
    valid.insert(valid.begin(), 0);
    Bytes zeroDenominator = valid;
    zeroDenominator[1 + 5 + 8 + 7] = 0;  // the alternate headroom's
    Bytes multichannel = valid;
    multichannel[1 + 4] |= 0x80;
    Bytes hdrBase = valid;
    hdrBase[1 + 5 + 3] = 4;  // base headroom 4 stops
    const std::pair<Bytes, const char*> rows[] = {
        {hdrFile(HdrStyle::ToneMap, {1, 0, 0, 0, 0}), "version 1"},
        {hdrFile(HdrStyle::ToneMap, zeroDenominator), "zero denominator"},
        {hdrFile(HdrStyle::ToneMap, Bytes(valid.begin(), valid.begin() + 20)), "cut short"},
        {hdrFile(HdrStyle::ToneMap, multichannel), "multichannel"},
        {hdrFile(HdrStyle::ToneMap, hdrBase), "HDR base"},
        {hdrFile(HdrStyle::Apple, {}, true, 65000), "XMP packet too large for the description"},
        {hdrFile(HdrStyle::Apple, {}, false), ""},  // no version tag: no gain map, no warning
        {phoneLikeFile().bytes(), ""},
    };
    for (const auto& [file, row] : rows) {
        SCOPED_TRACE(row);
        const ConvertedFile withHdr = convertItem(file, 0, OutputFormat::Jpg, -1, true);
        const ConvertedFile plain = convertItem(file, 0, OutputFormat::Jpg, -1, false);
        ASSERT_TRUE(withHdr.ok && plain.ok) << withHdr.detail;
        EXPECT_EQ(withHdr.bytes, plain.bytes);
        EXPECT_EQ(withHdr.hdr, "");
        EXPECT_EQ(withHdr.warning.empty(), *row == '\0') << withHdr.warning;
        EXPECT_EQ(withHdr.warning.find(';'), std::string::npos) << withHdr.warning;
    }
    const ConvertedFile png = convertItem(hdrFile(HdrStyle::Apple), 0, OutputFormat::Png);
    ASSERT_TRUE(png.ok);
    EXPECT_EQ(png.warning, "the HDR gain map is not kept: only JPEG output carries it");
    const Bytes apple = hdrFile(HdrStyle::Apple);
    const auto described = ambrel::pipeline::describeGainMap(apple.data(), apple.size());
    EXPECT_TRUE(described && described->kind == ambrel::pipeline::GainMapKind::Apple && described->width == 64u &&
                std::abs(described->headroomStops - kAppleStops) < 1e-6);
}

}  // namespace
