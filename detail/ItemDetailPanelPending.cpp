// Resources kept as data until their frames come into view: their places in the layout, building
// a frame when it is needed, and the blocks a pending resource's widget would give.

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
// How many view heights under the view are built ahead while the window is idle.
constexpr int aheadViews = 2;

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

void ItemDetailPanel::insertPendingResource(const ContentBlock &block, int layoutIndex)
{
    PendingResource pending;
    pending.title = block.summary;
    int height = UiMetrics::px(resourceRowHeight);
    bool folder = false;
    if (block.type == ContentBlock::LocalPath) {
        folder = block.summary == folderMarker
            || (block.summary.isEmpty() && QFileInfo(block.value).isDir());
        if (block.summary == folderMarker)
            pending.title.clear();
    } else if (block.type == ContentBlock::Text) {
        height = estimatedNoteHeight(block.value);
    }
    pending.source = std::make_shared<PendingBlock>(block, folder, noteFont());
    pending.height = height + frameBorder();
    contentLayout->insertItem(layoutIndex, new PendingSlot(pending));
}

PendingSlot *ItemDetailPanel::pendingSlot(int layoutIndex) const
{
    if (layoutIndex < 0 || layoutIndex >= contentLayout->count())
        return nullptr;
    return dynamic_cast<PendingSlot *>(contentLayout->itemAt(layoutIndex));
}

bool ItemDetailPanel::hasPendingResources() const
{
    // Every item but the final stretch is a frame or an unbuilt resource.
    for (int i = contentLayout->count() - 2; i >= 0; --i) {
        if (!contentLayout->itemAt(i)->widget())
            return true;
    }
    return false;
}

QWidget *ItemDetailPanel::buildFrame(int layoutIndex)
{
    if (layoutIndex < 0 || layoutIndex >= contentLayout->count())
        return nullptr;
    if (auto *built = qobject_cast<ResourceFrame *>(contentLayout->itemAt(layoutIndex)->widget()))
        return built->content;
    PendingSlot *slot = pendingSlot(layoutIndex);
    if (!slot)
        return nullptr;
    const PendingResource pending = slot->resource;
    delete contentLayout->takeAt(layoutIndex);
    // As loading does: no detailChanged while the widget takes its content.
    const QSignalBlocker blocker(this);
    const ContentBlock &block = pending.source->block();
    // The frame takes its style before it has children, and the widget is made inside it: a
    // widget moved under a styled frame would be polished again.
    auto *frame = new ResourceFrame(contentWidget);
    frame->title = pending.title;
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
        // Until the note has laid out its text it keeps the height its place had, so that the
        // frames around it are placed, and built, where they will be.
        text->setFixedHeight(pending.height - frameBorder());
        content = text;
    }
    frame->setContent(content);
    watchFrame(frame);
    if (!contentEditable) {
        if (auto *resource = qobject_cast<ResourceWindow *>(content))
            resource->setEditingEnabled(false);
    }
    if (!pending.enabled)
        content->setEnabled(false);
    // Showing a frame would lay out the whole list at once; it runs on its posted request instead,
    // or when the caller scrolls to the frame.
    const bool layoutEnabled = contentLayout->isEnabled();
    contentLayout->setEnabled(false);
    contentLayout->insertWidget(layoutIndex, frame);
    frame->show();
    contentLayout->setEnabled(layoutEnabled);
    if (!buildingBatch)
        rebuildWidgetCollections();
    return content;
}

int ItemDetailPanel::builtResourceCount() const
{
    return int(frames.size() - frames.count(nullptr));
}

QWidget *ItemDetailPanel::resourceContent(int index)
{
    if (index < 0 || index >= frames.size())
        return nullptr;
    return buildFrame(index);
}

void ItemDetailPanel::scheduleFramesInView()
{
    if (framesInViewQueued || !hasPendingResources())
        return;
    framesInViewQueued = true;
    QTimer::singleShot(0, this, [this] { buildFramesInView(); });
}

