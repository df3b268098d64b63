// The usage statistics: the cipher, the record, the machine and channel
// codes, the operating-system text, and the start-up reports against a
// loopback statistics server that deciphers what it receives.
#include <QtCore/QDir>
#include <QtCore/QJsonDocument>
#include <QtCore/QJsonObject>
#include <QtCore/QRegularExpression>
#include <QtCore/QTemporaryDir>
#include <QtCore/QTimer>
#include <QtTest/QSignalSpy>
#include <QtTest/QTest>

#include <memory>
#include <optional>
#include <tuple>

#include "app/stats/machine_identity.h"
#include "app/stats/usage_statistics.h"
#include "app/stats/user_action_analysis.h"
#include "app/user_info.h"
#include "tests/stats/loopback_server.h"
#include "tests/stats/stats_test_support.h"

using ambrel::app::UsageOptions;
using ambrel::app::UsageStatistics;
using ambrel::app::UserActionAnalysis;

namespace {

void writeFile(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(file.write(bytes), bytes.size());
}

class CipherTest : public QObject
{
    Q_OBJECT
private slots:
    void knownAnswers()
    {
        // Reference values from `openssl enc -aes-128-cbc -K ... -iv ... -base64`.
        QCOMPARE(ambrel::app::encryEncode("Ambrel says hi!!", statstest::kTestKey, statstest::kTestIv),
                 QByteArray("9Yj1iwTWEJplOytzmC5wXGZf/k2JqB93WmvLcqe/MFQ="));
        QCOMPARE(ambrel::app::encryEncode("abc", statstest::kTestKey,
                                          QByteArray::fromHex("000102030405060708090a0b0c0d0e0f")),
                 QByteArray("ldTNzow6LGvnKStYq05BGg=="));
    }

    void paddingAlwaysAddsOneToSixteenBytes_data()
    {
        QTest::addColumn<int>("plainBytes");
        QTest::addColumn<int>("cipherBytes");
        QTest::addColumn<int>("base64Chars");
        QTest::newRow("empty") << 0 << 16 << 24;
        QTest::newRow("one") << 1 << 16 << 24;
        QTest::newRow("fifteen") << 15 << 16 << 24;
        QTest::newRow("a whole block") << 16 << 32 << 44;
        QTest::newRow("seventeen") << 17 << 32 << 44;
        QTest::newRow("two blocks") << 32 << 48 << 64;
    }

    void paddingAlwaysAddsOneToSixteenBytes()
    {
        QFETCH(int, plainBytes);
        QFETCH(int, cipherBytes);
        QFETCH(int, base64Chars);
        const QByteArray plain(plainBytes, 'x');
        const QByteArray encoded = ambrel::app::encryEncode(plain, statstest::kTestKey, statstest::kTestIv);
        QCOMPARE(encoded.size(), base64Chars);
        QCOMPARE(QByteArray::fromBase64(encoded).size(), cipherBytes);
        QVERIFY(
            QRegularExpression(QStringLiteral("^[A-Za-z0-9+/]+=*$")).match(QString::fromLatin1(encoded)).hasMatch());
        QCOMPARE(statstest::decodeAndDecipher(encoded, statstest::kTestKey, statstest::kTestIv), plain);
    }

    void keyAndIvMustBeSixteenBytes()
    {
        QVERIFY(ambrel::app::encryEncode("text", "short", statstest::kTestIv).isEmpty());
        QVERIFY(ambrel::app::encryEncode("text", statstest::kTestKey, "0123456789abcdefX").isEmpty());
        QVERIFY(ambrel::app::encryEncode("text", {}, {}).isEmpty());
        UserActionAnalysis reporter;
        reporter.setCipher(statstest::kTestKey, statstest::kTestIv);
        QCOMPARE(reporter.EncryEncode("Ambrel says hi!!"), QByteArray("9Yj1iwTWEJplOytzmC5wXGZf/k2JqB93WmvLcqe/MFQ="));
    }

