// ambrel-heifinfo run as a process on the corpus.
#include <gtest/gtest.h>
#include <json/json.h>

#include <sys/wait.h>
#include <unistd.h>
#include <array>
#include <cstdio>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <tuple>

#include "tests/box/test_bytes.h"
#include "tests/fixtures/heif_samples.h"

using namespace ambrel::heif;

namespace {

struct RunResult
{
    int status = -1;
    std::string out;
    std::string err;
};

RunResult run(const std::string& arguments)
{
    char errPath[] = "/tmp/heifinfo-err-XXXXXX";
    const int fd = mkstemp(errPath);
    if (fd >= 0) {
        ::close(fd);
    }
    const std::string command = std::string(AMBREL_HEIFINFO) + " " + arguments + " 2>" + errPath;
    RunResult result;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) {
        return result;
    }
    std::array<char, 4096> buffer{};
    std::size_t n = 0;
    while ((n = fread(buffer.data(), 1, buffer.size(), pipe)) > 0) {
        result.out.append(buffer.data(), n);
    }
    const int status = pclose(pipe);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    if (FILE* err = fopen(errPath, "r")) {
        while ((n = fread(buffer.data(), 1, buffer.size(), err)) > 0) {
            result.err.append(buffer.data(), n);
        }
        fclose(err);
    }
    std::remove(errPath);
    return result;
}

std::string corpus(const std::string& name)
{
    return std::string(AMBREL_CORPUS_DIR) + "/" + name;
}

Json::Value parse(const std::string& text)
{
    Json::Value value;
    Json::CharReaderBuilder builder;
    std::string errors;
    std::istringstream in(text);
    EXPECT_TRUE(Json::parseFromStream(builder, in, &value, &errors)) << errors << "\n" << text;
    return value;
}

const Json::Value* findById(const Json::Value& array, unsigned id)
{
    for (const auto& entry : array) {
        if (entry["id"].asUInt() == id) {
            return &entry;
        }
    }
    return nullptr;
}

struct Expectation
{
    const char* file;
    unsigned primary;
    bool primaryIsGrid;
    unsigned width;
    unsigned height;
};

class HeifInfoCorpus : public ::testing::TestWithParam<Expectation>
{};

TEST_P(HeifInfoCorpus, JsonNamesThePrimaryAndItsSize)
{
    const auto& expected = GetParam();
    const RunResult r = run("--json " + corpus(expected.file));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(r.err.empty()) << r.err;
    // An array even for one file.
    const Json::Value all = parse(r.out);
    ASSERT_TRUE(all.isArray()) << r.out;
    ASSERT_EQ(all.size(), 1u);
    const Json::Value& file = all[0];
    EXPECT_EQ(file["major_brand"].asString(), "heic");
    EXPECT_EQ(file["primary"].asUInt(), expected.primary);
    if (expected.primaryIsGrid) {
        const Json::Value* grid = findById(file["grids"], expected.primary);
        ASSERT_NE(grid, nullptr);
        EXPECT_EQ((*grid)["rows"].asUInt(), 1u);
        EXPECT_EQ((*grid)["columns"].asUInt(), 1u);
        EXPECT_EQ((*grid)["width"].asUInt(), expected.width);
        EXPECT_EQ((*grid)["height"].asUInt(), expected.height);
        EXPECT_EQ((*grid)["tiles"].size(), 1u);
    } else {
        EXPECT_EQ(findById(file["grids"], expected.primary), nullptr);
        const Json::Value* item = findById(file["items"], expected.primary);
        ASSERT_NE(item, nullptr);
        EXPECT_EQ((*item)["type"].asString(), "master");
        EXPECT_EQ((*item)["code_type"].asString(), "hvc1");
        EXPECT_EQ((*item)["width"].asUInt(), expected.width);
        EXPECT_EQ((*item)["height"].asUInt(), expected.height);
    }
    // Items come in ascending id.
    unsigned previous = 0;
    for (const auto& item : file["items"]) {
        EXPECT_GT(item["id"].asUInt(), previous);
        previous = item["id"].asUInt();
    }
}

