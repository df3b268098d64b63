#include "heiclib/boxes/sample_entry_boxes.h"

#include <stdexcept>
#include <string>

#include "heiclib/box_factory.h"
#include "heiclib/box_types.h"
#include "heiclib/log.h"
#include "heiclib/memory_budget.h"

namespace ambrel::heif {

namespace {

// The compressor name field: a length byte and 31 bytes of name and padding.
constexpr std::uint32_t kCompressorNameFieldBytes = 32;

void checkCompressorName(const std::string& name)
{
    if (name.size() > VisualSampleEntryBox::COMPRESSORNAME_STRING_LENGTH) {
        throw std::runtime_error("VisualSampleEntryBox: compressor name longer than 31 bytes");
    }
}

}  // namespace

// --- CodingConstraintsBox -------------------------------------------------

CodingConstraintsBox::CodingConstraintsBox() : FullBox(boxtype::kCcst, 0, 0) {}

void CodingConstraintsBox::setMaxRefPerPic(std::uint8_t value)
{
    mMaxRefPerPic = value > 15 ? 15 : value;
}

void CodingConstraintsBox::writeBox(BitStream& output)
{
    writeFullHeader(output);
    output.writeBitField(mAllRefPicsIntra ? 1 : 0, 1);
    output.writeBitField(mIntraPredUsed ? 1 : 0, 1);
    output.writeBitField(mMaxRefPerPic, 4);
    output.writeBitField(0, 26);
    finalizeSize(output);
}

void CodingConstraintsBox::parseBox(BitStream& input)
{
    parseFullHeader(input);
    mAllRefPicsIntra = input.readBitField(1) != 0;
    mIntraPredUsed = input.readBitField(1) != 0;
    mMaxRefPerPic = static_cast<std::uint8_t>(input.readBitField(4));
    input.readBitField(26);  // reserved
}

// --- SampleEntryBox ------------------------------------------------------

SampleEntryBox::SampleEntryBox(FourCCInt codingName) : Box(codingName) {}

void SampleEntryBox::writeSampleEntryFields(BitStream& output)
{
    writeHeader(output);
    for (int i = 0; i < 6; ++i) {
        output.writeUInt8(0);  // reserved
    }
    output.writeUInt16(mDataReferenceIndex);
}

void SampleEntryBox::writeBox(BitStream& output)
{
    writeSampleEntryFields(output);
    finalizeSize(output);
}

void SampleEntryBox::parseBox(BitStream& input)
{
    parseHeader(input);
    for (int i = 0; i < 6; ++i) {
        input.readUInt8();  // reserved
    }
    mDataReferenceIndex = input.readUInt16();
}

// --- VisualSampleEntryBox --------------------------------------------------

VisualSampleEntryBox::VisualSampleEntryBox(FourCCInt codingName, const std::string& compressorName)
    : SampleEntryBox(codingName)
{
    setCompressorName(compressorName);
}

void VisualSampleEntryBox::setCompressorName(const std::string& name)
{
    checkCompressorName(name);
    mCompressorName = name;
    mCompressorNameField.clear();
}

void VisualSampleEntryBox::writeVisualFields(BitStream& output)
{
    writeSampleEntryFields(output);
    output.writeUInt16(0);  // pre-defined
    output.writeUInt16(0);  // reserved
    for (int i = 0; i < 3; ++i) {
        output.writeUInt32(0);  // pre-defined
    }
    output.writeUInt16(mWidth);
    output.writeUInt16(mHeight);
    output.writeUInt32(mHorizontalResolution);
    output.writeUInt32(mVerticalResolution);
    output.writeUInt32(0);  // reserved
    output.writeUInt16(mFrameCount);

    if (mCompressorNameField.size() == kCompressorNameFieldBytes) {
        output.writeBytes(mCompressorNameField);
    } else {
        checkCompressorName(mCompressorName);
        output.writeUInt8(static_cast<std::uint8_t>(mCompressorName.size()));
        for (char c : mCompressorName) {
            output.writeUInt8(static_cast<std::uint8_t>(c));
        }
        for (auto i = static_cast<std::uint32_t>(1 + mCompressorName.size()); i < kCompressorNameFieldBytes; ++i) {
            output.writeUInt8(0);  // padding
        }
    }

    output.writeUInt16(mDepth);
    output.writeUInt16(0xffff);  // pre-defined, -1
    if (mClap) {
        mClap->writeBox(output);
    }
}

void VisualSampleEntryBox::writeBox(BitStream& output)
{
    writeVisualFields(output);
    finalizeSize(output);
}

void VisualSampleEntryBox::parseBox(BitStream& input)
{
    SampleEntryBox::parseBox(input);
    input.readUInt16();  // pre-defined
    input.readUInt16();  // reserved
    for (int i = 0; i < 3; ++i) {
        input.readUInt32();  // pre-defined
    }
    mWidth = input.readUInt16();
    mHeight = input.readUInt16();
    mHorizontalResolution = input.readUInt32();
    mVerticalResolution = input.readUInt32();
    input.readUInt32();  // reserved
    mFrameCount = input.readUInt16();

    const std::uint8_t nameLength = input.readUInt8();
    if (nameLength > COMPRESSORNAME_STRING_LENGTH) {
        throw std::runtime_error("Too long compressorname string length read from VisualSampleEntry (>31 bytes).");
    }
    // The name and its padding fill the rest of the 32-byte field; the name
    // read from the file is not reported (only its field kept for writing).
    std::vector<std::uint8_t> field{nameLength};
    input.readBytes(field, kCompressorNameFieldBytes - 1);
    mCompressorNameField = std::move(field);

    mDepth = input.readUInt16();
    input.readUInt16();  // pre-defined

    // Only a 'clap' directly after the fixed fields is taken here; any other
    // child is left for the subclass.
    if (input.bytesRemaining() > 0) {
        const std::uint32_t position = input.getBytePosition();
        FourCCInt type;
        BitStream child = input.readChildBox(type);
        if (type == boxtype::kClap) {
            auto clap = std::make_shared<CleanAperture>();
            clap->parseBox(child);
            mClap = std::move(clap);
        } else {
            input.seekBytePosition(position);
        }
    }
}

// --- Coded sample entries ------------------------------------------------------

namespace {

// The children of an HEVC or AVC sample entry: its decoder configuration and
// optional coding constraints, in any order. Other children are kept as their
// bytes only.
template <typename ConfigurationBox>
void parseCodedEntryChildren(BitStream& input, FourCCInt configurationType, ConfigurationBox& configuration,
                             CodingConstraintsBox& constraints, bool& constraintsPresent, ChildOrder& order,
                             const char* owner)
{
    order.beginParse();
    forEachChildBox(input, [&](FourCCInt type, BitStream& child) {
        if (type == boxtype::kCcst) {
            constraints.parseBox(child);
            constraintsPresent = true;
        } else if (type == configurationType) {
            configuration.parseBox(child);
        } else {
            log::warning("Skipping unknown box of type '" + type.getString() + "' inside " + owner);
            order.noteRaw(type, child);
            return;
        }
        order.noteModelled(type);
    });
}

template <typename ConfigurationBox>
void writeCodedEntryChildren(BitStream& output, FourCCInt configurationType, ConfigurationBox& configuration,
                             CodingConstraintsBox& constraints, bool constraintsPresent, const ChildOrder& order)
{
    order.write(output, {configurationType, boxtype::kCcst}, [&](FourCCInt type, std::size_t occurrence) {
        if (type == configurationType) {
            if (occurrence != ChildOrder::kNotRead) {
                configuration.writeBox(output);
            }
        } else if (constraintsPresent) {
            constraints.writeBox(output);
        }
    });
}

}  // namespace

HevcSampleEntry::HevcSampleEntry() : VisualSampleEntryBox(boxtype::kHvc1, "HEVC Coding") {}

void HevcSampleEntry::setCodingConstraintsBox(const CodingConstraintsBox& box)
{
    mCodingConstraintsBox = box;
    mIsCodingConstraintsPresent = true;
}

const CodingConstraintsBox* HevcSampleEntry::getCodingConstraintsBox() const
{
    return mIsCodingConstraintsPresent ? &mCodingConstraintsBox : nullptr;
}

void HevcSampleEntry::writeBox(BitStream& output)
{
    writeVisualFields(output);
    writeCodedEntryChildren(output, boxtype::kHvcC, mConfigurationBox, mCodingConstraintsBox,
                            mIsCodingConstraintsPresent, mChildOrder);
    finalizeSize(output);
}

void HevcSampleEntry::parseBox(BitStream& input)
{
    VisualSampleEntryBox::parseBox(input);
    parseCodedEntryChildren(input, boxtype::kHvcC, mConfigurationBox, mCodingConstraintsBox,
                            mIsCodingConstraintsPresent, mChildOrder, "HevcSampleEntry");
}

Av1SampleEntry::Av1SampleEntry() : VisualSampleEntryBox(boxtype::kAv01, "AOM Coding") {}

void Av1SampleEntry::setCodingConstraintsBox(const CodingConstraintsBox& box)
{
    mCodingConstraintsBox = box;
    mIsCodingConstraintsPresent = true;
}

const CodingConstraintsBox* Av1SampleEntry::getCodingConstraintsBox() const
{
    return mIsCodingConstraintsPresent ? &mCodingConstraintsBox : nullptr;
}

void Av1SampleEntry::writeBox(BitStream& output)
{
    writeVisualFields(output);
    writeCodedEntryChildren(output, boxtype::kAv1C, mConfigurationBox, mCodingConstraintsBox,
                            mIsCodingConstraintsPresent, mChildOrder);
    finalizeSize(output);
}

void Av1SampleEntry::parseBox(BitStream& input)
{
    VisualSampleEntryBox::parseBox(input);
    parseCodedEntryChildren(input, boxtype::kAv1C, mConfigurationBox, mCodingConstraintsBox,
                            mIsCodingConstraintsPresent, mChildOrder, "Av1SampleEntry");
}

AvcSampleEntry::AvcSampleEntry() : VisualSampleEntryBox(boxtype::kAvc1, "AVC Coding") {}

void AvcSampleEntry::setCodingConstraintsBox(const CodingConstraintsBox& box)
{
    mCodingConstraintsBox = box;
    mIsCodingConstraintsPresent = true;
}

const CodingConstraintsBox* AvcSampleEntry::getCodingConstraintsBox() const
{
    return mIsCodingConstraintsPresent ? &mCodingConstraintsBox : nullptr;
}

void AvcSampleEntry::writeBox(BitStream& output)
{
    writeVisualFields(output);
    writeCodedEntryChildren(output, boxtype::kAvcC, mConfigurationBox, mCodingConstraintsBox,
                            mIsCodingConstraintsPresent, mChildOrder);
    finalizeSize(output);
}

void AvcSampleEntry::parseBox(BitStream& input)
{
    VisualSampleEntryBox::parseBox(input);
    parseCodedEntryChildren(input, boxtype::kAvcC, mConfigurationBox, mCodingConstraintsBox,
                            mIsCodingConstraintsPresent, mChildOrder, "AvcSampleEntry");
}

// --- SampleDescriptionBox ------------------------------------------------------

SampleDescriptionBox::SampleDescriptionBox() : FullBox(boxtype::kStsd, 0, 0) {}

const VisualSampleEntryBox& SampleDescriptionBox::getSampleEntry(std::uint32_t index) const
{
    if (index == 0 || index > mEntries.size()) {
        throw std::runtime_error("SampleDescriptionBox::getSampleEntry invalid sample entry index.");
    }
    const auto* visual = dynamic_cast<const VisualSampleEntryBox*>(mEntries[index - 1].get());
    if (visual == nullptr) {
        throw std::runtime_error("SampleDescriptionBox::getSampleEntry invalid entry type.");
    }
    return *visual;
}

VisualSampleEntryBox& SampleDescriptionBox::getSampleEntry(std::uint32_t index)
{
    const auto& self = *this;
    return const_cast<VisualSampleEntryBox&>(self.getSampleEntry(index));
}

void SampleDescriptionBox::writeBox(BitStream& output)
{
    for (const auto& entry : mEntries) {
        if (!entry) {
            throw std::runtime_error(
                "SampleDescriptionBox::writeBox can not write file because an unknown sample entry type was present "
                "when the file was read.");
        }
    }
    writeFullHeader(output);
    output.writeUInt32(static_cast<std::uint32_t>(mEntries.size()));
    for (const auto& entry : mEntries) {
        entry->writeBox(output);
    }
    finalizeSize(output);
}

void SampleDescriptionBox::parseBox(BitStream& input)
{
    parseFullHeader(input);
    const std::uint32_t entryCount = input.readUInt32();
    // Every entry is a box of at least a header.
    input.requireEntries(entryCount, 8, "SampleDescriptionBox::parseBox");
    mEntries.clear();
    mEntries.reserve(entryCount);
    for (std::uint32_t i = 0; i < entryCount; ++i) {
        FourCCInt type;
        BitStream child = input.readChildBox(type);
        std::unique_ptr<SampleEntryBox> entry;
        if (type == boxtype::kAvc1) {
            entry = std::make_unique<AvcSampleEntry>();
        } else if (type == boxtype::kHvc1 || type == boxtype::kHev1) {
            entry = std::make_unique<HevcSampleEntry>();
        } else if (type == boxtype::kAv01) {
            entry = std::make_unique<Av1SampleEntry>();
        } else {
            log::warning("Skipping unknown SampleDescriptionBox entry of type '" + type.getString() + "'");
        }
        if (entry && type == boxtype::kAv01) {
            // Entries of codings the reader has only lately learnt are read as
            // far as they go: an unreadable one is left out like an unknown
            // one, and costs its own track, not the movie's other tracks.
            try {
                entry->parseBox(child);
            } catch (const MemoryBudgetExceeded&) {
                throw;
            } catch (const std::exception& e) {
                log::warning("Skipping an unreadable 'av01' sample entry: " + std::string(e.what()));
                entry.reset();
            }
        } else if (entry) {
            entry->parseBox(child);
        }
        mEntries.push_back(std::move(entry));
    }
}

}  // namespace ambrel::heif
