// The window's widget tree, the command bar and the collapse / expand / restore steps.
#include "WindowLayout.h"

#include "ElidingLabel.h"

#include "CompactActionButton.h"
#include "ItemDetailPanel.h"
#include "ItemTable.h"
#include "NavigationPanel.h"
#include "ServiceEndpoint.h"
#include "UiMetrics.h"

#include <QFrame>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QMainWindow>
#include <QSettings>
#include <QSplitter>
#include <QStatusBar>
#include <QTimer>
#include <QToolButton>
#include <QUrl>
#include <QVBoxLayout>

using UiMetrics::px;

namespace {

QString commandBarStyle(bool right)
{
    return QStringLiteral("QWidget#commonActionBar { background:#f8fafc; border-top:1px solid "
                          "#d9dee7; %1:1px solid #d9dee7; }")
        .arg(right ? QStringLiteral("border-left") : QStringLiteral("border-right"));
}

QGridLayout *commandGrid(int verticalSpacing = 1)
{
    auto *grid = new QGridLayout;
    grid->setContentsMargins(0, 0, 0, 0);
    grid->setHorizontalSpacing(1);
    grid->setVerticalSpacing(verticalSpacing);
    return grid;
}

QToolButton *statusButton(QWidget *parent, const QString &icon, const QString &tip, int width)
{
    auto *button = new QToolButton(parent);
    button->setAutoRaise(true);
    button->setFixedSize(px(width), px(22));
    button->setIconSize(QSize(px(16), px(16)));
    button->setIcon(QIcon(icon));
    button->setToolTip(tip);
    button->setAccessibleName(tip);
    return button;
}

} // namespace

CompactActionButton *WindowLayout::makeCommandButton(const QString &iconPath, const QString &label)
{
    auto *button = new CompactActionButton(commandBarWidget);
    button->setIcon(QIcon(iconPath));
    button->setText(label);
    button->setToolTip(label);
    button->setAccessibleName(label);
    return button;
}

QWidget *WindowLayout::makeCommandSection(
    const QString &title, QGridLayout *grid, QGridLayout *extraGrid)
{
    auto *section = new QWidget(commandBarWidget);
    auto *layout = new QVBoxLayout(section);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addStretch();
    auto *label = new QLabel(title, section);
    label->setAlignment(Qt::AlignCenter);
    label->setStyleSheet(
        QStringLiteral("QLabel { color:#475467; font-size:%1px; font-weight:600; padding:2px 0; }")
            .arg(px(14)));
    layout->addWidget(label);
    auto *frame = new QFrame(section);
    frame->setStyleSheet(QStringLiteral("QFrame { border:1px solid #d9dee7; }"));
    auto *frameLayout = new QVBoxLayout(frame);
    frameLayout->setContentsMargins(0, 0, 0, 0);
    frameLayout->setSpacing(0);
    frameLayout->addLayout(grid);
    layout->addWidget(frame, 0, Qt::AlignHCenter);
    layout->addStretch();
    if (extraGrid)
        layout->addLayout(extraGrid);
    return section;
}

