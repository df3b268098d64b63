// Opens arbitrary bytes with the HEIF reader and asks it every question about
// every context and item it reports.
#include <cstddef>
#include <cstdint>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "fuzz/box_mutator.h"
#include "heiclib/log.h"
#include "heiclib/reader/hevc_image_file_reader.h"

using namespace ambrel::heif;

namespace {

template <typename Call>
void tryCall(Call&& call)
{
    try {
        call();
    } catch (const std::exception&) {
        // Refusals are expected; crashes, hangs and leaks are what we look for.
    }
}

void askAboutItem(HevcImageFileReader& reader, ContextId context, ItemId item)
{
    DataVector data;
    IdVector ids;
    ParameterSetMap sets;
    std::vector<Timestamp> times;
    tryCall([&] { reader.getItemType(context, item); });
    tryCall([&] { reader.getWidth(context, item); });
    tryCall([&] { reader.getHeight(context, item); });
    tryCall([&] { reader.getItemData(context, item, data); });
    tryCall([&] { reader.getItemDataWithDecoderParameters(context, item, data); });
    tryCall([&] { reader.getDecoderCodeType(context, item); });
    tryCall([&] { reader.getDecoderParameterSets(context, item, sets); });
    tryCall([&] { reader.getItemGrid(context, item); });
    tryCall([&] { reader.getItemIovl(context, item); });
    tryCall([&] { reader.getItemProtectionScheme(context, item); });
    tryCall([&] { reader.getItemDecodeDependencies(context, item, ids); });
    tryCall([&] { reader.getTimestampsOfItem(context, item, times); });
    tryCall([&] { reader.getItemIccProfile(context, item); });
    for (const std::string type : {"dimg", "thmb", "auxl", "cdsc", "iloc", "base"}) {
        tryCall([&] { reader.getReferencedFromItemListByType(context, item, type, ids); });
        tryCall([&] { reader.getReferencedToItemListByType(context, item, type, ids); });
    }
    try {
        for (const auto& property : reader.getItemProperties(context, item)) {
            tryCall([&] { reader.getPropertyImir(context, property.index); });
            tryCall([&] { reader.getPropertyIrot(context, property.index); });
            tryCall([&] { reader.getPropertyAuxc(context, property.index); });
            tryCall([&] { reader.getPropertyRloc(context, property.index); });
            tryCall([&] { reader.getPropertyLsel(context, property.index); });
            tryCall([&] { reader.getPropertyTols(context, property.index); });
            tryCall([&] { reader.getPropertyClap(context, property.index); });
        }
    } catch (const std::exception&) {
    }
}

void askAboutContext(HevcImageFileReader& reader, ContextId context, const IdVector& items)
{
    std::map<Timestamp, ItemId> stamps;
    std::vector<std::pair<ItemId, Timestamp>> order;
    IdVector ids;
    tryCall([&] { reader.getCoverImageItemId(context); });
    tryCall([&] { reader.getDisplayWidth(context); });
    tryCall([&] { reader.getDisplayHeight(context); });
    tryCall([&] { reader.getPlaybackDurationInSecs(context); });
    for (const char* type : {"master", "grid", "hidden", "samples", "display", "out_ref", "out_non_ref"}) {
        tryCall([&] { reader.getItemListByType(context, type, ids); });
    }
    tryCall([&] { reader.setForcedTimedPlayback(context, 30.0f); });
    tryCall([&] { reader.getItemTimestamps(context, stamps); });
    tryCall([&] { reader.getItemsInDecodingOrder(context, order); });
    tryCall([&] { reader.setForcedLoopPlayback(context, true); });
    // Items the file names, and a few it does not.
    std::size_t asked = 0;
    for (const ItemId item : items) {
        if (++asked > 64) {
            break;
        }
        askAboutItem(reader, context, item);
    }
    askAboutItem(reader, context, 0);
    askAboutItem(reader, context, 0xFFFFFFFFu);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    ambrel::log::setLevel(-1);
    std::stringstream stream(std::string(reinterpret_cast<const char*>(data), size));
    HevcImageFileReader reader;
    try {
        reader.initialize(stream);
    } catch (const std::exception&) {
        return 0;
    }
    tryCall([&] { reader.getMajorBrand(); });
    tryCall([&] { reader.getCompatibleBrands(); });
    tryCall([&] { reader.getMatrix(); });
    const FileInformation& info = reader.getFileInformation();
    IdVector metaItems;
    for (const auto& [id, features] : info.rootMetaBoxInformation.imageFeatures) {
        metaItems.push_back(id);
    }
    for (const auto& [id, features] : info.rootMetaBoxInformation.itemFeatures) {
        metaItems.push_back(id);
    }
    askAboutContext(reader, info.rootMetaBoxInformation.contextId, metaItems);
    for (const auto& [trackId, track] : info.trackInformation) {
        IdVector samples;
        for (const auto& [index, properties] : track.sampleProperties) {
            samples.push_back(index);
        }
        askAboutContext(reader, trackId, samples);
    }
    reader.close();
    return 0;
}
