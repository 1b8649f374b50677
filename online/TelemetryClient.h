#pragma once

#include "ServiceCall.h"

#include <QJsonObject>
#include <QObject>
#include <QString>

class QNetworkAccessManager;

// Device registration and usage events, fire-and-forget: replies are not read, nothing is shown,
// nothing is retried. The main window owns one, built on its network manager; without a manager
// (no database, no layout) nothing is ever sent.
class TelemetryClient : public QObject {
    Q_OBJECT
public:
    explicit TelemetryClient(QNetworkAccessManager *manager, QObject *parent = nullptr);

    // Base address of the service; veltoApiBase() unless set (tests, tools).
    void setApiBase(const QString &base) { apiBase = base; }
    void setLimits(ServiceCall::Limits limits) { this->limits = limits; }

    // Registers this device, then sends "app_start" whatever the registration's outcome.
    void registerCurrentDevice();
    // Posts one event, with "hardwareHash" added to the properties once registration has run.
    void sendTelemetry(const QString &eventName, const QJsonObject &properties = {});
    // The reaction to the sidebar's authCompleted: "feedback_submit" for accepted feedback,
    // "app_login" for any other success, nothing for a failure.
    void reportAuthCompleted(bool success, const QString &message);

    QString hardwareHash() const { return hash; }

    // The bodies, for inspection.
    static QJsonObject registrationBody(const QString &installId, const QString &hardwareHash);
    static QJsonObject eventBody(const QString &eventName, const QString &installId,
        const QString &hardwareHash, const QJsonObject &properties);

signals:
    void registrationFinished();
    void eventFinished(const QString &eventName);

private:
    QNetworkAccessManager *manager;
    QString apiBase;
    QString hash;
    ServiceCall::Limits limits = ServiceCall::backgroundLimits;

    QString base();
};
