#include "DataItemRepository.h"

#include "Database.h"
#include "OrphanIndex.h"
#include "SqlSupport.h"
#include "SqlText.h"

#include <QDateTime>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

using sqlsupport::fail;
using sqlsupport::run;

namespace {

#define ITEM_COLUMNS "iid, pid, sortid, here, cont, remark, favorite, \"desc\""

DataItem readItem(const QSqlQuery &query)
{
    DataItem item;
    item.iid = query.value(0).toLongLong();
    item.id = item.iid;
    item.pid = query.value(1).toLongLong();
    item.sortid = query.value(2).toLongLong();
    item.here = query.value(3).toString();
    item.cont = query.value(4).toString();
    item.remark = query.value(5).toString();
    item.favorite = query.value(6).toBool();
    item.desc = query.value(7).toString();
    return item;
}

// Binds pid, sortid, here, cont, remark, favorite, desc in this order: the shared middle of the
// INSERT and UPDATE statements.
void bindFields(QSqlQuery &query, const DataItem &item)
{
    query.addBindValue(item.pid);
    query.addBindValue(item.sortid);
    query.addBindValue(sqlText(item.here));
    query.addBindValue(sqlText(item.cont));
    query.addBindValue(sqlText(item.remark));
    query.addBindValue(item.favorite ? 1 : 0);
    query.addBindValue(sqlText(item.desc));
}

} // namespace

DataItemRepository::DataItemRepository(Database *database)
    : m_database(database)
{
}

QList<DataItem> DataItemRepository::readList(QSqlQuery &query, qint64 expected) const
{
    QList<DataItem> items;
    // One allocation of the right size instead of repeated growth of a large list.
    if (expected > 0)
        items.reserve(expected);
    if (!query.exec())
        return items;
    while (query.next())
        items.append(readItem(query));
    return items;
}

qint64 DataItemRepository::countAll() const
{
    QSqlQuery query(m_database->connection());
    query.setForwardOnly(true);
    if (!query.exec(QStringLiteral("SELECT COUNT(*) FROM data_items")) || !query.next())
        return 0;
    return query.value(0).toLongLong();
}

QList<DataItem> DataItemRepository::byParent(qint64 pid) const
{
    QSqlQuery query(m_database->connection());
    query.setForwardOnly(true);
    if (!query.prepare(QStringLiteral(
            "SELECT " ITEM_COLUMNS " FROM data_items WHERE pid = ? ORDER BY sortid, iid")))
        return {};
    query.addBindValue(pid);
    return readList(query);
}

QList<DataItem> DataItemRepository::allItems() const
{
    QSqlQuery query(m_database->connection());
    query.setForwardOnly(true);
    if (!query.prepare(
            QStringLiteral("SELECT " ITEM_COLUMNS " FROM data_items ORDER BY pid, sortid, iid")))
        return {};
    return readList(query, countAll());
}

QList<DataItem> DataItemRepository::orphans() const
{
    // The triggers keep orphan_items exact, so the top level costs a look-up per orphan (CROSS JOIN
    // keeps SQLite from walking every item in display order instead). A file
    // without the table (read-only, or written by an older layout) is compared item by item.
    QSqlQuery query(m_database->connection());
    query.setForwardOnly(true);
    if (query.prepare(QStringLiteral(
            "SELECT d.iid, d.pid, d.sortid, d.here, d.cont, d.remark, d.favorite, d.\"desc\" "
            "FROM orphan_items o CROSS JOIN data_items d ON d.iid = o.iid ORDER BY d.pid, "
            "d.sortid, "
            "d.iid"))
        && query.exec()) {
        QList<DataItem> items;
        while (query.next())
            items.append(readItem(query));
        return items;
    }
    if (!query.prepare(QStringLiteral("SELECT " ITEM_COLUMNS " FROM data_items WHERE iid IN (")
            + OrphanIndex::scanSql() + QStringLiteral(") ORDER BY pid, sortid, iid")))
        return {};
    return readList(query);
}

QList<DataItem> DataItemRepository::favorites() const
{
    QSqlQuery query(m_database->connection());
    query.setForwardOnly(true);
    if (!query.prepare(QStringLiteral(
            "SELECT " ITEM_COLUMNS " FROM data_items WHERE favorite = 1 ORDER BY iid DESC")))
        return {};
    return readList(query);
}

