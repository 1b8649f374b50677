// The resources without the mouse: the selected resource's frame is their one Tab stop (Tab from
// the resource list reaches it, Shift+Tab goes back); on a frame the arrows, Home and End choose
// another resource, Enter or F2 goes into it (a note's editor, a file's or link's first field)
// and typing on a note starts editing it; Escape in a note's editor, or Ctrl+Tab, leaves it.

#include "ItemDetailPanel.h"

#include "ResourceFrame.h"
#include "TextAttachmentWidget.h"

#include <QApplication>
#include <QKeyEvent>
#include <QTableWidget>
#include <QTextEdit>

void ItemDetailPanel::watchFrame(ResourceFrame *frame)
{
    frame->installEventFilter(this);
}

void ItemDetailPanel::updateFrameTabStops()
{
    for (ResourceFrame *frame : std::as_const(frames)) {
        if (!frame)
            continue;
        const bool stop = frame->content == selectedWidget;
        frame->setFocusPolicy(stop ? Qt::TabFocus : Qt::NoFocus);
    }
}

void ItemDetailPanel::showResource(QWidget *content)
{
    // A frame reached by the keyboard is chosen (the loaded workspace only highlights its last).
    if (content != selectedWidget || !selectionActive)
        selectResource(content);
    // Frames built around it as it comes into view take their own heights and may move it.
    if (!hasPendingResources())
        scrollToResource(content);
    else
        revealNewResource(content);
}

void ItemDetailPanel::focusResource(int row)
{
    if (row < 0 || row >= frames.size())
        return;
    QWidget *content = resourceContent(row);
    showResource(content);
    if (ResourceFrame *frame = frameForContent(content))
        frame->setFocus(Qt::OtherFocusReason);
}

void ItemDetailPanel::enterResource(ResourceFrame *frame)
{
    if (auto *text = qobject_cast<TextAttachmentWidget *>(frame->content)) {
        text->startEditing();
        return;
    }
    const QList<QWidget *> inside = frame->content->findChildren<QWidget *>();
    for (QWidget *widget : inside) {
        if (widget->isVisible() && widget->isEnabled() && (widget->focusPolicy() & Qt::TabFocus)) {
            widget->setFocus(Qt::TabFocusReason);
            return;
        }
    }
}

void ItemDetailPanel::leaveNote(TextAttachmentWidget *text, int step)
{
    ResourceFrame *frame = frameForContent(text);
    if (!frame)
        return;
    if (text != selectedWidget)
        selectResource(text);
    frame->setFocus(Qt::OtherFocusReason);
    if (step != 0) {
        // On from the frame, as Tab or Shift+Tab there would go.
        QKeyEvent tab(QEvent::KeyPress, step > 0 ? Qt::Key_Tab : Qt::Key_Backtab,
            step > 0 ? Qt::NoModifier : Qt::ShiftModifier);
        QApplication::sendEvent(frame, &tab);
    }
}

bool ItemDetailPanel::frameKeyPressed(ResourceFrame *frame, QKeyEvent *key)
{
    // Only keys meant for the frame itself: those its resource's widgets leave unused travel up
    // to it too.
    const int row = int(frames.indexOf(frame));
    if (row < 0 || !frame->content || QApplication::focusWidget() != frame)
        return false;
    const Qt::KeyboardModifiers mods = key->modifiers() & ~Qt::KeypadModifier;
    if (mods == Qt::NoModifier) {
        switch (key->key()) {
        case Qt::Key_Up:
            focusResource(row - 1);
            return true;
        case Qt::Key_Down:
            focusResource(row + 1);
            return true;
        case Qt::Key_Home:
            focusResource(0);
            return true;
        case Qt::Key_End:
            focusResource(int(frames.size()) - 1);
            return true;
        case Qt::Key_Return:
        case Qt::Key_Enter:
        case Qt::Key_F2:
            enterResource(frame);
            return true;
        case Qt::Key_Escape:
            if (!resourceList->isVisible())
                return false;
            resourceList->setFocus(Qt::OtherFocusReason);
            return true;
        default:
            break;
        }
    }
    // Text typed on a note goes into it.
    auto *text = qobject_cast<TextAttachmentWidget *>(frame->content);
    const QString typed = key->text();
    if (text && !(mods & (Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier))
        && !typed.isEmpty() && typed.at(0).isPrint()) {
        text->startEditing();
        QKeyEvent copy(key->type(), key->key(), key->modifiers(), typed);
        QApplication::sendEvent(text->textEdit(), &copy);
        return true;
    }
    return false;
}

bool ItemDetailPanel::resourceListKeyPressed(QKeyEvent *key)
{
    // Enter on the list goes to the resource it has chosen (while a name is edited, the keys go to
    // the name's editor, not to the list).
    if (key->key() != Qt::Key_Return && key->key() != Qt::Key_Enter)
        return false;
    ResourceFrame *frame = frameForContent(selectedWidget);
    if (!frame)
        return false;
    showResource(selectedWidget);
    frame->setFocus(Qt::OtherFocusReason);
    return true;
}

bool ItemDetailPanel::focusNextPrevChild(bool next)
{
    QWidget *focus = QApplication::focusWidget();
    ResourceFrame *frame = frameForContent(selectedWidget);
    if (frame && frame->isVisible()) {
        if (next && focus == resourceList) {
            showResource(selectedWidget);
            frame->setFocus(Qt::TabFocusReason);
            return true;
        }
        if (!next && focus == frame && resourceList->isVisible()) {
            resourceList->setFocus(Qt::BacktabFocusReason);
            return true;
        }
    }
    return QWidget::focusNextPrevChild(next);
}
