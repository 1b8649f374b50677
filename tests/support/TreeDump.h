#pragma once

#include <QStringList>
#include <QTreeWidget>

#include <functional>

namespace velto::test {

// One line per row, indented by depth: "name|tool tip|iid". Rows of closed branches are included.
inline QStringList dumpTree(const QTreeWidget *tree)
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

} // namespace velto::test
