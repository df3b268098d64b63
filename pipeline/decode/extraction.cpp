#include "pipeline/decode/extraction.h"

#include <zlib.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <exception>
#include <istream>
#include <limits>
#include <map>
#include <memory>
#include <set>
#include <streambuf>
#include <string>
#include <string_view>
#include <utility>

#include "heiclib/boxes/decoder_config_boxes.h"
#include "heiclib/heif_limits.h"
#include "heiclib/log.h"
#include "pipeline/decode/coded_tiles.h"
#include "pipeline/decode/extraction_steps.h"
#include "pipeline/decode/mosaic.h"
#include "pipeline/decode/uncompressed.h"
#include "pipeline/encode/jpeg_metadata.h"

namespace ambrel::pipeline {

namespace {

// An input stream buffer over bytes in memory, seekable, without a copy.
class MemoryBuffer : public std::streambuf
{
public:
    MemoryBuffer(const std::uint8_t* bytes, std::size_t length)
    {
        // The get area is never written through; std::streambuf only wants char*.
        char* begin = const_cast<char*>(reinterpret_cast<const char*>(bytes));
        setg(begin, begin, begin == nullptr ? begin : begin + length);
    }

protected:
    pos_type seekoff(off_type offset, std::ios_base::seekdir direction, std::ios_base::openmode which) override
    {
        if ((which & std::ios_base::in) == 0) {
            return pos_type(off_type(-1));
        }
        const off_type size = egptr() - eback();
        off_type base = 0;
        if (direction == std::ios_base::cur) {
            base = gptr() - eback();
        } else if (direction == std::ios_base::end) {
            base = size;
        }
        if ((offset > 0 && offset > size - base) || (offset < 0 && -offset > base)) {
            return pos_type(off_type(-1));
        }
        setg(eback(), eback() + (base + offset), egptr());
        return pos_type(base + offset);
    }

