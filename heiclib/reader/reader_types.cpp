#include "heiclib/reader/reader_types.h"

#include "heiclib/box_types.h"

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
    case ItemPropertyType::Auxc: return kFourCCText<boxtype::kAuxC.getUInt32()>;
    case ItemPropertyType::Avcc: return kFourCCText<boxtype::kAvcC.getUInt32()>;
    case ItemPropertyType::Clap: return kFourCCText<boxtype::kClap.getUInt32()>;
    case ItemPropertyType::Hvcc: return kFourCCText<boxtype::kHvcC.getUInt32()>;
    case ItemPropertyType::Imir: return kFourCCText<boxtype::kImir.getUInt32()>;
    case ItemPropertyType::Irot: return kFourCCText<boxtype::kIrot.getUInt32()>;
    case ItemPropertyType::Ispe: return kFourCCText<boxtype::kIspe.getUInt32()>;
    case ItemPropertyType::Lhvc: return kFourCCText<boxtype::kLhvC.getUInt32()>;
    case ItemPropertyType::Lsel: return kFourCCText<boxtype::kLsel.getUInt32()>;
    case ItemPropertyType::Oinf: return kFourCCText<boxtype::kOinf.getUInt32()>;
    case ItemPropertyType::Rloc: return kFourCCText<boxtype::kRloc.getUInt32()>;
    case ItemPropertyType::Tols: return kFourCCText<boxtype::kTols.getUInt32()>;
    case ItemPropertyType::Av1c: return kFourCCText<boxtype::kAv1C.getUInt32()>;
    case ItemPropertyType::Jpgc: return kFourCCText<boxtype::kJpgC.getUInt32()>;
    case ItemPropertyType::Uncc: return kFourCCText<boxtype::kUncC.getUInt32()>;
    case ItemPropertyType::Cmpd: return kFourCCText<boxtype::kCmpd.getUInt32()>;
    case ItemPropertyType::Cmpc: return kFourCCText<boxtype::kCmpC.getUInt32()>;
    case ItemPropertyType::Icef: return kFourCCText<boxtype::kIcef.getUInt32()>;
    }
    return "raw";
}

}  // namespace ambrel::heif
