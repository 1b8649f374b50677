#include "SearchIndexBatch.h"

#include "Records.h"
#include "SearchIndexWriter.h"
#include "SqlSupport.h"

#include <QSet>
#include <sqlite3.h>

namespace {

QString columnText(sqlite3_stmt *statement, int column)
{
    const void *text = sqlite3_column_text16(statement, column);
    const int bytes = sqlite3_column_bytes16(statement, column);
    return text ? QString(static_cast<const QChar *>(text), bytes / 2) : QString();
}

struct PendingItem {
    qint64 iid = 0;
    QString cont;
    QString remark;
    QList<ContentBlock> blocks;
};

} // namespace

SearchIndexBatch::SearchIndexBatch(QSqlDatabase db)
    : m_db(sqlsupport::sqliteHandle(db))
{
}

SearchIndexBatch::~SearchIndexBatch()
{
    for (sqlite3_stmt *statement : {m_items, m_blocks, m_present, m_insert})
        sqlite3_finalize(statement);
}

bool SearchIndexBatch::failed(QString *error) const
{
    return sqlsupport::fail(error,
        m_db ? QString::fromUtf8(sqlite3_errmsg(m_db)) : QStringLiteral("no SQLite connection"));
}

bool SearchIndexBatch::prepare(QString *error)
{
    if (!m_db)
        return failed(error);
    const struct {
        sqlite3_stmt **statement;
        const char *sql;
    } statements[] = {
        {&m_items, "SELECT iid, cont, remark FROM data_items WHERE iid > ?1 ORDER BY iid LIMIT ?2"},
        {&m_blocks,
            "SELECT item_iid, type, value, summary FROM content_blocks "
            "WHERE item_iid > ?1 AND item_iid <= ?2 ORDER BY item_iid, sortid, id"},
        {&m_present, "SELECT id FROM search_index_content WHERE id > ?1 AND id <= ?2"},
        {&m_insert, "INSERT INTO search_index(rowid, body) VALUES (?1, ?2)"},
    };
    for (const auto &entry : statements) {
        if (!*entry.statement
            && sqlite3_prepare_v3(
                   m_db, entry.sql, -1, SQLITE_PREPARE_PERSISTENT, entry.statement, nullptr)
                != SQLITE_OK)
            return failed(error);
    }
    return true;
}

int SearchIndexBatch::indexAfter(
    qint64 after, int limit, const std::function<bool()> &enough, qint64 *last, QString *error)
{
    *last = after;
    QList<PendingItem> items;
    sqlite3_bind_int64(m_items, 1, after);
    sqlite3_bind_int(m_items, 2, limit);
    int rc = SQLITE_ROW;
    while ((rc = sqlite3_step(m_items)) == SQLITE_ROW) {
        PendingItem item;
        item.iid = sqlite3_column_int64(m_items, 0);
        item.cont = columnText(m_items, 1);
        item.remark = columnText(m_items, 2);
        items.append(item);
    }
    sqlite3_reset(m_items);
    if (rc != SQLITE_DONE)
        return failed(error), -1;
    if (items.isEmpty())
        return 0;
    const qint64 first = after;
    const qint64 end = items.constLast().iid;

    QSet<qint64> present;
    sqlite3_bind_int64(m_present, 1, first);
    sqlite3_bind_int64(m_present, 2, end);
    while ((rc = sqlite3_step(m_present)) == SQLITE_ROW)
        present.insert(sqlite3_column_int64(m_present, 0));
    sqlite3_reset(m_present);
    if (rc != SQLITE_DONE)
        return failed(error), -1;

    // Blocks come in iid order, as the items do: each belongs to the item at hand or a later one.
    sqlite3_bind_int64(m_blocks, 1, first);
    sqlite3_bind_int64(m_blocks, 2, end);
    qsizetype at = 0;
    while ((rc = sqlite3_step(m_blocks)) == SQLITE_ROW) {
        const qint64 iid = sqlite3_column_int64(m_blocks, 0);
        while (at < items.size() && items.at(at).iid < iid)
            ++at;
        if (at == items.size())
            break;
        if (items.at(at).iid != iid || present.contains(iid))
            continue;
        ContentBlock block;
        block.type = sqlite3_column_int(m_blocks, 1);
        block.value = columnText(m_blocks, 2);
        block.summary = columnText(m_blocks, 3);
        items[at].blocks.append(block);
    }
    sqlite3_reset(m_blocks);
    if (rc != SQLITE_DONE && rc != SQLITE_ROW)
        return failed(error), -1;

    int handled = 0;
    for (const PendingItem &item : std::as_const(items)) {
        if (!present.contains(item.iid)) {
            const QByteArray text = SearchIndexWriter::indexedText(
                SearchIndexWriter::columnsOf(QString(), item.cont, item.remark, item.blocks))
                                        .toUtf8();
            sqlite3_bind_int64(m_insert, 1, item.iid);
            sqlite3_bind_text(m_insert, 2, text.constData(), int(text.size()), SQLITE_STATIC);
            rc = sqlite3_step(m_insert);
            sqlite3_reset(m_insert);
            sqlite3_clear_bindings(m_insert);
            if (rc != SQLITE_DONE)
                return failed(error), -1;
        }
        *last = item.iid;
        ++handled;
        if (enough && enough())
            break;
    }
    return handled;
}
