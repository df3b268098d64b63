// Runs one conversion job at a time on a worker thread of its own and hands
// what the job reports to the UI thread as signals.
//
// The worker never waits for the UI: every report is posted to the UI
// thread's queue. The end of the job (stopped or finished) is signalled only
// once the worker thread has ended, so a new job can start right then.
#pragma once

#include <QtCore/QObject>
#include <QtCore/QString>

#include <atomic>
#include <functional>
#include <thread>

#include "convert/conversion_job.h"

namespace ambrel::app {

// The job body: the conversion core's runConversionJob, or a stand-in.
using JobFunction =
    std::function<convert::JobSummary(const convert::JobDescription&, convert::JobListener&, const std::atomic<bool>&)>;

class JobRunner : public QObject
{
    Q_OBJECT
public:
    // `stopFlag` is read by the worker before every row; the owner sets it to
    // request a stop. It must outlive the runner.
    JobRunner(std::atomic<bool>& stopFlag, JobFunction run, QObject* parent = nullptr);
    // Requests a stop and waits for the worker: only the file in progress is finished.
    ~JobRunner() override;

    // Starts a worker on the job; false (and nothing started) while the
    // previous worker has not ended.
    [[nodiscard]] bool start(convert::JobDescription job);
    // A worker exists that has not ended yet.
    bool busy() const { return mBusy; }

signals:
    // Row numbers index the job's records.
    void rowConverted(int row, const QString& outputPath);
    // `text` is the row text, `detail` the cause in English.
    void rowFailed(int row, const QString& text, const QString& detail);
    void rowShowPreview(int row);
    // A worker took the row.
    void rowStarted(int row);
    // The row's output name was taken and the job skips such rows.
    void rowSkipped(int row, const QString& existingPath);
    // A further file was written for the row (every image of a file).
    void extraConverted(int row, const QString& outputPath);
    // The worker has ended: after a stop (rows not reached were not touched)...
    void jobStopped();
    // ...or after the last row, with the count of files written.
    void jobFinished(int converted);

private:
    class PostingListener;
    void workerEnded(bool stopped, int converted);

    std::atomic<bool>& mStopFlag;
    JobFunction mRun;
    std::thread mThread;
    bool mBusy = false;
};

}  // namespace ambrel::app
