#include "convert/conversion_job.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <iostream>
#include <map>
#include <mutex>
#include <new>
#include <set>
#include <system_error>
#include <thread>
#include <utility>

#include "convert/file_descriptor.h"
#include "pipeline/decode/extraction.h"
#include "pipeline/heif2jpg.h"

namespace ambrel::convert {

void JobListener::logLine(const std::string& line)
{
    std::cerr << line << '\n';
}

namespace {

struct RowOutcome
{
    bool converted = false;
    std::string text;    // the output path, the existing file when skipped, or the failure text
    std::string detail;  // what went wrong, in English, when not converted
    std::vector<std::string> logLines;
    bool skipped = false;
    RowFacts facts;
    std::vector<std::pair<std::string, RowFacts>> extras;  // further files written, in order
    PreviewPicture picture;                                // the written picture reduced, when asked for

    static RowOutcome failure(const char* text, std::string detail)
    {
        return RowOutcome{false, text, std::move(detail), {}, false, {}, {}, {}};
    }
};

// The pipeline's screen-sized picture (8-bit BGR) as the job hands it on;
// empty for anything else.
PreviewPicture previewPictureOf(const cv::Mat& preview)
{
    PreviewPicture picture;
    if (preview.empty() || preview.type() != CV_8UC3) {
        return picture;
    }
    picture.width = static_cast<std::uint32_t>(preview.cols);
    picture.height = static_cast<std::uint32_t>(preview.rows);
    picture.stride = static_cast<std::size_t>(preview.cols) * 3;
    picture.bgr.resize(picture.stride * picture.height);
    for (int y = 0; y < preview.rows; ++y) {
        std::copy_n(preview.ptr<std::uint8_t>(y), picture.stride, picture.bgr.data() + picture.stride * y);
    }
    return picture;
}

std::string systemText(int error)
{
    return std::error_code(error, std::generic_category()).message();
}

struct Source
{
    Bytes bytes;
    struct timespec modificationTime
    {};
};

// Reads a whole regular file of at most kMaxSourceBytes. The outcome is set
// (and the bytes empty) when the row already fails here.
std::optional<RowOutcome> readSource(const std::string& path, Source& source)
{
    const FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (!fd) {
        return RowOutcome::failure(kTextNotFound, "cannot open the file: " + systemText(errno));
    }
    struct stat info
    {};
    if (::fstat(fd.get(), &info) != 0) {
        return RowOutcome::failure(kTextNotFound, "cannot open the file: " + systemText(errno));
    }
    if (!S_ISREG(info.st_mode)) {
        return RowOutcome::failure(kTextNotFound,
                                   S_ISDIR(info.st_mode) ? "a folder, not a file" : "not a regular file");
    }
    const auto size = static_cast<std::uint64_t>(info.st_size);
    if (size > kMaxSourceBytes) {
        RowOutcome outcome = RowOutcome::failure(kTextConversionFailed, "the file is " + std::to_string(size) +
                                                                            " bytes, more than the limit of " +
                                                                            std::to_string(kMaxSourceBytes));
        outcome.logLines.push_back("input_Buffer: " + path + " is " + std::to_string(size) + " bytes, more than " +
                                   std::to_string(kMaxSourceBytes));
        return outcome;
    }
    source.modificationTime = info.st_mtim;
    source.bytes.resize(size);
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = ::read(fd.get(), source.bytes.data() + done, size - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            const int error = errno;
            source.bytes.clear();
            return RowOutcome::failure(kTextNotFound, "cannot read the file: " + systemText(error));
        }
        if (n == 0) {
            break;  // the file became shorter since fstat
        }
        done += static_cast<std::size_t>(n);
    }
    source.bytes.resize(done);
    if (source.bytes.empty()) {
        RowOutcome outcome = RowOutcome::failure(kTextConversionFailed, "the file is empty");
        outcome.logLines.push_back("input_Buffer: " + path + " is empty");
        return outcome;
    }
    return std::nullopt;
}

// The folders a job writes into, each swept once of the temporary files that
// an earlier run, killed in the middle of a write, left behind.
class StaleTemporarySweep
{
public:
    void beforeWritingInto(const std::string& folder)
    {
        const std::lock_guard lock(mMutex);
        if (mSwept.insert(folder).second) {
            removeStaleTemporaries(folder);
        }
    }

private:
    std::mutex mMutex;
    std::set<std::string> mSwept;
};

// The files of the job: its sources, which no output may replace, and the
// folders swept before the first write.
class JobFiles
{
public:
    explicit JobFiles(const std::vector<FileRecord>& records)
    {
        for (const FileRecord& record : records) {
            struct stat info
            {};
            if (::stat(record.heicPath.c_str(), &info) == 0) {
                mSources.emplace(info.st_dev, info.st_ino);
            }
            if (auto key = nameKey(record.heicPath)) {
                mSourceNames.insert(std::move(*key));
            }
        }
    }

