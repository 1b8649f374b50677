#pragma once

#include <QSqlDatabase>
#include <QString>

#include <functional>

struct sqlite3;
struct sqlite3_stmt;

// Writes the index rows of the next items in iid order for the background build: the items, their
// blocks and the rows already present are each read with one query per batch, and the rows are
// inserted through SQLite's own statements with UTF-8 bound directly.
// The caller holds the write transaction, so what is read is what stays in the tables until the
// rows are written. An item that already has a row got it from a change made since the build
// began (a build starts from an empty index or resumes after the last item it indexed), which
// wrote it from the current text: it is left as it is. The text is the one SearchIndexWriter
// writes for the item.
class SearchIndexBatch {
public:
    explicit SearchIndexBatch(QSqlDatabase db);
    ~SearchIndexBatch();
    SearchIndexBatch(const SearchIndexBatch &) = delete;
    SearchIndexBatch &operator=(const SearchIndexBatch &) = delete;

    bool prepare(QString *error);

    // Indexes up to limit items with an iid above after, in order, ending early when enough()
    // returns true after an item. *last becomes the last iid handled (after, when none). Returns
    // the number of items handled, 0 when there is none left, -1 on failure.
    int indexAfter(
        qint64 after, int limit, const std::function<bool()> &enough, qint64 *last, QString *error);

private:
    bool failed(QString *error) const;

    sqlite3 *m_db = nullptr;
    sqlite3_stmt *m_items = nullptr;
    sqlite3_stmt *m_blocks = nullptr;
    sqlite3_stmt *m_present = nullptr;
    sqlite3_stmt *m_insert = nullptr;
};
