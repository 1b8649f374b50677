#include "DragDropSupport.h"
#include "ItemTreeWidget.h"
#include "NavigationTestSupport.h"
#include "TestSupport.h"

#include <QSet>
#include <QSignalSpy>
#include <QTreeWidgetItemIterator>

#include <algorithm>

using namespace navtest;

namespace {

// The items of a database, answering the queries the main window's providers make.
struct Store {
    QList<DataItem> items;
    int reads = 0;

    QList<DataItem> sorted() const
    {
        QList<DataItem> list = items;
        std::sort(list.begin(), list.end(), [](const DataItem &a, const DataItem &b) {
            return std::tie(a.pid, a.sortid, a.iid) < std::tie(b.pid, b.sortid, b.iid);
        });
        return list;
    }
    QList<DataItem> children(qint64 pid)
    {
        ++reads;
        QSet<qint64> ids;
        for (const DataItem &d : std::as_const(items))
            ids.insert(d.iid);
        QList<DataItem> out;
        for (const DataItem &d : sorted()) {
            if (pid == 0 ? d.pid == 0 || !ids.contains(d.pid) : d.pid == pid)
                out << d;
        }
        return out;
    }
    DataItem &at(qint64 iid)
    {
        return *std::find_if(items.begin(), items.end(), [iid](auto &d) { return d.iid == iid; });
    }
    DataItem get(qint64 iid)
    {
        const auto found = std::find_if(
            items.cbegin(), items.cend(), [iid](const DataItem &d) { return d.iid == iid; });
        return found == items.cend() ? DataItem() : *found;
    }
    void attach(NavigationPanel &panel)
    {
        panel.setTreeSource(
            [this](qint64 pid) { return children(pid); }, [this](qint64 iid) { return get(iid); });
    }
};

// Three levels: 1..3, then 10*i+k, then 100*j+k; and one item whose parent does not exist.
Store sampleStore()
{
    Store store;
    for (int i = 1; i <= 3; ++i) {
        store.items << item(i, 0, QStringLiteral("top %1").arg(i), i);
        for (int k = 1; k <= 3; ++k) {
            const int j = 10 * i + k;
            store.items << item(j, i, QStringLiteral("mid %1").arg(j), k);
            for (int m = 1; m <= 2; ++m)
                store.items << item(100 * j + m, j, QStringLiteral("leaf %1").arg(100 * j + m), m);
        }
    }
    store.items << item(900, 999, QStringLiteral("orphan"));
    return store;
}

void expandAll(QTreeWidgetItem *row)
{
    row->setExpanded(true);
    for (int i = 0; i < row->childCount(); ++i)
        expandAll(row->child(i));
}

void expandAll(QTreeWidget *tree)
{
    for (int i = 0; i < tree->topLevelItemCount(); ++i)
        expandAll(tree->topLevelItem(i));
}

QStringList fullRebuild(Store &store)
{
    NavigationPanel full;
    full.setTreeItems(store.sorted());
    return dumpTree(treeOf(full));
}

} // namespace

class NavigationTreeTest : public QObject {
    Q_OBJECT

private slots:
    void init() { QSettings().clear(); }
    void fullRebuildFromFlatList();
    void lazyTreeMatchesFullRebuild();
    void lazyTreeOpensPathOnSelection();
    void dropsAskTheCheckAndReportTheMove();
};

