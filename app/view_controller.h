// The main view and its controller: the file list (TablePathArr, drawn by
// the table), the output options and their stored folder settings, and the
// conversion job with its start/stop button.
//
// Everything here runs on the UI thread. The job is the JobSession's: the
// window starts and stops it, and shows its progress and its end; the rows
// redraw from the records it changes.
#pragma once

#include <QtCore/QCoreApplication>
#include <QtWidgets/QWidget>

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "app/file_table.h"
#include "app/job_session.h"
#include "app/services.h"

class QCheckBox;
class QComboBox;
class QGridLayout;
class QHBoxLayout;
class QLabel;
class QProgressBar;
class QTimer;
class QLineEdit;
class QPushButton;
class QRadioButton;
class QSpinBox;
class QTableView;

namespace ambrel::app {

class Dialogs;
class DesktopServices;
class DragDropView;
class LLButton;
class PreviewPanel;
class TaskbarProgress;
class UserInfo;

// What the controller works with; all must outlive it.
struct ControllerServices
{
    Dialogs& dialogs;
    DesktopServices& desktop;
    PreviewPanel& preview;
    UserInfo& userInfo;
    // The job body; the conversion core's runConversionJob when empty.
    JobFunction runJob;
    // Where the job keeps its temporary streams (in its folder "Ambrel");
    // the user's cache folder when empty.
    QString cacheFolder;
    // Where the job's progress also shows (the task bar entry); none when null.
    TaskbarProgress* taskbar = nullptr;
    // Files converted at once; 0: one per processor core (at most 4).
    unsigned jobWorkers = 0;
};

// Window texts, in the user's language (Chinese is the source language).
namespace text {
inline QString ok()
{
    return QCoreApplication::translate("ViewController", "确定");
}
// The titles of the alerts: what each one is about.
inline QString noFilesTitle()
{
    return QCoreApplication::translate("ViewController", "没有文件");
}
inline QString busyTitle()
{
    return QCoreApplication::translate("ViewController", "正在转换");
}
inline QString clearListTitle()
{
    return QCoreApplication::translate("ViewController", "清空列表");
}
inline QString saveFolderTitle()
{
    return QCoreApplication::translate("ViewController", "保存位置");
}
inline QString openFolderTitle()
{
    return QCoreApplication::translate("ViewController", "打开输出文件夹");
}
inline QString finishedTitle()
{
    return QCoreApplication::translate("ViewController", "转换完成");
}
inline QString stoppedTitle()
{
    return QCoreApplication::translate("ViewController", "转换已停止");
}
inline QString quitTitle()
{
    return QCoreApplication::translate("ViewController", "退出 Ambrel");
}
inline QString addFilesFirst()
{
    return QCoreApplication::translate("ViewController", "请添加要转换HEIC文件！");
}
inline QString cannotDelete()
{
    return QCoreApplication::translate("ViewController", "文件正在转换中，无法删除！");
}
inline QString clearList()
{
    return QCoreApplication::translate("ViewController", "是否立即清空列表？");
}
inline QString clearNow()
{
    return QCoreApplication::translate("ViewController", "立即清空");
}
inline QString cancel()
{
    return QCoreApplication::translate("ViewController", "取消");
}
inline QString start()
{
    return QCoreApplication::translate("ViewController", "转  换");
}
inline QString stop()
{
    return QCoreApplication::translate("ViewController", "停 止");
}
inline QString stopping()
{
    return QCoreApplication::translate("ViewController", "停止中...");
}
inline QString removeAll()
{
    return QCoreApplication::translate("ViewController", "全部删除");
}
// The summary of a job where nothing failed: the photos converted.
inline QString summary(int converted)
{
    return QCoreApplication::translate("ViewController", "恭喜您，已经成功转换 %n 张图片", nullptr, converted);
}
// The summary of a job where files failed: the photos converted, without congratulations.
inline QString convertedCount(int converted)
{
    return QCoreApplication::translate("ViewController", "已转换 %n 张图片", nullptr, converted);
}
// The summary's line of the files written when a photo gave more than one file.
inline QString filesWritten(int files)
{
    return QCoreApplication::translate("ViewController", "共写出 %n 个文件", nullptr, files);
}
// The summary's line of the photos left alone because their output existed.
inline QString skippedCount(int skipped)
{
    return QCoreApplication::translate("ViewController", "%n 张图片的输出文件已存在，已跳过", nullptr, skipped);
}
// The summary's second line when files failed.
inline QString failedSummary(int failed)
{
    return QCoreApplication::translate("ViewController", "%n 个文件转换失败，原因见该行的提示。", nullptr, failed);
}
// The summary after a stop: the photos not converted.
inline QString notConvertedCount(int left)
{
    return QCoreApplication::translate("ViewController", "%n 张图片未转换", nullptr, left);
}
// The summary's button that opens the output folder.
inline QString openOutputFolder()
{
    return QCoreApplication::translate("ViewController", "打开文件夹");
}
// The start click with an output folder that cannot be written to: "%1" is the folder.
inline QString unusableFolder(const QString& folder)
{
    return QCoreApplication::translate("ViewController", "无法保存到文件夹“%1”，请选择其他文件夹。").arg(folder);
}
// "Open Folder" with nothing it could open.
inline QString noFolderToOpen()
{
    return QCoreApplication::translate("ViewController", "保存到原文件夹时，请先添加文件。");
}
inline QString folderMissing(const QString& folder)
{
    return QCoreApplication::translate("ViewController", "文件夹“%1”还不存在，转换时会创建它。").arg(folder);
}
inline QString cannotOpenFolder(const QString& folder)
{
    return QCoreApplication::translate("ViewController", "无法打开文件夹“%1”。").arg(folder);
}
// The job's progress: files done of all, the time taken, and after the
// first file an estimate of the time left.
inline QString progress(int done, int total, const QString& elapsed)
{
    return QCoreApplication::translate("ViewController", "%1 / %2 · 已用 %3").arg(done).arg(total).arg(elapsed);
}
inline QString progressWithEstimate(int done, int total, const QString& elapsed, const QString& remaining)
{
    return QCoreApplication::translate("ViewController", "%1 / %2 · 已用 %3 · 剩余约 %4")
        .arg(done)
        .arg(total)
        .arg(elapsed, remaining);
}
// Closing the window during a job.
inline QString quitDuringJob()
{
    return QCoreApplication::translate("ViewController", "文件正在转换中。是否停止转换并退出？");
}
inline QString stopAndQuit()
{
    return QCoreApplication::translate("ViewController", "停止并退出");
}
inline QString keepConverting()
{
    return QCoreApplication::translate("ViewController", "继续转换");
}
}  // namespace text

// How outputs are named: after the source's name (everything before its
// last dot) with the job's time, alone, or with a suffix the user types.
enum class NameChoice {
    JobTime,
    Original,
    OriginalWithSuffix,
};

// The stem of an output for a source: "2024.07.01 beach.heic" gives
// "2024.07.01 beach", with `suffix` after it for OriginalWithSuffix ("/" and
// control characters in the suffix are left out).
[[nodiscard]] QString outputStem(const QString& sourcePath, NameChoice choice, const QString& suffix);

// Whether files can be written into `folder`: it is a folder that can be
// written to, or it is missing and its nearest existing parent is one.
[[nodiscard]] bool isUsableOutputFolder(const QString& folder);

class ViewController : public QWidget
{
    Q_OBJECT
public:
    explicit ViewController(ControllerServices services, QWidget* parent = nullptr);
    ~ViewController() override;

