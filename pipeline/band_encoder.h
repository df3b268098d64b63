// Encoding the mosaic band by band on a thread of its own while the decoder
// fills the rows of tiles below.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <opencv2/core.hpp>

#include "pipeline/decode/mosaic.h"
#include "pipeline/decode/picture_decoder.h"
#include "pipeline/encode/image_writer.h"
#include "pipeline/encode/metadata.h"

namespace ambrel::pipeline {

// The planes as 8-bit BGR, at the chroma's size or the luma's.
cv::Mat planesBgr(const JpegPlanes& planes, bool half);

// The screen-sized picture of an encoded picture: built from its planes at
// the chroma's size when that is no smaller than the picture (`fromHalf`).
PreviewBuilder planesPreview(cv::Size encoded, std::uint32_t side, bool& fromHalf);

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

}  // namespace ambrel::pipeline
