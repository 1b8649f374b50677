#include "ContextMenus.h"

#include "ItemTable.h"
#include "MainWindow.h"
#include "NavigationPanel.h"
#include "WindowActions.h"

#include <QAction>
#include <QHash>
#include <QLineEdit>
#include <QMenu>
#include <QTreeWidget>

ContextMenus::ContextMenus(MainWindow *window, WindowActions *actions)
    : QObject(window)
    , window(window)
    , actions(actions)
{
    connect(window->table(), &ItemTable::rowMenuRequested, this,
        [this](int row, const QPoint &pos, QLineEdit *editor) { showRowMenu(row, pos, editor); });
    NavigationPanel *panel = window->navigation();
    connect(panel, &NavigationPanel::treeMenuRequested, this, &ContextMenus::showTreeMenu);

    QTreeWidget *tree = panel->treeWidget();
    treeDelete = new QAction(QStringLiteral("删除"), tree);
    treeDelete->setObjectName(QStringLiteral("treeDeleteAction"));
    treeDelete->setShortcut(QKeySequence(Qt::Key_Delete));
    treeDelete->setShortcutContext(Qt::WidgetShortcut);
    tree->addAction(treeDelete);
    connect(treeDelete, &QAction::triggered, this, [this] {
        if (const qint64 iid = this->window->navigation()->currentTreeItem())
            this->window->deleteTreeItem(iid);
    });
}

QMenu *ContextMenus::newMenu()
{
    if (menu)
        menu->close();
    menu = new QMenu(window);
    menu->setAttribute(Qt::WA_DeleteOnClose);
    return menu;
}

QMenu *ContextMenus::showRowMenu(int row, const QPoint &globalPos, QLineEdit *editor)
{
    // The row under the pointer becomes the selection, unless an unsaved edit holds another
    // row: then the menu speaks of the edited row, as every command would.
    if (row >= 0)
        window->selectRow(row);
    QMenu *made = newMenu();
    for (QAction *action : actions->rowMenuEntries()) {
        if (action)
            made->addAction(action);
        else
            made->addSeparator();
    }
    if (editor) {
        QMenu *standard = editor->createStandardContextMenu();
        standard->setParent(made, standard->windowFlags());
        made->addSeparator();
        // The editor's own entries, in the window's language (their keys stay as they are).
        static const QHash<QString, QString> labels {
            {QStringLiteral("Undo"), QStringLiteral("撤销")},
            {QStringLiteral("Redo"), QStringLiteral("重做")},
            {QStringLiteral("Cut"), QStringLiteral("剪切")},
            {QStringLiteral("Copy"), QStringLiteral("复制")},
            {QStringLiteral("Paste"), QStringLiteral("粘贴")},
            {QStringLiteral("Delete"), QStringLiteral("删除文字")},
            {QStringLiteral("Select All"), QStringLiteral("全选")}};
        for (QAction *action : standard->actions()) {
            const QString text = action->text();
            const QString label
                = labels.value(text.section(QLatin1Char('\t'), 0, 0).remove(QLatin1Char('&')));
            if (!label.isEmpty()) {
                const QString keys = text.section(QLatin1Char('\t'), 1);
                action->setText(keys.isEmpty() ? label : label + QLatin1Char('\t') + keys);
            }
            made->addAction(action);
        }
    }
    made->popup(globalPos);
    return made;
}

QMenu *ContextMenus::showTreeMenu(qint64 iid, const QPoint &globalPos)
{
    QMenu *made = newMenu();
    const bool clean = !window->isDirty();
    const qint64 cut = window->cutItem();

    QAction *open = made->addAction(QStringLiteral("打开"));
    open->setEnabled(clean);
    connect(open, &QAction::triggered, window, [w = window, iid] { w->navigateToTreeItem(iid); });

    // The shortcut column only names the keys: they belong to the window and the tree.
    const auto keys = [](const QKeySequence &k) -> QString {
        return QLatin1Char('\t') + k.toString(QKeySequence::NativeText);
    };
    QAction *mark = made->addAction(QStringLiteral("转移") + keys(actions->cut->shortcut()));
    mark->setEnabled(clean);
    connect(mark, &QAction::triggered, window, [w = window, iid] { w->cutTreeItem(iid); });

    QAction *moveHere = made->addAction(QStringLiteral("移入到此分支"));
    moveHere->setEnabled(
        cut != 0 && window->repository().get(cut).pid != iid && window->canMoveItemTo(cut, iid));
    connect(moveHere, &QAction::triggered, window, [w = window, cut, iid] {
        if (w->cutItem() == cut)
            w->moveItemTo(cut, iid);
    });

    made->addSeparator();
    QAction *erase = made->addAction(QStringLiteral("删除") + keys(treeDelete->shortcut()));
    erase->setEnabled(clean);
    connect(erase, &QAction::triggered, window, [w = window, iid] { w->deleteTreeItem(iid); });

    made->popup(globalPos);
    return made;
}
