#pragma once

#include <QMenu>
#include <QObject>
#include <QPointer>

class MainWindow;
class QAction;
class QLineEdit;
class QPoint;
class WindowActions;

// The context menus of the item table's rows and of the sidebar tree's rows, and the Delete key
// of the tree. Every entry runs the window's existing command and is disabled exactly when that
// command would do nothing; the table's entries are the window's own actions, so they carry
// their shortcuts and states.
class ContextMenus : public QObject {
    Q_OBJECT
public:
    ContextMenus(MainWindow *window, WindowActions *actions);

    // Selects row (when the editing lock allows) and opens its menu at globalPos; with an editor,
    // the editor's own editing entries follow.
    QMenu *showRowMenu(int row, const QPoint &globalPos, QLineEdit *editor = nullptr);
    // Opens the menu of the tree row of iid at globalPos.
    QMenu *showTreeMenu(qint64 iid, const QPoint &globalPos);
    // The menu open now (null when none).
    QMenu *openMenu() const { return menu; }
    // Delete while the sidebar tree has the focus.
    QAction *treeDeleteAction() const { return treeDelete; }

private:
    QMenu *newMenu();

    MainWindow *window;
    WindowActions *actions;
    QAction *treeDelete = nullptr;
    QPointer<QMenu> menu;
};
