// Start-up: the real program's log file over two runs, and the main window
// with its menu as the application opens it.
#include <QtCore/QLocale>
#include <QtCore/QProcess>
#include <QtCore/QRegularExpression>
#include <QtGui/QAction>
#include <QtWidgets/QCheckBox>
#include <QtWidgets/QLabel>
#include <QtWidgets/QMessageBox>
#include <QtWidgets/QPushButton>
#include <QtWidgets/QRadioButton>

#include "app/about_window.h"
#include "app/app_delegate.h"
#include "app/failure_reasons.h"
#include "app/main_window.h"
#include "app/stats/user_action_analysis.h"
#include "app/translations.h"
#include "app/update/check_update_window.h"
#include "tests/app/app_test_support.h"

using namespace apptest;

namespace {

// A log file's text with the time at the start of each line left out.
QString loggedText(const QString& path)
{
    static const QRegularExpression time(QStringLiteral("^\\d\\d:\\d\\d:\\d\\d\\.\\d\\d\\d "),
                                         QRegularExpression::MultilineOption);
    return QString::fromUtf8(readFile(path)).remove(time);
}

// Starts the program with the arguments, waits until its log holds `line`,
// ends it, and returns what it wrote to its own standard output and error.
QByteArray runUntilLogged(const QProcessEnvironment& environment, const QString& log, const QStringList& arguments,
                          const QString& line, bool& logged)
{
    QProcess process;
    process.setProcessEnvironment(environment);
    process.start(QStringLiteral(AMBREL_APP), arguments);
    logged = false;
    if (!process.waitForStarted(30000)) {
        return {};
    }
    for (int tries = 0; tries < 600 && !logged; ++tries) {
        logged = loggedText(log).split('\n').contains(line);
        if (!logged) {
            process.waitForFinished(100);
        }
    }
    process.kill();
    process.waitForFinished(30000);
    return process.readAllStandardOutput() + process.readAllStandardError();
}

// The environment of a run of the real program inside `home`.
QProcessEnvironment programEnvironment(const QTemporaryDir& home)
{
    QDir().mkpath(home.filePath("runtime"));
    QFile::setPermissions(home.filePath("runtime"), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("HOME", home.path());
    environment.insert("XDG_CACHE_HOME", home.filePath("cache"));
    environment.insert("XDG_DATA_HOME", home.filePath("data"));
    environment.insert("XDG_CONFIG_HOME", home.filePath("config"));
    environment.insert("XDG_RUNTIME_DIR", home.filePath("runtime"));
    environment.insert("QT_QPA_PLATFORM", "offscreen");
    environment.insert("LC_ALL", "zh_CN.UTF-8");  // the log in the source language
    return environment;
}

// Waits until one of the files matching `pattern` in `folder` holds `line`;
// its path, or an empty text after a while.
QString waitForLoggedLine(const QString& folder, const QString& pattern, const QString& line)
{
    for (int tries = 0; tries < 600; ++tries) {
        for (const QString& name : QDir(folder).entryList({pattern}, QDir::Files)) {
            const QString path = folder + '/' + name;
            if (loggedText(path).split('\n').contains(line)) {
                return path;
            }
        }
        QTest::qWait(100);
    }
    return {};
}

// Makes the window's texts follow `locale` for as long as it exists.
class LanguageScope
{
public:
    explicit LanguageScope(const QLocale& locale) { installed = ambrel::app::installTranslations(locale); }
    ~LanguageScope() { ambrel::app::removeTranslations(); }
    LanguageScope(const LanguageScope&) = delete;
    LanguageScope& operator=(const LanguageScope&) = delete;
    bool installed = false;
};

}  // namespace

class StartupTest : public QObject
{
    Q_OBJECT

private slots:
    void logFileHoldsOnlyTheLatestRun()
    {
        QTemporaryDir home;
        const QString first = home.filePath("first.heic");
        const QString second = home.filePath("second.heic");
        writeFile(first, "x");
        writeFile(second, "x");
        QDir().mkpath(home.filePath("runtime"));
        QFile::setPermissions(home.filePath("runtime"), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("HOME", home.path());
        environment.insert("XDG_CACHE_HOME", home.filePath("cache"));
        environment.insert("XDG_DATA_HOME", home.filePath("data"));
        environment.insert("XDG_CONFIG_HOME", home.filePath("config"));
        environment.insert("XDG_RUNTIME_DIR", home.filePath("runtime"));
        environment.insert("QT_QPA_PLATFORM", "offscreen");
        environment.insert("LC_ALL", "zh_CN.UTF-8");  // the log in the source language
        const QString log = home.filePath("data/Ambrel/Ambrel.log");
        const QString settings = home.filePath("cache/Ambrel/UserInfo.plist");

        // A file given twice leaves a duplicate line in the log.
        bool logged = false;
        const QByteArray firstOutput =
            runUntilLogged(environment, log, {first, first}, QStringLiteral("找到重复：%1").arg(first), logged);
        QVERIFY(logged);
        QVERIFY2(firstOutput.isEmpty(), firstOutput.constData());
        QString text = loggedText(log);
        QVERIFY(text.contains(QStringLiteral("【日志】[配置文件] 创建文件成功(%1)").arg(settings)));
        if (ambrel::app::deployedStatsHost().isEmpty()) {
            QVERIFY(text.contains(QStringLiteral("usage statistics skipped: this build has no statistics server\n")));
        }

        const QByteArray secondOutput =
            runUntilLogged(environment, log, {second, second}, QStringLiteral("找到重复：%1").arg(second), logged);
        QVERIFY(logged);
        QVERIFY2(secondOutput.isEmpty(), secondOutput.constData());
        text = loggedText(log);
        QVERIFY2(!text.contains(first), qPrintable(text));
        QVERIFY(!text.contains(QStringLiteral("创建文件成功")));  // the settings file exists now
        QVERIFY(text.startsWith(QStringLiteral("Ambrel " AMBREL_TEST_VERSION " started\n")));
        // Every line has its time; the first run's log is kept as the older file.
        QVERIFY(QRegularExpression(QStringLiteral("^\\d\\d:\\d\\d:\\d\\d\\.\\d{3} Ambrel "))
                    .match(QString::fromUtf8(readFile(log)))
                    .hasMatch());
        QVERIFY(loggedText(home.filePath("data/Ambrel/Ambrel.old.log"))
                    .contains(QStringLiteral("找到重复：%1").arg(first)));
    }

    void secondInstanceKeepsTheFirstOnesLog()
    {
        QTemporaryDir home;
        const QString first = home.filePath("first.heic");
        const QString second = home.filePath("second.heic");
        writeFile(first, "x");
        writeFile(second, "x");
        const QProcessEnvironment environment = programEnvironment(home);
        const QString folder = home.filePath("data/Ambrel");
        const QString firstLine = QStringLiteral("找到重复：%1").arg(first);
        const QString secondLine = QStringLiteral("找到重复：%1").arg(second);

        QProcess running;
        running.setProcessEnvironment(environment);
        running.start(QStringLiteral(AMBREL_APP), {first, first});
        QVERIFY(running.waitForStarted(30000));
        QCOMPARE(waitForLoggedLine(folder, QStringLiteral("Ambrel.log"), firstLine), folder + "/Ambrel.log");

        // Started while the first runs: a log of its own.
        QProcess other;
        other.setProcessEnvironment(environment);
        other.start(QStringLiteral(AMBREL_APP), {second, second});
        QVERIFY(other.waitForStarted(30000));
        const QString otherLog = waitForLoggedLine(folder, QStringLiteral("Ambrel*.log"), secondLine);
        QCOMPARE(otherLog, folder + QStringLiteral("/Ambrel-%1.log").arg(other.processId()));
        const QString firstLog = loggedText(folder + "/Ambrel.log");
        QVERIFY2(firstLog.split('\n').contains(firstLine), qPrintable(firstLog));
        QVERIFY(!firstLog.contains(second));
        other.kill();
        other.waitForFinished(30000);
        running.kill();
        running.waitForFinished(30000);

        // The next run alone takes Ambrel.log again and clears the ended one's log.
        bool logged = false;
        runUntilLogged(environment, folder + "/Ambrel.log", {second, second}, secondLine, logged);
        QVERIFY(logged);
        QVERIFY(!QFile::exists(otherLog));
    }

    void windowSpeaksTheUsersLanguage_data()
    {
        QTest::addColumn<QLocale>("locale");
        QTest::addColumn<QStringList>("texts");
        // Start button, add link, save modes, folder button, a column, the
        // empty-list alert, a failed row, the summary, the About title,
        // Qt's own Cancel button and the failed row's reason.
        QTest::newRow("English") << QLocale(QLocale::English, QLocale::UnitedKingdom)
                                 << QStringList{"&Convert",
                                                "＋ &Add Files",
                                                "Beside the source",
                                                "C&hoose…",
                                                "State",
                                                "Please add the HEIC files to convert!",
                                                "Conversion failed",
                                                "0 photos converted\n1 file failed; select its row to see why.",
                                                "About Ambrel",
                                                "Cancel",
                                                "not a HEIF file",
                                                "All images"};
        QTest::newRow("German") << QLocale(QLocale::German, QLocale::Germany)
                                << QStringList{"&Convert",
                                               "＋ &Add Files",
                                               "Beside the source",
                                               "C&hoose…",
                                               "State",
                                               "Please add the HEIC files to convert!",
                                               "Conversion failed",
                                               "0 photos converted\n1 file failed; select its row to see why.",
                                               "About Ambrel",
                                               "Cancel",
                                               "not a HEIF file",
                                               "All images"};
        QTest::newRow("Chinese") << QLocale(QLocale::Chinese, QLocale::China)
                                 << QStringList{
                                        "转  换",         "＋ 添加文件",
                                        "保存到原文件夹", "选择…",
                                        "状态",           "请添加要转换HEIC文件！",
                                        "文件转换失败",   "已转换 0 张图片\n1 个文件转换失败，原因见该行的提示。",
                                        "关于我们",       "取消",
                                        "不是 HEIF 文件", "全部图像"};
    }

    void windowSpeaksTheUsersLanguage()
    {
        QFETCH(QLocale, locale);
        QFETCH(QStringList, texts);
        const LanguageScope language(locale);
        QVERIFY(language.installed);
        QTemporaryDir dir;
        const QString junk = dir.filePath("junk.heic");
        writeFile(junk, "not a HEIF file at all");
        FreshCacheFolder cache;
        ControllerFixture f;
        QCOMPARE(f.control<QPushButton>("AmbrelBt")->text(), texts[0]);
        QCOMPARE(f.control<QPushButton>("AddFileBt")->text(), texts[1]);
        QCOMPARE(f.control<QRadioButton>("SaveHEICPath")->text(), texts[2]);
        QCOMPARE(f.control<QPushButton>("SelectPathBt")->text(), texts[3]);
        QCOMPARE(f.control<QCheckBox>("AllImages")->text(), texts[11]);
        QCOMPARE(f.model().headerData(ambrel::app::FileTableModel::StateColumn, Qt::Horizontal, Qt::DisplayRole),
                 QVariant(texts[4]));

        f.click("AmbrelBt");
        QCOMPARE(f.dialogs.alerts.back().alert.informativeText, texts[5]);

        f.dialogs.panelAnswers.push_back({junk});
        f.view().AddHeicFileBtEvent();
        f.click("SaveHEICPath");
        QVERIFY(f.runJob());
        QCOMPARE(f.model().index(0, ambrel::app::FileTableModel::StateColumn).data().toString(), texts[6]);
        QCOMPARE(f.model().index(0, ambrel::app::FileTableModel::StateColumn).data(Qt::ToolTipRole).toString(),
                 texts[10]);
        QCOMPARE(f.dialogs.alerts.back().alert.informativeText, texts[7]);

        FakeDesktop desktop;
        const ambrel::app::AboutWindow about(desktop, {});
        QCOMPARE(about.windowTitle(), texts[8]);

        QMessageBox box;
        box.setStandardButtons(QMessageBox::Cancel);
        QCOMPARE(box.button(QMessageBox::Cancel)->text(), texts[9]);
    }

    // The smallest window shows every option whole, side by side, in both languages.
    void smallestWindowShowsEveryOptionWhole_data()
    {
        QTest::addColumn<QLocale>("locale");
        QTest::newRow("English") << QLocale(QLocale::English, QLocale::UnitedKingdom);
        QTest::newRow("Chinese") << QLocale(QLocale::Chinese, QLocale::China);
    }

    void smallestWindowShowsEveryOptionWhole()
    {
        QFETCH(QLocale, locale);
        const LanguageScope language(locale);
        FreshCacheFolder cache;
        ControllerFixture f;
        ambrel::app::MainWindow window(&f.view());  // takes the view over
        window.show();
        window.resize(1, 1);
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QTRY_COMPARE(window.size(), window.minimumSize());
        const auto controls = f.control<QWidget>("OptionsPanel")->findChildren<QWidget*>(Qt::FindDirectChildrenOnly);
        for (QWidget* a : controls) {
            const QString name = a->objectName() + ' ' + a->metaObject()->className();
            QVERIFY2(!a->isVisible() || a->width() >= a->minimumSizeHint().width(), qPrintable(name));
            for (QWidget* b : controls) {
                QVERIFY2(a == b || !a->isVisible() || !b->isVisible() || !a->geometry().intersects(b->geometry()),
                         qPrintable(name + " / " + b->objectName()));
            }
        }
    }

    // The conversion's reasons in English come back word for word through the
    // English translation, and are said in Chinese with their figures, names
    // and system texts in place.
    void failureReasonsSpeakTheWindowsLanguage_data()
    {
        QTest::addColumn<QString>("reason");
        QTest::addColumn<QString>("chinese");
        QTest::newRow("empty") << "the file is empty"
                               << "文件是空的";
        QTest::newRow("system text") << "cannot open the file: Permission denied"
                                     << "无法打开文件：权限不够";
        QTest::newRow("unknown system text") << "cannot read the file: Stale file handle"
                                             << "无法读取文件：Stale file handle";
        QTest::newRow("longer of two") << "out of memory while decoding the image"
                                       << "解码图像时内存不足";
        QTest::newRow("figures") << "the image is 300000000 pixels (20000 x 15000), more than the limit of 268435456"
                                 << "图像有 300000000 像素（20000 x 15000），超过 268435456 的上限";
        QTest::newRow("specific over general") << "the file is cut short: its last box reaches past the end of the file"
                                               << "文件不完整：最后一个盒超出了文件末尾";
        QTest::newRow("reader text kept") << "cannot read the HEIF structure: bad 'ispe' (reader error 7)"
                                          << "无法读取 HEIF 结构：bad 'ispe' (reader error 7)";
        QTest::newRow("name with colon and percent") << "cannot write /tmp/a: b %2/IMG_1.JPG: No space left on device"
                                                     << "无法写入 /tmp/a: b %2/IMG_1.JPG：设备上没有空间";
        QTest::newRow("not ours") << "something new went wrong"
                                  << "something new went wrong";
    }

    void failureReasonsSpeakTheWindowsLanguage()
    {
        QFETCH(QString, reason);
        QFETCH(QString, chinese);
        QCOMPARE(ambrel::app::failureReasonText(reason), chinese);
        const LanguageScope language(QLocale(QLocale::English, QLocale::UnitedStates));
        QVERIFY(language.installed);
        QCOMPARE(ambrel::app::failureReasonText(reason), reason);
    }

    void startUpOpensTheWindowWithItsMenu()
    {
        QTemporaryDir dir;
        const QString given = dir.filePath("from-camera.heif");
        writeFile(given, "x");
        FreshCacheFolder cache;
        ambrel::app::AppDelegate app;
        app.openMainWindow({given});
        ambrel::app::MainWindow* window = app.mainWindow();
        QVERIFY(QTest::qWaitForWindowExposed(window));
        QCOMPARE(window->windowTitle(), QStringLiteral("Ambrel"));
        QVERIFY(!(window->windowFlags() & Qt::WindowMaximizeButtonHint));
        QCOMPARE(app.viewController()->model().count(), 1);
        QVERIFY(QFile::exists(cache.path() + "/Ambrel/UserInfo.plist"));

        QVERIFY(app.aboutWindow() == nullptr);
        window->MenuAbout()->trigger();
        ambrel::app::AboutWindow* about = app.aboutWindow();
        QVERIFY(about != nullptr);
        QVERIFY(about->isVisible());
        QVERIFY(!about->testAttribute(Qt::WA_QuitOnClose));
        about->close();
        window->MenuAbout()->trigger();
        QCOMPARE(app.aboutWindow(), about);
        QVERIFY(about->isVisible());

        QVERIFY(window->MenuCheckUpdate() != nullptr);
        // Shown only in a build that has an update server to ask.
        QCOMPARE(window->MenuCheckUpdate()->isVisible(), !ambrel::app::deployedUpdateAddress().isEmpty());
        if (ambrel::app::deployedUpdateAddress().isEmpty()) {
            return;
        }
        QVERIFY(window->MenuCheckUpdate()->isEnabled());
        QVERIFY(app.checkUpdateWindow() == nullptr);
        window->MenuCheckUpdate()->trigger();
        ambrel::app::NSWindowControllerCheckUpdateApp* update = app.checkUpdateWindow();
        QVERIFY(update != nullptr);
        QVERIFY(update->isVisible());
        QVERIFY(!update->testAttribute(Qt::WA_QuitOnClose));
        update->close();
        window->MenuCheckUpdate()->trigger();
        QCOMPARE(app.checkUpdateWindow(), update);
        QVERIFY(update->isVisible());
    }
};

APPTEST_SUITE("Startup", StartupTest);

#include "startup_test.moc"

using namespace ambrel::convert;
using namespace ambrel::app;
