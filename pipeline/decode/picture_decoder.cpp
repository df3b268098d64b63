#include "pipeline/decode/picture_decoder.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>
#include <mutex>
#include <new>
#include <stdexcept>
#include <utility>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/buffer.h>
#include <libavutil/frame.h>
#include <libavutil/log.h>
#include <libavutil/mem.h>
#include <libavutil/pixdesc.h>
}

#include <opencv2/imgproc.hpp>

#include "pipeline/decode/whole_item_decoder.h"

namespace ambrel::pipeline {

namespace {

// Failed pictures reported one after the other before decoding gives up.
constexpr int kMaxErrorsInARow = 64;

struct CodecContextFree
{
    void operator()(AVCodecContext* context) const { avcodec_free_context(&context); }
};
struct PacketFree
{
    void operator()(AVPacket* packet) const { av_packet_free(&packet); }
};
struct FrameFree
{
    void operator()(AVFrame* frame) const { av_frame_free(&frame); }
};

void quietenLibav()
{
    static std::once_flag once;
    // Errors in broken streams still reach standard error; the rest is noise.
    std::call_once(once, [] { av_log_set_level(AV_LOG_ERROR); });
}

void putBigEndian(std::vector<std::uint8_t>& out, std::size_t value, unsigned bytes)
{
    for (unsigned i = bytes; i-- > 0;) {
        out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
    }
}

// An 'hvcC' record that holds the parameter sets, for the decoder's
// extradata: libavcodec then takes the packets as NAL units behind lengths of
// `lengthSize` bytes. The profile fields are left at zero: the decoder reads
// them from the SPS.
std::vector<std::uint8_t> hevcRecord(std::span<const std::uint8_t> parameterSets, unsigned lengthSize)
{
    std::vector<std::uint8_t> record(23, 0);
    record[0] = 1;
    record[13] = 0xF0;
    record[15] = 0xFC;
    record[16] = 0xFC;
    record[17] = 0xF8;
    record[18] = 0xF8;
    record[21] = static_cast<std::uint8_t>(0x0C | ((lengthSize - 1) & 3u));
    const std::vector<std::span<const std::uint8_t>> units = nalUnitsOf(parameterSets);
    record[22] = static_cast<std::uint8_t>(std::min<std::size_t>(units.size(), 255));
    for (std::size_t i = 0; i < units.size() && i < 255; ++i) {
        const auto unit = units[i];
        if (unit.size() > 0xFFFF || unit.empty()) {
            throw std::runtime_error("a parameter set of " + std::to_string(unit.size()) + " bytes cannot be used");
        }
        record.push_back(static_cast<std::uint8_t>(0x80 | ((unit[0] >> 1) & 0x3Fu)));
        putBigEndian(record, 1, 2);
        putBigEndian(record, unit.size(), 2);
        record.insert(record.end(), unit.begin(), unit.end());
    }
    return record;
}

// The decoder's pictures go to the sink: false from it stops the decoding.
using PictureSink = std::function<bool(const AVFrame& frame, std::size_t index)>;

// libavcodec's decoder of one codec, with its sink.
class LibavDecoder final : public PictureDecoder
{
public:
    LibavDecoder(const CodecSetup& setup, PictureSink sink, ConvertedCallback converted)
        : mCodec(setup.codec), mLengthSize(setup.nalLengthSize), mColour(setup.colour), mSink(std::move(sink)),
          mConverted(std::move(converted))
    {}

