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
#include "pipeline/decode/extraction.h"
#include "pipeline/decode/hevc_sps.h"
#include "pipeline/decode/hevc_stream.h"
#include "pipeline/decode/mosaic.h"
#include "pipeline/encode/colour_profiles.h"
#include "pipeline/encode/gain_map.h"
#include "pipeline/encode/gain_map_jpeg.h"
#include "pipeline/encode/image_writer.h"
#include "pipeline/encode/jpeg_encoder.h"
#include "pipeline/encode/jpeg_metadata.h"
#include "pipeline/encode/metadata.h"
#include "pipeline/encode/xmp_packet.h"
#include "pipeline/failure.h"
#include "pipeline/plan.h"

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
    // The bands are written as a file of `format` with `metadata` (what of
    // it the format holds); a canvas of JPEG planes hands them to the
    // writer as planes.
    BandEncoder(MosaicCanvas& canvas, std::uint32_t width, std::uint32_t height, OutputFormat format,
                const WriterOptions& options, const WriterMetadata& metadata, float scale, std::uint32_t previewSide)
        : mCanvas(canvas), mWidth(width), mHeight(height), mFormat(format), mWriter(makeWriter(format, options)),
          mMetadata(metadata), mScale(scale), mPreviewSide(previewSide), mPlanes(canvas.cellType() == kJpegPlanesCell)
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

    // Waits for the last band; the file, empty when encoding failed.
    std::vector<std::uint8_t> finish()
    {
        mThread.join();
        mCanvas.setRowOpening({});
        if (mError) {
            std::rethrow_exception(mError);
        }
        return std::move(mJpeg);
    }

    // Once finished: what of the metadata the writer left out; why the
    // file failed; whether the scale leaves the
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
            if (last) {
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
        mWriter->begin(mEncoded,
                       mPlanes ? PixelLayout{Channels::JpegPlanes, 8} : PixelLayout::ofType(mCanvas.cellType()),
                       forFormat(mMetadata, mFormat, static_cast<std::uint32_t>(mEncoded.width),
                                 static_cast<std::uint32_t>(mEncoded.height)));
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
            mWriter->writeRows(rows);
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
            mWriter->writePlanes(planes.luma, planes.cb, planes.cr);
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
        EncodedFile file = mWriter->finish();
        mJpeg = std::move(file.bytes);
        mWarning = std::move(file.warning);
        mFailure = std::move(file.error);
        if (mPreviewBuilder && !mJpeg.empty()) {
            mPreview = mPreviewBuilder->finish();
        }
    }

    MosaicCanvas& mCanvas;
    std::uint32_t mWidth;
    std::uint32_t mHeight;
    OutputFormat mFormat;
    std::unique_ptr<ImageWriter> mWriter;  // begun on the encoder's thread for the first band
    const WriterMetadata& mMetadata;
    float mScale;
    std::uint32_t mPreviewSide;
    bool mPlanes;
    bool mPreviewFromHalf = false;
    // Made on the encoder's thread for the first band.
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

