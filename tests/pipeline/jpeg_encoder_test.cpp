// The pipeline's JPEG encoder against OpenCV's imencode: the same bytes,
// whole or fed band by band, from whole images and from views.
#include <gtest/gtest.h>

#include <opencv2/imgcodecs.hpp>

#include "heif2jpg/extraction.h"
#include "heif2jpg/hevc_stream.h"
#include "heif2jpg/jpeg_encoder.h"
#include "heif2jpg/mosaic.h"
#include "tests/pipeline/pipeline_support.h"

using namespace ambrel::heif;
using namespace ambrel::pipeline;

namespace {

cv::Mat noisyPicture(int width, int height)
{
    cv::Mat image(height, width, CV_8UC3);
    cv::RNG random(7);
    random.fill(image, cv::RNG::UNIFORM, 0, 256);
    // Smooth areas as well as noise.
    image(cv::Rect(0, 0, width / 2, height / 2)).setTo(cv::Scalar(30, 120, 200));
    return image;
}

std::vector<std::uint8_t> opencvJpeg(const cv::Mat& image, int quality)
{
    std::vector<std::uint8_t> bytes;
    EXPECT_TRUE(cv::imencode(".jpg", image, bytes, {cv::IMWRITE_JPEG_QUALITY, quality}));
    return bytes;
}

TEST(JpegEncoderTest, SameBytesAsImencode)
{
    const cv::Mat image = noisyPicture(203, 77);
    for (int quality : {-5, 0, 1, 10, 50, 90, 100, 130}) {
        std::vector<std::uint8_t> ours;
        ASSERT_TRUE(ambrel::pipeline::encodeJpeg(image, quality, ours));
        EXPECT_EQ(ours, opencvJpeg(image, quality)) << "quality " << quality;
    }
}

TEST(JpegEncoderTest, BandsAndViewsGiveTheSameBytes)
{
    const cv::Mat canvas = noisyPicture(300, 200);
    const cv::Mat view = canvas(cv::Rect(0, 0, 250, 170));  // not continuous
    ambrel::pipeline::JpegEncoder encoder(view.cols, view.rows, 90);
    for (int row = 0; row < view.rows; row += 64) {
        encoder.writeRows(view.rowRange(row, std::min(row + 64, view.rows)));
    }
    EXPECT_EQ(encoder.rowsWritten(), 170);
    EXPECT_EQ(encoder.finish(), opencvJpeg(view.clone(), 90));

    // Unfinished pictures give nothing.
    ambrel::pipeline::JpegEncoder partial(view.cols, view.rows, 90);
    partial.writeRows(view.rowRange(0, 10));
    EXPECT_TRUE(partial.finish().empty());
}

TEST(JpegEncoderTest, PicturesLibjpegCannotTakeFail)
{
    EXPECT_THROW(ambrel::pipeline::JpegEncoder(0, 10, 90), std::invalid_argument);
    // Wider than JPEG's 65500 pixels: refused by libjpeg, reported as failure.
    ambrel::pipeline::JpegEncoder tooWide(70000, 1, 90);
    EXPECT_TRUE(tooWide.failed());
    EXPECT_TRUE(tooWide.finish().empty());
    std::vector<std::uint8_t> out;
    EXPECT_FALSE(ambrel::pipeline::encodeJpeg(cv::Mat(1, 70000, CV_8UC3, cv::Scalar::all(0)), 90, out));
    EXPECT_THROW(ambrel::pipeline::encodeJpeg(cv::Mat(), 90, out), std::invalid_argument);
}

class BandEncodingTest : public pipetest::PipelineTest
{};

TEST_F(BandEncodingTest, ConversionEncodedWhileDecodingMatchesTheMosaicEncodedAfter)
{
    // A picture that needs no pixel work after the mosaic is encoded band by
    // band as rows of tiles arrive: the bytes must be those of the cut
    // mosaic encoded whole.
    fixture::GridOptions options;
    options.rows = 3;
    options.columns = 2;
    options.outputWidth = 120;
    options.outputHeight = 150;
    const fixture::SampleFile file = fixture::makeGridHeic(options);
    const Heif2JpgResult result = convert(file.bytes(), false, 1.0f, 85);
    ASSERT_TRUE(result.ok) << result.message;

    const fixture::Bytes bytes = file.bytes();
    std::vector<std::uint8_t> stream;
    ASSERT_TRUE(ambrel::pipeline::assembleHevcBitstream(
        ambrel::pipeline::extractHeifImage(bytes.data(), bytes.size(), false), stream));
    const std::vector<cv::Mat> frames = ambrel::pipeline::decodeHevcFrames(stream);
    const cv::Mat image = ambrel::pipeline::cropToOutput(ambrel::pipeline::buildMosaic(frames, 3, 2), 120, 150);
    std::vector<std::uint8_t> whole;
    ASSERT_TRUE(ambrel::pipeline::encodeJpeg(image, 85, whole));
    EXPECT_EQ(result.jpeg, whole);
}

}  // namespace
