#pragma once

#include <QSqlDatabase>
#include <QString>

struct sqlite3;
struct sqlite3_stmt;

// One statement prepared once on the SQLite handle under a Qt connection and run many times. The
// import writes hundreds of thousands of rows; going through QSqlQuery costs about three times as
// much per row. Error texts read as the Qt driver's do ("<database text> Unable to fetch row").
class ImportStatement {
public:
    ImportStatement() = default;
    ~ImportStatement();
    ImportStatement(const ImportStatement &) = delete;
    ImportStatement &operator=(const ImportStatement &) = delete;

    bool prepare(const QSqlDatabase &db, const char *sql, QString *error);

    void bind(int position, qint64 value); // positions count from 0
    // A null text is bound as SQL NULL. The text must live until exec() returns.
    void bind(int position, const QString &text);

    // Runs the statement to its end, or to its one result row; bindings are cleared afterwards.
    bool exec(QString *error);
    bool hasRow() const { return m_row; }
    qint64 column(int index) const;
    void reset();

private:
    sqlite3 *m_db = nullptr;
    sqlite3_stmt *m_statement = nullptr;
    bool m_row = false;
};
