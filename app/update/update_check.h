// The update check without a window: the request to the update server, the
// reading of its answer and the policy on the download address. A window (or
// anything else) starts a check and shows the verdict it reports.
//
// The server answers GET <update address>/macos/newversionex.htm with a JSON
// object: "version" (dot-separated numbers), "info" (release notes) and
// "download" (the address the update button opens).
//
// A check fails when there is no server, on a network error, without a
// complete answer within the deadline, with an answer over 64 KB or one that
// cannot be read, or with a download address that is neither https nor on
// the update server itself. Only a readable answer with a version that is
// not newer is up to date.
#pragma once

#include <QtCore/QCoreApplication>
#include <QtCore/QObject>
#include <QtCore/QPointer>
#include <QtCore/QString>
#include <QtCore/QUrl>

#include <chrono>
#include <functional>

#include "app/common/reply_limits.h"

class QNetworkAccessManager;
class QNetworkReply;

namespace ambrel::app {

// The path of the update document on the update server.
inline constexpr const char* kUpdateDocumentPath = "/macos/newversionex.htm";

// The verdict of a failed check: "%1" is the reason.
inline QString updateCheckFailed(const QString& reason)
{
    return QCoreApplication::translate("CheckUpdate", "检查更新失败：%1").arg(reason);
}

// Whether `download` may be offered to the user: an https address with a
// host, or an address with the update server's own scheme, host and port.
[[nodiscard]] bool isAcceptableDownloadAddress(const QUrl& download, const QUrl& updateServer);

// The update server's address compiled in (AMBREL_UPDATE_URL); empty when
// the build has none.
QString deployedUpdateAddress();
// The application's version compiled in (the CMake project version).
QString deployedApplicationVersion();

struct UpdateCheckOptions
{
    // Scheme, host and optional port, without the document's path. Empty:
    // no request is made and every check ends as a failed one (the menu item
    // is hidden in such a build).
    QString updateAddress = deployedUpdateAddress();
    // The version the server's "version" is compared with.
    QString currentVersion = deployedApplicationVersion();
    // How long a request may go without progress before it fails.
    std::chrono::milliseconds timeout{10000};
    // How long a whole request may take, however steadily data trickles in.
    std::chrono::milliseconds deadline = kAnswerDeadline;
    // The tick of the timer that watches for the end of a request (the window's).
    std::chrono::milliseconds tick{1000};
    // Opens the download address; QDesktopServices::openUrl when empty (the window's).
    std::function<void(const QUrl&)> openUrl;
    // Writes one log line; standard error when empty.
    std::function<void(const QString&)> log;
};

// What a check found.
struct UpdateVerdict
{
    enum class Kind { UpToDate, NewerVersion, Failed };
    Kind kind = Kind::UpToDate;
    QString info;      // NewerVersion: the release notes (may be empty)
    QString download;  // NewerVersion: the download address, accepted by the policy
    QString failure;   // Failed: why, in the user's language
};

class UpdateCheck : public QObject
{
    Q_OBJECT
public:
    explicit UpdateCheck(UpdateCheckOptions options, QObject* parent = nullptr);
    ~UpdateCheck() override;

    // Sends the request, abandoning a check still running (its end is never
    // reported). Without an update server the check fails at once.
    void start();
    // A request is on its way.
    [[nodiscard]] bool running() const { return mReply != nullptr; }
    [[nodiscard]] const UpdateCheckOptions& options() const { return mOptions; }

signals:
    // Once per started check, with its verdict; a failure has been logged.
    void finished(const ambrel::app::UpdateVerdict& verdict);

private:
    void answerArrived(QNetworkReply* reply);
    [[nodiscard]] UpdateVerdict verdictOf(QNetworkReply* reply) const;
    [[nodiscard]] UpdateVerdict readAnswer(const QByteArray& data) const;
    [[nodiscard]] UpdateVerdict failure(const QString& reason, const QString& logLine) const;
    void abandonRequest();

    UpdateCheckOptions mOptions;
    QNetworkAccessManager* mNetwork = nullptr;
    QPointer<QNetworkReply> mReply;
    QUrl mServer;
};

}  // namespace ambrel::app
