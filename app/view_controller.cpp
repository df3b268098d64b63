#include "app/view_controller.h"

#include <algorithm>
#include <thread>

#include <QtCore/QCoreApplication>
#include <QtCore/QDir>
#include <QtCore/QFile>
#include <QtCore/QFileInfo>
#include <QtCore/QPointer>
#include <QtCore/QUrl>
#include <QtGui/QKeyEvent>
#include <QtGui/QPainter>
#include <QtWidgets/QCheckBox>
#include <QtWidgets/QComboBox>
#include <QtWidgets/QGridLayout>
#include <QtWidgets/QHBoxLayout>
#include <QtWidgets/QLabel>
#include <QtWidgets/QLineEdit>
#include <QtWidgets/QProgressBar>
#include <QtWidgets/QPushButton>
#include <QtWidgets/QRadioButton>
#include <QtWidgets/QSpinBox>
#include <QtWidgets/QTableView>
#include <QtWidgets/QVBoxLayout>

#include <functional>

#include "app/app_log.h"
#include "app/custom_controls.h"
#include "app/drag_drop_view.h"
#include "app/images.h"
#include "app/row_scan.h"
#include "app/services.h"
#include "app/taskbar_progress.h"
#include "app/user_info.h"
#include "convert/output_files.h"

namespace ambrel::app {

namespace {

// A duration as minutes and seconds ("1:05"), with hours when it has them.
QString durationText(qint64 milliseconds)
{
    const qint64 seconds = std::max<qint64>(0, milliseconds / 1000);
    const QChar zero(u'0');
    if (seconds >= 3600) {
        return QStringLiteral("%1:%2:%3")
            .arg(seconds / 3600)
            .arg((seconds / 60) % 60, 2, 10, zero)
            .arg(seconds % 60, 2, 10, zero);
    }
    return QStringLiteral("%1:%2").arg(seconds / 60).arg(seconds % 60, 2, 10, zero);
}

}  // namespace

bool isUsableOutputFolder(const QString& folder)
{
    if (folder.trimmed().isEmpty()) {
        return false;
    }
    QFileInfo info(QDir::cleanPath(QDir(folder).absolutePath()));
    // A missing folder is made by the job, with its parents, inside the
    // nearest folder that exists.
    while (!info.exists()) {
        const QString parent = info.absolutePath();
        if (parent == info.absoluteFilePath()) {
            return false;
        }
        info = QFileInfo(parent);
    }
    return info.isDir() && info.isWritable();
}

QString outputStem(const QString& sourcePath, NameChoice choice, const QString& suffix)
{
    QString stem = QString::fromStdString(convert::stemOf(sourcePath.toStdString()));
    if (choice == NameChoice::OriginalWithSuffix) {
        for (const QChar c : suffix) {
            if (c != u'/' && c.category() != QChar::Other_Control) {
                stem += c;
            }
        }
    }
    return stem;
}

ViewController::ViewController(ControllerServices services, QWidget* parent)
    : QWidget(parent), mServices(std::move(services))
{
    if (!mServices.runJob) {
        mServices.runJob = convert::runConversionJob;
    }
    if (mServices.cacheFolder.isEmpty()) {
        mServices.cacheFolder = userCacheFolder();
    }
    if (mServices.jobWorkers == 0) {
        // A 12 MP photo keeps about two cores busy (the decoder's threads and
        // the encoder's), so a second file in flight uses what is left.
        mServices.jobWorkers = std::clamp(std::thread::hardware_concurrency(), 1u, 4u);
    }
    mModel = new FileTableModel(this);
    mSession = std::make_unique<JobSession>(*mModel, mServices.runJob);
    connect(mSession.get(), &JobSession::progressed, this, &ViewController::showProgress);
    connect(mSession.get(), &JobSession::rowStarted, this, &ViewController::followRow);
    connect(mSession.get(), &JobSession::ended, this, &ViewController::jobDidEnd);

    setObjectName(QStringLiteral("ViewController"));
    buildInterface();
    viewDidLoad();
}

// The job goes first: it stops and waits for its worker while the list exists.
ViewController::~ViewController()
{
    mSession.reset();
}

void ViewController::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.fillRect(rect(), isLightAppearance(palette()) ? QColor(Qt::white) : palette().color(QPalette::Window));
}

