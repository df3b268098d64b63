#include "pipeline/heif2jpg.h"

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
#include "pipeline/encode/colour_profiles.h"
#include "pipeline/decode/extraction.h"
#include "pipeline/encode/format_encoders.h"
#include "pipeline/encode/gain_map.h"
#include "pipeline/encode/gain_map_jpeg.h"
#include "pipeline/decode/picture_decoder.h"
#include "pipeline/encode/jpeg_encoder.h"
#include "pipeline/encode/jpeg_metadata.h"
#include "pipeline/decode/mosaic.h"
#include "pipeline/encode/xmp_packet.h"

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

// The planes as 8-bit BGR, at the chroma's size or the luma's.
cv::Mat planesBgr(const JpegPlanes& planes, bool half)
{
    std::vector<cv::Mat> channels{planes.luma, planes.cr, planes.cb};
    if (half) {
        cv::resize(planes.luma, channels[0], planes.cb.size(), 0, 0, cv::INTER_AREA);
    } else {
        cv::resize(planes.cr, channels[1], planes.luma.size(), 0, 0, cv::INTER_LINEAR);
        cv::resize(planes.cb, channels[2], planes.luma.size(), 0, 0, cv::INTER_LINEAR);
    }
    cv::Mat ycrcb;
    cv::merge(channels, ycrcb);
    cv::Mat bgr;
    cv::cvtColor(ycrcb, bgr, cv::COLOR_YCrCb2BGR);
    return bgr;
}

// The screen-sized picture of an encoded picture: built from its planes at
// the chroma's size when that is no smaller than the picture (`fromHalf`).
PreviewBuilder planesPreview(cv::Size encoded, std::uint32_t side, bool& fromHalf)
{
    const cv::Size target = boundedSize(encoded, side);
    const cv::Size half((encoded.width + 1) / 2, (encoded.height + 1) / 2);
    fromHalf = target.width <= half.width && target.height <= half.height;
    return PreviewBuilder(fromHalf ? half : encoded, target);
}

// The metadata of a picture encoded at `size`: its EXIF pixel dimensions
// say that size.
JpegSegments sized(JpegSegments segments, cv::Size size)
{
    if (!segments.exif.empty()) {
        jpegmeta::writePixelDimensions(segments.exif, static_cast<std::uint32_t>(size.width),
                                       static_cast<std::uint32_t>(size.height));
    }
    return segments;
}

ImageMetadata sized(ImageMetadata metadata, cv::Size size)
{
    if (!metadata.exif.empty()) {
        std::vector<std::uint8_t> block = {'E', 'x', 'i', 'f', 0, 0};
        block.insert(block.end(), metadata.exif.begin(), metadata.exif.end());
        if (jpegmeta::writePixelDimensions(block, static_cast<std::uint32_t>(size.width),
                                           static_cast<std::uint32_t>(size.height))) {
            metadata.exif.assign(block.begin() + 6, block.end());
        }
    }
    return metadata;
}

// Rows of tiles a streamed conversion holds at once: the one being encoded
// and the one being decoded.
constexpr std::uint32_t kRowsHeld = 2;

// Encodes the mosaic's output region on a thread of its own, band by band as
// the decoder completes rows of tiles, each band scaled first when asked and
// added to the screen-sized picture. Takes each row of tiles from the canvas
// and lets go of it once encoded; the decoder waits before opening a row
// while kRowsHeld rows are held and the encoder has work. Waits for the
// first tile to learn the region's size; abandons the picture when
// destroyed before finish().
class BandEncoder
{
public:
    // A canvas of JPEG planes hands its bands to the encoder as planes.
    // With `lossless`, the bands are written as that format's file instead
    // of a JPEG, with `metadata`.
    BandEncoder(MosaicCanvas& canvas, std::uint32_t width, std::uint32_t height, int quality,
                const JpegSegments& segments, float scale, std::uint32_t previewSide,
                std::optional<LosslessBandWriter::Format> lossless = std::nullopt, const ImageMetadata& metadata = {})
        : mCanvas(canvas), mWidth(width), mHeight(height), mQuality(quality), mSegments(segments), mScale(scale),
          mPreviewSide(previewSide), mPlanes(canvas.cellType() == kJpegPlanesCell), mLossless(lossless),
          mMetadata(metadata)
    {}

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
            mCanvas.setRowOpening([this](std::uint32_t row) { makeRoom(row); });
            return true;
        } catch (const std::system_error&) {
            return false;
        }
    }

    // Rows 0 .. rows - 1 of tiles are complete.
    void rowsReady(std::uint32_t rows)
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
        mCanvas.setRowOpening({});
        if (mError) {
            std::rethrow_exception(mError);
        }
        return std::move(mJpeg);
    }

    // Once finished: what of the metadata the encoder left out; why a
    // lossless file failed (empty for a JPEG); whether the scale leaves the
    // picture without pixels or too large; the size encoded; the
    // screen-sized picture (empty when not asked for).
    const std::string& warning() const { return mWarning; }
    const std::string& failure() const { return mFailure; }
    bool scaleRefused() const { return mScaleRefused; }
    cv::Size regionSize() const { return mRegion; }
    cv::Size encodedSize() const { return mEncoded; }
    cv::Mat& preview() { return mPreview; }

