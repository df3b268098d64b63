#include "heiclib/boxes/file_meta_boxes.h"

#include <stdexcept>

#include "heiclib/heif_limits.h"
#include "heiclib/log.h"

namespace ambrel::heif {

// ---------------------------------------------------------------- FileTypeBox

FileTypeBox::FileTypeBox() : Box("ftyp") {}

bool FileTypeBox::checkCompatibleBrand(const std::string& brand) const
{
    for (const auto& compatible : mCompatibleBrands) {
        if (compatible == brand) {
            return true;
        }
    }
    return false;
}

void FileTypeBox::parseBox(BitStream& input)
{
    parseHeader(input);
    input.readFixedString(mMajorBrand, 4);
    mMinorVersion = input.readUInt32();
    // A trailing remainder of 1 to 3 bytes is not a brand and is ignored.
    // Brands past kMaxCompatibleBrands are ignored too: they cost nothing to
    // declare (a box of size 0 runs to the end of the file) and real files
    // list a handful, so a file is not refused for them, only not expanded.
    while (input.bytesRemaining() > 3 && mCompatibleBrands.size() < limits::kMaxCompatibleBrands) {
        std::string brand;
        input.readFixedString(brand, 4);
        mCompatibleBrands.push_back(brand);
    }
}

void FileTypeBox::writeBox(BitStream& output)
{
    writeHeader(output);
    output.writeString(mMajorBrand);
    output.writeUInt32(mMinorVersion);
    for (const auto& brand : mCompatibleBrands) {
        output.writeString(brand);
    }
    finalizeSize(output);
}

// ----------------------------------------------------------------- HandlerBox

HandlerBox::HandlerBox() : FullBox("hdlr", 0, 0) {}

void HandlerBox::parseBox(BitStream& input)
{
    parseFullHeader(input);
    input.readUInt32();  // pre-defined
    input.readFixedString(mHandlerType, 4);
    for (int i = 0; i < 3; ++i) {
        input.readUInt32();  // reserved
    }
    input.readCString(mName);
    if (mHandlerType != "pict") {
        log::warning("Unknown media handler in track: " + mHandlerType);
    }
}

void HandlerBox::writeBox(BitStream& output)
{
    writeFullHeader(output);
    output.writeUInt32(0);  // pre-defined
    output.writeString(mHandlerType);
    for (int i = 0; i < 3; ++i) {
        output.writeUInt32(0);  // reserved
    }
    output.writeCString(mName);
    finalizeSize(output);
}

// ------------------------------------------------------------- PrimaryItemBox

PrimaryItemBox::PrimaryItemBox() : FullBox("pitm", 0, 0) {}

void PrimaryItemBox::setItemId(std::uint32_t itemId)
{
    mItemId = itemId;
    if (itemId > 0xFFFFu && getVersion() == 0) {
        setVersion(1);
    }
}

void PrimaryItemBox::parseBox(BitStream& input)
{
    parseFullHeader(input);
    mItemId = getVersion() == 0 ? input.readUInt16() : input.readUInt32();
}

void PrimaryItemBox::writeBox(BitStream& output)
{
    writeFullHeader(output);
    if (getVersion() == 0) {
        output.writeUInt16(static_cast<std::uint16_t>(mItemId));
    } else {
        output.writeUInt32(mItemId);
    }
    finalizeSize(output);
}

// ------------------------------------------------------------- data entries

DataEntryBox::DataEntryBox(FourCCInt boxType, std::uint8_t version, std::uint32_t flags)
    : FullBox(boxType, version, flags)
{
}

DataEntryUrlBox::DataEntryUrlBox() : DataEntryBox("url ", 0, 0) {}

void DataEntryUrlBox::parseBox(BitStream& input)
{
    parseFullHeader(input);
    // Flag 1: the media data is in this file; no location follows.
    if ((getFlags() & 0x000001u) == 0) {
        input.readCString(mLocation);
    }
}

void DataEntryUrlBox::writeBox(BitStream& output)
{
    writeFullHeader(output);
    if ((getFlags() & 0x000001u) == 0) {
        output.writeCString(mLocation);
    }
    finalizeSize(output);
}

DataEntryUrnBox::DataEntryUrnBox() : DataEntryBox("urn ", 0, 0) {}

void DataEntryUrnBox::parseBox(BitStream& input)
{
    parseFullHeader(input);
    input.readCString(mName);
    input.readCString(mLocation);
}

void DataEntryUrnBox::writeBox(BitStream& output)
{
    writeFullHeader(output);
    output.writeCString(mName);
    output.writeCString(mLocation);
    finalizeSize(output);
}

// ----------------------------------------------------------- DataReferenceBox

DataReferenceBox::DataReferenceBox() : FullBox("dref", 0, 0) {}

std::uint32_t DataReferenceBox::addEntry(std::shared_ptr<DataEntryBox> entry)
{
    mEntries.push_back(std::move(entry));
    return static_cast<std::uint32_t>(mEntries.size());
}

void DataReferenceBox::parseBox(BitStream& input)
{
    parseFullHeader(input);
    const std::uint32_t entryCount = input.readUInt32();
    // Every entry is at least a box header.
    input.requireEntries(entryCount, 8, "DataReferenceBox::parseBox");
    for (std::uint32_t i = 0; i < entryCount; ++i) {
        FourCCInt type;
        BitStream child = input.readChildBox(type);
        std::shared_ptr<DataEntryBox> entry;
        if (type == FourCCInt("url ")) {
            entry = std::make_shared<DataEntryUrlBox>();
        } else if (type == FourCCInt("urn ")) {
            entry = std::make_shared<DataEntryUrnBox>();
        } else {
            throw std::runtime_error("An unknown box inside dref");
        }
        entry->parseBox(child);
        addEntry(entry);
    }
}

void DataReferenceBox::writeBox(BitStream& output)
{
    writeFullHeader(output);
    output.writeUInt32(static_cast<std::uint32_t>(mEntries.size()));
    for (const auto& entry : mEntries) {
        entry->writeBox(output);
    }
    finalizeSize(output);
}

// --------------------------------------------------------- DataInformationBox

DataInformationBox::DataInformationBox() : Box("dinf") {}

void DataInformationBox::parseBox(BitStream& input)
{
    parseHeader(input);
    if (input.bytesRemaining() != 0) {
        FourCCInt type;
        BitStream child = input.readChildBox(type);
        mDataReferenceBox.parseBox(child);
    } else {
        log::error("Read an empty dinf box.");
    }
}

void DataInformationBox::writeBox(BitStream& output)
{
    writeHeader(output);
    mDataReferenceBox.writeBox(output);
    finalizeSize(output);
}

// -------------------------------------------------------------------- MetaBox

MetaBox::MetaBox() : FullBox("meta", 0, 0), mItemInfoBox(2) {}

std::vector<std::uint8_t> MetaBox::getProtectionScheme(std::uint16_t index) const
{
    return mItemProtectionBox.getProtectionScheme(index);
}

void MetaBox::parseBox(BitStream& input)
{
    parseFullHeader(input);
    while (input.bytesRemaining() != 0) {
        FourCCInt type;
        BitStream child = input.readChildBox(type);
        switch (type.getUInt32()) {
        case FourCCInt("dinf").getUInt32():
            mDataInformationBox.parseBox(child);
            break;
        case FourCCInt("grpl").getUInt32():
            mGroupsListBox.parseBox(child);
            break;
        case FourCCInt("hdlr").getUInt32():
            mHandlerBox.parseBox(child);
            break;
        case FourCCInt("idat").getUInt32():
            mItemDataBox.parseBox(child);
            break;
        case FourCCInt("iinf").getUInt32():
            mItemInfoBox.parseBox(child);
            break;
        case FourCCInt("iloc").getUInt32():
            mItemLocationBox.parseBox(child);
            break;
        case FourCCInt("ipro").getUInt32():
            mItemProtectionBox.parseBox(child);
            break;
        case FourCCInt("iprp").getUInt32():
            mItemPropertiesBox.parseBox(child);
            break;
        case FourCCInt("iref").getUInt32():
            mItemReferenceBox.parseBox(child);
            break;
        case FourCCInt("pitm").getUInt32():
            mPrimaryItemBox.parseBox(child);
            mHasPrimaryItemBox = true;
            break;
        default:
            break;  // unknown children are skipped whole
        }
    }
}

void MetaBox::writeBox(BitStream& output)
{
    writeFullHeader(output);
    mHandlerBox.writeBox(output);
    if (mPrimaryItemBox.getItemId() != 0) {
        mPrimaryItemBox.writeBox(output);
    }
    if (!mDataInformationBox.getDataReferenceBox().getEntries().empty()) {
        mDataInformationBox.writeBox(output);
    }
    mItemLocationBox.writeBox(output);
    mItemInfoBox.writeBox(output);
    mItemReferenceBox.writeBox(output);  // writes nothing when empty
    mItemPropertiesBox.writeBox(output);
    if (!mItemDataBox.getData().empty()) {
        mItemDataBox.writeBox(output);
    }
    if (!mGroupsListBox.getEntityGroups().empty()) {
        mGroupsListBox.writeBox(output);
    }
    if (mItemProtectionBox.getProtectionCount() != 0) {
        mItemProtectionBox.writeBox(output);
    }
    finalizeSize(output);
}

}  // namespace ambrel::heif
