#include "pipeline/decode/mosaic.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <new>
#include <stdexcept>
#include <string>

#include <opencv2/imgproc.hpp>

#include "heiclib/model/image_model.h"

namespace ambrel::pipeline {

namespace {

bool isTurn(const ImageTransform& transform)
{
    return transform.kind != ImageTransform::Kind::CleanAperture;
}

void applyOne(cv::Mat& image, const ImageTransform& transform)
{
    switch (transform.kind) {
    case ImageTransform::Kind::CleanAperture: applyCleanAperture(image, transform.aperture); break;
    case ImageTransform::Kind::Rotate: applyRotation(image, transform.value); break;
    case ImageTransform::Kind::Mirror: applyMirror(image, transform.value); break;
    }
}

// Allocates matrices as zeroed memory from calloc: large blocks come as
// fresh pages from the system, zero without a pass over them, so a canvas
// starts out black at no cost before the decoder fills it.
class ZeroedAllocator : public cv::MatAllocator
{
public:
    cv::UMatData* allocate(int dims, const int* sizes, int type, void* data, std::size_t* step, cv::AccessFlag,
                           cv::UMatUsageFlags) const override
    {
        std::size_t total = CV_ELEM_SIZE(type);
        for (int i = dims - 1; i >= 0; --i) {
            if (step != nullptr) {
                if (data != nullptr && step[i] != 0x7fffffff) {
                    total = step[i];  // the caller's own rows
                } else {
                    step[i] = total;
                }
            }
            total *= std::size_t(sizes[i]);
        }
        auto* bytes = static_cast<std::uint8_t*>(data != nullptr ? data : std::calloc(total == 0 ? 1 : total, 1));
        if (bytes == nullptr) {
            throw std::bad_alloc();
        }
        auto* block = new cv::UMatData(this);
        block->data = block->origdata = bytes;
        block->size = total;
        if (data != nullptr) {
            block->flags |= cv::UMatData::USER_ALLOCATED;
        }
        return block;
    }

    bool allocate(cv::UMatData* block, cv::AccessFlag, cv::UMatUsageFlags) const override { return block != nullptr; }

