// ambrel-make-samples FOLDER: writes a few HEIC files made by the fixture
// writer (HEVC tiles encoded with ffmpeg), and two that cannot be converted,
// for trying the application and for its screenshots.
//
//   landscape.heic       640 x 400 picture, one coded image
//   large_landscape.heic the same scene at 4032 x 3024, a phone photo's size
//   with_depth.heic      the 640 x 400 scene with a depth map and an HDR gain map
//   grid_tiles.HEIC      3 x 2 grid of 128 x 128 tiles, Exif orientation 1
//   rotated.heic         2 x 1 grid rotated a quarter turn, with Exif
//   not_a_photo.heic     text, not a HEIF file
//   empty.heic           no bytes at all
#include <cmath>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <string>

#include "tests/fixtures/heif_samples.h"

using namespace ambrel::heif;

namespace {

// A sky, a sun and two hills.
fixture::RgbImage landscape(unsigned width, unsigned height)
{
    fixture::RgbImage image = fixture::solidImage(width, height, {0, 0, 0});
    for (unsigned y = 0; y < height; ++y) {
        for (unsigned x = 0; x < width; ++x) {
            const double u = static_cast<double>(x) / width;
            const double v = static_cast<double>(y) / height;
            fixture::Rgb colour{static_cast<std::uint8_t>(120 + 80 * v), static_cast<std::uint8_t>(150 + 60 * v),
                                static_cast<std::uint8_t>(235 - 20 * v)};
            const double sun = std::hypot(u - 0.75, (v - 0.28) * height / width);
            if (sun < 0.07) {
                colour = {255, 214, 90};
            }
            const double far = 0.62 - 0.16 * std::exp(-std::pow((u - 0.35) / 0.18, 2));
            const double near = 0.8 - 0.12 * std::exp(-std::pow((u - 0.72) / 0.22, 2));
            if (v > far) {
                colour = {96, 142, 110};
            }
            if (v > near) {
                colour = {64, 118, 76};
            }
            image.set(x, y, colour);
        }
    }
    return image;
}

void write(const std::filesystem::path& path, const fixture::Bytes& bytes)
{
    fixture::writeFileBytes(path.string(), bytes);
    std::printf("%s\n", path.string().c_str());
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: ambrel-make-samples FOLDER\n");
        return 2;
    }
    try {
        const std::filesystem::path folder = argv[1];
        std::filesystem::create_directories(folder);

        fixture::SingleImageOptions single;
        single.width = 640;
        single.height = 400;
        single.picture = landscape(640, 400);
        write(folder / "landscape.heic", fixture::makeSingleImageHeic(single).bytes());

        fixture::SampleFile withDepth = fixture::makeSingleImageHeic(single);
        fixture::addAuxiliaryItem(withDepth.builder, 20, withDepth.primaryId, fixture::kAuxDepth,
                                  fixture::greyQuadrants(320, 200));
        fixture::addAuxiliaryItem(withDepth.builder, 21, withDepth.primaryId, fixture::kAuxGainMap,
                                  fixture::greyQuadrants(320, 200));
        write(folder / "with_depth.heic", withDepth.bytes());

        fixture::SingleImageOptions large;
        large.width = 4032;
        large.height = 3024;
        large.picture = landscape(4032, 3024);
        write(folder / "large_landscape.heic", fixture::makeSingleImageHeic(large).bytes());

        fixture::GridOptions grid;
        grid.rows = 2;
        grid.columns = 3;
        grid.tileWidth = 128;
        grid.tileHeight = 128;
        grid.exifOrientation = 1;
        write(folder / "grid_tiles.HEIC", fixture::makeGridHeic(grid).bytes());

        fixture::GridOptions rotated;
        rotated.rows = 1;
        rotated.columns = 2;
        rotated.tileWidth = 128;
        rotated.tileHeight = 128;
        rotated.rotation = 90;
        rotated.exifOrientation = 1;
        rotated.firstColour = 4;
        write(folder / "rotated.heic", fixture::makeGridHeic(rotated).bytes());

        const std::string text = "This is a text file with a .heic name.\n";
        write(folder / "not_a_photo.heic", fixture::Bytes(text.begin(), text.end()));
        write(folder / "empty.heic", {});
    } catch (const std::exception& error) {
        std::fprintf(stderr, "ambrel-make-samples: %s\n", error.what());
        return 1;
    }
    return 0;
}
