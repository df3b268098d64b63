// From decoded tile frames to the picture that is encoded: the grid mosaic,
// the crop to the output size, the image's transformative properties and the
// user's scale. Failures are exceptions (std::out_of_range,
// std::invalid_argument, cv::Exception); heif2jpg turns them into its result.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include <opencv2/core.hpp>

#include "pipeline/decode/heif_image_data.h"
#include "pipeline/decode/picture_decoder.h"

namespace ambrel::pipeline {

// The largest picture side a JPEG can hold.
constexpr int kMaxJpegSide = 65535;

// The mosaic built in place: the storage of a row of tiles allocated when
// the first of its tiles arrives, every tile written straight into its cell
// (by the decoder), and the output region handed out as views,
// without copies.
//
// A canvas that holds the whole mosaic hands out the output region at the
// end (output()). A canvas of the rows in flight hands each row of tiles,
// once all of its cells are filled, to a consumer on another thread
// (takeBand()) and keeps it no longer: only the rows being decoded or not
// yet taken take memory.
// The cell type of a canvas of JPEG planes (8-bit luma and both chroma
// planes, halved both ways): not a matrix type of its own, OpenCV's two-channel
// code stands for it. Each row of tiles (or the whole mosaic) is held as one
// 8-bit matrix: the luma rows, and below them the Cb plane on the left and
// the Cr plane beside it.
constexpr int kJpegPlanesCell = CV_8UC2;

class MosaicCanvas
{
public:
    enum class Storage {
        Whole,
        RowsInFlight,
    };

    // `maxPixels` bounds the whole mosaic, cells beyond the output included.
    // The canvas and its cells are of `cellType`: CV_8UC3, CV_16UC3, CV_8UC1
    // or CV_16UC1, or kJpegPlanesCell (any other throws
    // std::invalid_argument).
    MosaicCanvas(std::uint32_t rows, std::uint32_t columns, std::uint64_t maxPixels, int cellType = CV_8UC3,
                 Storage storage = Storage::Whole);

    // Called on the decoding thread before the storage of row `row` of tiles
    // is allocated; it may wait there for rows to be taken.
    void setRowOpening(std::function<void(std::uint32_t row)> opening) { mRowOpening = std::move(opening); }

    // The cell of tile `index` (of the cell type, width x height), to be
    // filled by the caller. An empty matrix when the layout needs no more tiles (index
    // at or past rows x columns), or when the first tile makes the mosaic
    // larger than `maxPixels` (tooLarge() then says so). An empty layout
    // hands out scratch cells, so that the tiles can still be counted.
    // Throws cv::Exception when the tile's size differs from the first tile's.
    cv::Mat cell(std::size_t index, int width, int height);
    // The part of that cell inside the width x height output region at the
    // top left (the whole cell for a tile wholly outside it): what a tile is
    // converted into, so that the region's right and bottom edges are the
    // picture's edges and the padding a tile carries past them stays out of
    // its pixels.
    cv::Mat regionCell(std::size_t index, int tileWidth, int tileHeight, std::uint32_t width, std::uint32_t height);
    // For a canvas of JPEG planes: the planes of tile `index`, handed out as
    // cell() hands out a cell (cell() gives the luma alone). Tiles of an odd
    // width or height, where a mosaic needs more than one across or down,
    // cannot share the halved planes: none then, and planesRefused() says so.
    JpegPlanes planesCell(std::size_t index, int width, int height);
    bool planesRefused() const { return mPlanesRefused; }
    int cellType() const { return mCellType; }
    // Says that the cell of tile `index` has been filled; the tiles may be
    // filled in any order.
    void filled(std::size_t index);
    bool tooLarge() const { return mTooLarge; }
    // Tiles handed out so far.
    std::size_t tiles() const { return mTiles; }
    // The size of a tile, from the first one (empty before it).
    cv::Size tileSize() const { return mTileSize; }

    // The width x height region at the top left, cut down to the mosaic: a
    // view into the canvas. Throws std::out_of_range when a tile is missing
    // or the layout is empty, std::invalid_argument when the region is empty,
    // std::logic_error for a canvas of the rows in flight.
    cv::Mat output(std::uint32_t width, std::uint32_t height) const;
    // The same for a whole canvas of JPEG planes: the region's planes.
    JpegPlanes outputPlanes(std::uint32_t width, std::uint32_t height) const;
    // The size output() has, for either storage; throws as output() does
    // when a tile is missing or the region is empty.
    cv::Size outputSize(std::uint32_t width, std::uint32_t height) const;

