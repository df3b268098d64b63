#include "heiclib/boxes/image_property_boxes.h"

#include <cstddef>
#include <initializer_list>
#include <stdexcept>
#include <string>
#include <utility>

#include "heiclib/box_types.h"

namespace ambrel::heif {

namespace {

[[noreturn]] void refuse(const char* what, const std::string& problem)
{
    throw std::runtime_error(std::string(what) + " " + problem);
}

void checkCount(std::size_t count, std::size_t maximum, const char* what, const char* field)
{
    if (count > maximum) {
        refuse(what, "cannot write " + std::to_string(count) + " " + field + "; the count field holds at most " +
                         std::to_string(maximum) + ".");
    }
}

unsigned bitsSet(std::uint16_t mask)
{
    unsigned count = 0;
    for (unsigned bit = 0; bit < 16; ++bit) {
        count += (mask >> bit) & 1u;
    }
    return count;
}

}  // namespace

// --- ImageSpatialExtentsProperty ---------------------------------------------

ImageSpatialExtentsProperty::ImageSpatialExtentsProperty() : FullBox(boxtype::kIspe, 0, 0) {}

ImageSpatialExtentsProperty::ImageSpatialExtentsProperty(std::uint32_t width, std::uint32_t height)
    : FullBox(boxtype::kIspe, 0, 0), mWidth(width), mHeight(height)
{}

void ImageSpatialExtentsProperty::parseBox(BitStream& in)
{
    parseFullHeader(in);
    mWidth = in.readUInt32();
    mHeight = in.readUInt32();
}

void ImageSpatialExtentsProperty::writeBox(BitStream& out)
{
    writeFullHeader(out);
    out.writeUInt32(mWidth);
    out.writeUInt32(mHeight);
    finalizeSize(out);
}

// --- ImageRotation -----------------------------------------------------------

ImageRotation::ImageRotation() : Box(boxtype::kIrot) {}

void ImageRotation::parseBox(BitStream& in)
{
    parseHeader(in);
    in.readBitField(6);
    mAngle = static_cast<std::int32_t>(in.readBitField(2)) * 90;
}

void ImageRotation::writeBox(BitStream& out)
{
    if (mAngle != 0 && mAngle != 90 && mAngle != 180 && mAngle != 270) {
        refuse("ImageRotation::writeBox()", "cannot write an angle of " + std::to_string(mAngle) +
                                                " degrees; only 0, 90, 180 and 270 can be stored.");
    }
    writeHeader(out);
    out.writeBitField(0, 6);
    out.writeBitField(static_cast<std::uint32_t>(mAngle / 90), 2);
    finalizeSize(out);
}

// --- ImageMirror -------------------------------------------------------------

ImageMirror::ImageMirror() : Box(boxtype::kImir) {}

void ImageMirror::parseBox(BitStream& in)
{
    parseHeader(in);
    in.readBitField(7);
    mAxis = in.readBitField(1) != 0;
}

void ImageMirror::writeBox(BitStream& out)
{
    writeHeader(out);
    out.writeBitField(0, 7);
    out.writeBitField(mAxis ? 1 : 0, 1);
    finalizeSize(out);
}

// --- CleanAperture -----------------------------------------------------------

CleanAperture::CleanAperture() : Box(boxtype::kClap) {}

void CleanAperture::parseBox(BitStream& in)
{
    parseHeader(in);
    for (Fraction* fraction : {&mWidth, &mHeight, &mHorizontalOffset, &mVerticalOffset}) {
        fraction->numerator = in.readUInt32();
        fraction->denominator = in.readUInt32();
    }
}

void CleanAperture::writeBox(BitStream& out)
{
    writeHeader(out);
    for (const Fraction* fraction : {&mWidth, &mHeight, &mHorizontalOffset, &mVerticalOffset}) {
        out.writeUInt32(fraction->numerator);
        out.writeUInt32(fraction->denominator);
    }
    finalizeSize(out);
}

// --- ImageRelativeLocationProperty -------------------------------------------

ImageRelativeLocationProperty::ImageRelativeLocationProperty() : FullBox(boxtype::kRloc, 0, 0) {}

void ImageRelativeLocationProperty::parseBox(BitStream& in)
{
    parseFullHeader(in);
    mHorizontalOffset = in.readUInt32();
    mVerticalOffset = in.readUInt32();
}

void ImageRelativeLocationProperty::writeBox(BitStream& out)
{
    writeFullHeader(out);
    out.writeUInt32(mHorizontalOffset);
    out.writeUInt32(mVerticalOffset);
    finalizeSize(out);
}

// --- AuxiliaryTypeProperty ---------------------------------------------------

AuxiliaryTypeProperty::AuxiliaryTypeProperty() : FullBox(boxtype::kAuxC, 0, 0) {}

void AuxiliaryTypeProperty::parseBox(BitStream& in)
{
    parseFullHeader(in);
    in.readCString(mAuxType);
    mAuxSubType.clear();
    const std::int32_t remaining = in.bytesRemaining();
    if (remaining > 0) {
        in.readBytes(mAuxSubType, static_cast<std::uint32_t>(remaining));
    }
}

void AuxiliaryTypeProperty::writeBox(BitStream& out)
{
    writeFullHeader(out);
    out.writeCString(mAuxType);
    out.writeBytes(mAuxSubType);
    finalizeSize(out);
}

// --- LayerSelectorProperty ---------------------------------------------------

LayerSelectorProperty::LayerSelectorProperty() : Box(boxtype::kLsel) {}

LayerSelectorProperty::LayerSelectorProperty(std::uint16_t layerId) : Box(boxtype::kLsel), mLayerId(layerId) {}

void LayerSelectorProperty::parseBox(BitStream& in)
{
    parseHeader(in);
    mLayerId = in.readUInt16();
}

void LayerSelectorProperty::writeBox(BitStream& out)
{
    writeHeader(out);
    out.writeUInt16(mLayerId);
    finalizeSize(out);
}

// --- TargetOlsProperty -------------------------------------------------------

TargetOlsProperty::TargetOlsProperty() : FullBox(boxtype::kTols, 0, 0) {}

TargetOlsProperty::TargetOlsProperty(std::uint16_t targetOlsIndex)
    : FullBox(boxtype::kTols, 0, 0), mTargetOlsIndex(targetOlsIndex)
{}

void TargetOlsProperty::parseBox(BitStream& in)
{
    parseFullHeader(in);
    mTargetOlsIndex = in.readUInt16();
}

void TargetOlsProperty::writeBox(BitStream& out)
{
    writeFullHeader(out);
    out.writeUInt16(mTargetOlsIndex);
    finalizeSize(out);
}

// --- OperatingPointsInformation ----------------------------------------------

OperatingPointsInformation::OperatingPointsInformation() : FullBox(boxtype::kOinf, 0, 0) {}

namespace {

using Oinf = OperatingPointsInformation;

Oinf::ProfileTierLevel readProfileTierLevel(BitStream& in)
{
    Oinf::ProfileTierLevel ptl;
    ptl.generalProfileSpace = static_cast<std::uint8_t>(in.readBitField(2));
    ptl.generalTierFlag = static_cast<std::uint8_t>(in.readBitField(1));
    ptl.generalProfileIdc = static_cast<std::uint8_t>(in.readBitField(5));
    ptl.generalProfileCompatibilityFlags = in.readBitField(32);
    for (auto& byte : ptl.generalConstraintIndicatorFlags) {
        byte = static_cast<std::uint8_t>(in.readBitField(8));
    }
    ptl.generalLevelIdc = static_cast<std::uint8_t>(in.readBitField(8));
    return ptl;
}

Oinf::OperatingPoint readOperatingPoint(BitStream& in, const char* what)
{
    Oinf::OperatingPoint op;
    op.outputLayerSetIdx = static_cast<std::uint16_t>(in.readBitField(16));
    op.maxTemporalId = static_cast<std::uint8_t>(in.readBitField(8));
    const std::uint32_t layerCount = in.readBitField(8);
    in.requireEntries(layerCount, 2, what);
    op.layers.reserve(layerCount);
    for (std::uint32_t j = 0; j < layerCount; ++j) {
        Oinf::Layer layer;
        layer.ptlIdx = static_cast<std::uint8_t>(in.readBitField(8));
        layer.layerId = static_cast<std::uint8_t>(in.readBitField(6));
        layer.isOutputLayer = in.readBitField(1) != 0;
        layer.isAlternateOutputLayer = in.readBitField(1) != 0;
        op.layers.push_back(layer);
    }
    op.minPicWidth = static_cast<std::uint16_t>(in.readBitField(16));
    op.minPicHeight = static_cast<std::uint16_t>(in.readBitField(16));
    op.maxPicWidth = static_cast<std::uint16_t>(in.readBitField(16));
    op.maxPicHeight = static_cast<std::uint16_t>(in.readBitField(16));
    op.maxChromaFormat = static_cast<std::uint8_t>(in.readBitField(2));
    op.maxBitDepthMinus8 = static_cast<std::uint8_t>(in.readBitField(3));
    in.readBitField(1);  // reserved
    const bool frameRateInfo = in.readBitField(1) != 0;
    const bool bitRateInfo = in.readBitField(1) != 0;
    if (frameRateInfo) {
        Oinf::OperatingPoint::FrameRate rate;
        rate.average = in.readUInt16();
        rate.constant = static_cast<std::uint8_t>(in.readUInt8() & 3u);  // reserved 6 bits, then 2 bits
        op.frameRate = rate;
    }
    if (bitRateInfo) {
        Oinf::OperatingPoint::BitRate rate;
        rate.maximum = in.readUInt32();
        rate.average = in.readUInt32();
        op.bitRate = rate;
    }
    return op;
}

Oinf::LayerDependency readLayerDependency(BitStream& in, std::uint16_t scalabilityMask, const char* what)
{
    Oinf::LayerDependency dependency;
    dependency.layerId = static_cast<std::uint8_t>(in.readBitField(8));
    const std::uint32_t refCount = in.readBitField(8);
    in.requireEntries(refCount, 1, what);
    for (std::uint32_t j = 0; j < refCount; ++j) {
        dependency.directRefLayerIds.push_back(static_cast<std::uint8_t>(in.readBitField(8)));
    }
    for (unsigned bit = 0; bit < 16; ++bit) {
        if ((scalabilityMask >> bit) & 1u) {
            dependency.dimensionIdentifiers.push_back(static_cast<std::uint8_t>(in.readBitField(8)));
        }
    }
    return dependency;
}

}  // namespace

void OperatingPointsInformation::parseBox(BitStream& in)
{
    static const char* const what = "OperatingPointsInformation::parseBox";
    parseFullHeader(in);
    mScalabilityMask = in.readUInt16();

    in.readBitField(2);
    const std::uint32_t ptlCount = in.readBitField(6);
    in.requireEntries(ptlCount, 12, what);
    mProfileTierLevels.clear();
    mProfileTierLevels.reserve(ptlCount);
    for (std::uint32_t i = 0; i < ptlCount; ++i) {
        mProfileTierLevels.push_back(readProfileTierLevel(in));
    }

    // Each operating point takes at least 13 bytes: index, temporal id, layer
    // count, four 16-bit sizes and the chroma/bit-depth byte.
    const std::uint32_t opCount = in.readBitField(16);
    in.requireEntries(opCount, 13, what);
    mOperatingPoints.clear();
    mOperatingPoints.reserve(opCount);
    for (std::uint32_t i = 0; i < opCount; ++i) {
        mOperatingPoints.push_back(readOperatingPoint(in, what));
    }

    const std::uint32_t dependencyCount = in.readBitField(8);
    in.requireEntries(dependencyCount, 2, what);
    mLayerDependencies.clear();
    mLayerDependencies.reserve(dependencyCount);
    for (std::uint32_t i = 0; i < dependencyCount; ++i) {
        mLayerDependencies.push_back(readLayerDependency(in, mScalabilityMask, what));
    }
}

void OperatingPointsInformation::writeBox(BitStream& out)
{
    static const char* const what = "OperatingPointsInformation::writeBox()";
    checkCount(mProfileTierLevels.size(), 63, what, "profile-tier-level entries");
    checkCount(mOperatingPoints.size(), 0xffff, what, "operating points");
    for (const auto& op : mOperatingPoints) {
        checkCount(op.layers.size(), 0xff, what, "layers in one operating point");
    }
    checkCount(mLayerDependencies.size(), 0xff, what, "layer dependencies");
    for (const auto& dependency : mLayerDependencies) {
        checkCount(dependency.directRefLayerIds.size(), 0xff, what, "direct reference layers");
        if (dependency.dimensionIdentifiers.size() != bitsSet(mScalabilityMask)) {
            refuse(what, "needs one dimension identifier per bit of the scalability mask (" +
                             std::to_string(bitsSet(mScalabilityMask)) + "), a layer has " +
                             std::to_string(dependency.dimensionIdentifiers.size()) + ".");
        }
    }

    writeFullHeader(out);
    out.writeUInt16(mScalabilityMask);
    out.writeBitField(0, 2);
    out.writeBitField(static_cast<std::uint32_t>(mProfileTierLevels.size()), 6);
    for (const auto& ptl : mProfileTierLevels) {
        out.writeBitField(ptl.generalProfileSpace, 2);
        out.writeBitField(ptl.generalTierFlag, 1);
        out.writeBitField(ptl.generalProfileIdc, 5);
        out.writeUInt32(ptl.generalProfileCompatibilityFlags);
        for (auto byte : ptl.generalConstraintIndicatorFlags) {
            out.writeUInt8(byte);
        }
        out.writeUInt8(ptl.generalLevelIdc);
    }
    out.writeUInt16(static_cast<std::uint16_t>(mOperatingPoints.size()));
    for (const auto& op : mOperatingPoints) {
        out.writeUInt16(op.outputLayerSetIdx);
        out.writeUInt8(op.maxTemporalId);
        out.writeUInt8(static_cast<std::uint8_t>(op.layers.size()));
        for (const auto& layer : op.layers) {
            out.writeUInt8(layer.ptlIdx);
            out.writeBitField(layer.layerId, 6);
            out.writeBitField(layer.isOutputLayer ? 1 : 0, 1);
            out.writeBitField(layer.isAlternateOutputLayer ? 1 : 0, 1);
        }
        out.writeUInt16(op.minPicWidth);
        out.writeUInt16(op.minPicHeight);
        out.writeUInt16(op.maxPicWidth);
        out.writeUInt16(op.maxPicHeight);
        out.writeBitField(op.maxChromaFormat, 2);
        out.writeBitField(op.maxBitDepthMinus8, 3);
        out.writeBitField(0, 1);  // reserved
        out.writeBitField(op.frameRate ? 1 : 0, 1);
        out.writeBitField(op.bitRate ? 1 : 0, 1);
        if (op.frameRate) {
            out.writeUInt16(op.frameRate->average);
            out.writeUInt8(op.frameRate->constant & 3u);
        }
        if (op.bitRate) {
            out.writeUInt32(op.bitRate->maximum);
            out.writeUInt32(op.bitRate->average);
        }
    }
    out.writeUInt8(static_cast<std::uint8_t>(mLayerDependencies.size()));
    for (const auto& dependency : mLayerDependencies) {
        out.writeUInt8(dependency.layerId);
        out.writeUInt8(static_cast<std::uint8_t>(dependency.directRefLayerIds.size()));
        out.writeBytes(dependency.directRefLayerIds);
        out.writeBytes(dependency.dimensionIdentifiers);
    }
    finalizeSize(out);
}

OperatingPointsInformation::Extents OperatingPointsInformation::getExtents(std::uint16_t outputLayerSetIdx) const
{
    for (const auto& op : mOperatingPoints) {
        if (op.outputLayerSetIdx == outputLayerSetIdx) {
            return Extents{op.maxPicWidth, op.maxPicHeight};
        }
    }
    throw std::runtime_error("OperatingPointsInformation::getExtents() requested output layer set index not found.");
}

std::vector<std::uint8_t> OperatingPointsInformation::getLayerIds(std::uint16_t outputLayerSetIdx) const
{
    for (const auto& op : mOperatingPoints) {
        if (op.outputLayerSetIdx == outputLayerSetIdx) {
            std::vector<std::uint8_t> ids;
            ids.reserve(op.layers.size());
            for (const auto& layer : op.layers) {
                ids.push_back(layer.layerId);
            }
            return ids;
        }
    }
    throw std::runtime_error("OperatingPointsInformation::getLayerIds() requested output layer set index not found.");
}

// ---------------------------------------------------------------------------
// ColourInformationBox

ColourInformationBox::ColourInformationBox() : Box(boxtype::kColr) {}

void ColourInformationBox::setNclx(std::uint16_t primaries, std::uint16_t transfer, std::uint16_t matrix,
                                   bool fullRange)
{
    mColourType = codetype::kNclx;
    mColourPrimaries = primaries;
    mTransferCharacteristics = transfer;
    mMatrixCoefficients = matrix;
    mFullRange = fullRange;
    mIccProfile.clear();
}

void ColourInformationBox::parseBox(BitStream& input)
{
    parseHeader(input);
    mColourType = FourCCInt(input.readUInt32());
    mIccProfile.clear();
    if (mColourType == codetype::kNclx) {
        mColourPrimaries = input.readUInt16();
        mTransferCharacteristics = input.readUInt16();
        mMatrixCoefficients = input.readUInt16();
        mFullRange = (input.readUInt8() & 0x80) != 0;
    } else if (mColourType == codetype::kProf || mColourType == codetype::kRICC) {
        const std::int32_t remaining = input.bytesRemaining();
        if (remaining > 0) {
            input.readBytes(mIccProfile, static_cast<std::uint32_t>(remaining));
        }
    }
}

void ColourInformationBox::writeBox(BitStream& output)
{
    writeHeader(output);
    output.writeUInt32(mColourType.getUInt32());
    if (mColourType == codetype::kNclx) {
        output.writeUInt16(mColourPrimaries);
        output.writeUInt16(mTransferCharacteristics);
        output.writeUInt16(mMatrixCoefficients);
        output.writeUInt8(mFullRange ? 0x80 : 0x00);
    } else {
        output.writeBytes(mIccProfile);
    }
    finalizeSize(output);
}

}  // namespace ambrel::heif
