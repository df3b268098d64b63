// The converter: extracts the image, plans its conversion from what the
// container says (plan.h), decodes it once into the planned layout and hands
// it to the format's writer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include <opencv2/core.hpp>

#include "pipeline/failure.h"
#include "pipeline/heif2jpg.h"

namespace ambrel::pipeline {

// The conversion convertHeif gives.
ConvertedFile convertImage(const std::uint8_t* input, std::size_t length, const ConversionSettings& requested);

// The picture decodeHeifPicture gives.
Result<cv::Mat> decodeUprightPicture(std::span<const std::uint8_t> input);

}  // namespace ambrel::pipeline