private:
    // Called by the decoder before it opens row `row` of tiles.
    void makeRoom(std::uint32_t row)
    {
        std::unique_lock lock(mMutex);
        // No waiting when the encoder waits for rows itself: the rows may
        // complete in any order.
        mRoom.wait(lock, [&] { return mAbandoned || mDone || row < mTaken + kRowsHeld || mReady <= mTaken; });
    }

    void run()
    {
        try {
            encodeBands();
        } catch (...) {
            mError = std::current_exception();
        }
        {
            const std::lock_guard lock(mMutex);
            mDone = true;
        }
        mRoom.notify_all();
    }

    void encodeBands()
    {
        std::uint32_t needed = 0;
        for (std::uint32_t taken = 0;; ++taken) {
            {
                std::unique_lock lock(mMutex);
                mTaken = taken;
                mRoom.notify_all();
                mWake.wait(lock, [&] { return mAbandoned || mReady > taken; });
                if (mAbandoned) {
                    return;
                }
            }
            if (needed == 0) {
                // The canvas knows its size once a row is ready.
                needed = startEncoding();
                if (needed == 0) {
                    return;
                }
            }
            const bool last = taken + 1 >= needed;
            if (mPlanes) {
                encodePlanes(taken, last);
            } else {
                encodeBand(taken, last);
            }
            if (last || (mEncoder && mEncoder->failed())) {
                break;
            }
        }
        finishFile();
    }

    // Sets the encoder up for the region's size; the rows of tiles it
    // takes, or 0 when it takes none (no pixels, or a scale that leaves
    // none: the caller reports either).
    std::uint32_t startEncoding()
    {
        mRegion = mCanvas.regionSize(mWidth, mHeight);
        if (mRegion.empty()) {
            return 0;
        }
        mEncoded = mRegion;
        if (mScale != 1.0f) {
            try {
                mEncoded = scaledSize(mRegion, mScale);
            } catch (const std::invalid_argument&) {
                mScaleRefused = true;
                return 0;
            }
            if (mPlanes) {
                mPlanesScaler.emplace(mScale, mEncoded);
            } else {
                mScaler.emplace(mScale);
            }
        }
        if (mLossless) {
            mLosslessWriter.emplace(*mLossless, mEncoded, mCanvas.cellType(), sized(mMetadata, mEncoded));
        } else {
            mEncoder.emplace(mEncoded.width, mEncoded.height, mQuality, sized(mSegments, mEncoded),
                             mPlanes ? JpegInput::Planes : JpegInput::Bgr);
        }
        if (mPreviewSide > 0 && mPlanes) {
            mPreviewBuilder.emplace(planesPreview(mEncoded, mPreviewSide, mPreviewFromHalf));
        } else if (mPreviewSide > 0) {
            mPreviewBuilder.emplace(mEncoded, mPreviewSide);
        }
        const int tileHeight = mCanvas.tileSize().height;
        return static_cast<std::uint32_t>((mRegion.height + tileHeight - 1) / tileHeight);
    }

    void encodeBand(std::uint32_t taken, bool last)
    {
        const std::function<void(const cv::Mat&)> emit = [&](const cv::Mat& rows) {
            if (mLosslessWriter) {
                mLosslessWriter->writeRows(rows);
            } else {
                mEncoder->writeRows(rows);
            }
            if (mPreviewBuilder) {
                mPreviewBuilder->add(rows);
            }
        };
        cv::Mat band = mCanvas.takeBand(taken, mWidth, mHeight);
        if (!band.empty()) {
            if (mScaler) {
                mScaler->add(band, emit);
            } else {
                emit(band);
            }
        }
        band.release();
        if (last && mScaler) {
            mScaler->finish(emit);
        }
    }

    void encodePlanes(std::uint32_t taken, bool last)
    {
        const std::function<void(const JpegPlanes&)> emit = [&](const JpegPlanes& planes) {
            mEncoder->writePlanes(planes.luma, planes.cb, planes.cr);
            if (mPreviewBuilder) {
                mPreviewBuilder->add(planesBgr(planes, mPreviewFromHalf));
            }
        };
        const JpegPlanes planes = mCanvas.takePlanes(taken, mWidth, mHeight);
        if (!planes.luma.empty()) {
            if (mPlanesScaler) {
                mPlanesScaler->add(planes, emit);
            } else {
                emit(planes);
            }
        }
        if (last && mPlanesScaler) {
            mPlanesScaler->finish(emit);
        }
    }

    void finishFile()
    {
        if (mLosslessWriter) {
            EncodedFile file = mLosslessWriter->finish();
            mJpeg = std::move(file.bytes);
            mWarning = std::move(file.warning);
            mFailure = std::move(file.error);
        } else {
            mJpeg = mEncoder->finish();
            mWarning = mEncoder->warning();
        }
        if (mPreviewBuilder && !mJpeg.empty()) {
            mPreview = mPreviewBuilder->finish();
        }
    }

    MosaicCanvas& mCanvas;
    std::uint32_t mWidth;
    std::uint32_t mHeight;
    int mQuality;
    const JpegSegments& mSegments;
    float mScale;
    std::uint32_t mPreviewSide;
    bool mPlanes;
    std::optional<LosslessBandWriter::Format> mLossless;
    const ImageMetadata& mMetadata;
    bool mPreviewFromHalf = false;
    // Made on the encoder's thread for the first band.
    std::optional<JpegEncoder> mEncoder;
    std::optional<LosslessBandWriter> mLosslessWriter;
    std::optional<BandScaler> mScaler;
    std::optional<PlanesScaler> mPlanesScaler;
    std::optional<PreviewBuilder> mPreviewBuilder;
    std::thread mThread;
    std::mutex mMutex;
    std::condition_variable mWake;
    std::condition_variable mRoom;
    std::uint32_t mReady = 0;
    std::uint32_t mTaken = 0;
    bool mAbandoned = false;
    bool mDone = false;
    cv::Size mRegion;
    cv::Size mEncoded;
    bool mScaleRefused = false;
    std::vector<std::uint8_t> mJpeg;
    std::string mWarning;
    std::string mFailure;
    cv::Mat mPreview;
    std::exception_ptr mError;
};

