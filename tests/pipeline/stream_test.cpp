// The temporary HEVC elementary stream: its bytes, and decoding it back.
#include <gtest/gtest.h>

#include <algorithm>
#include <tuple>

#include "pipeline/decode/extraction.h"
#include "pipeline/decode/hevc_sps.h"
#include "pipeline/decode/hevc_stream.h"
#include "tests/pipeline/pipeline_support.h"

using namespace ambrel::heif;
using namespace ambrel::pipeline;

namespace {

using namespace pipetest;

class StreamTest : public PipelineTest
{};

TEST_F(StreamTest, GroupsAreParameterSetsThenTileBytes)
{
    HeifImageData data;
    data.paramSets = {0, 0, 0, 1, 0x40};
    data.tiles = {{0, 0, 0, 2, 0xA1, 0xA2, 0, 0, 0, 1, 0xA3}, {}, {0, 0, 0, 1, 0xB1}};
    ASSERT_TRUE(ambrel::pipeline::write_hevc_bitstream(streamPath, data));
    EXPECT_EQ(fixture::readFileBytes(streamPath), (Bytes{0, 0, 0, 1, 0x40, 0, 0, 0, 1, 0xA1, 0xA2, 0, 0, 0, 1,   0xA3,
                                                         0, 0, 0, 1, 0x40, 0, 0, 0, 1, 0x40, 0,    0, 0, 1, 0xB1}));
    // A length that runs past its tile.
    data.tiles = {{0, 0, 0, 3, 0xA1}};
    EXPECT_FALSE(ambrel::pipeline::write_hevc_bitstream(streamPath, data));

    // No tiles: an empty file, which decodes to nothing.
    data.tiles.clear();
    ASSERT_TRUE(ambrel::pipeline::write_hevc_bitstream(streamPath, data));
    EXPECT_EQ(std::filesystem::file_size(streamPath), 0u);
    EXPECT_TRUE(ambrel::pipeline::read_hevc_bitstream_to_mat_vector(streamPath).empty());
    ::testing::internal::CaptureStdout();
    EXPECT_TRUE(ambrel::pipeline::read_hevc_bitstream_to_mat_vector((folder / "absent.hevc").string()).empty());
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "cv::VideoCapture::isOpened returned false \n");

    EXPECT_FALSE(ambrel::pipeline::write_hevc_bitstream((folder / "missing" / "stream.hevc").string(), data));
}

TEST_F(StreamTest, SpsFactsAreThoseTheDecoderGives)
{
    // What the converter plans with before decoding: chroma format, depth,
    // the size after the conformance window and the matrix, as x265 wrote
    // them; a cut SPS gives none.
    struct Case
    {
        fixture::PixelFormat format;
        unsigned width, height;
        const char* matrix;
        SpsFacts expected;
    };
    for (const Case& c : {Case{fixture::PixelFormat::Yuv420, 64, 48, "bt709", {1, 8, 64, 48, 1, true}},
                          Case{fixture::PixelFormat::Yuv420_10bit, 60, 44, "smpte170m", {1, 10, 60, 44, 6, true}},
                          Case{fixture::PixelFormat::Yuv444, 30, 20, "bt2020nc", {3, 8, 30, 20, 9, true}},
                          Case{fixture::PixelFormat::Gray, 33, 17, "smpte170m", {0, 8, 33, 17, 6, true}}}) {
        fixture::SingleImageOptions options;
        options.width = c.width;
        options.height = c.height;
        options.encode.format = c.format;
        options.encode.matrix = c.matrix;
        const Bytes file = fixture::makeSingleImageHeic(options).bytes();
        const Bytes sets = extractHeifImage(file.data(), file.size(), false).paramSets;
        const std::optional<SpsFacts> facts = readSpsFacts(sets);
        ASSERT_TRUE(facts.has_value()) << c.matrix;
        const SpsFacts& e = c.expected;
        EXPECT_EQ(std::tie(facts->chromaFormat, facts->bitDepth, facts->width, facts->height, facts->matrix),
                  std::tie(e.chromaFormat, e.bitDepth, e.width, e.height, e.matrix));
        const Bytes spsStart = {0, 0, 1, 0x42, 0x01};
        const auto sps = std::search(sets.begin(), sets.end(), spsStart.begin(), spsStart.end());
        ASSERT_NE(sps, sets.end());
        EXPECT_FALSE(readSpsFacts(Bytes(sets.begin(), sps + 20)).has_value());
    }
}

TEST_F(StreamTest, ParameterSetsRepeatedBeyondReasonAreRefused)
{
    HeifImageData data;
    data.paramSets.assign(1 << 20, 0x42);
    data.tiles.assign(65, {});
    EXPECT_FALSE(ambrel::pipeline::write_hevc_bitstream(streamPath, data));
    data.tiles.resize(64);
    EXPECT_TRUE(ambrel::pipeline::write_hevc_bitstream(streamPath, data));
}

TEST_F(StreamTest, EveryTileDecodesToAFrame)
{
    fixture::GridOptions options;
    options.rows = 2;
    options.columns = 3;
    options.tileWidth = 64;
    options.tileHeight = 32;
    const fixture::SampleFile file = fixture::makeGridHeic(options);
    const Bytes bytes = file.bytes();
    HeifImageData data = ambrel::pipeline::extractHeifImage(bytes.data(), bytes.size(), false);

    ASSERT_TRUE(ambrel::pipeline::write_hevc_bitstream(streamPath, data));
    const std::vector<cv::Mat> frames = ambrel::pipeline::read_hevc_bitstream_to_mat_vector(streamPath);
    ASSERT_EQ(frames.size(), 6u);
    for (std::size_t i = 0; i < frames.size(); ++i) {
        ASSERT_EQ(frames[i].size(), cv::Size(64, 32));
        EXPECT_TRUE(colourNear(frames[i], 32, 16, file.tileColours[i])) << "frame " << i;
    }
    // Frames own their pixels.
    EXPECT_NE(frames[0].data, frames[1].data);
    EXPECT_EQ(ambrel::pipeline::read_hevc_bitstream_to_mat_vector(streamPath, 2).size(), 2u);
}

}  // namespace
