#pragma once

#include <QSqlDatabase>
#include <QSqlQuery>
#include <QString>

struct sqlite3;

// Small helpers shared by the storage classes: error reporting through the optional out-parameter,
// prepared execution, and transactions that never stay open after a failure.
namespace sqlsupport {

// The SQLite connection under a Qt one, or null when the connection is not SQLite's.
sqlite3 *sqliteHandle(const QSqlDatabase &db);

// Stores text in *error when error is given; always returns false so callers can `return
// fail(...)`.
bool fail(QString *error, const QString &text);

// Prepares and executes sql on query; on failure stores the query's error text.
bool run(QSqlQuery &query, const QString &sql, QString *error);

// Executes an already prepared and bound query; on failure stores its error text.
bool run(QSqlQuery &query, QString *error);

// A transaction on one connection. Anything begun and neither committed nor rolled back is rolled
// back on destruction, and a failed COMMIT is rolled back too, so later statements on the
// connection are never swallowed by a transaction left open. A transaction begun inside another
// on the same connection (a service operation made of several repository writes) is a savepoint
// of the outer one: its commit keeps the work for the outer commit, its rollback undoes only it.
class Transaction {
public:
    explicit Transaction(QSqlDatabase db);
    ~Transaction();
    Transaction(const Transaction &) = delete;
    Transaction &operator=(const Transaction &) = delete;

    bool begin(QString *error);
    // Takes the write lock at once. A transaction that reads before it writes needs this when
    // another connection may write meanwhile: a deferred one holding a read lock cannot wait for
    // the write lock (SQLite reports the deadlock at once instead of waiting).
    bool beginImmediate(QString *error);
    bool commit(QString *error);
    // Rolls back and reports the failing query's error text; returns false.
    bool abort(const QSqlQuery &failed, QString *error);

private:
    bool start(const QString &outermostSql, QString *error);
    void rollback();

    QSqlDatabase m_db;
    bool m_open = false;
    int m_depth = 0; // 0 outermost, else the savepoint's nesting level
};

// Within its scope, a commit on the connection is written to the log without waiting for the disk
// (synchronous = NORMAL in WAL): for records that a power cut may take back without harm, such as
// the recent visits. The file stays consistent, and the next commit that waits for the disk takes
// them along to it. Changes nothing outside WAL or inside an open transaction, where the setting
// cannot change.
class LazySync {
public:
    explicit LazySync(const QSqlDatabase &db);
    ~LazySync();
    LazySync(const LazySync &) = delete;
    LazySync &operator=(const LazySync &) = delete;

private:
    sqlite3 *m_handle = nullptr;
    int m_before = -1;
};

} // namespace sqlsupport
