#include "ApplicationStyle.h"
#include "CommandLine.h"
#include "MainWindow.h"
#include "TerminationWatcher.h"
#include "UiMetrics.h"

#include <QApplication>
#include <QIcon>

#include <memory>

int qMain(int argc, char **argv)
{
    // --export, --import, --backup and --help run without a window or a display.
    if (isCommandLineInvocation(argc, argv))
        return runCommandLine(argc, argv);
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Velto"));
    QApplication::setOrganizationName(QStringLiteral("Velto"));
    // Lets the desktop match the window with the installed menu entry and its icon.
    QGuiApplication::setDesktopFileName(QStringLiteral("org.velto.Velto"));
    UiMetrics::initialize();
    installApplicationStyle(app);
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/icons/velto.svg")));

    auto window = std::make_unique<MainWindow>(nullptr);
    // A polite request to stop (logout, `kill`) closes the window the way the user would.
    TerminationWatcher watcher([&window] { window->close(); });
    window->show();
    const int code = QApplication::exec();
    window.reset();
    return code;
}
