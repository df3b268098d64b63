#include "pipeline/decode/hevc_stream.h"

#include <algorithm>
#include <fstream>
#include <span>

#include "heiclib/log.h"

namespace ambrel::pipeline {

namespace {

constexpr std::size_t kReservedFrames = 48;
constexpr std::uint8_t kStartCode[] = {0, 0, 0, 1};

void writeBytes(std::ofstream& file, std::span<const std::uint8_t> bytes)
{
    file.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

// A tile's NAL units, each behind a start code; false when a length runs
// past the tile.
bool writeUnits(std::ofstream& file, std::span<const std::uint8_t> tile, unsigned lengthSize)
{
    while (!tile.empty()) {
        if (tile.size() < lengthSize) {
            return false;
        }
        std::size_t length = 0;
        for (unsigned i = 0; i < lengthSize; ++i) {
            length = (length << 8) | tile[i];
        }
        tile = tile.subspan(lengthSize);
        if (length > tile.size()) {
            return false;
        }
        writeBytes(file, kStartCode);
        writeBytes(file, tile.first(length));
        tile = tile.subspan(length);
    }
    return true;
}

// The first NAL unit type of an access unit: parameter sets, delimiters and
// prefix SEI (32 to 35, 39, 41 to 44, 48 to 55).
bool beginsAccessUnit(unsigned type)
{
    return (type >= 32 && type <= 35) || type == 39 || (type >= 41 && type <= 44) || (type >= 48 && type <= 55);
}

// The stream cut into access units, each a span of the stream from its
// first unit's start code: a new one begins, after a coded slice, at a unit
// of the kinds above or at a slice that starts a picture.
std::vector<std::span<const std::uint8_t>> accessUnitsOf(std::span<const std::uint8_t> stream)
{
    std::vector<std::span<const std::uint8_t>> units;
    std::size_t begin = 0;
    bool sliceSeen = false;
    for (const auto unit : nalUnitsOf(stream)) {
        const auto at = static_cast<std::size_t>(unit.data() - stream.data());
        const unsigned type = (unit[0] >> 1) & 0x3Fu;
        const bool slice = type < 32;
        const bool firstSlice = slice && unit.size() > 2 && (unit[2] & 0x80u) != 0;
        if (sliceSeen && (beginsAccessUnit(type) || firstSlice)) {
            const std::size_t start = at >= 4 && stream[at - 4] == 0 ? at - 4 : at - 3;
            units.push_back(stream.subspan(begin, start - begin));
            begin = start;
            sliceSeen = false;
        }
        sliceSeen = sliceSeen || slice;
    }
    if (begin < stream.size()) {
        units.push_back(stream.subspan(begin));
    }
    return units;
}

void reportNotOpened()
{
    log::report(log::Warning, "cv::VideoCapture::isOpened returned false ");
}

}  // namespace

bool write_hevc_bitstream(const std::string& path, const HeifImageData& data)
{
    const std::size_t tileCount = data.tiles.size();
    if (data.codec != Codec::Hevc ||
        (tileCount != 0 && data.paramSets.size() > kMaxRepeatedParameterSetBytes / tileCount)) {
        return false;
    }
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    if (!file) {
        return false;
    }
    for (std::size_t i = 0; i < tileCount; ++i) {
        const bool own = i < data.tileParamSets.size() && !data.tileParamSets[i].empty();
        writeBytes(file, own ? data.tileParamSets[i] : data.paramSets);
        if (!writeUnits(file, data.tiles[i], data.nalLengthSize)) {
            return false;
        }
    }
    file.close();
    return !file.fail();
}

std::vector<cv::Mat> read_hevc_bitstream_to_mat_vector(const std::string& path, std::size_t maxFrames)
{
    std::vector<cv::Mat> frames;
    try {
        std::ifstream file(path, std::ios::binary | std::ios::ate);
        if (!file) {
            reportNotOpened();
            return {};
        }
        std::vector<std::uint8_t> stream(static_cast<std::size_t>(std::max<std::streamoff>(file.tellg(), 0)));
        file.seekg(0);
        file.read(reinterpret_cast<char*>(stream.data()), static_cast<std::streamsize>(stream.size()));
        if (!file) {
            reportNotOpened();
            return {};
        }
        frames.reserve(std::min(maxFrames, kReservedFrames));
        std::uint64_t pixels = 0;
        bool tooLarge = false;
        const PictureTarget target = [&](std::size_t index, int width, int height) {
            pixels += std::uint64_t(width) * std::uint64_t(height);
            if (index >= maxFrames || pixels > kMaxDecodedPixels) {
                tooLarge = index < maxFrames;
                return cv::Mat();
            }
            // Initialised, so that every pixel is the picture's or black.
            frames.push_back(cv::Mat::zeros(height, width, CV_8UC3));
            return frames.back();
        };
        CodecSetup setup;
        setup.nalLengthSize = 0;  // start codes, the parameter sets in the stream
        std::string why;
        const auto decoder = openPictureDecoder(setup, target, {}, why);
        if (!decoder) {
            reportNotOpened();
            return {};
        }
        bool more = true;
        for (const auto unit : accessUnitsOf(stream)) {
            if (!(more = decoder->send(unit))) {
                break;
            }
        }
        if (more) {
            decoder->finish();
        }
        if (tooLarge) {
            frames.clear();
        }
    } catch (...) {
        frames.clear();
    }
    return frames;
}

}  // namespace ambrel::pipeline
