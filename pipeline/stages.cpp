#include "pipeline/stages.h"

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
#include "pipeline/picture_encoding.h"
#include "pipeline/plan.h"

namespace ambrel::pipeline {

namespace {

// The cause of a failed extraction, for a person.
std::string extractionDetail(std::span<const std::uint8_t> input)
{
    if (input.empty()) {
        return "the file is empty";
    }
    try {
        throw;
    } catch (const NoImageError& error) {
        return error.what();
    } catch (const LimitExceededError& error) {
        return error.what();
    } catch (const std::bad_alloc&) {
        return "out of memory while reading the file";
    } catch (const std::exception& error) {
        if (!startsWithFileTypeBox(input)) {
            return "not a HEIF file";
        }
        if (dynamic_cast<const TruncatedFileError*>(&error) != nullptr) {
            return error.what();
        }
        if (const auto* reader = dynamic_cast<const heif::FileReaderException*>(&error)) {
            return "cannot read the HEIF structure: " + clause(reader->what()) + " (reader error " +
                   std::to_string(reader->getStatusCode()) + ")";
        }
        return "cannot read the HEIF structure: " + clause(error.what());
    }
}

std::string tilesText(std::size_t count)
{
    return std::to_string(count) + (count == 1 ? " tile" : " tiles");
}

// Why the decoded tiles do not fit the canvas of `maxPixels`.
Failure tooLargeFailure(const MosaicCanvas& canvas, std::uint64_t maxPixels)
{
    if (CV_MAT_DEPTH(canvas.cellType()) == CV_16U) {
        // The canvas of 16-bit samples was given half the pixels.
        return Failure{kHeif2JpgDecode, "the decoded tiles would hold more than " + std::to_string(maxPixels / 2) +
                                            " pixels, the limit for 16-bit samples (half that of 8-bit ones)"};
    }
    if (maxPixels < kMaxDecodedPixels) {
        return Failure{kHeif2JpgDecode, "the decoded tiles would hold more than " + std::to_string(maxPixels) +
                                            " pixels, at 3 bytes each more than the memory budget for this file "
                                            "has left"};
    }
    return Failure{kHeif2JpgDecode,
                   "the decoded tiles would hold more than " + std::to_string(kMaxDecodedPixels) + " pixels"};
}

}  // namespace

// A reader text as a clause: without the full stop some of them end in.
std::string clause(std::string text)
{
    while (!text.empty() && (text.back() == '.' || text.back() == ' ')) {
        text.pop_back();
    }
    return text;
}

// The caller's bytes; none when there is no buffer.
std::span<const std::uint8_t> inputBytes(const std::uint8_t* input, std::size_t length)
{
    return input == nullptr ? std::span<const std::uint8_t>() : std::span<const std::uint8_t>(input, length);
}

// The extraction stage. Where the reader and the extraction throw, their
// exceptions become the stage's failure.
Result<HeifImageData> extract(std::span<const std::uint8_t> input, bool keepExif, const ImageRequest& request)
{
    log::setLevel(log::Error);
    try {
        return extractHeifImage(input.data(), input.size(), keepExif, request);
    } catch (const std::exception&) {
        return Failure{kHeif2JpgReadHeif, extractionDetail(input)};
    }
}

// The region of the mosaic that is the image before its transforms.
void outputSize(const HeifImageData& data, std::uint32_t& width, std::uint32_t& height)
{
    width = data.width;
    height = data.height;
    if (!data.isGrid && (width == 0 || height == 0)) {
        // A coded image without 'ispe': all of the decoded picture.
        width = std::numeric_limits<std::uint32_t>::max();
        height = std::numeric_limits<std::uint32_t>::max();
    }
}

namespace {

// Opens the image's decoder, into the canvas's cells, and hands it the tiles
// one packet each, letting go of each tile once it is handed over. Null,
// with `why` set, when no decoder can be opened.
std::optional<DecodeResult> decodeIntoCanvas(HeifImageData& data, MosaicCanvas& canvas,
                                             const ConvertedCallback& cellFilled, std::string& why)
{
    // At most one picture per tile goes into the mosaic. Pictures before the
    // image's own (earlier frames of a sequence) are decoded into its cell and
    // overwritten.
    const std::size_t tileCount = data.tiles.size();
    const std::size_t skipped = data.skippedPictures;
    // The tiles are converted cut to the picture: its edges are theirs.
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    outputSize(data, width, height);
    const CodecSetup setup = codecSetupOf(data);
    std::unique_ptr<PictureDecoder> decoder;
    if (canvas.cellType() == kJpegPlanesCell) {
        decoder = openPlanesDecoder(
            setup,
            [&canvas, skipped, tileCount](std::size_t index, int tileWidth, int tileHeight) {
                index = index > skipped ? index - skipped : 0;
                return index < tileCount ? canvas.planesCell(index, tileWidth, tileHeight) : JpegPlanes();
            },
            cellFilled, why);
    } else {
        decoder = openPictureDecoder(
            setup,
            [&canvas, skipped, tileCount, width, height](std::size_t index, int tileWidth, int tileHeight) {
                index = index > skipped ? index - skipped : 0;
                return index < tileCount ? canvas.regionCell(index, tileWidth, tileHeight, width, height) : cv::Mat();
            },
            cellFilled, why);
    }
    if (!decoder) {
        return std::nullopt;
    }
    bool more = true;
    for (std::size_t i = 0; i < tileCount && more; ++i) {
        const bool own = i < data.tileParamSets.size() && !data.tileParamSets[i].empty();
        more = decoder->send(data.tiles[i], own ? std::span<const std::uint8_t>(data.tileParamSets[i])
                                                : std::span<const std::uint8_t>());
        std::vector<std::uint8_t>().swap(data.tiles[i]);
    }
    if (more) {
        decoder->finish();
    }
    return decoder->result();
}

}  // namespace

// Decodes the image's tiles from memory straight into the canvas, one
// decoder for the image. The record's coded data is let go of on the way.
// `converted`, when given, is called after each picture is in its cell. A
// failure when no usable picture came out.
Result<void> decodeTiles(HeifImageData& data, MosaicCanvas& canvas, const std::function<void(std::size_t)>& converted)
{
    const std::size_t tileCount = data.tiles.size();
    const std::uint64_t maxCanvasPixels = data.maxCanvasPixels;
    const std::size_t skipped = data.skippedPictures;
    const std::string codec = codecName(data.codec);
    std::optional<DecodeResult> decoded;
    std::string notOpened;
    try {
        const auto cellFilled = [&](std::size_t index) {
            canvas.filled(index);
            if (converted) {
                converted(index);
            }
        };
        decoded = decodeIntoCanvas(data, canvas, cellFilled, notOpened);
    } catch (const cv::Exception&) {
        // Tiles that do not line up: the mosaic step fails.
        return Failure{kHeif2JpgUnknown, "the tiles of the grid differ in size"};
    } catch (const std::bad_alloc&) {
        return Failure{kHeif2JpgDecode, "out of memory while decoding the image"};
    } catch (const std::exception& error) {
        return Failure{kHeif2JpgDecode, "the " + codec + " decoder failed: " + clause(error.what())};
    }
    std::vector<std::vector<std::uint8_t>>().swap(data.tiles);
    if (canvas.planesRefused()) {
        // The plan saw tiles of even sides in the file; the decoder gave others.
        return Failure{kHeif2JpgDecode, "the tiles decode to another size than the file gives them"};
    }
    if (!decoded) {
        log::report(log::Warning, "cv::VideoCapture::isOpened returned false ");
        return Failure{kHeif2JpgDecode, notOpened};
    }
    if (skipped > 0 && decoded->pictures <= skipped && !canvas.tooLarge()) {
        return Failure{kHeif2JpgDecode, "the frame cannot be decoded"};
    }
    if (canvas.tooLarge()) {
        return tooLargeFailure(canvas, maxCanvasPixels);
    }
    addWarning(data.warning, decoded->warning);
    if (canvas.tiles() == 0 && !decoded->error.empty()) {
        return Failure{kHeif2JpgDecode, decoded->error};
    }
    if (canvas.tiles() == 0) {
        return Failure{kHeif2JpgDecode, tileCount <= 1 ? "the " + codec + " image data cannot be decoded"
                                                       : "none of the " + tilesText(tileCount) + " can be decoded"};
    }
    return {};
}

// The cause of an exception from the mosaic, transform, scale or encoding
// step, for a person.
std::string pictureDetail(const MosaicCanvas& canvas, const HeifImageData& data)
{
    const std::size_t needed = std::size_t(data.rows) * data.columns;
    try {
        throw;
    } catch (const std::out_of_range&) {
        if (needed == 0) {
            return "the grid has no tiles";
        }
        if (canvas.tiles() < needed) {
            return "only " + std::to_string(canvas.tiles()) + " of the " + tilesText(needed) + " can be decoded";
        }
        return "the decoded tiles do not make up the image";
    } catch (const std::invalid_argument& error) {
        return "the picture cannot be made: " + clause(error.what());
    } catch (const cv::Exception& error) {
        return "image processing failed: " + clause(error.err);
    } catch (const std::bad_alloc&) {
        return "out of memory while making the picture";
    } catch (const std::exception& error) {
        return "the picture cannot be made: " + clause(error.what());
    }
}

// The alpha plane decoded at the colour picture's depth and cut to its size;
// empty, with the reason in `warning`, when it cannot be had.
cv::Mat decodeAlpha(HeifImageData& alpha, int depth, cv::Size size, std::string& warning)
{
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    outputSize(alpha, width, height);
    MosaicCanvas canvas(alpha.rows, alpha.columns, alpha.maxCanvasPixels, CV_MAKETYPE(depth, 1));
    if (const Result<void> decoded = decodeTiles(alpha, canvas, {}); !decoded) {
        warning = "the alpha plane cannot be decoded: " + decoded.failure().detail;
        return {};
    }
    try {
        cv::Mat plane = canvas.output(width, height);
        if (plane.size() != size) {
            warning = "the alpha plane is " + std::to_string(plane.cols) + " x " + std::to_string(plane.rows) +
                      " pixels, not the picture's size, and is left out";
            return {};
        }
        return plane;
    } catch (const std::exception& error) {
        warning = "the alpha plane cannot be decoded: " + clause(error.what());
        return {};
    }
}

void addWarning(std::string& warnings, const std::string& warning)
{
    if (!warning.empty()) {
        warnings += (warnings.empty() ? "" : "; ") + warning;
    }
}

}  // namespace ambrel::pipeline
