// Runs the whole conversion over arbitrary bytes: extraction, the HEVC
// decode with FFmpeg, the colour conversion into the mosaic (8 or 16 bits),
// the alpha plane, the crop, transforms, scale and encoding as JPEG, or as
// 16-bit PNG, which takes the alpha channel and the metadata.
//
// Built without AddressSanitizer (see scripts/fuzz-smoke.sh): FFmpeg is not
// instrumented, so its writes into our buffers are checked by glibc's heap
// checks instead (MALLOC_CHECK_=3 with libc_malloc_debug preloaded, which
// guard every block), and libstdc++'s assertions check our containers.
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <iostream>
#include <string>

extern "C" {
#include <libavutil/log.h>
}

#include "fuzz/box_mutator.h"
#include "pipeline/heif2jpg.h"

using namespace ambrel::pipeline;

namespace {

void discardLibavMessage(void*, int, const char*, va_list) {}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    // Diagnostics of the extraction and the decoder's complaints about
    // broken streams would only slow the run down.
    std::cout.setstate(std::ios::badbit);
    av_log_set_callback(discardLibavMessage);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size)
{
    // Both ways of finishing a picture: handed to the encoder as decoded
    // (EXIF kept, scale 1), or turned, cropped and scaled first.
    // And a 16-bit PNG every other size.
    const bool keepExif = (size & 1) != 0;
    ConversionSettings settings;
    settings.keepExif = keepExif;
    settings.scale = keepExif ? 1.0f : 0.5f;
    settings.quality = 90;
    if ((size & 2) != 0) {
        settings.format = OutputFormat::Png;
        settings.depth = 16;
    }
    const ConvertedFile result = convertHeif(bytes, size, settings);
    const bool png = settings.format == OutputFormat::Png;
    const std::uint8_t first = png ? 0x89 : 0xFF;
    const std::uint8_t second = png ? 'P' : 0xD8;
    if (result.ok && (result.bytes.size() < 4 || result.bytes[0] != first || result.bytes[1] != second)) {
        std::cerr << "conversion_fuzzer: a conversion reported success without its file\n";
        std::abort();
    }
    return 0;
}
