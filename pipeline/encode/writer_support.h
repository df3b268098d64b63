// What the format writers share: the makers behind makeWriter, the metadata
// as the writers read it, rows gathered into bands, work on every core, and
// the conversions of rows into what a format stores.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <libdeflate.h>

#include <opencv2/core.hpp>

#include "pipeline/encode/image_writer.h"

namespace ambrel::pipeline {

std::unique_ptr<ImageWriter> makeJpegWriter(const WriterOptions& options);
std::unique_ptr<ImageWriter> makePngWriter(const WriterOptions& options);
std::unique_ptr<ImageWriter> makeTiffWriter(const WriterOptions& options);
std::unique_ptr<ImageWriter> makeBmpWriter(const WriterOptions& options);
std::unique_ptr<ImageWriter> makeJp2Writer(const WriterOptions& options);
std::unique_ptr<ImageWriter> makeWebpWriter(const WriterOptions& options);

// Makes an EXIF block fit a JPEG's APP1 segment (jpegmeta::fitIntoApp1);
// false when it cannot, and the EXIF is then left out.
bool fitJpegExif(std::vector<std::uint8_t>& block);

// JPEG 2000: the compression ratio for a quality below 100 (clamped to
// 1..99): 2 at 99, doubling every 10 steps down.
[[nodiscard]] double jp2RatioForQuality(int quality);

// JPEG 2000: the number of wavelet resolution levels used for a width x
// height picture: six, fewer for a side below 32 pixels (each level halves
// the picture).
[[nodiscard]] int jp2ResolutionLevels(int width, int height);

namespace writing {

using Bytes = std::vector<std::uint8_t>;

struct DeflaterFree
{
    void operator()(libdeflate_compressor* compressor) const { libdeflate_free_compressor(compressor); }
};

// zlib level of the TIFF writer, chosen for speed. Measured on a 12 MP
// photograph-like picture (4032 x 3024, upscaled photo plus sensor-like
// noise): deflate with the horizontal predictor at level 1 takes 0.50 s for
// 22.7 MB, at level 6 1.40 s for 22.1 MB.
constexpr int kTiffDeflateLevel = 1;

// libdeflate level (1 to 12) of the PNG writer, whose rows are filtered
// (Up, or Paeth where it clearly suits a row) and deflated in bands on every
// core. Measured on the benchmark's phone-like files (whole conversions with
// ambrel-convert and libheif's heif-convert, on a busy 2-core machine):
//   12 MP, 4032 x 3024: 1.2 s for 15.0 MB, where heif-convert takes 3.7 s for
//     15.6 MB (before: zlib level 1, Paeth, run-length matching, 0.8 s for
//     20.7 MB). The encoding alone: 0.9 s of CPU time at level 5; level 2
//     takes 0.4 s of libdeflate's time for 15.3 MB, level 6 0.8 s for 14.9 MB.
//   48 MP, 8064 x 6048: 4.6 s for 58.6 MB, where heif-convert takes 14.6 s
//     for 61.1 MB (before: 3.5 s for 82.7 MB).
//   200 MP, 16320 x 12240, whole conversions (the decoding takes some 3.5 s
//     of CPU time of each): level 5 15.7 s of CPU time for 235.5 MB, level 3
//     12.4 s for 238.6 MB, level 2 11.6 s for 239.7 MB, level 1 9.8 s for
//     249.9 MB.
// Level 2 takes a third less of the encoding's time than level 5 (lazy
// matching, which noise rewards) for files 2 % larger, still smaller than
// heif-convert's.
constexpr int kPngDeflateLevel = 2;

// A file that is not: `text` is why.
[[nodiscard]] EncodedFile failure(std::string text);

// The empty string when begin() was given what a writer takes: a size with
// pixels and a layout of 8 or 16 bits other than JpegPlanes.
[[nodiscard]] std::string checkStart(cv::Size size, PixelLayout layout);

// The empty string when `rows` fit a picture of `width` and `layout`.
[[nodiscard]] std::string checkRows(const cv::Mat& rows, int width, PixelLayout layout);

// Rows first..first+count of the picture in RGB(A) order (a grey picture as
// it is), contiguous.
[[nodiscard]] cv::Mat rgbRows(const cv::Mat& image, int first, int count);

// The rows with 8-bit samples (16-bit ones rounded), and with three
// channels when `colour` and they are grey.
[[nodiscard]] cv::Mat eightBitRows(const cv::Mat& rows, bool colour = false);

// The XMP packet as libraries that take C strings need it: up to the first
// NUL (a packet is text; a trailing NUL is common).
[[nodiscard]] std::string xmpText(const Bytes& xmp);

// Room for a file of as many bytes as the picture's samples, so that the
// file rarely moves while it grows: pages never written cost nothing.
void reserveForPicture(Bytes& file, cv::Size size, int type);

// Runs `work` on one thread per core, this one included, but on no more
// threads than there are `tasks`; each run takes its tasks from a counter of
// its own and must not throw. When threads cannot be started, fewer runs take
// the same tasks.
template <typename Work>
void runOnEveryCore(std::size_t tasks, const Work& work)
{
    const std::size_t threads = std::min<std::size_t>(std::max(1u, std::thread::hardware_concurrency()), tasks);
    std::vector<std::thread> helpers;
    try {
        for (std::size_t i = 1; i < threads; ++i)
            helpers.emplace_back(work);
    } catch (const std::exception&) {
        // Fewer threads: this one takes what the others would have.
    }
    work();
    for (std::thread& helper : helpers)
        helper.join();
}

// Rows gathered into bands of whole units (PNG's bands, TIFF's strips) and
// handed on once there are enough of them to keep every core busy, and all
// of them at the end. With `overlap` 1 every band is handed on behind the
// row above it (PNG filters a row against the one above).
class BandGatherer
{
public:
    // Compresses `rows`: the band's rows, behind `overlap` rows above them
    // when it is not the picture's first band; `first` is the picture row of
    // the band's first row. The empty string when done, else why not.
    using Compress = std::function<std::string(const cv::Mat& rows, int first)>;

