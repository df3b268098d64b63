#include "heif2jpg.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <utility>

#include <opencv2/imgcodecs.hpp>

#include "extraction.h"
#include "hevc_stream.h"
#include "jpeg_metadata.h"
#include "log.h"
#include "mosaic.h"

namespace {

Heif2JpgResult failure(std::string_view message)
{
    Heif2JpgResult result;
    result.message = std::string(message);
    return result;
}

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

// Places `bytes` at the start of `output`, zeros after them; nothing when
// they do not fit.
bool handOver(const std::uint8_t* bytes, std::size_t length, std::uint8_t* output, std::int32_t capacity,
              std::int32_t* outputLength)
{
    if (output == nullptr || capacity < 0 || length > static_cast<std::size_t>(capacity)) {
        return false;
    }
    std::memset(output + length, 0, static_cast<std::size_t>(capacity) - length);
    if (length != 0) {
        std::memcpy(output, bytes, length);
    }
    if (outputLength != nullptr) {
        *outputLength = static_cast<std::int32_t>(length);
    }
    return true;
}

void writeMessage(std::string_view message, std::uint8_t* output, std::int32_t capacity, std::int32_t* outputLength)
{
    handOver(reinterpret_cast<const std::uint8_t*>(message.data()), message.size(), output, capacity, outputLength);
}

}  // namespace

Heif2JpgResult convertHeifToJpeg(const std::uint8_t* input, std::size_t length, int quality,
                                 const std::string& tempPath, float scale, bool keepExif)
{
    heiflog::setLevel(heiflog::Error);

    HeifImageData data;
    try {
        data = heifpipe::extractHeifImage(input, input == nullptr ? 0 : length, keepExif);
    } catch (...) {
        return failure(kHeif2JpgReadHeif);
    }

    std::vector<cv::Mat> frames;
    {
        const heifpipe::StreamFileLock lock(tempPath);
        if (!lock.held() || !heifpipe::write_hevc_bitstream(tempPath, data)) {
            return failure(kHeif2JpgWriteStream);
        }
        frames = heifpipe::read_hevc_bitstream_to_mat_vector(tempPath, data.tiles.size());
    }
    if (frames.empty()) {
        return failure(kHeif2JpgDecode);
    }

    Heif2JpgResult result;
    try {
        cv::Mat image = heifpipe::buildMosaic(frames, data.rows, data.columns);
        frames.clear();
        std::uint32_t width = data.width;
        std::uint32_t height = data.height;
        if (!data.isGrid && (width == 0 || height == 0)) {
            // A coded image without 'ispe': all of the decoded picture.
            width = static_cast<std::uint32_t>(image.cols);
            height = static_cast<std::uint32_t>(image.rows);
        }
        image = heifpipe::cropToOutput(image, width, height);

        std::vector<std::uint8_t> exif;
        bool keepOrientation = false;
        if (keepExif) {
            exif = std::move(data.exif);
            if (!exif.empty() && !jpegmeta::fitIntoApp1(exif)) {
                exif.clear();
            }
            if (!exif.empty()) {
                const int tag = jpegmeta::readOrientation(exif);
                keepOrientation = tag != 0 && tag == containerOrientation(data.transforms);
                if (!keepOrientation) {
                    jpegmeta::writeOrientation(exif, 1);
                }
            }
        }
        heifpipe::applyTransforms(image, data.transforms, keepOrientation);
        image = heifpipe::scaleImage(image, scale);

        std::vector<std::uint8_t> encoded;
        if (!cv::imencode(".jpg", image, encoded, {cv::IMWRITE_JPEG_QUALITY, quality})) {
            return failure(kHeif2JpgImencode);
        }
        image.release();
        if (keepExif) {
            encoded = jpegmeta::insertExifSegment(encoded, exif);
        }
        if (!data.iccProfile.empty()) {
            try {
                encoded = jpegmeta::insertIccSegments(encoded, data.iccProfile);
            } catch (const std::length_error&) {
                // A profile beyond 255 APP2 segments is left out.
            }
        }
        result.jpeg = std::move(encoded);
        result.ok = true;
    } catch (...) {
        return failure(kHeif2JpgUnknown);
    }
    return result;
}

void heif2jpg(const std::uint8_t* input, std::int32_t inputLength, std::int32_t quality, std::uint8_t* output,
              std::int32_t outputCapacity, const char* tempPath, float scale, std::int32_t* outputLength,
              bool keepExif)
{
    try {
        const std::size_t length = inputLength > 0 ? static_cast<std::size_t>(inputLength) : 0;
        const Heif2JpgResult result =
            convertHeifToJpeg(input, length, quality, tempPath != nullptr ? tempPath : "", scale, keepExif);
        if (!result.ok) {
            writeMessage(result.message, output, outputCapacity, outputLength);
        } else if (!handOver(result.jpeg.data(), result.jpeg.size(), output, outputCapacity, outputLength)) {
            writeMessage(kHeif2JpgBufferTooSmall, output, outputCapacity, outputLength);
        }
    } catch (...) {
        // Out of memory while copying results: nothing sensible can be
        // written, and the caller sees the length it set.
    }
}
