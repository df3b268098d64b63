// Inputs the fuzzers found to crash, hang or allocate without bound, kept so
// the fixes stay fixed. Each must open or be refused, quickly, with the
// reader's own exception.
#include <gtest/gtest.h>

#include <filesystem>

#include "heiclib/heif_limits.h"
#include "heiclib/log.h"
#include "heiclib/reader/hevc_image_file_reader.h"

using namespace ambrel::heif;

namespace {

TEST(FuzzRegressions, EveryKeptInputOpensOrIsRefused)
{
    ambrel::log::setLevel(ambrel::log::Error);
    const std::filesystem::path folder = std::filesystem::path(AMBREL_TEST_DATA_DIR) / "fuzz-regressions";
    int files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        if (entry.path().filename().string().rfind("reader-", 0) != 0) {
            continue;
        }
        ++files;
        HevcImageFileReader reader;
        try {
            reader.initialize(entry.path().string());
        } catch (const FileReaderException&) {
            continue;
        } catch (const std::exception& e) {
            ADD_FAILURE() << entry.path() << ": " << e.what();
            continue;
        }
        // Opened: every sample of every track must be answerable.
        for (const auto& [trackId, track] : reader.getFileInformation().trackInformation) {
            std::map<Timestamp, ItemId> stamps;
            reader.getItemTimestamps(trackId, stamps);
            EXPECT_LE(stamps.size(), ambrel::heif::limits::kMaxPresentationEntries) << entry.path();
        }
    }
    EXPECT_GT(files, 0);
    ambrel::log::setLevel(ambrel::log::Warning);
}

}  // namespace
