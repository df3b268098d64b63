// The conversion job as the window runs it: the empty-list click, a job
// whose rows partly fail, the options reaching the files, stopping with rows
// left and during the last file, a start click while the stopped worker is
// finishing, rows removed while stopping, and a second job after a first.
#include <QtCore/QDir>
#include <QtCore/QFileInfo>
#include <QtCore/QMimeData>
#include <QtCore/QProcess>
#include <QtCore/QRegularExpression>
#include <QtDBus/QDBusArgument>
#include <QtDBus/QDBusConnection>
#include <QtDBus/QDBusMessage>
#include <QtDBus/QDBusMetaType>
#include <QtGui/QDragEnterEvent>
#include <QtGui/QIcon>
#include <QtTest/QSignalSpy>
#include <QtWidgets/QApplication>
#include <QtWidgets/QCheckBox>
#include <QtWidgets/QComboBox>
#include <QtWidgets/QLabel>
#include <QtWidgets/QLineEdit>
#include <QtWidgets/QProgressBar>
#include <QtWidgets/QPushButton>
#include <QtWidgets/QRadioButton>
#include <QtWidgets/QSpinBox>
#include <QtWidgets/QTableView>

#include <opencv2/imgcodecs.hpp>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <string_view>

#include "app/custom_controls.h"
#include "app/drag_drop_view.h"
#include "app/images.h"
#include "app/main_window.h"
#include "app/taskbar_progress.h"
#include "tests/app/app_test_support.h"
#include "tests/fixtures/heif_samples.h"

using namespace apptest;
using ambrel::app::FileTableModel;
using ambrel::app::RowState;

namespace {

constexpr int kTimeout = 120000;

void addFiles(ControllerFixture& f, const QStringList& paths)
{
    f.dialogs.panelAnswers.push_back(paths);
    f.view().AddHeicFileBtEvent();
}

RowState stateOf(ControllerFixture& f, int row)
{
    return static_cast<RowState>(
        f.model().index(row, FileTableModel::StateColumn).data(FileTableModel::RowStateRole).toInt());
}

QString stateText(ControllerFixture& f, int row)
{
    return f.model().index(row, FileTableModel::StateColumn).data().toString();
}

QString stateToolTip(ControllerFixture& f, int row)
{
    return f.model().index(row, FileTableModel::StateColumn).data(Qt::ToolTipRole).toString();
}

QString stateImage(ControllerFixture& f, int row)
{
    return f.model().index(row, FileTableModel::StateColumn).data(FileTableModel::ImageNameRole).toString();
}

bool previewShown(ControllerFixture& f, int row)
{
    return f.model().index(row, FileTableModel::DeleteColumn).data(FileTableModel::PreviewShownRole).toBool();
}

QString outputOf(ControllerFixture& f, int row)
{
    return QString::fromStdString(f.model().record(row).toPath);
}

QString lastSummary(ControllerFixture& f)
{
    if (f.dialogs.alerts.empty() || !f.dialogs.alerts.back().sheet) {
        return {};
    }
    return f.dialogs.alerts.back().alert.informativeText;
}

// The controls the job disables, and some it must leave alone.
// Every option is locked while a job runs, so the window shows what the job does.
const char* const kJobLocked[] = {"OutFormat",  "ImageSize",      "ImageQuality",   "Exif",      "SelectPathBt",
                                  "AddFileBt",  "SaveHEICPath",   "SaveCustomPath", "MaxSide",   "KeepDates",
                                  "NameChoice", "ExistingChoice", "Subfolders",     "AllImages", "KeepHdr"};
const char* const kJobFree[] = {"AmbrelBt", "OpenPathBt", "RemoveAllBt"};

// A bus of the test's own (a dbus-daemon it starts) and what the launcher
// entry signals on it said.
class PrivateBus : public QObject
{
    Q_OBJECT
public:
    PrivateBus()
    {
        mDaemon.start(QStringLiteral("dbus-daemon"), {"--session", "--nofork", "--print-address"});
        if (!mDaemon.waitForStarted(10000) || !mDaemon.waitForReadyRead(10000)) {
            return;
        }
        address = QString::fromUtf8(mDaemon.readLine()).trimmed();
        QDBusConnection listener = QDBusConnection::connectToBus(address, QStringLiteral("ambrel-test-listener"));
        listener.connect({}, {}, QStringLiteral("com.canonical.Unity.LauncherEntry"), QStringLiteral("Update"), this,
                         SLOT(updated(QDBusMessage)));
    }
    ~PrivateBus() override
    {
        QDBusConnection::disconnectFromBus(QStringLiteral("ambrel-test-listener"));
        QDBusConnection::disconnectFromBus(QStringLiteral("ambrel-test-sender"));
        mDaemon.kill();
        mDaemon.waitForFinished(10000);
    }
    QDBusConnection sender() const
    {
        return QDBusConnection::connectToBus(address, QStringLiteral("ambrel-test-sender"));
    }

    QString address;
    QStringList updates;  // "uri progress visible"

private slots:
    void updated(const QDBusMessage& message)
    {
        const QList<QVariant> arguments = message.arguments();
        if (arguments.size() != 2) {
            updates.append(QStringLiteral("malformed"));
            return;
        }
        const QVariantMap properties = qdbus_cast<QVariantMap>(arguments[1]);
        updates.append(QStringLiteral("%1 %2 %3")
                           .arg(arguments[0].toString())
                           .arg(properties.value(QStringLiteral("progress")).toDouble())
                           .arg(properties.value(QStringLiteral("progress-visible")).toBool() ? "true" : "false"));
    }

private:
    QProcess mDaemon;
};

}  // namespace

