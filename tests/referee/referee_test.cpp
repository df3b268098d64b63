// An independent referee for the pipeline: files of many shapes (written by
// libheif's own encoder, by our fixture writer, and the shared corpus) are
// converted to PNG by convertHeif (16 bits a sample, alpha kept) and by
// libheif's heif-convert, and listed by ambrel-heifinfo and by heif-info; the
// pictures must agree pixel for pixel within rounding, alpha and bit depth
// included, the item lists id for id.
//
// All files are made and run through both sides once per run of this
// program, two at a time, before the first row is checked. Our decoder runs
// in child processes (this program with --referee-decode-list), so that a
// crash or heap fault on one file shows as that row's failure and cannot
// take the other rows down; rows known to corrupt the heap get a child each.
//
// libheif's programs are required: without them every row fails with a
// message saying what to install. With AMBREL_REFEREE_KEEP set in the
// environment the files and both sides' pictures are kept for inspection.
#include <gtest/gtest.h>
#include <json/json.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <iomanip>
#include <map>
#include <set>
#include <sstream>
#include <thread>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "pipeline/heif2jpg.h"
#include "tests/fixtures/hevc_encoder.h"
#include "tests/referee/referee_rows.h"

using namespace ambrel::heif;
using namespace ambrel::pipeline;

namespace referee {
namespace {

namespace fs = std::filesystem;
using fixture::Bytes;

// Agreement limits, in 8-bit levels.
constexpr double kMaxMeanDifference = 1.0;      // per channel over the picture
constexpr double kMaxLineMeanDifference = 3.0;  // per channel over any row or column
constexpr double kMaxAlphaDifference = 0.5;     // over the picture

// --------------------------------------------------------------- running

std::string selfPath()
{
    std::error_code error;
    const fs::path path = fs::read_symlink("/proc/self/exe", error);
    return error ? std::string() : path.string();
}

int runProgram(const std::string& command, std::string& output)
{
    return fixture::runCommand(command, output);
}

std::string quote(const std::string& word)
{
    return fixture::shellQuote(word);
}

std::string missingPrograms()
{
    std::string missing;
    for (const char* program : {"heif-enc", "heif-convert", "heif-info", "ffmpeg"}) {
        if (!fixture::programAvailable(program)) {
            missing += std::string(missing.empty() ? "" : ", ") + program;
        }
    }
    return missing;
}

// --------------------------------------------------------------- making files

// A PNG of the test picture for libheif's encoder: 8-bit, or 16-bit for 10
// and 12 bits; grey for monochrome; with an alpha channel when asked.
void writeEncoderInput(const EncoderFile& file, const std::string& path)
{
    const bool sixteen = file.bits > 8;
    // OpenCV writes no grey-and-alpha PNG: such a picture is written as
    // BGRA with equal colour channels and turned into one by ffmpeg.
    const bool greyAlpha = file.chroma == "mono" && file.alpha;
    const int channels = greyAlpha ? 4 : (file.chroma == "mono" ? 1 : 3) + (file.alpha ? 1 : 0);
    cv::Mat png(int(file.height), int(file.width), CV_MAKETYPE(sixteen ? CV_16U : CV_8U, channels));
    const double top = sixteen ? 65535.0 : 255.0;
    auto level = [&](double v) { return std::lround(std::clamp(v, 0.0, 1.0) * top); };
    for (unsigned y = 0; y < file.height; ++y) {
        for (unsigned x = 0; x < file.width; ++x) {
            const Sample s = samplePixel(x, y);
            // OpenCV orders colour channels blue, green, red (then alpha).
            std::vector<long> values;
            if (file.chroma == "mono") {
                const long grey = level((s.r + s.g + s.b) / 3.0);
                values = greyAlpha ? std::vector<long>{grey, grey, grey} : std::vector<long>{grey};
            } else {
                values = {level(s.b), level(s.g), level(s.r)};
            }
            if (file.alpha) {
                values.push_back(level(s.a));
            }
            for (int c = 0; c < channels; ++c) {
                if (sixteen) {
                    png.ptr<std::uint16_t>(int(y))[int(x) * channels + c] = static_cast<std::uint16_t>(values[c]);
                } else {
                    png.ptr<std::uint8_t>(int(y))[int(x) * channels + c] = static_cast<std::uint8_t>(values[c]);
                }
            }
        }
    }
    const std::string written = greyAlpha ? path + ".bgra.png" : path;
    if (!cv::imwrite(written, png)) {
        throw std::runtime_error("cannot write " + written);
    }
    if (greyAlpha) {
        std::string messages;
        if (runProgram("ffmpeg -hide_banner -loglevel error -nostdin -y -i " + quote(written) + " -pix_fmt " +
                           (sixteen ? "ya16be " : "ya8 ") + quote(path),
                       messages) != 0) {
            throw std::runtime_error("ffmpeg could not make a grey-and-alpha PNG: " + messages);
        }
    }
}

std::string encoderArguments(const EncoderFile& file)
{
    std::string arguments = file.avif ? "-A -q 85 -p speed=9" : "-q 85 -p preset=ultrafast";
    if (file.chroma != "mono") {
        arguments += " -p chroma=" + file.chroma;
    }
    if (file.bits > 8) {
        arguments += " -b " + std::to_string(file.bits);
    }
    if (file.lossless) {
        arguments += " -L";
    }
    if (file.matrix) {
        arguments += " --matrix_coefficients=" + std::to_string(*file.matrix);
    }
    if (!file.fullRange) {
        arguments += " --full_range_flag=0";
    }
    if (file.thumbnail != 0) {
        arguments += " -t " + std::to_string(file.thumbnail);
    }
    return arguments;
}

std::uint64_t fnv1a(const std::string& text, std::uint64_t hash = 0xcbf29ce484222325ull)
{
    for (unsigned char c : text) {
        hash ^= c;
        hash *= 0x100000001b3ull;
    }
    return hash;
}

// Runs libheif's encoder, through the fixture cache: the same PNG and
// arguments give the same file on the next run without encoding again.
void encodeWithLibheif(const EncoderFile& file, const std::string& directory, const std::string& name,
                       const std::string& output)
{
    const std::string png = directory + "/" + name + ".png";
    writeEncoderInput(file, png);
    const Bytes pngBytes = fixture::readFileBytes(png);
    const std::string arguments = encoderArguments(file);
    std::ostringstream key;
    key << std::hex << fnv1a(arguments, fnv1a(std::string(pngBytes.begin(), pngBytes.end())));
    const std::string cacheDir = fixture::cacheDirectory();
    const std::string cached = cacheDir + "/referee-" + key.str() + ".heic";
    std::error_code error;
    if (fs::is_regular_file(cached, error) && fs::file_size(cached, error) > 0) {
        fs::copy_file(cached, output, fs::copy_options::overwrite_existing, error);
        if (!error) {
            return;
        }
    }
    std::string messages;
    const int status = runProgram("heif-enc " + arguments + " -o " + quote(output) + " " + quote(png), messages);
    if (status != 0) {
        throw std::runtime_error("heif-enc " + arguments + " failed (" + std::to_string(status) + "): " + messages);
    }
    fs::create_directories(cacheDir, error);
    const std::string partial = cached + "." + name + ".part";
    fs::copy_file(output, partial, fs::copy_options::overwrite_existing, error);
    if (!error) {
        fs::rename(partial, cached, error);
    }
}

// --------------------------------------------------------------- one file

struct Outcome
{
    std::string path;
    std::string setupError;  // the file could not be made
    std::string ourPicture;  // where our decoder's child writes its picture, in the run's folder

