// The update check: the version comparison, and the window against a
// loopback update server (newer, equal, without "info", unreadable answers,
// download addresses, a huge or trickling answer, no answer, no server at
// all).
#include <QtCore/QJsonDocument>
#include <QtCore/QJsonObject>
#include <QtCore/QTimer>
#include <QtTest/QSignalSpy>
#include <QtTest/QTest>
#include <QtWidgets/QLabel>
#include <QtWidgets/QPushButton>
#include <QtWidgets/QScrollArea>
#include <QtWidgets/QTextBrowser>

#include <memory>
#include <vector>

#include "app/common/leading_int_value.h"
#include "app/update/check_update_window.h"
#include "app/update/version_compare.h"
#include "tests/stats/loopback_server.h"
#include "tests/stats/stats_test_support.h"

using ambrel::app::NSWindowControllerCheckUpdateApp;

namespace {

const QString kNewer = QStringLiteral("软件已经更新，您是否立即升级？");
const QString kUpToDate = QStringLiteral("已经是最新版本！");
const QString kUnreadable = QStringLiteral("更新服务器的回答无法识别");

// A log line that cannot forge another: no control characters, bounded.
bool isSafeLogLine(const QString& line)
{
    for (const QChar c : line) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7f) {
            return false;
        }
    }
    return line.size() < 400;
}

class VersionTest : public QObject
{
    Q_OBJECT
private slots:
    void comparesPartByPart_data()
    {
        QTest::addColumn<QString>("candidate");
        QTest::addColumn<QString>("current");
        QTest::addColumn<bool>("newer");
        QTest::newRow("longer with a non-zero part") << "1.2.1"
                                                     << "1.2" << true;
        QTest::newRow("longer with a zero part") << "1.2.0"
                                                 << "1.2" << false;
        QTest::newRow("numbers, not text") << "1.10"
                                           << "1.9" << true;
        QTest::newRow("equal") << "1.0.0"
                               << "1.0.0" << false;
        QTest::newRow("shorter") << "1.2"
                                 << "1.2.1" << false;
        QTest::newRow("shorter but larger") << "2"
                                            << "1.9.9" << true;
        QTest::newRow("zeros added up") << "1.2.0.0.0"
                                        << "1.2" << false;
        QTest::newRow("later extra part counts") << "1.2.0.3"
                                                 << "1.2" << true;
        QTest::newRow("leading integer of a part") << "1.3beta"
                                                   << "1.2" << true;
        QTest::newRow("part without a number is 0") << "1.x"
                                                    << "1.0" << false;
        QTest::newRow("empty part is 0") << "1..1"
                                         << "1.0.0" << true;
        QTest::newRow("empty candidate") << ""
                                         << "1.0" << false;
        QTest::newRow("negative extra parts") << "1.2.-1"
                                              << "1.2" << false;
        QTest::newRow("spaces before numbers") << "1. 3"
                                               << "1.2" << true;
    }

    void comparesPartByPart()
    {
        QFETCH(QString, candidate);
        QFETCH(QString, current);
        QFETCH(bool, newer);
        QCOMPARE(ambrel::app::isVersionBiggerThanVersion(candidate, current), newer);
    }

    void leadingIntegerOfText()
    {
        QCOMPARE(ambrel::app::leadingIntValue(u"12abc"), 12);
        QCOMPARE(ambrel::app::leadingIntValue(u"  \n 7"), 7);
        QCOMPARE(ambrel::app::leadingIntValue(u"+3"), 3);
        QCOMPARE(ambrel::app::leadingIntValue(u"-3x"), -3);
        QCOMPARE(ambrel::app::leadingIntValue(u"abc"), 0);
        QCOMPARE(ambrel::app::leadingIntValue(u""), 0);
        QCOMPARE(ambrel::app::leadingIntValue(u"- 1"), 0);
        QCOMPARE(ambrel::app::leadingIntValue(u"99999999999999999999"), INT_MAX);
        QCOMPARE(ambrel::app::leadingIntValue(u"-99999999999999999999"), INT_MIN);
    }
};

class UpdateWindowTest : public QObject
{
    Q_OBJECT

    struct Harness
    {
        statstest::LoopbackServer server;
        statstest::LogLines log;
        std::vector<QUrl> opened;
        std::unique_ptr<NSWindowControllerCheckUpdateApp> window;

