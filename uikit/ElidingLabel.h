#pragma once

#include <QLabel>

// A one-line label that never grows with its text: it asks for no more width than a short text
// needs, paints its text elided at its width ("…" at the end) and reads at most a screenful of
// characters of it, so a message carrying an absurdly long name neither stretches its bar nor
// costs a layout of the whole text. Plain text only.
class ElidingLabel : public QLabel {
public:
    explicit ElidingLabel(QWidget *parent = nullptr);

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent *event) override;
};
