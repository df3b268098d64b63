// The usage statistics reporter: builds a small JSON record of the
// application and the machine, enciphers it (AES-128-CBC, PKCS#7 padding),
// encodes it in Base64 and posts it to http://<host>/action.ashx. The server
// answers with a number: 1 or more accepts the report. Its answer is read
// up to 64 KB and within a deadline; its text is quoted before it is logged.
#pragma once

#include <QtCore/QByteArray>
#include <QtCore/QObject>
#include <QtCore/QString>

#include <chrono>
#include <functional>
#include <string>

#include "app/update/reply_limits.h"

class QNetworkAccessManager;
class QNetworkReply;

namespace ambrel::app {

// Deployment values compiled in (AMBREL_STATS_HOST, AMBREL_STATS_KEY,
// AMBREL_STATS_IV); all empty when the build has no statistics server.
QString deployedStatsHost();
QByteArray deployedStatsKey();
// (The IV is configured as 16 characters or as 32 hexadecimal digits.)
QByteArray deployedStatsIv();
// The application's version compiled in (the CMake project version).
QString deployedStatsAppVersion();

// AES-128-CBC with PKCS#7 padding under the 16-byte key and IV, then
// standard Base64 with "=" padding. The empty text when enciphering fails
// (a key or IV that is not 16 bytes long included).
QByteArray encryEncode(const QByteArray& text, const QByteArray& key, const QByteArray& iv);

class UserActionAnalysis : public QObject
{
    Q_OBJECT
public:
    // Report types.
    static constexpr int kInstallation = 1;
    static constexpr int kActivity = 3;

    using Answer = std::function<void(bool accepted)>;
    using Log = std::function<void(const QString& line)>;

    // Texts empty and numbers 0; the key and IV are the compiled-in ones.
    explicit UserActionAnalysis(QObject* parent = nullptr);
    ~UserActionAnalysis() override;

    // The statistics server's host, optionally with ":port".
    void SetDomainName(const QString& domainName) { m_strDomainName = domainName; }
    void SetAppId(unsigned appId) { m_uAppId = appId; }
    void SetVersion(const QString& version) { m_strVersion = version; }
    void SetChannelCode(const QString& channelCode) { m_strChannelCode = channelCode; }
    void SetMachineCode(const QString& machineCode) { m_strMachineCode = machineCode; }
    void SetOS(const QString& os) { m_strOS = os; }
    void SetOSBit(unsigned osBit) { m_uOSBit = osBit; }

    void setCipher(const QByteArray& key, const QByteArray& iv);
    // How long a request may go without progress before it fails (10 s).
    void setTimeout(std::chrono::milliseconds timeout) { mTimeout = timeout; }
    // How long a whole request may take, however steadily data trickles in
    // (15 s). Answers over 64 KB are dropped as refusals.
    void setDeadline(std::chrono::milliseconds deadline) { mDeadline = deadline; }
    // Where log lines go; standard error when empty.
    void setLog(Log log) { mLog = std::move(log); }

    const QString& domainName() const { return m_strDomainName; }
    unsigned appId() const { return m_uAppId; }
    const QString& version() const { return m_strVersion; }
    const QString& channelCode() const { return m_strChannelCode; }
    const QString& machineCode() const { return m_strMachineCode; }
    const QString& os() const { return m_strOS; }
    unsigned osBit() const { return m_uOSBit; }
    // The type of the last report.
    int actionType() const { return m_ActionType; }

    // True when a report can be sent: a host, and a key and IV of 16 bytes.
    bool canReport() const;

    // The report record of the given type as styled JSON text.
    std::string reportRecord(int type) const;
    // The text enciphered and encoded with this reporter's key and IV.
    QByteArray EncryEncode(const QByteArray& text) const;

    // Sends a report. With `wait`, runs a local event loop until the answer
    // (or the time-out) and gives whether the server accepted it; without,
    // gives true at once and ignores the answer. False, with nothing sent,
    // when canReport() is false.
    bool ProductAction(int type, bool wait);
    // Sends a report and calls `answered` on this object's thread when the
    // answer is judged. Returns at once.
    void ProductAction(int type, Answer answered);

private:
    bool judge(QNetworkReply* reply);
    void log(const QString& line) const;

    QString m_strDomainName;
    unsigned m_uAppId = 0;
    QString m_strVersion;
    QString m_strChannelCode;
    QString m_strMachineCode;
    QString m_strOS;
    unsigned m_uOSBit = 0;
    int m_ActionType = 0;

    QByteArray mKey;
    QByteArray mIv;
    std::chrono::milliseconds mTimeout{10000};
    std::chrono::milliseconds mDeadline = kAnswerDeadline;
    Log mLog;
    QNetworkAccessManager* mNetwork = nullptr;
};

}  // namespace ambrel::app
