#include "VersionCheck.h"

#include "ServiceEndpoint.h"

#include <QNetworkAccessManager>

#include <algorithm>

namespace {
int versionPart(const QStringList &parts, int index)
{
    bool ok = false;
    const int value = parts.value(index).trimmed().toInt(&ok);
    return ok ? value : 0;
}

QString stringValue(const QJsonObject &object, const QString &key)
{
    const QJsonValue value = object.value(key);
    return value.isString() ? value.toString() : QString();
}
} // namespace

int compareVersions(const QString &a, const QString &b)
{
    const QStringList left = a.split(QLatin1Char('.'));
    const QStringList right = b.split(QLatin1Char('.'));
    const int count = int(std::max(left.size(), right.size()));
    for (int i = 0; i < count; ++i) {
        const int x = versionPart(left, i);
        const int y = versionPart(right, i);
        if (x != y)
            return x < y ? -1 : 1;
    }
    return 0;
}

VersionVerdict evaluateLatestVersion(const QJsonObject &reply, const QString &runningVersion)
{
    VersionVerdict verdict;
    if (reply.isEmpty())
        return verdict;
    const QString latest = stringValue(reply, QStringLiteral("latestVersion"));
    const QString forced = stringValue(reply, QStringLiteral("forceUpgradeVersion"));
    const QString message = stringValue(reply, QStringLiteral("message"));
    const QJsonValue download = reply.value(QStringLiteral("downloadUrl"));
    verdict.downloadUrl = QUrl(download.isString() ? download.toString() : veltoWebsiteUrl());
    if (!forced.isEmpty() && compareVersions(runningVersion, forced) < 0) {
        verdict.kind = VersionVerdict::UpgradeRequired;
        verdict.message
            = message.isEmpty() ? QStringLiteral("当前版本需要升级后才能继续使用。") : message;
    } else if (!latest.isEmpty() && compareVersions(runningVersion, latest) < 0) {
        verdict.kind = VersionVerdict::UpgradeAvailable;
        verdict.message = message.isEmpty() ? QStringLiteral("发现新版本") : message;
    }
    return verdict;
}

VersionChecker::VersionChecker(QNetworkAccessManager *manager, QObject *parent)
    : QObject(parent)
    , manager(manager)
{
}

void VersionChecker::checkVersion()
{
    if (!manager)
        return;
    if (apiBase.isEmpty())
        apiBase = veltoApiBase();
    const QNetworkRequest request = serviceRequest(
        apiBase, QStringLiteral("app/latest-version"), false, false, limits.transferTimeoutMs);
    ServiceCall::send(manager, request, nullptr, limits, this, [this](const ServiceReply &reply) {
        const VersionVerdict verdict
            = evaluateLatestVersion(reply.object, QString::fromLatin1(veltoAppVersion));
        if (verdict.kind == VersionVerdict::UpgradeRequired)
            emit upgradeRequired(verdict.message, verdict.downloadUrl);
        else if (verdict.kind == VersionVerdict::UpgradeAvailable)
            emit upgradeAvailable(verdict.message, verdict.downloadUrl);
        emit checked();
    });
}
