#pragma once

#include "Records.h"

#include <QList>
#include <QObject>

class QWidget;

// Every call the window makes into the navigation sidebar goes through here. Until the sidebar
// lands this stands in for it with an empty strip of the sidebar's width that remembers what it
// was handed; the sidebar then replaces widget() and forwards these calls to NavigationPanel.
class NavigationSeam : public QObject {
    Q_OBJECT

public:
    static constexpr int collapsedWidth = 44;
    static constexpr int expandedWidth = 216;

    explicit NavigationSeam(QWidget *parentWidget);

    // The widget that sits first in the window's body.
    QWidget *widget() const { return m_widget; }

    void setQuickAccess(const QList<DataItem> &common, const QList<DataItem> &recent,
        const QList<DataItem> &searchResults, bool showSearchPage);
    void setSelectedQuickAccess(qint64 iid, bool fromSearchResults);
    // Reading the whole tree costs a scan of every item; the window asks first whether anything
    // can show it (a collapsed or hidden tree cannot) and calls setTreeItems only then. The
    // sidebar makes this incremental.
    bool wantsTreeItems() const;
    void setTreeItems(const QList<DataItem> &items);
    void setSelectedTree(qint64 iid);

    bool isCollapsed() const { return m_collapsed; }
    void toggleCollapsed();
    void setCollapsed(bool collapsed);

    // What the sidebar was last handed (tests and diagnostics).
    const QList<DataItem> &common() const { return m_common; }
    const QList<DataItem> &recent() const { return m_recent; }
    const QList<DataItem> &searchResults() const { return m_search; }
    bool showsSearchPage() const { return m_showSearch; }
    qint64 selectedQuickAccess() const { return m_selectedQuick; }
    qint64 selectedTreeItem() const { return m_selectedTree; }
    int treeItemCount() const { return m_treeCount; }

signals:
    void collapsedChanged(bool collapsed);

private:
    QWidget *m_widget = nullptr;
    bool m_collapsed = true;
    QList<DataItem> m_common;
    QList<DataItem> m_recent;
    QList<DataItem> m_search;
    bool m_showSearch = false;
    qint64 m_selectedQuick = 0;
    qint64 m_selectedTree = 0;
    int m_treeCount = 0;
};
