#pragma once

#include "CompactActionButton.h"
#include "NavigationPanel.h"
#include "TreeDump.h"

#include <QSettings>
#include <QStackedWidget>
#include <QTreeWidget>

namespace navtest {

inline DataItem item(qint64 iid, qint64 pid, const QString &here, qint64 sortid = 0)
{
    DataItem d;
    d.id = d.iid = iid;
    d.pid = pid;
    d.sortid = sortid;
    d.here = here;
    d.cont = here + QStringLiteral(" content");
    return d;
}

template<typename T> T *child(const QWidget *panel, const QString &text)
{
    for (T *w : panel->findChildren<T *>()) {
        if (w->text() == text)
            return w;
    }
    return nullptr;
}

inline CompactActionButton *button(const NavigationPanel &panel, const char *text)
{
    return child<CompactActionButton>(&panel, QString::fromUtf8(text));
}

inline QTreeWidget *treeOf(const NavigationPanel &panel)
{
    return panel.findChild<QTreeWidget *>();
}

inline QStackedWidget *stackOf(const NavigationPanel &panel)
{
    return panel.findChild<QStackedWidget *>();
}

using velto::test::dumpTree;

} // namespace navtest
