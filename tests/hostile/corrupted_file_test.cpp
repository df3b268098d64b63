// Bit-flipped copies of real and generated files, and the inputs the
// extraction fuzzer found: each converts, or ends in a result text.
#include "tests/hostile/hostile_support.h"

#include <random>

using namespace ambrel::heif;
using namespace ambrel::pipeline;

namespace {

using namespace hostile;

class CorruptedFileTest : public HostileTest
{};

std::vector<Bytes> originals()
{
    std::vector<Bytes> files;
    for (const char* name : {"zPug_3.heic", "L_exif_xmp_iptc.heic", "RGB_10__29x100.heif", "RGB_8_chroma444.heif"}) {
        files.push_back(fixture::readFileBytes(std::string(AMBREL_CORPUS_DIR) + "/" + name));
    }
    fixture::GridOptions grid;
    grid.rows = 2;
    grid.columns = 3;
    grid.exifOrientation = 6;
    grid.rotation = 90;
    files.push_back(fixture::makeGridHeic(grid).bytes());
    // The other codings: uncompressed (plain and zlib-compressed), JPEG and AV1.
    Bytes samples(48);
    for (std::size_t i = 0; i < samples.size(); ++i) {
        samples[i] = static_cast<std::uint8_t>(i * 37);
    }
    files.push_back(unciFile(pixelLayout(), 4, 4, samples));
    files.push_back(unciFile(pixelLayout(), 4, 4, samples, "zlib"));
    files.push_back(jpegFile([](Bytes&) {}));
    if (Bytes avif = av1File([](Bytes&) {}); !avif.empty()) {
        files.push_back(std::move(avif));
    }
    return files;
}

TEST_F(CorruptedFileTest, BitFlippedCopies)
{
    std::mt19937 random(20240601);
    int converted = 0;
    int refused = 0;
    for (const Bytes& original : originals()) {
        ASSERT_FALSE(original.empty());
        for (int copy = 0; copy < 40; ++copy) {
            Bytes file = original;
            // A few flips anywhere, or many in the first kilobytes (the
            // boxes that describe the file).
            const bool header = copy % 2 == 0;
            const std::size_t range = header ? std::min<std::size_t>(file.size(), 2048) : file.size();
            const int flips = header ? 1 + copy % 5 : 1 + copy % 20;
            for (int i = 0; i < flips; ++i) {
                const std::size_t at = random() % range;
                file[at] = static_cast<std::uint8_t>(file[at] ^ (1u << (random() % 8)));
            }
            const std::string result = outcome(file);
            (result == "ok" ? converted : refused)++;
        }
    }
    // Both outcomes occur: the flips neither all miss nor all hit.
    EXPECT_GT(converted, 0);
    EXPECT_GT(refused, 0);
}

TEST_F(CorruptedFileTest, FuzzFindings)
{
    const std::filesystem::path folder = std::filesystem::path(AMBREL_TEST_DATA_DIR) / "fuzz-regressions";
    int files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        const std::string name = entry.path().filename().string();
        if (name.rfind("extraction-", 0) != 0 && name.rfind("reader-", 0) != 0) {
            continue;
        }
        ++files;
        const std::string result = outcome(fixture::readFileBytes(entry.path().string()));
        EXPECT_TRUE(result == "ok" || isResultText(result)) << name << ": " << result;
    }
    EXPECT_GT(files, 0);
}

}  // namespace
