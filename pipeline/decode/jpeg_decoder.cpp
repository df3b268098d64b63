#include "pipeline/decode/jpeg_decoder.h"

#include <algorithm>
#include <climits>
#include <csetjmp>
#include <cstdio>
#include <string>
#include <vector>

#include <jpeglib.h>
// After jpeglib.h, which it needs.
#include <jerror.h>

namespace ambrel::pipeline {

namespace {

const std::string kImage = "the JPEG-coded image";

// Each scan of a progressive stream is a pass over the whole image: a small
// file of many (empty) scans would take minutes to decode. Photos have ten
// or so.
constexpr int kMaxScans = 1000;

// libjpeg reports errors through error_exit, which must not return: it jumps
// back to the setjmp in the reading function, where no C++ object has been
// made since, so none is skipped. The message is kept as text first.
struct Decompressor
{
    struct ErrorManager
    {
        jpeg_error_mgr base;
        std::jmp_buf jump;
        char message[JMSG_LENGTH_MAX];
        char warning[JMSG_LENGTH_MAX];
    };

    jpeg_decompress_struct info{};
    ErrorManager errors{};
    jpeg_progress_mgr progress{};

    explicit Decompressor(std::span<const std::uint8_t> stream)
    {
        info.err = jpeg_std_error(&errors.base);
        errors.base.error_exit = onError;
        errors.base.emit_message = onMessage;
        jpeg_create_decompress(&info);
        jpeg_mem_src(&info, stream.data(), static_cast<unsigned long>(stream.size()));
        progress.progress_monitor = onProgress;
        info.progress = &progress;
    }
    ~Decompressor() { jpeg_destroy_decompress(&info); }
    Decompressor(const Decompressor&) = delete;
    Decompressor& operator=(const Decompressor&) = delete;

    static void onError(j_common_ptr info)
    {
        auto* errors = reinterpret_cast<ErrorManager*>(info->err);
        info->err->format_message(info, errors->message);
        std::longjmp(errors->jump, 1);
    }
    static void onProgress(j_common_ptr info)
    {
        if (reinterpret_cast<j_decompress_ptr>(info)->input_scan_number > kMaxScans) {
            auto* errors = reinterpret_cast<ErrorManager*>(info->err);
            std::snprintf(errors->message, sizeof errors->message, "more than %d scans", kMaxScans);
            std::longjmp(errors->jump, 1);
        }
    }
    // Level -1 is a warning about the data (the first is kept); trace
    // messages are dropped.
    static void onMessage(j_common_ptr info, int level)
    {
        auto* errors = reinterpret_cast<ErrorManager*>(info->err);
        if (level < 0 && errors->warning[0] == '\0') {
            info->err->format_message(info, errors->warning);
            ++info->err->num_warnings;
        }
    }
};

// Reads the header; false (with the message kept) when libjpeg cannot.
bool readHeader(Decompressor& jpeg)
{
    if (setjmp(jpeg.errors.jump) != 0) {
        return false;
    }
    jpeg_read_header(&jpeg.info, TRUE);
    return true;
}

// Decodes the picture into `picture`, already allocated at the output size
// and number of components; false when libjpeg fails.
bool readPicture(Decompressor& jpeg, cv::Mat& picture)
{
    if (setjmp(jpeg.errors.jump) != 0) {
        return false;
    }
    jpeg_start_decompress(&jpeg.info);
    while (jpeg.info.output_scanline < jpeg.info.output_height) {
        JSAMPROW row = picture.ptr<JSAMPLE>(static_cast<int>(jpeg.info.output_scanline));
        jpeg_read_scanlines(&jpeg.info, &row, 1);
    }
    jpeg_finish_decompress(&jpeg.info);
    return true;
}

bool isCmyk(const jpeg_decompress_struct& info)
{
    return info.jpeg_color_space == JCS_CMYK || info.jpeg_color_space == JCS_YCCK;
}

}  // namespace

DecodedPicture decodeJpeg(std::span<const std::uint8_t> stream, heif::MemoryBudget* budget, std::uint64_t maxPixels)
{
    DecodedPicture result;
    if (stream.empty()) {
        result.error = kImage + " has no data";
        return result;
    }
    Decompressor jpeg(stream);
    if (!readHeader(jpeg)) {
        result.error = kImage + " cannot be read: " + jpeg.errors.message;
        return result;
    }
    const std::uint64_t width = jpeg.info.image_width;
    const std::uint64_t height = jpeg.info.image_height;
    if (width * height > maxPixels) {
        result.error = kImage + " is " + std::to_string(width) + " x " + std::to_string(height) +
                       ", more than the limit of " + std::to_string(maxPixels) + " pixels";
        return result;
    }
    if (isCmyk(jpeg.info)) {
        result.error = kImage + " holds CMYK colours, which are not supported";
        return result;
    }
    const bool grey = jpeg.info.jpeg_color_space == JCS_GRAYSCALE;
    jpeg.info.out_color_space = grey ? JCS_GRAYSCALE : JCS_EXT_BGR;
    const int channels = grey ? 1 : 3;
    try {
        if (budget != nullptr) {
            budget->charge(width * height * unsigned(channels), kImage + "'s picture");
        }
        result.picture.create(static_cast<int>(height), static_cast<int>(width), CV_8UC(channels));
    } catch (const heif::MemoryBudgetExceeded& exceeded) {
        result.error = exceeded.what();
        return result;
    } catch (const cv::Exception&) {
        result.error = kImage + " does not fit in memory";
        return result;
    }
    // What libjpeg allocates besides the picture (a progressive stream keeps
    // the coefficients of the whole image, twice the picture's size and more)
    // stays within what the budget has left: beyond it libjpeg stops instead
    // of allocating, as it keeps nothing on disk.
    const std::uint64_t left = budget != nullptr ? budget->left() : heif::limits::kMaxFileMemoryBytes;
    jpeg.info.mem->max_memory_to_use = static_cast<long>(std::min<std::uint64_t>(left, LONG_MAX));
    if (!readPicture(jpeg, result.picture)) {
        result.picture.release();
        const int code = jpeg.errors.base.msg_code;
        result.error = code == JERR_NO_BACKING_STORE || code == JERR_OUT_OF_MEMORY
                           ? kImage + " needs more memory to decode than the memory budget allows"
                           : kImage + " cannot be decoded: " + jpeg.errors.message;
        return result;
    }
    if (jpeg.errors.warning[0] != '\0') {
        result.warning = kImage + " is damaged: " + jpeg.errors.warning;
    }
    return result;
}

bool canCopyJpegStream(std::span<const std::uint8_t> stream, const JpegCopyRequest& request)
{
    if (!request.jpegOutput || request.quality != 100 || request.scaled || request.transformed || request.alpha) {
        return false;
    }
    // A stream that ends without its end-of-image marker was cut short.
    if (stream.size() < 4 || stream[0] != 0xFF || stream[1] != 0xD8 || stream[stream.size() - 2] != 0xFF ||
        stream[stream.size() - 1] != 0xD9) {
        return false;
    }
    Decompressor jpeg(stream);
    if (!readHeader(jpeg) || jpeg.errors.warning[0] != '\0') {
        return false;
    }
    return jpeg.info.image_width == request.width && jpeg.info.image_height == request.height &&
           jpeg.info.data_precision == 8 && !isCmyk(jpeg.info) &&
           (jpeg.info.num_components == 1 || jpeg.info.num_components == 3);
}

}  // namespace ambrel::pipeline
