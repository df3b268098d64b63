// The options and the settings file: the state of a first start, the folder
// settings across a restart of the controller, how a stored mode is read,
// and what happens to a settings file that cannot be read.
#include <QtCore/QStandardPaths>
#include <QtWidgets/QCheckBox>
#include <QtWidgets/QComboBox>
#include <QtWidgets/QLineEdit>
#include <QtWidgets/QPushButton>
#include <QtWidgets/QRadioButton>
#include <QtWidgets/QSpinBox>
#include <QtWidgets/QTableView>

#include "app/custom_controls.h"
#include "app/images.h"
#include "tests/app/app_test_support.h"

using namespace apptest;

namespace {

QString settingsFile(const FreshCacheFolder& cache)
{
    return cache.path() + "/Ambrel/UserInfo.plist";
}

}  // namespace

class SettingsTest : public QObject
{
    Q_OBJECT

private slots:
    void firstStartWithoutSettingsFile()
    {
        FreshCacheFolder cache;
        LogCapture log;
        ControllerFixture f;

        // The file is made at once, holding an empty dictionary.
        const auto stored = ambrel::app::readPropertyList(settingsFile(cache));
        QVERIFY(stored.has_value());
        QVERIFY(stored->isEmpty());
        QVERIFY(readFile(settingsFile(cache)).contains("<plist version=\"1.0\">"));
        QVERIFY(log.contains(QStringLiteral("【日志】[配置文件] 创建文件成功(%1)").arg(settingsFile(cache))));

        // The chosen-folder mode with the Downloads folder.
        QCOMPARE(f.control<QLineEdit>("ShowPath")->text(),
                 QStandardPaths::standardLocations(QStandardPaths::DownloadLocation).value(0));
        QVERIFY(f.control<QLineEdit>("ShowPath")->text().endsWith("/Downloads"));
        QVERIFY(f.control<QRadioButton>("SaveCustomPath")->isChecked());
        QVERIFY(!f.control<QRadioButton>("SaveHEICPath")->isChecked());
        QVERIFY(f.control<QLineEdit>("ShowPath")->isEnabled());
        QVERIFY(f.control<QPushButton>("SelectPathBt")->isEnabled());
        QVERIFY(!f.view().isSaveHEICPath());

        // The defaults of the other options and the idle, empty window.
        QCOMPARE(f.control<QComboBox>("OutFormat")->currentText(), QStringLiteral("JPG"));
        QCOMPARE(f.control<QComboBox>("OutFormat")->count(), 6);
        QCOMPARE(f.control<QComboBox>("ImageSize")->currentText(), QStringLiteral("100%"));
        QCOMPARE(f.control<QComboBox>("ImageQuality")->currentText(), QStringLiteral("100%"));
        QCOMPARE(f.view().SaveSuff(), QStringLiteral("JPG"));
        QCOMPARE(f.view().ImageZooming(), 1.0f);
        QCOMPARE(f.view().nQuality(), 100);
        QVERIFY(f.control<QCheckBox>("Exif")->isChecked());
        auto* start = f.control<QPushButton>("AmbrelBt");
        QCOMPARE(start->text(), QStringLiteral("转  换"));
        QCOMPARE(ambrel::app::buttonImageName(start), QStringLiteral("ToBt"));
        QCOMPARE(ambrel::app::textColor(start), QColor(Qt::white));
        QVERIFY(f.view().isStopTo());
        QVERIFY(f.control<QPushButton>("AddHeicFileBt")->isVisible());
        QVERIFY(!f.control<QPushButton>("RemoveAllBt")->isVisible());
        QVERIFY(!f.view().tableView()->alternatingRowColors());
        QCOMPARE(ambrel::app::textColor(f.control<QPushButton>("AddFileBt")), QColor(132, 92, 216));
        QCOMPARE(ambrel::app::textColor(f.control<QPushButton>("OpenPathBt")), QColor(132, 92, 216));
        auto* removeAll = f.control<ambrel::app::LLButton>("RemoveAllBt");
        QCOMPARE(removeAll->defaultTitle(), QStringLiteral("全部删除"));
        QCOMPARE(removeAll->textUnderLineStyle(), 2);
        QCOMPARE(removeAll->defaultTitleColor(), QColor(110, 57, 192));
    }

