#include "convert/image_codecs_module.h"

#include <exception>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>

namespace ambrel::convert {

extern "C" __attribute__((visibility("default"))) int ambrelReencodeJpeg(const std::uint8_t* jpeg, std::size_t length,
                                                                         const char* extension,
                                                                         std::vector<std::uint8_t>* out)
{
    try {
        const cv::Mat bitmap = cv::imdecode(
            cv::Mat(1, static_cast<int>(length), CV_8UC1, const_cast<std::uint8_t*>(jpeg)), cv::IMREAD_COLOR);
        if (bitmap.empty()) {
            return 0;
        }
        std::vector<uchar> encoded;
        if (!cv::imencode(extension, bitmap, encoded) || encoded.empty()) {
            return 0;
        }
        out->assign(encoded.begin(), encoded.end());
        return 1;
    } catch (const std::exception&) {
        // cv::Exception: the JPEG 2000 encoder refuses pictures smaller than
        // its resolution levels need; bad_alloc for a picture beyond memory.
        return 0;
    }
}

}  // namespace ambrel::convert
