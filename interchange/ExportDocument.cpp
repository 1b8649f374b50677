#include "ExportDocument.h"

#include "Database.h"
#include "SafeCommit.h"
#include "SqliteStatement.h"

#include <QDateTime>
#include <QFileInfo>
#include <QJsonArray>
#include <QSaveFile>
#include <QSqlQuery>

#include <charconv>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <mutex>
#include <thread>

#ifdef Q_OS_LINUX
#include <fcntl.h>
#endif

namespace {

// The length of the strict UTF-8 sequence (no overlong forms, no surrogates, nothing above
// U+10FFFF) that starts at p with a byte of 0x80 or more, or 0 when there is none.
int sequenceLength(const unsigned char *p, const unsigned char *end)
{
    const unsigned char c = *p;
    int length = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (c >= 0xC2 && c <= 0xDF) {
        length = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
        length = 3;
        if (c == 0xE0)
            low = 0xA0;
        else if (c == 0xED)
            high = 0x9F;
    } else if (c >= 0xF0 && c <= 0xF4) {
        length = 4;
        if (c == 0xF0)
            low = 0x90;
        else if (c == 0xF4)
            high = 0x8F;
    } else {
        return 0;
    }
    if (end - p < length || p[1] < low || p[1] > high)
        return 0;
    for (int k = 2; k < length; ++k) {
        if (p[k] < 0x80 || p[k] > 0xBF)
            return 0;
    }
    return length;
}

// Whether any of the eight bytes in word is below 0x20, 0x80 or above, '"' or '\\': the bytes a
// JSON string cannot take as they are, or that start a multi-byte sequence to be checked.
bool needsAttention(quint64 word)
{
    constexpr quint64 ones = 0x0101010101010101ULL;
    constexpr quint64 highs = 0x8080808080808080ULL;
    const quint64 quote = word ^ (ones * '"');
    const quint64 backslash = word ^ (ones * '\\');
    return ((word | ((word - ones * 0x20) & ~word) | ((quote - ones) & ~quote)
                | ((backslash - ones) & ~backslash))
               & highs)
        != 0;
}

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

    void indent(int level)
    {
        static const char spaces[] = "                        ";
        m_out->append(spaces, qMin<qsizetype>(level * 4, sizeof spaces - 1));
    }

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

    // A text column of the current row: SQLite's UTF-8 bytes written as they are when they are
    // valid UTF-8 (what QString would give back), else through the text's UTF-16 form, which
    // is what the JSON writer sees (a lone surrogate stored from a QString comes back as one).
    // One pass checks and escapes, eight plain bytes at a time.
    void text(const SqliteStatement &row, int column)
    {
        qsizetype size = 0;
        const char *data = row.text(column, &size);
        const qsizetype start = m_out->size();
        m_out->append('"');
        const auto *begin = reinterpret_cast<const unsigned char *>(data);
        const auto *end = begin + size;
        const auto *p = begin;
        const auto *plainFrom = begin;
        while (p < end) {
            if (end - p >= 8) {
                quint64 word;
                std::memcpy(&word, p, sizeof word);
                if (!needsAttention(word)) {
                    p += 8;
                    continue;
                }
            }
            const unsigned char c = *p;
            if (c >= 0x80) {
                const int length = sequenceLength(p, end);
                if (length == 0) {
                    m_out->resize(start);
                    string(row.text16(column));
                    return;
                }
                p += length;
            } else if (c < 0x20 || c == '"' || c == '\\') {
                m_out->append(reinterpret_cast<const char *>(plainFrom), p - plainFrom);
                escape(c);
                plainFrom = ++p;
            } else {
                ++p;
            }
        }
        m_out->append(reinterpret_cast<const char *>(plainFrom), end - plainFrom);
        m_out->append('"');
    }
    void textMember(
        int level, const char *name, const SqliteStatement &row, int column, bool last = false)
    {
        key(level, name);
        text(row, column);
        endMember(last);
    }

    // A JSON number holding a double, as Qt writes it: integral values up to 2^53 as integers,
    // others in the shortest exact form.
    void number(qint64 value)
    {
        const double d = double(value);
        if (std::fabs(d) <= 9007199254740992.0)
            integer(qint64(d));
        else
            m_out->append(QByteArray::number(d, 'g', QLocale::FloatingPointShortest));
    }