    // The start/stop button: starts a job over the list, requests a stop of
    // the running one, or asks for files when the list is empty.
    void AmbrelBtEvent();
    // Enables or disables the controls that must not change during a job:
    // format, scale, quality, "Exif", the folder button and the add button.
    void ToBtState(bool enabled);

    // The add buttons: the open panel, then every chosen file, and the direct
    // entries of every chosen folder.
    void AddHeicFileBtEvent(QWidget* anchor = nullptr);
    // Adds one path when its name reads as HEIC and it is not listed yet.
    void AddHeicPath(const QString& path);
    // Dropped paths: files added like AddHeicPath, folders searched with
    // their subfolders for HEIF files; ignored while a job runs.
    void dragDropViewFileList(const QStringList& paths);
    // Paths given on the command line: files are added whatever their name,
    // folders give their HEIC files.
    void addGivenPaths(const QStringList& paths);
    // Removes one row, or every row after a question; refused during a job.
    void DeleteEvent(int row);
    // The Delete key: removes the selected rows (the current one when none
    // is selected); refused during a job like DeleteEvent.
    void DeleteSelectedRows();
    void RemoverAllBtEvent();

    // Option actions, from the selected index only.
    void OutFormatEvent(int index);
    void ImageSizeEvent(int index);
    void ImageQualityEvent(int index);
    void SaveHEICPathBTEvent();
    void SaveCustomPathBTEvent();
    void SelectPathBtEvent();
    void OpenPathBtEvent();

    // The preview button of a converted row.
    void PreViewEvent(int row);
    // The details line: what the selected row's state is and, for a failed
    // row, why.
    [[nodiscard]] QString rowDetails(int row) const;

    // Whether the window may close now. While a worker runs it asks whether
    // to stop the job: "stop" requests the stop and the window closes once
    // the worker has ended (readyToClose); "keep converting" keeps it open.
    [[nodiscard]] bool windowShouldClose();

