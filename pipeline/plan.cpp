#include "pipeline/plan.h"

#include <algorithm>
#include <cmath>

#include <opencv2/core.hpp>

#include "pipeline/decode/mosaic.h"

namespace ambrel::pipeline {

namespace {

bool hasCrop(const std::vector<ImageTransform>& transforms)
{
    return std::any_of(transforms.begin(), transforms.end(), [](const ImageTransform& transform) {
        return transform.kind == ImageTransform::Kind::CleanAperture;
    });
}

bool hasTurns(const std::vector<ImageTransform>& transforms)
{
    return std::any_of(transforms.begin(), transforms.end(), [](const ImageTransform& transform) {
        return transform.kind != ImageTransform::Kind::CleanAperture;
    });
}

// Whether the picture is made with 16-bit samples.
bool sixteenBits(const ImageFacts& facts, const ConversionSettings& settings)
{
    if (!formatInfo(settings.format).sixteenBits) {
        return false;
    }
    if (facts.greyPicture && facts.bitDepth > 8) {
        return true;  // auxiliary data of more than 8 bits keeps its precision
    }
    // JPEG 2000 keeps the source's precision.
    return settings.depth >= 16 && (settings.format != OutputFormat::Jpeg2000 || facts.bitDepth > 8);
}

// One side of the region the mosaic gives: the image's side cut down to the
// tiles; 0 when either is unknown.
std::uint64_t regionSide(std::uint32_t side, std::uint32_t tiles, std::uint32_t tileSide)
{
    if (side == kUnknownSide || tileSide == 0) {
        return 0;
    }
    return std::min<std::uint64_t>(side, std::uint64_t(tiles) * tileSide);
}

// Whether the coded pictures' chroma is converted with BT.601's luma weights
// (those that name no matrix, or one of BT.601's), as a JPEG's is.
bool bt601Weights(std::optional<std::uint16_t> matrix)
{
    if (!matrix) {
        return true;
    }
    switch (*matrix) {
    case 0:  // identity (RGB)
    case 1:  // BT.709
    case 4:  // FCC
    case 7:  // SMPTE 240M
    case 9:  // BT.2020
    case 10: return false;
    default: return true;
    }
}

// Whether the decoder can hand the pictures over as JPEG planes: 4:2:0 with
// BT.601's weights (a picture that turns out otherwise is converted on its
// way in), tiles that share the halved chroma planes, and for planes that are
// turned afterwards a region of even sides, so that the chroma turns in step
// with the luma.
bool planesFit(const ImageFacts& facts, bool turned)
{
    if (facts.chromaFormat != 1 || !bt601Weights(facts.matrix)) {
        return false;
    }
    const bool oddAcross = facts.columns > 1 && (facts.tileWidth == 0 || facts.tileWidth % 2 != 0);
    const bool oddDown = facts.rows > 1 && (facts.tileHeight == 0 || facts.tileHeight % 2 != 0);
    if (oddAcross || oddDown) {
        return false;
    }
    if (!turned) {
        return true;
    }
    const std::uint64_t width = regionSide(facts.width, facts.columns, facts.tileWidth);
    const std::uint64_t height = regionSide(facts.height, facts.rows, facts.tileHeight);
    return width > 0 && height > 0 && width % 2 == 0 && height % 2 == 0;
}

DecodedLayout pictureLayout(const ImageFacts& facts, const ConversionSettings& settings)
{
    const bool sixteen = sixteenBits(facts, settings);
    if (facts.greyPicture) {
        return sixteen ? DecodedLayout::Grey16 : DecodedLayout::Grey8;
    }
    return sixteen ? DecodedLayout::Bgr16 : DecodedLayout::Bgr8;
}

}  // namespace

ConversionSettings boundedBySide(const ConversionSettings& settings, std::uint32_t longer)
{
    ConversionSettings bounded = settings;
    if (settings.maxSide > 0 && longer > 0 && double(longer) * double(settings.scale) > double(settings.maxSide)) {
        // The factor rounds down so that rounding the scaled side never passes the bound.
        float factor = static_cast<float>(double(settings.maxSide) / double(longer));
        while (std::round(double(longer) * double(factor)) > double(settings.maxSide)) {
            factor = std::nextafter(factor, 0.0f);
        }
        bounded.scale = factor;
    }
    return bounded;
}

ConversionPlan planFor(const ImageFacts& facts, const ConversionSettings& settings)
{
    const FormatInfo& writer = formatInfo(settings.format);
    ConversionPlan plan;
    plan.format = settings.format;
    plan.writer = &writer;
    // The longer side is the same before and after a quarter turn, so the
    // bound on it becomes a smaller scale here.
    plan.scale = boundedBySide(settings, std::max(facts.width, facts.height)).scale;
    // The encoded picture's size as cv::resize rounds it.
    const double scaledPixels =
        double(cvRound(facts.width * double(plan.scale))) * double(cvRound(facts.height * double(plan.scale)));
    plan.previewSide = scaledPixels <= double(settings.previewMinPixels) ? 0 : settings.previewSide;
    plan.carryExif = settings.keepExif;
    plan.keepOrientation = settings.keepExif && writer.keepsStoredOrientation && facts.exifShowsTurns;
    plan.crop = hasCrop(facts.transforms);
    plan.alpha = facts.alpha;
    plan.flattenAlpha = facts.alpha && !writer.alpha;
    plan.tryHdr = settings.keepHdr && settings.itemId == 0 && settings.frame < 0 && !facts.greyPicture &&
                  facts.skippedPictures == 0 && facts.metadataReady;
    plan.layout = pictureLayout(facts, settings);

    // A plain picture goes to the writer band by band: no alpha to join, no
    // earlier frames, and a scale the band scaler takes.
    const bool banded = plan.scale == 1.0f || BandScaler::takes(plan.scale);
    const bool plain =
        !facts.alpha && !facts.greyPicture && facts.skippedPictures == 0 && facts.metadataReady && banded;
    const bool turned = hasTurns(facts.transforms) && !plan.keepOrientation;
    const bool planes = writer.jpegPlanes;
    if (plain && writer.streams && !plan.crop && !turned) {
        // The mosaic's region as it is: encoded while the decoder works on
        // the rows below; a JPEG takes the decoded planes as they are.
        plan.route = PixelRoute::Streamed;
        if (planes && planesFit(facts, false)) {
            plan.layout = DecodedLayout::JpegPlanes;
        }
    } else if (plain && planes && !plan.crop && planesFit(facts, true)) {
        plan.route = PixelRoute::TurnedPlanes;
        plan.layout = DecodedLayout::JpegPlanes;
    } else if (!facts.greyPicture && writer.streams && banded) {
        plan.route = PixelRoute::TransformedBands;
    }
    return plan;
}

}  // namespace ambrel::pipeline
