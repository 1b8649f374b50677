// Host operations on Windows: the shell, Explorer and PowerShell.
#include <QtGlobal>

#ifdef Q_OS_WIN

#include "HostOperations.h"

#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QProcess>

#include <qt_windows.h>
#include <shellapi.h>

namespace {

// ShellExecuteW reports success with a value above 32.
bool shellOpen(const QString &target)
{
    const HINSTANCE result = ShellExecuteW(nullptr, L"open",
        reinterpret_cast<const wchar_t *>(target.utf16()), nullptr, nullptr, SW_SHOWNORMAL);
    return reinterpret_cast<quintptr>(result) > 32;
}

class WindowsHost final : public HostOperations {
public:
    bool openWithSystem(const QString &path) override
    {
        if (shellOpen(path))
            return true;
        return QProcess::startDetached(QStringLiteral("explorer.exe"),
            {QStringLiteral("/select,"), QDir::toNativeSeparators(path)});
    }

    bool revealInFileManager(const QString &path) override
    {
        const QString absolute = QFileInfo(path).absoluteFilePath();
        return QProcess::startDetached(QStringLiteral("explorer.exe"),
            {QStringLiteral("/select,") + QDir::toNativeSeparators(absolute)});
    }

    QString machineUuid() override
    {
        QProcess process;
        process.start(QStringLiteral("powershell.exe"),
            {QStringLiteral("-NoProfile"), QStringLiteral("-NonInteractive"),
                QStringLiteral("-Command"),
                QStringLiteral("(Get-CimInstance Win32_ComputerSystemProduct).UUID")});
        // A process that is still running is killed when `process` goes out of scope.
        if (!process.waitForFinished(3000))
            return {};
        return QString::fromLocal8Bit(process.readAllStandardOutput()).trimmed().toUpper();
    }

    bool openUrl(const QUrl &url) override
    {
        if (shellOpen(url.toString()))
            return true;
        return QDesktopServices::openUrl(url);
    }
};

} // namespace

HostOperations &HostOperations::native()
{
    static WindowsHost host;
    return host;
}

#endif // Q_OS_WIN