    int libheifStatus = -1;  // heif-convert
    std::string libheifOutput;
    cv::Mat reference;           // libheif's picture, see loadPicture
    bool referenceWide = false;  // libheif wrote 16 bits a sample
    std::string libheifPicture;  // which PNG it was, for the log

    std::string infoDump;     // heif-info -d
    std::string infoSummary;  // heif-info
    int infoStatus = -1;

    int oursInfoStatus = -1;  // ambrel-heifinfo --json
    std::string oursInfo;

    int decodeStatus = -1;  // our decoder's child: 0 decoded, 3 refused, else failed
    std::string decodeOutput;
    cv::Mat ours;
    bool oursWide = false;
};

// A PNG as 32-bit float BGRA in units of 8-bit levels (16-bit samples
// divided by 257): grey or colour, with or without alpha (opaque then), 8 or
// 16 bits; `wide` tells which depth it had.
cv::Mat loadPicture(const std::string& path, bool& wide, std::string& error)
{
    const cv::Mat png = cv::imread(path, cv::IMREAD_UNCHANGED);
    if (png.empty() || (png.depth() != CV_8U && png.depth() != CV_16U)) {
        error = png.empty() ? "cannot read " + path : "unexpected PNG depth in " + path;
        return {};
    }
    wide = png.depth() == CV_16U;
    cv::Mat levels;
    png.convertTo(levels, CV_32F, wide ? 1.0 / 257.0 : 1.0);
    cv::Mat bgra;
    switch (levels.channels()) {
    case 1: cv::cvtColor(levels, bgra, cv::COLOR_GRAY2BGRA); break;
    case 3: cv::cvtColor(levels, bgra, cv::COLOR_BGR2BGRA); break;
    case 4: bgra = levels; break;
    default: error = "unexpected PNG channels in " + path; return {};
    }
    if (levels.channels() != 4) {
        cv::Mat opaque(bgra.size(), CV_32F, cv::Scalar(255.0));
        cv::insertChannel(opaque, bgra, 3);
    }
    return bgra;
}

// The position of the primary among heif-info's images (libheif's top-level
// images, which heif-convert numbers from 1 in the same order); 0 when
// heif-info names no primary.
unsigned primaryPosition(const std::string& summary)
{
    std::istringstream lines(summary);
    std::string line;
    unsigned position = 0;
    while (std::getline(lines, line)) {
        if (line.rfind("image: ", 0) == 0) {
            ++position;
            if (line.find(", primary") != std::string::npos) {
                return position;
            }
        }
    }
    return 0;
}

void runLibheif(Outcome& outcome, const std::string& directory, const std::string& name)
{
    runProgram("heif-info -d " + quote(outcome.path), outcome.infoDump);
    outcome.infoStatus = runProgram("heif-info " + quote(outcome.path), outcome.infoSummary);

    const std::string out = directory + "/" + name + ".libheif.png";
    outcome.libheifStatus = runProgram("heif-convert " + quote(outcome.path) + " " + quote(out), outcome.libheifOutput);
    if (outcome.libheifStatus != 0) {
        return;
    }
    // With several top-level images heif-convert numbers its outputs.
    std::string picture = out;
    if (!fs::exists(picture)) {
        const unsigned position = std::max(1u, primaryPosition(outcome.infoSummary));
        picture = directory + "/" + name + ".libheif-" + std::to_string(position) + ".png";
    }
    outcome.libheifPicture = fs::path(picture).filename().string();
    std::string error;
    outcome.reference = loadPicture(picture, outcome.referenceWide, error);
    if (outcome.reference.empty()) {
        outcome.libheifStatus = -2;
        outcome.libheifOutput += "\n" + error;
    }
}

void runOurInfo(Outcome& outcome)
{
    // Standard output only: the JSON (complaints go to standard error).
    outcome.oursInfoStatus =
        runProgram(std::string(AMBREL_HEIFINFO) + " --json " + quote(outcome.path) + " 2>/dev/null", outcome.oursInfo);
}

// Our decoder over several files in one child process (loading the
// decoder's libraries costs more than decoding a small file). The child
// writes each file's picture and then a status file ("0", or the exit
// status and the message of a refusal); when it dies, the first file
// without a status file is the one it died on, and a new child goes on with
// the rest.
void runOurDecoder(const std::vector<Outcome*>& batch, const std::string& directory, const std::string& name)
{
    std::size_t start = 0;
    while (start < batch.size()) {
        const std::string list = directory + "/" + name + ".list";
        {
            std::ofstream out(list, std::ios::trunc);
            for (std::size_t i = start; i < batch.size(); ++i) {
                out << batch[i]->path << '\n' << batch[i]->ourPicture << '\n';
            }
        }
        std::string output;
        const int status = runProgram(quote(selfPath()) + " --referee-decode-list " + quote(list), output);
        for (; start < batch.size(); ++start) {
            Outcome& outcome = *batch[start];
            const std::string& picture = outcome.ourPicture;
            const Bytes done = fixture::readFileBytes(picture + ".status");
            if (done.empty()) {
                outcome.decodeStatus = status == 0 ? -3 : status;
                outcome.decodeOutput =
                    "the decoding process ended (status " + std::to_string(status) + ") on this file: " + output;
                ++start;
                break;
            }
            std::istringstream text(std::string(done.begin(), done.end()));
            text >> outcome.decodeStatus;
            std::getline(text >> std::ws, outcome.decodeOutput);
            if (outcome.decodeStatus == 0) {
                std::string error;
                outcome.ours = loadPicture(picture, outcome.oursWide, error);
                if (outcome.ours.empty()) {
                    outcome.decodeStatus = -2;
                    outcome.decodeOutput = "the decoded picture could not be read back";
                }
            }
        }
    }
}

Outcome prepare(const Row& row, const std::string& directory)
{
    Outcome outcome;
    // Never beside the input: the corpus folder is shared and read by other tests.
    outcome.ourPicture = directory + "/" + row.name + ".ours.png";
    try {
        if (!row.corpusFile.empty()) {
            outcome.path = std::string(AMBREL_CORPUS_DIR) + "/" + row.corpusFile;
            if (!fs::exists(outcome.path)) {
                throw std::runtime_error("corpus file missing: " + outcome.path);
            }
        } else {
            outcome.path = directory + "/" + row.name + ".heic";
            if (row.encoder) {
                encodeWithLibheif(*row.encoder, directory, row.name, outcome.path);
            } else {
                fixture::writeFileBytes(outcome.path, row.writer());
            }
        }
    } catch (const std::exception& e) {
        outcome.setupError = e.what();
        return outcome;
    }
    runLibheif(outcome, directory, row.name);
    runOurInfo(outcome);
    return outcome;
}

// --------------------------------------------------------------- the run

class Session
{
public:
    static Session& instance()
    {
        static Session session;
        return session;
    }

