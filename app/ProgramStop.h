#pragma once

#include <QObject>
#include <QPointer>

#include <functional>

class MainWindow;
class TerminationWatcher;

// What a stop request (SIGTERM, SIGINT: a logout, a service manager, Ctrl+C) does, at any moment
// of the run. The window, once there, puts an unsaved edit into the recovery draft and cancels a
// running export or import (rolled back); every modal box is dismissed, innermost first, and every
// event loop is left, the nested ones of those boxes included. No question is asked any more. A
// second request while the first is handled ends the process at once.
class ProgramStop : public QObject {
public:
    // `quit` leaves the event loops; QCoreApplication::quit() unless replaced (tests).
    explicit ProgramStop(std::function<void()> quit = {}, QObject *parent = nullptr);
    ~ProgramStop() override;

    // The window to close once it stands; a request before that only ends the run.
    void setWindow(MainWindow *window) { m_window = window; }
    bool requested() const { return m_requested; }
    void request();

    // Rejects every open modal dialog (closes other modal widgets), innermost first.
    static void dismissModalWidgets();

private:
    std::function<void()> m_quit;
    QPointer<MainWindow> m_window;
    TerminationWatcher *m_watcher = nullptr;
    bool m_requested = false;
};
