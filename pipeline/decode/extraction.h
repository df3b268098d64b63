// The first stage of heif2jpg: open the HEIF bytes with the reader, choose the
// image to convert and copy out everything the later stages need.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "heiclib/model/image_model.h"
#include "heiclib/reader/hevc_image_file_reader.h"
#include "pipeline/decode/heif_image_data.h"

namespace ambrel::pipeline {

// The file holds no image that the pipeline can convert.
class NoImageError : public std::runtime_error
{
public:
    using std::runtime_error::runtime_error;
};

// A root box reaches beyond the end of the file: the file was cut short.
class TruncatedFileError : public std::runtime_error
{
public:
    using std::runtime_error::runtime_error;
};

// The image is beyond one of the limits of heif_limits.h (output pixels,
// tiles of a grid); it is refused before anything is decoded.
class LimitExceededError : public std::runtime_error
{
public:
    using std::runtime_error::runtime_error;
};

struct ImageChoice
{
    heif::ItemId id = 0;  // the grid or 'hvc1' image whose pixels are decoded
    bool isGrid = false;
    // The 'iden' items that derive the primary from `id`, innermost first
    // (the last one is the primary); empty when `id` is the primary.
    heif::IdVector identities;
};

// The image to convert, which is always the primary item: a grid, an 'hvc1'
// or 'av01' coded image, or an 'iden' over one of those (its source's pixels
// with the 'iden' item's own transforms after the source's). No other image
// stands in for a primary that is missing or of another kind ('iovl',
// 'avc1', 'jpeg', 'unci', ...): that throws NoImageError saying why, as does
// a file without a primary.
ImageChoice chooseImage(const heif::ImageModel& model);
// The same over the reader's image model (the reader's root context).
ImageChoice chooseImage(const heif::HevcImageFileReader& reader, heif::ContextId context);

// The Exif item that describes the image: a 'cdsc' source of the image whose
// type reads "exif" in any case, else the first item of the context whose type
// reads "exif" and that describes no image ('cdsc') at all; 0 when there is none.
heif::ItemId findExifItem(const heif::ImageModel& model, heif::ItemId image);
heif::ItemId findExifItem(const heif::HevcImageFileReader& reader, heif::ContextId context, heif::ItemId image);

// The steps of the extraction. Each absorbs its own errors and reports them by
// its return value. `data.imageId`, `data.isGrid` and `data.identities` must
// be set.
//
// Geometry (a grid's output size and layout, or a coded image's 'ispe' size
// as a 1 x 1 layout), the grid's tile ids in 'dimg' order, the 'irot' angle
// and the transformative properties in association order: the image's own,
// then those of each 'iden' item over it.
bool get_heif_info(const heif::HevcImageFileReader& reader, heif::ContextId context, HeifImageData& data);
// VPS, SPS and PPS of the first tile.
bool get_heif_paramset(const heif::HevcImageFileReader& reader, heif::ContextId context, HeifImageData& data);
// The coded data of every tile, each led by its own parameter sets. A tile
// named by several cells is read once. Throws LimitExceededError (and keeps
// no tiles) when the tiles, counted once per cell, hold more than
// `byteBudget` bytes.
bool get_heif_tiles(heif::HevcImageFileReader& reader, heif::ContextId context, HeifImageData& data,
                    std::uint64_t byteBudget = std::numeric_limits<std::uint64_t>::max());
// The Exif block of the image's Exif item; empty when there is none.
void get_heif_exif(heif::HevcImageFileReader& reader, heif::ContextId context, HeifImageData& data);
// The image's ICC profile and 'nclx' colour code points; a grid without
// them takes its first tile's.
void getHeifIcc(const heif::HevcImageFileReader& reader, heif::ContextId context, HeifImageData& data);

// Auxiliary images and their kinds are the image model's (heiclib/model/image_model.h).
using heif::AuxiliaryImage;
using heif::AuxiliaryKind;
using heif::auxiliaryKindName;
using heif::auxiliaryKindOf;

struct ListedImage
{
    heif::ItemId id = 0;
    // The displayed size: after the clean aperture and the rotations (a
    // quarter turn swaps the sides); 0 x 0 when unknown.
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    // In reference order; then the gain maps of 'tmap' items over the image
    // that are not among them (one that is, is listed there as a gain map).
    std::vector<AuxiliaryImage> auxiliary;
};

struct ImageInventory
{
    heif::ItemId primary = 0;  // 0 when the file has no primary image
    // The primary first, then in item order every other top-level image: not
    // hidden, not a thumbnail, not an auxiliary image, not an input of a
    // derived image, and of a kind that can be converted.
    std::vector<ListedImage> images;
    // Frames of the file's image sequence track, in presentation order; 0
    // without one.
    std::size_t frames = 0;
    // Samples of that track, shown or not (more than `frames` when some are
    // never presented).
    std::size_t trackSamples = 0;
};

// The images of the file; throws as extractHeifImage does for a file that
// cannot be read.
[[nodiscard]] ImageInventory listImages(const std::uint8_t* bytes, std::size_t length);

// The image extractHeifImage takes.
struct ImageRequest
{
    heif::ItemId itemId = 0;  // 0: the primary
    // >= 0: that frame (in presentation order) of the image sequence track,
    // whatever itemId says.
    std::int64_t frame = -1;
};

// The auxiliary images of an image, with 'auxl' references to it, in
// reference order (see heif::ImageModel::auxiliaryImagesOf).
[[nodiscard]] std::vector<AuxiliaryImage> auxiliaryImagesOf(const heif::HevcImageFileReader& reader,
                                                            heif::ContextId context, heif::ItemId image);

// The HDR gain map of the primary image, as the file stores it: what
// heif2jpg needs to carry it into a gain-map JPEG. Only the items are found
// here; gain_map.h reads their metadata.
struct GainMapSource
{
    heif::ItemId id = 0;  // the gain map image; 0 when the primary has none
    // Its 'auxC' type as stored, or "tmap" for a gain map that is no
    // auxiliary image of the primary.
    std::string type;
    bool toneMapped = false;            // a 'tmap' item ties it to the primary
    std::vector<std::uint8_t> toneMap;  // that item's data (its version byte first)
    std::vector<std::uint8_t> xmp;      // the gain map's own XMP packet; empty without one
    std::vector<std::uint8_t> exif;     // the primary's Exif block ("Exif" 00 00 ...); empty without one
    std::uint32_t width = 0;            // the gain map's output size, before its transforms
    std::uint32_t height = 0;
};

// The primary's gain map: the gain map input of a 'tmap' item whose base is
// the primary (or an 'iden' item over it, or the image it derives from),
// else its first auxiliary image of a gain map type. Throws as listImages
// does for a file that cannot be read.
[[nodiscard]] GainMapSource findGainMap(const std::uint8_t* bytes, std::size_t length);

// Whether the bytes begin with an 'ftyp' box header, as every HEIF file does.
[[nodiscard]] bool startsWithFileTypeBox(std::span<const std::uint8_t> bytes);

// Runs the whole extraction over the file's bytes (not copied; they must stay
// valid during the call). Throws when the file is cut short (TruncatedFileError),
// cannot be read (what the reader throws), has no primary image that can be
// converted (NoImageError), or an image larger than heif::limits::kMaxImagePixels
// (by its output size, or by its tiles' own sizes times the cells of the
// grid) or with more than heif::limits::kMaxGridTiles tiles (LimitExceededError,
// before any tile is read), or whose tiles hold more bytes than
// heif::limits::kMaxImageTileAmplification times the file's size plus
// heif::limits::kImageTileBytesAllowance (LimitExceededError); the steps above
// throw nothing else.
//
// Everything the file's contents size is charged to one memory budget of
// `memoryBudget` bytes (see MemoryBudget): the reader's boxes and item reads,
// the copies of tiles named by several cells and the elementary stream. Past
// it the tiles are refused with LimitExceededError, the rest as the reader
// refuses it; what is left sets `maxCanvasPixels` (3 bytes a pixel, 4 with
// an alpha plane).
//
// Beside the steps above: the tiles' bit depth; the image's alpha plane
// (see HeifImageData::alpha), read by the same steps with its tiles charged
// to the same budgets, and left out with a diagnostic line, never failing
// the extraction, when its size differs from the image's or it cannot be
// read; and with `keepExif` the XMP packet: the 'mime' item of content type
// "application/rdf+xml" with a 'cdsc' reference to the primary, to an 'iden'
// item in between or to the image, else the file's first such item, stored
// plain or with the content encoding "deflate" or "gzip", of at most 16 MB
// (inflated too), and holding an XMP packet ("<x:xmpmeta" or "<rdf:RDF");
// otherwise left out with a diagnostic line.
HeifImageData extractHeifImage(const std::uint8_t* bytes, std::size_t length, bool keepExif,
                               std::uint64_t memoryBudget = heif::limits::kMaxFileMemoryBytes);

// The same for the image the request names:
// - an image item of the file that is no auxiliary image, by the rules of
//   the primary above (a missing one, or one of another kind, throws
//   NoImageError);
// - an auxiliary image (greyPicture set): its luma plane alone, with no
//   metadata; its own transforms, or when it has none those of the image it
//   belongs to, whose clean aperture is scaled to the auxiliary image's size;
// - a frame of the image sequence track: the samples from the last IDR
//   picture at or before that frame's sample (else the first sample) up to
//   it, decoded in order, the earlier pictures dropped (skippedPictures); no
//   metadata and no transforms (of the track header or the sample entry). A
//   file without a primary image but with a track converts the track's first
//   frame. A frame past the last, or a file without a track, throws
//   NoImageError; a frame that needs more than 4096 samples decoded, or
//   whose samples hold more bytes than the tile limit above, throws
//   LimitExceededError.
HeifImageData extractHeifImage(const std::uint8_t* bytes, std::size_t length, bool keepExif,
                               const ImageRequest& request,
                               std::uint64_t memoryBudget = heif::limits::kMaxFileMemoryBytes);

}  // namespace ambrel::pipeline
