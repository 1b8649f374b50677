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

#include <functional>

namespace {

char16_t hexDigit(unsigned value)
{
    return char16_t(value < 10 ? u'0' + value : u'a' + value - 10);
}

// Appends `text` as a JSON string literal, escaped exactly the way QJsonDocument writes it in
// compact form (then read back from UTF-8): quote, backslash and control characters escaped,
// lone surrogates written as \uXXXX, everything else as it is.
void appendJsonString(QString &out, QStringView text)
{
    out.append(u'"');
    const char16_t *p = text.utf16();
    const char16_t *const end = p + text.size();
    const char16_t *run = p;
    const auto flush = [&](const char16_t *upTo) {
        if (upTo > run)
            out.append(QStringView(run, upTo - run));
    };
    for (; p < end; ++p) {
        const char16_t c = *p;
        if (c >= 0x20 && c != u'"' && c != u'\\' && !QChar::isSurrogate(c))
            continue;
        if (QChar::isHighSurrogate(c) && p + 1 < end && QChar::isLowSurrogate(p[1])) {
            ++p;
            continue;
        }
        flush(p);
        out.append(u'\\');
        switch (c) {
        case u'"':
            out.append(u'"');
            break;
        case u'\\':
            out.append(u'\\');
            break;
        case u'\b':
            out.append(u'b');
            break;
        case u'\f':
            out.append(u'f');
            break;
        case u'\n':
            out.append(u'n');
            break;
        case u'\r':
            out.append(u'r');
            break;
        case u'\t':
            out.append(u't');
            break;
        default:
            out.append(u'u');
            out.append(hexDigit((c >> 12) & 0xf));
            out.append(hexDigit((c >> 8) & 0xf));
            out.append(hexDigit((c >> 4) & 0xf));
            out.append(hexDigit(c & 0xf));
        }
        run = p + 1;
    }
    flush(end);
    out.append(u'"');
}

// The object {"summary","type","value"} with its keys in the order QJsonDocument sorts them.
QString blockJson(const ContentBlock &block)
{
    QString json;
    json.reserve(block.value.size() + block.summary.size() + 48);
    json.append(QLatin1String("{\"summary\":"));
    appendJsonString(json, block.summary);
    json.append(QLatin1String(",\"type\":"));
    json.append(QString::number(block.type));
    json.append(QLatin1String(",\"value\":"));
    appendJsonString(json, block.value);
    json.append(u'}');
    return json;
}

bool sameText(const QString &a, const QString &b)
{
    return a.size() == b.size() && (a.constData() == b.constData() || a == b);
}

struct PlacedBlock {
    const QWidget *widget = nullptr;
    ContentBlock block;
};

// The blocks of the resources in the content layout, in on-screen order; a frame not built yet
// gives the block its widget would give.
QList<PlacedBlock> placedBlocks(const QVBoxLayout *layout,
    const std::function<const ContentBlock *(const ResourceFrame *)> &pending)
{
    QList<PlacedBlock> result;
    for (int i = 0; i < layout->count(); ++i) {
        QWidget *item = layout->itemAt(i)->widget();
        if (!item)
            continue;
        auto *frame = qobject_cast<ResourceFrame *>(item);
        ContentBlock block;
        QWidget *content = frame ? frame->content : item;
        if (const ContentBlock *kept = frame && !content ? pending(frame) : nullptr) {
            block = *kept;
            content = frame;
        } else if (auto *resource = qobject_cast<ResourceWindow *>(content)) {
            block = resource->snapshot();
        } else {
            continue;
        }
        if (frame && !frame->title.trimmed().isEmpty())
            block.summary = frame->title.trimmed();
        if (block.type >= ContentBlock::Text && block.type <= ContentBlock::WebLink
            && block.value.trimmed().isEmpty())
            continue; // a file or link whose location is blank is not kept
        result.append({content, block});
    }
    return result;
}

} // namespace

std::function<const ContentBlock *(const ResourceFrame *)> ItemDetailPanel::pendingBlocks() const
{
    return [this](const ResourceFrame *frame) -> const ContentBlock * {
        return isPending(frame) ? &pendingSnapshot(frame) : nullptr;
    };
}

QString ItemDetailPanel::editorBreak()
{
    return QStringLiteral("\n<!-- velto-editor-break -->\n");
}

QList<ContentBlock> ItemDetailPanel::contentBlocks() const
{
    QList<ContentBlock> blocks;
    const QList<PlacedBlock> placed = placedBlocks(contentLayout, pendingBlocks());
    blocks.reserve(placed.size());
    for (const PlacedBlock &entry : placed)
        blocks.append(entry.block);
    return blocks;
}

QString ItemDetailPanel::contentSignature() const
{
    const QList<PlacedBlock> placed = placedBlocks(contentLayout, pendingBlocks());
    QHash<const QWidget *, SignatureFragment> fresh;
    QStringList parts;
    parts.reserve(placed.size());
    qsizetype length = 2;
    for (const PlacedBlock &entry : placed) {
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
            fragment.json = blockJson(block);
        }
        length += fragment.json.size() + 1;
        parts.append(fragment.json);
        fresh.insert(entry.widget, fragment);
    }
    signatureFragments.swap(fresh);

    QString signature;
    signature.reserve(length);
    signature.append(u'[');
    for (qsizetype i = 0; i < parts.size(); ++i) {
        if (i > 0)
            signature.append(u',');
        signature.append(parts.at(i));
    }
    signature.append(u']');
    return signature;
}

void ItemDetailPanel::setContentBlocks(const QList<ContentBlock> &blocks)
{
    const QSignalBlocker blocker(this);
    workspaceCache.remove(currentWorkspaceId);
    clearContent();

    // Every resource starts as its block in a placeholder frame; the last one, which is selected,
    // and the ones in view are built.
    ResourceFrame *last = nullptr;
    for (const ContentBlock &block : blocks) {
        if (block.type == ContentBlock::Text || block.type == ContentBlock::LocalPath
            || block.type == ContentBlock::WebLink)
            last = insertPendingFrame(block, contentLayout->count() - 1);
    }
    if (last)
        selectedWidget = buildFrame(last);
    if (blocks.isEmpty())
        addTextAttachment();
    selectionActive = false; // loading highlights the last resource but picks nothing
    rebuildResourceList();
    buildFramesInView();
}

QString ItemDetailPanel::detail() const
{
    QStringList notes;
    for (const ResourceFrame *frame : frames) {
        if (isPending(frame)) {
            const PendingResource &pending = pendingResources[frame];
            if (pending.block.type != ContentBlock::Text)
                continue;
            QTextDocument document;
            document.setHtml(pending.block.value);
            if (!document.toPlainText().trimmed().isEmpty())
                notes.append(pendingSnapshot(frame).value);
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
