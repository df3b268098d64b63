#include "app/stats/user_action_analysis.h"

#include <QtCore/QEventLoop>
#include <QtCore/QTimer>
#include <QtCore/QUrl>
#include <QtNetwork/QNetworkAccessManager>
#include <QtNetwork/QNetworkReply>
#include <QtNetwork/QNetworkRequest>

#include <json/value.h>
#include <json/writer.h>
#include <openssl/evp.h>

#include <memory>
#include <optional>

#include "app/common/leading_int_value.h"
#include "app/common/log_line.h"
#include "app/common/reply_limits.h"

namespace ambrel::app {

namespace {

constexpr int kCipherBytes = 16;

struct CipherContextDeleter
{
    void operator()(EVP_CIPHER_CTX* context) const { EVP_CIPHER_CTX_free(context); }
};

}  // namespace

QString deployedStatsHost()
{
    return QString::fromUtf8(AMBREL_STATS_HOST);
}

QByteArray deployedStatsKey()
{
    return QByteArray::fromHex(AMBREL_STATS_KEY_HEX);
}

QByteArray deployedStatsIv()
{
    return QByteArray::fromHex(AMBREL_STATS_IV_HEX);
}

QString deployedStatsAppVersion()
{
    return QString::fromUtf8(AMBREL_STATS_APP_VERSION);
}

QByteArray encryEncode(const QByteArray& text, const QByteArray& key, const QByteArray& iv)
{
    if (key.size() != kCipherBytes || iv.size() != kCipherBytes) {
        return {};
    }
    const std::unique_ptr<EVP_CIPHER_CTX, CipherContextDeleter> context(EVP_CIPHER_CTX_new());
    if (!context) {
        return {};
    }
    const auto* keyBytes = reinterpret_cast<const unsigned char*>(key.constData());
    const auto* ivBytes = reinterpret_cast<const unsigned char*>(iv.constData());
    // EVP pads with PKCS#7 unless told otherwise.
    if (EVP_EncryptInit_ex(context.get(), EVP_aes_128_cbc(), nullptr, keyBytes, ivBytes) != 1) {
        return {};
    }
    QByteArray enciphered(text.size() + kCipherBytes, Qt::Uninitialized);
    auto* out = reinterpret_cast<unsigned char*>(enciphered.data());
    int written = 0;
    if (EVP_EncryptUpdate(context.get(), out, &written, reinterpret_cast<const unsigned char*>(text.constData()),
                          static_cast<int>(text.size())) != 1) {
        return {};
    }
    int last = 0;
    if (EVP_EncryptFinal_ex(context.get(), out + written, &last) != 1) {
        return {};
    }
    enciphered.truncate(written + last);
    return enciphered.toBase64();
}

UserActionAnalysis::UserActionAnalysis(QObject* parent)
    : QObject(parent), mKey(deployedStatsKey()), mIv(deployedStatsIv()), mNetwork(new QNetworkAccessManager(this))
{}

UserActionAnalysis::~UserActionAnalysis()
{
    // Requests still running end here, without calling anyone back.
    for (QNetworkReply* reply : mNetwork->findChildren<QNetworkReply*>()) {
        reply->disconnect();
        reply->abort();
    }
}

void UserActionAnalysis::setCipher(const QByteArray& key, const QByteArray& iv)
{
    mKey = key;
    mIv = iv;
}

bool UserActionAnalysis::canReport() const
{
    return !m_strDomainName.isEmpty() && mKey.size() == kCipherBytes && mIv.size() == kCipherBytes;
}

std::string UserActionAnalysis::reportRecord(int type) const
{
    Json::Value record(Json::objectValue);
    record["AppId"] = Json::UInt(m_uAppId);
    record["OsBit"] = Json::UInt(m_uOSBit);
    record["TypeId"] = type;
    record["ChannelCode"] = m_strChannelCode.toStdString();
    record["Version"] = m_strVersion.toStdString();
    record["MachineCode"] = m_strMachineCode.toStdString();
    record["Os"] = m_strOS.toStdString();
    Json::StyledWriter writer;
    return writer.write(record);
}

QByteArray UserActionAnalysis::EncryEncode(const QByteArray& text) const
{
    return encryEncode(text, mKey, mIv);
}

bool UserActionAnalysis::ProductAction(int type, bool wait)
{
    if (!wait) {
        if (!canReport()) {
            return false;
        }
        ProductAction(type, Answer());
        return true;
    }
    std::optional<bool> accepted;
    QEventLoop loop;
    ProductAction(type, [&accepted, &loop](bool ok) {
        accepted = ok;
        loop.quit();
    });
    if (!accepted) {
        loop.exec();
    }
    return accepted.value_or(false);
}

void UserActionAnalysis::ProductAction(int type, Answer answered)
{
    m_ActionType = type;
    if (!canReport()) {
        if (answered) {
            QTimer::singleShot(0, this, [answered] { answered(false); });
        }
        return;
    }
    const std::string record = reportRecord(type);
    const QByteArray body = EncryEncode(QByteArray::fromStdString(record));

    QNetworkRequest request(QUrl(QStringLiteral("http://%1/%2").arg(m_strDomainName, QStringLiteral("action.ashx"))));
    request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArrayLiteral("application/x-www-form-urlencoded"));
    request.setHeader(QNetworkRequest::ContentLengthHeader, body.size());
    request.setTransferTimeout(static_cast<int>(mTimeout.count()));
    QNetworkReply* reply = mNetwork->post(request, body);
    limitReply(reply, kMaxAnswerBytes, mDeadline);
    connect(reply, &QNetworkReply::finished, this, [this, reply, answered = std::move(answered)] {
        reply->deleteLater();
        if (answered) {  // otherwise the answer is not wanted
            answered(judge(reply));
        }
    });
}

bool UserActionAnalysis::judge(QNetworkReply* reply)
{
    switch (replyLimit(reply)) {
    case ReplyLimit::TooLarge:
        log(QStringLiteral("【日志】[ProductAction]ProductAction - Error:answer larger than %1 bytes dropped")
                .arg(kMaxAnswerBytes));
        return false;
    case ReplyLimit::DeadlinePassed:
        log(QStringLiteral("【日志】[ProductAction]ProductAction - unknownError"));
        return false;
    case ReplyLimit::None: break;
    }
    // A reply that failed before any data (refused, timed out) is closed.
    const QByteArray data = reply->isOpen() ? reply->readAll() : QByteArray();
    if (data.isEmpty() && reply->error() != QNetworkReply::NoError) {
        log(QStringLiteral("【日志】[ProductAction]ProductAction - unknownError"));
        return false;
    }
    const QString text = QString::fromUtf8(data);
    if (leadingIntValue(text) < 1) {
        log(QStringLiteral("【日志】[ProductAction]ProductAction - Error:%1").arg(quotedForLog(text)));
        return false;
    }
    return true;
}

void UserActionAnalysis::log(const QString& line) const
{
    logLine(mLog, line);
}

}  // namespace ambrel::app