    FileTableModel& model() { return *mModel; }
    QTableView* tableView() const { return mTableView; }
    bool isStopTo() const { return mSession->isStopTo(); }
    // A worker exists that has not ended yet (running, or stopping).
    bool workerBusy() const { return mSession->busy(); }
    JobSession& session() { return *mSession; }
    const QString& SaveSuff() const { return mSaveSuff; }
    float ImageZooming() const { return mImageZooming; }
    int nQuality() const { return mQuality; }
    bool isSaveHEICPath() const { return mSaveHeicPath; }
    // The job's progress: the bar and its text, shown while a job runs.
    QProgressBar* progressBar() const { return mProgressBar; }
    QLabel* progressText() const { return mProgressText; }
    // The line under the list: the counts of the list, or the selected row's details.
    QLabel* statusText() const { return mStatusText; }

signals:
    // A job has ended and the window is idle again; `finished` is false after a stop.
    void jobEnded(bool finished, int converted);
    // The window asked to close during a job, and the job's worker has ended.
    void readyToClose();

protected:
    void paintEvent(QPaintEvent* event) override;
    // The table's keys: Delete and Backspace remove, Enter and Return preview.
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void buildInterface();
    QWidget* buildBanner();
    QWidget* buildListArea();
    void buildTableView(QGridLayout& dropLayout);
    void buildEmptyListHint(QGridLayout& dropLayout);
    void buildListLinks(QGridLayout& dropLayout);
    QWidget* buildOptionsPanel();
    QHBoxLayout* buildFormatRow(QWidget* options);
    QHBoxLayout* buildChoicesRow(QWidget* options);
    QHBoxLayout* buildNameRow(QWidget* options);
    QHBoxLayout* buildSaveRow(QWidget* options);
    void nameControls();
    void connectActions();
    void viewDidLoad();
    void setUpFileTable();
    void restoreSaveSettings();
    void setUpChoices();
    void showIdle();
    void restoreOptions();
    // Enables each option when no job runs and what it depends on allows it.
    void updateOptionStates();
    void storeOption(const QString& key, const QString& value);
    void refreshListControls();
    // The counts of the list, or the selected row's details, under the list.
    void refreshStatus();
    // With "failed only" ticked, hides every row that did not fail.
    void filterRows();
    // Adds the HEIF files of a folder, with its subfolders' when they are
    // asked for; otherwise says how many subfolders were not searched.
    void addFolder(const QString& folder);
    void addRecord(const QString& path, const std::string& subfolder = {});
    // The job's summary: what was converted, failed, skipped or left.
    [[nodiscard]] Alert jobSummary(bool finished) const;
    void showSummary(bool finished);
    [[nodiscard]] QString outputFolderToOpen() const;
    void setStartButton(const QString& title, const QString& imageName);
    void addChosenItem(const QString& path, bool anyName);
    [[nodiscard]] convert::JobDescription describeJob() const;
    [[nodiscard]] QString startLine(const convert::JobOptions& options) const;
    // The bar, its text and the task bar entry, from the job's counts and time.
    void showProgress();
    void followRow(int row);
    void jobDidEnd(bool finished, int converted);

    ControllerServices mServices;

    // Option values.
    QString mSaveSuff = QStringLiteral("JPG");
    float mImageZooming = 1.0f;
    int mQuality = 100;
    bool mSaveHeicPath = false;

    // The job over the list; it goes before the list.
    std::unique_ptr<JobSession> mSession;
    bool mCloseWhenEnded = false;
    // The close question is open: a job ending meanwhile keeps its summary
    // until the question is answered.
    bool mAskingToClose = false;
    std::optional<bool> mPendingSummary;  // finished (true) or stopped, when one waits
    bool mOptionsEnabled = true;
    int mSubfoldersSkipped = 0;  // by the last folders added

    FileTableModel* mModel = nullptr;

    // The controls, by the names the window layout gives them.
    DragDropView* mDropView = nullptr;
    QTableView* mTableView = nullptr;
    QPushButton* mAddHeicFileBt = nullptr;
    QLabel* mAddHeicHint = nullptr;
    QPushButton* mAddFileBt = nullptr;
    LLButton* mRemoveAllBt = nullptr;
    QComboBox* mOutFormat = nullptr;
    QComboBox* mImageSize = nullptr;
    QComboBox* mImageQuality = nullptr;
    QCheckBox* mExifBox = nullptr;
    QCheckBox* mKeepHdr = nullptr;
    QCheckBox* mAllImagesBox = nullptr;
    QSpinBox* mMaxSide = nullptr;
    QCheckBox* mDepth16 = nullptr;
    QCheckBox* mKeepDates = nullptr;
    QCheckBox* mSubfolders = nullptr;
    QComboBox* mNameChoice = nullptr;
    QLineEdit* mNameSuffix = nullptr;
    QComboBox* mExistingChoice = nullptr;
    QLabel* mStatusText = nullptr;
    QCheckBox* mFailedOnly = nullptr;
    std::uint64_t mScannedUpTo = 0;  // rows with ids up to this one are scanned for what they hold
    QRadioButton* mSaveHEICPath = nullptr;
    QRadioButton* mSaveCustomPath = nullptr;
    QLineEdit* mShowPath = nullptr;
    QPushButton* mSelectPathBt = nullptr;
    QPushButton* mOpenPathBt = nullptr;
    QPushButton* mAmbrelBt = nullptr;
    QProgressBar* mProgressBar = nullptr;
    QLabel* mProgressText = nullptr;
};

}  // namespace ambrel::app
