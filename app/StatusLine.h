#pragma once

#include <QObject>

class QLabel;
class QString;
class QWidget;

// The status bar's message line and the window's warning box. A timed message clears itself
// only while it is still the one shown, so a newer message is never cut short.
class StatusLine : public QObject {
    Q_OBJECT
public:
    // label shows the messages; boxParent owns the warning boxes. Both outlive this object.
    StatusLine(QLabel *label, QWidget *boxParent);

    // Shows text; after milliseconds (> 0) it is cleared unless replaced meanwhile.
    void showMessage(const QString &text, int milliseconds);
    // The modal warning box with the given text.
    void showError(const QString &text);

private:
    QLabel *label;
    QWidget *boxParent;
};
