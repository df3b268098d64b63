// JPEG 2000: OpenJPEG, in the JP2 container, the picture coded in tiles
// on every core. The ICC profile goes into the 'colr' box (ISO/IEC
// 15444-1), EXIF and XMP into their uuid boxes. Quality 100 is lossless (the
// reversible 5/3 wavelet); lower qualities use the irreversible 9/7 wavelet
// at the compression ratio jp2RatioForQuality gives. A 16-bit picture is
// written with WriterOptions::precision bits a sample, so that a 10-bit
// source makes a 10-bit file. OpenJPEG wants the whole picture, so the
// writer holds the rows until finish().
#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <limits>
#include <thread>

#include <openjpeg.h>

#include "pipeline/encode/writer_support.h"

namespace ambrel::pipeline {

namespace {

using namespace writing;

struct OpjSink
{
    Bytes data;
    std::uint64_t position = 0;
};

OPJ_SIZE_T opjWrite(void* buffer, OPJ_SIZE_T size, void* user)
{
    auto* sink = static_cast<OpjSink*>(user);
    try {
        if (sink->position + size > sink->data.size())
            sink->data.resize(sink->position + size);
    } catch (const std::bad_alloc&) {
        return static_cast<OPJ_SIZE_T>(-1);
    }
    std::memcpy(sink->data.data() + sink->position, buffer, size);
    sink->position += size;
    return size;
}

OPJ_OFF_T opjSkip(OPJ_OFF_T count, void* user)
{
    auto* sink = static_cast<OpjSink*>(user);
    if (count < 0 && static_cast<std::uint64_t>(-count) > sink->position)
        return -1;
    sink->position = static_cast<std::uint64_t>(static_cast<OPJ_OFF_T>(sink->position) + count);
    return count;
}

OPJ_BOOL opjSeek(OPJ_OFF_T position, void* user)
{
    if (position < 0)
        return OPJ_FALSE;
    static_cast<OpjSink*>(user)->position = static_cast<std::uint64_t>(position);
    return OPJ_TRUE;
}

void opjError(const char* message, void* user)
{
    auto* text = static_cast<std::string*>(user);
    if (text->empty()) {
        *text = message;
        while (!text->empty() && (text->back() == '\n' || text->back() == ' '))
            text->pop_back();
    }
}

void opjQuiet(const char*, void*) {}

struct OpjCodecFree
{
    void operator()(opj_codec_t* codec) const { opj_destroy_codec(codec); }
};
struct OpjStreamFree
{
    void operator()(opj_stream_t* stream) const { opj_stream_destroy(stream); }
};
struct OpjImageFree
{
    void operator()(opj_image_t* image) const { opj_image_destroy(image); }
};

void appendBigEndian32(Bytes& out, std::uint32_t value)
{
    out.push_back(static_cast<std::uint8_t>(value >> 24));
    out.push_back(static_cast<std::uint8_t>(value >> 16));
    out.push_back(static_cast<std::uint8_t>(value >> 8));
    out.push_back(static_cast<std::uint8_t>(value));
}

// A JP2 'uuid' box: EXIF and XMP have no box of their own in JP2; these two
// identifiers are the ones readers look for.
bool appendUuidBox(Bytes& file, const std::array<std::uint8_t, 16>& uuid, const Bytes& payload)
{
    const std::uint64_t size = 8 + uuid.size() + payload.size();
    if (size > std::numeric_limits<std::uint32_t>::max())
        return false;
    appendBigEndian32(file, static_cast<std::uint32_t>(size));
    file.insert(file.end(), {'u', 'u', 'i', 'd'});
    file.insert(file.end(), uuid.begin(), uuid.end());
    file.insert(file.end(), payload.begin(), payload.end());
    return true;
}

std::uint32_t readBigEndian32(const Bytes& bytes, std::size_t at)
{
    return (std::uint32_t(bytes[at]) << 24) | (std::uint32_t(bytes[at + 1]) << 16) |
           (std::uint32_t(bytes[at + 2]) << 8) | std::uint32_t(bytes[at + 3]);
}

// Puts the ICC profile into the JP2 header box in place of the enumerated
// colour space OpenJPEG wrote. OpenJPEG's own route (the image's
// icc_profile_buf) fails an assertion in its encoder, so the header is
// rewritten here: the JP2 'colr' box (ISO/IEC 15444-1) becomes method 2 (a
// restricted ICC profile, the JP2 form) and the header box grows by the
// difference. Nothing in a JP2 file points at absolute offsets, so the boxes
// after it need no change. False when the file has no such header.
bool putJp2Profile(Bytes& file, const Bytes& icc)
{
    std::size_t at = 0;
    while (at + 8 <= file.size()) {
        const std::uint32_t size = readBigEndian32(file, at);
        if (size < 8 || at + size > file.size())
            return false;
        if (std::memcmp(&file[at + 4], "jp2h", 4) == 0) {
            Bytes header;
            for (std::size_t child = at + 8; child + 8 <= at + size;) {
                const std::uint32_t childSize = readBigEndian32(file, child);
                if (childSize < 8 || child + childSize > at + size)
                    return false;
                if (std::memcmp(&file[child + 4], "colr", 4) == 0) {
                    appendBigEndian32(header, static_cast<std::uint32_t>(8 + 3 + icc.size()));
                    header.insert(header.end(), {'c', 'o', 'l', 'r', 2, 0, 0});  // method, precedence, approximation
                    header.insert(header.end(), icc.begin(), icc.end());
                } else {
                    header.insert(header.end(), file.begin() + static_cast<std::ptrdiff_t>(child),
                                  file.begin() + static_cast<std::ptrdiff_t>(child + childSize));
                }
                child += childSize;
            }
            if (8 + header.size() > std::numeric_limits<std::uint32_t>::max())
                return false;
            Bytes box;
            appendBigEndian32(box, static_cast<std::uint32_t>(8 + header.size()));
            box.insert(box.end(), {'j', 'p', '2', 'h'});
            box.insert(box.end(), header.begin(), header.end());
            file.erase(file.begin() + static_cast<std::ptrdiff_t>(at),
                       file.begin() + static_cast<std::ptrdiff_t>(at + size));
            file.insert(file.begin() + static_cast<std::ptrdiff_t>(at), box.begin(), box.end());
            return true;
        }
        at += size;
    }
    return false;
}

// "JpgTiffExif->JP2"
constexpr std::array<std::uint8_t, 16> kExifUuid = {0x4a, 0x70, 0x67, 0x54, 0x69, 0x66, 0x66, 0x45,
                                                    0x78, 0x69, 0x66, 0x2d, 0x3e, 0x4a, 0x50, 0x32};
// BE7ACFCB-97A9-42E8-9C71-999491E3AFAC
constexpr std::array<std::uint8_t, 16> kXmpUuid = {0xbe, 0x7a, 0xcf, 0xcb, 0x97, 0xa9, 0x42, 0xe8,
                                                   0x9c, 0x71, 0x99, 0x94, 0x91, 0xe3, 0xaf, 0xac};

// The side of the tiles a JPEG 2000 file is coded in: OpenJPEG takes the
// picture a tile at a time and holds no more than a tile in its own form
// (four bytes a sample, and as much again for the wavelet), and a tile's
// wavelet stays in the caches.
constexpr int kJp2TileSide = 1024;

// Hands the picture to the encoder tile by tile, in order: each tile's
// components one after the other, R, G, B (, A) or grey, a byte a sample
// at 8 bits and two (native order) above, 16-bit samples brought to `bits`
// bits, rounded.
bool writeJp2Tiles(const cv::Mat& image, int bits, int tileWidth, int tileHeight, opj_codec_t* codec,
                   opj_stream_t* stream)
{
    const int channels = image.channels();
    const bool wide = image.depth() == CV_16U;
    std::vector<std::uint16_t> levels;
    if (wide) {
        levels.resize(65536);
        const double narrowing = double((1 << bits) - 1) / 65535.0;
        for (std::size_t v = 0; v < levels.size(); ++v)
            levels[v] = static_cast<std::uint16_t>(std::lround(double(v) * narrowing));
    }
    // BGR(A) to the components R, G, B (, A).
    constexpr int kOrder[] = {2, 1, 0, 3};
    std::vector<std::uint8_t> samples;
    OPJ_UINT32 index = 0;
    for (int top = 0; top < image.rows; top += tileHeight) {
        for (int left = 0; left < image.cols; left += tileWidth, ++index) {
            const cv::Mat tile = image(
                cv::Rect(left, top, std::min(tileWidth, image.cols - left), std::min(tileHeight, image.rows - top)));
            const std::size_t plane = tile.total();
            samples.resize(plane * std::size_t(channels) * (wide ? 2 : 1));
            for (int c = 0; c < channels; ++c) {
                const int source = channels == 1 ? 0 : kOrder[c];
                for (int y = 0; y < tile.rows; ++y) {
                    const std::size_t at = std::size_t(c) * plane + std::size_t(y) * std::size_t(tile.cols);
                    if (wide) {
                        const std::uint16_t* row = tile.ptr<std::uint16_t>(y) + source;
                        auto* out = reinterpret_cast<std::uint16_t*>(samples.data()) + at;
                        for (int x = 0; x < tile.cols; ++x)
                            out[x] = levels[row[std::ptrdiff_t(x) * channels]];
                    } else {
                        const std::uint8_t* row = tile.ptr<std::uint8_t>(y) + source;
                        std::uint8_t* out = samples.data() + at;
                        for (int x = 0; x < tile.cols; ++x)
                            out[x] = row[std::ptrdiff_t(x) * channels];
                    }
                }
            }
            if (!opj_write_tile(codec, index, samples.data(), static_cast<OPJ_UINT32>(samples.size()), stream))
                return false;
        }
    }
    return true;
}

EncodedFile jp2File(const cv::Mat& image, const WriterMetadata& metadata, int quality, int precision)
{
    if (metadata.icc.size() > std::numeric_limits<std::uint32_t>::max() / 2)
        return failure("JPEG 2000: the profile is too large");

    const int channels = image.channels();
    const auto width = static_cast<OPJ_UINT32>(image.cols);
    const auto height = static_cast<OPJ_UINT32>(image.rows);
    const int bits = image.depth() == CV_16U ? std::clamp(precision, 9, 16) : 8;
    std::array<opj_image_cmptparm_t, 4> components{};
    for (int c = 0; c < channels; ++c) {
        components[c].dx = 1;
        components[c].dy = 1;
        components[c].w = width;
        components[c].h = height;
        components[c].prec = static_cast<OPJ_UINT32>(bits);
        components[c].sgnd = 0;
    }
    // The picture's description alone: the samples go to the encoder a
    // tile at a time.
    std::unique_ptr<opj_image_t, OpjImageFree> picture(opj_image_tile_create(
        static_cast<OPJ_UINT32>(channels), components.data(), channels == 1 ? OPJ_CLRSPC_GRAY : OPJ_CLRSPC_SRGB));
    if (!picture)
        return failure("JPEG 2000: out of memory");
    picture->x0 = 0;
    picture->y0 = 0;
    picture->x1 = width;
    picture->y1 = height;
    if (channels == 4)
        picture->comps[3].alpha = 1;
    const int tileWidth = std::min(image.cols, kJp2TileSide);
    const int tileHeight = std::min(image.rows, kJp2TileSide);
    opj_cparameters_t parameters;
    opj_set_default_encoder_parameters(&parameters);
    parameters.tile_size_on = OPJ_TRUE;
    parameters.cp_tx0 = 0;
    parameters.cp_ty0 = 0;
    parameters.cp_tdx = tileWidth;
    parameters.cp_tdy = tileHeight;
    parameters.tcp_numlayers = 1;
    parameters.cp_disto_alloc = 1;
    if (quality >= 100) {
        parameters.irreversible = 0;
        parameters.tcp_rates[0] = 0;  // no rate limit: lossless
    } else {
        parameters.irreversible = 1;
        parameters.tcp_rates[0] = static_cast<float>(jp2RatioForQuality(quality));
    }
    parameters.tcp_mct = channels >= 3 ? 1 : 0;  // the colour transform over R, G, B
    parameters.numresolution = jp2ResolutionLevels(tileWidth, tileHeight);

    std::string error;
    std::unique_ptr<opj_codec_t, OpjCodecFree> codec(opj_create_compress(OPJ_CODEC_JP2));
    if (!codec)
        return failure("JPEG 2000: OpenJPEG could not start");
    opj_set_error_handler(codec.get(), opjError, &error);
    opj_set_warning_handler(codec.get(), opjQuiet, nullptr);
    opj_set_info_handler(codec.get(), opjQuiet, nullptr);
    if (!opj_setup_encoder(codec.get(), &parameters, picture.get()))
        return failure("JPEG 2000: " + (error.empty() ? std::string("the encoder refused the settings") : error));
    // The code blocks are coded on every core (the wavelet transform too);
    // without thread support OpenJPEG works on this one.
    if (opj_has_thread_support())
        opj_codec_set_threads(codec.get(), static_cast<int>(std::max(1u, std::thread::hardware_concurrency())));

    OpjSink sink;
    std::unique_ptr<opj_stream_t, OpjStreamFree> stream(opj_stream_create(OPJ_J2K_STREAM_CHUNK_SIZE, OPJ_FALSE));
    if (!stream)
        return failure("JPEG 2000: out of memory");
    opj_stream_set_user_data(stream.get(), &sink, nullptr);
    opj_stream_set_write_function(stream.get(), opjWrite);
    opj_stream_set_skip_function(stream.get(), opjSkip);
    opj_stream_set_seek_function(stream.get(), opjSeek);
    if (!opj_start_compress(codec.get(), picture.get(), stream.get()) ||
        !writeJp2Tiles(image, bits, tileWidth, tileHeight, codec.get(), stream.get()) ||
        !opj_end_compress(codec.get(), stream.get()))
        return failure("JPEG 2000: " + (error.empty() ? std::string("encoding failed") : error));
    stream.reset();  // flushes what is buffered into the sink

    Bytes file = std::move(sink.data);
    if (!metadata.icc.empty() && !putJp2Profile(file, metadata.icc))
        return failure("JPEG 2000: the encoder's JP2 header was not as expected");
    if (!metadata.exif.empty() && !appendUuidBox(file, kExifUuid, tiffData(metadata.exif)))
        return failure("JPEG 2000: the EXIF block is too large");
    if (!metadata.xmp.empty() && !appendUuidBox(file, kXmpUuid, metadata.xmp))
        return failure("JPEG 2000: the XMP packet is too large");
    return {std::move(file), {}, {}};
}

class Jp2Writer final : public HoldingWriter
{
public:
    explicit Jp2Writer(const WriterOptions& options)
        : HoldingWriter("JPEG 2000: "), mQuality(options.quality), mPrecision(options.precision)
    {}

private:
    EncodedFile encode(const cv::Mat& picture, const WriterMetadata& metadata) override
    {
        return jp2File(picture, metadata, mQuality, mPrecision);
    }

    int mQuality;
    int mPrecision;
};

}  // namespace

double jp2RatioForQuality(int quality)
{
    const int q = std::clamp(quality, 1, 99);
    return 2.0 * std::pow(2.0, (99 - q) / 10.0);
}

int jp2ResolutionLevels(int width, int height)
{
    // Each level below the full picture halves it; OpenJPEG wants at least
    // one pixel a side in the smallest.
    int levels = 1;
    const int side = std::max(1, std::min(width, height));
    while (levels < 6 && (side >> levels) > 0)
        ++levels;
    return levels;
}

std::unique_ptr<ImageWriter> makeJp2Writer(const WriterOptions& options)
{
    return std::make_unique<Jp2Writer>(options);
}

}  // namespace ambrel::pipeline
