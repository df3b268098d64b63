// BMP: written here, a BITMAPV5HEADER with the embedded ICC profile (EXIF
// and XMP have no place in it), 8 bits a sample. A grey picture is stored
// with 8 bits a pixel into a table of the 256 greys; an alpha channel is
// kept (BI_BITFIELDS). The whole file is made at begin() and each row put
// where it belongs (BMP stores them bottom up) as it arrives, without a
// second copy of the picture.
#include <cstring>
#include <limits>

#include "pipeline/encode/writer_support.h"

namespace ambrel::pipeline {

namespace {

using namespace writing;

void appendLittle16(Bytes& out, std::uint16_t value)
{
    out.push_back(static_cast<std::uint8_t>(value));
    out.push_back(static_cast<std::uint8_t>(value >> 8));
}

void appendLittle32(Bytes& out, std::uint32_t value)
{
    appendLittle16(out, static_cast<std::uint16_t>(value));
    appendLittle16(out, static_cast<std::uint16_t>(value >> 16));
}

constexpr std::uint32_t kBmpFileHeaderSize = 14;
constexpr std::uint32_t kBmpV5HeaderSize = 124;
constexpr std::uint32_t kBiRgb = 0;
constexpr std::uint32_t kBiBitfields = 3;
constexpr std::uint32_t kLcsSrgb = 0x73524742;          // 'sRGB'
constexpr std::uint32_t kProfileEmbedded = 0x4d424544;  // 'MBED'
constexpr std::uint32_t kLcsGmImages = 4;               // perceptual
constexpr std::uint32_t kPixelsPerMetre = 2835;         // 72 dpi
constexpr std::uint32_t kBmpGreyPaletteBytes = 256 * 4;

// Where the pixels of a BMP file lie: after the headers (and the grey
// table), the rows from the bottom up, each padded to four bytes; the
// profile follows them.
struct BmpLayout
{
    std::size_t rowBytes = 0;
    std::size_t stride = 0;
    std::size_t pixelOffset = 0;
    std::size_t pixelBytes = 0;
};
bool bmpHeader(cv::Size size, int channels, const Bytes& icc, Bytes& out, BmpLayout& layout)
{
    const std::uint64_t stride = (static_cast<std::uint64_t>(size.width) * channels + 3) & ~std::uint64_t(3);
    const std::uint64_t pixelBytes = stride * static_cast<std::uint64_t>(size.height);
    // A grey picture is stored with 8 bits a pixel, indices into a table of the 256 greys.
    const std::uint32_t paletteBytes = channels == 1 ? kBmpGreyPaletteBytes : 0;
    const std::uint64_t pixelOffset = kBmpFileHeaderSize + kBmpV5HeaderSize + paletteBytes;
    const std::uint64_t fileSize = pixelOffset + pixelBytes + icc.size();
    if (fileSize > std::numeric_limits<std::int32_t>::max())
        return false;
    layout.rowBytes = static_cast<std::size_t>(size.width) * channels;
    layout.stride = static_cast<std::size_t>(stride);
    layout.pixelOffset = static_cast<std::size_t>(pixelOffset);
    layout.pixelBytes = static_cast<std::size_t>(pixelBytes);

    out.reserve(static_cast<std::size_t>(fileSize));
    // BITMAPFILEHEADER
    out.insert(out.end(), {'B', 'M'});
    appendLittle32(out, static_cast<std::uint32_t>(fileSize));
    appendLittle32(out, 0);
    appendLittle32(out, static_cast<std::uint32_t>(pixelOffset));
    // BITMAPV5HEADER
    appendLittle32(out, kBmpV5HeaderSize);
    appendLittle32(out, static_cast<std::uint32_t>(size.width));
    appendLittle32(out, static_cast<std::uint32_t>(size.height));  // positive: bottom row first
    appendLittle16(out, 1);                                        // planes
    appendLittle16(out, static_cast<std::uint16_t>(channels * 8));
    appendLittle32(out, channels == 4 ? kBiBitfields : kBiRgb);
    appendLittle32(out, static_cast<std::uint32_t>(pixelBytes));
    appendLittle32(out, kPixelsPerMetre);
    appendLittle32(out, kPixelsPerMetre);
    appendLittle32(out, channels == 1 ? 256 : 0);  // colours used
    appendLittle32(out, 0);                        // colours important
    // Channel masks: read only with BI_BITFIELDS, where they say B, G, R, A
    // from the lowest byte up, as the rows are stored.
    appendLittle32(out, channels == 4 ? 0x00ff0000U : 0);
    appendLittle32(out, channels == 4 ? 0x0000ff00U : 0);
    appendLittle32(out, channels == 4 ? 0x000000ffU : 0);
    appendLittle32(out, channels == 4 ? 0xff000000U : 0);
    appendLittle32(out, icc.empty() ? kLcsSrgb : kProfileEmbedded);
    out.insert(out.end(), 36 + 12, 0);  // endpoints and gammas: unused for these colour spaces
    appendLittle32(out, kLcsGmImages);
    // The profile follows the pixels; its offset counts from this header.
    appendLittle32(out, icc.empty() ? 0 : static_cast<std::uint32_t>(kBmpV5HeaderSize + paletteBytes + pixelBytes));
    appendLittle32(out, static_cast<std::uint32_t>(icc.size()));
    appendLittle32(out, 0);  // reserved
    if (channels == 1) {
        for (unsigned grey = 0; grey < 256; ++grey) {
            const auto level = static_cast<std::uint8_t>(grey);
            out.insert(out.end(), {level, level, level, 0});  // blue, green, red, reserved
        }
    }
    return true;
}

void putBmpRows(const cv::Mat& rows, int first, int height, const BmpLayout& layout, Bytes& file)
{
    for (int y = 0; y < rows.rows; ++y) {
        const std::size_t row = static_cast<std::size_t>(height - 1 - (first + y));
        // BMP stores B, G, R (, A): OpenCV's order.
        std::memcpy(file.data() + layout.pixelOffset + row * layout.stride, rows.ptr<std::uint8_t>(y), layout.rowBytes);
    }
}

class BmpWriter final : public ImageWriter
{
public:
    void begin(cv::Size size, PixelLayout layout, const WriterMetadata& metadata) override
    {
        mLayout = layout;
        mHeight = size.height;
        if (std::string problem = checkStart(size, layout); !problem.empty()) {
            mError = "BMP: " + problem;
            return;
        }
        const int channels = CV_MAT_CN(layout.cvType());
        if (!bmpHeader(size, channels, metadata.icc, mFile, mFileLayout)) {
            mError = "BMP: the picture is too large for a BMP file";
            return;
        }
        try {
            mFile.resize(mFileLayout.pixelOffset + mFileLayout.pixelBytes);
            mIcc = metadata.icc;
        } catch (const std::bad_alloc&) {
            mError = "BMP: out of memory";
        }
        mWidth = size.width;
    }

