#include "ApplicationStyle.h"
#include "CommandLine.h"
#include "MainWindow.h"
#include "ProgramStop.h"
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
    // Qt has taken its own options (-platform, -style …) out; the window takes none of its own.
    if (const int code = refuseWindowArguments(QCoreApplication::arguments()))
        return code;
    QApplication::setApplicationName(QStringLiteral("Velto"));
    QApplication::setOrganizationName(QStringLiteral("Velto"));
    // Lets the desktop match the window with the installed menu entry and its icon.
    QGuiApplication::setDesktopFileName(QStringLiteral("org.velto.Velto"));
    UiMetrics::initialize();
    installApplicationStyle(app);
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/icons/velto.svg")));

    // A polite request to stop (logout, `kill`) ends the run at any moment: while the window is
    // built (its start-up box included), while a box of ours is open, during an export or import.
    ProgramStop stop;
    auto window = std::make_unique<MainWindow>(nullptr);
    if (stop.requested())
        return 0;
    stop.setWindow(window.get());
    window->show();
    const int code = QApplication::exec();
    window.reset();
    return code;
}
