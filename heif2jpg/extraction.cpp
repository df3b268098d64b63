#include "extraction.h"

#include <algorithm>
#include <cctype>
#include <iostream>
#include <istream>
#include <streambuf>
#include <string>
#include <utility>

#include "heif_limits.h"
#include "jpeg_metadata.h"

namespace heifpipe {

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

void printDiagnostic(const char* line)
{
    std::cout << line << std::endl;
}

std::uint64_t bigEndian(const std::uint8_t* bytes, unsigned count)
{
    std::uint64_t value = 0;
    for (unsigned i = 0; i < count; ++i) {
        value = (value << 8) | bytes[i];
    }
    return value;
}

// Whether a root box claims more bytes than the file has left: the file was
// cut short. Malformed headers are left to the reader.
bool lastBoxCutShort(const std::uint8_t* bytes, std::size_t length)
{
    std::size_t position = 0;
    while (length - position >= 8) {
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

void checkLimits(const HeifImageData& data)
{
    const std::uint64_t pixels = std::uint64_t(data.width) * data.height;
    if (pixels > heiflimits::kMaxImagePixels) {
        throw LimitExceededError("the image is " + std::to_string(data.width) + " x " + std::to_string(data.height) +
                                 " pixels, more than the limit of " + std::to_string(heiflimits::kMaxImagePixels));
    }
    const std::uint64_t tiles = std::uint64_t(data.rows) * data.columns;
    if (tiles > heiflimits::kMaxGridTiles) {
        throw LimitExceededError("the grid is " + std::to_string(data.rows) + " x " + std::to_string(data.columns) +
                                 " tiles, more than the limit of " + std::to_string(heiflimits::kMaxGridTiles));
    }
}

}  // namespace

ImageChoice chooseImage(const HevcImageFileReader& reader, ContextId context)
{
    try {
        const ItemId primary = reader.getCoverImageItemId(context);
        if (reader.getItemType(context, primary) == "grid") {
            return {primary, true};
        }
        if (reader.getDecoderCodeType(context, primary) == "hvc1") {
            return {primary, false};
        }
    } catch (const FileReaderException&) {
        // No primary item, or one the pipeline cannot convert: fall back below.
    }

    IdVector items;
    reader.getItemListByType(context, "grid", items);
    if (!items.empty()) {
        return {items.front(), true};
    }
    reader.getItemListByType(context, "master", items);
    if (!items.empty()) {
        return {items.front(), false};
    }
    throw NoImageError("the file holds no image to convert");
}

ItemId findExifItem(const HevcImageFileReader& reader, ContextId context, ItemId image)
{
    IdVector describing;
    try {
        reader.getReferencedToItemListByType(context, image, FourCCInt("cdsc"), describing);
    } catch (const FileReaderException&) {
        describing.clear();
    }
    for (const ItemId id : describing) {
        try {
            if (isExifType(reader.getItemType(context, id))) {
                return id;
            }
        } catch (const FileReaderException&) {
            // A reference to an item that 'iinf' does not hold.
        }
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

bool get_heif_info(const HevcImageFileReader& reader, ContextId context, HeifImageData& data)
{
    try {
        if (data.isGrid) {
            const GridItem grid = reader.getItemGrid(context, data.imageId);
            data.width = grid.outputWidth;
            data.height = grid.outputHeight;
            data.rows = grid.rowsMinusOne + 1u;
            data.columns = grid.columnsMinusOne + 1u;
            // Extra 'dimg' references beyond the layout are not tiles.
            IdVector tiles = grid.itemIds;
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
        for (const ItemPropertyInfo& property : reader.getItemProperties(context, data.imageId)) {
            ImageTransform transform;
            switch (property.type) {
            case ItemPropertyType::Irot:
                transform.kind = ImageTransform::Kind::Rotate;
                transform.value = reader.getPropertyIrot(context, property.index);
                if (!rotationSeen) {
                    data.rotation = transform.value;
                    rotationSeen = true;
                }
                break;
            case ItemPropertyType::Imir:
                transform.kind = ImageTransform::Kind::Mirror;
                transform.value = reader.getPropertyImir(context, property.index) ? 1u : 0u;
                break;
            case ItemPropertyType::Clap:
                transform.kind = ImageTransform::Kind::CleanAperture;
                transform.aperture = reader.getPropertyClap(context, property.index);
                break;
            default:
                continue;
            }
            transforms.push_back(transform);
        }
        data.transforms = std::move(transforms);
        return true;
    } catch (...) {
        return false;
    }
}

bool get_heif_paramset(const HevcImageFileReader& reader, ContextId context, HeifImageData& data)
{
    try {
        if (data.tileIds.empty()) {
            return false;
        }
        ParameterSetMap parameterSets;
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

bool get_heif_tiles(HevcImageFileReader& reader, ContextId context, HeifImageData& data)
{
    try {
        data.tiles.assign(data.tileIds.size(), {});
        for (std::size_t i = 0; i < data.tileIds.size(); ++i) {
            reader.getItemDataWithDecoderParameters(context, data.tileIds[i], data.tiles[i]);
        }
        return true;
    } catch (...) {
        return false;
    }
}

void get_heif_exif(HevcImageFileReader& reader, ContextId context, HeifImageData& data)
{
    try {
        const ItemId exifItem = findExifItem(reader, context, data.imageId);
        if (exifItem == 0) {
            return;
        }
        data.exifItemId = exifItem;
        DataVector itemData;
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

void get_heif_icc(const HevcImageFileReader& reader, ContextId context, HeifImageData& data)
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

HeifImageData extractHeifImage(const std::uint8_t* bytes, std::size_t length, bool keepExif)
{
    if (bytes == nullptr) {
        length = 0;
    }
    if (lastBoxCutShort(bytes, length)) {
        throw TruncatedFileError("the file ends inside its last box");
    }
    MemoryBuffer buffer(bytes, length);
    std::istream input(&buffer);

    HevcImageFileReader reader;
    reader.initialize(input);
    const ContextId context = reader.getFileInformation().rootMetaBoxInformation.contextId;
    const ImageChoice choice = chooseImage(reader, context);

    HeifImageData data;
    data.imageId = choice.id;
    data.isGrid = choice.isGrid;
    if (!get_heif_info(reader, context, data)) {
        printDiagnostic("get_heif_info returned false ");
    }
    checkLimits(data);
    if (!get_heif_paramset(reader, context, data)) {
        printDiagnostic("get_heif_paramset returned false ");
    }
    if (!get_heif_tiles(reader, context, data)) {
        printDiagnostic("get_heif_tiles returned false ");
    }
    if (keepExif) {
        get_heif_exif(reader, context, data);
    }
    get_heif_icc(reader, context, data);
    return data;
}

}  // namespace heifpipe
