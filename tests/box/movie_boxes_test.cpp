#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "heiclib/boxes/movie_boxes.h"
#include "tests/box/test_bytes.h"

using namespace ambrel::heif;

using testbytes::box;
using testbytes::Bytes;
using testbytes::fullBox;
using testbytes::LogCapture;
using testbytes::parsed;
using testbytes::written;

namespace {

// The fixed fields of a visual sample entry after its header, with the
// compressor-name length byte given and its 31 name/padding bytes zero.
Bytes visualFields(std::uint16_t width, std::uint16_t height, std::uint8_t nameLength = 0)
{
    return Bytes()
        .zeros(6)
        .u16(1)  // data reference index
        .zeros(16)
        .u16(width)
        .u16(height)
        .u32(0x00480000)
        .u32(0x00480000)
        .u32(0)
        .u16(1)
        .u8(nameLength)
        .zeros(31)
        .u16(0x18)
        .u16(0xffff);
}

// A minimal 'hvcC': 22 bytes of record fields (level 93, 4-byte lengths) and no arrays.
Bytes hvcC()
{
    return box("hvcC", Bytes()
                           .u8(1)
                           .u8(1)
                           .u32(0x60000000)
                           .zeros(6)
                           .u8(93)
                           .u16(0xf000)
                           .u8(0xfc)
                           .u8(0xfd)
                           .u8(0xf8)
                           .u8(0xf8)
                           .u16(0)
                           .u8(0x0f)
                           .u8(0));
}

// A minimal 'avcC': baseline profile, level 30, no parameter sets.
Bytes avcC()
{
    return box("avcC", Bytes().u8(1).u8(66).u8(0).u8(30).u8(0xff).u8(0xe0).u8(0));
}

Bytes clap()
{
    return box("clap", Bytes().u32(600).u32(1).u32(400).u32(1).u32(0).u32(1).u32(0).u32(1));
}

Bytes ccst(bool allIntra, bool intraPred, std::uint32_t maxRef)
{
    const std::uint32_t bits = (allIntra ? 0x80000000u : 0) | (intraPred ? 0x40000000u : 0) | (maxRef << 26);
    return fullBox("ccst", 0, 0, Bytes().u32(bits));
}

Bytes stsd(const std::vector<Bytes>& entries)
{
    Bytes payload;
    payload.u32(static_cast<std::uint32_t>(entries.size()));
    for (const auto& entry : entries) {
        payload.add(entry);
    }
    return fullBox("stsd", 0, 0, payload);
}

Bytes mvhd(std::uint8_t version, std::uint32_t timescale)
{
    Bytes payload;
    payload.u32(1).u32(2).u32(timescale).u32(3000).u32(0x00010000).u16(0x0100).zeros(10);
    for (std::uint32_t i = 1; i <= 9; ++i) {
        payload.u32(i);
    }
    payload.zeros(24).u32(4);
    return fullBox("mvhd", version, 0, payload);
}

Bytes tkhd(std::uint32_t trackId, std::uint32_t flags = 7)
{
    Bytes payload;
    payload.u32(10).u32(11).u32(trackId).u32(0).u32(3000).zeros(8).u16(0).u16(2).u16(0).u16(0).zeros(36);
    payload.u32(640u << 16).u32(480u << 16);
    return fullBox("tkhd", 0, flags, payload);
}

Bytes hdlr(const std::string& handlerType)
{
    return fullBox("hdlr", 0, 0, Bytes().u32(0).str(handlerType).zeros(12).cstr("track"));
}

// One chunk of one sample, so the sample table decodes.
Bytes minimalStbl()
{
    return box("stbl", Bytes()
                           .add(stsd({box("hvc1", visualFields(64, 32).add(hvcC()))}))
                           .add(fullBox("stsc", 0, 0, Bytes().u32(1).u32(1).u32(1).u32(1)))
                           .add(fullBox("stco", 0, 0, Bytes().u32(1).u32(100))));
}

Bytes trak(const std::string& handlerType, std::uint32_t trackId, const Bytes& extra = {})
{
    const Bytes mdhd = fullBox("mdhd", 0, 0, Bytes().u32(0).u32(0).u32(1000).u32(3000).u16(0x55c4).u16(0));
    const Bytes vmhd = fullBox("vmhd", 0, 1, Bytes().zeros(8));
    const Bytes minf = box("minf", Bytes().add(vmhd).add(minimalStbl()));
    return box(
        "trak",
        Bytes().add(tkhd(trackId)).add(extra).add(box("mdia", Bytes().add(mdhd).add(hdlr(handlerType)).add(minf))));
}

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

TEST(MovieBox, KeepsOnlyPictTracksInFileOrder)
{
    LogCapture log;
    const auto moov = parsed<MovieBox>(
        box("moov",
            Bytes().add(mvhd(0, 600)).add(trak("pict", 1)).add(trak("soun", 2)).add(box("udta")).add(trak("pict", 3))));
    const auto tracks = moov.getTracks();
    ASSERT_EQ(tracks.size(), 2u);
    EXPECT_EQ(tracks[0]->getTrackHeaderBox().getTrackId(), 1u);
    EXPECT_EQ(tracks[1]->getTrackHeaderBox().getTrackId(), 3u);
    EXPECT_TRUE(log.has(ambrel::log::Warning, "Skipping an unsupported box 'udta' inside movie box."));

    const MovieHeaderBox& header = moov.getMovieHeaderBox();
    EXPECT_EQ(header.getTimescale(), 600u);
    EXPECT_EQ(header.getDuration(), 3000u);
    EXPECT_EQ(header.getMatrix(), (std::vector<std::uint32_t>{1, 2, 3, 4, 5, 6, 7, 8, 9}));
    EXPECT_EQ(header.getNextTrackId(), 4u);
}

TEST(MovieBox, WritesBackTracksOfOtherMediaAndUnknownChildren)
{
    // The sound track and 'udta' are not modelled but still written back in
    // their places; so are the fields the model does not use (the track's
    // all-zero matrix here).
    LogCapture log;
    const Bytes file = box("moov", Bytes()
                                       .add(mvhd(0, 600))
                                       .add(trak("pict", 1))
                                       .add(trak("soun", 2))
                                       .add(box("udta", Bytes().u32(7)))
                                       .add(trak("pict", 3)));
    auto moov = parsed<MovieBox>(file);
    ASSERT_EQ(moov.getTracks().size(), 2u);
    EXPECT_EQ(written(moov), file.data());
}

TEST(MovieBox, Version1HeadersReadTheir64BitLayout)
{
    // 'mvhd' version 1: 64-bit creation, modification and duration.
    Bytes mvhd1;
    mvhd1.u64(0x100000001ull).u64(0x100000002ull).u32(600).u64(0x100000003ull).u32(0x00010000).u16(0x0100).zeros(10);
    for (std::uint32_t i = 1; i <= 9; ++i) {
        mvhd1.u32(i);
    }
    mvhd1.zeros(24).u32(4);
    Bytes tkhd1;
    tkhd1.u64(1).u64(2).u32(7).u32(0).u64(0xFFFFFFFFFFFFFFFFull).zeros(8).u16(0).u16(2).u16(0).u16(0).zeros(36);
    tkhd1.u32(640u << 16).u32(480u << 16);
    const Bytes mdhd1 = fullBox("mdhd", 1, 0, Bytes().u64(1).u64(2).u32(90000).u64(0x123456789ull).u16(0x55c4).u16(0));

    const auto moov = parsed<MovieBox>(box("moov", Bytes().add(fullBox("mvhd", 1, 0, mvhd1)).add(trak("pict", 1))));
    const MovieHeaderBox& header = moov.getMovieHeaderBox();
    EXPECT_EQ(header.getTimescale(), 600u);
    EXPECT_EQ(header.getDuration(), 0x100000003ull);
    EXPECT_EQ(header.getMatrix(), (std::vector<std::uint32_t>{1, 2, 3, 4, 5, 6, 7, 8, 9}));
    EXPECT_EQ(header.getNextTrackId(), 4u);

    const auto track = parsed<TrackHeaderBox>(fullBox("tkhd", 1, 7, tkhd1));
    EXPECT_EQ(track.getTrackId(), 7u);
    EXPECT_EQ(track.getDuration(), 0xFFFFFFFFFFFFFFFFull);
    EXPECT_EQ(track.getAlternateGroup(), 2u);
    EXPECT_EQ(track.getWidth() >> 16, 640u);
    EXPECT_EQ(track.getHeight() >> 16, 480u);

    const auto media = parsed<MediaHeaderBox>(mdhd1);
    EXPECT_EQ(media.getTimescale(), 90000u);
    EXPECT_EQ(media.getDuration(), 0x123456789ull);

    // Written back with the layout of their version.
    auto copy = track;
    EXPECT_EQ(parsed<TrackHeaderBox>(Bytes().add(written(copy))).getDuration(), 0xFFFFFFFFFFFFFFFFull);
    auto mediaCopy = media;
    EXPECT_EQ(written(mediaCopy), mdhd1.data());

    const std::string message = runtimeErrorOf([] { parsed<MovieHeaderBox>(mvhd(2, 600)); });
    EXPECT_EQ(message, "MovieHeaderBox::parseBox() supports only 'mvhd' versions 0 and 1");
}

TEST(MovieBox, TrackThatCannotBeReadIsDroppedWithAWarning)
{
    LogCapture log;
    // A sound track with an empty sample table (no chunks), then an image track.
    const Bytes mdhd = fullBox("mdhd", 0, 0, Bytes().u32(0).u32(0).u32(1000).u32(0).u16(0x55c4).u16(0));
    const Bytes emptyStbl = box("stbl", Bytes()
                                            .add(fullBox("stsd", 0, 0, Bytes().u32(0)))
                                            .add(fullBox("stts", 0, 0, Bytes().u32(0)))
                                            .add(fullBox("stsc", 0, 0, Bytes().u32(0)))
                                            .add(fullBox("stsz", 0, 0, Bytes().u32(0).u32(0)))
                                            .add(fullBox("stco", 0, 0, Bytes().u32(0))));
    const Bytes sound = box(
        "trak", Bytes().add(tkhd(1)).add(box("mdia", Bytes().add(mdhd).add(hdlr("soun")).add(box("minf", emptyStbl)))));
    const auto moov = parsed<MovieBox>(box("moov", Bytes().add(mvhd(0, 600)).add(sound).add(trak("pict", 2))));
    const auto tracks = moov.getTracks();
    ASSERT_EQ(tracks.size(), 1u);
    EXPECT_EQ(tracks[0]->getTrackHeaderBox().getTrackId(), 2u);
    ASSERT_EQ(moov.getTrackErrors().size(), 1u);
    EXPECT_EQ(moov.getTrackErrors()[0], "A SampleToChunkBox without entries");
    EXPECT_TRUE(
        log.has(ambrel::log::Warning, "Skipping a track that cannot be read: A SampleToChunkBox without entries"));
}

TEST(MovieBox, FieldsCutShortThrowOutOfRange)
{
    Bytes shortMvhd = fullBox("mvhd", 0, 0, Bytes().zeros(40));
    EXPECT_THROW(parsed<MovieHeaderBox>(shortMvhd), std::out_of_range);
    EXPECT_THROW(parsed<TrackHeaderBox>(fullBox("tkhd", 0, 0, Bytes().zeros(79))), std::out_of_range);
    // A child whose size reaches past the movie box.
    EXPECT_THROW(parsed<MovieBox>(box("moov", Bytes().u32(200).str("trak").zeros(8))), std::out_of_range);
}

TEST(TrackBox, ReadsHeaderReferencesAndEdits)
{
    const Bytes tref = box("tref", Bytes().add(box("thmb", Bytes().u32(1).u32(2))).add(box("auxl", Bytes().u32(3))));
    const Bytes edts = box("edts", fullBox("elst", 0, 0, Bytes().u32(1).u32(500).u32(0xffffffff).u16(1).u16(0)));
    const auto track = parsed<TrackBox>(trak("pict", 7, Bytes().add(tref).add(edts)));

    const TrackHeaderBox& header = track.getTrackHeaderBox();
    EXPECT_EQ(header.getFlags(), 7u);
    EXPECT_EQ(header.getTrackId(), 7u);
    EXPECT_EQ(header.getDuration(), 3000u);
    EXPECT_EQ(header.getAlternateGroup(), 2u);
    EXPECT_EQ(header.getWidth() >> 16, 640u);
    EXPECT_EQ(header.getHeight() >> 16, 480u);

    ASSERT_TRUE(track.getHasTrackReferences());
    const auto& refs = track.getTrackReferenceBox().getTrefTypeBoxes();
    ASSERT_EQ(refs.size(), 2u);
    EXPECT_EQ(refs[0].getType(), FourCCInt("thmb"));
    EXPECT_EQ(refs[0].getTrackIds(), (std::vector<std::uint32_t>{1, 2}));
    EXPECT_TRUE(track.getTrackReferenceBox().isReferenceTypePresent("auxl"));
    EXPECT_FALSE(track.getTrackReferenceBox().isReferenceTypePresent("cdsc"));

    ASSERT_NE(track.getEditBox(), nullptr);
    const auto elst = track.getEditBox()->getEditListBox();
    ASSERT_NE(elst, nullptr);
    ASSERT_EQ(elst->numberOfEntries(), 1u);
    EXPECT_EQ(elst->getEntriesVersion0()[0].mediaTime, -1);
    EXPECT_EQ(elst->getEntriesVersion0()[0].mediaRateInteger, 1);

    const MediaBox& media = track.getMediaBox();
    EXPECT_EQ(media.getMediaHeaderBox().getTimescale(), 1000u);
    EXPECT_EQ(media.getHandlerBox().getHandlerType(), "pict");
    EXPECT_EQ(media.getMediaInformationBox().getSampleTableBox().getChunkOffsetBox().getChunkOffsets(),
              (std::vector<std::uint64_t>{100}));
}

TEST(TrackBox, WithoutTrefOrEdtsHasNeither)
{
    auto track = parsed<TrackBox>(trak("pict", 1));
    EXPECT_FALSE(track.getHasTrackReferences());
    EXPECT_EQ(track.getEditBox(), nullptr);
    // An edit list set after parsing is written where a new track puts it.
    const Bytes edts = box("edts", fullBox("elst", 0, 0, Bytes().u32(1).u32(500).u32(0xffffffff).u16(1).u16(0)));
    track.setEditBox(std::make_shared<EditBox>(parsed<EditBox>(edts)));
    EXPECT_EQ(written(track), trak("pict", 1, edts).data());
}

TEST(TrackBox, ReferenceIdsMustFillTheBox)
{
    EXPECT_THROW(parsed<TrackReferenceBox>(box("tref", box("thmb", Bytes().u32(1).u16(0)))), std::out_of_range);
}

TEST(EditListBox, Version1EntriesAreSixtyFourBit)
{
    const auto elst = parsed<EditListBox>(
        fullBox("elst", 1, 0, Bytes().u32(1).u64(0x200000000ull).u64(static_cast<std::uint64_t>(-5)).u16(1).u16(0)));
    EXPECT_EQ(elst.numberOfEntries(), 1u);
    EXPECT_TRUE(elst.getEntriesVersion0().empty());
    ASSERT_EQ(elst.getEntriesVersion1().size(), 1u);
    EXPECT_EQ(elst.getEntriesVersion1()[0].segmentDuration, 0x200000000ull);
    EXPECT_EQ(elst.getEntriesVersion1()[0].mediaTime, -5);
}

TEST(EditListBox, UnknownVersionReadsNoEntriesAndCannotCount)
{
    const auto elst = parsed<EditListBox>(fullBox("elst", 2, 0, Bytes().u32(1).zeros(12)));
    EXPECT_TRUE(elst.getEntriesVersion0().empty());
    EXPECT_TRUE(elst.getEntriesVersion1().empty());
    EXPECT_EQ(runtimeErrorOf([&] { elst.numberOfEntries(); }),
              "Not supported EditListBox entry version (only 0 and 1 are supported).");
}

TEST(EditListBox, HostileCountThrowsBeforeReading)
{
    EXPECT_THROW(parsed<EditListBox>(fullBox("elst", 0, 0, Bytes().u32(0xffffffff).zeros(12))), std::out_of_range);
    EXPECT_THROW(parsed<EditListBox>(fullBox("elst", 1, 0, Bytes().u32(0x10000000).zeros(20))), std::out_of_range);
}

TEST(EditListBox, EntriesMustMatchTheVersion)
{
    EditListBox v0;
    v0.addEntry(EditListBox::EntryVersion0{});
    EXPECT_EQ(runtimeErrorOf([&] { v0.addEntry(EditListBox::EntryVersion1{}); }),
              "Invalid attempt to add version1 EditList entries.");
    EditListBox v1;
    v1.setVersion(1);
    EXPECT_EQ(runtimeErrorOf([&] { v1.addEntry(EditListBox::EntryVersion0{}); }),
              "Invalid attempt to add version0 EditListBox entries.");
}

TEST(SampleDescriptionBox, UnknownEntryKeepsIndicesAligned)
{
    LogCapture log;
    const auto box_ = parsed<SampleDescriptionBox>(
        stsd({box("hvc1", visualFields(64, 32).add(hvcC())), box("mp4v", visualFields(1, 1)),
              box("avc1", visualFields(128, 96).add(avcC())),
              box("av01", visualFields(8, 8).add(box("av1C", Bytes().u8(0x01).u8(0).u8(0).u8(0))))}));
    EXPECT_TRUE(log.has(ambrel::log::Warning, "Skipping unknown SampleDescriptionBox entry of type 'mp4v'"));
    ASSERT_EQ(box_.getEntryCount(), 4u);
    EXPECT_EQ(box_.getSampleEntries()[1], nullptr);
    EXPECT_EQ(box_.getSampleEntries()[3], nullptr);  // its 'av1C' has no marker bit

    const auto* hevc = dynamic_cast<const HevcSampleEntry*>(&box_.getSampleEntry(1));
    ASSERT_NE(hevc, nullptr);
    EXPECT_EQ(hevc->getWidth(), 64u);
    EXPECT_EQ(hevc->getHeight(), 32u);
    EXPECT_EQ(hevc->getDataReferenceIndex(), 1u);
    EXPECT_EQ(hevc->getConfigurationBox().getConfiguration().getGeneralLevelIdc(), 93u);
    const auto* avc = dynamic_cast<const AvcSampleEntry*>(&box_.getSampleEntry(3));
    ASSERT_NE(avc, nullptr);
    EXPECT_EQ(avc->getConfigurationBox().getConfiguration().getAVCLevelIndication(), 30u);

    EXPECT_EQ(runtimeErrorOf([&] { box_.getSampleEntry(2); }),
              "SampleDescriptionBox::getSampleEntry invalid entry type.");
    for (std::uint32_t index : {0u, 5u}) {
        EXPECT_EQ(runtimeErrorOf([&] { box_.getSampleEntry(index); }),
                  "SampleDescriptionBox::getSampleEntry invalid sample entry index.")
            << index;
    }
}

TEST(SampleDescriptionBox, NonVisualEntryIsInvalidType)
{
    SampleDescriptionBox stsdBox;
    stsdBox.addSampleEntry(std::make_unique<SampleEntryBox>("mp4a"));
    EXPECT_EQ(runtimeErrorOf([&] { stsdBox.getSampleEntry(1); }),
              "SampleDescriptionBox::getSampleEntry invalid entry type.");
}

TEST(SampleDescriptionBox, Hev1KeepsItsType)
{
    const auto box_ = parsed<SampleDescriptionBox>(stsd({box("hev1", visualFields(8, 8).add(hvcC()))}));
    const auto* hevc = dynamic_cast<const HevcSampleEntry*>(&box_.getSampleEntry(1));
    ASSERT_NE(hevc, nullptr);
    EXPECT_EQ(hevc->getType(), FourCCInt("hev1"));
    EXPECT_EQ(hevc->getCodingConstraintsBox(), nullptr);
}

TEST(SampleDescriptionBox, CountBeyondDataThrowsOutOfRange)
{
    LogCapture log;
    EXPECT_THROW(parsed<SampleDescriptionBox>(fullBox("stsd", 0, 0, Bytes().u32(0xffffffff))), std::out_of_range);
    // Room for the count check (two headers' worth) but only one real entry.
    EXPECT_THROW(parsed<SampleDescriptionBox>(fullBox("stsd", 0, 0, Bytes().u32(2).add(box("xxxx", Bytes().zeros(8))))),
                 std::out_of_range);
}

TEST(SampleDescriptionBox, WritingAnEmptySlotIsRefused)
{
    LogCapture log;
    auto box_ = parsed<SampleDescriptionBox>(stsd({box("mp4v", visualFields(1, 1))}));
    BitStream out;
    EXPECT_EQ(runtimeErrorOf([&] { box_.writeBox(out); }),
              "SampleDescriptionBox::writeBox can not write file because an unknown sample entry type was present "
              "when the file was read.");
}

TEST(VisualSampleEntry, CompressorNameLengthLimit)
{
    const Bytes ok = box("hvc1", visualFields(1, 1, 31).add(hvcC()));
    EXPECT_NO_THROW(parsed<HevcSampleEntry>(ok));
    const Bytes tooLong = box("hvc1", visualFields(1, 1, 32).add(hvcC()));
    EXPECT_EQ(runtimeErrorOf([&] { parsed<HevcSampleEntry>(tooLong); }),
              "Too long compressorname string length read from VisualSampleEntry (>31 bytes).");
    EXPECT_THROW(VisualSampleEntryBox("hvc1", std::string(32, 'x')), std::runtime_error);
}

TEST(VisualSampleEntry, ClapOnlyDirectlyAfterTheFixedFields)
{
    LogCapture log;
    const auto first = parsed<HevcSampleEntry>(box("hvc1", visualFields(1, 1).add(clap()).add(hvcC())));
    ASSERT_NE(first.getClap(), nullptr);
    EXPECT_EQ(first.getClap()->getWidth().numerator, 600u);
    EXPECT_EQ(first.getClap()->getHeight().numerator, 400u);
    EXPECT_EQ(first.getConfigurationBox().getConfiguration().getLengthSizeMinusOne(), 3u);
    EXPECT_TRUE(log.lines().empty());

    const auto later = parsed<HevcSampleEntry>(box("hvc1", visualFields(1, 1).add(hvcC()).add(clap())));
    EXPECT_EQ(later.getClap(), nullptr);
    EXPECT_EQ(later.getConfigurationBox().getConfiguration().getGeneralLevelIdc(), 93u);
    EXPECT_TRUE(log.has(ambrel::log::Warning, "Skipping unknown box of type 'clap' inside HevcSampleEntry"));
}

TEST(VisualSampleEntry, CodingConstraints)
{
    const auto hevc = parsed<HevcSampleEntry>(box("hvc1", visualFields(1, 1).add(hvcC()).add(ccst(true, false, 5))));
    const CodingConstraintsBox* constraints = hevc.getCodingConstraintsBox();
    ASSERT_NE(constraints, nullptr);
    EXPECT_TRUE(constraints->getAllRefPicsIntra());
    EXPECT_FALSE(constraints->getIntraPredUsed());
    EXPECT_EQ(constraints->getMaxRefPerPic(), 5u);

    LogCapture log;
    const auto avc = parsed<AvcSampleEntry>(
        box("avc1", visualFields(1, 1).add(ccst(false, true, 15)).add(box("btrt", Bytes().zeros(12))).add(avcC())));
    ASSERT_NE(avc.getCodingConstraintsBox(), nullptr);
    EXPECT_TRUE(avc.getCodingConstraintsBox()->getIntraPredUsed());
    EXPECT_EQ(avc.getCodingConstraintsBox()->getMaxRefPerPic(), 15u);
    EXPECT_TRUE(log.has(ambrel::log::Warning, "Skipping unknown box of type 'btrt' inside AvcSampleEntry"));

    CodingConstraintsBox clamped;
    clamped.setMaxRefPerPic(200);
    EXPECT_EQ(clamped.getMaxRefPerPic(), 15u);
}

TEST(VisualSampleEntry, FieldsCutShortThrowOutOfRange)
{
    Bytes cut = visualFields(1, 1);
    const std::vector<std::uint8_t> shorter(cut.data().begin(), cut.data().end() - 3);
    EXPECT_THROW(parsed<HevcSampleEntry>(box("hvc1", Bytes().add(shorter))), std::out_of_range);
}

TEST(VisualSampleEntry, DefaultsOfNewEntries)
{
    HevcSampleEntry hevc;
    EXPECT_EQ(hevc.getType(), FourCCInt("hvc1"));
    EXPECT_EQ(hevc.getCompressorName(), "HEVC Coding");
    AvcSampleEntry avc;
    EXPECT_EQ(avc.getType(), FourCCInt("avc1"));
    EXPECT_EQ(avc.getCompressorName(), "AVC Coding");
}

// Writing a whole movie and reading it back checks that every writer puts its
// fields where the matching parser looks for them (the 32-byte compressor name
// field, the clean aperture before the configuration, 'tref' and 'edts').
TEST(MovieBox, RoundTrip)
{
    MovieBox moov;
    moov.getMovieHeaderBox().setTimescale(90000);
    moov.getMovieHeaderBox().setNextTrackId(2);

    auto track = std::make_unique<TrackBox>();
    track->getTrackHeaderBox().setTrackId(1);
    track->getTrackHeaderBox().setAlternateGroup(3);
    TrackReferenceTypeBox thmb("thmb");
    thmb.setTrackIds({5});
    track->getTrackReferenceBox().addTrefTypeBox(thmb);
    track->setHasTrackReferences(true);
    auto edit = std::make_shared<EditBox>();
    auto elst = std::make_shared<EditListBox>();
    elst->setVersion(1);
    elst->addEntry(EditListBox::EntryVersion1{1ull << 40, -1, 1, 0});
    edit->setEditListBox(elst);
    track->setEditBox(edit);

    MediaBox& media = track->getMediaBox();
    media.getHandlerBox().setHandlerType("pict");
    SampleTableBox& stbl = media.getMediaInformationBox().getSampleTableBox();
    auto entry = std::make_unique<HevcSampleEntry>();
    entry->setWidth(1280);
    entry->setHeight(720);
    entry->setClap(std::make_shared<CleanAperture>());
    CodingConstraintsBox constraints;
    constraints.setAllRefPicsIntra(true);
    entry->setCodingConstraintsBox(constraints);
    stbl.getSampleDescriptionBox().addSampleEntry(std::move(entry));
    stbl.getSampleToChunkBox().addEntry({1, 1, 1});
    stbl.getChunkOffsetBox().setChunkOffsets({4096});
    moov.addTrackBox(std::move(track));

    BitStream out;
    moov.writeBox(out);
    MovieBox back;
    BitStream in(out.getStorage());
    back.parseBox(in);

    EXPECT_EQ(back.getMovieHeaderBox().getTimescale(), 90000u);
    const auto tracks = back.getTracks();
    ASSERT_EQ(tracks.size(), 1u);
    const TrackBox& t = *tracks[0];
    EXPECT_EQ(t.getTrackHeaderBox().getAlternateGroup(), 3u);
    ASSERT_TRUE(t.getHasTrackReferences());
    EXPECT_EQ(t.getTrackReferenceBox().getTrefTypeBoxes().at(0).getTrackIds(), (std::vector<std::uint32_t>{5}));
    ASSERT_NE(t.getEditBox(), nullptr);
    EXPECT_EQ(t.getEditBox()->getEditListBox()->getEntriesVersion1().at(0).segmentDuration, 1ull << 40);

    const auto& sampleTable = t.getMediaBox().getMediaInformationBox().getSampleTableBox();
    const VisualSampleEntryBox& visual = sampleTable.getSampleDescriptionBox().getSampleEntry(1);
    EXPECT_EQ(visual.getWidth(), 1280u);
    EXPECT_EQ(visual.getHeight(), 720u);
    EXPECT_NE(visual.getClap(), nullptr);
    ASSERT_NE(visual.getCodingConstraintsBox(), nullptr);
    EXPECT_TRUE(visual.getCodingConstraintsBox()->getAllRefPicsIntra());
    EXPECT_EQ(sampleTable.getSampleToChunkBox().getSampleChunkIndex(0), 1u);
}

}  // namespace