QList<DataItem> DataItemRepository::recentItems(int limit) const
{
    // The list holds a few rows: CROSS JOIN makes SQLite walk them and look each item up, where
    // it would otherwise walk every item of the tree (a third of a second at a million items).
    QSqlQuery query(m_database->connection());
    query.setForwardOnly(true);
    if (!query.prepare(QStringLiteral(
            "SELECT d.iid, d.pid, d.sortid, d.here, d.cont, d.remark, d.favorite, d.\"desc\" "
            "FROM recent_items r CROSS JOIN data_items d ON d.iid = r.item_iid "
            "WHERE d.favorite = 0 "
            "ORDER BY r.accessed_at DESC, d.iid DESC LIMIT ?")))
        return {};
    query.addBindValue(qMax(limit, 1));
    return readList(query);
}

QString DataItemRepository::searchPattern(const QString &text)
{
    QString escaped = text.trimmed();
    escaped.replace(QLatin1Char('\\'), QLatin1String("\\\\"));
    escaped.replace(QLatin1Char('%'), QLatin1String("\\%"));
    escaped.replace(QLatin1Char('_'), QLatin1String("\\_"));
    return QLatin1Char('%') + escaped + QLatin1Char('%');
}

QList<DataItem> DataItemRepository::searchByName(const QString &text, int limit) const
{
    if (text.trimmed().isEmpty())
        return {};
    QSqlQuery query(m_database->connection());
    query.setForwardOnly(true);
    if (!query.prepare(QStringLiteral("SELECT " ITEM_COLUMNS " FROM data_items WHERE here LIKE ? "
                                      "ESCAPE '\\' ORDER BY iid DESC LIMIT ?")))
        return {};
    query.addBindValue(searchPattern(text));
    query.addBindValue(qMax(limit, 1));
    return readList(query);
}

DataItem DataItemRepository::get(qint64 iid) const
{
    QSqlQuery query(m_database->connection());
    query.setForwardOnly(true);
    if (!query.prepare(QStringLiteral("SELECT " ITEM_COLUMNS " FROM data_items WHERE iid = ?")))
        return {};
    query.addBindValue(iid);
    if (!query.exec() || !query.next())
        return {};
    return readItem(query);
}

bool DataItemRepository::hasChildren(qint64 pid) const
{
    QSqlQuery query(m_database->connection());
    query.setForwardOnly(true);
    if (!query.prepare(QStringLiteral("SELECT EXISTS(SELECT 1 FROM data_items WHERE pid = ?)")))
        return false;
    query.addBindValue(pid);
    if (!query.exec() || !query.next())
        return false;
    return query.value(0).toBool();
}

QSet<qint64> DataItemRepository::childrenWithChildren(qint64 pid) const
{
    QSet<qint64> result;
    QSqlQuery query(m_database->connection());
    query.setForwardOnly(true);
    if (!query.prepare(QStringLiteral("SELECT p.iid FROM data_items p WHERE p.pid = ? AND "
                                      "EXISTS(SELECT 1 FROM data_items c WHERE c.pid = p.iid)")))
        return result;
    query.addBindValue(pid);
    if (!query.exec())
        return result;
    while (query.next())
        result.insert(query.value(0).toLongLong());
    return result;
}

qint64 DataItemRepository::nextSortId(qint64 pid) const
{
    QSqlQuery query(m_database->connection());
    query.setForwardOnly(true);
    if (!query.prepare(
            QStringLiteral("SELECT COALESCE(MAX(sortid), 0) + 1 FROM data_items WHERE pid = ?")))
        return 1;
    query.addBindValue(pid);
    if (!query.exec() || !query.next())
        return 1;
    return query.value(0).toLongLong();
}

qint64 DataItemRepository::insert(DataItem item, QString *error)
{
    const QSqlDatabase db = m_database->connection();
    if (item.iid == 0) {
        QSqlQuery allocate(db);
        allocate.setForwardOnly(true);
        if (!run(allocate, QStringLiteral("SELECT COALESCE(MAX(iid), 0) + 1 FROM data_items"),
                error))
            return 0;
        if (!allocate.next()) {
            fail(error, allocate.lastError().text());
            return 0;
        }
        item.iid = allocate.value(0).toLongLong();
    }
    QSqlQuery query(db);
    if (!query.prepare(QStringLiteral(
            "INSERT INTO data_items(" ITEM_COLUMNS ") VALUES (?, ?, ?, ?, ?, ?, ?, ?)"))) {
        fail(error, query.lastError().text());
        return 0;
    }
    query.addBindValue(item.iid);
    bindFields(query, item);
    if (!run(query, error))
        return 0;
    return item.iid;
}

