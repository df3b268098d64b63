// Bounds shared by the update check and the usage statistics, whose answers
// come from servers outside this program: an answer may be at most 64 KB
// and must be complete within a total deadline (besides the idle time-out
// of the request), and server text is quoted and shortened before it is
// written to the log.
#pragma once

#include <QtCore/QObject>
#include <QtCore/QString>
#include <QtCore/QStringView>
#include <QtCore/QTimer>
#include <QtCore/QVariant>
#include <QtNetwork/QNetworkReply>
#include <QtNetwork/QNetworkRequest>

#include <algorithm>
#include <chrono>

namespace ambrel::app {

// The largest answer read from a server; both documents are a few hundred
// bytes.
inline constexpr qint64 kMaxAnswerBytes = 64 * 1024;
// The time a whole request may take, however steadily the server trickles.
inline constexpr std::chrono::milliseconds kAnswerDeadline{15000};

// Why limitReply() aborted a reply.
enum class ReplyLimit { None, TooLarge, DeadlinePassed };

namespace detail {
inline constexpr const char* kReplyLimitProperty = "ambrelReplyLimit";

inline void abortReply(QNetworkReply* reply, ReplyLimit why)
{
    if (reply->isFinished()) {
        return;
    }
    reply->setProperty(kReplyLimitProperty, static_cast<int>(why));
    reply->abort();  // emits finished()
}
}  // namespace detail

// Aborts the reply once its answer passes `maxBytes` (announced or
// received) or once `deadline` has passed since now. The reply then ends
// with QNetworkReply::OperationCanceledError and replyLimit() tells why.
// Also bounds the reply's own buffer, so a large answer is never held whole.
inline void limitReply(QNetworkReply* reply, qint64 maxBytes, std::chrono::milliseconds deadline)
{
    reply->setReadBufferSize(maxBytes + 1);
    QObject::connect(reply, &QNetworkReply::metaDataChanged, reply, [reply, maxBytes] {
        const QVariant length = reply->header(QNetworkRequest::ContentLengthHeader);
        if (length.isValid() && length.toLongLong() > maxBytes) {
            detail::abortReply(reply, ReplyLimit::TooLarge);
        }
    });
    QObject::connect(reply, &QNetworkReply::downloadProgress, reply, [reply, maxBytes](qint64 received, qint64 total) {
        if (received > maxBytes || total > maxBytes) {
            detail::abortReply(reply, ReplyLimit::TooLarge);
        }
    });
    QTimer::singleShot(deadline, reply, [reply] { detail::abortReply(reply, ReplyLimit::DeadlinePassed); });
}

inline ReplyLimit replyLimit(const QNetworkReply* reply)
{
    const QVariant why = reply->property(detail::kReplyLimitProperty);
    return why.isValid() ? static_cast<ReplyLimit>(why.toInt()) : ReplyLimit::None;
}

// Server text as one log-safe token: in double quotes, with quotes,
// backslashes and control characters (line breaks, escape sequences, the
// Unicode line separators) escaped, and cut after `maxChars` characters
// with a note of how many were left out.
inline QString quotedForLog(QStringView text, qsizetype maxChars = 200)
{
    QString quoted;
    quoted.reserve(std::min(text.size(), maxChars) + 16);
    quoted.append(u'"');
    qsizetype shown = std::min(text.size(), maxChars);
    if (shown < text.size() && shown > 0 && text[shown - 1].isHighSurrogate()) {
        --shown;  // never half a character
    }
    for (qsizetype i = 0; i < shown; ++i) {
        const char16_t c = text[i].unicode();
        switch (c) {
        case u'"': quoted.append(QLatin1String("\\\"")); continue;
        case u'\\': quoted.append(QLatin1String("\\\\")); continue;
        case u'\n': quoted.append(QLatin1String("\\n")); continue;
        case u'\r': quoted.append(QLatin1String("\\r")); continue;
        case u'\t': quoted.append(QLatin1String("\\t")); continue;
        default: break;
        }
        if (c < 0x20 || (c >= 0x7f && c <= 0x9f) || c == 0x2028 || c == 0x2029) {
            quoted.append(QStringLiteral("\\u%1").arg(static_cast<uint>(c), 4, 16, QLatin1Char('0')));
        } else {
            quoted.append(QChar(c));
        }
    }
    quoted.append(u'"');
    if (text.size() > shown) {
        quoted.append(QStringLiteral(" (%1 more characters)").arg(text.size() - shown));
    }
    return quoted;
}

}  // namespace ambrel::app
