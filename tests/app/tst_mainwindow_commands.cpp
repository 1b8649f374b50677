#include "CompactActionButton.h"
#include "ItemDetailPanel.h"
#include "MainWindowTestSupport.h"
#include "NavigationPanel.h"

#include "TestSupport.h"
#include <QTreeWidget>

#include <QLabel>
#include <QLineEdit>
#include <QScrollBar>
#include <QToolButton>

using namespace velto::test;

class TestMainWindowCommands : public QObject {
    Q_OBJECT

    static QString label(WindowFixture &f) { return f->statusLabel()->text(); }
    static QStringList names(WindowFixture &f)
    {
        QStringList result;
        for (const DataItem &item : f->levelItems())
            result << item.here;
        return result;
    }

private slots:
    void init() { QSettings().clear(); }

    void addAndMoveRespectTheParentRow()
    {
        WindowFixture f;
        QList<DataItem> tree = level(2);
        tree << level(3, 1, 10, QStringLiteral("子"));
        QVERIFY(insertItems(tree));
        f.reload();
        f->enterItem(1);
        QCOMPARE(f->currentRowIndex(), 0); // the branch's own item
        QVERIFY(!f->commandButtons().up->isEnabled() && !f->commandButtons().down->isEnabled());
        f->addItem();
        QCOMPARE(f->draftRowIndex(), 1); // never above the parent row
        QCOMPARE(f->levelItems().at(1).sortid, 1);
        f->cancelCurrent();

        f->selectRow(1);
        f->moveSelected(-1); // row 1 of a branch stays
        QCOMPARE(names(f).mid(1), QStringList({"子1", "子2", "子3"}));
        f->selectRow(3);
        QVERIFY(!f->canMoveSelected(1));
        f->selectRow(4); // placeholder
        QVERIFY(!f->canMoveSelected(-1) && !f->canMoveSelected(1));
        f->selectRow(2);
        QTest::mouseClick(f->commandButtons().down, Qt::LeftButton);
        QCOMPARE(names(f).mid(1), QStringList({"子1", "子3", "子2"}));
        QCOMPARE(f->currentRowIndex(), 3);
        QCOMPARE(label(f), QStringLiteral("已下移当前业务"));

        // Returning brings back the previous level with the entered item at its old row.
        QTest::mouseClick(f.table()->branchButton(0), Qt::LeftButton);
        QCOMPARE(f->currentParent(), 0);
        QCOMPARE(f->selectedItem(), 1);
        QCOMPARE(label(f), QStringLiteral("已返回上级业务"));
        QVERIFY(f->navigationHistory().isEmpty());
    }

    void jumpsWalkUpByParent()
    {
        WindowFixture f;
        QVERIFY(insertItems(balancedTree(111, 10))); // 1..10 top, 11..110 below, 111 below 11
        f.reload();
        f->navigateToTreeItem(111);
        QCOMPARE(f->currentParent(), 11);
        QCOMPARE(f->selectedItem(), 111);
        QCOMPARE(f->levelItems().first().iid, 11);
        QCOMPARE(f->navigation()
                     ->findChild<QTreeWidget *>()
                     ->currentItem()
                     ->data(0, Qt::UserRole)
                     .toLongLong(),
            111);
        QCOMPARE(label(f), QStringLiteral("已从业务树打开业务"));
        f->returnToParent();
        QCOMPARE(f->currentParent(), 1);
        QCOMPARE(f->selectedItem(), 11);
        f->returnToParent();
        QCOMPARE(f->currentParent(), 0);
        QCOMPARE(f->selectedItem(), 1);

        f->navigateToQuickAccess(55, true);
        QCOMPARE(f->currentParent(), 5);
        QCOMPARE(f->selectedItem(), 55);
        QCOMPARE(label(f), QStringLiteral("已打开快捷业务"));
        f->navigateToQuickAccess(99999, false); // gone: nothing happens
        QCOMPARE(f->selectedItem(), 55);

        // While editing, jumps refuse; search still runs.
        f.table()->nameEditor(1)->setFocus();
        QTest::keyClicks(f.table()->nameEditor(f->currentRowIndex()), QStringLiteral("x"));
        QVERIFY(f->isDirty());
        f->navigateToTreeItem(3);
        QCOMPARE(f->currentParent(), 5);
        f->searchByName(QStringLiteral("项目 11"));
        QCOMPARE(sidebarList(f.window.get(), 2)->count(), 3); // 11, 110 and 111
        QCOMPARE(label(f), QStringLiteral("找到 3 个业务"));
        f->searchByName(QStringLiteral("  "));
        QCOMPARE(label(f), QStringLiteral("已清除搜索结果"));
    }

