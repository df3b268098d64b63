#include "app/job_runner.h"

#include <QtCore/QMetaObject>
#include <QtGui/QImage>

#include <exception>

#include "app/app_log.h"
#include "app/preview_cache.h"

namespace ambrel::app {

// Posts every report to the runner on the UI thread; keeps the end of the
// job to itself, since the runner signals it when the worker has ended.
class JobRunner::PostingListener : public convert::JobListener
{
public:
    explicit PostingListener(JobRunner* runner) : mRunner(runner) {}

    void rowConverted(std::size_t row, const std::string& outputPath) override
    {
        post([runner = mRunner, row = static_cast<int>(row), path = QString::fromStdString(outputPath)] {
            emit runner->rowConverted(row, path);
        });
    }
    void rowFailed(std::size_t row, const std::string& text, const std::string& detail) override
    {
        post([runner = mRunner, row = static_cast<int>(row), text = QString::fromStdString(text),
              detail = QString::fromStdString(detail)] { emit runner->rowFailed(row, text, detail); });
    }
    // The reduced copy of a picture whose file would be slow to preview
    // (the job asks for them: see ViewController::AmbrelBtEvent).
    void rowPicture(std::size_t /*row*/, const std::string& outputPath, const convert::PreviewPicture& picture,
                    std::uint32_t width, std::uint32_t height) override
    {
        const QString path = QString::fromStdString(outputPath);
        if (picture.empty()) {
            return;
        }
        const QImage image(picture.bgr.data(), static_cast<int>(picture.width), static_cast<int>(picture.height),
                           static_cast<qsizetype>(picture.stride), QImage::Format_BGR888);
        previewCache().put(path, image, QSize(static_cast<int>(width), static_cast<int>(height)));
    }
    void rowSkipped(std::size_t row, const std::string& existingPath) override
    {
        post([runner = mRunner, row = static_cast<int>(row), path = QString::fromStdString(existingPath)] {
            emit runner->rowSkipped(row, path);
        });
    }
    void extraConverted(std::size_t row, const std::string& outputPath, const convert::RowFacts& /*facts*/) override
    {
        post([runner = mRunner, row = static_cast<int>(row), path = QString::fromStdString(outputPath)] {
            emit runner->extraConverted(row, path);
        });
    }
    void rowStarted(std::size_t row) override
    {
        post([runner = mRunner, row = static_cast<int>(row)] { emit runner->rowStarted(row); });
    }
    void rowShowPreview(std::size_t row) override
    {
        post([runner = mRunner, row = static_cast<int>(row)] { emit runner->rowShowPreview(row); });
    }
    void jobStopped() override { stopped = true; }
    void jobFinished(int count) override { converted = count; }
    void logLine(const std::string& line) override { appLog(QString::fromStdString(line)); }

    template <typename Function>
    void post(Function function)
    {
        QMetaObject::invokeMethod(mRunner, std::move(function), Qt::QueuedConnection);
    }

    bool stopped = false;
    int converted = 0;

private:
    JobRunner* mRunner;
};

JobRunner::JobRunner(std::atomic<bool>& stopFlag, JobFunction run, QObject* parent)
    : QObject(parent), mStopFlag(stopFlag), mRun(std::move(run))
{}

JobRunner::~JobRunner()
{
    if (mThread.joinable()) {
        mStopFlag = true;
        mThread.join();
    }
}

bool JobRunner::start(convert::JobDescription job)
{
    if (mBusy) {
        return false;
    }
    if (mThread.joinable()) {
        mThread.join();  // ended already: its end has been signalled
    }
    mBusy = true;
    try {
        mThread = std::thread([this, job = std::move(job)] {
            PostingListener listener(this);
            try {
                mRun(job, listener, mStopFlag);
            } catch (const std::exception& error) {
                listener.stopped = true;
                appLog(QStringLiteral("the conversion job ended early: %1").arg(QString::fromUtf8(error.what())));
            } catch (...) {
                listener.stopped = true;
                appLog(QStringLiteral("the conversion job ended early"));
            }
            listener.post([this, stopped = listener.stopped, converted = listener.converted] {
                workerEnded(stopped, converted);
            });
        });
    } catch (const std::system_error& error) {
        mBusy = false;
        appLog(QStringLiteral("cannot start the conversion worker: %1").arg(QString::fromUtf8(error.what())));
        return false;
    }
    return true;
}

void JobRunner::workerEnded(bool stopped, int converted)
{
    if (mThread.joinable()) {
        mThread.join();  // the worker has posted its last report and is returning
    }
    mBusy = false;
    if (stopped) {
        emit jobStopped();
    } else {
        emit jobFinished(converted);
    }
}

}  // namespace ambrel::app
