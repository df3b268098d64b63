// Sample tables of image sequences that cannot end: 'stts' and 'stsc'
// entries whose counts run to billions, chunks that never advance. The
// reader stops at its limits; the pipeline, which converts still images,
// finds no image in such a file.
#include "hostile_support.h"

namespace {

using namespace hostile;

class TrackTableTest : public HostileTest
{
protected:
    static Bytes sequence()
    {
        fixture::SequenceOptions options;
        options.frames = 3;
        return fixture::makeImageSequence(options);
    }

    void expectBounded(const Bytes& file, const char* what)
    {
        std::stringstream stream(std::string(file.begin(), file.end()));
        HevcImageFileReader reader;
        try {
            reader.initialize(stream);
            for (const auto& [trackId, track] : reader.getFileInformation().trackInformation) {
                std::map<Timestamp, ItemId> stamps;
                reader.getItemTimestamps(trackId, stamps);
                EXPECT_LE(stamps.size(), std::size_t(1) << 20) << what;
            }
        } catch (const FileReaderException&) {
            // Refused: as good as bounded.
        } catch (const std::exception& error) {
            ADD_FAILURE() << what << ": " << error.what();
        }
        EXPECT_EQ(outcome(file), "HUD_ERR heif2jpg read_heif") << what;
    }
};

TEST_F(TrackTableTest, TimeToSampleCountsThatCannotEnd)
{
    const Bytes original = sequence();
    const std::size_t stts = boxAt(original, "stts");
    Bytes file = original;
    put32(file, stts + 16, 0xFFFFFFFFu);  // sample count of the first entry
    expectBounded(file, "stts count");
    file = original;
    put32(file, stts + 12, 0xFFFFFFFFu);  // entry count
    expectBounded(file, "stts entries");
    file = original;
    put32(file, stts + 20, 0);  // sample delta 0
    expectBounded(file, "stts delta 0");
}

TEST_F(TrackTableTest, SampleToChunkTablesThatCannotEnd)
{
    const Bytes original = sequence();
    const std::size_t stsc = boxAt(original, "stsc");
    Bytes file = original;
    put32(file, stsc + 20, 0xFFFFFFFFu);  // samples per chunk of the first entry
    expectBounded(file, "stsc samples per chunk");
    file = original;
    put32(file, stsc + 16, 0);  // first chunk 0
    expectBounded(file, "stsc first chunk 0");
    file = original;
    put32(file, stsc + 12, 0xFFFFFFFFu);  // entry count
    expectBounded(file, "stsc entries");
}

}  // namespace