    // False, with `why` set, when the codec has no decoder or it cannot be opened.
    bool open(const CodecSetup& setup, std::string& why)
    {
        quietenLibav();
        const AVCodec* codec = nullptr;
        std::vector<std::uint8_t> extradata;
        if (mCodec == Codec::Av1) {
            codec = avcodec_find_decoder_by_name("libdav1d");
            if (codec == nullptr) {
                codec = avcodec_find_decoder(AV_CODEC_ID_AV1);
            }
            extradata.assign(setup.av1Config.begin(), setup.av1Config.end());
        } else {
            codec = avcodec_find_decoder(AV_CODEC_ID_HEVC);
            if (mLengthSize > 4) {
                why = "NAL units behind lengths of " + std::to_string(mLengthSize) + " bytes cannot be decoded";
                return false;
            }
            if (mLengthSize != 0) {
                extradata = hevcRecord(setup.parameterSets, mLengthSize);
            }
        }
        if (codec == nullptr) {
            why = std::string("FFmpeg has no ") + codecName(mCodec) + " decoder";
            return false;
        }
        mContext.reset(avcodec_alloc_context3(codec));
        mPacket.reset(av_packet_alloc());
        mFrame.reset(av_frame_alloc());
        if (!mContext || !mPacket || !mFrame) {
            throw std::bad_alloc();
        }
        if (!extradata.empty()) {
            auto* bytes = static_cast<std::uint8_t*>(av_mallocz(extradata.size() + AV_INPUT_BUFFER_PADDING_SIZE));
            if (bytes == nullptr) {
                throw std::bad_alloc();
            }
            std::memcpy(bytes, extradata.data(), extradata.size());
            mContext->extradata = bytes;  // freed with the context
            mContext->extradata_size = static_cast<int>(extradata.size());
        }
        // Tiles are independent pictures: frame threads decode several at once.
        mContext->thread_count = 0;
        mContext->thread_type = FF_THREAD_FRAME | FF_THREAD_SLICE;
        if (avcodec_open2(mContext.get(), codec, nullptr) < 0) {
            why = std::string("the ") + codecName(mCodec) + " decoder cannot be set up for this image";
            return false;
        }
        return true;
    }

    bool send(std::span<const std::uint8_t> tile, std::span<const std::uint8_t> parameterSets) override
    {
        if (mStopped) {
            return false;
        }
        fillPacket(tile, parameterSets);
        for (int attempt = 0; attempt < 2; ++attempt) {
            const int sent = avcodec_send_packet(mContext.get(), mPacket.get());
            if (!receiveReady()) {
                break;
            }
            if (sent != AVERROR(EAGAIN)) {
                break;
            }
        }
        av_packet_unref(mPacket.get());
        return !mStopped;
    }

    void finish() override
    {
        if (!mStopped) {
            static_cast<void>(avcodec_send_packet(mContext.get(), nullptr));
            static_cast<void>(receiveReady());
        }
    }

    [[nodiscard]] DecodeResult result() const override
    {
        DecodeResult result = mResult;
        return result;
    }

private:
    // The packet: the parameter sets (as NAL units of the tiles' form), then
    // the tile, in one padded buffer: the only copy of the coded bytes.
    void fillPacket(std::span<const std::uint8_t> tile, std::span<const std::uint8_t> parameterSets)
    {
        std::vector<std::span<const std::uint8_t>> sets;
        std::size_t size = tile.size();
        if (mLengthSize != 0) {
            sets = nalUnitsOf(parameterSets);
            for (const auto unit : sets) {
                if (mLengthSize < 4 && unit.size() >= (std::size_t(1) << (8 * mLengthSize))) {
                    throw std::runtime_error("a parameter set is longer than the tiles' NAL unit lengths can say");
                }
                size += mLengthSize + unit.size();
            }
        } else {
            size += parameterSets.size();
        }
        if (size > std::size_t(std::numeric_limits<int>::max()) - AV_INPUT_BUFFER_PADDING_SIZE) {
            throw std::runtime_error("a tile of " + std::to_string(size) + " bytes cannot be decoded");
        }
        AVBufferRef* buffer = av_buffer_alloc(size + AV_INPUT_BUFFER_PADDING_SIZE);
        if (buffer == nullptr) {
            throw std::bad_alloc();
        }
        std::uint8_t* at = buffer->data;
        if (mLengthSize != 0) {
            for (const auto unit : sets) {
                for (unsigned i = mLengthSize; i-- > 0;) {
                    *at++ = static_cast<std::uint8_t>(unit.size() >> (8 * i));
                }
                std::memcpy(at, unit.data(), unit.size());
                at += unit.size();
            }
        } else if (!parameterSets.empty()) {
            std::memcpy(at, parameterSets.data(), parameterSets.size());
            at += parameterSets.size();
        }
        if (!tile.empty()) {
            std::memcpy(at, tile.data(), tile.size());
        }
        std::memset(buffer->data + size, 0, AV_INPUT_BUFFER_PADDING_SIZE);
        mPacket->buf = buffer;
        mPacket->data = buffer->data;
        mPacket->size = static_cast<int>(size);
    }