WindowLayout::WindowLayout(QMainWindow *window)
    : QObject(window)
{
    auto *root = new QWidget(window);
    auto *rootLayout = new QVBoxLayout(root);
    rootLayout->setContentsMargins(0, 0, 0, 0);
    rootLayout->setSpacing(0);
    auto *body = new QWidget(root);
    bodyLayout = new QHBoxLayout(body);
    bodyLayout->setContentsMargins(0, 0, 0, 0);
    bodyLayout->setSpacing(0);
    rootLayout->addWidget(body, 1);

    navigationPanel = new NavigationPanel(body);
    bodyLayout->addWidget(navigationPanel);

    commandBarWidget = new QWidget(body);
    commandBarWidget->setObjectName(QStringLiteral("commonActionBar"));
    commandBarWidget->setAttribute(Qt::WA_StyledBackground);
    commandBarWidget->setFixedWidth(px(96));
    commandBarWidget->setStyleSheet(commandBarStyle(false));
    auto *barLayout = new QVBoxLayout(commandBarWidget);
    barLayout->setContentsMargins(0, px(6), 0, px(6));
    barLayout->setSpacing(0);
    bodyLayout->addWidget(commandBarWidget);

    auto *workspaceColumn = new QWidget(body);
    workspaceColumn->setObjectName(QStringLiteral("projectWorkspace"));
    auto *columnLayout = new QVBoxLayout(workspaceColumn);
    columnLayout->setContentsMargins(0, 0, 0, 0);
    columnLayout->setSpacing(0);
    auto *rule = new QFrame(workspaceColumn);
    rule->setFixedHeight(1);
    rule->setStyleSheet(QStringLiteral("background:#d9dee7; border:0;"));
    columnLayout->addWidget(rule);
    splitter = new QSplitter(Qt::Vertical, workspaceColumn);
    splitter->setObjectName(QStringLiteral("workspaceSplitter"));
    columnLayout->addWidget(splitter, 1);
    bodyLayout->addWidget(workspaceColumn, 1);

    projectListAreaWidget = new QWidget(splitter);
    projectListAreaWidget->setObjectName(QStringLiteral("projectListArea"));
    projectListAreaWidget->setStyleSheet(QStringLiteral("QWidget#projectListArea { border:0; }"));
    auto *areaLayout = new QVBoxLayout(projectListAreaWidget);
    areaLayout->setContentsMargins(0, 0, 0, 0);
    areaLayout->setSpacing(0);
    auto *tableContainer = new QWidget(projectListAreaWidget);
    auto *containerLayout = new QHBoxLayout(tableContainer);
    containerLayout->setContentsMargins(0, 0, 0, 0);
    containerLayout->setSpacing(0);
    areaLayout->addWidget(tableContainer, 1);

    buildCommandBar(barLayout);

    itemTable = new ItemTable(tableContainer);
    containerLayout->addWidget(itemTable, 1);
    detailPanelWidget = new ItemDetailPanel(splitter);
    splitter->addWidget(projectListAreaWidget);
    splitter->addWidget(detailPanelWidget);
    splitter->setHandleWidth(0);
    splitter->handle(1)->setEnabled(false);
    splitter->setStretchFactor(0, 0);
    splitter->setStretchFactor(1, 1);

    QTimer::singleShot(0, splitter, [this] {
        const int h = splitter->height();
        const int top = qMax(0, h / 2 - 20);
        splitter->setSizes({top, h - top});
        commandTopSection->setFixedHeight(top);
    });

    connect(navigationPanel, &NavigationPanel::commandBarRightChanged, this,
        &WindowLayout::placeCommandBar);
    placeCommandBar(QSettings().value(QStringLiteral("layout/commandBarRight"), true).toBool());
    window->setCentralWidget(root);
    buildStatusBar(window);
    applyLayoutSettings();
    QTimer::singleShot(0, this, &WindowLayout::updateLayoutButtons);

    connect(navigationPanel, &NavigationPanel::collapsedChanged, this,
        &WindowLayout::updateLayoutButtons);
    connect(collapseButtonWidget, &QToolButton::clicked, this, &WindowLayout::collapseStep);
    connect(expandButtonWidget, &QToolButton::clicked, this, &WindowLayout::expandStep);
    connect(restoreButtonWidget, &QToolButton::clicked, this, &WindowLayout::restoreDefaultLayout);
}

