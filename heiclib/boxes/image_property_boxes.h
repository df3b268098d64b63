// Descriptive image item properties (ISO/IEC 23008-12): spatial extents,
// rotation, mirroring, clean aperture, relative location, auxiliary type,
// layer selector, target output layer set, and the layered-HEVC operating
// points information ('oinf', ISO/IEC 14496-15).
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "heiclib/bitstream.h"
#include "heiclib/box.h"
#include "heiclib/box_types.h"

namespace ambrel::heif {

// 'ispe': the reconstructed image's width and height in pixels.
class ImageSpatialExtentsProperty : public FullBox
{
public:
    ImageSpatialExtentsProperty();
    ImageSpatialExtentsProperty(std::uint32_t width, std::uint32_t height);
    ~ImageSpatialExtentsProperty() override = default;

    void writeBox(BitStream& output) override;
    void parseBox(BitStream& input) override;

    std::uint32_t getWidth() const { return mWidth; }
    void setWidth(std::uint32_t width) { mWidth = width; }
    std::uint32_t getHeight() const { return mHeight; }
    void setHeight(std::uint32_t height) { mHeight = height; }

private:
    std::uint32_t mWidth = 0;
    std::uint32_t mHeight = 0;
};

// 'irot': anti-clockwise rotation in degrees (0, 90, 180 or 270), stored in
// the file as a 2-bit count of quarter turns.
class ImageRotation : public Box
{
public:
    ImageRotation();
    ~ImageRotation() override = default;

    // Throws std::runtime_error for an angle other than 0, 90, 180 or 270.
    void writeBox(BitStream& output) override;
    void parseBox(BitStream& input) override;

    std::int32_t getAngle() const { return mAngle; }
    void setAngle(std::int32_t degrees) { mAngle = degrees; }

private:
    std::int32_t mAngle = 0;
};

// 'imir': mirroring axis; true (the default) and false are the two values of
// the 1-bit axis field.
class ImageMirror : public Box
{
public:
    ImageMirror();
    ~ImageMirror() override = default;

    void writeBox(BitStream& output) override;
    void parseBox(BitStream& input) override;

    bool getAxis() const { return mAxis; }
    void setAxis(bool axis) { mAxis = axis; }

private:
    bool mAxis = true;
};

// 'clap': clean aperture as four fractions. The offset numerators are
// two's-complement values kept as their 32-bit words.
class CleanAperture : public Box
{
public:
    struct Fraction
    {
        std::uint32_t numerator = 0;
        std::uint32_t denominator = 1;
    };

    CleanAperture();
    ~CleanAperture() override = default;

    void writeBox(BitStream& output) override;
    void parseBox(BitStream& input) override;

    Fraction getWidth() const { return mWidth; }
    void setWidth(const Fraction& value) { mWidth = value; }
    Fraction getHeight() const { return mHeight; }
    void setHeight(const Fraction& value) { mHeight = value; }
    Fraction getHorizontalOffset() const { return mHorizontalOffset; }
    void setHorizontalOffset(const Fraction& value) { mHorizontalOffset = value; }
    Fraction getVerticalOffset() const { return mVerticalOffset; }
    void setVerticalOffset(const Fraction& value) { mVerticalOffset = value; }

private:
    Fraction mWidth;
    Fraction mHeight;
    Fraction mHorizontalOffset;
    Fraction mVerticalOffset;
};

// 'rloc': position of a sub-image within its reference image.
class ImageRelativeLocationProperty : public FullBox
{
public:
    ImageRelativeLocationProperty();
    ~ImageRelativeLocationProperty() override = default;

    void writeBox(BitStream& output) override;
    void parseBox(BitStream& input) override;

