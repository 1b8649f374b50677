// Host operations on freedesktop systems (Linux and other Unix desktops): the default URL
// handler, the FileManager1 D-Bus interface and the machine-id file.
#include <QtGlobal>

#ifndef Q_OS_WIN

#include "HostOperations.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDesktopServices>
#include <QFile>
#include <QFileInfo>

namespace {

// Long enough for a file manager that has to be started first.
constexpr int showItemsTimeoutMs = 10000;

class FreedesktopHost final : public HostOperations {
public:
    bool openWithSystem(const QString &path) override
    {
        return QDesktopServices::openUrl(QUrl::fromLocalFile(QFileInfo(path).absoluteFilePath()));
    }

    bool revealInFileManager(const QString &path) override
    {
        const QFileInfo info(path);
        const QString file = info.absoluteFilePath();
        const QString folder = info.absolutePath();
        QDBusConnection bus = QDBusConnection::sessionBus();
        if (!bus.isConnected() || !QCoreApplication::instance())
            return openContainingFolder(folder);

        QDBusMessage call
            = QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.FileManager1"),
                QStringLiteral("/org/freedesktop/FileManager1"),
                QStringLiteral("org.freedesktop.FileManager1"), QStringLiteral("ShowItems"));
        call << QStringList {QUrl::fromLocalFile(file).toString(QUrl::FullyEncoded)} << QString();
        // Asynchronous: a file manager that is slow to start must not freeze the window.
        auto *watcher = new QDBusPendingCallWatcher(
            bus.asyncCall(call, showItemsTimeoutMs), QCoreApplication::instance());
        QObject::connect(watcher, &QDBusPendingCallWatcher::finished, watcher,
            [folder](QDBusPendingCallWatcher *finished) {
                if (finished->isError())
                    openContainingFolder(folder);
                finished->deleteLater();
            });
        return true;
    }

    QString machineUuid() override
    {
        for (const char *name : {"/etc/machine-id", "/var/lib/dbus/machine-id"}) {
            QFile file(QString::fromLatin1(name));
            if (!file.open(QIODevice::ReadOnly))
                continue;
            const QString uuid = machineUuidFromMachineId(file.read(256));
            if (!uuid.isEmpty())
                return uuid;
        }
        return {};
    }

    bool openUrl(const QUrl &url) override { return QDesktopServices::openUrl(url); }

private:
    // Without a file manager that can select a file, the folder that holds it is the next best
    // thing. It goes through the host in effect like any other "open with the system" request.
    static bool openContainingFolder(const QString &folder)
    {
        return HostOperations::current().openWithSystem(folder);
    }
};

} // namespace

HostOperations &HostOperations::native()
{
    static FreedesktopHost host;
    return host;
}

#endif // !Q_OS_WIN
