#include "heiclib/reader/reader_types.h"

namespace ambrel::heif {

const char* toString(FileFeature feature)
{
    switch (feature) {
    case FileFeature::HasSingleImage: return "HasSingleImage";
    case FileFeature::HasImageCollection: return "HasImageCollection";
    case FileFeature::HasImageSequence: return "HasImageSequence";
    case FileFeature::HasCoverImage: return "HasCoverImage";
    case FileFeature::HasRootLevelMetaBox: return "HasRootLevelMetaBox";
    case FileFeature::HasAlternateTracks: return "HasAlternateTracks";
    }
    return "Unknown";
}

const char* toString(MetaBoxFeature feature)
{
    switch (feature) {
    case MetaBoxFeature::IsSingleImage: return "IsSingleImage";
    case MetaBoxFeature::IsImageCollection: return "IsImageCollection";
    case MetaBoxFeature::HasMasterImages: return "HasMasterImages";
    case MetaBoxFeature::HasThumbnails: return "HasThumbnails";
    case MetaBoxFeature::HasCoverImage: return "HasCoverImage";
    case MetaBoxFeature::HasAuxiliaryImages: return "HasAuxiliaryImages";
    case MetaBoxFeature::HasDerivedImages: return "HasDerivedImages";
    case MetaBoxFeature::HasPreComputedImages: return "HasPreComputedImages";
    case MetaBoxFeature::HasHiddenImages: return "HasHiddenImages";
    case MetaBoxFeature::HasGroupLists: return "HasGroupLists";
    }
    return "Unknown";
}

const char* toString(ImageFeature feature)
{
    switch (feature) {
    case ImageFeature::MasterImage: return "MasterImage";
    case ImageFeature::Thumbnail: return "Thumbnail";
    case ImageFeature::AuxiliaryImage: return "AuxiliaryImage";
    case ImageFeature::PrimaryImage: return "PrimaryImage";
    case ImageFeature::DerivedImage: return "DerivedImage";
    case ImageFeature::PreComputedImage: return "PreComputedImage";
    case ImageFeature::HiddenImage: return "HiddenImage";
    case ImageFeature::CoverImage: return "CoverImage";
    case ImageFeature::ProtectedImage: return "ProtectedImage";
    case ImageFeature::HasThumbnails: return "HasThumbnails";
    case ImageFeature::HasAuxiliaryImages: return "HasAuxiliaryImages";
    case ImageFeature::HasDerivedImages: return "HasDerivedImages";
    case ImageFeature::HasPreComputedImages: return "HasPreComputedImages";
    case ImageFeature::HasTiles: return "HasTiles";
    case ImageFeature::HasMetadata: return "HasMetadata";
    }
    return "Unknown";
}

const char* toString(ItemFeature feature)
{
    switch (feature) {
    case ItemFeature::TileItem: return "TileItem";
    case ItemFeature::MetadataItem: return "MetadataItem";
    case ItemFeature::ExifItem: return "ExifItem";
    case ItemFeature::MimeItem: return "MimeItem";
    case ItemFeature::ProtectedItem: return "ProtectedItem";
    }
    return "Unknown";
}

const char* toString(TrackFeature feature)
{
    switch (feature) {
    case TrackFeature::IsMasterImageSequence: return "IsMasterImageSequence";
    case TrackFeature::IsThumbnailImageSequence: return "IsThumbnailImageSequence";
    case TrackFeature::IsAuxiliaryImageSequence: return "IsAuxiliaryImageSequence";
    case TrackFeature::IsEnabled: return "IsEnabled";
    case TrackFeature::IsInMovie: return "IsInMovie";
    case TrackFeature::IsInPreview: return "IsInPreview";
    case TrackFeature::HasAlternatives: return "HasAlternatives";
    case TrackFeature::HasCodingConstraints: return "HasCodingConstraints";
    case TrackFeature::HasSampleGroups: return "HasSampleGroups";
    case TrackFeature::HasAuxiliaryImageSequences: return "HasAuxiliaryImageSequences";
    case TrackFeature::HasThumbnailImageSequences: return "HasThumbnailImageSequences";
    case TrackFeature::HasEditList: return "HasEditList";
    case TrackFeature::HasInfiniteLoopPlayback: return "HasInfiniteLoopPlayback";
    }
    return "Unknown";
}

const char* toString(ItemPropertyType type)
{
    switch (type) {
    case ItemPropertyType::Raw: return "raw";
    case ItemPropertyType::Auxc: return "auxC";
    case ItemPropertyType::Avcc: return "avcC";
    case ItemPropertyType::Clap: return "clap";
    case ItemPropertyType::Hvcc: return "hvcC";
    case ItemPropertyType::Imir: return "imir";
    case ItemPropertyType::Irot: return "irot";
    case ItemPropertyType::Ispe: return "ispe";
    case ItemPropertyType::Lhvc: return "lhvC";
    case ItemPropertyType::Lsel: return "lsel";
    case ItemPropertyType::Oinf: return "oinf";
    case ItemPropertyType::Rloc: return "rloc";
    case ItemPropertyType::Tols: return "tols";
    }
    return "raw";
}

}  // namespace ambrel::heif