INSTANTIATE_TEST_SUITE_P(Corpus, HeifInfoCorpus,
                         ::testing::Values(Expectation{"RGB_10__29x100.heif", 2, true, 29, 100},
                                           Expectation{"L_xmp_latin1.heic", 2, true, 16, 16},
                                           Expectation{"empty_icc.heic", 2, true, 1025, 900},
                                           Expectation{"invalid_id.heic", 2, true, 1197, 1227},
                                           Expectation{"RGB_8_chroma444.heif", 1, false, 64, 100},
                                           Expectation{"RGBA_8__128x128.heif", 1, false, 128, 128},
                                           Expectation{"zPug_3.heic", 6, false, 64, 64},
                                           Expectation{"L_exif_xmp_iptc.heic", 1, false, 64, 64}),
                         [](const auto& info) {
                             std::string name = info.param.file;
                             for (char& c : name) {
                                 if (!std::isalnum(static_cast<unsigned char>(c))) {
                                     c = '_';
                                 }
                             }
                             return name;
                         });

TEST(HeifInfoCli, OtherItemsCarryTheirSizes)
{
    const RunResult r = run("--json " + corpus("L_exif_xmp_iptc.heic"));
    ASSERT_EQ(r.status, 0);
    const Json::Value file = parse(r.out)[0];
    const Json::Value* exif = findById(file["other_items"], 2);
    ASSERT_NE(exif, nullptr);
    EXPECT_EQ((*exif)["type"].asString(), "Exif");
    EXPECT_EQ((*exif)["size"].asUInt(), 40960u);
    const Json::Value* primary = findById(file["items"], 1);
    ASSERT_NE(primary, nullptr);
    bool hasHvcc = false;
    for (const auto& property : (*primary)["properties"]) {
        hasHvcc = hasHvcc || (property["type"].asString() == "hvcC" && property["essential"].asBool());
    }
    EXPECT_TRUE(hasHvcc);
}

TEST(HeifInfoCli, BrokenFilesReportAnErrorAndGoOn)
{
    const RunResult r = run("--json " + corpus("corrupted.heic") + " " + corpus("zPug_3.heic") + " " +
                            corpus("truncated.heic") + " " + corpus("empty.heic"));
    EXPECT_EQ(r.status, 1);
    // Every error line names its file.
    // Its brands say HEIF ('mif1'); what follows the 'ftyp' is not a box.
    EXPECT_NE(r.err.find("error: " + corpus("corrupted.heic") + ": Box '\\x00\\x00\\x00\\x00' of 7627008 bytes"),
              std::string::npos)
        << r.err;
    EXPECT_NE(r.err.find("error: " + corpus("truncated.heic") + ": item 2: "), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("Faulty offset in iloc"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("error: " + corpus("empty.heic") + ": not a HEIF file"), std::string::npos) << r.err;
    std::istringstream errorLines(r.err);
    for (std::string line; std::getline(errorLines, line);) {
        EXPECT_NE(line.find(".heic: "), std::string::npos) << line;
    }
    // The good file (and the readable parts of the truncated one) still print.
    const Json::Value all = parse(r.out);
    ASSERT_TRUE(all.isArray());
    ASSERT_EQ(all.size(), 2u);
    EXPECT_EQ(all[0]["primary"].asUInt(), 6u);
}

TEST(HeifInfoCli, TextOutputAndUsage)
{
    // Tiles summed up, listed with --verbose; colour and bit depths named.
    const RunResult text = run(corpus("RGB_10__29x100.heif"));
    EXPECT_EQ(text.status, 0);
    EXPECT_NE(text.out.find("1 columns, output 29 x 100, 1 tile of 64 x 100\n"), std::string::npos) << text.out;
    EXPECT_EQ(text.out.find("image 1:"), std::string::npos) << text.out;
    EXPECT_NE(text.out.find("    bit depths: 10, 10, 10\n    properties: ispe#2 pixi#3!"), std::string::npos);
    const RunResult verbose = run("--verbose " + corpus("RGB_10__29x100.heif"));
    EXPECT_NE(verbose.out.find("1 tile of 64 x 100: 1\n"), std::string::npos) << verbose.out;
    EXPECT_NE(verbose.out.find("image 1: master (hvc1)"), std::string::npos) << verbose.out;
    const RunResult icc = run(corpus("empty_icc.heic"));
    EXPECT_NE(icc.out.find("    colour: ICC profile of 548 bytes (\"Display P3\")\n"), std::string::npos) << icc.out;
    EXPECT_NE(icc.out.find("  item 4: mime (XMP), 2616 bytes\n"), std::string::npos) << icc.out;
    // A JPEG under a HEIF name.
    fixture::TempFile jpeg(".heic");
    std::ofstream(jpeg.path(), std::ios::binary)
        << std::string("\xff\xd8\xff\xe0\x00\x10JFIF\x00", 11) << std::string(64, '\0');
    EXPECT_EQ(run(jpeg.path()).err, "error: " + jpeg.path() + ": not a HEIF file\n");
    EXPECT_EQ(run("").status, 2);
    EXPECT_EQ(run("--bogus " + corpus("zPug_3.heic")).status, 2);
    const RunResult missing = run("/nonexistent.heic");
    EXPECT_EQ(missing.status, 1);
    EXPECT_NE(missing.err.find("error: /nonexistent.heic: Unable to open input file '/nonexistent.heic'"),
              std::string::npos)
        << missing.err;
    const RunResult version = run("--version");
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out, "ambrel-heifinfo " AMBREL_PROJECT_VERSION "\n");
}

