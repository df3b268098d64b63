// ambrel-dump-tiles INPUT.heic OUTPUT: writes the coded tiles of the file's
// primary image, in decoding order, as one HEVC elementary stream (Annex B,
// each tile led by the parameter sets of its decoder configuration), or for
// AV1 as one stream of OBUs (the tiles' temporal units one after the other):
// the data ambrel-convert hands to its decoder. compare.sh decodes it with the
// ffmpeg program to a null output, which is the floor a conversion cannot go
// below. Prints the tile count, the output size and the stream's bytes.
#include <cstdio>
#include <exception>
#include <filesystem>
#include <fstream>
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
        bool written = false;
        if (data.codec == ambrel::pipeline::Codec::Av1) {
            std::ofstream out(argv[2], std::ios::binary | std::ios::trunc);
            for (const auto& tile : data.tiles) {
                out.write(reinterpret_cast<const char*>(tile.data()), static_cast<std::streamsize>(tile.size()));
            }
            out.close();
            written = !out.fail();
        } else {
            written = ambrel::pipeline::write_hevc_bitstream(argv[2], data);
        }
        if (!written) {
            std::fprintf(stderr, "ambrel-dump-tiles: %s cannot be written\n", argv[2]);
            return 1;
        }
        std::printf("%zu tiles, %u x %u, %ju bytes\n", data.tiles.size(), data.width, data.height,
                    std::uintmax_t(std::filesystem::file_size(argv[2])));
    } catch (const std::exception& error) {
        std::fprintf(stderr, "ambrel-dump-tiles: %s: %s\n", argv[1], error.what());
        return 1;
    }
    return 0;
}
