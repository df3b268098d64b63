// Helpers shared by the pipeline tests: a temporary folder per test (for
// stream files the tests write themselves), conversion shortcuts, reading the resulting JPEG back, and
// building test files the ready-made samples do not cover.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include <unistd.h>
#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>

#include "pipeline/decode/picture_decoder.h"
#include "pipeline/heif2jpg.h"
#include "tests/fixtures/heif_builder.h"
#include "tests/fixtures/heif_samples.h"
#include "tests/fixtures/hevc_encoder.h"

namespace pipetest {

using fixture::Bytes;
using fixture::Rgb;

inline std::string corpusPath(const std::string& name)
{
    return std::string(AMBREL_CORPUS_DIR) + "/" + name;
}

inline Bytes corpusBytes(const std::string& name)
{
    return fixture::readFileBytes(corpusPath(name));
}

// The JPEG's pixels as stored, and as a viewer displays them (turned by the
// EXIF Orientation tag).
inline cv::Mat decodeStored(const Bytes& jpeg)
{
    cv::Mat image = cv::imdecode(jpeg, cv::IMREAD_COLOR | cv::IMREAD_IGNORE_ORIENTATION);
    EXPECT_FALSE(image.empty()) << "the JPEG does not decode";
    return image;
}

inline cv::Mat decodeDisplayed(const Bytes& jpeg)
{
    cv::Mat image = cv::imdecode(jpeg, cv::IMREAD_COLOR);
    EXPECT_FALSE(image.empty()) << "the JPEG does not decode";
    return image;
}

// A fixture whose tests get a fresh folder of their own.
class PipelineTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        std::string name = std::string(info->test_suite_name()) + "-" + info->name();
        for (char& c : name) {
            if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-') {
                c = '_';
            }
        }
        folder =
            std::filesystem::temp_directory_path() / ("ambrel-pipeline-" + std::to_string(::getpid()) + "-" + name);
        std::filesystem::remove_all(folder);
        std::filesystem::create_directories(folder);
        streamPath = (folder / "temp_bitstream.hevc").string();
    }

    void TearDown() override
    {
        std::error_code ignored;
        std::filesystem::remove_all(folder, ignored);
    }

    ambrel::pipeline::Heif2JpgResult convert(const Bytes& file, bool keepExif = false, float scale = 1.0f,
                                             int quality = 90)
    {
        return ambrel::pipeline::convertHeifToJpeg(file.data(), file.size(), quality, scale, keepExif);
    }

    // Converts and decodes the pixels as stored (an EXIF Orientation tag is
    // not applied); fails the test when either step fails.
    cv::Mat convertToImage(const Bytes& file, bool keepExif = false, float scale = 1.0f)
    {
        const ambrel::pipeline::Heif2JpgResult result = convert(file, keepExif, scale);
        EXPECT_TRUE(result.ok) << result.message;
        if (!result.ok) {
            return {};
        }
        return decodeStored(result.jpeg);
    }

    std::filesystem::path folder;
    std::string streamPath;
};

inline Rgb pixel(const cv::Mat& bgr, int x, int y)
{
    const cv::Vec3b p = bgr.at<cv::Vec3b>(y, x);
    return Rgb{p[2], p[1], p[0]};
}

inline std::string describe(Rgb c)
{
    return "(" + std::to_string(c.r) + "," + std::to_string(c.g) + "," + std::to_string(c.b) + ")";
}

