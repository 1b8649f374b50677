#include "OrphanIndex.h"

#include "SqlSupport.h"

#include <QSqlQuery>
#include <QVariant>

using sqlsupport::run;

namespace {

// An item is an orphan when pid is not 0 and no other item has iid = pid. Each trigger looks up
// only the rows one change touches: the changed item's parent, and the children of its old and
// new identity (both through the indexes on iid and on pid).
#define ORPHAN_OF(row)                                                                             \
    "INSERT OR IGNORE INTO orphan_items(iid) SELECT " row ".iid WHERE " row ".pid <> 0 AND (" row  \
    ".pid = " row ".iid OR NOT EXISTS (SELECT 1 FROM data_items WHERE iid = " row ".pid)); "
#define ADOPTED_BY(row)                                                                            \
    "DELETE FROM orphan_items WHERE iid IN (SELECT iid FROM data_items WHERE pid = " row           \
    ".iid AND iid <> pid); "
#define LEFT_BY(row)                                                                               \
    "INSERT OR IGNORE INTO orphan_items(iid) SELECT iid FROM data_items WHERE pid = " row          \
    ".iid AND NOT EXISTS (SELECT 1 FROM data_items WHERE iid = " row ".iid); "

const char *const objects[] = {
    "CREATE TABLE IF NOT EXISTS orphan_items (iid INTEGER PRIMARY KEY)",
    "CREATE TRIGGER IF NOT EXISTS orphan_items_insert AFTER INSERT ON data_items BEGIN " ADOPTED_BY(
        "NEW") ORPHAN_OF("NEW") "END",
    "CREATE TRIGGER IF NOT EXISTS orphan_items_delete AFTER DELETE ON data_items BEGIN "
    "DELETE FROM orphan_items WHERE iid = OLD.iid; " LEFT_BY("OLD") "END",
    "CREATE TRIGGER IF NOT EXISTS orphan_items_update AFTER UPDATE OF iid, pid ON data_items "
    "WHEN NEW.iid IS NOT OLD.iid OR NEW.pid IS NOT OLD.pid BEGIN "
    "DELETE FROM orphan_items WHERE iid = OLD.iid; " LEFT_BY("OLD") ADOPTED_BY("NEW")
        ORPHAN_OF("NEW") "END",
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
    return query.exec(QStringLiteral(
               "SELECT COUNT(*) FROM sqlite_master WHERE (type = 'table' AND name = "
               "'orphan_items') OR (type = 'trigger' AND name IN ('orphan_items_insert', "
               "'orphan_items_delete', 'orphan_items_update'))"))
        && query.next() && query.value(0).toInt() == 4;
}

bool prepare(QSqlDatabase db, QString *error)
{
    if (isPresent(db))
        return true;
    // Something was missing (a new file, an older layout, a trigger dropped with its table): the
    // whole set is made again and filled from scratch in one transaction.
    sqlsupport::Transaction transaction(db);
    if (!transaction.beginImmediate(error))
        return false;
    QSqlQuery query(db);
    for (const char *drop :
        {"DROP TRIGGER IF EXISTS orphan_items_insert", "DROP TRIGGER IF EXISTS orphan_items_delete",
            "DROP TRIGGER IF EXISTS orphan_items_update", "DROP TABLE IF EXISTS orphan_items"}) {
        if (!run(query, QString::fromLatin1(drop), error))
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
