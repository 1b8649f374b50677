#pragma once

#include <QByteArray>
#include <QSqlDatabase>
#include <QString>

#include <vector>

struct sqlite3;
struct sqlite3_stmt;

// One statement prepared once on the SQLite handle under a Qt connection and run many times. The
// import writes and the export reads hundreds of thousands of rows; going through QSqlQuery costs
// about three times as much per row. Error texts read as the Qt driver's do ("<database text>
// Unable to fetch row").
class SqliteStatement {
public:
    SqliteStatement() = default;
    ~SqliteStatement();
    SqliteStatement(const SqliteStatement &) = delete;
    SqliteStatement &operator=(const SqliteStatement &) = delete;

    bool prepare(const QSqlDatabase &db, const char *sql, QString *error);

    void bind(int position, qint64 value); // positions count from 0
    // A null text is bound as SQL NULL. The text must live until exec() returns.
    void bind(int position, const QString &text);
    // UTF-8 bytes; a null array is bound as SQL NULL. The bytes must live until exec() returns.
    void bindUtf8(int position, const QByteArray &text);

    // Runs the statement to its end, or to its next result row; at the end bindings are cleared.
    bool exec(QString *error);
    bool hasRow() const { return m_row; }
    // Whether the last exec() failed.
    bool failed() const { return m_failed; }
    qint64 column(int index) const;
    bool isNull(int index) const;
    // The current row's text as SQLite stores it (UTF-8, not checked); valid until the next step.
    const char *text(int index, qsizetype *size) const;
    // The same text as SQLite converts it to UTF-16.
    QString text16(int index) const;
    void reset();

private:
    sqlite3 *m_db = nullptr;
    sqlite3_stmt *m_statement = nullptr;
    bool m_row = false;
    bool m_failed = false;
};

// Rows appended to one table and written many to a statement: SQLite then does a statement's fixed
// work (AUTOINCREMENT's bookkeeping among it) once a batch instead of once a row, which halves the
// cost of an import's rows. Values are given row by row, column by column; a row's values are kept
// until the batch is written, at the latest by flush().
class BatchedInsert {
public:
    // table and columns as they stand in "INSERT INTO table(columns) VALUES ...".
    BatchedInsert(const char *table, const char *columns, int columnCount, int rowsPerBatch = 50);

    bool prepare(const QSqlDatabase &db, QString *error);

    void add(qint64 value);
    // UTF-8; a null array is written as SQL NULL.
    void add(const QByteArray &text);
    // Whether the next endRow() writes the batch.
    bool isFull() const
    {
        return m_values.size() + size_t(m_columnCount) >= size_t(m_rowsPerBatch * m_columnCount);
    }
    // Ends a row; writes the batch when it is full.
    bool endRow(QString *error);
    // Writes the rows given so far.
    bool flush(QString *error);
    // Whether the last write failed.
    bool failed() const { return m_failed; }

private:
    struct Value {
        qint64 number = 0;
        QByteArray text;
        bool isText = false;
    };
    QByteArray statementText(int rows) const;
    bool write(SqliteStatement &statement, QString *error);

    QByteArray m_table;
    QByteArray m_columns;
    int m_columnCount;
    int m_rowsPerBatch;
    QSqlDatabase m_db;
    SqliteStatement m_full;
    std::vector<Value> m_values;
    bool m_failed = false;
};