        explicit Harness(const QString& currentVersion = QStringLiteral("1.2"), bool withServer = true,
                         std::chrono::milliseconds timeout = std::chrono::milliseconds(400),
                         std::chrono::milliseconds deadline = std::chrono::milliseconds(15000),
                         const QString& address = QString())
        {
            NSWindowControllerCheckUpdateApp::Options options;
            options.updateAddress = !address.isEmpty() ? address : withServer ? server.address() : QString();
            options.deadline = deadline;
            options.currentVersion = currentVersion;
            options.timeout = timeout;
            options.tick = std::chrono::milliseconds(50);
            options.openUrl = [this](const QUrl& url) { opened.push_back(url); };
            options.log = log.sink();
            window = std::make_unique<NSWindowControllerCheckUpdateApp>(options);
        }
    };

    static bool showsUpToDate(const NSWindowControllerCheckUpdateApp& window)
    {
        return window.NewVersionTitle()->isVisible() && window.NewVersionTitle()->text() == kUpToDate &&
               window.NewVersionTitleScrollView()->isVisible() && !window.UpdateAppButton()->isVisible() &&
               !window.LoadingShow()->isVisible() && !window.NSTimerLoad()->isActive();
    }

    static bool showsNewer(const NSWindowControllerCheckUpdateApp& window)
    {
        return window.NewVersionTitle()->isVisible() && window.NewVersionTitle()->text() == kNewer &&
               window.UpdateAppButton()->isVisible() && !window.NewVersionTitleScrollView()->isVisible() &&
               !window.LoadingShow()->isVisible() && !window.NSTimerLoad()->isActive();
    }

    // The check ended as a failed one, with this reason, and offers nothing.
    static bool showsFailure(const NSWindowControllerCheckUpdateApp& window, const QString& reason)
    {
        return window.NewVersionTitle()->isVisible() &&
               window.NewVersionTitle()->text() == QStringLiteral("检查更新失败：") + reason &&
               window.failureReason() == reason && !window.NewVersionTitleScrollView()->isVisible() &&
               !window.UpdateAppButton()->isVisible() && !window.LoadingShow()->isVisible() &&
               !window.NSTimerLoad()->isActive() && window.strUrlDownload().isEmpty();
    }

private slots:
    void initTestCase()
    {
        statstest::LoopbackServer probe;
        QVERIFY(probe.isListening());
    }

    void windowTextsAndTimer()
    {
        // Default options: nothing is shown, so nothing is sent either.
        NSWindowControllerCheckUpdateApp window;
        QCOMPARE(window.windowTitle(), QStringLiteral("检查更新"));
        QCOMPARE(window.UpdateAppButton()->text(), QStringLiteral("立即更新"));
        QCOMPARE(window.CloesButton()->text(), QStringLiteral("关闭"));
        QCOMPARE(window.NSTimerLoad()->interval(), 1000);
        QVERIFY(!window.NSTimerLoad()->isSingleShot());
        QVERIFY(!(window.windowFlags() & Qt::WindowMinimizeButtonHint));
        QVERIFY(!(window.windowFlags() & Qt::WindowMaximizeButtonHint));
        QVERIFY(!window.testAttribute(Qt::WA_QuitOnClose));
        QCOMPARE(QString::fromLatin1(ambrel::app::kUpdateDocumentPath), QStringLiteral("/macos/newversionex.htm"));
    }

    void newerVersionOffersTheDownload()
    {
        Harness h;
        h.server.setStandingAnswer(
            "{\"version\": \"1.2.1\", \"info\": \"Faster grids.\\nFixes.\", \"download\": "
            "\"https://ambrel.invalid/ambrel-1.2.1.deb\"}");
        h.window->Show();
        QVERIFY(QTest::qWaitForWindowExposed(h.window.get()));
        // Checking: the spinner turns, the verdict and the button are hidden.
        QVERIFY(h.window->isLoadUrl());
        QVERIFY(h.window->LoadingShow()->isVisible());
        QVERIFY(h.window->LoadingShow()->isAnimating());
        QVERIFY(!h.window->NewVersionTitle()->isVisible());
        QVERIFY(!h.window->UpdateAppButton()->isVisible());
        QVERIFY(h.window->NSTimerLoad()->isActive());

        QTRY_VERIFY_WITH_TIMEOUT(showsNewer(*h.window), 10000);
        QVERIFY(!h.window->isLoadUrl());
        QCOMPARE(h.window->UpdateInfo()->toPlainText(), QStringLiteral("Faster grids.\nFixes."));
        QCOMPARE(h.window->strUrlDownload(), QStringLiteral("https://ambrel.invalid/ambrel-1.2.1.deb"));
        QCOMPARE(h.server.requests().size(), 1);
        QCOMPARE(h.server.requests()[0].method, QByteArray("GET"));
        QCOMPARE(h.server.requests()[0].path, QByteArray("/macos/newversionex.htm"));

        // The stopped timer never turns the verdict into "up to date".
        QTest::qWait(300);
        QVERIFY(showsNewer(*h.window));

        QTest::mouseClick(h.window->UpdateAppButton(), Qt::LeftButton);
        QCOMPARE(h.opened.size(), std::size_t{1});
        QCOMPARE(h.opened[0], QUrl(QStringLiteral("https://ambrel.invalid/ambrel-1.2.1.deb")));
        QVERIFY(h.log.lines.isEmpty());
    }

