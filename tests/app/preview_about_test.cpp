// The preview of converted rows (its toggling and the five formats), and
// the About window.
#include <QtGui/QScreen>
#include <QtWidgets/QComboBox>
#include <QtWidgets/QLabel>

#include <opencv2/imgcodecs.hpp>

#include <cstdlib>

#include "app/about_window.h"
#include "app/custom_controls.h"
#include "app/preview_cache.h"
#include "app/preview_window.h"
#include "pipeline/encode/image_writer.h"
#include "tests/app/app_test_support.h"

using namespace apptest;

namespace {

QString outputOf(ControllerFixture& f, int row)
{
    return QString::fromStdString(f.model().record(row).toPath);
}

}  // namespace

class PreviewAboutTest : public QObject
{
    Q_OBJECT

private slots:
    void previewButtonsToggleThePreview()
    {
        QTemporaryDir dir;
        const QStringList paths{dir.filePath("first.heic"), dir.filePath("second.heic")};
        for (const QString& path : paths) {
            writeFile(path, gridHeic());
        }
        FreshCacheFolder cache;
        ControllerFixture f;
        f.dialogs.panelAnswers.push_back(paths);
        f.view().AddHeicFileBtEvent();
        f.click("SaveHEICPath");
        QVERIFY(f.runJob());

        f.clickRowButton(0, true);
        QVERIFY(f.preview.isVisible());
        QCOMPARE(f.preview.currentItem(), QUrl::fromLocalFile(outputOf(f, 0)));
        QTRY_VERIFY(!f.preview.loading());
        QCOMPARE(f.preview.image().size(), QSize(192, 128));
        QCOMPARE(f.preview.windowTitle(), QFileInfo(outputOf(f, 0)).fileName());

        // Another row's button closes the preview instead of switching...
        f.clickRowButton(1, true);
        QVERIFY(!f.preview.isVisible());
        QVERIFY(f.preview.image().isNull());  // the picture goes with the window
        // ...and the next click opens it on that row.
        f.clickRowButton(1, true);
        QVERIFY(f.preview.isVisible());
        QCOMPARE(f.preview.windowTitle(), QFileInfo(outputOf(f, 1)).fileName());
        QVERIFY(f.desktop.opened.empty());

        // A closed window opens again with the next click; a vanished file shows no picture.
        f.preview.close();
        QFile::remove(outputOf(f, 0));
        f.clickRowButton(0, true);
        QVERIFY(f.preview.isVisible());
        QTRY_VERIFY(!f.preview.loading());
        QVERIFY(f.preview.image().isNull());
        f.preview.close();
    }

    void everyFormatIsWrittenAndPreviewed_data()
    {
        QTest::addColumn<int>("index");
        QTest::addColumn<QString>("extension");
        QTest::newRow("JPG") << 0 << "JPG";
        QTest::newRow("PNG") << 1 << "PNG";
        QTest::newRow("BMP") << 2 << "BMP";
        QTest::newRow("JPEG2000") << 3 << "JP2";
        QTest::newRow("TIFF") << 4 << "TIFF";
        QTest::newRow("WEBP") << 5 << "WEBP";
    }

    void everyFormatIsWrittenAndPreviewed()
    {
        QFETCH(int, index);
        QFETCH(QString, extension);
        QTemporaryDir dir;
        const QString source = dir.filePath("IMG_0042.heic");
        writeFile(source, gridHeic());
        FreshCacheFolder cache;
        ambrel::app::previewCache().clear();
        ControllerFixture f;
        f.dialogs.panelAnswers.push_back({source});
        f.view().AddHeicFileBtEvent();
        f.dialogs.folderAnswers.push_back(dir.filePath("out"));
        f.click("SelectPathBt");
        f.control<QComboBox>("OutFormat")->setCurrentIndex(index);
        QVERIFY(f.runJob());

        const QString output = outputOf(f, 0);
        QVERIFY2(QFileInfo(output).fileName().startsWith("IMG_0042_"), qPrintable(output));
        QCOMPARE(QFileInfo(output).suffix(), extension);
        QCOMPARE(imageFileSize(output), QSize(192, 128));
        // The lossless files, slow to decode when large, keep a reduced copy
        // from the conversion; a small JPEG opens fast enough from its file.
        const auto kept = ambrel::app::previewCache().find(output, QSize(4000, 4000));
        QCOMPARE(kept.has_value(), extension != QStringLiteral("JPG"));
        if (kept) {
            QCOMPARE(kept->fullSize, QSize(192, 128));
            QCOMPARE(kept->image.size(), QSize(192, 128));
        }
        f.clickRowButton(0, true);
        QVERIFY(f.preview.isVisible());
        QTRY_VERIFY(!f.preview.loading());
        QCOMPARE(f.preview.image().size(), QSize(192, 128));
        f.preview.close();
        // Without the copy too, and at a reduced level when it is enough.
        QCOMPARE(ambrel::app::loadPreviewImage(output).size(), QSize(192, 128));
        QCOMPARE(ambrel::app::loadPreviewImage(output, QSize(48, 48)).size(), QSize(48, 32));
    }

