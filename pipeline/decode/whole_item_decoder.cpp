#include "pipeline/decode/whole_item_decoder.h"

#include <functional>
#include <stdexcept>
#include <string>
#include <utility>

#include <opencv2/imgproc.hpp>

#include "heiclib/heif_limits.h"
#include "heiclib/memory_budget.h"
#include "pipeline/decode/jpeg_decoder.h"
#include "pipeline/decode/uncompressed.h"

namespace ambrel::pipeline {

namespace {

// The decoded pictures go to the sink: false from it stops the decoding.
using WholeSink = std::function<bool(const cv::Mat& picture, std::size_t index)>;

class WholeItemDecoder final : public PictureDecoder
{
public:
    WholeItemDecoder(const CodecSetup& setup, WholeSink sink, ConvertedCallback converted)
        : mCodec(setup.codec), mConfigs(setup.uncompressed), mSink(std::move(sink)), mConverted(std::move(converted))
    {}

    bool send(std::span<const std::uint8_t> tile, std::span<const std::uint8_t> /*parameterSets*/) override
    {
        if (mStopped) {
            return false;
        }
        const std::size_t index = mSent++;
        // Each picture is held alone while it is converted; the file's
        // budget is for the record and the canvas.
        heif::MemoryBudget budget(heif::limits::kMaxFileMemoryBytes);
        DecodedPicture decoded;
        std::string what;
        if (mCodec == Codec::Jpeg) {
            decoded = decodeJpeg(tile, &budget, heif::limits::kMaxImagePixels);
            what = "the JPEG image data cannot be decoded: ";
        } else if (index < mConfigs.size()) {
            decoded = decodeUncompressed(mConfigs[index], tile, &budget, heif::limits::kMaxImagePixels);
            what = "the uncompressed image cannot be decoded: ";
        } else {
            decoded.error = "its configuration is missing";
            what = "the uncompressed image cannot be decoded: ";
        }
        if (!decoded.ok()) {
            if (mResult.error.empty()) {
                mResult.error = what + (decoded.error.empty() ? std::string("it holds no picture") : decoded.error);
            }
            return true;
        }
        if (!decoded.warning.empty() && mResult.warning.empty()) {
            mResult.warning = decoded.warning;
        }
        if (!decoded.alpha.empty() && !mAlphaNoted) {
            mAlphaNoted = true;
            addNote(std::string("the alpha channel of the ") + (mCodec == Codec::Jpeg ? "JPEG" : "uncompressed") +
                    " image is left out");
        }
        if (!mSink(decoded.picture, mResult.pictures)) {
            mStopped = true;
            return false;
        }
        if (mResult.pictures == 0) {
            mResult.bitDepth = decoded.picture.depth() == CV_16U ? 16 : 8;
        }
        if (mConverted) {
            mConverted(mResult.pictures);
        }
        ++mResult.pictures;
        return !mStopped;
    }

    void finish() override {}

    [[nodiscard]] DecodeResult result() const override { return mResult; }

private:
    void addNote(const std::string& note) { mResult.warning += (mResult.warning.empty() ? "" : "; ") + note; }

    Codec mCodec;
    std::span<const UncompressedConfig> mConfigs;
    WholeSink mSink;
    ConvertedCallback mConverted;
    DecodeResult mResult;
    std::size_t mSent = 0;
    bool mStopped = false;
    bool mAlphaNoted = false;
};

}  // namespace

void convertDecodedPicture(const cv::Mat& picture, cv::Mat& target)
{
    const int type = target.type();
    if (target.cols > picture.cols || target.rows > picture.rows ||
        (type != CV_8UC3 && type != CV_16UC3 && type != CV_8UC1 && type != CV_16UC1)) {
        throw std::logic_error("the decoder's target does not fit the picture");
    }
    cv::Mat part = picture(cv::Rect(0, 0, target.cols, target.rows));
    if (part.channels() != target.channels()) {
        cv::Mat channels;
        // Grey from the BGR picture's luma, or grey repeated in B, G and R.
        cv::cvtColor(part, channels, target.channels() == 1 ? cv::COLOR_BGR2GRAY : cv::COLOR_GRAY2BGR);
        part = channels;
    }
    if (part.depth() == target.depth()) {
        part.copyTo(target);
    } else if (target.depth() == CV_16U) {
        part.convertTo(target, target.type(), 257.0);  // 255 becomes 65535
    } else {
        part.convertTo(target, target.type(), 1.0 / 257.0);  // rounded
    }
}

std::unique_ptr<PictureDecoder> openWholeItemDecoder(const CodecSetup& setup, PictureTarget target,
                                                     ConvertedCallback converted)
{
    WholeSink sink = [target = std::move(target)](const cv::Mat& picture, std::size_t index) {
        cv::Mat destination = target(index, picture.cols, picture.rows);
        if (destination.empty()) {
            return false;
        }
        convertDecodedPicture(picture, destination);
        return true;
    };
    return std::make_unique<WholeItemDecoder>(setup, std::move(sink), std::move(converted));
}

std::unique_ptr<PictureDecoder> openWholeItemPlanesDecoder(const CodecSetup& setup, PlanesTarget target,
                                                           ConvertedCallback converted)
{
    WholeSink sink = [target = std::move(target)](const cv::Mat& picture, std::size_t index) {
        JpegPlanes destination = target(index, picture.cols, picture.rows);
        if (destination.luma.empty()) {
            return false;
        }
        const cv::Size chroma((picture.cols + 1) / 2, (picture.rows + 1) / 2);
        if (destination.luma.size() != picture.size() || destination.cb.size() != chroma ||
            destination.cr.size() != chroma) {
            throw std::logic_error("the decoder's planes do not fit the picture");
        }
        cv::Mat bgr(picture.size(), CV_8UC3);
        convertDecodedPicture(picture, bgr);
        bgrIntoPlanes(bgr, destination);
        return true;
    };
    return std::make_unique<WholeItemDecoder>(setup, std::move(sink), std::move(converted));
}

}  // namespace ambrel::pipeline