class JobTest : public QObject
{
    Q_OBJECT

private slots:
    // A job body that throws ends as a stopped job, and the session is idle again.
    void jobThatThrowsLeavesTheSessionIdle()
    {
        ambrel::app::FileTableModel model;
        model.append(ambrel::convert::makeRecord("/nowhere/a.heic"));
        model.append(ambrel::convert::makeRecord("/nowhere/b.heic"));
        ambrel::app::JobSession session(model,
                                        [](const auto&, auto& listener, const auto&) -> ambrel::convert::JobSummary {
                                            listener.rowConverted(0, "/out/a.JPG");
                                            throw std::runtime_error("the disk went away");
                                        });
        QSignalSpy ended(&session, &ambrel::app::JobSession::ended);
        QVERIFY(session.start({{}, model.records()}));
        QVERIFY(ended.wait(kTimeout));
        QVERIFY(!ended[0][0].toBool() && session.isStopTo() && !session.busy());
        QCOMPARE(session.counts().converted, 1);
        QCOMPARE(session.counts().total - session.counts().done, 1);
    }

    void emptyListClickAsksForFiles()
    {
        FreshCacheFolder cache;
        ControllerFixture f;
        f.click("AmbrelBt");
        QCOMPARE(f.dialogs.alerts.size(), std::size_t(1));
        const auto& shown = f.dialogs.alerts.front();
        QVERIFY(!shown.sheet);
        QCOMPARE(shown.alert.messageText, QStringLiteral("没有文件"));
        QCOMPARE(shown.alert.informativeText, QStringLiteral("请添加要转换HEIC文件！"));
        QCOMPARE(shown.alert.buttons, QStringList{"确定"});
        QCOMPARE(f.control<QPushButton>("AmbrelBt")->text(), QStringLiteral("转  换"));
        QVERIFY(f.view().isStopTo());
        QCOMPARE(f.gate.jobCount(), 0);
    }

    // A file that holds a depth map and a gain map is marked in the list;
    // with "all images" ticked (kept across starts) they are written beside
    // its picture, named after it.
    void filesHoldingMoreAreMarkedAndWrittenWhenAsked()
    {
        QTemporaryDir dir;
        const QString phone = dir.filePath("phone.heic");
        const QString plain = dir.filePath("plain.heic");
        {
            fixture::SingleImageOptions options;
            options.width = 64;
            options.height = 48;
            fixture::SampleFile sample = fixture::makeSingleImageHeic(options);
            fixture::addAuxiliaryItem(sample.builder, 10, sample.primaryId, fixture::kAuxDepth,
                                      fixture::greyQuadrants(32, 24));
            fixture::addAuxiliaryItem(sample.builder, 11, sample.primaryId, fixture::kAuxGainMap,
                                      fixture::greyQuadrants(32, 24));
            const fixture::Bytes bytes = sample.bytes();
            writeFile(phone,
                      QByteArray(reinterpret_cast<const char*>(bytes.data()), static_cast<qsizetype>(bytes.size())));
        }
        writeFile(plain, gridHeic());
        FreshCacheFolder cache;
        ControllerFixture f;
        auto* allImages = f.control<QCheckBox>("AllImages");
        QVERIFY(!allImages->isChecked());
        allImages->setChecked(true);
        f.restart();
        allImages = f.control<QCheckBox>("AllImages");
        QVERIFY(allImages->isChecked());

        addFiles(f, {phone, plain});
        const QModelIndex phoneName = f.model().index(0, FileTableModel::NameColumn);
        QTRY_VERIFY_WITH_TIMEOUT(phoneName.data(FileTableModel::HoldsMoreRole).toBool(), kTimeout);
        QVERIFY(!phoneName.data(Qt::DecorationRole).value<QIcon>().isNull());
        QCOMPARE(phoneName.data(Qt::ToolTipRole).toString(),
                 phone + QStringLiteral("\n文件中还有：深度图、HDR 增益图"));

        f.click("SaveHEICPath");
        QVERIFY(f.runJob());
        const QModelIndex plainName = f.model().index(1, FileTableModel::NameColumn);
        QVERIFY(!plainName.data(FileTableModel::HoldsMoreRole).toBool());
        QCOMPARE(plainName.data(Qt::ToolTipRole).toString(), plain);
        const QString stem = QFileInfo(outputOf(f, 0)).completeBaseName();
        QVERIFY(QFileInfo::exists(dir.filePath(stem + "_depth.JPG")));
        QVERIFY(QFileInfo::exists(dir.filePath(stem + "_gainmap.JPG")));
        QCOMPARE(imageFileSize(dir.filePath(stem + "_depth.JPG")), QSize(32, 24));
        QCOMPARE(QDir(dir.path()).entryList({"plain_*"}).size(), 1);

        allImages->setChecked(false);
        QVERIFY(f.runJob());
        const QString second = QFileInfo(outputOf(f, 0)).completeBaseName();
        QVERIFY(second != stem);
        QVERIFY(!QFileInfo::exists(dir.filePath(second + "_depth.JPG")));
    }

