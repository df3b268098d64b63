// The fallback of the pixel conversion: pictures of the formats it does not
// convert itself (packed samples, alpha, unusual subsampling) into 8 or
// 16-bit BGR through swscale.
#pragma once

#include <memory>

#include <opencv2/core.hpp>

extern "C" {
#include <libavutil/pixfmt.h>
}

struct AVFrame;

namespace ambrel::pipeline {

// The "J" formats are their plain counterparts with full range said by the
// name: the plain format, with `fullRange` set for them.
AVPixelFormat withoutRangeInName(int format, bool& fullRange);

class SwscaleConverter
{
public:
    SwscaleConverter();
    ~SwscaleConverter();
    SwscaleConverter(const SwscaleConverter&) = delete;
    SwscaleConverter& operator=(const SwscaleConverter&) = delete;

    // Converts the frame into `target` (8 or 16-bit BGR of the frame's size,
    // or its top left part). swscale writes into a scratch picture of the
    // converter's own, with aligned and padded rows, and only the picture's
    // pixels are copied into `target`. Throws std::runtime_error for a
    // format or colour space swscale cannot convert.
    void convert(const AVFrame& frame, cv::Mat& target);

private:
    struct Impl;
    std::unique_ptr<Impl> mImpl;
};

}  // namespace ambrel::pipeline
