#include "ItemTableAccessible.h"

#include "ItemTable.h"

#include <QHeaderView>
#include <QLineEdit>
#include <QToolButton>
#include <QWindow>

namespace {

// One cell (row >= 0) or column header (row -1) of the item table, read live from the table.
class ItemCellAccessible : public QAccessibleInterface, public QAccessibleTableCellInterface {
public:
    ItemCellAccessible(ItemTable *table, int row, int column)
        : view(table)
        , row(row)
        , column(column)
    {
    }

    bool isValid() const override
    {
        return view && row < view->rowCount() && column < view->columnCount();
    }
    QObject *object() const override { return nullptr; }
    QWindow *window() const override { return view ? view->window()->windowHandle() : nullptr; }
    QAccessibleInterface *parent() const override
    {
        return QAccessible::queryAccessibleInterface(view);
    }
    QAccessibleInterface *focusChild() const override
    {
        for (QWidget *w : widgets()) {
            if (w->hasFocus())
                return QAccessible::queryAccessibleInterface(w);
        }
        return nullptr;
    }
    QAccessibleInterface *childAt(int x, int y) const override
    {
        for (QWidget *w : widgets()) {
            if (QRect(w->mapToGlobal(QPoint()), w->size()).contains(x, y))
                return QAccessible::queryAccessibleInterface(w);
        }
        return nullptr;
    }
    QAccessibleInterface *child(int index) const override
    {
        const QList<QWidget *> list = widgets();
        return index >= 0 && index < list.size()
            ? QAccessible::queryAccessibleInterface(list.at(index))
            : nullptr;
    }
    int childCount() const override { return int(widgets().size()); }
    int indexOfChild(const QAccessibleInterface *child) const override
    {
        return child ? int(widgets().indexOf(qobject_cast<QWidget *>(child->object()))) : -1;
    }
    QString text(QAccessible::Text t) const override
    {
        if (!view || (t != QAccessible::Name && t != QAccessible::Value))
            return QString();
        if (row < 0) {
            const QTableWidgetItem *header = view->horizontalHeaderItem(column);
            return header ? header->text() : QString();
        }
        const QTableWidgetItem *item = view->item(row, column);
        if (!item)
            return QString();
        const QString accessible = item->data(Qt::AccessibleTextRole).toString();
        return accessible.isEmpty() ? item->text() : accessible;
    }
    void setText(QAccessible::Text, const QString &) override { }
    QRect rect() const override
    {
        if (!view)
            return QRect();
        if (row < 0) {
            QHeaderView *header = view->horizontalHeader();
            return QRect(header->mapToGlobal(QPoint(header->sectionViewportPosition(column), 0)),
                QSize(header->sectionSize(column), header->height()));
        }
        const QRect local = view->visualRect(view->model()->index(row, column));
        return QRect(view->viewport()->mapToGlobal(local.topLeft()), local.size());
    }
    QAccessible::Role role() const override
    {
        return row < 0 ? QAccessible::ColumnHeader : QAccessible::Cell;
    }
    QAccessible::State state() const override
    {
        QAccessible::State s;
        if (!view)
            return s;
        const QRect shown = view->viewport()->rect();
        const QRect local = row < 0 ? QRect() : view->visualRect(view->model()->index(row, column));
        s.invisible = row >= 0 && !shown.intersects(local);
        s.selectable = row >= 0;
        s.selected = row >= 0 && isSelected();
        return s;
    }
    void *interface_cast(QAccessible::InterfaceType type) override
    {
        return type == QAccessible::TableCellInterface
            ? static_cast<QAccessibleTableCellInterface *>(this)
            : nullptr;
    }

    bool isSelected() const override
    {
        return view && row >= 0 && view->selectionModel()->isRowSelected(row, QModelIndex());
    }
    QList<QAccessibleInterface *> columnHeaderCells() const override
    {
        QAccessibleInterface *t = parent();
        return t ? QList<QAccessibleInterface *> {t->child(column)}
                 : QList<QAccessibleInterface *>();
    }
    QList<QAccessibleInterface *> rowHeaderCells() const override { return {}; }
    int columnIndex() const override { return column; }
    int rowIndex() const override { return row; }
    int columnExtent() const override { return 1; }
    int rowExtent() const override { return 1; }
    QAccessibleInterface *table() const override { return parent(); }

private:
    // The widgets covering the cell, in screen order; only rows already built have them.
    QList<QWidget *> widgets() const
    {
        QList<QWidget *> list;
        if (!view || row < 0 || column == 0 || !view->isMaterialized(row))
            return list;
        if (column == 1) {
            QToolButton *button = view->branchButton(row);
            if (button && !button->isHidden())
                list << button;
            list << view->nameEditor(row);
        } else {
            list << (column == 2 ? view->contentEditor(row) : view->remarkEditor(row));
        }
        return list;
    }

