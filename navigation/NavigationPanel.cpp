#include "NavigationPanel.h"

#include "CompactActionButton.h"
#include "DisplayText.h"
#include "ItemTreeWidget.h"
#include "UiMetrics.h"

#include <QApplication>
#include <QColor>
#include <QFont>
#include <QFrame>
#include <QHBoxLayout>
#include <QIcon>
#include <QLineEdit>
#include <QListWidget>
#include <QMouseEvent>
#include <QNetworkAccessManager>
#include <QPainter>
#include <QScopedValueRollback>
#include <QSettings>
#include <QStackedWidget>
#include <QTimer>
#include <QTreeWidget>
#include <QVBoxLayout>

using UiMetrics::px;

namespace {

const QString collapsedKey = QStringLiteral("navigation/collapsed");
const QString treeVisibleKey = QStringLiteral("navigation/treeVisible");
constexpr int sourceRole = Qt::UserRole + 1;
constexpr int searchSource = 3;
constexpr int pageButtonCount = 5;

CompactActionButton *makeIconButton(
    QWidget *parent, const QString &iconPath, const QString &text, const QString &toolTip)
{
    auto *button = new CompactActionButton(parent);
    button->setIcon(QIcon(iconPath));
    button->setText(text);
    button->setToolTip(toolTip.isEmpty() ? text : toolTip);
    button->setAccessibleName(text);
    return button;
}

QWidget *makeListPage(QListWidget *&list, QWidget *parent)
{
    auto *page = new QWidget(parent);
    auto *layout = new QVBoxLayout(page);
    layout->setContentsMargins(0, 0, 1, 0);
    list = new QListWidget(page);
    list->setStyleSheet(QStringLiteral("QListWidget { font-size:%1px; }").arg(px(14)));
    list->setSelectionMode(QAbstractItemView::SingleSelection);
    layout->addWidget(list);
    return page;
}

} // namespace