// Lossy coding moves colours a little; palette colours are far apart.
inline ::testing::AssertionResult colourNear(const cv::Mat& image, int x, int y, Rgb expected, int tolerance = 20)
{
    if (x < 0 || y < 0 || x >= image.cols || y >= image.rows) {
        return ::testing::AssertionFailure()
               << "(" << x << "," << y << ") lies outside the " << image.cols << "x" << image.rows << " image";
    }
    const Rgb actual = pixel(image, x, y);
    auto close = [&](int a, int b) { return std::abs(a - b) <= tolerance; };
    if (close(actual.r, expected.r) && close(actual.g, expected.g) && close(actual.b, expected.b)) {
        return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure() << "pixel (" << x << "," << y << ") is " << describe(actual) << ", expected "
                                         << describe(expected);
}

// Peak signal-to-noise ratio of a decoded BGR image against the RGB picture it came from.
inline double psnr(const fixture::RgbImage& expected, const cv::Mat& bgr)
{
    if (bgr.cols != int(expected.width) || bgr.rows != int(expected.height)) {
        return 0.0;
    }
    double squares = 0;
    for (unsigned y = 0; y < expected.height; ++y) {
        for (unsigned x = 0; x < expected.width; ++x) {
            const Rgb e = expected.at(x, y);
            const Rgb a = pixel(bgr, int(x), int(y));
            squares +=
                double(e.r - a.r) * (e.r - a.r) + double(e.g - a.g) * (e.g - a.g) + double(e.b - a.b) * (e.b - a.b);
        }
    }
    const double mse = squares / (3.0 * expected.width * expected.height);
    return mse == 0 ? 99.0 : 10.0 * std::log10(255.0 * 255.0 / mse);
}

// The marker segments of a JPEG before its first scan: marker and payload
// (without the length field).
struct Segment
{
    std::uint8_t marker = 0;
    Bytes payload;
};

inline std::vector<Segment> headerSegments(const Bytes& jpeg)
{
    std::vector<Segment> segments;
    std::size_t at = 2;  // after SOI
    while (at + 4 <= jpeg.size() && jpeg[at] == 0xFF) {
        const std::uint8_t marker = jpeg[at + 1];
        const std::size_t length = (std::size_t(jpeg[at + 2]) << 8) | jpeg[at + 3];
        if (length < 2 || at + 2 + length > jpeg.size()) {
            break;
        }
        segments.push_back({marker, Bytes(jpeg.begin() + long(at + 4), jpeg.begin() + long(at + 2 + length))});
        if (marker == 0xDA) {
            break;
        }
        at += 2 + length;
    }
    return segments;
}

// The payload of the first APP1 segment, if any.
inline std::optional<Bytes> app1Payload(const Bytes& jpeg)
{
    for (const Segment& segment : headerSegments(jpeg)) {
        if (segment.marker == 0xE1) {
            return segment.payload;
        }
    }
    return std::nullopt;
}

// The ICC profile reassembled from the APP2 "ICC_PROFILE" segments, in order.
inline Bytes iccFromJpeg(const Bytes& jpeg)
{
    static const std::string id("ICC_PROFILE");
    Bytes profile;
    for (const Segment& segment : headerSegments(jpeg)) {
        if (segment.marker == 0xE2 && segment.payload.size() >= 14 &&
            std::equal(id.begin(), id.end(), segment.payload.begin()) && segment.payload[11] == 0) {
            profile.insert(profile.end(), segment.payload.begin() + 14, segment.payload.end());
        }
    }
    return profile;
}

// Decodes tiles (the image's, or one stream in start-code form) with one
// decoder into the target, as the conversion does.
template <typename Target>
ambrel::pipeline::DecodeResult decodeWith(const ambrel::pipeline::CodecSetup& setup,
                                          const std::vector<std::vector<std::uint8_t>>& tiles, Target target)
{
    std::string why;
    std::unique_ptr<ambrel::pipeline::PictureDecoder> decoder;
    if constexpr (std::is_same_v<Target, ambrel::pipeline::PlanesTarget>) {
        decoder = ambrel::pipeline::openPlanesDecoder(setup, target, {}, why);
    } else {
        decoder = ambrel::pipeline::openPictureDecoder(setup, target, {}, why);
    }
    EXPECT_NE(decoder, nullptr) << why;
    bool more = decoder != nullptr;
    for (std::size_t i = 0; i < tiles.size() && more; ++i) {
        more = decoder->send(tiles[i]);
    }
    if (more) {
        decoder->finish();
    }
    return decoder ? decoder->result() : ambrel::pipeline::DecodeResult{};
}

inline ambrel::pipeline::DecodeResult decodeTiles(const ambrel::pipeline::HeifImageData& data,
                                                  const ambrel::pipeline::PictureTarget& target)
{
    return decodeWith(ambrel::pipeline::codecSetupOf(data), data.tiles, target);
}

template <typename Target>
ambrel::pipeline::DecodeResult decodeStream(const std::vector<std::uint8_t>& stream, Target target)
{
    return decodeWith(ambrel::pipeline::CodecSetup{ambrel::pipeline::Codec::Hevc, {}, 0, {}, {}, {}}, {stream}, target);
}

// Adds an 'hvc1' item holding a picture, with its own 'hvcC' and 'ispe'.
inline void addCodedImage(fixture::HeifBuilder& builder, std::uint32_t id, const fixture::RgbImage& picture,
                          bool hidden = true)
{
    fixture::addCodedItem(builder, id, fixture::encodeImage(picture), hidden);
}

// Adds a grid item over tiles already in the builder, referenced in the order given.
inline void addGrid(fixture::HeifBuilder& builder, std::uint32_t id, unsigned rows, unsigned columns,
                    std::uint32_t width, std::uint32_t height, const std::vector<std::uint32_t>& tiles)
{
    fixture::ItemDescription grid;
    grid.id = id;
    grid.type = "grid";
    grid.data = fixture::gridPayload(std::uint8_t(rows - 1), std::uint8_t(columns - 1), width, height);
    builder.addItem(std::move(grid));
    builder.addReference("dimg", id, tiles);
    builder.ispe(id, width, height);
}

// Adds an Exif item with the block given (as an Exif item stores it).
inline void addExifItem(fixture::HeifBuilder& builder, std::uint32_t id, const Bytes& tiff,
                        const std::string& type = "Exif")
{
    fixture::ItemDescription exif;
    exif.id = id;
    exif.type = type;
    exif.data = fixture::exifPayload(tiff);
    builder.addItem(std::move(exif));
}

}  // namespace pipetest
