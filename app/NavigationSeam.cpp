#include "NavigationSeam.h"

#include "UiMetrics.h"

#include <QSettings>
#include <QWidget>

NavigationSeam::NavigationSeam(QWidget *parentWidget)
    : QObject(parentWidget)
    , m_widget(new QWidget(parentWidget))
{
    m_widget->setObjectName(QStringLiteral("navigationPanel"));
    m_widget->setStyleSheet(QStringLiteral("QWidget#navigationPanel { background:#f8fafc; }"));
    m_widget->setAttribute(Qt::WA_StyledBackground);
    m_collapsed = QSettings().value(QStringLiteral("navigation/collapsed"), true).toBool();
    m_widget->setFixedWidth(UiMetrics::px(m_collapsed ? collapsedWidth : expandedWidth));
}

void NavigationSeam::setQuickAccess(const QList<DataItem> &common, const QList<DataItem> &recent,
    const QList<DataItem> &searchResults, bool showSearchPage)
{
    m_common = common;
    m_recent = recent;
    m_search = searchResults;
    m_showSearch = showSearchPage;
}

void NavigationSeam::setSelectedQuickAccess(qint64 iid, bool)
{
    m_selectedQuick = iid;
}

bool NavigationSeam::wantsTreeItems() const
{
    // The placeholder shows no tree. The sidebar answers whether its tree page is visible (and
    // then keeps the tree up to date incrementally rather than from allItems()).
    return false;
}

void NavigationSeam::setTreeItems(const QList<DataItem> &items)
{
    m_treeCount = int(items.size());
}

void NavigationSeam::setSelectedTree(qint64 iid)
{
    m_selectedTree = iid;
}

void NavigationSeam::toggleCollapsed()
{
    setCollapsed(!m_collapsed);
}

void NavigationSeam::setCollapsed(bool collapsed)
{
    if (collapsed == m_collapsed)
        return;
    m_collapsed = collapsed;
    m_widget->setFixedWidth(UiMetrics::px(collapsed ? collapsedWidth : expandedWidth));
    QSettings().setValue(QStringLiteral("navigation/collapsed"), collapsed);
    emit collapsedChanged(collapsed);
}