    std::uint32_t getHorizontalOffset() const { return mHorizontalOffset; }
    void setHorizontalOffset(std::uint32_t offset) { mHorizontalOffset = offset; }
    std::uint32_t getVerticalOffset() const { return mVerticalOffset; }
    void setVerticalOffset(std::uint32_t offset) { mVerticalOffset = offset; }

private:
    std::uint32_t mHorizontalOffset = 0;
    std::uint32_t mVerticalOffset = 0;
};

// 'auxC': the URN naming an auxiliary image's kind (alpha, depth ...) and an
// optional type-specific subtype that fills the rest of the box.
class AuxiliaryTypeProperty : public FullBox
{
public:
    AuxiliaryTypeProperty();
    ~AuxiliaryTypeProperty() override = default;

    void writeBox(BitStream& output) override;
    void parseBox(BitStream& input) override;

    const std::string& getAuxType() const { return mAuxType; }
    void setAuxType(const std::string& type) { mAuxType = type; }
    const std::vector<std::uint8_t>& getAuxSubType() const { return mAuxSubType; }
    void setAuxSubType(const std::vector<std::uint8_t>& subType) { mAuxSubType = subType; }

private:
    std::string mAuxType;
    std::vector<std::uint8_t> mAuxSubType;
};

// 'lsel': the layer of a layered image item to output.
class LayerSelectorProperty : public Box
{
public:
    LayerSelectorProperty();
    explicit LayerSelectorProperty(std::uint16_t layerId);
    ~LayerSelectorProperty() override = default;

    void writeBox(BitStream& output) override;
    void parseBox(BitStream& input) override;

    std::uint16_t getLayerId() const { return mLayerId; }
    void setLayerId(std::uint16_t layerId) { mLayerId = layerId; }

private:
    std::uint16_t mLayerId = 0;
};

// 'tols': the target output layer set of a layered image item.
class TargetOlsProperty : public FullBox
{
public:
    TargetOlsProperty();
    explicit TargetOlsProperty(std::uint16_t targetOlsIndex);
    ~TargetOlsProperty() override = default;

    void writeBox(BitStream& output) override;
    void parseBox(BitStream& input) override;

    std::uint16_t getTargetOlsIndex() const { return mTargetOlsIndex; }
    void setTargetOlsIndex(std::uint16_t index) { mTargetOlsIndex = index; }

private:
    std::uint16_t mTargetOlsIndex = 0;
};

// 'oinf': operating points of a layered HEVC bitstream. Frame-rate and
// bit-rate information is neither read nor written.
class OperatingPointsInformation : public FullBox
{
public:
    struct ProfileTierLevel
    {
        std::uint8_t generalProfileSpace = 0;  // 2 bits
        std::uint8_t generalTierFlag = 0;      // 1 bit
        std::uint8_t generalProfileIdc = 0;    // 5 bits
        std::uint32_t generalProfileCompatibilityFlags = 0;
        std::array<std::uint8_t, 6> generalConstraintIndicatorFlags{};
        std::uint8_t generalLevelIdc = 0;
    };

    struct Layer
    {
        std::uint8_t ptlIdx = 0;   // index into the profile-tier-level list
        std::uint8_t layerId = 0;  // 6 bits
        bool isOutputLayer = false;
        bool isAlternateOutputLayer = false;
    };

    struct OperatingPoint
    {
        std::uint16_t outputLayerSetIdx = 0;
        std::vector<Layer> layers;
        std::uint16_t minPicWidth = 0;
        std::uint16_t minPicHeight = 0;
        std::uint16_t maxPicWidth = 0;
        std::uint16_t maxPicHeight = 0;
        std::uint8_t maxChromaFormat = 0;    // 2 bits
        std::uint8_t maxBitDepthMinus8 = 0;  // 3 bits
        std::uint8_t maxTemporalId = 0;
        // The optional rate fields (frame_rate_info_flag, bit_rate_info_flag),
        // kept as read so that the property writes back unchanged.
        struct FrameRate
        {
            std::uint16_t average = 0;
            std::uint8_t constant = 0;  // 2 bits
        };
        struct BitRate
        {
            std::uint32_t maximum = 0;
            std::uint32_t average = 0;
        };
        std::optional<FrameRate> frameRate;
        std::optional<BitRate> bitRate;
    };

