// The alpha plane of an image: its auxiliary image found through the image
// model, read as a record of its own that the decoding takes beside the
// colour image's.
#include "pipeline/decode/extraction_steps.h"

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

// The first alpha plane among the auxiliary images of the owners; 0 when
// there is none.
heif::ItemId findAlphaItem(const heif::ImageModel& model, const HeifImageData& data)
{
    for (const heif::ItemId owner : alphaOwners(data)) {
        for (const heif::AuxiliaryImage& auxiliary : model.auxiliaryImagesOf(owner)) {
            // The image itself is no plane of its own.
            if (auxiliary.kind == heif::AuxiliaryKind::Alpha && auxiliary.id != data.imageId &&
                std::find(data.identities.begin(), data.identities.end(), auxiliary.id) == data.identities.end()) {
                return auxiliary.id;
            }
        }
    }
    return 0;
}

// Whether one of the owners has a 'prem' reference to the alpha plane: the
// colour was multiplied by it.
bool alphaIsPremultiplied(const heif::ImageModel& model, const HeifImageData& data, heif::ItemId alpha)
{
    for (const heif::ItemId owner : alphaOwners(data)) {
        const heif::ModelImage* image = model.image(owner);
        if (image != nullptr &&
            std::find(image->premultiplied.begin(), image->premultiplied.end(), alpha) != image->premultiplied.end()) {
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
    if (!alpha.isGrid && !isDecodedCoding(reader.getDecoderCodeType(context, alpha.imageId))) {
        return "it is no 'hvc1' or 'av01' image and no grid";
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
        if (!isDecodedCoding(reader.getDecoderCodeType(context, tile))) {
            return "its tile " + std::to_string(tile) + " is not an 'hvc1' or 'av01' image";
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

}  // namespace

// The image's alpha plane into `data.alpha`, when it has one that can be
// used; otherwise a diagnostic line says why it is left out. Never throws.
void getHeifAlpha(heif::HevcImageFileReader& reader, const heif::ImageModel& model, HeifImageData& data,
                  std::uint64_t tileBudget)
{
    const heif::ContextId context = model.context();
    data.alpha.reset();
    data.alphaPremultiplied = false;
    heif::ItemId item = 0;
    try {
        item = findAlphaItem(model, data);
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
        data.alphaPremultiplied = alphaIsPremultiplied(model, data, item);
        data.alpha = std::move(alpha);
    } catch (const std::exception& e) {
        data.alpha.reset();
        data.alphaPremultiplied = false;
        if (item != 0) {
            printDiagnostic("the alpha plane " + std::to_string(item) + " is left out: " + e.what());
        }
    }
}

}  // namespace ambrel::pipeline
