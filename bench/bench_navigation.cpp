// Timings of the navigation sidebar on a big tree: 100,000 items, ten children per node. The
// full rebuild from a flat list against the lazy tree fed by providers, opening the path to a
// deep item, single-branch updates, and filling the search list.
//
// The providers answer from memory; reading one level through the (pid, sortid, iid) index adds
// about 0.1 ms per call, and reading all items about 100 ms.
//
// Run from a release build with QT_QPA_PLATFORM=offscreen.

#include "NavigationPanel.h"

#include "BenchTiming.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QHash>
#include <QSettings>
#include <QTemporaryDir>
#include <QTreeWidget>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <memory>

namespace {

using bench::measure;

void settle()
{
    for (int i = 0; i < 3; ++i) {
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QCoreApplication::processEvents();
    }
}

constexpr qint64 itemCount = 100000;

// Items 1..9 on the top level; item k >= 10 is a child of k / 10, so every node has ten children.
DataItem makeItem(qint64 k)
{
    DataItem item;
    item.id = item.iid = k;
    item.pid = k < 10 ? 0 : k / 10;
    item.sortid = k % 10;
    item.here = QStringLiteral("项目 %1").arg(k);
    item.cont = QStringLiteral("业务内容 %1").arg(k);
    return item;
}

struct Tree {
    QList<DataItem> all; // ordered by pid, sortid, iid
    QHash<qint64, QList<DataItem>> byParent;

    Tree()
    {
        all.reserve(itemCount);
        for (qint64 k = 1; k <= itemCount; ++k) {
            all.append(makeItem(k));
            byParent[all.last().pid].append(all.last());
        }
        std::sort(all.begin(), all.end(), [](const DataItem &a, const DataItem &b) {
            return std::tie(a.pid, a.sortid, a.iid) < std::tie(b.pid, b.sortid, b.iid);
        });
    }
    void attach(NavigationPanel &panel) const
    {
        panel.setTreeSource([this](qint64 pid) { return byParent.value(pid); },
            [](qint64 iid) { return iid >= 1 && iid <= itemCount ? makeItem(iid) : DataItem(); });
    }
};

std::unique_ptr<NavigationPanel> shownPanel()
{
    auto panel = std::make_unique<NavigationPanel>();
    panel->setCollapsed(false);
    panel->resize(216, 900);
    panel->show();
    settle();
    return panel;
}

} // namespace

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    // The panel stores its collapsed state: keep that away from the user's settings.
    const QTemporaryDir settings;
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, settings.path());
    QCoreApplication::setOrganizationName(QStringLiteral("VeltoBench"));
    const Tree data;
    std::printf("tree: %lld items, ten children per node\n", static_cast<long long>(itemCount));
    std::unique_ptr<NavigationPanel> panel = shownPanel();

    measure(
        "full: setTreeItems, first build", 5, [&] { panel = shownPanel(); },
        [&] { panel->setTreeItems(data.all); });
    measure(
        "full: setTreeItems over a built tree (clear + build)", 5,
        [&] { panel->setTreeItems(data.all); }, [&] { panel->setTreeItems(data.all); });
    measure(
        "full: setTreeItems + setSelectedTree(deep item) + paint", 5,
        [&] { panel->setTreeItems(data.all); },
        [&] {
            panel->setTreeItems(data.all);
            panel->setSelectedTree(99999);
            panel->repaint();
        });

    measure(
        "lazy: setTreeSource (top level, one level ahead)", 9, [&] { panel = shownPanel(); },
        [&] { data.attach(*panel); });
    measure(
        "lazy: setSelectedTree(deep item) opening its path + paint", 9,
        [&] {
            panel = shownPanel();
            data.attach(*panel);
        },
        [&] {
            panel->setSelectedTree(99999);
            panel->repaint();
        });
    measure(
        "lazy: open every branch on the path to 4 random items", 9,
        [&] {
            panel = shownPanel();
            data.attach(*panel);
        },
        [&] {
            for (const qint64 iid : {12345, 67890, 99999, 45678})
                panel->setSelectedTree(iid);
        });

    data.attach(*panel);
    panel->setSelectedTree(99999);
    DataItem renamed = makeItem(99999);
    measure("lazy: rename one item (updateTreeItem)", 21, nullptr, [&] {
        renamed.here += QLatin1Char('x');
        panel->updateTreeItem(renamed);
    });
    measure("lazy: re-read one opened branch of 10 (reloadTreeChildren)", 21, nullptr,
        [&] { panel->reloadTreeChildren(9999); });
    measure("lazy: re-read the top level (reloadTreeChildren(0))", 21, nullptr,
        [&] { panel->reloadTreeChildren(0); });

    QList<DataItem> found;
    for (qint64 k = 1; k <= 100; ++k)
        found.append(makeItem(k * 997));
    const QList<DataItem> recent = found.mid(0, 20);
    measure("setQuickAccess: 100 search results, search page shown", 21, nullptr,
        [&] { panel->setQuickAccess(recent, recent, found, true); });
    measure("setQuickAccess + setSelectedQuickAccess + paint", 21, nullptr, [&] {
        panel->setQuickAccess(recent, recent, found, true);
        panel->setSelectedQuickAccess(found.at(50).iid, true);
        panel->repaint();
    });
    return 0;
}
