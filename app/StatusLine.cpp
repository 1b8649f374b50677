#include "StatusLine.h"

#include <QLabel>
#include <QMessageBox>
#include <QTimer>

StatusLine::StatusLine(QLabel *label, QWidget *boxParent)
    : QObject(boxParent)
    , label(label)
    , boxParent(boxParent)
{
}

void StatusLine::showMessage(const QString &text, int milliseconds)
{
    label->setText(text);
    if (milliseconds > 0) {
        QLabel *shown = label;
        QTimer::singleShot(milliseconds, shown, [shown, text] {
            if (shown->text() == text)
                shown->clear();
        });
    }
}

void StatusLine::showError(const QString &text)
{
    QMessageBox::warning(boxParent, QStringLiteral("Velto"), text, QMessageBox::Ok);
}