void WindowLayout::buildCommandBar(QVBoxLayout *barLayout)
{
    buttons.add = makeCommandButton(QStringLiteral(":/icons/list-add.svg"), QStringLiteral("添加"));
    buttons.branch
        = makeCommandButton(QStringLiteral(":/icons/list-branch.svg"), QStringLiteral("分支"));
    buttons.up = makeCommandButton(QStringLiteral(":/icons/list-up.svg"), QStringLiteral("上移"));
    buttons.down
        = makeCommandButton(QStringLiteral(":/icons/list-down.svg"), QStringLiteral("下移"));
    buttons.common
        = makeCommandButton(QStringLiteral(":/icons/list-common.svg"), QStringLiteral("常用"));
    buttons.remove
        = makeCommandButton(QStringLiteral(":/icons/list-delete.svg"), QStringLiteral("删除"));
    buttons.cancel
        = makeCommandButton(QStringLiteral(":/icons/list-cancel.svg"), QStringLiteral("取消"));
    buttons.save
        = makeCommandButton(QStringLiteral(":/icons/list-save.svg"), QStringLiteral("保存"));
    buttons.cut = makeCommandButton(QStringLiteral(":/icons/list-cut.svg"), QStringLiteral("转移"));
    buttons.paste
        = makeCommandButton(QStringLiteral(":/icons/list-paste.svg"), QStringLiteral("移入"));
    buttons.exportItems
        = makeCommandButton(QStringLiteral(":/icons/list-export.svg"), QStringLiteral("导出"));
    buttons.importItems
        = makeCommandButton(QStringLiteral(":/icons/list-import.svg"), QStringLiteral("导入"));
    buttons.text
        = makeCommandButton(QStringLiteral(":/icons/detail-text.svg"), QStringLiteral("文本"));
    buttons.file
        = makeCommandButton(QStringLiteral(":/icons/detail-file.svg"), QStringLiteral("文件"));
    buttons.folder
        = makeCommandButton(QStringLiteral(":/icons/detail-file.svg"), QStringLiteral("目录"));
    buttons.link
        = makeCommandButton(QStringLiteral(":/icons/detail-link.svg"), QStringLiteral("链接"));
    buttons.reveal
        = makeCommandButton(QStringLiteral(":/icons/detail-file.svg"), QStringLiteral("转到"));
    buttons.removeResource
        = makeCommandButton(QStringLiteral(":/icons/list-delete.svg"), QStringLiteral("移除"));
    for (CompactActionButton *b : {buttons.up, buttons.down, buttons.common, buttons.paste})
        b->setEnabled(false);
    buttons.cut->setCheckable(true);
    buttons.cut->setEnabled(false);
    for (CompactActionButton *b :
        {buttons.cut, buttons.paste, buttons.exportItems, buttons.importItems})
        b->hide();

    QGridLayout *gridA = commandGrid();
    gridA->addWidget(buttons.add, 0, 0);
    gridA->addWidget(buttons.branch, 0, 1);
    gridA->addWidget(buttons.common, 1, 0);
    gridA->addWidget(buttons.remove, 1, 1);
    QGridLayout *gridC = commandGrid(0);
    gridC->addWidget(buttons.up, 0, 0);
    gridC->addWidget(buttons.down, 0, 1);
    gridC->addWidget(buttons.cancel, 1, 0);
    gridC->addWidget(buttons.save, 1, 1);
    QGridLayout *gridB = commandGrid();
    gridB->addWidget(buttons.text, 0, 0);
    gridB->addWidget(buttons.file, 0, 1);
    gridB->addWidget(buttons.folder, 1, 0);
    gridB->addWidget(buttons.link, 1, 1);
    gridB->addWidget(buttons.reveal, 2, 0);
    gridB->addWidget(buttons.removeResource, 2, 1);
    commandTopSection = makeCommandSection(QStringLiteral("项目表"), gridA, gridC);
    barLayout->addWidget(commandTopSection, 1);
    barLayout->addWidget(makeCommandSection(QStringLiteral("事项详情"), gridB, nullptr), 1);
}

