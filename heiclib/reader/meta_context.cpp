// The meta context: item classification, references, the cover image, grid
// and overlay descriptors (its properties are in item_properties.cpp).
#include <algorithm>
#include <initializer_list>
#include <limits>
#include <stdexcept>

#include "heiclib/box_types.h"
#include "heiclib/boxes/decoder_config_boxes.h"
#include "heiclib/boxes/image_property_boxes.h"
#include "heiclib/boxes/item_property_boxes.h"
#include "heiclib/heif_limits.h"
#include "heiclib/log.h"
#include "heiclib/reader/hevc_image_file_reader.h"

namespace ambrel::heif {

namespace {

[[noreturn]] void fail(std::int32_t code, std::string message = {})
{
    throw FileReaderException(code, std::move(message));
}

// Item types are kept as text (an entry may carry any text); compared here
// with the codes of the table.
bool isOneOf(const std::string& type, std::initializer_list<FourCCInt> codes)
{
    return std::any_of(codes.begin(), codes.end(), [&](FourCCInt code) { return type == code.getString(); });
}

// The codings of the HEIF family beside HEVC and AVC: AV1, JPEG and
// uncompressed images.
bool isOtherCoding(const std::string& type)
{
    return isOneOf(type, {itemtype::kAv01, itemtype::kJpeg, itemtype::kUnci});
}

bool isImageItemType(const std::string& type, bool allCodings)
{
    return isOneOf(type, {itemtype::kAvc1, itemtype::kHvc1, itemtype::kGrid, itemtype::kIovl, itemtype::kIden,
                          itemtype::kLhv1}) ||
           (allCodings && isOtherCoding(type));
}

bool isCodedImageType(const std::string& type, bool allCodings)
{
    return isOneOf(type, {itemtype::kAvc1, itemtype::kHvc1, itemtype::kLhv1}) || (allCodings && isOtherCoding(type));
}

// The coding a configuration property names; empty for other properties.
std::string codingOfConfiguration(FourCCInt type)
{
    static const std::pair<FourCCInt, FourCCInt> kCodings[] = {
        {boxtype::kHvcC, itemtype::kHvc1}, {boxtype::kAvcC, itemtype::kAvc1}, {boxtype::kLhvC, itemtype::kLhv1},
        {boxtype::kAv1C, itemtype::kAv01}, {boxtype::kJpgC, itemtype::kJpeg}, {boxtype::kUncC, itemtype::kUnci},
        {boxtype::kCmpd, itemtype::kUnci}, {boxtype::kCmpC, itemtype::kUnci}, {boxtype::kIcef, itemtype::kUnci},
    };
    for (const auto& [property, coding] : kCodings) {
        if (type == property) {
            return coding.getString();
        }
    }
    return {};
}

}  // namespace

HevcImageFileReader::ReferenceIndex HevcImageFileReader::indexReferences(const MetaBox& meta)
{
    ReferenceIndex index;
    for (const auto& ref : meta.getItemReferenceBox().getReferences()) {
        const FourCCInt type = ref.getReferenceType();
        const ItemId from = ref.getFromItemId();
        const auto& to = ref.getToItemIds();
        IdVector& targets = index.toItems[{type, from}];
        targets.insert(targets.end(), to.begin(), to.end());
        index.firstToItems.try_emplace({type, from}, to);
        for (const ItemId target : to) {
            index.fromItems[{type, target}].push_back(from);
        }
    }
    return index;
}

const HevcImageFileReader::ReferenceIndex& HevcImageFileReader::referenceIndex(ContextId contextId) const
{
    static const ReferenceIndex kNone;
    const auto it = mReferenceIndexes.find(contextId);
    return it != mReferenceIndexes.end() ? it->second : kNone;
}

std::set<ImageFeature> HevcImageFileReader::imageFeaturesOf(const MetaBox& meta, ContextId contextId,
                                                            ItemId itemId) const
{
    const ReferenceIndex& refs = referenceIndex(contextId);
    const ItemInfoEntry entry = meta.getItemInfoBox().getItemById(itemId);
    std::set<ImageFeature> features;
    if (entry.getProtectionIndex() != 0) {
        features.insert(ImageFeature::ProtectedImage);
    }
    const bool thumbnail = refs.hasFrom(reftype::kThmb, itemId);
    const bool auxiliary = refs.hasFrom(reftype::kAuxl, itemId);
    if (thumbnail) {
        features.insert(ImageFeature::Thumbnail);
    }
    if (auxiliary) {
        features.insert(ImageFeature::AuxiliaryImage);
    }
    if (refs.hasFrom(reftype::kBase, itemId)) {
        features.insert(ImageFeature::PreComputedImage);
    }
    if (refs.hasFrom(reftype::kDimg, itemId)) {
        features.insert(ImageFeature::DerivedImage);
    }
    if (!thumbnail && !auxiliary) {
        features.insert(ImageFeature::MasterImage);
    }
    if (refs.hasTo(reftype::kThmb, itemId)) {
        features.insert(ImageFeature::HasThumbnails);
    }
    if (refs.hasTo(reftype::kAuxl, itemId)) {
        features.insert(ImageFeature::HasAuxiliaryImages);
    }
    if (refs.hasTo(reftype::kCdsc, itemId)) {
        features.insert(ImageFeature::HasMetadata);
    }
    if (refs.hasTo(reftype::kBase, itemId)) {
        features.insert(ImageFeature::HasPreComputedImages);
    }
    if (refs.hasTo(reftype::kTbas, itemId)) {
        features.insert(ImageFeature::HasTiles);
    }
    if (refs.hasTo(reftype::kDimg, itemId)) {
        features.insert(ImageFeature::HasDerivedImages);
    }
    if (itemId == meta.getPrimaryItemBox().getItemId()) {
        features.insert(ImageFeature::PrimaryImage);
        features.insert(ImageFeature::CoverImage);
    }
    if ((entry.getFlags() & 1) != 0) {
        features.insert(ImageFeature::HiddenImage);
    }
    return features;
}

std::set<ItemFeature> HevcImageFileReader::itemFeaturesOf(const MetaBox& meta, ContextId contextId, ItemId itemId) const
{
    const ReferenceIndex& refs = referenceIndex(contextId);
    const ItemInfoEntry entry = meta.getItemInfoBox().getItemById(itemId);
    std::set<ItemFeature> features;
    if (entry.getProtectionIndex() != 0) {
        features.insert(ItemFeature::ProtectedItem);
    }
    if (refs.hasFrom(reftype::kCdsc, itemId)) {
        features.insert(ItemFeature::MetadataItem);
    }
    const std::string& type = entry.getItemType();
    if (type == itemtype::kExif.getString()) {
        features.insert(ItemFeature::ExifItem);
    } else if (type == itemtype::kMime.getString()) {
        features.insert(ItemFeature::MimeItem);
    } else if (type == itemtype::kHvt1.getString()) {
        features.insert(ItemFeature::TileItem);
    }
    return features;
}

// Refuses a meta box beyond the limits of heif_limits.h before any of its
// tables is walked.
void HevcImageFileReader::checkMetaLimits(const MetaBox& meta, std::size_t itemCount)
{
    const auto refuse = [](const std::string& what, std::uint64_t count, std::uint64_t limit) {
        fail(FileReaderException::ReadFailed, "MetaBox holds " + std::to_string(count) + " " + what +
                                                  ", more than the limit of " + std::to_string(limit));
    };
    if (itemCount > limits::kMaxItems) {
        refuse("items in 'iinf'", itemCount, limits::kMaxItems);
    }
    const auto& locations = meta.getItemLocationBox().getItemLocations();
    if (locations.size() > limits::kMaxItems) {
        refuse("item locations in 'iloc'", locations.size(), limits::kMaxItems);
    }
    for (const auto& location : locations) {
        if (location.getExtentList().size() > limits::kMaxExtentsPerItem) {
            fail(FileReaderException::ReadFailed, "ItemLocationBox gives item " + std::to_string(location.getItemId()) +
                                                      " " + std::to_string(location.getExtentList().size()) +
                                                      " extents, more than the limit of " +
                                                      std::to_string(limits::kMaxExtentsPerItem));
        }
    }
    std::uint64_t associations = 0;
    for (const auto& [id, list] : meta.getItemPropertiesBox().getItemPropertyAssociation().getAssociations()) {
        associations += list.size();
    }
    if (associations > limits::kMaxPropertyAssociations) {
        refuse("property associations in 'ipma'", associations, limits::kMaxPropertyAssociations);
    }
    std::uint64_t referenceTargets = 0;
    for (const auto& reference : meta.getItemReferenceBox().getReferences()) {
        referenceTargets += reference.getToItemIds().size();
    }
    if (referenceTargets > limits::kMaxReferenceTargets) {
        refuse("item reference targets in 'iref'", referenceTargets, limits::kMaxReferenceTargets);
    }
}

void HevcImageFileReader::buildMetaContext(ContextId contextId)
{
    const MetaBox& meta = *mMetaBoxes.at(contextId);
    const ItemInfoBox& iinf = meta.getItemInfoBox();
    const std::vector<std::uint32_t> itemIds = iinf.getItemIds();
    checkMetaLimits(meta, itemIds.size());
    mReferenceIndexes[contextId] = indexReferences(meta);

    std::map<ItemId, std::string> itemTypes;
    for (const ItemId id : itemIds) {
        itemTypes[id] = iinf.getItemById(id).getItemType();
    }

    // 1-4. Features and entity groups.
    const MetaBoxInformation info = describeMetaBox(meta, contextId, itemTypes);

    // 5. The file information describes the root meta box.
    mFileInfo.rootMetaBoxInformation = info;

    // 6. Cover image and the context entry.
    ContextInfo context;
    context.contextType = ContextKind::Meta;
    for (const auto& [id, features] : info.imageFeatures) {
        if (features.count(ImageFeature::CoverImage) != 0 || features.count(ImageFeature::PrimaryImage) != 0) {
            context.hasCoverImage = true;
            context.coverImageId = id;
            break;
        }
    }
    mContextInfo[contextId] = context;

    // 7. Descriptors, other items and property lists.
    MetaContext& metaContext = mMetaContexts[contextId];
    metaContext = MetaContext();
    readItemTables(meta, contextId, itemTypes, metaContext);

    // 8. Decoder configurations.
    buildDecoderTables(contextId);

    // 9. Image infos.
    describeImages(meta, contextId, info.imageFeatures, itemTypes, metaContext);

    // 10. Master count.
    IdVector masters;
    getItemListByType(contextId, "master", masters);
    metaContext.masterCount = static_cast<std::uint32_t>(masters.size());
}

MetaBoxInformation HevcImageFileReader::describeMetaBox(const MetaBox& meta, ContextId contextId,
                                                        const std::map<ItemId, std::string>& itemTypes) const
{
    MetaBoxInformation info;
    info.contextId = contextId;

    // 1-2. Image and item features.
    for (const auto& [id, type] : itemTypes) {
        if (isImageItemType(type, allCodings())) {
            info.imageFeatures[id] = imageFeaturesOf(meta, contextId, id);
        }
        if (!isCodedImageType(type, allCodings())) {
            info.itemFeatures[id] = itemFeaturesOf(meta, contextId, id);
        }
    }

    // 3. Entity groups.
    for (const auto& group : meta.getGroupsListBox().getEntityGroups()) {
        info.entityGroups[group.getGroupingType().getString()].push_back(group.getEntityIds());
    }

    // 4. Meta box features.
    if (!info.entityGroups.empty()) {
        info.features.insert(MetaBoxFeature::HasGroupLists);
    }
    if (info.imageFeatures.size() == 1) {
        info.features.insert(MetaBoxFeature::IsSingleImage);
    } else if (info.imageFeatures.size() > 1) {
        info.features.insert(MetaBoxFeature::IsImageCollection);
    }
    static const std::pair<ImageFeature, MetaBoxFeature> kSummaries[] = {
        {ImageFeature::MasterImage, MetaBoxFeature::HasMasterImages},
        {ImageFeature::Thumbnail, MetaBoxFeature::HasThumbnails},
        {ImageFeature::CoverImage, MetaBoxFeature::HasCoverImage},
        {ImageFeature::AuxiliaryImage, MetaBoxFeature::HasAuxiliaryImages},
        {ImageFeature::DerivedImage, MetaBoxFeature::HasDerivedImages},
        {ImageFeature::PreComputedImage, MetaBoxFeature::HasPreComputedImages},
        {ImageFeature::HiddenImage, MetaBoxFeature::HasHiddenImages},
    };
    for (const auto& [id, features] : info.imageFeatures) {
        for (const auto& [imageFeature, metaFeature] : kSummaries) {
            if (features.count(imageFeature) != 0) {
                info.features.insert(metaFeature);
            }
        }
    }
    return info;
}

void HevcImageFileReader::readItemTables(const MetaBox& meta, ContextId contextId,
                                         const std::map<ItemId, std::string>& itemTypes, MetaContext& metaContext)
{
    for (const auto& [id, type] : itemTypes) {
        if ((type == itemtype::kGrid.getString() || type == itemtype::kIovl.getString()) &&
            !isProtected(contextId, id)) {
            if (type == itemtype::kGrid.getString()) {
                metaContext.grids[id] = parseGrid(contextId, id);
            } else {
                metaContext.overlays[id] = parseOverlay(contextId, id);
            }
        }
        if (!isImageItemType(type, allCodings())) {
            metaContext.otherItems[id] = type;
        }
        metaContext.itemProperties[id] = meta.getItemPropertiesBox().getItemProperties(id);
    }
}

void HevcImageFileReader::describeImages(const MetaBox& meta, ContextId contextId,
                                         const std::map<ItemId, std::set<ImageFeature>>& imageFeatures,
                                         const std::map<ItemId, std::string>& itemTypes, MetaContext& metaContext)
{
    const ItemPropertiesBox& iprp = meta.getItemPropertiesBox();
    for (const auto& [id, features] : imageFeatures) {
        ImageInfo image;
        const std::string& type = itemTypes.at(id);
        image.type = type;
        if (isCodedImageType(type, allCodings())) {
            const ReferenceIndex& refs = referenceIndex(contextId);
            if (!refs.hasFrom(reftype::kAuxl, id) && !refs.hasFrom(reftype::kThmb, id)) {
                image.type = "master";
            } else if (features.count(ImageFeature::HiddenImage) != 0) {
                image.type = "hidden";
            } else if (features.count(ImageFeature::PreComputedImage) != 0) {
                image.type = "pre-computed";
            }
        }
        const std::uint32_t ispeIndex = iprp.findPropertyIndex(ItemPropertyType::Ispe, id);
        const auto ispe =
            ispeIndex != 0
                ? std::dynamic_pointer_cast<ImageSpatialExtentsProperty>(iprp.getPropertyByIndex(ispeIndex - 1))
                : nullptr;
        if (ispe) {
            image.width = ispe->getWidth();
            image.height = ispe->getHeight();
        } else {
            log::warning("No ImageSpatialExtentsPropertyIndex found for image item id " + std::to_string(id));
        }
        metaContext.images[id] = image;
    }
}

// Descriptors are read while the root walk is under way: the walk's position
// in the input must survive the item read.
void HevcImageFileReader::readItemBytesKeepingPosition(ContextId contextId, ItemId itemId, DataVector& data)
{
    const std::streampos position = mInput->tellg();
    std::set<ItemId> visiting;
    readItemBytes(contextId, itemId, data, 0, visiting);
    mInput->clear();
    mInput->seekg(position);
}

GridItem HevcImageFileReader::parseGrid(ContextId contextId, ItemId itemId)
{
    DataVector data;
    readItemBytesKeepingPosition(contextId, itemId, data);
    GridItem grid;
    try {
        BitStream in(std::move(data));
        in.readUInt8();  // version
        const std::uint8_t flags = in.readUInt8();
        grid.rowsMinusOne = in.readUInt8();
        grid.columnsMinusOne = in.readUInt8();
        const bool wide = (flags & 1) != 0;
        grid.outputWidth = wide ? in.readUInt32() : in.readUInt16();
        grid.outputHeight = wide ? in.readUInt32() : in.readUInt16();
    } catch (const std::out_of_range&) {
        fail(FileReaderException::ReadFailed, "Grid descriptor of item " + std::to_string(itemId) + " is cut short");
    }
    getReferencedFromItemListByType(contextId, itemId, reftype::kDimg, grid.itemIds);
    if (grid.itemIds.size() > limits::kMaxGridTiles) {
        fail(FileReaderException::ReadFailed,
             "Grid item " + std::to_string(itemId) + " names " + std::to_string(grid.itemIds.size()) +
                 " tiles, more than the limit of " + std::to_string(limits::kMaxGridTiles));
    }
    return grid;
}

OverlayItem HevcImageFileReader::parseOverlay(ContextId contextId, ItemId itemId)
{
    DataVector data;
    readItemBytesKeepingPosition(contextId, itemId, data);
    OverlayItem overlay;
    try {
        BitStream in(std::move(data));
        in.readUInt8();  // version
        const std::uint8_t flags = in.readUInt8();
        for (auto& fill : overlay.canvasFillValue) {
            fill = in.readUInt16();
        }
        const bool wide = (flags & 1) != 0;
        overlay.outputWidth = wide ? in.readUInt32() : in.readUInt16();
        overlay.outputHeight = wide ? in.readUInt32() : in.readUInt16();
        while (in.bytesRemaining() > 0) {
            std::int32_t horizontal = 0;
            std::int32_t vertical = 0;
            if (wide) {
                horizontal = static_cast<std::int32_t>(in.readUInt32());
                vertical = static_cast<std::int32_t>(in.readUInt32());
            } else {
                horizontal = static_cast<std::int16_t>(in.readUInt16());
                vertical = static_cast<std::int16_t>(in.readUInt16());
            }
            overlay.offsets.emplace_back(horizontal, vertical);
        }
    } catch (const std::out_of_range&) {
        fail(FileReaderException::ReadFailed, "Overlay descriptor of item " + std::to_string(itemId) + " is cut short");
    }
    getReferencedFromItemListByType(contextId, itemId, reftype::kDimg, overlay.itemIds);
    return overlay;
}

namespace {

struct PropertyFailure
{
    std::string reason;
    std::string codeType;  // the coding a decoder configuration names; empty for other properties
};

// The first property of the item that could not be read and that the image
// cannot be shown without: its decoder configuration, its size, or one the
// association marks essential.
std::optional<PropertyFailure> unreadableEssentialProperty(const ItemPropertiesBox& iprp, ItemId itemId,
                                                           const std::string& itemType)
{
    const ItemPropertyContainer& ipco = iprp.getItemPropertyContainer();
    for (const auto& association : iprp.getItemPropertyAssociation().getAssociationsForItem(itemId)) {
        if (association.index == 0) {
            continue;
        }
        const auto why = ipco.getUnreadableReason(association.index - 1u);
        const auto property = iprp.getPropertyByIndex(association.index - 1u);
        if (!why || !property) {
            continue;
        }
        const FourCCInt type = property->getType();
        // The configuration of the item's own coding (an AV1, JPEG or
        // uncompressed one only on an item of that type).
        std::string codeType = codingOfConfiguration(type);
        if (isOtherCoding(codeType) && codeType != itemType) {
            codeType.clear();
        }
        if (association.essential || !codeType.empty() || type == boxtype::kIspe) {
            return PropertyFailure{"the '" + type.getString() + "' property of image " + std::to_string(itemId) +
                                       " cannot be read: " + *why,
                                   codeType};
        }
    }
    return std::nullopt;
}

}  // namespace

void HevcImageFileReader::checkImageReadable(ContextId contextId, ItemId itemId) const
{
    const auto it = mImageFailures.find({contextId, itemId});
    if (it != mImageFailures.end()) {
        fail(FileReaderException::ReadFailed, it->second);
    }
}

void HevcImageFileReader::buildDecoderTables(ContextId contextId)
{
    const MetaBox& meta = *mMetaBoxes.at(contextId);
    const ItemPropertiesBox& iprp = meta.getItemPropertiesBox();
    const ItemInfoBox& iinf = meta.getItemInfoBox();
    for (const ItemId id : iinf.getItemIds()) {
        const std::string itemType = iinf.getItemById(id).getItemType();
        if (!isImageItemType(itemType, allCodings())) {
            continue;
        }
        const std::uint32_t hvcc = iprp.findPropertyIndex(ItemPropertyType::Hvcc, id);
        const std::uint32_t lhvc = iprp.findPropertyIndex(ItemPropertyType::Lhvc, id);
        const std::uint32_t avcc = iprp.findPropertyIndex(ItemPropertyType::Avcc, id);
        std::string codeType = "not supported";
        std::uint32_t configIndex = 0;
        ParameterSetMap parameterSets;
        std::uint8_t lengthSize = 4;
        if (hvcc != 0) {
            codeType = itemtype::kHvc1.getString();
            configIndex = hvcc;
            const auto box = std::dynamic_pointer_cast<HevcConfigurationBox>(iprp.getPropertyByIndex(hvcc - 1));
            if (box) {
                parameterSets = getConfigurationMap(box->getConfiguration());
                lengthSize = static_cast<std::uint8_t>(box->getConfiguration().getLengthSizeMinusOne() + 1);
            }
        } else if (lhvc != 0) {
            codeType = itemtype::kLhv1.getString();
            configIndex = lhvc;
            const auto box =
                std::dynamic_pointer_cast<LayeredHevcConfigurationItemProperty>(iprp.getPropertyByIndex(lhvc - 1));
            if (box) {
                parameterSets = getConfigurationMap(box->getConfiguration());
                lengthSize = static_cast<std::uint8_t>(box->getConfiguration().getLengthSizeMinusOne() + 1);
            }
        } else if (avcc != 0) {
            codeType = itemtype::kAvc1.getString();
            configIndex = avcc;
            const auto box = std::dynamic_pointer_cast<AvcConfigurationBox>(iprp.getPropertyByIndex(avcc - 1));
            if (box) {
                parameterSets = getConfigurationMap(box->getConfiguration());
                lengthSize = static_cast<std::uint8_t>(box->getConfiguration().getLengthSizeMinusOne() + 1);
            }
        } else if (isOtherCoding(itemType)) {
            // AV1, JPEG and uncompressed images: the coding is the item's type;
            // the configuration is 'av1C', 'jpgC' (optional) or 'uncC'.
            static const std::pair<FourCCInt, ItemPropertyType> kConfigurations[] = {
                {itemtype::kAv01, ItemPropertyType::Av1c},
                {itemtype::kJpeg, ItemPropertyType::Jpgc},
                {itemtype::kUnci, ItemPropertyType::Uncc},
            };
            for (const auto& [coding, configuration] : kConfigurations) {
                if (itemType == coding.getString()) {
                    configIndex = iprp.findPropertyIndex(configuration, id);
                }
            }
            if (configIndex != 0 || itemType == itemtype::kJpeg.getString()) {
                codeType = itemType;
            }
            const auto av1 =
                configIndex != 0
                    ? std::dynamic_pointer_cast<Av1CodecConfigurationBox>(iprp.getPropertyByIndex(configIndex - 1))
                    : nullptr;
            if (av1) {
                mAv1Configurations[{contextId, configIndex}] = av1->getConfiguration();
            }
        }
        if (auto failure = unreadableEssentialProperty(iprp, id, itemType)) {
            // A configuration that cannot be read still says how the image
            // is coded; the image, not the file, fails with the reason.
            if (configIndex == 0 && !failure->codeType.empty()) {
                codeType = failure->codeType;
            }
            mImageFailures[{contextId, id}] = std::move(failure->reason);
        }
        mDecoderCodeTypes[{contextId, id}] = codeType;
        if (configIndex != 0) {
            const DecoderConfigKey key{contextId, configIndex};
            mDecoderConfigKeys[{contextId, id}] = key;
            mParameterSets[key] = std::move(parameterSets);
            mNalLengthSizes[key] = lengthSize;
        }
    }
}

// ---------------------------------------------------------------------------
// Queries on a meta context (and their track forms where they have one)

void HevcImageFileReader::getItemListByType(ContextId contextId, const std::string& itemType, IdVector& itemIds) const
{
    checkInitialized();
    itemIds.clear();
    if (contextInfo(contextId).contextType == ContextKind::Meta) {
        for (const auto& [id, image] : metaContext(contextId).images) {
            if (image.type == itemType) {
                itemIds.push_back(id);
            }
        }
        return;
    }
    const TrackContext& track = trackContext(contextId);
    const TrackInformation& info = mFileInfo.trackInformation.at(contextId);
    auto bySampleType = [&](SampleType wanted) {
        for (const auto& [index, properties] : info.sampleProperties) {
            if (properties.sampleType == wanted) {
                itemIds.push_back(index);
            }
        }
    };
    if (itemType == "samples") {
        for (const auto& sample : track.samples) {
            itemIds.push_back(sample.sampleIndex);
        }
    } else if (itemType == "out_ref") {
        bySampleType(SampleType::OutputReference);
    } else if (itemType == "out_non_ref") {
        bySampleType(SampleType::OutputNonReference);
    } else if (itemType == "non_out_ref") {
        bySampleType(SampleType::NonOutputReference);
    } else if (itemType == "display") {
        std::vector<std::pair<Timestamp, std::uint32_t>> shown;
        for (const auto& sample : track.samples) {
            const auto it = info.sampleProperties.find(sample.sampleIndex);
            if (it == info.sampleProperties.end() || it->second.sampleType == SampleType::NonOutputReference) {
                continue;
            }
            for (const Timestamp t : sample.compositionTimes) {
                shown.emplace_back(t, sample.sampleIndex);
            }
        }
        std::sort(shown.begin(), shown.end());
        for (const auto& entry : shown) {
            itemIds.push_back(entry.second);
        }
    } else {
        fail(FileReaderException::InvalidApiParameter);
    }
}

std::string HevcImageFileReader::getItemType(ContextId contextId, ItemId itemId) const
{
    checkInitialized();
    if (contextInfo(contextId).contextType == ContextKind::Track) {
        return mFileInfo.trackInformation.at(contextId).sampleProperties.at(itemId).sampleEntryType;
    }
    const MetaContext& context = metaContext(contextId);
    if (const auto it = context.images.find(itemId); it != context.images.end()) {
        return it->second.type;
    }
    if (const auto it = context.otherItems.find(itemId); it != context.otherItems.end()) {
        return it->second;
    }
    fail(FileReaderException::InvalidItemId);
}

void HevcImageFileReader::getReferencedFromItemListByType(ContextId contextId, ItemId fromItemId,
                                                          FourCCInt referenceType, IdVector& itemIds) const
{
    checkInitialized();
    itemIds.clear();
    metaBox(contextId);  // throws for a context that is not a meta context
    const auto& index = referenceIndex(contextId).toItems;
    if (const auto it = index.find({referenceType, fromItemId}); it != index.end()) {
        itemIds = it->second;
    }
}

void HevcImageFileReader::getReferencedToItemListByType(ContextId contextId, ItemId toItemId, FourCCInt referenceType,
                                                        IdVector& itemIds) const
{
    checkInitialized();
    itemIds.clear();
    metaBox(contextId);  // throws for a context that is not a meta context
    const auto& index = referenceIndex(contextId).fromItems;
    if (const auto it = index.find({referenceType, toItemId}); it != index.end()) {
        itemIds = it->second;
    }
}

ItemId HevcImageFileReader::getCoverImageItemId(ContextId contextId) const
{
    checkInitialized();
    const auto it = mContextInfo.find(contextId);
    if (it == mContextInfo.end() || !it->second.hasCoverImage) {
        fail(FileReaderException::InvalidContextId);
    }
    return it->second.coverImageId;
}

std::optional<ItemId> HevcImageFileReader::getPrimaryItemId(ContextId contextId) const
{
    checkInitialized();
    const MetaBox& meta = metaBox(contextId);
    if (!meta.hasPrimaryItemBox()) {
        return std::nullopt;
    }
    return meta.getPrimaryItemBox().getItemId();
}

GridItem HevcImageFileReader::getItemGrid(ContextId contextId, ItemId itemId) const
{
    checkInitialized();
    const MetaContext& context = metaContext(contextId);
    if (isProtected(contextId, itemId)) {
        fail(FileReaderException::ItemProtected);
    }
    checkImageReadable(contextId, itemId);
    const auto it = context.grids.find(itemId);
    if (it == context.grids.end()) {
        fail(FileReaderException::InvalidItemId);
    }
    return it->second;
}

OverlayItem HevcImageFileReader::getItemIovl(ContextId contextId, ItemId itemId) const
{
    checkInitialized();
    const MetaContext& context = metaContext(contextId);
    if (isProtected(contextId, itemId)) {
        fail(FileReaderException::ItemProtected);
    }
    const auto it = context.overlays.find(itemId);
    if (it == context.overlays.end()) {
        fail(FileReaderException::InvalidItemId);
    }
    return it->second;
}

}  // namespace ambrel::heif
