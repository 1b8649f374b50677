#include "WindowActions.h"

#include "CompactActionButton.h"
#include "WindowLayout.h"

#include <QAction>
#include <QIcon>
#include <QToolButton>

WindowActions::WindowActions(QWidget *window)
    : QObject(window)
    , window(window)
{
    const auto key = [](QKeyCombination combination) { return QKeySequence(combination); };
    save = make(QStringLiteral("保存"), QStringLiteral(":/icons/list-save.svg"),
        key(Qt::CTRL | Qt::Key_S), QStringLiteral("saveAction"));
    // Escape is only taken while there is something to cancel (the action is disabled
    // otherwise), so it stays with the focused widget the rest of the time.
    cancel = make(QStringLiteral("取消"), QStringLiteral(":/icons/list-cancel.svg"),
        key(Qt::Key_Escape), QStringLiteral("cancelAction"));
    add = make(QStringLiteral("添加"), QStringLiteral(":/icons/list-add.svg"),
        key(Qt::CTRL | Qt::Key_N), QStringLiteral("addAction"));
    branch = make(QStringLiteral("分支"), QStringLiteral(":/icons/list-branch.svg"),
        key(Qt::CTRL | Qt::SHIFT | Qt::Key_N), QStringLiteral("branchAction"));
    up = make(QStringLiteral("上移"), QStringLiteral(":/icons/list-up.svg"),
        key(Qt::ALT | Qt::Key_Up), QStringLiteral("upAction"));
    down = make(QStringLiteral("下移"), QStringLiteral(":/icons/list-down.svg"),
        key(Qt::ALT | Qt::Key_Down), QStringLiteral("downAction"));
    common = make(QStringLiteral("常用"), QStringLiteral(":/icons/list-common.svg"),
        key(Qt::CTRL | Qt::Key_D), QStringLiteral("commonAction"));
    remove = make(QStringLiteral("删除"), QStringLiteral(":/icons/list-delete.svg"),
        key(Qt::CTRL | Qt::SHIFT | Qt::Key_Delete), QStringLiteral("deleteAction"));
    cut = make(QStringLiteral("转移"), QStringLiteral(":/icons/list-cut.svg"),
        key(Qt::CTRL | Qt::SHIFT | Qt::Key_X), QStringLiteral("cutAction"));
    cut->setCheckable(true);
    paste = make(QStringLiteral("移入"), QStringLiteral(":/icons/list-paste.svg"),
        key(Qt::CTRL | Qt::SHIFT | Qt::Key_V), QStringLiteral("pasteAction"));
    exportItems = make(QStringLiteral("导出全部…"), QStringLiteral(":/icons/list-export.svg"),
        QKeySequence(), QStringLiteral("exportAction"));
    exportItems->setIconText(QStringLiteral("导出"));
    importItems = make(QStringLiteral("导入…"), QStringLiteral(":/icons/list-import.svg"),
        QKeySequence(), QStringLiteral("importAction"));
    importItems->setIconText(QStringLiteral("导入"));
    text = make(QStringLiteral("文本"), QStringLiteral(":/icons/detail-text.svg"),
        key(Qt::CTRL | Qt::Key_T), QStringLiteral("textAction"));
    file = make(QStringLiteral("文件"), QStringLiteral(":/icons/detail-file.svg"), QKeySequence(),
        QStringLiteral("fileAction"));
    folder = make(QStringLiteral("目录"), QStringLiteral(":/icons/detail-file.svg"), QKeySequence(),
        QStringLiteral("folderAction"));
    link = make(QStringLiteral("链接"), QStringLiteral(":/icons/detail-link.svg"), QKeySequence(),
        QStringLiteral("linkAction"));
    reveal = make(QStringLiteral("转到"), QStringLiteral(":/icons/detail-file.svg"), QKeySequence(),
        QStringLiteral("revealAction"));
    removeResource = make(QStringLiteral("移除"), QStringLiteral(":/icons/list-delete.svg"),
        QKeySequence(), QStringLiteral("removeResourceAction"));
    enterBranch = make(QStringLiteral("进入分支"), QString(), key(Qt::ALT | Qt::Key_Right),
        QStringLiteral("enterBranchAction"));
    returnToParent = make(QStringLiteral("返回上级业务"), QString(), key(Qt::ALT | Qt::Key_Left),
        QStringLiteral("returnAction"));
    search = make(QStringLiteral("搜索"), QStringLiteral(":/icons/sidebar-search.svg"),
        key(Qt::CTRL | Qt::Key_F), QStringLiteral("searchAction"));
}

QAction *WindowActions::make(const QString &label, const QString &iconPath,
    const QKeySequence &shortcut, const QString &objectName)
{
    auto *action = new QAction(label, window);
    action->setObjectName(objectName);
    action->setIconText(label);
    if (!iconPath.isEmpty())
        action->setIcon(QIcon(iconPath));
    action->setShortcut(shortcut);
    action->setToolTip(toolTipFor(label, shortcut));
    // Menus show the commands as text; the icons belong to the command bar.
    action->setIconVisibleInMenu(false);
    window->addAction(action);
    return action;
}

QString WindowActions::toolTipFor(const QString &label, const QKeySequence &shortcut)
{
    if (shortcut.isEmpty())
        return label;
    return label + QStringLiteral(" (") + shortcut.toString(QKeySequence::NativeText)
        + QLatin1Char(')');
}

void WindowActions::relabel(QAction *action, const QString &label)
{
    if (action->text() == label)
        return;
    action->setText(label);
    action->setToolTip(toolTipFor(label, action->shortcut()));
}

void WindowActions::attachButtons(const CommandButtons &b)
{
    const QList<QPair<CompactActionButton *, QAction *>> pairs {{b.add, add}, {b.branch, branch},
        {b.up, up}, {b.down, down}, {b.common, common}, {b.remove, remove}, {b.cancel, cancel},
        {b.save, save}, {b.cut, cut}, {b.paste, paste}, {b.exportItems, exportItems},
        {b.importItems, importItems}, {b.text, text}, {b.file, file}, {b.folder, folder},
        {b.link, link}, {b.reveal, reveal}, {b.removeResource, removeResource}};
    for (const auto &[button, action] : pairs) {
        action->setEnabled(button->isEnabled());
        button->setDefaultAction(action);
    }
}

void WindowActions::attachStatusCopies(QToolButton *cancelCopy, QToolButton *saveCopy)
{
    cancelCopy->setDefaultAction(cancel);
    saveCopy->setDefaultAction(save);
}

QList<QAction *> WindowActions::all() const
{
    return {save, cancel, add, branch, up, down, common, remove, cut, paste, exportItems,
        importItems, text, file, folder, link, reveal, removeResource, enterBranch, returnToParent,
        search};
}

QList<QAction *> WindowActions::rowMenuEntries() const
{
    return {add, branch, up, down, common, cut, paste, remove, nullptr, exportItems, importItems};
}
