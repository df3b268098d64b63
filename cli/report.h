// ambrel-convert's report: the rows as text or JSON lines, the summary,
// the progress bar.
#pragma once

#include <fcntl.h>
#include <limits.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <iostream>
#include <iterator>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "cli/terminal_text.h"
#include "convert/conversion_job.h"
#include "convert/file_list.h"
#include "convert/library_logs.h"
#include "convert/output_files.h"
#include "pipeline/heif2jpg.h"

namespace ambrel::cli {

// The text as a JSON string (see report.cpp for text that is not UTF-8).
std::string jsonString(std::string_view text, bool* escaped = nullptr);
void printSummary(std::FILE* to, const convert::JobSummary& summary, int total, std::size_t abandoned = 0);

// Prints the rows in list order as their outcomes arrive, with a progress
// bar on a terminal's standard error. Its calls may come from the job's
// workers and from the thread that watches for signals at once.
class Reporter : public convert::JobListener
{
public:
    Reporter(const std::vector<convert::FileRecord>& records, std::FILE* report, bool quiet, bool json)
        : mRecords(records), mReport(report), mQuiet(quiet), mJson(json), mLines(records.size()),
          mFacts(records.size()), mExtras(records.size()), mProgress(!quiet && ::isatty(STDERR_FILENO) == 1)
    {
        drawProgress();
    }

    void rowStarted(std::size_t /*row*/) override
    {
        const std::lock_guard lock(mMutex);
        ++mStarted;
    }

    void rowFacts(std::size_t row, const convert::RowFacts& facts) override
    {
        const std::lock_guard lock(mMutex);
        mFacts[row] = facts;
    }

    void extraConverted(std::size_t row, const std::string& outputPath, const convert::RowFacts& facts) override
    {
        const std::lock_guard lock(mMutex);
        std::string& lines = mExtras[row];
        if (mJson) {
            lines += "\n" + jsonObject(row, outputPath, "converted", std::nullopt, facts);
        } else if (!mQuiet) {
            lines += "\n" + textLine(row, " -> " + outputPath, facts);
        }
    }

    void rowConverted(std::size_t row, const std::string& outputPath) override
    {
        const std::lock_guard lock(mMutex);
        ++mSummary.converted;
        if (mJson) {
            mLines[row] = jsonLine(row, outputPath, "converted", std::nullopt) + mExtras[row];
        } else if (!mQuiet) {
            mLines[row] = textLine(row, " -> " + outputPath, mFacts[row]) + mExtras[row];
        } else {
            mLines[row] = std::string();
        }
        rowDone();
    }

    // The cause in English rather than the application's row text.
    void rowFailed(std::size_t row, const std::string& /*text*/, const std::string& detail) override
    {
        const std::lock_guard lock(mMutex);
        ++mSummary.failed;
        mLines[row] = mJson ? jsonLine(row, std::nullopt, "failed", detail) : textLine(row, ": " + detail, {});
        rowDone();
    }

    void rowSkipped(std::size_t row, const std::string& existingPath) override
    {
        const std::lock_guard lock(mMutex);
        ++mSummary.skipped;
        if (mJson) {
            mLines[row] = jsonLine(row, existingPath, "skipped", "the output exists");
        } else if (!mQuiet) {
            mLines[row] = textLine(row, ": skipped, " + existingPath + " exists", {});
        } else {
            mLines[row] = std::string();
        }
        rowDone();
    }

    void jobStopped() override
    {
        const std::lock_guard lock(mMutex);
        endProgress();
    }
    void jobFinished(int) override
    {
        const std::lock_guard lock(mMutex);
        endProgress();
    }

    // A failed row's own line already gives its reason; the library's
    // record of the failure stays out of the report.
    void logLine(const std::string& line) override
    {
        const std::lock_guard lock(mMutex);
        if (!mQuiet && !line.starts_with("input_Buffer: ")) {
            eraseProgress();
            std::fprintf(stderr, "%s\n", terminalSafe(line).c_str());
            drawProgress();
        }
    }

    // An input that gave no row: a folder that could not be read. Reported
    // (before the job's rows) and counted as failed.
    void inputFailed(const std::string& path, const std::string& reason)
    {
        const std::lock_guard lock(mMutex);
        ++mSummary.failed;
        ++mInputFailures;
        bool escaped = false;
        const std::string line = mJson ? "{\"source\":" + jsonString(path, &escaped) +
                                             ",\"output\":null,\"status\":\"failed\",\"reason\":" + jsonString(reason) +
                                             ",\"width\":0,\"height\":0,\"bytes\":0,\"milliseconds\":0" +
                                             (escaped ? ",\"source_escaped\":true}" : "}")
                                       : terminalSafe(path + ": " + reason);
        eraseProgress();
        std::fprintf(mReport, "%s\n", line.c_str());
        drawProgress();
    }

