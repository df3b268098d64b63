// Decoder configuration records and the item property boxes that carry them:
// 'hvcC' (HEVC), 'lhvC' (layered HEVC) and 'avcC' (AVC), laid out as in
// ISO/IEC 14496-15; 'av1C' (AV1, as in the AV1 codec ISO media file format
// binding), 'jpgC' (JPEG, ISO/IEC 23008-12); and the configuration of
// uncompressed images of ISO/IEC 23001-17: 'uncC', 'cmpd', and the generic
// compression boxes 'cmpC' and 'icef'.
//
// A record holds the codec's parameter-set NAL units grouped in arrays by NAL
// unit type, each unit stored without a start code. getConfigurationMap turns
// a record into the "VPS"/"SPS"/"PPS" map of start-code-prefixed byte strings
// that a decoder is fed before the first coded picture.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "heiclib/bitstream.h"
#include "heiclib/box.h"

namespace ambrel::heif {

// Parameter sets by name ("VPS", "SPS", "PPS"); each value is 00 00 00 01
// followed by one NAL unit (or empty when the record has none of that type).
using ParameterSetMap = std::map<std::string, std::vector<std::uint8_t>>;

// All NAL units of one type held by a record.
struct NalUnitArray
{
    std::uint8_t arrayCompleteness = 0;  // the 1-bit array_completeness flag; 0 for AVC
    std::uint8_t nalUnitType = 0;        // HEVC: 6-bit NAL unit type; AVC: 7 SPS, 8 PPS, 13 SPS extension
    // HEVC: the reserved bit after the completeness flag, 0 for arrays made
    // in memory; kept as read (some writers set it) to write the box back.
    std::uint8_t reservedBit = 0;
    std::vector<std::vector<std::uint8_t>> nalUnits;  // in file order, without start codes
};

// --- HEVC ('hvcC') -----------------------------------------------------------

class HevcDecoderConfigRecord
{
public:
    HevcDecoderConfigRecord() = default;

    // Reads the record from the stream's current (byte-aligned) position.
    void parseDecConfigRecord(BitStream& input);
    // Writes the record; reserved bits are written as 1.
    void writeDecConfigRecord(BitStream& output) const;

    // Adds a NAL unit (a leading start code is stripped) to the first array of
    // its type, creating that array with `arrayCompleteness` when missing.
    void addNalUnit(const std::vector<std::uint8_t>& nalUnit, std::uint8_t nalUnitType, std::uint8_t arrayCompleteness);
    // Appends 00 00 00 01 + the first unit of every non-empty array of the type.
    void getOneParameterSet(std::vector<std::uint8_t>& byteStream, std::uint8_t nalUnitType) const;

