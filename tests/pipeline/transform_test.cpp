// The image's transformative properties ('clap', 'irot', 'imir') in
// association order, the mosaic helpers, and scaling.
#include <gtest/gtest.h>

#include <cmath>

#include <opencv2/imgproc.hpp>

#include "pipeline/decode/mosaic.h"
#include "tests/pipeline/pipeline_support.h"

using namespace ambrel::heif;
using namespace ambrel::pipeline;

namespace {

using namespace pipetest;

// The default single image: quadrants red, green, blue, yellow (top left,
// top right, bottom left, bottom right).
const std::vector<Rgb> kQuadrants = fixture::defaultQuadrantColours();
enum Quadrant { TopLeft = 0, TopRight = 1, BottomLeft = 2, BottomRight = 3 };

class TransformTest : public PipelineTest
{
protected:
    // A 64 x 32 quadrant picture, so that a quarter turn shows in the size.
    static fixture::SampleFile quadrantFile()
    {
        fixture::SingleImageOptions options;
        options.width = 64;
        options.height = 32;
        return fixture::makeSingleImageHeic(options);
    }

    // Expects the corners of the image to show these quadrants of the source.
    static void expectCorners(const cv::Mat& image, Quadrant topLeft, Quadrant topRight, Quadrant bottomLeft,
                              Quadrant bottomRight)
    {
        const int right = image.cols - 4;
        const int bottom = image.rows - 4;
        EXPECT_TRUE(colourNear(image, 3, 3, kQuadrants[topLeft])) << "top left";
        EXPECT_TRUE(colourNear(image, right, 3, kQuadrants[topRight])) << "top right";
        EXPECT_TRUE(colourNear(image, 3, bottom, kQuadrants[bottomLeft])) << "bottom left";
        EXPECT_TRUE(colourNear(image, right, bottom, kQuadrants[bottomRight])) << "bottom right";
    }
};

TEST_F(TransformTest, RotationTurnsAnticlockwise)
{
    struct Case
    {
        std::int32_t angle;
        int width, height;
        Quadrant corners[4];
    };
    for (const Case& c : {Case{90, 32, 64, {TopRight, BottomRight, TopLeft, BottomLeft}},
                          Case{180, 64, 32, {BottomRight, BottomLeft, TopRight, TopLeft}},
                          Case{270, 32, 64, {BottomLeft, TopLeft, BottomRight, TopRight}}}) {
        SCOPED_TRACE(c.angle);
        fixture::SampleFile file = quadrantFile();
        file.builder.irot(file.primaryId, c.angle);
        const cv::Mat image = convertToImage(file.bytes());
        ASSERT_EQ(image.cols, c.width);
        ASSERT_EQ(image.rows, c.height);
        expectCorners(image, c.corners[0], c.corners[1], c.corners[2], c.corners[3]);
    }
}

TEST_F(TransformTest, MirrorAxes)
{
    fixture::SampleFile file = quadrantFile();
    file.builder.imir(file.primaryId, 0);
    cv::Mat image = convertToImage(file.bytes());
    ASSERT_EQ(image.cols, 64);
    expectCorners(image, BottomLeft, BottomRight, TopLeft, TopRight);  // top and bottom swap

    file = quadrantFile();
    file.builder.imir(file.primaryId, 1);
    image = convertToImage(file.bytes());
    ASSERT_EQ(image.cols, 64);
    expectCorners(image, TopRight, TopLeft, BottomRight, BottomLeft);  // left and right swap
}

TEST_F(TransformTest, TransformsApplyInAssociationOrder)
{
    fixture::SampleFile rotateFirst = quadrantFile();
    rotateFirst.builder.irot(rotateFirst.primaryId, 90);
    rotateFirst.builder.imir(rotateFirst.primaryId, 1);
    cv::Mat image = convertToImage(rotateFirst.bytes());
    ASSERT_EQ(image.cols, 32);
    expectCorners(image, BottomRight, TopRight, BottomLeft, TopLeft);

    fixture::SampleFile mirrorFirst = quadrantFile();
    mirrorFirst.builder.imir(mirrorFirst.primaryId, 1);
    mirrorFirst.builder.irot(mirrorFirst.primaryId, 90);
    image = convertToImage(mirrorFirst.bytes());
    ASSERT_EQ(image.cols, 32);
    expectCorners(image, TopLeft, BottomLeft, TopRight, BottomRight);
}

TEST_F(TransformTest, IdentityPrimaryAddsItsTransformsAfterItsSources)
{
    // An 'iden' primary shows its source image with the 'iden' item's own
    // transforms applied after the source's.
    struct Case
    {
        const char* what;
        bool mirror;  // the 'iden' item mirrors (axis 1) instead of turning by 90
        int width, height;
        Quadrant corners[4];
    };
    for (const Case& c : {Case{"irot 90 over irot 90", false, 64, 32, {BottomRight, BottomLeft, TopRight, TopLeft}},
                          Case{"imir over irot 90", true, 32, 64, {BottomRight, TopRight, BottomLeft, TopLeft}}}) {
        SCOPED_TRACE(c.what);
        fixture::SampleFile file = quadrantFile();
        file.builder.item(file.primaryId).hidden = true;
        file.builder.irot(file.primaryId, 90);
        fixture::ItemDescription identity;
        identity.id = 30;
        identity.type = "iden";
        identity.omitLocation = true;
        file.builder.addItem(std::move(identity));
        file.builder.addReference("dimg", 30, {file.primaryId});
        if (c.mirror) {
            file.builder.imir(30, 1);
        } else {
            file.builder.irot(30, 90);
        }
        file.builder.setPrimary(30);
        const cv::Mat image = convertToImage(file.bytes());
        ASSERT_EQ(image.cols, c.width);
        ASSERT_EQ(image.rows, c.height);
        expectCorners(image, c.corners[0], c.corners[1], c.corners[2], c.corners[3]);

        // The picture for pixel callers is the same one.
        const Bytes bytes = file.bytes();
        const cv::Mat picture = decodeHeifPicture(bytes.data(), bytes.size());
        ASSERT_EQ(picture.cols, c.width);
        ASSERT_EQ(picture.rows, c.height);
        expectCorners(picture, c.corners[0], c.corners[1], c.corners[2], c.corners[3]);
    }
}

TEST_F(TransformTest, CleanApertureCropsThePaddedPicture)
{
    // A 64 x 64 picture holding a 29 x 40 image at its top left corner, as
    // encoders pad odd sizes: the aperture's centre is offset by -35/2, -12.
    fixture::SingleImageOptions options;
    fixture::SampleFile padded = fixture::makeSingleImageHeic(options);
    padded.builder.clap(padded.primaryId, {29, 1}, {40, 1}, {std::uint32_t(-35), 2}, {std::uint32_t(-12), 1});
    cv::Mat image = convertToImage(padded.bytes());
    ASSERT_EQ(image.cols, 29);
    ASSERT_EQ(image.rows, 40);
    EXPECT_TRUE(colourNear(image, 2, 2, kQuadrants[TopLeft]));
    EXPECT_TRUE(colourNear(image, 26, 28, kQuadrants[TopLeft]));
    EXPECT_TRUE(colourNear(image, 2, 38, kQuadrants[BottomLeft]));

    // A centred aperture with an odd margin: the left and top edges sit at
    // (64 - 30) / 2 = 17.
    fixture::SampleFile centred = fixture::makeSingleImageHeic(options);
    centred.builder.clap(centred.primaryId, {30, 1}, {30, 1}, {0, 1}, {0, 1});
    image = convertToImage(centred.bytes());
    ASSERT_EQ(image.cols, 30);
    ASSERT_EQ(image.rows, 30);
    expectCorners(image, TopLeft, TopRight, BottomLeft, BottomRight);
    // Column 12 of the crop is column 29 of the picture, still red; column 17
    // is column 34, green. (The columns nearer the edge at 32 blend the two:
    // chroma is interpolated, and the JPEG halves it again.)
    EXPECT_TRUE(colourNear(image, 12, 5, kQuadrants[TopLeft], 40));
    EXPECT_TRUE(colourNear(image, 17, 5, kQuadrants[TopRight], 40));
}

TEST_F(TransformTest, UnusableCleanApertureIsIgnored)
{
    using F = fixture::HeifBuilder;
    struct Case
    {
        const char* what;
        std::function<void(F&, std::uint32_t)> add;
    };
    const std::vector<Case> cases = {
        {"zero width denominator",
         [](F& b, std::uint32_t id) {
             b.clap(id, {30, 0}, {30, 1}, {0, 1}, {0, 1});
         }},
        {"zero offset denominator",
         [](F& b, std::uint32_t id) {
             b.clap(id, {30, 1}, {30, 1}, {0, 1}, {1, 0});
         }},
        {"taller than the picture",
         [](F& b, std::uint32_t id) {
             b.clap(id, {29, 1}, {100, 1}, {0, 1}, {0, 1});
         }},
        {"beyond the right edge",
         [](F& b, std::uint32_t id) {
             b.clap(id, {30, 1}, {30, 1}, {20, 1}, {0, 1});
         }},
        {"empty",
         [](F& b, std::uint32_t id) {
             b.clap(id, {0, 1}, {30, 1}, {0, 1}, {0, 1});
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        fixture::SampleFile file = fixture::makeSingleImageHeic();
        c.add(file.builder, file.primaryId);
        const cv::Mat image = convertToImage(file.bytes());
        EXPECT_EQ(image.cols, 64);
        EXPECT_EQ(image.rows, 64);
    }
}

TEST_F(TransformTest, GridOutputCropComesBeforeTheCleanAperture)
{
    // Output 70 x 70 of a 128 x 128 mosaic, then a centred 20 x 20 aperture:
    // 25..44 of the output, all inside the first tile. Taken from the whole
    // mosaic it would straddle all four tiles.
    fixture::GridOptions options;
    options.outputWidth = 70;
    options.outputHeight = 70;
    fixture::SampleFile file = fixture::makeGridHeic(options);
    file.builder.clap(file.primaryId, {20, 1}, {20, 1}, {0, 1}, {0, 1});
    const cv::Mat image = convertToImage(file.bytes());
    ASSERT_EQ(image.cols, 20);
    ASSERT_EQ(image.rows, 20);
    for (const auto& [x, y] : {std::pair{2, 2}, {17, 2}, {2, 17}, {17, 17}}) {
        EXPECT_TRUE(colourNear(image, x, y, file.tileColours[0]));
    }
}

TEST_F(TransformTest, ScaleResizesBothAxes)
{
    fixture::SingleImageOptions options;
    options.width = 64;
    options.height = 48;
    const Bytes file = fixture::makeSingleImageHeic(options).bytes();
    const cv::Mat half = convertToImage(file, false, 0.5f);
    EXPECT_EQ(half.cols, 32);
    EXPECT_EQ(half.rows, 24);
    EXPECT_TRUE(colourNear(half, 4, 4, kQuadrants[TopLeft]));
    EXPECT_TRUE(colourNear(half, 28, 20, kQuadrants[BottomRight]));

    // 1.0 changes nothing.
    cv::Mat picture(17, 33, CV_8UC3);
    cv::randu(picture, 0, 256);
    const cv::Mat same = ambrel::pipeline::scaleImage(picture, 1.0f);
    ASSERT_EQ(same.size(), picture.size());
    EXPECT_EQ(cv::norm(same, picture, cv::NORM_INF), 0.0);
    EXPECT_EQ(ambrel::pipeline::scaleImage(picture, 0.5f).size(), cv::Size(16, 8));
    EXPECT_THROW(ambrel::pipeline::scaleImage(picture, -1.0f), std::invalid_argument);
    EXPECT_THROW(ambrel::pipeline::scaleImage(picture, std::nanf("")), std::invalid_argument);
    EXPECT_THROW(ambrel::pipeline::scaleImage(picture, 0.01f), std::invalid_argument);  // no pixels left
}

// --- the helpers on their own ---

cv::Mat solid(int width, int height, std::uint8_t value)
{
    return cv::Mat(height, width, CV_8UC3, cv::Scalar::all(value));
}

TEST(MosaicTest, CleanApertureRectangle)
{
    auto rectOf = [](CleanApertureInfo aperture, int width, int height) -> std::optional<cv::Rect> {
        cv::Rect rect;
        if (!ambrel::pipeline::cleanApertureRect(aperture, width, height, rect)) {
            return std::nullopt;
        }
        return rect;
    };
    auto clap = [](std::uint32_t w, std::uint32_t h, std::int32_t ho, std::uint32_t hod, std::int32_t vo,
                   std::uint32_t vod) {
        return CleanApertureInfo{w, 1, h, 1, std::uint32_t(ho), hod, std::uint32_t(vo), vod};
    };
    // The corpus file's 29 x 100 picture padded to 64 columns.
    EXPECT_EQ(rectOf(clap(29, 100, -35, 2, 0, 1), 64, 100), cv::Rect(0, 0, 29, 100));
    EXPECT_EQ(rectOf(clap(30, 40, 0, 1, 0, 1), 64, 64), cv::Rect(17, 12, 30, 40));
    // Centre right of the middle by 5/2, above it by 3/2.
    EXPECT_EQ(rectOf(clap(31, 33, 5, 2, -3, 2), 64, 64), cv::Rect(19, 14, 31, 33));
    // Half-pixel edges, (64 - 29) / 2 = 17.5: the left edge goes left, the
    // top edge down, where libheif puts them.
    EXPECT_EQ(rectOf(clap(29, 29, 0, 1, 0, 1), 64, 64), cv::Rect(17, 18, 29, 29));
    EXPECT_EQ(rectOf(clap(29, 29, 1, 1, -1, 1), 64, 64), cv::Rect(18, 17, 29, 29));
    // Fractional size: 61/2 rounds to 31.
    EXPECT_EQ(rectOf(CleanApertureInfo{61, 2, 61, 2, 0, 1, 0, 1}, 64, 64), cv::Rect(17, 17, 31, 31));
    EXPECT_EQ(rectOf(clap(64, 64, 0, 1, 0, 1), 64, 64), cv::Rect(0, 0, 64, 64));

    EXPECT_FALSE(rectOf(clap(30, 30, -18, 1, 0, 1), 64, 64));  // left edge at -1
    EXPECT_FALSE(rectOf(clap(30, 30, 0, 1, 18, 1), 64, 64));   // bottom edge past the image
    EXPECT_FALSE(rectOf(CleanApertureInfo{30, 1, 30, 0, 0, 1, 0, 1}, 64, 64));
    EXPECT_FALSE(rectOf(CleanApertureInfo{30, 1, 30, 1, 0, 0, 0, 1}, 64, 64));
    EXPECT_FALSE(rectOf(CleanApertureInfo{0xFFFFFFFFu, 1, 30, 1, 0, 1, 0, 1}, 64, 64));
}

TEST(MosaicTest, KeptOrientationStillCropsInTurnedCoordinates)
{
    // Stored 64 x 32, columns 0..31 value 1, 32..63 value 2. A quarter turn
    // anticlockwise puts columns 32..63 on top; an aperture then keeps the
    // top half. Kept in stored orientation, that is the right half.
    cv::Mat image = solid(64, 32, 1);
    image(cv::Rect(32, 0, 32, 32)).setTo(cv::Scalar::all(2));
    ImageTransform rotate;
    rotate.kind = ImageTransform::Kind::Rotate;
    rotate.value = 90;
    ImageTransform aperture;
    aperture.kind = ImageTransform::Kind::CleanAperture;
    aperture.aperture = CleanApertureInfo{32, 1, 32, 1, 0, 1, std::uint32_t(-16), 1};

    cv::Mat turned = image.clone();
    ambrel::pipeline::applyTransforms(turned, {rotate, aperture}, false);
    EXPECT_EQ(turned.size(), cv::Size(32, 32));
    EXPECT_EQ(cv::countNonZero(turned.reshape(1) == 2), 32 * 32 * 3);

    cv::Mat kept = image.clone();
    ambrel::pipeline::applyTransforms(kept, {rotate, aperture}, true);
    EXPECT_EQ(kept.size(), cv::Size(32, 32));
    EXPECT_EQ(cv::countNonZero(kept.reshape(1) == 2), 32 * 32 * 3);

    // An aperture before the turn crops the stored picture directly.
    cv::Mat stored = image.clone();
    aperture.aperture = CleanApertureInfo{32, 1, 32, 1, std::uint32_t(-16), 1, 0, 1};
    ambrel::pipeline::applyTransforms(stored, {aperture, rotate}, true);
    EXPECT_EQ(stored.size(), cv::Size(32, 32));
    EXPECT_EQ(cv::countNonZero(stored.reshape(1) == 1), 32 * 32 * 3);
}

// --- the canvas of the rows in flight, band scaling, the small picture ---

cv::Mat noise(int width, int height, int type, std::uint64_t seed)
{
    cv::Mat image(height, width, type);
    cv::RNG random(seed);
    random.fill(image, cv::RNG::UNIFORM, 0, CV_MAT_DEPTH(type) == CV_16U ? 65536 : 256);
    return image;
}

TEST(MosaicTest, TransformedBandsAreTheTransformedPictureRowByRow)
{
    // Every turn and mirror, with apertures before and after them, the
    // orientation applied or kept: the bands, cut and turned one by one,
    // make the picture applyTransforms makes of the whole.
    cv::Mat image(37, 53, CV_8UC3);
    cv::RNG random(3);
    random.fill(image, cv::RNG::UNIFORM, 0, 256);
    const auto rotate = [](std::uint32_t degrees) {
        ImageTransform t;
        t.kind = ImageTransform::Kind::Rotate;
        t.value = degrees;
        return t;
    };
    const auto mirror = [](std::uint32_t axis) {
        ImageTransform t;
        t.kind = ImageTransform::Kind::Mirror;
        t.value = axis;
        return t;
    };
    ImageTransform aperture;
    aperture.kind = ImageTransform::Kind::CleanAperture;
    aperture.aperture = CleanApertureInfo{21, 1, 15, 1, std::uint32_t(-5), 2, 3, 1};
    const std::vector<std::vector<ImageTransform>> lists = {
        {},
        {rotate(90)},
        {rotate(180)},
        {rotate(270)},
        {mirror(0)},
        {mirror(1)},
        {rotate(90), mirror(0)},
        {rotate(270), mirror(1)},
        {mirror(1), rotate(90)},
        {aperture},
        {aperture, rotate(90), mirror(1)},
        {rotate(270), aperture},
        {mirror(0), rotate(90), aperture, mirror(1)},
        {rotate(45)},
    };
    for (std::size_t i = 0; i < lists.size(); ++i) {
        for (const bool keepOrientation : {false, true}) {
            SCOPED_TRACE("list " + std::to_string(i) + (keepOrientation ? ", orientation kept" : ""));
            cv::Mat whole = image.clone();
            ambrel::pipeline::applyTransforms(whole, lists[i], keepOrientation);
            const TransformedBands bands(image, lists[i], keepOrientation);
            ASSERT_EQ(bands.size(), whole.size());
            std::vector<cv::Mat> parts;
            for (int first = 0; first < whole.rows; first += 7) {
                parts.push_back(bands.rows(first, std::min(7, whole.rows - first)));
            }
            cv::Mat joined;
            cv::vconcat(parts, joined);
            EXPECT_EQ(cv::norm(joined, whole, cv::NORM_INF), 0.0);
        }
    }
    EXPECT_THROW(TransformedBands(image, {}, false).rows(30, 8), std::out_of_range);
}

TEST(MosaicTest, RowsInFlightAreHandedOnAsTheyCompleteAndLetGo)
{
    // 3 x 2 tiles of 5 x 4, cut to 9 x 10: the last row and column are
    // partial. Tiles come in a scrambled order, as a decoder may give them.
    const cv::Mat picture = noise(10, 12, CV_8UC3, 1);
    MosaicCanvas canvas(3, 2, 1000, CV_8UC3, MosaicCanvas::Storage::RowsInFlight);
    std::vector<std::uint32_t> opened;
    canvas.setRowOpening([&](std::uint32_t row) { opened.push_back(row); });
    const auto fill = [&](std::size_t index) {
        cv::Mat cell = canvas.cell(index, 5, 4);
        ASSERT_FALSE(cell.empty());
        picture(cv::Rect(int(index % 2) * 5, int(index / 2) * 4, 5, 4)).copyTo(cell);
        canvas.filled(index);
    };
    fill(1);
    fill(2);
    EXPECT_EQ(canvas.completeTileRows(), 0u);
    fill(0);
    EXPECT_EQ(canvas.completeTileRows(), 1u);
    fill(5);
    fill(4);
    EXPECT_EQ(canvas.completeTileRows(), 1u);  // row 1 lacks a tile
    EXPECT_EQ(opened, (std::vector<std::uint32_t>{0, 1, 2}));
    EXPECT_THROW(canvas.outputSize(9, 10), std::out_of_range);

    cv::Mat first = canvas.takeBand(0, 9, 10);
    ASSERT_EQ(first.size(), cv::Size(9, 4));
    EXPECT_EQ(cv::norm(first, picture(cv::Rect(0, 0, 9, 4)), cv::NORM_INF), 0.0);
    // The canvas holds the row no more: the band is its only owner.
    EXPECT_EQ(first.u->refcount, 1);
    EXPECT_TRUE(canvas.takeBand(0, 9, 10).empty());

    fill(3);
    EXPECT_EQ(canvas.completeTileRows(), 3u);
    EXPECT_EQ(canvas.outputSize(9, 10), cv::Size(9, 10));
    EXPECT_THROW(static_cast<void>(canvas.output(9, 10)), std::logic_error);
    const cv::Mat last = canvas.takeBand(2, 9, 10);
    ASSERT_EQ(last.size(), cv::Size(9, 2));
    EXPECT_EQ(cv::norm(last, picture(cv::Rect(0, 8, 9, 2)), cv::NORM_INF), 0.0);
    EXPECT_EQ(last.u->refcount, 1);
    const cv::Mat middle = canvas.takeBand(1, 9, 10);
    EXPECT_EQ(cv::norm(middle, picture(cv::Rect(0, 4, 9, 4)), cv::NORM_INF), 0.0);
    // A row below the output region gives nothing.
    EXPECT_TRUE(canvas.takeBand(2, 9, 8).empty());
}

TEST(MosaicTest, BandsScaledByAPowerOfTwoAreTheWholePictureScaled)
{
    EXPECT_TRUE(BandScaler::takes(0.5f));
    EXPECT_TRUE(BandScaler::takes(0.125f));
    EXPECT_FALSE(BandScaler::takes(1.0f));
    EXPECT_FALSE(BandScaler::takes(0.3f));
    EXPECT_FALSE(BandScaler::takes(0.75f));
    EXPECT_FALSE(BandScaler::takes(std::nanf("")));
    // Odd sizes, heights that round half to even, bands of every height.
    for (const float scale : {0.5f, 0.25f, 0.125f}) {
        for (const cv::Size size : {cv::Size(37, 53), cv::Size(41, 54), cv::Size(20, 57), cv::Size(33, 46)}) {
            const cv::Mat picture = noise(size.width, size.height, CV_8UC3, std::uint64_t(size.area()));
            const cv::Mat whole = scaleImage(picture, scale);
            for (const int band : {1, 3, 7, 16, 64}) {
                BandScaler scaler(scale);
                std::vector<cv::Mat> rows;
                const auto emit = [&](const cv::Mat& scaled) { rows.push_back(scaled.clone()); };
                for (int top = 0; top < picture.rows; top += band) {
                    scaler.add(picture.rowRange(top, std::min(picture.rows, top + band)), emit);
                }
                scaler.finish(emit);
                cv::Mat banded;
                cv::vconcat(rows, banded);
                ASSERT_EQ(banded.size(), whole.size()) << scale << " " << size << " bands of " << band;
                EXPECT_EQ(cv::norm(banded, whole, cv::NORM_INF), 0.0) << scale << " " << size << " bands of " << band;
            }
        }
    }
}

TEST(MosaicTest, SmallPictureIsTheAreaAverageOfItsBands)
{
    EXPECT_EQ(boundedSize(cv::Size(4000, 3000), 1920), cv::Size(1920, 1440));
    EXPECT_EQ(boundedSize(cv::Size(300, 5000), 100), cv::Size(6, 100));
    EXPECT_EQ(boundedSize(cv::Size(5000, 2), 100), cv::Size(100, 1));
    EXPECT_EQ(boundedSize(cv::Size(640, 480), 1920), cv::Size(640, 480));  // never enlarged

    for (const cv::Size size : {cv::Size(301, 203), cv::Size(97, 160), cv::Size(64, 64)}) {
        // A smooth picture with noise on it.
        cv::Mat picture = noise(size.width, size.height, CV_8UC3, 3);
        cv::GaussianBlur(picture, picture, cv::Size(0, 0), 1.5);
        for (const std::uint32_t side : {40u, 64u, 100u, 1000u}) {
            const cv::Size target = boundedSize(size, side);
            cv::Mat expected;
            cv::resize(picture, expected, target, 0, 0, cv::INTER_AREA);
            PreviewBuilder builder(size, side);
            ASSERT_EQ(builder.size(), target);
            for (int top = 0; top < picture.rows; top += 13) {
                builder.add(picture.rowRange(top, std::min(picture.rows, top + 13)));
            }
            const cv::Mat small = builder.finish();
            ASSERT_EQ(small.type(), CV_8UC3);
            ASSERT_EQ(small.size(), target) << size << " " << side;
            EXPECT_LE(cv::norm(small, expected, cv::NORM_INF), 1.0) << size << " " << side;
        }
    }

    // 16-bit samples come down to 8 bits; BGRA is shown over white.
    cv::Mat deep = noise(50, 30, CV_16UC3, 5);
    PreviewBuilder deepBuilder(deep.size(), 25);
    deepBuilder.add(deep);
    cv::Mat expected;
    cv::resize(deep, expected, cv::Size(25, 15), 0, 0, cv::INTER_AREA);
    expected.convertTo(expected, CV_8U, 1.0 / 257.0);
    EXPECT_LE(cv::norm(deepBuilder.finish(), expected, cv::NORM_INF), 1.0);

    cv::Mat clear(20, 20, CV_8UC4, cv::Scalar(10, 20, 30, 0));
    clear(cv::Rect(0, 0, 20, 10)).setTo(cv::Scalar(0, 0, 200, 255));
    PreviewBuilder clearBuilder(clear.size(), 10);
    clearBuilder.add(clear);
    const cv::Mat shown = clearBuilder.finish();
    EXPECT_EQ(shown.at<cv::Vec3b>(1, 1), cv::Vec3b(0, 0, 200));
    EXPECT_EQ(shown.at<cv::Vec3b>(8, 8), cv::Vec3b(255, 255, 255));
    EXPECT_THROW(PreviewBuilder(cv::Size(0, 5), 10), std::invalid_argument);
}

}  // namespace