// Places `bytes` at the start of `output`, zeros after them; nothing when
// they do not fit.
[[nodiscard]] bool handOver(std::span<const std::uint8_t> bytes, std::uint8_t* output, std::int32_t capacity,
                            std::int32_t* outputLength)
{
    const std::size_t length = bytes.size();
    if (output == nullptr || capacity < 0 || length > static_cast<std::size_t>(capacity)) {
        return false;
    }
    std::memset(output + length, 0, static_cast<std::size_t>(capacity) - length);
    if (length != 0) {
        std::memcpy(output, bytes.data(), length);
    }
    if (outputLength != nullptr) {
        *outputLength = static_cast<std::int32_t>(length);
    }
    return true;
}

// A result text that does not fit is not written.
void writeMessage(std::string_view message, std::uint8_t* output, std::int32_t capacity, std::int32_t* outputLength)
{
    const std::span text(reinterpret_cast<const std::uint8_t*>(message.data()), message.size());
    static_cast<void>(handOver(text, output, capacity, outputLength));
}

}  // namespace

namespace {

// Why a stage failed: its result text and, in English, the cause.
struct StageFailure
{
    std::string_view message;
    std::string detail;
};

// A reader text as a clause: without the full stop some of them end in.
std::string clause(std::string text)
{
    while (!text.empty() && (text.back() == '.' || text.back() == ' ')) {
        text.pop_back();
    }
    return text;
}

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
    } catch (...) {
        return "cannot read the HEIF structure";
    }
}

// The caller's bytes; none when there is no buffer.
std::span<const std::uint8_t> inputBytes(const std::uint8_t* input, std::size_t length)
{
    return input == nullptr ? std::span<const std::uint8_t>() : std::span<const std::uint8_t>(input, length);
}

// The extraction stage; false with `failed` set when it throws.
bool extract(std::span<const std::uint8_t> input, bool keepExif, HeifImageData& data, StageFailure& failed,
             const ImageRequest& request = {})
{
    log::setLevel(log::Error);
    try {
        data = extractHeifImage(input.data(), input.size(), keepExif, request);
        return true;
    } catch (...) {
        failed = {kHeif2JpgReadHeif, extractionDetail(input)};
        return false;
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

std::string tilesText(std::size_t count)
{
    return std::to_string(count) + (count == 1 ? " tile" : " tiles");
}

// Opens the image's decoder, into the canvas's cells, and hands it the tiles
// one packet each, letting go of each tile once it is handed over.
DecodeResult decodeIntoCanvas(HeifImageData& data, MosaicCanvas& canvas, const ConvertedCallback& cellFilled,
                              std::string& why)
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
        return {};
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
    why.clear();
    return decoder->result();
}

// Decodes the image's tiles from memory straight into the canvas, one
// decoder for the image. The record's coded data is let go of on the way.
// `converted`, when given, is called after each picture is in its cell.
// False with `failed` set when no usable picture came out.
bool decodeTiles(HeifImageData& data, MosaicCanvas& canvas, const std::function<void(std::size_t)>& converted,
                 StageFailure& failed, bool* planesRefused = nullptr)
{
    const std::size_t tileCount = data.tiles.size();
    const std::uint64_t maxCanvasPixels = data.maxCanvasPixels;
    const std::size_t skipped = data.skippedPictures;
    const std::string codec = codecName(data.codec);
    DecodeResult decoded;
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
        failed = {kHeif2JpgUnknown, "the tiles of the grid differ in size"};
        return false;
    } catch (const std::bad_alloc&) {
        failed = {kHeif2JpgDecode, "out of memory while decoding the image"};
        return false;
    } catch (const std::exception& error) {
        failed = {kHeif2JpgDecode, "the " + codec + " decoder failed: " + clause(error.what())};
        return false;
    }
    std::vector<std::vector<std::uint8_t>>().swap(data.tiles);
    if (decoded.refused || canvas.planesRefused()) {
        // Not an error of the file: the caller decodes it again another way.
        failed = {kHeif2JpgDecode, "the pictures cannot be encoded as they are coded"};
        if (planesRefused != nullptr) {
            *planesRefused = true;
        }
        return false;
    }
    if (!notOpened.empty()) {
        log::report(log::Warning, "cv::VideoCapture::isOpened returned false ");
        failed = {kHeif2JpgDecode, notOpened};
        return false;
    }
    if (skipped > 0 && decoded.pictures <= skipped && !canvas.tooLarge()) {
        failed = {kHeif2JpgDecode, "the frame cannot be decoded"};
        return false;
    }
    if (canvas.tooLarge()) {
        if (CV_MAT_DEPTH(canvas.cellType()) == CV_16U) {
            // The canvas of 16-bit samples was given half the pixels.
            failed = {kHeif2JpgDecode, "the decoded tiles would hold more than " + std::to_string(maxCanvasPixels / 2) +
                                           " pixels, the limit for 16-bit samples (half that of 8-bit ones)"};
        } else if (maxCanvasPixels < kMaxDecodedPixels) {
            failed = {kHeif2JpgDecode, "the decoded tiles would hold more than " + std::to_string(maxCanvasPixels) +
                                           " pixels, at 3 bytes each more than the memory budget for this file "
                                           "has left"};
        } else {
            failed = {kHeif2JpgDecode,
                      "the decoded tiles would hold more than " + std::to_string(kMaxDecodedPixels) + " pixels"};
        }
        return false;
    }
    if (canvas.tiles() == 0) {
        failed = {kHeif2JpgDecode, tileCount <= 1 ? "the " + codec + " image data cannot be decoded"
                                                  : "none of the " + tilesText(tileCount) + " can be decoded"};
        return false;
    }
    return true;
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
    } catch (...) {
        return "the picture cannot be made";
    }
}

