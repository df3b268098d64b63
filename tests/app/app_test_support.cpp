#include "tests/app/app_test_support.h"

#include <QtCore/QFile>
#include <QtTest/QSignalSpy>
#include <QtWidgets/QPushButton>
#include <QtWidgets/QTableView>
#include <QtWidgets/QVBoxLayout>

#include <map>

#include <opencv2/imgcodecs.hpp>

#include "app/app_log.h"
#include "tests/fixtures/heif_samples.h"

using namespace ambrel::heif;
using namespace ambrel::convert;
using namespace ambrel::app;

namespace apptest {

// --- fakes ---

int FakeDialogs::runAlert(QWidget*, const ambrel::app::Alert& alert)
{
    alerts.push_back({alert, false});
    if (whileAsking) {
        std::exchange(whileAsking, nullptr)();
    }
    if (alertAnswers.empty()) {
        return 0;
    }
    const int answer = alertAnswers.front();
    alertAnswers.pop_front();
    return answer;
}

void FakeDialogs::showSheetAlert(QWidget*, const ambrel::app::Alert& alert)
{
    alerts.push_back({alert, true});
}

QStringList FakeDialogs::openHeicPanel(QWidget* anchor)
{
    panelAnchors.append(anchor != nullptr ? anchor->objectName() : QString());
    if (panelAnswers.empty()) {
        return {};
    }
    QStringList answer = panelAnswers.front();
    panelAnswers.pop_front();
    return answer;
}

std::optional<QString> FakeDialogs::chooseFolder(QWidget*, const QString&)
{
    const QString answer = folderAnswers.isEmpty() ? QString() : folderAnswers.takeFirst();
    if (answer.isEmpty()) {
        return std::nullopt;
    }
    return answer;
}

// --- the log ---

struct LogCapture::Shared
{
    mutable std::mutex mutex;
    QStringList lines;
};

LogCapture::LogCapture() : mShared(std::make_shared<Shared>())
{
    ambrel::app::setLogSink([shared = mShared](const QString& line) {
        const std::lock_guard lock(shared->mutex);
        shared->lines.append(line);
    });
}

LogCapture::~LogCapture()
{
    ambrel::app::setLogSink({});
}

QStringList LogCapture::lines() const
{
    const std::lock_guard lock(mShared->mutex);
    return mShared->lines;
}

// --- the gate ---

struct JobGate::State
{
    mutable std::mutex mutex;
    std::condition_variable changed;
    int holdRow = -1;
    bool holding = false;
    bool open = false;
    int jobs = 0;