    void deallocate(cv::UMatData* block) const override
    {
        if (block == nullptr) {
            return;
        }
        if ((block->flags & cv::UMatData::USER_ALLOCATED) == 0) {
            std::free(block->origdata);
        }
        delete block;
    }
};

// A black image of the type.
cv::Mat zeroedImage(int rows, int columns, int type)
{
    // Outlives every matrix it allocates: never destroyed.
    static const ZeroedAllocator* const allocator = new ZeroedAllocator;
    cv::Mat image;
    image.allocator = const_cast<ZeroedAllocator*>(allocator);
    image.create(rows, columns, type);
    return image;
}

}  // namespace

MosaicCanvas::MosaicCanvas(std::uint32_t rows, std::uint32_t columns, std::uint64_t maxPixels, int cellType,
                           Storage storage)
    : mRows(rows), mColumns(columns), mMaxPixels(maxPixels), mCellType(cellType), mStorage(storage)
{
    if (cellType != CV_8UC3 && cellType != CV_16UC3 && cellType != CV_8UC1 && cellType != CV_16UC1 &&
        cellType != kJpegPlanesCell) {
        throw std::invalid_argument("MosaicCanvas: cells of matrix type " + std::to_string(cellType));
    }
}

namespace {

// The chroma planes' side for a luma side.
int halved(int side)
{
    return (side + 1) / 2;
}

}  // namespace

JpegPlanes MosaicCanvas::planesCell(std::size_t index, int width, int height)
{
    if (mCellType != kJpegPlanesCell) {
        throw std::logic_error("MosaicCanvas: planes of a canvas of matrix type " + std::to_string(mCellType));
    }
    if (((width % 2) != 0 && mColumns > 1) || ((height % 2) != 0 && mRows > 1)) {
        mPlanesRefused = true;
        return {};
    }
    cv::Mat luma = cell(index, width, height);
    if (luma.empty() || mColumns == 0 || mRows == 0) {
        return {};
    }
    const int column = static_cast<int>(index % mColumns);
    const auto row = static_cast<int>(index / mColumns);
    const int chromaWidth = halved(width);
    const int chromaColumns = chromaWidth * static_cast<int>(mColumns);
    if (mStorage == Storage::Whole) {
        // The chroma planes lie below all of the luma.
        const cv::Rect cb(column * chromaWidth, mCanvasSize.height + row * halved(height), chromaWidth, halved(height));
        return {luma, mCanvas(cb), mCanvas(cb + cv::Point(chromaColumns, 0))};
    }
    const cv::Mat& band = mBands[std::size_t(row)];
    const cv::Rect cb(column * chromaWidth, height, chromaWidth, halved(height));
    return {luma, band(cb), band(cb + cv::Point(chromaColumns, 0))};
}

cv::Mat MosaicCanvas::cell(std::size_t index, int width, int height)
{
    const std::size_t count = std::size_t(mRows) * mColumns;
    if (mTooLarge || width <= 0 || height <= 0) {
        return {};
    }
    if (count == 0) {
        // Nothing to lay out; the tiles are still decoded and counted.
        ++mTiles;
        if (mScratch.rows != height || mScratch.cols != width) {
            mScratch = zeroedImage(height, width, mCellType == kJpegPlanesCell ? CV_8UC1 : mCellType);
        }
        return mScratch;
    }
    if (index >= count) {
        return {};
    }
    if (mTileSize.empty()) {
        const std::uint64_t canvasWidth = std::uint64_t(mColumns) * std::uint64_t(width);
        const std::uint64_t canvasHeight = std::uint64_t(mRows) * std::uint64_t(height);
        // A row's bytes must fit an int as well as its pixels.
        const auto pixelBytes = static_cast<int>(CV_ELEM_SIZE(mCellType == kJpegPlanesCell ? CV_8UC1 : mCellType));
        if (canvasWidth > std::uint64_t(std::numeric_limits<int>::max() / pixelBytes) ||
            canvasHeight > std::uint64_t(std::numeric_limits<int>::max()) || canvasWidth * canvasHeight > mMaxPixels) {
            mTooLarge = true;
            return {};
        }
        mTileSize = cv::Size(width, height);
        mCanvasSize = cv::Size(static_cast<int>(canvasWidth), static_cast<int>(canvasHeight));
        mFilled.assign(mRows, 0);
        if (mStorage == Storage::Whole && mCellType == kJpegPlanesCell) {
            const int chromaColumns = halved(width) * static_cast<int>(mColumns);
            mCanvas = zeroedImage(mCanvasSize.height + halved(height) * static_cast<int>(mRows),
                                  std::max(mCanvasSize.width, 2 * chromaColumns), CV_8UC1);
        } else if (mStorage == Storage::Whole) {
            // Initialised: a pixel the decoder leaves unwritten shows black,
            // never what an earlier picture left in the memory.
            mCanvas = zeroedImage(mCanvasSize.height, mCanvasSize.width, mCellType);
        } else {
            mBands.resize(mRows);
        }
    } else if (cv::Size(width, height) != mTileSize) {
        CV_Error(cv::Error::StsUnmatchedSizes, "MosaicCanvas: tile " + std::to_string(index) + " is " +
                                                   std::to_string(width) + " x " + std::to_string(height) +
                                                   ", the first tile " + std::to_string(mTileSize.width) + " x " +
                                                   std::to_string(mTileSize.height));
    }
    const int column = static_cast<int>(index % mColumns);
    const auto row = static_cast<std::uint32_t>(index / mColumns);
    if (mStorage == Storage::Whole) {
        ++mTiles;
        return mCanvas(cv::Rect(column * width, static_cast<int>(row) * height, width, height));
    }
    cv::Mat& band = mBands[row];
    if (band.empty()) {
        if (mRowOpening) {
            mRowOpening(row);
        }
        if (mCellType == kJpegPlanesCell) {
            const int chromaColumns = halved(width) * static_cast<int>(mColumns);
            band = zeroedImage(height + halved(height), std::max(mCanvasSize.width, 2 * chromaColumns), CV_8UC1);
        } else {
            band = zeroedImage(height, mCanvasSize.width, mCellType);
        }
    }
    ++mTiles;
    return band(cv::Rect(column * width, 0, width, height));
}

cv::Mat MosaicCanvas::regionCell(std::size_t index, int tileWidth, int tileHeight, std::uint32_t width,
                                 std::uint32_t height)
{
    cv::Mat whole = cell(index, tileWidth, tileHeight);
    if (whole.empty() || mColumns == 0) {
        return whole;
    }
    const std::uint64_t left = std::uint64_t(index % mColumns) * std::uint64_t(tileWidth);
    const std::uint64_t top = std::uint64_t(index / mColumns) * std::uint64_t(tileHeight);
    if (left >= width || top >= height) {
        return whole;
    }
    const auto inside = [](std::uint64_t start, std::uint32_t end, int side) {
        return static_cast<int>(std::min<std::uint64_t>(std::uint64_t(side), end - start));
    };
    return whole(cv::Rect(0, 0, inside(left, width, tileWidth), inside(top, height, tileHeight)));
}

void MosaicCanvas::filled(std::size_t index)
{
    if (mColumns == 0 || index >= std::size_t(mRows) * mColumns || mFilled.empty()) {
        return;
    }
    ++mFilled[index / mColumns];
    while (mCompleteTileRows < mRows && mFilled[mCompleteTileRows] >= mColumns) {
        ++mCompleteTileRows;
    }
}

cv::Size MosaicCanvas::regionSize(std::uint32_t width, std::uint32_t height) const
{
    if (mTileSize.empty()) {
        return {};
    }
    const int cropWidth = static_cast<int>(std::min<std::uint64_t>(width, std::uint64_t(mCanvasSize.width)));
    const int cropHeight = static_cast<int>(std::min<std::uint64_t>(height, std::uint64_t(mCanvasSize.height)));
    if (cropWidth <= 0 || cropHeight <= 0) {
        return {};
    }
    return {cropWidth, cropHeight};
}

cv::Size MosaicCanvas::outputSize(std::uint32_t width, std::uint32_t height) const
{
    const std::size_t count = std::size_t(mRows) * mColumns;
    if (count == 0) {
        throw std::out_of_range("MosaicCanvas: no tiles in a " + std::to_string(mRows) + " x " +
                                std::to_string(mColumns) + " grid");
    }
    if (mTiles < count) {
        throw std::out_of_range("MosaicCanvas: " + std::to_string(mTiles) + " tiles for a " + std::to_string(mRows) +
                                " x " + std::to_string(mColumns) + " grid");
    }
    const cv::Size size = regionSize(width, height);
    if (size.empty()) {
        throw std::invalid_argument("MosaicCanvas: an output of " + std::to_string(width) + " x " +
                                    std::to_string(height) + " leaves no pixels");
    }
    return size;
}

cv::Mat MosaicCanvas::output(std::uint32_t width, std::uint32_t height) const
{
    const cv::Size size = outputSize(width, height);
    if (mStorage != Storage::Whole) {
        throw std::logic_error("MosaicCanvas: the rows of tiles have been handed on");
    }
    return mCanvas(cv::Rect(cv::Point(0, 0), size));
}

JpegPlanes MosaicCanvas::outputPlanes(std::uint32_t width, std::uint32_t height) const
{
    const cv::Mat luma = output(width, height);
    if (mCellType != kJpegPlanesCell) {
        throw std::logic_error("MosaicCanvas: planes of a canvas of matrix type " + std::to_string(mCellType));
    }
    const int chromaColumns = halved(mTileSize.width) * static_cast<int>(mColumns);
    const cv::Rect cb(0, mCanvasSize.height, halved(luma.cols), halved(luma.rows));
    return {luma, mCanvas(cb), mCanvas(cb + cv::Point(chromaColumns, 0))};
}

cv::Mat MosaicCanvas::takeBand(std::uint32_t row, std::uint32_t width, std::uint32_t height)
{
    const cv::Size size = regionSize(width, height);
    if (row >= mBands.size() || size.empty()) {
        return {};
    }
    cv::Mat band = std::move(mBands[row]);
    mBands[row] = cv::Mat();
    const std::int64_t top = std::int64_t(row) * mTileSize.height;
    if (band.empty() || top >= size.height) {
        return {};
    }
    const int rows = static_cast<int>(std::min<std::int64_t>(mTileSize.height, size.height - top));
    return band(cv::Rect(0, 0, size.width, rows));
}

JpegPlanes MosaicCanvas::takePlanes(std::uint32_t row, std::uint32_t width, std::uint32_t height)
{
    const int tileHeight = mTileSize.height;
    const cv::Mat band = takeBand(row, width, height);
    if (band.empty()) {
        return {};
    }
    // takeBand cut the luma rows out of the whole band; the planes below
    // them are reached through the band's parent.
    cv::Size whole;
    cv::Point offset;
    band.locateROI(whole, offset);
    cv::Mat all = band;
    all.adjustROI(offset.y, whole.height - band.rows - offset.y, offset.x, whole.width - band.cols - offset.x);
    const int chromaColumns = halved(mTileSize.width) * static_cast<int>(mColumns);
    const cv::Rect cb(0, tileHeight, halved(band.cols), halved(band.rows));
    return {band, all(cb), all(cb + cv::Point(chromaColumns, 0))};
}

void applyRotation(cv::Mat& image, std::uint32_t rotation)
{
    switch (rotation) {
    case 90: cv::rotate(image, image, cv::ROTATE_90_COUNTERCLOCKWISE); break;
    case 180: cv::rotate(image, image, cv::ROTATE_180); break;
    case 270: cv::rotate(image, image, cv::ROTATE_90_CLOCKWISE); break;
    default: break;
    }
}

void applyMirror(cv::Mat& image, std::uint32_t axis)
{
    // cv::flip: code 0 flips around the x axis (top and bottom swap), code 1
    // around the y axis (left and right swap).
    cv::flip(image, image, axis == 0 ? 0 : 1);
}

bool cleanApertureRect(const heif::CleanApertureInfo& aperture, int width, int height, cv::Rect& rect)
{
    if (width <= 0 || height <= 0) {
        return false;
    }
    const std::optional<heif::PixelRect> kept =
        heif::cleanAperturePixels(aperture, static_cast<std::uint32_t>(width), static_cast<std::uint32_t>(height));
    if (!kept) {
        return false;
    }
    rect = cv::Rect(static_cast<int>(kept->left), static_cast<int>(kept->top), static_cast<int>(kept->width),
                    static_cast<int>(kept->height));
    return true;
}

bool applyCleanAperture(cv::Mat& image, const heif::CleanApertureInfo& aperture)
{
    cv::Rect rect;
    if (!cleanApertureRect(aperture, image.cols, image.rows, rect)) {
        return false;
    }
    if (rect.width != image.cols || rect.height != image.rows) {
        image = image(rect).clone();
    }
    return true;
}

namespace {

// The steps applyTransforms takes, in order: each transform that applies,
// and with `keepOrientation` the turns undone afterwards where an aperture
// needed them.
std::vector<ImageTransform> transformSteps(const std::vector<ImageTransform>& transforms, bool keepOrientation)
{
    bool turned = false;
    bool apertureAfterTurn = false;
    for (const ImageTransform& transform : transforms) {
        if (isTurn(transform)) {
            turned = true;
        } else if (turned) {
            apertureAfterTurn = true;
        }
    }
    std::vector<ImageTransform> steps;
    for (const ImageTransform& transform : transforms) {
        if (!keepOrientation || apertureAfterTurn || !isTurn(transform)) {
            steps.push_back(transform);
        }
    }
    if (keepOrientation && apertureAfterTurn) {
        // Back to the stored orientation: undo the turns, last first.
        for (auto it = transforms.rbegin(); it != transforms.rend(); ++it) {
            if (it->kind == ImageTransform::Kind::Rotate) {
                ImageTransform undo = *it;
                undo.value = (360u - it->value % 360u) % 360u;
                steps.push_back(undo);
            } else if (it->kind == ImageTransform::Kind::Mirror) {
                steps.push_back(*it);
            }
        }
    }
    return steps;
}

}  // namespace

void applyTransforms(cv::Mat& image, const std::vector<ImageTransform>& transforms, bool keepOrientation)
{
    for (const ImageTransform& step : transformSteps(transforms, keepOrientation)) {
        applyOne(image, step);
    }
}

TransformedBands::TransformedBands(const cv::Mat& image, const std::vector<ImageTransform>& transforms,
                                   bool keepOrientation)
    : mImage(image), mSize(image.size())
{
    // Each step maps the new picture's pixels back to the previous
    // picture's, (x, y) -> (bx x + by y + b0, cx x + cy y + c0); the steps
    // compose into the map to the image.
    const auto compose = [this](int bx, int by, int b0, int cx, int cy, int c0) {
        const int xx = mXx * bx + mXy * cx;
        const int xy = mXx * by + mXy * cy;
        const int x0 = mXx * b0 + mXy * c0 + mX0;
        const int yx = mYx * bx + mYy * cx;
        const int yy = mYx * by + mYy * cy;
        const int y0 = mYx * b0 + mYy * c0 + mY0;
        mXx = xx;
        mXy = xy;
        mX0 = x0;
        mYx = yx;
        mYy = yy;
        mY0 = y0;
    };
    for (const ImageTransform& step : transformSteps(transforms, keepOrientation)) {
        const int w = mSize.width;
        const int h = mSize.height;
        switch (step.kind) {
        case ImageTransform::Kind::CleanAperture: {
            cv::Rect rect;
            if (cleanApertureRect(step.aperture, w, h, rect)) {
                compose(1, 0, rect.x, 0, 1, rect.y);
                mSize = rect.size();
            }
            break;
        }
        case ImageTransform::Kind::Rotate:
            switch (step.value) {
            case 90:  // anticlockwise: the new (x, y) was (w - 1 - y, x)
                compose(0, -1, w - 1, 1, 0, 0);
                mSize = {h, w};
                break;
            case 180: compose(-1, 0, w - 1, 0, -1, h - 1); break;
            case 270:  // clockwise: the new (x, y) was (y, h - 1 - x)
                compose(0, 1, 0, -1, 0, h - 1);
                mSize = {h, w};
                break;
            default: break;
            }
            break;
        case ImageTransform::Kind::Mirror:
            if (step.value == 0) {
                compose(1, 0, 0, 0, -1, h - 1);
            } else {
                compose(-1, 0, w - 1, 0, 1, 0);
            }
            break;
        }
    }
}

cv::Mat TransformedBands::rows(int first, int count) const
{
    const int last = first + count - 1;
    if (first < 0 || count <= 0 || last >= mSize.height) {
        throw std::out_of_range("TransformedBands: rows " + std::to_string(first) + " to " + std::to_string(last) +
                                " of " + std::to_string(mSize.height));
    }
    const int right = mSize.width - 1;
    const int ax = mXx * 0 + mXy * first + mX0;
    const int ay = mYx * 0 + mYy * first + mY0;
    const int bx = mXx * right + mXy * last + mX0;
    const int by = mYx * right + mYy * last + mY0;
    const cv::Rect area(std::min(ax, bx), std::min(ay, by), std::abs(bx - ax) + 1, std::abs(by - ay) + 1);
    cv::Mat part = mImage(area);
    cv::Mat band;
    if (mXy == 0) {
        // Columns stay columns: flipped where a sign says so.
        if (mXx > 0 && mYy > 0) {
            return part;
        }
        cv::flip(part, band, mXx < 0 && mYy < 0 ? -1 : (mXx < 0 ? 1 : 0));
        return band;
    }
    // Columns become rows: the part transposed, then flipped.
    cv::transpose(part, band);
    if (mXy < 0 || mYx < 0) {
        cv::flip(band, band, mXy < 0 && mYx < 0 ? -1 : (mXy < 0 ? 0 : 1));
    }
    return band;
}

cv::Size scaledSize(cv::Size size, float scale)
{
    if (!std::isfinite(scale) || scale <= 0.0f) {
        throw std::invalid_argument("scaleImage: scale " + std::to_string(scale));
    }
    const double width = std::round(size.width * double(scale));
    const double height = std::round(size.height * double(scale));
    if (width < 1 || height < 1 || width > kMaxJpegSide || height > kMaxJpegSide) {
        throw std::invalid_argument("scaleImage: scale " + std::to_string(scale) + " gives " + std::to_string(width) +
                                    " x " + std::to_string(height));
    }
    // cv::resize rounds halves to even.
    return {cvRound(size.width * double(scale)), cvRound(size.height * double(scale))};
}

cv::Mat scaleImage(const cv::Mat& image, float scale)
{
    if (scale == 1.0f) {
        return image;
    }
    static_cast<void>(scaledSize(image.size(), scale));
    cv::Mat scaled;
    cv::resize(image, scaled, cv::Size(), double(scale), double(scale), cv::INTER_LINEAR);
    return scaled;
}

bool BandScaler::takes(float scale)
{
    if (!(scale > 0.0f && scale < 1.0f)) {
        return false;
    }
    int exponent = 0;
    return std::frexp(scale, &exponent) == 0.5f && exponent >= -16;
}

BandScaler::BandScaler(float scale) : mScale(scale)
{
    if (!takes(scale)) {
        throw std::invalid_argument("BandScaler: scale " + std::to_string(scale));
    }
    // Output row y is made from source rows y / scale .. (y + 1) / scale - 1
    // (bilinear at an exact power of two reads only those; at 1/2 cv::resize
    // averages each 2 x 2 block). Bands start at even output rows so that the
    // last one rounds its height as the whole picture's does.
    mUnit = 2 * static_cast<int>(std::lround(1.0 / double(scale)));
}

void BandScaler::scale(const cv::Mat& source, const std::function<void(const cv::Mat&)>& emit) const
{
    if (cvRound(source.rows * double(mScale)) < 1) {
        return;  // a last row the whole picture rounds away
    }
    cv::Mat scaled;
    cv::resize(source, scaled, cv::Size(), double(mScale), double(mScale), cv::INTER_LINEAR);
    emit(scaled);
}

void BandScaler::add(const cv::Mat& rows, const std::function<void(const cv::Mat&)>& emit)
{
    cv::Mat rest = rows;
    if (!mPending.empty()) {
        const int wanted = mUnit - mPending.rows;
        if (rest.rows < wanted) {
            cv::vconcat(mPending, rest, mPending);
            return;
        }
        cv::Mat unit;
        cv::vconcat(mPending, rest.rowRange(0, wanted), unit);
        mPending.release();
        scale(unit, emit);
        rest = rest.rowRange(wanted, rest.rows);
    }
    const int whole = rest.rows / mUnit * mUnit;
    if (whole > 0) {
        scale(rest.rowRange(0, whole), emit);
    }
    if (whole < rest.rows) {
        mPending = rest.rowRange(whole, rest.rows).clone();
    }
}

void BandScaler::finish(const std::function<void(const cv::Mat&)>& emit)
{
    if (!mPending.empty()) {
        scale(mPending, emit);
        mPending.release();
    }
}

namespace {

// Appends rows to `to`, their width first cut or widened to `width` by
// repeating the last column.
void appendRows(cv::Mat& to, const cv::Mat& rows, int width)
{
    cv::Mat fitted;
    if (rows.cols >= width) {
        fitted = rows.colRange(0, width);
    } else {
        cv::copyMakeBorder(rows, fitted, 0, 0, 0, width - rows.cols, cv::BORDER_REPLICATE);
    }
    if (to.empty()) {
        to = fitted.clone();
    } else {
        cv::vconcat(to, fitted, to);
    }
}

// Drops the first `count` rows.
void dropRows(cv::Mat& rows, int count)
{
    rows = count >= rows.rows ? cv::Mat() : rows.rowRange(count, rows.rows).clone();
}

}  // namespace

PlanesScaler::PlanesScaler(float scale, cv::Size scaled)
    : mLuma(scale), mCb(scale), mCr(scale), mChromaWidth((scaled.width + 1) / 2)
{}

void PlanesScaler::add(const JpegPlanes& planes, const std::function<void(const JpegPlanes&)>& emit)
{
    mLuma.add(planes.luma, [&](const cv::Mat& rows) { appendRows(mLumaRows, rows, rows.cols); });
    mCb.add(planes.cb, [&](const cv::Mat& rows) { appendRows(mCbRows, rows, mChromaWidth); });
    mCr.add(planes.cr, [&](const cv::Mat& rows) { appendRows(mCrRows, rows, mChromaWidth); });
    handOn(false, emit);
}

void PlanesScaler::finish(const std::function<void(const JpegPlanes&)>& emit)
{
    mLuma.finish([&](const cv::Mat& rows) { appendRows(mLumaRows, rows, rows.cols); });
    mCb.finish([&](const cv::Mat& rows) { appendRows(mCbRows, rows, mChromaWidth); });
    mCr.finish([&](const cv::Mat& rows) { appendRows(mCrRows, rows, mChromaWidth); });
    handOn(true, emit);
}

void PlanesScaler::handOn(bool last, const std::function<void(const JpegPlanes&)>& emit)
{
    const int chroma = std::min(mCbRows.rows, mCrRows.rows);
    int rows = mLumaRows.rows;
    if (!last) {
        rows = std::min(rows, 2 * chroma) / 2 * 2;
    }
    if (rows <= 0) {
        return;
    }
    const int chromaRows = (rows + 1) / 2;
    if (chroma < chromaRows) {
        // The scaled chroma came out a row short: its last row repeated.
        for (auto [plane, lastRow] : {std::pair{&mCbRows, &mCbLast}, std::pair{&mCrRows, &mCrLast}}) {
            if (plane->empty()) {
                *plane = lastRow->clone();
            }
            if (plane->empty()) {
                return;  // no chroma at all: nothing to show the rows with
            }
            cv::copyMakeBorder(*plane, *plane, 0, chromaRows - plane->rows, 0, 0, cv::BORDER_REPLICATE);
        }
    }
    mCbLast = mCbRows.row(chromaRows - 1).clone();
    mCrLast = mCrRows.row(chromaRows - 1).clone();
    emit({mLumaRows.rowRange(0, rows), mCbRows.rowRange(0, chromaRows), mCrRows.rowRange(0, chromaRows)});
    dropRows(mLumaRows, rows);
    dropRows(mCbRows, chromaRows);
    dropRows(mCrRows, chromaRows);
}

cv::Size boundedSize(cv::Size size, std::uint32_t side)
{
    const int longer = std::max(size.width, size.height);
    if (side == 0 || longer <= 0 || std::uint64_t(longer) <= side) {
        return size;
    }
    const double factor = double(side) / longer;
    return {std::max(1, static_cast<int>(std::lround(size.width * factor))),
            std::max(1, static_cast<int>(std::lround(size.height * factor)))};
}

PreviewBuilder::PreviewBuilder(cv::Size source, std::uint32_t side) : PreviewBuilder(source, boundedSize(source, side))
{}

PreviewBuilder::PreviewBuilder(cv::Size source, cv::Size target) : mSource(source), mTarget(target)
{
    if (source.width <= 0 || source.height <= 0) {
        throw std::invalid_argument("PreviewBuilder: a source without pixels");
    }
    if (target.width <= 0 || target.height <= 0 || target.width > source.width || target.height > source.height) {
        throw std::invalid_argument("PreviewBuilder: a picture larger than its source, or without pixels");
    }
    mSum = cv::Mat::zeros(1, source.width, CV_32FC3);
    mPicture = cv::Mat::zeros(mTarget.height, mTarget.width, CV_8UC3);
}

void PreviewBuilder::add(const cv::Mat& rows)
{
    if (rows.cols != mSource.width || (rows.channels() != 1 && rows.channels() != 3 && rows.channels() != 4) ||
        (rows.depth() != CV_8U && rows.depth() != CV_16U)) {
        throw std::invalid_argument("PreviewBuilder: rows of " + std::to_string(rows.cols) + " pixels of type " +
                                    std::to_string(rows.type()));
    }
    mTop = rows.depth() == CV_16U ? 65535.0 : 255.0;
    // Source row y covers picture rows y * h / H .. (y + 1) * h / H; in
    // whole numbers, with h picture rows over H source rows.
    const auto source = std::int64_t(mSource.height);
    const auto target = std::int64_t(mTarget.height);
    for (int y = 0; y < rows.rows && mSourceRow < mSource.height; ++y, ++mSourceRow) {
        cv::Mat row = rows.row(y);
        if (row.channels() == 4) {
            // Over white: c a + top (1 - a).
            row.convertTo(mWeighted, CV_32F);
            mFlat.create(1, mSource.width, CV_32FC3);
            const auto* in = mWeighted.ptr<float>();
            auto* out = mFlat.ptr<float>();
            const auto top = static_cast<float>(mTop);
            for (int x = 0; x < mSource.width; ++x) {
                const float opacity = in[4 * x + 3] / top;
                for (int k = 0; k < 3; ++k) {
                    out[3 * x + k] = in[4 * x + k] * opacity + top * (1.0f - opacity);
                }
            }
            row = mFlat;
        } else if (row.channels() == 1) {
            // A grey picture (an auxiliary image) shows as grey.
            cv::cvtColor(row, mFlat, cv::COLOR_GRAY2BGR);
            row = mFlat;
        }
        const std::int64_t end = (std::int64_t(mRow) + 1) * source;  // the picture row's end, times h
        const std::int64_t next = (std::int64_t(mSourceRow) + 1) * target;
        if (next <= end) {
            addRow(row, 1.0);
            if (next == end) {
                endRow();
            }
        } else {
            const double before = double(end - std::int64_t(mSourceRow) * target) / double(target);
            addRow(row, before);
            endRow();
            addRow(row, 1.0 - before);
        }
    }
}

void PreviewBuilder::addRow(const cv::Mat& row, double weight)
{
    if (weight == 1.0) {
        cv::accumulate(row, mSum);
    } else {
        row.convertTo(mWeighted, CV_32F, weight);
        mSum += mWeighted;
    }
}

void PreviewBuilder::endRow()
{
    if (mRow >= mTarget.height) {
        return;
    }
    // The row's source rows times h / H: the sums become averages, brought
    // to 8 bits.
    cv::resize(mSum, mAveraged, cv::Size(mTarget.width, 1), 0, 0, cv::INTER_AREA);
    cv::Mat row = mPicture.row(mRow);
    mAveraged.convertTo(row, CV_8U, double(mTarget.height) / double(mSource.height) * 255.0 / mTop);
    mSum.setTo(cv::Scalar::all(0));
    ++mRow;
}

cv::Mat PreviewBuilder::finish()
{
    if (mSourceRow < mSource.height) {
        throw std::logic_error("PreviewBuilder: " + std::to_string(mSourceRow) + " of " +
                               std::to_string(mSource.height) + " rows added");
    }
    return mPicture;
}

}  // namespace ambrel::pipeline
