// From decoded pictures (FFmpeg's frames, of any codec) to the pixels the
// canvas holds: 8 or 16-bit BGR, 8 or 16-bit grey, or the planes of a JPEG
// file. Y'CbCr of 8 to 16 bits in every chroma sampling and monochrome is
// converted here with exact arithmetic (BT.601, BT.709, BT.2020, FCC,
// SMPTE 240M and YCgCo matrices, limited or full range); planar RGB (the
// identity matrix) is scaled sample by sample; anything else goes through
// swscale.
#pragma once

#include <memory>

#include <opencv2/core.hpp>

struct AVFrame;

namespace ambrel::pipeline {

// A picture as the planes of a JPEG file: 8-bit Y'CbCr with BT.601's
// matrix at full range (JFIF's), `luma` width x height, `cb` and `cr` half
// of that both ways, rounded up. Views into larger planes will do.
struct JpegPlanes
{
    cv::Mat luma;
    cv::Mat cb;
    cv::Mat cr;
};

// Converts pictures into matrices of the picture's size or smaller (its top
// left part, whose right and bottom edges are then the picture's: no chroma
// is interpolated from beyond them). The target's type says what the picture
// becomes:
// - CV_8UC3, CV_16UC3: BGR, 0 .. 255 or 0 .. 65535 (16-bit levels are the
//   8-bit conversion's exact values times 257, rounded: pictures of more than
//   8 bits keep their precision). The matrix is the one the frame names,
//   BT.601 when it names none; halved chroma is interpolated linearly at the
//   siting the frame says.
// - CV_8UC1, CV_16UC1: the samples of the first (luma) plane alone, with no
//   matrix and no range conversion, scaled from the picture's N bits:
//   round(v * 255 / (2^N - 1)) or round(v * 65535 / (2^N - 1)). This is how
//   an alpha plane or a depth map coded as a monochrome image is read.
// Throws std::runtime_error for a picture that cannot be had in the target's
// type (a pixel format swscale cannot convert; for a single-channel target,
// one whose first plane is not a plane of samples). Keeps its tables from
// one picture to the next.
class PictureConverter
{
public:
    PictureConverter();
    ~PictureConverter();
    PictureConverter(const PictureConverter&) = delete;
    PictureConverter& operator=(const PictureConverter&) = delete;

    void convert(const AVFrame& frame, cv::Mat& target);

private:
    struct Impl;
    std::unique_ptr<Impl> mImpl;
};

// Copies 8-bit Y'CbCr 4:2:0 pictures of BT.601's matrix (or none named) into
// JPEG planes as they are, and maps the samples of limited range or more bits
// into JFIF's full-range 8-bit ones (the chroma keeps its siting).
class JpegPlanesConverter
{
public:
    JpegPlanesConverter();
    ~JpegPlanesConverter();
    JpegPlanesConverter(const JpegPlanesConverter&) = delete;
    JpegPlanesConverter& operator=(const JpegPlanesConverter&) = delete;

    // Whether the picture can be had as JPEG planes.
    [[nodiscard]] static bool accepts(const AVFrame& frame);
    // `target` must have the picture's size (see JpegPlanes); the picture
    // must be one accepts() takes.
    void convert(const AVFrame& frame, JpegPlanes& target);

private:
    struct Impl;
    std::unique_ptr<Impl> mImpl;
};

}  // namespace ambrel::pipeline
