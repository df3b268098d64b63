// The sample description box ('stsd') of a track and the sample entries it
// holds: the generic sample entry, the visual sample entry with its optional
// clean aperture, and the HEVC ('hvc1'/'hev1') and AVC ('avc1') entries with
// their decoder configuration and coding constraints.
//
// Kept apart from the movie boxes because the sample table ('stbl') holds the
// sample description box by value, and the movie boxes hold the sample table.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "heiclib/box.h"
#include "heiclib/box_factory.h"
#include "heiclib/boxes/decoder_config_boxes.h"
#include "heiclib/boxes/image_property_boxes.h"

namespace ambrel::heif {

// 'ccst': coding constraints of the pictures of an image sequence.
class CodingConstraintsBox : public FullBox
{
public:
    CodingConstraintsBox();

    bool getAllRefPicsIntra() const { return mAllRefPicsIntra; }
    void setAllRefPicsIntra(bool value) { mAllRefPicsIntra = value; }
    bool getIntraPredUsed() const { return mIntraPredUsed; }
    void setIntraPredUsed(bool value) { mIntraPredUsed = value; }
    std::uint8_t getMaxRefPerPic() const { return mMaxRefPerPic; }
    // The field has 4 bits: larger values are clamped to 15.
    void setMaxRefPerPic(std::uint8_t value);

    void writeBox(BitStream& output) override;
    void parseBox(BitStream& input) override;

private:
    bool mAllRefPicsIntra = false;
    bool mIntraPredUsed = false;
    std::uint8_t mMaxRefPerPic = 0;
};

// A sample entry: six reserved bytes and the data reference index. The box
// type is the coding name of the samples it describes.
class SampleEntryBox : public Box
{
public:
    explicit SampleEntryBox(FourCCInt codingName);

    std::uint16_t getDataReferenceIndex() const { return mDataReferenceIndex; }
    void setDataReferenceIndex(std::uint16_t index) { mDataReferenceIndex = index; }

    void writeBox(BitStream& output) override;
    void parseBox(BitStream& input) override;

    // The entry's coding constraints box, or nullptr when it has none.
    virtual const CodingConstraintsBox* getCodingConstraintsBox() const { return nullptr; }

protected:
    // Header, reserved bytes and data reference index, without finalizing the size.
    void writeSampleEntryFields(BitStream& output);

private:
    std::uint16_t mDataReferenceIndex = 0;
};

// A visual sample entry: picture size, compressor name and an optional clean
// aperture that directly follows the fixed fields.
class VisualSampleEntryBox : public SampleEntryBox
{
public:
    // Longest compressor name that fits the 32-byte field with its length byte.
    static constexpr std::uint32_t COMPRESSORNAME_STRING_LENGTH = 31;

    // Throws std::runtime_error when the compressor name is longer than 31 bytes.
    VisualSampleEntryBox(FourCCInt codingName, const std::string& compressorName);

    std::uint16_t getWidth() const { return mWidth; }
    void setWidth(std::uint16_t width) { mWidth = width; }
    std::uint16_t getHeight() const { return mHeight; }
    void setHeight(std::uint16_t height) { mHeight = height; }
    // The name given on construction or by the setter; the name in a parsed
    // file is read past and not kept.
    std::string getCompressorName() const { return mCompressorName; }
    // Throws std::runtime_error when the name is longer than 31 bytes.
    void setCompressorName(const std::string& name);
    // The clean aperture, or nullptr when the entry has none.
    std::shared_ptr<CleanAperture> getClap() const { return mClap; }
    void setClap(std::shared_ptr<CleanAperture> clap) { mClap = std::move(clap); }

    void writeBox(BitStream& output) override;
    // Throws std::runtime_error "Too long compressorname string length read
    // from VisualSampleEntry (>31 bytes)." for a length byte above 31.
    void parseBox(BitStream& input) override;

protected:
    // Everything up to and including the clean aperture, size not finalized.
    void writeVisualFields(BitStream& output);

    // The order of the children after the fixed fields, with the bytes of
    // those the entry does not model.
    ChildOrder mChildOrder;

private:
    std::uint16_t mWidth = 0;
    std::uint16_t mHeight = 0;
    std::string mCompressorName;
    std::shared_ptr<CleanAperture> mClap;
    // Fields the model does not use, kept as read so that a parsed entry
    // writes back unchanged; an entry made in memory writes the defaults.
    std::uint32_t mHorizontalResolution = 0x00480000;  // 72 dpi
    std::uint32_t mVerticalResolution = 0x00480000;
    std::uint16_t mFrameCount = 1;
    std::uint16_t mDepth = 0x0018;  // colour without alpha
    // The 32-byte compressor name field of a parsed entry (length byte,
    // name, padding); empty for an entry made in memory or renamed since.
    std::vector<std::uint8_t> mCompressorNameField;
};

// 'hvc1' / 'hev1': an HEVC sample entry with its 'hvcC' and optional 'ccst'.
class HevcSampleEntry : public VisualSampleEntryBox
{
public:
    HevcSampleEntry();  // type 'hvc1', compressor name "HEVC Coding"

