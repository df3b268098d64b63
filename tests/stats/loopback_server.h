// A small HTTP/1.1 server on 127.0.0.1 and a free port, for the tests of the
// update check and the usage statistics. It records every request and
// answers each with the next queued answer (or the standing one), or never
// answers at all, or trickles its answer a byte at a time. It takes a bounded
// number of requests of bounded size.
#pragma once

#include <QtCore/QByteArray>
#include <QtCore/QList>
#include <QtCore/QMap>
#include <QtCore/QObject>
#include <QtCore/QString>
#include <QtNetwork/QTcpServer>

#include <chrono>
#include <deque>

class QTcpSocket;

namespace statstest {

struct HttpRequest
{
    QByteArray method;
    QByteArray path;
    QMap<QByteArray, QByteArray> headers;  // names in lower case
    QByteArray body;
};

class LoopbackServer : public QObject
{
    Q_OBJECT
public:
    static constexpr int kMaxRequests = 32;
    static constexpr qsizetype kMaxRequestBytes = 1 << 20;

    LoopbackServer();
    ~LoopbackServer() override;

    bool isListening() const { return mServer.isListening(); }
    quint16 port() const { return mServer.serverPort(); }
    // "127.0.0.1:<port>", as a statistics host.
    QString hostAndPort() const;
    // "http://127.0.0.1:<port>", as an update server's address.
    QString address() const;

    // Every request not served by a queued answer gets this body (status 200).
    void setStandingAnswer(const QByteArray& body) { mStanding = body; }
    // The next request gets this body.
    void queueAnswer(const QByteArray& body) { mQueued.push_back(body); }
    // Requests are recorded but never answered; their connections stay open.
    void setSilent(bool silent) { mSilent = silent; }
    // Every answer is sent one byte per `interval` after its headers (the
    // whole body announced in Content-Length), then the connection closes.
    // Zero: at once.
    void setTrickle(std::chrono::milliseconds interval) { mTrickle = interval; }

    const QList<HttpRequest>& requests() const { return mRequests; }

signals:
    void requestReceived();

private:
    void accept();
    void read(QTcpSocket* socket);

    QTcpServer mServer;
    QByteArray mStanding = "1";
    std::deque<QByteArray> mQueued;
    bool mSilent = false;
    std::chrono::milliseconds mTrickle{0};
    int mConnections = 0;
    QList<HttpRequest> mRequests;
    QMap<QTcpSocket*, QByteArray> mBuffers;
};

}  // namespace statstest
