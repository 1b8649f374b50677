#pragma once

#include <QKeySequence>
#include <QList>
#include <QObject>

class QAction;
class QMenu;
class QToolButton;
class QWidget;
struct CommandButtons;

// One QAction per window command: the command bar's buttons show them (a hidden button keeps its
// working action), the context menus list them and their shortcuts live on the window. Each
// action is triggered into the window's existing command; CommandStates sets their enabled and
// checked states, so every way in obeys the same rules.
class WindowActions : public QObject {
    Q_OBJECT
public:
    // The actions are children of window and added to it, so their shortcuts work wherever the
    // focus is inside the window.
    explicit WindowActions(QWidget *window);

    // Makes each command-bar button show its action (text, icon, tool tip, enabled, checked).
    void attachButtons(const CommandButtons &buttons);
    // The status bar's copies of 取消 and 保存 show the same actions.
    void attachStatusCopies(QToolButton *cancelCopy, QToolButton *saveCopy);

    // The commands of the command bar.
    QAction *save = nullptr;
    QAction *cancel = nullptr;
    QAction *add = nullptr;
    QAction *branch = nullptr;
    QAction *up = nullptr;
    QAction *down = nullptr;
    QAction *common = nullptr;
    QAction *remove = nullptr; // "删除"
    QAction *cut = nullptr; // "转移", checkable
    QAction *paste = nullptr; // "移入"
    QAction *exportItems = nullptr;
    QAction *importItems = nullptr;
    QAction *text = nullptr;
    QAction *file = nullptr;
    QAction *folder = nullptr;
    QAction *link = nullptr;
    QAction *reveal = nullptr; // "转到"
    QAction *removeResource = nullptr; // "移除"
    // Commands without a button of the command bar.
    QAction *enterBranch = nullptr; // the selected row's "»"
    QAction *returnToParent = nullptr; // the parent row's "↩"
    QAction *search = nullptr; // the sidebar's search page

    QList<QAction *> all() const;

    // The entries of a table row's context menu, in menu order (null = separator).
    QList<QAction *> rowMenuEntries() const;

    // "label (shortcut)" as tool tips show it; just label without a shortcut.
    static QString toolTipFor(const QString &label, const QKeySequence &shortcut);
    // Gives the action another label (text and tool tip) while keeping its shortcut.
    static void relabel(QAction *action, const QString &label);

private:
    QAction *make(const QString &label, const QString &iconPath, const QKeySequence &shortcut,
        const QString &objectName);
    QWidget *window;
};
