#pragma once

#include "ServiceStore.h"

#include <QHttpServer>
#include <QHttpServerResponse>
#include <QObject>
#include <QString>

class QHttpServerRequest;

// The HTTP side of the reference service: every endpoint under "/api/v1/velto/".
class ServiceServer : public QObject {
    Q_OBJECT
public:
    static constexpr qsizetype maxBodyBytes = 64 * 1024;

    explicit ServiceServer(QObject *parent = nullptr);

    // Opens the database in `dataDirectory` and listens; returns the port, 0 on failure.
    quint16 start(
        const QString &dataDirectory, const QHostAddress &address, quint16 port, QString *error);

private:
    QHttpServer http;
    ServiceStore store;
    QString dataDirectory;

    using Handler = QHttpServerResponse (ServiceServer::*)(const QHttpServerRequest &);
    void post(const char *path, Handler handler);

    QHttpServerResponse registerDevice(const QHttpServerRequest &request);
    QHttpServerResponse telemetry(const QHttpServerRequest &request);
    QHttpServerResponse login(const QHttpServerRequest &request);
    QHttpServerResponse registerAccount(const QHttpServerRequest &request);
    QHttpServerResponse feedback(const QHttpServerRequest &request);
    QHttpServerResponse latestVersion(const QHttpServerRequest &request);
};