    QPointer<ItemTable> view;
    int row;
    int column;
};

QAccessibleInterface *itemTableFactory(const QString &className, QObject *object)
{
    if (className == QLatin1String("ItemTable") && object && object->isWidgetType())
        return new ItemTableAccessible(static_cast<ItemTable *>(object));
    return nullptr;
}

} // namespace

ItemTableAccessible::ItemTableAccessible(ItemTable *table)
    : QAccessibleWidget(table, QAccessible::Table)
{
}

ItemTableAccessible::~ItemTableAccessible()
{
    for (const QAccessible::Id id : std::as_const(cells))
        QAccessible::deleteAccessibleInterface(id);
}

void ItemTableAccessible::installFactory()
{
    static const bool installed = [] {
        QAccessible::installFactory(itemTableFactory);
        return true;
    }();
    Q_UNUSED(installed);
}

ItemTable *ItemTableAccessible::table() const
{
    return static_cast<ItemTable *>(widget());
}

QAccessibleInterface *ItemTableAccessible::cell(int row, int column) const
{
    const QPair<int, int> key(row, column);
    if (const auto found = cells.constFind(key); found != cells.cend())
        return QAccessible::accessibleInterface(found.value());
    auto *made = new ItemCellAccessible(table(), row, column);
    cells.insert(key, QAccessible::registerAccessibleInterface(made));
    return made;
}

int ItemTableAccessible::columnCount() const
{
    return table()->columnCount();
}

int ItemTableAccessible::rowCount() const
{
    return table()->rowCount();
}

int ItemTableAccessible::childCount() const
{
    return (rowCount() + 1) * columnCount();
}

QAccessibleInterface *ItemTableAccessible::child(int index) const
{
    const int columns = columnCount();
    if (index < 0 || columns == 0 || index >= childCount())
        return nullptr;
    return cell(index / columns - 1, index % columns);
}

int ItemTableAccessible::indexOfChild(const QAccessibleInterface *child) const
{
    if (!child
        || (child->role() != QAccessible::Cell && child->role() != QAccessible::ColumnHeader))
        return -1;
    auto *c = const_cast<QAccessibleInterface *>(child)->tableCellInterface();
    if (!c || c->table() != this)
        return -1;
    return (c->rowIndex() + 1) * columnCount() + c->columnIndex();
}

void *ItemTableAccessible::interface_cast(QAccessible::InterfaceType type)
{
    if (type == QAccessible::TableInterface)
        return static_cast<QAccessibleTableInterface *>(this);
    return QAccessibleWidget::interface_cast(type);
}

QAccessibleInterface *ItemTableAccessible::cellAt(int row, int column) const
{
    if (row < 0 || row >= rowCount() || column < 0 || column >= columnCount())
        return nullptr;
    return cell(row, column);
}

QString ItemTableAccessible::columnDescription(int column) const
{
    const QTableWidgetItem *header = table()->horizontalHeaderItem(column);
    return header ? header->text() : QString();
}

QList<int> ItemTableAccessible::selectedRows() const
{
    QList<int> rows;
    for (const QModelIndex &index : table()->selectionModel()->selectedRows())
        rows << index.row();
    return rows;
}

int ItemTableAccessible::selectedRowCount() const
{
    return int(selectedRows().size());
}

int ItemTableAccessible::selectedCellCount() const
{
    return selectedRowCount() * columnCount();
}

QList<QAccessibleInterface *> ItemTableAccessible::selectedCells() const
{
    QList<QAccessibleInterface *> list;
    for (int row : selectedRows()) {
        for (int column = 0; column < columnCount(); ++column)
            list << cell(row, column);
    }
    return list;
}

bool ItemTableAccessible::isRowSelected(int row) const
{
    return table()->selectionModel()->isRowSelected(row, QModelIndex());
}

bool ItemTableAccessible::selectRow(int row)
{
    if (row < 0 || row >= rowCount())
        return false;
    // The same way in as a click on the row: the window decides (the editing lock included).
    emit table()->cellClicked(row, 0);
    return true;
}
