// The PNG, TIFF, JPEG 2000 and BMP encoders: each file is read back with the
// format's own library (libpng, libtiff, OpenJPEG; OpenCV's BMP reader and the
// header by hand for BMP), the pixels compared (exactly, where the encoding is
// lossless) and the ICC profile, EXIF block and XMP packet compared byte for
// byte; then exiftool, as a black box, must find the profile's description,
// the EXIF date and the XMP label.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <tuple>
#include <vector>

#include <openjpeg.h>
#include <png.h>
#include <tiffio.h>
#include <unistd.h>
#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "pipeline/encode/colour_profiles.h"
#include "pipeline/encode/format_encoders.h"
#include "pipeline/heif2jpg.h"
#include "pipeline/encode/jpeg_metadata.h"
#include "tests/fixtures/heif_samples.h"

using namespace ambrel::pipeline;

namespace {

using Bytes = std::vector<std::uint8_t>;

// --- test metadata ---

void put32be(Bytes& out, std::uint32_t v)
{
    for (int shift = 24; shift >= 0; shift -= 8)
        out.push_back(static_cast<std::uint8_t>(v >> shift));
}

void set32be(Bytes& out, std::size_t at, std::uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        out[at + i] = static_cast<std::uint8_t>(v >> (24 - 8 * i));
}

constexpr const char* kProfileDescription = "Ambrel Test RGB";

// A small ICC v2 display profile: header, desc (textDescriptionType), wtpt,
// cprt. Enough for libpng's checks and for exiftool to name it.
Bytes iccProfile()
{
    Bytes desc = {'d', 'e', 's', 'c', 0, 0, 0, 0};
    const std::string name = kProfileDescription;
    put32be(desc, static_cast<std::uint32_t>(name.size() + 1));
    desc.insert(desc.end(), name.begin(), name.end());
    desc.push_back(0);
    desc.insert(desc.end(), 4 + 4 + 2 + 1 + 67, 0);  // no Unicode, no ScriptCode
    Bytes wtpt = {'X', 'Y', 'Z', ' ', 0, 0, 0, 0};
    put32be(wtpt, 0x0000f6d6);
    put32be(wtpt, 0x00010000);
    put32be(wtpt, 0x0000d32d);
    Bytes cprt = {'t', 'e', 'x', 't', 0, 0, 0, 0};
    const std::string notice = "No copyright";
    cprt.insert(cprt.end(), notice.begin(), notice.end());
    cprt.push_back(0);

    const std::vector<std::pair<std::string, Bytes>> tags = {{"desc", desc}, {"wtpt", wtpt}, {"cprt", cprt}};
    Bytes profile(128, 0);
    set32be(profile, 8, 0x02100000);  // version 2.1
    std::memcpy(&profile[12], "mntrRGB XYZ ", 12);
    std::memcpy(&profile[36], "acsp", 4);
    set32be(profile, 68, 0x0000f6d6);  // D50 illuminant
    set32be(profile, 72, 0x00010000);
    set32be(profile, 76, 0x0000d32d);
    put32be(profile, static_cast<std::uint32_t>(tags.size()));
    std::size_t offset = 128 + 4 + 12 * tags.size();
    Bytes data;
    for (const auto& [signature, body] : tags) {
        profile.insert(profile.end(), signature.begin(), signature.end());
        put32be(profile, static_cast<std::uint32_t>(offset + data.size()));
        put32be(profile, static_cast<std::uint32_t>(body.size()));
        data.insert(data.end(), body.begin(), body.end());
        while (data.size() % 4)
            data.push_back(0);
    }
    profile.insert(profile.end(), data.begin(), data.end());
    set32be(profile, 0, static_cast<std::uint32_t>(profile.size()));
    return profile;
}

// An sRGB profile libpng knows to be faulty, as its checks see it: a header
// (the D50 illuminant, no MD5), 3144 bytes of Adler-32 f784f3fb and CRC-32 182ea552. Each group of
// four bytes at 200 is 00 01 01 00 or 01 00 00 01 (the CRC changes, the
// Adler sums do not); bytes at 2510 and from 2765 make up the Adler sums.
Bytes faultySrgbProfile()
{
    Bytes profile(3144, 0);
    set32be(profile, 0, 3144);
    set32be(profile, 8, 0x02100000);
    std::memcpy(&profile[12], "mntrRGB XYZ ", 12);
    std::memcpy(&profile[36], "acsp", 4);
    std::memcpy(&profile[68], "\0\0\xf6\xd6\0\1\0\0\0\0\xd3\x2d", 12);  // the D50 illuminant
    for (int k = 0; k < 48; ++k) {
        const std::uint8_t flipped = (0x3cea745eULL >> k) & 1;
        set32be(profile, 200 + 4 * std::size_t(k), flipped ? 0x01000001 : 0x00010100);
    }
    std::memcpy(&profile[2510], "\x26\x9e", 2);
    std::fill(profile.begin() + 2765, profile.begin() + 3000, 255);
    return profile;
}

constexpr const char* kDateTimeOriginal = "2024:05:06 07:08:09";

// --- a TIFF-structured block writer: directories one after the other, each
// followed by its out-of-line values ---

struct TiffEntry
{
    std::uint16_t tag;
    std::uint16_t type;                  // 1 BYTE, 2 ASCII, 3 SHORT, 4 LONG, 5 RATIONAL, 7 UNDEFINED
    std::vector<std::uint32_t> numbers;  // SHORT, LONG; RATIONAL as numerator, denominator pairs
    std::string bytes;                   // BYTE, ASCII (with its NUL), UNDEFINED
    int pointsTo = -1;                   // a LONG pointer to the directory of this index
};

Bytes tiffBlock(bool bigEndian, const std::vector<std::vector<TiffEntry>>& ifds)
{
    auto valueBytes = [&](const TiffEntry& e, const std::vector<std::uint32_t>& offsets) {
        Bytes out;
        auto put = [&](std::uint32_t v, int size) {
            for (int i = 0; i < size; ++i)
                out.push_back(static_cast<std::uint8_t>(v >> (8 * (bigEndian ? size - 1 - i : i))));
        };
        if (e.pointsTo >= 0)
            put(offsets.empty() ? 0 : offsets[e.pointsTo], 4);
        else if (e.type == 1 || e.type == 2 || e.type == 7)
            out.assign(e.bytes.begin(), e.bytes.end());
        else
            for (std::uint32_t v : e.numbers)
                put(v, e.type == 3 ? 2 : 4);
        return out;
    };
    auto count = [](const TiffEntry& e) {
        if (e.pointsTo >= 0)
            return std::uint32_t(1);
        if (e.type == 1 || e.type == 2 || e.type == 7)
            return static_cast<std::uint32_t>(e.bytes.size());
        return static_cast<std::uint32_t>(e.type == 5 ? e.numbers.size() / 2 : e.numbers.size());
    };
    std::vector<std::uint32_t> offsets;
    std::uint32_t at = 8;
    for (const auto& ifd : ifds) {
        offsets.push_back(at);
        at += 2 + 12 * static_cast<std::uint32_t>(ifd.size()) + 4;
        for (const TiffEntry& e : ifd) {
            const auto size = static_cast<std::uint32_t>(valueBytes(e, {}).size());
            if (size > 4)
                at += (size + 1) & ~1U;
        }
    }
    Bytes out = bigEndian ? Bytes{'M', 'M', 0, 42, 0, 0, 0, 8} : Bytes{'I', 'I', 42, 0, 8, 0, 0, 0};
    auto put = [&](std::uint32_t v, int size) {
        for (int i = 0; i < size; ++i)
            out.push_back(static_cast<std::uint8_t>(v >> (8 * (bigEndian ? size - 1 - i : i))));
    };
    for (std::size_t i = 0; i < ifds.size(); ++i) {
        std::uint32_t data = offsets[i] + 2 + 12 * static_cast<std::uint32_t>(ifds[i].size()) + 4;
        Bytes values;
        put(static_cast<std::uint32_t>(ifds[i].size()), 2);
        for (const TiffEntry& e : ifds[i]) {
            Bytes value = valueBytes(e, offsets);
            put(e.tag, 2);
            put(e.type, 2);
            put(count(e), 4);
            if (value.size() <= 4) {
                value.resize(4, 0);
                out.insert(out.end(), value.begin(), value.end());
            } else {
                put(data, 4);
                if (value.size() % 2)
                    value.push_back(0);
                data += static_cast<std::uint32_t>(value.size());
                values.insert(values.end(), value.begin(), value.end());
            }
        }
        put(0, 4);
        out.insert(out.end(), values.begin(), values.end());
    }
    return out;
}

constexpr const char* kCameraMake = "AmbrelCam";

// An EXIF block, in either byte order: IFD0 with Make, Orientation 6, 300
// dpi and the Exif and GPS pointers; the Exif IFD with DateTimeOriginal, a
// maker note of `makerNote` bytes (none for 0), pixel dimensions (a phone's,
// not the picture's) and the Interoperability pointer; a GPS IFD with a
// latitude; the Interoperability IFD with its index.
Bytes exifBlock(bool bigEndian = false, std::size_t makerNote = 0)
{
    std::vector<TiffEntry> exif = {{0x9003, 2, {}, std::string(kDateTimeOriginal) + '\0'},
                                   {0xa002, 3, {4032}, {}},
                                   {0xa003, 3, {3024}, {}},
                                   {0xa005, 4, {}, {}, 3}};
    if (makerNote > 0)
        exif.insert(exif.begin() + 1, {0x927c, 7, {}, std::string(makerNote, 'm')});
    return tiffBlock(bigEndian, {
                                    {{0x010f, 2, {}, std::string(kCameraMake) + '\0'},
                                     {0x0112, 3, {6}, {}},
                                     {0x011a, 5, {300, 1}, {}},
                                     {0x011b, 5, {300, 1}, {}},
                                     {0x0128, 3, {2}, {}},
                                     {0x8769, 4, {}, {}, 1},
                                     {0x8825, 4, {}, {}, 2}},
                                    exif,
                                    {{0x0000, 1, {}, std::string("\2\3\0\0", 4)},
                                     {0x0001, 2, {}, std::string("N\0", 2)},
                                     {0x0002, 5, {48, 1, 51, 1, 30, 1}, {}}},
                                    {{0x0001, 2, {}, std::string("R98\0", 4)}},
                                });
}

constexpr const char* kXmpLabel = "AmbrelLabel";

// With `gainMap`, as a Samsung HDR photo's: it also declares a gain map
// (under prefixes of its own).
Bytes xmpPacket(bool gainMap = false)
{
    const std::string hdr =
        " xmlns:g=\"http://ns.adobe.com/hdr-gain-map/1.0/\" g:Version=\"1.0\">"
        "<C:Directory xmlns:C=\"http://ns.google.com/photos/1.0/container/\">"
        "<rdf:Seq><rdf:li Item:Mime=\"image/heic\" Item:Length=\"0\"/></rdf:Seq></C:Directory";
    const std::string text = std::string(
                                 "<?xpacket begin=\"\xEF\xBB\xBF\" id=\"W5M0MpCehiHzreSzNTczkc9d\"?>"
                                 "<x:xmpmeta xmlns:x=\"adobe:ns:meta/\">"
                                 "<rdf:RDF xmlns:rdf=\"http://www.w3.org/1999/02/22-rdf-syntax-ns#\">"
                                 "<rdf:Description rdf:about=\"\" xmlns:xmp=\"http://ns.adobe.com/xap/1.0/\"") +
                             (gainMap ? hdr : "") + ">" + "<xmp:Label>" + kXmpLabel +
                             "</xmp:Label></rdf:Description></rdf:RDF></x:xmpmeta><?xpacket end=\"w\"?>";
    return Bytes(text.begin(), text.end());
}

ImageMetadata testMetadata()
{
    return {iccProfile(), exifBlock(), xmpPacket()};
}

// A picture with edges, gradients and every channel different.
cv::Mat testPicture(int width, int height, int type)
{
    cv::Mat image(height, width, type);
    const int channels = image.channels();
    const bool wide = image.depth() == CV_16U;
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            for (int c = 0; c < channels; ++c) {
                const int v = (x * 7 + y * 13 + c * 50 + ((x / 4 + y / 3) % 2) * 90 + x * y * (c + 1)) & 0xff;
                if (wide)
                    image.ptr<std::uint16_t>(y)[x * channels + c] = static_cast<std::uint16_t>(v * 257 + (x + c) % 7);
                else
                    image.ptr<std::uint8_t>(y)[x * channels + c] = static_cast<std::uint8_t>(v);
            }
        }
    }
    return image;
}

