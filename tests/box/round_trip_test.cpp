// Parsing any box and writing it back gives the bytes it was parsed from:
// every box of every corpus file and of the files the fixture writer makes,
// on its own and again for each box inside the containers.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "heiclib/bitstream.h"
#include "heiclib/box_factory.h"
#include "heiclib/box_types.h"
#include "heiclib/log.h"
#include "tests/fixtures/heif_samples.h"

using namespace ambrel::heif;

namespace {

using ByteVector = std::vector<std::uint8_t>;

std::uint32_t readU32(const ByteVector& bytes, std::size_t at)
{
    return (std::uint32_t(bytes[at]) << 24) | (std::uint32_t(bytes[at + 1]) << 16) |
           (std::uint32_t(bytes[at + 2]) << 8) | std::uint32_t(bytes[at + 3]);
}

// Where the first child of a container starts, counted from the box start;
// 0 for a box whose children (if any) are not made by the factory.
std::size_t firstChildOffset(FourCCInt type, const ByteVector& box)
{
    using namespace boxtype;
    if (type == kMoov || type == kTrak || type == kMdia || type == kMinf || type == kStbl || type == kEdts ||
        type == kDinf || type == kIprp || type == kIpco) {
        return 8;
    }
    if (type == kMeta) {
        return 12;
    }
    if (type == kDref || type == kStsd) {
        return 16;  // full header, entry count
    }
    if (type == kIinf) {
        return box.size() > 8 && box[8] == 0 ? 14 : 16;  // full header, 16- or 32-bit count
    }
    if (type == kHvc1 || type == kHev1 || type == kAvc1) {
        return 8 + 78;  // header, the visual sample entry's fixed fields
    }
    return 0;
}

// Splits the bytes from `offset` on into whole boxes; stops at the first
// header that does not fit.
std::vector<ByteVector> splitBoxes(const ByteVector& bytes, std::size_t offset)
{
    std::vector<ByteVector> boxes;
    while (offset + 8 <= bytes.size()) {
        std::uint64_t size = readU32(bytes, offset);
        if (size == 0) {
            size = bytes.size() - offset;  // a root box running to the end of the file
        } else if (size == 1) {
            if (offset + 16 > bytes.size()) {
                break;
            }
            size = (std::uint64_t(readU32(bytes, offset + 8)) << 32) | readU32(bytes, offset + 12);
        }
        if (size < 8 || size > bytes.size() - offset) {
            break;
        }
        boxes.emplace_back(bytes.begin() + static_cast<std::ptrdiff_t>(offset),
                           bytes.begin() + static_cast<std::ptrdiff_t>(offset + size));
        offset += size;
    }
    return boxes;
}

struct Coverage
{
    struct Count
    {
        unsigned exact = 0;
        unsigned total = 0;
    };
    std::map<std::string, Count> byType;
    unsigned unreadable = 0;  // boxes of broken files that do not parse at all
    std::vector<std::string> mismatches;
};

void roundTrip(const ByteVector& bytes, const std::string& where, Coverage& coverage)
{
    const FourCCInt type(readU32(bytes, 4));
    const bool modelled = makeBox(type) != nullptr;
    const std::string name = type.getString() + (modelled ? "" : " (raw)");
    ByteVector written;
    try {
        BitStream input(bytes);
        const auto box = parseBoxOfType(type, input);
        BitStream output;
        box->writeBox(output);
        written = output.getStorage();
    } catch (const std::exception&) {
        ++coverage.unreadable;
        return;
    }
    auto& count = coverage.byType[name];
    ++count.total;
    if (written == bytes) {
        ++count.exact;
    } else {
        coverage.mismatches.push_back(where + "/" + type.getString() + " (" + std::to_string(bytes.size()) +
                                      " bytes read, " + std::to_string(written.size()) + " written)");
    }
    if (const std::size_t offset = firstChildOffset(type, bytes); offset != 0 && offset <= bytes.size()) {
        for (const auto& child : splitBoxes(bytes, offset)) {
            roundTrip(child, where + "/" + type.getString(), coverage);
        }
    }
}

void roundTripFile(const ByteVector& file, const std::string& name, Coverage& coverage)
{
    for (const auto& box : splitBoxes(file, 0)) {
        roundTrip(box, name, coverage);
    }
}

ByteVector readFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return ByteVector(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void report(const Coverage& coverage)
{
    unsigned total = 0;
    for (const auto& [type, count] : coverage.byType) {
        std::cout << "  '" << type << "': " << count.exact << " of " << count.total << " byte-exact\n";
        total += count.total;
    }
    std::cout << "  " << total << " boxes, " << coverage.unreadable << " unreadable\n";
    for (const auto& mismatch : coverage.mismatches) {
        ADD_FAILURE() << "written back differently: " << mismatch;
    }
}

class BoxRoundTrip : public ::testing::Test
{
protected:
    // Broken corpus files log errors; the test only looks at bytes.
    void SetUp() override
    {
        mOldLevel = ambrel::log::level();
        ambrel::log::setLevel(-1);
    }
    void TearDown() override { ambrel::log::setLevel(mOldLevel); }

private:
    int mOldLevel = 0;
};

TEST_F(BoxRoundTrip, EveryBoxOfTheCorpusWritesBackItsOwnBytes)
{
    // Every file of the corpus folder, whatever is added to it.
    Coverage coverage;
    for (const auto& entry : std::filesystem::directory_iterator(AMBREL_CORPUS_DIR)) {
        const std::string file = entry.path().filename().string();
        if (entry.is_regular_file() && file != "README.md") {
            roundTripFile(readFile(entry.path().string()), file, coverage);
        }
    }
    report(coverage);
    // The corpus holds meta trees with every common item property.
    for (const char* type : {"ftyp", "meta", "hdlr", "pitm", "iloc", "iinf", "infe", "iprp", "ipco", "ipma", "hvcC",
                             "ispe", "colr", "mdat"}) {
        EXPECT_GT(coverage.byType[type].total, 0u) << type;
    }
}

TEST_F(BoxRoundTrip, EveryBoxOfTheFixtureFilesWritesBackItsOwnBytes)
{
    fixture::GridOptions grid;
    grid.exifOrientation = 6;
    grid.rotation = 90;
    grid.mirrorAxis = 1;
    grid.thumbnail = fixture::ThumbnailOptions{};
    grid.colr = true;
    fixture::SingleImageOptions single;
    single.colr = true;
    Coverage coverage;
    roundTripFile(fixture::makeGridHeic(grid).bytes(), "grid", coverage);
    roundTripFile(fixture::makeSingleImageHeic(single).bytes(), "single", coverage);
    fixture::SequenceOptions sequence;
    sequence.intraOnly = false;
    sequence.editList = true;
    roundTripFile(fixture::makeImageSequence(sequence), "sequence", coverage);
    report(coverage);
    for (const char* type : {"moov", "trak", "mdia", "minf", "stbl", "stsd", "hvc1", "stts", "stsc", "stsz", "stco",
                             "irot", "imir", "iref", "idat"}) {
        EXPECT_GT(coverage.byType[type].total, 0u) << type;
    }
}

// AVIF stills and sequences that avifenc writes, with the boxes of AV1.
TEST_F(BoxRoundTrip, EveryBoxOfAvifencFilesWritesBackItsOwnBytes)
{
    Coverage coverage;
    try {
        roundTripFile(fixture::makeAvif("-y 420"), "avif still", coverage);
        roundTripFile(fixture::makeAvif("", 3), "avif sequence", coverage);
    } catch (const fixture::EncoderError& e) {
        GTEST_SKIP() << e.what();
    }
    report(coverage);
    for (const char* type : {"av1C", "av01", "stsd"}) {
        EXPECT_GT(coverage.byType[type].total, 0u) << type;
    }
}

}  // namespace
