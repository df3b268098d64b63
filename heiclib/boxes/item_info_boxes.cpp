#include "heiclib/boxes/item_info_boxes.h"

#include <stdexcept>

#include "heiclib/box_factory.h"
#include "heiclib/box_types.h"
#include "heiclib/ids.h"
#include "heiclib/log.h"

namespace ambrel::heif {

namespace {

// Four-character codes stored as text are written as exactly four bytes.
void writeFourChars(BitStream& output, const std::string& text)
{
    for (std::size_t i = 0; i < 4; ++i) {
        output.writeUInt8(i < text.size() ? static_cast<std::uint8_t>(text[i]) : 0);
    }
}

}  // namespace

// ---------------------------------------------------------------------------
// FDItemInfoExtension

void FDItemInfoExtension::write(BitStream& output)
{
    output.writeCString(mContentLocation);
    output.writeCString(mContentMD5);
    output.writeUInt32(static_cast<std::uint32_t>(mContentLength >> 32));
    output.writeUInt32(static_cast<std::uint32_t>(mContentLength));
    output.writeUInt32(static_cast<std::uint32_t>(mTransferLength >> 32));
    output.writeUInt32(static_cast<std::uint32_t>(mTransferLength));
    output.writeUInt8(mEntryCount);
    for (std::uint32_t i = 0; i < mEntryCount; ++i) {
        output.writeUInt32(mGroupIds[i]);
    }
}

void FDItemInfoExtension::parse(BitStream& input)
{
    input.readCString(mContentLocation);
    input.readCString(mContentMD5);
    mContentLength = std::uint64_t(input.readUInt32()) << 32;
    mContentLength |= input.readUInt32();
    mTransferLength = std::uint64_t(input.readUInt32()) << 32;
    mTransferLength |= input.readUInt32();
    mEntryCount = input.readUInt8();
    input.requireEntries(mEntryCount, 4, "FDItemInfoExtension::parse");
    for (std::uint32_t i = 0; i < mEntryCount; ++i) {
        mGroupIds[i] = input.readUInt32();
    }
}

std::unique_ptr<ItemInfoExtension> FDItemInfoExtension::clone() const
{
    return std::make_unique<FDItemInfoExtension>(*this);
}

std::vector<std::uint32_t> FDItemInfoExtension::getGroupIds() const
{
    return std::vector<std::uint32_t>(mGroupIds.begin(), mGroupIds.begin() + mEntryCount);
}

void FDItemInfoExtension::setGroupIds(const std::vector<std::uint32_t>& groupIds)
{
    if (groupIds.size() > 255) {
        throw std::invalid_argument("FDItemInfoExtension::setGroupIds: at most 255 group ids");
    }
    mGroupIds.fill(0);
    for (std::size_t i = 0; i < groupIds.size(); ++i) {
        mGroupIds[i] = groupIds[i];
    }
    mEntryCount = static_cast<std::uint8_t>(groupIds.size());
}

// ---------------------------------------------------------------------------
// ItemInfoEntry

ItemInfoEntry::ItemInfoEntry() : FullBox(boxtype::kInfe, 0, 0) {}

ItemInfoEntry::ItemInfoEntry(const ItemInfoEntry& other)
    : FullBox(other), mItemId(other.mItemId), mProtectionIndex(other.mProtectionIndex), mItemName(other.mItemName),
      mContentType(other.mContentType), mContentEncoding(other.mContentEncoding),
      mHasContentEncoding(other.mHasContentEncoding), mExtensionType(other.mExtensionType),
      mExtension(other.mExtension ? other.mExtension->clone() : nullptr), mItemType(other.mItemType),
      mItemUriType(other.mItemUriType)
{}

ItemInfoEntry& ItemInfoEntry::operator=(const ItemInfoEntry& other)
{
    if (this != &other) {
        ItemInfoEntry copy(other);
        *this = std::move(copy);
    }
    return *this;
}

ItemInfoEntry::~ItemInfoEntry() = default;

void ItemInfoEntry::parseBox(BitStream& input)
{
    // The stream holds exactly this entry. Fields that the format marks
    // optional at the end of an entry (the content encoding, the extension of
    // version 1) are left empty when the entry's bytes run out before them:
    // phones write 'mime' entries without a content encoding.
    parseFullHeader(input);
    const std::uint8_t version = getVersion();
    if (version == 0 || version == 1) {
        mItemId = input.readUInt16();
        mProtectionIndex = input.readUInt16();
        input.readCString(mItemName);
        input.readCString(mContentType);
        mContentEncoding.clear();
        mHasContentEncoding = input.bytesRemaining() > 0;
        if (mHasContentEncoding) {
            input.readCString(mContentEncoding);
        }
        if (version == 1 && input.bytesRemaining() > 0) {
            // Whatever the extension type says, the extension is read as 'fdel'.
            input.readFixedString(mExtensionType, 4);
            auto extension = std::make_unique<FDItemInfoExtension>();
            extension->parse(input);
            mExtension = std::move(extension);
        }
        return;
    }
    if (version == 2) {
        mItemId = input.readUInt16();
    } else if (version == 3) {
        mItemId = input.readUInt32();
    }
    mProtectionIndex = input.readUInt16();
    input.readFixedString(mItemType, 4);
    input.readCString(mItemName);
    if (mItemType == itemtype::kMime.getString()) {
        input.readCString(mContentType);
        mContentEncoding.clear();
        mHasContentEncoding = input.bytesRemaining() > 0;
        if (mHasContentEncoding) {
            input.readCString(mContentEncoding);
        }
    } else if (mItemType == itemtype::kUri.getString()) {
        input.readCString(mItemUriType);
    }
}

void ItemInfoEntry::writeBox(BitStream& output)
{
    writeFullHeader(output);
    const std::uint8_t version = getVersion();
    if (version == 0 || version == 1) {
        output.writeUInt16(static_cast<std::uint16_t>(mItemId));
        output.writeUInt16(mProtectionIndex);
        output.writeCString(mItemName);
        output.writeCString(mContentType);
        if (mHasContentEncoding || (version == 1 && mExtension)) {
            output.writeCString(mContentEncoding);
        }
        if (version == 1 && mExtension) {
            writeFourChars(output, mExtensionType);
            mExtension->write(output);
        }
    } else {
        if (version == 2) {
            output.writeUInt16(static_cast<std::uint16_t>(mItemId));
        } else if (version == 3) {
            output.writeUInt32(mItemId);
        }
        output.writeUInt16(mProtectionIndex);
        writeFourChars(output, mItemType);
        output.writeCString(mItemName);
        if (mItemType == itemtype::kMime.getString()) {
            output.writeCString(mContentType);
            if (mHasContentEncoding) {
                output.writeCString(mContentEncoding);
            }
        } else if (mItemType == itemtype::kUri.getString()) {
            output.writeCString(mItemUriType);
        }
    }
    finalizeSize(output);
}

// ---------------------------------------------------------------------------
// ItemInfoBox

ItemInfoBox::ItemInfoBox(std::uint8_t version) : FullBox(boxtype::kIinf, version, 0) {}

void ItemInfoBox::parseBox(BitStream& input)
{
    parseFullHeader(input);
    const std::uint32_t entryCount = getVersion() == 0 ? input.readUInt16() : input.readUInt32();
    // Every entry is cut out by its own size and parsed from its own bytes, so
    // an entry that holds fewer fields than expected, or more, never shifts
    // the next one. An entry whose fields run past its size is dropped and the
    // next entry is read; a size that runs past the 'iinf' ends the list.
    for (std::uint32_t i = 0; i < entryCount && input.bytesRemaining() > 0; ++i) {
        FourCCInt type;
        BitStream child;
        try {
            child = input.readChildBox(type);
        } catch (const std::out_of_range& e) {
            log::warning(std::string("ItemInfoBox: entry cut short, the remaining entries are dropped: ") + e.what());
            break;
        }
        if (type != boxtype::kInfe) {
            log::warning("ItemInfoBox: skipping a box of type '" + type.getString() + "' among the entries");
            continue;
        }
        try {
            ItemInfoEntry entry;
            entry.parseBox(child);
            mEntries.emplace(entry.getItemId(), std::move(entry));
        } catch (const std::out_of_range& e) {
            log::warning(std::string("ItemInfoBox: dropping an entry whose fields run past its size: ") + e.what());
        }
    }
}

void ItemInfoBox::writeBox(BitStream& output)
{
    writeFullHeader(output);
    if (getVersion() == 0) {
        output.writeUInt16(static_cast<std::uint16_t>(mEntries.size()));
    } else {
        output.writeUInt32(static_cast<std::uint32_t>(mEntries.size()));
    }
    for (auto& [id, entry] : mEntries) {
        entry.writeBox(output);
    }
    finalizeSize(output);
}

std::vector<std::uint32_t> ItemInfoBox::getItemIds() const
{
    std::vector<std::uint32_t> ids;
    ids.reserve(mEntries.size());
    for (const auto& [id, entry] : mEntries) {
        ids.push_back(id);
    }
    return ids;
}

ItemInfoEntry ItemInfoBox::getItemById(std::uint32_t itemId) const
{
    const auto it = mEntries.find(itemId);
    if (it == mEntries.end()) {
        throw std::runtime_error("Requested ItemInfoEntry not found.");
    }
    return it->second;
}

std::uint32_t ItemInfoBox::countItemsOfType(const std::string& itemType) const
{
    std::uint32_t count = 0;
    for (const auto& [id, entry] : mEntries) {
        if (entry.getItemType() == itemType) {
            ++count;
        }
    }
    return count;
}

std::vector<ItemInfoEntry> ItemInfoBox::getItemsOfType(const std::string& itemType) const
{
    std::vector<ItemInfoEntry> items;
    for (const auto& [id, entry] : mEntries) {
        if (entry.getItemType() == itemType) {
            items.push_back(entry);
        }
    }
    return items;
}

const ItemInfoEntry* ItemInfoBox::getItemOfType(const std::string& itemType, std::uint32_t n) const
{
    for (const auto& [id, entry] : mEntries) {
        if (entry.getItemType() == itemType) {
            if (n == 0) {
                return &entry;
            }
            --n;
        }
    }
    return nullptr;
}

void ItemInfoBox::addItemInfoEntry(const ItemInfoEntry& entry)
{
    mEntries.emplace(entry.getItemId(), entry);
}

// ---------------------------------------------------------------------------
// SingleItemTypeReferenceBox

SingleItemTypeReferenceBox::SingleItemTypeReferenceBox(bool largeIds) : Box(FourCCInt()), mLargeIds(largeIds) {}

void SingleItemTypeReferenceBox::parseBox(BitStream& input)
{
    parseHeader(input);
    mFromItemId = mLargeIds ? input.readUInt32() : input.readUInt16();
    const std::uint16_t count = input.readUInt16();
    input.requireEntries(count, mLargeIds ? 4 : 2, "SingleItemTypeReferenceBox::parseBox");
    mToItemIds.clear();
    mToItemIds.reserve(count);
    for (std::uint16_t i = 0; i < count; ++i) {
        mToItemIds.push_back(mLargeIds ? input.readUInt32() : input.readUInt16());
    }
}

void SingleItemTypeReferenceBox::writeBox(BitStream& output)
{
    if (mToItemIds.size() > 0xFFFF) {
        throw std::runtime_error("SingleItemTypeReferenceBox::writeBox: more than 65535 referenced items");
    }
    writeHeader(output);
    if (mLargeIds) {
        output.writeUInt32(mFromItemId);
    } else {
        output.writeUInt16(static_cast<std::uint16_t>(mFromItemId));
    }
    output.writeUInt16(static_cast<std::uint16_t>(mToItemIds.size()));
    for (const std::uint32_t id : mToItemIds) {
        if (mLargeIds) {
            output.writeUInt32(id);
        } else {
            output.writeUInt16(static_cast<std::uint16_t>(id));
        }
    }
    finalizeSize(output);
}

// ---------------------------------------------------------------------------
// ItemReferenceBox

ItemReferenceBox::ItemReferenceBox(std::uint8_t version) : FullBox(boxtype::kIref, version, 0) {}

void ItemReferenceBox::parseBox(BitStream& input)
{
    parseFullHeader(input);
    const bool largeIds = getVersion() != 0;
    // Every reference box is cut out by its own size: bytes after its last id
    // are skipped, and ids that run past its size fail the parse.
    forEachChildBox(input, [this, largeIds](FourCCInt, BitStream& child) {
        SingleItemTypeReferenceBox reference(largeIds);
        reference.parseBox(child);
        mReferences.push_back(std::move(reference));
    });
}

void ItemReferenceBox::writeBox(BitStream& output)
{
    if (mReferences.empty()) {
        return;
    }
    writeFullHeader(output);
    for (auto& reference : mReferences) {
        reference.writeBox(output);
    }
    finalizeSize(output);
}

std::vector<SingleItemTypeReferenceBox> ItemReferenceBox::getReferencesOfType(FourCCInt referenceType) const
{
    std::vector<SingleItemTypeReferenceBox> references;
    for (const auto& reference : mReferences) {
        if (reference.getReferenceType() == referenceType) {
            references.push_back(reference);
        }
    }
    return references;
}

void ItemReferenceBox::add(FourCCInt referenceType, std::uint32_t fromItemId, std::uint32_t toItemId)
{
    const bool largeIds = getVersion() != 0;
    if (!largeIds && (fromItemId > 0xFFFF || toItemId > 0xFFFF)) {
        throw std::runtime_error("ItemReferenceBox::add can not add large item IDs to box version 0");
    }
    for (auto& reference : mReferences) {
        if (reference.getReferenceType() == referenceType && reference.getFromItemId() == fromItemId) {
            reference.addToItemId(toItemId);
            return;
        }
    }
    SingleItemTypeReferenceBox reference(largeIds);
    reference.setReferenceType(referenceType);
    reference.setFromItemId(fromItemId);
    reference.addToItemId(toItemId);
    mReferences.push_back(std::move(reference));
}

// ---------------------------------------------------------------------------
// EntityToGroupBox

EntityToGroupBox::EntityToGroupBox(FourCCInt groupingType, std::uint8_t version, std::uint32_t flags)
    : FullBox(groupingType, version, flags), mGroupId(createId(0))
{}

void EntityToGroupBox::parseBox(BitStream& input)
{
    parseFullHeader(input);
    mGroupId = input.readUInt32();
    const std::uint32_t count = input.readUInt32();
    input.requireEntries(count, 4, "EntityToGroupBox::parseBox");
    mEntityIds.clear();
    mEntityIds.reserve(count);
    for (std::uint32_t i = 0; i < count; ++i) {
        mEntityIds.push_back(input.readUInt32());
    }
}

void EntityToGroupBox::writeBox(BitStream& output)
{
    writeFullHeader(output);
    output.writeUInt32(mGroupId);
    output.writeUInt32(static_cast<std::uint32_t>(mEntityIds.size()));
    for (const std::uint32_t id : mEntityIds) {
        output.writeUInt32(id);
    }
    finalizeSize(output);
}

// ---------------------------------------------------------------------------
// GroupsListBox

GroupsListBox::GroupsListBox() : Box(boxtype::kGrpl) {}

void GroupsListBox::parseBox(BitStream& input)
{
    parseHeader(input);
    forEachChildBox(input, [this](FourCCInt type, BitStream& child) {
        EntityToGroupBox group(type);
        group.parseBox(child);
        mEntityGroups.push_back(std::move(group));
    });
}

void GroupsListBox::writeBox(BitStream& output)
{
    writeHeader(output);
    for (auto& group : mEntityGroups) {
        group.writeBox(output);
    }
    finalizeSize(output);
}

// ---------------------------------------------------------------------------
// ItemProtectionBox

ItemProtectionBox::ItemProtectionBox() : FullBox(boxtype::kIpro, 0, 0) {}

void ItemProtectionBox::parseBox(BitStream& input)
{
    parseFullHeader(input);
    const std::uint16_t count = input.readUInt16();
    input.requireEntries(count, 8, "ItemProtectionBox::parseBox");  // each at least a box header
    mSchemes.clear();
    mSchemes.reserve(count);
    for (std::uint16_t i = 0; i < count; ++i) {
        FourCCInt type;
        BitStream child = input.readChildBox(type);
        mSchemes.push_back(child.getStorage());
    }
}

void ItemProtectionBox::writeBox(BitStream& output)
{
    writeFullHeader(output);
    output.writeUInt16(getProtectionCount());
    for (const auto& scheme : mSchemes) {
        output.writeBytes(scheme);
    }
    finalizeSize(output);
}

const std::vector<std::uint8_t>& ItemProtectionBox::getProtectionScheme(std::uint16_t index) const
{
    if (index >= mSchemes.size()) {
        throw std::out_of_range("ItemProtectionBox::getProtectionScheme: index " + std::to_string(index) +
                                " past the " + std::to_string(mSchemes.size()) + " protection schemes");
    }
    return mSchemes[index];
}

std::uint16_t ItemProtectionBox::addProtectionScheme(const std::vector<std::uint8_t>& schemeBox)
{
    if (mSchemes.size() >= 0xFFFF) {
        throw std::runtime_error("ItemProtectionBox::addProtectionScheme: at most 65535 protection schemes");
    }
    mSchemes.push_back(schemeBox);
    return static_cast<std::uint16_t>(mSchemes.size() - 1);
}

}  // namespace ambrel::heif
