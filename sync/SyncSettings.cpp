#include "SyncSettings.h"

#include "FolderTransport.h"
#include "WebDavTransport.h"

#include <QSettings>
#include <QUrl>

namespace datasync {

SyncSettings SyncSettings::load()
{
    QSettings settings;
    SyncSettings result;
    result.url = settings.value(QStringLiteral("sync/url")).toString();
    result.user = settings.value(QStringLiteral("sync/user")).toString();
    return result;
}

void SyncSettings::saveAddress() const
{
    QSettings settings;
    settings.setValue(QStringLiteral("sync/url"), url.trimmed());
    settings.setValue(QStringLiteral("sync/user"), user.trimmed());
}

void SyncSettings::applyEnvironment()
{
    if (qEnvironmentVariableIsSet("VELTO_SYNC_USER"))
        user = qEnvironmentVariable("VELTO_SYNC_USER");
    if (qEnvironmentVariableIsSet("VELTO_SYNC_PASSWORD"))
        password = qEnvironmentVariable("VELTO_SYNC_PASSWORD");
    if (qEnvironmentVariableIsSet("VELTO_SYNC_PASSPHRASE"))
        passphrase = qEnvironmentVariable("VELTO_SYNC_PASSPHRASE");
}

std::unique_ptr<SyncTransport> SyncSettings::transport(QString *error) const
{
    const QUrl address = QUrl::fromUserInput(url.trimmed());
    if (address.isLocalFile())
        return std::make_unique<FolderTransport>(address.toLocalFile());
    if (address.isValid()
        && (address.scheme() == QLatin1String("http") || address.scheme() == QLatin1String("https"))
        && !address.host().isEmpty())
        return std::make_unique<WebDavTransport>(address, user, password);
    if (error)
        *error = QStringLiteral("同步服务器地址无效：") + url
            + QStringLiteral("（应以 https:// 或 http:// 开头）");
    return nullptr;
}

} // namespace datasync
