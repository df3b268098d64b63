#include "tests/stats/loopback_server.h"

#include <QtCore/QTimer>
#include <QtNetwork/QTcpSocket>

namespace statstest {

LoopbackServer::LoopbackServer()
{
    connect(&mServer, &QTcpServer::newConnection, this, &LoopbackServer::accept);
    mServer.listen(QHostAddress::LocalHost, 0);
}

LoopbackServer::~LoopbackServer()
{
    mServer.close();
    for (auto it = mBuffers.keyBegin(); it != mBuffers.keyEnd(); ++it) {
        (*it)->disconnect(this);
        (*it)->abort();
    }
}

QString LoopbackServer::hostAndPort() const
{
    return QStringLiteral("127.0.0.1:%1").arg(port());
}

QString LoopbackServer::address() const
{
    return QStringLiteral("http://") + hostAndPort();
}

void LoopbackServer::accept()
{
    while (QTcpSocket* socket = mServer.nextPendingConnection()) {
        socket->setParent(this);
        if (++mConnections > kMaxRequests) {
            socket->abort();
            socket->deleteLater();
            continue;
        }
        mBuffers.insert(socket, {});
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] { read(socket); });
        connect(socket, &QTcpSocket::disconnected, this, [this, socket] {
            mBuffers.remove(socket);
            socket->deleteLater();
        });
    }
}

void LoopbackServer::read(QTcpSocket* socket)
{
    if (!mBuffers.contains(socket)) {
        return;
    }
    QByteArray& buffer = mBuffers[socket];
    buffer += socket->readAll();
    if (buffer.size() > kMaxRequestBytes) {
        mBuffers.remove(socket);
        socket->abort();
        return;
    }
    const qsizetype headerEnd = buffer.indexOf("\r\n\r\n");
    if (headerEnd < 0) {
        return;
    }
    HttpRequest request;
    const QList<QByteArray> lines = buffer.left(headerEnd).split('\n');
    const QList<QByteArray> requestLine = lines.value(0).trimmed().split(' ');
    request.method = requestLine.value(0);
    request.path = requestLine.value(1);
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const qsizetype colon = lines[i].indexOf(':');
        if (colon > 0) {
            request.headers.insert(lines[i].left(colon).trimmed().toLower(), lines[i].mid(colon + 1).trimmed());
        }
    }
    const qsizetype length = request.headers.value("content-length", "0").toLongLong();
    if (buffer.size() < headerEnd + 4 + length) {
        return;  // the body is still coming
    }
    request.body = buffer.mid(headerEnd + 4, length);
    mBuffers[socket].clear();
    mRequests.append(request);
    emit requestReceived();
    if (mSilent) {
        return;
    }
    QByteArray body = mStanding;
    if (!mQueued.empty()) {
        body = mQueued.front();
        mQueued.pop_front();
    }
    const QByteArray head = "HTTP/1.1 200 OK\r\nContent-Type: text/plain; charset=utf-8\r\nContent-Length: " +
                            QByteArray::number(body.size()) + "\r\nConnection: close\r\n\r\n";
    if (mTrickle.count() == 0) {
        socket->write(head + body);
        socket->disconnectFromHost();
        return;
    }
    socket->write(head);
    auto* drip = new QTimer(socket);
    drip->setInterval(mTrickle);
    connect(drip, &QTimer::timeout, socket, [socket, drip, body, sent = qsizetype{0}]() mutable {
        if (sent == body.size()) {
            drip->stop();
            socket->disconnectFromHost();
            return;
        }
        socket->write(body.mid(sent++, 1));
    });
    drip->start();
}

}  // namespace statstest
