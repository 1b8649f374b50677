#include "ImportStatements.h"

#include <QSqlDriver>
#include <QVariant>

#include <sqlite3.h>

#include <cstring>

namespace {

QString driverText(sqlite3 *db, const char *what)
{
    return QString::fromUtf8(sqlite3_errmsg(db)) + QLatin1Char(' ') + QLatin1String(what);
}

} // namespace

ImportStatement::~ImportStatement()
{
    sqlite3_finalize(m_statement);
}

bool ImportStatement::prepare(const QSqlDatabase &db, const char *sql, QString *error)
{
    const QVariant handle = db.driver() ? db.driver()->handle() : QVariant();
    if (!handle.isValid() || std::strcmp(handle.typeName(), "sqlite3*") != 0) {
        *error = QStringLiteral("不是 SQLite 连接");
        return false;
    }
    m_db = *static_cast<sqlite3 *const *>(handle.constData());
    if (sqlite3_prepare_v2(m_db, sql, -1, &m_statement, nullptr) != SQLITE_OK) {
        *error = driverText(m_db, "Unable to execute statement");
        return false;
    }
    return true;
}

void ImportStatement::bind(int position, qint64 value)
{
    sqlite3_bind_int64(m_statement, position + 1, value);
}

void ImportStatement::bind(int position, const QString &text)
{
    if (text.isNull())
        sqlite3_bind_null(m_statement, position + 1);
    else
        sqlite3_bind_text16(
            m_statement, position + 1, text.utf16(), int(text.size() * 2), SQLITE_STATIC);
}

bool ImportStatement::exec(QString *error)
{
    const int rc = sqlite3_step(m_statement);
    m_row = rc == SQLITE_ROW;
    if (rc != SQLITE_DONE && rc != SQLITE_ROW) {
        *error = driverText(m_db, "Unable to fetch row");
        sqlite3_reset(m_statement);
        sqlite3_clear_bindings(m_statement);
        return false;
    }
    if (!m_row)
        reset();
    return true;
}

qint64 ImportStatement::column(int index) const
{
    return sqlite3_column_int64(m_statement, index);
}

void ImportStatement::reset()
{
    sqlite3_reset(m_statement);
    sqlite3_clear_bindings(m_statement);
    m_row = false;
}
