// Start-up: the real program's log file over two runs, and the main window
// with its menu as the application opens it.
#include <QtCore/QProcess>
#include <QtGui/QAction>
#include <QtWidgets/QLabel>

#include "app/about_window.h"
#include "app/app_delegate.h"
#include "app/main_window.h"
#include "app/stats/user_action_analysis.h"
#include "app/update/check_update_window.h"
#include "tests/app/app_test_support.h"

using namespace apptest;

namespace {

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
        logged = QString::fromUtf8(readFile(log)).split('\n').contains(line);
        if (!logged) {
            process.waitForFinished(100);
        }
    }
    process.kill();
    process.waitForFinished(30000);
    return process.readAllStandardOutput() + process.readAllStandardError();
}

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
        const QString log = home.filePath("data/Ambrel/Ambrel.log");
        const QString settings = home.filePath("cache/Ambrel/UserInfo.plist");

        // A file given twice leaves a duplicate line in the log.
        bool logged = false;
        const QByteArray firstOutput =
            runUntilLogged(environment, log, {first, first}, QStringLiteral("找到重复：%1").arg(first), logged);
        QVERIFY(logged);
        QVERIFY2(firstOutput.isEmpty(), firstOutput.constData());
        QString text = QString::fromUtf8(readFile(log));
        QVERIFY(text.contains(QStringLiteral("【日志】[配置文件] 创建文件成功(%1)").arg(settings)));
        if (ambrel::app::deployedStatsHost().isEmpty()) {
            QVERIFY(text.contains(QStringLiteral("usage statistics skipped: this build has no statistics server\n")));
        }

        const QByteArray secondOutput =
            runUntilLogged(environment, log, {second, second}, QStringLiteral("找到重复：%1").arg(second), logged);
        QVERIFY(logged);
        QVERIFY2(secondOutput.isEmpty(), secondOutput.constData());
        text = QString::fromUtf8(readFile(log));
        QVERIFY2(!text.contains(first), qPrintable(text));
        QVERIFY(!text.contains(QStringLiteral("创建文件成功")));  // the settings file exists now
        QVERIFY(text.startsWith(QStringLiteral("Ambrel " AMBREL_TEST_VERSION " started\n")));
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
