// ambrel-dump-tiles INPUT.heic OUTPUT.hevc: writes the coded tiles of the
// file's primary image as one HEVC elementary stream (Annex B), in decoding
// order, each tile led by the parameter sets of its decoder configuration:
// the very stream ambrel-convert hands to its decoder. compare.sh decodes it
// with the ffmpeg program to a null output, which is the floor a conversion
// cannot go below. Prints the tile count, the output size and the stream's
// bytes.
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "heiclib/log.h"
#include "pipeline/decode/extraction.h"
#include "pipeline/decode/hevc_stream.h"
#include "tests/fixtures/hevc_encoder.h"

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: ambrel-dump-tiles INPUT.heic OUTPUT.hevc\n");
        return 2;
    }
    try {
        ambrel::log::setLevel(ambrel::log::Error);
        const std::vector<std::uint8_t> bytes = fixture::readFileBytes(argv[1]);
        const ambrel::pipeline::HeifImageData data =
            ambrel::pipeline::extractHeifImage(bytes.data(), bytes.size(), false);
        std::vector<std::uint8_t> stream;
        if (!ambrel::pipeline::assembleHevcBitstream(data, stream)) {
            std::fprintf(stderr, "ambrel-dump-tiles: the stream of %s cannot be assembled\n", argv[1]);
            return 1;
        }
        if (!ambrel::pipeline::write_hevc_bitstream(argv[2], stream)) {
            std::fprintf(stderr, "ambrel-dump-tiles: %s cannot be written\n", argv[2]);
            return 1;
        }
        std::printf("%zu tiles, %u x %u, %zu bytes\n", data.tiles.size(), data.width, data.height, stream.size());
    } catch (const std::exception& error) {
        std::fprintf(stderr, "ambrel-dump-tiles: %s: %s\n", argv[1], error.what());
        return 1;
    }
    return 0;
}