// The unbuilt resources whose places meet the band from `above` pixels over the view's top to
// `below` pixels under its bottom, in layout order. Positions come from the items' size hints
// (unbuilt resources have fixed heights, built ones fixed or bounded ones), so they are right
// before the layout has run.
QList<int> ItemDetailPanel::pendingNearView(int above, int below) const
{
    const int viewHeight = scrollArea->viewport()->height();
    const int resources = contentLayout->count() - 1; // the stretch is last
    QList<int> heights;
    heights.reserve(resources);
    int total = 0;
    for (int i = 0; i < resources; ++i) {
        const int height = contentLayout->itemAt(i)->sizeHint().height();
        heights.append(height);
        total += height;
    }
    const int value
        = std::min(scrollArea->verticalScrollBar()->value(), std::max(0, total - viewHeight));
    const int top = value - above;
    const int bottom = value + viewHeight + below;
    QList<int> found;
    int y = 0;
    for (int i = 0; i < resources && y <= bottom; ++i) {
        if (y + heights.at(i) >= top && pendingSlot(i))
            found.append(i);
        y += heights.at(i);
    }
    return found;
}

// Builds `indexes` (layout indexes of unbuilt resources), stopping after the first one that ends
// at or past `deadline` milliseconds of `clock` (never, when it is not valid). Showing a frame
// lays out the whole list again: the layout waits until all are built, and then runs once, on its
// posted request. Returns how many were built.
int ItemDetailPanel::buildFrames(
    const QList<int> &indexes, const QElapsedTimer &clock, qint64 deadline)
{
    int built = 0;
    buildingBatch = true;
    contentLayout->setEnabled(false);
    for (const int index : indexes) {
        buildFrame(index);
        ++built;
        if (clock.isValid() && clock.elapsed() >= deadline)
            break;
    }
    contentLayout->setEnabled(true);
    buildingBatch = false;
    rebuildWidgetCollections();
    return built;
}

// Builds the pending frames in or near the view. A frame just built takes its real height only
// once its resource has laid itself out; should that leave part of the view empty, the change of
// the scroll range this brings looks at the view again.
void ItemDetailPanel::buildFramesInView()
{
    framesInViewQueued = false;
    if (!hasPendingResources())
        return;
    const QList<int> inView = pendingNearView(buildMargin(), buildMargin());
    if (!inView.isEmpty()) {
        buildFrames(inView, QElapsedTimer(), 0);
        if (revealTarget)
            followReveal(); // what was built may have moved the resource being revealed
    }
    // Once the user stays a moment, the pages below are built ahead.
    schedulePreparation();
}

QString ItemDetailPanel::pendingSummary(const PendingResource &pending) const
{
    const PendingBlock &source = *pending.source;
    if (source.block().type == ContentBlock::Text)
        return QStringLiteral("文本");
    if (source.block().type == ContentBlock::WebLink)
        return QStringLiteral("链接");
    const QString name = QFileInfo(fieldText(source.block().value).trimmed()).fileName();
    if (!name.isEmpty())
        return name;
    return source.isFolder() ? QStringLiteral("文件夹") : QStringLiteral("文件");
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

bool ItemDetailPanel::isPreparing() const
{
    return preparationTimer && preparationTimer->isActive();
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
    // First the frames of the next pages, so that scrolling down finds them built; not those
    // above the view, whose real heights would move what is on screen.
    const int viewHeight = scrollArea->viewport()->height();
    const QList<int> ahead = pendingNearView(0, aheadViews * viewHeight);
    if (!ahead.isEmpty()) {
        if (buildFrames(ahead, clock, preparationStepMs) < ahead.size()
            || clock.elapsed() >= preparationStepMs) {
            preparationTimer->start(0); // the rest after the events waiting meanwhile
            return;
        }
    }
    for (int i = 0; i < frames.size(); ++i) {
        const PendingSlot *slot = frames.at(i) ? nullptr : pendingSlot(i);
        if (!slot || slot->resource.source->isSnapshotReady())
            continue;
        if (clock.elapsed() >= preparationStepMs) {
            preparationTimer->start(0); // the rest after the events waiting meanwhile
            return;
        }
        slot->resource.source->snapshot();
    }
}
