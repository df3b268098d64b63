#include <gtest/gtest.h>

#include <chrono>
#include <stdexcept>
#include <string>
#include <vector>

#include "heiclib/box_factory.h"
#include "heiclib/boxes/decoder_config_boxes.h"
#include "tests/box/test_bytes.h"

using namespace ambrel::heif;

using testbytes::box;
using testbytes::Bytes;
using testbytes::parsed;
using testbytes::written;
using ByteVec = std::vector<std::uint8_t>;

namespace {

ByteVec withStartCode(const ByteVec& unit)
{
    ByteVec out{0, 0, 0, 1};
    out.insert(out.end(), unit.begin(), unit.end());
    return out;
}

// The 22 fixed bytes of an 'hvcC' record with a distinct value in every field;
// reserved bits are 0 so that the parser is seen to ignore them.
Bytes hvccFixedFields()
{
    return Bytes()
        .u8(1)            // configurationVersion
        .u8(0x61)         // profile space 1, tier 1, profile idc 1
        .u32(0x60000000)  // compatibility flags
        .u8(0x90)
        .u8(0x11)
        .u8(0x22)
        .u8(0x33)
        .u8(0x44)
        .u8(0x55)     // constraint indicator flags
        .u8(93)       // level idc
        .u16(0x0123)  // reserved 4 bits, min_spatial_segmentation_idc 0x123
        .u8(0x02)     // parallelismType 2
        .u8(0x01)     // chroma_format_idc 1
        .u8(0x02)     // bit_depth_luma_minus8 2
        .u8(0x03)     // bit_depth_chroma_minus8 3
        .u16(0x1234)  // avgFrameRate
        .u8(0x5F);    // constantFrameRate 1, numTemporalLayers 3, nested 1, lengthSizeMinusOne 3
}

struct ArraySpec
{
    std::uint8_t type;
    std::vector<ByteVec> units;
    bool complete = true;
};

Bytes hevcArrays(const std::vector<ArraySpec>& arrays)
{
    Bytes b;
    b.u8(static_cast<std::uint32_t>(arrays.size()));
    for (const auto& a : arrays) {
        b.u8((a.complete ? 0x80u : 0u) | a.type).u16(static_cast<std::uint32_t>(a.units.size()));
        for (const auto& unit : a.units) {
            b.u16(static_cast<std::uint32_t>(unit.size())).add(unit);
        }
    }
    return b;
}

Bytes hvcc(const std::vector<ArraySpec>& arrays)
{
    return box("hvcC", Bytes().add(hvccFixedFields()).add(hevcArrays(arrays)));
}

// 'lhvC': version, reserved+min_spatial 0x0ABC, parallelism 3, numTemporalLayers 2,
// nested 1, lengthSizeMinusOne 3, then the arrays.
Bytes lhvc(const std::vector<ArraySpec>& arrays)
{
    return box("lhvC", Bytes().u8(1).u16(0xFABC).u8(0xFF).u8(0xD7).add(hevcArrays(arrays)));
}

const ByteVec kVps{0x40, 0x01, 0x0C};
const ByteVec kSps{0x42, 0x01, 0x01, 0x60};
const ByteVec kSps2{0x42, 0x01, 0x02};
const ByteVec kPps{0x44, 0x01, 0xC0};
const ByteVec kSei{0x4E, 0x01, 0x05};

TEST(HevcConfiguration, ParsesEveryFixedField)
{
    auto b = parsed<HevcConfigurationBox>(hvcc({}));
    const auto& r = b.getConfiguration();
    EXPECT_EQ(b.getType(), FourCCInt("hvcC"));
    EXPECT_EQ(r.getConfigurationVersion(), 1u);
    EXPECT_EQ(r.getGeneralProfileSpace(), 1u);
    EXPECT_EQ(r.getGeneralTierFlag(), 1u);
    EXPECT_EQ(r.getGeneralProfileIdc(), 1u);
    EXPECT_EQ(r.getGeneralProfileCompatibilityFlags(), 0x60000000u);
    EXPECT_EQ(r.getGeneralConstraintIndicatorFlags(),
              (std::array<std::uint8_t, 6>{0x90, 0x11, 0x22, 0x33, 0x44, 0x55}));
    EXPECT_EQ(r.getGeneralLevelIdc(), 93u);
    EXPECT_EQ(r.getMinSpatialSegmentationIdc(), 0x123u);
    EXPECT_EQ(r.getParallelismType(), 2u);
    EXPECT_EQ(r.getChromaFormatIdc(), 1u);
    EXPECT_EQ(r.getBitDepthLumaMinus8(), 2u);
    EXPECT_EQ(r.getBitDepthChromaMinus8(), 3u);
    EXPECT_EQ(r.getAvgFrameRate(), 0x1234u);
    EXPECT_EQ(r.getConstantFrameRate(), 1u);
    EXPECT_EQ(r.getNumTemporalLayers(), 3u);
    EXPECT_EQ(r.getTemporalIdNested(), 1u);
    EXPECT_EQ(r.getLengthSizeMinusOne(), 3u);
    EXPECT_EQ(r.getNumOfArrays(), 0u);
}

TEST(HevcConfiguration, MapTakesParameterSetsAndLeavesSeiInTheRecord)
{
    auto b = parsed<HevcConfigurationBox>(hvcc({{32, {kVps}}, {33, {kSps}}, {34, {kPps}}, {39, {kSei}, false}}));
    const auto& r = b.getConfiguration();
    ASSERT_EQ(r.getNumOfArrays(), 4u);
    EXPECT_EQ(r.getNalUnitArrays()[3].nalUnitType, 39u);
    EXPECT_EQ(r.getNalUnitArrays()[3].arrayCompleteness, 0u);
    EXPECT_EQ(r.getNalUnitArrays()[0].arrayCompleteness, 1u);

    const ParameterSetMap map = getConfigurationMap(r);
    EXPECT_EQ(map, (ParameterSetMap{
                       {"VPS", withStartCode(kVps)}, {"SPS", withStartCode(kSps)}, {"PPS", withStartCode(kPps)}}));
}

TEST(HevcConfiguration, MissingVpsIsPresentAndEmpty)
{
    auto b = parsed<HevcConfigurationBox>(hvcc({{33, {kSps}}, {34, {kPps}}}));
    const ParameterSetMap map = getConfigurationMap(b.getConfiguration());
    ASSERT_EQ(map.count("VPS"), 1u);
    EXPECT_TRUE(map.at("VPS").empty());
    EXPECT_EQ(map.at("SPS"), withStartCode(kSps));
}

TEST(HevcConfiguration, HevcTakesFirstUnitOnlyLayeredTakesAll)
{
    auto h = parsed<HevcConfigurationBox>(hvcc({{33, {kSps, kSps2}}}));
    ByteVec hevcOut;
    h.getConfiguration().getOneParameterSet(hevcOut, 33);
    EXPECT_EQ(hevcOut, withStartCode(kSps));

    auto l = parsed<LayeredHevcConfigurationItemProperty>(lhvc({{33, {kSps, kSps2}}}));
    ByteVec layeredOut;
    l.getConfiguration().getOneParameterSet(layeredOut, 33);
    ByteVec both = withStartCode(kSps);
    const ByteVec second = withStartCode(kSps2);
    both.insert(both.end(), second.begin(), second.end());
    EXPECT_EQ(layeredOut, both);
    EXPECT_EQ(getConfigurationMap(l.getConfiguration()).at("SPS"), both);
}

TEST(HevcConfiguration, ArraysOfOneTypeAreMergedKeepingTheFirstCompleteness)
{
    auto b = parsed<HevcConfigurationBox>(hvcc({{33, {kSps}, false}, {34, {kPps}}, {33, {kSps2}, true}}));
    const auto& arrays = b.getConfiguration().getNalUnitArrays();
    ASSERT_EQ(arrays.size(), 2u);
    EXPECT_EQ(arrays[0].nalUnitType, 33u);
    EXPECT_EQ(arrays[0].arrayCompleteness, 0u);
    EXPECT_EQ(arrays[0].nalUnits, (std::vector<ByteVec>{kSps, kSps2}));
}

TEST(HevcConfiguration, ParsingAgainReplacesTheArrays)
{
    HevcConfigurationBox b;
    auto first = testbytes::stream(hvcc({{33, {kSps}}}));
    b.parseBox(first);
    auto second = testbytes::stream(hvcc({{33, {kSps2}}}));
    b.parseBox(second);
    ASSERT_EQ(b.getConfiguration().getNalUnitArrays().size(), 1u);
    EXPECT_EQ(b.getConfiguration().getNalUnitArrays()[0].nalUnits, (std::vector<ByteVec>{kSps2}));
}

TEST(HevcConfiguration, StoredStartCodesAreStripped)
{
    auto b = parsed<HevcConfigurationBox>(hvcc({{33, {withStartCode(kSps)}}}));
    EXPECT_EQ(b.getConfiguration().getNalUnitArrays()[0].nalUnits[0], kSps);
    EXPECT_EQ(getConfigurationMap(b.getConfiguration()).at("SPS"), withStartCode(kSps));
}

TEST(LayeredHevcConfiguration, ParsesItsShortHeader)
{
    auto b = parsed<LayeredHevcConfigurationItemProperty>(lhvc({{32, {kVps}}}));
    const LHevcDecoderConfigRecord r = b.getConfiguration();
    EXPECT_EQ(b.getType(), FourCCInt("lhvC"));
    EXPECT_EQ(r.getConfigurationVersion(), 1u);
    EXPECT_EQ(r.getMinSpatialSegmentationIdc(), 0xABCu);
    EXPECT_EQ(r.getParallelismType(), 3u);
    EXPECT_EQ(r.getNumTemporalLayers(), 2u);  // 0xD7 = 11 010 1 11
    EXPECT_EQ(r.getTemporalIdNested(), 1u);
    EXPECT_EQ(r.getLengthSizeMinusOne(), 3u);
    const ParameterSetMap map = getConfigurationMap(r);
    EXPECT_EQ(map.at("VPS"), withStartCode(kVps));
    EXPECT_TRUE(map.at("SPS").empty());
    EXPECT_TRUE(map.at("PPS").empty());
}

// --- addNalUnit ---------------------------------------------------------------

TEST(NalUnitStartCode, OnlyTwoOrMoreZerosThenOneAreStripped)
{
    struct Case
    {
        ByteVec input;
        ByteVec stored;
    };
    const std::vector<Case> cases = {
        {{0, 0, 0, 1, 0x42, 0x01}, {0x42, 0x01}},
        {{0, 0, 1, 0x42}, {0x42}},
        {{0, 0, 0, 0, 0, 1, 0x42}, {0x42}},
        {{0, 0, 1}, {}},
        {{0, 1, 0x42}, {0, 1, 0x42}},
        {{0, 0, 2, 0x42}, {0, 0, 2, 0x42}},
        {{0, 0, 0}, {0, 0, 0}},
        {{0}, {0}},
        {{}, {}},
        {{0x42, 0, 0, 1}, {0x42, 0, 0, 1}},
    };
    for (const auto& c : cases) {
        HevcDecoderConfigRecord hevc;
        AvcDecoderConfigRecord avc;
        LHevcDecoderConfigRecord layered;
        hevc.addNalUnit(c.input, 33, 1);
        avc.addNalUnit(c.input, 7, 0);
        layered.addNalUnit(c.input, 33, 1);
        EXPECT_EQ(hevc.getNalUnitArrays()[0].nalUnits[0], c.stored) << "input size " << c.input.size();
        EXPECT_EQ(avc.getNalUnitArrays()[0].nalUnits[0], c.stored) << "input size " << c.input.size();
        EXPECT_EQ(layered.getNalUnitArrays()[0].nalUnits[0], c.stored) << "input size " << c.input.size();
    }
}

TEST(NalUnitStartCode, ExistingArrayKeepsItsCompleteness)
{
    HevcDecoderConfigRecord r;
    r.addNalUnit(kSps, 33, 1);
    r.addNalUnit(kPps, 34, 0);
    r.addNalUnit(kSps2, 33, 0);
    ASSERT_EQ(r.getNumOfArrays(), 2u);
    EXPECT_EQ(r.getNalUnitArrays()[0].arrayCompleteness, 1u);
    EXPECT_EQ(r.getNalUnitArrays()[0].nalUnits.size(), 2u);
    EXPECT_EQ(r.getNalUnitArrays()[1].arrayCompleteness, 0u);
}

TEST(NalUnitStartCode, EmptyArraysYieldNothing)
{
    HevcDecoderConfigRecord hevc;
    AvcDecoderConfigRecord avc;
    NalUnitArray empty;
    empty.nalUnitType = 33;
    hevc.setNalUnitArrays({empty});
    empty.nalUnitType = 7;
    avc.setNalUnitArrays({empty});
    ByteVec out{9};
    hevc.getOneParameterSet(out, 33);
    avc.getOneParameterSet(out, 7);
    EXPECT_EQ(out, ByteVec{9});
}

TEST(NalUnitStartCode, HevcUsesEveryMatchingArrayAvcOnlyTheFirst)
{
    NalUnitArray a;
    a.nalUnitType = 33;
    a.nalUnits = {kSps};
    NalUnitArray b = a;
    b.nalUnits = {kSps2};
    HevcDecoderConfigRecord hevc;
    hevc.setNalUnitArrays({a, b});
    ByteVec hevcOut;
    hevc.getOneParameterSet(hevcOut, 33);
    ByteVec both = withStartCode(kSps);
    const ByteVec second = withStartCode(kSps2);
    both.insert(both.end(), second.begin(), second.end());
    EXPECT_EQ(hevcOut, both);

    a.nalUnitType = b.nalUnitType = 7;
    AvcDecoderConfigRecord avc;
    avc.setNalUnitArrays({a, b});
    ByteVec avcOut;
    avc.getOneParameterSet(avcOut, 7);
    EXPECT_EQ(avcOut, withStartCode(kSps));
}

// --- avcC -------------------------------------------------------------------------

const ByteVec kAvcSps{0x67, 0x64, 0x00, 0x1F};
const ByteVec kAvcSps2{0x67, 0x42};
const ByteVec kAvcPps{0x68, 0xEE, 0x3C, 0x80};
const ByteVec kAvcExt{0x6D, 0x01};

// version 1, profile, compatibility 0, level 31, lengthSizeMinusOne 3 (reserved
// bits 0 here), the SPS and PPS lists.
Bytes avccBase(std::uint8_t profile, const std::vector<ByteVec>& sps, const std::vector<ByteVec>& pps)
{
    Bytes b = Bytes().u8(1).u8(profile).u8(0).u8(31).u8(0x03).u8(static_cast<std::uint32_t>(sps.size()));
    for (const auto& u : sps) {
        b.u16(static_cast<std::uint32_t>(u.size())).add(u);
    }
    b.u8(static_cast<std::uint32_t>(pps.size()));
    for (const auto& u : pps) {
        b.u16(static_cast<std::uint32_t>(u.size())).add(u);
    }
    return b;
}

TEST(AvcConfiguration, ConstructedDefaults)
{
    AvcConfigurationBox b;
    const auto& r = b.getConfiguration();
    EXPECT_EQ(b.getType(), FourCCInt("avcC"));
    EXPECT_EQ(r.getConfigurationVersion(), 1u);
    EXPECT_EQ(r.getAVCProfileIndication(), 66u);
    EXPECT_EQ(r.getProfileCompatibility(), 128u);
    EXPECT_EQ(r.getAVCLevelIndication(), 30u);
    EXPECT_EQ(r.getLengthSizeMinusOne(), 3u);
    EXPECT_TRUE(r.getNalUnitArrays().empty());
    EXPECT_EQ(HevcDecoderConfigRecord().getConfigurationVersion(), 1u);
    EXPECT_EQ(LHevcDecoderConfigRecord().getConfigurationVersion(), 1u);
}

TEST(AvcConfiguration, MapHasSpsAndPpsButNoVps)
{
    auto b = parsed<AvcConfigurationBox>(box("avcC", avccBase(66, {kAvcSps, kAvcSps2}, {kAvcPps})));
    const auto& r = b.getConfiguration();
    EXPECT_EQ(r.getAVCProfileIndication(), 66u);
    EXPECT_EQ(r.getAVCLevelIndication(), 31u);
    EXPECT_EQ(r.getLengthSizeMinusOne(), 3u);
    ASSERT_EQ(r.getNalUnitArrays().size(), 2u);
    EXPECT_EQ(r.getNalUnitArrays()[0].nalUnitType, 7u);
    EXPECT_EQ(r.getNalUnitArrays()[0].nalUnits.size(), 2u);
    EXPECT_EQ(r.getNalUnitArrays()[1].nalUnitType, 8u);
    EXPECT_EQ(getConfigurationMap(r),
              (ParameterSetMap{{"SPS", withStartCode(kAvcSps)}, {"PPS", withStartCode(kAvcPps)}}));
}

TEST(AvcConfiguration, ExtensionOnlyForHighProfiles)
{
    // Profile 66 with bytes after the PPS list: they are not an extension.
    const Bytes trailing = Bytes().u8(0xFD).u8(0xFA).u8(0xFB).u8(1).u16(2).add(kAvcExt);
    auto baseline = parsed<AvcConfigurationBox>(box("avcC", avccBase(66, {kAvcSps}, {kAvcPps}).add(trailing)));
    EXPECT_EQ(baseline.getConfiguration().getChromaFormat(), 0u);
    EXPECT_EQ(baseline.getConfiguration().getNalUnitArrays().size(), 2u);

    // Profile 100 that ends right after the PPS list: no extension, no error.
    auto shortHigh = parsed<AvcConfigurationBox>(box("avcC", avccBase(100, {kAvcSps}, {kAvcPps})));
    EXPECT_EQ(shortHigh.getConfiguration().getNalUnitArrays().size(), 2u);

    for (std::uint8_t profile : {100, 110, 122, 144}) {
        auto high = parsed<AvcConfigurationBox>(box("avcC", avccBase(profile, {kAvcSps}, {kAvcPps}).add(trailing)));
        const auto& r = high.getConfiguration();
        EXPECT_EQ(r.getChromaFormat(), 1u) << int(profile);
        EXPECT_EQ(r.getBitDepthLumaMinus8(), 2u) << int(profile);
        EXPECT_EQ(r.getBitDepthChromaMinus8(), 3u) << int(profile);
        ASSERT_EQ(r.getNalUnitArrays().size(), 3u) << int(profile);
        EXPECT_EQ(r.getNalUnitArrays()[2].nalUnitType, 13u);
        EXPECT_EQ(r.getNalUnitArrays()[2].nalUnits[0], kAvcExt);
    }
}

TEST(AvcConfiguration, ExtensionCutShortThrows)
{
    const Bytes cut = avccBase(100, {kAvcSps}, {kAvcPps}).u8(0xFD).u8(0xFA);
    EXPECT_THROW(parsed<AvcConfigurationBox>(box("avcC", cut)), std::out_of_range);
}

// --- hostile counts and short data ---------------------------------------------

TEST(DecoderConfigHostile, CountsLargerThanTheDataThrowAtOnce)
{
    const auto start = std::chrono::steady_clock::now();
    const std::vector<std::pair<std::string, Bytes>> cases = {
        {"hvcC 255 arrays", box("hvcC", Bytes().add(hvccFixedFields()).u8(255))},
        {"hvcC 65535 units", box("hvcC", Bytes().add(hvccFixedFields()).u8(1).u8(0xA1).u16(0xFFFF).u16(0))},
        {"lhvC 255 arrays", box("lhvC", Bytes().u8(1).u16(0).u8(0).u8(0).u8(255).u8(0x21))},
        {"avcC 31 SPS", box("avcC", Bytes().u8(1).u8(66).u8(0).u8(30).u8(0xFF).u8(0xFF).u16(1))},
        {"avcC 255 PPS", box("avcC", Bytes().u8(1).u8(66).u8(0).u8(30).u8(0xFF).u8(0xE0).u8(255).u16(0))},
        {"avcC 255 SPS ext", box("avcC", avccBase(100, {}, {}).u8(0xFD).u8(0xF8).u8(0xF8).u8(255).u8(0))},
    };
    // The count is refused before any unit is read: the error names the record.
    for (const auto& [name, bytes] : cases) {
        std::string recordName;
        try {
            if (name.rfind("hvcC", 0) == 0) {
                recordName = "HevcDecoderConfigRecord::parseDecConfigRecord";
                parsed<HevcConfigurationBox>(bytes);
            } else if (name.rfind("lhvC", 0) == 0) {
                recordName = "LHevcDecoderConfigRecord::parseDecConfigRecord";
                parsed<LayeredHevcConfigurationItemProperty>(bytes);
            } else {
                recordName = "AvcDecoderConfigRecord::parseDecConfigRecord";
                parsed<AvcConfigurationBox>(bytes);
            }
            ADD_FAILURE() << "no exception for " << name;
        } catch (const std::out_of_range& e) {
            EXPECT_NE(std::string(e.what()).find(recordName), std::string::npos) << name << ": " << e.what();
        }
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
}

TEST(DecoderConfigHostile, UnitLongerThanTheBoxThrows)
{
    EXPECT_THROW(parsed<HevcConfigurationBox>(
                     box("hvcC", Bytes().add(hvccFixedFields()).u8(1).u8(0xA1).u16(1).u16(50).u8(0x42))),
                 std::out_of_range);
    EXPECT_THROW(
        parsed<AvcConfigurationBox>(box("avcC", Bytes().u8(1).u8(66).u8(0).u8(30).u8(0xFF).u8(0xE1).u16(9).u8(0x67))),
        std::out_of_range);
}

TEST(DecoderConfigHostile, FixedFieldsCutShortThrow)
{
    const Bytes fixed = hvccFixedFields();
    const ByteVec full = fixed.data();
    EXPECT_THROW(parsed<HevcConfigurationBox>(box("hvcC", Bytes().add(ByteVec(full.begin(), full.begin() + 10)))),
                 std::out_of_range);
    // All fixed fields but no array count.
    EXPECT_THROW(parsed<HevcConfigurationBox>(box("hvcC", fixed)), std::out_of_range);
    EXPECT_THROW(parsed<LayeredHevcConfigurationItemProperty>(box("lhvC", Bytes().u8(1).u16(0))), std::out_of_range);
    EXPECT_THROW(parsed<AvcConfigurationBox>(box("avcC", Bytes().u8(1).u8(66).u8(0).u8(30).u8(0xFF))),
                 std::out_of_range);
    // The PPS count is missing.
    EXPECT_THROW(parsed<AvcConfigurationBox>(box("avcC", Bytes().u8(1).u8(66).u8(0).u8(30).u8(0xFF).u8(0xE0))),
                 std::out_of_range);
}

// --- writing ----------------------------------------------------------------------

TEST(DecoderConfigWrite, HevcRoundTripSetsReservedBits)
{
    auto original = parsed<HevcConfigurationBox>(hvcc({{32, {kVps}}, {33, {kSps, kSps2}}, {34, {kPps}, false}}));
    const ByteVec bytes = written(original);
    ASSERT_EQ(bytes.size(), 8u + 22u + 1u + 3 * 3u + 2u * 4 + kVps.size() + kSps.size() + kSps2.size() + kPps.size());
    EXPECT_EQ(bytes[8 + 13], 0xF1);  // reserved 1111 above min_spatial_segmentation_idc 0x123
    EXPECT_EQ(bytes[8 + 15], 0xFE);  // parallelismType 2
    EXPECT_EQ(bytes[8 + 18], 0xFB);  // bit_depth_chroma_minus8 3
    // The array header's reserved bit is 0, unlike the reserved bits of the
    // fixed fields: completeness 1, reserved 0, NAL unit type 32.
    EXPECT_EQ(bytes[8 + 22 + 1], 0xA0);

    auto again = parsed<HevcConfigurationBox>(Bytes().add(bytes));
    const auto& a = original.getConfiguration();
    const auto& b = again.getConfiguration();
    EXPECT_EQ(b.getMinSpatialSegmentationIdc(), a.getMinSpatialSegmentationIdc());
    EXPECT_EQ(b.getAvgFrameRate(), a.getAvgFrameRate());
    EXPECT_EQ(b.getGeneralConstraintIndicatorFlags(), a.getGeneralConstraintIndicatorFlags());
    ASSERT_EQ(b.getNumOfArrays(), 3u);
    EXPECT_EQ(b.getNalUnitArrays()[1].nalUnits, (std::vector<ByteVec>{kSps, kSps2}));
    EXPECT_EQ(b.getNalUnitArrays()[2].arrayCompleteness, 0u);
    EXPECT_EQ(getConfigurationMap(b), getConfigurationMap(a));
}

TEST(DecoderConfigWrite, LayeredRoundTrip)
{
    auto original = parsed<LayeredHevcConfigurationItemProperty>(lhvc({{33, {kSps, kSps2}}, {34, {kPps}}}));
    const ByteVec bytes = written(original);
    auto again = parsed<LayeredHevcConfigurationItemProperty>(Bytes().add(bytes));
    EXPECT_EQ(again.getConfiguration().getNumTemporalLayers(), 2u);
    EXPECT_EQ(again.getConfiguration().getMinSpatialSegmentationIdc(), 0xABCu);
    EXPECT_EQ(getConfigurationMap(again.getConfiguration()), getConfigurationMap(original.getConfiguration()));
}

TEST(DecoderConfigWrite, AvcExtensionOnlyForHighProfiles)
{
    AvcDecoderConfigRecord r;
    r.addNalUnit(withStartCode(kAvcSps), 7, 0);
    r.addNalUnit(kAvcPps, 8, 0);
    r.addNalUnit(kAvcExt, 13, 0);
    r.setChromaFormat(1);
    r.setBitDepthLumaMinus8(2);
    r.setBitDepthChromaMinus8(3);

    AvcConfigurationBox baseline;
    baseline.setConfiguration(r);
    const ByteVec baselineBytes = written(baseline);
    EXPECT_EQ(
        baselineBytes,
        box("avcC", Bytes().u8(1).u8(66).u8(128).u8(30).u8(0xFF).u8(0xE1).u16(4).add(kAvcSps).u8(1).u16(4).add(kAvcPps))
            .data());

    r.setAVCProfileIndication(100);
    AvcConfigurationBox high;
    high.setConfiguration(r);
    auto again = parsed<AvcConfigurationBox>(Bytes().add(written(high)));
    EXPECT_EQ(again.getConfiguration().getChromaFormat(), 1u);
    EXPECT_EQ(again.getConfiguration().getBitDepthChromaMinus8(), 3u);
    ASSERT_EQ(again.getConfiguration().getNalUnitArrays().size(), 3u);
    EXPECT_EQ(again.getConfiguration().getNalUnitArrays()[2].nalUnits[0], kAvcExt);
}

TEST(DecoderConfigWrite, AvcCountsBeyondTheirFieldsAreRefused)
{
    struct Case
    {
        std::uint8_t type;
        std::size_t fits;
        const char* text;
    };
    const std::vector<Case> cases = {
        {7, 31,
         "AvcDecoderConfigRecord::writeDecConfigRecord() cannot write 32 SPS NAL units; the count field holds at most "
         "31."},
        {8, 255,
         "AvcDecoderConfigRecord::writeDecConfigRecord() cannot write 256 PPS NAL units; the count field holds at most "
         "255."},
        {13, 255,
         "AvcDecoderConfigRecord::writeDecConfigRecord() cannot write 256 SPS extension NAL units; the count field "
         "holds at most 255."},
    };
    for (const auto& c : cases) {
        AvcDecoderConfigRecord r;
        r.setAVCProfileIndication(100);
        for (std::size_t i = 0; i < c.fits; ++i) {
            r.addNalUnit({0x60, static_cast<std::uint8_t>(i)}, c.type, 0);
        }
        AvcConfigurationBox fits;
        fits.setConfiguration(r);
        auto again = parsed<AvcConfigurationBox>(Bytes().add(written(fits)));
        EXPECT_EQ(again.getConfiguration().getNalUnitArrays()[0].nalUnits.size(), c.fits) << c.text;

        r.addNalUnit({0x60}, c.type, 0);
        AvcConfigurationBox tooMany;
        tooMany.setConfiguration(r);
        BitStream out;
        try {
            tooMany.writeBox(out);
            ADD_FAILURE() << "no exception for " << c.text;
        } catch (const std::runtime_error& e) {
            EXPECT_STREQ(e.what(), c.text);
        }
        EXPECT_EQ(out.byteCount(), 0u) << "a refused record must leave nothing behind";
    }
}

TEST(DecoderConfigWrite, OverlongUnitIsRefused)
{
    HevcDecoderConfigRecord r;
    r.addNalUnit(ByteVec(70000, 0x42), 33, 1);
    HevcConfigurationBox b;
    b.setConfiguration(r);
    BitStream out;
    EXPECT_THROW(b.writeBox(out), std::runtime_error);
    EXPECT_EQ(out.byteCount(), 0u);
}

}  // namespace

// --- AV1, JPEG and uncompressed configurations ------------------------------------

namespace {

Bytes av1c(std::uint8_t first)
{
    // marker/version, profile 1 level 13, tier 1 high 1 twelve 0 mono 0 x 1 y 0 pos 2, delay 5, one OBU
    return box("av1C", Bytes().u8(first).u8(0x2D).u8(0xCA).u8(0x15).add(ByteVec{0x0A, 0x01, 0x00}));
}

Bytes uncc(std::uint32_t components)
{
    Bytes b;
    b.u32(0).u32(components);
    for (std::uint32_t i = 0; i < components; ++i) {
        b.u16(i).u8(7).u8(0).u8(0);
    }
    return fullBox("uncC", 0, 0, b.u8(0).u8(1).u8(0).u8(0xA9).u32(3).u32(4).u32(0).u32(1).u32(0));
}

// Parses the box by the class the factory makes for its type, and writes it back.
ByteVec parsedAndWritten(const ByteVec& bytes)
{
    BitStream in(bytes);
    const auto box = parseBoxOfType(FourCCInt(std::string(bytes.begin() + 4, bytes.begin() + 8)), in);
    BitStream out;
    box->writeBox(out);
    return out.getStorage();
}

const std::vector<std::pair<const char*, Bytes>>& configRows()
{
    static const std::vector<std::pair<const char*, Bytes>> rows = {
        {"av1C", av1c(0x81)},
        {"jpgC", box("jpgC", Bytes().u8(0xFF).u8(0xD8).u8(0xFF).u8(0xDB))},
        {"uncC v0", uncc(3)},
        {"uncC v1", fullBox("uncC", 1, 0, Bytes().str("rgb3"))},
        {"cmpd", box("cmpd", Bytes().u32(3).u16(4).u16(0x8001).cstr("urn:x").u16(7))},
        {"cmpC", fullBox("cmpC", 0, 0, Bytes().str("brot").u8(3))},
        {"icef implicit offsets", fullBox("icef", 0, 0, Bytes().u8(0x08).u32(2).u24(70000).u24(5))},
        {"icef 64-bit", fullBox("icef", 0, 0, Bytes().u8(0x8F).u32(1).u64(1ull << 40).u32(9))},
    };
    return rows;
}

TEST(CodecConfigurations, WriteBackTheirOwnBytesAndRefuseBeingCutShort)
{
    for (const auto& [name, bytes] : configRows()) {
        EXPECT_EQ(parsedAndWritten(bytes), bytes.data()) << name;
        if (std::string(name) == "jpgC") {
            continue;  // the prefix is whatever the box holds, even nothing
        }
        // 'av1C' ends in its configOBUs, of any length: cut inside the fixed fields.
        const std::size_t last = std::string(name) == "av1C" ? 11 : bytes.size() - 1;
        for (const std::size_t keep : {std::size_t{8}, last}) {
            const ByteVec cut(bytes.data().begin(), bytes.data().begin() + static_cast<std::ptrdiff_t>(keep));
            EXPECT_THROW(parsedAndWritten(cut), std::out_of_range) << name << " cut to " << keep;
        }
    }
}

TEST(CodecConfigurations, FieldsAreReadWhereTheyStand)
{
    const auto av1 = parsed<Av1CodecConfigurationBox>(av1c(0x81)).getConfiguration();
    EXPECT_EQ((std::vector<unsigned>{av1.seqProfile, av1.seqLevelIdx0, av1.bitDepth(), av1.chromaSubsamplingX,
                                     av1.chromaSubsamplingY, av1.chromaSamplePosition,
                                     av1.initialPresentationDelayPresent, av1.initialPresentationDelayMinusOne}),
              (std::vector<unsigned>{1, 13, 10, 1, 0, 2, 1, 5}));
    EXPECT_EQ(av1.configObus, (ByteVec{0x0A, 0x01, 0x00}));
    const auto l = parsed<UncompressedFrameConfigBox>(uncc(3)).getLayout();
    ASSERT_EQ(l.components.size(), 3u);
    EXPECT_EQ((std::vector<unsigned>{l.components[2].index, l.interleaveType, l.componentsLittleEndian, l.blockPadLsb,
                                     l.blockLittleEndian, l.blockReversed, l.padUnknown, l.reservedBits, l.rowAlignSize,
                                     l.numTileColsMinusOne}),
              (std::vector<unsigned>{2, 1, 1, 0, 1, 0, 1, 1, 4, 1}));
    EXPECT_EQ(parsed<ComponentDefinitionBox>(configRows()[4].second).getComponents().at(1).uri, "urn:x");
    const auto units = parsed<CompressedUnitsInfoBox>(configRows()[6].second).getUnits();
    ASSERT_EQ(units.size(), 2u);
    EXPECT_EQ(units[1].offset, 70000u);  // implied by the size before it
}

TEST(CodecConfigurations, MalformedOnesAreRefusedByName)
{
    const std::pair<Bytes, const char*> rows[] = {
        {av1c(0x01), "Av1CodecConfigurationBox"},
        {av1c(0x82), "Av1CodecConfigurationBox"},
        {fullBox("uncC", 2, 0, Bytes().u32(0)), "UncompressedFrameConfigBox"},
        {uncc(257), "kMaxImageComponents"},
        {box("cmpd", Bytes().u32(0xFFFFFFFF)), "kMaxImageComponents"},
        {fullBox("cmpC", 1, 0, Bytes().str("defl").u8(0)), "CompressionConfigurationBox"},
        {fullBox("icef", 0, 0, Bytes().u8(0xA0).u32(0)), "CompressedUnitsInfoBox"},
        {fullBox("icef", 0, 0, Bytes().u8(0).u32(0x7FFFFFFF)), "kMaxCompressedUnits"},
    };
    for (const auto& [bytes, named] : rows) {
        try {
            parsedAndWritten(bytes);
            ADD_FAILURE() << "no exception, expected one naming " << named;
        } catch (const std::runtime_error& e) {
            EXPECT_NE(std::string(e.what()).find(named), std::string::npos) << e.what();
        }
    }
    // A count the bytes cannot hold, below the limit: cut short.
    EXPECT_THROW(parsed<CompressedUnitsInfoBox>(fullBox("icef", 0, 0, Bytes().u8(0).u32(1000))), std::out_of_range);
    // Units whose offsets or sizes their codes cannot hold are not written.
    CompressedUnitsInfoBox icef;
    icef.setCodes(1, 0);
    icef.setUnits({{0, 256}});
    BitStream out;
    EXPECT_THROW(icef.writeBox(out), std::runtime_error);
}

}  // namespace