// The extraction stage. Where the reader and the extraction throw, their
// exceptions become the stage's failure.
Result<HeifImageData> extract(std::span<const std::uint8_t> input, bool keepExif, const ImageRequest& request = {})
{
    log::setLevel(log::Error);
    try {
        return extractHeifImage(input.data(), input.size(), keepExif, request);
    } catch (...) {
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

std::string tilesText(std::size_t count)
{
    return std::to_string(count) + (count == 1 ? " tile" : " tiles");
}

// Decodes the image's tiles from memory straight into the canvas (no file is
// written). The record's coded data is let go of on the way. `converted`, when
// given, is called after each picture is in its cell. A failure when no
// usable picture came out.
Result<void> decodeTiles(HeifImageData& data, MosaicCanvas& canvas, const std::function<void(std::size_t)>& converted)
{
    std::vector<std::uint8_t> stream;
    if (!assembleHevcBitstream(data, stream)) {
        return Failure{kHeif2JpgWriteStream, "the coded image data is too large to be decoded"};
    }
    // At most one picture per tile goes into the mosaic.
    const std::size_t tileCount = data.tiles.size();
    const std::uint64_t maxCanvasPixels = data.maxCanvasPixels;
    // The tiles are converted cut to the picture: its edges are theirs.
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    outputSize(data, width, height);
    std::vector<std::uint8_t>().swap(data.paramSets);
    std::vector<std::vector<std::uint8_t>>().swap(data.tiles);

    // Pictures before the image's own (earlier frames of a sequence) are
    // decoded into its cell and overwritten.
    const std::size_t skipped = data.skippedPictures;
    DecodeResult decoded;
    try {
        const auto cellFilled = [&](std::size_t index) {
            canvas.filled(index);
            if (converted) {
                converted(index);
            }
        };
        if (canvas.cellType() == kJpegPlanesCell) {
            decoded = decodeHevcPlanes(
                stream,
                [&](std::size_t index, int tileWidth, int tileHeight) {
                    index = index > skipped ? index - skipped : 0;
                    return index < tileCount ? canvas.planesCell(index, tileWidth, tileHeight) : JpegPlanes();
                },
                cellFilled);
        } else {
            decoded = decodeHevcStream(
                stream,
                [&](std::size_t index, int tileWidth, int tileHeight) {
                    index = index > skipped ? index - skipped : 0;
                    return index < tileCount ? canvas.regionCell(index, tileWidth, tileHeight, width, height)
                                             : cv::Mat();
                },
                cellFilled);
        }
    } catch (const cv::Exception&) {
        // Tiles that do not line up: the mosaic step fails.
        return Failure{kHeif2JpgUnknown, "the tiles of the grid differ in size"};
    } catch (const std::bad_alloc&) {
        return Failure{kHeif2JpgDecode, "out of memory while decoding the image"};
    } catch (const std::exception& error) {
        return Failure{kHeif2JpgDecode, "the HEVC decoder failed: " + clause(error.what())};
    } catch (...) {
        return Failure{kHeif2JpgDecode, "the HEVC decoder failed"};
    }
    if (canvas.planesRefused()) {
        // The plan saw tiles of even sides in the file; the decoder gave others.
        return Failure{kHeif2JpgDecode, "the tiles decode to another size than the file gives them"};
    }
    if (!decoded.opened) {
        log::report(log::Warning, "cv::VideoCapture::isOpened returned false ");
        return Failure{kHeif2JpgDecode, "the HEVC decoder cannot be set up for this image"};
    }
    if (skipped > 0 && decoded.pictures <= skipped && !canvas.tooLarge()) {
        return Failure{kHeif2JpgDecode, "the frame cannot be decoded"};
    }
    if (canvas.tooLarge()) {
        if (CV_MAT_DEPTH(canvas.cellType()) == CV_16U) {
            // The canvas of 16-bit samples was given half the pixels.
            return Failure{kHeif2JpgDecode, "the decoded tiles would hold more than " +
                                                std::to_string(maxCanvasPixels / 2) +
                                                " pixels, the limit for 16-bit samples (half that of 8-bit ones)"};
        }
        if (maxCanvasPixels < kMaxDecodedPixels) {
            return Failure{kHeif2JpgDecode, "the decoded tiles would hold more than " +
                                                std::to_string(maxCanvasPixels) +
                                                " pixels, at 3 bytes each more than the memory budget for this file "
                                                "has left"};
        }
        return Failure{kHeif2JpgDecode,
                       "the decoded tiles would hold more than " + std::to_string(kMaxDecodedPixels) + " pixels"};
    }
    if (canvas.tiles() == 0) {
        return Failure{kHeif2JpgDecode, tileCount <= 1 ? std::string("the image data cannot be decoded")
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
    } catch (...) {
        return "the picture cannot be made";
    }
}

// The metadata to carry and whether the pixels keep their stored
// orientation, settled before decoding: they decide whether the pixels need
// any work after the mosaic. With the kind of the gain map a JPEG carries.
struct CarriedMetadata : PreparedMetadata
{
    GainMapKind hdr = GainMapKind::None;
};

CarriedMetadata settleMetadata(HeifImageData& data, bool keepExif, OutputFormat format)
{
    SourceMetadata source{std::move(data.exif), std::move(data.xmp), std::move(data.iccProfile), data.nclx,
                          containerOrientation(data.transforms)};
    return {prepareMetadata(std::move(source), format, keepExif)};
}

std::string scaleDetail(cv::Size size, float scale)
{
    std::ostringstream factor;
    factor << scale;
    return "the picture of " + std::to_string(size.width) + " x " + std::to_string(size.height) +
           " pixels cannot be scaled by " + factor.str();
}

// An encoded picture: the file, what of the picture it could not hold, its
// size, and its screen-sized picture when one was asked for.
struct EncodedPicture
{
    std::vector<std::uint8_t> bytes;
    std::string warning;
    cv::Size size;
    cv::Mat preview;
};

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
Result<void> encodePicture(const cv::Mat& image, const HeifImageData& data, const CarriedMetadata& carried,
                           const ConversionSettings& settings, std::vector<std::uint8_t>& encoded, std::string& warning)
{
    EncodedFile file = writeImage(settings.format, image, pictureMetadata(data, carried, settings.format, image.size()),
                                  writerOptions(data, image, settings));
    if (!file.ok()) {
        return Failure{kHeif2JpgImencode, file.error};
    }
    encoded = std::move(file.bytes);
    warning = std::move(file.warning);
    return {};
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

// Output rows turned at a time when a picture is encoded band by band.
constexpr int kTransformedBandRows = 128;

// The picture after its transforms and the scale (by a power of two),
// encoded band by band from the untransformed picture in the format's
// encoder, so that the turned picture is never held whole; its screen-sized
// picture when `previewSide` asks for one. JPEG, PNG, TIFF or BMP.
Result<void> encodeTransformedBands(const cv::Mat& image, const HeifImageData& data, const CarriedMetadata& metadata,
                                    const ConversionSettings& settings, std::vector<std::uint8_t>& encoded,
                                    std::string& warning, cv::Size& encodedSize, cv::Mat& preview)
{
    const TransformedBands turned(image, data.transforms, metadata.keepOrientation);
    const cv::Size size = turned.size();
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
    EncodedFile file = writer->finish();
    if (!file.ok()) {
        return Failure{kHeif2JpgImencode, file.error};
    }
    encoded = std::move(file.bytes);
    warning = std::move(file.warning);
    if (small) {
        preview = small->finish();
        if (metadata.keepOrientation) {
            turnUpright(preview, data.transforms);
        }
    }
    return {};
}

// The JPEG of a whole mosaic of planes after its turns and the scale (by a
// power of two), encoded band by band: each band of each plane cut and
// turned on its own.
Result<void> encodeTurnedPlanes(const JpegPlanes& planes, const HeifImageData& data, const CarriedMetadata& metadata,
                                const ConversionSettings& settings, std::vector<std::uint8_t>& encoded,
                                std::string& warning, cv::Size& encodedSize, cv::Mat& preview)
{
    const TransformedBands luma(planes.luma, data.transforms, metadata.keepOrientation);
    const TransformedBands cb(planes.cb, data.transforms, metadata.keepOrientation);
    const TransformedBands cr(planes.cr, data.transforms, metadata.keepOrientation);
    const cv::Size size = luma.size();
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
    EncodedFile file = writer->finish();
    if (!file.ok()) {
        return Failure{kHeif2JpgImencode, file.error};
    }
    encoded = std::move(file.bytes);
    warning = std::move(file.warning);
    if (small) {
        preview = small->finish();
        if (metadata.keepOrientation) {
            turnUpright(preview, data.transforms);
        }
    }
    return {};
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
    EncodedPicture encoded;
    const auto given = [&encoded](const Result<void>& done) -> Result<EncodedPicture> {
        if (!done) {
            return done.failure();
        }
        return std::move(encoded);
    };
    if (canvas.cellType() == kJpegPlanesCell) {
        const JpegPlanes planes = canvas.outputPlanes(width, height);
        canvas.release();
        return given(encodeTurnedPlanes(planes, data, metadata, settings, encoded.bytes, encoded.warning, encoded.size,
                                        encoded.preview));
    }
    cv::Mat image = canvas.output(width, height);
    if (!alpha.empty()) {
        image = combineAlpha(image, alpha, data.alphaPremultiplied, !formatInfo(settings.format).alpha);
    }
    canvas.release();
    if (!data.greyPicture && formatInfo(settings.format).streams &&
        (settings.scale == 1.0f || BandScaler::takes(settings.scale))) {
        return given(encodeTransformedBands(image, data, metadata, settings, encoded.bytes, encoded.warning,
                                            encoded.size, encoded.preview));
    }
    applyTransforms(image, data.transforms, metadata.keepOrientation);
    try {
        image = scaleImage(image, settings.scale);
    } catch (const std::invalid_argument&) {
        return Failure{kHeif2JpgUnknown, scaleDetail(image.size(), settings.scale)};
    }
    encoded.size = image.size();
    const Result<void> done = encodePicture(image, data, metadata, settings, encoded.bytes, encoded.warning);
    if (done && settings.previewSide > 0) {
        PreviewBuilder builder(image.size(), settings.previewSide);
        builder.add(image);
        encoded.preview = builder.finish();
        if (metadata.keepOrientation) {
            turnUpright(encoded.preview, data.transforms);
        }
    }
    return given(done);
}

void addWarning(std::string& warnings, const std::string& warning)
{
    if (!warning.empty()) {
        warnings += (warnings.empty() ? "" : "; ") + warning;
    }
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
    } catch (...) {
        warn("the HDR gain map is left out");
    }
}

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
    } catch (...) {
        return failed(Failure{kHeif2JpgUnknown, pictureDetail(canvas, data)});
    }
}

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
    } catch (...) {
        return Failure{kHeif2JpgUnknown, pictureDetail(canvas, data)};
    }
}

}  // namespace

ConvertedFile convertHeif(const std::uint8_t* input, std::size_t length, const ConversionSettings& requested)
{
    return convertImage(input, length, requested);
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
    Result<cv::Mat> picture = decodeUprightPicture(inputBytes(input, length));
    if (picture) {
        return std::move(*picture);
    }
    if (message != nullptr) {
        *message = std::string(picture.failure().code);
    }
    if (detail != nullptr) {
        *detail = picture.failure().detail;
    }
    return {};
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
