#pragma once

#include "Records.h"

#include <QWidget>

// Common base of the text, file/folder and link resource widgets of the detail workspace.
class ResourceWindow : public QWidget {
    Q_OBJECT

public:
    using QWidget::QWidget;

public slots:
    // The widget's current content as a content block.
    virtual ContentBlock snapshot() const = 0;
    // Loads a block into the widget.
    virtual void restore(const ContentBlock &block) = 0;
    // Makes the content editable or read-only.
    virtual void setEditingEnabled(bool enabled) = 0;
    // Puts the keyboard focus where the user works on the resource.
    virtual void activateResource() = 0;
};
