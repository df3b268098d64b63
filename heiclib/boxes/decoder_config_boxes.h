// Decoder configuration records and the item property boxes that carry them:
// 'hvcC' (HEVC), 'lhvC' (layered HEVC) and 'avcC' (AVC), laid out as in
// ISO/IEC 14496-15.
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

}  // namespace ambrel::heif
