#include "SyncLocal.h"

#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

namespace datasync::local {

namespace {

bool failed(const QSqlQuery &query, QString *error)
{
    if (error)
        *error = query.lastError().text();
    return false;
}

} // namespace

bool exec(QSqlDatabase db, const QString &sql, QString *error)
{
    QSqlQuery query(db);
    return query.exec(sql) || failed(query, error);
}

bool execBound(QSqlDatabase db, const QString &sql, const QVariantList &values, QString *error)
{
    QSqlQuery query(db);
    if (!query.prepare(sql))
        return failed(query, error);
    for (int i = 0; i < values.size(); ++i)
        query.bindValue(i, values.at(i));
    return query.exec() || failed(query, error);
}

QVariant scalar(
    QSqlDatabase db, const QString &sql, const QVariantList &values, const QVariant &def)
{
    QSqlQuery query(db);
    query.setForwardOnly(true);
    if (!query.prepare(sql))
        return def;
    for (int i = 0; i < values.size(); ++i)
        query.bindValue(i, values.at(i));
    if (!query.exec() || !query.next())
        return def;
    return query.value(0);
}

bool readItem(QSqlDatabase db, qint64 iid, QString *uuid, qint64 *pid, ItemBody *body)
{
    QSqlQuery query(db);
    query.setForwardOnly(true);
    query.prepare(QStringLiteral("SELECT uuid, pid, here, cont, remark, favorite, \"desc\" "
                                 "FROM data_items WHERE iid = ?"));
    query.addBindValue(iid);
    if (!query.exec() || !query.next())
        return false;
    *uuid = query.value(0).toString();
    *pid = query.value(1).toLongLong();
    body->here = query.value(2).toString();
    body->cont = query.value(3).toString();
    body->remark = query.value(4).toString();
    body->favorite = query.value(5).toBool();
    body->desc = query.value(6).toString();
    body->blocks.clear();
    QSqlQuery blocks(db);
    blocks.setForwardOnly(true);
    blocks.prepare(QStringLiteral("SELECT type, value, summary FROM content_blocks "
                                  "WHERE item_iid = ? ORDER BY sortid, id"));
    blocks.addBindValue(iid);
    if (!blocks.exec())
        return false;
    while (blocks.next()) {
        ContentBlock block;
        block.itemIid = iid;
        block.sortid = body->blocks.size() + 1;
        block.type = blocks.value(0).toInt();
        block.value = blocks.value(1).toString();
        block.summary = blocks.value(2).toString();
        body->blocks.append(block);
    }
    return true;
}

qint64 iidOf(QSqlDatabase db, const QString &uuid)
{
    return scalar(db, QStringLiteral("SELECT iid FROM data_items WHERE uuid = ?"), {uuid}, 0)
        .toLongLong();
}

QString uuidOf(QSqlDatabase db, qint64 iid)
{
    return scalar(db, QStringLiteral("SELECT uuid FROM data_items WHERE iid = ?"), {iid})
        .toString();
}

QString state(QSqlDatabase db, const QString &key, const QString &def)
{
    return scalar(db, QStringLiteral("SELECT value FROM app_state WHERE key = ?"), {key}, def)
        .toString();
}

bool setState(QSqlDatabase db, const QString &key, const QString &value, QString *error)
{
    return execBound(db,
        QStringLiteral("INSERT OR REPLACE INTO app_state(key, value) VALUES (?, ?)"), {key, value},
        error);
}

QString joinList(const QStringList &list)
{
    return list.join(QLatin1Char(' '));
}

QStringList splitList(const QString &text)
{
    return text.split(QLatin1Char(' '), Qt::SkipEmptyParts);
}

void Statements::setConnection(QSqlDatabase db)
{
    clear();
    m_db = db;
}

void Statements::clear()
{
    m_queries.clear();
    m_db = QSqlDatabase();
}

QSqlQuery *Statements::prepared(const QString &sql, QString *error)
{
    auto found = m_queries.constFind(sql);
    if (found != m_queries.constEnd()) {
        found.value()->finish();
        return found.value().get();
    }
    auto query = std::make_shared<QSqlQuery>(m_db);
    query->setForwardOnly(true);
    if (!query->prepare(sql)) {
        failed(*query, error);
        return nullptr;
    }
    m_queries.insert(sql, query);
    return query.get();
}

QSqlQuery *Statements::bound(const QString &sql, const QVariantList &values, QString *error)
{
    QSqlQuery *query = prepared(sql, error);
    if (query) {
        for (int i = 0; i < values.size(); ++i)
            query->bindValue(i, values.at(i));
    }
    return query;
}

bool Statements::exec(
    const QString &sql, const QVariantList &values, QString *error, int *rowsAffected)
{
    QSqlQuery *query = bound(sql, values, error);
    if (!query)
        return false;
    if (!query->exec())
        return failed(*query, error);
    m_busy = false;
    if (rowsAffected)
        *rowsAffected = query->numRowsAffected();
    query->finish();
    return true;
}

bool Statements::select(const QString &sql, const QVariantList &values,
    const std::function<void(const QSqlQuery &)> &row, QString *error)
{
    QSqlQuery *query = bound(sql, values, error);
    if (!query)
        return false;
    if (!query->exec())
        return failed(*query, error);
    while (query->next())
        row(*query);
    const bool ok = !query->lastError().isValid() || failed(*query, error);
    query->finish();
    return ok;
}

bool Statements::failed(const QSqlQuery &query, QString *error)
{
    // SQLITE_BUSY and SQLITE_LOCKED
    const int code = query.lastError().nativeErrorCode().toInt();
    m_busy = (code & 0xff) == 5 || (code & 0xff) == 6;
    return local::failed(query, error);
}

QVariant Statements::scalar(const QString &sql, const QVariantList &values, const QVariant &def)
{
    QSqlQuery *query = bound(sql, values);
    if (!query)
        return def;
    QVariant value = def;
    if (query->exec() && query->next())
        value = query->value(0);
    query->finish();
    return value;
}

QString Statements::state(const QString &key, const QString &def)
{
    return scalar(QStringLiteral("SELECT value FROM app_state WHERE key = ?"), {key}, def)
        .toString();
}

bool Statements::setState(const QString &key, const QString &value, QString *error)
{
    return exec(QStringLiteral("INSERT OR REPLACE INTO app_state(key, value) VALUES (?, ?)"),
        {key, value}, error);
}

} // namespace datasync::local
