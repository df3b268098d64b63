// Helpers of the application tests: fakes for the alerts, panels and desktop,
// a reader of the log, a controller in a shown window, a gate that holds the
// worker inside a row's report, and HEIC inputs from the fixture library.
#pragma once

#include <QtCore/QDir>
#include <QtCore/QStringList>
#include <QtCore/QTemporaryDir>
#include <QtCore/QUrl>
#include <QtTest/QTest>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "app/file_table.h"
#include "app/preview_window.h"
#include "app/services.h"
#include "app/user_info.h"
#include "app/view_controller.h"

namespace apptest {

// One test suite: a QObject with private test slots.
using SuiteFactory = std::unique_ptr<QObject> (*)();
void registerSuite(const char* name, SuiteFactory factory);
struct SuiteRegistration
{
    SuiteRegistration(const char* name, SuiteFactory factory) { registerSuite(name, factory); }
};
#define APPTEST_SUITE(Name, Class)                               \
    static const apptest::SuiteRegistration registration##Class( \
        Name, []() -> std::unique_ptr<QObject> { return std::make_unique<Class>(); })

class FakeDialogs : public ambrel::app::Dialogs
{
public:
    struct Shown
    {
        ambrel::app::Alert alert;
        bool sheet = false;
    };

    int runAlert(QWidget* parent, const ambrel::app::Alert& alert) override;
    void showSheetAlert(QWidget* parent, const ambrel::app::Alert& alert) override;
    QStringList openHeicPanel(QWidget* anchor) override;
    std::optional<QString> chooseFolder(QWidget* parent, const QString& startFolder) override;

    std::vector<Shown> alerts;
    std::deque<int> alertAnswers;          // for runAlert; 0 when empty
    std::deque<QStringList> panelAnswers;  // empty list (cancel) when empty
    QStringList folderAnswers;             // an empty text, or none left: cancel
    QStringList panelAnchors;              // objectName of each panel's anchor
    std::function<void()> whileAsking;     // runs inside the next runAlert, before it answers
};

class FakeDesktop : public ambrel::app::DesktopServices
{
public:
    bool openUrl(const QUrl& url) override
    {
        opened.push_back(url);
        return opens;
    }
    void notify(const QString& title, const QString& text) override { notified.push_back(title + '\n' + text); }
    std::vector<QUrl> opened;
    bool opens = true;  // what openUrl answers
    QStringList notified;
};

// Collects what the application logs while it exists.
class LogCapture
{
public:
    LogCapture();
    ~LogCapture();
    QStringList lines() const;
    bool contains(const QString& line) const { return lines().contains(line); }

private:
    struct Shared;
    std::shared_ptr<Shared> mShared;
};

// Holds the job's worker before the report of one row reaches the window:
// the file is converted, the report not yet posted. Counts the jobs run.
class JobGate
{
public:
    JobGate();
    // The job function for the controller: the conversion core behind the gate.
    ambrel::app::JobFunction function() const;
    // The worker stops before reporting this row (-1: never).
    void holdBeforeReportOf(int row);
    bool isHolding() const;
    void release();
    // Lets every later report through at once; the controller can then end.
    void openForever();
    int jobCount() const;

    struct State;

private:
    std::shared_ptr<State> mState;
};

// A controller with fake services in a shown window. The settings are read
// from the current cache folder ($XDG_CACHE_HOME).
class ControllerFixture
{
public:
    // `workers`: files the job converts at once (one, in list order, unless
    // a test is about more).
    explicit ControllerFixture(unsigned workers = 1);
    ~ControllerFixture();

    // Destroys the controller and the settings store and makes new ones,
    // as a new run of the application would.
    void restart();

    ambrel::app::ViewController& view() { return *mView; }
    ambrel::app::FileTableModel& model() { return mView->model(); }
    template <typename T>
    T* control(const char* name)
    {
        T* found = mView->findChild<T*>(QString::fromLatin1(name));
        if (found == nullptr) {
            qFatal("no control named %s", name);
        }
        return found;
    }
    void click(const char* name);
    // Clicks the preview or delete button of a row's operation cell.
    void clickRowButton(int row, bool preview);
    // Starts the job with the start button and waits until it has ended;
    // false on a time-out.
    bool runJob();
    // Waits for the end of a job already running.
    bool waitForJobEnd();

    FakeDialogs dialogs;
    FakeDesktop desktop;
    ambrel::app::PreviewWindow preview;
    JobGate gate;
    QTemporaryDir jobCache;  // the job's temporary streams

private:
    void make();
    unsigned mWorkers;

    std::unique_ptr<ambrel::app::UserInfo> mUserInfo;
    std::unique_ptr<QWidget> mWindow;
    ambrel::app::ViewController* mView = nullptr;
};

// Points $XDG_CACHE_HOME at a fresh folder for as long as it exists.
class FreshCacheFolder
{
public:
    FreshCacheFolder();
    ~FreshCacheFolder();
    QString path() const { return mFolder.path(); }

private:
    QTemporaryDir mFolder;
    QByteArray mPrevious;
};

// HEIC inputs.
// A 3 x 2 grid of 64 x 64 tiles: 192 x 128 pixels, Exif with orientation 1.
QByteArray gridHeic();
// A 2 x 1 grid of 64 x 64 tiles rotated a quarter turn: 64 x 128 pixels when
// the rotation is applied, 128 x 64 when it is not. Exif with the orientation
// that says the same (8), so a JPEG that keeps it need not turn its pixels.
QByteArray rotatedHeic();

void writeFile(const QString& path, const QByteArray& bytes);
QByteArray readFile(const QString& path);
// The names in a folder, sorted; files only.
QStringList fileNames(const QString& folder);
// The size of the picture in an image file as OpenCV reads it; empty when unreadable.
QSize imageFileSize(const QString& path);
// The size of the pixels as stored, ignoring an EXIF orientation.
QSize storedImageSize(const QString& path);
bool hasExifSegment(const QByteArray& jpeg);

}  // namespace apptest
