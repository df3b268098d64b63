#include "heiclib/boxes/file_meta_boxes.h"

#include <stdexcept>

#include "heiclib/box_factory.h"
#include "heiclib/box_types.h"
#include "heiclib/heif_limits.h"
#include "heiclib/log.h"

namespace ambrel::heif {

// ---------------------------------------------------------------- FileTypeBox

FileTypeBox::FileTypeBox() : Box(boxtype::kFtyp) {}

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

HandlerBox::HandlerBox() : FullBox(boxtype::kHdlr, 0, 0) {}

void HandlerBox::parseBox(BitStream& input)
{
    parseFullHeader(input);
    input.readUInt32();  // pre-defined
    input.readFixedString(mHandlerType, 4);
    for (int i = 0; i < 3; ++i) {
        input.readUInt32();  // reserved
    }
    input.readCString(mName);
    mPadding.clear();
    input.readBytes(mPadding, static_cast<std::uint32_t>(input.bytesRemaining()));
    if (mHandlerType != codetype::kPict.getString()) {
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
    output.writeBytes(mPadding);
    finalizeSize(output);
}

// ------------------------------------------------------------- PrimaryItemBox

PrimaryItemBox::PrimaryItemBox() : FullBox(boxtype::kPitm, 0, 0) {}

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
{}

DataEntryUrlBox::DataEntryUrlBox() : DataEntryBox(boxtype::kUrl, 0, 0) {}

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

DataEntryUrnBox::DataEntryUrnBox() : DataEntryBox(boxtype::kUrn, 0, 0) {}

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

DataReferenceBox::DataReferenceBox() : FullBox(boxtype::kDref, 0, 0) {}

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
        auto entry = std::dynamic_pointer_cast<DataEntryBox>(makeBox(type));
        if (!entry) {
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

DataInformationBox::DataInformationBox() : Box(boxtype::kDinf) {}

void DataInformationBox::parseBox(BitStream& input)
{
    parseHeader(input);
    mOtherChildren.beginParse();
    if (input.bytesRemaining() == 0) {
        log::error("Read an empty dinf box.");
        return;
    }
    bool first = true;
    forEachChildBox(input, [&](FourCCInt type, BitStream& child) {
        if (first) {
            mDataReferenceBox.parseBox(child);
            first = false;
        } else {
            mOtherChildren.noteRaw(type, child);
        }
    });
}

void DataInformationBox::writeBox(BitStream& output)
{
    writeHeader(output);
    mDataReferenceBox.writeBox(output);
    mOtherChildren.write(output, {}, [](FourCCInt, std::size_t) {});
    finalizeSize(output);
}

// -------------------------------------------------------------------- MetaBox

MetaBox::MetaBox() : FullBox(boxtype::kMeta, 0, 0), mItemInfoBox(2) {}

std::vector<std::uint8_t> MetaBox::getProtectionScheme(std::uint16_t index) const
{
    return mItemProtectionBox.getProtectionScheme(index);
}

void MetaBox::parseBox(BitStream& input)
{
    parseFullHeader(input);
    mChildOrder.beginParse();
    forEachChildBox(input, [this](FourCCInt type, BitStream& child) {
        Box* box = modelledChild(type);
        if (box == nullptr) {
            mChildOrder.noteRaw(type, child);  // kept as bytes, not read
            return;
        }
        box->parseBox(child);
        if (type == boxtype::kPitm) {
            mHasPrimaryItemBox = true;
        }
        mChildOrder.noteModelled(type);
    });
}

Box* MetaBox::modelledChild(FourCCInt type)
{
    switch (type.getUInt32()) {
    case boxtype::kDinf.getUInt32(): return &mDataInformationBox;
    case boxtype::kGrpl.getUInt32(): return &mGroupsListBox;
    case boxtype::kHdlr.getUInt32(): return &mHandlerBox;
    case boxtype::kIdat.getUInt32(): return &mItemDataBox;
    case boxtype::kIinf.getUInt32(): return &mItemInfoBox;
    case boxtype::kIloc.getUInt32(): return &mItemLocationBox;
    case boxtype::kIpro.getUInt32(): return &mItemProtectionBox;
    case boxtype::kIprp.getUInt32(): return &mItemPropertiesBox;
    case boxtype::kIref.getUInt32(): return &mItemReferenceBox;
    case boxtype::kPitm.getUInt32(): return &mPrimaryItemBox;
    default: return nullptr;
    }
}

void MetaBox::writeBox(BitStream& output)
{
    writeFullHeader(output);
    // A parsed box writes the children it read in the file's order; a box
    // made in memory writes these, leaving out those with nothing in them.
    mChildOrder.write(
        output,
        {boxtype::kHdlr, boxtype::kPitm, boxtype::kDinf, boxtype::kIloc, boxtype::kIinf, boxtype::kIref, boxtype::kIprp,
         boxtype::kIdat, boxtype::kGrpl, boxtype::kIpro},
        [this, &output](FourCCInt type, std::size_t occurrence) {
            const bool empty =
                (type == boxtype::kPitm && mPrimaryItemBox.getItemId() == 0 && !mHasPrimaryItemBox) ||
                (type == boxtype::kDinf && mDataInformationBox.getDataReferenceBox().getEntries().empty()) ||
                (type == boxtype::kIdat && mItemDataBox.getData().empty()) ||
                (type == boxtype::kGrpl && mGroupsListBox.getEntityGroups().empty()) ||
                (type == boxtype::kIpro && mItemProtectionBox.getProtectionCount() == 0);
            // A parsed box writes back what it read, empty or not; a child
            // it did not read is written once it was given contents (the
            // handler, locations, infos and properties are not optional).
            const bool optional =
                type != boxtype::kHdlr && type != boxtype::kIloc && type != boxtype::kIinf && type != boxtype::kIprp;
            const bool read = mChildOrder.isParsed() && occurrence != ChildOrder::kNotRead;
            if (read || (!empty && (optional || !mChildOrder.isParsed()))) {
                modelledChild(type)->writeBox(output);  // 'iref' writes nothing when empty
            }
        });
    finalizeSize(output);
}

}  // namespace ambrel::heif
