#include "SqlSupport.h"

#include <QHash>

#include <QSqlDriver>
#include <QSqlError>
#include <QVariant>

#include <sqlite3.h>

namespace sqlsupport {

sqlite3 *sqliteHandle(const QSqlDatabase &db)
{
    const QVariant handle = db.driver() ? db.driver()->handle() : QVariant();
    if (!handle.isValid() || qstrcmp(handle.typeName(), "sqlite3*") != 0)
        return nullptr;
    return *static_cast<sqlite3 *const *>(handle.constData());
}

bool fail(QString *error, const QString &text)
{
    if (error)
        *error = text;
    return false;
}

bool run(QSqlQuery &query, const QString &sql, QString *error)
{
    if (!query.prepare(sql))
        return fail(error, query.lastError().text());
    return run(query, error);
}

bool run(QSqlQuery &query, QString *error)
{
    if (!query.exec())
        return fail(error, query.lastError().text());
    return true;
}

Transaction::Transaction(QSqlDatabase db)
    : m_db(std::move(db))
{
}

namespace {

// Open transactions per connection of this thread (a connection belongs to one thread).
QHash<QString, int> &openDepth()
{
    thread_local QHash<QString, int> depth;
    return depth;
}

QString savepointName(int depth)
{
    return QStringLiteral("velto_nested_%1").arg(depth);
}

} // namespace

Transaction::~Transaction()
{
    if (m_open)
        rollback();
}

bool Transaction::begin(QString *error)
{
    return start(QString(), error);
}

bool Transaction::beginImmediate(QString *error)
{
    return start(QStringLiteral("BEGIN IMMEDIATE"), error);
}

bool Transaction::start(const QString &outermostSql, QString *error)
{
    int &depth = openDepth()[m_db.connectionName()];
    if (depth > 0) {
        // Inside another transaction the lock is already the outer one's concern.
        QSqlQuery savepoint(m_db);
        if (!savepoint.exec(QStringLiteral("SAVEPOINT ") + savepointName(depth)))
            return fail(error, savepoint.lastError().text());
    } else if (outermostSql.isEmpty()) {
        if (!m_db.transaction())
            return fail(error, m_db.lastError().text());
    } else {
        QSqlQuery query(m_db);
        if (!query.exec(outermostSql))
            return fail(error, query.lastError().text());
    }
    m_depth = depth++;
    m_open = true;
    return true;
}

bool Transaction::commit(QString *error)
{
    if (m_depth > 0) {
        QSqlQuery release(m_db);
        if (release.exec(QStringLiteral("RELEASE ") + savepointName(m_depth))) {
            --openDepth()[m_db.connectionName()];
            m_open = false;
            return true;
        }
        const QString text = release.lastError().text();
        rollback();
        return fail(error, text);
    }
    if (m_db.commit()) {
        --openDepth()[m_db.connectionName()];
        m_open = false;
        return true;
    }
    const QString text = m_db.lastError().text();
    rollback();
    return fail(error, text);
}

bool Transaction::abort(const QSqlQuery &failed, QString *error)
{
    const QString text = failed.lastError().text();
    if (m_open)
        rollback();
    return fail(error, text);
}

void Transaction::rollback()
{
    if (m_depth > 0) {
        QSqlQuery undo(m_db);
        undo.exec(QStringLiteral("ROLLBACK TO ") + savepointName(m_depth));
        undo.exec(QStringLiteral("RELEASE ") + savepointName(m_depth));
    } else {
        m_db.rollback();
    }
    --openDepth()[m_db.connectionName()];
    m_open = false;
}

namespace {

// The first column of a one-row pragma, or an empty text.
QByteArray pragmaValue(sqlite3 *handle, const char *sql)
{
    QByteArray value;
    sqlite3_stmt *statement = nullptr;
    if (sqlite3_prepare_v2(handle, sql, -1, &statement, nullptr) == SQLITE_OK
        && sqlite3_step(statement) == SQLITE_ROW)
        value = reinterpret_cast<const char *>(sqlite3_column_text(statement, 0));
    sqlite3_finalize(statement);
    return value;
}

} // namespace

LazySync::LazySync(const QSqlDatabase &db)
{
    sqlite3 *handle = sqliteHandle(db);
    if (!handle || !sqlite3_get_autocommit(handle)
        || pragmaValue(handle, "PRAGMA journal_mode").toLower() != "wal")
        return;
    const QByteArray level = pragmaValue(handle, "PRAGMA synchronous");
    bool ok = false;
    const int before = level.toInt(&ok);
    if (!ok || before <= 1
        || sqlite3_exec(handle, "PRAGMA synchronous = NORMAL", nullptr, nullptr, nullptr)
            != SQLITE_OK)
        return;
    m_handle = handle;
    m_before = before;
}

LazySync::~LazySync()
{
    if (!m_handle)
        return;
    const QByteArray restore = "PRAGMA synchronous = " + QByteArray::number(m_before);
    sqlite3_exec(m_handle, restore.constData(), nullptr, nullptr, nullptr);
}

} // namespace sqlsupport