    void integer(qint64 value)
    {
        char digits[24];
        const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
        m_out->append(digits, end - digits);
    }
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
// Returns false when the progress callback or `flush` asked to stop, or when the rows could not
// be read (with readError set): a file cut short must not pass for a whole export.
bool writeDocument(Database *database, QByteArray *out, qint64 *count,
    const interchange::Progress &progress, const std::function<bool()> &flush, QString *readError)
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
    // followed by its blocks in stored order. The row id (one per item, like iid) tells SQLite
    // that each item's rows come together, so it reads the blocks in index order instead of
    // sorting them item by item.
    SqliteStatement row;
    if (!row.prepare(db,
            "SELECT d.iid, d.pid, d.here, d.cont, d.remark, d.favorite, d.\"desc\", b.type, "
            "b.value, "
            "b.summary FROM data_items d LEFT JOIN content_blocks b ON b.item_iid = d.iid "
            "ORDER BY d.pid, d.sortid, d.iid, d.id, b.sortid, b.id",
            readError))
        return false;

    json.raw("{\n");
    json.stringMember(1, "exportedAt", QDateTime::currentDateTime().toString(Qt::ISODate));
    json.stringMember(1, "format", QLatin1String(interchange::exportFormatTag()));
    json.key(1, "items");
    json.raw("[\n");

    // An item's own members follow its blocks in the file: they are written aside while its
    // first row is current.
    QByteArray members;
    IndentedWriter tail(&members);
    qint64 items = 0;
    bool more = row.exec(readError) && row.hasRow();
    while (more) {
        const qint64 iid = row.column(0);
        members.resize(0);
        tail.textMember(3, "content", row, 3);
        tail.textMember(3, "description", row, 6);
        tail.booleanMember(3, "favorite", int(row.column(5)) != 0);
        tail.numberMember(3, "id", iid);
        tail.textMember(3, "name", row, 2);
        tail.numberMember(3, "parentId", row.column(1));
        tail.textMember(3, "remark", row, 4, true);
        if (items > 0)
            json.raw(",\n");
        json.indent(2);
        json.raw("{\n");
        json.key(3, "blocks");
        json.raw("[\n");
        bool firstBlock = true;
        while (more && row.column(0) == iid) {
            if (!row.isNull(7)) {
                if (!firstBlock)
                    json.raw(",\n");
                firstBlock = false;
                json.indent(4);
                json.raw("{\n");
                json.textMember(5, "summary", row, 9);
                json.integerMember(5, "type", int(row.column(7)));
                json.textMember(5, "value", row, 8, true);
                json.indent(4);
                json.raw("}");
            }
            more = row.exec(readError) && row.hasRow();
        }
        if (!firstBlock)
            json.raw("\n");
        json.indent(3);
        json.raw("],\n");
        out->append(members);
        json.indent(2);
        json.raw("}");
        ++items;
        if (progress && items % progressStep == 0 && !progress(items, qMax(total, items)))
            return false;
        if (flush && out->size() >= flushBytes && !flush())
            return false;
    }
    if (row.failed())
        return false;
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
    QString readError;
    if (!writeDocument(database, &out, count, progress, {}, &readError))
        return {};
    return out;
}

namespace {

// Starts writing out the chunk just written, and waits for the one written a few chunks before:
// the disk writes while the rows are read, the file's final sync finds little left to write, and
// an export of gigabytes never fills the memory with pages waiting to be written.
void writeBehind(int fd, qint64 offset, qint64 length)
{
#ifdef Q_OS_LINUX
    if (fd < 0)
        return;
    ::sync_file_range(fd, offset, length, SYNC_FILE_RANGE_WRITE);
    constexpr qint64 lag = 8 * flushBytes;
    if (offset >= lag)
        ::sync_file_range(fd, offset - lag, length,
            SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE | SYNC_FILE_RANGE_WAIT_AFTER);
#else
    Q_UNUSED(fd);
    Q_UNUSED(offset);
    Q_UNUSED(length);
#endif
}

// Writes the chunks of the document on a thread of its own while the next chunk is built: the
// copying into the file's pages then costs the reading of the rows no time. At most one chunk waits
// while another is written, and the written chunks' memory is used again.
class ChunkWriter {
public:
    // When `file` is given (the device), each chunk is handed to the disk as soon as it is written.
    ChunkWriter(QIODevice *device, QFileDevice *file)
        : m_device(device)
        , m_file(file)
        , m_thread([this] { run(); })
    {
    }
    ~ChunkWriter() { finish(); }
    ChunkWriter(const ChunkWriter &) = delete;
    ChunkWriter &operator=(const ChunkWriter &) = delete;

