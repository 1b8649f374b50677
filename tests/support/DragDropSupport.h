#pragma once

// Drives a widget's real drag-and-drop handlers with synthesized events, as a drag from the
// window system would: enter, move and (when the move was accepted) drop at one point.

#include <QApplication>
#include <QDragEnterEvent>
#include <QDragMoveEvent>
#include <QDropEvent>
#include <QMimeData>
#include <QWidget>

namespace velto::test {

struct DropOutcome {
    bool moveAccepted = false; // the widget showed it would take the drop (an indicator)
    bool dropped = false; // the drop itself was accepted
};

// target is the widget that receives drops (an item view's viewport); pos in its coordinates.
inline DropOutcome dragAndDrop(QWidget *target, const QMimeData &data, const QPoint &pos,
    Qt::DropAction action = Qt::MoveAction)
{
    DropOutcome outcome;
    QDragEnterEvent enter(pos, action, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(target, &enter);
    QDragMoveEvent move(pos, action, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(target, &move);
    outcome.moveAccepted = move.isAccepted();
    if (outcome.moveAccepted) {
        QDropEvent drop(pos, action, &data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(target, &drop);
        outcome.dropped = drop.isAccepted();
    } else {
        QDragLeaveEvent leave;
        QApplication::sendEvent(target, &leave);
    }
    return outcome;
}

} // namespace velto::test