void NavigationTreeTest::fullRebuildFromFlatList()
{
    NavigationPanel panel;
    panel.setCollapsed(false);
    panel.resize(216, 600);
    panel.show();
    QVERIFY(QTest::qWaitForWindowExposed(&panel));
    QSignalSpy clicked(&panel, &NavigationPanel::treeItemActivated);
    panel.setTreeItems({item(1, 0, QStringLiteral("A")), item(2, 1, QStringLiteral("B")),
        item(3, 1, QStringLiteral("C")), item(4, 99, QStringLiteral("D"))});
    QTreeWidget *tree = treeOf(panel);
    QCOMPARE(dumpTree(tree),
        QStringList({QStringLiteral("A|A content|1"), QStringLiteral(" B|B content|2"),
            QStringLiteral(" C|C content|3"), QStringLiteral("D|D content|4")}));
    QVERIFY(!tree->topLevelItem(0)->isExpanded());

    panel.setSelectedTree(3);
    QCOMPARE(tree->currentItem()->text(0), QStringLiteral("C"));
    panel.setSelectedTree(42);
    QVERIFY(!tree->currentItem());
    QTest::mouseClick(
        tree->viewport(), Qt::LeftButton, {}, tree->visualItemRect(tree->topLevelItem(1)).center());
    QCOMPARE(clicked.size(), 1);
    QCOMPARE(clicked.at(0).at(0).toLongLong(), 4);

    // Damaged parent links (a loop, an item that is its own parent) still give a finite tree
    // holding every item once.
    panel.setTreeItems({item(5, 6, QStringLiteral("E")), item(6, 5, QStringLiteral("F")),
        item(7, 7, QStringLiteral("G"))});
    QCOMPARE(dumpTree(tree).size(), 3);
    QCOMPARE(tree->topLevelItemCount(), 2);
    QCOMPARE(clicked.size(), 1);
}

void NavigationTreeTest::lazyTreeMatchesFullRebuild()
{
    for (const bool openedFirst : {false, true}) {
        Store store = sampleStore();
        NavigationPanel lazy;
        QSignalSpy activated(&lazy, &NavigationPanel::treeItemActivated);
        store.attach(lazy);
        QTreeWidget *tree = treeOf(lazy);
        QCOMPARE(tree->topLevelItemCount(), 4);
        QVERIFY(store.reads <= 5); // the top level, one level ahead
        QVERIFY(!tree->topLevelItem(0)->isExpanded());
        if (openedFirst)
            expandAll(tree);

        const auto move = [&](qint64 iid, qint64 pid, qint64 sortid) {
            const qint64 from = store.at(iid).pid;
            store.at(iid).pid = pid;
            store.at(iid).sortid = sortid;
            lazy.reloadTreeChildren(from);
            lazy.reloadTreeChildren(pid);
        };
        const auto remove = [&](qint64 iid) {
            const qint64 from = store.at(iid).pid;
            store.items.removeIf([iid](const DataItem &d) { return d.iid == iid; });
            lazy.reloadTreeChildren(from);
            lazy.reloadTreeChildren(0); // its children, if any, become top-level rows
        };
        store.items << item(50, 1, QStringLiteral("added first"), 0);
        lazy.reloadTreeChildren(1);
        store.items << item(51, 1101, QStringLiteral("added deep"), 9);
        lazy.reloadTreeChildren(1101);
        store.at(12).here = QStringLiteral("renamed");
        store.at(12).cont = QStringLiteral("new content");
        lazy.updateTreeItem(store.at(12));
        move(21, 3, 10); // with its children
        move(13, 0, 0); // to the top level
        move(2, 1, 5); // a branch under another branch
        remove(3101);
        remove(11); // 1101 and 1102 are left without a parent
        std::swap(store.at(31).sortid, store.at(32).sortid);
        lazy.reloadTreeChildren(3);

        expandAll(tree);
        QCOMPARE(dumpTree(tree), fullRebuild(store));
        QCOMPARE(activated.size(), 0);
    }
}

