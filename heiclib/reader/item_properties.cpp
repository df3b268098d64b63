// The meta context's properties (their lists, the transformative and
// descriptive ones by index, colour, content type, bit depths) and the
// timing of a collection shown at a forced frame rate.
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
#include "heiclib/reader/file_reader_exception.h"
#include "heiclib/reader/hevc_image_file_reader.h"

namespace ambrel::heif {

namespace {

[[noreturn]] void fail(std::int32_t code, std::string message = {})
{
    throw FileReaderException(code, std::move(message));
}

}  // namespace

std::vector<ItemPropertyInfo> HevcImageFileReader::getItemProperties(ContextId contextId, ItemId itemId) const
{
    checkInitialized();
    const MetaContext& context = metaContext(contextId);
    const auto it = context.itemProperties.find(itemId);
    if (it == context.itemProperties.end()) {
        fail(FileReaderException::InvalidItemId);
    }
    return it->second;
}

std::shared_ptr<Box> HevcImageFileReader::propertyAt(ContextId contextId, PropertyIndex index) const
{
    checkInitialized();
    const MetaBox& meta = metaBox(contextId);
    return meta.getItemPropertiesBox().getPropertyByIndex(index);
}

namespace {

template <typename PropertyT>
std::shared_ptr<PropertyT> propertyOfKind(const std::shared_ptr<Box>& box)
{
    auto property = std::dynamic_pointer_cast<PropertyT>(box);
    if (!property) {
        fail(FileReaderException::InvalidPropertyIndex);
    }
    return property;
}

}  // namespace

bool HevcImageFileReader::getPropertyImir(ContextId contextId, PropertyIndex index) const
{
    return propertyOfKind<ImageMirror>(propertyAt(contextId, index))->getAxis();
}

std::uint32_t HevcImageFileReader::getPropertyIrot(ContextId contextId, PropertyIndex index) const
{
    return static_cast<std::uint32_t>(propertyOfKind<ImageRotation>(propertyAt(contextId, index))->getAngle());
}

AuxiliaryTypeInfo HevcImageFileReader::getPropertyAuxc(ContextId contextId, PropertyIndex index) const
{
    const auto auxc = propertyOfKind<AuxiliaryTypeProperty>(propertyAt(contextId, index));
    return AuxiliaryTypeInfo{auxc->getAuxType(), auxc->getAuxSubType()};
}

RelativeLocationInfo HevcImageFileReader::getPropertyRloc(ContextId contextId, PropertyIndex index) const
{
    const auto rloc = propertyOfKind<ImageRelativeLocationProperty>(propertyAt(contextId, index));
    return RelativeLocationInfo{rloc->getHorizontalOffset(), rloc->getVerticalOffset()};
}

std::uint16_t HevcImageFileReader::getPropertyLsel(ContextId contextId, PropertyIndex index) const
{
    return propertyOfKind<LayerSelectorProperty>(propertyAt(contextId, index))->getLayerId();
}

std::uint16_t HevcImageFileReader::getPropertyTols(ContextId contextId, PropertyIndex index) const
{
    return propertyOfKind<TargetOlsProperty>(propertyAt(contextId, index))->getTargetOlsIndex();
}

CleanApertureInfo HevcImageFileReader::getPropertyClap(ContextId contextId, PropertyIndex index) const
{
    checkInitialized();
    if (contextInfo(contextId).contextType == ContextKind::Track) {
        const TrackContext& track = trackContext(contextId);
        const auto it = track.clapInfo.find(index);
        if (it == track.clapInfo.end()) {
            fail(FileReaderException::InvalidSampleDescriptionIndex);
        }
        return it->second;
    }
    return cleanApertureInfo(*propertyOfKind<CleanAperture>(propertyAt(contextId, index)));
}

// ---------------------------------------------------------------------------
// Timing

void HevcImageFileReader::setForcedTimedPlayback(ContextId contextId, float framesPerSecond)
{
    checkInitialized();
    if (contextInfo(contextId).contextType == ContextKind::Track) {
        log::warning("setForcedTimedPlayback call for non-meta context ID");
        return;
    }
    MetaContext& context = mMetaContexts.at(contextId);
    context.isForcedFpsSet = true;
    context.forcedFps = framesPerSecond;
    const double step = 1000.0 / static_cast<double>(framesPerSecond);
    double t = 0.0;
    IdVector masters;
    getItemListByType(contextId, "master", masters);
    for (const ItemId master : masters) {
        context.images[master].displayTime = t;
        IdVector thumbnails;
        getReferencedToItemListByType(contextId, master, reftype::kThmb, thumbnails);
        for (const ItemId thumbnail : thumbnails) {
            if (const auto it = context.images.find(thumbnail); it != context.images.end()) {
                it->second.displayTime = t;
            }
        }
        t += step;
    }
}

void HevcImageFileReader::setForcedLoopPlayback(ContextId contextId, bool loop)
{
    checkInitialized();
    const auto it = mContextInfo.find(contextId);
    if (it == mContextInfo.end()) {
        fail(FileReaderException::InvalidContextId, "setForcedLoopPlayback");
    }
    it->second.isForcedLoopPlayback = loop;
}

float HevcImageFileReader::getPlaybackDurationInSecs(ContextId contextId) const
{
    checkInitialized();
    if (contextInfo(contextId).contextType == ContextKind::Track) {
        return static_cast<float>(trackContext(contextId).durationInSecs);
    }
    const MetaContext& context = metaContext(contextId);
    if (!context.isForcedFpsSet) {
        log::warning("getPlaybackDurationInSecs() called for meta context, but forced FPS was not set");
        return 0.0f;
    }
    return static_cast<float>(context.masterCount) / context.forcedFps;
}

void HevcImageFileReader::getItemTimestamps(ContextId contextId, std::map<Timestamp, ItemId>& timestamps) const
{
    checkInitialized();
    timestamps.clear();
    if (contextInfo(contextId).contextType == ContextKind::Track) {
        for (const auto& sample : trackContext(contextId).samples) {
            for (const Timestamp t : sample.compositionTimes) {
                timestamps[t] = sample.sampleIndex;
            }
        }
        return;
    }
    const MetaContext& context = metaContext(contextId);
    if (!context.isForcedFpsSet) {
        fail(FileReaderException::InvalidContextId, "getItemTimestamps: Forced FPS not set for meta context");
    }
    for (const auto& [id, image] : context.images) {
        if (image.type == "master") {
            timestamps[static_cast<Timestamp>(image.displayTime)] = id;
        }
    }
}

void HevcImageFileReader::getTimestampsOfItem(ContextId contextId, ItemId itemId,
                                              std::vector<Timestamp>& timestamps) const
{
    checkInitialized();
    timestamps.clear();
    if (contextInfo(contextId).contextType == ContextKind::Track) {
        timestamps = trackContext(contextId).samples.at(itemId).compositionTimes;
        return;
    }
    const MetaContext& context = metaContext(contextId);
    if (!context.isForcedFpsSet) {
        fail(FileReaderException::InvalidContextId, "getTimestampsOfItem: Forced FPS not set for meta context");
    }
    timestamps.push_back(static_cast<Timestamp>(context.images.at(itemId).displayTime));
}

void HevcImageFileReader::getItemsInDecodingOrder(ContextId contextId,
                                                  std::vector<std::pair<ItemId, Timestamp>>& decodingOrder) const
{
    checkInitialized();
    decodingOrder.clear();
    if (contextInfo(contextId).contextType == ContextKind::Track) {
        const TrackContext& track = trackContext(contextId);
        std::vector<std::pair<Timestamp, ItemId>> byTime;
        for (const auto& sample : track.samples) {
            for (const Timestamp t : sample.compositionTimes) {
                byTime.emplace_back(t, sample.sampleIndex);
            }
        }
        std::sort(byTime.begin(), byTime.end());
        for (const auto& [time, index] : byTime) {
            const auto& dependencies = track.samples.at(index).decodeDependencies;
            if (!(dependencies.size() == 1 && dependencies.front() == index)) {
                for (const auto dependency : dependencies) {
                    decodingOrder.emplace_back(dependency, -1);
                }
            }
            decodingOrder.emplace_back(index, time);
        }
        return;
    }
    const MetaContext& context = metaContext(contextId);
    if (!context.isForcedFpsSet) {
        fail(FileReaderException::InvalidContextId, "getItemsInDecodingOrder: Forced FPS not set for meta context");
    }
    for (const auto& [id, image] : context.images) {
        decodingOrder.emplace_back(id, static_cast<Timestamp>(image.displayTime));
    }
}

void HevcImageFileReader::getItemDecodeDependencies(ContextId contextId, ItemId itemId, IdVector& dependencies) const
{
    checkInitialized();
    dependencies.clear();
    if (contextInfo(contextId).contextType == ContextKind::Track) {
        const auto& sample = trackContext(contextId).samples.at(itemId);
        dependencies = sample.decodeDependencies;
        if (dependencies.empty()) {
            dependencies.push_back(itemId);
        }
        return;
    }
    metaContext(contextId);
    dependencies.push_back(itemId);
}

namespace {

// The item's first property of type BoxT for which `wanted` holds; null when
// there is none.
template <typename BoxT, typename Wanted>
std::shared_ptr<const BoxT> firstPropertyOf(const MetaBox& meta, ItemId itemId, Wanted&& wanted)
{
    const ItemPropertiesBox& iprp = meta.getItemPropertiesBox();
    for (const auto& association : iprp.getItemPropertyAssociation().getAssociationsForItem(itemId)) {
        if (association.index == 0) {
            continue;
        }
        auto box = std::dynamic_pointer_cast<const BoxT>(iprp.getPropertyByIndex(association.index - 1u));
        if (box && wanted(*box)) {
            return box;
        }
    }
    return nullptr;
}

}  // namespace

DataVector HevcImageFileReader::getItemIccProfile(ContextId contextId, ItemId itemId) const
{
    checkInitialized();
    const auto colr = firstPropertyOf<ColourInformationBox>(
        metaBox(contextId), itemId, [](const ColourInformationBox& box) { return box.hasIccProfile(); });
    return colr ? colr->getIccProfile() : DataVector();
}

std::optional<NclxColour> HevcImageFileReader::getItemColourInformation(ContextId contextId, ItemId itemId) const
{
    checkInitialized();
    const auto colr = firstPropertyOf<ColourInformationBox>(
        metaBox(contextId), itemId,
        [](const ColourInformationBox& box) { return box.getColourType() == codetype::kNclx; });
    if (!colr) {
        return std::nullopt;
    }
    NclxColour colour;
    colour.colourPrimaries = colr->getColourPrimaries();
    colour.transferCharacteristics = colr->getTransferCharacteristics();
    colour.matrixCoefficients = colr->getMatrixCoefficients();
    colour.fullRange = colr->getFullRange();
    return colour;
}

std::optional<MimeContent> HevcImageFileReader::getItemMimeContent(ContextId contextId, ItemId itemId) const
{
    checkInitialized();
    const ItemInfoBox& iinf = metaBox(contextId).getItemInfoBox();
    if (!iinf.hasItem(itemId)) {
        return std::nullopt;
    }
    const ItemInfoEntry entry = iinf.getItemById(itemId);
    return MimeContent{entry.getContentType(), entry.getContentEncoding()};
}

std::optional<std::uint64_t> HevcImageFileReader::getItemDeclaredLength(ContextId contextId, ItemId itemId) const
{
    checkInitialized();
    const ItemLocationBox& iloc = metaBox(contextId).getItemLocationBox();
    if (!iloc.hasItemLocation(itemId)) {
        return std::nullopt;
    }
    const ItemLocation location = iloc.getItemLocationForID(itemId);
    if (location.getConstructionMethod() > 1) {
        return std::nullopt;
    }
    std::uint64_t total = 0;
    for (const ItemLocationExtent& extent : location.getExtentList()) {
        if (extent.extentLength == 0 || extent.extentLength > std::numeric_limits<std::uint64_t>::max() - total) {
            return std::nullopt;
        }
        total += extent.extentLength;
    }
    return total;
}

std::optional<std::uint8_t> HevcImageFileReader::getItemLumaBitDepth(ContextId contextId, ItemId itemId) const
{
    checkInitialized();
    const auto hvcC = firstPropertyOf<HevcConfigurationBox>(metaBox(contextId), itemId,
                                                            [](const HevcConfigurationBox&) { return true; });
    if (!hvcC) {
        return std::nullopt;
    }
    return static_cast<std::uint8_t>(8 + hvcC->getConfiguration().getBitDepthLumaMinus8());
}

std::shared_ptr<const Box> HevcImageFileReader::getItemPropertyBox(ContextId contextId, ItemId itemId,
                                                                   FourCCInt boxType) const
{
    checkInitialized();
    return firstPropertyOf<Box>(metaBox(contextId), itemId,
                                [boxType](const Box& box) { return box.getType() == boxType; });
}

std::optional<Av1CodecConfiguration> HevcImageFileReader::getItemAv1Configuration(ContextId contextId,
                                                                                  ItemId itemId) const
{
    checkInitialized();
    contextInfo(contextId);
    const auto key = mDecoderConfigKeys.find({contextId, itemId});
    if (key == mDecoderConfigKeys.end()) {
        return std::nullopt;
    }
    const auto record = mAv1Configurations.find(key->second);
    return record == mAv1Configurations.end() ? std::nullopt : std::optional(record->second);
}

DataVector HevcImageFileReader::getItemJpegPrefix(ContextId contextId, ItemId itemId) const
{
    const auto jpgC =
        std::dynamic_pointer_cast<const JpegConfigurationBox>(getItemPropertyBox(contextId, itemId, boxtype::kJpgC));
    return jpgC ? jpgC->getPrefix() : DataVector();
}

std::string HevcImageFileReader::getStoredItemType(ContextId contextId, ItemId itemId) const
{
    checkInitialized();
    return metaBox(contextId).getItemInfoBox().getItemById(itemId).getItemType();
}

std::string HevcImageFileReader::getPropertyBoxType(ContextId contextId, PropertyIndex index) const
{
    checkInitialized();
    const auto property = metaBox(contextId).getItemPropertiesBox().getPropertyByIndex(index);
    return property ? property->getType().getString() : std::string();
}

std::optional<std::vector<std::uint8_t>> HevcImageFileReader::getItemBitDepths(ContextId contextId, ItemId itemId) const
{
    checkInitialized();
    // 'pixi' is kept as its bytes: header (8), version and flags (4), the
    // channel count, then one byte per channel.
    const auto pixi = firstPropertyOf<UnknownProperty>(
        metaBox(contextId), itemId, [](const UnknownProperty& box) { return box.getType() == boxtype::kPixi; });
    if (!pixi) {
        return std::nullopt;
    }
    const auto& bytes = pixi->getBytes();
    constexpr std::size_t kCountAt = 12;
    if (bytes.size() <= kCountAt || bytes.size() < kCountAt + 1 + bytes[kCountAt]) {
        return std::nullopt;
    }
    const auto first = bytes.begin() + kCountAt + 1;
    return std::vector<std::uint8_t>(first, first + bytes[kCountAt]);
}

CleanApertureInfo HevcImageFileReader::cleanApertureInfo(const CleanAperture& clap)
{
    CleanApertureInfo info;
    info.widthN = clap.getWidth().numerator;
    info.widthD = clap.getWidth().denominator;
    info.heightN = clap.getHeight().numerator;
    info.heightD = clap.getHeight().denominator;
    info.horizontalOffsetN = clap.getHorizontalOffset().numerator;
    info.horizontalOffsetD = clap.getHorizontalOffset().denominator;
    info.verticalOffsetN = clap.getVerticalOffset().numerator;
    info.verticalOffsetD = clap.getVerticalOffset().denominator;
    return info;
}

}  // namespace ambrel::heif