void ViewController::viewDidLoad()
{
    // 1. The drop view takes dropped file names and reports them here.
    mDropView->RegisterForDragged();
    connect(mDropView, &DragDropView::dragDropViewFileList, this, &ViewController::dragDropViewFileList);

    setUpFileTable();
    restoreSaveSettings();
    setUpChoices();
    restoreOptions();
    showIdle();
    connect(mTableView->selectionModel(), &QItemSelectionModel::currentRowChanged, this,
            &ViewController::refreshStatus);
    connect(mModel, &QAbstractItemModel::dataChanged, this, &ViewController::refreshStatus);
    connect(mModel, &QAbstractItemModel::rowsInserted, this, &ViewController::refreshStatus);
    connect(mModel, &QAbstractItemModel::rowsRemoved, this, &ViewController::refreshStatus);
    connect(mModel, &QAbstractItemModel::modelReset, this, &ViewController::refreshStatus);
    refreshStatus();
}

void ViewController::refreshListControls()
{
    const bool empty = mModel->isEmpty();
    mAddHeicFileBt->setVisible(empty);
    mAddHeicHint->setVisible(empty);
    mRemoveAllBt->setVisible(!empty);
    mTableView->setAlternatingRowColors(!empty);
    scanNewRows(*mModel, mScannedUpTo);
    refreshStatus();
}

// --- the job ---

void ViewController::AmbrelBtEvent()
{
    if (mModel->isEmpty()) {
        mServices.dialogs.runAlert(this, Alert{text::noFilesTitle(), text::addFilesFirst(), {text::ok()}});
        return;
    }
    if (!mSession->isStopTo()) {
        // Running: request the stop; the worker sees it before its next row.
        mSession->requestStop();
        mAmbrelBt->setText(text::stopping());
        setTextColor(mAmbrelBt, Qt::white);
        return;
    }
    if (mSession->busy()) {
        // The stopped worker is still finishing its file; one worker at a time.
        appLog(QStringLiteral("start ignored: the stopped job is still finishing its file"));
        return;
    }
    if (!mSaveHeicPath && !isUsableOutputFolder(mShowPath->text())) {
        // Said now rather than as a failure of every row after its decoding.
        mServices.dialogs.runAlert(
            this, Alert{text::saveFolderTitle(), text::unusableFolder(mShowPath->text()), {text::ok()}, true});
        return;
    }

    setStartButton(text::stop(), image::kStopBt);
    ToBtState(false);
    convert::JobDescription job = describeJob();
    const QString started = startLine(job.options);
    if (!mSession->start(std::move(job))) {
        setStartButton(text::start(), image::kToBt);
        ToBtState(true);
        return;
    }
    mPendingSummary.reset();
    appLog(started);
    mProgressBar->setRange(0, mSession->counts().total);
    mProgressBar->show();
    mProgressText->show();
    showProgress();
}

void ViewController::showProgress()
{
    const JobSession::Counts& counts = mSession->counts();
    const int done = std::min(counts.done, counts.total);
    const qint64 elapsed = mSession->elapsed();
    mProgressBar->setValue(done);
    if (mServices.taskbar != nullptr) {
        mServices.taskbar->setProgress(done, counts.total);
    }
    if (counts.done > 0 && counts.done < counts.total) {
        const qint64 remaining = elapsed * (counts.total - counts.done) / counts.done;
        mProgressText->setText(
            text::progressWithEstimate(counts.done, counts.total, durationText(elapsed), durationText(remaining)));
    } else {
        mProgressText->setText(text::progress(counts.done, counts.total, durationText(elapsed)));
    }
}

// The list follows the rows being converted.
void ViewController::followRow(int row)
{
    if (row >= 0 && !mTableView->isRowHidden(row)) {
        mTableView->scrollTo(mModel->index(row, FileTableModel::NameColumn), QAbstractItemView::EnsureVisible);
    }
}

