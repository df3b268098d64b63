// The image model: what the images of a HEIF file are, worked out once from
// the reader.
//
// The reader answers about boxes, items and references; the model says what
// they mean for a picture: which item is the primary and how it is derived
// (grids, 'iden' items, 'tmap' HDR renditions), which images are auxiliary
// (alpha planes, depth and disparity maps, HDR gain maps) or thumbnails of
// which image, which metadata items describe which image, the images a
// person would call the file's own, and the frames of its image sequence.
// The converter, the command line's image listing and ambrel-heifinfo all
// read it, so that they agree.
//
// The model reads no item data: it is built from what the reader parsed when
// it opened the file, and copies what it keeps, so it stays valid after the
// reader is closed. It never fails for an item that cannot be read: what
// cannot be read is left unknown (no size, no coding, no references).
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "heiclib/model/image_coding.h"
#include "heiclib/reader/hevc_image_file_reader.h"

namespace ambrel::heif {

// The whole pixels a clean aperture keeps of a picture.
struct PixelRect
{
    std::uint32_t left = 0;
    std::uint32_t top = 0;
    std::uint32_t width = 0;
    std::uint32_t height = 0;
};

// The pixels the clean aperture keeps of a width x height picture. Edges go
// to the nearest pixel; on a half pixel the left edge goes left and the top
// edge down, as libheif places them: the crop most viewers of the same file
// show. None when the aperture does not lie within the picture.
[[nodiscard]] std::optional<PixelRect> cleanAperturePixels(const CleanApertureInfo& aperture, std::uint32_t width,
                                                           std::uint32_t height);

// The longest 'auxC' type the model keeps whole.
inline constexpr std::size_t kMaxAuxiliaryTypeLength = 1024;

// What an image item is.
enum class ImageKind {
    Coded,     // its pixels are in its own data (see ImageCoding)
    Grid,      // 'grid': tiles laid out in rows and columns
    Identity,  // 'iden': its one input, with its own transforms after the input's
    ToneMap,   // 'tmap': an HDR rendition of a base image by a gain map image
    Overlay,   // 'iovl': images placed on a canvas
};

// "coded", "grid", "iden", "tmap" or "iovl".
[[nodiscard]] const char* imageKindName(ImageKind kind);

// What an auxiliary image holds, by its 'auxC' type.
enum class AuxiliaryKind {
    Alpha,      // urn:mpeg:mpegB:cicp:systems:auxiliary:alpha, urn:mpeg:hevc:2015:auxid:1
    Depth,      // urn:mpeg:mpegB:cicp:systems:auxiliary:depth, urn:mpeg:hevc:2015:auxid:2
    Disparity,  // urn:mpeg:mpegB:cicp:systems:auxiliary:disparity
    GainMap,    // urn:com:apple:photo:2020:aux:hdrgainmap, urn:com:samsung:photo:2024:aux:hdrgainmap
    Other,
};

// The kind of an 'auxC' type (trailing zero bytes ignored).
[[nodiscard]] AuxiliaryKind auxiliaryKindOf(std::string_view type);
// "alpha", "depth", "disparity", "gainmap" or "other".
[[nodiscard]] const char* auxiliaryKindName(AuxiliaryKind kind);

// A transformative property of an image, in association order.
struct ImageGeometryStep
{
    enum class Kind { Rotate, Mirror, CleanAperture };
    Kind kind = Kind::Rotate;
    std::uint32_t value = 0;     // Rotate: degrees anticlockwise; Mirror: its axis (0 vertical, 1 horizontal)
    CleanApertureInfo aperture;  // CleanAperture only
};

// An auxiliary image as the image it belongs to sees it.
struct AuxiliaryImage
{
    ItemId id = 0;
    AuxiliaryKind kind = AuxiliaryKind::Other;
    // The 'auxC' type as stored, without trailing zero bytes; "tmap" for the
    // gain map image of a 'tmap' item (which has no 'auxl' reference).
    std::string type;
    std::uint8_t bitDepth = 8;  // luma bits of its (first tile's) coding
};

struct ModelImage
{
    ItemId id = 0;
    std::string itemType;  // as stored: "hvc1", "grid", "iden", "tmap" ...
    // The reader's word for it: "master", "hidden" or "pre-computed" for a
    // coded image, else its item type.
    std::string role;
    ImageKind kind = ImageKind::Coded;
    ImageCoding coding;  // Codec::None for a derived image
    std::set<ImageFeature> features;

    // 'ispe' (0 x 0 without one); a grid's 'ispe' may differ from its output.
    std::uint32_t ispeWidth = 0;
    std::uint32_t ispeHeight = 0;
    // The picture's size before its transforms: a grid's or overlay's
    // output size, else its 'ispe'.
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    // After its own clean aperture and turns (a quarter turn swaps the sides).
    std::uint32_t displayedWidth = 0;
    std::uint32_t displayedHeight = 0;

    std::optional<GridItem> grid;  // a readable, unprotected grid's descriptor
    std::vector<ImageGeometryStep> geometry;
    // The first 'colr' ICC profile, shared with the reader's box rather than
    // copied (a file may give one large profile to thousands of items).
    std::shared_ptr<const DataVector> icc;
    std::optional<NclxColour> nclx;  // the first 'colr' nclx
    std::optional<DataVector> pixi;  // bits per channel
    // Its 'auxC' type, without trailing zero bytes; cut to
    // kMaxAuxiliaryTypeLength bytes (every type the model knows is shorter).
    std::optional<std::string> auxC;