    // Whether the path names a source of the job: the same file (by any name
    // or link), or a name in a source's folder that differs from the
    // source's only in letter case. File systems that ignore letter case
    // (exFAT, FAT) take it for the source, and through FUSE they may give
    // each spelling an inode number of its own.
    bool isSource(const std::string& path) const
    {
        struct stat info
        {};
        if (::stat(path.c_str(), &info) == 0 && mSources.contains({info.st_dev, info.st_ino})) {
            return true;
        }
        const auto key = nameKey(path);
        return key && mSourceNames.contains(*key);
    }

    StaleTemporarySweep sweep;

private:
    // The folder (device and inode) and the file name in lower case.
    using NameKey = std::pair<std::pair<dev_t, ino_t>, std::string>;

    static std::optional<NameKey> nameKey(const std::string& path)
    {
        struct stat folder
        {};
        if (::stat(folderOf(path).c_str(), &folder) != 0) {
            return std::nullopt;
        }
        std::string name(lastComponent(path));
        for (char& c : name) {
            if (c >= 'A' && c <= 'Z') {
                c = static_cast<char>(c - 'A' + 'a');
            }
        }
        return NameKey{{folder.st_dev, folder.st_ino}, name};
    }

    std::set<std::pair<dev_t, ino_t>> mSources;
    std::set<NameKey> mSourceNames;
};

// Where a row's output goes: the folder and the name, decided before the
// row is converted.
struct PlannedOutput
{
    std::string folder;
    std::string stem;                     // without the _n of a candidate
    std::size_t keptTail = 0;             // the end of the stem a shortened name keeps (WriteOptions)
    unsigned candidate = 1;               // the candidate to write first (candidateName)
    std::optional<std::string> existing;  // with ExistingOutput::Skip: the file that takes the name
    std::string note;                     // said in the row (RowFacts::note)
};

std::string extensionOf(const JobOptions& options, std::optional<OutputFormat> format = std::nullopt)
{
    return formatExtension(format.value_or(options.format), options.lowerCaseExtensions);
}

// Whether the text is what a job puts after a stem: its timestamp (whole
// seconds times 1000, so at least ten digits ending in "000"), with the "_n"
// of a further candidate or not.
bool isJobTimestamp(std::string_view text)
{
    const auto digits = [](std::string_view part) {
        return !part.empty() && part.find_first_not_of("0123456789") == std::string_view::npos;
    };
    const auto underscore = text.find('_');
    const std::string_view stamp = text.substr(0, underscore);
    if (underscore != std::string_view::npos && !digits(text.substr(underscore + 1))) {
        return false;
    }
    return digits(stamp) && stamp.size() >= 10 && stamp.ends_with("000");
}

// With Skip and timestamped names: an earlier job's output of the stem in the
// folder, "STEM_TIMESTAMP.EXT" (a job timestamp of any time, isJobTimestamp);
// none when there is none. The folders' names are read once.
class EarlierOutputs
{
public:
    std::optional<std::string> find(const std::string& folder, const std::string& stem, const std::string& extension)
    {
        auto [at, added] = mNames.try_emplace(folder);
        if (added) {
            std::error_code error;
            for (std::filesystem::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
                at->second.insert(it->path().filename().string());
            }
        }
        const std::string prefix = stem + "_";
        const std::string suffix = "." + extension;
        for (auto name = at->second.lower_bound(prefix); name != at->second.end() && name->starts_with(prefix);
             ++name) {
            if (!name->ends_with(suffix) || name->size() <= prefix.size() + suffix.size()) {
                continue;
            }
            if (isJobTimestamp(name->substr(prefix.size(), name->size() - prefix.size() - suffix.size()))) {
                return folderPath(folder, *name);
            }
        }
        return std::nullopt;
    }

private:
    std::map<std::string, std::set<std::string>> mNames;
};

std::string outputFolderOf(const FileRecord& record, const JobOptions& options)
{
    if (!options.outputFolder) {
        return record.originalFilePath;
    }
    if (record.outputSubfolder.empty()) {
        return *options.outputFolder;
    }
    const std::string& base = *options.outputFolder;
    return base.ends_with('/') ? base + record.outputSubfolder : base + "/" + record.outputSubfolder;
}

// The spelling-independent key of an output path within the batch.
std::string outputKey(const std::string& path)
{
    std::error_code error;
    const auto absolute = std::filesystem::absolute(path, error);
    return error ? path : absolute.lexically_normal().string();
}

bool nameTaken(const std::string& path)
{
    struct stat info
    {};
    return ::lstat(path.c_str(), &info) == 0;
}

// Every row's output, in list order: a name taken by an earlier row of the
// batch moves on to the next candidate; a name taken by an existing file
// does too, unless the job skips or overwrites such files; a source of the
// job is never overwritten.
std::vector<PlannedOutput> planOutputs(const JobDescription& job, const std::string& timestamp, const JobFiles& files)
{
    const JobOptions& options = job.options;
    const bool plan = options.planNames || options.existing != ExistingOutput::NewName;
    const std::string extension = extensionOf(options);
    std::vector<PlannedOutput> planned;
    planned.reserve(job.records.size());
    std::set<std::string> batch;
    EarlierOutputs earlier;
    for (const FileRecord& record : job.records) {
        PlannedOutput output;
        output.folder = outputFolderOf(record, options);
        output.stem = options.plainNames ? record.fileName : record.fileName + "_" + timestamp;
        output.keptTail = options.plainNames ? 0 : timestamp.size() + 1;
        if (plan && options.existing == ExistingOutput::Skip && !options.plainNames) {
            output.existing = earlier.find(output.folder, record.fileName, extension);
            if (output.existing) {
                planned.push_back(std::move(output));
                continue;
            }
        }
        if (plan) {
            for (; output.candidate < kMaxNameCandidates; ++output.candidate) {
                const std::string path = folderPath(
                    output.folder, outputFileName(output.stem, output.candidate, extension, output.keptTail));
                if (batch.contains(outputKey(path))) {
                    continue;
                }
                if (options.existing == ExistingOutput::Overwrite && files.isSource(path)) {
                    output.note = path + " is a source of this run, so the output takes another name";
                    continue;
                }
                if (options.existing != ExistingOutput::Overwrite && nameTaken(path)) {
                    if (options.existing == ExistingOutput::Skip) {
                        output.existing = path;
                        break;
                    }
                    continue;
                }
                batch.insert(outputKey(path));
                break;
            }
        }
        planned.push_back(std::move(output));
    }
    return planned;
}

// The output file's bytes for the row's file, with the file's modification
// time; the outcome when the row fails here. The file's bytes are let go of
// on return. What of the image could not be carried goes to the log.
pipeline::ConversionSettings settingsFor(const JobOptions& options)
{
    pipeline::ConversionSettings settings;
    settings.format = options.format;
    settings.quality = options.quality;
    settings.scale = options.scale;
    settings.keepExif = options.keepExif;
    settings.keepHdr = options.keepHdr;
    settings.depth = options.depth;
    settings.maxSide = options.maxSide;
    return settings;
}

std::optional<RowOutcome> convertSource(const FileRecord& record, const pipeline::ConversionSettings& settings,
                                        const Source& source, Bytes& outData,
                                        std::pair<std::uint32_t, std::uint32_t>& size,
                                        std::vector<std::string>& logLines, PreviewPicture* picture = nullptr,
                                        std::string* hdr = nullptr)
{
    pipeline::ConvertedFile result = pipeline::convertHeif(source.bytes.data(), source.bytes.size(), settings);
    if (!result.ok || result.bytes.empty()) {
        const std::string detail = result.detail.empty() ? std::string("the conversion failed") : result.detail;
        RowOutcome outcome = RowOutcome::failure(kTextConversionFailed, detail);
        outcome.logLines.push_back("input_Buffer: " + record.heicPath + " " + result.message + ": " + detail);
        return outcome;
    }
    if (!result.warning.empty()) {
        logLines.push_back(record.heicPath + ": " + result.warning);
    }
    outData = std::move(result.bytes);
    size = {result.width, result.height};
    if (picture != nullptr) {
        *picture = previewPictureOf(result.preview);
    }
    if (hdr != nullptr) {
        *hdr = std::move(result.hdr);
    }
    return std::nullopt;
}

// Writes the output file under a name not yet taken, in the output folder or
// beside the source (with Overwrite, over the planned name, unless a source
// of the job holds it).
RowOutcome saveOutput(const PlannedOutput& planned, const JobOptions& options, JobFiles& files, const Bytes& outData,
                      const struct timespec& modificationTime, std::optional<OutputFormat> format = std::nullopt)
{
    const std::string& wanted = planned.folder;
    std::string reason;
    const auto folder = createDirectory(wanted, &reason);
    if (!folder) {
        return RowOutcome::failure(kTextFolderFailed, "cannot create the folder " + wanted + ": " + reason);
    }
    files.sweep.beforeWritingInto(*folder);
    WriteOptions writeOptions;
    if (options.keepDates) {
        writeOptions.modificationTime = modificationTime;
    }
    writeOptions.firstCandidate = planned.candidate;
    writeOptions.keptTail = planned.keptTail;
    const std::string extension = extensionOf(options, format);
    const std::string wantedPath =
        folderPath(*folder, outputFileName(planned.stem, planned.candidate, extension, planned.keptTail));
    bool overwrite = options.existing == ExistingOutput::Overwrite;
    std::string note = planned.note;
    if (overwrite && files.isSource(wantedPath)) {
        overwrite = false;
        note = wantedPath + " is a source of this run, so the output takes another name";
    }
    int writeError = 0;
    const auto written = overwrite ? replaceFile(*folder, planned.stem, extension, outData, writeOptions, &writeError)
                                   : writeNewFile(*folder, planned.stem, extension, outData, writeOptions, &writeError);
    if (!written) {
        return RowOutcome::failure(
            kTextSaveFailed, "cannot write " + wantedPath + ": " + systemText(writeError != 0 ? writeError : EIO));
    }
    RowOutcome outcome{true, *written, {}, {}, false, {}, {}, {}};
    outcome.facts.note = std::move(note);
    return outcome;
}

// The end of the name of a sequence's first frame.
constexpr const char* kFirstFrameSuffix = "_f0001";

// One further output of a row: the image it holds and the end of its name.
struct ExtraOutput
{
    pipeline::ConversionSettings settings;
    std::string suffix;  // "_depth", "_2", "_f0001"...
};

// The name an auxiliary image's file ends in: its kind, "_auxN" for others.
std::string auxiliarySuffix(const pipeline::AuxiliaryImage& auxiliary, unsigned& others)
{
    if (auxiliary.kind == pipeline::AuxiliaryKind::Other) {
        return "_aux" + std::to_string(++others);
    }
    return std::string("_") + pipeline::auxiliaryKindName(auxiliary.kind);
}

void addAuxiliaryOutputs(const pipeline::ListedImage& image, const JobOptions& options,
                         const pipeline::ConversionSettings& base, const std::string& prefix,
                         std::vector<ExtraOutput>& extras)
{
    unsigned others = 0;
    for (const pipeline::AuxiliaryImage& auxiliary : image.auxiliary) {
        ExtraOutput extra{base, prefix + auxiliarySuffix(auxiliary, others)};
        extra.settings.itemId = auxiliary.id;
        extra.settings.frame = -1;
        if (options.auxiliaryPngWhenDeep && auxiliary.bitDepth > 8) {
            extra.settings.format = OutputFormat::Png;
        }
        extras.push_back(std::move(extra));
    }
}

// The further outputs the options ask for, and whether the row's main output
// is the sequence's first frame under its frame name.
std::vector<ExtraOutput> extraOutputs(const pipeline::ImageInventory& inventory, const JobOptions& options,
                                      const pipeline::ConversionSettings& base, bool& mainIsFirstFrame)
{
    std::vector<ExtraOutput> extras;
    mainIsFirstFrame = options.frames && inventory.primary == 0 && inventory.frames > 0;
    for (std::size_t n = 0; n < inventory.images.size(); ++n) {
        const pipeline::ListedImage& image = inventory.images[n];
        const bool main = image.id == inventory.primary;
        if (!main && !options.allImages) {
            continue;
        }
        const std::string prefix = main ? std::string() : "_" + std::to_string(n + 1);
        if (!main) {
            ExtraOutput extra{base, prefix};
            extra.settings.itemId = image.id;
            extras.push_back(std::move(extra));
        }
        if (options.auxiliary) {
            addAuxiliaryOutputs(image, options, base, prefix, extras);
        }
    }
    if (options.frames) {
        for (std::size_t frame = mainIsFirstFrame ? 1 : 0; frame < inventory.frames; ++frame) {
            char suffix[32];
            std::snprintf(suffix, sizeof suffix, "_f%04zu", frame + 1);
            ExtraOutput extra{base, suffix};
            extra.settings.frame = static_cast<std::int64_t>(frame);
            extras.push_back(std::move(extra));
        }
    }
    return extras;
}

// The file name of a path without its folder and extension.
std::string stemOf(const std::string& path)
{
    const std::filesystem::path name = std::filesystem::path(path).filename();
    return name.stem().string();
}

// Converts and writes the further outputs beside the main one (named after
// it); what fails goes to the log, and the row stays converted.
// `mainTail` is the end of the main stem that a shortened name keeps (its
// timestamp); frames written are counted in `framesWritten`.
void writeExtras(const FileRecord& record, const JobOptions& options, const std::vector<ExtraOutput>& extras,
                 const Source& source, const std::string& mainStem, std::size_t mainTail, const std::string& folder,
                 JobFiles& files, RowOutcome& outcome, std::size_t& framesWritten)
{
    for (const ExtraOutput& extra : extras) {
        Bytes outData;
        std::pair<std::uint32_t, std::uint32_t> size;
        std::vector<std::string> warnings;
        if (auto failed = convertSource(record, extra.settings, source, outData, size, warnings)) {
            outcome.logLines.push_back(record.heicPath + ": " + mainStem + extra.suffix +
                                       " is not written: " + failed->detail);
            continue;
        }
        outcome.logLines.insert(outcome.logLines.end(), warnings.begin(), warnings.end());
        PlannedOutput planned;
        planned.folder = folder;
        planned.stem = mainStem + extra.suffix;
        planned.keptTail = mainTail + extra.suffix.size();
        if (options.existing == ExistingOutput::Skip) {
            const std::string path = folderPath(
                folder, outputFileName(planned.stem, 1, extensionOf(options, extra.settings.format), planned.keptTail));
            if (nameTaken(path)) {
                outcome.logLines.push_back(record.heicPath + ": " + path + " exists and is left as it is");
                continue;
            }
        }
        const RowOutcome written =
            saveOutput(planned, options, files, outData, source.modificationTime, extra.settings.format);
        if (!written.converted) {
            outcome.logLines.push_back(record.heicPath + ": " + written.detail);
            continue;
        }
        RowFacts facts;
        facts.width = size.first;
        facts.height = size.second;
        facts.bytes = outData.size();
        facts.note = written.facts.note;
        outcome.extras.emplace_back(written.text, facts);
        if (extra.settings.frame >= 0) {
            ++framesWritten;
        }
    }
}

RowOutcome convertRow(const FileRecord& record, const JobOptions& options, const PlannedOutput& planned,
                      JobFiles& files)
{
    if (planned.existing) {
        RowOutcome outcome;
        outcome.skipped = true;
        outcome.text = *planned.existing;
        return outcome;
    }
    Source source;
    if (auto failed = readSource(record.heicPath, source)) {
        return std::move(*failed);
    }
    const pipeline::ConversionSettings settings = settingsFor(options);
    std::vector<ExtraOutput> extras;
    PlannedOutput mainOutput = planned;
    bool mainIsFirstFrame = false;
    std::size_t trackSamples = 0;
    if (options.auxiliary || options.allImages || options.frames) {
        try {
            const pipeline::ImageInventory inventory = pipeline::listImages(source.bytes.data(), source.bytes.size());
            trackSamples = std::max(inventory.frames, inventory.trackSamples);
            extras = extraOutputs(inventory, options, settings, mainIsFirstFrame);
            if (mainIsFirstFrame) {
                mainOutput.stem += kFirstFrameSuffix;
                mainOutput.keptTail += std::string_view(kFirstFrameSuffix).size();
                mainOutput.candidate = 1;
            }
        } catch (const std::exception&) {
            extras.clear();  // the main conversion says what is wrong with the file
            mainIsFirstFrame = false;
            mainOutput = planned;
        }
    }
    Bytes outData;
    std::pair<std::uint32_t, std::uint32_t> size;
    std::vector<std::string> warnings;
    pipeline::ConversionSettings mainSettings = settings;
    mainSettings.previewSide = options.previewSide;
    mainSettings.previewMinPixels = options.previewMinPixels;
    PreviewPicture picture;
    std::string hdr;
    if (auto failed = convertSource(record, mainSettings, source, outData, size, warnings, &picture, &hdr)) {
        return std::move(*failed);
    }
    RowOutcome outcome = saveOutput(mainOutput, options, files, outData, source.modificationTime);
    outcome.picture = std::move(picture);
    outcome.logLines.insert(outcome.logLines.begin(), warnings.begin(), warnings.end());
    if (outcome.converted) {
        outcome.facts.width = size.first;
        outcome.facts.height = size.second;
        outcome.facts.bytes = outData.size();
        outcome.facts.hdr = std::move(hdr);
        std::vector<std::uint8_t>().swap(outData);
        const std::string folder = std::filesystem::path(outcome.text).parent_path().string();
        std::string stem = stemOf(outcome.text);
        if (mainIsFirstFrame) {
            // The others are named after the output without its frame number
            // ("clip_f0001_2" gives "clip_2_f0002").
            const auto at = stem.rfind(kFirstFrameSuffix);
            if (at != std::string::npos) {
                stem.erase(at, std::string_view(kFirstFrameSuffix).size());
            }
        }
        // The timestamp (and the candidate's number) stays whole in the
        // further files' names, shortened or not.
        std::size_t mainTail = 0;
        if (planned.keptTail != 0) {
            const std::string timestampTail = planned.stem.substr(planned.stem.size() - planned.keptTail);
            const auto at = stem.rfind(timestampTail);
            mainTail = at == std::string::npos ? 0 : stem.size() - at;
        }
        std::size_t framesWritten = mainIsFirstFrame ? 1 : 0;
        writeExtras(record, options, extras, source, stem, mainTail, folder.empty() ? "." : folder, files, outcome,
                    framesWritten);
        if (options.frames && framesWritten < trackSamples) {
            const std::string frames = "wrote " + std::to_string(framesWritten) + " of the " +
                                       std::to_string(trackSamples) + " frames of the image sequence";
            outcome.facts.note = outcome.facts.note.empty() ? frames : outcome.facts.note + "; " + frames;
        }
    }
    return outcome;
}

// The row's outcome, whatever standard exception its conversion throws.
RowOutcome convertRowCaught(const FileRecord& record, const JobOptions& options, const PlannedOutput& planned,
                            JobFiles& files)
{
    try {
        return convertRow(record, options, planned, files);
    } catch (const std::bad_alloc&) {
        RowOutcome outcome = RowOutcome::failure(kTextConversionFailed, "out of memory");
        outcome.logLines.push_back("input_Buffer: " + record.heicPath + " out of memory");
        return outcome;
    } catch (const std::exception& error) {
        RowOutcome outcome =
            RowOutcome::failure(kTextConversionFailed, std::string("the conversion failed: ") + error.what());
        outcome.logLines.push_back("input_Buffer: " + record.heicPath + " " + error.what());
        return outcome;
    }
}

// The workers of one job: each takes the next row until the rows run out,
// the stop flag is found set or a listener fails.
class JobWorkers
{
public:
    JobWorkers(const JobDescription& job, JobListener& listener, const std::atomic<bool>& stopRequested,
               JobSummary& summary, JobFiles& files, std::vector<PlannedOutput> planned)
        : mJob(job), mListener(listener), mStopRequested(stopRequested), mSummary(summary), mFiles(files),
          mPlanned(std::move(planned))
    {}

