#pragma once

#include "Records.h"

#include <QList>
#include <QSet>

class DataItemRepository;
class NavigationPanel;

// Keeps the sidebar's item tree in step with storage without rebuilding it. The panel reads the
// tree lazily through children() and item(); the window notes what a command changed and
// apply() touches only those branches and rows. Level changes and selections change no row:
// they only move the tree's mark, which the window does directly.
class NavigationTreeSync {
public:
    NavigationTreeSync(NavigationPanel *panel, const DataItemRepository *items);

    // The rows of one level in display order. For 0 the top level: the items of pid 0 and every
    // item no existing parent holds, ordered by pid, sortid, iid (where a full rebuild puts them).
    QList<DataItem> children(qint64 pid) const;

    // What changed since the last apply().
    // Everything (an import, data written behind the window's back): a fresh lazy source.
    void resetAll() { resetPending = true; }
    // Items were added to, removed from or reordered among the children of pid.
    void branchChanged(qint64 pid) { branches.insert(pid); }
    // The name or content line of one item changed in place.
    void itemChanged(qint64 iid) { renamed.insert(iid); }

    bool hasPendingChanges() const
    {
        return resetPending || !branches.isEmpty() || !renamed.isEmpty();
    }
    // Applies the noted changes to the panel (nothing when none are noted).
    void apply();

private:
    NavigationPanel *panel;
    const DataItemRepository *items;
    bool resetPending = true;
    QSet<qint64> branches;
    QSet<qint64> renamed;
};
