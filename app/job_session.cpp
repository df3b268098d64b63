#include "app/job_session.h"

#include <QtCore/QTimer>

#include "app/app_log.h"
#include "app/file_table.h"

namespace ambrel::app {

JobSession::JobSession(FileTableModel& model, JobFunction run, QObject* parent)
    : QObject(parent), mModel(model), mRunner(std::make_unique<JobRunner>(mIsStopTo, std::move(run))),
      mTicker(new QTimer(this))
{
    connect(mRunner.get(), &JobRunner::rowConverted, this, &JobSession::onRowConverted);
    connect(mRunner.get(), &JobRunner::rowFailed, this, &JobSession::onRowFailed);
    connect(mRunner.get(), &JobRunner::rowStarted, this, &JobSession::onRowStarted);
    connect(mRunner.get(), &JobRunner::rowSkipped, this, &JobSession::onRowSkipped);
    connect(mRunner.get(), &JobRunner::extraConverted, this, [this] { ++mCounts.extraFiles; });
    connect(mRunner.get(), &JobRunner::rowShowPreview, this,
            [this](int jobRow) { mModel.showPreview(rowOfJobRow(jobRow)); });
    connect(mRunner.get(), &JobRunner::jobStopped, this, &JobSession::onJobStopped);
    connect(mRunner.get(), &JobRunner::jobFinished, this, &JobSession::onJobFinished);
    mTicker->setInterval(1000);
    connect(mTicker, &QTimer::timeout, this, &JobSession::progressed);
}

// The runner goes first: it stops and waits for its worker while the flag exists.
JobSession::~JobSession()
{
    mRunner.reset();
}

bool JobSession::start(convert::JobDescription job)
{
    if (mRunner->busy()) {
        return false;
    }
    mModel.clearResults();
    mJobRowIds = mModel.rowIds();
    mIsStopTo = false;
    if (!mRunner->start(std::move(job))) {
        mIsStopTo = true;
        return false;
    }
    mCounts = Counts{};
    mCounts.total = static_cast<int>(mJobRowIds.size());
    mClock.start();
    mTicker->start();
    emit progressed();
    return true;
}

void JobSession::requestStop()
{
    if (!mIsStopTo) {
        appLog(QStringLiteral("job: stop requested after %1 of %2 files").arg(mCounts.done).arg(mCounts.total));
    }
    mIsStopTo = true;
}

qint64 JobSession::elapsed() const
{
    return mClock.isValid() ? mClock.elapsed() : 0;
}

int JobSession::rowOfJobRow(int jobRow) const
{
    if (jobRow < 0 || static_cast<std::size_t>(jobRow) >= mJobRowIds.size()) {
        return -1;
    }
    return mModel.rowOfId(mJobRowIds[static_cast<std::size_t>(jobRow)]);
}

void JobSession::rowDone(int jobRow)
{
    ++mCounts.done;
    mModel.setConverting(rowOfJobRow(jobRow), false);
    emit progressed();
}

void JobSession::onRowConverted(int jobRow, const QString& outputPath)
{
    mModel.setConverted(rowOfJobRow(jobRow), outputPath);
    ++mCounts.converted;
    rowDone(jobRow);
}

void JobSession::onRowSkipped(int jobRow, const QString& existingPath)
{
    mModel.setSkipped(rowOfJobRow(jobRow), existingPath);
    ++mCounts.skipped;
    rowDone(jobRow);
}

void JobSession::onRowFailed(int jobRow, const QString& text, const QString& detail)
{
    mModel.setFailed(rowOfJobRow(jobRow), text, detail);
    ++mCounts.failed;
    rowDone(jobRow);
}

void JobSession::onRowStarted(int jobRow)
{
    const int row = rowOfJobRow(jobRow);
    mModel.setConverting(row, true);
    emit rowStarted(row);
}

void JobSession::onJobStopped()
{
    appLog(QStringLiteral("job: stopped; %1 converted, %2 failed, %3 skipped, %4 not converted")
               .arg(mCounts.converted)
               .arg(mCounts.failed)
               .arg(mCounts.skipped)
               .arg(mCounts.total - mCounts.done));
    end(false, mCounts.converted);
}

void JobSession::onJobFinished(int converted)
{
    appLog(QStringLiteral("job: finished; %1 converted (%2 files written), %3 failed, %4 skipped")
               .arg(converted)
               .arg(converted + mCounts.extraFiles)
               .arg(mCounts.failed)
               .arg(mCounts.skipped));
    end(true, converted);
}

// Idle again, also after a job body that ended early without a stop asked for.
void JobSession::end(bool finished, int converted)
{
    mIsStopTo = true;
    mTicker->stop();
    mModel.clearConverting();
    emit ended(finished, converted);
}

}  // namespace ambrel::app
