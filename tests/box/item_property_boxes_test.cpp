#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "heiclib/boxes/decoder_config_boxes.h"
#include "heiclib/boxes/image_property_boxes.h"
#include "heiclib/boxes/item_property_boxes.h"
#include "tests/box/test_bytes.h"

using namespace ambrel::heif;

using testbytes::box;
using testbytes::Bytes;
using testbytes::fullBox;
using testbytes::parsed;
using testbytes::written;

namespace {

// An 'hvcC' with the fixed 23-byte record head and no NAL unit arrays.
Bytes hvcC()
{
    return box("hvcC", Bytes()
                           .u8(1)
                           .u8(0x01)
                           .u32(0x60000000)
                           .zeros(6)
                           .u8(90)
                           .u16(0xF000)
                           .u8(0xFC)
                           .u8(0xFD)
                           .u8(0xF8)
                           .u8(0xF8)
                           .u16(0)
                           .u8(0x0F)
                           .u8(0));
}

Bytes ispe(std::uint32_t width, std::uint32_t height)
{
    return fullBox("ispe", 0, 0, Bytes().u32(width).u32(height));
}

Bytes irot(std::uint8_t quarterTurns)
{
    return box("irot", Bytes().u8(quarterTurns));
}

// An 'ipma' of version 0, flags 0 with one item and its 7-bit indices (high bit: essential).
Bytes ipma(std::uint32_t itemId, const std::vector<std::uint8_t>& entries)
{
    Bytes payload = Bytes().u32(1).u16(itemId).u8(static_cast<std::uint32_t>(entries.size()));
    for (auto e : entries) {
        payload.u8(e);
    }
    return fullBox("ipma", 0, 0, payload);
}

std::vector<ItemPropertyType> typesOf(const std::vector<ItemPropertyInfo>& infos)
{
    std::vector<ItemPropertyType> types;
    for (const auto& info : infos) {
        types.push_back(info.type);
    }
    return types;
}

// ---------------------------------------------------------------------------

TEST(PropertyTypeOf, KnownTypesAndRaw)
{
    const std::pair<const char*, ItemPropertyType> cases[] = {
        {"auxC", ItemPropertyType::Auxc}, {"avcC", ItemPropertyType::Avcc}, {"clap", ItemPropertyType::Clap},
        {"hvcC", ItemPropertyType::Hvcc}, {"imir", ItemPropertyType::Imir}, {"irot", ItemPropertyType::Irot},
        {"ispe", ItemPropertyType::Ispe}, {"lhvC", ItemPropertyType::Lhvc}, {"lsel", ItemPropertyType::Lsel},
        {"oinf", ItemPropertyType::Oinf}, {"rloc", ItemPropertyType::Rloc}, {"tols", ItemPropertyType::Tols},
        {"pixi", ItemPropertyType::Raw},  {"lhvc", ItemPropertyType::Raw},  {"HVCC", ItemPropertyType::Raw},
    };
    for (const auto& [type, expected] : cases) {
        EXPECT_EQ(propertyTypeOf(FourCCInt(std::string(type))), expected) << type;
    }
}

// ---------------------------------------------------------------------------
// ItemPropertyContainer

TEST(ItemPropertyContainer, KnownTypesAreParsedUnknownOnesHoldTheirPlace)
{
    testbytes::LogCapture log;
    const auto ipco = parsed<ItemPropertyContainer>(
        box("ipco", hvcC().add(box("pixi", Bytes().u32(0))).add(ispe(64, 48)).add(box("abcd"))));
    ASSERT_EQ(ipco.getPropertyCount(), 4u);
    EXPECT_NE(std::dynamic_pointer_cast<HevcConfigurationBox>(ipco.getPropertyByIndex(0)), nullptr);
    const auto unknown = std::dynamic_pointer_cast<UnknownProperty>(ipco.getPropertyByIndex(1));
    ASSERT_NE(unknown, nullptr);
    EXPECT_EQ(unknown->getType(), FourCCInt("pixi"));
    const auto extents = std::dynamic_pointer_cast<ImageSpatialExtentsProperty>(ipco.getPropertyByIndex(2));
    ASSERT_NE(extents, nullptr);
    EXPECT_EQ(extents->getWidth(), 64u);
    EXPECT_EQ(extents->getHeight(), 48u);
    EXPECT_EQ(ipco.getPropertyByIndex(4), nullptr);
    // 'pixi' is known and kept as its bytes without a word; 'abcd' is not.
    EXPECT_FALSE(log.has(ambrel::log::Warning, "Skipping an unknown box of type 'pixi' in ItemPropertyContainer."));
    EXPECT_TRUE(log.has(ambrel::log::Warning, "Skipping an unknown box of type 'abcd' in ItemPropertyContainer."));
}

TEST(ItemPropertyContainer, UnknownPropertiesAreWrittenBackInTheirPlace)
{
    // The associations count positions: an unknown property dropped on
    // writing would hand its index to the property after it.
    testbytes::LogCapture log;
    const Bytes file = box("ipco", hvcC().add(box("pixi", Bytes().u8(0).u24(0).u8(1).u8(8))).add(ispe(64, 48)));
    auto ipco = parsed<ItemPropertyContainer>(file);
    EXPECT_EQ(written(ipco), file.data());
}

TEST(ItemPropertyContainer, WrongTypeIsLoggedAndParsed)
{
    testbytes::LogCapture log;
    const auto ipco = parsed<ItemPropertyContainer>(box("ipcx", irot(1)));
    EXPECT_TRUE(log.has(ambrel::log::Error, "Reading ipco, found 'ipcx' instead."));
    ASSERT_EQ(ipco.getPropertyCount(), 1u);
    EXPECT_EQ(std::dynamic_pointer_cast<ImageRotation>(ipco.getPropertyByIndex(0))->getAngle(), 90);
}

TEST(ItemPropertyContainer, ColourInformationCutShortIsKeptAsUnknown)
{
    testbytes::LogCapture log;
    // An 'nclx' colour box that ends after its primaries.
    const auto ipco =
        parsed<ItemPropertyContainer>(box("ipco", box("colr", Bytes().str("nclx").u16(1)).add(ispe(64, 48))));
    ASSERT_EQ(ipco.getPropertyCount(), 2u);
    const auto colour = std::dynamic_pointer_cast<UnknownProperty>(ipco.getPropertyByIndex(0));
    ASSERT_NE(colour, nullptr);
    EXPECT_EQ(colour->getType(), FourCCInt("colr"));
    EXPECT_NE(std::dynamic_pointer_cast<ImageSpatialExtentsProperty>(ipco.getPropertyByIndex(1)), nullptr);
    ASSERT_FALSE(log.lines().empty());
    EXPECT_EQ(log.lines()[0].first, ambrel::log::Warning);
    EXPECT_NE(log.lines()[0].second.find("The 'colr' property cannot be read, kept as unknown"), std::string::npos);
    EXPECT_TRUE(ipco.getUnreadableReason(0));
    EXPECT_FALSE(ipco.getUnreadableReason(1));
}

TEST(ItemPropertyContainer, PropertyPastTheContainerThrows)
{
    EXPECT_THROW(parsed<ItemPropertyContainer>(box("ipco", Bytes().u32(30).str("ispe").zeros(4))), std::out_of_range);
}

// ---------------------------------------------------------------------------
// ItemPropertyAssociation

TEST(ItemPropertyAssociation, IndexWidthFollowsFlag)
{
    const struct
    {
        std::uint32_t flags;
        Bytes entry;
    } cases[] = {
        {1, Bytes().u8(0x80).u8(0x03)},
        {0, Bytes().u8(0x83)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.flags);
        const auto a =
            parsed<ItemPropertyAssociation>(fullBox("ipma", 0, c.flags, Bytes().u32(1).u16(1).u8(1).add(c.entry)));
        const auto list = a.getAssociationsForItem(1);
        ASSERT_EQ(list.size(), 1u);
        EXPECT_TRUE(list[0].essential);
        EXPECT_EQ(list[0].index, 3u);
    }
}

TEST(ItemPropertyAssociation, Version1Has32BitIdsAndFirstListWins)
{
    const auto a = parsed<ItemPropertyAssociation>(
        fullBox("ipma", 1, 1,
                Bytes().u32(3).u32(0x10000).u8(2).u16(0x7FFF).u16(0x0001).u32(2).u8(0).u32(0x10000).u8(1).u16(0x8005)));
    const auto list = a.getAssociationsForItem(0x10000);
    ASSERT_EQ(list.size(), 2u);
    EXPECT_FALSE(list[0].essential);
    EXPECT_EQ(list[0].index, 0x7FFFu);
    EXPECT_EQ(list[1].index, 1u);
    EXPECT_TRUE(a.getAssociationsForItem(2).empty());
    EXPECT_EQ(a.getAssociations().count(2), 1u);  // present, with no associations
    EXPECT_TRUE(a.getAssociationsForItem(99).empty());
}

TEST(ItemPropertyAssociation, WritingKeepsTheFileOrderOfItems)
{
    const Bytes bytes = fullBox("ipma", 0, 0, Bytes().u32(2).u16(3).u8(1).u8(0x81).u16(1).u8(1).u8(0x02));
    auto a = parsed<ItemPropertyAssociation>(bytes);
    EXPECT_EQ(written(a), bytes.data());
}

TEST(ItemPropertyAssociation, HostileCountsThrowAtOnce)
{
    const struct
    {
        const char* label;
        Bytes bytes;
    } cases[] = {
        {"entry count", fullBox("ipma", 0, 0, Bytes().u32(0xFFFFFFFF).u16(1).u8(0))},
        {"entry count, 32-bit ids", fullBox("ipma", 1, 0, Bytes().u32(2).u32(1).u8(0))},
        {"association count", fullBox("ipma", 0, 1, Bytes().u32(1).u16(1).u8(3).u16(1).u16(2))},
        {"entry count field cut", fullBox("ipma", 0, 0, Bytes().u16(0))},
    };
    const auto start = std::chrono::steady_clock::now();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        EXPECT_THROW(parsed<ItemPropertyAssociation>(c.bytes), std::out_of_range);
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
}

TEST(ItemPropertyAssociation, WritePromotesVersionAndFlags)
{
    ItemPropertyAssociation small;
    small.addAssociation(1, 2, true);
    EXPECT_EQ(Bytes().add(written(small)).data(), fullBox("ipma", 0, 0, Bytes().u32(1).u16(1).u8(1).u8(0x82)).data());

    ItemPropertyAssociation large;
    large.addAssociation(0x10000, 200, true);
    large.addAssociation(3, 1, false);
    const auto bytes = written(large);
    EXPECT_EQ(large.getVersion(), 1u);
    EXPECT_EQ(large.getFlags(), 1u);
    EXPECT_EQ(Bytes().add(bytes).data(),
              fullBox("ipma", 1, 1, Bytes().u32(2).u32(3).u8(1).u16(1).u32(0x10000).u8(1).u16(0x8000 | 200)).data());
}

// ---------------------------------------------------------------------------
// ItemPropertiesBox

TEST(ItemPropertiesBox, TypesAndPositionsInAssociationOrder)
{
    testbytes::LogCapture log;  // the 'pixi' skip is logged
    const auto iprp = parsed<ItemPropertiesBox>(
        box("iprp",
            box("ipco", hvcC().add(box("pixi", Bytes().u32(0))).add(ispe(64, 48))).add(ipma(1, {0x81, 0x02, 0x03}))));
    const auto infos = iprp.getItemProperties(1);
    ASSERT_EQ(infos.size(), 3u);
    EXPECT_EQ(typesOf(infos),
              (std::vector<ItemPropertyType>{ItemPropertyType::Hvcc, ItemPropertyType::Raw, ItemPropertyType::Ispe}));
    for (std::uint32_t i = 0; i < 3; ++i) {
        EXPECT_EQ(infos[i].index, i);
    }
    EXPECT_TRUE(infos[0].essential);
    EXPECT_FALSE(infos[2].essential);
    EXPECT_EQ(iprp.findPropertyIndex(ItemPropertyType::Ispe, 1), 3u);
    EXPECT_EQ(iprp.findPropertyIndex(ItemPropertyType::Irot, 1), 0u);
    EXPECT_EQ(iprp.findPropertyIndex(ItemPropertyType::Hvcc, 2), 0u);
    EXPECT_TRUE(iprp.getItemProperties(2).empty());
    EXPECT_NE(std::dynamic_pointer_cast<ImageSpatialExtentsProperty>(iprp.getPropertyByIndex(2)), nullptr);
}

TEST(ItemPropertiesBox, FindPropertyIndexTakesTheFirstOfTheType)
{
    const auto iprp = parsed<ItemPropertiesBox>(
        box("iprp", box("ipco", ispe(1, 1).add(irot(0)).add(ispe(2, 2))).add(ipma(7, {0x02, 0x03, 0x01}))));
    EXPECT_EQ(iprp.findPropertyIndex(ItemPropertyType::Ispe, 7), 3u);
    EXPECT_EQ(iprp.findPropertyIndex(ItemPropertyType::Irot, 7), 2u);
}

TEST(ItemPropertiesBox, AssociationsWithoutAPropertyAreSkipped)
{
    // Index 0 and index 3 of a two-property container name nothing.
    const auto iprp = parsed<ItemPropertiesBox>(
        box("iprp", box("ipco", irot(2).add(ispe(8, 8))).add(ipma(1, {0x80, 0x03, 0x7F, 0x82}))));
    const auto infos = iprp.getItemProperties(1);
    ASSERT_EQ(infos.size(), 1u);
    EXPECT_EQ(infos[0].type, ItemPropertyType::Ispe);
    EXPECT_EQ(infos[0].index, 1u);
    EXPECT_TRUE(infos[0].essential);
    EXPECT_EQ(iprp.findPropertyIndex(ItemPropertyType::Ispe, 1), 2u);
    EXPECT_EQ(iprp.findPropertyIndex(ItemPropertyType::Raw, 1), 0u);
    EXPECT_EQ(iprp.findPropertyIndex(ItemPropertyType::Irot, 1), 0u);
}

TEST(ItemPropertiesBox, SecondChildMustBeIpma)
{
    try {
        parsed<ItemPropertiesBox>(box("iprp", box("ipco").add(box("ipco"))));
        FAIL() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "ItemPropertiesBox includes a box which is not ipma");
    }
    EXPECT_THROW(parsed<ItemPropertiesBox>(box("iprp", box("ipco", irot(0)))), std::out_of_range);
}

