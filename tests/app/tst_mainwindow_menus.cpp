// Context menus of the table's rows and of the sidebar tree, the tree's Delete key, and moving
// items by dragging them in the tree.
#include "ContextMenus.h"
#include "DragDropSupport.h"
#include "ItemTreeWidget.h"
#include "MainWindowTestSupport.h"
#include "TestSupport.h"
#include "WindowActions.h"

#include <QAction>
#include <QContextMenuEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QScreen>
#include <QTreeWidget>

using namespace velto::test;

namespace {

// The entries of a menu: text -> enabled.
QMap<QString, bool> entries(const QMenu *menu)
{
    QMap<QString, bool> result;
    for (QAction *action : menu->actions()) {
        if (!action->isSeparator())
            result.insert(action->text().section(QLatin1Char('\t'), 0, 0), action->isEnabled());
    }
    return result;
}

QAction *entry(const QMenu *menu, const QString &text)
{
    for (QAction *action : menu->actions()) {
        if (action->text().section(QLatin1Char('\t'), 0, 0) == text)
            return action;
    }
    return nullptr;
}

// Asks for a context menu the way the mouse does, on widget at pos.
QMenu *rightClick(MainWindow *window, QWidget *widget, const QPoint &pos)
{
    QContextMenuEvent event(QContextMenuEvent::Mouse, pos, widget->mapToGlobal(pos));
    QApplication::sendEvent(widget, &event);
    return window->contextMenus()->openMenu();
}

QTreeWidgetItem *treeRow(QTreeWidget *tree, qint64 iid)
{
    for (QTreeWidgetItemIterator it(tree); *it; ++it) {
        if ((*it)->data(0, Qt::UserRole).toLongLong() == iid)
            return *it;
    }
    return nullptr;
}

// 项1..项3 at the top; 子1, 子2 below 项2; 孙1 below 子1.
void fillTree(WindowFixture &f)
{
    QList<DataItem> tree = level(3);
    tree << level(2, 2, 10, QStringLiteral("子"));
    tree << level(1, 10, 20, QStringLiteral("孙"));
    QVERIFY(insertItems(tree));
    f.reload();
    f->navigation()->setCollapsed(false);
    f->navigation()->treeWidget()->expandAll();
    f.settle();
}

} // namespace

class TestMainWindowMenus : public QObject {
    Q_OBJECT

private slots:
    void init() { QSettings().clear(); }

    void rowMenuRunsTheWindowsCommands()
    {
        WindowFixture f;
        fillTree(f);
        // Right-clicking a row's editor selects the row and lists the commands, then the
        // editor's own entries.
        QLineEdit *editor = f.table()->contentEditor(0);
        QMenu *menu = rightClick(f.window.get(), editor, QPoint(5, 5));
        QVERIFY(menu && menu->isVisible());
        QCOMPARE(f->currentRowIndex(), 0);
        const QMap<QString, bool> first = entries(menu);
        for (const char *text :
            {"添加", "分支", "上移", "下移", "常用", "转移", "移入", "删除", "导出全部…", "导入…"})
            QVERIFY2(first.contains(QString::fromUtf8(text)), text);
        QVERIFY(first.value(QStringLiteral("下移")) && !first.value(QStringLiteral("上移")));
        QVERIFY(!first.value(QStringLiteral("移入")));
        QVERIFY(entry(menu, QStringLiteral("下移"))->shortcut()
            == QKeySequence(Qt::ALT | Qt::Key_Down));
        QVERIFY(entry(menu, QStringLiteral("复制"))); // the editor's own entries follow
        entry(menu, QStringLiteral("下移"))->trigger();
        QCOMPARE(f->levelItems().at(1).iid, 1);
        menu->close();

        // On the table below the rows: the current row's menu; 常用 turns into 取消常用.
        f->selectRow(1);
        menu = rightClick(
            f.window.get(), f.table()->viewport(), QPoint(10, f.table()->viewport()->height() - 3));
        entry(menu, QStringLiteral("常用"))->trigger();
        QVERIFY(f->repository().get(1).favorite);
        menu->close();
        menu = rightClick(f.window.get(), f.table()->nameEditor(1), QPoint(5, 5));
        QVERIFY(entry(menu, QStringLiteral("取消常用")));
        entry(menu, QStringLiteral("转移"))->trigger();
        QCOMPARE(f->cutItem(), 1);
        menu->close();

        // While a row is being edited the menu does not move the selection and offers nothing
        // that would leave the row.
        QTest::keyClicks(f.table()->nameEditor(1), QStringLiteral("z"));
        menu = rightClick(f.window.get(), f.table()->nameEditor(2), QPoint(5, 5));
        QCOMPARE(f->currentRowIndex(), 1);
        const QMap<QString, bool> locked = entries(menu);
        for (const char *text : {"添加", "分支", "上移", "下移", "转移", "删除", "导出全部…"})
            QVERIFY2(!locked.value(QString::fromUtf8(text)), text);
        menu->close();
        f->cancelCurrent();
    }

