#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "heiclib/boxes/image_property_boxes.h"
#include "tests/box/test_bytes.h"

using namespace ambrel::heif;

using testbytes::box;
using testbytes::Bytes;
using testbytes::fullBox;
using testbytes::parsed;
using testbytes::written;
using ByteVec = std::vector<std::uint8_t>;

namespace {

TEST(ImageSpatialExtents, ReadsWidthAndHeightWhateverTheVersion)
{
    auto b = parsed<ImageSpatialExtentsProperty>(fullBox("ispe", 0, 0, Bytes().u32(4032).u32(3024)));
    EXPECT_EQ(b.getWidth(), 4032u);
    EXPECT_EQ(b.getHeight(), 3024u);
    EXPECT_EQ(b.getType(), FourCCInt("ispe"));

    auto odd = parsed<ImageSpatialExtentsProperty>(fullBox("ispe", 7, 0x123456, Bytes().u32(1).u32(2)));
    EXPECT_EQ(odd.getVersion(), 7u);
    EXPECT_EQ(odd.getFlags(), 0x123456u);
    EXPECT_EQ(odd.getWidth(), 1u);
    EXPECT_EQ(odd.getHeight(), 2u);

    ImageSpatialExtentsProperty made(640, 480);
    EXPECT_EQ(written(made), fullBox("ispe", 0, 0, Bytes().u32(640).u32(480)).data());
}

TEST(ImageRotationProperty, AngleIsTheLowTwoBitsTimesNinety)
{
    const std::vector<std::pair<std::uint8_t, std::int32_t>> cases = {
        {0x00, 0}, {0x01, 90}, {0x02, 180}, {0x03, 270}, {0xFF, 270}, {0xFC, 0}, {0x81, 90},
    };
    for (const auto& [byte, angle] : cases) {
        auto b = parsed<ImageRotation>(box("irot", Bytes().u8(byte)));
        EXPECT_EQ(b.getAngle(), angle) << "byte " << int(byte);
    }
    EXPECT_EQ(ImageRotation().getAngle(), 0);
}

TEST(ImageRotationProperty, WritesQuarterTurnsAndRefusesOtherAngles)
{
    ImageRotation r;
    r.setAngle(270);
    EXPECT_EQ(written(r), box("irot", Bytes().u8(0x03)).data());
    r.setAngle(45);
    BitStream out;
    try {
        r.writeBox(out);
        FAIL() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(
            e.what(),
            "ImageRotation::writeBox() cannot write an angle of 45 degrees; only 0, 90, 180 and 270 can be stored.");
    }
    EXPECT_EQ(out.byteCount(), 0u);
}

TEST(ImageMirrorProperty, AxisIsTheLowBit)
{
    EXPECT_TRUE(ImageMirror().getAxis());
    EXPECT_FALSE(parsed<ImageMirror>(box("imir", Bytes().u8(0x00))).getAxis());
    EXPECT_TRUE(parsed<ImageMirror>(box("imir", Bytes().u8(0x01))).getAxis());
    EXPECT_FALSE(parsed<ImageMirror>(box("imir", Bytes().u8(0xFE))).getAxis());

    ImageMirror m;
    EXPECT_EQ(written(m), box("imir", Bytes().u8(0x01)).data());
    m.setAxis(false);
    EXPECT_EQ(written(m), box("imir", Bytes().u8(0x00)).data());
}

TEST(CleanApertureProperty, FourFractionsInFileOrder)
{
    CleanAperture fresh;
    for (const auto& f :
         {fresh.getWidth(), fresh.getHeight(), fresh.getHorizontalOffset(), fresh.getVerticalOffset()}) {
        EXPECT_EQ(f.numerator, 0u);
        EXPECT_EQ(f.denominator, 1u);
    }

    // A negative horizontal offset numerator (-3) is kept as its 32-bit word.
    auto c = parsed<CleanAperture>(
        box("clap", Bytes().u32(1920).u32(1).u32(1080).u32(2).u32(0xFFFFFFFD).u32(4).u32(5).u32(6)));
    EXPECT_EQ(c.getWidth().numerator, 1920u);
    EXPECT_EQ(c.getWidth().denominator, 1u);
    EXPECT_EQ(c.getHeight().numerator, 1080u);
    EXPECT_EQ(c.getHeight().denominator, 2u);
    EXPECT_EQ(c.getHorizontalOffset().numerator, 0xFFFFFFFDu);
    EXPECT_EQ(c.getHorizontalOffset().denominator, 4u);
    EXPECT_EQ(c.getVerticalOffset().numerator, 5u);
    EXPECT_EQ(c.getVerticalOffset().denominator, 6u);
}

TEST(RelativeLocation, ReadsBothOffsets)
{
    auto r = parsed<ImageRelativeLocationProperty>(fullBox("rloc", 0, 0, Bytes().u32(100).u32(0x80000000)));
    EXPECT_EQ(r.getHorizontalOffset(), 100u);
    EXPECT_EQ(r.getVerticalOffset(), 0x80000000u);
}

TEST(AuxiliaryType, TextThenRemainingBytesAsSubtype)
{
    const std::string urn = "urn:mpeg:hevc:2015:auxid:1";
    auto a = parsed<AuxiliaryTypeProperty>(fullBox("auxC", 0, 0, Bytes().cstr(urn).u8(0xAB).u8(0xCD)));
    EXPECT_EQ(a.getAuxType(), urn);
    EXPECT_EQ(a.getAuxSubType(), (ByteVec{0xAB, 0xCD}));

    auto plain = parsed<AuxiliaryTypeProperty>(fullBox("auxC", 0, 0, Bytes().cstr(urn)));
    EXPECT_TRUE(plain.getAuxSubType().empty());

    // A second parse replaces the subtype rather than adding to it.
    auto s1 = testbytes::stream(fullBox("auxC", 0, 0, Bytes().cstr("a").u8(1).u8(2)));
    auto s2 = testbytes::stream(fullBox("auxC", 0, 0, Bytes().cstr("b").u8(3)));
    AuxiliaryTypeProperty twice;
    twice.parseBox(s1);
    twice.parseBox(s2);
    EXPECT_EQ(twice.getAuxType(), "b");
    EXPECT_EQ(twice.getAuxSubType(), ByteVec{3});

    EXPECT_EQ(written(a), fullBox("auxC", 0, 0, Bytes().cstr(urn).u8(0xAB).u8(0xCD)).data());
}

TEST(AuxiliaryType, MissingTerminatorThrows)
{
    EXPECT_THROW(parsed<AuxiliaryTypeProperty>(fullBox("auxC", 0, 0, Bytes().str("urn:x"))), std::out_of_range);
}

TEST(LayerProperties, LayerSelectorAndTargetOls)
{
    EXPECT_EQ(parsed<LayerSelectorProperty>(box("lsel", Bytes().u16(0x1234))).getLayerId(), 0x1234u);
    EXPECT_EQ(parsed<TargetOlsProperty>(fullBox("tols", 0, 0, Bytes().u16(0xBEEF))).getTargetOlsIndex(), 0xBEEFu);
    LayerSelectorProperty lsel(7);
    EXPECT_EQ(written(lsel), box("lsel", Bytes().u16(7)).data());
    TargetOlsProperty tols(3);
    EXPECT_EQ(written(tols), fullBox("tols", 0, 0, Bytes().u16(3)).data());
    EXPECT_EQ(LayerSelectorProperty().getLayerId(), 0u);
    EXPECT_EQ(TargetOlsProperty().getTargetOlsIndex(), 0u);
}

// --- 'oinf' -----------------------------------------------------------------------

// Scalability mask with bits 1 and 2 set; one profile-tier-level entry; two
// operating points that share output layer set index 1; two layer dependencies.
Bytes oinfPayload(bool rateInformation = false)
{
    return Bytes()
        .u16(0x0006)
        .u8(0x01)  // reserved 2 bits, 1 PTL entry
        .u8(0x62)
        .u32(0x40000000)
        .u8(0x90)
        .zeros(5)
        .u8(120)  // space 1, tier 1, idc 2
        .u16(2)
        // operating point 1
        .u16(1)
        .u8(6)
        .u8(2)
        .u8(0)
        .u8(0x02)  // layer id 0, output
        .u8(0)
        .u8(0x07)  // layer id 1, output, alternate
        .u16(320)
        .u16(240)
        .u16(1920)
        .u16(1080)
        .u8(rateInformation ? 0x53 : 0x50)  // chroma 1, bit depth minus 8 2, [frame-rate and bit-rate flags]
        .add(rateInformation ? Bytes().u16(7680).u8(0x01).u32(5000000).u32(4000000) : Bytes())
        // operating point 2, same index
        .u16(1)
        .u8(0)
        .u8(1)
        .u8(0)
        .u8(0x14)
        .u16(1)
        .u16(1)
        .u16(640)
        .u16(480)
        .u8(0)
        .u8(2)
        .u8(0)
        .u8(0)
        .u8(10)
        .u8(11)  // layer 0: no references, dimension ids 10 11
        .u8(1)
        .u8(1)
        .u8(0)
        .u8(20)
        .u8(21);  // layer 1: references layer 0
}

TEST(OperatingPoints, ParsesEveryList)
{
    auto o = parsed<OperatingPointsInformation>(fullBox("oinf", 0, 0, oinfPayload()));
    EXPECT_EQ(o.getScalabilityMask(), 0x0006u);

    ASSERT_EQ(o.getProfileTierLevels().size(), 1u);
    const auto& ptl = o.getProfileTierLevels()[0];
    EXPECT_EQ(ptl.generalProfileSpace, 1u);
    EXPECT_EQ(ptl.generalTierFlag, 1u);
    EXPECT_EQ(ptl.generalProfileIdc, 2u);
    EXPECT_EQ(ptl.generalProfileCompatibilityFlags, 0x40000000u);
    EXPECT_EQ(ptl.generalConstraintIndicatorFlags[0], 0x90u);
    EXPECT_EQ(ptl.generalLevelIdc, 120u);

    ASSERT_EQ(o.getOperatingPoints().size(), 2u);
    const auto& op = o.getOperatingPoints()[0];
    EXPECT_EQ(op.outputLayerSetIdx, 1u);
    ASSERT_EQ(op.layers.size(), 2u);
    EXPECT_EQ(op.layers[1].layerId, 1u);
    EXPECT_TRUE(op.layers[1].isOutputLayer);
    EXPECT_TRUE(op.layers[1].isAlternateOutputLayer);
    EXPECT_FALSE(op.layers[0].isAlternateOutputLayer);
    EXPECT_EQ(op.minPicWidth, 320u);
    EXPECT_EQ(op.minPicHeight, 240u);
    EXPECT_EQ(op.maxChromaFormat, 1u);
    EXPECT_EQ(op.maxBitDepthMinus8, 2u);
    EXPECT_EQ(o.getOperatingPoints()[1].layers[0].layerId, 5u);

    ASSERT_EQ(o.getLayerDependencies().size(), 2u);
    EXPECT_TRUE(o.getLayerDependencies()[0].directRefLayerIds.empty());
    EXPECT_EQ(o.getLayerDependencies()[0].dimensionIdentifiers, (ByteVec{10, 11}));
    EXPECT_EQ(o.getLayerDependencies()[1].directRefLayerIds, ByteVec{0});
    EXPECT_EQ(o.getLayerDependencies()[1].dimensionIdentifiers, (ByteVec{20, 21}));
}

TEST(OperatingPoints, FrameRateAndBitRateInformationIsSkipped)
{
    // The first operating point carries frame-rate and bit-rate fields; the
    // second operating point and the layer dependencies follow them.
    auto o = parsed<OperatingPointsInformation>(fullBox("oinf", 0, 0, oinfPayload(true)));
    ASSERT_EQ(o.getOperatingPoints().size(), 2u);
    EXPECT_EQ(o.getOperatingPoints()[0].maxBitDepthMinus8, 2u);
    EXPECT_EQ(o.getOperatingPoints()[1].layers[0].layerId, 5u);
    EXPECT_EQ(o.getOperatingPoints()[1].maxPicWidth, 640u);
    ASSERT_EQ(o.getLayerDependencies().size(), 2u);
    EXPECT_EQ(o.getLayerDependencies()[1].dimensionIdentifiers, (ByteVec{20, 21}));
    EXPECT_EQ(written(o), fullBox("oinf", 0, 0, oinfPayload(true)).data());  // the rates written back
}

TEST(OperatingPoints, LookupsUseTheFirstMatchingOperatingPoint)
{
    auto o = parsed<OperatingPointsInformation>(fullBox("oinf", 0, 0, oinfPayload()));
    const auto extents = o.getExtents(1);
    EXPECT_EQ(extents.width, 1920u);
    EXPECT_EQ(extents.height, 1080u);
    EXPECT_EQ(o.getLayerIds(1), (ByteVec{0, 1}));

    try {
        o.getExtents(2);
        ADD_FAILURE() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "OperatingPointsInformation::getExtents() requested output layer set index not found.");
    }
    try {
        o.getLayerIds(0);
        ADD_FAILURE() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "OperatingPointsInformation::getLayerIds() requested output layer set index not found.");
    }
    EXPECT_THROW(OperatingPointsInformation().getExtents(0), std::runtime_error);
}

