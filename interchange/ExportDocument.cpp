#include "ExportDocument.h"

#include "Database.h"
#include "SafeCommit.h"

#include <QDateTime>
#include <QJsonArray>
#include <QSaveFile>
#include <QSqlQuery>

#include <cmath>
#include <functional>

namespace {

// Writes the document byte for byte as QJsonDocument's indented form would (keys sorted, four
// spaces per level, the same escapes and number forms), but streamed row by row: a 100,000-item
// tree is never held as JSON objects, and the file is written while the rows are read.
class IndentedWriter {
public:
    explicit IndentedWriter(QByteArray *out)
        : m_out(out)
    {
    }

    void raw(const char *text) { m_out->append(text); }

    void indent(int level) { m_out->append(QByteArray(level * 4, ' ')); }

    // `"key": ` at the given level.
    void key(int level, const char *name)
    {
        indent(level);
        m_out->append('"').append(name).append("\": ");
    }

    void string(const QString &text)
    {
        m_out->append('"');
        const QChar *begin = text.constData();
        const qsizetype size = text.size();
        qsizetype plainFrom = 0;
        for (qsizetype i = 0; i < size; ++i) {
            const char16_t c = begin[i].unicode();
            if (c >= 0x20 && c != '"' && c != '\\' && !QChar::isSurrogate(c))
                continue;
            if (QChar::isHighSurrogate(c) && i + 1 < size
                && QChar::isLowSurrogate(begin[i + 1].unicode())) {
                ++i;
                continue;
            }
            m_out->append(QStringView(begin + plainFrom, i - plainFrom).toUtf8());
            plainFrom = i + 1;
            escape(c);
        }
        m_out->append(QStringView(begin + plainFrom, size - plainFrom).toUtf8());
        m_out->append('"');
    }

    // A JSON number holding a double, as Qt writes it: integral values up to 2^53 as integers,
    // others in the shortest exact form.
    void number(qint64 value)
    {
        const double d = double(value);
        if (std::fabs(d) <= 9007199254740992.0)
            m_out->append(QByteArray::number(qint64(d)));
        else
            m_out->append(QByteArray::number(d, 'g', QLocale::FloatingPointShortest));
    }

    void integer(qint64 value) { m_out->append(QByteArray::number(value)); }
    void boolean(bool value) { m_out->append(value ? "true" : "false"); }

    // One `"key": value` member at the given level, with the separator that follows it (a comma
    // unless it is the object's last member).
    void stringMember(int level, const char *name, const QString &value, bool last = false)
    {
        key(level, name);
        string(value);
        endMember(last);
    }
    void numberMember(int level, const char *name, qint64 value, bool last = false)
    {
        key(level, name);
        number(value);
        endMember(last);
    }
    void integerMember(int level, const char *name, qint64 value, bool last = false)
    {
        key(level, name);
        integer(value);
        endMember(last);
    }
    void booleanMember(int level, const char *name, bool value, bool last = false)
    {
        key(level, name);
        boolean(value);
        endMember(last);
    }
    void endMember(bool last) { raw(last ? "\n" : ",\n"); }

private:
    void escape(char16_t c)
    {
        switch (c) {
        case '"':
            m_out->append("\\\"");
            return;
        case '\\':
            m_out->append("\\\\");
            return;
        case '\b':
            m_out->append("\\b");
            return;
        case '\f':
            m_out->append("\\f");
            return;
        case '\n':
            m_out->append("\\n");
            return;
        case '\r':
            m_out->append("\\r");
            return;
        case '\t':
            m_out->append("\\t");
            return;
        default: {
            // Other control characters and unpaired surrogates.
            static const char hex[] = "0123456789abcdef";
            const char escaped[] = {'\\', 'u', hex[(c >> 12) & 0xf], hex[(c >> 8) & 0xf],
                hex[(c >> 4) & 0xf], hex[c & 0xf]};
            m_out->append(escaped, sizeof escaped);
        }
        }
    }

