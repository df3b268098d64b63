#include "pipeline/decode/extraction.h"

#include <zlib.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <istream>
#include <limits>
#include <map>
#include <memory>
#include <set>
#include <streambuf>
#include <string>
#include <string_view>
#include <utility>

#include "heiclib/heif_limits.h"
#include "heiclib/log.h"
#include "pipeline/decode/coded_tiles.h"
#include "pipeline/decode/mosaic.h"
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

std::string lowerCase(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

bool isExifType(const std::string& type)
{
    return lowerCase(type) == "exif";
}

// The stage's diagnostic lines go to the log's warning channel whatever its
// level (standard output unless a sink takes them).
void printDiagnostic(const std::string& line)
{
    log::report(log::Warning, line);
}

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

}  // namespace

namespace {

// 'iden' items over 'iden' items deeper than this are refused (a loop of
// references would otherwise never end).
constexpr unsigned kMaxIdentityDepth = 8;

// The codings whose images the decoder takes.
bool isCodedImage(const std::string& codeType)
{
    return codeType == "hvc1" || codeType == "av01";
}

std::string itemText(heif::ItemId id)
{
    return std::to_string(id);
}

// "the primary image 3", or for an image an 'iden' item derives from, "the source image 3".
std::string imageText(heif::ItemId id, unsigned depth)
{
    return (depth == 0 ? "the primary image " : "the source image ") + itemText(id);
}

// The primary image `id` as something the pipeline can decode.
ImageChoice resolveImage(const heif::HevcImageFileReader& reader, heif::ContextId context, heif::ItemId id,
                         unsigned depth)
{
    const auto& contexts = reader.getMetaContexts();
    const auto found = contexts.find(context);
    if (found == contexts.end() || found->second.images.count(id) == 0) {
        throw NoImageError(imageText(id, depth) + " does not exist");
    }
    const std::string type = reader.getItemType(context, id);
    if (type == "grid") {
        return {id, true, {}};
    }
    if (type == "iden") {
        if (depth >= kMaxIdentityDepth) {
            throw NoImageError("the primary image is derived through more than " + std::to_string(kMaxIdentityDepth) +
                               " 'iden' items");
        }
        heif::IdVector sources;
        reader.getReferencedFromItemListByType(context, id, heif::FourCCInt("dimg"), sources);
        if (sources.size() != 1) {
            throw NoImageError("the 'iden' image " + itemText(id) + " names " + std::to_string(sources.size()) +
                               " source images instead of one");
        }
        ImageChoice choice = resolveImage(reader, context, sources.front(), depth + 1);
        choice.identities.push_back(id);
        return choice;
    }
    if (type == "iovl") {
        throw NoImageError(imageText(id, depth) + " is an overlay ('iovl'), which cannot be converted");
    }
    const std::string codeType = reader.getDecoderCodeType(context, id);
    if (isCodedImage(codeType)) {
        return {id, false, {}};
    }
    if (codeType == "jpeg" || codeType == "unci") {
        throw NoImageError(imageText(id, depth) + " is coded as '" + codeType + "' (" +
                           (codeType == "jpeg" ? "JPEG" : "uncompressed") + "), which is not supported");
    }
    if (codeType == "avc1" || codeType == "lhv1") {
        throw NoImageError(imageText(id, depth) + " is coded as '" + codeType + "', which cannot be converted");
    }
    throw NoImageError(imageText(id, depth) + " has no decoder configuration");
}

// Why the primary named by 'pitm' (if any) is not an image of the context.
[[noreturn]] void refuseMissingPrimary(const heif::HevcImageFileReader& reader, heif::ContextId context,
                                       std::optional<std::uint32_t> pitm)
{
    const auto& contexts = reader.getMetaContexts();
    const auto found = contexts.find(context);
    if (found == contexts.end()) {
        throw NoImageError("the file holds no images (it has no 'meta' box)");
    }
    if (!pitm) {
        throw NoImageError("the file names no primary image (it has no 'pitm' box)");
    }
    const auto other = found->second.otherItems.find(*pitm);
    // Image codings of the HEIF family that are not decoded here.
    static const std::map<std::string, std::string> kOtherCodings = {
        {"av01", "AVIF"}, {"jpeg", "JPEG"}, {"j2k1", "JPEG 2000"}, {"vvc1", "VVC"}, {"unci", "uncompressed"}};
    if (other != found->second.otherItems.end() && kOtherCodings.count(other->second) != 0) {
        throw NoImageError("the primary image is coded as '" + other->second + "' (" + kOtherCodings.at(other->second) +
                           "), which is not supported");
    }
    if (other != found->second.otherItems.end()) {
        throw NoImageError("the primary item " + itemText(*pitm) + " is of type '" + other->second +
                           "', which cannot be converted");
    }
    throw NoImageError("the primary item " + itemText(*pitm) + " does not exist");
}

}  // namespace

ImageChoice chooseImage(const heif::HevcImageFileReader& reader, heif::ContextId context)
{
    heif::ItemId primary = 0;
    try {
        primary = reader.getCoverImageItemId(context);
    } catch (const heif::FileReaderException&) {
        // No image item is the primary: say why.
        std::optional<heif::ItemId> pitm;
        try {
            pitm = reader.getPrimaryItemId(context);
        } catch (const heif::FileReaderException&) {
            throw NoImageError("the file holds no images (it has no 'meta' box)");
        }
        refuseMissingPrimary(reader, context, pitm);
    }
    return resolveImage(reader, context, primary, 0);
}

