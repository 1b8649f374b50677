#include "ApplicationStyle.h"

#include <QApplication>
#include <QPalette>
#include <QProxyStyle>
#include <QStyleFactory>

#ifdef VELTO_HAVE_QLEMENTINE
#include <oclero/qlementine.hpp>
#endif

namespace {

#ifndef VELTO_HAVE_QLEMENTINE
// A quiet light theme on Fusion: white surfaces, grey-blue text, one blue accent.
class LightStyle : public QProxyStyle {
public:
    LightStyle()
        : QProxyStyle(QStyleFactory::create(QStringLiteral("Fusion")))
    {
    }

    void polish(QPalette &palette) override
    {
        const QColor window(0xf6, 0xf7, 0xf9);
        const QColor base(0xff, 0xff, 0xff);
        const QColor text(0x20, 0x21, 0x24);
        const QColor muted(0x98, 0xa2, 0xb3);
        const QColor accent(0x31, 0x6a, 0xc5);
        palette = QPalette(window);
        palette.setColor(QPalette::Window, window);
        palette.setColor(QPalette::WindowText, text);
        palette.setColor(QPalette::Base, base);
        palette.setColor(QPalette::AlternateBase, QColor(0xf9, 0xfa, 0xfb));
        palette.setColor(QPalette::Text, text);
        palette.setColor(QPalette::Button, QColor(0xfc, 0xfc, 0xfd));
        palette.setColor(QPalette::ButtonText, text);
        palette.setColor(QPalette::ToolTipBase, base);
        palette.setColor(QPalette::ToolTipText, text);
        palette.setColor(QPalette::PlaceholderText, muted);
        palette.setColor(QPalette::Highlight, accent);
        palette.setColor(QPalette::HighlightedText, base);
        palette.setColor(QPalette::Link, accent);
        palette.setColor(QPalette::Mid, QColor(0xd0, 0xd5, 0xdd));
        palette.setColor(QPalette::Dark, QColor(0xb8, 0xc0, 0xcc));
        palette.setColor(QPalette::Light, base);
        for (QPalette::ColorRole role :
            {QPalette::WindowText, QPalette::Text, QPalette::ButtonText})
            palette.setColor(QPalette::Disabled, role, muted);
    }
};
#endif

} // namespace

void installApplicationStyle(QApplication &app)
{
#ifdef VELTO_HAVE_QLEMENTINE
    QApplication::setStyle(new oclero::qlementine::QlementineStyle(&app));
#else
    auto *style = new LightStyle;
    style->setParent(&app);
    QApplication::setStyle(style);
#endif
}