    void recordIsStyledJson()
    {
        UserActionAnalysis reporter;
        QCOMPARE(reporter.appId(), 0u);
        QVERIFY(reporter.version().isEmpty());
        reporter.SetAppId(25);
        reporter.SetVersion(QStringLiteral("1.0.0"));
        reporter.SetChannelCode(QStringLiteral("0"));
        reporter.SetMachineCode(QStringLiteral("75f0163a03e2c5bd"));
        reporter.SetOS(QStringLiteral("Linux-12"));
        QCOMPARE(QString::fromStdString(reporter.reportRecord(3)),
                 QStringLiteral("{\n"
                                "   \"AppId\" : 25,\n"
                                "   \"ChannelCode\" : \"0\",\n"
                                "   \"MachineCode\" : \"75f0163a03e2c5bd\",\n"
                                "   \"Os\" : \"Linux-12\",\n"
                                "   \"OsBit\" : 0,\n"
                                "   \"TypeId\" : 3,\n"
                                "   \"Version\" : \"1.0.0\"\n"
                                "}\n"));
        reporter.SetOSBit(64);
        const QJsonObject record =
            QJsonDocument::fromJson(QByteArray::fromStdString(reporter.reportRecord(1))).object();
        QCOMPARE(record.value("OsBit").toInt(), 64);
        QCOMPARE(record.value("TypeId").toInt(), 1);
    }
};

class IdentityTest : public QObject
{
    Q_OBJECT
private slots:
    void machineCodeFromSixBytes()
    {
        // md5("0:28:66:1:2:255") = 75f0163a03e2c5bd3d06f8ab37f0e4b7
        QCOMPARE(ambrel::app::machineCodeFromHardwareAddress(QByteArray::fromHex("001c420102ff")),
                 QStringLiteral("75f0163a03e2c5bd"));
    }

    void machineCodeOfThisMachine()
    {
        const QByteArray address = ambrel::app::primaryHardwareAddress();
        QVERIFY(address.isEmpty() || address.size() == 6);
        const QString code = ambrel::app::machineCode();
        QVERIFY(QRegularExpression(QStringLiteral("^[0-9a-f]{16}$")).match(code).hasMatch());
        QCOMPARE(code, ambrel::app::machineCodeFromHardwareAddress(address));
        QCOMPARE(ambrel::app::machineCode(), code);  // the same at every start
    }

    void machineCodeFromAPhysicalDevice()
    {
        // Virtual interfaces (no "device" entry) come first by name and look
        // like Ethernet, but get a new address at every boot.
        QTemporaryDir net;
        const auto interface = [&net](const QString& name, const QByteArray& address, const QByteArray& type,
                                      bool device, bool wireless = false) {
            QVERIFY(QDir(net.path()).mkpath(name));
            writeFile(net.filePath(name + "/address"), address + "\n");
            writeFile(net.filePath(name + "/type"), type + "\n");
            if (device) {
                QVERIFY(QDir(net.path()).mkpath(name + "/device"));
            }
            if (wireless) {
                QVERIFY(QDir(net.path()).mkpath(name + "/wireless"));
            }
        };
        interface("br-5f1a", "02:42:ac:11:00:01", "1", false);
        interface("docker0", "02:42:9c:3e:51:07", "1", false);
        interface("lo", "00:00:00:00:00:00", "772", false);
        interface("tun0", "", "65534", false);
        interface("veth3c2d1e", "f6:0e:11:2a:b4:c9", "1", false);
        interface("ib0", "80:00:02:08:fe:80:00:00:00:00:00:00:00:02:c9:03:00:0b:11:e1", "32", true);
        interface("wlp2s0", "a4:c3:f0:85:12:07", "1", true, true);
        interface("enp3s0", "00:1c:42:01:02:ff", "1", true);
        QCOMPARE(ambrel::app::primaryHardwareAddress(net.path()).toHex(), QByteArray("001c420102ff"));
        QCOMPARE(ambrel::app::machineCode(net.path()), QStringLiteral("75f0163a03e2c5bd"));

        // Without the wired device, the wireless one; without any, nothing.
        QVERIFY(QDir(net.filePath("enp3s0")).removeRecursively());
        QCOMPARE(ambrel::app::primaryHardwareAddress(net.path()).toHex(), QByteArray("a4c3f0851207"));
        QVERIFY(QDir(net.filePath("wlp2s0")).removeRecursively());
        QVERIFY(ambrel::app::primaryHardwareAddress(net.path()).isEmpty());
        QVERIFY(ambrel::app::primaryHardwareAddress(net.filePath("missing")).isEmpty());

        // No physical device (a container): the installation's machine id
        // tells the machine, the same at every boot.
        const QString machineId = net.filePath("machine-id");
        QFile idFile(machineId);
        QVERIFY(idFile.open(QIODevice::WriteOnly));
        idFile.write("b08dfa6083e7567a1921a715000001fb\n");
        idFile.close();
        QCOMPARE(ambrel::app::machineCode(net.path(), machineId), QStringLiteral("3d07d1a1d7bce29e"));
        QCOMPARE(ambrel::app::machineCode(net.path(), net.filePath("no-such-file")),
                 QStringLiteral("d41d8cd98f00b204"));
    }

