#include "ResourceRow.h"

#include "UiMetrics.h"

#include <QBoxLayout>
#include <QWidget>

QHBoxLayout *buildResourceRow(QWidget *owner)
{
    owner->setFixedHeight(UiMetrics::px(resourceRowHeight));
    auto *layout = new QVBoxLayout(owner);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    auto *row = new QWidget(owner);
    row->setFixedHeight(UiMetrics::px(resourceRowHeight));
    auto *rowLayout = new QHBoxLayout(row);
    rowLayout->setContentsMargins(0, 0, UiMetrics::px(2), 0);
    rowLayout->setSpacing(UiMetrics::px(2));
    layout->addWidget(row);
    return rowLayout;
}