void NavigationTreeTest::lazyTreeOpensPathOnSelection()
{
    Store store = sampleStore();
    NavigationPanel panel;
    panel.setCollapsed(false);
    panel.resize(216, 600);
    panel.show();
    QVERIFY(QTest::qWaitForWindowExposed(&panel));
    QSignalSpy activated(&panel, &NavigationPanel::treeItemActivated);
    store.attach(panel);
    QTreeWidget *tree = treeOf(panel);

    panel.setSelectedTree(3102);
    QVERIFY(tree->currentItem());
    QCOMPARE(tree->currentItem()->data(0, Qt::UserRole).toLongLong(), 3102);
    // Every row that is now visible shows its expand arrow exactly when it has children.
    const std::function<void(QTreeWidgetItem *)> check = [&](QTreeWidgetItem *row) {
        const qint64 iid = row->data(0, Qt::UserRole).toLongLong();
        QCOMPARE(row->childCount(), store.children(iid).size());
        if (row->isExpanded()) {
            for (int i = 0; i < row->childCount(); ++i)
                check(row->child(i));
        }
    };
    for (int i = 0; i < tree->topLevelItemCount(); ++i)
        check(tree->topLevelItem(i));
    QVERIFY(tree->topLevelItem(2)->isExpanded());

    panel.setSelectedTree(900);
    QCOMPARE(tree->currentItem()->text(0), QStringLiteral("orphan"));
    panel.setSelectedTree(4242);
    QVERIFY(!tree->currentItem());
    QCOMPARE(activated.size(), 0);

    panel.setTreeItems(store.sorted()); // back to full rebuilds: reloads do nothing
    store.items << item(60, 0, QStringLiteral("later"));
    panel.reloadTreeChildren(0);
    QCOMPARE(tree->topLevelItemCount(), 4);
}

VELTO_TEST_MAIN(NavigationTreeTest)
void NavigationTreeTest::dropsAskTheCheckAndReportTheMove()
{
    NavigationPanel panel;
    panel.setCollapsed(false);
    panel.resize(216, 600);
    panel.show();
    QVERIFY(QTest::qWaitForWindowExposed(&panel));
    panel.setTreeItems({item(1, 0, QStringLiteral("甲")), item(2, 1, QStringLiteral("乙")),
        item(3, 0, QStringLiteral("丙"))});
    QTreeWidget *tree = treeOf(panel);
    tree->expandAll();
    QSignalSpy moves(&panel, &NavigationPanel::treeMoveRequested);
    QList<QPair<qint64, qint64>> asked;
    bool allow = true;
    panel.setTreeMoveCheck([&](qint64 iid, qint64 newParent) {
        asked << qMakePair(iid, newParent);
        return allow;
    });
    const auto rowCentre = [&](int index) {
        QTreeWidgetItemIterator it(tree);
        for (int i = 0; i < index; ++i)
            ++it;
        return tree->visualItemRect(*it).center();
    };
    QMimeData dragged;
    dragged.setData(ItemTreeWidget::mimeType(), "2");

    // Onto a row: that row is the new parent; onto empty space: the top level.
    velto::test::DropOutcome onRow
        = velto::test::dragAndDrop(tree->viewport(), dragged, rowCentre(2));
    QVERIFY(onRow.moveAccepted && onRow.dropped);
    QCOMPARE(moves.size(), 1);
    QCOMPARE(moves.at(0).at(0).toLongLong(), 2);
    QCOMPARE(moves.at(0).at(1).toLongLong(), 3);
    velto::test::DropOutcome onSpace = velto::test::dragAndDrop(
        tree->viewport(), dragged, QPoint(20, tree->viewport()->height() - 5));
    QVERIFY(onSpace.dropped);
    QCOMPARE(moves.last().at(1).toLongLong(), 0);
    QVERIFY(asked.contains(qMakePair(qint64(2), qint64(0))));
    QCOMPARE(treeOf(panel)->topLevelItemCount(), 2); // the panel moves no row by itself

    // A refused move shows no indicator and drops nothing; foreign data is refused unasked.
    allow = false;
    QVERIFY(!velto::test::dragAndDrop(tree->viewport(), dragged, rowCentre(2)).moveAccepted);
    asked.clear();
    QMimeData text;
    text.setText(QStringLiteral("2"));
    QVERIFY(!velto::test::dragAndDrop(tree->viewport(), text, rowCentre(2)).moveAccepted);
    QVERIFY(asked.isEmpty());
    QCOMPARE(moves.size(), 2);
}

#include "tst_navigationtree.moc"
