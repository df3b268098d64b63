// Cross-checks the fixture files against independent readers: libheif's
// heif-info must accept them and heif-convert must decode them to the
// expected size with every tile's colour in its place; image sequences are
// checked with ffprobe and ffmpeg. Skipped when those programs are missing.
#include <gtest/gtest.h>

#include <sstream>

#include "tests/fixtures/heif_samples.h"
#include "tests/fixtures_test/test_support.h"

using namespace ambrel::heif;

namespace fixture {
namespace {

using testing::describe;
using testing::near;

// A uniform rectangle of the image before transforms: [x0, x1) x [y0, y1).
struct Patch
{
    unsigned x0, y0, x1, y1;
    Rgb colour;
};

struct Transform
{
    std::int32_t rotation = 0;           // anti-clockwise degrees, applied first
    std::optional<unsigned> mirrorAxis;  // 0: top and bottom swap, 1: left and right swap
};

std::vector<Patch> gridPatches(const SampleFile& file, const GridOptions& options)
{
    std::vector<Patch> patches;
    for (unsigned row = 0; row < options.rows; ++row) {
        for (unsigned column = 0; column < options.columns; ++column) {
            const unsigned x0 = column * options.tileWidth;
            const unsigned y0 = row * options.tileHeight;
            if (x0 >= file.codedWidth || y0 >= file.codedHeight) {
                continue;
            }
            patches.push_back(Patch{x0, y0, std::min(x0 + options.tileWidth, file.codedWidth),
                                    std::min(y0 + options.tileHeight, file.codedHeight),
                                    file.tileColours.at(row * options.columns + column)});
        }
    }
    return patches;
}

std::vector<Patch> quadrantPatches(unsigned width, unsigned height)
{
    const auto colours = defaultQuadrantColours();
    const unsigned w = width / 2;
    const unsigned h = height / 2;
    return {Patch{0, 0, w, h, colours[0]}, Patch{w, 0, width, h, colours[1]}, Patch{0, h, w, height, colours[2]},
            Patch{w, h, width, height, colours[3]}};
}

// Where a pixel of the untransformed image lands in the output.
std::pair<unsigned, unsigned> transformPoint(unsigned x, unsigned y, unsigned width, unsigned height,
                                             const Transform& transform)
{
    unsigned outX = x;
    unsigned outY = y;
    unsigned outWidth = width;
    unsigned outHeight = height;
    switch (transform.rotation) {
    case 90:
        outX = y;
        outY = width - 1 - x;
        std::swap(outWidth, outHeight);
        break;
    case 180:
        outX = width - 1 - x;
        outY = height - 1 - y;
        break;
    case 270:
        outX = height - 1 - y;
        outY = x;
        std::swap(outWidth, outHeight);
        break;
    default: break;
    }
    if (transform.mirrorAxis) {
        if (*transform.mirrorAxis == 0) {
            outY = outHeight - 1 - outY;
        } else {
            outX = outWidth - 1 - outX;
        }
    }
    return {outX, outY};
}

// Writes the file, checks heif-info accepts it, decodes it with heif-convert
// and compares size and patch colours.
void checkWithLibheif(const Bytes& bytes, unsigned width, unsigned height, const std::vector<Patch>& patches,
                      const Transform& transform = {})
{
    TempFile file(".heic");
    writeFileBytes(file.path(), bytes);
    std::string info;
    ASSERT_EQ(testing::heifInfo(file.path(), info), 0) << info;

    const auto decoded = testing::decodeWithLibheif(file.path());
    ASSERT_TRUE(decoded);
    const bool swapped = transform.rotation == 90 || transform.rotation == 270;
    EXPECT_EQ(decoded->width, swapped ? height : width);
    EXPECT_EQ(decoded->height, swapped ? width : height);
    if (decoded->width != (swapped ? height : width) || decoded->height != (swapped ? width : height)) {
        return;
    }
    for (const Patch& patch : patches) {
        // The centre and points a little inside each corner: away from tile
        // edges, where chroma upsampling blends neighbours.
        const unsigned inset = 4;
        const std::pair<unsigned, unsigned> points[] = {
            {(patch.x0 + patch.x1) / 2, (patch.y0 + patch.y1) / 2},
            {patch.x0 + inset, patch.y0 + inset},
            {patch.x1 - 1 - inset, patch.y1 - 1 - inset},
        };
        for (const auto& [x, y] : points) {
            const auto [outX, outY] = transformPoint(x, y, width, height, transform);
            const Rgb got = decoded->at(outX, outY);
            EXPECT_TRUE(near(got, patch.colour))
                << "source (" << x << "," << y << ") -> output (" << outX << "," << outY << "): " << describe(got)
                << " expected " << describe(patch.colour);
        }
    }
}

class LibheifCrossCheck : public ::testing::Test
{
protected:
    void SetUp() override
    {
        FIXTURE_REQUIRE_PROGRAM("ffmpeg");
        FIXTURE_REQUIRE_PROGRAM("heif-info");
        FIXTURE_REQUIRE_PROGRAM("heif-convert");
    }
};

TEST_F(LibheifCrossCheck, GridTilesLandInPlaceAndOutputIsCropped)
{
    GridOptions options;
    options.rows = 2;
    options.columns = 3;
    options.outputWidth = 170;   // crops into the third column
    options.outputHeight = 100;  // and into the second row
    const SampleFile file = makeGridHeic(options);
    ASSERT_EQ(file.tileIds.size(), 6u);
    checkWithLibheif(file.bytes(), 170, 100, gridPatches(file, options));
}

TEST_F(LibheifCrossCheck, GridWithExifRotationAndThumbnail)
{
    GridOptions options;
    options.outputWidth = 100;
    options.outputHeight = 120;
    options.exifOrientation = 6;
    options.rotation = 90;
    options.thumbnail = ThumbnailOptions{};
    const SampleFile file = makeGridHeic(options);
    EXPECT_NE(file.exifId, 0u);
    EXPECT_NE(file.thumbnailId, 0u);

    TempFile path(".heic");
    file.builder.writeFile(path.path());
    std::string info;
    ASSERT_EQ(testing::heifInfo(path.path(), info), 0) << info;
    EXPECT_NE(info.find("thumbnail: 32x32"), std::string::npos) << info;
    EXPECT_NE(info.find("Exif: 36 bytes"), std::string::npos) << info;
    EXPECT_NE(info.find("image: 120x100"), std::string::npos) << "rotated size\n" << info;

    checkWithLibheif(file.bytes(), 100, 120, gridPatches(file, options), Transform{90, std::nullopt});
}

TEST_F(LibheifCrossCheck, EveryRotationAndMirror)
{
    for (std::int32_t rotation : {0, 90, 180, 270}) {
        for (std::optional<unsigned> mirror :
             {std::optional<unsigned>(), std::optional<unsigned>(0u), std::optional<unsigned>(1u)}) {
            SCOPED_TRACE("rotation " + std::to_string(rotation) + " mirror " +
                         (mirror ? std::to_string(*mirror) : std::string("none")));
            SingleImageOptions options;
            options.width = 64;
            options.height = 48;
            options.rotation = rotation;
            options.mirrorAxis = mirror;
            const SampleFile file = makeSingleImageHeic(options);
            checkWithLibheif(file.bytes(), 64, 48, quadrantPatches(64, 48), Transform{rotation, mirror});
        }
    }
}

TEST_F(LibheifCrossCheck, CleanApertureCropsTheCentre)
{
    SampleFile file = makeSingleImageHeic();
    file.builder.clap(file.primaryId, {40, 1}, {30, 1}, {0, 1}, {0, 1});
    // 64x64 cropped to the centred 40x30: x 12..52, y 17..47.
    const auto colours = defaultQuadrantColours();
    checkWithLibheif(file.bytes(), 40, 30,
                     {Patch{0, 0, 20, 15, colours[0]}, Patch{20, 0, 40, 15, colours[1]},
                      Patch{0, 15, 20, 30, colours[2]}, Patch{20, 15, 40, 30, colours[3]}});
}

TEST_F(LibheifCrossCheck, ItemLayoutVariants)
{
    GridOptions options;
    options.rows = 2;
    options.columns = 2;
    options.outputWidth = 120;
    options.outputHeight = 100;
    const SampleFile base = makeGridHeic(options);
    const auto patches = gridPatches(base, options);

    struct Variant
    {
        const char* name;
        void (*apply)(SampleFile&);
    };
    const Variant variants[] = {
        {"tiles in three extents stored backwards",
         [](SampleFile& f) {
             for (auto id : f.tileIds) {
                 f.builder.item(id).extentCount = 3;
                 f.builder.item(id).reverseExtentStorage = true;
             }
         }},
        {"base offsets",
         [](SampleFile& f) {
             f.builder.setUseBaseOffset(true);
             for (auto id : f.tileIds) {
                 f.builder.item(id).extentCount = 2;
             }
         }},
        {"tiles in idat",
         [](SampleFile& f) {
             for (auto id : f.tileIds) {
                 f.builder.item(id).storage = Storage::Idat;
             }
         }},
        {"grid in mdat", [](SampleFile& f) { f.builder.item(f.primaryId).storage = Storage::Mdat; }},
        {"mdat before meta", [](SampleFile& f) { f.builder.setMdatFirst(true); }},
        {"8-byte iloc fields", [](SampleFile& f) { f.builder.setIlocFieldSizes(8, 8, 8).setUseBaseOffset(true); }},
        {"unknown root boxes and mdat padding",
         [](SampleFile& f) {
             f.builder.addRootBox(makeBox("free", Bytes(32)), RootPosition::AfterFtyp);
             f.builder.addRootBox(makeBox("abcd", Bytes(5)), RootPosition::AfterMeta);
             f.builder.addRootBox(makeBox("wxyz", Bytes(7)), RootPosition::AtEnd);
             f.builder.setMdatPadding(999);
         }},
        {"iinf version 1 and no dinf",
         [](SampleFile& f) { f.builder.setIinfVersion(1).setWriteDataInformation(false); }},
        {"colr nclx",
         [](SampleFile& f) {
             for (auto id : f.tileIds) {
                 f.builder.colr({id}, 1, 13, 6, true);
             }
         }},
    };
    for (const auto& variant : variants) {
        SCOPED_TRACE(variant.name);
        SampleFile file = base;
        variant.apply(file);
        checkWithLibheif(file.bytes(), 120, 100, patches);
    }
}

TEST_F(LibheifCrossCheck, LargeItemIds)
{
    GridOptions options;
    options.firstId = 0x10000 - 2;  // the grid and a tile below, the rest above 16 bits
    options.exifOrientation = 1;
    const SampleFile file = makeGridHeic(options);
    EXPECT_GT(file.tileIds.back(), 0xFFFFu);
    checkWithLibheif(file.bytes(), 128, 128, gridPatches(file, options));
}

TEST_F(LibheifCrossCheck, TenBitAndFourFourFourGrids)
{
    for (PixelFormat format : {PixelFormat::Yuv420_10bit, PixelFormat::Yuv444}) {
        SCOPED_TRACE(format == PixelFormat::Yuv444 ? "4:4:4" : "10-bit");
        GridOptions options;
        options.rows = 1;
        options.columns = 2;
        options.encode.format = format;
        options.colr = true;
        const SampleFile file = makeGridHeic(options);
        checkWithLibheif(file.bytes(), 128, 64, gridPatches(file, options));
    }
}

TEST_F(LibheifCrossCheck, LimitedRangeWithColr)
{
    SingleImageOptions options;
    options.encode.fullRange = false;
    options.colr = true;
    const SampleFile file = makeSingleImageHeic(options);
    checkWithLibheif(file.bytes(), 64, 64, quadrantPatches(64, 64));
}

// Decodes every picture of the sequence with ffmpeg in file order.
std::vector<RgbImage> decodeSequence(const std::string& path, unsigned width, unsigned height)
{
    TempFile raw(".rgb");
    std::string output;
    EXPECT_EQ(runCommand("ffmpeg -hide_banner -loglevel error -nostdin -y -i " + shellQuote(path) +
                             " -vsync passthrough -f rawvideo -pix_fmt rgb24 " + shellQuote(raw.path()),
                         output),
              0)
        << output;
    const Bytes bytes = readFileBytes(raw.path());
    const std::size_t frameBytes = std::size_t(width) * height * 3;
    std::vector<RgbImage> frames;
    for (std::size_t at = 0; at + frameBytes <= bytes.size(); at += frameBytes) {
        frames.push_back(RgbImage{width, height,
                                  Bytes(bytes.begin() + static_cast<std::ptrdiff_t>(at),
                                        bytes.begin() + static_cast<std::ptrdiff_t>(at + frameBytes))});
    }
    return frames;
}

TEST(SequenceCrossCheck, FfmpegReadsEveryPictureInOrder)
{
    FIXTURE_REQUIRE_PROGRAM("ffmpeg");
    FIXTURE_REQUIRE_PROGRAM("ffprobe");
    for (bool intraOnly : {true, false}) {
        SCOPED_TRACE(intraOnly ? "intra only" : "predicted pictures");
        SequenceOptions options;
        options.frames = 4;
        options.width = 64;
        options.height = 48;
        options.intraOnly = intraOnly;
        options.firstColour = 4;
        TempFile file(".heifs");
        writeFileBytes(file.path(), makeImageSequence(options));

        std::string probe;
        ASSERT_EQ(runCommand("ffprobe -v error -count_frames -select_streams v:0 -show_entries "
                             "stream=codec_name,codec_tag_string,width,height,nb_read_frames -of default=nw=1 " +
                                 shellQuote(file.path()),
                             probe),
                  0)
            << probe;
        EXPECT_NE(probe.find("codec_name=hevc"), std::string::npos) << probe;
        EXPECT_NE(probe.find("codec_tag_string=hvc1"), std::string::npos) << probe;
        EXPECT_NE(probe.find("width=64"), std::string::npos) << probe;
        EXPECT_NE(probe.find("height=48"), std::string::npos) << probe;
        EXPECT_NE(probe.find("nb_read_frames=4"), std::string::npos) << probe;

        std::string packets;
        ASSERT_EQ(runCommand("ffprobe -v error -select_streams v:0 -show_entries packet=pts,flags -of csv=p=0 " +
                                 shellQuote(file.path()),
                             packets),
                  0);
        std::istringstream lines(packets);
        std::string line;
        std::vector<std::string> entries;
        while (std::getline(lines, line)) {
            entries.push_back(line);
        }
        ASSERT_EQ(entries.size(), 4u) << packets;
        for (std::size_t i = 0; i < entries.size(); ++i) {
            const bool key = entries[i].find('K') != std::string::npos;
            EXPECT_EQ(entries[i].substr(0, entries[i].find(',')), std::to_string(i * 100));
            EXPECT_EQ(key, intraOnly || i == 0) << entries[i];
        }

        const auto frames = decodeSequence(file.path(), 64, 48);
        ASSERT_EQ(frames.size(), 4u);
        for (unsigned i = 0; i < frames.size(); ++i) {
            const Rgb got = frames[i].at(32, 24);
            // Predicted pictures of flat colour drift a little more at this quality.
            EXPECT_TRUE(near(got, paletteColour(options.firstColour + i), intraOnly ? 16 : 40))
                << "frame " << i << ": " << describe(got) << " expected "
                << describe(paletteColour(options.firstColour + i));
        }
    }
}

}  // namespace
}  // namespace fixture