    void treeMenuDeleteKeyAndDrag()
    {
        WindowFixture f;
        fillTree(f);
        QTreeWidget *tree = f->navigation()->treeWidget();
        const auto openMenu = [&](qint64 iid) {
            const QPoint pos = tree->visualItemRect(treeRow(tree, iid)).center();
            return rightClick(f.window.get(), tree->viewport(), pos);
        };

        // 打开 jumps; 转移 marks; 移入到此分支 moves the marked item below the row.
        QMenu *menu = openMenu(11);
        QCOMPARE(entries(menu).keys(), QStringList({"删除", "打开", "移入到此分支", "转移"}));
        QVERIFY(!entries(menu).value(QStringLiteral("移入到此分支"))); // nothing marked
        entry(menu, QStringLiteral("打开"))->trigger();
        QCOMPARE(f->selectedItem(), 11);
        QCOMPARE(f->currentParent(), 2);
        menu->close();
        menu = openMenu(2);
        entry(menu, QStringLiteral("转移"))->trigger();
        QCOMPARE(f->cutItem(), 2);
        menu->close();
        for (qint64 inside : {2, 10, 20}) { // itself and its descendants
            menu = openMenu(inside);
            QVERIFY(!entries(menu).value(QStringLiteral("移入到此分支")));
            menu->close();
        }
        menu = openMenu(3);
        entry(menu, QStringLiteral("移入到此分支"))->trigger();
        menu->close();
        QCOMPARE(f->repository().get(2).pid, 3);
        QCOMPARE(f->cutItem(), 0);
        QCOMPARE(f->selectedItem(), 2);
        QCOMPARE(f->navigation()->currentTreeItem(), 2);
        QCOMPARE(treeRow(tree, 2)->parent(), treeRow(tree, 3));

        // Delete on the focused tree asks the usual question about the tree's current row.
        tree->setFocus();
        tree->setCurrentItem(treeRow(tree, 1));
        SeenBox seen;
        const auto answer1 = answerNextMessageBox(QString(), QMessageBox::No, &seen);
        QTest::keyClick(tree, Qt::Key_Delete);
        QCOMPARE(seen.text, QStringLiteral("确定删除选中的数据项吗？"));
        QVERIFY(f->repository().get(1).iid != 0);
        menu = openMenu(1);
        const auto answer2 = answerNextMessageBox(QString(), QMessageBox::Yes);
        entry(menu, QStringLiteral("删除"))->trigger();
        menu->close();
        QCOMPARE(f->repository().get(1).iid, 0);

        // Dragging: onto a row makes the item its last child, onto empty space a top-level item.
        QMimeData dragged;
        dragged.setData(ItemTreeWidget::mimeType(), "11");
        const auto at
            = [&](qint64 iid) { return tree->visualItemRect(treeRow(tree, iid)).center(); };
        DropOutcome onRow = dragAndDrop(tree->viewport(), dragged, at(3));
        QVERIFY(onRow.moveAccepted && onRow.dropped);
        QCOMPARE(f->repository().get(11).pid, 3);
        QCOMPARE(f->repository().byParent(3).last().iid, 11);
        QCOMPARE(f->selectedItem(), 11);
        QCOMPARE(f->navigation()->currentTreeItem(), 11);
        dragged.setData(ItemTreeWidget::mimeType(), "10");
        QVERIFY(dragAndDrop(tree->viewport(), dragged, QPoint(30, tree->viewport()->height() - 4))
                    .dropped);
        QCOMPARE(f->repository().get(10).pid, 0);
        QCOMPARE(f->currentParent(), 0);
        QCOMPARE(f->selectedItem(), 10);

        // Refused into itself, into a descendant, and while the window is dirty.
        tree->expandAll();
        QVERIFY(!dragAndDrop(tree->viewport(), dragged, at(10)).moveAccepted);
        QVERIFY(!dragAndDrop(tree->viewport(), dragged, at(20)).moveAccepted);
        QTest::keyClicks(f.table()->nameEditor(f->currentRowIndex()), QStringLiteral("z"));
        dragged.setData(ItemTreeWidget::mimeType(), "3");
        QVERIFY(!dragAndDrop(tree->viewport(), dragged, at(10)).moveAccepted);
        QCOMPARE(f->repository().get(3).pid, 0);
        menu = openMenu(3);
        for (bool enabled : entries(menu))
            QVERIFY(!enabled);
        menu->close();
    }

