#include "pipeline/gain_map_carry.h"

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
#include "pipeline/converter.h"
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
#include "pipeline/picture_encoding.h"
#include "pipeline/plan.h"
#include "pipeline/stages.h"

namespace ambrel::pipeline {

namespace {

// Quality of the gain map's grey JPEG.
constexpr int kGainMapQuality = 85;

// The size of the picture encoded from an image of width x height with
// these transforms and this scale.
cv::Size encodedSizeOf(std::uint32_t width, std::uint32_t height, const std::vector<ImageTransform>& transforms,
                       bool keepOrientation, float scale)
{
    cv::Size size(static_cast<int>(std::min<std::uint32_t>(width, std::numeric_limits<int>::max())),
                  static_cast<int>(std::min<std::uint32_t>(height, std::numeric_limits<int>::max())));
    for (const ImageTransform& transform : transforms) {
        cv::Rect rect;
        if (transform.kind == ImageTransform::Kind::CleanAperture &&
            cleanApertureRect(transform.aperture, size.width, size.height, rect)) {
            size = rect.size();
        } else if (transform.kind == ImageTransform::Kind::Rotate && !keepOrientation &&
                   (transform.value == 90 || transform.value == 270)) {
            size = cv::Size(size.height, size.width);
        }
    }
    return scale == 1.0f ? size : scaledSize(size, scale);
}

// The primary's transforms for a gain map of its own size or another: a
// clean aperture scaled to the gain map's pixels.
std::vector<ImageTransform> gainMapTransforms(std::vector<ImageTransform> transforms, cv::Size from, cv::Size to)
{
    auto scaled = [](std::uint32_t& numerator, std::uint32_t& denominator, int target, int source, bool isSigned) {
        if (denominator == 0 || source <= 0) {
            return;
        }
        const double value = (isSigned ? double(static_cast<std::int32_t>(numerator)) : double(numerator)) /
                             double(denominator) * double(target) / double(source);
        numerator = static_cast<std::uint32_t>(static_cast<std::int32_t>(std::lround(value * 1024.0)));
        denominator = 1024;
    };
    for (ImageTransform& transform : transforms) {
        if (transform.kind == ImageTransform::Kind::CleanAperture && from != to) {
            heif::CleanApertureInfo& a = transform.aperture;
            scaled(a.widthN, a.widthD, to.width, from.width, false);
            scaled(a.heightN, a.heightD, to.height, from.height, false);
            scaled(a.horizontalOffsetN, a.horizontalOffsetD, to.width, from.width, true);
            scaled(a.verticalOffsetN, a.verticalOffsetD, to.height, from.height, true);
        }
    }
    return transforms;
}

// The gain map's grey picture, turned as the primary is (kept in its stored
// orientation when the primary is, cropped with it) and never larger than
// `limit`.
Result<cv::Mat> decodeGainMap(std::span<const std::uint8_t> input, heif::ItemId id, const HeifImageData& primary,
                              bool keepOrientation, cv::Size limit)
{
    Result<HeifImageData> extracted = extract(input, false, ImageRequest{id});
    if (!extracted) {
        return extracted.failure();
    }
    HeifImageData& data = *extracted;
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    outputSize(data, width, height);
    MosaicCanvas canvas(data.rows, data.columns, data.maxCanvasPixels, CV_8UC1);
    if (const Result<void> decoded = decodeTiles(data, canvas, {}); !decoded) {
        return decoded.failure();
    }
    cv::Mat picture = canvas.output(width, height);
    std::vector<ImageTransform> transforms = data.transforms;
    if (!data.greyPicture && transforms.empty()) {
        // The gain map of a 'tmap' item follows the base image.
        transforms =
            gainMapTransforms(primary.transforms, cv::Size(int(primary.width), int(primary.height)), picture.size());
    }
    applyTransforms(picture, transforms, keepOrientation);
    if (picture.cols > limit.width || picture.rows > limit.height) {
        cv::Mat smaller;
        cv::resize(picture, smaller,
                   cv::Size(std::min(picture.cols, limit.width), std::min(picture.rows, limit.height)), 0, 0,
                   cv::INTER_AREA);
        picture = smaller;
    }
    return picture;
}

// The gain-map JPEG of a picture, and its XMP packet: `xmp` with the gain
// map's description. A gain map that cannot be carried gives none, and a
// warning.
GainMapSegments makeGainMap(std::span<const std::uint8_t> input, const GainMapSource& source, const GainMapPlan& plan,
                            const HeifImageData& primary, bool keepOrientation, cv::Size limit,
                            std::vector<std::uint8_t> xmp)
{
    GainMapSegments made;
    try {
        Result<cv::Mat> decoded = decodeGainMap(input, source.id, primary, keepOrientation, limit);
        if (!decoded || decoded->empty()) {
            made.warning = "the HDR gain map is left out: it cannot be decoded" +
                           (decoded ? std::string() : ": " + decoded.failure().detail);
            return made;
        }
        cv::Mat& picture = *decoded;
        if (plan.appleCodes) {
            const std::array<std::uint8_t, 256> table = appleCodeTable(plan.headroom);
            cv::LUT(picture, cv::Mat(1, 256, CV_8UC1, const_cast<std::uint8_t*>(table.data())), picture);
        }
        const EncodedFile grey = writeImage(OutputFormat::Jpg, picture, {}, WriterOptions{kGainMapQuality});
        if (!grey.ok()) {
            made.warning = "the HDR gain map is left out: " + grey.error;
            return made;
        }
        auto image = std::make_shared<const std::vector<std::uint8_t>>(gainMapImage(grey.bytes, plan.metadata));
        if (!addGainMapDirectory(xmp, image->size()) || xmp.size() > kMaxXmpPacket) {
            made.warning =
                "the HDR gain map is left out: the XMP packet has no rdf:RDF to describe it in, or would no "
                "longer fit a JPEG segment";
            return made;
        }
        made.xmp = std::move(xmp);
        made.gainMap = std::move(image);
        made.kind = plan.kind;
    } catch (const std::exception& error) {
        made.warning = "the HDR gain map is left out: " + clause(error.what());
    }
    return made;
}

}  // namespace

// Makes the gain-map JPEG of a JPEG conversion of the primary, before the
// primary is decoded: the primary's XMP lists its length, and its decoder
// is let go of before the primary's starts. Other formats get a note that
// the HDR rendition is not kept. A gain map that cannot be carried leaves
// the plain picture, with a warning.
void carryGainMap(std::span<const std::uint8_t> input, const HeifImageData& data, const ConversionSettings& settings,
                  CarriedMetadata& metadata)
{
    if (!settings.keepHdr || settings.itemId != 0 || settings.frame >= 0 || data.greyPicture ||
        data.skippedPictures != 0 || !metadata.failure.empty()) {
        return;
    }
    auto warn = [&metadata](const std::string& text) {
        metadata.warning += (metadata.warning.empty() ? "" : "; ") + text;
    };
    try {
        const GainMapSource source = findGainMap(input.data(), input.size());
        const GainMapPlan plan = planGainMap(source);
        if (plan.kind == GainMapKind::None || settings.format != OutputFormat::Jpg) {
            if (plan.kind != GainMapKind::None) {
                warn("the HDR gain map is not kept: only JPEG output carries it");
            } else if (!plan.warning.empty()) {
                warn(plan.warning);
            }
            return;
        }
        std::uint32_t width = 0;
        std::uint32_t height = 0;
        outputSize(data, width, height);
        if (std::uint64_t(source.width) * source.height > std::uint64_t(width) * height) {
            warn("the HDR gain map is left out: it has more pixels than the picture");
            return;
        }
        const cv::Size limit = encodedSizeOf(width, height, data.transforms, metadata.keepOrientation, settings.scale);
        GainMapSegments made =
            makeGainMap(input, source, plan, data, metadata.keepOrientation, limit, metadata.metadata.xmp);
        if (!made.gainMap) {
            warn(made.warning);
            return;
        }
        metadata.metadata.xmp = std::move(made.xmp);
        metadata.metadata.gainMap = std::move(made.gainMap);
        metadata.hdr = made.kind;
    } catch (const std::exception& error) {
        warn("the HDR gain map is left out: " + clause(error.what()));
    }
}

}  // namespace ambrel::pipeline