    // References, each in the order the file gives them.
    IdVector inputs;         // 'dimg' from this image: tiles, the 'iden' source, the 'tmap' base and gain map
    IdVector derivedBy;      // items with a 'dimg' reference to this image
    IdVector auxiliaryOf;    // 'auxl' from this image (itself left out)
    IdVector thumbnailOf;    // 'thmb' from this image
    IdVector premultiplied;  // 'prem' from this image: the alpha planes its colour was multiplied by
    IdVector bases;          // 'base' from this image
    IdVector auxiliaries;    // 'auxl' to this image
    IdVector thumbnails;     // 'thmb' to this image
    IdVector describedBy;    // 'cdsc' to this image

    [[nodiscard]] bool isDerived() const { return kind != ImageKind::Coded; }
};

// An item that is no image: Exif, XMP and other metadata, and items of
// types the model does not know.
struct MetadataItem
{
    enum class Kind { Exif, Xmp, Mime, Other };
    ItemId id = 0;
    std::string itemType;
    Kind kind = Kind::Other;
    std::optional<MimeContent> content;  // a 'mime' item's entry
    IdVector describes;                  // its 'cdsc' references, in order
};

// A 'tmap' item whose 'dimg' inputs are an image of the file and another
// image: the base and the gain map, in that order.
struct ToneMapItem
{
    ItemId id = 0;
    ItemId base = 0;
    ItemId gainMap = 0;
};

// The file's image sequence: its first track of master images with samples.
struct ImageSequence
{
    ContextId track = 0;                // 0 without one
    std::vector<ItemId> frames;         // sample indices, in presentation order, each once
    std::size_t samples = 0;            // shown or not
    std::string codeType;               // of its first sample ("hvc1", "hev1", "av01" ...)
    std::optional<ImageCoding> coding;  // of its first sample's entry, when the model knows it
};

class ImageModel
{
public:
    // The model of an opened reader's root meta context and tracks.
    explicit ImageModel(const HevcImageFileReader& reader);

    [[nodiscard]] ContextId context() const { return mContext; }
    [[nodiscard]] bool hasMeta() const { return mHasMeta; }
    // The item 'pitm' names, whatever it is; none without a 'pitm'.
    [[nodiscard]] std::optional<ItemId> primaryItem() const { return mPrimaryItem; }
    // The primary image: the item 'pitm' names when it is an image; 0 otherwise.
    [[nodiscard]] ItemId primary() const { return mPrimary; }

    // Every image item (and 'tmap' item), by id.
    [[nodiscard]] const std::map<ItemId, ModelImage>& images() const { return mImages; }
    [[nodiscard]] const ModelImage* image(ItemId id) const;
    // The items that are no images, by id.
    [[nodiscard]] const std::map<ItemId, MetadataItem>& metadataItems() const { return mMetadata; }
    [[nodiscard]] const MetadataItem* metadataItem(ItemId id) const;

    // The primary first, then in item order every other image a person would
    // call an image of the file: not hidden, not a thumbnail, not an
    // auxiliary image, not protected, not an input of a derived image, and
    // no 'tmap' item. Whether it can be converted is the converter's call.
    [[nodiscard]] const IdVector& topLevelImages() const { return mTopLevel; }

    // The auxiliary images with an 'auxl' reference to the image, in
    // reference order, each once; those whose 'auxC' is missing or cannot be
    // read are left out.
    [[nodiscard]] std::vector<AuxiliaryImage> auxiliaryImagesOf(ItemId image) const;
    // The first image the item is an auxiliary image of; 0 for none.
    [[nodiscard]] ItemId ownerOfAuxiliary(ItemId item) const;
    // The thumbnails of the image ('thmb' references to it), in order.
    [[nodiscard]] IdVector thumbnailsOf(ItemId image) const;

    // The 'tmap' items whose base is an image of the file.
    [[nodiscard]] const std::vector<ToneMapItem>& toneMaps() const { return mToneMaps; }
    // The gain maps of the 'tmap' items whose base is the image, as
    // auxiliary images of the type "tmap".
    [[nodiscard]] std::vector<AuxiliaryImage> toneMapGainMapsOf(ItemId image) const;

    // The first Exif item (type "exif" in any case) with a 'cdsc' reference
    // to the image; 0 for none.
    [[nodiscard]] ItemId exifDescribing(ItemId image) const;
    // The first XMP item ('mime' of content type application/rdf+xml) with
    // a 'cdsc' reference to the image; 0 for none.
    [[nodiscard]] ItemId xmpDescribing(ItemId image) const;
    // The first Exif or XMP item of the file that describes no image in
    // particular (no 'cdsc' reference at all); 0 for none.
    [[nodiscard]] ItemId unattachedExif() const;
    [[nodiscard]] ItemId unattachedXmp() const;

    [[nodiscard]] const ImageSequence& sequence() const { return mSequence; }

    // The luma bit depth of an image's coding, a grid's that of its first
    // tile; none when it cannot be told.
    [[nodiscard]] std::optional<std::uint8_t> lumaBitDepth(ItemId image) const;

private:
    void readImages(const HevcImageFileReader& reader, const HevcImageFileReader::MetaContext& meta,
                    const MetaBoxInformation& information);
    void readMetadata(const HevcImageFileReader& reader, const HevcImageFileReader::MetaContext& meta);
    void readToneMaps();
    void listTopLevel();
    void readSequence(const HevcImageFileReader& reader);

    ContextId mContext = 0;
    bool mHasMeta = false;
    std::optional<ItemId> mPrimaryItem;
    ItemId mPrimary = 0;
    std::map<ItemId, ModelImage> mImages;
    std::map<ItemId, MetadataItem> mMetadata;
    IdVector mTopLevel;
    std::vector<ToneMapItem> mToneMaps;
    ImageSequence mSequence;
};

// Whether the item describes XMP: a 'mime' entry whose content type, without
// its parameters and in lower case, is application/rdf+xml.
[[nodiscard]] bool isXmpContent(const MimeContent& content);

}  // namespace ambrel::heif
