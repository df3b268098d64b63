// The boxes that frame a HEIF file: the file type box with its brands, the
// meta box that holds all item-level information, and the small boxes the meta
// box carries directly (handler, primary item, data information with its data
// references).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "heiclib/box.h"
#include "heiclib/box_factory.h"
#include "heiclib/boxes/item_info_boxes.h"
#include "heiclib/boxes/item_location_boxes.h"
#include "heiclib/boxes/item_property_boxes.h"

namespace ambrel::heif {

// 'ftyp': major brand, minor version and compatible brands in file order.
class FileTypeBox : public Box
{
public:
    FileTypeBox();

    std::string getMajorBrand() const { return mMajorBrand; }
    void setMajorBrand(const std::string& brand) { mMajorBrand = brand; }
    std::uint32_t getMinorVersion() const { return mMinorVersion; }
    void setMinorVersion(std::uint32_t version) { mMinorVersion = version; }
    std::vector<std::string> getCompatibleBrands() const { return mCompatibleBrands; }
    void addCompatibleBrand(const std::string& brand) { mCompatibleBrands.push_back(brand); }
    // True when some compatible brand equals the text exactly; the major brand
    // is not consulted.
    bool checkCompatibleBrand(const std::string& brand) const;

    void writeBox(BitStream& output) override;
    void parseBox(BitStream& input) override;

private:
    std::string mMajorBrand;
    std::uint32_t mMinorVersion = 0;
    std::vector<std::string> mCompatibleBrands;
};

// 'hdlr': the handler type ("pict" for image items) and a name.
class HandlerBox : public FullBox
{
public:
    HandlerBox();

    std::string getHandlerType() const { return mHandlerType; }
    void setHandlerType(const std::string& type) { mHandlerType = type; }
    std::string getName() const { return mName; }
    void setName(const std::string& name)
    {
        mName = name;
        mPadding.clear();
    }

    void writeBox(BitStream& output) override;
    // Logs a warning for any handler type other than "pict" and keeps it.
    // What follows the name's terminating zero (padding some writers add) is
    // kept for writing back.
    void parseBox(BitStream& input) override;

private:
    std::vector<std::uint8_t> mPadding;
    std::string mHandlerType;
    std::string mName;
};

// 'pitm': the primary item id, 16 bits on file for version 0, else 32 bits.
class PrimaryItemBox : public FullBox
{
public:
    PrimaryItemBox();

    std::uint32_t getItemId() const { return mItemId; }
    // An id above 0xFFFF does not fit version 0; the version becomes 1 then.
    void setItemId(std::uint32_t itemId);

    void writeBox(BitStream& output) override;
    void parseBox(BitStream& input) override;

private:
    std::uint32_t mItemId = 0;
};

// Base of the data reference entries: a location text.
class DataEntryBox : public FullBox
{
public:
    DataEntryBox(FourCCInt boxType, std::uint8_t version, std::uint32_t flags);

    std::string getLocation() const { return mLocation; }
    void setLocation(const std::string& location) { mLocation = location; }

protected:
    std::string mLocation;
};

// 'url ': flag 0x000001 means the media data is in this file and no location follows.
class DataEntryUrlBox : public DataEntryBox
{
public:
    DataEntryUrlBox();

    void writeBox(BitStream& output) override;
    void parseBox(BitStream& input) override;
};

// 'urn ': a name, then a location.
class DataEntryUrnBox : public DataEntryBox
{
public:
    DataEntryUrnBox();

    std::string getName() const { return mName; }
    void setName(const std::string& name) { mName = name; }

    void writeBox(BitStream& output) override;
    void parseBox(BitStream& input) override;

private:
    std::string mName;
};

// 'dref': the data entries, each a 'url ' or a 'urn '.
class DataReferenceBox : public FullBox
{
public:
    DataReferenceBox();

    // Appends an entry and returns the entry count after adding.
    std::uint32_t addEntry(std::shared_ptr<DataEntryBox> entry);
    const std::vector<std::shared_ptr<DataEntryBox>>& getEntries() const { return mEntries; }