    pos_type seekpos(pos_type position, std::ios_base::openmode which) override
    {
        return seekoff(off_type(position), std::ios_base::beg, which);
    }
};

}  // namespace

std::string lowerCase(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

// The stage's diagnostic lines go to the log's warning channel whatever its
// level (standard output unless a sink takes them).
void printDiagnostic(const std::string& line)
{
    log::report(log::Warning, line);
}

namespace {

std::uint64_t bigEndian(const std::uint8_t* bytes, unsigned count)
{
    std::uint64_t value = 0;
    for (unsigned i = 0; i < count; ++i) {
        value = (value << 8) | bytes[i];
    }
    return value;
}

// Whether the four bytes can be a box type: printable ASCII.
bool plausibleBoxType(const std::uint8_t* type)
{
    return std::all_of(type, type + 4, [](std::uint8_t c) { return c >= 0x20 && c < 0x7F; });
}

// Whether a root box claims more bytes than the file has left: the file was
// cut short. Malformed headers, and bytes that are no box header at all
// (garbage, another kind of file), are left to the reader.
bool lastBoxCutShort(const std::uint8_t* bytes, std::size_t length)
{
    std::size_t position = 0;
    while (length - position >= 8) {
        if (!plausibleBoxType(bytes + position + 4)) {
            return false;
        }
        std::uint64_t size = bigEndian(bytes + position, 4);
        std::uint64_t header = 8;
        if (size == 1) {
            if (length - position < 16) {
                return true;
            }
            size = bigEndian(bytes + position + 8, 8);
            header = 16;
        }
        if (size == 0) {
            return false;  // the box reaches to the end of the file
        }
        if (size < header) {
            return false;
        }
        if (size > length - position) {
            return true;
        }
        position += static_cast<std::size_t>(size);
    }
    return false;
}

}  // namespace

// Every row and column of a grid's tiles must show in its output: the last
// ones may run past its edge, never lie wholly beyond it. Otherwise a small
// output could ask for up to the pixel limit of decoded tiles, all thrown away
// by the crop (4,096 cells of 2048 x 2048 for a 64 x 64 picture): what a grid
// decodes stays below its output plus one tile each way.
void checkTilesCoverOutput(const heif::HevcImageFileReader& reader, heif::ContextId context, const HeifImageData& data)
{
    if (data.tileIds.empty() || data.width == 0 || data.height == 0) {
        return;
    }
    std::uint64_t tileWidth = 0;
    std::uint64_t tileHeight = 0;
    try {
        tileWidth = reader.getWidth(context, data.tileIds.front());
        tileHeight = reader.getHeight(context, data.tileIds.front());
    } catch (const std::exception&) {
        return;  // no size known: the decoder's own limit applies
    }
    if ((data.columns - 1) * tileWidth >= data.width || (data.rows - 1) * tileHeight >= data.height) {
        throw LimitExceededError("the grid's " + std::to_string(data.rows) + " x " + std::to_string(data.columns) +
                                 " tiles of " + std::to_string(tileWidth) + " x " + std::to_string(tileHeight) +
                                 " pixels reach wholly past its " + std::to_string(data.width) + " x " +
                                 std::to_string(data.height) + " output");
    }
}

void checkLimits(const heif::HevcImageFileReader& reader, heif::ContextId context, const HeifImageData& data)
{
    const std::uint64_t pixels = std::uint64_t(data.width) * data.height;
    if (pixels > heif::limits::kMaxImagePixels) {
        throw LimitExceededError("the image is " + std::to_string(pixels) + " pixels (" + std::to_string(data.width) +
                                 " x " + std::to_string(data.height) + "), more than the limit of " +
                                 std::to_string(heif::limits::kMaxImagePixels));
    }
    const std::uint64_t tiles = std::uint64_t(data.rows) * data.columns;
    if (tiles > heif::limits::kMaxGridTiles) {
        throw LimitExceededError("the grid is " + std::to_string(data.rows) + " x " + std::to_string(data.columns) +
                                 " tiles, more than the limit of " + std::to_string(heif::limits::kMaxGridTiles));
    }
    // What the tiles decode to, by their own sizes: every cell of the grid
    // holds a picture of its tile's size, whatever the grid's output size says.
    if (data.isGrid) {
        for (const heif::ItemId tile : data.tileIds) {
            std::uint64_t tilePixels = 0;
            try {
                tilePixels = std::uint64_t(reader.getWidth(context, tile)) * reader.getHeight(context, tile);
            } catch (const std::exception&) {
                continue;  // no size known: the decoder's own limit applies
            }
            if (tilePixels != 0 && tilePixels > heif::limits::kMaxImagePixels / tiles) {
                throw LimitExceededError("the grid's " + std::to_string(tiles) + " tiles of " +
                                         std::to_string(reader.getWidth(context, tile)) + " x " +
                                         std::to_string(reader.getHeight(context, tile)) +
                                         " pixels would decode to more than the limit of " +
                                         std::to_string(heif::limits::kMaxImagePixels) + " pixels");
            }
        }
        checkTilesCoverOutput(reader, context, data);
    }
}

namespace {

// 'iden' items over 'iden' items deeper than this are refused (a loop of
// references would otherwise never end).
constexpr unsigned kMaxIdentityDepth = 8;

std::string itemText(heif::ItemId id)
{
    return std::to_string(id);
}

// "the primary image 3", or for an image an 'iden' item derives from, "the source image 3".
std::string imageText(heif::ItemId id, unsigned depth)
{
    return (depth == 0 ? "the primary image " : "the source image ") + itemText(id);
}

// Image codings of the HEIF family beside HEVC, with their names, for refusals
// ('av01' only where the reader was asked for the HEVC family alone).
const std::map<std::string, std::string>& otherCodings()
{
    static const std::map<std::string, std::string> kOtherCodings = {
        {"av01", "AVIF"}, {"jpeg", "JPEG"}, {"j2k1", "JPEG 2000"}, {"vvc1", "VVC"}, {"unci", "uncompressed"}};
    return kOtherCodings;
}

}  // namespace

// The codings whose images the pipeline decodes.
bool isDecodedCoding(const std::string& codeType)
{
    return codeType == "hvc1" || codeType == "av01";
}

namespace {

// The primary image `id` as something the pipeline can decode.
ImageChoice resolveImage(const heif::ImageModel& model, heif::ItemId id, unsigned depth)
{
    const heif::ModelImage* image = model.image(id);
    if (image == nullptr || image->kind == heif::ImageKind::ToneMap) {
        throw NoImageError(imageText(id, depth) + " does not exist");
    }
    switch (image->kind) {
    case heif::ImageKind::Grid: return {id, true, {}};
    case heif::ImageKind::Identity: {
        if (depth >= kMaxIdentityDepth) {
            throw NoImageError("the primary image is derived through more than " + std::to_string(kMaxIdentityDepth) +
                               " 'iden' items");
        }
        if (image->inputs.size() != 1) {
            throw NoImageError("the 'iden' image " + itemText(id) + " names " + std::to_string(image->inputs.size()) +
                               " source images instead of one");
        }
        ImageChoice choice = resolveImage(model, image->inputs.front(), depth + 1);
        choice.identities.push_back(id);
        return choice;
    }
    case heif::ImageKind::Overlay:
        throw NoImageError(imageText(id, depth) + " is an overlay ('iovl'), which cannot be converted");
    default: break;
    }
    const std::string& codeType = image->coding.codeType;
    // JPEG and uncompressed images are decoded whole; an uncompressed one
    // without its 'uncC' is refused by the decoder, which names what is missing.
    if (isDecodedCoding(codeType) || image->itemType == "jpeg" || image->itemType == "unci") {
        return {id, false, {}};
    }
    // By the item's type: a coding of the family that is not decoded (JPEG
    // 2000, VVC) is refused as such; an AV1 image only lacks its 'av1C'.
    const std::string& type = image->itemType;
    if (const auto other = otherCodings().find(type); other != otherCodings().end() && type != "av01") {
        throw NoImageError((depth == 0 ? std::string("the primary image") : imageText(id, depth)) + " is coded as '" +
                           type + "' (" + other->second + "), which is not supported");
    }
    if (codeType == "avc1" || codeType == "lhv1") {
        throw NoImageError(imageText(id, depth) + " is coded as '" + codeType + "', which cannot be converted");
    }
    throw NoImageError(imageText(id, depth) + " has no decoder configuration");
}

// Why the primary named by 'pitm' (if any) is not an image of the file.
[[noreturn]] void refuseMissingPrimary(const heif::ImageModel& model)
{
    if (!model.hasMeta()) {
        throw NoImageError("the file holds no images (it has no 'meta' box)");
    }
    const std::optional<heif::ItemId> pitm = model.primaryItem();
    if (!pitm) {
        throw NoImageError("the file names no primary image (it has no 'pitm' box)");
    }
    std::string type;
    if (const heif::MetadataItem* item = model.metadataItem(*pitm)) {
        type = item->itemType;
    } else if (const heif::ModelImage* image = model.image(*pitm)) {
        type = image->itemType;
    }
    if (const auto other = otherCodings().find(type); other != otherCodings().end()) {
        throw NoImageError("the primary image is coded as '" + type + "' (" + other->second +
                           "), which is not supported");
    }
    if (!type.empty()) {
        throw NoImageError("the primary item " + itemText(*pitm) + " is of type '" + type +
                           "', which cannot be converted");
    }
    throw NoImageError("the primary item " + itemText(*pitm) + " does not exist");
}

}  // namespace

ImageChoice chooseImage(const heif::ImageModel& model)
{
    if (model.primary() == 0) {
        refuseMissingPrimary(model);
    }
    return resolveImage(model, model.primary(), 0);
}

ImageChoice chooseImage(const heif::HevcImageFileReader& reader, heif::ContextId context)
{
    if (context != reader.getFileInformation().rootMetaBoxInformation.contextId) {
        throw NoImageError("the file holds no images (it has no 'meta' box)");
    }
    return chooseImage(heif::ImageModel(reader));
}

// The fallbacks take only metadata items without a 'cdsc' reference, which
// describe no image in particular: by then no metadata item describes the
// primary or an image it derives from, so an item with a 'cdsc' reference
// describes another image (an HDR gain map, a thumbnail, a depth map) and its
// data is not the primary's.
heif::ItemId findExifItem(const heif::ImageModel& model, heif::ItemId image)
{
    if (const heif::ItemId described = model.exifDescribing(image); described != 0) {
        return described;
    }
    return model.unattachedExif();
}

heif::ItemId findExifItem(const heif::HevcImageFileReader& reader, heif::ContextId context, heif::ItemId image)
{
    if (context != reader.getFileInformation().rootMetaBoxInformation.contextId) {
        return 0;
    }
    return findExifItem(heif::ImageModel(reader), image);
}

bool get_heif_info(const heif::HevcImageFileReader& reader, heif::ContextId context, HeifImageData& data)
{
    try {
        if (data.isGrid) {
            const heif::GridItem grid = reader.getItemGrid(context, data.imageId);
            data.width = grid.outputWidth;
            data.height = grid.outputHeight;
            data.rows = grid.rowsMinusOne + 1u;
            data.columns = grid.columnsMinusOne + 1u;
            // Extra 'dimg' references beyond the layout are not tiles.
            heif::IdVector tiles = grid.itemIds;
            if (tiles.size() > std::size_t(data.rows) * data.columns) {
                tiles.resize(std::size_t(data.rows) * data.columns);
            }
            data.tileIds = std::move(tiles);
        } else {
            data.tileIds = {data.imageId};
            data.width = reader.getWidth(context, data.imageId);
            data.height = reader.getHeight(context, data.imageId);
            data.rows = 1;
            data.columns = 1;
        }

        std::vector<ImageTransform> transforms;
        bool rotationSeen = false;
        heif::IdVector transformed = {data.imageId};
        transformed.insert(transformed.end(), data.identities.begin(), data.identities.end());
        for (const heif::ItemId item : transformed) {
            for (const heif::ItemPropertyInfo& property : reader.getItemProperties(context, item)) {
                ImageTransform transform;
                switch (property.type) {
                case heif::ItemPropertyType::Irot:
                    transform.kind = ImageTransform::Kind::Rotate;
                    transform.value = reader.getPropertyIrot(context, property.index);
                    if (!rotationSeen) {
                        data.rotation = transform.value;
                        rotationSeen = true;
                    }
                    break;
                case heif::ItemPropertyType::Imir:
                    transform.kind = ImageTransform::Kind::Mirror;
                    transform.value = reader.getPropertyImir(context, property.index) ? 1u : 0u;
                    break;
                case heif::ItemPropertyType::Clap:
                    transform.kind = ImageTransform::Kind::CleanAperture;
                    transform.aperture = reader.getPropertyClap(context, property.index);
                    break;
                default: continue;
                }
                transforms.push_back(transform);
            }
        }
        data.transforms = std::move(transforms);
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

namespace {

// get_heif_exif over the file's image model.
void readExif(heif::HevcImageFileReader& reader, const heif::ImageModel& model, HeifImageData& data)
{
    try {
        // The primary's own Exif item first, then the one of the image it derives from.
        heif::ItemId exifItem = 0;
        for (auto it = data.identities.rbegin(); it != data.identities.rend() && exifItem == 0; ++it) {
            exifItem = model.exifDescribing(*it);
        }
        if (exifItem == 0) {
            exifItem = findExifItem(model, data.imageId);
        }
        if (exifItem == 0) {
            return;
        }
        data.exifItemId = exifItem;
        heif::DataVector itemData;
        reader.getItemData(model.context(), exifItem, itemData);
        std::optional<jpegmeta::Bytes> block = jpegmeta::exifBlockFromItem(itemData);
        if (!block) {
            printDiagnostic("can not find \"EXIF\" ");
            return;
        }
        data.exif = std::move(*block);
    } catch (const std::exception&) {
        data.exif.clear();
    }
}

}  // namespace

void get_heif_exif(heif::HevcImageFileReader& reader, heif::ContextId context, HeifImageData& data)
{
    if (context == reader.getFileInformation().rootMetaBoxInformation.contextId) {
        readExif(reader, heif::ImageModel(reader), data);
    }
}

void getHeifIcc(const heif::HevcImageFileReader& reader, heif::ContextId context, HeifImageData& data)
{
    try {
        data.iccProfile = reader.getItemIccProfile(context, data.imageId);
        if (data.iccProfile.empty() && data.isGrid && !data.tileIds.empty()) {
            data.iccProfile = reader.getItemIccProfile(context, data.tileIds.front());
        }
    } catch (const std::exception&) {
        data.iccProfile.clear();
    }
    try {
        data.nclx = reader.getItemColourInformation(context, data.imageId);
        if (!data.nclx && data.isGrid && !data.tileIds.empty()) {
            data.nclx = reader.getItemColourInformation(context, data.tileIds.front());
        }
    } catch (const std::exception&) {
        data.nclx.reset();
    }
}

namespace {}  // namespace

// The luma bit depth and chroma format of the record's first tile, from its
// 'hvcC', 'av1C' or 'uncC' (JPEG: 8 bits), and its size; 8 bits, 4:2:0 and no size when they
// cannot be read.
void getHeifBitDepth(const heif::HevcImageFileReader& reader, heif::ContextId context, HeifImageData& data)
{
    data.bitDepth = 8;
    if (data.tileIds.empty()) {
        return;
    }
    try {
        if (data.codec == Codec::Jpeg || data.codec == Codec::Uncompressed) {
            // Decoded to BGR (or grey) whatever the sampling; JPEG in 8 bits,
            // uncompressed samples in their components' depth.
            data.chromaFormat = 3;
            if (data.uncompressed && !data.uncompressed->empty()) {
                for (const auto& component : data.uncompressed->front().layout.components) {
                    data.bitDepth = std::max<std::uint8_t>(data.bitDepth, component.bitDepthMinusOne + 1);
                }
            }
        } else {
            data.bitDepth = reader.getItemLumaBitDepth(context, data.tileIds.front()).value_or(8);
        }
        const auto hvcC = std::dynamic_pointer_cast<const heif::HevcConfigurationBox>(
            reader.getItemPropertyBox(context, data.tileIds.front(), heif::FourCCInt("hvcC")));
        if (hvcC) {
            data.chromaFormat = hvcC->getConfiguration().getChromaFormatIdc();
        } else if (const auto av1C = reader.getItemAv1Configuration(context, data.tileIds.front())) {
            data.bitDepth = static_cast<std::uint8_t>(av1C->bitDepth());
            const bool halfAcross = av1C->chromaSubsamplingX != 0;
            const bool halfDown = av1C->chromaSubsamplingY != 0;
            data.chromaFormat = av1C->monochrome != 0 ? 0 : halfAcross ? (halfDown ? 1 : 2) : 3;
        }
    } catch (const std::exception&) {
        data.bitDepth = 8;
    }
    try {
        data.tileWidth = reader.getWidth(context, data.tileIds.front());
        data.tileHeight = reader.getHeight(context, data.tileIds.front());
    } catch (const std::exception&) {
        data.tileWidth = data.tileHeight = 0;  // no 'ispe'
    }
}

namespace {

// --- Other images, auxiliary images and image sequences ---

// An image item other than the primary as something the pipeline can decode.
ImageChoice chooseItem(const heif::ImageModel& model, heif::ItemId id, bool auxiliary)
{
    const heif::ModelImage* image = model.image(id);
    if (image == nullptr || image->kind == heif::ImageKind::ToneMap) {
        throw NoImageError("the file has no image item " + itemText(id));
    }
    if (image->kind == heif::ImageKind::Grid) {
        return {id, true, {}};
    }
    if (auxiliary) {
        if (!isDecodedCoding(image->coding.codeType)) {
            throw NoImageError("the auxiliary image " + itemText(id) + " is no 'hvc1' or 'av01' image and no grid");
        }
        return {id, false, {}};
    }
    try {
        return resolveImage(model, id, 1);
    } catch (const NoImageError& error) {
        throw NoImageError("image " + itemText(id) + ": " + error.what());
    }
}

// A fraction of the owner's pixels as one of `to` pixels where the owner has
// `from`; numerators of offsets are signed.
void scaleFraction(std::uint32_t& numerator, std::uint32_t& denominator, std::uint32_t to, std::uint32_t from,
                   bool isSigned)
{
    if (denominator == 0 || from == 0) {
        return;
    }
    const double value = (isSigned ? double(static_cast<std::int32_t>(numerator)) : double(numerator)) /
                         double(denominator) * double(to) / double(from);
    constexpr std::uint32_t kDenominator = 1024;
    const double scaled = std::round(value * kDenominator);
    if (std::abs(scaled) > double(std::numeric_limits<std::int32_t>::max())) {
        return;
    }
    const auto rounded = static_cast<std::int64_t>(scaled);
    numerator = static_cast<std::uint32_t>(rounded);
    denominator = kDenominator;
}

// An auxiliary image without transforms of its own takes those of the image
// it belongs to; a clean aperture in the owner's pixels becomes one in the
// auxiliary image's.
void takeOwnerTransforms(const heif::HevcImageFileReader& reader, const heif::ImageModel& model, heif::ItemId owner,
                         HeifImageData& data)
{
    if (!data.transforms.empty()) {
        return;
    }
    HeifImageData ownerData;
    try {
        const ImageChoice choice = resolveImage(model, owner, 1);
        ownerData.imageId = choice.id;
        ownerData.isGrid = choice.isGrid;
        ownerData.identities = choice.identities;
    } catch (const NoImageError&) {
        const heif::ModelImage* image = model.image(owner);
        ownerData.imageId = owner;
        ownerData.isGrid = image != nullptr && image->kind == heif::ImageKind::Grid;
    }
    if (!get_heif_info(reader, model.context(), ownerData)) {
        return;
    }
    for (ImageTransform transform : ownerData.transforms) {
        if (transform.kind == ImageTransform::Kind::CleanAperture &&
            (ownerData.width != data.width || ownerData.height != data.height)) {
            heif::CleanApertureInfo& a = transform.aperture;
            scaleFraction(a.widthN, a.widthD, data.width, ownerData.width, false);
            scaleFraction(a.heightN, a.heightD, data.height, ownerData.height, false);
            scaleFraction(a.horizontalOffsetN, a.horizontalOffsetD, data.width, ownerData.width, true);
            scaleFraction(a.verticalOffsetN, a.verticalOffsetD, data.height, ownerData.height, true);
        }
        data.transforms.push_back(transform);
    }
    data.rotation = ownerData.rotation;
}

// The image as listed: its displayed size when it can be converted, and its
// auxiliary images: those of the image, the gain maps of 'tmap' items over
// it, and those of the image it derives from.
ListedImage listImage(const heif::ImageModel& model, heif::ItemId id)
{
    ListedImage listed;
    listed.id = id;
    try {
        const ImageChoice choice = resolveImage(model, id, 0);
        if (const heif::ModelImage* image = model.image(id)) {
            listed.width = image->displayedWidth;
            listed.height = image->displayedHeight;
        }
        listed.auxiliary = model.auxiliaryImagesOf(id);
        for (const AuxiliaryImage& gainMap : model.toneMapGainMapsOf(id)) {
            // An auxiliary image that is also the gain map of a 'tmap' item
            // is one picture: listed once, as a gain map.
            const auto same = std::find_if(listed.auxiliary.begin(), listed.auxiliary.end(),
                                           [&](const AuxiliaryImage& a) { return a.id == gainMap.id; });
            if (same != listed.auxiliary.end()) {
                same->kind = AuxiliaryKind::GainMap;
            } else {
                listed.auxiliary.push_back(gainMap);
            }
        }
        if (choice.id != id) {
            for (const AuxiliaryImage& auxiliary : model.auxiliaryImagesOf(choice.id)) {
                if (std::none_of(listed.auxiliary.begin(), listed.auxiliary.end(),
                                 [&](const AuxiliaryImage& a) { return a.id == auxiliary.id; })) {
                    listed.auxiliary.push_back(auxiliary);
                }
            }
        }
    } catch (const NoImageError&) {
        // Listed without a size: converting it says why it cannot be.
    }
    return listed;
}

}  // namespace

std::vector<AuxiliaryImage> auxiliaryImagesOf(const heif::HevcImageFileReader& reader, heif::ContextId context,
                                              heif::ItemId image)
{
    if (context != reader.getFileInformation().rootMetaBoxInformation.contextId) {
        return {};
    }
    return heif::ImageModel(reader).auxiliaryImagesOf(image);
}

bool startsWithFileTypeBox(std::span<const std::uint8_t> bytes)
{
    return bytes.data() != nullptr && bytes.size() >= 8 && std::equal(bytes.begin() + 4, bytes.begin() + 8, "ftyp");
}

namespace {

// The length of the bytes a reader is opened on (none without bytes);
// throws TruncatedFileError when the last box reaches past their end.
std::size_t checkedLength(const std::uint8_t* bytes, std::size_t length)
{
    if (bytes == nullptr) {
        return 0;
    }
    if (lastBoxCutShort(bytes, length)) {
        throw TruncatedFileError("the file is cut short: its last box reaches past the end of the file");
    }
    return length;
}

// A file read from memory: the reader over its bytes, opened with every
// coding of the HEIF family, the context of its root 'meta' and the image
// model. Stays where it is made (the reader reads through the stream, the
// stream through the buffer).
class OpenedFile
{
public:
    OpenedFile(const std::uint8_t* bytes, std::size_t length, std::optional<std::uint64_t> memoryBudget = {})
        : length(checkedLength(bytes, length)), mBuffer(bytes, this->length), mInput(&mBuffer)
    {
        if (memoryBudget) {
            reader.setMemoryBudget(*memoryBudget);
        }
        reader.setImageCodings(heif::HevcImageFileReader::ImageCodings::All);
        reader.initialize(mInput);
        context = reader.getFileInformation().rootMetaBoxInformation.contextId;
        model.emplace(reader);
    }
    OpenedFile(const OpenedFile&) = delete;
    OpenedFile& operator=(const OpenedFile&) = delete;

    std::size_t length;  // of the bytes the reader reads

private:
    MemoryBuffer mBuffer;
    std::istream mInput;

public:
    heif::HevcImageFileReader reader;
    heif::ContextId context = 0;
    std::optional<heif::ImageModel> model;  // set once the reader is open
};

}  // namespace

HeifImageData extractHeifImage(const std::uint8_t* bytes, std::size_t length, bool keepExif, std::uint64_t memoryBudget)
{
    return extractHeifImage(bytes, length, keepExif, ImageRequest{}, memoryBudget);
}

HeifImageData extractHeifImage(const std::uint8_t* bytes, std::size_t length, bool keepExif,
                               const ImageRequest& request, std::uint64_t memoryBudget)
{
    OpenedFile file(bytes, length, memoryBudget);
    length = file.length;
    heif::HevcImageFileReader& reader = file.reader;
    const heif::ContextId context = file.context;
    const heif::ImageModel& model = *file.model;
    const std::uint64_t tileBudget =
        heif::limits::kMaxImageTileAmplification * std::uint64_t(length) + heif::limits::kImageTileBytesAllowance;

    std::int64_t frame = request.frame;
    if (frame < 0 && request.itemId == 0 && model.primary() == 0 && model.sequence().track != 0) {
        frame = 0;  // no primary image: the sequence stands for it
    }
    if (frame >= 0) {
        return extractFrame(reader, model.sequence(), static_cast<std::uint64_t>(frame), tileBudget);
    }

    HeifImageData data;
    heif::ItemId auxiliaryOwner = 0;
    if (request.itemId == 0) {
        const ImageChoice choice = chooseImage(model);
        data.imageId = choice.id;
        data.isGrid = choice.isGrid;
        data.identities = choice.identities;
    } else {
        auxiliaryOwner = model.ownerOfAuxiliary(request.itemId);
        const ImageChoice choice = chooseItem(model, request.itemId, auxiliaryOwner != 0);
        data.imageId = choice.id;
        data.isGrid = choice.isGrid;
        data.identities = choice.identities;
        data.greyPicture = auxiliaryOwner != 0;
    }
    if (!get_heif_info(reader, context, data)) {
        printDiagnostic("get_heif_info returned false ");
    }
    if (data.greyPicture) {
        takeOwnerTransforms(reader, model, auxiliaryOwner, data);
    }
    checkLimits(reader, context, data);
    if (!get_heif_paramset(reader, context, data)) {
        printDiagnostic("get_heif_paramset returned false ");
    }
    if (!get_heif_tiles(reader, context, data, tileBudget)) {
        printDiagnostic("get_heif_tiles returned false ");
    }
    getHeifBitDepth(reader, context, data);
    if (data.greyPicture) {
        // One byte a pixel (the conversion halves it for 16-bit samples).
        data.maxCanvasPixels = std::min<std::uint64_t>(data.maxCanvasPixels, reader.memoryBudget().left());
        return data;
    }
    // Before the metadata, whose reads cannot then take the budget the
    // plane's tiles need.
    getHeifAlpha(reader, model, data, tileBudget);
    if (keepExif) {
        readExif(reader, model, data);
        getHeifXmp(reader, model, data);
    }
    getHeifIcc(reader, context, data);
    // The decoded picture takes 3 bytes a pixel out of what the file's
    // budget has left, 4 with an alpha plane.
    const std::uint64_t bytesPerPixel = data.alpha ? 4 : 3;
    data.maxCanvasPixels = std::min<std::uint64_t>(data.maxCanvasPixels, reader.memoryBudget().left() / bytesPerPixel);
    if (data.alpha) {
        data.alpha->maxCanvasPixels = data.maxCanvasPixels;
    }
    return data;
}

ImageInventory listImages(const std::uint8_t* bytes, std::size_t length)
{
    OpenedFile file(bytes, length);
    const heif::ImageModel& model = *file.model;

    ImageInventory inventory;
    inventory.primary = model.primary();
    for (const heif::ItemId id : model.topLevelImages()) {
        if (id != inventory.primary) {
            // Another image is listed only when it can be converted.
            try {
                static_cast<void>(resolveImage(model, id, 1));
            } catch (const NoImageError&) {
                continue;
            }
        }
        inventory.images.push_back(listImage(model, id));
    }
    inventory.frames = model.sequence().frames.size();
    inventory.trackSamples = model.sequence().samples;
    return inventory;
}

namespace {

// 'tmap' payloads are a few dozen bytes; anything this large is not one.
constexpr std::uint64_t kMaxToneMapBytes = 4096;

// The gain map tied to the image: by a 'tmap' item first, else the first
// auxiliary image of a gain map type. Leaves `found` as it is when none.
void findGainMapOf(heif::HevcImageFileReader& reader, const heif::ImageModel& model, heif::ItemId image,
                   GainMapSource& found)
{
    for (const heif::ToneMapItem& toneMap : model.toneMaps()) {
        if (toneMap.base != image) {
            continue;
        }
        found.id = toneMap.gainMap;
        found.toneMapped = true;
        found.type = "tmap";
        const std::optional<std::uint64_t> declared = reader.getItemDeclaredLength(model.context(), toneMap.id);
        if (!declared || *declared <= kMaxToneMapBytes) {
            reader.getItemData(model.context(), toneMap.id, found.toneMap);
        }
        found.toneMap.resize(std::min<std::size_t>(found.toneMap.size(), kMaxToneMapBytes));
        break;
    }
    for (const AuxiliaryImage& auxiliary : model.auxiliaryImagesOf(image)) {
        if (auxiliary.kind == AuxiliaryKind::GainMap && (found.id == 0 || found.id == auxiliary.id)) {
            found.id = auxiliary.id;
            found.type = auxiliary.type;
            break;
        }
    }
}

}  // namespace

GainMapSource findGainMap(const std::uint8_t* bytes, std::size_t length)
{
    OpenedFile file(bytes, length);
    heif::HevcImageFileReader& reader = file.reader;
    const heif::ImageModel& model = *file.model;
    GainMapSource found;
    if (model.primary() == 0) {
        return found;
    }
    const ImageChoice choice = chooseImage(model);
    for (auto it = choice.identities.rbegin(); it != choice.identities.rend() && found.id == 0; ++it) {
        findGainMapOf(reader, model, *it, found);
    }
    if (found.id == 0) {
        findGainMapOf(reader, model, choice.id, found);
    }
    if (found.id == 0) {
        return found;
    }
    if (const heif::ModelImage* gainMap = model.image(found.id)) {
        found.width = gainMap->width;
        found.height = gainMap->height;
    }
    if (const heif::ItemId xmp = model.xmpDescribing(found.id); xmp != 0) {
        found.xmp = readXmpItem(reader, model.context(), xmp);
    }
    HeifImageData primary;
    primary.imageId = choice.id;
    primary.identities = choice.identities;
    readExif(reader, model, primary);
    found.exif = std::move(primary.exif);
    return found;
}

}  // namespace ambrel::pipeline