// The metadata to carry and whether the pixels keep their stored
// orientation. Settled before decoding: they decide whether the pixels need
// any work after the mosaic.
struct CarriedMetadata
{
    std::vector<std::uint8_t> exif;  // "Exif" 00 00 and the TIFF data
    std::vector<std::uint8_t> xmp;
    std::vector<std::uint8_t> icc;
    bool srgb = false;                // no profile, and the picture's colours are sRGB's
    jpegmeta::Resolution resolution;  // the EXIF block's, 72 pixels an inch without one
    bool exifLeftOut = false;         // too large for a JPEG: no EXIF segment
    bool keepOrientation = false;
    // Why the block cannot be carried; reported where the picture would be
    // turned.
    std::string failure;
    std::string warning;  // what of the metadata is left out
    // A JPEG's gain-map JPEG (its description is in `xmp`), and its kind.
    std::shared_ptr<const std::vector<std::uint8_t>> gainMap;
    GainMapKind hdr = GainMapKind::None;
};

// EXIF blocks larger than this are left out: every output holds a copy or
// two while it is written. Real blocks are a few hundred kilobytes at most,
// with a maker note and a thumbnail.
constexpr std::size_t kMaxCarriedExif = std::size_t(16) << 20;

// The EXIF block and the XMP packet, their orientation set to 1 where the
// pixels are turned, without the XMP description of a gain map the output
// does not have. Only a JPEG may keep the stored orientation: the other
// formats are always written upright (not every reader of PNG or JPEG 2000
// honours an EXIF orientation, and TIFF writers and readers disagree on it).
// Only a JPEG's segment limits the block's size, besides kMaxCarriedExif.
void settleExifAndXmp(HeifImageData& data, bool keepExif, bool jpeg, CarriedMetadata& metadata)
{
    if (!keepExif) {
        return;
    }
    const bool mayKeepOrientation = jpeg;
    try {
        metadata.exif = std::move(data.exif);
        metadata.xmp = std::move(data.xmp);
        metadata.resolution = jpegmeta::readResolution(metadata.exif);
        if (!metadata.xmp.empty()) {
            xmp::removeGainMap(metadata.xmp);
        }
        if (metadata.exif.size() > kMaxCarriedExif) {
            metadata.warning = "the Exif block of " + std::to_string(metadata.exif.size()) +
                               " bytes is larger than the " + std::to_string(kMaxCarriedExif) +
                               " carried and is left out";
        } else if (jpeg && !metadata.exif.empty() && !jpegmeta::fitIntoApp1(metadata.exif)) {
            metadata.warning = "the Exif block is larger than a JPEG segment holds and is left out";
        }
        if (!metadata.warning.empty()) {
            metadata.exif.clear();
            metadata.exifLeftOut = true;
        }
        if (!metadata.exif.empty()) {
            const int tag = jpegmeta::readOrientation(metadata.exif);
            metadata.keepOrientation = mayKeepOrientation && tag != 0 && tag == containerOrientation(data.transforms);
            // Every Orientation entry says the same, in one value: the one
            // kept, or 1 for turned pixels.
            jpegmeta::writeOrientation(metadata.exif, metadata.keepOrientation ? tag : 1);
        }
        if (!metadata.keepOrientation && !metadata.xmp.empty()) {
            xmp::setOrientation(metadata.xmp, 1);
        }
    } catch (const std::exception& error) {
        metadata.failure = "the Exif block cannot be updated: " + clause(error.what());
    } catch (...) {
        metadata.failure = "the Exif block cannot be updated";
    }
}

// The image's ICC profile; without one, the standard profile of its 'nclx'
// colours, or the sRGB mark where they are sRGB's.
void settleColour(HeifImageData& data, CarriedMetadata& metadata)
{
    metadata.icc = std::move(data.iccProfile);
    if (!metadata.icc.empty() || !data.nclx) {
        return;
    }
    if (isSrgbColour(*data.nclx)) {
        metadata.srgb = true;
        return;
    }
    std::string why;
    metadata.icc = standardProfileFor(*data.nclx, &why);
    if (metadata.icc.empty() && !why.empty()) {
        metadata.warning += (metadata.warning.empty() ? "" : "; ") + why;
    }
}

CarriedMetadata settleMetadata(HeifImageData& data, bool keepExif, bool jpeg)
{
    CarriedMetadata metadata;
    settleExifAndXmp(data, keepExif, jpeg, metadata);
    settleColour(data, metadata);
    return metadata;
}

StageFailure encoderFailure(cv::Size size)
{
    return StageFailure{kHeif2JpgImencode, "the JPEG encoder cannot encode a picture of " + std::to_string(size.width) +
                                               " x " + std::to_string(size.height) + " pixels"};
}

std::string scaleDetail(cv::Size size, float scale)
{
    std::ostringstream factor;
    factor << scale;
    return "the picture of " + std::to_string(size.width) + " x " + std::to_string(size.height) +
           " pixels cannot be scaled by " + factor.str();
}

// The JPEG of the band encoder that has been streaming the mosaic's output
// region; the canvas is let go of.
std::optional<StageFailure> finishBands(BandEncoder& bands, MosaicCanvas& canvas, std::uint32_t width,
                                        std::uint32_t height, float scale, std::vector<std::uint8_t>& encoded,
                                        std::string& warning, cv::Size& encodedSize)
{
    const cv::Size size = canvas.outputSize(width, height);
    encoded = bands.finish();
    warning = bands.warning();
    canvas.release();
    if (bands.scaleRefused()) {
        return StageFailure{kHeif2JpgUnknown, scaleDetail(size, scale)};
    }
    encodedSize = bands.encodedSize();
    if (!bands.failure().empty()) {
        return StageFailure{kHeif2JpgImencode, bands.failure()};
    }
    if (encoded.empty()) {
        return encoderFailure(encodedSize);
    }
    return std::nullopt;
}

// Whether the picture is made with 16-bit samples.
bool sixteenBitPicture(const HeifImageData& data, const ConversionSettings& settings)
{
    if (data.greyPicture && data.bitDepth > 8 && settings.format != OutputFormat::Jpg &&
        settings.format != OutputFormat::Bmp) {
        return true;  // auxiliary data of more than 8 bits keeps its precision
    }
    if (settings.depth < 16) {
        return false;
    }
    switch (settings.format) {
    case OutputFormat::Png:
    case OutputFormat::Tiff: return true;
    case OutputFormat::Jpeg2000: return data.bitDepth > 8;
    case OutputFormat::Jpg:
    case OutputFormat::Bmp: return false;
    }
    return false;
}