    BandGatherer(int height, int unit, int overlap) : mHeight(height), mUnit(std::max(1, unit)), mOverlap(overlap) {}

    // The caller's rows are compressed where they are; only what is left
    // over is copied. The empty string when done, else why not.
    std::string add(const cv::Mat& rows, const Compress& compress);
    // The rest; "not every row was given" when rows are missing.
    std::string finish(const Compress& compress);

private:
    std::string compressPending(bool end, const Compress& compress);
    int above() const { return mDone > 0 ? mOverlap : 0; }

    int mHeight;
    int mUnit;
    int mOverlap;
    int mDone = 0;     // picture rows compressed
    cv::Mat mPending;  // rows not yet compressed, behind the row above them (when done > 0 and overlapping)
};

// A picture a writer holds until finish() (its library wants it whole):
// rows handed over whole, in one call, are held as they are, without a copy
// (the caller keeps them unchanged until finish()); rows in bands are
// gathered into a picture of its own, made at the first band.
class HeldPicture
{
public:
    void start(cv::Size size, int type)
    {
        mSize = size;
        mType = type;
    }
    // The rows (of the picture's type), past its height ignored; the empty
    // string when held, else why not.
    std::string add(const cv::Mat& rows);
    [[nodiscard]] bool complete() const { return mSize.height > 0 && mDone == mSize.height; }
    [[nodiscard]] const cv::Mat& picture() const { return mPicture; }
    void release() { mPicture.release(); }

private:
    cv::Size mSize;
    int mType = 0;
    cv::Mat mPicture;
    int mDone = 0;
};

// A writer whose library wants the picture whole: it holds the rows (see
// HeldPicture) and encodes them at finish(). A format says what it refuses
// at the start (refusal), the type it holds (heldType), how rows become that
// type (heldRows) and how the whole picture is encoded (encode).
class HoldingWriter : public ImageWriter
{
public:
    void begin(cv::Size size, PixelLayout layout, const WriterMetadata& metadata) final
    {
        mLayout = layout;
        std::string problem = checkStart(size, layout);
        if (problem.empty()) {
            problem = refusal(size);
        }
        if (!problem.empty()) {
            mError = mName + problem;
            return;
        }
        mMetadata = metadata;
        mPicture.start(size, heldType(layout));
        mWidth = size.width;
        mStarted = true;
    }

    void writeRows(const cv::Mat& rows) final
    {
        if (!mError.empty() || !mStarted) {
            return;
        }
        if (std::string problem = checkRows(rows, mWidth, mLayout); !problem.empty()) {
            mError = problem;
            return;
        }
        if (std::string problem = mPicture.add(heldRows(rows)); !problem.empty()) {
            mError = mName + problem;
        }
    }

    EncodedFile finish() final
    {
        if (mError.empty() && !mPicture.complete()) {
            mError = "not every row was given";
        }
        if (!mError.empty()) {
            return failure(mError);
        }
        EncodedFile file = encode(mPicture.picture(), mMetadata);
        mPicture.release();
        return file;
    }

protected:
    // `name`: the format's name and a colon, before its messages ("WebP: ").
    explicit HoldingWriter(std::string name) : mName(std::move(name)) {}
    // Why a picture of this size cannot be written; empty when it can.
    [[nodiscard]] virtual std::string refusal(cv::Size /*size*/) const { return {}; }
    [[nodiscard]] virtual int heldType(PixelLayout layout) const { return layout.cvType(); }
    [[nodiscard]] virtual cv::Mat heldRows(const cv::Mat& rows) const { return rows; }
    [[nodiscard]] virtual EncodedFile encode(const cv::Mat& picture, const WriterMetadata& metadata) = 0;

private:
    std::string mName;
    PixelLayout mLayout;
    WriterMetadata mMetadata;
    HeldPicture mPicture;
    bool mStarted = false;
    int mWidth = 0;
    std::string mError;
};

}  // namespace writing

}  // namespace ambrel::pipeline
