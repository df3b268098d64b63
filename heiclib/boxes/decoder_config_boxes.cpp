#include "heiclib/boxes/decoder_config_boxes.h"

#include <cstddef>
#include <initializer_list>
#include <iterator>
#include <stdexcept>
#include <string>
#include <utility>

#include "heiclib/box_types.h"
#include "heiclib/heif_limits.h"
#include "heiclib/memory_budget.h"

namespace ambrel::heif {

namespace {

// NAL unit types of the parameter sets.
constexpr std::uint8_t kHevcVps = 32;
constexpr std::uint8_t kHevcSps = 33;
constexpr std::uint8_t kHevcPps = 34;
constexpr std::uint8_t kAvcSps = 7;
constexpr std::uint8_t kAvcPps = 8;
constexpr std::uint8_t kAvcSpsExt = 13;

// Every NAL unit and every unit count is prefixed by a 16-bit field.
constexpr std::size_t kMaxUnitLength = 0xffff;
constexpr std::size_t kMaxUnitCount = 0xffff;

// The AVC count fields: 5 bits for SPS, 8 bits for PPS and SPS extensions.
constexpr std::size_t kMaxAvcSpsCount = (1u << 5) - 1;
constexpr std::size_t kMaxAvcPpsCount = (1u << 8) - 1;

const std::uint8_t kStartCode[] = {0x00, 0x00, 0x00, 0x01};

// Removes a leading start code: two or more zero bytes followed by 01.
std::vector<std::uint8_t> withoutStartCode(const std::vector<std::uint8_t>& bytes)
{
    std::size_t zeros = 0;
    while (zeros < bytes.size() && bytes[zeros] == 0) {
        ++zeros;
    }
    if (zeros >= 2 && zeros < bytes.size() && bytes[zeros] == 0x01) {
        return std::vector<std::uint8_t>(bytes.begin() + static_cast<std::ptrdiff_t>(zeros + 1), bytes.end());
    }
    return bytes;
}

void addNalUnitTo(std::vector<NalUnitArray>& arrays, const std::vector<std::uint8_t>& nalUnit, std::uint8_t nalUnitType,
                  std::uint8_t arrayCompleteness)
{
    NalUnitArray* target = nullptr;
    for (auto& array : arrays) {
        if (array.nalUnitType == nalUnitType) {
            target = &array;
            break;
        }
    }
    if (target == nullptr) {
        NalUnitArray fresh;
        fresh.arrayCompleteness = arrayCompleteness;
        fresh.nalUnitType = nalUnitType;
        arrays.push_back(std::move(fresh));
        target = &arrays.back();
    }
    target->nalUnits.push_back(withoutStartCode(nalUnit));
}

void appendWithStartCode(std::vector<std::uint8_t>& out, const std::vector<std::uint8_t>& unit)
{
    out.insert(out.end(), std::begin(kStartCode), std::end(kStartCode));
    out.insert(out.end(), unit.begin(), unit.end());
}

// `count` units of a 16-bit length and that many bytes each.
void parseUnits(BitStream& in, std::vector<NalUnitArray>& arrays, std::uint32_t count, std::uint8_t nalUnitType,
                std::uint8_t arrayCompleteness, const char* what)
{
    in.requireEntries(count, 2, what);
    for (std::uint32_t i = 0; i < count; ++i) {
        const std::uint16_t length = in.readUInt16();
        std::vector<std::uint8_t> unit;
        in.readBytes(unit, length);
        addNalUnitTo(arrays, unit, nalUnitType, arrayCompleteness);
    }
}

// The HEVC-style array list: 8-bit count, then per array completeness (1),
// reserved (1), NAL unit type (6), 16-bit unit count and the units.
void parseHevcArrays(BitStream& in, std::vector<NalUnitArray>& arrays, const char* what)
{
    const std::uint32_t numOfArrays = in.readBitField(8);
    in.requireEntries(numOfArrays, 3, what);
    for (std::uint32_t i = 0; i < numOfArrays; ++i) {
        const auto completeness = static_cast<std::uint8_t>(in.readBitField(1));
        const auto reserved = static_cast<std::uint8_t>(in.readBitField(1));
        const auto type = static_cast<std::uint8_t>(in.readBitField(6));
        const std::uint32_t numNalus = in.readBitField(16);
        const std::size_t arraysBefore = arrays.size();
        parseUnits(in, arrays, numNalus, type, completeness, what);
        if (arrays.size() > arraysBefore) {
            arrays.back().reservedBit = reserved;
        }
    }
}

[[noreturn]] void refuse(const char* what, const std::string& problem)
{
    throw std::runtime_error(std::string(what) + " " + problem);
}

// Refuses units that their 16-bit length field cannot describe.
void checkUnits(const std::vector<std::vector<std::uint8_t>>& units, const char* what)
{
    for (const auto& unit : units) {
        if (unit.size() > kMaxUnitLength) {
            refuse(what, "cannot write a NAL unit of " + std::to_string(unit.size()) +
                             " bytes; the length field holds at most 65535.");
        }
    }
}

void writeUnits(BitStream& out, const std::vector<std::vector<std::uint8_t>>& units)
{
    for (const auto& unit : units) {
        out.writeUInt16(static_cast<std::uint16_t>(unit.size()));
        out.writeBytes(unit);
    }
}

void checkHevcArrays(const std::vector<NalUnitArray>& arrays, const char* what)
{
    if (arrays.size() > 0xff) {
        refuse(what,
               "cannot write " + std::to_string(arrays.size()) + " NAL unit arrays; the count holds at most 255.");
    }
    for (const auto& array : arrays) {
        if (array.nalUnits.size() > kMaxUnitCount) {
            refuse(what, "cannot write " + std::to_string(array.nalUnits.size()) +
                             " NAL units in one array; the count holds at most 65535.");
        }
        checkUnits(array.nalUnits, what);
    }
}

void writeHevcArrays(BitStream& out, const std::vector<NalUnitArray>& arrays)
{
    out.writeBitField(static_cast<std::uint32_t>(arrays.size()), 8);
    for (const auto& array : arrays) {
        out.writeBitField(array.arrayCompleteness, 1);
        out.writeBitField(array.reservedBit, 1);
        out.writeBitField(array.nalUnitType, 6);
        out.writeBitField(static_cast<std::uint32_t>(array.nalUnits.size()), 16);
        writeUnits(out, array.nalUnits);
    }
}

bool hasAvcExtension(std::uint8_t profile)
{
    return profile == 100 || profile == 110 || profile == 122 || profile == 144;
}

const NalUnitArray* firstArrayOfType(const std::vector<NalUnitArray>& arrays, std::uint8_t type)
{
    for (const auto& array : arrays) {
        if (array.nalUnitType == type) {
            return &array;
        }
    }
    return nullptr;
}

template <typename Record>
ParameterSetMap buildMap(const Record& record, std::initializer_list<std::pair<const char*, std::uint8_t>> keys)
{
    ParameterSetMap map;
    for (const auto& [name, type] : keys) {
        std::vector<std::uint8_t> bytes;
        record.getOneParameterSet(bytes, type);
        map.emplace(name, std::move(bytes));
    }
    return map;
}

}  // namespace

// --- HevcDecoderConfigRecord -------------------------------------------------

void HevcDecoderConfigRecord::parseDecConfigRecord(BitStream& in)
{
    mConfigurationVersion = static_cast<std::uint8_t>(in.readBitField(8));
    mGeneralProfileSpace = static_cast<std::uint8_t>(in.readBitField(2));
    mGeneralTierFlag = static_cast<std::uint8_t>(in.readBitField(1));
    mGeneralProfileIdc = static_cast<std::uint8_t>(in.readBitField(5));
    mGeneralProfileCompatibilityFlags = in.readBitField(32);
    for (auto& byte : mGeneralConstraintIndicatorFlags) {
        byte = static_cast<std::uint8_t>(in.readBitField(8));
    }
    mGeneralLevelIdc = static_cast<std::uint8_t>(in.readBitField(8));
    in.readBitField(4);
    mMinSpatialSegmentationIdc = static_cast<std::uint16_t>(in.readBitField(12));
    in.readBitField(6);
    mParallelismType = static_cast<std::uint8_t>(in.readBitField(2));
    in.readBitField(6);
    mChromaFormatIdc = static_cast<std::uint8_t>(in.readBitField(2));
    in.readBitField(5);
    mBitDepthLumaMinus8 = static_cast<std::uint8_t>(in.readBitField(3));
    in.readBitField(5);
    mBitDepthChromaMinus8 = static_cast<std::uint8_t>(in.readBitField(3));
    mAvgFrameRate = static_cast<std::uint16_t>(in.readBitField(16));
    mConstantFrameRate = static_cast<std::uint8_t>(in.readBitField(2));
    mNumTemporalLayers = static_cast<std::uint8_t>(in.readBitField(3));
    mTemporalIdNested = static_cast<std::uint8_t>(in.readBitField(1));
    mLengthSizeMinusOne = static_cast<std::uint8_t>(in.readBitField(2));
    mArrays.clear();
    parseHevcArrays(in, mArrays, "HevcDecoderConfigRecord::parseDecConfigRecord");
}

void HevcDecoderConfigRecord::writeDecConfigRecord(BitStream& out) const
{
    checkHevcArrays(mArrays, "HevcDecoderConfigRecord::writeDecConfigRecord()");
    out.writeBitField(mConfigurationVersion, 8);
    out.writeBitField(mGeneralProfileSpace, 2);
    out.writeBitField(mGeneralTierFlag, 1);
    out.writeBitField(mGeneralProfileIdc, 5);
    out.writeBitField(mGeneralProfileCompatibilityFlags, 32);
    for (auto byte : mGeneralConstraintIndicatorFlags) {
        out.writeBitField(byte, 8);
    }
    out.writeBitField(mGeneralLevelIdc, 8);
    out.writeBitField(0xf, 4);
    out.writeBitField(mMinSpatialSegmentationIdc, 12);
    out.writeBitField(0x3f, 6);
    out.writeBitField(mParallelismType, 2);
    out.writeBitField(0x3f, 6);
    out.writeBitField(mChromaFormatIdc, 2);
    out.writeBitField(0x1f, 5);
    out.writeBitField(mBitDepthLumaMinus8, 3);
    out.writeBitField(0x1f, 5);
    out.writeBitField(mBitDepthChromaMinus8, 3);
    out.writeBitField(mAvgFrameRate, 16);
    out.writeBitField(mConstantFrameRate, 2);
    out.writeBitField(mNumTemporalLayers, 3);
    out.writeBitField(mTemporalIdNested, 1);
    out.writeBitField(mLengthSizeMinusOne, 2);
    writeHevcArrays(out, mArrays);
}

void HevcDecoderConfigRecord::addNalUnit(const std::vector<std::uint8_t>& nalUnit, std::uint8_t nalUnitType,
                                         std::uint8_t arrayCompleteness)
{
    addNalUnitTo(mArrays, nalUnit, nalUnitType, arrayCompleteness);
}

void HevcDecoderConfigRecord::getOneParameterSet(std::vector<std::uint8_t>& byteStream, std::uint8_t nalUnitType) const
{
    for (const auto& array : mArrays) {
        if (array.nalUnitType == nalUnitType && !array.nalUnits.empty()) {
            appendWithStartCode(byteStream, array.nalUnits.front());
        }
    }
}

// --- LHevcDecoderConfigRecord ------------------------------------------------

void LHevcDecoderConfigRecord::parseDecConfigRecord(BitStream& in)
{
    mConfigurationVersion = static_cast<std::uint8_t>(in.readBitField(8));
    in.readBitField(4);
    mMinSpatialSegmentationIdc = static_cast<std::uint16_t>(in.readBitField(12));
    in.readBitField(6);
    mParallelismType = static_cast<std::uint8_t>(in.readBitField(2));
    in.readBitField(2);
    mNumTemporalLayers = static_cast<std::uint8_t>(in.readBitField(3));
    mTemporalIdNested = static_cast<std::uint8_t>(in.readBitField(1));
    mLengthSizeMinusOne = static_cast<std::uint8_t>(in.readBitField(2));
    mArrays.clear();
    parseHevcArrays(in, mArrays, "LHevcDecoderConfigRecord::parseDecConfigRecord");
}

void LHevcDecoderConfigRecord::writeDecConfigRecord(BitStream& out) const
{
    checkHevcArrays(mArrays, "LHevcDecoderConfigRecord::writeDecConfigRecord()");
    out.writeBitField(mConfigurationVersion, 8);
    out.writeBitField(0xf, 4);
    out.writeBitField(mMinSpatialSegmentationIdc, 12);
    out.writeBitField(0x3f, 6);
    out.writeBitField(mParallelismType, 2);
    out.writeBitField(0x3, 2);
    out.writeBitField(mNumTemporalLayers, 3);
    out.writeBitField(mTemporalIdNested, 1);
    out.writeBitField(mLengthSizeMinusOne, 2);
    writeHevcArrays(out, mArrays);
}

void LHevcDecoderConfigRecord::addNalUnit(const std::vector<std::uint8_t>& nalUnit, std::uint8_t nalUnitType,
                                          std::uint8_t arrayCompleteness)
{
    addNalUnitTo(mArrays, nalUnit, nalUnitType, arrayCompleteness);
}

void LHevcDecoderConfigRecord::getOneParameterSet(std::vector<std::uint8_t>& byteStream, std::uint8_t nalUnitType) const
{
    for (const auto& array : mArrays) {
        if (array.nalUnitType == nalUnitType) {
            for (const auto& unit : array.nalUnits) {
                appendWithStartCode(byteStream, unit);
            }
        }
    }
}

// --- AvcDecoderConfigRecord --------------------------------------------------

void AvcDecoderConfigRecord::parseDecConfigRecord(BitStream& in)
{
    static const char* const what = "AvcDecoderConfigRecord::parseDecConfigRecord";
    mConfigurationVersion = static_cast<std::uint8_t>(in.readBitField(8));
    mAVCProfileIndication = static_cast<std::uint8_t>(in.readBitField(8));
    mProfileCompatibility = static_cast<std::uint8_t>(in.readBitField(8));
    mAVCLevelIndication = static_cast<std::uint8_t>(in.readBitField(8));
    in.readBitField(6);
    mLengthSizeMinusOne = static_cast<std::uint8_t>(in.readBitField(2));
    in.readBitField(3);
    mArrays.clear();
    const std::uint32_t spsCount = in.readBitField(5);
    parseUnits(in, mArrays, spsCount, kAvcSps, 0, what);
    const std::uint32_t ppsCount = in.readBitField(8);
    parseUnits(in, mArrays, ppsCount, kAvcPps, 0, what);

    // The extension of the high profiles, present only when bytes are left.
    if (in.bytesRemaining() <= 0 || !hasAvcExtension(mAVCProfileIndication)) {
        return;
    }
    in.readBitField(6);
    mChromaFormat = static_cast<std::uint8_t>(in.readBitField(2));
    in.readBitField(5);
    mBitDepthLumaMinus8 = static_cast<std::uint8_t>(in.readBitField(3));
    in.readBitField(5);
    mBitDepthChromaMinus8 = static_cast<std::uint8_t>(in.readBitField(3));
    const std::uint32_t extCount = in.readBitField(8);
    parseUnits(in, mArrays, extCount, kAvcSpsExt, 0, what);
}

void AvcDecoderConfigRecord::writeDecConfigRecord(BitStream& out) const
{
    static const char* const what = "AvcDecoderConfigRecord::writeDecConfigRecord()";
    static const std::vector<std::vector<std::uint8_t>> none;
    auto unitsOf = [this](std::uint8_t type) -> const std::vector<std::vector<std::uint8_t>>& {
        const NalUnitArray* array = firstArrayOfType(mArrays, type);
        return array != nullptr ? array->nalUnits : none;
    };
    const auto& sps = unitsOf(kAvcSps);
    const auto& pps = unitsOf(kAvcPps);
    const auto& spsExt = unitsOf(kAvcSpsExt);
    const bool extension = hasAvcExtension(mAVCProfileIndication);
    // Check everything before the first byte goes out.
    if (sps.size() > kMaxAvcSpsCount) {
        refuse(what,
               "cannot write " + std::to_string(sps.size()) + " SPS NAL units; the count field holds at most 31.");
    }
    if (pps.size() > kMaxAvcPpsCount) {
        refuse(what,
               "cannot write " + std::to_string(pps.size()) + " PPS NAL units; the count field holds at most 255.");
    }
    if (extension && spsExt.size() > kMaxAvcPpsCount) {
        refuse(what, "cannot write " + std::to_string(spsExt.size()) +
                         " SPS extension NAL units; the count field holds at most 255.");
    }
    checkUnits(sps, what);
    checkUnits(pps, what);
    if (extension) {
        checkUnits(spsExt, what);
    }

    out.writeBitField(mConfigurationVersion, 8);
    out.writeBitField(mAVCProfileIndication, 8);
    out.writeBitField(mProfileCompatibility, 8);
    out.writeBitField(mAVCLevelIndication, 8);
    out.writeBitField(0x3f, 6);
    out.writeBitField(mLengthSizeMinusOne, 2);
    out.writeBitField(0x7, 3);
    out.writeBitField(static_cast<std::uint32_t>(sps.size()), 5);
    writeUnits(out, sps);
    out.writeBitField(static_cast<std::uint32_t>(pps.size()), 8);
    writeUnits(out, pps);
    if (extension) {
        out.writeBitField(0x3f, 6);
        out.writeBitField(mChromaFormat, 2);
        out.writeBitField(0x1f, 5);
        out.writeBitField(mBitDepthLumaMinus8, 3);
        out.writeBitField(0x1f, 5);
        out.writeBitField(mBitDepthChromaMinus8, 3);
        out.writeBitField(static_cast<std::uint32_t>(spsExt.size()), 8);
        writeUnits(out, spsExt);
    }
}

void AvcDecoderConfigRecord::addNalUnit(const std::vector<std::uint8_t>& nalUnit, std::uint8_t nalUnitType,
                                        std::uint8_t arrayCompleteness)
{
    addNalUnitTo(mArrays, nalUnit, nalUnitType, arrayCompleteness);
}

void AvcDecoderConfigRecord::getOneParameterSet(std::vector<std::uint8_t>& byteStream, std::uint8_t nalUnitType) const
{
    const NalUnitArray* array = firstArrayOfType(mArrays, nalUnitType);
    if (array != nullptr && !array->nalUnits.empty()) {
        appendWithStartCode(byteStream, array->nalUnits.front());
    }
}

// --- parameter-set maps ------------------------------------------------------

ParameterSetMap getConfigurationMap(const HevcDecoderConfigRecord& record)
{
    return buildMap(record, {{"SPS", kHevcSps}, {"PPS", kHevcPps}, {"VPS", kHevcVps}});
}

ParameterSetMap getConfigurationMap(const LHevcDecoderConfigRecord& record)
{
    return buildMap(record, {{"SPS", kHevcSps}, {"PPS", kHevcPps}, {"VPS", kHevcVps}});
}

ParameterSetMap getConfigurationMap(const AvcDecoderConfigRecord& record)
{
    return buildMap(record, {{"SPS", kAvcSps}, {"PPS", kAvcPps}});
}

// --- boxes -------------------------------------------------------------------

HevcConfigurationBox::HevcConfigurationBox() : Box(boxtype::kHvcC) {}

void HevcConfigurationBox::parseBox(BitStream& in)
{
    parseHeader(in);
    mConfiguration.parseDecConfigRecord(in);
}

void HevcConfigurationBox::writeBox(BitStream& out)
{
    // The record goes to a scratch stream first, so a refused record leaves
    // no half-written box behind.
    BitStream body;
    mConfiguration.writeDecConfigRecord(body);
    writeHeader(out);
    out.writeBytes(body.getStorage());
    finalizeSize(out);
}

AvcConfigurationBox::AvcConfigurationBox() : Box(boxtype::kAvcC) {}

void AvcConfigurationBox::parseBox(BitStream& in)
{
    parseHeader(in);
    mConfiguration.parseDecConfigRecord(in);
}

void AvcConfigurationBox::writeBox(BitStream& out)
{
    // The record goes to a scratch stream first, so a refused record leaves
    // no half-written box behind.
    BitStream body;
    mConfiguration.writeDecConfigRecord(body);
    writeHeader(out);
    out.writeBytes(body.getStorage());
    finalizeSize(out);
}

LayeredHevcConfigurationItemProperty::LayeredHevcConfigurationItemProperty() : Box(boxtype::kLhvC) {}

void LayeredHevcConfigurationItemProperty::parseBox(BitStream& in)
{
    parseHeader(in);
    mConfiguration.parseDecConfigRecord(in);
}

void LayeredHevcConfigurationItemProperty::writeBox(BitStream& out)
{
    // The record goes to a scratch stream first, so a refused record leaves
    // no half-written box behind.
    BitStream body;
    mConfiguration.writeDecConfigRecord(body);
    writeHeader(out);
    out.writeBytes(body.getStorage());
    finalizeSize(out);
}

// --- Av1CodecConfigurationBox ---------------------------------------------------

Av1CodecConfigurationBox::Av1CodecConfigurationBox() : Box(boxtype::kAv1C) {}

void Av1CodecConfigurationBox::parseBox(BitStream& in)
{
    parseHeader(in);
    Av1CodecConfiguration r;
    r.marker = static_cast<std::uint8_t>(in.readBitField(1));
    r.version = static_cast<std::uint8_t>(in.readBitField(7));
    if (r.marker != 1 || r.version != 1) {
        throw std::runtime_error(
            "Av1CodecConfigurationBox::parseBox() supports only 'av1C' version 1 with its marker "
            "bit set (found marker " +
            std::to_string(r.marker) + ", version " + std::to_string(r.version) + ")");
    }
    r.seqProfile = static_cast<std::uint8_t>(in.readBitField(3));
    r.seqLevelIdx0 = static_cast<std::uint8_t>(in.readBitField(5));
    r.seqTier0 = static_cast<std::uint8_t>(in.readBitField(1));
    r.highBitdepth = static_cast<std::uint8_t>(in.readBitField(1));
    r.twelveBit = static_cast<std::uint8_t>(in.readBitField(1));
    r.monochrome = static_cast<std::uint8_t>(in.readBitField(1));
    r.chromaSubsamplingX = static_cast<std::uint8_t>(in.readBitField(1));
    r.chromaSubsamplingY = static_cast<std::uint8_t>(in.readBitField(1));
    r.chromaSamplePosition = static_cast<std::uint8_t>(in.readBitField(2));
    r.reserved = static_cast<std::uint8_t>(in.readBitField(3));
    r.initialPresentationDelayPresent = in.readBitField(1) != 0;
    r.initialPresentationDelayMinusOne = static_cast<std::uint8_t>(in.readBitField(4));
    const std::int32_t remaining = in.bytesRemaining();
    if (remaining > 0) {
        in.readBytes(r.configObus, static_cast<std::uint32_t>(remaining));
    }
    mConfiguration = std::move(r);
}

void Av1CodecConfigurationBox::writeBox(BitStream& out)
{
    const Av1CodecConfiguration& r = mConfiguration;
    writeHeader(out);
    out.writeBitField(r.marker, 1);
    out.writeBitField(r.version, 7);
    out.writeBitField(r.seqProfile, 3);
    out.writeBitField(r.seqLevelIdx0, 5);
    out.writeBitField(r.seqTier0, 1);
    out.writeBitField(r.highBitdepth, 1);
    out.writeBitField(r.twelveBit, 1);
    out.writeBitField(r.monochrome, 1);
    out.writeBitField(r.chromaSubsamplingX, 1);
    out.writeBitField(r.chromaSubsamplingY, 1);
    out.writeBitField(r.chromaSamplePosition, 2);
    out.writeBitField(r.reserved, 3);
    out.writeBitField(r.initialPresentationDelayPresent ? 1 : 0, 1);
    out.writeBitField(r.initialPresentationDelayMinusOne, 4);
    out.writeBytes(r.configObus);
    finalizeSize(out);
}

// --- JpegConfigurationBox --------------------------------------------------------

JpegConfigurationBox::JpegConfigurationBox() : Box(boxtype::kJpgC) {}

void JpegConfigurationBox::parseBox(BitStream& in)
{
    parseHeader(in);
    mPrefix.clear();
    const std::int32_t remaining = in.bytesRemaining();
    if (remaining > 0) {
        in.readBytes(mPrefix, static_cast<std::uint32_t>(remaining));
    }
}

void JpegConfigurationBox::writeBox(BitStream& out)
{
    writeHeader(out);
    out.writeBytes(mPrefix);
    finalizeSize(out);
}

// --- the boxes of uncompressed images ---------------------------------------------

namespace {

// Refuses a component count past the limit and charges the list to the
// stream's memory budget; `bytesEach` is the least a component takes on file.
void checkComponentCount(BitStream& in, std::uint32_t count, std::uint64_t bytesEach, std::uint64_t bytesInMemory,
                         const char* what)
{
    if (count > limits::kMaxImageComponents) {
        throw std::runtime_error(std::string(what) + " " + std::to_string(count) +
                                 " components are more than the limit kMaxImageComponents (" +
                                 std::to_string(limits::kMaxImageComponents) + ")");
    }
    in.requireEntries(count, bytesEach, what);
    if (MemoryBudget* budget = in.memoryBudget()) {
        budget->charge(std::uint64_t(count) * bytesInMemory, std::string("the component list of ") + what);
    }
}

}  // namespace

UncompressedFrameConfigBox::UncompressedFrameConfigBox() : FullBox(boxtype::kUncC, 0, 0) {}

void UncompressedFrameConfigBox::parseBox(BitStream& in)
{
    const char* const what = "UncompressedFrameConfigBox::parseBox()";
    parseFullHeader(in);
    if (getVersion() > 1) {
        throw std::runtime_error(std::string(what) + " supports only 'uncC' versions 0 and 1 (found version " +
                                 std::to_string(getVersion()) + ")");
    }
    UncompressedLayout layout;
    layout.profile = FourCCInt(in.readUInt32());
    if (getVersion() == 1) {
        mLayout = std::move(layout);
        return;
    }
    const std::uint32_t count = in.readUInt32();
    checkComponentCount(in, count, 5, sizeof(UncompressedComponent), what);
    layout.components.reserve(count);
    for (std::uint32_t i = 0; i < count; ++i) {
        UncompressedComponent c;
        c.index = in.readUInt16();
        c.bitDepthMinusOne = in.readUInt8();
        c.format = in.readUInt8();
        c.alignSize = in.readUInt8();
        layout.components.push_back(c);
    }
    layout.samplingType = in.readUInt8();
    layout.interleaveType = in.readUInt8();
    layout.blockSize = in.readUInt8();
    const std::uint8_t flags = in.readUInt8();
    layout.componentsLittleEndian = (flags & 0x80) != 0;
    layout.blockPadLsb = (flags & 0x40) != 0;
    layout.blockLittleEndian = (flags & 0x20) != 0;
    layout.blockReversed = (flags & 0x10) != 0;
    layout.padUnknown = (flags & 0x08) != 0;
    layout.reservedBits = flags & 0x07;
    layout.pixelSize = in.readUInt32();
    layout.rowAlignSize = in.readUInt32();
    layout.tileAlignSize = in.readUInt32();
    layout.numTileColsMinusOne = in.readUInt32();
    layout.numTileRowsMinusOne = in.readUInt32();
    mLayout = std::move(layout);
}

void UncompressedFrameConfigBox::writeBox(BitStream& out)
{
    const UncompressedLayout& l = mLayout;
    writeFullHeader(out);
    out.writeUInt32(l.profile.getUInt32());
    if (getVersion() != 1) {
        out.writeUInt32(static_cast<std::uint32_t>(l.components.size()));
        for (const auto& c : l.components) {
            out.writeUInt16(c.index);
            out.writeUInt8(c.bitDepthMinusOne);
            out.writeUInt8(c.format);
            out.writeUInt8(c.alignSize);
        }
        out.writeUInt8(l.samplingType);
        out.writeUInt8(l.interleaveType);
        out.writeUInt8(l.blockSize);
        out.writeUInt8(static_cast<std::uint8_t>((l.componentsLittleEndian ? 0x80 : 0) | (l.blockPadLsb ? 0x40 : 0) |
                                                 (l.blockLittleEndian ? 0x20 : 0) | (l.blockReversed ? 0x10 : 0) |
                                                 (l.padUnknown ? 0x08 : 0) | (l.reservedBits & 0x07)));
        out.writeUInt32(l.pixelSize);
        out.writeUInt32(l.rowAlignSize);
        out.writeUInt32(l.tileAlignSize);
        out.writeUInt32(l.numTileColsMinusOne);
        out.writeUInt32(l.numTileRowsMinusOne);
    }
    finalizeSize(out);
}

ComponentDefinitionBox::ComponentDefinitionBox() : Box(boxtype::kCmpd) {}

void ComponentDefinitionBox::parseBox(BitStream& in)
{
    parseHeader(in);
    const std::uint32_t count = in.readUInt32();
    checkComponentCount(in, count, 2, sizeof(ComponentDefinition), "ComponentDefinitionBox::parseBox()");
    std::vector<ComponentDefinition> components;
    components.reserve(count);
    for (std::uint32_t i = 0; i < count; ++i) {
        ComponentDefinition c;
        c.type = in.readUInt16();
        if (c.type >= 0x8000) {
            in.readCString(c.uri);
        }
        components.push_back(std::move(c));
    }
    mComponents = std::move(components);
}

void ComponentDefinitionBox::writeBox(BitStream& out)
{
    writeHeader(out);
    out.writeUInt32(static_cast<std::uint32_t>(mComponents.size()));
    for (const auto& c : mComponents) {
        out.writeUInt16(c.type);
        if (c.type >= 0x8000) {
            out.writeCString(c.uri);
        }
    }
    finalizeSize(out);
}

CompressionConfigurationBox::CompressionConfigurationBox() : FullBox(boxtype::kCmpC, 0, 0) {}

void CompressionConfigurationBox::parseBox(BitStream& in)
{
    parseFullHeader(in);
    if (getVersion() != 0) {
        throw std::runtime_error(
            "CompressionConfigurationBox::parseBox() supports only 'cmpC' version 0 (found version " +
            std::to_string(getVersion()) + ")");
    }
    mCompressionType = FourCCInt(in.readUInt32());
    mCompressedUnitType = in.readUInt8();
}

void CompressionConfigurationBox::writeBox(BitStream& out)
{
    writeFullHeader(out);
    out.writeUInt32(mCompressionType.getUInt32());
    out.writeUInt8(mCompressedUnitType);
    finalizeSize(out);
}

namespace {

// Bytes of an 'icef' field for its code: offsets 0 (absent), 2, 3, 4, 8;
// sizes 1, 2, 3, 4, 8.
unsigned icefFieldBytes(std::uint8_t code, bool offset)
{
    static constexpr unsigned kBytes[] = {1, 2, 3, 4, 8};
    return (offset && code == 0) ? 0u : kBytes[code];
}

std::uint64_t readIcefField(BitStream& in, unsigned bytes)
{
    switch (bytes) {
    case 1: return in.readUInt8();
    case 2: return in.readUInt16();
    case 3: return in.readUInt24();
    case 4: return in.readUInt32();
    default: return in.readUInt64();
    }
}

void writeIcefField(BitStream& out, unsigned bytes, std::uint64_t value)
{
    switch (bytes) {
    case 1: out.writeUInt8(static_cast<std::uint8_t>(value)); break;
    case 2: out.writeUInt16(static_cast<std::uint16_t>(value)); break;
    case 3: out.writeUInt24(static_cast<std::uint32_t>(value)); break;
    case 4: out.writeUInt32(static_cast<std::uint32_t>(value)); break;
    default: out.writeUInt64(value); break;
    }
}

}  // namespace

CompressedUnitsInfoBox::CompressedUnitsInfoBox() : FullBox(boxtype::kIcef, 0, 0) {}

void CompressedUnitsInfoBox::parseBox(BitStream& in)
{
    const std::string what = "CompressedUnitsInfoBox::parseBox()";
    parseFullHeader(in);
    if (getVersion() != 0) {
        throw std::runtime_error(what + " supports only 'icef' version 0 (found version " +
                                 std::to_string(getVersion()) + ")");
    }
    const auto offsetCode = static_cast<std::uint8_t>(in.readBitField(3));
    const auto sizeCode = static_cast<std::uint8_t>(in.readBitField(3));
    const auto reserved = static_cast<std::uint8_t>(in.readBitField(2));
    if (offsetCode > 4 || sizeCode > 4) {
        throw std::runtime_error(what + " unknown field size code (offset code " + std::to_string(offsetCode) +
                                 ", size code " + std::to_string(sizeCode) + ")");
    }
    const std::uint32_t count = in.readUInt32();
    if (count > limits::kMaxCompressedUnits) {
        throw std::runtime_error(what + " " + std::to_string(count) +
                                 " compressed units are more than the limit kMaxCompressedUnits (" +
                                 std::to_string(limits::kMaxCompressedUnits) + ")");
    }
    const unsigned offsetBytes = icefFieldBytes(offsetCode, true);
    const unsigned sizeBytes = icefFieldBytes(sizeCode, false);
    in.requireEntries(count, offsetBytes + sizeBytes, what.c_str());
    if (MemoryBudget* budget = in.memoryBudget()) {
        budget->charge(std::uint64_t(count) * sizeof(Unit), "the unit list of " + what);
    }
    std::vector<Unit> units;
    units.reserve(count);
    std::uint64_t next = 0;
    for (std::uint32_t i = 0; i < count; ++i) {
        Unit unit;
        unit.offset = offsetBytes == 0 ? next : readIcefField(in, offsetBytes);
        unit.size = readIcefField(in, sizeBytes);
        next = unit.offset + unit.size;
        units.push_back(unit);
    }
    mOffsetCode = offsetCode;
    mSizeCode = sizeCode;
    mReservedBits = reserved;
    mUnits = std::move(units);
}

void CompressedUnitsInfoBox::writeBox(BitStream& out)
{
    const std::string what = "CompressedUnitsInfoBox::writeBox()";
    if (mOffsetCode > 4 || mSizeCode > 4) {
        throw std::runtime_error(what + " unknown field size code");
    }
    const unsigned offsetBytes = icefFieldBytes(mOffsetCode, true);
    const unsigned sizeBytes = icefFieldBytes(mSizeCode, false);
    const auto fits = [](std::uint64_t value, unsigned bytes) { return bytes >= 8 || value < (1ull << (8 * bytes)); };
    std::uint64_t next = 0;
    for (const Unit& unit : mUnits) {
        if ((offsetBytes == 0 && unit.offset != next) || (offsetBytes != 0 && !fits(unit.offset, offsetBytes)) ||
            !fits(unit.size, sizeBytes)) {
            throw std::runtime_error(what + " a unit's offset or size does not fit its field size code");
        }
        next = unit.offset + unit.size;
    }
    writeFullHeader(out);
    out.writeBitField(mOffsetCode, 3);
    out.writeBitField(mSizeCode, 3);
    out.writeBitField(mReservedBits, 2);
    out.writeUInt32(static_cast<std::uint32_t>(mUnits.size()));
    for (const Unit& unit : mUnits) {
        if (offsetBytes != 0) {
            writeIcefField(out, offsetBytes, unit.offset);
        }
        writeIcefField(out, sizeBytes, unit.size);
    }
    finalizeSize(out);
}

}  // namespace ambrel::heif
