// Runs the whole conversion over arbitrary bytes: extraction, the HEVC
// decode with FFmpeg, the colour conversion into the mosaic, the crop,
// transforms, scale and JPEG encoding.
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
#include "heif2jpg/heif2jpg.h"

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
    const bool keepExif = (size & 1) != 0;
    const float scale = keepExif ? 1.0f : 0.5f;
    const Heif2JpgResult result = convertHeifToJpeg(bytes, size, 90, scale, keepExif);
    if (result.ok && (result.jpeg.size() < 4 || result.jpeg[0] != 0xFF || result.jpeg[1] != 0xD8)) {
        std::cerr << "conversion_fuzzer: a conversion reported success without a JPEG\n";
        std::abort();
    }
    return 0;
}
