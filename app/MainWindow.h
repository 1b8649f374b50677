#pragma once

#include "AttachmentRepository.h"
#include "ContentBlockRepository.h"
#include "ContentState.h"
#include "DataItemRepository.h"
#include "DataItemService.h"
#include "Database.h"
#include "WindowLayout.h"

#include <QJsonObject>
#include <QList>
#include <QMainWindow>

#include <functional>
#include <memory>

class CompactActionButton;
class ContextMenus;
class WindowActions;
class DatabaseGuard;
class ItemDetailPanel;
class InterchangeController;
class ItemTable;
class NavigationPanel;
class NavigationTreeSync;
class OnlineServices;
class SearchController;
class SyncController;
class StatusLine;
class QLabel;
class QNetworkAccessManager;
class QSplitter;
class QTimer;
class QToolButton;
class QUrl;

// One entered level: where to return to and which row to select there.
struct NavigationState {
    qint64 parentId = 0;
    qint64 selectedItemId = 0;
    int row = -1;
};

// The program's one window and the hub between storage and every panel. Its work is spread over
// MainWindow.cpp (construction, close, feedback, hooks of other subsystems), MainWindowWiring.cpp
// (building the pieces and connecting them), MainWindowEditing.cpp (levels, selection, dirty
// state, save and cancel) and MainWindowCommands.cpp (item commands and navigation); the widget
// tree and the layout steps live in WindowLayout, the table's rows in ItemTable, the sidebar's tree
// bookkeeping in NavigationTreeSync and the online clients in OnlineServices.
class MainWindow : public QMainWindow {
public:
    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;

    // True when the database opened and the workspace was built.
    bool isWorkspaceReady() const { return m_workspaceReady; }
    const Database &database() const { return m_database; }
    DataItemService &service() { return m_service; }
    DataItemRepository &repository() { return m_items; }

    // Pieces other subsystems and tests reach.
    ItemTable *table() const { return itemTable; }
    ItemDetailPanel *detailPanel() const { return detailPanelWidget; }
    NavigationPanel *navigation() const { return navigationPanel; }
    // Tell it what changed behind the window's commands (an import: resetAll()) before refresh.
    NavigationTreeSync *navigationTree() const { return treeSync.get(); }
    OnlineServices *online() const { return onlineServices; }
    // Content search and the background build of its index.
    SearchController *search() const { return searchController; }
    SyncController *sync() const { return syncController; }
    QLabel *statusLabel() const { return statusLabelWidget; }
    const CommandButtons &commandButtons() const { return buttons; }
    // One action per command: buttons, menus and shortcuts all go through them.
    WindowActions *windowActions() const { return actions; }
    ContextMenus *contextMenus() const { return menus; }
    QWidget *commandBar() const { return windowLayout ? windowLayout->commandBar() : nullptr; }
    QWidget *projectListArea() const
    {
        return windowLayout ? windowLayout->projectListArea() : nullptr;
    }
    QSplitter *workspaceSplitter() const
    {
        return windowLayout ? windowLayout->workspaceSplitter() : nullptr;
    }
    QToolButton *collapseButton() const
    {
        return windowLayout ? windowLayout->collapseButton() : nullptr;
    }
    QToolButton *expandButton() const
    {
        return windowLayout ? windowLayout->expandButton() : nullptr;
    }
    QToolButton *restoreButton() const
    {
        return windowLayout ? windowLayout->restoreButton() : nullptr;
    }
    QToolButton *statusCancelButton() const
    {
        return windowLayout ? windowLayout->statusCancelButton() : nullptr;
    }
    QToolButton *statusSaveButton() const
    {
        return windowLayout ? windowLayout->statusSaveButton() : nullptr;
    }
    QNetworkAccessManager *networkManager() const { return network; }
    InterchangeController *interchange() const { return interchangeController; }
    // Checks the database file in the background and moves its log into it (null without a
    // workspace).
    DatabaseGuard *databaseGuard() const { return guard; }