    struct LayerDependency
    {
        std::uint8_t layerId = 0;
        std::vector<std::uint8_t> directRefLayerIds;
        // One per bit set in the scalability mask, from bit 0 upward.
        std::vector<std::uint8_t> dimensionIdentifiers;
    };

    struct Extents
    {
        std::uint16_t width = 0;
        std::uint16_t height = 0;
    };

    OperatingPointsInformation();
    ~OperatingPointsInformation() override = default;

    // Throws std::runtime_error when a list is longer than its count field
    // allows or a dimension identifier list does not match the mask.
    void writeBox(BitStream& output) override;
    void parseBox(BitStream& input) override;

    std::uint16_t getScalabilityMask() const { return mScalabilityMask; }
    void setScalabilityMask(std::uint16_t mask) { mScalabilityMask = mask; }
    const std::vector<ProfileTierLevel>& getProfileTierLevels() const { return mProfileTierLevels; }
    void setProfileTierLevels(const std::vector<ProfileTierLevel>& list) { mProfileTierLevels = list; }
    const std::vector<OperatingPoint>& getOperatingPoints() const { return mOperatingPoints; }
    void setOperatingPoints(const std::vector<OperatingPoint>& list) { mOperatingPoints = list; }
    const std::vector<LayerDependency>& getLayerDependencies() const { return mLayerDependencies; }
    void setLayerDependencies(const std::vector<LayerDependency>& list) { mLayerDependencies = list; }

    // Maximum picture width and height of the first operating point with the
    // output layer set index; throws std::runtime_error when there is none.
    Extents getExtents(std::uint16_t outputLayerSetIdx) const;
    // Layer ids of that operating point's layers, in order; throws
    // std::runtime_error when there is none.
    std::vector<std::uint8_t> getLayerIds(std::uint16_t outputLayerSetIdx) const;

private:
    std::uint16_t mScalabilityMask = 0;
    std::vector<ProfileTierLevel> mProfileTierLevels;
    std::vector<OperatingPoint> mOperatingPoints;
    std::vector<LayerDependency> mLayerDependencies;
};

// 'colr': the colour information of an image, either coded as colour
// primaries / transfer / matrix ('nclx') or as an ICC profile ('prof' for a
// restricted, 'rICC' for an unrestricted profile). Reported as a raw property
// kind; read by the pipeline to carry the ICC profile into its output.
class ColourInformationBox : public Box
{
public:
    ColourInformationBox();

    void writeBox(BitStream& output) override;
    void parseBox(BitStream& input) override;

    FourCCInt getColourType() const { return mColourType; }
    void setColourType(FourCCInt type) { mColourType = type; }
    // The ICC profile of a 'prof' or 'rICC' box; empty otherwise.
    const std::vector<std::uint8_t>& getIccProfile() const { return mIccProfile; }
    void setIccProfile(const std::vector<std::uint8_t>& profile) { mIccProfile = profile; }
    bool hasIccProfile() const { return !mIccProfile.empty(); }

    std::uint16_t getColourPrimaries() const { return mColourPrimaries; }
    std::uint16_t getTransferCharacteristics() const { return mTransferCharacteristics; }
    std::uint16_t getMatrixCoefficients() const { return mMatrixCoefficients; }
    bool getFullRange() const { return mFullRange; }
    void setNclx(std::uint16_t primaries, std::uint16_t transfer, std::uint16_t matrix, bool fullRange);

private:
    FourCCInt mColourType{codetype::kNclx};
    std::uint16_t mColourPrimaries = 2;  // unspecified
    std::uint16_t mTransferCharacteristics = 2;
    std::uint16_t mMatrixCoefficients = 2;
    bool mFullRange = false;
    std::vector<std::uint8_t> mIccProfile;
};

}  // namespace ambrel::heif
