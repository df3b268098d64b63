// Reading an image's coded tiles for the decoder (see get_heif_paramset and
// get_heif_tiles in extraction.h).
#pragma once

#include <cstddef>

#include "heiclib/reader/hevc_image_file_reader.h"
#include "pipeline/decode/heif_image_data.h"

namespace ambrel::pipeline {

// Reads tile `id` into data.tiles[index], once, as the decoder takes it:
// AV1 as stored; HEVC with its own parameter sets recorded (tileParamSets)
// when they differ from data.paramSets, and its NAL unit lengths brought to
// data.nalLengthSize bytes when its record says otherwise. `data.codec`
// must be set (get_heif_paramset); throws what the reader throws, and
// std::runtime_error for a tile of another coding or a length that runs past
// its tile.
void readTile(heif::HevcImageFileReader& reader, heif::ContextId context, heif::ItemId id, std::size_t index,
              HeifImageData& data);

}  // namespace ambrel::pipeline
