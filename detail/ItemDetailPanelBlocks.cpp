// Turning the detail workspace into content blocks and back, and its content signature.

#include "ItemDetailPanel.h"

#include "FileAttachmentWidget.h"
#include "ResourceFrame.h"
#include "TextAttachmentWidget.h"
#include "UrlAttachmentWidget.h"

#include <QLayout>
#include <QSignalBlocker>
#include <QTextDocument>
#include <QVBoxLayout>

namespace {

bool sameText(const QString &a, const QString &b)
{
    return a.size() == b.size() && (a.constData() == b.constData() || a == b);
}

// A resource in on-screen order: a built one with the block its widget gives (title rule
// applied), or one not built yet with the block it was loaded from and its title.
struct PlacedBlock {
    const QWidget *widget = nullptr;
    ContentBlock block;
    std::shared_ptr<const PendingBlock> pending;
    QString title;

    ContentBlock finalBlock() const
    {
        if (!pending)
            return block;
        ContentBlock result = pending->snapshot();
        if (!title.trimmed().isEmpty())
            result.summary = title.trimmed();
        return result;
    }
};

// The resources in the content layout, in on-screen order; a resource not built yet stands for
// the block its widget would give.
QList<PlacedBlock> placedBlocks(const QVBoxLayout *layout)
{
    QList<PlacedBlock> result;
    result.reserve(layout->count());
    for (int i = 0; i < layout->count(); ++i) {
        QLayoutItem *layoutItem = layout->itemAt(i);
        QWidget *item = layoutItem->widget();
        if (!item) {
            const auto *slot = dynamic_cast<const PendingSlot *>(layoutItem);
            if (!slot)
                continue; // the final stretch
            const std::shared_ptr<const PendingBlock> &kept = slot->resource.source;
            // A note's HTML as its editor writes it is never blank; a file's or link's location
            // is cheap to make and may be.
            if (kept->block().type != ContentBlock::Text
                && kept->snapshot().value.trimmed().isEmpty())
                continue;
            PlacedBlock placed;
            placed.pending = kept;
            placed.title = slot->resource.title;
            result.append(placed);
            continue;
        }
        auto *frame = qobject_cast<ResourceFrame *>(item);
        QWidget *content = frame ? frame->content : item;
        auto *resource = qobject_cast<ResourceWindow *>(content);
        if (!resource)
            continue;
        ContentBlock block = resource->snapshot();
        if (frame && !frame->title.trimmed().isEmpty())
            block.summary = frame->title.trimmed();
        if (block.type >= ContentBlock::Text && block.type <= ContentBlock::WebLink
            && block.value.trimmed().isEmpty())
            continue; // a file or link whose location is blank is not kept
        PlacedBlock placed;
        placed.widget = content;
        placed.block = block;
        result.append(placed);
    }
    return result;
}

} // namespace

QString ItemDetailPanel::editorBreak()
{
    return QStringLiteral("\n<!-- velto-editor-break -->\n");
}

QList<ContentBlock> ItemDetailPanel::contentBlocks() const
{
    QList<ContentBlock> blocks;
    const QList<PlacedBlock> placed = placedBlocks(contentLayout);
    blocks.reserve(placed.size());
    for (const PlacedBlock &entry : placed)
        blocks.append(entry.finalBlock());
    return blocks;
}

QString ItemDetailPanel::contentSignature() const
{
    return contentState().signature();
}

ContentState ItemDetailPanel::contentState() const
{
    const QList<PlacedBlock> placed = placedBlocks(contentLayout);
    QHash<const QWidget *, SignatureFragment> fresh;
    ContentState state = ContentState::taken();
    for (const PlacedBlock &entry : placed) {
        if (entry.pending) {
            state.appendPending(entry.pending, entry.title);
            continue;
        }
        const ContentBlock &block = entry.block;
        const auto cached = signatureFragments.constFind(entry.widget);
        SignatureFragment fragment;
        if (cached != signatureFragments.constEnd() && cached->type == block.type
            && sameText(cached->value, block.value) && cached->summary == block.summary) {
            fragment = *cached;
        } else {
            fragment.type = block.type;
            fragment.value = block.value;
            fragment.summary = block.summary;
            fragment.json = contentBlockJson(block);
        }
        state.appendJson(fragment.json);
        fresh.insert(entry.widget, fragment);
    }
    signatureFragments.swap(fresh);
    return state;
}

void ItemDetailPanel::setContentBlocks(const QList<ContentBlock> &blocks)
{
    const QSignalBlocker blocker(this);
    workspaceCache.remove(currentWorkspaceId);
    clearContent();

    // Every resource starts as its block in the layout, without a frame; the last one, which is
    // selected, and the ones in view are built.
    int last = -1;
    for (const ContentBlock &block : blocks) {
        if (block.type == ContentBlock::Text || block.type == ContentBlock::LocalPath
            || block.type == ContentBlock::WebLink) {
            last = contentLayout->count() - 1;
            insertPendingResource(block, last);
        }
    }
    if (last >= 0)
        selectedWidget = buildFrame(last);
    if (blocks.isEmpty())
        addTextAttachment();
    selectionActive = false; // loading highlights the last resource but picks nothing
    rebuildResourceList();
    buildFramesInView();
    if (hasPendingResources())
        schedulePreparation();
}

QString ItemDetailPanel::detail() const
{
    QStringList notes;
    for (int i = 0; i < frames.size(); ++i) {
        const ResourceFrame *frame = frames.at(i);
        if (!frame) {
            const PendingSlot *slot = pendingSlot(i);
            if (!slot || slot->resource.source->block().type != ContentBlock::Text)
                continue;
            const PendingBlock &pending = *slot->resource.source;
            QTextDocument document;
            document.setHtml(pending.block().value);
            if (!document.toPlainText().trimmed().isEmpty())
                notes.append(pending.snapshot().value);
        } else if (const auto *text = qobject_cast<TextAttachmentWidget *>(frame->content)) {
            if (!text->plainText().trimmed().isEmpty())
                notes.append(text->html());
        }
    }
    return notes.join(editorBreak());
}

void ItemDetailPanel::setDetail(const QString &text)
{
    clearContent();
    const QStringList parts = text.split(editorBreak(), Qt::KeepEmptyParts, Qt::CaseSensitive);
    for (const QString &part : parts) {
        addTextAttachment();
        if (auto *note = qobject_cast<TextAttachmentWidget *>(selectedWidget.data()))
            note->setHtml(part);
    }
    if (textWidgets.isEmpty())
        addTextAttachment();
}
