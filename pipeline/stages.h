// The stages before the pixel work: the image taken out of the container,
// its tiles decoded into the mosaic, and the causes of their failures in
// plain English.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>

#include <opencv2/core.hpp>

#include "pipeline/decode/extraction.h"
#include "pipeline/decode/heif_image_data.h"
#include "pipeline/decode/mosaic.h"
#include "pipeline/failure.h"

namespace ambrel::pipeline {

// A reader text as a clause: without the full stop some of them end in.
std::string clause(std::string text);

// The caller's bytes; none when there is no buffer.
std::span<const std::uint8_t> inputBytes(const std::uint8_t* input, std::size_t length);

// The extraction stage. Where the reader and the extraction throw, their
// exceptions become the stage's failure.
Result<HeifImageData> extract(std::span<const std::uint8_t> input, bool keepExif, const ImageRequest& request = {});

// The region of the mosaic that is the image before its transforms.
void outputSize(const HeifImageData& data, std::uint32_t& width, std::uint32_t& height);

// Decodes the image's tiles from memory straight into the canvas (no file is
// written). The record's coded data is let go of on the way. `converted`, when
// given, is called after each picture is in its cell. A failure when no
// usable picture came out.
Result<void> decodeTiles(HeifImageData& data, MosaicCanvas& canvas, const std::function<void(std::size_t)>& converted);

// The cause of an exception from the mosaic, transform, scale or encoding
// step, for a person; called while it is being handled.
std::string pictureDetail(const MosaicCanvas& canvas, const HeifImageData& data);

// The alpha plane decoded at the colour picture's depth and cut to its size;
// empty, with the reason in `warning`, when it cannot be had.
cv::Mat decodeAlpha(HeifImageData& alpha, int depth, cv::Size size, std::string& warning);

// Adds a warning to a "; "-separated list of them.
void addWarning(std::string& warnings, const std::string& warning);

}  // namespace ambrel::pipeline
