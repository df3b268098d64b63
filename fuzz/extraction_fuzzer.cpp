// Runs the conversion entry's work up to the HEVC decode over arbitrary bytes:
// the extraction of the image, the assembly of the elementary stream (in
// memory; no file, no decoder), and the byte-level handling of what the
// extraction found: the EXIF block, the orientation, the clean aperture and
// the ICC profile as they would go into the JPEG.
#include <cstddef>
#include <cstdint>
#include <iostream>
#include <vector>

#include "box_mutator.h"
#include "extraction.h"
#include "hevc_stream.h"
#include "jpeg_metadata.h"
#include "log.h"
#include "mosaic.h"

namespace {

// The smallest JPEG the EXIF and ICC splices accept: SOI, an 18-byte JFIF
// APP0 and EOI.
const std::vector<std::uint8_t> kTinyJpeg = {0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x10, 'J', 'F', 'I', 'F', 0x00, 0x01,
                                             0x01, 0x00, 0x00, 0x01, 0x00, 0x01, 0x00, 0x00, 0xFF, 0xD9};

void handleMetadata(HeifImageData& data)
{
    std::vector<jpegmeta::Transform> turns;
    for (const ImageTransform& transform : data.transforms) {
        if (transform.kind == ImageTransform::Kind::Rotate) {
            turns.push_back({jpegmeta::TransformKind::Rotate, static_cast<int>(transform.value)});
        } else if (transform.kind == ImageTransform::Kind::Mirror) {
            turns.push_back({jpegmeta::TransformKind::Mirror, transform.value == 0 ? 1 : 0});
        } else {
            cv::Rect rect;
            heifpipe::cleanApertureRect(transform.aperture, static_cast<int>(data.width & 0x7FFFFFFF),
                                        static_cast<int>(data.height & 0x7FFFFFFF), rect);
        }
    }
    int orientation = 1;
    try {
        orientation = jpegmeta::orientationForTransforms(turns);
    } catch (const std::invalid_argument&) {
        // An 'irot' that is not a quarter turn: the pipeline leaves the image unturned.
    }

    std::vector<std::uint8_t> exif = data.exif;
    if (!exif.empty() && jpegmeta::fitIntoApp1(exif)) {
        if (jpegmeta::readOrientation(exif) != orientation) {
            jpegmeta::writeOrientation(exif, 1);
        }
        jpegmeta::Bytes jpeg = jpegmeta::insertExifSegment(kTinyJpeg, exif);
        try {
            jpeg = jpegmeta::insertIccSegments(jpeg, data.iccProfile);
        } catch (const std::length_error&) {
            // A profile beyond 255 segments is left out.
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    heiflog::setLevel(-1);
    // The extraction's diagnostic lines go to standard output; they would
    // only slow the run down.
    std::cout.setstate(std::ios::badbit);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size)
{
    HeifImageData data;
    try {
        data = heifpipe::extractHeifImage(bytes, size, true);
    } catch (const std::exception&) {
        return 0;  // refused: the conversion ends with its read_heif result
    }
    std::vector<std::uint8_t> stream;
    static_cast<void>(heifpipe::assemble_hevc_bitstream(data, stream));  // either outcome is fine here
    handleMetadata(data);
    return 0;
}
