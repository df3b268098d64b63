// The decoder of images coded whole, one item a tile: JPEG-coded items
// (libjpeg-turbo) and uncompressed ones. Each tile sent is decoded at once
// into its picture, converted into the matrix or planes the target gives.
#pragma once

#include <memory>

#include "pipeline/decode/picture_decoder.h"

namespace ambrel::pipeline {

// For setups of Codec::Jpeg and Codec::Uncompressed (the latter with a
// configuration per tile sent).
[[nodiscard]] std::unique_ptr<PictureDecoder> openWholeItemDecoder(const CodecSetup& setup, PictureTarget target,
                                                                   ConvertedCallback converted);
[[nodiscard]] std::unique_ptr<PictureDecoder> openWholeItemPlanesDecoder(const CodecSetup& setup, PlanesTarget target,
                                                                         ConvertedCallback converted);

// The picture (8 or 16 bits, BGR or grey, as DecodedPicture holds it) into
// `target`, of a matrix type a PictureTarget may give and at most the
// picture's size: its top left part, in the target's channels and depth.
void convertDecodedPicture(const cv::Mat& picture, cv::Mat& target);

}  // namespace ambrel::pipeline
