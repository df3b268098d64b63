#include "pipeline/encode/writer_support.h"

#include <opencv2/imgproc.hpp>

namespace ambrel::pipeline::writing {

EncodedFile failure(std::string text)
{
    return {{}, std::move(text), {}};
}

std::string checkStart(cv::Size size, PixelLayout layout)
{
    if (size.width <= 0 || size.height <= 0)
        return "the picture has no pixels";
    if (layout.channels == Channels::JpegPlanes)
        return "the format does not take JPEG planes";
    if (layout.bits != 8 && layout.bits != 16)
        return "the picture is not of 8 or 16 bits";
    return {};
}

std::string checkRows(const cv::Mat& rows, int width, PixelLayout layout)
{
    if (rows.dims != 2 || rows.type() != layout.cvType() || (!rows.empty() && rows.cols != width))
        return "the rows do not fit the picture";
    return {};
}

cv::Mat rgbRows(const cv::Mat& image, int first, int count)
{
    cv::Mat rows;
    if (image.channels() == 1) {
        image.rowRange(first, first + count).copyTo(rows);
        return rows;
    }
    cv::cvtColor(image.rowRange(first, first + count), rows,
                 image.channels() == 4 ? cv::COLOR_BGRA2RGBA : cv::COLOR_BGR2RGB);
    return rows;
}

cv::Mat eightBitRows(const cv::Mat& rows, bool colour)
{
    cv::Mat narrow = rows;
    if (rows.depth() == CV_16U)
        rows.convertTo(narrow, CV_8U, 1.0 / 257.0);
    if (colour && narrow.channels() == 1) {
        cv::Mat wide;
        cv::cvtColor(narrow, wide, cv::COLOR_GRAY2BGR);
        return wide;
    }
    return narrow;
}

std::string xmpText(const Bytes& xmp)
{
    const auto end = std::find(xmp.begin(), xmp.end(), std::uint8_t(0));
    return std::string(xmp.begin(), end);
}

void reserveForPicture(Bytes& file, cv::Size size, int type)
{
    try {
        file.reserve(file.size() + std::size_t(size.width) * std::size_t(size.height) * CV_ELEM_SIZE(type));
    } catch (const std::exception&) {
        // Grown as it comes.
    }
}

std::string HeldPicture::add(const cv::Mat& rows)
{
    const int count = std::clamp(rows.rows, 0, mSize.height - mDone);
    if (count == 0) {
        return {};
    }
    if (mDone == 0 && count == mSize.height) {
        mPicture = rows.rowRange(0, count);
        mDone = count;
        return {};
    }
    try {
        if (mPicture.empty()) {
            mPicture.create(mSize, mType);
        }
        rows.rowRange(0, count).copyTo(mPicture.rowRange(mDone, mDone + count));
    } catch (const cv::Exception&) {
        return "out of memory";
    }
    mDone += count;
    return {};
}

std::string BandGatherer::compressPending(bool end, const Compress& compress)
{
    const int overlap = above();
    const int available = mPending.rows - overlap;
    const int cores = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
    const int rows = end ? available : available / mUnit * mUnit;
    if (rows <= 0 || (!end && rows < 2 * cores * mUnit))
        return {};
    if (std::string problem = compress(mPending.rowRange(0, overlap + rows), mDone); !problem.empty())
        return problem;
    mDone += rows;
    mPending = mPending.rowRange(overlap + rows - mOverlap, mPending.rows).clone();
    return {};
}

std::string BandGatherer::add(const cv::Mat& rows, const Compress& compress)
{
    const int room = mHeight - mDone - (mPending.rows - above());
    const cv::Mat taken = rows.rowRange(0, std::clamp(rows.rows, 0, room));
    if (taken.empty())
        return {};
    try {
        const bool copied = !mPending.empty();
        if (copied)
            cv::vconcat(mPending, taken, mPending);
        else
            mPending = taken;
        const int before = mDone;
        std::string problem = compressPending(false, compress);
        if (!copied && mDone == before)
            mPending = mPending.clone();
        return problem;
    } catch (const cv::Exception&) {
        return "out of memory";
    }
}

std::string BandGatherer::finish(const Compress& compress)
{
    if (mDone + mPending.rows - above() != mHeight)
        return "not every row was given";
    return compressPending(true, compress);
}

}  // namespace ambrel::pipeline::writing
