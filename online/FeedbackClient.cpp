#include "FeedbackClient.h"

#include "ServiceEndpoint.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QSet>

FeedbackClient::FeedbackClient(QNetworkAccessManager *manager, QObject *parent)
    : QObject(parent)
    , manager(manager)
{
}

int FeedbackClient::distinctNonSpaceCharacters(const QString &text)
{
    QSet<QChar> seen;
    for (const QChar c : text) {
        if (!c.isSpace())
            seen.insert(c);
    }
    return int(seen.size());
}

QString FeedbackClient::statusText(Status status)
{
    switch (status) {
    case Status::Sending:
        return QStringLiteral("正在发送...");
    case Status::Accepted:
        return QStringLiteral("意见已发送，感谢你的反馈。");
    case Status::Refused:
        return QStringLiteral("发送失败。");
    case Status::Idle:
        break;
    }
    return {};
}

QString FeedbackClient::statusStyleSheet(Status status)
{
    return status == Status::Accepted ? QStringLiteral("QLabel { color:#027a48; font-size:%1px; }")
                                      : QStringLiteral("QLabel { color:#667085; font-size:%1px; }");
}

void FeedbackClient::setStatus(Status status)
{
    const bool wasBusy = isBusy();
    current = status;
    emit statusChanged(current);
    if (wasBusy != isBusy())
        emit busyChanged(isBusy());
}

void FeedbackClient::send(const QString &text)
{
    if (isBusy())
        return;
    const QString content = text.trimmed();
    if (distinctNonSpaceCharacters(content) < minimumDistinctCharacters) {
        setStatus(Status::Refused);
        return;
    }
    if (!manager)
        return;
    const QJsonObject body {
        {QStringLiteral("installId"), currentInstallId()},
        {QStringLiteral("category"), QStringLiteral("suggestion")},
        {QStringLiteral("title"), QStringLiteral("桌面版意见反馈")},
        {QStringLiteral("content"), content},
        {QStringLiteral("appVersion"), QString::fromLatin1(veltoAppVersion)},
    };
    if (apiBase.isEmpty())
        apiBase = veltoApiBase();
    const QNetworkRequest request
        = serviceRequest(apiBase, QStringLiteral("feedback"), true, true, limits.transferTimeoutMs);
    const QByteArray bytes = QJsonDocument(body).toJson(QJsonDocument::Compact);
    setStatus(Status::Sending);
    ServiceCall::send(manager, request, &bytes, limits, this, [this](const ServiceReply &reply) {
        if (!reply.networkError && reply.object.contains(QStringLiteral("ticketNo"))) {
            setStatus(Status::Accepted);
            emit accepted();
        } else {
            setStatus(Status::Refused);
        }
    });
}
