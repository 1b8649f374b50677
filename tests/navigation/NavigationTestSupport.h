#pragma once

#include "CompactActionButton.h"
#include "NavigationPanel.h"

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

// One line per row, indented by depth: "name|tool tip|iid". Rows of closed branches are included.
inline QStringList dump(const QTreeWidget *tree)
{
    QStringList lines;
    const std::function<void(QTreeWidgetItem *, int)> walk = [&](QTreeWidgetItem *row, int depth) {
        lines << QString(depth, QLatin1Char(' ')) + row->text(0) + QLatin1Char('|')
                + row->toolTip(0) + QLatin1Char('|') + row->data(0, Qt::UserRole).toString();
        for (int i = 0; i < row->childCount(); ++i)
            walk(row->child(i), depth + 1);
    };
    for (int i = 0; i < tree->topLevelItemCount(); ++i)
        walk(tree->topLevelItem(i), 0);
    return lines;
}

} // namespace navtest