TEST(HeifInfoCli, ControlBytesFromTheFileArePrintedAsEscapes)
{
    // A brand of ESC [2J would clear the terminal that prints it.
    fixture::SampleFile sample = fixture::makeSingleImageHeic();
    sample.builder.setBrands("\x1b[2J", {"mif1", "heic", "\x1b]0;"});
    fixture::ItemDescription other;
    other.id = 9;
    other.type = "\x1b[3J";
    other.data = {1, 2, 3};
    sample.builder.addItem(other);
    fixture::TempFile file(".heic");
    sample.builder.writeFile(file.path());

    const RunResult text = run(file.path());
    EXPECT_EQ(text.status, 0) << text.err;
    EXPECT_EQ(text.out.find('\x1b'), std::string::npos) << text.out;
    EXPECT_EQ(text.err.find('\x1b'), std::string::npos) << text.err;
    EXPECT_NE(text.out.find("  brands: \\x1b[2J (minor 0), compatible: mif1, heic, \\x1b]0;\n"), std::string::npos)
        << text.out;
    EXPECT_NE(text.out.find("  item 9: \\x1b[3J, 3 bytes\n"), std::string::npos) << text.out;

    // JSON carries the texts as they are, escaped the JSON way.
    const RunResult json = run("--json " + file.path());
    EXPECT_EQ(json.status, 0) << json.err;
    EXPECT_EQ(json.out.find('\x1b'), std::string::npos) << json.out;
    const Json::Value parsed = parse(json.out)[0];
    EXPECT_EQ(parsed["major_brand"].asString(), "\x1b[2J");
    const Json::Value* item = findById(parsed["other_items"], 9);
    ASSERT_NE(item, nullptr);
    EXPECT_EQ((*item)["type"].asString(), "\x1b[3J");
}

}  // namespace

namespace {

Json::Value parsedJson(const std::string& text)
{
    Json::Value value;
    std::string errors;
    std::istringstream in(text);
    EXPECT_TRUE(Json::parseFromStream(Json::CharReaderBuilder(), in, &value, &errors)) << errors;
    return value;
}

}  // namespace

