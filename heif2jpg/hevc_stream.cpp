#include "hevc_stream.h"

#include <algorithm>
#include <cerrno>
#include <fstream>
#include <iostream>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <memory>
#include <mutex>
#include <stdexcept>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
#include <libavutil/log.h>
#include <libavutil/pixfmt.h>
#include <libswscale/swscale.h>
}

namespace heifpipe {

namespace {

constexpr std::size_t kReservedFrames = 48;
// Failed pictures reported one after the other before decoding gives up.
constexpr int kMaxErrorsInARow = 64;

}  // namespace

bool assemble_hevc_bitstream(const HeifImageData& data, std::vector<std::uint8_t>& stream)
{
    stream.clear();
    try {
        const std::size_t tileCount = data.tiles.size();
        if (tileCount != 0 && data.paramSets.size() > kMaxRepeatedParameterSetBytes / tileCount) {
            return false;
        }
        std::size_t total = data.paramSets.size() * tileCount;
        for (const auto& tile : data.tiles) {
            total += tile.size();
        }
        stream.reserve(total);
        for (const auto& tile : data.tiles) {
            stream.insert(stream.end(), data.paramSets.begin(), data.paramSets.end());
            stream.insert(stream.end(), tile.begin(), tile.end());
        }
    } catch (...) {
        stream.clear();
        return false;
    }
    return true;
}

bool write_hevc_bitstream(const std::string& path, const std::vector<std::uint8_t>& stream)
{
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    if (!file) {
        return false;
    }
    file.write(reinterpret_cast<const char*>(stream.data()), static_cast<std::streamsize>(stream.size()));
    file.close();
    return !file.fail();
}

bool write_hevc_bitstream(const std::string& path, const HeifImageData& data)
{
    std::vector<std::uint8_t> stream;
    return assemble_hevc_bitstream(data, stream) && write_hevc_bitstream(path, stream);
}

namespace {

struct CodecContextFree
{
    void operator()(AVCodecContext* context) const { avcodec_free_context(&context); }
};
struct ParserClose
{
    void operator()(AVCodecParserContext* parser) const { av_parser_close(parser); }
};
struct PacketFree
{
    void operator()(AVPacket* packet) const { av_packet_free(&packet); }
};
struct FrameFree
{
    void operator()(AVFrame* frame) const { av_frame_free(&frame); }
};
struct ScalerFree
{
    void operator()(SwsContext* scaler) const { sws_freeContext(scaler); }
};

// The YUV-to-RGB coefficients swscale uses for a frame's matrix; BT.601
// when the stream names none (or one swscale has no table for).
int swsColourspace(AVColorSpace colourspace)
{
    switch (colourspace) {
    case AVCOL_SPC_BT709:
        return SWS_CS_ITU709;
    case AVCOL_SPC_FCC:
        return SWS_CS_FCC;
    case AVCOL_SPC_SMPTE240M:
        return SWS_CS_SMPTE240M;
    case AVCOL_SPC_BT2020_NCL:
    case AVCOL_SPC_BT2020_CL:
        return SWS_CS_BT2020;
    default:
        return SWS_CS_ITU601;
    }
}

// Whether swscale knows the pixel format to be full range by its name
// (the "J" formats); for the others the range must be told.
bool isFullRangeFormat(int format)
{
    return format == AV_PIX_FMT_YUVJ420P || format == AV_PIX_FMT_YUVJ422P || format == AV_PIX_FMT_YUVJ444P ||
           format == AV_PIX_FMT_YUVJ440P || format == AV_PIX_FMT_YUVJ411P;
}

class PictureConverter
{
public:
    // Converts the frame into `target` (8-bit BGR of the frame's size).
    void convert(const AVFrame& frame, cv::Mat& target)
    {
        const int colourspace = swsColourspace(frame.colorspace);
        const bool fullRange = frame.color_range == AVCOL_RANGE_JPEG || isFullRangeFormat(frame.format);
        if (!mScaler || frame.width != mWidth || frame.height != mHeight || frame.format != mFormat ||
            colourspace != mColourspace || fullRange != mFullRange) {
            mScaler.reset(sws_getContext(frame.width, frame.height, static_cast<AVPixelFormat>(frame.format),
                                         frame.width, frame.height, AV_PIX_FMT_BGR24, SWS_BICUBIC, nullptr, nullptr,
                                         nullptr));
            if (!mScaler) {
                throw std::runtime_error("swscale cannot convert pixel format " + std::to_string(frame.format));
            }
            // The J formats already say full range, and BT.601 is swscale's
            // default: those pictures convert exactly as without details.
            if (colourspace != SWS_CS_ITU601 || (fullRange && !isFullRangeFormat(frame.format))) {
                const int* coefficients = sws_getCoefficients(colourspace);
                sws_setColorspaceDetails(mScaler.get(), coefficients, fullRange ? 1 : 0,
                                         sws_getCoefficients(SWS_CS_DEFAULT), 1, 0, 1 << 16, 1 << 16);
            }
            mWidth = frame.width;
            mHeight = frame.height;
            mFormat = frame.format;
            mColourspace = colourspace;
            mFullRange = fullRange;
        }
        std::uint8_t* destination[4] = {target.data, nullptr, nullptr, nullptr};
        int strides[4] = {static_cast<int>(target.step[0]), 0, 0, 0};
        sws_scale(mScaler.get(), frame.data, frame.linesize, 0, frame.height, destination, strides);
    }

private:
    std::unique_ptr<SwsContext, ScalerFree> mScaler;
    int mWidth = 0;
    int mHeight = 0;
    int mFormat = -1;
    int mColourspace = -1;
    bool mFullRange = false;
};

void quietenLibav()
{
    static std::once_flag once;
    // Errors in broken streams still reach standard error; the rest is noise.
    std::call_once(once, [] { av_log_set_level(AV_LOG_ERROR); });
}

}  // namespace

DecodeResult decode_hevc_stream(const std::uint8_t* bytes, std::size_t length, const PictureTarget& target,
                                const std::function<void(std::size_t index)>& converted)
{
    DecodeResult result;
    quietenLibav();
    const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_HEVC);
    if (codec == nullptr) {
        return result;
    }
    std::unique_ptr<AVCodecContext, CodecContextFree> context(avcodec_alloc_context3(codec));
    std::unique_ptr<AVCodecParserContext, ParserClose> parser(av_parser_init(AV_CODEC_ID_HEVC));
    std::unique_ptr<AVPacket, PacketFree> packet(av_packet_alloc());
    std::unique_ptr<AVFrame, FrameFree> frame(av_frame_alloc());
    if (!context || !parser || !packet || !frame) {
        return result;
    }
    // Tiles are independent pictures: frame threads decode several at once.
    context->thread_count = 0;
    context->thread_type = FF_THREAD_FRAME | FF_THREAD_SLICE;
    if (avcodec_open2(context.get(), codec, nullptr) < 0) {
        return result;
    }
    result.opened = true;