bool DataItemRepository::update(const DataItem &item, QString *error)
{
    QSqlQuery query(m_database->connection());
    if (!query.prepare(QStringLiteral("UPDATE data_items SET pid = ?, sortid = ?, here = ?, "
                                      "cont = ?, remark = ?, favorite = ?, \"desc\" = ? "
                                      "WHERE iid = ?")))
        return fail(error, query.lastError().text());
    bindFields(query, item);
    query.addBindValue(item.iid);
    return run(query, error);
}

bool DataItemRepository::remove(qint64 iid, QString *error)
{
    QSqlQuery query(m_database->connection());
    if (!query.prepare(QStringLiteral("DELETE FROM data_items WHERE iid = ?")))
        return fail(error, query.lastError().text());
    query.addBindValue(iid);
    return run(query, error);
}

bool DataItemRepository::setFavorite(qint64 iid, bool favorite, QString *error)
{
    QSqlQuery query(m_database->connection());
    if (!query.prepare(QStringLiteral("UPDATE data_items SET favorite = ? WHERE iid = ?")))
        return fail(error, query.lastError().text());
    query.addBindValue(favorite ? 1 : 0);
    query.addBindValue(iid);
    return run(query, error);
}

bool DataItemRepository::recordRecent(qint64 iid, QString *error)
{
    const QSqlDatabase db = m_database->connection();
    // A visit is recorded on every click: it need not wait for the disk (a power cut may forget
    // the last few), the next save takes it along.
    const sqlsupport::LazySync lazy(db);
    sqlsupport::Transaction transaction(db);
    if (!transaction.begin(error))
        return false;
    QSqlQuery upsert(db);
    if (!upsert.prepare(QStringLiteral(
            "INSERT INTO recent_items(item_iid, accessed_at) VALUES (?, ?) "
            "ON CONFLICT(item_iid) DO UPDATE SET accessed_at = excluded.accessed_at")))
        return transaction.abort(upsert, error);
    upsert.addBindValue(iid);
    upsert.addBindValue(QDateTime::currentMSecsSinceEpoch());
    if (!upsert.exec())
        return transaction.abort(upsert, error);
    QSqlQuery prune(db);
    if (!prune.prepare(QStringLiteral(
            "DELETE FROM recent_items WHERE item_iid NOT IN (SELECT item_iid FROM recent_items "
            "ORDER BY accessed_at DESC, item_iid DESC LIMIT 20)"))
        || !prune.exec())
        return transaction.abort(prune, error);
    return transaction.commit(error);
}

bool DataItemRepository::makeSortRoom(qint64 pid, qint64 firstPosition, QString *error)
{
    QSqlQuery query(m_database->connection());
    if (!query.prepare(QStringLiteral(
            "UPDATE data_items SET sortid = sortid + 1 WHERE pid = ? AND sortid >= ?")))
        return fail(error, query.lastError().text());
    query.addBindValue(pid);
    query.addBindValue(firstPosition);
    return run(query, error);
}

bool DataItemRepository::normalizeSortIds(qint64 pid, QString *error)
{
    QList<qint64> iids;
    {
        QSqlQuery query(m_database->connection());
        query.setForwardOnly(true);
        if (query.prepare(QStringLiteral(
                "SELECT iid, sortid FROM data_items WHERE pid = ? ORDER BY sortid, iid"))) {
            query.addBindValue(pid);
            if (query.exec()) {
                bool dense = true;
                while (query.next()) {
                    iids.append(query.value(0).toLongLong());
                    dense = dense && query.value(1).toLongLong() == iids.size();
                }
                // Already 1..n in display order: nothing to write.
                if (dense)
                    return true;
            }
        }
    }
    return reorder(pid, iids, error);
}

bool DataItemRepository::reorder(qint64 pid, const QList<qint64> &iids, QString *error)
{
    Q_UNUSED(pid);
    const QSqlDatabase db = m_database->connection();
    sqlsupport::Transaction transaction(db);
    if (!transaction.begin(error))
        return false;
    QSqlQuery query(db);
    if (!query.prepare(QStringLiteral("UPDATE data_items SET sortid = ? WHERE iid = ?")))
        return transaction.abort(query, error);
    for (int i = 0; i < iids.size(); ++i) {
        query.bindValue(0, i + 1);
        query.bindValue(1, iids.at(i));
        if (!query.exec())
            return transaction.abort(query, error);
    }
    return transaction.commit(error);
}
