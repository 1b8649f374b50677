// The item tree: a full rebuild from a flat list, or a lazy tree that reads one branch at a time
// through the main window's providers and updates single branches in place. Both show the same
// rows in the same order.

#include "NavigationPanel.h"

#include "DisplayText.h"
#include "ItemTreeWidget.h"

#include <QSet>

#include <QSignalBlocker>
#include <QTreeWidget>
#include <utility>

namespace {

// Set on a lazy row once its children have been read.
constexpr int populatedRole = Qt::UserRole + 2;

qint64 rowIid(const QTreeWidgetItem *row)
{
    return row->data(0, Qt::UserRole).toLongLong();
}

bool isPopulated(const QTreeWidgetItem *row)
{
    return row->data(0, populatedRole).toBool();
}

} // namespace

QTreeWidgetItem *NavigationPanel::makeTreeRow(const DataItem &item)
{
    auto *row = new QTreeWidgetItem;
    row->setText(0, DisplayText::oneLine(item.here));
    row->setData(0, Qt::ToolTipRole, DisplayText::oneLine(item.cont, DisplayText::toolTipChars));
    row->setData(0, Qt::UserRole, item.iid);
    treeItemsByIid.insert(item.iid, row);
    return row;
}

void NavigationPanel::setTreeItems(const QList<DataItem> &items)
{
    const QSignalBlocker blocker(tree);
    childrenProvider = nullptr;
    itemProvider = nullptr;
    tree->clear();
    treeItemsByIid.clear();
    treeItemsByIid.reserve(items.size());
    bool duplicates = false;
    for (const DataItem &item : items) {
        if (treeItemsByIid.contains(item.iid))
            duplicates = true;
        else
            makeTreeRow(item);
    }

    QList<QTreeWidgetItem *> topLevel;
    QHash<qint64, bool> placed;
    for (const DataItem &item : items) {
        // iids are unique in storage; should a list repeat one, its first record alone counts.
        if (duplicates && std::exchange(placed[item.iid], true))
            continue;
        QTreeWidgetItem *row = treeItemsByIid.value(item.iid);
        QTreeWidgetItem *parent = item.pid != 0 ? treeItemsByIid.value(item.pid) : nullptr;
        // An item that is its own ancestor (damaged parent links) would tie the rows into a loop;
        // it stands at the top level instead.
        for (QTreeWidgetItem *up = parent; up; up = up->parent()) {
            if (up == row) {
                parent = nullptr;
                break;
            }
        }
        if (parent)
            parent->addChild(row);
        else
            topLevel.append(row);
    }
    tree->addTopLevelItems(topLevel);
}

void NavigationPanel::setSelectedTree(qint64 iid)
{
    const QSignalBlocker blocker(tree);
    if (childrenProvider && !treeItemsByIid.contains(iid))
        revealLazyItem(iid);
    QTreeWidgetItem *row = treeItemsByIid.value(iid);
    if (!row) {
        tree->setCurrentItem(nullptr);
        return;
    }
    // Making a row current opens its ancestors without the expansion signal: read their children
    // first, so that every row that becomes visible knows whether it has children.
    if (childrenProvider) {
        for (QTreeWidgetItem *up = row->parent(); up; up = up->parent())
            populateChildrenOf(up);
    }
    tree->setCurrentItem(row);
}

void NavigationPanel::setTreeSource(ChildrenProvider children, ItemProvider item)
{
    {
        const QSignalBlocker blocker(tree);
        tree->clear();
        treeItemsByIid.clear();
    }
    childrenProvider = std::move(children);
    itemProvider = std::move(item);
    reloadTreeChildren(0);
}

void NavigationPanel::reloadTreeChildren(qint64 pid)
{
    if (!childrenProvider)
        return;
    QTreeWidgetItem *parent = nullptr;
    if (pid != 0) {
        parent = treeItemsByIid.value(pid);
        if (!parent || !isPopulated(parent))
            return;
    }
    const QSignalBlocker blocker(tree);
    syncChildren(parent, childrenProvider(pid));
    if (!parent || parent->isExpanded())
        populateChildrenOf(parent);
}

void NavigationPanel::updateTreeItem(const DataItem &item)
{
    if (QTreeWidgetItem *row = treeItemsByIid.value(item.iid)) {
        row->setText(0, DisplayText::oneLine(item.here));
        row->setData(
            0, Qt::ToolTipRole, DisplayText::oneLine(item.cont, DisplayText::toolTipChars));
    }
}

