// JPEG encoding of 8-bit BGR pictures with libjpeg-turbo, set up exactly as
// OpenCV's imencode(".jpg") sets it up (the library's defaults, the quality
// clamped to 0..100 with baseline tables, 4:2:0 chroma), so that the bytes are
// the ones imencode writes. Unlike imencode it takes the rows as they become
// ready, so encoding can run while the rest of the picture is still decoded.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include <opencv2/core.hpp>

namespace ambrel::pipeline {

class JpegEncoder
{
public:
    // Starts a width x height picture. Throws std::invalid_argument for a
    // size without pixels; a size libjpeg refuses (a side above 65500)
    // makes failed() true.
    JpegEncoder(int width, int height, int quality);
    ~JpegEncoder();
    JpegEncoder(const JpegEncoder&) = delete;
    JpegEncoder& operator=(const JpegEncoder&) = delete;

    // Encodes the next rows, top to bottom: 8-bit BGR of the picture's width
    // (a view into a larger image will do). Rows past the picture's height
    // are ignored. Does nothing once failed.
    void writeRows(const cv::Mat& rows);
    int rowsWritten() const;

    // Ends the picture; the JPEG file, or empty when encoding failed or not
    // every row was written.
    std::vector<std::uint8_t> finish();

    bool failed() const;

private:
    struct State;
    std::unique_ptr<State> mState;
};

// The whole picture at once: what imencode(".jpg", image, out,
// {IMWRITE_JPEG_QUALITY, quality}) gives. False when libjpeg fails; throws
// std::invalid_argument for an empty image or one that is not 8-bit BGR.
bool encodeJpeg(const cv::Mat& image, int quality, std::vector<std::uint8_t>& out);

}  // namespace ambrel::pipeline