bool holdsAlpha(OutputFormat format)
{
    return format == OutputFormat::Png || format == OutputFormat::Tiff || format == OutputFormat::Jpeg2000;
}

// The alpha plane decoded at the colour picture's depth and cut to its size;
// empty, with the reason in `warning`, when it cannot be had.
cv::Mat decodeAlpha(HeifImageData& alpha, int depth, cv::Size size, std::string& warning)
{
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    outputSize(alpha, width, height);
    MosaicCanvas canvas(alpha.rows, alpha.columns, alpha.maxCanvasPixels, CV_MAKETYPE(depth, 1));
    StageFailure failed;
    if (!decodeTiles(alpha, canvas, {}, failed)) {
        warning = "the alpha plane cannot be decoded: " + failed.detail;
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

// The TIFF block an EXIF segment carries: without "Exif" 00 00.
std::vector<std::uint8_t> tiffBlock(const std::vector<std::uint8_t>& exif)
{
    constexpr std::size_t kHeader = 6;
    if (exif.size() <= kHeader) {
        return {};
    }
    return {exif.begin() + kHeader, exif.end()};
}

// The precision JPEG 2000 keeps of a 16-bit picture: the source's.
int jp2Precision(const HeifImageData& data, const cv::Mat& image)
{
    return image.depth() == CV_16U ? std::clamp<int>(data.bitDepth, 8, 16) : 8;
}

// The segments of a JPEG: the EXIF segment in place of the JFIF segment when
// the EXIF block is kept (empty for a file without one) and fits; the JFIF
// segment, with the resolution as its density, otherwise.
JpegSegments jpegSegments(const CarriedMetadata& metadata, bool keepExif)
{
    JpegSegments segments;
    segments.exifSegment = keepExif && !metadata.exifLeftOut;
    segments.exif = metadata.exif;
    segments.xmp = metadata.xmp;
    segments.icc = metadata.icc;
    segments.density = metadata.resolution;
    segments.gainMap = metadata.gainMap;
    return segments;
}

// The finished picture in the settings' format.
// What a format other than JPEG carries of the metadata.
ImageMetadata formatMetadata(const CarriedMetadata& carried)
{
    ImageMetadata metadata;
    metadata.icc = carried.icc;
    metadata.srgb = carried.srgb;
    metadata.exif = tiffBlock(carried.exif);
    metadata.xmp = carried.xmp;
    metadata.resolution = carried.resolution;
    return metadata;
}

std::optional<StageFailure> encodePicture(const cv::Mat& image, const HeifImageData& data,
                                          const CarriedMetadata& carried, const ConversionSettings& settings,
                                          std::vector<std::uint8_t>& encoded, std::string& warning)
{
    if (data.greyPicture) {
        EncodedFile grey;
        switch (settings.format) {
        case OutputFormat::Jpg: grey = encodeGreyJpeg(image, settings.quality); break;
        case OutputFormat::Png: grey = encodeGreyPng(image); break;
        case OutputFormat::Tiff: grey = encodeGreyTiff(image); break;
        case OutputFormat::Jpeg2000: grey = encodeGreyJp2(image, settings.quality, jp2Precision(data, image)); break;
        case OutputFormat::Bmp: grey = encodeGreyBmp(image); break;
        }
        if (!grey.ok()) {
            return StageFailure{kHeif2JpgImencode, grey.error};
        }
        encoded = std::move(grey.bytes);
        return std::nullopt;
    }
    if (settings.format == OutputFormat::Jpg) {
        if (!encodeJpeg(image, settings.quality, encoded, sized(jpegSegments(carried, settings.keepExif), image.size()),
                        &warning)) {
            return encoderFailure(image.size());
        }
        return std::nullopt;
    }
    const ImageMetadata metadata = sized(formatMetadata(carried), image.size());
    EncodedFile file;
    switch (settings.format) {
    case OutputFormat::Png: file = encodePng(image, metadata); break;
    case OutputFormat::Tiff: file = encodeTiff(image, metadata); break;
    case OutputFormat::Jpeg2000: file = encodeJp2(image, metadata, settings.quality, jp2Precision(data, image)); break;
    case OutputFormat::Bmp: file = encodeBmp(image, metadata); break;
    case OutputFormat::Jpg: break;
    }
    if (!file.ok()) {
        return StageFailure{kHeif2JpgImencode, file.error};
    }
    encoded = std::move(file.bytes);
    warning = std::move(file.warning);
    return std::nullopt;
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

// The writer that takes a picture of the format band by band, for the
// formats other than JPEG that have one.
std::optional<LosslessBandWriter::Format> bandFormat(OutputFormat format)
{
    switch (format) {
    case OutputFormat::Png: return LosslessBandWriter::Format::Png;
    case OutputFormat::Tiff: return LosslessBandWriter::Format::Tiff;
    case OutputFormat::Bmp: return LosslessBandWriter::Format::Bmp;
    case OutputFormat::Jpg:
    case OutputFormat::Jpeg2000: break;
    }
    return std::nullopt;
}

// Output rows turned at a time when a picture is encoded band by band.
constexpr int kTransformedBandRows = 128;

// The picture after its transforms and the scale (by a power of two),
// encoded band by band from the untransformed picture in the format's
// encoder, so that the turned picture is never held whole; its screen-sized
// picture when `previewSide` asks for one. JPEG, PNG, TIFF or BMP.
std::optional<StageFailure> encodeTransformedBands(const cv::Mat& image, const HeifImageData& data,
                                                   const CarriedMetadata& metadata, const ConversionSettings& settings,
                                                   std::vector<std::uint8_t>& encoded, std::string& warning,
                                                   cv::Size& encodedSize, cv::Mat& preview)
{
    const TransformedBands turned(image, data.transforms, metadata.keepOrientation);
    const cv::Size size = turned.size();
    try {
        encodedSize = settings.scale == 1.0f ? size : scaledSize(size, settings.scale);
    } catch (const std::invalid_argument&) {
        return StageFailure{kHeif2JpgUnknown, scaleDetail(size, settings.scale)};
    }
    const bool jpeg = settings.format == OutputFormat::Jpg;
    std::optional<JpegEncoder> jpegEncoder;
    std::optional<LosslessBandWriter> lossless;
    if (jpeg) {
        jpegEncoder.emplace(encodedSize.width, encodedSize.height, settings.quality,
                            sized(jpegSegments(metadata, settings.keepExif), encodedSize));
    } else {
        lossless.emplace(*bandFormat(settings.format), encodedSize, image.type(),
                         sized(formatMetadata(metadata), encodedSize));
    }
    std::optional<PreviewBuilder> small;
    if (settings.previewSide > 0) {
        small.emplace(encodedSize, settings.previewSide);
    }
    const std::function<void(const cv::Mat&)> emit = [&](const cv::Mat& rows) {
        if (jpegEncoder) {
            jpegEncoder->writeRows(rows);
        } else {
            lossless->writeRows(rows);
        }
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
    if (jpegEncoder) {
        encoded = jpegEncoder->finish();
        warning = jpegEncoder->warning();
        if (encoded.empty()) {
            return encoderFailure(encodedSize);
        }
    } else {
        EncodedFile file = lossless->finish();
        if (!file.ok()) {
            return StageFailure{kHeif2JpgImencode, file.error};
        }
        encoded = std::move(file.bytes);
        warning = std::move(file.warning);
    }
    if (small) {
        preview = small->finish();
        if (metadata.keepOrientation) {
            turnUpright(preview, data.transforms);
        }
    }
    return std::nullopt;
}

// Whether a whole mosaic of JPEG planes can be turned and encoded as planes:
// turns and mirrors only (an aperture could cut the chroma between its
// samples), of a picture of even sides.
bool planesTurnable(const std::vector<ImageTransform>& transforms)
{
    return std::none_of(transforms.begin(), transforms.end(), [](const ImageTransform& transform) {
        return transform.kind == ImageTransform::Kind::CleanAperture;
    });
}

// The JPEG of a whole mosaic of planes after its turns and the scale (by a
// power of two), encoded band by band: each band of each plane cut and
// turned on its own.
std::optional<StageFailure> encodeTurnedPlanes(const JpegPlanes& planes, const HeifImageData& data,
                                               const CarriedMetadata& metadata, const ConversionSettings& settings,
                                               std::vector<std::uint8_t>& encoded, std::string& warning,
                                               cv::Size& encodedSize, cv::Mat& preview)
{
    const TransformedBands luma(planes.luma, data.transforms, metadata.keepOrientation);
    const TransformedBands cb(planes.cb, data.transforms, metadata.keepOrientation);
    const TransformedBands cr(planes.cr, data.transforms, metadata.keepOrientation);
    const cv::Size size = luma.size();
    try {
        encodedSize = settings.scale == 1.0f ? size : scaledSize(size, settings.scale);
    } catch (const std::invalid_argument&) {
        return StageFailure{kHeif2JpgUnknown, scaleDetail(size, settings.scale)};
    }
    JpegEncoder encoder(encodedSize.width, encodedSize.height, settings.quality,
                        sized(jpegSegments(metadata, settings.keepExif), encodedSize), JpegInput::Planes);
    std::optional<PreviewBuilder> small;
    bool fromHalf = false;
    if (settings.previewSide > 0) {
        small.emplace(planesPreview(encodedSize, settings.previewSide, fromHalf));
    }
    const std::function<void(const JpegPlanes&)> emit = [&](const JpegPlanes& band) {
        encoder.writePlanes(band.luma, band.cb, band.cr);
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
    encoded = encoder.finish();
    warning = encoder.warning();
    if (encoded.empty()) {
        return encoderFailure(encodedSize);
    }
    if (small) {
        preview = small->finish();
        if (metadata.keepOrientation) {
            turnUpright(preview, data.transforms);
        }
    }
    return std::nullopt;
}

// The picture of the mosaic's output region with its alpha plane, after its
// transforms and the scale, encoded, and its screen-sized picture when
// `previewSide` asks for one; the canvas is let go of.
std::optional<StageFailure> encodeWhole(MosaicCanvas& canvas, const cv::Mat& alpha, const HeifImageData& data,
                                        const CarriedMetadata& metadata, const ConversionSettings& settings,
                                        std::vector<std::uint8_t>& encoded, std::string& warning, cv::Size& encodedSize,
                                        cv::Mat& preview)
{
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    outputSize(data, width, height);
    if (canvas.cellType() == kJpegPlanesCell) {
        const JpegPlanes planes = canvas.outputPlanes(width, height);
        canvas.release();
        return encodeTurnedPlanes(planes, data, metadata, settings, encoded, warning, encodedSize, preview);
    }
    cv::Mat image = canvas.output(width, height);
    if (!alpha.empty()) {
        image = combineAlpha(image, alpha, data.alphaPremultiplied, !holdsAlpha(settings.format));
    }
    canvas.release();
    if (!data.greyPicture && (settings.format == OutputFormat::Jpg || bandFormat(settings.format)) &&
        (settings.scale == 1.0f || BandScaler::takes(settings.scale))) {
        return encodeTransformedBands(image, data, metadata, settings, encoded, warning, encodedSize, preview);
    }
    applyTransforms(image, data.transforms, metadata.keepOrientation);
    try {
        image = scaleImage(image, settings.scale);
    } catch (const std::invalid_argument&) {
        return StageFailure{kHeif2JpgUnknown, scaleDetail(image.size(), settings.scale)};
    }
    encodedSize = image.size();
    std::optional<StageFailure> notEncoded = encodePicture(image, data, metadata, settings, encoded, warning);
    if (!notEncoded && settings.previewSide > 0) {
        PreviewBuilder builder(image.size(), settings.previewSide);
        builder.add(image);
        preview = builder.finish();
        if (metadata.keepOrientation) {
            turnUpright(preview, data.transforms);
        }
    }
    return notEncoded;
}

void addWarning(std::string& warnings, const std::string& warning)
{
    if (!warning.empty()) {
        warnings += (warnings.empty() ? "" : "; ") + warning;
    }
}

// The settings with the scale lowered so that the longer side, `longer`
// pixels before scaling, is at most maxSide after it; never raised.
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
// `limit`; empty, with the reason in `why`, when it cannot be decoded.
cv::Mat decodeGainMap(std::span<const std::uint8_t> input, heif::ItemId id, const HeifImageData& primary,
                      bool keepOrientation, cv::Size limit, std::string& why)
{
    HeifImageData data;
    StageFailure failure;
    if (!extract(input, false, data, failure, ImageRequest{id})) {
        why = failure.detail;
        return {};
    }
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    outputSize(data, width, height);
    MosaicCanvas canvas(data.rows, data.columns, data.maxCanvasPixels, CV_8UC1);
    if (!decodeTiles(data, canvas, {}, failure)) {
        why = failure.detail;
        return {};
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
        std::string why;
        cv::Mat picture = decodeGainMap(input, source.id, primary, keepOrientation, limit, why);
        if (picture.empty()) {
            made.warning = "the HDR gain map is left out: it cannot be decoded" + (why.empty() ? "" : ": " + why);
            return made;
        }
        if (plan.appleCodes) {
            const std::array<std::uint8_t, 256> table = appleCodeTable(plan.headroom);
            cv::LUT(picture, cv::Mat(1, 256, CV_8UC1, const_cast<std::uint8_t*>(table.data())), picture);
        }
        const EncodedFile grey = encodeGreyJpeg(picture, kGainMapQuality);
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
    } catch (...) {
        made.warning = "the HDR gain map is left out";
    }
    return made;
}

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
        GainMapSegments made = makeGainMap(input, source, plan, data, metadata.keepOrientation, limit, metadata.xmp);
        if (!made.gainMap) {
            warn(made.warning);
            return;
        }
        metadata.xmp = std::move(made.xmp);
        metadata.gainMap = std::move(made.gainMap);
        metadata.hdr = made.kind;
    } catch (const std::exception& error) {
        warn("the HDR gain map is left out: " + clause(error.what()));
    } catch (...) {
        warn("the HDR gain map is left out");
    }
}

ConvertedFile failed(const StageFailure& stage)
{
    ConvertedFile file;
    file.message = std::string(stage.message);
    file.detail = stage.detail;
    return file;
}

// The conversion. With `planesAllowed`, a JPEG streamed at its own size is
// encoded from the decoded planes as they are; when the pictures turn out
// not to allow that, `planesRefused` is set and nothing is converted.
ConvertedFile convertImage(const std::uint8_t* input, std::size_t length, const ConversionSettings& requested,
                           bool planesAllowed, bool& planesRefused)
{
    HeifImageData data;
    StageFailure failure;
    if (!extract(inputBytes(input, length), requested.keepExif, data, failure,
                 ImageRequest{requested.itemId, requested.frame})) {
        return failed(failure);
    }
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    outputSize(data, width, height);
    // The longer side is the same before and after a quarter turn, so the
    // bound on it becomes a smaller scale here.
    ConversionSettings settings = boundedBySide(requested, std::max(width, height));
    // The encoded picture's size as cv::resize rounds it.
    const double scaledPixels =
        double(cvRound(width * double(settings.scale))) * double(cvRound(height * double(settings.scale)));
    if (scaledPixels <= double(settings.previewMinPixels)) {
        settings.previewSide = 0;
    }
    const bool jpeg = settings.format == OutputFormat::Jpg;
    CarriedMetadata metadata = settleMetadata(data, settings.keepExif, jpeg);
    carryGainMap(inputBytes(input, length), data, settings, metadata);

    // Pictures that go to the encoder as the mosaic has them, or scaled by a
    // power of two, are encoded band by band while the decoder works on the
    // rest, and the mosaic holds only the rows of tiles in flight.
    const std::optional<LosslessBandWriter::Format> lossless = bandFormat(settings.format);
    const bool untouched = (jpeg || lossless) && !data.alpha && !data.greyPicture && data.skippedPictures == 0 &&
                           metadata.failure.empty() && (settings.scale == 1.0f || BandScaler::takes(settings.scale)) &&
                           needsNoPixelWork(data.transforms, metadata.keepOrientation);
    const bool sixteen = sixteenBitPicture(data, settings);
    // The pictures' planes go to the encoder as they are (scaled when
    // asked): no conversion to BGR and back.
    const bool planes = untouched && jpeg && planesAllowed;
    // A JPEG whose pixels are turned is decoded into a whole mosaic of
    // planes and turned band by band as planes.
    const bool turnedPlanes = !untouched && jpeg && planesAllowed && !data.alpha && !data.greyPicture &&
                              data.skippedPictures == 0 && metadata.failure.empty() &&
                              (settings.scale == 1.0f || BandScaler::takes(settings.scale)) &&
                              planesTurnable(data.transforms);
    // 16-bit samples take twice the memory the budget counted.
    const int channels = data.greyPicture ? 1 : 3;
    const std::uint64_t canvasPixels = sixteen ? data.maxCanvasPixels / 2 : data.maxCanvasPixels;
    const int cellType = CV_MAKETYPE(sixteen ? CV_16U : CV_8U, channels);
    MosaicCanvas canvas(data.rows, data.columns, canvasPixels, planes || turnedPlanes ? kJpegPlanesCell : cellType,
                        untouched ? MosaicCanvas::Storage::RowsInFlight : MosaicCanvas::Storage::Whole);
    const JpegSegments segments = jpegSegments(metadata, settings.keepExif);
    const ImageMetadata losslessMetadata = lossless ? formatMetadata(metadata) : ImageMetadata{};
    BandEncoder bands(canvas, width, height, settings.quality, segments, settings.scale, settings.previewSide,
                      jpeg ? std::nullopt : lossless, losslessMetadata);
    const bool streaming = untouched && bands.start();
    if (untouched && !streaming) {
        // No thread: the whole mosaic is kept and encoded at the end.
        canvas = MosaicCanvas(data.rows, data.columns, canvasPixels, cellType);
    }
    if (!decodeTiles(
            data, canvas,
            [&](std::size_t) {
                if (streaming) {
                    bands.rowsReady(canvas.completeTileRows());
                }
            },
            failure, &planesRefused)) {
        return failed(failure);
    }
    if (!metadata.failure.empty()) {
        return failed(StageFailure{kHeif2JpgUnknown, metadata.failure});
    }
    if (turnedPlanes) {
        // A side of an odd number of pixels would turn its chroma out of
        // step with its luma: converted again through BGR.
        const cv::Size region = canvas.regionSize(width, height);
        if (region.width % 2 != 0 || region.height % 2 != 0) {
            planesRefused = true;
            return {};
        }
    }

    ConvertedFile file;
    addWarning(file.warning, metadata.warning);
    try {
        cv::Mat alpha;
        if (data.alpha && !streaming) {
            std::string alphaWarning;
            alpha =
                decodeAlpha(*data.alpha, sixteen ? CV_16U : CV_8U, canvas.output(width, height).size(), alphaWarning);
            addWarning(file.warning, alphaWarning);
        }
        std::string encoderWarning;
        cv::Size encodedSize;
        std::optional<StageFailure> notEncoded;
        if (streaming) {
            notEncoded =
                finishBands(bands, canvas, width, height, settings.scale, file.bytes, encoderWarning, encodedSize);
            // The bands kept the stored orientation; the small picture is turned.
            file.preview = std::move(bands.preview());
            if (!file.preview.empty()) {
                turnUpright(file.preview, data.transforms);
            }
        } else {
            notEncoded = encodeWhole(canvas, alpha, data, metadata, settings, file.bytes, encoderWarning, encodedSize,
                                     file.preview);
        }
        if (notEncoded) {
            return failed(*notEncoded);
        }
        file.width = static_cast<std::uint32_t>(encodedSize.width);
        file.height = static_cast<std::uint32_t>(encodedSize.height);
        addWarning(file.warning, encoderWarning);
        file.hdr = gainMapKindName(metadata.hdr);  // carryGainMap made sure its description fits
        file.ok = true;
        return file;
    } catch (...) {
        return failed(StageFailure{kHeif2JpgUnknown, pictureDetail(canvas, data)});
    }
}

}  // namespace

ConvertedFile convertHeif(const std::uint8_t* input, std::size_t length, const ConversionSettings& requested)
{
    bool planesRefused = false;
    ConvertedFile file = convertImage(input, length, requested, true, planesRefused);
    if (planesRefused) {
        file = convertImage(input, length, requested, false, planesRefused);
    }
    return file;
}

Heif2JpgResult convertHeifToJpeg(const std::uint8_t* input, std::size_t length, int quality, float scale, bool keepExif)
{
    ConversionSettings settings;
    settings.quality = quality;
    settings.scale = scale;
    settings.keepExif = keepExif;
    ConvertedFile file = convertHeif(input, length, settings);
    Heif2JpgResult result;
    result.ok = file.ok;
    result.jpeg = std::move(file.bytes);
    result.message = std::move(file.message);
    result.detail = std::move(file.detail);
    return result;
}

cv::Mat decodeHeifPicture(const std::uint8_t* input, std::size_t length, std::string* message, std::string* detail)
{
    const auto fail = [&](const StageFailure& failed) {
        if (message != nullptr) {
            *message = std::string(failed.message);
        }
        if (detail != nullptr) {
            *detail = failed.detail;
        }
        return cv::Mat();
    };
    HeifImageData data;
    StageFailure failed;
    if (!extract(inputBytes(input, length), false, data, failed)) {
        return fail(failed);
    }
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    outputSize(data, width, height);
    MosaicCanvas canvas(data.rows, data.columns, data.maxCanvasPixels);
    if (!decodeTiles(data, canvas, {}, failed)) {
        return fail(failed);
    }
    try {
        cv::Mat image = canvas.output(width, height).clone();
        canvas.release();
        applyTransforms(image, data.transforms, false);
        return image;
    } catch (...) {
        return fail(StageFailure{kHeif2JpgUnknown, pictureDetail(canvas, data)});
    }
}

void heif2jpg(const std::uint8_t* input, std::int32_t inputLength, std::int32_t quality, std::uint8_t* output,
              std::int32_t outputCapacity, const char* /*tempPath*/, float scale, std::int32_t* outputLength,
              bool keepExif)
{
    try {
        const std::size_t length = inputLength > 0 ? static_cast<std::size_t>(inputLength) : 0;
        const Heif2JpgResult result = convertHeifToJpeg(input, length, quality, scale, keepExif);
        if (!result.ok) {
            writeMessage(result.message, output, outputCapacity, outputLength);
        } else if (!handOver(result.jpeg, output, outputCapacity, outputLength)) {
            writeMessage(kHeif2JpgBufferTooSmall, output, outputCapacity, outputLength);
        }
    } catch (...) {
        // Out of memory while copying results: nothing sensible can be
        // written, and the caller sees the length it set.
    }
}

}  // namespace ambrel::pipeline