    void operatingSystemText()
    {
        QTemporaryDir dir;
        const QString quoted = dir.filePath("quoted");
        writeFile(quoted,
                  "PRETTY_NAME=\"Debian GNU/Linux 12 (bookworm)\"\nNAME=\"Debian "
                  "GNU/Linux\"\nVERSION_ID=\"12\"\nID=debian\n");
        const QString bare = dir.filePath("bare");
        writeFile(bare, "ID=ubuntu\nVERSION_ID=24.04\n");
        const QString without = dir.filePath("without");
        writeFile(without, "ID=arch\nBUILD_ID=rolling\n");
        const QString empty = dir.filePath("empty");
        writeFile(empty, "VERSION_ID=\"\"\n");
        const QString missing = dir.filePath("missing");

        QCOMPARE(ambrel::app::operatingSystemText({quoted}), QStringLiteral("Linux-12"));
        QCOMPARE(ambrel::app::operatingSystemText({bare}), QStringLiteral("Linux-24.04"));
        QCOMPARE(ambrel::app::operatingSystemText({without}), QStringLiteral("Linux"));
        QCOMPARE(ambrel::app::operatingSystemText({empty}), QStringLiteral("Linux"));
        QCOMPARE(ambrel::app::operatingSystemText({missing}), QStringLiteral("Linux"));
        // The first file that exists decides.
        QCOMPARE(ambrel::app::operatingSystemText({missing, bare, quoted}), QStringLiteral("Linux-24.04"));
        QCOMPARE(ambrel::app::operatingSystemText({without, quoted}), QStringLiteral("Linux"));
        QVERIFY(ambrel::app::operatingSystemText().startsWith(QStringLiteral("Linux")));
    }

