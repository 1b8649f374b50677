#include "ItemTable.h"

#include "DisplayText.h"
#include "ItemTableAccessible.h"

#include "UiMetrics.h"

#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLineEdit>
#include <QScrollBar>
#include <QStyle>
#include <QStyleFactory>
#include <QToolButton>

#include <functional>

using UiMetrics::px;

namespace {

// A line editor that tells its row when it receives keyboard focus.
class FocusLineEdit : public QLineEdit {
public:
    using QLineEdit::QLineEdit;
    std::function<void()> onFocused;

protected:
    void focusInEvent(QFocusEvent *event) override
    {
        QLineEdit::focusInEvent(event);
        if (onFocused)
            onFocused();
    }
};

// Rows created beyond the viewport on either side, so a short scroll finds them ready.
constexpr int rowMargin = 8;

const QStringList &columnNames()
{
    static const QStringList names {QStringLiteral("序号"), QStringLiteral("项目"),
        QStringLiteral("业务内容"), QStringLiteral("备注")};
    return names;
}

// The name assistive technology gives a row's editor, e.g. "项目，第 2 行".
QString editorName(int row, int column)
{
    return columnNames().at(column) + QStringLiteral("，第 %1 行").arg(row + 1);
}

// Up or Down alone (the keypad's included): the keys that move between rows.
int rowStep(const QKeyEvent *event)
{
    const Qt::KeyboardModifiers mods = event->modifiers() & ~Qt::KeypadModifier;
    if (mods != Qt::NoModifier)
        return 0;
    return event->key() == Qt::Key_Up ? -1 : event->key() == Qt::Key_Down ? 1 : 0;
}

QString buttonStyle(const QString &colour, int fontSize)
{
    return QStringLiteral("QToolButton { background:transparent; color:%1; border:0; "
                          "border-radius:0; padding:0; font-size:%2px; font-weight:600;}"
                          "QToolButton:hover { background:transparent;}"
                          "QToolButton:pressed { background:transparent;}"
                          "QToolButton:disabled { color:transparent; background:transparent;}")
        .arg(colour, QString::number(px(fontSize)));
}

} // namespace

ItemTable::ItemTable(QWidget *parent)
    : QTableWidget(parent)
{
    ItemTableAccessible::installFactory();
    m_fusion = QStyleFactory::create(QStringLiteral("Fusion"));
    if (m_fusion) {
        m_fusion->setParent(this);
        setStyle(m_fusion);
        horizontalHeader()->setStyle(m_fusion);
        verticalHeader()->setStyle(m_fusion);
    }
    setColumnCount(4);
    setHorizontalHeaderLabels(columnNames());
    setAccessibleName(QStringLiteral("项目表"));
    setContextMenuPolicy(Qt::CustomContextMenu);
    connect(this, &QWidget::customContextMenuRequested, this, [this](const QPoint &pos) {
        emit rowMenuRequested(rowAt(pos.y()), viewport()->mapToGlobal(pos), nullptr);
    });
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setShowGrid(true);
    setAlternatingRowColors(false);
    verticalHeader()->setVisible(false);
    verticalHeader()->setDefaultSectionSize(px(36));
    verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    QHeaderView *header = horizontalHeader();
    header->setStretchLastSection(false);
    header->setSectionResizeMode(0, QHeaderView::Fixed);
    header->setSectionResizeMode(1, QHeaderView::Fixed);
    header->setSectionResizeMode(2, QHeaderView::Stretch);
    header->setSectionResizeMode(3, QHeaderView::Fixed);
    setColumnWidth(0, px(52));
    setColumnWidth(1, px(210));
    setColumnWidth(3, px(160));
    // One style sheet for the table and every cell widget in it: the rows' editors, cells and
    // buttons pick their look by property instead of parsing a sheet of their own each.
    const QString selectedEditor = editorStyle(true).replace(
        QStringLiteral("QLineEdit"), QStringLiteral("QLineEdit[rowSelected=\"true\"]"));
    setStyleSheet(
        QStringLiteral(
            "QTableWidget { background:#ffffff; color:#202124; font-size:%1px; "
            "gridline-color:#d9dee7; border:0; selection-background-color:#cfe2ff; "
            "selection-color:#202124;}QHeaderView::section { background:#f1f3f5; color:#202124; "
            "font-size:%1px; font-weight:600; padding:%2px %3px; border:0; border-right:1px "
            "solid #d9dee7; border-bottom:1px solid #c5cbd5;}")
            .arg(QString::number(px(14)), QString::number(px(7)), QString::number(px(8)))
        + editorStyle(false) + selectedEditor
        + QStringLiteral("QWidget#itemCell { background:#ffffff; }"
                         "QWidget#itemCell[rowSelected=\"true\"] { background:#cfe2ff; }")
        + buttonStyle(QStringLiteral("#475467"), 17)
              .replace(
                  QStringLiteral("QToolButton"), QStringLiteral("QToolButton[branch=\"enter\"]"))
        + buttonStyle(QStringLiteral("#475467"), 15)
              .replace(
                  QStringLiteral("QToolButton"), QStringLiteral("QToolButton[branch=\"return\"]"))
        + buttonStyle(QStringLiteral("#a3adbd"), 17)
              .replace(
                  QStringLiteral("QToolButton"), QStringLiteral("QToolButton[branch=\"none\"]")));
}

