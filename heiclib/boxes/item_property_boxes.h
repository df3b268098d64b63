// Item properties ('iprp'): the property container ('ipco') with the property
// boxes themselves, and the associations ('ipma') of items to properties by
// 1-based position in the container.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "heiclib/box.h"
#include "heiclib/box_factory.h"
#include "heiclib/property_types.h"

namespace ambrel::heif {

// The kind of item property a box type stands for; Raw for any type not known
// as a property. The table is built once, on first use.
ItemPropertyType propertyTypeOf(FourCCInt boxType);

// Stands for a property of a type the container does not know, so that the
// positions of later properties stay as in the file. Keeps the property's
// bytes, so that writing the container back keeps it in its place: the
// associations count positions.
class UnknownProperty : public RawBox
{
public:
    explicit UnknownProperty(FourCCInt boxType = FourCCInt());
};

// The property container ('ipco'): position p holds property index p + 1 of
// the associations.
class ItemPropertyContainer : public Box
{
public:
    ItemPropertyContainer();

    void writeBox(BitStream& output) override;
    void parseBox(BitStream& input) override;

    const std::vector<std::shared_ptr<Box>>& getProperties() const { return mProperties; }
    std::uint32_t getPropertyCount() const { return static_cast<std::uint32_t>(mProperties.size()); }
    // The property at a 0-based position; nullptr when out of range.
    std::shared_ptr<Box> getPropertyByIndex(std::uint32_t index) const;
    // Appends a property and returns its 0-based position.
    std::uint32_t addProperty(std::shared_ptr<Box> property);
    // Why the property at a 0-based position could not be read (it is kept
    // as an UnknownProperty of its type); none for one that was read.
    std::optional<std::string> getUnreadableReason(std::uint32_t index) const;

private:
    std::vector<std::shared_ptr<Box>> mProperties;
    std::map<std::uint32_t, std::string> mUnreadable;  // 0-based position -> why
};

// The property association box ('ipma'). Item ids are 32 bits on file for
// version 1 and above, else 16; property indices are 15 bits when flag
// 0x000001 is set, else 7.
class ItemPropertyAssociation : public FullBox
{
public:
    struct Association
    {
        bool essential = false;
        std::uint16_t index = 0;  // 1-based position in the property container
    };
    using AssociationList = std::vector<Association>;

    ItemPropertyAssociation();

    // Promotes version and flags first when ids or indices need the wider fields.
    void writeBox(BitStream& output) override;
    void parseBox(BitStream& input) override;

    // A copy of the item's associations in file order; empty when it has none.
    AssociationList getAssociationsForItem(std::uint32_t itemId) const;
    const std::map<std::uint32_t, AssociationList>& getAssociations() const { return mAssociations; }
    void addAssociation(std::uint32_t itemId, std::uint16_t index, bool essential);

private:
    std::map<std::uint32_t, AssociationList> mAssociations;
    // The items in the order of the parsed box's entries, so that writing it
    // keeps the file's order; items added since follow, by ascending id.
    std::vector<std::uint32_t> mFileOrder;
};

// The item properties box ('iprp'): one container and one association box.
class ItemPropertiesBox : public Box
{
public:
    ItemPropertiesBox();

    void writeBox(BitStream& output) override;
    void parseBox(BitStream& input) override;

    const ItemPropertyContainer& getItemPropertyContainer() const { return mContainer; }
    const ItemPropertyAssociation& getItemPropertyAssociation() const { return mAssociation; }

    // The item's properties in association order. Associations whose index is
    // 0 or past the end of the container have no property and are left out.
    std::vector<ItemPropertyInfo> getItemProperties(std::uint32_t itemId) const;
    // The 1-based index of the item's first associated property of that type;
    // 0 when there is none.
    std::uint32_t findPropertyIndex(ItemPropertyType type, std::uint32_t itemId) const;
    // The property at a 0-based position; nullptr when out of range.
    std::shared_ptr<Box> getPropertyByIndex(std::uint32_t index) const { return mContainer.getPropertyByIndex(index); }

    // Adds a property (an 'ispe' equal to one already present is reused),
    // associates it with the items and returns its 0-based position.
    std::uint32_t addProperty(std::shared_ptr<Box> property, const std::vector<std::uint32_t>& itemIds, bool essential);
    // Associates the property at a 0-based position with the items.
    void associateProperty(std::uint32_t index, const std::vector<std::uint32_t>& itemIds, bool essential);

private:
    ItemPropertyContainer mContainer;
    ItemPropertyAssociation mAssociation;
    ChildOrder mOtherChildren;  // children after the first 'ipma', kept as bytes
};

}  // namespace ambrel::heif