void NavigationPanel::forgetTreeRow(QTreeWidgetItem *row)
{
    for (int i = 0; i < row->childCount(); ++i)
        forgetTreeRow(row->child(i));
    const auto found = treeItemsByIid.constFind(rowIid(row));
    if (found != treeItemsByIid.cend() && found.value() == row)
        treeItemsByIid.erase(found);
}

// Makes the children of parent (the top level when null) exactly `children`, in that order,
// keeping the rows (and their opened branches) that stay.
void NavigationPanel::syncChildren(QTreeWidgetItem *parent, const QList<DataItem> &listed)
{
    // A row cannot go below itself: with damaged parent links an ancestor of `parent` may be
    // listed as its child; it stays where it is.
    QList<DataItem> children;
    children.reserve(listed.size());
    for (const DataItem &item : listed) {
        bool loop = false;
        for (QTreeWidgetItem *up = parent; up && !loop; up = up->parent())
            loop = rowIid(up) == item.iid;
        if (!loop)
            children.append(item);
    }

    const auto count = [&] { return parent ? parent->childCount() : tree->topLevelItemCount(); };
    const auto at = [&](int i) { return parent ? parent->child(i) : tree->topLevelItem(i); };
    const auto indexOf = [&](QTreeWidgetItem *row) {
        return parent ? parent->indexOfChild(row) : tree->indexOfTopLevelItem(row);
    };
    const auto take
        = [&](int i) { return parent ? parent->takeChild(i) : tree->takeTopLevelItem(i); };
    const auto insert = [&](int i, QTreeWidgetItem *row) {
        parent ? parent->insertChild(i, row) : tree->insertTopLevelItem(i, row);
    };

    QSet<qint64> wanted;
    wanted.reserve(children.size());
    for (const DataItem &item : children)
        wanted.insert(item.iid);
    for (int i = count() - 1; i >= 0; --i) {
        if (!wanted.contains(rowIid(at(i)))) {
            QTreeWidgetItem *gone = take(i);
            forgetTreeRow(gone);
            delete gone;
        }
    }

    for (int i = 0; i < children.size(); ++i) {
        const DataItem &item = children.at(i);
        QTreeWidgetItem *row = treeItemsByIid.value(item.iid);
        if (row && i < count() && at(i) == row) {
            updateTreeItem(item);
            continue;
        }
        if (row && row->parent() == parent && (parent || indexOf(row) >= 0)) {
            take(indexOf(row));
        } else if (row) {
            // Moved here from another loaded branch: keep the row with its loaded children.
            if (row->parent())
                row->parent()->removeChild(row);
            else if (tree->indexOfTopLevelItem(row) >= 0)
                tree->takeTopLevelItem(tree->indexOfTopLevelItem(row));
        } else {
            row = makeTreeRow(item);
        }
        updateTreeItem(item);
        insert(i, row);
    }
    if (parent)
        parent->setData(0, populatedRole, true);
}

void NavigationPanel::populate(QTreeWidgetItem *row)
{
    if (isPopulated(row))
        return;
    syncChildren(row, childrenProvider(rowIid(row)));
}

// Reads the children of every row below `row` (the top level when null), so that each of them
// shows its expand arrow exactly when it has children. Opened rows further down follow.
void NavigationPanel::populateChildrenOf(QTreeWidgetItem *row)
{
    if (!childrenProvider)
        return;
    const QSignalBlocker blocker(tree);
    const int count = row ? row->childCount() : tree->topLevelItemCount();
    for (int i = 0; i < count; ++i) {
        QTreeWidgetItem *child = row ? row->child(i) : tree->topLevelItem(i);
        populate(child);
        if (child->isExpanded())
            populateChildrenOf(child);
    }
}

// Reads the ancestors of an item that has no row yet, from the nearest loaded one down.
void NavigationPanel::revealLazyItem(qint64 iid)
{
    if (!itemProvider)
        return;
    QList<qint64> chain {iid};
    QSet<qint64> seen {iid};
    DataItem current = itemProvider(iid);
    while (current.iid != 0 && current.pid != 0 && !treeItemsByIid.contains(current.pid)) {
        if (seen.contains(current.pid))
            return;
        seen.insert(current.pid);
        chain.prepend(current.pid);
        current = itemProvider(current.pid);
    }
    if (current.iid == 0 || current.pid == 0)
        return;
    for (const qint64 step : std::as_const(chain)) {
        QTreeWidgetItem *parent = treeItemsByIid.value(current.pid);
        if (!parent)
            return;
        populate(parent);
        current.pid = step;
    }
}
