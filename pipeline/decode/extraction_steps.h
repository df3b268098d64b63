// The steps of the extraction that live in files of their own, and the
// helpers they share with it; for pipeline/decode/ alone.
#pragma once

#include <cstdint>
#include <string>

#include "heiclib/model/image_model.h"
#include "heiclib/reader/hevc_image_file_reader.h"
#include "pipeline/decode/coded_tiles.h"
#include "pipeline/decode/extraction.h"
#include "pipeline/decode/heif_image_data.h"

namespace ambrel::pipeline {

// The text in lower case (ASCII letters).
std::string lowerCase(std::string text);
// A diagnostic line of the extraction, to the log's warning channel.
void printDiagnostic(const std::string& line);
// Throws LimitExceededError for an image beyond the pixel or tile limits.
void checkLimits(const heif::HevcImageFileReader& reader, heif::ContextId context, const HeifImageData& data);

// Whether the pipeline decodes images of this coding ('hvc1', 'av01').
bool isDecodedCoding(const std::string& codeType);
// The record's bit depth, chroma format and first tile size from its first
// tile's configuration.
void getHeifBitDepth(const heif::HevcImageFileReader& reader, heif::ContextId context, HeifImageData& data);
// The image's alpha plane into data.alpha (see HeifImageData::alpha), its
// tiles within `tileBudget`; left out with a diagnostic line when it cannot
// be used.
void getHeifAlpha(heif::HevcImageFileReader& reader, const heif::ImageModel& model, HeifImageData& data,
                  std::uint64_t tileBudget);

// The XMP packet of an XMP item when it can be read and looks like XMP;
// empty otherwise.
heif::DataVector readXmpItem(heif::HevcImageFileReader& reader, heif::ContextId context, heif::ItemId item);

// The XMP packet that describes the image (see extractHeifImage), into
// data.xmp; left empty, with a diagnostic line, when it cannot be had.
void getHeifXmp(heif::HevcImageFileReader& reader, const heif::ImageModel& model, HeifImageData& data);

// Frame `frame` of the sequence: the samples from the last IDR at or before
// its own up to its own, in decoding order, and the count of pictures the
// decoder puts out before it.
HeifImageData extractFrame(heif::HevcImageFileReader& reader, const heif::ImageSequence& sequence, std::uint64_t frame,
                           std::uint64_t tileBudget);

}  // namespace ambrel::pipeline
