#include "SqlSupport.h"

#include <QHash>

#include <QSqlDriver>
#include <QSqlError>
#include <QVariant>

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

} // namespace sqlsupport