void ViewController::jobDidEnd(bool finished, int converted)
{
    if (mServices.taskbar != nullptr) {
        mServices.taskbar->clear();
    }
    mProgressBar->hide();
    mProgressText->hide();
    setStartButton(text::start(), image::kToBt);
    ToBtState(true);
    if (mCloseWhenEnded) {
        // Quitting: the summary would only hold the window open.
        emit jobEnded(finished, converted);
        emit readyToClose();
        return;
    }
    showSummary(finished);
    emit jobEnded(finished, converted);
}

Alert ViewController::jobSummary(bool finished) const
{
    const JobSession::Counts& counts = mSession->counts();
    Alert summary;
    summary.messageText = finished ? text::finishedTitle() : text::stoppedTitle();
    QStringList lines;
    // A job with failures (or a stopped one) does not congratulate.
    lines << (finished && counts.failed == 0 && counts.converted > 0 ? text::summary(counts.converted)
                                                                     : text::convertedCount(counts.converted));
    if (counts.extraFiles > 0) {
        lines.last() += QCoreApplication::translate("ViewController", "，") +
                        text::filesWritten(counts.converted + counts.extraFiles);
    }
    if (counts.skipped > 0) {
        lines << text::skippedCount(counts.skipped);
    }
    if (counts.failed > 0) {
        lines << text::failedSummary(counts.failed);
    }
    const int left = counts.total - counts.done;
    if (!finished && left > 0) {
        lines << text::notConvertedCount(left);
    }
    summary.informativeText = lines.join(u'\n');
    summary.warning = counts.failed > 0;
    summary.buttons = {text::ok()};
    if (counts.converted > 0) {
        summary.buttons << text::openOutputFolder();
    }
    return summary;
}

void ViewController::showSummary(bool finished)
{
    if (mAskingToClose) {
        // The close question is open; the summary waits for its answer.
        mPendingSummary = finished;
        return;
    }
    Alert summary = jobSummary(finished);
    const QPointer<ViewController> self(this);
    summary.answered = [self](int button) {
        if (button == 1 && self != nullptr) {
            self->OpenPathBtEvent();
        }
    };
    // The desktop hears of the end when the window is not in front.
    if (!window()->isActiveWindow()) {
        mServices.desktop.notify(summary.messageText, summary.informativeText);
    }
    mServices.dialogs.showSheetAlert(this, summary);
}

bool ViewController::windowShouldClose()
{
    if (!mSession->busy()) {
        return true;
    }
    if (mCloseWhenEnded) {
        return false;  // the stop was asked for; the window closes when the worker ends
    }
    if (mSession->isStopTo()) {
        // Stopping already: close as soon as the file in progress is done.
        mCloseWhenEnded = true;
        return false;
    }
    mAskingToClose = true;
    const int answer = mServices.dialogs.runAlert(
        this, Alert{text::quitTitle(), text::quitDuringJob(), {text::stopAndQuit(), text::keepConverting()}, true});
    mAskingToClose = false;
    if (answer != 0) {
        // Keep converting (or the question was closed): the window stays, and
        // a job that ended meanwhile shows its summary now.
        if (const std::optional<bool> pending = std::exchange(mPendingSummary, std::nullopt)) {
            showSummary(*pending);
        }
        return false;
    }
    mPendingSummary.reset();
    if (!mSession->busy()) {
        return true;  // the job ended while the question was open
    }
    mCloseWhenEnded = true;
    mSession->requestStop();
    mAmbrelBt->setText(text::stopping());
    setTextColor(mAmbrelBt, Qt::white);
    return false;
}

// --- the list ---

void ViewController::AddHeicPath(const QString& path)
{
    const std::string name = path.toStdString();
    // HEIF files by any of their names (cameras write .HIF), and whatever
    // reads as HEIC once upper-cased.
    if (!convert::isHeifFileName(name) && !convert::hasHeicName(name)) {
        return;
    }
    if (mModel->contains(path)) {
        appLog(QCoreApplication::translate("Log", "找到重复：%1").arg(path));
        return;
    }
    addRecord(path);
}

