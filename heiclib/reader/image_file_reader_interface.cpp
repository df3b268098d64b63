#include "heiclib/reader/image_file_reader_interface.h"

namespace ambrel::heif {

const FileInformation& ImageFileReaderInterface::getFileInformation() const
{
    return mFileInfo;
}

void ImageFileReaderInterface::setFileInformation(const FileInformation& fileInformation)
{
    mFileInfo = fileInformation;
}

}  // namespace ambrel::heif