    // Takes the chunk out of `buffer` and leaves it empty, with room for the next one. False once
    // a write has failed.
    bool hand(QByteArray &buffer)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_changed.wait(lock, [this] { return !m_hasPending || m_failed; });
        if (m_failed)
            return false;
        std::swap(m_pending, buffer);
        m_hasPending = true;
        buffer = std::move(m_spare);
        m_spare = QByteArray();
        lock.unlock();
        m_changed.notify_all();
        buffer.resize(0); // keeps the capacity
        if (buffer.capacity() < chunkCapacity)
            buffer.reserve(chunkCapacity);
        return true;
    }

    // Waits until every chunk handed over is written; false when a write failed.
    bool finish()
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_done = true;
        }
        m_changed.notify_all();
        if (m_thread.joinable())
            m_thread.join();
        return !m_failed;
    }

    qint64 written() const { return m_written; }

    static constexpr qsizetype chunkCapacity = flushBytes + (1 << 20);

private:
    void run()
    {
        QByteArray chunk;
        for (;;) {
            {
                std::unique_lock<std::mutex> lock(m_mutex);
                m_changed.wait(lock, [this] { return m_hasPending || m_done; });
                if (!m_hasPending)
                    return;
                std::swap(chunk, m_pending);
                m_hasPending = false;
            }
            m_changed.notify_all();
            const bool ok = m_device->write(chunk) == chunk.size() && (!m_file || m_file->flush());
            if (ok && m_file)
                writeBehind(m_file->handle(), m_written, chunk.size());
            std::lock_guard<std::mutex> lock(m_mutex);
            if (!ok) {
                m_failed = true;
                m_changed.notify_all();
                return;
            }
            m_written += chunk.size();
            if (m_spare.isNull())
                std::swap(m_spare, chunk);
        }
    }

    QIODevice *m_device;
    QFileDevice *m_file;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    QByteArray m_pending;
    QByteArray m_spare;
    bool m_hasPending = false;
    bool m_done = false;
    bool m_failed = false;
    qint64 m_written = 0; // by the writing thread; read after finish()
    std::thread m_thread; // last: starts once the members above exist
};

// Streams the document into device; false when it failed (result.error) or was cancelled
// (result.cancelled).
bool streamDocument(Database *database, QIODevice *device, const interchange::Progress &progress,
    ExportDocument::Result *result, qint64 *written, QFileDevice *file = nullptr)
{
    QByteArray buffer;
    buffer.reserve(ChunkWriter::chunkCapacity);
    ChunkWriter writer(device, file);
    const auto flush = [&] { return writer.hand(buffer); };
    QString readError;
    const bool finished
        = writeDocument(database, &buffer, &result->count, progress, flush, &readError);
    const bool handed = finished && writer.hand(buffer);
    const bool writeFailed = !writer.finish();
    *written = writer.written();
    if (handed && !writeFailed)
        return true;
    if (writeFailed)
        result->error = device->errorString();
    else if (!readError.isEmpty())
        result->error = readError;
    else
        result->cancelled = true;
    result->count = 0;
    return false;
}

} // namespace

ExportDocument::Result ExportDocument::write(
    Database *database, const QString &path, const interchange::Progress &progress)
{
    Result result;
    const QFileInfo target(path);
    if (target.exists() && !target.isFile()) {
        result.error = interchange::notRegularFileMessage(path);
        return result;
    }
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)) {
        result.error = file.errorString();
        return result;
    }
    qint64 written = 0;
    if (!streamDocument(database, &file, progress, &result, &written, &file)) {
        file.cancelWriting();
        file.commit();
        return result;
    }
    if (!interchange::commitChecked(file, written, &result.error)) {
        result.count = 0;
        return result;
    }
    result.ok = true;
    return result;
}

ExportDocument::Result ExportDocument::writeTo(
    Database *database, QIODevice *device, const interchange::Progress &progress)
{
    Result result;
    qint64 written = 0;
    result.ok = streamDocument(database, device, progress, &result, &written);
    return result;
}