    void writeBox(BitStream& output) override;
    // Throws std::runtime_error "An unknown box inside dref" for an entry that
    // is neither 'url ' nor 'urn '.
    void parseBox(BitStream& input) override;

private:
    std::vector<std::shared_ptr<DataEntryBox>> mEntries;
};

// 'dinf': one data reference box.
class DataInformationBox : public Box
{
public:
    DataInformationBox();

    const DataReferenceBox& getDataReferenceBox() const { return mDataReferenceBox; }
    DataReferenceBox& getDataReferenceBox() { return mDataReferenceBox; }

    void writeBox(BitStream& output) override;
    // Parses the first child as the data reference box, whatever its type;
    // further children are kept as their bytes only. An empty box is logged
    // as an error.
    void parseBox(BitStream& input) override;

private:
    DataReferenceBox mDataReferenceBox;
    ChildOrder mOtherChildren;
};

// 'meta': holds every item-level box of the file. A child the file lacks
// stays in its empty constructed state.
class MetaBox : public FullBox
{
public:
    MetaBox();

    std::string getHandlerType() const { return mHandlerBox.getHandlerType(); }
    void setHandlerType(const std::string& type) { mHandlerBox.setHandlerType(type); }

    const PrimaryItemBox& getPrimaryItemBox() const { return mPrimaryItemBox; }
    PrimaryItemBox& getPrimaryItemBox() { return mPrimaryItemBox; }
    // Whether the parsed box had a 'pitm' (item id 0 is a legal id in it).
    bool hasPrimaryItemBox() const { return mHasPrimaryItemBox; }
    const DataInformationBox& getDataInformationBox() const { return mDataInformationBox; }
    DataInformationBox& getDataInformationBox() { return mDataInformationBox; }
    const ItemLocationBox& getItemLocationBox() const { return mItemLocationBox; }
    ItemLocationBox& getItemLocationBox() { return mItemLocationBox; }
    const ItemInfoBox& getItemInfoBox() const { return mItemInfoBox; }
    ItemInfoBox& getItemInfoBox() { return mItemInfoBox; }
    const ItemReferenceBox& getItemReferenceBox() const { return mItemReferenceBox; }
    ItemReferenceBox& getItemReferenceBox() { return mItemReferenceBox; }
    const ItemDataBox& getItemDataBox() const { return mItemDataBox; }
    ItemDataBox& getItemDataBox() { return mItemDataBox; }
    const ItemPropertiesBox& getItemPropertiesBox() const { return mItemPropertiesBox; }
    ItemPropertiesBox& getItemPropertiesBox() { return mItemPropertiesBox; }
    const GroupsListBox& getGroupsListBox() const { return mGroupsListBox; }
    GroupsListBox& getGroupsListBox() { return mGroupsListBox; }

    // A copy of the index-th protection scheme box (header included) of 'ipro';
    // throws std::out_of_range for an index at or past the count.
    std::vector<std::uint8_t> getProtectionScheme(std::uint16_t index) const;

    void writeBox(BitStream& output) override;
    // Children in any order; unknown children are skipped silently (kept as
    // their bytes for writing back).
    void parseBox(BitStream& input) override;

private:
    // The member that models a child of this type, or nullptr.
    Box* modelledChild(FourCCInt type);

    ChildOrder mChildOrder;
    HandlerBox mHandlerBox;
    PrimaryItemBox mPrimaryItemBox;
    bool mHasPrimaryItemBox = false;
    DataInformationBox mDataInformationBox;
    ItemLocationBox mItemLocationBox;
    ItemProtectionBox mItemProtectionBox;
    ItemInfoBox mItemInfoBox;
    ItemReferenceBox mItemReferenceBox;
    ItemDataBox mItemDataBox;
    ItemPropertiesBox mItemPropertiesBox;
    GroupsListBox mGroupsListBox;
};

}  // namespace ambrel::heif