    // With several workers, every row being converted shows it, and rows
    // end in the order they are done, not in list order.
    void severalWorkersShowEveryRowBeingConverted()
    {
        QTemporaryDir dir;
        QStringList files;
        for (const char* name : {"a.heic", "b.heic", "c.heic"}) {
            files << dir.filePath(name);
            writeFile(files.back(), gridHeic());
        }
        struct Steps
        {
            std::mutex mutex;
            std::condition_variable changed;
            int step = 0;
            unsigned workers = 0;
            void waitFor(int wanted)
            {
                std::unique_lock lock(mutex);
                changed.wait(lock, [&] { return step >= wanted; });
            }
            void go(int next)
            {
                const std::lock_guard lock(mutex);
                step = next;
                changed.notify_all();
            }
        };
        auto steps = std::make_shared<Steps>();
        // Two workers take rows 0 and 1; row 1 ends first, a worker takes
        // row 2; then row 0 fails and row 2 is converted.
        ambrel::app::JobFunction job = [steps](const ambrel::convert::JobDescription& description,
                                               ambrel::convert::JobListener& listener, const std::atomic<bool>&) {
            {
                const std::lock_guard lock(steps->mutex);
                steps->workers = description.options.workers;
            }
            listener.rowStarted(0);
            listener.rowStarted(1);
            steps->waitFor(1);
            listener.rowConverted(1, "/out/b.JPG");
            listener.rowStarted(2);
            steps->waitFor(2);
            listener.rowFailed(0, "文件转换失败", "not a HEIF file");
            listener.rowConverted(2, "/out/c.JPG");
            listener.jobFinished(2);
            return ambrel::convert::JobSummary{};
        };
        struct GoOnAtEnd
        {
            Steps& steps;
            ~GoOnAtEnd() { steps.go(2); }
        } goOnAtEnd{*steps};
        FreshCacheFolder cache;
        FakeDialogs dialogs;
        FakeDesktop desktop;
        ambrel::app::PreviewWindow preview;
        ambrel::app::UserInfo userInfo(ambrel::app::userCacheFolder());
        QTemporaryDir jobCache;
        ambrel::app::ViewController view(
            ambrel::app::ControllerServices{dialogs, desktop, preview, userInfo, job, jobCache.path(), nullptr, 3});
        dialogs.panelAnswers.push_back(files);
        view.AddHeicFileBtEvent();
        view.SaveHEICPathBTEvent();
        QSignalSpy ended(&view, &ambrel::app::ViewController::jobEnded);
        const auto state = [&](int row) {
            return static_cast<RowState>(
                view.model().index(row, FileTableModel::StateColumn).data(FileTableModel::RowStateRole).toInt());
        };
        auto* bar = view.findChild<QProgressBar*>(QStringLiteral("ProgressBar"));

        view.AmbrelBtEvent();
        QTRY_COMPARE_WITH_TIMEOUT(state(1), RowState::Converting, kTimeout);
        QCOMPARE(state(0), RowState::Converting);
        QCOMPARE(state(2), RowState::NotConverted);
        QCOMPARE(bar->value(), 0);
        {
            const std::lock_guard lock(steps->mutex);
            QCOMPARE(steps->workers, 3u);
        }

        steps->go(1);
        QTRY_COMPARE_WITH_TIMEOUT(state(2), RowState::Converting, kTimeout);
        QCOMPARE(state(1), RowState::Converted);
        QCOMPARE(state(0), RowState::Converting);
        QCOMPARE(bar->value(), 1);

        steps->go(2);
        QTRY_COMPARE_WITH_TIMEOUT(ended.count(), 1, kTimeout);
        QCOMPARE(state(0), RowState::Failed);
        QCOMPARE(state(1), RowState::Converted);
        QCOMPARE(state(2), RowState::Converted);
        QVERIFY(view.model().convertingRows().empty());
    }

