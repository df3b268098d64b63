#include "heiclib/reader/file_reader_exception.h"

namespace ambrel::heif {

FileReaderException::FileReaderException(std::int32_t code, std::string message)
    : mCode(code), mMessage(std::move(message))
{}

const char* FileReaderException::what() const noexcept
{
    if (!mMessage.empty()) {
        return mMessage.c_str();
    }
    switch (mCode) {
    case OpenFailed: return "Unable to open input file.";
    case HeaderReadFailed: return "Error while reading file header.";
    case ReadFailed: return "Error while reading file.";
    case CodeTypeNotSupported: return "Unsupported code type.";
    case InvalidApiParameter: return "Invalid API method parameter.";
    case InvalidContextId: return "Invalid context ID parameter.";
    case InvalidItemId: return "Invalid item ID parameter.";
    case InvalidPropertyIndex: return "Invalid item property index.";
    case InvalidSampleDescriptionIndex: return "Invalid sample description index.";
    case ItemProtected:
    case ItemNotProtected: return "The item is unaccessible because it is protected.";
    case NotInitialized: return "Reader not initialized. Call initialize() first.";
    default: return "Unspecified error.";
    }
}

}  // namespace ambrel::heif
