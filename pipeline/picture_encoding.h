// The encode half of a conversion: the metadata settled for the output
// format, and the decoded mosaic turned, scaled and written whole or band by
// band through the format's writer.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "pipeline/band_encoder.h"
#include "pipeline/decode/heif_image_data.h"
#include "pipeline/decode/mosaic.h"
#include "pipeline/encode/gain_map.h"
#include "pipeline/encode/metadata.h"
#include "pipeline/failure.h"
#include "pipeline/heif2jpg.h"

namespace ambrel::pipeline {

// The metadata to carry and whether the pixels keep their stored
// orientation, settled before decoding: they decide whether the pixels need
// any work after the mosaic. With the kind of the gain map a JPEG carries.
struct CarriedMetadata : PreparedMetadata
{
    GainMapKind hdr = GainMapKind::None;
};

// An encoded picture: the file, what of the picture it could not hold, its
// size, and its screen-sized picture when one was asked for.
struct EncodedPicture
{
    std::vector<std::uint8_t> bytes;
    std::string warning;
    cv::Size size;
    cv::Mat preview;
};

CarriedMetadata settleMetadata(HeifImageData& data, bool keepExif, OutputFormat format);

// The file of the band encoder that has been streaming the mosaic's output
// region; the canvas is let go of.
Result<EncodedPicture> finishBands(BandEncoder& bands, MosaicCanvas& canvas, std::uint32_t width, std::uint32_t height,
                                   float scale);

// Turns the screen-sized picture of a picture kept in its stored
// orientation (its clean apertures applied) so that it displays upright.
void turnUpright(cv::Mat& picture, const std::vector<ImageTransform>& transforms);

// The picture of the mosaic's output region with its alpha plane, after its
// transforms and the scale, encoded, and its screen-sized picture when
// `previewSide` asks for one; the canvas is let go of.
Result<EncodedPicture> encodeWhole(MosaicCanvas& canvas, const cv::Mat& alpha, const HeifImageData& data,
                                   const CarriedMetadata& metadata, const ConversionSettings& settings);

}  // namespace ambrel::pipeline