    void equalVersionIsUpToDate()
    {
        Harness h(QStringLiteral("1.2"));
        h.server.setStandingAnswer(
            "{\"version\": \"1.2.0\", \"info\": \"Nothing new\", \"download\": \"https://ambrel.invalid/x\"}");
        h.window->Show();
        QTRY_VERIFY_WITH_TIMEOUT(showsUpToDate(*h.window), 10000);
        QCOMPARE(h.server.requests().size(), 1);
        QVERIFY(h.window->UpdateInfo()->toPlainText().isEmpty());
        QVERIFY(h.window->strUrlDownload().isEmpty());
        h.window->UpdateButtonEvent();
        QVERIFY(h.opened.empty());
    }

    void newerVersionWithoutInfoHasEmptyNotes()
    {
        Harness h(QStringLiteral("1.9"));
        h.server.setStandingAnswer("{\"version\": \"1.10\", \"download\": \"https://ambrel.invalid/new\"}");
        h.window->Show();
        QTRY_VERIFY_WITH_TIMEOUT(showsNewer(*h.window), 10000);
        QVERIFY(h.window->UpdateInfo()->toPlainText().isEmpty());
        QVERIFY(h.window->UpdateInfo()->isVisible());
    }

    void olderVersionIsUpToDate()
    {
        Harness h;
        h.server.setStandingAnswer("{\"version\": \"1.1.9\", \"download\": \"https://ambrel.invalid/x\"}");
        h.window->Show();
        QTRY_VERIFY_WITH_TIMEOUT(showsUpToDate(*h.window), 10000);
        QCOMPARE(h.server.requests().size(), 1);
        h.window->UpdateButtonEvent();
        QVERIFY(h.opened.empty());
        QVERIFY(h.log.lines.isEmpty());
    }

    void unreadableAnswerReportsAFailedCheck_data()
    {
        QTest::addColumn<QByteArray>("answer");
        QTest::newRow("not JSON") << QByteArray("<html><body>Not found</body></html>");
        QTest::newRow("empty") << QByteArray();
        QTest::newRow("version is not text")
            << QByteArray("{\"version\": 9, \"download\": \"https://ambrel.invalid/x\"}");
        QTest::newRow("no version") << QByteArray("{\"info\": \"x\", \"download\": \"https://ambrel.invalid/x\"}");
        QTest::newRow("a bare text") << QByteArray("\"9.0\"");
        QTest::newRow("an array") << QByteArray("[{\"version\": \"9.0\"}]");
        QTest::newRow("control bytes and a forged log line")
            << (QByteArray("oops\r\nupdate check: all fine\x1b[2J\x07") + QByteArray(5000, 'x'));
    }

    void unreadableAnswerReportsAFailedCheck()
    {
        QFETCH(QByteArray, answer);
        Harness h;
        h.server.setStandingAnswer(answer);
        h.window->Show();
        QTRY_VERIFY_WITH_TIMEOUT(showsFailure(*h.window, kUnreadable), 10000);
        QCOMPARE(h.server.requests().size(), 1);
        h.window->UpdateButtonEvent();
        QVERIFY(h.opened.empty());
        // The server's text reaches the log as one quoted, shortened line.
        QCOMPARE(h.log.lines.size(), 1);
        QVERIFY2(isSafeLogLine(h.log.lines[0]), qPrintable(h.log.lines[0]));
        QVERIFY(h.log.lines[0].startsWith(QStringLiteral("update check failed: unreadable answer \"")));
    }

