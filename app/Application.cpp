#include "ApplicationStyle.h"
#include "CommandLine.h"
#include "MainWindow.h"
#include "TerminationWatcher.h"
#include "UiMetrics.h"

#include <QApplication>
#include <QIcon>
#include <QTimer>

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

    // A polite request to stop (logout, `kill`) closes the window the way the user would. The
    // watcher exists before the window, so a request that arrives while the window is still
    // being built is honoured once it stands.
    std::unique_ptr<MainWindow> window;
    bool stopRequested = false;
    TerminationWatcher watcher([&window, &stopRequested] {
        if (window)
            window->close();
        else
            stopRequested = true;
    });
    window = std::make_unique<MainWindow>(nullptr);
    window->show();
    if (stopRequested)
        QTimer::singleShot(0, window.get(), &QWidget::close);
    const int code = QApplication::exec();
    window.reset();
    return code;
}
