#include "CompactActionButton.h"
#include "MainWindowTestSupport.h"
#include "NavigationPanel.h"
#include "TestSupport.h"
#include "TreeDump.h"

#include <QLabel>
#include <QLineEdit>
#include <QStackedWidget>
#include <QTreeWidget>

using namespace velto::test;

namespace {

QTreeWidget *treeOf(const QWidget *panel)
{
    return panel->findChild<QTreeWidget *>();
}

// Opens every branch the way a user does (each opening reads the next level).
void openAll(QTreeWidget *tree)
{
    for (bool opened = true; opened;) {
        opened = false;
        for (QTreeWidgetItemIterator it(tree); *it; ++it) {
            if ((*it)->childCount() > 0 && !(*it)->isExpanded()) {
                (*it)->setExpanded(true);
                opened = true;
            }
        }
    }
}

// Activates a list row as a double click does.
void activate(QListWidget *list, int row)
{
    const QPoint at = list->visualItemRect(list->item(row)).center();
    QTest::mouseClick(
        list->viewport(), Qt::LeftButton, {}, at); // the press a double click starts with
    QTest::mouseDClick(list->viewport(), Qt::LeftButton, {}, at);
}

QTreeWidgetItem *treeRow(QTreeWidget *tree, qint64 iid)
{
    for (QTreeWidgetItemIterator it(tree); *it; ++it) {
        if ((*it)->data(0, Qt::UserRole).toLongLong() == iid)
            return *it;
    }
    return nullptr;
}

} // namespace

class TestMainWindowSidebar : public QObject {
    Q_OBJECT

    static QString label(WindowFixture &f) { return f->statusLabel()->text(); }

    // Types a new name into the selected row and saves it with the command bar.
    static void renameAndSave(WindowFixture &f, const QString &name)
    {
        QLineEdit *editor = f.table()->nameEditor(f->currentRowIndex());
        editor->setFocus();
        editor->selectAll();
        QTest::keyClicks(editor, name);
        QTest::mouseClick(f->commandButtons().save, Qt::LeftButton);
        f.settle();
    }

private slots:
    void listsTreeAndSearchJump()
    {
        WindowFixture f;
        QList<DataItem> items = level(3);
        items << level(1, 3, 10, QStringLiteral("child"));
        QVERIFY(insertItems(items));
        f.reload();
        f->navigation()->setCollapsed(false);
        f.settle();
        QTreeWidget *tree = treeOf(f->navigation());
        QCOMPARE(tree->topLevelItemCount(), 3);
        QCOMPARE(tree->currentItem()->data(0, Qt::UserRole).toLongLong(), 1);

        // A favourite appears in the common list, marked; a double click there jumps to it.
        f->selectRow(1);
        QTest::mouseClick(f->commandButtons().common, Qt::LeftButton);
        QListWidget *common = sidebarList(f.window.get(), 0);
        QCOMPARE(listIids(common), QList<qint64>({2}));
        QCOMPARE(currentIid(common), 2);
        f->navigateToTreeItem(10);
        QCOMPARE(f->currentParent(), 3);
        for (auto *button : f->navigation()->findChildren<CompactActionButton *>()) {
            if (button->text() == QStringLiteral("常用"))
                QTest::mouseClick(button, Qt::LeftButton);
        }
        QVERIFY(common->isVisible());
        activate(common, 0);
        QCOMPARE(f->currentParent(), 0);
        QCOMPARE(f->selectedItem(), 2);
        QCOMPARE(label(f), QStringLiteral("已打开快捷业务"));

        // A click on a tree row opens its level; entering and leaving levels keeps the rows.
        QTreeWidgetItem *row = treeRow(tree, 3);
        QTest::mouseClick(tree->viewport(), Qt::LeftButton, {}, tree->visualItemRect(row).center());
        QCOMPARE(f->selectedItem(), 3);
        QCOMPARE(label(f), QStringLiteral("已从业务树打开业务"));
        f->enterItem(3);
        QCOMPARE(tree->currentItem(), row);
        f->returnToParent();
        QCOMPARE(treeRow(tree, 3), row);
        QCOMPARE(tree->currentItem(), row);

        // Return in the search box fills the result list and shows its page.
        QLineEdit *search = nullptr;
        for (auto *edit : f->navigation()->findChildren<QLineEdit *>()) {
            if (edit->placeholderText() == QStringLiteral("搜索名称"))
                search = edit;
        }
        typeAndConfirm(search, QStringLiteral("child"));
        QListWidget *results = sidebarList(f.window.get(), 2);
        QCOMPARE(listIids(results), QList<qint64>({10}));
        QCOMPARE(f->navigation()->findChild<QStackedWidget *>()->currentIndex(),
            int(NavigationPanel::Search));
        QCOMPARE(label(f), QStringLiteral("找到 1 个业务"));
        activate(results, 0);
        QCOMPARE(f->currentParent(), 3);
        QCOMPARE(f->selectedItem(), 10);
        QCOMPARE(currentIid(results), 10);
    }

    void treeMatchesAFullRebuildAfterCommands()
    {
        WindowFixture f;
        QList<DataItem> items = balancedTree(120, 5); // 1..5 top, 6..30, 31..120 leaves
        items << level(1, 999, 500, QStringLiteral("orphan")); // its parent does not exist
        QVERIFY(insertItems(items));
        f.reload();
        QTreeWidget *tree = treeOf(f->navigation());
        openAll(tree); // loaded branches must be updated in place, not only re-read later

        f->navigateToTreeItem(7);
        renameAndSave(f, QStringLiteral("renamed"));
        QTest::mouseClick(f->commandButtons().add, Qt::LeftButton);
        renameAndSave(f, QStringLiteral("fresh"));
        f->navigateToTreeItem(9);
        QTest::mouseClick(f->commandButtons().down, Qt::LeftButton);
        QTest::mouseClick(f->commandButtons().branch, Qt::LeftButton);
        renameAndSave(f, QStringLiteral("kid"));
        f->navigateToTreeItem(100);
        auto box = answerNextMessageBox(QString(), QMessageBox::Yes);
        QTest::mouseClick(f->commandButtons().remove, Qt::LeftButton);
        f.settle();
        for (const auto &[moved, target] : {std::pair {40, 2}, std::pair {8, 3}}) {
            f->navigateToTreeItem(moved);
            f->cutSelected();
            f->navigateToTreeItem(target);
            f->enterItem(target);
            f->pasteCutItem();
        }
        QCOMPARE(f->repository().get(100).iid, 0);
        QCOMPARE(f->repository().get(8).pid, 3);
        QCOMPARE(f->repository().byParent(9).size(), 6);

        NavigationPanel reference;
        reference.setTreeItems(f->repository().allItems());
        openAll(tree);
        const QStringList rows = dumpTree(tree);
        QCOMPARE(rows.size(), 122); // 120 + orphan + fresh + kid - deleted
        QCOMPARE(rows, dumpTree(treeOf(&reference)));
        QCOMPARE(tree->currentItem()->data(0, Qt::UserRole).toLongLong(), f->selectedItem());
    }
};

VELTO_TEST_MAIN(TestMainWindowSidebar)
#include "tst_mainwindow_sidebar.moc"