    // Called on the worker before a row's report goes on.
    void before(std::size_t row)
    {
        std::unique_lock lock(mutex);
        if (open || holdRow != static_cast<int>(row)) {
            return;
        }
        holdRow = -1;
        holding = true;
        changed.notify_all();
        changed.wait(lock, [this] { return !holding || open; });
        holding = false;
    }
};

namespace {

class GateListener : public ambrel::convert::JobListener
{
public:
    GateListener(ambrel::convert::JobListener& inner, const std::shared_ptr<JobGate::State>& state)
        : mInner(inner), mState(state)
    {}
    void rowConverted(std::size_t row, const std::string& outputPath) override
    {
        mState->before(row);
        mInner.rowConverted(row, outputPath);
    }
    void rowFailed(std::size_t row, const std::string& text, const std::string& detail) override
    {
        mState->before(row);
        mInner.rowFailed(row, text, detail);
    }
    void rowSkipped(std::size_t row, const std::string& existingPath) override
    {
        mState->before(row);
        mInner.rowSkipped(row, existingPath);
    }
    void extraConverted(std::size_t row, const std::string& outputPath, const ambrel::convert::RowFacts& facts) override
    {
        mInner.extraConverted(row, outputPath, facts);
    }
    void rowShowPreview(std::size_t row) override { mInner.rowShowPreview(row); }
    void rowStarted(std::size_t row) override { mInner.rowStarted(row); }
    void rowPicture(std::size_t row, const std::string& outputPath, const ambrel::convert::PreviewPicture& picture,
                    std::uint32_t width, std::uint32_t height) override
    {
        mInner.rowPicture(row, outputPath, picture, width, height);
    }
    void jobStopped() override { mInner.jobStopped(); }
    void jobFinished(int converted) override { mInner.jobFinished(converted); }
    void logLine(const std::string& line) override { mInner.logLine(line); }

private:
    ambrel::convert::JobListener& mInner;
    std::shared_ptr<JobGate::State> mState;
};

}  // namespace

JobGate::JobGate() : mState(std::make_shared<State>()) {}

ambrel::app::JobFunction JobGate::function() const
{
    return [state = mState](const ambrel::convert::JobDescription& job, ambrel::convert::JobListener& listener,
                            const std::atomic<bool>& stop) {
        {
            const std::lock_guard lock(state->mutex);
            ++state->jobs;
        }
        GateListener gated(listener, state);
        return ambrel::convert::runConversionJob(job, gated, stop);
    };
}

void JobGate::holdBeforeReportOf(int row)
{
    const std::lock_guard lock(mState->mutex);
    mState->holdRow = row;
}

bool JobGate::isHolding() const
{
    const std::lock_guard lock(mState->mutex);
    return mState->holding;
}

void JobGate::release()
{
    const std::lock_guard lock(mState->mutex);
    mState->holding = false;
    mState->changed.notify_all();
}

void JobGate::openForever()
{
    const std::lock_guard lock(mState->mutex);
    mState->open = true;
    mState->changed.notify_all();
}

int JobGate::jobCount() const
{
    const std::lock_guard lock(mState->mutex);
    return mState->jobs;
}

// --- the controller ---

ControllerFixture::ControllerFixture(unsigned workers) : mWorkers(workers)
{
    make();
}

ControllerFixture::~ControllerFixture()
{
    gate.openForever();  // a failed test may have left the worker held
    mWindow.reset();
    mUserInfo.reset();
}

void ControllerFixture::make()
{
    mUserInfo = std::make_unique<ambrel::app::UserInfo>(ambrel::app::userCacheFolder());
    mWindow = std::make_unique<QWidget>();
    auto* layout = new QVBoxLayout(mWindow.get());
    layout->setContentsMargins(0, 0, 0, 0);
    mView = new ambrel::app::ViewController(
        ambrel::app::ControllerServices{dialogs, desktop, preview, *mUserInfo, gate.function(), jobCache.path(),
                                        nullptr, mWorkers},
        mWindow.get());
    layout->addWidget(mView);
    mWindow->resize(940, 620);
    mWindow->show();
    if (!QTest::qWaitForWindowExposed(mWindow.get())) {
        qWarning("the test window was not exposed");
    }
}

void ControllerFixture::restart()
{
    gate.openForever();
    mWindow.reset();
    mUserInfo.reset();
    gate = JobGate();
    make();
}

void ControllerFixture::click(const char* name)
{
    QTest::mouseClick(control<QAbstractButton>(name), Qt::LeftButton);
}

void ControllerFixture::clickRowButton(int row, bool preview)
{
    QTableView* table = mView->tableView();
    const QRect cell = table->visualRect(model().index(row, ambrel::app::FileTableModel::DeleteColumn));
    const bool previewShown = model()
                                  .index(row, ambrel::app::FileTableModel::DeleteColumn)
                                  .data(ambrel::app::FileTableModel::PreviewShownRole)
                                  .toBool();
    const QRect button = preview ? ambrel::app::FileTableDelegate::previewButtonRect(cell)
                                 : ambrel::app::FileTableDelegate::deleteButtonRect(cell, previewShown);
    QTest::mouseClick(table->viewport(), Qt::LeftButton, {}, button.center());
}

bool ControllerFixture::runJob()
{
    QSignalSpy ended(mView, &ambrel::app::ViewController::jobEnded);
    click("AmbrelBt");
    return ended.count() > 0 || ended.wait(120000);
}

bool ControllerFixture::waitForJobEnd()
{
    QSignalSpy ended(mView, &ambrel::app::ViewController::jobEnded);
    return ended.wait(120000);
}

FreshCacheFolder::FreshCacheFolder() : mPrevious(qgetenv("XDG_CACHE_HOME"))
{
    qputenv("XDG_CACHE_HOME", QFile::encodeName(mFolder.path()));
}

FreshCacheFolder::~FreshCacheFolder()
{
    qputenv("XDG_CACHE_HOME", mPrevious);
}

// --- inputs and outputs ---

namespace {

QByteArray toBytes(const fixture::Bytes& bytes)
{
    return QByteArray(reinterpret_cast<const char*>(bytes.data()), static_cast<qsizetype>(bytes.size()));
}

}  // namespace

QByteArray gridHeic()
{
    static const QByteArray bytes = [] {
        fixture::GridOptions options;
        options.rows = 2;
        options.columns = 3;
        options.exifOrientation = 1;
        return toBytes(fixture::makeGridHeic(options).bytes());
    }();
    return bytes;
}

QByteArray rotatedHeic()
{
    static const QByteArray bytes = [] {
        fixture::GridOptions options;
        options.rows = 1;
        options.columns = 2;
        options.rotation = 90;
        options.exifOrientation = 8;
        return toBytes(fixture::makeGridHeic(options).bytes());
    }();
    return bytes;
}

void writeFile(const QString& path, const QByteArray& bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size()) {
        qFatal("cannot write %s", qPrintable(path));
    }
}

QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QStringList fileNames(const QString& folder)
{
    return QDir(folder).entryList(QDir::Files | QDir::Hidden, QDir::Name);
}

QSize imageFileSize(const QString& path)
{
    const cv::Mat image = cv::imread(QFile::encodeName(path).toStdString(), cv::IMREAD_COLOR);
    return image.empty() ? QSize() : QSize(image.cols, image.rows);
}

QSize storedImageSize(const QString& path)
{
    const cv::Mat image =
        cv::imread(QFile::encodeName(path).toStdString(), cv::IMREAD_COLOR | cv::IMREAD_IGNORE_ORIENTATION);
    return image.empty() ? QSize() : QSize(image.cols, image.rows);
}

bool hasExifSegment(const QByteArray& jpeg)
{
    // An APP1 marker whose payload starts with "Exif\0\0".
    const QByteArray signature("\xFF\xE1", 2);
    for (qsizetype at = jpeg.indexOf(signature); at >= 0; at = jpeg.indexOf(signature, at + 1)) {
        if (jpeg.mid(at + 4, 6) == QByteArray("Exif\0\0", 6)) {
            return true;
        }
    }
    return false;
}

// --- suites ---

std::map<QString, SuiteFactory>& suites()
{
    static std::map<QString, SuiteFactory> registered;
    return registered;
}

void registerSuite(const char* name, SuiteFactory factory)
{
    suites()[QString::fromLatin1(name)] = factory;
}

}  // namespace apptest