NavigationPanel::NavigationPanel(QWidget *parent)
    : QWidget(parent)
{
    treeVisible = QSettings().value(treeVisibleKey, true).toBool();

    setFixedWidth(px(216));
    setStyleSheet(QStringLiteral("NavigationPanel { background:transparent; border:0; }"
                                 "QLabel { color:#475467; font-size:%1px; font-weight:600; "
                                 "padding:0 %2px; }")
                      .arg(px(14))
                      .arg(px(2)));

    mainLayout = new QVBoxLayout(this);
    mainLayout->setContentsMargins(0, 0, 0, 0);
    mainLayout->setSpacing(px(6));

    rightBorder = new QFrame(this);
    rightBorder->setObjectName(QStringLiteral("navigationRightBorder"));
    rightBorder->setStyleSheet(
        QStringLiteral("QFrame#navigationRightBorder { background:#d9dee7; border:0; }"));

    buttonRow = new QWidget(this);
    buttonRow->setFixedHeight(px(42));
    buttonRowLayout = new QHBoxLayout(buttonRow);
    buttonRowLayout->setContentsMargins(0, 0, 0, 0);
    buttonRowLayout->setSpacing(px(1));
    const auto button = [this](const char *icon, const QString &text) {
        CompactActionButton *made
            = makeIconButton(buttonRow, QString::fromLatin1(icon), text, QString());
        made->setCheckable(true);
        return made;
    };
    commonButton = button(":/icons/list-common.svg", QStringLiteral("常用"));
    recentButton = button(":/icons/sidebar-recent.svg", QStringLiteral("最近"));
    searchButton = button(":/icons/sidebar-search.svg", QStringLiteral("搜索"));
    accountButton = button(":/icons/sidebar-login.svg", QStringLiteral("登录"));
    settingsButton = button(":/icons/sidebar-settings.svg", QStringLiteral("设置"));
    for (CompactActionButton *pageButton :
        {commonButton, recentButton, searchButton, accountButton, settingsButton})
        buttonRowLayout->addWidget(pageButton);
    mainLayout->addWidget(buttonRow);

    pageStack = new QStackedWidget(this);
    pageStack->setFixedHeight(px(248));
    pageStack->addWidget(makeListPage(commonList, pageStack));
    pageStack->addWidget(makeListPage(recentList, pageStack));
    commonList->setAccessibleName(QStringLiteral("常用业务"));
    recentList->setAccessibleName(QStringLiteral("最近业务"));
    auto *searchPage = new QWidget(pageStack);
    auto *searchLayout = new QVBoxLayout(searchPage);
    searchLayout->setContentsMargins(0, 0, 0, 0);
    searchLayout->setSpacing(px(6));
    searchEdit = new QLineEdit(searchPage);
    searchEdit->setPlaceholderText(QStringLiteral("搜索名称"));
    searchEdit->setAccessibleName(QStringLiteral("搜索名称"));
    searchEdit->setStyleSheet(QStringLiteral("QLineEdit { font-size:%1px; }").arg(px(14)));
    searchResultList = new QListWidget(searchPage);
    searchResultList->setStyleSheet(QStringLiteral("QListWidget { font-size:%1px; }").arg(px(14)));
    searchResultList->setSelectionMode(QAbstractItemView::SingleSelection);
    searchResultList->setAccessibleName(QStringLiteral("搜索结果"));
    searchLayout->addWidget(searchEdit);
    searchLayout->addWidget(searchResultList, 1);
    pageStack->addWidget(searchPage);
    network = new QNetworkAccessManager(this);
    pageStack->addWidget(buildAccountPage());
    pageStack->addWidget(buildSettingsPage());

    tree = new ItemTreeWidget(this);
    tree->setAccessibleName(QStringLiteral("业务树"));
    tree->setContextMenuPolicy(Qt::CustomContextMenu);
    tree->setHeaderHidden(true);
    tree->setSelectionMode(QAbstractItemView::SingleSelection);
    tree->setStyleSheet(QStringLiteral("QTreeWidget { font-size:%1px; }").arg(px(14)));
    mainLayout->addWidget(pageStack);
    mainLayout->addSpacing(px(6));
    mainLayout->addWidget(tree, 1);
    // Takes the height that nothing else uses, so the collapsed column of buttons stays at the top.
    mainLayout->addStretch(0);

    connectQuickAccessList(commonList, 1);
    connectQuickAccessList(recentList, 2);
    connectQuickAccessList(searchResultList, searchSource);
    connect(tree, &QTreeWidget::itemClicked, this, [this](QTreeWidgetItem *item) {
        emit treeItemActivated(item->data(0, Qt::UserRole).toLongLong());
    });
    connect(tree, &QTreeWidget::itemExpanded, this, &NavigationPanel::populateChildrenOf);
    connect(tree, &QWidget::customContextMenuRequested, this, [this](const QPoint &pos) {
        if (QTreeWidgetItem *row = tree->itemAt(pos))
            emit treeMenuRequested(
                row->data(0, Qt::UserRole).toLongLong(), tree->viewport()->mapToGlobal(pos));
    });
    connect(tree, &ItemTreeWidget::moveRequested, this, &NavigationPanel::treeMoveRequested);
    // A page button opens its page however it is pressed: a click, the keyboard, or the "Toggle"
    // that assistive technology offers for a checkable button (which flips the check without a
    // click). setPage's own check changes are not presses.
    const QList<QPair<CompactActionButton *, Page>> pageButtons {{commonButton, Common},
        {recentButton, Recent}, {searchButton, Search}, {accountButton, Account},
        {settingsButton, Settings}};
    for (const auto &[pageButton, page] : pageButtons) {
        connect(pageButton, &QToolButton::toggled, this, [this, page = page] {
            if (!settingPage)
                openPage(page);
        });
    }
    connect(searchEdit, &QLineEdit::returnPressed, this,
        [this] { emit searchSubmitted(searchEdit->text()); });
    focusConnection = connect(qApp, &QApplication::focusChanged, this, [this] {
        if (!temporaryExpanded || collapsed)
            return;
        QTimer::singleShot(0, this, [this] {
            QWidget *focus = QApplication::focusWidget();
            if (focus && focus != this && !isAncestorOf(focus))
                collapseIfTemporary();
        });
    });
    qApp->installEventFilter(this);

    pageStack->setCurrentIndex(Common);
    commonButton->setChecked(true);
    updatePageAndTreeLayout();

    setCollapsed(QSettings().value(collapsedKey, true).toBool());
    updatePageAndTreeLayout();
}