TEST(ItemPropertiesBox, ExtraIpmaIsLoggedAndIgnored)
{
    testbytes::LogCapture log;
    const auto iprp =
        parsed<ItemPropertiesBox>(box("iprp", box("ipco", irot(3)).add(ipma(1, {0x01})).add(ipma(2, {0x01}))));
    EXPECT_TRUE(log.has(ambrel::log::Warning,
                        "ItemPropertiesBox::parseBox() supports currently only one ipma box, but there seems to  be "
                        "more."));
    EXPECT_EQ(iprp.getItemProperties(1).size(), 1u);
    EXPECT_TRUE(iprp.getItemProperties(2).empty());
}

TEST(ItemPropertiesBox, AddPropertyReusesEqualIspeAndRoundTrips)
{
    ItemPropertiesBox iprp;
    const auto rotation = std::make_shared<ImageRotation>();
    rotation->setAngle(270);
    EXPECT_EQ(iprp.addProperty(rotation, {1}, true), 0u);
    EXPECT_EQ(iprp.addProperty(std::make_shared<ImageSpatialExtentsProperty>(640, 480), {1}, false), 1u);
    EXPECT_EQ(iprp.addProperty(std::make_shared<ImageSpatialExtentsProperty>(640, 480), {2}, false), 1u);
    EXPECT_EQ(iprp.addProperty(std::make_shared<ImageSpatialExtentsProperty>(640, 240), {3}, false), 2u);
    iprp.associateProperty(0, {3}, true);
    EXPECT_EQ(iprp.getItemPropertyContainer().getPropertyCount(), 3u);

    const auto back = parsed<ItemPropertiesBox>(Bytes().add(written(iprp)));
    const auto item1 = back.getItemProperties(1);
    EXPECT_EQ(typesOf(item1), (std::vector<ItemPropertyType>{ItemPropertyType::Irot, ItemPropertyType::Ispe}));
    EXPECT_TRUE(item1[0].essential);
    EXPECT_EQ(back.findPropertyIndex(ItemPropertyType::Ispe, 2), 2u);
    EXPECT_EQ(back.findPropertyIndex(ItemPropertyType::Ispe, 3), 3u);
    EXPECT_EQ(back.findPropertyIndex(ItemPropertyType::Irot, 3), 1u);
    const auto rot = std::dynamic_pointer_cast<ImageRotation>(back.getPropertyByIndex(0));
    ASSERT_NE(rot, nullptr);
    EXPECT_EQ(rot->getAngle(), 270);
}

}  // namespace