    std::uint8_t getConfigurationVersion() const { return mConfigurationVersion; }
    void setConfigurationVersion(std::uint8_t v) { mConfigurationVersion = v; }
    std::uint8_t getGeneralProfileSpace() const { return mGeneralProfileSpace; }
    void setGeneralProfileSpace(std::uint8_t v) { mGeneralProfileSpace = v; }
    std::uint8_t getGeneralTierFlag() const { return mGeneralTierFlag; }
    void setGeneralTierFlag(std::uint8_t v) { mGeneralTierFlag = v; }
    std::uint8_t getGeneralProfileIdc() const { return mGeneralProfileIdc; }
    void setGeneralProfileIdc(std::uint8_t v) { mGeneralProfileIdc = v; }
    std::uint32_t getGeneralProfileCompatibilityFlags() const { return mGeneralProfileCompatibilityFlags; }
    void setGeneralProfileCompatibilityFlags(std::uint32_t v) { mGeneralProfileCompatibilityFlags = v; }
    const std::array<std::uint8_t, 6>& getGeneralConstraintIndicatorFlags() const
    {
        return mGeneralConstraintIndicatorFlags;
    }
    void setGeneralConstraintIndicatorFlags(const std::array<std::uint8_t, 6>& v)
    {
        mGeneralConstraintIndicatorFlags = v;
    }
    std::uint8_t getGeneralLevelIdc() const { return mGeneralLevelIdc; }
    void setGeneralLevelIdc(std::uint8_t v) { mGeneralLevelIdc = v; }
    std::uint16_t getMinSpatialSegmentationIdc() const { return mMinSpatialSegmentationIdc; }
    void setMinSpatialSegmentationIdc(std::uint16_t v) { mMinSpatialSegmentationIdc = v; }
    std::uint8_t getParallelismType() const { return mParallelismType; }
    void setParallelismType(std::uint8_t v) { mParallelismType = v; }
    std::uint8_t getChromaFormatIdc() const { return mChromaFormatIdc; }
    void setChromaFormatIdc(std::uint8_t v) { mChromaFormatIdc = v; }
    std::uint8_t getBitDepthLumaMinus8() const { return mBitDepthLumaMinus8; }
    void setBitDepthLumaMinus8(std::uint8_t v) { mBitDepthLumaMinus8 = v; }
    std::uint8_t getBitDepthChromaMinus8() const { return mBitDepthChromaMinus8; }
    void setBitDepthChromaMinus8(std::uint8_t v) { mBitDepthChromaMinus8 = v; }
    std::uint16_t getAvgFrameRate() const { return mAvgFrameRate; }
    void setAvgFrameRate(std::uint16_t v) { mAvgFrameRate = v; }
    std::uint8_t getConstantFrameRate() const { return mConstantFrameRate; }
    void setConstantFrameRate(std::uint8_t v) { mConstantFrameRate = v; }
    std::uint8_t getNumTemporalLayers() const { return mNumTemporalLayers; }
    void setNumTemporalLayers(std::uint8_t v) { mNumTemporalLayers = v; }
    std::uint8_t getTemporalIdNested() const { return mTemporalIdNested; }
    void setTemporalIdNested(std::uint8_t v) { mTemporalIdNested = v; }
    std::uint8_t getLengthSizeMinusOne() const { return mLengthSizeMinusOne; }
    void setLengthSizeMinusOne(std::uint8_t v) { mLengthSizeMinusOne = v; }
    // The number of arrays held (a file's arrays of one type are merged).
    std::uint8_t getNumOfArrays() const { return static_cast<std::uint8_t>(mArrays.size()); }
    const std::vector<NalUnitArray>& getNalUnitArrays() const { return mArrays; }
    void setNalUnitArrays(const std::vector<NalUnitArray>& arrays) { mArrays = arrays; }

    // Filled only by the writing side from an SPS; not part of the record's bytes.
    std::uint16_t getPicWidth() const { return mPicWidth; }
    void setPicWidth(std::uint16_t v) { mPicWidth = v; }
    std::uint16_t getPicHeight() const { return mPicHeight; }
    void setPicHeight(std::uint16_t v) { mPicHeight = v; }

private:
    std::uint8_t mConfigurationVersion = 1;
    std::uint8_t mGeneralProfileSpace = 0;
    std::uint8_t mGeneralTierFlag = 0;
    std::uint8_t mGeneralProfileIdc = 0;
    std::uint32_t mGeneralProfileCompatibilityFlags = 0;
    std::array<std::uint8_t, 6> mGeneralConstraintIndicatorFlags{};
    std::uint8_t mGeneralLevelIdc = 0;
    std::uint16_t mMinSpatialSegmentationIdc = 0;
    std::uint8_t mParallelismType = 0;
    std::uint8_t mChromaFormatIdc = 0;
    std::uint8_t mBitDepthLumaMinus8 = 0;
    std::uint8_t mBitDepthChromaMinus8 = 0;
    std::uint16_t mAvgFrameRate = 0;
    std::uint8_t mConstantFrameRate = 0;
    std::uint8_t mNumTemporalLayers = 0;
    std::uint8_t mTemporalIdNested = 0;
    std::uint8_t mLengthSizeMinusOne = 0;
    std::vector<NalUnitArray> mArrays;
    std::uint16_t mPicWidth = 0;
    std::uint16_t mPicHeight = 0;
};

// --- Layered HEVC ('lhvC') ---------------------------------------------------

class LHevcDecoderConfigRecord
{
public:
    LHevcDecoderConfigRecord() = default;

