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
#include <string_view>
#include <system_error>
#include <thread>
#include <utility>

#include <opencv2/imgproc.hpp>

#include "heiclib/log.h"
#include "heiclib/reader/file_reader_exception.h"
#include "pipeline/band_encoder.h"
#include "pipeline/decode/extraction.h"
#include "pipeline/decode/hevc_sps.h"
#include "pipeline/decode/jpeg_decoder.h"
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

// A JPEG segment: marker, then its 16-bit length and payload.
void putSegment(std::vector<std::uint8_t>& out, std::uint8_t marker, std::span<const std::uint8_t> head,
                std::span<const std::uint8_t> payload)
{
    const std::size_t length = 2 + head.size() + payload.size();
    out.insert(out.end(), {0xFF, marker, std::uint8_t(length >> 8), std::uint8_t(length & 0xFF)});
    out.insert(out.end(), head.begin(), head.end());
    out.insert(out.end(), payload.begin(), payload.end());
}

bool startsWith(std::span<const std::uint8_t> payload, std::string_view prefix)
{
    return payload.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), payload.begin());
}

// A JPEG-coded primary written out as it is stored, with the file's metadata:
// its EXIF (in place of the JFIF segment), XMP and ICC profile replace the
// stream's own segments of those kinds. None when the stream is not to be
// copied (see canCopyJpegStream) or the metadata does not fit the segments
// the JPEG writer would write.
std::optional<ConvertedFile> copiedJpeg(const HeifImageData& data, const CarriedMetadata& carried,
                                        const ConversionSettings& settings, const ConversionPlan& plan)
{
    if (data.codec != Codec::Jpeg || data.isGrid || data.tiles.size() != 1 || data.greyPicture ||
        settings.previewSide != 0 || carried.metadata.gainMap || carried.hdr != GainMapKind::None ||
        !carried.failure.empty()) {
        return std::nullopt;
    }
    const std::vector<std::uint8_t>& stream = data.tiles.front();
    const JpegCopyRequest request{.jpegOutput = settings.format == OutputFormat::Jpg,
                                  .quality = settings.quality,
                                  .scaled = plan.scale != 1.0f,
                                  .transformed = !data.transforms.empty(),
                                  .alpha = data.alpha != nullptr,
                                  .width = data.width,
                                  .height = data.height};
    if (!canCopyJpegStream(stream, request)) {
        return std::nullopt;
    }
    WriterMetadata metadata = forFormat(carried.metadata, OutputFormat::Jpg, data.width, data.height);
    if ((metadata.carryExif && metadata.exif.size() > jpegmeta::kMaxApp1Payload &&
         !jpegmeta::fitIntoApp1(metadata.exif)) ||
        metadata.xmp.size() > kMaxXmpPacket || metadata.icc.size() > 255 * jpegmeta::kMaxIccChunk) {
        return std::nullopt;
    }
    static constexpr std::string_view kXmpHead("http://ns.adobe.com/xap/1.0/\0", 29);
    std::vector<std::uint8_t> out = {0xFF, 0xD8};
    if (metadata.carryExif) {
        putSegment(out, 0xE1, {}, metadata.exif);
    }
    if (!metadata.xmp.empty()) {
        putSegment(out, 0xE1, std::span(reinterpret_cast<const std::uint8_t*>(kXmpHead.data()), kXmpHead.size()),
                   metadata.xmp);
    }
    // The stream's own segments before its frame, but those the file's replace.
    std::size_t at = 2;
    while (at + 4 <= stream.size() && stream[at] == 0xFF && (stream[at + 1] & 0xF0) == 0xE0) {
        const std::size_t length = std::size_t(stream[at + 2]) << 8 | stream[at + 3];
        if (length < 2 || at + 2 + length > stream.size()) {
            return std::nullopt;
        }
        const auto payload = std::span(stream).subspan(at + 4, length - 2);
        const std::uint8_t marker = stream[at + 1];
        const bool replaced = (metadata.carryExif && marker == 0xE0 && startsWith(payload, "JFIF")) ||
                              (metadata.carryExif && marker == 0xE1 && startsWith(payload, "Exif")) ||
                              (!metadata.xmp.empty() && marker == 0xE1 && startsWith(payload, kXmpHead)) ||
                              (!metadata.icc.empty() && marker == 0xE2 && startsWith(payload, "ICC_PROFILE"));
        if (!replaced) {
            out.insert(out.end(), stream.begin() + std::ptrdiff_t(at),
                       stream.begin() + std::ptrdiff_t(at + 2 + length));
        }
        at += 2 + length;
    }
    out.insert(out.end(), stream.begin() + std::ptrdiff_t(at), stream.end());
    ConvertedFile file;
    file.bytes = jpegmeta::insertIccSegments(out, metadata.icc);
    file.width = data.width;
    file.height = data.height;
    file.warning = carried.warning;
    file.ok = true;
    return file;
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
    if (std::optional<ConvertedFile> copied = copiedJpeg(data, metadata, settings, plan)) {
        return std::move(*copied);
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
