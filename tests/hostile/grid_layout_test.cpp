// Grids whose descriptor, references and tiles disagree, and sizes beyond
// the limits.
#include "tests/hostile/hostile_support.h"

#include "heiclib/heif_limits.h"
#include "pipeline/decode/extraction.h"

using namespace ambrel::heif;
using namespace ambrel::pipeline;

namespace {

using namespace hostile;
using fixture::paletteColour;

class GridLayoutTest : public HostileTest
{
protected:
    // A grid item over tiles 10, 11, ... with the given references.
    static fixture::HeifBuilder gridOver(unsigned rows, unsigned columns, unsigned tiles,
                                         const std::vector<std::uint32_t>& references, std::uint32_t width = 0,
                                         std::uint32_t height = 0)
    {
        fixture::HeifBuilder builder;
        for (unsigned i = 0; i < tiles; ++i) {
            const fixture::EncodedImage image = fixture::encodeImage(fixture::solidImage(64, 64, paletteColour(i)));
            fixture::ItemDescription item;
            item.id = 10 + i;
            item.data = image.data;
            item.hidden = true;
            builder.addItem(std::move(item));
            builder.hvcC({10 + i}, image.config);
            builder.ispe(10 + i, 64, 64);
        }
        fixture::ItemDescription grid;
        grid.id = 1;
        grid.type = "grid";
        grid.data = fixture::gridPayload(std::uint8_t(rows - 1), std::uint8_t(columns - 1),
                                         width != 0 ? width : columns * 64, height != 0 ? height : rows * 64);
        builder.addItem(std::move(grid));
        builder.addReference("dimg", 1, references);
        builder.setPrimary(1);
        return builder;
    }
};

TEST_F(GridLayoutTest, FewerReferencesThanCellsFail)
{
    EXPECT_EQ(outcome(gridOver(2, 2, 3, {10, 11, 12}).build()), "HUD_ERR heif2jpg unknown");
}

TEST_F(GridLayoutTest, MoreReferencesThanCellsAreIgnored)
{
    EXPECT_EQ(outcome(gridOver(1, 2, 4, {10, 11, 12, 13}).build()), "ok");
    ASSERT_EQ(picture.size(), cv::Size(128, 64));
    // The cells hold the first two references; the others are not drawn.
    const cv::Vec3b right = picture.at<cv::Vec3b>(32, 96);
    const fixture::Rgb expected = paletteColour(1);
    EXPECT_NEAR(right[2], expected.r, 20);
    EXPECT_NEAR(right[1], expected.g, 20);
    EXPECT_NEAR(right[0], expected.b, 20);
}

TEST_F(GridLayoutTest, ReferencesToMissingSelfOrExif)
{
    // To an item that does not exist.
    EXPECT_EQ(outcome(gridOver(1, 2, 1, {10, 99}).build()), "HUD_ERR heif2jpg unknown");
    // To the grid itself (which is no coded image).
    EXPECT_EQ(outcome(gridOver(1, 2, 1, {10, 1}).build()), "HUD_ERR heif2jpg unknown");
    EXPECT_EQ(outcome(gridOver(1, 2, 1, {1, 1}).build()), "HUD_ERR heif2jpg read_hevc_bitstream_to_mat_vector");
    // To the Exif item.
    fixture::HeifBuilder builder = gridOver(1, 2, 1, {10, 50});
    fixture::ItemDescription exif;
    exif.id = 50;
    exif.type = "Exif";
    exif.data = fixture::exifPayload(fixture::makeExifBlock(1));
    builder.addItem(std::move(exif));
    builder.addReference("cdsc", 50, {1});
    EXPECT_EQ(outcome(builder.build()), "HUD_ERR heif2jpg unknown");
}

TEST_F(GridLayoutTest, TilesOfMixedSizesFail)
{
    fixture::HeifBuilder builder = gridOver(1, 2, 1, {10, 11});
    const fixture::EncodedImage wide = fixture::encodeImage(fixture::solidImage(96, 64, paletteColour(5)));
    fixture::ItemDescription item;
    item.id = 11;
    item.data = wide.data;
    item.hidden = true;
    builder.addItem(std::move(item));
    builder.hvcC({11}, wide.config);
    builder.ispe(11, 96, 64);
    EXPECT_EQ(outcome(builder.build()), "HUD_ERR heif2jpg unknown");
}

TEST_F(GridLayoutTest, HugeOutputSizesAreRefusedBeforeDecoding)
{
    const Bytes huge = gridOver(1, 2, 2, {10, 11}, 65535, 65535).build();
    EXPECT_EQ(outcome(huge), "HUD_ERR heif2jpg read_heif");
    EXPECT_THROW(ambrel::pipeline::extractHeifImage(huge.data(), huge.size(), false),
                 ambrel::pipeline::LimitExceededError);
    // Just past the pixel limit, and just below it (the tiles then cover only
    // a corner: a correct partial result, cut down to the mosaic).
    const std::uint32_t side = 1u << 14;
    const Bytes past = gridOver(1, 2, 2, {10, 11}, side, side + 1).build();
    EXPECT_THROW(ambrel::pipeline::extractHeifImage(past.data(), past.size(), false),
                 ambrel::pipeline::LimitExceededError);
    EXPECT_EQ(outcome(gridOver(1, 2, 2, {10, 11}, side, side).build()), "ok");
    EXPECT_EQ(picture.size(), cv::Size(128, 64));
}

TEST_F(GridLayoutTest, TooManyTilesAreRefused)
{
    // 256 x 256 cells, past kMaxGridTiles; the references are not even read.
    const Bytes file = gridOver(256, 256, 2, {10, 11}).build();
    EXPECT_EQ(outcome(file), "HUD_ERR heif2jpg read_heif");
    EXPECT_THROW(ambrel::pipeline::extractHeifImage(file.data(), file.size(), false),
                 ambrel::pipeline::LimitExceededError);

    // More 'dimg' references than kMaxGridTiles: the reader refuses the grid.
    std::vector<std::uint32_t> references(ambrel::heif::limits::kMaxGridTiles + 1, 10);
    const Bytes many = gridOver(2, 2, 1, references).build();
    EXPECT_FALSE(readerOpens(many));
    EXPECT_EQ(outcome(many), "HUD_ERR heif2jpg read_heif");
}

TEST_F(GridLayoutTest, OneTileNamedByEveryCellIsBoundedByTheFileSize)
{
    // Shared tiles are fine: 2 x 2 cells naming one tile convert, each cell
    // holding that tile's data.
    const Bytes shared = gridOver(2, 2, 1, {10, 10, 10, 10}).build();
    const HeifImageData data = ambrel::pipeline::extractHeifImage(shared.data(), shared.size(), false);
    ASSERT_EQ(data.tiles.size(), 4u);
    EXPECT_FALSE(data.tiles[0].empty());
    EXPECT_EQ(data.tiles[3], data.tiles[0]);
    EXPECT_EQ(outcome(shared), "ok");

    // 64 x 64 cells naming one tile padded to 8 KB by a filler unit: 34 MB of
    // tile data from a file of a few kilobytes, past kMaxImageTileAmplification
    // times the file plus kImageTileBytesAllowance.
    fixture::HeifBuilder builder = gridOver(64, 64, 1, std::vector<std::uint32_t>(4096, 10));
    Bytes& tile = builder.item(10).data;
    const std::uint32_t filler = 8192;
    const std::uint8_t header[] = {std::uint8_t(filler >> 24),
                                   std::uint8_t(filler >> 16),
                                   std::uint8_t(filler >> 8),
                                   std::uint8_t(filler),
                                   38 << 1,
                                   1};
    tile.insert(tile.end(), std::begin(header), std::end(header));
    tile.insert(tile.end(), filler - 2, 0xFF);
    const Bytes file = builder.build();
    ASSERT_GT(4096u * tile.size(), ambrel::heif::limits::kMaxImageTileAmplification * file.size() +
                                       ambrel::heif::limits::kImageTileBytesAllowance);
    EXPECT_THROW(ambrel::pipeline::extractHeifImage(file.data(), file.size(), false),
                 ambrel::pipeline::LimitExceededError);
    const Heif2JpgResult result = convert(file);
    EXPECT_EQ(result.message, "HUD_ERR heif2jpg read_heif");
    EXPECT_NE(result.detail.find("bytes, the limit for this file"), std::string::npos) << result.detail;
}

TEST_F(GridLayoutTest, TileCopiesAndTheStreamAreChargedToTheFilesMemoryBudget)
{
    // 8 x 8 cells naming one tile. With the default budget the decoded
    // picture may take the whole pixel limit.
    const Bytes file = gridOver(8, 8, 1, std::vector<std::uint32_t>(64, 10)).build();
    const HeifImageData data = ambrel::pipeline::extractHeifImage(file.data(), file.size(), false);
    ASSERT_EQ(data.tiles.size(), 64u);
    EXPECT_EQ(data.maxCanvasPixels, ambrel::heif::limits::kMaxImagePixels);
    const std::uint64_t tileBytes = data.tiles[0].size();

    // A budget that opens the file and reads the tile, but cannot hold its 63
    // copies: refused by name, no tiles kept.
    const std::uint64_t small = 4 * file.size() + 8 * tileBytes;
    try {
        ambrel::pipeline::extractHeifImage(file.data(), file.size(), false, small);
        ADD_FAILURE() << "the tiles were read";
    } catch (const ambrel::pipeline::LimitExceededError& e) {
        EXPECT_NE(std::string(e.what()).find("memory budget of " + std::to_string(small) + " bytes for this file"),
                  std::string::npos)
            << e.what();
    }

    // A budget that holds the tiles and the stream: the decoded picture gets
    // what is left, at 3 bytes a pixel.
    const std::uint64_t enough = 4 * file.size() + 200 * tileBytes;
    const HeifImageData fits = ambrel::pipeline::extractHeifImage(file.data(), file.size(), false, enough);
    EXPECT_EQ(fits.tiles.size(), 64u);
    EXPECT_LT(fits.maxCanvasPixels, (enough - 128 * tileBytes) / 3);
    EXPECT_GT(fits.maxCanvasPixels, 0u);
}

TEST_F(GridLayoutTest, TileSizesTimesCellsPastThePixelLimitAreRefused)
{
    // The grid's output is 128 x 128, but its one tile, named by all four
    // cells, says it is 16384 x 16384: four cells of 2^28 pixels each.
    Bytes file = gridOver(2, 2, 1, {10, 10, 10, 10}).build();
    const std::size_t ispe = boxAt(file, "ispe");
    put32(file, ispe + 12, 16384);
    put32(file, ispe + 16, 16384);
    EXPECT_THROW(ambrel::pipeline::extractHeifImage(file.data(), file.size(), false),
                 ambrel::pipeline::LimitExceededError);
    const Heif2JpgResult result = convert(file);
    EXPECT_EQ(result.message, "HUD_ERR heif2jpg read_heif");
    EXPECT_NE(result.detail.find("tiles of 16384 x 16384"), std::string::npos) << result.detail;
}

TEST_F(GridLayoutTest, TilesLyingWhollyPastTheOutputAreRefused)
{
    // A 64 x 64 output over 8 x 8 cells of one 2048 x 2048 tile: 268 million
    // decoded pixels, within the pixel limit, for 4,096 shown.
    Bytes file = gridOver(8, 8, 1, std::vector<std::uint32_t>(64, 10), 64, 64).build();
    const std::size_t ispe = boxAt(file, "ispe");
    put32(file, ispe + 12, 2048);
    put32(file, ispe + 16, 2048);
    EXPECT_THROW(ambrel::pipeline::extractHeifImage(file.data(), file.size(), false),
                 ambrel::pipeline::LimitExceededError);
    const Heif2JpgResult result = convert(file);
    EXPECT_EQ(result.message, "HUD_ERR heif2jpg read_heif");
    EXPECT_NE(result.detail.find("reach wholly past its 64 x 64 output"), std::string::npos) << result.detail;

    // The last row and column may run past the edge by less than a tile.
    EXPECT_EQ(outcome(gridOver(2, 2, 1, {10, 10, 10, 10}, 65, 65).build()), "ok");
    EXPECT_EQ(outcome(gridOver(2, 2, 1, {10, 10, 10, 10}, 64, 64).build()), "HUD_ERR heif2jpg read_heif");
}

TEST_F(GridLayoutTest, ZeroSizes)
{
    // A coded image whose 'ispe' says 0 x 0 converts at its decoded size.
    fixture::SampleFile single = fixture::makeSingleImageHeic();
    Bytes file = single.bytes();
    const std::size_t ispe = boxAt(file, "ispe");
    put32(file, ispe + 12, 0);
    put32(file, ispe + 16, 0);
    EXPECT_EQ(outcome(file), "ok");
    EXPECT_EQ(picture.size(), cv::Size(64, 64));
    // A grid whose output is 0 x 0 has no pixels to give.
    fixture::HeifBuilder empty = gridOver(1, 2, 2, {10, 11});
    empty.item(1).data = fixture::gridPayload(0, 1, 0, 0);
    EXPECT_EQ(outcome(empty.build()), "HUD_ERR heif2jpg unknown");
}

}  // namespace
