// The formats a conversion writes. Their names, extensions and what each can
// hold are in the writers' table (pipeline/encode/image_writer.h).
#pragma once

namespace ambrel::pipeline {

enum class OutputFormat {
    Jpg,
    Png,
    Bmp,
    Jpeg2000,
    Tiff,
    Webp,
};

}  // namespace ambrel::pipeline
