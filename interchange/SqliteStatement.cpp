#include "SqliteStatement.h"

#include "SqlSupport.h"

#include <sqlite3.h>

namespace {

QString driverText(sqlite3 *db, const char *what)
{
    return QString::fromUtf8(sqlite3_errmsg(db)) + QLatin1Char(' ') + QLatin1String(what);
}

} // namespace

SqliteStatement::~SqliteStatement()
{
    sqlite3_finalize(m_statement);
}

bool SqliteStatement::prepare(const QSqlDatabase &db, const char *sql, QString *error)
{
    m_db = sqlsupport::sqliteHandle(db);
    if (!m_db) {
        *error = QStringLiteral("不是 SQLite 连接");
        return false;
    }
    if (sqlite3_prepare_v2(m_db, sql, -1, &m_statement, nullptr) != SQLITE_OK) {
        *error = driverText(m_db, "Unable to execute statement");
        return false;
    }
    return true;
}

void SqliteStatement::bind(int position, qint64 value)
{
    sqlite3_bind_int64(m_statement, position + 1, value);
}

void SqliteStatement::bind(int position, const QString &text)
{
    if (text.isNull())
        sqlite3_bind_null(m_statement, position + 1);
    else
        sqlite3_bind_text16(
            m_statement, position + 1, text.utf16(), int(text.size() * 2), SQLITE_STATIC);
}

void SqliteStatement::bindUtf8(int position, const QByteArray &text)
{
    if (text.isNull())
        sqlite3_bind_null(m_statement, position + 1);
    else
        sqlite3_bind_text(
            m_statement, position + 1, text.constData(), int(text.size()), SQLITE_STATIC);
}

bool SqliteStatement::exec(QString *error)
{
    const int rc = sqlite3_step(m_statement);
    m_row = rc == SQLITE_ROW;
    m_failed = rc != SQLITE_DONE && rc != SQLITE_ROW;
    if (m_failed) {
        *error = driverText(m_db, "Unable to fetch row");
        sqlite3_reset(m_statement);
        sqlite3_clear_bindings(m_statement);
        return false;
    }
    if (!m_row)
        reset();
    return true;
}

qint64 SqliteStatement::column(int index) const
{
    return sqlite3_column_int64(m_statement, index);
}

bool SqliteStatement::isNull(int index) const
{
    return sqlite3_column_type(m_statement, index) == SQLITE_NULL;
}

const char *SqliteStatement::text(int index, qsizetype *size) const
{
    const char *data = reinterpret_cast<const char *>(sqlite3_column_text(m_statement, index));
    *size = sqlite3_column_bytes(m_statement, index);
    return data ? data : "";
}

QString SqliteStatement::text16(int index) const
{
    const void *data = sqlite3_column_text16(m_statement, index);
    const int bytes = sqlite3_column_bytes16(m_statement, index);
    return data ? QString(static_cast<const QChar *>(data), bytes / 2) : QStringLiteral("");
}

void SqliteStatement::reset()
{
    sqlite3_reset(m_statement);
    sqlite3_clear_bindings(m_statement);
    m_row = false;
}

// ---------------------------------------------------------------------------------------------

BatchedInsert::BatchedInsert(
    const char *table, const char *columns, int columnCount, int rowsPerBatch)
    : m_table(table)
    , m_columns(columns)
    , m_columnCount(columnCount)
    , m_rowsPerBatch(rowsPerBatch)
{
    m_values.reserve(size_t(rowsPerBatch * columnCount));
}

QByteArray BatchedInsert::statementText(int rows) const
{
    QByteArray row = "(?";
    for (int i = 1; i < m_columnCount; ++i)
        row += ", ?";
    row += ')';
    QByteArray sql = "INSERT INTO " + m_table + '(' + m_columns + ") VALUES " + row;
    for (int i = 1; i < rows; ++i)
        sql += ", " + row;
    return sql;
}

bool BatchedInsert::prepare(const QSqlDatabase &db, QString *error)
{
    m_db = db;
    m_values.clear();
    m_failed = false;
    return m_full.prepare(db, statementText(m_rowsPerBatch).constData(), error);
}

void BatchedInsert::add(qint64 value)
{
    Value v;
    v.number = value;
    m_values.push_back(std::move(v));
}

void BatchedInsert::add(const QByteArray &text)
{
    Value v;
    v.text = text;
    v.isText = true;
    m_values.push_back(std::move(v));
}

bool BatchedInsert::endRow(QString *error)
{
    return m_values.size() < size_t(m_rowsPerBatch * m_columnCount) || write(m_full, error);
}

bool BatchedInsert::flush(QString *error)
{
    if (m_values.empty())
        return true;
    if (m_values.size() == size_t(m_rowsPerBatch * m_columnCount))
        return write(m_full, error);
    SqliteStatement tail;
    const int rows = int(m_values.size()) / m_columnCount;
    if (!tail.prepare(m_db, statementText(rows).constData(), error))
        return !(m_failed = true);
    return write(tail, error);
}

bool BatchedInsert::write(SqliteStatement &statement, QString *error)
{
    for (size_t i = 0; i < m_values.size(); ++i) {
        const Value &value = m_values[i];
        if (value.isText)
            statement.bindUtf8(int(i), value.text);
        else
            statement.bind(int(i), value.number);
    }
    const bool written = statement.exec(error);
    m_values.clear();
    m_failed = !written;
    return written;
}