    void parseDecConfigRecord(BitStream& input);
    void writeDecConfigRecord(BitStream& output) const;

    void addNalUnit(const std::vector<std::uint8_t>& nalUnit, std::uint8_t nalUnitType, std::uint8_t arrayCompleteness);
    // Appends 00 00 00 01 + unit for every unit of every array of the type.
    void getOneParameterSet(std::vector<std::uint8_t>& byteStream, std::uint8_t nalUnitType) const;

    std::uint8_t getConfigurationVersion() const { return mConfigurationVersion; }
    void setConfigurationVersion(std::uint8_t v) { mConfigurationVersion = v; }
    std::uint16_t getMinSpatialSegmentationIdc() const { return mMinSpatialSegmentationIdc; }
    void setMinSpatialSegmentationIdc(std::uint16_t v) { mMinSpatialSegmentationIdc = v; }
    std::uint8_t getParallelismType() const { return mParallelismType; }
    void setParallelismType(std::uint8_t v) { mParallelismType = v; }
    std::uint8_t getNumTemporalLayers() const { return mNumTemporalLayers; }
    void setNumTemporalLayers(std::uint8_t v) { mNumTemporalLayers = v; }
    std::uint8_t getTemporalIdNested() const { return mTemporalIdNested; }
    void setTemporalIdNested(std::uint8_t v) { mTemporalIdNested = v; }
    std::uint8_t getLengthSizeMinusOne() const { return mLengthSizeMinusOne; }
    void setLengthSizeMinusOne(std::uint8_t v) { mLengthSizeMinusOne = v; }
    std::uint8_t getNumOfArrays() const { return static_cast<std::uint8_t>(mArrays.size()); }
    const std::vector<NalUnitArray>& getNalUnitArrays() const { return mArrays; }
    void setNalUnitArrays(const std::vector<NalUnitArray>& arrays) { mArrays = arrays; }

private:
    std::uint8_t mConfigurationVersion = 1;
    std::uint16_t mMinSpatialSegmentationIdc = 0;
    std::uint8_t mParallelismType = 0;
    std::uint8_t mNumTemporalLayers = 0;
    std::uint8_t mTemporalIdNested = 0;
    std::uint8_t mLengthSizeMinusOne = 0;
    std::vector<NalUnitArray> mArrays;
};

// --- AVC ('avcC') ------------------------------------------------------------

class AvcDecoderConfigRecord
{
public:
    AvcDecoderConfigRecord() = default;

    // Reads the record; the high-profile extension is read only for profiles
    // 100, 110, 122 and 144 and only when bytes are left.
    void parseDecConfigRecord(BitStream& input);
    // Throws std::runtime_error instead of writing when an array holds more
    // units than its count field can express or a unit is over 65535 bytes.
    void writeDecConfigRecord(BitStream& output) const;

    void addNalUnit(const std::vector<std::uint8_t>& nalUnit, std::uint8_t nalUnitType, std::uint8_t arrayCompleteness);
    // Appends 00 00 00 01 + the first unit of the first array of the type.
    void getOneParameterSet(std::vector<std::uint8_t>& byteStream, std::uint8_t nalUnitType) const;

