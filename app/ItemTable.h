#pragma once

#include "Records.h"

#include <QList>
#include <QSet>
#include <QTableWidget>

class QLineEdit;
class QStyle;
class QToolButton;

// The four-column table of one tree level. Every visible text cell is a live line editor, but the
// editors, the branch button and the cell widget of a row are only created once the row comes
// into (or near) the viewport, or when someone asks for them: a level of thousands of items costs
// one plain item per row until the user scrolls through it.
class ItemTable : public QTableWidget {
    Q_OBJECT

public:
    enum class RowKind { Parent, Ordinary, Draft, Placeholder };

    explicit ItemTable(QWidget *parent = nullptr);

    // Rebuilds every row. draftRow is -1 when there is no draft; without one a placeholder row
    // follows the items. withChildren names the items whose branch can be entered.
    void render(const QList<DataItem> &items, int draftRow, qint64 parentId,
        const QSet<qint64> &withChildren);
    // Raised at the start of every render; a deferred step that finds it changed does nothing.
    qint64 generation() const { return m_generation; }

    RowKind rowKind(int row) const;
    // The row's item is a branch that can be entered ("»").
    bool rowHasChildren(int row) const;
    // Gives the keyboard focus to the editor of column (1 name, 2 content, 3 remark) in row, or
    // to the table when that editor is disabled; scrolls the row into view.
    void focusCell(int row, int column);

    // A row editor's stored text. A text longer than a line editor takes (its 32,767 characters,
    // more than the window ever writes: only an import brings such a text) is shown cut short on
    // one line and read-only, so it neither slows the window down nor gets cut by a save;
    // fieldText() gives the whole stored text back for it.
    static void setFieldText(QLineEdit *editor, const QString &text);
    static QString fieldText(const QLineEdit *editor);

    // The editors and the button of a row, created on demand; null outside the table.
    QLineEdit *nameEditor(int row);
    QLineEdit *contentEditor(int row);
    QLineEdit *remarkEditor(int row);
    QToolButton *branchButton(int row);
    QWidget *nameCell(int row);
    bool isMaterialized(int row) const;
    int materializedRowCount() const { return int(m_materialized.size()); }

    // The row the window has selected, coloured by updateRowStyles.
    void setSelectedRow(int row);
    void updateRowStyles();
    // The row shows the selected colours (its widgets carry rowSelected).
    bool isRowMarkedSelected(int row) const;
    // While an edit is unsaved only the selected row and the parent row's "↩" stay usable.
    void setOtherRowsEnabled(bool enabled);
    bool otherRowsEnabled() const { return m_othersEnabled; }

    static QString editorStyle(bool selected);
    QStyle *fusionStyle() const { return m_fusion; }

signals:
    void rowFocused(int row);
    void rowTextEdited(int row);
    void branchClicked(int row);
    // Up (-1) or Down (+1) was pressed in the table or in an editor of its column (1..3).
    void rowStepRequested(int delta, int column);
    // The context menu was asked for on row (-1: below the rows) at globalPos; editor is the
    // line editor it was asked in, if any (its own editing entries belong in the menu too).
    void rowMenuRequested(int row, const QPoint &globalPos, QLineEdit *editor);

protected:
    void resizeEvent(QResizeEvent *event) override;
    void scrollContentsBy(int dx, int dy) override;
    void showEvent(QShowEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
    bool focusNextPrevChild(bool next) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    struct Row {
        DataItem item;
        RowKind kind = RowKind::Placeholder;
        bool hasChildren = false;
        QWidget *cell = nullptr;
        QToolButton *button = nullptr;
        QLineEdit *editors[3] = {nullptr, nullptr, nullptr};
    };

    static RowKind kindOf(int row, int itemCount, int draftRow, qint64 parentId);
    bool renderInPlace(const QList<DataItem> &items, int draftRow, qint64 parentId,
        const QSet<qint64> &withChildren);
    void materializeVisibleRows();
    void materialize(int row);
    void applyRowState(int row);
    void markSelected(Row &row, bool selected);
    QLineEdit *makeEditor(int row, int column, const QString &text, QWidget *parent);
    // The row and column (1..3) of one of the rows' editors; false for any other widget.
    bool editorPosition(const QObject *widget, int *row, int *column) const;

    QStyle *m_fusion = nullptr;
    QList<Row> m_rows;
    QList<int> m_materialized;
    qint64 m_generation = 0;
    // Of the cell widgets: a render that keeps them (same rows) leaves it as it is.
    qint64 m_widgetGeneration = 0;
    int m_selectedRow = -1;
    bool m_othersEnabled = true;
};