    void jobReportsEveryRowAndTheCount()
    {
        QTemporaryDir dir;
        const QString first = dir.filePath("A/first.heic");
        const QString junk = dir.filePath("junk.heic");
        const QString gone = dir.filePath("gone.heic");
        const QString empty = dir.filePath("empty.heic");
        const QString second = dir.filePath("B/second.HEIC");
        writeFile(first, gridHeic());
        writeFile(junk, "not a HEIF file at all");
        writeFile(gone, gridHeic());
        writeFile(empty, {});
        writeFile(second, gridHeic());

        FreshCacheFolder cache;
        ControllerFixture f;
        addFiles(f, {first, junk, gone, empty, second});
        QCOMPARE(f.model().count(), 5);
        QFile::remove(gone);
        f.click("SaveHEICPath");

        f.gate.holdBeforeReportOf(0);
        f.click("AmbrelBt");
        auto* start = f.control<QPushButton>("AmbrelBt");
        QCOMPARE(start->text(), QStringLiteral("停 止"));
        QCOMPARE(ambrel::app::buttonImageName(start), QStringLiteral("StopBt"));
        QCOMPARE(ambrel::app::textColor(start), QColor(Qt::white));
        QVERIFY(!f.view().isStopTo());
        QTRY_VERIFY_WITH_TIMEOUT(f.gate.isHolding(), kTimeout);

        // The row being converted says so, in its own colour, and the
        // window counts the rows done. The start of the row reaches the
        // window through its event loop, which may not have run yet.
        QTRY_COMPARE_WITH_TIMEOUT(stateOf(f, 0), RowState::Converting, kTimeout);
        QCOMPARE(stateText(f, 0), QStringLiteral("转换中..."));
        QCOMPARE(stateImage(f, 0), QString());
        QCOMPARE(stateOf(f, 1), RowState::NotConverted);
        auto* bar = f.control<QProgressBar>("ProgressBar");
        auto* progress = f.control<QLabel>("ProgressText");
        QVERIFY(bar->isVisible());
        QCOMPARE(bar->maximum(), 5);
        QCOMPARE(bar->value(), 0);
        QVERIFY2(progress->text().startsWith(QStringLiteral("0 / 5 · 已用 0:")), qPrintable(progress->text()));
        QVERIFY(!progress->text().contains(QStringLiteral("剩余")));
        const QImage cells = f.view().tableView()->viewport()->grab().toImage();
        const QRect stateCell = f.view().tableView()->visualRect(f.model().index(0, FileTableModel::StateColumn));
        bool mainColour = false;
        for (int y = stateCell.top(); y <= stateCell.bottom() && !mainColour; ++y) {
            for (int x = stateCell.left(); x <= stateCell.right() && !mainColour; ++x) {
                const QColor pixel = cells.pixelColor(x, y);
                mainColour =
                    std::abs(pixel.red() - 110) + std::abs(pixel.green() - 57) + std::abs(pixel.blue() - 192) < 40;
            }
        }
        QVERIFY(mainColour);

        for (const char* name : kJobLocked) {
            QVERIFY2(!f.control<QWidget>(name)->isEnabled(), name);
        }
        for (const char* name : kJobFree) {
            QVERIFY2(f.control<QWidget>(name)->isEnabled(), name);
        }
        // The list stays as the job took it.
        f.clickRowButton(4, false);
        QCOMPARE(f.dialogs.alerts.back().alert.informativeText, QStringLiteral("文件正在转换中，无法删除！"));
        f.click("RemoveAllBt");
        QCOMPARE(f.dialogs.alerts.size(), std::size_t(2));
        QCOMPARE(f.dialogs.alerts.back().alert.informativeText, QStringLiteral("文件正在转换中，无法删除！"));
        auto data = std::make_unique<QMimeData>();
        data->setUrls({QUrl::fromLocalFile(dir.filePath("late.heic"))});
        QDropEvent drop(QPointF(10, 10), Qt::LinkAction, data.get(), Qt::LeftButton, {});
        QApplication::sendEvent(f.control<ambrel::app::DragDropView>("DropView"), &drop);
        QCOMPARE(f.model().count(), 5);

        f.gate.holdBeforeReportOf(1);
        f.gate.release();
        QTRY_COMPARE_WITH_TIMEOUT(stateOf(f, 1), RowState::Converting, kTimeout);
        QCOMPARE(stateOf(f, 0), RowState::Converted);
        QCOMPARE(bar->value(), 1);
        QVERIFY2(progress->text().startsWith(QStringLiteral("1 / 5 · 已用 ")) &&
                     progress->text().contains(QStringLiteral(" · 剩余约 ")),
                 qPrintable(progress->text()));
        QTRY_VERIFY_WITH_TIMEOUT(f.gate.isHolding(), kTimeout);

        f.gate.release();
        QVERIFY(f.waitForJobEnd());
        QVERIFY(!bar->isVisible());
        QVERIFY(!progress->isVisible());

        QCOMPARE(stateOf(f, 0), RowState::Converted);
        QCOMPARE(stateImage(f, 0), QStringLiteral("ToComplete"));
        QVERIFY(previewShown(f, 0));
        QCOMPARE(stateText(f, 1), QStringLiteral("文件转换失败"));
        QCOMPARE(stateText(f, 2), QStringLiteral("路径下找不到文件"));
        QCOMPARE(stateText(f, 3), QStringLiteral("文件转换失败"));
        // The row text stays; its tooltip says why.
        QCOMPARE(stateToolTip(f, 1), QStringLiteral("不是 HEIF 文件"));
        QCOMPARE(stateToolTip(f, 2), QStringLiteral("无法打开文件：没有那个文件或目录"));
        QCOMPARE(stateToolTip(f, 3), QStringLiteral("文件是空的"));
        QCOMPARE(stateToolTip(f, 0), QString());
        for (int row : {1, 2, 3}) {
            QCOMPARE(stateOf(f, row), RowState::Failed);
            QCOMPARE(stateImage(f, row), QString());
            QVERIFY(!previewShown(f, row));
        }
        QCOMPARE(stateOf(f, 4), RowState::Converted);

        // Beside each source, one timestamp for the whole job.
        const QRegularExpression name(QStringLiteral("^(.*)/(\\w+)_([1-9][0-9]*000)\\.JPG$"));
        const auto match0 = name.match(outputOf(f, 0));
        const auto match4 = name.match(outputOf(f, 4));
        QVERIFY2(match0.hasMatch(), qPrintable(outputOf(f, 0)));
        QVERIFY2(match4.hasMatch(), qPrintable(outputOf(f, 4)));
        QCOMPARE(match0.captured(1), dir.filePath("A"));
        QCOMPARE(match0.captured(2), QStringLiteral("first"));
        QCOMPARE(match4.captured(1), dir.filePath("B"));
        QCOMPARE(match4.captured(2), QStringLiteral("second"));
        QCOMPARE(match0.captured(3), match4.captured(3));
        QCOMPARE(imageFileSize(outputOf(f, 0)), QSize(192, 128));
        QCOMPARE(imageFileSize(outputOf(f, 4)), QSize(192, 128));

        // The summary counts the failures too, under a warning icon.
        QCOMPARE(lastSummary(f), QStringLiteral("已转换 2 张图片\n3 个文件转换失败，原因见该行的提示。"));
        QVERIFY(f.dialogs.alerts.back().alert.warning);
        QCOMPARE(f.dialogs.alerts.back().alert.messageText, QStringLiteral("转换完成"));
        QCOMPARE(f.dialogs.alerts.back().alert.buttons, (QStringList{"确定", "打开文件夹"}));
        QCOMPARE(start->text(), QStringLiteral("转  换"));
        QCOMPARE(ambrel::app::buttonImageName(start), QStringLiteral("ToBt"));
        QVERIFY(f.view().isStopTo());
        QVERIFY(!f.view().workerBusy());
        for (const char* name : kJobLocked) {
            // The folder button belongs to the save-to-folder mode, which is off.
            const bool enabled = std::string_view(name) != "SelectPathBt";
            QVERIFY2(f.control<QWidget>(name)->isEnabled() == enabled, name);
        }
        QVERIFY(!f.control<QLineEdit>("ShowPath")->isEnabled());
    }

    void summaryWithoutFailuresIsInformational()
    {
        QTemporaryDir dir;
        const QString source = dir.filePath("photo.heic");
        writeFile(source, gridHeic());
        FreshCacheFolder cache;
        ControllerFixture f;
        addFiles(f, {source});
        f.click("SaveHEICPath");
        QVERIFY(f.runJob());
        QCOMPARE(lastSummary(f), QStringLiteral("恭喜您，已经成功转换 1 张图片"));
        QVERIFY(!f.dialogs.alerts.back().alert.warning);
    }