    std::uint8_t getConfigurationVersion() const { return mConfigurationVersion; }
    void setConfigurationVersion(std::uint8_t v) { mConfigurationVersion = v; }
    std::uint8_t getAVCProfileIndication() const { return mAVCProfileIndication; }
    void setAVCProfileIndication(std::uint8_t v) { mAVCProfileIndication = v; }
    std::uint8_t getProfileCompatibility() const { return mProfileCompatibility; }
    void setProfileCompatibility(std::uint8_t v) { mProfileCompatibility = v; }
    std::uint8_t getAVCLevelIndication() const { return mAVCLevelIndication; }
    void setAVCLevelIndication(std::uint8_t v) { mAVCLevelIndication = v; }
    std::uint8_t getLengthSizeMinusOne() const { return mLengthSizeMinusOne; }
    void setLengthSizeMinusOne(std::uint8_t v) { mLengthSizeMinusOne = v; }
    std::uint8_t getChromaFormat() const { return mChromaFormat; }
    void setChromaFormat(std::uint8_t v) { mChromaFormat = v; }
    std::uint8_t getBitDepthLumaMinus8() const { return mBitDepthLumaMinus8; }
    void setBitDepthLumaMinus8(std::uint8_t v) { mBitDepthLumaMinus8 = v; }
    std::uint8_t getBitDepthChromaMinus8() const { return mBitDepthChromaMinus8; }
    void setBitDepthChromaMinus8(std::uint8_t v) { mBitDepthChromaMinus8 = v; }
    // Filled only by the writing side from an SPS; not part of the record's bytes.
    std::uint16_t getPicWidth() const { return mPicWidth; }
    void setPicWidth(std::uint16_t v) { mPicWidth = v; }
    std::uint16_t getPicHeight() const { return mPicHeight; }
    void setPicHeight(std::uint16_t v) { mPicHeight = v; }
    const std::vector<NalUnitArray>& getNalUnitArrays() const { return mArrays; }
    void setNalUnitArrays(const std::vector<NalUnitArray>& arrays) { mArrays = arrays; }

private:
    std::uint8_t mConfigurationVersion = 1;
    std::uint8_t mAVCProfileIndication = 66;
    std::uint8_t mProfileCompatibility = 128;
    std::uint8_t mAVCLevelIndication = 30;
    std::uint8_t mLengthSizeMinusOne = 3;
    std::uint8_t mChromaFormat = 0;
    std::uint8_t mBitDepthLumaMinus8 = 0;
    std::uint8_t mBitDepthChromaMinus8 = 0;
    std::uint16_t mPicWidth = 0;
    std::uint16_t mPicHeight = 0;
    std::vector<NalUnitArray> mArrays;
};

// The parameter-set maps. Every key of the record's kind is present, with an
// empty value when the record holds no unit of that type. AVC has no "VPS".
ParameterSetMap getConfigurationMap(const HevcDecoderConfigRecord& record);
ParameterSetMap getConfigurationMap(const LHevcDecoderConfigRecord& record);
ParameterSetMap getConfigurationMap(const AvcDecoderConfigRecord& record);

// --- The boxes ---------------------------------------------------------------

class HevcConfigurationBox : public Box
{
public:
    HevcConfigurationBox();
    ~HevcConfigurationBox() override = default;

    void writeBox(BitStream& output) override;
    void parseBox(BitStream& input) override;

    const HevcDecoderConfigRecord& getConfiguration() const { return mConfiguration; }
    void setConfiguration(const HevcDecoderConfigRecord& record) { mConfiguration = record; }

private:
    HevcDecoderConfigRecord mConfiguration;
};

class AvcConfigurationBox : public Box
{
public:
    AvcConfigurationBox();
    ~AvcConfigurationBox() override = default;

    void writeBox(BitStream& output) override;
    void parseBox(BitStream& input) override;

    const AvcDecoderConfigRecord& getConfiguration() const { return mConfiguration; }
    void setConfiguration(const AvcDecoderConfigRecord& record) { mConfiguration = record; }

private:
    AvcDecoderConfigRecord mConfiguration;
};

class LayeredHevcConfigurationItemProperty : public Box
{
public:
    LayeredHevcConfigurationItemProperty();
    ~LayeredHevcConfigurationItemProperty() override = default;

    void writeBox(BitStream& output) override;
    void parseBox(BitStream& input) override;