// Closing a shown panel moves the focus while QWidget's destructor runs, when this object is no
// longer a NavigationPanel: stop listening to the application first.
NavigationPanel::~NavigationPanel()
{
    disconnect(focusConnection);
    qApp->removeEventFilter(this);
}

QTreeWidget *NavigationPanel::treeWidget() const
{
    return tree;
}

qint64 NavigationPanel::currentTreeItem() const
{
    const QTreeWidgetItem *row = tree->currentItem();
    return row ? row->data(0, Qt::UserRole).toLongLong() : 0;
}

void NavigationPanel::setTreeMoveCheck(std::function<bool(qint64, qint64)> check)
{
    tree->setMoveCheck(std::move(check));
}

void NavigationPanel::setCollapsed(bool c)
{
    collapsed = c;
    setFixedWidth(px(c ? 44 : 216));
    buttonRowLayout->setDirection(c ? QBoxLayout::TopToBottom : QBoxLayout::LeftToRight);
    buttonRow->setFixedHeight(
        c ? pageButtonCount * px(42) + (pageButtonCount - 1) * px(1) : px(42));
    pageStack->setVisible(!c);
    QSettings().setValue(collapsedKey, c);
    updatePageAndTreeLayout();
    emit collapsedChanged(c);
}

void NavigationPanel::toggleCollapsed()
{
    setCollapsed(!collapsed);
}

void NavigationPanel::setTreeVisible(bool visible)
{
    treeVisible = visible;
    QSettings().setValue(treeVisibleKey, visible);
    updatePageAndTreeLayout();
}

void NavigationPanel::showPageExpanding(Page page)
{
    if (collapsed) {
        temporaryExpanded = true;
        setCollapsed(false);
    }
    setPage(page);
}

void NavigationPanel::openPage(Page page)
{
    showPageExpanding(page);
    if (page == Search) {
        searchEdit->setFocus(Qt::OtherFocusReason);
    } else if (page == Account) {
        emit loginRequested();
    }
}

void NavigationPanel::setPage(Page page)
{
    const QScopedValueRollback<bool> guard(settingPage, true);
    pageStack->setCurrentIndex(page);
    commonButton->setChecked(page == Common);
    recentButton->setChecked(page == Recent);
    searchButton->setChecked(page == Search);
    accountButton->setChecked(page == Account);
    settingsButton->setChecked(page == Settings);
    updatePageAndTreeLayout();
}

void NavigationPanel::updatePageAndTreeLayout()
{
    const int page = pageStack->currentIndex();
    const bool showTree = page != Account && page != Settings && treeVisible && !collapsed;
    tree->setVisible(showTree);
    if (showTree) {
        pageStack->setFixedHeight(px(248));
        pageStack->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
        mainLayout->setStretchFactor(pageStack, 0);
        mainLayout->setStretchFactor(tree, 1);
    } else if (!collapsed) {
        pageStack->setMinimumHeight(px(248));
        pageStack->setMaximumHeight(QWIDGETSIZE_MAX);
        pageStack->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Expanding);
        mainLayout->setStretchFactor(pageStack, 1);
        mainLayout->setStretchFactor(tree, 0);
    }
}

void NavigationPanel::collapseIfTemporary()
{
    if (!temporaryExpanded || collapsed)
        return;
    temporaryExpanded = false;
    setCollapsed(true);
}

bool NavigationPanel::eventFilter(QObject *watched, QEvent *event)
{
    // Only the press as delivered: Qt hands an unaccepted press on to the parent widgets as new,
    // non-spontaneous events, and a click on an empty spot of the open panel reaches the window
    // around it that way; it must not count as a press elsewhere.
    if (event->type() == QEvent::MouseButtonPress && event->spontaneous() && temporaryExpanded
        && !collapsed && watched->isWidgetType()) {
        auto *widget = static_cast<QWidget *>(watched);
        if (widget != this && !isAncestorOf(widget))
            QTimer::singleShot(0, this, &NavigationPanel::collapseIfTemporary);
    }
    return QWidget::eventFilter(watched, event);
}

