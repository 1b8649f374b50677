#include "TelemetryClient.h"

#include "ServiceEndpoint.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QSysInfo>
#include <QUuid>

TelemetryClient::TelemetryClient(QNetworkAccessManager *manager, QObject *parent)
    : QObject(parent)
    , manager(manager)
{
}

QString TelemetryClient::base()
{
    if (apiBase.isEmpty())
        apiBase = veltoApiBase();
    return apiBase;
}

QJsonObject TelemetryClient::registrationBody(const QString &installId, const QString &hardwareHash)
{
    return QJsonObject {
        {QStringLiteral("installId"), installId},
        {QStringLiteral("hardwareHash"), hardwareHash},
        {QStringLiteral("platform"), veltoPlatformName()},
        {QStringLiteral("appVersion"), QString::fromLatin1(veltoAppVersion)},
        {QStringLiteral("osVersion"), QSysInfo::prettyProductName()},
        {QStringLiteral("deviceName"), QSysInfo::machineHostName()},
    };
}

QJsonObject TelemetryClient::eventBody(const QString &eventName, const QString &installId,
    const QString &hardwareHash, const QJsonObject &properties)
{
    QJsonObject props = properties;
    if (!hardwareHash.isEmpty())
        props.insert(QStringLiteral("hardwareHash"), hardwareHash);
    const QJsonObject event {
        {QStringLiteral("eventId"), QUuid::createUuid().toString(QUuid::WithoutBraces)},
        {QStringLiteral("installId"), installId},
        {QStringLiteral("eventName"), eventName},
        {QStringLiteral("appVersion"), QString::fromLatin1(veltoAppVersion)},
        {QStringLiteral("occurredAt"), QDateTime::currentDateTimeUtc().toString(Qt::ISODate)},
        {QStringLiteral("properties"), props},
    };
    return QJsonObject {{QStringLiteral("events"), QJsonArray {event}}};
}

void TelemetryClient::registerCurrentDevice()
{
    if (!manager)
        return;
    hash = veltoHardwareHash();
    const QByteArray body
        = QJsonDocument(registrationBody(currentInstallId(), hash)).toJson(QJsonDocument::Compact);
    const QNetworkRequest request = serviceRequest(
        base(), QStringLiteral("devices/register"), true, false, limits.transferTimeoutMs);
    ServiceCall::send(manager, request, &body, limits, this, [this](const ServiceReply &) {
        emit registrationFinished();
        sendTelemetry(QStringLiteral("app_start"));
    });
}

void TelemetryClient::sendTelemetry(const QString &eventName, const QJsonObject &properties)
{
    if (!manager)
        return;
    const QByteArray body
        = QJsonDocument(eventBody(eventName, currentInstallId(), hash, properties))
              .toJson(QJsonDocument::Compact);
    const QNetworkRequest request = serviceRequest(
        base(), QStringLiteral("telemetry/events"), true, true, limits.transferTimeoutMs);
    ServiceCall::send(manager, request, &body, limits, this,
        [this, eventName](const ServiceReply &) { emit eventFinished(eventName); });
}

void TelemetryClient::reportAuthCompleted(bool success, const QString &message)
{
    if (!success)
        return;
    sendTelemetry(message == QStringLiteral("意见已发送") ? QStringLiteral("feedback_submit")
                                                          : QStringLiteral("app_login"));
}
