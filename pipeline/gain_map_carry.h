// The primary's HDR gain map carried into a JPEG conversion.
#pragma once

#include <cstdint>
#include <span>

#include "pipeline/decode/heif_image_data.h"
#include "pipeline/heif2jpg.h"
#include "pipeline/picture_encoding.h"

namespace ambrel::pipeline {

// Makes the gain-map JPEG of a JPEG conversion of the primary, before the
// primary is decoded: the primary's XMP lists its length, and its decoder
// is let go of before the primary's starts. Other formats get a note that
// the HDR rendition is not kept. A gain map that cannot be carried leaves
// the plain picture, with a warning.
void carryGainMap(std::span<const std::uint8_t> input, const HeifImageData& data, const ConversionSettings& settings,
                  CarriedMetadata& metadata);

}  // namespace ambrel::pipeline
