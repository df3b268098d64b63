#include "heiclib/model/image_model.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <exception>
#include <utility>

#include "heiclib/box_types.h"
#include "heiclib/boxes/image_property_boxes.h"

namespace ambrel::heif {

namespace {

// 'iden' items over 'iden' items deeper than this get no derived size (a
// loop of references would otherwise never end).
constexpr unsigned kMaxIdentityDepth = 8;

std::string lowerCase(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

std::string withoutTrailingZeros(std::string text)
{
    while (!text.empty() && text.back() == '\0') {
        text.pop_back();
    }
    return text;
}

// The items `id` refers to by `type` ('from'), or those that refer to it
// ('to'); none when the reader cannot say.
IdVector references(const HevcImageFileReader& reader, ContextId context, ItemId id, const char* type, bool from)
{
    IdVector ids;
    try {
        if (from) {
            reader.getReferencedFromItemListByType(context, id, FourCCInt(type), ids);
        } else {
            reader.getReferencedToItemListByType(context, id, FourCCInt(type), ids);
        }
    } catch (const std::exception&) {
        ids.clear();
    }
    return ids;
}

IdVector referencesFrom(const HevcImageFileReader& reader, ContextId context, ItemId id, const char* type)
{
    return references(reader, context, id, type, true);
}

IdVector referencesTo(const HevcImageFileReader& reader, ContextId context, ItemId id, const char* type)
{
    return references(reader, context, id, type, false);
}

ImageKind kindOfType(const std::string& type)
{
    static const std::pair<const char*, ImageKind> kKinds[] = {{"grid", ImageKind::Grid},
                                                               {"iden", ImageKind::Identity},
                                                               {"tmap", ImageKind::ToneMap},
                                                               {"iovl", ImageKind::Overlay}};
    for (const auto& [name, kind] : kKinds) {
        if (type == name) {
            return kind;
        }
    }
    return ImageKind::Coded;
}

long long roundHalfUp(double value)
{
    return static_cast<long long>(std::floor(value + 0.5));
}

// The size a clean aperture leaves of a width x height picture; unchanged
// when it does not lie within the picture.
bool cleanApertureSize(const CleanApertureInfo& aperture, std::uint32_t& width, std::uint32_t& height)
{
    const std::optional<PixelRect> kept = cleanAperturePixels(aperture, width, height);
    if (!kept) {
        return false;
    }
    width = kept->width;
    height = kept->height;
    return true;
}

// An 'auxC' or 'colr' property: the first of each kind counts.
void readOtherProperty(const std::shared_ptr<const Box>& box, ModelImage& image)
{
    if (const auto auxC = std::dynamic_pointer_cast<const AuxiliaryTypeProperty>(box); auxC && !image.auxC) {
        image.auxC = withoutTrailingZeros(auxC->getAuxType().substr(0, kMaxAuxiliaryTypeLength));
    }
    const auto colr = std::dynamic_pointer_cast<const ColourInformationBox>(box);
    if (colr && colr->hasIccProfile() && !image.icc) {
        image.icc = std::shared_ptr<const DataVector>(colr, &colr->getIccProfile());
    }
    if (colr && colr->getColourType() == codetype::kNclx && !image.nclx) {
        image.nclx = NclxColour{colr->getColourPrimaries(), colr->getTransferCharacteristics(),
                                colr->getMatrixCoefficients(), colr->getFullRange()};
    }
}

void applyGeometry(const std::vector<ImageGeometryStep>& geometry, std::uint32_t& width, std::uint32_t& height)
{
    for (const ImageGeometryStep& step : geometry) {
        if (step.kind == ImageGeometryStep::Kind::CleanAperture) {
            cleanApertureSize(step.aperture, width, height);
        } else if (step.kind == ImageGeometryStep::Kind::Rotate && (step.value == 90 || step.value == 270)) {
            std::swap(width, height);
        }
    }
}

// The item's properties that the model keeps: the transformative ones in
// association order, its 'auxC' type and its colour. Boxes are looked at
// where the reader keeps them: nothing a file can make large is copied.
void readProperties(const HevcImageFileReader& reader, ContextId context, ModelImage& image)
{
    try {
        for (const ItemPropertyInfo& property : reader.getItemProperties(context, image.id)) {
            ImageGeometryStep step;
            switch (property.type) {
            case ItemPropertyType::Irot:
                step.kind = ImageGeometryStep::Kind::Rotate;
                step.value = reader.getPropertyIrot(context, property.index);
                break;
            case ItemPropertyType::Imir:
                step.kind = ImageGeometryStep::Kind::Mirror;
                step.value = reader.getPropertyImir(context, property.index) ? 1u : 0u;
                break;
            case ItemPropertyType::Clap:
                step.kind = ImageGeometryStep::Kind::CleanAperture;
                step.aperture = reader.getPropertyClap(context, property.index);
                break;
            default: readOtherProperty(reader.getPropertyBox(context, property.index), image); continue;
            }
            image.geometry.push_back(step);
        }
        image.pixi = reader.getItemBitDepths(context, image.id);
    } catch (const std::exception&) {
        // Properties that cannot be read: what was read stays.
    }
}

void readReferences(const HevcImageFileReader& reader, ContextId context, ModelImage& image)
{
    image.inputs = referencesFrom(reader, context, image.id, "dimg");
    image.derivedBy = referencesTo(reader, context, image.id, "dimg");
    image.auxiliaryOf = referencesFrom(reader, context, image.id, "auxl");
    image.auxiliaryOf.erase(std::remove(image.auxiliaryOf.begin(), image.auxiliaryOf.end(), image.id),
                            image.auxiliaryOf.end());
    image.thumbnailOf = referencesFrom(reader, context, image.id, "thmb");
    image.premultiplied = referencesFrom(reader, context, image.id, "prem");
    image.bases = referencesFrom(reader, context, image.id, "base");
    image.auxiliaries = referencesTo(reader, context, image.id, "auxl");
    image.thumbnails = referencesTo(reader, context, image.id, "thmb");
    image.describedBy = referencesTo(reader, context, image.id, "cdsc");
}

}  // namespace

const char* imageKindName(ImageKind kind)
{
    switch (kind) {
    case ImageKind::Coded: return "coded";
    case ImageKind::Grid: return "grid";
    case ImageKind::Identity: return "iden";
    case ImageKind::ToneMap: return "tmap";
    case ImageKind::Overlay: return "iovl";
    }
    return "coded";
}

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

bool isXmpContent(const MimeContent& content)
{
    std::string type = lowerCase(content.contentType.substr(0, content.contentType.find(';')));
    while (!type.empty() && (type.back() == ' ' || type.back() == '\t' || type.back() == '\0')) {
        type.pop_back();
    }
    return type == "application/rdf+xml";
}

ImageModel::ImageModel(const HevcImageFileReader& reader)
{
    const MetaBoxInformation& information = reader.getFileInformation().rootMetaBoxInformation;
    mContext = information.contextId;
    const auto& contexts = reader.getMetaContexts();
    const auto meta = contexts.find(mContext);
    mHasMeta = meta != contexts.end();
    if (mHasMeta) {
        try {
            mPrimaryItem = reader.getPrimaryItemId(mContext);
        } catch (const std::exception&) {
        }
        if (mPrimaryItem && meta->second.images.count(*mPrimaryItem) != 0) {
            mPrimary = *mPrimaryItem;
        }
        readImages(reader, meta->second, information);
        readMetadata(reader, meta->second);
        readToneMaps();
        listTopLevel();
    }
    readSequence(reader);
}

void ImageModel::readImages(const HevcImageFileReader& reader, const HevcImageFileReader::MetaContext& meta,
                            const MetaBoxInformation& information)
{
    for (const auto& [id, info] : meta.images) {
        ModelImage image;
        image.id = id;
        try {
            image.itemType = reader.getStoredItemType(mContext, id);
        } catch (const std::exception&) {
        }
        image.kind = kindOfType(image.itemType);
        image.role = info.type;
        image.coding = describeItemCoding(reader, mContext, id, image.itemType);
        if (const auto features = information.imageFeatures.find(id); features != information.imageFeatures.end()) {
            image.features = features->second;
        }
        image.ispeWidth = image.width = info.width;
        image.ispeHeight = image.height = info.height;
        if (image.kind == ImageKind::Grid) {
            try {
                image.grid = reader.getItemGrid(mContext, id);
                image.width = image.grid->outputWidth;
                image.height = image.grid->outputHeight;
            } catch (const std::exception&) {
                // An unreadable or protected grid keeps its 'ispe'.
            }
        } else if (const auto overlay = meta.overlays.find(id); overlay != meta.overlays.end()) {
            image.width = overlay->second.outputWidth;
            image.height = overlay->second.outputHeight;
        }
        readProperties(reader, mContext, image);
        readReferences(reader, mContext, image);
        mImages.emplace(id, std::move(image));
    }
    // 'tmap' items are derived images too, though the reader keeps them with
    // the other items.
    for (const auto& [id, type] : meta.otherItems) {
        if (type == "tmap") {
            ModelImage image;
            image.id = id;
            image.itemType = type;
            image.role = type;
            image.kind = ImageKind::ToneMap;
            readProperties(reader, mContext, image);
            readReferences(reader, mContext, image);
            mImages.emplace(id, std::move(image));
        }
    }
    for (auto& [id, image] : mImages) {
        image.displayedWidth = image.width;
        image.displayedHeight = image.height;
        applyGeometry(image.geometry, image.displayedWidth, image.displayedHeight);
    }
    // An 'iden' item shows its source as that is shown, then its own
    // transforms: the chain of 'iden' items down to the source, innermost last.
    for (auto& [id, image] : mImages) {
        std::vector<const ModelImage*> chain = {&image};
        while (chain.back()->kind == ImageKind::Identity && chain.back()->inputs.size() == 1 &&
               chain.size() <= kMaxIdentityDepth) {
            const ModelImage* next = this->image(chain.back()->inputs.front());
            if (next == nullptr) {
                break;
            }
            chain.push_back(next);
        }
        if (image.kind != ImageKind::Identity || chain.size() < 2 || chain.back()->kind == ImageKind::Identity) {
            continue;
        }
        std::uint32_t width = chain.back()->displayedWidth;
        std::uint32_t height = chain.back()->displayedHeight;
        for (auto step = chain.rbegin() + 1; step != chain.rend(); ++step) {
            if (*step == &image) {
                image.width = width;
                image.height = height;
            }
            applyGeometry((*step)->geometry, width, height);
        }
        image.displayedWidth = width;
        image.displayedHeight = height;
    }
}

void ImageModel::readMetadata(const HevcImageFileReader& reader, const HevcImageFileReader::MetaContext& meta)
{
    for (const auto& [id, type] : meta.otherItems) {
        if (type == "tmap") {
            continue;
        }
        MetadataItem item;
        item.id = id;
        item.itemType = type;
        try {
            item.content = reader.getItemMimeContent(mContext, id);
        } catch (const std::exception&) {
        }
        if (lowerCase(type) == "exif") {
            item.kind = MetadataItem::Kind::Exif;
        } else if (type == "mime") {
            item.kind =
                item.content && isXmpContent(*item.content) ? MetadataItem::Kind::Xmp : MetadataItem::Kind::Mime;
        }
        item.describes = referencesFrom(reader, mContext, id, "cdsc");
        mMetadata.emplace(id, std::move(item));
    }
}

void ImageModel::readToneMaps()
{
    for (const auto& [id, image] : mImages) {
        if (image.kind == ImageKind::ToneMap && image.inputs.size() == 2 && image.inputs[0] != image.inputs[1] &&
            mImages.count(image.inputs[0]) != 0 && mImages.count(image.inputs[1]) != 0) {
            mToneMaps.push_back({id, image.inputs[0], image.inputs[1]});
        }
    }
}

void ImageModel::listTopLevel()
{
    const auto isTopLevel = [&](const ModelImage& image) {
        for (const ImageFeature excluded : {ImageFeature::HiddenImage, ImageFeature::Thumbnail,
                                            ImageFeature::AuxiliaryImage, ImageFeature::ProtectedImage}) {
            if (image.features.count(excluded) != 0) {
                return false;
            }
        }
        return image.kind != ImageKind::ToneMap && image.derivedBy.empty() && ownerOfAuxiliary(image.id) == 0;
    };
    if (mPrimary != 0) {
        mTopLevel.push_back(mPrimary);
    }
    for (const auto& [id, image] : mImages) {
        if (id != mPrimary && isTopLevel(image)) {
            mTopLevel.push_back(id);
        }
    }
}

void ImageModel::readSequence(const HevcImageFileReader& reader)
{
    for (const auto& [id, track] : reader.getFileInformation().trackInformation) {
        if (track.features.count(TrackFeature::IsMasterImageSequence) == 0 || track.sampleProperties.empty()) {
            continue;
        }
        mSequence.track = id;
        mSequence.samples = track.sampleProperties.size();
        // Each sample at its first presentation; a looping track shows its
        // samples again, which makes no frames of their own.
        std::vector<std::pair<Timestamp, ItemId>> shown;
        try {
            for (const auto& [index, properties] : track.sampleProperties) {
                std::vector<Timestamp> times;
                reader.getTimestampsOfItem(id, index, times);
                if (!times.empty()) {
                    shown.emplace_back(*std::min_element(times.begin(), times.end()), index);
                }
            }
            const ItemId first = track.sampleProperties.begin()->first;
            mSequence.codeType = reader.getDecoderCodeType(id, first);
            mSequence.coding = describeSampleCoding(reader, id, first);
        } catch (const std::exception&) {
        }
        std::sort(shown.begin(), shown.end());
        for (const auto& [time, index] : shown) {
            mSequence.frames.push_back(index);
        }
        return;
    }
}

const ModelImage* ImageModel::image(ItemId id) const
{
    const auto it = mImages.find(id);
    return it == mImages.end() ? nullptr : &it->second;
}

const MetadataItem* ImageModel::metadataItem(ItemId id) const
{
    const auto it = mMetadata.find(id);
    return it == mMetadata.end() ? nullptr : &it->second;
}

std::optional<std::uint8_t> ImageModel::lumaBitDepth(ItemId id) const
{
    const ModelImage* image = this->image(id);
    if (image != nullptr && image->kind == ImageKind::Grid && image->grid && !image->grid->itemIds.empty()) {
        image = this->image(image->grid->itemIds.front());
    }
    if (image == nullptr || !image->coding.configured || image->coding.bitDepth == 0) {
        return std::nullopt;
    }
    return static_cast<std::uint8_t>(image->coding.bitDepth);
}

ItemId ImageModel::ownerOfAuxiliary(ItemId item) const
{
    const ModelImage* image = this->image(item);
    return image == nullptr || image->auxiliaryOf.empty() ? 0 : image->auxiliaryOf.front();
}

std::vector<AuxiliaryImage> ImageModel::auxiliaryImagesOf(ItemId owner) const
{
    std::vector<AuxiliaryImage> found;
    const ModelImage* image = this->image(owner);
    if (image == nullptr) {
        return found;
    }
    for (const ItemId id : image->auxiliaries) {
        const ModelImage* auxiliary = this->image(id);
        if (id == owner || auxiliary == nullptr || !auxiliary->auxC ||
            std::any_of(found.begin(), found.end(), [&](const AuxiliaryImage& a) { return a.id == id; })) {
            continue;
        }
        found.push_back({id, auxiliaryKindOf(*auxiliary->auxC), *auxiliary->auxC, lumaBitDepth(id).value_or(8)});
    }
    return found;
}

IdVector ImageModel::thumbnailsOf(ItemId owner) const
{
    const ModelImage* image = this->image(owner);
    return image == nullptr ? IdVector() : image->thumbnails;
}

std::vector<AuxiliaryImage> ImageModel::toneMapGainMapsOf(ItemId base) const
{
    std::vector<AuxiliaryImage> found;
    for (const ToneMapItem& toneMap : mToneMaps) {
        if (toneMap.base == base) {
            found.push_back(
                {toneMap.gainMap, AuxiliaryKind::GainMap, "tmap", lumaBitDepth(toneMap.gainMap).value_or(8)});
        }
    }
    return found;
}

namespace {

ItemId firstDescribing(const ImageModel& model, ItemId image, MetadataItem::Kind kind)
{
    const ModelImage* described = model.image(image);
    if (described == nullptr) {
        return 0;
    }
    for (const ItemId id : described->describedBy) {
        if (const MetadataItem* item = model.metadataItem(id); item != nullptr && item->kind == kind) {
            return id;
        }
    }
    return 0;
}

ItemId firstUnattached(const std::map<ItemId, MetadataItem>& items, MetadataItem::Kind kind)
{
    for (const auto& [id, item] : items) {
        if (item.kind == kind && item.describes.empty()) {
            return id;
        }
    }
    return 0;
}

}  // namespace

ItemId ImageModel::exifDescribing(ItemId image) const
{
    return firstDescribing(*this, image, MetadataItem::Kind::Exif);
}

ItemId ImageModel::xmpDescribing(ItemId image) const
{
    return firstDescribing(*this, image, MetadataItem::Kind::Xmp);
}

ItemId ImageModel::unattachedExif() const
{
    return firstUnattached(mMetadata, MetadataItem::Kind::Exif);
}

ItemId ImageModel::unattachedXmp() const
{
    return firstUnattached(mMetadata, MetadataItem::Kind::Xmp);
}

std::optional<PixelRect> cleanAperturePixels(const CleanApertureInfo& aperture, std::uint32_t width,
                                             std::uint32_t height)
{
    if (aperture.widthD == 0 || aperture.heightD == 0 || aperture.horizontalOffsetD == 0 ||
        aperture.verticalOffsetD == 0 || width == 0 || height == 0) {
        return std::nullopt;
    }
    const double cleanWidth = double(aperture.widthN) / aperture.widthD;
    const double cleanHeight = double(aperture.heightN) / aperture.heightD;
    const double horizontalOffset =
        double(static_cast<std::int32_t>(aperture.horizontalOffsetN)) / aperture.horizontalOffsetD;
    const double verticalOffset =
        double(static_cast<std::int32_t>(aperture.verticalOffsetN)) / aperture.verticalOffsetD;
    const long long wide = roundHalfUp(cleanWidth);
    const long long high = roundHalfUp(cleanHeight);
    const auto left = static_cast<long long>(std::ceil((width - cleanWidth) / 2.0 + horizontalOffset - 0.5));
    const long long top = roundHalfUp((height - cleanHeight) / 2.0 + verticalOffset);
    if (wide <= 0 || high <= 0 || left < 0 || top < 0 || left + wide > width || top + high > height) {
        return std::nullopt;
    }
    return PixelRect{static_cast<std::uint32_t>(left), static_cast<std::uint32_t>(top),
                     static_cast<std::uint32_t>(wide), static_cast<std::uint32_t>(high)};
}

}  // namespace ambrel::heif
