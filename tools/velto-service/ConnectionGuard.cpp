#include "ConnectionGuard.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QPointer>
#include <QTcpSocket>
#include <QTimer>

#include <cstring>

#ifdef Q_OS_UNIX
#include <sys/socket.h>
#endif

namespace {
const char *reasonPhrase(int status)
{
    switch (status) {
    case 400:
        return "Bad Request";
    case 411:
        return "Length Required";
    case 413:
        return "Payload Too Large";
    case 431:
        return "Request Header Fields Too Large";
    case 503:
        return "Service Unavailable";
    default:
        return "Error";
    }
}

// Where the head in `bytes` ends (just past its empty line), or -1. Lines end in CRLF or LF.
qsizetype headEnd(const QByteArray &bytes, qsizetype from)
{
    for (qsizetype i = bytes.indexOf('\n', from); i >= 0; i = bytes.indexOf('\n', i + 1)) {
        if (i + 1 < bytes.size() && bytes[i + 1] == '\n')
            return i + 2;
        if (i + 2 < bytes.size() && bytes[i + 1] == '\r' && bytes[i + 2] == '\n')
            return i + 3;
    }
    return -1;
}

bool isToken(QByteArrayView text)
{
    if (text.isEmpty())
        return false;
    for (const char c : text) {
        if (c <= ' ' || c >= 127 || std::strchr("()<>@,;:\\\"/[]?={}", c))
            return false;
    }
    return true;
}
} // namespace

QByteArray clientAddressKey(const QHostAddress &address)
{
    bool isV4 = false;
    const quint32 v4 = address.toIPv4Address(&isV4);
    if (isV4)
        return QByteArray::number(v4);
    const Q_IPV6ADDR v6 = address.toIPv6Address();
    return QByteArray(reinterpret_cast<const char *>(v6.c), 8).toHex();
}

// Follows the requests of one connection byte by byte as they arrive (it sees each chunk before
// the HTTP server reads it) and closes the connection when one breaks a limit. Lives as a child
// of its socket.
class RequestWatch : public QObject {
public:
    // A counted watch releases its place in the server's counts when its socket goes.
    RequestWatch(
        QTcpSocket *socket, GuardedTcpServer *server, const QByteArray &addressKey, bool counted)
        : QObject(socket)
        , socket(socket)
        , server(counted ? server : nullptr)
        , addressKey(addressKey)
        , limits(server->limits)
    {
        deadline.setSingleShot(true);
        connect(&deadline, &QTimer::timeout, this, &RequestWatch::drop);
        connect(socket, &QIODevice::readyRead, this, &RequestWatch::scan);
        deadline.start(limits.requestTimeoutMs);
    }
    ~RequestWatch() override
    {
        if (server)
            server->release(addressKey);
    }

    // Answers with `status` and closes; nothing more of this connection reaches the HTTP server.
    void refuse(int status, const QString &message)
    {
        refused = true;
        // Read in small steps from now on, each dropped at once.
        socket->setReadBufferSize(16 * 1024);
        discard();
        socket->write(GuardedTcpServer::closingAnswer(status, message));
        // Only the sending side is closed once the answer is out: what the client still sends
        // is read and dropped until it closes, so that the answer is not lost to a reset. A
        // client that does not close is not waited for long.
        connect(socket, &QIODevice::bytesWritten, this, &RequestWatch::endSending);
        socket->flush();
        endSending();
        deadline.start(qMin(limits.requestTimeoutMs, 2000));
    }

private:
    QTcpSocket *socket;
    QPointer<GuardedTcpServer> server;
    QByteArray addressKey;
    ConnectionLimits limits;
    QTimer deadline;
    QByteArray head; // the part of the current head received so far
    qint64 bodyLeft = 0;
    bool refused = false;
    bool sendingEnded = false;

    void drop()
    {
        socket->abort();
        socket->deleteLater();
    }

    void scan()
    {
        // The HTTP server reads everything available when its own slot runs after this one, so
        // what is available here is exactly what arrived since the last call.
        if (refused) {
            discard();
            return;
        }
        const QByteArray chunk = socket->peek(socket->bytesAvailable());
        qsizetype at = 0;
        while (at < chunk.size()) {
            if (bodyLeft > 0) {
                const qint64 take = qMin<qint64>(bodyLeft, chunk.size() - at);
                bodyLeft -= take;
                at += take;
                if (bodyLeft == 0)
                    deadline.start(limits.requestTimeoutMs);
                continue;
            }
            if (head.isEmpty()) {
                // Empty lines before a request line are allowed.
                while (at < chunk.size() && (chunk[at] == '\r' || chunk[at] == '\n'))
                    ++at;
                if (at == chunk.size())
                    break;
            }
            const qsizetype before = head.size();
            head += chunk.mid(
                at, qMin<qsizetype>(chunk.size() - at, limits.maxHeadBytes + 1 - before));
            const qsizetype end = headEnd(head, qMax<qsizetype>(0, before - 2));
            if (end < 0 || end > limits.maxHeadBytes) {
                if (head.size() > limits.maxHeadBytes)
                    return refuse(431, QStringLiteral("请求头过大"));
                at = chunk.size();
                break;
            }
            at += end - before;
            head.truncate(end);
            if (!readHead())
                return;
            head.clear();
            if (bodyLeft == 0)
                deadline.start(limits.requestTimeoutMs);
        }
    }

