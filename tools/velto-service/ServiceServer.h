#pragma once

#include "AttemptLimiter.h"
#include "ConnectionGuard.h"
#include "ServiceStore.h"

#include <QHttpServer>
#include <QHttpServerResponse>
#include <QObject>
#include <QString>

class QHttpServerRequest;

struct ServiceLimits {
    ConnectionLimits connections;
    // Login and registration attempts allowed per client address in any window; 0: no limit.
    int authAttempts = 10;
    int authWindowMs = 60 * 1000;
    // A front server (nginx) at this address passes the client's address in "X-Real-IP"; the
    // limit of attempts then counts that address. Null: no front server is trusted.
    QHostAddress trustedProxy;
};

// The HTTP side of the reference service: every endpoint under "/api/v1/velto/".
class ServiceServer : public QObject {
    Q_OBJECT
public:
    // The largest latest-version.json that is read.
    static constexpr qsizetype maxVersionFileBytes = 64 * 1024;

    explicit ServiceServer(const ServiceLimits &limits = {}, QObject *parent = nullptr);

    // Opens the database in `dataDirectory` and listens; returns the port, 0 on failure.
    quint16 start(
        const QString &dataDirectory, const QHostAddress &address, quint16 port, QString *error);

private:
    QHttpServer http;
    ServiceStore store;
    QString dataDirectory;
    ServiceLimits limits;
    AttemptLimiter authAttempts;

    // Seconds the client must wait before another login or registration attempt; 0 when it may.
    int authWait(const QHttpServerRequest &request);

    using Handler = QHttpServerResponse (ServiceServer::*)(const QHttpServerRequest &);
    void post(const char *path, Handler handler);

    QHttpServerResponse registerDevice(const QHttpServerRequest &request);
    QHttpServerResponse telemetry(const QHttpServerRequest &request);
    QHttpServerResponse login(const QHttpServerRequest &request);
    QHttpServerResponse registerAccount(const QHttpServerRequest &request);
    QHttpServerResponse feedback(const QHttpServerRequest &request);
    QHttpServerResponse latestVersion(const QHttpServerRequest &request);
};
