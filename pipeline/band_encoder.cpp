#include "pipeline/band_encoder.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <exception>
#include <functional>
#include <limits>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <span>
#include <sstream>
#include <stdexcept>
#include <system_error>
#include <thread>
#include <utility>

#include <opencv2/imgproc.hpp>

#include "heiclib/log.h"
#include "heiclib/reader/file_reader_exception.h"
#include "pipeline/converter.h"
#include "pipeline/decode/extraction.h"
#include "pipeline/decode/hevc_sps.h"
#include "pipeline/decode/mosaic.h"
#include "pipeline/decode/picture_decoder.h"
#include "pipeline/encode/colour_profiles.h"
#include "pipeline/encode/gain_map.h"
#include "pipeline/encode/gain_map_jpeg.h"
#include "pipeline/encode/image_writer.h"
#include "pipeline/encode/jpeg_encoder.h"
#include "pipeline/encode/jpeg_metadata.h"
#include "pipeline/encode/metadata.h"
#include "pipeline/encode/xmp_packet.h"
#include "pipeline/failure.h"
#include "pipeline/gain_map_carry.h"
#include "pipeline/picture_encoding.h"
#include "pipeline/plan.h"
#include "pipeline/stages.h"

namespace ambrel::pipeline {

// The planes as 8-bit BGR, at the chroma's size or the luma's.
cv::Mat planesBgr(const JpegPlanes& planes, bool half)
{
    std::vector<cv::Mat> channels{planes.luma, planes.cr, planes.cb};
    if (half) {
        cv::resize(planes.luma, channels[0], planes.cb.size(), 0, 0, cv::INTER_AREA);
    } else {
        cv::resize(planes.cr, channels[1], planes.luma.size(), 0, 0, cv::INTER_LINEAR);
        cv::resize(planes.cb, channels[2], planes.luma.size(), 0, 0, cv::INTER_LINEAR);
    }
    cv::Mat ycrcb;
    cv::merge(channels, ycrcb);
    cv::Mat bgr;
    cv::cvtColor(ycrcb, bgr, cv::COLOR_YCrCb2BGR);
    return bgr;
}

// The screen-sized picture of an encoded picture: built from its planes at
// the chroma's size when that is no smaller than the picture (`fromHalf`).
PreviewBuilder planesPreview(cv::Size encoded, std::uint32_t side, bool& fromHalf)
{
    const cv::Size target = boundedSize(encoded, side);
    const cv::Size half((encoded.width + 1) / 2, (encoded.height + 1) / 2);
    fromHalf = target.width <= half.width && target.height <= half.height;
    return PreviewBuilder(fromHalf ? half : encoded, target);
}

}  // namespace ambrel::pipeline
