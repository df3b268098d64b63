#include "bench/bench_files.h"

#include <algorithm>
#include <cmath>
#include <fstream>
#include <stdexcept>

#include "tests/fixtures/heif_builder.h"
#include "tests/fixtures/heif_samples.h"
#include "tests/fixtures/hevc_encoder.h"

using namespace ambrel::heif;

namespace ambrelbench {

namespace {

std::uint32_t hash32(std::uint32_t x)
{
    x ^= x >> 16;
    x *= 0x7feb352dU;
    x ^= x >> 15;
    x *= 0x846ca68bU;
    x ^= x >> 16;
    return x;
}

// Noise in -1 .. 1 that varies smoothly over `cell` pixels.
double valueNoise(double x, double y, double cell, std::uint32_t seed)
{
    const double fx = x / cell;
    const double fy = y / cell;
    const auto ix = static_cast<std::int64_t>(std::floor(fx));
    const auto iy = static_cast<std::int64_t>(std::floor(fy));
    const double tx = fx - double(ix);
    const double ty = fy - double(iy);
    const auto corner = [&](std::int64_t cx, std::int64_t cy) {
        const std::uint32_t h =
            hash32(static_cast<std::uint32_t>(cx * 73856093) ^ static_cast<std::uint32_t>(cy * 19349663) ^ seed);
        return double(h & 0xFFFF) / 32767.5 - 1.0;
    };
    const double sx = tx * tx * (3 - 2 * tx);
    const double sy = ty * ty * (3 - 2 * ty);
    const double top = corner(ix, iy) + (corner(ix + 1, iy) - corner(ix, iy)) * sx;
    const double bottom = corner(ix, iy + 1) + (corner(ix + 1, iy + 1) - corner(ix, iy + 1)) * sx;
    return top + (bottom - top) * sy;
}

std::uint8_t clampByte(double v)
{
    return static_cast<std::uint8_t>(std::clamp(v, 0.0, 255.0));
}

// One tile of the synthetic photograph whose full size is width x height.
fixture::RgbImage photoTile(unsigned tileX, unsigned tileY, unsigned width, unsigned height, std::uint32_t seed)
{
    fixture::RgbImage tile = fixture::solidImage(kTileSide, kTileSide, {0, 0, 0});
    for (unsigned y = 0; y < kTileSide; ++y) {
        for (unsigned x = 0; x < kTileSide; ++x) {
            const double gx = double(tileX * kTileSide + x);
            const double gy = double(tileY * kTileSide + y);
            const double u = gx / width;
            const double v = gy / height;
            // Sky above a horizon that wanders, ground below.
            const double horizon = 0.45 + 0.08 * valueNoise(gx, 0, width / 6.0, seed);
            double r, g, b;
            if (v < horizon) {
                r = 110 + 60 * v;
                g = 150 + 50 * v;
                b = 230 - 30 * v;
                const double cloud = std::max(0.0, valueNoise(gx, gy, width / 10.0, seed + 1));
                r += 120 * cloud;
                g += 100 * cloud;
                b += 20 * cloud;
            } else {
                const double field = valueNoise(gx, gy, width / 20.0, seed + 2);
                r = 90 + 40 * field + 30 * u;
                g = 120 + 50 * field;
                b = 60 + 20 * field;
                // Foliage: texture at several scales.
                const double coarse = valueNoise(gx, gy, 40.0, seed + 3);
                const double medium = valueNoise(gx, gy, 9.0, seed + 5);
                const double fine = valueNoise(gx, gy, 2.5, seed + 6);
                const double texture = 22 * coarse + 26 * medium + 30 * fine;
                r += 0.8 * texture;
                g += texture;
                b += 0.5 * texture;
            }
            // Buildings: sharp edges at a few places.
            const double block = valueNoise(std::floor(gx / (width / 24.0)), 0, 1.0, seed + 4);
            if (block > 0.35 && v > horizon - 0.25 * (block - 0.35) && v < horizon + 0.02) {
                const bool window = (static_cast<unsigned>(gx) / 24 + static_cast<unsigned>(gy) / 32) % 3 == 0;
                r = window ? 230 : 140;
                g = window ? 210 : 130;
                b = window ? 150 : 125;
            }
            // Sensor noise.
            const double noise = double(hash32(static_cast<std::uint32_t>(gx) * 2654435761U ^
                                               static_cast<std::uint32_t>(gy) * 40503U ^ seed) &
                                        0xFF) /
                                     255.0 -
                                 0.5;
            r += 14 * noise;
            g += 14 * noise;
            b += 14 * noise;
            tile.set(x, y, {clampByte(r), clampByte(g), clampByte(b)});
        }
    }
    return tile;
}

// One tile of the gain map of a picture of width x height: brighter where
// the sky is, smooth elsewhere, as phones' gain maps are (they are computed
// from a blurred picture, and carry no sensor noise).
fixture::RgbImage gainTile(unsigned tileX, unsigned tileY, unsigned width, unsigned height, std::uint32_t seed)
{
    fixture::RgbImage tile = fixture::solidImage(kTileSide, kTileSide, {0, 0, 0});
    for (unsigned y = 0; y < kTileSide; ++y) {
        for (unsigned x = 0; x < kTileSide; ++x) {
            const double gx = double(tileX * kTileSide + x);
            const double gy = double(tileY * kTileSide + y);
            const double horizon = 0.45 + 0.08 * valueNoise(2 * gx, 0, width / 3.0, seed);
            const double sky = gy < horizon * height ? 90.0 : 0.0;
            const double light =
                40 * valueNoise(gx, gy, width / 12.0, seed + 7) + 12 * valueNoise(gx, gy, 16.0, seed + 8);
            const std::uint8_t level = clampByte(70 + sky + light);
            tile.set(x, y, {level, level, level});
        }
    }
    return tile;
}

// Adds the Apple gain map of the picture `primary` (its size width x height):
// a hidden grey grid of half the size, its 'auxC' type, its XMP; the next
// free item id is `nextId`, advanced past the items added.
void addAppleGainMap(fixture::HeifBuilder& builder, std::uint32_t primary, unsigned width, unsigned height,
                     std::uint32_t seed, std::uint32_t& nextId, const fixture::EncodeOptions& options)
{
    const unsigned mapWidth = width / 2;
    const unsigned mapHeight = height / 2;
    const unsigned columns = (mapWidth + kTileSide - 1) / kTileSide;
    const unsigned rows = (mapHeight + kTileSide - 1) / kTileSide;
    fixture::EncodeOptions encode = options;
    encode.format = fixture::PixelFormat::Gray;
    const std::uint32_t gridId = nextId++;
    fixture::ItemDescription grid;
    grid.id = gridId;
    grid.type = "grid";
    grid.data = fixture::gridPayload(static_cast<std::uint8_t>(rows - 1), static_cast<std::uint8_t>(columns - 1),
                                     mapWidth, mapHeight);
    grid.storage = fixture::Storage::Idat;
    grid.hidden = true;
    builder.addItem(std::move(grid));
    std::vector<std::uint32_t> tileIds;
    std::optional<std::uint32_t> sharedConfig;
    for (unsigned row = 0; row < rows; ++row) {
        for (unsigned column = 0; column < columns; ++column) {
            const fixture::EncodedImage tile =
                fixture::encodeImage(gainTile(column, row, mapWidth, mapHeight, seed), encode);
            fixture::ItemDescription item;
            item.id = nextId++;
            item.type = "hvc1";
            item.data = tile.data;
            item.hidden = true;
            builder.addItem(std::move(item));
            if (!sharedConfig) {
                sharedConfig = builder.hvcC({item.id}, tile.config);
            } else {
                builder.associate(*sharedConfig, {item.id}, true);
            }
            builder.ispe(item.id, tile.width, tile.height);
            tileIds.push_back(item.id);
        }
    }
    builder.addReference("dimg", gridId, tileIds);
    builder.ispe(gridId, mapWidth, mapHeight);
    const std::string type = fixture::kAuxGainMap;
    fixture::Bytes auxC(type.begin(), type.end());
    auxC.push_back(0);
    builder.addRawProperty(fixture::makeFullBox("auxC", 0, 0, auxC), {gridId}, true);
    builder.addReference("auxl", gridId, {primary});
    fixture::addXmpItem(builder, nextId++, gridId,
                        "<x:xmpmeta xmlns:x=\"adobe:ns:meta/\"><rdf:RDF "
                        "xmlns:rdf=\"http://www.w3.org/1999/02/22-rdf-syntax-ns#\"><rdf:Description "
                        "rdf:about=\"\" xmlns:HDRGainMap=\"http://ns.apple.com/HDRGainMap/1.0/\" "
                        "HDRGainMap:HDRGainMapVersion=\"65536\"/></rdf:RDF></x:xmpmeta>");
}

}  // namespace

const std::vector<PhoneFile>& phoneFiles()
{
    static const std::vector<PhoneFile> files = {
        {"12mp", 8, 6, 4032, 3024},
        {"48mp", 16, 12, 8064, 6048},
        {"200mp", 32, 24, 16320, 12240},
        {"12mp-portrait", 8, 6, 4032, 3024, true},
        {"48mp-portrait", 16, 12, 8064, 6048, true},
        {"200mp-portrait", 32, 24, 16320, 12240, true},
        {"12mp-hdr", 8, 6, 4032, 3024, false, true},
        {"200mp-hdr", 32, 24, 16320, 12240, false, true},
    };
    return files;
}

const PhoneFile& phoneFile(const std::string& name)
{
    for (const PhoneFile& file : phoneFiles()) {
        if (file.name == name) {
            return file;
        }
    }
    throw std::invalid_argument("no phone file named '" + name +
                                "' (12mp, 48mp or 200mp, each also -portrait; 12mp-hdr, 200mp-hdr)");
}

std::vector<std::uint8_t> makePhoneHeic(const PhoneFile& file, unsigned variant)
{
    fixture::EncodeOptions encode;
    encode.crf = 20;
    encode.preset = "ultrafast";

    fixture::HeifBuilder builder;
    const std::uint32_t gridId = 1;
    fixture::ItemDescription grid;
    grid.id = gridId;
    grid.type = "grid";
    grid.data = fixture::gridPayload(static_cast<std::uint8_t>(file.rows - 1),
                                     static_cast<std::uint8_t>(file.columns - 1), file.width, file.height);
    grid.storage = fixture::Storage::Idat;
    builder.addItem(std::move(grid));
    builder.setPrimary(gridId);

    const std::uint32_t seed = hash32(0x5eed0000u + variant);
    std::vector<std::uint32_t> tileIds;
    std::optional<std::uint32_t> sharedConfig;
    fixture::Bytes firstConfig;
    for (unsigned row = 0; row < file.rows; ++row) {
        for (unsigned column = 0; column < file.columns; ++column) {
            const std::uint32_t id = gridId + 1 + static_cast<std::uint32_t>(tileIds.size());
            const fixture::EncodedImage tile =
                fixture::encodeImage(photoTile(column, row, file.width, file.height, seed), encode);
            fixture::ItemDescription item;
            item.id = id;
            item.type = "hvc1";
            item.data = tile.data;
            item.hidden = true;
            builder.addItem(std::move(item));
            if (!sharedConfig) {
                sharedConfig = builder.hvcC({id}, tile.config);
            } else {
                builder.associate(*sharedConfig, {id}, true);
            }
            builder.ispe(id, tile.width, tile.height);
            tileIds.push_back(id);
        }
    }
    builder.addReference("dimg", gridId, tileIds);
    builder.ispe(gridId, file.width, file.height);
    if (file.portrait) {
        builder.irot(gridId, 270);
    }

    std::uint32_t nextId = gridId + 1 + static_cast<std::uint32_t>(tileIds.size());
    const std::uint32_t exifId = nextId++;
    fixture::ItemDescription exif;
    exif.id = exifId;
    exif.type = "Exif";
    // An HDR photo's maker note gives a headroom of some 2.3 stops.
    exif.data = fixture::exifPayload(file.hdr ? fixture::appleMakerNoteTiff(1.2, 0.005)
                                              : fixture::makeExifBlock(file.portrait ? 6 : 1));
    builder.addItem(std::move(exif));
    builder.addReference("cdsc", exifId, {gridId});

    const std::uint32_t thumbnailId = nextId++;
    fixture::RgbImage small = photoTile(0, 0, kTileSide, kTileSide, seed);
    fixture::RgbImage thumb = fixture::solidImage(320, 240, {0, 0, 0});
    for (unsigned y = 0; y < 240; ++y) {
        for (unsigned x = 0; x < 320; ++x) {
            thumb.set(x, y, small.at(x, y));
        }
    }
    const fixture::EncodedImage thumbnail = fixture::encodeImage(thumb, encode);
    fixture::ItemDescription thumbItem;
    thumbItem.id = thumbnailId;
    thumbItem.type = "hvc1";
    thumbItem.data = thumbnail.data;
    builder.addItem(std::move(thumbItem));
    builder.hvcC({thumbnailId}, thumbnail.config);
    builder.ispe(thumbnailId, thumbnail.width, thumbnail.height);
    builder.addReference("thmb", thumbnailId, {gridId});
    if (file.hdr) {
        addAppleGainMap(builder, gridId, file.width, file.height, seed, nextId, encode);
    }
    return builder.build();
}

std::vector<std::uint8_t> makePhoneAvif(const PhoneFile& file, bool grid)
{
    const std::uint32_t seed = hash32(0x5eed0000u);
    fixture::TempFile picture(".ppm");
    {
        // The whole picture, tile row by tile row, as a binary PPM.
        std::ofstream out(picture.path(), std::ios::binary);
        out << "P6\n" << file.width << " " << file.height << "\n255\n";
        std::vector<char> row(std::size_t(file.width) * 3);
        for (unsigned tileRow = 0; tileRow < file.rows; ++tileRow) {
            std::vector<fixture::RgbImage> tiles;
            for (unsigned column = 0; column < file.columns; ++column) {
                tiles.push_back(photoTile(column, tileRow, file.width, file.height, seed));
            }
            for (unsigned y = 0; y < kTileSide && tileRow * kTileSide + y < file.height; ++y) {
                for (unsigned x = 0; x < file.width; ++x) {
                    const fixture::Rgb pixel = tiles[x / kTileSide].at(x % kTileSide, y);
                    row[3 * std::size_t(x)] = static_cast<char>(pixel.r);
                    row[3 * std::size_t(x) + 1] = static_cast<char>(pixel.g);
                    row[3 * std::size_t(x) + 2] = static_cast<char>(pixel.b);
                }
                out.write(row.data(), static_cast<std::streamsize>(row.size()));
            }
        }
    }
    fixture::TempFile png(".png");
    fixture::TempFile avif(".avif");
    std::string options = "-s 8 -j 2 --min 18 --max 30 -y 420";
    if (grid) {
        options += " --grid " + std::to_string(file.width / 504) + "x" + std::to_string(file.height / 504);
    }
    std::string output;
    if (fixture::runCommand(
            "ffmpeg -v error -y -i " + fixture::shellQuote(picture.path()) + " " + fixture::shellQuote(png.path()),
            output) != 0 ||
        fixture::runCommand(
            "avifenc " + options + " " + fixture::shellQuote(png.path()) + " " + fixture::shellQuote(avif.path()),
            output) != 0) {
        throw std::runtime_error("the AVIF file cannot be made: " + output);
    }
    return fixture::readFileBytes(avif.path());
}

}  // namespace ambrelbench
