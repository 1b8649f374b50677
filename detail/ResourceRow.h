#pragma once

class QHBoxLayout;
class QWidget;

// Height of the one-line row that file, folder and link resources share.
constexpr int resourceRowHeight = 36;

// Gives owner a fixed-height vertical layout whose first entry is the location row, and returns
// the row's horizontal layout for the location field and its buttons.
QHBoxLayout *buildResourceRow(QWidget *owner);