    QByteArray *m_out;
};

constexpr qint64 progressStep = 1000;
constexpr qsizetype flushBytes = 4 << 20;

// Streams the document into `out`, handing full chunks to `flush` (which may empty `out`).
// Returns false when the progress callback or `flush` asked to stop.
bool writeDocument(Database *database, QByteArray *out, qint64 *count,
    const interchange::Progress &progress, const std::function<bool()> &flush)
{
    IndentedWriter json(out);
    QSqlDatabase db = database->connection();
    qint64 total = 0;
    if (progress) {
        QSqlQuery countQuery(db);
        if (countQuery.exec(QStringLiteral("SELECT COUNT(*) FROM data_items")) && countQuery.next())
            total = countQuery.value(0).toLongLong();
    }
    // Items in the order pid, sortid, iid (the order of DataItemRepository::allItems), each
    // followed by its blocks in stored order.
    QSqlQuery query(db);
    query.setForwardOnly(true);
    query.exec(QStringLiteral(
        "SELECT d.iid, d.pid, d.here, d.cont, d.remark, d.favorite, d.\"desc\", b.type, b.value, "
        "b.summary FROM data_items d LEFT JOIN content_blocks b ON b.item_iid = d.iid "
        "ORDER BY d.pid, d.sortid, d.iid, b.sortid, b.id"));

    json.raw("{\n");
    json.stringMember(1, "exportedAt", QDateTime::currentDateTime().toString(Qt::ISODate));
    json.stringMember(1, "format", QLatin1String(interchange::exportFormatTag()));
    json.key(1, "items");
    json.raw("[\n");

    qint64 items = 0;
    bool more = query.next();
    while (more) {
        const qint64 iid = query.value(0).toLongLong();
        const qint64 pid = query.value(1).toLongLong();
        const QString here = query.value(2).toString();
        const QString cont = query.value(3).toString();
        const QString remark = query.value(4).toString();
        const bool favorite = query.value(5).toInt() != 0;
        const QString desc = query.value(6).toString();
        if (items > 0)
            json.raw(",\n");
        json.indent(2);
        json.raw("{\n");
        json.key(3, "blocks");
        json.raw("[\n");
        bool firstBlock = true;
        while (more && query.value(0).toLongLong() == iid) {
            if (!query.value(7).isNull()) {
                if (!firstBlock)
                    json.raw(",\n");
                firstBlock = false;
                json.indent(4);
                json.raw("{\n");
                json.stringMember(5, "summary", query.value(9).toString());
                json.integerMember(5, "type", query.value(7).toInt());
                json.stringMember(5, "value", query.value(8).toString(), true);
                json.indent(4);
                json.raw("}");
            }
            more = query.next();
        }
        if (!firstBlock)
            json.raw("\n");
        json.indent(3);
        json.raw("],\n");
        json.stringMember(3, "content", cont);
        json.stringMember(3, "description", desc);
        json.booleanMember(3, "favorite", favorite);
        json.numberMember(3, "id", iid);
        json.stringMember(3, "name", here);
        json.numberMember(3, "parentId", pid);
        json.stringMember(3, "remark", remark, true);
        json.indent(2);
        json.raw("}");
        ++items;
        if (progress && items % progressStep == 0 && !progress(items, qMax(total, items)))
            return false;
        if (flush && out->size() >= flushBytes && !flush())
            return false;
    }
    if (items > 0)
        json.raw("\n");
    json.indent(1);
    json.raw("]\n}\n");
    if (count)
        *count = items;
    return true;
}

} // namespace

QJsonObject ExportDocument::itemObject(const DataItem &item, const QList<ContentBlock> &blocks)
{
    QJsonArray array;
    for (const ContentBlock &block : blocks)
        array.append(contentBlockObject(block));
    QJsonObject object;
    object.insert(QStringLiteral("id"), double(item.iid));
    object.insert(QStringLiteral("parentId"), double(item.pid));
    object.insert(QStringLiteral("name"), item.here);
    object.insert(QStringLiteral("content"), item.cont);
    object.insert(QStringLiteral("remark"), item.remark);
    object.insert(QStringLiteral("favorite"), item.favorite);
    object.insert(QStringLiteral("description"), item.desc);
    object.insert(QStringLiteral("blocks"), array);
    return object;
}

QByteArray ExportDocument::build(
    Database *database, qint64 *count, const interchange::Progress &progress)
{
    QByteArray out;
    if (!writeDocument(database, &out, count, progress, {}))
        return {};
    return out;
}

ExportDocument::Result ExportDocument::write(
    Database *database, const QString &path, const interchange::Progress &progress)
{
    Result result;
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)) {
        result.error = file.errorString();
        return result;
    }
    QByteArray buffer;
    buffer.reserve(flushBytes + (1 << 20));
    bool writeFailed = false;
    qint64 written = 0;
    const auto flush = [&] {
        if (file.write(buffer) != buffer.size()) {
            writeFailed = true;
            return false;
        }
        written += buffer.size();
        buffer.resize(0); // keeps the capacity
        return true;
    };
    const bool finished = writeDocument(database, &buffer, &result.count, progress, flush);
    if (finished && !flush())
        writeFailed = true;
    if (!finished || writeFailed) {
        if (writeFailed)
            result.error = file.errorString();
        else
            result.cancelled = true;
        file.cancelWriting();
        file.commit();
        result.count = 0;
        return result;
    }
    if (!interchange::commitChecked(file, written, &result.error)) {
        result.count = 0;
        return result;
    }
    result.ok = true;
    return result;
}
