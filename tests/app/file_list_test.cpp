// The file list: adding by the panel (files and folders), by dropping and by
// the command line; duplicates; removing one row or all of them.
#include <QtCore/QMimeData>
#include <QtGui/QDragEnterEvent>
#include <QtWidgets/QApplication>
#include <QtWidgets/QCheckBox>
#include <QtWidgets/QLabel>
#include <QtWidgets/QPushButton>
#include <QtWidgets/QTableView>

#include "app/drag_drop_view.h"
#include "tests/app/app_test_support.h"
#include "tests/fixtures/heif_samples.h"

using namespace apptest;

namespace {

QStringList listedPaths(ambrel::app::FileTableModel& model)
{
    QStringList paths;
    for (int row = 0; row < model.count(); ++row) {
        paths.append(QString::fromStdString(model.record(row).heicPath));
    }
    return paths;
}

QMimeData* urlData(const QStringList& paths)
{
    auto* data = new QMimeData;
    QList<QUrl> urls;
    for (const QString& path : paths) {
        urls.append(QUrl::fromLocalFile(path));
    }
    data->setUrls(urls);
    return data;
}

// Drags the data onto the view and drops it; whether the drag was accepted.
bool dropOn(QWidget* view, QMimeData* data)
{
    const QPoint where(view->width() / 2, view->height() / 2);
    QDragEnterEvent enter(where, Qt::CopyAction | Qt::LinkAction, data, Qt::LeftButton, {});
    QApplication::sendEvent(view, &enter);
    if (!enter.isAccepted()) {
        return false;
    }
    if (enter.dropAction() != Qt::LinkAction) {
        qWarning("a drag of file names should be taken as a link");
        return false;
    }
    QDropEvent drop(QPointF(where), Qt::CopyAction | Qt::LinkAction, data, Qt::LeftButton, {});
    QApplication::sendEvent(view, &drop);
    return drop.isAccepted();
}

}  // namespace

class FileListTest : public QObject
{
    Q_OBJECT

private slots:
    void panelAddsFilesAndFolderEntries()
    {
        QTemporaryDir dir;
        const QString folder = dir.filePath("trip");
        writeFile(folder + "/a.heic", QByteArray(1001, 'x'));
        writeFile(folder + "/B.HEIC", QByteArray(10, 'x'));
        writeFile(folder + "/c.jpg", "x");
        writeFile(folder + "/heic", "x");
        writeFile(folder + "/inner/d.heic", "x");
        writeFile(folder + "/e10.hif", "x");
        writeFile(folder + "/e9.HEIF", "x");
        writeFile(folder + "/f.avif", "x");
        const QString single = dir.filePath("x.HeIc");
        writeFile(single, "x");

        FreshCacheFolder cache;
        LogCapture log;
        ControllerFixture f;
        f.dialogs.panelAnswers.push_back({single, folder, dir.filePath("missing.heic"), folder + "/a.heic"});
        f.click("AddHeicFileBt");
        QCOMPARE(f.dialogs.panelAnchors, QStringList{"AddHeicFileBt"});

        // Every HEIF name, in natural order.
        QCOMPARE(listedPaths(f.model()), (QStringList{single, folder + "/B.HEIC", folder + "/a.heic",
                                                      folder + "/e9.HEIF", folder + "/e10.hif", folder + "/f.avif"}));
        QVERIFY(log.contains(QStringLiteral("找到重复：%1").arg(folder + "/a.heic")));
        QCOMPARE(f.model().index(2, ambrel::app::FileTableModel::SizeColumn).data().toString(),
                 QStringLiteral("1.0 KB"));
        QCOMPARE(f.model().index(1, ambrel::app::FileTableModel::SizeColumn).data().toString(),
                 QStringLiteral("10 字节"));
        QVERIFY(!f.control<QPushButton>("AddHeicFileBt")->isVisible());
        QVERIFY(f.control<QPushButton>("RemoveAllBt")->isVisible());
        QVERIFY(f.view().tableView()->alternatingRowColors());

        // The second add button; a cancelled panel changes nothing.
        f.click("AddFileBt");
        QCOMPARE(f.dialogs.panelAnchors.last(), QStringLiteral("AddFileBt"));
        QCOMPARE(f.model().count(), 6);
    }