QString ItemTable::editorStyle(bool selected)
{
    return QStringLiteral("QLineEdit { background:%1; color:#202124; font-size:%2px; border:1px "
                          "solid transparent; padding:%3px %4px; "
                          "selection-background-color:#316ac5; selection-color:#ffffff;}"
                          "QLineEdit:focus { background:#ffffff; border:1px solid #5b9bd5;}")
        .arg(selected ? QStringLiteral("#cfe2ff") : QStringLiteral("#ffffff"),
            QString::number(px(14)), QString::number(px(4)), QString::number(px(6)));
}

void ItemTable::render(
    const QList<DataItem> &items, int draftRow, qint64 parentId, const QSet<qint64> &withChildren)
{
    ++m_generation;
    if (renderInPlace(items, draftRow, parentId, withChildren))
        return;
    ++m_widgetGeneration;
    // The old cell widgets go away with their rows (later, through the event loop); keep them
    // from reporting anything meanwhile.
    for (int row : std::as_const(m_materialized)) {
        Row &r = m_rows[row];
        for (QLineEdit *editor : r.editors) {
            editor->blockSignals(true);
            static_cast<FocusLineEdit *>(editor)->onFocused = nullptr;
        }
        r.button->blockSignals(true);
    }
    if (QWidget *focus = focusWidget(); focus && focus != this && isAncestorOf(focus))
        setFocus(Qt::OtherFocusReason);
    m_materialized.clear();
    m_rows.clear();
    clearContents();

    const int count = int(items.size()) + (draftRow < 0 ? 1 : 0);
    m_rows.resize(count);
    for (int i = 0; i < count; ++i) {
        Row &r = m_rows[i];
        if (i < items.size()) {
            r.item = items.at(i);
        } else {
            r.item.pid = parentId;
        }
        r.kind = kindOf(i, int(items.size()), draftRow, parentId);
        r.hasChildren = (r.kind == RowKind::Ordinary || r.kind == RowKind::Parent)
            && withChildren.contains(r.item.iid);
    }
    setRowCount(count);
    for (int i = 0; i < count; ++i) {
        const Row &r = m_rows.at(i);
        auto *number = new QTableWidgetItem(r.kind == RowKind::Ordinary && r.item.sortid > 0
                ? QString::number(r.item.sortid)
                : QString());
        number->setFlags(number->flags() & ~Qt::ItemIsEditable);
        number->setTextAlignment(Qt::AlignCenter);
        setItem(i, 0, number);
        // The editors cover the other cells; their texts are told to assistive technology
        // through the cells, without painting them a second time.
        const QString texts[3] = {r.item.here, r.item.cont, r.item.remark};
        for (int column = 1; column <= 3; ++column) {
            auto *cell = new QTableWidgetItem;
            cell->setFlags(cell->flags() & ~Qt::ItemIsEditable);
            cell->setData(Qt::AccessibleTextRole, texts[column - 1]);
            setItem(i, column, cell);
        }
    }
    if (m_selectedRow >= count)
        m_selectedRow = -1;
    materializeVisibleRows();
}

ItemTable::RowKind ItemTable::kindOf(int row, int itemCount, int draftRow, qint64 parentId)
{
    if (row == draftRow)
        return RowKind::Draft;
    if (row >= itemCount)
        return RowKind::Placeholder;
    if (row == 0 && parentId != 0)
        return RowKind::Parent;
    return RowKind::Ordinary;
}