    void largePictureIsPreviewedAtScreenSize_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("alpha");
        QTest::newRow("JPEG") << "large.JPG" << false;
        QTest::newRow("PNG") << "large.PNG" << false;
        QTest::newRow("PNG with alpha") << "large-alpha.PNG" << true;
        QTest::newRow("BMP") << "large.BMP" << false;
    }

    // The window opens at once as busy; the picture comes decoded at the
    // screen's size, not the file's, and is dropped when the window closes.
    void largePictureIsPreviewedAtScreenSize()
    {
        QFETCH(QString, name);
        QFETCH(bool, alpha);
        QTemporaryDir dir;
        const QString path = dir.filePath(name);
        // Left half red, right half blue; with alpha, the bottom half is clear.
        cv::Mat picture(3000, 4000, alpha ? CV_8UC4 : CV_8UC3,
                        alpha ? cv::Scalar(0, 0, 255, 255) : cv::Scalar(0, 0, 255));
        picture.colRange(2000, 4000).setTo(alpha ? cv::Scalar(255, 0, 0, 255) : cv::Scalar(255, 0, 0));
        if (alpha) {
            picture.rowRange(1500, 3000).setTo(cv::Scalar(0, 0, 0, 0));
        }
        QVERIFY(cv::imwrite(path.toStdString(), picture));

        ambrel::app::PreviewWindow preview;
        preview.previewFile(QUrl::fromLocalFile(path));
        QVERIFY(preview.isVisible());
        QVERIFY(preview.loading());
        QTRY_VERIFY_WITH_TIMEOUT(!preview.loading(), 60000);
        const QSize screen = preview.screen()->availableSize() * preview.screen()->devicePixelRatio();
        const QImage& shown = preview.image();
        QVERIFY(!shown.isNull());
        QVERIFY2(shown.width() <= screen.width() && shown.height() <= screen.height(),
                 qPrintable(QStringLiteral("%1 x %2").arg(shown.width()).arg(shown.height())));
        QVERIFY(std::abs(shown.width() * 3 - shown.height() * 4) <= 8);
        const QColor left = shown.pixelColor(shown.width() / 4, shown.height() / 4);
        const QColor right = shown.pixelColor(shown.width() * 3 / 4, shown.height() / 4);
        QVERIFY(left.red() > 200 && left.blue() < 50);
        QVERIFY(right.blue() > 200 && right.red() < 50);
        if (alpha) {
            QCOMPARE(shown.pixelColor(shown.width() / 4, shown.height() * 3 / 4).alpha(), 0);
            QCOMPARE(left.alpha(), 255);
        }
        preview.close();
        QVERIFY(preview.image().isNull());
    }

    // A picture the job has just written opens from its reduced copy, as
    // long as the file is the one the copy was made for; the oldest copies
    // go when the budget is spent.
    void justWrittenPictureOpensFromItsReducedCopy()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath("big.PNG");
        const QString other = dir.filePath("other.PNG");
        QVERIFY(cv::imwrite(path.toStdString(), cv::Mat(1500, 2000, CV_8UC3, cv::Scalar(0, 0, 255))));
        QVERIFY(cv::imwrite(other.toStdString(), cv::Mat(30, 40, CV_8UC3, cv::Scalar(0, 0, 255))));
        QImage copy(400, 300, QImage::Format_RGB888);
        copy.fill(QColor(0, 160, 0));
        ambrel::app::PreviewCache& cache = ambrel::app::previewCache();
        cache.clear();
        cache.put(path, copy, QSize(2000, 1500));

        ambrel::app::PreviewWindow preview;
        preview.previewFile(QUrl::fromLocalFile(path));
        QTRY_VERIFY_WITH_TIMEOUT(!preview.loading(), 60000);
        QCOMPARE(preview.image().size(), QSize(400, 300));
        QVERIFY(preview.image().pixelColor(200, 150).green() > 140);
        QVERIFY(preview.findChild<QLabel*>()->text().contains(QStringLiteral("2000 × 1500")));
        preview.close();

        // Written again: the copy is stale, the file itself is shown.
        QVERIFY(cv::imwrite(path.toStdString(), cv::Mat(1500, 2001, CV_8UC3, cv::Scalar(0, 0, 250))));
        preview.previewFile(QUrl::fromLocalFile(path));
        QTRY_VERIFY_WITH_TIMEOUT(!preview.loading(), 60000);
        QVERIFY(preview.image().pixelColor(10, 10).red() > 200);
        preview.close();

        ambrel::app::PreviewCache small(cache.bytes() + 1);
        small.put(path, copy, QSize(2000, 1500));
        small.put(other, copy, QSize(40, 30));
        QVERIFY(!small.find(path, QSize(4000, 4000)));
        QVERIFY(small.find(other, QSize(4000, 4000)));
        // A turned photo's caption gives the size shown, not the stored one.
        cache.put(other, copy.transformed(QTransform().rotate(90)), QSize(16320, 12240));
        QCOMPARE(cache.find(other, QSize(4000, 4000))->fullSize, QSize(12240, 16320));
        cache.clear();
    }

    // 16-bit samples are shown at 8 bits, and alpha as alpha.
    void previewKeepsAlphaAndSixteenBitSamples()
    {
        QTemporaryDir dir;
        cv::Mat picture(2, 3, CV_16UC4, cv::Scalar(0, 0, 0, 0));
        picture.at<cv::Vec4w>(0, 0) = cv::Vec4w(257 * 10, 257 * 20, 257 * 30, 65535);  // B, G, R, A
        picture.at<cv::Vec4w>(1, 2) = cv::Vec4w(65535, 65535, 65535, 257 * 128);
        const auto png = ambrel::pipeline::writeImage(ambrel::pipeline::OutputFormat::Png, picture, {});
        QVERIFY(png.ok());
        const QString path = dir.filePath("wide.PNG");
        writeFile(path, QByteArray(reinterpret_cast<const char*>(png.bytes.data()), qsizetype(png.bytes.size())));
        const QImage image = ambrel::app::loadPreviewImage(path);
        QCOMPARE(image.size(), QSize(3, 2));
        QVERIFY(image.hasAlphaChannel());
        QCOMPARE(image.pixelColor(0, 0), QColor(30, 20, 10, 255));
        QCOMPARE(image.pixelColor(1, 0).alpha(), 0);
        QCOMPARE(image.pixelColor(2, 1).alpha(), 128);
    }

    void aboutWindowShowsTheBuildsVersionAndSite()
    {
        FakeDesktop desktop;
        ambrel::app::AboutWindow about(desktop, QStringLiteral("https://www.example.org/ambrel"));
        about.Show();
        QVERIFY(QTest::qWaitForWindowExposed(&about));
        QCOMPARE(about.windowTitle(), QStringLiteral("关于我们"));
        QCOMPARE(about.findChild<QLabel*>("ShowVersion")->text(), QStringLiteral("主程序版本: " AMBREL_TEST_VERSION));
        auto* name = about.findChild<QLabel*>("AppName");
        auto* logo = about.findChild<QLabel*>("Logo");
        QCOMPARE(name->text(), QStringLiteral("Ambrel"));
        // The logo sits 5 pixels left of the name; the pair is centred.
        QCOMPARE(logo->geometry().right() + 1 + 5, name->x());
        const int middle = (logo->x() + name->geometry().right()) / 2;
        QVERIFY2(std::abs(middle - about.width() / 2) <= 5, qPrintable(QString::number(middle)));
        // Measured in the bold it is drawn in: the whole name shows.
        QVERIFY(name->width() >= QFontMetrics(name->font()).horizontalAdvance(name->text()));
        QVERIFY(ambrel::app::licenceText().contains(QStringLiteral("MIT")));

        auto* site = about.findChild<ambrel::app::LLCustomBtn*>("OfficialButton");
        QVERIFY(site->isVisible());
        QCOMPARE(site->defaultTitle(), QStringLiteral("官网: www.example.org"));
        QTest::mouseClick(site, Qt::LeftButton);
        QCOMPARE(desktop.opened.size(), std::size_t(1));
        QCOMPARE(desktop.opened.front(), QUrl(QStringLiteral("https://www.example.org/ambrel")));

        ambrel::app::AboutWindow withoutSite(desktop, QString());
        withoutSite.Show();
        QVERIFY(!withoutSite.findChild<ambrel::app::LLCustomBtn*>("OfficialButton")->isVisible());
    }
};

APPTEST_SUITE("PreviewAbout", PreviewAboutTest);

#include "preview_about_test.moc"

using namespace ambrel::convert;
using namespace ambrel::app;
