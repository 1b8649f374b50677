// Resources kept as data until their frames come into view: the placeholders, building a frame
// when it is needed, and the blocks a pending resource's widget would give.

#include "ItemDetailPanel.h"

#include "FileAttachmentWidget.h"
#include "ResourceFrame.h"
#include "ResourceLocation.h"
#include "ResourceRow.h"
#include "TextAttachmentWidget.h"
#include "UiMetrics.h"
#include "UrlAttachmentWidget.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <QScrollArea>
#include <QScrollBar>
#include <QSignalBlocker>
#include <QTextDocument>
#include <QTextEdit>
#include <QTimer>
#include <QVBoxLayout>

#include <algorithm>

namespace {

const QString folderMarker = QStringLiteral("folder");

bool isImageSuffix(const QString &path)
{
    static const QStringList suffixes = {
        QStringLiteral("png"),
        QStringLiteral("jpg"),
        QStringLiteral("jpeg"),
        QStringLiteral("bmp"),
        QStringLiteral("gif"),
        QStringLiteral("webp"),
        QStringLiteral("svg"),
    };
    return suffixes.contains(QFileInfo(path).suffix().toLower());
}

// What a location field holds after setText: no more than a line edit's default maximum length.
QString fieldText(const QString &text)
{
    constexpr int lineEditMaxLength = 32767;
    return text.left(lineEditMaxLength);
}

// Unbuilt notes are prepared from this long after an item is shown, in steps of at most this long.
constexpr int preparationDelayMs = 150;
constexpr qint64 preparationStepMs = 8;

// Frames are built this far above and below the view, so a short scroll finds them ready.
int buildMargin()
{
    return UiMetrics::px(100);
}

// The frame's border, above and below its resource.
int frameBorder()
{
    return 2 * UiMetrics::px(1);
}

// About the height a note's widget will take: a line per paragraph, within the note's bounds.
int estimatedNoteHeight(const QString &html)
{
    const qsizetype paragraphs = std::max<qsizetype>(1, html.count(QLatin1String("<p")));
    const qsizetype lines = std::min<qsizetype>(paragraphs, 64);
    return std::clamp(UiMetrics::px(12) + int(lines) * UiMetrics::px(20), UiMetrics::px(36),
        TextAttachmentWidget::maximumNoteHeight());
}

} // namespace

ResourceFrame *ItemDetailPanel::insertPendingFrame(const ContentBlock &block, int layoutIndex)
{
    QString title = block.summary;
    int height = UiMetrics::px(resourceRowHeight);
    bool folder = false;
    if (block.type == ContentBlock::LocalPath) {
        folder = block.summary == folderMarker
            || (block.summary.isEmpty() && QFileInfo(block.value).isDir());
        if (block.summary == folderMarker)
            title.clear();
    } else if (block.type == ContentBlock::Text) {
        height = estimatedNoteHeight(block.value);
    }
    PendingResource pending;
    pending.source = std::make_shared<PendingBlock>(block, folder, noteFont());
    auto *frame = new ResourceFrame(contentWidget);
    frame->title = title;
    // A placeholder keeps its place in the layout while hidden, and is never polished or painted.
    frame->setFixedHeight(height + frameBorder());
    QSizePolicy policy = frame->sizePolicy();
    policy.setRetainSizeWhenHidden(true);
    frame->setSizePolicy(policy);
    frame->hide();
    watchFrame(frame);
    pendingResources.insert(frame, pending);
    contentLayout->insertWidget(layoutIndex, frame);
    return frame;
}

QWidget *ItemDetailPanel::buildFrame(ResourceFrame *frame)
{
    if (!frame)
        return nullptr;
    const auto found = pendingResources.constFind(frame);
    if (found == pendingResources.constEnd())
        return frame->content;
    const PendingResource pending = *found;
    pendingResources.erase(found);
    signatureFragments.remove(frame);
    // As loading does: no detailChanged while the widget takes its content.
    const QSignalBlocker blocker(this);
    const ContentBlock &block = pending.source->block();
    // The frame takes its style before it has children, and the widget is made inside it: a
    // widget moved under a styled frame would be polished again.
    frame->setMinimumHeight(0);
    frame->setMaximumHeight(QWIDGETSIZE_MAX);
    QSizePolicy policy = frame->sizePolicy();
    policy.setRetainSizeWhenHidden(false);
    frame->setSizePolicy(policy);
    frame->setSelected(false);
    QWidget *content = nullptr;
    if (block.type == ContentBlock::WebLink) {
        Attachment attachment;
        attachment.type = AttachmentType::Url;
        attachment.location = block.value;
        UrlAttachmentWidget *link = newUrlWidget(frame, attachment);
        link->setSummary(block.summary);
        content = link;
    } else if (block.type == ContentBlock::LocalPath) {
        Attachment attachment;
        attachment.type = AttachmentType::File;
        attachment.location = block.value;
        FileAttachmentWidget *file = newFileWidget(frame, attachment, pending.source->isFolder());
        if (!pending.source->isFolder() && isImageSuffix(block.value))
            file->setImagePreviewEnabled(true);
        content = file;
    } else {
        TextAttachmentWidget *text = newTextWidget(frame);
        text->setHtml(block.value);
        content = text;
    }
    frame->setContent(content);
    if (!contentEditable) {
        if (auto *resource = qobject_cast<ResourceWindow *>(content))
            resource->setEditingEnabled(false);
    }
    if (!pending.enabled)
        content->setEnabled(false);
    if (contentLayout->indexOf(frame) >= 0) {
        frame->show();
        if (!buildingBatch)
            rebuildWidgetCollections();
    }
    return content;
}