void WindowLayout::buildStatusBar(QMainWindow *window)
{
    QStatusBar *bar = window->statusBar();
    bar->setSizeGripEnabled(false);
    bar->setFixedHeight(px(26));
    bar->setStyleSheet(QStringLiteral("QStatusBar { font-size:%1px; }").arg(px(14)));
    auto *container = new QWidget(bar);
    auto *layout = new QHBoxLayout(container);
    layout->setContentsMargins(px(2), 0, px(6), 0);
    layout->setSpacing(px(4));
    collapseButtonWidget = statusButton(
        container, QStringLiteral(":/icons/sidebar-collapse.svg"), QStringLiteral("收缩界面"), 36);
    expandButtonWidget = statusButton(
        container, QStringLiteral(":/icons/sidebar-expand.svg"), QStringLiteral("展开界面"), 36);
    expandButtonWidget->setEnabled(false);
    restoreButtonWidget = statusButton(
        container, QStringLiteral(":/icons/list-cancel.svg"), QStringLiteral("恢复默认布局"), 36);
    statusLabelWidget = new ElidingLabel(container); // a long message never widens the bar
    statusLabelWidget->setStyleSheet(QStringLiteral("QLabel { color:#667085; }"));
    upgradeMessageLabel = new QLabel(container);
    upgradeMessageLabel->setObjectName(QStringLiteral("upgradeMessage"));
    upgradeMessageLabel->setStyleSheet(
        QStringLiteral("QLabel { color:#667085; font-size:%1px; }").arg(px(12)));
    upgradeMessageLabel->hide();
    upgradeButtonWidget = new QToolButton(container);
    upgradeButtonWidget->setObjectName(QStringLiteral("upgradeButton"));
    upgradeButtonWidget->setAutoRaise(true);
    upgradeButtonWidget->setStyleSheet(
        QStringLiteral("QToolButton { color:#1769aa; font-size:%1px; }").arg(px(12)));
    upgradeButtonWidget->setText(QUrl(veltoWebsiteUrl()).host());
    upgradeButtonWidget->hide();
    statusCancelButtonWidget = statusButton(
        container, QStringLiteral(":/icons/list-cancel.svg"), QStringLiteral("取消"), 28);
    statusSaveButtonWidget = statusButton(
        container, QStringLiteral(":/icons/list-save.svg"), QStringLiteral("保存"), 28);
    statusCancelButtonWidget->hide();
    statusSaveButtonWidget->hide();
    layout->addWidget(collapseButtonWidget);
    layout->addWidget(expandButtonWidget);
    layout->addWidget(restoreButtonWidget);
    layout->addWidget(statusLabelWidget, 1);
    layout->addWidget(upgradeMessageLabel);
    layout->addWidget(upgradeButtonWidget);
    layout->addWidget(statusCancelButtonWidget);
    layout->addWidget(statusSaveButtonWidget);
    bar->addWidget(container, 1);
}

void WindowLayout::showStatusCopies()
{
    statusCancelButtonWidget->show();
    statusSaveButtonWidget->show();
}

void WindowLayout::hideStatusCopies()
{
    statusCancelButtonWidget->hide();
    statusSaveButtonWidget->hide();
}

void WindowLayout::applyLayoutSettings()
{
    QSettings settings;
    if (!settings.value(QStringLiteral("layout/navigationVisible"), true).toBool())
        navigationPanel->hide();
    if (!settings.value(QStringLiteral("layout/projectListVisible"), true).toBool())
        projectListAreaWidget->hide();
    if (!settings.value(QStringLiteral("layout/resourceListVisible"), true).toBool())
        detailPanelWidget->setResourceListVisible(false);
    if (!settings.value(QStringLiteral("layout/commandBarVisible"), true).toBool()) {
        commandBarWidget->hide();
        showStatusCopies();
    }
}

void WindowLayout::placeCommandBar(bool right)
{
    if (!bodyLayout)
        return;
    bodyLayout->removeWidget(commandBarWidget);
    bodyLayout->insertWidget(right ? 2 : 1, commandBarWidget);
    commandBarWidget->setStyleSheet(commandBarStyle(right));
}

