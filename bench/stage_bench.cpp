// The stages of one conversion of a 12 MP phone-like file, each timed on its
// own with Google Benchmark: opening the file with the reader, the
// extraction, assembling and writing the HEVC stream, decoding it (from the
// file into frames, from memory into frames, from memory into the mosaic),
// the mosaic with its crop from frames, the JPEG encoding (OpenCV's imencode
// and the pipeline's own encoder, which writes the same bytes), and the whole
// conversion in process (band-by-band encoding, and encoding after the
// mosaic as a scaled picture needs).
//
// The file is generated (bench_files.h) unless AMBREL_BENCH_FILE names one.
#include <benchmark/benchmark.h>

#include <unistd.h>
#include <cstdlib>
#include <filesystem>
#include <istream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include <opencv2/imgcodecs.hpp>

#include "bench/bench_files.h"
#include "heiclib/log.h"
#include "heiclib/reader/hevc_image_file_reader.h"
#include "pipeline/decode/extraction.h"
#include "pipeline/decode/hevc_stream.h"
#include "pipeline/decode/mosaic.h"
#include "pipeline/decode/picture_decoder.h"
#include "pipeline/encode/jpeg_encoder.h"
#include "pipeline/heif2jpg.h"
#include "tests/fixtures/hevc_encoder.h"

using namespace ambrel::heif;
using namespace ambrel::pipeline;

