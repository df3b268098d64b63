// Sample tables of image sequences that cannot end: 'stts' and 'stsc'
// entries whose counts run to billions, chunks that never advance. The
// reader stops at its limits, and the pipeline, which converts a sequence's
// first frame, refuses such a file; a table that is odd but ends (every
// sample at time 0) still gives its first frame.
#include "tests/box/test_bytes.h"
#include "tests/hostile/hostile_support.h"

#include "heiclib/heif_limits.h"

using namespace ambrel::heif;
using namespace ambrel::pipeline;

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

    void expectBounded(const Bytes& file, const char* what, const char* expected = "HUD_ERR heif2jpg read_heif")
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
        EXPECT_EQ(outcome(file), expected) << what;
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
    expectBounded(file, "stts delta 0", "ok");
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

// A still image file that also carries a movie box the reader cannot use:
// the images convert all the same, and the track is dropped.
TEST_F(TrackTableTest, TracksPastTheMemoryBudgetAreDropped)
{
    // Four copies of one 8-sample track (ids 1 to 4) in one movie box. Each
    // track costs its box copies and about a kilobyte a sample; a file may
    // hold any number of them, each naming up to the sample limit.
    fixture::SequenceOptions options;
    options.frames = 8;
    options.width = 16;
    options.height = 16;
    Bytes file = fixture::makeImageSequence(options);
    const std::size_t moov = boxAt(file, "moov");
    const std::size_t trak = boxAt(file, "trak", moov);
    const Bytes track(file.begin() + long(trak), file.begin() + long(trak + get32(file, trak)));
    const std::size_t tkhd = boxAt(track, "tkhd");
    ASSERT_EQ(track.at(tkhd + 8), 0);  // version 0: the track id follows two 4-byte times
    for (std::uint32_t id = 2; id <= 4; ++id) {
        Bytes copy = track;
        put32(copy, tkhd + 20, id);
        file.insert(file.begin() + long(moov + get32(file, moov)), copy.begin(), copy.end());
        put32(file, moov, get32(file, moov) + std::uint32_t(copy.size()));
    }
    auto open = [&file](std::uint64_t limit, HevcImageFileReader& reader) {
        std::stringstream stream(std::string(file.begin(), file.end()));
        reader.setMemoryBudget(limit);
        reader.initialize(stream);
        return reader.getFileInformation().trackInformation.size();
    };
    HevcImageFileReader all;
    ASSERT_EQ(open(ambrel::heif::limits::kMaxFileMemoryBytes, all), 4u);
    const std::uint64_t charged = all.memoryBudget().charged();
    ASSERT_GT(charged, 4u * 8 * 1024);
    ASSERT_LT(charged / 8, 8u * 1024);
    // Short of the last track's samples: that track is dropped, the others stay.
    HevcImageFileReader some;
    EXPECT_EQ(open(charged - charged / 8, some), 3u);
    EXPECT_LE(some.memoryBudget().charged(), charged - charged / 8);
}

TEST_F(TrackTableTest, UnreadableMovieNeverFailsTheStillImage)
{
    using testbytes::box;
    using testbytes::fullBox;
    const auto mvhd = [](std::uint8_t version) {
        testbytes::Bytes payload;
        if (version == 1) {
            payload.u64(0).u64(0).u32(1000).u64(3000);
        } else {
            payload.u32(0).u32(0).u32(1000).u32(3000);
        }
        payload.u32(0x00010000).u16(0x0100).zeros(10).zeros(36).zeros(24).u32(2);
        return fullBox("mvhd", version, 0, payload);
    };
    // A sound track with no samples: its sample table has no chunks.
    const testbytes::Bytes emptySound = box(
        "trak",
        testbytes::Bytes()
            .add(fullBox("tkhd", 0, 3, testbytes::Bytes().zeros(8).u32(1).zeros(60).u32(0).u32(0)))
            .add(box("mdia",
                     testbytes::Bytes()
                         .add(fullBox("mdhd", 0, 0, testbytes::Bytes().zeros(8).u32(1000).u32(0).u32(0)))
                         .add(fullBox("hdlr", 0, 0, testbytes::Bytes().u32(0).str("soun").zeros(12).u8(0)))
                         .add(box("minf", box("stbl", testbytes::Bytes()
                                                          .add(fullBox("stsd", 0, 0, testbytes::Bytes().u32(0)))
                                                          .add(fullBox("stts", 0, 0, testbytes::Bytes().u32(0)))
                                                          .add(fullBox("stsc", 0, 0, testbytes::Bytes().u32(0)))
                                                          .add(fullBox("stsz", 0, 0, testbytes::Bytes().u32(0).u32(0)))
                                                          .add(fullBox("stco", 0, 0, testbytes::Bytes().u32(0)))))))));
    // The image track of a sequence file whose movie timescale is 0.
    Bytes sequenceMoov;
    {
        const Bytes file = sequence();
        const std::size_t moov = boxAt(file, "moov");
        sequenceMoov.assign(file.begin() + static_cast<std::ptrdiff_t>(moov),
                            file.begin() + static_cast<std::ptrdiff_t>(moov + get32(file, moov)));
        put32(sequenceMoov, boxAt(sequenceMoov, "mvhd") + 20, 0);
    }
    const struct
    {
        const char* label;
        Bytes moov;
        std::string dropped;  // why the reader says it left a track out; empty: none left out
    } cases[] = {
        {"mvhd version 1", box("moov", testbytes::Bytes().add(mvhd(1))).data(), ""},
        {"empty sound track", box("moov", testbytes::Bytes().add(mvhd(0)).add(emptySound)).data(),
         "it cannot be read: A SampleToChunkBox without entries"},
        {"mvhd version 1 and an empty sound track", box("moov", testbytes::Bytes().add(mvhd(1)).add(emptySound)).data(),
         "it cannot be read: A SampleToChunkBox without entries"},
        {"unknown mvhd version", box("moov", testbytes::Bytes().add(mvhd(7)).add(emptySound)).data(),
         "the movie box cannot be read: "},
        {"image track with timescale 0", sequenceMoov, "it cannot be read: Movie header timescale is 0"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        for (const auto position : {fixture::RootPosition::AfterFtyp, fixture::RootPosition::AtEnd}) {
            fixture::GridOptions options;
            options.exifOrientation = 1;
            fixture::SampleFile sample = fixture::makeGridHeic(options);
            sample.builder.addRootBox(c.moov, position);
            const Bytes file = sample.bytes();
            ASSERT_TRUE(readerOpens(file));
            std::stringstream stream(std::string(file.begin(), file.end()));
            HevcImageFileReader reader;
            reader.initialize(stream);
            EXPECT_TRUE(reader.getFileInformation().trackInformation.empty());
            const auto& dropped = reader.getDroppedTracks();
            ASSERT_EQ(dropped.size(), c.dropped.empty() ? 0u : 1u);
            EXPECT_TRUE(c.dropped.empty() || dropped[0].reason.rfind(c.dropped, 0) == 0) << dropped[0].reason;
            EXPECT_EQ(outcome(file), "ok");
            EXPECT_EQ(picture.size(), cv::Size(128, 128));
        }
    }

    // With nothing but the movie, its error is still the answer.
    const Bytes ftyp = fixture::makeBox("ftyp", testbytes::Bytes().str("msf1").u32(0).str("msf1").str("hevc"));
    Bytes movieOnly = ftyp;
    const Bytes moov = box("moov", testbytes::Bytes().add(mvhd(7)));
    movieOnly.insert(movieOnly.end(), moov.begin(), moov.end());
    EXPECT_FALSE(readerOpens(movieOnly));
}

}  // namespace
