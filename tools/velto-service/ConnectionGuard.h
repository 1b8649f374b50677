#pragma once

#include <QByteArray>
#include <QHash>
#include <QHostAddress>
#include <QTcpServer>

// What one connection may send and how long it may take.
struct ConnectionLimits {
    qsizetype maxHeadBytes = 16 * 1024; // request line and headers
    qsizetype maxBodyBytes = 64 * 1024; // by Content-Length; chunked bodies are refused
    // A connection must deliver a whole request (head and body) within this time of opening or
    // of its previous request; otherwise it is closed. This closes idle and slow ones alike.
    int requestTimeoutMs = 10000;
    // Beyond these, a new connection is answered 503 and closed.
    int maxConnections = 512;
    int maxConnectionsPerAddress = 128;
};

// The listening socket in front of the HTTP server. Every accepted connection is handed on at
// once, but a watcher connected to the socket before the HTTP server reads each request as it
// arrives: a head that is too long, malformed or announces a body over the limit (or a chunked
// one) is answered with an error before the HTTP server sees any of it, and the connection is
// closed, so no request body larger than the limit is ever held in memory.
class GuardedTcpServer : public QTcpServer {
    Q_OBJECT
public:
    explicit GuardedTcpServer(const ConnectionLimits &limits, QObject *parent = nullptr);

    // The bytes a guarded connection answers with before closing, for `status` and `message`.
    static QByteArray closingAnswer(int status, const QString &message);

protected:
    void incomingConnection(qintptr descriptor) override;

private:
    friend class RequestWatch;
    ConnectionLimits limits;
    int open = 0;
    QHash<QByteArray, int> perAddress;
    void release(const QByteArray &addressKey);
};

// The key under which a client address is counted: an IPv4 address (also when written as
// IPv6-mapped), or the /64 network of an IPv6 address, which one client usually holds whole.
QByteArray clientAddressKey(const QHostAddress &address);
