// Builds the window's pieces and connects them: the widget tree comes from WindowLayout, the
// table, panels and command buttons are wired to the editing and command code here.
#include "MainWindow.h"

#include "CompactActionButton.h"
#include "ContextMenus.h"
#include "ItemDetailPanel.h"
#include "ItemTable.h"
#include "NavigationPanel.h"
#include "NavigationTreeSync.h"
#include "OnlineServices.h"
#include "StatusLine.h"
#include "VersionCheck.h"
#include "WindowActions.h"

#include <QAction>

#include <QNetworkAccessManager>
#include <QTimer>
#include <QToolButton>

void MainWindow::buildUi()
{
    contentCheckTimer = new QTimer(this);
    contentCheckTimer->setSingleShot(true);
    connect(contentCheckTimer, &QTimer::timeout, this, &MainWindow::confirmContentState);

    windowLayout = new WindowLayout(this);
    navigationPanel = windowLayout->navigation();
    itemTable = windowLayout->table();
    detailPanelWidget = windowLayout->detailPanel();
    buttons = windowLayout->commandButtons();
    actions = new WindowActions(this);
    actions->attachButtons(buttons);
    actions->attachStatusCopies(
        windowLayout->statusCancelButton(), windowLayout->statusSaveButton());
    statusLabelWidget = windowLayout->statusLabel();
    statusLine = new StatusLine(statusLabelWidget, this);
    upgradeMessage = windowLayout->upgradeMessage();
    upgradeButton = windowLayout->upgradeButton();
    connect(
        windowLayout, &WindowLayout::statusMessageRequested, this, &MainWindow::showStatusMessage);

    treeSync = std::make_unique<NavigationTreeSync>(navigationPanel, &m_items);
    network = new QNetworkAccessManager(this);
    onlineServices = new OnlineServices(network, navigationPanel, this);
    connectSignals();
    menus = new ContextMenus(this, actions);
}

void MainWindow::placeCommandBar(bool right)
{
    if (windowLayout)
        windowLayout->placeCommandBar(right);
}

void MainWindow::updateLayoutButtons()
{
    if (windowLayout)
        windowLayout->updateLayoutButtons();
}

void MainWindow::collapseStep()
{
    if (windowLayout)
        windowLayout->collapseStep();
}

void MainWindow::expandStep()
{
    if (windowLayout)
        windowLayout->expandStep();
}

void MainWindow::restoreDefaultLayout()
{
    if (windowLayout)
        windowLayout->restoreDefaultLayout();
}

void MainWindow::connectSignals()
{
    connect(detailPanelWidget, &ItemDetailPanel::detailChanged, this, &MainWindow::detailChanged);
    connect(detailPanelWidget, &ItemDetailPanel::fileAttachmentRequested, this,
        qOverload<const QString &>(&MainWindow::addFileAttachment));
    connect(detailPanelWidget, &ItemDetailPanel::urlAttachmentRequested, this,
        qOverload<const QString &>(&MainWindow::addUrlAttachment));
    connect(detailPanelWidget, &ItemDetailPanel::attachmentRemovalRequested, this,
        &MainWindow::removeAttachment);
    connect(itemTable, &QTableWidget::cellClicked, this, [this](int row) { selectRow(row); });
    connect(itemTable, &ItemTable::rowFocused, this, &MainWindow::selectRow);
    connect(itemTable, &ItemTable::rowTextEdited, this, &MainWindow::rowTextChanged);
    connect(itemTable, &ItemTable::branchClicked, this, &MainWindow::activateRow);
    connect(itemTable, &ItemTable::rowStepRequested, this,
        [this](int delta, int column) { stepRow(delta, column); });
    connectNavigation();

    connectActions();
}

void MainWindow::connectActions()
{
    const WindowActions &a = *actions;
    connect(a.add, &QAction::triggered, this, &MainWindow::addItem);
    connect(a.branch, &QAction::triggered, this, &MainWindow::addChild);
    connect(a.up, &QAction::triggered, this, [this] { moveUpOrDown(-1); });
    connect(a.down, &QAction::triggered, this, [this] { moveUpOrDown(1); });
    connect(a.common, &QAction::triggered, this, &MainWindow::toggleFavorite);
    connect(a.remove, &QAction::triggered, this, &MainWindow::deleteSelected);
    connect(a.cancel, &QAction::triggered, this, &MainWindow::cancelCurrent);
    connect(a.save, &QAction::triggered, this, &MainWindow::saveCurrent);
    connect(a.cut, &QAction::triggered, this, &MainWindow::cutSelected);
    connect(a.paste, &QAction::triggered, this, &MainWindow::pasteCutItem);
    connect(a.exportItems, &QAction::triggered, this, &MainWindow::exportItems);
    connect(a.importItems, &QAction::triggered, this, &MainWindow::importItems);
    const QList<QAction *> resourceActions
        = {a.text, a.file, a.folder, a.link, a.reveal, a.removeResource};
    for (int i = 0; i < resourceActions.size(); ++i)
        connect(
            resourceActions.at(i), &QAction::triggered, this, [this, i] { runResourceCommand(i); });
    connect(a.enterBranch, &QAction::triggered, this, &MainWindow::enterSelectedBranch);
    connect(a.returnToParent, &QAction::triggered, this, &MainWindow::leaveBranch);
    connect(a.search, &QAction::triggered, navigationPanel,
        [this] { navigationPanel->openPage(NavigationPanel::Search); });
}

void MainWindow::connectNavigation()
{
    NavigationPanel *panel = navigationPanel;
    connect(
        panel, &NavigationPanel::quickAccessActivated, this, &MainWindow::navigateToQuickAccess);
    connect(panel, &NavigationPanel::treeItemActivated, this, &MainWindow::navigateToTreeItem);
    connect(panel, &NavigationPanel::treeMoveRequested, this, &MainWindow::moveItemTo);
    panel->setTreeMoveCheck(
        [this](qint64 iid, qint64 newParent) { return canMoveItemTo(iid, newParent); });
    connect(panel, &NavigationPanel::searchSubmitted, this, &MainWindow::searchByName);
    connect(panel, &NavigationPanel::authCompleted, this, &MainWindow::authCompleted);
    VersionChecker *checker = onlineServices->versionChecker();
    connect(checker, &VersionChecker::upgradeAvailable, this, &MainWindow::showUpgradeNotice);
    // Queued: the box and the quit run from the event loop, not inside the reply's handler.
    connect(checker, &VersionChecker::upgradeRequired, this, &MainWindow::forceUpgrade,
        Qt::QueuedConnection);
}