// --- reading back ---

struct ReadBack
{
    cv::Mat image;  // BGR(A), the encoded depth
    ImageMetadata metadata;
    std::string error;
    // TIFF: the EXIF fields as libtiff reads them from the main and the Exif
    // directory (the block itself is rebuilt, not kept byte for byte).
    std::string make;
    std::string dateTimeOriginal;
    bool gps = false;        // TIFF: a GPS directory
    double xResolution = 0;  // TIFF: XResolution; PNG: pHYs, pixels a metre
    int precision = 0;       // JPEG 2000: bits a sample of the first component
};

struct PngReadState
{
    const Bytes* file;
    std::size_t position;
};

void pngReadBytes(png_structp png, png_bytep out, png_size_t length)
{
    auto* state = static_cast<PngReadState*>(png_get_io_ptr(png));
    if (state->position + length > state->file->size())
        png_error(png, "truncated");
    std::memcpy(out, state->file->data() + state->position, length);
    state->position += length;
}

// setjmp: nothing with a destructor is made between it and the libpng calls.
bool pngReadInto(png_structp png, png_infop info, ReadBack* out)
{
    if (setjmp(png_jmpbuf(png)))
        return false;
    png_read_png(png, info, PNG_TRANSFORM_BGR | PNG_TRANSFORM_SWAP_ENDIAN, nullptr);
    const int width = static_cast<int>(png_get_image_width(png, info));
    const int height = static_cast<int>(png_get_image_height(png, info));
    const int channels = png_get_channels(png, info);
    const int depth = png_get_bit_depth(png, info) == 16 ? CV_16U : CV_8U;
    out->image.create(height, width, CV_MAKETYPE(depth, channels));
    png_bytepp rows = png_get_rows(png, info);
    for (int y = 0; y < height; ++y)
        std::memcpy(out->image.ptr(y), rows[y], out->image.cols * out->image.elemSize());
    png_charp name = nullptr;
    int compression = 0;
    png_bytep profile = nullptr;
    png_uint_32 profileLength = 0;
    if (png_get_iCCP(png, info, &name, &compression, &profile, &profileLength))
        out->metadata.icc.assign(profile, profile + profileLength);
    png_bytep exif = nullptr;
    png_uint_32 exifLength = 0;
    if (png_get_eXIf_1(png, info, &exifLength, &exif))
        out->metadata.exif.assign(exif, exif + exifLength);
    png_uint_32 x = 0, y = 0;
    int unit = 0;
    if (png_get_pHYs(png, info, &x, &y, &unit) && unit == PNG_RESOLUTION_METER)
        out->xResolution = x;
    png_textp texts = nullptr;
    int count = 0;
    png_get_text(png, info, &texts, &count);
    for (int i = 0; i < count; ++i) {
        if (std::strcmp(texts[i].key, "XML:com.adobe.xmp") == 0) {
            const auto* text = reinterpret_cast<const std::uint8_t*>(texts[i].text);
            out->metadata.xmp.assign(text, text + texts[i].itxt_length);
        }
    }
    return true;
}

