#include "pipeline/picture_encoding.h"

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
#include "pipeline/gain_map_carry.h"
#include "pipeline/plan.h"
#include "pipeline/stages.h"

namespace ambrel::pipeline {

namespace {

// The EXIF orientation that the container's rotations and mirrors amount to.
int containerOrientation(const std::vector<ImageTransform>& transforms)
{
    std::vector<jpegmeta::Transform> turns;
    for (const ImageTransform& transform : transforms) {
        if (transform.kind == ImageTransform::Kind::Rotate) {
            turns.push_back({jpegmeta::TransformKind::Rotate, static_cast<int>(transform.value)});
        } else if (transform.kind == ImageTransform::Kind::Mirror) {
            // jpegmeta names the mirror by its axis in the picture: 0 the
            // vertical axis (left and right swap), 1 the horizontal axis.
            turns.push_back({jpegmeta::TransformKind::Mirror, transform.value == 0 ? 1 : 0});
        }
    }
    return jpegmeta::orientationForTransforms(turns);
}

std::string scaleDetail(cv::Size size, float scale)
{
    std::ostringstream factor;
    factor << scale;
    return "the picture of " + std::to_string(size.width) + " x " + std::to_string(size.height) +
           " pixels cannot be scaled by " + factor.str();
}

// The colour picture with its alpha plane: four channels with straight
// (not premultiplied) colours, or, with `flatten`, three channels showing the
// picture over white.
template <typename Sample>
void combineRows(const cv::Mat& colour, const cv::Mat& alpha, bool premultiplied, bool flatten, cv::Mat& out)
{
    constexpr float top = float(std::numeric_limits<Sample>::max());
    for (int y = 0; y < colour.rows; ++y) {
        const Sample* c = colour.ptr<Sample>(y);
        const Sample* a = alpha.ptr<Sample>(y);
        Sample* o = out.ptr<Sample>(y);
        for (int x = 0; x < colour.cols; ++x) {
            const float opacity = float(a[x]);
            for (int k = 0; k < 3; ++k) {
                const float value = float(c[3 * x + k]);
                float result = value;
                if (flatten) {
                    // Over white: c a + 1 (1 - a), where premultiplied c a is stored.
                    result = (premultiplied ? value : value * opacity / top) + (top - opacity);
                } else if (premultiplied) {
                    result = opacity > 0.0f ? value * top / opacity : 0.0f;
                }
                o[(flatten ? 3 : 4) * x + k] = cv::saturate_cast<Sample>(result);
            }
            if (!flatten) {
                o[4 * x + 3] = a[x];
            }
        }
    }
}

cv::Mat combineAlpha(const cv::Mat& colour, const cv::Mat& alpha, bool premultiplied, bool flatten)
{
    cv::Mat out(colour.size(), CV_MAKETYPE(colour.depth(), flatten ? 3 : 4));
    if (colour.depth() == CV_16U) {
        combineRows<std::uint16_t>(colour, alpha, premultiplied, flatten, out);
    } else {
        combineRows<std::uint8_t>(colour, alpha, premultiplied, flatten, out);
    }
    return out;
}

// The precision JPEG 2000 keeps of a 16-bit picture: the source's.
int jp2Precision(const HeifImageData& data, const cv::Mat& image)
{
    return image.depth() == CV_16U ? std::clamp<int>(data.bitDepth, 8, 16) : 8;
}

// How the writer encodes the picture.
WriterOptions writerOptions(const HeifImageData& data, const cv::Mat& image, const ConversionSettings& settings)
{
    WriterOptions options;
    options.quality = settings.quality;
    options.precision = jp2Precision(data, image);
    return options;
}

// What of the metadata the picture carries: a grey picture (an auxiliary
// image) none.
WriterMetadata pictureMetadata(const HeifImageData& data, const CarriedMetadata& carried, OutputFormat format,
                               cv::Size size)
{
    if (data.greyPicture) {
        return {};
    }
    return forFormat(carried.metadata, format, static_cast<std::uint32_t>(size.width),
                     static_cast<std::uint32_t>(size.height));
}

// The finished picture in the settings' format.
Result<EncodedPicture> encodePicture(const cv::Mat& image, const HeifImageData& data, const CarriedMetadata& carried,
                                     const ConversionSettings& settings)
{
    EncodedFile file = writeImage(settings.format, image, pictureMetadata(data, carried, settings.format, image.size()),
                                  writerOptions(data, image, settings));
    if (!file.ok()) {
        return Failure{kHeif2JpgImencode, file.error};
    }
    return EncodedPicture{std::move(file.bytes), std::move(file.warning), image.size(), {}};
}

// The file a band writer made, of `size`, and its screen-sized picture,
// turned upright when the pixels keep their stored orientation.
Result<EncodedPicture> finished(ImageWriter& writer, cv::Size size, std::optional<PreviewBuilder>& small,
                                const HeifImageData& data, const CarriedMetadata& metadata)
{
    EncodedFile file = writer.finish();
    if (!file.ok()) {
        return Failure{kHeif2JpgImencode, file.error};
    }
    EncodedPicture encoded{std::move(file.bytes), std::move(file.warning), size, {}};
    if (small) {
        encoded.preview = small->finish();
        if (metadata.keepOrientation) {
            turnUpright(encoded.preview, data.transforms);
        }
    }
    return encoded;
}

// Output rows turned at a time when a picture is encoded band by band.
constexpr int kTransformedBandRows = 128;

// The picture after its transforms and the scale (by a power of two),
// encoded band by band from the untransformed picture in the format's
// encoder, so that the turned picture is never held whole; its screen-sized
// picture when `previewSide` asks for one. JPEG, PNG, TIFF or BMP.
Result<EncodedPicture> encodeTransformedBands(const cv::Mat& image, const HeifImageData& data,
                                              const CarriedMetadata& metadata, const ConversionSettings& settings)
{
    const TransformedBands turned(image, data.transforms, metadata.keepOrientation);
    const cv::Size size = turned.size();
    cv::Size encodedSize;
    try {
        encodedSize = settings.scale == 1.0f ? size : scaledSize(size, settings.scale);
    } catch (const std::invalid_argument&) {
        return Failure{kHeif2JpgUnknown, scaleDetail(size, settings.scale)};
    }
    const std::unique_ptr<ImageWriter> writer = makeWriter(settings.format, writerOptions(data, image, settings));
    writer->begin(encodedSize, PixelLayout::ofType(image.type()),
                  pictureMetadata(data, metadata, settings.format, encodedSize));
    std::optional<PreviewBuilder> small;
    if (settings.previewSide > 0) {
        small.emplace(encodedSize, settings.previewSide);
    }
    const std::function<void(const cv::Mat&)> emit = [&](const cv::Mat& rows) {
        writer->writeRows(rows);
        if (small) {
            small->add(rows);
        }
    };
    std::optional<BandScaler> scaler;
    if (settings.scale != 1.0f) {
        scaler.emplace(settings.scale);
    }
    for (int first = 0; first < size.height; first += kTransformedBandRows) {
        const cv::Mat rows = turned.rows(first, std::min(kTransformedBandRows, size.height - first));
        if (scaler) {
            scaler->add(rows, emit);
        } else {
            emit(rows);
        }
    }
    if (scaler) {
        scaler->finish(emit);
    }
    return finished(*writer, encodedSize, small, data, metadata);
}

// The JPEG of a whole mosaic of planes after its turns and the scale (by a
// power of two), encoded band by band: each band of each plane cut and
// turned on its own.
Result<EncodedPicture> encodeTurnedPlanes(const JpegPlanes& planes, const HeifImageData& data,
                                          const CarriedMetadata& metadata, const ConversionSettings& settings)
{
    const TransformedBands luma(planes.luma, data.transforms, metadata.keepOrientation);
    const TransformedBands cb(planes.cb, data.transforms, metadata.keepOrientation);
    const TransformedBands cr(planes.cr, data.transforms, metadata.keepOrientation);
    const cv::Size size = luma.size();
    cv::Size encodedSize;
    try {
        encodedSize = settings.scale == 1.0f ? size : scaledSize(size, settings.scale);
    } catch (const std::invalid_argument&) {
        return Failure{kHeif2JpgUnknown, scaleDetail(size, settings.scale)};
    }
    const std::unique_ptr<ImageWriter> writer =
        makeWriter(OutputFormat::Jpg, writerOptions(data, planes.luma, settings));
    writer->begin(encodedSize, PixelLayout{Channels::JpegPlanes, 8},
                  pictureMetadata(data, metadata, OutputFormat::Jpg, encodedSize));
    std::optional<PreviewBuilder> small;
    bool fromHalf = false;
    if (settings.previewSide > 0) {
        small.emplace(planesPreview(encodedSize, settings.previewSide, fromHalf));
    }
    const std::function<void(const JpegPlanes&)> emit = [&](const JpegPlanes& band) {
        writer->writePlanes(band.luma, band.cb, band.cr);
        if (small) {
            small->add(planesBgr(band, fromHalf));
        }
    };
    std::optional<PlanesScaler> scaler;
    if (settings.scale != 1.0f) {
        scaler.emplace(settings.scale, encodedSize);
    }
    // Bands of an even number of rows: the chroma's rows are half of them.
    for (int first = 0; first < size.height; first += kTransformedBandRows) {
        const int count = std::min(kTransformedBandRows, size.height - first);
        const JpegPlanes band{luma.rows(first, count), cb.rows(first / 2, count / 2), cr.rows(first / 2, count / 2)};
        if (scaler) {
            scaler->add(band, emit);
        } else {
            emit(band);
        }
    }
    if (scaler) {
        scaler->finish(emit);
    }
    return finished(*writer, encodedSize, small, data, metadata);
}

}  // namespace

CarriedMetadata settleMetadata(HeifImageData& data, bool keepExif, OutputFormat format)
{
    SourceMetadata source{std::move(data.exif), std::move(data.xmp), std::move(data.iccProfile), data.nclx,
                          containerOrientation(data.transforms)};
    return {prepareMetadata(std::move(source), format, keepExif)};
}

// The file of the band encoder that has been streaming the mosaic's output
// region; the canvas is let go of.
Result<EncodedPicture> finishBands(BandEncoder& bands, MosaicCanvas& canvas, std::uint32_t width, std::uint32_t height,
                                   float scale)
{
    const cv::Size size = canvas.outputSize(width, height);
    EncodedPicture encoded;
    encoded.bytes = bands.finish();
    encoded.warning = bands.warning();
    canvas.release();
    if (bands.scaleRefused()) {
        return Failure{kHeif2JpgUnknown, scaleDetail(size, scale)};
    }
    encoded.size = bands.encodedSize();
    if (!bands.failure().empty()) {
        return Failure{kHeif2JpgImencode, bands.failure()};
    }
    return encoded;
}

// Turns the screen-sized picture of a picture kept in its stored
// orientation (its clean apertures applied) so that it displays upright.
void turnUpright(cv::Mat& picture, const std::vector<ImageTransform>& transforms)
{
    for (const ImageTransform& transform : transforms) {
        if (transform.kind == ImageTransform::Kind::Rotate) {
            applyRotation(picture, transform.value);
        } else if (transform.kind == ImageTransform::Kind::Mirror) {
            applyMirror(picture, transform.value);
        }
    }
}

// The picture of the mosaic's output region with its alpha plane, after its
// transforms and the scale, encoded, and its screen-sized picture when
// `previewSide` asks for one; the canvas is let go of.
Result<EncodedPicture> encodeWhole(MosaicCanvas& canvas, const cv::Mat& alpha, const HeifImageData& data,
                                   const CarriedMetadata& metadata, const ConversionSettings& settings)
{
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    outputSize(data, width, height);
    if (canvas.cellType() == kJpegPlanesCell) {
        const JpegPlanes planes = canvas.outputPlanes(width, height);
        canvas.release();
        return encodeTurnedPlanes(planes, data, metadata, settings);
    }
    cv::Mat image = canvas.output(width, height);
    if (!alpha.empty()) {
        image = combineAlpha(image, alpha, data.alphaPremultiplied, !formatInfo(settings.format).alpha);
    }
    canvas.release();
    if (!data.greyPicture && formatInfo(settings.format).streams &&
        (settings.scale == 1.0f || BandScaler::takes(settings.scale))) {
        return encodeTransformedBands(image, data, metadata, settings);
    }
    applyTransforms(image, data.transforms, metadata.keepOrientation);
    try {
        image = scaleImage(image, settings.scale);
    } catch (const std::invalid_argument&) {
        return Failure{kHeif2JpgUnknown, scaleDetail(image.size(), settings.scale)};
    }
    Result<EncodedPicture> encoded = encodePicture(image, data, metadata, settings);
    if (encoded && settings.previewSide > 0) {
        PreviewBuilder builder(image.size(), settings.previewSide);
        builder.add(image);
        encoded->preview = builder.finish();
        if (metadata.keepOrientation) {
            turnUpright(encoded->preview, data.transforms);
        }
    }
    return encoded;
}

}  // namespace ambrel::pipeline
