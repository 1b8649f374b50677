#include "ItemTreeWidget.h"

#include <QDrag>
#include <QDragMoveEvent>
#include <QDropEvent>
#include <QMimeData>

QString ItemTreeWidget::mimeType()
{
    return QStringLiteral("application/x-velto-item-iid");
}

ItemTreeWidget::ItemTreeWidget(QWidget *parent)
    : QTreeWidget(parent)
{
    setDragEnabled(true);
    setAcceptDrops(true);
    viewport()->setAcceptDrops(true);
    setDragDropMode(QAbstractItemView::DragDrop);
    setDefaultDropAction(Qt::MoveAction);
    setDropIndicatorShown(true);
    // A drop lands on a row, never between rows: the moved item becomes the row's last child.
    setDragDropOverwriteMode(true);
}

QStringList ItemTreeWidget::mimeTypes() const
{
    return {mimeType()};
}

QMimeData *ItemTreeWidget::mimeData(const QList<QTreeWidgetItem *> &items) const
{
    if (items.isEmpty())
        return nullptr;
    auto *data = new QMimeData;
    data->setData(
        mimeType(), QByteArray::number(items.first()->data(0, Qt::UserRole).toLongLong()));
    return data;
}

void ItemTreeWidget::startDrag(Qt::DropActions)
{
    QTreeWidgetItem *item = currentItem();
    if (!item)
        return;
    // The rows stay where they are until the window has moved the item: no row is removed here,
    // whatever the drop answers.
    auto *drag = new QDrag(this);
    drag->setMimeData(mimeData({item}));
    drag->exec(Qt::MoveAction, Qt::MoveAction);
}

qint64 ItemTreeWidget::dropTargetAt(const QPoint &pos) const
{
    const QTreeWidgetItem *row = itemAt(pos);
    return row ? row->data(0, Qt::UserRole).toLongLong() : 0;
}

bool ItemTreeWidget::acceptable(const QDropEvent *event, qint64 *iid, qint64 *target) const
{
    const QMimeData *data = event->mimeData();
    if (!data || !data->hasFormat(mimeType()))
        return false;
    bool ok = false;
    *iid = data->data(mimeType()).toLongLong(&ok);
    if (!ok || *iid == 0)
        return false;
    *target = dropTargetAt(event->position().toPoint());
    return moveCheck && moveCheck(*iid, *target);
}

void ItemTreeWidget::dragEnterEvent(QDragEnterEvent *event)
{
    // Entering counts like a move: a refused place shows no indicator.
    dragMoveEvent(event);
}

void ItemTreeWidget::dragMoveEvent(QDragMoveEvent *event)
{
    qint64 iid = 0;
    qint64 target = 0;
    if (!acceptable(event, &iid, &target)) {
        event->ignore();
        setState(NoState);
        viewport()->update();
        return;
    }
    setState(DraggingState);
    QTreeWidget::dragMoveEvent(event);
    event->setDropAction(Qt::MoveAction);
    event->accept();
}

void ItemTreeWidget::dropEvent(QDropEvent *event)
{
    stopAutoScroll();
    setState(NoState);
    viewport()->update();
    qint64 iid = 0;
    qint64 target = 0;
    if (!acceptable(event, &iid, &target)) {
        event->ignore();
        return;
    }
    event->setDropAction(Qt::MoveAction);
    event->accept();
    emit moveRequested(iid, target);
}
