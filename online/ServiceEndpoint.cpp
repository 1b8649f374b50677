#include "ServiceEndpoint.h"

#include "HostOperations.h"
#include "VeltoBuildConfig.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QFileInfo>
#include <QSettings>
#include <QSysInfo>
#include <QUrl>
#include <QUuid>

namespace {
const QString installIdKey = QStringLiteral("velto/installId");
const QString accessTokenKey = QStringLiteral("velto/accessToken");
} // namespace

QString deviceHashFromUuid(const QString &uuidText)
{
    const QString uuid = uuidText.trimmed().toUpper();
    if (uuid.isEmpty() || uuid == QLatin1String("FFFFFFFF-FFFF-FFFF-FFFF-FFFFFFFFFFFF")
        || uuid == QLatin1String("00000000-0000-0000-0000-000000000000"))
        return {};
    const QByteArray input = QStringLiteral("velto-device-v1:%1").arg(uuid).toUtf8();
    return QString::fromLatin1(QCryptographicHash::hash(input, QCryptographicHash::Sha256).toHex());
}

QString veltoHardwareHash()
{
    static const QString hash = deviceHashFromUuid(HostOperations::current().machineUuid());
    return hash;
}

QString defaultApiBase()
{
    return QStringLiteral(VELTO_SERVICE_HOST "/api/v1/velto/");
}

QString resolveApiBase(
    const QString &deviceHash, const QString &developerHash, const QString &overridePath)
{
    if (deviceHash.size() != 64 || deviceHash != developerHash)
        return defaultApiBase();
    const QSettings file(overridePath, QSettings::IniFormat);
    QString base
        = file.value(QStringLiteral("network/apiBase"), defaultApiBase()).toString().trimmed();
    if (!base.endsWith(QLatin1Char('/')))
        base += QLatin1Char('/');
    return base;
}

QString veltoApiBase()
{
    const QString overridePath
        = QDir(QCoreApplication::applicationDirPath()).filePath(QStringLiteral("velto.ini"));
    return resolveApiBase(
        veltoHardwareHash(), QStringLiteral(VELTO_DEVELOPER_DEVICE_HASH), overridePath);
}

QString currentInstallId()
{
    QSettings settings;
    QString id = settings.value(installIdKey).toString();
    if (id.isEmpty()) {
        id = QUuid::createUuid().toString(QUuid::WithoutBraces);
        settings.setValue(installIdKey, id);
    }
    return id;
}

QString veltoWebsiteUrl()
{
    return QStringLiteral(VELTO_WEBSITE_URL);
}

QString veltoPlatformName()
{
#if defined(Q_OS_WIN)
    return QStringLiteral("windows");
#elif defined(Q_OS_MACOS)
    return QStringLiteral("macos");
#elif defined(Q_OS_LINUX)
    return QStringLiteral("linux");
#else
    return QSysInfo::kernelType();
#endif
}

QString storedAccessToken()
{
    return QSettings().value(accessTokenKey).toString();
}

void storeAccessToken(const QString &token)
{
    QSettings().setValue(accessTokenKey, token);
}

QNetworkRequest serviceRequest(
    const QString &base, const QString &relativePath, bool json, bool bearer, int transferTimeoutMs)
{
    QNetworkRequest request(QUrl(base + relativePath, QUrl::TolerantMode));
    if (json)
        request.setHeader(
            QNetworkRequest::ContentTypeHeader, QByteArrayLiteral("application/json"));
    if (bearer) {
        const QString token = storedAccessToken();
        if (!token.isEmpty())
            request.setRawHeader("Authorization", "Bearer " + token.toUtf8());
    }
    request.setTransferTimeout(transferTimeoutMs);
    return request;
}