ReadBack readPng(const Bytes& file)
{
    ReadBack out;
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    PngReadState state{&file, 0};
    png_set_read_fn(png, &state, pngReadBytes);
    if (!pngReadInto(png, info, &out))
        out.error = "libpng cannot read the file";
    png_destroy_read_struct(&png, &info, nullptr);
    return out;
}

// libtiff and OpenJPEG read from a file.
class TempFile
{
public:
    TempFile(const Bytes& bytes, const std::string& extension)
    {
        mPath = (std::filesystem::temp_directory_path() /
                 ("ambrel-format-" + std::to_string(::getpid()) + "-" + std::to_string(sCount++) + extension))
                    .string();
        std::ofstream(mPath, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    }
    ~TempFile() { std::filesystem::remove(mPath); }
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;
    const std::string& path() const { return mPath; }

private:
    static inline int sCount = 0;
    std::string mPath;
};

ReadBack readTiff(const Bytes& file)
{
    ReadBack out;
    TempFile temp(file, ".tif");
    std::unique_ptr<TIFF, void (*)(TIFF*)> tif(TIFFOpen(temp.path().c_str(), "r"), TIFFClose);
    if (!tif) {
        out.error = "libtiff cannot open the file";
        return out;
    }
    std::uint32_t width = 0, height = 0;
    std::uint16_t channels = 0, bits = 0, photometric = 0;
    TIFFGetField(tif.get(), TIFFTAG_IMAGEWIDTH, &width);
    TIFFGetField(tif.get(), TIFFTAG_IMAGELENGTH, &height);
    TIFFGetFieldDefaulted(tif.get(), TIFFTAG_SAMPLESPERPIXEL, &channels);
    TIFFGetFieldDefaulted(tif.get(), TIFFTAG_BITSPERSAMPLE, &bits);
    TIFFGetField(tif.get(), TIFFTAG_PHOTOMETRIC, &photometric);
    if (photometric != PHOTOMETRIC_RGB || (channels != 3 && channels != 4) || (bits != 8 && bits != 16)) {
        out.error = "not an RGB(A) 8/16-bit TIFF";
        return out;
    }
    cv::Mat rgb(static_cast<int>(height), static_cast<int>(width), CV_MAKETYPE(bits == 16 ? CV_16U : CV_8U, channels));
    for (std::uint32_t y = 0; y < height; ++y) {
        if (TIFFReadScanline(tif.get(), rgb.ptr(static_cast<int>(y)), y, 0) < 0) {
            out.error = "libtiff cannot read a row";
            return out;
        }
    }
    cv::cvtColor(rgb, out.image, channels == 4 ? cv::COLOR_RGBA2BGRA : cv::COLOR_RGB2BGR);
    std::uint32_t length = 0;
    void* data = nullptr;
    if (TIFFGetField(tif.get(), TIFFTAG_ICCPROFILE, &length, &data))
        out.metadata.icc.assign(static_cast<std::uint8_t*>(data), static_cast<std::uint8_t*>(data) + length);
    if (TIFFGetField(tif.get(), TIFFTAG_XMLPACKET, &length, &data))
        out.metadata.xmp.assign(static_cast<std::uint8_t*>(data), static_cast<std::uint8_t*>(data) + length);
    char* text = nullptr;
    if (TIFFGetField(tif.get(), TIFFTAG_MAKE, &text))
        out.make = text;
    float resolution = 0;
    if (TIFFGetField(tif.get(), TIFFTAG_XRESOLUTION, &resolution))
        out.xResolution = resolution;
    toff_t exifOffset = 0;
    out.gps = TIFFGetField(tif.get(), TIFFTAG_GPSIFD, &exifOffset);
    if (TIFFGetField(tif.get(), TIFFTAG_EXIFIFD, &exifOffset) && TIFFReadEXIFDirectory(tif.get(), exifOffset) &&
        TIFFGetField(tif.get(), EXIFTAG_DATETIMEORIGINAL, &text))
        out.dateTimeOriginal = text;
    return out;
}

// The payload of the JP2 file's top-level 'uuid' box with this identifier.
Bytes jp2UuidBox(const Bytes& file, const std::array<std::uint8_t, 16>& uuid)
{
    std::size_t at = 0;
    while (at + 8 <= file.size()) {
        std::uint64_t size =
            (std::uint64_t(file[at]) << 24) | (file[at + 1] << 16) | (file[at + 2] << 8) | file[at + 3];
        if (size == 0)
            size = file.size() - at;
        if (size < 8 || at + size > file.size())
            break;
        if (std::memcmp(&file[at + 4], "uuid", 4) == 0 && size >= 24 &&
            std::memcmp(&file[at + 8], uuid.data(), uuid.size()) == 0)
            return Bytes(file.begin() + static_cast<long>(at + 24), file.begin() + static_cast<long>(at + size));
        at += size;
    }
    return {};
}

ReadBack readJp2(const Bytes& file)
{
    ReadBack out;
    TempFile temp(file, ".jp2");
    std::unique_ptr<opj_stream_t, void (*)(opj_stream_t*)> stream(
        opj_stream_create_default_file_stream(temp.path().c_str(), OPJ_TRUE), opj_stream_destroy);
    std::unique_ptr<opj_codec_t, void (*)(opj_codec_t*)> codec(opj_create_decompress(OPJ_CODEC_JP2), opj_destroy_codec);
    opj_dparameters_t parameters;
    opj_set_default_decoder_parameters(&parameters);
    opj_image_t* raw = nullptr;
    if (!stream || !codec || !opj_setup_decoder(codec.get(), &parameters) ||
        !opj_read_header(stream.get(), codec.get(), &raw)) {
        opj_image_destroy(raw);
        out.error = "OpenJPEG cannot read the header";
        return out;
    }
    std::unique_ptr<opj_image_t, void (*)(opj_image_t*)> image(raw, opj_image_destroy);
    if (!opj_decode(codec.get(), stream.get(), image.get()) || !opj_end_decompress(codec.get(), stream.get())) {
        out.error = "OpenJPEG cannot decode the file";
        return out;
    }
    const int channels = static_cast<int>(image->numcomps);
    const int width = static_cast<int>(image->comps[0].w);
    const int height = static_cast<int>(image->comps[0].h);
    const bool wide = image->comps[0].prec > 8;
    out.precision = static_cast<int>(image->comps[0].prec);
    out.image.create(height, width, CV_MAKETYPE(wide ? CV_16U : CV_8U, channels));
    constexpr int kOrder[] = {2, 1, 0, 3};  // R, G, B, A to B, G, R, A
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            for (int c = 0; c < channels; ++c) {
                const OPJ_INT32 v = image->comps[c].data[y * width + x];
                if (wide)
                    out.image.ptr<std::uint16_t>(y)[x * channels + kOrder[c]] = cv::saturate_cast<std::uint16_t>(v);
                else
                    out.image.ptr<std::uint8_t>(y)[x * channels + kOrder[c]] = cv::saturate_cast<std::uint8_t>(v);
            }
        }
    }
    if (image->icc_profile_len)
        out.metadata.icc.assign(image->icc_profile_buf, image->icc_profile_buf + image->icc_profile_len);
    out.metadata.exif =
        jp2UuidBox(file, {'J', 'p', 'g', 'T', 'i', 'f', 'f', 'E', 'x', 'i', 'f', '-', '>', 'J', 'P', '2'});
    out.metadata.xmp = jp2UuidBox(
        file, {0xbe, 0x7a, 0xcf, 0xcb, 0x97, 0xa9, 0x42, 0xe8, 0x9c, 0x71, 0x99, 0x94, 0x91, 0xe3, 0xaf, 0xac});
    return out;
}

