#pragma once

// A small HTTP/1.1 responder on 127.0.0.1 for tests that talk to web pages or services. Besides
// plain replies it can misbehave on purpose: answer late, never answer, send a body without end,
// trickle one byte at a time or drop the connection. Header-only, shared by every test folder.

#include <QByteArray>
#include <QHash>
#include <QHostAddress>
#include <QList>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <QUrl>

#include <functional>
#include <memory>
#include <optional>

namespace velto::test {

class TestHttpServer {
public:
    struct Response {
        enum Mode { Normal, NeverAnswer, Endless, Trickle, Drop };

        int status = 200;
        QByteArray contentType = QByteArrayLiteral("text/html; charset=utf-8");
        QByteArray body; // for Endless and Trickle: what is sent before the endless part
        QList<QPair<QByteArray, QByteArray>> extraHeaders;
        Mode mode = Normal;
        int delayMs = 0;
    };

    struct Request {
        QByteArray method;
        QByteArray path;
        QHash<QByteArray, QByteArray> headers; // names in lower case
        QByteArray body;
    };

    // Answers paths that have no response set; returning nothing gives 404.
    std::function<std::optional<Response>(const QByteArray &path)> fallback;
    QList<Request> requests;
    // Bytes of body sent by endless responses so far.
    qint64 endlessBytesSent = 0;

    TestHttpServer()
    {
        QObject::connect(&server, &QTcpServer::newConnection, &server, [this]() {
            while (QTcpSocket *socket = server.nextPendingConnection())
                accept(socket);
        });
    }

    bool listen() { return server.listen(QHostAddress::LocalHost, 0); }
    quint16 port() const { return server.serverPort(); }
    QUrl url(const QString &path) const
    {
        return QUrl(QStringLiteral("http://127.0.0.1:%1%2").arg(QString::number(port()), path));
    }

    void setResponse(const QByteArray &path, const Response &response)
    {
        responses.insert(path, response);
    }
    void setPage(const QByteArray &path, const QByteArray &html)
    {
        Response response;
        response.body = html;
        setResponse(path, response);
    }

    int requestCount(const QByteArray &path) const
    {
        int count = 0;
        for (const Request &request : requests)
            count += request.path == path ? 1 : 0;
        return count;
    }

private:
    QTcpServer server;
    QHash<QByteArray, Response> responses;

    void accept(QTcpSocket *socket)
    {
        QObject::connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        auto buffer = std::make_shared<QByteArray>();
        QObject::connect(socket, &QTcpSocket::readyRead, socket, [this, socket, buffer]() {
            *buffer += socket->readAll();
            const qsizetype end = buffer->indexOf("\r\n\r\n");
            if (end < 0)
                return;
            const QList<QByteArray> lines = buffer->left(end).split('\n');
            Request request;
            const QList<QByteArray> first = lines.value(0).trimmed().split(' ');
            request.method = first.value(0);
            request.path = first.value(1);
            for (qsizetype i = 1; i < lines.size(); ++i) {
                const qsizetype colon = lines[i].indexOf(':');
                if (colon > 0)
                    request.headers.insert(lines[i].left(colon).trimmed().toLower(),
                        lines[i].mid(colon + 1).trimmed());
            }
            // Waits for the whole body the request announced.
            const qint64 length = request.headers.value("content-length").toLongLong();
            if (buffer->size() < end + 4 + length)
                return;
            request.body = buffer->mid(end + 4, length);
            buffer->remove(0, end + 4 + length);
            requests.append(request);
            respond(socket, request.path);
        });
    }

    static QByteArray head(const Response &response, qint64 length)
    {
        QByteArray text = "HTTP/1.1 " + QByteArray::number(response.status) + " Status\r\n";
        if (!response.contentType.isEmpty())
            text += "Content-Type: " + response.contentType + "\r\n";
        for (const auto &header : response.extraHeaders)
            text += header.first + ": " + header.second + "\r\n";
        if (length >= 0)
            text += "Content-Length: " + QByteArray::number(length) + "\r\n";
        text += "Connection: close\r\n\r\n";
        return text;
    }

    void respond(QTcpSocket *socket, const QByteArray &path)
    {
        std::optional<Response> found;
        if (responses.contains(path))
            found = responses.value(path);
        else if (fallback)
            found = fallback(path);
        if (!found) {
            Response missing;
            missing.status = 404;
            missing.body = "missing";
            found = missing;
        }
        const Response response = *found;
        if (response.mode == Response::NeverAnswer)
            return;
        QPointer<QTcpSocket> guarded(socket);
        auto send = [this, guarded, response]() {
            if (guarded)
                start(guarded, response);
        };
        if (response.delayMs > 0)
            QTimer::singleShot(response.delayMs, socket, send);
        else
            send();
    }

    void start(QTcpSocket *socket, const Response &response)
    {
        switch (response.mode) {
        case Response::Normal:
            socket->write(head(response, response.body.size()) + response.body);
            socket->disconnectFromHost();
            break;
        case Response::Endless: {
            socket->write(head(response, -1) + response.body);
            // Paced by a timer rather than by bytesWritten, so that a client that stopped reading
            // does not keep this thread busy filling socket buffers.
            auto *pump = new QTimer(socket);
            QObject::connect(pump, &QTimer::timeout, socket, [this, socket]() {
                const QByteArray chunk(32 * 1024, 'x');
                // Safety stop far beyond any limit under test.
                if (socket->bytesToWrite() < chunk.size() && endlessBytesSent < (256 << 20)) {
                    socket->write(chunk);
                    endlessBytesSent += chunk.size();
                }
            });
            pump->start(1);
            break;
        }
        case Response::Trickle: {
            socket->write(head(response, -1) + response.body);
            auto *timer = new QTimer(socket);
            QObject::connect(timer, &QTimer::timeout, socket, [socket]() { socket->write(" "); });
            timer->start(50);
            break;
        }
        case Response::Drop:
            socket->abort();
            break;
        case Response::NeverAnswer:
            break;
        }
    }
};

} // namespace velto::test