    void choiceValuesFollowTheIndex()
    {
        FreshCacheFolder cache;
        ControllerFixture f;
        auto* format = f.control<QComboBox>("OutFormat");
        auto* size = f.control<QComboBox>("ImageSize");
        auto* quality = f.control<QComboBox>("ImageQuality");

        format->setCurrentIndex(3);
        QCOMPARE(f.view().SaveSuff(), QStringLiteral("JPEG2000"));
        size->setCurrentIndex(0);
        QCOMPARE(f.view().ImageZooming(), 0.1f);
        quality->setCurrentIndex(0);
        QCOMPARE(f.view().nQuality(), 10);
        // The item's text plays no part.
        size->setItemText(4, QStringLiteral("anything"));
        size->setCurrentIndex(4);
        QCOMPARE(f.view().ImageZooming(), 0.5f);
        quality->setCurrentIndex(9);
        QCOMPARE(f.view().nQuality(), 100);
    }

    void folderSettingsSurviveARestart()
    {
        FreshCacheFolder cache;
        ControllerFixture f;
        const QString chosen = cache.path() + "/照片 & <输出>";

        f.dialogs.folderAnswers.push_back(chosen);
        f.click("SelectPathBt");
        QCOMPARE(f.control<QLineEdit>("ShowPath")->text(), chosen);
        f.click("SelectPathBt");  // cancelled: the first folder stays
        QCOMPARE(f.control<QLineEdit>("ShowPath")->text(), chosen);

        f.click("SaveHEICPath");
        QVERIFY(f.view().isSaveHEICPath());
        QVERIFY(!f.control<QRadioButton>("SaveCustomPath")->isChecked());
        QVERIFY(!f.control<QLineEdit>("ShowPath")->isEnabled());
        QVERIFY(!f.control<QPushButton>("SelectPathBt")->isEnabled());

        const auto stored = ambrel::app::readPropertyList(settingsFile(cache));
        QVERIFY(stored.has_value());
        QCOMPARE(stored->value("SavePathKey"), chosen);
        QCOMPARE(stored->value("SaveHEICPathKey"), QStringLiteral("1"));

        f.restart();
        QVERIFY(f.view().isSaveHEICPath());
        QVERIFY(f.control<QRadioButton>("SaveHEICPath")->isChecked());
        QVERIFY(!f.control<QRadioButton>("SaveCustomPath")->isChecked());
        QCOMPARE(f.control<QLineEdit>("ShowPath")->text(), chosen);
        QVERIFY(!f.control<QLineEdit>("ShowPath")->isEnabled());
        QVERIFY(!f.control<QPushButton>("SelectPathBt")->isEnabled());

        f.click("SaveCustomPath");
        f.restart();
        QVERIFY(!f.view().isSaveHEICPath());
        QVERIFY(f.control<QRadioButton>("SaveCustomPath")->isChecked());
        QVERIFY(f.control<QLineEdit>("ShowPath")->isEnabled());
        QCOMPARE(ambrel::app::readPropertyList(settingsFile(cache))->value("SaveHEICPathKey"), QStringLiteral("0"));
    }

