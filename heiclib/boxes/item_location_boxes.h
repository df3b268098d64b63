// Item location ('iloc') and item data ('idat') boxes.
//
// 'iloc' tells, for every item of a meta box, where its bytes lie: a
// construction method (0 file offset, 1 offset into 'idat', 2 item offset), a
// base offset and a list of extents. 'idat' holds item bytes inside the meta
// box itself (construction method 1).
//
// Offsets, lengths, base offsets and extent indices are held as 64-bit values
// and read whole from fields of any width (4 or 8 bytes); a value that would
// need more than 64 bits reads as the largest one and is refused when the
// item is read. Nothing is cut to 32 bits: an item beyond the first 4 GiB is
// refused for lying past the end of the file (the reader opens files under
// 2 GiB), never read from a wrapped offset.
#pragma once

#include <cstdint>
#include <vector>

#include "heiclib/box.h"

namespace ambrel::heif {

// One extent of an item: a byte range relative to the item's base offset.
struct ItemLocationExtent
{
    std::uint64_t extentIndex = 0;  // 0 when the box carries no extent indices
    std::uint64_t extentOffset = 0;
    std::uint64_t extentLength = 0;  // 0: up to the end of the referenced data
};

// Where one item's bytes are.
class ItemLocation
{
public:
    std::uint32_t getItemId() const { return mItemId; }
    void setItemId(std::uint32_t itemId) { mItemId = itemId; }
    // 0 file offset, 1 offset into 'idat', 2 item offset (4 bits on file).
    std::uint32_t getConstructionMethod() const { return mConstructionMethod; }
    void setConstructionMethod(std::uint32_t method) { mConstructionMethod = method; }
    // 0 means this file.
    std::uint16_t getDataReferenceIndex() const { return mDataReferenceIndex; }
    void setDataReferenceIndex(std::uint16_t index) { mDataReferenceIndex = index; }
    std::uint64_t getBaseOffset() const { return mBaseOffset; }
    void setBaseOffset(std::uint64_t offset) { mBaseOffset = offset; }

    std::uint16_t getExtentCount() const { return static_cast<std::uint16_t>(mExtents.size()); }
    const std::vector<ItemLocationExtent>& getExtentList() const { return mExtents; }
    // Throws std::runtime_error "ItemLocationBox::getExtent: invalid extent ID"
    // when the index is not below the extent count.
    const ItemLocationExtent& getExtent(std::uint32_t index) const;
    void addExtent(const ItemLocationExtent& extent) { mExtents.push_back(extent); }

private:
    friend class ItemLocationBox;

    std::uint32_t mItemId = 0;
    std::uint32_t mConstructionMethod = 0;
    std::uint16_t mDataReferenceIndex = 0;
    std::uint64_t mBaseOffset = 0;
    std::vector<ItemLocationExtent> mExtents;
};

class ItemLocationBox : public FullBox
{
public:
    ItemLocationBox();

    // Field widths in bytes (0 to 15). The index size applies to versions 1 and 2 only.
    std::uint8_t getOffsetSize() const { return mOffsetSize; }
    void setOffsetSize(std::uint8_t size) { mOffsetSize = size; }
    std::uint8_t getLengthSize() const { return mLengthSize; }
    void setLengthSize(std::uint8_t size) { mLengthSize = size; }
    std::uint8_t getBaseOffsetSize() const { return mBaseOffsetSize; }
    void setBaseOffsetSize(std::uint8_t size) { mBaseOffsetSize = size; }
    std::uint8_t getIndexSize() const { return mIndexSize; }
    void setIndexSize(std::uint8_t size) { mIndexSize = size; }

    std::uint32_t getItemCount() const { return static_cast<std::uint32_t>(mItemLocations.size()); }
    const std::vector<ItemLocation>& getItemLocations() const { return mItemLocations; }
    bool hasItemLocation(std::uint32_t itemId) const;
    // The first record with the id; throws std::runtime_error
    // "ItemLocationBox::getItemLocationForID: invalid item ID" when there is none.
    ItemLocation getItemLocationForID(std::uint32_t itemId) const;

    // Appends a record. Version 0 cannot carry a construction method, so a
    // record with a non-zero method raises version 0 to 1.
    void addItemLocation(const ItemLocation& location);
    // Appends an extent to the first record with the id; throws
    // std::runtime_error "ItemLocationBox::addExtent() invalid item id" when there is none.
    void addExtent(std::uint32_t itemId, const ItemLocationExtent& extent);

    void writeBox(BitStream& output) override;
    // Versions 0, 1 and 2 are read; a higher version stops after the field
    // sizes, successfully, with no item locations.
    void parseBox(BitStream& input) override;

private:
    std::uint8_t mOffsetSize = 4;
    std::uint8_t mLengthSize = 4;
    std::uint8_t mBaseOffsetSize = 4;
    std::uint8_t mIndexSize = 0;
    std::vector<ItemLocation> mItemLocations;
};

class ItemDataBox : public Box
{
public:
    ItemDataBox();

    const std::vector<std::uint8_t>& getData() const { return mData; }
    // Appends data bytes [offset, offset + length) to the destination; throws
    // std::out_of_range when the range reaches past the data.
    void readData(std::vector<std::uint8_t>& destination, std::uint64_t offset, std::uint64_t length) const;
    // Appends bytes and returns the offset at which they begin.
    std::uint64_t addData(const std::vector<std::uint8_t>& bytes);

    void writeBox(BitStream& output) override;
    void parseBox(BitStream& input) override;

private:
    std::vector<std::uint8_t> mData;
};

}  // namespace ambrel::heif