    const HevcConfigurationBox& getConfigurationBox() const { return mConfigurationBox; }
    HevcConfigurationBox& getConfigurationBox() { return mConfigurationBox; }
    void setConfigurationBox(const HevcConfigurationBox& box) { mConfigurationBox = box; }
    // Stores the box and marks it present.
    void setCodingConstraintsBox(const CodingConstraintsBox& box);
    const CodingConstraintsBox* getCodingConstraintsBox() const override;

    void writeBox(BitStream& output) override;
    // Keeps the type found in the file ('hvc1' or 'hev1'); unknown children are
    // logged at warning level and skipped.
    void parseBox(BitStream& input) override;

private:
    HevcConfigurationBox mConfigurationBox;
    CodingConstraintsBox mCodingConstraintsBox;
    bool mIsCodingConstraintsPresent = false;
};

// 'avc1': an AVC sample entry with its 'avcC' and optional 'ccst'.
class AvcSampleEntry : public VisualSampleEntryBox
{
public:
    AvcSampleEntry();  // type 'avc1', compressor name "AVC Coding"

    const AvcConfigurationBox& getConfigurationBox() const { return mConfigurationBox; }
    AvcConfigurationBox& getConfigurationBox() { return mConfigurationBox; }
    void setConfigurationBox(const AvcConfigurationBox& box) { mConfigurationBox = box; }
    // Stores the box and marks it present.
    void setCodingConstraintsBox(const CodingConstraintsBox& box);
    const CodingConstraintsBox* getCodingConstraintsBox() const override;

    void writeBox(BitStream& output) override;
    // Keeps the type found in the file; unknown children are logged at warning
    // level and skipped.
    void parseBox(BitStream& input) override;

private:
    AvcConfigurationBox mConfigurationBox;
    CodingConstraintsBox mCodingConstraintsBox;
    bool mIsCodingConstraintsPresent = false;
};

// 'av01': an AV1 sample entry (AVIF image sequences) with its 'av1C' and
// optional 'ccst'.
class Av1SampleEntry : public VisualSampleEntryBox
{
public:
    Av1SampleEntry();  // type 'av01', compressor name "AOM Coding"

    const Av1CodecConfigurationBox& getConfigurationBox() const { return mConfigurationBox; }
    void setConfigurationBox(const Av1CodecConfigurationBox& box) { mConfigurationBox = box; }
    // Stores the box and marks it present.
    void setCodingConstraintsBox(const CodingConstraintsBox& box);
    const CodingConstraintsBox* getCodingConstraintsBox() const override;

    void writeBox(BitStream& output) override;
    // Unknown children are logged at warning level and kept as their bytes.
    void parseBox(BitStream& input) override;

private:
    Av1CodecConfigurationBox mConfigurationBox;
    CodingConstraintsBox mCodingConstraintsBox;
    bool mIsCodingConstraintsPresent = false;
};

// 'stsd': the sample entries of a track. An entry of a coding type this
// parser does not know is kept as an empty slot (nullptr) so that the
// 1-based sample description indices of the following entries stay aligned.
class SampleDescriptionBox : public FullBox
{
public:
    SampleDescriptionBox();

    void addSampleEntry(std::unique_ptr<SampleEntryBox> entry) { mEntries.push_back(std::move(entry)); }
    std::uint32_t getEntryCount() const { return static_cast<std::uint32_t>(mEntries.size()); }
    // All slots in order, empty slots included.
    const std::vector<std::unique_ptr<SampleEntryBox>>& getSampleEntries() const { return mEntries; }

    // The visual sample entry at a 1-based index. Throws std::runtime_error
    // "SampleDescriptionBox::getSampleEntry invalid sample entry index." for 0
    // or an index above the count, and "SampleDescriptionBox::getSampleEntry
    // invalid entry type." for an empty slot or a non-visual entry.
    const VisualSampleEntryBox& getSampleEntry(std::uint32_t index) const;
    VisualSampleEntryBox& getSampleEntry(std::uint32_t index);

    // Refuses to write a box that holds an empty slot.
    void writeBox(BitStream& output) override;
    void parseBox(BitStream& input) override;

private:
    std::vector<std::unique_ptr<SampleEntryBox>> mEntries;
};

}  // namespace ambrel::heif