namespace {

// Whether a metadata item has no 'cdsc' reference, so describes no image in
// particular. The fallbacks below take only such items: by then no metadata
// item describes the primary or an image it derives from, so an item with a
// 'cdsc' reference describes another image (an HDR gain map, a thumbnail, a
// depth map) and its data is not the primary's. An item whose references
// cannot be read counts as describing another image.
bool describesNoImage(const heif::HevcImageFileReader& reader, heif::ContextId context, heif::ItemId item)
{
    heif::IdVector described;
    try {
        reader.getReferencedFromItemListByType(context, item, heif::FourCCInt("cdsc"), described);
    } catch (const heif::FileReaderException&) {
        return false;
    }
    return described.empty();
}

// The first Exif item with a 'cdsc' reference to the image; 0 when none.
heif::ItemId describingExifItem(const heif::HevcImageFileReader& reader, heif::ContextId context, heif::ItemId image)
{
    heif::IdVector describing;
    try {
        reader.getReferencedToItemListByType(context, image, heif::FourCCInt("cdsc"), describing);
    } catch (const heif::FileReaderException&) {
        describing.clear();
    }
    for (const heif::ItemId id : describing) {
        try {
            if (isExifType(reader.getItemType(context, id))) {
                return id;
            }
        } catch (const heif::FileReaderException&) {
            // A reference to an item that 'iinf' does not hold.
        }
    }
    return 0;
}

}  // namespace

heif::ItemId findExifItem(const heif::HevcImageFileReader& reader, heif::ContextId context, heif::ItemId image)
{
    if (const heif::ItemId described = describingExifItem(reader, context, image); described != 0) {
        return described;
    }
    const auto& contexts = reader.getMetaContexts();
    const auto found = contexts.find(context);
    if (found == contexts.end()) {
        return 0;
    }
    for (const auto& [id, type] : found->second.otherItems) {
        if (isExifType(type) && describesNoImage(reader, context, id)) {
            return id;
        }
    }
    return 0;
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
    } catch (...) {
        return false;
    }
}

void get_heif_exif(heif::HevcImageFileReader& reader, heif::ContextId context, HeifImageData& data)
{
    try {
        // The primary's own Exif item first, then the one of the image it derives from.
        heif::ItemId exifItem = 0;
        for (auto it = data.identities.rbegin(); it != data.identities.rend() && exifItem == 0; ++it) {
            exifItem = describingExifItem(reader, context, *it);
        }
        if (exifItem == 0) {
            exifItem = findExifItem(reader, context, data.imageId);
        }
        if (exifItem == 0) {
            return;
        }
        data.exifItemId = exifItem;
        heif::DataVector itemData;
        reader.getItemData(context, exifItem, itemData);
        std::optional<jpegmeta::Bytes> block = jpegmeta::exifBlockFromItem(itemData);
        if (!block) {
            printDiagnostic("can not find \"EXIF\" ");
            return;
        }
        data.exif = std::move(*block);
    } catch (...) {
        data.exif.clear();
    }
}

void getHeifIcc(const heif::HevcImageFileReader& reader, heif::ContextId context, HeifImageData& data)
{
    try {
        data.iccProfile = reader.getItemIccProfile(context, data.imageId);
        if (data.iccProfile.empty() && data.isGrid && !data.tileIds.empty()) {
            data.iccProfile = reader.getItemIccProfile(context, data.tileIds.front());
        }
    } catch (...) {
        data.iccProfile.clear();
    }
    try {
        data.nclx = reader.getItemColourInformation(context, data.imageId);
        if (!data.nclx && data.isGrid && !data.tileIds.empty()) {
            data.nclx = reader.getItemColourInformation(context, data.tileIds.front());
        }
    } catch (...) {
        data.nclx.reset();
    }
}

namespace {

// XMP items (and inflated packets) larger than this are left out: real
// packets are a few kilobytes, a few hundred kilobytes with padding and a
// preview.
constexpr std::uint64_t kMaxXmpBytes = std::uint64_t(16) << 20;

// The 'auxC' types of an alpha plane: the HEVC auxiliary picture id 1, and
// the MPEG-B name for it.
constexpr std::string_view kAlphaTypes[] = {"urn:mpeg:hevc:2015:auxid:1",
                                            "urn:mpeg:mpegB:cicp:systems:auxiliary:alpha"};

// The luma bit depth of the record's first tile, from its 'hvcC'; 8 when
// that cannot be read.
void getHeifBitDepth(const heif::HevcImageFileReader& reader, heif::ContextId context, HeifImageData& data)
{
    data.bitDepth = 8;
    if (data.tileIds.empty()) {
        return;
    }
    try {
        const auto av1 = reader.getItemAv1Configuration(context, data.tileIds.front());
        data.bitDepth = av1 ? static_cast<std::uint8_t>(av1->bitDepth())
                            : reader.getItemLumaBitDepth(context, data.tileIds.front()).value_or(8);
    } catch (const std::exception&) {
        data.bitDepth = 8;
    }
}

// --- XMP ---

// The content type without parameters, in lower case ("application/rdf+xml").
std::string mediaType(const std::string& contentType)
{
    std::string type = lowerCase(contentType.substr(0, contentType.find(';')));
    while (!type.empty() && (type.back() == ' ' || type.back() == '\t' || type.back() == '\0')) {
        type.pop_back();
    }
    return type;
}

bool isXmpItem(const heif::HevcImageFileReader& reader, heif::ContextId context, heif::ItemId id)
{
    try {
        if (reader.getItemType(context, id) != "mime") {
            return false;
        }
    } catch (const heif::FileReaderException&) {
        return false;  // a reference to an item that 'iinf' does not hold
    }
    const auto content = reader.getItemMimeContent(context, id);
    return content && mediaType(content->contentType) == "application/rdf+xml";
}

// The first XMP item with a 'cdsc' reference to the image; 0 when none.
heif::ItemId describingXmpItem(const heif::HevcImageFileReader& reader, heif::ContextId context, heif::ItemId image)
{
    heif::IdVector describing;
    try {
        reader.getReferencedToItemListByType(context, image, heif::FourCCInt("cdsc"), describing);
    } catch (const heif::FileReaderException&) {
        return 0;
    }
    for (const heif::ItemId id : describing) {
        if (isXmpItem(reader, context, id)) {
            return id;
        }
    }
    return 0;
}

// The XMP item that describes the image: the primary's own, then the one of
// the image it derives from, else the first XMP item of the file that
// describes no image in particular; 0 when there is none.
heif::ItemId findXmpItem(const heif::HevcImageFileReader& reader, heif::ContextId context, const HeifImageData& data)
{
    for (auto it = data.identities.rbegin(); it != data.identities.rend(); ++it) {
        if (const heif::ItemId id = describingXmpItem(reader, context, *it); id != 0) {
            return id;
        }
    }
    if (const heif::ItemId id = describingXmpItem(reader, context, data.imageId); id != 0) {
        return id;
    }
    const auto& contexts = reader.getMetaContexts();
    const auto found = contexts.find(context);
    if (found == contexts.end()) {
        return 0;
    }
    for (const auto& [id, type] : found->second.otherItems) {
        if (type == "mime" && isXmpItem(reader, context, id) && describesNoImage(reader, context, id)) {
            return id;
        }
    }
    return 0;
}

// Ends a zlib stream however its inflation ends.
struct InflateStream
{
    z_stream stream{};
    bool open = false;

