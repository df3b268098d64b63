#include "heif2jpg.h"

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <exception>
#include <iostream>
#include <limits>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>
#include <utility>

#include "extraction.h"
#include "hevc_stream.h"
#include "jpeg_encoder.h"
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

// Whether the transforms leave the mosaic's output region as it is: no clean
// aperture, and no turn unless the EXIF orientation takes care of the turns.
bool needsNoPixelWork(const std::vector<ImageTransform>& transforms, bool keepOrientation)
{
    for (const ImageTransform& transform : transforms) {
        if (transform.kind == ImageTransform::Kind::CleanAperture || !keepOrientation) {
            return false;
        }
    }
    return true;
}

// Encodes the mosaic's output region on a thread of its own, band by band as
// the decoder completes rows of tiles. Waits for the first tile to learn the
// region's size; abandons the picture when destroyed before finish().
class BandEncoder
{
public:
    BandEncoder(const heifpipe::MosaicCanvas& canvas, std::uint32_t width, std::uint32_t height, int quality)
        : mCanvas(canvas), mWidth(width), mHeight(height), mQuality(quality)
    {
    }

    ~BandEncoder()
    {
        if (mThread.joinable()) {
            {
                const std::lock_guard lock(mMutex);
                mAbandoned = true;
            }
            mWake.notify_one();
            mThread.join();
        }
    }

    BandEncoder(const BandEncoder&) = delete;
    BandEncoder& operator=(const BandEncoder&) = delete;

    // False when no thread can be had; the caller then encodes at the end.
    bool start()
    {
        try {
            mThread = std::thread([this] { run(); });
            return true;
        } catch (const std::system_error&) {
            return false;
        }
    }

    // Rows 0 .. rows - 1 of the canvas are final.
    void rowsReady(int rows)
    {
        {
            const std::lock_guard lock(mMutex);
            if (rows <= mReady) {
                return;
            }
            mReady = rows;
        }
        mWake.notify_one();
    }

    // Waits for the last band; the JPEG file, empty when encoding failed.
    std::vector<std::uint8_t> finish()
    {
        mThread.join();
        if (mError) {
            std::rethrow_exception(mError);
        }
        return std::move(mJpeg);
    }

private:
    void run()
    {
        try {
            std::optional<heifpipe::JpegEncoder> encoder;
            cv::Mat region;
            int written = 0;
            for (;;) {
                int ready = 0;
                {
                    std::unique_lock lock(mMutex);
                    mWake.wait(lock, [&] { return mAbandoned || mReady > written; });
                    if (mAbandoned) {
                        return;
                    }
                    ready = mReady;
                }
                if (!encoder) {
                    // The canvas exists once a row is ready; its size is fixed.
                    region = mCanvas.region(mWidth, mHeight);
                    if (region.empty()) {
                        return;  // no pixels: the caller reports it
                    }
                    encoder.emplace(region.cols, region.rows, mQuality);
                }
                const int end = std::min(ready, region.rows);
                if (end > written) {
                    encoder->writeRows(region.rowRange(written, end));
                    written = end;
                }
                if (written >= region.rows || encoder->failed()) {
                    mJpeg = encoder->finish();
                    return;
                }
            }
        } catch (...) {
            mError = std::current_exception();
        }
    }

