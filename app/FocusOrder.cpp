#include "FocusOrder.h"

#include <QWidget>

#include <algorithm>

namespace {

bool takesTab(const QWidget *w)
{
    return w->isVisible() && w->isEnabled() && (w->focusPolicy() & Qt::TabFocus)
        && !w->focusProxy();
}

// The widgets of one section that Tab can reach, in reading order.
QList<QWidget *> reachable(QWidget *section, const QList<QWidget *> &atomic)
{
    QList<QWidget *> found;
    if (!section->isVisible())
        return found;
    QList<QWidget *> candidates {section};
    candidates += section->findChildren<QWidget *>();
    for (QWidget *w : std::as_const(candidates)) {
        const bool inside = std::any_of(atomic.cbegin(), atomic.cend(),
            [w](const QWidget *a) { return a != w && a->isAncestorOf(w); });
        if (!inside && takesTab(w))
            found.append(w);
    }
    QWidget *top = section->window();
    std::stable_sort(found.begin(), found.end(), [top](QWidget *a, QWidget *b) {
        const QPoint pa = a->mapTo(top, QPoint());
        const QPoint pb = b->mapTo(top, QPoint());
        return pa.y() != pb.y() ? pa.y() < pb.y() : pa.x() < pb.x();
    });
    return found;
}

} // namespace

QWidget *FocusOrder::neighbour(
    const QList<QWidget *> &sections, const QList<QWidget *> &atomic, QWidget *from, bool next)
{
    // Each reachable widget with its place: section, then reading order inside it.
    struct Place {
        QWidget *widget;
        int section;
        int index;
    };
    QList<Place> order;
    for (int s = 0; s < sections.size(); ++s) {
        if (!sections.at(s))
            continue;
        const QList<QWidget *> widgets = reachable(sections.at(s), atomic);
        for (int i = 0; i < widgets.size(); ++i)
            order.append({widgets.at(i), s, i});
    }
    if (order.isEmpty())
        return nullptr;
    // The focus inside an atomic widget counts as the atomic widget.
    for (QWidget *a : atomic) {
        if (from && a->isAncestorOf(from))
            from = a;
    }
    const int count = int(order.size());
    for (int i = 0; i < count; ++i) {
        if (order.at(i).widget == from)
            return order.at((i + (next ? 1 : -1) + count) % count).widget;
    }
    // A widget Tab does not reach itself (a note taking the focus on click): continue from its
    // section, after the reachable widgets above it.
    int section = -1;
    for (int s = 0; s < sections.size() && from; ++s) {
        if (sections.at(s) && (sections.at(s) == from || sections.at(s)->isAncestorOf(from)))
            section = s;
    }
    if (section < 0)
        return next ? order.first().widget : order.last().widget;
    QWidget *top = sections.at(section)->window();
    const int y = from->mapTo(top, QPoint()).y();
    int after = count;
    for (int i = 0; i < count; ++i) {
        const Place &p = order.at(i);
        if (p.section > section
            || (p.section == section && p.widget->mapTo(top, QPoint()).y() > y)) {
            after = i;
            break;
        }
    }
    return next ? order.at(after % count).widget : order.at((after - 1 + count) % count).widget;
}