    void channelCodeOrder()
    {
        QTemporaryDir dir;
        ambrel::app::UserInfo settings(dir.path());
        const ambrel::app::SettingsAccess access = ambrel::app::settingsAccessOf(settings);

        // A Configuration file as another program writes it: other keys and
        // types first.
        const QString configuration = dir.filePath("Configuration.plist");
        writeFile(configuration,
                  "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                  "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
                  "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
                  "<plist version=\"1.0\">\n<dict>\n"
                  "\t<key>Build</key>\n\t<integer>7</integer>\n"
                  "\t<key>Nested</key>\n\t<dict><key>Partner</key><string>wrong</string></dict>\n"
                  "\t<key>Partner</key>\n\t<string>p-118</string>\n"
                  "</dict>\n</plist>\n");
        QCOMPARE(ambrel::app::propertyListString(configuration, QStringLiteral("Partner")), QStringLiteral("p-118"));
        QVERIFY(ambrel::app::propertyListString(configuration, QStringLiteral("Build")).isEmpty());
        QVERIFY(ambrel::app::propertyListString(dir.filePath("none.plist"), QStringLiteral("Partner")).isEmpty());

        // Nothing anywhere: "0", and it is stored.
        QCOMPARE(ambrel::app::channelCode(access, {dir.filePath("none.plist")}), QStringLiteral("0"));
        QCOMPARE(settings.ReadData(ambrel::app::kPartnerKey), QStringLiteral("0"));
        // A stored code wins over the Configuration file.
        QCOMPARE(ambrel::app::channelCode(access, {configuration}), QStringLiteral("0"));
        settings.WriteData(QString(), ambrel::app::kPartnerKey);
        QCOMPARE(ambrel::app::channelCode(access, {dir.filePath("none.plist"), configuration}),
                 QStringLiteral("p-118"));
        // Stored in the settings file: a new store reads it back.
        ambrel::app::UserInfo reopened(dir.path());
        QCOMPARE(reopened.ReadData(ambrel::app::kPartnerKey), QStringLiteral("p-118"));

        // A file written by the settings store's own writer reads the same.
        const QString written = dir.filePath("written.plist");
        QVERIFY(ambrel::app::writePropertyList(written, {{QStringLiteral("A"), QStringLiteral("1")},
                                                         {QStringLiteral("Partner"), QStringLiteral("中文 & <x>")}}));
        QCOMPARE(ambrel::app::propertyListString(written, QStringLiteral("Partner")), QStringLiteral("中文 & <x>"));
    }
};

// One start of the application's statistics against the loopback server.
class ReportsTest : public QObject
{
    Q_OBJECT

    struct Start
    {
        std::unique_ptr<UsageStatistics> statistics;
        statstest::LogLines log;
    };

    static UsageOptions options(const statstest::LoopbackServer& server, QDate today)
    {
        UsageOptions options;
        options.host = server.hostAndPort();
        options.key = statstest::kTestKey;
        options.iv = statstest::kTestIv;
        options.configurationFiles = QStringList();
        options.today = [today] { return today; };
        options.timeout = std::chrono::milliseconds(2000);
        return options;
    }

    // Starts the statistics and waits (bounded) until both reports are done.
    static void startAndFinish(Start& start, ambrel::app::UserInfo& settings, UsageOptions options)
    {
        options.log = start.log.sink();
        start.statistics =
            std::make_unique<UsageStatistics>(ambrel::app::settingsAccessOf(settings), std::move(options));
        QSignalSpy finished(start.statistics.get(), &UsageStatistics::finished);
        start.statistics->start();
        QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 1, 15000);
        QVERIFY(!start.statistics->isRunning());
    }

    // The record a post carries, as the server deciphers it.
    static QJsonObject record(const statstest::HttpRequest& request)
    {
        const QByteArray plain = statstest::decodeAndDecipher(request.body, statstest::kTestKey, statstest::kTestIv);
        return QJsonDocument::fromJson(plain).object();
    }

    static QDate day() { return {2024, 3, 5}; }

private slots:
    void initTestCase()
    {
        statstest::LoopbackServer probe;
        QVERIFY(probe.isListening());
    }

    void firstStartReportsInstallationAndActivity()
    {
        statstest::LoopbackServer server;
        QTemporaryDir cache;
        ambrel::app::UserInfo settings(cache.path());
        Start start;
        UsageOptions opts = options(server, day());
        opts.log = start.log.sink();
        start.statistics = std::make_unique<UsageStatistics>(ambrel::app::settingsAccessOf(settings), opts);
        QSignalSpy finished(start.statistics.get(), &UsageStatistics::finished);
        start.statistics->start();
        // start() does not wait for the network: nothing has reached the
        // server yet, and the window's events run before any answer.
        QVERIFY(start.statistics->isRunning());
        QVERIFY(server.requests().isEmpty());
        QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 1, 15000);

