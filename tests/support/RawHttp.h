#pragma once

// HTTP/1.1 spoken by hand over one connection, for tests of what a server does with what a
// well-behaved client never sends (huge or missing lengths, stalled requests, many connections)
// and from a chosen loopback source address. Header-only.

#include <QHostAddress>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSslSocket>
#include <QTest>

#include <memory>

namespace velto::test {

struct RawAnswer {
    int status = 0; // 0: no whole answer came
    QByteArray head;
    QByteArray body;
    QJsonObject object() const { return QJsonDocument::fromJson(body).object(); }
    // The value of header `name` (case-insensitive), empty when absent.
    QByteArray header(const QByteArray &name) const
    {
        for (const QByteArray &line : head.split('\n')) {
            const qsizetype colon = line.indexOf(':');
            if (colon > 0 && line.left(colon).trimmed().toLower() == name.toLower())
                return line.mid(colon + 1).trimmed();
        }
        return {};
    }
};

// A request with the given method, path and body; `headers` are extra lines ending in CRLF.
inline QByteArray rawRequest(const QByteArray &method, const QByteArray &path,
    const QByteArray &body = {}, const QByteArray &headers = {})
{
    QByteArray bytes = method + ' ' + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + headers;
    if (!body.isEmpty() || method == "POST")
        bytes += "Content-Type: application/json\r\nContent-Length: "
            + QByteArray::number(body.size()) + "\r\n";
    return bytes + "\r\n" + body;
}

class RawConnection {
public:
    // Connects to 127.0.0.1:`port`, from `source` when it is not null; over TLS (any certificate
    // accepted) when `tls` is set.
    explicit RawConnection(quint16 port, const QHostAddress &source = {}, bool tls = false)
    {
        if (!source.isNull())
            socket->bind(source, 0);
        if (tls) {
            socket->setPeerVerifyMode(QSslSocket::VerifyNone);
            socket->connectToHostEncrypted(QStringLiteral("127.0.0.1"), port);
        } else {
            socket->connectToHost(QHostAddress::LocalHost, port);
        }
        QObject::connect(socket.get(), &QIODevice::readyRead, socket.get(),
            [this]() { received += socket->readAll(); });
    }
    RawConnection(const RawConnection &) = delete;
    RawConnection &operator=(const RawConnection &) = delete;

    // Waits until the connection is made (encrypted, for TLS).
    bool waitConnected(int timeoutMs = 10000)
    {
        return QTest::qWaitFor(
            [this]() {
                return socket->isEncrypted()
                    || (socket->mode() == QSslSocket::UnencryptedMode
                        && socket->state() == QAbstractSocket::ConnectedState);
            },
            timeoutMs);
    }
    void send(const QByteArray &bytes)
    {
        socket->write(bytes);
        socket->flush();
    }
    // Waits for one whole answer (head and Content-Length bytes), the close of the connection
    // or the end of `timeoutMs`; takes the answer out of what was received.
    RawAnswer answer(int timeoutMs = 20000)
    {
        RawAnswer result;
        static_cast<void>(
            QTest::qWaitFor([&]() { return takeAnswer(&result) || closed(); }, timeoutMs));
        if (!result.status)
            takeAnswer(&result);
        return result;
    }
    // Waits until the other side has closed the connection.
    bool waitClosed(int timeoutMs)
    {
        return QTest::qWaitFor([this]() { return closed(); }, timeoutMs);
    }
    bool closed() const
    {
        return socket->state() == QAbstractSocket::UnconnectedState
            || socket->error() == QAbstractSocket::RemoteHostClosedError;
    }
    QByteArray received;

private:
    std::unique_ptr<QSslSocket> socket = std::make_unique<QSslSocket>();

    bool takeAnswer(RawAnswer *result)
    {
        const qsizetype end = received.indexOf("\r\n\r\n");
        if (end < 0)
            return false;
        RawAnswer answer;
        answer.head = received.left(end);
        const qint64 length = answer.header("content-length").toLongLong();
        if (received.size() < end + 4 + length)
            return false;
        answer.status = answer.head.mid(9, 3).toInt();
        answer.body = received.mid(end + 4, length);
        received.remove(0, end + 4 + length);
        *result = answer;
        return true;
    }
};

} // namespace velto::test
