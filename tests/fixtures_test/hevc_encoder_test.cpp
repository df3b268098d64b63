// The HEVC encoder of the fixtures: NAL unit handling on hand-made bytes, and
// real encodes through ffmpeg (skipped when ffmpeg is not installed).
#include <gtest/gtest.h>

#include <stdlib.h>

#include <filesystem>
#include <random>
#include <stdexcept>

#include "tests/fixtures/hevc_encoder.h"
#include "tests/fixtures_test/test_support.h"

using namespace ambrel::heif;

namespace fixture {
namespace {

// Walks 4-byte length-prefixed NAL units; fails the test on a bad length.
std::vector<Bytes> lengthPrefixedUnits(const Bytes& data)
{
    std::vector<Bytes> units;
    std::size_t at = 0;
    while (at < data.size()) {
        if (data.size() - at < 4) {
            ADD_FAILURE() << "a length field is cut short at " << at;
            break;
        }
        const std::size_t length = (std::size_t(data[at]) << 24) | (std::size_t(data[at + 1]) << 16) |
                                   (std::size_t(data[at + 2]) << 8) | data[at + 3];
        at += 4;
        if (length == 0 || length > data.size() - at) {
            ADD_FAILURE() << "bad NAL unit length " << length << " at " << at - 4;
            break;
        }
        units.emplace_back(data.begin() + static_cast<std::ptrdiff_t>(at),
                           data.begin() + static_cast<std::ptrdiff_t>(at + length));
        at += length;
    }
    return units;
}

std::size_t unitCount(const HevcDecoderConfigRecord& record, std::uint8_t type)
{
    std::size_t count = 0;
    for (const auto& array : record.getNalUnitArrays()) {
        if (array.nalUnitType == type) {
            count += array.nalUnits.size();
        }
    }
    return count;
}

// Sets AMBREL_FIXTURE_CACHE to a fresh directory for the scope.
class ScopedCache
{
public:
    ScopedCache()
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "ambrel-cache-test-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) {
            throw std::runtime_error("mkdtemp failed");
        }
        mDirectory = pattern;
        const char* old = std::getenv("AMBREL_FIXTURE_CACHE");
        if (old != nullptr) {
            mOld = old;
        }
        ::setenv("AMBREL_FIXTURE_CACHE", mDirectory.c_str(), 1);
    }
    ~ScopedCache()
    {
        if (mOld) {
            ::setenv("AMBREL_FIXTURE_CACHE", mOld->c_str(), 1);
        } else {
            ::unsetenv("AMBREL_FIXTURE_CACHE");
        }
        std::error_code ignored;
        std::filesystem::remove_all(mDirectory, ignored);
    }
    ScopedCache(const ScopedCache&) = delete;
    ScopedCache& operator=(const ScopedCache&) = delete;

    const std::string& directory() const { return mDirectory; }

private:
    std::string mDirectory;
    std::optional<std::string> mOld;
};

// A picture no other test encodes, so the cache cannot already hold it.
RgbImage uniquePicture(unsigned width, unsigned height)
{
    std::random_device seed;
    std::mt19937 random(seed());
    RgbImage image = solidImage(width, height, Rgb{});
    for (auto& byte : image.pixels) {
        byte = static_cast<std::uint8_t>(random());
    }
    return image;
}

TEST(AnnexB, SplitsOnThreeAndFourByteStartCodes)
{
    const Bytes stream{0,    0,    0, 1, 0x40, 0x01, 0xAA, 0,    0,    1,    0x42, 0x01,
                       0xBB, 0xCC, 0, 0, 0,    1,    0x26, 0x01, 0x00, 0x05, 0,    0};
    const auto units = splitAnnexB(stream);
    ASSERT_EQ(units.size(), 3u);
    EXPECT_EQ(units[0], (Bytes{0x40, 0x01, 0xAA}));
    EXPECT_EQ(units[1], (Bytes{0x42, 0x01, 0xBB, 0xCC}));
    // Trailing zero bytes belong to no unit; zeros inside a unit stay.
    EXPECT_EQ(units[2], (Bytes{0x26, 0x01, 0x00, 0x05}));
    EXPECT_EQ(nalUnitType(units[0]), 32);
    EXPECT_EQ(nalUnitType(units[1]), 33);
    EXPECT_EQ(nalUnitType(units[2]), 19);
}

TEST(AnnexB, RemovesEmulationPreventionBytes)
{
    EXPECT_EQ(unescapeRbsp(Bytes{0x42, 0, 0, 3, 1, 0, 0, 3, 0, 0, 3}), (Bytes{0x42, 0, 0, 1, 0, 0, 0, 0}));
    EXPECT_EQ(unescapeRbsp(Bytes{0, 3, 0, 0, 4}), (Bytes{0, 3, 0, 0, 4}));
}

