#include "ContentState.h"

#include "ResourceLocation.h"

#include <QTextDocument>

namespace {

const QString folderMarker = QStringLiteral("folder");

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

// What a location field holds after setText: no more than a line edit's default maximum length.
QString fieldText(const QString &text)
{
    constexpr int lineEditMaxLength = 32767;
    return text.left(lineEditMaxLength);
}

} // namespace

QString contentBlockJson(const ContentBlock &block)
{
    // The object {"summary","type","value"} with its keys in the order QJsonDocument sorts them.
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

// ---- PendingBlock ---------------------------------------------------------------------------

PendingBlock::PendingBlock(const ContentBlock &block, bool isFolder, const QFont &font)
    : stored(block)
    , folder(isFolder)
    , noteFont(font)
{
}

const ContentBlock &PendingBlock::snapshot() const
{
    if (snapshotReady)
        return made;
    made.type = stored.type;
    if (stored.type == ContentBlock::Text) {
        // The HTML a note's editor gives back: the same document written out with the same
        // default font.
        QTextDocument document;
        document.setDefaultFont(noteFont);
        document.setHtml(stored.value);
        made.value = document.toHtml();
    } else if (stored.type == ContentBlock::LocalPath) {
        made.value = fieldText(stored.value).trimmed();
        if (folder)
            made.summary = folderMarker;
    } else {
        // The link's field takes the value, then keeps it without its comment.
        const QString shown = resourceLocationWithoutComment(fieldText(stored.value));
        made.value = resourceLocationWithoutComment(fieldText(shown));
        if (!shown.isEmpty() && !made.value.isEmpty())
            made.summary = stored.summary.trimmed();
    }
    snapshotReady = true;
    return made;
}

QString PendingBlock::json(const QString &title) const
{
    if (jsonReady && jsonTitle == title)
        return madeJson;
    ContentBlock block = snapshot();
    if (!title.trimmed().isEmpty())
        block.summary = title.trimmed();
    madeJson = contentBlockJson(block);
    jsonTitle = title;
    jsonReady = true;
    return madeJson;
}

// ---- ContentState ---------------------------------------------------------------------------

void ContentState::appendJson(const QString &json)
{
    Entry entry;
    entry.json = json;
    entries.append(entry);
}

void ContentState::appendPending(std::shared_ptr<const PendingBlock> source, const QString &title)
{
    Entry entry;
    entry.source = std::move(source);
    entry.title = title;
    entries.append(entry);
}

QString ContentState::signature() const
{
    qsizetype length = 2;
    for (const Entry &entry : entries)
        length += entry.text().size() + 1;
    QString signature;
    signature.reserve(length);
    signature.append(u'[');
    for (qsizetype i = 0; i < entries.size(); ++i) {
        if (i > 0)
            signature.append(u',');
        signature.append(entries.at(i).text());
    }
    signature.append(u']');
    return signature;
}

// Each entry is one complete JSON object, so two signatures are equal exactly when their entries
// are, one by one.
bool ContentState::operator==(const ContentState &other) const
{
    if (!wasTaken || !other.wasTaken || entries.size() != other.entries.size())
        return false;
    for (qsizetype i = 0; i < entries.size(); ++i) {
        const Entry &a = entries.at(i);
        const Entry &b = other.entries.at(i);
        if (a.source && a.source == b.source && a.title.trimmed() == b.title.trimmed())
            continue;
        if (a.text() != b.text())
            return false;
    }
    return true;
}
