#include "heiclib/box.h"

#include <stdexcept>

#include "heiclib/box_types.h"

namespace ambrel::heif {

Box::Box(FourCCInt boxType) : mType(boxType) {}

void Box::parseHeader(BitStream& input)
{
    mSize = input.readUInt32();
    mType = FourCCInt(input.readUInt32());
    if (mSize == 1) {
        mLargeSize[0] = input.readUInt32();
        mLargeSize[1] = input.readUInt32();
    }
    if (mType == boxtype::kUuid) {
        for (auto& byte : mUserType) {
            byte = input.readUInt8();
        }
    }
}

void Box::writeHeader(BitStream& output)
{
    mStartOffset = output.byteCount();
    output.writeUInt32(mSize);
    output.writeUInt32(mType.getUInt32());
    if (mSize == 1) {
        output.writeUInt32(mLargeSize[0]);
        output.writeUInt32(mLargeSize[1]);
    }
    if (mType == boxtype::kUuid) {
        for (auto byte : mUserType) {
            output.writeUInt8(byte);
        }
    }
}

void Box::finalizeSize(BitStream& output)
{
    const std::uint64_t written = std::uint64_t(output.byteCount()) - mStartOffset;
    if (mSize == 1) {
        // A header written with a large size keeps it: patch the 64-bit field.
        mLargeSize[0] = static_cast<std::uint32_t>(written >> 32);
        mLargeSize[1] = static_cast<std::uint32_t>(written);
        for (int i = 0; i < 8; ++i) {
            output.patchByte(mStartOffset + 8 + static_cast<std::uint32_t>(i),
                             static_cast<std::uint8_t>(written >> (56 - 8 * i)));
        }
        return;
    }
    if (written > 0xffffffffu) {
        throw std::runtime_error("Box::finalizeSize: box '" + mType.getString() + "' is larger than 4 GiB");
    }
    mSize = static_cast<std::uint32_t>(written);
    for (int i = 0; i < 4; ++i) {
        output.patchByte(mStartOffset + static_cast<std::uint32_t>(i),
                         static_cast<std::uint8_t>(mSize >> (24 - 8 * i)));
    }
}

void Box::addToSize(std::uint64_t bytes)
{
    if (mSize == 1) {
        const std::uint64_t total = getLargeSize() + bytes;
        mLargeSize[0] = static_cast<std::uint32_t>(total >> 32);
        mLargeSize[1] = static_cast<std::uint32_t>(total);
        return;
    }
    const std::uint64_t total = std::uint64_t(mSize) + bytes;
    if (total > 0xffffffffu) {
        const std::uint64_t large = total + 8;  // the large-size words join the header
        mSize = 1;
        mLargeSize[0] = static_cast<std::uint32_t>(large >> 32);
        mLargeSize[1] = static_cast<std::uint32_t>(large);
        return;
    }
    mSize = static_cast<std::uint32_t>(total);
}

FullBox::FullBox(FourCCInt boxType, std::uint8_t version, std::uint32_t flags)
    : Box(boxType), mVersion(version), mFlags(flags & 0xffffffu)
{
    addToSize(4);
}

void FullBox::parseFullHeader(BitStream& input)
{
    parseHeader(input);
    mVersion = input.readUInt8();
    mFlags = input.readUInt24();
}

void FullBox::writeFullHeader(BitStream& output)
{
    writeHeader(output);
    output.writeUInt8(mVersion);
    output.writeUInt24(mFlags);
}

}  // namespace ambrel::heif
