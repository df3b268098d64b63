// Colours: pictures of every chroma format, bit depth, range and matrix come
// out as the exact Y'CbCr-to-RGB arithmetic of what the encoder was given.
#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <sstream>

#include <opencv2/imgproc.hpp>

#include "tests/pipeline/pipeline_support.h"

using namespace ambrel::heif;
using namespace ambrel::pipeline;

namespace {

using namespace pipetest;

class ColourTest : public PipelineTest
{};

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

// A matrix as ffmpeg names it in the stream, with its luma weights.
struct Matrix
{
    const char* name;
    double red;
    double blue;
};

constexpr Matrix kBt601{"smpte170m", 0.299, 0.114};
constexpr Matrix kBt709{"bt709", 0.2126, 0.0722};
constexpr Matrix kBt2020{"bt2020nc", 0.2627, 0.0593};
constexpr Matrix kFcc{"fcc", 0.30, 0.11};
constexpr Matrix kSmpte240{"smpte240m", 0.212, 0.087};
// The identity: G'B'R' coded as they are.
constexpr Matrix kRgb{"rgb", 0, 0};

struct ColourCase
{
    int bits;
    bool fullRange;
    Matrix matrix;
    // "420", "422", "444", "400" (monochrome), or "gbr" (planes G', B', R',
    // with the identity matrix)
    const char* chroma;
    int type = CV_8UC3;  // of the decoding target
};

std::string describeCase(const ColourCase& c)
{
    return std::to_string(c.bits) + "-bit " + c.chroma + (c.fullRange ? " full " : " limited ") + c.matrix.name +
           " into " + (CV_MAT_DEPTH(c.type) == CV_16U ? "16" : "8") + "-bit x" + std::to_string(CV_MAT_CN(c.type));
}

bool isMono(const ColourCase& c)
{
    return std::string(c.chroma) == "400";
}

bool isRgb(const ColourCase& c)
{
    return std::string(c.chroma) == "gbr";
}

constexpr int kPatch = 16;
constexpr int kPatchesAcross = 4;
constexpr int kSide = kPatch * kPatchesAcross;

// Y'CbCr of the patches, as fractions: luma 0 .. 1, chroma -0.5 .. 0.5;
// chosen to stay inside the RGB cube under every matrix. For an RGB case, G',
// B' and R' as fractions 0 .. 1.
struct Patch
{
    double y, cb, cr;
};

std::vector<Patch> patches(const ColourCase& c)
{
    if (isRgb(c)) {
        // The ends of the scale and next to them, where a conversion through
        // Y'CbCr and back loses a level.
        return {{1, 0, 0.5},        {0, 1, 1},          {0.999, 0.001, 0.999}, {0.002, 0.998, 0.5},
                {0.5, 0.25, 0.75},  {0.3, 0.9, 0.1},    {0.75, 0.6, 0.45},     {0.1, 0.2, 0.3},
                {0.95, 0.05, 0.55}, {0.65, 0.35, 0.85}, {0.4, 0.7, 0.997},     {0.003, 0.5, 0.996},
                {0.8, 0.8, 0.8},    {0.2, 0.2, 0.2},    {0.55, 0.995, 0.004},  {0.45, 0.15, 1}};
    }
    std::vector<Patch> list;
    for (const double y : {0.3, 0.45, 0.6, 0.72}) {
        for (const auto& [cb, cr] :
             {std::pair{-0.12, 0.1}, std::pair{0.0, 0.0}, std::pair{0.11, -0.09}, std::pair{0.07, 0.13}}) {
            list.push_back({y + cb * 0.1, cb, cr});
        }
    }
    return list;
}

// The code values the encoder is given for a fraction.
int lumaCode(double y, const ColourCase& c)
{
    const double scale = double(1 << (c.bits - 8));
    return int(std::lround(c.fullRange ? y * ((1 << c.bits) - 1) : 16 * scale + y * 219 * scale));
}

int chromaCode(double value, const ColourCase& c)
{
    if (isRgb(c)) {
        return lumaCode(value, c);  // B' and R' are coded as G' is
    }
    if (isMono(c)) {
        value = 0;  // what a decoder takes for the missing chroma
    }
    const double scale = double(1 << (c.bits - 8));
    return int(std::lround((1 << (c.bits - 1)) + value * (c.fullRange ? (1 << c.bits) - 1 : 224 * scale)));
}

// The exact 8-bit R'G'B' of code values (unrounded), in BGR order. For an
// RGB case the codes are G', B' and R'.
cv::Vec3d exactBgr(int y, int cb, int cr, const ColourCase& c)
{
    const double scale = double(1 << (c.bits - 8));
    const double top = double((1 << c.bits) - 1);
    if (isRgb(c)) {
        const auto level = [&](int code) {
            return 255 * (c.fullRange ? code / top : (code - 16 * scale) / (219 * scale));
        };
        return {level(cb), level(y), level(cr)};
    }
    const double luma = c.fullRange ? y / top : (y - 16 * scale) / (219 * scale);
    const double pb = (cb - double(1 << (c.bits - 1))) / (c.fullRange ? top : 224 * scale);
    const double pr = (cr - double(1 << (c.bits - 1))) / (c.fullRange ? top : 224 * scale);
    const double red = luma + 2 * (1 - c.matrix.red) * pr;
    const double blue = luma + 2 * (1 - c.matrix.blue) * pb;
    const double green = (luma - c.matrix.red * red - c.matrix.blue * blue) / (1 - c.matrix.red - c.matrix.blue);
    return {255 * blue, 255 * green, 255 * red};
}

// Encodes one frame of flat patches losslessly with x265, signalling the
// case's range and matrix; the Annex B stream. A monochrome case codes the
// luma alone.
Bytes encodePatches(const ColourCase& c, const std::vector<Patch>& list)
{
    const int shiftX = std::string(c.chroma) == "444" || isRgb(c) ? 0 : 1;
    const int shiftY = std::string(c.chroma) == "420" ? 1 : 0;
    const int bytesPerSample = c.bits > 8 ? 2 : 1;
    std::vector<int> planes[3];
    planes[0].assign(std::size_t(kSide) * kSide, 0);
    const int chromaWidth = kSide >> shiftX;
    const int chromaHeight = kSide >> shiftY;
    if (!isMono(c)) {
        planes[1].assign(std::size_t(chromaWidth) * chromaHeight, 0);
        planes[2].assign(std::size_t(chromaWidth) * chromaHeight, 0);
    }
    for (int y = 0; y < kSide; ++y) {
        for (int x = 0; x < kSide; ++x) {
            const Patch& p = list[std::size_t((y / kPatch) * kPatchesAcross + x / kPatch)];
            planes[0][std::size_t(y * kSide + x)] = lumaCode(p.y, c);
            if (!isMono(c) && (x & ((1 << shiftX) - 1)) == 0 && (y & ((1 << shiftY) - 1)) == 0) {
                const std::size_t at = std::size_t((y >> shiftY) * chromaWidth + (x >> shiftX));
                planes[1][at] = chromaCode(p.cb, c);
                planes[2][at] = chromaCode(p.cr, c);
            }
        }
    }
    const fixture::TempFile raw(".yuv");
    {
        std::ofstream out(raw.path(), std::ios::binary);
        for (const auto& plane : planes) {
            for (const int value : plane) {
                const char bytes[2] = {char(value & 0xFF), char(value >> 8)};
                out.write(bytes, bytesPerSample);
            }
        }
    }
    const std::string format = (isMono(c)  ? std::string("gray")
                                : isRgb(c) ? std::string("gbrp")
                                           : std::string("yuv") + c.chroma + "p") +
                               (c.bits > 8 ? std::to_string(c.bits) + "le" : std::string());
    const fixture::TempFile coded(".hevc");
    std::ostringstream command;
    command << "ffmpeg -hide_banner -loglevel error -nostdin -y -f rawvideo -pix_fmt " << format << " -s " << kSide
            << 'x' << kSide << " -i " << fixture::shellQuote(raw.path())
            << " -frames:v 1 -c:v libx265 -preset ultrafast"
            << " -x265-params lossless=1:log-level=error:info=0 -pix_fmt " << format << " -color_range "
            << (c.fullRange ? "pc" : "tv") << " -colorspace " << c.matrix.name << " -f hevc "
            << fixture::shellQuote(coded.path());
    std::string messages;
    if (fixture::runCommand(command.str(), messages) != 0) {
        ADD_FAILURE() << command.str() << "\n" << messages;
        return {};
    }
    return fixture::readFileBytes(coded.path());
}

// The case's patches encoded and decoded into a target of the case's type;
// empty (with a failure recorded) when that does not give one picture of
// the whole size at the case's depth.
cv::Mat decodePatches(const ColourCase& c, const std::vector<Patch>& list)
{
    const Bytes stream = encodePatches(c, list);
    if (stream.empty()) {
        return {};
    }
    cv::Mat image;
    const ambrel::pipeline::DecodeResult result =
        decodeStream(stream, PictureTarget([&](std::size_t, int width, int height) {
                         image = cv::Mat(height, width, c.type, cv::Scalar::all(0));
                         return image;
                     }));
    EXPECT_EQ(result.pictures, 1u);
    EXPECT_EQ(result.bitDepth, c.bits);
    if (result.pictures != 1 || image.size() != cv::Size(kSide, kSide)) {
        ADD_FAILURE() << "no " << kSide << " x " << kSide << " picture";
        return {};
    }
    return image;
}

TEST_F(ColourTest, FlatPatchesComeOutAsTheExactArithmeticOfTheirCodeValues)
{
    // A bias of one level in any channel (the conversion once came out 0.8
    // to 1.9 levels dark at 8 bits, green 1.1 low at 10) fails the mean; a
    // wrong matrix, range or gain fails the single pixels.
    std::vector<ColourCase> cases;
    for (const int bits : {8, 10, 12}) {
        for (const bool fullRange : {false, true}) {
            for (const Matrix& matrix : {kBt601, kBt709, kBt2020, kFcc, kSmpte240}) {
                cases.push_back({bits, fullRange, matrix, "420"});
            }
            cases.push_back({bits, fullRange, kBt709, "422"});
            cases.push_back({bits, fullRange, kBt2020, "444"});
            // 16-bit BGR: the same arithmetic times 257. Pictures of more
            // than 8 bits keep their precision: an 8-bit result widened (up
            // to 128 levels off) fails the single pixels.
            cases.push_back({bits, fullRange, kBt601, "420", CV_16UC3});
            cases.push_back({bits, fullRange, kSmpte240, "422", CV_16UC3});
            cases.push_back({bits, fullRange, kBt709, "444", CV_16UC3});
            cases.push_back({bits, fullRange, kBt2020, "400", CV_16UC3});
            // RGB pictures: each sample scaled by its depth and range alone.
            cases.push_back({bits, fullRange, kRgb, "gbr", CV_8UC3});
            cases.push_back({bits, fullRange, kRgb, "gbr", CV_16UC3});
        }
    }
    for (const ColourCase& c : cases) {
        SCOPED_TRACE(describeCase(c));
        const std::vector<Patch> list = patches(c);
        const cv::Mat image = decodePatches(c, list);
        ASSERT_FALSE(image.empty());
        const double levels = CV_MAT_DEPTH(c.type) == CV_16U ? 257.0 : 1.0;
        cv::Mat3d actualImage;
        image.convertTo(actualImage, CV_64F);

        cv::Vec3d sum(0, 0, 0);
        double worst = 0;
        int count = 0;
        for (std::size_t i = 0; i < list.size(); ++i) {
            const Patch& p = list[i];
            const cv::Vec3d expected = exactBgr(lumaCode(p.y, c), chromaCode(p.cb, c), chromaCode(p.cr, c), c) * levels;
            const int left = int(i % kPatchesAcross) * kPatch;
            const int top = int(i / kPatchesAcross) * kPatch;
            // The patch's inside, away from the chroma blended with its
            // neighbours.
            for (int y = top + 4; y < top + kPatch - 4; ++y) {
                for (int x = left + 4; x < left + kPatch - 4; ++x) {
                    const cv::Vec3d actual = actualImage(y, x);
                    for (int k = 0; k < 3; ++k) {
                        const double error = actual[k] - expected[k];
                        sum[k] += error;
                        worst = std::max(worst, std::abs(error));
                    }
                    ++count;
                }
            }
        }
        const char* names[3] = {"blue", "green", "red"};
        for (int k = 0; k < 3; ++k) {
            EXPECT_LE(std::abs(sum[k] / count), 0.3) << names[k] << " is off by " << sum[k] / count << " on average";
        }
        EXPECT_LE(worst, 0.75) << "a pixel is " << worst << " levels off";
    }
}

TEST_F(ColourTest, SingleChannelTargetsTakeTheLumaSamplesScaledToTheirDepth)
{
    // The luma plane as coded (an alpha plane, a depth map): no matrix, no
    // range conversion, N bits scaled to the target's depth and rounded.
    // Every pixel must be exact.
    const std::vector<ColourCase> cases = {
        {8, false, kBt601, "400", CV_8UC1},   {8, true, kBt601, "400", CV_16UC1},
        {10, false, kBt601, "400", CV_8UC1},  {10, true, kBt601, "400", CV_16UC1},
        {12, false, kBt709, "400", CV_16UC1}, {12, true, kBt709, "400", CV_8UC1},
        {8, false, kBt2020, "444", CV_8UC1},  {10, false, kBt709, "420", CV_16UC1},
        {12, true, kBt601, "422", CV_8UC1},   {10, true, kBt2020, "420", CV_8UC1},
        {10, false, kRgb, "gbr", CV_16UC1},   {12, true, kRgb, "gbr", CV_8UC1},  // the green plane
    };
    for (const ColourCase& c : cases) {
        SCOPED_TRACE(describeCase(c));
        const std::vector<Patch> list = patches(c);
        const cv::Mat image = decodePatches(c, list);
        ASSERT_FALSE(image.empty());
        const double top = CV_MAT_DEPTH(c.type) == CV_16U ? 65535.0 : 255.0;
        cv::Mat1d actual;
        image.convertTo(actual, CV_64F);
        int wrong = 0;
        for (int y = 0; y < kSide; ++y) {
            for (int x = 0; x < kSide; ++x) {
                const Patch& p = list[std::size_t((y / kPatch) * kPatchesAcross + x / kPatch)];
                const int code = lumaCode(p.y, c);
                const double expected = std::round(code * top / ((1 << c.bits) - 1));
                if (actual(y, x) != expected && ++wrong <= 3) {
                    ADD_FAILURE() << "pixel " << x << "," << y << " of code " << code << " is " << actual(y, x)
                                  << ", not " << expected;
                }
            }
        }
        EXPECT_EQ(wrong, 0);
    }
}

TEST_F(ColourTest, JpegPlanesTakeBt601SamplesAndConvertTheRest)
{
    // 4:2:0 pictures of BT.601's matrix go to a JPEG encoder as their
    // samples: 8-bit full range as they are, others mapped to JFIF's 8-bit
    // full range (luma 16..235 and chroma 16..240 stretched, more bits
    // scaled down), every sample exact. Any other matrix, sampling or the
    // identity goes through the BGR picture decodeHevcStream gives.
    struct Case
    {
        ColourCase colour;
        bool taken;
    };
    std::vector<Case> cases;
    for (const int bits : {8, 10, 12}) {
        for (const bool fullRange : {false, true}) {
            cases.push_back({{bits, fullRange, kBt601, "420"}, true});
        }
    }
    for (const ColourCase& c :
         {ColourCase{8, true, kBt709, "420"}, ColourCase{10, false, kBt2020, "420"}, ColourCase{8, true, kFcc, "420"},
          ColourCase{8, true, kBt601, "422"}, ColourCase{8, true, kBt601, "444"}, ColourCase{8, true, kBt601, "400"},
          ColourCase{8, true, kRgb, "gbr"}}) {
        cases.push_back({c, false});
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(describeCase(c.colour));
        const std::vector<Patch> list = patches(c.colour);
        const Bytes stream = encodePatches(c.colour, list);
        ASSERT_FALSE(stream.empty());
        JpegPlanes planes;
        const DecodeResult result = decodeStream(stream, PlanesTarget([&](std::size_t, int width, int height) {
                                                     const cv::Size chroma((width + 1) / 2, (height + 1) / 2);
                                                     planes = {cv::Mat(height, width, CV_8UC1, cv::Scalar(0)),
                                                               cv::Mat(chroma, CV_8UC1, cv::Scalar(0)),
                                                               cv::Mat(chroma, CV_8UC1, cv::Scalar(0))};
                                                     return planes;
                                                 }));
        ASSERT_EQ(result.pictures, 1u);
        if (!c.taken) {
            cv::Mat ycrcb;
            cv::cvtColor(decodePatches(c.colour, list), ycrcb, cv::COLOR_BGR2YCrCb);
            cv::Mat luma;
            cv::extractChannel(ycrcb, luma, 0);
            EXPECT_EQ(cv::norm(luma, planes.luma, cv::NORM_INF), 0.0);
            continue;
        }
        const int bits = c.colour.bits;
        const double scale = double(1 << (bits - 8));
        const double top = double((1 << bits) - 1);
        const auto lumaLevel = [&](int code) {
            return c.colour.fullRange ? code * 255.0 / top : (code - 16 * scale) * 255.0 / (219 * scale);
        };
        const auto chromaLevel = [&](int code) {
            return 128 + (code - double(1 << (bits - 1))) * 255.0 / (c.colour.fullRange ? top : 224 * scale);
        };
        int wrong = 0;
        for (std::size_t i = 0; i < list.size(); ++i) {
            const Patch& p = list[i];
            const int left = int(i % kPatchesAcross) * kPatch;
            const int top = int(i / kPatchesAcross) * kPatch;
            const int luma = cv::saturate_cast<std::uint8_t>(lumaLevel(lumaCode(p.y, c.colour)));
            const int cb = cv::saturate_cast<std::uint8_t>(chromaLevel(chromaCode(p.cb, c.colour)));
            const int cr = cv::saturate_cast<std::uint8_t>(chromaLevel(chromaCode(p.cr, c.colour)));
            for (int y = top; y < top + kPatch; ++y) {
                for (int x = left; x < left + kPatch; ++x) {
                    wrong += planes.luma.at<std::uint8_t>(y, x) != luma;
                }
            }
            // The chroma patches' inside (lossless, so every sample).
            for (int y = top / 2 + 1; y < (top + kPatch) / 2 - 1; ++y) {
                for (int x = left / 2 + 1; x < (left + kPatch) / 2 - 1; ++x) {
                    wrong += planes.cb.at<std::uint8_t>(y, x) != cb;
                    wrong += planes.cr.at<std::uint8_t>(y, x) != cr;
                }
            }
        }
        EXPECT_EQ(wrong, 0);
    }
}

TEST_F(ColourTest, TargetsOfOtherTypesAreRefused)
{
    const ColourCase c{10, false, kBt709, "420"};
    const Bytes stream = encodePatches(c, patches(c));
    ASSERT_FALSE(stream.empty());
    for (const int type : {CV_8UC4, CV_32FC3, CV_16SC3, CV_8UC2}) {
        EXPECT_THROW(static_cast<void>(decodeStream(stream, PictureTarget([&](std::size_t, int width, int height) {
                                                        return cv::Mat(height, width, type);
                                                    }))),
                     std::logic_error)
            << type;
    }
}

}  // namespace