    const heifpipe::MosaicCanvas& mCanvas;
    std::uint32_t mWidth;
    std::uint32_t mHeight;
    int mQuality;
    std::thread mThread;
    std::mutex mMutex;
    std::condition_variable mWake;
    int mReady = 0;
    bool mAbandoned = false;
    std::vector<std::uint8_t> mJpeg;
    std::exception_ptr mError;
};

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

    // The EXIF block and the orientation are settled before decoding: they
    // decide whether the pixels need any work after the mosaic.
    std::vector<std::uint8_t> exif;
    bool keepOrientation = false;
    bool metadataFailed = false;
    try {
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
    } catch (...) {
        metadataFailed = true;  // reported where the picture would be turned
    }
    std::uint32_t width = data.width;
    std::uint32_t height = data.height;
    if (!data.isGrid && (width == 0 || height == 0)) {
        // A coded image without 'ispe': all of the decoded picture.
        width = std::numeric_limits<std::uint32_t>::max();
        height = std::numeric_limits<std::uint32_t>::max();
    }

    // Pictures that go to the encoder as the mosaic has them are encoded band
    // by band while the decoder works on the rest.
    const bool untouched = !metadataFailed && scale == 1.0f && needsNoPixelWork(data.transforms, keepOrientation);
    heifpipe::MosaicCanvas canvas(data.rows, data.columns, heifpipe::kMaxDecodedPixels);
    BandEncoder bands(canvas, width, height, quality);
    bool streaming = false;
    {
        const heifpipe::StreamFileLock lock(tempPath);
        std::vector<std::uint8_t> stream;
        if (!lock.held() || !heifpipe::assemble_hevc_bitstream(data, stream) ||
            !heifpipe::write_hevc_bitstream(tempPath, stream)) {
            return failure(kHeif2JpgWriteStream);
        }
        // At most one picture per tile goes into the mosaic.
        const std::size_t tileCount = data.tiles.size();
        std::vector<std::uint8_t>().swap(data.paramSets);
        std::vector<std::vector<std::uint8_t>>().swap(data.tiles);

        streaming = untouched && bands.start();
        try {
            const heifpipe::DecodeResult decoded = heifpipe::decode_hevc_stream(
                stream.data(), stream.size(),
                [&](std::size_t index, int tileWidth, int tileHeight) {
                    return index < tileCount ? canvas.cell(index, tileWidth, tileHeight) : cv::Mat();
                },
                [&](std::size_t) {
                    if (streaming) {
                        bands.rowsReady(canvas.completeRows());
                    }
                });
            if (!decoded.opened) {
                std::cout << "cv::VideoCapture::isOpened returned false " << std::endl;
            }
        } catch (const cv::Exception&) {
            // Tiles that do not line up: the mosaic step fails below.
            return failure(kHeif2JpgUnknown);
        } catch (...) {
            return failure(kHeif2JpgDecode);
        }
    }
    if (canvas.tiles() == 0 || canvas.tooLarge()) {
        return failure(kHeif2JpgDecode);
    }

    Heif2JpgResult result;
    try {
        if (metadataFailed) {
            return failure(kHeif2JpgUnknown);
        }
        cv::Mat image = canvas.output(width, height);
        std::vector<std::uint8_t> encoded;
        if (streaming) {
            bands.rowsReady(image.rows);
            encoded = bands.finish();
            canvas.release();
            image.release();
            if (encoded.empty()) {
                return failure(kHeif2JpgImencode);
            }
        } else {
            canvas.release();
            heifpipe::applyTransforms(image, data.transforms, keepOrientation);
            image = heifpipe::scaleImage(image, scale);
            if (!heifpipe::encodeJpeg(image, quality, encoded)) {
                return failure(kHeif2JpgImencode);
            }
            image.release();
        }
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

cv::Mat decodeHeifPicture(const std::uint8_t* input, std::size_t length, std::string* message)
{
    const auto fail = [&](std::string_view text) {
        if (message != nullptr) {
            *message = std::string(text);
        }
        return cv::Mat();
    };
    heiflog::setLevel(heiflog::Error);
    HeifImageData data;
    try {
        data = heifpipe::extractHeifImage(input, input == nullptr ? 0 : length, false);
    } catch (...) {
        return fail(kHeif2JpgReadHeif);
    }
    std::uint32_t width = data.width;
    std::uint32_t height = data.height;
    if (!data.isGrid && (width == 0 || height == 0)) {
        width = std::numeric_limits<std::uint32_t>::max();
        height = std::numeric_limits<std::uint32_t>::max();
    }
    heifpipe::MosaicCanvas canvas(data.rows, data.columns, heifpipe::kMaxDecodedPixels);
    try {
        std::vector<std::uint8_t> stream;
        if (!heifpipe::assemble_hevc_bitstream(data, stream)) {
            return fail(kHeif2JpgWriteStream);
        }
        const std::size_t tileCount = data.tiles.size();
        std::vector<std::vector<std::uint8_t>>().swap(data.tiles);
        heifpipe::decode_hevc_stream(stream.data(), stream.size(),
                                     [&](std::size_t index, int tileWidth, int tileHeight) {
                                         return index < tileCount ? canvas.cell(index, tileWidth, tileHeight)
                                                                  : cv::Mat();
                                     });
    } catch (const cv::Exception&) {
        return fail(kHeif2JpgUnknown);
    } catch (...) {
        return fail(kHeif2JpgDecode);
    }
    if (canvas.tiles() == 0 || canvas.tooLarge()) {
        return fail(kHeif2JpgDecode);
    }
    try {
        cv::Mat image = canvas.output(width, height).clone();
        canvas.release();
        heifpipe::applyTransforms(image, data.transforms, false);
        return image;
    } catch (...) {
        return fail(kHeif2JpgUnknown);
    }
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