    const std::vector<Row>& rows() const { return mRows; }

    // Makes and runs every row this run selected, two at a time; once.
    void prepareSelected()
    {
        if (mPrepared) {
            return;
        }
        mPrepared = true;
        mMissing = missingPrograms();
        if (!mMissing.empty()) {
            return;
        }
        std::error_code error;
        mDirectory = (fs::temp_directory_path(error) / ("ambrel-referee-" + std::to_string(::getpid()))).string();
        fs::create_directories(mDirectory, error);

        std::set<std::string> selected;
        const auto* unit = ::testing::UnitTest::GetInstance();
        for (int s = 0; s < unit->total_test_suite_count(); ++s) {
            const auto* suite = unit->GetTestSuite(s);
            for (int t = 0; t < suite->total_test_count(); ++t) {
                const auto* info = suite->GetTestInfo(t);
                if (info->should_run()) {
                    const std::string name = info->name();
                    selected.insert(name.substr(name.find('/') + 1));
                }
            }
        }
        std::vector<std::size_t> work;
        for (std::size_t i = 0; i < mRows.size(); ++i) {
            if (selected.count(mRows[i].name) != 0) {
                work.push_back(i);
            }
        }
        mOutcomes.resize(mRows.size());
        std::atomic<std::size_t> next{0};
        auto worker = [&] {
            for (std::size_t at = next++; at < work.size(); at = next++) {
                mOutcomes[work[at]] = prepare(mRows[work[at]], mDirectory);
            }
        };
        std::thread second(worker);
        worker();
        second.join();

        // Our decoder, in two long-lived children (a crash is pinned to its
        // file and a new child goes on with the rest).
        std::vector<std::vector<Outcome*>> batches(2);
        for (std::size_t at = 0; at < work.size(); ++at) {
            Outcome& outcome = mOutcomes[work[at]];
            if (!outcome.setupError.empty()) {
                continue;
            }
            batches[at % 2].push_back(&outcome);
        }
        std::atomic<std::size_t> nextBatch{0};
        auto decoder = [&](const std::string& name) {
            for (std::size_t at = nextBatch++; at < batches.size(); at = nextBatch++) {
                runOurDecoder(batches[at], mDirectory, name);
            }
        };
        std::thread secondDecoder(decoder, "decoder-2");
        decoder("decoder-1");
        secondDecoder.join();
    }

