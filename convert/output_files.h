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

#include "pipeline/heif2jpg.h"

namespace ambrel::convert {

using Bytes = std::vector<std::uint8_t>;

using OutputFormat = pipeline::OutputFormat;

// The format word: "JPG", "PNG", "BMP", "JPEG2000", "TIFF", "WEBP".
std::string formatWord(OutputFormat format);
// The format of a word, in any letter case; nullopt for any other word.
[[nodiscard]] std::optional<OutputFormat> parseFormatWord(std::string_view word);
// The format a user names: a format word or one of the names these formats
// also go by (JPEG, TIF, JP2, J2K), in any letter case; nullopt otherwise.
[[nodiscard]] std::optional<OutputFormat> parseFormatName(std::string_view name);
// The extension in output names: the word, except "JP2" for JPEG 2000 (the
// files are JP2 files; a ".JPEG" name would hand them to JPEG viewers). With
// `lowerCase`, the extensions Linux programs write: "jpg", "png", "bmp",
// "jp2", "tif".
std::string formatExtension(OutputFormat format, bool lowerCase = false);

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
    // Bytes at the end of the stem kept whole when a name must be shortened
    // to fit the file system's limit on a name (NAME_MAX, 255 bytes): the
    // stem is cut before them ("IMG..._1575264000000"). 0: cut at its end.
    std::size_t keptTail = 0;
};

// The file name of the n-th candidate: candidateName(stem, n) + "." +
// extension, with the stem cut (before its last `keptTail` bytes, never
// inside a UTF-8 sequence) where the whole would exceed NAME_MAX bytes.
std::string outputFileName(std::string_view stem, unsigned n, std::string_view extension, std::size_t keptTail = 0);

// "folder/name"; no second "/" when the folder already ends in one.
std::string folderPath(std::string_view folder, std::string_view name);

// Writes `bytes` to "folder/stem.extension", or to the first free name of
// "folder/stem_2.extension", "folder/stem_3.extension"... (outputFileName).
// An existing file is never replaced, even by a writer in another thread or
// process: the bytes go to a temporary file in the folder first
// (".ambrel-PID-N-BOOT-HOST.tmp", locked while it is written), which is
// flushed to disk and only then linked under the candidate name (link(2)
// fails when the name exists); where the file system has no hard links, it
// is renamed without replacing; where it has neither (FUSE exFAT and FAT),
// the candidate name is created anew, refusing an existing file, and filled
// (a failure removes it again). The folder is flushed after that, so that
// neither a crash nor a power loss leaves a short file under a final name
// (but for the last way, where none can promise it). Returns the path
// written, or nullopt when the folder cannot take the file, with the errno
// value of the failing call in `errorNumber` when given; no temporary file is
// left.
[[nodiscard]] std::optional<std::string> writeNewFile(const std::string& folder, std::string_view stem,
                                                      std::string_view extension, const Bytes& bytes,
                                                      const WriteOptions& options = {}, int* errorNumber = nullptr);

// Writes `bytes` to "folder/stem.extension" (the candidate
// WriteOptions::firstCandidate names), replacing a file of that name
// in one step: the bytes go to a temporary file in the folder first, flushed
// to disk, then renamed over the name, so that the name always holds either
// the old file or the whole new one. Returns the path, or nullopt with the
// errno value in `errorNumber`; no temporary file is left.
[[nodiscard]] std::optional<std::string> replaceFile(const std::string& folder, std::string_view stem,
                                                     std::string_view extension, const Bytes& bytes,
                                                     const WriteOptions& options = {}, int* errorNumber = nullptr);

// Who writes a temporary file: the process, the boot of its system (32 hex
// digits of the kernel's boot id; zeros when unknown) and its host name.
struct TemporaryName
{
    long pid = 0;
    std::string bootId;
    std::string host;
};

// The writer named in a temporary name of writeNewFile; nullopt for any
// other name.
[[nodiscard]] std::optional<TemporaryName> parseTemporaryName(std::string_view name);

// This process as it names its temporary files.
TemporaryName thisTemporaryWriter();

// Removes from the folder the temporary files of writeNewFile whose writer
// is provably gone (killed in the middle of a write): regular files named as
// temporaries by this host (and a known boot of it) that are not locked: a
// writer holds its file's lock until it is done, whatever process namespace
// it runs in. Temporaries of other hosts sharing the folder, of live
// writers, and every other file stay. Returns the number removed.
unsigned removeStaleTemporaries(const std::string& folder);

// Removes the files being written by this process now (temporaries, and
// final names still being filled), and makes every later write of the
// process fail (ECANCELED): for a program abandoning its writes before it
// exits. Returns the number removed.
unsigned abandonFilesBeingWritten();

}  // namespace ambrel::convert
