// Records, identifiers and feature sets that the HEIF reader hands out.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "heiclib/boxes/decoder_config_boxes.h"
#include "heiclib/property_types.h"

namespace ambrel::heif {

using ContextId = std::uint32_t;
using ItemId = std::uint32_t;
using PropertyIndex = std::uint32_t;
using Timestamp = std::int32_t;  // milliseconds
using IdVector = std::vector<std::uint32_t>;
using DataVector = std::vector<std::uint8_t>;

enum class ContextKind : std::uint32_t { Meta = 0, Track = 1 };

enum class FileFeature : std::uint32_t {
    HasSingleImage = 0,
    HasImageCollection = 1,
    HasImageSequence = 2,
    HasCoverImage = 3,
    HasRootLevelMetaBox = 5,
    HasAlternateTracks = 7,
};

enum class MetaBoxFeature : std::uint32_t {
    IsSingleImage = 0,
    IsImageCollection = 1,
    HasMasterImages = 2,
    HasThumbnails = 3,
    HasCoverImage = 4,
    HasAuxiliaryImages = 5,
    HasDerivedImages = 6,
    HasPreComputedImages = 7,
    HasHiddenImages = 8,
    HasGroupLists = 9,
};

enum class ImageFeature : std::uint32_t {
    MasterImage = 0,
    Thumbnail = 1,
    AuxiliaryImage = 2,
    PrimaryImage = 3,
    DerivedImage = 4,
    PreComputedImage = 5,
    HiddenImage = 6,
    CoverImage = 7,
    ProtectedImage = 8,
    HasThumbnails = 9,
    HasAuxiliaryImages = 10,
    HasDerivedImages = 11,
    HasPreComputedImages = 12,
    HasTiles = 13,
    HasMetadata = 14,
};

enum class ItemFeature : std::uint32_t {
    TileItem = 0,
    MetadataItem = 1,
    ExifItem = 2,
    MimeItem = 3,
    ProtectedItem = 4,
};

enum class TrackFeature : std::uint32_t {
    IsMasterImageSequence = 1,
    IsThumbnailImageSequence = 2,
    IsAuxiliaryImageSequence = 3,
    IsEnabled = 5,
    IsInMovie = 6,
    IsInPreview = 7,
    HasAlternatives = 8,
    HasCodingConstraints = 9,
    HasSampleGroups = 11,
    HasAuxiliaryImageSequences = 12,
    HasThumbnailImageSequences = 13,
    HasEditList = 19,
    HasInfiniteLoopPlayback = 20,
};

// Sample types of a track's samples.
enum class SampleType : std::uint32_t { OutputNonReference = 0, OutputReference = 1, NonOutputReference = 2 };

// Coding constraints of a sample's entry.
enum class CodingConstraintsFeature : std::uint32_t { AllRefPicsIntra = 0, IntraPredUsed = 1 };

const char* toString(FileFeature feature);
const char* toString(MetaBoxFeature feature);
const char* toString(ImageFeature feature);
const char* toString(ItemFeature feature);
const char* toString(TrackFeature feature);
const char* toString(ItemPropertyType type);

struct SamplePropertyInfo
{
    std::uint32_t sampleIndex = 0;
    std::string sampleEntryType;
    std::uint32_t sampleDescriptionIndex = 0;
    std::set<CodingConstraintsFeature> codingConstraintsFeatures;
    std::map<std::string, std::uint32_t> sampleGroups;  // grouping type -> group description index
    SampleType sampleType = SampleType::OutputReference;
    bool hasClap = false;
};

struct TrackInformation
{
    std::uint32_t trackId = 0;
    std::uint16_t alternateGroupId = 0;
    std::set<TrackFeature> features;
    IdVector alternateTrackIds;
    std::map<std::uint32_t, SamplePropertyInfo> sampleProperties;
};

struct MetaBoxInformation
{
    ContextId contextId = 0;
    std::set<MetaBoxFeature> features;
    std::map<ItemId, std::set<ImageFeature>> imageFeatures;
    std::map<ItemId, std::set<ItemFeature>> itemFeatures;
    std::map<std::string, std::vector<IdVector>> entityGroups;  // grouping type -> groups of entity ids
};

struct FileInformation
{
    std::uint32_t fileId = 0;
    std::set<FileFeature> features;
    std::map<std::uint32_t, TrackInformation> trackInformation;
    MetaBoxInformation rootMetaBoxInformation;
};

struct GridItem
{
    std::uint8_t rowsMinusOne = 0;
    std::uint8_t columnsMinusOne = 0;
    std::uint32_t outputWidth = 0;
    std::uint32_t outputHeight = 0;
    IdVector itemIds;  // the 'dimg' targets, in reference order
};

struct OverlayItem
{
    std::uint16_t canvasFillValue[4] = {0, 0, 0, 0};  // red, green, blue, alpha
    std::uint32_t outputWidth = 0;
    std::uint32_t outputHeight = 0;
    IdVector itemIds;
    std::vector<std::pair<std::int32_t, std::int32_t>> offsets;  // horizontal, vertical per layer
};

struct CleanApertureInfo
{
    std::uint32_t widthN = 0;
    std::uint32_t widthD = 0;
    std::uint32_t heightN = 0;
    std::uint32_t heightD = 0;
    std::uint32_t horizontalOffsetN = 0;
    std::uint32_t horizontalOffsetD = 0;
    std::uint32_t verticalOffsetN = 0;
    std::uint32_t verticalOffsetD = 0;
};

struct RelativeLocationInfo
{
    std::uint32_t horizontalOffset = 0;
    std::uint32_t verticalOffset = 0;
};

struct AuxiliaryTypeInfo
{
    std::string auxType;
    DataVector subType;
};

// The colour of an image named by code points (a 'colr' property of colour
// type 'nclx'; the code tables of ITU-T H.273). The defaults are the codes for
// "unspecified" and limited range.
struct NclxColour
{
    std::uint16_t colourPrimaries = 2;
    std::uint16_t transferCharacteristics = 2;
    std::uint16_t matrixCoefficients = 2;
    bool fullRange = false;
    bool operator==(const NclxColour&) const = default;
};

// The content type and encoding of a 'mime' item.
struct MimeContent
{
    std::string contentType;
    std::string contentEncoding;
    bool operator==(const MimeContent&) const = default;
};

struct ContextInfo
{
    ContextKind contextType = ContextKind::Meta;
    bool hasCoverImage = false;
    ItemId coverImageId = 0;
    bool isForcedLoopPlayback = false;
};

}  // namespace ambrel::heif