    // Runs `count` workers, this thread being one of them (fewer when no
    // more threads can be had), and waits for them all. What a listener
    // throws comes out here, after every worker has ended.
    void run(unsigned count)
    {
        std::vector<std::thread> threads;
        for (unsigned i = 1; i < count; ++i) {
            try {
                threads.emplace_back([this] { work(); });
            } catch (const std::system_error&) {
                break;  // fewer workers than asked for
            }
        }
        work();
        for (auto& thread : threads) {
            thread.join();
        }
        if (mFailure) {
            std::rethrow_exception(mFailure);
        }
    }

    bool sawStop() const { return mSawStop; }

private:
    void work()
    {
        try {
            while (!mAbort) {
                const std::size_t row = mNextRow++;
                if (row >= mJob.records.size()) {
                    break;
                }
                if (mStopRequested) {
                    mSawStop = true;
                    break;
                }
                {
                    const std::lock_guard lock(mReportMutex);
                    mListener.rowStarted(row);
                }
                const auto start = std::chrono::steady_clock::now();
                RowOutcome outcome = convertRowCaught(mJob.records[row], mJob.options, mPlanned[row], mFiles);
                outcome.facts.milliseconds = static_cast<std::uint64_t>(
                    std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start)
                        .count());
                report(row, outcome);
            }
        } catch (...) {
            // The worker thread's boundary: whatever a listener (or the system)
            // throws ends the job and is handed to the caller, on its thread.
            const std::lock_guard lock(mReportMutex);
            if (!mFailure) {
                mFailure = std::current_exception();
            }
            mAbort = true;
        }
    }