    // Delivers every picture that is ready; false when the sink stopped.
    bool receiveReady()
    {
        int errorsInARow = 0;
        for (;;) {
            av_frame_unref(mFrame.get());
            const int received = avcodec_receive_frame(mContext.get(), mFrame.get());
            if (received == AVERROR(EAGAIN) || received == AVERROR_EOF) {
                return true;
            }
            if (received < 0) {
                if (++errorsInARow > kMaxErrorsInARow) {
                    return true;
                }
                continue;
            }
            errorsInARow = 0;
            if (!deliver(*mFrame)) {
                mStopped = true;
                return false;
            }
        }
    }

    bool deliver(AVFrame& frame)
    {
        if (frame.width <= 0 || frame.height <= 0) {
            return true;
        }
        if (mColour && frame.colorspace == AVCOL_SPC_UNSPECIFIED && mColour->matrixCoefficients != 2 &&
            mColour->matrixCoefficients < AVCOL_SPC_NB) {
            frame.colorspace = static_cast<AVColorSpace>(mColour->matrixCoefficients);
        }
        if (!mSink(frame, mResult.pictures)) {
            return false;
        }
        if (mResult.pictures == 0) {
            const AVPixFmtDescriptor* descriptor = av_pix_fmt_desc_get(static_cast<AVPixelFormat>(frame.format));
            mResult.bitDepth = descriptor != nullptr && descriptor->nb_components > 0 ? descriptor->comp[0].depth : 0;
        }
        if (mConverted) {
            mConverted(mResult.pictures);
        }
        ++mResult.pictures;
        return true;
    }

