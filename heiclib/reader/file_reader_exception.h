// The reader's one exception type: a numeric code and an optional message.
#pragma once

#include <cstdint>
#include <exception>
#include <string>

namespace ambrel::heif {

class FileReaderException : public std::exception
{
public:
    enum ErrorCode : std::int32_t {
        OpenFailed = 0,
        HeaderReadFailed = 1,
        ReadFailed = 2,
        CodeTypeNotSupported = 3,
        InvalidApiParameter = 4,
        InvalidContextId = 5,
        InvalidItemId = 6,
        InvalidPropertyIndex = 7,
        InvalidSampleDescriptionIndex = 8,
        ItemProtected = 9,
        ItemNotProtected = 10,
        NotInitialized = 11,
    };

    explicit FileReaderException(std::int32_t code, std::string message = {});

    // The message when one was given, else the code's standard text.
    const char* what() const noexcept override;
    std::int32_t getStatusCode() const { return mCode; }

private:
    std::int32_t mCode;
    std::string mMessage;
};

}  // namespace ambrel::heif