bool ItemTable::renderInPlace(
    const QList<DataItem> &items, int draftRow, qint64 parentId, const QSet<qint64> &withChildren)
{
    // A level rendered again with the same rows (a save, a refresh) keeps its cell widgets and
    // takes the new texts: building the widgets is most of what a render costs.
    const int count = int(items.size()) + (draftRow < 0 ? 1 : 0);
    if (count != m_rows.size())
        return false;
    for (int i = 0; i < count; ++i) {
        const Row &r = m_rows.at(i);
        const RowKind kind = kindOf(i, int(items.size()), draftRow, parentId);
        const qint64 pid = i < items.size() ? items.at(i).pid : parentId;
        const bool hasChildren = (kind == RowKind::Ordinary || kind == RowKind::Parent)
            && withChildren.contains(i < items.size() ? items.at(i).iid : 0);
        if (r.kind != kind || r.hasChildren != hasChildren || r.item.pid != pid)
            return false;
    }
    if (QWidget *focus = focusWidget(); focus && focus != this && isAncestorOf(focus))
        setFocus(Qt::OtherFocusReason);
    for (int i = 0; i < count; ++i) {
        Row &r = m_rows[i];
        r.item = i < items.size() ? items.at(i) : DataItem();
        if (i >= items.size())
            r.item.pid = parentId;
        item(i, 0)->setText(r.kind == RowKind::Ordinary && r.item.sortid > 0
                ? QString::number(r.item.sortid)
                : QString());
        const QString texts[3] = {r.item.here, r.item.cont, r.item.remark};
        for (int column = 1; column <= 3; ++column) {
            item(i, column)->setData(Qt::AccessibleTextRole, texts[column - 1]);
            QLineEdit *editor = r.editors[column - 1];
            if (!editor)
                continue;
            const QSignalBlocker blocker(editor);
            if (fieldText(editor) != texts[column - 1] || editor->isUndoAvailable()
                || editor->isRedoAvailable())
                setFieldText(editor, texts[column - 1]);
            editor->setCursorPosition(0);
            editor->deselect();
        }
    }
    if (m_selectedRow >= count)
        m_selectedRow = -1;
    for (int row : std::as_const(m_materialized))
        applyRowState(row);
    materializeVisibleRows();
    return true;
}

ItemTable::RowKind ItemTable::rowKind(int row) const
{
    return row >= 0 && row < m_rows.size() ? m_rows.at(row).kind : RowKind::Placeholder;
}

bool ItemTable::rowHasChildren(int row) const
{
    return row >= 0 && row < m_rows.size() && m_rows.at(row).hasChildren;
}

void ItemTable::focusCell(int row, int column)
{
    if (row < 0 || row >= m_rows.size())
        return;
    scrollToItem(item(row, 0));
    materialize(row);
    QLineEdit *editor = m_rows.at(row).editors[qBound(1, column, 3) - 1];
    if (editor->isEnabled())
        editor->setFocus(Qt::OtherFocusReason);
    else
        setFocus(Qt::OtherFocusReason);
}

bool ItemTable::isMaterialized(int row) const
{
    return row >= 0 && row < m_rows.size() && m_rows.at(row).cell != nullptr;
}

QLineEdit *ItemTable::nameEditor(int row)
{
    materialize(row);
    return isMaterialized(row) ? m_rows.at(row).editors[0] : nullptr;
}

QLineEdit *ItemTable::contentEditor(int row)
{
    materialize(row);
    return isMaterialized(row) ? m_rows.at(row).editors[1] : nullptr;
}

QLineEdit *ItemTable::remarkEditor(int row)
{
    materialize(row);
    return isMaterialized(row) ? m_rows.at(row).editors[2] : nullptr;
}

QToolButton *ItemTable::branchButton(int row)
{
    materialize(row);
    return isMaterialized(row) ? m_rows.at(row).button : nullptr;
}

QWidget *ItemTable::nameCell(int row)
{
    materialize(row);
    return isMaterialized(row) ? m_rows.at(row).cell : nullptr;
}

void ItemTable::materializeVisibleRows()
{
    if (m_rows.isEmpty())
        return;
    int first = rowAt(0);
    int last = rowAt(viewport()->height() - 1);
    if (first < 0)
        first = 0;
    if (last < 0) {
        // Before the first layout the viewport may be tiny; prepare a screenful.
        const int perScreen = qMax(viewport()->height(), px(600)) / qMax(1, rowHeight(first)) + 1;
        last = first + perScreen;
    }
    first = qMax(0, first - rowMargin);
    last = qMin(int(m_rows.size()) - 1, last + rowMargin);
    for (int i = first; i <= last; ++i)
        materialize(i);
}

namespace {
const char storedTextProperty[] = "veltoStoredText";
}

