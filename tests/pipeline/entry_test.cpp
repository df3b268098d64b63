// The conversion entry: result texts, how they and the JPEG are handed over
// in the caller's buffer, and the temporary stream file.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <future>
#include <string>
#include <sys/file.h>
#include <unistd.h>

#include "pipeline_support.h"

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

    // No folder for the stream file.
    const std::string goodPath = streamPath;
    streamPath = (folder / "missing" / "stream.hevc").string();
    EXPECT_EQ(convert(file).message, "HUD_ERR heif2jpg write_hevc_bitstream");
    streamPath = "";
    EXPECT_EQ(convert(file).message, "HUD_ERR heif2jpg write_hevc_bitstream");
    streamPath = goodPath;

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

TEST_F(EntryTest, SuccessiveCallsOverwriteTheStreamFile)
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
    const auto firstSize = std::filesystem::file_size(streamPath);
    const cv::Mat image = convertToImage(small.bytes());
    ASSERT_EQ(image.cols, 32);
    ASSERT_EQ(image.rows, 32);
    EXPECT_TRUE(colourNear(image, 4, 4, small.tileColours[0]));
    EXPECT_TRUE(colourNear(image, 28, 28, small.tileColours[3]));
    EXPECT_LT(std::filesystem::file_size(streamPath), firstSize);
    EXPECT_TRUE(std::filesystem::exists(streamPath + ".lock"));
}

TEST_F(EntryTest, ConversionWaitsForTheStreamLock)
{
    const Bytes file = fixture::makeSingleImageHeic().bytes();
    const int lockFd = ::open((streamPath + ".lock").c_str(), O_RDWR | O_CREAT, 0644);
    ASSERT_GE(lockFd, 0);
    ASSERT_EQ(::flock(lockFd, LOCK_EX), 0);

    auto pending = std::async(std::launch::async, [&] { return convert(file); });
    // While another holder has the lock the stream file is not touched.
    EXPECT_EQ(pending.wait_for(std::chrono::milliseconds(300)), std::future_status::timeout);
    EXPECT_FALSE(std::filesystem::exists(streamPath));

    ::close(lockFd);
    const Heif2JpgResult result = pending.get();
    EXPECT_TRUE(result.ok) << result.message;
}

}  // namespace
