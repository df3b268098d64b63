// From decoded tile frames to the picture that is encoded: the grid mosaic,
// the crop to the output size, the image's transformative properties and the
// user's scale. Failures are exceptions (std::out_of_range,
// std::invalid_argument, cv::Exception); heif2jpg turns them into its result.
#pragma once

#include <cstdint>
#include <vector>

#include <opencv2/core.hpp>

#include "heif_image_data.h"

namespace heifpipe {

// The largest picture side a JPEG can hold.
constexpr int kMaxJpegSide = 65535;

// Horizontal / vertical concatenation of the entries, in order. One entry
// gives that entry; none throws std::out_of_range.
cv::Mat concatRow(const std::vector<cv::Mat>& tiles);
cv::Mat concatRows(const std::vector<cv::Mat>& rows);

// Lays frames 0 .. rows * columns - 1 out row by row; later frames are
// ignored. Throws std::out_of_range when a frame is missing or the layout is
// empty, and cv::Exception when tile sizes do not line up.
cv::Mat buildMosaic(const std::vector<cv::Mat>& frames, std::uint32_t rows, std::uint32_t columns);

// A copy of the width x height region at the top left corner, cut down to the
// image where it reaches beyond. Throws std::invalid_argument when that leaves
// nothing.
cv::Mat cropToOutput(const cv::Mat& image, std::uint32_t width, std::uint32_t height);

// Turns the image anticlockwise by `rotation` degrees; anything other than 90,
// 180 or 270 leaves it unturned.
void applyRotation(cv::Mat& image, std::uint32_t rotation);

// Mirrors by the 'imir' axis bit as cameras and libheif read it: axis 0 swaps
// top and bottom, axis 1 swaps left and right.
void applyMirror(cv::Mat& image, std::uint32_t axis);

// The pixel rectangle of a clean aperture in an image of the given size: the
// aperture's centre lies at ((width - 1) / 2 + horizontal offset,
// (height - 1) / 2 + vertical offset); offsets have signed numerators. The
// size and the left and top edges are rounded to whole pixels. False for a
// zero denominator, an empty aperture or one that reaches outside the image.
bool cleanApertureRect(const CleanApertureInfo& aperture, int width, int height, cv::Rect& rect);

// Crops to the clean aperture; false, with the image untouched, when the
// aperture is unusable (see cleanApertureRect).
bool applyCleanAperture(cv::Mat& image, const CleanApertureInfo& aperture);

// Applies the transforms in order. With `keepOrientation` the rotations and
// mirrors are left to the EXIF Orientation tag: the image keeps its stored
// orientation and only the clean apertures cut it (where an aperture follows a
// turn, the turns are applied for it and undone afterwards).
void applyTransforms(cv::Mat& image, const std::vector<ImageTransform>& transforms, bool keepOrientation);

// Resizes both axes by `scale` (bilinear); 1 returns the image as it is.
// Throws std::invalid_argument for a factor that is not positive and finite or
// a result without pixels or beyond kMaxJpegSide.
cv::Mat scaleImage(const cv::Mat& image, float scale);

}  // namespace heifpipe
