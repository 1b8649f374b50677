#include "OrphanIndex.h"

#include "SqlSupport.h"

#include <QSqlQuery>
#include <QStringList>
#include <QVariant>

#include <iterator>

using sqlsupport::run;

namespace {

// An item is an orphan when pid is not 0 and no other item has iid = pid. Each trigger looks up
// only the rows one change touches (through the indexes on iid and on pid), and its WHEN clause
// keeps the body from running unless the set really changes: a body that ran for every inserted
// row would cost the bulk import a temporary table per row.
#define IS_ORPHAN(row)                                                                             \
    row ".pid <> 0 AND (" row ".pid = " row ".iid OR NOT EXISTS (SELECT 1 FROM data_items WHERE "  \
        "iid = " row ".pid))"
#define HAS_CHILDREN(row) "EXISTS (SELECT 1 FROM data_items WHERE pid = " row ".iid AND iid <> pid)"

const char *const triggers[] = {
    "orphan_items_insert",
    "orphan_items_adopt",
    "orphan_items_delete",
    "orphan_items_leave",
    "orphan_items_update",
};

const char *const objects[] = {
    "CREATE TABLE orphan_items (iid INTEGER PRIMARY KEY)",
    // A new item whose parent does not exist.
    "CREATE TRIGGER orphan_items_insert AFTER INSERT ON data_items WHEN " IS_ORPHAN(
        "NEW") " BEGIN INSERT OR IGNORE INTO orphan_items(iid) VALUES (NEW.iid); END",
    // A new item that is the missing parent of orphans.
    "CREATE TRIGGER orphan_items_adopt AFTER INSERT ON data_items WHEN EXISTS (SELECT 1 FROM "
    "orphan_items) AND " HAS_CHILDREN(
        "NEW") " BEGIN DELETE FROM orphan_items WHERE iid IN "
               "(SELECT iid FROM data_items WHERE pid = NEW.iid AND iid <> pid); END",
    // A deleted orphan leaves the set; the children of a deleted item join it.
    "CREATE TRIGGER orphan_items_delete AFTER DELETE ON data_items WHEN EXISTS (SELECT 1 FROM "
    "orphan_items WHERE iid = OLD.iid) BEGIN DELETE FROM orphan_items WHERE iid = OLD.iid; END",
    "CREATE TRIGGER orphan_items_leave AFTER DELETE ON data_items WHEN " HAS_CHILDREN(
        "OLD") " BEGIN INSERT OR IGNORE INTO orphan_items(iid) SELECT iid FROM data_items WHERE "
               "pid = "
               "OLD.iid AND NOT EXISTS (SELECT 1 FROM data_items WHERE iid = OLD.iid); END",
    // A changed identity or parent (rare): the item and both sets of children again.
    "CREATE TRIGGER orphan_items_update AFTER UPDATE OF iid, pid ON data_items WHEN NEW.iid IS "
    "NOT OLD.iid OR NEW.pid IS NOT OLD.pid BEGIN "
    "DELETE FROM orphan_items WHERE iid = OLD.iid; "
    "INSERT OR IGNORE INTO orphan_items(iid) SELECT iid FROM data_items WHERE pid = OLD.iid AND "
    "NOT EXISTS (SELECT 1 FROM data_items WHERE iid = OLD.iid); "
    "DELETE FROM orphan_items WHERE iid IN (SELECT iid FROM data_items WHERE pid = NEW.iid AND "
    "iid <> pid); "
    "INSERT OR IGNORE INTO orphan_items(iid) SELECT NEW.iid WHERE " IS_ORPHAN("NEW") "; END",
};

} // namespace

namespace OrphanIndex {

QString scanSql()
{
    return QStringLiteral("SELECT iid FROM data_items WHERE pid <> 0 AND "
                          "(pid = iid OR pid NOT IN (SELECT iid FROM data_items))");
}

bool isPresent(QSqlDatabase db)
{
    QSqlQuery query(db);
    query.setForwardOnly(true);
    if (!query.exec(QStringLiteral("SELECT type, name FROM sqlite_master WHERE name LIKE "
                                   "'orphan\\_items%' ESCAPE '\\'")))
        return false;
    int found = 0;
    while (query.next())
        ++found;
    return found == int(std::size(triggers)) + 1;
}

bool prepare(QSqlDatabase db, QString *error)
{
    if (isPresent(db))
        return true;
    // Something was missing or is left from another layout (a new file, an older program, a
    // trigger dropped with its table): the whole set is made again and filled from scratch in
    // one transaction.
    sqlsupport::Transaction transaction(db);
    if (!transaction.beginImmediate(error))
        return false;
    QSqlQuery query(db);
    QStringList stale;
    if (!run(query,
            QStringLiteral("SELECT type, name FROM sqlite_master WHERE type IN ('trigger', "
                           "'table') AND name LIKE 'orphan\\_items%' ESCAPE '\\'"),
            error))
        return false;
    while (query.next())
        stale << QStringLiteral("DROP ") + query.value(0).toString().toUpper()
                + QStringLiteral(" IF EXISTS ") + query.value(1).toString();
    query.finish();
    for (const QString &drop : std::as_const(stale)) {
        if (!run(query, drop, error))
            return false;
    }
    for (const char *statement : objects) {
        if (!run(query, QString::fromLatin1(statement), error))
            return false;
    }
    if (!run(query, QStringLiteral("INSERT INTO orphan_items(iid) ") + scanSql(), error))
        return false;
    return transaction.commit(error);
}

} // namespace OrphanIndex