    // For looking at them: VELTO_SCREENSHOT_DIR=dir under a real display (xvfb-run, xcb).
    void screenshotsWhenAsked()
    {
        const QString dir = qEnvironmentVariable("VELTO_SCREENSHOT_DIR");
        if (dir.isEmpty())
            QSKIP("VELTO_SCREENSHOT_DIR not set");
        WindowFixture f;
        const QString collapsed = dir + QStringLiteral("/collapsed.png");
        QVERIFY(f->grab().save(collapsed));
        fillTree(f);
        f->selectRow(1);
        const auto screen = [&](const char *name) {
            QTest::qWait(300);
            QVERIFY(QGuiApplication::primaryScreen()->grabWindow(0).save(
                dir + QLatin1Char('/') + QLatin1String(name)));
        };
        QMenu *menu = rightClick(f.window.get(), f.table()->contentEditor(1), QPoint(10, 10));
        QVERIFY(menu);
        screen("row-menu.png");
        menu->close();
        QTreeWidget *tree = f->navigation()->treeWidget();
        menu = rightClick(
            f.window.get(), tree->viewport(), tree->visualItemRect(treeRow(tree, 3)).center());
        screen("tree-menu.png");
        menu->close();
        // Halfway through a drag of 子1 onto 项3: the indicator on the target row.
        QMimeData dragged;
        dragged.setData(ItemTreeWidget::mimeType(), "10");
        const QPoint over = tree->visualItemRect(treeRow(tree, 3)).center();
        QDragEnterEvent enter(over, Qt::MoveAction, &dragged, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(tree->viewport(), &enter);
        QDragMoveEvent move(over, Qt::MoveAction, &dragged, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(tree->viewport(), &move);
        screen("tree-drag.png");
        QDropEvent drop(over, Qt::MoveAction, &dragged, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(tree->viewport(), &drop);
        screen("tree-dropped.png");
        f->windowActions()->search->trigger();
        QLineEdit *box = nullptr;
        for (QLineEdit *edit : f->navigation()->findChildren<QLineEdit *>())
            box = edit->placeholderText() == QStringLiteral("搜索名称") ? edit : box;
        QVERIFY(box && box->isVisible());
        QTest::keyClicks(box, QStringLiteral("1"));
        QTest::keyClick(box, Qt::Key_Return);
        screen("search.png");
    }
};

VELTO_TEST_MAIN(TestMainWindowMenus)
#include "tst_mainwindow_menus.moc"