int ItemDetailPanel::builtResourceCount() const
{
    return int(std::count_if(
        frames.cbegin(), frames.cend(), [](const ResourceFrame *frame) { return frame->content; }));
}

QWidget *ItemDetailPanel::resourceContent(int index)
{
    return buildFrame(frames.value(index));
}

void ItemDetailPanel::scheduleFramesInView()
{
    if (framesInViewQueued || pendingResources.isEmpty())
        return;
    framesInViewQueued = true;
    QTimer::singleShot(0, this, [this] { buildFramesInView(); });
}

// Builds the pending frames in or near the view. Positions come from the frames' size hints
// (placeholders have fixed heights, built resources fixed or bounded ones), so they are right
// before the layout has run; a frame built taller or shorter than its placeholder moves the ones
// below it, so the view is looked at again until nothing more is built.
void ItemDetailPanel::buildFramesInView()
{
    framesInViewQueued = false;
    bool built = false;
    const int viewHeight = scrollArea->viewport()->height();
    for (int round = 0; round < 8 && !pendingResources.isEmpty(); ++round) {
        QList<int> heights;
        heights.reserve(contentLayout->count());
        int total = 0;
        for (int i = 0; i < contentLayout->count(); ++i) {
            const int height = contentLayout->itemAt(i)->widget()
                ? contentLayout->itemAt(i)->sizeHint().height()
                : 0;
            heights.append(height);
            total += height;
        }
        const int value
            = std::min(scrollArea->verticalScrollBar()->value(), std::max(0, total - viewHeight));
        const int top = value - buildMargin();
        const int bottom = value + viewHeight + buildMargin();
        QList<ResourceFrame *> inView;
        int y = 0;
        for (int i = 0; i < contentLayout->count() && y <= bottom; ++i) {
            auto *frame = qobject_cast<ResourceFrame *>(contentLayout->itemAt(i)->widget());
            if (frame && y + heights.at(i) >= top && isPending(frame))
                inView.append(frame);
            y += heights.at(i);
        }
        if (inView.isEmpty())
            break;
        // Showing a frame lays out the whole list again: the layout waits until all are built, and
        // then runs once, on its posted request.
        buildingBatch = true;
        contentLayout->setEnabled(false);
        for (ResourceFrame *frame : std::as_const(inView))
            buildFrame(frame);
        contentLayout->setEnabled(true);
        buildingBatch = false;
        rebuildWidgetCollections();
        built = true;
    }
    if (built && revealTarget)
        followReveal(); // what was built may have moved the resource being revealed
}

const ContentBlock &ItemDetailPanel::pendingSnapshot(const ResourceFrame *frame) const
{
    return pendingResources[frame].source->snapshot();
}

QString ItemDetailPanel::pendingSummary(const ResourceFrame *frame) const
{
    const PendingBlock &pending = *pendingResources[frame].source;
    if (pending.block().type == ContentBlock::Text)
        return QStringLiteral("文本");
    if (pending.block().type == ContentBlock::WebLink)
        return QStringLiteral("链接");
    const QString name = QFileInfo(fieldText(pending.block().value).trimmed()).fileName();
    if (!name.isEmpty())
        return name;
    return pending.isFolder() ? QStringLiteral("文件夹") : QStringLiteral("文件");
}

// The default font of a note's editor, which decides the HTML it writes out.
QFont ItemDetailPanel::noteFont() const
{
    if (!noteTemplate) {
        noteTemplate = new TextAttachmentWidget(contentWidget);
        noteTemplate->hide();
    }
    return noteTemplate->textEdit()->document()->defaultFont();
}

void ItemDetailPanel::schedulePreparation()
{
    if (!preparationTimer) {
        preparationTimer = new QTimer(this);
        preparationTimer->setSingleShot(true);
        connect(preparationTimer, &QTimer::timeout, this, &ItemDetailPanel::prepareSnapshots);
    }
    // Starts once the item has been shown and the user stays on it: arrowing through items
    // prepares nothing.
    preparationTimer->start(preparationDelayMs);
}

void ItemDetailPanel::prepareSnapshots()
{
    QElapsedTimer clock;
    clock.start();
    for (const ResourceFrame *frame : std::as_const(frames)) {
        const auto pending = pendingResources.constFind(frame);
        if (pending == pendingResources.constEnd() || pending->source->isSnapshotReady())
            continue;
        if (clock.elapsed() >= preparationStepMs) {
            preparationTimer->start(0); // the rest after the events waiting meanwhile
            return;
        }
        pending->source->snapshot();
    }
}
