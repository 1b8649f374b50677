#include "ResourceFrame.h"

#include <QStyle>
#include <QVBoxLayout>

namespace {
const char selectedProperty[] = "resourceSelected";
} // namespace

ResourceFrame::ResourceFrame(QWidget *content, QWidget *parent)
    : ResourceFrame(parent)
{
    setContent(content);
}

ResourceFrame::ResourceFrame(QWidget *parent)
    : QFrame(parent)
{
    setObjectName(QStringLiteral("resourceFrame"));
    setFrameShape(QFrame::NoFrame);
    setFrameShadow(QFrame::Plain);
    setLineWidth(0);
    setMidLineWidth(0);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Maximum);
}

void ResourceFrame::setContent(QWidget *widget)
{
    if (!styled)
        setSelected(selected);
    content = widget;
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(content);
}

void ResourceFrame::setSelected(bool isSelected)
{
    if (styled && isSelected == selected)
        return;
    selected = isSelected;
    setProperty(selectedProperty, isSelected);
    if (!styled) {
        setStyleSheet(
            QStringLiteral("QFrame#resourceFrame { background:#ffffff; border:1px solid #d9dee7; "
                           "border-radius:3px; }"
                           "QFrame#resourceFrame[resourceSelected=\"true\"] { background:#f5f9ff; "
                           "border:2px solid #5b9bd5; }"
                           // The keyboard's place: the selected frame when it has the focus.
                           "QFrame#resourceFrame[resourceSelected=\"true\"]:focus { "
                           "background:#e8f1fd; border:2px dashed #1f5fa8; }"));
        styled = true;
    } else {
        // Evaluates the property selector again for this frame only; setting the same sheet
        // once more would re-polish every widget inside the resource.
        style()->unpolish(this);
        style()->polish(this);
    }
    update();
}