        QCOMPARE(server.requests().size(), 2);
        const QString machine = ambrel::app::machineCode();
        for (int i = 0; i < 2; ++i) {
            const statstest::HttpRequest& request = server.requests()[i];
            QCOMPARE(request.method, QByteArray("POST"));
            QCOMPARE(request.path, QByteArray("/action.ashx"));
            QCOMPARE(request.headers.value("content-length"), QByteArray::number(request.body.size()));
            QCOMPARE(request.headers.value("host"), server.hostAndPort().toLatin1());
            QVERIFY(QRegularExpression(QStringLiteral("^[A-Za-z0-9+/]+=*$"))
                        .match(QString::fromLatin1(request.body))
                        .hasMatch());
            QCOMPARE(request.body.size() % 4, 0);
            const QJsonObject sent = record(request);
            QCOMPARE(sent.size(), 7);
            QCOMPARE(sent.value("TypeId").toInt(), i == 0 ? 1 : 3);
            QCOMPARE(sent.value("AppId").toInt(), 25);
            QCOMPARE(sent.value("OsBit").toInt(), 0);
            QVERIFY(sent.value("AppId").isDouble());
            QVERIFY(sent.value("ChannelCode").isString());
            QCOMPARE(sent.value("ChannelCode").toString(), QStringLiteral("0"));
            QCOMPARE(sent.value("Version").toString(), QStringLiteral(AMBREL_TEST_VERSION));
            QCOMPARE(sent.value("MachineCode").toString(), machine);
            QCOMPARE(sent.value("Os").toString(), ambrel::app::operatingSystemText());
        }
        QCOMPARE(start.statistics->reporter().actionType(), UserActionAnalysis::kActivity);
        QVERIFY(start.log.lines.isEmpty());

