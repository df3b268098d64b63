// The conversion entry: result texts and their causes, how they and the JPEG
// are handed over in the caller's buffer, and that no stream file is written.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "tests/pipeline/pipeline_support.h"

using namespace ambrel::heif;
using namespace ambrel::pipeline;

namespace {

using namespace pipetest;

constexpr std::uint8_t kFill = 0xAB;
const std::string kReadHeif = "HUD_ERR heif2jpg read_heif";

class EntryTest : public PipelineTest
{
protected:
    // Calls heif2jpg with an output buffer of `capacity` bytes plus a guard
    // area, all prefilled, and the output length preset to `lengthBefore`.
    void call(const Bytes& file, std::int32_t capacity, std::int32_t inputLength = -1, bool keepExif = false,
              std::int32_t lengthBefore = 0)
    {
        output.assign(std::size_t(capacity) + kGuard, kFill);
        outputLength = lengthBefore;
        heif2jpg(file.data(), inputLength < 0 ? std::int32_t(file.size()) : inputLength, 90, output.data(), capacity,
                 streamPath.c_str(), 1.0f, &outputLength, keepExif);
    }

    std::string text() const { return std::string(output.begin(), output.begin() + outputLength); }

    static constexpr std::size_t kGuard = 16;
    Bytes output;
    std::int32_t outputLength = 0;
};

TEST_F(EntryTest, InputsThatAreNotHeifGiveReadHeif)
{
    const Bytes notHeif = {'G', 'I', 'F', '8', '9', 'a', 0, 1, 2, 3, 4, 5, 6, 7, 8, 9};
    call(notHeif, 64, 0);  // length 0
    EXPECT_EQ(text(), kReadHeif);
    call(notHeif, 64);
    EXPECT_EQ(text(), kReadHeif);
    call(notHeif, 64, -5);  // a negative length reads nothing
    EXPECT_EQ(text(), kReadHeif);
    // The message is followed by zeros up to the capacity, and not beyond.
    EXPECT_EQ(outputLength, 26);
    for (std::size_t i = 26; i < 64; ++i) {
        ASSERT_EQ(output[i], 0) << "at " << i;
    }
    EXPECT_EQ(output[64], kFill);

    // A file with a valid header but no image at all.
    fixture::HeifBuilder noImage;
    addExifItem(noImage, 1, fixture::makeExifBlock(1));
    call(noImage.build(), 64);
    EXPECT_EQ(text(), kReadHeif);
}

TEST_F(EntryTest, MessageLongerThanTheCapacityLeavesTheBufferAlone)
{
    call({}, 25, 0, false, 7);
    EXPECT_EQ(outputLength, 7);
    for (const std::uint8_t byte : output) {
        ASSERT_EQ(byte, kFill);
    }
}

TEST_F(EntryTest, MessageExactlyAsLongAsTheCapacityHasNoTerminator)
{
    call({}, 26, 0);
    EXPECT_EQ(outputLength, 26);
    EXPECT_EQ(text(), kReadHeif);
    EXPECT_EQ(output[26], kFill);
}

TEST_F(EntryTest, JpegIsHandedOverWhenItFitsExactly)
{
    const Bytes file = fixture::makeSingleImageHeic().bytes();
    const Heif2JpgResult reference = convert(file);
    ASSERT_TRUE(reference.ok) << reference.message;
    const auto size = std::int32_t(reference.jpeg.size());

    call(file, size);
    ASSERT_EQ(outputLength, size);
    EXPECT_TRUE(std::equal(reference.jpeg.begin(), reference.jpeg.end(), output.begin()));
    EXPECT_EQ(output[std::size_t(size)], kFill);

    call(file, size - 1);
    EXPECT_EQ(text(), "HUD_ERR heif2jpg buffer to small");

    // On success everything after the JPEG is zero.
    call(file, size + 500);
    ASSERT_EQ(outputLength, size);
    for (std::size_t i = std::size_t(size); i < std::size_t(size) + 500; ++i) {
        ASSERT_EQ(output[i], 0) << "at " << i;
    }
    EXPECT_EQ(output[std::size_t(size) + 500], kFill);
}

TEST_F(EntryTest, EveryStageHasItsResultText)
{
    const Bytes file = fixture::makeSingleImageHeic().bytes();

    // Tile data that decodes to nothing.
    fixture::SampleFile garbled = fixture::makeSingleImageHeic();
    fixture::Bytes& data = garbled.builder.item(garbled.primaryId).data;
    for (std::size_t i = 6; i < data.size(); ++i) {
        data[i] = std::uint8_t(i * 7);
    }
    EXPECT_EQ(convert(garbled.bytes()).message, "HUD_ERR heif2jpg read_hevc_bitstream_to_mat_vector");

    // A scale the picture cannot take.
    EXPECT_EQ(convert(file, false, 0.0f).message, "HUD_ERR heif2jpg unknown");
    EXPECT_EQ(convert(file, false, 5000.0f).message, "HUD_ERR heif2jpg unknown");
}

TEST_F(EntryTest, QualityReachesTheEncoder)
{
    fixture::SingleImageOptions options;
    options.picture = fixture::gradientImage(64, 64);
    const Bytes file = fixture::makeSingleImageHeic(options).bytes();
    const Heif2JpgResult low = convert(file, false, 1.0f, 10);
    const Heif2JpgResult high = convert(file, false, 1.0f, 100);
    ASSERT_TRUE(low.ok && high.ok);
    EXPECT_LT(low.jpeg.size() + 1000, high.jpeg.size());
}

TEST_F(EntryTest, SuccessiveCallsShowOnlyTheirOwnPicture)
{
    fixture::GridOptions big;
    big.rows = 2;
    big.columns = 3;
    const Bytes first = fixture::makeGridHeic(big).bytes();
    fixture::SingleImageOptions smallOptions;
    smallOptions.width = 32;
    smallOptions.height = 32;
    const fixture::SampleFile small = fixture::makeSingleImageHeic(smallOptions);

    ASSERT_TRUE(convert(first).ok);
    const cv::Mat image = convertToImage(small.bytes());
    ASSERT_EQ(image.cols, 32);
    ASSERT_EQ(image.rows, 32);
    EXPECT_TRUE(colourNear(image, 4, 4, small.tileColours[0]));
    EXPECT_TRUE(colourNear(image, 28, 28, small.tileColours[3]));
}

TEST_F(EntryTest, ConversionWritesNoStreamFile)
{
    // The stream is decoded in memory: a temporary path that cannot be
    // written (a missing folder, a path under a regular file, a read-only
    // place, none at all) does not matter, and nothing is created there.
    fixture::SingleImageOptions options;
    options.picture = fixture::gradientImage(128, 128);  // a JPEG of more than 1023 bytes
    const Bytes file = fixture::makeSingleImageHeic(options).bytes();
    {
        std::ofstream regular(folder / "file");
        regular << "x";
    }
    const std::string paths[] = {(folder / "missing" / "stream.hevc").string(),
                                 (folder / "file" / "stream.hevc").string(), "/proc/stream.hevc",
                                 (folder / "stream.hevc").string(), ""};
    for (const std::string& path : paths) {
        SCOPED_TRACE(path);
        output.assign(std::size_t(1) << 20, kFill);
        outputLength = 0;
        heif2jpg(file.data(), std::int32_t(file.size()), 90, output.data(), std::int32_t(output.size()), path.c_str(),
                 1.0f, &outputLength, false);
        EXPECT_GE(outputLength, 1024);
        EXPECT_EQ(output[0], 0xFF);
        EXPECT_EQ(output[1], 0xD8);
    }
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        names.push_back(entry.path().filename().string());
    }
    EXPECT_EQ(names, std::vector<std::string>{"file"});
}