    const std::string& missing() const { return mMissing; }
    const Outcome& outcome(std::size_t row) const { return mOutcomes.at(row); }

    struct Figures
    {
        std::string row;
        double mean = 0;
        double line = 0;
    };
    void record(const Row& row, const std::optional<Figures>& figures, bool differs)
    {
        ++mCounts[row.category];
        if (figures) {
            ++mCompared;
            Worst& worst = row.knownDifference.empty() ? mWorstUnmarked : mWorstMarked;
            if (figures->mean >= worst.mean.mean) {
                worst.mean = *figures;
            }
            if (figures->line >= worst.line.line) {
                worst.line = *figures;
            }
        }
        if (differs) {
            mDiffering.push_back(row.name + (row.knownDifference.empty() ? "" : " (known)"));
        }
    }

    void printSummary() const
    {
        if (mCounts.empty()) {
            return;
        }
        std::ostringstream out;
        out << std::fixed << std::setprecision(2);
        out << "[referee] summary\n";
        unsigned total = 0;
        for (const auto& [category, count] : mCounts) {
            out << "[referee]   " << std::setw(4) << count << "  " << category << '\n';
            total += count;
        }
        out << "[referee]   " << std::setw(4) << total << "  files in all; " << mCompared
            << " pictures compared with libheif's\n";
        for (const auto& [label, worst] : {std::pair<const char*, const Worst&>{"rows without a mark", mWorstUnmarked},
                                           std::pair<const char*, const Worst&>{"rows marked known", mWorstMarked}}) {
            out << "[referee]   " << label << ": worst mean difference per channel " << worst.mean.mean << " ("
                << worst.mean.row << "), worst row/column mean difference " << worst.line.line << " (" << worst.line.row
                << ")\n";
        }
        out << "[referee]   " << mDiffering.size() << " files differ:";
        for (const auto& name : mDiffering) {
            out << "\n[referee]     " << name;
        }
        std::cout << out.str() << std::endl;
    }