        QCOMPARE(settings.ReadData(ambrel::app::kUploadInstallationKey), QStringLiteral("1"));
        QCOMPARE(settings.ReadData(ambrel::app::kUploadActiveKey), QStringLiteral("2024/03/05"));
        QCOMPARE(settings.ReadData(ambrel::app::kPartnerKey), QStringLiteral("0"));
        // In the settings file, beside what the window keeps there.
        settings.WriteData(QStringLiteral("/photos"), QStringLiteral("SavePathKey"));
        ambrel::app::UserInfo reopened(cache.path());
        QCOMPARE(reopened.ReadData(ambrel::app::kUploadInstallationKey), QStringLiteral("1"));
        QCOMPARE(reopened.ReadData(ambrel::app::kUploadActiveKey), QStringLiteral("2024/03/05"));
        QCOMPARE(reopened.ReadData(QStringLiteral("SavePathKey")), QStringLiteral("/photos"));
    }

    void activityOncePerDay()
    {
        statstest::LoopbackServer server;
        QTemporaryDir cache;
        ambrel::app::UserInfo settings(cache.path());
        {
            Start first;
            startAndFinish(first, settings, options(server, day()));
        }
        QCOMPARE(server.requests().size(), 2);

        // Again the same day: nothing to send.
        Start second;
        startAndFinish(second, settings, options(server, day()));
        QCOMPARE(server.requests().size(), 2);

        // The next day: the activity report only.
        Start third;
        startAndFinish(third, settings, options(server, day().addDays(1)));
        QCOMPARE(server.requests().size(), 3);
        QCOMPARE(record(server.requests()[2]).value("TypeId").toInt(), 3);
        QCOMPARE(settings.ReadData(ambrel::app::kUploadActiveKey), QStringLiteral("2024/03/06"));
        QCOMPARE(settings.ReadData(ambrel::app::kUploadInstallationKey), QStringLiteral("1"));

        // A day in another year, and a date the mark never held.
        Start fourth;
        startAndFinish(fourth, settings, options(server, QDate(2025, 12, 31)));
        QCOMPARE(server.requests().size(), 4);
        QCOMPARE(settings.ReadData(ambrel::app::kUploadActiveKey), QStringLiteral("2025/12/31"));
    }

    void refusalsLeaveTheMarksUnset_data()
    {
        QTest::addColumn<QByteArray>("answer");
        QTest::newRow("zero") << QByteArray("0");
        QTest::newRow("text") << QByteArray("error: bad record");
        QTest::newRow("negative") << QByteArray("-1");
        QTest::newRow("empty") << QByteArray();
    }

    void refusalsLeaveTheMarksUnset()
    {
        QFETCH(QByteArray, answer);
        statstest::LoopbackServer server;
        server.setStandingAnswer(answer);
        QTemporaryDir cache;
        ambrel::app::UserInfo settings(cache.path());
        Start start;
        startAndFinish(start, settings, options(server, day()));
        QCOMPARE(server.requests().size(), 2);
        QVERIFY(settings.ReadData(ambrel::app::kUploadInstallationKey).isEmpty());
        QVERIFY(settings.ReadData(ambrel::app::kUploadActiveKey).isEmpty());
        const QString line =
            QStringLiteral("【日志】[ProductAction]ProductAction - Error:\"") + QString::fromUtf8(answer) + u'"';
        QCOMPARE(start.log.lines, (QStringList{line, line}));

        // The next start tries both again; this time the server accepts.
        server.setStandingAnswer("1");
        Start again;
        startAndFinish(again, settings, options(server, day()));
        QCOMPARE(server.requests().size(), 4);
        QCOMPARE(settings.ReadData(ambrel::app::kUploadInstallationKey), QStringLiteral("1"));
        QCOMPARE(settings.ReadData(ambrel::app::kUploadActiveKey), QStringLiteral("2024/03/05"));
    }

    void hugeAnswerIsARefusal()
    {
        // "1" and a megabyte more: dropped past 64 KB, never read whole.
        statstest::LoopbackServer server;
        server.setStandingAnswer("1" + QByteArray(1 << 20, ' '));
        QTemporaryDir cache;
        ambrel::app::UserInfo settings(cache.path());
        Start start;
        startAndFinish(start, settings, options(server, day()));
        QCOMPARE(server.requests().size(), 2);
        QVERIFY(settings.ReadData(ambrel::app::kUploadInstallationKey).isEmpty());
        QVERIFY(settings.ReadData(ambrel::app::kUploadActiveKey).isEmpty());
        const QString line =
            QStringLiteral("【日志】[ProductAction]ProductAction - Error:answer larger than 65536 bytes dropped");
        QCOMPARE(start.log.lines, (QStringList{line, line}));
    }

    void tricklingServerIsCutOffAtTheDeadline()
    {
        // A byte every 100 ms never trips the idle time-out; the whole answer
        // would take 3 s, past the 600 ms deadline.
        statstest::LoopbackServer server;
        server.setTrickle(std::chrono::milliseconds(100));
        server.setStandingAnswer("1" + QByteArray(29, ' '));
        QTemporaryDir cache;
        ambrel::app::UserInfo settings(cache.path());
        UsageOptions opts = options(server, day());
        opts.deadline = std::chrono::milliseconds(600);
        Start start;
        startAndFinish(start, settings, opts);
        QCOMPARE(server.requests().size(), 2);
        QVERIFY(settings.ReadData(ambrel::app::kUploadInstallationKey).isEmpty());
        QVERIFY(settings.ReadData(ambrel::app::kUploadActiveKey).isEmpty());
        const QString unknown = QStringLiteral("【日志】[ProductAction]ProductAction - unknownError");
        QCOMPARE(start.log.lines, (QStringList{unknown, unknown}));
    }

    void serverTextIsQuotedAndShortenedInTheLog()
    {
        statstest::LoopbackServer server;
        server.setStandingAnswer("0\r\n【日志】[ProductAction]forged\x1b[2J\t\"" + QByteArray(5000, 'x'));
        QTemporaryDir cache;
        ambrel::app::UserInfo settings(cache.path());
        Start start;
        startAndFinish(start, settings, options(server, day()));
        QCOMPARE(start.log.lines.size(), 2);
        const QString expected = QStringLiteral(
                                     "【日志】[ProductAction]ProductAction - Error:\"0\\r\\n【日志】[ProductAction]"
                                     "forged\\u001b[2J\\t\\\"") +
                                 QString(200 - 34, u'x') + QStringLiteral("\" (4834 more characters)");
        QCOMPARE(start.log.lines[0], expected);
        QCOMPARE(start.log.lines[1], expected);
    }

    void answersJudgedByTheirLeadingInteger()
    {
        statstest::LoopbackServer server;
        QTemporaryDir cache;
        ambrel::app::UserInfo settings(cache.path());
        // Installation refused, activity accepted: only the activity mark.
        server.queueAnswer("0 refused");
        server.queueAnswer(" 2 accepted\r\n");
        Start start;
        startAndFinish(start, settings, options(server, day()));
        QVERIFY(settings.ReadData(ambrel::app::kUploadInstallationKey).isEmpty());
        QCOMPARE(settings.ReadData(ambrel::app::kUploadActiveKey), QStringLiteral("2024/03/05"));
        QCOMPARE(start.log.lines,
                 QStringList{QStringLiteral("【日志】[ProductAction]ProductAction - Error:\"0 refused\"")});

        // The next start on the same day sends the installation only.
        Start again;
        startAndFinish(again, settings, options(server, day()));
        QCOMPARE(server.requests().size(), 3);
        QCOMPARE(record(server.requests()[2]).value("TypeId").toInt(), 1);
        QCOMPARE(settings.ReadData(ambrel::app::kUploadInstallationKey), QStringLiteral("1"));
    }

    void installationMarkIsReadAsATruthValue()
    {
        statstest::LoopbackServer server;
        QTemporaryDir cache;
        ambrel::app::UserInfo settings(cache.path());
        settings.WriteData(QStringLiteral("  yes"), ambrel::app::kUploadInstallationKey);
        Start start;
        startAndFinish(start, settings, options(server, day()));
        QCOMPARE(server.requests().size(), 1);
        QCOMPARE(record(server.requests()[0]).value("TypeId").toInt(), 3);

        settings.WriteData(QStringLiteral("0"), ambrel::app::kUploadInstallationKey);
        Start again;
        startAndFinish(again, settings, options(server, day()));
        QCOMPARE(server.requests().size(), 2);
        QCOMPARE(record(server.requests()[1]).value("TypeId").toInt(), 1);
    }

    void serverThatNeverAnswersDoesNotHoldUpStartUp()
    {
        statstest::LoopbackServer server;
        server.setSilent(true);
        QTemporaryDir cache;
        ambrel::app::UserInfo settings(cache.path());
        Start start;
        UsageOptions opts = options(server, day());
        opts.timeout = std::chrono::milliseconds(300);
        opts.log = start.log.sink();
        start.statistics = std::make_unique<UsageStatistics>(ambrel::app::settingsAccessOf(settings), opts);
        QSignalSpy finished(start.statistics.get(), &UsageStatistics::finished);
        bool windowEventRan = false;
        start.statistics->start();
        QTimer::singleShot(0, [&] { windowEventRan = finished.isEmpty(); });
        QTRY_COMPARE_WITH_TIMEOUT(server.requests().size(), 1, 10000);
        QVERIFY(windowEventRan);
        QVERIFY(start.statistics->isRunning());
        QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 1, 15000);
        QCOMPARE(server.requests().size(), 2);
        const QString unknown = QStringLiteral("【日志】[ProductAction]ProductAction - unknownError");
        QCOMPARE(start.log.lines, (QStringList{unknown, unknown}));
        QVERIFY(settings.ReadData(ambrel::app::kUploadInstallationKey).isEmpty());
        QVERIFY(settings.ReadData(ambrel::app::kUploadActiveKey).isEmpty());
    }

    void stoppingWhileReportsAreOutCallsNobody()
    {
        statstest::LoopbackServer server;
        server.setSilent(true);
        QTemporaryDir cache;
        ambrel::app::UserInfo settings(cache.path());
        Start start;
        start.statistics =
            std::make_unique<UsageStatistics>(ambrel::app::settingsAccessOf(settings), options(server, day()));
        start.statistics->start();
        QTRY_COMPARE_WITH_TIMEOUT(server.requests().size(), 1, 10000);
        start.statistics.reset();  // the application quits
        QTest::qWait(100);
        QVERIFY(settings.ReadData(ambrel::app::kUploadInstallationKey).isEmpty());
    }

    void buildWithoutServerSendsNothing()
    {
        statstest::LoopbackServer server;
        QTemporaryDir cache;
        ambrel::app::UserInfo settings(cache.path());
        for (const auto& [host, key, iv] :
             {std::tuple{QString(), statstest::kTestKey, statstest::kTestIv},
              std::tuple{server.hostAndPort(), QByteArray(), QByteArray()},
              std::tuple{server.hostAndPort(), statstest::kTestKey, QByteArray("short")}}) {
            UsageOptions opts = options(server, day());
            opts.host = host;
            opts.key = key;
            opts.iv = iv;
            Start start;
            startAndFinish(start, settings, opts);
            QCOMPARE(start.log.lines,
                     QStringList{QStringLiteral("usage statistics skipped: this build has no statistics server")});
            QVERIFY(!start.statistics->reporter().ProductAction(UserActionAnalysis::kActivity, false));
            QVERIFY(!start.statistics->reporter().ProductAction(UserActionAnalysis::kActivity, true));
        }
        QTest::qWait(100);
        QVERIFY(server.requests().isEmpty());
        QVERIFY(settings.ReadData(ambrel::app::kUploadInstallationKey).isEmpty());
        QVERIFY(settings.ReadData(ambrel::app::kUploadActiveKey).isEmpty());
    }

    void defaultBuildHasNoServer()
    {
        if (!ambrel::app::deployedStatsHost().isEmpty()) {
            QSKIP("this build is configured with a statistics server");
        }
        UsageOptions defaults;
        QVERIFY(defaults.host.isEmpty());
        QVERIFY(defaults.key.isEmpty());
        QVERIFY(defaults.iv.isEmpty());
        UserActionAnalysis reporter;
        reporter.SetDomainName(QStringLiteral("127.0.0.1:9"));
        QVERIFY(!reporter.canReport());  // no key compiled in
        QCOMPARE(defaults.version, QStringLiteral(AMBREL_TEST_VERSION));
    }

    void waitingReport()
    {
        statstest::LoopbackServer server;
        UserActionAnalysis reporter;
        reporter.SetDomainName(server.hostAndPort());
        reporter.setCipher(statstest::kTestKey, statstest::kTestIv);
        reporter.setTimeout(std::chrono::milliseconds(2000));
        statstest::LogLines log;
        reporter.setLog(log.sink());
        reporter.SetAppId(25);

        server.queueAnswer("1");
        QVERIFY(reporter.ProductAction(UserActionAnalysis::kInstallation, true));
        QCOMPARE(server.requests().size(), 1);
        QCOMPARE(reporter.actionType(), UserActionAnalysis::kInstallation);

        server.queueAnswer("0");
        QVERIFY(!reporter.ProductAction(UserActionAnalysis::kActivity, true));
        QCOMPARE(log.lines, QStringList{QStringLiteral("【日志】[ProductAction]ProductAction - Error:\"0\"")});

        // Without waiting: true at once, the answer ignored.
        server.queueAnswer("0");
        QVERIFY(reporter.ProductAction(UserActionAnalysis::kActivity, false));
        QCOMPARE(reporter.actionType(), UserActionAnalysis::kActivity);
        QTRY_COMPARE_WITH_TIMEOUT(server.requests().size(), 3, 10000);
        QTest::qWait(100);
        QCOMPARE(log.lines.size(), 1);
        QCOMPARE(record(server.requests()[2]).value("TypeId").toInt(), 3);
    }
};

}  // namespace

STATSTEST_SUITE("Cipher", CipherTest);
STATSTEST_SUITE("Identity", IdentityTest);
STATSTEST_SUITE("Reports", ReportsTest);

#include "stats_test.moc"

using namespace ambrel::app;