    void favouriteDeleteAndTransfer()
    {
        WindowFixture f;
        QList<DataItem> tree = level(3);
        tree << level(1, 3, 10, QStringLiteral("子"));
        QVERIFY(insertItems(tree));
        f.reload();
        f->selectRow(1);
        QTest::mouseClick(f->commandButtons().common, Qt::LeftButton);
        QCOMPARE(label(f), QStringLiteral("已设为常用业务"));
        QCOMPARE(f->commandButtons().common->toolTip(), QStringLiteral("取消常用 (Ctrl+D)"));
        QCOMPARE(sidebarList(f.window.get(), 0)->count(), 1);

        // "No" keeps the item; "Yes" deletes it.
        SeenBox seen;
        auto box = answerNextMessageBox(QString(), QMessageBox::No, &seen);
        QTest::mouseClick(f->commandButtons().remove, Qt::LeftButton);
        QCOMPARE(seen.text, QStringLiteral("确定删除选中的数据项吗？"));
        QCOMPARE(f->levelItems().size(), 3);
        box = answerNextMessageBox(QString(), QMessageBox::Yes);
        QTest::mouseClick(f->commandButtons().remove, Qt::LeftButton);
        QCOMPARE(names(f), QStringList({"项1", "项3"}));
        QCOMPARE(label(f), QStringLiteral("已删除当前业务"));

        // Transfer item 1 into branch 3; pasting into its own level is not offered.
        f->selectRow(0);
        f->cutSelected();
        QVERIFY(f->commandButtons().cut->isChecked());
        QVERIFY(!f->commandButtons().paste->isEnabled());
        f->enterItem(3);
        QVERIFY(f->commandButtons().paste->isEnabled());
        f->pasteCutItem();
        QCOMPARE(f->cutItem(), 0);
        QCOMPARE(f->selectedItem(), 1);
        QCOMPARE(f->levelItems().size(), 3); // parent, its child, the moved item
        QCOMPARE(label(f), QStringLiteral("已移入当前层级"));

        // With a resource selected, delete removes only the resource and asks nothing.
        f->detailPanel()->addTimestampedTextAttachment();
        f->saveCurrent();
        const int before = f->service().contentBlocks(1).size();
        QVERIFY(before >= 1);
        f->detailPanel()->setResourceSelectionActive(true);
        if (f->detailPanel()->resourceSelectionActive()) {
            f->deleteSelected();
            QCOMPARE(label(f), QStringLiteral("已移除当前资源"));
            QCOMPARE(f->levelItems().size(), 3);
        }
    }

    void queuedClicksDuringRebuildsAreHarmless()
    {
        WindowFixture f;
        QList<DataItem> tree = level(3);
        tree << level(2, 1, 10, QStringLiteral("子"));
        QVERIFY(insertItems(tree));
        f.reload();
        QPointer<QToolButton> enter = f.table()->branchButton(0);
        QPointer<QLineEdit> oldEditor = f.table()->nameEditor(2);
        // Enter, return and save clicks queued together, then clicks on widgets of an old level.
        for (int i = 0; i < 3; ++i) {
            QMetaObject::invokeMethod(enter, "click", Qt::QueuedConnection);
            QMetaObject::invokeMethod(f->commandButtons().save, "click", Qt::QueuedConnection);
            QMetaObject::invokeMethod(
                f.table(), [&] { f.table()->cellClicked(9, 1); }, Qt::QueuedConnection);
            QMetaObject::invokeMethod(
                f.table(), [&] { f->activateRow(0); }, Qt::QueuedConnection);
        }
        f.settle();
        QTest::qWait(20);
        if (oldEditor)
            oldEditor->setFocus();
        QVERIFY(f->currentRowIndex() >= 0 && f->currentRowIndex() < f.table()->rowCount());
        QCOMPARE(f->selectedItem(), f->levelItems().value(f->currentRowIndex()).iid);
    }

    void bigLevelsCreateOnlyVisibleRows()
    {
        WindowFixture f;
        QVERIFY(insertItems(level(5000)));
        f.reload();
        QCOMPARE(f.table()->rowCount(), 5001);
        QVERIFY(f.table()->materializedRowCount() < 100);
        f.table()->verticalScrollBar()->setValue(f.table()->verticalScrollBar()->maximum());
        QVERIFY(f.table()->isMaterialized(4999));
        QCOMPARE(f.table()->nameEditor(4999)->text(), QStringLiteral("项5000"));
        QVERIFY(f.table()->materializedRowCount() < 200);
        // A lock set while rows were not yet built holds for rows built later.
        f->selectRow(4999);
        QTest::keyClicks(f.table()->nameEditor(4999), QStringLiteral("z"));
        QVERIFY(f->isDirty());
        QVERIFY(!f.table()->nameEditor(2500)->isEnabled());
        f->selectRow(2500);
        QCOMPARE(f->currentRowIndex(), 4999);
        f->cancelCurrent();
        QVERIFY(f.table()->nameEditor(2500)->isEnabled());
    }
};

VELTO_TEST_MAIN(TestMainWindowCommands)
#include "tst_mainwindow_commands.moc"