    void downloadOfferedOnlyForHttpsOrTheUpdateServer_data()
    {
        QTest::addColumn<QString>("download");
        QTest::addColumn<bool>("offered");
        QTest::newRow("https") << "https://ambrel.invalid/ambrel-9.0.deb" << true;
        QTest::newRow("on the update server") << "SERVER/files/ambrel-9.0.deb" << true;
        QTest::newRow("a local file") << "file:///etc/passwd" << false;
        QTest::newRow("plain http elsewhere") << "http://ambrel.invalid/ambrel-9.0.deb" << false;
        QTest::newRow("update server's host, other port") << "http://127.0.0.1:1/ambrel-9.0.deb" << false;
        QTest::newRow("https without a host") << "https:///ambrel-9.0.deb" << false;
        QTest::newRow("a relative path") << "ambrel-9.0.deb" << false;
        QTest::newRow("a script") << "javascript:alert(1)" << false;
        QTest::newRow("missing") << "" << false;
    }

    void downloadOfferedOnlyForHttpsOrTheUpdateServer()
    {
        QFETCH(QString, download);
        QFETCH(bool, offered);
        Harness h;
        download.replace(QStringLiteral("SERVER"), h.server.address());
        QJsonObject answer{{"version", "9.0"}, {"download", download}};
        h.server.setStandingAnswer(QJsonDocument(answer).toJson());
        h.window->Show();
        if (offered) {
            QTRY_VERIFY_WITH_TIMEOUT(showsNewer(*h.window), 10000);
            h.window->UpdateButtonEvent();
            QCOMPARE(h.opened.size(), std::size_t{1});
            QCOMPARE(h.opened[0], QUrl(download));
            return;
        }
        QTRY_VERIFY_WITH_TIMEOUT(showsFailure(*h.window, QStringLiteral("更新服务器给出的下载地址无效")), 10000);
        h.window->UpdateButtonEvent();
        QVERIFY(h.opened.empty());
        QCOMPARE(h.log.lines.size(), 1);
        QVERIFY2(isSafeLogLine(h.log.lines[0]), qPrintable(h.log.lines[0]));
    }

    void hugeAnswerReportsAFailedCheck()
    {
        // A newer version whose notes run past 64 KB: dropped, not read whole.
        Harness h;
        h.server.setStandingAnswer("{\"version\": \"9.0\", \"download\": \"https://ambrel.invalid/x\", \"info\": \"" +
                                   QByteArray(1 << 20, 'a') + "\"}");
        h.window->Show();
        QTRY_VERIFY_WITH_TIMEOUT(showsFailure(*h.window, QStringLiteral("更新服务器的回答过大")), 10000);
        QVERIFY(h.window->UpdateInfo()->toPlainText().isEmpty());
        QCOMPARE(h.log.lines,
                 QStringList{QStringLiteral("update check failed: the answer is larger than 65536 bytes")});
    }

    void tricklingServerFailsAtTheDeadline()
    {
        // A byte every 100 ms never trips the 400 ms idle time-out; the whole
        // answer would take 6 s, past the 1 s deadline.
        Harness h(QStringLiteral("1.2"), true, std::chrono::milliseconds(400), std::chrono::milliseconds(1000));
        h.server.setTrickle(std::chrono::milliseconds(100));
        h.server.setStandingAnswer("{\"version\": \"9.0\", \"download\": \"https://ambrel.invalid/ambrel.deb\"}");
        h.window->Show();
        QTRY_VERIFY_WITH_TIMEOUT(showsFailure(*h.window, QStringLiteral("更新服务器响应超时")), 10000);
        QCOMPARE(h.log.lines, QStringList{QStringLiteral("update check failed: no complete answer within 1000 ms")});
    }

    void unreachableServerReportsAFailedCheck()
    {
        QString address;
        {
            statstest::LoopbackServer gone;
            address = gone.address();
        }  // nothing listens there any more
        Harness h(QStringLiteral("1.2"), true, std::chrono::milliseconds(400), std::chrono::milliseconds(15000),
                  address);
        h.window->Show();
        QTRY_VERIFY_WITH_TIMEOUT(showsFailure(*h.window, QStringLiteral("无法连接更新服务器")), 10000);
        QCOMPARE(h.log.lines.size(), 1);
        QVERIFY(h.log.lines[0].startsWith(QStringLiteral("update check failed: \"")));
    }