void ViewController::addRecord(const QString& path, const std::string& subfolder)
{
    convert::FileRecord record = convert::makeRecord(path.toStdString());
    record.outputSubfolder = subfolder;
    // The size as the folder lists it, also for a file that cannot be read
    // (its row says why when it is converted).
    const QFileInfo info(path);
    if (info.isFile()) {
        record.heicFileSize = sizeText(info.size()).toStdString();
    }
    mModel->append(std::move(record));
}

void ViewController::addFolder(const QString& folder)
{
    const bool recursive = mSubfolders->isChecked();
    const convert::FolderScan scan = convert::scanFolder(folder.toStdString(), recursive);
    for (const convert::FolderScan::Entry& entry : scan.files) {
        const QString path = QString::fromStdString(entry.path);
        if (mModel->contains(path)) {
            appLog(QCoreApplication::translate("Log", "找到重复：%1").arg(path));
            continue;
        }
        // Subfolders are mirrored below the output folder.
        addRecord(path, recursive ? entry.relative : std::string());
    }
    mSubfoldersSkipped += static_cast<int>(scan.subfolders);
}

void ViewController::addChosenItem(const QString& path, bool anyName)
{
    const QFileInfo info(path);
    if (!info.exists()) {
        return;
    }
    if (info.isDir()) {
        addFolder(path);
    } else if (anyName && !mModel->contains(path)) {
        addRecord(path);
    } else {
        AddHeicPath(path);
    }
}

void ViewController::AddHeicFileBtEvent(QWidget* anchor)
{
    mSubfoldersSkipped = 0;
    const QStringList chosen = mServices.dialogs.openHeicPanel(anchor != nullptr ? anchor : mAddFileBt);
    for (const QString& path : chosen) {
        addChosenItem(path, false);
    }
    refreshListControls();
}

void ViewController::addGivenPaths(const QStringList& paths)
{
    if (!mSession->isStopTo()) {
        return;
    }
    mSubfoldersSkipped = 0;
    for (const QString& path : paths) {
        addChosenItem(QFileInfo(path).absoluteFilePath(), true);
    }
    refreshListControls();
}

void ViewController::dragDropViewFileList(const QStringList& paths)
{
    if (!mSession->isStopTo()) {
        return;  // the list stays as the running job took it
    }
    mSubfoldersSkipped = 0;
    for (const QString& path : paths) {
        if (QFileInfo(path).isDir()) {
            // A dropped folder gives its HEIF files, its subfolders' too when asked.
            addFolder(path);
        } else {
            AddHeicPath(path);
        }
    }
    refreshListControls();
}

void ViewController::DeleteEvent(int row)
{
    if (!mSession->isStopTo()) {
        mServices.dialogs.runAlert(this, Alert{text::busyTitle(), text::cannotDelete(), {text::ok()}});
        return;
    }
    mModel->removeRecord(row);
    refreshListControls();
}

void ViewController::DeleteSelectedRows()
{
    std::vector<int> rows;
    for (const QModelIndex& index : mTableView->selectionModel()->selectedRows()) {
        rows.push_back(index.row());
    }
    if (rows.empty() && mTableView->currentIndex().isValid()) {
        rows.push_back(mTableView->currentIndex().row());
    }
    if (rows.empty()) {
        return;
    }
    if (!mSession->isStopTo()) {
        mServices.dialogs.runAlert(this, Alert{text::busyTitle(), text::cannotDelete(), {text::ok()}});
        return;
    }
    // From the last, so the numbers of the rows still to go stay valid.
    std::sort(rows.begin(), rows.end(), std::greater<>());
    rows.erase(std::unique(rows.begin(), rows.end()), rows.end());
    for (int row : rows) {
        mModel->removeRecord(row);
    }
    refreshListControls();
}

