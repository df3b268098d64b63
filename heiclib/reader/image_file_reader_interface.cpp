#include "image_file_reader_interface.h"

const FileInformation& ImageFileReaderInterface::getFileInformation() const
{
    return mFileInfo;
}

void ImageFileReaderInterface::setFileInformation(const FileInformation& fileInformation)
{
    mFileInfo = fileInformation;
}