    // A copy of the record.
    LHevcDecoderConfigRecord getConfiguration() const { return mConfiguration; }
    void setConfiguration(const LHevcDecoderConfigRecord& record) { mConfiguration = record; }

private:
    LHevcDecoderConfigRecord mConfiguration;
};

// --- AV1 ('av1C') -------------------------------------------------------------

// The AV1CodecConfigurationRecord: the sequence header's profile, level and
// colour format, then the configOBUs (usually the sequence header OBU).
struct Av1CodecConfiguration
{
    std::uint8_t marker = 1;   // 1 bit, always 1
    std::uint8_t version = 1;  // 7 bits
    std::uint8_t seqProfile = 0;
    std::uint8_t seqLevelIdx0 = 0;
    std::uint8_t seqTier0 = 0;
    std::uint8_t highBitdepth = 0;
    std::uint8_t twelveBit = 0;
    std::uint8_t monochrome = 0;
    std::uint8_t chromaSubsamplingX = 0;
    std::uint8_t chromaSubsamplingY = 0;
    std::uint8_t chromaSamplePosition = 0;
    std::uint8_t reserved = 0;  // the 3 bits before the delay flag, kept as read
    bool initialPresentationDelayPresent = false;
    // initial_presentation_delay_minus_one, or the 4 reserved bits without the flag.
    std::uint8_t initialPresentationDelayMinusOne = 0;
    std::vector<std::uint8_t> configObus;

    // 8, 10 or 12.
    [[nodiscard]] unsigned bitDepth() const { return highBitdepth == 0 ? 8u : (twelveBit != 0 ? 12u : 10u); }
};

class Av1CodecConfigurationBox : public Box
{
public:
    Av1CodecConfigurationBox();

    void writeBox(BitStream& output) override;
    // Refuses a record whose marker bit is 0 or whose version is not 1.
    void parseBox(BitStream& input) override;

    const Av1CodecConfiguration& getConfiguration() const { return mConfiguration; }
    void setConfiguration(const Av1CodecConfiguration& record) { mConfiguration = record; }

private:
    Av1CodecConfiguration mConfiguration;
};

// --- JPEG ('jpgC') -------------------------------------------------------------

// The JPEG prefix: markers (tables, frame header) shared by the image's JPEG
// data and stored once here; the item's data follows them.
class JpegConfigurationBox : public Box
{
public:
    JpegConfigurationBox();

    void writeBox(BitStream& output) override;
    void parseBox(BitStream& input) override;

    const std::vector<std::uint8_t>& getPrefix() const { return mPrefix; }
    void setPrefix(const std::vector<std::uint8_t>& prefix) { mPrefix = prefix; }

private:
    std::vector<std::uint8_t> mPrefix;
};

// --- Uncompressed images (ISO/IEC 23001-17) -------------------------------------

// One component of an uncompressed image's layout.
struct UncompressedComponent
{
    std::uint16_t index = 0;  // into the 'cmpd' component list
    std::uint8_t bitDepthMinusOne = 7;
    std::uint8_t format = 0;     // 0 unsigned integer, 1 float, 2 complex
    std::uint8_t alignSize = 0;  // bytes each component value is padded to; 0 none
};

// What 'uncC' says: how the components of an uncompressed image are laid
// out. Version 1 holds only the profile ('rgb3', 'rgba', 'abgr'), which
// stands for a layout; version 0 spells the layout out (its profile may be 0).
struct UncompressedLayout
{
    FourCCInt profile;
    std::vector<UncompressedComponent> components;
    // 0 no subsampling, 1 4:2:2, 2 4:2:0, 3 4:1:1.
    std::uint8_t samplingType = 0;
    // 0 component (planar), 1 pixel, 2 mixed, 3 row, 4 tile-component, 5 multi-Y.
    std::uint8_t interleaveType = 0;
    std::uint8_t blockSize = 0;
    bool componentsLittleEndian = false;
    bool blockPadLsb = false;
    bool blockLittleEndian = false;
    bool blockReversed = false;
    bool padUnknown = false;
    std::uint8_t reservedBits = 0;  // the 3 bits after the flags, kept as read
    std::uint32_t pixelSize = 0;
    std::uint32_t rowAlignSize = 0;
    std::uint32_t tileAlignSize = 0;
    std::uint32_t numTileColsMinusOne = 0;
    std::uint32_t numTileRowsMinusOne = 0;
};

class UncompressedFrameConfigBox : public FullBox
{
public:
    UncompressedFrameConfigBox();

