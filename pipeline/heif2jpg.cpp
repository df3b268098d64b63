#include "pipeline/heif2jpg.h"

#include <cstring>
#include <exception>
#include <new>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "pipeline/converter.h"
#include "pipeline/failure.h"
#include "pipeline/stages.h"

namespace ambrel::pipeline {

namespace {

// Places `bytes` at the start of `output`, zeros after them; nothing when
// they do not fit.
[[nodiscard]] bool handOver(std::span<const std::uint8_t> bytes, std::uint8_t* output, std::int32_t capacity,
                            std::int32_t* outputLength)
{
    const std::size_t length = bytes.size();
    if (output == nullptr || capacity < 0 || length > static_cast<std::size_t>(capacity)) {
        return false;
    }
    std::memset(output + length, 0, static_cast<std::size_t>(capacity) - length);
    if (length != 0) {
        std::memcpy(output, bytes.data(), length);
    }
    if (outputLength != nullptr) {
        *outputLength = static_cast<std::int32_t>(length);
    }
    return true;
}

// A result text that does not fit is not written.
void writeMessage(std::string_view message, std::uint8_t* output, std::int32_t capacity, std::int32_t* outputLength)
{
    const std::span text(reinterpret_cast<const std::uint8_t*>(message.data()), message.size());
    static_cast<void>(handOver(text, output, capacity, outputLength));
}

}  // namespace

ConvertedFile convertHeif(const std::uint8_t* input, std::size_t length, const ConversionSettings& requested)
{
    // The stages report their failures by value; what still escapes them
    // (memory running out between stages, or something a library throws
    // that is no std::exception) ends the conversion here.
    try {
        return convertImage(input, length, requested);
    } catch (...) {
        ConvertedFile file;
        file.message = std::string(kHeif2JpgUnknown);
        file.detail = "the conversion failed unexpectedly";
        return file;
    }
}

Heif2JpgResult convertHeifToJpeg(const std::uint8_t* input, std::size_t length, int quality, float scale, bool keepExif)
{
    ConversionSettings settings;
    settings.quality = quality;
    settings.scale = scale;
    settings.keepExif = keepExif;
    ConvertedFile file = convertHeif(input, length, settings);
    Heif2JpgResult result;
    result.ok = file.ok;
    result.jpeg = std::move(file.bytes);
    result.message = std::move(file.message);
    result.detail = std::move(file.detail);
    return result;
}

cv::Mat decodeHeifPicture(const std::uint8_t* input, std::size_t length, std::string* message, std::string* detail)
{
    Failure failure{kHeif2JpgUnknown, "the picture cannot be made"};
    try {
        Result<cv::Mat> picture = decodeUprightPicture(inputBytes(input, length));
        if (picture) {
            return std::move(*picture);
        }
        failure = picture.failure();
    } catch (...) {
        // As in convertHeif: the failure above.
    }
    if (message != nullptr) {
        *message = std::string(failure.code);
    }
    if (detail != nullptr) {
        *detail = failure.detail;
    }
    return {};
}

void heif2jpg(const std::uint8_t* input, std::int32_t inputLength, std::int32_t quality, std::uint8_t* output,
              std::int32_t outputCapacity, const char* /*tempPath*/, float scale, std::int32_t* outputLength,
              bool keepExif)
{
    try {
        const std::size_t length = inputLength > 0 ? static_cast<std::size_t>(inputLength) : 0;
        const Heif2JpgResult result = convertHeifToJpeg(input, length, quality, scale, keepExif);
        if (!result.ok) {
            writeMessage(result.message, output, outputCapacity, outputLength);
        } else if (!handOver(result.jpeg, output, outputCapacity, outputLength)) {
            writeMessage(kHeif2JpgBufferTooSmall, output, outputCapacity, outputLength);
        }
    } catch (...) {
        // Out of memory while copying results: nothing sensible can be
        // written, and the caller sees the length it set.
    }
}

}  // namespace ambrel::pipeline