    // The size of the output region while tiles are still arriving: empty
    // before the first tile and when the region has no pixels.
    cv::Size regionSize(std::uint32_t width, std::uint32_t height) const;
    // Rows of tiles, from the top, whose cells have all been filled.
    std::uint32_t completeTileRows() const { return mCompleteTileRows; }

    // For a canvas of the rows in flight: the part of row `row` of tiles
    // inside the width x height region, which the canvas lets go of (the
    // view keeps its pixels alive). Empty when the row lies below the region
    // or has no storage. May be called from another thread than the one
    // filling the cells, for a row counted by completeTileRows().
    cv::Mat takeBand(std::uint32_t row, std::uint32_t width, std::uint32_t height);
    // The same for a canvas of JPEG planes: the planes of the part of the
    // row inside the region.
    JpegPlanes takePlanes(std::uint32_t row, std::uint32_t width, std::uint32_t height);

    // Lets go of the canvas (views handed out keep their pixels alive).
    void release()
    {
        mCanvas.release();
        mScratch.release();
        for (cv::Mat& band : mBands) {
            band.release();
        }
    }

private:
    std::uint32_t mRows;
    std::uint32_t mColumns;
    std::uint64_t mMaxPixels;
    int mCellType;
    Storage mStorage;
    cv::Mat mCanvas;
    // Rows in flight: the storage of every row of tiles, empty before its
    // first tile and after it has been taken.
    std::vector<cv::Mat> mBands;
    std::function<void(std::uint32_t row)> mRowOpening;
    // Cells filled in each row of tiles.
    std::vector<std::uint32_t> mFilled;
    std::uint32_t mCompleteTileRows = 0;
    cv::Size mTileSize;
    cv::Size mCanvasSize;
    cv::Mat mScratch;
    std::size_t mTiles = 0;
    bool mTooLarge = false;
    bool mPlanesRefused = false;
};

// Turns the image anticlockwise by `rotation` degrees; anything other than 90,
// 180 or 270 leaves it unturned.
void applyRotation(cv::Mat& image, std::uint32_t rotation);

// Mirrors by the 'imir' axis bit as cameras and libheif read it: axis 0 swaps
// top and bottom, axis 1 swaps left and right.
void applyMirror(cv::Mat& image, std::uint32_t axis);

// The pixel rectangle of a clean aperture in an image of the given size: the
// aperture's centre lies at ((width - 1) / 2 + horizontal offset,
// (height - 1) / 2 + vertical offset); offsets have signed numerators. The
// size and the left and top edges are rounded to whole pixels. False for a
// zero denominator, an empty aperture or one that reaches outside the image.
bool cleanApertureRect(const heif::CleanApertureInfo& aperture, int width, int height, cv::Rect& rect);

// Crops to the clean aperture; false, with the image untouched, when the
// aperture is unusable (see cleanApertureRect).
bool applyCleanAperture(cv::Mat& image, const heif::CleanApertureInfo& aperture);

// Applies the transforms in order. With `keepOrientation` the rotations and
// mirrors are left to the EXIF Orientation tag: the image keeps its stored
// orientation and only the clean apertures cut it (where an aperture follows a
// turn, the turns are applied for it and undone afterwards).
void applyTransforms(cv::Mat& image, const std::vector<ImageTransform>& transforms, bool keepOrientation);

// The picture applyTransforms makes of an image, handed out band by band,
// top to bottom, without turning the whole of it at once: each band is cut
// from the image and turned on its own, so that no second picture of the
// image's size is held. The image must outlive it.
class TransformedBands
{
public:
    TransformedBands(const cv::Mat& image, const std::vector<ImageTransform>& transforms, bool keepOrientation);

