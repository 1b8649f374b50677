#pragma once

#include <QFrame>
#include <QString>

// The selectable frame around one resource widget of the detail workspace.
class ResourceFrame : public QFrame {
    Q_OBJECT

public:
    ResourceFrame(QWidget *content, QWidget *parent);
    // A frame whose resource widget is put in afterwards (setContent): a widget made inside the
    // styled frame is polished once, under the frame's style.
    explicit ResourceFrame(QWidget *parent);

    // Puts the resource widget in; the frame owns it from then on.
    void setContent(QWidget *widget);

    // Highlights the frame as the selected resource.
    void setSelected(bool selected);
    bool isSelected() const { return selected; }

    // The wrapped resource widget, owned by the frame.
    QWidget *content = nullptr;
    // The name the user gave the resource in the resource list; empty = the default name.
    QString title;

private:
    bool selected = false;
    bool styled = false;
};
