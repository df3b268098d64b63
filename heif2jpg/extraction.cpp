#include "heif2jpg/extraction.h"

#include <algorithm>
#include <cctype>
#include <istream>
#include <map>
#include <streambuf>
#include <string>
#include <utility>

#include "heiclib/heif_limits.h"
#include "heiclib/log.h"
#include "heif2jpg/jpeg_metadata.h"

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
void printDiagnostic(const char* line)
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
    if (codeType == "hvc1") {
        return {id, false, {}};
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
        if (isExifType(type)) {
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

bool get_heif_paramset(const heif::HevcImageFileReader& reader, heif::ContextId context, HeifImageData& data)
{
    try {
        if (data.tileIds.empty()) {
            return false;
        }
        heif::ParameterSetMap parameterSets;
        reader.getDecoderParameterSets(context, data.tileIds.front(), parameterSets);
        std::vector<std::uint8_t> bytes;
        for (const char* name : {"VPS", "SPS", "PPS"}) {
            const auto& unit = parameterSets.at(name);
            bytes.insert(bytes.end(), unit.begin(), unit.end());
        }
        data.paramSets = std::move(bytes);
        return true;
    } catch (...) {
        return false;
    }
}

bool get_heif_tiles(heif::HevcImageFileReader& reader, heif::ContextId context, HeifImageData& data,
                    std::uint64_t byteBudget)
{
    try {
        data.tiles.assign(data.tileIds.size(), {});
        // A tile named by several cells is read once; its other cells copy it.
        std::map<heif::ItemId, std::size_t> firstCell;
        std::uint64_t total = 0;
        for (std::size_t i = 0; i < data.tileIds.size(); ++i) {
            const auto [earlier, first] = firstCell.try_emplace(data.tileIds[i], i);
            if (first) {
                reader.getItemDataWithDecoderParameters(context, data.tileIds[i], data.tiles[i]);
            }
            const std::size_t size = data.tiles[earlier->second].size();
            if (size > byteBudget - total) {
                throw LimitExceededError(
                    "the tiles of the image hold more than " + std::to_string(byteBudget) +
                    " bytes, the limit for this file (" + std::to_string(heif::limits::kMaxImageTileAmplification) +
                    " times its size, plus " + std::to_string(heif::limits::kImageTileBytesAllowance) + ")");
            }
            total += size;
            if (!first) {
                reader.memoryBudget().charge(size, "The copy of tile " + std::to_string(data.tileIds[i]));
                data.tiles[i] = data.tiles[earlier->second];
            }
        }
        // The elementary stream the tiles become is about as large as they are.
        reader.memoryBudget().charge(total + data.paramSets.size(), "The image's elementary stream");
        return true;
    } catch (const LimitExceededError&) {
        data.tiles.clear();
        throw;
    } catch (...) {
        if (!reader.memoryBudget().refusal().empty()) {
            data.tiles.clear();
            throw LimitExceededError(reader.memoryBudget().refusal());
        }
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
}

bool startsWithFileTypeBox(std::span<const std::uint8_t> bytes)
{
    return bytes.data() != nullptr && bytes.size() >= 8 && std::equal(bytes.begin() + 4, bytes.begin() + 8, "ftyp");
}

HeifImageData extractHeifImage(const std::uint8_t* bytes, std::size_t length, bool keepExif, std::uint64_t memoryBudget)
{
    if (bytes == nullptr) {
        length = 0;
    }
    if (lastBoxCutShort(bytes, length)) {
        throw TruncatedFileError("the file is cut short: its last box reaches past the end of the file");
    }
    MemoryBuffer buffer(bytes, length);
    std::istream input(&buffer);

    heif::HevcImageFileReader reader;
    reader.setMemoryBudget(memoryBudget);
    reader.initialize(input);
    const heif::ContextId context = reader.getFileInformation().rootMetaBoxInformation.contextId;
    const ImageChoice choice = chooseImage(reader, context);

    HeifImageData data;
    data.imageId = choice.id;
    data.isGrid = choice.isGrid;
    data.identities = choice.identities;
    if (!get_heif_info(reader, context, data)) {
        printDiagnostic("get_heif_info returned false ");
    }
    checkLimits(reader, context, data);
    if (!get_heif_paramset(reader, context, data)) {
        printDiagnostic("get_heif_paramset returned false ");
    }
    const std::uint64_t tileBudget =
        heif::limits::kMaxImageTileAmplification * std::uint64_t(length) + heif::limits::kImageTileBytesAllowance;
    if (!get_heif_tiles(reader, context, data, tileBudget)) {
        printDiagnostic("get_heif_tiles returned false ");
    }
    if (keepExif) {
        get_heif_exif(reader, context, data);
    }
    getHeifIcc(reader, context, data);
    // The decoded picture takes 3 bytes a pixel out of what the file's
    // budget has left.
    data.maxCanvasPixels = std::min<std::uint64_t>(data.maxCanvasPixels, reader.memoryBudget().left() / 3);
    return data;
}

}  // namespace ambrel::pipeline