    void writeBox(BitStream& output) override;
    // Refuses versions above 1 and more than limits::kMaxImageComponents components.
    void parseBox(BitStream& input) override;

    const UncompressedLayout& getLayout() const { return mLayout; }
    void setLayout(const UncompressedLayout& layout) { mLayout = layout; }

private:
    UncompressedLayout mLayout;
};

// 'cmpd': what each component is. Types 0x8000 and above are defined by the
// URI that follows them.
struct ComponentDefinition
{
    // 0 monochrome, 1 Y, 2 Cb, 3 Cr, 4 red, 5 green, 6 blue, 7 alpha, 8 depth, ...
    std::uint16_t type = 0;
    std::string uri;  // types 0x8000 and above only
};

class ComponentDefinitionBox : public Box
{
public:
    ComponentDefinitionBox();

    void writeBox(BitStream& output) override;
    // Refuses more than limits::kMaxImageComponents components.
    void parseBox(BitStream& input) override;

    const std::vector<ComponentDefinition>& getComponents() const { return mComponents; }
    void setComponents(const std::vector<ComponentDefinition>& components) { mComponents = components; }

private:
    std::vector<ComponentDefinition> mComponents;
};

// 'cmpC': the generic compression of an item's data: the compression type
// ('defl' deflate, 'zlib', 'brot' brotli) and what one compressed unit is
// (0 the whole item, 1 an image, 2 a tile, 3 a row, 4 a pixel).
class CompressionConfigurationBox : public FullBox
{
public:
    CompressionConfigurationBox();

    void writeBox(BitStream& output) override;
    // Refuses versions other than 0.
    void parseBox(BitStream& input) override;

    FourCCInt getCompressionType() const { return mCompressionType; }
    void setCompressionType(FourCCInt type) { mCompressionType = type; }
    std::uint8_t getCompressedUnitType() const { return mCompressedUnitType; }
    void setCompressedUnitType(std::uint8_t type) { mCompressedUnitType = type; }

private:
    FourCCInt mCompressionType;
    std::uint8_t mCompressedUnitType = 0;
};

// 'icef': where each compressed unit lies in the item's data. The field size
// codes say how wide the stored offsets and sizes are: offsets 0 (none: each
// unit follows the previous), 1 16 bits, 2 24, 3 32, 4 64; sizes 0 8 bits,
// 1 16, 2 24, 3 32, 4 64.
class CompressedUnitsInfoBox : public FullBox
{
public:
    struct Unit
    {
        std::uint64_t offset = 0;
        std::uint64_t size = 0;
    };

    CompressedUnitsInfoBox();

    // Refuses offsets or sizes its codes cannot hold.
    void writeBox(BitStream& output) override;
    // Refuses versions other than 0, codes above 4 and more than
    // limits::kMaxCompressedUnits units; the units are charged to the
    // memory budget.
    void parseBox(BitStream& input) override;

    std::uint8_t getOffsetCode() const { return mOffsetCode; }
    std::uint8_t getSizeCode() const { return mSizeCode; }
    void setCodes(std::uint8_t offsetCode, std::uint8_t sizeCode)
    {
        mOffsetCode = offsetCode;
        mSizeCode = sizeCode;
    }
    // With offset code 0 the offsets are those the sizes imply.
    const std::vector<Unit>& getUnits() const { return mUnits; }
    void setUnits(const std::vector<Unit>& units) { mUnits = units; }

private:
    std::uint8_t mOffsetCode = 0;
    std::uint8_t mSizeCode = 0;
    std::uint8_t mReservedBits = 0;
    std::vector<Unit> mUnits;
};

}  // namespace ambrel::heif
