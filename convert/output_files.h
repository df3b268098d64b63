// Output files of a conversion job: formats and their names, the job
// timestamp, output names, folder creation, and writing a file under a name
// that is still free.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "heif2jpg/heif2jpg.h"

namespace ambrel::convert {

using Bytes = std::vector<std::uint8_t>;

using OutputFormat = pipeline::OutputFormat;

// The format word: "JPG", "PNG", "BMP", "JPEG2000", "TIFF".
std::string formatWord(OutputFormat format);
// The format of a word, in any letter case; nullopt for any other word.
[[nodiscard]] std::optional<OutputFormat> parseFormatWord(std::string_view word);
// The format a user names: a format word or one of the names these formats
// also go by (JPEG, TIF, JP2, J2K), in any letter case; nullopt otherwise.
[[nodiscard]] std::optional<OutputFormat> parseFormatName(std::string_view name);
// The extension in output names: the word, except "JP2" for JPEG 2000 (the
// files are JP2 files; a ".JPEG" name would hand them to JPEG viewers).
std::string formatExtension(OutputFormat format);

// Whole seconds since 1970-01-01 00:00:00 UTC times 1000, as decimal text
// (it always ends in "000").
std::string getNowTimeTimestamp();

// The folder if something exists at its path; otherwise the folder after
// creating it with all missing parents; nullopt when that fails, with the
// system's reason in `reason` when given.
[[nodiscard]] std::optional<std::string> createDirectory(const std::string& folder, std::string* reason = nullptr);

// "folder/name.extension"; no second "/" when the folder already ends in one.
std::string joinOutputPath(std::string_view folder, std::string_view name, std::string_view extension);

// The name of the n-th candidate for a file: n = 1 gives `stem`, n >= 2
// gives "stem_n" ("IMG_0042_1575264000000" -> "IMG_0042_1575264000000_2").
std::string candidateName(std::string_view stem, unsigned n);

// Candidates tried by writeNewFile before giving up.
constexpr unsigned kMaxNameCandidates = 10000;

struct WriteOptions
{
    // When set, the file gets this modification (and access) time.
    std::optional<struct timespec> modificationTime;
    // The candidate writeNewFile tries first (2: "stem_2"); a name planned
    // ahead starts there, and still moves on when it was taken meanwhile.
    unsigned firstCandidate = 1;
};

// Writes `bytes` to "folder/stem.extension", or to the first free name of
// "folder/stem_2.extension", "folder/stem_3.extension"... An existing file is
// never replaced, even by a writer in another thread or process: the bytes go
// to a temporary file in the folder first (".ambrel-PID-N.tmp"), which is
// flushed to disk and only then linked under the candidate name (link(2)
// fails when the name exists; where the file system has no hard links, rename
// without replacing); the folder is flushed after that, so that neither a
// crash nor a power loss leaves a short file under a final name. Returns the
// path written, or nullopt when the folder cannot take the file, with the
// errno value of the failing call in `errorNumber` when given; no temporary
// file is left.
[[nodiscard]] std::optional<std::string> writeNewFile(const std::string& folder, std::string_view stem,
                                                      std::string_view extension, const Bytes& bytes,
                                                      const WriteOptions& options = {}, int* errorNumber = nullptr);

// Writes `bytes` to "folder/stem.extension", replacing a file of that name
// in one step: the bytes go to a temporary file in the folder first, flushed
// to disk, then renamed over the name, so that the name always holds either
// the old file or the whole new one. Returns the path, or nullopt with the
// errno value in `errorNumber`; no temporary file is left.
[[nodiscard]] std::optional<std::string> replaceFile(const std::string& folder, std::string_view stem,
                                                     std::string_view extension, const Bytes& bytes,
                                                     const WriteOptions& options = {}, int* errorNumber = nullptr);

// The process id in a temporary name of writeNewFile (".ambrel-PID-N.tmp");
// nullopt for any other name.
[[nodiscard]] std::optional<long> temporaryFileOwner(std::string_view name);

// Removes from the folder the temporary files of writeNewFile left by
// processes that no longer run (killed in the middle of a write): only
// regular files named ".ambrel-PID-N.tmp" whose PID is not a live process.
// Every other file, and the temporaries of live processes, stay. Returns the
// number of files removed.
unsigned removeStaleTemporaries(const std::string& folder);

}  // namespace ambrel::convert
