#include "heiclib/boxes/item_location_boxes.h"

#include <cstddef>
#include <limits>
#include <stdexcept>
#include <string>

#include "heiclib/box_types.h"

namespace ambrel::heif {

namespace {

// Reads a field of `bytes` bytes (0 to 15) as a 64-bit value. Wider fields
// whose value does not fit in 64 bits read as the largest value, which lies
// beyond any file and is refused when the item is read; a value is never cut
// to fewer bits than it has.
std::uint64_t readSizedField(BitStream& input, unsigned bytes)
{
    std::uint64_t value = 0;
    bool overflow = false;
    for (unsigned i = 0; i < bytes; ++i) {
        overflow = overflow || (value >> 56) != 0;
        value = (value << 8) | input.readBitField(8);
    }
    return overflow ? std::numeric_limits<std::uint64_t>::max() : value;
}

// Writes the low 8 × `bytes` bits of value; bytes above the 64-bit value are zero.
void writeSizedField(BitStream& output, std::uint64_t value, unsigned bytes)
{
    for (unsigned i = bytes; i > 0; --i) {
        const unsigned shift = 8 * (i - 1);
        output.writeUInt8(shift < 64 ? static_cast<std::uint8_t>(value >> shift) : 0);
    }
}

}  // namespace

const ItemLocationExtent& ItemLocation::getExtent(std::uint32_t index) const
{
    if (index >= getExtentCount()) {
        throw std::runtime_error("ItemLocationBox::getExtent: invalid extent ID");
    }
    return mExtents[index];
}

ItemLocationBox::ItemLocationBox() : FullBox(boxtype::kIloc, 0, 0) {}

bool ItemLocationBox::hasItemLocation(std::uint32_t itemId) const
{
    for (const auto& location : mItemLocations) {
        if (location.getItemId() == itemId) {
            return true;
        }
    }
    return false;
}

ItemLocation ItemLocationBox::getItemLocationForID(std::uint32_t itemId) const
{
    for (const auto& location : mItemLocations) {
        if (location.getItemId() == itemId) {
            return location;
        }
    }
    throw std::runtime_error("ItemLocationBox::getItemLocationForID: invalid item ID");
}

void ItemLocationBox::addItemLocation(const ItemLocation& location)
{
    if (location.getConstructionMethod() != 0 && getVersion() == 0) {
        setVersion(1);
    }
    mItemLocations.push_back(location);
}

void ItemLocationBox::addExtent(std::uint32_t itemId, const ItemLocationExtent& extent)
{
    for (auto& location : mItemLocations) {
        if (location.getItemId() == itemId) {
            location.addExtent(extent);
            return;
        }
    }
    throw std::runtime_error("ItemLocationBox::addExtent() invalid item id");
}

void ItemLocationBox::parseBox(BitStream& input)
{
    parseFullHeader(input);
    const std::uint8_t version = getVersion();
    const bool hasMethodAndIndex = version == 1 || version == 2;

    mOffsetSize = static_cast<std::uint8_t>(input.readBitField(4));
    mLengthSize = static_cast<std::uint8_t>(input.readBitField(4));
    mBaseOffsetSize = static_cast<std::uint8_t>(input.readBitField(4));
    const auto fourthNibble = static_cast<std::uint8_t>(input.readBitField(4));
    mIndexSize = hasMethodAndIndex ? fourthNibble : 0;

    std::uint32_t itemCount = 0;
    if (version < 2) {
        itemCount = input.readUInt16();
    } else if (version == 2) {
        itemCount = input.readUInt32();
    } else {
        return;  // unknown layout: nothing more is read
    }

    const unsigned idBytes = version == 2 ? 4 : 2;
    // item id, [reserved + construction method], data reference index, base offset, extent count
    const std::uint64_t minItemBytes = idBytes + (hasMethodAndIndex ? 2u : 0u) + 2u + mBaseOffsetSize + 2u;
    input.requireEntries(itemCount, minItemBytes, "ItemLocationBox::parseBox");
    const std::uint64_t extentBytes = (hasMethodAndIndex ? mIndexSize : 0u) + std::uint64_t(mOffsetSize) + mLengthSize;
    // Extents of zero width take no bytes on file, so the bytes left cannot
    // bound their count; cap their total by the size of the box instead.
    std::uint64_t zeroWidthExtentsLeft = input.byteCount();

    // No exact reserve: a 'meta' may repeat 'iloc' thousands of times, and
    // each exact reserve would copy all locations read so far.
    for (std::uint32_t i = 0; i < itemCount; ++i) {
        ItemLocation location;
        location.mItemId = version == 2 ? input.readUInt32() : input.readUInt16();
        if (hasMethodAndIndex) {
            input.readBitField(12);  // reserved
            location.mConstructionMethod = input.readBitField(4);
        }
        location.mDataReferenceIndex = input.readUInt16();
        location.mBaseOffset = readSizedField(input, mBaseOffsetSize);

        const std::uint16_t extentCount = input.readUInt16();
        if (extentBytes == 0) {
            if (extentCount > zeroWidthExtentsLeft) {
                throw std::out_of_range("ItemLocationBox::parseBox: " + std::to_string(extentCount) +
                                        " zero-width extents exceed what a box of " +
                                        std::to_string(input.byteCount()) + " bytes may declare");
            }
            zeroWidthExtentsLeft -= extentCount;
        } else {
            input.requireEntries(extentCount, extentBytes, "ItemLocationBox::parseBox");
        }
        location.mExtents.reserve(extentCount);
        for (std::uint16_t e = 0; e < extentCount; ++e) {
            ItemLocationExtent extent;
            if (hasMethodAndIndex && mIndexSize > 0) {
                extent.extentIndex = readSizedField(input, mIndexSize);
            }
            extent.extentOffset = readSizedField(input, mOffsetSize);
            extent.extentLength = readSizedField(input, mLengthSize);
            location.mExtents.push_back(extent);
        }
        addItemLocation(location);
    }
}

void ItemLocationBox::writeBox(BitStream& output)
{
    writeFullHeader(output);
    const std::uint8_t version = getVersion();
    const bool hasMethodAndIndex = version == 1 || version == 2;

    output.writeBitField(mOffsetSize, 4);
    output.writeBitField(mLengthSize, 4);
    output.writeBitField(mBaseOffsetSize, 4);
    output.writeBitField(hasMethodAndIndex ? mIndexSize : 0u, 4);
    if (version > 2) {
        finalizeSize(output);
        return;
    }
    if (version == 2) {
        output.writeUInt32(getItemCount());
    } else {
        output.writeUInt16(static_cast<std::uint16_t>(getItemCount()));
    }
    for (const auto& location : mItemLocations) {
        if (version == 2) {
            output.writeUInt32(location.getItemId());
        } else {
            output.writeUInt16(static_cast<std::uint16_t>(location.getItemId()));
        }
        if (hasMethodAndIndex) {
            output.writeBitField(0, 12);
            output.writeBitField(location.getConstructionMethod(), 4);
        }
        output.writeUInt16(location.getDataReferenceIndex());
        writeSizedField(output, location.getBaseOffset(), mBaseOffsetSize);
        output.writeUInt16(location.getExtentCount());
        for (const auto& extent : location.getExtentList()) {
            if (hasMethodAndIndex && mIndexSize > 0) {
                writeSizedField(output, extent.extentIndex, mIndexSize);
            }
            writeSizedField(output, extent.extentOffset, mOffsetSize);
            writeSizedField(output, extent.extentLength, mLengthSize);
        }
    }
    finalizeSize(output);
}

ItemDataBox::ItemDataBox() : Box(boxtype::kIdat) {}

void ItemDataBox::readData(std::vector<std::uint8_t>& destination, std::uint64_t offset, std::uint64_t length) const
{
    const std::uint64_t size = mData.size();
    if (offset > size || length > size - offset) {
        throw std::out_of_range("ItemDataBox::readData: range of " + std::to_string(length) + " bytes at offset " +
                                std::to_string(offset) + " reaches past the " + std::to_string(size) +
                                " bytes of data");
    }
    const auto begin = mData.begin() + static_cast<std::ptrdiff_t>(offset);
    destination.insert(destination.end(), begin, begin + static_cast<std::ptrdiff_t>(length));
}

std::uint64_t ItemDataBox::addData(const std::vector<std::uint8_t>& bytes)
{
    const std::uint64_t offset = mData.size();
    mData.insert(mData.end(), bytes.begin(), bytes.end());
    return offset;
}

void ItemDataBox::parseBox(BitStream& input)
{
    parseHeader(input);
    const std::int32_t remaining = input.bytesRemaining();
    if (remaining > 0) {
        input.readBytes(mData, static_cast<std::uint32_t>(remaining));
    }
}

void ItemDataBox::writeBox(BitStream& output)
{
    writeHeader(output);
    output.writeBytes(mData);
    finalizeSize(output);
}

}  // namespace ambrel::heif