    // One listener call at a time.
    void report(std::size_t row, const RowOutcome& outcome)
    {
        const std::lock_guard lock(mReportMutex);
        for (const auto& line : outcome.logLines) {
            mListener.logLine(line);
        }
        mListener.rowFacts(row, outcome.facts);
        if (outcome.skipped) {
            ++mSummary.skipped;
            mListener.rowSkipped(row, outcome.text);
        } else if (outcome.converted) {
            ++mSummary.converted;
            for (const auto& [path, facts] : outcome.extras) {
                mListener.extraConverted(row, path, facts);
            }
            if (!outcome.picture.empty()) {
                mListener.rowPicture(row, outcome.text, outcome.picture, outcome.facts.width, outcome.facts.height);
            }
            mListener.rowConverted(row, outcome.text);
            mListener.rowShowPreview(row);
        } else {
            ++mSummary.failed;
            mListener.rowFailed(row, outcome.text, outcome.detail);
        }
    }

    const JobDescription& mJob;
    JobListener& mListener;
    const std::atomic<bool>& mStopRequested;
    JobSummary& mSummary;  // guarded by mReportMutex while workers run
    JobFiles& mFiles;
    const std::vector<PlannedOutput> mPlanned;
    std::atomic<std::size_t> mNextRow{0};
    std::atomic<bool> mSawStop{false};
    std::atomic<bool> mAbort{false};
    std::mutex mReportMutex;
    std::exception_ptr mFailure;  // guarded by mReportMutex
};

}  // namespace

JobSummary runConversionJob(const JobDescription& job, JobListener& listener, const std::atomic<bool>& stopRequested)
{
    JobSummary summary;
    summary.timestamp = getNowTimeTimestamp();
    const std::size_t rowCount = job.records.size();
    const unsigned workerCount =
        static_cast<unsigned>(std::clamp<std::size_t>(job.options.workers, 1, std::max<std::size_t>(rowCount, 1)));

    JobFiles files(job.records);
    JobWorkers workers(job, listener, stopRequested, summary, files, planOutputs(job, summary.timestamp, files));
    workers.run(workerCount);

    summary.stopped = workers.sawStop();
    if (summary.stopped) {
        listener.jobStopped();
    } else {
        listener.jobFinished(summary.converted);
    }
    return summary;
}

}  // namespace ambrel::convert
