#include "tests/referee/referee_rows.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <stdexcept>
#include <tuple>

#include "tests/fixtures/heif_builder.h"
#include "tests/fixtures/heif_samples.h"

using namespace ambrel::heif;

namespace referee {

using fixture::Bytes;
using fixture::EncodedImage;
using fixture::HeifBuilder;
using fixture::ItemDescription;
using fixture::PixelFormat;
using fixture::RgbImage;

Sample samplePixel(unsigned x, unsigned y)
{
    // The colour changes by less than one level a pixel whatever the size:
    // decoders that upsample chroma differently (replicated, or
    // interpolated at the signalled sample position) then stay within a
    // level of each other, and what the comparison sees is our faults.
    const double fx = double(x) / 256.0;
    const double fy = double(y) / 256.0;
    // Periods of about 10 and 27 pixels, so that neither repeats at a tile
    // or chroma-block boundary.
    const double texture = 0.09 * std::sin(0.61 * x + 0.23 * y) + 0.07 * std::sin(0.17 * x - 0.41 * y + 1.3);
    return Sample{0.2 + 0.6 * fx + texture, 0.2 + 0.6 * fy + texture, 0.8 - 0.3 * (fx + fy) + texture, 0.3 + 0.7 * fx};
}

RgbImage samplePicture(unsigned width, unsigned height)
{
    RgbImage image = fixture::solidImage(width, height, fixture::Rgb{});
    auto byte = [](double v) { return static_cast<std::uint8_t>(std::lround(std::clamp(v, 0.0, 1.0) * 255.0)); };
    for (unsigned y = 0; y < height; ++y) {
        for (unsigned x = 0; x < width; ++x) {
            const Sample s = samplePixel(x, y);
            image.set(x, y, fixture::Rgb{byte(s.r), byte(s.g), byte(s.b)});
        }
    }
    return image;
}

namespace {

const char* formatName(PixelFormat format)
{
    switch (format) {
    case PixelFormat::Yuv420: return "420_8bit";
    case PixelFormat::Yuv420_10bit: return "420_10bit";
    case PixelFormat::Yuv420_12bit: return "420_12bit";
    case PixelFormat::Yuv422: return "422_8bit";
    case PixelFormat::Yuv422_10bit: return "422_10bit";
    case PixelFormat::Yuv422_12bit: return "422_12bit";
    case PixelFormat::Yuv444: return "444_8bit";
    case PixelFormat::Yuv444_10bit: return "444_10bit";
    case PixelFormat::Yuv444_12bit: return "444_12bit";
    case PixelFormat::Gray: return "mono_8bit";
    case PixelFormat::Gray_10bit: return "mono_10bit";
    case PixelFormat::Gray_12bit: return "mono_12bit";
    }
    return "unknown";
}

fixture::EncodeOptions encodeOptions(PixelFormat format)
{
    fixture::EncodeOptions options;
    options.format = format;
    options.crf = 12;
    return options;
}

RgbImage cut(const RgbImage& picture, unsigned x0, unsigned y0, unsigned width, unsigned height)
{
    RgbImage part = fixture::solidImage(width, height, fixture::Rgb{});
    for (unsigned y = 0; y < height; ++y) {
        for (unsigned x = 0; x < width; ++x) {
            part.set(x, y, picture.at(x0 + x, y0 + y));
        }
    }
    return part;
}

using fixture::addCodedItem;

using Extra = std::function<void(HeifBuilder&, std::uint32_t primary)>;

// One coded image of the test picture, as the primary item `id`.
Bytes singleImage(unsigned width, unsigned height, PixelFormat format, const Extra& extra = {}, std::uint32_t id = 1)
{
    HeifBuilder builder;
    addCodedItem(builder, id, fixture::encodeImage(samplePicture(width, height), encodeOptions(format)), false);
    builder.setPrimary(id);
    if (extra) {
        extra(builder, id);
    }
    return builder.build();
}

// A grid of coded tiles cut from one test picture, cropped to the output
// size; the grid is item 1, the tiles 2, 3, ... row by row.
Bytes gridImage(unsigned rows, unsigned columns, unsigned tileWidth, unsigned tileHeight, unsigned outputWidth,
                unsigned outputHeight, PixelFormat format, const Extra& extra = {})
{
    HeifBuilder builder;
    ItemDescription grid;
    grid.id = 1;
    grid.type = "grid";
    grid.data = fixture::gridPayload(static_cast<std::uint8_t>(rows - 1), static_cast<std::uint8_t>(columns - 1),
                                     outputWidth, outputHeight);
    grid.storage = fixture::Storage::Idat;
    builder.addItem(std::move(grid));
    builder.setPrimary(1);
    const RgbImage picture = samplePicture(columns * tileWidth, rows * tileHeight);
    std::vector<std::uint32_t> tiles;
    for (unsigned row = 0; row < rows; ++row) {
        for (unsigned column = 0; column < columns; ++column) {
            const std::uint32_t id = 2 + row * columns + column;
            const RgbImage tile = cut(picture, column * tileWidth, row * tileHeight, tileWidth, tileHeight);
            addCodedItem(builder, id, fixture::encodeImage(tile, encodeOptions(format)), true);
            tiles.push_back(id);
        }
    }
    builder.addReference("dimg", 1, tiles);
    builder.ispe(1, outputWidth, outputHeight);
    if (extra) {
        extra(builder, 1);
    }
    return builder.build();
}

CleanAperture::Fraction whole(int value)
{
    return CleanAperture::Fraction{static_cast<std::uint32_t>(value), 1};
}

std::string size(unsigned width, unsigned height)
{
    return std::to_string(width) + "x" + std::to_string(height);
}

const char* const kChromaReplicated =
    "on purpose: libheif 1.15 repeats each chroma sample over the pixels beside it, we interpolate between the "
    "samples at the position the stream signals; on this file's steep colour gradient (or sharp colour edges) "
    "libheif's picture steps every other column where ours is smooth";
const char* const kPrimaryWithThumbnailReference =
    "on purpose: libheif 1.15 takes a primary with a 'thmb' reference for a thumbnail and shows image 3; we "
    "convert the image 'pitm' names (corpus README)";

void addEncoderRows(std::vector<Row>& rows)
{
    auto add = [&rows](const std::string& category, const EncoderFile& file, const std::string& suffix = "") {
        Row row;
        row.name = (file.avif ? "avif_" : "enc_") + file.chroma + "_" + std::to_string(file.bits) + "bit" +
                   (file.alpha ? "_alpha" : "") + (file.lossless ? "_lossless" : "") +
                   (file.matrix ? "_matrix" + std::to_string(*file.matrix) : std::string()) +
                   (file.fullRange ? "" : "_limited") +
                   (file.thumbnail != 0 ? "_thumb" + std::to_string(file.thumbnail) : std::string()) + suffix + "_" +
                   size(file.width, file.height);
        row.category = category;
        row.encoder = file;
        rows.push_back(std::move(row));
    };

    // Every chroma format and depth over sizes that are 2 more than
    // multiples of 2, 8 and 64, under 64 (a grid of one padded tile) and the
    // sizes known to upset the colour conversion.
    const std::vector<std::pair<unsigned, unsigned>> sizes = {{2, 2},   {34, 18},  {66, 66},   {72, 72}, {72, 96},
                                                              {96, 72}, {130, 98}, {168, 168}, {200, 66}};
    for (const char* chroma : {"420", "422", "444", "mono"}) {
        for (unsigned bits : {8u, 10u, 12u}) {
            for (const auto& [w, h] : sizes) {
                EncoderFile file;
                file.width = w;
                file.height = h;
                file.chroma = chroma;
                file.bits = bits;
                add("libheif encoder: chroma x depth x size", file);
            }
        }
    }
    // Alpha planes: colour channels are compared.
    for (const char* chroma : {"420", "422", "444", "mono"}) {
        for (unsigned bits : {8u, 10u, 12u}) {
            for (const auto& [w, h] : std::vector<std::pair<unsigned, unsigned>>{{64, 64}, {130, 66}}) {
                EncoderFile file;
                file.width = w;
                file.height = h;
                file.chroma = chroma;
                file.bits = bits;
                file.alpha = true;
                add("libheif encoder: alpha", file);
            }
        }
    }
    // Lossless: RGB coding (matrix 0) and YCbCr.
    for (unsigned bits : {8u, 10u}) {
        for (const auto& [w, h] : std::vector<std::pair<unsigned, unsigned>>{{64, 64}, {98, 130}}) {
            EncoderFile file;
            file.width = w;
            file.height = h;
            file.chroma = "444";
            file.bits = bits;
            file.lossless = true;
            file.matrix = 0;
            add("libheif encoder: lossless / matrix / range", file);
        }
    }
    {
        EncoderFile file;
        file.width = 128;
        file.height = 96;
        file.chroma = "420";
        file.lossless = true;
        add("libheif encoder: lossless / matrix / range", file);
    }
    // Matrices and limited range.
    for (int matrix : {1, 5, 9}) {
        for (const char* chroma : {"420", "444"}) {
            EncoderFile file;
            file.width = 128;
            file.height = 80;
            file.chroma = chroma;
            file.matrix = matrix;
            add("libheif encoder: lossless / matrix / range", file);
        }
    }
    for (const char* chroma : {"420", "422", "444"}) {
        for (unsigned bits : {8u, 10u}) {
            EncoderFile file;
            file.width = 128;
            file.height = 80;
            file.chroma = chroma;
            file.bits = bits;
            file.fullRange = false;
            add("libheif encoder: lossless / matrix / range", file);
        }
    }
    // Thumbnails beside the primary.
    for (const auto& [w, h] : std::vector<std::pair<unsigned, unsigned>>{{192, 128}, {128, 192}}) {
        EncoderFile file;
        file.width = w;
        file.height = h;
        file.thumbnail = 48;
        add("libheif encoder: thumbnail", file);
    }
    // AVIF: every chroma format, 8 and 12 bits (libheif's AV1 encoder fails
    // at 10; avifenc's rows have them), alpha.
    for (const char* chroma : {"420", "422", "444", "mono"}) {
        for (unsigned bits : {8u, 12u}) {
            EncoderFile file;
            file.width = 66;
            file.height = 34;
            file.chroma = chroma;
            file.bits = bits;
            file.avif = true;
            file.alpha = bits == 8;
            add("libheif encoder: AVIF", file);
        }
    }
}

void addWriterRow(std::vector<Row>& rows, const std::string& category, const std::string& name,
                  std::function<Bytes()> writer, const std::string& known = "")
{
    Row row;
    row.name = name;
    row.category = category;
    row.writer = std::move(writer);
    row.knownDifference = known;
    rows.push_back(std::move(row));
}

void addOddSizeRows(std::vector<Row>& rows)
{
    const std::string category = "fixture writer: odd sizes";
    // 4:4:4 and monochrome code any size as it is (x265 takes 16 x 16 at least).
    for (const auto& [w, h] :
         std::vector<std::pair<unsigned, unsigned>>{{17, 17}, {33, 17}, {63, 65}, {65, 63}, {67, 33}, {129, 67}}) {
        addWriterRow(rows, category, "odd_444_8bit_" + size(w, h),
                     [w = w, h = h] { return singleImage(w, h, PixelFormat::Yuv444); });
    }
    for (const auto& [w, h, format] :
         std::vector<std::tuple<unsigned, unsigned, PixelFormat>>{{17, 19, PixelFormat::Gray},
                                                                  {19, 17, PixelFormat::Gray_10bit},
                                                                  {65, 67, PixelFormat::Gray_12bit},
                                                                  {17, 65, PixelFormat::Yuv444_10bit},
                                                                  {67, 17, PixelFormat::Yuv444_12bit}}) {
        addWriterRow(rows, category, std::string("odd_") + formatName(format) + "_" + size(w, h),
                     [w = w, h = h, format = format] { return singleImage(w, h, format); });
    }
    // Smaller than the encoder takes: a clean aperture at the top left of
    // a 16 x 16 or 24 x 24 picture (offsets of half pixels put the left and
    // top edges on whole pixels).
    for (const auto& [w, h, coded] :
         std::vector<std::tuple<int, int, unsigned>>{{1, 1, 16}, {3, 3, 16}, {2, 5, 16}, {17, 3, 24}}) {
        addWriterRow(rows, category, "odd_clap_topleft_444_8bit_" + size(unsigned(w), unsigned(h)), [=] {
            return singleImage(coded, coded, PixelFormat::Yuv444, [=](HeifBuilder& b, std::uint32_t id) {
                b.clap(id, whole(w), whole(h), CleanAperture::Fraction{static_cast<std::uint32_t>(w - int(coded)), 2},
                       CleanAperture::Fraction{static_cast<std::uint32_t>(h - int(coded)), 2});
            });
        });
    }
    // Subsampled chroma: an even coded size one more than the odd clean
    // aperture, its offsets -1/2 so that it starts at the top left (as
    // cameras write odd sizes).
    for (const auto& [w, h, format] :
         std::vector<std::tuple<unsigned, unsigned, PixelFormat>>{{67, 65, PixelFormat::Yuv420},
                                                                  {67, 65, PixelFormat::Yuv420_10bit},
                                                                  {131, 33, PixelFormat::Yuv422},
                                                                  {17, 63, PixelFormat::Yuv422_12bit},
                                                                  {65, 15, PixelFormat::Yuv420_12bit}}) {
        const unsigned codedWidth = w + 1;
        const unsigned codedHeight = h + 1;
        addWriterRow(rows, category, std::string("odd_clap_") + formatName(format) + "_" + size(w, h), [=] {
            return singleImage(codedWidth, codedHeight, format, [=](HeifBuilder& b, std::uint32_t id) {
                const CleanAperture::Fraction minusHalf{static_cast<std::uint32_t>(-1), 2};
                b.clap(id, whole(int(w)), whole(int(h)), minusHalf, minusHalf);
            });
        });
    }
}

void addGridRows(std::vector<Row>& rows)
{
    const std::string category = "fixture writer: grids";
    struct GridRow
    {
        unsigned rows, columns, tileWidth, tileHeight, outputWidth, outputHeight;
        PixelFormat format;
    };
    const std::vector<GridRow> grids = {
        {1, 1, 64, 64, 64, 64, PixelFormat::Yuv420},
        {1, 1, 64, 64, 63, 61, PixelFormat::Yuv420},
        {1, 1, 64, 64, 1, 1, PixelFormat::Yuv444},
        {1, 3, 64, 64, 192, 64, PixelFormat::Yuv420},
        {1, 3, 64, 64, 190, 63, PixelFormat::Yuv420},
        {3, 1, 64, 64, 64, 192, PixelFormat::Yuv420},
        {3, 1, 64, 64, 65 - 2, 170, PixelFormat::Yuv420_10bit},
        {2, 2, 64, 64, 128, 128, PixelFormat::Yuv420},
        {2, 3, 64, 64, 130, 100, PixelFormat::Yuv420},
        {3, 2, 64, 64, 127, 129, PixelFormat::Yuv444},
        {2, 3, 64, 64, 191, 127, PixelFormat::Yuv422},
        {2, 2, 64, 64, 128, 128, PixelFormat::Yuv420_12bit},
        {2, 2, 64, 64, 125, 67, PixelFormat::Gray},
        {2, 2, 96, 64, 192, 128, PixelFormat::Yuv420},
        {3, 3, 32, 32, 96, 96, PixelFormat::Yuv420},
        {2, 4, 32, 48, 127, 95, PixelFormat::Yuv444_10bit},
        {4, 2, 66, 34, 131, 135, PixelFormat::Yuv444},
    };
    for (const GridRow& g : grids) {
        addWriterRow(rows, category,
                     "grid_" + std::to_string(g.rows) + "x" + std::to_string(g.columns) + "_tiles" +
                         size(g.tileWidth, g.tileHeight) + "_" + formatName(g.format) + "_" +
                         size(g.outputWidth, g.outputHeight),
                     [g] {
                         return gridImage(g.rows, g.columns, g.tileWidth, g.tileHeight, g.outputWidth, g.outputHeight,
                                          g.format);
                     });
    }
}

void addTransformRows(std::vector<Row>& rows)
{
    const std::string category = "fixture writer: rotation / mirror / clean aperture";
    // A picture wider than high, so that a quarter turn shows in the size.
    for (int rotation : {0, 90, 180, 270}) {
        for (int mirror : {-1, 0, 1}) {
            if (rotation == 0 && mirror < 0) {
                continue;
            }
            addWriterRow(rows, category,
                         "single_rot" + std::to_string(rotation) +
                             (mirror < 0 ? std::string() : "_mirror" + std::to_string(mirror)) + "_96x64",
                         [=] {
                             return singleImage(96, 64, PixelFormat::Yuv420, [=](HeifBuilder& b, std::uint32_t id) {
                                 if (rotation != 0) {
                                     b.irot(id, rotation);
                                 }
                                 if (mirror >= 0) {
                                     b.imir(id, unsigned(mirror));
                                 }
                             });
                         });
        }
    }
    struct ClapRow
    {
        const char* name;
        int width, height, horizontal, vertical;
        int rotation;
        int mirror;
    };
    const std::vector<ClapRow> claps = {
        {"clap_centre_80x48", 80, 48, 0, 0, 0, -1},
        {"clap_odd_77x41", 77, 41, 0, 0, 0, -1},
        {"clap_offset_61x37_plus5_minus3", 61, 37, 5, -3, 0, -1},
        {"clap_offset_40x30_minus12_plus8", 40, 30, -12, 8, 0, -1},
        {"clap_odd_51x33_rot90", 51, 33, 2, 1, 90, -1},
        {"clap_odd_51x33_rot270_mirror1", 51, 33, -2, 3, 270, 1},
        {"clap_80x40_mirror0", 80, 40, 0, 0, 0, 0},
    };
    for (const ClapRow& c : claps) {
        addWriterRow(rows, category, std::string("single_") + c.name + "_from_96x64", [c] {
            return singleImage(96, 64, PixelFormat::Yuv420, [c](HeifBuilder& b, std::uint32_t id) {
                b.clap(id, whole(c.width), whole(c.height), whole(c.horizontal), whole(c.vertical));
                if (c.rotation != 0) {
                    b.irot(id, c.rotation);
                }
                if (c.mirror >= 0) {
                    b.imir(id, unsigned(c.mirror));
                }
            });
        });
    }
    // Transforms on grids.
    for (int rotation : {90, 270}) {
        addWriterRow(rows, category, "grid_2x3_rot" + std::to_string(rotation) + "_190x100", [=] {
            return gridImage(2, 3, 64, 64, 190, 100, PixelFormat::Yuv420,
                             [=](HeifBuilder& b, std::uint32_t id) { b.irot(id, rotation); });
        });
    }
    addWriterRow(rows, category, "grid_3x2_mirror1_127x150", [] {
        return gridImage(3, 2, 64, 64, 127, 150, PixelFormat::Yuv444,
                         [](HeifBuilder& b, std::uint32_t id) { b.imir(id, 1); });
    });
    addWriterRow(rows, category, "grid_2x2_clap_101x77_rot180", [] {
        return gridImage(2, 2, 64, 64, 128, 128, PixelFormat::Yuv420, [](HeifBuilder& b, std::uint32_t id) {
            b.clap(id, whole(101), whole(77), whole(3), whole(-4));
            b.irot(id, 180);
        });
    });
}

// Metadata items of the layouts below.
ItemDescription exifItem(std::uint32_t id)
{
    ItemDescription exif;
    exif.id = id;
    exif.type = "Exif";
    exif.data = fixture::exifPayload(fixture::makeExifBlock(1));
    exif.hidden = true;
    return exif;
}

ItemDescription xmpItem(std::uint32_t id, bool omitEncoding)
{
    const std::string text =
        "<x:xmpmeta xmlns:x=\"adobe:ns:meta/\"><rdf:RDF "
        "xmlns:rdf=\"http://www.w3.org/1999/02/22-rdf-syntax-ns#\"/></x:xmpmeta>";
    ItemDescription xmp;
    xmp.id = id;
    xmp.type = "mime";
    xmp.contentType = "application/rdf+xml";
    xmp.omitContentEncoding = omitEncoding;
    xmp.data = Bytes(text.begin(), text.end());
    xmp.hidden = true;
    return xmp;
}

void addLayoutRows(std::vector<Row>& rows)
{
    const std::string category = "fixture writer: item table orders";
    // Metadata first in 'iinf', the image after it; the image is the primary.
    addWriterRow(rows, category, "layout_exif_first_image_id2", [] {
        HeifBuilder b;
        b.addItem(exifItem(1));
        const RgbImage picture = samplePicture(96, 64);
        addCodedItem(b, 2, fixture::encodeImage(picture, encodeOptions(PixelFormat::Yuv420)), false);
        b.addReference("cdsc", 1, {2});
        b.setPrimary(2);
        return b.build();
    });
    addWriterRow(rows, category, "layout_xmp_first_image_id2", [] {
        HeifBuilder b;
        b.addItem(xmpItem(1, false));
        addCodedItem(b, 2, fixture::encodeImage(samplePicture(96, 64), encodeOptions(PixelFormat::Yuv420)), false);
        b.addReference("cdsc", 1, {2});
        b.setPrimary(2);
        return b.build();
    });
    addWriterRow(rows, category, "layout_xmp_without_encoding_first_then_exif_then_image", [] {
        HeifBuilder b;
        b.addItem(xmpItem(1, true));
        b.addItem(exifItem(2));
        addCodedItem(b, 3, fixture::encodeImage(samplePicture(96, 64), encodeOptions(PixelFormat::Yuv420)), false);
        b.addReference("cdsc", 1, {3});
        b.addReference("cdsc", 2, {3});
        b.setPrimary(3);
        return b.build();
    });
    addWriterRow(rows, category, "layout_image_then_xmp_without_encoding_then_exif", [] {
        HeifBuilder b;
        addCodedItem(b, 1, fixture::encodeImage(samplePicture(96, 64), encodeOptions(PixelFormat::Yuv420)), false);
        b.addItem(xmpItem(2, true));
        b.addItem(exifItem(3));
        b.addReference("cdsc", 2, {1});
        b.addReference("cdsc", 3, {1});
        b.setPrimary(1);
        return b.build();
    });
    // The image's id above the metadata's, and the entries not in id order.
    addWriterRow(rows, category, "layout_ids_descending_exif_xmp_grid", [] {
        HeifBuilder b;
        b.addItem(exifItem(40));
        b.addItem(xmpItem(30, false));
        ItemDescription grid;
        grid.id = 20;
        grid.type = "grid";
        grid.data = fixture::gridPayload(0, 1, 120, 64);
        grid.storage = fixture::Storage::Idat;
        b.addItem(std::move(grid));
        const RgbImage picture = samplePicture(128, 64);
        addCodedItem(b, 11, fixture::encodeImage(cut(picture, 64, 0, 64, 64), encodeOptions(PixelFormat::Yuv420)),
                     true);
        addCodedItem(b, 10, fixture::encodeImage(cut(picture, 0, 0, 64, 64), encodeOptions(PixelFormat::Yuv420)), true);
        b.addReference("dimg", 20, {10, 11});
        b.ispe(20, 120, 64);
        b.addReference("cdsc", 40, {20});
        b.addReference("cdsc", 30, {20});
        b.setPrimary(20);
        return b.build();
    });
    // A thumbnail listed before its master, with a lower id.
    addWriterRow(rows, category, "layout_thumbnail_first", [] {
        HeifBuilder b;
        addCodedItem(b, 1, fixture::encodeImage(samplePicture(48, 32), encodeOptions(PixelFormat::Yuv420)), false);
        addCodedItem(b, 2, fixture::encodeImage(samplePicture(192, 128), encodeOptions(PixelFormat::Yuv420)), false);
        b.addReference("thmb", 1, {2});
        b.setPrimary(2);
        return b.build();
    });
    // A second full image before the primary.
    addWriterRow(rows, category, "layout_two_images_primary_second", [] {
        HeifBuilder b;
        addCodedItem(b, 1,
                     fixture::encodeImage(fixture::solidImage(64, 64, fixture::Rgb{20, 200, 40}),
                                          encodeOptions(PixelFormat::Yuv420)),
                     false);
        addCodedItem(b, 2, fixture::encodeImage(samplePicture(128, 96), encodeOptions(PixelFormat::Yuv420)), false);
        b.setPrimary(2);
        return b.build();
    });
    // An 'iden' derived image as the primary: the picture of the coded image
    // it names, with a rotation of its own.
    addWriterRow(rows, category, "layout_iden_primary_rot90", [] {
        HeifBuilder b;
        addCodedItem(b, 1, fixture::encodeImage(samplePicture(96, 64), encodeOptions(PixelFormat::Yuv420)), true);
        ItemDescription iden;
        iden.id = 2;
        iden.type = "iden";
        b.addItem(std::move(iden));
        b.addReference("dimg", 2, {1});
        b.ispe(2, 96, 64);
        b.irot(2, 90);
        b.setPrimary(2);
        return b.build();
    });
    // Broken primaries: 'pitm' names no item, or an item that is no image;
    // libheif refuses both, and a converter must not show another image.
    {
        Row row;
        row.name = "broken_primary_names_no_item";
        row.category = category;
        row.broken = true;
        row.writer = [] {
            HeifBuilder b;
            addCodedItem(b, 1, fixture::encodeImage(samplePicture(96, 64), encodeOptions(PixelFormat::Yuv420)), false);
            b.setPrimary(7);
            return b.build();
        };
        rows.push_back(std::move(row));
    }
    {
        Row row;
        row.name = "broken_primary_is_exif_item";
        row.category = category;
        row.broken = true;
        row.writer = [] {
            HeifBuilder b;
            b.addItem(exifItem(1));
            addCodedItem(b, 2, fixture::encodeImage(samplePicture(96, 64), encodeOptions(PixelFormat::Yuv420)), false);
            b.setPrimary(1);
            return b.build();
        };
        rows.push_back(std::move(row));
    }
    // Mdat before meta, the tiles in several extents stored backwards.
    addWriterRow(rows, category, "layout_mdat_first_tiles_in_reversed_extents", [] {
        return gridImage(2, 2, 64, 64, 120, 100, PixelFormat::Yuv420, [](HeifBuilder& b, std::uint32_t) {
            b.setMdatFirst(true);
            for (std::uint32_t id = 2; id <= 5; ++id) {
                b.item(id).extentCount = 3;
                b.item(id).reverseExtentStorage = true;
            }
        });
    });
}

// AVIF files that avifenc writes (AV1 decoded by libdav1d on both sides), of
// ffmpeg's test picture: its sharp colour edges leave 4:2:0 and 4:2:2 to the
// rows above, whose picture any chroma upsampling agrees on.
void addAvifRows(std::vector<Row>& rows)
{
    const std::string category = "avifenc: AVIF";
    const std::vector<std::tuple<std::string, std::string, std::string, bool>> files = {
        {"avifenc_444_10bit", "-y 444 -d 10", "64x48", false},
        {"avifenc_mono_12bit", "-y 400 -d 12", "64x48", false},
        {"avifenc_444_limited", "-y 444 -r limited", "64x48", false},
        {"avifenc_ycgco", "-y 444 --cicp 1/13/8", "64x48", false},
        {"avifenc_identity_matrix", "-y 444 --cicp 1/13/0", "64x48", false},
        {"avifenc_444_alpha", "-y 444", "64x48", true},
        {"avifenc_grid_2x2", "-g 2x2", "128x128", false},
        {"avifenc_rotated_mirrored_cropped", "--irot 1 --imir 0 --clap 40,1,30,1,0,1,0,1", "64x48", false},
    };
    for (const auto& [name, options, size, alpha] : files) {
        addWriterRow(rows, category, name, [options = options, size = size, alpha = alpha] {
            return fixture::makeAvif(options, 1, size, alpha);
        });
    }
}

void addCorpusRows(std::vector<Row>& rows)
{
    const std::vector<std::pair<std::string, std::string>> files = {
        {"L_exif_xmp_iptc.heic", ""}, {"L_xmp_latin1.heic", ""},    {"RGBA_8__128x128.heif", ""},
        {"RGB_10__29x100.heif", ""},  {"RGB_8_chroma444.heif", ""}, {"corrupted.heic", ""},
        {"corrupted.hif", ""},        {"empty.heic", ""},           {"empty_icc.heic", ""},
        {"invalid_id.heic", ""},      {"truncated.heic", ""},       {"zPug_3.heic", ""},
    };
    for (const auto& [file, known] : files) {
        Row row;
        std::string name = "corpus_" + file;
        for (char& c : name) {
            if (!std::isalnum(static_cast<unsigned char>(c))) {
                c = '_';
            }
        }
        row.name = name;
        row.category = "shared corpus";
        row.corpusFile = file;
        row.knownDifference = known;
        rows.push_back(std::move(row));
    }
}

// Marks of single rows, by name, on top of those given where the rows are
// made.
void markRows(std::vector<Row>& rows)
{
    const std::vector<std::pair<std::string, std::string>> marks = {
        {"corpus_invalid_id_heic", kPrimaryWithThumbnailReference},
        {"corpus_RGB_10__29x100_heif", kChromaReplicated},
        {"corpus_RGBA_8__128x128_heif", kChromaReplicated},
    };
    for (const auto& [name, reason] : marks) {
        const auto row = std::find_if(rows.begin(), rows.end(), [&](const Row& r) { return r.name == name; });
        if (row == rows.end()) {
            throw std::logic_error("a mark for a row that does not exist: " + name);
        }
        row->knownDifference = reason;
    }
}

}  // namespace

std::vector<Row> allRows()
{
    std::vector<Row> rows;
    addEncoderRows(rows);
    addOddSizeRows(rows);
    addGridRows(rows);
    addTransformRows(rows);
    addLayoutRows(rows);
    addAvifRows(rows);
    addCorpusRows(rows);
    markRows(rows);
    return rows;
}

}  // namespace referee