// A phone-like file: a picture stored turned a quarter, with a depth map and
// an HDR gain map; the turn swaps the displayed sides, the auxiliary images
// are named by kind with the image they belong to.
TEST(HeifinfoCli, DisplayedSizesAndAuxiliaryImagesByKind)
{
    fixture::SingleImageOptions options;
    options.width = 64;
    options.height = 48;
    options.rotation = 90;
    fixture::SampleFile sample = fixture::makeSingleImageHeic(options);
    fixture::addAuxiliaryItem(sample.builder, 10, sample.primaryId, fixture::kAuxDepth, fixture::greyQuadrants(32, 24));
    fixture::addAuxiliaryItem(sample.builder, 11, sample.primaryId, fixture::kAuxGainMap,
                              fixture::greyQuadrants(32, 24));
    fixture::addAuxiliaryItem(sample.builder, 12, sample.primaryId, "urn:example:matte",
                              fixture::greyQuadrants(32, 24));
    fixture::TempFile file(".heic");
    sample.builder.writeFile(file.path());

    const RunResult json = run("--json " + file.path());
    ASSERT_EQ(json.status, 0) << json.err;
    const Json::Value described = parsedJson(json.out)[0];
    std::map<unsigned, Json::Value> items;
    for (const auto& item : described["items"]) {
        items[item["id"].asUInt()] = item;
    }
    ASSERT_EQ(items.size(), 4u);
    EXPECT_EQ(items[1]["width"].asUInt(), 64u);  // the stored size stays
    EXPECT_EQ(items[1]["displayed_width"].asUInt(), 48u);
    EXPECT_EQ(items[1]["displayed_height"].asUInt(), 64u);
    EXPECT_FALSE(items[1].isMember("auxiliary"));
    EXPECT_EQ(items[10]["auxiliary"]["kind"].asString(), "depth");
    EXPECT_EQ(items[10]["auxiliary"]["of"].asUInt(), 1u);
    EXPECT_EQ(items[11]["auxiliary"]["kind"].asString(), "gainmap");
    EXPECT_EQ(items[11]["auxiliary"]["type"].asString(), fixture::kAuxGainMap);
    EXPECT_EQ(items[12]["auxiliary"]["kind"].asString(), "other");
    EXPECT_EQ(items[12]["auxiliary"]["type"].asString(), "urn:example:matte");

    // libheif's heif-info, run as a black box, shows the same displayed size.
    if (fixture::programAvailable("heif-info")) {
        std::string referee;
        ASSERT_EQ(fixture::runCommand("heif-info " + fixture::shellQuote(file.path()), referee), 0) << referee;
        EXPECT_NE(referee.find("image: 48x64 (id=1)"), std::string::npos) << referee;
    }

    const RunResult text = run(file.path());
    ASSERT_EQ(text.status, 0) << text.err;
    EXPECT_NE(text.out.find("64 x 48, shown 48 x 64"), std::string::npos) << text.out;
    EXPECT_NE(text.out.find("auxiliary image: depth of image 1\n"), std::string::npos) << text.out;
    EXPECT_NE(text.out.find("auxiliary image: gainmap of image 1\n"), std::string::npos) << text.out;
    EXPECT_NE(text.out.find("auxiliary image: other of image 1 (urn:example:matte)"), std::string::npos) << text.out;
}

// The gain map image of a 'tmap' item is shown as its base image's gain map.
TEST(HeifinfoCli, ToneMapGainMapIsShownWithItsBaseImage)
{
    fixture::SampleFile sample = fixture::makeSingleImageHeic();
    fixture::addToneMapItem(sample.builder, 3, 2, sample.primaryId, fixture::greyQuadrants(32, 16));
    fixture::TempFile file(".heic");
    sample.builder.writeFile(file.path());
    const Json::Value described = parsedJson(run("--json " + file.path()).out)[0];
    ASSERT_EQ(described["items"].size(), 2u);
    const Json::Value& gainMap = described["items"][1];
    EXPECT_EQ(gainMap["id"].asUInt(), 2u);
    EXPECT_EQ(gainMap["auxiliary"]["kind"].asString(), "gainmap");
    EXPECT_EQ(gainMap["auxiliary"]["type"].asString(), "tmap");
    EXPECT_EQ(gainMap["auxiliary"]["of"].asUInt(), 1u);
    EXPECT_EQ(gainMap["auxiliary"]["tmap"].asUInt(), 3u);
    const RunResult text = run(file.path());
    EXPECT_NE(text.out.find("auxiliary image: gainmap of image 1 (input of the 'tmap' item 3)"), std::string::npos)
        << text.out;
    // Its placeholder 'tmap' payload cannot be read: said, as the converter would.
    ASSERT_TRUE(described["hdr_gain_map"].isObject());
    EXPECT_TRUE(described["hdr_gain_map"]["kind"].isNull());
    EXPECT_NE(text.out.find("HDR gain map: not kept in JPEG output: "), std::string::npos) << text.out;
}

// The corpus file's clean aperture: coded 64 x 100, shown 29 x 100; its
// alpha plane belongs to image 1.
TEST(HeifinfoCli, CleanApertureAndCorpusAlphaPlane)
{
    const Json::Value clap = parsedJson(run("--json " + corpus("RGB_8_chroma444.heif")).out)[0];
    EXPECT_EQ(clap["items"][0]["width"].asUInt(), 64u);
    EXPECT_EQ(clap["items"][0]["displayed_width"].asUInt(), 29u);
    EXPECT_EQ(clap["items"][0]["displayed_height"].asUInt(), 100u);
    const Json::Value alpha = parsedJson(run("--json " + corpus("RGBA_8__128x128.heif")).out)[0];
    EXPECT_EQ(alpha["items"][1]["id"].asUInt(), 2u);
    EXPECT_EQ(alpha["items"][1]["auxiliary"]["kind"].asString(), "alpha");
    EXPECT_EQ(alpha["items"][1]["auxiliary"]["of"].asUInt(), 1u);
}

