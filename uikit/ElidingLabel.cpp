#include "ElidingLabel.h"

#include "DisplayText.h"

#include <QPainter>
#include <QStyle>

ElidingLabel::ElidingLabel(QWidget *parent)
    : QLabel(parent)
{
    setTextFormat(Qt::PlainText);
    setWordWrap(false);
    setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
}

QSize ElidingLabel::sizeHint() const
{
    const QMargins m = contentsMargins();
    const QString shown = DisplayText::oneLine(text());
    return {fontMetrics().horizontalAdvance(shown) + m.left() + m.right() + 2 * margin(),
        fontMetrics().height() + m.top() + m.bottom() + 2 * margin()};
}

QSize ElidingLabel::minimumSizeHint() const
{
    return {0, sizeHint().height()};
}

void ElidingLabel::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    const QRect area = contentsRect().adjusted(margin(), margin(), -margin(), -margin());
    const QString shown
        = fontMetrics().elidedText(DisplayText::oneLine(text()), Qt::ElideRight, area.width());
    style()->drawItemText(&painter, area, int(alignment()) | Qt::TextSingleLine, palette(),
        isEnabled(), shown, foregroundRole());
}
