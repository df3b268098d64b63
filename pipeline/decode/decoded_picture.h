// What a decoder of a whole image item (uncompressed, JPEG-coded) gives: the
// picture with its alpha plane, or why there is none.
#pragma once

#include <string>

#include <opencv2/core.hpp>

namespace ambrel::pipeline {

struct DecodedPicture
{
    // CV_8UC3 or CV_16UC3 (BGR), or CV_8UC1 or CV_16UC1 (grey): 16 bits when
    // the image has more than 8, its values scaled to the full range.
    cv::Mat picture;
    // The alpha plane, of the picture's size and depth; empty without one.
    cv::Mat alpha;
    // Empty on success; otherwise what is wrong, in plain English.
    std::string error;
    // What was wrong with data that still gave a picture; empty when nothing.
    std::string warning;

    [[nodiscard]] bool ok() const { return error.empty() && !picture.empty(); }
};

}  // namespace ambrel::pipeline
