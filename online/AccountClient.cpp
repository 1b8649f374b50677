#include "AccountClient.h"

#include "ServiceEndpoint.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>

AccountClient::AccountClient(bool registration, QNetworkAccessManager *manager, QObject *parent)
    : QObject(parent)
    , registration(registration)
    , manager(manager)
{
}

void AccountClient::setMessage(const QString &message)
{
    text = message;
    emit messageChanged(text);
}

void AccountClient::setBusy(bool value)
{
    busy = value;
    emit busyChanged(busy);
}

void AccountClient::submit(
    const QString &username, const QString &password, const QString &displayName)
{
    if (busy)
        return;
    const QString user = username.trimmed();
    const QString display = displayName.trimmed();
    if (user.isEmpty() || password.isEmpty() || (registration && display.isEmpty())) {
        setMessage(QStringLiteral("请填写完整信息"));
        return;
    }
    if (!manager)
        return;
    QJsonObject body {
        {QStringLiteral("username"), user},
        {QStringLiteral("password"), password},
        {QStringLiteral("installId"), currentInstallId()},
    };
    if (registration)
        body.insert(QStringLiteral("displayName"), display);
    if (apiBase.isEmpty())
        apiBase = veltoApiBase();
    const QNetworkRequest request = serviceRequest(apiBase,
        registration ? QStringLiteral("auth/register") : QStringLiteral("auth/login"), true, false,
        limits.transferTimeoutMs);
    const QByteArray bytes = QJsonDocument(body).toJson(QJsonDocument::Compact);
    setBusy(true);
    setMessage(QStringLiteral("正在连接后台..."));
    ServiceCall::send(manager, request, &bytes, limits, this,
        [this](const ServiceReply &reply) { finish(reply); });
}

void AccountClient::finish(const ServiceReply &reply)
{
    setBusy(false);
    const QJsonValue tokenValue = reply.object.value(QStringLiteral("accessToken"));
    const QString token = tokenValue.isString() ? tokenValue.toString() : QString();
    if (reply.networkError || token.isEmpty()) {
        const QJsonValue message = reply.object.value(QStringLiteral("message"));
        if (reply.networkError)
            setMessage(reply.errorString);
        else
            setMessage(message.isString() ? message.toString() : QStringLiteral("登录失败"));
        emit authCompleted(false, text);
        return;
    }
    storeAccessToken(token);
    setMessage(QStringLiteral("登录成功"));
    emit authCompleted(true, text);
}