bool ViewController::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == mTableView && event->type() == QEvent::KeyPress) {
        const auto* key = static_cast<QKeyEvent*>(event);
        if ((key->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier) {
            switch (key->key()) {
            case Qt::Key_Delete:
            case Qt::Key_Backspace: DeleteSelectedRows(); return true;
            case Qt::Key_Return:
            case Qt::Key_Enter: {
                const int row = mTableView->currentIndex().row();
                if (row >= 0 && row < mModel->count() && !mModel->record(row).toPath.empty()) {
                    PreViewEvent(row);
                }
                return true;
            }
            default: break;
            }
        }
    }
    return QWidget::eventFilter(watched, event);
}

void ViewController::RemoverAllBtEvent()
{
    if (!mSession->isStopTo()) {
        mServices.dialogs.runAlert(this, Alert{text::busyTitle(), text::cannotDelete(), {text::ok()}});
        return;
    }
    if (mModel->isEmpty()) {
        return;
    }
    const int answer = mServices.dialogs.runAlert(
        this, Alert{text::clearListTitle(), text::clearList(), {text::clearNow(), text::cancel()}});
    if (answer == 0) {
        mModel->removeAll();
    }
    refreshListControls();
}

QString ViewController::rowDetails(int row) const
{
    if (row < 0 || row >= mModel->count()) {
        return {};
    }
    const QModelIndex state = mModel->index(row, FileTableModel::StateColumn);
    QString details =
        QStringLiteral("%1 · %2").arg(QFileInfo(QString::fromStdString(mModel->record(row).heicPath)).fileName(),
                                      state.data(Qt::AccessibleTextRole).toString());
    const QString reason = state.data(Qt::ToolTipRole).toString();
    if (!reason.isEmpty() && reason != state.data(Qt::DisplayRole).toString()) {
        details += QCoreApplication::translate("ViewController", "：") + reason;
    }
    return details;
}

void ViewController::filterRows()
{
    const bool failedOnly = mFailedOnly->isChecked();
    for (int row = 0; row < mModel->count(); ++row) {
        mTableView->setRowHidden(row, failedOnly && rowStateOf(mModel->record(row)) != RowState::Failed);
    }
}

void ViewController::refreshStatus()
{
    if (mFailedOnly->isChecked()) {
        filterRows();
    }
    const int row = mTableView->currentIndex().row();
    QString status;
    int failedRows = 0;
    for (int i = 0; i < mModel->count(); ++i) {
        failedRows += rowStateOf(mModel->record(i)) == RowState::Failed ? 1 : 0;
    }
    if (row >= 0 && row < mModel->count()) {
        status = rowDetails(row);
    } else if (!mModel->isEmpty()) {
        int converted = 0;
        for (int i = 0; i < mModel->count(); ++i) {
            converted += rowStateOf(mModel->record(i)) == RowState::Converted ? 1 : 0;
        }
        const int failed = failedRows;
        status = QCoreApplication::translate("ViewController", "%n 个文件", nullptr, mModel->count());
        if (converted > 0) {
            status += QCoreApplication::translate("ViewController", " · 已转换 %1").arg(converted);
        }
        if (failed > 0) {
            status += QCoreApplication::translate("ViewController", " · 失败 %1").arg(failed);
        }
    }
    if (mSubfoldersSkipped > 0 && (row < 0 || row >= mModel->count())) {
        status += (status.isEmpty() ? QString() : QStringLiteral(" · ")) +
                  QCoreApplication::translate("ViewController", "%n 个子文件夹未添加（可勾选“包括子文件夹”）", nullptr,
                                              mSubfoldersSkipped);
    }
    mFailedOnly->setVisible(mFailedOnly->isChecked() || failedRows > 0);
    mStatusText->setText(status);
    mStatusText->setToolTip(status);
}

void ViewController::PreViewEvent(int row)
{
    if (row < 0 || row >= mModel->count()) {
        return;
    }
    mServices.preview.previewFile(QUrl::fromLocalFile(QString::fromStdString(mModel->record(row).toPath)));
}

}  // namespace ambrel::app
