#include <gtest/gtest.h>

#include <array>
#include <stdexcept>
#include <string>

#include "heiclib/boxes/sample_table_boxes.h"
#include "tests/box/test_bytes.h"

using namespace ambrel::heif;

using testbytes::box;
using testbytes::Bytes;
using testbytes::fullBox;
using testbytes::LogCapture;
using testbytes::parsed;

namespace {

template <typename F>
std::string runtimeErrorOf(F&& f)
{
    try {
        f();
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return "no runtime_error";
}

// 'stsc' with entries given as (first chunk, samples per chunk, description index).
Bytes stsc(const std::vector<std::array<std::uint32_t, 3>>& entries)
{
    Bytes payload;
    payload.u32(static_cast<std::uint32_t>(entries.size()));
    for (const auto& e : entries) {
        payload.u32(e[0]).u32(e[1]).u32(e[2]);
    }
    return fullBox("stsc", 0, 0, payload);
}

Bytes stco(std::uint32_t offset)
{
    return fullBox("stco", 0, 0, Bytes().u32(1).u32(offset));
}

// A 'refs' entry: sample id, then its references.
Bytes refsEntry(std::uint32_t sampleId, const std::vector<std::uint32_t>& refs)
{
    Bytes b;
    b.u32(sampleId).u8(static_cast<std::uint32_t>(refs.size()));
    for (auto r : refs) {
        b.u32(r);
    }
    return b;
}

// Version-1 'sgpd' of "refs" with per-entry lengths (default length 0).
Bytes sgpdRefs(const std::vector<Bytes>& entries, const std::string& groupingType = "refs")
{
    Bytes payload;
    payload.str(groupingType).u32(0).u32(static_cast<std::uint32_t>(entries.size()));
    for (const auto& e : entries) {
        payload.u32(static_cast<std::uint32_t>(e.size())).add(e);
    }
    return fullBox("sgpd", 1, 0, payload);
}

TEST(TimeToSampleBox, DecodeTimesAreRunningSums)
{
    const auto stts = parsed<TimeToSampleBox>(fullBox("stts", 0, 0, Bytes().u32(2).u32(2).u32(100).u32(1).u32(50)));
    EXPECT_EQ(stts.getSampleDecodeTimes(), (std::vector<std::uint64_t>{0, 100, 200}));
}

TEST(TimeToSampleBox, ExpansionIsBounded)
{
    // Eight bytes that claim four billion samples: refused before allocating.
    const auto stts = parsed<TimeToSampleBox>(fullBox("stts", 0, 0, Bytes().u32(1).u32(0xffffffff).u32(1)));
    EXPECT_THROW(stts.getSampleDecodeTimes(), std::runtime_error);
    EXPECT_THROW(parsed<TimeToSampleBox>(fullBox("stts", 0, 0, Bytes().u32(0xffffffff).zeros(8))), std::out_of_range);
}

TEST(CompositionOffsetBox, OffsetsByVersion)
{
    const auto v0 = parsed<CompositionOffsetBox>(fullBox("ctts", 0, 0, Bytes().u32(1).u32(2).u32(0xfffffffe)));
    EXPECT_EQ(v0.getSampleCompositionOffsets(), (std::vector<std::int64_t>{0xfffffffe, 0xfffffffe}));
    const auto v1 =
        parsed<CompositionOffsetBox>(fullBox("ctts", 1, 0, Bytes().u32(2).u32(1).u32(0xfffffffe).u32(1).u32(3)));
    EXPECT_EQ(v1.getSampleCompositionOffsets(), (std::vector<std::int64_t>{-2, 3}));
    const auto v2 = parsed<CompositionOffsetBox>(fullBox("ctts", 2, 0, Bytes().u32(1).u32(2).u32(3)));
    EXPECT_TRUE(v2.getSampleCompositionOffsets().empty());
    EXPECT_THROW(parsed<CompositionOffsetBox>(fullBox("ctts", 1, 0, Bytes().u32(0x20000000))), std::out_of_range);
}

TEST(CompositionOffsetBox, EntriesMustMatchTheVersion)
{
    CompositionOffsetBox v0;
    EXPECT_EQ(runtimeErrorOf([&] {
                  v0.addEntryVersion1({1, -1});
              }),
              "Invalid attempt to add version1 CompositionOffsetBox entries.");
    CompositionOffsetBox v1;
    v1.setVersion(1);
    EXPECT_EQ(runtimeErrorOf([&] {
                  v1.addEntryVersion0({1, 1});
              }),
              "Invalid attempt to add version0 CompositionOffsetBox entries.");
}

TEST(CompositionToDecodeBox, FiveSignedValues)
{
    const auto cslg =
        parsed<CompositionToDecodeBox>(fullBox("cslg", 0, 0, Bytes().u32(0xffffff9c).u32(1).u32(2).u32(3).u32(4)));
    EXPECT_EQ(cslg.getCompositionToDtsShift(), -100);
    EXPECT_EQ(cslg.getCompositionEndTime(), 4);
    EXPECT_THROW(parsed<CompositionToDecodeBox>(fullBox("cslg", 0, 0, Bytes().zeros(16))), std::out_of_range);
}

struct ChunkCase
{
    const char* name;
    std::vector<SampleToChunkBox::Entry> entries;
    std::uint32_t chunkCount;
    std::string error;  // empty: decoding succeeds
};

TEST(SampleToChunkBox, DecodingFailures)
{
    const std::vector<ChunkCase> cases = {
        {"no entries", {}, 4, "A SampleToChunkBox without entries"},
        {"no chunks", {{1, 1, 1}}, 0, "A SampleToChunkBox without entries"},
        {"first chunk not 1", {{2, 1, 1}}, 4, "SampleToChunkBox first entry first_chunk != 1"},
        {"repeated first chunk",
         {{1, 1, 1}, {1, 1, 1}},
         4,
         "Invalid first_chunk value in SampleToChunkBox entry. Must be greater than previous"},
        {"decreasing first chunk",
         {{1, 1, 1}, {3, 1, 1}, {2, 1, 1}},
         4,
         "Invalid first_chunk value in SampleToChunkBox entry. Must be greater than previous"},
        {"last run past chunk count",
         {{1, 1, 1}, {6, 1, 1}},
         4,
         "SampleToChunkBox::decodeEntries: last entry's first_chunk 6 exceeds chunk count 4 + 1"},
        {"last run empty", {{1, 2, 1}, {5, 1, 1}}, 4, ""},
    };
    for (const auto& c : cases) {
        SampleToChunkBox box_;
        for (const auto& e : c.entries) {
            box_.addEntry(e);
        }
        if (c.error.empty()) {
            box_.decodeEntries(c.chunkCount);
            EXPECT_EQ(box_.getDecodedEntries().size(), 8u) << c.name;
        } else {
            EXPECT_EQ(runtimeErrorOf([&] { box_.decodeEntries(c.chunkCount); }), c.error) << c.name;
        }
    }
}

TEST(SampleToChunkBox, ExpandsRunsIntoSamples)
{
    auto box_ = parsed<SampleToChunkBox>(stsc({{1, 2, 1}, {3, 1, 2}}));
    box_.decodeEntries(4);
    const std::vector<std::array<std::uint32_t, 3>> expected = {{1, 2, 1}, {1, 2, 1}, {2, 2, 1},
                                                                {2, 2, 1}, {3, 1, 2}, {4, 1, 2}};
    const auto& decoded = box_.getDecodedEntries();
    ASSERT_EQ(decoded.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(decoded[i].chunkIndex, expected[i][0]) << i;
        EXPECT_EQ(decoded[i].samplesPerChunk, expected[i][1]) << i;
        EXPECT_EQ(decoded[i].sampleDescriptionIndex, expected[i][2]) << i;
    }
    EXPECT_EQ(box_.getSampleChunkIndex(5), 4u);
    EXPECT_EQ(box_.getSampleDescriptionIndex(4), 2u);
    EXPECT_THROW(box_.getSampleDescriptionIndex(6), std::out_of_range);
}

TEST(SampleToChunkBox, ExpansionIsBounded)
{
    // 65536 chunks of 2^31 samples each from 12 bytes of table.
    SampleToChunkBox huge;
    huge.addEntry({1, 0x80000000u, 1});
    EXPECT_THROW(huge.decodeEntries(0x10000), std::runtime_error);
    EXPECT_TRUE(huge.getDecodedEntries().empty());

    SampleToChunkBox small;
    small.addEntry({1, 3, 1});
    EXPECT_THROW(small.decodeEntries(2, 5), std::runtime_error);
    EXPECT_NO_THROW(small.decodeEntries(2, 6));

    EXPECT_THROW(parsed<SampleToChunkBox>(fullBox("stsc", 0, 0, Bytes().u32(2).zeros(12))), std::out_of_range);
}

TEST(SampleSizeBox, ConstantSizeReadsNoTable)
{
    const auto stsz = parsed<SampleSizeBox>(fullBox("stsz", 0, 0, Bytes().u32(500).u32(3)));
    EXPECT_EQ(stsz.getSampleSize(), 500u);
    EXPECT_EQ(stsz.getSampleCount(), 3u);
    EXPECT_EQ(stsz.getEntrySizes(), (std::vector<std::uint32_t>{500, 500, 500}));

    const auto listed = parsed<SampleSizeBox>(fullBox("stsz", 0, 0, Bytes().u32(0).u32(2).u32(7).u32(9)));
    EXPECT_EQ(listed.getEntrySizes(), (std::vector<std::uint32_t>{7, 9}));
}

TEST(SampleSizeBox, HostileCounts)
{
    // A constant size with a huge count needs no table bytes, so the count itself is capped.
    EXPECT_THROW(parsed<SampleSizeBox>(fullBox("stsz", 0, 0, Bytes().u32(1).u32(0xffffffff))), std::runtime_error);
    EXPECT_THROW(parsed<SampleSizeBox>(fullBox("stsz", 0, 0, Bytes().u32(0).u32(0xffffffff).u32(1))),
                 std::out_of_range);
}

TEST(ChunkOffsetBox, WidthFollowsTheBoxType)
{
    const auto co64 = parsed<ChunkOffsetBox>(fullBox("co64", 0, 0, Bytes().u32(1).u64(0x100000010ull)));
    EXPECT_EQ(co64.getChunkOffsets(), (std::vector<std::uint64_t>{0x100000010ull}));
    const auto stco_ = parsed<ChunkOffsetBox>(fullBox("stco", 0, 0, Bytes().u32(2).u32(16).u32(0xffffffff)));
    EXPECT_EQ(stco_.getChunkOffsets(), (std::vector<std::uint64_t>{16, 0xffffffff}));
    // Two 64-bit offsets claimed, one present.
    EXPECT_THROW(parsed<ChunkOffsetBox>(fullBox("co64", 0, 0, Bytes().u32(2).u64(1))), std::out_of_range);

    ChunkOffsetBox written;
    written.setChunkOffsets({1, 0x100000000ull});
    EXPECT_EQ(written.getType(), FourCCInt("co64"));
    written.setChunkOffsets({1, 0xffffffffull});
    EXPECT_EQ(written.getType(), FourCCInt("stco"));
}

TEST(SyncSampleBox, SampleNumbers)
{
    const auto stss = parsed<SyncSampleBox>(fullBox("stss", 0, 0, Bytes().u32(2).u32(1).u32(5)));
    EXPECT_EQ(stss.getSyncSamples(), (std::vector<std::uint32_t>{1, 5}));
    EXPECT_THROW(parsed<SyncSampleBox>(fullBox("stss", 0, 0, Bytes().u32(3).u32(1).u32(5))), std::out_of_range);
}

TEST(SampleGroupDescriptionBox, RefsEntriesWithOwnLengths)
{
    const auto sgpd = parsed<SampleGroupDescriptionBox>(sgpdRefs({refsEntry(10, {3}), refsEntry(20, {10, 11})}));
    EXPECT_EQ(sgpd.getGroupingType(), "refs");
    ASSERT_EQ(sgpd.getEntryCount(), 2u);
    const auto& second = dynamic_cast<const DirectReferenceSampleListEntry&>(sgpd.getEntry(2));
    EXPECT_EQ(second.getDirectReferenceSampleIds(), (std::vector<std::uint32_t>{10, 11}));
    EXPECT_EQ(
        dynamic_cast<const DirectReferenceSampleListEntry&>(sgpd.getEntry(1)).getDirectReferenceSampleIds().size(), 1u);
    EXPECT_EQ(sgpd.getEntryIndexOfSampleId(20), 2u);
    EXPECT_EQ(runtimeErrorOf([&] { sgpd.getEntryIndexOfSampleId(99); }),
              "SampleGroupDescriptionBox::getEntryIndexOfSampleId: no entry for sampleId found.");
    EXPECT_THROW(sgpd.getEntry(0), std::out_of_range);
    EXPECT_THROW(sgpd.getEntry(3), std::out_of_range);
}

TEST(SampleGroupDescriptionBox, DefaultLengthAppliesToEveryEntry)
{
    const auto sgpd = parsed<SampleGroupDescriptionBox>(
        fullBox("sgpd", 1, 0, Bytes().str("refs").u32(9).u32(2).add(refsEntry(1, {0})).add(refsEntry(2, {1}))));
    EXPECT_EQ(sgpd.getEntryIndexOfSampleId(2), 2u);
}

TEST(SampleGroupDescriptionBox, Version2ReadsTheDefaultSampleDescriptionIndex)
{
    const auto sgpd = parsed<SampleGroupDescriptionBox>(
        fullBox("sgpd", 2, 0, Bytes().str("refs").u32(9).u32(3).u32(2).add(refsEntry(1, {0})).add(refsEntry(2, {1}))));
    EXPECT_EQ(sgpd.getDefaultSampleDescriptionIndex(), 3u);
    ASSERT_EQ(sgpd.getEntryCount(), 2u);
    EXPECT_EQ(sgpd.getEntryIndexOfSampleId(2), 2u);
}

TEST(SampleGroupDescriptionBox, UnknownGroupingTypeIsSkipped)
{
    LogCapture log;
    const auto sgpd = parsed<SampleGroupDescriptionBox>(sgpdRefs({Bytes().u16(1), Bytes().u16(2)}, "roll"));
    EXPECT_EQ(sgpd.getEntryCount(), 0u);
    EXPECT_EQ(log.lines().size(), 2u);
    EXPECT_TRUE(log.has(ambrel::log::Warning,
                        "Skipping an entry of SampleGroupDescriptionBox of an unknown grouping type 'roll'."));
}

TEST(SampleGroupDescriptionBox, MalformedBoxes)
{
    // Version 0 carries no lengths: a "refs" entry has no bytes to read.
    EXPECT_THROW(parsed<SampleGroupDescriptionBox>(fullBox("sgpd", 0, 0, Bytes().str("refs").u32(1).zeros(9))),
                 std::out_of_range);
    // Counts far beyond the bytes left, with and without per-entry lengths.
    EXPECT_THROW(parsed<SampleGroupDescriptionBox>(fullBox("sgpd", 1, 0, Bytes().str("refs").u32(0).u32(0xffffffff))),
                 std::out_of_range);
    EXPECT_THROW(parsed<SampleGroupDescriptionBox>(fullBox("sgpd", 0, 0, Bytes().str("roll").u32(0xffffffff))),
                 std::out_of_range);
    // An entry length that reaches past the box.
    EXPECT_THROW(parsed<SampleGroupDescriptionBox>(
                     fullBox("sgpd", 1, 0, Bytes().str("refs").u32(0).u32(1).u32(0xfffffff0).add(refsEntry(1, {})))),
                 std::out_of_range);
    // A reference count larger than the entry.
    EXPECT_THROW(parsed<SampleGroupDescriptionBox>(sgpdRefs({Bytes().u32(1).u8(3).u32(7)})), std::out_of_range);
}

TEST(SampleGroupDescriptionBox, WriteSideChecks)
{
    DirectReferenceSampleListEntry entry;
    entry.setDirectReferenceSampleIds(std::vector<std::uint32_t>(255, 1));
    EXPECT_EQ(entry.getSize(), 5u + 4u * 255u);
    EXPECT_EQ(runtimeErrorOf([&] { entry.setDirectReferenceSampleIds(std::vector<std::uint32_t>(256, 1)); }),
              "Too many entries in referenceSampleIds");

    SampleGroupDescriptionBox sgpd;
    EXPECT_EQ(runtimeErrorOf([&] { sgpd.setGroupingType("ref"); }),
              "SampleGroupDescriptionBox::setGroupingType: invalid grouping type length, must be 4 characters");
    SampleToGroupBox sbgp;
    EXPECT_EQ(runtimeErrorOf([&] { sbgp.setGroupingType("refs!"); }),
              "SampleToGroupBox::setGroupingType: invalid grouping type length, must be 4 characters");
}

TEST(SampleToGroupBox, PerSampleIndices)
{
    const auto sbgp =
        parsed<SampleToGroupBox>(fullBox("sbgp", 1, 0, Bytes().str("refs").u32(42).u32(2).u32(2).u32(1).u32(1).u32(0)));
    EXPECT_EQ(sbgp.getGroupingType(), "refs");
    EXPECT_EQ(sbgp.getGroupingTypeParameter(), 42u);
    EXPECT_EQ(sbgp.getNumberOfSamples(), 3u);
    EXPECT_EQ(sbgp.getSampleGroupDescriptionIndex(0), 1u);
    EXPECT_EQ(sbgp.getSampleGroupDescriptionIndex(1), 1u);
    EXPECT_EQ(sbgp.getSampleGroupDescriptionIndex(2), 0u);
    EXPECT_EQ(sbgp.getSampleGroupDescriptionIndex(5), 0u);
    EXPECT_EQ(sbgp.getSampleId(1), 0u);
    EXPECT_EQ(sbgp.getSampleId(0), 2u);
    EXPECT_EQ(runtimeErrorOf([&] { sbgp.getSampleId(7); }),
              "SampleToGroupBox::getSampleId: no entry for requested sample id");
}

TEST(SampleToGroupBox, MalformedBoxes)
{
    EXPECT_EQ(runtimeErrorOf([] { parsed<SampleToGroupBox>(fullBox("sbgp", 0, 0, Bytes().str("refs").u32(0))); }),
              "Read an empty SampleToGroupBox without entries.");
    EXPECT_THROW(parsed<SampleToGroupBox>(fullBox("sbgp", 0, 0, Bytes().str("refs").u32(0xffffffff).zeros(8))),
                 std::out_of_range);
    // Sixteen bytes that expand to eight billion samples.
    EXPECT_THROW(parsed<SampleToGroupBox>(
                     fullBox("sbgp", 0, 0, Bytes().str("refs").u32(2).u32(0xffffffff).u32(1).u32(0xffffffff).u32(1))),
                 std::runtime_error);
}

TEST(SampleTableBox, DispatchesChildren)
{
    LogCapture log;
    const Bytes bytes = box("stbl", Bytes()
                                        .add(fullBox("stsd", 0, 0, Bytes().u32(0)))
                                        .add(fullBox("stts", 0, 0, Bytes().u32(1).u32(3).u32(10)))
                                        .add(fullBox("ctts", 0, 0, Bytes().u32(1).u32(3).u32(5)))
                                        .add(fullBox("cslg", 0, 0, Bytes().zeros(20)))
                                        .add(stsc({{1, 3, 1}}))
                                        .add(fullBox("stsz", 0, 0, Bytes().u32(100).u32(3)))
                                        .add(fullBox("co64", 0, 0, Bytes().u32(1).u64(0x100000000ull)))
                                        .add(fullBox("stss", 0, 0, Bytes().u32(1).u32(1)))
                                        .add(sgpdRefs({refsEntry(1, {})}))
                                        .add(sgpdRefs({refsEntry(5, {}), refsEntry(6, {5})}))
                                        .add(fullBox("sbgp", 0, 0, Bytes().str("refs").u32(1).u32(3).u32(1)))
                                        .add(fullBox("sbgp", 0, 0, Bytes().str("refs").u32(1).u32(1).u32(2)))
                                        .add(box("abcd")));
    const auto stbl = parsed<SampleTableBox>(bytes);
    EXPECT_TRUE(log.has(ambrel::log::Warning, "Skipping unknown box of type 'abcd' inside SampleTableBox"));
    EXPECT_EQ(stbl.getTimeToSampleBox().getSampleDecodeTimes().size(), 3u);
    ASSERT_NE(stbl.getCompositionOffsetBox(), nullptr);
    EXPECT_NE(stbl.getCompositionToDecodeBox(), nullptr);
    ASSERT_NE(stbl.getSyncSampleBox(), nullptr);
    EXPECT_EQ(stbl.getChunkOffsetBox().getChunkOffsets(), (std::vector<std::uint64_t>{0x100000000ull}));
    EXPECT_EQ(stbl.getSampleToChunkBox().getSampleChunkIndex(2), 1u);
    EXPECT_EQ(stbl.getSampleSizeBox().getSampleCount(), 3u);
    EXPECT_EQ(stbl.getSampleToGroupBoxes().size(), 2u);
    // The later 'sgpd' replaces the earlier one.
    EXPECT_EQ(stbl.getSampleGroupDescriptionBox("refs").getEntryCount(), 2u);
    EXPECT_EQ(runtimeErrorOf([&] { stbl.getSampleGroupDescriptionBox("roll"); }),
              "SampleGroupDescriptionBox with groupingType=roll not found.");

    SampleTableBox empty;
    EXPECT_EQ(runtimeErrorOf([&] { empty.getSampleGroupDescriptionBox("refs"); }),
              "SampleGroupDescriptionBox with groupingType=refs not found.");
}

TEST(SampleTableBox, SampleToChunkIsAlwaysDecoded)
{
    EXPECT_EQ(runtimeErrorOf([] {
                  parsed<SampleTableBox>(box("stbl", stsc({{1, 1, 1}})));
              }),
              "A SampleToChunkBox without entries");
    EXPECT_EQ(runtimeErrorOf([] { parsed<SampleTableBox>(box("stbl", stco(8))); }),
              "A SampleToChunkBox without entries");
}

// Write then parse: checks the 'sgpd' per-entry length, 64-bit chunk offsets
// and the version-1 'sbgp' parameter land where the parsers read them.
TEST(SampleTableBox, RoundTrip)
{
    SampleTableBox stbl;
    stbl.getTimeToSampleBox().addEntry({2, 512});
    stbl.getSampleToChunkBox().addEntry({1, 1, 1});
    stbl.getChunkOffsetBox().setChunkOffsets({0x1ffffffffull, 8});
    stbl.getSampleSizeBox().setEntrySizes({11, 22});
    auto sgpd = std::make_unique<SampleGroupDescriptionBox>();
    sgpd->setGroupingType("refs");
    auto entry = std::make_unique<DirectReferenceSampleListEntry>();
    entry->setSampleId(77);
    entry->setDirectReferenceSampleIds({1, 2, 3});
    sgpd->addEntry(std::move(entry));
    stbl.setSampleGroupDescriptionBox(std::move(sgpd));
    SampleToGroupBox sbgp;
    sbgp.setVersion(1);
    sbgp.setGroupingType("refs");
    sbgp.setGroupingTypeParameter(9);
    sbgp.addEntry({2, 1});
    stbl.addSampleToGroupBox(sbgp);

    BitStream out;
    stbl.writeBox(out);
    SampleTableBox back;
    BitStream in(out.getStorage());
    back.parseBox(in);

    EXPECT_EQ(back.getTimeToSampleBox().getSampleDecodeTimes(), (std::vector<std::uint64_t>{0, 512}));
    EXPECT_EQ(back.getChunkOffsetBox().getChunkOffsets(), (std::vector<std::uint64_t>{0x1ffffffffull, 8}));
    EXPECT_EQ(back.getSampleSizeBox().getEntrySizes(), (std::vector<std::uint32_t>{11, 22}));
    EXPECT_EQ(back.getSampleToChunkBox().getSampleChunkIndex(1), 2u);
    const auto& refs =
        dynamic_cast<const DirectReferenceSampleListEntry&>(back.getSampleGroupDescriptionBox("refs").getEntry(1));
    EXPECT_EQ(refs.getSampleId(), 77u);
    EXPECT_EQ(refs.getDirectReferenceSampleIds(), (std::vector<std::uint32_t>{1, 2, 3}));
    ASSERT_EQ(back.getSampleToGroupBoxes().size(), 1u);
    EXPECT_EQ(back.getSampleToGroupBoxes()[0].getGroupingTypeParameter(), 9u);
    EXPECT_EQ(back.getSampleToGroupBoxes()[0].getSampleId(1), 0u);

    // A 'ctts' set on the parsed table is written too.
    back.setCompositionOffsetBox(std::make_shared<CompositionOffsetBox>(
        parsed<CompositionOffsetBox>(fullBox("ctts", 0, 0, Bytes().u32(1).u32(2).u32(5)))));
    const auto withOffsets = parsed<SampleTableBox>(Bytes().add(testbytes::written(back)));
    ASSERT_NE(withOffsets.getCompositionOffsetBox(), nullptr);
    EXPECT_EQ(withOffsets.getCompositionOffsetBox()->getSampleCompositionOffsets(), (std::vector<std::int64_t>{5, 5}));
}

}  // namespace
