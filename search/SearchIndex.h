#pragma once

#include "Records.h"

#include <QList>
#include <QSet>
#include <QSqlDatabase>
#include <QString>

class Database;

// One item found by its text other than the name.
struct SearchHit {
    DataItem item;
    // A short piece of the matching text around the first match, on one line.
    QString snippet;
};

// The full-text index of the items: one row per item in the FTS5 table "search_index" (trigram
// tokenizer, rowid = iid, one column) holding its content line, remark, links' addresses and
// summaries, the names of its files and folders and the plain text of its notes, in that order
// (SearchIndexWriter::indexedText). Its name is left to the name search. The index is a cache of
// the tables: every change to those fields keeps it in step inside the change's own transaction,
// and a missing or damaged index is dropped and built again (SearchIndexBuilder).
class SearchIndex {
public:
    explicit SearchIndex(Database *database);

    // Items whose content line, remark, notes, links or file names contain text (trimmed, matched
    // literally, ASCII letters without regard to case), best matches first, at most limit of them,
    // leaving out the iids in exclude (the name matches the caller already shows). Texts of one or
    // two characters are looked up by scanning the indexed plain text and come newest first, as the
    // name matches do. While the index is still
    // being built the result covers the items indexed so far (see isComplete).
    QList<SearchHit> search(
        const QString &text, int limit, const QSet<qint64> &exclude = QSet<qint64>()) const;

    // True once the index covers every item (built, and not found damaged since).
    bool isComplete() const;

    // --- Functions on a connection, for code that writes the tables itself (the import). ---

    // Makes the index row of iid agree with the tables, on the caller's open transaction (or as a
    // statement of its own outside one): rewrites it from the item and its content blocks, or
    // removes it when the item no longer exists. The index is only a cache, so a failure here
    // never fails the caller's change: the index is marked for rebuilding instead, and false is
    // returned only when even that could not be written.
    static bool syncItem(QSqlDatabase db, qint64 iid, QString *error);

    // Creates the table when it is missing and drops and recreates it when a probe finds it
    // unusable. Cheap; run at every open. Never fails the open: a read-only file keeps what it has.
    static void prepare(QSqlDatabase db);

    // Drops the index, creates it empty, clears the "complete" marker and sets the build to start
    // from the first item.
    static bool reset(QSqlDatabase db, QString *error);

    // FTS5's own integrity check of the index against its stored text. Reads the whole index.
    static bool passesIntegrityCheck(QSqlDatabase db);

    // A cheap check for large indexes, which the full one would lock for too long: the row count
    // agrees with the items, and for a random sample of items the stored text is what the items
    // hold now and the index finds the row from a piece of it.
    static bool passesSampleCheck(QSqlDatabase db, int samples);

    static bool isComplete(QSqlDatabase db);
    // Marks the index complete, or in need of a build from scratch.
    static bool markComplete(QSqlDatabase db, bool complete, QString *error);

    // The last iid an unfinished build has indexed (it resumes after it), or -1 when there is no
    // build to resume.
    static qint64 buildFrontier(QSqlDatabase db);
    static bool setBuildFrontier(QSqlDatabase db, qint64 iid, QString *error);

    // The key in app_state whose presence says the index covers every item.
    static QString completeMarker();
    static QString frontierKey();

private:
    Database *m_database;
};