namespace {

using Bytes = std::vector<std::uint8_t>;

const Bytes& inputFile()
{
    static const Bytes bytes = [] {
        const char* path = std::getenv("AMBREL_BENCH_FILE");
        if (path != nullptr && path[0] != '\0') {
            return fixture::readFileBytes(path);
        }
        return ambrelbench::makePhoneHeic(ambrelbench::phoneFile("12mp"));
    }();
    return bytes;
}

std::string streamPath()
{
    static const std::string path =
        (std::filesystem::temp_directory_path() / ("ambrel-bench-" + std::to_string(::getpid()) + ".hevc")).string();
    return path;
}

const HeifImageData& extracted()
{
    static const HeifImageData data = ambrel::pipeline::extractHeifImage(inputFile().data(), inputFile().size(), true);
    return data;
}

cv::Mat decodeIntoCanvas(const HeifImageData& data);

const cv::Mat& picture()
{
    static const cv::Mat image = decodeIntoCanvas(extracted()).clone();
    return image;
}

void setCounters(benchmark::State& state)
{
    state.counters["MP"] = double(extracted().width) * extracted().height / 1e6;
}

void ReaderOpen(benchmark::State& state)
{
    const Bytes& bytes = inputFile();
    const std::string text(bytes.begin(), bytes.end());
    for (auto _ : state) {
        std::istringstream input(text);
        HevcImageFileReader reader;
        reader.initialize(input);
        benchmark::DoNotOptimize(reader.getFileInformation());
    }
}
BENCHMARK(ReaderOpen)->Unit(benchmark::kMicrosecond);

void Extraction(benchmark::State& state)
{
    for (auto _ : state) {
        HeifImageData data = ambrel::pipeline::extractHeifImage(inputFile().data(), inputFile().size(), true);
        benchmark::DoNotOptimize(data.tiles.data());
    }
    setCounters(state);
}
BENCHMARK(Extraction)->Unit(benchmark::kMillisecond);

void StreamWrite(benchmark::State& state)
{
    for (auto _ : state) {
        benchmark::DoNotOptimize(ambrel::pipeline::write_hevc_bitstream(streamPath(), extracted()));
    }
}
BENCHMARK(StreamWrite)->Unit(benchmark::kMillisecond);

void DecodeStreamFile(benchmark::State& state)
{
    if (!ambrel::pipeline::write_hevc_bitstream(streamPath(), extracted())) {
        state.SkipWithError("the stream file cannot be written");
        return;
    }
    for (auto _ : state) {
        std::vector<cv::Mat> frames = ambrel::pipeline::read_hevc_bitstream_to_mat_vector(streamPath());
        benchmark::DoNotOptimize(frames.data());
    }
    setCounters(state);
}
BENCHMARK(DecodeStreamFile)->Unit(benchmark::kMillisecond)->UseRealTime();

// The image decoded straight into a canvas, as the conversion decodes it.
cv::Mat decodeIntoCanvas(const HeifImageData& data)
{
    ambrel::pipeline::MosaicCanvas canvas(data.rows, data.columns, ambrel::pipeline::kMaxDecodedPixels);
    std::string why;
    const auto decoder = ambrel::pipeline::openPictureDecoder(
        ambrel::pipeline::codecSetupOf(data),
        [&](std::size_t index, int width, int height) {
            return canvas.regionCell(index, width, height, data.width, data.height);
        },
        {}, why);
    if (!decoder) {
        throw std::runtime_error(why);
    }
    for (const auto& tile : data.tiles) {
        if (!decoder->send(tile)) {
            break;
        }
    }
    decoder->finish();
    return canvas.output(data.width, data.height);
}

void DecodeIntoCanvas(benchmark::State& state)
{
    for (auto _ : state) {
        benchmark::DoNotOptimize(decodeIntoCanvas(extracted()).data);
    }
    setCounters(state);
}
BENCHMARK(DecodeIntoCanvas)->Unit(benchmark::kMillisecond)->UseRealTime();

void EncodeJpeg(benchmark::State& state)
{
    const int quality = static_cast<int>(state.range(0));
    std::size_t size = 0;
    for (auto _ : state) {
        std::vector<std::uint8_t> encoded;
        cv::imencode(".jpg", picture(), encoded, {cv::IMWRITE_JPEG_QUALITY, quality});
        size = encoded.size();
    }
    state.counters["bytes"] = double(size);
}
BENCHMARK(EncodeJpeg)->Arg(90)->Arg(100)->Unit(benchmark::kMillisecond)->UseRealTime();

void EncodeJpegLibjpeg(benchmark::State& state)
{
    const int quality = static_cast<int>(state.range(0));
    std::size_t size = 0;
    for (auto _ : state) {
        std::vector<std::uint8_t> encoded;
        ambrel::pipeline::encodeJpeg(picture(), quality, encoded);
        size = encoded.size();
    }
    state.counters["bytes"] = double(size);
}
BENCHMARK(EncodeJpegLibjpeg)->Arg(90)->Arg(100)->Unit(benchmark::kMillisecond)->UseRealTime();

void WholeConversion(benchmark::State& state)
{
    const int quality = static_cast<int>(state.range(0));
    for (auto _ : state) {
        Heif2JpgResult result = convertHeifToJpeg(inputFile().data(), inputFile().size(), quality, 1.0f, true);
        if (!result.ok) {
            state.SkipWithError(result.message.c_str());
            break;
        }
        benchmark::DoNotOptimize(result.jpeg.data());
    }
    setCounters(state);
}
BENCHMARK(WholeConversion)->Arg(90)->Arg(100)->Unit(benchmark::kMillisecond)->UseRealTime();

// With --no-exif's path for a picture that needs no turn but is scaled: the
// mosaic is encoded after decoding, not band by band.
void WholeConversionScaled(benchmark::State& state)
{
    for (auto _ : state) {
        Heif2JpgResult result = convertHeifToJpeg(inputFile().data(), inputFile().size(), 90, 0.999f, true);
        if (!result.ok) {
            state.SkipWithError(result.message.c_str());
            break;
        }
        benchmark::DoNotOptimize(result.jpeg.data());
    }
    setCounters(state);
}
BENCHMARK(WholeConversionScaled)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv)
{
    ambrel::log::setLevel(ambrel::log::Error);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::error_code ignored;
    std::filesystem::remove(streamPath(), ignored);
    return 0;
}
