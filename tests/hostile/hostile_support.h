// Helpers of the hostile-input tests: byte surgery on built files, and the
// two outcomes every hostile input must end in, whatever it is: the
// conversion's result text, or a correct (possibly partial) picture.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include <unistd.h>
#include <opencv2/imgcodecs.hpp>

#include "heiclib/log.h"
#include "heiclib/reader/hevc_image_file_reader.h"
#include "pipeline/heif2jpg.h"
#include "tests/fixtures/heif_builder.h"
#include "tests/fixtures/heif_samples.h"
#include "tests/fixtures/hevc_encoder.h"

namespace hostile {

using fixture::Bytes;

// The first box of the type at or after `from`, found by its four-character
// code: the offset of its size field. Good enough for files the fixture
// writer built, whose payloads hold no such codes.
inline std::size_t boxAt(const Bytes& file, const std::string& type, std::size_t from = 0)
{
    for (std::size_t i = std::max<std::size_t>(from, 4); i + 4 <= file.size(); ++i) {
        if (std::equal(type.begin(), type.end(), file.begin() + long(i))) {
            return i - 4;
        }
    }
    ADD_FAILURE() << "no '" << type << "' box";
    return 0;
}

inline std::uint32_t get32(const Bytes& file, std::size_t at)
{
    return (std::uint32_t(file.at(at)) << 24) | (std::uint32_t(file.at(at + 1)) << 16) |
           (std::uint32_t(file.at(at + 2)) << 8) | file.at(at + 3);
}

inline void put32(Bytes& file, std::size_t at, std::uint32_t value)
{
    for (int i = 0; i < 4; ++i) {
        file.at(at + std::size_t(i)) = static_cast<std::uint8_t>(value >> (24 - 8 * i));
    }
}

inline void put16(Bytes& file, std::size_t at, std::uint16_t value)
{
    file.at(at) = static_cast<std::uint8_t>(value >> 8);
    file.at(at + 1) = static_cast<std::uint8_t>(value);
}

// An uncompressed primary of `width` x `height` red, green and blue 8-bit
// pixels laid out as `layout` says, holding `data` as it is, or as units
// compressed with `compression` and placed at `units` (their real places
// when empty).
inline Bytes unciFile(ambrel::heif::UncompressedLayout layout, std::uint32_t width, std::uint32_t height,
                      const Bytes& data, const std::string& compression = "",
                      std::vector<ambrel::heif::CompressedUnitsInfoBox::Unit> units = {})
{
    fixture::HeifBuilder builder;
    fixture::ItemDescription item;
    item.id = 1;
    item.type = "unci";
    item.data = compression.empty() ? data : fixture::compressed(data, compression);
    if (!compression.empty() && units.empty()) {
        units.push_back({0, item.data.size()});
    }
    builder.addItem(item).setPrimary(1).ispe(1, width, height);
    for (std::uint16_t i = 0; i < 3; ++i) {
        layout.components.push_back({i, 7, 0, 0});
    }
    builder.uncC({1}, layout);
    builder.cmpd({1}, {4, 5, 6});
    if (!compression.empty()) {
        builder.compression({1}, compression, 2, units);
    }
    return builder.build();
}

inline ambrel::heif::UncompressedLayout pixelLayout(std::uint32_t pixelSize = 0, std::uint32_t rowAlign = 0,
                                                    std::uint32_t tileAlign = 0, std::uint32_t tileColumnsMinusOne = 0)
{
    ambrel::heif::UncompressedLayout layout;
    layout.interleaveType = 1;
    layout.pixelSize = pixelSize;
    layout.rowAlignSize = rowAlign;
    layout.tileAlignSize = tileAlign;
    layout.numTileColsMinusOne = tileColumnsMinusOne;
    return layout;
}

// Where the frame header (baseline or progressive) of a JPEG stream starts.
inline std::size_t sofAt(const Bytes& jpeg)
{
    std::size_t at = 0;
    while (jpeg.at(at) != 0xFF || (jpeg.at(at + 1) != 0xC0 && jpeg.at(at + 1) != 0xC2)) {
        ++at;
    }
    return at;
}

// A JPEG-coded primary of 16 x 16 pixels whose stream is changed by `edit`.
inline Bytes jpegFile(const std::function<void(Bytes&)>& edit, bool progressive = false)
{
    Bytes jpeg;
    cv::imencode(".jpg", cv::Mat(16, 16, CV_8UC3, cv::Scalar(40, 90, 200)), jpeg,
                 {cv::IMWRITE_JPEG_PROGRESSIVE, progressive ? 1 : 0});
    edit(jpeg);
    fixture::HeifBuilder builder;
    fixture::ItemDescription item;
    item.id = 1;
    item.type = "jpeg";
    item.data = jpeg;
    builder.addItem(item).setPrimary(1).ispe(1, 16, 16);
    return builder.build();
}

// An AV1 primary of avifenc's 64 x 48 picture whose data is changed by
// `edit`; empty when avifenc is not installed.
inline Bytes av1File(const std::function<void(Bytes&)>& edit)
{
    Bytes avif;
    try {
        avif = fixture::makeAvif("--min 30 --max 40");
    } catch (const fixture::EncoderError&) {
        return {};
    }
    std::istringstream in(std::string(avif.begin(), avif.end()));
    ambrel::heif::HevcImageFileReader reader;
    reader.setImageCodings(ambrel::heif::HevcImageFileReader::ImageCodings::All);
    reader.initialize(in);
    const ambrel::heif::ContextId context = reader.getFileInformation().rootMetaBoxInformation.contextId;
    const ambrel::heif::ItemId primary = reader.getPrimaryItemId(context).value();
    const auto av1C = std::dynamic_pointer_cast<const ambrel::heif::Av1CodecConfigurationBox>(
        reader.getItemPropertyBox(context, primary, ambrel::heif::boxtype::kAv1C));
    Bytes data;
    reader.getItemData(context, primary, data);
    edit(data);
    fixture::HeifBuilder builder;
    fixture::ItemDescription item;
    item.id = 1;
    item.type = "av01";
    item.data = data;
    builder.addItem(item).setPrimary(1).ispe(1, 64, 48);
    builder.av1C({1}, av1C->getConfiguration());
    return builder.build();
}

// The result texts of the conversion entry.
inline bool isResultText(const std::string& text)
{
    for (std::string_view known : {ambrel::pipeline::kHeif2JpgReadHeif, ambrel::pipeline::kHeif2JpgWriteStream,
                                   ambrel::pipeline::kHeif2JpgDecode, ambrel::pipeline::kHeif2JpgUnknown,
                                   ambrel::pipeline::kHeif2JpgImencode, ambrel::pipeline::kHeif2JpgBufferTooSmall}) {
        if (text == known) {
            return true;
        }
    }
    return false;
}

// Opens the bytes with the reader: true when it opens, false when it refuses
// with its own exception; any other exception fails the test.
inline bool readerOpens(const Bytes& file)
{
    std::stringstream stream(std::string(file.begin(), file.end()));
    ambrel::heif::HevcImageFileReader reader;
    try {
        reader.initialize(stream);
        return true;
    } catch (const ambrel::heif::FileReaderException&) {
        return false;
    } catch (const std::exception& error) {
        ADD_FAILURE() << "the reader threw something other than FileReaderException: " << error.what();
        return false;
    }
}

// A fixture whose tests get a folder of their own, and
// whose conversions must end in a result text or a JPEG that decodes.
class HostileTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ambrel::log::setLevel(-1);
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        std::string name = std::string(info->test_suite_name()) + "-" + info->name();
        std::replace_if(
            name.begin(), name.end(), [](char c) { return !std::isalnum(static_cast<unsigned char>(c)); }, '_');
        folder = std::filesystem::temp_directory_path() / ("ambrel-hostile-" + std::to_string(::getpid()) + "-" + name);
        std::filesystem::create_directories(folder);
    }

    void TearDown() override
    {
        std::error_code ignored;
        std::filesystem::remove_all(folder, ignored);
        ambrel::log::setLevel(ambrel::log::Warning);
    }

    ambrel::pipeline::Heif2JpgResult convert(const Bytes& file, bool keepExif = true)
    {
        ::testing::internal::CaptureStdout();  // the extraction's diagnostic lines
        ambrel::pipeline::Heif2JpgResult result =
            ambrel::pipeline::convertHeifToJpeg(file.data(), file.size(), 90, 1.0f, keepExif);
        ::testing::internal::GetCapturedStdout();
        if (result.ok) {
            const cv::Mat image = cv::imdecode(result.jpeg, cv::IMREAD_COLOR);
            EXPECT_FALSE(image.empty()) << "the JPEG does not decode";
            picture = image;
        } else {
            EXPECT_TRUE(isResultText(result.message)) << "'" << result.message << "'";
            // Every refusal says why.
            EXPECT_FALSE(result.detail.empty()) << result.message;
            picture.release();
        }
        return result;
    }

    // The conversion's result text, or "ok".
    std::string outcome(const Bytes& file, bool keepExif = true)
    {
        const ambrel::pipeline::Heif2JpgResult result = convert(file, keepExif);
        return result.ok ? "ok" : result.message;
    }

    std::filesystem::path folder;
    cv::Mat picture;  // the last successful conversion, decoded
};

}  // namespace hostile