    PictureConverter converter;
    bool stopped = false;
    const auto receive = [&]() {
        int errorsInARow = 0;
        while (!stopped) {
            const int received = avcodec_receive_frame(context.get(), frame.get());
            if (received == AVERROR(EAGAIN) || received == AVERROR_EOF) {
                break;
            }
            if (received < 0) {
                // A picture that failed to decode; the ones after it may not.
                if (++errorsInARow > kMaxErrorsInARow) {
                    break;
                }
                continue;
            }
            errorsInARow = 0;
            if (frame->width > 0 && frame->height > 0) {
                cv::Mat destination = target(result.pictures, frame->width, frame->height);
                if (destination.empty()) {
                    stopped = true;
                } else {
                    if (destination.cols != frame->width || destination.rows != frame->height ||
                        destination.type() != CV_8UC3) {
                        throw std::logic_error("decode_hevc_stream: the target does not fit the picture");
                    }
                    converter.convert(*frame, destination);
                    if (converted) {
                        converted(result.pictures);
                    }
                    ++result.pictures;
                }
            }
            av_frame_unref(frame.get());
        }
    };
    const auto send = [&](AVPacket* unit) {
        // A unit the decoder refuses is skipped; the next one may decode.
        // One it cannot take yet is offered again once its output is read.
        for (int attempt = 0; attempt < 2 && !stopped; ++attempt) {
            const int sent = avcodec_send_packet(context.get(), unit);
            receive();
            if (sent != AVERROR(EAGAIN)) {
                break;
            }
        }
    };

