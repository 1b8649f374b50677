#include "CompactActionButton.h"

#include "UiMetrics.h"

#include <QPainter>

CompactActionButton::CompactActionButton(QWidget *parent)
    : QToolButton(parent)
{
    setFixedSize(UiMetrics::px(42), UiMetrics::px(42));
    setAutoRaise(true);
}

void CompactActionButton::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);

    if (isDown() || isChecked())
        painter.fillRect(rect(), QColor(QStringLiteral("#dbe6f2")));
    else if (underMouse())
        painter.fillRect(rect(), QColor(QStringLiteral("#e8eef6")));

    const int iconSide = UiMetrics::px(24);
    const QPixmap pixmap = icon().pixmap(QSize(iconSide, iconSide),
                                         isEnabled() ? QIcon::Normal : QIcon::Disabled, QIcon::Off);
    if (!pixmap.isNull()) {
        const int logicalWidth = qRound(pixmap.width() / pixmap.devicePixelRatio());
        painter.drawPixmap((width() - logicalWidth) / 2, UiMetrics::px(2), pixmap);
    }

    QFont labelFont = font();
    labelFont.setPixelSize(UiMetrics::px(14));
    painter.setFont(labelFont);
    painter.setPen(QColor(isEnabled() ? QStringLiteral("#667085") : QStringLiteral("#98a2b3")));
    const QRect labelRect = rect().adjusted(1, 0, -1, -2);
    painter.drawText(labelRect, Qt::AlignHCenter | Qt::AlignBottom, text());

    // Where the keyboard is: a frame on the button that Tab reached.
    if (hasFocus()) {
        painter.setRenderHint(QPainter::Antialiasing, false);
        painter.setPen(QPen(QColor(QStringLiteral("#5b9bd5")), 1));
        painter.setBrush(Qt::NoBrush);
        painter.drawRect(rect().adjusted(0, 0, -1, -1));
    }
}
