// Meta-box children that describe items: item information ('iinf' with its
// 'infe' entries), item references ('iref'), entity groups ('grpl') and item
// protection ('ipro').
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "heiclib/box.h"
#include "heiclib/box_types.h"

namespace ambrel::heif {

// Extra information of an 'infe' entry of version 1. Not a box: it has no
// header of its own.
class ItemInfoExtension
{
public:
    virtual ~ItemInfoExtension() = default;
    virtual void write(BitStream& output) = 0;
    virtual void parse(BitStream& input) = 0;
    // A deep copy (entries are copied by value).
    virtual std::unique_ptr<ItemInfoExtension> clone() const = 0;
};

// The file-delivery extension ('fdel'), the only item information extension.
class FDItemInfoExtension : public ItemInfoExtension
{
public:
    FDItemInfoExtension() = default;

    void write(BitStream& output) override;
    void parse(BitStream& input) override;
    std::unique_ptr<ItemInfoExtension> clone() const override;

    const std::string& getContentLocation() const { return mContentLocation; }
    void setContentLocation(const std::string& location) { mContentLocation = location; }
    const std::string& getContentMD5() const { return mContentMD5; }
    void setContentMD5(const std::string& md5) { mContentMD5 = md5; }
    std::uint64_t getContentLength() const { return mContentLength; }
    void setContentLength(std::uint64_t length) { mContentLength = length; }
    std::uint64_t getTransferLength() const { return mTransferLength; }
    void setTransferLength(std::uint64_t length) { mTransferLength = length; }
    std::uint8_t getEntryCount() const { return mEntryCount; }
    // The first getEntryCount() group ids.
    std::vector<std::uint32_t> getGroupIds() const;
    // At most 255 ids (the count is 8 bits); throws std::invalid_argument beyond.
    void setGroupIds(const std::vector<std::uint32_t>& groupIds);

private:
    std::string mContentLocation;
    std::string mContentMD5;
    std::uint64_t mContentLength = 0;
    std::uint64_t mTransferLength = 0;
    std::uint8_t mEntryCount = 0;
    std::array<std::uint32_t, 256> mGroupIds{};
};

// One item information entry ('infe'). The layout depends on the version:
// 0 and 1 carry content type and encoding, 1 adds an extension, 2 and 3 carry
// an item type (16-bit id for 2, 32-bit id for 3). Flag 0x000001 marks a
// hidden item.
class ItemInfoEntry : public FullBox
{
public:
    ItemInfoEntry();
    ItemInfoEntry(const ItemInfoEntry& other);
    ItemInfoEntry& operator=(const ItemInfoEntry& other);
    ItemInfoEntry(ItemInfoEntry&&) noexcept = default;
    ItemInfoEntry& operator=(ItemInfoEntry&&) noexcept = default;
    ~ItemInfoEntry() override;

    void writeBox(BitStream& output) override;
    void parseBox(BitStream& input) override;

    std::uint32_t getItemId() const { return mItemId; }
    void setItemId(std::uint32_t id) { mItemId = id; }
    std::uint16_t getProtectionIndex() const { return mProtectionIndex; }
    void setProtectionIndex(std::uint16_t index) { mProtectionIndex = index; }
    const std::string& getItemName() const { return mItemName; }
    void setItemName(const std::string& name) { mItemName = name; }
    const std::string& getContentType() const { return mContentType; }
    void setContentType(const std::string& type) { mContentType = type; }
    const std::string& getContentEncoding() const { return mContentEncoding; }
    // An entry read without the optional content encoding is written back
    // without it; setting one (even empty) writes it.
    void setContentEncoding(const std::string& encoding)
    {
        mContentEncoding = encoding;
        mHasContentEncoding = true;
    }
    bool hasContentEncoding() const { return mHasContentEncoding; }
    const std::string& getExtensionType() const { return mExtensionType; }
    void setExtensionType(const std::string& type) { mExtensionType = type; }
    // Versions 2 and 3: "hvc1", "grid", "Exif", "mime", "uri " ...
    const std::string& getItemType() const { return mItemType; }
    void setItemType(const std::string& type) { mItemType = type; }
    const std::string& getItemUriType() const { return mItemUriType; }
    void setItemUriType(const std::string& uriType) { mItemUriType = uriType; }
    // The version 1 extension; nullptr when there is none.
    const ItemInfoExtension* getItemInfoExtension() const { return mExtension.get(); }
    void setItemInfoExtension(std::unique_ptr<ItemInfoExtension> extension) { mExtension = std::move(extension); }

private:
    std::uint32_t mItemId = 0;
    std::uint16_t mProtectionIndex = 0;
    std::string mItemName;
    std::string mContentType;
    std::string mContentEncoding;
    bool mHasContentEncoding = true;
    std::string mExtensionType;
    std::unique_ptr<ItemInfoExtension> mExtension;
    std::string mItemType;
    std::string mItemUriType;
};

// The item information box ('iinf'): one entry per item, by ascending item id.
class ItemInfoBox : public FullBox
{
public:
    explicit ItemInfoBox(std::uint8_t version = 0);

    void writeBox(BitStream& output) override;
    void parseBox(BitStream& input) override;