    // Editing state.
    qint64 currentParent() const { return currentParentId; }
    int currentRowIndex() const { return currentRow; }
    int draftRowIndex() const { return draftRow; }
    qint64 selectedItem() const { return selectedItemId; }
    const DataItem &currentStoredItem() const { return currentItem; }
    const QList<DataItem> &levelItems() const { return items; }
    bool isDirty() const { return dirty; }
    bool isRecoveryScheduled() const { return recoveryScheduled; }
    const QList<NavigationState> &navigationHistory() const { return navigationStack; }
    qint64 cutItem() const { return cutItemId; }

    // Table (rows, selection).
    void refresh(qint64 key, int row);
    void renderTable();
    void selectRow(int row);
    DataItem itemForRow(int row) const;
    bool rowIsDraft(int row) const;
    void updateRowStyles();

    // Editing lifecycle.
    void insertDraftAt(int row, qint64 parentId);
    DataItem editedItem() const;
    bool currentValuesChanged() const;
    bool currentValuesValid() const { return currentRow >= 0; }
    void rowTextChanged(int row);
    void detailChanged();
    void updateEditingState();
    void setOtherRowsEnabled(bool enabled);
    void saveCurrent();
    void cancelCurrent();
    void showStatusMessage(const QString &text, int milliseconds);
    void showError(const QString &text);
    // A failed storage operation: action ("保存失败") with the database's text explained.
    void showStorageError(const QString &action, const QString &error);

    // Item commands and level navigation.
    void addItem();
    void addChild();
    void moveSelected(int delta);
    bool canMoveSelected(int delta) const;
    void toggleFavorite();
    void deleteSelected();
    void cutSelected();
    void pasteCutItem();
    void activateRow(int row);
    void enterItem(qint64 iid);
    void returnToParent();
    // The current row's "»" and the parent row's "↩", reached without the mouse.
    void enterSelectedBranch();
    void leaveBranch();
    // Moves the table's selection one row up or down (Up/Down keys), only while the row is clean;
    // the editor of `column` in the new row takes the focus.
    void stepRow(int delta, int column);
    // The sidebar tree's commands on the tree row of iid: mark it for transfer, delete it (after
    // the usual question), move an item below it (0 = the top level).
    void cutTreeItem(qint64 iid);
    void deleteTreeItem(qint64 iid);
    bool canMoveItemTo(qint64 iid, qint64 newParent) const;
    void moveItemTo(qint64 iid, qint64 newParent);
    void navigateToQuickAccess(qint64 iid, bool fromSearchResults);
    void navigateToTreeItem(qint64 iid);
    void searchByName(const QString &text);
    void refreshFavorites();
    void refreshNavigationTree();
    void addFileAttachment(const QString &filePath);
    void addUrlAttachment(const QString &url);
    void removeAttachment(qint64 attachmentId);
    void refreshAttachments();

    // Layout.
    void placeCommandBar(bool right);
    void updateLayoutButtons();
    void collapseStep();
    void expandStep();
    void restoreDefaultLayout();
    // The sidebar's authCompleted(success, message).
    void authCompleted(bool success, const QString &message);

    // Recovery draft: saveRecoveryDraft and restoreRecoveryDraft are filled in by the
    // interchange code; scheduling and deleting the file work here.
    QString recoveryDraftPath() const;
    void scheduleRecoveryDraft();
    void saveRecoveryDraft();
    void clearRecoveryDraft();
    void restoreRecoveryDraft();

    // Export and import (hooks of the interchange code).
    void exportItems();
    void importItems();

    // Online services (hooks of the online code).
    void sendTelemetry(const QString &event, const QJsonObject &payload);
    void registerDevice();
    void checkVersion();
    // A stop request from outside (see ProgramStop): from now on no question is asked, an unsaved
    // edit is in the recovery draft (written now), a running export or import is cancelled at its
    // next step and a close is accepted without touching the draft.
    void beginStop();
    bool isStopping() const { return stopping; }