TEST(Pictures, PaletteColoursAreDistinct)
{
    for (unsigned i = 0; i < 76; ++i) {
        for (unsigned j = i + 1; j < 76; ++j) {
            EXPECT_FALSE(testing::near(paletteColour(i), paletteColour(j), 20)) << i << " vs " << j;
        }
    }
}

TEST(Pictures, QuadrantImageHasItsCornersWhereSaid)
{
    const Rgb a{1, 2, 3}, b{4, 5, 6}, c{7, 8, 9}, d{10, 11, 12};
    const RgbImage image = quadrantImage(10, 8, a, b, c, d);
    EXPECT_EQ(image.at(0, 0), a);
    EXPECT_EQ(image.at(9, 0), b);
    EXPECT_EQ(image.at(0, 7), c);
    EXPECT_EQ(image.at(9, 7), d);
}

TEST(HevcEncoder, EightBitPictureHasMainProfileConfiguration)
{
    FIXTURE_REQUIRE_PROGRAM("ffmpeg");
    const EncodedImage image = encodeImage(solidImage(64, 48, paletteColour(0)));
    const HevcDecoderConfigRecord& config = image.config;
    EXPECT_EQ(image.width, 64u);
    EXPECT_EQ(image.height, 48u);
    EXPECT_EQ(config.getConfigurationVersion(), 1);
    EXPECT_EQ(config.getGeneralProfileIdc(), 1);
    EXPECT_NE(config.getGeneralProfileCompatibilityFlags() & (1u << 30), 0u);  // compatible with Main
    EXPECT_GT(config.getGeneralLevelIdc(), 0);
    EXPECT_EQ(config.getChromaFormatIdc(), 1);
    EXPECT_EQ(config.getBitDepthLumaMinus8(), 0);
    EXPECT_EQ(config.getBitDepthChromaMinus8(), 0);
    EXPECT_EQ(config.getLengthSizeMinusOne(), 3);
    EXPECT_EQ(config.getNumTemporalLayers(), 1);
    EXPECT_EQ(unitCount(config, 32), 1u);
    EXPECT_EQ(unitCount(config, 33), 1u);
    EXPECT_EQ(unitCount(config, 34), 1u);

    const auto units = lengthPrefixedUnits(image.data);
    ASSERT_FALSE(units.empty());
    for (const auto& unit : units) {
        EXPECT_LT(nalUnitType(unit), 32) << "only slices belong in the item data";
    }
    EXPECT_TRUE(nalUnitType(units.front()) >= 16 && nalUnitType(units.front()) <= 21) << "an intra picture";
}

TEST(HevcEncoder, TenBitAndFourFourFourPictures)
{
    FIXTURE_REQUIRE_PROGRAM("ffmpeg");
    EncodeOptions tenBit;
    tenBit.format = PixelFormat::Yuv420_10bit;
    const EncodedImage main10 = encodeImage(solidImage(64, 64, paletteColour(1)), tenBit);
    EXPECT_EQ(main10.config.getGeneralProfileIdc(), 2);
    EXPECT_EQ(main10.config.getChromaFormatIdc(), 1);
    EXPECT_EQ(main10.config.getBitDepthLumaMinus8(), 2);
    EXPECT_EQ(main10.config.getBitDepthChromaMinus8(), 2);

    EncodeOptions full;
    full.format = PixelFormat::Yuv444;
    const EncodedImage rext = encodeImage(solidImage(64, 64, paletteColour(1)), full);
    EXPECT_EQ(rext.config.getGeneralProfileIdc(), 4);
    EXPECT_EQ(rext.config.getChromaFormatIdc(), 3);
    EXPECT_EQ(rext.config.getBitDepthLumaMinus8(), 0);
}

TEST(HevcEncoder, FourTwoTwoTwelveBitAndMonochromePictures)
{
    FIXTURE_REQUIRE_PROGRAM("ffmpeg");
    struct Expected
    {
        PixelFormat format;
        unsigned width;  // odd where the format allows it
        int chromaFormat;
        int bitDepthMinus8;
    };
    for (const Expected& e :
         {Expected{PixelFormat::Yuv422, 34, 2, 0}, Expected{PixelFormat::Yuv422_12bit, 34, 2, 4},
          Expected{PixelFormat::Yuv420_12bit, 34, 1, 4}, Expected{PixelFormat::Yuv444_10bit, 33, 3, 2},
          Expected{PixelFormat::Gray, 33, 0, 0}, Expected{PixelFormat::Gray_12bit, 33, 0, 4}}) {
        EncodeOptions options;
        options.format = e.format;
        const EncodedImage image = encodeImage(gradientImage(e.width, 33 - (e.chromaFormat == 1 ? 1 : 0)), options);
        EXPECT_EQ(image.width, e.width);
        EXPECT_EQ(image.config.getChromaFormatIdc(), e.chromaFormat);
        EXPECT_EQ(image.config.getBitDepthLumaMinus8(), e.bitDepthMinus8);
    }
    EncodeOptions options;
    options.format = PixelFormat::Yuv422;
    EXPECT_THROW(encodeImage(gradientImage(33, 32), options), EncoderError) << "4:2:2 needs an even width";
    EXPECT_NO_THROW(encodeImage(gradientImage(32, 33), options)) << "but any height";
}

