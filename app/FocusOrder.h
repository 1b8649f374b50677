#pragma once

#include <QList>

class QWidget;

// Tab order in the order of the screen: the sections in the given order (e.g. sidebar, table,
// detail panel, command bar, status bar), and inside a section its widgets from top to bottom,
// then left to right. A widget in `atomic` stands for everything inside it (the item table walks
// its own cells).
namespace FocusOrder {

// The widget that Tab (next) or Shift+Tab should focus after `from`; null when none is found.
QWidget *neighbour(
    const QList<QWidget *> &sections, const QList<QWidget *> &atomic, QWidget *from, bool next);

} // namespace FocusOrder
