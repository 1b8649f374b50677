#pragma once

#include <QAccessibleWidget>
#include <QHash>
#include <QPointer>

class ItemTable;

// The item table as assistive technology sees it: a table whose cells carry the texts they show
// and lead, as their children, to the line editors and the branch button that cover them (Qt's
// own table interface knows nothing of cell widgets). Children are numbered as Qt numbers them
// (the header cells first), so the view's focus events name the right cell.
class ItemTableAccessible : public QAccessibleWidget, public QAccessibleTableInterface {
public:
    explicit ItemTableAccessible(ItemTable *table);
    ~ItemTableAccessible() override;

    // Makes queryAccessibleInterface answer with this class for every ItemTable.
    static void installFactory();

    ItemTable *table() const;

    QAccessibleInterface *child(int index) const override;
    int childCount() const override;
    int indexOfChild(const QAccessibleInterface *child) const override;
    void *interface_cast(QAccessible::InterfaceType type) override;

    QAccessibleInterface *cellAt(int row, int column) const override;
    QAccessibleInterface *caption() const override { return nullptr; }
    QAccessibleInterface *summary() const override { return nullptr; }
    QString columnDescription(int column) const override;
    QString rowDescription(int) const override { return QString(); }
    int columnCount() const override;
    int rowCount() const override;
    int selectedCellCount() const override;
    int selectedColumnCount() const override { return 0; }
    int selectedRowCount() const override;
    QList<QAccessibleInterface *> selectedCells() const override;
    QList<int> selectedColumns() const override { return {}; }
    QList<int> selectedRows() const override;
    bool isColumnSelected(int) const override { return false; }
    bool isRowSelected(int row) const override;
    bool selectRow(int row) override;
    bool selectColumn(int) override { return false; }
    bool unselectRow(int) override { return false; }
    bool unselectColumn(int) override { return false; }
    void modelChange(QAccessibleTableModelChangeEvent *) override { }

private:
    // row -1 is the header row.
    QAccessibleInterface *cell(int row, int column) const;
    mutable QHash<QPair<int, int>, QAccessible::Id> cells;
};