TEST(HevcEncoder, SizeNotAMultipleOfTheCodingBlockIsCroppedBack)
{
    FIXTURE_REQUIRE_PROGRAM("ffmpeg");
    const EncodedImage image = encodeImage(gradientImage(70, 34));
    EXPECT_EQ(image.width, 70u);
    EXPECT_EQ(image.height, 34u);
}

TEST(HevcEncoder, CachesStreamsAndStaysQuiet)
{
    FIXTURE_REQUIRE_PROGRAM("ffmpeg");
    ScopedCache cache;
    const RgbImage picture = uniquePicture(32, 32);

    const EncoderStats before = encoderStats();
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    const EncodedImage first = encodeImage(picture);
    const std::string out = ::testing::internal::GetCapturedStdout();
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(out, "");
    EXPECT_EQ(err, "");
    const EncoderStats middle = encoderStats();
    EXPECT_EQ(middle.ffmpegRuns, before.ffmpegRuns + 1);

    const EncodedImage second = encodeImage(picture);
    const EncoderStats after = encoderStats();
    EXPECT_EQ(after.ffmpegRuns, middle.ffmpegRuns);
    EXPECT_EQ(after.cacheHits, middle.cacheHits + 1);
    EXPECT_EQ(first.data, second.data);

    // One finished entry, no leftovers of the temporary name.
    std::size_t entries = 0;
    for (const auto& entry : std::filesystem::directory_iterator(cache.directory())) {
        EXPECT_EQ(entry.path().extension(), ".hevc");
        EXPECT_NE(entry.path().filename().string().front(), '.') << entry.path();
        ++entries;
    }
    EXPECT_EQ(entries, 1u);

    // Different options are a different entry.
    EncodeOptions lossless;
    lossless.lossless = true;
    encodeImage(picture, lossless);
    EXPECT_EQ(encoderStats().ffmpegRuns, after.ffmpegRuns + 1);
}

TEST(HevcEncoder, FailureIsAnExceptionWithFfmpegsMessage)
{
    FIXTURE_REQUIRE_PROGRAM("ffmpeg");
    ScopedCache cache;
    EncodeOptions broken;
    broken.preset = "no-such-preset";
    ::testing::internal::CaptureStderr();
    try {
        encodeImage(uniquePicture(16, 16), broken);
        ADD_FAILURE() << "no exception";
    } catch (const EncoderError& error) {
        const std::string message = error.what();
        EXPECT_NE(message.find("ffmpeg failed"), std::string::npos) << message;
        EXPECT_NE(message.find("no-such-preset"), std::string::npos) << message;
    }
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
    EXPECT_TRUE(std::filesystem::is_empty(cache.directory())) << "a failed encode leaves nothing in the cache";
}

TEST(HevcEncoder, RefusesBadPictures)
{
    EXPECT_THROW(encodeImage(RgbImage{4, 4, Bytes(5)}), EncoderError);
    EXPECT_THROW(encodeImage(solidImage(15, 16, Rgb{})), EncoderError);  // odd width in 4:2:0
}

TEST(HevcEncoder, SequenceWithPredictedPictures)
{
    FIXTURE_REQUIRE_PROGRAM("ffmpeg");
    std::vector<RgbImage> frames;
    for (unsigned i = 0; i < 4; ++i) {
        frames.push_back(solidImage(32, 32, paletteColour(i)));
    }
    const EncodedSequence sequence = encodeSequence(frames, EncodeOptions{}, false);
    ASSERT_EQ(sequence.samples.size(), 4u);
    EXPECT_TRUE(sequence.samples[0].sync);
    for (std::size_t i = 1; i < sequence.samples.size(); ++i) {
        EXPECT_FALSE(sequence.samples[i].sync) << i;
    }
    EXPECT_EQ(sequence.config.getGeneralProfileIdc(), 1);

    const EncodedSequence intra = encodeSequence(frames, EncodeOptions{}, true);
    ASSERT_EQ(intra.samples.size(), 4u);
    for (const auto& sample : intra.samples) {
        EXPECT_TRUE(sample.sync);
    }
    EXPECT_EQ(intra.config.getGeneralProfileIdc(), 1);
}

}  // namespace
}  // namespace fixture
