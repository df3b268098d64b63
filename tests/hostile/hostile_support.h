// Helpers of the hostile-input tests: byte surgery on built files, and the
// two outcomes every hostile input must end in, whatever it is: the
// conversion's result text, or a correct (possibly partial) picture.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
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
