#pragma once

#include <QObject>

class CompactActionButton;
class ItemDetailPanel;
class ItemTable;
class NavigationPanel;
class QGridLayout;
class QHBoxLayout;
class QLabel;
class QMainWindow;
class QSplitter;
class QString;
class QToolButton;
class QVBoxLayout;
class QWidget;

// The eighteen buttons of the command bar.
struct CommandButtons {
    CompactActionButton *add = nullptr;
    CompactActionButton *branch = nullptr;
    CompactActionButton *up = nullptr;
    CompactActionButton *down = nullptr;
    CompactActionButton *common = nullptr;
    CompactActionButton *remove = nullptr; // "删除"
    CompactActionButton *cancel = nullptr;
    CompactActionButton *save = nullptr;
    CompactActionButton *cut = nullptr;
    CompactActionButton *paste = nullptr;
    CompactActionButton *exportItems = nullptr;
    CompactActionButton *importItems = nullptr;
    CompactActionButton *text = nullptr;
    CompactActionButton *file = nullptr;
    CompactActionButton *folder = nullptr;
    CompactActionButton *link = nullptr;
    CompactActionButton *reveal = nullptr; // "转到"
    CompactActionButton *removeResource = nullptr; // "移除"
};

// The window's widget tree around the table and the panels: sidebar, command bar with its two
// sections, the workspace column with its splitter, and the status bar with its buttons and
// labels. It owns the collapse / expand / restore steps and the "layout/..." settings; what it
// needs from the window goes out through statusMessageRequested.
class WindowLayout : public QObject {
    Q_OBJECT
public:
    // Builds the tree into window (its central widget and status bar) and applies the stored
    // layout settings.
    explicit WindowLayout(QMainWindow *window);

    NavigationPanel *navigation() const { return navigationPanel; }
    ItemTable *table() const { return itemTable; }
    ItemDetailPanel *detailPanel() const { return detailPanelWidget; }
    const CommandButtons &commandButtons() const { return buttons; }
    QWidget *commandBar() const { return commandBarWidget; }
    QWidget *projectListArea() const { return projectListAreaWidget; }
    QSplitter *workspaceSplitter() const { return splitter; }
    QLabel *statusLabel() const { return statusLabelWidget; }
    QLabel *upgradeMessage() const { return upgradeMessageLabel; }
    QToolButton *upgradeButton() const { return upgradeButtonWidget; }
    QToolButton *collapseButton() const { return collapseButtonWidget; }
    QToolButton *expandButton() const { return expandButtonWidget; }
    QToolButton *restoreButton() const { return restoreButtonWidget; }
    QToolButton *statusCancelButton() const { return statusCancelButtonWidget; }
    QToolButton *statusSaveButton() const { return statusSaveButtonWidget; }

    void placeCommandBar(bool right);
    void updateLayoutButtons();
    void collapseStep();
    void expandStep();
    void restoreDefaultLayout();

signals:
    // A timed message for the status line (0 ms: stays until replaced).
    void statusMessageRequested(const QString &text, int milliseconds);

private:
    void buildCommandBar(QVBoxLayout *barLayout);
    CompactActionButton *makeCommandButton(const QString &iconPath, const QString &label);
    QWidget *makeCommandSection(const QString &title, QGridLayout *grid, QGridLayout *extraGrid);
    void buildStatusBar(QMainWindow *window);
    void applyLayoutSettings();
    // The status bar's copies of Cancel and Save, shown while the command bar is hidden.
    void showStatusCopies();
    void hideStatusCopies();

    QHBoxLayout *bodyLayout = nullptr;
    NavigationPanel *navigationPanel = nullptr;
    QWidget *commandBarWidget = nullptr;
    QWidget *commandTopSection = nullptr;
    QSplitter *splitter = nullptr;
    QWidget *projectListAreaWidget = nullptr;
    ItemTable *itemTable = nullptr;
    ItemDetailPanel *detailPanelWidget = nullptr;
    CommandButtons buttons;
    QLabel *statusLabelWidget = nullptr;
    QLabel *upgradeMessageLabel = nullptr;
    QToolButton *upgradeButtonWidget = nullptr;
    QToolButton *collapseButtonWidget = nullptr;
    QToolButton *expandButtonWidget = nullptr;
    QToolButton *restoreButtonWidget = nullptr;
    QToolButton *statusCancelButtonWidget = nullptr;
    QToolButton *statusSaveButtonWidget = nullptr;
};
