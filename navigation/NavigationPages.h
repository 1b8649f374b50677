#pragma once

#include <QString>

class QLabel;
class QWidget;

namespace navigation {

// A 140 x 140 framed label showing the image at resourcePath scaled to fit, or the caption as text
// when the image cannot be loaded. The caption is the tool tip in both cases.
QLabel *makeQrImageLabel(QWidget *parent, const QString &resourcePath, const QString &caption);

} // namespace navigation
