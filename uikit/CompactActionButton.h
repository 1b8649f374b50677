#pragma once

#include <QToolButton>

// The 42 x 42 icon-over-label button of the command bar and the sidebar. Painting is its own: a
// soft fill when pressed, checked or hovered, the icon near the top and a small label at the bottom.
class CompactActionButton : public QToolButton {
public:
    explicit CompactActionButton(QWidget *parent = nullptr);

protected:
    void paintEvent(QPaintEvent *event) override;
};