    void unusableOutputFolderIsReportedBeforeDecoding_data()
    {
        QTest::addColumn<QString>("folder");
        QTest::newRow("inside a file") << QStringLiteral("file/sub");
        QTest::newRow("a file") << QStringLiteral("file");
        QTest::newRow("read-only folder") << QStringLiteral("locked/out");
        QTest::newRow("empty text") << QString();
    }

    void unusableOutputFolderIsReportedBeforeDecoding()
    {
        QFETCH(QString, folder);
        QTemporaryDir dir;
        const QString source = dir.filePath("photo.heic");
        writeFile(source, gridHeic());
        writeFile(dir.filePath("file"), "x");
        QDir().mkpath(dir.filePath("locked"));
        QFile::setPermissions(dir.filePath("locked"), QFile::ReadOwner | QFile::ExeOwner);
        if (folder == QStringLiteral("locked/out") && QFileInfo(dir.filePath("locked")).isWritable()) {
            QSKIP("running with rights that write into read-only folders");
        }
        FreshCacheFolder cache;
        ControllerFixture f;
        addFiles(f, {source});
        f.click("SaveCustomPath");
        const QString path = folder.isEmpty() ? QString() : dir.filePath(folder);
        f.control<QLineEdit>("ShowPath")->setText(path);

        f.click("AmbrelBt");
        QCOMPARE(f.dialogs.alerts.size(), std::size_t(1));
        QVERIFY(!f.dialogs.alerts.back().sheet);
        QVERIFY(f.dialogs.alerts.back().alert.warning);
        QCOMPARE(f.dialogs.alerts.back().alert.informativeText,
                 QStringLiteral("无法保存到文件夹“%1”，请选择其他文件夹。").arg(path));
        QCOMPARE(f.gate.jobCount(), 0);
        QVERIFY(f.view().isStopTo());
        QCOMPARE(f.control<QPushButton>("AmbrelBt")->text(), QStringLiteral("转  换"));
        QCOMPARE(stateOf(f, 0), RowState::NotConverted);
        QFile::setPermissions(dir.filePath("locked"), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }

    void taskbarEntryShowsTheProgress()
    {
        PrivateBus bus;
        if (bus.address.isEmpty()) {
            QSKIP("no dbus-daemon to carry the launcher entry's signals");
        }
        QTemporaryDir dir;
        const QString first = dir.filePath("first.heic");
        const QString second = dir.filePath("second.heic");
        writeFile(first, gridHeic());
        writeFile(second, gridHeic());
        FreshCacheFolder cache;
        FakeDialogs dialogs;
        FakeDesktop desktop;
        ambrel::app::PreviewWindow preview;
        ambrel::app::UserInfo userInfo(ambrel::app::userCacheFolder());
        JobGate gate;
        QTemporaryDir jobCache;
        ambrel::app::TaskbarProgress taskbar(QStringLiteral("ambrel"), bus.sender());
        ambrel::app::ViewController view(ambrel::app::ControllerServices{
            dialogs, desktop, preview, userInfo, gate.function(), jobCache.path(), &taskbar, 1});
        dialogs.panelAnswers.push_back({first, second});
        view.AddHeicFileBtEvent();
        view.SaveHEICPathBTEvent();
        gate.holdBeforeReportOf(1);
        QSignalSpy ended(&view, &ambrel::app::ViewController::jobEnded);
        struct OpenGateAtEnd
        {
            JobGate& gate;
            ~OpenGateAtEnd() { gate.openForever(); }
        } openAtEnd{gate};
        view.AmbrelBtEvent();
        QTRY_VERIFY_WITH_TIMEOUT(gate.isHolding(), kTimeout);
        QTRY_VERIFY2_WITH_TIMEOUT(bus.updates.contains(QStringLiteral("application://ambrel.desktop 0.5 true")),
                                  qPrintable(bus.updates.join('|')), kTimeout);
        QCOMPARE(bus.updates.first(), QStringLiteral("application://ambrel.desktop 0 true"));
        QCOMPARE(bus.updates.count(QStringLiteral("application://ambrel.desktop 0.5 true")), 1);  // sent once
        gate.release();
        QTRY_COMPARE_WITH_TIMEOUT(ended.count(), 1, kTimeout);
        QTRY_COMPARE_WITH_TIMEOUT(bus.updates.last(), QStringLiteral("application://ambrel.desktop 0 false"), kTimeout);
    }

    void closingDuringAJobAsksAndWaitsForTheWorker()
    {
        QTemporaryDir dir;
        const QString first = dir.filePath("first.heic");
        const QString second = dir.filePath("second.heic");
        writeFile(first, gridHeic());
        writeFile(second, gridHeic());
        FreshCacheFolder cache;
        FakeDialogs dialogs;
        FakeDesktop desktop;
        ambrel::app::PreviewWindow preview;
        ambrel::app::UserInfo userInfo(ambrel::app::userCacheFolder());
        JobGate gate;
        QTemporaryDir jobCache;
        auto* view = new ambrel::app::ViewController(ambrel::app::ControllerServices{
            dialogs, desktop, preview, userInfo, gate.function(), jobCache.path(), nullptr, 1});
        ambrel::app::MainWindow window(view);
        QSignalSpy closed(&window, &ambrel::app::MainWindow::closed);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        dialogs.panelAnswers.push_back({first, second});
        view->AddHeicFileBtEvent();
        view->SaveHEICPathBTEvent();
        gate.holdBeforeReportOf(0);
        view->AmbrelBtEvent();
        QTRY_VERIFY_WITH_TIMEOUT(gate.isHolding(), kTimeout);

        // "Keep converting": the window and the job go on.
        dialogs.alertAnswers.push_back(1);
        QVERIFY(!window.close());
        QVERIFY(window.isVisible());
        QCOMPARE(closed.count(), 0);
        QCOMPARE(dialogs.alerts.size(), std::size_t(1));
        QCOMPARE(dialogs.alerts.back().alert.informativeText, QStringLiteral("文件正在转换中。是否停止转换并退出？"));
        QCOMPARE(dialogs.alerts.back().alert.buttons, (QStringList{"停止并退出", "继续转换"}));
        QVERIFY(!view->isStopTo());

        // "Stop": the window stays until the worker has ended, then closes
        // without a summary.
        dialogs.alertAnswers.push_back(0);
        QVERIFY(!window.close());
        QVERIFY(window.isVisible());
        QVERIFY(view->isStopTo());
        QVERIFY(view->workerBusy());
        QVERIFY(!window.close());  // asked again meanwhile: no second question
        QCOMPARE(dialogs.alerts.size(), std::size_t(2));
        gate.release();
        QTRY_COMPARE_WITH_TIMEOUT(closed.count(), 1, kTimeout);
        QVERIFY(!window.isVisible());
        QVERIFY(!view->workerBusy());
        QCOMPARE(dialogs.alerts.size(), std::size_t(2));
        QCOMPARE(view->model().record(1).toPath, std::string());
    }

    // The job ends while the close question is open: "keep converting"
    // keeps the window, and the summary comes once the question is answered.
    void jobEndingDuringTheCloseQuestionKeepsTheWindow()
    {
        QTemporaryDir dir;
        writeFile(dir.filePath("one.heic"), gridHeic());
        FreshCacheFolder cache;
        ControllerFixture f;
        addFiles(f, {dir.filePath("one.heic")});
        f.click("SaveHEICPath");
        f.gate.holdBeforeReportOf(0);
        f.click("AmbrelBt");
        QTRY_VERIFY_WITH_TIMEOUT(f.gate.isHolding(), kTimeout);
        QSignalSpy ended(&f.view(), &ambrel::app::ViewController::jobEnded);
        f.dialogs.whileAsking = [&] {
            f.gate.release();
            QVERIFY(ended.wait(kTimeout));
        };
        f.dialogs.alertAnswers.push_back(1);
        QVERIFY(!f.view().windowShouldClose());
        QCOMPARE(ended.count(), 1);
        QCOMPARE(f.dialogs.alerts.size(), std::size_t(2));
        QCOMPARE(f.dialogs.alerts.back().alert.messageText, QStringLiteral("转换完成"));
        QVERIFY(f.view().windowShouldClose());  // nothing runs now
    }

    // Beside the sources, "Open Folder" opens the selected (or first) row's
    // folder; when nothing can be opened the user is told.
    void openFolderOpensWhereTheOutputsAre()
    {
        QTemporaryDir dir;
        const QString folder = dir.filePath("a");
        writeFile(folder + "/one.heic", gridHeic());
        FreshCacheFolder cache;
        ControllerFixture f;
        f.click("SaveHEICPath");
        f.click("OpenPathBt");
        QVERIFY(f.desktop.opened.empty());
        QCOMPARE(f.dialogs.alerts.back().alert.informativeText, QStringLiteral("保存到原文件夹时，请先添加文件。"));
        addFiles(f, {folder + "/one.heic"});
        f.click("OpenPathBt");
        QCOMPARE(f.desktop.opened.back(), QUrl::fromLocalFile(folder));
        f.desktop.opens = false;
        f.click("OpenPathBt");
        QCOMPARE(f.dialogs.alerts.back().alert.informativeText, QStringLiteral("无法打开文件夹“%1”。").arg(folder));
    }

    // Names keep everything before the last dot; original names, a typed
    // suffix, and a second run that skips what exists.
    void namesAndSecondRuns()
    {
        QTemporaryDir dir;
        const QStringList sources{dir.filePath("2024.07.01 beach.heic"), dir.filePath("2024.07.02 beach.heic")};
        for (const QString& source : sources) {
            writeFile(source, gridHeic());
        }
        FreshCacheFolder cache;
        ControllerFixture f;
        addFiles(f, sources);
        f.dialogs.folderAnswers.push_back(dir.filePath("out"));
        f.click("SelectPathBt");
        QVERIFY(f.runJob());
        QVERIFY(QFileInfo(outputOf(f, 1)).fileName().startsWith(QStringLiteral("2024.07.02 beach_")));
        f.control<QComboBox>("NameChoice")->setCurrentIndex(1);
        f.control<QComboBox>("ExistingChoice")->setCurrentIndex(1);
        QVERIFY(f.runJob());
        QCOMPARE(QFileInfo(outputOf(f, 0)).fileName(), QStringLiteral("2024.07.01 beach.JPG"));
        QVERIFY(f.runJob());
        QCOMPARE(stateOf(f, 0), RowState::Skipped);
        QCOMPARE(lastSummary(f), QStringLiteral("已转换 0 张图片\n2 张图片的输出文件已存在，已跳过"));
        QCOMPARE(fileNames(dir.filePath("out")).size(), 4);
        f.control<QComboBox>("NameChoice")->setCurrentIndex(2);
        f.control<QLineEdit>("NameSuffix")->setText(QStringLiteral("_web/"));
        QVERIFY(f.runJob());
        QCOMPARE(QFileInfo(outputOf(f, 1)).fileName(), QStringLiteral("2024.07.02 beach_web.JPG"));
    }

    // A file that is there but cannot be opened says why in its row.
    void unreadableFileSaysWhy()
    {
        FileTableModel model;
        model.append(ambrel::convert::makeRecord("/x/locked.heic"));
        model.setFailed(0, QString::fromUtf8(ambrel::convert::kTextNotFound),
                        QStringLiteral("cannot open the file: Permission denied"));
        QCOMPARE(model.index(0, FileTableModel::StateColumn).data().toString(),
                 QStringLiteral("无法打开文件：权限不够"));
        QCOMPARE(ambrel::app::sizeText(384), QStringLiteral("384 字节"));
    }

    void optionsReachTheFiles()
    {
        QTemporaryDir dir;
        const QString source = dir.filePath("photo.heic");
        writeFile(source, rotatedHeic());
        const QString folder = dir.filePath("out/nested/deeper");

        FreshCacheFolder cache;
        ControllerFixture f;
        addFiles(f, {source});
        f.dialogs.folderAnswers.push_back(folder);
        f.click("SelectPathBt");

        // Exif kept: the container's rotation is not applied.
        QVERIFY(f.runJob());
        const QString kept = outputOf(f, 0);
        QCOMPARE(QFileInfo(kept).absolutePath(), folder);
        QCOMPARE(storedImageSize(kept), QSize(128, 64));
        QCOMPARE(imageFileSize(kept), QSize(64, 128));
        QVERIFY(hasExifSegment(readFile(kept)));

        // Exif dropped: the rotation is applied.
        f.control<QCheckBox>("Exif")->setChecked(false);
        QVERIFY(f.runJob());
        const QString rotated = outputOf(f, 0);
        QVERIFY(rotated != kept);
        QCOMPARE(storedImageSize(rotated), QSize(64, 128));
        QVERIFY(!hasExifSegment(readFile(rotated)));

        // Half the size at the lowest quality.
        f.control<QComboBox>("ImageSize")->setCurrentIndex(4);
        f.control<QComboBox>("ImageQuality")->setCurrentIndex(0);
        QVERIFY(f.runJob());
        const QString small = outputOf(f, 0);
        QCOMPARE(storedImageSize(small), QSize(32, 64));
        QCOMPARE(QFileInfo(small).absolutePath(), folder);
        QCOMPARE(fileNames(folder).size(), 3);

        // 16-bit PNG, at most 50 pixels on the longer side.
        f.control<QComboBox>("OutFormat")->setCurrentIndex(1);
        f.control<QComboBox>("ImageSize")->setCurrentIndex(9);
        f.control<QCheckBox>("Depth16")->setChecked(true);
        f.control<QSpinBox>("MaxSide")->setValue(50);
        QVERIFY(f.runJob());
        const cv::Mat deep = cv::imread(outputOf(f, 0).toStdString(), cv::IMREAD_UNCHANGED);
        QCOMPARE(deep.depth(), CV_16U);
        QCOMPARE(std::max(deep.cols, deep.rows), 50);

        // A regular file where the folder should be, or a folder that cannot
        // be made: said at the start click, before any file is decoded.
        const QString plainFile = dir.filePath("plain.txt");
        writeFile(plainFile, "x");
        const int jobs = f.gate.jobCount();
        for (const QString& unusable : {plainFile, plainFile + "/inside"}) {
            f.control<QLineEdit>("ShowPath")->setText(unusable);
            f.click("AmbrelBt");
            QCOMPARE(f.dialogs.alerts.back().alert.informativeText,
                     QStringLiteral("无法保存到文件夹“%1”，请选择其他文件夹。").arg(unusable));
            QCOMPARE(f.gate.jobCount(), jobs);
            QCOMPARE(stateOf(f, 0), RowState::Converted);
        }
    }

    void photosFromACameraConvert()
    {
        const QString corpus = QStringLiteral(AMBREL_CORPUS_DIR);
        const QStringList photos{corpus + "/zPug_3.heic", corpus + "/L_exif_xmp_iptc.heic"};
        for (const QString& photo : photos) {
            if (!QFile::exists(photo)) {
                QSKIP("the corpus of sample files is not beside the project");
            }
        }
        QTemporaryDir dir;
        FreshCacheFolder cache;
        ControllerFixture f;
        addFiles(f, photos);
        f.dialogs.folderAnswers.push_back(dir.filePath("out"));
        f.click("SelectPathBt");
        f.control<QComboBox>("OutFormat")->setCurrentIndex(1);  // PNG
        QVERIFY(f.runJob());
        QCOMPARE(lastSummary(f), QStringLiteral("恭喜您，已经成功转换 2 张图片"));
        for (int row : {0, 1}) {
            QVERIFY(outputOf(f, row).endsWith(".PNG"));
            QVERIFY(!imageFileSize(outputOf(f, row)).isEmpty());
        }
    }

    void stopWithRowsLeftSaysWhatWasDone()
    {
        QTemporaryDir dir;
        QStringList paths;
        for (const char* name : {"one.heic", "two.heic", "three.heic"}) {
            paths.append(dir.filePath(name));
            writeFile(paths.last(), gridHeic());
        }
        FreshCacheFolder cache;
        ControllerFixture f;
        addFiles(f, paths);
        f.dialogs.folderAnswers.push_back(dir.filePath("out"));
        f.click("SelectPathBt");

        f.gate.holdBeforeReportOf(0);
        f.click("AmbrelBt");
        QTRY_VERIFY_WITH_TIMEOUT(f.gate.isHolding(), kTimeout);
        f.click("AmbrelBt");
        auto* start = f.control<QPushButton>("AmbrelBt");
        QCOMPARE(start->text(), QStringLiteral("停止中..."));
        QCOMPARE(ambrel::app::buttonImageName(start), QStringLiteral("StopBt"));
        QCOMPARE(ambrel::app::textColor(start), QColor(Qt::white));
        QVERIFY(f.view().isStopTo());
        QVERIFY(!f.control<QComboBox>("OutFormat")->isEnabled());

        // The stopped worker has not ended: a start click is ignored.
        f.click("AmbrelBt");
        QCOMPARE(start->text(), QStringLiteral("停止中..."));
        QCOMPARE(f.gate.jobCount(), 1);

        QSignalSpy ended(&f.view(), &ambrel::app::ViewController::jobEnded);
        f.gate.release();
        QVERIFY(ended.wait(kTimeout));
        QCOMPARE(ended.first().at(0).toBool(), false);
        QCOMPARE(stateOf(f, 0), RowState::Converted);
        QCOMPARE(stateOf(f, 1), RowState::NotConverted);
        QCOMPARE(stateOf(f, 2), RowState::NotConverted);
        QCOMPARE(stateImage(f, 2), QStringLiteral("NoTo"));
        // The summary says what was done and what was not.
        QCOMPARE(f.dialogs.alerts.size(), std::size_t(1));
        QCOMPARE(f.dialogs.alerts.back().alert.messageText, QStringLiteral("转换已停止"));
        QCOMPARE(lastSummary(f), QStringLiteral("已转换 1 张图片\n2 张图片未转换"));
        QCOMPARE(start->text(), QStringLiteral("转  换"));
        QCOMPARE(ambrel::app::buttonImageName(start), QStringLiteral("ToBt"));
        QVERIFY(f.control<QComboBox>("OutFormat")->isEnabled());
        QCOMPARE(fileNames(dir.filePath("out")).size(), 1);

        // Now a new job runs.
        QVERIFY(f.runJob());
        QCOMPARE(f.gate.jobCount(), 2);
        QCOMPARE(lastSummary(f), QStringLiteral("恭喜您，已经成功转换 3 张图片"));
    }

    void stopDuringTheLastFileStillSummarises()
    {
        QTemporaryDir dir;
        const QStringList paths{dir.filePath("one.heic"), dir.filePath("two.heic")};
        for (const QString& path : paths) {
            writeFile(path, gridHeic());
        }
        FreshCacheFolder cache;
        ControllerFixture f;
        addFiles(f, paths);
        f.click("SaveHEICPath");

        f.gate.holdBeforeReportOf(1);
        f.click("AmbrelBt");
        QTRY_VERIFY_WITH_TIMEOUT(f.gate.isHolding(), kTimeout);
        f.click("AmbrelBt");
        QCOMPARE(f.control<QPushButton>("AmbrelBt")->text(), QStringLiteral("停止中..."));
        QSignalSpy ended(&f.view(), &ambrel::app::ViewController::jobEnded);
        f.gate.release();
        QVERIFY(ended.wait(kTimeout));
        QCOMPARE(ended.first().at(0).toBool(), true);
        QCOMPARE(stateOf(f, 1), RowState::Converted);
        QCOMPARE(lastSummary(f), QStringLiteral("恭喜您，已经成功转换 2 张图片"));
    }

    void rowsRemovedWhileStoppingKeepTheirReports()
    {
        QTemporaryDir dir;
        QStringList paths;
        for (const char* name : {"first.heic", "second.heic", "third.heic"}) {
            paths.append(dir.filePath(name));
            writeFile(paths.last(), gridHeic());
        }
        FreshCacheFolder cache;
        ControllerFixture f;
        addFiles(f, paths);
        f.click("SaveHEICPath");

        f.gate.holdBeforeReportOf(1);
        f.click("AmbrelBt");
        QTRY_VERIFY_WITH_TIMEOUT(f.gate.isHolding(), kTimeout);
        f.click("AmbrelBt");  // stopping: the list may change again
        f.clickRowButton(0, false);
        QCOMPARE(f.model().count(), 2);
        QVERIFY(f.dialogs.alerts.empty());

        f.gate.release();
        QVERIFY(f.waitForJobEnd());
        // The report of the second file lands on its own row, now the first.
        QCOMPARE(stateOf(f, 0), RowState::Converted);
        QVERIFY2(QFileInfo(outputOf(f, 0)).fileName().startsWith("second_"), qPrintable(outputOf(f, 0)));
        QCOMPARE(stateOf(f, 1), RowState::NotConverted);
    }

    void secondJobClearsThePreviousOutcome()
    {
        QTemporaryDir dir;
        const QString good = dir.filePath("good.heic");
        const QString bad = dir.filePath("bad.heic");
        writeFile(good, gridHeic());
        writeFile(bad, "broken");
        FreshCacheFolder cache;
        ControllerFixture f;
        addFiles(f, {good, bad});
        f.click("SaveHEICPath");
        QVERIFY(f.runJob());
        QCOMPARE(stateOf(f, 0), RowState::Converted);
        QCOMPARE(stateOf(f, 1), RowState::Failed);

        f.gate.holdBeforeReportOf(0);
        f.click("AmbrelBt");
        // Before the worker has reported anything, every row is fresh again;
        // the first is the one being converted.
        QCOMPARE(stateOf(f, 1), RowState::NotConverted);
        QTRY_COMPARE_WITH_TIMEOUT(stateOf(f, 0), RowState::Converting, kTimeout);
        QCOMPARE(stateText(f, 0), QStringLiteral("转换中..."));
        QCOMPARE(stateOf(f, 1), RowState::NotConverted);
        QCOMPARE(stateImage(f, 1), QStringLiteral("NoTo"));
        QCOMPARE(stateText(f, 1), QString());
        for (int row : {0, 1}) {
            QVERIFY(f.model().record(row).toPath.empty());
            QVERIFY(f.model().record(row).toErrInfo.empty());
            QVERIFY(!previewShown(f, row));
        }
        QTRY_VERIFY_WITH_TIMEOUT(f.gate.isHolding(), kTimeout);
        QCOMPARE(stateOf(f, 0), RowState::Converting);
        f.gate.release();
        QVERIFY(f.waitForJobEnd());
        QCOMPARE(stateOf(f, 0), RowState::Converted);
        QVERIFY(previewShown(f, 0));
        QCOMPARE(stateText(f, 1), QStringLiteral("文件转换失败"));
    }
};

APPTEST_SUITE("Job", JobTest);

#include "job_test.moc"

using namespace ambrel::convert;
using namespace ambrel::app;