    // Checks the complete head in `head` and sets bodyLeft; false after refusing it.
    bool readHead()
    {
        QList<QByteArray> lines = head.split('\n');
        for (QByteArray &line : lines) {
            if (line.endsWith('\r'))
                line.chop(1);
        }
        const QList<QByteArray> request = lines.value(0).split(' ');
        if (request.size() != 3 || !isToken(request[0]) || request[1].isEmpty()
            || !request[2].startsWith("HTTP/1.")) {
            refuse(400, QStringLiteral("无效的请求"));
            return false;
        }
        qint64 length = -1;
        for (qsizetype i = 1; i < lines.size(); ++i) {
            const QByteArray &line = lines[i];
            if (line.isEmpty())
                continue;
            const qsizetype colon = line.indexOf(':');
            if (colon <= 0 || !isToken(line.left(colon))) {
                refuse(400, QStringLiteral("无效的请求"));
                return false;
            }
            const QByteArray name = line.left(colon).toLower();
            const QByteArray value = line.mid(colon + 1).trimmed();
            if (name == "transfer-encoding") {
                refuse(411, QStringLiteral("请求须注明内容长度"));
                return false;
            }
            if (name != "content-length")
                continue;
            bool ok = value.size() <= 18 && !value.isEmpty();
            for (const char c : value)
                ok = ok && c >= '0' && c <= '9';
            const qint64 announced = ok ? value.toLongLong() : -1;
            if (!ok || (length >= 0 && announced != length)) {
                refuse(400, QStringLiteral("无效的请求"));
                return false;
            }
            length = announced;
        }
        if (length > limits.maxBodyBytes) {
            refuse(413, QStringLiteral("请求内容过大"));
            return false;
        }
        bodyLeft = qMax<qint64>(length, 0);
        return true;
    }

    // Drops what has arrived. The HTTP server keeps the bytes of a request it has begun to read
    // (a transaction) until the request is whole, which a refused one never is: that is ended
    // first, or everything the client still sends would pile up behind it.
    void discard()
    {
        if (socket->isTransactionStarted())
            socket->commitTransaction();
        socket->skip(socket->bytesAvailable());
    }

    void endSending()
    {
        if (sendingEnded || socket->bytesToWrite() > 0)
            return;
        sendingEnded = true;
#ifdef Q_OS_UNIX
        ::shutdown(int(socket->socketDescriptor()), SHUT_WR);
#else
        socket->disconnectFromHost();
#endif
    }
};

GuardedTcpServer::GuardedTcpServer(const ConnectionLimits &limits, QObject *parent)
    : QTcpServer(parent)
    , limits(limits)
{
    // Out of file descriptors, Qt stops accepting for good; try again a little later instead.
    connect(this, &QTcpServer::acceptError, this, [this]() {
        pauseAccepting();
        QTimer::singleShot(1000, this, [this]() {
            if (isListening())
                resumeAccepting();
        });
    });
}

QByteArray GuardedTcpServer::closingAnswer(int status, const QString &message)
{
    const QByteArray body = QJsonDocument(
        QJsonObject {{QStringLiteral("message"),
            message}}).toJson(QJsonDocument::Compact);
    return "HTTP/1.1 " + QByteArray::number(status) + ' ' + reasonPhrase(status)
        + "\r\nContent-Type: application/json\r\nContent-Length: " + QByteArray::number(body.size())
        + "\r\nConnection: close\r\n\r\n" + body;
}

void GuardedTcpServer::incomingConnection(qintptr descriptor)
{
    auto *socket = new QTcpSocket(this);
    if (!socket->setSocketDescriptor(descriptor)) {
        delete socket;
        return;
    }
    const QByteArray key = clientAddressKey(socket->peerAddress());
    if (open >= limits.maxConnections || perAddress.value(key) >= limits.maxConnectionsPerAddress) {
        // Never handed on: the socket goes when the client closes or the watch gives up.
        connect(socket, &QAbstractSocket::disconnected, socket, &QObject::deleteLater);
        (new RequestWatch(socket, this, key, false))
            ->refuse(503, QStringLiteral("连接过多，请稍后再试"));
        return;
    }
    ++open;
    ++perAddress[key];
    new RequestWatch(socket, this, key, true);
    addPendingConnection(socket);
}

void GuardedTcpServer::release(const QByteArray &addressKey)
{
    if (--perAddress[addressKey] <= 0)
        perAddress.remove(addressKey);
    --open;
}
