#include "ProgramStop.h"

#include "MainWindow.h"
#include "TerminationWatcher.h"

#include <QApplication>
#include <QDialog>

ProgramStop::ProgramStop(std::function<void()> quit, QObject *parent)
    : QObject(parent)
    , m_quit(quit ? std::move(quit) : [] { QCoreApplication::quit(); })
    , m_watcher(new TerminationWatcher([this] { request(); }, this))
{
}

ProgramStop::~ProgramStop() = default;

void ProgramStop::request()
{
    m_requested = true;
    if (m_window)
        m_window->beginStop();
    dismissModalWidgets();
    if (m_window)
        m_window->close();
    // Quitting leaves every running event loop at once; a box opened after this returns at once.
    m_quit();
}

void ProgramStop::dismissModalWidgets()
{
    // Bounded: a widget that refuses to go is hidden, and nothing loops for ever.
    for (int round = 0; round < 64; ++round) {
        QWidget *modal = QApplication::activeModalWidget();
        if (!modal)
            return;
        if (auto *dialog = qobject_cast<QDialog *>(modal))
            dialog->reject();
        else
            modal->close();
        if (QApplication::activeModalWidget() == modal)
            modal->hide();
    }
}
