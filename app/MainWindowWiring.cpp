// Builds the window's pieces and connects them: the widget tree comes from WindowLayout, the
// table, panels and command buttons are wired to the editing and command code here.
#include "MainWindow.h"

#include "CompactActionButton.h"
#include "ItemDetailPanel.h"
#include "ItemTable.h"
#include "NavigationPanel.h"
#include "NavigationTreeSync.h"
#include "OnlineServices.h"
#include "StatusLine.h"
#include "VersionCheck.h"

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
    connectNavigation();

    connect(buttons.add, &QToolButton::clicked, this, &MainWindow::addItem);
    connect(buttons.branch, &QToolButton::clicked, this, &MainWindow::addChild);
    connect(buttons.up, &QToolButton::clicked, this, [this] { moveUpOrDown(-1); });
    connect(buttons.down, &QToolButton::clicked, this, [this] { moveUpOrDown(1); });
    connect(buttons.common, &QToolButton::clicked, this, &MainWindow::toggleFavorite);
    connect(buttons.remove, &QToolButton::clicked, this, &MainWindow::deleteSelected);
    connect(buttons.cancel, &QToolButton::clicked, this, &MainWindow::cancelCurrent);
    connect(buttons.save, &QToolButton::clicked, this, &MainWindow::saveCurrent);
    connect(buttons.cut, &QToolButton::clicked, this, &MainWindow::cutSelected);
    connect(buttons.paste, &QToolButton::clicked, this, &MainWindow::pasteCutItem);
    connect(buttons.exportItems, &QToolButton::clicked, this, &MainWindow::exportItems);
    connect(buttons.importItems, &QToolButton::clicked, this, &MainWindow::importItems);
    const QList<CompactActionButton *> resourceButtons = {buttons.text, buttons.file,
        buttons.folder, buttons.link, buttons.reveal, buttons.removeResource};
    for (int i = 0; i < resourceButtons.size(); ++i)
        connect(resourceButtons.at(i), &QToolButton::clicked, this,
            [this, i] { runResourceCommand(i); });
}

void MainWindow::connectNavigation()
{
    NavigationPanel *panel = navigationPanel;
    connect(
        panel, &NavigationPanel::quickAccessActivated, this, &MainWindow::navigateToQuickAccess);
    connect(panel, &NavigationPanel::treeItemActivated, this, &MainWindow::navigateToTreeItem);
    connect(panel, &NavigationPanel::searchSubmitted, this, &MainWindow::searchByName);
    connect(panel, &NavigationPanel::authCompleted, this, &MainWindow::authCompleted);
    VersionChecker *checker = onlineServices->versionChecker();
    connect(checker, &VersionChecker::upgradeAvailable, this, &MainWindow::showUpgradeNotice);
    // Queued: the box and the quit run from the event loop, not inside the reply's handler.
    connect(checker, &VersionChecker::upgradeRequired, this, &MainWindow::forceUpgrade,
        Qt::QueuedConnection);
}
