#pragma once

// Shared set-up of the detail panel tests: a shown, active window holding one panel, and short
// ways to build blocks and reach the widgets inside the frames.

#include "FileAttachmentWidget.h"
#include "ItemDetailPanel.h"
#include "ResourceFrame.h"
#include "TextAttachmentWidget.h"
#include "UrlAttachmentWidget.h"

#include <QCoreApplication>
#include <QEvent>
#include <QTest>
#include <QTextEdit>
#include <QVBoxLayout>
#include <QWidget>

namespace paneltest {

inline ContentBlock textBlock(const QString &plain, const QString &summary = QString())
{
    ContentBlock block;
    block.type = ContentBlock::Text;
    block.value = QStringLiteral("<p>") + plain.toHtmlEscaped() + QStringLiteral("</p>");
    block.summary = summary;
    return block;
}

inline ContentBlock pathBlock(const QString &path, const QString &summary = QString())
{
    ContentBlock block;
    block.type = ContentBlock::LocalPath;
    block.value = path;
    block.summary = summary;
    return block;
}

inline ContentBlock linkBlock(const QString &url, const QString &summary = QString())
{
    ContentBlock block;
    block.type = ContentBlock::WebLink;
    block.value = url;
    block.summary = summary;
    return block;
}

// Runs the event loop long enough for deferred layouts, selections and deletions.
inline void settle()
{
    for (int i = 0; i < 4; ++i) {
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QCoreApplication::processEvents();
    }
}

struct PanelWindow {
    QWidget window;
    ItemDetailPanel *panel = nullptr;

    PanelWindow()
    {
        auto *layout = new QVBoxLayout(&window);
        layout->setContentsMargins(0, 0, 0, 0);
        panel = new ItemDetailPanel(&window);
        layout->addWidget(panel);
        window.resize(1000, 700);
        window.show();
        window.activateWindow();
    }

    bool ready() { return QTest::qWaitForWindowActive(&window); }

    // The widget of a resource, built when it is not yet.
    QWidget *content(int index) const { return panel->resourceContent(index); }
    int count() const { return int(panel->resourceFrames().size()); }
    // The widget of a resource when it is built, else null (nothing is built).
    QWidget *built(int index) const
    {
        const ResourceFrame *frame = panel->resourceFrames().value(index);
        return frame ? frame->content : nullptr;
    }

    TextAttachmentWidget *text(int index) const
    {
        return qobject_cast<TextAttachmentWidget *>(content(index));
    }
    FileAttachmentWidget *file(int index) const
    {
        return qobject_cast<FileAttachmentWidget *>(content(index));
    }
    UrlAttachmentWidget *link(int index) const
    {
        return qobject_cast<UrlAttachmentWidget *>(content(index));
    }
    int indexOf(QWidget *content) const
    {
        for (int i = 0; i < count(); ++i)
            if (this->content(i) == content)
                return i;
        return -1;
    }
    int selectedIndex() const { return indexOf(panel->selectedResource()); }
};

} // namespace paneltest
