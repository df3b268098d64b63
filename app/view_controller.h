// The main view and its controller: the file list (TablePathArr, drawn by
// the table), the output options and their stored folder settings, and the
// conversion job with its start/stop button.
//
// Everything here runs on the UI thread. The job runs on a worker of the
// JobRunner; its reports come back as signals and change the records, and
// the rows redraw from them.
#pragma once

#include <QtWidgets/QWidget>

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "app/file_table.h"
#include "app/job_runner.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;
class QTableView;

namespace ambrel::app {

class Dialogs;
class DesktopServices;
class DragDropView;
class LLButton;
class PreviewPanel;
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
};

// Window texts.
namespace text {
inline const QString kTip = QStringLiteral("提示");
inline const QString kOk = QStringLiteral("确定");
inline const QString kAddFilesFirst = QStringLiteral("请添加要转换HEIC文件！");
inline const QString kCannotDelete = QStringLiteral("文件正在转换中，无法删除！");
inline const QString kClearList = QStringLiteral("是否立即清空列表？");
inline const QString kClearNow = QStringLiteral("立即清空");
inline const QString kCancel = QStringLiteral("取消");
inline const QString kStart = QStringLiteral("转  换");
inline const QString kStop = QStringLiteral("停 止");
inline const QString kStopping = QStringLiteral("停止中...");
inline const QString kRemoveAll = QStringLiteral("全部删除");
// The summary: "%1" is the count of files written.
inline const QString kSummary = QStringLiteral("恭喜您，已经成功转换 %1 张图片");
}  // namespace text

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
    // Dropped paths: added like AddHeicPath (folders are not opened); ignored
    // while a job runs.
    void dragDropViewFileList(const QStringList& paths);
    // Paths given on the command line: files are added whatever their name,
    // folders give their HEIC files.
    void addGivenPaths(const QStringList& paths);
    // Removes one row, or every row after a question; refused during a job.
    void DeleteEvent(int row);
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

    FileTableModel& model() { return *mModel; }
    QTableView* tableView() const { return mTableView; }
    bool isStopTo() const { return mIsStopTo; }
    // A worker exists that has not ended yet (running, or stopping).
    bool workerBusy() const { return mRunner->busy(); }
    const QString& SaveSuff() const { return mSaveSuff; }
    float ImageZooming() const { return mImageZooming; }
    int nQuality() const { return mQuality; }
    bool isSaveHEICPath() const { return mSaveHeicPath; }

signals:
    // A job has ended and the window is idle again; `finished` is false after a stop.
    void jobEnded(bool finished, int converted);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    void buildInterface();
    void viewDidLoad();
    void refreshListControls();
    void setStartButton(const QString& title, const QString& imageName);
    void addChosenItem(const QString& path, bool anyName);
    int rowOfJobRow(int jobRow) const;

    void onRowConverted(int jobRow, const QString& outputPath);
    void onRowFailed(int jobRow, const QString& text, const QString& detail);
    void onRowShowPreview(int jobRow);
    void onJobStopped();
    void onJobFinished(int converted);

    ControllerServices mServices;

    // Option values.
    QString mSaveSuff = QStringLiteral("JPG");
    float mImageZooming = 1.0f;
    int mQuality = 100;
    bool mSaveHeicPath = false;

    // Job state. mIsStopTo is the one flag the worker reads: true while idle
    // and once a stop is requested. It outlives the runner.
    std::atomic<bool> mIsStopTo{true};
    std::optional<QString> mSavePath;
    bool mExif = true;
    std::vector<std::uint64_t> mJobRowIds;  // the rows of the running job, by id
    std::unique_ptr<JobRunner> mRunner;

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
    QRadioButton* mSaveHEICPath = nullptr;
    QRadioButton* mSaveCustomPath = nullptr;
    QLineEdit* mShowPath = nullptr;
    QPushButton* mSelectPathBt = nullptr;
    QPushButton* mOpenPathBt = nullptr;
    QPushButton* mAmbrelBt = nullptr;
};

}  // namespace ambrel::app
