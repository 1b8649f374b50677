#include "SqlSupport.h"

#include <QSqlError>

namespace sqlsupport {

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

Transaction::~Transaction()
{
    if (m_open)
        m_db.rollback();
}

bool Transaction::begin(QString *error)
{
    if (!m_db.transaction())
        return fail(error, m_db.lastError().text());
    m_open = true;
    return true;
}

bool Transaction::beginImmediate(QString *error)
{
    QSqlQuery query(m_db);
    if (!query.exec(QStringLiteral("BEGIN IMMEDIATE")))
        return fail(error, query.lastError().text());
    m_open = true;
    return true;
}

bool Transaction::commit(QString *error)
{
    if (m_db.commit()) {
        m_open = false;
        return true;
    }
    const QString text = m_db.lastError().text();
    m_db.rollback();
    m_open = false;
    return fail(error, text);
}

bool Transaction::abort(const QSqlQuery &failed, QString *error)
{
    const QString text = failed.lastError().text();
    if (m_open) {
        m_db.rollback();
        m_open = false;
    }
    return fail(error, text);
}

} // namespace sqlsupport