TEST_F(EntryTest, FailuresSayWhy)
{
    // The result texts stay as they are; the detail carries the cause.
    const Bytes single = fixture::makeSingleImageHeic().bytes();
    Bytes truncated = single;
    truncated.resize(truncated.size() - 10);
    fixture::GridOptions hugeGrid;
    hugeGrid.rows = 1;
    hugeGrid.columns = 1;
    fixture::SampleFile huge = fixture::makeGridHeic(hugeGrid);
    huge.builder.item(huge.primaryId).data = fixture::gridPayload(0, 0, 20000, 15000);
    fixture::SampleFile garbled = fixture::makeSingleImageHeic();
    fixture::Bytes& garbledData = garbled.builder.item(garbled.primaryId).data;
    for (std::size_t i = 6; i < garbledData.size(); ++i) {
        garbledData[i] = std::uint8_t(i * 7);
    }
    fixture::SampleFile noPrimary = fixture::makeSingleImageHeic();
    noPrimary.builder.setPrimary(0);
    fixture::SampleFile garbledTile = fixture::makeGridHeic();
    fixture::Bytes& tileData = garbledTile.builder.item(garbledTile.tileIds[3]).data;
    for (std::size_t i = 6; i < tileData.size(); ++i) {
        tileData[i] = std::uint8_t(i * 7);
    }
    Bytes garbledAvif = fixture::makeAvif("-y 420");
    const std::string mdat = "mdat";
    for (auto i = std::size_t(std::search(garbledAvif.begin(), garbledAvif.end(), mdat.begin(), mdat.end()) -
                              garbledAvif.begin()) +
                  8;
         i < garbledAvif.size(); ++i) {
        garbledAvif[i] = std::uint8_t(i * 7);
    }

    struct Case
    {
        const char* what;
        Bytes file;
        std::string message;
        std::string detail;
    };
    const Case cases[] = {
        {"empty", {}, kReadHeif, "the file is empty"},
        {"not HEIF", {'G', 'I', 'F', '8', '9', 'a', 0, 1, 2, 3, 4, 5, 6, 7, 8, 9}, kReadHeif, "not a HEIF file"},
        {"truncated", truncated, kReadHeif, "the file is cut short: its last box reaches past the end of the file"},
        {"HEIF brands, then no box", corpusBytes("corrupted.heic"), kReadHeif,
         "cannot read the HEIF structure: Box '\\x00\\x00\\x00\\x00' of 7627008 bytes reaches past the end of the "
         "file (4749 bytes left) (reader error 2)"},
        {"limit", huge.bytes(), kReadHeif,
         "the image is 300000000 pixels (20000 x 15000), more than the limit of 268435456"},
        {"no primary", noPrimary.bytes(), kReadHeif, "the file names no primary image (it has no 'pitm' box)"},
        {"undecodable", garbled.bytes(), "HUD_ERR heif2jpg read_hevc_bitstream_to_mat_vector",
         "the HEVC image data cannot be decoded"},
        {"undecodable AV1", garbledAvif, "HUD_ERR heif2jpg read_hevc_bitstream_to_mat_vector",
         "the AV1 image data cannot be decoded"},
        {"undecodable tile", garbledTile.bytes(), "HUD_ERR heif2jpg unknown", "only 3 of the 4 tiles can be decoded"},
        {"scale", single, "HUD_ERR heif2jpg unknown", "the picture of 64 x 64 pixels cannot be scaled by 5000"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const float scale = std::string(c.what) == "scale" ? 5000.0f : 1.0f;
        const Heif2JpgResult result = convert(c.file, false, scale);
        EXPECT_FALSE(result.ok);
        EXPECT_EQ(result.message, c.message);
        EXPECT_EQ(result.detail, c.detail);
    }

    // decodeHeifPicture, on the same decoding path, gives the same cause.
    std::string message;
    std::string detail;
    const Bytes file = garbledTile.bytes();
    EXPECT_TRUE(decodeHeifPicture(file.data(), file.size(), &message, &detail).empty());
    EXPECT_EQ(message, "HUD_ERR heif2jpg unknown");
    EXPECT_EQ(detail, "only 3 of the 4 tiles can be decoded");
}

}  // namespace