    ~InflateStream()
    {
        if (open) {
            inflateEnd(&stream);
        }
    }
};

// Inflates zlib, gzip (windowBits 15 + 32 tells them apart by their header)
// or raw deflate (windowBits -15) data. Empty when the data does not inflate
// whole, or inflates to more than kMaxXmpBytes; what it inflates to is
// charged to the budget as it grows.
std::optional<heif::DataVector> inflateBounded(const heif::DataVector& input, int windowBits,
                                               heif::MemoryBudget& budget)
{
    constexpr std::size_t kChunk = std::size_t(64) << 10;
    InflateStream inflater;
    if (input.size() > kMaxXmpBytes || inflateInit2(&inflater.stream, windowBits) != Z_OK) {
        return std::nullopt;
    }
    inflater.open = true;
    inflater.stream.next_in = const_cast<Bytef*>(input.data());  // zlib does not write through it
    inflater.stream.avail_in = static_cast<uInt>(input.size());
    heif::DataVector output;
    for (;;) {
        const std::size_t used = output.size();
        const std::size_t grow = static_cast<std::size_t>(std::min<std::uint64_t>(kChunk, kMaxXmpBytes - used));
        if (grow == 0) {
            return std::nullopt;  // more than the bound
        }
        budget.charge(grow, "The inflated XMP packet");
        output.resize(used + grow);
        inflater.stream.next_out = output.data() + used;
        inflater.stream.avail_out = static_cast<uInt>(grow);
        const int status = inflate(&inflater.stream, Z_NO_FLUSH);
        output.resize(used + (grow - inflater.stream.avail_out));
        if (status == Z_STREAM_END) {
            return output;
        }
        if (status != Z_OK) {
            return std::nullopt;  // corrupt, or cut short (Z_BUF_ERROR: no input left)
        }
    }
}

// Whether the text holds an XMP packet's root element, or at least RDF.
bool looksLikeXmp(const heif::DataVector& packet)
{
    const std::string_view text(reinterpret_cast<const char*>(packet.data()), packet.size());
    return text.find("<x:xmpmeta") != std::string_view::npos || text.find("<rdf:RDF") != std::string_view::npos;
}

// The XMP packet of an XMP item when it can be read and looks like XMP;
// empty otherwise.
heif::DataVector readXmpItem(heif::HevcImageFileReader& reader, heif::ContextId context, heif::ItemId item)
{
    try {
        const std::string itemName = "the XMP item " + std::to_string(item);
        const std::optional<std::uint64_t> declared = reader.getItemDeclaredLength(context, item);
        if (declared && *declared > kMaxXmpBytes) {
            printDiagnostic(itemName + " is left out: it is " + std::to_string(*declared) +
                            " bytes, more than the limit of " + std::to_string(kMaxXmpBytes));
            return {};
        }
        heif::DataVector bytes;
        reader.getItemData(context, item, bytes);
        if (bytes.size() > kMaxXmpBytes) {
            printDiagnostic(itemName + " is left out: it is " + std::to_string(bytes.size()) +
                            " bytes, more than the limit of " + std::to_string(kMaxXmpBytes));
            return {};
        }
        const auto content = reader.getItemMimeContent(context, item);
        const std::string encoding = content ? lowerCase(content->contentEncoding) : std::string();
        std::optional<heif::DataVector> packet;
        if (encoding.empty()) {
            packet = std::move(bytes);
        } else if (encoding == "deflate" || encoding == "gzip") {
            // "deflate" is zlib data as HTTP has it; some writers store it raw.
            packet = inflateBounded(bytes, 15 + 32, reader.memoryBudget());
            if (!packet && encoding == "deflate") {
                packet = inflateBounded(bytes, -15, reader.memoryBudget());
            }
            if (!packet) {
                printDiagnostic(itemName + " is left out: its " + encoding + " data does not inflate to at most " +
                                std::to_string(kMaxXmpBytes) + " bytes");
                return {};
            }
        } else {
            printDiagnostic(itemName + " is left out: its content encoding '" + encoding + "' cannot be read");
            return {};
        }
        // Writers may end the text with a terminating zero, which is no part of it.
        while (!packet->empty() && packet->back() == 0) {
            packet->pop_back();
        }
        if (!looksLikeXmp(*packet)) {
            printDiagnostic(itemName + " is left out: it holds no XMP packet");
            return {};
        }
        return std::move(*packet);
    } catch (const std::exception& e) {
        printDiagnostic("the XMP item " + std::to_string(item) + " is left out: " + e.what());
    } catch (...) {
    }
    return {};
}

// The XMP packet of the image's XMP item, kept in `data.xmp` when it can be
// read and looks like XMP.
void getHeifXmp(heif::HevcImageFileReader& reader, heif::ContextId context, HeifImageData& data)
{
    data.xmp.clear();
    try {
        const heif::ItemId item = findXmpItem(reader, context, data);
        if (item != 0) {
            data.xmp = readXmpItem(reader, context, item);
        }
    } catch (...) {
        data.xmp.clear();
    }
}

// --- Alpha plane ---

bool isAlphaType(std::string type)
{
    while (!type.empty() && type.back() == '\0') {
        type.pop_back();
    }
    return std::find(std::begin(kAlphaTypes), std::end(kAlphaTypes), type) != std::end(kAlphaTypes);
}

bool isAlphaPlane(const heif::HevcImageFileReader& reader, heif::ContextId context, heif::ItemId item)
{
    for (const heif::ItemPropertyInfo& property : reader.getItemProperties(context, item)) {
        if (property.type == heif::ItemPropertyType::Auxc &&
            isAlphaType(reader.getPropertyAuxc(context, property.index).auxType)) {
            return true;
        }
    }
    return false;
}

// The images an alpha plane may belong to: the decoded image, and the
// primary when an 'iden' item is the primary.
heif::IdVector alphaOwners(const HeifImageData& data)
{
    heif::IdVector owners = {data.imageId};
    if (!data.identities.empty()) {
        owners.push_back(data.identities.back());
    }
    return owners;
}

// The first alpha plane with an 'auxl' reference to one of the owners; 0
// when there is none.
heif::ItemId findAlphaItem(const heif::HevcImageFileReader& reader, heif::ContextId context, const HeifImageData& data)
{
    const heif::IdVector owners = alphaOwners(data);
    for (const heif::ItemId owner : owners) {
        heif::IdVector auxiliary;
        try {
            reader.getReferencedToItemListByType(context, owner, heif::FourCCInt("auxl"), auxiliary);
        } catch (const heif::FileReaderException&) {
            continue;
        }
        for (const heif::ItemId item : auxiliary) {
            if (item == data.imageId ||
                std::find(data.identities.begin(), data.identities.end(), item) != data.identities.end()) {
                continue;  // the image itself is no plane of its own
            }
            try {
                if (isAlphaPlane(reader, context, item)) {
                    return item;
                }
            } catch (const std::exception&) {
                // Properties that cannot be read: not usable as a plane.
            }
        }
    }
    return 0;
}

// Whether one of the owners has a 'prem' reference to the alpha plane: the
// colour was multiplied by it.
bool alphaIsPremultiplied(const heif::HevcImageFileReader& reader, heif::ContextId context, const HeifImageData& data,
                          heif::ItemId alpha)
{
    for (const heif::ItemId owner : alphaOwners(data)) {
        heif::IdVector premultiplied;
        try {
            reader.getReferencedFromItemListByType(context, owner, heif::FourCCInt("prem"), premultiplied);
        } catch (const heif::FileReaderException&) {
            continue;
        }
        if (std::find(premultiplied.begin(), premultiplied.end(), alpha) != premultiplied.end()) {
            return true;
        }
    }
    return false;
}

// Why an alpha plane cannot be used; empty when it can. Fills `alpha` by the
// steps of the image: geometry, parameter sets and tiles (charged to what is
// left of `tileBudget`), bit depth.
std::string readAlphaPlane(heif::HevcImageFileReader& reader, heif::ContextId context, const HeifImageData& data,
                           std::uint64_t tileBudget, HeifImageData& alpha)
{
    alpha.isGrid = reader.getItemType(context, alpha.imageId) == "grid";
    if (!alpha.isGrid && !isCodedImage(reader.getDecoderCodeType(context, alpha.imageId))) {
        return "it is neither an 'hvc1' nor an 'av01' image nor a grid";
    }
    if (!get_heif_info(reader, context, alpha)) {
        return "its size cannot be read";
    }
    // The colour image's transforms apply to the plane as well.
    alpha.transforms.clear();
    alpha.rotation = 0;
    if (alpha.width != data.width || alpha.height != data.height) {
        return "it is " + std::to_string(alpha.width) + " x " + std::to_string(alpha.height) + " pixels, the image " +
               std::to_string(data.width) + " x " + std::to_string(data.height);
    }
    for (const heif::ItemId tile : alpha.tileIds) {
        if (!isCodedImage(reader.getDecoderCodeType(context, tile))) {
            return "its tile " + std::to_string(tile) + " is neither an 'hvc1' nor an 'av01' image";
        }
    }
    checkLimits(reader, context, alpha);
    get_heif_paramset(reader, context, alpha);  // every tile carries its own as well
    if (!get_heif_tiles(reader, context, alpha, tileBudget)) {
        return "its tiles cannot be read";
    }
    if (alpha.tiles.empty() ||
        std::any_of(alpha.tiles.begin(), alpha.tiles.end(), [](const auto& tile) { return tile.empty(); })) {
        return "it has no coded data";
    }
    getHeifBitDepth(reader, context, alpha);
    return {};
}

// The image's alpha plane into `data.alpha`, when it has one that can be
// used; otherwise a diagnostic line says why it is left out. Never throws.
void getHeifAlpha(heif::HevcImageFileReader& reader, heif::ContextId context, HeifImageData& data,
                  std::uint64_t tileBudget)
{
    data.alpha.reset();
    data.alphaPremultiplied = false;
    heif::ItemId item = 0;
    try {
        item = findAlphaItem(reader, context, data);
        if (item == 0) {
            return;
        }
        // The plane's tiles share the image's tile budget.
        std::uint64_t used = 0;
        for (const auto& tile : data.tiles) {
            used += tile.size();
        }
        auto alpha = std::make_shared<HeifImageData>();
        alpha->imageId = item;
        const std::string why =
            readAlphaPlane(reader, context, data, tileBudget > used ? tileBudget - used : 0, *alpha);
        if (!why.empty()) {
            printDiagnostic("the alpha plane " + std::to_string(item) + " is left out: " + why);
            return;
        }
        data.alphaPremultiplied = alphaIsPremultiplied(reader, context, data, item);
        data.alpha = std::move(alpha);
    } catch (const std::exception& e) {
        data.alpha.reset();
        data.alphaPremultiplied = false;
        if (item != 0) {
            printDiagnostic("the alpha plane " + std::to_string(item) + " is left out: " + e.what());
        }
    } catch (...) {
        data.alpha.reset();
        data.alphaPremultiplied = false;
    }
}

}  // namespace