    Codec mCodec;
    unsigned mLengthSize;
    std::optional<heif::NclxColour> mColour;
    PictureSink mSink;
    ConvertedCallback mConverted;
    std::unique_ptr<AVCodecContext, CodecContextFree> mContext;
    std::unique_ptr<AVPacket, PacketFree> mPacket;
    std::unique_ptr<AVFrame, FrameFree> mFrame;
    DecodeResult mResult;
    bool mStopped = false;
};

std::unique_ptr<PictureDecoder> openWithSink(const CodecSetup& setup, PictureSink sink, ConvertedCallback converted,
                                             std::string& why)
{
    auto decoder = std::make_unique<LibavDecoder>(setup, std::move(sink), std::move(converted));
    if (!decoder->open(setup, why)) {
        return nullptr;
    }
    return decoder;
}

}  // namespace

CodecSetup codecSetupOf(const HeifImageData& data)
{
    CodecSetup setup;
    setup.codec = data.codec;
    setup.parameterSets = data.paramSets;
    setup.nalLengthSize = data.nalLengthSize;
    setup.av1Config = data.av1Config;
    if (data.codec == Codec::Av1) {
        setup.colour = data.nclx;
    }
    if (data.uncompressed) {
        setup.uncompressed = *data.uncompressed;
    }
    return setup;
}

const char* codecName(Codec codec)
{
    switch (codec) {
    case Codec::Av1: return "AV1";
    case Codec::Jpeg: return "JPEG";
    case Codec::Uncompressed: return "uncompressed";
    case Codec::Hevc: break;
    }
    return "HEVC";
}

std::vector<std::span<const std::uint8_t>> nalUnitsOf(std::span<const std::uint8_t> stream)
{
    std::vector<std::span<const std::uint8_t>> units;
    std::size_t start = std::numeric_limits<std::size_t>::max();
    const auto close = [&](std::size_t end) {
        if (start >= end) {
            return;
        }
        while (end > start && stream[end - 1] == 0) {
            --end;
        }
        if (end > start) {
            units.push_back(stream.subspan(start, end - start));
        }
    };
    for (std::size_t i = 0; i + 2 < stream.size(); ++i) {
        if (stream[i] == 0 && stream[i + 1] == 0 && stream[i + 2] == 1) {
            close(i);
            start = i + 3;
            i += 2;
        }
    }
    close(stream.size());
    return units;
}

namespace {

// A picture of another chroma format or matrix than the file announced (its
// SPS disagrees with the 'hvcC' or 'colr' the plan was made from), into JPEG
// planes all the same: through BGR as a picture target gets it, to JFIF's
// Y'CbCr, the chroma averaged over 2 x 2 samples.
void planesThroughBgr(PictureConverter& converter, const AVFrame& frame, JpegPlanes& target)
{
    cv::Mat bgr(frame.height, frame.width, CV_8UC3);
    converter.convert(frame, bgr);
    bgrIntoPlanes(bgr, target);
}

}  // namespace

void bgrIntoPlanes(const cv::Mat& bgr, JpegPlanes& target)
{
    cv::Mat ycrcb;
    cv::cvtColor(bgr, ycrcb, cv::COLOR_BGR2YCrCb);
    std::array<cv::Mat, 3> planes;
    cv::split(ycrcb, planes.data());
    planes[0].copyTo(target.luma);
    cv::Mat half;
    cv::resize(planes[2], half, target.cb.size(), 0, 0, cv::INTER_AREA);
    half.copyTo(target.cb);
    cv::resize(planes[1], half, target.cr.size(), 0, 0, cv::INTER_AREA);
    half.copyTo(target.cr);
}

std::unique_ptr<PictureDecoder> openPictureDecoder(const CodecSetup& setup, PictureTarget target,
                                                   ConvertedCallback converted, std::string& why)
{
    if (setup.codec == Codec::Jpeg || setup.codec == Codec::Uncompressed) {
        return openWholeItemDecoder(setup, std::move(target), std::move(converted));
    }
    auto converter = std::make_shared<PictureConverter>();
    PictureSink sink = [converter, target = std::move(target)](const AVFrame& frame, std::size_t index) {
        cv::Mat destination = target(index, frame.width, frame.height);
        if (destination.empty()) {
            return false;
        }
        const int type = destination.type();
        if (destination.cols > frame.width || destination.rows > frame.height ||
            (type != CV_8UC3 && type != CV_16UC3 && type != CV_8UC1 && type != CV_16UC1)) {
            throw std::logic_error("the decoder's target does not fit the picture");
        }
        converter->convert(frame, destination);
        return true;
    };
    return openWithSink(setup, std::move(sink), std::move(converted), why);
}

std::unique_ptr<PictureDecoder> openPlanesDecoder(const CodecSetup& setup, PlanesTarget target,
                                                  ConvertedCallback converted, std::string& why)
{
    if (setup.codec == Codec::Jpeg || setup.codec == Codec::Uncompressed) {
        return openWholeItemPlanesDecoder(setup, std::move(target), std::move(converted));
    }
    auto converter = std::make_shared<JpegPlanesConverter>();
    auto unexpected = std::make_shared<PictureConverter>();
    PictureSink sink = [converter, unexpected, target = std::move(target)](const AVFrame& frame, std::size_t index) {
        JpegPlanes destination = target(index, frame.width, frame.height);
        if (destination.luma.empty()) {
            return false;
        }
        const cv::Size chroma((frame.width + 1) / 2, (frame.height + 1) / 2);
        if (destination.luma.size() != cv::Size(frame.width, frame.height) || destination.cb.size() != chroma ||
            destination.cr.size() != chroma || destination.luma.type() != CV_8UC1 || destination.cb.type() != CV_8UC1 ||
            destination.cr.type() != CV_8UC1) {
            throw std::logic_error("the decoder's planes do not fit the picture");
        }
        if (JpegPlanesConverter::accepts(frame)) {
            converter->convert(frame, destination);
        } else {
            planesThroughBgr(*unexpected, frame, destination);
        }
        return true;
    };
    return openWithSink(setup, std::move(sink), std::move(converted), why);
}

}  // namespace ambrel::pipeline