void NavigationPanel::fillPageList(QListWidget *list, const QList<DataItem> &items, int source)
{
    const bool wasBlocked = list->blockSignals(true);
    list->clear();
    for (const DataItem &item : items) {
        auto *row = new QListWidgetItem(DisplayText::oneLine(item.here), list);
        row->setData(Qt::ToolTipRole, DisplayText::oneLine(item.cont, DisplayText::toolTipChars));
        row->setData(Qt::UserRole, item.iid);
        row->setData(sourceRole, source);
    }
    list->blockSignals(wasBlocked);
}

void NavigationPanel::setContentSearchHits(const QList<SearchHit> &hits)
{
    contentHits = hits;
}

void NavigationPanel::appendContentHits()
{
    if (contentHits.isEmpty())
        return;
    const bool wasBlocked = searchResultList->blockSignals(true);
    // A heading that cannot be selected or activated separates them from the name matches.
    auto *heading = new QListWidgetItem(QStringLiteral("内容中找到"), searchResultList);
    heading->setFlags(Qt::NoItemFlags);
    heading->setData(Qt::ForegroundRole, QColor(0x66, 0x70, 0x85));
    QFont font = searchResultList->font();
    font.setPixelSize(px(12));
    heading->setData(Qt::FontRole, font);
    for (const SearchHit &hit : qAsConst(contentHits)) {
        auto *row = new QListWidgetItem(DisplayText::oneLine(hit.item.here), searchResultList);
        row->setData(Qt::ToolTipRole, DisplayText::bounded(hit.snippet));
        row->setData(Qt::UserRole, hit.item.iid);
        row->setData(sourceRole, searchSource);
    }
    searchResultList->blockSignals(wasBlocked);
}

void NavigationPanel::connectQuickAccessList(QListWidget *list, int source)
{
    connect(list, &QListWidget::itemActivated, this, [this, source](QListWidgetItem *row) {
        emit quickAccessActivated(row->data(Qt::UserRole).toLongLong(), source == searchSource);
    });
}

void NavigationPanel::setQuickAccess(const QList<DataItem> &common, const QList<DataItem> &recent,
    const QList<DataItem> &searchResults, bool showSearchPage)
{
    fillPageList(commonList, common, 1);
    fillPageList(recentList, recent, 2);
    fillPageList(searchResultList, searchResults, searchSource);
    appendContentHits();
    if (!showSearchPage)
        return;
    setPage(Search);
    if (searchResultList->count() > 0)
        searchResultList->scrollToItem(
            searchResultList->item(0), QAbstractItemView::PositionAtCenter);
}

void NavigationPanel::setSelectedQuickAccess(qint64 iid, bool fromSearchResults)
{
    const QList<QListWidget *> lists {commonList, recentList, searchResultList};
    for (QListWidget *list : lists) {
        const bool wasBlocked = list->blockSignals(true);
        list->setCurrentRow(-1);
        list->blockSignals(wasBlocked);
    }
    const auto rowOf = [iid](QListWidget *list) {
        for (int i = 0; i < list->count(); ++i) {
            if (list->item(i)->data(Qt::UserRole).toLongLong() == iid)
                return i;
        }
        return -1;
    };
    QListWidget *target = nullptr;
    int row = -1;
    const auto tryList = [&](QListWidget *list) {
        if (target)
            return;
        row = rowOf(list);
        if (row >= 0)
            target = list;
    };
    if (fromSearchResults)
        tryList(searchResultList);
    tryList(commonList);
    tryList(recentList);
    if (!fromSearchResults)
        tryList(searchResultList);
    if (!target)
        return;
    const bool wasBlocked = target->blockSignals(true);
    target->setCurrentRow(row);
    target->blockSignals(wasBlocked);
}

void NavigationPanel::paintEvent(QPaintEvent *event)
{
    QPainter painter(this);
    painter.fillRect(event->rect(), QColor(QStringLiteral("#f5f7f9")));
    painter.setPen(
        QPen(QColor(QStringLiteral("#d9dee7")), 1, Qt::SolidLine, Qt::SquareCap, Qt::BevelJoin));
    painter.drawRect(QRect(QPoint(0, 0), QPoint(width() - 2, height() - 2)));
}

void NavigationPanel::resizeEvent(QResizeEvent *event)
{
    QWidget::resizeEvent(event);
    rightBorder->setGeometry(width() - 1, 0, 1, height());
    rightBorder->raise();
}
