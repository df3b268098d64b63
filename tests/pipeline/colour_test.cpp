// Pictures whose chroma format or bit depth has no full-range pixel format
// name in FFmpeg (10-bit, 4:4:4) keep their contrast: the range the stream
// signals is the range they are converted from.
#include <gtest/gtest.h>

#include "pipeline_support.h"

namespace {

using namespace pipetest;

class ColourTest : public PipelineTest
{
};

TEST_F(ColourTest, FullRangePicturesOfEveryFormatKeepTheirLevels)
{
    // Dark and bright levels: read as limited range they would be stretched
    // by a sixth, darker and brighter.
    const fixture::RgbImage picture =
        fixture::quadrantImage(64, 64, {24, 24, 24}, {232, 232, 232}, {40, 200, 120}, {200, 60, 30});
    for (const fixture::PixelFormat format :
         {fixture::PixelFormat::Yuv420, fixture::PixelFormat::Yuv420_10bit, fixture::PixelFormat::Yuv444}) {
        for (const bool fullRange : {true, false}) {
            fixture::SingleImageOptions options;
            options.picture = picture;
            options.encode.format = format;
            options.encode.fullRange = fullRange;
            options.encode.crf = 0;
            const cv::Mat image = convertToImage(fixture::makeSingleImageHeic(options).bytes());
            ASSERT_FALSE(image.empty());
            const std::string what = "format " + std::to_string(int(format)) + (fullRange ? " full" : " limited");
            EXPECT_TRUE(colourNear(image, 16, 16, picture.at(16, 16), 8)) << what;
            EXPECT_TRUE(colourNear(image, 48, 16, picture.at(48, 16), 8)) << what;
            EXPECT_TRUE(colourNear(image, 16, 48, picture.at(16, 48), 8)) << what;
            EXPECT_TRUE(colourNear(image, 48, 48, picture.at(48, 48), 8)) << what;
        }
    }
}

}  // namespace