    // Every option is kept in the settings file and comes back at the next start.
    void everyOptionSurvivesARestart()
    {
        FreshCacheFolder cache;
        ControllerFixture f;
        f.click("KeepHdr");  // on at first, for the first format (JPG)
        f.control<QComboBox>("OutFormat")->setCurrentIndex(4);
        f.control<QComboBox>("ImageSize")->setCurrentIndex(4);
        f.control<QComboBox>("ImageQuality")->setCurrentIndex(6);
        f.control<QSpinBox>("MaxSide")->setValue(2048);
        const char* const boxes[] = {"Depth16", "KeepDates", "AllImages", "Subfolders"};
        for (const char* box : boxes) {
            f.control<QCheckBox>(box)->setChecked(true);
        }
        f.control<QCheckBox>("Exif")->setChecked(false);
        f.control<QComboBox>("NameChoice")->setCurrentIndex(2);
        f.control<QLineEdit>("NameSuffix")->setText(QStringLiteral("_small"));
        f.control<QComboBox>("ExistingChoice")->setCurrentIndex(2);
        auto* folder = f.control<QLineEdit>("ShowPath");
        folder->setText(cache.path() + "/typed");
        emit folder->editingFinished();

        f.restart();
        QCOMPARE(f.view().SaveSuff(), QStringLiteral("TIFF"));
        QCOMPARE(f.view().ImageZooming(), 0.5f);
        QCOMPARE(f.view().nQuality(), 70);
        QVERIFY(!f.control<QComboBox>("ImageQuality")->isEnabled());  // TIFF is lossless
        QCOMPARE(f.control<QSpinBox>("MaxSide")->value(), 2048);
        for (const char* box : boxes) {
            QVERIFY2(f.control<QCheckBox>(box)->isChecked(), box);
        }
        QVERIFY(!f.control<QCheckBox>("Exif")->isChecked());
        // Kept off, and greyed out: a TIFF carries no gain map.
        QVERIFY(!f.control<QCheckBox>("KeepHdr")->isChecked() && !f.control<QCheckBox>("KeepHdr")->isEnabled());
        QCOMPARE(f.control<QComboBox>("NameChoice")->currentIndex(), 2);
        QCOMPARE(f.control<QLineEdit>("NameSuffix")->text(), QStringLiteral("_small"));
        QCOMPARE(f.control<QComboBox>("ExistingChoice")->currentIndex(), 2);
        QCOMPARE(f.control<QLineEdit>("ShowPath")->text(), cache.path() + "/typed");
        QCOMPARE(ambrel::app::readPropertyList(settingsFile(cache))->value("ExistingKey"), QStringLiteral("replace"));
    }

    void storedModeIsReadAsTruthValue_data()
    {
        QTest::addColumn<QString>("stored");
        QTest::addColumn<bool>("besideSource");
        QTest::newRow("1") << "1" << true;
        QTest::newRow("9 with text") << "9x" << true;
        QTest::newRow("spaces then 1") << "   1" << true;
        QTest::newRow("Y") << "Y" << true;
        QTest::newRow("yes") << "yes" << true;
        QTest::newRow("T") << "T" << true;
        QTest::newRow("true") << "true" << true;
        QTest::newRow("0") << "0" << false;
        QTest::newRow("empty") << "" << false;
        QTest::newRow("N") << "N" << false;
        QTest::newRow("minus one") << "-1" << false;
        QTest::newRow("letter before digit") << "x1" << false;
    }

    void storedModeIsReadAsTruthValue()
    {
        QFETCH(QString, stored);
        QFETCH(bool, besideSource);
        FreshCacheFolder cache;
        QDir().mkpath(cache.path() + "/Ambrel");
        QVERIFY(ambrel::app::writePropertyList(settingsFile(cache), {{"SaveHEICPathKey", stored}}));

        ControllerFixture f;
        QCOMPARE(f.view().isSaveHEICPath(), besideSource);
        QCOMPARE(f.control<QRadioButton>("SaveHEICPath")->isChecked(), besideSource);
        QCOMPARE(f.control<QLineEdit>("ShowPath")->isEnabled(), !besideSource);
    }

    void unreadableSettingsFileIsReplaced()
    {
        FreshCacheFolder cache;
        writeFile(settingsFile(cache), "<plist version=\"1.0\"><dict><key>SavePathKey</key><string>/x");
        LogCapture log;
        {
            ControllerFixture f;
            QCOMPARE(f.control<QLineEdit>("ShowPath")->text(),
                     QStandardPaths::standardLocations(QStandardPaths::DownloadLocation).value(0));
        }
        const auto stored = ambrel::app::readPropertyList(settingsFile(cache));
        QVERIFY(stored.has_value());
        QVERIFY(stored->isEmpty());
        QVERIFY(log.contains(QStringLiteral("【日志】[配置文件] 创建文件成功(%1)").arg(settingsFile(cache))));

        // Values of other types are skipped; the strings around them are kept.
        writeFile(settingsFile(cache),
                  "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
                  "<key>Count</key><integer>3</integer>"
                  "<key>SavePathKey</key><string>/srv/photos &amp; more</string>"
                  "<key>Flag</key><true/>"
                  "</dict></plist>\n");
        ControllerFixture f;
        QCOMPARE(f.control<QLineEdit>("ShowPath")->text(), QStringLiteral("/srv/photos & more"));
    }
};

APPTEST_SUITE("Settings", SettingsTest);

#include "settings_test.moc"

using namespace ambrel::convert;
using namespace ambrel::app;