std::uint32_t little32(const Bytes& file, std::size_t at)
{
    return file[at] | (file[at + 1] << 8) | (file[at + 2] << 16) | (std::uint32_t(file[at + 3]) << 24);
}

// Pixels through OpenCV's reader; the profile through the V5 header.
ReadBack readBmp(const Bytes& file)
{
    ReadBack out;
    out.image = cv::imdecode(file, cv::IMREAD_UNCHANGED);
    if (out.image.empty() || file.size() < 14 + 124 || little32(file, 14) != 124) {
        out.error = "not a BMP file with a version-5 header";
        return out;
    }
    if (little32(file, 14 + 56) == 0x4d424544) {  // 'MBED'
        const std::size_t at = 14 + std::size_t(little32(file, 14 + 112));
        const std::size_t size = little32(file, 14 + 116);
        if (at + size <= file.size())
            out.metadata.icc.assign(file.begin() + static_cast<long>(at), file.begin() + static_cast<long>(at + size));
    }
    return out;
}

// --- exiftool, as a black box ---

bool haveExiftool()
{
    return std::system("exiftool -ver >/dev/null 2>&1") == 0;
}

std::string exiftoolJson(const Bytes& file, const std::string& extension)
{
    TempFile temp(file, extension);
    const std::string command =
        "exiftool -j -ICC_Profile:ProfileDescription -DateTimeOriginal -Make -GPSLatitude -InteropIndex -XMP:Label "
        "-EXIF:Orientation -ExifImageWidth -ExifImageHeight -MakerNoteUnknownText '" +
        temp.path() + "' 2>&1";
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
    std::string text;
    if (!pipe)
        return text;
    char buffer[4096];
    std::size_t count = 0;
    while ((count = std::fread(buffer, 1, sizeof buffer, pipe.get())) > 0)
        text.append(buffer, count);
    return text;
}

// --- the table ---

struct FormatRow
{
    const char* name;
    const char* extension;
    std::function<EncodedFile(const cv::Mat&, const ImageMetadata&)> encode;
    ReadBack (*read)(const Bytes&);
    bool keepsExifAndXmp;
};

const FormatRow kFormats[] = {
    {"PNG", ".png", [](const cv::Mat& m, const ImageMetadata& d) { return encodePng(m, d); }, readPng, true},
    {"TIFF", ".tif", [](const cv::Mat& m, const ImageMetadata& d) { return encodeTiff(m, d); }, readTiff, false},
    {"JPEG2000", ".jp2", [](const cv::Mat& m, const ImageMetadata& d) { return encodeJp2(m, d, 100); }, readJp2, true},
    {"BMP", ".bmp", [](const cv::Mat& m, const ImageMetadata& d) { return encodeBmp(m, d); }, readBmp, false},
};

struct PictureRow
{
    const char* name;
    int width;
    int height;
    int type;
};

void PrintTo(const FormatRow& row, std::ostream* out)
{
    *out << row.name;
}

void PrintTo(const PictureRow& row, std::ostream* out)
{
    *out << row.name;
}

std::string rowName(const FormatRow& format, const PictureRow& picture)
{
    return std::string(format.name) + "_" + picture.name;
}

class FormatEncoderTest : public ::testing::TestWithParam<std::tuple<FormatRow, PictureRow>>
{};

bool samePixels(const cv::Mat& a, const cv::Mat& b)
{
    return a.size() == b.size() && a.type() == b.type() && cv::norm(a, b, cv::NORM_INF) == 0;
}

// Lossless formats give back every pixel and every metadata byte.
TEST_P(FormatEncoderTest, KeepsPixelsAndMetadataExactly)
{
    const auto& [format, picture] = GetParam();
    const cv::Mat image = testPicture(picture.width, picture.height, picture.type);
    const ImageMetadata metadata = testMetadata();
    const EncodedFile file = format.encode(image, metadata);
    ASSERT_TRUE(file.ok()) << file.error;
    ASSERT_FALSE(file.bytes.empty());
    const ReadBack back = format.read(file.bytes);
    ASSERT_TRUE(back.error.empty()) << back.error;
    EXPECT_TRUE(samePixels(back.image, image)) << "the pixels differ";
    EXPECT_EQ(back.metadata.icc, metadata.icc);
    if (format.keepsExifAndXmp) {
        EXPECT_EQ(back.metadata.exif, metadata.exif);
    }
    if (std::string(format.name) == "TIFF") {
        EXPECT_EQ(back.make, kCameraMake);
        EXPECT_EQ(back.dateTimeOriginal, kDateTimeOriginal);
    }
    if (std::string(format.name) != "BMP") {
        EXPECT_EQ(back.metadata.xmp, metadata.xmp);
    }
    // 72 dpi where the metadata names no resolution.
    EXPECT_NEAR(back.xResolution,
                format.name == std::string("PNG")    ? 2835
                : format.name == std::string("TIFF") ? 72
                                                     : 0,
                0.01);
}

const PictureRow kPictures[] = {
    {"Bgr67x45", 67, 45, CV_8UC3},
    {"Bgra67x45", 67, 45, CV_8UC4},
    // Under 32 pixels a side: JPEG 2000 needs fewer resolution levels.
    {"Bgr1x1", 1, 1, CV_8UC3},
    {"Bgr5x3", 5, 3, CV_8UC3},
    {"Bgr31x200", 31, 200, CV_8UC3},
    // Over 2 MiB: PNG deflates it in three bands, on more than one core.
    {"Bgra640x1000", 640, 1000, CV_8UC4},
    // JPEG 2000 tiles of 1024: the last ones 1 pixel wide and 6 high.
    {"Bgr1025x1030", 1025, 1030, CV_8UC3},
};

INSTANTIATE_TEST_SUITE_P(Formats, FormatEncoderTest,
                         ::testing::Combine(::testing::ValuesIn(kFormats), ::testing::ValuesIn(kPictures)),
                         [](const auto& info) { return rowName(std::get<0>(info.param), std::get<1>(info.param)); });

// 16-bit pictures through PNG, TIFF and lossless JPEG 2000 keep every sample.
TEST(FormatEncoder, SixteenBitPicturesKeepEverySample)
{
    for (int type : {CV_16UC3, CV_16UC4}) {
        const cv::Mat image = testPicture(40, 23, type);
        const ImageMetadata metadata = testMetadata();
        using Reader = ReadBack (*)(const Bytes&);
        const std::vector<std::tuple<std::string, EncodedFile, Reader>> files = {
            {"PNG", encodePng(image, metadata), readPng},
            {"TIFF", encodeTiff(image, metadata), readTiff},
            {"JPEG2000", encodeJp2(image, metadata, 100), readJp2}};
        for (const auto& [name, encoded, read] : files) {
            SCOPED_TRACE(name);
            ASSERT_TRUE(encoded.ok()) << encoded.error;
            const ReadBack back = read(encoded.bytes);
            ASSERT_TRUE(back.error.empty()) << back.error;
            EXPECT_TRUE(samePixels(back.image, image));
            EXPECT_EQ(back.metadata.icc, metadata.icc);
        }
    }
}

// The names of the PNG file's chunks, in order.
std::vector<std::string> pngChunks(const Bytes& file)
{
    std::vector<std::string> names;
    for (std::size_t at = 8; at + 12 <= file.size();) {
        const std::size_t length =
            (std::size_t(file[at]) << 24) | (file[at + 1] << 16) | (file[at + 2] << 8) | file[at + 3];
        names.emplace_back(reinterpret_cast<const char*>(&file[at + 4]), 4);
        at += 12 + length;
    }
    return names;
}