    ~Session()
    {
        if (std::getenv("AMBREL_REFEREE_KEEP") != nullptr) {
            std::cout << "[referee] files kept in " << mDirectory << std::endl;
        } else if (!mDirectory.empty()) {
            std::error_code error;
            fs::remove_all(mDirectory, error);
        }
    }

private:
    Session() : mRows(allRows()) {}

    std::vector<Row> mRows;
    bool mPrepared = false;
    std::string mMissing;
    std::string mDirectory;
    std::vector<Outcome> mOutcomes;

    std::map<std::string, unsigned> mCounts;
    unsigned mCompared = 0;
    struct Worst
    {
        Figures mean;
        Figures line;
    };
    Worst mWorstUnmarked;
    Worst mWorstMarked;
    std::vector<std::string> mDiffering;
};

class SummaryPrinter : public ::testing::Environment
{
public:
    void TearDown() override { Session::instance().printSummary(); }
};

// --------------------------------------------------------------- comparing

struct PixelFigures
{
    double mean[3] = {0, 0, 0};  // B, G, R
    double worstRow = 0;
    int worstRowAt = 0;
    double worstColumn = 0;
    int worstColumnAt = 0;
    double alphaMean = 0;  // alpha, over every pixel
};

// Colours are compared where libheif's picture is not wholly transparent
// (what lies under a transparent pixel is nobody's business); alpha
// everywhere. Pictures in loadPicture's form.
PixelFigures comparePixels(const cv::Mat& ours, const cv::Mat& reference)
{
    PixelFigures figures;
    const int width = ours.cols;
    const int height = ours.rows;
    std::vector<double> rowSums(std::size_t(height) * 3, 0.0);
    std::vector<double> rowCounts(std::size_t(height), 0.0);
    std::vector<double> columnSums(std::size_t(width) * 3, 0.0);
    std::vector<double> columnCounts(std::size_t(width), 0.0);
    double sums[3] = {0, 0, 0};
    double counted = 0;
    double alphaSum = 0;
    for (int y = 0; y < height; ++y) {
        const auto* a = ours.ptr<float>(y);
        const auto* b = reference.ptr<float>(y);
        for (int x = 0; x < width; ++x) {
            alphaSum += std::abs(double(a[x * 4 + 3]) - double(b[x * 4 + 3]));
            if (b[x * 4 + 3] == 0.0f) {
                continue;
            }
            counted += 1;
            rowCounts[std::size_t(y)] += 1;
            columnCounts[std::size_t(x)] += 1;
            for (int c = 0; c < 3; ++c) {
                const double d = std::abs(double(a[x * 4 + c]) - double(b[x * 4 + c]));
                sums[c] += d;
                rowSums[std::size_t(y) * 3 + c] += d;
                columnSums[std::size_t(x) * 3 + c] += d;
            }
        }
    }
    figures.alphaMean = alphaSum / (double(width) * height);
    for (int c = 0; c < 3; ++c) {
        figures.mean[c] = counted > 0 ? sums[c] / counted : 0.0;
    }
    for (int y = 0; y < height; ++y) {
        for (int c = 0; c < 3 && rowCounts[std::size_t(y)] > 0; ++c) {
            const double mean = rowSums[std::size_t(y) * 3 + c] / rowCounts[std::size_t(y)];
            if (mean > figures.worstRow) {
                figures.worstRow = mean;
                figures.worstRowAt = y;
            }
        }
    }
    for (int x = 0; x < width; ++x) {
        for (int c = 0; c < 3 && columnCounts[std::size_t(x)] > 0; ++c) {
            const double mean = columnSums[std::size_t(x) * 3 + c] / columnCounts[std::size_t(x)];
            if (mean > figures.worstColumn) {
                figures.worstColumn = mean;
                figures.worstColumnAt = x;
            }
        }
    }
    return figures;
}

struct ItemEntry
{
    std::uint32_t id = 0;
    std::string type;
    bool operator<(const ItemEntry& other) const { return id < other.id || (id == other.id && type < other.type); }
    bool operator==(const ItemEntry& other) const = default;
};

std::string describe(const std::vector<ItemEntry>& items)
{
    std::string text;
    for (const auto& item : items) {
        text += (text.empty() ? "" : " ") + std::to_string(item.id) + ":" + item.type;
    }
    return text.empty() ? "(none)" : text;
}

std::string trim(const std::string& text)
{
    const auto begin = text.find_first_not_of(" \r\n");
    const auto end = text.find_last_not_of(" \r\n");
    return begin == std::string::npos ? std::string() : text.substr(begin, end - begin + 1);
}

// One line of a program's output for the log.
std::string oneLine(const std::string& text, std::size_t limit = 160)
{
    std::string line = trim(text).substr(0, limit);
    std::replace(line.begin(), line.end(), '\n', ' ');
    return line;
}

// libheif's item table from heif-info -d: the 'infe' entries and the 'pitm'.
struct LibheifItems
{
    std::vector<ItemEntry> items;
    std::optional<std::uint32_t> primary;
};

LibheifItems parseDump(const std::string& dump)
{
    LibheifItems result;
    std::istringstream lines(dump);
    std::string line;
    std::string box;
    std::optional<std::uint32_t> id;
    while (std::getline(lines, line)) {
        const std::string content = trim(line.substr(std::min(line.find_first_not_of("| "), line.size())));
        if (content.rfind("Box: ", 0) == 0) {
            box = content.substr(5, 4);
            id.reset();
            continue;
        }
        if (content.rfind("item_ID: ", 0) == 0) {
            id = static_cast<std::uint32_t>(std::stoul(content.substr(9)));
            if (box == "pitm") {
                result.primary = id;
            }
        } else if (box == "infe" && id && line.find("item_type: ") != std::string::npos) {
            // The type may end in a blank ("uri "): take four characters.
            const std::string type = line.substr(line.find("item_type: ") + 11, 4);
            result.items.push_back(ItemEntry{*id, type});
        }
    }
    std::sort(result.items.begin(), result.items.end());
    return result;
}

// What heif-info says of the primary image: its section of the summary.
std::string primarySection(const std::string& summary)
{
    const auto start = summary.find(", primary");
    if (start == std::string::npos) {
        return {};
    }
    const auto end = summary.find("\nimage: ", start);
    return summary.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

std::string imageItemType(const Json::Value& item)
{
    const std::string type = item["type"].asString();
    if (type == "master" || type == "hidden" || type == "pre-computed") {
        return item["code_type"].asString();
    }
    return type;
}

bool hasFeature(const Json::Value& item, const std::string& feature)
{
    for (const auto& f : item["features"]) {
        if (f.asString() == feature) {
            return true;
        }
    }
    return false;
}

// Differences between the item lists; empty when they agree.
std::vector<std::string> compareItems(const Outcome& outcome, std::string& figures)
{
    std::vector<std::string> differences;
    const LibheifItems theirs = parseDump(outcome.infoDump);
    Json::Value ours;
    Json::CharReaderBuilder builder;
    std::string errors;
    std::istringstream stream(outcome.oursInfo);
    Json::Value files;
    if (Json::parseFromStream(builder, stream, &files, &errors) && files.isArray() && files.size() == 1) {
        ours = files[0];  // --json prints an array, here of one file
    }
    if (!ours.isObject()) {
        differences.push_back("ambrel-heifinfo printed no JSON (status " + std::to_string(outcome.oursInfoStatus) +
                              "): " + outcome.oursInfo.substr(0, 400));
        return differences;
    }
    if (outcome.oursInfoStatus != 0) {
        differences.push_back("ambrel-heifinfo reports a fault (exit status " + std::to_string(outcome.oursInfoStatus) +
                              ") in a file heif-info lists without one");
    }
    std::vector<ItemEntry> mine;
    for (const auto& item : ours["items"]) {
        mine.push_back(ItemEntry{item["id"].asUInt(), imageItemType(item)});
    }
    for (const auto& item : ours["other_items"]) {
        mine.push_back(ItemEntry{item["id"].asUInt(), item["type"].asString()});
    }
    std::sort(mine.begin(), mine.end());
    figures = std::to_string(mine.size()) + " items";
    if (mine != theirs.items) {
        differences.push_back("item ids and types: ours " + describe(mine) + ", libheif's " + describe(theirs.items));
    }
    std::optional<std::uint32_t> ourPrimary;
    if (ours["primary"].isUInt()) {
        ourPrimary = ours["primary"].asUInt();
    }
    if (ourPrimary != theirs.primary) {
        differences.push_back("primary item: ours " + (ourPrimary ? std::to_string(*ourPrimary) : "none") +
                              ", the file's 'pitm' as libheif reads it " +
                              (theirs.primary ? std::to_string(*theirs.primary) : "none"));
    }
    // What hangs off the primary: thumbnails, and alpha or depth planes.
    const std::string section = primarySection(outcome.infoSummary);
    const std::uint32_t primaryId = ourPrimary.value_or(0);
    if (primaryId != 0 && !section.empty()) {
        for (const auto& item : ours["items"]) {
            if (item["id"].asUInt() != primaryId) {
                continue;
            }
            const bool theirThumbnails = section.find("thumbnail:") != std::string::npos;
            const bool theirAuxiliary = section.find("alpha channel: yes") != std::string::npos ||
                                        section.find("depth channel: yes") != std::string::npos;
            if (hasFeature(item, "HasThumbnails") != theirThumbnails) {
                differences.push_back(std::string("primary thumbnails: ours ") +
                                      (hasFeature(item, "HasThumbnails") ? "yes" : "no") + ", libheif's " +
                                      (theirThumbnails ? "yes" : "no"));
            }
            if (hasFeature(item, "HasAuxiliaryImages") != theirAuxiliary) {
                differences.push_back(std::string("primary auxiliary images: ours ") +
                                      (hasFeature(item, "HasAuxiliaryImages") ? "yes" : "no") + ", libheif's " +
                                      (theirAuxiliary ? "yes" : "no"));
            }
        }
    }
    return differences;
}

class Referee : public ::testing::TestWithParam<std::size_t>
{};

TEST_P(Referee, AgreesWithLibheif)
{
    Session& session = Session::instance();
    session.prepareSelected();
    ASSERT_TRUE(session.missing().empty())
        << "libheif's command-line programs are required (missing: " << session.missing()
        << "); install them with scripts/install-deps.sh (Debian: apt-get install libheif-examples ffmpeg)";

    const Row& row = session.rows().at(GetParam());
    const Outcome& outcome = session.outcome(GetParam());
    ASSERT_TRUE(outcome.setupError.empty()) << "could not make the file: " << outcome.setupError;

    std::vector<std::string> differences;
    std::optional<Session::Figures> figures;
    std::ostringstream log;
    log << std::fixed << std::setprecision(2) << "[referee] " << row.name << ": ";

    const bool libheifAccepts = outcome.libheifStatus == 0;
    const bool weAccept = outcome.decodeStatus == 0;
    if (row.corpusFile.empty() && !row.broken) {
        // Our own files must be good ones: a refusal by libheif is a fault of
        // the file's maker, not a difference.
        ASSERT_TRUE(libheifAccepts) << "heif-convert refused the generated file (" << outcome.libheifStatus << "):\n"
                                    << outcome.libheifOutput << "\nheif-info:\n"
                                    << outcome.infoSummary;
    }
    if (outcome.decodeStatus != 0 && outcome.decodeStatus != 3) {
        differences.push_back("our decoder failed or crashed (exit status " + std::to_string(outcome.decodeStatus) +
                              "): " + outcome.decodeOutput.substr(0, 400));
    } else if (libheifAccepts != weAccept) {
        differences.push_back(
            std::string(libheifAccepts ? "libheif decodes it, we refuse it: " : "libheif refuses it, we decode it: ") +
            (libheifAccepts ? oneLine(outcome.decodeOutput) : oneLine(outcome.libheifOutput)));
    }

    if (libheifAccepts && weAccept) {
        const cv::Mat& ours = outcome.ours;
        const cv::Mat& reference = outcome.reference;
        log << ours.cols << "x" << ours.rows;
        if (ours.size() != reference.size()) {
            differences.push_back("displayed size: ours " + std::to_string(ours.cols) + "x" +
                                  std::to_string(ours.rows) + ", libheif's " + std::to_string(reference.cols) + "x" +
                                  std::to_string(reference.rows) + " (" + outcome.libheifPicture + ")");
        } else {
            const PixelFigures f = comparePixels(ours, reference);
            const double mean = std::max({f.mean[0], f.mean[1], f.mean[2]});
            const double line = std::max(f.worstRow, f.worstColumn);
            figures = Session::Figures{row.name, mean, line};
            log << ", mean |diff| B " << f.mean[0] << " G " << f.mean[1] << " R " << f.mean[2] << ", worst row "
                << f.worstRow << " (y " << f.worstRowAt << "), worst column " << f.worstColumn << " (x "
                << f.worstColumnAt << ")";
            log << ", alpha " << f.alphaMean << (outcome.oursWide ? ", 16-bit" : ", 8-bit");
            if (f.alphaMean > kMaxAlphaDifference) {
                std::ostringstream text;
                text << std::fixed << std::setprecision(2) << "mean alpha difference " << f.alphaMean << " exceeds "
                     << kMaxAlphaDifference;
                differences.push_back(text.str());
            }
            if (outcome.referenceWide && !outcome.oursWide) {
                differences.push_back("libheif's picture has 16 bits a sample, ours 8");
            }
            if (mean > kMaxMeanDifference) {
                std::ostringstream text;
                text << std::fixed << std::setprecision(2) << "mean difference per channel (B, G, R) " << f.mean[0]
                     << ", " << f.mean[1] << ", " << f.mean[2] << " exceeds " << kMaxMeanDifference;
                differences.push_back(text.str());
            }
            if (f.worstRow > kMaxLineMeanDifference) {
                std::ostringstream text;
                text << std::fixed << std::setprecision(2) << "row " << f.worstRowAt << " differs by " << f.worstRow
                     << " on average (limit " << kMaxLineMeanDifference << ")";
                differences.push_back(text.str());
            }
            if (f.worstColumn > kMaxLineMeanDifference) {
                std::ostringstream text;
                text << std::fixed << std::setprecision(2) << "column " << f.worstColumnAt << " differs by "
                     << f.worstColumn << " on average (limit " << kMaxLineMeanDifference << ")";
                differences.push_back(text.str());
            }
        }
    } else if (!libheifAccepts && !weAccept) {
        log << "refused by both (libheif: " << oneLine(outcome.libheifOutput) << ")";
    } else if (outcome.decodeStatus != 0 && outcome.decodeStatus != 3) {
        log << "our decoder failed";
    } else {
        log << (weAccept ? "libheif refuses it" : "we refuse it");
    }

    // The item lists, for every file libheif can list.
    if (outcome.infoStatus == 0) {
        std::string itemFigures;
        for (auto& difference : compareItems(outcome, itemFigures)) {
            differences.push_back(std::move(difference));
        }
        log << (itemFigures.empty() ? "" : "; " + itemFigures);
    }

    log << (differences.empty() ? "; agrees" : "; DIFFERS");
    std::cout << log.str() << std::endl;
    session.record(row, figures, !differences.empty());

    if (row.knownDifference.empty()) {
        for (const auto& difference : differences) {
            ADD_FAILURE() << difference << "\n  file: " << outcome.path;
        }
        return;
    }
    std::cout << "[referee]   known difference: " << row.knownDifference << std::endl;
    for (const auto& difference : differences) {
        std::cout << "[referee]     " << difference << std::endl;
    }
    if (differences.empty()) {
        ADD_FAILURE() << "marked as a known difference (" << row.knownDifference
                      << ") but now agrees with libheif: remove the mark";
    }
}

std::vector<std::size_t> rowIndices()
{
    std::vector<std::size_t> indices(Session::instance().rows().size());
    for (std::size_t i = 0; i < indices.size(); ++i) {
        indices[i] = i;
    }
    return indices;
}

INSTANTIATE_TEST_SUITE_P(Files, Referee, ::testing::ValuesIn(rowIndices()),
                         [](const ::testing::TestParamInfo<std::size_t>& info) {
                             return Session::instance().rows().at(info.param).name;
                         });

// The child's side: decode each file of the list (lines: input, output
// picture) with our pipeline, writing the picture as PNG and then the
// status file beside it.
int decodeList(const char* list)
{
    std::ifstream in(list);
    std::string input;
    std::string output;
    while (std::getline(in, input) && std::getline(in, output)) {
        const Bytes bytes = fixture::readFileBytes(input);
        ConversionSettings settings;
        settings.format = OutputFormat::Png;
        settings.depth = 16;
        settings.keepExif = false;
        const ConvertedFile file = convertHeif(bytes.data(), bytes.size(), settings);
        std::string status;
        if (!file.ok) {
            status = "3 " + (file.message.empty() ? std::string("refused") : file.message) + ": " + file.detail;
        } else {
            fixture::writeFileBytes(output, file.bytes);
            status = "0";
        }
        std::replace(status.begin(), status.end(), '\n', ' ');
        std::ofstream(output + ".status", std::ios::trunc) << status << '\n';
    }
    return 0;
}

}  // namespace
}  // namespace referee

int main(int argc, char** argv)
{
    if (argc == 3 && std::string(argv[1]) == "--referee-decode-list") {
        return referee::decodeList(argv[2]);
    }
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::AddGlobalTestEnvironment(new referee::SummaryPrinter);
    return RUN_ALL_TESTS();
}