    std::vector<std::uint8_t> padded;
    const std::uint8_t* data = bytes;
    std::size_t left = bytes == nullptr ? 0 : length;
    while (!stopped) {
        const int chunk = static_cast<int>(std::min<std::size_t>(left, std::size_t(1) << 30));
        std::uint8_t* unit = nullptr;
        int unitSize = 0;
        const int used = av_parser_parse2(parser.get(), context.get(), &unit, &unitSize, data, chunk,
                                          AV_NOPTS_VALUE, AV_NOPTS_VALUE, 0);
        if (used < 0 || (used == 0 && unitSize == 0 && chunk > 0)) {
            break;
        }
        data += used;
        left -= static_cast<std::size_t>(used);
        if (unitSize > 0) {
            packet->data = unit;
            packet->size = unitSize;
            // The decoder's bitstream readers may read up to
            // AV_INPUT_BUFFER_PADDING_SIZE bytes past a packet: a unit in the
            // caller's bytes that ends too close to their end is read from a
            // padded copy. (Units of the parser's own buffer are padded.)
            const auto at = reinterpret_cast<std::uintptr_t>(unit);
            const auto begin = reinterpret_cast<std::uintptr_t>(bytes);
            if (bytes != nullptr && at >= begin && at < begin + length &&
                begin + length - (at + std::uintptr_t(unitSize)) < AV_INPUT_BUFFER_PADDING_SIZE) {
                padded.assign(unit, unit + unitSize);
                padded.resize(padded.size() + AV_INPUT_BUFFER_PADDING_SIZE, 0);
                packet->data = padded.data();
            }
            send(packet.get());
        }
        if (chunk == 0) {
            break;  // the parser has handed out its last unit
        }
    }
    if (!stopped) {
        send(nullptr);  // drain the frame threads
    }
    return result;
}

std::vector<cv::Mat> decode_hevc_frames(const std::vector<std::uint8_t>& stream, std::size_t maxFrames)
{
    std::vector<cv::Mat> frames;
    try {
        frames.reserve(std::min(maxFrames, kReservedFrames));
        std::uint64_t pixels = 0;
        bool tooLarge = false;
        const DecodeResult result =
            decode_hevc_stream(stream.data(), stream.size(), [&](std::size_t index, int width, int height) {
                pixels += std::uint64_t(width) * std::uint64_t(height);
                if (index >= maxFrames || pixels > kMaxDecodedPixels) {
                    tooLarge = index < maxFrames;
                    return cv::Mat();
                }
                frames.emplace_back(height, width, CV_8UC3);
                return frames.back();
            });
        if (!result.opened) {
            std::cout << "cv::VideoCapture::isOpened returned false " << std::endl;
        }
        if (tooLarge) {
            frames.clear();
        }
    } catch (...) {
        frames.clear();
    }
    return frames;
}

std::vector<cv::Mat> read_hevc_bitstream_to_mat_vector(const std::string& path, std::size_t maxFrames)
{
    std::vector<std::uint8_t> stream;
    try {
        std::ifstream file(path, std::ios::binary | std::ios::ate);
        if (!file) {
            std::cout << "cv::VideoCapture::isOpened returned false " << std::endl;
            return {};
        }
        const std::streamoff size = file.tellg();
        file.seekg(0);
        stream.resize(static_cast<std::size_t>(std::max<std::streamoff>(size, 0)));
        file.read(reinterpret_cast<char*>(stream.data()), static_cast<std::streamsize>(stream.size()));
        if (!file) {
            std::cout << "cv::VideoCapture::isOpened returned false " << std::endl;
            return {};
        }
    } catch (...) {
        return {};
    }
    return decode_hevc_frames(stream, maxFrames);
}

StreamFileLock::StreamFileLock(const std::string& streamPath)
{
    if (streamPath.empty()) {
        return;  // no stream file, so nothing to lock (and no stray ".lock")
    }
    const std::string lockPath = streamPath + ".lock";
    mFd = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (mFd < 0) {
        // A lock file we may not write can still be locked.
        mFd = ::open(lockPath.c_str(), O_RDONLY | O_CLOEXEC);
    }
    if (mFd < 0) {
        return;
    }
    int result = 0;
    do {
        result = ::flock(mFd, LOCK_EX);
    } while (result != 0 && errno == EINTR);
    mHeld = result == 0;
}

StreamFileLock::~StreamFileLock()
{
    if (mFd >= 0) {
        ::close(mFd);  // releases the lock
    }
}

}  // namespace heifpipe
