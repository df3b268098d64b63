// ambrel-dump-tiles INPUT OUTPUT: writes the coded tiles of the file's
// primary image (a grid's tiles in order, or the coded image itself) as one
// stream the ffmpeg program decodes: for HEVC an elementary stream (Annex B),
// each tile led by the parameter sets of its decoder configuration; for AV1
// an OBU stream (-f obu), each tile a temporal unit of its own behind a
// temporal delimiter, led by the configuration's sequence header when its
// data has none. compare.sh decodes it to a null output: the floor a
// conversion cannot go below. Prints the codec, the tile count and the
// stream's bytes. Reads the file with heiclib's reader alone, so the floor
// does not depend on how the pipeline hands tiles to its decoder.
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "heiclib/log.h"
#include "heiclib/reader/hevc_image_file_reader.h"
#include "tests/fixtures/hevc_encoder.h"

using namespace ambrel::heif;

namespace {

// The type of the first OBU (bits 6..3 of its first byte): 1 a sequence
// header, 2 a temporal delimiter.
int firstObuType(const DataVector& data, std::size_t at = 0)
{
    return data.size() > at ? (data[at] >> 3) & 0x0F : -1;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: ambrel-dump-tiles INPUT OUTPUT\n");
        return 2;
    }
    try {
        ambrel::log::setLevel(ambrel::log::Error);
        HevcImageFileReader reader;
        reader.setImageCodings(HevcImageFileReader::ImageCodings::All);
        reader.initialize(argv[1]);
        const ContextId context = reader.getFileInformation().rootMetaBoxInformation.contextId;
        const ItemId primary = reader.getPrimaryItemId(context).value_or(0);
        IdVector tiles;
        if (reader.getItemType(context, primary) == "grid") {
            reader.getReferencedFromItemListByType(context, primary, "dimg", tiles);
        } else {
            tiles.push_back(primary);
        }
        std::vector<std::uint8_t> stream;
        std::string codec;
        for (const ItemId tile : tiles) {
            DataVector data;
            codec = reader.getDecoderCodeType(context, tile);
            if (codec == "av01") {
                reader.getItemData(context, tile, data);
                // Its own temporal delimiter, if any, gives way to ours.
                if (firstObuType(data) == 2 && data.size() >= 2 && data[1] == 0) {
                    data.erase(data.begin(), data.begin() + 2);
                }
                stream.insert(stream.end(), {0x12, 0x00});
                const auto config = reader.getItemAv1Configuration(context, tile);
                if (firstObuType(data) != 1 && config) {
                    stream.insert(stream.end(), config->configObus.begin(), config->configObus.end());
                }
            } else {
                reader.getItemDataWithDecoderParameters(context, tile, data);
            }
            stream.insert(stream.end(), data.begin(), data.end());
        }
        fixture::writeFileBytes(argv[2], stream);
        std::printf("%s, %zu tiles, %zu bytes\n", codec.c_str(), tiles.size(), stream.size());
    } catch (const std::exception& error) {
        std::fprintf(stderr, "ambrel-dump-tiles: %s: %s\n", argv[1], error.what());
        return 1;
    }
    return 0;
}