    // All item ids, ascending.
    std::vector<std::uint32_t> getItemIds() const;
    // Throws std::runtime_error "Requested ItemInfoEntry not found." for an absent id.
    ItemInfoEntry getItemById(std::uint32_t itemId) const;
    bool hasItem(std::uint32_t itemId) const { return mEntries.count(itemId) != 0; }
    std::uint32_t getEntryCount() const { return static_cast<std::uint32_t>(mEntries.size()); }
    std::uint32_t countItemsOfType(const std::string& itemType) const;
    std::vector<ItemInfoEntry> getItemsOfType(const std::string& itemType) const;
    // The n-th (0-based, by ascending id) entry of that item type; nullptr when none.
    const ItemInfoEntry* getItemOfType(const std::string& itemType, std::uint32_t n = 0) const;

    // Adds an entry under its item id; an id already present keeps its entry.
    void addItemInfoEntry(const ItemInfoEntry& entry);
    void clear() { mEntries.clear(); }

private:
    std::map<std::uint32_t, ItemInfoEntry> mEntries;
};

// One reference of an 'iref': from one item to a list of items. The box type is
// the reference type ('thmb', 'auxl', 'dimg', 'cdsc' ...). Ids are 32 bits on
// file when largeIds is set (an 'iref' of version 1), else 16 bits.
class SingleItemTypeReferenceBox : public Box
{
public:
    explicit SingleItemTypeReferenceBox(bool largeIds = false);

    void writeBox(BitStream& output) override;
    void parseBox(BitStream& input) override;

    FourCCInt getReferenceType() const { return getType(); }
    void setReferenceType(FourCCInt referenceType) { setType(referenceType); }
    std::uint32_t getFromItemId() const { return mFromItemId; }
    void setFromItemId(std::uint32_t id) { mFromItemId = id; }
    const std::vector<std::uint32_t>& getToItemIds() const { return mToItemIds; }
    void addToItemId(std::uint32_t id) { mToItemIds.push_back(id); }
    bool getLargeIds() const { return mLargeIds; }

private:
    std::uint32_t mFromItemId = 0;
    std::vector<std::uint32_t> mToItemIds;
    bool mLargeIds = false;
};

// The item reference box ('iref'): references in file order.
class ItemReferenceBox : public FullBox
{
public:
    explicit ItemReferenceBox(std::uint8_t version = 0);

    // Writes nothing at all when there are no references.
    void writeBox(BitStream& output) override;
    void parseBox(BitStream& input) override;

    const std::vector<SingleItemTypeReferenceBox>& getReferences() const { return mReferences; }
    // Copies of the references of that type, in file order.
    std::vector<SingleItemTypeReferenceBox> getReferencesOfType(FourCCInt referenceType) const;
    // Appends `to` to the reference of the same type and from id, or adds a new
    // reference. Throws std::runtime_error for ids above 0xFFFF in a version 0 box.
    void add(FourCCInt referenceType, std::uint32_t fromItemId, std::uint32_t toItemId);

private:
    std::vector<SingleItemTypeReferenceBox> mReferences;
};

// An entity group: the box type is the grouping type ('altr' by default).
class EntityToGroupBox : public FullBox
{
public:
    // The group id comes from the process-wide id counter until parsing replaces it.
    explicit EntityToGroupBox(FourCCInt groupingType = reftype::kAltr, std::uint8_t version = 0,
                              std::uint32_t flags = 0);

    void writeBox(BitStream& output) override;
    void parseBox(BitStream& input) override;

    FourCCInt getGroupingType() const { return getType(); }
    std::uint32_t getGroupId() const { return mGroupId; }
    void setGroupId(std::uint32_t id) { mGroupId = id; }
    const std::vector<std::uint32_t>& getEntityIds() const { return mEntityIds; }
    void setEntityIds(const std::vector<std::uint32_t>& ids) { mEntityIds = ids; }

private:
    std::uint32_t mGroupId = 0;
    std::vector<std::uint32_t> mEntityIds;
};

// The groups list box ('grpl'): entity groups in file order; every child is
// read as an entity group whose grouping type is the child's box type.
class GroupsListBox : public Box
{
public:
    GroupsListBox();

    void writeBox(BitStream& output) override;
    void parseBox(BitStream& input) override;

    const std::vector<EntityToGroupBox>& getEntityGroups() const { return mEntityGroups; }
    void addEntityGroup(const EntityToGroupBox& group) { mEntityGroups.push_back(group); }

private:
    std::vector<EntityToGroupBox> mEntityGroups;
};

// The item protection box ('ipro'): the complete bytes of each protection
// scheme box ('sinf'), header included, uninterpreted.
class ItemProtectionBox : public FullBox
{
public:
    ItemProtectionBox();

    void writeBox(BitStream& output) override;
    void parseBox(BitStream& input) override;

    std::uint16_t getProtectionCount() const { return static_cast<std::uint16_t>(mSchemes.size()); }
    // Throws std::out_of_range for an index at or past the count.
    const std::vector<std::uint8_t>& getProtectionScheme(std::uint16_t index) const;
    // Returns the 0-based index of the added scheme.
    std::uint16_t addProtectionScheme(const std::vector<std::uint8_t>& schemeBox);

private:
    std::vector<std::vector<std::uint8_t>> mSchemes;
};

}  // namespace ambrel::heif
