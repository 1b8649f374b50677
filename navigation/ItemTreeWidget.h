#pragma once

#include <QTreeWidget>

#include <functional>

// The sidebar's item tree with drag-to-move: a row dropped onto another row becomes that item's
// last child, dropped onto empty space a top-level item. The tree moves nothing itself: it asks
// moveCheck whether the move would be accepted (no drop indicator otherwise) and reports an
// accepted drop through moveRequested; the window moves the item and updates the rows.
class ItemTreeWidget : public QTreeWidget {
    Q_OBJECT
public:
    // The MIME type of a dragged row: its iid as decimal text.
    static QString mimeType();
    // Whether the item iid may move below newParent (0 = the top level).
    using MoveCheck = std::function<bool(qint64 iid, qint64 newParent)>;

    explicit ItemTreeWidget(QWidget *parent = nullptr);

    void setMoveCheck(MoveCheck check) { moveCheck = std::move(check); }
    // The iid a drop at pos (viewport coordinates) would move the dragged item under.
    qint64 dropTargetAt(const QPoint &pos) const;

signals:
    void moveRequested(qint64 iid, qint64 newParent);

protected:
    QStringList mimeTypes() const override;
    QMimeData *mimeData(const QList<QTreeWidgetItem *> &items) const override;
    void startDrag(Qt::DropActions supportedActions) override;
    void dragEnterEvent(QDragEnterEvent *event) override;
    void dragMoveEvent(QDragMoveEvent *event) override;
    void dropEvent(QDropEvent *event) override;

private:
    // The dragged iid and the target of a drag event, or false when the drop would be refused.
    bool acceptable(const QDropEvent *event, qint64 *iid, qint64 *target) const;

    MoveCheck moveCheck;
};