TEST(OperatingPoints, RoundTrip)
{
    auto o = parsed<OperatingPointsInformation>(fullBox("oinf", 0, 0, oinfPayload()));
    auto again = parsed<OperatingPointsInformation>(Bytes().add(written(o)));
    EXPECT_EQ(again.getScalabilityMask(), o.getScalabilityMask());
    EXPECT_EQ(again.getProfileTierLevels()[0].generalConstraintIndicatorFlags,
              o.getProfileTierLevels()[0].generalConstraintIndicatorFlags);
    ASSERT_EQ(again.getOperatingPoints().size(), 2u);
    EXPECT_EQ(again.getOperatingPoints()[0].maxBitDepthMinus8, 2u);
    EXPECT_EQ(again.getLayerIds(1), o.getLayerIds(1));
    EXPECT_EQ(again.getLayerDependencies()[1].dimensionIdentifiers, (ByteVec{20, 21}));

    // A dimension identifier list that does not match the mask is refused.
    auto deps = o.getLayerDependencies();
    deps[0].dimensionIdentifiers.pop_back();
    o.setLayerDependencies(deps);
    BitStream out;
    EXPECT_THROW(o.writeBox(out), std::runtime_error);
    EXPECT_EQ(out.byteCount(), 0u);
}

TEST(OperatingPoints, HostileCountsThrowAtOnce)
{
    const auto start = std::chrono::steady_clock::now();
    const std::vector<std::pair<std::string, Bytes>> cases = {
        {"63 PTL entries", Bytes().u16(0).u8(0x3F).zeros(12)},
        {"65535 operating points", Bytes().u16(0).u8(0).u16(0xFFFF).zeros(13)},
        {"255 layers", Bytes().u16(0).u8(0).u16(1).u16(0).u8(0).u8(255).zeros(10)},
        {"255 dependencies", Bytes().u16(0).u8(0).u16(0).u8(255).zeros(2)},
        {"255 reference layers", Bytes().u16(0).u8(0).u16(0).u8(1).u8(0).u8(255).zeros(3)},
    };
    for (const auto& [name, payload] : cases) {
        // Refused by the count check, before any entry is read.
        try {
            parsed<OperatingPointsInformation>(fullBox("oinf", 0, 0, payload));
            ADD_FAILURE() << "no exception for " << name;
        } catch (const std::out_of_range& e) {
            EXPECT_NE(std::string(e.what()).find("OperatingPointsInformation::parseBox"), std::string::npos)
                << name << ": " << e.what();
        }
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
}

// --- every property cut short ---------------------------------------------------

TEST(ImagePropertiesTruncated, OneByteShortThrows)
{
    struct Case
    {
        std::string name;
        Bytes full;
        std::function<void(const Bytes&)> parse;
    };
    const std::vector<Case> cases = {
        {"ispe", fullBox("ispe", 0, 0, Bytes().u32(1).u32(2)),
         [](const Bytes& b) { parsed<ImageSpatialExtentsProperty>(b); }},
        {"irot", box("irot", Bytes().u8(1)), [](const Bytes& b) { parsed<ImageRotation>(b); }},
        {"imir", box("imir", Bytes().u8(1)), [](const Bytes& b) { parsed<ImageMirror>(b); }},
        {"clap", box("clap", Bytes().zeros(32)), [](const Bytes& b) { parsed<CleanAperture>(b); }},
        {"rloc", fullBox("rloc", 0, 0, Bytes().zeros(8)),
         [](const Bytes& b) { parsed<ImageRelativeLocationProperty>(b); }},
        {"lsel", box("lsel", Bytes().u16(1)), [](const Bytes& b) { parsed<LayerSelectorProperty>(b); }},
        {"tols", fullBox("tols", 0, 0, Bytes().u16(1)), [](const Bytes& b) { parsed<TargetOlsProperty>(b); }},
        {"oinf", fullBox("oinf", 0, 0, oinfPayload()), [](const Bytes& b) { parsed<OperatingPointsInformation>(b); }},
    };
    for (const auto& c : cases) {
        EXPECT_NO_THROW(c.parse(c.full)) << c.name;
        const ByteVec& bytes = c.full.data();
        const Bytes cut = Bytes().add(ByteVec(bytes.begin(), bytes.end() - 1));
        EXPECT_THROW(c.parse(cut), std::out_of_range) << c.name;
    }
}

}  // namespace

namespace {

TEST(ColourInformation, IccProfileAndNclx)
{
    using testbytes::Bytes;
    const auto prof =
        testbytes::parsed<ColourInformationBox>(testbytes::box("colr", Bytes().str("prof").u8(1).u8(2).u8(3)));
    EXPECT_EQ(prof.getColourType(), FourCCInt("prof"));
    EXPECT_EQ(prof.getIccProfile(), (std::vector<std::uint8_t>{1, 2, 3}));
    const auto nclx = testbytes::parsed<ColourInformationBox>(
        testbytes::box("colr", Bytes().str("nclx").u16(12).u16(13).u16(6).u8(0x80)));
    EXPECT_FALSE(nclx.hasIccProfile());
    EXPECT_EQ(nclx.getColourPrimaries(), 12u);
    EXPECT_EQ(nclx.getTransferCharacteristics(), 13u);
    EXPECT_EQ(nclx.getMatrixCoefficients(), 6u);
    EXPECT_TRUE(nclx.getFullRange());
    BitStream shortNclx(testbytes::box("colr", Bytes().str("nclx").u16(1)).data());
    ColourInformationBox b;
    EXPECT_THROW(b.parseBox(shortNclx), std::out_of_range);
}

}  // namespace