void WindowLayout::updateLayoutButtons()
{
    if (!collapseButtonWidget)
        return;
    const bool sidebar = !navigationPanel->isHidden();
    const bool list = !projectListAreaWidget->isHidden();
    const bool resources = detailPanelWidget->isResourceListVisible();
    const bool bar = !commandBarWidget->isHidden();
    collapseButtonWidget->setEnabled(sidebar || list || resources || bar);
    expandButtonWidget->setEnabled(
        !(sidebar && !navigationPanel->isCollapsed() && list && resources && bar));
}

void WindowLayout::collapseStep()
{
    QSettings settings;
    QString message;
    if (!navigationPanel->isCollapsed()) {
        navigationPanel->toggleCollapsed();
        message = QStringLiteral("已收缩左侧边栏");
    } else if (!navigationPanel->isHidden()) {
        navigationPanel->hide();
        settings.setValue(QStringLiteral("layout/navigationVisible"), false);
        message = QStringLiteral("已隐藏左侧边栏");
    } else if (!projectListAreaWidget->isHidden()) {
        projectListAreaWidget->hide();
        settings.setValue(QStringLiteral("layout/projectListVisible"), false);
        message = QStringLiteral("已收缩项目表");
    } else if (detailPanelWidget->isResourceListVisible()) {
        detailPanelWidget->setResourceListVisible(false);
        settings.setValue(QStringLiteral("layout/resourceListVisible"), false);
        message = QStringLiteral("已收缩事项详情");
    } else if (!commandBarWidget->isHidden()) {
        commandBarWidget->hide();
        settings.setValue(QStringLiteral("layout/commandBarVisible"), false);
        showStatusCopies();
        message = QStringLiteral("已收缩操作区");
    }
    if (!message.isEmpty())
        statusLabelWidget->setText(message);
    updateLayoutButtons();
}

void WindowLayout::expandStep()
{
    QSettings settings;
    QString message;
    if (commandBarWidget->isHidden()) {
        commandBarWidget->show();
        settings.setValue(QStringLiteral("layout/commandBarVisible"), true);
        hideStatusCopies();
        message = QStringLiteral("已展开操作区");
    } else if (!detailPanelWidget->isResourceListVisible()) {
        detailPanelWidget->setResourceListVisible(true);
        settings.setValue(QStringLiteral("layout/resourceListVisible"), true);
        message = QStringLiteral("已展开事项详情");
    } else if (projectListAreaWidget->isHidden()) {
        projectListAreaWidget->show();
        settings.setValue(QStringLiteral("layout/projectListVisible"), true);
        message = QStringLiteral("已展开项目表");
    } else if (navigationPanel->isHidden()) {
        navigationPanel->show();
        settings.setValue(QStringLiteral("layout/navigationVisible"), true);
        message = QStringLiteral("已显示左侧边栏");
    } else if (navigationPanel->isCollapsed()) {
        navigationPanel->toggleCollapsed();
        message = QStringLiteral("已展开左侧边栏");
    }
    if (!message.isEmpty())
        statusLabelWidget->setText(message);
    updateLayoutButtons();
}

void WindowLayout::restoreDefaultLayout()
{
    QSettings settings;
    settings.setValue(QStringLiteral("navigation/collapsed"), true);
    for (const char *key : {"layout/navigationVisible", "layout/projectListVisible",
             "layout/resourceListVisible", "layout/commandBarVisible", "layout/commandBarRight"})
        settings.setValue(QLatin1String(key), true);
    navigationPanel->show();
    if (!navigationPanel->isCollapsed())
        navigationPanel->toggleCollapsed();
    projectListAreaWidget->show();
    detailPanelWidget->setResourceListVisible(true);
    commandBarWidget->show();
    placeCommandBar(true);
    hideStatusCopies();
    emit statusMessageRequested(QStringLiteral("已恢复默认布局"), 2000);
    updateLayoutButtons();
}
