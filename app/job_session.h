// The conversion job of the window's list: started over the list's rows on a
// JobRunner, each row's outcome written into the list model as it comes, the
// outcomes counted and the job's time kept. The window starts and stops it
// and shows what it signals (progress, the end and its summary).
//
// Everything here runs on the UI thread; the job itself runs on the runner's
// worker.
#pragma once

#include <QtCore/QElapsedTimer>
#include <QtCore/QObject>
#include <QtCore/QString>

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "app/job_runner.h"

class QTimer;

namespace ambrel::app {

class FileTableModel;

class JobSession : public QObject
{
    Q_OBJECT
public:
    // The rows of the running (or last) job by their outcome.
    struct Counts
    {
        int total = 0;
        int done = 0;  // rows with their outcome
        int converted = 0;
        int failed = 0;
        int skipped = 0;
        int extraFiles = 0;  // files written beside the photos' own (all images)
    };

    // `model` is the list the jobs run over; it must outlive the session.
    JobSession(FileTableModel& model, JobFunction run, QObject* parent = nullptr);
    // Stops the running job and waits for its worker: only the files in
    // progress are finished.
    ~JobSession() override;

    // Starts `job` over the model's rows as they are now (its records are the
    // rows' records, in order); their earlier outcomes are cleared. False, and
    // nothing started, while the worker of an earlier job has not ended or
    // when no worker can be had.
    [[nodiscard]] bool start(convert::JobDescription job);
    // Asks the running job to stop: its worker takes no further row.
    void requestStop();

    // Idle, or a stop has been asked for: the one flag the worker reads.
    [[nodiscard]] bool isStopTo() const { return mIsStopTo; }
    // A worker exists that has not ended yet (running, or stopping).
    [[nodiscard]] bool busy() const { return mRunner->busy(); }
    [[nodiscard]] const Counts& counts() const { return mCounts; }
    // The running job's time so far, in milliseconds (0 before any job).
    [[nodiscard]] qint64 elapsed() const;

signals:
    // A row has its outcome, or a second has passed: the counts or the time moved.
    void progressed();
    // A worker takes the list's row `row` now.
    void rowStarted(int row);
    // The job's worker has ended, after its last row (`finished`) or after a
    // stop; `converted` counts the photos converted.
    void ended(bool finished, int converted);

private:
    int rowOfJobRow(int jobRow) const;
    void rowDone(int jobRow);
    void onRowConverted(int jobRow, const QString& outputPath);
    void onRowFailed(int jobRow, const QString& text, const QString& detail);
    void onRowSkipped(int jobRow, const QString& existingPath);
    void onRowStarted(int jobRow);
    void onJobStopped();
    void onJobFinished(int converted);
    void end(bool finished, int converted);

    FileTableModel& mModel;
    // True while idle and once a stop is requested. It outlives the runner.
    std::atomic<bool> mIsStopTo{true};
    std::unique_ptr<JobRunner> mRunner;
    std::vector<std::uint64_t> mJobRowIds;  // the rows of the running job, by id
    Counts mCounts;
    QElapsedTimer mClock;
    QTimer* mTicker = nullptr;  // moves the time taken on
};

}  // namespace ambrel::app