    // Rows taken and not yet reported: the files being written.
    std::size_t inProgress()
    {
        const std::lock_guard lock(mMutex);
        return mStarted - mDone;
    }

    // Ends the report: the summary (where `summaryTo` says, when not null),
    // once. False when it had ended already. With `abandoned`, the files
    // being written were given up: the rows reported so far are printed
    // whatever their order, then the summary.
    bool finish(std::FILE* summaryTo, int total, bool stopped, std::optional<std::size_t> abandoned)
    {
        const std::lock_guard lock(mMutex);
        if (mFinished) {
            return false;
        }
        mFinished = true;
        endProgress();
        if (abandoned) {
            for (; mNextLine < mLines.size(); ++mNextLine) {
                if (mLines[mNextLine] && !mLines[mNextLine]->empty()) {
                    std::fprintf(mReport, "%s\n", mLines[mNextLine]->c_str());
                }
            }
        }
        if (summaryTo != nullptr) {
            convert::JobSummary summary = mSummary;
            summary.stopped = stopped;
            printSummary(summaryTo, summary, total + static_cast<int>(mInputFailures), abandoned.value_or(0));
        }
        std::fflush(stdout);
        std::fflush(stderr);
        return true;
    }

private:
    // The row's line in text: its source, then `rest`, then its note.
    std::string textLine(std::size_t row, const std::string& rest, const convert::RowFacts& facts) const
    {
        std::string line = mRecords[row].heicPath + rest;
        if (!facts.note.empty()) {
            line += " (" + facts.note + ")";
        }
        return terminalSafe(line);
    }

    std::string jsonLine(std::size_t row, const std::optional<std::string>& output, const char* status,
                         const std::optional<std::string>& reason) const
    {
        return jsonObject(row, output, status, reason, mFacts[row]);
    }

    std::string jsonObject(std::size_t row, const std::optional<std::string>& output, const char* status,
                           const std::optional<std::string>& reason, const convert::RowFacts& facts) const
    {
        bool sourceEscaped = false;
        bool outputEscaped = false;
        std::string object =
            "{\"source\":" + jsonString(mRecords[row].heicPath, &sourceEscaped) +
            ",\"output\":" + (output ? jsonString(*output, &outputEscaped) : "null") + ",\"status\":\"" + status +
            "\",\"reason\":" + (reason ? jsonString(*reason) : "null") + ",\"width\":" + std::to_string(facts.width) +
            ",\"height\":" + std::to_string(facts.height) + ",\"bytes\":" + std::to_string(facts.bytes) +
            ",\"milliseconds\":" + std::to_string(facts.milliseconds) +
            ",\"hdr\":" + (facts.hdr.empty() ? std::string("null") : jsonString(facts.hdr));
        if (!facts.note.empty()) {
            object += ",\"note\":" + jsonString(facts.note);
        }
        if (sourceEscaped) {
            object += ",\"source_escaped\":true";
        }
        if (outputEscaped) {
            object += ",\"output_escaped\":true";
        }
        return object + "}";
    }

    void rowDone()
    {
        ++mDone;
        if (mFinished) {
            return;  // abandoned: the report has ended
        }
        eraseProgress();
        while (mNextLine < mLines.size() && mLines[mNextLine]) {
            if (!mLines[mNextLine]->empty()) {
                std::fprintf(mReport, "%s\n", mLines[mNextLine]->c_str());
            }
            ++mNextLine;
        }
        std::fflush(mReport);
        drawProgress();
    }

    void drawProgress()
    {
        if (!mProgress) {
            return;
        }
        constexpr std::size_t kWidth = 30;
        const std::size_t total = mLines.size();
        const std::size_t filled = total == 0 ? kWidth : mDone * kWidth / total;
        std::string bar(filled, '#');
        bar.append(kWidth - filled, '.');
        std::fprintf(stderr, "\r[%s] %zu/%zu", bar.c_str(), mDone, total);
        std::fflush(stderr);
    }

    void eraseProgress()
    {
        if (mProgress) {
            std::fprintf(stderr, "\r\033[K");
            std::fflush(stderr);
        }
    }

    void endProgress()
    {
        eraseProgress();
        mProgress = false;
    }

    const std::vector<convert::FileRecord>& mRecords;
    std::FILE* mReport;
    bool mQuiet;
    bool mJson;
    std::vector<std::optional<std::string>> mLines;
    std::vector<convert::RowFacts> mFacts;
    std::vector<std::string> mExtras;  // the lines of the rows' further files, each led by a newline
    bool mProgress;
    std::size_t mStarted = 0;
    std::size_t mDone = 0;
    std::size_t mNextLine = 0;
    convert::JobSummary mSummary;  // the rows reported, and the inputs that failed
    std::size_t mInputFailures = 0;
    bool mFinished = false;
    std::mutex mMutex;
};

}  // namespace ambrel::cli