void ItemTable::setFieldText(QLineEdit *editor, const QString &text)
{
    const bool oversized = text.size() > editor->maxLength();
    editor->setProperty(storedTextProperty, oversized ? QVariant(text) : QVariant());
    editor->setReadOnly(oversized);
    editor->setToolTip(oversized
            ? QStringLiteral("内容过长（%1 个字符），这里只显示开头，不能编辑。").arg(text.size())
            : QString());
    editor->setText(oversized ? DisplayText::oneLine(text) : text);
}

QString ItemTable::fieldText(const QLineEdit *editor)
{
    const QVariant stored = editor->property(storedTextProperty);
    return stored.isValid() ? stored.toString() : editor->text();
}

QLineEdit *ItemTable::makeEditor(int row, int column, const QString &text, QWidget *parent)
{
    auto *editor = new FocusLineEdit(parent);
    setFieldText(editor, text);
    if (m_fusion)
        editor->setStyle(m_fusion);
    editor->setCursorPosition(0);
    editor->setAccessibleName(editorName(row, column));
    editor->setContextMenuPolicy(Qt::CustomContextMenu);
    editor->installEventFilter(this);
    const qint64 generation = m_widgetGeneration;
    editor->onFocused = [this, row, generation] {
        if (generation == m_widgetGeneration)
            emit rowFocused(row);
    };
    connect(editor, &QLineEdit::textEdited, this, [this, row, generation] {
        if (generation == m_widgetGeneration)
            emit rowTextEdited(row);
    });
    connect(
        editor, &QLineEdit::textChanged, this, [this, row, column, generation](const QString &t) {
            if (generation == m_widgetGeneration)
                if (QTableWidgetItem *cell = item(row, column))
                    cell->setData(Qt::AccessibleTextRole, t);
        });
    connect(editor, &QWidget::customContextMenuRequested, this,
        [this, row, editor, generation](const QPoint &pos) {
            if (generation == m_widgetGeneration)
                emit rowMenuRequested(row, editor->mapToGlobal(pos), editor);
        });
    return editor;
}

void ItemTable::materialize(int row)
{
    if (row < 0 || row >= m_rows.size() || m_rows.at(row).cell)
        return;
    Row &r = m_rows[row];
    auto *cell = new QWidget;
    cell->setObjectName(QStringLiteral("itemCell"));
    if (m_fusion)
        cell->setStyle(m_fusion);
    cell->setAttribute(Qt::WA_StyledBackground);
    auto *layout = new QHBoxLayout(cell);
    layout->setContentsMargins(px(4), px(2), px(4), px(2));
    layout->setSpacing(px(4));

    auto *button = new QToolButton(cell);
    if (m_fusion)
        button->setStyle(m_fusion);
    button->setFixedSize(px(30), px(30));
    button->setFocusPolicy(Qt::NoFocus);
    if (r.kind == RowKind::Parent) {
        button->setText(QString(QChar(0x21A9)));
        button->setToolTip(QStringLiteral("返回上级业务"));
        button->setAccessibleName(QStringLiteral("返回上级业务"));
        button->setProperty("branch", QStringLiteral("return"));
    } else if (r.hasChildren) {
        button->setText(QString(QChar(0x00BB)));
        button->setToolTip(QStringLiteral("进入分支"));
        button->setAccessibleName(QStringLiteral("进入分支"));
        button->setProperty("branch", QStringLiteral("enter"));
    } else {
        button->setProperty("branch", QStringLiteral("none"));
        button->setEnabled(false);
        // Nothing to press: the button only keeps the names of all rows aligned.
        QSizePolicy policy = button->sizePolicy();
        policy.setRetainSizeWhenHidden(true);
        button->setSizePolicy(policy);
        button->hide();
    }
    const qint64 generation = m_widgetGeneration;
    connect(button, &QToolButton::clicked, this, [this, row, generation] {
        if (generation == m_widgetGeneration)
            emit branchClicked(row);
    });
    layout->addWidget(button);

    r.editors[0] = makeEditor(row, 1, r.item.here, cell);
    layout->addWidget(r.editors[0], 1);
    r.editors[1] = makeEditor(row, 2, r.item.cont, nullptr);
    r.editors[2] = makeEditor(row, 3, r.item.remark, nullptr);
    r.cell = cell;
    r.button = button;
    setCellWidget(row, 1, cell);
    setCellWidget(row, 2, r.editors[1]);
    setCellWidget(row, 3, r.editors[2]);
    m_materialized.append(row);
    applyRowState(row);
}