    void writeRows(const cv::Mat& rows) override
    {
        if (!mError.empty() || mFile.empty())
            return;
        if (std::string problem = checkRows(rows, mWidth, mLayout); !problem.empty()) {
            mError = problem;
            return;
        }
        const int count = std::clamp(rows.rows, 0, mHeight - mDone);
        putBmpRows(eightBitRows(rows.rowRange(0, count)), mDone, mHeight, mFileLayout, mFile);
        mDone += count;
    }

    EncodedFile finish() override
    {
        if (mError.empty() && (mFile.empty() || mDone != mHeight))
            mError = "not every row was given";
        if (!mError.empty())
            return failure(mError);
        try {
            mFile.insert(mFile.end(), mIcc.begin(), mIcc.end());
        } catch (const std::bad_alloc&) {
            return failure("BMP: out of memory");
        }
        return {std::move(mFile), {}, {}};
    }

private:
    PixelLayout mLayout;
    int mWidth = 0;
    int mHeight = 0;
    int mDone = 0;
    Bytes mFile;
    BmpLayout mFileLayout;
    Bytes mIcc;
    std::string mError;
};

}  // namespace

std::unique_ptr<ImageWriter> makeBmpWriter(const WriterOptions&)
{
    return std::make_unique<BmpWriter>();
}

}  // namespace ambrel::pipeline
