// Item and sample bytes, in raw form or as an elementary stream with start
// codes, and the decoder tables' queries.
#include <istream>
#include <limits>
#include <span>
#include <stdexcept>
#include <string_view>

#include "heiclib/box_types.h"
#include "heiclib/heif_limits.h"
#include "heiclib/reader/hevc_image_file_reader.h"

namespace ambrel::heif {

namespace {

[[noreturn]] void fail(std::int32_t code, std::string message = {})
{
    throw FileReaderException(code, std::move(message));
}

const char* const kFaultyOffset = "Error while reading item data. Faulty offset in iloc, or damaged file?";
const char* const kReadError = "Error while reading item data.";

void appendBytes(DataVector& out, std::span<const std::uint8_t> bytes)
{
    out.insert(out.end(), bytes.begin(), bytes.end());
}

// Fills `destination` from the input's position; the stream's state tells
// whether all of it was there.
void readInto(std::istream& input, std::span<std::uint8_t> destination)
{
    input.read(reinterpret_cast<char*>(destination.data()), static_cast<std::streamsize>(destination.size()));
}

enum class Codec { Avc, Hevc };

// Converts NAL units behind big-endian lengths of `lengthSize` bytes (1 to 4,
// as the decoder configuration declares) to start-code form: parameter sets
// and the first unit get a 4-byte start code, every other unit 3 bytes.
void convertToByteStream(DataVector&& input, Codec codec, unsigned lengthSize, DataVector& output)
{
    BitStream in(std::move(input));
    while (in.bytesRemaining() > 0) {
        std::uint32_t length = 0;
        for (unsigned i = 0; i < lengthSize; ++i) {
            length = (length << 8) | in.readUInt8();
        }
        const std::uint8_t header = in.readUInt8();
        bool longStartCode = output.empty();
        if (codec == Codec::Avc) {
            const unsigned type = header & 0x1Fu;
            longStartCode = longStartCode || type == 7 || type == 8;
        } else {
            const unsigned type = (header >> 1) & 0x3Fu;
            longStartCode = longStartCode || type == 32 || type == 33 || type == 34;
        }
        if (longStartCode) {
            output.push_back(0);
        }
        output.insert(output.end(), {0, 0, 1, header});
        // A length of 0 asks for 2^32 - 1 bytes and fails like any unit that
        // runs past the data.
        in.readBytes(output, length - 1);
    }
}

}  // namespace

bool HevcImageFileReader::isProtected(ContextId contextId, ItemId itemId) const
{
    if (contextInfo(contextId).contextType == ContextKind::Track) {
        return false;
    }
    try {
        return metaBox(contextId).getItemInfoBox().getItemById(itemId).getProtectionIndex() != 0;
    } catch (const FileReaderException&) {
        throw;
    } catch (const std::exception&) {
        fail(FileReaderException::InvalidItemId);
    }
}

void HevcImageFileReader::readItemBytes(ContextId contextId, ItemId itemId, DataVector& out, std::uint32_t depth,
                                        std::set<ItemId>& visiting)
{
    const MetaBox& meta = metaBox(contextId);
    const ItemLocationBox& iloc = meta.getItemLocationBox();
    const ItemLocation location = iloc.getItemLocationForID(itemId);
    if (location.getExtentList().empty()) {
        fail(FileReaderException::ReadFailed, "No extents given for an item.");
    }
    const std::uint8_t version = iloc.getVersion();
    const std::uint32_t method = location.getConstructionMethod();

    // Item offsets (construction method 2) can name one source many times
    // over, through several levels: every byte read or copied for this item
    // counts against one budget (see spendItemBytes).
    if (depth == 0) {
        mItemBytesLeft = limits::kMaxItemReadAmplification * mInputSize + limits::kItemReadAllowance;
    }

    // A failed read of an earlier item must not poison this one.
    mInput->clear();

    if (version <= 2 && method == 0) {
        readFileExtents(itemId, location, out);
    } else if (version <= 2 && method == 1) {
        readIdatExtents(meta, itemId, location, out);
    } else if ((version == 1 || version == 2) && method == 2) {
        readItemOffsetExtents(contextId, itemId, location, out, depth, visiting);
    } else {
        fail(FileReaderException::ReadFailed, "Unknown ItemLocationBox version and/or construction method.");
    }

    if (!*mInput) {
        fail(FileReaderException::ReadFailed, kReadError);
    }
}

void HevcImageFileReader::spendItemBytes(ItemId itemId, std::uint64_t bytes)
{
    if (bytes > mItemBytesLeft) {
        fail(FileReaderException::ReadFailed, "Item " + std::to_string(itemId) + " needs more bytes read than " +
                                                  std::to_string(limits::kMaxItemReadAmplification) +
                                                  " times the file's size");
    }
    mItemBytesLeft -= bytes;
    charge(bytes, "Item " + std::to_string(itemId) + "'s data");
}

// Construction method 0: file offsets.
void HevcImageFileReader::readFileExtents(ItemId itemId, const ItemLocation& location, DataVector& out)
{
    const auto& extents = location.getExtentList();
    const std::uint64_t base = location.getBaseOffset();
    // Every extent must lie inside the input, and so must their total,
    // before anything is allocated.
    std::uint64_t total = 0;
    for (const auto& extent : extents) {
        // Offsets and lengths are full 64-bit values; the sum is formed
        // only once it is known not to wrap.
        if (base > mInputSize || extent.extentOffset > mInputSize - base) {
            fail(FileReaderException::ReadFailed, kFaultyOffset);
        }
        const std::uint64_t begin = base + extent.extentOffset;
        if (extent.extentLength > mInputSize - begin) {
            fail(FileReaderException::ReadFailed, kFaultyOffset);
        }
        total += extent.extentLength;
        if (total > mInputSize) {
            fail(FileReaderException::ReadFailed, kFaultyOffset);
        }
    }
    spendItemBytes(itemId, total);
    out.resize(static_cast<std::size_t>(total));
    const std::span<std::uint8_t> destination(out);
    std::size_t written = 0;
    for (const auto& extent : extents) {
        mInput->seekg(static_cast<std::streamoff>(base + extent.extentOffset));
        if (!*mInput) {
            fail(FileReaderException::ReadFailed, kFaultyOffset);
        }
        const auto length = static_cast<std::size_t>(extent.extentLength);
        readInto(*mInput, destination.subspan(written, length));
        written += length;
        if (!*mInput) {
            break;
        }
    }
}

// Construction method 1: offsets into the meta box's 'idat'.
void HevcImageFileReader::readIdatExtents(const MetaBox& meta, ItemId itemId, const ItemLocation& location,
                                          DataVector& out)
{
    const std::uint64_t base = location.getBaseOffset();
    out.clear();
    const ItemDataBox& idat = meta.getItemDataBox();
    for (const auto& extent : location.getExtentList()) {
        spendItemBytes(itemId, extent.extentLength);
        if (extent.extentOffset > std::numeric_limits<std::uint64_t>::max() - base) {
            fail(FileReaderException::ReadFailed, kFaultyOffset);
        }
        try {
            idat.readData(out, base + extent.extentOffset, extent.extentLength);
        } catch (const std::out_of_range&) {
            fail(FileReaderException::ReadFailed, kFaultyOffset);
        }
    }
}

// Construction method 2: offsets into other items, named by the item's
// 'iloc' reference.
void HevcImageFileReader::readItemOffsetExtents(ContextId contextId, ItemId itemId, const ItemLocation& location,
                                                DataVector& out, std::uint32_t depth, std::set<ItemId>& visiting)
{
    if (depth >= limits::kMaxItemReferenceDepth || !visiting.insert(itemId).second) {
        fail(FileReaderException::ReadFailed, "Item " + std::to_string(itemId) +
                                                  " refers to itself or nests item offsets deeper than " +
                                                  std::to_string(limits::kMaxItemReferenceDepth) + " levels");
    }
    out.clear();
    IdVector sources;
    const auto& firstReferences = referenceIndex(contextId).firstToItems;
    if (const auto it = firstReferences.find({reftype::kIloc, itemId}); it != firstReferences.end()) {
        sources = it->second;
    }
    if (sources.empty()) {
        fail(FileReaderException::ReadFailed,
             "Item " + std::to_string(itemId) + " is located by item offset but has no 'iloc' reference");
    }
    const bool indexed = metaBox(contextId).getItemLocationBox().getIndexSize() != 0;
    for (const auto& extent : location.getExtentList()) {
        if (indexed && (extent.extentIndex == 0 || extent.extentIndex > sources.size())) {
            fail(FileReaderException::ReadFailed, "Item " + std::to_string(itemId) + " names item reference " +
                                                      std::to_string(extent.extentIndex) + " of " +
                                                      std::to_string(sources.size()));
        }
        const ItemId source = indexed ? sources[static_cast<std::size_t>(extent.extentIndex - 1)] : sources.front();
        DataVector sourceBytes;
        readItemBytes(contextId, source, sourceBytes, depth + 1, visiting);
        if (extent.extentOffset > sourceBytes.size()) {
            fail(FileReaderException::ReadFailed, kFaultyOffset);
        }
        const std::uint64_t available = sourceBytes.size() - extent.extentOffset;
        const std::uint64_t length = extent.extentLength == 0 ? available : extent.extentLength;
        if (length > available) {
            fail(FileReaderException::ReadFailed, kFaultyOffset);
        }
        spendItemBytes(itemId, length);
        appendBytes(out, std::span<const std::uint8_t>(sourceBytes)
                             .subspan(static_cast<std::size_t>(extent.extentOffset), static_cast<std::size_t>(length)));
    }
    visiting.erase(itemId);
}

void HevcImageFileReader::readSampleBytes(ContextId contextId, ItemId sampleIndex, DataVector& out)
{
    const TrackContext& track = trackContext(contextId);
    if (sampleIndex >= track.samples.size()) {
        fail(FileReaderException::InvalidApiParameter, "Requested frame out of index");
    }
    const SampleInfo& sample = track.samples[sampleIndex];
    mInput->clear();
    if (sample.dataOffset > mInputSize || sample.dataLength > mInputSize - sample.dataOffset) {
        fail(FileReaderException::ReadFailed);
    }
    charge(sample.dataLength, "Sample " + std::to_string(sampleIndex) + "'s data");
    out.resize(sample.dataLength);
    mInput->seekg(static_cast<std::streamoff>(sample.dataOffset));
    readInto(*mInput, out);
    if (!*mInput) {
        fail(FileReaderException::ReadFailed);
    }
}

void HevcImageFileReader::getItemData(ContextId contextId, ItemId itemId, DataVector& itemData)
{
    checkInitialized();
    itemData.clear();
    DataVector raw;
    if (contextInfo(contextId).contextType == ContextKind::Meta) {
        // An item that 'iinf' does not list is refused as such (InvalidItemId),
        // whatever 'iloc' holds for it.
        const bool isProtectedItem = isProtected(contextId, itemId);
        checkImageReadable(contextId, itemId);
        std::set<ItemId> visiting;
        readItemBytes(contextId, itemId, raw, 0, visiting);
        const std::string type = metaBox(contextId).getItemInfoBox().getItemById(itemId).getItemType();
        const bool coded = type == itemtype::kHvc1.getString() || type == itemtype::kAvc1.getString() ||
                           type == itemtype::kLhv1.getString();
        if (isProtectedItem || !coded) {
            itemData = std::move(raw);
            return;
        }
    } else {
        readSampleBytes(contextId, itemId, raw);
    }

    const std::string codeType = getDecoderCodeType(contextId, itemId);
    if (codeType == itemtype::kAv01.getString()) {
        // AV1 samples are OBUs, which a decoder takes as they are stored.
        itemData = std::move(raw);
        return;
    }
    unsigned lengthSize = 4;
    if (const auto key = mDecoderConfigKeys.find({contextId, itemId}); key != mDecoderConfigKeys.end()) {
        if (const auto size = mNalLengthSizes.find(key->second); size != mNalLengthSizes.end()) {
            lengthSize = size->second;
        }
    }
    // The start-code form is about as large as the data, plus a byte for
    // some of its units.
    charge(raw.size(), "Item " + std::to_string(itemId) + "'s coded data");
    if (codeType == itemtype::kAvc1.getString()) {
        convertToByteStream(std::move(raw), Codec::Avc, lengthSize, itemData);
    } else if (codeType == itemtype::kHvc1.getString() || codeType == itemtype::kLhv1.getString() ||
               codeType == boxtype::kHev1.getString()) {
        // 'hev1' samples are stored as 'hvc1' ones are; they may carry their
        // parameter sets in-band as well.
        convertToByteStream(std::move(raw), Codec::Hevc, lengthSize, itemData);
    } else {
        fail(FileReaderException::CodeTypeNotSupported);
    }
}

void HevcImageFileReader::getItemCodedData(ContextId contextId, ItemId itemId, DataVector& itemData)
{
    checkInitialized();
    itemData.clear();
    if (contextInfo(contextId).contextType == ContextKind::Meta) {
        if (isProtected(contextId, itemId)) {
            fail(FileReaderException::ItemProtected);
        }
        checkImageReadable(contextId, itemId);
        std::set<ItemId> visiting;
        readItemBytes(contextId, itemId, itemData, 0, visiting);
    } else {
        readSampleBytes(contextId, itemId, itemData);
    }
}

std::uint8_t HevcImageFileReader::getNalLengthSize(ContextId contextId, ItemId itemId) const
{
    checkInitialized();
    if (const auto key = mDecoderConfigKeys.find({contextId, itemId}); key != mDecoderConfigKeys.end()) {
        if (const auto size = mNalLengthSizes.find(key->second); size != mNalLengthSizes.end()) {
            return size->second;
        }
    }
    return 4;
}

void HevcImageFileReader::getItemDataWithDecoderParameters(ContextId contextId, ItemId itemId, DataVector& itemData)
{
    checkInitialized();
    if (isProtected(contextId, itemId)) {
        fail(FileReaderException::ItemProtected);
    }
    itemData.clear();
    checkImageReadable(contextId, itemId);
    const std::string codeType = getDecoderCodeType(contextId, itemId);
    if (codeType == itemtype::kJpeg.getString()) {
        // A JPEG image's stream: the headers its 'jpgC' keeps, then its data.
        itemData = getItemJpegPrefix(contextId, itemId);
        DataVector data;
        getItemData(contextId, itemId, data);
        charge(itemData.size() + data.size(), "Item " + std::to_string(itemId) + "'s JPEG stream");
        appendBytes(itemData, data);
        return;
    }
    // An item without a decoder configuration is refused as such, before its
    // (missing) parameter sets are looked up.
    const bool hev1 = codeType == boxtype::kHev1.getString();
    if (codeType != itemtype::kAvc1.getString() && codeType != itemtype::kHvc1.getString() &&
        codeType != itemtype::kLhv1.getString() && !hev1) {
        fail(FileReaderException::CodeTypeNotSupported);
    }
    ParameterSetMap parameterSets;
    getDecoderParameterSets(contextId, itemId, parameterSets);
    for (const char* name : {"VPS", "SPS", "PPS"}) {
        if (codeType == itemtype::kAvc1.getString() && name == std::string_view("VPS")) {
            continue;
        }
        // A 'hev1' configuration may leave its parameter sets to the samples.
        const auto set = parameterSets.find(name);
        if (set != parameterSets.end()) {
            appendBytes(itemData, set->second);
        } else if (!hev1) {
            static_cast<void>(parameterSets.at(name));  // the standard out-of-range error, as for any missing key
        }
    }
    DataVector coded;
    getItemData(contextId, itemId, coded);
    charge(itemData.size() + coded.size(), "Item " + std::to_string(itemId) + "'s coded data");
    if (itemData.empty()) {
        itemData = std::move(coded);  // no parameter sets in front: the units as they are
    } else if (!coded.empty()) {
        // The first unit follows the parameter sets with a 3-byte start code.
        appendBytes(itemData, std::span<const std::uint8_t>(coded).subspan(1));
    }
}

std::string HevcImageFileReader::getDecoderCodeType(ContextId contextId, ItemId itemId) const
{
    checkInitialized();
    contextInfo(contextId);
    const auto it = mDecoderCodeTypes.find({contextId, itemId});
    if (it == mDecoderCodeTypes.end()) {
        fail(FileReaderException::InvalidItemId);
    }
    return it->second;
}

void HevcImageFileReader::getDecoderParameterSets(ContextId contextId, ItemId itemId,
                                                  ParameterSetMap& parameterSets) const
{
    checkInitialized();
    checkImageReadable(contextId, itemId);
    const DecoderConfigKey& key = mDecoderConfigKeys.at({contextId, itemId});
    const auto it = mParameterSets.find(key);
    if (it == mParameterSets.end()) {
        fail(FileReaderException::InvalidItemId);
    }
    parameterSets = it->second;
}

DataVector HevcImageFileReader::getItemProtectionScheme(ContextId contextId, ItemId itemId) const
{
    const MetaBox& meta = metaBox(contextId);
    if (!isProtected(contextId, itemId)) {
        fail(FileReaderException::ItemNotProtected);
    }
    const std::uint16_t index = meta.getItemInfoBox().getItemById(itemId).getProtectionIndex();
    try {
        return meta.getProtectionScheme(static_cast<std::uint16_t>(index - 1));
    } catch (const std::out_of_range&) {
        fail(FileReaderException::ReadFailed,
             "Protection index " + std::to_string(index) + " of item " + std::to_string(itemId) + " has no scheme");
    }
}

}  // namespace ambrel::heif