    void droppedFilesAndFoldersGiveTheirHeifFiles()
    {
        QTemporaryDir dir;
        const QString photo = dir.filePath("photo.heic");
        writeFile(photo, "x");
        writeFile(dir.filePath("photo.heic.jpg"), "x");
        QDir().mkpath(dir.filePath("album.HEIC"));
        writeFile(dir.filePath("pictures/inside.heic"), "x");
        writeFile(dir.filePath("pictures/f.heif"), "x");
        writeFile(dir.filePath("pictures/deeper/e.HIF"), "x");
        writeFile(dir.filePath("pictures/notes.txt"), "x");
        const QString camera = dir.filePath("DSC_0001.HIF");
        writeFile(camera, "x");

        FreshCacheFolder cache;
        LogCapture log;
        ControllerFixture f;
        auto* drop = f.control<ambrel::app::DragDropView>("DropView");

        QMimeData text;
        text.setText(QStringLiteral("not files"));
        QDragEnterEvent refused(QPoint(5, 5), Qt::CopyAction | Qt::LinkAction, &text, Qt::LeftButton, {});
        QApplication::sendEvent(drop, &refused);
        QVERIFY(!refused.isAccepted());

        // Dropped on the table, taken by the drop view around it.
        std::unique_ptr<QMimeData> data(urlData({photo, photo, dir.filePath("photo.heic.jpg"), camera,
                                                 dir.filePath("album.HEIC"), dir.filePath("pictures")}));
        QVERIFY(dropOn(f.view().tableView()->viewport(), data.get()));
        // A folder is opened, whatever its name, and gives its HEIF files;
        // it is never listed itself. Its subfolders are counted...
        QCOMPARE(listedPaths(f.model()),
                 (QStringList{photo, camera, dir.filePath("pictures/f.heif"), dir.filePath("pictures/inside.heic")}));
        QVERIFY(f.view().statusText()->text().contains(QStringLiteral("1 个子文件夹未添加")));
        // ...and searched when asked.
        f.control<QCheckBox>("Subfolders")->setChecked(true);
        std::unique_ptr<QMimeData> deeper(urlData({dir.filePath("pictures")}));
        QVERIFY(dropOn(drop, deeper.get()));
        QCOMPARE(listedPaths(f.model()).last(), dir.filePath("pictures/deeper/e.HIF"));
        QCOMPARE(f.model().record(4).outputSubfolder, std::string("deeper"));
        QVERIFY(log.contains(QStringLiteral("找到重复：%1").arg(photo)));
        QVERIFY(f.control<QPushButton>("RemoveAllBt")->isVisible());

        std::unique_ptr<QMimeData> again(urlData({photo, dir.filePath("pictures")}));
        QVERIFY(dropOn(drop, again.get()));
        QCOMPARE(f.model().count(), 5);
    }

    // A file that stores a thumbnail shows it before its name.
    void storedThumbnailIsShown()
    {
        fixture::GridOptions options;
        options.thumbnail = fixture::ThumbnailOptions{};
        const fixture::Bytes bytes = fixture::makeGridHeic(options).bytes();
        QTemporaryDir dir;
        writeFile(dir.filePath("thumb.heic"),
                  QByteArray(reinterpret_cast<const char*>(bytes.data()), static_cast<qsizetype>(bytes.size())));
        FreshCacheFolder cache;
        ControllerFixture f;
        f.dialogs.panelAnswers.push_back({dir.filePath("thumb.heic")});
        f.view().AddHeicFileBtEvent();
        const QModelIndex name = f.model().index(0, ambrel::app::FileTableModel::NameColumn);
        QTRY_VERIFY_WITH_TIMEOUT(!name.data(Qt::DecorationRole).value<QPixmap>().isNull(), 60000);
        const QColor middle = name.data(Qt::DecorationRole).value<QPixmap>().toImage().pixelColor(20, 20);
        QVERIFY2(middle.red() > 150 && middle.blue() < 100, qPrintable(middle.name()));
    }

    void commandLineFilesAreTakenWhateverTheirName()
    {
        QTemporaryDir dir;
        writeFile(dir.filePath("shot.heif"), "x");
        writeFile(dir.filePath("set/one.heic"), "x");
        writeFile(dir.filePath("set/two.png"), "x");

        FreshCacheFolder cache;
        ControllerFixture f;
        const QString previous = QDir::currentPath();
        QDir::setCurrent(dir.path());
        f.view().addGivenPaths({"shot.heif", dir.filePath("set"), dir.filePath("none.heic")});
        QDir::setCurrent(previous);
        QCOMPARE(listedPaths(f.model()), (QStringList{dir.filePath("shot.heif"), dir.filePath("set/one.heic")}));
    }

    void removingOneRowAndAllRows()
    {
        QTemporaryDir dir;
        QStringList paths;
        for (const char* name : {"one.heic", "two.heic", "three.heic"}) {
            paths.append(dir.filePath(name));
            writeFile(paths.last(), "x");
        }
        FreshCacheFolder cache;
        ControllerFixture f;
        f.dialogs.panelAnswers.push_back(paths);
        f.click("AddHeicFileBt");
        QCOMPARE(f.model().count(), 3);

        f.clickRowButton(1, false);
        QCOMPARE(listedPaths(f.model()), (QStringList{paths[0], paths[2]}));
        QVERIFY(f.dialogs.alerts.empty());

        f.dialogs.alertAnswers = {1};  // "取消"
        f.click("RemoveAllBt");
        QCOMPARE(f.dialogs.alerts.size(), std::size_t(1));
        const ambrel::app::Alert& question = f.dialogs.alerts.back().alert;
        QCOMPARE(question.messageText, QStringLiteral("清空列表"));
        QCOMPARE(question.informativeText, QStringLiteral("是否立即清空列表？"));
        QCOMPARE(question.buttons, (QStringList{"立即清空", "取消"}));
        QVERIFY(!f.dialogs.alerts.back().sheet);
        QCOMPARE(f.model().count(), 2);

        f.dialogs.alertAnswers = {0};  // "立即清空"
        f.click("RemoveAllBt");
        QCOMPARE(f.model().count(), 0);
        QVERIFY(f.control<QPushButton>("AddHeicFileBt")->isVisible());
        QVERIFY(!f.control<QPushButton>("RemoveAllBt")->isVisible());
        QVERIFY(!f.view().tableView()->alternatingRowColors());

        // An empty list asks nothing.
        f.view().RemoverAllBtEvent();
        QCOMPARE(f.dialogs.alerts.size(), std::size_t(2));
    }
};

APPTEST_SUITE("FileList", FileListTest);

#include "file_list_test.moc"

using namespace ambrel::convert;
using namespace ambrel::app;