    // What ends the run after a forced upgrade; QCoreApplication::quit() unless replaced (tests).
    void setQuitHandler(std::function<void()> handler) { quitApplication = std::move(handler); }

protected:
    void closeEvent(QCloseEvent *event) override;
    // Tab follows the screen: sidebar, table, detail panel and command bar in their places.
    bool focusNextPrevChild(bool next) override;

private:
    void decideClose(QCloseEvent *event);
    void finishSyncBeforeClose(QCloseEvent *event);
    void wireSync();
    // Export, import, the recovery draft and backups work on the editing state directly.
    friend class InterchangeController;

    void buildUi();
    void connectSignals();
    void connectActions();
    void moveUpOrDown(int delta);
    void jumpToItem(qint64 iid, bool fromSearchResults, const QString &message);
    void runResourceCommand(int which);
    void addAttachmentRecord(AttachmentType type, const QString &location, const QString &message);
    bool isParentRow(int row) const { return row == 0 && currentParentId != 0; }
    int minRow() const { return currentParentId != 0 ? 1 : 0; }
    int rowCount() const;
    // One of the table's editors has the keyboard focus.
    bool editorHasFocus() const;
    // Compares the panel's content signature with the loaded one; scheduled after edits.
    void confirmContentState();
    void connectNavigation();
    // The version check's answers.
    void showUpgradeNotice(const QString &message, const QUrl &downloadUrl);
    void forceUpgrade(const QString &message, const QUrl &downloadUrl);
    // The background check found the file damaged: the window now only reads.
    void showDatabaseDamage(const QString &message);

    // Storage, constructed in this order on the one connection.
    Database m_database;
    DataItemRepository m_items;
    AttachmentRepository m_attachments;
    ContentBlockRepository m_blocks;
    DataItemService m_service;

    bool m_workspaceReady = false;

    // Level and selection.
    qint64 currentParentId = 0;
    QList<DataItem> items;
    int currentRow = -1;
    DataItem currentItem;
    qint64 selectedItemId = 0;
    // The resources as the item was shown: what "unchanged" compares with.
    ContentState loadedContentState;
    int draftRow = -1;
    bool rendering = false;
    bool selectionPending = false;
    bool dirty = false;
    bool recoveryScheduled = false;
    // The resources differ from the loaded ones: set at once on a change, confirmed against the
    // signature when the user pauses, so a keystroke in a long note never waits for it.
    bool contentChanged = false;
    QTimer *contentCheckTimer = nullptr;

    // Commands.
    QList<NavigationState> navigationStack;
    qint64 cutItemId = 0;
    QList<DataItem> searchResults;
    bool showSearchPage = false;
    bool selectionFromSearch = false;

    // Widgets (children of the window).
    NavigationPanel *navigationPanel = nullptr;
    std::unique_ptr<NavigationTreeSync> treeSync;
    OnlineServices *onlineServices = nullptr;
    SearchController *searchController = nullptr;
    SyncController *syncController = nullptr;
    std::function<void()> quitApplication;
    bool upgradeForced = false;
    bool stopping = false;
    // The widget tree; the pointers below are its pieces the editing and command code use.
    WindowLayout *windowLayout = nullptr;
    ItemTable *itemTable = nullptr;
    ItemDetailPanel *detailPanelWidget = nullptr;
    CommandButtons buttons;
    WindowActions *actions = nullptr;
    ContextMenus *menus = nullptr;
    QLabel *statusLabelWidget = nullptr;
    StatusLine *statusLine = nullptr;
    QLabel *upgradeMessage = nullptr;
    QToolButton *upgradeButton = nullptr;
    QNetworkAccessManager *network = nullptr;
    InterchangeController *interchangeController = nullptr;
    DatabaseGuard *guard = nullptr;
};