// The coding of an uncompressed image built here, and of AV1 stills and
// sequences made by avifenc, with their configurations.
TEST(HeifinfoCli, CodingsAndTheirConfigurations)
{
    fixture::SampleFile sample = fixture::makeSingleImageHeic();
    fixture::ItemDescription unci;
    unci.id = 7;
    unci.type = "unci";
    unci.data = fixture::Bytes(16 * 3, 0x80);
    sample.builder.addItem(unci);
    sample.builder.ispe(7, 4, 4);
    // R, G and B of 8 bits, interleaved, deflate-compressed as a whole.
    using testbytes::fullBox;
    const testbytes::Bytes rgb = testbytes::Bytes().u16(0).u8(7).u16(0).u16(1).u8(7).u16(0).u16(2).u8(7).u16(0);
    sample.builder.addRawProperty(testbytes::box("cmpd", testbytes::Bytes().u32(3).u16(4).u16(5).u16(6)), {7}, true);
    sample.builder.addRawProperty(
        fullBox("uncC", 0, 0, testbytes::Bytes().u32(0).u32(3).add(rgb.data()).u8(0).u8(1).zeros(22)), {7}, true);
    sample.builder.addRawProperty(fullBox("cmpC", 0, 0, testbytes::Bytes().str("defl").u8(0)), {7}, true);
    // A JPEG-coded image: its frame header gives the process, depth and sampling.
    fixture::TempFile jpeg(".jpg");
    std::string log;
    ASSERT_EQ(fixture::runCommand("ffmpeg -v error -y -f lavfi -i testsrc=size=16x16 -frames:v 1 -pix_fmt yuvj420p " +
                                      fixture::shellQuote(jpeg.path()),
                                  log),
              0)
        << log;
    fixture::ItemDescription jpegItem;
    jpegItem.id = 8;
    jpegItem.type = "jpeg";
    jpegItem.data = fixture::readFileBytes(jpeg.path());
    sample.builder.addItem(jpegItem);
    sample.builder.ispe(8, 16, 16);
    fixture::TempFile file(".heif");
    sample.builder.writeFile(file.path());
    const RunResult uncompressed = run(file.path());
    EXPECT_NE(uncompressed.out.find("image 7: master (unci) 4 x 4"), std::string::npos) << uncompressed.out;
    EXPECT_NE(uncompressed.out.find("    coding: uncompressed RGB 8-bit interleaved, deflate compressed as a whole\n"),
              std::string::npos)
        << uncompressed.out;
    EXPECT_NE(uncompressed.out.find("    coding: HEVC Main"), std::string::npos) << uncompressed.out;
    EXPECT_NE(uncompressed.out.find("image 8: master (jpeg) 16 x 16, shown 16 x 16 [MasterImage]\n"
                                    "    coding: JPEG, baseline, 8-bit, 4:2:0\n"),
              std::string::npos)
        << uncompressed.out;

    const std::tuple<const char*, unsigned, const char*> rows[] = {
        {"-y 420", 1, "    coding: AV1 Main profile, level 2.0, 8-bit, 4:2:0\n"},
        {"-y 444 -d 10", 1, "    coding: AV1 High profile, level 2.0, 10-bit, 4:4:4\n"},
        {"-y 422 -d 12", 1, "    coding: AV1 Professional profile, level 2.0, 12-bit, 4:2:2\n"},
        {"-y 400 -d 10", 1, "    coding: AV1 Main profile, level 2.0, 10-bit, monochrome\n"},
        {"", 3,
         "  track 1: 3 samples (av01), 64 x 48, 0.6 s [IsMasterImageSequence, IsEnabled, "
         "HasCodingConstraints]\n    coding: AV1 Main profile, level 2.0, 8-bit, 4:2:0\n"},
    };
    for (const auto& [options, frames, coding] : rows) {
        fixture::TempFile avif(".avif");
        try {
            fixture::writeFileBytes(avif.path(), fixture::makeAvif(options, frames));
        } catch (const fixture::EncoderError& e) {
            GTEST_SKIP() << e.what();
        }
        const RunResult text = run(avif.path());
        EXPECT_NE(text.out.find("image 1: master (av01) 64 x 48"), std::string::npos) << text.out;
        EXPECT_NE(text.out.find(coding), std::string::npos) << text.out;
    }
}
