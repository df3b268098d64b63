#include "app/update/update_check.h"

#include <QtCore/QJsonDocument>
#include <QtCore/QJsonObject>
#include <QtNetwork/QNetworkAccessManager>
#include <QtNetwork/QNetworkReply>
#include <QtNetwork/QNetworkRequest>

#include "app/common/log_line.h"
#include "app/update/version_compare.h"

namespace ambrel::app {

QString deployedUpdateAddress()
{
    return QString::fromUtf8(AMBREL_UPDATE_URL);
}

QString deployedApplicationVersion()
{
    return QString::fromUtf8(AMBREL_UPDATE_APP_VERSION);
}

bool isAcceptableDownloadAddress(const QUrl& download, const QUrl& updateServer)
{
    if (!download.isValid() || download.isRelative() || download.host().isEmpty()) {
        return false;
    }
    if (download.scheme() == QLatin1String("https")) {
        return true;
    }
    return download.scheme() == updateServer.scheme() && download.host() == updateServer.host() &&
           download.port(-1) == updateServer.port(-1);
}

UpdateCheck::UpdateCheck(UpdateCheckOptions options, QObject* parent)
    : QObject(parent), mOptions(std::move(options)), mNetwork(new QNetworkAccessManager(this))
{}

UpdateCheck::~UpdateCheck()
{
    abandonRequest();
}

void UpdateCheck::start()
{
    abandonRequest();
    QString address = mOptions.updateAddress;
    while (address.endsWith(u'/')) {
        address.chop(1);
    }
    if (address.isEmpty()) {
        emit finished(failure(QCoreApplication::translate("CheckUpdate", "未配置更新服务器"),
                              QStringLiteral("update check skipped: this build has no update server")));
        return;
    }
    mServer = QUrl(address);
    QNetworkRequest request(QUrl(address + QString::fromLatin1(kUpdateDocumentPath)));
    request.setTransferTimeout(static_cast<int>(mOptions.timeout.count()));
    QNetworkReply* reply = mNetwork->get(request);
    limitReply(reply, kMaxAnswerBytes, mOptions.deadline);
    mReply = reply;
    connect(reply, &QNetworkReply::finished, this, [this, reply] { answerArrived(reply); });
}

void UpdateCheck::answerArrived(QNetworkReply* reply)
{
    reply->deleteLater();
    if (reply != mReply) {
        return;  // a check that a later one replaced
    }
    mReply = nullptr;
    emit finished(verdictOf(reply));
}

UpdateVerdict UpdateCheck::verdictOf(QNetworkReply* reply) const
{
    switch (replyLimit(reply)) {
    case ReplyLimit::TooLarge:
        return failure(QCoreApplication::translate("CheckUpdate", "更新服务器的回答过大"),
                       QStringLiteral("update check failed: the answer is larger than %1 bytes").arg(kMaxAnswerBytes));
    case ReplyLimit::DeadlinePassed:
        return failure(
            QCoreApplication::translate("CheckUpdate", "更新服务器响应超时"),
            QStringLiteral("update check failed: no complete answer within %1 ms").arg(mOptions.deadline.count()));
    case ReplyLimit::None: break;
    }
    if (reply->error() != QNetworkReply::NoError) {
        // Cancelled here means the idle time-out: the server went quiet.
        const bool quiet =
            reply->error() == QNetworkReply::OperationCanceledError || reply->error() == QNetworkReply::TimeoutError;
        const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        const QString reason =
            quiet         ? QCoreApplication::translate("CheckUpdate", "更新服务器响应超时")
            : status != 0 ? QCoreApplication::translate("CheckUpdate", "更新服务器返回错误（HTTP %1）").arg(status)
                          : QCoreApplication::translate("CheckUpdate", "无法连接更新服务器");
        return failure(reason, QStringLiteral("update check failed: %1").arg(quotedForLog(reply->errorString())));
    }
    return readAnswer(reply->readAll());
}

UpdateVerdict UpdateCheck::readAnswer(const QByteArray& data) const
{
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(data, &error);
    const QJsonObject answer = document.object();
    const QJsonValue version = answer.value(QStringLiteral("version"));
    if (data.isEmpty() || error.error != QJsonParseError::NoError || !document.isObject() || !version.isString()) {
        return failure(
            QCoreApplication::translate("CheckUpdate", "更新服务器的回答无法识别"),
            QStringLiteral("update check failed: unreadable answer %1").arg(quotedForLog(QString::fromUtf8(data))));
    }
    if (!isVersionBiggerThanVersion(version.toString(), mOptions.currentVersion)) {
        return {};
    }
    const QString download = answer.value(QStringLiteral("download")).toString();
    if (!isAcceptableDownloadAddress(QUrl(download, QUrl::StrictMode), mServer)) {
        return failure(QCoreApplication::translate("CheckUpdate", "更新服务器给出的下载地址无效"),
                       QStringLiteral("update check failed: download address %1 is neither https nor on the update "
                                      "server")
                           .arg(quotedForLog(download)));
    }
    return UpdateVerdict{
        UpdateVerdict::Kind::NewerVersion, answer.value(QStringLiteral("info")).toString(), download, {}};
}

UpdateVerdict UpdateCheck::failure(const QString& reason, const QString& line) const
{
    logLine(mOptions.log, line);
    return UpdateVerdict{UpdateVerdict::Kind::Failed, {}, {}, reason};
}

void UpdateCheck::abandonRequest()
{
    if (QNetworkReply* reply = mReply) {
        mReply = nullptr;
        reply->disconnect(this);
        reply->abort();
        reply->deleteLater();
    }
}

}  // namespace ambrel::app