    void serverThatNeverAnswersReportsAFailedCheck()
    {
        Harness h(QStringLiteral("1.2"), true, std::chrono::milliseconds(3000));
        h.server.setSilent(true);
        h.window->Show();
        QTRY_COMPARE_WITH_TIMEOUT(h.server.requests().size(), 1, 10000);
        // Still checking while the request waits, tick after tick.
        QTest::qWait(300);
        QVERIFY(h.window->isLoadUrl());
        QVERIFY(h.window->LoadingShow()->isVisible());
        QVERIFY(!h.window->NewVersionTitle()->isVisible());
        QTRY_VERIFY_WITH_TIMEOUT(showsFailure(*h.window, QStringLiteral("更新服务器响应超时")), 10000);
    }

    void buildWithoutServerSendsNothing()
    {
        Harness h(QStringLiteral("1.2"), false);
        h.window->Show();
        QVERIFY(!h.window->isLoadUrl());
        QCOMPARE(h.log.lines, QStringList{QStringLiteral("update check skipped: this build has no update server")});
        QTRY_VERIFY_WITH_TIMEOUT(showsFailure(*h.window, QStringLiteral("未配置更新服务器")), 10000);
        QVERIFY(h.server.requests().isEmpty());
    }

    void updateButtonBeforeAnyCheckDoesNothing()
    {
        Harness h;
        h.window->UpdateButtonEvent();
        QVERIFY(h.opened.empty());
        QVERIFY(h.server.requests().isEmpty());
    }

    void everyShowStartsAFreshCheck()
    {
        Harness h(QStringLiteral("1.0"));
        h.server.queueAnswer("{\"version\": \"2.0\", \"info\": \"Two\", \"download\": \"https://ambrel.invalid/two\"}");
        h.server.setStandingAnswer("{\"version\": \"1.0\"}");
        h.window->Show();
        QTRY_VERIFY_WITH_TIMEOUT(showsNewer(*h.window), 10000);

        h.window->close();
        h.window->Show();
        // Reset at once: checking again, the old verdict and notes gone.
        QVERIFY(h.window->isLoadUrl());
        QVERIFY(!h.window->NewVersionTitle()->isVisible());
        QVERIFY(!h.window->UpdateAppButton()->isVisible());
        QVERIFY(h.window->UpdateInfo()->toPlainText().isEmpty());
        QVERIFY(h.window->LoadingShow()->isVisible());
        QTRY_VERIFY_WITH_TIMEOUT(showsUpToDate(*h.window), 10000);
        QCOMPARE(h.server.requests().size(), 2);
    }

    // The check alone, without a window: one verdict per check, with what
    // the window shows.
    void checkWithoutWindowReportsItsVerdict()
    {
        statstest::LoopbackServer server;
        server.setStandingAnswer("{\"version\": \"2.0\", \"info\": \"Two\", \"download\": \"https://a.invalid/2\"}");
        ambrel::app::UpdateCheckOptions options;
        options.updateAddress = server.address();
        options.currentVersion = QStringLiteral("1.0");
        ambrel::app::UpdateCheck check(options);
        std::vector<ambrel::app::UpdateVerdict> verdicts;
        connect(&check, &ambrel::app::UpdateCheck::finished, this, [&](const auto& v) { verdicts.push_back(v); });
        check.start();
        QVERIFY(check.running());
        QTRY_COMPARE_WITH_TIMEOUT(verdicts.size(), std::size_t{1}, 10000);
        QVERIFY(verdicts[0].kind == ambrel::app::UpdateVerdict::Kind::NewerVersion && !check.running());
        QCOMPARE(verdicts[0].info + verdicts[0].download, QStringLiteral("Twohttps://a.invalid/2"));
    }

    void laterCheckReplacesARunningOne()
    {
        Harness h(QStringLiteral("1.0"));
        h.server.setSilent(true);
        h.window->Show();
        QTRY_COMPARE_WITH_TIMEOUT(h.server.requests().size(), 1, 10000);
        h.server.setSilent(false);
        h.server.setStandingAnswer("{\"version\": \"3.0\", \"download\": \"https://ambrel.invalid/three\"}");
        h.window->CheckUpdate();
        QTRY_VERIFY_WITH_TIMEOUT(showsNewer(*h.window), 10000);
        QCOMPARE(h.server.requests().size(), 2);
        // The abandoned request's end changes nothing.
        QTest::qWait(600);
        QVERIFY(showsNewer(*h.window));
        QCOMPARE(h.window->strUrlDownload(), QStringLiteral("https://ambrel.invalid/three"));
    }
};

}  // namespace

STATSTEST_SUITE("Version", VersionTest);
STATSTEST_SUITE("UpdateWindow", UpdateWindowTest);

#include "update_test.moc"

using namespace ambrel::app;
