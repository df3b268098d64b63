#include "heiclib/boxes/item_property_boxes.h"

#include <algorithm>
#include <iterator>
#include <set>
#include <stdexcept>

#include "heiclib/box_types.h"
#include "heiclib/boxes/image_property_boxes.h"
#include "heiclib/log.h"
#include "heiclib/memory_budget.h"

namespace ambrel::heif {

ItemPropertyType propertyTypeOf(FourCCInt boxType)
{
    static const std::map<FourCCInt, ItemPropertyType> table = {
        {boxtype::kAuxC, ItemPropertyType::Auxc}, {boxtype::kAvcC, ItemPropertyType::Avcc},
        {boxtype::kClap, ItemPropertyType::Clap}, {boxtype::kHvcC, ItemPropertyType::Hvcc},
        {boxtype::kImir, ItemPropertyType::Imir}, {boxtype::kIrot, ItemPropertyType::Irot},
        {boxtype::kIspe, ItemPropertyType::Ispe}, {boxtype::kLhvC, ItemPropertyType::Lhvc},
        {boxtype::kLsel, ItemPropertyType::Lsel}, {boxtype::kOinf, ItemPropertyType::Oinf},
        {boxtype::kRloc, ItemPropertyType::Rloc}, {boxtype::kTols, ItemPropertyType::Tols},
        {boxtype::kAv1C, ItemPropertyType::Av1c}, {boxtype::kJpgC, ItemPropertyType::Jpgc},
        {boxtype::kUncC, ItemPropertyType::Uncc}, {boxtype::kCmpd, ItemPropertyType::Cmpd},
        {boxtype::kCmpC, ItemPropertyType::Cmpc}, {boxtype::kIcef, ItemPropertyType::Icef},
    };
    const auto it = table.find(boxType);
    return it == table.end() ? ItemPropertyType::Raw : it->second;
}

// ---------------------------------------------------------------------------
// UnknownProperty

UnknownProperty::UnknownProperty(FourCCInt boxType) : RawBox(boxType) {}

// ---------------------------------------------------------------------------
// ItemPropertyContainer

namespace {

// Descriptive properties of ISO/IEC 23008-12 and its codecs that are kept as
// their bytes without a word: pixel information, pixel aspect ratio, light
// levels and mastering display, the AV1 operating point and layer sizes.
bool isKnownDescriptiveProperty(FourCCInt type)
{
    static const FourCCInt kKnown[] = {boxtype::kPixi, "pasp", "clli", "mdcv", "cclv",
                                       "amve",         "a1op", "a1lx", "altt", "udes"};
    return std::find(std::begin(kKnown), std::end(kKnown), type) != std::end(kKnown);
}

}  // namespace

ItemPropertyContainer::ItemPropertyContainer() : Box(boxtype::kIpco) {}

void ItemPropertyContainer::parseBox(BitStream& input)
{
    parseHeader(input);
    if (getType() != boxtype::kIpco) {
        log::error("Reading ipco, found '" + getType().getString() + "' instead.");
    }
    mProperties.clear();
    mUnreadable.clear();
    forEachChildBox(input, [this](FourCCInt type, BitStream& child) {
        // Colour information has no property kind of its own (it reports as
        // raw) but its ICC profile is carried into converted images.
        std::shared_ptr<Box> property;
        if (propertyTypeOf(type) != ItemPropertyType::Raw || type == boxtype::kColr) {
            property = makeBox(type);
        }
        if (property) {
            // A property that is cut short or malformed is kept as an unknown
            // one (its index stays); whether the image can do without it is
            // for the reader to say.
            try {
                property->parseBox(child);
            } catch (const MemoryBudgetExceeded&) {
                throw;
            } catch (const std::exception& e) {
                log::warning("The '" + type.getString() + "' property cannot be read, kept as unknown: " + e.what());
                mUnreadable[static_cast<std::uint32_t>(mProperties.size())] = e.what();
                property = std::make_shared<UnknownProperty>(type);
                child.resetPositions();
                property->parseBox(child);
            }
        } else {
            if (!isKnownDescriptiveProperty(type)) {
                log::warning("Skipping an unknown box of type '" + type.getString() + "' in ItemPropertyContainer.");
            }
            property = std::make_shared<UnknownProperty>(type);
            property->parseBox(child);
        }
        mProperties.push_back(std::move(property));
    });
}

std::optional<std::string> ItemPropertyContainer::getUnreadableReason(std::uint32_t index) const
{
    const auto it = mUnreadable.find(index);
    return it == mUnreadable.end() ? std::nullopt : std::optional<std::string>(it->second);
}

void ItemPropertyContainer::writeBox(BitStream& output)
{
    writeHeader(output);
    for (const auto& property : mProperties) {
        property->writeBox(output);
    }
    finalizeSize(output);
}

std::shared_ptr<Box> ItemPropertyContainer::getPropertyByIndex(std::uint32_t index) const
{
    return index < mProperties.size() ? mProperties[index] : nullptr;
}

std::uint32_t ItemPropertyContainer::addProperty(std::shared_ptr<Box> property)
{
    mProperties.push_back(std::move(property));
    return static_cast<std::uint32_t>(mProperties.size() - 1);
}

// ---------------------------------------------------------------------------
// ItemPropertyAssociation

ItemPropertyAssociation::ItemPropertyAssociation() : FullBox(boxtype::kIpma, 0, 0) {}

void ItemPropertyAssociation::parseBox(BitStream& input)
{
    parseFullHeader(input);
    const bool largeIds = getVersion() != 0;
    const bool largeIndices = (getFlags() & 1) != 0;
    const std::uint32_t entryCount = input.readUInt32();
    mAssociations.clear();
    mFileOrder.clear();
    // Each entry holds at least its item id and its association count.
    input.requireEntries(entryCount, largeIds ? 5 : 3, "ItemPropertyAssociation::parseBox");
    for (std::uint32_t i = 0; i < entryCount; ++i) {
        const std::uint32_t itemId = largeIds ? input.readUInt32() : input.readUInt16();
        const std::uint8_t count = input.readUInt8();
        input.requireEntries(count, largeIndices ? 2 : 1, "ItemPropertyAssociation::parseBox");
        AssociationList list;
        list.reserve(count);
        for (std::uint32_t j = 0; j < count; ++j) {
            Association association;
            association.essential = input.readBitField(1) != 0;
            association.index = static_cast<std::uint16_t>(input.readBitField(largeIndices ? 15 : 7));
            list.push_back(association);
        }
        if (mAssociations.emplace(itemId, std::move(list)).second) {
            mFileOrder.push_back(itemId);
        }
    }
}

void ItemPropertyAssociation::writeBox(BitStream& output)
{
    for (const auto& [itemId, list] : mAssociations) {
        if (itemId > 0xFFFF) {
            setVersion(1);
        }
        for (const auto& association : list) {
            if (association.index >= 128) {
                setFlags(1);
            }
        }
    }
    const bool largeIds = getVersion() != 0;
    const bool largeIndices = (getFlags() & 1) != 0;

    writeFullHeader(output);
    output.writeUInt32(static_cast<std::uint32_t>(mAssociations.size()));
    std::vector<std::uint32_t> order = mFileOrder;
    if (order.size() < mAssociations.size()) {
        const std::set<std::uint32_t> read(mFileOrder.begin(), mFileOrder.end());
        for (const auto& entry : mAssociations) {
            if (read.count(entry.first) == 0) {
                order.push_back(entry.first);
            }
        }
    }
    for (const std::uint32_t itemId : order) {
        const AssociationList& list = mAssociations.at(itemId);
        if (list.size() > 0xFF) {
            throw std::runtime_error("ItemPropertyAssociation::writeBox: more than 255 associations for one item");
        }
        if (largeIds) {
            output.writeUInt32(itemId);
        } else {
            output.writeUInt16(static_cast<std::uint16_t>(itemId));
        }
        output.writeUInt8(static_cast<std::uint8_t>(list.size()));
        for (const auto& association : list) {
            output.writeBitField(association.essential ? 1 : 0, 1);
            output.writeBitField(association.index, largeIndices ? 15 : 7);
        }
    }
    finalizeSize(output);
}

ItemPropertyAssociation::AssociationList ItemPropertyAssociation::getAssociationsForItem(std::uint32_t itemId) const
{
    const auto it = mAssociations.find(itemId);
    return it == mAssociations.end() ? AssociationList() : it->second;
}

void ItemPropertyAssociation::addAssociation(std::uint32_t itemId, std::uint16_t index, bool essential)
{
    mAssociations[itemId].push_back(Association{essential, index});
}

// ---------------------------------------------------------------------------
// ItemPropertiesBox

ItemPropertiesBox::ItemPropertiesBox() : Box(boxtype::kIprp) {}

void ItemPropertiesBox::parseBox(BitStream& input)
{
    parseHeader(input);
    mOtherChildren.beginParse();
    // The first child is taken as the container whatever its type.
    FourCCInt type;
    BitStream container = input.readChildBox(type);
    mContainer.parseBox(container);

    BitStream association = input.readChildBox(type);
    if (type != boxtype::kIpma) {
        throw std::runtime_error("ItemPropertiesBox includes a box which is not ipma");
    }
    mAssociation.parseBox(association);

    if (input.bytesRemaining() > 0) {
        log::warning(
            "ItemPropertiesBox::parseBox() supports currently only one ipma box, but there seems to  be more.");
    }
    // Further children are not read; they are kept as their bytes.
    forEachChildBox(input, [this](FourCCInt childType, BitStream& child) { mOtherChildren.noteRaw(childType, child); });
}

void ItemPropertiesBox::writeBox(BitStream& output)
{
    writeHeader(output);
    mContainer.writeBox(output);
    mAssociation.writeBox(output);
    mOtherChildren.write(output, {}, [](FourCCInt, std::size_t) {});
    finalizeSize(output);
}

std::vector<ItemPropertyInfo> ItemPropertiesBox::getItemProperties(std::uint32_t itemId) const
{
    std::vector<ItemPropertyInfo> infos;
    for (const auto& association : mAssociation.getAssociationsForItem(itemId)) {
        // Index 0 and indices past the container name no property.
        if (association.index == 0) {
            continue;
        }
        const std::uint32_t position = association.index - 1u;
        const std::shared_ptr<Box> property = mContainer.getPropertyByIndex(position);
        if (!property) {
            continue;
        }
        infos.push_back(ItemPropertyInfo{propertyTypeOf(property->getType()), position, association.essential});
    }
    return infos;
}

std::uint32_t ItemPropertiesBox::findPropertyIndex(ItemPropertyType type, std::uint32_t itemId) const
{
    for (const auto& info : getItemProperties(itemId)) {
        if (info.type == type) {
            return info.index + 1;
        }
    }
    return 0;
}

std::uint32_t ItemPropertiesBox::addProperty(std::shared_ptr<Box> property, const std::vector<std::uint32_t>& itemIds,
                                             bool essential)
{
    std::uint32_t index = mContainer.getPropertyCount();
    bool reused = false;
    if (const auto* extents = dynamic_cast<const ImageSpatialExtentsProperty*>(property.get())) {
        const auto& properties = mContainer.getProperties();
        for (std::uint32_t i = 0; i < properties.size(); ++i) {
            const auto* existing = dynamic_cast<const ImageSpatialExtentsProperty*>(properties[i].get());
            if (existing && existing->getWidth() == extents->getWidth() &&
                existing->getHeight() == extents->getHeight()) {
                index = i;
                reused = true;
                break;
            }
        }
    }
    if (!reused) {
        index = mContainer.addProperty(std::move(property));
    }
    associateProperty(index, itemIds, essential);
    return index;
}

void ItemPropertiesBox::associateProperty(std::uint32_t index, const std::vector<std::uint32_t>& itemIds,
                                          bool essential)
{
    if (index >= 0x7FFF) {
        throw std::runtime_error("ItemPropertiesBox::associateProperty: property index too large for 'ipma'");
    }
    for (const std::uint32_t itemId : itemIds) {
        mAssociation.addAssociation(itemId, static_cast<std::uint16_t>(index + 1), essential);
    }
}

}  // namespace ambrel::heif