    cv::Size size() const { return mSize; }
    // Rows first .. first + count - 1 of the transformed picture (within
    // it); a view into the image where no turn is needed.
    cv::Mat rows(int first, int count) const;

private:
    cv::Mat mImage;
    cv::Size mSize;
    // The image's pixel for the picture's pixel (x, y):
    // (mXx x + mXy y + mX0, mYx x + mYy y + mY0).
    int mXx = 1;
    int mXy = 0;
    int mX0 = 0;
    int mYx = 0;
    int mYy = 1;
    int mY0 = 0;
};

// Resizes both axes by `scale` (bilinear), keeping the image's type (16-bit
// stays 16-bit); 1 returns the image as it is.
// Throws std::invalid_argument for a factor that is not positive and finite or
// a result without pixels or beyond kMaxJpegSide.
cv::Mat scaleImage(const cv::Mat& image, float scale);

// The size scaleImage gives the image of `size` (cv::resize's rounding);
// throws std::invalid_argument as scaleImage does.
cv::Size scaledSize(cv::Size size, float scale);

// Scales a picture given band by band, top to bottom, by a factor whose
// inverse is a power of two (1/2, 1/4, ...): every band of output rows is
// made from the source rows that give exactly those rows, so the rows are
// those scaleImage gives for the whole picture, byte for byte.
class BandScaler
{
public:
    // Whether bands can be scaled by `scale` this way.
    static bool takes(float scale);

    explicit BandScaler(float scale);

    // The next rows of the source, of any number; `emit` receives the next
    // rows of the scaled picture when there are any.
    void add(const cv::Mat& rows, const std::function<void(const cv::Mat&)>& emit);
    // After the last source rows: the last rows of the scaled picture.
    void finish(const std::function<void(const cv::Mat&)>& emit);

private:
    void scale(const cv::Mat& source, const std::function<void(const cv::Mat&)>& emit) const;

    float mScale;
    int mUnit;  // source rows that give two output rows
    cv::Mat mPending;
};

// JPEG planes scaled band by band: each plane by a BandScaler of its own,
// the chroma then cut or widened (its last column or row repeated) to half
// the scaled luma, rounded up, and handed on in step with it.
class PlanesScaler
{
public:
    // `scaled`: the luma's size once scaled, as scaledSize gives it.
    PlanesScaler(float scale, cv::Size scaled);

    // The next rows of the source planes; `emit` receives the next rows of
    // the scaled planes, an even number of luma rows but for the last.
    void add(const JpegPlanes& planes, const std::function<void(const JpegPlanes&)>& emit);
    // After the last source rows: the rest of the scaled planes.
    void finish(const std::function<void(const JpegPlanes&)>& emit);

private:
    void handOn(bool last, const std::function<void(const JpegPlanes&)>& emit);

    BandScaler mLuma;
    BandScaler mCb;
    BandScaler mCr;
    int mChromaWidth;
    // Scaled rows not yet handed on.
    cv::Mat mLumaRows;
    cv::Mat mCbRows;
    cv::Mat mCrRows;
    // The last chroma rows handed on.
    cv::Mat mCbLast;
    cv::Mat mCrLast;
};

// The longer side brought to at most `side` pixels, the shape kept; never
// enlarged. Each side is at least 1 pixel.
cv::Size boundedSize(cv::Size size, std::uint32_t side);

// A small picture of a larger one given band by band, top to bottom: each
// pixel the average of the source area it covers (what INTER_AREA computes),
// in 8-bit BGR. Holds a row of sums and the 8-bit picture, not the source.
class PreviewBuilder
{
public:
    // For a source of `source` pixels, a picture whose longer side is at
    // most `side`.
    PreviewBuilder(cv::Size source, std::uint32_t side);
    // For a source of `source` pixels, a picture of `target` (no larger).
    PreviewBuilder(cv::Size source, cv::Size target);

    cv::Size size() const { return mTarget; }

    // The next rows of the source: 8 or 16-bit, grey, BGR or BGRA (with straight
    // colours; the picture is shown over white). Rows past the source's
    // height are ignored.
    void add(const cv::Mat& rows);
    // The picture, once every source row has been added.
    cv::Mat finish();

private:
    void addRow(const cv::Mat& row, double weight);
    void endRow();

    cv::Size mSource;
    cv::Size mTarget;
    int mSourceRow = 0;  // source rows added
    int mRow = 0;        // picture rows finished
    double mTop = 1.0;   // the largest sample value of the source
    cv::Mat mSum;        // 1 x source width, CV_32FC3
    cv::Mat mFlat;       // a source row over white
    cv::Mat mWeighted;
    cv::Mat mAveraged;
    cv::Mat mPicture;  // 8-bit BGR
};

}  // namespace ambrel::pipeline
