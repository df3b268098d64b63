// Runs the conversion entry's work up to the HEVC decode over arbitrary bytes:
// the extraction of the image, the assembly of the elementary stream (in
// memory; no file, no decoder), and the byte-level handling of what the
// extraction found: the EXIF block, the orientation, the clean aperture and
// the ICC profile as they would go into the JPEG.
#include <cstddef>
#include <cstdint>
#include <iostream>
#include <vector>

#include "fuzz/box_mutator.h"
#include "heiclib/log.h"
#include "pipeline/decode/extraction.h"
#include "pipeline/decode/mosaic.h"
#include "pipeline/encode/jpeg_metadata.h"

using namespace ambrel::heif;
using namespace ambrel::pipeline;

namespace {

// The smallest JPEG the EXIF and ICC splices accept: SOI, an 18-byte JFIF
// APP0 and EOI.
const std::vector<std::uint8_t> kTinyJpeg = {0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x10, 'J',  'F',  'I',  'F',  0x00,
                                             0x01, 0x01, 0x00, 0x00, 0x01, 0x00, 0x01, 0x00, 0x00, 0xFF, 0xD9};

void handleMetadata(HeifImageData& data)
{
    std::vector<ambrel::pipeline::jpegmeta::Transform> turns;
    for (const ImageTransform& transform : data.transforms) {
        if (transform.kind == ImageTransform::Kind::Rotate) {
            turns.push_back({ambrel::pipeline::jpegmeta::TransformKind::Rotate, static_cast<int>(transform.value)});
        } else if (transform.kind == ImageTransform::Kind::Mirror) {
            turns.push_back({ambrel::pipeline::jpegmeta::TransformKind::Mirror, transform.value == 0 ? 1 : 0});
        } else {
            cv::Rect rect;
            ambrel::pipeline::cleanApertureRect(transform.aperture, static_cast<int>(data.width & 0x7FFFFFFF),
                                                static_cast<int>(data.height & 0x7FFFFFFF), rect);
        }
    }
    int orientation = 1;
    try {
        orientation = ambrel::pipeline::jpegmeta::orientationForTransforms(turns);
    } catch (const std::invalid_argument&) {
        // An 'irot' that is not a quarter turn: the pipeline leaves the image unturned.
    }

    std::vector<std::uint8_t> exif = data.exif;
    if (!exif.empty() && ambrel::pipeline::jpegmeta::fitIntoApp1(exif)) {
        if (ambrel::pipeline::jpegmeta::readOrientation(exif) != orientation) {
            ambrel::pipeline::jpegmeta::writeOrientation(exif, 1);
        }
        ambrel::pipeline::jpegmeta::Bytes jpeg = ambrel::pipeline::jpegmeta::insertExifSegment(kTinyJpeg, exif);
        try {
            jpeg = ambrel::pipeline::jpegmeta::insertIccSegments(jpeg, data.iccProfile);
        } catch (const std::length_error&) {
            // A profile beyond 255 segments is left out.
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    ambrel::log::setLevel(-1);
    // The extraction's diagnostic lines go to standard output; they would
    // only slow the run down.
    std::cout.setstate(std::ios::badbit);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size)
{
    HeifImageData data;
    try {
        data = ambrel::pipeline::extractHeifImage(bytes, size, true);
    } catch (const std::exception&) {
        return 0;  // refused: the conversion ends with its read_heif result
    }
    handleMetadata(data);
    return 0;
}