namespace {

// --- Other images, auxiliary images and image sequences ---

bool hasPrimaryImage(const heif::HevcImageFileReader& reader, heif::ContextId context)
{
    try {
        static_cast<void>(reader.getCoverImageItemId(context));
        return true;
    } catch (const heif::FileReaderException&) {
        return false;
    }
}

// The file's image sequence: its first 'pict' track that is neither a
// thumbnail nor an auxiliary sequence; 0 when there is none.
heif::ContextId sequenceTrack(const heif::HevcImageFileReader& reader)
{
    for (const auto& [id, track] : reader.getFileInformation().trackInformation) {
        if (track.features.count(heif::TrackFeature::IsMasterImageSequence) != 0 && !track.sampleProperties.empty()) {
            return id;
        }
    }
    return 0;
}

// The samples of the track that are shown, in presentation order (each at
// its first presentation; a looping track shows its samples again, which
// makes no frames of their own).
std::vector<heif::ItemId> framesInPresentationOrder(const heif::HevcImageFileReader& reader, heif::ContextId track)
{
    const auto& info = reader.getFileInformation().trackInformation.at(track);
    std::vector<std::pair<heif::Timestamp, heif::ItemId>> shown;
    for (const auto& [index, properties] : info.sampleProperties) {
        std::vector<heif::Timestamp> times;
        reader.getTimestampsOfItem(track, index, times);
        if (!times.empty()) {
            shown.emplace_back(*std::min_element(times.begin(), times.end()), index);
        }
    }
    std::sort(shown.begin(), shown.end());
    std::vector<heif::ItemId> frames;
    frames.reserve(shown.size());
    for (const auto& [time, index] : shown) {
        frames.push_back(index);
    }
    return frames;
}

// Samples decoded for one frame of a sequence at most: the frame's own and
// those back to the instantaneous decoding refresh it is predicted from.
constexpr std::size_t kMaxSamplesForFrame = 4096;

// Whether the first coded slice of an HEVC access unit (NAL units behind
// lengths of `lengthSize` bytes) is an instantaneous decoding refresh
// (IDR_W_RADL or IDR_N_LP): no picture after it in decoding order refers to
// one before it.
bool startsWithIdr(std::span<const std::uint8_t> unit, unsigned lengthSize)
{
    while (unit.size() > lengthSize) {
        std::size_t length = 0;
        for (unsigned i = 0; i < lengthSize; ++i) {
            length = (length << 8) | unit[i];
        }
        const unsigned type = (unit[lengthSize] >> 1) & 0x3Fu;
        if (type < 32) {
            return type == 19 || type == 20;
        }
        if (length > unit.size() - lengthSize) {
            return false;
        }
        unit = unit.subspan(lengthSize + length);
    }
    return false;
}

// Frame `frame` of the sequence: the samples from the last IDR at or before
// its own up to its own, in decoding order, every one led by its parameter
// sets, and the count of pictures the decoder puts out before it.
HeifImageData extractFrame(heif::HevcImageFileReader& reader, std::uint64_t frame, std::uint64_t tileBudget)
{
    const heif::ContextId track = sequenceTrack(reader);
    if (track == 0) {
        throw NoImageError("the file holds no image sequence");
    }
    const std::vector<heif::ItemId> frames = framesInPresentationOrder(reader, track);
    if (frame >= frames.size()) {
        throw NoImageError("the image sequence has " + std::to_string(frames.size()) + " frames, no frame " +
                           std::to_string(frame));
    }
    const heif::ItemId sample = frames[frame];
    HeifImageData data;
    data.width = reader.getWidth(track, sample);
    data.height = reader.getHeight(track, sample);
    data.rows = 1;
    data.columns = 1;
    checkLimits(reader, track, data);

    // Back from the frame's sample to an IDR (or the first sample; for AV1
    // always the first).
    std::uint64_t total = 0;
    data.tileIds = {sample};
    if (!get_heif_paramset(reader, track, data)) {
        throw NoImageError("the image sequence is coded as '" + reader.getDecoderCodeType(track, sample) +
                           "', which cannot be converted");
    }
    data.tileIds.clear();
    for (heif::ItemId index = sample;; --index) {
        const std::string codeType = reader.getDecoderCodeType(track, index);
        if (codeType != "hvc1" && codeType != "hev1" && codeType != "av01") {
            throw NoImageError("the image sequence is coded as '" + codeType + "', which cannot be converted");
        }
        if (data.tiles.size() >= kMaxSamplesForFrame) {
            throw LimitExceededError("frame " + std::to_string(frame) + " of the image sequence needs more than " +
                                     std::to_string(kMaxSamplesForFrame) + " samples decoded");
        }
        data.tiles.emplace_back();
        readTile(reader, track, index, data.tiles.size() - 1, data);
        const std::vector<std::uint8_t>& unit = data.tiles.back();
        if (unit.size() > tileBudget - total) {
            throw LimitExceededError("the samples of frame " + std::to_string(frame) + " hold more than " +
                                     std::to_string(tileBudget) + " bytes, the limit for this file");
        }
        total += unit.size();
        data.tileIds.push_back(index);
        if ((data.codec == Codec::Hevc && startsWithIdr(unit, data.nalLengthSize)) || index == 0) {
            break;
        }
    }
    std::reverse(data.tiles.begin(), data.tiles.end());
    std::reverse(data.tileIds.begin(), data.tileIds.end());
    if (!data.tileParamSets.empty()) {
        data.tileParamSets.resize(data.tiles.size());
        std::reverse(data.tileParamSets.begin(), data.tileParamSets.end());
    }
    reader.memoryBudget().charge(total, "The image sequence's elementary stream");

    // The decoder puts pictures out in presentation order: those shown
    // before this frame come first, and so do samples that are never shown.
    std::vector<heif::Timestamp> own;
    reader.getTimestampsOfItem(track, sample, own);
    const heif::Timestamp shownAt = *std::min_element(own.begin(), own.end());
    for (const heif::ItemId index : data.tileIds) {
        if (index == sample) {
            continue;
        }
        std::vector<heif::Timestamp> times;
        reader.getTimestampsOfItem(track, index, times);
        if (times.empty() || *std::min_element(times.begin(), times.end()) < shownAt) {
            ++data.skippedPictures;
        }
    }
    data.maxCanvasPixels = std::min<std::uint64_t>(data.maxCanvasPixels, reader.memoryBudget().left() / 3);
    return data;
}

// The image an auxiliary image belongs to (its first 'auxl' reference);
// 0 when the item is no auxiliary image.
heif::ItemId ownerOfAuxiliary(const heif::HevcImageFileReader& reader, heif::ContextId context, heif::ItemId item)
{
    heif::IdVector owners;
    try {
        reader.getReferencedFromItemListByType(context, item, heif::FourCCInt("auxl"), owners);
    } catch (const heif::FileReaderException&) {
        return 0;
    }
    for (const heif::ItemId owner : owners) {
        if (owner != item) {
            return owner;
        }
    }
    return 0;
}

// An image item other than the primary as something the pipeline can decode.
ImageChoice chooseItem(const heif::HevcImageFileReader& reader, heif::ContextId context, heif::ItemId id,
                       bool auxiliary)
{
    const auto& contexts = reader.getMetaContexts();
    const auto found = contexts.find(context);
    if (found == contexts.end() || found->second.images.count(id) == 0) {
        throw NoImageError("the file has no image item " + itemText(id));
    }
    const std::string type = reader.getItemType(context, id);
    if (type == "grid") {
        return {id, true, {}};
    }
    if (auxiliary) {
        if (!isCodedImage(reader.getDecoderCodeType(context, id))) {
            throw NoImageError("the auxiliary image " + itemText(id) + " is neither an 'hvc1' image nor a grid");
        }
        return {id, false, {}};
    }
    try {
        return resolveImage(reader, context, id, 1);
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
void takeOwnerTransforms(const heif::HevcImageFileReader& reader, heif::ContextId context, heif::ItemId owner,
                         HeifImageData& data)
{
    if (!data.transforms.empty()) {
        return;
    }
    HeifImageData ownerData;
    try {
        const ImageChoice choice = resolveImage(reader, context, owner, 1);
        ownerData.imageId = choice.id;
        ownerData.isGrid = choice.isGrid;
        ownerData.identities = choice.identities;
    } catch (const NoImageError&) {
        ownerData.imageId = owner;
        ownerData.isGrid = reader.getItemType(context, owner) == "grid";
    }
    if (!get_heif_info(reader, context, ownerData)) {
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

// The size the transforms give a picture of width x height.
void displayedSize(const std::vector<ImageTransform>& transforms, std::uint32_t& width, std::uint32_t& height)
{
    for (const ImageTransform& transform : transforms) {
        if (transform.kind == ImageTransform::Kind::CleanAperture) {
            cv::Rect rect;
            if (width <= std::uint32_t(std::numeric_limits<int>::max()) &&
                height <= std::uint32_t(std::numeric_limits<int>::max()) &&
                cleanApertureRect(transform.aperture, static_cast<int>(width), static_cast<int>(height), rect)) {
                width = static_cast<std::uint32_t>(rect.width);
                height = static_cast<std::uint32_t>(rect.height);
            }
        } else if (transform.kind == ImageTransform::Kind::Rotate &&
                   (transform.value == 90 || transform.value == 270)) {
            std::swap(width, height);
        }
    }
}

// The 'tmap' items (the HDR rendition of a base image and a gain map image,
// its 'dimg' inputs in that order) whose base is the image, with their gain
// map images.
std::vector<std::pair<heif::ItemId, heif::ItemId>> toneMapItems(const heif::HevcImageFileReader& reader,
                                                                heif::ContextId context, heif::ItemId image)
{
    std::vector<std::pair<heif::ItemId, heif::ItemId>> found;
    const auto& contexts = reader.getMetaContexts();
    const auto meta = contexts.find(context);
    if (meta == contexts.end()) {
        return found;
    }
    for (const auto& [id, type] : meta->second.otherItems) {
        if (type != "tmap") {
            continue;
        }
        heif::IdVector inputs;
        try {
            reader.getReferencedFromItemListByType(context, id, heif::FourCCInt("dimg"), inputs);
        } catch (const heif::FileReaderException&) {
            continue;
        }
        if (inputs.size() == 2 && inputs[0] == image && inputs[1] != image &&
            meta->second.images.count(inputs[1]) != 0) {
            found.emplace_back(id, inputs[1]);
        }
    }
    return found;
}

// The gain maps of 'tmap' items whose base is the image.
std::vector<AuxiliaryImage> toneMappedGainMaps(const heif::HevcImageFileReader& reader, heif::ContextId context,
                                               heif::ItemId image)
{
    std::vector<AuxiliaryImage> found;
    for (const auto& [tmap, gainMap] : toneMapItems(reader, context, image)) {
        const std::uint8_t bits = reader.getItemLumaBitDepth(context, gainMap).value_or(8);
        found.push_back({gainMap, AuxiliaryKind::GainMap, "tmap", bits});
    }
    return found;
}

// Whether an image is one a person would call an image of the file.
bool isTopLevelImage(const heif::HevcImageFileReader& reader, heif::ContextId context, heif::ItemId id,
                     const std::set<heif::ImageFeature>& features)
{
    using heif::ImageFeature;
    for (const ImageFeature excluded : {ImageFeature::HiddenImage, ImageFeature::Thumbnail,
                                        ImageFeature::AuxiliaryImage, ImageFeature::ProtectedImage}) {
        if (features.count(excluded) != 0) {
            return false;
        }
    }
    heif::IdVector deriving;
    try {
        reader.getReferencedToItemListByType(context, id, heif::FourCCInt("dimg"), deriving);
        if (!deriving.empty()) {
            return false;  // a tile, or the source of an 'iden' item
        }
        static_cast<void>(resolveImage(reader, context, id, 1));
    } catch (const std::exception&) {
        return false;
    }
    return ownerOfAuxiliary(reader, context, id) == 0;
}

ListedImage listImage(const heif::HevcImageFileReader& reader, heif::ContextId context, heif::ItemId id)
{
    ListedImage listed;
    listed.id = id;
    try {
        const ImageChoice choice = resolveImage(reader, context, id, 0);
        HeifImageData data;
        data.imageId = choice.id;
        data.isGrid = choice.isGrid;
        data.identities = choice.identities;
        if (get_heif_info(reader, context, data)) {
            listed.width = data.width;
            listed.height = data.height;
            displayedSize(data.transforms, listed.width, listed.height);
        }
        listed.auxiliary = auxiliaryImagesOf(reader, context, id);
        for (const AuxiliaryImage& gainMap : toneMappedGainMaps(reader, context, id)) {
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
            for (const AuxiliaryImage& auxiliary : auxiliaryImagesOf(reader, context, choice.id)) {
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

AuxiliaryKind auxiliaryKindOf(std::string_view type)
{
    while (!type.empty() && type.back() == '\0') {
        type.remove_suffix(1);
    }
    if (type == "urn:mpeg:mpegB:cicp:systems:auxiliary:alpha" || type == "urn:mpeg:hevc:2015:auxid:1") {
        return AuxiliaryKind::Alpha;
    }
    if (type == "urn:mpeg:mpegB:cicp:systems:auxiliary:depth" || type == "urn:mpeg:hevc:2015:auxid:2") {
        return AuxiliaryKind::Depth;
    }
    if (type == "urn:mpeg:mpegB:cicp:systems:auxiliary:disparity") {
        return AuxiliaryKind::Disparity;
    }
    if (type == "urn:com:apple:photo:2020:aux:hdrgainmap" || type == "urn:com:samsung:photo:2024:aux:hdrgainmap") {
        return AuxiliaryKind::GainMap;
    }
    return AuxiliaryKind::Other;
}

const char* auxiliaryKindName(AuxiliaryKind kind)
{
    switch (kind) {
    case AuxiliaryKind::Alpha: return "alpha";
    case AuxiliaryKind::Depth: return "depth";
    case AuxiliaryKind::Disparity: return "disparity";
    case AuxiliaryKind::GainMap: return "gainmap";
    case AuxiliaryKind::Other: break;
    }
    return "other";
}

std::vector<AuxiliaryImage> auxiliaryImagesOf(const heif::HevcImageFileReader& reader, heif::ContextId context,
                                              heif::ItemId image)
{
    std::vector<AuxiliaryImage> found;
    heif::IdVector items;
    try {
        reader.getReferencedToItemListByType(context, image, heif::FourCCInt("auxl"), items);
    } catch (const heif::FileReaderException&) {
        return found;
    }
    for (const heif::ItemId item : items) {
        if (item == image || std::any_of(found.begin(), found.end(), [&](const auto& a) { return a.id == item; })) {
            continue;
        }
        try {
            for (const heif::ItemPropertyInfo& property : reader.getItemProperties(context, item)) {
                if (property.type == heif::ItemPropertyType::Auxc) {
                    std::string type = reader.getPropertyAuxc(context, property.index).auxType;
                    while (!type.empty() && type.back() == '\0') {
                        type.pop_back();
                    }
                    heif::ItemId coded = item;
                    if (reader.getItemType(context, item) == "grid") {
                        const heif::GridItem grid = reader.getItemGrid(context, item);
                        coded = grid.itemIds.empty() ? item : grid.itemIds.front();
                    }
                    const std::uint8_t bits = reader.getItemLumaBitDepth(context, coded).value_or(8);
                    found.push_back({item, auxiliaryKindOf(type), type, bits});
                    break;
                }
            }
        } catch (const std::exception&) {
            // An item whose properties cannot be read is left out.
        }
    }
    return found;
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

// A file read from memory: the reader over its bytes, opened, and the
// context of its root 'meta'. Stays where it is made (the reader reads
// through the stream, the stream through the buffer).
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
    const std::uint64_t tileBudget =
        heif::limits::kMaxImageTileAmplification * std::uint64_t(length) + heif::limits::kImageTileBytesAllowance;

    std::int64_t frame = request.frame;
    if (frame < 0 && request.itemId == 0 && !hasPrimaryImage(reader, context) && sequenceTrack(reader) != 0) {
        frame = 0;  // no primary image: the sequence stands for it
    }
    if (frame >= 0) {
        return extractFrame(reader, static_cast<std::uint64_t>(frame), tileBudget);
    }

    HeifImageData data;
    heif::ItemId auxiliaryOwner = 0;
    if (request.itemId == 0) {
        const ImageChoice choice = chooseImage(reader, context);
        data.imageId = choice.id;
        data.isGrid = choice.isGrid;
        data.identities = choice.identities;
    } else {
        auxiliaryOwner = ownerOfAuxiliary(reader, context, request.itemId);
        const ImageChoice choice = chooseItem(reader, context, request.itemId, auxiliaryOwner != 0);
        data.imageId = choice.id;
        data.isGrid = choice.isGrid;
        data.identities = choice.identities;
        data.greyPicture = auxiliaryOwner != 0;
    }
    if (!get_heif_info(reader, context, data)) {
        printDiagnostic("get_heif_info returned false ");
    }
    if (data.greyPicture) {
        takeOwnerTransforms(reader, context, auxiliaryOwner, data);
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
    getHeifAlpha(reader, context, data, tileBudget);
    if (keepExif) {
        get_heif_exif(reader, context, data);
        getHeifXmp(reader, context, data);
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
    heif::HevcImageFileReader& reader = file.reader;
    const heif::ContextId context = file.context;

    ImageInventory inventory;
    if (hasPrimaryImage(reader, context)) {
        inventory.primary = reader.getCoverImageItemId(context);
        inventory.images.push_back(listImage(reader, context, inventory.primary));
    }
    const auto& meta = reader.getFileInformation().rootMetaBoxInformation;
    for (const auto& [id, features] : meta.imageFeatures) {
        if (id == inventory.primary || !isTopLevelImage(reader, context, id, features)) {
            continue;
        }
        inventory.images.push_back(listImage(reader, context, id));
    }
    if (const heif::ContextId track = sequenceTrack(reader); track != 0) {
        inventory.frames = framesInPresentationOrder(reader, track).size();
        inventory.trackSamples = reader.getFileInformation().trackInformation.at(track).sampleProperties.size();
    }
    return inventory;
}

namespace {

// 'tmap' payloads are a few dozen bytes; anything this large is not one.
constexpr std::uint64_t kMaxToneMapBytes = 4096;

// The gain map tied to the image: by a 'tmap' item first, else the first
// auxiliary image of a gain map type. Leaves `found` as it is when none.
void findGainMapOf(heif::HevcImageFileReader& reader, heif::ContextId context, heif::ItemId image, GainMapSource& found)
{
    for (const auto& [tmap, gainMap] : toneMapItems(reader, context, image)) {
        found.id = gainMap;
        found.toneMapped = true;
        found.type = "tmap";
        const std::optional<std::uint64_t> declared = reader.getItemDeclaredLength(context, tmap);
        if (!declared || *declared <= kMaxToneMapBytes) {
            reader.getItemData(context, tmap, found.toneMap);
        }
        found.toneMap.resize(std::min<std::size_t>(found.toneMap.size(), kMaxToneMapBytes));
        break;
    }
    for (const AuxiliaryImage& auxiliary : auxiliaryImagesOf(reader, context, image)) {
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
    const heif::ContextId context = file.context;
    GainMapSource found;
    if (!hasPrimaryImage(reader, context)) {
        return found;
    }
    const ImageChoice choice = chooseImage(reader, context);
    for (auto it = choice.identities.rbegin(); it != choice.identities.rend() && found.id == 0; ++it) {
        findGainMapOf(reader, context, *it, found);
    }
    if (found.id == 0) {
        findGainMapOf(reader, context, choice.id, found);
    }
    if (found.id == 0) {
        return found;
    }
    HeifImageData gainMap;
    gainMap.imageId = found.id;
    gainMap.isGrid = reader.getItemType(context, found.id) == "grid";
    if (get_heif_info(reader, context, gainMap)) {
        found.width = gainMap.width;
        found.height = gainMap.height;
    }
    if (const heif::ItemId xmp = describingXmpItem(reader, context, found.id); xmp != 0) {
        found.xmp = readXmpItem(reader, context, xmp);
    }
    HeifImageData primary;
    primary.imageId = choice.id;
    primary.identities = choice.identities;
    get_heif_exif(reader, context, primary);
    found.exif = std::move(primary.exif);
    return found;
}

}  // namespace ambrel::pipeline