// A big-endian EXIF block gives a big-endian TIFF with the same fields.
TEST(FormatEncoder, BandByBandGivesTheBytesOfTheWholePicture)
{
    // Pictures of many PNG bands and TIFF strips, given in bands that do not
    // line up with them (one row, a few, more than the picture): the same
    // file as the whole picture gives; rows past the end are ignored, and a
    // picture short of rows gives none.
    struct Case
    {
        int width, height, type;
        bool bigEndianExif;
    };
    for (const Case& c :
         {Case{2000, 1500, CV_8UC3, false}, Case{700, 900, CV_16UC4, true}, Case{3, 2, CV_8UC4, false}}) {
        const cv::Mat picture = testPicture(c.width, c.height, c.type);
        ImageMetadata metadata = testMetadata();
        metadata.exif = exifBlock(c.bigEndianExif);
        for (const auto format : {LosslessBandWriter::Format::Png, LosslessBandWriter::Format::Tiff}) {
            const EncodedFile whole = format == LosslessBandWriter::Format::Png ? encodePng(picture, metadata)
                                                                                : encodeTiff(picture, metadata);
            ASSERT_TRUE(whole.ok()) << whole.error;
            for (const int band : {1, 7, 512, 5000}) {
                if (band == 1 && c.height > 1000) {
                    continue;  // a row at a time: the small pictures show it
                }
                SCOPED_TRACE(std::to_string(c.width) + " x " + std::to_string(c.height) + ", " +
                             (format == LosslessBandWriter::Format::Png ? "PNG" : "TIFF") + " in bands of " +
                             std::to_string(band));
                LosslessBandWriter writer(format, picture.size(), picture.type(), metadata);
                for (int row = 0; row < c.height; row += band) {
                    writer.writeRows(picture.rowRange(row, std::min(row + band, c.height)));
                }
                writer.writeRows(picture.rowRange(0, 1));  // past the end
                const EncodedFile streamed = writer.finish();
                ASSERT_TRUE(streamed.ok()) << streamed.error;
                EXPECT_TRUE(streamed.bytes == whole.bytes);
            }
            LosslessBandWriter partial(format, picture.size(), picture.type(), metadata);
            partial.writeRows(picture.rowRange(0, c.height - 1));
            EXPECT_FALSE(partial.finish().ok());
        }
    }
}

TEST(FormatEncoder, TiffCarriesBigEndianExif)
{
    const cv::Mat image = testPicture(16, 9, CV_8UC3);
    const EncodedFile file = encodeTiff(image, {{}, exifBlock(true), {}});
    ASSERT_TRUE(file.ok()) << file.error;
    ASSERT_GE(file.bytes.size(), 2u);
    EXPECT_EQ(file.bytes[0], 'M');
    const ReadBack back = readTiff(file.bytes);
    ASSERT_TRUE(back.error.empty()) << back.error;
    EXPECT_TRUE(samePixels(back.image, image));
    EXPECT_EQ(back.make, kCameraMake);
    EXPECT_EQ(back.dateTimeOriginal, kDateTimeOriginal);
}