void ItemTable::applyRowState(int row)
{
    Row &r = m_rows[row];
    const bool selected = row == m_selectedRow;
    const bool rowOn = m_othersEnabled || selected;
    const bool parentRow = r.kind == RowKind::Parent;
    for (QLineEdit *editor : r.editors)
        editor->setEnabled(rowOn && !parentRow);
    r.button->setEnabled((rowOn || parentRow) && !r.button->text().isEmpty());
    markSelected(r, selected);
}

void ItemTable::markSelected(Row &r, bool selected)
{
    const auto mark = [selected](QWidget *widget) {
        if (widget->property("rowSelected").toBool() == selected)
            return;
        widget->setProperty("rowSelected", selected);
        // The style picks the other rule once the widget is polished again.
        widget->style()->unpolish(widget);
        widget->style()->polish(widget);
        widget->update();
    };
    for (QLineEdit *editor : r.editors)
        mark(editor);
    mark(r.cell);
}

bool ItemTable::isRowMarkedSelected(int row) const
{
    return isMaterialized(row) && m_rows.at(row).cell->property("rowSelected").toBool();
}

void ItemTable::setSelectedRow(int row)
{
    m_selectedRow = row;
}

void ItemTable::updateRowStyles()
{
    for (int row : std::as_const(m_materialized))
        markSelected(m_rows[row], row == m_selectedRow);
}

void ItemTable::setOtherRowsEnabled(bool enabled)
{
    m_othersEnabled = enabled;
    for (int row : std::as_const(m_materialized)) {
        Row &r = m_rows[row];
        const bool rowOn = enabled || row == m_selectedRow;
        const bool parentRow = r.kind == RowKind::Parent;
        for (QLineEdit *editor : r.editors)
            editor->setEnabled(rowOn && !parentRow);
        r.button->setEnabled((rowOn || parentRow) && !r.button->text().isEmpty());
    }
}

void ItemTable::resizeEvent(QResizeEvent *event)
{
    QTableWidget::resizeEvent(event);
    materializeVisibleRows();
}

void ItemTable::scrollContentsBy(int dx, int dy)
{
    QTableWidget::scrollContentsBy(dx, dy);
    if (dy != 0)
        materializeVisibleRows();
}

void ItemTable::showEvent(QShowEvent *event)
{
    QTableWidget::showEvent(event);
    materializeVisibleRows();
}

void ItemTable::keyPressEvent(QKeyEvent *event)
{
    // The table's own cursor does not select a row; Up and Down go through the window, which
    // keeps the editing lock.
    if (const int delta = rowStep(event)) {
        emit rowStepRequested(delta, qMax(1, currentColumn()));
        event->accept();
        return;
    }
    QTableWidget::keyPressEvent(event);
}

bool ItemTable::editorPosition(const QObject *widget, int *row, int *column) const
{
    for (int materialized : m_materialized) {
        const Row &r = m_rows.at(materialized);
        for (int i = 0; i < 3; ++i) {
            if (r.editors[i] == widget) {
                *row = materialized;
                *column = i + 1;
                return true;
            }
        }
    }
    return false;
}

bool ItemTable::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() == QEvent::KeyPress) {
        int row = -1;
        int column = 0;
        const int delta = rowStep(static_cast<QKeyEvent *>(event));
        if (delta && editorPosition(watched, &row, &column)) {
            emit rowStepRequested(delta, column);
            return true;
        }
    }
    return QTableWidget::eventFilter(watched, event);
}

// Tab walks name -> content -> remark within the focused row and then leaves the table; the item
// view's own Tab would only move its current cell and leave the focus where it was.
bool ItemTable::focusNextPrevChild(bool next)
{
    int row = -1;
    int column = 0;
    if (editorPosition(QWidget::focusWidget(), &row, &column)) {
        for (int c = column + (next ? 1 : -1); c >= 1 && c <= 3; c += next ? 1 : -1) {
            QLineEdit *editor = m_rows.at(row).editors[c - 1];
            if (editor->isEnabled()) {
                editor->setFocus(next ? Qt::TabFocusReason : Qt::BacktabFocusReason);
                return true;
            }
        }
    } else if (hasFocus() && next) {
        // From the table itself into the current row's first editor (the table takes the focus
        // first, so that moving through does not select its row anew).
        const int current = qMax(0, currentRow());
        if (current < m_rows.size()) {
            materialize(current);
            for (QLineEdit *editor : m_rows.at(current).editors) {
                if (editor->isEnabled()) {
                    editor->setFocus(Qt::TabFocusReason);
                    return true;
                }
            }
        }
    }
    // Leaving the table: the window decides where to (not the item view's cell cursor).
    return QWidget::focusNextPrevChild(next);
}
