#include "pipeline/converter.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <exception>
#include <functional>
#include <limits>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <span>
#include <sstream>
#include <stdexcept>
#include <system_error>
#include <thread>
#include <utility>

#include <opencv2/imgproc.hpp>

#include "heiclib/log.h"
#include "heiclib/reader/file_reader_exception.h"
#include "pipeline/band_encoder.h"
#include "pipeline/decode/extraction.h"
#include "pipeline/decode/hevc_sps.h"
#include "pipeline/decode/mosaic.h"
#include "pipeline/decode/picture_decoder.h"
#include "pipeline/encode/colour_profiles.h"
#include "pipeline/encode/gain_map.h"
#include "pipeline/encode/gain_map_jpeg.h"
#include "pipeline/encode/image_writer.h"
#include "pipeline/encode/jpeg_encoder.h"
#include "pipeline/encode/jpeg_metadata.h"
#include "pipeline/encode/metadata.h"
#include "pipeline/encode/xmp_packet.h"
#include "pipeline/failure.h"
#include "pipeline/gain_map_carry.h"
#include "pipeline/picture_encoding.h"
#include "pipeline/plan.h"
#include "pipeline/stages.h"

namespace ambrel::pipeline {

namespace {

ConvertedFile failed(const Failure& stage)
{
    ConvertedFile file;
    file.message = std::string(stage.code);
    file.detail = stage.detail;
    return file;
}

// The facts the plan is made from: the extraction's record and what the
// settled metadata says of the orientation.
ImageFacts factsOf(const HeifImageData& data, const CarriedMetadata& metadata)
{
    ImageFacts facts;
    outputSize(data, facts.width, facts.height);
    facts.rows = data.rows;
    facts.columns = data.columns;
    facts.tileWidth = data.tileWidth;
    facts.tileHeight = data.tileHeight;
    facts.chromaFormat = data.chromaFormat;
    facts.bitDepth = data.bitDepth;
    // The first tile's SPS says what the decoder will give, down to the
    // matrix it converts with (the 'colr' box is not the decoder's concern).
    if (const std::optional<SpsFacts> sps = readSpsFacts(data.paramSets)) {
        facts.chromaFormat = static_cast<std::uint8_t>(std::min<std::uint32_t>(sps->chromaFormat, 3));
        facts.tileWidth = sps->width;
        facts.tileHeight = sps->height;
        facts.matrix = static_cast<std::uint16_t>(sps->matrix);
    }
    facts.transforms = data.transforms;
    facts.alpha = data.alpha != nullptr;
    facts.alphaPremultiplied = data.alphaPremultiplied;
    facts.greyPicture = data.greyPicture;
    facts.skippedPictures = data.skippedPictures;
    facts.exifShowsTurns = metadata.keepOrientation;
    facts.metadataReady = metadata.failure.empty();
    return facts;
}

int cellTypeOf(DecodedLayout layout)
{
    switch (layout) {
    case DecodedLayout::JpegPlanes: return kJpegPlanesCell;
    case DecodedLayout::Bgr8: return CV_8UC3;
    case DecodedLayout::Bgr16: return CV_16UC3;
    case DecodedLayout::Grey8: return CV_8UC1;
    case DecodedLayout::Grey16: return CV_16UC1;
    }
    return CV_8UC3;
}

bool sixteenBits(DecodedLayout layout)
{
    return layout == DecodedLayout::Bgr16 || layout == DecodedLayout::Grey16;
}

// The mosaic the plan decodes into.
MosaicCanvas plannedCanvas(const HeifImageData& data, const ConversionPlan& plan)
{
    // 16-bit samples take twice the memory the budget counted.
    const std::uint64_t pixels = sixteenBits(plan.layout) ? data.maxCanvasPixels / 2 : data.maxCanvasPixels;
    return {data.rows, data.columns, pixels, cellTypeOf(plan.layout),
            plan.route == PixelRoute::Streamed ? MosaicCanvas::Storage::RowsInFlight : MosaicCanvas::Storage::Whole};
}

// The plan of a picture that was to be streamed when no thread can encode
// it alongside: the whole mosaic, of BGR pictures, turned band by band.
ConversionPlan unstreamed(ConversionPlan plan)
{
    plan.route = PixelRoute::TransformedBands;
    if (plan.layout == DecodedLayout::JpegPlanes) {
        plan.layout = DecodedLayout::Bgr8;
    }
    return plan;
}

// The decoded mosaic with its alpha plane, turned, scaled and encoded as the
// plan says (streamed bands are finished); the canvas is let go of.
ConvertedFile encodeDecoded(HeifImageData& data, MosaicCanvas& canvas, BandEncoder& bands, bool streaming,
                            const CarriedMetadata& metadata, const ConversionSettings& settings,
                            const ConversionPlan& plan)
{
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    outputSize(data, width, height);
    ConvertedFile file;
    addWarning(file.warning, metadata.warning);
    addWarning(file.warning, data.warning);
    try {
        cv::Mat alpha;
        if (plan.alpha && !streaming) {
            std::string alphaWarning;
            alpha = decodeAlpha(*data.alpha, sixteenBits(plan.layout) ? CV_16U : CV_8U,
                                canvas.output(width, height).size(), alphaWarning);
            addWarning(file.warning, alphaWarning);
        }
        Result<EncodedPicture> encoded = streaming ? finishBands(bands, canvas, width, height, settings.scale)
                                                   : encodeWhole(canvas, alpha, data, metadata, settings);
        if (!encoded) {
            return failed(encoded.failure());
        }
        if (streaming) {
            // The bands kept the stored orientation; the small picture is turned.
            encoded->preview = std::move(bands.preview());
            if (!encoded->preview.empty()) {
                turnUpright(encoded->preview, data.transforms);
            }
        }
        file.bytes = std::move(encoded->bytes);
        file.preview = std::move(encoded->preview);
        file.width = static_cast<std::uint32_t>(encoded->size.width);
        file.height = static_cast<std::uint32_t>(encoded->size.height);
        addWarning(file.warning, encoded->warning);
        file.hdr = gainMapKindName(metadata.hdr);  // carryGainMap made sure its description fits
        file.ok = true;
        return file;
    } catch (const std::exception&) {
        return failed(Failure{kHeif2JpgUnknown, pictureDetail(canvas, data)});
    }
}

}  // namespace

// The conversion, following the plan made before the first tile is decoded:
// the file is decoded once, by one decoder per image.
ConvertedFile convertImage(const std::uint8_t* input, std::size_t length, const ConversionSettings& requested)
{
    Result<HeifImageData> extracted =
        extract(inputBytes(input, length), requested.keepExif, ImageRequest{requested.itemId, requested.frame});
    if (!extracted) {
        return failed(extracted.failure());
    }
    HeifImageData& data = *extracted;
    CarriedMetadata metadata = settleMetadata(data, requested.keepExif, requested.format);
    ConversionPlan plan = planFor(factsOf(data, metadata), requested);
    ConversionSettings settings = requested;
    settings.scale = plan.scale;
    settings.previewSide = plan.previewSide;
    if (plan.tryHdr) {
        carryGainMap(inputBytes(input, length), data, settings, metadata);
    }

    std::uint32_t width = 0;
    std::uint32_t height = 0;
    outputSize(data, width, height);
    MosaicCanvas canvas = plannedCanvas(data, plan);
    BandEncoder bands(canvas, width, height, settings.format, WriterOptions{settings.quality}, metadata.metadata,
                      settings.scale, settings.previewSide);
    const bool streaming = plan.route == PixelRoute::Streamed && bands.start();
    if (plan.route == PixelRoute::Streamed && !streaming) {
        plan = unstreamed(plan);
        canvas = plannedCanvas(data, plan);
    }
    const auto rowsReady = [&](std::size_t) {
        if (streaming) {
            bands.rowsReady(canvas.completeTileRows());
        }
    };
    if (const Result<void> decoded = decodeTiles(data, canvas, rowsReady); !decoded) {
        return failed(decoded.failure());
    }
    if (!metadata.failure.empty()) {
        return failed(Failure{kHeif2JpgUnknown, metadata.failure});
    }
    if (plan.route == PixelRoute::TurnedPlanes) {
        const cv::Size region = canvas.regionSize(width, height);
        if (region.width % 2 != 0 || region.height % 2 != 0) {
            // The tiles' own sizes disagree with the file's: the chroma would
            // turn out of step with the luma.
            return failed(Failure{kHeif2JpgDecode, "the decoded picture is " + std::to_string(region.width) + " x " +
                                                       std::to_string(region.height) +
                                                       " pixels, not the size the file gives it"});
        }
    }
    return encodeDecoded(data, canvas, bands, streaming, metadata, settings, plan);
}

// The picture decodeHeifPicture gives.
Result<cv::Mat> decodeUprightPicture(std::span<const std::uint8_t> input)
{
    Result<HeifImageData> extracted = extract(input, false);
    if (!extracted) {
        return extracted.failure();
    }
    HeifImageData& data = *extracted;
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    outputSize(data, width, height);
    MosaicCanvas canvas(data.rows, data.columns, data.maxCanvasPixels);
    if (const Result<void> decoded = decodeTiles(data, canvas, {}); !decoded) {
        return decoded.failure();
    }
    try {
        cv::Mat image = canvas.output(width, height).clone();
        canvas.release();
        applyTransforms(image, data.transforms, false);
        return image;
    } catch (const std::exception&) {
        return Failure{kHeif2JpgUnknown, pictureDetail(canvas, data)};
    }
}

}  // namespace ambrel::pipeline