// An EXIF block with entries that cannot be read still gives the picture:
// what can be read is carried, the rest left out with a warning, and a
// directory left empty is not carried.
TEST(FormatEncoder, TiffLeavesOutTheExifItCannotRead)
{
    const cv::Mat image = testPicture(16, 9, CV_8UC3);
    // IFD0 at 8 with the Exif pointer; the Exif IFD at 26, its second entry's count at 44, value at 48.
    const auto withExif = [](std::vector<TiffEntry> exif, std::size_t at = 0, std::uint32_t value = 0) {
        Bytes block = tiffBlock(false, {{{0x8769, 4, {}, {}, 1}}, exif, {{0x0001, 2, {}, std::string("R98\0", 4)}}});
        for (int i = 0; at != 0 && i < 4; ++i)
            block[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
        return block;
    };
    const TiffEntry date = {0x9003, 2, {}, std::string(kDateTimeOriginal) + '\0'};
    const TiffEntry note = {0x927c, 7, {}, std::string(100, 'm')};
    // What: the block, whether the date and the GPS directory are carried.
    const std::vector<std::tuple<const char*, Bytes, bool, bool>> cases = {
        {"no TIFF header", Bytes(4, 'I'), false, false},
        {"maker note past the end", withExif({date, note}, 48, 0xfffff000), true, false},
        {"huge count", withExif({date, note}, 44, 0x40000000), true, false},
        {"odd sub-directory pointer", withExif({date, {0xa005, 4, {}, {}, 2}}, 48, 27), true, false},
        {"1001 entries", withExif(std::vector<TiffEntry>(1001, date)), false, false},
        {"empty GPS directory", tiffBlock(false, {{{0x8769, 4, {}, {}, 1}, {0x8825, 4, {}, {}, 2}}, {date}, {}}), true,
         false},
    };
    for (const auto& [what, exif, carriesDate, carriesGps] : cases) {
        SCOPED_TRACE(what);
        const EncodedFile file = encodeTiff(image, {{}, exif, {}});
        ASSERT_TRUE(file.ok()) << file.error;
        EXPECT_EQ(file.warning.empty(), std::string(what) == "empty GPS directory") << file.warning;
        const ReadBack back = readTiff(file.bytes);
        EXPECT_EQ(back.dateTimeOriginal, carriesDate ? kDateTimeOriginal : "");
        EXPECT_EQ(back.gps, carriesGps);
    }
}

// A profile libpng refuses leaves the PNG without it, with a warning that
// says so, rather than no PNG at all; the other formats store it as given.
TEST(FormatEncoder, PngWithoutAProfileLibpngRefuses)
{
    const cv::Mat image = testPicture(16, 9, CV_8UC3);
    Bytes profile = iccProfile();
    profile[3] ^= 0x10;  // the length field no longer matches
    const EncodedFile file = encodePng(image, {profile, exifBlock(), xmpPacket()});
    ASSERT_TRUE(file.ok()) << file.error;
    EXPECT_NE(file.warning.find("colour profile"), std::string::npos) << file.warning;
    const ReadBack back = readPng(file.bytes);
    ASSERT_TRUE(back.error.empty()) << back.error;
    EXPECT_TRUE(samePixels(back.image, image));
    EXPECT_TRUE(back.metadata.icc.empty());
    EXPECT_EQ(back.metadata.exif, exifBlock());
    EXPECT_EQ(back.metadata.xmp, xmpPacket());
    EXPECT_TRUE(encodePng(image, testMetadata()).warning.empty());
    // One libpng knows as a faulty sRGB profile still means sRGB: the sRGB chunk says so.
    const EncodedFile faulty = encodePng(image, {faultySrgbProfile(), {}, {}});
    EXPECT_NE(faulty.warning.find("known incorrect sRGB profile"), std::string::npos) << faulty.warning;
    const std::vector<std::string> chunks = pngChunks(faulty.bytes);
    EXPECT_NE(std::find(chunks.begin(), chunks.end(), "sRGB"), chunks.end());
    EXPECT_EQ(std::find(chunks.begin(), chunks.end(), "iCCP"), chunks.end());
}

// Each metadata chunk is written once, before the pixels (libpng writes
// eXIf again after them when the info is handed to png_write_end).
TEST(FormatEncoder, PngStoresEachMetadataChunkOnceBeforeThePixels)
{
    const EncodedFile file = encodePng(testPicture(20, 10, CV_8UC3), testMetadata());
    ASSERT_TRUE(file.ok()) << file.error;
    const std::vector<std::string> chunks = pngChunks(file.bytes);
    const auto firstData = std::find(chunks.begin(), chunks.end(), "IDAT");
    for (const char* name : {"iCCP", "eXIf", "iTXt"}) {
        EXPECT_EQ(std::count(chunks.begin(), chunks.end(), name), 1) << name;
        EXPECT_LT(std::find(chunks.begin(), chunks.end(), name), firstData) << name;
    }
    EXPECT_EQ(chunks.back(), "IEND");
}

// Below quality 100 JPEG 2000 is lossy but close, and smaller than lossless.
TEST(FormatEncoder, LossyJpeg2000IsCloseAndSmaller)
{
    cv::Mat image;
    cv::GaussianBlur(testPicture(120, 90, CV_8UC3), image, cv::Size(9, 9), 3.0);  // photograph-like
    const EncodedFile lossless = encodeJp2(image, {}, 100);
    const EncodedFile lossy = encodeJp2(image, {}, 80);
    ASSERT_TRUE(lossless.ok()) << lossless.error;
    ASSERT_TRUE(lossy.ok()) << lossy.error;
    EXPECT_LT(lossy.bytes.size(), lossless.bytes.size());
    const ReadBack back = readJp2(lossy.bytes);
    ASSERT_TRUE(back.error.empty()) << back.error;
    ASSERT_EQ(back.image.size(), image.size());
    EXPECT_GT(cv::PSNR(back.image, image), 30.0);
}

TEST(FormatEncoder, Jpeg2000ResolutionLevelsFitTheSmallerSide)
{
    EXPECT_EQ(jp2ResolutionLevels(4000, 3000), 6);
    EXPECT_EQ(jp2ResolutionLevels(32, 32), 6);
    EXPECT_EQ(jp2ResolutionLevels(31, 500), 5);
    EXPECT_EQ(jp2ResolutionLevels(2, 2), 2);
    EXPECT_EQ(jp2ResolutionLevels(1, 1), 1);
}

// What the encoders cannot take is refused with a reason, not a crash.
TEST(FormatEncoder, RefusesPicturesItCannotEncode)
{
    const cv::Mat grey(4, 4, CV_8UC1, cv::Scalar(0));
    const cv::Mat floats(4, 4, CV_32FC3, cv::Scalar(0));
    const cv::Mat wide(4, 4, CV_16UC3, cv::Scalar(0));
    for (const cv::Mat& image : {cv::Mat(), grey, floats}) {
        EXPECT_FALSE(encodePng(image, {}).ok());
        EXPECT_FALSE(encodeTiff(image, {}).ok());
        EXPECT_FALSE(encodeJp2(image, {}).ok());
        EXPECT_FALSE(encodeBmp(image, {}).ok());
    }
    EXPECT_FALSE(encodeBmp(wide, {}).ok());
}

// exiftool finds the profile's name, the EXIF date and the XMP label.
TEST(FormatEncoder, ExiftoolFindsTheMetadata)
{
    if (!haveExiftool())
        GTEST_SKIP() << "exiftool is not installed";
    const cv::Mat image = testPicture(48, 40, CV_8UC3);
    const ImageMetadata metadata = testMetadata();
    for (const FormatRow& format : kFormats) {
        SCOPED_TRACE(format.name);
        const EncodedFile file = format.encode(image, metadata);
        ASSERT_TRUE(file.ok()) << file.error;
        const std::string json = exiftoolJson(file.bytes, format.extension);
        EXPECT_NE(json.find(std::string("\"ProfileDescription\": \"") + kProfileDescription + "\""), std::string::npos)
            << json;
        if (std::string(format.name) != "BMP") {
            EXPECT_NE(json.find("\"GPSLatitude\": \"48 deg 51' 30.00\\\" N\""), std::string::npos) << json;
            EXPECT_NE(json.find("\"InteropIndex\": \"R98 - DCF basic file (sRGB)\""), std::string::npos) << json;
            EXPECT_NE(json.find(std::string("\"DateTimeOriginal\": \"") + kDateTimeOriginal + "\""), std::string::npos)
                << json;
        }
        if (std::string(format.name) != "BMP") {
            EXPECT_NE(json.find(std::string("\"Label\": \"") + kXmpLabel + "\""), std::string::npos) << json;
        }
    }
}

// --- whole conversions ---

// A 'colr' property holding an ICC profile.
Bytes colrProfile(const Bytes& icc)
{
    Bytes box;
    put32be(box, static_cast<std::uint32_t>(12 + icc.size()));
    box.insert(box.end(), {'c', 'o', 'l', 'r', 'p', 'r', 'o', 'f'});
    box.insert(box.end(), icc.begin(), icc.end());
    return box;
}

// The Display P3 profile phones attach to their photos.
Bytes displayP3()
{
    ambrel::heif::NclxColour p3;
    p3.colourPrimaries = 12;
    p3.transferCharacteristics = 13;
    return standardProfileFor(p3);
}

// A phone-like photo: a 2 x 3 grid stored on its side (shown 128 x 192) with
// 'irot' and the matching EXIF Orientation 6, a Display P3 profile, an Exif
// item with date and place (and a maker note of `makerNote` bytes) and an XMP
// item that declares a gain map.
Bytes phonePhoto(std::size_t makerNote = 0)
{
    fixture::GridOptions grid;
    grid.rows = 2;
    grid.columns = 3;
    grid.rotation = 270;
    grid.exifOrientation = 6;
    fixture::SampleFile sample = fixture::makeGridHeic(grid);
    sample.builder.item(sample.exifId).data = fixture::exifPayload(exifBlock(false, makerNote));
    sample.builder.addRawProperty(colrProfile(displayP3()), {sample.primaryId}, false);
    fixture::ItemDescription xmp;
    xmp.id = 90;
    xmp.type = "mime";
    xmp.contentType = "application/rdf+xml";
    xmp.data = xmpPacket(true);
    sample.builder.addItem(xmp);
    sample.builder.addReference("cdsc", xmp.id, {sample.primaryId});
    return sample.bytes();
}

struct ConversionRow
{
    const char* name;
    OutputFormat format;
    const char* extension;
    ReadBack (*read)(const Bytes&);  // null for JPEG
};

const ConversionRow kConversions[] = {
    {"PNG", OutputFormat::Png, ".png", readPng},           {"TIFF", OutputFormat::Tiff, ".tif", readTiff},
    {"JPEG2000", OutputFormat::Jpeg2000, ".jp2", readJp2}, {"BMP", OutputFormat::Bmp, ".bmp", readBmp},
    {"JPEG", OutputFormat::Jpg, ".jpg", nullptr},
};

// Every format carries the profile, the EXIF date and place and the XMP
// packet of a phone photo (without the gain map it declares); the lossless
// ones hold exactly the decoded picture, turned upright, with an EXIF
// Orientation that says so, and TIFF and PNG the EXIF resolution. JPEG keeps
// the stored orientation with the tag that turns it. The EXIF pixel
// dimensions are the picture's.
TEST(ConvertedFormats, CarryProfileExifXmpAndTheDecodedPixels)
{
    const Bytes photo = phonePhoto();
    const cv::Mat decoded = decodeHeifPicture(photo.data(), photo.size());
    ASSERT_EQ(decoded.size(), cv::Size(128, 192));
    for (const ConversionRow& row : kConversions) {
        SCOPED_TRACE(row.name);
        ConversionSettings settings;
        settings.format = row.format;
        const ConvertedFile file = convertHeif(photo.data(), photo.size(), settings);
        ASSERT_TRUE(file.ok) << file.message << ": " << file.detail;
        EXPECT_EQ(file.warning, "");
        const bool jpeg = row.read == nullptr;
        if (!jpeg) {
            const ReadBack back = row.read(file.bytes);
            ASSERT_TRUE(back.error.empty()) << back.error;
            EXPECT_TRUE(samePixels(back.image, decoded)) << "not the decoded picture";
            EXPECT_EQ(back.metadata.icc, displayP3());
            if (row.format == OutputFormat::Png || row.format == OutputFormat::Jpeg2000) {
                Bytes block = {'E', 'x', 'i', 'f', 0, 0};
                block.insert(block.end(), back.metadata.exif.begin(), back.metadata.exif.end());
                EXPECT_EQ(jpegmeta::readOrientation(block), 1);
            }
            if (row.format != OutputFormat::Bmp) {
                EXPECT_EQ(back.metadata.xmp, xmpPacket());
            }
            EXPECT_NEAR(back.xResolution,
                        row.format == OutputFormat::Png    ? 11811
                        : row.format == OutputFormat::Tiff ? 300
                                                           : 0,
                        0.01);
        }
        if (!haveExiftool()) {
            continue;
        }
        const std::string json = exiftoolJson(file.bytes, row.extension);
        EXPECT_NE(json.find(std::string("\"ProfileDescription\": \"Display P3\"")), std::string::npos) << json;
        if (row.format == OutputFormat::Bmp) {
            continue;
        }
        EXPECT_NE(json.find(std::string("\"DateTimeOriginal\": \"") + kDateTimeOriginal + "\""), std::string::npos)
            << json;
        EXPECT_NE(json.find("\"GPSLatitude\": \"48 deg 51' 30.00\\\" N\""), std::string::npos) << json;
        EXPECT_NE(json.find(std::string("\"Label\": \"") + kXmpLabel + "\""), std::string::npos) << json;
        EXPECT_NE(json.find(jpeg ? "\"Orientation\": \"Rotate 90 CW\"" : "\"Orientation\": \"Horizontal (normal)\""),
                  std::string::npos)
            << json;
        EXPECT_NE(json.find(jpeg ? "\"ExifImageWidth\": 192" : "\"ExifImageWidth\": 128"), std::string::npos) << json;
        EXPECT_EQ(json.find("GainMap"), std::string::npos) << json;
    }
}

// Scaled, the EXIF pixel dimensions are the size encoded (JPEG keeps the
// stored orientation). An EXIF block larger than a JPEG segment (a 70 000-byte
// maker note) is carried whole by PNG, TIFF and JPEG 2000; the JPEG leaves it
// out, says so, and its JFIF segment takes the block's 300 dpi.
TEST(ConvertedFormats, ExifOfAnySizeSaysTheSizeEncoded)
{
    const Bytes photo = phonePhoto(70000);
    for (const ConversionRow& row : kConversions) {
        SCOPED_TRACE(row.name);
        ConversionSettings settings;
        settings.format = row.format;
        settings.scale = 0.5f;
        const ConvertedFile file = convertHeif(photo.data(), photo.size(), settings);
        ASSERT_TRUE(file.ok) << file.detail;
        if (row.read == nullptr) {
            EXPECT_NE(file.warning.find("left out"), std::string::npos) << file.warning;
            EXPECT_EQ(Bytes(file.bytes.begin() + 13, file.bytes.begin() + 18), (Bytes{1, 1, 44, 1, 44}));
            continue;
        }
        EXPECT_EQ(file.warning, "");
        const std::string json = haveExiftool() ? exiftoolJson(file.bytes, row.extension) : "";
        if (row.format != OutputFormat::Bmp && !json.empty()) {
            EXPECT_NE(json.find("Binary data 70000 bytes"), std::string::npos) << json;
            EXPECT_NE(json.find("\"ExifImageWidth\": 64"), std::string::npos) << json;
        }
    }
}

// Without EXIF kept, no format carries EXIF or XMP; the profile stays.
TEST(ConvertedFormats, WithoutExifOnlyTheProfileIsCarried)
{
    const Bytes photo = phonePhoto();
    for (const ConversionRow& row : kConversions) {
        if (row.read == nullptr) {
            continue;
        }
        SCOPED_TRACE(row.name);
        ConversionSettings settings;
        settings.format = row.format;
        settings.keepExif = false;
        const ConvertedFile file = convertHeif(photo.data(), photo.size(), settings);
        ASSERT_TRUE(file.ok) << file.detail;
        const ReadBack back = row.read(file.bytes);
        ASSERT_TRUE(back.error.empty()) << back.error;
        EXPECT_EQ(back.image.size(), cv::Size(128, 192));
        EXPECT_EQ(back.metadata.icc, displayP3());
        EXPECT_TRUE(back.metadata.exif.empty());
        EXPECT_TRUE(back.metadata.xmp.empty());
        EXPECT_EQ(back.make, "");
    }
}

// libheif's heif-convert as a referee: its PNG of a corpus file, as stored
// (any depth, alpha kept).
cv::Mat libheifPng(const std::string& corpusFile)
{
    const fixture::TempFile out(".png");
    std::string output;
    const std::string source = std::string(AMBREL_CORPUS_DIR) + "/" + corpusFile;
    if (fixture::runCommand("heif-convert " + fixture::shellQuote(source) + " " + fixture::shellQuote(out.path()),
                            output) != 0) {
        ADD_FAILURE() << "heif-convert (libheif-examples) failed: " << output;
        return {};
    }
    return cv::imread(out.path(), cv::IMREAD_UNCHANGED);
}

Bytes corpusFileBytes(const std::string& name)
{
    return fixture::readFileBytes(std::string(AMBREL_CORPUS_DIR) + "/" + name);
}

// Mean absolute difference of two pictures of one type, per sample.
double meanDifference(const cv::Mat& a, const cv::Mat& b)
{
    const cv::Scalar mean = cv::mean(cv::abs(a - b));
    double sum = 0;
    for (int c = 0; c < a.channels(); ++c) {
        sum += mean[c];
    }
    return sum / a.channels();
}

// libheif's heif-convert as a referee for a file of our own.
cv::Mat libheifPngOf(const Bytes& heif)
{
    const fixture::TempFile in(".heic");
    fixture::writeFileBytes(in.path(), heif);
    const fixture::TempFile out(".png");
    std::string output;
    if (fixture::runCommand("heif-convert " + fixture::shellQuote(in.path()) + " " + fixture::shellQuote(out.path()),
                            output) != 0) {
        ADD_FAILURE() << "heif-convert (libheif-examples) failed: " << output;
        return {};
    }
    return cv::imread(out.path(), cv::IMREAD_UNCHANGED);
}

// A 10-bit photo at --depth 16 keeps its precision: every sample of a
// lossless 10-bit grey picture comes back as libheif has it (which writes
// the 10-bit value v as v << 6), in 16-bit PNG and TIFF alike; an 8-bit
// picture widened to 16 bits would miss most of them. JPEG 2000 keeps the
// 10 bits themselves.
TEST(ConvertedFormats, SixteenBitsKeepATenBitSourcesValues)
{
    fixture::SingleImageOptions options;
    options.width = 96;
    options.height = 40;
    options.picture = fixture::solidImage(96, 40, fixture::Rgb{});
    for (unsigned y = 0; y < 40; ++y) {
        for (unsigned x = 0; x < 96; ++x) {
            const auto grey = static_cast<std::uint8_t>((x * 5 + y * 3) % 256);
            options.picture->set(x, y, fixture::Rgb{grey, grey, grey});
        }
    }
    options.encode.format = fixture::PixelFormat::Gray_10bit;
    options.encode.lossless = true;
    const Bytes source = fixture::makeSingleImageHeic(options).bytes();
    cv::Mat reference = libheifPngOf(source);
    ASSERT_FALSE(reference.empty());
    ASSERT_EQ(reference.depth(), CV_16U);
    if (reference.channels() == 1) {
        cv::cvtColor(reference, reference, cv::COLOR_GRAY2BGR);
    }
    for (const OutputFormat format : {OutputFormat::Png, OutputFormat::Tiff}) {
        SCOPED_TRACE(format == OutputFormat::Png ? "PNG" : "TIFF");
        ConversionSettings settings;
        settings.format = format;
        settings.depth = 16;
        const ConvertedFile file = convertHeif(source.data(), source.size(), settings);
        ASSERT_TRUE(file.ok) << file.detail;
        const ReadBack back = format == OutputFormat::Png ? readPng(file.bytes) : readTiff(file.bytes);
        ASSERT_EQ(back.image.type(), CV_16UC3);
        ASSERT_EQ(back.image.size(), reference.size());
        int differing = 0;
        for (int y = 0; y < back.image.rows; ++y) {
            for (int x = 0; x < back.image.cols; ++x) {
                for (int c = 0; c < 3; ++c) {
                    const int ours = back.image.at<cv::Vec3w>(y, x)[c];
                    const int theirs = reference.at<cv::Vec3w>(y, x)[c] >> 6;
                    differing += std::lround(ours * 1023.0 / 65535.0) != theirs ? 1 : 0;
                }
            }
        }
        EXPECT_EQ(differing, 0) << "samples whose 10-bit value was lost";
    }
    ConversionSettings settings;
    settings.format = OutputFormat::Jpeg2000;
    settings.depth = 16;
    const ConvertedFile jp2 = convertHeif(source.data(), source.size(), settings);
    ASSERT_TRUE(jp2.ok) << jp2.detail;
    const ReadBack back = readJp2(jp2.bytes);
    ASSERT_TRUE(back.error.empty()) << back.error;
    EXPECT_EQ(back.precision, 10);
}

// The alpha plane becomes the alpha channel of PNG, TIFF and JPEG 2000, as
// libheif has it; JPEG and BMP show the picture over white.
TEST(ConvertedFormats, AlphaIsKeptOrShownOverWhite)
{
    const Bytes source = corpusFileBytes("RGBA_8__128x128.heif");
    const cv::Mat reference = libheifPng("RGBA_8__128x128.heif");
    ASSERT_EQ(reference.type(), CV_8UC4);
    cv::Mat referenceAlpha;
    cv::extractChannel(reference, referenceAlpha, 3);
    for (const ConversionRow& row : kConversions) {
        SCOPED_TRACE(row.name);
        ConversionSettings settings;
        settings.format = row.format;
        const ConvertedFile file = convertHeif(source.data(), source.size(), settings);
        ASSERT_TRUE(file.ok) << file.detail;
        cv::Mat image =
            row.read != nullptr ? row.read(file.bytes).image : cv::imdecode(cv::Mat(file.bytes), cv::IMREAD_UNCHANGED);
        ASSERT_EQ(image.size(), reference.size());
        if (row.format == OutputFormat::Bmp || row.format == OutputFormat::Jpg) {
            // libheif's colours over white: c a + 255 (1 - a).
            ASSERT_EQ(image.channels(), 3);
            cv::Mat straight;
            cv::Mat opacity;
            reference.convertTo(straight, CV_32F, 1.0 / 255.0);
            cv::extractChannel(straight, opacity, 3);
            cv::Mat over(reference.size(), CV_32FC3);
            for (int y = 0; y < over.rows; ++y) {
                for (int x = 0; x < over.cols; ++x) {
                    const cv::Vec4f c = straight.at<cv::Vec4f>(y, x);
                    for (int k = 0; k < 3; ++k) {
                        over.at<cv::Vec3f>(y, x)[k] = 255.0f * (c[k] * c[3] + 1.0f - c[3]);
                    }
                }
            }
            cv::Mat ours;
            image.convertTo(ours, CV_32F);
            EXPECT_LT(meanDifference(ours, over), row.format == OutputFormat::Jpg ? 3.0 : 1.0);
            continue;
        }
        ASSERT_EQ(image.channels(), 4);
        cv::Mat alpha;
        cv::extractChannel(image, alpha, 3);
        EXPECT_EQ(cv::norm(alpha, referenceAlpha, cv::NORM_INF), 0.0) << "the alpha channel differs from libheif's";
        // Colours where the picture is not transparent.
        cv::Mat ours;
        cv::Mat theirs;
        image.convertTo(ours, CV_32F);
        reference.convertTo(theirs, CV_32F);
        EXPECT_LT(meanDifference(ours, theirs), 1.0);
    }
}

// A 2 x 2 grid of 64 x 64 tiles cut to 120 x 100, whose tiles' area past
// the picture holds the Y = U = V = 16 green phones fill it with: the last
// column and row come out as JPEG has them, in every format and sampling.
TEST(ConvertedFormats, TilePaddingStaysOutOfTheLastColumnAndRow)
{
    for (const fixture::PixelFormat sampling : {fixture::PixelFormat::Yuv420, fixture::PixelFormat::Yuv422}) {
        fixture::GridOptions options;
        options.outputWidth = 120;
        options.outputHeight = 100;
        options.encode.format = sampling;
        options.encode.lossless = true;
        options.picture = fixture::solidImage(128, 128, {0, 135, 0});
        for (unsigned y = 0; y < 100; ++y) {
            for (unsigned x = 0; x < 120; ++x) {
                options.picture->set(x, y, {229, 218, 196});
            }
        }
        const Bytes heif = fixture::makeGridHeic(options).bytes();
        cv::Mat edges[2];  // the JPEG's last column and row
        for (auto row = std::rbegin(kConversions); row != std::rend(kConversions); ++row) {
            SCOPED_TRACE(std::string(row->name) + (sampling == fixture::PixelFormat::Yuv420 ? " 4:2:0" : " 4:2:2"));
            ConversionSettings settings;
            settings.format = row->format;
            const ConvertedFile file = convertHeif(heif.data(), heif.size(), settings);
            ASSERT_TRUE(file.ok) << file.detail;
            cv::Mat image = cv::imdecode(cv::Mat(file.bytes), cv::IMREAD_COLOR);
            ASSERT_EQ(image.size(), cv::Size(120, 100));
            image.convertTo(image, CV_32F);
            for (int i = 0; i < 2; ++i) {
                const cv::Mat edge = i == 0 ? image.col(119) : image.row(99);
                if (row->read == nullptr) {
                    edges[i] = edge.clone();
                    EXPECT_LT(meanDifference(edge, cv::Mat(edge.size(), CV_32FC3, cv::Scalar(196, 218, 229))), 8.0);
                } else {
                    EXPECT_LT(meanDifference(edge, edges[i]), row->format == OutputFormat::Jpeg2000 ? 3.0 : 1.5);
                }
            }
        }
    }
}

// An image that names its colours by code instead of carrying a profile:
// Display P3 gets the Display P3 profile in every format (exiftool names
// it), sRGB's codes give PNG its sRGB chunk and no profile.
TEST(ConvertedFormats, ColourCodesBecomeTheirProfile)
{
    const auto photo = [](std::uint16_t primaries, std::uint16_t transfer) {
        fixture::SingleImageOptions options;
        fixture::SampleFile sample = fixture::makeSingleImageHeic(options);
        sample.builder.colr({sample.primaryId}, primaries, transfer, 1, true);
        return sample.bytes();
    };
    const Bytes p3 = photo(12, 13);
    for (const ConversionRow& row : kConversions) {
        SCOPED_TRACE(row.name);
        ConversionSettings settings;
        settings.format = row.format;
        const ConvertedFile file = convertHeif(p3.data(), p3.size(), settings);
        ASSERT_TRUE(file.ok) << file.detail;
        if (row.read != nullptr) {
            EXPECT_FALSE(row.read(file.bytes).metadata.icc.empty());
        }
        if (haveExiftool()) {
            const std::string json = exiftoolJson(file.bytes, row.extension);
            EXPECT_NE(json.find("\"ProfileDescription\": \"Display P3\""), std::string::npos) << json;
        }
    }
    const Bytes srgb = photo(1, 13);
    ConversionSettings settings;
    settings.format = OutputFormat::Png;
    const ConvertedFile png = convertHeif(srgb.data(), srgb.size(), settings);
    ASSERT_TRUE(png.ok) << png.detail;
    const std::vector<std::string> chunks = pngChunks(png.bytes);
    EXPECT_NE(std::find(chunks.begin(), chunks.end(), "sRGB"), chunks.end());
    EXPECT_EQ(std::find(chunks.begin(), chunks.end(), "iCCP"), chunks.end());
}

}  // namespace
