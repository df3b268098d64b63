// The conversion's plan: one row per kind of image and settings, and the
// layout, route and orientation it decides before anything is decoded.
#include <gtest/gtest.h>

#include <functional>

#include "pipeline/plan.h"

using namespace ambrel::pipeline;

namespace {

using Tweak = std::function<void(ImageFacts&, ConversionSettings&)>;

ImageTransform turn(std::uint32_t degrees)
{
    return {ImageTransform::Kind::Rotate, degrees, {}};
}

// A 2 x 2 grid of tiles of the given size, the picture their size.
Tweak grid(std::uint32_t tileWidth, std::uint32_t tileHeight)
{
    return [=](ImageFacts& f, ConversionSettings&) {
        f.rows = f.columns = 2;
        f.tileWidth = tileWidth;
        f.tileHeight = tileHeight;
        f.width = 2 * tileWidth;
        f.height = 2 * tileHeight;
    };
}

TEST(PlanTest, DecidesLayoutRouteAndOrientationFromTheFacts)
{
    using L = DecodedLayout;
    using R = PixelRoute;
    struct Row
    {
        const char* name;
        Tweak tweak;
        DecodedLayout layout;
        PixelRoute route;
        bool keepOrientation = false;
        float scale = 1.0f;
    };
    const Tweak rotated = [](ImageFacts& f, ConversionSettings&) { f.transforms = {turn(90)}; };
    const std::vector<Row> rows = {
        {"plain 4:2:0 JPEG", [](ImageFacts&, ConversionSettings&) {}, L::JpegPlanes, R::Streamed},
        {"monochrome", [](ImageFacts& f, ConversionSettings&) { f.chromaFormat = 0; }, L::Bgr8, R::Streamed},
        {"BT.2020 matrix", [](ImageFacts& f, ConversionSettings&) { f.matrix = 9; }, L::Bgr8, R::Streamed},
        {"BT.601 matrix", [](ImageFacts& f, ConversionSettings&) { f.matrix = 6; }, L::JpegPlanes, R::Streamed},
        {"grid of odd tiles", grid(255, 256), L::Bgr8, R::Streamed},
        {"rotated grid of odd tiles",
         [&](ImageFacts& f, ConversionSettings& s) { grid(255, 256)(f, s), rotated(f, s); }, L::Bgr8,
         R::TransformedBands},
        {"rotated grid of even tiles",
         [&](ImageFacts& f, ConversionSettings& s) { grid(256, 256)(f, s), rotated(f, s); }, L::JpegPlanes,
         R::TurnedPlanes},
        {"rotated, 255 wide", [&](ImageFacts& f, ConversionSettings& s) { f.width = f.tileWidth = 255, rotated(f, s); },
         L::Bgr8, R::TransformedBands},
        {"rotated, EXIF says so", [&](ImageFacts& f, ConversionSettings& s) { f.exifShowsTurns = true, rotated(f, s); },
         L::JpegPlanes, R::Streamed, true},
        {"rotated, EXIF says so, PNG",
         [&](ImageFacts& f, ConversionSettings& s) {
             f.exifShowsTurns = true, s.format = OutputFormat::Png, rotated(f, s);
         },
         L::Bgr8, R::TransformedBands},
        {"cropped",
         [](ImageFacts& f, ConversionSettings&) {
             f.transforms = {{ImageTransform::Kind::CleanAperture, 0, {}}};
         },
         L::Bgr8, R::TransformedBands},
        {"alpha, 16-bit PNG",
         [](ImageFacts& f, ConversionSettings& s) { f.alpha = true, s.format = OutputFormat::Png, s.depth = 16; },
         L::Bgr16, R::TransformedBands},
        {"10-bit grey picture, TIFF",
         [](ImageFacts& f, ConversionSettings& s) {
             f.greyPicture = true, f.bitDepth = 10, s.format = OutputFormat::Tiff;
         },
         L::Grey16, R::Whole},
        {"8-bit source, 16-bit JPEG 2000",
         [](ImageFacts&, ConversionSettings& s) { s.format = OutputFormat::Jpeg2000, s.depth = 16; }, L::Bgr8,
         R::Whole},
        {"a later frame", [](ImageFacts& f, ConversionSettings&) { f.skippedPictures = 2; }, L::Bgr8,
         R::TransformedBands},
        {"EXIF that cannot be updated", [](ImageFacts& f, ConversionSettings&) { f.metadataReady = false; }, L::Bgr8,
         R::TransformedBands},
        {"scale by a third", [](ImageFacts&, ConversionSettings& s) { s.scale = 1.0f / 3; }, L::Bgr8, R::Whole, false,
         1.0f / 3},
        {"longer side bounded to a quarter", [](ImageFacts&, ConversionSettings& s) { s.maxSide = 1000; },
         L::JpegPlanes, R::Streamed, false, 0.25f},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        ImageFacts facts;
        facts.width = facts.tileWidth = 4000;
        facts.height = facts.tileHeight = 3000;
        ConversionSettings settings;
        row.tweak(facts, settings);
        const ConversionPlan plan = planFor(facts, settings);
        EXPECT_EQ(plan.layout, row.layout);
        EXPECT_EQ(plan.route, row.route);
        EXPECT_EQ(plan.keepOrientation, row.keepOrientation);
        EXPECT_FLOAT_EQ(plan.scale, row.scale);
    }
}

}  // namespace
