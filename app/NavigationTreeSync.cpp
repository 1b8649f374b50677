#include "NavigationTreeSync.h"

#include "DataItemRepository.h"
#include "NavigationPanel.h"

NavigationTreeSync::NavigationTreeSync(NavigationPanel *panel, const DataItemRepository *items)
    : panel(panel)
    , items(items)
{
}

QList<DataItem> NavigationTreeSync::children(qint64 pid) const
{
    if (pid != 0)
        return items->byParent(pid);
    // allItems() order: parents that sort before 0 (negative ids) come first.
    const QList<DataItem> orphans = items->orphans();
    QList<DataItem> top;
    auto firstAfterZero = orphans.cbegin();
    while (firstAfterZero != orphans.cend() && firstAfterZero->pid < 0)
        ++firstAfterZero;
    top.reserve(orphans.size());
    top.append(QList<DataItem>(orphans.cbegin(), firstAfterZero));
    top.append(items->byParent(0));
    top.append(QList<DataItem>(firstAfterZero, orphans.cend()));
    return top;
}

void NavigationTreeSync::apply()
{
    if (!panel || !hasPendingChanges())
        return;
    if (resetPending) {
        resetPending = false;
        branches.clear();
        renamed.clear();
        panel->setTreeSource([this](qint64 pid) { return children(pid); },
            [this](qint64 iid) { return items->get(iid); });
        return;
    }
    for (const qint64 pid : std::as_const(branches)) {
        // The children of a parent that no longer exists stand at the top level.
        const bool parentExists = pid == 0 || items->get(pid).iid != 0;
        panel->reloadTreeChildren(parentExists ? pid : 0);
    }
    branches.clear();
    for (const qint64 iid : std::as_const(renamed)) {
        const DataItem item = items->get(iid);
        if (item.iid != 0)
            panel->updateTreeItem(item);
    }
    renamed.clear();
}
